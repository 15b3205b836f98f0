// The FANN importer on arbitrary file bytes, parsed in memory. A file is either refused with a
// reason naming it, or the network it gives holds only finite weights, thresholds and steepnesses,
// and runs.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "mplnet/engine.h"
#include "mplnet/fann_import.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  mplnet::Perceptron net;
  try {
    net = mplnet::ImportFann(text, "fuzz.net");
  } catch (const mplnet::FannImportError& e) {
    FUZZ_CHECK(std::string_view(e.what()).find("\"fuzz.net\"") != std::string_view::npos);
    return 0;
  }
  FUZZ_CHECK(net.GetLCount() >= 2);
  for (const std::shared_ptr<mplnet::Elem>& elem : net.GetMPL()) {
    const mplnet::Neuron& neuron = *elem->kernel;
    FUZZ_CHECK(std::isfinite(neuron.getThreshold()));
    FUZZ_CHECK(std::isfinite(neuron.GetAttr(mplnet::Neuron::ATTR_ALPHA)));
    neuron.ForEachLink([](int, int, double weight) { FUZZ_CHECK(std::isfinite(weight)); });
  }
  // Large networks are run only now and then, so that the fuzzer keeps its pace.
  if (net.GetMPL().size() <= 4096) {
    net.Run(std::vector<double>(static_cast<std::size_t>(net.GetLayerSize(0)), 0.5));
    FUZZ_CHECK(net.GetOutput().size() ==
               static_cast<std::size_t>(net.GetLayerSize(net.GetLCount() - 1)));
  }
  return 0;
}
