// Whole-file reads, atomic whole-file replacement, and the one place where file names change form.
//
// Inside the library file names are UTF-8. On Windows the host hands over 8-bit names in the
// process's code page and the system wants UTF-16, so both conversions live here; elsewhere names
// are bytes and pass through unchanged.
#ifndef MPLNET_PERSISTENCE_FILE_IO_H_
#define MPLNET_PERSISTENCE_FILE_IO_H_

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

enum class ReadResult { kOk, kMissing, kFailed };

// Reads the whole file into `content`. kMissing: neither the file nor (perhaps) its folder exists;
// kFailed: it exists but cannot be read (a folder, no permission, an I/O error).
ReadResult ReadWholeFile(const std::string& path, std::string& content);

// Replaces the file's content as one step: `content` goes to a new file in the same folder, is
// flushed to disk and renamed over `path`. True on success; on failure the old file (if any) is
// untouched and no temporary file is left behind.
bool ReplaceFileAtomically(const std::string& path, std::string_view content);

// Takes the next piece of a file's content; false when it could not be written.
using ContentSink = std::function<bool(std::string_view)>;
// ReplaceFileAtomically with the content handed over piece by piece: `produce` passes every piece
// to the sink in order and returns false to give up (after a false from the sink, say). Pieces are
// gathered into large writes, so the content never needs to be in memory as a whole.
bool ReplaceFileAtomically(const std::string& path,
                           const std::function<bool(const ContentSink&)>& produce);

// Appends `content` to the file `path`, creating the file but not its folder, in one write. On
// failure the file is cut back to its old size, so no partial content stays; false then.
bool AppendToFile(const std::string& path, std::string_view content);

}  // namespace mplnet

#endif  // MPLNET_PERSISTENCE_FILE_IO_H_
