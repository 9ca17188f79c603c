// Builds against the installed header and library only.
#include <KeshOCR.h>
#include <KeshOCRText.h>

#include <iostream>

int main() {
  veltrano::KeshOCRModule module;
  veltrano::IOCRModule& ocr = module;
  cv::Mat out;
  veltrano::OCRRequest request{cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(0)), 0.5f};
  if (ocr.Visualize(request, veltrano::OCRResponse{}, out) != veltrano::Success) return 1;
  veltrano::OCRResponse response;
  if (module.Run(request, response) != veltrano::InvalidModel) return 1;
  veltrano::OCRResult one{{{0, 0}, {10, 0}, {10, 12}, {0, 12}}, "A", 0.9f};
  if (veltrano::MainCode(veltrano::OCRResponse{{one}, 0}) != "A") return 1;
  std::cout << module.Version();
  return module.Version().rfind("Version: 1.9.0\n", 0) == 0 ? 0 : 1;
}
