#include "node/padding.h"

#include <stdexcept>

#include "node/check.h"

namespace veltrano {
namespace dnn {

PaddingNode::PaddingNode(int top, int bottom, int left, int right, int border_type,
                         cv::Scalar value)
    : NodeMatInputBase("PaddingNode"),
      top_(top),
      bottom_(bottom),
      left_(left),
      right_(right),
      border_type_(border_type),
      value_(value) {}

StatusCode PaddingNode::Validate(const std::vector<Tensor>& inputs) {
  KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "unexpected number of input tensors");
  return NodeMatInputBase::Validate(inputs);
}

void PaddingNode::Run(std::vector<Tensor>& tensors) {
  const Tensor& in = tensors.at(0);
  if (top_ < 0 || bottom_ < 0 || left_ < 0 || right_ < 0)
    throw std::invalid_argument("PaddingNode: negative border");
  const cv::Mat source = in.MatView();
  // Pad straight into the new tensor: the destination already has the final
  // size and type, so OpenCV does not reallocate it.
  Tensor out({in.shape.at(0) + top_ + bottom_, in.shape.at(1) + left_ + right_, in.Channels()},
             in.type, Layout::HWC);
  cv::Mat destination = out.MatView();
  cv::copyMakeBorder(source, destination, top_, bottom_, left_, right_, border_type_, value_);
  if (destination.data != out.data())
    throw std::logic_error("PaddingNode: padded image did not land in the tensor");
  tensors[0] = std::move(out);
}

}  // namespace dnn
}  // namespace veltrano
