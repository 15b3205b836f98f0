// The compiled forward pass against the plain reading of the network: the same outputs, sums and
// link inputs to the bit, on random networks of every shape and after every kind of change.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/kernels.h"
#include "mplnet/engine.h"
#include "plain_reading.h"
#include "test_support.h"

namespace mplnet {
namespace {

using Elems = std::vector<std::shared_ptr<Elem>>;
using testing::PlainRun;

// The bits of a value; every NaN counts as one (a payload carries no meaning here).
std::uint64_t Bits(double v) {
  return std::isnan(v) ? 0x7FF8000000000000u : std::bit_cast<std::uint64_t>(v);
}

std::vector<std::uint64_t> Bits(const std::vector<double>& v) {
  std::vector<std::uint64_t> bits;
  bits.reserve(v.size());
  for (double d : v) bits.push_back(Bits(d));
  return bits;
}

// Everything a run leaves behind, in element order: outputs, sums, and every link's key and input.
// Each neuron is read through a copy: reading its own link table would hand its records out, and
// the neuron would leave the grouped pass for good.
std::vector<std::string> State(const Perceptron& p) {
  std::vector<std::string> state;
  for (const std::shared_ptr<Elem>& elem : p.GetMPL()) {
    if (elem->kernel == nullptr) {
      state.push_back("no neuron");
      continue;
    }
    const Neuron copy = *elem->kernel;
    std::string line =
        std::to_string(Bits(copy.getOutput())) + " " + std::to_string(Bits(copy.getSum()));
    for (const auto& [key, link] : copy.synapse_links) {
      line += " " + key + ":" + std::to_string(Bits(link.in));
    }
    state.push_back(line);
  }
  for (std::uint64_t bits : Bits(p.GetOutput())) state.push_back("out " + std::to_string(bits));
  return state;
}

// Kinds of network the generator makes.
enum class Shape { kDense, kSparse, kMixed, kCollisions };

// A random network; the same seed and shape always give the same network. Draws go through a
// seeded source, so two builds with one seed agree to the bit.
Perceptron MakeNetwork(unsigned seed, Shape shape) {
  testing::ScopedRandomSource draws(seed);
  std::mt19937 rng(seed);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto real = [&rng](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  auto chance = [&rng](double p) { return std::bernoulli_distribution(p)(rng); };

  std::vector<int> sizes;
  if (shape == Shape::kCollisions) {
    // (1, 10) and (11, 0) share the key "110"; (1, 23) and (12, 3) share "123".
    sizes = {3, 11, 2, 1, 1, 1, 1, 1, 1, 1, 1, 2, 4};
  } else {
    sizes.resize(static_cast<std::size_t>(pick(1, 4)));
    for (int& s : sizes) s = pick(shape == Shape::kDense ? 1 : 0, 9);
    sizes[0] = std::max(sizes[0], 1);
  }
  const int layers = static_cast<int>(sizes.size());
  Elems elems;
  for (int i = 0; i < layers; ++i) {
    // Now and then every dense neuron of a layer also reads one neuron of its own layer: those
    // before it read its previous output, those after it its new one.
    const bool dense = shape == Shape::kDense || (shape != Shape::kSparse && chance(0.7));
    const int own_source = shape != Shape::kDense && chance(0.4)
                               ? pick(0, std::max(sizes[static_cast<std::size_t>(i)] - 1, 0))
                               : -1;
    for (int j = 0; j < sizes[static_cast<std::size_t>(i)]; ++j) {
      if (shape == Shape::kCollisions && i == 11 && j == 0) continue;  // its key is (1, 10)'s
      const auto atype = static_cast<unsigned>(pick(0, 3));
      std::shared_ptr<Neuron> n;
      if (i > 0 && chance(0.15)) {
        n = std::make_shared<Neuron>(std::vector<Coordinate>{}, atype, 1.0);  // neuron type Null
      } else {
        n = std::make_shared<Neuron>();
        n->SetAttr(Neuron::ATTR_ATYPE, atype);
      }
      n->SetAttr(Neuron::ATTR_ALPHA, real(-3.0, 3.0));
      n->setThreshold(real(-1.0, 1.0));
      if (i == 0) {
        // Usually one link keyed (0, 0); sometimes none, extra links, or a non-input type.
        if (chance(0.2)) n->Add(pick(0, 3), pick(0, 9), real(-1.0, 1.0));
        if (!chance(0.1)) n->Add(0, 0, 1.0);
        if (chance(0.15)) n->Add(pick(0, 3), pick(0, 9), real(-1.0, 1.0));
        if (chance(0.1)) n->SetAttr(Neuron::ATTR_NTYPE, Neuron::NHiden);
      } else {
        if (!chance(0.1)) {
          n->SetAttr(Neuron::ATTR_NTYPE, chance(0.5) ? Neuron::NHiden : Neuron::NOutput);
        }
        if (dense) {
          for (int k = 0; k < sizes[static_cast<std::size_t>(i - 1)]; ++k) {
            n->Add(i - 1, k, real(-2.0, 2.0));
          }
          if (own_source >= 0) n->Add(i, own_source, real(-2.0, 2.0));
        }
        if (!dense || (shape != Shape::kDense && chance(0.2))) {
          // Links to anywhere: earlier and later layers, the same layer, itself, nowhere.
          for (int k = pick(0, 6); k > 0; --k) {
            n->Add(pick(0, layers + 1), pick(0, 11), real(-2.0, 2.0));
          }
        }
        if (shape == Shape::kCollisions) {
          n->Add(1, 10, real(-2.0, 2.0));
          n->Add(chance(0.5) ? 12 : 1, chance(0.5) ? 3 : 23, real(-2.0, 2.0));
        }
      }
      elems.push_back(
          std::make_shared<Elem>(Elem{static_cast<unsigned>(i), static_cast<unsigned>(j), n}));
    }
  }
  if (shape != Shape::kDense && elems.size() > 3) {
    // One neuron held by two elements: it runs once for each.
    if (chance(0.5)) elems[elems.size() - 1]->kernel = elems[elems.size() / 2]->kernel;
    // A link whose fields no longer match its key.
    if (chance(0.5)) {
      Neuron& n = *elems[elems.size() - 2]->kernel;
      if (!n.synapse_links.empty()) {
        SynapseWeight& link = n.synapse_links.begin()->second;
        link.x = pick(0, 2);
        link.y = pick(0, 3);
      }
    }
  }
  Perceptron p;
  p.SetMPL(elems);
  if (shape != Shape::kDense && chance(0.5) && p.GetLCount() > 1) {
    p.Del(1, 0);  // the first position of layer 1 is now missing
  }
  return p;
}

std::vector<double> RandomInputs(std::mt19937& rng, int input_count) {
  // Sometimes short: the elements beyond keep their outputs.
  const int n = std::uniform_int_distribution<int>(input_count / 2, input_count + 1)(rng);
  std::vector<double> in(static_cast<std::size_t>(n));
  for (double& v : in) v = std::uniform_real_distribution<double>(-3.0, 3.0)(rng);
  // Now and then an infinity: zero weights times it give NaN wherever a pass adds such a term.
  if (n > 0 && std::bernoulli_distribution(0.1)(rng)) {
    in[std::uniform_int_distribution<std::size_t>(0, in.size() - 1)(rng)] =
        std::bernoulli_distribution(0.5)(rng) ? HUGE_VAL : -HUGE_VAL;
  }
  return in;
}

// Runs 60 random networks of `shape` six times each, against the plain reading.
void RunRandomNetworks(Shape shape) {
  for (unsigned seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Perceptron planned = MakeNetwork(seed, shape);
    Perceptron reference = MakeNetwork(seed, shape);
    ASSERT_EQ(State(planned), State(reference));
    std::mt19937 rng(seed);
    for (int pass = 0; pass < 6; ++pass) {
      const std::vector<double> in = RandomInputs(rng, planned.GetNCount()[0]);
      planned.Run(in);
      PlainRun(reference, in);
      // Outputs every pass; the full state (which writes the link inputs back) only now and then,
      // so that inputs kept by the plan over several passes are compared too.
      ASSERT_EQ(Bits(planned.GetOutput()), Bits(reference.GetOutput())) << "pass " << pass;
      if (pass % 3 == 2) {
        ASSERT_EQ(State(planned), State(reference)) << "pass " << pass;
      }
    }
  }
}

class PlanEquivalenceTest : public ::testing::TestWithParam<Shape> {};

TEST_P(PlanEquivalenceTest, RandomNetworksMatchThePlainReadingToTheBit) {
  // Every kernel set this machine runs: the 32-bit DLL has the narrowest only.
  for (const internal::Kernels* kernels : internal::AvailableKernels()) {
    SCOPED_TRACE(kernels->name);
    internal::ChooseKernels(kernels);
    RunRandomNetworks(GetParam());
  }
  internal::ChooseKernels(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Shapes, PlanEquivalenceTest,
                         ::testing::Values(Shape::kDense, Shape::kSparse, Shape::kMixed,
                                           Shape::kCollisions));

TEST(PlanEquivalenceTest, CollidingPositionRunsTheElementUnderItsKey) {
  // Position (11, 0) resolves to the element under "110", which is (1, 10): it runs twice a pass.
  Perceptron p = MakeNetwork(7, Shape::kCollisions);
  ASSERT_EQ(p.GetNCount()[11], 1);
  ASSERT_EQ(p.getElem(11, 0), p.getElem(1, 10));
  Perceptron reference = MakeNetwork(7, Shape::kCollisions);
  for (int pass = 0; pass < 3; ++pass) {
    p.Run({0.5, -1.0, 2.0});
    PlainRun(reference, {0.5, -1.0, 2.0});
  }
  EXPECT_EQ(State(p), State(reference));
}

TEST(PlanEquivalenceTest, ExtremeValuesGiveTheSameBits) {
  // Overflowing sums, infinities, not-a-number and signed zeros go through the same operations.
  for (double weight : {1e308, -1e308, 0.0, -0.0}) {
    for (unsigned atype = 0; atype <= 3; ++atype) {
      auto build = [&] {
        Perceptron p = testing::MakeExampleNetwork();
        p.SetAttr(1, 0, Neuron::ATTR_ATYPE, atype);
        p.setWeight(1, 0, 0, 0, weight);
        p.setThreshold(1, 0, -0.0);
        return p;
      };
      Perceptron planned = build();
      Perceptron reference = build();
      for (const std::vector<double>& in :
           std::vector<std::vector<double>>{{1e308, 1e308},
                                            {-0.0, -0.0},
                                            {std::numeric_limits<double>::infinity(), 1.0},
                                            {std::numeric_limits<double>::quiet_NaN(), 0.0}}) {
        planned.Run(in);
        PlainRun(reference, in);
        ASSERT_EQ(State(planned), State(reference)) << weight << " " << atype;
      }
    }
  }
}

TEST(PlanEquivalenceTest, PerceptronsSharingElementsSeeEachOthersRuns) {
  // q holds p's elements; runs alternate, each reading outputs and link inputs the other one left.
  for (unsigned seed = 1; seed <= 30; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Shape shape = seed % 2 == 0 ? Shape::kMixed : Shape::kSparse;
    Perceptron p = MakeNetwork(seed, shape);
    Perceptron p_ref = MakeNetwork(seed, shape);
    Perceptron q, q_ref;
    q.SetMPL(p.GetMPL());
    q_ref.SetMPL(p_ref.GetMPL());
    std::mt19937 rng(seed);
    for (int pass = 0; pass < 8; ++pass) {
      const std::vector<double> in = RandomInputs(rng, p.GetNCount()[0]);
      const bool by_q = pass % 3 == 0;
      (by_q ? q : p).Run(in);
      PlainRun(by_q ? q_ref : p_ref, in);
      ASSERT_EQ(Bits(p.GetOutput()), Bits(p_ref.GetOutput())) << "pass " << pass;
      if (pass == 3 || pass == 7) {
        ASSERT_EQ(State(q), State(q_ref)) << "pass " << pass;
      }
    }
    // Dropping q's plan leaves what p fed last.
    q.SetMPL({});
    EXPECT_EQ(State(p), State(p_ref));
  }
}

TEST(PlanEquivalenceTest, LinkInputsAreThereForEveryReader) {
  Perceptron p = testing::MakeExampleNetwork();
  p.Run({1.0, 2.0});
  p.Run({3.0, 4.0});
  const Neuron& out = *p.getElem(1, 0)->kernel;
  EXPECT_EQ(out.synapse_links.find("00")->in, 3.0);
  EXPECT_EQ(out.synapse_links.find("01")->in, 4.0);
  // A copy of the neuron, and the neuron's own run, see them too.
  Neuron copy = *p.getElem(1, 0)->kernel;
  copy.Run();
  EXPECT_EQ(copy.getOutput(), out.getOutput());
  p.Run({5.0, 6.0});
  std::vector<double> inputs;
  for (const auto& [key, link] : p.getElem(0, 1)->kernel->synapse_links) inputs.push_back(link.in);
  EXPECT_EQ(inputs, std::vector<double>{6.0});
  // A network released with inputs still kept leaves them in the elements it shared.
  std::shared_ptr<Elem> kept;
  {
    Perceptron q = testing::MakeExampleNetwork();
    kept = q.getElem(1, 0);
    q.Run({7.0, 8.0});
  }
  EXPECT_EQ(kept->kernel->synapse_links.find("01")->in, 8.0);
}

TEST(PlanEquivalenceTest, RecordsKeptAcrossRunsAreLiveBothWays) {
  // A record taken from a link table and kept: what is written through it is seen by the next
  // run, and the input read through it after a run is that run's. Records taken before the first
  // run and between runs; through find, const find and iteration; of a hidden and an output
  // neuron, whose links come from a dense layer.
  struct Write {
    const char* name;
    void (*apply)(SynapseWeight&);
  };
  const Write writes[] = {
      {"nothing", [](SynapseWeight&) {}},
      {"weight", [](SynapseWeight& w) { w.weight = 2.0; }},
      {"x and y", [](SynapseWeight& w) { w.y = w.y == 0 ? 1 : 0; }},  // another source
      {"x and y to a missing source", [](SynapseWeight& w) { w.x = 9; }},
  };
  using Take = SynapseWeight* (*)(Neuron&);
  const std::pair<const char*, Take> takes[] = {
      {"find", [](Neuron& n) { return n.synapse_links.find(CoordinateKey(1, 1)); }},
      {"const find",
       [](Neuron& n) {
         return const_cast<SynapseWeight*>(std::as_const(n.synapse_links).find("01"));
       }},
      {"iteration", [](Neuron& n) { return &(n.synapse_links.begin() + 1)->second; }},
  };
  auto build = [] {
    testing::ScopedRandomSource draws(5);
    return Perceptron({2, 3, 1});
  };
  const std::vector<std::vector<double>> inputs = {{0.3, -1.2}, {-0.7, 2.5}, {1.5, 0.25}};
  for (const Write& write : writes) {
    for (const auto& [how, take] : takes) {
      for (int taken_after = 0; taken_after < 2; ++taken_after) {
        SCOPED_TRACE(std::string(write.name) + ", " + how + ", taken after run " +
                     std::to_string(taken_after));
        Perceptron planned = build();
        Perceptron reference = build();
        const int x = how[0] == 'c' ? 1 : 2;  // the const find takes the hidden neuron's record
        SynapseWeight* kept = nullptr;
        SynapseWeight* kept_ref = nullptr;
        for (std::size_t run = 0; run < inputs.size(); ++run) {
          if (static_cast<int>(run) == taken_after) {
            kept = take(*planned.getElem(x, 0)->kernel);
            kept_ref = take(*reference.getElem(x, 0)->kernel);
          }
          if (run == 2 && kept != nullptr) {
            write.apply(*kept);
            write.apply(*kept_ref);
          }
          planned.Run(inputs[run]);
          PlainRun(reference, inputs[run]);
          if (kept != nullptr) {
            ASSERT_EQ(Bits(kept->in), Bits(kept_ref->in)) << "run " << run;
          }
          ASSERT_EQ(Bits(planned.GetOutput()), Bits(reference.GetOutput())) << "run " << run;
        }
        EXPECT_EQ(State(planned), State(reference));
      }
    }
  }
}

// One kind of change made between two runs, applied alike to the planned network and the reference.
struct Change {
  const char* name;
  std::function<void(Perceptron&)> apply;
  bool changes_outputs = true;
};

std::vector<Change> Changes() {
  auto neuron = [](Perceptron& p, int x, int y) -> Neuron& { return *p.getElem(x, y)->kernel; };
  return {
      {"setWeight", [](Perceptron& p) { p.setWeight(2, 0, 1, 1, 3.5); }},
      {"random setWeight", [](Perceptron& p) { p.setWeight(2, 0, 1, 2); }},
      {"AddLink", [](Perceptron& p) { p.AddLink(2, 0, 0, 1, 0.75); }},
      {"DelLink", [](Perceptron& p) { p.DelLink(2, 0, 1, 0); }},
      {"SetAttr atype", [](Perceptron& p) { p.SetAttr(2, 0, Neuron::ATTR_ATYPE, Neuron::TH); }},
      {"SetAttr alpha", [](Perceptron& p) { p.SetAttr(1, 1, Neuron::ATTR_ALPHA, -4.0); }},
      {"SetAttr ntype", [](Perceptron& p) { p.SetAttr(1, 2, Neuron::ATTR_NTYPE, Neuron::NInput); }},
      {"setThreshold", [](Perceptron& p) { p.setThreshold(1, 0, 0.9); }},
      {"setActivationAll", [](Perceptron& p) { p.setActivationAll(Neuron::TH); }},
      {"Add", [](Perceptron& p) { p.Add(2, 1, Neuron::NOutput, Neuron::SIGM); }},
      {"Del", [](Perceptron& p) { p.Del(1, 2); }},
      {"input element loses its link", [](Perceptron& p) { p.DelLink(0, 1, 0, 0); }},
      {"SetMPL",
       [](Perceptron& p) {
         Elems elems = p.GetMPL();
         std::swap(elems[2]->kernel, elems[3]->kernel);
         p.SetMPL({elems.rbegin(), elems.rend()});
       }},
      {"weight through the link table",
       [neuron](Perceptron& p) { neuron(p, 2, 0).synapse_links.find("11")->weight = -2.0; }},
      {"weights through iteration",
       [neuron](Perceptron& p) {
         for (auto& [key, link] : neuron(p, 1, 1).synapse_links) link.weight *= -3.0;
       }},
      {"link added on the neuron", [neuron](Perceptron& p) { neuron(p, 1, 0).Add(1, 2, 1.5); }},
      {"link removed on the neuron", [neuron](Perceptron& p) { neuron(p, 1, 0).Del(0, 0); }},
      {"attribute on the neuron",
       [neuron](Perceptron& p) { neuron(p, 2, 0).SetAttr(Neuron::ATTR_ALPHA, 0.25); }},
      {"element's neuron replaced",
       [](Perceptron& p) {
         auto n = std::make_shared<Neuron>();
         n->SetAttr(Neuron::ATTR_NTYPE, Neuron::NHiden);
         n->SetAttr(Neuron::ATTR_ALPHA, 1.0);
         n->Add(0, 0, 2.0);
         p.getElem(1, 1)->kernel = n;
       }},
      {"element's neuron taken away", [](Perceptron& p) { p.getElem(1, 0)->kernel.reset(); }},
      {"neuron assigned over",
       [neuron](Perceptron& p) { neuron(p, 1, 2) = Neuron(neuron(p, 1, 0)); }},
      {"change through a perceptron sharing the elements",
       [](Perceptron& p) {
         Perceptron other;
         other.SetMPL(p.GetMPL());
         other.setWeight(2, 0, 1, 2, 4.0);
         other.setThreshold(1, 1, -0.5);
       }},
      {"element fields moved (positions come from keys)",
       [](Perceptron& p) {
         p.getElem(1, 0)->x = 7;
         p.getElem(1, 0)->y = 7;
       },
       false},
      {"link input fed by hand to an input element with a second link",
       [neuron](Perceptron& p) {
         neuron(p, 0, 0).Add(5, 5, 0.0);  // now last: the element passes on what (5, 5) holds
         neuron(p, 0, 0).setInput(9.0, 5, 5);
       }},
      {"neurons run by hand", [](Perceptron& p) { p.CalcNeuron(2, 0); }, false},
  };
}

TEST(PlanInvalidationTest, EveryChangeBetweenRunsShowsInTheNextRun) {
  // A 2-3-1 network; the plan is built and used before each change.
  auto build = [] {
    testing::ScopedRandomSource draws(5);
    return Perceptron({2, 3, 1});
  };
  for (const Change& change : Changes()) {
    SCOPED_TRACE(change.name);
    Perceptron planned = build();
    Perceptron reference = build();
    Perceptron unchanged = build();
    for (const std::vector<double>& in : {std::vector<double>{0.3, -1.2}, {0.3, -1.2}}) {
      planned.Run(in);
      PlainRun(reference, in);
      PlainRun(unchanged, in);
    }
    for (Perceptron* p : {&planned, &reference}) {
      testing::ScopedRandomSource draws(9);  // both sides draw the same numbers
      change.apply(*p);
    }
    const std::vector<double> in = {-0.7, 2.5};
    planned.Run(in);
    PlainRun(reference, in);
    PlainRun(unchanged, in);
    if (change.changes_outputs) {
      // The change matters: a plan that missed it would give the outputs of the unchanged network.
      EXPECT_NE(Bits(reference.GetOutput()), Bits(unchanged.GetOutput()));
    }
    EXPECT_EQ(State(planned), State(reference));
  }
}

}  // namespace
}  // namespace mplnet
