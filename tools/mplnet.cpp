// mplnet: make, inspect and run the networks kept in network files, without writing a host program.
//
// A thin layer over the library: it parses arguments, calls the library the way a host does,
// prints, and exits with 0, or with 1 after one message line on standard error. This file is the
// entry point: each command lives in a file of its own (tools/commands.h).
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "tools/commands.h"
#include "tools/network_report.h"

#ifndef MPLNET_VERSION
#define MPLNET_VERSION "unknown"
#endif

namespace mplnet::tool {
namespace {

int Main(int argc, char** argv) {
  CLI::App app{
      "mplnet: make, inspect, train and run feed-forward networks kept in network files.\n"
      "Exit code 0 on success; 1 with one message on standard error otherwise."};
  app.set_version_flag("--version", MPLNET_VERSION);
  app.require_subcommand(1);

  const Command run = AddRunCommand(app);
  const Command make = AddNewCommand(app);
  const Command info = AddInfoCommand(app);
  const Command dot = AddDotCommand(app);
  const Command bars = AddBarsCommand(app);
  const Command import = AddImportCommand(app);
  const Command exporting = AddExportCommand(app);
  const Command train = AddTrainCommand(app);
  const Command eval = AddEvalCommand(app);
  const Command backtest = AddBacktestCommand(app);
  const Command walkforward = AddWalkForwardCommand(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::string help = "mplnet --help";
    for (const CLI::App* sub :
         {run.app, make.app, info.app, dot.app, bars.app, import.app, exporting.app, train.app,
          eval.app, backtest.app, walkforward.app}) {
      if (sub->parsed()) help = "mplnet " + sub->get_name() + " --help";
    }
    if (argc > 1 && argv[1][0] != '-' && help == "mplnet --help") {
      std::cerr << "mplnet: unknown command \"" << argv[1]
                << "\": the commands are run, new, info, dot, bars, import, export, train, eval, "
                   "backtest and walkforward"
                << " (see mplnet --help)\n";
    } else {
      std::cerr << "mplnet: " << e.what() << " (see " << help << ")\n";
    }
    return 1;
  }

  try {
    if (run.app->parsed()) return run.run();
    if (make.app->parsed()) return make.run();
    if (info.app->parsed()) return info.run();
    if (dot.app->parsed()) return dot.run();
    if (bars.app->parsed()) return bars.run();
    if (import.app->parsed()) return import.run();
    if (exporting.app->parsed()) return exporting.run();
    if (train.app->parsed()) return train.run();
    if (eval.app->parsed()) return eval.run();
    if (backtest.app->parsed()) return backtest.run();
    if (walkforward.app->parsed()) return walkforward.run();
  } catch (const Error& e) {
    // The one place a failure becomes the tool's message: the tool's own and every library's
    // errors name the place and the reason, and are printed as they are.
    std::cerr << "mplnet: " << e.what() << '\n';
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "mplnet: unexpected error: " << e.what() << '\n';
    return 1;
  }
  return 1;
}

}  // namespace
}  // namespace mplnet::tool

int main(int argc, char** argv) {
  try {
    return mplnet::tool::Main(argc, argv);
  } catch (...) {  // the parser's own set-up failed (out of memory, say)
    std::fputs("mplnet: unexpected error\n", stderr);
    return 1;
  }
}
