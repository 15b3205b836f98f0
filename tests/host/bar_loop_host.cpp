// The host's half of the loop from price bars to a trained network (bar_loop_test.cmake): it hands
// synthetic bars to the library the way a trading terminal does, and later runs the network that
// was trained on them, through the exports of the shared library.
//
//   bar_loop_host feed ar1|walk BARS LOG LIBRARY
//       Makes BARS bars (examples/bar_series.h, seed 1) and hands them over in overlapping calls,
//       the newest bar still forming in each. On Windows this goes through LIBRARY's MPLSetData,
//       which appends to its fixed bar log c:\temp\test.txt; the log is then moved to LOG.
//       Elsewhere that fixed log would lie outside the test's folder, so the library's bar intake
//       appends to LOG itself.
//   bar_loop_host run LIBRARY NET ROWS
//       Loads NET through LIBRARY's MPLLoad and runs each row of the table ROWS (inputs, then one
//       target, then "#" and a time, as mplnet bars writes them) through MPLRun. Prints one line
//       per row: the outputs separated by ",", each the shortest text that reads back to the same
//       double, as mplnet eval --outputs prints them, so equal lines mean equal bits.
//   bar_loop_host positions ar1|walk BARS WINDOW LIBRARY NET LINES
//       Makes the same BARS bars and loads NET through LIBRARY's MPLLoad. For each line of LINES
//       (the CSV mplnet backtest --bars-out writes), builds the row's inputs from the bars it
//       holds, as a host does on each closed bar: the WINDOW latest close-to-close log returns,
//       oldest first. Runs them through MPLRun and decides the position (+1 above 0.5, -1 below,
//       else 0): it must be the line's. Then saves the network through MPLSave into a copy of NET
//       and checks that the copy keeps NET's [Recipe] section. Prints how many rows agreed, and how
//       many outputs were the line's to the bit (the host's C runtime computes its own logarithms).
//
// Exits 0, or 1 with one message on standard error.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "examples/bar_series.h"
#include "mplnet/mplnet.h"
#include "tests/host/shared_library.h"

namespace {

using RunFunction = const char*(MPLNET_CALL*)(double*, const double*, int);
using LoadFunction = const char*(MPLNET_CALL*)(const char*);
using OutSizeFunction = int(MPLNET_CALL*)();
using SetDataFunction = char*(MPLNET_CALL*)(const RateInfo*, int, int, int);

using Library = mplnet::testing::SharedLibrary;

std::vector<RateInfo> Series(const std::string& kind, const std::string& bars) {
  mplnet::examples::SeriesOptions options;
  if (kind == "ar1") {
    options.kind = mplnet::examples::SeriesKind::kAr1;
  } else if (kind == "walk") {
    options.kind = mplnet::examples::SeriesKind::kRandomWalk;
  } else {
    throw std::runtime_error("the series is ar1 or walk, not \"" + kind + "\"");
  }
  options.bars = std::stoi(bars);
  return mplnet::examples::MakeBarSeries(options);
}

void Feed(const std::vector<RateInfo>& bars, const std::string& log_path,
          [[maybe_unused]] const std::string& library_path) {
#ifdef _WIN32
  const Library library(library_path);
#ifdef _WIN64
  const char* set_data_name = "?MPLSetData@@YAPEADPEBURateInfo@@HHH@Z";
#else
  const char* set_data_name = "?MPLSetData@@YGPADPBURateInfo@@HHH@Z";
#endif
  const auto set_data = library.Get<SetDataFunction>(set_data_name);
  // The library never creates the folder of its bar log; the machine's user does, once.
  CreateDirectoryA("c:\\temp", nullptr);
  DeleteFileA("c:\\temp\\test.txt");  // left by an earlier run that was cut short
  const char* status = mplnet::examples::FeedInCalls(
      bars, [set_data](const RateInfo* rates, int total) { return set_data(rates, total, 0, 0); });
  const bool fed = std::strcmp(status, "MPLSetData: Successful") == 0;
  const bool moved = fed && MoveFileExA("c:\\temp\\test.txt", log_path.c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
  const DWORD error = GetLastError();
  DeleteFileA("c:\\temp\\test.txt");
  RemoveDirectoryA("c:\\temp");
  if (fed && !moved) {
    throw std::runtime_error("cannot move the bar log to \"" + log_path + "\" (error " +
                             std::to_string(error) + ")");
  }
#else
  const char* status = mplnet::examples::FeedLikeHost(bars, log_path);
#endif
  if (std::strcmp(status, "MPLSetData: Successful") != 0) throw std::runtime_error(status);
}

// The inputs of a table row: every number before the "#", less the last (the target).
std::vector<double> RowInputs(std::string_view line, std::size_t number) {
  line = line.substr(0, line.find('#'));
  std::vector<double> values;
  std::size_t at = line.find_first_not_of(" \t\r");
  while (at != std::string_view::npos) {
    const std::size_t end = std::min(line.find_first_of(" \t\r", at), line.size());
    double v = 0.0;
    const std::from_chars_result r = std::from_chars(line.data() + at, line.data() + end, v);
    if (r.ec != std::errc() || r.ptr != line.data() + end) {
      throw std::runtime_error("row line " + std::to_string(number) + ": not a number");
    }
    values.push_back(v);
    at = line.find_first_not_of(" \t\r", end);
  }
  if (!values.empty()) values.pop_back();
  return values;
}

void Run(const std::string& library_path, const std::string& net_path,
         const std::string& rows_path) {
  const Library library(library_path);
  const auto load = library.Get<LoadFunction>("MPLLoad");
  const auto run = library.Get<RunFunction>("MPLRun");
  const auto out_size = library.Get<OutSizeFunction>("MPLGetOutArraySize");
  const std::string loaded = load(net_path.c_str());
  if (loaded != " MPL network load ") throw std::runtime_error(net_path + ": " + loaded);
  std::vector<double> out(static_cast<std::size_t>(out_size()));

  std::ifstream rows(rows_path, std::ios::binary);
  if (!rows) throw std::runtime_error("cannot open \"" + rows_path + "\"");
  std::string line;
  for (std::size_t number = 1; std::getline(rows, line); ++number) {
    const std::vector<double> in = RowInputs(line, number);
    if (in.empty()) continue;  // a comment line
    const std::string ran = run(out.data(), in.data(), static_cast<int>(in.size()));
    if (ran != "test") throw std::runtime_error("row line " + std::to_string(number) + ": " + ran);
    std::string text;
    for (const double v : out) {
      char buffer[32];
      const std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, v);
      if (!text.empty()) text += ',';
      text.append(buffer, r.ptr);
    }
    std::printf("%s\n", text.c_str());
  }
}

using SaveFunction = const char*(MPLNET_CALL*)(const char*);

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open \"" + path + "\"");
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The recipe section of a network file's text, from its header line to the next header.
std::string RecipeSection(const std::string& text) {
  const std::size_t at = text.find("[Recipe]");
  if (at == std::string::npos) return "";
  return text.substr(at, text.find('[', at + 1) - at);
}

void Positions(const std::vector<RateInfo>& bars, int window, const std::string& library_path,
               const std::string& net_path, const std::string& lines_path) {
  const Library library(library_path);
  const auto load = library.Get<LoadFunction>("MPLLoad");
  const auto run = library.Get<RunFunction>("MPLRun");
  const auto save = library.Get<SaveFunction>("MPLSave");
  const std::string loaded = load(net_path.c_str());
  if (loaded != " MPL network load ") throw std::runtime_error(net_path + ": " + loaded);

  std::ifstream lines(lines_path, std::ios::binary);
  if (!lines) throw std::runtime_error("cannot open \"" + lines_path + "\"");
  std::string line;
  std::getline(lines, line);  // the header
  std::size_t rows = 0;
  std::size_t same_bits = 0;
  std::size_t at = 0;  // bars and lines are both in time order
  for (std::size_t number = 2; std::getline(lines, line); ++number) {
    // time,close,output,position,pnl,equity
    std::vector<std::string_view> fields;
    for (std::size_t start = 0; start <= line.size();) {
      const std::size_t end = std::min(line.find(',', start), line.size());
      fields.emplace_back(line.data() + start, end - start);
      start = end + 1;
    }
    const std::string where = "line " + std::to_string(number) + " of \"" + lines_path + "\"";
    if (fields.size() != 6) throw std::runtime_error(where + ": not 6 fields");
    unsigned long long time = 0;
    double output = 0.0;
    int position = 0;
    std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), time);
    std::from_chars(fields[2].data(), fields[2].data() + fields[2].size(), output);
    std::from_chars(fields[3].data(), fields[3].data() + fields[3].size(), position);
    while (at < bars.size() && bars[at].time != time) ++at;
    if (at == bars.size() || at < static_cast<std::size_t>(window)) {
      throw std::runtime_error(where + ": no bar the host holds has time " + std::to_string(time));
    }
    std::vector<double> in;
    for (std::size_t i = at + 1 - static_cast<std::size_t>(window); i <= at; ++i) {
      in.push_back(std::log(bars[i].close / bars[i - 1].close));
    }
    double out = 0.0;
    const std::string ran = run(&out, in.data(), window);
    if (ran != "test") throw std::runtime_error(where + ": " + ran);
    const int host_position = out > 0.5 ? 1 : (out < 0.5 ? -1 : 0);
    if (host_position != position) {
      throw std::runtime_error(where + ": the host's output " + std::to_string(out) +
                               " gives position " + std::to_string(host_position) +
                               ", mplnet backtest's line " + std::to_string(position));
    }
    ++rows;
    same_bits += out == output ? 1 : 0;
  }

  // The host's save keeps the recipe it does not know about.
  const std::string copy = net_path + ".saved.ini";
  std::ofstream(copy, std::ios::binary) << ReadText(net_path);
  const std::string saved = save(copy.c_str());
  const std::string kept = RecipeSection(ReadText(copy));
  std::remove(copy.c_str());
  if (saved != " MPL network save") throw std::runtime_error("MPLSave: " + saved);
  if (kept.empty() || kept != RecipeSection(ReadText(net_path))) {
    throw std::runtime_error("MPLSave did not keep the [Recipe] section of " + net_path);
  }
  std::printf(
      "positions: %zu rows, every position mplnet backtest's; %zu outputs the same to the "
      "bit; MPLSave kept the recipe\n",
      rows, same_bits);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 5 && args[0] == "feed") {
      Feed(Series(args[1], args[2]), args[3], args[4]);
    } else if (args.size() == 4 && args[0] == "run") {
      Run(args[1], args[2], args[3]);
    } else if (args.size() == 7 && args[0] == "positions") {
      Positions(Series(args[1], args[2]), std::stoi(args[3]), args[4], args[5], args[6]);
    } else {
      std::fprintf(stderr,
                   "usage: bar_loop_host feed ar1|walk BARS LOG LIBRARY\n"
                   "       bar_loop_host run LIBRARY NET ROWS\n"
                   "       bar_loop_host positions ar1|walk BARS WINDOW LIBRARY NET LINES\n");
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bar_loop_host: %s\n", e.what());
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
