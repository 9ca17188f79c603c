#include "support/test_paths.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace keshocr_test {

std::string SourcePath(const std::string& relative) {
  return std::string(KESHOCR_SOURCE_DIR) + "/" + relative;
}

std::string TestDataPath(const std::string& relative) {
  return std::string(KESHOCR_TEST_DATA_DIR) + "/" + relative;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string TestModel(const std::string& name) { return ReadFile(TestDataPath("models/" + name)); }

std::string ScratchDir(const std::string& name) {
  namespace fs = std::filesystem;
  // ctest runs test cases as parallel processes: each gets its own directory.
  const fs::path dir =
      fs::path(KESHOCR_BINARY_DIR) / "test-scratch" / (name + "-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

}  // namespace keshocr_test
