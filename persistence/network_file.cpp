// The network file: the writer SaveMPL and the reader LoadMPL of CIniFile.
//
// Each element owns two sections, "Neuron_" and "Synapse_" followed by its coordinate key. The
// writer works on one parsed copy of the file and replaces it in one step, so a save is atomic and
// costs time linear in the file's size; the reader, likewise, reads the file once.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mplnet/engine.h"
#include "persistence/ini_file.h"
#include "persistence/number_text.h"

namespace mplnet {
namespace {

constexpr char kSaved[] = " MPL network save";
constexpr char kNotSaved[] = "Error: MPLSave, network file not saved";
constexpr char kLoaded[] = " MPL network load ";

// The two digit groups of a link entry's name: the regular expression "(\d+)_(\d+)$", searched.
struct LinkKey {
  std::string_view layer;
  std::string_view index;
};
std::optional<LinkKey> MatchLinkKey(std::string_view key) {
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t end = key.size();
  std::size_t pos = end;
  while (pos > 0 && is_digit(key[pos - 1])) --pos;
  if (pos == end || pos == 0 || key[pos - 1] != '_') return std::nullopt;
  const std::size_t index_start = pos;
  std::size_t layer_end = pos - 1;
  pos = layer_end;
  while (pos > 0 && is_digit(key[pos - 1])) --pos;
  if (pos == layer_end) return std::nullopt;
  return LinkKey{key.substr(pos, layer_end - pos), key.substr(index_start)};
}

// A name or value from the file as a reason shows it: control bytes written as \xNN (a NUL would
// end the reason early for whoever reads it as a C string), a text of hostile length cut short.
std::string Shown(std::string_view text) {
  constexpr std::size_t kLongest = 64;
  std::string out;
  for (const char c : text.substr(0, kLongest)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
      continue;
    }
    constexpr char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  }
  if (text.size() > kLongest) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

// Shown in double quotes. Built by appending: GCC 12 warns falsely about `"text" + std::string`.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  out += Shown(text);
  out += '"';
  return out;
}

// Reads one section of the file, raising NetworkFileError with the place and the reason.
class SectionReader {
 public:
  SectionReader(const CIniFile& ini, const std::string& section, const NumberSymbols& symbols)
      : ini_(ini), section_(section), keys_(ini.GetKeys(section)), symbols_(symbols) {}

  const std::vector<std::string>& keys() const { return keys_; }

  // The value of the first key that contains `pattern`'s letters, as a 16-bit position.
  std::uint16_t Position(std::string_view pattern) const {
    const std::string key = Find(pattern);
    const std::string value = Value(key);
    const std::optional<std::uint16_t> number = ParseUInt16(value);
    if (!number) Fail(key, Quoted(value) + " is not a whole number from 0 to 65535");
    return *number;
  }

  // The value of the first key that contains `pattern`'s letters, as a real number.
  double Real(std::string_view pattern) const { return RealOf(Find(pattern)); }

  // The value of `key` as a real number.
  double RealOf(const std::string& key) const {
    const std::string value = Value(key);
    const std::optional<double> number = ParseReal(value, symbols_);
    if (!number) Fail(key, Quoted(value) + " is not a number");
    return *number;
  }

  // A digit group of a link entry's name as a 16-bit position.
  std::uint16_t LinkPosition(const std::string& key, std::string_view digits) const {
    const std::optional<std::uint16_t> number = ParseUInt16(digits);
    if (!number) Fail(key, "link position " + Shown(digits) + " lies beyond 65535");
    return *number;
  }

 private:
  std::string Find(std::string_view pattern) const {
    std::optional<std::string> key = CIniFile::FindKey(keys_, pattern);
    if (!key) Fail(std::string(pattern), "no entry found (Section or Key)");
    return *key;
  }

  std::string Value(const std::string& key) const {
    try {
      return ini_.GetValue(section_, key);
    } catch (const IniError& e) {
      Fail(key, std::string("empty value (") + e.what() + ")");
    }
  }

  [[noreturn]] void Fail(const std::string& key, const std::string& reason) const {
    throw NetworkFileError("network file \"" + ini_.GetFileName() + "\", section [" +
                           Shown(section_) + "], key \"" + Shown(key) + "\": " + reason);
  }

  const CIniFile& ini_;
  const std::string& section_;
  std::vector<std::string> keys_;
  const NumberSymbols& symbols_;
};

}  // namespace

const char* CIniFile::SaveMPL(const Perceptron& _net) {
  const std::vector<std::shared_ptr<Elem>> elems = _net.GetMPL();
  if (elems.empty()) return kSaved;  // nothing to write, and no file is created
  const NumberSymbols symbols = CurrentNumberSymbols();
  BeginBatch();
  bool written = true;
  auto put = [&](const std::string& section, std::string_view key, const std::string& value) {
    written = SetValue(section, key, value) != 0 && written;
  };
  for (const std::shared_ptr<Elem>& elem : elems) {
    if (elem == nullptr || elem->kernel == nullptr) continue;
    const Neuron& neuron = *elem->kernel;
    const std::string key = CoordinateKey(elem->x, elem->y);
    const std::string x = FormatUnsigned(elem->x);
    const std::string y = FormatUnsigned(elem->y);
    const std::string n = "Neuron_" + key;
    put(n, "X", x);
    put(n, "Y", y);
    put(n, "atype", FormatReal(neuron.GetAttr(Neuron::ATTR_ATYPE), symbols));
    put(n, "ntype", FormatReal(neuron.GetAttr(Neuron::ATTR_NTYPE), symbols));
    put(n, "threshold", FormatReal(neuron.getThreshold(), symbols));
    put(n, "alpha", FormatReal(neuron.GetAttr(Neuron::ATTR_ALPHA), symbols));
    const std::string s = "Synapse_" + key;
    put(s, "X", x);
    put(s, "Y", y);
    for (const SynapseWeight& link : neuron.getSynapses()) {
      put(s, FormatInt(link.x) + "_" + FormatInt(link.y), FormatReal(link.weight, symbols));
    }
  }
  if (!written) {
    DiscardBatch();
    return kNotSaved;
  }
  return CommitBatch() ? kSaved : kNotSaved;
}

std::unique_ptr<Perceptron> CIniFile::LoadMPL(const char*& _code) {
  BeginBatch();
  struct BatchGuard {
    CIniFile& ini;
    ~BatchGuard() { ini.DiscardBatch(); }
  } guard{*this};
  if (!BatchReadable()) {
    throw NetworkFileError("network file \"" + path + "\": the file exists but cannot be read");
  }
  const NumberSymbols symbols = CurrentNumberSymbols();
  std::vector<std::string> sections = GetSections();
  // Ascending text order puts every "Neuron_" section before every "Synapse_" section, so each
  // element exists before its links are added.
  std::sort(sections.begin(), sections.end());
  auto net = std::make_unique<Perceptron>();
  _code = kLoaded;
  for (const std::string& section : sections) {
    const bool neuron = section.find("Neuron") != std::string::npos;
    const bool synapse = section.find("Synapse") != std::string::npos;
    if (!neuron && !synapse) continue;
    const SectionReader reader(*this, section, symbols);
    if (neuron) {
      const unsigned x = reader.Position("X");
      const unsigned y = reader.Position("Y");
      net->Add(x, y);  // a taken key leaves the steps below to the element that holds it
      net->SetAttr(x, y, Neuron::ATTR_ATYPE, reader.Real("ATYPE"));
      net->SetAttr(x, y, Neuron::ATTR_NTYPE, reader.Real("NTYPE"));
      net->SetAttr(x, y, Neuron::ATTR_ALPHA, reader.Real("ALPHA"));
      net->setThreshold(x, y, reader.Real("THRESHOLD"));
    }
    if (synapse) {
      const unsigned x = reader.Position("X");
      const unsigned y = reader.Position("Y");
      for (const std::string& key : reader.keys()) {
        const std::optional<LinkKey> link = MatchLinkKey(key);
        if (!link) continue;
        const unsigned a = reader.LinkPosition(key, link->layer);
        const unsigned b = reader.LinkPosition(key, link->index);
        net->AddLink(x, y, a, b, reader.RealOf(key));
      }
    }
  }
  return net;
}

}  // namespace mplnet
