// A setting of the offline libraries described once, beside the struct that holds it: the name a
// command line gives it, a line of help, the values it takes, and its default (what a
// default-made struct holds). The library refuses a struct whose settings lie outside their
// ranges, and the `mplnet` tool builds its options, their checks and their help from the same
// descriptions, so that a name, a range or a default is spelled in one place.
//
// Header only: descriptions are constants, and the few helpers are inline.
#ifndef MPLNET_SETTING_H_
#define MPLNET_SETTING_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "mplnet/shortest_text.h"

namespace mplnet {

// The real numbers a setting takes: from `low` to `high`, or above `low` when `above_low`. Never
// NaN or an infinity.
struct RealRange {
  double low = 0.0;
  double high = 0.0;
  bool above_low = false;

  // Written so that NaN, which compares false with everything, lies outside every range; the ends
  // are finite, so the infinities lie outside too.
  constexpr bool Contains(double v) const { return (above_low ? v > low : v >= low) && v <= high; }
};

// The whole numbers a setting takes: from `low` to `high`.
struct WholeRange {
  std::uint64_t low = 0;
  std::uint64_t high = 0;

  constexpr bool Contains(std::uint64_t v) const { return v >= low && v <= high; }
};

// "a number from 0 to 0.99", or "a finite number above 0", each number the shortest text that
// reads back to it.
inline std::string RangeText(const RealRange& range) {
  std::string text = range.above_low ? "a finite number above " : "a number from ";
  AppendShortest(text, range.low);
  if (!range.above_low) {
    text += " to ";
    AppendShortest(text, range.high);
  }
  return text;
}

// "a whole number from 1 to 100000".
inline std::string RangeText(const WholeRange& range) {
  return "a whole number from " + std::to_string(range.low) + " to " + std::to_string(range.high);
}

// One setting of an `Owner` struct: its field, of type `Value`, a whole or real number.
template <typename Owner, typename Value>
struct Setting {
  using Range = std::conditional_t<std::is_floating_point_v<Value>, RealRange, WholeRange>;

  std::string_view name;        // on a command line: --name
  std::string_view value_name;  // what the help calls its value ("M"); empty: the kind of number
  std::string_view help;        // one line: what it does
  Value Owner::*field;          // where it lives
  Range range;                  // the values it takes

  // Its default: what a default-made Owner holds.
  Value Default() const { return Owner{}.*field; }
  // Whether `owner` holds a value of the range.
  bool Accepts(const Owner& owner) const {
    if constexpr (std::is_floating_point_v<Value>) {
      return range.Contains(owner.*field);
    } else {
      if constexpr (std::is_signed_v<Value>) {
        if (owner.*field < 0) return false;
      }
      return range.Contains(static_cast<std::uint64_t>(owner.*field));
    }
  }
  // "setting momentum must be a number from 0 to 0.999", for a value it does not accept.
  std::string Refusal() const {
    return "setting " + std::string(name) + " must be " + RangeText(range);
  }
};

}  // namespace mplnet

#endif  // MPLNET_SETTING_H_
