// The console's picture of the last day: how many entries were logged on, as inline SVG that needs no script.
#include "pages/history_chart.h"

#include <algorithm>
#include <cstdio>

#include "usermap/user_map.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 120;
constexpr int kLeft = 48;  // room for the counts
constexpr int kRight = 12;
constexpr int kTop = 10;
constexpr int kBottom = 22;  // room for the times
constexpr int kPlotWidth = kWidth - kLeft - kRight;
constexpr int kPlotHeight = kHeight - kTop - kBottom;

// The smallest of 1, 2, 3, 4, 6 and 8 times a power of ten that is at least `n`, so that the scale
// reads easily and the line fills most of the picture.
std::int64_t round_scale(std::int64_t n) {
  for (std::int64_t power = 1;; power *= 10) {
    for (std::int64_t step : {1, 2, 3, 4, 6, 8}) {
      if (step * power >= n) return step * power;
    }
  }
}

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

struct Scale {
  std::int64_t start;
  std::int64_t top;
  double x(std::int64_t time) const {
    return kLeft + static_cast<double>(time - start) * kPlotWidth / kHistorySeconds;
  }
  double y(std::int64_t count) const { return kTop + kPlotHeight - static_cast<double>(count) * kPlotHeight / top; }
};

// The line and the area under it of samples that follow each other without a gap.
std::string segment(const std::vector<MapSample>& points, const Scale& scale) {
  std::string line;
  for (const MapSample& p : points)
    line += (line.empty() ? "M" : " L") + number(scale.x(p.time)) + " " + number(scale.y(p.logged_on));
  const std::string base = number(scale.y(0));
  const std::string area = line + " L" + number(scale.x(points.back().time)) + " " + base + " L" +
                           number(scale.x(points.front().time)) + " " + base + " Z";
  return "<path class=\"area\" d=\"" + area + "\"/><path class=\"line\" d=\"" + line + "\"/>";
}

std::string label(double x, double y, const std::string& anchor, const std::string& text) {
  return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\">" + text + "</text>";
}

}  // namespace

std::string grouped_number(std::int64_t n) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return (n < 0 ? "-" : "") + digits;
}

std::string history_svg(const std::vector<MapSample>& samples, std::int64_t now, std::int64_t current) {
  std::vector<MapSample> points;
  for (const MapSample& s : samples) {
    if (s.time >= now - kHistorySeconds && s.time < now) points.push_back(s);
  }
  points.push_back(MapSample{now, current});
  std::int64_t highest = 1;
  for (const MapSample& p : points) highest = std::max(highest, p.logged_on);
  const Scale scale{now - kHistorySeconds, round_scale(highest)};

  std::string svg = "<svg class=\"chart\" viewBox=\"0 0 " + std::to_string(kWidth) + " " + std::to_string(kHeight) +
                    "\" role=\"img\" aria-labelledby=\"history-title\"><title id=\"history-title\">Entries logged on "
                    "over the last 24 hours: " + grouped_number(current) + " now, at most " +
                    grouped_number(highest) + "</title>";
  for (std::int64_t level : {std::int64_t{0}, scale.top / 2, scale.top}) {
    const std::string y = number(scale.y(level));
    svg += "<line class=\"grid\" x1=\"" + std::to_string(kLeft) + "\" x2=\"" + std::to_string(kWidth - kRight) +
           "\" y1=\"" + y + "\" y2=\"" + y + "\"/>" +
           label(kLeft - 6, scale.y(level) + 4, "end", grouped_number(level));
  }
  const double below = kHeight - 6;
  svg += label(kLeft, below, "start", "24 h ago") + label(kLeft + kPlotWidth / 2.0, below, "middle", "12 h ago") +
         label(kWidth - kRight, below, "end", "now");
  std::vector<MapSample> run;
  for (const MapSample& p : points) {
    if (!run.empty() && p.time - run.back().time > 2 * kSamplePeriod) {
      if (run.size() > 1) svg += segment(run, scale);
      run.clear();
    }
    run.push_back(p);
  }
  if (run.size() > 1) svg += segment(run, scale);
  if (points.size() == 1)
    svg += label(kLeft + kPlotWidth / 2.0, kTop + kPlotHeight / 2.0, "middle",
                 "a sample every " + std::to_string(kSamplePeriod / 60) + " minutes will draw the last day here");
  svg += "<circle class=\"now\" cx=\"" + number(scale.x(now)) + "\" cy=\"" + number(scale.y(current)) +
         "\" r=\"3.5\"/>";
  return svg + "</svg>";
}
