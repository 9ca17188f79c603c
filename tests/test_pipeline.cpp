// KeshOCRModule::Run end to end on the tiny deterministic networks: a dark
// (not pure black) square is one character, its grey level (round(grey /
// 25.5)) its digit.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "KeshOCR.h"
#include "module/rectify.h"
#include "support/log_capture.h"
#include "support/packages.h"
#include "support/test_paths.h"

namespace veltrano {
namespace {

struct Square {
  int x, y, side, grey;
};

cv::Mat Scene(const std::vector<Square>& squares, int width = 768, int height = 768) {
  cv::Mat image(height, width, CV_8UC3, cv::Scalar::all(255));
  for (const Square& s : squares)
    cv::rectangle(image, cv::Rect(s.x, s.y, s.side, s.side), cv::Scalar::all(s.grey), cv::FILLED);
  return image;
}

// At scale 1 a square of side n has a rectangle of n - 1; each side grows by
// ceil(0.2142857 (n - 1)).
std::vector<cv::Point2f> ExpectedBox(const Square& s) {
  const float pad = std::ceil((1.0f / 0.7f - 1.0f) * float(s.side - 1) * 0.5f);
  const float x0 = s.x - pad, y0 = s.y - pad;
  const float x1 = s.x + s.side - 1 + pad, y1 = s.y + s.side - 1 + pad;
  return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
}

class PipelineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = new KeshOCRModule();
    keshocr_test::StdStreamCapture quiet;
    const std::string dir = keshocr_test::ScratchDir("pipeline");
    ASSERT_EQ(module_->Init(keshocr_test::TinyPackage().Write(dir, "tiny.pkg"), false, 0), Success);
  }
  static void TearDownTestSuite() { delete module_; }

  OCRResponse Read(const cv::Mat& image, float threshold = 0.0f) {
    OCRResponse response;
    keshocr_test::StdStreamCapture quiet;
    EXPECT_EQ(module_->Run(OCRRequest{image, threshold}, response), Success);
    return response;
  }
  static KeshOCRModule* module_;
};
KeshOCRModule* PipelineTest::module_ = nullptr;

TEST_F(PipelineTest, ReadsSquaresLeftToRightWithTheirBoxes) {
  const std::vector<Square> squares = {
      {500, 100, 40, 102}, {100, 400, 40, 5}, {300, 250, 50, 51}};
  const cv::Mat image = Scene(squares);
  const cv::Mat before = image.clone();
  OCRResponse response = Read(image);
  ASSERT_EQ(response.results.size(), 3u);
  EXPECT_EQ(response.status, 0);
  const std::vector<int> order = {1, 2, 0};  // by x of the top-left corner
  const std::vector<std::string> texts = {"0", "2", "4"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(response.results[i].points, ExpectedBox(squares[order[i]])) << i;
    EXPECT_EQ(response.results[i].text, texts[i]) << i;
    EXPECT_GT(response.results[i].score, 0.5f);
  }
  EXPECT_EQ(cv::norm(image, before, cv::NORM_INF), 0) << "the request image must not change";
}

TEST_F(PipelineTest, ScaledImagesMapBoxesBackAndStillRead) {
  // 1536 x 1536 is halved: a 120-pixel square is 60 map pixels.
  OCRResponse response = Read(Scene({{400, 700, 120, 120}}, 1536, 1536));
  ASSERT_EQ(response.results.size(), 1u);
  EXPECT_EQ(response.results[0].text, "5");
  const auto& p = response.results[0].points;
  EXPECT_NEAR(p[0].x, 400 - 26, 2);
  EXPECT_NEAR(p[2].x, 520 + 26, 2);
}

TEST_F(PipelineTest, EmptySceneEmptiesAnEarlierResponse) {
  OCRResponse response;
  response.results.resize(3);
  response.status = 9;
  keshocr_test::StdStreamCapture quiet;
  EXPECT_EQ(module_->Run(OCRRequest{Scene({}), 0}, response), Success);
  EXPECT_TRUE(response.results.empty());
  EXPECT_EQ(response.status, 0);
}

TEST_F(PipelineTest, ThresholdDoesNotFilterResults) {
  OCRResponse low = Read(Scene({{300, 300, 60, 5}}), 0.0f);
  OCRResponse high = Read(Scene({{300, 300, 60, 5}}), 2.0f);
  ASSERT_EQ(high.results.size(), 1u);
  EXPECT_EQ(high.results[0].text, low.results[0].text);
  EXPECT_EQ(high.results[0].score, low.results[0].score);
}

TEST_F(PipelineTest, ImagesOfTheWrongKindAnswerInvalidImageUntouched) {
  OCRResponse response;
  response.results.resize(1);
  response.status = 5;
  for (const cv::Mat& image :
       {cv::Mat(), cv::Mat(20, 20, CV_8UC1), cv::Mat(20, 20, CV_8UC4), cv::Mat(20, 20, CV_16UC3),
        cv::Mat(20, 20, CV_32FC3)}) {
    EXPECT_EQ(module_->Run(OCRRequest{image, 0}, response), InvalidImage);
    EXPECT_EQ(response.results.size(), 1u);
    EXPECT_EQ(response.status, 5);
  }
}

TEST_F(PipelineTest, RunIsRepeatableAndCopiesShareThePipeline) {
  const cv::Mat image = Scene({{100, 100, 50, 5}, {400, 100, 50, 76}});
  OCRResponse first = Read(image);
  KeshOCRModule copy(*module_);
  OCRResponse second;
  keshocr_test::StdStreamCapture quiet;
  copy.Run(OCRRequest{image, 0}, second);
  ASSERT_EQ(first.results.size(), 2u);
  ASSERT_EQ(second.results.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(first.results[i].points, second.results[i].points);
    EXPECT_EQ(first.results[i].text, second.results[i].text);
    EXPECT_EQ(first.results[i].score, second.results[i].score);
  }
  EXPECT_EQ(first.results[1].text, "3");
}

TEST(RectifyQuad, AxisAlignedBoxIsThatRegion) {
  cv::Mat image(100, 200, CV_8UC3);
  cv::randu(image, 0, 256);
  Quad quad{{{10, 20}, {110, 20}, {110, 60}, {10, 60}}};
  cv::Mat crop;
  RectifyQuad(image, quad, crop);
  ASSERT_EQ(crop.size(), cv::Size(100, 40));
  EXPECT_EQ(crop.type(), CV_8UC3);
  EXPECT_EQ(cv::norm(crop, image(cv::Rect(10, 20, 100, 40)), cv::NORM_INF), 0);
}

TEST(RectifyQuad, SizeIsTheLongerEdgeOfEachPairTruncated) {
  cv::Mat image(80, 120, CV_8UC3, cv::Scalar::all(90)), crop;
  RectifyQuad(image, Quad{{{0, 0}, {100, 14}, {99, 54}, {0, 40}}}, crop);
  EXPECT_EQ(crop.size(), cv::Size(100, 40));
}

TEST(RectifyQuad, DegenerateBoxesGiveEmptyCrops) {
  cv::Mat image(80, 120, CV_8UC3, cv::Scalar::all(90)), crop;
  RectifyQuad(image, Quad{{{5, 5}, {5, 5}, {5, 5}, {5, 5}}}, crop);
  EXPECT_TRUE(crop.empty());
  RectifyQuad(image, Quad{{{5, 5}, {50, 5}, {50, 5}, {5, 5}}}, crop);  // no height
  EXPECT_TRUE(crop.empty());
  RectifyQuad(image, Quad{{{0, 0}, {10, 0}, {20, 0}, {30, 0.5f}}}, crop);  // collinear-ish
  SUCCEED();
}

}  // namespace
}  // namespace veltrano
