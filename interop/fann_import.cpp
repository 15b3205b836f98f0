// FANN network files as networks of ours.
//
// The file is a list of "key=value" lines after a version line. The lines that decide the network:
//   layer_sizes=3 4 2                      neurons per layer, bias neurons included
//   network_type=0                         0: layers, 1: shortcut connections
//   scale_included=0                       1: scaling parameters follow
//   neurons (num_inputs, activation_function, activation_steepness)=(0, 0, 0e+00) (3, 5, 5e-01) ...
//   connections (connected_to_neuron, weight)=(0, -3.5e-01) (1, 5.3e-01) ...
// Neurons are numbered from 0 over all layers in order; each neuron's connections follow those of
// the neuron before it. In a layered network every layer ends in a bias neuron, in a shortcut
// network only the input layer does. FANN writes its numbers with the process locale's decimal
// separator, so a value may read "5,0e-01": tuples are split at ", " (a comma and a blank), which a
// decimal comma never is.
//
// What fann_run computes, and so what an import must reproduce: a neuron without connections
// outputs 1 whatever its activation (that is how FANN's bias neurons work); with connection_rate
// of 1 or more a neuron's k-th connection is read from the k-th neuron of the layer before (of the
// whole network when shortcut), whatever the file names; the sum is multiplied by the steepness
// and then clipped to +-150 / steepness before the activation. A neuron of ours does not clip, so
// the clip must leave FANN's outputs where they would be without it, up to rounding.
#include "mplnet/fann_import.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/structure_check.h"
#include "persistence/file_io.h"
#include "persistence/number_text.h"

namespace mplnet {
namespace {

constexpr std::string_view kVersion = "FANN_FLO_2.1";
constexpr std::string_view kNeuronsKey =
    "neurons (num_inputs, activation_function, activation_steepness)";
constexpr std::string_view kConnectionsKey = "connections (connected_to_neuron, weight)";

// FANN's activation functions by their number in its files.
constexpr std::string_view kActivationNames[] = {"FANN_LINEAR",
                                                 "FANN_THRESHOLD",
                                                 "FANN_THRESHOLD_SYMMETRIC",
                                                 "FANN_SIGMOID",
                                                 "FANN_SIGMOID_STEPWISE",
                                                 "FANN_SIGMOID_SYMMETRIC",
                                                 "FANN_SIGMOID_SYMMETRIC_STEPWISE",
                                                 "FANN_GAUSSIAN",
                                                 "FANN_GAUSSIAN_SYMMETRIC",
                                                 "FANN_GAUSSIAN_STEPWISE",
                                                 "FANN_ELLIOT",
                                                 "FANN_ELLIOT_SYMMETRIC",
                                                 "FANN_LINEAR_PIECE",
                                                 "FANN_LINEAR_PIECE_SYMMETRIC",
                                                 "FANN_SIN_SYMMETRIC",
                                                 "FANN_COS_SYMMETRIC",
                                                 "FANN_SIN",
                                                 "FANN_COS"};
constexpr unsigned kSigmoid = 3;
constexpr unsigned kSigmoidSymmetric = 5;

// fann_run clips steepness times sum to +-kFannClip / steepness.
constexpr double kFannClip = 150.0;
// The most the clip may move a neuron's output and still count as rounding: one unit in the last
// place of 1, the outputs' largest size.
constexpr double kClipTolerance = 0x1p-52;
// A neuron of ours without links and with this threshold outputs exactly 1 under SIGM of Alpha 1:
// e^-1000 is far below half a unit in the last place of 1.
constexpr double kAlwaysOneThreshold = -1000.0;

std::string_view Trim(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  return t;
}

std::optional<unsigned> ParseCount(std::string_view text) {
  text = Trim(text);
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

struct FannNeuron {
  unsigned inputs = 0;
  unsigned activation = 0;
  double steepness = 0.0;
};

struct FannConnection {
  unsigned source = 0;
  double weight = 0.0;
};

// Where a neuron stands in FANN's layers and in ours.
struct Place {
  unsigned layer = 0;
  unsigned index = 0;  // among the layer's neurons other than its bias
  bool bias = false;
};

class FannReader {
 public:
  FannReader(std::string_view text, std::string_view name) : name_(name) { Split(text); }

  Perceptron Build() {
    CheckVersion();
    const std::vector<unsigned> sizes = ReadLayerSizes();
    const unsigned type = ReadWhole("network_type");
    if (type > 1) {
      Fail(Line("network_type"), "network_type " + std::to_string(type) + " is unknown");
    }
    if (ReadWhole("scale_included") != 0) {
      Fail(Line("scale_included"),
           "FANN's scaling parameters cannot be represented: the network expects its inputs and "
           "outputs scaled outside it (scale_included=1)");
    }
    // FANN keeps the rate as a float; at 1 or more fann_run reads the sources by position.
    positional_ = static_cast<float>(ReadReal("connection_rate")) >= 1.0F;
    shortcut_ = type == 1;
    const std::vector<FannNeuron> neurons = ReadNeurons(sizes);
    const std::vector<FannConnection> connections = ReadConnections(neurons);
    PlaceNeurons(sizes, type == 1);
    return Assemble(neurons, connections);
  }

 private:
  [[noreturn]] void Fail(std::size_t line, const std::string& reason) const {
    std::string where = "FANN network file \"" + std::string(name_) + "\"";
    if (line > 0) where += ", line " + std::to_string(line);
    throw FannImportError(where + ": " + reason);
  }

  void Split(std::string_view text) {
    std::size_t number = 0;
    while (!text.empty()) {
      ++number;
      const std::size_t end = text.find('\n');
      std::string_view line = text.substr(0, end);
      text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
      if (line.ends_with('\r')) line.remove_suffix(1);
      if (number == 1) {
        first_line_ = line;
        continue;
      }
      const std::size_t eq = line.find('=');
      if (eq == std::string_view::npos) continue;
      // The first line of a key counts, as it would for FANN's own reader of this file.
      entries_.try_emplace(std::string(line.substr(0, eq)), Entry{line.substr(eq + 1), number});
    }
  }

  void CheckVersion() const {
    if (first_line_ == kVersion) return;
    if (first_line_.starts_with("FANN_FIX")) {
      Fail(1, "a fixed-point network (" + std::string(first_line_) +
                  ") computes with integer approximations and cannot be represented");
    }
    Fail(1, "not a FANN floating-point network file of version 2.1 or later (the first line is \"" +
                std::string(first_line_.substr(0, 40)) + "\", not \"" + std::string(kVersion) +
                "\")");
  }

  std::size_t Line(std::string_view key) const {
    const auto it = entries_.find(key);
    return it == entries_.end() ? 0 : it->second.line;
  }

  std::string_view Value(std::string_view key) const {
    const auto it = entries_.find(key);
    if (it == entries_.end()) {
      Fail(0, "no \"" + std::string(key) + "\" line: the file is cut short or not a network file");
    }
    return it->second.value;
  }

  unsigned ReadWhole(std::string_view key) const {
    const std::optional<unsigned> value = ParseCount(Value(key));
    if (!value) Fail(Line(key), "\"" + std::string(key) + "\" is not a whole number");
    return *value;
  }

  double ReadReal(std::string_view key) const {
    const std::optional<double> value = ParseReal(Value(key), NumberSymbols{});
    if (!value) Fail(Line(key), "\"" + std::string(key) + "\" is not a number");
    return *value;
  }

  std::vector<unsigned> ReadLayerSizes() const {
    const unsigned layers = ReadWhole("num_layers");
    std::vector<unsigned> sizes;
    std::string_view rest = Value("layer_sizes");
    const std::size_t line = Line("layer_sizes");
    while (!(rest = Trim(rest)).empty()) {
      const std::size_t end = std::min(rest.find(' '), rest.size());
      const std::optional<unsigned> size = ParseCount(rest.substr(0, end));
      if (!size) Fail(line, "layer_sizes holds something other than whole numbers");
      sizes.push_back(*size);
      rest.remove_prefix(end);
    }
    if (sizes.size() != layers) {
      Fail(line, "num_layers is " + std::to_string(layers) + " but layer_sizes lists " +
                     std::to_string(sizes.size()) + " layers");
    }
    if (layers < 2) Fail(line, "a network needs at least an input and an output layer");
    if (layers > kMostPositions) {
      Fail(line,
           "a network file of ours holds at most " + std::to_string(kMostPositions) + " layers");
    }
    return sizes;
  }

  // The tuples of a line's value, "(a, b) (c, d) ...", each with `fields` fields.
  std::vector<std::vector<std::string_view>> Tuples(std::string_view key,
                                                    std::size_t fields) const {
    std::vector<std::vector<std::string_view>> tuples;
    std::string_view rest = Value(key);
    while (!(rest = Trim(rest)).empty()) {
      const std::size_t close = rest.find(')');
      if (rest.front() != '(' || close == std::string_view::npos) {
        Fail(Line(key), "tuple " + std::to_string(tuples.size() + 1) + " of \"" + std::string(key) +
                            "\" is malformed (the line may be cut short)");
      }
      std::string_view inner = rest.substr(1, close - 1);
      rest.remove_prefix(close + 1);
      std::vector<std::string_view> parts;
      for (std::size_t comma; (comma = inner.find(", ")) != std::string_view::npos;) {
        parts.push_back(Trim(inner.substr(0, comma)));
        inner.remove_prefix(comma + 2);
      }
      parts.push_back(Trim(inner));
      if (parts.size() != fields) {
        Fail(Line(key), "tuple " + std::to_string(tuples.size() + 1) + " of \"" + std::string(key) +
                            "\" holds " + std::to_string(parts.size()) + " values, not " +
                            std::to_string(fields));
      }
      tuples.push_back(std::move(parts));
    }
    return tuples;
  }

  double Real(std::string_view text, std::string_view key, std::size_t tuple) const {
    const std::optional<double> value = ParseReal(text, NumberSymbols{});
    if (!value) {
      Fail(Line(key), "tuple " + std::to_string(tuple + 1) + " of \"" + std::string(key) +
                          "\": \"" + std::string(text.substr(0, 40)) + "\" is not a number");
    }
    return *value;
  }

  unsigned Whole(std::string_view text, std::string_view key, std::size_t tuple) const {
    const std::optional<unsigned> value = ParseCount(text);
    if (!value) {
      Fail(Line(key), "tuple " + std::to_string(tuple + 1) + " of \"" + std::string(key) +
                          "\": \"" + std::string(text.substr(0, 40)) + "\" is not a whole number");
    }
    return *value;
  }

  // The tuples of the `key` line, each made a value by `read(tuple, index)`. There must be
  // `expected` of them, a count that `counted_by` gives ("layer_sizes gives" 10 `what`).
  template <typename Read>
  auto ReadTuples(std::string_view key, std::size_t fields, std::size_t expected,
                  std::string_view counted_by, std::string_view what, Read read) const {
    const auto tuples = Tuples(key, fields);
    if (tuples.size() != expected) {
      Fail(Line(key), std::string(counted_by) + " " + std::to_string(expected) + " " +
                          std::string(what) + ", the " + std::string(what) + " line holds " +
                          std::to_string(tuples.size()));
    }
    std::vector<decltype(read(tuples.front(), std::size_t{0}))> values;
    values.reserve(tuples.size());
    for (std::size_t i = 0; i < tuples.size(); ++i) values.push_back(read(tuples[i], i));
    return values;
  }

  std::vector<FannNeuron> ReadNeurons(const std::vector<unsigned>& sizes) const {
    std::size_t expected = 0;
    for (const unsigned size : sizes) expected += size;
    return ReadTuples(kNeuronsKey, 3, expected, "layer_sizes gives", "neurons",
                      [this](const auto& t, std::size_t i) {
                        return FannNeuron{Whole(t[0], kNeuronsKey, i), Whole(t[1], kNeuronsKey, i),
                                          Real(t[2], kNeuronsKey, i)};
                      });
  }

  std::vector<FannConnection> ReadConnections(const std::vector<FannNeuron>& neurons) const {
    std::size_t expected = 0;
    for (const FannNeuron& n : neurons) expected += n.inputs;
    return ReadTuples(
        kConnectionsKey, 2, expected, "the neurons take", "connections",
        [this](const auto& t, std::size_t i) {
          return FannConnection{Whole(t[0], kConnectionsKey, i), Real(t[1], kConnectionsKey, i)};
        });
  }

  // Decides every neuron's layer, index and whether it is a bias neuron.
  void PlaceNeurons(const std::vector<unsigned>& sizes, bool shortcut) {
    for (unsigned layer = 0; layer < sizes.size(); ++layer) {
      const bool has_bias = layer == 0 || !shortcut;
      if (sizes[layer] < (has_bias ? 2U : 1U)) {
        Fail(Line("layer_sizes"), "layer " + std::to_string(layer) + " holds no neuron" +
                                      (has_bias ? " besides its bias neuron" : ""));
      }
      const unsigned plain = sizes[layer] - (has_bias ? 1 : 0);
      if (plain > kMostPositions) {
        Fail(Line("layer_sizes"), "layer " + std::to_string(layer) + " holds " +
                                      std::to_string(plain) +
                                      " neurons; a network file of ours holds at most " +
                                      std::to_string(kMostPositions) + " per layer");
      }
      layer_starts_.push_back(places_.size());
      for (unsigned i = 0; i < sizes[layer]; ++i) places_.push_back({layer, i, i == plain});
    }
  }

  std::string NeuronName(std::size_t n) const {
    const Place& p = places_[n];
    std::string text = "neuron " + std::to_string(n) + " (layer " + std::to_string(p.layer);
    text += p.bias ? ", bias)" : ", index " + std::to_string(p.index) + ")";
    return text;
  }

  [[noreturn]] void FailNeuron(std::size_t n, const std::string& reason) const {
    Fail(Line(kNeuronsKey), NeuronName(n) + ": " + reason);
  }

  // Refuses an activation or steepness that a neuron of ours cannot compute as fann_run does.
  void CheckActivation(std::size_t n, const FannNeuron& neuron) const {
    if (neuron.activation >= std::size(kActivationNames)) {
      FailNeuron(n, "activation function " + std::to_string(neuron.activation) + " is unknown");
    }
    const std::string name(kActivationNames[neuron.activation]);
    if (neuron.activation != kSigmoid && neuron.activation != kSigmoidSymmetric) {
      FailNeuron(n, "activation " + name +
                        " cannot be represented exactly; only FANN_SIGMOID and "
                        "FANN_SIGMOID_SYMMETRIC can");
    }
    const double s = neuron.steepness;
    if (!std::isfinite(s)) FailNeuron(n, "the steepness is not a finite number");
    const std::string steepness = "steepness " + FormatReal(s, NumberSymbols{});
    if (s < 0.0) {
      // The bound 150 / s is then negative, and fann_run's clip sends every sum to one of its
      // two ends: the neuron becomes a step between two values.
      FailNeuron(n, "a negative " + steepness + " turns FANN's clip of the sum to +-150/" +
                        "steepness into a step between two outputs, which no activation of ours " +
                        "computes");
    }
    // How far the clip moves the output at its end: 1 less the activation at 150 / s. The
    // symmetric sigmoid, 2 / (1 + e^-2x) - 1, is twice as far from its end as the sigmoid.
    const double factor = neuron.activation == kSigmoid ? 1.0 : 2.0;
    const double shift = s == 0.0 ? 0.0 : factor * std::exp(-2.0 * kFannClip / s);
    if (shift > kClipTolerance) {
      char moved[32];
      std::snprintf(moved, sizeof moved, "%.2g", shift);
      char largest[32];
      std::snprintf(largest, sizeof largest, "%.3g",
                    2.0 * kFannClip / std::log(factor / kClipTolerance));
      FailNeuron(n, name + " of " + steepness + ": FANN clips the sum to +-" +
                        FormatReal(kFannClip / s, NumberSymbols{}) +
                        " before the activation, which moves its output by up to " + moved +
                        ", beyond rounding; a neuron of ours does not clip (" + name +
                        " is imported up to steepness " + largest + ")");
    }
  }

  Perceptron Assemble(const std::vector<FannNeuron>& neurons,
                      const std::vector<FannConnection>& connections) const {
    const unsigned last_layer = places_.back().layer;
    // Different positions can share a coordinate key; a network of ours holds only one of them.
    std::vector<std::size_t> sizes(layer_starts_.size());
    for (const Place& p : places_) sizes[p.layer] += p.bias ? 0 : 1;
    if (const std::optional<SharedKey> shared = FirstSharedKey(sizes)) {
      // A layer's bias neuron comes after its other neurons, so index y is neuron first + y.
      FailNeuron(layer_starts_[shared->x] + shared->y,
                 "its position has the coordinate key \"" + CoordinateKey(shared->x, shared->y) +
                     "\" of " + NeuronName(layer_starts_[shared->first_x] + shared->first_y) +
                     "; a network of ours cannot hold both");
    }

    Perceptron net;
    std::size_t next = 0;  // the first connection of neuron n
    for (std::size_t n = 0; n < neurons.size(); ++n) {
      const FannNeuron& neuron = neurons[n];
      const Place& p = places_[n];
      if (p.layer == 0 || p.bias) {
        if (neuron.inputs != 0) FailNeuron(n, "an input or bias neuron with connections");
        if (!p.bias) {
          net.Add(0, p.index);
          net.AddLink(0, p.index, 0, 0, 1.0);
        }
        continue;
      }
      net.Add(p.layer, p.index);
      net.SetAttr(p.layer, p.index, Neuron::ATTR_NTYPE,
                  p.layer == last_layer ? Neuron::NOutput : Neuron::NHiden);
      if (neuron.inputs == 0) {
        // fann_run gives a neuron without connections the output 1, whatever its activation.
        net.SetAttr(p.layer, p.index, Neuron::ATTR_ATYPE, Neuron::SIGM);
        net.SetAttr(p.layer, p.index, Neuron::ATTR_ALPHA, 1.0);
        net.setThreshold(p.layer, p.index, kAlwaysOneThreshold);
        continue;
      }
      CheckActivation(n, neuron);
      const bool sigmoid = neuron.activation == kSigmoid;
      net.SetAttr(p.layer, p.index, Neuron::ATTR_ATYPE, sigmoid ? Neuron::SIGM : Neuron::TH);
      // FANN's sigmoid is 1 / (1 + e^(-2 s x)) and its symmetric sigmoid tanh(s x).
      net.SetAttr(p.layer, p.index, Neuron::ATTR_ALPHA,
                  sigmoid ? 2.0 * neuron.steepness : neuron.steepness);
      double threshold = 0.0;
      std::set<std::size_t> sources;
      // With connection_rate 1, fann_run reads connection k from this neuron, not the one named.
      const std::size_t first_source = shortcut_ ? 0 : layer_starts_[p.layer - 1];
      for (std::size_t c = next; c < next + neuron.inputs; ++c) {
        const FannConnection& link = connections[c];
        const std::string connection = "connection " + std::to_string(c + 1);
        if (link.source >= places_.size() || places_[link.source].layer >= p.layer) {
          Fail(Line(kConnectionsKey), NeuronName(n) + ": " + connection + " comes from neuron " +
                                          std::to_string(link.source) +
                                          ", which is not in an earlier layer");
        }
        if (positional_ && link.source != first_source + (c - next)) {
          Fail(Line(kConnectionsKey),
               NeuronName(n) + ": " + connection + " names neuron " + std::to_string(link.source) +
                   ", but with connection_rate 1 fann_run reads " + "neuron " +
                   std::to_string(first_source + (c - next)) + " there");
        }
        if (!sources.insert(link.source).second) {
          Fail(Line(kConnectionsKey),
               NeuronName(n) + ": two connections from neuron " + std::to_string(link.source));
        }
        if (!std::isfinite(link.weight)) {
          Fail(Line(kConnectionsKey), NeuronName(n) + ": " + connection + " (from neuron " +
                                          std::to_string(link.source) + ") has the weight " +
                                          FormatReal(link.weight, NumberSymbols{}) +
                                          ", not a finite number");
        }
        const Place& from = places_[link.source];
        if (from.bias) {
          threshold -=
              link.weight;  // a bias neuron's output is always 1; a threshold is subtracted
        } else {
          net.AddLink(p.layer, p.index, from.layer, from.index, link.weight);
        }
      }
      next += neuron.inputs;
      net.setThreshold(p.layer, p.index, threshold);
    }
    // What the forward pass needs, as every user of a network checks it: an import is exact or
    // refused.
    const std::vector<StructureFinding> findings = CheckStructure(net);
    if (!findings.empty()) {
      Fail(Line(kNeuronsKey), "the network would not compute as FANN's: " + findings.front().text);
    }
    return net;
  }

  struct Entry {
    std::string_view value;
    std::size_t line = 0;
  };
  std::string_view name_;
  std::string_view first_line_;
  std::map<std::string, Entry, std::less<>> entries_;
  std::vector<Place> places_;
  std::vector<std::size_t> layer_starts_;  // the number of each layer's first neuron
  bool positional_ = false;
  bool shortcut_ = false;
};

}  // namespace

Perceptron ImportFann(std::string_view text, std::string_view name) {
  return FannReader(text, name).Build();
}

Perceptron ImportFannFile(const std::string& path) {
  std::string text;
  switch (ReadWholeFile(path, text, kFannFileMaxBytes)) {
    case ReadResult::kOk:
      return ImportFann(text, path);
    case ReadResult::kMissing:
      throw FannImportError("FANN network file \"" + path + "\" does not exist");
    case ReadResult::kTooLarge:
      throw FannImportError("FANN network file \"" + path + "\" is larger than " +
                            std::to_string(kFannFileMaxBytes >> 20) +
                            " MiB, the most an import reads");
    case ReadResult::kFailed:
      break;
  }
  throw FannImportError("FANN network file \"" + path + "\" cannot be read");
}

}  // namespace mplnet
