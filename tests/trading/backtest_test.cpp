// Backtests and walk forwards: the account's formulas on hand-made lines, refusals of bad input,
// and the proof that no output, position, pnl or equity value looks past its bar.
#include "mplnet/backtest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "examples/bar_series.h"
#include "mplnet/bar_recipe.h"
#include "mplnet/walkforward.h"
#include "persistence/network_file.h"
#include "persistence/profile_file.h"
#include "test_support.h"

namespace mplnet {
namespace {

std::vector<Bar> Ar1Bars(int count, std::uint64_t seed = 1) {
  examples::SeriesOptions options;
  options.bars = count;
  options.seed = seed;
  std::vector<Bar> bars;
  for (const RateInfo& r : examples::MakeBarSeries(options)) {
    bars.push_back({r.time, r.open, r.low, r.high, r.close, r.vol});
  }
  return bars;
}

// A network trained a little on the first 500 bars' rows, so that its output follows its inputs
// (a random start barely does: its weights are all positive and the returns small).
Perceptron TrainedOn(const std::vector<Bar>& bars, const BarDatasetOptions& recipe) {
  const std::size_t inputs = BarInputCount(recipe);
  DataTable table(inputs, 1);
  for (const BarRow& row : MakeBarRows({bars.begin(), bars.begin() + 500}, recipe)) {
    std::vector<double> values = row.inputs;
    values.push_back(row.target);
    table.AddRow(values);
  }
  Trainer trainer(SeededNetwork({static_cast<int>(inputs), 6, 1}, 2), table, TrainSettings{});
  for (int epoch = 0; epoch < 30; ++epoch) trainer.RunEpoch();
  return trainer.Network();
}

// The CSV lines of the rows up to time `last`.
std::string LinesUpTo(const std::vector<AccountLine>& lines, std::uint32_t last) {
  std::vector<AccountLine> kept;
  for (const AccountLine& line : lines) {
    if (line.time <= last) kept.push_back(line);
  }
  return FormatAccountCsv(kept);
}

// Bars after bar `cut` changed: closes moved 2 % to 10 % up or down, far beyond the series' own
// moves, so that any output reading them changes (never onto the close before, so no direction
// row appears or goes); volumes changed.
std::vector<Bar> ChangedAfter(const std::vector<Bar>& bars, std::size_t cut, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<Bar> changed = bars;
  for (std::size_t i = cut + 1; i < changed.size(); ++i) {
    const double step = 0.02 + 0.08 * static_cast<double>(random() % 100) / 100.0;
    changed[i].close = changed[i - 1].close * (random() % 2 == 0 ? 1.0 + step : 1.0 - step);
    changed[i].high = std::max(changed[i].high, changed[i].close);
    changed[i].low = std::min(changed[i].low, changed[i].close);
    changed[i].vol += static_cast<double>(random() % 50);
  }
  return changed;
}

TEST(BacktestTest, PositionsFollowTheMiddleAndThreshold) {
  struct Case {
    double output, middle, threshold;
    bool long_only;
    int position;
  };
  for (const Case& c :
       {Case{0.6, 0.5, 0, false, 1}, Case{0.4, 0.5, 0, false, -1}, Case{0.5, 0.5, 0, false, 0},
        Case{0.55, 0.5, 0.1, false, 0}, Case{0.61, 0.5, 0.1, false, 1},
        Case{0.39, 0.5, 0.1, false, -1}, Case{0.39, 0.5, 0.1, true, 0},
        Case{-0.2, 0.0, 0.1, false, -1}, Case{0.2, 0.0, 0.1, true, 1}}) {
    EXPECT_EQ(DecidePosition(c.output, c.middle, {0.0, c.threshold, c.long_only}), c.position)
        << c.output << " " << c.middle << " " << c.threshold << " " << c.long_only;
  }
}

TEST(BacktestTest, AccountAndFiguresFollowTheFormulas) {
  // Rows a day apart; positions: flat, long, long, short, flat, long (a trade on the last row).
  const double closes[] = {100, 101, 103, 102, 99, 100};
  const int positions[] = {0, 1, 1, -1, 0, 1};
  const double c = 0.001;
  std::vector<AccountLine> lines;
  for (int k = 0; k < 6; ++k) {
    lines.push_back({static_cast<std::uint32_t>(86400 * k), closes[k], 0.5, positions[k], 0, 0});
  }
  SettleAccount(lines, c);
  const double expected[] = {0,
                             0.0,  // flat over bar 1
                             std::log(103.0 / 101.0) - c * 1,
                             std::log(102.0 / 103.0),
                             -std::log(99.0 / 102.0) - c * 2,
                             0.0 - c * 1};
  double summed = 0;
  for (int k = 0; k < 6; ++k) {
    summed += expected[k];
    EXPECT_EQ(lines[k].pnl, expected[k]) << "line " << k;
    EXPECT_EQ(lines[k].equity, std::exp(summed)) << "line " << k;
  }
  EXPECT_FALSE(std::signbit(lines[1].pnl)) << "a flat bar earns 0, not -0";

  const BacktestFigures f = ComputeFigures(lines, c);
  EXPECT_EQ(f.bars, 5u);
  EXPECT_EQ(f.from, 0u);
  EXPECT_EQ(f.to, 5u * 86400);
  EXPECT_EQ(f.trades, 3u);  // the long run, the short row, the long row at the end
  EXPECT_EQ(f.exposure, 3.0 / 5.0);
  EXPECT_EQ(f.total_return, lines.back().equity - 1);
  EXPECT_EQ(f.buy_and_hold, 100.0 / 100.0 - 1);
  const double years = 5 * 86400 / (365.25 * 86400);
  EXPECT_EQ(f.annual_return, std::pow(lines.back().equity, 1 / years) - 1);
  double mean = 0;
  for (int k = 1; k < 6; ++k) mean += expected[k];
  mean /= 5;
  double squares = 0;
  for (int k = 1; k < 6; ++k) squares += (expected[k] - mean) * (expected[k] - mean);
  const double deviation = std::sqrt(squares / 4);
  EXPECT_DOUBLE_EQ(f.volatility, deviation * std::sqrt(5 / years));
  EXPECT_DOUBLE_EQ(f.sharpe, mean / deviation * std::sqrt(5 / years));
  double peak = 1;
  double deepest = 0;
  for (const AccountLine& line : lines) {
    peak = std::max(peak, line.equity);
    deepest = std::max(deepest, 1 - line.equity / peak);
  }
  EXPECT_EQ(f.max_drawdown, deepest);
  EXPECT_GT(f.max_drawdown, 0);
  // The long trade earns lines 2 and 3 (a gain), the short one line 4 (a gain less 2c), the last
  // one nothing: two wins of three, no loss.
  EXPECT_EQ(f.win_rate, 2.0 / 3.0);
  EXPECT_EQ(f.profit_factor, std::numeric_limits<double>::infinity());
  const std::string report = FormatFigures(f);
  EXPECT_NE(report.find("\nprofit factor: inf\ncost: 0.001\n"), std::string::npos) << report;
  EXPECT_EQ(report.substr(0, 32), "bars: 5\nfrom: 0\nto: 432000\ntrade");

  // Short on the rise from 101 to 103: a losing trade makes the profit factor finite.
  lines[1].position = -1;
  SettleAccount(lines, c);
  const BacktestFigures g = ComputeFigures(lines, c);
  EXPECT_EQ(g.trades, 4u);
  EXPECT_LT(g.profit_factor, std::numeric_limits<double>::infinity());
  EXPECT_GT(g.profit_factor, 0);

  // The CSV: one line per row, the shortest texts.
  const std::string csv = FormatAccountCsv(lines);
  EXPECT_EQ(csv.substr(0, csv.find('\n', 38) + 1),
            "time,close,output,position,pnl,equity\n0,100,0.5,0,0,1\n");
}

TEST(BacktestTest, RefusesBadInputNamingWhatIsWrong) {
  const std::vector<Bar> bars = Ar1Bars(200);
  Perceptron net = SeededNetwork({10, 3, 1}, 1);
  Perceptron two_outputs = SeededNetwork({10, 3, 2}, 1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* what;
    Perceptron* net;
    std::vector<Bar> bars;
    BarDatasetOptions recipe;
    BacktestOptions options;
    const char* error;
  };
  BacktestOptions cost_below;
  cost_below.rules.cost = -0.001;
  BacktestOptions cost_nan;
  cost_nan.rules.cost = nan;
  BacktestOptions cost_inf;
  cost_inf.rules.cost = inf;
  BacktestOptions threshold_below;
  threshold_below.rules.threshold = -1;
  BacktestOptions reversed;
  reversed.from = bars[100].time;
  reversed.to = bars[50].time;
  BacktestOptions one_row;
  one_row.from = bars[100].time;
  one_row.to = bars[100].time;
  BacktestOptions late;
  late.from = bars.back().time + 1;
  const std::vector<Bar> few(bars.begin(), bars.begin() + 11);
  for (const Case& c : {
           Case{"cost below 0", &net, bars, {}, cost_below, "the cost -0.001 is not"},
           Case{"cost NaN", &net, bars, {}, cost_nan, "the cost nan is not a finite"},
           Case{"cost infinite", &net, bars, {}, cost_inf, "the cost inf is not a finite"},
           Case{"threshold below 0", &net, bars, {}, threshold_below, "the threshold -1"},
           Case{"two outputs", &two_outputs, bars, {}, {}, "has 2 outputs"},
           Case{"recipe of 5 inputs", &net, bars, {5}, {}, "rows of 5 inputs"},
           Case{"too few bars", &net, few, {}, {}, "11 bars make no rows"},
           Case{"from after to", &net, bars, {}, reversed, "is empty"},
           Case{"one row", &net, bars, {}, one_row, "are 1 of the log's"},
           Case{"after the log", &net, bars, {}, late, "are 0 of the log's"},
       }) {
    try {
      RunBacktest(*c.net, c.bars, c.recipe, c.options);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const BarDataError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
          << c.what << ": " << e.what();
    }
  }
}

// Every bar after bar `cut` changed, or removed: every line up to that bar stays the same, byte for
// byte, for every recipe. Removed bars take the rows whose targets they were with them: the rows
// up to `horizon` bars before the cut stay.
TEST(BacktestTest, NoLineLooksPastItsBar) {
  const std::vector<Bar> bars = Ar1Bars(1500);
  for (const BarDatasetOptions recipe :
       {BarDatasetOptions{},
        BarDatasetOptions{6, BarFeatures::kReturnsRangeVolume, 3, BarTarget::kDirection},
        BarDatasetOptions{5, BarFeatures::kReturns, 2, BarTarget::kReturn}}) {
    Perceptron net = TrainedOn(bars, recipe);
    BacktestOptions options;
    options.rules.cost = 2e-4;
    options.rules.threshold = 0.01;
    const std::vector<AccountLine> whole = RunBacktest(net, bars, recipe, options).lines;
    for (std::size_t cut = 300; cut < bars.size(); cut += 97) {
      SCOPED_TRACE(RecipeText(recipe) + ", bars after " + std::to_string(cut));
      const std::vector<Bar> changed = ChangedAfter(bars, cut, cut);
      const std::vector<Bar> cut_off(bars.begin(), bars.begin() + static_cast<long>(cut) + 1);
      const std::string want = LinesUpTo(whole, bars[cut].time);
      ASSERT_GT(want.size(), 1000u);
      EXPECT_EQ(LinesUpTo(RunBacktest(net, changed, recipe, options).lines, bars[cut].time), want);
      const std::uint32_t decided = bars[cut - static_cast<std::size_t>(recipe.horizon)].time;
      EXPECT_EQ(LinesUpTo(RunBacktest(net, cut_off, recipe, options).lines, decided),
                LinesUpTo(whole, decided));
    }
  }
}

WalkForwardSettings SmallWalk() {
  WalkForwardSettings settings;
  settings.train_bars = 400;
  settings.test_bars = 150;
  settings.hidden = 3;
  settings.every_row.stop.max_epochs = 30;
  settings.every_row.stop.patience = 10;
  settings.rules.cost = 1e-4;
  return settings;
}

TEST(WalkForwardTest, FoldsTrainOnThePastAndTradeAsOneAccount) {
  const std::vector<Bar> bars = Ar1Bars(1000);
  const WalkForwardSettings settings = SmallWalk();
  const WalkForward walk = RunWalkForward(bars, settings);
  ASSERT_EQ(walk.folds.size(), 4u);  // test windows from bars 400, 550, 700 and 850
  std::size_t line = 0;
  for (const WalkForwardFold& fold : walk.folds) {
    SCOPED_TRACE("fold " + std::to_string(fold.number));
    EXPECT_EQ(fold.first_line, line);
    line += fold.lines;
    const std::uint32_t first_test = walk.joined.lines[fold.first_line].time;
    EXPECT_LT(fold.train_to, first_test);
    EXPECT_EQ(fold.train_from, bars[400 + 150 * (fold.number - 1) - 400].time);
    // The latest fifth of the window's rows decides the epochs; the network learns from them all.
    EXPECT_EQ(fold.validation_rows, fold.train_rows / 5);
    EXPECT_LE(fold.epochs, 30u);
    // The fold's file holds the recipe, and the network it holds gives the lines' outputs.
    const ProfileDocument document(ProfileBytes{fold.network_file});
    EXPECT_EQ(document.Value("Recipe", "window"), "10");
    const std::unique_ptr<Perceptron> net = LoadNetwork(document, "fold");
    const std::vector<BarRow> rows = MakeBarRows(bars, settings.recipe);
    std::vector<BarRow> test;
    for (const BarRow& row : rows) {
      if (row.time >= first_test &&
          row.time <= walk.joined.lines[fold.first_line + fold.lines - 1].time) {
        test.push_back(row);
      }
    }
    ASSERT_EQ(test.size(), fold.lines);
    const std::vector<double> outputs = RunRows(*net, test);
    for (std::size_t k = 0; k < test.size(); ++k) {
      ASSERT_EQ(outputs[k], walk.joined.lines[fold.first_line + k].output) << k;
    }
  }
  EXPECT_EQ(line, walk.joined.lines.size());
  // One account: the position carries into the next fold, and so does its cost.
  std::vector<AccountLine> again = walk.joined.lines;
  SettleAccount(again, settings.rules.cost);
  EXPECT_EQ(FormatAccountCsv(again), FormatAccountCsv(walk.joined.lines));
  EXPECT_NE(FormatFoldLine(walk, walk.folds[0]).find("fold 1: train from 1700000000 to "),
            std::string::npos)
      << FormatFoldLine(walk, walk.folds[0]);

  WalkForwardSettings too_long = settings;
  too_long.train_bars = 1000;
  EXPECT_THROW(RunWalkForward(bars, too_long), BarDataError);
  WalkForwardSettings cost_nan = settings;
  cost_nan.rules.cost = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THROW(RunWalkForward(bars, cost_nan), BarDataError);
}

TEST(WalkForwardTest, NoLineLooksPastItsBar) {
  const std::vector<Bar> bars = Ar1Bars(1000);
  const WalkForwardSettings settings = SmallWalk();
  const WalkForward whole = RunWalkForward(bars, settings);
  for (const std::size_t cut : {620u, 850u}) {
    SCOPED_TRACE("bars after " + std::to_string(cut));
    const std::vector<Bar> changed = ChangedAfter(bars, cut, cut);
    const std::vector<Bar> cut_off(bars.begin(), bars.begin() + static_cast<long>(cut) + 1);
    const WalkForward walk_changed = RunWalkForward(changed, settings);
    const WalkForward walk_cut = RunWalkForward(cut_off, settings);
    EXPECT_EQ(LinesUpTo(walk_changed.joined.lines, bars[cut].time),
              LinesUpTo(whole.joined.lines, bars[cut].time));
    EXPECT_EQ(LinesUpTo(walk_cut.joined.lines, bars[cut - 1].time),
              LinesUpTo(whole.joined.lines, bars[cut - 1].time));
    // The folds that trained before the cut trained the same networks.
    for (const WalkForward* walk : {&walk_changed, &walk_cut}) {
      for (std::size_t f = 0; f < walk->folds.size(); ++f) {
        if (settings.train_bars + settings.test_bars * f <= cut) {
          EXPECT_EQ(walk->folds[f].network_file, whole.folds[f].network_file) << "fold " << f + 1;
        }
      }
    }
  }
}

}  // namespace
}  // namespace mplnet
