// Multimap tables written by the test builder on the real page store: the
// walk order (an outer page, then every page of the subtrees it names), the
// commit-time finalisation that rewrites only the headers of subtrees this
// transaction changed, verification against subtree checksums, and damaged
// values and pages shared between trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "storage/src/tree_store/btree_iters.h"
#include "storage/src/tree_store/multimap_tree.h"
#include "storage/tests/support/multimap_builder.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_editor.h"
#include "storage/tests/support/tree_harness.h"

namespace storage {
namespace {

using test::Bytes;
using test::kMultimapKeyWidth;
using test::kMultimapOuter;
using test::kMultimapSubtree;
using test::kMultimapValueWidth;
using test::MultimapBuilder;
using test::TransactionalPageStore;
using test::TxnState;

std::vector<uint64_t> range_of(uint64_t start, uint64_t n) {
  std::vector<uint64_t> out;
  for (uint64_t i = 0; i < n; ++i) out.push_back(start + i);
  return out;
}

class MultimapTest : public ::testing::Test {
 protected:
  // Finalises the table's checksums and commits it as the store's root.
  std::optional<BtreeHeader> commit(std::optional<BtreeHeader> root) {
    auto finalised = finalize_tree_and_subtree_checksums(root, kMultimapKeyWidth,
                                                         kMultimapValueWidth, store->writable());
    EXPECT_TRUE(finalised.ok()) << finalised.error().to_string();
    EXPECT_TRUE(store->commit(finalised.value()).ok());
    return finalised.value();
  }

  // The table the walk tests use: 40 outer keys with 300-byte inline values
  // (several outer leaves), among them subtrees of 1 page and of 4 pages.
  std::optional<BtreeHeader> build_table() {
    MultimapBuilder b(txn, std::nullopt);
    for (uint64_t k = 0; k < 40; ++k) {
      if (k == 3 || k == 4 || k == 30) {
        b.put_subtree(k, *b.subtree(range_of(k * 10000, k == 4 ? 1500 : 20)));
      } else {
        b.put_inline(k, Bytes(300, static_cast<uint8_t>(k)));
      }
    }
    return commit(b.root());
  }

  Result<std::vector<std::vector<PageNumber>>, StorageError> walk(
      std::optional<BtreeHeader> root) {
    std::vector<std::vector<PageNumber>> paths;
    UntypedMultiBtree tree(root, kMultimapKeyWidth, kMultimapValueWidth, store->readable(),
                           PageReadHint::kCommitted);
    TRY(tree.visit_all_pages([&](std::span<const PageNumber> path) -> Result<void, StorageError> {
      paths.emplace_back(path.begin(), path.end());
      return {};
    }));
    return paths;
  }

  Result<bool, StorageError> verify(std::optional<BtreeHeader> root) {
    return verify_tree_and_subtree_checksums(root, kMultimapKeyWidth, kMultimapValueWidth,
                                             store->readable(), PageReadHint::kCommitted);
  }

  // The stored outer pairs, key -> value bytes.
  std::map<uint64_t, Bytes> outer_values(std::optional<BtreeHeader> root) {
    std::map<uint64_t, Bytes> out;
    for (auto& [k, v] : test::tree_pairs(*store->readable(), root, kMultimapOuter)) {
      out[U64Codec::from_bytes(ByteView(k))] = v;
    }
    return out;
  }

  // Pre-order page numbers of one tree, from the iterator.
  std::vector<PageNumber> preorder(PageNumber root, std::optional<size_t> key_width) {
    std::vector<PageNumber> out;
    AllPageNumbersBtreeIter it(root, key_width, store->readable(), PageReadHint::kCommitted);
    while (auto next = it.next()) out.push_back(next->value());
    return out;
  }

  // Writes bytes into a committed page behind the trees' back.
  template <typename F>
  void poke(PageNumber p, F&& change) {
    {
      PageMut page = store->get_page_mut(p).value();
      change(page.memory_mut());
    }
    ASSERT_TRUE(store->flush().ok());
  }

  std::shared_ptr<TransactionalPageStore> store = TransactionalPageStore::create();
  TxnState txn{store};
};

TEST(DynamicCollectionTest, SubtreeValueBytes) {
  const Checksum checksum = (Checksum{0x1112131415161718} << 64) | 0x0102030405060708;
  const BtreeHeader header{PageNumber(1, 2, 3), checksum, 7};
  auto value = DynamicCollection::make_subtree_data(header);
  const Bytes expected = {0x03,                                            // tag
                          0x02, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x18,  // page number
                          0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // checksum, low
                          0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,  // checksum, high
                          0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};  // length
  EXPECT_EQ(Bytes(value.begin(), value.end()), expected);
  EXPECT_EQ(DynamicCollection::subtree_of(ByteView(expected)).value(), header);
  const Bytes inline_value = {0x01, 0xAA};
  EXPECT_EQ(DynamicCollection::subtree_of(ByteView(inline_value)).value(), std::nullopt);
}

TEST_F(MultimapTest, WalkGivesEachOuterPageThenTheSubtreesItNamesInEntryOrder) {
  auto root = build_table();
  // The expected order, built from the iterator and the leaves' own entries.
  std::vector<PageNumber> expected;
  std::vector<PageNumber> subtree_roots;
  for (PageNumber p : preorder(root->root, 8)) {
    expected.push_back(p);
    PageImpl page = store->get_page(p, PageReadHint::kCommitted).value();
    if (page.memory()[0] != kLeafPageType) continue;
    LeafAccessor leaf = LeafAccessor::create(page, kMultimapOuter).value();
    for (size_t i = 0; i < leaf.num_pairs(); ++i) {
      ByteView value = leaf.entry(i).value()->value;
      if (value[0] != 3) continue;
      BtreeHeader sub = BtreeHeader::from_le_bytes(value.data() + 1);
      subtree_roots.push_back(sub.root);
      for (PageNumber q : preorder(sub.root, 8)) expected.push_back(q);
    }
  }
  ASSERT_EQ(subtree_roots.size(), 3u);

  auto paths = walk(root);
  ASSERT_TRUE(paths.ok()) << paths.error().to_string();
  std::vector<PageNumber> visited;
  for (const auto& path : *paths) {
    visited.push_back(path.back());
    // Outer pages hang from the outer root, subtree pages from their own root.
    const bool in_subtree = std::find(subtree_roots.begin(), subtree_roots.end(),
                                      path.front()) != subtree_roots.end();
    EXPECT_TRUE(in_subtree || path.front() == root->root);
  }
  EXPECT_EQ(visited, expected);
  // Every allocated page, once.
  EXPECT_EQ(test::units_of(PageNumberSet(visited.begin(), visited.end())),
            store->allocated_units());
  EXPECT_EQ(PageNumberSet(visited.begin(), visited.end()).size(), visited.size());
  EXPECT_TRUE(verify(root).value());
}

TEST_F(MultimapTest, EmptyAndInlineOnlyTables) {
  auto none = finalize_tree_and_subtree_checksums(std::nullopt, 8, 8, store->writable());
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none.value(), std::nullopt);
  EXPECT_TRUE(walk(std::nullopt)->empty());
  EXPECT_TRUE(verify(std::nullopt).value());

  MultimapBuilder b(txn, std::nullopt);
  for (uint64_t k = 0; k < 5; ++k) b.put_inline(k, Bytes(k, 7));
  auto root = commit(b.root());
  auto paths = walk(root);
  ASSERT_EQ(paths->size(), 1u);
  EXPECT_EQ((*paths)[0], std::vector<PageNumber>{root->root});
  EXPECT_TRUE(verify(root).value());
  // A committed table comes back unchanged.
  auto again = finalize_tree_and_subtree_checksums(root, 8, 8, store->writable());
  EXPECT_EQ(again.value(), root);
}

TEST_F(MultimapTest, FinalisingRewritesOnlyTheChangedSubtreeHeader) {
  MultimapBuilder first(txn, std::nullopt);
  for (uint64_t k = 0; k < 4; ++k) first.put_subtree(k, *first.subtree(range_of(k * 1000, 600)));
  first.put_inline(9, Bytes(10, 1));
  auto root = commit(first.root());
  auto before = outer_values(root);
  ASSERT_TRUE(verify(root).value());

  // A committed table is left alone, even though its leaves name subtrees.
  EXPECT_EQ(finalize_tree_and_subtree_checksums(root, 8, 8, store->writable()).value(), root);

  // The next transaction adds values to subtree 2 only.
  MultimapBuilder second(txn, root);
  BtreeHeader old_sub = *DynamicCollection::subtree_of(ByteView(before[2])).value();
  auto grown = second.subtree(range_of(50000, 700), old_sub);
  EXPECT_EQ(grown->checksum, kPendingChecksum);
  second.put_subtree(2, *grown);
  auto finalised = finalize_tree_and_subtree_checksums(second.root(), 8, 8, store->writable());
  ASSERT_TRUE(finalised.ok()) << finalised.error().to_string();
  ASSERT_TRUE(store->commit(finalised.value()).ok());

  auto after = outer_values(finalised.value());
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [k, v] : before) {
    if (k == 2) continue;
    EXPECT_EQ(after[k], v) << "key " << k;
  }
  BtreeHeader new_sub = *DynamicCollection::subtree_of(ByteView(after[2])).value();
  EXPECT_EQ(new_sub.root, grown->root);
  EXPECT_EQ(new_sub.length, 1300u);
  EXPECT_NE(new_sub.checksum, kPendingChecksum);
  EXPECT_TRUE(verify(finalised.value()).value());
  // No placeholder is left anywhere, outer tree or subtree.
  test::TreeCheckOptions options;
  options.uncommitted = [](PageNumber) { return false; };
  options.pending_slots = true;
  EXPECT_EQ(test::check_tree(*store->readable(), finalised.value(), kMultimapOuter, options).error,
            "");
  EXPECT_EQ(test::check_tree(*store->readable(), new_sub, kMultimapSubtree, options).error, "");
}

TEST_F(MultimapTest, WrongSubtreeChecksumFailsVerification) {
  // A subtree committed first, so that finalising the table leaves its header
  // as written: with a checksum one off.
  auto sub_tree = txn.open<U64Codec, UnitCodec>(std::nullopt);
  for (uint64_t v : range_of(0, 900)) ASSERT_TRUE(sub_tree.insert(v, Unit{}).ok());
  auto sub = test::commit_tree(sub_tree, *store);
  MultimapBuilder b(txn, std::nullopt);
  BtreeHeader wrong = *sub;
  wrong.checksum += 1;
  b.put_subtree(1, *sub);
  b.put_subtree(2, wrong);
  auto root = commit(b.root());
  auto outer = Btree<U64Codec, BytesCodec>::create(root, PageReadHint::kCommitted, nullptr,
                                                   store->readable());
  EXPECT_TRUE(outer->verify_checksum().value());
  EXPECT_FALSE(verify(root).value());
}

struct DamagedValue {
  std::string name;
  Bytes value;
  std::string error;
};

TEST_F(MultimapTest, DamagedValuesAreCorrupted) {
  Bytes short_subtree(20, 0);
  short_subtree[0] = 3;
  const std::vector<DamagedValue> cases = {
      {"tag 2", Bytes{2, 1, 2, 3}, "DB corrupted: Unknown multimap collection tag 2"},
      {"tag 0", Bytes(33, 0), "DB corrupted: Unknown multimap collection tag 0"},
      {"empty value", Bytes{}, "DB corrupted: Empty multimap collection value"},
      {"short subtree value", short_subtree,
       "DB corrupted: Multimap subtree value of 20 bytes, expected 33"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store = TransactionalPageStore::create();
    TxnState t(store);
    MultimapBuilder b(t, std::nullopt);
    b.put_inline(1, Bytes(5, 1));
    b.put_raw(2, c.value);
    // Finalising reads the values of the leaves this transaction wrote.
    auto finalised = finalize_tree_and_subtree_checksums(b.root(), 8, 8, t.pages);
    ASSERT_FALSE(finalised.ok());
    EXPECT_EQ(finalised.error().to_string(), c.error);
    // Committed with plain checksums, the walk and verification meet it too.
    auto plain = t.open<U64Codec, BytesCodec>(b.root());
    auto root = test::commit_tree(plain, *store);
    EXPECT_EQ(walk(root).error().to_string(), c.error);
    EXPECT_EQ(verify(root).error().to_string(), c.error);
    PageImpl leaf = store->get_page(root->root, PageReadHint::kCommitted).value();
    EXPECT_EQ(parse_subtree_roots(leaf, 8).error().to_string(), c.error);
  }
}

TEST_F(MultimapTest, PagesSharedBetweenTreesAreCorruptedAndNeverVisitedTwice) {
  // Two committed subtrees of several pages each, and a committed outer tree
  // of two leaves.
  auto open_sub = [&]() { return txn.open<U64Codec, UnitCodec>(std::nullopt); };
  auto a_tree = open_sub();
  for (uint64_t v : range_of(0, 1200)) ASSERT_TRUE(a_tree.insert(v, Unit{}).ok());
  auto a = test::commit_tree(a_tree, *store);
  auto b_tree = open_sub();
  for (uint64_t v : range_of(0, 1200)) ASSERT_TRUE(b_tree.insert(v, Unit{}).ok());
  auto b = test::commit_tree(b_tree, *store);
  PageImpl a_root = store->get_page(a->root, PageReadHint::kCommitted).value();
  const PageNumber a_leaf = BranchAccessor::create(a_root, kMultimapSubtree)->child_page(1);

  struct Case {
    std::string name;
    // The subtree headers to store under keys 100 and 101 (the second leaf).
    std::function<std::vector<BtreeHeader>(const BtreeHeader& outer_first_leaf)> headers;
  };
  const std::vector<Case> cases = {
      {"one subtree twice", [&](const BtreeHeader&) { return std::vector{*a, *a}; }},
      {"a subtree naming another's leaf",
       [&](const BtreeHeader&) { return std::vector{*a, BtreeHeader{a_leaf, 0, 1}}; }},
      {"a subtree naming an outer leaf",
       [&](const BtreeHeader& leaf) { return std::vector{*b, leaf}; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MultimapBuilder builder(txn, std::nullopt);
    for (uint64_t k = 0; k < 20; ++k) builder.put_inline(k, Bytes(400, 1));
    auto first = commit(builder.root());
    PageImpl outer_root = store->get_page(first->root, PageReadHint::kCommitted).value();
    ASSERT_EQ(outer_root.memory()[0], kBranchPageType);
    const PageNumber outer_leaf =
        BranchAccessor::create(outer_root, kMultimapOuter)->child_page(0);
    MultimapBuilder more(txn, first);
    auto headers = c.headers(BtreeHeader{outer_leaf, 0, 1});
    for (size_t i = 0; i < headers.size(); ++i) more.put_subtree(100 + i, headers[i]);
    auto root = commit(more.root());

    std::vector<PageNumber> seen;
    UntypedMultiBtree tree(root, 8, 8, store->readable(), PageReadHint::kCommitted);
    auto r = tree.visit_all_pages(
        [&](std::span<const PageNumber> path) -> Result<void, StorageError> {
          seen.push_back(path.back());
          return {};
        });
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), StorageError::Kind::kCorrupted);
    EXPECT_NE(r.error().to_string().find("reached twice"), std::string::npos)
        << r.error().to_string();
    EXPECT_EQ(PageNumberSet(seen.begin(), seen.end()).size(), seen.size());
  }
}

TEST_F(MultimapTest, UnknownPageTypeInASubtreeIsCorrupted) {
  auto sub_tree = txn.open<U64Codec, UnitCodec>(std::nullopt);
  ASSERT_TRUE(sub_tree.insert(5, Unit{}).ok());
  auto sub = test::commit_tree(sub_tree, *store);
  MultimapBuilder b(txn, std::nullopt);
  b.put_subtree(1, *sub);
  auto root = commit(b.root());
  poke(sub->root, [](std::span<uint8_t> bytes) { bytes[0] = 7; });
  const std::string error = "DB corrupted: Page " + sub->root.debug() +
                            " corrupted. Unknown page type 7";
  EXPECT_EQ(walk(root).error().to_string(), error);
  PageImpl page = store->get_page(sub->root, PageReadHint::kCommitted).value();
  EXPECT_EQ(parse_subtree_roots(page, 8).error().to_string(), error);
  // Verification compares checksums first: the changed page no longer matches.
  EXPECT_FALSE(verify(root).value());
}

}  // namespace
}  // namespace storage
