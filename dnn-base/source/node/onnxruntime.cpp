#include "node/onnxruntime.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include <onnxruntime_cxx_api.h>
#include <spdlog/spdlog.h>

#include "node/check.h"

namespace veltrano {
namespace dnn {
namespace {

// The wrapper classes call through one process-wide API table. We bind
// version 1 of the table. The runtime hands out one table whatever version is
// asked for, so the later entry for session configuration (see
// SetInferenceSessionOptions) is there too in every runtime we build for.
void BindOrtApi() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The runtime starts a telemetry client with its first environment. On
    // Linux that client parses the process's command line with a recursion as
    // deep as the line is long: some 40 KB of arguments (a program given a
    // thousand image paths) overflow an 8 MiB stack inside session creation,
    // and a thread with a small stack fails far sooner. It would also try to
    // upload usage events, which a library that reads images has no business
    // doing. The runtime reads this variable when the client starts, so it
    // is set before any environment exists; a value the host set is kept.
    // DisableTelemetryEvents comes too late: the client has started by then.
    setenv("ORT_DISABLE_TELEMETRY", "1", /*overwrite=*/0);
    const OrtApi* api = OrtGetApiBase()->GetApi(1);
    if (api == nullptr) throw std::runtime_error("ONNX Runtime does not provide API version 1");
    Ort::InitApi(api);
  });
}

// Bind when the library is loaded, as well as lazily for early callers.
[[maybe_unused]] const bool kApiBoundAtLoad = (BindOrtApi(), true);

using AppendCudaProvider = OrtStatus* (*)(OrtSessionOptions*, int);

// The CUDA provider entry lives in GPU-capable runtime builds only. Look for it
// in the runtime this process already loaded, by soname first.
AppendCudaProvider FindCudaProviderEntry() {
  void* library = dlopen("libonnxruntime.so.1", RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) library = dlopen("libonnxruntime.so", RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return nullptr;
  auto entry = reinterpret_cast<AppendCudaProvider>(
      dlsym(library, "OrtSessionOptionsAppendExecutionProvider_CUDA"));
  dlclose(library);  // the runtime stays loaded: the program links against it
  return entry;
}

}  // namespace

struct OnnxRuntimeNode::Impl {
  bool use_gpu = false;
  int32_t option = 0;
  std::shared_ptr<Ort::Session> session;
  std::shared_ptr<Ort::Env> env;
  std::vector<char*> input_names;   // allocated by the runtime's default allocator
  std::vector<char*> output_names;

  ~Impl() {
    // A session must go before the environment it was made in.
    session.reset();
    Ort::AllocatorWithDefaultOptions allocator;
    for (char* name : input_names) allocator.Free(name);
    for (char* name : output_names) allocator.Free(name);
  }
};

void SetInferenceSessionOptions(OrtSessionOptions* session_options, const SessionSettings& settings) {
  BindOrtApi();
  Ort::UnownedSessionOptions options(session_options);
  options.SetGraphOptimizationLevel(static_cast<GraphOptimizationLevel>(settings.graph_optimization_level));
  if (settings.intra_op_threads > 0) options.SetIntraOpNumThreads(settings.intra_op_threads);
  // A pipeline runs two sessions one after the other, each with its own
  // thread pool. Spinning workers of the session that just finished keep the
  // cores busy while the next one starts: on two cores that made the detector
  // 70 % slower inside Run than alone. Sleeping workers cost a session on
  // its own little: the detector alone is within noise, a 0.5 ms recogniser
  // call pays about 0.2 ms to wake them.
  options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  // A memory pattern reserves one block for every intermediate tensor of the
  // run at once; without it the arena reuses freed tensors' memory. For the
  // 768 x 768 detector that lowers the peak of a process reading several
  // images by about 40 MB, at no measurable cost in time.
  options.DisableMemPattern();
}

OnnxRuntimeNode::OnnxRuntimeNode(const std::string& model, bool use_gpu, int option,
                                 const SessionSettings& settings)
    : NodeBase("ONNX Runtime"), impl_(std::make_shared<Impl>()) {
  BindOrtApi();
  impl_->use_gpu = use_gpu;
  impl_->option = option;
  impl_->env = std::make_shared<Ort::Env>(ORT_LOGGING_LEVEL_ERROR, "");

  Ort::SessionOptions options;
  SetInferenceSessionOptions(options, settings);
  if (use_gpu) {
    if (AppendCudaProvider append = FindCudaProviderEntry()) {
      if (OrtStatus* status = append(options, 0)) {
        Ort::GetApi().ReleaseStatus(status);
        throw std::runtime_error("cannot append cuda execution provider");
      }
    } else {
      spdlog::warn("cannot find OrtSessionOptionsAppendExecutionProvider_CUDA, using CPU");
    }
  }

  impl_->session = std::make_shared<Ort::Session>(*impl_->env, model.data(), model.size(), options);

  const OrtApi& api = Ort::GetApi();
  Ort::AllocatorWithDefaultOptions allocator;
  size_t count = impl_->session->GetInputCount();
  for (size_t i = 0; i < count; ++i) {
    char* name = nullptr;
    Ort::ThrowOnError(api.SessionGetInputName(*impl_->session, i, allocator, &name));
    impl_->input_names.push_back(name);
  }
  count = impl_->session->GetOutputCount();
  for (size_t i = 0; i < count; ++i) {
    char* name = nullptr;
    Ort::ThrowOnError(api.SessionGetOutputName(*impl_->session, i, allocator, &name));
    impl_->output_names.push_back(name);
  }
}

OnnxRuntimeNode::~OnnxRuntimeNode() = default;

size_t OnnxRuntimeNode::InputCount() const { return impl_->input_names.size(); }
size_t OnnxRuntimeNode::OutputCount() const { return impl_->output_names.size(); }

std::vector<int64_t> OnnxRuntimeNode::InputShape() const {
  if (impl_->input_names.empty()) return {};
  return impl_->session->GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
}

StatusCode OnnxRuntimeNode::Validate(const std::vector<Tensor>& inputs) {
  KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "unexpected number of input nodes");
  KESHOCR_CHECK_EQUAL(size_t{1}, impl_->input_names.size(), "unexpected number of input nodes");
  const std::vector<int64_t> dims = InputShape();
  KESHOCR_CHECK_EQUAL(size_t{4}, dims.size(), "unexpected dim of input node");
  KESHOCR_CHECK_EQUAL(dims.size(), inputs[0].shape.size(), "unexpected tensor dimension");
  for (size_t i = 0; i < dims.size(); ++i) {
    if (dims[i] == -1) continue;  // free dimension
    KESHOCR_CHECK_EQUAL(dims[i], static_cast<int64_t>(inputs[0].shape[i]),
                        "unexpected size of input tensor at " + std::to_string(i));
  }
  return StatusCode::Success;
}

void OnnxRuntimeNode::Run(std::vector<Tensor>& tensors) {
  Tensor& in = tensors.at(0);
  // The runtime reads ElementCount() floats from the buffer: anything but a
  // float32 tensor would be read past its end.
  if (in.type != DataType::Float32)
    throw std::runtime_error("ONNX Runtime node: input must be float32, got " +
                             DataTypeName(in.type));
  Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const std::vector<int64_t> dims(in.shape.begin(), in.shape.end());
  Ort::Value input = Ort::Value::CreateTensor<float>(memory, in.data_as<float>(), in.ElementCount(),
                                                    dims.data(), dims.size());
  if (!input.IsTensor()) throw std::runtime_error("failed to create input tensor");

  // Exactly one input value goes in, under the model's first input name; a
  // model wanting more inputs fails inside the runtime with its own message.
  std::vector<Ort::Value> outputs =
      impl_->session->Run(Ort::RunOptions{nullptr}, impl_->input_names.data(), &input, 1,
                          impl_->output_names.data(), impl_->output_names.size());
  if (outputs.empty()) throw std::runtime_error("empty output tensors");

  // Check every output before touching the list, so a failure leaves it as
  // it was.
  for (size_t i = 0; i < outputs.size(); ++i) {
    const ONNXTensorElementDataType element =
        outputs[i].GetTensorTypeAndShapeInfo().GetElementType();
    if (element != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
      throw std::runtime_error("ONNX Runtime node: output '" + std::string(impl_->output_names[i]) +
                               "' has element type " + std::to_string(element) +
                               ", only float32 outputs are supported");
    }
  }

  // Each output keeps the runtime's own memory alive instead of being
  // copied; the holder also keeps the session (and its allocator) alive for
  // as long as any tensor refers to that memory.
  struct OutputHolder {
    std::shared_ptr<Ort::Env> env;
    std::shared_ptr<Ort::Session> session;
    Ort::Value value;
  };
  tensors.resize(outputs.size());
  for (size_t i = 0; i < outputs.size(); ++i) {
    const std::vector<int64_t> out_dims = outputs[i].GetTensorTypeAndShapeInfo().GetShape();
    Tensor out;
    out.shape.assign(out_dims.begin(), out_dims.end());
    out.type = DataType::Float32;
    out.layout = Layout::NCHW;
    auto holder = std::make_shared<OutputHolder>(
        OutputHolder{impl_->env, impl_->session, std::move(outputs[i])});
    float* data = holder->value.GetTensorMutableData<float>();
    out.buffer = std::make_shared<TensorBuffer>(data, out.ByteSize(), std::move(holder));
    tensors[i] = std::move(out);
  }
}

}  // namespace dnn
}  // namespace veltrano
