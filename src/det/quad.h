#ifndef KESHOCR_DET_QUAD_H_
#define KESHOCR_DET_QUAD_H_

#include <opencv2/core.hpp>

namespace veltrano {

// One text box: corners top-left, top-right, bottom-right, bottom-left, in
// pixels of the image given to the detection stage (whole numbers as float).
struct Quad {
  cv::Point2f points[4];
};

}  // namespace veltrano

#endif  // KESHOCR_DET_QUAD_H_
