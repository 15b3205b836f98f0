// mplnet: make, inspect and run the networks kept in network files, without writing a host program.
//
// A thin layer over the library: it parses arguments, calls the library the way a host does,
// prints, and exits with 0, or with 1 after one message line on standard error.
#include "mplnet/mplnet.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "host/tavra_dll.h"
#include "mplnet/engine.h"
#include "mplnet/train.h"
#include "mplnet/walkforward.h"
#include "persistence/network_file.h"
#include "persistence/shown_text.h"
#include "persistence/status_texts.h"
#include "tools/commands.h"
#include "tools/network_report.h"
#include "tools/number_lines.h"
#include "tools/option_values.h"
#include "tools/output_file.h"
#include "training/line_reader.h"

#ifndef MPLNET_VERSION
#define MPLNET_VERSION "unknown"
#endif

namespace mplnet::tool {
namespace {

// ---- run ----------------------------------------------------------------------------------------

// Loads the network into the library's own facade through the load export, exactly as a host does.
// The export's status text says only that the load failed; the reason comes from the reader.
void LoadThroughExport(const std::string& net_path) {
  RequireNetworkFile(net_path);
  const char* answer = MPLLoad(net_path.c_str());
  if (std::strcmp(answer, status::kLoaded) == 0) return;
  LoadNetworkFile(net_path);  // raises ToolError with file, section, key and reason
  throw ToolError(std::string("network file \"") + net_path + "\": " + answer);
}

int Run(const std::string& net_path, const std::string& inputs_path) {
  LoadThroughExport(net_path);
  const int outputs = MPLGetOutArraySize();
  if (outputs <= 0) throw ToolError("network file \"" + net_path + "\" holds no network");
  const int inputs = InputArraySize();

  std::ifstream file;
  if (inputs_path != "-") {
    file.open(inputs_path, std::ios::binary);
    if (!file) throw ToolError("cannot open inputs file \"" + inputs_path + "\"");
  }
  std::istream& in = inputs_path == "-" ? std::cin : file;

  std::vector<double> out(static_cast<std::size_t>(outputs));
  LineReader lines(in, kTableLineMaxBytes);
  std::string_view line;
  long long number = 0;
  for (LineReader::Status status; (status = lines.Next(line)) != LineReader::Status::kEnd;) {
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (status == LineReader::Status::kFailed) break;
    if (status == LineReader::Status::kTooLong) {
      throw ToolError(where + "longer than " + std::to_string(kTableLineMaxBytes >> 20) +
                      " MiB, the longest line of inputs read");
    }
    const NumberLine parsed = ParseNumberLine(number == 1 ? WithoutByteOrderMark(line) : line);
    if (!parsed.bad_piece.empty()) {
      throw ToolError(where + DescribeBadPiece(parsed));
    }
    if (parsed.values.empty()) continue;  // a blank or comment line
    if (parsed.values.size() < static_cast<std::size_t>(inputs)) {
      throw ToolError(where + "expected " +
                      Counted(static_cast<std::size_t>(inputs), "value", "values") + ", found " +
                      std::to_string(parsed.values.size()));
    }
    // Values beyond the input layer's size are ignored, as the run export ignores them.
    const int count = static_cast<int>(
        std::min<std::size_t>(parsed.values.size(), std::numeric_limits<int>::max()));
    const char* answer = MPLRun(out.data(), parsed.values.data(), count);
    if (std::strcmp(answer, status::kRan) != 0) throw ToolError(where + answer);
    std::cout << JoinShortest(out) << '\n';
  }
  if (in.bad()) throw ToolError("cannot read inputs from \"" + inputs_path + "\"");
  std::cout.flush();
  if (!std::cout) throw ToolError("cannot write the outputs");
  return 0;
}

// ---- new ----------------------------------------------------------------------------------------

// A progress bar on standard error: draws done of the total, and the time left at the pace so far.
class ProgressBar {
 public:
  explicit ProgressBar(std::uint64_t total)
      : total_(total), start_(std::chrono::steady_clock::now()) {}

  void Update(std::uint64_t done) {
    constexpr int kWidth = 30;
    const auto filled = static_cast<int>(kWidth * done / std::max<std::uint64_t>(total_, 1));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double left =
        done == 0 ? 0.05 * static_cast<double>(total_)
                  : elapsed / static_cast<double>(done) * static_cast<double>(total_ - done);
    std::fprintf(stderr, "\r[%s%s] %llu/%llu draws, %.0f s left ",
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(kWidth - filled), '.').c_str(),
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_),
                 left);
    if (done == total_) std::fputc('\n', stderr);
    std::fflush(stderr);
  }

 private:
  std::uint64_t total_;
  std::chrono::steady_clock::time_point start_;
};

int New(const std::vector<std::string>& size_texts, const std::string& out_path, bool force,
        const std::optional<std::uint64_t>& seed) {
  const std::vector<int> sizes = ReadLayerSizes(size_texts);
  CheckOutputPath(out_path, force);

  std::unique_ptr<Perceptron> net;
  if (seed) {
    net = std::make_unique<Perceptron>(SeededNetwork(sizes, *seed));
  } else {
    const std::uint64_t total = DrawCount(sizes);
    std::unique_ptr<ProgressBar> bar;
    if (::isatty(STDERR_FILENO) != 0) bar = std::make_unique<ProgressBar>(total);
    std::uint64_t done = 0;
    if (bar) bar->Update(0);
    // Every draw is the library's own default one (a 50 ms pause, then a generator seeded from the
    // millisecond clock), counted for the progress bar: the default is what
    // SetRandomSource(nullptr) restores, so this source steps aside for each draw and takes its
    // place again after.
    std::function<double()> counting;
    counting = [&] {
      SetRandomSource(nullptr);
      const double v = Synapse::getRand();
      SetRandomSource(counting);
      if (bar) bar->Update(++done);
      return v;
    };
    const ScopedRandomSource source(counting);
    net = std::make_unique<Perceptron>(sizes);
  }
  SaveNetworkReplacing(*net, out_path);
  return 0;
}

// ---- info, dot ----------------------------------------------------------------------------------

int Info(const std::string& net_path) {
  const std::unique_ptr<Perceptron> net = LoadNetworkFile(net_path);
  WriteInfo(net_path, *net, std::cout);
  return 0;
}

int Dot(const std::string& net_path) {
  const std::unique_ptr<Perceptron> net = LoadNetworkFile(net_path);
  WriteDot(*net, std::cout);
  return 0;
}

int Main(int argc, char** argv) {
  CLI::App app{
      "mplnet: make, inspect, train and run feed-forward networks kept in network files.\n"
      "Exit code 0 on success; 1 with one message on standard error otherwise."};
  app.set_version_flag("--version", MPLNET_VERSION);
  app.require_subcommand(1);

  std::string net_path;
  std::string inputs_path = "-";
  CLI::App* run = app.add_subcommand("run", "Run a network on lines of inputs, as a host does");
  run->footer(
      "Loads NET through the same path as the load export and runs it on every line of INPUTS "
      "(standard input when absent or \"-\"). A line holds numbers separated by commas, "
      "semicolons or blanks, with \".\" as decimal separator (a comma between two digits is one "
      "too where semicolons or blanks separate the numbers, and a line using commas both ways is "
      "refused); \"#\" starts a comment; blank lines "
      "are skipped. Values beyond the input layer's size are ignored; a line with too few stops "
      "the run.\n\nPrints one line per input line: the outputs separated by \",\", each as the "
      "shortest text that reads back to the same double. All lines run in order through one "
      "network, so what a pass leaves for the next carries over as in a host.");
  run->add_option("NET", net_path, "network file")->required();
  run->add_option("INPUTS", inputs_path, "inputs file, or \"-\" for standard input");

  std::vector<std::string> sizes;
  std::string out_path;
  bool force = false;
  std::optional<std::uint64_t> seed;
  CLI::App* make = app.add_subcommand("new", "Make a network with random weights");
  make->footer(
      "Builds a network from layer sizes (input layer first, output layer last; hidden and output "
      "neurons are sigmoids of steepness 2) with random weights and thresholds, and saves it into "
      "a new network file. An existing FILE is never overwritten unless --force is given.\n\n"
      "Without --seed the draws come from the library's default source, 50 ms each (a 10 20 5 "
      "network takes about 17 s); a progress bar shows when standard error is a terminal. With "
      "--seed the draws come at once from a generator seeded with N, and the same seed gives the "
      "same file.");
  make->add_option("SIZES", sizes, "layer sizes, each from 1 to " + std::to_string(kMostPositions))
      ->type_name("UINT")
      ->required();
  AddOutputOption(make, out_path, "FILE", "the network file to write");
  AddForceFlag(make, force, "FILE");
  make->add_option("--seed", seed, "draw from a fast generator seeded with N")
      ->type_name("N")
      ->transform(WholeIn({0, std::numeric_limits<std::uint64_t>::max()}));

  CLI::App* info = app.add_subcommand("info", "Describe a network and check it");
  info->footer(
      "Prints the layers and their sizes, the links, the activation and neuron types, and checks "
      "of what the forward pass relies on: every position of a layer present, links to existing "
      "elements, input elements with their 0_0 link, neuron types the reader accepts, one element "
      "per coordinate key, and sections the reader merges or skips. A file that does not load "
      "exits 1 with the file, section, key and reason.");
  info->add_option("NET", net_path, "network file")->required();

  CLI::App* dot = app.add_subcommand("dot", "Write a network as a Graphviz graph");
  dot->footer(
      "Writes NET as a Graphviz graph on standard output: one node per element, layers as ranks, "
      "one edge per link of the elements beyond the input layer, coloured by the weight's sign "
      "(blue positive, red negative) and as wide as its size. For example:\n"
      "  mplnet dot net.ini | dot -Tsvg > net.svg");
  dot->add_option("NET", net_path, "network file")->required();

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
    for (const CLI::App* sub : {run, make, info, dot, bars.app, import.app, exporting.app,
                                train.app, eval.app, backtest.app, walkforward.app}) {
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
    if (run->parsed()) return Run(net_path, inputs_path);
    if (make->parsed()) return New(sizes, out_path, force, seed);
    if (info->parsed()) return Info(net_path);
    if (dot->parsed()) return Dot(net_path);
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
