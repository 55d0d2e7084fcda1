// Model-based random tests: inserts and replacements of random keys (u64 and
// text) with values from 0 bytes to 10 KB, checked against std::map across
// several commits, with a roomy page cache and with one so small that pages
// are written back and read again in the middle of a transaction. Every
// failure message carries the seed.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_harness.h"

namespace storage {
namespace {

using test::Bytes;
using test::MemoryPageStore;
using test::TransactionalPageStore;
using test::TxnState;

template <KeyCodec K>
struct KeyLess {
  bool operator()(const Bytes& a, const Bytes& b) const { return K::compare(a, b) < 0; }
};
template <KeyCodec K>
using Model = std::map<Bytes, Bytes, KeyLess<K>>;

struct Config {
  const char* name;
  size_t cache_bytes;
  uint64_t seed;
};

// Random keys from a bounded pool (so that replacements are common) and values
// whose lengths span empty to 10 KB.
template <KeyCodec K>
class Workload {
 public:
  explicit Workload(uint64_t seed) : rng_(seed) {
    for (int i = 0; i < 1500; ++i) pool_.push_back(make_key());
  }
  const Bytes& key() { return pool_[pick(pool_.size())]; }
  Bytes value() {
    const uint64_t r = pick(100);
    const size_t len = r < 55   ? pick(65)
                       : r < 88 ? 64 + pick(1000)
                       : r < 97 ? 1000 + pick(3200)
                                : 4000 + pick(6241);
    Bytes v(len);
    for (auto& b : v) b = static_cast<uint8_t>(rng_());
    return v;
  }
  uint64_t pick(uint64_t n) { return rng_() % n; }

 private:
  Bytes make_key() {
    if constexpr (std::is_same_v<K, U64Codec>) {
      const uint64_t v = pick(4) == 0 ? pick(1 << 20) : rng_();
      auto a = U64Codec::as_bytes(v);
      return Bytes(a.begin(), a.end());
    } else {
      // Shared prefixes make the byte order matter.
      static const char* prefixes[] = {"", "a", "ab", "abc", "zz"};
      std::string s = prefixes[pick(5)];
      const size_t len = pick(40);
      for (size_t i = 0; i < len; ++i) s += static_cast<char>('a' + pick(26));
      return test::str_bytes(s);
    }
  }

  std::mt19937_64 rng_;
  std::vector<Bytes> pool_;
};

template <KeyCodec K, typename Store>
void run_model(const Config& config) {
  SCOPED_TRACE(std::string(config.name) + " seed=" + std::to_string(config.seed));
  constexpr TreeDescriptor d = tree_descriptor<K, BytesCodec>();
  // The plan fails nothing; it counts the file accesses.
  auto calls = std::make_shared<test::FaultPlan>();
  auto store = Store::create({.cache_bytes = config.cache_bytes, .faults = calls});
  Workload<K> work(config.seed);
  Model<K> model;
  std::vector<std::pair<std::optional<BtreeHeader>, Model<K>>> snapshots;
  std::vector<PageNumber> all_freed;
  std::optional<BtreeHeader> root;

  // Allocated = reachable + freed (never released here, so that every
  // snapshot stays readable), with no page counted twice.
  auto check_accounting = [&](const test::TreeCheck& check) {
    PageNumberSet expected = check.pages;
    for (PageNumber p : all_freed) {
      EXPECT_TRUE(expected.insert(p).second) << "freed page still reachable " << p.debug();
    }
    const auto units = test::units_of(expected);
    size_t sizes = 0;
    for (PageNumber p : expected) sizes += size_t{1} << p.page_order;
    EXPECT_EQ(units.size(), sizes) << "page runs overlap";
    EXPECT_TRUE(store->allocated_units() == units) << "allocated pages != reachable + freed";
  };

  for (int commit = 0; commit < 6; ++commit) {
    TxnState txn(store);
    txn.tracker = PageTracker::create_recording();
    auto tree = txn.template open<K, BytesCodec>(root);
    for (int op = 1; op <= 600; ++op) {
      const Bytes key = work.key();
      const uint64_t kind = work.pick(100);
      if (kind < 85) {
        const Bytes value = work.value();
        auto old = tree.insert(K::from_bytes(key), ByteView(value));
        ASSERT_TRUE(old.ok()) << old.error().to_string();
        auto it = model.find(key);
        if (it == model.end()) {
          EXPECT_FALSE(old->has_value());
          model.emplace(key, value);
        } else {
          ASSERT_TRUE(old->has_value());
          EXPECT_TRUE(test::bytes_of((*old)->bytes()) == it->second) << "old value, op " << op;
          it->second = value;
        }
      } else if (kind < 95) {
        auto got = tree.get(K::from_bytes(key));
        ASSERT_TRUE(got.ok());
        auto it = model.find(key);
        ASSERT_EQ(got->has_value(), it != model.end());
        if (it != model.end()) {
          EXPECT_TRUE(test::bytes_of((*got)->bytes()) == it->second);
        }
      } else {
        auto last = tree.last();
        ASSERT_TRUE(last.ok());
        ASSERT_EQ(last->has_value(), !model.empty());
        if (!model.empty()) {
          EXPECT_TRUE(test::bytes_of((*last)->first.bytes()) == model.rbegin()->first);
          EXPECT_TRUE(test::bytes_of((*last)->second.bytes()) == model.rbegin()->second);
        }
      }
      if (op % 100 == 0) {
        test::TreeCheck check = test::check_txn_tree(*store, tree.get_root(), d);
        ASSERT_EQ(check.error, "") << "commit " << commit << " op " << op;
        ASSERT_EQ(check.pairs, model.size());
        for (PageNumber p : txn.freed_pages()) all_freed.push_back(p);
        txn.freed->lock_or_panic()->clear();
        check_accounting(check);
      }
    }

    if (config.cache_bytes < (size_t{1} << 20)) {
      // Pages went out to the file and came back within the transaction.
      EXPECT_GT(calls->calls(test::BackendOp::kWrite), 0u);
      EXPECT_GT(calls->calls(test::BackendOp::kRead), 0u);
    }
    auto finalized = tree.finalize_dirty_checksums();
    ASSERT_TRUE(finalized.ok()) << finalized.error().to_string();
    root = finalized.value();
    auto committed = store->commit(root);
    ASSERT_TRUE(committed.ok()) << committed.error().to_string();
    // The tree's tracker recorded exactly the pages the transaction still holds.
    EXPECT_TRUE(txn.tracker->close().value() == committed.value());
    for (PageNumber p : txn.freed_pages()) all_freed.push_back(p);
    // Committed: every slot and the root hold real checksums.
    test::TreeCheck check = test::check_txn_tree(*store, root, d);
    ASSERT_EQ(check.error, "") << "after commit " << commit;
    check_accounting(check);
    snapshots.emplace_back(root, model);

    // Every snapshot still reads its own pairs and verifies.
    for (size_t s = 0; s < snapshots.size(); ++s) {
      const auto& [snap_root, snap_model] = snapshots[s];
      auto tree_s = Btree<K, BytesCodec>::create(snap_root, PageReadHint::kCommitted, nullptr,
                                                 store->readable());
      ASSERT_TRUE(tree_s.ok());
      EXPECT_TRUE(tree_s->verify_checksum().value()) << "snapshot " << s;
      test::TreeCheckOptions committed;
      committed.hint = PageReadHint::kCommitted;
      EXPECT_EQ(test::check_tree(*store->readable(), snap_root, d, committed).pairs,
                snap_model.size());
      for (const auto& [k, v] : snap_model) {
        auto got = tree_s->get(K::from_bytes(k));
        ASSERT_TRUE(got.ok() && got->has_value()) << "snapshot " << s;
        EXPECT_TRUE(test::bytes_of((*got)->bytes()) == v) << "snapshot " << s;
      }
    }
  }
}

const Config kConfigs[] = {
    {"roomy cache", size_t{64} << 20, 1},
    {"roomy cache", size_t{64} << 20, 2},
    {"tiny cache", size_t{32} << 10, 3},
    {"tiny cache", size_t{32} << 10, 4},
};

TEST(BtreeModelTest, U64KeysAgainstStdMapOnThePageStore) {
  for (const Config& c : kConfigs) run_model<U64Codec, TransactionalPageStore>(c);
}

TEST(BtreeModelTest, TextKeysAgainstStdMapOnThePageStore) {
  for (const Config& c : kConfigs) run_model<TextCodec, TransactionalPageStore>(c);
}

// The same over the test store's simple allocator, whose first-fit reuse of
// freed pages differs from the buddy allocators'.
TEST(BtreeModelTest, U64KeysAgainstStdMapOnTheTestStore) {
  for (const Config& c : kConfigs) run_model<U64Codec, MemoryPageStore>(c);
}

TEST(BtreeModelTest, TextKeysAgainstStdMapOnTheTestStore) {
  for (const Config& c : kConfigs) run_model<TextCodec, MemoryPageStore>(c);
}

}  // namespace
}  // namespace storage
