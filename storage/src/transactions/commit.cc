// The commit of a write transaction: the durable and the non-durable branch,
// and the freed-page processing that follows a durable commit.
#include <algorithm>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "storage/src/panic.h"
#include "storage/src/transactions/allocator_state.h"
#include "storage/src/transactions/page_lists.h"
#include "storage/src/transactions/savepoint_tables.h"
#include "storage/src/transactions/transaction_state.h"
#include "storage/src/tree_store/range_mut.h"

namespace storage {

namespace detail {

namespace {

constexpr uint64_t kNoSavepoint = std::numeric_limits<uint64_t>::max();

std::vector<PageNumber> to_list(const PageNumberSet& pages) {
  std::vector<PageNumber> out(pages.begin(), pages.end());
  std::sort(out.begin(), out.end(), [](PageNumber a, PageNumber b) {
    return a.packed() < b.packed();
  });
  return out;
}

std::vector<TransactionId> joined(std::vector<TransactionId> a, const std::vector<TransactionId>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Removes every entry below `end`; the extraction's own pages go to the
// system freed list.
Result<void, StorageError> remove_below(PageListTree& tree, TransactionIdWithPagination end) {
  auto extraction = tree.extract_from_if(
      end, [](const TransactionIdWithPagination&, const PageList&) { return true; });
  while (auto item = extraction.untyped().next()) {
    if (!item->ok()) {
      StorageError error = std::move(*item).error();
      (void)extraction.close();
      return Err{std::move(error)};
    }
  }
  return extraction.close();
}

// Frees the system pages this commit released, now that no commit reaches
// them; a page the allocator cannot take back is Corrupted.
Result<void, StorageError> free_system_pages(WriteTransactionState& txn) {
  std::vector<PageNumber> pages;
  {
    auto list = txn.system_tables.lock_or_panic()->freed_pages->lock_or_panic();
    pages.swap(*list);
  }
  PageTrackerRef untracked = PageTracker::create_disabled();
  PageNumberSet seen;
  for (PageNumber page : pages) {
    if (!seen.insert(page).second) {
      return Err{StorageError::Corrupted("system page " + page.debug() + " freed twice")};
    }
    TRY(check_releasable(txn.allocator, page));
    txn.allocator.free(page, untracked);
  }
  return {};
}

}  // namespace

void apply_savepoint_state_on_commit(WriteTransactionState& txn) {
  auto savepoints = txn.savepoint_state.lock_or_panic();
  for (const auto& [savepoint, transaction] : savepoints->deleted_savepoints) {
    txn.transaction_tracker->deallocate_savepoint(savepoint, transaction);
  }
  savepoints->deleted_savepoints.clear();
  txn.transaction_tracker->invalidate_savepoints(
      std::exchange(savepoints->invalidated_savepoints, {}));
  savepoints->created_savepoints.clear();
}

Result<void, StorageError> process_data_freed_pages_after_commit(
    WriteTransactionState& txn, std::optional<BtreeHeader> data_root, uint64_t oldest_savepoint) {
  const uint64_t n = txn.transaction_id.id;
  TransactionTracker& tracker = *txn.transaction_tracker;
  uint64_t bound = n + 1;
  if (auto oldest = tracker.oldest_live_read_transaction()) bound = oldest->id + 1;
  if (oldest_savepoint != kNoSavepoint) bound = std::min(bound, oldest_savepoint + 1);
  // A pin from the file (a savepoint) may name a later transaction: never
  // release what the commit just made durable is still using.
  bound = std::min(bound, n + 1);
  const TransactionId follow_up(n + 1);
  std::vector<TransactionId> processed;
  std::optional<BtreeHeader> system_root;
  bool stored = false;
  {
    auto system = txn.system_tables.lock_or_panic();
    TRY_ASSIGN(std::optional<BtreeHeader> root,
               (get_system_table_root<TransactionIdWithPagination, PageList>(
                   system->table_tree, kDataPagesUnreachable)));
    if (!root) return {};
    TRY_ASSIGN(processed, extract_freed_pages(system->table_tree, kDataPagesUnreachable,
                                              TransactionId(bound), txn.allocator));
    if (processed.empty()) return {};
    TRY(system->table_tree.flush_table_root_updates());
    TRY_ASSIGN(stored, store_system_freed_pages(system->table_tree, follow_up,
                                                system->freed_pages, *txn.mem, nullptr));
    TRY_ASSIGN(system_root, system->table_tree.directory_tree().finalize_dirty_checksums());
  }
  PageNumberSet allocated = txn.allocator.take_allocated_since_commit();
  TRY(txn.mem->non_durable_commit(data_root, system_root, follow_up, std::move(allocated)));
  tracker.reserve_transaction_id(follow_up, txn.transaction_id);
  tracker.register_non_durable_commit(follow_up, txn.transaction_id, stored);
  tracker.mark_non_durable_freed_pages_processed(processed);
  return {};
}

namespace {

// Writes the "allocator_state" table of this commit. Reserving allocates
// pages, and storing the freed system pages may too, so the images are
// measured, reserved, and filled only if nothing outgrew its value since;
// otherwise the table is emptied and the round repeats.
Result<void, StorageError> save_allocator_state(WriteTransactionState& txn,
                                                TableTreeMut& directory) {
  const TransactionId own = txn.transaction_id;
  return directory.create_table_and_flush_table_root<AllocatorStateKey, BytesCodec>(
      kAllocatorStateTable,
      [&](TableTreeMut& dir, AllocatorStateTree& tree) -> Result<void, StorageError> {
        while (true) {
          TRY_ASSIGN(uint32_t regions, reserve_allocator_state(*txn.mem, tree, own));
          TRY(store_system_freed_pages(dir, own, dir.freed_pages(), *txn.mem, nullptr));
          TRY_ASSIGN(bool saved, try_save_allocator_state(*txn.mem, tree, regions));
          if (saved) return {};
          while (true) {
            AllocatorStateKey last;
            {
              TRY_ASSIGN(auto entry, tree.last());
              if (!entry) break;
              last = AllocatorStateKey::from_bytes(entry->first.bytes());
            }
            TRY(tree.remove(last));
          }
        }
      });
}

Result<void, StorageError> durable_commit(WriteTransactionState& txn,
                                          std::optional<BtreeHeader> data_root,
                                          std::vector<PageNumber> allocated) {
  TransactionTracker& tracker = *txn.transaction_tracker;
  const TransactionId own = txn.transaction_id;
  // Oldest reader + 1; never above the own id, whatever a stored savepoint
  // claims, or this commit would release what the last durable one uses.
  TransactionId bound = own;
  if (auto oldest = tracker.oldest_live_read_transaction()) {
    bound = TransactionId(std::min(oldest->id + 1, own.id));
  }
  {
    std::vector<TransactionId> processed;
    {
      auto system = txn.system_tables.lock_or_panic();
      TRY_ASSIGN(std::vector<TransactionId> data,
                 extract_freed_pages(system->table_tree, kDataPagesUnreachable, bound,
                                     txn.allocator));
      TRY_ASSIGN(std::vector<TransactionId> sys,
                 extract_freed_pages(system->table_tree, kSystemPagesUnreachable, bound,
                                     txn.allocator));
      processed = joined(std::move(data), sys);
    }
    tracker.mark_non_durable_freed_pages_processed(processed);
  }
  uint64_t oldest_savepoint = kNoSavepoint;
  {
    UnpersistedAllocations unpersisted = txn.mem->take_unpersisted_allocations();
    auto system = txn.system_tables.lock_or_panic();
    std::set<SavepointId> deleted = txn.savepoint_state.lock_or_panic()->pending_deleted_ids();
    if (auto oldest = tracker.oldest_savepoint_excluding(deleted)) {
      oldest_savepoint = oldest->second.id;
    }
    TRY_ASSIGN(PageListTable table, (open_system_table<TransactionIdWithPagination, PageList>(
                                        system->table_tree, kDataPagesAllocated)));
    // Without a savepoint every entry is removed below; writing them first
    // would leave the same table behind.
    if (oldest_savepoint != kNoSavepoint) {
      for (auto& [t, pages] : unpersisted) {
        TRY(write_allocated_pages_entry(table.tree(), t, to_list(pages)));
      }
      TRY(write_allocated_pages_entry(table.tree(), own, std::move(allocated)));
    }
    TRY(remove_below(table.tree(), TransactionIdWithPagination{oldest_savepoint, 0}));
  }
  std::optional<BtreeHeader> system_root;
  {
    auto system = txn.system_tables.lock_or_panic();
    TRY(system->table_tree.flush_table_root_updates());
    auto deleted = system->table_tree.delete_table(kAllocatorStateTable, TableKind::kNormal);
    if (!deleted.ok()) {
      return Err{std::move(deleted).error().into_storage_error_or_corrupted(
          "Unexpected TableError")};
    }
    if (txn.quick_repair) TRY(save_allocator_state(txn, system->table_tree));
    TRY_ASSIGN(system_root, system->table_tree.directory_tree().finalize_dirty_checksums());
    TRY(txn.mem->commit(data_root, system_root, own, txn.two_phase_commit, txn.shrink_policy));
    (void)txn.allocator.take_allocated_since_commit();
    tracker.clear_pending_non_durable_commits();
  }
  TRY(free_system_pages(txn));
  apply_savepoint_state_on_commit(txn);
  if (!txn.skip_post_commit_freed_pages) {
    TRY(process_data_freed_pages_after_commit(txn, data_root, oldest_savepoint));
  }
  return {};
}

Result<void, StorageError> non_durable_commit(WriteTransactionState& txn,
                                              std::optional<BtreeHeader> data_root,
                                              const std::vector<PageNumber>& allocated,
                                              bool stored_data_freed) {
  TransactionTracker& tracker = *txn.transaction_tracker;
  const TransactionId own = txn.transaction_id;
  TransactionId bound = own;
  if (auto oldest = tracker.oldest_live_read_nondurable_transaction()) {
    bound = TransactionId(std::min(oldest->id + 1, own.id));
  }
  {
    std::vector<TransactionId> processed;
    {
      auto system = txn.system_tables.lock_or_panic();
      TRY_ASSIGN(std::vector<TransactionId> data,
                 process_freed_pages_nondurable_helper(system->table_tree, kDataPagesUnreachable,
                                                       bound, tracker, *txn.mem));
      TRY_ASSIGN(std::vector<TransactionId> sys,
                 process_freed_pages_nondurable_helper(
                     system->table_tree, kSystemPagesUnreachable, bound, tracker, *txn.mem));
      processed = joined(std::move(data), sys);
    }
    for (TransactionId id : processed) tracker.mark_non_durable_freed_pages_processed(id);
  }
  std::vector<PageNumber> unpersisted;
  bool stored_system_freed = false;
  std::optional<BtreeHeader> system_root;
  {
    auto system = txn.system_tables.lock_or_panic();
    TRY(system->table_tree.flush_table_root_updates());
    {
      auto list = system->freed_pages->lock_or_panic();
      std::vector<PageNumber> kept;
      for (PageNumber page : *list) {
        (txn.mem->unpersisted(page) ? unpersisted : kept).push_back(page);
      }
      list->swap(kept);
    }
    TRY_ASSIGN(stored_system_freed,
               store_system_freed_pages(system->table_tree, own, system->freed_pages, *txn.mem,
                                        &unpersisted));
    TRY(system->table_tree.flush_table_root_updates());
    TRY_ASSIGN(system_root, system->table_tree.directory_tree().finalize_dirty_checksums());
  }
  PageNumberSet pages = txn.allocator.take_allocated_since_commit();
  TRY(txn.mem->non_durable_commit(data_root, system_root, own, std::move(pages)));
  txn.mem->record_unpersisted_allocations(own, allocated);
  TRY_ASSIGN(TransactionId durable, txn.mem->get_last_durable_transaction_id());
  tracker.register_non_durable_commit(own, durable, stored_data_freed || stored_system_freed);
  PageTrackerRef untracked = PageTracker::create_disabled();
  PageNumberSet seen;
  for (PageNumber page : unpersisted) {
    // The same page met twice came from a damaged tree; once is enough.
    if (!seen.insert(page).second) continue;
    if (!txn.mem->free_if_unpersisted(page, *untracked)) panic("assertion failed: removed");
  }
  apply_savepoint_state_on_commit(txn);
  return {};
}

}  // namespace

Result<void, StorageError> commit_inner_helper(WriteTransactionState& txn) {
  if (txn.quick_repair) txn.two_phase_commit = true;
  ClosedTableTree closed;
  {
    auto tables = txn.tables.lock_or_panic();
    TRY_ASSIGN(closed, tables->table_tree.flush_and_close());
  }
  const bool stored_data_freed = !closed.freed_pages.empty();
  if (stored_data_freed) {
    auto system = txn.system_tables.lock_or_panic();
    TRY_ASSIGN(PageListTable table, (open_system_table<TransactionIdWithPagination, PageList>(
                                        system->table_tree, kDataPagesUnreachable)));
    TRY(write_page_list_entries(table.tree(), txn.transaction_id, 0,
                                std::move(closed.freed_pages), kDataPageListCapacity));
  }
  std::vector<PageNumber> allocated = to_list(closed.allocated_pages);
  if (txn.durability == Durability::kDurable) {
    TRY(durable_commit(txn, closed.root, std::move(allocated)));
  } else {
    TRY(non_durable_commit(txn, closed.root, allocated, stored_data_freed));
  }
  if (!txn.system_tables.lock_or_panic()->freed_pages->lock_or_panic()->empty()) {
    panic("assertion failed: the system freed-page list is empty after the commit");
  }
  if (!txn.tables.lock_or_panic()->freed_pages->lock_or_panic()->empty()) {
    panic("assertion failed: the data freed-page list is empty after the commit");
  }
  return {};
}

// Discards the page store's allocator state unless disarmed: a commit that
// failed half way leaves pages the allocators cannot account for, so the next
// open rebuilds them from what the file reaches.
class AllocatorStateLatch {
 public:
  explicit AllocatorStateLatch(std::shared_ptr<TransactionalMemory> mem) : mem_(std::move(mem)) {}
  AllocatorStateLatch(const AllocatorStateLatch&) = delete;
  AllocatorStateLatch& operator=(const AllocatorStateLatch&) = delete;
  ~AllocatorStateLatch() {
    if (mem_) mem_->invalidate_allocator_state();
  }
  void disarm() { mem_.reset(); }

 private:
  std::shared_ptr<TransactionalMemory> mem_;
};

Result<void, CommitError> commit_transaction(std::shared_ptr<WriteTransactionState> txn) {
  txn->check_no_open_tables();
  txn->completed.store(true, std::memory_order_release);
  if (txn->is_poisoned()) {
    auto aborted = txn->abort_steps();
    if (!aborted.ok()) return Err{CommitError(std::move(aborted).error())};
    return Err{CommitError::Poisoned()};
  }
  txn->ended.store(true, std::memory_order_release);
  AllocatorStateLatch latch(txn->mem);
  auto committed = commit_inner_helper(*txn);
  if (!committed.ok()) return Err{CommitError(std::move(committed).error())};
  latch.disarm();
  return {};
}

}  // namespace detail

}  // namespace storage

namespace storage {

Result<void, CommitError> WriteTransaction::commit() && {
  state_->check_no_open_tables();
  std::shared_ptr<detail::WriteTransactionState> state = std::move(state_);
  return detail::commit_transaction(std::move(state));
}

}  // namespace storage
