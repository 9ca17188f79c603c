#include "support/packages.h"

#include "support/test_paths.h"

namespace keshocr_test {

veltrano::PackageContents TinyPackage::Contents() const {
  veltrano::PackageContents contents;
  contents.task_name = task_name;
  contents.task_type = task_type;
  contents.version = version;
  contents.create_time = create_time;
  contents.config = config;
  for (const std::string& name : networks) {
    const std::string bytes = TestModel(name);
    contents.networks.emplace_back(name, std::vector<char>(bytes.begin(), bytes.end()));
  }
  return contents;
}

std::string TinyPackage::Write(const std::string& dir, const std::string& file_name) const {
  const std::string path = dir + "/" + file_name;
  veltrano::WritePackage(path, Contents(), legacy);
  return path;
}

}  // namespace keshocr_test
