// The bar intake: checks the host's bar array and appends one line per bar to the bar log.
// The log's format: docs/bar-log.md.
#ifndef MPLNET_HOST_BAR_LOG_H_
#define MPLNET_HOST_BAR_LOG_H_

#include <string>
#include <string_view>

#include "mplnet/mplnet.h"
#include "persistence/number_text.h"

namespace mplnet {

// The lines for `rates_total` bars, highest index first, in the bar log's line format
// (persistence/bar_log_line.h).
std::string FormatBarLines(const RateInfo* rates, int rates_total, const NumberSymbols& symbols);

// Checks the arguments in order and appends the bars to the log at `log_path`; the status text.
const char* SetData(const RateInfo* rates, int rates_total, int shift, int nrate,
                    const std::string& log_path);

}  // namespace mplnet

#endif  // MPLNET_HOST_BAR_LOG_H_
