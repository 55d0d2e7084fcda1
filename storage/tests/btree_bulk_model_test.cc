// Model-based random tests of the bulk edits and of removal: sorted runs
// spliced into random gaps (into an empty tree too, with pairs larger than a
// page in the middle of runs), single-key inserts and deletes, removal lists
// on one leaf and runs of sibling leaves, all against std::map, with the tree
// checker and page accounting after every edit, across several commits, and
// finally until the tree is empty. Every failure message carries the seed
// (RS_TEST_SEED replays one).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_editor.h"

namespace storage {
namespace {

using test::Bytes;
using test::TransactionalPageStore;
using Editor = test::TreeEditor<TransactionalPageStore>;
using Model = std::map<uint64_t, Bytes>;
constexpr TreeDescriptor kU64Bytes = tree_descriptor<U64Codec, BytesCodec>();

Bytes k64(uint64_t v) {
  auto a = U64Codec::as_bytes(v);
  return Bytes(a.begin(), a.end());
}
uint64_t key_of(ByteView b) { return U64Codec::from_bytes(b); }

class Driver {
 public:
  Driver(uint64_t seed, size_t cache_bytes)
      : rng_(seed),
        store_(TransactionalPageStore::create({.cache_bytes = cache_bytes})),
        t_(store_, kU64Bytes) {}

  Bytes value() {
    const uint64_t r = rng_() % 100;
    const size_t len = r < 2 ? 4100 + rng_() % 6000 : r < 60 ? rng_() % 40 : rng_() % 700;
    return Bytes(len, static_cast<uint8_t>(rng_()));
  }

  // A sorted run into the gap of a random absent key.
  void splice_run(size_t max_len) {
    const uint64_t x = rng_() >> 20;
    if (model_.count(x)) return;
    auto next = model_.upper_bound(x);
    const uint64_t limit = next == model_.end() ? UINT64_MAX : next->first;
    const size_t len = 1 + rng_() % max_len;
    std::vector<std::pair<uint64_t, Bytes>> run;
    for (uint64_t k = x; run.size() < len && k < limit; k += 1 + rng_() % 1000) {
      run.emplace_back(k, value());
    }
    OwnedEntryBuffer buffer;
    std::optional<LeafPath> path;
    if (t_.root) {
      test::LeafAt at = t_.find(k64(x));
      ASSERT_FALSE(at.found);
      LeafAccessor leaf = LeafAccessor::create(at.leaf, kU64Bytes).value();
      ASSERT_TRUE(buffer.extend_from_leaf_range(leaf, 0, at.position, true).ok());
      for (const auto& [k, v] : run) buffer.push_back(k64(k), v);
      ASSERT_TRUE(buffer.extend_from_leaf_range(leaf, at.position, leaf.num_pairs(), true).ok());
      path = std::move(at.path);
    } else {
      for (const auto& [k, v] : run) buffer.push_back(k64(k), v);
    }
    auto r = t_.helper().splice_insert_run(std::move(path), buffer, run.size());
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    for (auto& [k, v] : run) model_[k] = std::move(v);
  }

  uint64_t existing_key() {
    auto it = model_.lower_bound(rng_() >> 20);
    return it == model_.end() ? model_.begin()->first : it->first;
  }

  void insert_one() {
    const uint64_t k = rng_() % 4 == 0 ? existing_key() : rng_() >> 20;
    const Bytes v = value();
    auto r = t_.helper().insert(k64(k), v);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    auto it = model_.find(k);
    ASSERT_EQ(r->replaced_value.has_value(), it != model_.end());
    if (it != model_.end()) {
      EXPECT_EQ(test::bytes_of(r->replaced_value->bytes()), it->second);
    }
    model_[k] = v;
  }

  void delete_one(uint64_t k) {
    const int how = static_cast<int>(rng_() % 3);
    MutateHelper helper = t_.helper();
    auto r = how == 0 ? helper.delete_(k64(k)) : helper.delete_key(k64(k), how == 1);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    auto it = model_.find(k);
    ASSERT_EQ(r->has_value(), it != model_.end());
    if (it != model_.end()) {
      EXPECT_EQ(test::bytes_of((*r)->bytes()), it->second) << "old value of " << k;
      model_.erase(it);
    }
  }

  std::vector<size_t> removal_list(size_t n) {
    const unsigned p = std::vector<unsigned>{10, 50, 90, 100}[rng_() % 4];
    std::vector<size_t> out;
    for (size_t i = 0; i < n; ++i) {
      if (rng_() % 100 < p) out.push_back(i);
    }
    return out;
  }

  void delete_leaf_entries() {
    test::LeafAt at = t_.find(k64(existing_key()));
    LeafAccessor leaf = LeafAccessor::create(at.leaf, kU64Bytes).value();
    const std::vector<size_t> indexes = removal_list(leaf.num_pairs());
    for (size_t i : indexes) model_.erase(key_of(leaf.key_unchecked(i).value()));
    auto r = t_.helper().delete_leaf_entries(std::move(at.leaf), std::move(at.path.branches),
                                             indexes, rng_() % 2 == 0);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
  }

  void replace_leaf_children() {
    test::LeafAt at = t_.find(k64(existing_key()));
    if (at.path.branches.empty()) return;
    const size_t here = at.path.branches.back().child_index;
    const size_t count =
        BranchAccessor::create(at.path.branches.back().branch, kU64Bytes).value().count_children();
    const size_t start = rng_() % 2 == 0 ? here : rng_() % count;
    const size_t end = start + 1 + rng_() % std::min<size_t>(4, count - start);
    OwnedEntryBuffer kept;
    uint64_t removed = 0;
    {
      BranchAccessor parent = BranchAccessor::create(at.path.branches.back().branch, kU64Bytes).value();
      for (size_t j = start; j < end; ++j) {
        PageImpl page = t_.pages().get_page(parent.child_page(j), PageReadHint::kMayBeDirty).value();
        LeafAccessor leaf = LeafAccessor::create(page, kU64Bytes).value();
        const std::vector<size_t> skip = removal_list(leaf.num_pairs());
        for (size_t i : skip) model_.erase(key_of(leaf.key_unchecked(i).value()));
        ASSERT_TRUE(kept.extend_from_leaf(leaf, skip, true).ok());
        removed += skip.size();
      }
    }
    at.leaf = PageImpl(PageBuffer(), PageNumber());
    auto r = t_.helper().replace_leaf_children(std::move(at.path.branches), start, end,
                                               std::move(kept), removed);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
  }

  // The tree holds exactly the model's pairs and every invariant holds.
  void verify(const std::string& where) {
    ASSERT_EQ(t_.check(), "") << where;
    ASSERT_EQ(t_.root.has_value(), !model_.empty()) << where;
    test::Pairs pairs = t_.pairs();
    ASSERT_EQ(pairs.size(), model_.size()) << where;
    auto it = model_.begin();
    for (const auto& [k, v] : pairs) {
      ASSERT_EQ(key_of(k), it->first) << where;
      ASSERT_EQ(v, it->second) << where;
      ++it;
    }
  }

  std::mt19937_64& rng() { return rng_; }
  Model& model() { return model_; }
  Editor& tree() { return t_; }

 private:
  std::mt19937_64 rng_;
  std::shared_ptr<TransactionalPageStore> store_;
  Editor t_;
  Model model_;
};

TEST(BtreeBulkModelTest, SplicedRunsAgainstStdMap) {
  for (int round = 0; round < 3; ++round) {
    const uint64_t seed = storage_test_support::random_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    Driver d(seed, round == 2 ? size_t{32} << 10 : size_t{64} << 20);
    for (int op = 0; op < 160; ++op) {
      d.splice_run(op % 7 == 0 ? 900 : 60);
      d.verify("splice " + std::to_string(op));
      if (::testing::Test::HasFatalFailure()) return;
      if (op % 40 == 39) d.tree().commit();
    }
    EXPECT_GE(d.tree().depth, 3u);
  }
}

TEST(BtreeBulkModelTest, MixedEditsAgainstStdMapUntilEmpty) {
  for (int round = 0; round < 3; ++round) {
    const uint64_t seed = storage_test_support::random_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    Driver d(seed, round == 2 ? size_t{32} << 10 : size_t{64} << 20);
    for (int op = 0; op < 900; ++op) {
      const uint64_t kind = d.rng()() % 100;
      if (d.model().empty() || kind < 8) {
        d.splice_run(kind < 2 ? 400 : 40);
      } else if (kind < 40) {
        d.insert_one();
      } else if (kind < 80) {
        d.delete_one(d.rng()() % 5 == 0 ? d.rng()() >> 20 : d.existing_key());
      } else if (kind < 90) {
        d.delete_leaf_entries();
      } else {
        d.replace_leaf_children();
      }
      d.verify("op " + std::to_string(op));
      if (::testing::Test::HasFatalFailure()) return;
      if (op % 150 == 149) d.tree().commit();
    }
    // Drain by every kind of removal; the branches collapse down to nothing.
    d.tree().commit();
    for (int op = 0; !d.model().empty(); ++op) {
      const uint64_t kind = d.rng()() % 3;
      if (kind == 0) {
        d.delete_one(d.existing_key());
      } else if (kind == 1) {
        d.delete_leaf_entries();
      } else {
        d.replace_leaf_children();
      }
      d.verify("drain " + std::to_string(op));
      if (::testing::Test::HasFatalFailure()) return;
    }
    EXPECT_FALSE(d.tree().root.has_value());
  }
}

}  // namespace
}  // namespace storage
