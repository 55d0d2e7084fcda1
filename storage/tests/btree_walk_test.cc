// Checksum finalisation, verification, page walks and the page iterator, on
// intact trees and on damaged ones (flipped bytes, cycles, pages with two
// parents, over-deep chains, unreadable pages, unknown page types).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/btree_iters.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_harness.h"

namespace storage {
namespace {

using test::Bytes;
using test::check_txn_tree;
using test::commit_tree;
using test::TransactionalPageStore;
using test::TxnState;

using U64Tree = BtreeMut<U64Codec, BytesCodec>;
using U64Snapshot = Btree<U64Codec, BytesCodec>;
constexpr TreeDescriptor kU64Bytes = tree_descriptor<U64Codec, BytesCodec>();
const std::string kCycle = "DB corrupted: Cycle detected in Btree pages";
const std::string kTooDeep = "DB corrupted: Btree deeper than 64 levels";

Bytes filled(size_t n, uint8_t b) { return Bytes(n, b); }

class TreeWalkTest : public ::testing::Test {
 protected:
  // A committed tree of `n` keys 0, 10, 20, ... with 100-byte values.
  std::optional<BtreeHeader> committed_tree(uint64_t n) {
    U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
    for (uint64_t k = 0; k < n; ++k) {
      EXPECT_TRUE(tree.insert(k * 10, ByteView(filled(100, static_cast<uint8_t>(k)))).ok());
    }
    return commit_tree(tree, *store);
  }
  U64Snapshot snapshot(std::optional<BtreeHeader> root) {
    return U64Snapshot::create(root, PageReadHint::kCommitted, nullptr, store->memory())
        .value();
  }
  PageImpl read(PageNumber p) { return store->get_page(p, PageReadHint::kMayBeDirty).value(); }
  BranchAccessor branch(const PageImpl& page) {
    return BranchAccessor::create(page, kU64Bytes).value();
  }
  // Changes a page's bytes behind the tree's back and writes them back.
  template <typename F>
  void poke(PageNumber p, F&& change) {
    {
      PageMut page = store->get_page_mut(p).value();
      change(page.memory_mut());
    }
    ASSERT_TRUE(store->flush().ok());
  }
  std::vector<std::vector<PageNumber>> visited_paths(std::optional<BtreeHeader> root,
                                                     std::string* error = nullptr) {
    std::vector<std::vector<PageNumber>> paths;
    auto r = snapshot(root).visit_all_pages(
        [&](std::span<const PageNumber> path) -> Result<void, StorageError> {
          paths.emplace_back(path.begin(), path.end());
          return {};
        });
    if (error != nullptr) *error = r.ok() ? "" : r.error().to_string();
    return paths;
  }
  // The iterator's output, errors as their texts.
  std::vector<std::string> iterate(PageNumber root) {
    std::vector<std::string> out;
    AllPageNumbersBtreeIter it(root, 8, store->readable(), PageReadHint::kCommitted);
    while (auto next = it.next()) {
      out.push_back(next->ok() ? next->value().debug() : next->error().to_string());
      if (out.size() > 1000) break;
    }
    return out;
  }

  std::shared_ptr<test::FaultPlan> faults = std::make_shared<test::FaultPlan>();
  std::shared_ptr<TransactionalPageStore> store =
      TransactionalPageStore::create({.faults = faults});
  TxnState txn{store};
};

TEST_F(TreeWalkTest, FinalizationComputesOnlyWhatTheTransactionWrote) {
  // Untouched: the header comes back unchanged and no page is opened.
  auto committed = committed_tree(6000);
  auto counting = std::make_shared<test::CountingPages>(store->writable());
  U64Tree same = TxnState(std::shared_ptr<const WritablePageSource>(counting))
                     .open<U64Codec, BytesCodec>(committed);
  EXPECT_EQ(same.finalize_dirty_checksums().value(), committed);
  EXPECT_EQ(counting->opened_for_writing, 0u);

  // A one-leaf tree: the root checksum is the leaf's.
  U64Tree single = txn.open<U64Codec, BytesCodec>(std::nullopt);
  ASSERT_TRUE(single.insert(1, ByteView(filled(3, 3))).ok());
  auto one = single.finalize_dirty_checksums().value();
  EXPECT_EQ(one->checksum, leaf_checksum(read(one->root), 8, std::nullopt).value());
  store->rollback_all();

  // One leaf changed three levels down: its path gets real checksums, the
  // slots of untouched siblings keep their bytes.
  ASSERT_EQ(check_txn_tree(*store, committed, kU64Bytes).depth, 3u);
  U64Tree tree = txn.open<U64Codec, BytesCodec>(committed);
  ASSERT_TRUE(tree.insert(35000, ByteView(filled(100, 7))).value().has_value());
  auto finalized = tree.finalize_dirty_checksums().value();
  EXPECT_NE(finalized->checksum, kPendingChecksum);
  EXPECT_EQ(finalized->root, tree.get_root()->root);
  EXPECT_EQ(finalized->length, committed->length);
  const PageImpl old_root = read(committed->root), new_root = read(finalized->root);
  auto old_b = branch(old_root), new_b = branch(new_root);
  const size_t i = old_b.child_for_key(ByteView(U64Codec::as_bytes(35000))).value().first;
  ASSERT_EQ(old_b.num_keys(), new_b.num_keys());
  for (size_t c = 0; c <= old_b.num_keys(); ++c) {
    if (c == i) continue;
    EXPECT_EQ(new_b.child_page(c), old_b.child_page(c));
    EXPECT_EQ(new_b.child_checksum(c), old_b.child_checksum(c));
  }
  EXPECT_NE(new_b.child_checksum(i), old_b.child_checksum(i));
  EXPECT_NE(new_b.child_checksum(i), kPendingChecksum);
  EXPECT_EQ(new_b.child_checksum(i),
            branch_checksum(read(new_b.child_page(i)), 8).value());
  EXPECT_EQ(finalized->checksum, branch_checksum(new_root, 8).value());

  // Committed, the new tree verifies and the old snapshot still does.
  ASSERT_TRUE(store->commit(finalized).ok());
  EXPECT_TRUE(snapshot(finalized).verify_checksum().value());
  EXPECT_TRUE(snapshot(committed).verify_checksum().value());
  EXPECT_EQ(check_txn_tree(*store, finalized, kU64Bytes).error, "");
}

TEST_F(TreeWalkTest, VerificationCoversExactlyTheUsedBytes) {
  struct Case {
    const char* name;
    bool leaf;
    bool inside;
  };
  for (Case c : {Case{"leaf value", true, true}, Case{"past the leaf", true, false},
                 Case{"branch key", false, true}, Case{"past the branch", false, false}}) {
    SCOPED_TRACE(c.name);
    auto root = committed_tree(100);
    PageNumber target = root->root;
    size_t used = 0;
    {
      const PageImpl root_page = read(root->root);
      auto b = branch(root_page);
      if (c.leaf) {
        target = b.child_page(1);
        used = LeafAccessor::create(read(target), kU64Bytes).value().total_length().value();
      } else {
        used = b.total_length().value();
      }
    }
    ASSERT_TRUE(snapshot(root).verify_checksum().value());
    poke(target, [&](MutByteView bytes) { bytes[c.inside ? used - 1 : used] ^= 0x40; });
    EXPECT_EQ(snapshot(root).verify_checksum().value(), !c.inside);
  }
}

TEST_F(TreeWalkTest, ABranchThatIsItsOwnChildIsACycle) {
  auto root = committed_tree(100);
  const PageNumber r = root->root;
  PageNumber leaf0;
  {
    const PageImpl page = read(r);
    leaf0 = branch(page).child_page(0);
  }
  poke(r, [&](MutByteView bytes) { BranchMutator(bytes).write_child_page(1, r, 5); });

  EXPECT_FALSE(snapshot(root).verify_checksum().value());
  std::string error;
  auto paths = visited_paths(root, &error);
  EXPECT_EQ(error, kCycle);
  // The pages before the cycle were visited.
  EXPECT_EQ(paths, (std::vector<std::vector<PageNumber>>{{r}, {r, leaf0}}));
  std::vector<std::string> pages = iterate(r);
  ASSERT_EQ(pages.size(), 3u + branch(read(r)).num_keys() - 1);
  EXPECT_EQ(pages[2], kCycle);

  // A lookup that descends into the cycle, and an insert along it, stop.
  auto hit = snapshot(root).get(400);
  ASSERT_FALSE(hit.ok());
  EXPECT_EQ(hit.error().to_string(), kCycle);
  U64Tree tree = txn.open<U64Codec, BytesCodec>(root);
  auto inserted = tree.insert(405, ByteView(filled(1, 1)));
  ASSERT_FALSE(inserted.ok());
  EXPECT_EQ(inserted.error().to_string(), kCycle);
  EXPECT_TRUE(tree.poisoned());
}

TEST_F(TreeWalkTest, APageWithTwoParentsIsNeverWalkedTwice) {
  auto root = committed_tree(100);
  BtreeHeader shared = *root;
  PageNumber leaf0;
  Checksum sum0;
  {
    const PageImpl page = read(root->root);
    leaf0 = branch(page).child_page(0);
    sum0 = branch(page).child_checksum(0);
  }
  // Every checksum is right: only the shared page is wrong.
  poke(root->root, [&](MutByteView bytes) { BranchMutator(bytes).write_child_page(1, leaf0, sum0); });
  shared.checksum = branch_checksum(read(root->root), 8).value();
  EXPECT_FALSE(snapshot(shared).verify_checksum().value());
  std::string error;
  visited_paths(shared, &error);
  EXPECT_EQ(error, kCycle);
  std::vector<std::string> pages = iterate(shared.root);
  EXPECT_EQ(pages[1], leaf0.debug());
  EXPECT_EQ(pages[2], kCycle);
}

TEST_F(TreeWalkTest, OverDeepChainsStopAtTheDepthCap) {
  // 70 branches, each with its own leaf as right child and the next branch as
  // left child, with real checksums all the way up.
  PageTrackerRef tracker = PageTracker::create_disabled();
  const std::shared_ptr<const WritablePageSource> source = store->writable();
  const WritablePageSource& alloc = *source;
  auto make_leaf = [&](uint64_t key) {
    LeafBuilder b(alloc, tracker, 1, 8, std::nullopt);
    auto k = U64Codec::as_bytes(key);
    b.push(ByteView(k), ByteView());
    PageMut page = std::move(b).build().value();
    return BranchChild{page.get_page_number(), leaf_checksum(page, 8, std::nullopt).value()};
  };
  BranchChild below = make_leaf(0);
  for (uint64_t level = 70; level > 0; --level) {
    BranchBuilder b(alloc, tracker, 2, 8);
    b.push_child(below.page, below.checksum);
    auto k = U64Codec::as_bytes(0);
    b.push_key(ByteView(k));
    BranchChild right = make_leaf(level);
    b.push_child(right.page, right.checksum);
    PageMut page = std::move(b).build().value();
    below = BranchChild{page.get_page_number(), branch_checksum(page, 8).value()};
  }
  ASSERT_TRUE(store->commit(std::nullopt).ok());
  const BtreeHeader root{below.page, below.checksum, 71};

  EXPECT_FALSE(snapshot(root).verify_checksum().value());
  EXPECT_EQ(snapshot(root).get(0).error().to_string(), kTooDeep);
  std::string error;
  auto paths = visited_paths(root, &error);
  EXPECT_EQ(error, kTooDeep);
  EXPECT_EQ(paths.back().size(), kMaxTreeDepth);
  std::vector<std::string> pages = iterate(root.root);
  EXPECT_NE(std::find(pages.begin(), pages.end(), kTooDeep), pages.end());
  U64Tree tree = txn.open<U64Codec, BytesCodec>(root);
  EXPECT_EQ(tree.insert(0, ByteView()).error().to_string(), kTooDeep);
}

TEST_F(TreeWalkTest, UnknownPageTypesAreDamage) {
  auto root = committed_tree(100);
  PageNumber leaf1;
  {
    const PageImpl page = read(root->root);
    leaf1 = branch(page).child_page(1);
  }
  poke(leaf1, [](MutByteView bytes) { bytes[0] = 0; });
  const std::string text = "DB corrupted: Page " + leaf1.debug() + " corrupted. Unknown page type 0";
  EXPECT_FALSE(snapshot(root).verify_checksum().value());
  std::string error;
  visited_paths(root, &error);
  EXPECT_EQ(error, text);
  EXPECT_EQ(iterate(root->root)[2], text);
  U64Tree tree = txn.open<U64Codec, BytesCodec>(root);
  // A key in the damaged leaf: past the first separator.
  const PageImpl rp = read(root->root);
  const uint64_t sep = U64Codec::from_bytes(*branch(rp).key(0).value());
  EXPECT_EQ(tree.get(sep + 10).error().to_string(), text);
}

TEST_F(TreeWalkTest, AnUnreadablePageIsReportedAndTheIteratorGoesOn) {
  auto root = committed_tree(60);
  std::vector<PageNumber> children;
  {
    const PageImpl page = read(root->root);
    auto b = branch(page);
    for (size_t i = 0; i <= b.num_keys(); ++i) children.push_back(b.child_page(i));
  }
  ASSERT_GE(children.size(), 2u);
  // Everything is cached but the second leaf, whose read fails.
  store->memory()->invalidate_cache_all();
  (void)read(root->root);
  for (PageNumber p : children) {
    if (p != children[1]) (void)read(p);
  }
  faults->fail_nth(test::BackendOp::kRead, faults->calls(test::BackendOp::kRead) + 1, EIO);

  std::vector<std::string> pages = iterate(root->root);
  ASSERT_EQ(pages.size(), children.size() + 1);
  EXPECT_EQ(pages[0], root->root.debug());
  EXPECT_EQ(pages[1], children[0].debug());
  EXPECT_EQ(pages[2], "I/O error: Input/output error (os error 5)");
  for (size_t i = 2; i < children.size(); ++i) EXPECT_EQ(pages[i + 1], children[i].debug());

  // Sticky from now on: the walk and the verification report it too, and the
  // walk had visited the page whose read failed.
  std::string error;
  auto paths = visited_paths(root, &error);
  EXPECT_EQ(error, StorageError::PreviousIo().to_string());
  EXPECT_EQ(paths.back(), (std::vector<PageNumber>{root->root, children[1]}));
  EXPECT_EQ(snapshot(root).verify_checksum().error(), StorageError::PreviousIo());
}

TEST_F(TreeWalkTest, WalksArePreOrderLeftToRight) {
  // Two leaves under one root.
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  for (uint64_t k = 0; k < 40; ++k) ASSERT_TRUE(tree.insert(k, ByteView(filled(100, 1))).ok());
  auto root = commit_tree(tree, *store);
  const PageImpl page = read(root->root);
  auto b = branch(page);
  ASSERT_EQ(b.num_keys(), 1u);
  const PageNumber r = root->root, left = b.child_page(0), right = b.child_page(1);
  EXPECT_EQ(iterate(r), (std::vector<std::string>{r.debug(), left.debug(), right.debug()}));
  EXPECT_EQ(visited_paths(root),
            (std::vector<std::vector<PageNumber>>{{r}, {r, left}, {r, right}}));
  // A visitor's failure ends the walk.
  int calls = 0;
  auto r2 = snapshot(root).visit_all_pages(
      [&](std::span<const PageNumber>) -> Result<void, StorageError> {
        if (++calls == 2) return Err{StorageError::Corrupted("stop")};
        return {};
      });
  EXPECT_EQ(r2.error(), StorageError::Corrupted("stop"));
  EXPECT_EQ(calls, 2);
}

TEST_F(TreeWalkTest, DirtyLeafVisitorSeesTheUncommittedLeavesInOrder) {
  auto root = committed_tree(300);
  U64Tree tree = txn.open<U64Codec, BytesCodec>(root);
  // Change two leaves far apart: their keys' leaves get copied.
  ASSERT_TRUE(tree.insert(20, ByteView(filled(100, 1))).ok());
  ASSERT_TRUE(tree.insert(2500, ByteView(filled(100, 1))).ok());
  std::vector<PageNumber> seen;
  ASSERT_TRUE(tree.untyped()
                  .dirty_leaf_visitor([&](LeafPageMut<PageMut>& leaf) -> Result<void, StorageError> {
                    seen.push_back(leaf.page().get_page_number());
                    // Rewrite the leaf's first value in place, as the multimap code does.
                    return leaf.replace_value(0, ByteView(filled(100, 0xEE)));
                  })
                  .ok());
  ASSERT_EQ(seen.size(), 2u);
  uint64_t first_keys[2];
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_TRUE(store->uncommitted(seen[i]));
    const PageImpl page = read(seen[i]);
    first_keys[i] = U64Codec::from_bytes(
        LeafAccessor::create(page, kU64Bytes).value().entry(0).value()->key);
  }
  EXPECT_LT(first_keys[0], first_keys[1]);
  // Finalised after the visitor, the tree verifies with the changed values.
  auto finalized = commit_tree(tree, *store);
  EXPECT_TRUE(snapshot(finalized).verify_checksum().value());
  for (uint64_t key : first_keys) {
    EXPECT_EQ(snapshot(finalized).get(key).value()->bytes()[0], 0xEE);
  }
}

}  // namespace
}  // namespace storage
