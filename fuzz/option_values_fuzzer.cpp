// The readers of the tool's option values on arbitrary texts: the numeric options' check, the
// --features list of `mplnet bars` and the layer sizes of `mplnet new`. The first byte picks the
// reader, the rest is the value. What a check accepts is in its range and reaches the option
// exactly as read (through CLI11's own conversion); what it refuses gets one short line.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "mplnet/bar_dataset.h"
#include "mplnet/engine.h"
#include "persistence/number_text.h"
#include "tools/network_report.h"
#include "tools/number_lines.h"
#include "tools/option_values.h"

namespace {

using namespace mplnet;
using namespace mplnet::tool;

// However long the value, a refusal is one line a reader takes in at a glance.
void CheckRefusal(const std::string& message) {
  FUZZ_CHECK(!message.empty() && message.size() <= 256);
  FUZZ_CHECK(message.find('\n') == std::string::npos);
}

bool SameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

void FuzzReal(const std::string& text) {
  constexpr RealRange kRanges[] = {
      {0.0, 0.99}, {0.0, 1e300}, {0.0, std::numeric_limits<double>::max(), true}};
  const std::optional<double> parsed = ParseReal(text, NumberSymbols{});
  for (const RealRange& range : kRanges) {
    std::string given = text;
    const std::string answer = RealIn(range)(given);
    std::optional<double> value;
    try {
      value = ReadReal(text, range);
    } catch (const ToolError& e) {
      CheckRefusal(e.what());
      FUZZ_CHECK(answer == e.what());
    }
    if (!value) {
      FUZZ_CHECK(!parsed || !std::isfinite(*parsed) || *parsed < range.low ||
                 (range.above_low && *parsed == range.low) || *parsed > range.high);
      continue;
    }
    FUZZ_CHECK(answer.empty());
    FUZZ_CHECK(std::isfinite(*value) && *value >= range.low && *value <= range.high);
    FUZZ_CHECK(!range.above_low || *value > range.low);
    FUZZ_CHECK(parsed && SameBits(*parsed, *value));
    // The text handed on converts to the very double read.
    double stored = 0;
    FUZZ_CHECK(CLI::detail::lexical_cast(given, stored) && SameBits(stored, *value));
    FUZZ_CHECK(SameBits(ReadReal(ShortestText(*value), range), *value));
  }
}

void FuzzWhole(const std::string& text) {
  constexpr WholeRange kRanges[] = {
      {0, 256}, {1, 100'000'000}, {0, std::numeric_limits<std::uint64_t>::max()}};
  for (const WholeRange& range : kRanges) {
    std::string given = text;
    const std::string answer = WholeIn(range)(given);
    std::optional<std::uint64_t> value;
    try {
      value = ReadWhole(text, range);
    } catch (const ToolError& e) {
      CheckRefusal(e.what());
      FUZZ_CHECK(answer == e.what());
    }
    if (!value) continue;
    FUZZ_CHECK(answer.empty());
    FUZZ_CHECK(*value >= range.low && *value <= range.high);
    // Only digits, perhaps after one sign: no exponent, fraction, blank or prefix was taken.
    const std::size_t digits = text.find_first_not_of("+-");
    FUZZ_CHECK(digits <= 1 && text.find_first_not_of("0123456789", digits) == std::string::npos);
    std::uint64_t stored = 0;
    FUZZ_CHECK(CLI::detail::lexical_cast(given, stored) && stored == *value);
    int small = 0;  // what an int option (bars --window) holds
    if (*value <= 100000) {
      FUZZ_CHECK(CLI::detail::lexical_cast(given, small) &&
                 static_cast<std::uint64_t>(small) == *value);
    }
  }
}

void FuzzFeatures(const std::string& text) {
  std::string given = text;
  const std::string answer = BarFeatureList()(given);
  try {
    const BarFeatures features = ReadBarFeatures(text);
    FUZZ_CHECK(answer.empty() && given == BarFeaturesName(features));
    FUZZ_CHECK(ReadBarFeatures(given) == features);
  } catch (const BarDataError& e) {
    CheckRefusal(e.what());
    FUZZ_CHECK(answer == e.what());
  }
}

// The first position, in the order of layers and indices, whose coordinate key an earlier position
// has, found the plain way: a key for every position. Only for networks small enough to list.
std::optional<std::size_t> FirstCollisionListed(const std::vector<int>& sizes) {
  std::set<std::string> keys;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    for (int j = 0; j < sizes[i]; ++j) {
      if (!keys.insert(CoordinateKey(static_cast<std::int64_t>(i), j)).second) return i;
    }
  }
  return std::nullopt;
}

void FuzzLayerSizes(std::string_view text) {
  std::vector<std::string> texts;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    texts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::vector<int> sizes;
  std::string refusal;
  try {
    sizes = ReadLayerSizes(texts);
  } catch (const ToolError& e) {
    refusal = e.what();
    CheckRefusal(refusal);
  }
  if (refusal.empty()) {
    FUZZ_CHECK(sizes.size() == texts.size() && DrawCount(sizes) <= kMostDraws);
    for (const int s : sizes) FUZZ_CHECK(s >= 1 && static_cast<std::uint64_t>(s) <= kMostPositions);
  }
  // The key check agrees with a key for every position, where these can be listed.
  std::vector<int> parsed;
  for (const std::string& t : texts) {
    try {
      parsed.push_back(static_cast<int>(ReadWhole(t, {1, kMostPositions})));
    } catch (const ToolError&) {
      return;
    }
  }
  std::uint64_t elements = 0;
  for (const int s : parsed) elements += static_cast<std::uint64_t>(s);
  if (DrawCount(parsed) > kMostDraws || elements > 20'000) return;
  const std::optional<std::size_t> collision = FirstCollisionListed(parsed);
  if (!collision) {
    FUZZ_CHECK(refusal.empty());
  } else {
    FUZZ_CHECK(refusal.rfind("position (" + std::to_string(*collision) + ", 0) has the same", 0) ==
               0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0:
      FuzzReal(text);
      break;
    case 1:
      FuzzWhole(text);
      break;
    case 2:
      FuzzFeatures(text);
      break;
    default:
      FuzzLayerSizes(text);
      break;
  }
  return 0;
}
