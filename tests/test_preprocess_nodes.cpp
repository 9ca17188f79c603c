#include <gtest/gtest.h>

#include <cstring>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "node/convert.h"
#include "node/layout.h"
#include "node/network_input.h"
#include "node/reshape.h"
#include "node/node_chain.h"
#include "node/normalize.h"
#include "node/padding.h"
#include "node/resize.h"
#include "support/log_capture.h"

namespace veltrano::dnn {
namespace {

cv::Mat RandomImage(int rows, int cols, int type, uint64_t seed) {
  cv::Mat m(rows, cols, type);
  cv::RNG rng(seed);
  rng.fill(m, cv::RNG::UNIFORM, 0, 256);
  return m;
}

bool SameMat(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

Tensor RunOne(NodeBase& node, Tensor in) {
  std::vector<Tensor> list{std::move(in)};
  node.Run(list);
  return list[0];
}

TEST(ResizeNode, MatchesOpenCvForEveryInterpolationCode) {
  const cv::Mat image = RandomImage(480, 640, CV_8UC3, 1);
  const std::pair<Interpolation, int> cases[] = {
      {Interpolation::Nearest, cv::INTER_NEAREST},
      {Interpolation::Linear, cv::INTER_LINEAR},
      {Interpolation::Cubic, cv::INTER_CUBIC},
      {Interpolation::Lanczos4, cv::INTER_LANCZOS4},  // OpenCV code 4, not 3
      {static_cast<Interpolation>(7), cv::INTER_LINEAR}};
  for (const auto& [code, method] : cases) {
    ResizeNode node(384, 512, code);
    Tensor out = RunOne(node, Tensor::FromMat(image));
    EXPECT_EQ(out.shape, (std::vector<size_t>{384, 512, 3}));
    EXPECT_EQ(out.type, DataType::UInt8);
    EXPECT_EQ(out.layout, Layout::HWC);
    cv::Mat expected;
    cv::resize(image, expected, cv::Size(512, 384), 0, 0, method);
    EXPECT_TRUE(SameMat(out.MatView(), expected)) << "interpolation " << int(code);
  }
}

TEST(ResizeNode, LeavesOtherTensorsAlone) {
  ResizeNode node(4, 4, Interpolation::Linear);
  Tensor other({2}, DataType::Float32, Layout::Linear);
  std::vector<Tensor> list{Tensor::FromMat(RandomImage(8, 8, CV_8UC1, 2)), other};
  node.Run(list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].buffer, other.buffer);
  EXPECT_EQ(list[0].shape, (std::vector<size_t>{4, 4, 1}));
}

TEST(PaddingNode, PlacesImageTopLeftWithConstantBorder) {
  const cv::Mat image = RandomImage(384, 512, CV_8UC3, 3);
  PaddingNode node(0, 384, 0, 256, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  Tensor out = RunOne(node, Tensor::FromMat(image));
  EXPECT_EQ(out.shape, (std::vector<size_t>{768, 768, 3}));
  const cv::Mat view = out.MatView();
  EXPECT_TRUE(SameMat(view(cv::Rect(0, 0, 512, 384)), image));
  EXPECT_EQ(cv::countNonZero(view(cv::Rect(512, 0, 256, 768)).reshape(1)), 0);
  EXPECT_EQ(cv::countNonZero(view(cv::Rect(0, 384, 768, 384)).reshape(1)), 0);
}

TEST(PaddingNode, CentredPaddingWithValueAndValidation) {
  PaddingNode node(1, 2, 3, 4, cv::BORDER_CONSTANT, cv::Scalar(9, 8, 7));
  Tensor out = RunOne(node, Tensor::FromMat(cv::Mat(2, 2, CV_8UC3, cv::Scalar(1, 1, 1))));
  EXPECT_EQ(out.shape, (std::vector<size_t>{5, 9, 3}));
  EXPECT_EQ(out.MatView().at<cv::Vec3b>(0, 0), cv::Vec3b(9, 8, 7));
  EXPECT_EQ(out.MatView().at<cv::Vec3b>(1, 3), cv::Vec3b(1, 1, 1));

  keshocr_test::LogCapture log;
  Tensor image = Tensor::FromMat(cv::Mat(2, 2, CV_8UC3));
  EXPECT_EQ(node.Validate({image, image}), StatusCode::InvalidInput);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0].rfind("error: unexpected number of input tensors, want 1, got 2, at file "
                                 "dnn-base/source/node/padding.cpp:",
                                 0),
            0u);
  EXPECT_EQ(node.Validate({image}), StatusCode::Success);
}

template <typename T>
Tensor Elements(std::vector<T> values, DataType type) {
  Tensor t({values.size()}, type, Layout::Linear);
  std::copy(values.begin(), values.end(), t.data_as<T>());
  return t;
}

template <typename T>
std::vector<T> Values(const Tensor& t) {
  return std::vector<T>(t.data_as<T>(), t.data_as<T>() + t.ElementCount());
}

TEST(ConvertNode, IntegerWideningNarrowingAndFloat) {
  ConvertNode to_float(DataType::Float32);
  EXPECT_EQ(Values<float>(RunOne(to_float, Elements<uint8_t>({0, 200, 255}, DataType::UInt8))),
            (std::vector<float>{0.f, 200.f, 255.f}));
  ConvertNode to_u16(DataType::UInt16);
  EXPECT_EQ(Values<uint16_t>(RunOne(to_u16, Elements<int8_t>({-1, 5}, DataType::Int8))),
            (std::vector<uint16_t>{65535, 5}));  // sign-extended
  ConvertNode to_i32(DataType::Int32);
  EXPECT_EQ(Values<int32_t>(RunOne(to_i32, Elements<uint16_t>({65535}, DataType::UInt16))),
            (std::vector<int32_t>{65535}));  // zero-extended
  ConvertNode to_u8(DataType::UInt8);
  EXPECT_EQ(Values<uint8_t>(RunOne(to_u8, Elements<uint16_t>({300, 255}, DataType::UInt16))),
            (std::vector<uint8_t>{44, 255}));  // low bits
  ConvertNode to_f64(DataType::Float64);
  EXPECT_EQ(Values<double>(RunOne(to_f64, Elements<uint32_t>({4000000000u}, DataType::UInt32))),
            (std::vector<double>{4e9}));  // unsigned, not negative
}

TEST(ConvertNode, FloatToIntegerTruncatesWithoutSaturation) {
  ConvertNode to_u8(DataType::UInt8);
  EXPECT_EQ(Values<uint8_t>(RunOne(to_u8, Elements<float>({255.9f, 256.0f, 2.9f, -2.9f}, DataType::Float32))),
            (std::vector<uint8_t>{255, 0, 2, 254}));
  ConvertNode to_i32(DataType::Int32);
  EXPECT_EQ(Values<int32_t>(RunOne(to_i32, Elements<double>({-2.9, 2.9}, DataType::Float64))),
            (std::vector<int32_t>{-2, 2}));
  ConvertNode to_u32(DataType::UInt32);
  EXPECT_EQ(Values<uint32_t>(RunOne(to_u32, Elements<float>({3e9f}, DataType::Float32))),
            (std::vector<uint32_t>{3000000000u}));  // through a 64-bit integer
  // Out of range and NaN are defined: the lowest integer, low bits kept.
  ConvertNode to_i16(DataType::Int16);
  EXPECT_EQ(Values<int16_t>(RunOne(to_i16, Elements<float>({NAN, 1e20f}, DataType::Float32))),
            (std::vector<int16_t>{0, 0}));
  ConvertNode to_f32(DataType::Float32);
  auto f = Values<float>(RunOne(to_f32, Elements<double>({1e300, 0.1}, DataType::Float64)));
  EXPECT_TRUE(std::isinf(f[0]));
  EXPECT_EQ(f[1], 0.1f);
}

TEST(ConvertNode, SameWidthIntegersOnlyRelabelSharingTheBuffer) {
  Tensor in = Elements<uint8_t>({200}, DataType::UInt8);
  ConvertNode to_i8(DataType::Int8);
  Tensor out = RunOne(to_i8, in);
  EXPECT_EQ(out.buffer, in.buffer);
  EXPECT_EQ(out.type, DataType::Int8);
  EXPECT_EQ(out.data_as<int8_t>()[0], -56);
  EXPECT_EQ(in.type, DataType::UInt8);  // the other holder keeps its own tag

  ConvertNode same(DataType::UInt8);
  EXPECT_EQ(RunOne(same, in).buffer, in.buffer);
  // int32 and float32 have one width but are not relabelled.
  ConvertNode to_f32(DataType::Float32);
  Tensor converted = RunOne(to_f32, Elements<int32_t>({-3}, DataType::Int32));
  EXPECT_EQ(converted.data_as<float>()[0], -3.0f);
}

TEST(ConvertNode, EveryPairOfTheTableConvertsZeroAndOne) {
  for (int s = 0; s < 8; ++s) {
    for (int d = 0; d < 8; ++d) {
      Tensor in({2}, static_cast<DataType>(s), Layout::Linear);
      std::vector<float> src{0.f, 1.f};
      ConvertElements(src.data(), DataType::Float32, in.data(), in.type, 2);
      ConvertNode node(static_cast<DataType>(d));
      Tensor out = RunOne(node, in);
      std::vector<double> back(2);
      ConvertElements(out.data(), out.type, back.data(), DataType::Float64, 2);
      EXPECT_EQ(back, (std::vector<double>{0.0, 1.0})) << s << " -> " << d;
    }
  }
  ConvertNode bad(static_cast<DataType>(9));
  EXPECT_THROW(RunOne(bad, Elements<float>({1.f}, DataType::Float32)), std::invalid_argument);
}

TEST(NormalizeNode, MapsPixelsInPlace) {
  Tensor image({1, 2, 3}, DataType::Float32, Layout::HWC);
  const float values[] = {0, 255, 127.5f, 255, 0, 51};
  std::copy(values, values + 6, image.data_as<float>());
  NodeChain chain({std::make_shared<NormalizeNode>(std::vector<float>{0, 0, 0},
                                                   std::vector<float>{127.5f, 127.5f, 127.5f}),
                   std::make_shared<NormalizeNode>(std::vector<float>{1, 1, 1},
                                                   std::vector<float>{1, 1, 1})});
  chain.validate = true;
  Tensor out = chain.Run(std::vector<Tensor>{image})[0];
  EXPECT_EQ(out.buffer, image.buffer);  // in place
  EXPECT_EQ(Values<float>(out), (std::vector<float>{-1.f, 1.f, 0.f, 1.f, -1.f, -0.6f}));

  NormalizeNode halve({0, 0, 0}, {127.5f, 127.5f, 127.5f});
  Tensor one = Tensor({1, 1, 3}, DataType::Float32, Layout::HWC);
  std::fill_n(one.data_as<float>(), 3, 255.f);
  EXPECT_EQ(Values<float>(RunOne(halve, one)), (std::vector<float>{2.f, 2.f, 2.f}));
}

TEST(NormalizeNode, ValidationMessagesInOrder) {
  Tensor f32({4, 4, 3}, DataType::Float32, Layout::HWC);
  Tensor u8({4, 4, 3}, DataType::UInt8, Layout::HWC);
  struct Case {
    std::vector<float> mean, variance;
    std::vector<Tensor> inputs;
    std::string line;
  } cases[] = {
      {{0, 0, 0}, {1, 1, 1}, {u8}, "error: unexpected tensor type, want float32, got uint8, at file "},
      {{0, 0, 0}, {1, 0, 1}, {f32}, "error: variance should not be zero, 0 == 0, at file "},
      {{0, 0, 0}, {1, -0.0f, 1}, {f32}, "error: variance should not be zero, -0 == 0, at file "},
      {{0, 0}, {1, 1}, {f32}, "error: unexpected mean size, want 3, got 2, at file "},
      {{0, 0, 0}, {1, 1}, {f32}, "error: inconsistent mean and variance sizes, want 3, got 2, at file "},
      {{0, 0, 0}, {1, 1, 1}, {f32, f32}, "error: unexpected number of input nodes, want 1, got 2, at file "},
      {{0, 0, 0}, {1, 1, 1}, {Tensor({3, 4, 4}, DataType::Float32, Layout::CHW)},
       "error: unexpected tensor format, layout: CHW, type: float32, shape: [3, 4, 4]"},
  };
  for (const Case& c : cases) {
    keshocr_test::LogCapture log;
    NormalizeNode node(c.mean, c.variance);
    EXPECT_EQ(node.Validate(c.inputs), StatusCode::InvalidInput) << c.line;
    ASSERT_EQ(log.Lines().size(), 1u) << c.line;
    EXPECT_EQ(log.Lines()[0].rfind(c.line, 0), 0u) << log.Lines()[0];
    if (c.line.find("at file") != std::string::npos) {
      EXPECT_NE(log.Lines()[0].find("dnn-base/source/node/normalize.cpp:"), std::string::npos);
    }
  }
  NormalizeNode nan_passes({0, 0, 0}, {NAN, 1, 1});
  EXPECT_EQ(nan_passes.Validate({f32}), StatusCode::Success);
}

TEST(NormalizeNode, RunRefusesWhatWouldReadPastItsBuffers) {
  NormalizeNode node({0, 0, 0}, {1, 1, 1});
  EXPECT_THROW(RunOne(node, Tensor({4, 4, 3}, DataType::UInt8, Layout::HWC)), std::invalid_argument);
  EXPECT_THROW(RunOne(node, Tensor({4, 4, 4}, DataType::Float32, Layout::HWC)), std::invalid_argument);
}

TEST(NormalizedPlanarInput, SameBitsAsTheNodeChain) {
  cv::Mat big = RandomImage(90, 140, CV_8UC3, 11);
  // The detector's canvas: black right of and below the image, and a last
  // pixel whose first channel alone is lit.
  cv::Mat canvas = RandomImage(40, 50, CV_8UC3, 13);
  canvas(cv::Rect(31, 0, 19, 40)).setTo(cv::Scalar::all(0));
  canvas(cv::Rect(0, 25, 50, 15)).setTo(cv::Scalar::all(0));
  canvas.at<cv::Vec3b>(3, 30) = cv::Vec3b(5, 0, 0);
  for (const cv::Mat& image : {RandomImage(128, 128, CV_8UC3, 10), big(cv::Rect(7, 5, 100, 60)),
                               RandomImage(3, 5, CV_8UC1, 12), canvas}) {
    const size_t ch = image.channels();
    NodeChain chain({std::make_shared<ConvertNode>(DataType::Float32),
                     std::make_shared<NormalizeNode>(std::vector<float>(ch, 0.f),
                                                     std::vector<float>(ch, 127.5f)),
                     std::make_shared<NormalizeNode>(std::vector<float>(ch, 1.f),
                                                     std::vector<float>(ch, 1.f)),
                     std::make_shared<ConvertLayoutNode>(LayoutConversion::HWCToCHW),
                     std::make_shared<ReshapeNode>(std::vector<size_t>{
                         1, ch, size_t(image.rows), size_t(image.cols)})});
    const Tensor want = chain.Run(std::vector<cv::Mat>{image})[0];
    const Tensor got = NormalizedPlanarInput(image);
    ASSERT_EQ(got.shape, want.shape);
    EXPECT_EQ(got.type, DataType::Float32);
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), want.ByteSize()));
  }
  EXPECT_THROW(NormalizedPlanarInput(cv::Mat(4, 4, CV_32FC3)), std::invalid_argument);
}

}  // namespace
}  // namespace veltrano::dnn
