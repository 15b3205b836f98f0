// CIniFile: entry-by-entry access to one profile file, the way the network file reader and writer
// and the load and save exports use it.
//
// Each operation is one complete read (and, for a write, one atomic replacement) of the file named
// by the object's path, so what one call writes the next one reads. Between BeginBatch() and
// CommitBatch() every operation works instead on one parsed copy of the file and writes wait for
// the commit: a whole network is then read or written with one read and at most one replacement.
//
// Texts are UTF-8. An absent text (as distinct from the empty one) is std::nullopt. The results
// follow the Windows profile functions, computed by our own profile layer
// (persistence/profile_file.h): lists of names always come back complete, a single value longer
// than 254 characters comes back cut to its first 254, empty names and empty values are left out of
// lists.
#ifndef MPLNET_PERSISTENCE_INI_FILE_H_
#define MPLNET_PERSISTENCE_INI_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mplnet/error.h"
#include "persistence/network_file.h"

namespace mplnet {

class Perceptron;
class ProfileDocument;

// The errors CIniFile raises; what() is the reason alone ("Section", "Section or Key", ...), the
// caller adds the file, section and key.
class IniError : public Error {
 public:
  using Error::Error;
};

// A single value is read into a buffer of 255 characters, so at most this many come back.
constexpr std::size_t kSingleValueUnits = 254;
// What a single-value read returns of `value`: its first kSingleValueUnits characters, counted in
// UTF-16 units and never cutting a character in half.
std::string_view SingleValue(std::string_view value);

class CIniFile {
 public:
  // Works on the platform's fixed network file until SetFileName accepts another name.
  CIniFile();
  ~CIniFile();
  CIniFile(CIniFile&&) noexcept;
  CIniFile& operator=(CIniFile&&) noexcept;
  CIniFile(const CIniFile&) = delete;
  CIniFile& operator=(const CIniFile&) = delete;

  // Writes the entry (replaced in place, or appended); 1 when written, 0 when refused or not
  // written.
  std::int32_t SetValue(std::string_view section, std::string_view key, std::string_view value);
  // SetValue with the decimal text of `value`.
  std::int32_t SetValueInt(std::string_view section, std::string_view key, std::int32_t value);
  // The section's entries become those of the run `strKeyValue` ("k=v\0k2=v2\0\0"); an absent run
  // removes the section. 1 on success, 0 when refused or not written.
  std::int32_t SetSection(std::string_view strSection, std::optional<std::string_view> strKeyValue);
  // Removes the section with all its entries; 1 on success (a missing section or file included).
  std::int32_t DeleteSection(std::string_view strSection);

  // Both absent: the section names. Key absent: the key names of the section. Both given: the value
  // alone, cut to 254 characters, or nothing when it is missing or empty. Names in file order.
  std::vector<std::string> GetValues(std::optional<std::string_view> section,
                                     std::optional<std::string_view> key) const;
  // The section's key names in file order (empty if it is missing); raises IniError("Section") for
  // an absent section.
  std::vector<std::string> GetKeys(std::optional<std::string_view> section) const;
  // The file's section names in file order (empty if the file is missing).
  std::vector<std::string> GetSections() const;
  // The value's leading whole number ("12abc" is 12, "3.9" is 3, no digits 0), saturated to 32
  // bits; -1 when the key is missing or the value empty.
  std::int32_t GetValueInt(std::string_view section, std::string_view key) const;
  // The value; raises IniError("Section or Key") for an absent name, and IniError when the key is
  // missing or its value empty (there is no value to return).
  std::string GetValue(std::optional<std::string_view> section,
                       std::optional<std::string_view> key) const;

  // Accepts `name` when that file exists or its folder does (relative names against the current
  // folder): the path becomes `name` unchanged and the result is `name` as 8-bit host text.
  // Otherwise the path stays and the result is "Debug: Set name false ".
  std::string SetFileName(std::string_view name);
  // The file every operation works on.
  const std::string& GetFileName() const { return path; }

  // Starts working on one parsed copy of the file; writes wait for CommitBatch.
  void BeginBatch();
  // Writes the batch's changes as one atomic replacement and ends the batch. False when that write
  // failed; the file is then as it was.
  bool CommitBatch();
  // Ends the batch, dropping its changes.
  void DiscardBatch();

  // Writes two sections per element of `_net` (network file format), keeping everything else in the
  // file, as one atomic replacement. " MPL network save", or "Error: MPLSave, network file not
  // saved" when the file could not be written (it is then as it was). An empty network writes
  // nothing.
  const char* SaveMPL(const Perceptron& _net);
  // Builds a new network from the file and sets `_code` to " MPL network load ". Throws
  // NetworkFileError when the file cannot be read or a section is malformed.
  std::unique_ptr<Perceptron> LoadMPL(const char*& _code);

  // The reader's key look-up: sets `pattern` to `p` and returns the first of `keys` for which Exist
  // holds, nullopt when none does.
  static std::optional<std::string> FindKey(const std::vector<std::string>& keys,
                                            std::string_view p);
  // FindKey giving the position of the key found in `keys`.
  static std::optional<std::size_t> FindKeyIndex(std::span<const std::string_view> keys,
                                                 std::string_view p);

 private:
  // Whether the upper-cased `s` holds a match of the regular expression `pattern` + "+", ignoring
  // case; for a pattern of letters: whether `s` holds the pattern's letters as one run, in any
  // case.
  static bool Exist(std::string_view s);
  template <typename Keys>
  static std::optional<std::size_t> FirstMatch(const Keys& keys, std::string_view p);

  // Runs `read` on the batch's copy or on a fresh read of the file.
  template <typename Fn>
  auto Read(Fn&& read) const;
  // Runs `edit` on the batch's copy, or on a fresh read of the file that is then written back.
  template <typename Fn>
  std::int32_t Write(Fn&& edit);

  static inline std::string pattern = " ";
  std::string path;
  std::unique_ptr<ProfileDocument> batch_;
};

}  // namespace mplnet

#endif  // MPLNET_PERSISTENCE_INI_FILE_H_
