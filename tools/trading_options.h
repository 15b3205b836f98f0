// What `mplnet backtest` and `mplnet walkforward` share: the options of a recipe (as `mplnet bars`
// takes them) and of trading, and the files they write besides the report.
#ifndef MPLNET_TOOLS_TRADING_OPTIONS_H_
#define MPLNET_TOOLS_TRADING_OPTIONS_H_

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "mplnet/backtest.h"
#include "mplnet/bar_dataset.h"

namespace mplnet::tool {

// Recipe options as given; an option not given stays empty.
struct RecipeArguments {
  std::optional<int> window;
  std::optional<std::string> features;
  std::optional<int> horizon;
  std::optional<std::string> target;
};

// Adds --window, --features, --horizon and --target, with mplnet bars' ranges and names; their help
// says when they stand in for a network's recipe.
void AddRecipeOptions(CLI::App* app, RecipeArguments& args, bool for_network);

// The recipe from the options, the defaults of mplnet bars where none is given.
BarDatasetOptions RecipeFromOptions(const RecipeArguments& args);

// The recipe `kept` in the network file `net_path` when it keeps one, refusing an option that
// disagrees with it (naming both); the options' otherwise.
BarDatasetOptions ChooseRecipe(const std::optional<BarDatasetOptions>& kept,
                               const RecipeArguments& args, const std::string& net_path);

// Trading options and the files written besides the report.
struct TradingArguments {
  TradingRules rules;
  std::string bars_out;
  std::string plot;
  bool force = false;
};

// Adds --cost, --threshold, --long-only, --bars-out, --plot and --force.
void AddTradingOptions(CLI::App* app, TradingArguments& args);

// Checks, before anything is computed, that the files asked for may be written: the rules are in
// range, each path is one the tool may replace, and the picture's extension is one it draws.
void CheckTradingOutputs(const TradingArguments& args);

// Writes the CSV of `lines` and their picture, where asked for.
void WriteTradingOutputs(const TradingArguments& args, const std::vector<AccountLine>& lines,
                         const std::string& title);

// Prints `text` on standard output; raises ToolError when it cannot be written.
void PrintReport(const std::string& text);

}  // namespace mplnet::tool

#endif  // MPLNET_TOOLS_TRADING_OPTIONS_H_
