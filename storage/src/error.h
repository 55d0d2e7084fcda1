// The engine's error vocabulary. Every fallible storage operation returns one of
// these values; display texts reach Python unchanged, so they are exact.
//
// Thread safety: plain values; they own their payloads and move between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace storage {

// A type's classification byte and name text, stored in table definitions.
struct TypeName {
  uint8_t classification = 0;
  std::string name;
  bool operator==(const TypeName&) const = default;
};

// An operating-system I/O error (errno), or an I/O failure with its own message.
struct IoError {
  int code = 0;  // errno; 0 when the error is not an OS error
  std::string message;

  static IoError from_errno(int code);
  static IoError other(std::string message);
  // The errno's description, " (os error N)"; or the message itself.
  std::string to_string() const;
  std::string debug() const;
  bool operator==(const IoError&) const = default;
};

// A place in the source, written file:line:column.
struct SourceLocation {
  std::string file;
  uint32_t line = 0;
  uint32_t column = 0;
  std::string to_string() const;
  bool operator==(const SourceLocation&) const = default;
};

class StorageError {
 public:
  enum class Kind {
    kCorrupted,
    kValueTooLarge,
    kUnorderedKey,
    kIo,
    kPreviousIo,
    kDatabaseClosed,
    kLockPoisoned,
  };

  static StorageError Corrupted(std::string text);
  static StorageError ValueTooLarge(uint64_t length);
  static StorageError UnorderedKey();
  static StorageError Io(IoError error);
  static StorageError IoErrno(int code) { return Io(IoError::from_errno(code)); }
  static StorageError PreviousIo();
  static StorageError DatabaseClosed();
  // Every poisoned-lock conversion carries this one location.
  static StorageError LockPoisoned();

  Kind kind() const { return kind_; }
  bool is(Kind k) const { return kind_ == k; }
  // Payloads: the corruption text, the too-large length, the I/O error, the
  // poisoned lock's location.
  const std::string& corrupted_text() const { return text_; }
  uint64_t length() const { return length_; }
  const IoError& io_error() const { return io_; }
  const SourceLocation& location() const { return location_; }

  std::string to_string() const;
  std::string debug() const;
  bool operator==(const StorageError&) const = default;

 private:
  explicit StorageError(Kind k) : kind_(k) {}
  Kind kind_;
  std::string text_;
  uint64_t length_ = 0;
  IoError io_;
  SourceLocation location_;
};

class TableError {
 public:
  enum class Kind {
    kWrongTableType,
    kUnexpectedMultimap,
    kExpectedMultimap,
    kStoredDefinitionMismatch,
    kNoSuchTable,
    kNameTaken,
    kOpenTwice,
    kStorageFailure,
  };

  static TableError WrongTableType(std::string table, TypeName key, TypeName value);
  static TableError UnexpectedMultimap(std::string table);
  static TableError ExpectedMultimap(std::string table);
  static TableError StoredDefinitionMismatch(TypeName type, std::optional<uint64_t> width,
                                             uint64_t alignment);
  static TableError NoSuchTable(std::string table);
  static TableError NameTaken(std::string table);
  static TableError OpenTwice(std::string table, SourceLocation location);
  TableError(StorageError e);  // NOLINT: StorageFailure

  Kind kind() const { return kind_; }
  const StorageError& storage_error() const { return *storage_; }
  std::string to_string() const;
  // StorageFailure yields its error; every other variant becomes Corrupted
  // with "<message>: <display>".
  StorageError into_storage_error_or_corrupted(const std::string& message) &&;

 private:
  explicit TableError(Kind k) : kind_(k) {}
  Kind kind_;
  std::string table_;
  TypeName type_a_, type_b_;
  std::optional<uint64_t> width_;
  uint64_t alignment_ = 0;
  SourceLocation location_;
  std::optional<StorageError> storage_;
};

class DatabaseError {
 public:
  enum class Kind { kLockHeld, kRepairCancelled, kNeedsUpgrade, kTransactionLive, kStorageFailure };
  static DatabaseError LockHeld() { return DatabaseError(Kind::kLockHeld); }
  static DatabaseError RepairCancelled() { return DatabaseError(Kind::kRepairCancelled); }
  static DatabaseError NeedsUpgrade(uint8_t file_version);
  static DatabaseError TransactionLive() { return DatabaseError(Kind::kTransactionLive); }
  DatabaseError(StorageError e);  // NOLINT: StorageFailure

  Kind kind() const { return kind_; }
  const StorageError& storage_error() const { return *storage_; }
  std::string to_string() const;

 private:
  explicit DatabaseError(Kind k) : kind_(k) {}
  Kind kind_;
  uint8_t version_ = 0;
  std::optional<StorageError> storage_;
};

class ReadTransaction;

class TransactionError {
 public:
  enum class Kind { kStorageFailure, kReadStillInUse };
  TransactionError(StorageError e);  // NOLINT: StorageFailure
  static TransactionError ReadStillInUse(std::shared_ptr<ReadTransaction> txn);

  Kind kind() const { return kind_; }
  const StorageError& storage_error() const { return *storage_; }
  const std::shared_ptr<ReadTransaction>& read_transaction() const { return txn_; }
  std::string to_string() const;
  // Only where ReadStillInUse cannot arise; receiving it is a broken invariant.
  StorageError into_storage_error() &&;

 private:
  explicit TransactionError(Kind k) : kind_(k) {}
  Kind kind_;
  std::optional<StorageError> storage_;
  std::shared_ptr<ReadTransaction> txn_;
};

class CommitError {
 public:
  enum class Kind { kStorageFailure, kPoisoned };
  CommitError(StorageError e);  // NOLINT: StorageFailure
  static CommitError Poisoned() { return CommitError(Kind::kPoisoned); }

  Kind kind() const { return kind_; }
  const StorageError& storage_error() const { return *storage_; }
  std::string to_string() const;

 private:
  explicit CommitError(Kind k) : kind_(k) {}
  Kind kind_;
  std::optional<StorageError> storage_;
};

// Lowering durability after a persistent savepoint was modified.
struct SetDurabilityError {
  std::string to_string() const {
    return "Persistent savepoint modified. Cannot reduce transaction durability";
  }
};

}  // namespace storage
