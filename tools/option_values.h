// The values of the tool's options, read by one set of rules so that every command refuses a bad
// value alike and says so in the same words.
//
// A real number is read as numbers in network files are ("." or "," as the decimal point, an
// optional exponent) and must be finite: "nan", "inf" and texts beyond the range of double are
// refused like any other value outside the option's range. A whole number is decimal digits with an
// optional sign, nothing else: no exponent, no fraction, and none of the octal or hexadecimal
// prefixes the C library would take. A refused text is quoted, cut short when long, with the range
// the option takes.
//
// The command-line parser (CLI11) stores an option's value itself; the checks below hand it the
// value read here in a form it converts exactly, so the option holds the very number read here.
#ifndef MPLNET_TOOLS_OPTION_VALUES_H_
#define MPLNET_TOOLS_OPTION_VALUES_H_

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "mplnet/bar_dataset.h"
#include "mplnet/setting.h"

namespace mplnet::tool {

// Reads a real-number option value; raises ToolError unless it is a finite number in `range`.
double ReadReal(std::string_view text, const RealRange& range);

// Reads a whole-number option value; raises ToolError unless it lies in `range`.
std::uint64_t ReadWhole(std::string_view text, const WholeRange& range);

// The check of a real-number option: refuses what ReadReal refuses, and hands CLI11 the value read.
CLI::Validator RealIn(const RealRange& range);

// The check of a whole-number option: refuses what ReadWhole refuses, and hands CLI11 the value
// read.
CLI::Validator WholeIn(const WholeRange& range);

// Adds the option --name of a library's setting, bound to its field in `owner`, with the library's
// name, help and range; the default shown is the value `owner` holds, when the range holds it.
template <typename Owner, typename Value>
CLI::Option* AddSetting(CLI::App* app, const Setting<Owner, Value>& setting, Owner& owner) {
  CLI::Option* option = app->add_option("--" + std::string(setting.name), owner.*setting.field,
                                        std::string(setting.help));
  if (!setting.value_name.empty()) option->type_name(std::string(setting.value_name));
  if constexpr (std::is_floating_point_v<Value>) {
    option->transform(RealIn(setting.range));
  } else {
    option->transform(WholeIn(setting.range));
  }
  if (setting.Accepts(owner)) option->capture_default_str();
  return option;
}

// The check of the --features list of `mplnet bars`: the names the bar dataset knows.
CLI::Validator BarFeatureList();

// The most weights and thresholds `mplnet new` draws: larger networks take minutes to write and
// gigabytes to hold; nobody means them on a command line.
inline constexpr std::uint64_t kMostDraws = 10'000'000;

// Reads the layer sizes of `mplnet new`, input layer first. Raises ToolError for a size that is not
// a whole number from 1 to kMostPositions, more than kMostPositions layers, positions whose
// coordinate keys would collide, or more than kMostDraws draws.
std::vector<int> ReadLayerSizes(const std::vector<std::string>& texts);

// The draws a network of these layer sizes takes: one per input element for its input link, and
// for every later element one for its threshold and one per element of the layer before.
std::uint64_t DrawCount(const std::vector<int>& sizes);

}  // namespace mplnet::tool

#endif  // MPLNET_TOOLS_OPTION_VALUES_H_
