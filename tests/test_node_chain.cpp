#include <gtest/gtest.h>

#include <stdexcept>

#include "node/check.h"
#include "node/node_chain.h"
#include "support/log_capture.h"

namespace veltrano::dnn {
namespace {

// Adds a fixed value to every uint8 element of tensors[0]; counts its runs.
class AddNode : public NodeMatInputBase {
 public:
  explicit AddNode(uint8_t amount) : NodeMatInputBase("Add"), amount_(amount) {}
  void Run(std::vector<Tensor>& tensors) override {
    ++runs;
    auto* p = tensors[0].data_as<uint8_t>();
    for (size_t i = 0; i < tensors[0].ElementCount(); ++i) p[i] += amount_;
  }
  int runs = 0;

 private:
  uint8_t amount_;
};

// Wants float32 tensors only; used to make validation fail.
class FloatOnlyNode : public NodeBase {
 public:
  FloatOnlyNode() : NodeBase("FloatOnly") {}
  StatusCode Validate(const std::vector<Tensor>& inputs) override {
    KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "unexpected number of input nodes");
    KESHOCR_CHECK_EQUAL(std::string("float32"), DataTypeName(inputs[0].type),
                        "unexpected tensor type");
    KESHOCR_CHECK_NOT_EQUAL(inputs[0].shape[0], size_t{0}, "empty tensor");
    return StatusCode::Success;
  }
  void Run(std::vector<Tensor>&) override { ++runs; }
  int runs = 0;
};

Tensor Bytes(uint8_t value) {
  Tensor t({1, 2, 1}, DataType::UInt8, Layout::HWC);
  t.data_as<uint8_t>()[0] = t.data_as<uint8_t>()[1] = value;
  return t;
}

TEST(StatusName, TableAndFallback) {
  EXPECT_EQ(StatusName(0), "Success");
  EXPECT_EQ(StatusName(1), "InvalidInput");
  EXPECT_EQ(StatusName(2), "InvalidArgument");
  EXPECT_EQ(StatusName(7), "7");
}

TEST(NodeChain, EmptyChainReturnsInputUnchanged) {
  Tensor in = Bytes(5);
  auto out = NodeChain({}).Run(std::vector<Tensor>{in});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].buffer, in.buffer);
}

TEST(NodeChain, ImageOverloadMakesHwcCopies) {
  cv::Mat a(3, 4, CV_8UC3, cv::Scalar(1, 2, 3)), b(2, 2, CV_32FC1, cv::Scalar(0.5));
  auto out = NodeChain({}).Run(std::vector<cv::Mat>{a, b});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].shape, (std::vector<size_t>{3, 4, 3}));
  EXPECT_EQ(out[1].type, DataType::Float32);
  EXPECT_EQ(out[1].layout, Layout::HWC);
  EXPECT_NE(out[0].data(), static_cast<void*>(a.data));
}

TEST(NodeChain, WithoutValidationEveryNodeRuns) {
  auto add = std::make_shared<AddNode>(1);
  auto strict = std::make_shared<FloatOnlyNode>();
  keshocr_test::LogCapture log;
  auto out = NodeChain({add, strict, add}).Run(std::vector<Tensor>{Bytes(1)});
  EXPECT_EQ(add->runs, 2);
  EXPECT_EQ(strict->runs, 1);
  EXPECT_EQ(out[0].data_as<uint8_t>()[0], 3);
  EXPECT_TRUE(log.Lines().empty());
}

TEST(NodeChain, ValidationStopsAtTheFailingNodeKeepingEarlierChanges) {
  auto first = std::make_shared<AddNode>(10);
  auto strict = std::make_shared<FloatOnlyNode>();
  auto third = std::make_shared<AddNode>(1);
  NodeChain chain({first, strict, third});
  chain.validate = true;
  Tensor shared = Bytes(1);
  keshocr_test::LogCapture log;
  try {
    chain.Run(std::vector<Tensor>{shared});
    FAIL() << "expected a validation failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "validation of node FloatOnly failed with status code InvalidInput");
  }
  EXPECT_EQ(first->runs, 1);
  EXPECT_EQ(strict->runs, 0);
  EXPECT_EQ(third->runs, 0);
  EXPECT_EQ(shared.data_as<uint8_t>()[0], 11);  // the first node's change stays
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("error: unexpected tensor type, want float32, got uint8, at file "
                           "tests/test_node_chain.cpp:",
                           0),
            0u)
      << lines[0];
}

TEST(Check, NotEqualFormAndExactLine) {
  FloatOnlyNode strict;
  Tensor empty({0, 2, 1}, DataType::Float32, Layout::HWC);
  keshocr_test::LogCapture log;
  EXPECT_EQ(strict.Validate({empty}), StatusCode::InvalidInput);
  EXPECT_EQ(strict.Validate({empty, empty}), StatusCode::InvalidInput);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("error: empty tensor, 0 == 0, at file tests/test_node_chain.cpp:", 0), 0u);
  EXPECT_EQ(lines[1].rfind("error: unexpected number of input nodes, want 1, got 2, at file", 0), 0u);
}

TEST(NodeMatInputBase, AcceptsImagesAndReportsOthers) {
  AddNode node(0);
  keshocr_test::LogCapture log;
  EXPECT_EQ(node.Validate({Tensor({5, 6, 3}, DataType::UInt8, Layout::HWC)}), StatusCode::Success);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(node.Validate({Tensor({3, 5, 6}, DataType::Float32, Layout::CHW)}),
            StatusCode::InvalidInput);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0],
            "error: unexpected tensor format, layout: CHW, type: float32, shape: [3, 5, 6]");
  EXPECT_EQ(node.Validate({}), StatusCode::InvalidInput);
}

}  // namespace
}  // namespace veltrano::dnn
