#ifndef KESHOCR_DNN_RESIZE_H_
#define KESHOCR_DNN_RESIZE_H_

#include "node/node_base.h"

namespace veltrano {
namespace dnn {

// Resampling methods. Lanczos maps to OpenCV's INTER_LANCZOS4 (code 4, not 3);
// any value outside the table resamples bilinearly.
enum class Interpolation : int32_t { Nearest = 0, Linear = 1, Cubic = 2, Lanczos4 = 3 };

int ToCvInterpolation(Interpolation interpolation);

// Scales an image tensor to height x width, writing straight into the new
// tensor's buffer.
class ResizeNode : public NodeMatInputBase {
 public:
  ResizeNode(size_t height, size_t width, Interpolation interpolation);
  void Run(std::vector<Tensor>& tensors) override;

 private:
  size_t height_;
  size_t width_;
  Interpolation interpolation_;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_RESIZE_H_
