#include "node/connected_comp.h"

#include <opencv2/imgproc.hpp>

#include "node/check.h"

namespace veltrano {
namespace dnn {

ConnectedComponentNode::ConnectedComponentNode(int connectivity)
    : NodeMatInputBase("ConnectedComponentNode"), connectivity_(connectivity) {}

StatusCode ConnectedComponentNode::Validate(const std::vector<Tensor>& inputs) {
  KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "unexpected number of inputs");
  return NodeMatInputBase::Validate(inputs);
}

void ConnectedComponentNode::Run(std::vector<Tensor>& tensors) {
  cv::Mat labels;
  cv::connectedComponents(tensors.at(0).MatView(), labels, connectivity_, CV_32S);
  tensors[0] = Tensor::FromMat(labels);
}

}  // namespace dnn
}  // namespace veltrano
