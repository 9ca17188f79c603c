#include "det/det_module.h"
namespace veltrano {
struct DetModule::Impl {};
DetModule::DetModule() : impl_(std::make_shared<Impl>()) {}
bool DetModule::HasNetwork() const { return false; }
}  // namespace veltrano
