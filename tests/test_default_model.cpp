// The shipped model package on committed synthetic images (made by
// training/make_samples.py in fonts the networks never saw): a regression
// guard for every later change to the pipeline or the networks.
#include <gtest/gtest.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "KeshOCR.h"
#include "support/log_capture.h"
#include "support/test_paths.h"

namespace veltrano {
namespace {

struct Row {
  std::string image, text;
};

std::vector<Row> Manifest() {
  std::ifstream in(keshocr_test::TestDataPath("e2e/manifest.tsv"));
  std::vector<Row> rows;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    rows.push_back({line.substr(0, tab), line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1)});
  }
  return rows;
}

std::string Read(KeshOCRModule& module, const cv::Mat& image) {
  OCRResponse response;
  keshocr_test::StdStreamCapture quiet;
  EXPECT_EQ(module.Run(OCRRequest{image, 0}, response), Success);
  std::string text;
  for (const auto& r : response.results) text += r.text;
  return text;
}

TEST(DefaultModel, ReadsTheCommittedSamples) {
  KeshOCRModule module;
  {
    keshocr_test::StdStreamCapture quiet;
    ASSERT_EQ(module.Init(keshocr_test::SourcePath("models/keshocr-default.pkg"), false, 0), Success);
  }
  const std::vector<Row> rows = Manifest();
  ASSERT_GE(rows.size(), 5u) << "tests/data/e2e/manifest.tsv lists the samples";
  for (const Row& row : rows) {
    const cv::Mat image = cv::imread(keshocr_test::TestDataPath("e2e/" + row.image), cv::IMREAD_COLOR);
    ASSERT_FALSE(image.empty()) << row.image;
    EXPECT_EQ(Read(module, image), row.text) << row.image;
  }
}

TEST(DefaultModel, ReadsTheReadmeSample) {
  KeshOCRModule module;
  {
    keshocr_test::StdStreamCapture quiet;
    ASSERT_EQ(module.Init(keshocr_test::SourcePath("models/keshocr-default.pkg"), false, 0), Success);
  }
  std::string want = keshocr_test::ReadFile(keshocr_test::SourcePath("samples/code.txt"));
  while (!want.empty() && (want.back() == '\n' || want.back() == '\r')) want.pop_back();
  EXPECT_EQ(Read(module, cv::imread(keshocr_test::SourcePath("samples/code.png"), cv::IMREAD_COLOR)), want);
}

}  // namespace
}  // namespace veltrano
