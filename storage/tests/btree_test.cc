// Tree handles over a page store: lookups, every insert case, in-place
// overwrites, reservations, freed-page bookkeeping, poisoning after failed
// edits, and the refusal of pairs whose offsets would not fit a u32.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/btree_iters.h"
#include "storage/tests/support/panic_text.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_harness.h"

namespace storage {
namespace {

using test::Bytes;
using test::check_txn_tree;
using test::commit_tree;
using test::CountingPages;
using test::TransactionalPageStore;
using test::TxnState;

using U64Tree = BtreeMut<U64Codec, BytesCodec>;
using TextTree = BtreeMut<TextCodec, TextCodec>;
constexpr TreeDescriptor kU64Bytes = tree_descriptor<U64Codec, BytesCodec>();
constexpr TreeDescriptor kTextText = tree_descriptor<TextCodec, TextCodec>();

Bytes filled(size_t n, uint8_t b) { return Bytes(n, b); }
ByteView bv(const Bytes& b) { return ByteView(b); }

std::string value_text(const std::optional<ValueGuard<BytesCodec>>& g) {
  return g ? test::text_of(g->bytes()) : "<none>";
}

class BtreeTest : public ::testing::Test {
 protected:
  std::shared_ptr<TransactionalPageStore> store = TransactionalPageStore::create();
  std::shared_ptr<CountingPages> pages = std::make_shared<CountingPages>(store->writable());
  TxnState txn{std::shared_ptr<const WritablePageSource>(pages)};

  void expect_valid(std::optional<BtreeHeader> root, const TreeDescriptor& d,
                    bool pending = true) {
    test::TreeCheck check = check_txn_tree(*store, root, d, pending);
    EXPECT_EQ(check.error, "");
  }
  // Leaves of the tree in key order.
  std::vector<PageNumber> leaves(std::optional<BtreeHeader> root) {
    std::vector<PageNumber> out;
    UntypedBtree walk(root, U64Codec::fixed_width(), store->readable(),
                      PageReadHint::kMayBeDirty);
    EXPECT_TRUE(walk.visit_all_pages([&](std::span<const PageNumber> path)
                                         -> Result<void, StorageError> {
                      auto page = store->get_page(path.back(), PageReadHint::kMayBeDirty);
                      if (page->memory()[0] == kLeafPageType) out.push_back(path.back());
                      return {};
                    })
                    .ok());
    return out;
  }
  size_t pair_count(PageNumber leaf) {
    auto page = store->get_page(leaf, PageReadHint::kMayBeDirty);
    return load_le16(page->memory().data() + 2);
  }
};

TEST_F(BtreeTest, EmptyTreeReadsNothing) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  EXPECT_FALSE(tree.get(1).value().has_value());
  EXPECT_FALSE(tree.last().value().has_value());
  EXPECT_EQ(tree.finalize_dirty_checksums().value(), std::nullopt);
  bool visited = false;
  EXPECT_TRUE(tree.untyped()
                  .dirty_leaf_visitor([&](LeafPageMut<PageMut>&) -> Result<void, StorageError> {
                    visited = true;
                    return {};
                  })
                  .ok());
  auto snapshot = Btree<U64Codec, BytesCodec>::create(std::nullopt, PageReadHint::kCommitted,
                                                      nullptr, store->readable());
  ASSERT_TRUE(snapshot.ok());
  EXPECT_TRUE(snapshot->verify_checksum().value());
  EXPECT_TRUE(snapshot->visit_all_pages([&](std::span<const PageNumber>)
                                            -> Result<void, StorageError> {
                 visited = true;
                 return {};
               })
                  .ok());
  EXPECT_FALSE(visited);
  EXPECT_EQ(pages->allocations, 0u);
}

TEST_F(BtreeTest, FirstInsertAndReplacementInPlace) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  auto old = tree.insert(7, bv(test::str_bytes("seven")));
  ASSERT_TRUE(old.ok());
  EXPECT_FALSE(old->has_value());
  ASSERT_TRUE(tree.get_root().has_value());
  EXPECT_EQ(tree.get_root()->checksum, kPendingChecksum);
  EXPECT_EQ(tree.get_root()->length, 1u);
  const PageNumber leaf = tree.get_root()->root;

  // Same length, then longer: both in place in the uncommitted leaf.
  const uint64_t allocations = pages->allocations;
  auto same = tree.insert(7, bv(test::str_bytes("SEVEN")));
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(value_text(*same), "seven");
  EXPECT_EQ((*same)->kind(), PageHolder::Kind::kOwned);
  auto longer = tree.insert(7, bv(test::str_bytes("seventy-seven")));
  EXPECT_EQ(value_text(longer.value()), "SEVEN");
  EXPECT_EQ(pages->allocations, allocations);
  EXPECT_EQ(tree.get_root()->root, leaf);
  EXPECT_EQ(tree.get_root()->length, 1u);
  EXPECT_EQ(value_text(tree.get(7).value()), "seventy-seven");
  EXPECT_FALSE(tree.get(8).value().has_value());
  EXPECT_TRUE(txn.freed_pages().empty());
  expect_valid(tree.get_root(), kU64Bytes);
}

TEST_F(BtreeTest, LookupDescendsByTheSeparatorTieRule) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  for (uint64_t k = 0; k < 200; ++k) ASSERT_TRUE(tree.insert(k * 2, bv(filled(100, 1))).ok());
  auto root = store->get_page(tree.get_root()->root, PageReadHint::kMayBeDirty).value();
  ASSERT_EQ(root.memory()[0], kBranchPageType);
  auto branch = BranchAccessor::create(root, kU64Bytes).value();
  const uint64_t separator = U64Codec::from_bytes(*branch.key(0).value());
  // The separator is the left leaf's last key: found there.
  EXPECT_TRUE(tree.get(separator).value().has_value());
  EXPECT_TRUE(tree.get(separator + 2).value().has_value());
  EXPECT_FALSE(tree.get(separator + 1).value().has_value());
  EXPECT_TRUE(tree.get(398).value().has_value());
  EXPECT_FALSE(tree.get(399).value().has_value());   // past every separator
  EXPECT_FALSE(tree.get(1000).value().has_value());
  // Before every key: the leftmost leaf, and nothing.
  TextTree text = txn.open<TextCodec, TextCodec>(std::nullopt);
  ASSERT_TRUE(text.insert("b", "x").ok());
  EXPECT_FALSE(text.get("a").value().has_value());
  EXPECT_FALSE(text.get("bb").value().has_value());
  EXPECT_EQ(text.get("b").value()->value(), "x");
}

TEST_F(BtreeTest, LastOfOneLeafAndOfManyLevels) {
  TextTree tree = txn.open<TextCodec, TextCodec>(std::nullopt);
  ASSERT_TRUE(tree.insert("m", "middle").ok());
  ASSERT_TRUE(tree.insert("z", "end").ok());
  ASSERT_TRUE(tree.insert("a", "start").ok());
  auto last = tree.last().value();
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->first.value(), "z");
  EXPECT_EQ(last->second.value(), "end");
  // Both guards share the one leaf page.
  EXPECT_EQ(last->first.kind(), PageHolder::Kind::kReadOnly);
  const auto distance = last->second.bytes().data() - last->first.bytes().data();
  EXPECT_TRUE(distance > 0 && distance < 4096);
  last.reset();

  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(tree.insert("k" + std::to_string(100000 + i), std::string(50, 'v')).ok());
  }
  EXPECT_EQ(tree.last().value()->first.value(), "z");
  expect_valid(tree.get_root(), kTextText);
}

TEST_F(BtreeTest, CommittedPathIsCopiedAndQueued) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  // Three levels: many keys with values of a quarter page.
  for (uint64_t k = 0; k < 3000; ++k) ASSERT_TRUE(tree.insert(k * 10, bv(filled(900, 2))).ok());
  auto committed = commit_tree(tree, *store);
  test::TreeCheck before = check_txn_tree(*store, committed, kU64Bytes);
  ASSERT_EQ(before.error, "");
  ASSERT_EQ(before.depth, 3u);

  U64Tree next = txn.open<U64Codec, BytesCodec>(committed);
  ASSERT_FALSE(next.insert(12345, bv(filled(10, 3))).value().has_value());
  // The root, one branch and one leaf were replaced and queued; nothing was
  // freed at once, and the new root carries the pending checksum.
  std::vector<PageNumber> freed = txn.freed_pages();
  EXPECT_EQ(freed.size(), 3u);
  EXPECT_NE(std::find(freed.begin(), freed.end(), committed->root), freed.end());
  EXPECT_NE(next.get_root()->root, committed->root);
  EXPECT_EQ(next.get_root()->checksum, kPendingChecksum);
  EXPECT_EQ(next.get_root()->length, committed->length + 1);
  for (PageNumber p : freed) EXPECT_TRUE(before.pages.contains(p));
  expect_valid(next.get_root(), kU64Bytes);

  // A replacement in a committed leaf hands out the old page read-only.
  auto old = next.insert(50, bv(filled(5, 4))).value();
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(old->kind(), PageHolder::Kind::kReadOnly);
  EXPECT_EQ(old->bytes().size(), 900u);
  EXPECT_EQ(next.get_root()->length, committed->length + 1);
  // The committed snapshot still reads its own values.
  auto snapshot = Btree<U64Codec, BytesCodec>::create(committed, PageReadHint::kCommitted,
                                                      nullptr, store->readable())
                      .value();
  EXPECT_EQ(snapshot.get(50).value()->bytes().size(), 900u);
  EXPECT_FALSE(snapshot.get(12345).value().has_value());
  EXPECT_TRUE(snapshot.verify_checksum().value());
}

TEST_F(BtreeTest, OldValueOfARebuiltUncommittedLeafOutlivesItsPage) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  for (uint64_t k = 0; k < 3; ++k) ASSERT_TRUE(tree.insert(k, bv(filled(1000, 'a' + k))).ok());
  const PageNumber leaf = tree.get_root()->root;
  // Too long for the room left: the leaf is rebuilt (and split), and freed at once.
  auto old = tree.insert(1, bv(filled(2500, 'z'))).value();
  ASSERT_TRUE(old.has_value());
  EXPECT_EQ(old->kind(), PageHolder::Kind::kSharedBytes);
  EXPECT_TRUE(txn.freed_pages().empty());
  // The new root branch, built after the leaf was freed, took its place.
  EXPECT_EQ(tree.get_root()->root, leaf);
  for (uint64_t k = 10; k < 30; ++k) ASSERT_TRUE(tree.insert(k, bv(filled(1500, 'q'))).ok());
  EXPECT_EQ(old->bytes().size(), 1000u);
  EXPECT_TRUE(std::all_of(old->bytes().begin(), old->bytes().end(),
                          [](uint8_t b) { return b == 'b'; }));
  expect_valid(tree.get_root(), kU64Bytes);
}

// A leaf this transaction wrote, pushed out of the write buffer to the file
// and read back, is checked like any page read from the file: damage there is
// Corrupted, not overwritten and given a fresh checksum.
TEST(BtreeOwnPagesTest, OwnLeafReadBackFromTheFileIsCheckedAgain) {
  auto file = std::make_shared<test::MemoryFile>();
  // A write buffer of 8 pages; the load below writes about 40 leaves.
  auto store = TransactionalPageStore::create({.cache_bytes = size_t{64} << 10, .file = file});
  TxnState txn(store);
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  for (uint64_t k = 0; k < 1440; ++k) ASSERT_TRUE(tree.insert(k * 2, bv(filled(100, 1))).ok());
  // The first leaf (keys 0, 2, ...) as the file holds it.
  const std::vector<uint8_t> bytes = file->snapshot();
  std::optional<uint64_t> at;
  for (uint64_t off = 0; off + 4096 <= bytes.size() && !at; off += 4096) {
    const uint8_t* p = bytes.data() + off;
    const size_t n = load_le16(p + 2);
    if (p[0] == kLeafPageType && n >= 2 && 4 + 12 * n <= 4096 &&
        load_le64(p + 4 + 4 * n) == 0 && load_le64(p + 12 + 4 * n) == 2) {
      at = off;
    }
  }
  ASSERT_TRUE(at.has_value()) << "the first leaf never reached the file";
  uint8_t damaged[4];
  store_le32(damaged, 5000);  // the end of value 1, past the page
  file->write(*at + 4 + 4, damaged);
  auto r = tree.insert(0, bv(filled(100, 7)));  // replaces value 0 in place
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted)) << r.error().corrupted_text();
}

TEST_F(BtreeTest, AscendingInsertsFillLeavesAndLeaveThemAlone) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  const size_t value_len = 100;
  uint64_t next_key = 0;
  for (; next_key < 504; ++next_key) {
    ASSERT_TRUE(tree.insert(next_key, bv(filled(value_len, 1))).ok());
  }
  // Every leaf but the last is full: one more pair would not fit.
  std::vector<PageNumber> before = leaves(tree.get_root());
  ASSERT_GT(before.size(), 3u);
  const size_t full = (4096 - 4) / (8 + 4 + value_len);
  for (size_t i = 0; i + 1 < before.size(); ++i) EXPECT_EQ(pair_count(before[i]), full);

  // 504 pairs fill 14 leaves. After a commit, the key that overflows the last
  // leaf starts a new one: the full, committed leaf is neither copied nor freed.
  auto committed = commit_tree(tree, *store);
  U64Tree next = txn.open<U64Codec, BytesCodec>(committed);
  while (pair_count(leaves(next.get_root()).back()) < full) {
    ASSERT_TRUE(next.insert(next_key++, bv(filled(value_len, 1))).ok());
  }
  const PageNumber last_full = leaves(next.get_root()).back();
  txn.freed->lock_or_panic()->clear();
  ASSERT_TRUE(next.insert(next_key++, bv(filled(value_len, 1))).ok());
  std::vector<PageNumber> after = leaves(next.get_root());
  EXPECT_EQ(after[after.size() - 2], last_full);
  EXPECT_EQ(pair_count(after.back()), 1u);
  for (PageNumber p : txn.freed_pages()) EXPECT_NE(p, last_full);
  expect_valid(next.get_root(), kU64Bytes);
}

TEST_F(BtreeTest, MiddleInsertIntoAFullLeafSplitsByBytes) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  // One leaf filled exactly, keys 0, 10, 20, ...
  const size_t full = (4096 - 4) / (8 + 4 + 100);
  for (uint64_t k = 0; k < full; ++k) ASSERT_TRUE(tree.insert(k * 10, bv(filled(100, 1))).ok());
  ASSERT_EQ(leaves(tree.get_root()).size(), 1u);
  ASSERT_TRUE(tree.insert(55, bv(filled(100, 2))).ok());
  // A new root with one key over two leaves of about half the pairs each.
  auto root = store->get_page(tree.get_root()->root, PageReadHint::kMayBeDirty).value();
  auto branch = BranchAccessor::create(root, kU64Bytes).value();
  EXPECT_EQ(branch.num_keys(), 1u);
  std::vector<PageNumber> two = leaves(tree.get_root());
  ASSERT_EQ(two.size(), 2u);
  const size_t left = pair_count(two[0]);
  EXPECT_EQ(left + pair_count(two[1]), full + 1);
  EXPECT_LE(left > pair_count(two[1]) ? left - pair_count(two[1]) : pair_count(two[1]) - left,
            1u);
  // The separator is the first leaf's last key.
  auto first = store->get_page(two[0], PageReadHint::kMayBeDirty).value();
  auto last = LeafAccessor::create(first, kU64Bytes).value().last_entry().value();
  EXPECT_EQ(test::bytes_of(last.key), test::bytes_of(*branch.key(0).value()));
  expect_valid(tree.get_root(), kU64Bytes);
}

TEST_F(BtreeTest, NeighboursOfASingleLargeValueGetLeavesOfTheirOwn) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  ASSERT_TRUE(tree.insert(50, bv(filled(6000, 'L'))).ok());
  auto committed = commit_tree(tree, *store);
  const PageNumber large = committed->root;
  ASSERT_EQ(large.page_order, 1);

  struct Case {
    uint64_t key;
    bool new_leaf_first;
  };
  for (Case c : {Case{10, true}, Case{90, false}}) {
    SCOPED_TRACE(c.key);
    txn.freed->lock_or_panic()->clear();
    U64Tree next = txn.open<U64Codec, BytesCodec>(committed);
    ASSERT_TRUE(next.insert(c.key, bv(filled(10, 's'))).ok());
    auto root = store->get_page(next.get_root()->root, PageReadHint::kMayBeDirty).value();
    auto branch = BranchAccessor::create(root, kU64Bytes).value();
    ASSERT_EQ(branch.num_keys(), 1u);
    // Separator: the new key on the left, the large leaf's key on the right.
    EXPECT_EQ(U64Codec::from_bytes(*branch.key(0).value()), c.new_leaf_first ? c.key : 50u);
    EXPECT_EQ(branch.child_page(c.new_leaf_first ? 1 : 0), large);
    EXPECT_EQ(branch.child_checksum(c.new_leaf_first ? 1 : 0), committed->checksum);
    EXPECT_TRUE(txn.freed_pages().empty());
    EXPECT_TRUE(store->allocated_units().contains({large.region, uint64_t{large.page_index} << 1}));
    expect_valid(next.get_root(), kU64Bytes);
    store->rollback_all();
  }
}

TEST_F(BtreeTest, FullLeafOf65535PairsSplitsOnTheNext) {
  auto big = TransactionalPageStore::create({.page_size = 262144});
  auto counting = std::make_shared<CountingPages>(big->writable());
  TxnState t{std::shared_ptr<const WritablePageSource>(counting)};
  auto tree = t.open<U32Codec, UnitCodec>(std::nullopt);
  constexpr TreeDescriptor d = tree_descriptor<U32Codec, UnitCodec>();
  for (uint32_t k = 0; k < kMaxNodeEntries; ++k) ASSERT_TRUE(tree.insert(2 * k, Unit{}).ok());
  EXPECT_EQ(counting->allocations, 1u);  // every pair went in place
  ASSERT_TRUE(tree.insert(1, Unit{}).ok());
  test::TreeCheck check = check_txn_tree(*big, tree.get_root(), d);
  EXPECT_EQ(check.error, "");
  EXPECT_EQ(check.leaves, 2u);
  EXPECT_EQ(check.pairs, kMaxNodeEntries + 1);
}

TEST_F(BtreeTest, InsertInplaceShrinksAlongAPendingPath) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  for (uint64_t k = 0; k < 400; ++k) ASSERT_TRUE(tree.insert(k, bv(filled(100, 1))).ok());
  auto committed = commit_tree(tree, *store);
  U64Tree next = txn.open<U64Codec, BytesCodec>(committed);
  // Put key 123's path on pages of this transaction, then finalise so that
  // the slots hold real checksums again.
  auto stored = next.force_uncommitted(123, bv(filled(1, 0)));
  EXPECT_EQ(stored.value(), filled(100, 1));
  ASSERT_TRUE(next.finalize_dirty_checksums().ok());
  const BtreeHeader before = *next.get_root();
  test::TreeCheck shape = check_txn_tree(*store, before, kU64Bytes, false);
  ASSERT_EQ(shape.error, "");
  const uint64_t allocations = pages->allocations;
  const size_t freed = txn.freed_pages().size();

  ASSERT_TRUE(next.insert_inplace(123, bv(test::str_bytes("short"))).ok());
  EXPECT_EQ(next.get_root()->root, before.root);
  EXPECT_EQ(next.get_root()->length, before.length);
  EXPECT_EQ(next.get_root()->checksum, kPendingChecksum);
  EXPECT_EQ(pages->allocations, allocations);
  EXPECT_EQ(txn.freed_pages().size(), freed);
  EXPECT_EQ(value_text(next.get(123).value()), "short");
  // Same pages; the slots on the key's path are pending again.
  test::TreeCheck after = check_txn_tree(*store, next.get_root(), kU64Bytes, false);
  EXPECT_EQ(after.error, "");
  EXPECT_EQ(after.pages, shape.pages);
  auto root = store->get_page(before.root, PageReadHint::kMayBeDirty).value();
  auto branch = BranchAccessor::create(root, kU64Bytes).value();
  size_t i = branch.child_for_key(bv(test::bytes_of(ByteView(U64Codec::as_bytes(123))))).value().first;
  EXPECT_EQ(branch.child_checksum(i), kPendingChecksum);
}

TEST_F(BtreeTest, InsertInplaceBrokenPreconditionsPanicAndPoison) {
  struct Case {
    const char* name;
    std::function<void(TxnState&, std::optional<BtreeHeader>)> run;
    std::string text;
  };
  U64Tree setup = txn.open<U64Codec, BytesCodec>(std::nullopt);
  ASSERT_TRUE(setup.insert(1, bv(filled(10, 1))).ok());
  auto committed = commit_tree(setup, *store);
  const std::vector<Case> cases = {
      {"empty tree",
       [](TxnState& t, std::optional<BtreeHeader>) {
         (void)t.open<U64Codec, BytesCodec>(std::nullopt).insert_inplace(1, ByteView());
       },
       "Key not found (tree is empty)"},
      {"committed page",
       [](TxnState& t, std::optional<BtreeHeader> root) {
         (void)t.open<U64Codec, BytesCodec>(root).insert_inplace(1, ByteView());
       },
       "assertion failed: self.page_allocator.uncommitted(page.get_page_number())"},
      {"absent key",
       [](TxnState& t, std::optional<BtreeHeader> root) {
         auto tree = t.open<U64Codec, BytesCodec>(root);
         (void)tree.force_uncommitted(1, ByteView());
         (void)tree.insert_inplace(2, ByteView());
       },
       "assertion failed: found"},
      {"longer value",
       [](TxnState& t, std::optional<BtreeHeader> root) {
         auto tree = t.open<U64Codec, BytesCodec>(root);
         (void)tree.force_uncommitted(1, ByteView());
         Bytes longer(11, 0);
         (void)tree.insert_inplace(1, ByteView(longer));
       },
       "assertion failed: value.len() <= old_len"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TxnState t(store);
    EXPECT_EQ(test::panic_text([&] { c.run(t, committed); }), c.text);
    EXPECT_TRUE(t.poison->load());
    store->rollback_all();
  }
}

TEST_F(BtreeTest, ReserveLendsZeroedBytesToWriteInPlace) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  ASSERT_TRUE(tree.insert(5, bv(filled(3, 9))).ok());
  {
    auto guard = tree.insert_reserve(5, 16);
    ASSERT_TRUE(guard.ok());
    MutByteView bytes = guard->value_mut();
    ASSERT_EQ(bytes.size(), 16u);
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }));
    std::fill(bytes.begin(), bytes.end(), 0x5A);
  }
  EXPECT_EQ(tree.get(5).value()->bytes().size(), 16u);
  EXPECT_EQ(tree.get(5).value()->bytes()[15], 0x5A);
  EXPECT_EQ(tree.get_root()->length, 1u);
}

TEST_F(BtreeTest, ForceUncommittedStoresTheDefaultOrKeepsTheValue) {
  TextTree tree = txn.open<TextCodec, TextCodec>(std::nullopt);
  ASSERT_TRUE(tree.insert("present", "stored").ok());
  auto committed = commit_tree(tree, *store);
  // Built straight from the transaction's page allocator.
  TextTree next(committed, nullptr, store->allocator(), txn.freed, txn.tracker, txn.poison);
  EXPECT_EQ(test::text_of(next.force_uncommitted("absent", "default").value()), "default");
  EXPECT_EQ(test::text_of(next.force_uncommitted("present", "other").value()), "stored");
  EXPECT_EQ(next.get_root()->length, 2u);
  EXPECT_EQ(next.get("absent").value()->value(), "default");
  EXPECT_TRUE(store->uncommitted(next.get_root()->root));
}

TEST(MergeFreedPagesTest, AppendsInOrderAndLocksOnlyWithPages) {
  Mutex<std::vector<PageNumber>> shared(std::vector<PageNumber>{PageNumber(0, 1, 0)});
  std::vector<PageNumber> local = {PageNumber(0, 7, 0), PageNumber(0, 3, 1)};
  local.reserve(64);
  merge_freed_pages(shared, local);
  EXPECT_TRUE(local.empty());
  EXPECT_GE(local.capacity(), 64u);
  EXPECT_EQ(*shared.lock_or_panic(), (std::vector<PageNumber>{PageNumber(0, 1, 0),
                                                               PageNumber(0, 7, 0),
                                                               PageNumber(0, 3, 1)}));
  // A poisoned list: nothing to add takes no lock; something to add panics.
  try {
    auto guard = shared.lock_or_panic();
    throw std::runtime_error("holder fails");
  } catch (const std::runtime_error&) {
  }
  ASSERT_TRUE(shared.is_poisoned());
  merge_freed_pages(shared, local);
  local.push_back(PageNumber(0, 9, 0));
  EXPECT_EQ(test::panic_text([&] { merge_freed_pages(shared, local); }), kUnwrapErrText);
}

TEST(EncodeBoundsTest, RangeKinds) {
  using R = KeyRange<U64Codec>;
  auto enc = [](uint64_t v) { return test::bytes_of(ByteView(U64Codec::as_bytes(v))); };
  auto inc = [&](uint64_t v) { return EncodedBound{BoundKind::kIncluded, enc(v)}; };
  auto exc = [&](uint64_t v) { return EncodedBound{BoundKind::kExcluded, enc(v)}; };
  const EncodedBound open = EncodedBound::unbounded();
  R exhausted = R::closed(1, 9);
  exhausted.exhausted = true;
  struct Case {
    R range;
    EncodedBound start, end;
  };
  const std::vector<Case> cases = {
      {R::half_open(1, 9), inc(1), exc(9)}, {R::closed(1, 9), inc(1), inc(9)},
      {exhausted, inc(1), exc(9)},          {R::from(4), inc(4), open},
      {R::to(4), open, exc(4)},             {R::to_inclusive(4), open, inc(4)},
      {R::full(), open, open},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    auto [start, end] = btree_iters::encode_bounds(cases[i].range);
    EXPECT_EQ(start, cases[i].start) << i;
    EXPECT_EQ(end, cases[i].end) << i;
  }
}

TEST_F(BtreeTest, FailedEditPoisonsTheTreeAndItsTransaction) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  for (uint64_t k = 0; k < 100; ++k) ASSERT_TRUE(tree.insert(k, bv(filled(100, 1))).ok());
  const auto root = tree.get_root();
  pages->fail_at = pages->allocations + 1;
  auto failed = tree.insert(1000, bv(filled(5000, 2)));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), StorageError::Kind::kIo);
  EXPECT_EQ(tree.get_root(), root);
  EXPECT_TRUE(tree.poisoned());
  EXPECT_TRUE(txn.poison->load());
  for (auto r : {tree.get(1).take_err(), tree.insert(1, ByteView()).take_err(),
                 tree.finalize_dirty_checksums().take_err()}) {
    EXPECT_EQ(r.error, StorageError::PreviousIo());
  }
  // Another tree of the poisoned transaction refuses too.
  U64Tree other = txn.open<U64Codec, BytesCodec>(std::nullopt);
  EXPECT_EQ(other.insert(1, ByteView()).error(), StorageError::PreviousIo());
  store->rollback_all();
  EXPECT_TRUE(store->allocated_units().empty());
}

TEST_F(BtreeTest, PairsBeyondU32OffsetsAreRefusedUntouched) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  ASSERT_TRUE(tree.insert(1, bv(filled(10, 1))).ok());
  const auto root = tree.get_root();
  // Never read: the length alone is refused.
  static const uint8_t byte = 0;
  const ByteView huge(&byte, size_t{1} << 32);
  auto refused = tree.insert(2, huge);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), StorageError::ValueTooLarge((size_t{1} << 32) + 8));
  EXPECT_FALSE(tree.insert_reserve(2, (size_t{1} << 32) - 60).ok());
  EXPECT_EQ(tree.get_root(), root);
  EXPECT_FALSE(tree.poisoned());
  EXPECT_EQ(pages->allocations, 1u);
  EXPECT_TRUE(tree.insert(2, bv(filled(10, 2))).ok());
}

}  // namespace
}  // namespace storage
