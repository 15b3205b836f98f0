// The lines of a data table as every reader of one takes them: one at a time, none longer than
// kTableLineMaxBytes, the first without the byte-order mark a Windows tool may write. The table's
// reader and the reader of its recipe header both read through it, so the header a recipe is
// looked for in is the text the rows are read from, and neither reads a huge line whole.
#ifndef MPLNET_DATASETS_TABLE_LINES_H_
#define MPLNET_DATASETS_TABLE_LINES_H_

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <utility>

#include "datasets/line_reader.h"
#include "datasets/number_line.h"
#include "mplnet/data_table.h"

namespace mplnet {

class TableLines {
 public:
  // `file` names the table in messages (`data file "NAME"`, say).
  TableLines(std::istream& in, std::string file)
      : lines_(in, kTableLineMaxBytes), file_(std::move(file)) {}

  // Gives the next line without its LF (a CR before it stays), valid until the next call; false
  // after the last. Throws Failure naming the file for a stream that cannot be read, and the line
  // too for one longer than the limit, which ends the reading.
  template <typename Failure>
  bool Next(std::string_view& line) {
    const LineReader::Status status = lines_.Next(line);
    if (status == LineReader::Status::kEnd) return false;
    ++number_;
    if (status == LineReader::Status::kFailed) throw Failure("cannot read " + file_);
    if (status == LineReader::Status::kTooLong) {
      throw Failure(Where() + " is longer than " + std::to_string(kTableLineMaxBytes >> 20) +
                    " MiB, the longest line a data table may hold");
    }
    if (number_ == 1) line = WithoutByteOrderMark(line);
    return true;
  }

  // The number of the line Next gave last, from 1.
  std::size_t number() const { return number_; }
  // `file`, ", line N" for that line.
  std::string Where() const { return file_ + ", line " + std::to_string(number_); }

 private:
  LineReader lines_;
  std::string file_;
  std::size_t number_ = 0;
};

}  // namespace mplnet

#endif  // MPLNET_DATASETS_TABLE_LINES_H_
