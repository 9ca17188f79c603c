#include <gtest/gtest.h>

#include <numeric>

#include "node/layout.h"
#include "node/reshape.h"
#include "support/log_capture.h"

namespace veltrano::dnn {
namespace {

template <typename T>
Tensor Iota(std::vector<size_t> shape, DataType type, Layout layout) {
  Tensor t(std::move(shape), type, layout);
  std::iota(t.data_as<T>(), t.data_as<T>() + t.ElementCount(), T(0));
  return t;
}

template <typename T>
std::vector<T> Values(const Tensor& t) {
  return std::vector<T>(t.data_as<T>(), t.data_as<T>() + t.ElementCount());
}

Tensor RunOne(NodeBase& node, Tensor in) {
  std::vector<Tensor> list{std::move(in)};
  node.Run(list);
  return list[0];
}

std::string OnlyLine(const keshocr_test::LogCapture& log) {
  auto lines = log.Lines();
  return lines.size() == 1 ? lines[0] : "<" + std::to_string(lines.size()) + " lines>";
}

TEST(ConvertLayoutNode, InterleavedToPlanarAndBack) {
  Tensor hwc = Iota<uint8_t>({2, 2, 3}, DataType::UInt8, Layout::HWC);
  ConvertLayoutNode to_chw(LayoutConversion::HWCToCHW), to_hwc(LayoutConversion::CHWToHWC);
  Tensor chw = RunOne(to_chw, hwc);
  EXPECT_EQ(chw.shape, (std::vector<size_t>{3, 2, 2}));
  EXPECT_EQ(chw.layout, Layout::CHW);
  EXPECT_EQ(Values<uint8_t>(chw), (std::vector<uint8_t>{0, 3, 6, 9, 1, 4, 7, 10, 2, 5, 8, 11}));
  Tensor back = RunOne(to_hwc, chw);
  EXPECT_EQ(back.shape, hwc.shape);
  EXPECT_EQ(back.layout, Layout::HWC);
  EXPECT_EQ(Values<uint8_t>(back), Values<uint8_t>(hwc));
}

TEST(ConvertLayoutNode, RoundTripsEveryElementWidth) {
  ConvertLayoutNode to_chw(LayoutConversion::HWCToCHW), to_hwc(LayoutConversion::CHWToHWC);
  const std::vector<size_t> shape{3, 5, 4};
  auto check = [&](auto zero, DataType type) {
    using T = decltype(zero);
    Tensor t = Iota<T>(shape, type, Layout::HWC);
    Tensor planar = RunOne(to_chw, t);
    // element (h=1, w=2, c=3) of HWC sits at c*15 + h*5 + w in CHW
    EXPECT_EQ(planar.data_as<T>()[3 * 15 + 1 * 5 + 2], t.data_as<T>()[(1 * 5 + 2) * 4 + 3]);
    EXPECT_EQ(Values<T>(RunOne(to_hwc, planar)), Values<T>(t)) << DataTypeName(type);
  };
  check(int8_t{}, DataType::Int8);
  check(uint16_t{}, DataType::UInt16);
  check(float{}, DataType::Float32);
  check(double{}, DataType::Float64);
}

TEST(ConvertLayoutNode, SingleChannelKeepsTheBuffer) {
  Tensor t = Iota<uint8_t>({4, 5, 1}, DataType::UInt8, Layout::HWC);
  ConvertLayoutNode to_chw(LayoutConversion::HWCToCHW);
  Tensor out = RunOne(to_chw, t);
  EXPECT_EQ(out.buffer, t.buffer);
  EXPECT_EQ(out.shape, (std::vector<size_t>{1, 4, 5}));
  EXPECT_EQ(out.layout, Layout::CHW);
}

TEST(ConvertLayoutNode, OtherConversionValuesDoNothing) {
  ConvertLayoutNode none(static_cast<LayoutConversion>(5));
  Tensor t = Iota<float>({2, 2, 2}, DataType::Float32, Layout::NCHW);
  Tensor out = RunOne(none, t);
  EXPECT_EQ(out.buffer, t.buffer);
  EXPECT_EQ(out.layout, Layout::NCHW);
  EXPECT_EQ(none.Validate({t}), StatusCode::Success);
}

TEST(ConvertLayoutNode, ValidationMessages) {
  ConvertLayoutNode to_chw(LayoutConversion::HWCToCHW), to_hwc(LayoutConversion::CHWToHWC);
  keshocr_test::LogCapture log;
  EXPECT_EQ(to_chw.Validate({Tensor({3, 2, 2}, DataType::UInt8, Layout::CHW)}), StatusCode::InvalidInput);
  EXPECT_EQ(OnlyLine(log).rfind("error: unexpected tensor layout, want HWC, got CHW, at file "
                                "dnn-base/source/node/layout.cpp:", 0), 0u);
  log.Clear();
  EXPECT_EQ(to_chw.Validate({Tensor({1, 3, 2, 2}, DataType::UInt8, Layout::HWC)}), StatusCode::InvalidInput);
  EXPECT_EQ(OnlyLine(log).rfind("error: unexpected tensor dimension, want 3, got 4, at file ", 0), 0u);
  log.Clear();
  EXPECT_EQ(to_hwc.Validate({Tensor({2, 2, 3}, DataType::UInt8, Layout::HWC)}), StatusCode::InvalidInput);
  EXPECT_EQ(OnlyLine(log).rfind("error: unexpected tensor layout, want CHW, got HWC", 0), 0u);
  log.Clear();
  Tensor ok({2, 2, 3}, DataType::UInt8, Layout::HWC);
  EXPECT_EQ(to_chw.Validate({ok, ok}), StatusCode::InvalidInput);
  EXPECT_EQ(OnlyLine(log).rfind("error: unexpected number of input nodes, want 1, got 2", 0), 0u);
  EXPECT_THROW(RunOne(to_chw, Tensor({6, 2}, DataType::UInt8, Layout::HWC)), std::invalid_argument);
}

TEST(ReshapeNode, KeepsBufferOrLeavesTensorUnchanged) {
  Tensor t({3, 768, 768}, DataType::Float32, Layout::CHW);
  ReshapeNode batch({1, 3, 768, 768});
  Tensor out = RunOne(batch, t);
  EXPECT_EQ(out.buffer, t.buffer);
  EXPECT_EQ(out.shape, (std::vector<size_t>{1, 3, 768, 768}));
  EXPECT_EQ(out.layout, Layout::CHW);

  ReshapeNode wrong({1, 3, 768, 767});
  EXPECT_EQ(RunOne(wrong, t).shape, t.shape);
  keshocr_test::LogCapture log;
  EXPECT_EQ(wrong.Validate({t}), StatusCode::InvalidInput);
  EXPECT_EQ(OnlyLine(log).rfind("error: unexpected total number of elements, want 1767168, got "
                                "1769472, at file dnn-base/source/node/reshape.cpp:", 0), 0u);
}

TEST(StripBatchSizeNode, DropsUnitBatchAndRelabels) {
  StripBatchSizeNode strip;
  Tensor nchw({1, 2, 4, 4}, DataType::Float32, Layout::NCHW);
  Tensor a = RunOne(strip, nchw);
  EXPECT_EQ(a.shape, (std::vector<size_t>{2, 4, 4}));
  EXPECT_EQ(a.layout, Layout::CHW);
  Tensor b = RunOne(strip, Tensor({1, 4, 4, 2}, DataType::Float32, Layout::NHWC));
  EXPECT_EQ(b.shape, (std::vector<size_t>{4, 4, 2}));
  EXPECT_EQ(b.layout, Layout::HWC);
  Tensor two({2, 2, 4, 4}, DataType::Float32, Layout::NCHW);
  Tensor c = RunOne(strip, two);
  EXPECT_EQ(c.shape, two.shape);
  EXPECT_EQ(c.layout, Layout::NCHW);
  EXPECT_EQ(RunOne(strip, Tensor()).shape.size(), 0u);  // nothing to strip, no crash

  keshocr_test::LogCapture log;
  EXPECT_EQ(strip.Validate({two}), StatusCode::InvalidInput);
  EXPECT_EQ(OnlyLine(log).rfind("error: unexpected batch size, should be 1, want 1, got 2, at file ", 0), 0u);
  log.Clear();
  EXPECT_EQ(strip.Validate({Tensor({2, 4, 4}, DataType::Float32, Layout::CHW)}), StatusCode::InvalidInput);
  EXPECT_EQ(OnlyLine(log).rfind("error: unexpected tensor layout, should be NCHW or NHWC, want 4, got 3", 0), 0u);
}

}  // namespace
}  // namespace veltrano::dnn
