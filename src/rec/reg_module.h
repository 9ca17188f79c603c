// The recognition stage: classifies one rectified crop as one character.
#ifndef KESHOCR_REC_REG_MODULE_H_
#define KESHOCR_REC_REG_MODULE_H_

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "KeshOCR.h"
#include "node/onnxruntime.h"
#include "rec/recognition_result.h"

namespace veltrano {

// A handle: copies share one network, alphabet and the last run's scores, so
// one RegModule (or its copies) reads one crop at a time.
//
// A crop is scaled to fit 128 x 128 keeping its aspect, centred on black,
// scaled to -1..1 in its own channel order and classified; class i names
// entry i of the alphabet.
class RegModule {
 public:
  // The default alphabet is "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ".
  RegModule();

  // Takes the alphabet from the configuration's "alphabet" string and builds
  // the network with the package's session settings. Writes
  // "alphabets_ocr = <alphabet>" on standard output.
  // Throws nlohmann::json's parse or type error for a configuration that is
  // not JSON or has no string "alphabet", and what ONNX Runtime throws for
  // bytes it cannot load; either way nothing changes. Returns 0.
  int Init(const std::vector<char>& model, std::string config, bool use_gpu, int option,
           const dnn::SessionSettings& session = {});
  bool HasNetwork() const;

  // Reads crop.image (8-bit, 3 channels). Returns 0, InvalidImage (with
  // "RegModule PreProcess Failed!" on standard output) for a crop too small
  // to scale, or InvalidModelOutput (with "RegModule DoInference Failed!")
  // when the network's output is not a {1, N} score list.
  int Run(const OCRRequest& crop, RecognitionResult& result);

  // The steps of Run, exposed for benchmarks and tests.
  int PreProcess(const cv::Mat& in, cv::Mat& out);
  int DoInference(const cv::Mat& in, std::vector<size_t>& out_shape);

  // One code unit per alphabet entry: each configured byte, sign-extended.
  std::u16string alphabet() const;
  // Scores of the last run.
  std::vector<float> scores() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace veltrano

#endif  // KESHOCR_REC_REG_MODULE_H_
