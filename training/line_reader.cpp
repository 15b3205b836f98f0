#include "training/line_reader.h"

#include <algorithm>

namespace mplnet {

LineReader::Status LineReader::Next(std::string_view& line) {
  constexpr std::size_t kBlock = 64 * 1024;
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
    if (in_.eof()) {
      stopped_ = true;
      if (in_.bad()) return Status::kFailed;
      if (start_ == buffer_.size()) return Status::kEnd;
      line = std::string_view(buffer_).substr(start_);
      start_ = buffer_.size();
      ended_ = false;
      return Status::kLine;
    }
    // Keep the unfinished line, drop what was handed out, and read the next block after it.
    buffer_.erase(0, start_);
    start_ = 0;
    searched = buffer_.size();
    const std::size_t old_size = buffer_.size();
    buffer_.resize(old_size + kBlock);
    in_.read(buffer_.data() + old_size, static_cast<std::streamsize>(kBlock));
    buffer_.resize(old_size + static_cast<std::size_t>(std::max<std::streamsize>(in_.gcount(), 0)));
    if (in_.bad()) {
      stopped_ = true;
      return Status::kFailed;
    }
    if (in_.gcount() == 0 && !in_.eof()) in_.setstate(std::ios::eofbit);
  }
  stopped_ = true;
  return Status::kTooLong;
}

}  // namespace mplnet
