// Walk-forward evaluation: folds trained one after the other, traded as one account.
#include "mplnet/walkforward.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "mplnet/bar_recipe.h"
#include "mplnet/shortest_text.h"
#include "persistence/network_file.h"
#include "persistence/profile_file.h"
#include "persistence/shown_text.h"

namespace mplnet {
namespace {

DataTable TableOf(const std::vector<BarRow>& rows, std::size_t inputs) {
  DataTable table(inputs, 1);
  std::vector<double> values;
  for (const BarRow& row : rows) {
    values.assign(row.inputs.begin(), row.inputs.end());
    values.push_back(row.target);
    table.AddRow(values);
  }
  return table;
}

void CheckSettings(const std::vector<Bar>& bars, const WalkForwardSettings& s) {
  CheckTradingRules(s.rules);
  if (!kTrainBarsSetting.Accepts(s)) throw BarDataError(kTrainBarsSetting.Refusal());
  if (!kTestBarsSetting.Accepts(s)) throw BarDataError(kTestBarsSetting.Refusal());
  if (!kHiddenSetting.Accepts(s)) throw BarDataError(kHiddenSetting.Refusal());
  if (!kHoldoutSetting.Accepts(s.every_row)) throw BarDataError(kHoldoutSetting.Refusal());
  if (s.train_bars >= bars.size()) {
    throw BarDataError("the log holds " + std::to_string(bars.size()) +
                       " bars: a training window of " + std::to_string(s.train_bars) +
                       " leaves no bar to test on");
  }
}

}  // namespace

FoldFigures ComputeFoldFigures(const WalkForward& walk, const WalkForwardFold& fold) {
  FoldFigures f;
  const std::vector<AccountLine>& lines = walk.joined.lines;
  double summed = 0.0;
  const std::size_t end = fold.first_line + fold.lines;
  for (std::size_t k = fold.first_line; k < end; ++k) {
    summed += lines[k].pnl;
    const int before = k == 0 ? 0 : lines[k - 1].position;
    if (lines[k].position != 0 && lines[k].position != before) ++f.trades;
  }
  f.total_return = std::exp(summed) - 1.0;
  f.buy_and_hold =
      fold.lines == 0 ? 0.0 : lines[end - 1].close / lines[fold.first_line].close - 1.0;
  return f;
}

std::string FormatFoldLine(const WalkForward& walk, const WalkForwardFold& fold) {
  const FoldFigures f = ComputeFoldFigures(walk, fold);
  const std::vector<AccountLine>& lines = walk.joined.lines;
  std::string out =
      "fold " + std::to_string(fold.number) + ": train from " + std::to_string(fold.train_from) +
      " to " + std::to_string(fold.train_to) + " (" + Counted(fold.train_rows, "row", "rows") +
      ", " + Counted(fold.epochs, "epoch", "epochs") +
      (fold.validation_rows > 0 ? " decided on the latest " + std::to_string(fold.validation_rows)
                                : std::string()) +
      "), test from " + std::to_string(lines[fold.first_line].time) + " to " +
      std::to_string(lines[fold.first_line + fold.lines - 1].time) + " (" +
      std::to_string(fold.lines) + " rows), return ";
  AppendShortest(out, f.total_return);
  out += ", buy and hold ";
  AppendShortest(out, f.buy_and_hold);
  out += ", trades " + std::to_string(f.trades) + "\n";
  return out;
}

WalkForward RunWalkForward(const std::vector<Bar>& bars, const WalkForwardSettings& settings,
                           const std::function<void(const WalkForwardFold&)>& each_fold) {
  CheckSettings(bars, settings);
  const std::size_t inputs = BarInputCount(settings.recipe);
  const Perceptron start =
      SeededNetwork({static_cast<int>(inputs), settings.hidden, 1}, settings.seed);
  const double middle = OutputMiddle(start);

  // The test rows are those of the whole log, as a backtest of it makes them: a row's inputs
  // reach back before its fold's first test bar, which is the past.
  const PricedRows priced = MakePricedRows(bars, settings.recipe);
  WalkForward walk;
  std::size_t row = 0;
  for (std::size_t s = settings.train_bars; s < bars.size(); s += settings.test_bars) {
    const std::size_t end = std::min(s + settings.test_bars, bars.size());
    while (row < priced.rows.size() && priced.rows[row].time < bars[s].time) ++row;
    std::size_t stop = row;
    while (stop < priced.rows.size() && priced.rows[stop].time <= bars[end - 1].time) ++stop;
    if (stop == row) continue;  // no row to trade on: nothing to train for

    WalkForwardFold fold;
    fold.number = walk.folds.size() + 1;
    const std::string name = "fold " + std::to_string(fold.number);
    const std::vector<Bar> window(
        bars.begin() + static_cast<std::ptrdiff_t>(s - settings.train_bars),
        bars.begin() + static_cast<std::ptrdiff_t>(s));
    fold.train_from = window.front().time;
    fold.train_to = window.back().time;
    const DataTable all = TableOf(MakeBarRows(window, settings.recipe), inputs);
    if (all.rows() < 2) {
      throw BarDataError(name + ": its " + std::to_string(window.size()) + " training bars make " +
                         std::to_string(all.rows()) + " rows, too few to train on");
    }
    // Trained as mplnet train trains by default: the latest rows of the window decide the number
    // of epochs, then the network learns from every row of the window.
    EveryRowOutcome outcome;
    const Perceptron trained =
        TrainOnEveryRow(start, all, settings.train, settings.every_row, nullptr, &outcome);
    fold.train_rows = outcome.refitted ? all.rows() : all.rows() - outcome.held_rows;
    fold.validation_rows = outcome.held_rows;
    fold.epochs = outcome.refitted ? outcome.refit.epochs : outcome.decided.best_epoch;
    if (!AllFinite(trained)) {
      throw BarDataError(name + ": training diverged, the weights are no longer finite");
    }
    // The outputs are those of the network as its file keeps it (15 significant digits), read
    // back by the library's reader: what a host loading the fold's file runs.
    fold.network_file = NetworkFileContent(trained, settings.recipe);
    const ProfileDocument document(ProfileBytes{fold.network_file});
    const std::unique_ptr<Perceptron> net = LoadNetwork(document, name);

    const std::span<const BarRow> rows(priced.rows.data() + row, stop - row);
    const std::vector<double> outputs = RunRows(*net, rows);
    fold.first_line = walk.joined.lines.size();
    fold.lines = rows.size();
    for (std::size_t k = 0; k < rows.size(); ++k) {
      AccountLine line;
      line.time = rows[k].time;
      line.close = priced.closes[row + k];
      line.output = outputs[k];
      line.position = DecidePosition(outputs[k], middle, settings.rules);
      walk.joined.lines.push_back(line);
    }
    if (each_fold) each_fold(fold);
    walk.folds.push_back(std::move(fold));
    row = stop;
  }
  if (walk.joined.lines.size() < 2) {
    throw BarDataError("the test windows hold " + std::to_string(walk.joined.lines.size()) +
                       " rows; a backtest needs at least 2");
  }
  SettleAccount(walk.joined.lines, settings.rules.cost);
  walk.joined.figures = ComputeFigures(walk.joined.lines, settings.rules.cost);
  return walk;
}

}  // namespace mplnet
