// How a package asks for its networks to be run: the "runtime" member of its
// configuration text.
//
//   {"alphabet": "0123456789", "runtime": {"graph_optimization_level": "all",
//                                          "intra_op_threads": 0}}
//
// graph_optimization_level: "disable", "basic", "extended" or "all"
//   (ONNX Runtime's levels; default "extended").
// intra_op_threads: threads of each network's pool, 0..kMaxIntraOpThreads;
//   0 (the default) leaves the choice to the runtime.
// A package without "runtime" runs as packages always have.
#ifndef KESHOCR_MODEL_RUNTIME_SETTINGS_H_
#define KESHOCR_MODEL_RUNTIME_SETTINGS_H_

#include <string>

namespace veltrano {

constexpr int kMaxIntraOpThreads = 256;

struct RuntimeSettings {
  // ONNX Runtime's GraphOptimizationLevel values: 0, 1, 2 and 99.
  int graph_optimization_level = 2;
  int intra_op_threads = 0;
};

// Reads the "runtime" member of a configuration text. Returns false with a
// message naming the bad member or value in `error` when the member is not an
// object of the keys above with valid values; a text that is not a JSON
// object yields the defaults (the stages report that text themselves).
bool ParseRuntimeSettings(const std::string& config, RuntimeSettings& settings, std::string& error);

// The intra-op thread count after the host's process-wide cap: the
// KESHOCR_THREADS environment variable, a whole number from 1 to
// kMaxIntraOpThreads, lowers the package's count (and replaces 0, the
// runtime's choice). Any other value of the variable is ignored and said in
// `warning`.
int CappedIntraOpThreads(int package_threads, const char* cap, std::string& warning);

}  // namespace veltrano

#endif  // KESHOCR_MODEL_RUNTIME_SETTINGS_H_
