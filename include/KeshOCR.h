// KeshOCR: reads short printed codes (serial numbers, plates, labels) from images.
//
// A host creates a KeshOCRModule, calls Init once with a model package, then
// Run once per image. Each result is one character with its four-corner box,
// ordered left to right; KeshOCRText.h groups them into lines and gives the
// main code.
//
//   veltrano::KeshOCRModule ocr;
//   if (ocr.Init("keshocr-default.pkg", false, 0) != veltrano::Success) return 1;
//   veltrano::OCRRequest request{cv::imread("code.png"), 0.5f};
//   veltrano::OCRResponse response;
//   ocr.Run(request, response);
//
// Host and library must be built against the same OpenCV and C++ standard
// library, because cv::Mat, std::string and std::vector cross this interface.
//
// Loading the library sets ORT_DISABLE_TELEMETRY=1 in the process environment
// (unless the host set it): ONNX Runtime's telemetry client would otherwise
// start with the first network, and on Linux it crashes Init in processes
// with long command lines or on threads with small stacks.
#ifndef KESHOCR_H_
#define KESHOCR_H_

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#if defined(_WIN32)
#if defined(KESHOCR_BUILDING_LIBRARY)
#define KESHOCR_API __declspec(dllexport)
#else
#define KESHOCR_API __declspec(dllimport)
#endif
#else
#define KESHOCR_API __attribute__((visibility("default")))
#endif

namespace veltrano {

// Answers of the public operations (all but Version).
enum ResultCode : int {
  Success = 0,
  // The detection network produced an output the pipeline cannot read.
  InvalidModelOutput = 10101,
  // No usable model is loaded: Run before a successful Init, or a package
  // that cannot be read, decrypted or holds too few networks.
  InvalidModel = 10102,
  // The image is empty, or not 8-bit with 3 channels (Run), or empty (Visualize).
  InvalidImage = 10103,
};

// One image to read. The library never modifies it.
struct OCRRequest {
  // 8-bit BGR image with 3 channels. Any size; it is scaled to the network.
  cv::Mat image;
  // Results whose recognition score is not above this are still reported;
  // compare OCRResult::score with it to filter.
  float threshold = 0.0f;
};

// One piece of read text.
struct OCRResult {
  // Four corners in request-image pixels: top-left, top-right, bottom-right,
  // bottom-left. Whole numbers held as float.
  std::vector<cv::Point2f> points;
  // One character of the package's alphabet, or empty when the box could not
  // be recognised.
  std::string text;
  // The recognition network's best class score for this box (0 when
  // recognition failed).
  float score = 0.0f;
};

struct OCRResponse {
  // One entry per detected box, ordered by the x of the top-left corner.
  std::vector<OCRResult> results;
  // 0 after a completed Run.
  int status = 0;
};

// The abstract interface. Visualize is implemented here and needs no model.
class KESHOCR_API IOCRModule {
 public:
  IOCRModule();
  IOCRModule(const IOCRModule& other);
  IOCRModule& operator=(const IOCRModule& other);
  virtual ~IOCRModule();

  // A three-line report: library version, MD5 of the loaded package (empty
  // before Init) and build date and time. May run beside Run and Visualize on
  // the same module, but not beside Init.
  virtual std::string Version() = 0;

  // Loads a model package. Returns Success, or InvalidModel when the package
  // cannot be used (the module then keeps what it had before). Throws when a
  // library rejects the package contents (see KeshOCRModule::Init). Must not
  // overlap any other call on the same module or its copies.
  virtual ResultCode Init(const std::string& model_path, bool use_gpu, int reserved) = 0;

  // Reads one image into response. Must not overlap any other Run or Init on
  // the same module or its copies; distinct modules may run on distinct
  // threads at once.
  virtual ResultCode Run(const OCRRequest& request, OCRResponse& response) = 0;

  // Draws response's boxes and texts onto a copy of request.image and makes
  // out refer to that copy. Returns InvalidImage (out untouched) for an empty
  // image. Uses no module state: it may run on any thread beside any call,
  // except a Run that is filling the same response.
  virtual ResultCode Visualize(const OCRRequest& request, const OCRResponse& response,
                               cv::Mat& out);
};

// The KeshOCR pipeline. Copies share one pipeline (one set of networks): Init
// through any copy initialises them all. Copies may be made and destroyed on
// different threads, but calls through copies of one module must not overlap.
class KESHOCR_API KeshOCRModule : public IOCRModule {
 public:
  KeshOCRModule();
  // Shares other's pipeline; no deep copy.
  KeshOCRModule(const KeshOCRModule& other);
  // Takes a share of other's pipeline, then drops its own (destroying it when
  // it was the last share). Self-assignment leaves the module unchanged.
  KeshOCRModule& operator=(const KeshOCRModule& other);
  ~KeshOCRModule() override;

  std::string Version() override;

  // Reads the package at model_path, prints its header block on standard
  // output and loads both networks. Answers InvalidModel, leaving the module
  // as it was, when the package cannot be opened or parsed, is not a regular
  // file or is larger than 512 MiB (refused before reading), holds fewer than
  // two networks or a network fails to decrypt. All or nothing: if a stage
  // throws (nlohmann::json errors for a bad configuration, Ort::Exception for
  // a network the runtime rejects), the exception reaches the caller and the
  // module keeps its previous networks. use_gpu asks for ONNX Runtime's CUDA
  // provider and falls back to the CPU, with a warning, when it is missing.
  // The package's configuration may say how its networks run (a "runtime"
  // object: graph optimisation level, intra-op threads; see models/README.md);
  // unknown keys or bad values answer InvalidModel. The environment variable
  // KESHOCR_THREADS (a whole number from 1 to 256), read at each Init, caps
  // every network's intra-op threads for the whole process: a server that
  // runs one module per core sets it to 1. reserved has no effect.
  ResultCode Init(const std::string& model_path, bool use_gpu, int reserved) override;

  // Detects the characters of request.image, reads each and fills
  // response.results left to right; response.status becomes 0. Answers
  // InvalidModel before a successful Init and InvalidImage for an image that
  // is empty or not 8-bit 3-channel; in both cases response is untouched.
  // Errors of OpenCV and ONNX Runtime propagate as exceptions.
  ResultCode Run(const OCRRequest& request, OCRResponse& response) override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace veltrano

#endif  // KESHOCR_H_
