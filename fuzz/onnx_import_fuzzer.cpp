// The ONNX importer on arbitrary model bytes, parsed in memory. A model is either imported or
// refused with a reason naming it; an imported network runs, and when it can be exported, the
// export imports back to a network giving the same output bits.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "mplnet/onnx.h"

namespace {

std::optional<mplnet::Perceptron> Import(std::string_view bytes) {
  try {
    return mplnet::ImportOnnx(bytes, "input.onnx");
  } catch (const mplnet::OnnxImportError& e) {
    FUZZ_CHECK(std::string_view(e.what()).starts_with("ONNX model \"input.onnx\": "));
    return std::nullopt;
  }
}

std::vector<double> Outputs(mplnet::Perceptron& net) {
  std::vector<double> in(static_cast<std::size_t>(net.GetLayerSize(0)));
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = 0.25 * static_cast<double>(i) - 1.0;
  net.Run(in);
  return net.GetOutput();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<mplnet::Perceptron> net =
      Import(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!net) return 0;
  const std::vector<double> outputs = Outputs(*net);
  FUZZ_CHECK(outputs.size() == static_cast<std::size_t>(net->GetLayerSize(net->GetLCount() - 1)));

  std::string exported;
  try {
    exported = mplnet::ExportOnnx(*net);
  } catch (const mplnet::OnnxExportError&) {
    return 0;  // links in another order than a Gemm's columns, say
  }
  std::optional<mplnet::Perceptron> back = Import(exported);
  FUZZ_CHECK(back.has_value());
  const std::vector<double> again = Outputs(*back);
  FUZZ_CHECK(again.size() == outputs.size());
  FUZZ_CHECK(std::memcmp(again.data(), outputs.data(), outputs.size() * sizeof(double)) == 0);
  return 0;
}
