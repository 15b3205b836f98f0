// Training tables from the bar log. Reading keeps one bar per time in a hash table, so memory
// grows with the distinct bars, not with the log, which repeats every bar once per host call.
#include "mplnet/bar_dataset.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <unordered_map>

#include "datasets/line_reader.h"
#include "datasets/number_line.h"
#include "mplnet/bar_recipe.h"
#include "mplnet/shortest_text.h"
#include "persistence/bar_log_line.h"
#include "persistence/file_io.h"
#include "persistence/shown_text.h"

namespace mplnet {
namespace {

constexpr std::size_t kShownLength = 48;

// A piece of a line as an error message shows it.
std::string Shown(std::string_view text) {
  return QuotedText(text, kShownLength);
}

// Parses one bar line; the reason it does not parse otherwise.
struct ParsedLine {
  Bar bar;
  std::string error;
};

ParsedLine ParseBarLine(std::string_view line) {
  ParsedLine parsed;
  const std::vector<std::string_view> words = BarLineWords(line);
  for (std::size_t i = 0; i < std::size(kBarLineLabels); ++i) {
    if (2 * i + 1 >= words.size() || words[2 * i] != kBarLineLabels[i]) {
      parsed.error = "not a bar line (" + Shown(line) + "; a bar line reads \"" +
                     std::string(kBarLineForm) + "\")";
      return parsed;
    }
  }
  if (words.size() != kBarLineWords) {
    parsed.error = "text after the volume: " + Shown(words[kBarLineWords]);
    return parsed;
  }
  if (!ReadBarLineWhole<std::uint64_t>(words[1])) {
    parsed.error = "bar index " + Shown(words[1]) + " is not a whole number";
    return parsed;
  }
  const std::optional<std::uint32_t> time = ReadBarLineWhole<std::uint32_t>(words[3]);
  if (!time) {
    parsed.error = "time " + Shown(words[3]) + " is not a whole number from 0 to 4294967295";
    return parsed;
  }
  parsed.bar.time = *time;
  struct Field {
    std::string_view name;
    double Bar::*member;
  };
  constexpr Field kFields[] = {{"open", &Bar::open},
                               {"low", &Bar::low},
                               {"high", &Bar::high},
                               {"close", &Bar::close},
                               {"volume", &Bar::vol}};
  for (std::size_t i = 0; i < std::size(kFields); ++i) {
    const std::string_view text = words[5 + 2 * i];
    const std::optional<double> value = ReadBarLineValue(text);
    const bool volume = kFields[i].member == &Bar::vol;
    if (!value || !std::isfinite(*value) || (volume ? *value < 0.0 : *value <= 0.0)) {
      parsed.error = std::string(kFields[i].name) + " " + Shown(text) + " is not a " +
                     (volume ? "number of at least 0" : "positive number");
      return parsed;
    }
    parsed.bar.*kFields[i].member = *value;
  }
  return parsed;
}

// The most common step between consecutive times (the smallest of equally common ones), the
// number of larger steps and the largest.
void MeasureSpacing(const std::vector<Bar>& bars, BarLogSummary& summary) {
  std::map<std::uint32_t, std::size_t> steps;
  for (std::size_t i = 1; i < bars.size(); ++i) ++steps[bars[i].time - bars[i - 1].time];
  std::size_t most = 0;
  for (const auto& [step, count] : steps) {
    if (count > most) {
      most = count;
      summary.spacing = step;
    }
    summary.largest = step;
  }
  for (const auto& [step, count] : steps) {
    if (step > summary.spacing) summary.gaps += count;
  }
}

// The sample standard deviation of a growing series, added to one value at a time (Welford): the
// same values in the same order always give the same bits.
class RunningDeviation {
 public:
  void Add(double x) {
    ++count_;
    const double delta = x - mean_;
    mean_ += delta / static_cast<double>(count_);
    squares_ += delta * (x - mean_);
  }
  std::size_t count() const { return count_; }
  double Deviation() const {
    return count_ < 2 ? 0.0 : std::sqrt(squares_ / static_cast<double>(count_ - 1));
  }

 private:
  std::size_t count_ = 0;
  double mean_ = 0.0;
  double squares_ = 0.0;
};

// A return target needs the deviation of at least this many earlier returns.
constexpr std::size_t kLeastReturnsForScale = 100;

}  // namespace

BarLog ReadBarLog(std::istream& in, std::string_view name, bool skip_bad) {
  BarLog log;
  std::unordered_map<std::uint32_t, Bar> by_time;
  LineReader lines(in, kBarLogLineMaxBytes);
  std::string_view text;
  std::size_t number = 0;
  for (LineReader::Status status; (status = lines.Next(text)) != LineReader::Status::kEnd;) {
    ++number;
    if (status == LineReader::Status::kFailed) break;
    if (status == LineReader::Status::kTooLong) {
      // Past such a line there is no telling where lines begin: it stops the reading even under
      // skip_bad.
      throw BarDataError("bar log \"" + std::string(name) + "\", line " + std::to_string(number) +
                         ": longer than " + std::to_string(kBarLogLineMaxBytes) +
                         " bytes, the longest bar line the log may hold");
    }
    // Only the last line can come without a line end, and a bar line is always written with
    // its line end: without it the line was cut short.
    const bool complete = lines.ended();
    if (number == 1) text = WithoutByteOrderMark(text);
    if (text.ends_with('\r')) text.remove_suffix(1);
    if (BarLineWords(text).empty()) continue;
    ParsedLine parsed = complete ? ParseBarLine(text) : ParsedLine{{}, "cut short (no line end)"};
    if (!parsed.error.empty()) {
      if (!skip_bad) {
        throw BarDataError("bar log \"" + std::string(name) + "\", line " + std::to_string(number) +
                           ": " + parsed.error);
      }
      ++log.summary.skipped;
      continue;
    }
    ++log.summary.lines;
    const auto [it, added] = by_time.try_emplace(parsed.bar.time, parsed.bar);
    if (!added) {
      it->second = parsed.bar;  // the line written last for a time wins
      ++log.summary.replaced;
    }
  }
  if (in.bad()) throw BarDataError("bar log \"" + std::string(name) + "\": cannot be read");
  log.bars.reserve(by_time.size());
  for (const auto& [time, bar] : by_time) log.bars.push_back(bar);
  std::sort(log.bars.begin(), log.bars.end(),
            [](const Bar& a, const Bar& b) { return a.time < b.time; });
  MeasureSpacing(log.bars, log.summary);
  return log;
}

BarLog ReadBarLogFile(const std::string& path, bool skip_bad) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw BarDataError("bar log \"" + path + "\" is a folder");
  }
  std::ifstream in(NativePath(path), std::ios::binary);
  if (!in) throw BarDataError("cannot open bar log \"" + path + "\"");
  return ReadBarLog(in, path, skip_bad);
}

std::string_view BarFeaturesName(BarFeatures features) {
  return features == BarFeatures::kReturns ? "returns" : "returns,range,volume";
}

BarFeatures ReadBarFeatures(std::string_view list) {
  constexpr std::string_view kKnown[] = {"returns", "range", "volume"};
  std::string names;  // the list's names, trimmed, rejoined by commas
  for (std::size_t start = 0; start <= list.size();) {
    std::size_t end = list.find(',', start);
    if (end == std::string_view::npos) end = list.size();
    std::string_view name = list.substr(start, end - start);
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) {
      throw BarDataError(QuotedText(name, 24) +
                         " is not a feature: the features are returns, range and volume");
    }
    if (!names.empty()) names += ',';
    names += name;
    start = end + 1;
  }
  for (const BarFeatures set : {BarFeatures::kReturns, BarFeatures::kReturnsRangeVolume}) {
    if (names == BarFeaturesName(set)) return set;
  }
  throw BarDataError(QuotedText(list, 24) +
                     " is no feature set a table can hold: give returns, or returns,range,volume");
}

std::size_t BarInputCount(const BarDatasetOptions& options) {
  const auto window = static_cast<std::size_t>(std::max(options.window, 0));
  return options.features == BarFeatures::kReturns ? window : 3 * window;
}

std::vector<BarRow> MakeBarRows(const std::vector<Bar>& bars, const BarDatasetOptions& options) {
  if (!kWindowSetting.Accepts(options)) throw BarDataError(kWindowSetting.Refusal());
  if (!kHorizonSetting.Accepts(options)) throw BarDataError(kHorizonSetting.Refusal());
  const auto window = static_cast<std::size_t>(options.window);
  const auto horizon = static_cast<std::size_t>(options.horizon);
  const bool extra = options.features == BarFeatures::kReturnsRangeVolume;
  std::vector<BarRow> rows;
  auto log_return = [&](std::size_t to, std::size_t from) {
    return std::log(bars[to].close / bars[from].close);
  };
  RunningDeviation past_returns;  // the horizon-bar returns that ended at or before the row's bar
  for (std::size_t t = 0; t + horizon < bars.size(); ++t) {
    if (t >= horizon) past_returns.Add(log_return(t, t - horizon));
    if (t < window) continue;  // a row's returns reach one bar before its window

    BarRow row;
    row.time = bars[t].time;
    const double ahead = log_return(t + horizon, t);
    if (options.target == BarTarget::kDirection) {
      if (bars[t + horizon].close == bars[t].close) continue;
      row.target = bars[t + horizon].close > bars[t].close ? 0.9 : 0.1;
    } else {
      if (past_returns.count() < kLeastReturnsForScale) continue;
      const double scale = past_returns.Deviation();
      if (scale == 0.0) continue;  // no movement yet: nothing to scale by
      row.target = 0.5 + 0.5 * std::tanh(ahead / scale);
    }
    row.inputs.reserve(BarInputCount(options));
    const std::size_t first = t + 1 - window;
    for (std::size_t i = first; i <= t; ++i) row.inputs.push_back(log_return(i, i - 1));
    if (extra) {
      for (std::size_t i = first; i <= t; ++i) {
        row.inputs.push_back((bars[i].high - bars[i].low) / bars[i].close);
      }
      for (std::size_t i = first; i <= t; ++i) {
        // One added to both volumes keeps a bar without volume finite.
        row.inputs.push_back(std::log((bars[i].vol + 1.0) / (bars[i - 1].vol + 1.0)));
      }
    }
    const bool finite =
        std::isfinite(row.target) && std::all_of(row.inputs.begin(), row.inputs.end(),
                                                 [](double v) { return std::isfinite(v); });
    if (!finite) {
      throw BarDataError("the row for the bar at time " + std::to_string(row.time) +
                         " holds a value that is not a finite number");
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string BarTableHeader(const BarDatasetOptions& options) {
  std::string header = RecipeHeaderLine(options);
  header += "# each row: " + Counted(BarInputCount(options), "input", "inputs") +
            " (oldest bar first), the target, then the time of the row's bar\n";
  return header;
}

std::string FormatBarRow(const BarRow& row) {
  std::string line;
  for (const double v : row.inputs) {
    AppendShortest(line, v);
    line += ' ';
  }
  AppendShortest(line, row.target);
  line += " # ";
  line += std::to_string(row.time);
  line += '\n';
  return line;
}

std::string FormatBarTable(const std::vector<BarRow>& rows, const BarDatasetOptions& options) {
  std::string table = BarTableHeader(options);
  for (const BarRow& row : rows) table += FormatBarRow(row);
  return table;
}

}  // namespace mplnet
