// The structural checker that the trainer, `mplnet info`, `mplnet new` and the importers share:
// what it finds in a network, and the first shared coordinate key of layer sizes, computed without
// building the keys, against every key built.
#include "engine/structure_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace mplnet {
namespace {

// Inputs (0, 0) and (0, 1), fed through 0_0, and (1, 0) reading both.
Perceptron Sound() {
  Perceptron net;
  for (unsigned j = 0; j < 2; ++j) {
    net.Add(0, j);
    net.AddLink(0, j, 0, 0, 1.0);
  }
  net.Add(1, 0);
  net.SetAttr(1, 0, Neuron::ATTR_NTYPE, Neuron::NOutput);
  net.AddLink(1, 0, 0, 0, 0.5);
  net.AddLink(1, 0, 0, 1, -0.5);
  return net;
}

TEST(StructureCheckTest, FindsWhatTheForwardPassWouldMeet) {
  const struct {
    const char* fault;
    std::function<void(Perceptron&)> edit;
    StructureProblem problem;
    const char* text;
    std::size_t count = 1;  // the findings in all
  } cases[] = {
      {"a gap in a layer's range",
       [](Perceptron& n) {
         n.Add(1, 1);
         n.SetAttr(1, 1, Neuron::ATTR_NTYPE, Neuron::NOutput);
         n.Del(1u, 0u);
       },
       StructureProblem::kMissingPosition,
       "layer 1: position (1, 0) is missing; the forward pass skips it", 2},
      {"two elements holding one neuron",
       [](Perceptron& n) {
         std::vector<std::shared_ptr<Elem>> elems = n.GetMPL();
         elems[1] = std::make_shared<Elem>(Elem{0, 1, elems[0]->kernel});
         n.SetMPL(elems);
       },
       StructureProblem::kSharedNeuron, "element (0, 1) shares its neuron with another element"},
      {"an input element with a link after 0_0", [](Perceptron& n) { n.AddLink(0, 1, 0, 1, 1.0); },
       StructureProblem::kInputEntryNotLast, "input element (0, 1) has links after 0_0"},
      {"a computing element in layer 0",
       [](Perceptron& n) { n.SetAttr(0, 1, Neuron::ATTR_NTYPE, Neuron::NHiden); },
       StructureProblem::kInputLayerComputes,
       "element (0, 1) of the input layer has neuron type NHiden"},
      {"a link to a missing element", [](Perceptron& n) { n.AddLink(1, 0, 0, 5, 1.0); },
       StructureProblem::kLinkToNothing,
       "element (1, 0): the link from (0, 5) names no element and feeds 0"},
  };
  EXPECT_TRUE(CheckStructure(Sound()).empty());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Perceptron net = Sound();
    c.edit(net);
    const std::vector<StructureFinding> found = CheckStructure(net);
    std::string texts;
    for (const StructureFinding& f : found) texts += f.text + "\n";
    // The gap's removal also shrinks the layer's range, leaving (1, 1) beyond it.
    ASSERT_EQ(found.size(), c.count) << texts;
    EXPECT_EQ(found[0].problem, c.problem);
    EXPECT_NE(found[0].text.find(c.text), std::string::npos) << found[0].text;
  }
}

// The first position, in the order of layers and indices, whose key an earlier one holds, found by
// building every key.
std::optional<SharedKey> BuiltFirstSharedKey(const std::vector<std::size_t>& sizes) {
  std::map<std::string, std::pair<unsigned, unsigned>> seen;
  for (unsigned x = 0; x < sizes.size(); ++x) {
    for (unsigned y = 0; y < sizes[x]; ++y) {
      const auto [it, fresh] = seen.try_emplace(CoordinateKey(x, y), x, y);
      if (!fresh) return SharedKey{x, y, it->second.first, it->second.second};
    }
  }
  return std::nullopt;
}

TEST(StructureCheckTest, FirstSharedKeyIsTheOneEveryKeyBuiltShows) {
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<std::size_t> sizes(random() % 130 + 1);
    for (std::size_t& s : sizes) s = random() % 4 == 0 ? random() % 1500 + 1 : random() % 12 + 1;
    const std::optional<SharedKey> built = BuiltFirstSharedKey(sizes);
    const std::optional<SharedKey> computed = FirstSharedKey(sizes);
    ASSERT_EQ(computed.has_value(), built.has_value()) << "trial " << trial;
    if (!built) continue;
    EXPECT_EQ(std::tie(computed->x, computed->y, computed->first_x, computed->first_y),
              std::tie(built->x, built->y, built->first_x, built->first_y))
        << "trial " << trial;
  }
  EXPECT_EQ(SharedKeyText(*FirstSharedKey({1, 11, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1})),
            "position (11, 0) has the same coordinate key \"110\" as position (1, 10); the "
            "network cannot hold both");
}

}  // namespace
}  // namespace mplnet
