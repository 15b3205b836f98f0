// Numbers the offline libraries write for other programs to read (tables, backtest lines and
// reports): each the shortest text that reads back to the very same double, "." as the decimal
// point, so nothing of a value is lost on the way.
#ifndef MPLNET_DATASETS_SHORTEST_TEXT_H_
#define MPLNET_DATASETS_SHORTEST_TEXT_H_

#include <string>

namespace mplnet {

// Appends the shortest text that reads back to `v` ("inf", "-inf" and "nan" for the values that
// are not finite).
void AppendShortest(std::string& out, double v);

}  // namespace mplnet

#endif  // MPLNET_DATASETS_SHORTEST_TEXT_H_
