#include "node/convert.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace veltrano {
namespace dnn {
namespace {

// Float to integer truncates toward zero into a signed integer of `Wide`
// bits. Values that do not fit (and NaN) give the integer indefinite value,
// the lowest one, as the processor's own conversion does, but without the
// undefined behaviour of an out-of-range cast.
template <typename Wide, typename F>
Wide TruncateTo(F value) {
  constexpr F kLimit = static_cast<F>(std::numeric_limits<Wide>::max()) + F(1);  // 2^31 or 2^63
  if (!(value > -kLimit && value < kLimit)) return std::numeric_limits<Wide>::min();
  return static_cast<Wide>(value);
}

template <typename S, typename D>
D ConvertOne(S value) {
  if constexpr (std::is_floating_point_v<S> && std::is_integral_v<D>) {
    using Wide = std::conditional_t<std::is_same_v<D, uint32_t>, int64_t, int32_t>;
    return static_cast<D>(TruncateTo<Wide>(value));
  } else if constexpr (std::is_same_v<S, double> && std::is_same_v<D, float>) {
    // Beyond float's range the result is an infinity, stated rather than left
    // to an undefined conversion.
    constexpr double kMax = std::numeric_limits<float>::max();
    if (value > kMax) return std::numeric_limits<float>::infinity();
    if (value < -kMax) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
  } else {
    return static_cast<D>(value);  // integer widening/narrowing, integer to float
  }
}

template <typename S, typename D>
void ConvertRange(const void* source, void* target, size_t count) {
  const S* in = static_cast<const S*>(source);
  D* out = static_cast<D*>(target);
  for (size_t i = 0; i < count; ++i) out[i] = ConvertOne<S, D>(in[i]);
}

using Routine = void (*)(const void*, void*, size_t);

template <typename S>
constexpr Routine kRow[8] = {
    &ConvertRange<S, int8_t>,  &ConvertRange<S, uint8_t>,  &ConvertRange<S, int16_t>,
    &ConvertRange<S, uint16_t>, &ConvertRange<S, int32_t>, &ConvertRange<S, uint32_t>,
    &ConvertRange<S, float>,   &ConvertRange<S, double>};

// Indexed by source type * 8 + target type.
const Routine* const kTable[8] = {kRow<int8_t>,  kRow<uint8_t>,  kRow<int16_t>, kRow<uint16_t>,
                                  kRow<int32_t>, kRow<uint32_t>, kRow<float>,   kRow<double>};

bool InTable(DataType type) {
  const int value = static_cast<int>(type);
  return value >= 0 && value < 8;
}

bool IsFloating(DataType type) { return type == DataType::Float32 || type == DataType::Float64; }

}  // namespace

void ConvertElements(const void* source, DataType from, void* target, DataType to, size_t count) {
  if (!InTable(from) || !InTable(to)) {
    throw std::invalid_argument("ConvertNode: no conversion from element type " +
                                DataTypeName(from) + " to " + DataTypeName(to));
  }
  kTable[static_cast<int>(from)][static_cast<int>(to)](source, target, count);
}

ConvertNode::ConvertNode(DataType type) : NodeBase("Convert"), type_(type) {}

void ConvertNode::Run(std::vector<Tensor>& tensors) {
  Tensor& in = tensors.at(0);
  if (in.type == type_) return;
  if (ElementSize(in.type) == ElementSize(type_) && !IsFloating(in.type) && !IsFloating(type_) &&
      InTable(in.type) && InTable(type_)) {
    in.type = type_;  // same width, integers: the bit patterns already are the result
    return;
  }
  Tensor out(in.shape, type_, in.layout);
  if (in.ElementCount() > 0) ConvertElements(in.data(), in.type, out.data(), type_, in.ElementCount());
  tensors[0] = std::move(out);
}

}  // namespace dnn
}  // namespace veltrano
