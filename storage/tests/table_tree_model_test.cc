// The table directory against a std::map model on the real page store:
// random creations, openings that change a table and stage its root, stagings
// of unchanged tables, deletions, lookups and listings over many transactions,
// some aborted. After every commit: the checker passes on the directory and
// every table (no slot keeps the placeholder checksum), each table holds the
// model's entries, verification passes, and the allocated pages are exactly
// the pages the walk reaches plus the pages queued as freed.
//
// RS_TEST_SEED replays a seed; RS_TABLE_TREE_MODEL_ROUNDS sets the number of
// transactions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/src/tree_store/table_tree.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/table_tree_harness.h"
#include "storage/tests/support/tree_editor.h"
#include "storage/tests/support/tree_harness.h"

namespace storage {
namespace {

using test::Bytes;
using test::DirTxn;
using test::TransactionalPageStore;
using Table = std::map<uint64_t, Bytes>;
using Model = std::map<std::string, Table>;

int rounds() {
  if (const char* text = std::getenv("RS_TABLE_TREE_MODEL_ROUNDS")) return std::atoi(text);
  return 30;
}

class Driver {
 public:
  explicit Driver(uint64_t seed) : rng_(seed) {}

  void run_transaction(int steps) {
    DirTxn txn(store_, root_);
    Model model = committed_;
    for (int step = 0; step < steps; ++step) {
      const uint64_t kind = rng_() % 100;
      const std::string name = "t" + std::to_string(rng_() % 10);
      if (kind < 15) {
        create(txn, model, name);
      } else if (kind < 55) {
        if (model.contains(name)) change(txn, model, name);
      } else if (kind < 65) {
        if (model.contains(name)) stage_unchanged(txn, model, name);
      } else if (kind < 77) {
        auto deleted = txn.dir.delete_table(name, TableKind::kNormal);
        ASSERT_TRUE(deleted.ok()) << deleted.error().to_string();
        EXPECT_EQ(deleted.value(), model.erase(name) == 1) << name;
      } else if (kind < 90) {
        lookup(txn, model, name);
      } else {
        list(txn, model);
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
    if (rng_() % 8 == 0) {
      txn.dir.clear_root_updates_and_close();
      store_->rollback_all();
      ASSERT_TRUE(store_->allocated_units() == expected_units());
      return;
    }
    root_ = test::commit_directory(txn, &queued_);
    committed_ = std::move(model);
    verify();
  }

 private:
  void create(DirTxn& txn, Model& model, const std::string& name) {
    auto opened = txn.dir.get_or_create_table<U64Codec, BytesCodec>(name, TableKind::kNormal);
    ASSERT_TRUE(opened.ok()) << opened.error().to_string();
    txn.dir.clear_pending_table_update(name);
    EXPECT_EQ(opened->second, model[name].size());
    EXPECT_EQ(opened->first.has_value(), !model[name].empty());
    // An existing table's handle closes again with its root unchanged.
    if (opened->first) txn.dir.stage_update_table_root(name, opened->first, opened->second);
  }

  void change(DirTxn& txn, Model& model, const std::string& name) {
    auto opened = txn.dir.get_or_create_table<U64Codec, BytesCodec>(name, TableKind::kNormal);
    ASSERT_TRUE(opened.ok()) << opened.error().to_string();
    txn.dir.clear_pending_table_update(name);
    Table& table = model[name];
    ASSERT_EQ(opened->second, table.size());
    test::U64Table tree = txn.table<U64Codec, BytesCodec>(opened->first);
    const int edits = 1 + static_cast<int>(rng_() % (rng_() % 4 == 0 ? 300 : 20));
    for (int i = 0; i < edits; ++i) {
      const uint64_t key = rng_() % 2000;
      if (rng_() % 4 == 0) {
        auto removed = tree.remove(key);
        ASSERT_TRUE(removed.ok()) << removed.error().to_string();
        EXPECT_EQ(removed->has_value(), table.erase(key) == 1);
      } else {
        Bytes value(rng_() % 400, static_cast<uint8_t>(rng_()));
        ASSERT_TRUE(tree.insert(key, ByteView(value)).ok());
        table[key] = std::move(value);
      }
    }
    txn.dir.stage_update_table_root(name, tree.get_root(), table.size());
  }

  void stage_unchanged(DirTxn& txn, Model& model, const std::string& name) {
    auto found = txn.dir.get_table<U64Codec, BytesCodec>(name, TableKind::kNormal);
    ASSERT_TRUE(found.ok() && found.value());
    txn.dir.clear_pending_table_update(name);
    EXPECT_EQ(found.value()->table_length(), model[name].size());
    txn.dir.stage_update_table_root(name, found.value()->table_root(),
                                    found.value()->table_length());
  }

  void lookup(DirTxn& txn, const Model& model, const std::string& name) {
    auto found = txn.dir.get_table<U64Codec, BytesCodec>(name, TableKind::kNormal);
    ASSERT_TRUE(found.ok()) << found.error().to_string();
    auto it = model.find(name);
    ASSERT_EQ(found.value().has_value(), it != model.end()) << name;
    if (!found.value()) return;
    EXPECT_EQ(found.value()->table_length(), it->second.size());
    EXPECT_EQ(test::tree_pairs(*txn.pages, found.value()->table_root(), test::kU64BytesTable)
                  .size(),
              it->second.size());
  }

  void list(DirTxn& txn, const Model& model) {
    TableTree tree = test::read_directory(*store_, txn.dir.get_root());
    std::vector<std::string> expected;
    for (const auto& [name, table] : model) expected.push_back(name);
    EXPECT_EQ(tree.list_tables(TableKind::kNormal).value(), expected);
    EXPECT_TRUE(tree.list_tables(TableKind::kMultimap).value().empty());
    EXPECT_EQ(tree.count_tables().value(), model.size());
  }

  test::PageUnits expected_units() const {
    TableTree tree = test::read_directory(*store_, root_);
    auto walked = test::walk_directory(tree);
    if (!walked.ok()) return {};
    PageNumberSet pages(walked->begin(), walked->end());
    pages.insert(queued_.begin(), queued_.end());
    return test::units_of(pages);
  }

  void verify() {
    TableTree tree = test::read_directory(*store_, root_);
    test::TreeCheckOptions options;
    options.uncommitted = [](PageNumber) { return false; };
    options.pending_slots = true;
    EXPECT_EQ(test::check_tree(*store_->readable(), root_, kTableDirectoryDescriptor, options)
                  .error,
              "");
    std::vector<std::string> names;
    for (const auto& [name, table] : committed_) {
      names.push_back(name);
      auto def = tree.get_table<U64Codec, BytesCodec>(name, TableKind::kNormal);
      ASSERT_TRUE(def.ok() && def.value()) << name;
      EXPECT_EQ(def.value()->table_length(), table.size());
      const auto root = def.value()->table_root();
      auto check = test::check_tree(*store_->readable(), root, test::kU64BytesTable, options);
      EXPECT_EQ(check.error, "") << name;
      test::Pairs expected;
      for (const auto& [k, v] : table) {
        auto key = U64Codec::as_bytes(k);
        expected.emplace_back(Bytes(key.begin(), key.end()), v);
      }
      EXPECT_EQ(test::tree_pairs(*store_->readable(), root, test::kU64BytesTable), expected)
          << name;
    }
    EXPECT_EQ(tree.list_tables(TableKind::kNormal).value(), names);
    EXPECT_EQ(tree.count_tables().value(), committed_.size());
    EXPECT_TRUE(tree.verify_checksums().value());
    // Pages reached and pages queued as freed never overlap, and together
    // are every allocated page.
    auto walked = test::walk_directory(tree);
    ASSERT_TRUE(walked.ok()) << walked.error().to_string();
    PageNumberSet reached(walked->begin(), walked->end());
    EXPECT_EQ(reached.size(), walked->size());
    for (PageNumber p : queued_) EXPECT_FALSE(reached.contains(p)) << p.debug();
    EXPECT_TRUE(store_->allocated_units() == expected_units());
  }

  std::mt19937_64 rng_;
  std::shared_ptr<TransactionalPageStore> store_ = TransactionalPageStore::create();
  std::optional<BtreeHeader> root_;
  Model committed_;
  std::vector<PageNumber> queued_;
};

TEST(TableTreeModelTest, RandomTransactionsAgainstStdMap) {
  const uint64_t seed = storage_test_support::random_seed();
  std::cout << "TableTreeModelTest seed " << seed << " (RS_TEST_SEED replays it)\n";
  SCOPED_TRACE("seed " + std::to_string(seed));
  Driver driver(seed);
  const int n = rounds();
  for (int round = 0; round < n; ++round) {
    SCOPED_TRACE("transaction " + std::to_string(round));
    driver.run_transaction(25);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace storage
