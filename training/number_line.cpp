#include "training/number_line.h"

#include <optional>

#include "persistence/number_text.h"

namespace mplnet {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Fixed symbols rather than the process locale's: the same file must give the same numbers on
// every machine.
std::optional<double> ReadNumber(std::string_view text) {
  static const NumberSymbols kSymbols{};
  return ParseReal(text, kSymbols);
}

// Whether `piece` is one number whose decimal point is its one comma, standing between two digits.
bool HasDecimalComma(std::string_view piece) {
  const std::size_t comma = piece.find(',');
  if (comma == std::string_view::npos || comma == 0 || comma + 1 == piece.size()) return false;
  if (piece.find(',', comma + 1) != std::string_view::npos) return false;
  if (piece.find('.') != std::string_view::npos) return false;
  return IsDigit(piece[comma - 1]) && IsDigit(piece[comma + 1]) && ReadNumber(piece).has_value();
}

// Reads the comma-separated parts of `piece` into `out`; false, with the part in `bad`, when one
// is not a number.
bool ReadCommaSeparated(std::string_view piece, std::vector<double>& out, std::string& bad) {
  std::size_t pos = 0;
  while (pos <= piece.size()) {
    std::size_t end = piece.find(',', pos);
    if (end == std::string_view::npos) end = piece.size();
    const std::string_view part = piece.substr(pos, end - pos);
    if (!part.empty()) {
      const std::optional<double> value = ReadNumber(part);
      if (!value) {
        bad = std::string(part);
        return false;
      }
      out.push_back(*value);
    }
    pos = end + 1;
  }
  return true;
}

}  // namespace

NumberLine ParseNumberLine(std::string_view line) {
  if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
    line = line.substr(0, hash);
  }
  // The pieces between semicolons and blanks.
  std::vector<std::string_view> pieces;
  for (std::size_t pos = 0; pos < line.size();) {
    if (line[pos] == ';' || IsBlank(line[pos])) {
      ++pos;
      continue;
    }
    std::size_t end = pos;
    while (end < line.size() && line[end] != ';' && !IsBlank(line[end])) ++end;
    pieces.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  // Several pieces mean semicolons or blanks separate the numbers; so does one piece followed or
  // preceded by a semicolon ("0,5;").
  const bool other_separators =
      pieces.size() > 1 || (pieces.size() == 1 && line.find(';') != std::string_view::npos);

  NumberLine result;
  const std::string_view* first_decimal_comma = nullptr;
  std::size_t read_before = 0;  // values read before that piece
  bool separating_comma = false;
  for (const std::string_view& piece : pieces) {
    if (other_separators && HasDecimalComma(piece)) {
      if (first_decimal_comma == nullptr) {
        first_decimal_comma = &piece;
        read_before = result.values.size();
      }
      result.values.push_back(*ReadNumber(piece));
      continue;
    }
    separating_comma = separating_comma || piece.find(',') != std::string_view::npos;
    if (!ReadCommaSeparated(piece, result.values, result.bad_piece)) return result;
  }
  if (first_decimal_comma != nullptr && separating_comma) {
    result.values.resize(read_before);
    result.bad_piece = std::string(*first_decimal_comma);
    result.ambiguous = true;
  }
  return result;
}

std::string DescribeBadPiece(const NumberLine& line) {
  std::string text = "\"" + line.bad_piece + "\"";
  if (line.ambiguous) {
    return text +
           " is ambiguous: the line also separates numbers with commas, so its comma may be a "
           "decimal point or a separator";
  }
  return text + " is not a number";
}

}  // namespace mplnet
