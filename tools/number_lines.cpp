#include "tools/number_lines.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace mplnet::tool {

std::string ShortestText(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  char buffer[32];
  // Without a precision, to_chars gives the shortest text that reads back to the same double.
  const std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, v);
  return std::string(buffer, r.ptr);
}

std::string JoinShortest(const std::vector<double>& values) {
  std::string text;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += ',';
    text += ShortestText(values[i]);
  }
  return text;
}

}  // namespace mplnet::tool
