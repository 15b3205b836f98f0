// Recipes: their text, their round trips through table headers and network files (the host's save
// included), and the header lines read as the table reader reads them.
#include "mplnet/bar_recipe.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "mplnet/mplnet.h"
#include "persistence/network_file.h"
#include "persistence/profile_file.h"
#include "test_support.h"

namespace mplnet {
namespace {

using testing::TempDir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A few dozen bars whose closes go up and down by whole steps.
std::vector<Bar> SawBars() {
  std::vector<Bar> bars;
  for (std::uint32_t i = 0; i < 40; ++i) {
    const double close = 100.0 + i % 5;
    bars.push_back({60 * i, close, close - 0.5, close + 0.5, close, 100.0 + i});
  }
  return bars;
}

TEST(RecipeTest, TextRoundTripsAndOnlyItsOwnTextReads) {
  for (const int window : {1, 10, 250}) {
    for (const BarFeatures features : {BarFeatures::kReturns, BarFeatures::kReturnsRangeVolume}) {
      for (const BarTarget target : {BarTarget::kDirection, BarTarget::kReturn}) {
        const BarDatasetOptions recipe{window, features, window % 7 + 1, target};
        const std::optional<BarDatasetOptions> back = ParseRecipeText(RecipeText(recipe));
        ASSERT_TRUE(back) << RecipeText(recipe);
        EXPECT_TRUE(SameRecipe(*back, recipe)) << RecipeText(recipe);
      }
    }
  }
  EXPECT_EQ(RecipeText({}), "window 10, features returns, horizon 1, target direction");
  for (const char* bad :
       {"", "window 10", "window 0, features returns, horizon 1, target direction",
        "window 10, features prices, horizon 1, target direction",
        "window 10, features returns, horizon -1, target direction",
        "window 10, features returns, horizon 1, target up",
        "window 10, features returns, horizon 1, target direction, x 1",
        "horizon 1, window 10, features returns, target direction"}) {
    EXPECT_FALSE(ParseRecipeText(bad)) << bad;
  }
}

TEST(RecipeTest, TableHeadersAreReadAsTheTableReaderReadsTheFile) {
  const TempDir dir;
  const BarDatasetOptions recipe{4, BarFeatures::kReturnsRangeVolume, 2, BarTarget::kReturn};
  const std::string table = FormatBarTable(MakeBarRows(SawBars(), recipe), recipe);
  const std::string header = RecipeHeaderLine(recipe);
  const std::string crlf = header.substr(0, header.size() - 1) + "\r\n";
  const std::string bom = "\xEF\xBB\xBF";
  const struct {
    const char* what;
    std::string content;
    bool stated;  // whether the content states `recipe`
    const char* error;
  } cases[] = {
      {"as mplnet bars writes it", table, true, ""},
      {"behind a byte-order mark", bom + table, true, ""},
      {"with CRLF line ends", "# made by hand\r\n" + crlf + "1 2 0.5\r\n", true, ""},
      {"mark and CRLF", bom + crlf + "1 2 0.5\r\n", true, ""},
      {"no recipe", "# no recipe here\n1 2 0.5\n", false, ""},
      {"after the first row", "1 2 0.5\n" + header, false, ""},
      {"unreadable", "# x\n# from a bar log: window ten\n", false, "line 2: the recipe does not"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.file("table.txt");
    std::ofstream(path, std::ios::binary) << c.content;
    try {
      const std::optional<BarDatasetOptions> read = ReadTableRecipe(path);
      EXPECT_EQ(read.has_value(), c.stated);
      if (read) {
        EXPECT_TRUE(SameRecipe(*read, recipe)) << RecipeText(*read);
      }
      EXPECT_STREQ(c.error, "");
    } catch (const BarDataError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
      EXPECT_STRNE(c.error, "") << e.what();
    }
  }
}

TEST(RecipeTest, TravelsInNetworkFilesAndTheHostsSaveKeepsIt) {
  const TempDir dir;
  const BarDatasetOptions recipe{4, BarFeatures::kReturnsRangeVolume, 2, BarTarget::kReturn};
  // 12 inputs: window 4 times three features.
  const testing::ScopedRandomSource source(5);
  const Perceptron net({12, 3, 1});
  const std::string path = dir.file("net.ini");
  ASSERT_TRUE(WriteNetworkFileWithRecipe(net, recipe, path));
  ASSERT_TRUE(ReadNetworkRecipe(path));
  EXPECT_TRUE(SameRecipe(*ReadNetworkRecipe(path), recipe));
  EXPECT_NO_THROW(CheckRecipeFits(recipe, net));
  // The reader passes over the section: the network reads as it does without it.
  const std::string bare = dir.file("bare.ini");
  ASSERT_TRUE(WriteNetworkFileWithRecipe(net, std::nullopt, bare));
  EXPECT_FALSE(ReadNetworkRecipe(bare));
  const std::unique_ptr<Perceptron> with = LoadNetwork(ProfileDocument(path), path);
  const std::unique_ptr<Perceptron> without = LoadNetwork(ProfileDocument(bare), bare);
  EXPECT_EQ(NetworkFileContent(*with, std::nullopt), NetworkFileContent(*without, std::nullopt));

  // The host loads the file and saves it back, as a terminal does: the recipe stays.
  ASSERT_STREQ(MPLLoad(path.c_str()), " MPL network load ");
  ASSERT_STREQ(MPLSave(path.c_str()), " MPL network save");
  ASSERT_TRUE(ReadNetworkRecipe(path));
  EXPECT_TRUE(SameRecipe(*ReadNetworkRecipe(path), recipe));
  EXPECT_NE(ReadAll(path).find("[Recipe]\r\nwindow=4\r\n"), std::string::npos);
  // A recipe that does not fit the network, and recipe sections that do not read.
  try {
    CheckRecipeFits(BarDatasetOptions{}, net);
    ADD_FAILURE() << "a 10-input recipe fitted a 12-input network";
  } catch (const BarDataError& e) {
    EXPECT_NE(std::string(e.what()).find("rows of 10 inputs"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("input layer has 12"), std::string::npos) << e.what();
  }
  const std::string content = ReadAll(bare);
  struct Case {
    const char* section;
    const char* error;
  };
  for (const Case& c :
       {Case{"[recipe]\nwindow=10\nfeatures=returns\nhorizon=1\n", "key \"target\""},
        Case{"[Recipe]\nwindow=ten\nfeatures=returns\nhorizon=1\ntarget=return\n",
             "key \"window\": \"ten\" is not a whole number"},
        Case{"[Recipe]\nwindow=3\nfeatures=close\nhorizon=1\ntarget=return\n",
             "key \"features\""}}) {
    const std::string bad = dir.file("bad.ini");
    std::ofstream(bad, std::ios::binary) << content << c.section;
    try {
      ReadNetworkRecipe(bad);
      ADD_FAILURE() << c.section;
    } catch (const BarDataError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("section [Recipe]"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace mplnet
