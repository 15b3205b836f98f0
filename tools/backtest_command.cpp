// mplnet backtest: what trading on a network's outputs over a bar log would have earned, after
// costs, with the network's recipe building its inputs.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "mplnet/backtest.h"
#include "mplnet/bar_recipe.h"
#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
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

void RunBacktestCommand(const BacktestArguments& args) {
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
}

}  // namespace

Command AddBacktestCommand(CLI::App& app) {
  auto args = std::make_shared<BacktestArguments>();
  CLI::App* cmd = AddSubcommand(app, "backtest", "What trading on a network over a bar log earns",
                                help::kBacktest);
  AddNetworkArgument(cmd, args->net_path);
  cmd->add_option("LOG", args->log_path, "bar log")->required();
  AddTradingOptions(cmd, args->trading);
  cmd->add_option("--from", args->from, "the first row's time at least TIME (inclusive)")
      ->type_name("TIME");
  cmd->add_option("--to", args->to, "the last row's time at most TIME (inclusive)")
      ->type_name("TIME");
  AddRecipeOptions(cmd, args->recipe, true);
  return {cmd, [args] { RunBacktestCommand(*args); }};
}

}  // namespace mplnet::tool
