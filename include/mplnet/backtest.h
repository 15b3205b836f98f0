// What trading on a network's outputs would have earned: positions decided from each row's output,
// the log P&L they earn after costs, the equity curve and the figures traders compare.
//
// The rows are those the bar table's code makes from the log with the network's recipe, and the
// outputs are the library's forward pass on the network as the library's reader loads it, so the
// figures are those of the network the host runs. No decision reads a bar after its own: the
// position decided at the close of a row's bar comes from that row's output alone and earns the
// log return to the next row's close, less the cost of changing it.
//
// Part of the trading library (mplnet::trading), never of the DLL.
#ifndef MPLNET_BACKTEST_H_
#define MPLNET_BACKTEST_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mplnet/bar_dataset.h"
#include "mplnet/engine.h"

namespace mplnet {

// How outputs become positions and what changing a position costs.
struct TradingRules {
  // Per unit of position change, as a fraction of the price; finite and at least 0.
  double cost = 0.0;
  // Long above middle + threshold, short below middle - threshold; finite and at least 0.
  double threshold = 0.0;
  // No short positions: below middle - threshold the position is 0.
  bool long_only = false;
};

// Raises BarDataError for a cost or threshold below 0 or not finite.
void CheckTradingRules(const TradingRules& rules);

// The middle of a network's single output: 0 for a TH output, 0.5 otherwise. Raises BarDataError
// for a network without layers or whose last layer is not one element.
double OutputMiddle(const Perceptron& net);

// +1, -1 or 0 for an output, under `rules`.
int DecidePosition(double output, double middle, const TradingRules& rules);

// One row of an account: its bar's time and close, the network's output and the position decided
// at that close; then the log P&L realised over the bar up to this row (the previous row's
// position times the log return, less the cost of the change made at the previous row) and the
// equity after it.
struct AccountLine {
  std::uint32_t time = 0;
  double close = 0.0;
  double output = 0.0;
  int position = 0;
  double pnl = 0.0;
  double equity = 1.0;
};

// The figures of an account: see docs/backtest.md for each formula. A figure without a value (a
// win rate without trades) is NaN; a profit factor without a losing trade is infinite.
struct BacktestFigures {
  std::size_t bars = 0;  // P&L bars: the rows less one
  std::uint32_t from = 0;
  std::uint32_t to = 0;
  std::size_t trades = 0;
  double exposure = 0.0;
  double total_return = 0.0;
  double buy_and_hold = 0.0;
  double annual_return = 0.0;
  double volatility = 0.0;
  double sharpe = 0.0;
  double max_drawdown = 0.0;
  double win_rate = 0.0;
  double profit_factor = 0.0;
  double cost = 0.0;
};

// Fills in pnl and equity of `lines` (time, close, output and position given, in time order) as
// one account: `previous` is the position held before the first line, and the cost of moving from
// it to the first line's position stands on the second line.
void SettleAccount(std::vector<AccountLine>& lines, double cost, int previous = 0);

// The figures of settled lines; at least one line.
BacktestFigures ComputeFigures(const std::vector<AccountLine>& lines, double cost);

// The report: one "key: value" line each, in a fixed order, numbers as the shortest text that
// reads back to the same double.
std::string FormatFigures(const BacktestFigures& figures);
// The lines as CSV: the header "time,close,output,position,pnl,equity", then one line per row.
std::string FormatAccountCsv(const std::vector<AccountLine>& lines);

// The picture of settled lines as an SVG document: equity against buy and hold (both starting at
// 1) above, the drawdown below, dates (UTC) along the time axis, `title` (plain text without
// markup) above.
std::string EquityPlotSvg(const std::vector<AccountLine>& lines, const std::string& title);

// Which rows a backtest takes and how it trades.
struct BacktestOptions {
  TradingRules rules;
  std::optional<std::uint32_t> from;  // the first row's time at least this (inclusive)
  std::optional<std::uint32_t> to;    // the last row's time at most this (inclusive)
};

// A backtest: its lines and figures.
struct Backtest {
  std::vector<AccountLine> lines;
  BacktestFigures figures;
};

// The rows `recipe` makes from `bars`, with each row's close; the rows are MakeBarRows'.
struct PricedRows {
  std::vector<BarRow> rows;
  std::vector<double> closes;
};
PricedRows MakePricedRows(const std::vector<Bar>& bars, const BarDatasetOptions& recipe);

// Runs `net` on each row's inputs in order, as MPLRun does, and returns its single output per row.
// Raises BarDataError when the rows' inputs do not fit the network's input layer or it has not one
// output.
std::vector<double> RunRows(Perceptron& net, std::span<const BarRow> rows);

// The backtest of `net` on `bars` with `recipe`. Raises BarDataError for a recipe that does not fit
// the network, rules out of range, a time range with fewer than two rows, or a log too short.
Backtest RunBacktest(Perceptron& net, const std::vector<Bar>& bars, const BarDatasetOptions& recipe,
                     const BacktestOptions& options);

}  // namespace mplnet

#endif  // MPLNET_BACKTEST_H_
