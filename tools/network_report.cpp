#include "tools/network_report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>

#include "engine/structure_check.h"
#include "mplnet/bar_recipe.h"
#include "persistence/ini_file.h"
#include "persistence/network_file.h"
#include "persistence/number_text.h"
#include "persistence/shown_text.h"

namespace mplnet::tool {
namespace {

bool ContainsIgnoringCase(std::string_view s, std::string_view word) {
  return UpperAscii(s).find(UpperAscii(word)) != std::string::npos;
}

}  // namespace

const char* ActivationName(unsigned atype) {
  static constexpr std::array<const char*, 4> kNames = {"Null", "TH", "SIGM", "EXP"};
  return atype < kNames.size() ? kNames[atype] : "?";
}

unsigned TypeOf(const Neuron& n, unsigned attr) {
  return static_cast<unsigned>(n.GetAttr(attr));
}

bool IsInputNeuron(const Neuron& n) {
  return TypeOf(n, Neuron::ATTR_NTYPE) == Neuron::NInput;
}

namespace {

// Checks of the file as written: what the reader merges, refuses or reads from an unexpected entry.
class RawFileCheck {
 public:
  RawFileCheck(const std::string& path, const Perceptron& net, std::vector<std::string>& problems)
      : net_(net), problems_(problems) {
    ini_.SetFileName(path);
    ini_.BeginBatch();  // one read of the file for all the look-ups below
  }
  ~RawFileCheck() { ini_.DiscardBatch(); }
  RawFileCheck(const RawFileCheck&) = delete;
  RawFileCheck& operator=(const RawFileCheck&) = delete;

  void Run() {
    const std::vector<std::string> names = ini_.GetSections();
    // The reader's order: of two sections describing one element, the first wins.
    for (const std::string_view name : SectionsInReadingOrder({names.begin(), names.end()})) {
      const std::string section(name);
      const SectionKind kind = KindOfSection(section);
      if (!kind.neuron && !kind.synapse) {
        if (ContainsIgnoringCase(section, "Neuron") || ContainsIgnoringCase(section, "Synapse")) {
          problems_.push_back(
              "section [" + section +
              "] is not read: the reader looks for \"Neuron\" and \"Synapse\" in exact case");
        }
        continue;
      }
      const std::vector<std::string> keys = ini_.GetKeys(section);
      const std::optional<unsigned> x = PositionEntry(section, keys, "X");
      const std::optional<unsigned> y = PositionEntry(section, keys, "Y");
      if (!x || !y) continue;  // the load would have stopped; the file changed since
      if (kind.neuron) CheckNeuronSection(section, keys, *x, *y);
      if (kind.synapse) CheckSynapseSection(section, keys, *x, *y);
    }
  }

  // Elements whose neuron type the file gave as one the reader refuses.
  const std::set<std::pair<unsigned, unsigned>>& refused_ntype() const { return refused_ntype_; }

 private:
  // The value of the first key containing `pattern`, as the reader looks it up; reports a key
  // other than the pattern itself ("atype" standing before "Y" gives Y its value).
  std::optional<std::string> Value(const std::string& section, const std::vector<std::string>& keys,
                                   std::string_view pattern) {
    const std::optional<std::string> key = CIniFile::FindKey(keys, pattern);
    if (!key) return std::nullopt;
    if (UpperAscii(*key) != pattern) {
      problems_.push_back("section [" + section + "]: " + std::string(pattern) +
                          " is read from the entry \"" + *key +
                          "\", the first whose name contains it");
    }
    try {
      return ini_.GetValue(section, *key);
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }

  std::optional<unsigned> PositionEntry(const std::string& section,
                                        const std::vector<std::string>& keys,
                                        std::string_view pattern) {
    const std::optional<std::string> text = Value(section, keys, pattern);
    if (!text) return std::nullopt;
    const std::optional<std::uint16_t> v = ParseUInt16(*text);
    if (!v) return std::nullopt;
    return *v;
  }

  std::optional<double> Real(const std::string& section, const std::vector<std::string>& keys,
                             std::string_view pattern) {
    const std::optional<std::string> text = Value(section, keys, pattern);
    if (!text) return std::nullopt;
    return ParseReal(*text, symbols_);
  }

  // Reports a section whose name does not end in its element's key: a save back writes the
  // element under its own key and leaves this section behind, to be read again at the next load.
  void CheckName(const std::string& section, std::string_view kind, unsigned x, unsigned y) {
    const std::string expected = std::string(kind) + CoordinateKey(x, y);
    if (section != expected) {
      problems_.push_back("section [" + section + "] describes " + PositionText(x, y) +
                          ", which a save writes as [" + expected +
                          "]: this section would stay beside it");
    }
  }

  void CheckNeuronSection(const std::string& section, const std::vector<std::string>& keys,
                          unsigned x, unsigned y) {
    CheckName(section, "Neuron_", x, y);
    const std::string key = CoordinateKey(x, y);
    const auto [seen, fresh] = neuron_sections_.try_emplace(key, section, std::make_pair(x, y));
    if (!fresh) {
      const auto& [first_section, first] = seen->second;
      if (first == std::make_pair(x, y)) {
        problems_.push_back("sections [" + first_section + "] and [" + section +
                            "] both describe " + PositionText(x, y) + ": the attributes of [" +
                            section + "] overwrite those of [" + first_section + "]");
      } else {
        problems_.push_back(
            "sections [" + first_section + "] " + PositionText(first.first, first.second) +
            " and [" + section + "] " + PositionText(x, y) + " share the coordinate key " + key +
            ": only " + PositionText(first.first, first.second) +
            " is loaded, and the attributes of [" + section + "] overwrite its own");
      }
    }
    // A probe neuron decides what the engine accepts, so the check cannot drift from it.
    if (const std::optional<double> atype = Real(section, keys, "ATYPE")) {
      Neuron probe;
      if (!probe.SetAttr(Neuron::ATTR_ATYPE, *atype)) {
        problems_.push_back("section [" + section + "]: activation type " +
                            FormatReal(*atype, symbols_) + " is not 0 to 3, so " +
                            PositionText(x, y) + " keeps type 0 (computed as SIGM)");
      }
    }
    if (const std::optional<double> ntype = Real(section, keys, "NTYPE")) {
      Neuron probe;
      if (!probe.SetAttr(Neuron::ATTR_NTYPE, *ntype) && x > 0) {
        refused_ntype_.emplace(x, y);
        problems_.push_back(
            "section [" + section + "]: neuron type " + FormatReal(*ntype, symbols_) +
            " is not 1, 2 or 3, so " + PositionText(x, y) +
            " loads as an input neuron and passes on its last link's value instead of computing");
      }
    }
    Value(section, keys, "THRESHOLD");  // only for the report of where it is read from
    Value(section, keys, "ALPHA");
  }

  void CheckSynapseSection(const std::string& section, const std::vector<std::string>& keys,
                           unsigned x, unsigned y) {
    CheckName(section, "Synapse_", x, y);
    const std::shared_ptr<Elem> owner = net_.getElem(static_cast<int>(x), static_cast<int>(y));
    if (owner == nullptr) {
      problems_.push_back("section [" + section + "] gives links to " + PositionText(x, y) +
                          ", which has no neuron section: they are dropped");
    } else if (owner->x != x || owner->y != y) {
      problems_.push_back("section [" + section + "] gives links to " + PositionText(x, y) +
                          ", whose coordinate key belongs to " + PositionText(owner->x, owner->y) +
                          ": they go to " + PositionText(owner->x, owner->y));
    }
    std::map<std::string, std::string> link_entries;  // coordinate key -> first entry naming it
    for (const std::string& key : keys) {
      const std::optional<LinkKey> digits = MatchLinkKey(key);
      if (!digits) continue;
      const std::optional<std::uint16_t> a = ParseUInt16(digits->layer);
      const std::optional<std::uint16_t> b = ParseUInt16(digits->index);
      if (!a || !b) continue;
      const auto [first, fresh] = link_entries.try_emplace(CoordinateKey(*a, *b), key);
      if (!fresh) {
        std::string problem = "section [" + section + "]: the entries \"";
        problem.append(first->second).append("\" and \"").append(key);
        problem.append("\" name the same link: \"").append(first->second);
        problems_.push_back(problem.append("\" gives the weight"));
      }
    }
  }

  const Perceptron& net_;
  std::vector<std::string>& problems_;
  CIniFile ini_;
  const NumberSymbols symbols_ = CurrentNumberSymbols();
  std::map<std::string, std::pair<std::string, std::pair<unsigned, unsigned>>> neuron_sections_;
  std::set<std::pair<unsigned, unsigned>> refused_ntype_;
};

}  // namespace

void RequireNetworkFile(const std::string& path) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  if (!std::filesystem::exists(status)) {
    throw ToolError("network file \"" + path + "\" does not exist");
  }
  if (!std::filesystem::is_regular_file(status)) {
    throw ToolError("network file \"" + path + "\" is not a regular file");
  }
}

std::unique_ptr<Perceptron> LoadNetworkFile(const std::string& path) {
  RequireNetworkFile(path);
  CIniFile ini;
  ini.SetFileName(path);
  if (ini.GetFileName() != path) throw ToolError("network file \"" + path + "\" is not accepted");
  const char* code = nullptr;
  // The reader's errors name the file, the section, the key and the reason.
  return ini.LoadMPL(code);
}

std::vector<std::string> CheckNetwork(const std::string& path, const Perceptron& net) {
  std::vector<std::string> problems;
  RawFileCheck raw(path, net, problems);
  raw.Run();
  // An input neuron beyond layer 0 whose type the file gave as one the reader refuses is reported
  // above, with the section that gave it.
  for (StructureFinding& finding : CheckStructure(net)) {
    if (finding.problem == StructureProblem::kInputBeyondLayerZero &&
        raw.refused_ntype().count({finding.x, finding.y}) != 0) {
      continue;
    }
    problems.push_back(std::move(finding.text));
  }
  return problems;
}

void WriteInfo(const std::string& path, const Perceptron& net, std::ostream& out) {
  const std::vector<int> counts = net.GetNCount();
  const std::vector<std::shared_ptr<Elem>> elems = net.GetMPL();
  out << "network file: " << path << '\n';
  out << "layers: " << counts.size();
  for (std::size_t i = 0; i < counts.size(); ++i) out << (i == 0 ? " (" : "-") << counts[i];
  out << (counts.empty() ? "\n" : ")\n");
  out << "elements: " << elems.size() << '\n';
  std::size_t links = 0;
  std::size_t input_links = 0;
  std::array<std::size_t, 4> atypes{};
  std::array<std::size_t, 4> ntypes{};
  for (const std::shared_ptr<Elem>& e : elems) {
    const Neuron& neuron = *e->kernel;
    (e->x == 0 ? input_links : links) += neuron.synapse_links.size();
    ++atypes.at(TypeOf(neuron, Neuron::ATTR_ATYPE));
    ++ntypes.at(TypeOf(neuron, Neuron::ATTR_NTYPE));
  }
  out << "links: " << links << " between elements, " << input_links << " in the input layer\n";
  auto write_counts = [&out](const char* title, const std::array<std::size_t, 4>& n, auto name) {
    out << title;
    const char* separator = " ";
    for (unsigned t = 0; t < n.size(); ++t) {
      if (n[t] == 0) continue;
      out << separator << name(t) << ' ' << n[t];
      separator = ", ";
    }
    out << '\n';
  };
  write_counts("activation types:", atypes, ActivationName);
  write_counts("neuron types:", ntypes, NeuronTypeName);
  try {
    if (const std::optional<BarDatasetOptions> recipe = ReadNetworkRecipe(path)) {
      out << "recipe: " << RecipeText(*recipe) << '\n';
    }
  } catch (const BarDataError& e) {
    out << "recipe: does not read: " << e.what() << '\n';
  }
  const std::vector<std::string> problems = CheckNetwork(path, net);
  if (problems.empty()) {
    out << "checks: no problems found\n";
    return;
  }
  out << "checks: " << Counted(problems.size(), "problem", "problems") << '\n';
  for (const std::string& p : problems) out << "  " << p << '\n';
}

}  // namespace mplnet::tool
