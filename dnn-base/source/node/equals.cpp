#include "node/equals.h"

#include "node/check.h"

namespace veltrano {
namespace dnn {

EqualsNode::EqualsNode(double value) : NodeMatInputBase("EqualsNode"), value_(value) {}

StatusCode EqualsNode::Validate(const std::vector<Tensor>& inputs) {
  KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "Unexpected number of inputs");
  return NodeMatInputBase::Validate(inputs);
}

void EqualsNode::Run(std::vector<Tensor>& tensors) {
  const cv::Mat mask = tensors.at(0).MatView() == value_;
  tensors[0] = Tensor::FromMat(mask);
}

}  // namespace dnn
}  // namespace veltrano
