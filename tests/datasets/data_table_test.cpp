// Data tables: the reader takes what the rule says and refuses the rest naming the line, and tables
// that share their rows never see each other's additions.
#include "mplnet/data_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "mplnet/engine.h"
#include "test_support.h"
#include "training/training_support.h"

namespace mplnet {
namespace {

using testing::NetBuilder;
using testing::TempDir;

TEST(DataTableTest, ReadsWhatTheRuleSaysAndRefusesTheRest) {
  TempDir dir;
  // Two inputs; outputs: (1, 0) a sigmoid, (1, 1) a TH.
  const Perceptron net = NetBuilder(3)
                             .Inputs(2)
                             .Neuron(1, 0, Neuron::SIGM, 1, {{0, 0}})
                             .Neuron(1, 1, Neuron::TH, 1, {{0, 1}})
                             .Build();
  const struct {
    const char* text;
    std::vector<double> values;  // every row's values one after the other; empty when refused
    const char* message;
  } cases[] = {
      {"\xEF\xBB\xBF# a comment\n1, 2, 0.5, -1\n\n3;4;1;0 # more\r\n",
       {1, 2, 0.5, -1, 3, 4, 1, 0},
       ""},
      {"0,5; -1,25E1; 0,75; 1\n1,5 2 0 -0,5\n", {0.5, -12.5, 0.75, 1, 1.5, 2, 0, -0.5}, ""},
      {"0,5,1,1\n", {0, 5, 1, 1}, ""},  // commas only: every comma separates
      {"1 2 0.5\n", {}, "line 1: expected 4 values (2 inputs, 2 targets), found 3"},
      {"1 2 0.5 0\n1 2 3 4 5\n", {}, "line 2: expected 4 values"},
      {"1 2 1.5 0\n",
       {},
       "line 1: target 1 is 1.5, outside [0, 1], the range of output neuron "
       "(1, 0)"},
      {"1 2 0.5 -1.5\n", {}, "line 1: target 2 is -1.5, outside [-1, 1]"},
      {"1 x 0.5 0\n", {}, "line 1: \"x\" is not a number"},
      {"1 NaN 0.5 0\n", {}, "line 1: value 2 is not a finite number"},
      {"1,5, 2,5 0 0\n", {}, "line 1: ambiguous: the line uses commas as decimal points (\"1,5\")"},
      {"# nothing but comments\n\n", {}, "holds no rows"},
      {"", {}, "holds no rows"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string path = dir.file("table.txt");
    std::ofstream(path, std::ios::binary) << c.text;
    try {
      const DataTable table = ReadDataTable(path, net);
      EXPECT_STREQ(c.message, "");
      std::vector<double> values;
      for (std::size_t i = 0; i < table.rows(); ++i) {
        values.insert(values.end(), table.row(i).begin(), table.row(i).end());
      }
      EXPECT_EQ(values, c.values);
    } catch (const TrainingError& e) {
      const std::string message = e.what();
      EXPECT_TRUE(c.values.empty()) << message;
      EXPECT_NE(message.find("data file \"" + path + "\""), std::string::npos) << message;
      EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
  }
}

// Slices and copies share their rows; a row added to one of them must not show in another.
TEST(DataTableTest, SharedRowsNeverSeeAnotherTablesAdditions) {
  auto values = [](const DataTable& t) {
    std::vector<double> v;
    for (std::size_t i = 0; i < t.rows(); ++i) v.push_back(t.row(i)[0]);
    return v;
  };
  auto add = [](DataTable& t, double v) { t.AddRow(std::vector<double>{v, 0.5}, 70); };
  DataTable all(1, 1);
  for (const double v : {1.0, 2.0, 3.0, 4.0}) add(all, v);
  DataTable middle = all.Slice(1, 2);
  DataTable copy = all;
  add(middle, 9);  // rows follow in `all`: they must not be overwritten
  add(all, 5);
  add(copy, 8);
  const DataTable tail = all.Slice(3, 2);
  DataTable moved_from = all.Slice(0, 1);
  const DataTable moved = std::move(moved_from);
  const struct {
    const DataTable* table;
    std::vector<double> values;
  } cases[] = {
      {&all, {1, 2, 3, 4, 5}}, {&middle, {2, 3, 9}}, {&copy, {1, 2, 3, 4, 8}},
      {&tail, {4, 5}},         {&moved, {1}},        {&moved_from, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(values(*c.table), c.values);
  EXPECT_EQ(middle.line(2), 70U);
  EXPECT_THROW(all.Slice(4, 2), TrainingError);
}

}  // namespace
}  // namespace mplnet
