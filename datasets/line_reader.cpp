#include "datasets/line_reader.h"

#include <algorithm>
#include <ostream>

namespace mplnet {

bool LineReader::Fill() {
  // Only what the stream holds already, or one byte waited for: a line piped in is handed out
  // before the next one is written (a program feeding `mplnet run` and waiting for its answer).
  constexpr std::streamsize kBlock = std::streamsize{64} * 1024;
  std::streambuf* source = in_.rdbuf();
  if (source == nullptr) return false;
  try {
    std::streamsize ready = source->in_avail();
    if (ready <= 0) {
      // As the stream's own reads do: what was written to the tied stream (std::cout for std::cin)
      // goes out before waiting, or the answer to the line before would never arrive.
      if (std::ostream* tied = in_.tie()) tied->flush();
      const std::streambuf::int_type c = source->sbumpc();
      if (std::streambuf::traits_type::eq_int_type(c, std::streambuf::traits_type::eof())) {
        in_.setstate(std::ios::eofbit);
        return false;
      }
      buffer_.push_back(std::streambuf::traits_type::to_char_type(c));
      ready = source->in_avail();
    }
    if (ready > 0) {
      const std::size_t old_size = buffer_.size();
      buffer_.resize(old_size + static_cast<std::size_t>(std::min(ready, kBlock)));
      const std::streamsize got = source->sgetn(buffer_.data() + old_size, std::min(ready, kBlock));
      buffer_.resize(old_size + static_cast<std::size_t>(std::max<std::streamsize>(got, 0)));
    }
    return true;
  } catch (...) {  // a file buffer reports a read error by throwing
    in_.setstate(std::ios::badbit);
    return false;
  }
}

LineReader::Status LineReader::Next(std::string_view& line) {
  if (stopped_) return Status::kEnd;
  std::size_t searched = start_;  // no LF in buffer_ from start_ to here
  for (;;) {
    const std::size_t end = buffer_.find('\n', searched);
    if (end != std::string::npos) {
      if (end - start_ > max_line_) break;
      line = std::string_view(buffer_).substr(start_, end - start_);
      start_ = end + 1;
      ended_ = true;
      return Status::kLine;
    }
    if (buffer_.size() - start_ > max_line_) break;
    // Keep the unfinished line, drop what was handed out, and take more after it.
    buffer_.erase(0, start_);
    start_ = 0;
    searched = buffer_.size();
    if (!Fill()) {
      stopped_ = true;
      if (in_.bad()) return Status::kFailed;
      if (buffer_.empty()) return Status::kEnd;
      line = buffer_;
      start_ = buffer_.size();
      ended_ = false;
      return Status::kLine;
    }
  }
  stopped_ = true;
  return Status::kTooLong;
}

}  // namespace mplnet
