// The whole network load on arbitrary file bytes, parsed in memory. A file either loads or is
// refused with a reason; a network that loaded saves, and the saved file loads again as the same
// network.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "mplnet/engine.h"
#include "persistence/network_file.h"
#include "persistence/profile_file.h"

namespace {

using mplnet::NetworkFileError;
using mplnet::Perceptron;
using mplnet::ProfileBytes;
using mplnet::ProfileDocument;

// Loads the file `name` whose bytes are `bytes`; nullptr when the reader refused it, which it must
// do with a reason naming the file.
std::unique_ptr<Perceptron> Load(std::string bytes, const std::string& name) {
  const ProfileDocument document(ProfileBytes{std::move(bytes)});
  try {
    std::unique_ptr<Perceptron> net = mplnet::LoadNetwork(document, name);
    FUZZ_CHECK(net != nullptr);
    return net;
  } catch (const NetworkFileError& e) {
    FUZZ_CHECK(std::string_view(e.what()).find(name) != std::string_view::npos);
    return nullptr;
  }
}

// The bytes of a new file holding `net` alone.
std::string SaveFresh(const Perceptron& net) {
  ProfileDocument document(ProfileBytes{});
  FUZZ_CHECK(mplnet::SaveNetwork(net, document));
  return document.Content();
}

std::size_t LinkCount(const Perceptron& net) {
  std::size_t links = 0;
  for (const auto& elem : net.GetMPL()) links += elem->kernel->synapse_links.size();
  return links;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::unique_ptr<Perceptron> loaded =
      Load(std::string(reinterpret_cast<const char*>(data), size), "input.ini");
  if (loaded == nullptr) return 0;
  // The run never reads past the inputs it is given, whatever the file described.
  std::vector<double> in(static_cast<std::size_t>(loaded->GetLayerSize(0)), 0.5);
  loaded->Run(in);
  FUZZ_CHECK(loaded->GetOutput().size() ==
             static_cast<std::size_t>(std::max(loaded->GetLayerSize(loaded->GetLCount() - 1), 0)));

  // Saved and loaded again: the same elements and links. Saved once more, the text no longer
  // changes (the first save may reorder elements whose sections were named out of order).
  const std::unique_ptr<Perceptron> again = Load(SaveFresh(*loaded), "first.ini");
  FUZZ_CHECK(again != nullptr);
  FUZZ_CHECK(again->GetMPL().size() == loaded->GetMPL().size());
  FUZZ_CHECK(LinkCount(*again) == LinkCount(*loaded));
  const std::string text = SaveFresh(*again);
  const std::unique_ptr<Perceptron> third = Load(text, "second.ini");
  FUZZ_CHECK(third != nullptr);
  FUZZ_CHECK(SaveFresh(*third) == text);
  return 0;
}
