// Where tests find the repository's files and their scratch space.
#ifndef KESHOCR_TESTS_TEST_PATHS_H_
#define KESHOCR_TESTS_TEST_PATHS_H_

#include <string>

namespace keshocr_test {

std::string SourcePath(const std::string& relative);    // under the repository root
std::string TestDataPath(const std::string& relative);  // under tests/data
// A fresh, empty directory for one test, removed on the next call with the
// same name.
std::string ScratchDir(const std::string& name);

}  // namespace keshocr_test

#endif  // KESHOCR_TESTS_TEST_PATHS_H_
