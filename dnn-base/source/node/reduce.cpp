#include "node/reduce.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "node/check.h"

namespace veltrano {
namespace dnn {

ChannelWiseMaximumLocNode::ChannelWiseMaximumLocNode(double min_value)
    : NodeBase("ChannelWiseMaximumLoc"), min_value_(min_value) {}

StatusCode ChannelWiseMaximumLocNode::Validate(const std::vector<Tensor>& inputs) {
  KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "unexpected number of input nodes");
  const Tensor& in = inputs[0];
  if (in.layout != Layout::HWC && in.layout != Layout::CHW) {
    spdlog::error("unexpected tensor layout, want {} or {}, got {}", static_cast<int>(Layout::HWC),
                  static_cast<int>(Layout::CHW), static_cast<int>(in.layout));
    return StatusCode::InvalidInput;
  }
  KESHOCR_CHECK_EQUAL(DataTypeName(DataType::Float32), DataTypeName(in.type), "unexpected tensor type");
  if (in.Channels() >= 256) {
    spdlog::error("unexcepted channel count, {} >= 256", in.Channels());
    return StatusCode::InvalidInput;
  }
  return StatusCode::Success;
}

void ChannelWiseMaximumLocNode::Run(std::vector<Tensor>& tensors) {
  Tensor& t = tensors.at(0);
  if (t.type != DataType::Float32)  // the scores are read as floats
    throw std::invalid_argument("ChannelWiseMaximumLocNode: needs float32 scores, got " +
                                DataTypeName(t.type));
  if (t.Channels() == 1) {
    if (t.ByteSize() > 0) std::memset(t.data(), 0, t.ByteSize());
    return;
  }
  if (t.shape.size() != 3) return;  // only three-axis HWC and CHW maps are reduced
  const float* scores = t.data_as<float>();

  if (t.layout == Layout::HWC) {
    const size_t channels = t.shape[2];
    Tensor out({t.shape[0], t.shape[1], 1}, DataType::UInt8, Layout::HWC);
    uint8_t* index = out.data_as<uint8_t>();
    const size_t pixels = t.shape[0] * t.shape[1];
    for (size_t p = 0; p < pixels; ++p, scores += channels) {
      size_t best = 0;
      for (size_t c = 1; c < channels; ++c)
        if (scores[c] > scores[best]) best = c;
      index[p] = (channels > 0 && static_cast<double>(scores[best]) >= min_value_)
                     ? static_cast<uint8_t>(best)
                     : 0;
    }
    tensors[0] = std::move(out);
  } else if (t.layout == Layout::CHW) {
    const size_t channels = t.shape[0];
    const size_t plane = t.shape[1] * t.shape[2];
    Tensor out({1, t.shape[1], t.shape[2]}, DataType::UInt8, Layout::CHW);
    uint8_t* index = out.data_as<uint8_t>();
    for (size_t p = 0; p < plane; ++p) {
      size_t best = 0;
      if (channels >= 2) {
        float best_value = scores[p];
        for (size_t c = 1; c < channels; ++c) {
          const float v = scores[c * plane + p];
          if (v > best_value && static_cast<double>(v) > min_value_) {
            best_value = v;
            best = c;
          }
        }
      }
      index[p] = static_cast<uint8_t>(best);
    }
    tensors[0] = std::move(out);
  }
}

Tensor ClassMask(const Tensor& scores, size_t target, double min_value) {
  if (scores.type != DataType::Float32 || scores.shape.size() != 4 || scores.shape[0] != 1)
    throw std::invalid_argument("ClassMask: needs a float32 score map {1, M, H, W}, got " +
                                ShapeString(scores.shape));
  const size_t classes = scores.shape[1];
  const size_t plane = scores.shape[2] * scores.shape[3];
  Tensor mask({scores.shape[2], scores.shape[3], 1}, DataType::UInt8, Layout::HWC);
  uint8_t* out = mask.data_as<uint8_t>();
  const float* s = scores.data_as<float>();
  if (classes == 1) {
    // A one-class map is zeroed by the reduction: every pixel reads class 0.
    std::memset(out, target == 0 ? 255 : 0, plane);
    return mask;
  }
  if (classes == 3 && target == 2 && min_value > 0 &&
      min_value <= static_cast<double>(std::numeric_limits<float>::denorm_min())) {
    // The detection case, without branches: class 2 wins when it beats the
    // better of classes 0 and 1 strictly and is positive (every positive
    // float reaches a threshold this small). NaN never wins, as in the scan.
    const float* s0 = s;
    const float* s1 = s + plane;
    const float* s2 = s + 2 * plane;
    for (size_t p = 0; p < plane; ++p) {
      const float best01 = s1[p] > s0[p] ? s1[p] : s0[p];
      out[p] = (s2[p] > best01 && s2[p] > 0.0f) ? 255 : 0;
    }
    return mask;
  }
  for (size_t p = 0; p < plane; ++p) {
    // Lowest index among equal maxima, as the interleaved reduction scans.
    size_t best = 0;
    float best_value = classes ? s[p] : 0.0f;
    for (size_t c = 1; c < classes; ++c) {
      const float v = s[c * plane + p];
      if (v > best_value) {
        best_value = v;
        best = c;
      }
    }
    const size_t winner = (classes > 0 && static_cast<double>(best_value) >= min_value) ? best : 0;
    out[p] = winner == target ? 255 : 0;
  }
  return mask;
}

}  // namespace dnn
}  // namespace veltrano
