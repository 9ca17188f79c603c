#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "det/det_module.h"
#include "support/log_capture.h"
#include "support/test_paths.h"

namespace veltrano {
namespace {

std::vector<char> Network(const std::string& name) {
  const std::string bytes = keshocr_test::TestModel(name);
  return std::vector<char>(bytes.begin(), bytes.end());
}

class DetModuleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    det_ = new DetModule();
    det_->Init(Network("det_dark.onnx"), "", false, 0);
  }
  static void TearDownTestSuite() { delete det_; }
  static DetModule* det_;
  keshocr_test::StdStreamCapture console_;
};
DetModule* DetModuleTest::det_ = nullptr;

cv::Mat White(int width, int height) { return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(255)); }

TEST_F(DetModuleTest, ScaleFactorsUseTheTruncatedSizes) {
  cv::Mat padded;
  // 333 x 777: f = 768 / 777, width 329 (truncated), padded with 439 columns.
  det_->PreProcess(White(333, 777), padded);
  EXPECT_EQ(padded.size(), cv::Size(768, 768));
  EXPECT_FLOAT_EQ(det_->scale_x(), 329.0f / 333.0f);
  EXPECT_FLOAT_EQ(det_->scale_y(), 768.0f / 777.0f);
  EXPECT_EQ(padded.at<cv::Vec3b>(100, 328), cv::Vec3b(255, 255, 255));
  EXPECT_EQ(padded.at<cv::Vec3b>(100, 329), cv::Vec3b(0, 0, 0));

  det_->PreProcess(White(1000, 500), padded);  // reduced by 0.768
  EXPECT_FLOAT_EQ(det_->scale_x(), 0.768f);
  EXPECT_FLOAT_EQ(det_->scale_y(), 0.768f);
  EXPECT_EQ(padded.at<cv::Vec3b>(383, 0), cv::Vec3b(255, 255, 255));
  EXPECT_EQ(padded.at<cv::Vec3b>(384, 0), cv::Vec3b(0, 0, 0));

  det_->PreProcess(White(100, 50), padded);  // enlarged by 7.68
  EXPECT_FLOAT_EQ(det_->scale_x(), 7.68f);
  det_->PreProcess(White(768, 768), padded);
  EXPECT_EQ(det_->scale_x(), 1.0f);
}

TEST_F(DetModuleTest, PreProcessTurnsBgrIntoRgbAndKeepsOnePixelStrips) {
  cv::Mat image(768, 768, CV_8UC3, cv::Scalar(10, 20, 30)), padded;
  det_->PreProcess(image, padded);
  EXPECT_EQ(padded.at<cv::Vec3b>(5, 5), cv::Vec3b(30, 20, 10));
  det_->PreProcess(White(4000, 1), padded);  // the short side keeps one row
  EXPECT_EQ(padded.size(), cv::Size(768, 768));
  EXPECT_FLOAT_EQ(det_->scale_y(), 1.0f);
}

TEST_F(DetModuleTest, FindsDarkBlocksAndMapsCornersBack) {
  cv::Mat image = White(1000, 500);
  // A block touching the right edge: its right corners clip to map x 767,
  // which maps back to 767 / 0.768 = 998.7 -> 998.
  cv::rectangle(image, cv::Rect(900, 200, 100, 100), cv::Scalar::all(5), cv::FILLED);
  std::vector<Quad> boxes;
  ASSERT_EQ(det_->Run(image, boxes), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].points[1].x, 998.0f);
  EXPECT_EQ(boxes[0].points[2].x, 998.0f);
  EXPECT_EQ(console_.OutLines().size(), 1u);
  EXPECT_EQ(console_.OutLines().at(0).rfind("DetModule DoInference time : ", 0), 0u);
  EXPECT_EQ(console_.OutLines().at(0).substr(console_.OutLines()[0].size() - 3), " ms");
}

TEST_F(DetModuleTest, BoxesWithShortMappedEdgesAreDropped) {
  // An image of 3072 x 3072 is reduced by 4: a 24-pixel block becomes 6 map
  // pixels, grows to a 7-pixel box (< 10) and is dropped by the size rule; a
  // 48-pixel block becomes 12, grows to 15 map pixels = 60 image pixels.
  cv::Mat image = White(3072, 3072);
  cv::rectangle(image, cv::Rect(400, 400, 48, 48), cv::Scalar::all(5), cv::FILLED);
  cv::rectangle(image, cv::Rect(1600, 400, 24, 24), cv::Scalar::all(5), cv::FILLED);
  std::vector<Quad> boxes;
  ASSERT_EQ(det_->Run(image, boxes), 0);
  ASSERT_EQ(boxes.size(), 1u);

  // Enlarged instead: a 2-pixel dot in a 100 x 100 image is a 15-map-pixel
  // block, a box of about 20 map pixels = 2.6 image pixels: dropped by the
  // 5-pixel edge rule although the map filters kept it.
  cv::Mat small = White(100, 100);
  cv::rectangle(small, cv::Rect(50, 50, 2, 2), cv::Scalar::all(5), cv::FILLED);
  boxes.clear();
  ASSERT_EQ(det_->Run(small, boxes), 0);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(DetModuleTest, NothingDarkGivesNoBoxesAndAppendsOnly) {
  std::vector<Quad> boxes(2);
  EXPECT_EQ(det_->Run(White(640, 480), boxes), 0);
  EXPECT_EQ(boxes.size(), 2u);  // the list is appended to, never cleared
}

TEST(DetModule, OutputsThatAreNoScoreMapAnswerInvalidModelOutput) {
  for (const char* name : {"det_flat_output.onnx", "det_two_classes.onnx"}) {
    DetModule det;
    det.Init(Network(name), "", false, 0);
    keshocr_test::StdStreamCapture console;
    std::vector<Quad> boxes;
    cv::Mat black(768, 768, CV_8UC3, cv::Scalar::all(0));
    EXPECT_EQ(det.Run(black, boxes), 10101) << name;
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(console.OutLines().back(), "DetModule PostProcess Failed!");
  }
}

TEST(DetModule, ImagesOtherThanBgrFailBeforeTiming) {
  DetModule det;
  det.Init(Network("det_dark.onnx"), "", false, 0);
  keshocr_test::StdStreamCapture console;
  std::vector<Quad> boxes;
  EXPECT_EQ(det.Run(cv::Mat(), boxes), 10103);
  EXPECT_EQ(det.Run(cv::Mat(10, 10, CV_8UC1), boxes), 10103);
  EXPECT_EQ(det.Run(cv::Mat(10, 10, CV_16UC3), boxes), 10103);
  EXPECT_EQ(console.OutLines(), std::vector<std::string>(3, "DetModule PreProcess Failed!"));
  EXPECT_TRUE(boxes.empty());
}

TEST(DetModule, RunWithoutNetworkAnswersInvalidModel) {
  DetModule det;
  keshocr_test::StdStreamCapture console;
  std::vector<Quad> boxes;
  EXPECT_EQ(det.Run(cv::Mat(10, 10, CV_8UC3), boxes), 10102);
  EXPECT_FALSE(det.HasNetwork());
}

}  // namespace
}  // namespace veltrano
