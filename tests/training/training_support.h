// Small networks and tables for the trainer's tests.
#ifndef MPLNET_TESTS_TRAINING_TRAINING_SUPPORT_H_
#define MPLNET_TESTS_TRAINING_TRAINING_SUPPORT_H_

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "mplnet/engine.h"
#include "mplnet/train.h"

namespace mplnet::testing {

// A link into a neuron: from (x, y).
struct From {
  unsigned x;
  unsigned y;
};

// Builds networks element by element, weights drawn uniformly from [-1, 1].
class NetBuilder {
 public:
  explicit NetBuilder(unsigned seed) : random_(seed) {}
  NetBuilder& Inputs(unsigned count) {
    for (unsigned j = 0; j < count; ++j) {
      net_.Add(0, j);
      net_.AddLink(0, j, 0, 0, 1.0);
    }
    return *this;
  }
  NetBuilder& Neuron(unsigned x, unsigned y, unsigned atype, double alpha,
                     const std::vector<From>& links) {
    net_.Add(x, y);
    net_.SetAttr(x, y, mplnet::Neuron::ATTR_NTYPE, mplnet::Neuron::NHiden);
    net_.SetAttr(x, y, mplnet::Neuron::ATTR_ATYPE, atype);
    net_.SetAttr(x, y, mplnet::Neuron::ATTR_ALPHA, alpha);
    net_.setThreshold(x, y, Draw());
    for (const From& f : links) net_.AddLink(x, y, f.x, f.y, Draw());
    return *this;
  }
  // Every element of layer `x`, `count` of them, reading every element of layer x − 1.
  NetBuilder& Dense(unsigned x, unsigned count, unsigned before, unsigned atype, double alpha) {
    std::vector<From> links;
    for (unsigned j = 0; j < before; ++j) links.push_back({x - 1, j});
    for (unsigned j = 0; j < count; ++j) Neuron(x, j, atype, alpha, links);
    return *this;
  }
  Perceptron Build() { return std::move(net_); }

 private:
  double Draw() { return std::uniform_real_distribution<double>(-1.0, 1.0)(random_); }
  Perceptron net_;
  std::mt19937 random_;
};

// `rows` rows for `net`: inputs uniform in [low, high], targets drawn within each output's range.
inline DataTable RandomRows(const Perceptron& net, std::size_t rows, unsigned seed,
                            double low = -2.0, double high = 2.0) {
  const std::vector<int> sizes = net.GetNCount();
  const auto inputs = static_cast<std::size_t>(sizes.front());
  const auto outputs = static_cast<std::size_t>(sizes.back());
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> input(low, high);
  DataTable table(inputs, outputs);
  std::vector<double> row(inputs + outputs);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < inputs; ++j) row[j] = input(random);
    for (std::size_t k = 0; k < outputs; ++k) {
      const bool tanh =
          net.GetAttr(static_cast<unsigned>(sizes.size() - 1), static_cast<unsigned>(k),
                      mplnet::Neuron::ATTR_ATYPE) == mplnet::Neuron::TH;
      row[inputs + k] = std::uniform_real_distribution<double>(tanh ? -0.9 : 0.1, 0.9)(random);
    }
    table.AddRow(row);
  }
  return table;
}

}  // namespace mplnet::testing

#endif  // MPLNET_TESTS_TRAINING_TRAINING_SUPPORT_H_
