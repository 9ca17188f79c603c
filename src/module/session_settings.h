// The sessions' settings for a package: its "runtime" configuration, with the
// host's KESHOCR_THREADS cap applied.
#ifndef KESHOCR_MODULE_SESSION_SETTINGS_H_
#define KESHOCR_MODULE_SESSION_SETTINGS_H_

#include <string>

#include "node/onnxruntime.h"

namespace veltrano {

// Returns false, with the reason in `error`, for a "runtime" member with
// unknown keys or invalid values. A KESHOCR_THREADS value that is not a
// thread count is ignored with a warning on the process-wide logger.
bool SessionSettingsFor(const std::string& config, dnn::SessionSettings& session, std::string& error);

}  // namespace veltrano

#endif  // KESHOCR_MODULE_SESSION_SETTINGS_H_
