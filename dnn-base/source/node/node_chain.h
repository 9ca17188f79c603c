// Runs a list of tensors through nodes in order.
#ifndef KESHOCR_DNN_NODE_CHAIN_H_
#define KESHOCR_DNN_NODE_CHAIN_H_

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "node/node_base.h"
#include "node/tensor.h"

namespace veltrano {
namespace dnn {

class NodeChain {
 public:
  explicit NodeChain(std::vector<std::shared_ptr<NodeBase>> nodes) : nodes_(std::move(nodes)) {}

  // Runs every node on the list and returns it; the result shares buffers with
  // what the nodes produced. With `validate` set, each node is validated just
  // before it runs, and a failure throws std::runtime_error("validation of node
  // <name> failed with status code <status>") with the earlier nodes' changes
  // left in place. Exceptions from a node's Run pass through unchanged.
  std::vector<Tensor> Run(std::vector<Tensor> tensors);
  // Turns each image into an HWC tensor (a copy) and runs those.
  std::vector<Tensor> Run(std::vector<cv::Mat> images);

  // Off on construction: the stages build their lists correctly by design.
  bool validate = false;

 private:
  std::vector<std::shared_ptr<NodeBase>> nodes_;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_NODE_CHAIN_H_
