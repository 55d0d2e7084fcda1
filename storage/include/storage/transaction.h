// Transactions of the storage engine, as its users see them.
//
// A WriteTransaction is the one open writer of a database: it opens typed
// tables by name (creating them), chooses its durability, and ends by commit,
// abort or drop; a dropped transaction rolls back every page it allocated. A
// transaction whose tree edit failed (or whose write cursor failed) is
// poisoned and can only be aborted.
//
// A ReadTransaction is a snapshot of the newest commit; its tables and ranges
// keep the snapshot registered after the transaction itself is gone.
//
// Both are started by the database (begin_write, begin_read). Every table
// handle of a write transaction must be gone before the transaction commits or
// aborts: ending it with one open panics, naming the table.
//
// Thread safety: a transaction belongs to one thread at a time; it may move
// between threads. Read transactions of one database run on any number of
// threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>

#include "storage/table.h"
#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/types.h"

namespace storage {

// How a write transaction's commit reaches the disk.
enum class Durability : uint8_t {
  // Flushed without sync; durable with the next durable commit.
  kNonDurable = 0,
  // Synced to the file (the default).
  kDurable = 1,
};

namespace detail {

class WriteTransactionState;
class ReadTransactionState;
struct WriteTransactionAccess;

Result<std::shared_ptr<TableCore>, TableError> open_write_table(
    const std::shared_ptr<WriteTransactionState>& txn, std::string_view name,
    const TableTypes& types, const std::source_location& location);
Result<std::shared_ptr<const ReadTableCore>, TableError> open_read_table(
    const ReadTransactionState& txn, std::string_view name, const TableTypes& types);

}  // namespace detail

class WriteTransaction {
 public:
  WriteTransaction(WriteTransaction&&) noexcept = default;
  WriteTransaction& operator=(WriteTransaction&&) = delete;
  WriteTransaction(const WriteTransaction&) = delete;
  // Rolls back a transaction that neither committed nor aborted; never throws.
  ~WriteTransaction();

  // Opens (creating it when absent) the table of that name. A name already
  // open in this transaction is TableError "Table '{name}' already opened at:
  // {file}:{line}:{column}" of the first opening; a stored table of other
  // types or kind is its TableError.
  template <KeyCodec K, ValueCodec V>
  Result<Table<K, V>, TableError> open_table(
      std::string_view name, std::source_location location = std::source_location::current()) {
    TRY_ASSIGN(std::shared_ptr<detail::TableCore> core,
               detail::open_write_table(state_, name, detail::TableTypes::of<K, V>(), location));
    return Table<K, V>(std::move(core));
  }

  // Lowering to kNonDurable after persistent-savepoint changes is refused.
  Result<void, SetDurabilityError> set_durability(Durability durability);
  Durability durability() const;

  void poison();
  bool is_poisoned() const;

  // Makes the transaction's changes the next commit: durable (synced) or,
  // after set_durability(kNonDurable), visible at once and durable with the
  // next durable commit. Every table handle must be gone. A poisoned
  // transaction is rolled back and refused ("Transaction was poisoned by a
  // panic"). A failed commit discards the database's allocator state: no
  // write transaction starts until the database is reopened.
  Result<void, CommitError> commit() &&;

  // Discards every change and returns the pages this transaction allocated.
  // On a failed or closed page store nothing is rolled back: PreviousIo or
  // DatabaseClosed.
  Result<void, StorageError> abort() &&;

  uint64_t transaction_id() const;

 private:
  friend struct detail::WriteTransactionAccess;
  explicit WriteTransaction(std::shared_ptr<detail::WriteTransactionState> state)
      : state_(std::move(state)) {}

  std::shared_ptr<detail::WriteTransactionState> state_;
};

class ReadTransaction {
 public:
  explicit ReadTransaction(std::shared_ptr<const detail::ReadTransactionState> state)
      : state_(std::move(state)) {}

  // A missing table is TableError "Table '{name}' does not exist"; a stored
  // table of other types or kind is its TableError.
  template <KeyCodec K, ValueCodec V>
  Result<ReadOnlyTable<K, V>, TableError> open_table(std::string_view name) const {
    TRY_ASSIGN(std::shared_ptr<const detail::ReadTableCore> core,
               detail::open_read_table(*state_, name, detail::TableTypes::of<K, V>()));
    return ReadOnlyTable<K, V>(std::move(core));
  }

 private:
  std::shared_ptr<const detail::ReadTransactionState> state_;
};

}  // namespace storage
