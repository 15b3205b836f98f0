// The bar log read back into bars and rows, on arbitrary bytes read from memory. Input: one byte
// of options (skip_bad, window 1-4, horizon 1-3, features, target), then the log's text. A log is
// either refused with a message naming it, or its bars are distinct, in time order and sound; the
// rows made from them are finite and in time order, and the table they make reads back through the
// data table reader as the same numbers.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "mplnet/bar_dataset.h"
#include "mplnet/data_table.h"
#include "mplnet/engine.h"

namespace {

using mplnet::BarDataError;
using mplnet::Neuron;

// A network of `inputs` inputs and one sigmoid output, to read the table with.
mplnet::Perceptron TableNetwork(std::size_t inputs) {
  mplnet::Perceptron net;
  for (unsigned i = 0; i < inputs; ++i) net.Add(0, i);
  net.Add(1, 0);
  net.SetAttr(1, 0, Neuron::ATTR_NTYPE, Neuron::NOutput);
  net.SetAttr(1, 0, Neuron::ATTR_ATYPE, Neuron::SIGM);
  return net;
}

bool Names(const std::exception& e, std::string_view what) {
  return std::string_view(e.what()).find(what) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool skip_bad = (data[0] & 1U) != 0;
  mplnet::BarDatasetOptions options;
  options.window = 1 + (data[0] >> 1 & 3U);
  options.horizon = 1 + (data[0] >> 3 & 3U) % 3;
  options.features = (data[0] & 32U) != 0 ? mplnet::BarFeatures::kReturnsRangeVolume
                                          : mplnet::BarFeatures::kReturns;
  options.target =
      (data[0] & 64U) != 0 ? mplnet::BarTarget::kReturn : mplnet::BarTarget::kDirection;

  std::istringstream in(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  mplnet::BarLog log;
  try {
    log = mplnet::ReadBarLog(in, "fuzz.log", skip_bad);
  } catch (const BarDataError& e) {
    FUZZ_CHECK(Names(e, "bar log \"fuzz.log\""));
    return 0;
  }
  FUZZ_CHECK(log.summary.lines == log.bars.size() + log.summary.replaced);
  FUZZ_CHECK(skip_bad || log.summary.skipped == 0);
  for (std::size_t i = 0; i < log.bars.size(); ++i) {
    const mplnet::Bar& bar = log.bars[i];
    if (i > 0) FUZZ_CHECK(log.bars[i - 1].time < bar.time);
    for (const double price : {bar.open, bar.low, bar.high, bar.close}) {
      FUZZ_CHECK(std::isfinite(price) && price > 0.0);
    }
    FUZZ_CHECK(std::isfinite(bar.vol) && bar.vol >= 0.0);
  }

  std::vector<mplnet::BarRow> rows;
  try {
    rows = mplnet::MakeBarRows(log.bars, options);
  } catch (const BarDataError& e) {
    FUZZ_CHECK(Names(e, "not a finite number"));
    return 0;
  }
  const std::size_t inputs = mplnet::BarInputCount(options);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (r > 0) FUZZ_CHECK(rows[r - 1].time < rows[r].time);
    FUZZ_CHECK(rows[r].inputs.size() == inputs);
    FUZZ_CHECK(rows[r].target >= 0.0 && rows[r].target <= 1.0);
  }
  if (rows.empty()) return 0;
  std::istringstream table(mplnet::FormatBarTable(rows, options));
  const mplnet::DataTable read = mplnet::ReadDataTable(table, "rows", TableNetwork(inputs));
  FUZZ_CHECK(read.rows() == rows.size());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const auto values = read.row(r);
    for (std::size_t i = 0; i < inputs; ++i) FUZZ_CHECK(values[i] == rows[r].inputs[i]);
    FUZZ_CHECK(values[inputs] == rows[r].target);
  }
  return 0;
}
