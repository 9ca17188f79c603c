#ifndef KESHOCR_DNN_LAYOUT_H_
#define KESHOCR_DNN_LAYOUT_H_

#include "node/node_base.h"

namespace veltrano {
namespace dnn {

// Any other value makes ConvertLayoutNode a no-op.
enum class LayoutConversion : int32_t { CHWToHWC = 0, HWCToCHW = 1 };

// Reorders a three-axis tensor between interleaved (HWC) and planar (CHW)
// element order. Single-channel tensors only change shape and tag.
class ConvertLayoutNode : public NodeBase {
 public:
  explicit ConvertLayoutNode(LayoutConversion conversion);
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;

 private:
  LayoutConversion conversion_;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_LAYOUT_H_
