#include "persistence/number_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace mplnet {
namespace {

// Switches LC_ALL for one test and restores the previous locale afterwards.
class ScopedLocale {
 public:
  explicit ScopedLocale(const char* name) {
    const char* current = std::setlocale(LC_ALL, nullptr);
    previous_ = current != nullptr ? current : "C";
    ok_ = std::setlocale(LC_ALL, name) != nullptr;
  }
  ~ScopedLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;
  bool ok() const { return ok_; }

 private:
  std::string previous_;
  bool ok_ = false;
};

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(FormatRealTest, GeneralFormatWithFifteenDigits) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.1 + 0.2, "0.3"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {100, "100"},
      {0.25, "0.25"},
      {-2.5, "-2.5"},
      {0.0001, "0.0001"},
      {0.00001, "1E-05"},
      {1.5e-7, "1.5E-07"},
      {0.000123456, "0.000123456"},
      {0.00009999999999999999, "0.0001"},  // rounds up into positional range
      {1e14, "100000000000000"},
      {99999999999999.9, "99999999999999.9"},
      {123456789012345, "123456789012345"},
      {1e15, "1E+15"},
      {999999999999999.9, "1E+15"},  // notation chosen after rounding
      {123456789012345678.0, "1.23456789012346E+17"},
      {-1e-300, "-1E-300"},
      {5e-324, "4.94065645841247E-324"},
      {std::numeric_limits<double>::max(), "1.79769313486232E+308"},
      {0.0, "0"},
      {-0.0, "0"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {kInf, "Infinity"},
      {-kInf, "-Infinity"},
  };
  const NumberSymbols c;
  for (const auto& test : cases) EXPECT_EQ(FormatReal(test.value, c), test.text) << test.text;
}

TEST(FormatIntegerTest, PlainDigits) {
  EXPECT_EQ(FormatUnsigned(0), "0");
  EXPECT_EQ(FormatUnsigned(65535), "65535");
  EXPECT_EQ(FormatUnsigned(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
  EXPECT_EQ(FormatInt(-5), "-5");
  EXPECT_EQ(FormatInt(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
}

TEST(ParseRealTest, AcceptedTexts) {
  const struct {
    const char* text;
    double value;
  } cases[] = {
      {"0.5", 0.5},
      {"0,5", 0.5},
      {" \t1.5\t ", 1.5},
      {"+.5e3", 500},
      {"1.", 1},
      {".5", 0.5},
      {"-2,25E-2", -0.0225},
      {"1E-05", 1e-05},
      {"1e+15", 1e15},
      {"\xE2\x88\x92"
       "1.5",
       -1.5},  // U+2212 minus sign
      {"007", 7},
      {"4.94065645841247E-324", 5e-324},
      {"0.1000000000000000055511151231257827021181583404541015625", 0.1},
      {"INFINITY", kInf},
      {"-Infinity", -kInf},
      {"+infinity", kInf},
  };
  const NumberSymbols c;
  for (const auto& test : cases) {
    const auto value = ParseReal(test.text, c);
    ASSERT_TRUE(value.has_value()) << test.text;
    EXPECT_EQ(*value, test.value) << test.text;
  }
  const auto nan = ParseReal("nan", c);
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
  const auto negative_zero = ParseReal("-0", c);
  ASSERT_TRUE(negative_zero.has_value());
  EXPECT_TRUE(std::signbit(*negative_zero));
  // Longer than any stack buffer: still converted exactly.
  std::string long_text = "0.";
  long_text.append(300, '0').append("1e300");
  EXPECT_EQ(ParseReal(long_text, c), 0.1);
}

TEST(ParseRealTest, RefusedTexts) {
  const char* cases[] = {"",      " ",      ".",      "1.2.3", "1,000.5", "1 000",     "1e",
                         "1e+",   "e5",     "--1",    "+-1",   "1x",      "0x10",      "1.5 e3",
                         "1e400", "-1e400", "1e-400", "-NaN",  "inf",     "Infinity1", "1'000"};
  const NumberSymbols c;
  for (const char* text : cases) EXPECT_FALSE(ParseReal(text, c).has_value()) << text;
}

TEST(ParseRealTest, RoundTripKeepsFifteenDigits) {
  std::mt19937_64 bits(42);
  const NumberSymbols c;
  for (int i = 0; i < 20000; ++i) {
    double v;
    const std::uint64_t pattern = bits();
    std::memcpy(&v, &pattern, sizeof v);
    if (!std::isfinite(v)) continue;
    const std::string text = FormatReal(v, c);
    const auto back = ParseReal(text, c);
    ASSERT_TRUE(back.has_value()) << text;
    // Written again, the value read back gives the same text, and it is the double nearest to it.
    EXPECT_EQ(FormatReal(*back, c), text);
    EXPECT_EQ(ParseReal(FormatReal(*back, c), c), back);
    EXPECT_LE(std::fabs(*back - v), std::fabs(v) * 5e-15) << text;
  }
}

TEST(NumberLocaleTest, ProcessSymbolsWriteAndReadBack) {
  const NumberSymbols symbols = CurrentNumberSymbols();
  std::string expected = symbols.minus;
  expected.append("1").append(symbols.decimal).append("5");
  EXPECT_EQ(FormatReal(-1.5), expected);
  EXPECT_EQ(ParseReal(expected), -1.5);
}

TEST(NumberLocaleTest, DecimalCommaWritesCommaAndReadsBoth) {
#ifdef _WIN32
  GTEST_SKIP() << "on Windows the user's default locale decides, which setlocale does not change";
#endif
  ScopedLocale german("de_DE.UTF-8");
  if (!german.ok()) GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
  EXPECT_EQ(CurrentNumberSymbols().decimal, ",");
  EXPECT_EQ(FormatReal(1.5), "1,5");
  EXPECT_EQ(FormatReal(-1.5e-7), "-1,5E-07");
  EXPECT_EQ(FormatReal(1.0 / 3), "0,333333333333333");
  EXPECT_EQ(ParseReal("0,5"), 0.5);
  EXPECT_EQ(ParseReal("0.5"), 0.5);
  EXPECT_FALSE(ParseReal("1.000,5").has_value());  // never grouping
}

TEST(NumberLocaleTest, DecimalPointLocaleReadsCommaAsDecimal) {
#ifdef _WIN32
  GTEST_SKIP() << "on Windows the user's default locale decides, which setlocale does not change";
#endif
  ScopedLocale c("C");
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(FormatReal(1.5), "1.5");
  EXPECT_EQ(ParseReal("0,5"), 0.5);
  ScopedLocale english("en_US.UTF-8");
  if (!english.ok()) GTEST_SKIP() << "locale en_US.UTF-8 is not installed";
  EXPECT_EQ(ParseReal("0,5"), 0.5);  // a group separator of the locale, yet not grouping
}

// Whatever symbols the writer's locale has, its numbers read back under any other locale: the
// separators locales use are read everywhere, and symbols of a user's own choosing are not written.
TEST(NumberLocaleTest, EveryWritersNumbersReadBackUnderEveryLocale) {
  const struct {
    const char* locale;
    NumberSymbols writer;
  } writers[] = {
      {"point", {".", "-"}},
      {"comma", {",", "-"}},
      {"ps_AF: U+066B", {"\xD9\xAB", "-"}},
      {"U+2212 minus", {",", "\xE2\x88\x92"}},
      {"minus after a left-to-right mark", {".", "\xE2\x80\x8E-"}},
      {"a user's own separator and sign", {"dec", "neg"}},
  };
  const NumberSymbols readers[] = {{".", "-"}, {",", "-"}};
  for (const auto& [locale, writer] : writers) {
    for (const double v : {-1.5, 1.0 / 3, -2.5e-7, 123456.75}) {
      const std::string text = FormatReal(v, writer);
      for (const NumberSymbols& reader : readers) {
        EXPECT_EQ(ParseReal(text, reader), ParseReal(FormatReal(v, NumberSymbols{}), reader))
            << locale << ": " << text;
      }
    }
  }
#ifndef _WIN32
  ScopedLocale pashto("ps_AF.UTF-8");
  if (!pashto.ok()) GTEST_SKIP() << "locale ps_AF.UTF-8 is not installed";
  const std::string text = FormatReal(-0.5);
  ScopedLocale c("C");
  EXPECT_EQ(ParseReal(text), -0.5) << text;
#endif
}

TEST(ParseUInt16Test, RangeAndSyntax) {
  const struct {
    const char* text;
    std::optional<std::uint16_t> value;
  } cases[] = {
      {"0", 0},      {"65535", 65535}, {" 42 ", 42}, {"+5", 5},
      {"-0", 0},     {"007", 7},       {"-1", {}},   {"65536", {}},
      {"70000", {}}, {"", {}},         {"+", {}},    {"1.0", {}},
      {"1e3", {}},   {"0x1", {}},      {"4 2", {}},  {"99999999999999999999", {}},
  };
  for (const auto& test : cases) EXPECT_EQ(ParseUInt16(test.text), test.value) << test.text;
}

}  // namespace
}  // namespace mplnet
