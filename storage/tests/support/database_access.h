// How the reliability tests reach a database beyond its public face: opening
// one over a test backend (crash images, injected faults, in-memory files),
// and the page store and tracker behind a handle, for the consistency checks.
//
// Thread safety: as the database handles.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/transaction_tracker.h"
#include "storage/src/tree_store/page_store/backends.h"
#include "storage/src/tree_store/page_store/page_manager.h"

namespace storage::test {

// Regions of 64 pages: small files of several regions.
inline constexpr uint64_t kSmallRegionBytes = 64 * 4096;

// A writable open (repairing the file when needed) over `backend`, with a
// small cache and, for a new file, small regions.
Result<Database, DatabaseError> open_database_on(std::unique_ptr<StorageBackend> backend);

const std::shared_ptr<TransactionalMemory>& page_store_of(const Database& db);
const std::shared_ptr<TransactionalMemory>& page_store_of(const ReadOnlyDatabase& db);
const std::shared_ptr<TransactionTracker>& tracker_of(const ReadOnlyDatabase& db);

// Writes the multimap table `name` (u64 keys to u64 values), as the engine
// itself never does, in one durable commit: key k names a subtree of the
// values subtrees[k]. Panics on failure.
void put_multimap(Database& db, const std::string& name,
                  const std::vector<std::vector<uint64_t>>& subtrees);

}  // namespace storage::test

namespace storage::test {

struct Model;

// What a reopen after a crash must find, checked through the public opens:
// a writable open of the file at `path` (repairing it when needed) passes
// check_page_store and closes cleanly; a read-only open then finds one of the
// candidate states and passes check_page_store on the saved allocator state.
// Empty when all holds, else what failed. `matched` receives the index of the
// candidate found.
std::string reopen_and_check(const std::string& path, const std::vector<Model>& candidates,
                             size_t* matched = nullptr);

}  // namespace storage::test
