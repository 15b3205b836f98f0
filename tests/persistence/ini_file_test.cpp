// CIniFile's own rules: list and value sizes, whole-number reads, file-name acceptance, the key
// look-up by pattern, its errors, and batches.
#include "persistence/ini_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <vector>

#include "persistence/platform_paths.h"
#include "persistence/profile_test_util.h"

namespace mplnet {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;
using Texts = std::vector<std::string>;

constexpr char kRefused[] = "Debug: Set name false ";

CIniFile At(const std::string& path) {
  CIniFile ini;
  EXPECT_EQ(ini.SetFileName(path), path);
  return ini;
}

TEST(CIniFileTest, StartsOnTheFixedNetworkFile) {
  EXPECT_EQ(CIniFile().GetFileName(), kDefaultNetworkFile);
}

TEST(CIniFileTest, MissingFileOrSectionReadsEmpty) {
  TempDir dir;
  const CIniFile ini = At(dir.file("none.ini"));
  EXPECT_EQ(ini.GetSections(), Texts{});
  EXPECT_EQ(ini.GetKeys("S"), Texts{});
  EXPECT_EQ(ini.GetValues("S", "k"), Texts{});
  EXPECT_EQ(ini.GetValueInt("S", "k"), -1);
  EXPECT_FALSE(std::filesystem::exists(dir.file("none.ini")));
}

TEST(CIniFileTest, SectionsInFileOrderUnsorted) {
  TempDir dir;
  CIniFile ini = At(dir.file("order.ini"));
  ini.SetValue("b", "k", "1");
  ini.SetValue("a", "k", "2");
  ini.SetValue("B", "j", "3");
  EXPECT_EQ(ini.GetSections(), (Texts{"b", "a"}));
  EXPECT_EQ(ini.GetKeys("b"), (Texts{"k", "j"}));
}

TEST(CIniFileTest, LongListsCompleteLongValuesCut) {
  TempDir dir;
  CIniFile ini = At(dir.file("sizes.ini"));
  Texts keys;
  ini.BeginBatch();
  for (int i = 0; i < 100; ++i) {
    keys.push_back(testing::Numbered("key_", i, 6));
    ASSERT_EQ(keys.back().size(), 10u);
    ASSERT_EQ(ini.SetValue("Many", keys.back(), "v"), 1);
  }
  ASSERT_TRUE(ini.CommitBatch());
  EXPECT_EQ(ini.GetKeys("Many"), keys);

  const std::string long_value(300, 'v');
  ini.SetValue("Long", "cut", long_value);
  ini.SetValue("Long", "whole", std::string(254, 'w'));
  // 253 letters and a character outside the basic plane (two UTF-16 units): the pair is not split.
  ini.SetValue("Long", "pair", std::string(253, 'p') + "\xF0\x9D\x84\x9E");
  EXPECT_EQ(ini.GetValue("Long", "cut"), long_value.substr(0, 254));
  EXPECT_EQ(ini.GetValues("Long", "whole"), Texts{std::string(254, 'w')});
  EXPECT_EQ(ini.GetValue("Long", "pair"), std::string(253, 'p'));
  EXPECT_EQ(ini.GetSections(), (Texts{"Many", "Long"}));
}

TEST(CIniFileTest, WholeNumberRead) {
  const struct {
    const char* value;
    std::int32_t number;
  } cases[] = {
      {"42", 42},
      {"12abc", 12},
      {"3.9", 3},
      {" -7 ", -7},
      {"+4", 4},
      {"abc", 0},
      {"-", 0},
      {"\"15\"", 15},
      {"\" 12\"", 12},  // blanks inside the quotes are leading blanks too
      {"'\t-3'", -3},
      {"99999999999", INT32_MAX},
      {"-99999999999", INT32_MIN},
      {"-2147483648", INT32_MIN},
      {"", -1},
  };
  TempDir dir;
  CIniFile ini = At(dir.file("ints.ini"));
  for (const auto& test : cases) {
    ASSERT_EQ(ini.SetValue("N", "k", test.value), 1);
    EXPECT_EQ(ini.GetValueInt("n", "K"), test.number) << test.value;
  }
  EXPECT_EQ(ini.GetValueInt("N", "absent"), -1);
}

TEST(CIniFileTest, AbsentNamesAndMissingValuesRaise) {
  TempDir dir;
  CIniFile ini = At(dir.file("errors.ini"));
  ini.SetValue("S", "empty", "");
  const auto reason = [](auto&& call) {
    try {
      call();
    } catch (const IniError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(reason([&] { ini.GetKeys(std::nullopt); }), "Section");
  EXPECT_EQ(reason([&] { ini.GetValue("S", std::nullopt); }), "Section or Key");
  EXPECT_EQ(reason([&] { ini.GetValue(std::nullopt, "k"); }), "Section or Key");
  EXPECT_EQ(reason([&] { ini.GetValue("S", "absent"); }), "Section or key not found");
  EXPECT_EQ(reason([&] { ini.GetValue("Absent", "k"); }), "Section or key not found");
  EXPECT_EQ(reason([&] { ini.GetValue("S", "empty"); }), "Empty value");
  EXPECT_EQ(ini.GetValues(std::nullopt, "ignored"), Texts{"S"});  // no section: the section list
}

TEST(CIniFileTest, SetFileNameAcceptsExistingFileOrFolder) {
  TempDir dir;
  WriteBytes(dir.file("present.ini"), "[S]\r\nk=v\r\n");
  const auto previous_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const struct {
    std::string name;
    bool accepted;
  } cases[] = {
      {dir.file("present.ini"), true},
      {dir.file("new.ini"), true},
      {dir.file("absent/new.ini"), false},
      {dir.file("present.ini/new.ini"), false},
      {"present.ini", true},  // relative: against the current folder
      {"relative_new.ini", true},
      {"absent/relative.ini", false},
      {"", false},
      {dir.file("folder") + "/", false},
  };
  for (const auto& test : cases) {
    CIniFile ini;
    ASSERT_EQ(ini.SetFileName(dir.file("present.ini")), dir.file("present.ini"));
    const std::string result = ini.SetFileName(test.name);
    EXPECT_EQ(result, test.accepted ? test.name : kRefused) << test.name;
    EXPECT_EQ(ini.GetFileName(), test.accepted ? test.name : dir.file("present.ini"));
  }
  CIniFile relative;
  relative.SetFileName("present.ini");
  EXPECT_EQ(relative.GetValue("S", "k"), "v");  // stored as given, read against the current folder
  std::filesystem::current_path(previous_cwd);
}

TEST(CIniFileTest, FindKeyTakesFirstContainingThePattern) {
  const struct {
    const char* pattern;
    Texts keys;
    std::optional<std::string> found;
  } cases[] = {
      {"Y", {"X", "Y", "atype"}, "Y"},
      {"Y", {"atype", "X", "Y"}, "atype"},
      {"Y", {"ntype", "X"}, "ntype"},
      {"y", {"X", "Y"}, "Y"},
      {"ATYPE", {"ntype", "ATYPE_x"}, "ATYPE_x"},
      {"ATYPE", {"ntype", "X"}, std::nullopt},
      {"THRESHOLD", {"x", "y", "Threshold"}, "Threshold"},
      {"ALPHA", {}, std::nullopt},
      {" ", {"a", "a b"}, "a b"},
      {"[0-9]", {"X", "0_1"}, "0_1"},   // regular-expression syntax is honoured
      {"(", {"(", "x"}, std::nullopt},  // not an expression: nothing matches
  };
  for (const auto& test : cases) {
    EXPECT_EQ(CIniFile::FindKey(test.keys, test.pattern), test.found) << test.pattern;
  }
}

TEST(CIniFileTest, BatchWritesOnceAtCommit) {
  TempDir dir;
  const std::string path = dir.file("batch.ini");
  WriteBytes(path, "[Old]\r\nk=1\r\n");
  CIniFile ini = At(path);
  ini.BeginBatch();
  for (int i = 0; i < 20; ++i) ASSERT_EQ(ini.SetValue("New", testing::Numbered("k", i), "v"), 1);
  EXPECT_EQ(ini.GetKeys("New").size(), 20u);       // reads see the batch
  EXPECT_EQ(ReadBytes(path), "[Old]\r\nk=1\r\n");  // the file does not, yet
  EXPECT_TRUE(ini.CommitBatch());
  EXPECT_EQ(CIniFile(At(path)).GetKeys("New").size(), 20u);

  ini.BeginBatch();
  ini.SetValue("Old", "k", "2");
  ini.DiscardBatch();
  EXPECT_EQ(ini.GetValue("Old", "k"), "1");

  CIniFile nowhere = At(dir.file("new.ini"));
  std::filesystem::remove_all(dir.path());  // the folder vanishes before the commit
  nowhere.BeginBatch();
  nowhere.SetValue("S", "k", "v");
  EXPECT_FALSE(nowhere.CommitBatch());
}

}  // namespace
}  // namespace mplnet
