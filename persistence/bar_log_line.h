// The bar log's line: the one description of how the host's bar intake writes a bar (host/) and how
// the datasets read it back (datasets/). A change to the line format is a change to this file.
//
// A line holds seven labels, each followed by a blank and its value, separated by blanks:
//   Bar: i Time: t Open: o Low: l High: h Close: c Vol: v
// then a blank and CR LF. `i` is the bar's index in the host's array and `t` its time, both whole
// numbers in decimal digits; the five prices and volume are written by FormatReal under the
// process locale's number symbols (docs/network-file.md, "Numbers"). Reading is wider than
// writing, as for the network file: blanks and tabs in any number separate the words, and a value
// reads with "." or "," as its decimal point whatever the locale (ParseReal).
//
// The reading helpers are inline, so the DLL, which only writes, carries none of them.
//
// The format, for users: docs/bar-log.md.
#ifndef MPLNET_PERSISTENCE_BAR_LOG_LINE_H_
#define MPLNET_PERSISTENCE_BAR_LOG_LINE_H_

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "persistence/number_text.h"

namespace mplnet {

// The labels in the order a line holds them: the index, the time, then the five values.
inline constexpr std::string_view kBarLineLabels[] = {
    "Bar:", "Time:", "Open:", "Low:", "High:", "Close:", "Vol:"};
// The words of a line: each label and its value.
inline constexpr std::size_t kBarLineWords = 2 * std::size(kBarLineLabels);
// The values after the index and the time, in line order: open, low, high, close, volume.
using BarLineValues = std::array<double, std::size(kBarLineLabels) - 2>;
// What a written line ends with.
inline constexpr std::string_view kBarLineEnd = " \r\n";
// The line's form, as messages about a line that is none show it.
inline constexpr std::string_view kBarLineForm =
    "Bar: i Time: t Open: o Low: l High: h Close: c Vol: v";

// Appends the line of one bar, kBarLineEnd included, its values written under `symbols`.
void AppendBarLine(std::string& out, std::uint64_t index, std::uint32_t time,
                   const BarLineValues& values, const NumberSymbols& symbols);

// The words of `line` (without its line end), split at blanks and tabs.
inline std::vector<std::string_view> BarLineWords(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    if (pos > start) words.push_back(line.substr(start, pos - start));
  }
  return words;
}

// The index or time a word holds: decimal digits only, within T; nullopt otherwise.
template <typename T>
std::optional<T> ReadBarLineWhole(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

// The price or volume a word holds, "." and "," both read as the decimal point; nullopt when it
// is no number.
inline std::optional<double> ReadBarLineValue(std::string_view text) {
  return ParseReal(text, NumberSymbols{});
}

}  // namespace mplnet

#endif  // MPLNET_PERSISTENCE_BAR_LOG_LINE_H_
