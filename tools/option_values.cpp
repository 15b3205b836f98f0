#include "tools/option_values.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <system_error>

#include "engine/structure_check.h"
#include "persistence/number_text.h"
#include "persistence/shown_text.h"
#include "tools/network_report.h"
#include "tools/number_lines.h"

namespace mplnet::tool {
namespace {

// A refused value is quoted up to this many bytes: a pasted 400-digit number stays one short line.
constexpr std::size_t kShownBytes = 24;

// `v` as a hexadecimal floating-point text. CLI11 converts an option's text with strtold and then
// narrows to double; a decimal text could round twice on the way, a hexadecimal one of a double's
// digits is exact in every long double.
std::string ExactText(double v) {
  std::string text = std::signbit(v) ? "-0x" : "0x";
  char digits[40];
  const std::to_chars_result r =
      std::to_chars(digits, digits + sizeof digits, std::fabs(v), std::chars_format::hex);
  text.append(digits, r.ptr);
  return text;
}

// Collects the message of a refused value as the validator's answer, which CLI11 prefixes with the
// option's name.
template <typename Read>
std::string Answer(const Read& read) {
  try {
    read();
    return {};
  } catch (const Error& e) {
    return e.what();
  }
}

}  // namespace

double ReadReal(std::string_view text, const RealRange& range) {
  const std::optional<double> v = ParseReal(text, NumberSymbols{});
  if (v && range.Contains(*v)) return *v;
  throw ToolError(QuotedText(text, kShownBytes) + " is not " + RangeText(range));
}

std::uint64_t ReadWhole(std::string_view text, const WholeRange& range) {
  std::string_view digits = text;
  const bool negative = digits.starts_with('-');
  if (negative || digits.starts_with('+')) digits.remove_prefix(1);
  std::uint64_t value = 0;
  const char* end = digits.data() + digits.size();
  const std::from_chars_result r = std::from_chars(digits.data(), end, value);
  // from_chars takes no sign for an unsigned type, so "+-1" stops at the second sign.
  if (!digits.empty() && r.ec == std::errc() && r.ptr == end && (!negative || value == 0) &&
      range.Contains(value)) {
    return value;
  }
  throw ToolError(QuotedText(text, kShownBytes) + " is not " + RangeText(range));
}

CLI::Validator RealIn(const RealRange& range) {
  const std::string description = range.above_low ? "FLOAT > " + ShortestText(range.low)
                                                  : "FLOAT in [" + ShortestText(range.low) + " - " +
                                                        ShortestText(range.high) + "]";
  return CLI::Validator(
      [range](std::string& text) {
        return Answer([&] { text = ExactText(ReadReal(text, range)); });
      },
      description);
}

CLI::Validator WholeIn(const WholeRange& range) {
  return CLI::Validator(
      [range](std::string& text) {
        // Plain digits: CLI11's strtoull would read a leading 0 as octal and 0x as hexadecimal.
        return Answer([&] { text = std::to_string(ReadWhole(text, range)); });
      },
      "UINT in [" + std::to_string(range.low) + " - " + std::to_string(range.high) + "]");
}

CLI::Validator BarFeatureList() {
  return CLI::Validator(
      [](std::string& text) {
        return Answer([&] { text = std::string(BarFeaturesName(ReadBarFeatures(text))); });
      },
      "");
}

std::uint64_t DrawCount(const std::vector<int>& sizes) {
  std::uint64_t draws = sizes.empty() ? 0 : static_cast<std::uint64_t>(sizes[0]);
  for (std::size_t i = 1; i < sizes.size(); ++i) {
    draws += static_cast<std::uint64_t>(sizes[i]) * (1 + static_cast<std::uint64_t>(sizes[i - 1]));
  }
  return draws;
}

std::vector<int> ReadLayerSizes(const std::vector<std::string>& texts) {
  if (texts.size() > kMostPositions) {
    throw ToolError("a network holds at most " + std::to_string(kMostPositions) + " layers");
  }
  std::vector<int> sizes;
  for (const std::string& text : texts) {
    try {
      sizes.push_back(static_cast<int>(ReadWhole(text, {1, kMostPositions})));
    } catch (const ToolError& e) {
      throw ToolError(std::string("layer size ") + e.what());
    }
  }
  const std::uint64_t draws = DrawCount(sizes);
  if (draws > kMostDraws) {
    throw ToolError("these sizes give " + std::to_string(draws) +
                    " weights and thresholds; the tool builds at most " +
                    std::to_string(kMostDraws));
  }
  // The engine finds elements by the digits of layer and index run together: with more than ten
  // layers, (1, 10) and (11, 0) would be one element, and the second would silently be missing.
  if (const std::optional<SharedKey> shared =
          FirstSharedKey(std::vector<std::size_t>(sizes.begin(), sizes.end()))) {
    throw ToolError(SharedKeyText(*shared));
  }
  return sizes;
}

}  // namespace mplnet::tool
