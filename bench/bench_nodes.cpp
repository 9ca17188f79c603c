// Each node of the framework on detection-sized data (768 x 768), and the
// ONNX Runtime node on the tiny test detector.
#include <benchmark/benchmark.h>

#include <fstream>
#include <limits>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "node/connected_comp.h"
#include "node/convert.h"
#include "node/equals.h"
#include "node/layout.h"
#include "node/network_input.h"
#include "node/normalize.h"
#include "node/ocr_det_postprocess.h"
#include "node/onnxruntime.h"
#include "node/padding.h"
#include "node/reduce.h"
#include "node/reshape.h"
#include "node/resize.h"

namespace veltrano::dnn {
namespace {

constexpr size_t kSide = 768;

Tensor Image(size_t rows, size_t cols, size_t channels) {
  cv::Mat m(static_cast<int>(rows), static_cast<int>(cols), CV_8UC(static_cast<int>(channels)));
  cv::randu(m, 0, 256);
  return Tensor::FromMat(m);
}

Tensor Floats(std::vector<size_t> shape, Layout layout) {
  Tensor t(std::move(shape), DataType::Float32, layout);
  cv::Mat view(1, static_cast<int>(t.ElementCount()), CV_32F, t.data());
  cv::randu(view, 0.0f, 1.0f);
  return t;
}

// A score map {1, 3, 768, 768} with `count` square characters of class 2
// and their label image.
std::pair<Tensor, Tensor> ScoreMapWithCharacters(int count) {
  Tensor scores({1, 3, kSide, kSide}, DataType::Float32, Layout::NCHW);
  cv::Mat labels(kSide, kSide, CV_32S, cv::Scalar(0));
  float* p = scores.data_as<float>();
  std::fill(p, p + scores.ElementCount(), 0.0f);
  std::fill(p, p + kSide * kSide, 1.0f);  // background everywhere
  for (int k = 0; k < count; ++k) {
    const cv::Rect r(20 + (k % 10) * 70, 40 + (k / 10) * 120, 40, 80);
    cv::rectangle(labels, r, cv::Scalar(k + 1), cv::FILLED);
    for (int y = r.y; y < r.y + r.height; ++y)
      for (int x = r.x; x < r.x + r.width; ++x) p[2 * kSide * kSide + y * kSide + x] = 0.95f;
  }
  return {scores, Tensor::FromMat(labels)};
}

template <typename MakeInput>
void RunNode(benchmark::State& state, NodeBase& node, MakeInput make) {
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<Tensor> list = make();
    state.ResumeTiming();
    node.Run(list);
    benchmark::DoNotOptimize(list[0].data());
  }
}

void BM_Resize1280x720To768x432(benchmark::State& state) {
  ResizeNode node(432, 768, Interpolation::Linear);
  const Tensor in = Image(720, 1280, 3);
  RunNode(state, node, [&] { return std::vector<Tensor>{in}; });
}
BENCHMARK(BM_Resize1280x720To768x432)->Unit(benchmark::kMicrosecond);

void BM_PaddingTo768(benchmark::State& state) {
  PaddingNode node(0, 336, 0, 0, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  const Tensor in = Image(432, 768, 3);
  RunNode(state, node, [&] { return std::vector<Tensor>{in}; });
}
BENCHMARK(BM_PaddingTo768)->Unit(benchmark::kMicrosecond);

void BM_ConvertUint8ToFloat(benchmark::State& state) {
  ConvertNode node(DataType::Float32);
  const Tensor in = Image(kSide, kSide, 3);
  RunNode(state, node, [&] { return std::vector<Tensor>{in}; });
}
BENCHMARK(BM_ConvertUint8ToFloat)->Unit(benchmark::kMicrosecond);

// The detector's input in one pass: a full 768 x 768 image (argument 0) and a
// plate crop's canvas, 768 x 256 of pixels and black below (argument 1).
void BM_NormalizedPlanarInput(benchmark::State& state) {
  cv::Mat canvas(kSide, kSide, CV_8UC3, cv::Scalar::all(0));
  cv::Mat pixels = canvas(cv::Rect(0, 0, kSide, state.range(0) ? 256 : kSide));
  cv::randu(pixels, 0, 256);
  for (auto _ : state) benchmark::DoNotOptimize(NormalizedPlanarInput(canvas).data());
}
BENCHMARK(BM_NormalizedPlanarInput)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_Normalize(benchmark::State& state) {
  NormalizeNode node({0, 0, 0}, {127.5f, 127.5f, 127.5f});
  Tensor in = Floats({kSide, kSide, 3}, Layout::HWC);
  for (auto _ : state) {  // in place: no fresh input needed
    std::vector<Tensor> list{in};
    node.Run(list);
    benchmark::DoNotOptimize(list[0].data());
  }
}
BENCHMARK(BM_Normalize)->Unit(benchmark::kMicrosecond);

void BM_ConvertLayoutHwcToChw(benchmark::State& state) {
  ConvertLayoutNode node(LayoutConversion::HWCToCHW);
  const Tensor in = Floats({kSide, kSide, 3}, Layout::HWC);
  RunNode(state, node, [&] { return std::vector<Tensor>{in}; });
}
BENCHMARK(BM_ConvertLayoutHwcToChw)->Unit(benchmark::kMicrosecond);

void BM_ConvertLayoutChwToHwc(benchmark::State& state) {
  ConvertLayoutNode node(LayoutConversion::CHWToHWC);
  const Tensor in = Floats({3, kSide, kSide}, Layout::CHW);
  RunNode(state, node, [&] { return std::vector<Tensor>{in}; });
}
BENCHMARK(BM_ConvertLayoutChwToHwc)->Unit(benchmark::kMicrosecond);

void BM_ReshapeAndStripBatch(benchmark::State& state) {
  ReshapeNode reshape({1, 3, kSide, kSide});
  StripBatchSizeNode strip;
  const Tensor in = Floats({3, kSide, kSide}, Layout::CHW);
  for (auto _ : state) {
    std::vector<Tensor> list{in};
    reshape.Run(list);
    strip.Run(list);
    benchmark::DoNotOptimize(list[0].shape.data());
  }
}
BENCHMARK(BM_ReshapeAndStripBatch)->Unit(benchmark::kMicrosecond);

void BM_ChannelWiseMaximumLoc(benchmark::State& state) {
  ChannelWiseMaximumLocNode node(std::numeric_limits<double>::min());
  const Tensor in = Floats({kSide, kSide, 3}, Layout::HWC);
  RunNode(state, node, [&] { return std::vector<Tensor>{in}; });
}
BENCHMARK(BM_ChannelWiseMaximumLoc)->Unit(benchmark::kMicrosecond);

void BM_Equals(benchmark::State& state) {
  EqualsNode node(2.0);
  cv::Mat classes(kSide, kSide, CV_8UC1);
  cv::randu(classes, 0, 3);
  const Tensor in = Tensor::FromMat(classes);
  RunNode(state, node, [&] { return std::vector<Tensor>{in}; });
}
BENCHMARK(BM_Equals)->Unit(benchmark::kMicrosecond);

void BM_ConnectedComponents(benchmark::State& state) {
  ConnectedComponentNode node(8);
  cv::Mat mask(kSide, kSide, CV_8UC1, cv::Scalar(0));
  for (int k = 0; k < 40; ++k)
    cv::rectangle(mask, cv::Rect(20 + (k % 10) * 70, 40 + (k / 10) * 120, 40, 80), cv::Scalar(255),
                  cv::FILLED);
  const Tensor in = Tensor::FromMat(mask);
  RunNode(state, node, [&] { return std::vector<Tensor>{in}; });
}
BENCHMARK(BM_ConnectedComponents)->Unit(benchmark::kMicrosecond);

void BM_BoxExtraction40Characters(benchmark::State& state) {
  OcrDetAreaAndProbabilityNode area;
  OcrDetBoundingBoxNode boxes(0.15f, 0.75f, 10.0f, kSide, kSide);
  const auto [scores, labels] = ScoreMapWithCharacters(40);
  for (auto _ : state) {
    std::vector<Tensor> list{scores, labels};
    area.Run(list);
    boxes.Run(list);
    benchmark::DoNotOptimize(list[0].data());
  }
}
BENCHMARK(BM_BoxExtraction40Characters)->Unit(benchmark::kMicrosecond);

void BM_AreaAndProbability40Characters(benchmark::State& state) {
  OcrDetAreaAndProbabilityNode area;
  const auto [scores, labels] = ScoreMapWithCharacters(40);
  for (auto _ : state) {
    std::vector<Tensor> list{scores, labels};
    area.Run(list);
    benchmark::DoNotOptimize(list[0].data());
  }
}
BENCHMARK(BM_AreaAndProbability40Characters)->Unit(benchmark::kMicrosecond);

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void BM_OnnxRuntimeTinyDetector(benchmark::State& state) {
  OnnxRuntimeNode node(ReadFile(std::string(KESHOCR_SOURCE_DIR) + "/tests/data/models/det_dark.onnx"),
                       false, 1);
  const Tensor in = Floats({1, 3, kSide, kSide}, Layout::NCHW);
  RunNode(state, node, [&] { return std::vector<Tensor>{in}; });
}
BENCHMARK(BM_OnnxRuntimeTinyDetector)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace veltrano::dnn

BENCHMARK_MAIN();
