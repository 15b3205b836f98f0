// The network engine: links, neurons, and the perceptron that owns them.
//
// A network is a `Perceptron`: a set of elements (`Elem`), each a `Neuron` at a position (layer,
// index), plus a table of how many elements each layer holds. Elements and links are found through
// a coordinate key, the decimal digits of the two numbers written one after the other ("1" and "23"
// give "123"). Different pairs can share a key, and then the key, not the pair, decides identity:
// (1, 23) and (12, 3) are one link. Elements and links keep the order in which they were added.
//
// The engine does no training: weights come from a network file or from random draws. The classes
// take no locks; one caller at a time.
#ifndef MPLNET_ENGINE_H_
#define MPLNET_ENGINE_H_

#include <mplnet/export.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mplnet {

// The most layers a network holds, and the most elements a layer holds: a network file keeps
// positions as 16-bit numbers, 0 to kMostPositions - 1.
inline constexpr std::size_t kMostPositions = 65536;

// The coordinate key of a pair: the decimal digits of `x` followed directly by those of `y`.
MPLNET_API std::string CoordinateKey(std::int64_t x, std::int64_t y);

// Replaces the source of random draws process-wide; nullptr restores the default (a 50 ms pause,
// then a fresh generator seeded from the millisecond clock, one uniform value in [0, 1)).
MPLNET_API void SetRandomSource(std::function<double()> source);

class Synapse;
class Neuron;
class Perceptron;
// The engine's own access to the private state of the classes below, and what keeps a link
// table's values elsewhere for a while (the compiled forward pass): both are defined inside the
// library, not in the installed headers.
class EngineAccess;
class DeferredValues;

// A map from coordinate key to value that keeps the order of insertion. An entry inserted after a
// removal goes last.
//
// The values handed out by `find` and by iteration may be kept, read and written at any time, and
// stay valid until entries are inserted, removed or the map is assigned (as with std::vector). In a
// neuron's link table every such value is always current: a run writes its link inputs into the
// records, and reads their weights and sources afresh on every pass (docs/performance.md says what
// that costs). The neuron's own operations (`Synapse`, `Neuron`, `Perceptron`) hand nothing out.
//
// The library provides the map of link records, `OrderedMap<SynapseWeight>`.
template <typename T>
class OrderedMap {
 public:
  using value_type = std::pair<std::string, T>;
  using const_iterator = typename std::vector<value_type>::const_iterator;
  using iterator = typename std::vector<value_type>::iterator;

  OrderedMap() = default;
  // A copy has handed nothing out yet.
  OrderedMap(const OrderedMap& other);
  // The entries move with their memory, so whatever was handed out from `other` now points here.
  OrderedMap(OrderedMap&& other) noexcept;
  OrderedMap& operator=(const OrderedMap& other);
  OrderedMap& operator=(OrderedMap&& other) noexcept;
  ~OrderedMap();

  // Number of entries.
  std::size_t size() const { return entries_.size(); }
  // Whether there is no entry.
  bool empty() const { return entries_.empty(); }
  // Whether an entry has this key.
  bool contains(std::string_view key) const;
  // The value under `key`, or nullptr.
  const T* find(std::string_view key) const;
  // The value under `key` for changing, or nullptr.
  T* find(std::string_view key);
  // Adds an entry at the end; false, and nothing changes, when the key is taken (or the table
  // holds as many entries as it can number).
  bool insert(std::string key, T value);
  // Removes the entry under `key`; false when there is none.
  bool erase(std::string_view key);
  // Removes every entry.
  void clear();
  // Makes room for `count` entries in all, so that adding up to that many allocates nothing more.
  void reserve(std::size_t count);
  const_iterator begin() const;
  const_iterator end() const;
  // Iteration that may change values.
  iterator begin();
  iterator end();

 private:
  friend class EngineAccess;
  friend class Synapse;  // ForEachLink reads the records in place

  std::vector<value_type> entries_;
  // Beyond a few entries, an index: open addressing over entry positions counted from 1.
  std::vector<std::uint32_t> index_;
  // What tells the compiled forward pass whether the table changed or was handed out, and who
  // keeps some of its values elsewhere.
  mutable std::uint64_t stamp_ = 0;
  mutable bool handed_out_ = false;
  mutable DeferredValues* deferred_ = nullptr;
};

// An address of a neuron: layer and index.
struct Coordinate {
  int x = 0;  // layer of the neuron
  int y = 0;  // index of the neuron within its layer
};

// One incoming link of a neuron, identified by the neuron it comes from.
struct SynapseWeight {
  int x = 0;             // layer of the source neuron
  int y = 0;             // index of the source neuron in its layer
  double in = 0.0;       // the input value last fed through this link
  double weight = 0.0;   // the link's weight
  double delta_w = 0.0;  // weight change; kept for callers, never read by the engine
};

extern template class MPLNET_API OrderedMap<SynapseWeight>;

// The incoming links of a neuron, keyed by the coordinate key of their source.
class MPLNET_API Synapse {
 public:
  // The links in the order they were added.
  OrderedMap<SynapseWeight> synapse_links;

  // Adds a link from (_x, _y) with weight `_in` unless a link has that key already.
  void Add(int _x, int _y, double _in);
  // Adds a link from (_x, _y) with a random weight unless a link has that key already.
  void Add(int _x, int _y);
  // Removes the link with the key of (_x, _y), if any.
  void Del(int _x, int _y);
  // Sets the weight of the link with the key of (_x, _y); nothing if there is none.
  void SetWeight(int _x, int _y, double _in);
  // Whether a link has the key of (_x, _y).
  bool Exist(int _x, int _y) const;
  // Draws a new weight (one draw in every case) and gives it to the link, if it exists.
  bool InitSynapse(int _x, int _y);
  // One random draw, uniform in [0, 1).
  static double getRand();
  // A snapshot of the links in link order: `x`, `y` and `weight`, with `in` and `delta_w` 0.
  std::vector<SynapseWeight> getSynapses() const;
  // Calls `visit(x, y, weight)` for each link in link order; like getSynapses, it hands no record
  // out, and it copies nothing.
  template <typename Visit>
  void ForEachLink(Visit&& visit) const {
    // A link's source and weight are always current in its record (only link inputs are ever
    // kept elsewhere for a while), so the records are read as they stand.
    for (const auto& [key, link] : synapse_links.entries_) visit(link.x, link.y, link.weight);
  }
};

// A neuron: its incoming links, attributes, and the state of its last run.
class MPLNET_API Neuron : public Synapse {
 public:
  static constexpr unsigned ATTR_ATYPE = 0;  // attribute selector: activation type
  static constexpr unsigned ATTR_NTYPE = 1;  // attribute selector: neuron type
  static constexpr unsigned ATTR_ALPHA = 2;  // attribute selector: steepness
  static constexpr unsigned Null = 0;        // no activation type; no neuron type
  static constexpr unsigned TH = 1;          // activation: hyperbolic tangent
  static constexpr unsigned SIGM = 2;        // activation: logistic sigmoid
  static constexpr unsigned EXP = 3;         // activation computed like SIGM
  static constexpr unsigned NInput = 1;      // neuron type: input
  static constexpr unsigned NHiden = 2;      // neuron type: hidden
  static constexpr unsigned NOutput = 3;     // neuron type: output

  // An input neuron without links.
  Neuron();
  // An input neuron with its input link keyed (0, 0) of weight 1 (one random draw is spent on it).
  Neuron(unsigned _x, unsigned _y);
  // A neuron with a random threshold and random-weight links from (_layer, 0) … (_layer, _count −
  // 1).
  Neuron(unsigned _layer, unsigned _count, unsigned _atype, double _alpha);
  // A neuron with a random threshold and one random-weight link from each coordinate, in order.
  Neuron(const std::vector<Coordinate>& _links, unsigned _atype, double _alpha);

  // Sets an attribute; false, and nothing changes, for an unknown selector or a type out of range.
  bool SetAttr(unsigned _attr, double _param);
  // An attribute as a double; 0.0 for an unknown selector.
  double GetAttr(unsigned _attr) const;
  // Feeds `_in` through the link with the key of (_x, _y); nothing if there is none.
  void setInput(double _in, int _x, int _y);
  // Computes `sum` and `output` from the links' inputs.
  void Run();
  // The derivative of the activation, given an output value `_in` of this neuron.
  double dActive(double _in) const;
  double getOutput() const { return output; }
  double getSum() const { return sum; }
  double getThreshold() const { return threshold; }
  // Sets the threshold subtracted from the weighted sum.
  void setThreshold(double _in);
  // The number of links, as a double.
  double getCount() const { return static_cast<double>(synapse_links.size()); }

 private:
  friend class EngineAccess;
  MPLNET_HIDDEN double Active(double _in) const;

  double Alpha = 0.0;
  unsigned atype = Null;
  unsigned ntype = NInput;
  double threshold = 0.0;
  double output = 0.0;
  double sum = 0.0;
  std::uint64_t attr_stamp_ = 0;  // tells the compiled forward pass of a change to the above
};

// One element of a network: a neuron at a position.
struct Elem {
  unsigned x = 0;                  // layer, 0 = input layer
  unsigned y = 0;                  // index within the layer
  std::shared_ptr<Neuron> kernel;  // the element's neuron, shared with every holder
};

// The network: elements by coordinate key, in the order they were added, and the count per layer.
//
// `Run` compiles the network into flat arrays on first use and reuses them while nothing it depends
// on has changed (elements, links, weights, attributes, an element's neuron), wherever the change
// came from, a link record kept across runs included: what is written through it is seen by the
// next `Run`, and its `in` after a `Run` is that run's. A neuron whose link records were handed out
// (`synapse_links.find`, iteration) runs on its own from then on, reading its records on every
// pass; one changed only through the operations of `Synapse`, `Neuron` and `Perceptron` keeps the
// faster grouped pass. docs/performance.md gives the figures.
class MPLNET_API Perceptron {
 public:
  double SIGM_ALFA = 2.0;  // steepness of sigmoid neurons built with random links
  double TANH_ALFA = 0.5;  // steepness of tanh and exponential-type neurons built with random links

  // An empty network without layers.
  Perceptron();
  // A complete network with random weights: an input layer, hidden layers, an output layer.
  explicit Perceptron(const std::vector<int>& _ncount);
  // A copy holds the same elements (shared, not copied).
  Perceptron(const Perceptron& _other);
  Perceptron(Perceptron&& _other) noexcept;
  Perceptron& operator=(const Perceptron& _other);
  Perceptron& operator=(Perceptron&& _other) noexcept;
  ~Perceptron();

  // Adds an input element without links; false if the key is taken.
  bool Add(unsigned _x, unsigned _y);
  // Adds a non-input element linked to every index of the layer before; false if the key is taken,
  // `_x` is 0, or `_atype` is not TH, SIGM or EXP.
  bool Add(unsigned _x, unsigned _y, unsigned _ntype, unsigned _atype);
  // Removes the element; false if there is none. Links to it and the layer table stay.
  bool Del(unsigned _x, unsigned _y);
  // Sets an attribute of the element; false if there is no element or the neuron refuses.
  bool SetAttr(unsigned _x, unsigned _y, unsigned _attr, double _param);
  // An attribute of the element; 0.0 if there is no element.
  double GetAttr(unsigned _x, unsigned _y, unsigned _attr) const;
  // Sets the element's threshold; nothing if there is no element.
  void setThreshold(unsigned _x, unsigned _y, double _in);
  // Adds link (_x2, _y2) with weight `_in` to element (_x1, _y1) if it exists and lacks that key.
  void AddLink(unsigned _x1, unsigned _y1, unsigned _x2, unsigned _y2, double _in);
  // As above with a random weight.
  void AddLink(unsigned _x1, unsigned _y1, unsigned _x2, unsigned _y2);
  // Removes link (_x2, _y2) from element (_x1, _y1), if both exist.
  void DelLink(unsigned _x1, unsigned _y1, unsigned _x2, unsigned _y2);
  // The consumers of neuron (_x, _y): every element with a link of that key, in map order.
  std::vector<Coordinate> GetLinks(unsigned _x, unsigned _y) const;
  // Sets the weight of an existing link; creates nothing.
  void setWeight(unsigned _x1, unsigned _y1, unsigned _x2, unsigned _y2, double _in);
  // Gives the link a new random weight, creating it first when absent.
  void setWeight(unsigned _x1, unsigned _y1, unsigned _x2, unsigned _y2);
  // Sets the activation type of every element's neuron (values other than 0 to 3 change nothing).
  void setActivationAll(unsigned _func);
  // Replaces all elements and the layer table by the given elements, shared, in list order.
  void SetMPL(const std::vector<std::shared_ptr<Elem>>& _mpl);

  // The element with the key of (_x, _y), or nullptr.
  std::shared_ptr<Elem> getElem(int _x, int _y) const;
  // The number of layers.
  int GetLCount() const { return static_cast<int>(ncount.size()); }
  // A copy of the element count per layer.
  std::vector<int> GetNCount() const { return ncount; }
  // The element count of layer `_layer`; 0 for a layer beyond the table. Copies nothing.
  int GetLayerSize(int _layer) const {
    return _layer >= 0 && static_cast<std::size_t>(_layer) < ncount.size() ? ncount[_layer] : 0;
  }
  // The elements themselves (shared, not copies), in map order.
  std::vector<std::shared_ptr<Elem>> GetMPL() const;

  // The forward pass: layer by layer, index by index. Feeds only the inputs given; an element
  // missing from a layer's range is skipped and a link to a missing element feeds 0.
  void Run(const std::vector<double>& _in);
  // The same pass on the first `_count` values of `_in`; copies and allocates nothing once the
  // network is compiled.
  void Run(const double* _in, std::size_t _count);
  // Feeds an input element and runs it.
  void CalcNeuron(double _in, int _x, int _y);
  // Gathers the inputs of a non-input element from its sources and runs it.
  void CalcNeuron(int _x, int _y);
  // The outputs of the last layer, by index (0 for a missing element); empty without layers.
  std::vector<double> GetOutput() const;
  // Writes the outputs of the last layer into `_out`, which has room for that layer's count, and
  // returns the count; allocates nothing.
  int GetOutput(double* _out) const;

 private:
  class Plan;  // the compiled forward pass

  OrderedMap<std::shared_ptr<Elem>> mpl;
  std::vector<int> ncount;
  std::unique_ptr<Plan> plan_;
};

}  // namespace mplnet

#endif  // MPLNET_ENGINE_H_
