// Loading packages: console output, Version, failure answers, all-or-nothing.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <onnxruntime_cxx_api.h>

#include "KeshOCR.h"
#include "model/dnn_model.h"
#include "support/log_capture.h"
#include "support/packages.h"
#include "support/test_paths.h"

namespace veltrano {
namespace {

using keshocr_test::TinyPackage;

std::string Md5Of(const std::string& path) {
  DNNModel model;
  keshocr_test::StdStreamCapture quiet;
  model.Decode(path.c_str());
  std::string md5;
  model.GetMD5(md5);
  return md5;
}

std::string Md5Line(KeshOCRModule& module) {
  const std::string v = module.Version();
  const size_t start = v.find("Model MD5: ") + 11;
  return v.substr(start, v.find('\n', start) - start);
}

// Reads a dark square of the given grey at the centre of a white image.
std::string ReadSquare(KeshOCRModule& module, int grey) {
  cv::Mat image(768, 768, CV_8UC3, cv::Scalar::all(255));
  cv::rectangle(image, cv::Rect(300, 300, 60, 60), cv::Scalar::all(grey), cv::FILLED);
  OCRResponse response;
  keshocr_test::StdStreamCapture quiet;
  EXPECT_EQ(module.Run(OCRRequest{image, 0}, response), Success);
  return response.results.size() == 1 ? response.results[0].text : "<none>";
}

class ModuleInitTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(keshocr_test::ScratchDir("module_init"));
    digits_ = new std::string(TinyPackage().Write(*dir_, "digits.pkg"));
    TinyPackage letters;
    letters.config = R"({"alphabet": "ABCDEFGHIJ"})";
    letters.version = "0.2";
    letters_ = new std::string(letters.Write(*dir_, "letters.pkg"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    delete digits_;
    delete letters_;
  }
  static std::string *dir_, *digits_, *letters_;
};
std::string *ModuleInitTest::dir_, *ModuleInitTest::digits_, *ModuleInitTest::letters_;

TEST_F(ModuleInitTest, PrintsTheHeaderBlockLineByLine) {
  KeshOCRModule module;
  keshocr_test::StdStreamCapture console;
  ASSERT_EQ(module.Init(*digits_, false, 0), Success);
  const std::vector<std::string> want = {
      "Task name:   keshocr-tiny",
      "Task type:   ocr",
      "Version:     0.1",
      "Create time: 2026-12-07T00:00:00Z",
      "MD5:         " + Md5Of(*digits_),
      "Config:      ",
      R"({"alphabet": "0123456789"})",
      "alphabets_ocr = 0123456789"};
  EXPECT_EQ(console.OutLines(), want);
}

TEST_F(ModuleInitTest, LegacyPackageNameKeepsItsNulBytes) {
  TinyPackage legacy;
  legacy.legacy = true;
  legacy.task_name = "abc";
  const std::string path = legacy.Write(*dir_, "legacy.pkg");
  KeshOCRModule module;
  keshocr_test::StdStreamCapture console;
  ASSERT_EQ(module.Init(path, false, 0), Success);
  const auto lines = console.OutLines();
  EXPECT_EQ(lines[0], "Task name:   abc" + std::string(13, '\0'));
  EXPECT_EQ(lines[1], "Task type:   ");
  EXPECT_EQ(lines[2], "Version:     ");
  EXPECT_EQ(lines[3], "Create time: ");
}

TEST_F(ModuleInitTest, AlphabetLineReachesTheRealStandardOutput) {
  // Run in a separate process so the check sees the file descriptor, not a
  // redirected C++ stream buffer.
  const std::string command = std::string(KESHOCR_INIT_PROBE) + " " + *digits_;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_NE(out.find("\nalphabets_ocr = 0123456789\n"), std::string::npos) << out;
  EXPECT_NE(out.find("rc = 0"), std::string::npos) << out;
}

// ONNX Runtime's telemetry client, which the module turns off, parsed the
// command line recursively at the first session: a long command line (a
// program given a thousand image paths) or a small thread stack crashed Init.
TEST_F(ModuleInitTest, InitSurvivesLongCommandLinesAndSmallStacks) {
  std::string command = std::string(KESHOCR_INIT_PROBE) + " " + *digits_ + " --stack 512";
  for (int i = 0; i < 4000; ++i) command += " images/plate_0123.png";  // 88 KB
  command += " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << out.substr(out.size() > 2000 ? out.size() - 2000 : 0);
  EXPECT_NE(out.find("rc = 0"), std::string::npos);
}

TEST_F(ModuleInitTest, VersionFollowsEachSuccessfulInitAndCopiesShareIt) {
  KeshOCRModule module;
  KeshOCRModule early_copy(module);
  EXPECT_EQ(Md5Line(module), "");
  keshocr_test::StdStreamCapture quiet;
  ASSERT_EQ(module.Init(*digits_, false, 0), Success);
  EXPECT_EQ(Md5Line(module), Md5Of(*digits_));
  EXPECT_EQ(Md5Line(early_copy), Md5Of(*digits_));  // the copy became initialised too
  ASSERT_EQ(early_copy.Init(*letters_, false, 7), Success);
  EXPECT_EQ(Md5Line(module), Md5Of(*letters_));
  EXPECT_NE(Md5Of(*letters_), Md5Of(*digits_));
}

TEST_F(ModuleInitTest, SecondPackageReplacesTheNetworksOfAllCopies) {
  KeshOCRModule module;
  keshocr_test::StdStreamCapture quiet;
  module.Init(*digits_, false, 0);
  KeshOCRModule copy = module;
  EXPECT_EQ(ReadSquare(copy, 51), "2");
  module.Init(*letters_, false, 0);
  EXPECT_EQ(ReadSquare(copy, 51), "C");
}

TEST_F(ModuleInitTest, MissingFileAnswersInvalidModelAfterTheHeaderBlock) {
  KeshOCRModule module;
  keshocr_test::StdStreamCapture console;
  EXPECT_EQ(module.Init(*dir_ + "/missing.pkg", false, 0), InvalidModel);
  const std::vector<std::string> want = {
      "open Failed", "file not exist", "Decode failed, code: 5", "Task name:   ",
      "Task type:   ", "Version:     ", "Create time: ", "MD5:         ", "Config:      ", ""};
  EXPECT_EQ(console.OutLines(), want);
  OCRResponse response;
  EXPECT_EQ(module.Run(OCRRequest{cv::Mat(8, 8, CV_8UC3), 0}, response), InvalidModel);
}

TEST_F(ModuleInitTest, UnusablePackagesLeaveTheLoadedOneWorking) {
  KeshOCRModule module;
  {
    keshocr_test::StdStreamCapture quiet;
    ASSERT_EQ(module.Init(*digits_, false, 0), Success);
  }
  const std::string md5 = Md5Of(*digits_);

  TinyPackage one_network;
  one_network.networks = {"det_dark.onnx"};
  const std::string single = one_network.Write(*dir_, "single.pkg");

  std::string bytes = keshocr_test::ReadFile(*digits_);
  bytes[bytes.size() - 30] ^= 0x40;  // inside the recognition network's last chunk
  const std::string tampered = *dir_ + "/tampered.pkg";
  keshocr_test::WriteFile(tampered, bytes);

  const std::string cut = *dir_ + "/cut.pkg";
  keshocr_test::WriteFile(cut, bytes.substr(0, 40));

  for (const std::string& path : {single, tampered, cut}) {
    keshocr_test::StdStreamCapture console;
    EXPECT_EQ(module.Init(path, false, 0), InvalidModel) << path;
    EXPECT_EQ(Md5Line(module), md5) << path;
    EXPECT_FALSE(console.Err().empty() && console.Out().find("Decode failed") == std::string::npos)
        << "a refused package must say why: " << path;
  }
  EXPECT_EQ(ReadSquare(module, 102), "4");
}

TEST_F(ModuleInitTest, RuntimeSettingsRunTheSameNetworksOrAreRefused) {
  KeshOCRModule module;
  TinyPackage all_level;
  all_level.config = R"({"alphabet": "0123456789", "runtime": {"graph_optimization_level": "all", "intra_op_threads": 1}})";
  {
    keshocr_test::StdStreamCapture quiet;
    ASSERT_EQ(module.Init(all_level.Write(*dir_, "all_level.pkg"), false, 0), Success);
  }
  EXPECT_EQ(ReadSquare(module, 102), "4");

  TinyPackage unknown;
  unknown.config = R"({"alphabet": "0123456789", "runtime": {"threads": 2}})";
  keshocr_test::StdStreamCapture console;
  EXPECT_EQ(module.Init(unknown.Write(*dir_, "unknown_runtime.pkg"), false, 0), InvalidModel);
  EXPECT_NE(console.Err().find("unknown runtime setting \"threads\""), std::string::npos) << console.Err();
  EXPECT_EQ(ReadSquare(module, 5), "0");  // the loaded package still reads
}

TEST_F(ModuleInitTest, ExceptionsLeaveBothStagesAsTheyWere) {
  KeshOCRModule module;
  keshocr_test::StdStreamCapture quiet;
  module.Init(*digits_, false, 0);

  TinyPackage no_alphabet;
  no_alphabet.config = R"({"letters": "AB"})";
  EXPECT_THROW(module.Init(no_alphabet.Write(*dir_, "no_alphabet.pkg"), false, 0),
               nlohmann::json::type_error);

  TinyPackage bad_rec;  // the detector loads, the recogniser is rejected
  bad_rec.networks = {"det_dark.onnx", "make_test_models.py"};
  EXPECT_THROW(module.Init(bad_rec.Write(*dir_, "bad_rec.pkg"), false, 0), Ort::Exception);

  TinyPackage other_det;  // a working detector would replace the old one...
  other_det.networks = {"det_two_classes.onnx", "make_test_models.py"};
  EXPECT_THROW(module.Init(other_det.Write(*dir_, "other_det.pkg"), false, 0), Ort::Exception);

  // ...but nothing was replaced: the old pair still reads.
  EXPECT_EQ(Md5Line(module), Md5Of(*digits_));
  EXPECT_EQ(ReadSquare(module, 5), "0");
}

}  // namespace
}  // namespace veltrano
