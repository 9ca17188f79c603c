// The whole pipeline and each of its steps on the reference images, next to
// the bare ONNX Runtime time of the two networks on the same tensors: the
// floor a Run cannot beat.
//
//   build/bench/bench_pipeline [--model PKG] [google benchmark flags]
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>

#include <onnxruntime_cxx_api.h>
#include <opencv2/imgcodecs.hpp>

#include "KeshOCR.h"
#include "KeshOCRText.h"
#include "det/det_module.h"
#include "model/dnn_model.h"
#include "node/onnxruntime.h"
#include "module/rectify.h"
#include "module/session_settings.h"
#include "rec/reg_module.h"

namespace {

using Clock = std::chrono::steady_clock;
std::string g_model = std::string(KESHOCR_SOURCE_DIR) + "/models/keshocr-default.pkg";

const char* const kImages[] = {"synthetic_code.png", "plate_crop.png", "photo_1920x1080.jpg"};

cv::Mat LoadImage(const char* name) {
  return cv::imread(std::string(KESHOCR_SOURCE_DIR) + "/bench/data/" + name, cv::IMREAD_COLOR);
}

// Swallows the library's console lines while alive.
class Silence {
 public:
  Silence() : saved_(std::cout.rdbuf(&null_)) {}
  ~Silence() { std::cout.rdbuf(saved_); }

 private:
  struct Null : std::streambuf {
    int overflow(int c) override { return c; }
  } null_;
  std::streambuf* saved_;
};

struct Networks {
  std::vector<char> det, rec;
  std::string config;
  veltrano::dnn::SessionSettings session;  // the package's, as Init takes them
};

const Networks& Package() {
  static const Networks networks = [] {
    Networks n;
    veltrano::DNNModel model;
    Silence quiet;
    if (model.Decode(g_model.c_str()) != 0) throw std::runtime_error("cannot read " + g_model);
    model.GetModel(0, n.det);
    model.GetModel(1, n.rec);
    model.GetConfig(n.config);
    std::string error;
    if (!veltrano::SessionSettingsFor(n.config, n.session, error)) throw std::runtime_error(error);
    return n;
  }();
  return networks;
}

// The stages, built once from the package.
struct Stages {
  veltrano::DetModule det;
  veltrano::RegModule rec;
  Stages() {
    Silence quiet;
    det.Init(Package().det, Package().config, false, 0, Package().session);
    rec.Init(Package().rec, Package().config, false, 0, Package().session);
  }
};
Stages& SharedStages() {
  static Stages stages;
  return stages;
}

// A bare session with the options the inference node uses for the package
// (its runtime settings), and a fixed float input. `all_levels` raises the
// graph optimisation to the runtime's highest level (which adds its CPU
// layout transformations). `threads` > 0 sets the intra-op thread count that
// a package without one leaves to the runtime, which sizes it from the CPU
// topology it detects (one thread on some two-core virtual machines).
class BareNetwork {
 public:
  BareNetwork(const std::vector<char>& bytes, std::vector<int64_t> shape, bool all_levels = false,
              int threads = 0)
      : env_(ORT_LOGGING_LEVEL_ERROR, ""), shape_(std::move(shape)) {
    Ort::SessionOptions options;
    veltrano::dnn::SessionSettings settings = Package().session;
    if (all_levels) settings.graph_optimization_level = ORT_ENABLE_ALL;
    if (threads > 0) settings.intra_op_threads = threads;
    veltrano::dnn::SetInferenceSessionOptions(options, settings);
    session_ = std::make_unique<Ort::Session>(env_, bytes.data(), bytes.size(), options);
    size_t count = 1;
    for (int64_t d : shape_) count *= static_cast<size_t>(d);
    input_.assign(count, 0.1f);
    Ort::AllocatorWithDefaultOptions allocator;
    in_name_ = session_->GetInputNameAllocated(0, allocator).get();
    out_name_ = session_->GetOutputNameAllocated(0, allocator).get();
  }
  void Run() {
    auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value in = Ort::Value::CreateTensor<float>(memory, input_.data(), input_.size(),
                                                    shape_.data(), shape_.size());
    const char* in_name = in_name_.c_str();
    const char* out_name = out_name_.c_str();
    auto out = session_->Run(Ort::RunOptions{nullptr}, &in_name, &in, 1, &out_name, 1);
    benchmark::DoNotOptimize(out[0].GetTensorData<float>());
  }
  // Mean seconds per run over `n` runs, after one warm-up.
  double MeanSeconds(int n) {
    Run();
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) Run();
    return std::chrono::duration<double>(Clock::now() - start).count() / n;
  }

 private:
  Ort::Env env_;
  std::vector<int64_t> shape_;
  std::unique_ptr<Ort::Session> session_;
  std::vector<float> input_;
  std::string in_name_, out_name_;
};

BareNetwork& BareDetector() {
  static BareNetwork net(Package().det, {1, 3, 768, 768});
  return net;
}
BareNetwork& BareRecogniser() {
  static BareNetwork net(Package().rec, {1, 3, 128, 128});
  return net;
}

void BM_Init(benchmark::State& state) {
  Silence quiet;
  for (auto _ : state) {
    veltrano::KeshOCRModule module;
    if (module.Init(g_model, false, 0) != veltrano::Success) state.SkipWithError("Init failed");
  }
}
BENCHMARK(BM_Init)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_Run(benchmark::State& state) {
  const cv::Mat image = LoadImage(kImages[state.range(0)]);
  state.SetLabel(kImages[state.range(0)]);
  Silence quiet;
  veltrano::KeshOCRModule module;
  module.Init(g_model, false, 0);
  veltrano::OCRResponse response;
  module.Run(veltrano::OCRRequest{image, 0}, response);  // warm-up
  const size_t characters = response.results.size();

  const double floor =
      BareDetector().MeanSeconds(10) + characters * BareRecogniser().MeanSeconds(50);
  const auto start = Clock::now();
  for (auto _ : state) module.Run(veltrano::OCRRequest{image, 0}, response);
  const double per_run =
      std::chrono::duration<double>(Clock::now() - start).count() / state.iterations();
  state.counters["characters"] = static_cast<double>(characters);
  state.counters["floor_ms"] = floor * 1e3;
  state.counters["run_over_floor"] = per_run / floor;

  // The text layout a caller runs after Run (KeshOCRText.h), on Run's own
  // response, as a share of the Run.
  constexpr int kLayouts = 2000;
  const auto layout_start = Clock::now();
  for (int i = 0; i < kLayouts; ++i) benchmark::DoNotOptimize(veltrano::GroupLines(response, 0.45f));
  const double per_layout = std::chrono::duration<double>(Clock::now() - layout_start).count() / kLayouts;
  state.counters["group_lines_us"] = per_layout * 1e6;
  state.counters["group_lines_share"] = per_layout / per_run;
}
BENCHMARK(BM_Run)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(3.0);


void BM_DetPreProcess(benchmark::State& state) {
  const cv::Mat image = LoadImage(kImages[state.range(0)]);
  state.SetLabel(kImages[state.range(0)]);
  cv::Mat padded;
  for (auto _ : state) SharedStages().det.PreProcess(image, padded);
}
BENCHMARK(BM_DetPreProcess)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

void BM_DetInference(benchmark::State& state) {
  cv::Mat padded;
  SharedStages().det.PreProcess(LoadImage(kImages[2]), padded);
  std::vector<size_t> shape;
  for (auto _ : state) SharedStages().det.DoInference(padded, shape);
}
BENCHMARK(BM_DetInference)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_DetBareOnnxRuntime(benchmark::State& state) {
  for (auto _ : state) BareDetector().Run();
}
BENCHMARK(BM_DetBareOnnxRuntime)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_DetBareOnnxRuntimeAllLevels(benchmark::State& state) {
  static BareNetwork net(Package().det, {1, 3, 768, 768}, /*all_levels=*/true);
  for (auto _ : state) net.Run();
}
BENCHMARK(BM_DetBareOnnxRuntimeAllLevels)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The detector with an explicit intra-op thread count (the argument), to set
// against the runtime's own choice in BM_DetBareOnnxRuntime.
void BM_DetBareOnnxRuntimeThreads(benchmark::State& state) {
  BareNetwork net(Package().det, {1, 3, 768, 768}, false, static_cast<int>(state.range(0)));
  for (auto _ : state) net.Run();
}
BENCHMARK(BM_DetBareOnnxRuntimeThreads)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_DetPostProcess(benchmark::State& state) {
  cv::Mat padded;
  SharedStages().det.PreProcess(LoadImage(kImages[state.range(0)]), padded);
  state.SetLabel(kImages[state.range(0)]);
  std::vector<size_t> shape;
  SharedStages().det.DoInference(padded, shape);
  for (auto _ : state) {
    std::vector<veltrano::Quad> boxes;
    SharedStages().det.PostProcess(boxes, shape);
    benchmark::DoNotOptimize(boxes.data());
  }
}
BENCHMARK(BM_DetPostProcess)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

void BM_RectifyOneBox(benchmark::State& state) {
  const cv::Mat image = LoadImage(kImages[0]);
  const veltrano::Quad quad{{{100, 80}, {160, 84}, {158, 180}, {98, 176}}};
  cv::Mat crop;
  for (auto _ : state) veltrano::RectifyQuad(image, quad, crop);
}
BENCHMARK(BM_RectifyOneBox)->Unit(benchmark::kMicrosecond);

void BM_RecogniseOneCrop(benchmark::State& state) {
  const cv::Mat crop = LoadImage(kImages[0])(cv::Rect(100, 80, 60, 100)).clone();
  veltrano::RecognitionResult result;
  Silence quiet;
  for (auto _ : state) SharedStages().rec.Run(veltrano::OCRRequest{crop, 0}, result);
}
BENCHMARK(BM_RecogniseOneCrop)->Unit(benchmark::kMicrosecond);

void BM_RecBareOnnxRuntime(benchmark::State& state) {
  for (auto _ : state) BareRecogniser().Run();
}
BENCHMARK(BM_RecBareOnnxRuntime)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--model") == 0) {
      g_model = argv[i + 1];
      for (int j = i; j + 2 <= argc; ++j) argv[j] = argv[j + 2];
      argc -= 2;
      break;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
