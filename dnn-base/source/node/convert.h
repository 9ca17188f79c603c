#ifndef KESHOCR_DNN_CONVERT_H_
#define KESHOCR_DNN_CONVERT_H_

#include "node/node_base.h"

namespace veltrano {
namespace dnn {

// Changes the element type of tensors[0] with the ordinary arithmetic
// conversion: integers sign- or zero-extend or keep their low bits, floats
// truncate toward zero through a 32-bit signed integer (64-bit for uint32)
// and keep the target's low bits. Integer types of one width only change the
// type tag, sharing the buffer.
class ConvertNode : public NodeBase {
 public:
  explicit ConvertNode(DataType type);
  void Run(std::vector<Tensor>& tensors) override;

 private:
  DataType type_;
};

// Converts `count` elements from `from` to `to` (both in 0..7); throws
// std::invalid_argument for types outside the table.
void ConvertElements(const void* source, DataType from, void* target, DataType to, size_t count);

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_CONVERT_H_
