// Faults of the disk: a write cut short at any point, a folder that is gone or is a file, and a
// process killed while it saves. A failed save or bar-log write answers with its error text and
// leaves the old file byte for byte; a killed saver leaves the old network or the new one, whole.
#include <gtest/gtest.h>

#ifndef _WIN32

#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/bar_log.h"
#include "host/tavra_dll.h"
#include "mplnet/mplnet.h"
#include "persistence/ini_file.h"
#include "test_support.h"

// Every fsync of this program passes through here; while a test watches, each is recorded.
struct FsyncRecord {
  ino_t inode;          // of what was flushed
  std::string watched;  // the watched file's text at that moment
};
std::vector<FsyncRecord>* g_fsyncs = nullptr;
std::string g_watched;

extern "C" int fsync(int fd) {
  using Fsync = int (*)(int);
  static const auto real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
  if (g_fsyncs != nullptr) {
    struct stat info {};
    fstat(fd, &info);
    std::ifstream in(g_watched, std::ios::binary);
    g_fsyncs->push_back({info.st_ino, {std::istreambuf_iterator<char>(in), {}}});
  }
  return real(fd);
}

namespace mplnet {
namespace {

using testing::WithFileSizeLimit;

constexpr char kSaved[] = " MPL network save";
constexpr char kNotSaved[] = "Error: MPLSave, network file not saved";
constexpr char kLogged[] = "MPLSetData: Successful";
constexpr char kNotLogged[] = "Error: MPLSetData, bar log not written";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> Names(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class DiskFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { MPL.net = std::make_unique<Perceptron>(testing::MakeExampleNetwork()); }
  void TearDown() override { MPL.net = std::make_unique<Perceptron>(); }

  testing::TempDir dir_;
};

TEST_F(DiskFaultTest, SaveCutShortAnywhereLeavesTheOldFile) {
  const std::string path = dir_.file("net.ini");
  ASSERT_STREQ(MPLSave(path.c_str()), kSaved);
  const std::string old_text = ReadFile(path);
  testing::ScopedRandomSource source;
  MPL.net = std::make_unique<Perceptron>(Perceptron({6, 8, 3}));
  // What the save writes when nothing stops it, measured on a copy of the old file.
  const std::string copy = dir_.file("copy.ini");
  WriteFile(copy, old_text);
  ASSERT_STREQ(MPLSave(copy.c_str()), kSaved);
  const std::string new_text = ReadFile(copy);
  std::filesystem::remove(copy);
  const rlim_t size = new_text.size();
  ASSERT_GT(size, old_text.size());

  // Cut short before the first byte, after one, in the middle and one byte before the end; with
  // room for exactly the whole text the same save goes through.
  for (const rlim_t limit : {rlim_t{0}, rlim_t{1}, size / 2, size - 1}) {
    EXPECT_EQ(WithFileSizeLimit(limit, [&] { return MPLSave(path.c_str()); }), kNotSaved) << limit;
    EXPECT_EQ(ReadFile(path), old_text) << limit;
    EXPECT_EQ(Names(dir_.path()), std::vector<std::string>{"net.ini"}) << limit;
  }
  EXPECT_EQ(WithFileSizeLimit(size, [&] { return MPLSave(path.c_str()); }), kSaved);
  EXPECT_EQ(ReadFile(path), new_text);
}

TEST_F(DiskFaultTest, BarLogCutShortAnywhereLeavesNoPartialLine) {
  const std::string log = dir_.file("bars.txt");
  const std::string old_text = "Bar: 0 Time: 1 Open: 1 Low: 1 High: 1 Close: 1 Vol: 1 \r\n";
  const RateInfo bars[3] = {
      {1, 1.5, 1.25, 2, 1.75, 10}, {2, 0.1, 0.2, 0.3, 0.4, 0.5}, {3, -1, -2, -3, -4, -5}};
  const std::string lines = FormatBarLines(bars, 3, NumberSymbols{});
  const rlim_t full = old_text.size() + lines.size();
  // The first line ends at its CR LF: cuts before, inside and after it, and one byte short.
  const rlim_t first_line_end = old_text.size() + lines.find('\n') + 1;
  for (const rlim_t limit : {rlim_t{0}, rlim_t{old_text.size()}, first_line_end - 1, first_line_end,
                             first_line_end + 1, full - 1}) {
    WriteFile(log, old_text);
    EXPECT_EQ(WithFileSizeLimit(limit, [&] { return SetData(bars, 3, 0, 0, log); }), kNotLogged)
        << limit;
    EXPECT_EQ(ReadFile(log), old_text) << limit;
  }
  WriteFile(log, old_text);
  EXPECT_EQ(WithFileSizeLimit(full, [&] { return SetData(bars, 3, 0, 0, log); }), kLogged);
  EXPECT_EQ(ReadFile(log), old_text + lines);
}

TEST_F(DiskFaultTest, SaveWhereTheFolderIsGoneOrIsAFile) {
  const std::string keep = "not a folder\r\n";
  struct Case {
    const char* fault;
    // Makes the fault after the name was accepted; returns what must stay byte for byte.
    std::function<void(const std::filesystem::path& folder)> make;
  };
  const Case cases[] = {
      {"the folder was removed", [](const auto& folder) { std::filesystem::remove_all(folder); }},
      {"the folder was replaced by a file",
       [&](const auto& folder) {
         std::filesystem::remove_all(folder);
         WriteFile(folder.string(), keep);
       }},
      {"the file's name is taken by a folder",
       [](const auto& folder) { std::filesystem::create_directories(folder / "net.ini" / "x"); }},
  };
  for (const Case& c : cases) {
    const std::filesystem::path folder = dir_.path() / "sub";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "net.ini").string();
    CIniFile ini;
    ASSERT_EQ(ini.SetFileName(path), path);
    c.make(folder);
    const std::vector<std::string> before = Names(dir_.path());
    EXPECT_STREQ(ini.SaveMPL(*MPL.net), kNotSaved) << c.fault;
    EXPECT_EQ(Names(dir_.path()), before) << c.fault;
    if (std::filesystem::is_regular_file(folder)) {
      EXPECT_EQ(ReadFile(folder.string()), keep) << c.fault;
    }
    if (std::filesystem::is_directory(folder / "net.ini")) {
      EXPECT_EQ(Names(folder / "net.ini"), std::vector<std::string>{"x"}) << c.fault;
      EXPECT_EQ(Names(folder), std::vector<std::string>{"net.ini"}) << c.fault;
    }
  }
  std::filesystem::remove_all(dir_.path() / "sub");
  // Through the export, a name whose folder is a file is refused and the last accepted one is used.
  WriteFile(dir_.file("plain"), keep);
  const std::string accepted = dir_.file("accepted.ini");
  ASSERT_STREQ(MPLSave(accepted.c_str()), kSaved);
  EXPECT_STREQ(MPLSave(dir_.file("plain/net.ini").c_str()), kSaved);
  EXPECT_EQ(ReadFile(dir_.file("plain")), keep);
  EXPECT_EQ(Names(dir_.path()), (std::vector<std::string>{"accepted.ini", "plain"}));
}

TEST_F(DiskFaultTest, BarLogWhereTheFolderIsAFileOrTheLogIsAFolder) {
  const RateInfo bar{1, 1, 1, 1, 1, 1};
  WriteFile(dir_.file("plain"), "kept");
  EXPECT_STREQ(SetData(&bar, 1, 0, 0, dir_.file("plain/bars.txt")), kNotLogged);
  EXPECT_EQ(ReadFile(dir_.file("plain")), "kept");
  std::filesystem::create_directories(dir_.path() / "folder.txt");
  EXPECT_STREQ(SetData(&bar, 1, 0, 0, dir_.file("folder.txt")), kNotLogged);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path() / "folder.txt"));
  EXPECT_EQ(Names(dir_.path()), (std::vector<std::string>{"folder.txt", "plain"}));
}

TEST_F(DiskFaultTest, ReadOnlyFolderRefusesTheSaveAndTheLog) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  const std::string path = dir_.file("net.ini");
  ASSERT_STREQ(MPLSave(path.c_str()), kSaved);
  const std::string old_text = ReadFile(path);
  std::filesystem::permissions(
      dir_.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  testing::ScopedRandomSource source;
  MPL.net = std::make_unique<Perceptron>(Perceptron({3, 2}));
  const RateInfo bar{1, 1, 1, 1, 1, 1};
  EXPECT_STREQ(MPLSave(path.c_str()), kNotSaved);
  EXPECT_STREQ(SetData(&bar, 1, 0, 0, dir_.file("bars.txt")), kNotLogged);
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all);
  EXPECT_EQ(ReadFile(path), old_text);
  EXPECT_EQ(Names(dir_.path()), std::vector<std::string>{"net.ini"});
}

// A save that returned success survives a power failure: after the rename the folder, which holds
// the new name, is flushed too.
TEST_F(DiskFaultTest, FolderIsFlushedAfterTheRename) {
  const std::string path = dir_.file("net.ini");
  ASSERT_STREQ(MPLSave(path.c_str()), kSaved);
  MPL.net->setThreshold(1, 0, 0.75);
  std::vector<FsyncRecord> fsyncs;
  g_watched = path;
  g_fsyncs = &fsyncs;
  const std::string status = MPLSave(path.c_str());
  g_fsyncs = nullptr;
  ASSERT_EQ(status, kSaved);
  struct stat folder {};
  ASSERT_EQ(stat(dir_.path().c_str(), &folder), 0);
  const std::string saved = ReadFile(path);
  EXPECT_TRUE(std::any_of(
      fsyncs.begin(), fsyncs.end(),
      [&](const FsyncRecord& r) { return r.inode == folder.st_ino && r.watched == saved; }))
      << fsyncs.size() << " fsync calls, none of the folder after the rename";
}

// A host process killed at a random moment while it saves two networks in turn, a few hundred
// times: the file it leaves is always one of the two, whole.
TEST(KilledSaverTest, LeavesTheOldNetworkOrTheNewOneWhole) {
  testing::TempDir dir;
  const std::string path = dir.file("net.ini");
  Perceptron first, second;
  {
    testing::ScopedRandomSource source_a(1);
    first = Perceptron({4, 6, 3});
  }
  {
    testing::ScopedRandomSource source_b(2);
    second = Perceptron({4, 6, 3});
  }
  // Both have the same sections and keys, so each save replaces the other's values in place and
  // the file is always exactly one of two texts.
  MPL.net = std::make_unique<Perceptron>(second);
  ASSERT_STREQ(MPLSave(path.c_str()), kSaved);
  const std::string second_text = ReadFile(path);
  MPL.net = std::make_unique<Perceptron>(first);
  const auto save_start = std::chrono::steady_clock::now();
  ASSERT_STREQ(MPLSave(path.c_str()), kSaved);
  // Kills fall within about three saves' time, however slow the disk's flushes are today.
  const auto save_time = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - save_start);
  const unsigned window = std::max<unsigned>(8000, static_cast<unsigned>(3 * save_time.count()));
  const std::string first_text = ReadFile(path);
  ASSERT_NE(first_text, second_text);
  bool holds_first = true;

  std::mt19937 random(12345);
  int seen_first = 0, seen_second = 0, leftovers = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  int iteration = 0;
  for (; iteration < 300 && std::chrono::steady_clock::now() < deadline; ++iteration) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The first save writes the network the file does not hold, so that the file changes
      // whenever a kill falls after it, whichever network the last iteration left.
      std::unique_ptr<Perceptron> nets[2] = {
          std::make_unique<Perceptron>(holds_first ? second : first),
          std::make_unique<Perceptron>(holds_first ? first : second)};
      for (int k = 0;; k ^= 1) {
        MPL.net = std::make_unique<Perceptron>(*nets[k]);
        MPLSave(path.c_str());
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % window));
    kill(child, SIGKILL);
    int wait_status = 0;
    ASSERT_EQ(waitpid(child, &wait_status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(wait_status));

    const std::string text = ReadFile(path);
    if (text == first_text) {
      ++seen_first;
    } else {
      ASSERT_EQ(text, second_text) << "iteration " << iteration << ": a broken file";
      ++seen_second;
    }
    holds_first = text == first_text;
    CIniFile ini;
    ASSERT_EQ(ini.SetFileName(path), path);
    const char* code = nullptr;
    ASSERT_EQ(ini.LoadMPL(code)->GetMPL().size(), first.GetMPL().size());
    // A save killed before its rename leaves its temporary file; the network file is never it.
    for (const std::string& name : Names(dir.path())) {
      if (name == "net.ini") continue;
      ASSERT_EQ(name.rfind(".mplnet-", 0), 0u) << name;
      ASSERT_EQ(name.substr(name.size() - 4), ".tmp") << name;
      std::filesystem::remove(dir.path() / name);
      ++leftovers;
    }
  }
  MPL.net = std::make_unique<Perceptron>();
  EXPECT_GE(iteration, 100);
  // The kills fell on both sides of the renames.
  EXPECT_GT(seen_first, 0);
  EXPECT_GT(seen_second, 0);
  RecordProperty("iterations", iteration);
  RecordProperty("temporary_files_left", leftovers);
}

}  // namespace
}  // namespace mplnet

#endif  // _WIN32
