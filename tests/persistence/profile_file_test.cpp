// How profile files are read and rewritten: hand-edited files, byte-for-byte preservation,
// encodings, refused texts, section runs and atomic replacement.
#include "persistence/profile_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mplnet/engine.h"
#include "persistence/ini_file.h"
#include "persistence/profile_test_util.h"

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#endif

namespace mplnet {
namespace {

using testing::CopyFixture;
using testing::CountEntries;
using testing::Fixture;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;
using Texts = std::vector<std::string>;
using namespace std::string_literals;

std::string Utf16(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

CIniFile OpenCopy(const TempDir& dir, const std::string& fixture) {
  CIniFile ini;
  ini.SetFileName(CopyFixture(dir, fixture));
  return ini;
}

TEST(ProfileReadTest, HandEditedValues) {
  const struct {
    const char* fixture;
    const char* section;
    const char* key;
    Texts values;
  } cases[] = {
      {"comments_and_blanks.ini", "Main", "count", {"5"}},
      {"comments_and_blanks.ini", "main", "COUNT", {"5"}},
      {"comments_and_blanks.ini", "  Main ", " count ", {"5"}},
      {"comments_and_blanks.ini", "Main", "note", {"1 ; not a comment"}},
      {"comments_and_blanks.ini", "Main", "expr", {"a=b"}},
      {"comments_and_blanks.ini", "Main", "# hash", {"1"}},
      {"comments_and_blanks.ini", "Main", "empty", {}},
      {"comments_and_blanks.ini", "Main", "; count", {}},
      {"comments_and_blanks.ini", "Main", "a line without equals", {}},
      {"quoted_values.ini", "Q", "double", {"abc"}},
      {"quoted_values.ini", "Q", "single", {"x y"}},
      {"quoted_values.ini", "Q", "open", {"\"abc"}},
      {"quoted_values.ini", "Q", "inner", {"a \"b\" c"}},
      {"quoted_values.ini", "Q", "mixed", {"\"abc'"}},
      {"quoted_values.ini", "Q", "padded", {" p "}},
      {"duplicates.ini", "Dup", "k", {"first"}},
      {"duplicates.ini", "dup", "only", {}},
      {"odd_headers.ini", "a]b", "x", {"1"}},
      {"odd_headers.ini", "a]b", "y", {"2"}},
      {"odd_headers.ini", "S", "z", {"3"}},
      {"odd_headers.ini", "spaced name", "w", {"4"}},
      {"odd_headers.ini", "", "orphan", {}},
      {"mixed_case_lf.ini", "NEURON_10", "x", {"1"}},
      {"mixed_case_lf.ini", "neuron_10", "THRESHOLD", {"0.5"}},
      {"no_final_line_end.ini", "S", "a", {"1"}},
      {"utf8_bom.ini", "Größe", "key", {"wert"}},
      {"utf16_bom.ini", "wide", "NAME", {"Zoë"}},
      {"missing.ini", "S", "a", {}},
  };
  TempDir dir;
  for (const auto& test : cases) {
    CIniFile ini;
    const std::string path = dir.file(test.fixture);
    if (std::string(test.fixture) != "missing.ini") WriteBytes(path, Fixture(test.fixture));
    ASSERT_EQ(ini.SetFileName(path), path);
    EXPECT_EQ(ini.GetValues(test.section, test.key), test.values)
        << test.fixture << " [" << test.section << "] " << test.key;
  }
}

TEST(ProfileReadTest, NamesListedInFileOrderWithDuplicates) {
  const struct {
    const char* fixture;
    Texts sections;
    const char* section;
    Texts keys;
  } cases[] = {
      {"comments_and_blanks.ini", {"Main"}, "MAIN", {"# hash", "count", "note", "empty", "expr"}},
      {"duplicates.ini", {"Dup", "Other", "dup"}, "dup", {"k", "K"}},
      {"odd_headers.ini", {"a]b", "S", "Spaced Name"}, "a]b", {"x", "y"}},
      {"mixed_case_lf.ini", {"neuron_10", "Synapse_10"}, "Neuron_10", {"X", "Threshold"}},
      {"utf16_bom.ini", {"Wide"}, "Wide", {"name"}},
      {"utf16_bom.ini", {"Wide"}, "Absent", {}},
  };
  TempDir dir;
  for (const auto& test : cases) {
    const CIniFile ini = OpenCopy(dir, test.fixture);
    EXPECT_EQ(ini.GetSections(), test.sections) << test.fixture;
    EXPECT_EQ(ini.GetKeys(test.section), test.keys) << test.fixture;
  }
}

TEST(ProfileWriteTest, OnlyTheWrittenLineChanges) {
  const std::string crlf_main = Fixture("comments_and_blanks.ini");
  const struct {
    const char* fixture;
    const char* section;
    const char* key;
    const char* value;
    std::string from;  // the written file is the fixture with `from` replaced by `to`
    std::string to;
  } cases[] = {
      // An existing key: its own line, the file's spelling of the key, the line's own line end.
      {"comments_and_blanks.ini", "MAIN", "COUNT", "7", "  count  =  5  \r\n", "count=7\r\n"},
      {"mixed_case_lf.ini", "NEURON_10", "x", "2", "X=1\n", "X=2\n"},
      {"duplicates.ini", "DUP", "k", "new", "k=first\r\n", "k=new\r\n"},
      {"no_final_line_end.ini", "S", "a", "9", "a=1", "a=9"},
      // A new key: after the section's last entry, ahead of trailing blanks and comments.
      {"comments_and_blanks.ini", "Main", "new", "x", "expr=a=b\r\n", "expr=a=b\r\nnew=x\r\n"},
      {"mixed_case_lf.ini", "neuron_10", "alpha", "2", "Threshold=0.5\n",
       "Threshold=0.5\nalpha=2\r\n"},
      {"no_final_line_end.ini", "s", "b", "2", "a=1", "a=1\r\nb=2\r\n"},
      {"utf8_bom.ini", "GRößE", "k2", "v", "key=wert\r\n", "key=wert\r\nk2=v\r\n"},
      // A new section: at the end of the file, no blank line before it.
      {"mixed_case_lf.ini", "New", "k", "v", "x=1\n", "x=1\n[New]\r\nk=v\r\n"},
      {"duplicates.ini", "Third", "k", "v", "only=in second\r\n",
       "only=in second\r\n[Third]\r\nk=v\r\n"},
  };
  TempDir dir;
  for (const auto& test : cases) {
    CIniFile ini = OpenCopy(dir, test.fixture);
    ASSERT_EQ(ini.SetValue(test.section, test.key, test.value), 1) << test.fixture;
    EXPECT_EQ(ReadBytes(ini.GetFileName()), Replaced(Fixture(test.fixture), test.from, test.to))
        << test.fixture << " [" << test.section << "] " << test.key;
    EXPECT_EQ(ini.GetValue(test.section, test.key), test.value);
  }
}

TEST(ProfileWriteTest, Utf16FileStaysUtf16) {
  TempDir dir;
  CIniFile ini = OpenCopy(dir, "utf16_bom.ini");
  ASSERT_EQ(Fixture("utf16_bom.ini"), Utf16(u"[Wide]\r\nname=Zoë\r\n; c\r\n"));
  ASSERT_EQ(ini.SetValue("WIDE", "Name", "Zoé €"), 1);
  ASSERT_EQ(ini.SetValue("Wide", "second", "𝄞"), 1);
  EXPECT_EQ(ReadBytes(ini.GetFileName()), Utf16(u"[Wide]\r\nname=Zoé €\r\nsecond=𝄞\r\n; c\r\n"));
  EXPECT_EQ(ini.GetValue("wide", "second"), "𝄞");
}

TEST(ProfileWriteTest, NewFileIsUtf8WithCrLf) {
  TempDir dir;
  CIniFile ini;
  ASSERT_NE(ini.SetFileName(dir.file("new.ini")), "Debug: Set name false ");
  EXPECT_EQ(ini.SetValue("Neuron_10", "X", "1"), 1);
  EXPECT_EQ(ini.SetValue(" Neuron_10 ", " Y ", "0"), 1);
  EXPECT_EQ(ini.SetValueInt("Synapse_10", "X", -3), 1);
  EXPECT_EQ(ReadBytes(dir.file("new.ini")),
            "[Neuron_10]\r\nX=1\r\nY=0\r\n[Synapse_10]\r\nX=-3\r\n");
}

TEST(ProfileWriteTest, TextsThatWouldBreakLinesAreRefused) {
  const struct {
    std::string section, key, value;
  } cases[] = {
      {"a]b", "k", "v"},    {"Ma\nin", "k", "v"},         {"Main\r", "k", "v"},
      {"Main", "k=x", "v"}, {"Main", "k\n", "v"},         {"Main", ";k", "v"},
      {"Main", "[k", "v"},  {"Main", "k", "v\r\nevil=1"}, {"Main", "k", "a\0b"s},
      {"M\0"s, "k", "v"},
  };
  TempDir dir;
  CIniFile ini = OpenCopy(dir, "comments_and_blanks.ini");
  for (const auto& test : cases) {
    EXPECT_EQ(ini.SetValue(test.section, test.key, test.value), 0) << test.key << test.value;
  }
  EXPECT_EQ(ini.SetSection("Main", "a=1\0b=2\r\nc=3\0\0"s), 0);
  EXPECT_EQ(ini.SetSection("Main", ";a=1\0\0"s), 0);
  EXPECT_EQ(ini.SetSection("x]", "a=1\0\0"s), 0);
  EXPECT_EQ(ReadBytes(ini.GetFileName()), Fixture("comments_and_blanks.ini"));
}

TEST(ProfileSectionTest, RunReplacesEntriesInPlace) {
  TempDir dir;
  CIniFile ini = OpenCopy(dir, "comments_and_blanks.ini");
  ASSERT_EQ(ini.SetSection("main", "a=1\0 b = 2 \0no equals\0\0ignored=1\0"s), 1);
  EXPECT_EQ(ReadBytes(ini.GetFileName()),
            "; a comment line\r\n[Main]\r\n\r\n; count=9\r\na=1\r\nb= 2 \r\n"
            "a line without equals\r\n   \r\n; trailing comment\r\n");
  EXPECT_EQ(ini.GetKeys("Main"), (Texts{"a", "b"}));
  EXPECT_EQ(ini.GetValue("Main", "b"), "2");

  ASSERT_EQ(ini.SetSection("Added", "k=v\0\0"s), 1);
  ASSERT_EQ(ini.SetSection("Empty", "\0"s), 1);
  EXPECT_EQ(ini.GetSections(), (Texts{"Main", "Added", "Empty"}));
  EXPECT_EQ(ini.GetKeys("Empty"), Texts{});
}

TEST(ProfileSectionTest, DeleteRemovesTheFirstOfDuplicates) {
  TempDir dir;
  CIniFile ini = OpenCopy(dir, "duplicates.ini");
  ASSERT_EQ(ini.DeleteSection("DUP"), 1);
  EXPECT_EQ(ReadBytes(ini.GetFileName()),
            "[Other]\r\nz=1\r\n[dup]\r\nk=third\r\nonly=in second\r\n");
  EXPECT_EQ(ini.GetValue("Dup", "k"), "third");
  ASSERT_EQ(ini.DeleteSection("Dup"), 1);
  EXPECT_EQ(ini.GetSections(), Texts{"Other"});

  // Deleting what is not there changes nothing and creates nothing.
  const std::string before = ReadBytes(ini.GetFileName());
  EXPECT_EQ(ini.DeleteSection("Absent"), 1);
  EXPECT_EQ(ReadBytes(ini.GetFileName()), before);
  CIniFile missing;
  missing.SetFileName(dir.file("missing.ini"));
  EXPECT_EQ(missing.DeleteSection("S"), 1);
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing.ini")));
}

TEST(ProfileDocumentTest, BatchOfEditsIsOneReplacement) {
  TempDir dir;
  const std::string path = CopyFixture(dir, "odd_headers.ini");
  ProfileDocument document(path);
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(document.SetValue("S", testing::Numbered("k", i), std::to_string(i)));
  }
  EXPECT_TRUE(document.changed());
  EXPECT_EQ(ReadBytes(path), Fixture("odd_headers.ini"));  // nothing on disk before the commit
  EXPECT_EQ(document.Value("s", "K49"), "49");
  ASSERT_TRUE(document.Commit());
  EXPECT_FALSE(document.changed());
  const ProfileDocument reread(path);
  EXPECT_EQ(reread.KeyNames("S").size(), 51u);
  EXPECT_EQ(reread.Value("S", "k0"), "0");
  EXPECT_EQ(reread.Value("Spaced Name", "w"), "4");  // the section after S is still in place
}

// Bytes parsed in memory read as the same bytes read from a file, and the same edits give the same
// content; such a document has no file of its own until SaveAs names one.
TEST(ProfileDocumentTest, BytesInMemoryReadAndEditAsTheFile) {
  TempDir dir;
  for (const char* fixture : {"odd_headers.ini", "utf16_bom.ini", "no_final_line_end.ini"}) {
    const std::string path = CopyFixture(dir, fixture);
    ProfileDocument from_file(path);
    ProfileDocument in_memory(ProfileBytes{Fixture(fixture)});
    EXPECT_EQ(in_memory.Content(), Fixture(fixture)) << fixture;
    EXPECT_EQ(in_memory.SectionNames(), from_file.SectionNames()) << fixture;
    for (ProfileDocument* document : {&from_file, &in_memory}) {
      ASSERT_TRUE(document->SetValue("Added", "k", "v"));
    }
    ASSERT_TRUE(from_file.Commit());
    EXPECT_EQ(in_memory.Content(), ReadBytes(path)) << fixture;
    EXPECT_FALSE(in_memory.Commit()) << fixture;
    ASSERT_TRUE(in_memory.SaveAs(dir.file("copy.ini")));
    EXPECT_EQ(ReadBytes(dir.file("copy.ini")), ReadBytes(path)) << fixture;
  }
}

// Small sections are searched entry by entry, larger ones through a table: both find the first of
// duplicate keys, and keep doing so as the section grows or is replaced.
// Entries() lists what KeyNames() and a Value() look-up per key give, without the look-ups.
void ExpectEntriesAgree(const ProfileDocument& document, std::string_view section) {
  const std::vector<std::string_view> keys = document.KeyNames(section);
  const std::vector<ProfileDocument::EntryView> entries = document.Entries(section);
  ASSERT_EQ(entries.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(entries[i].key, keys[i]) << i;
    EXPECT_EQ(std::optional<std::string_view>(entries[i].value), document.Value(section, keys[i]))
        << keys[i];
  }
}

TEST(ProfileDocumentTest, DuplicateKeysInSectionsOfAnySize) {
  TempDir dir;
  for (const int count : {3, 8, 9, 40}) {
    std::string file = "[S]\r\n";
    std::string run;
    for (int i = 0; i < count; ++i) {
      file.append(testing::Numbered("k", i)).append("=").append(std::to_string(i)).append("\r\n");
      run.append(testing::Numbered("k", i)).append("=r").append(std::to_string(i)).append(1, '\0');
    }
    file.append("K1=duplicate\r\n");
    run.append("K1=duplicate").append(1, '\0');
    const std::string path = dir.file(testing::Numbered("size", count) + ".ini");
    WriteBytes(path, file);

    SCOPED_TRACE(count);
    ProfileDocument document(path);
    EXPECT_EQ(document.KeyNames("S").size(), static_cast<std::size_t>(count) + 1) << count;
    EXPECT_EQ(document.Value("S", "K1"), "1") << count;
    EXPECT_EQ(document.Entries("s").back().value, "1") << count;  // the duplicate reads k1's
    ExpectEntriesAgree(document, "S");
    ASSERT_TRUE(document.SetValue("S", "k1", "changed"));
    EXPECT_EQ(document.Value("s", "k1"), "changed") << count;
    ExpectEntriesAgree(document, "S");
    for (int i = count; i < count + 12; ++i) {
      ASSERT_TRUE(document.SetValue("S", testing::Numbered("k", i), "new"));
    }
    ASSERT_TRUE(document.SetValue("S", "k1", "again"));
    EXPECT_EQ(document.Value("S", testing::Numbered("K", count + 11)), "new") << count;
    EXPECT_EQ(document.Value("S", "k1"), "again") << count;
    ExpectEntriesAgree(document, "S");
    ASSERT_TRUE(document.SetValue("S", "k1", "changed"));
    ASSERT_TRUE(document.Commit());
    // Only k1's line changed, the duplicate kept its line, and the new keys follow it.
    const std::string kept = Replaced(file, "k1=1\r\n", "k1=changed\r\n");
    const std::string written = ReadBytes(path);
    EXPECT_EQ(written.substr(0, kept.size()), kept) << count;
    const std::string next = testing::Numbered("k", count) + "=new\r\n";
    EXPECT_EQ(written.substr(kept.size(), next.size()), next) << count;

    ASSERT_TRUE(document.SetSection("S", run));
    EXPECT_EQ(document.Value("S", "k1"), "r1") << count;
    ExpectEntriesAgree(document, "S");
    EXPECT_EQ(document.Value("S", testing::Numbered("k", count - 1)),
              testing::Numbered("r", count - 1));
    EXPECT_FALSE(document.Value("S", testing::Numbered("k", count)).has_value()) << count;
  }
}

TEST(AtomicReplaceTest, MissingFolderOrFileAsFolderFailsAndCreatesNothing) {
  TempDir dir;
  WriteBytes(dir.file("plain"), "x");
  for (const std::string& path : {dir.file("absent/net.ini"), dir.file("plain/net.ini")}) {
    ProfileDocument document(path);
    ASSERT_TRUE(document.SetValue("S", "k", "v"));
    EXPECT_FALSE(document.Commit()) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("absent")));
  EXPECT_EQ(ReadBytes(dir.file("plain")), "x");
  EXPECT_EQ(CountEntries(dir.path()), 1u);
}

TEST(AtomicReplaceTest, UnreadableFileIsNeverOverwritten) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("folder.ini"));
  CIniFile ini;
  ini.SetFileName(dir.file("folder.ini"));
  EXPECT_EQ(ini.GetSections(), Texts{});
  EXPECT_EQ(ini.SetValue("S", "k", "v"), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder.ini")));
}

// The temporary file's name does not grow with the target's, so every name the file system takes
// (up to 255 bytes) can be saved.
TEST(AtomicReplaceTest, NamesOfEveryLegalLengthAreSaved) {
  TempDir dir;
  const Perceptron net = testing::MakeExampleNetwork();
  for (const std::size_t length : {200, 244, 250, 255}) {
    const std::string path = dir.file(std::string(length - 4, 'n') + ".ini");
    CIniFile ini;
    ASSERT_EQ(ini.SetFileName(path), path);
    EXPECT_STREQ(ini.SaveMPL(net), " MPL network save") << length;
    EXPECT_EQ(ini.SetValue("Extra", "k", "v"), 1) << length;
    EXPECT_EQ(CountEntries(dir.path()), 1u) << length;
    std::filesystem::remove(path);
  }
}

// A read-only file is refused as Windows refuses it. The refusal comes from the file's own mode,
// not from the kernel, so it holds for root too, whom the kernel would let replace the file.
TEST(AtomicReplaceTest, ReadOnlyFileIsRefusedAndStays) {
  TempDir dir;
  const std::string path = CopyFixture(dir, "example_2_1.ini");
  const std::string before = ReadBytes(path);
  namespace fs = std::filesystem;
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  CIniFile ini;
  ASSERT_EQ(ini.SetFileName(path), path);
  Perceptron net = testing::MakeExampleNetwork();
  net.setThreshold(1, 0, 0.75);
  EXPECT_STREQ(ini.SaveMPL(net), "Error: MPLSave, network file not saved");
  const std::function<std::int32_t()> single_writes[] = {
      [&] { return ini.SetValue("Neuron_10", "threshold", "0.75"); },
      [&] { return ini.SetValue("New", "k", "v"); },
      [&] { return ini.SetSection("Neuron_10", "X=1\0\0"s); },
      [&] { return ini.DeleteSection("Synapse_10"); },
  };
  for (const auto& write : single_writes) EXPECT_EQ(write(), 0);
  EXPECT_EQ(ReadBytes(path), before);
  EXPECT_EQ(CountEntries(dir.path()), 1u);
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::owner_write, fs::perms::none);
  // Writable again, the same save goes through.
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
  EXPECT_STREQ(ini.SaveMPL(net), " MPL network save");
  EXPECT_NE(ReadBytes(path), before);
}

// A save killed midway leaves its temporary file behind; a later save in the same folder removes
// such files once no save holds them, and never touches anything else.
TEST(AtomicReplaceTest, LaterSaveRemovesStaleTemporaryFilesOnly) {
  TempDir dir;
  namespace fs = std::filesystem;
#ifdef _WIN32
  const unsigned long own = static_cast<unsigned long>(_getpid());
#else
  const unsigned long own = static_cast<unsigned long>(getpid());
#endif
  // Process ids other than this one's: the files of a save in this process are never removed.
  const std::string other = std::to_string(own + 1);
  const std::string another = std::to_string(own + 2);
  enum Kind { kLeftBehind, kHeld, kFolder };
  const struct {
    std::string name;
    Kind kind;
    bool old;
    bool removed;
  } files[] = {
      {".mplnet-" + other + "-1-0123abcd.tmp", kLeftBehind, true, true},
      {".mplnet-" + another + "-17-89abcdef.tmp", kLeftBehind, true, true},
      // Held open by a save still writing it (stalled for a while, perhaps).
      {".mplnet-" + other + "-2-0123abcd.tmp", kHeld, true, false},
      // Just made: it may be a save's that has not yet locked it.
      {".mplnet-" + other + "-3-0123abcd.tmp", kLeftBehind, false, false},
      {".mplnet-" + other + "-4-0123abcd.tmp", kFolder, true, false},
      {".mplnet-" + std::to_string(own) + "-8-0123abcd.tmp", kLeftBehind, true, false},
      {".mplnet-notes.tmp", kLeftBehind, true, false},
      {".mplnet-" + other + "-5-0123abcg.tmp", kLeftBehind, true, false},
      {".mplnet-" + other + "-6-0123abcd.tmp.bak", kLeftBehind, true, false},
      {"x.mplnet-" + other + "-7-0123abcd.tmp", kLeftBehind, true, false},
      {"net.ini." + other + ".1.tmp", kLeftBehind, true, false},
  };
  const auto an_hour_ago = fs::file_time_type::clock::now() - std::chrono::hours(1);
#ifdef _WIN32
  std::ofstream holder;  // an open handle that does not share deletion, as a save's own has
#else
  int holder = -1;  // a lock on the file, as a save holds it while it writes
#endif
  for (const auto& f : files) {
    const std::string path = dir.file(f.name);
    if (f.kind == kFolder) {
      fs::create_directory(path);
    } else {
      WriteBytes(path, "partial");
    }
    if (f.old) {
      std::error_code ec;
      fs::last_write_time(path, an_hour_ago, ec);
#ifdef _WIN32
      // Wine does not set a folder's time; a folder is kept whatever its age.
      if (f.kind != kFolder) {
        ASSERT_FALSE(ec) << path;
      }
#else
      ASSERT_FALSE(ec) << path;
#endif
    }
    if (f.kind != kHeld) continue;
#ifdef _WIN32
    holder.open(path, std::ios::app);
    ASSERT_TRUE(holder.is_open());
#else
    holder = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
#endif
  }
  CIniFile ini;
  ini.SetFileName(dir.file("net.ini"));
  ASSERT_STREQ(ini.SaveMPL(testing::MakeExampleNetwork()), " MPL network save");
  for (const auto& f : files) EXPECT_EQ(fs::exists(dir.file(f.name)), !f.removed) << f.name;
#ifdef _WIN32
  holder.close();
#else
  close(holder);
#endif
}

#ifndef _WIN32
// A write that fails half-way (the file-size limit stops it) leaves the old file and no temporary
// one.
TEST(AtomicReplaceTest, FailedWriteLeavesOldFileUntouched) {
  TempDir dir;
  const std::string path = CopyFixture(dir, "comments_and_blanks.ini");
  const std::string before = ReadBytes(path);
  ProfileDocument document(path);
  ASSERT_TRUE(document.SetValue("Main", "big", std::string(100000, 'x')));

  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const bool committed = document.Commit();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);

  EXPECT_FALSE(committed);
  EXPECT_EQ(ReadBytes(path), before);
  EXPECT_EQ(CountEntries(dir.path()), 1u);
}

TEST(AtomicReplaceTest, ReadOnlyFolderLeavesOldFileUntouched) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
  TempDir dir;
  const std::string path = CopyFixture(dir, "duplicates.ini");
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  CIniFile ini;
  ini.SetFileName(path);
  EXPECT_EQ(ini.SetValue("Dup", "k", "changed"), 0);
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  EXPECT_EQ(ReadBytes(path), Fixture("duplicates.ini"));
  EXPECT_EQ(CountEntries(dir.path()), 1u);
}
#endif

}  // namespace
}  // namespace mplnet
