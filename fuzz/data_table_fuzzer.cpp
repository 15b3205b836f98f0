// The data table reader on arbitrary bytes, read from memory. Input: one byte choosing the
// network's shape (1 to 4 inputs, 1 or 2 outputs, sigmoid or TH outputs), then the table's text.
// A table is either refused with a message naming it, or every row it holds fits the network, and
// its rows written back as text read back to the same bits. The same text's header is read for a
// recipe too: one is found, or none, or it is refused naming the table.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "mplnet/bar_recipe.h"
#include "mplnet/data_table.h"
#include "mplnet/engine.h"

namespace {

using mplnet::DataTable;
using mplnet::Neuron;
using mplnet::Perceptron;

Perceptron Network(std::size_t inputs, std::size_t outputs, bool tanh) {
  Perceptron net;
  for (unsigned i = 0; i < inputs; ++i) {
    net.Add(0, i);
    net.AddLink(0, i, 0, 0, 1.0);
  }
  for (unsigned k = 0; k < outputs; ++k) {
    net.Add(1, k);
    net.SetAttr(1, k, Neuron::ATTR_NTYPE, Neuron::NOutput);
    net.SetAttr(1, k, Neuron::ATTR_ATYPE, tanh ? Neuron::TH : Neuron::SIGM);
    for (unsigned i = 0; i < inputs; ++i) net.AddLink(1, k, 0, i, 0.5);
  }
  return net;
}

// Reads `text`; false when the reader refused it, which it must do naming the table.
bool Read(const std::string& text, const Perceptron& net, DataTable& table) {
  std::istringstream in(text);
  try {
    table = mplnet::ReadDataTable(in, "fuzz.txt", net);
    return true;
  } catch (const mplnet::TrainingError& e) {
    FUZZ_CHECK(std::string_view(e.what()).find("\"fuzz.txt\"") != std::string_view::npos);
    return false;
  }
}

// Reads the recipe `text`'s header states, if any: one found writes back to a text that reads back
// to it.
void ReadRecipe(const std::string& text) {
  std::istringstream in(text);
  try {
    const std::optional<mplnet::BarDatasetOptions> recipe = mplnet::ReadTableRecipe(in, "fuzz.txt");
    if (!recipe) return;
    const std::optional<mplnet::BarDatasetOptions> back =
        mplnet::ParseRecipeText(mplnet::RecipeText(*recipe));
    FUZZ_CHECK(back && mplnet::SameRecipe(*back, *recipe));
  } catch (const mplnet::BarDataError& e) {
    FUZZ_CHECK(std::string_view(e.what()).find("\"fuzz.txt\"") != std::string_view::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t inputs = 1 + (data[0] & 3U);
  const std::size_t outputs = 1 + (data[0] >> 2 & 1U);
  const bool tanh = (data[0] & 8U) != 0;
  const Perceptron net = Network(inputs, outputs, tanh);
  const std::string given(reinterpret_cast<const char*>(data) + 1, size - 1);
  ReadRecipe(given);
  DataTable table;
  if (!Read(given, net, table)) return 0;

  FUZZ_CHECK(table.inputs() == inputs && table.targets() == outputs && table.rows() > 0);
  std::string text;
  std::size_t previous_line = 0;
  for (std::size_t r = 0; r < table.rows(); ++r) {
    FUZZ_CHECK(table.line(r) > previous_line);
    previous_line = table.line(r);
    const auto row = table.row(r);
    FUZZ_CHECK(row.size() == inputs + outputs);
    for (std::size_t i = 0; i < row.size(); ++i) {
      FUZZ_CHECK(std::isfinite(row[i]));
      if (i >= inputs) FUZZ_CHECK(row[i] >= (tanh ? -1.0 : 0.0) && row[i] <= 1.0);
      char buffer[32];
      const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, row[i]);
      FUZZ_CHECK(ec == std::errc());
      text.append(buffer, end);
      text += i + 1 < row.size() ? ' ' : '\n';
    }
  }
  DataTable again;
  FUZZ_CHECK(Read(text, net, again));
  FUZZ_CHECK(again.rows() == table.rows());
  for (std::size_t r = 0; r < table.rows(); ++r) {
    const auto a = table.row(r);
    const auto b = again.row(r);
    for (std::size_t i = 0; i < a.size(); ++i) FUZZ_CHECK(a[i] == b[i]);
  }
  return 0;
}
