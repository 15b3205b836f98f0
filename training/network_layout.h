// A network as the trainer computes it: nodes in forward order, grouped into stages that each run
// as one batched product, and every weight and threshold at a place in one flat parameter vector.
//
// Nodes are the input elements (0, 0) … (0, n − 1), then every other neuron layer by layer and
// index by index, which is the order the forward pass computes them in. A stage is a run of
// consecutive neurons none of which reads another member, so that all of them can be computed at
// once from nodes computed before. A stage reads its sources through a few ranges of consecutive
// nodes; each range has a dense block of weights (a zero where a member has no link from that node,
// which stays zero in training), and the stage's thresholds follow its blocks. A stage whose blocks
// would be mostly zeros is sparse instead: each member reads its links one by one, and only the
// links have weights, so that a wide, thinly linked layer costs memory by its links, not by the
// product of its widths.
#ifndef MPLNET_TRAINING_NETWORK_LAYOUT_H_
#define MPLNET_TRAINING_NETWORK_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "mplnet/engine.h"

namespace mplnet::training {

struct Layout {
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  // Consecutive source nodes a stage reads through one block of weights: `count` rows (one per
  // node) by the stage's members, column-major, from `weights` in the parameter vector.
  struct Range {
    std::uint32_t first_node;
    std::uint32_t count;
    std::size_t weights;
  };
  // Neurons [first, first + count) (neuron k is node inputs + k), reading ranges [first_range,
  // first_range + range_count), or their links when `sparse` (and then no range); their
  // thresholds lie from `thresholds` in the parameter vector.
  struct Stage {
    std::uint32_t first;
    std::uint32_t count;
    std::uint32_t first_range;
    std::uint32_t range_count;
    std::size_t thresholds;
    bool sparse;
  };
  // A link of a sparse stage's member: its source node and its weight's place in the parameter
  // vector.
  struct Link {
    std::uint32_t node;
    std::uint32_t weight;
  };
  // What the activation of a neuron needs.
  struct Activation {
    bool tanh;  // `TH`; every other type is the logistic sigmoid
    double alpha;
  };
  // A link as the network holds it, for writing the network back. A neuron's link from (0, y)
  // reads input node y.
  static constexpr std::uint32_t kFixed = std::numeric_limits<std::uint32_t>::max();
  struct LinkOut {
    std::int32_t x;
    std::int32_t y;
    std::uint32_t parameter;  // its weight's place in the parameter vector; kFixed: an input
                              // element's link, whose weight stays (ElementOut::fixed_weights)
  };
  // An element as the network holds it, in the network's order.
  struct ElementOut {
    unsigned x;
    unsigned y;
    unsigned atype;
    unsigned ntype;
    double alpha;
    double threshold;
    std::size_t threshold_parameter;  // kNone: an input element, whose `threshold` stays
    std::vector<LinkOut> links;
    std::vector<double> fixed_weights;  // an input element's: the weight of each link
  };

  std::size_t inputs = 0;
  std::size_t outputs = 0;  // the last `outputs` neurons: the last layer, by index
  std::vector<Activation> neurons;
  std::vector<Range> ranges;
  std::vector<Stage> stages;
  // Neuron k's links, when its stage is sparse: links[link_start[k], link_start[k + 1]).
  std::vector<Link> links;
  std::vector<std::size_t> link_start;
  std::size_t parameters = 0;
  std::vector<double> initial;  // the starting weights and thresholds; 0 where a block has no link
  std::vector<double> mask;     // 1 for a weight or threshold, 0 for no link; empty when all are
  std::vector<ElementOut> elements;

  std::size_t nodes() const { return inputs + neurons.size(); }
};

// The layout of `net`. Throws TrainingError naming the element and the reason for a network the
// trainer does not take (see Trainer in mplnet/train.h).
Layout CompileLayout(const Perceptron& net);

// A new network like the compiled one, with the weights and thresholds of `parameters`. With
// `means` and `scales` given (one per input), links from input elements get weight w / scale and
// their neurons' thresholds grow by the sum of w / scale × mean, so that the network takes raw
// inputs where `parameters` act on standardised ones.
Perceptron BuildNetwork(const Layout& layout, std::span<const double> parameters,
                        std::span<const double> means = {}, std::span<const double> scales = {});

}  // namespace mplnet::training

#endif  // MPLNET_TRAINING_NETWORK_LAYOUT_H_
