#include "rec/reg_module.h"
namespace veltrano {
struct RegModule::Impl {};
RegModule::RegModule() : impl_(std::make_shared<Impl>()) {}
bool RegModule::HasNetwork() const { return false; }
}  // namespace veltrano
