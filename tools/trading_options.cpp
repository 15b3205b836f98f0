#include "tools/trading_options.h"

#include <filesystem>
#include <iostream>

#include "mplnet/bar_recipe.h"
#include "persistence/file_io.h"
#include "tools/network_report.h"
#include "tools/option_values.h"
#include "tools/output_file.h"

namespace mplnet::tool {
namespace {

void WriteText(const std::string& path, const std::string& text) {
  if (!ReplaceFileAtomically(path, [&text](const ContentSink& sink) { return sink(text); })) {
    throw ToolError("cannot write \"" + path + "\"");
  }
}

std::string Disagreement(const std::string& net_path, const char* option, const std::string& kept,
                         const std::string& given) {
  return "the network \"" + net_path + "\" was trained on rows made with " + option + " " + kept +
         ", not " + option + " " + given + " as given";
}

// Adds the option of a recipe's whole-number setting, given or not.
void AddRecipeSetting(CLI::App* app, const Setting<BarDatasetOptions, int>& setting,
                      std::optional<int>& value, const std::string& when) {
  app->add_option(
         "--" + std::string(setting.name), value,
         std::string(setting.help) + when + " (default " + std::to_string(setting.Default()) + ")")
      ->transform(WholeIn(setting.range))
      ->type_name(std::string(setting.value_name));
}

}  // namespace

void AddRecipeOptions(CLI::App* app, RecipeArguments& args, bool for_network) {
  const BarDatasetOptions defaults;
  // With a network the options only stand in for a recipe it does not keep.
  const std::string when = for_network ? ", for a network without a recipe" : "";
  AddRecipeSetting(app, kWindowSetting, args.window, when);
  app->add_option("--features", args.features,
                  "returns, or returns,range,volume" + when + " (default " +
                      std::string(FeaturesName(defaults.features)) + ")")
      ->type_name("LIST")
      ->check(CLI::Validator(
          [](const std::string& value) -> std::string {
            if (FeaturesNamed(value)) return "";
            return "\"" + value + "\" is neither returns nor returns,range,volume";
          },
          ""));
  AddRecipeSetting(app, kHorizonSetting, args.horizon, when);
  app->add_option("--target", args.target,
                  "direction or return" + when + " (default " +
                      std::string(TargetName(defaults.target)) + ")")
      ->type_name("KIND")
      ->check(CLI::IsMember({"direction", "return"}));
}

BarDatasetOptions RecipeFromOptions(const RecipeArguments& args) {
  BarDatasetOptions recipe;
  if (args.window) recipe.window = *args.window;
  if (args.horizon) recipe.horizon = *args.horizon;
  if (args.features) recipe.features = *FeaturesNamed(*args.features);
  if (args.target) recipe.target = *TargetNamed(*args.target);
  return recipe;
}

BarDatasetOptions ChooseRecipe(const std::optional<BarDatasetOptions>& kept,
                               const RecipeArguments& args, const std::string& net_path) {
  if (!kept) return RecipeFromOptions(args);
  if (args.window && *args.window != kept->window) {
    throw ToolError(Disagreement(net_path, "--window", std::to_string(kept->window),
                                 std::to_string(*args.window)));
  }
  if (args.horizon && *args.horizon != kept->horizon) {
    throw ToolError(Disagreement(net_path, "--horizon", std::to_string(kept->horizon),
                                 std::to_string(*args.horizon)));
  }
  if (args.features && *FeaturesNamed(*args.features) != kept->features) {
    throw ToolError(Disagreement(net_path, "--features", std::string(FeaturesName(kept->features)),
                                 *args.features));
  }
  if (args.target && *TargetNamed(*args.target) != kept->target) {
    throw ToolError(
        Disagreement(net_path, "--target", std::string(TargetName(kept->target)), *args.target));
  }
  return *kept;
}

void AddTradingOptions(CLI::App* app, TradingArguments& args) {
  app->add_option("--cost", args.rules.cost,
                  "cost per unit of position change, as a fraction of the price")
      ->capture_default_str()
      ->type_name("C");
  app->add_option("--threshold", args.rules.threshold,
                  "long above the output's middle + T, short below the middle - T")
      ->capture_default_str()
      ->type_name("T");
  app->add_flag("--long-only", args.rules.long_only, "no short positions: flat instead");
  app->add_option("--bars-out", args.bars_out,
                  "write each row's time, close, output, position, pnl and equity as CSV")
      ->type_name("FILE");
  app->add_option("--plot", args.plot, "draw equity, buy and hold and drawdown (SVG)")
      ->type_name("FILE.svg");
  app->add_flag("--force", args.force, "replace files that exist");
}

void CheckTradingOutputs(const TradingArguments& args) {
  CheckTradingRules(args.rules);
  if (!args.bars_out.empty()) CheckOutputPath(args.bars_out, args.force);
  if (!args.plot.empty()) {
    if (std::filesystem::path(args.plot).extension() != ".svg") {
      throw ToolError("--plot \"" + args.plot +
                      "\": the picture is drawn as SVG, to a file "
                      "ending in .svg");
    }
    CheckOutputPath(args.plot, args.force);
  }
  if (!args.bars_out.empty() && args.bars_out == args.plot) {
    throw ToolError("--bars-out and --plot name the same file \"" + args.plot + "\"");
  }
}

void WriteTradingOutputs(const TradingArguments& args, const std::vector<AccountLine>& lines,
                         const std::string& title) {
  if (!args.bars_out.empty()) WriteText(args.bars_out, FormatAccountCsv(lines));
  if (!args.plot.empty()) WriteText(args.plot, EquityPlotSvg(lines, title));
}

void PrintReport(const std::string& text) {
  std::cout << text;
  FinishStandardOutput("report");
}

}  // namespace mplnet::tool
