// mplnet run: a network run on lines of inputs through the library's exports, as a host runs it.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "datasets/line_reader.h"
#include "host/tavra_dll.h"
#include "mplnet/data_table.h"
#include "mplnet/mplnet.h"
#include "persistence/shown_text.h"
#include "persistence/status_texts.h"
#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
#include "tools/network_report.h"
#include "tools/number_lines.h"
#include "tools/output_file.h"

namespace mplnet::tool {
namespace {

struct RunArguments {
  std::string net_path;
  std::string inputs_path = "-";
};

// Loads the network into the library's own facade through the load export, exactly as a host does.
// The export's status text says only that the load failed; the reason comes from the reader.
void LoadThroughExport(const std::string& net_path) {
  RequireNetworkFile(net_path);
  const char* answer = MPLLoad(net_path.c_str());
  if (std::strcmp(answer, status::kLoaded) == 0) return;
  LoadNetworkFile(net_path);  // raises ToolError with file, section, key and reason
  throw ToolError(std::string("network file \"") + net_path + "\": " + answer);
}

void Run(const std::string& net_path, const std::string& inputs_path) {
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
  FinishStandardOutput("outputs");
}

}  // namespace

Command AddRunCommand(CLI::App& app) {
  auto args = std::make_shared<RunArguments>();
  CLI::App* run =
      AddSubcommand(app, "run", "Run a network on lines of inputs, as a host does", help::kRun);
  AddNetworkArgument(run, args->net_path);
  run->add_option("INPUTS", args->inputs_path, "inputs file, or \"-\" for standard input");
  return {run, [args] { Run(args->net_path, args->inputs_path); }};
}

}  // namespace mplnet::tool
