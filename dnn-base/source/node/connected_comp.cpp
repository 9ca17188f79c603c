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
  const cv::Mat mask = tensors.at(0).MatView();
  // Label straight into the result's buffer: a destination of the right size
  // and type is written in place.
  Tensor out({static_cast<size_t>(mask.rows), static_cast<size_t>(mask.cols), 1}, DataType::Int32,
             Layout::HWC);
  cv::Mat labels = out.MatView();
  cv::connectedComponents(mask, labels, connectivity_, CV_32S);
  tensors[0] = labels.data == out.data() ? std::move(out) : Tensor::FromMat(labels);
}

}  // namespace dnn
}  // namespace veltrano
