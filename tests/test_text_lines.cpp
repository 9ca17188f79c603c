// Grouping characters into lines and words, and choosing the main code, over
// hand-made boxes.
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "KeshOCRText.h"

namespace veltrano {
namespace {

// A character box centred at (cx, cy), turned by `degrees` about its centre.
OCRResult Box(float cx, float cy, float w, float h, const std::string& text, float degrees = 0.0f,
              float score = 0.9f) {
  const float a = degrees * static_cast<float>(CV_PI) / 180.0f;
  const cv::Point2f u(std::cos(a), std::sin(a)), n(-std::sin(a), std::cos(a)), c(cx, cy);
  const float hw = w / 2, hh = h / 2;
  return {{c - u * hw - n * hh, c + u * hw - n * hh, c + u * hw + n * hh, c - u * hw + n * hh}, text, score};
}

// The characters of `text` on a row starting at (x, y) (centre of the first
// box), `pitch` apart along a direction `degrees` below the horizontal;
// a space leaves one pitch empty.
void Row(OCRResponse& response, const std::string& text, float x, float y, float h, float degrees = 0.0f) {
  const float a = degrees * static_cast<float>(CV_PI) / 180.0f, pitch = 0.8f * h;
  for (size_t k = 0; k < text.size(); ++k) {
    if (text[k] == ' ') continue;
    const float t = pitch * static_cast<float>(k);
    response.results.push_back(
        Box(x + t * std::cos(a), y + t * std::sin(a), 0.7f * h, h, std::string(1, text[k]), degrees));
  }
}

std::vector<std::string> Texts(const TextLayout& layout) {
  std::vector<std::string> texts;
  for (const TextLine& line : layout.lines) texts.push_back(line.text);
  return texts;
}

using Strings = std::vector<std::string>;

TEST(TextLines, TwoRowsReadTopToBottomNeverInterleaved) {
  OCRResponse response;
  Row(response, "3456", 100, 170, 40);  // added first: order must come from geometry
  Row(response, "AB12", 100, 120, 40);
  const TextLayout layout = GroupLines(response);
  EXPECT_EQ(Texts(layout), (Strings{"AB12", "3456"}));
  EXPECT_EQ(layout.lines[0].characters, (std::vector<size_t>{4, 5, 6, 7}));
}

TEST(TextLines, RowsNearlyTouchingStaySeparate) {
  OCRResponse response;
  Row(response, "K7QX", 50, 100, 30);
  Row(response, "M2P9", 62, 131, 30);  // one pixel apart, shifted sideways
  EXPECT_EQ(Texts(GroupLines(response)), (Strings{"K7QX", "M2P9"}));
}

TEST(TextLines, RotatedAndCurvedRowsStayWhole) {
  for (float degrees : {-15.0f, 15.0f, 25.0f}) {
    OCRResponse response;
    Row(response, "TR58K21", 100, 300, 50, degrees);
    Row(response, "ZZ90", 100, 450, 50, degrees);
    EXPECT_EQ(Texts(GroupLines(response)), (Strings{"TR58K21", "ZZ90"})) << degrees;
  }
  // Boxes that stay upright on a rotated row (square glyphs) chain as well.
  OCRResponse upright;
  for (int k = 0; k < 6; ++k) upright.results.push_back(Box(100 + 32.0f * k, 200 + 8.6f * k, 28, 40, std::string("ABCDEF").substr(k, 1)));
  EXPECT_EQ(Texts(GroupLines(upright)), (Strings{"ABCDEF"}));
  // An arc: each step turns the row a little.
  OCRResponse arc;
  const std::string text = "CURVED8";
  for (size_t k = 0; k < text.size(); ++k) {
    const float t = (static_cast<float>(k) - 3.0f) * 0.12f;
    arc.results.push_back(Box(400 + 260 * std::sin(t), 500 - 260 * std::cos(t), 28, 40, text.substr(k, 1),
                              t * 180.0f / static_cast<float>(CV_PI)));
  }
  EXPECT_EQ(Texts(GroupLines(arc)), (Strings{text}));
}

TEST(TextLines, SmallLineUnderBigOneIsNotTheMainCode) {
  OCRResponse response;
  Row(response, "ARKANSAS", 130, 30, 16);
  Row(response, "541AXY", 60, 90, 60);
  Row(response, "NATURAL STATE", 80, 150, 14);
  const TextLayout layout = GroupLines(response);
  EXPECT_EQ(Texts(layout), (Strings{"ARKANSAS", "541AXY", "NATURALSTATE"}));
  ASSERT_EQ(layout.main_line, 1);
  EXPECT_EQ(MainCode(response), "541AXY");
  EXPECT_EQ(layout.lines[2].words, (Strings{"NATURAL", "STATE"}));
  // A lone tall box on another row does not outweigh the code; much taller, it does.
  response.results.push_back(Box(300, 20, 45, 66, "I"));
  EXPECT_EQ(MainCode(response), "541AXY");
  response.results.push_back(Box(20, 200, 80, 120, "W"));
  EXPECT_EQ(MainCode(response), "W");
}

TEST(TextLines, APartOfACharacterJoinsItsLineASeparatorOrAStackedPrefixDoesNot) {
  OCRResponse response;
  Row(response, "MX 17", 100, 100, 70);
  response.results.push_back(Box(212, 83, 28, 40, "1"));  // the top of the first 1, alone
  response.results.push_back(Box(20, 82, 28, 38, "D"));   // "DC" stacked left of the code
  response.results.push_back(Box(20, 118, 28, 38, "C"));
  response.results.push_back(Box(128, 80, 6, 38, "I"));    // a separator between M and X
  const TextLayout layout = GroupLines(response);
  ASSERT_EQ(layout.main_line, 2);
  EXPECT_EQ(layout.lines[2].text, "MX117");
  EXPECT_EQ(Texts(layout), (Strings{"I", "D", "MX117", "C"}));
}

TEST(TextLines, LineRecordDescribesItsCharacters) {
  OCRResponse response;
  Row(response, "ABC 1234", 100, 100, 40);
  response.results[1].score = 0.5f;
  const TextLayout layout = GroupLines(response);
  ASSERT_EQ(layout.lines.size(), 1u);
  const TextLine& line = layout.lines[0];
  EXPECT_EQ(line.text, "ABC1234");
  EXPECT_EQ(line.words, (Strings{"ABC", "1234"}));
  EXPECT_FLOAT_EQ(line.height, 40.0f);
  EXPECT_FLOAT_EQ(line.min_score, 0.5f);
  EXPECT_NEAR(line.mean_score, (6 * 0.9f + 0.5f) / 7, 1e-6);
  ASSERT_EQ(line.points.size(), 4u);
  EXPECT_NEAR(line.points[0].x, 100 - 14, 1e-3);
  EXPECT_NEAR(line.points[0].y, 80, 1e-3);
  EXPECT_NEAR(line.points[2].x, 100 + 7 * 32 + 14, 1e-3);
  EXPECT_NEAR(line.points[2].y, 120, 1e-3);
  // Evenly spread letters are one word.
  OCRResponse even;
  Row(even, "SN4821", 0, 0, 20);
  EXPECT_EQ(GroupLines(even).lines[0].words, (Strings{"SN4821"}));
}

TEST(TextLines, DegenerateResponsesGiveDefinedAnswers) {
  const TextLayout empty = GroupLines(OCRResponse{});
  EXPECT_TRUE(empty.lines.empty());
  EXPECT_EQ(empty.main_line, -1);
  EXPECT_EQ(MainCode(OCRResponse{}), "");

  OCRResponse one;
  one.results.push_back(Box(5, 5, 8, 10, "Q"));
  const TextLayout single = GroupLines(one);
  ASSERT_EQ(single.lines.size(), 1u);
  EXPECT_EQ(single.main_line, 0);
  EXPECT_EQ(single.lines[0].words, (Strings{"Q"}));

  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  OCRResponse bad;
  bad.results.push_back({{{0, 0}, {10, 0}, {10, 10}}, "A", 0.9f});             // three corners
  bad.results.push_back({{{0, 0}, {10, 0}, {10, 10}, {0, 10}, {0, 0}}, "B", 0.9f});
  bad.results.push_back({{{nan, 0}, {10, 0}, {10, 10}, {0, 10}}, "C", 0.9f});
  bad.results.push_back({{{0, 0}, {inf, 0}, {10, 10}, {0, 10}}, "D", 0.9f});
  bad.results.push_back({{{3e38f, 0}, {-3e38f, 0}, {3e38f, 10}, {-3e38f, 10}}, "E", 0.9f});
  bad.results.push_back({{{5, 5}, {5, 5}, {5, 5}, {5, 5}}, "F", 0.9f});          // no area
  bad.results.push_back(Box(50, 50, 8, 10, ""));                                // not recognised
  bad.results.push_back(Box(60, 50, 8, 10, "G", 0.0f, nan));
  EXPECT_TRUE(GroupLines(bad).lines.empty());
  bad.results.push_back(Box(70, 50, 8, 10, "H"));
  const TextLayout survivor = GroupLines(bad);
  ASSERT_EQ(survivor.lines.size(), 1u);
  EXPECT_EQ(survivor.lines[0].characters, (std::vector<size_t>{8}));

  OCRResponse unsure;
  Row(unsure, "AB", 0, 0, 20);
  EXPECT_EQ(GroupLines(unsure, 0.95f).main_line, -1);
  EXPECT_EQ(MainCode(unsure, 0.95f), "");
  EXPECT_EQ(MainCode(unsure, 0.5f), "AB");
}

}  // namespace
}  // namespace veltrano
