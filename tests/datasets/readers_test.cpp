// The offline readers on files whose size the user does not decide (a table's header read for its
// recipe included): a line beyond the limit is refused when the limit is reached, so a file without
// line ends (/dev/zero) is never read whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "mplnet/bar_dataset.h"
#include "mplnet/bar_recipe.h"
#include "mplnet/data_table.h"
#include "mplnet/engine.h"

namespace mplnet {
namespace {

// Serves `prefix`, then `fill` bytes without a line end up to `size` bytes in all, counting how
// many were taken: a device like /dev/zero, cut off where an unbounded reader would be caught.
class EndlessText : public std::streambuf {
 public:
  EndlessText(std::string prefix, char fill, std::size_t size)
      : prefix_(std::move(prefix)), block_(64 * 1024, fill), size_(size) {}
  std::size_t served() const { return served_; }

 protected:
  int_type underflow() override {
    if (served_ >= size_) return traits_type::eof();
    std::string& next = served_ < prefix_.size() ? prefix_ : block_;
    const std::size_t n = std::min(next.size(), size_ - served_);
    setg(next.data(), next.data(), next.data() + n);
    served_ += n;
    return traits_type::to_int_type(next[0]);
  }

 private:
  std::string prefix_;
  std::string block_;
  std::size_t size_;
  std::size_t served_ = 0;
};

Perceptron TwoInOneOut() {
  Perceptron net;
  net.Add(0, 0);
  net.Add(0, 1);
  net.Add(1, 0);
  net.SetAttr(1, 0, Neuron::ATTR_NTYPE, Neuron::NOutput);
  net.SetAttr(1, 0, Neuron::ATTR_ATYPE, Neuron::SIGM);
  return net;
}

TEST(ReadersTest, ALineBeyondTheLimitIsRefusedOnceTheLimitIsRead) {
  constexpr std::size_t kServed = 64u << 20;  // far past every limit
  const Perceptron net = TwoInOneOut();
  const struct {
    const char* reader;
    std::size_t limit;
    const char* message;
  } cases[] = {{"table", kTableLineMaxBytes, "line 2 is longer than 4 MiB"},
               {"table recipe", kTableLineMaxBytes, "line 2 is longer than 4 MiB"},
               {"bar log", kBarLogLineMaxBytes, "line 2: longer than 4096 bytes"},
               {"bar log skipping bad lines", kBarLogLineMaxBytes, "line 2: longer than 4096"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reader);
    const std::string reader = c.reader;
    // The recipe's reader reads the table's header: comment lines, the second one endless.
    EndlessText text(reader == "table"          ? "0.5 1 0\n"
                     : reader == "table recipe" ? "# a header\n# "
                                                : "\n",
                     '0', kServed);
    std::istream in(&text);
    std::string error;
    try {
      if (reader == "table") {
        ReadDataTable(in, "endless", net);
      } else if (reader == "table recipe") {
        ReadTableRecipe(in, "endless");
      } else {
        ReadBarLog(in, "endless", reader != "bar log");
      }
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_NE(error.find("\"endless\""), std::string::npos) << error;
    // Read no further than the limit and the block that crossed it.
    EXPECT_LE(text.served(), c.limit + 2 * 64 * 1024);
  }
}

TEST(ReadersTest, LinesUpToTheLimitAndALastLineWithoutLineEndAreRead) {
  // A table row padded with blanks to exactly the limit, then a last row without its line end.
  std::string row = "0.25 -1 1";
  row.resize(kTableLineMaxBytes, ' ');
  std::istringstream in(row + "\n# a comment\r\n3,5; 2 0");
  const DataTable table = ReadDataTable(in, "padded", TwoInOneOut());
  ASSERT_EQ(table.rows(), 2u);
  EXPECT_EQ(std::vector<double>(table.row(0).begin(), table.row(0).end()),
            (std::vector<double>{0.25, -1, 1}));
  EXPECT_EQ(std::vector<double>(table.row(1).begin(), table.row(1).end()),
            (std::vector<double>{3.5, 2, 0}));
  EXPECT_EQ(table.line(1), 3u);
}

}  // namespace
}  // namespace mplnet
