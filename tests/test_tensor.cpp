#include <gtest/gtest.h>

#include "node/tensor.h"
#include "support/log_capture.h"

namespace veltrano::dnn {
namespace {

TEST(Tensor, DefaultAndEmptyShape) {
  Tensor t;
  EXPECT_EQ(t.buffer, nullptr);
  EXPECT_EQ(t.type, DataType::UInt8);
  EXPECT_EQ(t.layout, Layout::Undefined);
  EXPECT_EQ(t.ElementCount(), 1u);
  EXPECT_EQ(ShapeString(t.shape), "[]");
  EXPECT_EQ(t.Channels(), 0u);
}

TEST(Tensor, ReshapeKeepsBufferOrRefuses) {
  Tensor t({3, 768, 768}, DataType::Float32, Layout::CHW);
  const void* bytes = t.data();
  EXPECT_TRUE(t.Reshape({1, 3, 768, 768}));
  EXPECT_EQ(t.shape, (std::vector<size_t>{1, 3, 768, 768}));
  EXPECT_EQ(t.data(), bytes);
  EXPECT_EQ(t.layout, Layout::CHW);
  EXPECT_FALSE(t.Reshape({3, 768}));
  EXPECT_EQ(t.shape, (std::vector<size_t>{1, 3, 768, 768}));
}

TEST(Tensor, CopiesShareTheBufferUntilTheLastGoes) {
  std::weak_ptr<TensorBuffer> watch;
  {
    Tensor a({2, 2, 1}, DataType::UInt8, Layout::HWC);
    watch = a.buffer;
    Tensor b = a;
    b.data_as<uint8_t>()[0] = 42;
    EXPECT_EQ(a.data_as<uint8_t>()[0], 42);
    b.shape = {4};  // shape is each tensor's own
    EXPECT_EQ(a.shape.size(), 3u);
    a = Tensor();
    EXPECT_FALSE(watch.expired());
    Tensor c = std::move(b);
    EXPECT_EQ(b.buffer, nullptr);
    EXPECT_FALSE(watch.expired());
  }
  EXPECT_TRUE(watch.expired());
}

TEST(Tensor, MatCompatibility) {
  EXPECT_FALSE(Tensor({4, 4, 3}, DataType::UInt32, Layout::HWC).MatCompatible());
  EXPECT_FALSE(Tensor({4, 4, 2}, DataType::UInt8, Layout::HWC).MatCompatible());
  EXPECT_FALSE(Tensor({3, 4, 4}, DataType::UInt8, Layout::CHW).MatCompatible());
  EXPECT_FALSE(Tensor({1, 4, 4, 3}, DataType::UInt8, Layout::HWC).MatCompatible());
  EXPECT_FALSE(Tensor({4, 4}, DataType::UInt8, Layout::HWC).MatCompatible());
  for (size_t ch : {1, 3, 4}) EXPECT_TRUE(Tensor({4, 4, ch}, DataType::UInt8, Layout::HWC).MatCompatible());
  EXPECT_TRUE(Tensor({4, 4, 3}, DataType::Float32, Layout::HWC).MatCompatible());
}

TEST(Tensor, ChannelsFollowLayoutAndNeverReadPastShape) {
  EXPECT_EQ(Tensor({2, 3, 4}, DataType::UInt8, Layout::HWC).Channels(), 4u);
  EXPECT_EQ(Tensor({2, 3, 4}, DataType::UInt8, Layout::CHW).Channels(), 2u);
  EXPECT_EQ(Tensor({1, 2, 3, 4}, DataType::UInt8, Layout::NCHW).Channels(), 2u);
  EXPECT_EQ(Tensor({1, 2, 3, 4}, DataType::UInt8, Layout::NHWC).Channels(), 4u);
  EXPECT_EQ(Tensor({5}, DataType::UInt8, Layout::Linear).Channels(), 0u);
  EXPECT_EQ(Tensor({2, 3}, DataType::UInt8, Layout::NCHW).Channels(), 0u);
}

TEST(Tensor, FromMatCopiesContinuousAndRegionPixels) {
  cv::Mat colour(10, 20, CV_8UC3, cv::Scalar(1, 2, 3));
  Tensor t = Tensor::FromMat(colour);
  EXPECT_EQ(t.shape, (std::vector<size_t>{10, 20, 3}));
  EXPECT_EQ(t.type, DataType::UInt8);
  EXPECT_EQ(t.layout, Layout::HWC);
  colour.setTo(cv::Scalar(9, 9, 9));  // the tensor holds its own copy
  EXPECT_EQ(t.data_as<uint8_t>()[2], 3);

  cv::Mat big(6, 8, CV_32FC1);
  for (int i = 0; i < big.rows * big.cols; ++i) big.at<float>(i / 8, i % 8) = float(i);
  cv::Mat roi = big(cv::Rect(2, 1, 3, 2));
  ASSERT_FALSE(roi.isContinuous());
  Tensor r = Tensor::FromMat(roi);
  EXPECT_EQ(r.shape, (std::vector<size_t>{2, 3, 1}));
  EXPECT_EQ(r.type, DataType::Float32);
  const float want[] = {10, 11, 12, 18, 19, 20};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(r.data_as<float>()[i], want[i]);
}

TEST(Tensor, FromMatOfEmptyMatrix) {
  Tensor t = Tensor::FromMat(cv::Mat());
  EXPECT_EQ(t.shape, (std::vector<size_t>{0, 0, 1}));
  EXPECT_EQ(t.type, DataType::UInt8);
  EXPECT_EQ(t.layout, Layout::HWC);
  EXPECT_EQ(t.ElementCount(), 0u);
  EXPECT_TRUE(t.ToMat().empty());
}

TEST(Tensor, ToMatCopiesAndMatViewAliases) {
  Tensor t({2, 4, 3}, DataType::Float32, Layout::HWC);
  for (size_t i = 0; i < t.ElementCount(); ++i) t.data_as<float>()[i] = float(i) * 0.5f;
  cv::Mat copy = t.ToMat();
  EXPECT_EQ(copy.type(), CV_32FC3);
  EXPECT_EQ(copy.rows, 2);
  EXPECT_EQ(copy.cols, 4);
  EXPECT_EQ(0, std::memcmp(copy.data, t.data(), t.ByteSize()));
  EXPECT_NE(static_cast<void*>(copy.data), t.data());

  cv::Mat view = t.MatView();
  EXPECT_EQ(static_cast<void*>(view.data), t.data());
  view.at<cv::Vec3f>(0, 0)[0] = -7.0f;
  EXPECT_EQ(t.data_as<float>()[0], -7.0f);
}

TEST(Tensor, TypeDepthAndSizeTables) {
  EXPECT_EQ(ElementSize(DataType::Float64), 8u);
  EXPECT_EQ(ElementSize(DataType::UInt16), 2u);
  EXPECT_EQ(ElementSize(static_cast<DataType>(42)), 1u);
  EXPECT_EQ(ToCvDepth(DataType::UInt32), CV_8U);
  EXPECT_EQ(ToCvDepth(DataType::Int8), CV_8S);
  EXPECT_EQ(FromCvDepth(CV_16F), DataType::UInt8);
  EXPECT_EQ(FromCvDepth(CV_16S), DataType::Int16);
}

TEST(Tensor, TextFormsWithDecimalFallback) {
  EXPECT_EQ(DataTypeName(6), "float32");
  EXPECT_EQ(DataTypeName(8), "8");
  EXPECT_EQ(DataTypeName(9), "9");
  EXPECT_EQ(DataTypeName(-1), "-1");
  EXPECT_EQ(LayoutName(3), "NCHW");
  EXPECT_EQ(LayoutName(5), "Linear");
  EXPECT_EQ(LayoutName(0), "undefined");
  EXPECT_EQ(LayoutName(-1), "-1");
  EXPECT_EQ(ShapeString({5}), "[5]");
  EXPECT_EQ(ShapeString({768, 768, 3}), "[768, 768, 3]");
}

TEST(Tensor, LogUnexpectedFormatLine) {
  keshocr_test::LogCapture log;
  Tensor({32, 32, 2}, DataType::Float32, Layout::HWC).LogUnexpectedFormat();
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0],
            "error: unexpected tensor format, layout: HWC, type: float32, shape: [32, 32, 2]");
}

}  // namespace
}  // namespace veltrano::dnn
