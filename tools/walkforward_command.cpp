// mplnet walkforward: networks retrained as time goes on, each traded on the bars after its
// training window, the folds joined into one account.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "mplnet/bar_recipe.h"
#include "mplnet/walkforward.h"
#include "persistence/file_io.h"
#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
#include "tools/network_report.h"
#include "tools/option_values.h"
#include "tools/output_file.h"
#include "tools/trading_options.h"

namespace mplnet::tool {
namespace {

struct WalkForwardArguments {
  std::string log_path;
  std::string dir;
  RecipeArguments recipe;
  TradingArguments trading;
  WalkForwardSettings settings;
};

// The fold's network file in `dir`: fold-01.ini, with as many digits as the last fold needs.
std::string FoldPath(const std::string& dir, std::size_t number, std::size_t folds) {
  const std::size_t digits = std::max<std::size_t>(2, std::to_string(folds).size());
  std::string name = std::to_string(number);
  name.insert(0, digits - name.size(), '0');
  return (std::filesystem::path(dir) / ("fold-" + name + ".ini")).string();
}

void CheckDir(const std::string& dir) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(dir, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
    throw ToolError("\"" + dir + "\" is not a folder");
  }
  if (!std::filesystem::exists(status)) {
    const std::filesystem::path parent = std::filesystem::path(dir).parent_path();
    if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) {
      throw ToolError("cannot make the folder \"" + dir + "\": its folder does not exist");
    }
  }
}

void RunWalkForwardCommand(WalkForwardArguments& args) {
  CheckTradingOutputs(args.trading);
  CheckDir(args.dir);
  WalkForwardSettings& settings = args.settings;
  settings.recipe = RecipeFromOptions(args.recipe);
  settings.rules = args.trading.rules;
  settings.train.threads = 0;  // as mplnet train: the machine's cores
  const BarLog log = ReadBarLogFile(args.log_path, false);
  const WalkForward walk = RunWalkForward(log.bars, settings, [](const WalkForwardFold& fold) {
    std::cerr << "fold " << fold.number << ": trained on " << fold.train_rows << " rows for "
              << fold.epochs << " epochs\n";
  });
  // Every file is checked before any is written.
  std::vector<std::string> paths;
  for (const WalkForwardFold& fold : walk.folds) {
    paths.push_back(FoldPath(args.dir, fold.number, walk.folds.size()));
    if (!args.trading.force && std::filesystem::exists(paths.back())) {
      throw ToolError("\"" + paths.back() + "\" exists; pass --force to replace it");
    }
  }
  std::error_code ec;
  std::filesystem::create_directory(args.dir, ec);
  if (ec) throw ToolError("cannot make the folder \"" + args.dir + "\": " + ec.message());
  for (std::size_t i = 0; i < walk.folds.size(); ++i) {
    const std::string& content = walk.folds[i].network_file;
    if (!ReplaceFileAtomically(paths[i],
                               [&content](const ContentSink& sink) { return sink(content); })) {
      throw ToolError("cannot write \"" + paths[i] + "\"");
    }
  }
  WriteTradingOutputs(args.trading, walk.joined.lines, "walk forward on " + args.log_path);
  std::string report = FormatFigures(walk.joined.figures);
  for (const WalkForwardFold& fold : walk.folds) report += FormatFoldLine(walk, fold);
  PrintReport(report);
}

}  // namespace

Command AddWalkForwardCommand(CLI::App& app) {
  auto args = std::make_shared<WalkForwardArguments>();
  CLI::App* cmd = AddSubcommand(
      app, "walkforward", "Retrain a network window by window and trade each on the bars after it",
      help::kWalkforward);
  cmd->add_option("LOG", args->log_path, "bar log")->required();
  AddOutputOption(cmd, args->dir, "DIR", "the folder for the folds' network files");
  AddSetting(cmd, kTrainBarsSetting, args->settings);
  AddSetting(cmd, kTestBarsSetting, args->settings);
  AddSetting(cmd, kHiddenSetting, args->settings);
  AddSetting(cmd, kStartSeedSetting, args->settings);
  AddSetting(cmd, kMaxEpochsSetting, args->settings.every_row.stop);
  AddTradingOptions(cmd, args->trading);
  AddRecipeOptions(cmd, args->recipe, false);
  return {cmd, [args] { RunWalkForwardCommand(*args); }};
}

}  // namespace mplnet::tool
