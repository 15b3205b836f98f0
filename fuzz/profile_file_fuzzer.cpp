// The profile-file parser on arbitrary file bytes, parsed in memory: every query, then edits whose
// written content must read back as written.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "persistence/profile_file.h"

namespace {

using mplnet::ProfileBytes;
using mplnet::ProfileDocument;

// Enough names to reach every code path, few enough that one input stays fast.
constexpr std::size_t kMaxNames = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string first_section;
  std::optional<std::string> first_key;
  std::size_t sections = 0;
  {
    ProfileDocument document(ProfileBytes{std::string(reinterpret_cast<const char*>(data), size)});
    const std::vector<std::string_view> names = document.SectionNames();
    sections = names.size();
    for (std::size_t s = 0; s < names.size() && s < kMaxNames; ++s) {
      const std::vector<std::string_view> keys = document.KeyNames(names[s]);
      const std::vector<ProfileDocument::EntryView> entries = document.Entries(names[s]);
      FUZZ_CHECK(entries.size() == keys.size());
      // Every listed key is found: the list and the look-up use the same (first) section. The
      // entry list gives the same keys and, without a look-up, the same values.
      for (std::size_t k = 0; k < keys.size() && k < kMaxNames; ++k) {
        const std::optional<std::string_view> value = document.Value(names[s], keys[k]);
        FUZZ_CHECK(value.has_value());
        FUZZ_CHECK(entries[k].key == keys[k] && value == entries[k].value);
      }
    }
    if (!names.empty()) {
      first_section = std::string(names.front());
      const std::vector<std::string_view> keys = document.KeyNames(first_section);
      if (!keys.empty()) first_key = std::string(keys.front());
    }

    // Edits: a new key in the first section (or a new section), an existing key replaced, a
    // section written as a run.
    const std::string section = first_section.empty() ? "Fuzz" : first_section;
    // The run below replaces a section of that name whole, edits to it included.
    const bool overwritten = mplnet::ProfileNameEqual()(section, "FuzzRun");
    const bool added = document.SetValue(section, "fuzz_added", "v1");
    const bool replaced = first_key && document.SetValue(section, *first_key, "v2");
    const bool run = document.SetSection("FuzzRun", std::string_view("a=1\0b=2\0\0", 10));
    FUZZ_CHECK(run);
    // What was written reads back, parsed afresh.
    const ProfileDocument reread(ProfileBytes{document.Content()});
    const bool same_key = first_key && mplnet::ProfileNameEqual()(*first_key, "fuzz_added");
    if (added && !overwritten && !same_key) {
      FUZZ_CHECK(reread.Value(section, "fuzz_added") == std::optional<std::string_view>("v1"));
    }
    if (replaced && !overwritten) {
      FUZZ_CHECK(reread.Value(section, *first_key) == std::optional<std::string_view>("v2"));
    }
    const std::vector<std::string_view> run_keys = reread.KeyNames("FuzzRun");
    FUZZ_CHECK(run_keys.size() == 2 && run_keys[0] == "a" && run_keys[1] == "b");
    FUZZ_CHECK(reread.Value("FuzzRun", "b") == std::optional<std::string_view>("2"));
    // Nothing else lost a section: the old ones, plus at most the two that may have been added.
    const std::size_t now = reread.SectionNames().size();
    FUZZ_CHECK(now >= sections && now <= sections + 2);
  }
  return 0;
}
