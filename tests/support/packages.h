// Model packages built from the tiny test networks in tests/data/models.
#ifndef KESHOCR_TESTS_PACKAGES_H_
#define KESHOCR_TESTS_PACKAGES_H_

#include <string>
#include <vector>

#include "model/package_writer.h"

namespace keshocr_test {

struct TinyPackage {
  std::string task_name = "keshocr-tiny";
  std::string task_type = "ocr";
  std::string version = "0.1";
  std::string create_time = "2026-12-07T00:00:00Z";
  std::string config = R"({"alphabet": "0123456789"})";
  // Files under tests/data/models, detection first.
  std::vector<std::string> networks = {"det_dark.onnx", "rec_centre.onnx"};
  bool legacy = false;

  veltrano::PackageContents Contents() const;
  // Writes the package into `dir` as `file_name` and returns its path.
  std::string Write(const std::string& dir, const std::string& file_name) const;
};

}  // namespace keshocr_test

#endif  // KESHOCR_TESTS_PACKAGES_H_
