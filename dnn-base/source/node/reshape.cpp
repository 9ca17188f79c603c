#include "node/reshape.h"

#include "node/check.h"

namespace veltrano {
namespace dnn {

ReshapeNode::ReshapeNode(std::vector<size_t> shape) : NodeBase("Reshape"), shape_(std::move(shape)) {}

StatusCode ReshapeNode::Validate(const std::vector<Tensor>& inputs) {
  KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "unexpected number of input nodes");
  KESHOCR_CHECK_EQUAL(ElementCount(shape_), inputs[0].ElementCount(),
                      "unexpected total number of elements");
  return StatusCode::Success;
}

void ReshapeNode::Run(std::vector<Tensor>& tensors) { tensors.at(0).Reshape(shape_); }

StripBatchSizeNode::StripBatchSizeNode() : NodeBase("StripBatchSize") {}

StatusCode StripBatchSizeNode::Validate(const std::vector<Tensor>& inputs) {
  KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "unexpected number of input nodes");
  KESHOCR_CHECK_EQUAL(size_t{4}, inputs[0].shape.size(),
                      "unexpected tensor layout, should be NCHW or NHWC");
  KESHOCR_CHECK_EQUAL(size_t{1}, inputs[0].shape[0], "unexpected batch size, should be 1");
  return StatusCode::Success;
}

void StripBatchSizeNode::Run(std::vector<Tensor>& tensors) {
  Tensor& t = tensors.at(0);
  if (t.shape.empty()) return;  // no axis to strip
  if (!t.Reshape(std::vector<size_t>(t.shape.begin() + 1, t.shape.end()))) return;
  if (t.shape.size() == 3) {
    if (t.layout == Layout::NCHW) t.layout = Layout::CHW;
    else if (t.layout == Layout::NHWC) t.layout = Layout::HWC;
  }
}

}  // namespace dnn
}  // namespace veltrano
