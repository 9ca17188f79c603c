#include "node/resize.h"

#include <opencv2/imgproc.hpp>

namespace veltrano {
namespace dnn {

int ToCvInterpolation(Interpolation interpolation) {
  switch (interpolation) {
    case Interpolation::Nearest: return cv::INTER_NEAREST;
    case Interpolation::Cubic: return cv::INTER_CUBIC;
    case Interpolation::Lanczos4: return cv::INTER_LANCZOS4;
    default: return cv::INTER_LINEAR;
  }
}

ResizeNode::ResizeNode(size_t height, size_t width, Interpolation interpolation)
    : NodeMatInputBase("Resize"), height_(height), width_(width), interpolation_(interpolation) {}

void ResizeNode::Run(std::vector<Tensor>& tensors) {
  const Tensor& in = tensors.at(0);
  Tensor out({height_, width_, in.Channels()}, in.type, in.layout);
  // The destination view already has the requested size and type, so OpenCV
  // writes into out's buffer instead of reallocating.
  cv::Mat destination = out.MatView();
  cv::resize(in.MatView(), destination,
             cv::Size(static_cast<int>(width_), static_cast<int>(height_)), 0, 0,
             ToCvInterpolation(interpolation_));
  tensors[0] = std::move(out);
}

}  // namespace dnn
}  // namespace veltrano
