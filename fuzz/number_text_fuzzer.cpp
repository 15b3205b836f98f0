// The number reader on arbitrary texts, and the writer's round trip: what FormatReal writes,
// ParseReal reads back as the value rounded to 15 significant digits.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz/fuzz_support.h"
#include "persistence/number_text.h"

namespace {

using mplnet::FormatReal;
using mplnet::NumberSymbols;
using mplnet::ParseReal;
using mplnet::ParseUInt16;

// `v` rounded to 15 significant digits, as the nearest double: the value a written text stands for.
// Values whose rounding leaves the range of double have no such double.
std::optional<double> RoundedTo15Digits(double v) {
  char text[40];
  const auto written =
      std::to_chars(text, text + sizeof text, v, std::chars_format::scientific, 14);
  double rounded = 0;
  const auto read = std::from_chars(text, written.ptr, rounded);
  if (read.ec != std::errc()) return std::nullopt;
  return rounded;
}

bool SameValue(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

// Writes `v` under `symbols` and reads it back under both a point and a comma locale.
void CheckRoundTrip(double v, const NumberSymbols& symbols) {
  const std::string text = FormatReal(v, symbols);
  FUZZ_CHECK(!text.empty() && text.size() <= 24);
  for (const NumberSymbols& reader : {NumberSymbols{}, NumberSymbols{",", "-"}}) {
    const std::optional<double> back = ParseReal(text, reader);
    if (!std::isfinite(v)) {
      FUZZ_CHECK(back && SameValue(*back, v));
      continue;
    }
    const std::optional<double> rounded = RoundedTo15Digits(v);
    if (rounded) {
      FUZZ_CHECK(back && *back == *rounded);
      // Writing the value read back gives the same text: a second save changes nothing.
      FUZZ_CHECK(FormatReal(*back, symbols) == text);
    } else {
      // Only the very largest values round beyond the largest double.
      FUZZ_CHECK(back && std::fabs(*back) == DBL_MAX);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const NumberSymbols point{};
  const NumberSymbols comma{",", "-"};

  for (const NumberSymbols& symbols : {point, comma}) {
    const std::optional<double> value = ParseReal(text, symbols);
    if (value) CheckRoundTrip(*value, symbols);
  }
  // A point and a comma read alike, whatever the locale says.
  const std::optional<double> a = ParseReal(text, point);
  const std::optional<double> b = ParseReal(text, comma);
  FUZZ_CHECK(a.has_value() == b.has_value() && (!a || SameValue(*a, *b)));

  if (const std::optional<std::uint16_t> position = ParseUInt16(text)) {
    // A position read back from its own digits is the same position.
    FUZZ_CHECK(ParseUInt16(std::to_string(*position)) == position);
    FUZZ_CHECK(text.find_first_of("0123456789") != std::string_view::npos);
  }

  // The first eight bytes as any double at all, NaN payloads and subnormals included.
  if (size >= sizeof(double)) {
    double v = 0;
    std::memcpy(&v, data, sizeof v);
    CheckRoundTrip(v, point);
    CheckRoundTrip(v, comma);
  }
  return 0;
}
