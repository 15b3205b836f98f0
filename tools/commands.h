// The subcommands of the mplnet tool, each in a file of its own (tools/<name>_command.cpp). Each
// registers itself on the tool's command line and hands back how to run it once the command line
// is parsed.
#ifndef MPLNET_TOOLS_COMMANDS_H_
#define MPLNET_TOOLS_COMMANDS_H_

#include <CLI/CLI.hpp>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

namespace mplnet {
class Perceptron;
}

namespace mplnet::tool {

// A registered subcommand: `run` does its work once the command line is parsed; a failure is an
// Error (the tool's ToolError or a library's) that names what went wrong.
struct Command {
  CLI::App* app = nullptr;
  std::function<void()> run;
};

// The value of a {name} place in a help text: a limit or default the library decides, so that the
// text cannot drift from it.
struct HelpValue {
  std::string_view name;
  std::string value;
};

// Adds the subcommand `name`: `summary` is its line in the tool's list of commands, `help` (its
// text from tools/help/, "tools/help/texts.h") is printed after its options, each {name} in it
// filled from `values`. Raises std::logic_error when a place has no value or a value has no place:
// a slip of the tool's own, which then fails at every start.
CLI::App* AddSubcommand(CLI::App& app, const std::string& name, const std::string& summary,
                        std::string_view help, std::initializer_list<HelpValue> values = {});

// Adds the required argument NET: the network file a command reads, described by `what`.
void AddNetworkArgument(CLI::App* app, std::string& path, const std::string& what = "network file");

// Adds a command that loads the network file NET and hands it, with its path, to `show`, which
// prints it on standard output: mplnet info and mplnet dot.
Command AddShowNetworkCommand(
    CLI::App& app, const std::string& name, const std::string& summary, std::string_view help,
    std::function<void(const std::string& path, const Perceptron& net)> show);

// mplnet run: a network run on lines of inputs through the exports, as a host runs it.
Command AddRunCommand(CLI::App& app);
// mplnet new: a network of given layer sizes with random weights, saved into a new network file.
Command AddNewCommand(CLI::App& app);
// mplnet info: what a network file holds, and the checks of what the forward pass relies on.
Command AddInfoCommand(CLI::App& app);
// mplnet dot: a network drawn as a Graphviz graph.
Command AddDotCommand(CLI::App& app);

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
