#ifndef KESHOCR_DNN_EQUALS_H_
#define KESHOCR_DNN_EQUALS_H_

#include "node/node_base.h"

namespace veltrano {
namespace dnn {

// Replaces an image tensor by a uint8 mask: 255 where an element equals
// `value` (compared in the element's own type, as OpenCV does), 0 elsewhere.
class EqualsNode : public NodeMatInputBase {
 public:
  explicit EqualsNode(double value);
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;

 private:
  double value_;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_EQUALS_H_
