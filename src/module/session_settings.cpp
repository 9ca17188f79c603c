#include "module/session_settings.h"

#include <cstdlib>

#include <spdlog/spdlog.h>

#include "model/runtime_settings.h"

namespace veltrano {

bool SessionSettingsFor(const std::string& config, dnn::SessionSettings& session, std::string& error) {
  RuntimeSettings runtime;
  if (!ParseRuntimeSettings(config, runtime, error)) return false;
  session.graph_optimization_level = runtime.graph_optimization_level;
  std::string warning;
  session.intra_op_threads = CappedIntraOpThreads(runtime.intra_op_threads, std::getenv("KESHOCR_THREADS"), warning);
  if (!warning.empty()) spdlog::warn("{}", warning);
  return true;
}

}  // namespace veltrano
