// Fixed cases of the bulk edits and of removal: the underfull threshold (a
// remainder of exactly a third of a page stays, one byte less merges) through
// each removal path, siblings holding one large value, in-place removals,
// splices that only rewrite child pointers, leaf and branch packing limits,
// collapses down to an empty tree, and broken caller preconditions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/tests/support/panic_text.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_editor.h"

namespace storage {
namespace {

using test::Bytes;
using test::TransactionalPageStore;
using Editor = test::TreeEditor<TransactionalPageStore>;
constexpr TreeDescriptor kU64Bytes = tree_descriptor<U64Codec, BytesCodec>();

Bytes k64(uint64_t v) {
  auto a = U64Codec::as_bytes(v);
  return Bytes(a.begin(), a.end());
}

// A new tree holding `lens` as values of keys 1, 2, 3... spliced into it.
Editor tree_of(const std::vector<size_t>& lens) {
  Editor t(TransactionalPageStore::create(), kU64Bytes);
  OwnedEntryBuffer buffer;
  for (size_t i = 0; i < lens.size(); ++i) buffer.push_back(k64(i + 1), Bytes(lens[i], 7));
  if (!t.helper().splice_insert_run(std::nullopt, buffer, lens.size()).ok()) panic("splice");
  return t;
}

enum class Removal { kDeleteKey, kLeafEntries, kLeafRun };

const char* name_of(Removal r) {
  return r == Removal::kDeleteKey ? "delete_key" : r == Removal::kLeafEntries ? "leaf entries"
                                                                               : "leaf run";
}

// Removes pair `index` (key index + 1... of the leaf holding `key`) by one of
// the removal paths, never in place.
void remove_pair(Editor& t, uint64_t key, Removal how) {
  test::LeafAt at = t.find(k64(key));
  ASSERT_TRUE(at.found);
  Result<void, StorageError> r;
  if (how == Removal::kDeleteKey) {
    at = test::LeafAt{LeafPath{}, PageImpl(PageBuffer(), PageNumber()), 0, false};
    auto old = t.helper().delete_key(k64(key), false);
    ASSERT_TRUE(old.ok() && old->has_value());
    return;
  }
  const size_t position = at.position;
  if (how == Removal::kLeafEntries) {
    const size_t indexes[] = {position};
    r = t.helper().delete_leaf_entries(std::move(at.leaf), std::move(at.path.branches), indexes,
                                       false);
  } else {
    OwnedEntryBuffer kept;
    const size_t skip[] = {position};
    LeafAccessor leaf = LeafAccessor::create(at.leaf, kU64Bytes).value();
    ASSERT_TRUE(kept.extend_from_leaf(leaf, skip, true).ok());
    const size_t child = at.path.branches.back().child_index;
    at.leaf = PageImpl(PageBuffer(), PageNumber());
    r = t.helper().replace_leaf_children(std::move(at.path.branches), child, child + 1,
                                         std::move(kept), 1);
  }
  ASSERT_TRUE(r.ok()) << r.error().to_string();
}

// Leaf [1: 700, 2: second, 3: 2000] and leaf [4: 1500]; removing key 3 leaves
// 4 + 2 × 12 + 700 + second bytes in the first leaf.
TEST(BtreeRemovalTest, ARemainderOfAThirdOfAPageStaysOneByteLessMerges) {
  for (Removal how : {Removal::kDeleteKey, Removal::kLeafEntries, Removal::kLeafRun}) {
    for (const auto& [second, merges] : {std::pair<size_t, bool>{637, false}, {636, true}}) {
      SCOPED_TRACE(std::string(name_of(how)) + " remainder " + std::to_string(728 + second));
      Editor t = tree_of({700, second, 2000, 1500});
      ASSERT_EQ(t.check(), "");
      ASSERT_EQ(t.leaves, 2u);
      remove_pair(t, 3, how);
      ASSERT_EQ(t.check(), "");
      EXPECT_EQ(t.root->length, 3u);
      EXPECT_EQ(t.leaves, merges ? 1u : 2u);
      // Merged: the root branch collapsed onto the merged leaf.
      EXPECT_EQ(t.depth, merges ? 1u : 2u);
      EXPECT_EQ(t.pairs().size(), 3u);
    }
  }
}

TEST(BtreeRemovalTest, ASiblingHoldingOneLargeValueIsNeverMerged) {
  for (Removal how : {Removal::kDeleteKey, Removal::kLeafEntries, Removal::kLeafRun}) {
    for (bool large_first : {false, true}) {
      SCOPED_TRACE(std::string(name_of(how)) + (large_first ? " large first" : " large second"));
      Editor t = large_first ? tree_of({5000, 1000, 1000}) : tree_of({1000, 1000, 5000});
      ASSERT_EQ(t.check(), "");
      ASSERT_EQ(t.leaves, 2u);
      const uint64_t large = large_first ? 1 : 3;
      const PageNumber large_page = t.find(k64(large)).path.leaf;
      remove_pair(t, 2, how);
      ASSERT_EQ(t.check(), "");
      EXPECT_EQ(t.leaves, 2u);
      EXPECT_EQ(t.find(k64(large)).path.leaf, large_page);
      EXPECT_EQ(t.pairs().size(), 2u);
    }
  }
}

TEST(BtreeRemovalTest, InPlaceRemovalOnlyOnLeavesOfThisTransaction) {
  // Uncommitted leaf, in place allowed: same page; not allowed: a new page and
  // the old one released at once.
  for (bool in_place : {true, false}) {
    for (bool through_list : {false, true}) {
      SCOPED_TRACE(std::string(in_place ? "in place" : "rebuilt") +
                   (through_list ? " by list" : " by key"));
      Editor t = tree_of({700, 700, 700, 2000});
      const PageNumber before = t.find(k64(1)).path.leaf;
      if (through_list) {
        test::LeafAt at = t.find(k64(2));
        const size_t indexes[] = {1};
        ASSERT_TRUE(t.helper()
                        .delete_leaf_entries(std::move(at.leaf), std::move(at.path.branches),
                                             indexes, in_place)
                        .ok());
      } else {
        auto old = t.helper().delete_key(k64(2), in_place);
        ASSERT_TRUE(old.ok() && old->has_value());
        EXPECT_EQ(test::bytes_of((*old)->bytes()), Bytes(700, 7));
      }
      ASSERT_EQ(t.check(), "");  // also: the old leaf is not leaked
      EXPECT_EQ(t.find(k64(1)).path.leaf == before, in_place);
      EXPECT_TRUE(t.freed.empty());
      EXPECT_EQ(t.root->length, 3u);
    }
  }
  // A committed leaf is rebuilt whatever the flag, and queued for release.
  Editor t = tree_of({700, 700, 700, 2000});
  t.commit();
  ASSERT_EQ(t.check(), "");
  const PageNumber before = t.find(k64(1)).path.leaf;
  auto old = t.helper().delete_key(k64(2), true);
  ASSERT_TRUE(old.ok() && old->has_value());
  EXPECT_EQ(test::bytes_of((*old)->bytes()), Bytes(700, 7));
  EXPECT_NE(t.find(k64(1)).path.leaf, before);
  EXPECT_NE(std::find(t.freed.begin(), t.freed.end(), before), t.freed.end());
  ASSERT_EQ(t.check(), "");
}

TEST(BtreeRemovalTest, AbsentKeysAndEmptyListsChangeNothing) {
  Editor empty(TransactionalPageStore::create(), kU64Bytes);
  auto none = empty.helper().delete_key(k64(1), true);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());

  Editor t = tree_of({700, 700, 700, 2000, 30});
  t.commit();
  const auto root = t.root;
  auto absent = t.helper().delete_(k64(99));
  ASSERT_TRUE(absent.ok());
  EXPECT_FALSE(absent->has_value());
  test::LeafAt at = t.find(k64(1));
  ASSERT_TRUE(t.helper()
                  .delete_leaf_entries(std::move(at.leaf), std::move(at.path.branches), {}, true)
                  .ok());
  EXPECT_EQ(t.root, root);
  EXPECT_TRUE(t.freed.empty());
}

TEST(BtreeRemovalTest, RemovingEveryChildOfTheRootLeavesAnEmptyTree) {
  Editor t = tree_of({1000, 1000, 1000, 1000, 1000, 1000});
  ASSERT_EQ(t.check(), "");
  ASSERT_EQ(t.leaves, 2u);
  test::LeafAt at = t.find(k64(1));
  at.leaf = PageImpl(PageBuffer(), PageNumber());
  ASSERT_TRUE(
      t.helper().replace_leaf_children(std::move(at.path.branches), 0, 2, {}, 6).ok());
  EXPECT_FALSE(t.root.has_value());
  EXPECT_EQ(t.check(), "");

  // A single-leaf tree emptied by a removal list.
  Editor one = tree_of({10, 20});
  test::LeafAt leaf = one.find(k64(1));
  const size_t all[] = {0, 1};
  ASSERT_TRUE(one.helper()
                  .delete_leaf_entries(std::move(leaf.leaf), std::move(leaf.path.branches), all,
                                       true)
                  .ok());
  EXPECT_FALSE(one.root.has_value());
  EXPECT_EQ(one.check(), "");
}

TEST(BtreeSpliceTest, IntoAnEmptyTree) {
  struct Case {
    std::vector<size_t> lens;
    size_t leaves;
  };
  // Four pairs of 1011-byte values encode to exactly 4096 bytes.
  const Case cases[] = {
      {{10}, 1},
      {{1011, 1011, 1011, 1011}, 1},
      {{1011, 1011, 1011, 1012}, 2},  // the small tail is pooled and split
      {{9000}, 1},                    // one pair larger than a page
      {{100, 100, 9000, 100, 100}, 3},
      {std::vector<size_t>(20000, 45), 20000 / 71 + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.lens.size()) + " pairs");
    Editor t = tree_of(c.lens);
    ASSERT_EQ(t.check(), "");
    EXPECT_EQ(t.root->length, c.lens.size());
    EXPECT_EQ(t.root->checksum, kPendingChecksum);
    EXPECT_EQ(t.leaves, c.leaves);
    if (c.lens.size() == 20000) {
      EXPECT_EQ(t.depth, 3u);
    }
  }
}

// A one-leaf change whose last key stays the parent's key only rewrites child
// pointers: in place under branches of this transaction, copied above
// committed ones.
TEST(BtreeSpliceTest, PointerOnlySplicesKeepOrCopyThePath) {
  for (bool committed : {false, true}) {
    SCOPED_TRACE(committed ? "committed path" : "uncommitted path");
    std::vector<size_t> lens(20000, 45);
    Editor t(TransactionalPageStore::create(), kU64Bytes);
    {
      OwnedEntryBuffer buffer;
      for (size_t i = 0; i < lens.size(); ++i) buffer.push_back(k64(i * 10), Bytes(45, 1));
      ASSERT_TRUE(t.helper().splice_insert_run(std::nullopt, buffer, lens.size()).ok());
    }
    ASSERT_EQ(t.check(), "");
    ASSERT_EQ(t.depth, 3u);
    // Room in a leaf in the middle: take three pairs out of it.
    {
      test::LeafAt at = t.find(k64(50000));
      const size_t indexes[] = {1, 2, 3};
      ASSERT_TRUE(t.helper()
                      .delete_leaf_entries(std::move(at.leaf), std::move(at.path.branches),
                                           indexes, true)
                      .ok());
    }
    if (committed) t.commit();
    ASSERT_EQ(t.check(), "");
    const BtreeHeader root = *t.root;
    test::LeafAt at = t.find(k64(50001));
    ASSERT_FALSE(at.found);
    const PageNumber old_leaf = at.path.leaf;
    const size_t depth = at.path.branches.size();
    OwnedEntryBuffer buffer;
    {
      LeafAccessor leaf = LeafAccessor::create(at.leaf, kU64Bytes).value();
      ASSERT_TRUE(buffer.extend_from_leaf_range(leaf, 0, at.position, true).ok());
      buffer.push_back(k64(50001), Bytes(45, 2));
      ASSERT_TRUE(buffer.extend_from_leaf_range(leaf, at.position, leaf.num_pairs(), true).ok());
    }
    at.leaf = PageImpl(PageBuffer(), PageNumber());
    ASSERT_TRUE(t.helper().splice_insert_run(std::move(at.path), buffer, 1).ok());
    EXPECT_EQ(t.root->length, root.length + 1);
    if (committed) {
      EXPECT_NE(t.root->root, root.root);
      // The leaf and every branch above it are queued.
      EXPECT_EQ(t.freed.size(), depth + 1);
      EXPECT_EQ(t.freed.front(), old_leaf);
    } else {
      EXPECT_EQ(t.root->root, root.root);
      EXPECT_TRUE(t.freed.empty());  // the old leaf went back at once
    }
    ASSERT_EQ(t.check(), "");
  }
}

// With u64 keys a branch holds at most 128 children in 4096 bytes.
TEST(BtreeSpliceTest, BranchLevelsNeverLeaveALoneChild) {
  struct Case {
    size_t children;
    std::vector<size_t> branches;  // children per new branch
  };
  const Case cases[] = {{2, {2}}, {128, {128}}, {129, {129}}, {130, {128, 2}},
                        {256, {128, 128}}, {257, {128, 129}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.children) + " children");
    Editor t(TransactionalPageStore::create(), kU64Bytes);
    std::vector<Bytes> keys;  // the separators view them
    for (size_t i = 0; i < c.children; ++i) keys.push_back(k64(i));
    std::vector<ChildEntry> level;
    for (size_t i = 0; i < c.children; ++i) {
      std::optional<ByteView> separator;
      if (i + 1 < c.children) separator = ByteView(keys[i]);
      level.push_back(ChildEntry{PageNumber(0, static_cast<uint32_t>(1000 + i), 0), i,
                                 separator});
    }
    auto built = t.helper().build_branch_nodes(std::move(level));
    ASSERT_TRUE(built.ok());
    ASSERT_EQ(built->size(), c.branches.size());
    size_t first = 0;
    for (size_t b = 0; b < built->size(); ++b) {
      const ChildEntry& e = (*built)[b];
      EXPECT_EQ(e.checksum, kPendingChecksum);
      const bool last = b + 1 == built->size();
      EXPECT_EQ(e.separator.has_value(), !last);
      if (!last) {
        EXPECT_EQ(Bytes(e.separator->begin(), e.separator->end()), k64(first + c.branches[b] - 1));
      }
      PageImpl page = t.pages().get_page(e.page, PageReadHint::kMayBeDirty).value();
      BranchAccessor branch = BranchAccessor::create(page, kU64Bytes).value();
      ASSERT_EQ(branch.count_children(), c.branches[b]);
      EXPECT_EQ(branch.child_page(0), PageNumber(0, static_cast<uint32_t>(1000 + first), 0));
      EXPECT_EQ(branch.child_checksum(0), first);
      // An oversized branch sits on a larger page run.
      EXPECT_EQ(e.page.page_order, c.branches[b] > 128 ? 1 : 0);
      first += c.branches[b];
    }
  }
}

TEST(BtreeBulkPreconditionTest, BrokenPreconditionsPanic) {
  Editor t = tree_of({100, 100, 3000, 3000});
  const std::string empty_run = test::panic_text([&] {
    test::LeafAt at = t.find(k64(1));
    at.leaf = PageImpl(PageBuffer(), PageNumber());
    (void)t.helper().splice_insert_run(std::move(at.path), OwnedEntryBuffer(), 0);
  });
  EXPECT_EQ(empty_run, "assertion failed: entries.num_pairs() > 0");
  EXPECT_EQ(test::panic_text([&] { (void)t.helper().build_branch_nodes({}); }),
            "assertion failed: children.len() >= 2");
  EXPECT_EQ(test::panic_text([&] {
              std::vector<ChildEntry> level(3);
              (void)t.helper().build_branch_nodes(std::move(level));
            }),
            "only the last child of a level may lack a separator");
  EXPECT_EQ(test::panic_text([&] {
              test::LeafAt at = t.find(k64(1));
              at.leaf = PageImpl(PageBuffer(), PageNumber());
              (void)t.helper().replace_leaf_children(std::move(at.path.branches), 0, 9, {}, 0);
            }),
            "assertion failed: replaced_children.end <= old_children");
  EXPECT_EQ(test::panic_text([&] {
              test::LeafAt at = t.find(k64(1));
              const size_t beyond[] = {40};
              (void)t.helper().delete_leaf_entries(std::move(at.leaf),
                                                   std::move(at.path.branches), beyond, true);
            }),
            "assertion failed: *indexes.last().unwrap() < accessor.num_pairs()");
}

}  // namespace
}  // namespace storage
