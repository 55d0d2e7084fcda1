// Removal ranges against std::map: extract_from_if over page-list trees of one
// to four levels, with end keys below the first key, inside a leaf, at a leaf
// boundary and beyond the last key; the removed entries are the model's prefix
// in order, their guards still read the old bytes after the tree changed, and
// the checker passes after close. Then the leaf-close thresholds, parking and
// activating both ends (a batch on an unchanged and on a changed leaf), and
// fault injection at every page read, allocation and page write-back of an
// extraction: errors come back, a failed range never reports success, and
// after the abort no page leaks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/src/system_types.h"
#include "storage/src/tree_store/range_mut.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_editor.h"

namespace storage {
namespace {

using test::Bytes;
using test::CountingPages;
using test::TransactionalPageStore;
using Key = TransactionIdWithPagination;
using Table = BtreeMut<Key, PageList>;
using Model = std::map<Key, Bytes>;
using Item = std::pair<ValueGuard<Key>, ValueGuard<PageList>>;
constexpr TreeDescriptor kDesc = tree_descriptor<Key, PageList>();

Bytes kb(Key k) {
  auto a = Key::as_bytes(k);
  return Bytes(a.begin(), a.end());
}
Key key_of(ByteView b) { return Key::from_bytes(b); }

// A page list of `len` bytes: as many page numbers as fit, then filler.
Bytes page_list(uint64_t seed, size_t len) {
  std::vector<PageNumber> pages;
  for (size_t i = 0; len >= 2 && PageList::required_bytes(i + 1) <= len && i < 50; ++i) {
    pages.push_back(PageNumber(static_cast<uint32_t>(seed % 7), static_cast<uint32_t>(seed + i), 0));
  }
  Bytes v = len >= 2 ? PageList::encode(pages) : Bytes(len, 0);
  v.resize(len, static_cast<uint8_t>(seed));
  return v;
}

test::Pairs pairs_of(const Model& m) {
  test::Pairs out;
  for (const auto& [k, v] : m) out.emplace_back(kb(k), v);
  return out;
}

// One write transaction holding one page-list tree.
struct Fixture {
  explicit Fixture(std::shared_ptr<TransactionalPageStore> s,
                   std::shared_ptr<const WritablePageSource> pages = nullptr)
      : store(std::move(s)), txn(pages ? std::move(pages) : store->writable()) {}

  // Builds the model as one committed tree.
  void build(const Model& model) {
    std::optional<BtreeHeader> r;
    if (!model.empty()) {
      OwnedEntryBuffer buffer;
      for (const auto& [k, v] : model) buffer.push_back(kb(k), v);
      std::vector<PageNumber> freed;
      MutateHelper helper(r, *txn.pages, freed, txn.tracker, kDesc);
      if (!helper.splice_insert_run(std::nullopt, buffer, model.size()).ok()) panic("build");
    }
    Table t = txn.open<Key, PageList>(r);
    root = test::commit_tree(t, *store);
  }
  Table table() const { return txn.open<Key, PageList>(root); }
  test::TreeCheck check(std::optional<BtreeHeader> r) const {
    return test::check_txn_tree(*store, r, kDesc);
  }
  test::Pairs pairs(std::optional<BtreeHeader> r) const {
    return test::tree_pairs(*store->readable(), r, kDesc);
  }
  // First keys of the leaves, left to right.
  std::vector<Key> leaf_starts(std::optional<BtreeHeader> r) const {
    std::vector<Key> out;
    if (!r) return out;
    std::vector<PageNumber> stack{r->root};
    auto pages = store->readable();
    while (!stack.empty()) {
      PageImpl page = pages->get_page(stack.back(), PageReadHint::kMayBeDirty).value();
      stack.pop_back();
      if (page.memory()[0] == kLeafPageType) {
        out.push_back(key_of(LeafAccessor::create(page, kDesc).value().entry(0).value()->key));
        continue;
      }
      BranchAccessor b = BranchAccessor::create(page, kDesc).value();
      for (size_t i = b.count_children(); i-- > 0;) stack.push_back(b.child_page(i));
    }
    return out;
  }

  std::shared_ptr<TransactionalPageStore> store;
  test::TxnState txn;
  std::optional<BtreeHeader> root;
};

auto accept_all = [](const Key&, const PageList&) { return true; };

std::string text(const Key& k) {
  return "(" + std::to_string(k.transaction_id) + ", " + std::to_string(k.pagination_id) + ")";
}
// Where two key sequences first differ, as text; empty when they are equal.
std::string first_difference(const std::vector<Key>& got, const std::vector<Key>& want) {
  for (size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
    if (i < got.size() && i < want.size() && got[i] == want[i]) continue;
    return "at " + std::to_string(i) + ": got " + (i < got.size() ? text(got[i]) : "nothing") +
           ", want " + (i < want.size() ? text(want[i]) : "nothing");
  }
  return "";
}

size_t env_rounds(const char* name, size_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::strtoull(text, nullptr, 10) : fallback;
}

// ---------------------------------------------------------------------------
// Model

TEST(RangeMutModelTest, ExtractionRemovesExactlyTheModelsPrefix) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (RS_TEST_SEED replays it)");
  std::printf("RangeMutModelTest seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  const size_t rounds = env_rounds("RS_RANGE_ROUNDS", 10);
  size_t deepest = 0;
  for (size_t round = 0; round < rounds; ++round) {
    const size_t page_size = round % 3 == 2 && round + 1 != rounds ? 4096 : 1024;
    Fixture f(TransactionalPageStore::create({.page_size = page_size}));
    Model model;
    const size_t n = round < 2         ? round * 3
                     : round + 1 == rounds ? 9000  // four levels of 1024-byte pages
                                           : 1 + rng() % (round * 700);
    uint64_t t = 1 + rng() % 5;
    while (model.size() < n) {
      const uint64_t pages = 1 + rng() % 4;
      for (uint64_t p = 0; p < pages && model.size() < n; ++p) {
        const uint64_t r = rng() % 100;
        const size_t len = r < 2 ? page_size + rng() % 600 : r < 30 ? 2 + rng() % 8 * 8 : rng() % 200;
        model[Key{t, p}] = page_list(t * 31 + p, len);
      }
      t += 1 + rng() % 3;
    }
    f.build(model);
    deepest = std::max(deepest, f.check(f.root).depth);
    Table table = f.table();

    for (int step = 0; step < 3; ++step) {
      SCOPED_TRACE("round " + std::to_string(round) + " step " + std::to_string(step));
      // End key: below the first, a leaf's first key, inside a leaf, beyond the last.
      Key end{0, 0};
      const uint64_t kind = rng() % 4;
      if (!model.empty()) {
        const Key last = std::prev(model.end())->first;
        if (kind == 1) {
          const std::vector<Key> starts = f.leaf_starts(table.get_root());
          end = starts[rng() % starts.size()];
        }
        if (kind == 2) {
          auto it = model.begin();
          std::advance(it, rng() % model.size());
          end = rng() % 2 ? it->first : Key{rng() % (last.transaction_id + 2), rng() % 3};
        }
        if (kind == 3) {
          end = rng() % 2 ? Key{last.transaction_id, last.pagination_id + 1} : Key{~0ull, ~0ull};
        }
      }
      // Entries with an odd pagination index stay in every other step.
      const bool keep_odd = step == 1;
      std::vector<Item> got;
      // Every entry below the end is offered once, in key order: an entry
      // offered again would be refused twice by this predicate, which hides
      // the repeat from the removed entries alone.
      std::vector<Key> offered;
      {
        auto extraction = table.extract_from_if(end, [&](const Key& k, const PageList&) {
          offered.push_back(k);
          return !(keep_odd && k.pagination_id % 2 == 1);
        });
        while (auto item = extraction.next()) {
          ASSERT_TRUE(item->ok()) << item->error().to_string();
          got.push_back(std::move(item->value()));
        }
        EXPECT_TRUE(extraction.close().ok());
        EXPECT_TRUE(extraction.close().ok());
        EXPECT_FALSE(extraction.next().has_value());
      }
      std::vector<Key> below_end;
      for (auto it = model.begin(); it != model.end() && it->first < end; ++it) {
        below_end.push_back(it->first);
      }
      ASSERT_EQ(first_difference(offered, below_end), "");
      Model removed;
      for (auto it = model.begin(); it != model.end() && it->first < end;) {
        if (keep_odd && it->first.pagination_id % 2 == 1) {
          ++it;
          continue;
        }
        removed.insert(*it);
        it = model.erase(it);
      }
      ASSERT_EQ(got.size(), removed.size());
      size_t i = 0;
      for (const auto& [k, v] : removed) {
        // The guards read the old leaf bytes, though the tree changed.
        EXPECT_EQ(got[i].first.value(), k);
        EXPECT_TRUE(Bytes(got[i].second.bytes().begin(), got[i].second.bytes().end()) == v);
        ++i;
      }
      got.clear();
      const test::TreeCheck check = f.check(table.get_root());
      ASSERT_EQ(check.error, "");
      ASSERT_EQ(check.pairs, model.size());
      ASSERT_TRUE(f.pairs(table.get_root()) == pairs_of(model));
      EXPECT_FALSE(f.txn.poison->load());
    }
  }
  EXPECT_GE(deepest, 4u);
}

TEST(RangeMutTest, EmptyTreeAndEndBelowTheFirstKeyChangeNothing) {
  Fixture f(TransactionalPageStore::create());
  Table empty = f.table();
  {
    auto e = empty.extract_from_if(Key{5, 0}, accept_all);
    EXPECT_FALSE(e.next().has_value());
    EXPECT_TRUE(e.close().ok());
  }
  EXPECT_FALSE(empty.get_root().has_value());

  Model model;
  for (uint64_t t = 10; t < 400; ++t) model[Key{t, 0}] = page_list(t, 100);
  f.build(model);
  Table table = f.table();
  {
    auto e = table.extract_from_if(Key{10, 0}, accept_all);
    EXPECT_FALSE(e.next().has_value());
  }
  EXPECT_EQ(table.get_root(), f.root);
  EXPECT_TRUE(f.txn.freed_pages().empty());
}

// ---------------------------------------------------------------------------
// Leaf close thresholds (4096-byte pages: a leaf under 1365 bytes is underfull)

struct ThresholdCase {
  size_t remainder;  // encoded bytes of the first leaf after the removal
  bool joins_run;
};

TEST(RangeMutTest, ALeafAtAThirdOfAPageStaysAndOneByteLessJoinsARun) {
  for (const ThresholdCase c : {ThresholdCase{1365, false}, ThresholdCase{1364, true}}) {
    SCOPED_TRACE(std::to_string(c.remainder) + " bytes");
    Fixture f(TransactionalPageStore::create());
    // Leaf 0: (1,0) with 2000 bytes, (1,1) whose leaf alone is `remainder`
    // bytes (4 header + 4 offset + 16 key + value); then leaves of two 2000-byte
    // values each.
    Model model;
    model[Key{1, 0}] = page_list(1, 2000);
    model[Key{1, 1}] = page_list(2, c.remainder - 24);
    for (uint64_t t = 2; t < 12; ++t) model[Key{t, 0}] = page_list(t, 2000);
    f.build(model);
    const std::vector<PageNumber> before = [&] {
      std::vector<PageNumber> out;
      BranchAccessor root = BranchAccessor::create(
          f.store->readable()->get_page(f.root->root, PageReadHint::kMayBeDirty).value(), kDesc)
                                .value();
      for (size_t i = 0; i < root.count_children(); ++i) out.push_back(root.child_page(i));
      return out;
    }();
    ASSERT_EQ(f.leaf_starts(f.root)[1], (Key{2, 0}));  // the layout the case needs
    Table table = f.table();
    {
      auto e = table.extract_from_if(Key{1, 1}, accept_all);
      auto item = e.next();
      ASSERT_TRUE(item.has_value() && item->ok());
      EXPECT_FALSE(e.next().has_value());
    }
    model.erase(Key{1, 0});
    ASSERT_EQ(f.check(table.get_root()).error, "");
    ASSERT_TRUE(f.pairs(table.get_root()) == pairs_of(model));
    PageImpl root_page =
        f.store->readable()->get_page(table.get_root()->root, PageReadHint::kMayBeDirty).value();
    BranchAccessor root = BranchAccessor::create(root_page, kDesc).value();
    // Staying: only leaf 0 is rebuilt. Joining a run: the run's small
    // remainder takes in leaf 1 when spliced.
    EXPECT_NE(root.child_page(0), before[0]);
    EXPECT_EQ(root.child_page(1) == before[1], !c.joins_run);
    EXPECT_EQ(root.count_children(), before.size());
  }
}

// Emptied leaves join one run per parent; the run reaching its parent's last
// child is spliced at once (the parent goes with it), and the scan re-seeks and
// goes on in the next subtree.
TEST(RangeMutTest, ARunReachingItsParentsLastChildIsSplicedAndTheScanGoesOn) {
  Fixture f(TransactionalPageStore::create({.page_size = 1024}));
  Model model;
  for (uint64_t t = 1; t <= 3000; ++t) model[Key{t, 0}] = page_list(t, 60);
  f.build(model);
  ASSERT_GE(f.check(f.root).depth, 3u);
  auto pages = f.store->readable();
  BranchAccessor root = BranchAccessor::create(
      pages->get_page(f.root->root, PageReadHint::kMayBeDirty).value(), kDesc).value();
  const PageNumber first_parent = root.child_page(0);
  const size_t first_parent_leaves = [&] {
    PageImpl page = pages->get_page(first_parent, PageReadHint::kMayBeDirty).value();
    return BranchAccessor::create(page, kDesc).value().count_children();
  }();
  // Everything under the first parent, and two leaves of the next one.
  const Key end = f.leaf_starts(f.root)[first_parent_leaves + 2];
  Table table = f.table();
  size_t taken = 0;
  {
    auto e = table.extract_from_if(end, accept_all);
    while (auto item = e.next()) {
      ASSERT_TRUE(item->ok());
      ++taken;
    }
    ASSERT_TRUE(e.close().ok());
  }
  model.erase(model.begin(), model.lower_bound(end));
  EXPECT_EQ(taken, 3000 - model.size());
  ASSERT_EQ(f.check(table.get_root()).error, "");
  EXPECT_TRUE(f.pairs(table.get_root()) == pairs_of(model));
  EXPECT_FALSE(f.check(table.get_root()).pages.contains(first_parent));
}

// ---------------------------------------------------------------------------
// Parking and activating

struct ParkSetup {
  Fixture f{TransactionalPageStore::create()};
  Model model;
  ParkSetup() {
    for (uint64_t t = 1; t <= 300; ++t) model[Key{t, 0}] = page_list(t, 90);
    f.build(model);
  }
};

TEST(RangeMutTest, ParkedBatchOnAnUnchangedLeafContinuesItsRemovals) {
  ParkSetup s;
  Table table = s.f.table();
  RangeMut range = removal_range_below(table.untyped(), kb(Key{200, 0}));
  std::vector<std::pair<ValueRef, ValueRef>> taken;
  for (int i = 0; i < 3; ++i) taken.push_back(*range.remove_next().value());
  // Activating the back parks the front with its pending removals.
  ASSERT_TRUE(range.activate(RangeSide::kBack).ok());
  const auto* batch = std::get_if<ParkedBatch>(&range.end_state(RangeSide::kFront).kind);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(batch->removed_indexes, (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(batch->resume, EncodedBound::included(kb(Key{4, 0})));
  // The back end resumes just below the end key when parked again.
  ASSERT_TRUE(range.activate(RangeSide::kFront).ok());
  EXPECT_EQ(std::get<EndState::ParkedKey>(range.end_state(RangeSide::kBack).kind).resume,
            EncodedBound::included(kb(Key{199, 0})));
  const auto& live = std::get<EndState::Live>(range.end_state(RangeSide::kFront).kind).state;
  EXPECT_EQ(live.removed_indexes, (std::vector<size_t>{0, 1, 2}));
  EXPECT_TRUE(live.entries_lent);
  EXPECT_EQ(key_of(range.peek_next().value()->key()), (Key{4, 0}));
  ASSERT_TRUE(range.flush_end(RangeSide::kFront).ok());
  ASSERT_TRUE(range.flush_end(RangeSide::kBack).ok());
  for (uint64_t t = 1; t <= 3; ++t) s.model.erase(Key{t, 0});
  EXPECT_EQ(s.f.check(table.get_root()).error, "");
  EXPECT_TRUE(s.f.pairs(table.get_root()) == pairs_of(s.model));
  EXPECT_EQ(key_of(taken[2].first.bytes()), (Key{3, 0}));
}

TEST(RangeMutTest, ParkedBatchOnAChangedLeafIsAppliedByKey) {
  ParkSetup s;
  Table table = s.f.table();
  RangeMut range = removal_range_below(table.untyped(), kb(Key{200, 0}));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(range.remove_next().value().has_value());
  ASSERT_TRUE(range.activate(RangeSide::kBack).ok());
  ASSERT_TRUE(std::holds_alternative<ParkedBatch>(range.end_state(RangeSide::kFront).kind));
  // Another edit rewrites the parked leaf meanwhile.
  ASSERT_TRUE(range.tree().helper().delete_key(kb(Key{5, 0}), false).ok());
  range.tree().drain_freed();
  ASSERT_TRUE(range.activate(RangeSide::kFront).ok());
  const auto& live = std::get<EndState::Live>(range.end_state(RangeSide::kFront).kind).state;
  EXPECT_TRUE(live.removed_indexes.empty());
  for (uint64_t t : {1, 2, 3, 5}) s.model.erase(Key{t, 0});
  EXPECT_TRUE(s.f.pairs(table.get_root()) == pairs_of(s.model));
  EXPECT_EQ(key_of(range.peek_next().value()->key()), (Key{4, 0}));
  ASSERT_TRUE(range.remove_next().value().has_value());
  ASSERT_TRUE(range.flush_end(RangeSide::kFront).ok());
  s.model.erase(Key{4, 0});
  EXPECT_EQ(s.f.check(table.get_root()).error, "");
  EXPECT_TRUE(s.f.pairs(table.get_root()) == pairs_of(s.model));
}

// Entries passed, some taken and some stepped over, then an end flushed: the
// removals are applied and the end resumes after the last entry it passed,
// mid-leaf or at a leaf's end, instead of from the range's start.
TEST(RangeMutTest, AFlushedEndResumesAfterTheLastEntryItPassed) {
  ParkSetup s;
  const size_t first_leaf = s.f.leaf_starts(s.f.root)[1].transaction_id - 1;
  ASSERT_LT(first_leaf + 3, 150u);  // the stops below cross a leaf's end
  for (const RangeSide flushed : {RangeSide::kFront, RangeSide::kBack}) {
    for (size_t passed = 1; passed <= first_leaf + 3; ++passed) {
      SCOPED_TRACE(std::string(flushed == RangeSide::kFront ? "front" : "back") +
                   " flushed after " + std::to_string(passed));
      Fixture f(s.f.store);
      f.root = s.f.root;
      Model model = s.model;
      Table table = f.table();
      RangeMut range = removal_range_below(table.untyped(), kb(Key{200, 0}));
      // Every third entry is taken, the others stay.
      for (uint64_t t = 1; t <= passed; ++t) {
        if (t % 3 == 0) {
          ASSERT_EQ(key_of(range.remove_next().value()->first.bytes()), (Key{t, 0}));
          model.erase(Key{t, 0});
        } else {
          ASSERT_TRUE(range.skip_next().value());
        }
      }
      // Flushing the back activates the front first when it holds removals.
      if (flushed == RangeSide::kBack) {
        ASSERT_TRUE(range.activate(RangeSide::kBack).ok());
      }
      ASSERT_TRUE(range.flush_end(RangeSide::kFront).ok());
      ASSERT_TRUE(range.flush_end(RangeSide::kBack).ok());
      EXPECT_TRUE(f.pairs(table.get_root()) == pairs_of(model));
      EXPECT_EQ(text(key_of(range.peek_next().value()->key())), text(Key{passed + 1, 0}));
      // The rest of the range, all taken.
      for (uint64_t t = passed + 1; t < 200; ++t) {
        auto removed = range.remove_next();
        ASSERT_TRUE(removed.ok() && removed.value().has_value()) << t;
        ASSERT_EQ(text(key_of(removed.value()->first.bytes())), text(Key{t, 0}));
        model.erase(Key{t, 0});
      }
      EXPECT_FALSE(range.peek_next().value().has_value());
      ASSERT_TRUE(range.flush_end(RangeSide::kFront).ok());
      ASSERT_EQ(f.check(table.get_root()).error, "");
      EXPECT_TRUE(f.pairs(table.get_root()) == pairs_of(model));
    }
  }
}

// The back end parked by its own position holds an Included bound at the
// last entry below the end (or an Excluded one at a leaf's first key): an
// extraction run up to it takes exactly the entries below the end.
TEST(RangeMutTest, AnExtractionUpToAParkedBackEndTakesEveryEntryBelowTheEnd) {
  ParkSetup s;
  const std::vector<Key> starts = s.f.leaf_starts(s.f.root);
  ASSERT_GE(starts.size(), 3u);
  struct Case {
    const char* name;
    Key end;
  };
  const Case cases[] = {
      {"inside a leaf", Key{200, 0}},
      {"between two keys", Key{200, 7}},
      {"a leaf's first key", starts[2]},
      {"beyond the last key", Key{~0ull, ~0ull}},
      {"the first key", Key{1, 0}},
  };
  for (const Case& c : cases) {
    for (const bool activate_front : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (activate_front ? ", parked by the front" : ""));
      Fixture f(s.f.store);
      f.root = s.f.root;
      Table table = f.table();
      std::vector<Key> taken;
      {
        auto e = table.extract_from_if(c.end, accept_all);
        RangeMut& range = e.untyped().range();
        ASSERT_TRUE(range.activate(RangeSide::kBack).ok());
        ASSERT_TRUE(activate_front ? range.activate(RangeSide::kFront).ok()
                                   : range.park(RangeSide::kBack).ok());
        const EncodedBound& bound =
            std::get<EndState::ParkedKey>(range.end_state(RangeSide::kBack).kind).resume;
        auto below = s.model.lower_bound(c.end);
        if (below != s.model.begin()) {
          // Parked on the last entry below the end, or just before a leaf.
          EXPECT_TRUE(bound == EncodedBound::included(kb(std::prev(below)->first)) ||
                      (bound.kind == BoundKind::kExcluded &&
                       key_of(ByteView(bound.key)) >= c.end));
        }
        while (auto item = e.next()) {
          ASSERT_TRUE(item->ok());
          taken.push_back(item->value().first.value());
        }
        ASSERT_TRUE(e.close().ok());
      }
      Model model = s.model;
      std::vector<Key> want;
      for (auto it = model.begin(); it != model.end() && it->first < c.end;) {
        want.push_back(it->first);
        it = model.erase(it);
      }
      EXPECT_EQ(first_difference(taken, want), "");
      ASSERT_EQ(f.check(table.get_root()).error, "");
      EXPECT_TRUE(f.pairs(table.get_root()) == pairs_of(model));
    }
  }
}

// Both ends driven at random against a model: entries taken or stepped over,
// either end activated, parked or flushed between any two steps. Each step
// must offer the model's next entry, and the tree must hold the model
// whenever both ends are flushed.
TEST(RangeMutModelTest, InterleavedEndsOfferEachEntryOnceAndRemoveTheTakenOnes) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (RS_TEST_SEED replays it)");
  std::printf("RangeMutModelTest interleaved seed %llu\n", static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  const size_t rounds = env_rounds("RS_RANGE_ROUNDS", 10) * 3;
  size_t flushed_with_removals = 0;
  for (size_t round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const size_t page_size = round % 2 == 0 ? 1024 : 4096;
    Fixture f(TransactionalPageStore::create({.page_size = page_size}));
    Model model;
    const size_t n = 1 + rng() % 1500;
    for (uint64_t t = 1; model.size() < n; t += 1 + rng() % 2) {
      for (uint64_t p = 0; p < 1 + rng() % 3; ++p) model[Key{t, p}] = page_list(t + p, rng() % 150);
    }
    f.build(model);
    Key end = Key{~0ull, ~0ull};
    if (rng() % 4 != 0) {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      end = rng() % 2 ? it->first : Key{it->first.transaction_id, it->first.pagination_id + 1};
    }
    Table table = f.table();
    RangeMut range = removal_range_below(table.untyped(), kb(end));
    std::optional<Key> passed;  // the last entry taken or stepped over
    auto expected_next = [&]() -> std::optional<Key> {
      auto it = passed ? model.upper_bound(*passed) : model.begin();
      if (it == model.end() || !(it->first < end)) return std::nullopt;
      return it->first;
    };
    for (size_t step = 0;; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      const uint64_t op = rng() % 20;
      if (op < 3) {
        // The front, the back, or the back then the front: with both
        // flushed, every removal so far is in the tree.
        const RangeSide side = op == 0 ? RangeSide::kFront : RangeSide::kBack;
        // Removals pending: the flush applies them and drops the position.
        const EndState& state = range.end_state(side);
        if (std::holds_alternative<ParkedBatch>(state.kind) ||
            (std::holds_alternative<EndState::Live>(state.kind) &&
             !std::get<EndState::Live>(state.kind).state.removed_indexes.empty())) {
          ++flushed_with_removals;
        }
        ASSERT_TRUE(range.flush_end(side).ok());
        if (op == 2) {
          ASSERT_TRUE(range.flush_end(RangeSide::kFront).ok());
          ASSERT_TRUE(f.pairs(table.get_root()) == pairs_of(model));
        }
        continue;
      }
      if (op < 5) {
        ASSERT_TRUE(range.activate(op == 3 ? RangeSide::kFront : RangeSide::kBack).ok());
        continue;
      }
      if (op < 7) {
        ASSERT_TRUE(range.park(op == 5 ? RangeSide::kFront : RangeSide::kBack).ok());
        continue;
      }
      const std::optional<Key> want = expected_next();
      auto peeked = range.peek_next();
      ASSERT_TRUE(peeked.ok());
      ASSERT_EQ(peeked.value().has_value(), want.has_value());
      if (!want) break;
      ASSERT_EQ(text(key_of(peeked.value()->key())), text(*want));
      if (op < 14) {
        auto removed = range.remove_next();
        ASSERT_TRUE(removed.ok() && removed.value().has_value());
        ASSERT_EQ(text(key_of(removed.value()->first.bytes())), text(*want));
        model.erase(*want);
      } else {
        ASSERT_TRUE(range.skip_next().value());
      }
      passed = want;
    }
    ASSERT_TRUE(range.flush_end(RangeSide::kFront).ok());
    ASSERT_TRUE(range.flush_end(RangeSide::kBack).ok());
    ASSERT_FALSE(range.poisoned());
    ASSERT_EQ(f.check(table.get_root()).error, "");
    ASSERT_TRUE(f.pairs(table.get_root()) == pairs_of(model));
  }
  EXPECT_GT(flushed_with_removals, 0u);
}

// ---------------------------------------------------------------------------
// Fault injection

// 1024-byte pages, three levels; the workload removes two thirds of the
// entries below the end key, so leaves are emptied, left underfull or kept.
constexpr Key kFaultEnd{900, 0};
constexpr size_t kFaultPage = 1024;

Model fault_model() {
  Model m;
  for (uint64_t t = 1; t <= 1200; ++t) m[Key{t, 0}] = page_list(t, 40 + t % 7 * 20);
  return m;
}
bool kept(const Key& k) { return k.transaction_id % 3 == 0; }

struct FaultSetup {
  std::shared_ptr<test::FaultPlan> faults = std::make_shared<test::FaultPlan>();
  std::shared_ptr<TransactionalPageStore> store;
  std::optional<BtreeHeader> committed;
  PageNumberSet committed_pages;
};

FaultSetup fault_setup(size_t cache_bytes) {
  FaultSetup s;
  s.store = TransactionalPageStore::create(
      {.page_size = kFaultPage, .cache_bytes = cache_bytes, .faults = s.faults});
  Fixture f(s.store);
  f.build(fault_model());
  s.committed = f.root;
  s.committed_pages = f.check(f.root).pages;
  return s;
}

struct FaultOutcome {
  std::optional<StorageError> error;
  bool transaction_poisoned = false;
};

// Extracts every entry below kFaultEnd, then closes. After an error every
// later call answers PreviousIo, and dropping the extraction poisons the
// transaction.
FaultOutcome removal_workload(Fixture& f) {
  FaultOutcome out;
  Table table = f.table();
  {
    auto e = table.extract_from_if(kFaultEnd, [](const Key& k, const PageList&) { return !kept(k); });
    while (auto item = e.next()) {
      if (!item->ok()) {
        out.error = item->error();
        break;
      }
    }
    auto closed = e.close();
    if (out.error) {
      EXPECT_EQ(closed.error(), StorageError::PreviousIo());
      EXPECT_EQ(e.next()->error(), StorageError::PreviousIo());
      EXPECT_EQ(e.close().error(), StorageError::PreviousIo());
    } else if (!closed.ok()) {
      out.error = closed.error();
    }
  }
  out.transaction_poisoned = f.txn.poison->load();
  // The tree handle refuses further use with its transaction.
  EXPECT_EQ(table.poisoned(), out.transaction_poisoned);
  if (!out.error) {
    Model want = fault_model();
    std::erase_if(want, [](const auto& kv) { return kv.first < kFaultEnd && !kept(kv.first); });
    EXPECT_EQ(f.check(table.get_root()).error, "");
    EXPECT_TRUE(f.pairs(table.get_root()) == pairs_of(want));
  }
  return out;
}

void expect_no_leak(const FaultSetup& s) {
  s.store->rollback_all();
  EXPECT_TRUE(s.store->allocated_units() == test::units_of(s.committed_pages));
}

TEST(RangeMutFaultTest, EveryPageReadAndAllocationFailure) {
  for (const bool reads : {true, false}) {
    SCOPED_TRACE(reads ? "page reads" : "allocations");
    size_t total = 0;
    {
      FaultSetup s = fault_setup(size_t{64} << 20);
      auto pages = std::make_shared<CountingPages>(s.store->writable());
      Fixture f(s.store, pages);
      f.root = s.committed;
      FaultOutcome o = removal_workload(f);
      ASSERT_FALSE(o.error.has_value());
      ASSERT_FALSE(o.transaction_poisoned);
      total = reads ? pages->reads : pages->allocations;
    }
    ASSERT_GT(total, 10u);
    for (size_t n = 1; n <= total; ++n) {
      SCOPED_TRACE("failure " + std::to_string(n));
      FaultSetup s = fault_setup(size_t{64} << 20);
      auto pages = std::make_shared<CountingPages>(s.store->writable());
      (reads ? pages->fail_read_at : pages->fail_at) = n;
      Fixture f(s.store, pages);
      f.root = s.committed;
      FaultOutcome o = removal_workload(f);
      ASSERT_TRUE(o.error.has_value());
      EXPECT_EQ(o.error->kind(), StorageError::Kind::kIo);
      EXPECT_TRUE(o.transaction_poisoned);
      expect_no_leak(s);
    }
  }
}

TEST(RangeMutFaultTest, EveryPageWriteFailure) {
  constexpr size_t kTinyCache = size_t{8} << 10;
  uint64_t total = 0;
  {
    FaultSetup s = fault_setup(kTinyCache);
    Fixture f(s.store);
    f.root = s.committed;
    ASSERT_GE(f.check(f.root).depth, 3u);
    const uint64_t before = s.faults->calls(test::BackendOp::kWrite);
    ASSERT_FALSE(removal_workload(f).error.has_value());
    total = s.faults->calls(test::BackendOp::kWrite) - before;
  }
  ASSERT_GT(total, 5u);
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("write " + std::to_string(n));
    FaultSetup s = fault_setup(kTinyCache);
    Fixture f(s.store);
    f.root = s.committed;
    s.faults->fail_nth(test::BackendOp::kWrite, s.faults->calls(test::BackendOp::kWrite) + n,
                       ENOSPC);
    FaultOutcome o = removal_workload(f);
    ASSERT_TRUE(o.error.has_value());
    EXPECT_TRUE(o.transaction_poisoned);
    expect_no_leak(s);
  }
}

// A failed page read that changed nothing (a seek, a step, a re-seek after a
// leaf's removals went in) is only returned: asked again, directly or after
// its front end was parked or flushed, the range goes on where it stood and
// offers every entry below the end once, in order. A failed edit poisons it
// instead.
TEST(RangeMutFaultTest, AfterAnUnpoisonedReadFailureTheRangeGoesOnWhereItStood) {
  size_t total = 0;
  size_t retried = 0;
  size_t retried_reseek = 0;
  for (size_t n = 0; n == 0 || n <= total; ++n) {
    SCOPED_TRACE("read " + std::to_string(n));
    FaultSetup s = fault_setup(size_t{64} << 20);
    auto pages = std::make_shared<CountingPages>(s.store->writable());
    pages->fail_read_at = n;
    Fixture f(s.store, pages);
    f.root = s.committed;
    Table table = f.table();
    RangeMut range = removal_range_below(table.untyped(), kb(kFaultEnd));
    Model model = fault_model();
    std::vector<Key> offered;
    bool failed = false;
    for (size_t guard = 0; guard < 10000; ++guard) {
      auto peeked = range.peek_next();
      if (peeked.ok() && !peeked.value()) break;
      if (peeked.ok()) {
        const Key k = key_of(peeked.value()->key());
        // Offered again after a failure of the step below: counted once.
        if (offered.empty() || offered.back() != k) offered.push_back(k);
        if (kept(k)) {
          if (auto skipped = range.skip_next(); skipped.ok()) continue;
        } else if (auto removed = range.remove_next(); removed.ok()) {
          model.erase(k);
          continue;
        }
      }
      if (range.poisoned()) break;
      failed = true;
      const auto* live = std::get_if<EndState::Live>(&range.end_state(RangeSide::kFront).kind);
      if (live != nullptr && live->state.reseek_after) ++retried_reseek;
      if (n % 3 == 1) {
        ASSERT_TRUE(range.park(RangeSide::kFront).ok());
      } else if (n % 3 == 2) {
        ASSERT_TRUE(range.flush_end(RangeSide::kFront).ok());
      }
    }
    if (n == 0) {
      total = pages->reads;
      ASSERT_GT(total, 10u);
    }
    if (range.poisoned()) continue;
    retried += failed;
    ASSERT_TRUE(range.flush_end(RangeSide::kFront).ok());
    ASSERT_TRUE(range.flush_end(RangeSide::kBack).ok());
    std::vector<Key> below_end;
    for (const auto& [k, v] : fault_model()) {
      if (k < kFaultEnd) below_end.push_back(k);
    }
    ASSERT_EQ(first_difference(offered, below_end), "");
    ASSERT_EQ(f.check(table.get_root()).error, "");
    ASSERT_TRUE(f.pairs(table.get_root()) == pairs_of(model));
  }
  EXPECT_GT(retried, 0u);
  EXPECT_GT(retried_reseek, 0u);
}

// Entries taken, then the extraction dropped (or closed): its close applies
// their removals. When that fails the extraction never reports success again,
// and the transaction must not commit.
TEST(RangeMutFaultTest, AFailedFinalFlushIsNeverSwallowed) {
  size_t allocations = 0;
  enum Mode { kCleanDrop, kFailingDrop, kFailingClose };
  for (const Mode mode : {kCleanDrop, kFailingDrop, kFailingClose}) {
    SCOPED_TRACE(mode);
    FaultSetup s = fault_setup(size_t{64} << 20);
    auto pages = std::make_shared<CountingPages>(s.store->writable());
    if (mode != kCleanDrop) pages->fail_at = allocations;  // the last one, made by the flush
    Fixture f(s.store, pages);
    f.root = s.committed;
    Table table = f.table();
    {
      auto e = table.extract_from_if(kFaultEnd, accept_all);
      for (int i = 0; i < 3; ++i) ASSERT_TRUE(e.next()->ok());
      ASSERT_EQ(pages->allocations, 0u);  // removals wait for the leaf to close
      if (mode == kFailingClose) {
        EXPECT_EQ(e.close().error().kind(), StorageError::Kind::kIo);
        EXPECT_EQ(e.next()->error(), StorageError::PreviousIo());
        EXPECT_EQ(e.close().error(), StorageError::PreviousIo());
      }
    }
    if (mode == kCleanDrop) allocations = pages->allocations;
    ASSERT_GT(allocations, 0u);
    EXPECT_EQ(f.txn.poison->load(), mode != kCleanDrop);
  }
}

}  // namespace
}  // namespace storage
