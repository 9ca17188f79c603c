#include "rec/reg_module.h"

#include <iostream>

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "node/network_input.h"
#include "node/onnxruntime.h"

namespace veltrano {
namespace {

using dnn::Tensor;

constexpr int kSide = 128;  // the network's square input

// Each byte becomes one code unit by sign extension, so a multi-byte UTF-8
// character takes several entries and each entry's low byte is the original.
std::u16string Widen(const std::string& bytes) {
  std::u16string units;
  units.reserve(bytes.size());
  for (char byte : bytes)
    units.push_back(static_cast<char16_t>(static_cast<int16_t>(static_cast<signed char>(byte))));
  return units;
}

std::string LowBytes(const std::u16string& units) {
  std::string bytes;
  bytes.reserve(units.size());
  for (char16_t unit : units) bytes.push_back(static_cast<char>(unit & 0xFF));
  return bytes;
}

}  // namespace

struct RegModule::Impl {
  std::vector<float> scores;  // of the last run
  int64_t class_count = 0;
  std::u16string alphabet = u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::shared_ptr<dnn::OnnxRuntimeNode> onnx_node;
};

RegModule::RegModule() : impl_(std::make_shared<Impl>()) {}

int RegModule::Init(const std::vector<char>& model, std::string config, bool use_gpu,
                    int /*option*/, const dnn::SessionSettings& session) {
  // The non-const subscript adds a missing member as null, whose conversion
  // then throws the JSON library's type error.
  nlohmann::json parsed = nlohmann::json::parse(config);
  std::u16string alphabet = Widen(parsed["alphabet"].get<std::string>());

  // The bytes go out as they came in (UTF-8 stays UTF-8) through the narrow
  // stream: wide output after narrow output on one stream is lost.
  std::cout << "alphabets_ocr = " << LowBytes(alphabet) << std::endl;

  auto node = std::make_shared<dnn::OnnxRuntimeNode>(std::string(model.begin(), model.end()),
                                                     use_gpu, 1, session);
  impl_->alphabet = std::move(alphabet);
  impl_->onnx_node = std::move(node);
  return 0;
}

bool RegModule::HasNetwork() const { return impl_->onnx_node != nullptr; }
std::u16string RegModule::alphabet() const { return impl_->alphabet; }
std::vector<float> RegModule::scores() const { return impl_->scores; }

int RegModule::PreProcess(const cv::Mat& in, cv::Mat& out) {
  if (in.empty()) return InvalidImage;
  const int w0 = in.cols, h0 = in.rows;
  int width = kSide, height = kSide;
  if (h0 > w0)
    width = static_cast<int>(static_cast<double>(w0) / h0 * kSide);
  else
    height = static_cast<int>(static_cast<double>(h0) / w0 * kSide);
  // A sliver whose short side scales below one pixel cannot be resized.
  if (width < 1 || height < 1) return InvalidImage;

  // Scale straight into the centre of a black square: the same pixels as
  // scaling and then padding, without the copies in between.
  const int top = (kSide - height) / 2, left = (kSide - width) / 2;
  out.create(kSide, kSide, in.type());
  out.setTo(cv::Scalar::all(0));
  cv::Mat centre = out(cv::Rect(left, top, width, height));
  cv::resize(in, centre, centre.size(), 0, 0, cv::INTER_LINEAR);
  return 0;
}

int RegModule::DoInference(const cv::Mat& in, std::vector<size_t>& out_shape) {
  if (!impl_->onnx_node) return InvalidModel;
  // One pass from pixels to the network's {1, 3, 128, 128} input in -1..1;
  // channels keep the crop's order.
  std::vector<Tensor> outputs{dnn::NormalizedPlanarInput(in)};
  impl_->onnx_node->Run(outputs);
  out_shape = outputs[0].shape;
  // One score per class: {1, N}. Anything shorter has no class axis to read.
  if (out_shape.size() < 2) return InvalidModelOutput;
  const size_t count = std::min(out_shape[1], outputs[0].ElementCount());
  if (count == 0) return InvalidModelOutput;
  const float* first = outputs[0].data_as<float>();
  impl_->scores.assign(first, first + count);
  return 0;
}

int RegModule::Run(const OCRRequest& crop, RecognitionResult& result) {
  cv::Mat padded;
  int rc = PreProcess(crop.image, padded);
  if (rc != 0) {
    std::cout << "RegModule PreProcess Failed!" << std::endl;
    return rc;
  }
  std::vector<size_t> shape;
  rc = DoInference(padded, shape);
  if (rc != 0) {
    std::cout << "RegModule DoInference Failed!" << std::endl;
    return rc;
  }
  const std::vector<float>& scores = impl_->scores;
  impl_->class_count = static_cast<int64_t>(scores.size());

  // Ties keep the lower index; a NaN score never wins.
  size_t best = 0;
  for (size_t i = 1; i < scores.size(); ++i)
    if (scores[i] > scores[best]) best = i;

  result.text.clear();
  if (best < impl_->alphabet.size()) result.text.push_back(static_cast<char>(impl_->alphabet[best] & 0xFF));
  result.score = scores[best];
  result.below_threshold = !(scores[best] > crop.threshold);
  return 0;
}

}  // namespace veltrano
