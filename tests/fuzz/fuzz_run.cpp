// Arbitrary small images through KeshOCRModule::Run and Visualize, on the
// tiny deterministic test networks.
//
// Input bytes: width - 1, height - 1, a type selector, then pixel bytes
// (repeated to fill the image). Most inputs become 8-bit BGR images; some
// select types Run must refuse.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <opencv2/core.hpp>

#include "KeshOCR.h"
#include "model/package_writer.h"

namespace {

std::vector<char> ReadModel(const std::string& name) {
  std::ifstream in(std::string(KESHOCR_SOURCE_DIR) + "/tests/data/models/" + name, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const std::string s = bytes.str();
  if (s.empty()) std::abort();
  return std::vector<char>(s.begin(), s.end());
}

veltrano::KeshOCRModule& Module() {
  static veltrano::KeshOCRModule* module = [] {
    veltrano::PackageContents contents;
    contents.task_name = "fuzz";
    contents.task_type = "ocr";
    contents.version = "1";
    contents.create_time = "2026-01-01T00:00:00Z";
    contents.config = R"({"alphabet": "0123456789"})";
    contents.networks = {{"det", ReadModel("det_dark.onnx")}, {"rec", ReadModel("rec_centre.onnx")}};
    const std::string path = "/tmp/keshocr-fuzz-run.pkg";
    veltrano::WritePackage(path, contents, false);
    auto* m = new veltrano::KeshOCRModule();
    std::cout.setstate(std::ios::badbit);  // the module's console lines, every run
    if (m->Init(path, false, 0) != veltrano::Success) std::abort();
    return m;
  }();
  return *module;
}

int TypeFor(uint8_t selector) {
  static const int kTypes[] = {CV_8UC3, CV_8UC3, CV_8UC3, CV_8UC3, CV_8UC3,
                               CV_8UC1, CV_8UC4,  CV_16UC3, CV_32FC3, CV_8UC2};
  return kTypes[selector % (sizeof kTypes / sizeof kTypes[0])];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int width = 1 + data[0] % 96, height = 1 + data[1] % 96;
  cv::Mat image(height, width, TypeFor(data[2]));
  const uint8_t* pixels = data + 3;
  const size_t count = size - 3;
  const size_t bytes = image.total() * image.elemSize();
  for (size_t i = 0; i < bytes; ++i) image.data[i] = count ? pixels[i % count] : 0;

  veltrano::OCRRequest request{image, 0.5f};
  veltrano::OCRResponse response;
  const veltrano::ResultCode rc = Module().Run(request, response);
  if (rc != veltrano::Success && rc != veltrano::InvalidImage) std::abort();
  if (rc == veltrano::Success && response.status != 0) std::abort();
  for (const auto& result : response.results)
    if (result.points.size() != 4 || result.text.size() > 1) std::abort();
  cv::Mat drawing;
  Module().Visualize(request, response, drawing);
  return 0;
}
