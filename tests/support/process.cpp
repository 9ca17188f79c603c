#include "support/process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "support/test_paths.h"

namespace keshocr_test {

ProcessResult RunCommand(const std::string& command) {
  const std::string err_file = ScratchDir("process") + "/stderr";
  FILE* pipe = popen((command + " 2>" + err_file).c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  ProcessResult result;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
  const int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.err = ReadFile(err_file);
  return result;
}

std::string InstalledProgram(const std::string& name) {
  return std::string(KESHOCR_BINARY_DIR) + "/stage/bin/" + name;
}

}  // namespace keshocr_test
