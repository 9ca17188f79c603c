#include "node/network_input.h"

#include <stdexcept>
#include <vector>

namespace veltrano {
namespace dnn {

Tensor NormalizedPlanarInput(const cv::Mat& image) {
  if (image.depth() != CV_8U || image.dims != 2)
    throw std::invalid_argument("network input needs an 8-bit image");
  const size_t rows = image.rows, cols = image.cols, channels = image.channels();
  Tensor out({1, channels, rows, cols}, DataType::Float32, Layout::CHW);
  float* planes = out.data_as<float>();
  const size_t plane = rows * cols;
  std::vector<uint8_t> row_plane(cols);
  for (size_t y = 0; y < rows; ++y) {
    const uint8_t* pixels = image.ptr<uint8_t>(static_cast<int>(y));
    for (size_t c = 0; c < channels; ++c) {
      // Gather one channel of the row, then convert it in a contiguous loop
      // the compiler can vectorise.
      for (size_t x = 0; x < cols; ++x) row_plane[x] = pixels[x * channels + c];
      float* at = planes + c * plane + y * cols;
      // (x - 0) / 127.5 then (y - 1) / 1, as the two normalisations do:
      // subtracting 0 and dividing by 1 are exact in float.
      for (size_t x = 0; x < cols; ++x) at[x] = static_cast<float>(row_plane[x]) / 127.5f - 1.0f;
    }
  }
  return out;
}

}  // namespace dnn
}  // namespace veltrano
