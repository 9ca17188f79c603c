#include "node/normalize.h"

#include <stdexcept>

#include "node/check.h"

namespace veltrano {
namespace dnn {

NormalizeNode::NormalizeNode(std::vector<float> mean, std::vector<float> variance)
    : NodeMatInputBase("Normalize"), mean_(std::move(mean)), variance_(std::move(variance)) {}

StatusCode NormalizeNode::Validate(const std::vector<Tensor>& inputs) {
  KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "unexpected number of input nodes");
  const StatusCode image = NodeMatInputBase::Validate(inputs);
  if (image != StatusCode::Success) return image;
  KESHOCR_CHECK_EQUAL(mean_.size(), variance_.size(), "inconsistent mean and variance sizes");
  KESHOCR_CHECK_EQUAL(inputs[0].Channels(), mean_.size(), "unexpected mean size");
  for (float divisor : variance_) KESHOCR_CHECK_NOT_EQUAL(divisor, 0.0f, "variance should not be zero");
  KESHOCR_CHECK_EQUAL(std::string("float32"), DataTypeName(inputs[0].type), "unexpected tensor type");
  return StatusCode::Success;
}

void NormalizeNode::Run(std::vector<Tensor>& tensors) {
  Tensor& t = tensors.at(0);
  // Reading another element type as floats, or channels past the parameter
  // lists, would run past the buffers.
  if (t.type != DataType::Float32 || t.layout != Layout::HWC || t.shape.size() != 3)
    throw std::invalid_argument("NormalizeNode: needs a float32 HWC image");
  const size_t pixels = t.shape[0] * t.shape[1];
  const size_t channels = t.shape[2];
  if (mean_.size() < channels || variance_.size() < channels)
    throw std::invalid_argument("NormalizeNode: fewer mean/variance entries than channels");
  float* x = t.data_as<float>();
  for (size_t p = 0; p < pixels; ++p, x += channels)
    for (size_t k = 0; k < channels; ++k) x[k] = (x[k] - mean_[k]) / variance_[k];
}

}  // namespace dnn
}  // namespace veltrano
