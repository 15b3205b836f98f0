#include "persistence/number_text.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <limits>
#include <system_error>

#include "persistence/windows_api.h"

namespace mplnet {
namespace {

constexpr std::string_view kUnicodeMinus = "\xE2\x88\x92";  // U+2212, used by some locales
constexpr std::string_view kArabicDecimal = "\xD9\xAB";     // U+066B, the separator of ps_AF
// Marks that keep a sign beside its number in right-to-left text; some locales' negative signs
// start with one: left-to-right mark, right-to-left mark, Arabic letter mark.
constexpr std::string_view kDirectionMarks[] = {"\xE2\x80\x8E", "\xE2\x80\x8F", "\xD8\x9C"};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view TrimBlanks(std::string_view t) {
  while (!t.empty() && IsBlank(t.front())) t.remove_prefix(1);
  while (!t.empty() && IsBlank(t.back())) t.remove_suffix(1);
  return t;
}

bool ConsumePrefix(std::string_view& t, std::string_view prefix) {
  // The first byte decides almost every test, and comparing it alone costs no library call.
  if (prefix.empty() || t.empty() || t[0] != prefix[0]) return false;
  if (t.substr(0, prefix.size()) != prefix) return false;
  t.remove_prefix(prefix.size());
  return true;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Skips the direction marks at the start of `t`.
std::string_view SkipDirectionMarks(std::string_view t) {
  for (bool more = true; more;) {
    more = false;
    for (const std::string_view mark : kDirectionMarks) more = more || ConsumePrefix(t, mark);
  }
  return t;
}

bool IsMinus(std::string_view sign) {
  return sign == "-" || sign == kUnicodeMinus;
}

// The negative sign of any locale: "-" or U+2212, perhaps after direction marks, or the locale's
// own.
bool ConsumeMinus(std::string_view& t, const NumberSymbols& symbols) {
  if (ConsumePrefix(t, "-") || ConsumePrefix(t, kUnicodeMinus) || ConsumePrefix(t, symbols.minus)) {
    return true;
  }
  std::string_view rest = SkipDirectionMarks(t);
  if (rest.size() == t.size() ||
      !(ConsumePrefix(rest, "-") || ConsumePrefix(rest, kUnicodeMinus))) {
    return false;
  }
  t = rest;
  return true;
}

// The symbols a number is written with: the locale's where every reader takes them, whatever its
// own locale; "." and "-" for a separator or sign beyond those (a user's own choice on Windows),
// which would leave a file that no other locale reads.
std::string_view WrittenDecimal(const NumberSymbols& symbols) {
  const std::string_view d = symbols.decimal;
  return d == "." || d == "," || d == kArabicDecimal ? d : ".";
}
std::string_view WrittenMinus(const NumberSymbols& symbols) {
  return IsMinus(SkipDirectionMarks(symbols.minus)) ? std::string_view(symbols.minus) : "-";
}

std::size_t CountDigits(std::string_view t) {
  std::size_t n = 0;
  while (n < t.size() && IsDigit(t[n])) ++n;
  return n;
}

// The writer rounds to 15 significant digits, so the largest doubles are written as
// 1.79769313486232E+308, a little above the largest double. Such a text, one that lies within that
// rounding (its value at most 1.79769313486232E+308), stands for the largest double; without this a
// saved network holding such a value would not load again.
bool WithinRoundingOfLargestDouble(std::string_view whole, std::string_view fraction,
                                   std::string_view exponent, bool negative_exponent) {
  std::string digits(whole);
  digits.append(fraction);
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return false;
  const std::size_t last = digits.find_last_not_of('0');
  // The power of ten of the first significant digit.
  long long power = static_cast<long long>(whole.size()) - 1 - static_cast<long long>(first);
  long long shift = 0;
  for (const char c : exponent) shift = std::min(shift * 10 + (c - '0'), 1000000LL);
  power += negative_exponent ? -shift : shift;
  return power == 308 &&
         std::string_view(digits).substr(first, last - first + 1) <= "179769313486232";
}

#ifdef _WIN32
std::string LocaleText(LCTYPE type, const char* fallback) {
  wchar_t wide[16];
  const int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, wide, 16);
  if (n <= 1) return fallback;
  char utf8[64];
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide, n - 1, utf8, sizeof utf8, nullptr, nullptr);
  return m > 0 ? std::string(utf8, static_cast<std::size_t>(m)) : std::string(fallback);
}
#endif

}  // namespace

NumberSymbols CurrentNumberSymbols() {
  NumberSymbols symbols;
#ifdef _WIN32
  symbols.decimal = LocaleText(LOCALE_SDECIMAL, ".");
  symbols.minus = LocaleText(LOCALE_SNEGATIVESIGN, "-");
#else
  const std::lconv* conv = std::localeconv();
  if (conv != nullptr && conv->decimal_point != nullptr && conv->decimal_point[0] != '\0') {
    symbols.decimal = conv->decimal_point;
  }
#endif
  return symbols;
}

void AppendReal(std::string& out, double v, const NumberSymbols& symbols) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::isinf(v)) {
    out += v > 0 ? "Infinity" : "-Infinity";
    return;
  }
  if (v == 0) {
    out += '0';  // negative zero included
    return;
  }

  // Round to 15 significant digits first ("d.dddddddddddddde+XX"), then choose the notation from
  // the rounded exponent, so 999999999999999.9 becomes 1E+15 rather than a 16-digit integer.
  char sci[32];
  const auto done =
      std::to_chars(sci, sci + sizeof sci, std::fabs(v), std::chars_format::scientific, 14);
  const std::string_view text(sci, static_cast<std::size_t>(done.ptr - sci));
  const std::size_t e = text.find('e');
  char digits[15];
  digits[0] = text[0];
  for (std::size_t i = 1; i < 15; ++i) digits[i] = text[i + 1];
  int exponent = 0;
  std::from_chars(text.data() + e + 2, text.data() + text.size(), exponent);
  if (text[e + 1] == '-') exponent = -exponent;
  std::size_t n = 15;
  while (n > 1 && digits[n - 1] == '0') --n;

  const std::string_view decimal = WrittenDecimal(symbols);
  if (v < 0) out += WrittenMinus(symbols);
  if (exponent >= -4 && exponent <= 14) {
    if (exponent >= 0) {
      const auto whole = static_cast<std::size_t>(exponent) + 1;
      for (std::size_t i = 0; i < whole; ++i) out += i < n ? digits[i] : '0';
      if (n > whole) {
        out += decimal;
        out.append(digits + whole, n - whole);
      }
    } else {
      out += '0';
      out += decimal;
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out.append(digits, n);
    }
  } else {
    out += digits[0];
    if (n > 1) {
      out += decimal;
      out.append(digits + 1, n - 1);
    }
    out += 'E';
    out += exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    char buf[8];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, magnitude).ptr);
  }
}

std::string FormatReal(double v, const NumberSymbols& symbols) {
  std::string out;
  AppendReal(out, v, symbols);
  return out;
}

std::string FormatReal(double v) {
  return FormatReal(v, CurrentNumberSymbols());
}

std::string FormatUnsigned(std::uint64_t v) {
  char buf[24];
  const auto done = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, done.ptr);
}

std::string FormatInt(std::int64_t v) {
  char buf[24];
  const auto done = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, done.ptr);
}

std::optional<double> ParseReal(std::string_view text, const NumberSymbols& symbols) {
  std::string_view t = TrimBlanks(text);
  const bool plus = ConsumePrefix(t, "+");
  const bool negative = !plus && ConsumeMinus(t, symbols);
  const bool signed_text = plus || negative;
  if (EqualsIgnoringAsciiCase(t, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  }
  if (!signed_text && EqualsIgnoringAsciiCase(t, "nan")) {
    return std::numeric_limits<double>::quiet_NaN();
  }

  const std::string_view whole = t.substr(0, CountDigits(t));
  t.remove_prefix(whole.size());
  std::string_view fraction;
  if (ConsumePrefix(t, ".") || ConsumePrefix(t, ",") || ConsumePrefix(t, kArabicDecimal) ||
      ConsumePrefix(t, symbols.decimal)) {
    fraction = t.substr(0, CountDigits(t));
    t.remove_prefix(fraction.size());
  }
  if (whole.empty() && fraction.empty()) return std::nullopt;
  bool negative_exponent = false;
  std::string_view exponent;
  if (!t.empty() && (t.front() == 'e' || t.front() == 'E')) {
    t.remove_prefix(1);
    if (!ConsumePrefix(t, "+")) negative_exponent = ConsumePrefix(t, "-");
    exponent = t.substr(0, CountDigits(t));
    t.remove_prefix(exponent.size());
    if (exponent.empty()) return std::nullopt;
  }
  if (!t.empty()) return std::nullopt;

  // Rebuild the number in the one syntax std::from_chars takes: [-]digits[.digits][e[-]digits].
  char local[128];
  std::string heap;
  char* buf = local;
  const std::size_t need = whole.size() + fraction.size() + exponent.size() + 6;
  if (need > sizeof local) {
    heap.resize(need);
    buf = heap.data();
  }
  char* p = buf;
  if (negative) *p++ = '-';
  if (whole.empty()) *p++ = '0';
  p = std::copy(whole.begin(), whole.end(), p);
  if (!fraction.empty()) {
    *p++ = '.';
    p = std::copy(fraction.begin(), fraction.end(), p);
  }
  if (!exponent.empty()) {
    *p++ = 'e';
    if (negative_exponent) *p++ = '-';
    p = std::copy(exponent.begin(), exponent.end(), p);
  }
  double value = 0;
  const auto done = std::from_chars(buf, p, value, std::chars_format::general);
  if (done.ec == std::errc::result_out_of_range &&
      WithinRoundingOfLargestDouble(whole, fraction, exponent, negative_exponent)) {
    return negative ? -std::numeric_limits<double>::max() : std::numeric_limits<double>::max();
  }
  // result_out_of_range covers both overflow and a non-zero value that would round to zero.
  if (done.ec != std::errc() || done.ptr != p) return std::nullopt;
  return value;
}

std::optional<double> ParseReal(std::string_view text) {
  return ParseReal(text, CurrentNumberSymbols());
}

std::optional<std::uint16_t> ParseUInt16(std::string_view text) {
  std::string_view t = TrimBlanks(text);
  bool negative = false;
  if (!ConsumePrefix(t, "+")) negative = ConsumePrefix(t, "-");
  if (t.empty() || CountDigits(t) != t.size()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : t) {
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

}  // namespace mplnet
