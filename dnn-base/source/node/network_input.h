// The input tensor of a network, made from an 8-bit image in one pass.
#ifndef KESHOCR_DNN_NETWORK_INPUT_H_
#define KESHOCR_DNN_NETWORK_INPUT_H_

#include <opencv2/core.hpp>

#include "node/tensor.h"

namespace veltrano {
namespace dnn {

// A float32 tensor {1, C, H, W} (tagged CHW) from an 8-bit HWC image of C
// channels, each value x becoming x / 127.5 - 1. It holds the same bits as the
// chain Convert(float32) -> Normalize(0, 127.5) -> Normalize(1, 1) ->
// ConvertLayout(HWC to CHW) -> Reshape({1, C, H, W}), without its three
// intermediate buffers. Throws std::invalid_argument for other images.
Tensor NormalizedPlanarInput(const cv::Mat& image);

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_NETWORK_INPUT_H_
