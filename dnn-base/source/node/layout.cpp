#include "node/layout.h"

#include <cstring>
#include <stdexcept>

#include "node/check.h"

namespace veltrano {
namespace dnn {
namespace {

// out[c][h][w] = in[h][w][c] for elements of type T.
template <typename T>
void InterleavedToPlanar(const void* source, void* target, size_t height, size_t width,
                         size_t channels) {
  const T* in = static_cast<const T*>(source);
  T* out = static_cast<T*>(target);
  const size_t plane = height * width;
  for (size_t p = 0; p < plane; ++p)
    for (size_t c = 0; c < channels; ++c) out[c * plane + p] = in[p * channels + c];
}

// out[h][w][c] = in[c][h][w].
template <typename T>
void PlanarToInterleaved(const void* source, void* target, size_t height, size_t width,
                         size_t channels) {
  const T* in = static_cast<const T*>(source);
  T* out = static_cast<T*>(target);
  const size_t plane = height * width;
  for (size_t c = 0; c < channels; ++c)
    for (size_t p = 0; p < plane; ++p) out[p * channels + c] = in[c * plane + p];
}

using Mover = void (*)(const void*, void*, size_t, size_t, size_t);

// Elements move as whole units of their size; values are never converted.
Mover Pick(size_t element_size, bool to_planar) {
  switch (element_size) {
    case 2: return to_planar ? &InterleavedToPlanar<uint16_t> : &PlanarToInterleaved<uint16_t>;
    case 4: return to_planar ? &InterleavedToPlanar<uint32_t> : &PlanarToInterleaved<uint32_t>;
    case 8: return to_planar ? &InterleavedToPlanar<uint64_t> : &PlanarToInterleaved<uint64_t>;
    default: return to_planar ? &InterleavedToPlanar<uint8_t> : &PlanarToInterleaved<uint8_t>;
  }
}

}  // namespace

ConvertLayoutNode::ConvertLayoutNode(LayoutConversion conversion)
    : NodeBase("ConvertLayout"), conversion_(conversion) {}

StatusCode ConvertLayoutNode::Validate(const std::vector<Tensor>& inputs) {
  KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "unexpected number of input nodes");
  const Tensor& in = inputs[0];
  if (conversion_ == LayoutConversion::CHWToHWC) {
    KESHOCR_CHECK_EQUAL(std::string("CHW"), LayoutName(in.layout), "unexpected tensor layout");
    KESHOCR_CHECK_EQUAL(size_t{3}, in.shape.size(), "unexpected tensor dimension");
  } else if (conversion_ == LayoutConversion::HWCToCHW) {
    KESHOCR_CHECK_EQUAL(std::string("HWC"), LayoutName(in.layout), "unexpected tensor layout");
    KESHOCR_CHECK_EQUAL(size_t{3}, in.shape.size(), "unexpected tensor dimension");
  }
  return StatusCode::Success;
}

void ConvertLayoutNode::Run(std::vector<Tensor>& tensors) {
  const bool to_planar = conversion_ == LayoutConversion::HWCToCHW;
  if (!to_planar && conversion_ != LayoutConversion::CHWToHWC) return;

  Tensor& in = tensors.at(0);
  if (in.shape.size() < 3)
    throw std::invalid_argument("ConvertLayoutNode: needs a three-axis tensor, got " +
                                ShapeString(in.shape));
  const size_t s0 = in.shape[0], s1 = in.shape[1], s2 = in.shape[2];
  // HWC {h, w, c} -> CHW {c, h, w};  CHW {c, h, w} -> HWC {h, w, c}.
  const std::vector<size_t> new_shape = to_planar ? std::vector<size_t>{s2, s0, s1}
                                                  : std::vector<size_t>{s1, s2, s0};
  const Layout new_layout = to_planar ? Layout::CHW : Layout::HWC;

  if (in.Channels() == 1) {  // one plane is the same bytes in either order
    if (in.Reshape(new_shape)) in.layout = new_layout;
    return;
  }
  if (in.shape.size() != 3)
    throw std::invalid_argument("ConvertLayoutNode: needs a three-axis tensor, got " +
                                ShapeString(in.shape));
  Tensor out(new_shape, in.type, new_layout);
  if (to_planar)
    Pick(ElementSize(in.type), true)(in.data(), out.data(), s0, s1, s2);
  else
    Pick(ElementSize(in.type), false)(in.data(), out.data(), s1, s2, s0);
  tensors[0] = std::move(out);
}

}  // namespace dnn
}  // namespace veltrano
