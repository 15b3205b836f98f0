// The bar intake: argument tests in their order, the lines written, and a log that cannot be
// written.
#include "host/bar_log.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "mplnet/mplnet.h"
#include "test_support.h"

namespace mplnet {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

RateInfo Bar(unsigned time, double open, double low, double high, double close, double vol) {
  RateInfo bar;
  bar.time = time;
  bar.open = open;
  bar.low = low;
  bar.high = high;
  bar.close = close;
  bar.vol = vol;
  return bar;
}

TEST(BarArgumentsTest, FirstFailedTestDecidesAndNothingIsWritten) {
  testing::TempDir dir;
  const std::string log = dir.file("bars.txt");
  const RateInfo bars[2] = {Bar(1, 1, 1, 1, 1, 1), Bar(2, 2, 2, 2, 2, 2)};
  struct Case {
    const RateInfo* rates;
    int total, shift, nrate;
    const char* status;
  };
  const Case cases[] = {
      {nullptr, -1, -1, -1, "Error: MPLSetData, rates is NULL"},
      {bars, -1, 5, 9, "Error: MPLSetData, wrong rates_total number"},
      {bars, 0, 0, 0, "Error: MPLSetData, wrong shift number"},
      {bars, 0, -1, 0, "Error: MPLSetData, wrong shift number"},
      {bars, 2, 2, 0, "Error: MPLSetData, wrong shift number"},
      {bars, 2, -1, 9, "Error: MPLSetData, wrong shift number"},
      {bars, 2, 1, -1, "Error: MPLSetData, wrong rate index"},
      {bars, 2, 1, 6, "Error: MPLSetData, wrong rate index"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(SetData(c.rates, c.total, c.shift, c.nrate, log), c.status);
    EXPECT_FALSE(std::filesystem::exists(log)) << c.status;
    // The export gives the same answers without touching its fixed log.
    EXPECT_STREQ(MPLSetData(c.rates, c.total, c.shift, c.nrate), c.status);
  }
  for (const auto& [shift, nrate] : std::vector<std::pair<int, int>>{{1, 0}, {0, 5}}) {
    EXPECT_STREQ(SetData(bars, 2, shift, nrate, log), "MPLSetData: Successful");
  }
  std::ofstream(log, std::ios::binary | std::ios::trunc) << "kept";
  EXPECT_STREQ(SetData(bars, 2, 2, 0, log), "Error: MPLSetData, wrong shift number");
  EXPECT_EQ(ReadFile(log), "kept");
}

TEST(BarLinesTest, HighestIndexFirstAndAppendedAfterWhatWasThere) {
  testing::TempDir dir;
  const std::string log = dir.file("bars.txt");
  std::ofstream(log, std::ios::binary) << "before\r\n";
  const RateInfo bars[3] = {Bar(100, 1.5, 1.25, 2, 1.75, 10),
                            Bar(4294967295u, 0.1 + 0.2, 1.0 / 3.0, 100, 0.0001, 0.00001),
                            Bar(0, 1e15, 999999999999999.9, -0.0, -2.5, 1.23456789012346e17)};
  ASSERT_STREQ(SetData(bars, 3, 0, 0, log), "MPLSetData: Successful");
  const std::string lines =
      "Bar: 2 Time: 0 Open: 1E+15 Low: 1E+15 High: 0 Close: -2.5 Vol: 1.23456789012346E+17 \r\n"
      "Bar: 1 Time: 4294967295 Open: 0.3 Low: 0.333333333333333 High: 100 Close: 0.0001 Vol: 1E-05 "
      "\r\n"
      "Bar: 0 Time: 100 Open: 1.5 Low: 1.25 High: 2 Close: 1.75 Vol: 10 \r\n";
  EXPECT_EQ(ReadFile(log), "before\r\n" + lines);
  ASSERT_STREQ(SetData(bars, 1, 0, 5, log), "MPLSetData: Successful");
  EXPECT_EQ(ReadFile(log),
            "before\r\n" + lines +
                "Bar: 0 Time: 100 Open: 1.5 Low: 1.25 High: 2 Close: 1.75 Vol: 10 \r\n");
}

TEST(BarLinesTest, MisalignedArrayReadsCorrectly) {
  // Records starting at an odd address: every double lies off its natural alignment.
  std::vector<unsigned char> storage(1 + 2 * sizeof(RateInfo));
  const RateInfo bars[2] = {Bar(7, 1.5, 2.5, 3.5, 4.5, 5.5), Bar(8, -1, -2, -3, -4, -5)};
  std::memcpy(storage.data() + 1, bars, sizeof bars);
  const auto* misaligned = reinterpret_cast<const RateInfo*>(storage.data() + 1);
  EXPECT_EQ(FormatBarLines(misaligned, 2, NumberSymbols{}),
            "Bar: 1 Time: 8 Open: -1 Low: -2 High: -3 Close: -4 Vol: -5 \r\n"
            "Bar: 0 Time: 7 Open: 1.5 Low: 2.5 High: 3.5 Close: 4.5 Vol: 5.5 \r\n");
}

TEST(BarLinesTest, NonFiniteValuesAndLocaleSeparator) {
  const RateInfo bar =
      Bar(1, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity(), 1.5, 0);
  EXPECT_EQ(FormatBarLines(&bar, 1, NumberSymbols{}),
            "Bar: 0 Time: 1 Open: NaN Low: Infinity High: -Infinity Close: 1.5 Vol: 0 \r\n");
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE.UTF-8 locale";
  const std::string line = FormatBarLines(&bar, 1, CurrentNumberSymbols());
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_NE(line.find("Close: 1,5 "), std::string::npos) << line;
}

TEST(BarLogFailureTest, MissingFolderGivesItsTextAndCreatesNothing) {
  testing::TempDir dir;
  const std::string log = (dir.path() / "missing" / "bars.txt").string();
  const RateInfo bar = Bar(1, 1, 1, 1, 1, 1);
  EXPECT_STREQ(SetData(&bar, 1, 0, 0, log), "Error: MPLSetData, bar log not written");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
}

#ifndef _WIN32
TEST(BarLogFailureTest, WriteCutShortLeavesNoPartialLine) {
  testing::TempDir dir;
  const std::string log = dir.file("bars.txt");
  const std::string before = "Bar: 0 Time: 1 Open: 1 Low: 1 High: 1 Close: 1 Vol: 1 \r\n";
  std::ofstream(log, std::ios::binary) << before;
  std::vector<RateInfo> bars(500, Bar(1, 1.25, 1.5, 1.75, 2, 3));
  // At most 4 KiB may be written into any file, far less than 500 lines.
  EXPECT_EQ(testing::WithFileSizeLimit(4096, [&] { return SetData(bars.data(), 500, 0, 0, log); }),
            "Error: MPLSetData, bar log not written");
  EXPECT_EQ(ReadFile(log), before);
}
#endif

}  // namespace
}  // namespace mplnet
