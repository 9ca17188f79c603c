// Distinct modules on distinct threads, and copies of one module made and
// destroyed on many threads. Run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <thread>

#include "KeshOCR.h"
#include "support/log_capture.h"
#include "support/packages.h"
#include "support/test_paths.h"

namespace veltrano {
namespace {

constexpr int kThreads = 4;
constexpr int kRunsPerThread = 50;

std::vector<cv::Mat> Scenes() {
  std::vector<cv::Mat> scenes;
  cv::RNG rng(2024);
  for (int s = 0; s < 5; ++s) {
    cv::Mat image(480 + 40 * s, 640, CV_8UC3, cv::Scalar::all(255));
    for (int k = 0; k <= s; ++k)
      cv::rectangle(image, cv::Rect(40 + 110 * k, 100 + 20 * s, 60, 60),
                    cv::Scalar::all(rng.uniform(1, 120)), cv::FILLED);
    scenes.push_back(image);
  }
  return scenes;
}

std::string Summary(const OCRResponse& response) {
  std::string s;
  for (const auto& r : response.results) {
    s += r.text + "@";
    for (const auto& p : r.points) s += std::to_string(p.x) + "," + std::to_string(p.y) + ";";
    s += std::to_string(r.score) + " ";
  }
  return s;
}

class ThreadsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    package_ = new std::string(
        keshocr_test::TinyPackage().Write(keshocr_test::ScratchDir("threads"), "tiny.pkg"));
  }
  static void TearDownTestSuite() { delete package_; }
  static std::string* package_;
};
std::string* ThreadsTest::package_ = nullptr;

TEST_F(ThreadsTest, DistinctModulesOnDistinctThreadsMatchOneThread) {
  const std::vector<cv::Mat> scenes = Scenes();
  // The threads' console lines go to the real standard output, which is
  // safe to share; a capturing string buffer would not be.
  std::vector<std::string> reference;
  {
    keshocr_test::StdStreamCapture quiet;
    KeshOCRModule module;
    ASSERT_EQ(module.Init(*package_, false, 0), Success);
    for (const cv::Mat& scene : scenes) {
      OCRResponse response;
      ASSERT_EQ(module.Run(OCRRequest{scene, 0}, response), Success);
      reference.push_back(Summary(response));
    }
  }
  ASSERT_FALSE(reference[4].empty());

  std::vector<KeshOCRModule> modules(kThreads);
  {
    keshocr_test::StdStreamCapture quiet;
    for (auto& module : modules) ASSERT_EQ(module.Init(*package_, false, 0), Success);
  }
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRunsPerThread; ++i) {
        const size_t s = (t + i) % scenes.size();
        OCRResponse response;
        if (modules[t].Run(OCRRequest{scenes[s], 0}, response) != Success ||
            Summary(response) != reference[s])
          ++mismatches[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  RecordProperty("threads_x_runs", kThreads * kRunsPerThread);
}

TEST_F(ThreadsTest, CopiesOfAnInitialisedModuleComeAndGoOnManyThreads) {
  auto module = std::make_unique<KeshOCRModule>();
  {
    keshocr_test::StdStreamCapture quiet;
    ASSERT_EQ(module->Init(*package_, false, 0), Success);
  }
  const std::string version = module->Version();
  std::vector<KeshOCRModule> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        KeshOCRModule copy(*module);
        KeshOCRModule assigned;
        assigned = copy;
        if (i % 500 == 0) kept[t] = assigned;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  module.reset();  // the kept copies hold the pipeline now
  for (auto& copy : kept) EXPECT_EQ(copy.Version(), version);
  OCRResponse response;
  EXPECT_EQ(kept[0].Run(OCRRequest{Scenes()[2], 0}, response), Success);
  EXPECT_EQ(response.results.size(), 3u);
}

}  // namespace
}  // namespace veltrano
