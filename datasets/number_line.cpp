#include "datasets/number_line.h"

#include <optional>
#include <utility>

#include "persistence/number_text.h"
#include "persistence/shown_text.h"

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

// Whether `part` is one number whose decimal point is its one comma, standing between two digits.
bool HasDecimalComma(std::string_view part) {
  const std::size_t comma = part.find(',');
  if (comma == std::string_view::npos || comma == 0 || comma + 1 == part.size()) return false;
  if (part.find(',', comma + 1) != std::string_view::npos) return false;
  if (part.find('.') != std::string_view::npos) return false;
  return IsDigit(part[comma - 1]) && IsDigit(part[comma + 1]) && ReadNumber(part).has_value();
}

// Whether the comma at `at` stands between two digits, where it may be a decimal point.
bool BetweenDigits(std::string_view piece, std::size_t at) {
  return at > 0 && at + 1 < piece.size() && IsDigit(piece[at - 1]) && IsDigit(piece[at + 1]);
}

// The pieces of `line` between semicolons and blanks.
std::vector<std::string_view> Pieces(std::string_view line) {
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
  return pieces;
}

// Reads the numbers of a line; `decimal_commas` when semicolons or blanks separate them.
class LineReader {
 public:
  explicit LineReader(bool decimal_commas) : decimal_commas_(decimal_commas) {}

  // Reads one piece; false when a part of it is not a number.
  bool Read(std::string_view piece) {
    if (!decimal_commas_) return ReadSeparated(piece, piece);
    // A comma that does not stand between two digits separates, whatever the line; each stretch
    // between such commas is one number with a decimal comma, or numbers separated by its commas.
    std::size_t start = 0;
    for (std::size_t at = 0; at <= piece.size(); ++at) {
      if (at < piece.size() && (piece[at] != ',' || BetweenDigits(piece, at))) continue;
      if (at < piece.size()) NoteSeparator(piece);
      const std::string_view stretch = piece.substr(start, at - start);
      start = at + 1;
      if (HasDecimalComma(stretch)) {
        if (first_decimal_.empty()) {
          first_decimal_ = stretch;
          read_before_ = result_.values.size();
        }
        result_.values.push_back(*ReadNumber(stretch));
      } else if (!ReadSeparated(stretch, piece)) {
        return false;
      }
    }
    return true;
  }

  // What the line holds, refused as ambiguous when its commas served both ways.
  NumberLine Finish() {
    if (!first_decimal_.empty() && !first_separator_.empty()) {
      result_.values.resize(read_before_);
      result_.bad_piece = std::string(first_decimal_);
      result_.ambiguous = true;
      result_.separator_piece = std::string(first_separator_);
    }
    return std::move(result_);
  }

  NumberLine& result() { return result_; }

 private:
  void NoteSeparator(std::string_view piece) {
    if (first_separator_.empty()) first_separator_ = piece;
  }

  // Reads the comma-separated numbers of `text`, a part of `piece`.
  bool ReadSeparated(std::string_view text, std::string_view piece) {
    std::size_t pos = 0;
    while (pos <= text.size()) {
      std::size_t end = text.find(',', pos);
      if (end == std::string_view::npos) {
        end = text.size();
      } else {
        NoteSeparator(piece);
      }
      const std::string_view part = text.substr(pos, end - pos);
      if (!part.empty()) {
        const std::optional<double> value = ReadNumber(part);
        if (!value) {
          result_.bad_piece = std::string(part);
          return false;
        }
        result_.values.push_back(*value);
      }
      pos = end + 1;
    }
    return true;
  }

  bool decimal_commas_;
  NumberLine result_;
  std::string_view first_decimal_;    // the first number read with a decimal comma
  std::size_t read_before_ = 0;       // values read before it
  std::string_view first_separator_;  // the first piece holding a separating comma
};

}  // namespace

NumberLine ParseNumberLine(std::string_view line) {
  if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
    line = line.substr(0, hash);
  }
  const std::vector<std::string_view> pieces = Pieces(line);
  // Several pieces mean semicolons or blanks separate the numbers; so does one piece followed or
  // preceded by a semicolon ("0,5;").
  LineReader reader(pieces.size() > 1 ||
                    (pieces.size() == 1 && line.find(';') != std::string_view::npos));
  for (const std::string_view& piece : pieces) {
    if (!reader.Read(piece)) return std::move(reader.result());
  }
  return reader.Finish();
}

std::string_view WithoutByteOrderMark(std::string_view first_line) {
  if (first_line.starts_with("\xEF\xBB\xBF")) first_line.remove_prefix(3);
  return first_line;
}

std::string DescribeBadPiece(const NumberLine& line) {
  if (line.ambiguous) {
    return "ambiguous: the line uses commas as decimal points (" + QuotedText(line.bad_piece) +
           ") and as separators (" + QuotedText(line.separator_piece) +
           "); write \".\" as the decimal point, or separate the numbers by semicolons or "
           "blanks alone";
  }
  return QuotedText(line.bad_piece) + " is not a number";
}

}  // namespace mplnet
