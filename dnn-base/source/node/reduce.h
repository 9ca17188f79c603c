#ifndef KESHOCR_DNN_REDUCE_H_
#define KESHOCR_DNN_REDUCE_H_

#include "node/node_base.h"

namespace veltrano {
namespace dnn {

// Replaces a float32 class-score map (HWC {h, w, m} or CHW {m, h, w}) by the
// index of each pixel's winning class as uint8 ({h, w, 1} or {1, h, w}).
// Ties keep the lower index; a pixel whose best score stays below min_value
// reads 0. A one-channel map is zeroed in place instead.
class ChannelWiseMaximumLocNode : public NodeBase {
 public:
  explicit ChannelWiseMaximumLocNode(double min_value);
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;

 private:
  double min_value_;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_REDUCE_H_
