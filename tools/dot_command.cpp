// mplnet dot: a network drawn as a Graphviz graph.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "mplnet/engine.h"
#include "tools/commands.h"
#include "tools/help/texts.h"  // made from tools/help/*.txt at build time
#include "tools/network_report.h"

namespace mplnet::tool {
namespace {

// A weight with three significant digits: enough to read a graph by.
std::string ShortWeight(double w) {
  if (!std::isfinite(w)) return std::isnan(w) ? "NaN" : (w > 0 ? "Infinity" : "-Infinity");
  char buffer[32];
  const std::to_chars_result r =
      std::to_chars(buffer, buffer + sizeof buffer, w, std::chars_format::general, 3);
  return std::string(buffer, r.ptr);
}

std::string NodeId(unsigned x, unsigned y) {
  std::string id = "n";
  id += std::to_string(x);
  id += '_';
  id += std::to_string(y);
  return id;
}

// Writes `net` as a Graphviz graph: one node per element, one rank per layer, one edge per link of
// every element beyond the input layer (an input element's links carry the external input).
void WriteDot(const Perceptron& net, std::ostream& out) {
  const std::vector<std::shared_ptr<Elem>> elems = net.GetMPL();
  out << "digraph mplnet {\n"
         "  rankdir=LR;\n"
         "  node [shape=circle, fontsize=10];\n"
         "  edge [fontsize=8, arrowsize=0.6];\n";
  std::map<unsigned, std::vector<const Elem*>> layers;
  for (const std::shared_ptr<Elem>& e : elems) layers[e->x].push_back(e.get());
  for (const auto& [layer, members] : layers) {
    out << "  subgraph layer_" << layer << " {\n    rank=same;\n";
    for (const Elem* e : members) {
      const Neuron& n = *e->kernel;
      out << "    " << NodeId(e->x, e->y) << " [label=\"" << e->x << "," << e->y << "\\n";
      if (IsInputNeuron(n)) {
        out << "input\", shape=box];\n";
      } else {
        out << ActivationName(TypeOf(n, Neuron::ATTR_ATYPE)) << "\", tooltip=\"threshold "
            << ShortWeight(n.getThreshold()) << ", alpha "
            << ShortWeight(n.GetAttr(Neuron::ATTR_ALPHA)) << "\"];\n";
      }
    }
    out << "  }\n";
  }
  std::set<std::string> missing;
  for (const std::shared_ptr<Elem>& e : elems) {
    if (e->x == 0) continue;
    for (const SynapseWeight& w : e->kernel->getSynapses()) {
      const std::shared_ptr<Elem> source = net.getElem(w.x, w.y);
      std::string from;
      if (source != nullptr) {
        from =
            NodeId(source->x, source->y);  // what the forward pass reads, even under a shared key
      } else {
        from = "missing_" + std::to_string(w.x) + "_" + std::to_string(w.y);
        if (missing.insert(from).second) {
          out << "  " << from << " [label=\"" << w.x << "," << w.y
              << "\\nmissing\", style=dashed];\n";
        }
      }
      const double magnitude = std::fabs(w.weight);
      const double width = std::isfinite(magnitude) ? std::clamp(0.5 + magnitude, 0.5, 6.0) : 6.0;
      const char* colour = w.weight > 0 ? "blue" : (w.weight < 0 ? "red" : "gray");
      out << "  " << from << " -> " << NodeId(e->x, e->y) << " [label=\"" << ShortWeight(w.weight)
          << "\", color=" << colour << ", penwidth=" << ShortWeight(width) << "];\n";
    }
  }
  out << "}\n";
}

}  // namespace

Command AddDotCommand(CLI::App& app) {
  return AddShowNetworkCommand(
      app, "dot", "Write a network as a Graphviz graph", help::kDot,
      [](const std::string& /*path*/, const Perceptron& net) { WriteDot(net, std::cout); });
}

}  // namespace mplnet::tool
