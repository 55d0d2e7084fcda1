#include "storage/database.h"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "storage/src/database_internal.h"
#include "storage/src/panic.h"
#include "storage/src/transactions/page_census.h"
#include "storage/src/transactions/page_lists.h"
#include "storage/src/transactions/savepoint_tables.h"
#include "storage/src/transactions/transaction_state.h"
#include "storage/src/tree_store/btree_range.h"
#include "storage/src/tree_store/page_store/file_backend.h"
#include "storage/src/tree_store/table_tree.h"

namespace storage {

namespace {

// Calls the callback at `progress`; an abort is the open's error.
Result<void, DatabaseError> report(const RepairCallback& callback, double progress) {
  RepairSession session(progress);
  if (callback) callback(session);
  if (session.aborted()) return Err{DatabaseError::RepairCancelled()};
  return {};
}

Result<TableTree, StorageError> directory_at(const std::shared_ptr<TransactionalMemory>& mem,
                                             std::optional<BtreeHeader> root) {
  return TableTree::create(root, PageReadHint::kMayBeDirty, TransactionGuard::new_untracked(),
                           mem);
}

// Marks every page of the directory at `root` and of its tables allocated;
// returns the root with the table count as its length.
Result<std::optional<BtreeHeader>, StorageError> mark_directory(
    const std::shared_ptr<TransactionalMemory>& mem, std::optional<BtreeHeader> root) {
  TRY_ASSIGN(TableTree tree, directory_at(mem, root));
  TRY(tree.visit_all_pages([&](std::span<const PageNumber> path) -> Result<void, StorageError> {
    return mem->mark_page_allocated(path.back());
  }));
  TRY_ASSIGN(uint64_t tables, tree.count_tables());
  if (root) root->length = tables;
  return root;
}

FileIdentity identity_of(const StorageBackend& backend) {
  const auto* file = dynamic_cast<const FileBackend*>(&backend);
  if (file == nullptr) return {};
  struct stat st{};
  if (::fstat(file->fd(), &st) != 0) return {};
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// The tracker's close commit: errors are the close's to discard.
void close_commit(const std::shared_ptr<TransactionTracker>& tracker,
                  const std::shared_ptr<TransactionalMemory>& mem,
                  const TransactionGuardRef& slot) {
  (void)ensure_allocator_state_table_and_trim(tracker, mem, slot);
}

// Puts the stored savepoints back into the tracker through a write
// transaction that is then aborted.
Result<void, DatabaseError> restore_savepoints(const std::shared_ptr<TransactionTracker>& tracker,
                                               const std::shared_ptr<TransactionalMemory>& mem) {
  auto begun = begin_write_with_allocation_policy(tracker, mem, AllocationPolicy::kAny);
  if (!begun.ok()) return Err{DatabaseError(std::move(begun).error().into_storage_error())};
  WriteTransaction txn = std::move(begun).value();
  {
    const auto& state = detail::WriteTransactionAccess::state(txn);
    TRY_ASSIGN(TransactionId last, mem->get_last_committed_transaction_id());
    auto system = state->system_tables.lock_or_panic();
    const TableTreeMut& directory = system->table_tree;
    TRY_ASSIGN(std::optional<SavepointId> next, next_persistent_savepoint_id(directory));
    if (next) tracker->restore_savepoint_counter_state(*next);
    TRY_ASSIGN(std::vector<SavepointId> ids, list_persistent_savepoints(directory));
    for (SavepointId id : ids) {
      auto found = get_persistent_savepoint(directory, id, tracker, last);
      if (!found.ok()) {
        const SavepointError& error = found.error();
        if (error.is_invalid_savepoint()) panic("internal error: entered unreachable code");
        return Err{DatabaseError(error.storage_error())};
      }
      tracker->register_persistent_savepoint(found.value());
    }
  }
  TRY(std::move(txn).abort());
  return {};
}

}  // namespace

// ---- Repair --------------------------------------------------------------------------

Result<bool, StorageError> verify_checksums(const std::shared_ptr<TransactionalMemory>& mem,
                                            std::optional<BtreeHeader> data_root,
                                            std::optional<BtreeHeader> system_root) {
  {
    TRY_ASSIGN(TableTree data, directory_at(mem, data_root));
    TRY_ASSIGN(bool ok, data.verify_checksums());
    if (!ok) return false;
  }
  TRY_ASSIGN(TableTree system, directory_at(mem, system_root));
  return system.verify_checksums();
}

Result<void, StorageError> visit_freed_tree(
    std::string_view name, std::optional<BtreeHeader> system_root,
    const std::shared_ptr<TransactionalMemory>& mem,
    const std::function<Result<void, StorageError>(PageNumber)>& visit) {
  TRY_ASSIGN(TableTree directory, directory_at(mem, system_root));
  auto found =
      directory.get_table<TransactionIdWithPagination, PageList>(name, TableKind::kNormal);
  if (!found.ok()) {
    TableError error = std::move(found).error();
    if (error.kind() == TableError::Kind::kNoSuchTable) return {};
    if (error.kind() == TableError::Kind::kStorageFailure) return Err{error.storage_error()};
    return Err{StorageError::Corrupted("Unable to open " + std::string(name))};
  }
  if (!found.value()) return {};
  const std::optional<BtreeHeader> root = found.value()->table_root();
  if (!root) return {};
  BtreeCursorRange range = BtreeCursorRange::from_bounds(
      EncodedBound::unbounded(), EncodedBound::unbounded(), root->root,
      tree_descriptor<TransactionIdWithPagination, PageList>(), mem, PageReadHint::kMayBeDirty);
  while (auto entry = range.next()) {
    if (!entry->ok()) return Err{std::move(*entry).take_err()};
    const CursorEntry& item = entry->value();
    TRY(read_page_list_key(item.key()));
    TRY_ASSIGN(std::vector<PageNumber> pages, read_page_list(item.value()));
    for (PageNumber page : pages) TRY(visit(page));
  }
  return {};
}

Result<RepairRoots, DatabaseError> rebuild_allocator_state(
    const std::shared_ptr<TransactionalMemory>& mem, const RepairCallback& callback) {
  TRY(mem->reset_allocator_state());
  TRY_ASSIGN(std::optional<BtreeHeader> data_root, mark_directory(mem, mem->get_data_root()));
  TRY(report(callback, 0.9));
  TRY_ASSIGN(std::optional<BtreeHeader> system_root,
             mark_directory(mem, mem->get_system_root()));
  auto mark = [&](PageNumber page) { return mem->mark_page_allocated(page); };
  TRY(visit_freed_tree(kDataPagesUnreachable, system_root, mem, mark));
  TRY(visit_freed_tree(kSystemPagesUnreachable, system_root, mem, mark));
  return RepairRoots(data_root, system_root);
}

Result<RepairRoots, DatabaseError> do_repair(const std::shared_ptr<TransactionalMemory>& mem,
                                             const RepairCallback& callback) {
  TRY_ASSIGN(bool intact, verify_checksums(mem, mem->get_data_root(), mem->get_system_root()));
  if (!intact) {
    if (mem->used_two_phase_commit()) {
      return Err{DatabaseError(
          StorageError::Corrupted("Primary is corrupted despite 2-phase commit"))};
    }
    TRY(report(callback, 0.3));
    mem->repair_primary_corrupted();
    // Pages read while verifying the torn commit must not be served again.
    mem->invalidate_cache_all();
    TRY_ASSIGN(bool older_intact,
               verify_checksums(mem, mem->get_data_root(), mem->get_system_root()));
    if (!older_intact) {
      return Err{DatabaseError(
          StorageError::Corrupted("Failed to repair database. All roots are corrupted"))};
    }
  }
  TRY(report(callback, 0.6));
  TRY_ASSIGN(RepairRoots roots, rebuild_allocator_state(mem, callback));
  TRY(mem->clear_recovery_required());
  mem->invalidate_cache_all();
  return roots;
}

// ---- Allocator state at open and close -----------------------------------------------

Result<std::optional<AllocatorStateReadTree>, StorageError> get_allocator_state_table(
    const std::shared_ptr<TransactionalMemory>& mem) {
  using Out = std::optional<AllocatorStateReadTree>;
  if (!mem->used_two_phase_commit()) return Out();
  TransactionGuardRef guard = TransactionGuard::new_untracked();
  TRY_ASSIGN(TableTree directory,
             TableTree::create(mem->get_system_root(), PageReadHint::kMayBeDirty, guard, mem));
  auto found =
      directory.get_table<AllocatorStateKey, BytesCodec>(kAllocatorStateTable, TableKind::kNormal);
  if (!found.ok()) {
    return Err{std::move(found).error().into_storage_error_or_corrupted("Unexpected TableError")};
  }
  if (!found.value()) return Out();
  TRY_ASSIGN(AllocatorStateReadTree tree,
             AllocatorStateReadTree::create(found.value()->table_root(),
                                            PageReadHint::kMayBeDirty, guard, mem));
  TRY_ASSIGN(bool valid, is_valid_allocator_state(*mem, tree));
  if (!valid) return Out();
  return Out(std::move(tree));
}

Result<void, StorageError> ensure_allocator_state_table_and_trim(
    const std::shared_ptr<TransactionTracker>& tracker,
    const std::shared_ptr<TransactionalMemory>& mem, const TransactionGuardRef& slot) {
  auto begun = begin_write_in_slot(slot, tracker, mem, AllocationPolicy::kLowest);
  if (!begun.ok()) return Err{std::move(begun).error().into_storage_error()};
  WriteTransaction txn = std::move(begun).value();
  {
    const auto& state = detail::WriteTransactionAccess::state(txn);
    state->shrink_policy = TrimPolicy::kMaximal;
    state->quick_repair = true;
    state->skip_post_commit_freed_pages = true;
  }
  auto committed = std::move(txn).commit();
  if (!committed.ok()) {
    const CommitError& error = committed.error();
    if (error.kind() == CommitError::Kind::kStorageFailure) return Err{error.storage_error()};
    return Err{StorageError::Corrupted(error.to_string())};
  }
  return {};
}

// ---- Opening ---------------------------------------------------------------------------

Result<Database, DatabaseError> Builder::create(const std::string& path) const {
  TRY_ASSIGN(std::unique_ptr<FileBackend> backend, FileBackend::open_writable(path));
  return create_with_backend(std::move(backend));
}

Result<Database, DatabaseError> Builder::create_with_backend(
    std::unique_ptr<StorageBackend> backend) const {
  const FileIdentity identity = identity_of(*backend);
  TRY_ASSIGN(std::shared_ptr<TransactionalMemory> mem,
             TransactionalMemory::open(std::move(backend), true, kPageSize, region_size_,
                                       cache_size_, false));
  TRY_ASSIGN(std::optional<AllocatorStateReadTree> saved, get_allocator_state_table(mem));
  if (saved) {
    TRY(load_allocator_state(*mem, *saved));
    // A writable database hands pages out: a saved state that holds a page in
    // use free would give it to a second owner. Such a state is no more valid
    // than a stale one, and the repair rebuilds the allocators from the pages
    // in use (or finds the damage that made them disagree).
    TRY_ASSIGN(std::optional<std::string> conflict, check_loaded_allocator_state(mem));
    if (conflict) {
      mem->invalidate_allocator_state();
      saved.reset();
    }
  }
  if (!saved) {
    TRY(report(repair_callback_, 0.0));
    TRY_ASSIGN(RepairRoots roots, do_repair(mem, repair_callback_));
    TRY_ASSIGN(TransactionId last, mem->get_last_committed_transaction_id());
    TRY(mem->commit(roots.first, roots.second, TransactionId(last.id + 1), true,
                    TrimPolicy::kNever));
  }
  TRY(mem->begin_writable());
  TRY_ASSIGN(TransactionId last, mem->get_last_committed_transaction_id());
  std::shared_ptr<TransactionTracker> tracker =
      TransactionTracker::create(TransactionId(last.id + 1), close_commit);
  Database db(mem, tracker, identity);
  // A failure from here on closes the file as a drop of the database does.
  TRY(restore_savepoints(tracker, mem));
  return db;
}

// ---- Database ----------------------------------------------------------------------------

Database::Database(std::shared_ptr<TransactionalMemory> mem,
                   std::shared_ptr<TransactionTracker> tracker, FileIdentity identity)
    : mem_(std::move(mem)), tracker_(std::move(tracker)), identity_(identity) {}

Database::Database(Database&& other) noexcept
    : mem_(std::move(other.mem_)),
      tracker_(std::move(other.tracker_)),
      identity_(other.identity_),
      closed_(std::exchange(other.closed_, true)) {}

Database::~Database() {
  if (mem_ == nullptr || closed_) return;
  std::optional<TransactionId> slot;
  try {
    slot = tracker_->start_close_or_defer(mem_);
    // The live writer's thread closes the file when its transaction ends.
    if (!slot) return;
  } catch (...) {
    // A poisoned tracker: close the page store here, without the close
    // commit; a writer that is still running then meets a closed store.
  }
  TransactionTracker::run_close(tracker_, mem_, slot);
}

Result<WriteTransaction, TransactionError> Database::begin_write() const {
  if (mem_ == nullptr) panic("begin_write on a moved-from Database");
  // The caller's own references: a caller queued in the tracker may wake after
  // the owner destroyed this handle.
  std::shared_ptr<TransactionTracker> tracker = tracker_;
  std::shared_ptr<TransactionalMemory> mem = mem_;
  return begin_write_with_allocation_policy(tracker, mem, AllocationPolicy::kAny);
}

Result<void, DatabaseError> Database::close() {
  if (mem_ == nullptr) panic("close on a moved-from Database");
  if (closed_) return Err{DatabaseError(StorageError::DatabaseClosed())};
  // Refusing a live writer and taking the slot are one step; from then on no
  // writer is admitted, so every acknowledged commit precedes the close commit.
  const std::optional<TransactionId> id = tracker_->start_close();
  if (!id) return Err{DatabaseError::TransactionLive()};
  closed_ = true;
  // Held until the page store is closed.
  const TransactionGuardRef slot = TransactionGuard::new_write(*id, tracker_);
  auto committed = ensure_allocator_state_table_and_trim(tracker_, mem_, slot);
  auto closed = mem_->close();
  if (!committed.ok()) return Err{DatabaseError(std::move(committed).error())};
  if (!closed.ok()) return Err{DatabaseError(std::move(closed).error())};
  return {};
}

// ---- ReadOnlyDatabase ----------------------------------------------------------------------

Result<ReadOnlyDatabase, DatabaseError> ReadOnlyDatabase::open(const std::string& path) {
  return open(path, Builder::kDefaultCacheSize);
}

Result<ReadOnlyDatabase, DatabaseError> ReadOnlyDatabase::open(const std::string& path,
                                                               size_t cache_size) {
  TRY_ASSIGN(std::unique_ptr<FileBackend> backend, FileBackend::open_read_only(path));
  return open_backend(std::move(backend), cache_size);
}

Result<ReadOnlyDatabase, DatabaseError> ReadOnlyDatabase::open_backend(
    std::unique_ptr<StorageBackend> backend, size_t cache_size) {
  const FileIdentity identity = identity_of(*backend);
  auto wrapped = std::make_unique<ReadOnlyBackend>(std::move(backend));
  TRY_ASSIGN(std::shared_ptr<TransactionalMemory> mem,
             TransactionalMemory::open(std::move(wrapped), false, Builder::kPageSize,
                                       std::nullopt, cache_size, true));
  TRY_ASSIGN(std::optional<AllocatorStateReadTree> saved, get_allocator_state_table(mem));
  if (!saved) return Err{DatabaseError::RepairCancelled()};
  TRY(load_allocator_state(*mem, *saved));
  TRY_ASSIGN(TransactionId last, mem->get_last_committed_transaction_id());
  return ReadOnlyDatabase(mem, TransactionTracker::create(TransactionId(last.id + 1)), identity);
}

Result<ReadTransaction, TransactionError> ReadOnlyDatabase::begin_read() const {
  if (mem_ == nullptr) panic("begin_read on a moved-from ReadOnlyDatabase");
  return storage::begin_read(tracker_, mem_);
}

}  // namespace storage
