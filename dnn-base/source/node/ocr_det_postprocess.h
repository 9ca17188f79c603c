// Turning labelled text regions into ordered text quadrilaterals.
#ifndef KESHOCR_DNN_OCR_DET_POSTPROCESS_H_
#define KESHOCR_DNN_OCR_DET_POSTPROCESS_H_

#include <vector>

#include <opencv2/core.hpp>

#include "node/node_base.h"

namespace veltrano {
namespace dnn {

// Input: [score map float32 NCHW {1, M, H, W}, labels int32 HWC {H, W, 1}].
// Output: [sums float32 Linear {K}, then per component k = 1..K its pixels as
// int32 HWC {1, n_k, 2} rows of (x, y) in scan order]. The sums add the text
// probabilities (class 2) of each component's pixels. A score map without
// three classes, or one that does not cover the label image, gives K = 0.
class OcrDetAreaAndProbabilityNode : public NodeBase {
 public:
  OcrDetAreaAndProbabilityNode();
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;
};

// Input: the output of OcrDetAreaAndProbabilityNode. Output: [boxes float32
// HWC {N, 8}], each row the corners top-left, top-right, bottom-right,
// bottom-left as x, y. A component is kept when its mean probability is at
// least min_score; its minimum-area rectangle grows on every side by
// ceil((1 / (1 - 2 unclip_ratio) - 1) * shorter side / 2), must then have a
// shorter side of at least min_size, and its corners are clipped to the map.
class OcrDetBoundingBoxNode : public NodeBase {
 public:
  OcrDetBoundingBoxNode(float unclip_ratio, float min_score, float min_size, int map_height,
                        int map_width);
  StatusCode Validate(const std::vector<Tensor>& inputs) override;
  void Run(std::vector<Tensor>& tensors) override;

 private:
  float unclip_ratio_;
  float min_score_;
  float min_size_;
  int32_t map_height_;
  int32_t map_width_;
};

// cv::minAreaRect of `n` pixels given as (x, y) pairs. When they come in
// scan order (rows top to bottom, left to right within a row), only the
// pixels that can lie on the convex hull are handed on: the whole first and
// last rows and the two ends of every other row. The hull, and so the
// rectangle, is the same, at a fraction of the cost for large characters.
cv::RotatedRect MinAreaRectOfPixels(const int32_t* xy, size_t n);

// Sorts the four corners by x (stably) and appends them to `out` as x, y of
// top-left, top-right, bottom-right, bottom-left: clockwise on screen.
void OrderCorners(cv::Point2f corners[4], std::vector<float>& out);

}  // namespace dnn
}  // namespace veltrano

#endif  // KESHOCR_DNN_OCR_DET_POSTPROCESS_H_
