// Lines of numbers as `mplnet run` reads and writes them.
//
// An input line holds numbers separated by commas, semicolons or blanks; "#" starts a comment that
// runs to the end of the line. The decimal separator is always "." here: the comma separates
// numbers. Output numbers are written as the shortest text that reads back to the same double, so
// nothing of a result is lost between the tool and whatever reads its output.
#ifndef MPLNET_TOOLS_NUMBER_LINES_H_
#define MPLNET_TOOLS_NUMBER_LINES_H_

#include <string>
#include <string_view>
#include <vector>

namespace mplnet::tool {

// What one input line holds.
struct NumberLine {
  std::vector<double> values;  // empty for a blank line or one holding only a comment
  std::string bad_piece;       // the first piece that is not a number; empty when all are
};

// Splits `line` at commas, semicolons and blanks, drops its comment, and reads every piece as a
// number (optional sign, digits, "." and exponent; "NaN" and "Infinity" in any case).
NumberLine ParseNumberLine(std::string_view line);

// The shortest text that reads back to exactly `v`; "NaN", "Infinity" and "-Infinity" for values
// that are not finite, as in network files.
std::string ShortestText(double v);

// The values' shortest texts joined by ",".
std::string JoinShortest(const std::vector<double>& values);

}  // namespace mplnet::tool

#endif  // MPLNET_TOOLS_NUMBER_LINES_H_
