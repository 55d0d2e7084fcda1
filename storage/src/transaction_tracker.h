// The record of one database's live transactions, and the registration of one
// transaction with it.
//
// Design: TransactionTracker admits one write transaction at a time (a second
// writer waits), hands out increasing transaction ids, and counts how many
// holders pin each committed snapshot: read transactions, savepoints, and
// non-durable commits that keep their durable ancestor pinned until a durable
// commit covers them. The commit and the freed-page processing ask it for the
// oldest pinned snapshot, so that no page that snapshot reaches is reused. It
// also keeps the valid (and persistent) savepoints, and the database's close:
// once a close has started, no writer is admitted any more (callers queued
// for the slot wake to DatabaseClosed), and the close runs in the writer slot
// itself, so nothing can commit between the close commit and the page
// store's close. A close that finds a writer live is either refused (an
// explicit close) or parked until that writer ends (a dropped database), and
// the writer then hands its slot straight to the close. Nothing of it is
// stored: it is rebuilt from the file at every open.
//
// TransactionGuard is that registration, shared (TransactionGuardRef) by the
// transaction and every table, directory and tree it opens: the last holder's
// release ends it. A write guard's release ends the writer and, if a close was
// deferred to it, closes the database in the slot it hands over. Guards and
// Savepoints never throw from their destructors.
//
// Lock order: the tracker's lock before the page store's state lock (the only
// call out of the tracker under its lock reads the last committed id).
//
// Thread safety: TransactionTracker is safe to share between threads;
// start_write_transaction is its only blocking operation, and a caller waiting
// there holds its own reference to the tracker (the database handle it came
// from may be destroyed meanwhile; the close wakes it). A TransactionGuard is
// immutable after creation; its release may run on any thread. A Savepoint
// belongs to one thread at a time.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/sync.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/types.h"

namespace storage {

class TransactionalMemory;
class TransactionTracker;
class TransactionGuard;
using TransactionGuardRef = std::shared_ptr<TransactionGuard>;

// The number of a persistent savepoint.
struct SavepointId {
  uint64_t id = 0;
  constexpr SavepointId() = default;
  constexpr explicit SavepointId(uint64_t id) : id(id) {}
  SavepointId next() const { return SavepointId(id + 1); }
  std::string debug() const { return "SavepointId(" + std::to_string(id) + ")"; }
  auto operator<=>(const SavepointId&) const = default;

  // "storage::SavepointId"
  static TypeName type_name() { return TypeName{0, "storage::SavepointId"}; }
};

// A SavepointId as a key or value: 8 bytes, little-endian, ordered by value.
struct SavepointIdCodec {
  using Decoded = SavepointId;
  static constexpr std::optional<size_t> fixed_width() { return 8; }
  // Other than 8 bytes is a broken invariant (the codec wrote every stored id).
  static SavepointId from_bytes(ByteView bytes) { return SavepointId(U64Codec::from_bytes(bytes)); }
  static std::array<uint8_t, 8> as_bytes(const SavepointId& value) {
    return U64Codec::as_bytes(value.id);
  }
  static TypeName type_name() { return SavepointId::type_name(); }
  static std::strong_ordering compare(ByteView a, ByteView b) {
    return U64Codec::compare(a, b);
  }
};

// A savepoint in memory: the data root of one commit. One made from a stored
// record is not temporary; dropping a temporary one releases its registration
// with the tracker. Moving hands the release over; a moved-from Savepoint
// releases nothing.
class Savepoint {
 public:
  static constexpr uint8_t kVersion = 3;

  Savepoint(uint8_t version, SavepointId id, TransactionId transaction_id,
            std::optional<BtreeHeader> data_root,
            std::shared_ptr<TransactionTracker> transaction_tracker, bool temporary)
      : version_(version), id_(id), transaction_id_(transaction_id), data_root_(data_root),
        transaction_tracker_(std::move(transaction_tracker)), temporary_(temporary) {}
  Savepoint(Savepoint&& other) noexcept
      : version_(other.version_), id_(other.id_), transaction_id_(other.transaction_id_),
        data_root_(other.data_root_),
        transaction_tracker_(std::move(other.transaction_tracker_)),
        temporary_(std::exchange(other.temporary_, false)) {}
  Savepoint& operator=(Savepoint&& other) noexcept;
  Savepoint(const Savepoint&) = delete;
  Savepoint& operator=(const Savepoint&) = delete;
  ~Savepoint() { release(); }

  uint8_t version() const { return version_; }
  SavepointId id() const { return id_; }
  TransactionId transaction_id() const { return transaction_id_; }
  const std::optional<BtreeHeader>& data_root() const { return data_root_; }
  const std::shared_ptr<TransactionTracker>& transaction_tracker() const {
    return transaction_tracker_;
  }
  bool temporary() const { return temporary_; }

 private:
  // Never throws: a failure to release (a poisoned tracker) is dropped.
  void release() noexcept;

  uint8_t version_;
  SavepointId id_;
  TransactionId transaction_id_;
  std::optional<BtreeHeader> data_root_;
  std::shared_ptr<TransactionTracker> transaction_tracker_;
  bool temporary_;
};

class TransactionTracker {
 public:
  // The database's close commit (saves the allocator state and gives free pages
  // at the end of the file back), run by run_close before the page store's own
  // close, in the writer slot the close holds (`slot`, a write guard). Its
  // errors are the caller's to discard. It must not keep the tracker alive.
  using CloseCommit = std::function<void(const std::shared_ptr<TransactionTracker>&,
                                         const std::shared_ptr<TransactionalMemory>&,
                                         const TransactionGuardRef& slot)>;

  // A close a writer's end hands on: the page store whose close was deferred
  // to that writer, and the writer slot the close now holds (absent when the
  // tracker's lock was poisoned).
  struct DeferredClose {
    std::shared_ptr<TransactionalMemory> mem;
    std::optional<TransactionId> slot;
    explicit operator bool() const { return mem != nullptr; }
  };

  // The next write transaction takes `last_issued_transaction_id` + 1. Without a
  // close commit, run_close only closes the page store.
  explicit TransactionTracker(TransactionId last_issued_transaction_id,
                              CloseCommit close_commit = nullptr);
  static std::shared_ptr<TransactionTracker> create(TransactionId last_issued_transaction_id,
                                                    CloseCommit close_commit = nullptr) {
    return std::make_shared<TransactionTracker>(last_issued_transaction_id,
                                                std::move(close_commit));
  }
  TransactionTracker(const TransactionTracker&) = delete;
  TransactionTracker& operator=(const TransactionTracker&) = delete;

  // Every operation below locks the tracker for its whole body; a poisoned lock
  // panics, except in register_read_transaction.

  // ---- Writers ------------------------------------------------------------------

  // Waits (without bound) while a write transaction is live, then issues the
  // next id and makes it the live writer. Once a close has started, no writer
  // is admitted: DatabaseClosed, at once or on waking. A thread holding the
  // live writer must end it first, or it waits for itself.
  Result<TransactionId, StorageError> start_write_transaction();
  // Ends the live writer, which must be `id`. Without a deferred close, frees
  // the slot and wakes one waiting writer; with one, hands the slot straight
  // to that close (under a new id) and returns it, for the caller to carry out
  // with run_close once the lock is released.
  DeferredClose end_write_transaction(TransactionId id);
  // Starts an explicit close. While a write transaction is live, nothing
  // changes and the result is empty. Otherwise, in the same step: no writer is
  // admitted from now on (queued callers wake to DatabaseClosed), and the close
  // becomes the live writer; its id is returned, for the close commit.
  std::optional<TransactionId> start_close();
  // Starts the close of a dropped database: admits no writer from now on, as
  // start_close does. When no writer is live, the close takes the slot as there
  // (its id returned); while one is live, the page store's close is parked
  // until that writer ends, which hands its slot to it (empty result).
  std::optional<TransactionId> start_close_or_defer(std::shared_ptr<TransactionalMemory> mem);
  // Carries a close out in the writer slot `slot` (ended when done; absent on
  // a poisoned tracker): the close commit (skipped while unwinding, without a
  // slot, or when the tracker has none), then the page store's close; errors
  // and panics discarded.
  static void run_close(const std::shared_ptr<TransactionTracker>& tracker,
                        std::shared_ptr<TransactionalMemory> mem,
                        std::optional<TransactionId> slot) noexcept;
  // Whether a write transaction is live now (it may end at any moment).
  bool write_transaction_live();
  // How many callers wait in start_write_transaction now (for tests: a caller
  // counted here is parked in the tracker).
  size_t queued_writers();
  // Lets the live writer `writer` take `id` too, which must be the next id.
  void reserve_transaction_id(TransactionId id, TransactionId writer);

  // ---- Snapshot pins --------------------------------------------------------------

  // Pins the newest commit of the page store for a reader and returns its id.
  // A poisoned tracker lock is LockPoisoned; the page store's error is returned.
  Result<TransactionId, StorageError> register_read_transaction(TransactionalMemory& mem);
  // Releases one pin of `id`, which must be pinned.
  void deallocate_read_transaction(TransactionId id);
  // Records a non-durable commit `id` that pins `durable_ancestor` until the
  // next durable commit; `freed_pages_unprocessed` when it left pages in the
  // freed-page tables.
  void register_non_durable_commit(TransactionId id, TransactionId durable_ancestor,
                                   bool freed_pages_unprocessed);
  // A durable commit reached the disk: every pending non-durable commit is
  // covered, and their ancestors' pins go.
  void clear_pending_non_durable_commits();
  bool is_unprocessed_non_durable_commit(TransactionId id);
  // Ids not in the unprocessed set are ignored.
  void mark_non_durable_freed_pages_processed(TransactionId id);
  void mark_non_durable_freed_pages_processed(std::span<const TransactionId> ids);
  std::optional<TransactionId> oldest_unprocessed_non_durable_commit();
  // The oldest pinned snapshot.
  std::optional<TransactionId> oldest_live_read_transaction();
  // The oldest pinned snapshot that is itself a pending non-durable commit.
  std::optional<TransactionId> oldest_live_read_nondurable_transaction();

  // ---- Savepoints -----------------------------------------------------------------

  // Sets the savepoint counter at open, before any savepoint is registered.
  void restore_savepoint_counter_state(SavepointId next_savepoint);
  // Makes a stored savepoint valid and persistent, pinning its snapshot.
  void register_persistent_savepoint(const Savepoint& savepoint);
  // Forgets the savepoint and releases its pin (after unlocking).
  void deallocate_savepoint(SavepointId savepoint, TransactionId transaction);
  // Forgets the savepoints; their pins are not touched.
  void invalidate_savepoints(std::set<SavepointId> savepoints);
  bool any_savepoint_exists();
  // The valid savepoint of smallest id that is not excluded, with its snapshot.
  std::optional<std::pair<SavepointId, TransactionId>> oldest_savepoint_excluding(
      const std::set<SavepointId>& excluded);

 private:
  friend class TransactionGuard;

  struct State {
    TransactionId last_issued_transaction_id;
    std::optional<TransactionId> active_writer;
    size_t queued_writers = 0;
    // A close has started: no writer is admitted any more.
    bool closing = false;
    std::map<TransactionId, uint64_t> snapshot_pins;
    SavepointId savepoint_counter;
    std::map<SavepointId, TransactionId> valid_savepoints;
    std::set<SavepointId> persistent_savepoints;
    std::unordered_map<uint64_t, TransactionId> pending_non_durable_commits;
    std::set<TransactionId> unprocessed_non_durable_commits;
    std::shared_ptr<TransactionalMemory> deferred_close;
  };

  Mutex<State>::Guard lock();
  static void pin(State& state, TransactionId id);
  static void unpin(State& state, TransactionId id);
  // end_write_transaction for a release that must not fail: on a poisoned lock
  // it still frees the writer slot and wakes every waiter (who then find the
  // lock poisoned), so none of them hangs.
  DeferredClose end_write_transaction_in_release(TransactionId id) noexcept;
  // Under the lock: admits no writer any more, wakes the queued ones to refuse,
  // and makes the close the live writer.
  TransactionId claim_slot_for_close(State& state);

  Mutex<State> state_;
  Condvar writer_finished_;
  const CloseCommit close_commit_;
};

// The registration of one transaction with its tracker: a reader's pin, the
// live writer's slot, or nothing (the engine's own reads outside any
// transaction). Shared through TransactionGuardRef; the last release ends it.
class TransactionGuard {
 public:
  enum class Kind : uint8_t { kRead, kWrite, kUntracked };

  // Each takes over a registration already made: `id` from
  // register_read_transaction or start_write_transaction. If the guard cannot
  // be made, the registration is ended before the failure propagates.
  static TransactionGuardRef new_read(TransactionId id,
                                      std::shared_ptr<TransactionTracker> tracker);
  static TransactionGuardRef new_write(TransactionId id,
                                       std::shared_ptr<TransactionTracker> tracker);
  static TransactionGuardRef new_untracked();

  TransactionGuard(const TransactionGuard&) = delete;
  TransactionGuard& operator=(const TransactionGuard&) = delete;
  // Ends the registration; never throws. A write guard then carries out a
  // deferred close in the slot it hands over (run_close).
  ~TransactionGuard();

  Kind kind() const { return kind_; }
  // The snapshot read or the writer's own id; an untracked guard panics.
  TransactionId id() const;

 private:
  TransactionGuard(Kind kind, TransactionId id, std::shared_ptr<TransactionTracker> tracker)
      : kind_(kind), id_(id), tracker_(std::move(tracker)) {}
  static TransactionGuardRef make(Kind kind, TransactionId id,
                                  std::shared_ptr<TransactionTracker> tracker);
  // Ends the registration without throwing.
  static void end(Kind kind, TransactionId id,
                  const std::shared_ptr<TransactionTracker>& tracker) noexcept;

  Kind kind_;
  TransactionId id_;
  std::shared_ptr<TransactionTracker> tracker_;
};

}  // namespace storage
