// Lines of numbers as `mplnet run` reads and writes them.
//
// Input lines are read by the one reader the trainer's data tables use as well
// (datasets/number_line.h): numbers separated by commas, semicolons or blanks, "#" starting a
// comment, "." as the decimal point, and a comma as the decimal point only where semicolons or
// blanks separate the numbers. Output numbers are written as the shortest text that reads back to
// the same double, so nothing of a result is lost between the tool and whatever reads its output.
#ifndef MPLNET_TOOLS_NUMBER_LINES_H_
#define MPLNET_TOOLS_NUMBER_LINES_H_

#include <string>
#include <vector>

#include "datasets/number_line.h"

namespace mplnet::tool {

// The shortest text that reads back to exactly `v`; "NaN", "Infinity" and "-Infinity" for values
// that are not finite, as in network files.
std::string ShortestText(double v);

// The values' shortest texts joined by ",".
std::string JoinShortest(const std::vector<double>& values);

}  // namespace mplnet::tool

#endif  // MPLNET_TOOLS_NUMBER_LINES_H_
