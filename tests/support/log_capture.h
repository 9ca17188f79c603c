// Captures what the process-wide logger writes while the object lives.
#ifndef KESHOCR_TESTS_LOG_CAPTURE_H_
#define KESHOCR_TESTS_LOG_CAPTURE_H_

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

namespace keshocr_test {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // One entry per logged line, as "<level>: <message>", e.g. "error: ...".
  std::vector<std::string> Lines() const;
  void Clear();

 private:
  std::shared_ptr<spdlog::logger> previous_;
  std::shared_ptr<std::ostringstream> stream_;
};

// Redirects std::cout (and optionally std::cerr) into strings while alive.
class StdStreamCapture {
 public:
  StdStreamCapture();
  ~StdStreamCapture();
  StdStreamCapture(const StdStreamCapture&) = delete;
  StdStreamCapture& operator=(const StdStreamCapture&) = delete;

  std::string Out() const { return out_.str(); }
  std::string Err() const { return err_.str(); }
  std::vector<std::string> OutLines() const;

 private:
  std::ostringstream out_, err_;
  std::streambuf* old_out_;
  std::streambuf* old_err_;
};

}  // namespace keshocr_test

#endif  // KESHOCR_TESTS_LOG_CAPTURE_H_
