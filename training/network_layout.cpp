// Compiling a network into the trainer's layout, with every check that makes the trainer's pass
// compute what the library's forward pass computes.
#include "training/network_layout.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "datasets/row_checks.h"
#include "engine/structure_check.h"
#include "mplnet/train.h"

namespace mplnet::training {
namespace {

// Source ranges of one stage closer than this are read as one range: a few zero weights cost less
// than another product.
constexpr std::uint32_t kMergeGap = 8;

// A stage reads its links one by one when its blocks would hold more than this many entries per
// link: a dense product does several times the work per second of a link-by-link pass, and beyond
// that the zeros cost both time and memory.
constexpr std::size_t kSparseRatio = 4;

[[noreturn]] void Refuse(long long x, long long y, const std::string& reason) {
  throw TrainingError("element " + PositionText(x, y) + ": " + reason);
}

// Where a neuron reads from, once its source is known to be an element computed before it.
struct Source {
  std::uint32_t node;
  double weight;
};

struct NeuronIn {
  int x;
  int y;
  std::vector<Source> sources;
  double threshold;
};

}  // namespace

Layout CompileLayout(const Perceptron& net) {
  const RowShape shape = ShapeOf(net);
  const std::vector<int> ncount = net.GetNCount();
  const int layers = static_cast<int>(ncount.size());

  // The checks every user of a network shares: each position of a layer's range its own element
  // with a neuron of its own, nothing beyond the ranges, input neurons in layer 0 only and fed
  // through 0_0, links naming their elements. What follows adds what the trainer's pass needs.
  const std::vector<StructureFinding> findings = CheckStructure(net);
  if (!findings.empty()) throw TrainingError(findings.front().text);
  const std::vector<std::shared_ptr<Elem>> elems = net.GetMPL();

  Layout layout;
  layout.inputs = shape.inputs;
  layout.outputs = shape.outputs;
  // Neuron k of the forward order for the positions of layers 1 and up.
  std::map<std::pair<int, int>, std::uint32_t> neuron_of;
  for (int i = 1; i < layers; ++i) {
    for (int j = 0; j < ncount[i]; ++j) {
      neuron_of[{i, j}] = static_cast<std::uint32_t>(neuron_of.size());
    }
  }
  std::vector<NeuronIn> neurons(neuron_of.size());
  std::unordered_map<const Elem*, std::size_t> element_of;

  for (const std::shared_ptr<Elem>& elem_ptr : elems) {
    if (elem_ptr == nullptr) continue;
    const Elem& elem = *elem_ptr;
    const Neuron& neuron = *elem.kernel;
    const int x = static_cast<int>(elem.x);
    const int y = static_cast<int>(elem.y);
    const auto ntype = static_cast<unsigned>(neuron.GetAttr(Neuron::ATTR_NTYPE));
    const auto atype = static_cast<unsigned>(neuron.GetAttr(Neuron::ATTR_ATYPE));
    const double alpha = neuron.GetAttr(Neuron::ATTR_ALPHA);
    if (!std::isfinite(alpha)) Refuse(x, y, "its steepness Alpha is not a finite number");
    if (!std::isfinite(neuron.getThreshold())) {
      Refuse(x, y, "its threshold is not a finite number");
    }
    Layout::ElementOut out{elem.x,        elem.y, atype, ntype, alpha, neuron.getThreshold(),
                           Layout::kNone, {},     {}};

    if (x == 0) {
      for (const auto& [key, link] : neuron.synapse_links) {
        if (link.x < 0 || link.y < 0) {
          Refuse(x, y,
                 "its link from " + PositionText(link.x, link.y) +
                     " has a position no network file can hold");
        }
        out.links.push_back({link.x, link.y, Layout::kFixed});
        out.fixed_weights.push_back(link.weight);
      }
      element_of[&elem] = layout.elements.size();
      layout.elements.push_back(std::move(out));
      continue;
    }

    if (ntype == Neuron::Null) {
      Refuse(x, y,
             "neuron type 0 outside the input layer cannot be saved: a network file "
             "loads it as an input neuron");
    }
    NeuronIn& in = neurons[neuron_of.at({x, y})];
    in.x = x;
    in.y = y;
    in.threshold = neuron.getThreshold();
    for (const auto& [key, link] : neuron.synapse_links) {
      const std::string from = PositionText(link.x, link.y);
      if (CoordinateKey(link.x, link.y) != key) {
        std::string reason = "its link entry \"";
        reason += key;
        reason += "\" holds the position " + from + ", whose key differs";
        Refuse(x, y, reason);
      }
      if (!std::isfinite(link.weight)) {
        Refuse(x, y, "the weight of its link from " + from + " is not a finite number");
      }
      if (link.x > x || (link.x == x && link.y >= y)) {
        Refuse(x, y,
               "it reads " + from +
                   ", which the pass computes later, so the link gives the previous "
                   "pass's output; the trainer takes only links from neurons computed "
                   "before");
      }
      const std::uint32_t node =
          link.x == 0 ? static_cast<std::uint32_t>(link.y)
                      : static_cast<std::uint32_t>(layout.inputs) + neuron_of.at({link.x, link.y});
      in.sources.push_back({node, link.weight});
      out.links.push_back({link.x, link.y, Layout::kFixed});
    }
    element_of[&elem] = layout.elements.size();
    layout.elements.push_back(std::move(out));
  }

  // Activations in forward order.
  std::vector<const Elem*> elem_of_neuron(neurons.size());
  for (const auto& [position, k] : neuron_of) {
    const std::shared_ptr<Elem> elem = net.getElem(position.first, position.second);
    elem_of_neuron[k] = elem.get();
    const Layout::ElementOut& out = layout.elements[element_of.at(elem.get())];
    layout.neurons.push_back({out.atype == Neuron::TH, out.alpha});  // map order is k's order
  }

  // Stages: a neuron reading a member of the current stage starts the next one. Sources come
  // before their reader, so a source node at or past the stage's first neuron is a member.
  const auto inputs = static_cast<std::uint32_t>(layout.inputs);
  const auto neuron_count = static_cast<std::uint32_t>(neurons.size());
  std::uint32_t stage_first = 0;
  for (std::uint32_t k = 1; k < neuron_count; ++k) {
    const bool reads_member =
        std::any_of(neurons[k].sources.begin(), neurons[k].sources.end(),
                    [&](const Source& s) { return s.node >= inputs + stage_first; });
    if (!reads_member) continue;
    layout.stages.push_back({stage_first, k - stage_first, 0, 0, 0, false});
    stage_first = k;
  }
  layout.stages.push_back({stage_first, neuron_count - stage_first, 0, 0, 0, false});

  // Ranges and places in the parameter vector.
  std::vector<std::size_t> threshold_parameter(neurons.size());
  std::vector<std::vector<std::size_t>> link_parameter(neurons.size());
  std::size_t cursor = 0;
  layout.link_start.reserve(neurons.size() + 1);
  for (Layout::Stage& stage : layout.stages) {
    std::vector<std::uint32_t> nodes;
    for (std::uint32_t m = 0; m < stage.count; ++m) {
      for (const Source& s : neurons[stage.first + m].sources) nodes.push_back(s.node);
    }
    const std::size_t links = nodes.size();
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    std::vector<Layout::Range> ranges;
    std::size_t entries = 0;
    for (std::size_t n = 0; n < nodes.size();) {
      std::uint32_t last = nodes[n];
      std::size_t next = n + 1;
      // Input nodes and neuron nodes never share a range: only neurons pass errors back.
      while (next < nodes.size() && nodes[next] - last <= kMergeGap + 1 &&
             (nodes[next] < inputs) == (last < inputs)) {
        last = nodes[next++];
      }
      ranges.push_back({nodes[n], last - nodes[n] + 1, 0});
      entries += static_cast<std::size_t>(last - nodes[n] + 1) * stage.count;
      n = next;
    }
    stage.sparse = entries > kSparseRatio * links;
    stage.first_range = static_cast<std::uint32_t>(layout.ranges.size());
    if (stage.sparse) {
      // Each member's weights in its links' order.
      for (std::uint32_t m = 0; m < stage.count; ++m) {
        const std::uint32_t k = stage.first + m;
        for (std::size_t l = 0; l < neurons[k].sources.size(); ++l) {
          link_parameter[k].push_back(cursor++);
        }
      }
    } else {
      for (Layout::Range& range : ranges) {
        range.weights = cursor;
        cursor += static_cast<std::size_t>(range.count) * stage.count;
        layout.ranges.push_back(range);
      }
    }
    stage.range_count = static_cast<std::uint32_t>(layout.ranges.size()) - stage.first_range;
    stage.thresholds = cursor;
    cursor += stage.count;
    if (cursor >= Layout::kFixed) {
      throw TrainingError("the network has more weights than the trainer can number");
    }
    for (std::uint32_t m = 0; m < stage.count; ++m) {
      const std::uint32_t k = stage.first + m;
      threshold_parameter[k] = stage.thresholds + m;
      layout.link_start.push_back(layout.links.size());
      if (stage.sparse) {
        for (std::size_t l = 0; l < neurons[k].sources.size(); ++l) {
          layout.links.push_back(
              {neurons[k].sources[l].node, static_cast<std::uint32_t>(link_parameter[k][l])});
        }
        continue;
      }
      for (const Source& s : neurons[k].sources) {
        const Layout::Range* range = &layout.ranges[stage.first_range];
        while (s.node >= range->first_node + range->count) ++range;
        link_parameter[k].push_back(range->weights + (s.node - range->first_node) +
                                    static_cast<std::size_t>(m) * range->count);
      }
    }
  }
  layout.link_start.push_back(layout.links.size());
  layout.parameters = cursor;
  layout.initial.assign(cursor, 0.0);
  std::vector<double> mask(cursor, 0.0);
  for (std::size_t k = 0; k < neurons.size(); ++k) {
    layout.initial[threshold_parameter[k]] = neurons[k].threshold;
    mask[threshold_parameter[k]] = 1.0;
    Layout::ElementOut& out = layout.elements[element_of.at(elem_of_neuron[k])];
    out.threshold_parameter = threshold_parameter[k];
    for (std::size_t l = 0; l < neurons[k].sources.size(); ++l) {
      const std::size_t p = link_parameter[k][l];
      layout.initial[p] = neurons[k].sources[l].weight;
      mask[p] = 1.0;
      out.links[l].parameter = static_cast<std::uint32_t>(p);
    }
  }
  if (std::find(mask.begin(), mask.end(), 0.0) != mask.end()) layout.mask = std::move(mask);
  return layout;
}

Perceptron BuildNetwork(const Layout& layout, std::span<const double> parameters,
                        std::span<const double> means, std::span<const double> scales) {
  const bool fold = !means.empty();
  Perceptron net;
  for (const Layout::ElementOut& e : layout.elements) {
    net.Add(e.x, e.y);
    net.SetAttr(e.x, e.y, Neuron::ATTR_ATYPE, e.atype);
    net.SetAttr(e.x, e.y, Neuron::ATTR_NTYPE, e.ntype);
    net.SetAttr(e.x, e.y, Neuron::ATTR_ALPHA, e.alpha);
    double threshold =
        e.threshold_parameter == Layout::kNone ? e.threshold : parameters[e.threshold_parameter];
    for (std::size_t l = 0; l < e.links.size(); ++l) {
      const Layout::LinkOut& link = e.links[l];
      const bool fixed = link.parameter == Layout::kFixed;
      double weight = fixed ? e.fixed_weights[l] : parameters[link.parameter];
      if (fold && !fixed && link.x == 0) {
        const auto input = static_cast<std::size_t>(link.y);
        weight /= scales[input];
        threshold += weight * means[input];
      }
      net.AddLink(e.x, e.y, static_cast<unsigned>(link.x), static_cast<unsigned>(link.y), weight);
    }
    net.setThreshold(e.x, e.y, threshold);
  }
  return net;
}

}  // namespace mplnet::training
