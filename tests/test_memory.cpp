// Memory stays flat over many runs, and init/run/destroy cycles leave nothing
// behind (LeakSanitizer checks the cycles in the sanitizer build).
#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <fstream>
#include <opencv2/imgproc.hpp>

#include "KeshOCR.h"
#include "support/log_capture.h"
#include "support/packages.h"
#include "support/test_paths.h"

namespace veltrano {
namespace {

// Resident size after handing freed heap pages back to the system: what a run
// frees but the allocator keeps (fragmentation, per-thread arenas of the
// runtime's pool) is not a leak, while anything still allocated stays counted.
size_t ResidentBytes() {
  malloc_trim(0);
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

cv::Mat RealSizedScene() {
  cv::Mat image(720, 1280, CV_8UC3, cv::Scalar::all(235));
  cv::RNG rng(7);
  for (int k = 0; k < 8; ++k)
    cv::rectangle(image, cv::Rect(120 + 130 * k, 300, 70, 90), cv::Scalar::all(rng.uniform(1, 120)),
                  cv::FILLED);
  return image;
}

std::string Package() {
  return keshocr_test::TinyPackage().Write(keshocr_test::ScratchDir("memory"), "tiny.pkg");
}

TEST(Memory, ResidentSizeStaysFlatOverManyRuns) {
#if defined(KESHOCR_SANITIZED)
  GTEST_SKIP() << "sanitizer builds keep freed memory in quarantine";
#endif
  KeshOCRModule module;
  keshocr_test::StdStreamCapture quiet;
  ASSERT_EQ(module.Init(Package(), false, 0), Success);
  const cv::Mat image = RealSizedScene();
  // The runtime's memory arena grows once, by up to about 0.9 MiB, somewhere
  // in the first 150 runs depending on timing; after that a run that keeps
  // anything shows up as steady growth.
  constexpr int kWarmup = 150, kRuns = 500, kMiddle = (kWarmup + kRuns) / 2;
  size_t after_warmup = 0, middle = 0;
  for (int i = 0; i < kRuns; ++i) {
    OCRResponse response;
    ASSERT_EQ(module.Run(OCRRequest{image, 0}, response), Success);
    ASSERT_EQ(response.results.size(), 8u);
    if (i == kWarmup - 1) after_warmup = ResidentBytes();
    if (i == kMiddle - 1) middle = ResidentBytes();
  }
  const double end = double(ResidentBytes());
  const double growth = end - double(after_warmup), second_half = end - double(middle);
  RecordProperty("rss_growth_bytes_after_warmup", std::to_string(growth));
  RecordProperty("rss_growth_bytes_second_half", std::to_string(second_half));
  EXPECT_LT(growth, 1024.0 * 1024.0);
  EXPECT_LT(second_half, 256.0 * 1024.0);
}

TEST(Memory, InitRunDestroyCycles) {
  const std::string package = Package();
  const cv::Mat image = RealSizedScene();
  keshocr_test::StdStreamCapture quiet;
  [[maybe_unused]] size_t after_warmup = 0;
  for (int cycle = 0; cycle < 100; ++cycle) {
    KeshOCRModule module;
    ASSERT_EQ(module.Init(package, false, 0), Success);
    OCRResponse response;
    ASSERT_EQ(module.Run(OCRRequest{image, 0}, response), Success);
    ASSERT_EQ(response.results.size(), 8u) << "cycle " << cycle;
    if (cycle == 19) after_warmup = ResidentBytes();
  }
#if !defined(KESHOCR_SANITIZED)
  // Whatever a cycle leaves behind would add up over 80 cycles.
  const double growth = double(ResidentBytes()) - double(after_warmup);
  RecordProperty("rss_growth_bytes_over_80_cycles", std::to_string(growth));
  EXPECT_LT(growth, 2.0 * 1024 * 1024);
#endif
}

}  // namespace
}  // namespace veltrano
