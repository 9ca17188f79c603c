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

// The mask of the pixels whose winning class is `target`: uint8 HWC {H, W, 1},
// 255 or 0, straight from a float32 NCHW score map {1, M, H, W}. It holds the
// same bytes as StripBatchSize -> ConvertLayout(CHW to HWC) ->
// ChannelWiseMaximumLoc(min_value) -> Equals(target) without transposing the
// map first. Throws std::invalid_argument for other tensors.
Tensor ClassMask(const Tensor& scores, size_t target, double min_value);

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_REDUCE_H_
