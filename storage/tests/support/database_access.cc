#include "storage/tests/support/database_access.h"

#include <utility>

#include "storage/src/database_internal.h"
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
