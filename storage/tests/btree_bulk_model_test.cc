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
#include <type_traits>
#include <vector>

#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_editor.h"

namespace storage {
namespace {

using test::Bytes;
using test::TransactionalPageStore;
using Editor = test::TreeEditor<TransactionalPageStore>;

Bytes k64(uint64_t v) {
  auto a = U64Codec::as_bytes(v);
  return Bytes(a.begin(), a.end());
}

template <KeyCodec K>
struct KeyLess {
  bool operator()(const Bytes& a, const Bytes& b) const { return K::compare(a, b) < 0; }
};

// Keys of both kinds as stored bytes. Text keys vary from 1 to ~300 bytes and
// share prefixes, so separators differ in length, branches holding long ones
// outgrow a page, and merges move separators of every length.
template <KeyCodec K>
class Keys {
 public:
  explicit Keys(std::mt19937_64& rng) : rng_(rng) {}

  Bytes random() {
    if constexpr (std::is_same_v<K, U64Codec>) {
      return k64(rng_() >> 20);
    } else {
      static const char* prefixes[] = {"", "a", "ab", "abc", "m", "zz"};
      std::string s = prefixes[rng_() % 6];
      const uint64_t r = rng_() % 100;
      const size_t len = r < 5 ? 100 + rng_() % 200 : 1 + rng_() % 12;
      for (size_t i = 0; i < len; ++i) s += static_cast<char>('a' + rng_() % 26);
      return test::str_bytes(s);
    }
  }

  // Ascending keys from `first` on, each below `limit` (none: unbounded).
  std::vector<Bytes> run_from(const Bytes& first, const Bytes* limit, size_t len) {
    std::vector<Bytes> out;
    KeyLess<K> less;
    if constexpr (std::is_same_v<K, U64Codec>) {
      const uint64_t lim = limit ? U64Codec::from_bytes(*limit) : UINT64_MAX;
      for (uint64_t k = U64Codec::from_bytes(first); out.size() < len && k < lim;
           k += 1 + rng_() % 1000) {
        out.push_back(k64(k));
      }
    } else {
      out.push_back(first);
      // first + a growing fixed-width suffix sorts after first and ascends.
      const size_t width = rng_() % 4 == 0 ? 40 : 3;
      for (uint64_t i = 0; out.size() < len; i += 1 + rng_() % 3) {
        std::string suffix = std::to_string(i);
        if (suffix.size() > width) break;
        suffix.insert(0, width - suffix.size(), '0');
        Bytes k = first;
        k.insert(k.end(), suffix.begin(), suffix.end());
        if (limit && !less(k, *limit)) break;
        out.push_back(std::move(k));
      }
    }
    return out;
  }

 private:
  std::mt19937_64& rng_;
};

template <KeyCodec K>
class Driver {
 public:
  using Model = std::map<Bytes, Bytes, KeyLess<K>>;
  static constexpr TreeDescriptor kDescriptor = tree_descriptor<K, BytesCodec>();

  Driver(uint64_t seed, size_t cache_bytes)
      : rng_(seed),
        keys_(rng_),
        store_(TransactionalPageStore::create({.cache_bytes = cache_bytes})),
        t_(store_, kDescriptor) {}

  Bytes value() {
    const uint64_t r = rng_() % 100;
    const size_t len = r < 2 ? 4100 + rng_() % 6000 : r < 60 ? rng_() % 40 : rng_() % 700;
    return Bytes(len, static_cast<uint8_t>(rng_()));
  }

  // A sorted run into the gap of a random absent key.
  void splice_run(size_t max_len) {
    const Bytes x = keys_.random();
    if (model_.count(x)) return;
    auto next = model_.upper_bound(x);
    const size_t len = 1 + rng_() % max_len;
    std::vector<std::pair<Bytes, Bytes>> run;
    for (Bytes& k : keys_.run_from(x, next == model_.end() ? nullptr : &next->first, len)) {
      run.emplace_back(std::move(k), value());
    }
    OwnedEntryBuffer buffer;
    std::optional<LeafPath> path;
    if (t_.root) {
      test::LeafAt at = t_.find(x);
      ASSERT_FALSE(at.found);
      LeafAccessor leaf = LeafAccessor::create(at.leaf, kDescriptor).value();
      ASSERT_TRUE(buffer.extend_from_leaf_range(leaf, 0, at.position, true).ok());
      for (const auto& [k, v] : run) buffer.push_back(k, v);
      ASSERT_TRUE(buffer.extend_from_leaf_range(leaf, at.position, leaf.num_pairs(), true).ok());
      path = std::move(at.path);
    } else {
      for (const auto& [k, v] : run) buffer.push_back(k, v);
    }
    auto r = t_.helper().splice_insert_run(std::move(path), buffer, run.size());
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    for (auto& [k, v] : run) model_[k] = std::move(v);
  }

  Bytes existing_key() {
    auto it = model_.lower_bound(keys_.random());
    return it == model_.end() ? model_.begin()->first : it->first;
  }
  Bytes random_key() { return keys_.random(); }

  void insert_one() {
    const Bytes k = rng_() % 4 == 0 ? existing_key() : keys_.random();
    const Bytes v = value();
    auto r = t_.helper().insert(k, v);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    auto it = model_.find(k);
    ASSERT_EQ(r->replaced_value.has_value(), it != model_.end());
    if (it != model_.end()) {
      EXPECT_EQ(test::bytes_of(r->replaced_value->bytes()), it->second);
    }
    model_[k] = v;
  }

  void delete_one(const Bytes& k) {
    const int how = static_cast<int>(rng_() % 3);
    MutateHelper helper = t_.helper();
    auto r = how == 0 ? helper.delete_(k) : helper.delete_key(k, how == 1);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    auto it = model_.find(k);
    ASSERT_EQ(r->has_value(), it != model_.end());
    if (it != model_.end()) {
      EXPECT_EQ(test::bytes_of((*r)->bytes()), it->second) << "old value";
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
    test::LeafAt at = t_.find(existing_key());
    LeafAccessor leaf = LeafAccessor::create(at.leaf, kDescriptor).value();
    const std::vector<size_t> indexes = removal_list(leaf.num_pairs());
    for (size_t i : indexes) model_.erase(test::bytes_of(leaf.key_unchecked(i).value()));
    auto r = t_.helper().delete_leaf_entries(std::move(at.leaf), std::move(at.path.branches),
                                             indexes, rng_() % 2 == 0);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
  }

  void replace_leaf_children() {
    test::LeafAt at = t_.find(existing_key());
    if (at.path.branches.empty()) return;
    const size_t here = at.path.branches.back().child_index;
    const size_t count = BranchAccessor::create(at.path.branches.back().branch, kDescriptor)
                             .value()
                             .count_children();
    const size_t start = rng_() % 2 == 0 ? here : rng_() % count;
    const size_t end = start + 1 + rng_() % std::min<size_t>(4, count - start);
    OwnedEntryBuffer kept;
    uint64_t removed = 0;
    {
      BranchAccessor parent =
          BranchAccessor::create(at.path.branches.back().branch, kDescriptor).value();
      for (size_t j = start; j < end; ++j) {
        PageImpl page = t_.pages().get_page(parent.child_page(j), PageReadHint::kMayBeDirty).value();
        LeafAccessor leaf = LeafAccessor::create(page, kDescriptor).value();
        const std::vector<size_t> skip = removal_list(leaf.num_pairs());
        for (size_t i : skip) model_.erase(test::bytes_of(leaf.key_unchecked(i).value()));
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
      ASSERT_EQ(k, it->first) << where;
      ASSERT_EQ(v, it->second) << where;
      ++it;
    }
  }

  std::mt19937_64& rng() { return rng_; }
  Model& model() { return model_; }
  Editor& tree() { return t_; }

 private:
  std::mt19937_64 rng_;
  Keys<K> keys_;
  std::shared_ptr<TransactionalPageStore> store_;
  Editor t_;
  Model model_;
};

TEST(BtreeBulkModelTest, SplicedRunsAgainstStdMap) {
  for (int round = 0; round < 3; ++round) {
    const uint64_t seed = storage_test_support::random_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    Driver<U64Codec> d(seed, round == 2 ? size_t{32} << 10 : size_t{64} << 20);
    for (int op = 0; op < 160; ++op) {
      d.splice_run(op % 7 == 0 ? 900 : 60);
      d.verify("splice " + std::to_string(op));
      if (::testing::Test::HasFatalFailure()) return;
      if (op % 40 == 39) d.tree().commit();
    }
    EXPECT_GE(d.tree().depth, 3u);
  }
}

// Random inserts, single deletes, removal lists and leaf-run replacements,
// then a drain by every kind of removal until the tree is empty.
template <KeyCodec K>
void mixed_edits_until_empty(int ops) {
  for (int round = 0; round < 3; ++round) {
    const uint64_t seed = storage_test_support::random_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    Driver<K> d(seed, round == 2 ? size_t{32} << 10 : size_t{64} << 20);
    for (int op = 0; op < ops; ++op) {
      const uint64_t kind = d.rng()() % 100;
      if (d.model().empty() || kind < 8) {
        d.splice_run(kind < 2 ? 400 : 40);
      } else if (kind < 40) {
        d.insert_one();
      } else if (kind < 80) {
        d.delete_one(d.rng()() % 5 == 0 ? d.random_key() : d.existing_key());
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

TEST(BtreeBulkModelTest, MixedEditsAgainstStdMapUntilEmpty) { mixed_edits_until_empty<U64Codec>(900); }

// Text keys of very different lengths: separators of every length move
// through merges, and branches of long keys outgrow a page.
TEST(BtreeBulkModelTest, MixedEditsWithTextKeysAgainstStdMapUntilEmpty) {
  mixed_edits_until_empty<TextCodec>(900);
}

}  // namespace
}  // namespace storage
