// Text lines from single characters: characters are chained to their right
// neighbours, each chain is a line, and a line splits into words at wide gaps.
#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "KeshOCRText.h"

namespace veltrano {
namespace {

// Neighbours on one line differ in height by at most this factor: a state
// name under a plate number is about half its height.
constexpr float kMaxHeightRatio = 1.5f;
// Space between neighbours, in mean character heights: wide enough for the
// gap of a plate's emblem, too narrow to join two labels side by side.
constexpr float kMaxGap = 1.5f;
// Offset across the line between neighbours' centres, in mean character
// heights, always allowed (curved rows, jittery boxes) ...
constexpr float kMaxCrossOffset = 0.45f;
// ... and, further apart, as a slope (tan 20 degrees): text whose boxes do not
// show its rotation still chains across word gaps, while rows a line height
// apart stay apart because kMaxGap ends the search first.
constexpr float kMaxCrossSlope = 0.364f;
// Across-line offsets cost this much more than distance along the line when
// a character has several candidate neighbours.
constexpr float kCrossWeight = 2.0f;
// Word break: a gap wider than the line's usual gap by this many character
// heights, and at least this many times the usual gap.
constexpr float kWordGap = 0.35f;
constexpr float kWordGapFactor = 1.8f;
// Lines at least this fraction of the tallest line's height tie for the main
// code; the tie goes to more characters, then to a higher mean score.
constexpr float kMainTie = 0.8f;
// A line at least this fraction of a taller line's height, lying inside that
// line's band (widened by kBandMargin heights on each side) in a gap between
// two of its characters as wide as one of its characters, is a character the
// detector found only in part: it joins the taller line. A narrower gap holds
// a separator, not a missing character.
constexpr float kMinPartHeight = 0.5f;
constexpr float kBandMargin = 0.15f;

struct Char {
  size_t index;                  // into OCRResponse::results
  std::array<cv::Point2f, 4> p;  // corners
  cv::Point2f centre;
  cv::Point2f direction;  // unit vector along the box's top and bottom edges
  float height;
};

float Length(cv::Point2f v) { return std::sqrt(v.x * v.x + v.y * v.y); }

cv::Point2f Unit(cv::Point2f v, cv::Point2f fallback) {
  const float length = Length(v);
  return length > 1e-6f ? v * (1.0f / length) : fallback;
}

// Extent of a box along the unit vector u.
std::pair<float, float> Extent(const Char& c, cv::Point2f u) {
  float lo = c.p[0].dot(u), hi = lo;
  for (int k = 1; k < 4; ++k) {
    const float t = c.p[k].dot(u);
    lo = std::min(lo, t);
    hi = std::max(hi, t);
  }
  return {lo, hi};
}

// Extent of a chain's boxes along the unit vector u.
std::pair<float, float> Extent(const std::vector<Char>& chars, const std::vector<int>& chain, cv::Point2f u) {
  std::pair<float, float> span = Extent(chars[chain.front()], u);
  for (int k : chain) {
    const auto e = Extent(chars[k], u);
    span = {std::min(span.first, e.first), std::max(span.second, e.second)};
  }
  return span;
}

bool ParseChar(const OCRResult& result, size_t index, float threshold, Char& c) {
  if (result.text.empty() || !(result.score > threshold) || result.points.size() != 4) return false;
  for (int k = 0; k < 4; ++k) {
    c.p[k] = result.points[k];
    if (!std::isfinite(c.p[k].x) || !std::isfinite(c.p[k].y)) return false;
  }
  c.index = index;
  c.centre = c.p[0] * 0.25f + c.p[1] * 0.25f + c.p[2] * 0.25f + c.p[3] * 0.25f;
  c.height = 0.5f * (Length(c.p[3] - c.p[0]) + Length(c.p[2] - c.p[1]));
  const float width = 0.5f * (Length(c.p[1] - c.p[0]) + Length(c.p[2] - c.p[3]));
  // Coordinates near the float limits overflow to infinity here.
  if (!(c.height > 0.0f) || !(width > 0.0f) || !std::isfinite(c.height) || !std::isfinite(width)) return false;
  // The boxes' corners start at the top left, so the top edge gives the
  // character's rotation; a box turned past 45 degrees says nothing about the
  // line and counts as upright.
  cv::Point2f d = Unit((c.p[1] - c.p[0]) + (c.p[2] - c.p[3]), {1.0f, 0.0f});
  if (std::fabs(d.y) > std::fabs(d.x)) d = {1.0f, 0.0f};
  c.direction = d.x < 0.0f ? -d : d;
  return true;
}

struct Link {
  float cost;
  int left, right;
};

// Cost of making b the right-hand neighbour of a, or a negative value when b
// cannot be.
float LinkCost(const Char& a, const Char& b) {
  const float ratio = std::max(a.height, b.height) / std::min(a.height, b.height);
  if (ratio > kMaxHeightRatio) return -1.0f;
  const cv::Point2f u = Unit(a.direction + b.direction, {1.0f, 0.0f});
  const cv::Point2f n(-u.y, u.x);
  const cv::Point2f d = b.centre - a.centre;
  const float along = d.dot(u), across = std::fabs(d.dot(n));
  if (!(along > 0.0f)) return -1.0f;
  const float mean_height = 0.5f * (a.height + b.height);
  if (across > std::max(kMaxCrossOffset * mean_height, kMaxCrossSlope * along)) return -1.0f;
  const float gap = Extent(b, u).first - Extent(a, u).second;
  if (gap > kMaxGap * mean_height) return -1.0f;
  return along + kCrossWeight * across;
}

int Find(std::vector<int>& parent, int i) {
  while (parent[i] != i) i = parent[i] = parent[parent[i]];
  return i;
}

// Chains each character to at most one neighbour on each side, cheapest
// links first, never closing a loop. Returns the chains in reading order.
std::vector<std::vector<int>> Chain(const std::vector<Char>& chars) {
  const int n = static_cast<int>(chars.size());
  std::vector<Link> links;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      if (i == j) continue;
      const float cost = LinkCost(chars[i], chars[j]);
      if (cost >= 0.0f) links.push_back({cost, i, j});
    }
  std::stable_sort(links.begin(), links.end(), [](const Link& a, const Link& b) { return a.cost < b.cost; });

  std::vector<int> right(n, -1), left(n, -1), parent(n);
  std::iota(parent.begin(), parent.end(), 0);
  for (const Link& link : links) {
    if (right[link.left] != -1 || left[link.right] != -1) continue;
    const int a = Find(parent, link.left), b = Find(parent, link.right);
    if (a == b) continue;
    parent[a] = b;
    right[link.left] = link.right;
    left[link.right] = link.left;
  }

  std::vector<std::vector<int>> chains;
  for (int i = 0; i < n; ++i) {
    if (left[i] != -1) continue;
    std::vector<int> chain;
    for (int k = i; k != -1; k = right[k]) chain.push_back(k);
    chains.push_back(std::move(chain));
  }
  return chains;
}

float Median(std::vector<float> values) {
  const size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  if (values.size() % 2) return values[mid];
  const float upper = values[mid];
  return 0.5f * (*std::max_element(values.begin(), values.begin() + mid) + upper);
}

// The direction of a chain: from its first centre to its last, or the single
// character's own.
cv::Point2f ChainDirection(const std::vector<Char>& chars, const std::vector<int>& chain) {
  const Char& first = chars[chain.front()];
  return chain.size() > 1 ? Unit(chars[chain.back()].centre - first.centre, first.direction) : first.direction;
}

float ChainHeight(const std::vector<Char>& chars, const std::vector<int>& chain) {
  std::vector<float> heights;
  for (int k : chain) heights.push_back(chars[k].height);
  return Median(heights);
}

// Moves every chain that is a part of a character of a taller chain (a
// broken "1", the top of an "M") into that chain, in order along it.
void AbsorbParts(const std::vector<Char>& chars, std::vector<std::vector<int>>& chains) {
  std::vector<float> heights;
  for (const auto& chain : chains) heights.push_back(ChainHeight(chars, chain));
  std::vector<size_t> by_height(chains.size());
  std::iota(by_height.begin(), by_height.end(), 0);
  std::stable_sort(by_height.begin(), by_height.end(), [&](size_t a, size_t b) { return heights[a] > heights[b]; });

  for (size_t big : by_height) {
    std::vector<int>& host = chains[big];
    if (host.size() < 2) continue;
    const cv::Point2f u = ChainDirection(chars, host), n(-u.y, u.x);
    const float height = heights[big];
    const auto band = Extent(chars, host, n);
    const float lo_n = band.first - kBandMargin * height, hi_n = band.second + kBandMargin * height;
    // The host's characters along the line, before it takes any part in.
    const std::vector<int> original = host;
    std::vector<std::pair<float, float>> spans;
    std::vector<float> widths;
    for (int k : original) {
      spans.push_back(Extent(chars[k], u));
      widths.push_back(spans.back().second - spans.back().first);
    }
    const float width = Median(widths);
    const auto in_gap = [&](float along) {
      for (size_t k = 0; k + 1 < original.size(); ++k)
        if (chars[original[k]].centre.dot(u) < along && along < chars[original[k + 1]].centre.dot(u))
          return spans[k + 1].first - spans[k].second >= width;
      return false;
    };
    bool grown = false;
    for (size_t small = 0; small < chains.size(); ++small) {
      std::vector<int>& part = chains[small];
      if (small == big || part.empty() || !(heights[small] < height) || heights[small] < kMinPartHeight * height)
        continue;
      const bool inside = std::all_of(part.begin(), part.end(), [&](int k) {
        const auto across = Extent(chars[k], n);
        return across.first >= lo_n && across.second <= hi_n && in_gap(chars[k].centre.dot(u));
      });
      if (!inside) continue;
      host.insert(host.end(), part.begin(), part.end());
      part.clear();
      grown = true;
    }
    if (grown)
      std::stable_sort(host.begin(), host.end(),
                       [&](int a, int b) { return chars[a].centre.dot(u) < chars[b].centre.dot(u); });
  }
  chains.erase(std::remove_if(chains.begin(), chains.end(), [](const auto& chain) { return chain.empty(); }),
               chains.end());
}

TextLine MakeLine(const std::vector<Char>& chars, const std::vector<int>& chain, const OCRResponse& response) {
  TextLine line;
  const Char& first = chars[chain.front()];
  const cv::Point2f u = ChainDirection(chars, chain);
  const cv::Point2f n(-u.y, u.x);

  std::vector<float> heights, gaps;
  float score_sum = 0.0f, previous_end = 0.0f;
  line.min_score = response.results[first.index].score;
  for (size_t k = 0; k < chain.size(); ++k) {
    const Char& c = chars[chain[k]];
    const OCRResult& result = response.results[c.index];
    line.text += result.text;
    line.characters.push_back(c.index);
    heights.push_back(c.height);
    score_sum += result.score;
    line.min_score = std::min(line.min_score, result.score);
    const auto along = Extent(c, u);
    if (k > 0) gaps.push_back(along.first - previous_end);
    previous_end = along.second;
  }
  line.height = Median(heights);
  line.mean_score = score_sum / static_cast<float>(chain.size());
  const auto [lo_u, hi_u] = Extent(chars, chain, u);
  const auto [lo_n, hi_n] = Extent(chars, chain, n);
  line.points = {u * lo_u + n * lo_n, u * hi_u + n * lo_n, u * hi_u + n * hi_n, u * lo_u + n * hi_n};

  // The usual gap is the lower median, so that one wide gap among few does
  // not count as usual.
  float usual = 0.0f;
  if (!gaps.empty()) {
    std::vector<float> sorted = gaps;
    std::sort(sorted.begin(), sorted.end());
    usual = sorted[(sorted.size() - 1) / 2];
  }
  const float word_break = std::max(usual + kWordGap * line.height, kWordGapFactor * usual);
  line.words.emplace_back();
  for (size_t k = 0; k < chain.size(); ++k) {
    if (k > 0 && gaps[k - 1] > word_break) line.words.emplace_back();
    line.words.back() += response.results[chars[chain[k]].index].text;
  }
  return line;
}

float MeanCentreY(const std::vector<Char>& chars, const std::vector<int>& chain) {
  float sum = 0.0f;
  for (int k : chain) sum += chars[k].centre.y;
  return sum / static_cast<float>(chain.size());
}

int ChooseMain(const std::vector<TextLine>& lines) {
  if (lines.empty()) return -1;
  float tallest = 0.0f;
  for (const TextLine& line : lines) tallest = std::max(tallest, line.height);
  int best = -1;
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    const TextLine& line = lines[i];
    if (line.height < kMainTie * tallest) continue;
    if (best == -1) {
      best = i;
      continue;
    }
    const TextLine& other = lines[best];
    if (line.characters.size() != other.characters.size()) {
      if (line.characters.size() > other.characters.size()) best = i;
    } else if (line.mean_score != other.mean_score) {
      if (line.mean_score > other.mean_score) best = i;
    } else if (line.height > other.height) {
      best = i;
    }
  }
  return best;
}

}  // namespace

TextLayout GroupLines(const OCRResponse& response, float threshold) {
  std::vector<Char> chars;
  for (size_t i = 0; i < response.results.size(); ++i) {
    Char c;
    if (ParseChar(response.results[i], i, threshold, c)) chars.push_back(c);
  }

  TextLayout layout;
  std::vector<std::vector<int>> chains = Chain(chars);
  AbsorbParts(chars, chains);
  std::vector<std::pair<float, TextLine>> ordered;
  for (const std::vector<int>& chain : chains) {
    ordered.emplace_back(MeanCentreY(chars, chain), MakeLine(chars, chain, response));
  }
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& entry : ordered) layout.lines.push_back(std::move(entry.second));
  layout.main_line = ChooseMain(layout.lines);
  return layout;
}

std::string MainCode(const OCRResponse& response, float threshold) {
  const TextLayout layout = GroupLines(response, threshold);
  return layout.main_line < 0 ? std::string() : layout.lines[layout.main_line].text;
}

}  // namespace veltrano
