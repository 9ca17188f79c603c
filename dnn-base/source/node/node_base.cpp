#include "node/node_base.h"

#include <spdlog/spdlog.h>

namespace veltrano {
namespace dnn {

std::string StatusName(int code) {
  switch (code) {
    case 0: return "Success";
    case 1: return "InvalidInput";
    case 2: return "InvalidArgument";
    default: return std::to_string(code);
  }
}

StatusCode NodeBase::Validate(const std::vector<Tensor>&) { return StatusCode::Success; }

StatusCode NodeMatInputBase::Validate(const std::vector<Tensor>& inputs) {
  if (inputs.empty()) {
    spdlog::error("unexpected tensor format: no input tensor");
    return StatusCode::InvalidInput;
  }
  if (inputs[0].MatCompatible()) return StatusCode::Success;
  inputs[0].LogUnexpectedFormat();
  return StatusCode::InvalidInput;
}

}  // namespace dnn
}  // namespace veltrano
