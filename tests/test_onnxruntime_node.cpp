#include <gtest/gtest.h>

#include <dlfcn.h>

#include <onnxruntime_cxx_api.h>

#include "node/onnxruntime.h"
#include "support/log_capture.h"
#include "support/test_paths.h"

namespace veltrano::dnn {
namespace {

using keshocr_test::TestModel;

Tensor Filled(std::vector<size_t> shape, float value) {
  Tensor t(std::move(shape), DataType::Float32, Layout::NCHW);
  std::fill_n(t.data_as<float>(), t.ElementCount(), value);
  return t;
}

class OnnxNodeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    double768 = new OnnxRuntimeNode(TestModel("double_768.onnx"), false, 1);
  }
  static void TearDownTestSuite() {
    delete double768;
    double768 = nullptr;
  }
  static OnnxRuntimeNode* double768;
};
OnnxRuntimeNode* OnnxNodeTest::double768 = nullptr;

TEST_F(OnnxNodeTest, RunsAndTagsOutputsNchw) {
  std::vector<Tensor> list{Filled({1, 3, 768, 768}, 1.5f), Filled({2}, 0.f)};
  EXPECT_EQ(double768->Validate({list[0]}), StatusCode::Success);
  double768->Run(list);
  ASSERT_EQ(list.size(), 1u);  // one model output: the extra tensor goes
  EXPECT_EQ(list[0].shape, (std::vector<size_t>{1, 3, 768, 768}));
  EXPECT_EQ(list[0].type, DataType::Float32);
  EXPECT_EQ(list[0].layout, Layout::NCHW);
  EXPECT_EQ(list[0].data_as<float>()[0], 3.0f);
  EXPECT_EQ(list[0].data_as<float>()[list[0].ElementCount() - 1], 3.0f);
}

TEST_F(OnnxNodeTest, ValidationMessages) {
  keshocr_test::LogCapture log;
  Tensor good = Filled({1, 3, 768, 768}, 0.f);
  EXPECT_EQ(double768->Validate({Filled({1, 3, 768, 640}, 0.f)}), StatusCode::InvalidInput);
  EXPECT_EQ(double768->Validate({Filled({3, 768, 768}, 0.f)}), StatusCode::InvalidInput);
  EXPECT_EQ(double768->Validate({good, good}), StatusCode::InvalidInput);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("error: unexpected size of input tensor at 3, want 768, got 640, at file "
                           "dnn-base/source/node/onnxruntime.cpp:", 0), 0u);
  EXPECT_EQ(lines[1].rfind("error: unexpected tensor dimension, want 4, got 3, at file ", 0), 0u);
  EXPECT_EQ(lines[2].rfind("error: unexpected number of input nodes, want 1, got 2, at file ", 0), 0u);
}

TEST(OnnxRuntimeNode, FreeDimensionsAcceptAnyExtent) {
  OnnxRuntimeNode node(TestModel("double_free.onnx"), false, 1);
  EXPECT_EQ(node.InputShape(), (std::vector<int64_t>{-1, 3, -1, -1}));
  Tensor in = Filled({2, 3, 5, 7}, 1.f);
  EXPECT_EQ(node.Validate({in}), StatusCode::Success);
  std::vector<Tensor> list{in};
  node.Run(list);
  EXPECT_EQ(list[0].shape, (std::vector<size_t>{2, 3, 5, 7}));
  EXPECT_EQ(list[0].data_as<float>()[69], 2.f);
}

TEST(OnnxRuntimeNode, ThreeAxisModelInputIsRejectedByValidation) {
  OnnxRuntimeNode node(TestModel("double_3d.onnx"), false, 1);
  keshocr_test::LogCapture log;
  EXPECT_EQ(node.Validate({Filled({3, 768, 768}, 0.f)}), StatusCode::InvalidInput);
  EXPECT_EQ(log.Lines().at(0).rfind("error: unexpected dim of input node, want 4, got 3, at file ", 0), 0u);
}

TEST(OnnxRuntimeNode, TwoOutputsInModelOrder) {
  OnnxRuntimeNode node(TestModel("two_outputs.onnx"), false, 1);
  EXPECT_EQ(node.OutputCount(), 2u);
  std::vector<Tensor> list{Filled({1, 3, 8, 8}, 2.f)};
  node.Run(list);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].data_as<float>()[0], 4.f);
  EXPECT_EQ(list[1].data_as<float>()[0], 3.f);
  EXPECT_EQ(list[1].layout, Layout::NCHW);
}

TEST(OnnxRuntimeNode, ModelWithTwoInputsFailsInsideTheRuntime) {
  OnnxRuntimeNode node(TestModel("two_inputs.onnx"), false, 1);
  keshocr_test::LogCapture log;
  EXPECT_EQ(node.Validate({Filled({1, 3, 8, 8}, 0.f)}), StatusCode::InvalidInput);
  EXPECT_EQ(log.Lines().at(0).rfind("error: unexpected number of input nodes, want 1, got 2", 0), 0u);
  std::vector<Tensor> list{Filled({1, 3, 8, 8}, 0.f)};
  EXPECT_THROW(node.Run(list), Ort::Exception);
}

TEST(OnnxRuntimeNode, NonFloatOutputsAndInputsAreRefused) {
  OnnxRuntimeNode node(TestModel("int64_output.onnx"), false, 1);
  Tensor in = Filled({1, 3, 8, 8}, 0.f);
  std::vector<Tensor> list{in};
  try {
    node.Run(list);
    FAIL() << "an int64 output must not be read as floats";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("'y'"), std::string::npos) << e.what();
  }
  EXPECT_EQ(list[0].buffer, in.buffer);  // the list is left as it was
  OnnxRuntimeNode doubler(TestModel("double_free.onnx"), false, 1);
  std::vector<Tensor> bytes{Tensor({1, 3, 2, 2}, DataType::UInt8, Layout::NCHW)};
  EXPECT_THROW(doubler.Run(bytes), std::runtime_error);
}

TEST(OnnxRuntimeNode, BytesThatAreNotAModelThrowTheRuntimeError) {
  EXPECT_THROW(OnnxRuntimeNode("definitely not a network", false, 1), Ort::Exception);
  EXPECT_THROW(OnnxRuntimeNode("", false, 1), Ort::Exception);
}

bool RuntimeHasCudaEntry() {
  void* library = dlopen("libonnxruntime.so.1", RTLD_NOW | RTLD_NOLOAD);
  const bool found = library && dlsym(library, "OrtSessionOptionsAppendExecutionProvider_CUDA");
  if (library) dlclose(library);
  return found;
}

TEST(OnnxRuntimeNode, GpuRequestOnACudaCapableRuntimeUsesItOrSaysWhy) {
  if (!RuntimeHasCudaEntry()) GTEST_SKIP() << "the CPU runtime has no CUDA entry";
  try {
    OnnxRuntimeNode node(TestModel("double_free.onnx"), true, 1);
    std::vector<Tensor> list{Filled({1, 3, 2, 2}, 1.f)};
    node.Run(list);
    EXPECT_EQ(list[0].data_as<float>()[3], 2.f);
  } catch (const std::runtime_error& e) {  // no GPU, or no CUDA provider libraries
    EXPECT_STREQ(e.what(), "cannot append cuda execution provider");
  }
}

TEST(OnnxRuntimeNode, GpuRequestWithoutCudaWarnsAndRunsOnCpu) {
  if (RuntimeHasCudaEntry()) GTEST_SKIP() << "this runtime has the CUDA entry";
  keshocr_test::LogCapture log;
  OnnxRuntimeNode node(TestModel("double_free.onnx"), true, 1);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "warning: cannot find OrtSessionOptionsAppendExecutionProvider_CUDA, using CPU");
  std::vector<Tensor> list{Filled({1, 3, 2, 2}, 1.f)};
  node.Run(list);
  EXPECT_EQ(list[0].data_as<float>()[3], 2.f);
}

}  // namespace
}  // namespace veltrano::dnn
