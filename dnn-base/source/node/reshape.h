#ifndef KESHOCR_DNN_RESHAPE_H_
#define KESHOCR_DNN_RESHAPE_H_

#include <vector>

#include "node/node_base.h"

namespace veltrano {
namespace dnn {

// Gives tensors[0] a fixed shape with the same element count (moves no bytes;
// the layout tag stays). A different count leaves the tensor as it was.
class ReshapeNode : public NodeBase {
 public:
  explicit ReshapeNode(std::vector<size_t> shape);
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;

 private:
  std::vector<size_t> shape_;
};

// Drops a leading batch axis of extent 1: NCHW becomes CHW, NHWC becomes HWC.
class StripBatchSizeNode : public NodeBase {
 public:
  StripBatchSizeNode();
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_RESHAPE_H_
