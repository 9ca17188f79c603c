#include "model/runtime_settings.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include <nlohmann/json.hpp>

namespace veltrano {
namespace {

const std::map<std::string, int>& Levels() {
  static const std::map<std::string, int> levels = {{"disable", 0}, {"basic", 1}, {"extended", 2}, {"all", 99}};
  return levels;
}

}  // namespace

bool ParseRuntimeSettings(const std::string& config, RuntimeSettings& settings, std::string& error) {
  settings = RuntimeSettings{};
  const nlohmann::json parsed = nlohmann::json::parse(config, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return true;
  const auto runtime = parsed.find("runtime");
  if (runtime == parsed.end()) return true;
  if (!runtime->is_object()) {
    error = "the configuration's \"runtime\" must be an object";
    return false;
  }
  for (const auto& [key, value] : runtime->items()) {
    if (key == "graph_optimization_level") {
      const auto level = value.is_string() ? Levels().find(value.get<std::string>()) : Levels().end();
      if (level == Levels().end()) {
        error = "runtime \"graph_optimization_level\" must be \"disable\", \"basic\", \"extended\" or \"all\", got " +
                value.dump();
        return false;
      }
      settings.graph_optimization_level = level->second;
    } else if (key == "intra_op_threads") {
      if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > kMaxIntraOpThreads) {
        error = "runtime \"intra_op_threads\" must be a whole number from 0 (the runtime's choice) to " +
                std::to_string(kMaxIntraOpThreads) + ", got " + value.dump();
        return false;
      }
      settings.intra_op_threads = value.get<int>();
    } else {
      error = "unknown runtime setting \"" + key + "\" (known: graph_optimization_level, intra_op_threads)";
      return false;
    }
  }
  return true;
}

int CappedIntraOpThreads(int package_threads, const char* cap, std::string& warning) {
  if (cap == nullptr || *cap == '\0') return package_threads;
  char* end = nullptr;
  const long value = std::strtol(cap, &end, 10);
  if (*end != '\0' || value < 1 || value > kMaxIntraOpThreads) {
    warning = std::string("KESHOCR_THREADS must be a whole number from 1 to ") + std::to_string(kMaxIntraOpThreads) +
              ", got '" + cap + "'; ignored";
    return package_threads;
  }
  const int limit = static_cast<int>(value);
  return package_threads == 0 ? limit : std::min(package_threads, limit);
}

}  // namespace veltrano
