// The perceptron core: elements by key, the layer table, and the forward pass.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "mplnet/engine.h"
#include "test_support.h"

namespace mplnet {
namespace {

using testing::kExampleOutput;
using testing::MakeExampleNetwork;

TEST(PerceptronTest, AddKeepsKeysUniqueAndGrowsTheLayerTable) {
  Perceptron p;
  EXPECT_EQ(p.GetLCount(), 0);
  EXPECT_TRUE(p.Add(0, 0));
  EXPECT_FALSE(p.Add(0, 0));
  EXPECT_EQ(p.GetNCount(), std::vector<int>{1});

  Perceptron q;
  EXPECT_TRUE(q.Add(2, 0));
  EXPECT_EQ(q.GetNCount(), (std::vector<int>{0, 0, 1}));
  EXPECT_EQ(q.GetLCount(), 3);

  Perceptron r;
  EXPECT_TRUE(r.Add(11, 2));
  EXPECT_FALSE(r.Add(1, 12));  // both keys are "112"
  EXPECT_EQ(r.GetNCount()[1], 0);
  EXPECT_FALSE(r.Add(70000, 0));  // beyond any layer a network file can name
  EXPECT_EQ(r.GetLCount(), 12);
}

TEST(PerceptronTest, OperationsOnMissingElementsDoNothing) {
  Perceptron p;
  p.Add(0, 0);
  EXPECT_FALSE(p.SetAttr(3, 3, Neuron::ATTR_ALPHA, 1.0));
  EXPECT_TRUE(p.SetAttr(0, 0, Neuron::ATTR_ALPHA, 1.0));
  p.setThreshold(3, 3, 1.0);
  p.AddLink(3, 3, 0, 0, 1.0);
  EXPECT_EQ(p.getElem(3, 3), nullptr);
  EXPECT_EQ(p.GetMPL().size(), 1u);
  p.AddLink(0, 0, 0, 0, 2.0);
  p.AddLink(0, 0, 0, 0, 3.0);  // the key is taken: the first weight stays
  EXPECT_EQ(p.getElem(0, 0)->kernel->getSynapses()[0].weight, 2.0);
}

TEST(PerceptronTest, WorkedExampleGivesItsOutput) {
  Perceptron p = MakeExampleNetwork();
  p.Run({1.0, 2.0});
  const std::vector<double> out = p.GetOutput();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NEAR(out[0], kExampleOutput, 1e-15);
  p.Run({1.0, 2.0, 99.0});  // values beyond the input layer are ignored
  EXPECT_NEAR(p.GetOutput()[0], kExampleOutput, 1e-15);
}

TEST(PerceptronTest, InputElementWithoutItsLinkKeepsZero) {
  Perceptron p;
  p.Add(0, 0);
  p.Run({5.0});
  EXPECT_EQ(p.GetOutput(), std::vector<double>{0.0});
}

TEST(PerceptronTest, LinkToLaterElementReadsThePreviousPass) {
  // (1, 0) reads (1, 1), computed after it in the same pass; (1, 1) copies the input through a
  // sigmoid of steepness 0 weight, i.e. it always outputs 0.5 once run.
  Perceptron p;
  p.Add(0, 0);
  p.AddLink(0, 0, 0, 0, 1.0);
  for (unsigned y : {0u, 1u}) {
    p.Add(1, y);
    p.SetAttr(1, y, Neuron::ATTR_NTYPE, Neuron::NOutput);
    p.SetAttr(1, y, Neuron::ATTR_ATYPE, Neuron::SIGM);
    p.SetAttr(1, y, Neuron::ATTR_ALPHA, 1.0);
  }
  p.AddLink(1, 0, 1, 1, 1.0);
  p.AddLink(1, 1, 0, 0, 0.0);
  p.Run({1.0});
  EXPECT_EQ(p.GetOutput()[0], 0.5);  // sigmoid(0): (1, 1) still had output 0
  p.Run({1.0});
  EXPECT_DOUBLE_EQ(p.GetOutput()[0], 1.0 / (1.0 + std::exp(-0.5)));
}

TEST(PerceptronTest, MissingElementsSourcesAndInputsAreHandled) {
  Perceptron p = MakeExampleNetwork();
  p.Run({1.0, 2.0});
  // Fewer inputs than the input layer: the element beyond keeps its previous output (2).
  p.Run({1.0});
  EXPECT_NEAR(p.GetOutput()[0], kExampleOutput, 1e-15);
  p.Run({});
  EXPECT_NEAR(p.GetOutput()[0], kExampleOutput, 1e-15);

  // A link to an element that does not exist feeds 0.
  p.AddLink(1, 0, 5, 5, 100.0);
  p.Run({1.0, 2.0});
  EXPECT_NEAR(p.GetOutput()[0], kExampleOutput, 1e-15);

  // An element missing from its layer's range is skipped, and reads as 0 in the outputs.
  Perceptron q;
  q.Add(0, 0);
  q.Add(1, 1);  // layer 1 counts one element, but (1, 0) does not exist
  q.Run({1.0});
  EXPECT_EQ(q.GetOutput(), std::vector<double>{0.0});
  EXPECT_TRUE(Perceptron().GetOutput().empty());
  Perceptron().Run({1.0});
}

TEST(PerceptronTest, GetMplHandsOutTheLiveElements) {
  Perceptron p = MakeExampleNetwork();
  const std::vector<std::shared_ptr<Elem>> elems = p.GetMPL();
  ASSERT_EQ(elems.size(), 3u);
  EXPECT_EQ(elems[2]->x, 1u);
  elems[2]->kernel->setThreshold(0.0);
  p.Run({1.0, 2.0});
  EXPECT_DOUBLE_EQ(p.GetOutput()[0], 1.0 / (1.0 + std::exp(-2.0)));
}

TEST(PerceptronTest, ElementWhoseNeuronWasTakenAwayCountsAsMissing) {
  Perceptron p = MakeExampleNetwork();
  p.getElem(0, 1)->kernel.reset();
  p.Run({1.0, 2.0});  // (0, 1) feeds 0
  EXPECT_DOUBLE_EQ(p.GetOutput()[0], 1.0 / (1.0 + std::exp(-2.0 * (0.5 - 0.1))));
  EXPECT_EQ(p.GetAttr(0, 1, Neuron::ATTR_NTYPE), 0.0);
}

}  // namespace
}  // namespace mplnet
