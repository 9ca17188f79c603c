// Running a program the way a user would, for the command-line tool tests.
#ifndef KESHOCR_TESTS_PROCESS_H_
#define KESHOCR_TESTS_PROCESS_H_

#include <string>

namespace keshocr_test {

struct ProcessResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs `command` through /bin/sh and collects its standard output, standard
// error and exit code.
ProcessResult RunCommand(const std::string& command);

// The programs installed by the test fixture that runs `cmake --install`.
std::string InstalledProgram(const std::string& name);

}  // namespace keshocr_test

#endif  // KESHOCR_TESTS_PROCESS_H_
