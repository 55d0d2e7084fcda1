// Lookups of one committed tree from several threads, each with its own read
// handle, over a cache too small for the tree: hits borrow pages in place
// while other readers' misses insert and evict in the same stripes, and a
// cleaner thread empties the whole read cache now and then. Every answer is
// checked against the values the tree was built from. Meant for the thread
// sanitizer as much as for its own checks; RS_CONCURRENT_READ_OPS sets the
// lookups per thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_harness.h"

namespace storage {
namespace {

using test::TransactionalPageStore;

constexpr uint64_t kKeys = 6000;  // even keys 0, 2, ...; odd keys are absent
constexpr size_t kReaders = 6;

int ops_per_thread() {
  const char* env = std::getenv("RS_CONCURRENT_READ_OPS");
  return env != nullptr ? std::atoi(env) : 2000;
}

// Values of different lengths, so that a value read from the wrong pair or
// the wrong page shows.
std::string value_of(uint64_t key) {
  return std::string(1 + key % 97, static_cast<char>('a' + key % 26)) + std::to_string(key);
}
std::string text_key(uint64_t key) { return "key-" + std::to_string(key * 7919 % 100003); }

TEST(BtreeConcurrentReadTest, ReadersOfOneTreeWhileTheCacheEvictsAndEmpties) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (RS_TEST_SEED replays)");
  // A few dozen pages of cache for trees of a few hundred pages.
  auto store = TransactionalPageStore::create({.cache_bytes = 48 * 4096});
  test::TxnState txn(store);
  auto u64_tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  auto text_tree = txn.open<TextCodec, TextCodec>(std::nullopt);
  for (uint64_t k = 0; k < kKeys; ++k) {
    const std::string v = value_of(k * 2);
    ASSERT_TRUE(u64_tree.insert(k * 2, ByteView(reinterpret_cast<const uint8_t*>(v.data()),
                                                 v.size()))
                    .ok());
    ASSERT_TRUE(text_tree.insert(text_key(k * 2), v).ok());
  }
  const auto u64_root = test::commit_tree(u64_tree, *store);
  const auto text_root = test::commit_tree(text_tree, *store);
  ASSERT_TRUE(store->flush().ok());

  const int ops = ops_per_thread();
  std::atomic<bool> done{false};
  std::vector<std::string> problems(kReaders);
  auto reader = [&](size_t t) {
    std::mt19937_64 rng(seed + t);
    auto u64s = Btree<U64Codec, BytesCodec>::create(u64_root, PageReadHint::kCommitted, nullptr,
                                                     store->readable());
    auto texts = Btree<TextCodec, TextCodec>::create(text_root, PageReadHint::kCommitted, nullptr,
                                                     store->readable());
    if (!u64s.ok() || !texts.ok()) {
      problems[t] = "open failed";
      return;
    }
    for (int op = 0; op < ops && problems[t].empty(); ++op) {
      const uint64_t key = rng() % (2 * kKeys + 2);  // one past the last key too
      const bool present = key % 2 == 0 && key < 2 * kKeys;
      const int kind = static_cast<int>(rng() % 8);
      if (kind < 5) {
        auto got = u64s->get(key);
        if (!got.ok()) {
          problems[t] = "u64 get: " + got.error().to_string();
        } else if (got->has_value() != present) {
          problems[t] = "u64 key " + std::to_string(key) + " found: " +
                        std::to_string(got->has_value());
        } else if (present && test::text_of((*got)->bytes()) != value_of(key)) {
          problems[t] = "u64 key " + std::to_string(key) + ": wrong value";
        }
      } else if (kind < 7) {
        auto got = texts->get(text_key(key));
        if (!got.ok()) {
          problems[t] = "text get: " + got.error().to_string();
        } else if (got->has_value() != present) {
          problems[t] = "text key " + text_key(key) + " found: " + std::to_string(got->has_value());
        } else if (present && std::string((*got)->value()) != value_of(key)) {
          problems[t] = "text key " + text_key(key) + ": wrong value";
        }
      } else {
        auto last = u64s->last();
        if (!last.ok() || !last->has_value() || (*last)->first.value() != 2 * (kKeys - 1)) {
          problems[t] = "last: wrong answer";
        }
      }
    }
  };
  auto cleaner = [&] {
    while (!done.load()) {
      store->memory()->invalidate_cache_all();
      std::this_thread::yield();
    }
  };

  std::thread clean(cleaner);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kReaders; ++t) threads.emplace_back(reader, t);
  for (auto& th : threads) th.join();
  done = true;
  clean.join();
  for (size_t t = 0; t < kReaders; ++t) EXPECT_EQ(problems[t], "") << "reader " << t;
}

}  // namespace
}  // namespace storage
