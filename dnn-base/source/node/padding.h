#ifndef KESHOCR_DNN_PADDING_H_
#define KESHOCR_DNN_PADDING_H_

#include <opencv2/core.hpp>

#include "node/node_base.h"

namespace veltrano {
namespace dnn {

// Adds borders around an image tensor (OpenCV copyMakeBorder semantics).
class PaddingNode : public NodeMatInputBase {
 public:
  PaddingNode(int top, int bottom, int left, int right, int border_type, cv::Scalar value);
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;

 private:
  int32_t top_;
  int32_t bottom_;
  int32_t left_;
  int32_t right_;
  int32_t border_type_;  // OpenCV border code, passed through
  cv::Scalar value_;     // per channel, for a constant border
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_PADDING_H_
