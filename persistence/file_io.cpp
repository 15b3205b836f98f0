#include "persistence/file_io.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <random>
#include <system_error>
#include <utility>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "persistence/windows_api.h"

namespace mplnet {
namespace {

// Temporary files are named ".mplnet-<process id>-<number>-<8 hex digits>.tmp" beside their
// target: the length does not depend on the target's name, and the exact pattern tells what a
// killed save left behind from anybody else's files.
constexpr std::string_view kTemporaryPrefix = ".mplnet-";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::size_t kTemporaryHexDigits = 8;
// A temporary file that no save holds and that was last written longer ago than this was left
// behind. The wait covers the moment between a save creating its file and locking it (on Windows:
// closing and renaming it), when nothing yet shows that the file is alive.
constexpr std::int64_t kStaleAfterSeconds = 60;
// Tries at making a temporary file before giving up, should the names taken exist already.
constexpr int kNameAttempts = 8;

unsigned long ProcessId() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

// A name no other writer picks at the same time: the process id, a per-process counter and a
// random number (process ids repeat in containers and on other machines sharing the folder);
// creating the file only where none exists settles the rest.
std::string TemporaryName() {
  static std::atomic<std::uint64_t> counter{0};
  static const std::uint64_t salt = [] {
    try {
      return (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
    } catch (...) {  // no random device: the clock still tells processes apart
      return static_cast<std::uint64_t>(
          std::chrono::high_resolution_clock::now().time_since_epoch().count());
    }
  }();
  const std::uint64_t number = ++counter;
  // splitmix64: a different-looking random part for every number.
  std::uint64_t mixed = salt + number * 0x9E3779B97F4A7C15ull;
  mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ull;
  mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBull;
  mixed ^= mixed >> 31;
  constexpr char kHex[] = "0123456789abcdef";
  std::string name(kTemporaryPrefix);
  name += std::to_string(ProcessId());
  name += '-';
  name += std::to_string(number);
  name += '-';
  for (std::size_t i = 0; i < kTemporaryHexDigits; ++i) name += kHex[(mixed >> (4 * i)) & 0xF];
  name += kTemporarySuffix;
  return name;
}

// The process id in a temporary file's name; nothing when the name does not follow the pattern
// exactly. Names are UTF-16 on Windows, hence the character type.
template <typename Char>
std::optional<unsigned long> TemporaryOwner(std::basic_string_view<Char> name) {
  const auto skip = [&name](std::string_view ascii) {
    if (name.size() < ascii.size()) return false;
    for (std::size_t i = 0; i < ascii.size(); ++i) {
      if (name[i] != static_cast<Char>(ascii[i])) return false;
    }
    name.remove_prefix(ascii.size());
    return true;
  };
  // A run of 1 to 10 decimal digits.
  const auto number = [&name]() -> std::optional<std::uint64_t> {
    std::size_t n = 0;
    std::uint64_t value = 0;
    while (n < name.size() && n < 11 && name[n] >= '0' && name[n] <= '9') {
      value = value * 10 + static_cast<std::uint64_t>(name[n++] - '0');
    }
    if (n == 0 || n > 10) return std::nullopt;
    name.remove_prefix(n);
    return value;
  };
  if (!skip(kTemporaryPrefix)) return std::nullopt;
  const std::optional<std::uint64_t> owner = number();
  if (!owner || !skip("-") || !number() || !skip("-")) return std::nullopt;
  if (name.size() < kTemporaryHexDigits) return std::nullopt;
  for (std::size_t i = 0; i < kTemporaryHexDigits; ++i) {
    const Char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  name.remove_prefix(kTemporaryHexDigits);
  if (!skip(kTemporarySuffix) || !name.empty()) return std::nullopt;
  return static_cast<unsigned long>(*owner);
}

void RemoveIfStale(const std::filesystem::path& file);

// Removes what saves killed midway left in `folder`: temporary files of other processes that no
// save holds any more. This process's own are never touched, so no save of its own can lose its
// file, even where the file system's locks do not tell one descriptor of a process from another.
void RemoveStaleTemporaryFiles(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::directory_iterator entry(folder.empty() ? "." : folder, ec);
  for (; !ec && entry != std::filesystem::directory_iterator(); entry.increment(ec)) {
    const std::filesystem::path name = entry->path().filename();
    using Char = std::filesystem::path::value_type;
    const std::optional<unsigned long> owner =
        TemporaryOwner(std::basic_string_view<Char>(name.native()));
    if (owner && *owner != ProcessId()) RemoveIfStale(entry->path());
  }
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

ReadResult ReadWholeFile(const std::string& path, std::string& content, std::uint64_t max_bytes) {
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
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && static_cast<std::uint64_t>(size.QuadPart) > max_bytes) {
    result = ReadResult::kTooLarge;
  }
  char buffer[65536];
  while (result == ReadResult::kOk) {
    DWORD got = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      result = ReadResult::kFailed;
      break;
    }
    if (got == 0) break;
    if (got > max_bytes - content.size()) {
      result = ReadResult::kTooLarge;
      break;
    }
    content.append(buffer, got);
  }
  CloseHandle(file);
  if (result != ReadResult::kOk) content.clear();
  return result;
}

namespace {

// Whether the file was last written longer ago than a save takes to go from creating its
// temporary file to renaming it.
bool WrittenLongAgo(const FILETIME& written) {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const auto ticks = [](const FILETIME& t) {  // 100 ns units
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                     t.dwLowDateTime);
  };
  return ticks(now) - ticks(written) > kStaleAfterSeconds * 10'000'000;
}

void RemoveIfStale(const std::filesystem::path& file) {
  // Opened without sharing: this fails while a save still has the file open.
  HANDLE handle = CreateFileW(file.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info{};
  constexpr DWORD kNotAPlainFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  if (GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & kNotAPlainFile) == 0 &&
      WrittenLongAgo(info.ftLastWriteTime)) {
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    SetFileInformationByHandle(handle, FileDispositionInfo, &dispose, sizeof dispose);
  }
  CloseHandle(handle);
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path,
                           const std::function<bool(const ContentSink&)>& produce) {
  const std::filesystem::path target = NativePath(path);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    return false;
  }
  const std::filesystem::path folder = target.parent_path();
  std::filesystem::path temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kNameAttempts && file == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = folder / NativePath(TemporaryName());
    // No sharing while it is open: no other save takes it for one left behind.
    file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool written =
      WriteProduced(produce, [file](std::string_view piece) { return WriteAll(file, piece); }) &&
      FlushFileBuffers(file);
  const bool closed = CloseHandle(file) != 0;
  // Written through: the rename is on disk when the call returns.
  if (written && closed &&
      MoveFileExW(temporary.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    RemoveStaleTemporaryFiles(folder);
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

ReadResult ReadWholeFile(const std::string& path, std::string& content, std::uint64_t max_bytes) {
  content.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno == ENOENT || errno == ENOTDIR ? ReadResult::kMissing : ReadResult::kFailed;
  }
  ReadResult result = ReadResult::kOk;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    if (static_cast<std::uint64_t>(info.st_size) > max_bytes) {
      result = ReadResult::kTooLarge;
    } else {
      content.reserve(static_cast<std::size_t>(info.st_size));
    }
  }
  char buffer[65536];
  while (result == ReadResult::kOk) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = ReadResult::kFailed;
      break;
    }
    if (n == 0) break;
    // A device or a pipe tells no size: stop at the first byte past the limit.
    if (static_cast<std::uint64_t>(n) > max_bytes - content.size()) {
      result = ReadResult::kTooLarge;
      break;
    }
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (result != ReadResult::kOk) content.clear();
  return result;
}

namespace {

void RemoveIfStale(const std::filesystem::path& file) {
  // Only a plain file is opened: opening a device or a pipe can have effects of its own.
  struct stat named {};
  if (::lstat(file.c_str(), &named) != 0 || !S_ISREG(named.st_mode)) return;
  if (std::time(nullptr) - named.st_mtime <= kStaleAfterSeconds) return;
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  // A save holds a lock on its file from just after creating it until the rename: a lock taken
  // here means that no save is writing it.
  struct stat opened {};
  if (::fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
      ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    ::unlink(file.c_str());
  }
  ::close(fd);
}

// A file the user may not write, or whose mode has no write permission at all: Windows refuses
// to replace a read-only file, and the mode decides even for root, whom the kernel lets write.
bool ReadOnly(const std::string& file, const struct stat& info) {
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
  return ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0 && errno == EACCES;
}

// Flushes the folder, which holds the file's name, so that a rename survives a power failure.
// False only for an error of the disk; a folder that cannot be opened, or a file system that does
// not flush folders, keeps its names by other means.
bool FlushFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  const bool flushed = ::fsync(fd) == 0 || (errno != EIO && errno != ENOSPC && errno != EDQUOT);
  ::close(fd);
  return flushed;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path,
                           const std::function<bool(const ContentSink&)>& produce) {
  // Write through a symbolic link rather than replacing the link with a plain file.
  std::string target = path;
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) {
    const auto resolved = std::filesystem::canonical(path, ec);
    if (!ec) target = resolved.string();
  }
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && ReadOnly(target, old)) return false;
  const std::filesystem::path folder = std::filesystem::path(target).parent_path();
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
    temporary = (folder / TemporaryName()).string();
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  // Held until after the rename, so that no other save takes the file for one left behind. A file
  // system without such locks still has the wait for age.
  ::flock(fd, LOCK_EX);
  if (exists) ::fchmod(fd, old.st_mode & 07777);  // keep its permissions
  const bool written =
      WriteProduced(produce, [fd](std::string_view piece) { return WriteAll(fd, piece); }) &&
      ::fsync(fd) == 0;
  if (!written || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    ::close(fd);
    return false;
  }
  const bool durable = FlushFolder(folder);
  ::close(fd);  // written and flushed: what closing could report has been reported already
  RemoveStaleTemporaryFiles(folder);
  return durable;
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

}  // namespace mplnet
