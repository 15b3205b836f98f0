#include "tools/number_lines.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

#include "persistence/number_text.h"

namespace mplnet::tool {
namespace {

bool IsSeparator(char c) {
  return c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
         c == '\f';
}

}  // namespace

NumberLine ParseNumberLine(std::string_view line) {
  if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
    line = line.substr(0, hash);
  }
  // Fixed symbols rather than the process locale's: the comma is a separator in this format, so a
  // decimal comma could never reach the number reader anyway, and the same inputs file must give
  // the same numbers on every machine.
  static const NumberSymbols kSymbols{};
  NumberLine result;
  std::size_t pos = 0;
  while (pos < line.size()) {
    if (IsSeparator(line[pos])) {
      ++pos;
      continue;
    }
    std::size_t end = pos;
    while (end < line.size() && !IsSeparator(line[end])) ++end;
    const std::string_view piece = line.substr(pos, end - pos);
    const std::optional<double> value = ParseReal(piece, kSymbols);
    if (!value) {
      result.bad_piece = std::string(piece);
      return result;
    }
    result.values.push_back(*value);
    pos = end;
  }
  return result;
}

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
