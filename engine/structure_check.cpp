#include "engine/structure_check.h"

#include <algorithm>
#include <array>
#include <memory>
#include <unordered_set>

namespace mplnet {
namespace {

bool IsInputNeuron(const Neuron& n) {
  return static_cast<unsigned>(n.GetAttr(Neuron::ATTR_NTYPE)) == Neuron::NInput;
}

// Checks of each position of every layer's range: the forward pass runs exactly these.
void CheckPositions(const Perceptron& net, std::vector<StructureFinding>& found) {
  const std::vector<int> counts = net.GetNCount();
  for (std::size_t i = 0; i < counts.size(); ++i) {
    for (int j = 0; j < counts[i]; ++j) {
      const auto x = static_cast<unsigned>(i);
      const auto y = static_cast<unsigned>(j);
      const std::shared_ptr<Elem> e = net.getElem(static_cast<int>(x), j);
      const std::string where = "layer " + std::to_string(i) + ": position " + PositionText(x, y);
      if (e == nullptr) {
        found.push_back({StructureProblem::kMissingPosition, x, y,
                         where + " is missing; the forward pass skips it"});
      } else if (e->x != x || e->y != y) {
        found.push_back({StructureProblem::kSharedKey, x, y,
                         where + " has the coordinate key of " + PositionText(e->x, e->y) +
                             ", which the forward pass finds in its place"});
      }
    }
  }
}

// Checks of an input element: an input neuron, fed through its last link 0_0.
void CheckInputElement(const Elem& e, std::vector<StructureFinding>& found) {
  const Neuron& neuron = *e.kernel;
  const std::string element = PositionText(e.x, e.y);
  if (!IsInputNeuron(neuron)) {
    found.push_back({StructureProblem::kInputLayerComputes, e.x, e.y,
                     "element " + element + " of the input layer has neuron type " +
                         NeuronTypeName(static_cast<unsigned>(neuron.GetAttr(Neuron::ATTR_NTYPE))) +
                         ": it computes an activation of its input instead of passing it on"});
    return;
  }
  const std::vector<SynapseWeight> links = neuron.getSynapses();
  const auto is_entry = [](const SynapseWeight& w) { return CoordinateKey(w.x, w.y) == "00"; };
  if (std::none_of(links.begin(), links.end(), is_entry)) {
    found.push_back({StructureProblem::kInputWithoutEntry, e.x, e.y,
                     "input element " + element +
                         " has no 0_0 link: it never receives its input and outputs 0"});
  } else if (!is_entry(links.back())) {
    found.push_back(
        {StructureProblem::kInputEntryNotLast, e.x, e.y,
         "input element " + element +
             " has links after 0_0: it passes on the last one's value (0) instead of its input"});
  }
}

// Checks of an element beyond the input layer: it computes, from the elements its links name.
void CheckComputingElement(const Perceptron& net, const Elem& e,
                           std::vector<StructureFinding>& found) {
  const std::string element = PositionText(e.x, e.y);
  if (IsInputNeuron(*e.kernel)) {
    // The message stays in one piece, as a user would search for it.
    // clang-format off
    found.push_back({StructureProblem::kInputBeyondLayerZero, e.x, e.y, "element " + element +
        " beyond the input layer is an input neuron: it passes on its last link's value instead of computing"});
    // clang-format on
  }
  for (const SynapseWeight& w : e.kernel->getSynapses()) {
    const std::shared_ptr<Elem> source = net.getElem(w.x, w.y);
    const std::string from = PositionText(w.x, w.y);
    if (source == nullptr) {
      found.push_back(
          {StructureProblem::kLinkToNothing, e.x, e.y,
           "element " + element + ": the link from " + from + " names no element and feeds 0"});
    } else if (static_cast<int>(source->x) != w.x || static_cast<int>(source->y) != w.y) {
      found.push_back({StructureProblem::kLinkThroughSharedKey, e.x, e.y,
                       "element " + element + ": the link from " + from + " reads " +
                           PositionText(source->x, source->y) +
                           ", which has the same coordinate key"});
    }
  }
}

}  // namespace

// Built by appending: GCC 12 warns falsely (-Wrestrict) on "literal" + std::to_string(...).
std::string PositionText(long long x, long long y) {
  std::string text = "(";
  text += std::to_string(x);
  text += ", ";
  text += std::to_string(y);
  text += ')';
  return text;
}

const char* NeuronTypeName(unsigned ntype) {
  static constexpr std::array<const char*, 4> kNames = {"Null", "NInput", "NHiden", "NOutput"};
  return ntype < kNames.size() ? kNames[ntype] : "?";
}

std::vector<StructureFinding> CheckStructure(const Perceptron& net) {
  std::vector<StructureFinding> found;
  CheckPositions(net, found);
  const std::vector<int> counts = net.GetNCount();
  std::unordered_set<const Neuron*> neurons;
  for (const std::shared_ptr<Elem>& e : net.GetMPL()) {
    if (e == nullptr) continue;
    const std::string element = PositionText(e->x, e->y);
    if (e->kernel == nullptr) {
      found.push_back({StructureProblem::kNoNeuron, e->x, e->y,
                       "element " + element + " has no neuron: the forward pass cannot run it"});
      continue;
    }
    if (!neurons.insert(e->kernel.get()).second) {
      found.push_back({StructureProblem::kSharedNeuron, e->x, e->y,
                       "element " + element +
                           " shares its neuron with another element: a pass computes it twice"});
    }
    const int count = e->x < counts.size() ? counts[e->x] : 0;
    if (static_cast<int>(e->y) >= count) {
      found.push_back({StructureProblem::kBeyondRange, e->x, e->y,
                       "element " + element + " lies beyond the range of layer " +
                           std::to_string(e->x) + " (" + std::to_string(count) +
                           (count == 1 ? " position" : " positions") +
                           "): the forward pass never computes it"});
    }
    if (e->x == 0) {
      CheckInputElement(*e, found);
    } else {
      CheckComputingElement(net, *e, found);
    }
  }
  return found;
}

std::optional<SharedKey> FirstSharedKey(const std::vector<std::size_t>& sizes) {
  // Positions (a, j) and (b, k) with a < b share a key only when a's digits begin b's and the rest
  // of b's digits, r (not starting with 0), begin j's: then j is at least r followed by a 0, and
  // k = 0 collides whenever any k does. So the first collision, in the order of layers and indices,
  // is at (b, 0) for the lowest such b with a layer a of more than 10 * r elements, and the earlier
  // position is (a, 10 * r) for the lowest such a.
  for (std::size_t b = 10; b < sizes.size(); ++b) {
    const std::string digits = std::to_string(b);
    for (std::size_t cut = 1; cut < digits.size(); ++cut) {
      if (digits[cut] == '0') continue;
      const std::size_t a = std::stoul(digits.substr(0, cut));
      const std::size_t rest = std::stoul(digits.substr(cut));
      if (sizes[a] > 10 * rest) {
        return SharedKey{static_cast<unsigned>(b), 0, static_cast<unsigned>(a),
                         static_cast<unsigned>(10 * rest)};
      }
    }
  }
  return std::nullopt;
}

std::string SharedKeyText(const SharedKey& shared) {
  return "position " + PositionText(shared.x, shared.y) + " has the same coordinate key \"" +
         CoordinateKey(shared.x, shared.y) + "\" as position " +
         PositionText(shared.first_x, shared.first_y) + "; the network cannot hold both";
}

}  // namespace mplnet
