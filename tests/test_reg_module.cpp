#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "rec/reg_module.h"
#include "support/log_capture.h"
#include "support/test_paths.h"

namespace veltrano {
namespace {

std::vector<char> Network(const std::string& name) {
  const std::string bytes = keshocr_test::TestModel(name);
  return std::vector<char>(bytes.begin(), bytes.end());
}

RegModule Ready(const std::string& config = R"({"alphabet": "0123456789"})",
                const std::string& network = "rec_centre.onnx") {
  keshocr_test::StdStreamCapture quiet;
  RegModule reg;
  reg.Init(Network(network), config, false, 0);
  return reg;
}

cv::Mat Grey(int width, int height, int grey) {
  return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(grey));
}

TEST(RegModule, PreProcessScalesToFitAndCentres) {
  RegModule reg;
  cv::Mat out;
  ASSERT_EQ(reg.PreProcess(Grey(256, 64, 200), out), 0);  // 128 x 32, 48 rows above and below
  EXPECT_EQ(out.size(), cv::Size(128, 128));
  EXPECT_EQ(out.at<cv::Vec3b>(47, 64), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(out.at<cv::Vec3b>(48, 64), cv::Vec3b(200, 200, 200));
  EXPECT_EQ(out.at<cv::Vec3b>(79, 64), cv::Vec3b(200, 200, 200));
  EXPECT_EQ(out.at<cv::Vec3b>(80, 64), cv::Vec3b(0, 0, 0));

  ASSERT_EQ(reg.PreProcess(Grey(30, 100, 200), out), 0);  // 38 wide, 45 on each side
  EXPECT_EQ(out.at<cv::Vec3b>(64, 44)[0], 0);
  EXPECT_EQ(out.at<cv::Vec3b>(64, 45)[0], 200);
  EXPECT_EQ(out.at<cv::Vec3b>(64, 82)[0], 200);
  EXPECT_EQ(out.at<cv::Vec3b>(64, 83)[0], 0);
  ASSERT_EQ(reg.PreProcess(Grey(31, 100, 200), out), 0);  // 39 wide: 44 left, 45 right
  EXPECT_EQ(out.at<cv::Vec3b>(64, 43)[0], 0);
  EXPECT_EQ(out.at<cv::Vec3b>(64, 44)[0], 200);
  EXPECT_EQ(out.at<cv::Vec3b>(64, 82)[0], 200);
  EXPECT_EQ(out.at<cv::Vec3b>(64, 83)[0], 0);

  ASSERT_EQ(reg.PreProcess(Grey(50, 50, 7), out), 0);  // square: no padding
  EXPECT_EQ(out.at<cv::Vec3b>(0, 0)[0], 7);
  EXPECT_EQ(out.at<cv::Vec3b>(127, 127)[0], 7);
}

TEST(RegModule, CropsTooSmallToScaleFailWithoutThrowing) {
  RegModule reg = Ready();
  keshocr_test::StdStreamCapture console;
  RecognitionResult result;
  result.text = "stale";
  EXPECT_EQ(reg.Run(OCRRequest{Grey(200, 1, 0), 0.5f}, result), 10103);  // height 0.64
  EXPECT_EQ(reg.Run(OCRRequest{cv::Mat(), 0.5f}, result), 10103);
  EXPECT_EQ(console.OutLines(), (std::vector<std::string>{"RegModule PreProcess Failed!",
                                                          "RegModule PreProcess Failed!"}));
  EXPECT_EQ(result.text, "stale");
}

TEST(RegModule, BestClassNamesAnAlphabetEntry) {
  RegModule reg = Ready();
  RecognitionResult result;
  for (int band = 0; band < 10; ++band) {
    ASSERT_EQ(reg.Run(OCRRequest{Grey(40, 60, band * 255 / 10 + 12), 0.0f}, result), 0);
    EXPECT_EQ(result.text, std::string(1, char('0' + band))) << band;
    EXPECT_FALSE(result.below_threshold);
    EXPECT_GT(result.score, 0.1f);
  }
}

TEST(RegModule, ThresholdOnlySetsTheFlag) {
  RegModule reg = Ready();
  RecognitionResult result;
  reg.Run(OCRRequest{Grey(40, 40, 51), 0.0f}, result);
  const float best = result.score;
  reg.Run(OCRRequest{Grey(40, 40, 51), best}, result);
  EXPECT_TRUE(result.below_threshold);  // equal is "not above"
  EXPECT_EQ(result.text, "2");
  reg.Run(OCRRequest{Grey(40, 40, 51), std::nextafter(best, 0.0f)}, result);
  EXPECT_FALSE(result.below_threshold);
}

TEST(RegModule, ClassesBeyondTheAlphabetGiveEmptyText) {
  RegModule reg = Ready(R"({"alphabet": "AB"})");
  RecognitionResult result;
  reg.Run(OCRRequest{Grey(40, 40, 0), 0.0f}, result);
  EXPECT_EQ(result.text, "A");
  reg.Run(OCRRequest{Grey(40, 40, 102), 0.0f}, result);  // class 4
  EXPECT_EQ(result.text, "");
}

TEST(RegModule, Utf8AlphabetBecomesOneEntryPerByte) {
  keshocr_test::StdStreamCapture console;
  RegModule reg;
  reg.Init(Network("rec_centre.onnx"), "{\"alphabet\": \"\xC3\xA9\"}", false, 0);
  EXPECT_EQ(reg.alphabet(), (std::u16string{char16_t(0xFFC3), char16_t(0xFFA9)}));
  EXPECT_EQ(console.OutLines(), (std::vector<std::string>{"alphabets_ocr = \xC3\xA9"}));
  RecognitionResult result;
  reg.Run(OCRRequest{Grey(40, 40, 0), 0.0f}, result);
  EXPECT_EQ(result.text, "\xC3");
  reg.Run(OCRRequest{Grey(40, 40, 26), 0.0f}, result);
  EXPECT_EQ(result.text, "\xA9");
}

TEST(RegModule, BadConfigurationOrNetworkChangesNothing) {
  RegModule reg = Ready(R"({"alphabet": "XYZ"})");
  keshocr_test::StdStreamCapture console;
  EXPECT_THROW(reg.Init(Network("rec_centre.onnx"), R"({"letters": "AB"})", false, 0),
               nlohmann::json::type_error);
  EXPECT_THROW(reg.Init(Network("rec_centre.onnx"), R"(["alphabet"])", false, 0),
               nlohmann::json::type_error);
  EXPECT_THROW(reg.Init(Network("rec_centre.onnx"), "not json", false, 0),
               nlohmann::json::parse_error);
  EXPECT_ANY_THROW(reg.Init(std::vector<char>{'x'}, R"({"alphabet": "AB"})", false, 0));
  EXPECT_EQ(reg.alphabet(), u"XYZ");
  RecognitionResult result;
  reg.Run(OCRRequest{Grey(40, 40, 0), 0.0f}, result);
  EXPECT_EQ(result.text, "X");
  EXPECT_EQ(RegModule().alphabet(), u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ");
}

TEST(RegModule, OutputWithoutAClassAxisAnswersInvalidModelOutput) {
  RegModule reg = Ready(R"({"alphabet": "AB"})", "rec_flat_output.onnx");
  keshocr_test::StdStreamCapture console;
  RecognitionResult result;
  EXPECT_EQ(reg.Run(OCRRequest{Grey(40, 40, 0), 0.0f}, result), 10101);
  EXPECT_EQ(console.OutLines().back(), "RegModule DoInference Failed!");
  EXPECT_TRUE(result.text.empty());
}

}  // namespace
}  // namespace veltrano
