#include "storage/src/tree_store/page_store/lru_cache.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace storage {
namespace {

std::vector<uint64_t> drain(LRUCache<int>& c) {
  std::vector<uint64_t> order;
  while (auto e = c.pop_lowest_priority()) order.push_back(e->first);
  return order;
}

TEST(LRUCacheTest, SecondChance) {
  LRUCache<int> c;
  for (uint64_t k : {1, 2, 3}) EXPECT_FALSE(c.insert(k, static_cast<int>(k) * 10).has_value());
  ASSERT_NE(c.get(1), nullptr);
  EXPECT_EQ(*c.get(1), 10);
  // 1 was hit, so it survives one pass and goes to the back.
  EXPECT_EQ(drain(c), (std::vector<uint64_t>{2, 3, 1}));
  EXPECT_TRUE(c.is_empty());
  EXPECT_EQ(c.queue_len(), 0u);

  // Every entry hit: one pass clears all flags and evicts the front entry.
  for (uint64_t k : {1, 2, 3}) (void)c.insert(k, 0);
  for (uint64_t k : {1, 2, 3}) *c.get_mut(k) = static_cast<int>(k);
  auto first = c.pop_lowest_priority();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->first, 1u);
  EXPECT_EQ(first->second, 1);
  EXPECT_EQ(drain(c), (std::vector<uint64_t>{2, 3}));
}

TEST(LRUCacheTest, ReinsertReplacesValueClearsFlagKeepsPlace) {
  LRUCache<int> c;
  (void)c.insert(1, 10);
  (void)c.insert(2, 20);
  (void)c.get(1);
  auto old = c.insert(1, 11);
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(*old, 10);
  EXPECT_EQ(c.queue_len(), 2u);
  auto first = c.pop_lowest_priority();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->first, 1u);
  EXPECT_EQ(first->second, 11);

  auto removed = c.remove(2);
  ASSERT_TRUE(removed.has_value());
  EXPECT_EQ(*removed, 20);
  EXPECT_FALSE(c.remove(2).has_value());
  EXPECT_FALSE(c.pop_lowest_priority().has_value());
}

// Random inserts, hits and out-of-order removals against a plain map: the
// cache always holds exactly the model's entries, eviction yields each live
// key once, and the queue stays within a small multiple of the live keys.
TEST(LRUCacheTest, RandomOperationsMatchAMap) {
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    LRUCache<int> c;
    std::map<uint64_t, int> model;
    for (int i = 0; i < 3000; ++i) {
      const uint64_t key = rng() % 64;
      switch (rng() % 5) {
        case 0:
        case 1: {
          const int v = static_cast<int>(rng() % 1000);
          auto old = c.insert(key, v);
          auto it = model.find(key);
          ASSERT_EQ(old.has_value(), it != model.end());
          if (old) {
            ASSERT_EQ(*old, it->second);
          }
          model[key] = v;
          break;
        }
        case 2: {
          const int* v = c.get(key);
          auto it = model.find(key);
          ASSERT_EQ(v != nullptr, it != model.end());
          if (v) {
            ASSERT_EQ(*v, it->second);
          }
          break;
        }
        case 3: {
          auto v = c.remove(key);
          ASSERT_EQ(v.has_value(), model.erase(key) == 1);
          break;
        }
        case 4: {
          auto e = c.pop_lowest_priority();
          ASSERT_EQ(e.has_value(), !model.empty());
          if (e) {
            ASSERT_EQ(model.at(e->first), e->second);
            model.erase(e->first);
          }
          break;
        }
      }
      ASSERT_EQ(c.len(), model.size());
      ASSERT_LE(c.queue_len(), 2 * 64 + 2);
    }
    std::set<uint64_t> evicted;
    for (uint64_t k : drain(c)) ASSERT_TRUE(evicted.insert(k).second);
    std::set<uint64_t> live;
    for (const auto& [k, v] : model) live.insert(k);
    EXPECT_EQ(evicted, live);
  }
}

// Tables large enough come from the arena; entries and their tags survive
// every growth, removal and a clear, and a second cache reuses freed tables.
TEST(LRUCacheTest, ArenaTablesKeepEntriesAndTags) {
  TableArena arena;
  for (int round = 0; round < 2; ++round) {
    LRUCache<PageBuffer> c;
    c.set_table_arena(&arena);
    constexpr uint64_t kKeys = 5000;  // tables up to 256 KiB
    for (uint64_t k = 0; k < kKeys; ++k) {
      ASSERT_FALSE(c.insert(k * 4096, PageBuffer(), static_cast<uint32_t>(k * 7)).has_value());
    }
    // A new value replaces the tag too.
    ASSERT_TRUE(c.insert(3 * 4096, PageBuffer(), 99).has_value());
    for (uint64_t k = 0; k < kKeys; k += 2) ASSERT_TRUE(c.remove(k * 4096).has_value());
    for (uint64_t k = 0; k < kKeys; ++k) {
      uint32_t tag = 0;
      const bool present = c.get_tagged(k * 4096, tag) != nullptr;
      ASSERT_EQ(present, k % 2 == 1) << k;
      if (present) {
        ASSERT_EQ(tag, k == 3 ? 99u : k * 7) << k;
      }
    }
    c.clear();
    EXPECT_EQ(c.len(), 0u);
    ASSERT_FALSE(c.insert(8, PageBuffer(), 1).has_value());
  }
}

// Caches on several threads share one arena (as the stripes of one page
// cache do), growing, shrinking and clearing at once; each keeps its own
// entries exactly.
TEST(LRUCacheTest, StressCachesSharingOneArena) {
  TableArena arena;
  constexpr int kThreads = 4;
  std::vector<std::string> problems(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 6 && problems[t].empty(); ++round) {
        LRUCache<PageBuffer> c;
        c.set_table_arena(&arena);
        const uint64_t keys = 600 + 300 * round;
        for (uint64_t k = 0; k < keys; ++k) (void)c.insert(k, PageBuffer(), static_cast<uint32_t>(t));
        for (uint64_t k = 0; k < keys; k += 3) (void)c.remove(k);
        for (uint64_t k = 0; k < keys; ++k) {
          uint32_t tag = 99;
          const bool present = c.get_tagged(k, tag) != nullptr;
          if (present != (k % 3 != 0) || (present && tag != static_cast<uint32_t>(t))) {
            problems[t] = "key " + std::to_string(k) + " of round " + std::to_string(round);
            break;
          }
        }
        if (round % 2 == 0) c.clear();
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(problems[t], "") << "thread " << t;
}

}  // namespace
}  // namespace storage
