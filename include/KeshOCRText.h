// KeshOCR text layout: turns the characters of an OCRResponse into text lines,
// words and the main code of the image.
//
//   veltrano::OCRResponse response;
//   ocr.Run(request, response);
//   std::string plate = veltrano::MainCode(response, 0.45f);   // "ABC1234"
//   for (const veltrano::TextLine& line : veltrano::GroupLines(response, 0.45f).lines)
//     std::cout << line.text << '\n';                         // top to bottom
//
// These are free functions over the response alone: they need no module, keep
// no state and may run on any thread at once, as long as no Run is filling the
// same response meanwhile.
#ifndef KESHOCR_TEXT_H_
#define KESHOCR_TEXT_H_

#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "KeshOCR.h"

namespace veltrano {

// One line of text: characters that share a baseline direction, overlap
// vertically and have similar heights, in reading order.
struct TextLine {
  // The characters left to right along the line, with no separator: a code
  // such as a plate number is read as one string even where it is printed in
  // two groups. `words` keeps the groups.
  std::string text;
  // `text` split at gaps clearly wider than the line's usual spacing.
  std::vector<std::string> words;
  // Indices into OCRResponse::results of the line's characters, in the order
  // of `text`.
  std::vector<size_t> characters;
  // Four corners in request-image pixels (top-left, top-right, bottom-right,
  // bottom-left), aligned with the line's direction and enclosing every
  // character box of the line.
  std::vector<cv::Point2f> points;
  // Median character height in pixels.
  float height = 0.0f;
  // Mean and lowest recognition score of the line's characters.
  float mean_score = 0.0f;
  float min_score = 0.0f;
};

struct TextLayout {
  // Ordered top to bottom (by the mean height of the characters' centres).
  std::vector<TextLine> lines;
  // Index into `lines` of the main code, or -1 when there is no line.
  int main_line = -1;
};

// Groups the characters of `response` into lines. Only characters with text,
// a score above `threshold` and four finite corners enclosing a non-empty
// box take part; the others belong to no line. Rows rotated by up to about
// 30 degrees and gently curved rows are followed character by character. An
// empty response, or one in which no character takes part, gives no lines.
//
// The main code is the line whose characters are the most prominent: the
// tallest line (by median character height), where every line at least 0.8
// times as tall counts as equally tall and the one with more characters wins,
// then the one with the higher mean score. This is what a plate, label or
// serial reader wants: the largest print on the item, not its small slogans.
KESHOCR_API TextLayout GroupLines(const OCRResponse& response, float threshold = 0.0f);

// The text of the main code of GroupLines(response, threshold), or an empty
// string when there is no line.
KESHOCR_API std::string MainCode(const OCRResponse& response, float threshold = 0.0f);

}  // namespace veltrano

#endif  // KESHOCR_TEXT_H_
