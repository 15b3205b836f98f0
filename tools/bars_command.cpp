// mplnet bars: a bar log turned into a table of rows for training, with a report of what the log
// held on standard error.
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

#include "mplnet/bar_dataset.h"
#include "mplnet/bar_recipe.h"
#include "persistence/file_io.h"
#include "persistence/shown_text.h"
#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
#include "tools/network_report.h"
#include "tools/option_values.h"
#include "tools/output_file.h"

namespace mplnet::tool {
namespace {

struct BarsArguments {
  std::string log_path;
  OutputFile table;
  BarDatasetOptions options;  // window and horizon; the names below give the rest
  std::string features{BarFeaturesName(BarDatasetOptions{}.features)};
  std::string target{TargetName(BarDatasetOptions{}.target)};
  bool skip_bad = false;
};

void Report(const BarsArguments& args, const BarLogSummary& s, std::size_t bars) {
  std::cerr << "bar log \"" << args.log_path << "\": " << Counted(s.lines, "bar line", "bar lines")
            << " read, " << Counted(bars, "distinct time", "distinct times") << ", "
            << Counted(s.replaced, "duplicate", "duplicates") << " replaced\n";
  if (args.skip_bad) {
    std::cerr << "skipped: " << Counted(s.skipped, "line", "lines") << " that did not parse\n";
  }
  if (bars > 1) {
    std::cerr << "time steps: most common " << s.spacing << ", " << Counted(s.gaps, "gap", "gaps")
              << " larger";
    if (s.gaps > 0) std::cerr << " (the largest " << s.largest << ")";
    std::cerr << '\n';
  }
}

void RunBars(const BarsArguments& args) {
  BarDatasetOptions options = args.options;
  options.features = ReadBarFeatures(args.features);
  options.target = *TargetNamed(args.target);

  CheckOutputPath(args.table);
  std::error_code ec;
  if (std::filesystem::equivalent(args.log_path, args.table.path, ec)) {
    throw ToolError("the table \"" + args.table.path + "\" would replace the bar log");
  }
  const BarLog log = ReadBarLogFile(args.log_path, args.skip_bad);
  Report(args, log.summary, log.bars.size());
  const std::vector<BarRow> rows = MakeBarRows(log.bars, options);
  if (rows.empty()) {
    throw ToolError("no rows: " + Counted(log.bars.size(), "bar is", "bars are") +
                    " too few for a window of " + std::to_string(options.window) +
                    " and a horizon of " + std::to_string(options.horizon) +
                    (options.target == BarTarget::kReturn
                         ? " with a return target, which needs 100 earlier returns"
                         : ""));
  }
  const std::string table = FormatBarTable(rows, options);
  if (!ReplaceFileAtomically(args.table.path,
                             [&table](const ContentSink& sink) { return sink(table); })) {
    throw ToolError("cannot write \"" + args.table.path + "\"");
  }
  std::cerr << "table \"" << args.table.path << "\": " << Counted(rows.size(), "row", "rows")
            << " of " << Counted(BarInputCount(options), "input", "inputs") << " and a "
            << args.target << " target\n";
}

}  // namespace

Command AddBarsCommand(CLI::App& app) {
  auto args = std::make_shared<BarsArguments>();
  CLI::App* bars =
      AddSubcommand(app, "bars", "Turn a bar log into a table to train on", help::kBars);
  bars->add_option("LOG", args->log_path, "bar log")->required();
  AddOutputFile(bars, args->table, "TABLE", "the table to write");
  AddSetting(bars, kWindowSetting, args->options);
  bars->add_option("--features", args->features, "returns, or returns,range,volume")
      ->capture_default_str()
      ->type_name("LIST")
      ->transform(BarFeatureList());
  AddSetting(bars, kHorizonSetting, args->options);
  bars->add_option("--target", args->target, "direction or return")
      ->capture_default_str()
      ->type_name("KIND")
      ->check(CLI::IsMember({std::string(TargetName(BarTarget::kDirection)),
                             std::string(TargetName(BarTarget::kReturn))}));
  bars->add_flag("--skip-bad", args->skip_bad, "pass over lines that do not parse, and count them");
  return {bars, [args] { RunBars(*args); }};
}

}  // namespace mplnet::tool
