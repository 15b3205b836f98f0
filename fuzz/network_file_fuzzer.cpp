// The whole network load on arbitrary file bytes. A file either loads or is refused with a reason;
// a network that loaded saves, and the saved file loads again as the same network.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "mplnet/engine.h"
#include "persistence/ini_file.h"

namespace {

using mplnet::CIniFile;
using mplnet::NetworkFileError;
using mplnet::Perceptron;
using namespace mplnet::fuzzing;

// Loads `path`; nullptr when the reader refused the file, which it must do with a reason.
std::unique_ptr<Perceptron> Load(const std::string& path) {
  CIniFile ini;
  FUZZ_CHECK(ini.SetFileName(path) == path);
  const char* code = nullptr;
  try {
    std::unique_ptr<Perceptron> net = ini.LoadMPL(code);
    FUZZ_CHECK(net != nullptr && code != nullptr && std::string_view(code) == " MPL network load ");
    return net;
  } catch (const NetworkFileError& e) {
    // The reason names the file.
    FUZZ_CHECK(std::string_view(e.what()).find(path) != std::string_view::npos);
    return nullptr;
  }
}

// Saves `net` into a new file at `path` and returns the file's bytes.
std::string SaveFresh(const Perceptron& net, const std::string& path) {
  RemoveFile(path);
  CIniFile ini;
  FUZZ_CHECK(ini.SetFileName(path) == path);
  FUZZ_CHECK(std::string_view(ini.SaveMPL(net)) == " MPL network save");
  return ReadBytes(path);
}

std::size_t LinkCount(const Perceptron& net) {
  std::size_t links = 0;
  for (const auto& elem : net.GetMPL()) links += elem->kernel->synapse_links.size();
  return links;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = Scratch().file("input.ini");
  const std::string first = Scratch().file("first.ini");
  const std::string second = Scratch().file("second.ini");
  WriteBytes(input, std::string_view(reinterpret_cast<const char*>(data), size));

  const std::unique_ptr<Perceptron> loaded = Load(input);
  if (loaded != nullptr) {
    // The run never reads past the inputs it is given, whatever the file described.
    std::vector<double> in(static_cast<std::size_t>(loaded->GetLayerSize(0)), 0.5);
    loaded->Run(in);
    FUZZ_CHECK(
        loaded->GetOutput().size() ==
        static_cast<std::size_t>(std::max(loaded->GetLayerSize(loaded->GetLCount() - 1), 0)));

    // Saved and loaded again: the same elements and links. Saved once more, the text no longer
    // changes (the first save may reorder elements whose sections were named out of order).
    SaveFresh(*loaded, first);
    const std::unique_ptr<Perceptron> again = Load(first);
    FUZZ_CHECK(again != nullptr);
    FUZZ_CHECK(again->GetMPL().size() == loaded->GetMPL().size());
    FUZZ_CHECK(LinkCount(*again) == LinkCount(*loaded));
    const std::string text = SaveFresh(*again, second);
    const std::unique_ptr<Perceptron> third = Load(second);
    FUZZ_CHECK(third != nullptr);
    FUZZ_CHECK(SaveFresh(*third, first) == text);
  }
  RemoveFile(input);
  RemoveFile(first);
  RemoveFile(second);
  return 0;
}
