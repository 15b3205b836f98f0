// Building a network from layer sizes, and editing it element by element and link by link.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mplnet/engine.h"
#include "test_support.h"

namespace mplnet {
namespace {

using testing::ScopedRandomSource;

std::vector<std::pair<int, int>> Links(const Perceptron& p, int x, int y) {
  std::vector<std::pair<int, int>> links;
  for (const SynapseWeight& w : p.getElem(x, y)->kernel->getSynapses())
    links.emplace_back(w.x, w.y);
  return links;
}

std::vector<std::pair<int, int>> Pairs(const std::vector<Coordinate>& coords) {
  std::vector<std::pair<int, int>> pairs;
  for (const Coordinate& c : coords) pairs.emplace_back(c.x, c.y);
  return pairs;
}

TEST(LayerSizeConstructorTest, BuildsInputHiddenAndOutputLayers) {
  ScopedRandomSource source;
  const Perceptron p({2, 3, 1});
  EXPECT_EQ(source.draws(), 15);
  EXPECT_EQ(p.GetNCount(), (std::vector<int>{2, 3, 1}));
  for (int y = 0; y < 2; ++y) {
    EXPECT_EQ(p.GetAttr(0, y, Neuron::ATTR_NTYPE), Neuron::NInput);
    EXPECT_EQ(Links(p, 0, y), (std::vector<std::pair<int, int>>{{0, 0}}));
    EXPECT_EQ(p.getElem(0, y)->kernel->getThreshold(), 0.0);
  }
  for (int y = 0; y < 3; ++y) {
    EXPECT_EQ(p.GetAttr(1, y, Neuron::ATTR_NTYPE), Neuron::NHiden);
    EXPECT_EQ(p.GetAttr(1, y, Neuron::ATTR_ATYPE), Neuron::SIGM);
    EXPECT_EQ(p.GetAttr(1, y, Neuron::ATTR_ALPHA), 2.0);
    EXPECT_EQ(Links(p, 1, y), (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}}));
  }
  EXPECT_EQ(p.GetAttr(2, 0, Neuron::ATTR_NTYPE), Neuron::NOutput);
  EXPECT_EQ(Links(p, 2, 0), (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}, {1, 2}}));
}

TEST(LayerSizeConstructorTest, DrawsThresholdFirstThenLinksInIndexOrder) {
  double next = 0.0;
  SetRandomSource([&next] { return next += 0.01; });
  const Perceptron p({2, 3, 1});
  SetRandomSource(nullptr);
  // Draws 1 and 2 are the input links; (1, 0) takes 3 (threshold), 4 and 5 (links).
  const auto first_hidden = p.getElem(1, 0)->kernel;
  EXPECT_DOUBLE_EQ(first_hidden->getThreshold(), 0.03);
  EXPECT_DOUBLE_EQ(first_hidden->getSynapses()[0].weight, 0.04);
  EXPECT_DOUBLE_EQ(first_hidden->getSynapses()[1].weight, 0.05);
  EXPECT_DOUBLE_EQ(p.getElem(2, 0)->kernel->getThreshold(), 0.12);
  EXPECT_EQ(p.getElem(0, 0)->kernel->getSynapses()[0].weight, 0.01);
}

TEST(LayerSizeConstructorTest, UnusualSizes) {
  ScopedRandomSource source;
  struct Case {
    std::vector<int> sizes;
    std::vector<int> counts;
  };
  const Case cases[] = {
      {{}, {}},
      {{3}, {3}},
      {{3, 2, 0}, {3, 2}},
      {{0, 2}, {0, 2}},
      {{2, 0, 1}, {2, 0, 1}},
      {{2, -4, 1}, {2, 0, 1}},
  };
  for (const Case& c : cases) EXPECT_EQ(Perceptron(c.sizes).GetNCount(), c.counts);

  Perceptron single({3});
  single.Run({1.5, 2.5, 3.5});
  EXPECT_EQ(single.GetOutput(), (std::vector<double>{1.5, 2.5, 3.5}));

  const Perceptron ends_hidden({3, 2, 0});
  EXPECT_EQ(ends_hidden.GetAttr(1, 1, Neuron::ATTR_NTYPE), Neuron::NHiden);
  const Perceptron no_inputs({0, 2});
  EXPECT_EQ(no_inputs.getElem(1, 1)->kernel->getCount(), 0.0);
  const Perceptron gap({2, 0, 1});
  EXPECT_EQ(gap.getElem(2, 0)->kernel->getCount(), 0.0);
}

TEST(LayerSizeConstructorTest, CollidingPositionLosesTheLaterElement) {
  ScopedRandomSource source;
  std::vector<int> sizes(12, 1);
  sizes[1] = 11;
  sizes[11] = 2;
  const Perceptron p(sizes);
  ASSERT_EQ(p.GetLCount(), 12);
  EXPECT_EQ(p.GetNCount()[11], 1);  // (11, 0) has the key "110" of (1, 10); only (11, 1) is added
  EXPECT_EQ(p.getElem(11, 0)->x, 1u);
}

TEST(AddNeuronTest, ActivationTypeChoosesSteepness) {
  ScopedRandomSource source;
  struct Case {
    unsigned ntype, atype;
    bool added;
    double atype_after, alpha, ntype_after;
  };
  const Case cases[] = {
      {Neuron::NOutput, Neuron::TH, true, Neuron::TH, 0.5, Neuron::NOutput},
      {Neuron::NOutput, Neuron::EXP, true, Neuron::EXP, 0.5, Neuron::NOutput},
      {Neuron::NHiden, Neuron::SIGM, true, Neuron::SIGM, 2.0, Neuron::NHiden},
      {0, Neuron::SIGM, true, Neuron::SIGM, 2.0, Neuron::Null},
      {Neuron::NOutput, Neuron::Null, false, 0, 0, 0},
      {Neuron::NOutput, 4, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    Perceptron p({3});
    const int before = source.draws();
    EXPECT_EQ(p.Add(1, 0, c.ntype, c.atype), c.added);
    EXPECT_EQ(source.draws() - before, c.added ? 4 : 0);
    EXPECT_EQ(p.GetAttr(1, 0, Neuron::ATTR_ATYPE), c.atype_after);
    EXPECT_EQ(p.GetAttr(1, 0, Neuron::ATTR_ALPHA), c.alpha);
    EXPECT_EQ(p.GetAttr(1, 0, Neuron::ATTR_NTYPE), c.ntype_after);
    if (c.added) {
      EXPECT_EQ(Links(p, 1, 0), (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {0, 2}}));
    }
  }
}

TEST(AddNeuronTest, RefusesLayerZeroAndTakenKeysWithoutDrawing) {
  ScopedRandomSource source;
  Perceptron p({4});
  const int before = source.draws();
  EXPECT_FALSE(p.Add(0, 9, Neuron::NOutput, Neuron::SIGM));
  EXPECT_FALSE(p.Add(0, 1, Neuron::NOutput, Neuron::SIGM));
  EXPECT_EQ(source.draws(), before);
  EXPECT_TRUE(p.Add(3, 0, Neuron::NOutput, Neuron::SIGM));
  EXPECT_EQ(p.GetNCount(), (std::vector<int>{4, 0, 0, 1}));
  EXPECT_EQ(p.getElem(3, 0)->kernel->getCount(), 0.0);
  EXPECT_FALSE(p.Add(3, 0, Neuron::NOutput, Neuron::SIGM));
}

TEST(DelTest, RemovesElementButKeepsTableAndLinks) {
  ScopedRandomSource source;
  Perceptron p({2, 3, 1});
  EXPECT_TRUE(p.Del(2, 0));
  EXPECT_FALSE(p.Del(2, 0));
  EXPECT_EQ(p.GetNCount(), (std::vector<int>{2, 3, 0}));
  EXPECT_EQ(p.GetLCount(), 3);
  EXPECT_FALSE(p.Del(9, 0));
  EXPECT_EQ(p.GetLCount(), 3);
  EXPECT_TRUE(p.Del(1, 1));
  EXPECT_EQ(Links(p, 1, 2), (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}}));
  EXPECT_EQ(p.GetLinks(0, 0).size(), 4u);  // (0, 0), (0, 1), (1, 0), (1, 2)
}

TEST(DelTest, ElementAddedAfterRemovalGoesLast) {
  Perceptron p;
  p.Add(0, 0);
  p.Add(0, 1);
  p.Del(0, 0);
  p.Add(0, 0);
  const std::vector<std::shared_ptr<Elem>> elems = p.GetMPL();
  ASSERT_EQ(elems.size(), 2u);
  EXPECT_EQ(elems[0]->y, 1u);
  EXPECT_EQ(elems[1]->y, 0u);
}

TEST(DelTest, CollidingKeyLowersTheCountOfTheRemovedElementsLayer) {
  Perceptron p;
  p.Add(1, 12);
  EXPECT_TRUE(p.Del(11, 2));  // "112": removes (1, 12); layer 11 is not in the table
  EXPECT_EQ(p.GetNCount(), (std::vector<int>{0, 0}));
}

TEST(LinkEditingTest, GetLinksDelLinkAndSetWeight) {
  ScopedRandomSource source;
  Perceptron p({2, 3, 1});
  EXPECT_EQ(Pairs(p.GetLinks(0, 0)),
            (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 0}, {1, 1}, {1, 2}}));
  EXPECT_TRUE(p.GetLinks(2, 0).empty());

  p.setWeight(1, 0, 0, 1, 0.75);
  EXPECT_EQ(p.getElem(1, 0)->kernel->getSynapses()[1].weight, 0.75);
  p.setWeight(1, 0, 5, 5, 0.75);
  EXPECT_FALSE(p.getElem(1, 0)->kernel->Exist(5, 5));

  int before = source.draws();
  p.setWeight(1, 0, 0, 1);  // existing link: one draw
  EXPECT_EQ(source.draws() - before, 1);
  EXPECT_NE(p.getElem(1, 0)->kernel->getSynapses()[1].weight, 0.75);
  before = source.draws();
  p.setWeight(2, 0, 0, 0);  // new link across layers: two draws
  EXPECT_EQ(source.draws() - before, 2);
  EXPECT_EQ(Links(p, 2, 0).back(), (std::pair<int, int>{0, 0}));
  before = source.draws();
  p.setWeight(7, 7, 0, 0);
  EXPECT_EQ(source.draws(), before);

  p.DelLink(0, 0, 0, 0);
  p.DelLink(0, 0, 4, 4);
  p.DelLink(9, 9, 0, 0);
  p.Run({1.0, 2.0});
  p.Run({3.0, 4.0});
  EXPECT_EQ(p.getElem(0, 0)->kernel->getOutput(), 0.0);  // cut off from its input
  EXPECT_EQ(p.getElem(0, 1)->kernel->getOutput(), 4.0);
}

TEST(LinkEditingTest, CrossLayerLinkIsHonoured) {
  ScopedRandomSource source;
  Perceptron p({2, 3, 1});
  p.Run({1.0, 2.0});
  const double before = p.GetOutput()[0];
  p.setWeight(2, 0, 0, 0);
  p.setWeight(2, 0, 0, 0, 50.0);
  p.Run({1.0, 2.0});
  EXPECT_GT(p.GetOutput()[0], before);
}

TEST(AttributeEditingTest, SetActivationAllAndGetAttr) {
  ScopedRandomSource source;
  Perceptron p({2, 3, 1});
  p.setActivationAll(Neuron::TH);
  for (const auto& elem : p.GetMPL()) {
    EXPECT_EQ(elem->kernel->GetAttr(Neuron::ATTR_ATYPE), Neuron::TH);
  }
  EXPECT_EQ(p.GetAttr(1, 0, Neuron::ATTR_ALPHA), 2.0);
  EXPECT_EQ(p.GetAttr(0, 0, Neuron::ATTR_ALPHA), 0.0);
  p.setActivationAll(7);
  EXPECT_EQ(p.GetAttr(2, 0, Neuron::ATTR_ATYPE), Neuron::TH);
  EXPECT_EQ(p.GetAttr(9, 9, Neuron::ATTR_ATYPE), 0.0);
}

std::shared_ptr<Elem> MakeElem(unsigned x, unsigned y) {
  return std::make_shared<Elem>(Elem{x, y, std::make_shared<Neuron>()});
}

TEST(SetMplTest, RepeatedKeyIsReportedAndLeftOut) {
  Perceptron p;
  ::testing::internal::CaptureStdout();
  p.SetMPL({MakeElem(0, 0), MakeElem(0, 1), MakeElem(0, 1), MakeElem(2, 0), nullptr,
            std::make_shared<Elem>(Elem{1, 0, nullptr})});
  const std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(p.GetNCount(), (std::vector<int>{2, 0, 1}));
  EXPECT_EQ(p.GetMPL().size(), 3u);
  EXPECT_EQ(printed.rfind("Exception Des:\n   ", 0), 0u) << printed;
  EXPECT_EQ(printed.find("Exception Des:", 1), std::string::npos) << printed;
  EXPECT_EQ(printed.back(), '\n');

  p.SetMPL({});
  EXPECT_EQ(p.GetLCount(), 0);
}

TEST(SetMplTest, ElementsAreSharedBetweenPerceptrons) {
  ScopedRandomSource source;
  Perceptron p({2, 3, 1});
  Perceptron q;
  q.SetMPL(p.GetMPL());
  EXPECT_EQ(q.GetNCount(), p.GetNCount());
  q.setWeight(2, 0, 1, 0, 0.125);
  EXPECT_EQ(p.getElem(2, 0)->kernel->getSynapses()[0].weight, 0.125);
  q.SetAttr(1, 1, Neuron::ATTR_ALPHA, 9.0);
  EXPECT_EQ(p.GetAttr(1, 1, Neuron::ATTR_ALPHA), 9.0);
  p.Run({0.3, 0.7});
  q.Run({0.3, 0.7});
  EXPECT_EQ(p.GetOutput(), q.GetOutput());
}

}  // namespace
}  // namespace mplnet
