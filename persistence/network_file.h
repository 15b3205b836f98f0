// The network file: the rules by which a network is written into a profile document and read back
// from one. CIniFile::SaveMPL and CIniFile::LoadMPL apply them to the file named by the accessor,
// LoadPerceptron and SavePerceptron (mplnet/network_file.h) to a file a C++ program names; anything
// else that must judge a file as the reader does (the tool's checks, the fuzzers) uses the same
// functions, so that a rule lives in one place.
//
// Each element owns two sections, "Neuron_" and "Synapse_" followed by its coordinate key. The
// format and what a hand-edited file may hold are in docs/network-file.md.
#ifndef MPLNET_PERSISTENCE_NETWORK_FILE_H_
#define MPLNET_PERSISTENCE_NETWORK_FILE_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mplnet/network_file.h"

namespace mplnet {

class Perceptron;
class ProfileDocument;

// Builds a new network from `document`, read from the file named `file` (named in errors only).
// Throws NetworkFileError when the file could not be read or a section is malformed.
std::unique_ptr<Perceptron> LoadNetwork(const ProfileDocument& document, const std::string& file);

// Writes two sections per element of `_net` into `document`, keeping everything else it holds.
// False when a section could not be written; the document is then part-way and is best dropped.
bool SaveNetwork(const Perceptron& _net, ProfileDocument& document);

// Writes `_net` alone as the whole content of the file `path`, replacing whatever was there, as
// one atomic replacement; false when the file could not be written (it is then as it was).
bool WriteNetworkFile(const Perceptron& _net, const std::string& path);

// What the reader makes of a section by its name: "Neuron" and "Synapse" are looked for in exact
// case, anywhere in the name, and a name may hold both. A section of neither kind is passed over.
struct SectionKind {
  bool neuron = false;
  bool synapse = false;
};
SectionKind KindOfSection(std::string_view section);

// The section names in the order the reader handles them: nameless ones dropped, the rest in
// ascending text order. That order puts every "Neuron_" section before every "Synapse_" section,
// so that each element exists before its links are added, and decides which of two sections
// describing one element comes first.
std::vector<std::string_view> SectionsInReadingOrder(std::vector<std::string_view> names);

// The two digit groups of a link entry's name, found as the regular expression "(\d+)_(\d+)$"
// finds them: "0_1" and "x00_1" name links, "0_1a" and "_1" do not.
struct LinkKey {
  std::string_view layer;
  std::string_view index;
};
std::optional<LinkKey> MatchLinkKey(std::string_view key);

// `s` with its ASCII letters upper-cased, as key names are compared with the reader's patterns.
std::string UpperAscii(std::string_view s);

}  // namespace mplnet

#endif  // MPLNET_PERSISTENCE_NETWORK_FILE_H_
