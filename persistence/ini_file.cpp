#include "persistence/ini_file.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <system_error>

// GCC 12 reports uninitialized members inside std::regex's own code when sanitizers are on; the
// warning is about the library header, not about this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#else
#include <regex>
#endif

#include "persistence/file_io.h"
#include "persistence/network_file.h"
#include "persistence/number_text.h"
#include "persistence/platform_paths.h"
#include "persistence/profile_file.h"

namespace mplnet {
namespace {

std::vector<std::string> NonEmpty(const std::vector<std::string_view>& names) {
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const std::string_view name : names) {
    if (!name.empty()) out.emplace_back(name);
  }
  return out;
}

// The whole-number read of a value: leading blanks, an optional sign, then the leading digits.
// The value arrives trimmed, but a quoted one (" 12") keeps the blanks inside its quotes.
std::int32_t LeadingWholeNumber(std::string_view value) {
  while (!value.empty() && IsProfileBlank(value[0])) value.remove_prefix(1);
  bool negative = false;
  if (!value.empty() && (value[0] == '+' || value[0] == '-')) {
    negative = value[0] == '-';
    value.remove_prefix(1);
  }
  std::int64_t magnitude = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') break;
    magnitude = std::min<std::int64_t>(magnitude * 10 + (c - '0'), std::int64_t{1} << 31);
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(std::min<std::int64_t>(magnitude, INT32_MAX));
}

bool AcceptableFileName(std::string_view name) {
  if (name.empty()) return false;
  const std::filesystem::path file = NativePath(name);
  if (!file.has_filename()) return false;  // "folder/" names no file
  std::error_code ec;
  if (std::filesystem::exists(file, ec) && !std::filesystem::is_directory(file, ec)) return true;
  const std::filesystem::path folder = file.parent_path();
  return std::filesystem::is_directory(folder.empty() ? std::filesystem::path(".") : folder, ec);
}

}  // namespace

std::string_view SingleValue(std::string_view value) {
  // Characters are UTF-16 units, as in the system's wide profile functions; a character is never
  // cut in half. A character takes at least one byte for each of its units, so a value of at most
  // kSingleValueUnits bytes is never cut: the common case, and every value a network file holds.
  if (value.size() <= kSingleValueUnits) return value;
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < value.size()) {
    const auto lead = static_cast<unsigned char>(value[i]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    const std::size_t width = length == 4 ? 2 : 1;
    if (units + width > kSingleValueUnits) break;
    units += width;
    i += length;
  }
  return value.substr(0, i);
}

CIniFile::CIniFile() : path(kDefaultNetworkFile) {}

CIniFile::~CIniFile() = default;
CIniFile::CIniFile(CIniFile&&) noexcept = default;
CIniFile& CIniFile::operator=(CIniFile&&) noexcept = default;

template <typename Fn>
auto CIniFile::Read(Fn&& read) const {
  if (batch_) return read(static_cast<const ProfileDocument&>(*batch_));
  const ProfileDocument document(path);
  return read(document);
}

template <typename Fn>
std::int32_t CIniFile::Write(Fn&& edit) {
  if (batch_) return edit(*batch_) ? 1 : 0;
  ProfileDocument document(path);
  return edit(document) && document.Commit() ? 1 : 0;
}

std::int32_t CIniFile::SetValue(std::string_view section, std::string_view key,
                                std::string_view value) {
  return Write([&](ProfileDocument& d) { return d.SetValue(section, key, value); });
}

std::int32_t CIniFile::SetValueInt(std::string_view section, std::string_view key,
                                   std::int32_t value) {
  return SetValue(section, key, FormatInt(value));
}

std::int32_t CIniFile::SetSection(std::string_view strSection,
                                  std::optional<std::string_view> strKeyValue) {
  return Write([&](ProfileDocument& d) { return d.SetSection(strSection, strKeyValue); });
}

std::int32_t CIniFile::DeleteSection(std::string_view strSection) {
  return SetSection(strSection, std::nullopt);
}

std::vector<std::string> CIniFile::GetValues(std::optional<std::string_view> section,
                                             std::optional<std::string_view> key) const {
  return Read([&](const ProfileDocument& d) {
    if (!section) return NonEmpty(d.SectionNames());
    if (!key) return NonEmpty(d.KeyNames(*section));
    std::vector<std::string> values;
    const std::optional<std::string_view> value = d.Value(*section, *key);
    if (value && !value->empty()) values.emplace_back(SingleValue(*value));
    return values;
  });
}

std::vector<std::string> CIniFile::GetKeys(std::optional<std::string_view> section) const {
  if (!section) throw IniError("Section");
  return GetValues(section, std::nullopt);
}

std::vector<std::string> CIniFile::GetSections() const {
  return GetValues(std::nullopt, std::nullopt);
}

std::int32_t CIniFile::GetValueInt(std::string_view section, std::string_view key) const {
  return Read([&](const ProfileDocument& d) {
    const std::optional<std::string_view> value = d.Value(section, key);
    return value && !value->empty() ? LeadingWholeNumber(*value) : -1;
  });
}

std::string CIniFile::GetValue(std::optional<std::string_view> section,
                               std::optional<std::string_view> key) const {
  if (!section || !key) throw IniError("Section or Key");
  return Read([&](const ProfileDocument& d) {
    const std::optional<std::string_view> value = d.Value(*section, *key);
    if (!value) throw IniError("Section or key not found");
    if (value->empty()) throw IniError("Empty value");
    return std::string(SingleValue(*value));
  });
}

std::string CIniFile::SetFileName(std::string_view name) {
  if (!AcceptableFileName(name)) return "Debug: Set name false ";
  path = std::string(name);
  return CodePageFromUtf8(name);
}

void CIniFile::BeginBatch() {
  batch_ = std::make_unique<ProfileDocument>(path);
}

bool CIniFile::CommitBatch() {
  if (!batch_) return true;
  const bool written = batch_->Commit();
  batch_.reset();
  return written;
}

void CIniFile::DiscardBatch() {
  batch_.reset();
}

namespace {
std::mutex& PatternMutex() {
  static std::mutex mutex;
  return mutex;
}
}  // namespace

template <typename Keys>
std::optional<std::size_t> CIniFile::FirstMatch(const Keys& keys, std::string_view p) {
  // `pattern` is one for the whole process, and readers may run on several threads at once (a
  // C++ program loading networks beside a host's exports): each look-up has it to itself. One
  // mutex for both instantiations of this template, as they share the one pattern.
  const std::lock_guard<std::mutex> lock(PatternMutex());
  pattern = std::string(p);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (Exist(keys[i])) return i;
  }
  return std::nullopt;
}

std::optional<std::string> CIniFile::FindKey(const std::vector<std::string>& keys,
                                             std::string_view p) {
  const std::optional<std::size_t> found = FirstMatch(keys, p);
  if (!found) return std::nullopt;
  return keys[*found];
}

std::optional<std::size_t> CIniFile::FindKeyIndex(std::span<const std::string_view> keys,
                                                  std::string_view p) {
  return FirstMatch(keys, p);
}

bool CIniFile::Exist(std::string_view s) {
  const std::string subject = UpperAscii(s);
  // For a pattern without regular-expression syntax, "p+" matches exactly where p occurs, so a
  // substring search gives the same answer without building a regular expression per key.
  if (!pattern.empty() && pattern.find_first_of("\\^$.|?*+()[]{}") == std::string::npos) {
    return subject.find(UpperAscii(pattern)) != std::string::npos;
  }
  try {
    const std::regex expression(pattern + "+", std::regex::ECMAScript | std::regex::icase);
    return std::regex_search(subject, expression);
  } catch (const std::regex_error&) {
    return false;  // not a valid expression: nothing matches
  }
}

}  // namespace mplnet
