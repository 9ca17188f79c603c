// The record that flows between processing nodes: an n-dimensional array with
// an element type, an axis order and a byte buffer that copies share.
#ifndef KESHOCR_DNN_TENSOR_H_
#define KESHOCR_DNN_TENSOR_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace veltrano {
namespace dnn {

// Stored and compared as numbers: the values are fixed.
enum class DataType : int32_t {
  Int8 = 0,
  UInt8 = 1,
  Int16 = 2,
  UInt16 = 3,
  Int32 = 4,
  UInt32 = 5,
  Float32 = 6,
  Float64 = 7,
};

enum class Layout : int32_t {
  Undefined = 0,
  HWC = 1,
  CHW = 2,
  NCHW = 3,
  NHWC = 4,
  Linear = 5,
};

// A heap block of element bytes, not initialised on creation. Tensors hold it
// through std::shared_ptr, whose count is atomic, so tensors sharing a buffer
// may be copied and destroyed on different threads. The bytes themselves are
// not protected.
class TensorBuffer {
 public:
  // Owns `size` new bytes.
  explicit TensorBuffer(size_t size);
  // Refers to `size` bytes at `data` that `keeper` keeps alive (an inference
  // result, say), so they need not be copied.
  TensorBuffer(void* data, size_t size, std::shared_ptr<void> keeper);
  TensorBuffer(const TensorBuffer&) = delete;
  TensorBuffer& operator=(const TensorBuffer&) = delete;

  void* data() { return data_; }
  const void* data() const { return data_; }
  // The byte count asked for at creation.
  size_t size() const { return size_; }

 private:
  std::unique_ptr<uint8_t[]> owned_;
  std::shared_ptr<void> keeper_;
  void* data_;
  size_t size_;
};

size_t ElementSize(DataType type);  // 1 for values outside the table
int ToCvDepth(DataType type);       // CV_8U for uint32 and unknown values
DataType FromCvDepth(int depth);    // uint8 for depths without a match

std::string DataTypeName(int type);  // "float32"; decimal for unknown values
std::string LayoutName(int layout);  // "HWC"; decimal for unknown values
std::string ShapeString(const std::vector<size_t>& shape);  // "[768, 768, 3]"

inline std::string DataTypeName(DataType type) { return DataTypeName(static_cast<int>(type)); }
inline std::string LayoutName(Layout layout) { return LayoutName(static_cast<int>(layout)); }

// Product of the extents; 1 for an empty shape.
size_t ElementCount(const std::vector<size_t>& shape);

class Tensor {
 public:
  // No buffer, empty shape, uint8, undefined layout.
  Tensor() = default;
  // A new, uninitialised buffer of ElementCount() * ElementSize(type) bytes.
  Tensor(std::vector<size_t> shape, DataType type, Layout layout);

  // Copies share the buffer; a moved-from tensor has none.
  Tensor(const Tensor&) = default;
  Tensor(Tensor&&) noexcept = default;
  Tensor& operator=(const Tensor&) = default;
  Tensor& operator=(Tensor&&) noexcept = default;

  size_t ElementCount() const { return dnn::ElementCount(shape); }
  size_t ByteSize() const { return ElementCount() * ElementSize(type); }
  // By layout: HWC shape[2], CHW shape[0], NCHW shape[1], NHWC shape[3], else
  // 0. The caller makes sure the tensor has the axes its layout names.
  size_t Channels() const;
  // Whether OpenCV can see the tensor as an image: HWC, three axes, 1, 3 or 4
  // channels, and an element type OpenCV has (not uint32).
  bool MatCompatible() const;

  // Replaces the shape when the element count stays; otherwise returns false
  // and changes nothing. Buffer, type and layout never change.
  bool Reshape(const std::vector<size_t>& new_shape);

  // An HWC copy of the matrix (a region of a larger one is copied row by row).
  static Tensor FromMat(const cv::Mat& mat);
  // A new matrix of shape[0] x shape[1] holding a copy of the bytes.
  cv::Mat ToMat() const;
  // A matrix header over the tensor's own bytes: no copy, and it does not keep
  // the buffer alive, so it must not outlive the tensor.
  cv::Mat MatView() const;

  // Logs "unexpected tensor format, layout: .., type: .., shape: .." at error
  // level through the process-wide logger.
  void LogUnexpectedFormat() const;

  // Element access; nullptr without a buffer.
  void* data() { return buffer ? buffer->data() : nullptr; }
  const void* data() const { return buffer ? buffer->data() : nullptr; }
  template <typename T>
  T* data_as() { return static_cast<T*>(data()); }
  template <typename T>
  const T* data_as() const { return static_cast<const T*>(data()); }

  std::shared_ptr<TensorBuffer> buffer;
  std::vector<size_t> shape;
  DataType type = DataType::UInt8;
  Layout layout = Layout::Undefined;
};

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_TENSOR_H_
