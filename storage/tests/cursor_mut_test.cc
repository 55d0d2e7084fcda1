// The write cursor against std::map: sorted appends into every kind of gap of
// committed trees (the empty tree, after the last key, between two keys, at a
// leaf's end), refused keys, runs that cross the 1 MiB splice threshold,
// values from 0 bytes to more than a page; the tree checker and a content
// comparison after every finish. Then fault injection at every page read and
// allocation and at every page write-back of an append: the error comes back,
// a poisoned cursor answers PreviousIo from then on, the tree holds exactly
// the pairs of the splices that succeeded, and after the abort no page leaks.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/src/tree_store/btree_cursor_mut.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_editor.h"

namespace storage {
namespace {

using test::Bytes;
using test::CountingPages;
using test::TransactionalPageStore;
using Model = std::map<uint64_t, Bytes>;
constexpr TreeDescriptor kU64Bytes = tree_descriptor<U64Codec, BytesCodec>();

Bytes k64(uint64_t v) {
  auto a = U64Codec::as_bytes(v);
  return Bytes(a.begin(), a.end());
}

Bytes value_of(uint64_t key, size_t len) {
  Bytes v(len);
  for (size_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(key * 7 + i);
  return v;
}

size_t env_rounds(const char* name, size_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::strtoull(text, nullptr, 10) : fallback;
}

// One write transaction over one u64 → bytes tree whose root the test owns.
struct Txn {
  explicit Txn(std::shared_ptr<TransactionalPageStore> s,
               std::shared_ptr<const WritablePageSource> pages = nullptr)
      : store(std::move(s)), txn(pages ? std::move(pages) : store->writable()) {}

  BtreeCursorMut cursor() { return BtreeCursorMut(root, txn.pages, txn.tracker, txn.freed); }
  test::Pairs pairs() const { return test::tree_pairs(*store->readable(), root, kU64Bytes); }
  test::TreeCheck check() const { return test::check_txn_tree(*store, root, kU64Bytes); }
  void commit() {
    BtreeMut<U64Codec, BytesCodec> tree = txn.open<U64Codec, BytesCodec>(root);
    root = test::commit_tree(tree, *store);
  }

  std::shared_ptr<TransactionalPageStore> store;
  test::TxnState txn;
  std::optional<BtreeHeader> root;
};

test::Pairs pairs_of(const Model& m) {
  test::Pairs out;
  for (const auto& [k, v] : m) out.emplace_back(k64(k), v);
  return out;
}

// Builds the model's pairs as a committed tree, through the cursor itself.
void load(Txn& t, const Model& model) {
  BtreeCursorMut c = t.cursor();
  ASSERT_TRUE(c.seek_upper_bound(EncodedBound::unbounded()).ok());
  for (const auto& [k, v] : model) ASSERT_TRUE(c.insert_before(k64(k), v).value());
  ASSERT_TRUE(c.finish().ok());
  ASSERT_EQ(t.check().error, "");
  t.commit();
}

// The gap a bound puts the cursor at: (greatest key before it, least key after).
std::pair<std::optional<uint64_t>, std::optional<uint64_t>> gap_of(const Model& m,
                                                                   const EncodedBound& b) {
  auto after = m.end();
  if (b.kind == BoundKind::kIncluded) after = m.upper_bound(U64Codec::from_bytes(b.key));
  if (b.kind == BoundKind::kExcluded) after = m.lower_bound(U64Codec::from_bytes(b.key));
  std::optional<uint64_t> lo, hi;
  if (after != m.begin()) lo = std::prev(after)->first;
  if (after != m.end()) hi = after->first;
  return {lo, hi};
}

class AppendModel {
 public:
  explicit AppendModel(uint64_t seed) : rng_(seed), t_(TransactionalPageStore::create()) {}

  size_t value_len() {
    const uint64_t r = rng_() % 1000;
    if (r < 3) return 4097 + rng_() % 6144;  // larger than a page, up to 10 KiB
    if (r < 60) return 0;
    if (r < 400) return rng_() % 1500;
    return rng_() % 60;
  }

  void build(size_t n) {
    for (size_t i = 0; i < n; ++i) model_[(rng_() % 100000) * 1000] = value_of(i, value_len());
    load(t_, model_);
  }

  // One cursor: a random bound, then a run of candidate keys mostly in order,
  // some equal to a neighbour or below the last one.
  void episode(size_t inserts) {
    EncodedBound bound = EncodedBound::unbounded();
    const uint64_t r = rng_() % 5;
    uint64_t k = (rng_() % 100000) * 1000 + (rng_() % 2 ? 0 : 1 + rng_() % 999);
    if (!model_.empty() && rng_() % 2) {
      auto it = model_.lower_bound(k);
      if (it != model_.end()) k = it->first;  // an existing key
    }
    if (r < 2) bound = EncodedBound::included(k64(k));
    if (r >= 2 && r < 4) bound = EncodedBound::excluded(k64(k));
    auto [lo, hi] = gap_of(model_, bound);

    BtreeCursorMut c = t_.cursor();
    ASSERT_TRUE(c.seek_upper_bound(bound).ok());
    std::optional<uint64_t> last = lo;
    uint64_t next = lo ? *lo : 0;
    for (size_t i = 0; i < inserts; ++i) {
      uint64_t key = next + 1 + rng_() % 50;
      const uint64_t kind = rng_() % 40;
      if (kind == 0 && last) key = *last;               // equal to the previous
      if (kind == 1 && hi) key = *hi;                   // equal to the next
      if (kind == 2 && last && *last > 0) key = *last - 1;  // below the previous
      if (kind == 3) key = rng_() % 1000000;            // anywhere
      const bool in_order = (!last || key > *last) && (!hi || key < *hi);
      const Bytes value = value_of(key, value_len());
      auto accepted = c.insert_before(k64(key), value);
      ASSERT_TRUE(accepted.ok()) << accepted.error().to_string();
      ASSERT_EQ(accepted.value(), in_order) << "key " << key;
      if (in_order) {
        model_[key] = value;
        last = key;
        next = key;
      }
      if (hi && next + 60 >= *hi) break;
    }
    ASSERT_TRUE(c.finish().ok());
    const test::TreeCheck check = t_.check();
    ASSERT_EQ(check.error, "");
    ASSERT_EQ(check.pairs, model_.size());
    ASSERT_EQ(t_.root ? t_.root->length : 0, model_.size());
    ASSERT_TRUE(t_.pairs() == pairs_of(model_));
    depth_seen_ = std::max(depth_seen_, check.depth);
    if (rng_() % 3 == 0) t_.commit();
  }

  size_t depth_seen() const { return depth_seen_; }
  std::mt19937_64& rng() { return rng_; }

 private:
  std::mt19937_64 rng_;
  Txn t_;
  Model model_;
  size_t depth_seen_ = 0;
};

TEST(CursorMutModelTest, RandomAppendsMatchTheModel) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (RS_TEST_SEED replays it)");
  std::printf("CursorMutModelTest seed %llu\n", static_cast<unsigned long long>(seed));
  const size_t rounds = env_rounds("RS_CURSOR_ROUNDS", 4);
  std::mt19937_64 seeds(seed);
  size_t depth = 0;
  for (size_t round = 0; round < rounds; ++round) {
    AppendModel m(seeds());
    // From the empty table up to trees of three levels.
    m.build(round == 0 ? 0 : m.rng()() % (round * 1500));
    for (int e = 0; e < 12; ++e) {
      ASSERT_NO_FATAL_FAILURE(m.episode(e % 4 == 3 ? 3000 : m.rng()() % 300));
    }
    depth = std::max(depth, m.depth_seen());
  }
  EXPECT_GE(depth, 2u);
}

// Keys 10, 20, ..., 10n with 300-byte values: many leaves under one root.
Model tens(size_t n, size_t len = 300) {
  Model m;
  for (uint64_t k = 1; k <= n; ++k) m[k * 10] = value_of(k * 10, len);
  return m;
}

TEST(CursorMutTest, EmptyTableBecomesTheInsertedPairs) {
  Txn t(TransactionalPageStore::create());
  BtreeCursorMut c = t.cursor();
  ASSERT_TRUE(c.seek_upper_bound(EncodedBound::included(k64(5))).ok());
  EXPECT_FALSE(c.state().position.has_value());
  // finish without an insert changes nothing.
  ASSERT_TRUE(c.finish().ok());
  EXPECT_FALSE(t.root.has_value());
  Model model;
  for (uint64_t k = 3; k < 3000; k += 3) {
    ASSERT_TRUE(c.insert_before(k64(k), value_of(k, k % 97)).value());
    model[k] = value_of(k, k % 97);
    ASSERT_FALSE(c.insert_before(k64(k), value_of(k, 1)).value());  // equal to the last
  }
  ASSERT_TRUE(c.finish().ok());
  EXPECT_EQ(t.check().error, "");
  EXPECT_EQ(t.root->length, model.size());
  EXPECT_TRUE(t.pairs() == pairs_of(model));
}

TEST(CursorMutTest, OnlyKeysStrictlyBetweenTheGapsNeighboursGoIn) {
  struct Case {
    const char* name;
    EncodedBound bound;
    std::vector<std::pair<uint64_t, bool>> inserts;  // key, accepted
  };
  const std::vector<Case> cases = {
      {"after the last key", EncodedBound::unbounded(), {{2000, false}, {1999, false}, {2001, true}}},
      {"between 200 and 210",
       EncodedBound::included(k64(200)),
       {{200, false}, {210, false}, {205, true}, {205, false}, {204, false}, {210, false},
        {209, true}}},
      {"excluded bound", EncodedBound::excluded(k64(200)), {{190, false}, {200, false}, {195, true}}},
      {"before the first key", EncodedBound::excluded(k64(10)), {{10, false}, {0, true}, {5, true}}},
      {"refused first key, then the same bounds",
       EncodedBound::included(k64(500)),
       {{600, false}, {501, true}, {509, true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Txn t(TransactionalPageStore::create());
    Model model = tens(200);
    ASSERT_NO_FATAL_FAILURE(load(t, model));
    const std::optional<BtreeHeader> before = t.root;
    BtreeCursorMut cursor = t.cursor();
    ASSERT_TRUE(cursor.seek_upper_bound(c.bound).ok());
    size_t accepted = 0;
    for (const auto& [key, want] : c.inserts) {
      ASSERT_EQ(cursor.insert_before(k64(key), value_of(key, 20)).value(), want) << key;
      if (want) {
        model[key] = value_of(key, 20);
        ++accepted;
      } else if (accepted == 0) {
        // A refused first key drops the run with its bounds.
        EXPECT_EQ(cursor.state().insert_run, nullptr);
      }
    }
    ASSERT_TRUE(cursor.finish().ok());
    EXPECT_EQ(t.check().error, "");
    EXPECT_TRUE(t.pairs() == pairs_of(model));
    if (accepted == 0) {
      EXPECT_EQ(t.root, before);
    }
  }
}

TEST(CursorMutTest, RefusedKeysAloneChangeNothing) {
  Txn t(TransactionalPageStore::create());
  ASSERT_NO_FATAL_FAILURE(load(t, tens(200)));
  const std::optional<BtreeHeader> before = t.root;
  BtreeCursorMut c = t.cursor();
  ASSERT_TRUE(c.seek_upper_bound(EncodedBound::included(k64(200))).ok());
  EXPECT_FALSE(c.insert_before(k64(200), value_of(1, 5)).value());
  EXPECT_FALSE(c.insert_before(k64(210), value_of(1, 5)).value());
  ASSERT_TRUE(c.finish().ok());
  EXPECT_EQ(t.root, before);
  EXPECT_TRUE(t.txn.freed_pages().empty());
}

// The pages of the leaves, left to right.
std::vector<PageNumber> leaves_of(const Txn& t) {
  std::vector<PageNumber> out;
  auto pages = t.store->readable();
  std::vector<PageNumber> stack{t.root->root};
  while (!stack.empty()) {
    PageNumber p = stack.back();
    stack.pop_back();
    PageImpl page = pages->get_page(p, PageReadHint::kMayBeDirty).value();
    if (page.memory()[0] == kLeafPageType) {
      out.push_back(p);
      continue;
    }
    BranchAccessor b = BranchAccessor::create(page, kU64Bytes).value();
    for (size_t i = b.count_children(); i-- > 0;) stack.push_back(b.child_page(i));
  }
  return out;
}

uint64_t last_key_of(const Txn& t, PageNumber leaf) {
  PageImpl page = t.store->readable()->get_page(leaf, PageReadHint::kMayBeDirty).value();
  return U64Codec::from_bytes(LeafAccessor::create(page, kU64Bytes).value().last_entry().value().key);
}

TEST(CursorMutTest, AGapAtALeafsEndBuildsItsRunOnThatLeaf) {
  Txn t(TransactionalPageStore::create());
  Model model = tens(200);
  ASSERT_NO_FATAL_FAILURE(load(t, model));
  const std::vector<PageNumber> leaves = leaves_of(t);
  ASSERT_GE(leaves.size(), 4u);
  const uint64_t boundary = last_key_of(t, leaves[1]);
  BtreeCursorMut c = t.cursor();
  // Included(last key of leaf 1): the gap after leaf 1's last entry.
  ASSERT_TRUE(c.seek_upper_bound(EncodedBound::included(k64(boundary))).ok());
  EXPECT_FALSE(c.insert_before(k64(boundary + 10), value_of(0, 1)).value());
  ASSERT_TRUE(c.insert_before(k64(boundary + 1), value_of(boundary + 1, 40)).value());
  ASSERT_TRUE(c.insert_before(k64(boundary + 2), value_of(boundary + 2, 40)).value());
  model[boundary + 1] = value_of(boundary + 1, 40);
  model[boundary + 2] = value_of(boundary + 2, 40);
  ASSERT_TRUE(c.finish().ok());
  EXPECT_EQ(t.check().error, "");
  EXPECT_TRUE(t.pairs() == pairs_of(model));
  const std::vector<PageNumber> after = leaves_of(t);
  auto has = [&](PageNumber p) { return std::find(after.begin(), after.end(), p) != after.end(); };
  EXPECT_FALSE(has(leaves[1]));  // replaced by the splice
  EXPECT_TRUE(has(leaves[0]));
  EXPECT_TRUE(has(leaves[2]));  // the next leaf is untouched
}

// At a leaf's end a run start steps forward (to read the upper bound), then
// back. A read failing in the backward step must leave the position whole:
// the retry builds the run on the same leaf with the same bounds.
TEST(CursorMutTest, AFailedStepAtARunsStartIsRepeatedOnRetry) {
  auto store = TransactionalPageStore::create();
  Model model = tens(200);
  {
    Txn build(store);
    ASSERT_NO_FATAL_FAILURE(load(build, model));
    auto pages = std::make_shared<CountingPages>(store->writable());
    Txn t(store, pages);
    t.root = build.root;
    const std::vector<PageNumber> leaves = leaves_of(t);
    ASSERT_GE(leaves.size(), 4u);
    const uint64_t boundary = last_key_of(t, leaves[1]);
    BtreeCursorMut c = t.cursor();
    ASSERT_TRUE(c.seek_upper_bound(EncodedBound::included(k64(boundary))).ok());
    pages->fail_read_at = pages->reads + 2;  // the step back onto leaf 1
    auto failed = c.insert_before(k64(boundary + 1), value_of(1, 10));
    ASSERT_FALSE(failed.ok());
    EXPECT_FALSE(c.poisoned());
    ASSERT_TRUE(c.insert_before(k64(boundary + 1), value_of(1, 10)).value());
    EXPECT_FALSE(c.insert_before(k64(boundary + 10), value_of(2, 10)).value());
    ASSERT_TRUE(c.insert_before(k64(boundary + 2), value_of(2, 10)).value());
    ASSERT_TRUE(c.finish().ok());
    model[boundary + 1] = value_of(1, 10);
    model[boundary + 2] = value_of(2, 10);
    ASSERT_EQ(t.check().error, "");
    EXPECT_TRUE(t.pairs() == pairs_of(model));
    const std::vector<PageNumber> after = leaves_of(t);
    EXPECT_EQ(std::find(after.begin(), after.end(), leaves[1]), after.end());
    EXPECT_NE(std::find(after.begin(), after.end(), leaves[0]), after.end());
  }
}

TEST(CursorMutTest, RunsCrossingTheThresholdAreSplicedAndResought) {
  Txn t(TransactionalPageStore::create());
  Model model;
  for (uint64_t k = 1; k <= 100; ++k) model[k * 100000] = value_of(k, 2000);
  ASSERT_NO_FATAL_FAILURE(load(t, model));
  BtreeCursorMut c = t.cursor();
  ASSERT_TRUE(c.seek_upper_bound(EncodedBound::included(k64(5000000))).ok());
  // About 3 MiB into one gap: spliced twice on the way, once at finish.
  size_t splices = 0;
  for (uint64_t k = 5000001; k < 5003001; ++k) {
    ASSERT_TRUE(c.insert_before(k64(k), value_of(k, 1000)).value());
    model[k] = value_of(k, 1000);
    if (c.state().insert_run == nullptr) {
      ++splices;
      // Re-sought just after the last inserted key, with the same upper bound.
      ASSERT_TRUE(c.state().position.has_value());
      EXPECT_FALSE(c.insert_before(k64(k), value_of(k, 1)).value());
      EXPECT_FALSE(c.insert_before(k64(5100000), value_of(k, 1)).value());
      EXPECT_EQ(t.check().error, "");
    }
  }
  EXPECT_EQ(splices, 2u);
  ASSERT_TRUE(c.finish().ok());
  EXPECT_FALSE(c.state().position.has_value());
  EXPECT_EQ(t.check().error, "");
  EXPECT_TRUE(t.pairs() == pairs_of(model));
}

// ---------------------------------------------------------------------------
// Fault injection

constexpr uint64_t kFaultBase = 1'500'000;
constexpr size_t kFaultInserts = 2000;

struct FaultRun {
  std::optional<StorageError> error;
  size_t accepted = 0;  // inserts that answered true
  size_t spliced = 0;   // of those, the ones a finished splice holds
  bool poisoned = false;
  bool lost_position = false;  // a re-seek after a good splice failed
};

// A committed tree of 300 keys, then 2000 inserts of 600-byte values into one
// gap (a splice mid-run, then finish).
Model fault_base() {
  Model m;
  for (uint64_t k = 0; k < 300; ++k) m[k * 10000] = value_of(k, 200);
  return m;
}

FaultRun append_workload(Txn& t) {
  FaultRun r;
  BtreeCursorMut c = t.cursor();
  auto seek = c.seek_upper_bound(EncodedBound::included(k64(kFaultBase)));
  if (!seek.ok()) {
    r.error = seek.error();
  }
  for (size_t i = 0; !r.error && i < kFaultInserts; ++i) {
    const uint64_t key = kFaultBase + 1 + i;
    auto accepted = c.insert_before(k64(key), value_of(key, 600));
    if (!accepted.ok()) {
      r.error = accepted.error();
      break;
    }
    if (!accepted.value()) panic("refused in-order key");
    ++r.accepted;
    if (c.state().insert_run == nullptr) r.spliced = r.accepted;
  }
  if (!r.error) {
    auto finished = c.finish();
    if (finished.ok()) {
      r.spliced = r.accepted;
    } else {
      r.error = finished.error();
    }
  }
  r.poisoned = c.poisoned();
  if (r.error) {
    // From now on: a poisoned cursor refuses everything; one that lost its
    // position after a re-seek refuses inserts and has nothing to finish.
    auto again = c.insert_before(k64(kFaultBase + 5000), value_of(0, 1));
    if (r.poisoned) {
      EXPECT_EQ(again.error(), StorageError::PreviousIo());
      EXPECT_EQ(c.finish().error(), StorageError::PreviousIo());
    } else if (!c.state().position && t.root) {
      r.lost_position = true;
      EXPECT_EQ(again.error(), StorageError::PreviousIo());
      EXPECT_TRUE(c.finish().ok());
    }
  }
  return r;
}

struct FaultSetup {
  std::shared_ptr<test::FaultPlan> faults = std::make_shared<test::FaultPlan>();
  std::shared_ptr<TransactionalPageStore> store;
  std::optional<BtreeHeader> committed;
  PageNumberSet committed_pages;
};

FaultSetup fault_setup(size_t cache_bytes) {
  FaultSetup s;
  s.store = TransactionalPageStore::create({.cache_bytes = cache_bytes, .faults = s.faults});
  Txn t(s.store);
  load(t, fault_base());
  s.committed = t.root;
  s.committed_pages = t.check().pages;
  return s;
}

void expect_no_leak(const FaultSetup& s) {
  s.store->rollback_all();
  EXPECT_TRUE(s.store->allocated_units() == test::units_of(s.committed_pages));
}

// The tree holds the committed pairs plus a prefix of the inserts, exactly
// those of the splices that finished.
void expect_spliced_prefix(const Txn& t, const FaultRun& r) {
  ASSERT_EQ(t.check().error, "");
  Model want = fault_base();
  const test::Pairs got = t.pairs();
  const size_t m = got.size() - want.size();
  for (size_t i = 0; i < m; ++i) want[kFaultBase + 1 + i] = value_of(kFaultBase + 1 + i, 600);
  ASSERT_TRUE(got == pairs_of(want));
  if (r.poisoned) {
    EXPECT_EQ(m, r.spliced);  // a failed splice leaves the root unchanged
  } else {
    // A failed seek or run start adds nothing; a failed re-seek follows a
    // good splice of the whole run.
    EXPECT_TRUE(m == r.spliced || m == r.accepted + 1) << m;
  }
}

TEST(CursorMutFaultTest, EveryPageReadAndAllocationFailure) {
  for (const bool reads : {true, false}) {
    SCOPED_TRACE(reads ? "page reads" : "allocations");
    size_t total = 0;
    {
      FaultSetup s = fault_setup(size_t{64} << 20);
      auto pages = std::make_shared<CountingPages>(s.store->writable());
      Txn t(s.store, pages);
      t.root = s.committed;
      FaultRun r = append_workload(t);
      ASSERT_FALSE(r.error.has_value());
      total = reads ? pages->reads : pages->allocations;
    }
    ASSERT_GT(total, reads ? 3u : 20u);
    size_t poisoned = 0;
    size_t lost_position = 0;
    for (size_t n = 1; n <= total; ++n) {
      SCOPED_TRACE("failure " + std::to_string(n));
      FaultSetup s = fault_setup(size_t{64} << 20);
      auto pages = std::make_shared<CountingPages>(s.store->writable());
      (reads ? pages->fail_read_at : pages->fail_at) = n;
      Txn t(s.store, pages);
      t.root = s.committed;
      FaultRun r = append_workload(t);
      ASSERT_TRUE(r.error.has_value());
      EXPECT_EQ(r.error->kind(), StorageError::Kind::kIo);
      poisoned += r.poisoned;
      lost_position += r.lost_position;
      ASSERT_NO_FATAL_FAILURE(expect_spliced_prefix(t, r));
      expect_no_leak(s);
    }
    // Reads fail while positioning, never inside a splice.
    EXPECT_EQ(poisoned > 0, !reads);
    if (reads) {
      EXPECT_GT(lost_position, 0u);
    }
  }
}

TEST(CursorMutFaultTest, EveryPageWriteFailure) {
  constexpr size_t kTinyCache = size_t{24} << 10;
  uint64_t total = 0;
  {
    FaultSetup s = fault_setup(kTinyCache);
    Txn t(s.store);
    t.root = s.committed;
    const uint64_t before = s.faults->calls(test::BackendOp::kWrite);
    ASSERT_FALSE(append_workload(t).error.has_value());
    total = s.faults->calls(test::BackendOp::kWrite) - before;
  }
  ASSERT_GT(total, 20u);
  for (uint64_t n = 1; n <= total; n += 1 + n / 40) {
    SCOPED_TRACE("write " + std::to_string(n));
    FaultSetup s = fault_setup(kTinyCache);
    Txn t(s.store);
    t.root = s.committed;
    s.faults->fail_nth(test::BackendOp::kWrite, s.faults->calls(test::BackendOp::kWrite) + n,
                       ENOSPC);
    FaultRun r = append_workload(t);
    ASSERT_TRUE(r.error.has_value());
    expect_no_leak(s);
  }
}

}  // namespace
}  // namespace storage
