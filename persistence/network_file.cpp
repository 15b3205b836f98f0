// The network file's writer and reader, SaveMPL and LoadMPL of CIniFile, which apply them, and the
// public LoadPerceptron and SavePerceptron, which do the same for a file a C++ program names.
//
// The writer works on one parsed copy of the file and replaces it in one step, so a save is atomic
// and costs time linear in the file's size; the reader, likewise, reads the file once.
#include "persistence/network_file.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mplnet/engine.h"
#include "persistence/file_io.h"
#include "persistence/ini_file.h"
#include "persistence/number_text.h"
#include "persistence/profile_file.h"
#include "persistence/shown_text.h"
#include "persistence/status_texts.h"

namespace mplnet {
namespace {

// The highest position a file may give, as messages show it.
std::string LastPosition() {
  return std::to_string(kMostPositions - 1);
}

// Reads one section of the file, raising NetworkFileError with the place and the reason. Keys and
// values are views into the file's parsed copy: nothing is copied per entry.
class SectionReader {
 public:
  // The storage that readers of one section after another reuse.
  struct Buffers {
    std::vector<ProfileDocument::EntryView> entries;
    std::vector<std::string_view> keys;
  };

  SectionReader(const ProfileDocument& document, const std::string& file, std::string_view section,
                const NumberSymbols& symbols, Buffers& buffers)
      : file_(file),
        section_(section),
        symbols_(symbols),
        entries_(buffers.entries),
        keys_(buffers.keys) {
    document.Entries(section, entries_);
    std::erase_if(entries_, [](const auto& entry) {
      return entry.key.empty();  // a nameless entry is in no list of keys
    });
    keys_.clear();
    for (const ProfileDocument::EntryView& entry : entries_) keys_.push_back(entry.key);
  }

  // The section's keys in file order; a key that appears more than once reads its first value.
  const std::vector<std::string_view>& keys() const { return keys_; }

  // The value of the first key that contains `pattern`'s letters, as a 16-bit position.
  std::uint16_t Position(std::string_view pattern) const {
    const std::size_t entry = Find(pattern);
    const std::string_view value = Value(entry);
    const std::optional<std::uint16_t> number = ParseUInt16(value);
    if (!number) {
      Fail(keys_[entry], QuotedText(value) + " is not a whole number from 0 to " + LastPosition());
    }
    return *number;
  }

  // The value of the first key that contains `pattern`'s letters, as a real number.
  double Real(std::string_view pattern) const { return RealAt(Find(pattern)); }

  // The value of the key at `entry` of keys() as a real number.
  double RealAt(std::size_t entry) const {
    const std::string_view value = Value(entry);
    const std::optional<double> number = ParseReal(value, symbols_);
    if (!number) Fail(keys_[entry], QuotedText(value) + " is not a number");
    return *number;
  }

  // A digit group of a link entry's name as a 16-bit position.
  std::uint16_t LinkPosition(std::string_view key, std::string_view digits) const {
    const std::optional<std::uint16_t> number = ParseUInt16(digits);
    if (!number) Fail(key, "link position " + ShownText(digits) + " lies beyond " + LastPosition());
    return *number;
  }

 private:
  std::size_t Find(std::string_view pattern) const {
    const std::optional<std::size_t> entry = CIniFile::FindKeyIndex(keys_, pattern);
    if (!entry) Fail(pattern, "no entry found (Section or Key)");
    return *entry;
  }

  // The value as a single-value read gives it; an empty one stops the load.
  std::string_view Value(std::size_t entry) const {
    const std::string_view value = SingleValue(entries_[entry].value);
    if (value.empty()) Fail(keys_[entry], "empty value");
    return value;
  }

  [[noreturn]] void Fail(std::string_view key, const std::string& reason) const {
    throw NetworkFileError(file_, std::string(section_), std::string(key), reason);
  }

  const std::string& file_;
  std::string_view section_;
  const NumberSymbols& symbols_;
  std::vector<ProfileDocument::EntryView>& entries_;
  std::vector<std::string_view>& keys_;
};

// The entries of one section as the writer gathers them: every key and value text in one buffer,
// reused from section to section, so formatting a network's numbers allocates almost nothing.
class SectionEntries {
 public:
  void Whole(std::string_view key, std::uint64_t value) {
    text_ += key;
    End();
    text_ += FormatUnsigned(value);
    End();
  }
  void Real(std::string_view key, double value, const NumberSymbols& symbols) {
    text_ += key;
    End();
    AppendReal(text_, value, symbols);
    End();
  }
  // A link entry: "layer_index=weight".
  void Link(std::int64_t layer, std::int64_t index, double weight, const NumberSymbols& symbols) {
    text_ += FormatInt(layer);
    text_ += '_';
    text_ += FormatInt(index);
    End();
    AppendReal(text_, weight, symbols);
    End();
  }

  // The gathered (key, value) pairs; valid until the next change.
  std::span<const ProfileDocument::KeyValue> Pairs() {
    pairs_.clear();
    std::size_t start = 0;
    for (std::size_t i = 0; i + 1 < ends_.size(); i += 2) {
      const std::string_view text = text_;
      pairs_.emplace_back(text.substr(start, ends_[i] - start),
                          text.substr(ends_[i], ends_[i + 1] - ends_[i]));
      start = ends_[i + 1];
    }
    return pairs_;
  }

  void Clear() {
    text_.clear();
    ends_.clear();
  }

 private:
  void End() { ends_.push_back(text_.size()); }

  std::string text_;
  std::vector<std::size_t> ends_;  // where each key and each value ends in text_
  std::vector<ProfileDocument::KeyValue> pairs_;
};

// Ends the batch of a save or a load however the function is left; after a commit, nothing to do.
class BatchGuard {
 public:
  explicit BatchGuard(CIniFile& ini) : ini_(ini) {}
  BatchGuard(const BatchGuard&) = delete;
  BatchGuard& operator=(const BatchGuard&) = delete;
  ~BatchGuard() { ini_.DiscardBatch(); }

 private:
  CIniFile& ini_;
};

// Why a file that is there did not load.
constexpr const char* kUnreadable = "the file exists but cannot be read";

}  // namespace

NetworkFileError::NetworkFileError(const std::string& file, const std::string& reason)
    : Error("network file \"" + file + "\": " + reason),
      place_(std::make_shared<const Place>(Place{file, {}, {}, reason})) {}

NetworkFileError::NetworkFileError(const std::string& file, const std::string& section,
                                   const std::string& key, const std::string& reason)
    : Error("network file \"" + file + "\", section [" + ShownText(section) + "], key \"" +
            ShownText(key) + "\": " + reason),
      place_(std::make_shared<const Place>(Place{file, section, key, reason})) {}

NetworkFileError::~NetworkFileError() = default;

std::optional<LinkKey> MatchLinkKey(std::string_view key) {
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  const std::size_t end = key.size();
  std::size_t pos = end;
  while (pos > 0 && is_digit(key[pos - 1])) --pos;
  if (pos == end || pos == 0 || key[pos - 1] != '_') return std::nullopt;
  const std::size_t index_start = pos;
  const std::size_t layer_end = pos - 1;
  pos = layer_end;
  while (pos > 0 && is_digit(key[pos - 1])) --pos;
  if (pos == layer_end) return std::nullopt;
  return LinkKey{key.substr(pos, layer_end - pos), key.substr(index_start)};
}

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

SectionKind KindOfSection(std::string_view section) {
  return {section.find("Neuron") != std::string_view::npos,
          section.find("Synapse") != std::string_view::npos};
}

std::vector<std::string_view> SectionsInReadingOrder(std::vector<std::string_view> names) {
  std::erase(names, std::string_view());  // a nameless section is in no list of sections
  std::sort(names.begin(), names.end());
  return names;
}

bool SaveNetwork(const Perceptron& _net, ProfileDocument& document) {
  const NumberSymbols symbols = CurrentNumberSymbols();
  SectionEntries entries;
  bool written = true;
  auto put = [&](const std::string& section) {
    written = document.SetValues(section, entries.Pairs()) && written;
    entries.Clear();
  };
  for (const std::shared_ptr<Elem>& elem : _net.GetMPL()) {
    if (elem == nullptr || elem->kernel == nullptr) continue;
    const Neuron& neuron = *elem->kernel;
    const std::string key = CoordinateKey(elem->x, elem->y);
    entries.Whole("X", elem->x);
    entries.Whole("Y", elem->y);
    entries.Real("atype", neuron.GetAttr(Neuron::ATTR_ATYPE), symbols);
    entries.Real("ntype", neuron.GetAttr(Neuron::ATTR_NTYPE), symbols);
    entries.Real("threshold", neuron.getThreshold(), symbols);
    entries.Real("alpha", neuron.GetAttr(Neuron::ATTR_ALPHA), symbols);
    put("Neuron_" + key);
    entries.Whole("X", elem->x);
    entries.Whole("Y", elem->y);
    // Not through the table itself: a table whose records were handed out is read afresh on every
    // run, which would slow every run after a save.
    neuron.ForEachLink([&](int x, int y, double weight) { entries.Link(x, y, weight, symbols); });
    put("Synapse_" + key);
  }
  return written;
}

bool WriteNetworkFile(const Perceptron& _net, const std::string& path) {
  ProfileDocument document(ProfileBytes{});
  return SaveNetwork(_net, document) && document.SaveAs(path);
}

std::unique_ptr<Perceptron> LoadNetwork(const ProfileDocument& document, const std::string& file) {
  if (!document.readable()) {
    throw NetworkFileError(file, kUnreadable);
  }
  const NumberSymbols symbols = CurrentNumberSymbols();
  auto net = std::make_unique<Perceptron>();
  SectionReader::Buffers buffers;
  for (const std::string_view section : SectionsInReadingOrder(document.SectionNames())) {
    const SectionKind kind = KindOfSection(section);
    if (!kind.neuron && !kind.synapse) continue;
    const SectionReader reader(document, file, section, symbols, buffers);
    if (kind.neuron) {
      const unsigned x = reader.Position("X");
      const unsigned y = reader.Position("Y");
      net->Add(x, y);  // a taken key leaves the steps below to the element that holds it
      net->SetAttr(x, y, Neuron::ATTR_ATYPE, reader.Real("ATYPE"));
      net->SetAttr(x, y, Neuron::ATTR_NTYPE, reader.Real("NTYPE"));
      net->SetAttr(x, y, Neuron::ATTR_ALPHA, reader.Real("ALPHA"));
      net->setThreshold(x, y, reader.Real("THRESHOLD"));
    }
    if (kind.synapse) {
      const unsigned x = reader.Position("X");
      const unsigned y = reader.Position("Y");
      // The element that takes the links (the one holding their key), found once for them all;
      // links to a missing element are still read, so a malformed one still stops the load.
      const std::shared_ptr<Elem> elem = net->getElem(static_cast<int>(x), static_cast<int>(y));
      Neuron* const target = elem != nullptr ? elem->kernel.get() : nullptr;
      if (target != nullptr) {
        // Room for every link entry at once. Only names of links count, each on a line of its
        // own, so the room stays in proportion to the file however its other lines look.
        const auto links =
            std::count_if(reader.keys().begin(), reader.keys().end(),
                          [](std::string_view key) { return MatchLinkKey(key).has_value(); });
        target->synapse_links.reserve(target->synapse_links.size() +
                                      static_cast<std::size_t>(links));
      }
      for (std::size_t entry = 0; entry < reader.keys().size(); ++entry) {
        const std::string_view key = reader.keys()[entry];
        const std::optional<LinkKey> link = MatchLinkKey(key);
        if (!link) continue;
        const int a = reader.LinkPosition(key, link->layer);
        const int b = reader.LinkPosition(key, link->index);
        const double weight = reader.RealAt(entry);
        if (target != nullptr) target->Add(a, b, weight);  // a taken key keeps the first link
      }
    }
  }
  return net;
}

Perceptron LoadPerceptron(const std::string& path) {
  // The file is read here rather than through CIniFile, which takes a missing file for an empty
  // network: never what a program that names a file means.
  std::string content;
  switch (ReadWholeFile(path, content)) {
    case ReadResult::kOk:
      break;
    case ReadResult::kMissing:
      throw NetworkFileError(path, "no such file");
    case ReadResult::kFailed:
      throw NetworkFileError(path, kUnreadable);
    case ReadResult::kTooLarge:
      throw NetworkFileError(path, "the file is larger than can be read");
  }
  const ProfileDocument document(ProfileBytes{std::move(content)});
  return std::move(*LoadNetwork(document, path));
}

void SavePerceptron(const Perceptron& net, const std::string& path) {
  if (!WriteNetworkFile(net, path)) {
    throw NetworkFileError(path,
                           "the file could not be written (a missing folder, a read-only file or "
                           "folder, or a full disk); it is as it was");
  }
}

const char* CIniFile::SaveMPL(const Perceptron& _net) {
  if (_net.GetMPL().empty()) return status::kSaved;  // nothing to write, and no file is created
  BeginBatch();
  const BatchGuard guard{*this};  // a save cut short by an exception leaves no batch behind
  if (!SaveNetwork(_net, *batch_)) return status::kNotSaved;
  return CommitBatch() ? status::kSaved : status::kNotSaved;
}

std::unique_ptr<Perceptron> CIniFile::LoadMPL(const char*& _code) {
  BeginBatch();
  const BatchGuard guard{*this};
  _code = status::kLoaded;
  return LoadNetwork(*batch_, path);
}

}  // namespace mplnet
