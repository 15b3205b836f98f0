// The ordered link map against a plain model: order of insertion, look-ups through its index as it
// grows past the size searched key by key, removals, reservations and copies.
#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine_access.h"  // the operations of OrderedMap<int>
#include "mplnet/engine.h"

namespace mplnet {
namespace {

using Model = std::vector<std::pair<std::string, int>>;

int* FindIn(Model& model, const std::string& key) {
  for (auto& [k, v] : model) {
    if (k == key) return &v;
  }
  return nullptr;
}

// Entries in order, and every key of the key space found exactly where the model has it.
void ExpectSame(const OrderedMap<int>& map, Model& model, int key_space) {
  ASSERT_EQ(map.size(), model.size());
  std::size_t i = 0;
  for (const auto& [key, value] : map) {
    EXPECT_EQ(key, model[i].first);
    EXPECT_EQ(value, model[i].second);
    ++i;
  }
  for (int k = 0; k < key_space; ++k) {
    const std::string key = std::to_string(k);
    const int* expected = FindIn(model, key);
    const int* found = map.find(key);
    ASSERT_EQ(found != nullptr, expected != nullptr) << "key " << key;
    EXPECT_EQ(map.contains(key), expected != nullptr);
    if (found != nullptr) {
      EXPECT_EQ(*found, *expected);
    }
  }
}

TEST(OrderedMapTest, RandomEditsAgreeWithAPlainModel) {
  struct Shape {
    int key_space;  // keys are the numbers below it
    int steps;
    int erase_per_mille;
  };
  // From tables searched key by key to ones indexed and grown several times, with and without
  // many removals (each of which rebuilds the index).
  for (const Shape shape :
       {Shape{6, 200, 300}, Shape{40, 400, 200}, Shape{700, 3000, 100}, Shape{5000, 6000, 20}}) {
    SCOPED_TRACE(shape.key_space);
    std::mt19937 rng(static_cast<unsigned>(shape.key_space));
    OrderedMap<int> map;
    Model model;
    for (int step = 0; step < shape.steps; ++step) {
      const std::string key = std::to_string(rng() % static_cast<unsigned>(shape.key_space));
      if (static_cast<int>(rng() % 1000) < shape.erase_per_mille) {
        const bool present = FindIn(model, key) != nullptr;
        EXPECT_EQ(map.erase(key), present);
        std::erase_if(model, [&](const auto& entry) { return entry.first == key; });
      } else {
        const bool fresh = FindIn(model, key) == nullptr;
        EXPECT_EQ(map.insert(key, step), fresh);
        if (fresh) model.emplace_back(key, step);
      }
    }
    ExpectSame(map, model, shape.key_space);
    const OrderedMap<int> copy = map;
    ExpectSame(copy, model, shape.key_space);
    OrderedMap<int> moved = std::move(map);
    ExpectSame(moved, model, shape.key_space);
    // A move leaves the source empty and usable.
    EXPECT_TRUE(map.empty());  // NOLINT(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
    EXPECT_FALSE(map.contains("0"));  // NOLINT(clang-analyzer-cplusplus.Move)
  }
}

TEST(OrderedMapTest, ReservedTableFindsEveryEntryAtEverySize) {
  // A reservation builds the index early, while the table is still small enough to be searched
  // key by key; each entry added afterwards must still be found.
  for (const std::size_t reserved : {std::size_t{3}, std::size_t{9}, std::size_t{100}}) {
    SCOPED_TRACE(reserved);
    OrderedMap<int> map;
    map.insert("a", -1);
    map.reserve(reserved);
    Model model{{"a", -1}};
    for (int k = 0; k < 150; ++k) {
      ASSERT_TRUE(map.insert(std::to_string(k), k));
      model.emplace_back(std::to_string(k), k);
      ASSERT_NE(map.find(std::to_string(k)), nullptr) << k;
      ASSERT_NE(map.find("a"), nullptr) << k;
    }
    EXPECT_FALSE(map.insert("77", 0));
    ExpectSame(map, model, 150);
    map.clear();
    EXPECT_EQ(map.find("5"), nullptr);
    EXPECT_TRUE(map.insert("5", 5));
    EXPECT_EQ(*map.find("5"), 5);
  }
}

}  // namespace
}  // namespace mplnet
