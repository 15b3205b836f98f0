#include "persistence/profile_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "persistence/file_io.h"

namespace mplnet {
namespace {

// Sections with at most this many entries are searched entry by entry.
constexpr std::size_t kUnindexedEntries = 8;

std::string_view TrimLeft(std::string_view t) {
  std::size_t start = 0;
  while (start < t.size() && IsProfileBlank(t[start])) ++start;
  return t.substr(start);
}

std::string_view Trim(std::string_view t) {
  t = TrimLeft(t);
  std::size_t end = t.size();
  while (end > 0 && IsProfileBlank(t[end - 1])) --end;
  return t.substr(0, end);
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

struct ParsedLine {
  enum class Kind { kOther, kSection, kEntry };
  Kind kind = Kind::kOther;
  std::string_view name;  // section name or key
  std::string_view value;
};

ParsedLine ParseLine(std::string_view text) {
  text = TrimLeft(text);
  if (text.empty() || text[0] == ';') return {};
  if (text[0] == '[') {
    // The last ']' closes the name, so "[a]b]" is section "a]b"; without one the line is ignored.
    const std::size_t close = text.rfind(']');
    if (close == std::string_view::npos) return {};
    return {ParsedLine::Kind::kSection, Trim(text.substr(1, close - 1)), {}};
  }
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos) return {};
  std::string_view value = Trim(text.substr(equals + 1));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return {ParsedLine::Kind::kEntry, Trim(text.substr(0, equals)), value};
}

// Texts that would end a line early, or be read back as something else, are never written.
bool HasLineBreak(std::string_view t) {
  for (const char c : t) {
    if (c == '\r' || c == '\n' || c == '\0') return true;
  }
  return false;
}
bool ValidSectionName(std::string_view name) {
  return !HasLineBreak(name) && name.find(']') == std::string_view::npos;
}
bool ValidKeyName(std::string_view key) {
  return !HasLineBreak(key) && key.find('=') == std::string_view::npos &&
         (key.empty() || (key[0] != ';' && key[0] != '['));
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one UTF-8 sequence at `i`; malformed bytes decode one at a time as U+FFFD.
char32_t NextCodePoint(std::string_view t, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(t[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  if (lead < 0x80) {
    length = 1;
  } else if (lead >= 0xC2 && lead < 0xE0) {
    length = 2;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3;
  } else if (lead >= 0xF0 && lead < 0xF5) {
    length = 4;
  }
  if (length == 0 || i + length > t.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  i += length;
  return c;
}

std::string Utf16LeFromUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  const auto put = [&](char32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  };
  for (std::size_t i = 0; i < text.size();) {
    const char32_t c = NextCodePoint(text, i);
    if (c >= 0x10000) {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      put(c);
    }
  }
  return out;
}

}  // namespace

std::size_t ProfileNameHash::operator()(std::string_view name) const noexcept {
  std::uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (const char c : name) h = (h ^ static_cast<unsigned char>(LowerAscii(c))) * 1099511628211ull;
  return static_cast<std::size_t>(h ^ (h >> 32));
}

bool ProfileNameEqual::operator()(std::string_view a, std::string_view b) const noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

namespace {

// Tables of first entries (Section::index): slots of (key hash << 32 | entry + 1), 0 for a free
// one, a power of two long and at most half full.
constexpr std::size_t kNoEntry = static_cast<std::size_t>(-1);

std::size_t SlotsFor(std::size_t entries) {
  std::size_t size = 32;
  while (size < entries * 2) size *= 2;
  return size;
}

std::uint64_t Slot(std::uint64_t hash, std::size_t entry) {
  return hash << 32 | static_cast<std::uint64_t>(entry + 1);
}

struct Probe {
  std::size_t entry;  // the first entry of the key, or kNoEntry
  std::size_t slot;   // where the key's slot is, or would go
  std::uint64_t hash;
};

// Looks `key` up in `table`, which indexes `entries`.
template <typename Entries>
Probe Look(const std::vector<std::uint64_t>& table, const Entries& entries, std::string_view key) {
  const std::uint64_t hash = static_cast<std::uint32_t>(ProfileNameHash()(key));
  const std::size_t mask = table.size() - 1;
  std::size_t i = hash & mask;
  for (; table[i] != 0; i = (i + 1) & mask) {
    const std::size_t entry = static_cast<std::size_t>(table[i] & 0xFFFFFFFF) - 1;
    if ((table[i] >> 32) == hash && ProfileNameEqual()(entries[entry].key, key)) {
      return {entry, i, hash};
    }
  }
  return {kNoEntry, i, hash};
}

}  // namespace

ProfileDocument::ProfileDocument(std::string path) : path_(std::move(path)) {
  std::string content;
  readable_ = ReadWholeFile(path_, content) != ReadResult::kFailed;
  Parse(std::move(content));  // empty when the file is missing or could not be read
}

ProfileDocument::ProfileDocument(ProfileBytes content) {
  Parse(std::move(content.bytes));
}

void ProfileDocument::Parse(std::string content_bytes) {
  original_ = std::move(content_bytes);
  std::string_view content = original_;
  if (content.substr(0, 3) == "\xEF\xBB\xBF") {
    encoding_ = ProfileEncoding::kUtf8Bom;
    bom_ = content.substr(0, 3);
  } else if (content.substr(0, 2) == "\xFF\xFE") {
    encoding_ = ProfileEncoding::kUtf16LeBom;
    bom_ = content.substr(0, 2);
  }
  content.remove_prefix(bom_.size());

  const bool wide = encoding_ == ProfileEncoding::kUtf16LeBom;
  const std::size_t width = wide ? 2 : 1;
  const std::size_t count = content.size() / width;
  const auto unit = [&](std::size_t i) -> char32_t {
    if (!wide) return static_cast<unsigned char>(content[i]);
    return static_cast<unsigned char>(content[2 * i]) |
           (static_cast<char32_t>(static_cast<unsigned char>(content[2 * i + 1])) << 8);
  };
  // Every UTF-16 unit becomes at most three UTF-8 bytes, so the views into decoded_ never move.
  if (wide) decoded_.reserve(count * 3);

  std::size_t start = 0;
  // Narrow text: the first LF at or after `start`, kept between lines; npos until first searched.
  std::size_t next_lf = std::string::npos;
  while (start < count) {
    std::size_t end = start;
    if (!wide) {
      // Library searches rather than a test per byte: this scan runs over every byte read. The
      // LF found is kept, so a file of CR line ends is not searched to its end for every line.
      if (next_lf == std::string::npos || next_lf < start) {
        const void* lf = std::memchr(content.data() + start, '\n', count - start);
        next_lf = lf != nullptr
                      ? static_cast<std::size_t>(static_cast<const char*>(lf) - content.data())
                      : count;
      }
      const void* cr = std::memchr(content.data() + start, '\r', next_lf - start);
      end = cr != nullptr ? static_cast<std::size_t>(static_cast<const char*>(cr) - content.data())
                          : next_lf;
    } else {
      while (end < count && unit(end) != '\n' && unit(end) != '\r') ++end;
    }
    std::size_t next = end;
    if (next < count && unit(next) == '\r') ++next;
    if (next < count && unit(next) == '\n') ++next;
    Line line;
    line.raw = content.substr(start * width, (next - start) * width);
    if (!wide) {
      line.text = content.substr(start, end - start);
    } else {
      const std::size_t from = decoded_.size();
      for (std::size_t i = start; i < end; ++i) {
        char32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < end && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) < 0xE000) {
          c = 0x10000 + ((c - 0xD800) << 10) + (unit(++i) - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
          c = 0xFFFD;
        }
        AppendUtf8(decoded_, c);
      }
      line.text = std::string_view(decoded_).substr(from);
    }
    AddLine(line);
    start = next;
  }
  if (start * width < content.size()) AddLine({content.substr(start * width), {}});  // odd byte
}

void ProfileDocument::AddLine(Line line) {
  const ParsedLine parsed = ParseLine(line.text);
  if (parsed.kind == ParsedLine::Kind::kSection) {
    Section section;
    section.name = parsed.name;
    section.header = line.raw;
    sections_.push_back(std::move(section));
    first_section_.try_emplace(parsed.name, sections_.size() - 1);
    return;
  }
  if (sections_.empty()) {
    preamble_.push_back(line.raw);
    return;
  }
  Section& section = sections_.back();
  section.body.push_back(line.raw);
  if (parsed.kind == ParsedLine::Kind::kEntry) {
    section.entries.push_back({parsed.name, parsed.value, section.body.size() - 1});
    IndexLastEntry(section);
  }
}

ProfileDocument::Section* ProfileDocument::Find(std::string_view section) {
  section = Trim(section);
  // A writer puts a section's entries one after another, so the section found last is tried
  // first. It stays the first live section of its name until it is removed: sections are only
  // ever added after it.
  if (last_found_ < sections_.size()) {
    Section& last = sections_[last_found_];
    if (!last.removed && ProfileNameEqual()(last.name, section)) return &last;
  }
  const auto found = first_section_.find(section);
  if (found == first_section_.end()) return nullptr;
  last_found_ = found->second;
  return &sections_[found->second];
}

const ProfileDocument::Section* ProfileDocument::Find(std::string_view section) const {
  const auto found = first_section_.find(Trim(section));
  return found == first_section_.end() ? nullptr : &sections_[found->second];
}

std::vector<std::string_view> ProfileDocument::SectionNames() const {
  std::vector<std::string_view> names;
  names.reserve(sections_.size());
  for (const Section& section : sections_) {
    if (!section.removed) names.push_back(section.name);
  }
  return names;
}

std::vector<std::string_view> ProfileDocument::KeyNames(std::string_view section) const {
  std::vector<std::string_view> names;
  if (const Section* found = Find(section)) {
    names.reserve(found->entries.size());
    for (const Entry& entry : found->entries) names.push_back(entry.key);
  }
  return names;
}

std::optional<std::string_view> ProfileDocument::Value(std::string_view section,
                                                       std::string_view key) const {
  const Section* found = Find(section);
  if (found == nullptr) return std::nullopt;
  const std::optional<std::size_t> entry = FindEntry(*found, Trim(key));
  if (!entry) return std::nullopt;
  return found->entries[*entry].value;
}

std::vector<ProfileDocument::EntryView> ProfileDocument::Entries(std::string_view section) const {
  std::vector<EntryView> views;
  Entries(section, views);
  return views;
}

void ProfileDocument::Entries(std::string_view section, std::vector<EntryView>& views) const {
  views.clear();
  const Section* found = Find(section);
  if (found == nullptr) return;
  const std::vector<Entry>& entries = found->entries;
  views.reserve(entries.size());
  if (entries.size() <= kUnindexedEntries) {
    for (std::size_t e = 0; e < entries.size(); ++e) {
      std::size_t first = 0;
      while (!ProfileNameEqual()(entries[first].key, entries[e].key)) ++first;
      views.push_back({entries[e].key, entries[first].value});
    }
    return;
  }
  // A table of first entries of its own, so that a reader leaves the section without an index.
  std::vector<std::uint64_t> firsts(SlotsFor(entries.size()), 0);
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const Probe probe = Look(firsts, entries, entries[e].key);
    if (probe.entry == kNoEntry) firsts[probe.slot] = Slot(probe.hash, e);
    views.push_back({entries[e].key, entries[probe.entry == kNoEntry ? e : probe.entry].value});
  }
}

bool ProfileDocument::SetValue(std::string_view section, std::string_view key,
                               std::string_view value) {
  const std::pair<std::string_view, std::string_view> entry{key, value};
  return SetValues(section, {&entry, 1});
}

bool ProfileDocument::SetValues(std::string_view section, std::span<const KeyValue> entries) {
  section = Trim(section);
  if (!ValidSectionName(section)) return false;
  for (const auto& [key, value] : entries) {
    if (!ValidKeyName(Trim(key)) || HasLineBreak(value)) return false;
  }
  Section* target = Find(section);
  if (target == nullptr) target = &AppendSection(section);
  if (entries.size() > 1) {
    // Room for them all at once, rather than growing the section's tables entry by entry.
    const std::size_t room = target->entries.size() + entries.size();
    target->entries.reserve(room);
    target->body.reserve(target->body.size() + entries.size());
    if (room > kUnindexedEntries && room * 2 > target->index.size()) BuildIndex(*target, room);
  }
  for (const auto& [key, value] : entries) PutEntry(*target, Trim(key), value);
  changed_ = true;
  return true;
}

void ProfileDocument::PutEntry(Section& target, std::string_view key, std::string_view value) {
  if (const std::optional<std::size_t> found = FindEntry(target, key)) {
    // Replace the line in place, keeping the key's spelling and the line's own line end.
    Entry& entry = target.entries[*found];
    const Line line = MakeLine({entry.key, "=", value}, LineEnd(target.body[entry.line]));
    target.body[entry.line] = line.raw;
    entry.value = ParseLine(line.text).value;
    return;
  }
  const Line line = MakeLine({key, "=", value}, NewLineEnd());
  const ParsedLine parsed = ParseLine(line.text);
  const std::size_t at = target.entries.empty() ? 0 : target.entries.back().line + 1;
  target.body.insert(target.body.begin() + static_cast<std::ptrdiff_t>(at), line.raw);
  target.entries.push_back({parsed.name, parsed.value, at});
  IndexLastEntry(target);
}

bool ProfileDocument::SetSection(std::string_view section,
                                 std::optional<std::string_view> entries) {
  section = Trim(section);
  if (!ValidSectionName(section)) return false;
  if (!entries) {
    const auto found = first_section_.find(section);
    if (found == first_section_.end()) return true;
    const std::size_t index = found->second;
    sections_[index].removed = true;
    first_section_.erase(found);
    for (std::size_t i = index + 1; i < sections_.size(); ++i) {
      if (!sections_[i].removed && ProfileNameEqual()(sections_[i].name, section)) {
        first_section_.emplace(sections_[i].name, i);
        break;
      }
    }
    changed_ = true;
    return true;
  }

  std::vector<std::pair<std::string_view, std::string_view>> pairs;
  std::string_view run = *entries;
  while (!run.empty()) {
    const std::size_t end = run.find('\0');
    const std::string_view piece = run.substr(0, end);
    if (piece.empty()) break;  // the closing second NUL
    run = end == std::string_view::npos ? std::string_view() : run.substr(end + 1);
    if (HasLineBreak(piece)) return false;
    const std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = Trim(piece.substr(0, equals));
    if (!ValidKeyName(key)) return false;
    pairs.emplace_back(key, piece.substr(equals + 1));
  }

  Section* target = Find(section);
  if (target == nullptr) target = &AppendSection(section);
  std::vector<bool> is_entry(target->body.size(), false);
  for (const Entry& entry : target->entries) is_entry[entry.line] = true;
  const std::size_t at = target->entries.empty() ? 0 : target->entries.front().line;
  std::vector<std::string_view> body(target->body.begin(),
                                     target->body.begin() + static_cast<std::ptrdiff_t>(at));
  std::vector<Entry> list;
  for (const auto& [key, value] : pairs) {
    const Line line = MakeLine({key, "=", value}, NewLineEnd());
    const ParsedLine parsed = ParseLine(line.text);
    list.push_back({parsed.name, parsed.value, body.size()});
    body.push_back(line.raw);
  }
  for (std::size_t i = at; i < target->body.size(); ++i) {
    if (!is_entry[i]) body.push_back(target->body[i]);
  }
  target->body = std::move(body);
  target->entries = std::move(list);
  target->index.clear();  // built again on the next look-up
  changed_ = true;
  return true;
}

bool ProfileDocument::Commit() {
  if (!changed_) return true;
  if (!readable_ || path_.empty()) return false;
  if (!SaveAs(path_)) return false;
  changed_ = false;
  return true;
}

bool ProfileDocument::SaveAs(const std::string& path) const {
  return ReplaceFileAtomically(path, [this](const ContentSink& write) { return Write(write); });
}

std::string ProfileDocument::Content() const {
  std::string content;
  content.reserve(original_.size());
  Write([&content](std::string_view piece) {
    content.append(piece);
    return true;
  });
  return content;
}

bool ProfileDocument::Write(const ContentSink& write) const {
  std::size_t size = 0;
  // A line without a line end (the file's last line) gets one when something now follows it.
  bool open = false;
  const auto put = [&](std::string_view raw) {
    if (open) {
      // A UTF-16 file may end in a stray odd byte; it is made a whole unit before anything
      // follows it, or every later line would be read one byte out of step.
      if (encoding_ == ProfileEncoding::kUtf16LeBom && size % 2 != 0) {
        if (!write(std::string_view("\0", 1))) return false;
        ++size;
      }
      if (!write(NewLineEnd())) return false;
      size += NewLineEnd().size();
    }
    open = LineEnd(raw).empty();
    size += raw.size();
    return write(raw);
  };
  if (!put(bom_)) return false;
  open = false;  // the mark is no line
  for (const std::string_view raw : preamble_) {
    if (!put(raw)) return false;
  }
  for (const Section& section : sections_) {
    if (section.removed) continue;
    if (!put(section.header)) return false;
    for (const std::string_view raw : section.body) {
      if (!put(raw)) return false;
    }
  }
  return true;
}

ProfileDocument::Section& ProfileDocument::AppendSection(std::string_view name) {
  const Line line = MakeLine({"[", name, "]"}, NewLineEnd());
  Section section;
  section.name = ParseLine(line.text).name;
  section.header = line.raw;
  sections_.push_back(std::move(section));
  first_section_.try_emplace(sections_.back().name, sections_.size() - 1);
  return sections_.back();
}

std::optional<std::size_t> ProfileDocument::FindEntry(const Section& section,
                                                      std::string_view key) {
  if (section.entries.size() <= kUnindexedEntries && section.index.empty()) {
    for (std::size_t e = 0; e < section.entries.size(); ++e) {
      if (ProfileNameEqual()(section.entries[e].key, key)) return e;
    }
    return std::nullopt;
  }
  if (section.index.empty()) BuildIndex(section, section.entries.size());
  const std::size_t entry = Look(section.index, section.entries, key).entry;
  if (entry == kNoEntry) return std::nullopt;
  return entry;
}

void ProfileDocument::IndexLastEntry(Section& section) {
  if (section.index.empty()) return;  // none yet: the next look-up builds it
  const std::size_t count = section.entries.size();
  if (count * 2 > section.index.size()) {
    BuildIndex(section, count);  // grows the table, a doubling at a time
    return;
  }
  const Probe probe = Look(section.index, section.entries, section.entries.back().key);
  if (probe.entry == kNoEntry) section.index[probe.slot] = Slot(probe.hash, count - 1);
}

void ProfileDocument::BuildIndex(const Section& section, std::size_t room) {
  section.index.assign(SlotsFor(std::max(room, section.entries.size())), 0);
  for (std::size_t e = 0; e < section.entries.size(); ++e) {
    const Probe probe = Look(section.index, section.entries, section.entries[e].key);
    if (probe.entry == kNoEntry) section.index[probe.slot] = Slot(probe.hash, e);
  }
}

ProfileDocument::Line ProfileDocument::MakeLine(std::initializer_list<std::string_view> text,
                                                std::string_view line_end) {
  std::size_t size = 0;
  for (const std::string_view part : text) size += part.size();
  if (encoding_ != ProfileEncoding::kUtf16LeBom) {
    char* bytes = static_cast<char*>(arena_.allocate(size + line_end.size(), 1));
    char* end = bytes;
    for (const std::string_view part : text) end = std::copy(part.begin(), part.end(), end);
    std::copy(line_end.begin(), line_end.end(), end);
    return {std::string_view(bytes, size + line_end.size()), std::string_view(bytes, size)};
  }
  std::string utf8;
  utf8.reserve(size);
  for (const std::string_view part : text) utf8.append(part);
  return {Keep(Utf16LeFromUtf8(utf8).append(line_end)), Keep(utf8)};
}

std::string_view ProfileDocument::LineEnd(std::string_view raw) const {
  const bool wide = encoding_ == ProfileEncoding::kUtf16LeBom;
  const std::size_t width = wide ? 2 : 1;
  if (raw.size() % width != 0) return {};
  const auto is = [&](std::size_t units_from_end, char c) {
    if (raw.size() < units_from_end * width) return false;
    const std::size_t at = raw.size() - units_from_end * width;
    return raw[at] == c && (!wide || raw[at + 1] == '\0');
  };
  std::size_t units = 0;
  if (is(1, '\n')) {
    units = is(2, '\r') ? 2 : 1;
  } else if (is(1, '\r')) {
    units = 1;
  }
  return raw.substr(raw.size() - units * width);
}

std::string_view ProfileDocument::NewLineEnd() const {
  return encoding_ == ProfileEncoding::kUtf16LeBom ? std::string_view("\r\0\n\0", 4)
                                                   : std::string_view("\r\n");
}

std::string_view ProfileDocument::Keep(std::string_view text) {
  char* bytes = static_cast<char*>(arena_.allocate(text.size(), 1));
  std::memcpy(bytes, text.data(), text.size());
  return std::string_view(bytes, text.size());
}

}  // namespace mplnet
