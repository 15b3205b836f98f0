// Numbers the offline libraries write for other programs and for people to read back exactly
// (tables, backtest lines and reports, the ranges of settings): each the shortest text that reads
// back to the very same double, "." as the decimal point, so nothing of a value is lost on the way.
//
// Header only, so that the header-only descriptions of settings (mplnet/setting.h) use it too.
#ifndef MPLNET_SHORTEST_TEXT_H_
#define MPLNET_SHORTEST_TEXT_H_

#include <charconv>
#include <string>
#include <system_error>

namespace mplnet {

// Appends the shortest text that reads back to `v` ("0.99", "1e+300"; "inf", "-inf" and "nan" for
// the values that are not finite).
inline void AppendShortest(std::string& out, double v) {
  char buffer[32];  // the longest shortest text of a double takes 24
  const std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, v);
  out.append(buffer, r.ec == std::errc() ? r.ptr : buffer);
}

}  // namespace mplnet

#endif  // MPLNET_SHORTEST_TEXT_H_
