#include "det/det_module.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "KeshOCR.h"
#include "node/connected_comp.h"
#include "node/network_input.h"
#include "node/node_chain.h"
#include "node/ocr_det_postprocess.h"
#include "node/onnxruntime.h"
#include "node/reduce.h"

namespace veltrano {
namespace {

using dnn::NodeChain;
using dnn::Tensor;

constexpr int kSide = 768;               // the network's square input
constexpr size_t kTextClass = 2;         // channel of the score map that means text
constexpr int kConnectivity = 8;
constexpr float kUnclipRatio = 0.15f;    // each side grows by ~0.214 of the shorter side
constexpr float kMinScore = 0.75f;       // mean text probability of a kept component
constexpr float kMinSize = 10.0f;        // least shorter side of a grown box, map pixels
constexpr float kMinEdge = 5.0f;         // least top and left edge in image pixels (exclusive)

// Truncation toward zero that stays defined for any float.
int TruncToInt(float v) {
  constexpr float kMax = 2147483520.0f;
  if (std::isnan(v)) return 0;
  return static_cast<int>(std::clamp(v, -kMax, kMax));
}

float EdgeLength(const cv::Point2f& a, const cv::Point2f& b) {
  const double dx = a.x - b.x, dy = a.y - b.y;
  return static_cast<float>(std::sqrt(dx * dx + dy * dy));
}

}  // namespace

struct DetModule::Impl {
  std::shared_ptr<dnn::OnnxRuntimeNode> onnx_node;
  std::vector<Tensor> outputs;  // of the last DoInference, read by PostProcess
  float scale_x = 0.0f;
  float scale_y = 0.0f;
};

DetModule::DetModule() : impl_(std::make_shared<Impl>()) {}

int DetModule::Init(const std::vector<char>& model, std::string /*config*/, bool use_gpu,
                    int /*option*/, const dnn::SessionSettings& session) {
  auto node = std::make_shared<dnn::OnnxRuntimeNode>(std::string(model.begin(), model.end()),
                                                     use_gpu, 1, session);
  impl_->onnx_node = std::move(node);
  return 0;
}

bool DetModule::HasNetwork() const { return impl_->onnx_node != nullptr; }
float DetModule::scale_x() const { return impl_->scale_x; }
float DetModule::scale_y() const { return impl_->scale_y; }

int DetModule::Run(const cv::Mat& image, std::vector<Quad>& boxes) {
  cv::Mat padded;
  int rc = PreProcess(image, padded);
  if (rc != 0) {
    std::cout << "DetModule PreProcess Failed!" << std::endl;
    return rc;
  }
  std::vector<size_t> out_shape;
  const auto start = std::chrono::steady_clock::now();
  rc = DoInference(padded, out_shape);
  const auto end = std::chrono::steady_clock::now();
  if (rc != 0) {
    std::cout << "DetModule DoInference Failed!" << std::endl;
    return rc;
  }
  const double ms =
      std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000000.0;
  std::cout << "DetModule DoInference time : " << ms << " ms" << std::endl;
  rc = PostProcess(boxes, out_shape);
  if (rc != 0) {
    std::cout << "DetModule PostProcess Failed!" << std::endl;
    return rc;
  }
  return 0;
}

int DetModule::PreProcess(const cv::Mat& image, cv::Mat& padded) {
  // OpenCV's colour conversion quietly accepts some other images (a single
  // channel, say); this stage reads 8-bit BGR only.
  if (image.empty() || image.dims != 2 || image.type() != CV_8UC3) return InvalidImage;
  const int rows = image.rows, cols = image.cols;
  const float f = std::min(static_cast<float>(kSide) / cols, static_cast<float>(kSide) / rows);
  // A side that would scale below one pixel (a 1 x 4000 strip) keeps one.
  const int height = std::max(1, static_cast<int>(rows * f));
  const int width = std::max(1, static_cast<int>(cols * f));

  // Scale straight into the top-left corner of the black square, then swap
  // red and blue there: resampling treats channels alike, so this equals
  // converting first, on fewer pixels and without intermediate copies.
  padded.create(kSide, kSide, CV_8UC3);
  padded.setTo(cv::Scalar::all(0));
  cv::Mat corner = padded(cv::Rect(0, 0, width, height));
  cv::resize(image, corner, corner.size(), 0, 0, cv::INTER_LINEAR);
  cv::cvtColor(corner, corner, cv::COLOR_BGR2RGB);

  impl_->scale_x = static_cast<float>(static_cast<double>(width) / cols);
  impl_->scale_y = static_cast<float>(static_cast<double>(height) / rows);
  return 0;
}

int DetModule::DoInference(const cv::Mat& padded, std::vector<size_t>& out_shape) {
  if (!impl_->onnx_node) return InvalidModel;
  // One pass from pixels to the network's {1, 3, 768, 768} input in -1..1.
  std::vector<Tensor> tensors{dnn::NormalizedPlanarInput(padded)};
  impl_->onnx_node->Run(tensors);
  impl_->outputs = std::move(tensors);
  out_shape = impl_->outputs[0].shape;
  return 0;
}

int DetModule::PostProcess(std::vector<Quad>& boxes, const std::vector<size_t>& out_shape) {
  // A score map needs a batch, at least three classes (text is class 2) and
  // rows and columns; reading anything else would run past its buffer.
  if (out_shape.size() < 4 || out_shape[1] <= kTextClass ||
      impl_->outputs.empty() || impl_->outputs[0].shape != out_shape)
    return InvalidModelOutput;
  const int map_height = static_cast<int>(out_shape[2]);
  const int map_width = static_cast<int>(out_shape[3]);

  // Pixels whose winning class is text, read from the planar map as it is.
  NodeChain label_chain({std::make_shared<dnn::ConnectedComponentNode>(kConnectivity)});
  const Tensor labels = label_chain.Run(std::vector<Tensor>{dnn::ClassMask(
      impl_->outputs[0], kTextClass, std::numeric_limits<double>::min())})[0];

  NodeChain box_chain({std::make_shared<dnn::OcrDetAreaAndProbabilityNode>(),
                       std::make_shared<dnn::OcrDetBoundingBoxNode>(
                           kUnclipRatio, kMinScore, kMinSize, map_height, map_width)});
  const Tensor rows = box_chain.Run(std::vector<Tensor>{impl_->outputs[0], labels})[0];

  const size_t count = rows.ElementCount() / 8;
  const float* xy = rows.data_as<float>();
  for (size_t k = 0; k < count; ++k, xy += 8) {
    Quad quad;
    for (int c = 0; c < 4; ++c) {
      quad.points[c].x = static_cast<float>(TruncToInt(xy[2 * c] / impl_->scale_x));
      quad.points[c].y = static_cast<float>(TruncToInt(xy[2 * c + 1] / impl_->scale_y));
    }
    if (EdgeLength(quad.points[0], quad.points[1]) > kMinEdge &&
        EdgeLength(quad.points[0], quad.points[3]) > kMinEdge)
      boxes.push_back(quad);
  }
  return 0;
}

}  // namespace veltrano
