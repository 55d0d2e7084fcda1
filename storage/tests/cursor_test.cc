// The read cursor on fixed trees: seek targets and steps across leaf
// boundaries, the two forms of a gap, entries as views.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "storage/src/tree_store/btree_cursor.h"
#include "storage/tests/support/cursor_support.h"
#include "storage/tests/support/tree_editor.h"

namespace storage {
namespace {

using test::Bytes;
using test::HandBuiltPages;
using test::ReadCountingPages;
using test::TransactionalPageStore;
using test::TxnState;
constexpr TreeDescriptor kU64 = tree_descriptor<U64Codec, BytesCodec>();

uint64_t key_of(const CursorEntry& e) { return U64Codec::from_bytes(e.key()); }
Bytes enc(uint64_t k) {
  auto a = U64Codec::as_bytes(k);
  return Bytes(a.begin(), a.end());
}

// A committed tree of keys 0, 10, 20, ... with 200-byte values: several
// leaves under one or more branch levels.
struct Tree {
  std::shared_ptr<TransactionalPageStore> store;
  std::optional<BtreeHeader> root;
  std::vector<std::vector<Bytes>> leaves;

  static Tree make(size_t count, size_t value_len = 200, size_t cache_bytes = size_t{64} << 20) {
    Tree t;
    t.store = TransactionalPageStore::create({.cache_bytes = cache_bytes});
    TxnState txn(t.store);
    auto tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
    const Bytes value(value_len, 0xAB);
    for (uint64_t i = 0; i < count; ++i) {
      if (!tree.insert(i * 10, ByteView(value)).ok()) panic("insert failed");
    }
    if (count > 0) t.root = test::commit_tree(tree, *t.store);
    t.leaves = test::leaf_keys(*t.store->readable(), t.root, kU64);
    return t;
  }
  Cursor cursor(std::shared_ptr<const PageSource> pages = nullptr) const {
    return Cursor(root->root, kU64, pages ? pages : store->readable(), PageReadHint::kCommitted);
  }
};

std::optional<uint64_t> step(Cursor& c, bool forward) {
  auto r = forward ? c.next() : c.prev();
  EXPECT_TRUE(r.ok()) << r.error().to_string();
  if (!r.ok() || !r.value()) return std::nullopt;
  return key_of(*r.value());
}

TEST(CursorTest, RootLeafKeepsAnEmptyPath) {
  Tree t = Tree::make(5);
  ASSERT_EQ(t.leaves.size(), 1u);
  Cursor c = t.cursor();
  EXPECT_FALSE(c.positioned());
  ASSERT_TRUE(c.seek_to(SeekTarget::start()).ok());
  for (uint64_t k = 0; k < 5; ++k) EXPECT_EQ(step(c, true), k * 10);
  EXPECT_EQ(step(c, true), std::nullopt);
  EXPECT_TRUE(c.path().empty());
  ASSERT_TRUE(c.normalize_forward_gap().ok());
  EXPECT_EQ(c.leaf()->entry, 5u);
  EXPECT_EQ(step(c, false), 40u);
}

TEST(CursorTest, SeekTargetsAndStepsAcrossLeaves) {
  Tree t = Tree::make(600);
  ASSERT_GE(t.leaves.size(), 3u);
  Cursor c = t.cursor();

  // An absent key: the first greater one.
  ASSERT_TRUE(c.seek_to(SeekTarget::key(enc(15))).ok());
  EXPECT_FALSE(c.path().empty());
  EXPECT_EQ(step(c, true), 20u);
  ASSERT_TRUE(c.seek_to(SeekTarget::key(enc(20))).ok());
  EXPECT_EQ(step(c, true), 20u);
  ASSERT_TRUE(c.seek_to(SeekTarget::after_key(enc(20))).ok());
  EXPECT_EQ(step(c, true), 30u);
  // After the last key of a leaf: the step crosses into the next leaf.
  const uint64_t last_of_first = U64Codec::from_bytes(t.leaves[0].back());
  const uint64_t first_of_second = U64Codec::from_bytes(t.leaves[1].front());
  ASSERT_TRUE(c.seek_to(SeekTarget::after_key(enc(last_of_first))).ok());
  EXPECT_EQ(step(c, true), first_of_second);
  // Back and forth over the leaf boundary yields the same entry twice.
  EXPECT_EQ(step(c, false), first_of_second);
  EXPECT_EQ(step(c, false), last_of_first);
  EXPECT_EQ(step(c, true), last_of_first);
  EXPECT_EQ(step(c, true), first_of_second);

  ASSERT_TRUE(c.seek_to(SeekTarget::end()).ok());
  EXPECT_EQ(step(c, false), 5990u);
  EXPECT_EQ(step(c, true), 5990u);
  EXPECT_EQ(step(c, true), std::nullopt);
  EXPECT_EQ(step(c, true), std::nullopt);
  EXPECT_EQ(step(c, false), 5990u);
  ASSERT_TRUE(c.seek_to(SeekTarget::start()).ok());
  EXPECT_EQ(step(c, false), std::nullopt);
  EXPECT_EQ(step(c, true), 0u);
  // Beyond every key.
  ASSERT_TRUE(c.seek_to(SeekTarget::key(enc(99999))).ok());
  EXPECT_EQ(step(c, true), std::nullopt);
  EXPECT_EQ(step(c, false), 5990u);
}

TEST(CursorTest, TwoFormsOfOneGapCompareEqualOnceNormalised) {
  Tree t = Tree::make(600);
  ASSERT_GE(t.leaves.size(), 2u);
  const Bytes last_of_first = t.leaves[0].back();
  const Bytes first_of_second = t.leaves[1].front();
  Cursor a = t.cursor();
  Cursor b = t.cursor();
  ASSERT_TRUE(a.seek_to(SeekTarget::after_key(last_of_first)).ok());
  ASSERT_TRUE(b.seek_to(SeekTarget::key(first_of_second)).ok());
  EXPECT_EQ(a.leaf()->entry, a.leaf()->num_entries);
  EXPECT_EQ(a.compare_position(b).value(), std::strong_ordering::less);
  EXPECT_EQ(b.compare_position(a).value(), std::strong_ordering::greater);
  ASSERT_TRUE(a.normalize_forward_gap().ok());
  EXPECT_EQ(a.leaf()->entry, 0u);
  EXPECT_EQ(a.compare_position(b).value(), std::strong_ordering::equal);
  // Normalising a gap inside a leaf changes nothing.
  ASSERT_TRUE(b.normalize_forward_gap().ok());
  EXPECT_EQ(a.compare_position(b).value(), std::strong_ordering::equal);
}

// A failed seek or step leaves the position as it was: the next step yields
// what it would have yielded before.
TEST(CursorTest, AFailedMoveLeavesThePositionUnchanged) {
  Tree t = Tree::make(600);
  const uint64_t last_of_first = U64Codec::from_bytes(t.leaves[0].back());
  const uint64_t first_of_second = U64Codec::from_bytes(t.leaves[1].front());
  auto pages = std::make_shared<ReadCountingPages>(t.store->readable());
  Cursor c = t.cursor(pages);
  ASSERT_TRUE(c.seek_to(SeekTarget::key(enc(last_of_first))).ok());
  const size_t depth = c.path().size() + 1;
  // Every read of a second seek fails in turn.
  for (size_t n = 1; n <= depth; ++n) {
    pages->fail_at = pages->reads + n;
    auto failed = c.seek_to(SeekTarget::end());
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error(), ReadCountingPages::injected_failure());
  }
  EXPECT_EQ(step(c, true), last_of_first);
  // The step into the next leaf fails, then succeeds when repeated.
  const PageNumber leaf = c.leaf()->page.get_page_number();
  const size_t levels = c.path().size();
  pages->fail_at = pages->reads + 1;
  auto failed = c.next();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(c.leaf()->page.get_page_number(), leaf);
  EXPECT_EQ(c.leaf()->entry, c.leaf()->num_entries);
  EXPECT_EQ(c.path().size(), levels);
  EXPECT_EQ(step(c, true), first_of_second);
  EXPECT_EQ(step(c, false), first_of_second);
  EXPECT_EQ(step(c, false), last_of_first);
}

// The path a cursor came down is the one the bulk edits take.
TEST(CursorTest, PathConvertsToTheBulkEditsLeafPath) {
  Tree t = Tree::make(3000);
  Cursor c(t.root->root, kU64, t.store->memory(), PageReadHint::kCommitted);
  for (uint64_t key : {0u, 12340u, 29990u}) {
    ASSERT_TRUE(c.seek_to(SeekTarget::key(enc(key))).ok());
    LeafPath path = to_leaf_path(c.path(), *c.leaf());
    test::LeafAt expected = test::find_leaf(*t.store->readable(), *t.root, kU64, enc(key));
    EXPECT_EQ(path.leaf, expected.path.leaf);
    ASSERT_EQ(path.branches.size(), expected.path.branches.size());
    ASSERT_GE(path.branches.size(), 1u);
    for (size_t i = 0; i < path.branches.size(); ++i) {
      EXPECT_EQ(path.branches[i].branch.get_page_number(),
                expected.path.branches[i].branch.get_page_number());
      EXPECT_EQ(path.branches[i].child_index, expected.path.branches[i].child_index);
    }
    EXPECT_EQ(c.leaf()->entry, expected.position);
  }
}

// key_data copies; stepped entries are views into the leaf page the cursor
// holds.
TEST(CursorTest, EntriesAreViewsAndKeyDataCopies) {
  Tree t = Tree::make(50);
  Cursor c = t.cursor();
  ASSERT_TRUE(c.seek_to(SeekTarget::key(enc(120))).ok());
  auto e = c.next().value();
  ASSERT_TRUE(e.has_value());
  const ByteView leaf = c.leaf()->page.memory();
  EXPECT_EQ(e->page.memory().data(), leaf.data());
  EXPECT_GE(e->key().data(), leaf.data());
  EXPECT_LE(e->value().data() + e->value().size(), leaf.data() + leaf.size());
  EXPECT_EQ(e->value().size(), 200u);
  auto copy = key_data(c.leaf()->page, c.leaf()->entry - 1, kU64).value();
  EXPECT_EQ(copy, enc(120));
  EXPECT_NE(ByteView(copy).data(), e->key().data());
}

}  // namespace
}  // namespace storage
