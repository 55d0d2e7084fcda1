// The table directory on the real page store: one table of cases for lookups,
// staged roots, the flush, deletion, listing and counting and the walk order;
// multimap tables in the directory (flushed, verified, walked, deleted); and
// damaged directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "storage/src/tree_store/multimap_tree.h"
#include "storage/src/tree_store/table_tree.h"
#include "storage/tests/support/multimap_builder.h"
#include "storage/tests/support/panic_text.h"
#include "storage/tests/support/table_tree_harness.h"
#include "storage/tests/support/tree_harness.h"

namespace storage {
namespace {

using test::Bytes;
using test::commit_directory;
using test::DirTxn;
using test::kU64BytesTable;
using test::preorder_pages;
using test::read_directory;
using test::TransactionalPageStore;
using test::U64Table;
using test::walk_directory;

std::vector<uint64_t> keys(uint64_t start, uint64_t n) {
  std::vector<uint64_t> out;
  for (uint64_t i = 0; i < n; ++i) out.push_back(start + i);
  return out;
}

PageNumberSet set_of(const std::vector<PageNumber>& pages) {
  return PageNumberSet(pages.begin(), pages.end());
}

std::vector<std::string> names(const Result<std::vector<std::string>, StorageError>& r) {
  if (!r.ok()) return {"error: " + r.error().to_string()};
  return r.value();
}

// ---------------------------------------------------------------------------
// The table of directory cases.

struct DirectoryCase {
  std::string name;
  std::function<void(std::shared_ptr<TransactionalPageStore>)> run;
};

const std::vector<DirectoryCase>& directory_cases() {
  static const std::vector<DirectoryCase> cases = {
      {"a new database holds nothing",
       [](auto store) {
         TableTree tree = read_directory(*store, std::nullopt);
         EXPECT_EQ(tree.get_table_untyped("t", TableKind::kNormal).value(), std::nullopt);
         EXPECT_EQ((tree.get_table<U64Codec, BytesCodec>("t", TableKind::kNormal).value()),
                   std::nullopt);
         EXPECT_TRUE(names(tree.list_tables(TableKind::kNormal)).empty());
         EXPECT_TRUE(names(tree.list_tables(TableKind::kMultimap)).empty());
         EXPECT_EQ(tree.count_tables().value(), 0u);
         EXPECT_TRUE(tree.verify_checksums().value());
         EXPECT_TRUE(walk_directory(tree)->empty());
         DirTxn txn(store, std::nullopt);
         EXPECT_EQ(txn.dir.get_table_untyped("t", TableKind::kNormal).value(), std::nullopt);
         auto closed = txn.dir.flush_and_close();
         ASSERT_TRUE(closed.ok());
         EXPECT_EQ(closed->root, std::nullopt);
         EXPECT_TRUE(closed->allocated_pages.empty());
         EXPECT_TRUE(closed->freed_pages.empty());
       }},
      {"a table filled, staged and reopened shows the staged root and length",
       [](auto store) {
         DirTxn txn(store, std::nullopt);
         ASSERT_TRUE(txn.fill("t", keys(0, 300)).ok());
         const StagedTableUpdate staged = txn.dir.pending_table_updates().at("t");
         EXPECT_TRUE(staged.root_uncommitted);
         EXPECT_EQ(staged.length, 300u);
         auto reopened = txn.dir.get_table<U64Codec, BytesCodec>("t", TableKind::kNormal);
         ASSERT_TRUE(reopened.ok() && reopened.value());
         EXPECT_EQ(reopened.value()->table_root(), staged.root);
         EXPECT_EQ(reopened.value()->table_length(), 300u);
         EXPECT_EQ(txn.dir.get_table_untyped("t", TableKind::kNormal).value()->table_root(),
                   staged.root);
         // The stored definition is still the empty one of the creation.
         auto stored = read_directory(*store, txn.dir.get_root())
                           .get_table_untyped("t", TableKind::kNormal)
                           .value();
         EXPECT_EQ(stored->table_root(), std::nullopt);
         EXPECT_EQ(stored->table_length(), 0u);
         // get_or_create opens it with the staged root, creating nothing.
         const auto dir_root = txn.dir.get_root();
         auto opened = txn.dir.get_or_create_table<U64Codec, BytesCodec>("t", TableKind::kNormal);
         EXPECT_EQ(opened.value().first, staged.root);
         EXPECT_EQ(opened.value().second, 300u);
         EXPECT_EQ(txn.dir.get_root(), dir_root);
         // After the commit the stored definition carries the final root.
         auto root = commit_directory(txn);
         TableTree tree = read_directory(*store, root);
         auto committed = tree.get_table_untyped("t", TableKind::kNormal).value();
         EXPECT_EQ(committed->table_root()->root, staged.root->root);
         EXPECT_NE(committed->table_root()->checksum, kPendingChecksum);
         EXPECT_EQ(committed->table_length(), 300u);
         EXPECT_TRUE(tree.verify_checksums().value());
       }},
      {"staging twice keeps the second update",
       [](auto store) {
         DirTxn txn(store, std::nullopt);
         ASSERT_TRUE(txn.fill("t", keys(0, 10)).ok());
         const auto first = txn.dir.pending_table_updates().at("t");
         ASSERT_TRUE(txn.fill("t", keys(10, 40)).ok());
         const auto second = txn.dir.pending_table_updates().at("t");
         EXPECT_EQ(txn.dir.pending_table_updates().size(), 1u);
         EXPECT_NE(second.root, first.root);
         EXPECT_EQ(second.length, 50u);
         txn.dir.stage_update_table_root("t", first.root, 7);
         txn.dir.stage_update_table_root("t", second.root, 50);
         EXPECT_EQ(txn.dir.pending_table_updates().at("t"), second);
         auto root = commit_directory(txn);
         auto stored = read_directory(*store, root).get_table_untyped("t", TableKind::kNormal);
         EXPECT_EQ(stored.value()->table_root()->root, second.root->root);
         EXPECT_EQ(stored.value()->table_length(), 50u);
       }},
      {"an unchanged committed table is skipped by the flush",
       [](auto store) {
         DirTxn first(store, std::nullopt);
         ASSERT_TRUE(first.fill("a", keys(0, 200)).ok());
         ASSERT_TRUE(first.fill("b", keys(0, 5)).ok());
         auto root = commit_directory(first);
         DirTxn txn(store, root);
         auto a = txn.dir.get_table<U64Codec, BytesCodec>("a", TableKind::kNormal).value();
         txn.dir.clear_pending_table_update("a");
         txn.dir.stage_update_table_root("a", a->table_root(), a->table_length());
         EXPECT_FALSE(txn.dir.pending_table_updates().at("a").root_uncommitted);
         auto closed = txn.dir.flush_and_close();
         ASSERT_TRUE(closed.ok());
         EXPECT_EQ(closed->root, root);  // the directory's root page is unchanged
         EXPECT_TRUE(closed->allocated_pages.empty());
         EXPECT_TRUE(closed->freed_pages.empty());
         ASSERT_TRUE(store->commit(closed->root).ok());
       }},
      {"an uncommitted root is always written back",
       [](auto store) {
         DirTxn first(store, std::nullopt);
         ASSERT_TRUE(first.fill("a", keys(0, 200)).ok());
         auto root = commit_directory(first);
         DirTxn txn(store, root);
         // The same entries again: the tree is rewritten, its length the same.
         ASSERT_TRUE(txn.fill("a", keys(0, 200)).ok());
         const auto staged = txn.dir.pending_table_updates().at("a");
         EXPECT_TRUE(staged.root_uncommitted);
         EXPECT_EQ(staged.length, 200u);
         auto new_root = commit_directory(txn);
         EXPECT_NE(new_root->root, root->root);
         TableTree tree = read_directory(*store, new_root);
         auto a = tree.get_table_untyped("a", TableKind::kNormal).value();
         EXPECT_EQ(a->table_root()->root, staged.root->root);
         EXPECT_NE(a->table_root()->checksum, kPendingChecksum);
         EXPECT_TRUE(tree.verify_checksums().value());
       }},
      {"deleting an absent table changes nothing",
       [](auto store) {
         DirTxn first(store, std::nullopt);
         ASSERT_TRUE(first.fill("a", keys(0, 20)).ok());
         auto root = commit_directory(first);
         DirTxn txn(store, root);
         EXPECT_FALSE(txn.dir.delete_table("b", TableKind::kNormal).value());
         EXPECT_EQ(txn.dir.get_root(), root);
         EXPECT_TRUE(txn.freed_list().empty());
         EXPECT_TRUE(store->allocated_units() ==
                     test::units_of(set_of(walk_directory(read_directory(*store, root)).value())));
       }},
      {"deleting a table of this transaction frees its pages at once",
       [](auto store) {
         DirTxn txn(store, std::nullopt);
         ASSERT_TRUE(txn.fill("a", keys(0, 300)).ok());
         ASSERT_TRUE(txn.fill("b", keys(0, 300)).ok());
         const auto a_root = txn.dir.pending_table_updates().at("a").root;
         ASSERT_GT(preorder_pages(*store, a_root, 8).size(), 3u);
         EXPECT_TRUE(txn.dir.delete_table("a", TableKind::kNormal).value());
         EXPECT_TRUE(txn.freed_list().empty());
         EXPECT_FALSE(txn.dir.pending_table_updates().contains("a"));
         EXPECT_EQ(txn.dir.get_table_untyped("a", TableKind::kNormal).value(), std::nullopt);
         // Only the directory and table b hold pages now.
         auto root = commit_directory(txn);
         EXPECT_TRUE(store->allocated_units() ==
                     test::units_of(set_of(walk_directory(read_directory(*store, root)).value())));
         EXPECT_EQ(names(read_directory(*store, root).list_tables(TableKind::kNormal)),
                   std::vector<std::string>{"b"});
       }},
      {"deleting a committed table queues every page of it as freed",
       [](auto store) {
         DirTxn first(store, std::nullopt);
         ASSERT_TRUE(first.fill("a", keys(0, 300)).ok());
         ASSERT_TRUE(first.fill("b", keys(0, 3)).ok());
         auto root = commit_directory(first);
         TableTree before = read_directory(*store, root);
         const auto a_root =
             before.get_table_untyped("a", TableKind::kNormal).value()->table_root();
         const auto a_pages = preorder_pages(*store, a_root, 8);
         DirTxn txn(store, root);
         // A staged update of the deleted table is forgotten with it.
         txn.dir.stage_update_table_root("a", a_root, 300);
         EXPECT_TRUE(txn.dir.delete_table("a", TableKind::kNormal).value());
         EXPECT_TRUE(txn.dir.pending_table_updates().empty());
         const auto freed = txn.freed_list();
         EXPECT_EQ(set_of(freed).size(), freed.size());
         // Every page of the table, and the directory pages the removal replaced.
         const auto old_directory = preorder_pages(*store, root, std::nullopt);
         std::vector<PageNumber> expected = a_pages;
         expected.insert(expected.end(), old_directory.begin(), old_directory.end());
         EXPECT_EQ(set_of(freed), set_of(expected));
         std::vector<PageNumber> queued;
         auto new_root = commit_directory(txn, &queued);
         EXPECT_EQ(set_of(queued), set_of(expected));
         EXPECT_EQ(names(read_directory(*store, new_root).list_tables(TableKind::kNormal)),
                   std::vector<std::string>{"b"});
       }},
      {"counting includes multimap tables, listing by kind does not mix them",
       [](auto store) {
         DirTxn txn(store, std::nullopt);
         for (const char* name : {"c", "a"}) {
           ASSERT_TRUE((txn.dir.get_or_create_table<U64Codec, BytesCodec>(
                            name, TableKind::kNormal))
                           .ok());
         }
         ASSERT_TRUE((txn.dir.get_or_create_table<U64Codec, U64Codec>("b", TableKind::kMultimap))
                         .ok());
         auto root = commit_directory(txn);
         TableTree tree = read_directory(*store, root);
         EXPECT_EQ(tree.count_tables().value(), 3u);
         EXPECT_EQ(names(tree.list_tables(TableKind::kNormal)),
                   (std::vector<std::string>{"a", "c"}));
         EXPECT_EQ(names(tree.list_tables(TableKind::kMultimap)), std::vector<std::string>{"b"});
         // Kinds are checked on lookup.
         EXPECT_EQ(tree.get_table_untyped("b", TableKind::kNormal).error().to_string(),
                   "b is a multimap table");
         EXPECT_EQ(tree.get_table_untyped("a", TableKind::kMultimap).error().to_string(),
                   "a is not a multimap table");
         EXPECT_EQ((tree.get_table<U32Codec, BytesCodec>("a", TableKind::kNormal))
                       .error()
                       .to_string(),
                   "a is of type Table<u64, &[u8]>");
       }},
      {"the walk gives the directory, then normal tables by name, then multimap tables",
       [](auto store) {
         DirTxn txn(store, std::nullopt);
         ASSERT_TRUE(txn.fill("n2", keys(0, 150)).ok());
         ASSERT_TRUE(txn.fill("n1", keys(0, 120)).ok());
         ASSERT_TRUE(txn.fill("empty", {}).ok());
         // A multimap table whose name sorts first.
         ASSERT_TRUE((txn.dir.get_or_create_table<U64Codec, U64Codec>("0multi",
                                                                       TableKind::kMultimap))
                         .ok());
         test::TxnState state(txn.pages);
         state.freed = txn.freed;
         state.tracker = txn.tracker;
         test::MultimapBuilder builder(state, std::nullopt);
         builder.put_subtree(1, *builder.subtree(keys(0, 900)));
         builder.put_inline(2, Bytes(3, 3));
         txn.dir.stage_update_table_root("0multi", builder.root(), 901);
         auto root = commit_directory(txn);

         TableTree tree = read_directory(*store, root);
         auto walked = walk_directory(tree);
         ASSERT_TRUE(walked.ok()) << walked.error().to_string();
         auto table_root = [&](const char* name, TableKind kind) {
           return tree.get_table_untyped(name, kind).value()->table_root();
         };
         std::vector<PageNumber> expected = preorder_pages(*store, root, std::nullopt);
         for (const char* name : {"n1", "n2"}) {
           auto pages = preorder_pages(*store, table_root(name, TableKind::kNormal), 8);
           expected.insert(expected.end(), pages.begin(), pages.end());
         }
         UntypedMultiBtree multi(table_root("0multi", TableKind::kMultimap), 8, 8,
                                 store->readable(), PageReadHint::kCommitted);
         ASSERT_TRUE(multi.visit_all_pages([&](std::span<const PageNumber> path)
                                               -> Result<void, StorageError> {
                            expected.push_back(path.back());
                            return {};
                          })
                         .ok());
         EXPECT_EQ(walked.value(), expected);
         // Every allocated page, once.
         EXPECT_EQ(set_of(walked.value()).size(), walked->size());
         EXPECT_TRUE(store->allocated_units() == test::units_of(set_of(walked.value())));
         EXPECT_TRUE(tree.verify_checksums().value());
       }},
  };
  return cases;
}

TEST(TableTreeTest, DirectoryCases) {
  for (const auto& c : directory_cases()) {
    SCOPED_TRACE(c.name);
    c.run(TransactionalPageStore::create());
  }
}

// ---------------------------------------------------------------------------
// Multimap tables in the directory.

class MultimapDirectoryTest : public ::testing::Test {
 protected:
  // Stores a multimap table "m" in the transaction: subtrees under keys 1 and
  // 2, inline values under the others.
  void put_multimap(DirTxn& txn, std::optional<BtreeHeader> from = std::nullopt) {
    ASSERT_TRUE(
        (txn.dir.get_or_create_table<U64Codec, U64Codec>("m", TableKind::kMultimap)).ok());
    test::TxnState state(txn.pages);
    state.freed = txn.freed;
    state.tracker = txn.tracker;
    test::MultimapBuilder b(state, from);
    b.put_subtree(1, *b.subtree(keys(0, 1200)));
    b.put_subtree(2, *b.subtree(keys(0, 30)));
    for (uint64_t k = 3; k < 40; ++k) b.put_inline(k, Bytes(200, 1));
    txn.dir.stage_update_table_root("m", b.root(), 1267);
  }
  std::vector<PageNumber> multimap_pages(std::optional<BtreeHeader> dir_root) {
    auto def = read_directory(*store, dir_root).get_table_untyped("m", TableKind::kMultimap);
    std::vector<PageNumber> out;
    auto r = def.value()->visit_all_pages(store->readable(), PageReadHint::kMayBeDirty,
                                          [&](std::span<const PageNumber> path)
                                              -> Result<void, StorageError> {
                                            out.push_back(path.back());
                                            return {};
                                          });
    EXPECT_TRUE(r.ok());
    return out;
  }

  std::shared_ptr<TransactionalPageStore> store = TransactionalPageStore::create();
};

TEST_F(MultimapDirectoryTest, FlushFinalisesSubtreesAndVerificationSeesThem) {
  DirTxn txn(store, std::nullopt);
  put_multimap(txn);
  auto root = commit_directory(txn);
  TableTree tree = read_directory(*store, root);
  EXPECT_TRUE(tree.verify_checksums().value());
  auto def = tree.get_table_untyped("m", TableKind::kMultimap).value();
  EXPECT_EQ(def->table_length(), 1267u);
  EXPECT_NE(def->table_root()->checksum, kPendingChecksum);
  EXPECT_TRUE(verify_tree_and_subtree_checksums(def->table_root(), 8, 8, store->readable(),
                                                PageReadHint::kCommitted)
                  .value());
  EXPECT_TRUE(store->allocated_units() ==
              test::units_of(set_of(walk_directory(tree).value())));
}

TEST_F(MultimapDirectoryTest, DeletingFreesEachPageOnce) {
  // Committed: every page is queued once.
  {
    DirTxn txn(store, std::nullopt);
    put_multimap(txn);
    auto root = commit_directory(txn);
    const auto pages = multimap_pages(root);
    ASSERT_GT(pages.size(), 5u);
    DirTxn del(store, root);
    EXPECT_TRUE(del.dir.delete_table("m", TableKind::kMultimap).value());
    const auto freed = del.freed_list();
    EXPECT_EQ(set_of(freed).size(), freed.size());
    for (PageNumber p : pages) EXPECT_EQ(std::count(freed.begin(), freed.end(), p), 1);
    del.dir.clear_root_updates_and_close();
    store->rollback_all();
  }
  // Written in this transaction: every page freed at once, exactly once.
  {
    store = TransactionalPageStore::create();
    DirTxn txn(store, std::nullopt);
    put_multimap(txn);
    ASSERT_TRUE(txn.dir.flush_table_root_updates().ok());
    EXPECT_TRUE(txn.dir.delete_table("m", TableKind::kMultimap).value());
    EXPECT_TRUE(txn.freed_list().empty());
    auto root = commit_directory(txn);
    EXPECT_EQ(root, std::nullopt);
    EXPECT_TRUE(store->allocated_units().empty());
  }
}

TEST_F(MultimapDirectoryTest, ASharedPageStopsTheDeleteBeforeAnythingIsFreed) {
  DirTxn txn(store, std::nullopt);
  put_multimap(txn);
  auto root = commit_directory(txn);
  auto def = read_directory(*store, root).get_table_untyped("m", TableKind::kMultimap).value();
  // A later transaction stores a second header naming subtree 1's root.
  DirTxn bad(store, root);
  test::TxnState state(bad.pages);
  state.freed = bad.freed;
  state.tracker = bad.tracker;
  test::MultimapBuilder b(state, def->table_root());
  auto subtree_one = [&]() {
    std::vector<BtreeHeader> roots;
    for (PageNumber p : preorder_pages(*store, def->table_root(), 8)) {
      auto parsed = parse_subtree_roots(store->get_page(p, PageReadHint::kMayBeDirty).value(), 8);
      roots.insert(roots.end(), parsed->begin(), parsed->end());
    }
    return roots.at(0);
  }();
  b.put_subtree(100, subtree_one);
  bad.dir.stage_update_table_root("m", b.root(), 1268);
  auto damaged_root = commit_directory(bad);

  DirTxn del(store, damaged_root);
  const auto dir_root = del.dir.get_root();
  auto r = del.dir.delete_table("m", TableKind::kMultimap);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), TableError::Kind::kStorageFailure);
  EXPECT_EQ(r.error().storage_error().kind(), StorageError::Kind::kCorrupted);
  EXPECT_TRUE(del.freed_list().empty());
  EXPECT_EQ(del.dir.get_root(), dir_root);
  EXPECT_TRUE(del.dir.get_table_untyped("m", TableKind::kMultimap).value().has_value());
  // The directory walk meets the same damage.
  auto walked = walk_directory(read_directory(*store, damaged_root));
  EXPECT_EQ(walked.error().kind(), StorageError::Kind::kCorrupted);
}

// ---------------------------------------------------------------------------
// Damaged directories.

class DamagedDirectoryTest : public ::testing::Test {
 protected:
  // A committed directory of tables "a", "b1" and "c" (a few entries each),
  // and the leaf that holds all their definitions.
  void SetUp() override {
    DirTxn txn(store, std::nullopt);
    for (const char* name : {"a", "b1", "c"}) ASSERT_TRUE(txn.fill(name, keys(0, 5)).ok());
    root = commit_directory(txn);
    ASSERT_EQ(store->get_page(root->root, PageReadHint::kCommitted).value().memory()[0],
              kLeafPageType);
  }
  // Changes the directory leaf (its checksum no longer matches).
  template <typename F>
  void poke(F&& change) {
    {
      PageMut page = store->get_page_mut(root->root).value();
      LeafAccessor leaf = LeafAccessor::create(page, kTableDirectoryDescriptor).value();
      std::vector<EntryRanges> ranges;
      for (size_t i = 0; i < leaf.num_pairs(); ++i) ranges.push_back(*leaf.entry_ranges(i).value());
      change(page.memory_mut(), ranges);
    }
    ASSERT_TRUE(store->flush().ok());
  }

  std::shared_ptr<TransactionalPageStore> store = TransactionalPageStore::create();
  std::optional<BtreeHeader> root;
};

TEST_F(DamagedDirectoryTest, NameThatIsNotUtf8) {
  // "b1" becomes "b" and the byte 0xFF, never part of UTF-8; the keys stay in
  // order.
  poke([](std::span<uint8_t> page, const std::vector<EntryRanges>& r) {
    page[r[1].key_start + 1] = 0xFF;
  });
  TableTree tree = read_directory(*store, root);
  const std::string error = "DB corrupted: Table name of 2 bytes is not valid UTF-8";
  EXPECT_EQ(tree.list_tables(TableKind::kNormal).error().to_string(), error);
  EXPECT_EQ(tree.count_tables().error().to_string(), error);
  EXPECT_EQ(walk_directory(tree).error().to_string(), error);
  // Lookups compare names bytewise: the intact tables are still found.
  EXPECT_TRUE(tree.get_table_untyped("a", TableKind::kNormal).value().has_value());
  EXPECT_TRUE(tree.get_table_untyped("c", TableKind::kNormal).value().has_value());
  EXPECT_FALSE(tree.get_table_untyped("b1", TableKind::kNormal).value().has_value());
  DirTxn txn(store, root);
  EXPECT_TRUE(txn.dir.get_table_untyped("c", TableKind::kNormal).value().has_value());
}

TEST_F(DamagedDirectoryTest, FlippedDefinitionBytes) {
  struct Case {
    std::string name;
    std::function<void(std::span<uint8_t>, const EntryRanges&)> damage;
  };
  const std::vector<Case> cases = {
      {"legacy kind byte", [](auto page, const EntryRanges& r) { page[r.value_start] = 1; }},
      {"unknown kind byte", [](auto page, const EntryRanges& r) { page[r.value_start] = 0x83; }},
      {"key type length past the end",
       [](auto page, const EntryRanges& r) { page[r.value_start + 63] = 0x7F; }},
      {"type name classification",
       [](auto page, const EntryRanges& r) { page[r.value_start + 64] = 9; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store = TransactionalPageStore::create();
    SetUp();
    poke([&](std::span<uint8_t> page, const std::vector<EntryRanges>& r) { c.damage(page, r[1]); });
    TableTree tree = read_directory(*store, root);
    auto expect_corrupted = [](const auto& result) {
      ASSERT_FALSE(result.ok());
      EXPECT_NE(result.error().to_string().find("DB corrupted: "), std::string::npos)
          << result.error().to_string();
    };
    expect_corrupted(tree.get_table_untyped("b1", TableKind::kNormal));
    expect_corrupted(tree.get_table<U64Codec, BytesCodec>("b1", TableKind::kNormal));
    expect_corrupted(tree.list_tables(TableKind::kNormal));
    expect_corrupted(tree.list_tables(TableKind::kMultimap));
    expect_corrupted(tree.count_tables());
    expect_corrupted(walk_directory(tree));
    // The changed leaf no longer matches its checksum.
    EXPECT_FALSE(tree.verify_checksums().value());
    // The other tables are still found.
    EXPECT_TRUE(tree.get_table_untyped("a", TableKind::kNormal).value().has_value());
    DirTxn txn(store, root);
    expect_corrupted(txn.dir.get_table_untyped("b1", TableKind::kNormal));
    expect_corrupted(txn.dir.delete_table("b1", TableKind::kNormal));
    EXPECT_TRUE(txn.freed_list().empty());
  }
}

// A commit rewrites in place the directory entries it just wrote. In a
// damaged directory (keys out of order) the descent may not find such an
// entry again, or find a shorter one: Corrupted, where the in-place insert
// itself would panic.
TEST_F(DamagedDirectoryTest, RewritingAnEntryThatCannotBeFoundIsCorrupted) {
  DirTxn txn(store, root);
  auto bytes = [](const char* text) {
    return ByteView(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
  };
  const Bytes definition(40, 1);
  auto missing = rewrite_directory_entry(txn.dir.directory_tree(), bytes("b2"),
                                         ByteView(definition));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().to_string(),
            "DB corrupted: Table directory is damaged: the entry of table 'b2' cannot be found "
            "after it was written");
  const Bytes shorter(8, 2);
  ASSERT_TRUE(txn.dir.directory_tree().insert(bytes("b2"), ByteView(shorter)).ok());
  auto longer = rewrite_directory_entry(txn.dir.directory_tree(), bytes("b2"),
                                        ByteView(definition));
  ASSERT_FALSE(longer.ok());
  EXPECT_EQ(longer.error().to_string(),
            "DB corrupted: Table directory is damaged: the entry of table 'b2' is shorter than a "
            "definition");
  EXPECT_TRUE(rewrite_directory_entry(txn.dir.directory_tree(), bytes("b2"), ByteView(shorter))
                  .ok());
}

// ---------------------------------------------------------------------------
// Closing.

TEST(TableTreeCloseTest, EveryCloseLeavesTheTrackerClosed) {
  auto store = TransactionalPageStore::create();
  // Dropped without a close, with pages recorded.
  {
    DirTxn txn(store, std::nullopt);
    ASSERT_TRUE(txn.fill("a", keys(0, 50)).ok());
    ASSERT_FALSE(txn.tracker->is_empty());
    PageTrackerRef tracker = txn.tracker;
    { TableTreeMut moved(std::move(txn.dir)); }
    EXPECT_TRUE(tracker->is_closed());
    store->rollback_all();
  }
  // An abort drops the staged updates.
  {
    DirTxn txn(store, std::nullopt);
    ASSERT_TRUE(txn.fill("a", keys(0, 50)).ok());
    txn.dir.clear_root_updates_and_close();
    EXPECT_TRUE(txn.dir.pending_table_updates().empty());
    EXPECT_TRUE(txn.tracker->is_closed());
    txn.dir.clear_root_updates_and_close();  // a second abort is harmless
    store->rollback_all();
  }
}

// Poisons a lock: a panic unwinds while it is held.
template <typename T>
void poison(Mutex<T>& mutex) {
  try {
    auto guard = mutex.lock_or_panic();
    panic("injected");
  } catch (const Panic&) {
  }
}

TEST(TableTreeCloseTest, EveryClosePathWorksOnPoisonedLocks) {
  enum class Path { kDestructor, kAbort, kCommit };
  for (Path path : {Path::kDestructor, Path::kAbort, Path::kCommit}) {
    SCOPED_TRACE("path " + std::to_string(static_cast<int>(path)));
    auto store = TransactionalPageStore::create();
    auto txn = std::make_unique<DirTxn>(store, std::nullopt);
    ASSERT_TRUE(txn->fill("a", keys(0, 50)).ok());
    txn->dir.clear_pending_table_update("a");
    PageTrackerRef tracker = txn->tracker;
    // Recording a page twice panics inside the tracker's lock.
    const PageNumber recorded = *store->allocator().take_allocated_since_commit().begin();
    EXPECT_NE(test::panic_text([&] { tracker->insert(recorded); }), "<no panic>");
    EXPECT_FALSE(tracker->close().ok());  // poisoned: the plain close cannot
    switch (path) {
      case Path::kDestructor:
        txn.reset();
        break;
      case Path::kAbort:
        txn->dir.clear_root_updates_and_close();
        break;
      case Path::kCommit: {
        auto closed = txn->dir.flush_and_close();
        ASSERT_FALSE(closed.ok());
        EXPECT_EQ(closed.error(), StorageError::LockPoisoned());
        break;
      }
    }
    EXPECT_TRUE(tracker->is_closed());
  }
}

TEST(TableTreeCloseTest, PoisonedFreedListFailsTheCommitAndClosesTheTracker) {
  auto store = TransactionalPageStore::create();
  DirTxn txn(store, std::nullopt);
  ASSERT_TRUE(txn.fill("a", keys(0, 50)).ok());
  poison(*txn.freed);
  auto closed = txn.dir.flush_and_close();
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error(), StorageError::LockPoisoned());
  EXPECT_TRUE(txn.tracker->is_closed());
  EXPECT_TRUE(txn.dir.pending_table_updates().empty());
}

}  // namespace
}  // namespace storage
