#include "node/tensor.h"

#include <cstring>
#include <sstream>

#include <spdlog/spdlog.h>

namespace veltrano {
namespace dnn {

TensorBuffer::TensorBuffer(size_t size)
    : owned_(size ? new uint8_t[size] : nullptr), data_(owned_.get()), size_(size) {}

TensorBuffer::TensorBuffer(void* data, size_t size, std::shared_ptr<void> keeper)
    : keeper_(std::move(keeper)), data_(data), size_(size) {}

size_t ElementSize(DataType type) {
  switch (type) {
    case DataType::Int16:
    case DataType::UInt16:
      return 2;
    case DataType::Int32:
    case DataType::UInt32:
    case DataType::Float32:
      return 4;
    case DataType::Float64:
      return 8;
    default:
      return 1;
  }
}

int ToCvDepth(DataType type) {
  switch (type) {
    case DataType::Int8: return CV_8S;
    case DataType::Int16: return CV_16S;
    case DataType::UInt16: return CV_16U;
    case DataType::Int32: return CV_32S;
    case DataType::Float32: return CV_32F;
    case DataType::Float64: return CV_64F;
    default: return CV_8U;  // uint8, and uint32 which OpenCV cannot hold
  }
}

DataType FromCvDepth(int depth) {
  switch (depth) {
    case CV_8S: return DataType::Int8;
    case CV_16U: return DataType::UInt16;
    case CV_16S: return DataType::Int16;
    case CV_32S: return DataType::Int32;
    case CV_32F: return DataType::Float32;
    case CV_64F: return DataType::Float64;
    default: return DataType::UInt8;  // CV_8U and the 16-bit float depth
  }
}

std::string DataTypeName(int type) {
  static const char* const kNames[] = {"int8",  "uint8",  "int16",   "uint16",
                                       "int32", "uint32", "float32", "float64"};
  if (type >= 0 && type < 8) return kNames[type];
  return std::to_string(type);
}

std::string LayoutName(int layout) {
  static const char* const kNames[] = {"undefined", "HWC", "CHW", "NCHW", "NHWC", "Linear"};
  if (layout >= 0 && layout < 6) return kNames[layout];
  return std::to_string(layout);
}

std::string ShapeString(const std::vector<size_t>& shape) {
  std::ostringstream out;
  out << '[';
  for (size_t i = 0; i < shape.size(); ++i) out << (i ? ", " : "") << shape[i];
  out << ']';
  return out.str();
}

size_t ElementCount(const std::vector<size_t>& shape) {
  size_t count = 1;
  for (size_t extent : shape) count *= extent;
  return count;
}

Tensor::Tensor(std::vector<size_t> shape_in, DataType type_in, Layout layout_in)
    : shape(std::move(shape_in)), type(type_in), layout(layout_in) {
  buffer = std::make_shared<TensorBuffer>(ByteSize());
}

size_t Tensor::Channels() const {
  // A tensor with fewer axes than its layout names has no channel axis.
  switch (layout) {
    case Layout::HWC: return shape.size() >= 3 ? shape[2] : 0;
    case Layout::CHW: return shape.size() >= 3 ? shape[0] : 0;
    case Layout::NCHW: return shape.size() >= 4 ? shape[1] : 0;
    case Layout::NHWC: return shape.size() >= 4 ? shape[3] : 0;
    default: return 0;
  }
}

bool Tensor::MatCompatible() const {
  if (type == DataType::UInt32 || layout != Layout::HWC || shape.size() != 3) return false;
  const size_t channels = Channels();
  return channels == 1 || channels == 3 || channels == 4;
}

bool Tensor::Reshape(const std::vector<size_t>& new_shape) {
  if (dnn::ElementCount(new_shape) != ElementCount()) return false;
  shape = new_shape;
  return true;
}

Tensor Tensor::FromMat(const cv::Mat& mat) {
  Tensor tensor({static_cast<size_t>(mat.rows), static_cast<size_t>(mat.cols),
                 static_cast<size_t>(mat.channels())},
                FromCvDepth(mat.depth()), Layout::HWC);
  const size_t bytes = tensor.ByteSize();
  if (bytes == 0) return tensor;
  if (mat.isContinuous()) {
    std::memcpy(tensor.data(), mat.data, bytes);
  } else {
    const size_t row_bytes = static_cast<size_t>(mat.cols) * mat.elemSize();
    auto* out = static_cast<uint8_t*>(tensor.data());
    for (int r = 0; r < mat.rows; ++r) std::memcpy(out + r * row_bytes, mat.ptr(r), row_bytes);
  }
  return tensor;
}

cv::Mat Tensor::ToMat() const {
  return MatView().clone();
}

cv::Mat Tensor::MatView() const {
  // Only image-like tensors have a matrix form; anything else gives an empty
  // matrix rather than a header over the wrong number of bytes.
  const size_t channels = Channels();
  if (shape.size() < 2 || channels < 1 || channels > CV_CN_MAX || ByteSize() == 0) return cv::Mat();
  const int cv_type = CV_MAKETYPE(ToCvDepth(type), static_cast<int>(channels));
  return cv::Mat(static_cast<int>(shape[0]), static_cast<int>(shape[1]), cv_type,
                 const_cast<void*>(data()));
}

void Tensor::LogUnexpectedFormat() const {
  spdlog::error("unexpected tensor format, layout: {}, type: {}, shape: {}", LayoutName(layout),
                DataTypeName(type), ShapeString(shape));
}

}  // namespace dnn
}  // namespace veltrano
