// The bar intake. The host's records are packed (doubles at offsets 4 modulo 8) and the array may
// start at any address, so every field is copied out byte by byte instead of being read in place.
#include "host/bar_log.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "persistence/file_io.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

static_assert(sizeof(RateInfo) == 44, "RateInfo must be packed to 44 bytes, as hosts lay it out");
static_assert(offsetof(RateInfo, open) == 4 && offsetof(RateInfo, vol) == 36);

namespace mplnet {
namespace {

template <typename T>
T ReadField(const unsigned char* record, std::size_t offset) {
  T value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

#ifdef _WIN32
bool WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const unsigned chunk =
        content.size() > (1u << 30) ? (1u << 30) : static_cast<unsigned>(content.size());
    const int n = _write(fd, content.data(), chunk);
    if (n <= 0) return false;
    content.remove_prefix(static_cast<std::size_t>(n));
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

std::string FormatBarLines(const RateInfo* rates, int rates_total, const NumberSymbols& symbols) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(rates);
  std::string lines;
  lines.reserve(static_cast<std::size_t>(rates_total) * 120);
  for (int i = rates_total - 1; i >= 0; --i) {
    const unsigned char* record = bytes + static_cast<std::size_t>(i) * sizeof(RateInfo);
    lines += "Bar: ";
    lines += FormatUnsigned(static_cast<std::uint64_t>(i));
    lines += " Time: ";
    lines += FormatUnsigned(ReadField<std::uint32_t>(record, offsetof(RateInfo, time)));
    const struct {
      const char* label;
      std::size_t offset;
    } prices[] = {{" Open: ", offsetof(RateInfo, open)},
                  {" Low: ", offsetof(RateInfo, low)},
                  {" High: ", offsetof(RateInfo, high)},
                  {" Close: ", offsetof(RateInfo, close)},
                  {" Vol: ", offsetof(RateInfo, vol)}};
    for (const auto& price : prices) {
      lines += price.label;
      lines += FormatReal(ReadField<double>(record, price.offset), symbols);
    }
    lines += " \r\n";
  }
  return lines;
}

bool AppendToFile(const std::string& path, std::string_view content) {
#ifdef _WIN32
  const int fd = _wopen(NativePath(path).c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY,
                        _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  const long long old_size = _lseeki64(fd, 0, SEEK_END);
  const bool written = old_size >= 0 && WriteAll(fd, content) && _commit(fd) == 0;
  if (!written && old_size >= 0) _chsize_s(fd, old_size);
  return _close(fd) == 0 && written;
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat before {};
  const bool sized = ::fstat(fd, &before) == 0;
  const bool written = sized && WriteAll(fd, content);
  if (!written && sized) {
    // Cut back what a failed write left, so the log never ends in a partial line.
    while (::ftruncate(fd, before.st_size) != 0 && errno == EINTR) {
    }
  }
  return ::close(fd) == 0 && written;
#endif
}

const char* SetData(const RateInfo* rates, int rates_total, int shift, int nrate,
                    const std::string& log_path) {
  if (rates == nullptr) return "Error: MPLSetData, rates is NULL";
  if (rates_total < 0) return "Error: MPLSetData, wrong rates_total number";
  if (shift < 0 || shift >= rates_total) return "Error: MPLSetData, wrong shift number";
  if (nrate < 0 || nrate > 5) return "Error: MPLSetData, wrong rate index";
  const std::string lines = FormatBarLines(rates, rates_total, CurrentNumberSymbols());
  if (!AppendToFile(log_path, lines)) return "Error: MPLSetData, bar log not written";
  return "MPLSetData: Successful";
}

}  // namespace mplnet
