// The keshocr program as installed, run the way a user runs it.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/packages.h"
#include "support/process.h"
#include "support/test_paths.h"

namespace {

namespace fs = std::filesystem;
using keshocr_test::RunCommand;

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(keshocr_test::ScratchDir("cli"));
    package_ = new std::string(keshocr_test::TinyPackage().Write(*dir_, "tiny.pkg"));
    // One row of three characters: grey 5, 51 and 102 read as 0, 2 and 4.
    cv::Mat image(768, 768, CV_8UC3, cv::Scalar::all(255));
    const int greys[] = {5, 51, 102};
    for (int i = 0; i < 3; ++i)
      cv::rectangle(image, cv::Rect(100 + 80 * i, 300, 50, 50), cv::Scalar::all(greys[i]), cv::FILLED);
    fs::create_directories(*dir_ + "/folder/sub");
    cv::imwrite(*dir_ + "/folder/code.png", image);
    // Two rows: "24" above "402", whose first character lies left of the first row's.
    cv::Mat rows(768, 768, CV_8UC3, cv::Scalar::all(255));
    for (int i = 0; i < 2; ++i)
      cv::rectangle(rows, cv::Rect(140 + 80 * i, 300, 50, 50), cv::Scalar::all(greys[i + 1]), cv::FILLED);
    for (int i = 0; i < 3; ++i)
      cv::rectangle(rows, cv::Rect(100 + 80 * i, 400, 50, 50), cv::Scalar::all(greys[(i + 2) % 3]), cv::FILLED);
    cv::imwrite(*dir_ + "/rows.png", rows);
    cv::imwrite(*dir_ + "/folder/sub/blank.jpg", cv::Mat(200, 300, CV_8UC3, cv::Scalar::all(255)));
    keshocr_test::WriteFile(*dir_ + "/folder/broken.png", "not a png");
    keshocr_test::WriteFile(*dir_ + "/folder/notes.txt", "ignored: not an image type");
  }
  static void TearDownTestSuite() {
    delete dir_;
    delete package_;
  }

  static std::string Keshocr(const std::string& args) {
    return keshocr_test::InstalledProgram("keshocr") + " --model " + *package_ + " " + args;
  }
  static std::string* dir_;
  static std::string* package_;
};
std::string* CliTest::dir_ = nullptr;
std::string* CliTest::package_ = nullptr;

TEST_F(CliTest, PrintsPathAndTextOnStandardOutputOnly) {
  const std::string image = *dir_ + "/folder/code.png";
  auto run = RunCommand(Keshocr(image));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, image + "\t024\n");
  // The library's own lines went to standard error.
  EXPECT_NE(run.err.find("Task name:   keshocr-tiny"), std::string::npos);
  EXPECT_NE(run.err.find("alphabets_ocr = 0123456789"), std::string::npos);
  EXPECT_NE(run.err.find("DetModule DoInference time : "), std::string::npos);

  auto quiet = RunCommand(Keshocr("--quiet " + image));
  EXPECT_EQ(quiet.out, run.out);
  EXPECT_EQ(quiet.err, "");
}

TEST_F(CliTest, JsonCarriesBoxesTextsAndScores) {
  auto run = RunCommand(Keshocr("--quiet --json " + *dir_ + "/folder/code.png"));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["text"], "024");
  ASSERT_EQ(doc["characters"].size(), 3u);
  const auto& first = doc["characters"][0];
  EXPECT_EQ(first["text"], "0");
  EXPECT_GT(first["score"].get<float>(), 0.5f);
  EXPECT_EQ(first["box"].size(), 4u);
  EXPECT_EQ(first["box"][0][0].get<float>(), 89.0f);  // 50-pixel square grows by 11 per side
}

TEST_F(CliTest, TextIsTheMainCodeOrEveryLineOrEveryCharacter) {
  const std::string image = *dir_ + "/rows.png";
  EXPECT_EQ(RunCommand(Keshocr("--quiet " + image)).out, image + "\t402\n");
  EXPECT_EQ(RunCommand(Keshocr("--quiet --lines " + image)).out, image + "\t24\n" + image + "\t402\n");
  EXPECT_EQ(RunCommand(Keshocr("--quiet --chars " + image)).out, image + "\t42042\n");
  const std::string blank = *dir_ + "/folder/sub/blank.jpg";
  EXPECT_EQ(RunCommand(Keshocr("--quiet --lines " + blank)).out, blank + "\t\n");

  const auto doc = nlohmann::json::parse(RunCommand(Keshocr("--quiet --json " + image)).out);
  EXPECT_EQ(doc["text"], "402");
  EXPECT_EQ(doc["main_code"], "402");
  EXPECT_EQ(doc["main_line"], 1);
  ASSERT_EQ(doc["lines"].size(), 2u);
  const auto& line = doc["lines"][1];
  EXPECT_EQ(line["text"], "402");
  EXPECT_EQ(line["words"], nlohmann::json({"402"}));
  EXPECT_EQ(line["characters"], nlohmann::json({0, 2, 4}));
  EXPECT_EQ(line["box"].size(), 4u);
  EXPECT_EQ(line["height"].get<float>(), 71.0f);  // the boxes of the first row above
  EXPECT_LE(line["min_score"].get<float>(), line["mean_score"].get<float>());
  const auto chars = nlohmann::json::parse(RunCommand(Keshocr("--quiet --json --chars " + image)).out);
  EXPECT_EQ(chars["text"], "42042");
  EXPECT_EQ(chars["main_code"], "402");
}

// The installed program with the shipped package on committed images.
TEST(CliDefaultPackage, ReadsTheMainCodeAndEveryLine) {
  const std::string keshocr = keshocr_test::InstalledProgram("keshocr") + " --quiet --threshold 0.45 ";
  const std::string rows = keshocr_test::TestDataPath("lines/three_rows.jpg");
  EXPECT_EQ(RunCommand(keshocr + rows).out, rows + "\tHJHEV\n");
  EXPECT_EQ(RunCommand(keshocr + "--lines " + rows).out,
            rows + "\t6078\n" + rows + "\t712\n" + rows + "\tHJHEV\n");
  const std::string plate = keshocr_test::TestDataPath("e2e/plate_panel.png");
  EXPECT_EQ(RunCommand(keshocr + plate).out, plate + "\t7HJK214\n");
}

TEST_F(CliTest, FolderIsReadRecursivelyAndOneBadFileFailsAlone) {
  auto run = RunCommand(Keshocr("--quiet " + *dir_ + "/folder"));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, *dir_ + "/folder/code.png\t024\n" + *dir_ + "/folder/sub/blank.jpg\t\n");
  EXPECT_NE(run.err.find("broken.png: not an image OpenCV can read"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("notes.txt"), std::string::npos);

  auto missing = RunCommand(Keshocr("--quiet " + *dir_ + "/nowhere.png " + *dir_ + "/folder/code.png"));
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("nowhere.png: no such file"), std::string::npos);
  EXPECT_EQ(missing.out, *dir_ + "/folder/code.png\t024\n");
}

TEST_F(CliTest, AThousandPathsAreReadNotACrash) {
  std::string paths;  // 68 KB of arguments
  for (int i = 0; i < 4000; ++i) paths += " nowhere/" + std::to_string(1000 + i) + ".png";
  auto run = RunCommand(Keshocr("--quiet" + paths + " " + *dir_ + "/folder/code.png"));
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, *dir_ + "/folder/code.png\t024\n");
  EXPECT_NE(run.err.find("nowhere/4999.png: no such file"), std::string::npos);
}

TEST_F(CliTest, VisualizeWritesOneDrawingPerImage) {
  const std::string out_dir = *dir_ + "/drawings";
  auto run = RunCommand(Keshocr("--quiet --visualize " + out_dir + " " + *dir_ + "/folder/code.png " +
                                *dir_ + "/folder/sub/blank.jpg"));
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const cv::Mat drawing = cv::imread(out_dir + "/code.png");
  ASSERT_FALSE(drawing.empty());
  EXPECT_EQ(drawing.size(), cv::Size(768, 768));
  EXPECT_EQ(drawing.at<cv::Vec3b>(360, 120), cv::Vec3b(255, 255, 0));  // bottom edge of a box
  EXPECT_TRUE(fs::exists(out_dir + "/blank.png"));
}

TEST_F(CliTest, ThresholdDropsLowScoresFromTheText) {
  auto run = RunCommand(Keshocr("--quiet --threshold 0.999 " + *dir_ + "/folder/code.png"));
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, *dir_ + "/folder/code.png\t\n");
}

TEST_F(CliTest, GpuRequestOnTheCpuRuntimeWarnsAndReadsTheSame) {
  const std::string image = *dir_ + "/folder/code.png";
  auto run = RunCommand(Keshocr("--gpu " + image));
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, image + "\t024\n");
  EXPECT_NE(run.err.find("cannot find OrtSessionOptionsAppendExecutionProvider_CUDA, using CPU"),
            std::string::npos)
      << run.err;
}

TEST_F(CliTest, UsageErrorsAndUnusablePackagesExitWith2) {
  const std::string keshocr = keshocr_test::InstalledProgram("keshocr");
  EXPECT_EQ(RunCommand(keshocr).exit_code, 2);
  EXPECT_EQ(RunCommand(keshocr + " --frobnicate x.png").exit_code, 2);
  EXPECT_EQ(RunCommand(keshocr + " --threshold abc x.png").exit_code, 2);
  auto bad_model = RunCommand(keshocr + " --model " + *dir_ + "/folder/notes.txt x.png");
  EXPECT_EQ(bad_model.exit_code, 2);
  EXPECT_NE(bad_model.err.find("cannot use model package"), std::string::npos);
  // Not a file: refused before anything is read from it.
  for (const std::string& path : {std::string("/dev/zero"), *dir_}) {
    auto endless = RunCommand(keshocr + " --model " + path + " x.png");
    EXPECT_EQ(endless.exit_code, 2) << path;
    EXPECT_NE(endless.err.find("is not a regular file"), std::string::npos) << endless.err;
  }
  auto help = RunCommand(keshocr + " --help");
  EXPECT_EQ(help.exit_code, 0);
  for (const char* option : {"--model", "--lines", "--chars", "--json", "--threshold", "--visualize", "--gpu", "--quiet"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  auto version = RunCommand(keshocr + " --version");
  EXPECT_EQ(version.out.rfind("Version: 1.9.0\n", 0), 0u);
}

}  // namespace
