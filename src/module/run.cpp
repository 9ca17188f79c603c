// The per-image path: detect, order left to right, rectify, recognise.
#include <algorithm>

#include "module/module_impl.h"
#include "module/rectify.h"

namespace veltrano {

ResultCode KeshOCRModule::Impl::Run(const OCRRequest& request, OCRResponse& response) {
  if (!det.HasNetwork() || !reg.HasNetwork()) return InvalidModel;
  const cv::Mat& image = request.image;
  if (image.empty() || image.dims != 2 || image.type() != CV_8UC3) return InvalidImage;

  // Nothing on this path writes to the image, so crops are cut from the
  // caller's pixels directly rather than from a copy.
  std::vector<Quad> boxes;
  det.Run(image, boxes);

  response.results.clear();
  // Stable, so boxes with one x keep the detector's (top-to-bottom) order.
  std::stable_sort(boxes.begin(), boxes.end(),
                   [](const Quad& a, const Quad& b) { return a.points[0].x < b.points[0].x; });

  for (const Quad& box : boxes) {
    OCRRequest crop;
    RectifyQuad(image, box, crop.image);
    crop.threshold = request.threshold;
    RecognitionResult recognised;
    reg.Run(crop, recognised);  // a failed crop still yields its result, with empty text

    OCRResult result;
    result.points.assign(box.points, box.points + 4);
    result.text = recognised.text;
    result.score = recognised.score;
    response.results.push_back(std::move(result));
  }
  response.status = 0;
  return Success;
}

}  // namespace veltrano
