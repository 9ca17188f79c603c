#include <gtest/gtest.h>

#include "node/node_chain.h"

#include <cstring>
#include <opencv2/imgproc.hpp>
#include "node/ocr_det_postprocess.h"
#include "support/log_capture.h"

namespace veltrano::dnn {
namespace {

// A score map {1, 3, h, w} whose text plane (class 2) holds `text` everywhere,
// and a label image of the same size with every pixel 0.
struct Maps {
  Tensor scores, labels;
  Maps(size_t h, size_t w, float text)
      : scores({1, 3, h, w}, DataType::Float32, Layout::NCHW),
        labels({h, w, 1}, DataType::Int32, Layout::HWC) {
    std::fill_n(scores.data_as<float>(), scores.ElementCount(), 0.0f);
    std::fill_n(scores.data_as<float>() + 2 * h * w, h * w, text);
    std::fill_n(labels.data_as<int32_t>(), h * w, 0);
  }
  void Label(int x0, int y0, int x1, int y1, int32_t label) {  // inclusive
    const size_t w = labels.shape[1];
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) labels.data_as<int32_t>()[y * w + x] = label;
  }
  float& Text(int x, int y) { return scores.data_as<float>()[(2 * scores.shape[2] + y) * scores.shape[3] + x]; }
};

std::vector<Tensor> Boxes(Maps& maps, int h = 768, int w = 768) {
  NodeChain chain({std::make_shared<OcrDetAreaAndProbabilityNode>(),
                   std::make_shared<OcrDetBoundingBoxNode>(0.15f, 0.75f, 10.0f, h, w)});
  chain.validate = true;
  return chain.Run(std::vector<Tensor>{maps.scores, maps.labels});
}

std::vector<float> Row(const Tensor& boxes, size_t row) {
  return std::vector<float>(boxes.data_as<float>() + row * 8, boxes.data_as<float>() + row * 8 + 8);
}

TEST(OcrDetAreaAndProbabilityNode, SumsAndPixelListsInScanOrder) {
  Maps maps(4, 5, 0.5f);
  maps.Label(1, 0, 2, 0, 1);
  maps.Label(4, 3, 4, 3, 2);
  maps.Text(2, 0) = 0.25f;
  OcrDetAreaAndProbabilityNode node;
  std::vector<Tensor> list{maps.scores, maps.labels};
  node.Run(list);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].shape, (std::vector<size_t>{2}));
  EXPECT_EQ(list[0].layout, Layout::Linear);
  EXPECT_FLOAT_EQ(list[0].data_as<float>()[0], 0.75f);
  EXPECT_FLOAT_EQ(list[0].data_as<float>()[1], 0.5f);
  EXPECT_EQ(list[1].shape, (std::vector<size_t>{1, 2, 2}));
  EXPECT_EQ(list[1].type, DataType::Int32);
  EXPECT_EQ(std::vector<int32_t>(list[1].data_as<int32_t>(), list[1].data_as<int32_t>() + 4),
            (std::vector<int32_t>{1, 0, 2, 0}));
  EXPECT_EQ(std::vector<int32_t>(list[2].data_as<int32_t>(), list[2].data_as<int32_t>() + 2),
            (std::vector<int32_t>{4, 3}));
}

TEST(OcrDetBoundingBox, NoComponentsGivesEmptyTensors) {
  Maps maps(8, 8, 1.0f);
  OcrDetAreaAndProbabilityNode area;
  std::vector<Tensor> list{maps.scores, maps.labels};
  area.Run(list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].shape, (std::vector<size_t>{0}));
  auto boxes = Boxes(maps, 8, 8);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].shape, (std::vector<size_t>{0, 8}));
}

TEST(OcrDetBoundingBox, BlockGrowsClipsAndOrders) {
  Maps maps(768, 768, 0.9f);
  maps.Label(0, 0, 39, 19, 1);  // 40 x 20 pixels: rectangle 39 x 19, pad 5
  auto boxes = Boxes(maps);
  ASSERT_EQ(boxes[0].shape, (std::vector<size_t>{1, 8}));
  EXPECT_EQ(boxes[0].layout, Layout::HWC);
  const std::vector<float> want = {0, 0, 44, 0, 44, 24, 0, 24};
  const auto got = Row(boxes[0], 0);
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(got[i], want[i], 1e-3) << i;
}

TEST(OcrDetBoundingBox, MeanProbabilityBoundary) {
  Maps maps(768, 768, 0.0f);
  maps.Label(100, 100, 102, 100, 1);  // three pixels on one row: a line, dropped by size anyway
  // Make the components big enough to pass the size rule and vary the mean.
  Maps low(768, 768, 0.0f), high(768, 768, 0.0f);
  for (Maps* m : {&low, &high}) m->Label(100, 100, 129, 129, 1);
  for (int y = 100; y < 130; ++y)
    for (int x = 100; x < 130; ++x) {
      const int k = (y * 30 + x) % 3;  // a third each of three values
      low.Text(x, y) = k == 0 ? 0.9f : (k == 1 ? 0.8f : 0.4f);   // mean 0.7
      high.Text(x, y) = k == 0 ? 0.9f : (k == 1 ? 0.8f : 0.6f);  // mean 0.7667
    }
  EXPECT_EQ(Boxes(low)[0].shape[0], 0u);
  EXPECT_EQ(Boxes(high)[0].shape[0], 1u);
  EXPECT_EQ(Boxes(maps)[0].shape[0], 0u);
}

TEST(OcrDetBoundingBox, RightEdgeClippedTo767) {
  Maps maps(768, 768, 1.0f);
  maps.Label(740, 300, 767, 340, 1);
  auto row = Row(Boxes(maps)[0], 0);
  EXPECT_EQ(row[2], 767.0f);  // top-right x
  EXPECT_EQ(row[4], 767.0f);  // bottom-right x
  EXPECT_LT(row[0], 740.0f);
}

TEST(OcrDetBoundingBox, SmallAndThinComponentsDropped) {
  Maps maps(768, 768, 1.0f);
  maps.Label(10, 10, 10, 10, 1);   // one pixel
  maps.Label(50, 50, 90, 50, 2);   // a line: zero side, no pad
  maps.Label(200, 200, 205, 205, 3);  // 5 x 5 rectangle -> 7 x 7 grown
  maps.Label(300, 300, 309, 309, 4);  // 9 x 9 -> pad 1 -> 11 x 11 kept
  EXPECT_EQ(Boxes(maps)[0].shape[0], 1u);
}

TEST(OcrDetBoundingBox, RefusesScoreMapsThatCannotHoldText) {
  Maps maps(20, 20, 1.0f);
  maps.Label(2, 2, 15, 15, 1);
  Tensor two_classes({1, 2, 20, 20}, DataType::Float32, Layout::NCHW);
  Tensor too_small({1, 3, 10, 10}, DataType::Float32, Layout::NCHW);
  keshocr_test::LogCapture log;
  for (const Tensor& scores : {two_classes, too_small}) {
    OcrDetAreaAndProbabilityNode node;
    std::vector<Tensor> list{scores, maps.labels};
    node.Run(list);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ElementCount(), 0u);
  }
  EXPECT_EQ(log.Lines().size(), 2u);
}

TEST(OcrDetBoundingBox, NodeToleratesListsShorterThanTheSums) {
  Tensor sums({3}, DataType::Float32, Layout::Linear);
  std::fill_n(sums.data_as<float>(), 3, 100.0f);
  Tensor empty_component({1, 0, 2}, DataType::Int32, Layout::HWC);
  OcrDetBoundingBoxNode node(0.15f, 0.75f, 10.0f, 768, 768);
  std::vector<Tensor> list{sums, empty_component};
  node.Run(list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].shape, (std::vector<size_t>{0, 8}));
}

TEST(OcrDetValidation, CountsLayoutsAndPointShapes) {
  OcrDetAreaAndProbabilityNode area;
  OcrDetBoundingBoxNode box(0.15f, 0.75f, 10.0f, 768, 768);
  Tensor sums({3}, DataType::Float32, Layout::Linear);
  Tensor points({1, 4, 2}, DataType::Int32, Layout::HWC);
  keshocr_test::LogCapture log;
  EXPECT_EQ(box.Validate({sums, points, points, points}), StatusCode::Success);
  EXPECT_EQ(box.Validate({sums, points, points}), StatusCode::InvalidInput);
  EXPECT_EQ(box.Validate({sums, points, points, Tensor({2, 4, 2}, DataType::Int32, Layout::HWC)}),
            StatusCode::InvalidInput);
  Tensor scores({1, 3, 4, 4}, DataType::Float32, Layout::NCHW);
  Tensor labels({4, 4, 1}, DataType::Int32, Layout::HWC);
  EXPECT_EQ(area.Validate({scores, labels}), StatusCode::Success);
  EXPECT_EQ(area.Validate({scores}), StatusCode::InvalidInput);
  EXPECT_EQ(area.Validate({labels, labels}), StatusCode::InvalidInput);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("error: Unexpected number of inputs, want 4, got 3, at file "
                           "dnn-base/source/node/ocr_det_postprocess.cpp:", 0), 0u);
  EXPECT_EQ(lines[1], "error: unexpected tensor format, layout: HWC, type: int32, shape: [2, 4, 2]");
  EXPECT_EQ(lines[2].rfind("error: Exactly 2 tensors are expected, want 2, got 1", 0), 0u);
  EXPECT_EQ(lines[3], "error: unexpected tensor format, layout: HWC, type: int32, shape: [4, 4, 1]");
}

TEST(MinAreaRectOfPixels, SameRectangleAsFromEveryPixel) {
  cv::RNG rng(5);
  for (int shape = 0; shape < 2000; ++shape) {
    cv::Mat m(80, 80, CV_8U, cv::Scalar(0));
    switch (shape % 4) {
      case 0:
        cv::ellipse(m, cv::Point(40, 40), cv::Size(rng.uniform(1, 35), rng.uniform(1, 35)),
                    rng.uniform(0, 180), 0, 360, 255, -1);
        break;
      case 1:
        cv::putText(m, std::string(1, char('0' + shape % 43)), cv::Point(5, 70),
                    cv::FONT_HERSHEY_SIMPLEX, rng.uniform(0.5, 2.5), 255, rng.uniform(1, 6));
        break;
      case 2:
        for (int k = rng.uniform(1, 200); k > 0; --k) m.at<uchar>(rng.uniform(0, 80), rng.uniform(0, 80)) = 255;
        break;
      default:
        cv::line(m, cv::Point(rng.uniform(0, 80), rng.uniform(0, 80)),
                 cv::Point(rng.uniform(0, 80), rng.uniform(0, 80)), 255, rng.uniform(1, 4));
    }
    std::vector<int32_t> xy;
    std::vector<cv::Point> every;
    for (int y = 0; y < m.rows; ++y)
      for (int x = 0; x < m.cols; ++x)
        if (m.at<uchar>(y, x)) {
          xy.insert(xy.end(), {x, y});
          every.emplace_back(x, y);
        }
    if (every.empty()) continue;
    const cv::RotatedRect want = cv::minAreaRect(every);
    const cv::RotatedRect got = MinAreaRectOfPixels(xy.data(), every.size());
    ASSERT_EQ(0, std::memcmp(&want, &got, sizeof want)) << "shape " << shape;
  }
  // Out of scan order: every pixel is used.
  const int32_t shuffled[] = {5, 5, 1, 1, 9, 2, 3, 8};
  std::vector<cv::Point> pts = {{5, 5}, {1, 1}, {9, 2}, {3, 8}};
  const cv::RotatedRect want = cv::minAreaRect(pts);
  const cv::RotatedRect got = MinAreaRectOfPixels(shuffled, 4);
  EXPECT_EQ(0, std::memcmp(&want, &got, sizeof want));
}

TEST(OrderCorners, ClockwiseFromTopLeft) {
  std::vector<float> out;
  cv::Point2f rect[4] = {{50, 40}, {10, 20}, {50, 20}, {10, 40}};
  OrderCorners(rect, out);
  EXPECT_EQ(out, (std::vector<float>{10, 20, 50, 20, 50, 40, 10, 40}));

  out.clear();
  cv::Point2f diamond[4] = {{30, 10}, {50, 30}, {30, 50}, {10, 30}};
  OrderCorners(diamond, out);
  // Sorted by x: (10,30), (30,10), (30,50), (50,30). Left pair (10,30),(30,10):
  // (30,10) is higher, so it is top-left. Right pair (30,50),(50,30): (50,30)
  // is higher, so it is top-right.
  EXPECT_EQ(out, (std::vector<float>{30, 10, 50, 30, 30, 50, 10, 30}));
}

}  // namespace
}  // namespace veltrano::dnn
