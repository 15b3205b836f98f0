// The engine's side of its public classes: what the engine's own code and the compiled forward pass
// reach that a user of mplnet/engine.h never calls. That is the settle-and-stamp protocol of the
// link and element tables, their index, and the private state of a neuron the compiled pass reads
// and writes.
//
// The protocol: every change to a table takes a new stamp from one process-wide counter, so two
// different states never carry the same stamp, even in two different tables, and a compiled pass
// knows its network is unchanged while the stamps it recorded still stand. A table that has handed
// its values out to a caller, who may keep them, says so (and takes a stamp the first time). A pass
// that keeps some of a table's values elsewhere registers as the table's holder of deferred values,
// and the table asks it to settle, writing them back, before anyone reads or changes its entries.
//
// The definitions of OrderedMap's operations live here too. The library instantiates the map of
// link records, which is part of its interface (engine/ordered_map.cpp); the engine's own tables
// and the tests' instantiate from this header.
#ifndef MPLNET_ENGINE_ENGINE_ACCESS_H_
#define MPLNET_ENGINE_ENGINE_ACCESS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mplnet/engine.h"

namespace mplnet {

// A holder that keeps some values of link tables elsewhere for a while and writes them back on
// demand: the compiled forward pass keeps the inputs it feeds through links in flat arrays.
class DeferredValues {
 public:
  // Writes every value kept elsewhere back into its table and lets go of all tables.
  virtual void Settle() noexcept = 0;

 protected:
  ~DeferredValues() = default;
};

namespace internal {
// A new stamp, never handed out before (engine/plan.cpp keeps the counter).
std::uint64_t NextStamp();

// The hash of a coordinate key, as the link and element tables store it.
inline std::uint32_t KeyHash(std::string_view s) {
  return static_cast<std::uint32_t>(std::hash<std::string_view>{}(s));
}
}  // namespace internal

class EngineAccess {
 public:
  // ---- A table's values for the engine's own use, which keeps no reference beyond the call.

  // The entries, settled.
  template <typename T>
  static const std::vector<typename OrderedMap<T>::value_type>& Own(const OrderedMap<T>& map) {
    Settle(map);
    return map.entries_;
  }
  // The value under `key`, settled, or nullptr.
  template <typename T>
  static const T* Peek(const OrderedMap<T>& map, std::string_view key) {
    Settle(map);
    const std::size_t pos = Locate(map, key);
    return pos == kAbsent ? nullptr : &map.entries_[pos].second;
  }
  // The value under `key` to change now, or nullptr; the change takes a stamp.
  template <typename T>
  static T* Change(OrderedMap<T>& map, std::string_view key) {
    T* found = const_cast<T*>(Peek(map, key));
    if (found != nullptr) TakeStamp(map);
    return found;
  }

  // ---- The protocol.

  // Values may be kept by a caller from now on. The first time takes a stamp, so that a compiled
  // pass built before sees the change and from then on reads this table afresh.
  template <typename T>
  static void HandOut(const OrderedMap<T>& map) {
    Settle(map);
    if (!map.handed_out_) {
      map.handed_out_ = true;
      TakeStamp(map);
    }
  }
  // Whether values were ever handed out.
  template <typename T>
  static bool HandedOut(const OrderedMap<T>& map) {
    return map.handed_out_;
  }
  // The stamp of the last change (or possible change); 0 for a map never changed.
  template <typename T>
  static std::uint64_t Stamp(const OrderedMap<T>& map) {
    return map.stamp_;
  }
  template <typename T>
  static void TakeStamp(const OrderedMap<T>& map) {
    map.stamp_ = internal::NextStamp();
  }
  // Asks the holder of values kept elsewhere, if any, to write them back now.
  template <typename T>
  static void Settle(const OrderedMap<T>& map) {
    if (map.deferred_ != nullptr) map.deferred_->Settle();
  }
  // The holder that keeps values of this map elsewhere, or nullptr.
  template <typename T>
  static DeferredValues* Deferred(const OrderedMap<T>& map) {
    return map.deferred_;
  }
  // Registers the holder that keeps values of this map elsewhere; nullptr when it has let go.
  template <typename T>
  static void SetDeferred(const OrderedMap<T>& map, DeferredValues* holder) {
    map.deferred_ = holder;
  }

  // ---- The index.

  // Up to this many entries a look-up compares keys one by one and there is no index.
  static constexpr std::size_t kLinearSearch = 8;
  static constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);
  // Slots number positions from 1 in 32 bits.
  static constexpr std::size_t kMostEntries = 0xFFFFFFFE;

  template <typename T>
  static std::size_t Locate(const OrderedMap<T>& map, std::string_view key) {
    if (map.index_.empty()) {
      for (std::size_t pos = 0; pos < map.entries_.size(); ++pos) {
        if (map.entries_[pos].first == key) return pos;
      }
      return kAbsent;
    }
    return Locate(map, key, internal::KeyHash(key));
  }
  template <typename T>
  static std::size_t Locate(const OrderedMap<T>& map, std::string_view key, std::uint32_t hash) {
    if (map.index_.empty()) return Locate(map, key);
    const std::size_t mask = map.index_.size() - 1;
    for (std::size_t i = hash & mask; map.index_[i] != 0; i = (i + 1) & mask) {
      const std::size_t pos = map.index_[i] - 1;
      if (map.entries_[pos].first == key) return pos;
    }
    return kAbsent;
  }
  // Indexes the entry just added, whose key is new.
  template <typename T>
  static void IndexLast(OrderedMap<T>& map, std::uint32_t hash) {
    const std::size_t count = map.entries_.size();
    if (map.index_.empty() && count <= kLinearSearch) return;
    if (count * 2 > map.index_.size()) {
      Rehash(map, SlotsFor(count));
      return;
    }
    Place(map, hash, count - 1);
  }
  // Builds the index afresh from the entries.
  template <typename T>
  static void Reindex(OrderedMap<T>& map) {
    map.index_.clear();
    if (map.entries_.size() <= kLinearSearch) return;
    Rehash(map, SlotsFor(map.entries_.size()));
  }
  // An index of `slots` slots over every entry: a power of two long and at most half full; 0
  // marks a free slot. No entry costs an allocation of its own, and a table of short keys stays
  // small: four bytes a slot.
  template <typename T>
  static void Rehash(OrderedMap<T>& map, std::size_t slots) {
    map.index_.assign(slots, 0);
    for (std::size_t pos = 0; pos < map.entries_.size(); ++pos) {
      Place(map, internal::KeyHash(map.entries_[pos].first), pos);
    }
  }
  // Puts the entry at `pos` into the first free slot from its hash on.
  template <typename T>
  static void Place(OrderedMap<T>& map, std::uint32_t hash, std::size_t pos) {
    const std::size_t mask = map.index_.size() - 1;
    std::size_t i = hash & mask;
    while (map.index_[i] != 0) i = (i + 1) & mask;
    map.index_[i] = static_cast<std::uint32_t>(pos + 1);
  }
  // Slots for `count` entries: a power of two, at least two per entry.
  static std::size_t SlotsFor(std::size_t count) {
    std::size_t slots = 32;
    while (slots < count * 2) slots *= 2;
    return slots;
  }

  // ---- A neuron's private state.

  // What the compiled forward pass reads and writes of a neuron.
  struct NeuronFields {
    double* output;
    double* sum;
    double threshold;
    double alpha;
    unsigned atype;
    unsigned ntype;
  };
  static NeuronFields FieldsOf(Neuron& neuron) {
    return {&neuron.output, &neuron.sum,  neuron.threshold,
            neuron.Alpha,   neuron.atype, neuron.ntype};
  }
  // Stamp of the last change to the neuron's attributes or threshold.
  static std::uint64_t AttrStamp(const Neuron& neuron) { return neuron.attr_stamp_; }
  static void TakeAttrStamp(Neuron& neuron) { neuron.attr_stamp_ = internal::NextStamp(); }
};

// ---- OrderedMap's operations.

template <typename T>
OrderedMap<T>::OrderedMap(const OrderedMap& other) {
  *this = other;
}

template <typename T>
OrderedMap<T>::OrderedMap(OrderedMap&& other) noexcept {
  *this = std::move(other);
}

template <typename T>
OrderedMap<T>& OrderedMap<T>::operator=(const OrderedMap& other) {
  if (this != &other) {
    EngineAccess::Settle(other);
    EngineAccess::Settle(*this);
    entries_ = other.entries_;
    index_ = other.index_;
    EngineAccess::TakeStamp(*this);
  }
  return *this;
}

template <typename T>
OrderedMap<T>& OrderedMap<T>::operator=(OrderedMap&& other) noexcept {
  if (this != &other) {
    EngineAccess::Settle(other);
    EngineAccess::Settle(*this);
    entries_ = std::move(other.entries_);
    index_ = std::move(other.index_);
    handed_out_ = handed_out_ || other.handed_out_;
    other.entries_.clear();
    other.index_.clear();
    EngineAccess::TakeStamp(*this);
    EngineAccess::TakeStamp(other);
  }
  return *this;
}

template <typename T>
OrderedMap<T>::~OrderedMap() {
  EngineAccess::Settle(*this);
}

template <typename T>
bool OrderedMap<T>::contains(std::string_view key) const {
  return EngineAccess::Locate(*this, key) != EngineAccess::kAbsent;
}

template <typename T>
const T* OrderedMap<T>::find(std::string_view key) const {
  const T* found = EngineAccess::Peek(*this, key);
  if (found != nullptr) EngineAccess::HandOut(*this);
  return found;
}

template <typename T>
T* OrderedMap<T>::find(std::string_view key) {
  T* found = const_cast<T*>(EngineAccess::Peek(*this, key));
  if (found != nullptr) EngineAccess::HandOut(*this);
  return found;
}

template <typename T>
bool OrderedMap<T>::insert(std::string key, T value) {
  EngineAccess::Settle(*this);
  const std::uint32_t hash = internal::KeyHash(key);
  if (EngineAccess::Locate(*this, key, hash) != EngineAccess::kAbsent ||
      entries_.size() >= EngineAccess::kMostEntries) {
    return false;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  EngineAccess::IndexLast(*this, hash);
  EngineAccess::TakeStamp(*this);
  return true;
}

template <typename T>
bool OrderedMap<T>::erase(std::string_view key) {
  EngineAccess::Settle(*this);
  const std::size_t pos = EngineAccess::Locate(*this, key);
  if (pos == EngineAccess::kAbsent) return false;
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(pos));
  EngineAccess::Reindex(*this);  // every later entry moved up by one
  EngineAccess::TakeStamp(*this);
  return true;
}

template <typename T>
void OrderedMap<T>::clear() {
  EngineAccess::Settle(*this);
  entries_.clear();
  index_.clear();
  EngineAccess::TakeStamp(*this);
}

template <typename T>
void OrderedMap<T>::reserve(std::size_t count) {
  EngineAccess::Settle(*this);
  if (count > entries_.capacity()) {
    entries_.reserve(count);
    EngineAccess::TakeStamp(*this);  // the entries moved
  }
  if (count > EngineAccess::kLinearSearch && count * 2 > index_.size()) {
    EngineAccess::Rehash(*this, EngineAccess::SlotsFor(count));
  }
}

// Iteration hands the entries out: a caller may keep them.
template <typename T>
typename OrderedMap<T>::const_iterator OrderedMap<T>::begin() const {
  EngineAccess::HandOut(*this);
  return entries_.begin();
}

template <typename T>
typename OrderedMap<T>::const_iterator OrderedMap<T>::end() const {
  EngineAccess::HandOut(*this);
  return entries_.end();
}

template <typename T>
typename OrderedMap<T>::iterator OrderedMap<T>::begin() {
  EngineAccess::HandOut(*this);
  return entries_.begin();
}

template <typename T>
typename OrderedMap<T>::iterator OrderedMap<T>::end() {
  EngineAccess::HandOut(*this);
  return entries_.end();
}

}  // namespace mplnet

#endif  // MPLNET_ENGINE_ENGINE_ACCESS_H_
