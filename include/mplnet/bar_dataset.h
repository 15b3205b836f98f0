// Training tables from the bar log: the price bars a host handed to MPLSetData, read back and
// turned into rows of inputs and a target that never look ahead.
//
// The log is appended call after call, each call writing the host's whole array, oldest bar first,
// and the newest bar changes from call to call until it closes. So bars are keyed by their time,
// the line written last for a time wins, and the bars are sorted by time.
//
// A row for the bar at time t takes its inputs from bars up to and including t only; only its
// target looks `horizon` bars ahead. No quantity is measured over the whole log: the one scale a
// row uses (the return target's) comes from returns that ended at or before t. So changing or
// removing any bar after t leaves every row for the bars up to `horizon` bars before t unchanged,
// byte for byte, and rows stay in time order, which keeps a validation slice taken from the end of
// the table out of the past.
//
// The log's format and how it is read back: docs/bar-log.md.
//
// Part of the datasets library (mplnet::datasets), never of the DLL.
#ifndef MPLNET_BAR_DATASET_H_
#define MPLNET_BAR_DATASET_H_

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "mplnet/error.h"
#include "mplnet/setting.h"

namespace mplnet {

// A bar log that cannot be read, a line that does not parse, or options that make no rows;
// what() names the file and the line.
class BarDataError : public Error {
 public:
  using Error::Error;
};

// One price bar as the log holds it.
struct Bar {
  std::uint32_t time = 0;
  double open = 0.0;
  double low = 0.0;
  double high = 0.0;
  double close = 0.0;
  double vol = 0.0;
};

// What reading a log found.
struct BarLogSummary {
  std::size_t lines = 0;      // bar lines read
  std::size_t skipped = 0;    // lines that did not parse, passed over under skip_bad
  std::size_t replaced = 0;   // lines whose time a later line gave again
  std::uint32_t spacing = 0;  // the most common time step between consecutive bars; 0 below two
  std::size_t gaps = 0;       // time steps larger than `spacing`
  std::uint32_t largest = 0;  // the largest time step
};

// The distinct bars of a log in time order, and what reading found.
struct BarLog {
  std::vector<Bar> bars;
  BarLogSummary summary;
};

// The longest line a bar log may hold: a bar line is some 150 bytes, and a longer line is no bar
// line (or a file without line ends) that need not be read whole.
inline constexpr std::size_t kBarLogLineMaxBytes = 4096;

// Reads a bar log: lines "Bar: i Time: t Open: o Low: l High: h Close: c Vol: v", CR LF or LF, "."
// or "," as the decimal point; prices must be positive and the volume not negative. A line that
// does not parse, a last line without its line end (cut short while being written) among them,
// raises BarDataError naming `name` and the line, unless `skip_bad`: then it is passed over and
// counted. Blank lines are passed over. The log is read a line at a time: memory grows with the
// distinct bars, not with the log; a line longer than kBarLogLineMaxBytes stops the reading with
// BarDataError, skip_bad or not.
BarLog ReadBarLog(std::istream& in, std::string_view name, bool skip_bad);
// ReadBarLog of the file at `path`; BarDataError when it cannot be opened or read.
BarLog ReadBarLogFile(const std::string& path, bool skip_bad);

// What a row's inputs hold for each of the window's bars, oldest first.
enum class BarFeatures {
  kReturns,             // the close-to-close log return
  kReturnsRangeVolume,  // also (high - low) / close, then ln((vol + 1) / (previous vol + 1))
};

// The name of a feature set, as --features of `mplnet bars` and a table's header give it:
// "returns" or "returns,range,volume".
std::string_view BarFeaturesName(BarFeatures features);
// Reads a feature list: names separated by commas, blanks around each allowed, naming a set
// BarFeaturesName gives in its order. Raises BarDataError naming what is wrong.
BarFeatures ReadBarFeatures(std::string_view list);

// What a row's target says about the bar `horizon` bars ahead.
enum class BarTarget {
  kDirection,  // 0.9 when its close is higher, 0.1 when lower; rows with no change are dropped
  kReturn,     // 0.5 + 0.5 tanh(r / s): r the log return to it, s the sample standard deviation of
               // the horizon-bar log returns that ended at or before t, written once there are 100
};

struct BarDatasetOptions {
  int window = 10;  // bars whose features make a row's inputs, the row's own bar last
  BarFeatures features = BarFeatures::kReturns;
  int horizon = 1;  // how many bars ahead the target looks
  BarTarget target = BarTarget::kDirection;
};

// The window and horizon as a command line sets them; MakeBarRows refuses values outside.
inline constexpr Setting<BarDatasetOptions, int> kWindowSetting{
    "window", "N", "bars per row, the row's own bar last", &BarDatasetOptions::window, {1, 100000}};
inline constexpr Setting<BarDatasetOptions, int> kHorizonSetting{
    "horizon", "H", "bars ahead the target looks", &BarDatasetOptions::horizon, {1, 100000}};

// One row of a table: the time of its bar, the inputs, then the target.
struct BarRow {
  std::uint32_t time = 0;
  std::vector<double> inputs;
  double target = 0.0;
};

// The number of inputs a row holds under `options`.
std::size_t BarInputCount(const BarDatasetOptions& options);

// The rows for `bars` (in time order, distinct times), in time order. Raises BarDataError for a
// window or horizon outside its setting's range, or a feature that is not a finite number (prices
// beyond the range of double), naming the bar's time.
std::vector<BarRow> MakeBarRows(const std::vector<Bar>& bars, const BarDatasetOptions& options);

// The comment lines a table starts with: what the columns are and which options made them.
std::string BarTableHeader(const BarDatasetOptions& options);
// One line of a table: the inputs and the target, separated by blanks, each the shortest text that
// reads back to the same double ("." as the decimal point), then "# " and the bar's time; ends in
// LF.
std::string FormatBarRow(const BarRow& row);

// The text of a whole table: the header, then one line per row.
std::string FormatBarTable(const std::vector<BarRow>& rows, const BarDatasetOptions& options);

}  // namespace mplnet

#endif  // MPLNET_BAR_DATASET_H_
