#include "persistence/file_io.h"

#include <atomic>
#include <cerrno>
#include <system_error>
#include <utility>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace mplnet {
namespace {

// A name no other writer in this or another process picks at the same time: the process id and a
// per-process counter; creation with "must not exist" settles the rest.
std::string TemporaryName(const std::string& path) {
  static std::atomic<unsigned> counter{0};
#ifdef _WIN32
  const unsigned long pid = GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  return path + "." + std::to_string(pid) + "." + std::to_string(++counter) + ".tmp";
}

// Gathers the pieces of a content into writes of kChunk bytes: one system call per chunk, and one
// small buffer in memory whatever the content's size.
class ChunkedWriter {
 public:
  explicit ChunkedWriter(ContentSink write) : write_(std::move(write)) { buffer_.reserve(kChunk); }

  bool Put(std::string_view piece) {
    if (buffer_.size() + piece.size() > kChunk) {
      if (!Flush()) return false;
      if (piece.size() >= kChunk) return write_(piece);
    }
    buffer_.append(piece);
    return true;
  }

  bool Flush() {
    const bool written = buffer_.empty() || write_(buffer_);
    buffer_.clear();
    return written;
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{64} * 1024;
  ContentSink write_;
  std::string buffer_;
};

// Runs `produce` through a ChunkedWriter over `write`.
bool WriteProduced(const std::function<bool(const ContentSink&)>& produce, ContentSink write) {
  ChunkedWriter writer(std::move(write));
  const ContentSink put = [&writer](std::string_view piece) { return writer.Put(piece); };
  return produce(put) && writer.Flush();
}

#ifdef _WIN32
std::wstring Widen(std::string_view text, UINT code_page) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  }
  return wide;
}

std::string Narrow(std::wstring_view wide, UINT code_page) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n,
                        nullptr, nullptr);
  }
  return text;
}

bool WriteAll(HANDLE file, std::string_view content) {
  while (!content.empty()) {
    const DWORD chunk =
        content.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(content.size());
    DWORD written = 0;
    if (!WriteFile(file, content.data(), chunk, &written, nullptr) || written == 0) return false;
    content.remove_prefix(written);
  }
  return true;
}
#else
bool WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}
#endif

}  // namespace

#ifdef _WIN32

std::string Utf8FromCodePage(std::string_view text) {
  return Narrow(Widen(text, CP_ACP), CP_UTF8);
}

std::string CodePageFromUtf8(std::string_view utf8) {
  return Narrow(Widen(utf8, CP_UTF8), CP_ACP);
}

std::filesystem::path NativePath(std::string_view utf8) {
  return std::filesystem::path(Widen(utf8, CP_UTF8));
}

ReadResult ReadWholeFile(const std::string& path, std::string& content) {
  content.clear();
  const std::wstring wide = Widen(path, CP_UTF8);
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::kMissing
                                                                          : ReadResult::kFailed;
  }
  ReadResult result = ReadResult::kOk;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      result = ReadResult::kFailed;
      break;
    }
    if (got == 0) break;
    content.append(buffer, got);
  }
  CloseHandle(file);
  if (result != ReadResult::kOk) content.clear();
  return result;
}

bool ReplaceFileAtomically(const std::string& path,
                           const std::function<bool(const ContentSink&)>& produce) {
  const std::wstring target = Widen(path, CP_UTF8);
  const std::wstring temporary = Widen(TemporaryName(path), CP_UTF8);
  HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool written =
      WriteProduced(produce, [file](std::string_view piece) { return WriteAll(file, piece); }) &&
      FlushFileBuffers(file);
  const bool closed = CloseHandle(file) != 0;
  if (written && closed &&
      MoveFileExW(temporary.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileW(temporary.c_str());
  return false;
}

bool AppendToFile(const std::string& path, std::string_view content) {
  const HANDLE file = CreateFileW(NativePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER old_size{};
  const bool sized =
      GetFileSizeEx(file, &old_size) && SetFilePointerEx(file, old_size, nullptr, FILE_BEGIN);
  const bool written = sized && WriteAll(file, content) && FlushFileBuffers(file);
  if (!written && sized) {
    // Cut back what a failed write left, so the file never ends in a partial line.
    SetFilePointerEx(file, old_size, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
  }
  return CloseHandle(file) && written;
}

#else

std::string Utf8FromCodePage(std::string_view text) {
  return std::string(text);
}

std::string CodePageFromUtf8(std::string_view utf8) {
  return std::string(utf8);
}

std::filesystem::path NativePath(std::string_view utf8) {
  return std::filesystem::path(utf8);
}

ReadResult ReadWholeFile(const std::string& path, std::string& content) {
  content.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno == ENOENT || errno == ENOTDIR ? ReadResult::kMissing : ReadResult::kFailed;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    content.reserve(static_cast<std::size_t>(info.st_size));
  }
  ReadResult result = ReadResult::kOk;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = ReadResult::kFailed;
      break;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (result != ReadResult::kOk) content.clear();
  return result;
}

bool ReplaceFileAtomically(const std::string& path,
                           const std::function<bool(const ContentSink&)>& produce) {
  // Write through a symbolic link rather than replacing the link with a plain file.
  std::string target = path;
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) {
    const auto resolved = std::filesystem::canonical(path, ec);
    if (!ec) target = resolved.string();
  }
  const std::string temporary = TemporaryName(target);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat old {};
  if (::stat(target.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);  // keep its permissions
  const bool written =
      WriteProduced(produce, [fd](std::string_view piece) { return WriteAll(fd, piece); }) &&
      ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (written && closed && ::rename(temporary.c_str(), target.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

bool AppendToFile(const std::string& path, std::string_view content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat before {};
  const bool sized = ::fstat(fd, &before) == 0;
  const bool written = sized && WriteAll(fd, content);
  if (!written && sized) {
    // Cut back what a failed write left, so the file never ends in a partial line.
    while (::ftruncate(fd, before.st_size) != 0 && errno == EINTR) {
    }
  }
  return ::close(fd) == 0 && written;
}

#endif

bool ReplaceFileAtomically(const std::string& path, std::string_view content) {
  return ReplaceFileAtomically(path, [content](const ContentSink& put) { return put(content); });
}

}  // namespace mplnet
