#include <gtest/gtest.h>

#include <cstring>

#include <limits>

#include "node/connected_comp.h"
#include "node/equals.h"
#include "node/layout.h"
#include "node/node_chain.h"
#include "node/reshape.h"
#include "node/reduce.h"
#include "support/log_capture.h"

namespace veltrano::dnn {
namespace {

constexpr double kLeastPositive = std::numeric_limits<double>::min();

Tensor RunOne(NodeBase& node, Tensor in) {
  std::vector<Tensor> list{std::move(in)};
  node.Run(list);
  return list[0];
}

// Pixels given as score triples, stored HWC {1, n, 3} or CHW {3, 1, n}.
Tensor ScoreMap(const std::vector<std::array<float, 3>>& pixels, Layout layout) {
  const size_t n = pixels.size();
  Tensor t(layout == Layout::HWC ? std::vector<size_t>{1, n, 3} : std::vector<size_t>{3, 1, n},
           DataType::Float32, layout);
  for (size_t p = 0; p < n; ++p)
    for (size_t c = 0; c < 3; ++c)
      t.data_as<float>()[layout == Layout::HWC ? p * 3 + c : c * n + p] = pixels[p][c];
  return t;
}

TEST(ChannelWiseMaximumLocNode, WinningClassPerPixelInBothLayouts) {
  const std::vector<std::array<float, 3>> pixels = {
      {0.1f, 0.7f, 0.2f}, {0.4f, 0.4f, 0.2f}, {0, 0, 0}, {-1, -0.5f, -2}, {0.1f, 0.2f, 0.7f},
      {0.3f, 0.3f, 0.3f}, {-1, -2, 0.5f}};
  const std::vector<uint8_t> want = {1, 0, 0, 0, 2, 0, 2};
  ChannelWiseMaximumLocNode node(kLeastPositive);
  Tensor hwc = RunOne(node, ScoreMap(pixels, Layout::HWC));
  EXPECT_EQ(hwc.shape, (std::vector<size_t>{1, 7, 1}));
  EXPECT_EQ(hwc.type, DataType::UInt8);
  EXPECT_EQ(hwc.layout, Layout::HWC);
  EXPECT_EQ(std::vector<uint8_t>(hwc.data_as<uint8_t>(), hwc.data_as<uint8_t>() + 7), want);
  Tensor chw = RunOne(node, ScoreMap(pixels, Layout::CHW));
  EXPECT_EQ(chw.shape, (std::vector<size_t>{1, 1, 7}));
  EXPECT_EQ(chw.layout, Layout::CHW);
  EXPECT_EQ(std::vector<uint8_t>(chw.data_as<uint8_t>(), chw.data_as<uint8_t>() + 7), want);
}

TEST(ChannelWiseMaximumLocNode, OneChannelIsZeroedInPlace) {
  Tensor t({4, 4, 1}, DataType::Float32, Layout::HWC);
  std::fill_n(t.data_as<float>(), 16, 3.0f);
  Tensor sharer = t;
  ChannelWiseMaximumLocNode node(kLeastPositive);
  Tensor out = RunOne(node, t);
  EXPECT_EQ(out.buffer, t.buffer);
  EXPECT_EQ(out.type, DataType::Float32);
  EXPECT_EQ(out.shape, t.shape);
  EXPECT_EQ(sharer.data_as<float>()[15], 0.0f);
}

TEST(ChannelWiseMaximumLocNode, OtherLayoutsPassAndValidationReports) {
  ChannelWiseMaximumLocNode node(kLeastPositive);
  Tensor nchw({1, 3, 2, 2}, DataType::Float32, Layout::NCHW);
  EXPECT_EQ(RunOne(node, nchw).buffer, nchw.buffer);

  keshocr_test::LogCapture log;
  EXPECT_EQ(node.Validate({nchw}), StatusCode::InvalidInput);
  EXPECT_EQ(node.Validate({Tensor({2, 2, 300}, DataType::Float32, Layout::HWC)}), StatusCode::InvalidInput);
  EXPECT_EQ(node.Validate({Tensor({2, 2, 3}, DataType::UInt8, Layout::HWC)}), StatusCode::InvalidInput);
  EXPECT_EQ(node.Validate({Tensor({2, 2, 3}, DataType::Float32, Layout::HWC)}), StatusCode::Success);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "error: unexpected tensor layout, want 1 or 2, got 3");
  EXPECT_EQ(lines[1], "error: unexcepted channel count, 300 >= 256");
  EXPECT_EQ(lines[2].rfind("error: unexpected tensor type, want float32, got uint8, at file "
                           "dnn-base/source/node/reduce.cpp:", 0), 0u);
  EXPECT_THROW(RunOne(node, Tensor({2, 2, 3}, DataType::UInt8, Layout::HWC)), std::invalid_argument);
}

TEST(EqualsNode, MaskOfEqualElements) {
  Tensor t({1, 4, 1}, DataType::UInt8, Layout::HWC);
  const uint8_t values[] = {0, 2, 1, 2};
  std::copy(values, values + 4, t.data_as<uint8_t>());
  EqualsNode node(2.0);
  Tensor mask = RunOne(node, t);
  EXPECT_EQ(mask.type, DataType::UInt8);
  EXPECT_EQ(mask.layout, Layout::HWC);
  EXPECT_EQ(std::vector<uint8_t>(mask.data_as<uint8_t>(), mask.data_as<uint8_t>() + 4),
            (std::vector<uint8_t>{0, 255, 0, 255}));
  keshocr_test::LogCapture log;
  EXPECT_EQ(node.Validate({t, t}), StatusCode::InvalidInput);
  EXPECT_EQ(log.Lines().at(0).rfind("error: Unexpected number of inputs, want 1, got 2, at file "
                                    "dnn-base/source/node/equals.cpp:", 0), 0u);
}

TEST(ConnectedComponentNode, ConnectivityDecidesDiagonalNeighbours) {
  Tensor mask({3, 3, 1}, DataType::UInt8, Layout::HWC);
  std::fill_n(mask.data_as<uint8_t>(), 9, 0);
  mask.data_as<uint8_t>()[0] = 255;  // (0,0)
  mask.data_as<uint8_t>()[4] = 255;  // (1,1) touches it diagonally
  ConnectedComponentNode eight(8), four(4);
  Tensor l8 = RunOne(eight, mask);
  EXPECT_EQ(l8.type, DataType::Int32);
  EXPECT_EQ(l8.shape, (std::vector<size_t>{3, 3, 1}));
  EXPECT_EQ(l8.data_as<int32_t>()[0], l8.data_as<int32_t>()[4]);
  EXPECT_GT(l8.data_as<int32_t>()[0], 0);
  Tensor l4 = RunOne(four, mask);
  EXPECT_NE(l4.data_as<int32_t>()[0], l4.data_as<int32_t>()[4]);
  EXPECT_GT(l4.data_as<int32_t>()[0] * l4.data_as<int32_t>()[4], 0);

  std::fill_n(mask.data_as<uint8_t>(), 9, 0);
  Tensor none = RunOne(eight, mask);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(none.data_as<int32_t>()[i], 0);
  keshocr_test::LogCapture log;
  EXPECT_EQ(eight.Validate({}), StatusCode::InvalidInput);
  EXPECT_EQ(log.Lines().at(0).rfind("error: unexpected number of inputs, want 1, got 0", 0), 0u);
}

TEST(ClassMask, SameBytesAsTheReductionChain) {
  cv::RNG rng(99);
  for (size_t classes : {1, 2, 3, 5}) {
    Tensor scores({1, classes, 16, 24}, DataType::Float32, Layout::NCHW);
    float* s = scores.data_as<float>();
    for (size_t i = 0; i < scores.ElementCount(); ++i) {
      // Ties, zeros, negatives, tiny values and NaN, not just random floats.
      const int kind = rng.uniform(0, 6);
      s[i] = kind == 0 ? 0.5f
                       : kind == 1 ? 0.0f
                                   : kind == 2 ? -rng.uniform(0.f, 1.f)
                                               : kind == 3 ? 1e-40f
                                                           : kind == 4 ? NAN : rng.uniform(0.f, 1.f);
    }
    for (size_t target : {0, 2}) {
      NodeChain chain({std::make_shared<StripBatchSizeNode>(),
                       std::make_shared<ConvertLayoutNode>(LayoutConversion::CHWToHWC),
                       std::make_shared<ChannelWiseMaximumLocNode>(kLeastPositive),
                       std::make_shared<EqualsNode>(double(target))});
      Tensor copy({1, classes, 16, 24}, DataType::Float32, Layout::NCHW);
      std::memcpy(copy.data(), s, scores.ByteSize());  // one-class maps are zeroed in place
      const Tensor want = chain.Run(std::vector<Tensor>{copy})[0];
      const Tensor got = ClassMask(scores, target, kLeastPositive);
      ASSERT_EQ(got.shape, want.shape);
      EXPECT_EQ(0, std::memcmp(got.data(), want.data(), want.ByteSize()))
          << classes << " classes, target " << target;
    }
  }
  EXPECT_THROW(ClassMask(Tensor({3, 4, 4}, DataType::Float32, Layout::CHW), 2, 0), std::invalid_argument);
}

}  // namespace
}  // namespace veltrano::dnn
