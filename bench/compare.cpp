// compare: KeshOCR and Tesseract side by side on one labelled image set.
//
//   compare --manifest DIR/manifest.tsv [--mode crop|photo] [--grow 0.2]
//           [--model PKG] [--out PREFIX] [--limit N] [--threshold T]
//
// Every image is read by both engines in turn, in the same process, so both
// see the same machine state. Per engine it reports median and p90 latency,
// images per second (and per core: images per CPU second of the whole
// process, every thread counted), exact matches and character accuracy (of every
// character left to right; of the "main chars", dropping characters under half
// the height of the tallest one; and of the "main code", the line that
// KeshOCRText.h's layout picks; for both engines alike) and peak resident
// memory (measured by re-running this
// program on the set with one engine alone). With --threshold, KeshOCR's
// readings are also scored a second time with the characters whose score is
// not above T left out (keshocr --threshold), from the same runs. "KeshOCR,
// 1 thread" reads every image once more with the package capped to one
// intra-op thread (KESHOCR_THREADS=1), scored at T, as one core runs it;
// Tesseract runs on one thread too (bench/run-compare). Results go
// to PREFIX.md (a Markdown table) and PREFIX.tsv (for bench/plot_compare.py).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <leptonica/allheaders.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <tesseract/baseapi.h>

#include "KeshOCR.h"
#include "KeshOCRText.h"

namespace {

using Clock = std::chrono::steady_clock;
const char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

struct Options {
  std::string manifest;
  std::string mode = "crop";  // crop: single-line pages; photo: sparse text
  double grow = 0.0;          // grow each region by this fraction of its size
  std::string model = std::string(KESHOCR_SOURCE_DIR) + "/models/keshocr-default.pkg";
  std::string out = "compare";
  std::string only_engine;  // internal: measure one engine's memory
  size_t limit = 0;
  float threshold = -1;  // below 0: no second KeshOCR row
};

struct Sample {
  std::string path, text;
  cv::Rect region;  // empty: the whole image
};

// The characters an engine read, as a KeshOCR response: boxes, texts and the
// reader's scores (1 for Tesseract, whose characters are never left out).
struct Reading {
  veltrano::OCRResponse response;
  double seconds = 0;
  double cpu_seconds = 0;  // of every thread of the process, the runtime's workers included
};

// CPU seconds this process has used so far, all threads together: per image,
// what it costs in cores, whatever the number of threads it ran on.
double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9;
}

std::vector<Sample> ReadManifest(const Options& options) {
  std::ifstream in(options.manifest);
  if (!in) throw std::runtime_error("cannot read " + options.manifest);
  const std::string dir = options.manifest.substr(0, options.manifest.find_last_of('/') + 1);
  std::vector<Sample> samples;
  std::string line;
  std::getline(in, line);  // header: image text region_xywh raw_text subset note
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::stringstream row(line);
    for (std::string col; std::getline(row, col, '\t');) cols.push_back(col);
    cols.resize(6);
    if (!cols[5].empty()) continue;  // a known bad row
    Sample s{dir + cols[0], cols[1], {}};
    int x, y, w, h;
    if (std::sscanf(cols[2].c_str(), "%d,%d,%d,%d", &x, &y, &w, &h) == 4) s.region = {x, y, w, h};
    samples.push_back(s);
    if (options.limit && samples.size() == options.limit) break;
  }
  return samples;
}

cv::Mat LoadSample(const Sample& sample, double grow) {
  cv::Mat image = cv::imread(sample.path, cv::IMREAD_COLOR);
  if (image.empty()) throw std::runtime_error("cannot read " + sample.path);
  if (sample.region.area() <= 0) return image;
  // Each side moves by grow/2 of the box's extent, rounded half to even (std::nearbyint in the
  // default rounding mode), so the crop is the one training/eval_real.py reads and the two
  // evaluations can be compared image for image.
  const cv::Rect& r = sample.region;
  const double gx = r.width * grow / 2, gy = r.height * grow / 2;
  const int x0 = std::max(0, static_cast<int>(std::nearbyint(r.x - gx)));
  const int y0 = std::max(0, static_cast<int>(std::nearbyint(r.y - gy)));
  const int x1 = std::min(image.cols, static_cast<int>(std::nearbyint(r.x + r.width + gx)));
  const int y1 = std::min(image.rows, static_cast<int>(std::nearbyint(r.y + r.height + gy)));
  if (x1 <= x0 || y1 <= y0) throw std::runtime_error("region outside the image: " + sample.path);
  return image(cv::Range(y0, y1), cv::Range(x0, x1)).clone();
}

class KeshOcrEngine {
 public:
  explicit KeshOcrEngine(const std::string& model) {
    std::streambuf* saved = std::cout.rdbuf(nullptr);
    const auto rc = module_.Init(model, false, 0);
    std::cout.rdbuf(saved);
    if (rc != veltrano::Success) throw std::runtime_error("cannot load " + model);
  }
  Reading Read(const cv::Mat& image) {
    std::streambuf* saved = std::cout.rdbuf(nullptr);  // the detector's timing line
    Reading reading;
    const double cpu = ProcessCpuSeconds();
    const auto start = Clock::now();
    module_.Run(veltrano::OCRRequest{image, 0}, reading.response);
    reading.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    reading.cpu_seconds = ProcessCpuSeconds() - cpu;
    std::cout.rdbuf(saved);
    return reading;
  }

 private:
  veltrano::KeshOCRModule module_;
};

class TesseractEngine {
 public:
  explicit TesseractEngine(bool photo) {
    if (api_.Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY) != 0)
      throw std::runtime_error("cannot start Tesseract (is tesseract-ocr-eng installed?)");
    api_.SetPageSegMode(photo ? tesseract::PSM_SPARSE_TEXT : tesseract::PSM_SINGLE_LINE);
    api_.SetVariable("tessedit_char_whitelist", kAlphabet);
    api_.SetVariable("debug_file", "/dev/null");
  }
  ~TesseractEngine() { api_.End(); }
  Reading Read(const cv::Mat& bgr) {
    Reading reading;
    const double cpu = ProcessCpuSeconds();
    const auto start = Clock::now();
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    api_.SetImage(rgb.data, rgb.cols, rgb.rows, 3, static_cast<int>(rgb.step));
    api_.Recognize(nullptr);
    std::unique_ptr<tesseract::ResultIterator> it(api_.GetIterator());
    if (it) {
      do {
        std::unique_ptr<char[]> symbol(it->GetUTF8Text(tesseract::RIL_SYMBOL));
        int x0, y0, x1, y1;
        if (symbol && symbol[0] && it->BoundingBox(tesseract::RIL_SYMBOL, &x0, &y0, &x1, &y1)) {
          const float l = x0, t = y0, r = x1, b = y1;
          reading.response.results.push_back({{{l, t}, {r, t}, {r, b}, {l, b}}, std::string(1, symbol[0]), 1.0f});
        }
      } while (it->Next(tesseract::RIL_SYMBOL));
    }
    reading.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    reading.cpu_seconds = ProcessCpuSeconds() - cpu;
    return reading;
  }

 private:
  tesseract::TessBaseAPI api_;
};

float BoxHeight(const veltrano::OCRResult& r) {
  const auto& p = r.points;
  return static_cast<float>(std::max(cv::norm(p[0] - p[3]), cv::norm(p[1] - p[2])));
}

std::string Text(const std::vector<veltrano::OCRResult>& kept, bool drop_small) {
  float tallest = 0;
  for (const auto& r : kept) tallest = std::max(tallest, BoxHeight(r));
  std::string text;
  for (const auto& r : kept)
    if (!drop_small || BoxHeight(r) >= 0.5f * tallest) text += r.text;
  return text;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

struct Tally {
  std::string engine;
  std::vector<double> seconds;
  double cpu_seconds = 0;
  size_t exact = 0, exact_filtered = 0, exact_code = 0, edits = 0, edits_filtered = 0, edits_code = 0, chars = 0;
  double peak_mib = 0;

  // Scores r against truth, leaving out the characters whose score is not
  // above threshold (none when it is below 0).
  void Add(const Reading& r, const std::string& truth, float threshold = -1) {
    seconds.push_back(r.seconds);
    cpu_seconds += r.cpu_seconds;
    std::vector<veltrano::OCRResult> kept;
    for (const auto& g : r.response.results)
      if (!g.text.empty() && (threshold < 0 || g.score > threshold)) kept.push_back(g);
    const std::string all = Text(kept, false), main = Text(kept, true);
    const std::string code = veltrano::MainCode(r.response, threshold < 0 ? -1.0f : threshold);
    exact += all == truth;
    exact_filtered += main == truth;
    exact_code += code == truth;
    edits += EditDistance(all, truth);
    edits_filtered += EditDistance(main, truth);
    edits_code += EditDistance(code, truth);
    chars += truth.size();
  }
  double Quantile(double q) const {
    std::vector<double> s = seconds;
    std::sort(s.begin(), s.end());
    return s.empty() ? 0 : s[std::min(s.size() - 1, static_cast<size_t>(q * (s.size() - 1) + 0.5))];
  }
  double Mean() const {
    double total = 0;
    for (double s : seconds) total += s;
    return seconds.empty() ? 0 : total / seconds.size();
  }
};

// Character accuracy over the whole set, 1 - edits / ground-truth characters,
// in percent; a reader that invents more characters than it gets right scores 0.
double Accuracy(size_t edits, size_t chars) {
  return chars ? 100.0 * std::max(0.0, 1.0 - double(edits) / double(chars)) : 0.0;
}

double PeakResidentMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

// Runs this program again with one engine and reads its peak memory.
double MeasurePeak(const std::string& self, const Options& o, const std::string& engine) {
  std::ostringstream command;
  command << self << " --manifest '" << o.manifest << "' --mode " << o.mode << " --grow " << o.grow
          << " --model '" << o.model << "' --engine " << engine;
  if (o.limit) command << " --limit " << o.limit;
  FILE* pipe = popen(command.str().c_str(), "r");
  if (!pipe) return 0;
  char buffer[128] = {0};
  const bool got = fgets(buffer, sizeof buffer, pipe) != nullptr;
  pclose(pipe);
  return got ? std::atof(buffer) : 0;
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--manifest") o.manifest = next();
    else if (arg == "--mode") o.mode = next();
    else if (arg == "--grow") o.grow = std::stod(next());
    else if (arg == "--model") o.model = next();
    else if (arg == "--out") o.out = next();
    else if (arg == "--limit") o.limit = std::stoul(next());
    else if (arg == "--engine") o.only_engine = next();
    else if (arg == "--threshold") o.threshold = std::stof(next());
    else throw std::runtime_error("unknown option " + arg + " (see the top of bench/compare.cpp)");
  }
  if (o.manifest.empty()) throw std::runtime_error("--manifest is required");
  if (o.mode != "crop" && o.mode != "photo") throw std::runtime_error("--mode is crop or photo");
  return o;
}

}  // namespace

int main(int argc, char** argv) try {
  const Options o = Parse(argc, argv);
  const std::vector<Sample> samples = ReadManifest(o);
  std::vector<cv::Mat> images;
  for (const Sample& s : samples) images.push_back(LoadSample(s, o.grow));

  if (!o.only_engine.empty()) {  // memory mode: one engine, peak RSS on stdout
    if (o.only_engine == "keshocr") {
      KeshOcrEngine engine(o.model);
      for (const cv::Mat& image : images) engine.Read(image);
    } else {
      TesseractEngine engine(o.mode == "photo");
      for (const cv::Mat& image : images) engine.Read(image);
    }
    std::cout << PeakResidentMiB() << '\n';
    return 0;
  }

  KeshOcrEngine keshocr(o.model);
  // The same package capped to one intra-op thread (KESHOCR_THREADS is read
  // at Init), as Tesseract runs here: the figure for one core.
  const char* cap = std::getenv("KESHOCR_THREADS");
  const std::string saved_cap = cap ? cap : "";
  setenv("KESHOCR_THREADS", "1", 1);
  KeshOcrEngine keshocr_one(o.model);
  if (cap) setenv("KESHOCR_THREADS", saved_cap.c_str(), 1); else unsetenv("KESHOCR_THREADS");
  TesseractEngine tesseract(o.mode == "photo");
  Tally k, kt, k1, t;
  k.engine = "KeshOCR";
  k1.engine = "KeshOCR, 1 thread";
  std::ostringstream threshold_name;
  threshold_name << "KeshOCR --threshold " << o.threshold;
  kt.engine = threshold_name.str();
  t.engine = "Tesseract 5 (LSTM)";
  // One untimed read each so that lazy initialisation is not charged to the
  // first image.
  keshocr.Read(images.front());
  keshocr_one.Read(images.front());
  tesseract.Read(images.front());
  for (size_t i = 0; i < images.size(); ++i) {
    const Reading reading = keshocr.Read(images[i]);
    k.Add(reading, samples[i].text);
    if (o.threshold >= 0) kt.Add(reading, samples[i].text, o.threshold);
    k1.Add(keshocr_one.Read(images[i]), samples[i].text, o.threshold);
    t.Add(tesseract.Read(images[i]), samples[i].text);
  }
  char self[4096] = {0};
  if (readlink("/proc/self/exe", self, sizeof self - 1) > 0) {
    k.peak_mib = MeasurePeak(self, o, "keshocr");
    t.peak_mib = MeasurePeak(self, o, "tesseract");
    kt.peak_mib = k1.peak_mib = k.peak_mib;
  }

  std::ofstream md(o.out + ".md"), tsv(o.out + ".tsv");
  md << std::fixed << std::setprecision(1);
  md << "| engine | images | median ms | p90 ms | images/s | images/s per core | exact | exact (main chars) | exact (main code) | "
        "char acc | char acc (main chars) | char acc (main code) | peak RSS MiB |\n"
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
  tsv << "engine\tmedian_ms\tp90_ms\texact_main_pct\tchar_acc_main_pct\texact_code_pct\tchar_acc_code_pct\n";
  std::vector<const Tally*> rows{&k};
  if (o.threshold >= 0) rows.push_back(&kt);
  rows.push_back(&k1);
  rows.push_back(&t);
  for (const Tally* e : rows) {
    const double n = static_cast<double>(e->seconds.size());
    md << "| " << e->engine << " | " << e->seconds.size() << " | " << e->Quantile(0.5) * 1e3 << " | "
       << e->Quantile(0.9) * 1e3 << " | " << 1.0 / e->Mean() << " | "
       << (e->cpu_seconds > 0 ? n / e->cpu_seconds : 0.0) << " | " << 100.0 * e->exact / n
       << " % | " << 100.0 * e->exact_filtered / n << " % | " << 100.0 * e->exact_code / n << " % | "
       << Accuracy(e->edits, e->chars) << " % | " << Accuracy(e->edits_filtered, e->chars) << " % | "
       << Accuracy(e->edits_code, e->chars) << " % | " << e->peak_mib << " |\n";
    tsv << e->engine << '\t' << e->Quantile(0.5) * 1e3 << '\t' << e->Quantile(0.9) * 1e3 << '\t'
        << 100.0 * e->exact_filtered / n << '\t' << Accuracy(e->edits_filtered, e->chars) << '\t'
        << 100.0 * e->exact_code / n << '\t' << Accuracy(e->edits_code, e->chars) << '\n';
  }
  md.close();
  std::cout << std::ifstream(o.out + ".md").rdbuf();
  return 0;
} catch (const std::exception& e) {
  std::cerr << "compare: " << e.what() << '\n';
  return 2;
}
