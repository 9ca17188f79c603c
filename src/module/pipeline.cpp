#include "module/module_impl.h"
namespace veltrano {
ResultCode KeshOCRModule::Impl::Init(const std::string&, bool, int) { return InvalidModel; }
ResultCode KeshOCRModule::Impl::Run(const OCRRequest&, OCRResponse&) { return InvalidModel; }
}  // namespace veltrano
