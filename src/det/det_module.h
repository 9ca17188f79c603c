// The detection stage: finds the characters of an image as quadrilaterals.
#ifndef KESHOCR_DET_DET_MODULE_H_
#define KESHOCR_DET_DET_MODULE_H_

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "det/quad.h"
#include "node/onnxruntime.h"

namespace veltrano {

// A handle: copies share one network and one set of per-run state, so one
// DetModule (or its copies) handles one image at a time.
//
// A run scales the image so that its longer side fits 768 pixels (padding the
// rest with black), runs the network on it as RGB in -1..1, takes the
// connected regions where class 2 (text) wins as candidate boxes, keeps those
// the network is confident about, grows them and maps them back.
class DetModule {
 public:
  DetModule();

  // Builds the network from its serialised bytes with the package's session
  // settings and replaces the previous one. The configuration and `option`
  // are not used by this stage. Throws what ONNX Runtime throws for bytes it
  // cannot load; the previous network then stays. Returns 0.
  int Init(const std::vector<char>& model, std::string config, bool use_gpu, int option,
           const dnn::SessionSettings& session = {});
  bool HasNetwork() const;

  // Appends the boxes found in `image` (8-bit, 3-channel BGR) to `boxes` and
  // returns 0, or the code of the step that failed: InvalidImage for an image
  // that is not 8-bit BGR, InvalidModelOutput when the network's first output
  // is not a score map of at least 3 classes.
  // Prints the inference time on standard output.
  int Run(const cv::Mat& image, std::vector<Quad>& boxes);

  // The steps of Run, exposed for benchmarks and tests.
  int PreProcess(const cv::Mat& image, cv::Mat& padded);
  int DoInference(const cv::Mat& padded, std::vector<size_t>& out_shape);
  int PostProcess(std::vector<Quad>& boxes, const std::vector<size_t>& out_shape);
  // Resized size / input size per axis, as set by the last PreProcess.
  float scale_x() const;
  float scale_y() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace veltrano

#endif  // KESHOCR_DET_DET_MODULE_H_
