// Lines of numbers, as `mplnet run` reads its inputs and the trainer reads its data tables: one
// reader for both, so a line means the same numbers wherever it is given.
//
// Semicolons, blanks and tabs always separate numbers, and "#" starts a comment that runs to the
// end of the line. A comma separates numbers too, with one exception that lets files written under
// a decimal-comma locale be read: in a line whose numbers are separated by semicolons or blanks, a
// comma standing between two digits is the decimal point of the number it stands in, when that
// number holds no other comma and no "." ("0,5", "-1,25E-3"). A line without semicolons or blanks
// between its numbers ("0,5") reads every comma as a separator. A line whose commas would be
// decimal points in some places and separators in others ("1,5, 2,5": is it 1.5 and 2.5, or 1, 5,
// 2 and 5?) is refused as ambiguous rather than guessed, wherever the commas stand.
//
// The format: docs/data-table.md.
#ifndef MPLNET_DATASETS_NUMBER_LINE_H_
#define MPLNET_DATASETS_NUMBER_LINE_H_

#include <string>
#include <string_view>
#include <vector>

namespace mplnet {

// What one line holds.
struct NumberLine {
  std::vector<double> values;   // empty for a blank line or one holding only a comment; with a
                                // bad piece, the values before it
  std::string bad_piece;        // the first piece that could not be read; empty when all were
  bool ambiguous = false;       // bad_piece reads as a number with a decimal comma, but the line
                                // also uses commas to separate numbers, as separator_piece shows
  std::string separator_piece;  // with `ambiguous`, the first piece holding a separating comma
};

// Reads the numbers of `line` by the rules above (each number: blanks around, an optional sign,
// digits with one decimal point, an optional exponent; "NaN" and "Infinity" in any case).
NumberLine ParseNumberLine(std::string_view line);

// `first_line` without the UTF-8 byte-order mark that a file written by a Windows tool may start
// with: every reader of a text file passes its first line through this (tables, their recipe
// header, bar logs, inputs).
std::string_view WithoutByteOrderMark(std::string_view first_line);

// Why the line's bad piece was not read, quoting it: "\"x\" is not a number", or the ambiguity.
std::string DescribeBadPiece(const NumberLine& line);

}  // namespace mplnet

#endif  // MPLNET_DATASETS_NUMBER_LINE_H_
