// The persistent-savepoint system tables: "persistent_savepoints" maps each
// savepoint's id to its 50-byte record, and "next_savepoint_id" holds the
// savepoint counter. Nothing in the engine creates savepoints; the readers
// here put stored ones back into the tracker when a database opens, and the
// commit applies a transaction's savepoint changes to the tracker.
//
// Untrusted bytes: a record of another length, another version or a root flag
// other than 0 or 1 is Corrupted, and so is a record whose transaction id lies
// above the last committed one: it would pin a snapshot that does not exist
// and lift the bound under which commits reuse pages past their own.
//
// Threads: the readers run on the write transaction's thread over its system
// directory, which the caller holds locked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/transaction_tracker.h"
#include "storage/src/tree_store/table_tree.h"
#include "storage/src/types.h"

namespace storage {

inline constexpr std::string_view kPersistentSavepoints = "persistent_savepoints";
inline constexpr std::string_view kNextSavepointId = "next_savepoint_id";

// The stored record of one savepoint.
struct SerializedSavepoint {
  static constexpr size_t kSize = 50;
  static constexpr size_t kVersionOffset = 0;
  static constexpr size_t kIdOffset = 1;
  static constexpr size_t kTransactionIdOffset = 9;
  static constexpr size_t kRootFlagOffset = 17;
  static constexpr size_t kRootPageOffset = 18;
  static constexpr size_t kRootChecksumOffset = 26;
  static constexpr size_t kRootLengthOffset = 42;
  static_assert(kRootLengthOffset + 8 == kSize);

  // The record as a value: variable width, "storage::SerializedSavepoint".
  using Decoded = ByteView;
  static constexpr std::optional<size_t> fixed_width() { return std::nullopt; }
  static ByteView from_bytes(ByteView bytes) { return bytes; }
  static ByteView as_bytes(const ByteView& value) { return value; }
  static TypeName type_name() { return TypeName{0, "storage::SerializedSavepoint"}; }

  static std::array<uint8_t, kSize> encode(const Savepoint& savepoint);
  // A savepoint that is not temporary, holding `tracker`; nothing is
  // registered. Corrupted "Corrupted savepoint record" for another length or
  // a root flag other than 0 or 1, "Unsupported savepoint version: {v}" for
  // another version.
  static Result<Savepoint, StorageError> to_savepoint(ByteView bytes,
                                                      std::shared_ptr<TransactionTracker> tracker);
};

static_assert(ValueCodec<SerializedSavepoint>);

// No record of that id.
struct InvalidSavepoint {};

class SavepointError {
 public:
  SavepointError(InvalidSavepoint) {}                                  // NOLINT
  SavepointError(StorageError error) : storage_(std::move(error)) {}  // NOLINT
  bool is_invalid_savepoint() const { return !storage_; }
  const StorageError& storage_error() const { return *storage_; }
  std::string to_string() const {
    return storage_ ? storage_->to_string() : "Savepoint is invalid or cannot be created.";
  }

 private:
  std::optional<StorageError> storage_;
};

// The stored savepoint ids, ascending.
Result<std::vector<SavepointId>, StorageError> list_persistent_savepoints(
    const TableTreeMut& system_directory);
// The stored savepoint of that id; a record whose transaction id is above
// `last_committed` is Corrupted.
Result<Savepoint, SavepointError> get_persistent_savepoint(
    const TableTreeMut& system_directory, SavepointId id,
    std::shared_ptr<TransactionTracker> tracker, TransactionId last_committed);
// The stored counter, if any.
Result<std::optional<SavepointId>, StorageError> next_persistent_savepoint_id(
    const TableTreeMut& system_directory);

}  // namespace storage
