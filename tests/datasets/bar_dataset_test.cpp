// Tables from the bar log: reading back what the bar intake writes, the rows' values, and the
// proof that no row looks past its horizon.
#include "mplnet/bar_dataset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "examples/bar_series.h"
#include "host/bar_log.h"
#include "test_support.h"

namespace mplnet {
namespace {

RateInfo Rate(unsigned time, double close, double vol = 100) {
  RateInfo r{};
  r.time = time;
  r.open = close;
  r.low = close * 0.99;
  r.high = close * 1.01;
  r.close = close;
  r.vol = vol;
  return r;
}

// The log lines a host call with these bars writes (index 0 of `rates` last).
std::string LogOf(const std::vector<RateInfo>& rates, const NumberSymbols& symbols = {}) {
  return FormatBarLines(rates.data(), static_cast<int>(rates.size()), symbols);
}

BarLog Read(const std::string& text, bool skip_bad = false) {
  std::istringstream in(text);
  return ReadBarLog(in, "test.log", skip_bad);
}

TEST(BarLogReadTest, ReadsWhatTheIntakeWritesAndReportsWhatItFound) {
  const std::vector<RateInfo> call1 = {Rate(7200, 1.5), Rate(3600, 1.08534), Rate(0, 2.25)};
  const std::vector<RateInfo> call2 = {Rate(10800, 1.25), Rate(7200, 1.75)};  // 7200 changed
  const std::string good = LogOf(call1) + LogOf(call2);
  const std::string comma = LogOf(call1, {",", "-"}) + LogOf(call2, {",", "-"});
  ASSERT_NE(comma.find("1,08534"), std::string::npos);
  std::string lf = good;
  std::erase(lf, '\r');
  const std::string one = "Bar: 0 Time: 5 Open: 1 Low: 1 High: 1 Close: 1 Vol: 1 \r\n";
  struct Case {
    const char* what;
    std::string text;
    bool skip_bad;
    const char* error;  // a piece of the message; empty when the log reads
    std::size_t lines, distinct, replaced, skipped;
  };
  const Case cases[] = {
      {"decimal point", good, false, "", 5, 4, 1, 0},
      {"decimal comma", comma, false, "", 5, 4, 1, 0},
      {"LF line ends, blank lines", lf + "\n  \n", false, "", 5, 4, 1, 0},
      {"cut short", good + one.substr(0, 40), false, "line 6: cut short", 0, 0, 0, 0},
      {"cut short, skipped", good + one.substr(0, 40), true, "", 5, 4, 1, 1},
      {"garbage", one + "hello\r\n" + one, false, "line 2: not a bar line", 0, 0, 0, 0},
      {"garbage, skipped", one + "hello\r\n" + one, true, "", 2, 1, 1, 1},
      {"negative close", "Bar: 0 Time: 1 Open: 1 Low: 1 High: 1 Close: -1 Vol: 1 \n", false,
       "line 1: close \"-1\" is not a positive number", 0, 0, 0, 0},
      {"not a number", "Bar: 0 Time: 1 Open: NaN Low: 1 High: 1 Close: 1 Vol: 1 \n", false,
       "open \"NaN\"", 0, 0, 0, 0},
      {"time beyond 32 bits", "Bar: 0 Time: 4294967296 Open: 1 Low: 1 High: 1 Close: 1 Vol: 1 \n",
       false, "time \"4294967296\"", 0, 0, 0, 0},
      {"text after the volume", "Bar: 0 Time: 1 Open: 1 Low: 1 High: 1 Close: 1 Vol: 1 x\n", false,
       "text after the volume", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (*c.error != '\0') {
      try {
        Read(c.text, c.skip_bad);
        ADD_FAILURE() << "read without error";
      } catch (const BarDataError& e) {
        EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("\"test.log\""), std::string::npos) << e.what();
      }
      continue;
    }
    const BarLog log = Read(c.text, c.skip_bad);
    EXPECT_EQ(log.summary.lines, c.lines);
    EXPECT_EQ(log.bars.size(), c.distinct);
    EXPECT_EQ(log.summary.replaced, c.replaced);
    EXPECT_EQ(log.summary.skipped, c.skipped);
    if (c.distinct == 4) {
      const double closes[] = {2.25, 1.08534, 1.75, 1.25};  // by time, the later 7200 winning
      for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(log.bars[i].time, 3600 * i);
        EXPECT_EQ(log.bars[i].close, closes[i]);
      }
      EXPECT_EQ(log.bars[1].low, 1.08534 * 0.99);
    }
  }
}

TEST(BarRowsTest, InputsAndTargetsFromTheirBars) {
  // Closes 100, 110, 110, 99, 108.9: the bar at 1 has no change ahead and makes no direction row.
  std::vector<Bar> bars;
  const double closes[] = {100, 110, 110, 99, 108.9};
  for (unsigned i = 0; i < 5; ++i) bars.push_back({i, closes[i], 90, 120, closes[i], 10.0 * i});
  BarDatasetOptions options;
  options.window = 1;
  std::vector<BarRow> rows = MakeBarRows(bars, options);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].time, 2u);
  EXPECT_EQ(rows[0].inputs, std::vector<double>{std::log(110.0 / 110.0)});
  EXPECT_EQ(rows[0].target, 0.1);
  EXPECT_EQ(rows[1].inputs, std::vector<double>{std::log(99.0 / 110.0)});
  EXPECT_EQ(rows[1].target, 0.9);
  EXPECT_EQ(FormatBarRow({7, {0.1, -2}, 0.9}), "0.1 -2 0.9 # 7\n");

  options.window = 2;
  options.features = BarFeatures::kReturnsRangeVolume;
  options.horizon = 2;
  rows = MakeBarRows(bars, options);
  ASSERT_EQ(rows.size(), 1u);  // the bar at 2, its window the bars at 1 and 2
  EXPECT_EQ(rows[0].inputs,
            (std::vector<double>{std::log(110.0 / 100), std::log(110.0 / 110), 30.0 / 110,
                                 30.0 / 110, std::log(11.0 / 1), std::log(21.0 / 11)}));
  EXPECT_EQ(rows[0].target, 0.1);  // 108.9 < 110
}

TEST(BarRowsTest, ReturnTargetScalesByEarlierReturnsOnly) {
  examples::SeriesOptions series;
  series.bars = 300;
  std::vector<Bar> bars;
  for (const RateInfo& r : examples::MakeBarSeries(series)) {
    bars.push_back({r.time, r.open, r.low, r.high, r.close, r.vol});
  }
  BarDatasetOptions options;
  options.horizon = 3;
  options.target = BarTarget::kReturn;
  const std::vector<BarRow> rows = MakeBarRows(bars, options);
  // The first row needs 100 three-bar returns, ending at bars 3 to 102.
  ASSERT_EQ(rows.size(), bars.size() - 3 - 102);
  for (const std::size_t t : {102, 150, 296}) {
    const BarRow& row = rows[t - 102];
    ASSERT_EQ(row.time, bars[t].time);
    double mean = 0;
    for (std::size_t j = 3; j <= t; ++j) mean += std::log(bars[j].close / bars[j - 3].close);
    mean /= static_cast<double>(t - 2);
    double squares = 0;
    for (std::size_t j = 3; j <= t; ++j) {
      squares += std::pow(std::log(bars[j].close / bars[j - 3].close) - mean, 2);
    }
    const double s = std::sqrt(squares / static_cast<double>(t - 3));
    const double expected = 0.5 + 0.5 * std::tanh(std::log(bars[t + 3].close / bars[t].close) / s);
    EXPECT_NEAR(row.target, expected, 1e-12);
  }
}

// The table made from the bars through the log: each row's time, its line, and the text of its
// inputs alone.
struct TableLine {
  std::uint32_t time;
  std::string line;
  std::string inputs;
};
std::vector<TableLine> TableLines(const std::vector<RateInfo>& rates,
                                  const BarDatasetOptions& options) {
  std::vector<TableLine> lines;
  for (BarRow& row : MakeBarRows(Read(LogOf(rates)).bars, options)) {
    std::string line = FormatBarRow(row);
    row.target = 0;
    lines.push_back({row.time, std::move(line), FormatBarRow(row)});
  }
  return lines;
}

// Changing or removing bars after t leaves the inputs of every row up to t, and every whole row up
// to t - horizon, as they were, byte for byte.
TEST(BarRowsTest, LaterBarsChangeNoEarlierRow) {
  examples::SeriesOptions series;
  series.bars = 260;
  series.seed = 5;
  const std::vector<RateInfo> bars = examples::MakeBarSeries(series);
  const BarDatasetOptions configs[] = {
      {10, BarFeatures::kReturns, 1, BarTarget::kDirection},
      {4, BarFeatures::kReturnsRangeVolume, 3, BarTarget::kDirection},
      {3, BarFeatures::kReturnsRangeVolume, 5, BarTarget::kReturn},
  };
  std::mt19937_64 random(11);
  for (const BarDatasetOptions& options : configs) {
    SCOPED_TRACE(options.horizon);
    const std::vector<TableLine> base = TableLines(bars, options);
    std::size_t compared = 0, later_changed = 0;
    for (int trial = 0; trial < 40; ++trial) {
      const std::size_t t = options.horizon + random() % (bars.size() - options.horizon);
      std::vector<RateInfo> changed = bars;
      if (trial % 3 == 0) {  // every later bar moved
        for (std::size_t i = t + 1; i < changed.size(); ++i) {
          const double f = 0.5 + static_cast<double>(random() % 1000) / 1000;
          changed[i].close *= f;
          changed[i].high *= f;
          changed[i].vol += 1000;
        }
      } else if (trial % 3 == 1) {  // every later bar gone
        changed.resize(t + 1);
      } else if (t + 1 < changed.size()) {  // one later bar gone
        changed.erase(changed.begin() +
                      static_cast<std::ptrdiff_t>(t + 1 + random() % (changed.size() - t - 1)));
      }
      std::map<std::uint32_t, const TableLine*> after;
      const std::vector<TableLine> after_lines = TableLines(changed, options);
      for (const TableLine& line : after_lines) after[line.time] = &line;
      const std::uint32_t whole_until = bars[t - options.horizon].time;
      std::size_t whole = 0;
      for (const TableLine& line : base) {
        if (line.time > bars[t].time) break;
        const auto it = after.find(line.time);
        if (line.time <= whole_until) {  // the whole row stays
          ASSERT_NE(it, after.end()) << "t " << t;
          ASSERT_EQ(it->second->line, line.line) << "t " << t;
          ++whole;
        } else if (it != after.end()) {  // the inputs stay; the target may look at what changed
          ASSERT_EQ(it->second->inputs, line.inputs) << "t " << t;
        }
        ++compared;
      }
      EXPECT_EQ(std::distance(after.begin(), after.upper_bound(whole_until)),
                static_cast<std::ptrdiff_t>(whole));
      for (std::size_t j = 0; j < base.size() && j < after_lines.size(); ++j) {
        if (after_lines[j].line != base[j].line) {
          ++later_changed;
          break;
        }
      }
    }
    EXPECT_GT(compared, 1000u);
    EXPECT_GT(later_changed, 10u);  // the changes do reach the rows that may see them
  }
}

// The generator: bars consistent in themselves, the same from the same seed, a pattern in one kind
// and none in the other, and the example log exactly what its comment says made it.
// The feature lists --features takes: the sets a table can hold, named in their column order.
TEST(BarRowsTest, FeatureListsNameTheSetsATableHolds) {
  const struct {
    const char* list;
    const char* read;  // the set's name, or the start of the refusal
  } cases[] = {
      {"returns", "returns"},
      {" returns , range,volume\t", "returns,range,volume"},
      {"returns,volume", "\"returns,volume\" is no feature set"},
      {"volume,range,returns", "\"volume,range,returns\" is no feature set"},
      {"returns,returns", "\"returns,returns\" is no feature set"},
      {"returns,", "\"\" is not a feature"},
      {"", "\"\" is not a feature"},
      {"returns,NaN", "\"NaN\" is not a feature"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    try {
      EXPECT_EQ(BarFeaturesName(ReadBarFeatures(c.list)), c.read);
    } catch (const BarDataError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.read, 0), 0u) << e.what();
    }
  }
}

TEST(BarSeriesTest, DeterministicConsistentAndLearnableOnlyWhereMeantTo) {
  for (const examples::SeriesKind kind :
       {examples::SeriesKind::kAr1, examples::SeriesKind::kRandomWalk}) {
    examples::SeriesOptions options;
    options.kind = kind;
    const std::vector<RateInfo> bars = examples::MakeBarSeries(options);
    ASSERT_EQ(LogOf(bars), LogOf(examples::MakeBarSeries(options)));
    int same_sign = 0;
    for (std::size_t i = 0; i < bars.size(); ++i) {
      const RateInfo& b = bars[i];
      ASSERT_TRUE(b.low <= b.open && b.low <= b.close && b.open <= b.high && b.close <= b.high);
      ASSERT_TRUE(b.vol >= 1.0);  // a packed field: no reference to it may be taken
      if (i > 0) {
        ASSERT_GT(b.time, bars[i - 1].time);
        same_sign += i > 1 && (b.close > b.open) == (bars[i - 1].close > bars[i - 1].open);
      }
    }
    const double share = same_sign / static_cast<double>(bars.size() - 2);
    if (kind == examples::SeriesKind::kAr1) {
      EXPECT_GT(share, 0.65);
    } else {
      EXPECT_NEAR(share, 0.5, 0.03);
    }
    options.seed = 2;
    EXPECT_NE(LogOf(bars), LogOf(examples::MakeBarSeries(options)));
  }
  testing::TempDir dir;
  const std::string log = dir.file("bars-ar1.log");
  ASSERT_STREQ(examples::FeedLikeHost(examples::MakeBarSeries({}), log), "MPLSetData: Successful");
  std::ifstream made(log, std::ios::binary),
      kept(MPLNET_EXAMPLES_DIR "/bars-ar1.log", std::ios::binary);
  EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(made), {},
                         std::istreambuf_iterator<char>(kept), {}));
}

}  // namespace
}  // namespace mplnet
