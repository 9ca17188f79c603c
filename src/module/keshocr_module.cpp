// KeshOCRModule is a handle: every operation forwards to the shared Impl.
#include "module/module_impl.h"

namespace veltrano {

KeshOCRModule::KeshOCRModule() : impl_(std::make_shared<Impl>()) {}
KeshOCRModule::KeshOCRModule(const KeshOCRModule& other) = default;

KeshOCRModule& KeshOCRModule::operator=(const KeshOCRModule& other) {
  // shared_ptr's assignment takes the new share before dropping the old one,
  // so self-assignment is harmless.
  impl_ = other.impl_;
  return *this;
}

KeshOCRModule::~KeshOCRModule() = default;

std::string KeshOCRModule::Version() { return impl_->Version(); }

ResultCode KeshOCRModule::Init(const std::string& model_path, bool use_gpu, int reserved) {
  return impl_->Init(model_path, use_gpu, reserved);
}

ResultCode KeshOCRModule::Run(const OCRRequest& request, OCRResponse& response) {
  return impl_->Run(request, response);
}

}  // namespace veltrano
