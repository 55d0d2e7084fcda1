// The storage engine's front door: opening, creating and closing database
// files.
//
// Builder collects the options of one open; Builder::create opens (or creates)
// a file for writing and returns a Database, repairing the file first when it
// was not closed cleanly. ReadOnlyDatabase::open opens an existing, cleanly
// closed file for reading only; it never repairs and never writes.
//
// A Database admits one write transaction at a time (begin_write queues
// callers); it starts no read transactions: its exclusive file lock keeps
// read-only opens out, so readers and a writer never share a file. A
// ReadOnlyDatabase starts any number of read transactions at once.
//
// Closing: Database::close() commits an empty durable transaction that saves
// the allocator state and gives free pages at the end of the file back, then
// flushes, syncs, marks the file clean and releases the lock, and reports what
// failed. Destroying an open Database does the same with the errors
// discarded; when a write transaction is live on another thread at that
// moment, the destructor returns at once and the close runs when that
// transaction ends, before any other writer could start. Once a close has
// begun (by close() or destruction), no write transaction starts any more:
// begin_write answers "Database has been closed", and callers waiting in it
// wake to that answer. So when close() returns ok, every commit acknowledged
// before it, durable or not, is in the file, and the file opens read-only.
//
// Thread safety: Database and ReadOnlyDatabase are safe to use from several
// threads through shared references (begin_write, begin_read,
// file_identity); close() and destruction belong to the owner alone, and
// destruction must not race a call that is just starting. A caller already
// waiting in begin_write holds its own references: it survives the handle's
// destruction and wakes to "Database has been closed". Builder is a plain
// value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "storage/transaction.h"
#include "storage/src/error.h"
#include "storage/src/result.h"

namespace storage {

class StorageBackend;
class TransactionalMemory;
class TransactionTracker;

namespace detail {
struct DatabaseAccess;
}  // namespace detail

// The device and inode number of an opened database file (from fstat of the
// open descriptor); both zero for a database not over a regular file.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The argument of the repair callback: how far a writable open's repair has
// come (0.0 before it starts, 0.3 when the newest commit is damaged and the
// older one is tried, 0.6 when the allocator rebuild starts, 0.9 before the
// system tables are walked), and a flag the callback sets to stop the open
// with "Database repair aborted.".
class RepairSession {
 public:
  explicit RepairSession(double progress) : progress_(progress) {}
  double progress() const { return progress_; }
  bool aborted() const { return aborted_; }
  void abort() { aborted_ = true; }

 private:
  double progress_;
  bool aborted_ = false;
};

using RepairCallback = std::function<void(RepairSession&)>;

class Database;

// The options of one open. Page size 4096 and the page store's default region
// size are fixed.
class Builder {
 public:
  static constexpr size_t kDefaultCacheSize = size_t{1} << 30;
  static constexpr size_t kPageSize = 4096;

  Builder() = default;

  // One byte budget shared by the read cache and the write buffer.
  Builder& set_cache_size(size_t bytes) {
    cache_size_ = bytes;
    return *this;
  }
  // Called at every step of a writable open's repair; the default does nothing.
  Builder& set_repair_callback(RepairCallback callback) {
    repair_callback_ = std::move(callback);
    return *this;
  }
  // Region size of a newly created file (tests); absent, the page store's default.
  Builder& set_region_size(std::optional<uint64_t> bytes) {
    region_size_ = bytes;
    return *this;
  }

  size_t cache_size() const { return cache_size_; }

  // Opens `path` for reading and writing, creating it (mode 0666 before the
  // umask) when missing and never truncating it; locks it exclusively and
  // repairs it when it was not closed cleanly, or when its saved allocator
  // state would hand out a page still in use. A lock held elsewhere is
  // "Database already open. Cannot acquire lock."; an I/O failure is its
  // StorageError::Io.
  Result<Database, DatabaseError> create(const std::string& path) const;
  // The same over a backend the caller made (locked as it sees fit).
  Result<Database, DatabaseError> create_with_backend(
      std::unique_ptr<StorageBackend> backend) const;

 private:
  size_t cache_size_ = kDefaultCacheSize;
  std::optional<uint64_t> region_size_;
  RepairCallback repair_callback_;
};

class Database {
 public:
  // The default Builder.
  static Builder builder() { return Builder(); }

  Database(Database&& other) noexcept;
  Database& operator=(Database&&) = delete;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  // Closes the file as close() does, discarding its errors; defers the close
  // to a write transaction live at that moment. No writer starts after it
  // began. Never throws.
  ~Database();

  // Waits while another write transaction is live, then starts one. A page
  // store that failed is "Previous I/O error occurred. Please close and
  // re-open the database."; a database whose close has begun (or is done)
  // "Database has been closed", also for a caller that was waiting.
  Result<WriteTransaction, TransactionError> begin_write() const;

  // Closes the file now: the close commit (allocator state saved, free tail
  // given back), then flush, sync, clean mark and unlock, with no writer
  // admitted from the start of the close on. While a write transaction is
  // live: "A transaction is still in progress. Operation cannot be
  // performed." and nothing changes. Otherwise the database is closed
  // afterwards whatever happened, and the first failure (of the close commit,
  // else of the page store's close) is returned; the recovery flag then stays
  // set on disk, so the next writable open repairs the file.
  Result<void, DatabaseError> close();

  FileIdentity file_identity() const { return identity_; }

 private:
  friend class Builder;
  friend struct detail::DatabaseAccess;

  Database(std::shared_ptr<TransactionalMemory> mem, std::shared_ptr<TransactionTracker> tracker,
           FileIdentity identity);

  std::shared_ptr<TransactionalMemory> mem_;
  std::shared_ptr<TransactionTracker> tracker_;
  FileIdentity identity_;
  // Set once close() ran: the destructor has nothing left to do.
  bool closed_ = false;
};

class ReadOnlyDatabase {
 public:
  // Opens an existing file for reading only, under a shared lock ("Database
  // already open. Cannot acquire lock." while a writer holds the file). A
  // file that was not closed cleanly, or whose saved allocator state is
  // stale, is "Database repair aborted.". Nothing is written to the file.
  static Result<ReadOnlyDatabase, DatabaseError> open(const std::string& path);
  static Result<ReadOnlyDatabase, DatabaseError> open(const std::string& path,
                                                      size_t cache_size);
  // The same over a backend the caller made; it is wrapped so that nothing
  // can write through it.
  static Result<ReadOnlyDatabase, DatabaseError> open_backend(
      std::unique_ptr<StorageBackend> backend, size_t cache_size = Builder::kDefaultCacheSize);

  ReadOnlyDatabase(ReadOnlyDatabase&&) noexcept = default;
  ReadOnlyDatabase& operator=(ReadOnlyDatabase&&) = delete;
  ReadOnlyDatabase(const ReadOnlyDatabase&) = delete;
  ReadOnlyDatabase& operator=(const ReadOnlyDatabase&) = delete;
  // Releases the page store and the file (and its lock); writes nothing.
  ~ReadOnlyDatabase() = default;

  // A snapshot of the newest commit; any number of threads may start one at once.
  Result<ReadTransaction, TransactionError> begin_read() const;

  FileIdentity file_identity() const { return identity_; }

 private:
  friend struct detail::DatabaseAccess;

  ReadOnlyDatabase(std::shared_ptr<TransactionalMemory> mem,
                   std::shared_ptr<TransactionTracker> tracker, FileIdentity identity)
      : mem_(std::move(mem)), tracker_(std::move(tracker)), identity_(identity) {}

  std::shared_ptr<TransactionalMemory> mem_;
  std::shared_ptr<TransactionTracker> tracker_;
  FileIdentity identity_;
};

}  // namespace storage
