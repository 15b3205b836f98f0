// Links and neurons: identity by coordinate key, attributes, and a neuron's run.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "mplnet/engine.h"
#include "test_support.h"

namespace mplnet {
namespace {

using testing::ScopedRandomSource;

// The links in order, as the snapshot gives them; ForEachLink must give the same.
std::vector<std::pair<int, int>> LinkOrder(const Synapse& s) {
  std::vector<std::pair<int, int>> order;
  std::vector<double> weights;
  for (const SynapseWeight& w : s.getSynapses()) {
    order.emplace_back(w.x, w.y);
    weights.push_back(w.weight);
  }
  std::vector<std::pair<int, int>> visited;
  std::vector<double> visited_weights;
  s.ForEachLink([&](int x, int y, double weight) {
    visited.emplace_back(x, y);
    visited_weights.push_back(weight);
  });
  EXPECT_EQ(visited, order);
  EXPECT_EQ(visited_weights, weights);
  return order;
}

TEST(CoordinateKeyTest, DigitsRunTogether) {
  EXPECT_EQ(CoordinateKey(1, 0), "10");
  EXPECT_EQ(CoordinateKey(0, 12), "012");
  EXPECT_EQ(CoordinateKey(1, 23), CoordinateKey(12, 3));
  EXPECT_EQ(CoordinateKey(1, 10), CoordinateKey(11, 0));
}

TEST(SynapseTest, KeyDecidesIdentityAndFirstLinkStays) {
  Synapse s;
  s.Add(1, 23, 0.5);
  s.Add(12, 3, 0.75);
  ASSERT_EQ(s.synapse_links.size(), 1u);
  EXPECT_TRUE(s.Exist(12, 3));
  const std::vector<SynapseWeight> links = s.getSynapses();
  EXPECT_EQ(links[0].x, 1);
  EXPECT_EQ(links[0].y, 23);
  EXPECT_EQ(links[0].weight, 0.5);
}

TEST(SynapseTest, OrderOfAdditionKeptAndReAddedLinkGoesLast) {
  Synapse s;
  s.Add(0, 0, 1.0);
  s.Add(0, 1, 2.0);
  s.Add(0, 2, 3.0);
  s.Del(0, 0);
  s.Del(7, 7);  // missing: nothing happens
  s.Add(0, 0, 4.0);
  EXPECT_EQ(LinkOrder(s), (std::vector<std::pair<int, int>>{{0, 1}, {0, 2}, {0, 0}}));
  s.SetWeight(0, 2, 9.0);
  s.SetWeight(5, 5, 9.0);  // missing: creates nothing
  EXPECT_EQ(s.getSynapses()[1].weight, 9.0);
  EXPECT_FALSE(s.Exist(5, 5));
}

TEST(SynapseTest, RandomAddDrawsOnlyForANewLinkAndInitDrawsAlways) {
  ScopedRandomSource source;
  Synapse s;
  s.Add(0, 0);
  s.Add(0, 0);
  EXPECT_EQ(source.draws(), 1);
  EXPECT_TRUE(s.InitSynapse(0, 0));
  EXPECT_FALSE(s.InitSynapse(3, 3));
  EXPECT_EQ(source.draws(), 3);
  EXPECT_FALSE(s.Exist(3, 3));
}

TEST(SynapseTest, SnapshotCarriesNoInputsAndIsDetached) {
  Neuron n;
  n.Add(0, 0, 0.5);
  n.setInput(3.5, 0, 0);
  std::vector<SynapseWeight> snapshot = n.getSynapses();
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot[0].in, 0.0);
  EXPECT_EQ(snapshot[0].delta_w, 0.0);
  snapshot[0].weight = 7.0;
  EXPECT_EQ(n.getSynapses()[0].weight, 0.5);
  EXPECT_EQ(n.synapse_links.find("00")->in, 3.5);
}

TEST(SynapseTest, DefaultRandomDrawLiesInUnitInterval) {
  SetRandomSource(nullptr);
  const double draw = Synapse::getRand();  // the one real 50 ms pause of the suite
  EXPECT_GE(draw, 0.0);
  EXPECT_LT(draw, 1.0);
}

TEST(NeuronTest, ConstructorsSetTypesLinksAndDraws) {
  ScopedRandomSource source;
  const Neuron input;
  EXPECT_EQ(input.GetAttr(Neuron::ATTR_NTYPE), Neuron::NInput);
  EXPECT_EQ(input.getCount(), 0.0);
  EXPECT_EQ(source.draws(), 0);

  const Neuron fed(4, 5);
  EXPECT_EQ(source.draws(), 1);
  ASSERT_EQ(fed.getCount(), 1.0);
  EXPECT_EQ(fed.getSynapses()[0].weight, 1.0);
  EXPECT_EQ(fed.getThreshold(), 0.0);

  const Neuron layered(1, 3, Neuron::TH, 0.5);
  EXPECT_EQ(source.draws(), 1 + 4);  // threshold first, then one per link
  EXPECT_EQ(LinkOrder(layered), (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {1, 2}}));
  EXPECT_EQ(layered.GetAttr(Neuron::ATTR_NTYPE), Neuron::Null);
  EXPECT_EQ(layered.GetAttr(Neuron::ATTR_ATYPE), Neuron::TH);
  EXPECT_EQ(layered.GetAttr(Neuron::ATTR_ALPHA), 0.5);

  const Neuron listed({{27, 0}, {0, 1}, {2, 70}}, Neuron::SIGM, 2.0);  // (2, 70) collides
  EXPECT_EQ(source.draws(), 5 + 3);
  EXPECT_EQ(LinkOrder(listed), (std::vector<std::pair<int, int>>{{27, 0}, {0, 1}}));
}

TEST(NeuronTest, SetAttrAcceptsAndRefusesAsTheTypesAllow) {
  struct Case {
    unsigned attr;
    double param;
    bool accepted;
    double atype, ntype, alpha;  // attributes afterwards, starting from an input neuron
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {Neuron::ATTR_NTYPE, 0, false, 0, 1, 0},
      {Neuron::ATTR_NTYPE, 3, true, 0, 3, 0},
      {Neuron::ATTR_NTYPE, 4, false, 0, 1, 0},
      {Neuron::ATTR_NTYPE, 2.7, true, 0, 2, 0},
      {Neuron::ATTR_ATYPE, 0, true, 0, 1, 0},
      {Neuron::ATTR_ATYPE, 2.9, true, 2, 1, 0},
      {Neuron::ATTR_ATYPE, 4, false, 0, 1, 0},
      {Neuron::ATTR_ATYPE, -1, false, 0, 1, 0},
      {Neuron::ATTR_ATYPE, nan, false, 0, 1, 0},
      {Neuron::ATTR_ATYPE, inf, false, 0, 1, 0},
      {Neuron::ATTR_ATYPE, 1e300, false, 0, 1, 0},
      {Neuron::ATTR_ALPHA, -2.5, true, 0, 1, -2.5},
      {7, 1, false, 0, 1, 0},
  };
  for (const Case& c : cases) {
    Neuron n;
    EXPECT_EQ(n.SetAttr(c.attr, c.param), c.accepted) << c.attr << " " << c.param;
    EXPECT_EQ(n.GetAttr(Neuron::ATTR_ATYPE), c.atype) << c.attr << " " << c.param;
    EXPECT_EQ(n.GetAttr(Neuron::ATTR_NTYPE), c.ntype) << c.attr << " " << c.param;
    EXPECT_EQ(n.GetAttr(Neuron::ATTR_ALPHA), c.alpha) << c.attr << " " << c.param;
    EXPECT_EQ(n.GetAttr(7), 0.0);
  }
}

Neuron HiddenNeuron(unsigned atype, double alpha) {
  Neuron n;
  n.SetAttr(Neuron::ATTR_NTYPE, Neuron::NHiden);
  n.SetAttr(Neuron::ATTR_ATYPE, atype);
  n.SetAttr(Neuron::ATTR_ALPHA, alpha);
  n.setThreshold(0.1);
  n.Add(0, 0, 0.5);
  n.Add(0, 1, 0.25);
  n.setInput(1.0, 0, 0);
  n.setInput(2.0, 0, 1);
  return n;
}

TEST(NeuronTest, RunComputesWeightedSumMinusThresholdThenActivation) {
  struct Case {
    unsigned atype;
    double alpha;
    double output;
  };
  const Case cases[] = {
      {Neuron::SIGM, 2.0, 0.8581489350995123},
      {Neuron::EXP, 2.0, 0.8581489350995123},
      {Neuron::Null, 2.0, 0.8581489350995123},
      {Neuron::TH, 0.5, std::tanh(0.45)},
  };
  for (const Case& c : cases) {
    Neuron n = HiddenNeuron(c.atype, c.alpha);
    n.Run();
    EXPECT_DOUBLE_EQ(n.getSum(), 0.9);
    EXPECT_NEAR(n.getOutput(), c.output, 1e-15) << c.atype;
  }
  EXPECT_NEAR(std::tanh(0.45), 0.421899, 1e-6);
}

TEST(NeuronTest, DerivativeFollowsTheActivationType) {
  EXPECT_DOUBLE_EQ(HiddenNeuron(Neuron::TH, 0.5).dActive(0.5), 0.5 * 0.5 * 1.5);
  EXPECT_DOUBLE_EQ(HiddenNeuron(Neuron::SIGM, 2.0).dActive(0.25), 2.0 * 0.25 * 0.75);
  EXPECT_DOUBLE_EQ(HiddenNeuron(Neuron::EXP, 2.0).dActive(0.25), 2.0 * 0.25 * 0.75);
}

TEST(NeuronTest, InputNeuronPassesItsFedValueOn) {
  Neuron in;
  in.Add(0, 0, -42.0);  // the weight plays no part
  in.setInput(3.5, 0, 0);
  in.Run();
  EXPECT_EQ(in.getOutput(), 3.5);
  EXPECT_EQ(in.getSum(), 0.0);

  in.Add(0, 1, 1.0);  // several links: the last one in link order wins
  in.setInput(6.0, 0, 1);
  in.Run();
  EXPECT_EQ(in.getOutput(), 6.0);

  Neuron unlinked;
  unlinked.setInput(9.0, 0, 0);
  unlinked.Run();
  unlinked.Run();
  EXPECT_EQ(unlinked.getOutput(), 0.0);
}

}  // namespace
}  // namespace mplnet
