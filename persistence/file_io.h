// Whole-file reads, atomic whole-file replacement, and the one place where file names change form.
//
// Inside the library file names are UTF-8. On Windows the host hands over 8-bit names in the
// process's code page and the system wants UTF-16, so both conversions live here; elsewhere names
// are bytes and pass through unchanged.
#ifndef MPLNET_PERSISTENCE_FILE_IO_H_
#define MPLNET_PERSISTENCE_FILE_IO_H_

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace mplnet {

// A name from the host (8-bit, process code page on Windows) as UTF-8.
std::string Utf8FromCodePage(std::string_view text);
// A UTF-8 name as the host's 8-bit text (process code page on Windows).
std::string CodePageFromUtf8(std::string_view utf8);
// A UTF-8 name as a path the operating system understands.
std::filesystem::path NativePath(std::string_view utf8);

enum class ReadResult { kOk, kMissing, kFailed, kTooLarge };

// Reads the whole file into `content`. kMissing: neither the file nor (perhaps) its folder exists;
// kFailed: it exists but cannot be read (a folder, no permission, an I/O error); kTooLarge: it
// holds more than `max_bytes`, known from its size before any byte is read, or, for a device or a
// pipe that tells no size, after reading one byte more than `max_bytes`. `content` is empty
// unless kOk.
ReadResult ReadWholeFile(const std::string& path, std::string& content,
                         std::uint64_t max_bytes = UINT64_MAX);

// Takes the next piece of a file's content; false when it could not be written.
using ContentSink = std::function<bool(std::string_view)>;

// Replaces the file's content as one step. `produce` passes every piece of the new content to the
// sink in order and returns false to give up (after a false from the sink, say); the pieces are
// gathered into large writes, so the content never needs to be in memory as a whole. They go to a
// temporary file in the same folder, which is flushed to disk and renamed over `path`; the folder
// is flushed after the rename too, so that the new name survives a power failure.
//
// A read-only file is refused, as Windows refuses it, by its own read-only attribute or mode: the
// refusal holds for a privileged user as well. True on success; on failure the old file (if any)
// is untouched and no temporary file is left behind. (Only when the folder cannot be flushed, an
// I/O error after the rename, is the new content already in place though the result is false.)
//
// Temporary files are named ".mplnet-<process id>-<number>-<8 hex digits>.tmp", whatever the
// target's name. A save killed midway leaves one behind; every successful replacement removes the
// stale ones of its folder: those of other processes that no save holds open or locked any more
// and that were last written over a minute ago. No other file is ever removed.
bool ReplaceFileAtomically(const std::string& path,
                           const std::function<bool(const ContentSink&)>& produce);

// Appends `content` to the file `path`, creating the file but not its folder, in one write. On
// failure the file is cut back to its old size, so no partial content stays; false then.
bool AppendToFile(const std::string& path, std::string_view content);

}  // namespace mplnet

#endif  // MPLNET_PERSISTENCE_FILE_IO_H_
