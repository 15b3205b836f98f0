// Writing the bar log's line (persistence/bar_log_line.h).
#include "persistence/bar_log_line.h"

namespace mplnet {

void AppendBarLine(std::string& out, std::uint64_t index, std::uint32_t time,
                   const BarLineValues& values, const NumberSymbols& symbols) {
  out += kBarLineLabels[0];
  out += ' ';
  out += FormatUnsigned(index);
  out += ' ';
  out += kBarLineLabels[1];
  out += ' ';
  out += FormatUnsigned(time);
  for (std::size_t i = 0; i < values.size(); ++i) {
    out += ' ';
    out += kBarLineLabels[2 + i];
    out += ' ';
    out += FormatReal(values[i], symbols);
  }
  out += kBarLineEnd;
}

}  // namespace mplnet
