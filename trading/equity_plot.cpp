// The picture of an account: equity against buy and hold, drawdown below, dates along the time
// axis. Plain SVG written here, so any browser or renderer shows it and nothing is linked for it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "mplnet/backtest.h"

namespace mplnet {
namespace {

// The picture's size and the two panels' places, in pixels.
constexpr double kWidth = 960;
constexpr double kHeight = 600;
constexpr double kLeft = 70;
constexpr double kRight = 20;
constexpr double kTop = 50;
constexpr double kTopBottom = 390;  // the equity panel's lower edge
constexpr double kLowTop = 420;     // the drawdown panel's upper edge
constexpr double kLowBottom = 550;

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

std::string Label(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", v);
  return text;
}

// `text` with the characters markup gives a meaning to written as references.
std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

// A step of 1, 2 or 5 times a power of ten that cuts `range` into about `parts` parts.
double NiceStep(double range, double parts) {
  const double raw = range / parts;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10.0 * power;
}

// "YYYY-MM-DD" of a time in seconds since 1970 (UTC), from the proleptic Gregorian calendar.
std::string Date(double seconds) {
  long long z = static_cast<long long>(std::floor(seconds / 86400.0)) + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[80];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", year, month, day);
  return text;
}

// Points of a curve, at most a few per pixel column: each column keeps its first, lowest, highest
// and last point in time order, so a long series draws as it looks without a point per bar.
std::string PathOf(const std::vector<double>& xs, const std::vector<double>& ys) {
  std::string path;
  auto add = [&path](double x, double y) {
    path += path.empty() ? "M" : " L";
    path += Number(x) + "," + Number(y);
  };
  std::size_t i = 0;
  while (i < xs.size()) {
    const double column = std::floor(xs[i]);
    std::size_t end = i;
    std::size_t low = i;
    std::size_t high = i;
    while (end < xs.size() && std::floor(xs[end]) == column) {
      if (ys[end] < ys[low]) low = end;
      if (ys[end] > ys[high]) high = end;
      ++end;
    }
    std::vector<std::size_t> keep = {i, std::min(low, high), std::max(low, high), end - 1};
    keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
    for (const std::size_t k : keep) add(xs[k], ys[k]);
    i = end;
  }
  return path;
}

}  // namespace

std::string EquityPlotSvg(const std::vector<AccountLine>& lines, const std::string& title) {
  std::string svg =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
      "width=\"" +
      Number(kWidth) + "\" height=\"" + Number(kHeight) + "\" viewBox=\"0 0 " + Number(kWidth) +
      " " + Number(kHeight) +
      "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  svg +=
      "<text x=\"" + Number(kLeft) + "\" y=\"24\" font-size=\"15\">" + Escaped(title) + "</text>\n";
  if (lines.empty()) return svg + "</svg>\n";

  const double from = lines.front().time;
  const double to = std::max<double>(lines.back().time, from + 1);
  const double plot_width = kWidth - kLeft - kRight;
  auto x_of = [&](double t) { return kLeft + (t - from) / (to - from) * plot_width; };

  std::vector<double> xs;
  std::vector<double> equity;
  std::vector<double> hold;
  std::vector<double> drawdown;
  double peak = 1.0;
  for (const AccountLine& line : lines) {
    xs.push_back(x_of(line.time));
    equity.push_back(line.equity);
    hold.push_back(line.close / lines.front().close);
    peak = std::max(peak, line.equity);
    drawdown.push_back(line.equity / peak - 1.0);
  }

  // The equity panel: both curves on one scale, with 1 (the start) always in view.
  double low = 1.0;
  double high = 1.0;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    low = std::min({low, equity[k], hold[k]});
    high = std::max({high, equity[k], hold[k]});
  }
  if (high - low < 1e-9) {
    low -= 0.01;
    high += 0.01;
  }
  const double step = NiceStep(high - low, 5);
  low = std::floor(low / step) * step;
  high = std::ceil(high / step) * step;
  auto y_top = [&](double v) {
    return kTopBottom - (v - low) / (high - low) * (kTopBottom - kTop);
  };
  double deepest = *std::min_element(drawdown.begin(), drawdown.end());
  const double low_step = NiceStep(std::max(-deepest, 1e-6), 3);
  deepest = std::floor(std::min(deepest, -1e-6) / low_step) * low_step;
  auto y_low = [&](double v) { return kLowTop + v / deepest * (kLowBottom - kLowTop); };

  // Grid and axes.
  svg += "<g stroke=\"#dddddd\" stroke-width=\"1\">\n";
  for (double v = low; v <= high + step / 2; v += step) {
    svg += "<line x1=\"" + Number(kLeft) + "\" x2=\"" + Number(kWidth - kRight) + "\" y1=\"" +
           Number(y_top(v)) + "\" y2=\"" + Number(y_top(v)) + "\"/>\n";
  }
  for (double v = 0; v >= deepest - low_step / 2; v -= low_step) {
    svg += "<line x1=\"" + Number(kLeft) + "\" x2=\"" + Number(kWidth - kRight) + "\" y1=\"" +
           Number(y_low(v)) + "\" y2=\"" + Number(y_low(v)) + "\"/>\n";
  }
  // Date ticks at midnights (UTC), a whole number of days apart, at most about eight.
  const double days = (to - from) / 86400.0;
  double tick_days = 1;
  for (const double d : {1.0, 2.0, 7.0, 14.0, 28.0, 56.0, 91.0, 182.0, 365.0, 730.0, 1461.0}) {
    tick_days = d;
    if (days / d <= 8) break;
  }
  const double tick = tick_days * 86400.0;
  std::vector<double> ticks;
  for (double t = std::ceil(from / tick) * tick; t <= to; t += tick) ticks.push_back(t);
  for (const double t : ticks) {
    svg += "<line x1=\"" + Number(x_of(t)) + "\" x2=\"" + Number(x_of(t)) + "\" y1=\"" +
           Number(kTop) + "\" y2=\"" + Number(kLowBottom) + "\"/>\n";
  }
  svg += "</g>\n<g fill=\"#333333\">\n";
  for (double v = low; v <= high + step / 2; v += step) {
    svg += "<text x=\"" + Number(kLeft - 6) + "\" y=\"" + Number(y_top(v) + 4) +
           "\" text-anchor=\"end\">" + Label(v) + "</text>\n";
  }
  for (double v = 0; v >= deepest - low_step / 2; v -= low_step) {
    svg += "<text x=\"" + Number(kLeft - 6) + "\" y=\"" + Number(y_low(v) + 4) +
           "\" text-anchor=\"end\">" + Label(100 * v) + "%</text>\n";
  }
  for (const double t : ticks) {
    svg += "<text x=\"" + Number(x_of(t)) + "\" y=\"" + Number(kLowBottom + 18) +
           "\" text-anchor=\"middle\">" + Date(t) + "</text>\n";
  }
  svg += "<text x=\"" + Number(kLeft + 4) + "\" y=\"" + Number(kLowTop - 6) +
         "\">drawdown</text>\n</g>\n";

  // The curves: drawdown as an area from 0 down, then buy and hold under the equity line.
  svg += "<path fill=\"#d62728\" fill-opacity=\"0.6\" stroke=\"none\" d=\"" +
         PathOf(xs,
                [&] {
                  std::vector<double> ys;
                  for (const double v : drawdown) ys.push_back(y_low(v));
                  return ys;
                }()) +
         " L" + Number(xs.back()) + "," + Number(y_low(0)) + " L" + Number(xs.front()) + "," +
         Number(y_low(0)) + " Z\"/>\n";
  auto curve = [&](const std::vector<double>& values, const char* colour, const char* width) {
    std::vector<double> ys;
    for (const double v : values) ys.push_back(y_top(v));
    return "<path fill=\"none\" stroke=\"" + std::string(colour) + "\" stroke-width=\"" + width +
           "\" stroke-linejoin=\"round\" d=\"" + PathOf(xs, ys) + "\"/>\n";
  };
  svg += curve(hold, "#7f7f7f", "1.5");
  svg += curve(equity, "#1f77b4", "2");
  svg += "<rect x=\"" + Number(kLeft) + "\" y=\"" + Number(kTop) + "\" width=\"" +
         Number(plot_width) + "\" height=\"" + Number(kTopBottom - kTop) +
         "\" fill=\"none\" stroke=\"#333333\"/>\n";
  svg += "<rect x=\"" + Number(kLeft) + "\" y=\"" + Number(kLowTop) + "\" width=\"" +
         Number(plot_width) + "\" height=\"" + Number(kLowBottom - kLowTop) +
         "\" fill=\"none\" stroke=\"#333333\"/>\n";
  // The legend, top left inside the equity panel.
  svg += "<g font-size=\"12\">\n<line x1=\"" + Number(kLeft + 12) + "\" x2=\"" +
         Number(kLeft + 36) + "\" y1=\"" + Number(kTop + 16) + "\" y2=\"" + Number(kTop + 16) +
         "\" stroke=\"#1f77b4\" stroke-width=\"2\"/>\n<text x=\"" + Number(kLeft + 42) + "\" y=\"" +
         Number(kTop + 20) + "\">equity</text>\n<line x1=\"" + Number(kLeft + 110) + "\" x2=\"" +
         Number(kLeft + 134) + "\" y1=\"" + Number(kTop + 16) + "\" y2=\"" + Number(kTop + 16) +
         "\" stroke=\"#7f7f7f\" stroke-width=\"1.5\"/>\n<text x=\"" + Number(kLeft + 140) +
         "\" y=\"" + Number(kTop + 20) + "\">buy and hold</text>\n</g>\n";
  return svg + "</svg>\n";
}

}  // namespace mplnet
