#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "KeshOCR.h"

namespace veltrano {
namespace {

OCRResult Box(float x0, float y0, float x1, float y1, const std::string& text) {
  OCRResult r;
  r.points = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
  r.text = text;
  return r;
}

// What one box must look like: outline through the truncated corners, label at
// `origin` with `scale`.
void DrawExpected(cv::Mat& canvas, const OCRResult& r, cv::Point origin, double scale) {
  for (int j = 0; j < 4; ++j) {
    const auto& a = r.points[j];
    const auto& b = r.points[(j + 1) % 4];
    cv::line(canvas, cv::Point(int(a.x), int(a.y)), cv::Point(int(b.x), int(b.y)),
             cv::Scalar(255, 255, 0, 0), 1, cv::LINE_8);
  }
  cv::putText(canvas, r.text, origin, cv::FONT_HERSHEY_COMPLEX, scale, cv::Scalar(0, 0, 255, 0),
              2, cv::LINE_8, false);
}

bool Same(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

class VisualizeTest : public ::testing::Test {
 protected:
  KeshOCRModule module;
  IOCRModule& ocr = module;  // Visualize belongs to the interface
  cv::Mat image = cv::Mat(240, 320, CV_8UC3, cv::Scalar(200, 200, 200));
};

TEST_F(VisualizeTest, EmptyImageIsRejectedAndOutUntouched) {
  cv::Mat out(5, 5, CV_8UC1, cv::Scalar(7));
  const uchar* before = out.data;
  OCRResponse response;
  response.results.push_back(Box(1, 1, 30, 30, "A"));
  EXPECT_EQ(ocr.Visualize(OCRRequest{}, response, out), InvalidImage);
  EXPECT_EQ(out.data, before);
  EXPECT_EQ(out.at<uchar>(0, 0), 7);
}

TEST_F(VisualizeTest, NoResultsGivesAnExactCopy) {
  cv::Mat out;
  EXPECT_EQ(ocr.Visualize(OCRRequest{image, 0}, OCRResponse{}, out), Success);
  EXPECT_TRUE(Same(out, image));
  EXPECT_NE(out.data, image.data);
}

TEST_F(VisualizeTest, LabelAboveFirstBoxThenInsideWhenTooClose) {
  OCRResponse response;
  response.results = {Box(10, 100, 60, 140, "A"), Box(100, 150, 150, 190, "B")};
  cv::Mat original = image.clone();
  cv::Mat out;
  ASSERT_EQ(ocr.Visualize(OCRRequest{image, 0}, response, out), Success);

  cv::Mat expected = image.clone();
  DrawExpected(expected, response.results[0], {10, 100}, 1.0);  // 100 - 0 >= 25: corner 0
  DrawExpected(expected, response.results[1], {100, 190}, 1.0);  // 150 - 140 < 25: corner 3
  EXPECT_TRUE(Same(out, expected));
  EXPECT_TRUE(Same(image, original)) << "the request image must not be drawn on";
}

TEST_F(VisualizeTest, FirstBoxNearTheTopGetsItsLabelInside) {
  OCRResponse response;
  response.results = {Box(10, 20, 60, 60, "C")};
  cv::Mat out, expected = image.clone();
  ocr.Visualize(OCRRequest{image, 0}, response, out);
  DrawExpected(expected, response.results[0], {10, 60}, 1.0);
  EXPECT_TRUE(Same(out, expected));
}

TEST_F(VisualizeTest, SmallBoxesGetSmallerLabelsAndCornersTruncate) {
  OCRResponse response;
  response.results = {Box(10.9f, 100.9f, 40.9f, 110.9f, "D")};  // h 10, w 30 -> 0.4
  cv::Mat out, expected = image.clone();
  ocr.Visualize(OCRRequest{image, 0}, response, out);
  DrawExpected(expected, response.results[0], {10, 100}, 0.4);
  EXPECT_TRUE(Same(out, expected));
  // Scale 0.4 and 1.0 must not draw the same pixels.
  cv::Mat wrong = image.clone();
  DrawExpected(wrong, response.results[0], {10, 100}, 1.0);
  EXPECT_FALSE(Same(out, wrong));
}

TEST_F(VisualizeTest, ResultsWithoutFourFiniteCornersAreSkipped) {
  OCRResponse response;
  OCRResult three;
  three.points = {{1, 1}, {20, 1}, {20, 20}};
  three.text = "X";
  OCRResult not_finite = Box(5, 5, 50, 50, "Y");
  not_finite.points[2].x = std::numeric_limits<float>::quiet_NaN();
  OCRResult huge = Box(-1e30f, 5, 1e30f, 50, "Z");  // finite: drawn, clipped by OpenCV
  response.results = {three, not_finite, OCRResult{}};
  cv::Mat out;
  ASSERT_EQ(ocr.Visualize(OCRRequest{image, 0}, response, out), Success);
  EXPECT_TRUE(Same(out, image));
  response.results = {huge};
  EXPECT_EQ(ocr.Visualize(OCRRequest{image, 0}, response, out), Success);
}

TEST_F(VisualizeTest, OutReleasesItsOldPixelsInsteadOfOverwritingThem) {
  cv::Mat previous(240, 320, CV_8UC3, cv::Scalar(1, 2, 3));
  cv::Mat out = previous;  // shares previous's pixels
  ocr.Visualize(OCRRequest{image, 0}, OCRResponse{}, out);
  EXPECT_EQ(previous.at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));
  EXPECT_TRUE(Same(out, image));
}

}  // namespace
}  // namespace veltrano
