// Walk-forward evaluation: the honest test of retraining a network as time goes on.
//
// The bars are cut into folds. Each fold trains a fresh network on the rows of a window of
// training bars, then trades on the rows of the test bars that follow the window; the next fold
// slides on by one test window. A fold's training rows are made from its training bars alone, so
// their targets end inside the window, at least `horizon` bars before its first test bar, and
// their validation slice (the latest of them) and the input scaling measured on them never see a
// test bar. The folds' test rows form one account: the position carries from one fold's last row
// into the next fold, and the figures are those of a backtest of the joined rows.
//
// Part of the trading library (mplnet::trading), never of the DLL.
#ifndef MPLNET_WALKFORWARD_H_
#define MPLNET_WALKFORWARD_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "mplnet/backtest.h"
#include "mplnet/bar_dataset.h"
#include "mplnet/engine.h"
#include "mplnet/train.h"

namespace mplnet {

// What a walk forward does; the defaults suit hourly bars (about 42 weeks of a market open five
// days a week to train on, 8 weeks to trade).
struct WalkForwardSettings {
  BarDatasetOptions recipe;
  std::size_t train_bars = 5000;  // bars of a fold's training window
  std::size_t test_bars = 1000;   // bars of a fold's test window, and the step between folds
  int hidden = 8;                 // neurons of the starting network's one hidden layer
  std::uint64_t seed = 1;         // the starting network's weights (as `mplnet new --seed`)
  TradingRules rules;
  TrainSettings train;      // as mplnet train's: iRPROP-, standardised inputs
  EveryRowRules every_row;  // as mplnet train's: the latest rows decide the epochs, then every row
};

// The settings of a walk forward a command line sets; RunWalkForward refuses values outside.
inline constexpr Setting<WalkForwardSettings, std::size_t> kTrainBarsSetting{
    "train-bars",
    "N",
    "bars of each training window",
    &WalkForwardSettings::train_bars,
    {2, 100'000'000}};
inline constexpr Setting<WalkForwardSettings, std::size_t> kTestBarsSetting{
    "test-bars",
    "N",
    "bars of each test window, and the step between folds",
    &WalkForwardSettings::test_bars,
    {1, 100'000'000}};
inline constexpr Setting<WalkForwardSettings, int> kHiddenSetting{"hidden",
                                                                  "N",
                                                                  "neurons of the hidden layer",
                                                                  &WalkForwardSettings::hidden,
                                                                  {1, kMostPositions}};
inline constexpr Setting<WalkForwardSettings, std::uint64_t> kStartSeedSetting{
    "seed",
    "S",
    "draws the starting network's weights",
    &WalkForwardSettings::seed,
    {0, std::numeric_limits<std::uint64_t>::max()}};

// One fold: its windows, what it trained on, and its lines in the joined account.
struct WalkForwardFold {
  std::size_t number = 0;        // from 1
  std::uint32_t train_from = 0;  // the first and last training bar's time
  std::uint32_t train_to = 0;
  std::size_t train_rows = 0;       // the rows the network kept was trained on
  std::size_t validation_rows = 0;  // the latest rows that decided the number of epochs
  std::size_t epochs = 0;           // the epochs of the network kept
  std::size_t first_line = 0;       // its test rows: lines [first_line, first_line + lines) of the
  std::size_t lines = 0;            // joined account
  std::string network_file;         // its network file's content, recipe included
};

// A walk forward's folds and joined account.
struct WalkForward {
  std::vector<WalkForwardFold> folds;
  Backtest joined;
};

// The return over a fold's own lines (the bar that carries the previous fold's position into it
// included) and its buy and hold over its rows.
struct FoldFigures {
  double total_return = 0.0;
  double buy_and_hold = 0.0;
  std::size_t trades = 0;  // runs of one non-zero position that start in the fold
};
FoldFigures ComputeFoldFigures(const WalkForward& walk, const WalkForwardFold& fold);

// The report's line for a fold: "fold N: train from .. to .. (R rows, V validating, E epochs, kept
// K), test from .. to .. (L rows), return .., buy and hold .., trades ..", numbers as the shortest
// text that reads back to the same double; ends in LF.
std::string FormatFoldLine(const WalkForward& walk, const WalkForwardFold& fold);

// Runs the walk forward over `bars` (in time order, distinct times). `each_fold`, when given, is
// called as each fold is trained. Raises BarDataError (or TrainingError) for settings out of
// range, a log with no bar after the first training window, a fold whose rows cannot be trained
// on, or a training run that diverges.
WalkForward RunWalkForward(const std::vector<Bar>& bars, const WalkForwardSettings& settings,
                           const std::function<void(const WalkForwardFold&)>& each_fold = {});

}  // namespace mplnet

#endif  // MPLNET_WALKFORWARD_H_
