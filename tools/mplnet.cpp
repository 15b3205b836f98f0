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
#include <vector>

#include "tools/commands.h"
#include "tools/network_report.h"

#ifndef MPLNET_VERSION
#define MPLNET_VERSION "unknown"
#endif

namespace mplnet::tool {
namespace {

// "run, new and info": the commands' names, as a sentence lists them.
std::string CommandNames(const std::vector<Command>& commands) {
  std::string names;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    if (i > 0) names += i + 1 < commands.size() ? ", " : " and ";
    names += commands[i].app->get_name();
  }
  return names;
}

int Main(int argc, char** argv) {
  CLI::App app{
      "mplnet: make, inspect, train and run feed-forward networks kept in network files.\n"
      "Exit code 0 on success; 1 with one message on standard error otherwise."};
  app.set_version_flag("--version", MPLNET_VERSION);
  app.require_subcommand(1);

  // In the order the help lists them.
  const std::vector<Command> commands = {
      AddRunCommand(app),  AddNewCommand(app),      AddInfoCommand(app),       AddDotCommand(app),
      AddBarsCommand(app), AddImportCommand(app),   AddExportCommand(app),     AddTrainCommand(app),
      AddEvalCommand(app), AddBacktestCommand(app), AddWalkForwardCommand(app)};

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version
  } catch (const CLI::ParseError& e) {
    std::string help = "mplnet --help";
    for (const Command& command : commands) {
      if (command.app->parsed()) help = "mplnet " + command.app->get_name() + " --help";
    }
    if (argc > 1 && argv[1][0] != '-' && help == "mplnet --help") {
      std::cerr << "mplnet: unknown command \"" << argv[1] << "\": the commands are "
                << CommandNames(commands) << " (see mplnet --help)\n";
    } else {
      std::cerr << "mplnet: " << e.what() << " (see " << help << ")\n";
    }
    return 1;
  }

  try {
    for (const Command& command : commands) {
      if (!command.app->parsed()) continue;
      command.run();
      return 0;
    }
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
  } catch (...) {  // setting up the commands failed (out of memory, or a help text's slip)
    std::fputs("mplnet: unexpected error\n", stderr);
    return 1;
  }
}
