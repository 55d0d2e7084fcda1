#include "storage/tests/support/transaction_fixture.h"

#include <utility>

#include "storage/src/panic.h"

namespace storage::test {

TransactionFixture::TransactionFixture(TransactionalPageStore::Options options)
    : store_(TransactionalPageStore::create(std::move(options))) {
  auto last = store_->memory()->get_last_committed_transaction_id();
  if (!last.ok()) panic("last committed id: " + last.error().to_string());
  tracker_ = TransactionTracker::create(last.value());
}

Result<WriteTransaction, TransactionError> TransactionFixture::try_begin_write() {
  return begin_write_with_allocation_policy(tracker_, store_->memory(), AllocationPolicy::kAny);
}

WriteTransaction TransactionFixture::begin_write() {
  auto txn = try_begin_write();
  if (!txn.ok()) panic("begin_write: " + txn.error().to_string());
  return std::move(txn).value();
}

ReadTransaction TransactionFixture::begin_read() {
  auto txn = storage::begin_read(tracker_, store_->memory());
  if (!txn.ok()) panic("begin_read: " + txn.error().to_string());
  return std::move(txn).value();
}

Result<void, CommitError> commit_for_test(WriteTransaction txn) {
  using Access = detail::WriteTransactionAccess;
  std::shared_ptr<detail::WriteTransactionState> state = Access::state(txn);
  state->check_no_open_tables();
  state->completed.store(true);
  Access::release(txn);
  if (state->is_poisoned()) {
    TRY(state->abort_steps());
    return Err{CommitError::Poisoned()};
  }
  state->ended.store(true);
  auto committed = [&]() -> Result<void, StorageError> {
    ClosedTableTree closed;
    {
      auto tables = state->tables.lock_or_panic();
      TRY_ASSIGN(closed, tables->table_tree.flush_and_close());
    }
    const std::optional<BtreeHeader> system_root =
        state->system_tables.lock_or_panic()->table_tree.get_root();
    TRY(state->mem->commit(closed.root, system_root, state->transaction_id, false,
                           TrimPolicy::kNever));
    (void)state->allocator.take_allocated_since_commit();
    if (!state->transaction_tracker->oldest_live_read_transaction()) {
      auto untracked = PageTracker::create_disabled();
      for (PageNumber page : closed.freed_pages) state->allocator.free(page, untracked);
    }
    return {};
  }();
  if (!committed.ok()) {
    // As a failed commit does: the pages of the half-made commit are not
    // trusted to the allocator state.
    state->mem->invalidate_allocator_state();
    return Err{CommitError(std::move(committed).error())};
  }
  return {};
}

}  // namespace storage::test
