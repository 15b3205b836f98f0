// Number texts shared by the network file and the bar log.
//
// Writing follows the process locale for the decimal separator and the negative sign and never
// writes group separators. Reading is deliberately wider than writing: every separator a locale
// writes ("." and "," and the Arabic U+066B of ps_AF) and every negative sign ("-" and U+2212,
// perhaps after direction marks) is read whatever the locale, and nothing is ever taken as
// grouping. A separator or sign of a user's own choosing, which no other locale would read, is
// written as "." or "-". So a file written under any locale reads back to the same values under
// any other. Digits are converted exactly (std::from_chars), never through the C library's
// locale-dependent functions.
#ifndef MPLNET_PERSISTENCE_NUMBER_TEXT_H_
#define MPLNET_PERSISTENCE_NUMBER_TEXT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mplnet {

// The locale's number symbols, as UTF-8 texts.
struct NumberSymbols {
  std::string decimal = ".";
  std::string minus = "-";
};

// The process locale's symbols now: the user default locale's on Windows, LC_NUMERIC's elsewhere.
// Callers that format or parse many numbers fetch them once and pass them on.
NumberSymbols CurrentNumberSymbols();

// `v` in the general format with 15 significant digits ("0.1", "1E-05", "1.5E+20", "NaN",
// "Infinity", "-Infinity"); negative zero is "0". The symbols are those of `symbols` where every
// reader takes them, "." and "-" otherwise.
std::string FormatReal(double v, const NumberSymbols& symbols);
// FormatReal under the process locale's symbols.
std::string FormatReal(double v);
// Appends FormatReal(v, symbols) to `out`: a writer of many numbers reuses one buffer.
void AppendReal(std::string& out, double v, const NumberSymbols& symbols);

// Plain decimal digits, no sign, no grouping, no leading zeros.
std::string FormatUnsigned(std::uint64_t v);
// Plain decimal digits with "-" in front of a negative value.
std::string FormatInt(std::int64_t v);

// Reads a real number: blanks around; an optional sign ("+", "-", U+2212, either after direction
// marks, or the locale's negative sign); digits with at most one decimal separator (".", ",",
// U+066B or the locale's), at least one digit on either side of it ("1.", ".5" are accepted); an
// optional exponent ("E" or "e", optional sign, digits). "NaN" and an optionally signed "Infinity"
// are read in any case. Anything else, and any value outside the range of double (1e400, or 1e-400
// which would silently become 0), gives nullopt.
std::optional<double> ParseReal(std::string_view text, const NumberSymbols& symbols);
// ParseReal under the process locale's symbols.
std::optional<double> ParseReal(std::string_view text);

// Reads a 16-bit unsigned number: blanks around, an optional sign, decimal digits, value 0 to 65535
// ("-0" is 0). Anything else gives nullopt.
std::optional<std::uint16_t> ParseUInt16(std::string_view text);

}  // namespace mplnet

#endif  // MPLNET_PERSISTENCE_NUMBER_TEXT_H_
