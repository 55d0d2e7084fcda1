// The database's own steps below its public face: the repair of a file that
// was not closed cleanly (checksum verification, fallback to the older commit
// slot, allocator rebuild from every reachable page), the lookup of a saved
// allocator state at open, and the close commit.
//
// The repair walks run outside any transaction, on the page store of an open
// that nothing else uses yet (untracked guards, pages read as possibly dirty).
//
// Thread safety: the repair steps belong to the opening thread alone;
// ensure_allocator_state_table_and_trim runs in the writer slot its close
// holds, so no other writer comes between it and the page store's close.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "storage/database.h"
#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/transaction_tracker.h"
#include "storage/src/transactions/allocator_state.h"
#include "storage/src/tree_store/page_store/page_manager.h"

namespace storage {

// The data root and system root a repair keeps.
using RepairRoots = std::pair<std::optional<BtreeHeader>, std::optional<BtreeHeader>>;

// Verifies the newest commit (falling back to the older slot after a
// one-phase commit), rebuilds the allocators, clears the recovery flag on disk
// and returns the roots to commit. Calls `callback` at 0.3 (fallback), 0.6 and
// 0.9; an abort is "Database repair aborted.".
Result<RepairRoots, DatabaseError> do_repair(const std::shared_ptr<TransactionalMemory>& mem,
                                             const RepairCallback& callback);
// Whether every page of both directories and their tables matches its
// recorded checksum. Unreadable or malformed pages are errors, not false.
Result<bool, StorageError> verify_checksums(const std::shared_ptr<TransactionalMemory>& mem,
                                            std::optional<BtreeHeader> data_root,
                                            std::optional<BtreeHeader> system_root);
// Fresh allocators with every page reachable from the newest commit, and
// every page listed in the two unreachable-page tables, marked allocated.
// Each returned root carries its directory's table count as its length.
Result<RepairRoots, DatabaseError> rebuild_allocator_state(
    const std::shared_ptr<TransactionalMemory>& mem, const RepairCallback& callback);
// Calls `visit` with every page listed in the page-list system table `name`
// of the system directory at `system_root`. A table of the wrong kind or
// types is Corrupted "Unable to open {name}"; a value shorter than its count
// says is Corrupted.
Result<void, StorageError> visit_freed_tree(
    std::string_view name, std::optional<BtreeHeader> system_root,
    const std::shared_ptr<TransactionalMemory>& mem,
    const std::function<Result<void, StorageError>(PageNumber)>& visit);

// The saved allocator state of the newest commit, when the last durable
// commit was two-phase and the table names the last committed id.
Result<std::optional<AllocatorStateReadTree>, StorageError> get_allocator_state_table(
    const std::shared_ptr<TransactionalMemory>& mem);

// The close commit: an empty durable transaction that takes the lowest free
// pages, saves the allocator state and gives the largest free tail back. It
// runs in `slot`, the write guard of the slot the close holds.
Result<void, StorageError> ensure_allocator_state_table_and_trim(
    const std::shared_ptr<TransactionTracker>& tracker,
    const std::shared_ptr<TransactionalMemory>& mem, const TransactionGuardRef& slot);

namespace detail {

// For tests and the engine's own checks: the parts of an open database.
struct DatabaseAccess {
  static const std::shared_ptr<TransactionalMemory>& mem(const Database& db) { return db.mem_; }
  static const std::shared_ptr<TransactionTracker>& tracker(const Database& db) {
    return db.tracker_;
  }
  static const std::shared_ptr<TransactionalMemory>& mem(const ReadOnlyDatabase& db) {
    return db.mem_;
  }
  static const std::shared_ptr<TransactionTracker>& tracker(const ReadOnlyDatabase& db) {
    return db.tracker_;
  }
};

}  // namespace detail

}  // namespace storage
