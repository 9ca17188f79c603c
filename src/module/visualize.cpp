// IOCRModule: the interface's own members and the drawing of a response.
#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "KeshOCR.h"

namespace veltrano {
namespace {

const cv::Scalar kOutlineColour(255, 255, 0, 0);  // blue + green (BGR)
const cv::Scalar kTextColour(0, 0, 255, 0);       // red
constexpr float kLabelClearance = 25.0f;  // pixels below the last label's box before a label fits above
constexpr float kFullSizeLabel = 25.0f;   // box side at which labels reach font scale 1

// Truncation toward zero, as a cast does, but defined for every finite float.
int TruncToInt(float v) {
  constexpr float kMax = 2147483520.0f;  // largest float below 2^31
  return static_cast<int>(std::clamp(v, -kMax, kMax));
}

bool AllFinite(const std::vector<cv::Point2f>& points) {
  for (size_t i = 0; i < 4; ++i)
    if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y)) return false;
  return true;
}

}  // namespace

IOCRModule::IOCRModule() = default;
IOCRModule::IOCRModule(const IOCRModule&) = default;
IOCRModule& IOCRModule::operator=(const IOCRModule&) = default;
IOCRModule::~IOCRModule() = default;

ResultCode IOCRModule::Visualize(const OCRRequest& request, const OCRResponse& response,
                                 cv::Mat& out) {
  const cv::Mat& image = request.image;
  if (image.empty() || image.dims == 0) return InvalidImage;

  cv::Mat canvas = image.clone();
  int bottom_line = 0;  // lowest bottom-left corner of the labels drawn so far
  for (const OCRResult& result : response.results) {
    // A box needs four corners; anything else cannot be drawn as one.
    if (result.points.size() < 4 || !AllFinite(result.points)) continue;
    const std::vector<cv::Point2f>& p = result.points;

    for (int j = 0; j < 4; ++j) {
      const cv::Point2f& a = p[j];
      const cv::Point2f& b = p[(j + 1) % 4];
      cv::line(canvas, cv::Point(TruncToInt(a.x), TruncToInt(a.y)),
               cv::Point(TruncToInt(b.x), TruncToInt(b.y)), kOutlineColour, 1, cv::LINE_8, 0);
    }

    const float height = std::fabs(p[0].y - p[3].y);
    const float width = std::fabs(p[0].x - p[1].x);
    const float smaller = width < height ? width : height;
    const double font_scale = std::min(smaller / kFullSizeLabel, 1.0f);

    // Above the box unless that would collide with the previous label's box.
    const cv::Point2f& anchor =
        (p[0].y - static_cast<float>(bottom_line) < kLabelClearance) ? p[3] : p[0];
    const cv::Point origin(TruncToInt(anchor.x), TruncToInt(anchor.y));
    bottom_line = TruncToInt(std::max(p[3].y, static_cast<float>(bottom_line)));

    cv::putText(canvas, result.text, origin, cv::FONT_HERSHEY_COMPLEX, font_scale, kTextColour,
                2, cv::LINE_8, false);
  }
  out = canvas;
  return Success;
}

}  // namespace veltrano
