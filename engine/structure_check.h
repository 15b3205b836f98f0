// The structural checks of a network: what the forward pass relies on but neither the engine's
// editing calls nor a network file's reader enforce. Every position of a layer's range holds its
// own element with a neuron of its own, no element lies beyond its layer's range, input elements
// are input neurons fed through their last link 0_0 and no other element is one, and every link
// names the element it means.
//
// One checker for everyone who asks: the trainer refuses on the first finding, `mplnet info`
// reports them all, `mplnet new` and the importers refuse layer sizes whose coordinate keys
// collide. Compiled into the static core for the offline libraries and the tool; hosts never run
// it, so the DLL does not carry it.
#ifndef MPLNET_ENGINE_STRUCTURE_CHECK_H_
#define MPLNET_ENGINE_STRUCTURE_CHECK_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "mplnet/engine.h"

namespace mplnet {

// "(x, y)": a position as every message of ours shows it.
std::string PositionText(long long x, long long y);

// The name of a neuron type: "Null", "NInput", "NHiden" or "NOutput"; "?" for another number.
const char* NeuronTypeName(unsigned ntype);

// What a finding is about.
enum class StructureProblem {
  kMissingPosition,       // a position of a layer's range has no element
  kSharedKey,             // a position's coordinate key finds another element
  kNoNeuron,              // an element without its neuron
  kSharedNeuron,          // an element whose neuron another element holds too
  kBeyondRange,           // an element beyond its layer's range, never computed
  kInputLayerComputes,    // an element of layer 0 that is no input neuron
  kInputWithoutEntry,     // an input element without its 0_0 link
  kInputEntryNotLast,     // an input element with links after 0_0
  kInputBeyondLayerZero,  // an input neuron outside layer 0
  kLinkToNothing,         // a link naming no element
  kLinkThroughSharedKey,  // a link reaching another element through a shared key
};

// One problem: its kind, the position or element it concerns, and one sentence saying what the
// forward pass does about it.
struct StructureFinding {
  StructureProblem problem;
  unsigned x = 0;
  unsigned y = 0;
  std::string text;
};

// The problems of `net`, in the order of layers and positions, then of elements; empty when the
// forward pass computes every element of every layer from the elements its links name.
std::vector<StructureFinding> CheckStructure(const Perceptron& net);

// Two positions of one network whose coordinate keys (layer and index digits run together) are
// the same: the engine keeps one element for both.
struct SharedKey {
  unsigned x = 0;  // the later position, in the order of layers and indices
  unsigned y = 0;
  unsigned first_x = 0;  // the earlier position holding the same key
  unsigned first_y = 0;
};

// The first position of a network of these layer sizes (input layer first) whose coordinate key an
// earlier position has too; nullopt when every key is its own. Computed from the sizes alone,
// without building a key for each of millions of positions.
std::optional<SharedKey> FirstSharedKey(const std::vector<std::size_t>& sizes);

// "position (11, 0) has the same coordinate key "110" as (1, 10); a network cannot hold both".
std::string SharedKeyText(const SharedKey& shared);

}  // namespace mplnet

#endif  // MPLNET_ENGINE_STRUCTURE_CHECK_H_
