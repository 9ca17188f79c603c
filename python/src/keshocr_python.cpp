// _keshocr: the Python binding of KeshOCR. It hands the library's results to
// the keshocr package as plain tuples; keshocr/__init__.py wraps them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <tuple>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "KeshOCR.h"
#include "KeshOCRText.h"

namespace py = pybind11;

namespace {

using Box = std::vector<std::tuple<float, float>>;
using Character = std::tuple<std::string, float, Box>;
using Line = std::tuple<std::string, std::vector<std::string>, Box, float, float, float, std::vector<size_t>>;
using Reading = std::tuple<std::vector<Character>, std::vector<Line>, int>;

// The library writes its package header and a timing line per image on
// std::cout; a Python program's standard output is its own.
struct NullBuffer : std::streambuf {
  int overflow(int c) override { return traits_type::not_eof(c); }
};
NullBuffer g_null;
std::streambuf* g_console = nullptr;

void SetConsoleOutput(bool on) {
  if (on && g_console) std::cout.rdbuf(g_console);
  if (!on && !g_console) g_console = std::cout.rdbuf(&g_null);
  if (on) g_console = nullptr;
}

Box ToBox(const std::vector<cv::Point2f>& points) {
  Box box;
  for (const cv::Point2f& p : points) box.emplace_back(p.x, p.y);
  return box;
}

// One module behind a lock: Python threads that share a Reader take turns.
class Reader {
 public:
  Reader(const std::string& model_path, bool use_gpu) {
    veltrano::ResultCode rc = veltrano::InvalidModel;
    std::string said, error;
    {
      py::gil_scoped_release release;
      // Init says why it refuses a package on std::cerr: that text becomes
      // the exception's message. One Init at a time swaps the stream.
      static std::mutex init_mutex;
      std::lock_guard<std::mutex> lock(init_mutex);
      std::ostringstream capture;
      std::streambuf* saved = std::cerr.rdbuf(capture.rdbuf());
      try {
        rc = module_.Init(model_path, use_gpu, 0);
      } catch (const std::exception& e) {
        error = e.what();
      }
      std::cerr.rdbuf(saved);
      said = capture.str();
    }
    while (!said.empty() && said.back() == '\n') said.pop_back();
    if (!error.empty()) throw std::runtime_error("model package '" + model_path + "' is not usable: " + error);
    if (rc != veltrano::Success)
      throw std::runtime_error("cannot use model package '" + model_path + "' (InvalidModel)" +
                               (said.empty() ? std::string(": not a readable KeshOCR package") : ": " + said));
  }

  Reading ReadArray(const py::array& array, float threshold) {
    if (!py::isinstance<py::array_t<uint8_t>>(array) || array.dtype().kind() != 'u' || array.itemsize() != 1)
      throw py::value_error("image must be a uint8 array (BGR, H x W x 3), got dtype " +
                            std::string(py::str(array.dtype())));
    if (array.ndim() != 3 || array.shape(2) != 3)
      throw py::value_error("image must have shape (H, W, 3) in BGR order, got " + ShapeText(array));
    if (array.shape(0) == 0 || array.shape(1) == 0) throw py::value_error("image is empty: " + ShapeText(array));
    if (!(array.flags() & py::array::c_style))
      throw py::value_error("image must be C-contiguous (use numpy.ascontiguousarray), got strides " +
                            StridesText(array));
    // A header over the caller's pixels: the array stays alive (and the
    // library never writes to it) for the length of the call.
    const cv::Mat image(static_cast<int>(array.shape(0)), static_cast<int>(array.shape(1)), CV_8UC3,
                        const_cast<void*>(array.data()));
    return Read(image, threshold);
  }

  Reading ReadPath(const std::string& path, float threshold) {
    cv::Mat image;
    {
      py::gil_scoped_release release;
      image = cv::imread(path, cv::IMREAD_COLOR);
    }
    if (image.empty()) throw py::value_error("cannot read an image from '" + path + "'");
    return Read(image, threshold);
  }

  std::string Version() {
    std::lock_guard<std::mutex> lock(mutex_);
    return module_.Version();
  }

 private:
  static std::string ShapeText(const py::array& array) {
    std::string text = "(";
    for (py::ssize_t i = 0; i < array.ndim(); ++i) text += (i ? ", " : "") + std::to_string(array.shape(i));
    return text + (array.ndim() == 1 ? ",)" : ")");
  }
  static std::string StridesText(const py::array& array) {
    std::string text = "(";
    for (py::ssize_t i = 0; i < array.ndim(); ++i) text += (i ? ", " : "") + std::to_string(array.strides(i));
    return text + ")";
  }

  Reading Read(const cv::Mat& image, float threshold) {
    veltrano::OCRResponse response;
    veltrano::TextLayout layout;
    veltrano::ResultCode rc;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      rc = module_.Run(veltrano::OCRRequest{image, threshold}, response);
      if (rc == veltrano::Success) layout = veltrano::GroupLines(response, threshold);
    }
    if (rc != veltrano::Success) throw std::runtime_error("read failed with code " + std::to_string(rc));
    Reading reading;
    auto& [characters, lines, main_line] = reading;
    for (const veltrano::OCRResult& r : response.results) characters.emplace_back(r.text, r.score, ToBox(r.points));
    for (const veltrano::TextLine& l : layout.lines)
      lines.emplace_back(l.text, l.words, ToBox(l.points), l.height, l.mean_score, l.min_score, l.characters);
    main_line = layout.main_line;
    return reading;
  }

  veltrano::KeshOCRModule module_;
  std::mutex mutex_;
};

}  // namespace

PYBIND11_MODULE(_keshocr, m) {
  m.doc() = "The KeshOCR library; use the keshocr package, which wraps it.";
  SetConsoleOutput(false);
  // The networks' warnings (a GPU asked for but missing) go to standard
  // error, not into the program's standard output.
  // Made outside spdlog's registry, so no name of the host's can clash.
  spdlog::set_default_logger(
      std::make_shared<spdlog::logger>("keshocr", std::make_shared<spdlog::sinks::stderr_color_sink_mt>()));
  m.def("set_console_output", &SetConsoleOutput, py::arg("on"));
  py::class_<Reader>(m, "Reader")
      .def(py::init<const std::string&, bool>(), py::arg("model_path"), py::arg("use_gpu") = false)
      .def("read_array", &Reader::ReadArray, py::arg("image"), py::arg("threshold"))
      .def("read_path", &Reader::ReadPath, py::arg("path"), py::arg("threshold"))
      .def("version", &Reader::Version);
}
