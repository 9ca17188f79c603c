// A catalogue of inputs that crash OCR libraries: every one must give a
// defined answer (a ResultCode, results, or a documented exception type) and
// leave the module working.
#include <gtest/gtest.h>

#include <sodium.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <onnxruntime_cxx_api.h>
#include <opencv2/imgproc.hpp>

#include "KeshOCR.h"
#include "model/package_format.h"
#include "support/log_capture.h"
#include "support/packages.h"
#include "support/test_paths.h"

namespace veltrano {
namespace {

using keshocr_test::TinyPackage;

// Where the pieces of a JSON-header package lie.
struct Layout {
  std::vector<size_t> length_fields;                   // offsets of every 64-bit length
  std::vector<std::pair<size_t, size_t>> header, config;  // [begin, end)
  std::vector<std::pair<size_t, size_t>> networks;     // encrypted data, [begin, end)
};

uint64_t ReadLength(const std::string& bytes, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

Layout Parse(const std::string& bytes) {
  Layout layout;
  size_t pos = package::kMagicSize;
  auto field = [&](std::vector<std::pair<size_t, size_t>>* region) {
    layout.length_fields.push_back(pos);
    const size_t n = ReadLength(bytes, pos);
    if (region) region->push_back({pos + 8, pos + 8 + n});
    pos += 8 + n;
  };
  field(&layout.header);
  field(&layout.config);
  while (pos < bytes.size()) {
    field(nullptr);  // name
    field(&layout.networks);
  }
  return layout;
}

// The network streams of `bytes` encrypted again under another key.
std::string WithOtherKey(std::string bytes) {
  const Layout layout = Parse(bytes);
  unsigned char key[crypto_secretstream_xchacha20poly1305_KEYBYTES];
  std::memset(key, 7, sizeof key);
  for (auto [begin, end] : layout.networks) {
    // The same number of bytes: header, full 4096-byte chunks, a final one.
    size_t plain = end - begin - package::kStreamHeaderSize;
    std::string stream(end - begin, '\0');
    crypto_secretstream_xchacha20poly1305_state state;
    crypto_secretstream_xchacha20poly1305_init_push(&state, reinterpret_cast<unsigned char*>(&stream[0]), key);
    size_t out = package::kStreamHeaderSize;
    std::vector<unsigned char> zeros(package::kChunkSize, 0);
    while (out < stream.size()) {
      const size_t chunk = std::min<size_t>(package::kChunkSize, plain - std::min(plain, (out - 24) / 4113 * 4096));
      const bool last = out + chunk + 17 >= stream.size();
      crypto_secretstream_xchacha20poly1305_push(
          &state, reinterpret_cast<unsigned char*>(&stream[out]), nullptr, zeros.data(),
          last ? stream.size() - out - 17 : chunk, nullptr, 0,
          last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL : 0);
      out += (last ? stream.size() - out - 17 : chunk) + 17;
    }
    bytes.replace(begin, end - begin, stream);
  }
  return bytes;
}

class BadInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(keshocr_test::ScratchDir("bad_inputs"));
    good_ = new std::string(TinyPackage().Write(*dir_, "good.pkg"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    delete good_;
  }

  void SetUp() override {
    keshocr_test::StdStreamCapture quiet;
    ASSERT_EQ(module_.Init(*good_, false, 0), Success);
  }

  // The module still reads a known scene.
  void ExpectStillWorking(const std::string& context) {
    cv::Mat image(768, 768, CV_8UC3, cv::Scalar::all(255));
    cv::rectangle(image, cv::Rect(300, 300, 60, 60), cv::Scalar::all(51), cv::FILLED);
    OCRResponse response;
    keshocr_test::StdStreamCapture quiet;
    ASSERT_EQ(module_.Run(OCRRequest{image, 0}, response), Success) << context;
    ASSERT_EQ(response.results.size(), 1u) << context;
    EXPECT_EQ(response.results[0].text, "2") << context;
  }

  // Init on `bytes` answers InvalidModel or throws a documented type; on
  // failure the module keeps its networks. Returns what happened.
  std::string InitWith(const std::string& bytes) {
    const std::string path = *dir_ + "/mutant.pkg";
    keshocr_test::WriteFile(path, bytes);
    keshocr_test::StdStreamCapture quiet;
    keshocr_test::LogCapture log;
    try {
      const ResultCode rc = module_.Init(path, false, 0);
      if (rc == Success) {
        // A mutation the package format cannot notice (a letter of the task
        // name, say): reload the good package for the next round.
        module_.Init(*good_, false, 0);
        return "success";
      }
      return rc == InvalidModel ? "invalid" : "unexpected code " + std::to_string(rc);
    } catch (const nlohmann::json::exception&) {
      return "json";
    } catch (const Ort::Exception&) {
      return "ort";
    }
  }

  static std::string* dir_;
  static std::string* good_;
  KeshOCRModule module_;
};
std::string* BadInputTest::dir_ = nullptr;
std::string* BadInputTest::good_ = nullptr;

cv::Mat Noise(int rows, int cols, int type, uint64_t seed) {
  cv::Mat m(rows, cols, type);
  cv::RNG rng(seed);
  rng.fill(m, cv::RNG::UNIFORM, 0, 256);
  return m;
}

TEST_F(BadInputTest, ImagesGiveDefinedAnswers) {
  cv::Mat big(1000, 1200, CV_8UC3, cv::Scalar::all(255));
  cv::rectangle(big, cv::Rect(300, 300, 100, 100), cv::Scalar::all(51), cv::FILLED);
  struct Case {
    const char* name;
    cv::Mat image;
    ResultCode want;
  } cases[] = {
      {"empty", cv::Mat(), InvalidImage},
      {"1x1", cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(40)), Success},
      {"1x4000", Noise(1, 4000, CV_8UC3, 1), Success},
      {"4000x1", Noise(4000, 1, CV_8UC3, 2), Success},
      {"2x2 dark", cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(40)), Success},
      {"1 channel", Noise(50, 50, CV_8UC1, 3), InvalidImage},
      {"2 channels", Noise(50, 50, CV_8UC2, 4), InvalidImage},
      {"4 channels", Noise(50, 50, CV_8UC4, 5), InvalidImage},
      {"16-bit", Noise(50, 50, CV_16UC3, 6), InvalidImage},
      {"float", Noise(50, 50, CV_32FC3, 7), InvalidImage},
      {"all black", cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(0)), Success},
      {"all white", cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(255)), Success},
      {"all mid grey", cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(40)), Success},
      {"uniform noise", Noise(480, 640, CV_8UC3, 8), Success},
      {"6000x6000", Noise(6000, 6000, CV_8UC3, 9), Success},
      {"region of a larger image", big(cv::Rect(250, 250, 300, 300)), Success},
      {"3-d matrix", cv::Mat(std::vector<int>{4, 4, 4}, CV_8UC3), InvalidImage},
  };
  size_t tried = 0;
  for (const Case& c : cases) {
    ASSERT_EQ(c.name == std::string("region of a larger image"), !c.image.isContinuous() && !c.image.empty());
    const cv::Mat before = c.image.clone();
    OCRResponse first, second;
    ResultCode rc;
    {
      keshocr_test::StdStreamCapture quiet;
      rc = module_.Run(OCRRequest{c.image, 0.5f}, first);
      EXPECT_EQ(module_.Run(OCRRequest{c.image, 0.5f}, second), rc) << c.name;
    }
    EXPECT_EQ(rc, c.want) << c.name;
    ASSERT_EQ(first.results.size(), second.results.size()) << c.name;
    for (size_t i = 0; i < first.results.size(); ++i) {
      EXPECT_EQ(first.results[i].points, second.results[i].points) << c.name;
      EXPECT_EQ(first.results[i].text, second.results[i].text) << c.name;
      EXPECT_EQ(first.results[i].score, second.results[i].score) << c.name;
    }
    if (!before.empty()) {
      EXPECT_EQ(cv::norm(before, c.image, cv::NORM_INF), 0) << c.name;
    }
    cv::Mat drawing;
    const ResultCode drawn = module_.Visualize(OCRRequest{c.image, 0}, first, drawing);
    EXPECT_EQ(drawn, c.image.empty() ? InvalidImage : Success) << c.name;
    ++tried;
  }
  {
    OCRResponse region;
    keshocr_test::StdStreamCapture quiet;
    module_.Run(OCRRequest{big(cv::Rect(250, 250, 300, 300)), 0}, region);
    ASSERT_EQ(region.results.size(), 1u);
    EXPECT_EQ(region.results[0].text, "2");  // the region's own pixels were read
  }
  RecordProperty("bad_images_tried", static_cast<int>(tried));
  ExpectStillWorking("after the images");
}

TEST_F(BadInputTest, EveryPrefixOfAPackageIsRefused) {
  const std::string bytes = keshocr_test::ReadFile(*good_);
  const Layout layout = Parse(bytes);
  const size_t dense_until = std::min(bytes.size(), layout.config[0].second + 4096);
  int tried = 0;
  for (size_t n = 0; n < bytes.size(); n += (n < dense_until ? 1 : 97)) {
    const std::string answer = InitWith(bytes.substr(0, n));
    EXPECT_EQ(answer, "invalid") << "prefix of " << n << " bytes";
    ++tried;
  }
  RecordProperty("prefixes_tried", tried);
  ExpectStillWorking("after the prefixes");
}

TEST_F(BadInputTest, FlippedBytesGiveDefinedAnswers) {
  const std::string bytes = keshocr_test::ReadFile(*good_);
  const Layout layout = Parse(bytes);
  std::map<std::string, int> answers;
  int tried = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string mutant = bytes;
    mutant[i] ^= 0x5A;
    const std::string answer = InitWith(mutant);
    EXPECT_TRUE(answer == "invalid" || answer == "json" || answer == "success" || answer == "ort")
        << "byte " << i << ": " << answer;
    // A network byte can only make decryption fail.
    for (auto [begin, end] : layout.networks)
      if (i >= begin && i < end) {
        EXPECT_EQ(answer, "invalid") << "network byte " << i;
      }
    ++answers[answer];
    ++tried;
  }
  EXPECT_GT(answers["invalid"], 0);
  RecordProperty("flips_tried", tried);
  ExpectStillWorking("after the flips");
}

TEST_F(BadInputTest, HugeLengthsAndAnotherKeyAreRefused) {
  const std::string bytes = keshocr_test::ReadFile(*good_);
  const Layout layout = Parse(bytes);
  for (size_t at : layout.length_fields) {
    for (uint64_t length : {~uint64_t{0}, ~uint64_t{0} - 7, uint64_t{1} << 62}) {
      std::string mutant = bytes;
      for (int b = 0; b < 8; ++b) mutant[at + b] = static_cast<char>(length >> (8 * b));
      EXPECT_EQ(InitWith(mutant), "invalid") << "length field at " << at;
    }
  }
  EXPECT_EQ(InitWith(WithOtherKey(bytes)), "invalid");
  ExpectStillWorking("after the lengths and keys");
}

}  // namespace
}  // namespace veltrano
