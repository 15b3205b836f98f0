// The trainer's gradients against central differences of the library's own forward pass, for every
// activation type, thresholds, and links that skip layers or stay within one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "mplnet/engine.h"
#include "mplnet/train.h"
#include "training/network_layout.h"
#include "training/trainer_internal.h"
#include "training_support.h"

namespace mplnet {
namespace {

using testing::From;
using testing::NetBuilder;

// ½ Σ (output − target)² over the rows, by Perceptron::Run.
double HalfSquaredError(Perceptron& net, const DataTable& rows) {
  double sum = 0;
  for (std::size_t i = 0; i < rows.rows(); ++i) {
    const std::span<const double> row = rows.row(i);
    net.Run(std::vector<double>(row.begin(), row.begin() + static_cast<long>(rows.inputs())));
    const std::vector<double> out = net.GetOutput();
    for (std::size_t k = 0; k < out.size(); ++k) {
      const double d = out[k] - row[rows.inputs() + k];
      sum += 0.5 * d * d;
    }
  }
  return sum;
}

Perceptron DenseMixed() {
  // Layer 1 holds one neuron of each activation type, each with its own steepness.
  NetBuilder b(11);
  b.Inputs(3);
  const unsigned types[] = {Neuron::TH, Neuron::SIGM, Neuron::EXP, Neuron::Null};
  const double alphas[] = {0.5, 2.0, 1.0, 1.5};
  for (unsigned j = 0; j < 4; ++j) {
    b.Neuron(1, j, types[j], alphas[j], {{0, 0}, {0, 1}, {0, 2}});
  }
  return b.Neuron(2, 0, Neuron::TH, 0.7, {{1, 0}, {1, 1}, {1, 2}, {1, 3}})
      .Neuron(2, 1, Neuron::SIGM, 1.3, {{1, 0}, {1, 1}, {1, 2}, {1, 3}})
      .Build();
}

Perceptron SparseAcrossLayers() {
  // Sparse links, a link within a layer (from a lower index), links that skip a layer.
  return NetBuilder(12)
      .Inputs(3)
      .Neuron(1, 0, Neuron::SIGM, 1.0, {{0, 0}, {0, 2}})
      .Neuron(1, 1, Neuron::TH, 0.8, {{0, 1}, {1, 0}})
      .Neuron(1, 2, Neuron::EXP, 1.2, {{0, 0}, {0, 1}, {0, 2}})
      .Neuron(2, 0, Neuron::Null, 0.9, {{1, 2}, {0, 1}, {1, 0}})
      .Neuron(2, 1, Neuron::SIGM, 2.0, {{1, 1}, {2, 0}, {0, 2}})
      .Neuron(3, 0, Neuron::TH, 1.1, {{2, 1}, {0, 0}, {1, 1}})
      .Neuron(3, 1, Neuron::SIGM, 0.6, {{2, 0}, {3, 0}})
      .Build();
}

Perceptron WideAndThin() {
  // Layers whose blocks would be mostly zeros, so that the trainer reads them link by link:
  // errors pass back through such links too.
  NetBuilder b(13);
  b.Inputs(12);
  for (unsigned j = 0; j < 12; ++j) b.Neuron(1, j, Neuron::SIGM, 1.0, {{0, j}});
  for (unsigned j = 0; j < 12; ++j) {
    b.Neuron(2, j, j % 2 == 0 ? Neuron::TH : Neuron::SIGM, 0.9, {{1, j}, {0, (j + 5) % 12}});
  }
  return b.Neuron(3, 0, Neuron::SIGM, 1.1, {{2, 0}, {2, 11}, {0, 3}})
      .Neuron(3, 1, Neuron::TH, 0.7, {{2, 5}, {1, 7}})
      .Build();
}

// The sparse wide network of the benchmark: `width` inputs, `width` neurons reading one input
// each, one output reading them all.
Perceptron OneLinkEach(unsigned width) {
  NetBuilder b(14);
  b.Inputs(width);
  std::vector<From> all;
  for (unsigned j = 0; j < width; ++j) {
    b.Neuron(1, j, Neuron::SIGM, 1.0, {{0, j}});
    all.push_back({1, j});
  }
  return b.Neuron(2, 0, Neuron::SIGM, 1.0, all).Build();
}

TEST(GradientTest, ParametersFollowTheLinksOfSparseLayers) {
  const struct {
    const char* name;
    Perceptron net;
    std::size_t parameters;  // links and thresholds, and the zeros of dense blocks
    bool sparse_stage;
  } cases[] = {
      {"dense", DenseMixed(), 3 * 4 + 4 + 4 * 2 + 2, false},
      {"wide and thin", WideAndThin(), 12 + 12 + 24 + 12 + 5 + 2, true},
      // Dense blocks would take 3000 × 3000 weights here.
      {"3000 neurons reading one input each", OneLinkEach(3000), 3000 + 3000 + 3000 + 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const training::Layout layout = training::CompileLayout(c.net);
    EXPECT_EQ(layout.parameters, c.parameters);
    EXPECT_EQ(std::any_of(layout.stages.begin(), layout.stages.end(),
                          [](const training::Layout::Stage& s) { return s.sparse; }),
              c.sparse_stage);
  }
}

TEST(GradientTest, MatchesCentralDifferencesOfTheForwardPass) {
  const struct {
    const char* name;
    Perceptron (*make)();
    std::size_t rows;  // more than one chunk's worth tests adding chunks up
    double decay;      // adds ½ · decay · rows · Σ (weight or threshold)²
  } cases[] = {
      {"dense, every activation type", DenseMixed, 7, 0.0},
      {"sparse, within and across layers", SparseAcrossLayers, 600, 0.0},
      {"wide and thin, read link by link", WideAndThin, 150, 0.0},
      {"dense, weight decay", DenseMixed, 7, 0.3},
      {"sparse, weight decay", SparseAcrossLayers, 600, 1e-3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Perceptron net = c.make();
    const DataTable rows = testing::RandomRows(net, c.rows, 5);
    double sse = 0;
    const Perceptron gradient = training::GradientOf(net, rows, &sse, c.decay);
    EXPECT_NEAR(0.5 * sse, HalfSquaredError(net, rows), 1e-9 * c.rows);

    const double h = 1e-6;
    int checked = 0;
    for (const std::shared_ptr<Elem>& e : net.GetMPL()) {
      if (e->x == 0) continue;
      auto check = [&](double analytic, const auto& set, double value, const std::string& what) {
        set(value + h);
        const double up = HalfSquaredError(net, rows);
        set(value - h);
        const double down = HalfSquaredError(net, rows);
        set(value);
        const double penalty = c.decay * static_cast<double>(c.rows) * value;
        const double numeric = (up - down) / (2 * h) + penalty;
        EXPECT_NEAR(analytic, numeric, 1e-6 * std::max(1.0, std::abs(numeric)))
            << "element (" << e->x << ", " << e->y << ") " << what;
        ++checked;
      };
      const std::shared_ptr<Elem> g =
          gradient.getElem(static_cast<int>(e->x), static_cast<int>(e->y));
      ASSERT_NE(g, nullptr);
      check(
          g->kernel->getThreshold(), [&](double v) { net.setThreshold(e->x, e->y, v); },
          e->kernel->getThreshold(), "threshold");
      const std::vector<SynapseWeight> links = e->kernel->getSynapses();
      const std::vector<SynapseWeight> slopes = g->kernel->getSynapses();
      ASSERT_EQ(links.size(), slopes.size());
      for (std::size_t l = 0; l < links.size(); ++l) {
        const SynapseWeight& w = links[l];
        check(
            slopes[l].weight,
            [&](double v) {
              net.setWeight(e->x, e->y, static_cast<unsigned>(w.x), static_cast<unsigned>(w.y), v);
            },
            w.weight, "link from (" + std::to_string(w.x) + ", " + std::to_string(w.y) + ")");
      }
    }
    EXPECT_GT(checked, 20);
  }
}

}  // namespace
}  // namespace mplnet
