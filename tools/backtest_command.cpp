// mplnet backtest: what trading on a network's outputs over a bar log would have earned, after
// costs, with the network's recipe building its inputs.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "mplnet/backtest.h"
#include "mplnet/bar_recipe.h"
#include "tools/commands.h"
#include "tools/network_report.h"
#include "tools/trading_options.h"

namespace mplnet::tool {
namespace {

struct BacktestArguments {
  std::string net_path;
  std::string log_path;
  RecipeArguments recipe;
  TradingArguments trading;
  std::optional<std::uint32_t> from;
  std::optional<std::uint32_t> to;
};

int RunBacktestCommand(const BacktestArguments& args) {
  const std::unique_ptr<Perceptron> net = LoadNetworkFile(args.net_path);
  CheckTradingOutputs(args.trading);
  const BarDatasetOptions recipe =
      ChooseRecipe(ReadNetworkRecipe(args.net_path), args.recipe, args.net_path);
  const BarLog log = ReadBarLogFile(args.log_path, false);
  BacktestOptions options;
  options.rules = args.trading.rules;
  options.from = args.from;
  options.to = args.to;
  const Backtest backtest = RunBacktest(*net, log.bars, recipe, options);
  WriteTradingOutputs(args.trading, backtest.lines, "backtest of " + args.net_path);
  PrintReport(FormatFigures(backtest.figures));
  return 0;
}

}  // namespace

Command AddBacktestCommand(CLI::App& app) {
  auto args = std::make_shared<BacktestArguments>();
  CLI::App* cmd = app.add_subcommand("backtest", "What trading on a network over a bar log earns");
  cmd->footer(
      "Makes rows from LOG exactly as mplnet bars does, with the recipe kept in NET (or, for a "
      "network without one, from --window, --features, --horizon and --target), runs NET on each "
      "row as a host's MPLRun does, and trades on its output o: at the close of a row's bar the "
      "position is +1 when o > m + T, -1 when o < m - T (0 with --long-only), else 0, m being "
      "0.5 for a sigmoid output and 0 for TH. The position is held to the next row and earns "
      "p * ln(close[k] / close[k-1]) - C * |change of position|.\n\n"
      "Prints bars, from, to, trades, exposure, return, buy and hold, annual return, volatility, "
      "sharpe, max drawdown, win rate, profit factor and cost, one \"key: value\" line each, "
      "numbers as the shortest text that reads back to the same double. Times are the log's "
      "(seconds since 1970, UTC). docs/backtest.md gives every formula.");
  cmd->add_option("NET", args->net_path, "network file")->required();
  cmd->add_option("LOG", args->log_path, "bar log")->required();
  AddTradingOptions(cmd, args->trading);
  cmd->add_option("--from", args->from, "the first row's time at least TIME (inclusive)")
      ->type_name("TIME");
  cmd->add_option("--to", args->to, "the last row's time at most TIME (inclusive)")
      ->type_name("TIME");
  AddRecipeOptions(cmd, args->recipe, true);
  return {cmd, [args] { return RunBacktestCommand(*args); }};
}

}  // namespace mplnet::tool
