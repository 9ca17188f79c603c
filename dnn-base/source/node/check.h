// The validation convention of the nodes: a failing check logs one error line
// naming what was wanted, what was found and where the check is, and makes
// Validate answer InvalidInput.
//
//   KESHOCR_CHECK_EQUAL(size_t{1}, inputs.size(), "unexpected number of input nodes");
//   logs: unexpected number of input nodes, want 1, got 2, at file dnn-base/source/node/x.cpp:12
#ifndef KESHOCR_DNN_CHECK_H_
#define KESHOCR_DNN_CHECK_H_

#include <string>

#include <spdlog/spdlog.h>

#include "node/node_base.h"

namespace veltrano {
namespace dnn {
namespace check {

// Both sides have one type, so the comparison never mixes signedness.
template <typename T>
bool Equal(const T& want, const T& got, const std::string& text, const char* file, int line) {
  if (want == got) return true;
  spdlog::error("{}, want {}, got {}, at file {}:{}", text, want, got, file, line);
  return false;
}

template <typename T>
bool NotEqual(const T& value, const T& forbidden, const std::string& text, const char* file,
              int line) {
  if (!(value == forbidden)) return true;
  spdlog::error("{}, {} == {}, at file {}:{}", text, value, forbidden, file, line);
  return false;
}

}  // namespace check
}  // namespace dnn
}  // namespace veltrano

// Return InvalidInput from the enclosing Validate when the check fails.
#define KESHOCR_CHECK_EQUAL(want, got, text)                                       \
  do {                                                                             \
    if (!::veltrano::dnn::check::Equal((want), (got), (text), __FILE__, __LINE__)) \
      return ::veltrano::dnn::StatusCode::InvalidInput;                            \
  } while (0)

#define KESHOCR_CHECK_NOT_EQUAL(value, forbidden, text)                                       \
  do {                                                                                        \
    if (!::veltrano::dnn::check::NotEqual((value), (forbidden), (text), __FILE__, __LINE__))  \
      return ::veltrano::dnn::StatusCode::InvalidInput;                                       \
  } while (0)

#endif  // KESHOCR_DNN_CHECK_H_
