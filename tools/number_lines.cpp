#include "tools/number_lines.h"

#include <cmath>

#include "mplnet/shortest_text.h"

namespace mplnet::tool {

std::string ShortestText(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  std::string text;
  AppendShortest(text, v);
  return text;
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
