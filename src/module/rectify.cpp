#include "module/rectify.h"

#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace veltrano {
namespace {

double Length(const cv::Point2f& a, const cv::Point2f& b) {
  const double dx = a.x - b.x, dy = a.y - b.y;
  return std::sqrt(dx * dx + dy * dy);
}

}  // namespace

void RectifyQuad(const cv::Mat& image, const Quad& quad, cv::Mat& crop) {
  const cv::Point2f* p = quad.points;
  const double width = std::max(Length(p[2], p[3]), Length(p[0], p[1]));
  const double height = std::max(Length(p[0], p[3]), Length(p[1], p[2]));
  // Boxes come from the image, so their sides are far below INT_MAX; anything
  // else (or NaN) is no box at all.
  if (!(width >= 1.0 && height >= 1.0 && width < 1e6 && height < 1e6)) {
    crop = cv::Mat();
    return;
  }
  const int w = static_cast<int>(width), h = static_cast<int>(height);

  cv::Mat source(4, 2, CV_32F), target(4, 2, CV_32F);
  const float corners[4][2] = {{0, 0}, {float(w), 0}, {float(w), float(h)}, {0, float(h)}};
  for (int i = 0; i < 4; ++i) {
    source.at<float>(i, 0) = p[i].x;
    source.at<float>(i, 1) = p[i].y;
    target.at<float>(i, 0) = corners[i][0];
    target.at<float>(i, 1) = corners[i][1];
  }
  const cv::Mat homography = cv::findHomography(source, target, 0);
  if (homography.empty()) {
    crop = cv::Mat();
    return;
  }
  cv::warpPerspective(image, crop, homography, cv::Size(w, h), cv::INTER_LINEAR,
                      cv::BORDER_CONSTANT, cv::Scalar::all(0));
}

}  // namespace veltrano
