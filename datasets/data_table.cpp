// Data tables: rows of inputs and targets in memory and in files, and the checks that make them fit
// a network.
#include "mplnet/data_table.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "datasets/number_line.h"
#include "datasets/row_checks.h"
#include "datasets/table_lines.h"
#include "persistence/file_io.h"
#include "persistence/shown_text.h"

namespace mplnet {
namespace training {
namespace {

// Shortest-text rendering is the tool's business; messages show numbers as C's %g does, enough to
// recognise them.
std::string NumberText(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.10g", v);
  return buffer;
}

}  // namespace

RowShape ShapeOf(const Perceptron& net) {
  const int layers = net.GetLCount();
  if (layers < 2 || net.GetLayerSize(0) <= 0 || net.GetLayerSize(layers - 1) <= 0) {
    throw TrainingError(
        "the network needs an input layer and a later output layer, each with elements");
  }
  RowShape shape;
  shape.inputs = static_cast<std::size_t>(net.GetLayerSize(0));
  const int last = layers - 1;
  const int outputs = net.GetLayerSize(last);
  shape.outputs = static_cast<std::size_t>(outputs);
  for (int k = 0; k < outputs; ++k) {
    const std::shared_ptr<Elem> elem = net.getElem(last, k);
    const bool tanh = elem != nullptr && elem->kernel != nullptr &&
                      elem->kernel->GetAttr(Neuron::ATTR_ATYPE) == Neuron::TH;
    shape.tanh_output.push_back(tanh);
    shape.output_names.push_back(PositionText(last, k));
  }
  return shape;
}

void CheckRowValues(const RowShape& shape, std::span<const double> values, std::string_view where) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      throw TrainingError(std::string(where) + ": value " + std::to_string(i + 1) +
                          " is not a finite number");
    }
  }
  for (std::size_t k = 0; k < shape.outputs; ++k) {
    const double target = values[shape.inputs + k];
    const double low = shape.tanh_output[k] ? -1.0 : 0.0;
    if (target < low || target > 1.0) {
      throw TrainingError(std::string(where) + ": target " + std::to_string(k + 1) + " is " +
                          NumberText(target) + ", outside [" + NumberText(low) +
                          ", 1], the range of output neuron " + shape.output_names[k] + " (" +
                          (shape.tanh_output[k] ? "TH" : "sigmoid") +
                          "): no output can come near it");
    }
  }
}

std::string RowName(const DataTable& table, std::size_t i) {
  return table.line(i) != 0 ? "line " + std::to_string(table.line(i))
                            : "row " + std::to_string(i + 1);
}

void CheckTable(const RowShape& shape, const DataTable& table) {
  if (table.inputs() != shape.inputs || table.targets() != shape.outputs) {
    throw TrainingError("the rows hold " + Counted(table.inputs(), "input", "inputs") + " and " +
                        Counted(table.targets(), "target", "targets") + "; the network takes " +
                        Counted(shape.inputs, "input", "inputs") + " and gives " +
                        Counted(shape.outputs, "output", "outputs"));
  }
  for (std::size_t i = 0; i < table.rows(); ++i) {
    CheckRowValues(shape, table.row(i), RowName(table, i));
  }
}

}  // namespace training

DataTable::DataTable(std::size_t inputs, std::size_t targets)
    : inputs_(inputs), targets_(targets) {}

DataTable::DataTable(DataTable&& other) noexcept
    : inputs_(other.inputs_),
      targets_(other.targets_),
      store_(std::move(other.store_)),
      first_(std::exchange(other.first_, 0)),
      rows_(std::exchange(other.rows_, 0)) {}

DataTable& DataTable::operator=(DataTable&& other) noexcept {
  if (this != &other) {
    inputs_ = other.inputs_;
    targets_ = other.targets_;
    store_ = std::move(other.store_);
    first_ = std::exchange(other.first_, 0);
    rows_ = std::exchange(other.rows_, 0);
  }
  return *this;
}

void DataTable::AddRow(std::span<const double> values, std::size_t line) {
  const std::size_t width = inputs_ + targets_;
  if (values.size() != width) {
    throw TrainingError("a row of " + Counted(values.size(), "value", "values") +
                        "; the table's rows hold " + std::to_string(width));
  }
  // Rows shared with another table, or followed by rows of another table, stay as they are.
  if (!store_ || store_.use_count() > 1 || first_ + rows_ != store_->lines.size()) {
    auto own = std::make_shared<Store>();
    if (rows_ > 0) {
      const auto begin = static_cast<std::ptrdiff_t>(first_);
      const auto end = static_cast<std::ptrdiff_t>(first_ + rows_);
      own->values.assign(store_->values.begin() + begin * static_cast<std::ptrdiff_t>(width),
                         store_->values.begin() + end * static_cast<std::ptrdiff_t>(width));
      own->lines.assign(store_->lines.begin() + begin, store_->lines.begin() + end);
    }
    store_ = std::move(own);
    first_ = 0;
  }
  store_->values.insert(store_->values.end(), values.begin(), values.end());
  store_->lines.push_back(line);
  ++rows_;
}

DataTable DataTable::Slice(std::size_t first, std::size_t count) const {
  if (first > rows_ || count > rows_ - first) {
    throw TrainingError("rows " + std::to_string(first + 1) + " to " +
                        std::to_string(first + count) + " of a table of " + std::to_string(rows_));
  }
  DataTable slice(inputs_, targets_);
  if (count > 0) {
    slice.store_ = store_;
    slice.first_ = first_ + first;
    slice.rows_ = count;
  }
  return slice;
}

void DataTable::ShrinkToFit() {
  if (store_ && store_.use_count() == 1) {
    store_->values.shrink_to_fit();
    store_->lines.shrink_to_fit();
  }
}

DataTable ReadDataTable(const std::string& path, const Perceptron& net) {
  std::ifstream in(NativePath(path), std::ios::binary);
  return ReadDataTable(in, path, net);  // a stream that did not open is named as not opened
}

DataTable ReadDataTable(std::istream& in, std::string_view name, const Perceptron& net) {
  const std::string file = "data file \"" + std::string(name) + "\"";
  training::RowShape shape;
  try {
    shape = training::ShapeOf(net);
  } catch (const TrainingError& e) {
    throw TrainingError(file + ": " + e.what());
  }
  if (!in) throw TrainingError("cannot open " + file);  // checked after the network, as always

  DataTable table(shape.inputs, shape.outputs);
  const std::size_t width = shape.inputs + shape.outputs;
  TableLines lines(in, file);
  std::string_view line;
  while (lines.Next<TrainingError>(line)) {
    const std::string where = lines.Where();
    const NumberLine parsed = ParseNumberLine(line);
    if (!parsed.bad_piece.empty()) throw TrainingError(where + ": " + DescribeBadPiece(parsed));
    if (parsed.values.empty()) continue;  // a blank or comment line
    if (parsed.values.size() != width) {
      throw TrainingError(where + ": expected " + Counted(width, "value", "values") + " (" +
                          Counted(shape.inputs, "input", "inputs") + ", " +
                          Counted(shape.outputs, "target", "targets") + "), found " +
                          std::to_string(parsed.values.size()));
    }
    training::CheckRowValues(shape, parsed.values, where);
    table.AddRow(parsed.values, lines.number());
  }
  if (table.rows() == 0) throw TrainingError(file + " holds no rows");
  table.ShrinkToFit();
  return table;
}

}  // namespace mplnet
