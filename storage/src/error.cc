#include "storage/src/error.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "storage/src/panic.h"

namespace storage {

namespace {

// A text in double quotes with quotes, backslashes and control characters escaped,
// as debug forms show texts.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

}  // namespace

IoError IoError::from_errno(int code) { return IoError{code, ""}; }
IoError IoError::other(std::string message) { return IoError{0, std::move(message)}; }

std::string IoError::to_string() const {
  if (code == 0) return message;
  char buf[256];
  // GNU strerror_r returns the text, which may not be in buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

std::string IoError::debug() const {
  if (code == 0) return "Custom { message: " + quoted(message) + " }";
  char buf[256];
  return "Os { code: " + std::to_string(code) + ", message: " +
         quoted(strerror_r(code, buf, sizeof buf)) + " }";
}

std::string SourceLocation::to_string() const {
  return file + ":" + std::to_string(line) + ":" + std::to_string(column);
}

StorageError StorageError::Corrupted(std::string text) {
  StorageError e(Kind::kCorrupted);
  e.text_ = std::move(text);
  return e;
}
StorageError StorageError::ValueTooLarge(uint64_t length) {
  StorageError e(Kind::kValueTooLarge);
  e.length_ = length;
  return e;
}
StorageError StorageError::UnorderedKey() { return StorageError(Kind::kUnorderedKey); }
StorageError StorageError::Io(IoError error) {
  StorageError e(Kind::kIo);
  e.io_ = std::move(error);
  return e;
}
StorageError StorageError::PreviousIo() { return StorageError(Kind::kPreviousIo); }
StorageError StorageError::DatabaseClosed() { return StorageError(Kind::kDatabaseClosed); }
StorageError StorageError::LockPoisoned() {
  StorageError e(Kind::kLockPoisoned);
  e.location_ = SourceLocation{"storage/src/error.cc", static_cast<uint32_t>(__LINE__), 1};
  return e;
}

std::string StorageError::to_string() const {
  switch (kind_) {
    case Kind::kCorrupted:
      return "DB corrupted: " + text_;
    case Kind::kValueTooLarge:
      return "The value (length=" + std::to_string(length_) +
             ") being inserted exceeds the maximum of 3GiB";
    case Kind::kUnorderedKey:
      return "The key does not sort strictly between the entries adjacent to the cursor";
    case Kind::kIo:
      return "I/O error: " + io_.to_string();
    case Kind::kPreviousIo:
      return "Previous I/O error occurred. Please close and re-open the database.";
    case Kind::kDatabaseClosed:
      return "Database has been closed";
    case Kind::kLockPoisoned:
      return "Poisoned internal lock: " + location_.to_string();
  }
  panic("invalid StorageError kind");
}

std::string StorageError::debug() const {
  switch (kind_) {
    case Kind::kCorrupted:
      return "Corrupted(" + quoted(text_) + ")";
    case Kind::kValueTooLarge:
      return "ValueTooLarge(" + std::to_string(length_) + ")";
    case Kind::kUnorderedKey:
      return "UnorderedKey";
    case Kind::kIo:
      return "Io(" + io_.debug() + ")";
    case Kind::kPreviousIo:
      return "PreviousIo";
    case Kind::kDatabaseClosed:
      return "DatabaseClosed";
    case Kind::kLockPoisoned:
      return "LockPoisoned(Location { file: \"" + location_.file +
             "\", line: " + std::to_string(location_.line) +
             ", col: " + std::to_string(location_.column) + " })";
  }
  panic("invalid StorageError kind");
}

TableError TableError::WrongTableType(std::string table, TypeName key, TypeName value) {
  TableError e(Kind::kWrongTableType);
  e.table_ = std::move(table);
  e.type_a_ = std::move(key);
  e.type_b_ = std::move(value);
  return e;
}
TableError TableError::UnexpectedMultimap(std::string table) {
  TableError e(Kind::kUnexpectedMultimap);
  e.table_ = std::move(table);
  return e;
}
TableError TableError::ExpectedMultimap(std::string table) {
  TableError e(Kind::kExpectedMultimap);
  e.table_ = std::move(table);
  return e;
}
TableError TableError::StoredDefinitionMismatch(TypeName type, std::optional<uint64_t> width,
                                                uint64_t alignment) {
  TableError e(Kind::kStoredDefinitionMismatch);
  e.type_a_ = std::move(type);
  e.width_ = width;
  e.alignment_ = alignment;
  return e;
}
TableError TableError::NoSuchTable(std::string table) {
  TableError e(Kind::kNoSuchTable);
  e.table_ = std::move(table);
  return e;
}
TableError TableError::NameTaken(std::string table) {
  TableError e(Kind::kNameTaken);
  e.table_ = std::move(table);
  return e;
}
TableError TableError::OpenTwice(std::string table, SourceLocation location) {
  TableError e(Kind::kOpenTwice);
  e.table_ = std::move(table);
  e.location_ = std::move(location);
  return e;
}
TableError::TableError(StorageError e) : kind_(Kind::kStorageFailure), storage_(std::move(e)) {}

std::string TableError::to_string() const {
  switch (kind_) {
    case Kind::kWrongTableType:
      return table_ + " is of type Table<" + type_a_.name + ", " + type_b_.name + ">";
    case Kind::kUnexpectedMultimap:
      return table_ + " is a multimap table";
    case Kind::kExpectedMultimap:
      return table_ + " is not a multimap table";
    case Kind::kStoredDefinitionMismatch:
      return "Current definition of " + type_a_.name +
             " does not match stored definition (width=" +
             (width_ ? "Some(" + std::to_string(*width_) + ")" : std::string("None")) +
             ", alignment=" + std::to_string(alignment_) + ")";
    case Kind::kNoSuchTable:
      return "Table '" + table_ + "' does not exist";
    case Kind::kNameTaken:
      return "Table '" + table_ + "' already exists";
    case Kind::kOpenTwice:
      return "Table '" + table_ + "' already opened at: " + location_.to_string();
    case Kind::kStorageFailure:
      return storage_->to_string();
  }
  panic("invalid TableError kind");
}

StorageError TableError::into_storage_error_or_corrupted(const std::string& message) && {
  if (kind_ == Kind::kStorageFailure) return std::move(*storage_);
  return StorageError::Corrupted(message + ": " + to_string());
}

DatabaseError DatabaseError::NeedsUpgrade(uint8_t file_version) {
  DatabaseError e(Kind::kNeedsUpgrade);
  e.version_ = file_version;
  return e;
}
DatabaseError::DatabaseError(StorageError e)
    : kind_(Kind::kStorageFailure), storage_(std::move(e)) {}

std::string DatabaseError::to_string() const {
  switch (kind_) {
    case Kind::kLockHeld:
      return "Database already open. Cannot acquire lock.";
    case Kind::kRepairCancelled:
      return "Database repair aborted.";
    case Kind::kNeedsUpgrade:
      return "Manual upgrade required. Expected file format version 3, but file is version " +
             std::to_string(version_);
    case Kind::kTransactionLive:
      return "A transaction is still in progress. Operation cannot be performed.";
    case Kind::kStorageFailure:
      return storage_->to_string();
  }
  panic("invalid DatabaseError kind");
}

TransactionError::TransactionError(StorageError e)
    : kind_(Kind::kStorageFailure), storage_(std::move(e)) {}
TransactionError TransactionError::ReadStillInUse(std::shared_ptr<ReadTransaction> txn) {
  TransactionError e(Kind::kReadStillInUse);
  e.txn_ = std::move(txn);
  return e;
}
std::string TransactionError::to_string() const {
  if (kind_ == Kind::kReadStillInUse) return "Transaction still in use";
  return storage_->to_string();
}
StorageError TransactionError::into_storage_error() && {
  if (kind_ != Kind::kStorageFailure) panic("internal error: entered unreachable code");
  return std::move(*storage_);
}

CommitError::CommitError(StorageError e) : kind_(Kind::kStorageFailure), storage_(std::move(e)) {}
std::string CommitError::to_string() const {
  if (kind_ == Kind::kPoisoned) return "Transaction was poisoned by a panic";
  return storage_->to_string();
}

}  // namespace storage
