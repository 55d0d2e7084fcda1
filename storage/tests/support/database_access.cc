#include "storage/tests/support/database_access.h"

#include <utility>

#include "storage/src/database_internal.h"
#include "storage/src/panic.h"
#include "storage/src/transactions/transaction_state.h"
#include "storage/src/tree_store/multimap_tree.h"
#include "storage/tests/support/database_checks.h"
#include "storage/tests/support/database_workload.h"

namespace storage::test {

Result<Database, DatabaseError> open_database_on(std::unique_ptr<StorageBackend> backend) {
  return Database::builder()
      .set_cache_size(size_t{16} << 20)
      .set_region_size(kSmallRegionBytes)
      .create_with_backend(std::move(backend));
}

const std::shared_ptr<TransactionalMemory>& page_store_of(const Database& db) {
  return detail::DatabaseAccess::mem(db);
}

const std::shared_ptr<TransactionalMemory>& page_store_of(const ReadOnlyDatabase& db) {
  return detail::DatabaseAccess::mem(db);
}

const std::shared_ptr<TransactionTracker>& tracker_of(const ReadOnlyDatabase& db) {
  return detail::DatabaseAccess::tracker(db);
}

void put_multimap(Database& db, const std::string& name,
                  const std::vector<std::vector<uint64_t>>& subtrees) {
  auto begun = db.begin_write();
  if (!begun.ok()) panic("begin_write: " + begun.error().to_string());
  WriteTransaction txn = std::move(begun).value();
  {
    const auto& state = detail::WriteTransactionAccess::state(txn);
    auto tables = state->tables.lock_or_panic();
    auto opened =
        tables->table_tree.get_or_create_table<U64Codec, U64Codec>(name, TableKind::kMultimap);
    if (!opened.ok()) panic("multimap table: " + opened.error().to_string());
    BtreeMut<U64Codec, BytesCodec> outer(opened.value().first, state->transaction_guard,
                                         state->allocator, tables->freed_pages,
                                         tables->allocated_pages);
    uint64_t length = opened.value().second;
    for (uint64_t key = 0; key < subtrees.size(); ++key) {
      BtreeMut<U64Codec, UnitCodec> subtree(std::nullopt, state->transaction_guard,
                                            state->allocator, tables->freed_pages,
                                            tables->allocated_pages);
      for (uint64_t v : subtrees[key]) {
        if (!subtree.insert(v, Unit{}).ok()) panic("subtree insert failed");
      }
      if (!subtree.get_root()) panic("an empty subtree");
      const auto data = DynamicCollection::make_subtree_data(*subtree.get_root());
      if (!outer.insert(key, ByteView(data.data(), data.size())).ok()) {
        panic("outer insert failed");
      }
      length += subtrees[key].size();
    }
    tables->table_tree.stage_update_table_root(name, outer.get_root(), length);
  }
  if (auto committed = std::move(txn).commit(); !committed.ok()) {
    panic("commit: " + committed.error().to_string());
  }
}

std::string reopen_and_check(const std::string& path, const std::vector<Model>& candidates,
                             size_t* matched) {
  {
    auto db = Database::builder().set_cache_size(size_t{16} << 20).create(path);
    if (!db.ok()) return "writable open: " + db.error().to_string();
    if (std::string e = check_page_store(page_store_of(db.value())); !e.empty()) {
      return "after the writable open: " + e;
    }
    if (auto closed = db.value().close(); !closed.ok()) {
      return "close: " + closed.error().to_string();
    }
  }
  auto ro = ReadOnlyDatabase::open(path);
  if (!ro.ok()) return "read-only open after a clean close: " + ro.error().to_string();
  if (std::string e = check_page_store(page_store_of(ro.value())); !e.empty()) {
    return "saved allocator state: " + e;
  }
  auto txn = ro.value().begin_read();
  if (!txn.ok()) return "begin_read: " + txn.error().to_string();
  auto model = read_model(txn.value());
  if (!model.ok()) return "read: " + model.error();
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (model.value() == candidates[i]) {
      if (matched != nullptr) *matched = i;
      return "";
    }
  }
  std::string out = "found " + model.value().debug() + ", expected one of:";
  for (const Model& m : candidates) out += " [" + m.debug() + "]";
  return out;
}

}  // namespace storage::test
