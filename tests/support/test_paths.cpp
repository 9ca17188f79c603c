#include "support/test_paths.h"

#include <filesystem>

namespace keshocr_test {

std::string SourcePath(const std::string& relative) {
  return std::string(KESHOCR_SOURCE_DIR) + "/" + relative;
}

std::string TestDataPath(const std::string& relative) {
  return std::string(KESHOCR_TEST_DATA_DIR) + "/" + relative;
}

std::string ScratchDir(const std::string& name) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(KESHOCR_BINARY_DIR) / "test-scratch" / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

}  // namespace keshocr_test
