// What rows must be to fit a network: the counts of its input and output layers, finite values,
// and targets its output neurons can come near. Shared by the data table reader, the trainer and
// the evaluation, so that a table refused in one place is refused in all.
#ifndef MPLNET_DATASETS_ROW_CHECKS_H_
#define MPLNET_DATASETS_ROW_CHECKS_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/structure_check.h"
#include "mplnet/data_table.h"
#include "mplnet/engine.h"

namespace mplnet::training {

// The rows a network takes.
struct RowShape {
  std::size_t inputs = 0;
  std::size_t outputs = 0;
  std::vector<bool> tanh_output;  // per output: a `TH` neuron, whose range is [-1, 1], not [0, 1]
  std::vector<std::string> output_names;  // per output: "(2, 0)"
};

// The shape of `net`'s rows. Throws TrainingError for a network without an input layer and a
// later output layer.
RowShape ShapeOf(const Perceptron& net);

// Throws TrainingError, starting with `where`, unless `values` are finite and their targets (after
// shape.inputs inputs) lie in their output neurons' ranges. `values` holds inputs + outputs values.
void CheckRowValues(const RowShape& shape, std::span<const double> values, std::string_view where);

// Throws TrainingError unless `table` has the shape's counts and every row passes CheckRowValues.
// Rows are named by their file line when they have one ("line 7"), else by number ("row 7").
void CheckTable(const RowShape& shape, const DataTable& table);

// "line 7" or "row 7" for row `i` of `table`.
std::string RowName(const DataTable& table, std::size_t i);

}  // namespace mplnet::training

#endif  // MPLNET_DATASETS_ROW_CHECKS_H_
