#include <sstream>

#include "module/module_impl.h"

namespace veltrano {

std::string KeshOCRModule::Impl::Version() const {
  std::ostringstream report;
  report << "Version: " << library_version << '\n'
         << "Model MD5: " << model_md5 << '\n'
         << "Compiled at: " << __DATE__ << ' ' << __TIME__ << '\n';
  return report.str();
}

}  // namespace veltrano
