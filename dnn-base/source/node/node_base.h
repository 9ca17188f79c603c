// Base classes of the processing nodes that stages chain together.
#ifndef KESHOCR_DNN_NODE_BASE_H_
#define KESHOCR_DNN_NODE_BASE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "node/tensor.h"

namespace veltrano {
namespace dnn {

enum class StatusCode : int32_t {
  Success = 0,
  InvalidInput = 1,     // the tensors are not what the node needs
  InvalidArgument = 2,  // reserved for bad node parameters
};

// "Success", "InvalidInput", "InvalidArgument"; decimal for other values.
std::string StatusName(int code);
inline std::string StatusName(StatusCode code) { return StatusName(static_cast<int>(code)); }

// A node rewrites a list of tensors in place. Nodes keep only their
// construction parameters, so one node may sit in several chains and run any
// number of times; they take no locks, and one node must not run on two
// threads at once unless its Run is free of shared state (all but
// OnnxRuntimeNode are).
class NodeBase {
 public:
  explicit NodeBase(std::string name) : name_(std::move(name)) {}
  NodeBase(const NodeBase&) = delete;
  NodeBase& operator=(const NodeBase&) = delete;

  // Checks that `inputs` is what Run needs. Logs the first problem found at
  // error level and answers its code; never changes the list. Run does not
  // repeat these checks.
  virtual StatusCode Validate(const std::vector<Tensor>& inputs);
  // Transforms the list in place (usually replaces element 0).
  virtual void Run(std::vector<Tensor>& tensors) = 0;
  virtual ~NodeBase() = default;

  const std::string& name() const { return name_; }

 private:
  const std::string name_;
};

// Base of nodes whose first input is an image OpenCV can view.
class NodeMatInputBase : public NodeBase {
 public:
  explicit NodeMatInputBase(std::string name) : NodeBase(std::move(name)) {}
  // Success when inputs[0] is MatCompatible; otherwise logs the tensor's
  // format and answers InvalidInput (also for an empty list).
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_NODE_BASE_H_
