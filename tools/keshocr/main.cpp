// keshocr: reads the codes in images with the KeshOCR library.
//
// Standard output holds only results, one line (or one JSON object) per
// image; everything the library says about itself goes to standard error, or
// nowhere with --quiet.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "KeshOCR.h"
#include "KeshOCRText.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] = R"(Usage: keshocr [options] IMAGE|DIRECTORY...

Reads the printed code in each image and prints one line per image:
the image path, a tab, and the main code: the text line whose characters
are the tallest (a plate's number, not its state name or slogan), its
characters left to right with no spaces.
A directory is searched recursively for .png .jpg .jpeg .bmp .tif .tiff
.webp .pbm .pgm .ppm files, in sorted order.

Options:
  --model PKG        model package to use (default: the package shipped with
                     keshocr, found beside the installed program or in the
                     source tree)
  --lines            print every text line instead, top to bottom: one output
                     line per text line (path, tab, text), or the path and a
                     tab alone when nothing was read
  --chars            print every character instead, ordered by the x of its
                     box's top-left corner, whatever line it belongs to
  --json             print one JSON object per image instead: the path, the
                     text (what the text column would show), the main code,
                     the text lines (text, words, box, median character
                     height, mean and lowest score, indices of their
                     characters) and every character's box, text and score
  --threshold T      leave the characters whose score is not above T out of
                     the text and the lines (default 0: keep all that were
                     recognised); --json marks them instead
  --visualize DIR    write each image with its boxes and characters drawn on
                     it to DIR as PNG
  --gpu              run the networks with ONNX Runtime's CUDA provider when
                     the runtime has it (falls back to the CPU)
  --quiet            do not show the library's own messages (package header,
                     timings); by default they go to standard error
  --version          print the library's version report and exit
  -h, --help         show this help and exit

Exit status: 0 when every image was read, 1 when some could not be read,
2 for a usage error or a model package that cannot be used.
)";

struct Options {
  std::vector<std::string> inputs;
  std::string model;
  std::string visualize_dir;
  float threshold = 0.0f;
  enum class Text { kMainCode, kLines, kChars } text = Text::kMainCode;
  bool json = false;
  bool gpu = false;
  bool quiet = false;
  bool version = false;
};

[[noreturn]] void UsageError(const std::string& message) {
  std::cerr << "keshocr: " << message << "\nTry 'keshocr --help'.\n";
  std::exit(kExitUsage);
}

Options Parse(int argc, char** argv) {
  Options options;
  auto value = [&](int& i, const char* flag) -> std::string {
    if (i + 1 >= argc) UsageError(std::string(flag) + " needs a value");
    return argv[++i];
  };
  bool only_paths = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (only_paths || arg.empty() || arg[0] != '-' || arg == "-") {
      options.inputs.push_back(arg);
    } else if (arg == "--") {
      only_paths = true;
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      std::exit(kExitOk);
    } else if (arg == "--model") {
      options.model = value(i, "--model");
    } else if (arg == "--lines") {
      options.text = Options::Text::kLines;
    } else if (arg == "--chars") {
      options.text = Options::Text::kChars;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--threshold") {
      const std::string text = value(i, "--threshold");
      char* end = nullptr;
      options.threshold = std::strtof(text.c_str(), &end);
      if (text.empty() || *end != '\0') UsageError("--threshold wants a number, got '" + text + "'");
    } else if (arg == "--visualize") {
      options.visualize_dir = value(i, "--visualize");
    } else if (arg == "--gpu") {
      options.gpu = true;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--version") {
      options.version = true;
    } else {
      UsageError("unknown option '" + arg + "'");
    }
  }
  if (options.inputs.empty() && !options.version) UsageError("no image given");
  return options;
}

fs::path ProgramDir() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self.parent_path();
}

// The shipped package: installed under share/keshocr, or in the source tree
// of a build that was not installed.
std::string DefaultModel() {
  const fs::path installed = ProgramDir() / ".." / "share" / "keshocr" / "keshocr-default.pkg";
  if (fs::exists(installed)) return installed.lexically_normal().string();
  return KESHOCR_SOURCE_MODEL;
}

bool IsImageFile(const fs::path& path) {
  static const std::set<std::string> kExtensions = {".png", ".jpg", ".jpeg", ".bmp", ".tif",
                                                    ".tiff", ".webp", ".pbm", ".pgm", ".ppm"};
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  return kExtensions.count(ext) > 0;
}

// Files as given, directories expanded recursively in sorted order.
std::vector<std::string> ExpandInputs(const std::vector<std::string>& inputs) {
  std::vector<std::string> images;
  for (const std::string& input : inputs) {
    std::error_code error;
    if (!fs::is_directory(input, error)) {
      images.push_back(input);
      continue;
    }
    std::vector<std::string> found;
    for (fs::recursive_directory_iterator it(input, fs::directory_options::skip_permission_denied,
                                             error),
         end;
         !error && it != end; it.increment(error)) {
      if (it->is_regular_file(error) && IsImageFile(it->path())) found.push_back(it->path().string());
    }
    if (error) std::cerr << "keshocr: cannot list '" << input << "': " << error.message() << '\n';
    std::sort(found.begin(), found.end());
    images.insert(images.end(), found.begin(), found.end());
  }
  return images;
}

// While alive, the library's console output goes to standard error, or
// nowhere when quiet; `results` keeps the real standard output.
class ConsoleRedirect {
 public:
  explicit ConsoleRedirect(bool quiet)
      : results(std::cout.rdbuf()), saved_(std::cout.rdbuf(quiet ? &null_ : std::cerr.rdbuf())) {
    auto sink = quiet ? spdlog::sink_ptr(std::make_shared<spdlog::sinks::null_sink_mt>())
                      : spdlog::sink_ptr(std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("keshocr", sink));
  }
  ~ConsoleRedirect() { std::cout.rdbuf(saved_); }
  ConsoleRedirect(const ConsoleRedirect&) = delete;
  ConsoleRedirect& operator=(const ConsoleRedirect&) = delete;

  std::ostream results;

 private:
  struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c == EOF ? 0 : c; }
  } null_;
  std::streambuf* saved_;
};

class Progress {
 public:
  explicit Progress(size_t total) : total_(total), shown_(total > 1 && isatty(STDERR_FILENO)) {}
  void Step(size_t done) {
    if (!shown_) return;
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(kWidth * done / total_);
    std::fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled, "##############################",
                 kWidth - filled, "", done, total_);
    if (done == total_) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  size_t total_;
  bool shown_;
};

std::string CharsText(const veltrano::OCRResponse& response, float threshold) {
  std::string text;
  for (const auto& result : response.results)
    if (result.score > threshold) text += result.text;
  return text;
}

std::string MainText(const veltrano::TextLayout& layout) {
  return layout.main_line < 0 ? std::string() : layout.lines[layout.main_line].text;
}

// The text column: the main code, or every character with --chars.
std::string Text(const Options& options, const veltrano::OCRResponse& response,
                 const veltrano::TextLayout& layout) {
  return options.text == Options::Text::kChars ? CharsText(response, options.threshold) : MainText(layout);
}

nlohmann::json Box(const std::vector<cv::Point2f>& points) {
  nlohmann::json box = nlohmann::json::array();
  for (const cv::Point2f& p : points) box.push_back({p.x, p.y});
  return box;
}

nlohmann::json Json(const std::string& path, const Options& options, const veltrano::OCRResponse& response,
                    const veltrano::TextLayout& layout) {
  nlohmann::json characters = nlohmann::json::array();
  for (const auto& result : response.results) {
    characters.push_back({{"text", result.text},
                          {"score", result.score},
                          {"below_threshold", !(result.score > options.threshold)},
                          {"box", Box(result.points)}});
  }
  nlohmann::json lines = nlohmann::json::array();
  for (const veltrano::TextLine& line : layout.lines) {
    lines.push_back({{"text", line.text},
                     {"words", line.words},
                     {"box", Box(line.points)},
                     {"height", line.height},
                     {"mean_score", line.mean_score},
                     {"min_score", line.min_score},
                     {"characters", line.characters}});
  }
  return {{"image", path},
          {"text", Text(options, response, layout)},
          {"main_code", MainText(layout)},
          {"main_line", layout.main_line < 0 ? nlohmann::json(nullptr) : nlohmann::json(layout.main_line)},
          {"lines", lines},
          {"characters", characters}};
}

void PrintText(std::ostream& out, const std::string& path, const Options& options,
               const veltrano::OCRResponse& response, const veltrano::TextLayout& layout) {
  if (options.json) {
    out << Json(path, options, response, layout).dump() << '\n';
  } else if (options.text == Options::Text::kLines && !layout.lines.empty()) {
    for (const veltrano::TextLine& line : layout.lines) out << path << '\t' << line.text << '\n';
  } else {
    out << path << '\t' << Text(options, response, layout) << '\n';  // empty for --lines
  }
}

// A file name for the drawing of `image` that other inputs will not reuse.
std::string DrawingPath(const std::string& dir, const std::string& image, std::set<std::string>& used) {
  std::string stem = fs::path(image).stem().string();
  if (stem.empty()) stem = "image";
  std::string name = stem + ".png";
  for (int n = 2; used.count(name); ++n) name = stem + "-" + std::to_string(n) + ".png";
  used.insert(name);
  return (fs::path(dir) / name).string();
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  // Unreadable files get one message of ours, not OpenCV's warnings too.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  ConsoleRedirect console(options.quiet);
  std::ostream& out = console.results;

  veltrano::KeshOCRModule module;
  if (options.version) {
    out << module.Version();
    if (options.inputs.empty()) return kExitOk;
  }

  const std::string model = options.model.empty() ? DefaultModel() : options.model;
  try {
    if (module.Init(model, options.gpu, 0) != veltrano::Success) {
      std::cerr << "keshocr: cannot use model package '" << model << "'\n";
      return kExitUsage;
    }
  } catch (const std::exception& e) {
    std::cerr << "keshocr: model package '" << model << "' is not usable: " << e.what() << '\n';
    return kExitUsage;
  }

  if (!options.visualize_dir.empty()) {
    std::error_code error;
    fs::create_directories(options.visualize_dir, error);
    if (error) {
      std::cerr << "keshocr: cannot create '" << options.visualize_dir << "': " << error.message() << '\n';
      return kExitUsage;
    }
  }

  const std::vector<std::string> images = ExpandInputs(options.inputs);
  Progress progress(images.size());
  std::set<std::string> drawings;
  int failed = 0;
  for (size_t i = 0; i < images.size(); ++i) {
    const std::string& path = images[i];
    try {
      std::error_code error;
      if (!fs::is_regular_file(path, error)) throw std::runtime_error("no such file");
      const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
      if (image.empty()) throw std::runtime_error("not an image OpenCV can read");
      veltrano::OCRRequest request{image, options.threshold};
      veltrano::OCRResponse response;
      const veltrano::ResultCode rc = module.Run(request, response);
      if (rc != veltrano::Success) throw std::runtime_error("read failed with code " + std::to_string(rc));
      PrintText(out, path, options, response, veltrano::GroupLines(response, options.threshold));
      out.flush();
      if (!options.visualize_dir.empty()) {
        cv::Mat drawing;
        module.Visualize(request, response, drawing);
        const std::string target = DrawingPath(options.visualize_dir, path, drawings);
        if (!cv::imwrite(target, drawing)) throw std::runtime_error("cannot write " + target);
      }
    } catch (const std::exception& e) {
      ++failed;
      std::cerr << "keshocr: " << path << ": " << e.what() << '\n';
    }
    progress.Step(i + 1);
  }
  return failed ? kExitSomeFailed : kExitOk;
}
