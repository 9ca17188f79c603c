#ifndef KESHOCR_REC_RECOGNITION_RESULT_H_
#define KESHOCR_REC_RECOGNITION_RESULT_H_

#include <string>

namespace veltrano {

// What the recognition stage answers for one crop.
struct RecognitionResult {
  // One byte of the alphabet; empty when the best class has no entry.
  std::string text;
  // True when the best score is not greater than the request's threshold.
  bool below_threshold = false;
  // The best class score as the network gave it.
  float score = 0.0f;
};

}  // namespace veltrano

#endif  // KESHOCR_REC_RECOGNITION_RESULT_H_
