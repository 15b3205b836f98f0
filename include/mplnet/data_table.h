// Data tables: rows of inputs and targets in memory and in files, as the trainer takes them and
// `mplnet eval` measures a network on them. The format: docs/data-table.md.
//
// Part of the datasets library (mplnet::datasets), never of the DLL. The trainer (mplnet/train.h)
// builds on it: a table refused here is refused there, with the same error type.
#ifndef MPLNET_DATA_TABLE_H_
#define MPLNET_DATA_TABLE_H_

#include <cstddef>
#include <istream>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mplnet/engine.h"
#include "mplnet/error.h"

namespace mplnet {

// Why a network, a table or a setting cannot be trained with; what() says where and why.
class TrainingError : public Error {
 public:
  using Error::Error;
};

// Rows of numbers, each the input values followed by the target values.
//
// Copies and slices of a table share its rows instead of copying them: a copy costs no memory, and
// neither does cutting a table into training and validation rows. Rows once shared never change;
// adding a row to a table that shares its rows first gives it rows of its own.
class DataTable {
 public:
  DataTable() = default;
  // An empty table whose rows hold `inputs` inputs and `targets` targets.
  DataTable(std::size_t inputs, std::size_t targets);
  DataTable(const DataTable&) = default;
  DataTable& operator=(const DataTable&) = default;
  // The table moved from is left empty.
  DataTable(DataTable&& other) noexcept;
  DataTable& operator=(DataTable&& other) noexcept;
  ~DataTable() = default;

  std::size_t inputs() const { return inputs_; }
  std::size_t targets() const { return targets_; }
  std::size_t rows() const { return rows_; }
  // Appends a row of inputs() + targets() values; `line` is where it stands in its file (0 for
  // none). Throws TrainingError for a row of another length.
  void AddRow(std::span<const double> values, std::size_t line = 0);
  // Row `i`: its inputs, then its targets.
  std::span<const double> row(std::size_t i) const {
    const std::size_t width = inputs_ + targets_;
    return {store_->values.data() + (first_ + i) * width, width};
  }
  // The line of the file row `i` came from; 0 for a row added in memory.
  std::size_t line(std::size_t i) const { return store_->lines[first_ + i]; }
  // The rows [first, first + count) as a table of their own, sharing this table's rows.
  DataTable Slice(std::size_t first, std::size_t count) const;
  // Gives back the memory held for rows still to come, once no more will be added.
  void ShrinkToFit();

 private:
  struct Store {
    std::vector<double> values;
    std::vector<std::size_t> lines;
  };

  std::size_t inputs_ = 0;
  std::size_t targets_ = 0;
  std::shared_ptr<Store> store_;  // null until the first row
  std::size_t first_ = 0;         // this table's rows in store_: [first_, first_ + rows_)
  std::size_t rows_ = 0;
};

// Reads a data table for `net`: one row per line, the values for the input layer's elements and
// then one target per element of the last layer. Numbers are separated by semicolons, blanks or
// commas; "#" starts a comment; blank lines are skipped. "." is the decimal point, and so is a
// comma in a line whose numbers are separated by semicolons or blanks, where it stands alone
// between two digits ("0,5; 1,25"); in a line whose numbers are separated by commas every comma
// separates. A line using commas both ways ("1,5, 2,5") is ambiguous and refused. Values must be
// finite, and each target within the range of its output neuron ([0, 1], or [-1, 1] for `TH`).
// Throws TrainingError naming the file, the line and what is wrong, and for a file without rows.
// The file is read a line at a time, so a table may be larger than memory holds as text; a line
// longer than kTableLineMaxBytes is refused.
DataTable ReadDataTable(const std::string& path, const Perceptron& net);
// ReadDataTable of the text `in` gives; `name` stands for the file in messages.
DataTable ReadDataTable(std::istream& in, std::string_view name, const Perceptron& net);

// The longest line a data table (or `mplnet run`'s inputs) may hold: 4 MiB, some 160,000 numbers,
// more than the 65,536 inputs a network file can hold. A longer one is refused, so that a file
// without line ends is not read whole into memory.
inline constexpr std::size_t kTableLineMaxBytes = std::size_t{4} << 20;

}  // namespace mplnet

#endif  // MPLNET_DATA_TABLE_H_
