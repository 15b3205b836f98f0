// Lines of a text stream, one at a time and each of bounded length, for the readers of files whose
// size the user does not decide (data tables, bar logs, inputs): memory stays within one block and
// one line however large the file, and a file without line ends (/dev/zero, a binary file) is
// refused at the limit instead of read whole.
#ifndef MPLNET_DATASETS_LINE_READER_H_
#define MPLNET_DATASETS_LINE_READER_H_

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>

namespace mplnet {

class LineReader {
 public:
  enum class Status {
    kLine,     // a line, with or without its line end (see ended())
    kEnd,      // no more lines
    kTooLong,  // the next line holds more than max_line bytes; nothing more is read
    kFailed,   // the stream could not be read
  };

  // Reads `in` in blocks of what it holds; lines longer than `max_line` bytes (line end excluded)
  // are refused.
  LineReader(std::istream& in, std::size_t max_line) : in_(in), max_line_(max_line) {}

  // The next line without its LF (a CR before it stays), valid until the next call.
  Status Next(std::string_view& line);
  // Whether the line Next gave last ended in LF; only the last line of a stream may not.
  bool ended() const { return ended_; }

 private:
  // Appends what the stream holds, waiting for one byte at most; false at its end or on an error
  // (then the stream is bad).
  bool Fill();

  std::istream& in_;
  std::size_t max_line_;
  std::string buffer_;
  std::size_t start_ = 0;  // where the next line begins in buffer_
  bool ended_ = false;
  bool stopped_ = false;
};

}  // namespace mplnet

#endif  // MPLNET_DATASETS_LINE_READER_H_
