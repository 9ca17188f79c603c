#include "node/ocr_det_postprocess.h"

#include <cmath>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "node/check.h"

namespace veltrano {
namespace dnn {
namespace {

constexpr size_t kTextClass = 2;

// Whether the score map has a text plane covering every pixel of the labels.
bool ScoresCoverLabels(const Tensor& scores, const Tensor& labels) {
  return scores.type == DataType::Float32 && scores.shape.size() == 4 &&
         scores.shape[1] > kTextClass && labels.type == DataType::Int32 &&
         labels.shape.size() == 3 && labels.shape[2] == 1 && scores.shape[2] >= labels.shape[0] &&
         scores.shape[3] >= labels.shape[1];
}

// Whether eight labels in a row are all zero; written as one OR so that the
// compiler turns it into a couple of vector instructions.
bool EightZero(const int32_t* at) {
  int32_t any = 0;
  for (int i = 0; i < 8; ++i) any |= at[i];
  return any == 0;
}

// [first, last) of the row's non-zero labels; first == last when it has none.
std::pair<size_t, size_t> LabelledSpan(const int32_t* row, size_t n) {
  size_t first = 0;
  while (first + 8 <= n && EightZero(row + first)) first += 8;
  while (first < n && row[first] == 0) ++first;
  size_t last = n;
  while (last >= first + 8 && EightZero(row + last - 8)) last -= 8;
  while (last > first && row[last - 1] == 0) --last;
  return {first, last};
}

}  // namespace

OcrDetAreaAndProbabilityNode::OcrDetAreaAndProbabilityNode()
    : NodeBase("OcrDetAreaAndProbabilityNode") {}

StatusCode OcrDetAreaAndProbabilityNode::Validate(const std::vector<Tensor>& inputs) {
  KESHOCR_CHECK_EQUAL(size_t{2}, inputs.size(), "Exactly 2 tensors are expected");
  if (inputs[0].layout != Layout::NCHW) {
    inputs[0].LogUnexpectedFormat();
    return StatusCode::InvalidInput;
  }
  if (!inputs[1].MatCompatible()) {
    inputs[1].LogUnexpectedFormat();
    return StatusCode::InvalidInput;
  }
  return StatusCode::Success;
}

void OcrDetAreaAndProbabilityNode::Run(std::vector<Tensor>& tensors) {
  std::vector<Tensor> result;
  if (tensors.size() < 2 || !ScoresCoverLabels(tensors[0], tensors[1])) {
    spdlog::error("text components need a float32 score map with a text class covering the int32 "
                  "label image; no components taken");
    result.emplace_back(std::vector<size_t>{0}, DataType::Float32, Layout::Linear);
    tensors = std::move(result);
    return;
  }
  const Tensor& scores = tensors[0];
  const Tensor& labels = tensors[1];
  const size_t map_height = scores.shape[2], map_width = scores.shape[3];
  const float* text = scores.data_as<float>() + kTextClass * map_height * map_width;
  const size_t rows = labels.shape[0], cols = labels.shape[1];
  const int32_t* label = labels.data_as<int32_t>();

  // First pass: how many pixels each label has, so every pixel list is
  // allocated once at its final size, and where each row's labels lie: most
  // of a score map is background, and the second pass reads only the spans.
  std::vector<size_t> areas;
  std::vector<std::pair<size_t, size_t>> spans(rows);
  for (size_t y = 0; y < rows; ++y) {
    spans[y] = LabelledSpan(label + y * cols, cols);
    for (size_t i = y * cols + spans[y].first; i < y * cols + spans[y].second; ++i) {
      const int32_t v = label[i];
      if (v <= 0) continue;
      if (static_cast<size_t>(v) > areas.size()) {
        // Labels are dense from connected components; a label beyond the
        // pixel count cannot come from them and would only inflate the lists.
        if (static_cast<size_t>(v) > rows * cols) {
          spdlog::error("label {} exceeds the {} pixels of the label image; no components taken", v,
                        rows * cols);
          result.emplace_back(std::vector<size_t>{0}, DataType::Float32, Layout::Linear);
          tensors = std::move(result);
          return;
        }
        areas.resize(v, 0);
      }
      ++areas[v - 1];
    }
  }
  const size_t count = areas.size();

  Tensor sum_tensor({count}, DataType::Float32, Layout::Linear);
  float* sums = sum_tensor.data_as<float>();
  std::fill(sums, sums + count, 0.0f);
  result.reserve(count + 1);
  result.push_back(std::move(sum_tensor));
  std::vector<int32_t*> cursor(count);
  for (size_t k = 0; k < count; ++k) {
    result.emplace_back(std::vector<size_t>{1, areas[k], 2}, DataType::Int32, Layout::HWC);
    cursor[k] = result.back().data_as<int32_t>();
  }

  // Second pass: points in scan order and the text probabilities, summed in
  // that same order.
  for (size_t y = 0; y < rows; ++y) {
    for (size_t x = spans[y].first; x < spans[y].second; ++x) {
      const int32_t v = label[y * cols + x];
      if (v <= 0) continue;
      int32_t*& at = cursor[v - 1];
      *at++ = static_cast<int32_t>(x);
      *at++ = static_cast<int32_t>(y);
      sums[v - 1] += text[y * map_width + x];
    }
  }
  tensors = std::move(result);
}

OcrDetBoundingBoxNode::OcrDetBoundingBoxNode(float unclip_ratio, float min_score, float min_size,
                                             int map_height, int map_width)
    : NodeBase("OcrDetBoundingBoxNode"),
      unclip_ratio_(unclip_ratio),
      min_score_(min_score),
      min_size_(min_size),
      map_height_(map_height),
      map_width_(map_width) {}

StatusCode OcrDetBoundingBoxNode::Validate(const std::vector<Tensor>& inputs) {
  const size_t components = inputs.empty() ? 0 : inputs[0].ElementCount();
  KESHOCR_CHECK_EQUAL(components + 1, inputs.size(), "Unexpected number of inputs");
  if (inputs[0].layout != Layout::Linear) {
    inputs[0].LogUnexpectedFormat();
    return StatusCode::InvalidInput;
  }
  for (size_t i = 1; i < inputs.size(); ++i) {
    const Tensor& p = inputs[i];
    if (p.layout != Layout::HWC || p.shape.size() != 3 || p.shape[0] != 1 || p.shape[2] != 2) {
      p.LogUnexpectedFormat();
      return StatusCode::InvalidInput;
    }
  }
  return StatusCode::Success;
}

void OcrDetBoundingBoxNode::Run(std::vector<Tensor>& tensors) {
  std::vector<float> boxes;
  if (!tensors.empty() && tensors[0].type == DataType::Float32) {
    const float* sums = tensors[0].data_as<float>();
    // Never read past the pixel lists that are actually there.
    const size_t components = std::min(tensors[0].ElementCount(), tensors.size() - 1);
    const float grow = 1.0f / (1.0f - 2.0f * unclip_ratio_) - 1.0f;
    const float max_x = static_cast<float>(map_width_ - 1);
    const float max_y = static_cast<float>(map_height_ - 1);

    for (size_t b = 0; b < components; ++b) {
      const Tensor& pixels = tensors[b + 1];
      if (pixels.type != DataType::Int32 || pixels.shape.size() != 3 || pixels.shape[2] != 2) continue;
      const size_t n = pixels.shape[1];
      if (n == 0) continue;  // a label without pixels has no shape to fit
      const float mean = sums[b] / static_cast<float>(n);
      if (min_score_ > mean) continue;

      const cv::RotatedRect rect = MinAreaRectOfPixels(pixels.data_as<int32_t>(), n);

      const float shorter = std::min(rect.size.width, rect.size.height);
      const float pad = std::ceil(grow * shorter * 0.5f);
      const cv::Size2f grown(rect.size.width + 2 * pad, rect.size.height + 2 * pad);
      if (min_size_ > std::min(grown.width, grown.height)) continue;

      cv::Point2f corners[4];
      cv::RotatedRect(rect.center, grown, rect.angle).points(corners);
      for (cv::Point2f& c : corners) {
        c.x = c.x < 0 ? 0.0f : (c.x > max_x ? max_x : c.x);
        c.y = c.y < 0 ? 0.0f : (c.y > max_y ? max_y : c.y);
      }
      OrderCorners(corners, boxes);
    }
  }
  Tensor out({boxes.size() / 8, 8}, DataType::Float32, Layout::HWC);
  if (!boxes.empty()) std::copy(boxes.begin(), boxes.end(), out.data_as<float>());
  tensors.clear();
  tensors.push_back(std::move(out));
}

cv::RotatedRect MinAreaRectOfPixels(const int32_t* xy, size_t n) {
  auto at = [xy](size_t i) { return cv::Point(xy[2 * i], xy[2 * i + 1]); };
  bool scan_order = true;
  for (size_t i = 1; i < n && scan_order; ++i) {
    const cv::Point a = at(i - 1), b = at(i);
    scan_order = a.y < b.y || (a.y == b.y && a.x < b.x);
  }
  std::vector<cv::Point> points;
  if (!scan_order) {
    points.reserve(n);
    for (size_t i = 0; i < n; ++i) points.push_back(at(i));
    return cv::minAreaRect(points);
  }
  const int top = at(0).y, bottom = at(n - 1).y;
  for (size_t first = 0; first < n;) {
    size_t last = first;
    while (last + 1 < n && at(last + 1).y == at(first).y) ++last;
    if (at(first).y == top || at(first).y == bottom) {
      // A horizontal hull edge can only be the top or the bottom row, and
      // all of its pixels lie on the hull.
      for (size_t i = first; i <= last; ++i) points.push_back(at(i));
    } else {
      points.push_back(at(first));
      if (last != first) points.push_back(at(last));
    }
    first = last + 1;
  }
  return cv::minAreaRect(points);
}

void OrderCorners(cv::Point2f corners[4], std::vector<float>& out) {
  // Insertion sort: stable, so corners with equal x keep their order.
  for (int i = 1; i < 4; ++i) {
    const cv::Point2f moving = corners[i];
    int j = i - 1;
    for (; j >= 0 && corners[j].x > moving.x; --j) corners[j + 1] = corners[j];
    corners[j + 1] = moving;
  }
  const cv::Point2f& a = corners[0];
  const cv::Point2f& b = corners[1];
  const cv::Point2f& p = corners[2];
  const cv::Point2f& q = corners[3];
  const cv::Point2f& top_left = b.y > a.y ? a : b;
  const cv::Point2f& bottom_left = b.y > a.y ? b : a;
  const cv::Point2f& top_right = q.y > p.y ? p : q;
  const cv::Point2f& bottom_right = q.y > p.y ? q : p;
  for (const cv::Point2f* c : {&top_left, &top_right, &bottom_right, &bottom_left}) {
    out.push_back(c->x);
    out.push_back(c->y);
  }
}

}  // namespace dnn
}  // namespace veltrano
