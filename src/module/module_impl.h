// The shared state behind KeshOCRModule and its copies.
#ifndef KESHOCR_MODULE_IMPL_H_
#define KESHOCR_MODULE_IMPL_H_

#include <string>

#include "KeshOCR.h"
#include "det/det_module.h"
#include "rec/reg_module.h"

namespace veltrano {

// Copies of a KeshOCRModule share one Impl. It stays inside the library even
// though it is nested in an exported class.
struct __attribute__((visibility("hidden"))) KeshOCRModule::Impl {
  DetModule det;
  RegModule reg;
  std::string model_md5;
  std::string library_version = "1.9.0";

  ResultCode Init(const std::string& model_path, bool use_gpu, int reserved);
  ResultCode Run(const OCRRequest& request, OCRResponse& response);
  std::string Version() const;
};

}  // namespace veltrano

#endif  // KESHOCR_MODULE_IMPL_H_
