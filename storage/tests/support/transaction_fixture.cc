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
  return std::move(txn).commit();
}

}  // namespace storage::test
