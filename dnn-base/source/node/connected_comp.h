#ifndef KESHOCR_DNN_CONNECTED_COMP_H_
#define KESHOCR_DNN_CONNECTED_COMP_H_

#include "node/node_base.h"

namespace veltrano {
namespace dnn {

// Labels the connected non-zero regions of a uint8 mask: int32 {h, w, 1},
// 0 for background and 1..K for the components.
class ConnectedComponentNode : public NodeMatInputBase {
 public:
  explicit ConnectedComponentNode(int connectivity);  // 4 or 8
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;

 private:
  int32_t connectivity_;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_CONNECTED_COMP_H_
