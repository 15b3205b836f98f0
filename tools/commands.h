// Subcommands of the mplnet tool that live in files of their own. Each registers itself on the
// tool's command line and hands back how to run it once the command line is parsed.
#ifndef MPLNET_TOOLS_COMMANDS_H_
#define MPLNET_TOOLS_COMMANDS_H_

#include <CLI/CLI.hpp>
#include <functional>

namespace mplnet::tool {

// A registered subcommand: `run` returns the exit code, or raises ToolError.
struct Command {
  CLI::App* app = nullptr;
  std::function<int()> run;
};

// mplnet bars: a bar log turned into a training table.
Command AddBarsCommand(CLI::App& app);
// mplnet import: a FANN network file or an ONNX model turned into a network file of ours.
Command AddImportCommand(CLI::App& app);
// mplnet export: a network file written as an ONNX model.
Command AddExportCommand(CLI::App& app);
// mplnet train: a network's weights fitted to a data table, saved as a new network file.
Command AddTrainCommand(CLI::App& app);
// mplnet eval: a network file's error on a data table, as a host computes it.
Command AddEvalCommand(CLI::App& app);

// mplnet backtest: what trading on a network's outputs over a bar log would have earned.
Command AddBacktestCommand(CLI::App& app);
// mplnet walkforward: networks retrained window by window, each traded on the bars after it.
Command AddWalkForwardCommand(CLI::App& app);

}  // namespace mplnet::tool

#endif  // MPLNET_TOOLS_COMMANDS_H_
