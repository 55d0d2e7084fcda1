#include <exception>
#include <string>
#include <utility>

#include "storage/src/panic.h"
#include "storage/src/transactions/transaction_state.h"

namespace storage {

// ---- Namespaces ------------------------------------------------------------------------

void TableNamespace::close_table_without_update(std::string_view name) {
  if (open_tables.erase(std::string(name)) == 0) {
    panic("assertion failed: table '" + std::string(name) + "' is not open");
  }
}

void TableNamespace::set_dirty(detail::WriteTransactionState& txn) {
  if (!txn.transaction_tracker->any_savepoint_exists()) allocated_pages->disable();
}

std::set<SavepointId> SavepointTransactionState::pending_deleted_ids() const {
  std::set<SavepointId> ids;
  for (const auto& [id, transaction] : deleted_savepoints) ids.insert(id);
  return ids;
}

namespace detail {

namespace {

TableNamespace make_table_namespace(const WriteTransactionState& txn) {
  auto freed = std::make_shared<Mutex<std::vector<PageNumber>>>();
  PageTrackerRef tracker = PageTracker::create_recording();
  TableTreeMut tree(txn.mem->get_data_root(), txn.transaction_guard, txn.allocator, freed,
                    tracker, txn.poisoned);
  return TableNamespace{{}, std::move(tree), std::move(tracker), std::move(freed)};
}

SystemNamespace make_system_namespace(const WriteTransactionState& txn) {
  auto freed = std::make_shared<Mutex<std::vector<PageNumber>>>();
  TableTreeMut tree(txn.mem->get_system_root(), txn.transaction_guard, txn.allocator, freed,
                    PageTracker::create_disabled());
  return SystemNamespace{std::move(tree), std::move(freed), txn.transaction_guard};
}

}  // namespace

// ---- WriteTransactionState -------------------------------------------------------------

WriteTransactionState::WriteTransactionState(TransactionGuardRef guard,
                                             std::shared_ptr<TransactionTracker> tracker,
                                             std::shared_ptr<TransactionalMemory> mem,
                                             AllocationPolicy policy)
    : transaction_guard(std::move(guard)),
      transaction_tracker(std::move(tracker)),
      mem(std::move(mem)),
      transaction_id(transaction_guard->id()),
      allocator(this->mem, policy),
      poisoned(std::make_shared<std::atomic<bool>>(false)),
      tables(make_table_namespace(*this)),
      system_tables(make_system_namespace(*this)) {}

PageAllocator WriteTransactionState::page_allocator() {
  auto locked = tables.lock_or_panic();
  return allocator;
}

void WriteTransactionState::check_no_open_tables() {
  std::optional<std::string> first;
  {
    auto locked = tables.lock_or_panic();
    // The smallest name, so that the message does not depend on hashing.
    for (const auto& [name, location] : locked->open_tables) {
      if (!first || name < *first) first = name;
    }
  }
  // Not under the lock: a panic there would poison it for the rollback.
  if (!first) return;
  panic("Table '" + *first +
        "' is still open: drop its handle and cursors before the transaction ends");
}

Result<void, StorageError> WriteTransactionState::abort_steps() {
  ended.store(true, std::memory_order_release);
  tables.lock_or_panic()->table_tree.clear_root_updates_and_close();
  {
    auto savepoints = savepoint_state.lock_or_panic();
    for (const auto& [savepoint, transaction] : savepoints->created_savepoints) {
      transaction_tracker->deallocate_savepoint(savepoint, transaction);
    }
    savepoints->created_savepoints.clear();
    savepoints->deleted_savepoints.clear();
    savepoints->invalidated_savepoints.clear();
  }
  TRY(mem->check_io());
  allocator.rollback_all();
  return {};
}

void WriteTransactionState::drop_unfinished() noexcept {
  completed.store(true, std::memory_order_release);
  ended.store(true, std::memory_order_release);
  try {
    if (mem->check_io().ok()) {
      // Also while unwinding: left allocated, these pages would be saved as
      // used by the next clean close.
      (void)abort_steps();
    } else {
      tables.lock_ignoring_poison()->table_tree.clear_root_updates_and_close();
    }
  } catch (...) {
    // The pages could not be given back: make sure the allocator state is not
    // saved with them, so the next open rebuilds it from the reachable pages.
    mem->invalidate_allocator_state();
  }
}

// ---- Tables ----------------------------------------------------------------------------

TableCore::TableCore(std::shared_ptr<WriteTransactionState> txn, std::string name,
                     std::optional<BtreeHeader> root, const TreeDescriptor& descriptor,
                     SharedFreedPages freed_pages, PageTrackerRef allocated_pages)
    : txn(std::move(txn)),
      name(std::move(name)),
      tree(root, descriptor, page_source_of(this->txn->allocator), std::move(freed_pages),
           std::move(allocated_pages), this->txn->poisoned) {}

TableCore::~TableCore() {
  try {
    if (txn->ended.load(std::memory_order_acquire)) return;
    auto locked = txn->tables.lock();
    if (!locked.ok()) {
      // Whatever this table changed cannot reach the directory now.
      txn->poison();
      return;
    }
    auto& tables = *locked.value();
    if (txn->is_poisoned()) {
      tables.close_table_without_update(name);
      return;
    }
    tables.close_table_without_update(name);
    const std::optional<BtreeHeader> root = tree.get_root();
    tables.table_tree.stage_update_table_root(name, root, root ? root->length : 0);
  } catch (...) {
    txn->poison();
  }
}

void TableCore::check_usable() const {
  if (txn->ended.load(std::memory_order_acquire)) {
    panic("Table '" + name + "' used after its transaction ended");
  }
  if (cursor_open) panic("Table '" + name + "' has an open cursor: close it first");
}

const std::string& table_name(const TableCore& core) { return core.name; }

Result<void, StorageError> check_insert_limits(uint64_t key_len, uint64_t value_len) {
  if (value_len > kMaxValueLength) return Err{StorageError::ValueTooLarge(value_len)};
  if (key_len > kMaxKeyLength) return Err{StorageError::ValueTooLarge(key_len)};
  if (key_len + value_len > kMaxPairLength) {
    return Err{StorageError::ValueTooLarge(key_len + value_len)};
  }
  return {};
}

Result<std::optional<StoredBytes>, StorageError> table_insert(TableCore& core, ByteView key,
                                                              ByteView value) {
  core.check_usable();
  TRY(check_insert_limits(key.size(), value.size()));
  TRY_ASSIGN(std::optional<ValueRef> old, core.tree.insert(key, value));
  if (!old) return std::optional<StoredBytes>();
  return std::optional<StoredBytes>(stored_bytes(std::move(*old)));
}

Result<std::shared_ptr<CursorCore>, StorageError> table_upper_bound_mut(
    const std::shared_ptr<TableCore>& core, CursorBound::Kind kind, ByteView key) {
  core->check_usable();
  const TreeDescriptor& descriptor = core->tree.descriptor();
  if (!descriptor.fixed_key_width) panic("a write cursor needs fixed-width keys");
  EncodedBound encoded = EncodedBound::unbounded();
  if (kind != CursorBound::Kind::kUnbounded && key.size() != *descriptor.fixed_key_width) {
    panic(kUnwrapErrText);
  }
  if (kind == CursorBound::Kind::kIncluded) encoded = EncodedBound::included(key);
  if (kind == CursorBound::Kind::kExcluded) encoded = EncodedBound::excluded(key);
  BtreeCursorMut inner(core->tree.root_mut(), core->tree.allocator(), core->tree.tracker(),
                       core->tree.freed_pages(), descriptor);
  TRY(inner.seek_upper_bound(encoded));
  auto cursor = std::make_shared<CursorCore>(core, std::move(inner));
  core->cursor_open = true;
  return cursor;
}

// ---- Cursors ---------------------------------------------------------------------------

Result<void, StorageError> CursorCore::finish() {
  closed = true;
  table->cursor_open = false;
  auto finished = inner.finish();
  if (!finished.ok() || inner.poisoned()) table->txn->poison();
  return finished;
}

CursorCore::~CursorCore() {
  if (closed) return;
  // The transaction's pages are rolled back: a buffered run has nowhere to go.
  if (table->txn->ended.load(std::memory_order_acquire)) {
    table->cursor_open = false;
    return;
  }
  try {
    (void)finish();
  } catch (...) {
    table->cursor_open = false;
    table->txn->poison();
  }
}

Result<void, StorageError> cursor_insert_before(CursorCore& cursor, ByteView key,
                                                ByteView value) {
  if (cursor.closed) panic("assertion failed: insert into a closed cursor");
  if (cursor.table->txn->ended.load(std::memory_order_acquire)) {
    panic("Table '" + cursor.table->name + "' used after its transaction ended");
  }
  if (cursor.failed) return Err{StorageError::PreviousIo()};
  if (value.size() > kMaxValueLength) return Err{StorageError::ValueTooLarge(value.size())};
  auto inserted = cursor.inner.insert_before(key, value);
  if (!inserted.ok()) {
    cursor.failed = true;
    if (cursor.inner.poisoned()) cursor.table->txn->poison();
    return std::move(inserted).take_err();
  }
  if (!inserted.value()) return Err{StorageError::UnorderedKey()};
  return {};
}

Result<void, StorageError> cursor_close(CursorCore& cursor) {
  if (cursor.closed) return {};
  if (cursor.table->txn->ended.load(std::memory_order_acquire)) {
    panic("Table '" + cursor.table->name + "' used after its transaction ended");
  }
  return cursor.finish();
}

// ---- Opening tables --------------------------------------------------------------------

Result<std::shared_ptr<TableCore>, TableError> open_write_table(
    const std::shared_ptr<WriteTransactionState>& txn, std::string_view name,
    const TableTypes& types, const std::source_location& location) {
  if (txn->ended.load(std::memory_order_acquire)) {
    panic("Table '" + std::string(name) + "' opened after its transaction ended");
  }
  std::optional<BtreeHeader> root;
  SharedFreedPages freed_pages;
  PageTrackerRef allocated_pages;
  {
    auto tables = txn->tables.lock_or_panic();
    const std::string key(name);
    if (auto open = tables->open_tables.find(key); open != tables->open_tables.end()) {
      return Err{TableError::OpenTwice(key, open->second)};
    }
    // The directory's read view (and the root page it holds) is gone before a
    // new definition is inserted, which may edit that page in place.
    TRY_ASSIGN(std::optional<InternalTableDefinition> found,
               tables->table_tree.get_table_untyped(name, TableKind::kNormal));
    if (found) {
      TRY(found->check_match_types(TableKind::kNormal, name, types.key_type, types.key_width,
                                   types.value_type, types.value_width));
      root = found->table_root();
    } else {
      const InternalTableDefinition created(TableKind::kNormal, 0, std::nullopt, types.key_width,
                                            types.value_width, 1, 1, types.key_type,
                                            types.value_type);
      TRY(tables->table_tree.insert_definition(name, created));
    }
    tables->table_tree.clear_pending_table_update(name);
    tables->open_tables.emplace(
        key, SourceLocation{location.file_name(), location.line(), location.column()});
    tables->set_dirty(*txn);
    freed_pages = tables->freed_pages;
    allocated_pages = tables->allocated_pages;
  }
  return std::make_shared<TableCore>(txn, std::string(name), root, types.descriptor,
                                     std::move(freed_pages), std::move(allocated_pages));
}

}  // namespace detail

// ---- WriteTransaction ------------------------------------------------------------------

WriteTransaction::~WriteTransaction() {
  if (state_ == nullptr || state_->completed.load(std::memory_order_acquire)) return;
  state_->drop_unfinished();
}

Result<void, SetDurabilityError> WriteTransaction::set_durability(Durability durability) {
  auto savepoints = state_->savepoint_state.lock_or_panic();
  if (durability == Durability::kNonDurable &&
      (!savepoints->created_savepoints.empty() || !savepoints->deleted_savepoints.empty())) {
    return Err{SetDurabilityError{}};
  }
  state_->durability = durability;
  return {};
}

Durability WriteTransaction::durability() const { return state_->durability; }

void WriteTransaction::poison() { state_->poison(); }

bool WriteTransaction::is_poisoned() const { return state_->is_poisoned(); }

uint64_t WriteTransaction::transaction_id() const { return state_->transaction_id.id; }

Result<void, StorageError> WriteTransaction::abort() && {
  state_->check_no_open_tables();
  state_->completed.store(true, std::memory_order_release);
  auto result = state_->abort_steps();
  state_.reset();
  return result;
}

// ---- Starting ----------------------------------------------------------------------------

Result<WriteTransaction, TransactionError> begin_write_with_allocation_policy(
    const std::shared_ptr<TransactionTracker>& tracker,
    const std::shared_ptr<TransactionalMemory>& mem, AllocationPolicy policy) {
  TRY(mem->check_io());
  TRY_ASSIGN(const TransactionId id, tracker->start_write_transaction());
  return begin_write_in_slot(TransactionGuard::new_write(id, tracker), tracker, mem, policy);
}

Result<WriteTransaction, TransactionError> begin_write_in_slot(
    TransactionGuardRef slot, const std::shared_ptr<TransactionTracker>& tracker,
    const std::shared_ptr<TransactionalMemory>& mem, AllocationPolicy policy) {
  TRY(mem->check_io());
  if (!mem->allocator_state_loaded()) {
    return Err{TransactionError(StorageError::Corrupted(
        "Allocator state was discarded by a failed integrity check or commit; reopen the "
        "database to repair it"))};
  }
  return detail::WriteTransactionAccess::make(
      std::make_shared<detail::WriteTransactionState>(std::move(slot), tracker, mem, policy));
}

}  // namespace storage
