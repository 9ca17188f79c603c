// Where tests find the repository's files and their scratch space.
#ifndef KESHOCR_TESTS_TEST_PATHS_H_
#define KESHOCR_TESTS_TEST_PATHS_H_

#include <string>

namespace keshocr_test {

std::string SourcePath(const std::string& relative);    // under the repository root
std::string TestDataPath(const std::string& relative);  // under tests/data
// The whole file as bytes; throws std::runtime_error when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// A tiny test network from tests/data/models, as bytes.
std::string TestModel(const std::string& name);

// A fresh, empty directory for this process's tests named `name`.
std::string ScratchDir(const std::string& name);

}  // namespace keshocr_test

#endif  // KESHOCR_TESTS_TEST_PATHS_H_
