#ifndef KESHOCR_DNN_ONNXRUNTIME_H_
#define KESHOCR_DNN_ONNXRUNTIME_H_

#include <memory>
#include <string>

#include "node/node_base.h"

struct OrtSessionOptions;

namespace veltrano {
namespace dnn {

// What a model package may choose about its sessions.
struct SessionSettings {
  // ONNX Runtime's GraphOptimizationLevel: 0, 1, 2 (extended) or 99 (all).
  int graph_optimization_level = 2;
  // Threads of the session's intra-op pool; 0 leaves the choice to the runtime.
  int intra_op_threads = 0;
};

// The session options every OnnxRuntimeNode uses (graph optimisation, thread
// and memory behaviour), for callers that open a bare session to compare with.
void SetInferenceSessionOptions(OrtSessionOptions* options, const SessionSettings& settings = {});

// Runs one network with ONNX Runtime: feeds tensors[0] (float32, the model's
// input shape) to the model's single input and replaces the list with the
// model's outputs, each a float32 tensor tagged NCHW.
//
// The session is made once, at construction. Run keeps nothing between calls,
// but ONNX Runtime sessions are not meant to be driven from two threads
// through one node here: the owning stage serialises its calls.
class OnnxRuntimeNode : public NodeBase {
 public:
  // `model` holds the serialised network. Throws Ort::Exception when the
  // runtime rejects it, and std::runtime_error("cannot append cuda execution
  // provider") when use_gpu finds the CUDA provider but it fails to start. A
  // runtime without the CUDA provider logs a warning and runs on the CPU.
  // `option` is kept for future use and has no effect.
  OnnxRuntimeNode(const std::string& model, bool use_gpu, int option, const SessionSettings& settings = {});
  ~OnnxRuntimeNode() override;

  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;

  size_t InputCount() const;
  size_t OutputCount() const;
  // The model's declared input shape; -1 marks a free dimension.
  std::vector<int64_t> InputShape() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_ONNXRUNTIME_H_
