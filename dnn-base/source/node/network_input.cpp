#include "node/network_input.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace veltrano {
namespace dnn {

namespace {

// x / 127.5 - 1 for every byte, computed as the per-pixel expression would
// be: (x - 0) / 127.5 then (y - 1) / 1, as the two normalisations do
// (subtracting 0 and dividing by 1 are exact in float).
struct NormalizedBytes {
  float value[256];
  NormalizedBytes() {
    for (int v = 0; v < 256; ++v) value[v] = static_cast<float>(v) / 127.5f - 1.0f;
  }
};

// Bytes of the row up to its last non-zero one: the detector's canvas is
// black right of and below the scaled image, and that part needs no lookup.
size_t UsedBytes(const uint8_t* row, size_t n) {
  // Eight bytes at a time over the black tail, then byte by byte.
  while (n >= 8) {
    uint64_t word;
    std::memcpy(&word, row + n - 8, 8);
    if (word != 0) break;
    n -= 8;
  }
  while (n > 0 && row[n - 1] == 0) --n;
  return n;
}

}  // namespace

Tensor NormalizedPlanarInput(const cv::Mat& image) {
  if (image.depth() != CV_8U || image.dims != 2)
    throw std::invalid_argument("network input needs an 8-bit image");
  static const NormalizedBytes table;
  const float* lut = table.value;
  const float zero = lut[0];
  const size_t rows = image.rows, cols = image.cols, channels = image.channels();
  Tensor out({1, channels, rows, cols}, DataType::Float32, Layout::CHW);
  float* planes = out.data_as<float>();
  const size_t plane = rows * cols;
  for (size_t y = 0; y < rows; ++y) {
    const uint8_t* pixels = image.ptr<uint8_t>(static_cast<int>(y));
    const size_t used = (UsedBytes(pixels, cols * channels) + channels - 1) / channels;
    for (size_t c = 0; c < channels; ++c) {
      float* at = planes + c * plane + y * cols;
      const uint8_t* in = pixels + c;
      for (size_t x = 0; x < used; ++x) at[x] = lut[in[x * channels]];
      std::fill(at + used, at + cols, zero);
    }
  }
  return out;
}

}  // namespace dnn
}  // namespace veltrano
