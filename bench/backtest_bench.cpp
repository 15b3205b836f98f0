// Backtests and walk forwards at the sizes a trader meets: a backtest of a 10-8-1 network over
// 100,000 bars (from bars in memory, and from a bar log on disk as the tool reads it), and a walk
// forward over 30,000 hourly bars in folds of 5,000 training and 1,000 test bars, every fold
// trained with mplnet train's defaults. Items are bars.
#include <benchmark/benchmark.h>

#include <fstream>
#include <vector>

#include "bench/bench_support.h"
#include "examples/bar_series.h"
#include "host/bar_log.h"
#include "mplnet/backtest.h"
#include "mplnet/walkforward.h"

namespace mplnet {
namespace {

std::vector<RateInfo> Rates(int count) {
  examples::SeriesOptions options;
  options.bars = count;
  return examples::MakeBarSeries(options);
}

std::vector<Bar> Bars(int count) {
  std::vector<Bar> bars;
  for (const RateInfo& r : Rates(count))
    bars.push_back({r.time, r.open, r.low, r.high, r.close, r.vol});
  return bars;
}

void BM_Backtest(benchmark::State& state) {
  const std::vector<Bar> bars = Bars(static_cast<int>(state.range(0)));
  Perceptron net = SeededNetwork({10, 8, 1}, 1);
  BacktestOptions options;
  options.rules.cost = 2e-4;
  for (auto _ : state) {
    benchmark::DoNotOptimize(RunBacktest(net, bars, BarDatasetOptions{}, options));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Backtest)->Arg(100'000)->Unit(benchmark::kMillisecond);

// What `mplnet backtest` does: the log read back (each bar once, as one host call writes it), then
// the backtest, the CSV and the picture.
void BM_BacktestFromLog(benchmark::State& state) {
  const bench::BenchFolder folder;
  const std::string log = folder.file("bars.log");
  const std::vector<RateInfo> rates = Rates(static_cast<int>(state.range(0)));
  std::ofstream(log, std::ios::binary)
      << FormatBarLines(rates.data(), static_cast<int>(rates.size()), NumberSymbols{});
  Perceptron net = SeededNetwork({10, 8, 1}, 1);
  BacktestOptions options;
  options.rules.cost = 2e-4;
  for (auto _ : state) {
    const Backtest backtest =
        RunBacktest(net, ReadBarLogFile(log, false).bars, BarDatasetOptions{}, options);
    benchmark::DoNotOptimize(FormatAccountCsv(backtest.lines));
    benchmark::DoNotOptimize(EquityPlotSvg(backtest.lines, "bench"));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BacktestFromLog)->Arg(100'000)->Unit(benchmark::kMillisecond);

void BM_WalkForward(benchmark::State& state) {
  const std::vector<Bar> bars = Bars(static_cast<int>(state.range(0)));
  WalkForwardSettings settings;  // folds of 5,000 and 1,000 bars, 8 hidden neurons
  settings.rules.cost = 2e-4;
  settings.train.threads = 0;  // as the tool: the machine's cores
  std::size_t folds = 0;
  for (auto _ : state) {
    const WalkForward walk = RunWalkForward(bars, settings);
    folds = walk.folds.size();
    benchmark::DoNotOptimize(walk.joined.figures);
  }
  state.counters["folds"] = static_cast<double>(folds);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WalkForward)->Arg(30'000)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
}  // namespace mplnet
