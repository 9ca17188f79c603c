#ifndef KESHOCR_MODULE_RECTIFY_H_
#define KESHOCR_MODULE_RECTIFY_H_

#include <opencv2/core.hpp>

#include "det/quad.h"

namespace veltrano {

// Cuts `quad` out of `image` as an upright rectangle. Its size is the longer
// of each pair of opposite edges, truncated; corner 0 lands at (0, 0) and
// corner 1 at (W, 0). Bilinear, black outside the image. A box without width
// or height, or whose corners admit no homography, gives an empty crop.
void RectifyQuad(const cv::Mat& image, const Quad& quad, cv::Mat& crop);

}  // namespace veltrano

#endif  // KESHOCR_MODULE_RECTIFY_H_
