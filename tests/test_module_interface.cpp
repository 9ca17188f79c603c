// Handle semantics of KeshOCRModule that need no model package.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "KeshOCR.h"

namespace veltrano {
namespace {

TEST(ModuleInterface, VersionBeforeInit) {
  KeshOCRModule module;
  const std::string version = module.Version();
  EXPECT_TRUE(std::regex_match(
      version, std::regex("Version: 1\\.9\\.0\nModel MD5: \nCompiled at: [A-Z][a-z]{2} [ 1-3][0-9] "
                          "[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\n")))
      << version;
}

TEST(ModuleInterface, RunBeforeInitAnswersInvalidModelAndLeavesResponse) {
  KeshOCRModule module;
  OCRResponse response;
  response.status = 42;
  response.results.resize(2);
  EXPECT_EQ(module.Run(OCRRequest{cv::Mat(8, 8, CV_8UC3, cv::Scalar::all(0)), 0}, response),
            InvalidModel);
  EXPECT_EQ(response.status, 42);
  EXPECT_EQ(response.results.size(), 2u);
}

TEST(ModuleInterface, CopiesAssignmentAndSelfAssignmentStayUsable) {
  auto original = std::make_unique<KeshOCRModule>();
  KeshOCRModule copy(*original);
  KeshOCRModule assigned;
  assigned = *original;
  assigned = assigned;
  original.reset();  // the copies keep the shared pipeline alive
  EXPECT_EQ(copy.Version(), assigned.Version());
  OCRResponse response;
  EXPECT_EQ(copy.Run(OCRRequest{}, response), InvalidModel);
}

TEST(ModuleInterface, RecordsHaveDefinedDefaults) {
  OCRResult result;
  EXPECT_EQ(result.score, 0.0f);
  EXPECT_TRUE(result.points.empty());
  OCRResponse response;
  EXPECT_EQ(response.status, 0);
  EXPECT_EQ(OCRRequest{}.threshold, 0.0f);
}

TEST(ModuleInterface, CopiesMadeAndDestroyedOnManyThreads) {
  KeshOCRModule shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared] {
      for (int i = 0; i < 1000; ++i) {
        KeshOCRModule copy(shared);
        KeshOCRModule other;
        other = copy;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(shared.Version().empty());
}

}  // namespace
}  // namespace veltrano
