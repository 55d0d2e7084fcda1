// What the transaction tests share: a database's page store (a
// TransactionalMemory over an in-memory file, optionally with injected faults)
// and its transaction tracker, the two starting functions over them, and the
// pages the allocators hold.
//
// Thread safety: as the page store and tracker; begin_write blocks while
// another write transaction is live.
#pragma once

#include <memory>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/transaction_tracker.h"
#include "storage/src/transactions/transaction_state.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_page_store.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/transaction.h"

namespace storage::test {

class TransactionFixture {
 public:
  explicit TransactionFixture(TransactionalPageStore::Options options = {});

  // Panic when the start fails.
  WriteTransaction begin_write();
  ReadTransaction begin_read();
  Result<WriteTransaction, TransactionError> try_begin_write();

  // The pages the allocators hold beyond those of an empty file.
  PageUnits allocated() const { return store_->allocated_units(); }

  const std::shared_ptr<TransactionalMemory>& mem() const { return store_->memory(); }
  const std::shared_ptr<TransactionTracker>& tracker() const { return tracker_; }

 private:
  std::shared_ptr<TransactionalPageStore> store_;
  std::shared_ptr<TransactionTracker> tracker_;
};

// The transaction's own durable (or, as set, non-durable) commit.
Result<void, CommitError> commit_for_test(WriteTransaction txn);

}  // namespace storage::test
