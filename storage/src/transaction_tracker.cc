#include "storage/src/transaction_tracker.h"

#include <exception>
#include <new>
#include <string>

#include "storage/src/panic.h"
#include "storage/src/tree_store/page_store/page_manager.h"

namespace storage {

// ---- Savepoint ---------------------------------------------------------------------------

Savepoint& Savepoint::operator=(Savepoint&& other) noexcept {
  if (this != &other) {
    release();
    version_ = other.version_;
    id_ = other.id_;
    transaction_id_ = other.transaction_id_;
    data_root_ = other.data_root_;
    transaction_tracker_ = std::move(other.transaction_tracker_);
    temporary_ = std::exchange(other.temporary_, false);
  }
  return *this;
}

void Savepoint::release() noexcept {
  if (temporary_ && transaction_tracker_ != nullptr) {
    temporary_ = false;
    try {
      transaction_tracker_->deallocate_savepoint(id_, transaction_id_);
    } catch (...) {
      // A poisoned tracker is already broken; a destructor cannot report it.
    }
  }
  transaction_tracker_.reset();
}

// ---- TransactionTracker ------------------------------------------------------------------

TransactionTracker::TransactionTracker(TransactionId last_issued_transaction_id,
                                       CloseCommit close_commit)
    : close_commit_(std::move(close_commit)) {
  state_.lock_or_panic()->last_issued_transaction_id = last_issued_transaction_id;
}

Mutex<TransactionTracker::State>::Guard TransactionTracker::lock() {
  return state_.lock_or_panic();
}

void TransactionTracker::pin(State& state, TransactionId id) { ++state.snapshot_pins[id]; }

void TransactionTracker::unpin(State& state, TransactionId id) {
  auto it = state.snapshot_pins.find(id);
  if (it == state.snapshot_pins.end()) {
    panic("Snapshot " + id.debug() + " is released but was never pinned");
  }
  if (--it->second == 0) state.snapshot_pins.erase(it);
}

Result<TransactionId, StorageError> TransactionTracker::start_write_transaction() {
  auto queued = lock();
  ++queued->queued_writers;
  auto waited = writer_finished_.wait_while(std::move(queued), [](const State& s) {
    return s.active_writer.has_value() && !s.closing;
  });
  if (!waited.ok()) panic("poisoned lock: another task failed inside");
  auto state = std::move(waited).value();
  --state->queued_writers;
  if (state->closing) return Err{StorageError::DatabaseClosed()};
  state->last_issued_transaction_id = state->last_issued_transaction_id.next();
  state->active_writer = state->last_issued_transaction_id;
  return state->last_issued_transaction_id;
}

TransactionTracker::DeferredClose TransactionTracker::end_write_transaction(TransactionId id) {
  DeferredClose close;
  auto state = lock();
  if (state->active_writer != std::optional<TransactionId>(id)) {
    panic("Write transaction " + id.debug() + " ended, but the live writer is " +
          (state->active_writer ? state->active_writer->debug() : "none"));
  }
  close.mem = std::move(state->deferred_close);
  if (close.mem != nullptr) {
    // The slot goes to the close without ever being free.
    state->last_issued_transaction_id = state->last_issued_transaction_id.next();
    state->active_writer = state->last_issued_transaction_id;
    close.slot = state->active_writer;
  } else {
    state->active_writer.reset();
    writer_finished_.notify_one();
  }
  return close;
}

TransactionTracker::DeferredClose TransactionTracker::end_write_transaction_in_release(
    TransactionId id) noexcept {
  try {
    return end_write_transaction(id);
  } catch (...) {
  }
  // The lock is poisoned, or the slot holds another writer (a broken invariant
  // either way). Freeing the slot of this writer and waking everyone keeps
  // waiters from hanging: they find the poisoned lock and panic.
  auto state = state_.lock_ignoring_poison();
  if (state->active_writer == std::optional<TransactionId>(id)) state->active_writer.reset();
  writer_finished_.notify_all();
  return DeferredClose{std::move(state->deferred_close), std::nullopt};
}

TransactionId TransactionTracker::claim_slot_for_close(State& state) {
  state.closing = true;
  state.last_issued_transaction_id = state.last_issued_transaction_id.next();
  state.active_writer = state.last_issued_transaction_id;
  writer_finished_.notify_all();
  return state.last_issued_transaction_id;
}

std::optional<TransactionId> TransactionTracker::start_close() {
  auto state = lock();
  if (state->active_writer) return std::nullopt;
  return claim_slot_for_close(*state);
}

std::optional<TransactionId> TransactionTracker::start_close_or_defer(
    std::shared_ptr<TransactionalMemory> mem) {
  std::shared_ptr<TransactionalMemory> earlier;
  auto state = lock();
  if (!state->active_writer) return claim_slot_for_close(*state);
  state->closing = true;
  // An earlier parked store is released after the lock.
  earlier = std::exchange(state->deferred_close, std::move(mem));
  writer_finished_.notify_all();
  return std::nullopt;
}

bool TransactionTracker::write_transaction_live() { return lock()->active_writer.has_value(); }

size_t TransactionTracker::queued_writers() { return lock()->queued_writers; }

void TransactionTracker::reserve_transaction_id(TransactionId id, TransactionId writer) {
  auto state = lock();
  if (state->active_writer != std::optional<TransactionId>(writer)) {
    panic("Transaction id " + id.debug() + " reserved by " + writer.debug() +
          ", which is not the live writer");
  }
  if (id != state->last_issued_transaction_id.next()) {
    panic("Transaction id " + id.debug() + " reserved out of sequence; the last issued is " +
          state->last_issued_transaction_id.debug());
  }
  state->last_issued_transaction_id = id;
}

Result<TransactionId, StorageError> TransactionTracker::register_read_transaction(
    TransactionalMemory& mem) {
  TRY_ASSIGN(auto state, state_.lock_storage());
  TRY_ASSIGN(const TransactionId id, mem.get_last_committed_transaction_id());
  pin(*state, id);
  return id;
}

void TransactionTracker::deallocate_read_transaction(TransactionId id) { unpin(*lock(), id); }

void TransactionTracker::register_non_durable_commit(TransactionId id,
                                                     TransactionId durable_ancestor,
                                                     bool freed_pages_unprocessed) {
  auto state = lock();
  if (!state->pending_non_durable_commits.emplace(id.id, durable_ancestor).second) {
    panic(
        "assertion failed: state.pending_non_durable_commits.insert(id, "
        "durable_ancestor).is_none()");
  }
  pin(*state, durable_ancestor);
  if (freed_pages_unprocessed) state->unprocessed_non_durable_commits.insert(id);
}

void TransactionTracker::clear_pending_non_durable_commits() {
  auto state = lock();
  auto pending = std::exchange(state->pending_non_durable_commits, {});
  for (const auto& [id, ancestor] : pending) unpin(*state, ancestor);
}

bool TransactionTracker::is_unprocessed_non_durable_commit(TransactionId id) {
  return lock()->unprocessed_non_durable_commits.contains(id);
}

void TransactionTracker::mark_non_durable_freed_pages_processed(TransactionId id) {
  lock()->unprocessed_non_durable_commits.erase(id);
}

void TransactionTracker::mark_non_durable_freed_pages_processed(
    std::span<const TransactionId> ids) {
  auto state = lock();
  for (const TransactionId id : ids) state->unprocessed_non_durable_commits.erase(id);
}

std::optional<TransactionId> TransactionTracker::oldest_unprocessed_non_durable_commit() {
  auto state = lock();
  if (state->unprocessed_non_durable_commits.empty()) return std::nullopt;
  return *state->unprocessed_non_durable_commits.begin();
}

std::optional<TransactionId> TransactionTracker::oldest_live_read_transaction() {
  auto state = lock();
  if (state->snapshot_pins.empty()) return std::nullopt;
  return state->snapshot_pins.begin()->first;
}

std::optional<TransactionId> TransactionTracker::oldest_live_read_nondurable_transaction() {
  auto state = lock();
  for (const auto& [id, count] : state->snapshot_pins) {
    if (state->pending_non_durable_commits.contains(id.id)) return id;
  }
  return std::nullopt;
}

void TransactionTracker::restore_savepoint_counter_state(SavepointId next_savepoint) {
  auto state = lock();
  if (!state->valid_savepoints.empty()) panic("assertion failed: state.valid_savepoints.is_empty()");
  if (!state->persistent_savepoints.empty()) {
    panic("assertion failed: state.persistent_savepoints.is_empty()");
  }
  state->savepoint_counter = next_savepoint;
}

void TransactionTracker::register_persistent_savepoint(const Savepoint& savepoint) {
  auto state = lock();
  pin(*state, savepoint.transaction_id());
  state->valid_savepoints.insert_or_assign(savepoint.id(), savepoint.transaction_id());
  state->persistent_savepoints.insert(savepoint.id());
}

void TransactionTracker::deallocate_savepoint(SavepointId savepoint, TransactionId transaction) {
  {
    auto state = lock();
    state->valid_savepoints.erase(savepoint);
    state->persistent_savepoints.erase(savepoint);
  }
  deallocate_read_transaction(transaction);
}

void TransactionTracker::invalidate_savepoints(std::set<SavepointId> savepoints) {
  auto state = lock();
  for (const SavepointId id : savepoints) {
    state->valid_savepoints.erase(id);
    state->persistent_savepoints.erase(id);
  }
}

bool TransactionTracker::any_savepoint_exists() { return !lock()->valid_savepoints.empty(); }

std::optional<std::pair<SavepointId, TransactionId>> TransactionTracker::oldest_savepoint_excluding(
    const std::set<SavepointId>& excluded) {
  auto state = lock();
  for (const auto& [id, transaction] : state->valid_savepoints) {
    if (!excluded.contains(id)) return std::pair(id, transaction);
  }
  return std::nullopt;
}

void TransactionTracker::run_close(const std::shared_ptr<TransactionTracker>& tracker,
                                   std::shared_ptr<TransactionalMemory> mem,
                                   std::optional<TransactionId> slot) noexcept {
  // Held until the page store is closed; should the guard not be made, its
  // making already ended the slot.
  TransactionGuardRef guard;
  if (slot) {
    try {
      guard = TransactionGuard::new_write(*slot, tracker);
    } catch (...) {
    }
  }
  // While unwinding, nothing more is written; the page store's close knows to
  // leave the file marked for repair then.
  if (guard != nullptr && std::uncaught_exceptions() == 0 && tracker->close_commit_) {
    try {
      tracker->close_commit_(tracker, mem, guard);
    } catch (...) {
      // The close must still release the file; the next open repairs it.
    }
  }
  try {
    (void)mem->close();
  } catch (...) {
  }
  guard.reset();
  mem.reset();
}

// ---- TransactionGuard --------------------------------------------------------------------

TransactionGuardRef TransactionGuard::make(Kind kind, TransactionId id,
                                           std::shared_ptr<TransactionTracker> tracker) {
  std::unique_ptr<TransactionGuard> guard;
  try {
    guard.reset(new TransactionGuard(kind, id, tracker));
  } catch (...) {
    end(kind, id, tracker);
    throw;
  }
  // Should sharing fail, `guard` still owns the registration and ends it.
  return TransactionGuardRef(std::move(guard));
}

TransactionGuardRef TransactionGuard::new_read(TransactionId id,
                                               std::shared_ptr<TransactionTracker> tracker) {
  return make(Kind::kRead, id, std::move(tracker));
}

TransactionGuardRef TransactionGuard::new_write(TransactionId id,
                                                std::shared_ptr<TransactionTracker> tracker) {
  return make(Kind::kWrite, id, std::move(tracker));
}

TransactionGuardRef TransactionGuard::new_untracked() {
  return TransactionGuardRef(new TransactionGuard(Kind::kUntracked, TransactionId(), nullptr));
}

TransactionGuard::~TransactionGuard() {
  if (tracker_ != nullptr) end(kind_, id_, tracker_);
}

TransactionId TransactionGuard::id() const {
  if (kind_ == Kind::kUntracked) panic("TransactionGuard::id() called on an untracked guard");
  return id_;
}

void TransactionGuard::end(Kind kind, TransactionId id,
                           const std::shared_ptr<TransactionTracker>& tracker) noexcept {
  switch (kind) {
    case Kind::kRead:
      try {
        tracker->deallocate_read_transaction(id);
      } catch (...) {
        // Only a poisoned tracker fails here, and it refuses every later use.
      }
      break;
    case Kind::kWrite:
      if (auto close = tracker->end_write_transaction_in_release(id)) {
        TransactionTracker::run_close(tracker, std::move(close.mem), close.slot);
      }
      break;
    case Kind::kUntracked:
      break;
  }
}

}  // namespace storage
