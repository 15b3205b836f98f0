// Profile files ("INI files") read and written by our own code on every platform.
//
// A ProfileDocument is one parsed snapshot of a file's bytes, read from the file or handed over in
// memory, that keeps every original line byte for byte. Queries and edits work in memory through
// hash look-ups, and Commit() writes the content back as one atomic replacement in which only
// changed and added lines differ from the file as read: comments, blank lines, unknown lines, the
// encoding and the line ends all stay. A whole network is therefore saved or loaded with one read
// and at most one write, in time linear in the file's size.
//
// Hand-edited files are read the way the Windows profile functions read them:
// - section and key names match without regard to ASCII case; blanks around names and values are
//   trimmed, and a value in one matching pair of '"' or '\'' loses the pair;
// - lines starting with ';' are comments; blank lines and lines without '=' are ignored; a value is
//   everything after the first '=' ("1 ; x" included);
// - "[a]b]" opens section "a]b" (the last ']' closes), "[NoClose" is an ignored line, and
//   "[S] ; c" opens S;
// - a duplicate section or key is listed each time, but reads and writes use the first;
// - lines before the first section belong to no section;
// - UTF-8 with or without byte-order mark and UTF-16LE with byte-order mark are read, with any line
//   ends.
// New lines are written with CR LF, in the file's own encoding (UTF-8 without mark for a new file).
#ifndef MPLNET_PERSISTENCE_PROFILE_FILE_H_
#define MPLNET_PERSISTENCE_PROFILE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "persistence/file_io.h"

namespace mplnet {

// The blanks trimmed around names and values: space, tab, vertical tab, form feed. Tested one
// character at a time: trimming runs for every line read, and a set search costs a scan per
// character.
constexpr bool IsProfileBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// How a profile file's text is stored on disk.
enum class ProfileEncoding { kUtf8, kUtf8Bom, kUtf16LeBom };

// Hash and equality for section and key names, ignoring ASCII case.
struct ProfileNameHash {
  std::size_t operator()(std::string_view name) const noexcept;
};
struct ProfileNameEqual {
  bool operator()(std::string_view a, std::string_view b) const noexcept;
};

// The bytes of a profile file, held in memory.
struct ProfileBytes {
  std::string bytes;
};

class ProfileDocument {
 public:
  // Reads the file `path` (a UTF-8 name) and parses its bytes. A missing file reads as empty and is
  // created by Commit; a file that exists but cannot be read also reads as empty, but is never
  // overwritten by Commit.
  explicit ProfileDocument(std::string path);
  // Parses bytes in memory; the document has no file of its own (Commit fails, SaveAs names one).
  explicit ProfileDocument(ProfileBytes content);
  // Lines are views into the document's own buffers, so it is neither copied nor moved.
  ProfileDocument(const ProfileDocument&) = delete;
  ProfileDocument& operator=(const ProfileDocument&) = delete;

  // The file read; empty for bytes parsed in memory.
  const std::string& path() const { return path_; }
  // False when the file exists but could not be read.
  bool readable() const { return readable_; }
  ProfileEncoding encoding() const { return encoding_; }

  // Names of all sections in file order, duplicates included; the views live as long as the
  // document.
  std::vector<std::string_view> SectionNames() const;
  // Key names of the first section called `section`, in file order; empty when there is none.
  std::vector<std::string_view> KeyNames(std::string_view section) const;
  // The value of the first `key` in the first `section`, trimmed and unquoted; nullopt when the
  // section or the key is missing.
  std::optional<std::string_view> Value(std::string_view section, std::string_view key) const;

  // A section's entry as a reader sees it: the key as spelled in the file, and the value that key
  // reads, which for a key that appears more than once is the value of its first entry.
  struct EntryView {
    std::string_view key;
    std::string_view value;
  };
  // Every entry of the first section called `section`, in file order, repeated keys included; empty
  // when there is none. Keys and values are those KeyNames and Value give, without a look-up per
  // key; the views live as long as the document.
  std::vector<EntryView> Entries(std::string_view section) const;
  // The same into `views`, whose storage a reader of many sections reuses.
  void Entries(std::string_view section, std::vector<EntryView>& views) const;

  // Sets `key` to `value` in `section`: in place on the key's own line, else as a new line after
  // the section's last entry, else in a new section at the end of the file. Names are trimmed.
  // False, and nothing changed, for texts that would break the file's lines: CR, LF or NUL
  // anywhere, '=' in the key or a key starting with ';' or '[', ']' in the section name.
  bool SetValue(std::string_view section, std::string_view key, std::string_view value);
  using KeyValue = std::pair<std::string_view, std::string_view>;
  // SetValue for each (key, value) of `entries` in turn, all into one section: false, and nothing
  // changed, when any of the texts would be refused. A writer that has a section's entries at hand
  // saves a look-up and the growth of the section's tables per entry.
  bool SetValues(std::string_view section, std::span<const KeyValue> entries);
  // With `entries` (a run "k=v\0k2=v2\0\0"): they become the section's only entries, placed where
  // its first entry stood, and pieces without '=' are dropped; the section is appended if missing.
  // Without `entries`: the section is removed with all its lines (nothing to do if it is missing).
  // False, and nothing changed, for texts SetValue would refuse.
  bool SetSection(std::string_view section, std::optional<std::string_view> entries);

  // True when an edit is waiting for Commit.
  bool changed() const { return changed_; }
  // Writes the content over the file as one atomic replacement if anything changed. False when the
  // write failed, the file could not be read in the first place, or the document has no file; the
  // file on disk is then as it was.
  bool Commit();
  // Writes the content over the file `path` as one atomic replacement, whatever it holds and
  // whether anything changed or not; false when the write failed (the file is then as it was).
  bool SaveAs(const std::string& path) const;
  // The bytes Commit and SaveAs write: the lines as read, with the edits made since.
  std::string Content() const;

 private:
  using NameIndex =
      std::unordered_map<std::string_view, std::size_t, ProfileNameHash, ProfileNameEqual>;
  struct Entry {
    std::string_view key;    // trimmed, as spelled in the file
    std::string_view value;  // trimmed and unquoted
    std::size_t line;        // index into Section::body
  };
  struct Section {
    std::string_view name;
    std::string_view header;             // the header line's bytes, line end included
    std::vector<std::string_view> body;  // every following line up to the next header
    std::vector<Entry> entries;          // the entry lines among them, in order
    // Beyond a few entries, an open-addressing table of the first entry of each key, built by the
    // first look-up: a reader that only lists entries never needs one. Since a const query may
    // build it, a document serves one thread at a time. One table per section keeps the look-ups
    // of a section's entries, which come together, close in memory; no entry costs an allocation
    // of its own.
    mutable std::vector<std::uint64_t> index;
    bool removed = false;
  };
  struct Line {
    std::string_view raw;   // bytes as stored in the file, line end included
    std::string_view text;  // the same line as UTF-8, without its line end
  };

  void Parse(std::string content_bytes);
  bool Write(const ContentSink& write) const;
  void AddLine(Line line);
  Section* Find(std::string_view section);
  const Section* Find(std::string_view section) const;
  Section& AppendSection(std::string_view name);
  // The first entry of `key` in the section, if any.
  static std::optional<std::size_t> FindEntry(const Section& section, std::string_view key);
  // Keeps an index that exists up to date with the section's new last entry.
  static void IndexLastEntry(Section& section);
  // Builds the section's index afresh, with room for `room` entries.
  static void BuildIndex(const Section& section, std::size_t room);
  // Sets `key` (trimmed, valid) to `value` in the section: in place, or as a new last entry.
  void PutEntry(Section& target, std::string_view key, std::string_view value);
  // A new line holding `text`, ending in `line_end` (raw bytes in the file's encoding).
  Line MakeLine(std::initializer_list<std::string_view> text, std::string_view line_end);
  std::string_view LineEnd(std::string_view raw) const;
  std::string_view NewLineEnd() const;
  std::string_view Keep(std::string_view text);

  std::string path_;
  // Lines made after reading live here and go all at once with the document: one allocation per
  // many lines rather than one per line.
  std::pmr::monotonic_buffer_resource arena_;
  bool readable_ = true;
  bool changed_ = false;
  ProfileEncoding encoding_ = ProfileEncoding::kUtf8;
  std::string original_;  // the bytes as read
  std::string decoded_;   // UTF-16 files only: the content as UTF-8, reserved once, never moved
  std::string_view bom_;
  std::vector<std::string_view> preamble_;  // lines before the first section
  std::vector<Section> sections_;
  NameIndex first_section_;                                // first live section of each name
  std::size_t last_found_ = static_cast<std::size_t>(-1);  // in sections_, for Find
};

}  // namespace mplnet

#endif  // MPLNET_PERSISTENCE_PROFILE_FILE_H_
