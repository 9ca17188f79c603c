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

// The package is loaded once for all tests of this file.
class DefaultModel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = new KeshOCRModule;
    keshocr_test::StdStreamCapture quiet;
    init_ = module_->Init(keshocr_test::SourcePath("models/keshocr-default.pkg"), false, 0);
  }
  static void TearDownTestSuite() {
    delete module_;
    module_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(init_, Success) << "the shipped package must load"; }

  static KeshOCRModule* module_;
  static ResultCode init_;
};
KeshOCRModule* DefaultModel::module_ = nullptr;
ResultCode DefaultModel::init_ = InvalidModel;

TEST_F(DefaultModel, ReadsTheCommittedSamples) {
  const std::vector<Row> rows = Manifest();
  ASSERT_GE(rows.size(), 5u) << "tests/data/e2e/manifest.tsv lists the samples";
  for (const Row& row : rows) {
    const cv::Mat image = cv::imread(keshocr_test::TestDataPath("e2e/" + row.image), cv::IMREAD_COLOR);
    ASSERT_FALSE(image.empty()) << row.image;
    EXPECT_EQ(Read(*module_, image), row.text) << row.image;
  }
}

TEST_F(DefaultModel, ReadsTheReadmeSample) {
  std::string want = keshocr_test::ReadFile(keshocr_test::SourcePath("samples/code.txt"));
  while (!want.empty() && (want.back() == '\n' || want.back() == '\r')) want.pop_back();
  EXPECT_EQ(Read(*module_, cv::imread(keshocr_test::SourcePath("samples/code.png"), cv::IMREAD_COLOR)), want);
}

}  // namespace
}  // namespace veltrano
