#include "support/log_capture.h"

#include <iostream>

#include <spdlog/sinks/ostream_sink.h>

namespace keshocr_test {
namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

LogCapture::LogCapture()
    : previous_(spdlog::default_logger()), stream_(std::make_shared<std::ostringstream>()) {
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(*stream_);
  auto logger = std::make_shared<spdlog::logger>("capture", sink);
  logger->set_pattern("%l: %v");
  logger->set_level(spdlog::level::trace);
  spdlog::set_default_logger(logger);
}

LogCapture::~LogCapture() { spdlog::set_default_logger(previous_); }

std::vector<std::string> LogCapture::Lines() const { return SplitLines(stream_->str()); }

void LogCapture::Clear() { stream_->str(""); }

StdStreamCapture::StdStreamCapture()
    : old_out_(std::cout.rdbuf(out_.rdbuf())), old_err_(std::cerr.rdbuf(err_.rdbuf())) {}

StdStreamCapture::~StdStreamCapture() {
  std::cout.rdbuf(old_out_);
  std::cerr.rdbuf(old_err_);
}

std::vector<std::string> StdStreamCapture::OutLines() const { return SplitLines(out_.str()); }

}  // namespace keshocr_test
