#ifndef KESHOCR_DNN_NORMALIZE_H_
#define KESHOCR_DNN_NORMALIZE_H_

#include <vector>

#include "node/node_base.h"

namespace veltrano {
namespace dnn {

// x = (x - mean[c]) / variance[c] per channel, in place on a float32 HWC
// image. `variance` is the divisor itself, not squared.
class NormalizeNode : public NodeMatInputBase {
 public:
  NormalizeNode(std::vector<float> mean, std::vector<float> variance);
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;

 private:
  std::vector<float> mean_;
  std::vector<float> variance_;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_NORMALIZE_H_
