// The engine's side of transactions and table handles: the state a write
// transaction shares with its tables and cursors, the state of a read
// snapshot, and the untyped cores behind the typed handles of
// storage/transaction.h and storage/table.h.
//
// Design: a WriteTransaction handle, each Table and each CursorMut hold the
// transaction's WriteTransactionState by shared pointer, never a raw
// reference, so no handle can dangle. The state keeps the two table
// directories (data and system) and the savepoint changes, each behind its own
// mutex. A Table's core (the tree, its name) is shared with its cursor; the
// core's release (when the handle and any cursor are gone) stages the table's
// new root in the data directory and ends the name's registration, so a
// transaction with a table or cursor still alive sees the name as open.
//
// Lock order: system_tables before tables; nothing takes system_tables while
// holding tables. Under tables: the page store's locks, the data freed-page
// list, the page trackers and the tracker's lock; under savepoint_state only
// the tracker's lock.
//
// Ending: `completed` is set by commit and abort before anything else;
// `ended` once the abort steps (or a commit) ran, after which every table
// handle refuses use and its release stages nothing. Destructors never throw:
// a rollback that cannot be done invalidates the allocator state, so the next
// open repairs the file instead of saving leaked pages as used.
//
// Thread safety: the state is shared by the handles of one transaction, used
// by one thread at a time; `poisoned` and `completed` are atomics so a handle
// on another thread may read them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/sync.h"
#include "storage/src/transaction_tracker.h"
#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/btree_cursor_mut.h"
#include "storage/src/tree_store/btree_range.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/src/tree_store/table_tree.h"
#include "storage/table.h"
#include "storage/transaction.h"

namespace storage {

namespace detail {
class WriteTransactionState;
}  // namespace detail

// The data tables of a write transaction.
struct TableNamespace {
  // Names of the tables alive in this transaction, with where each was opened.
  std::unordered_map<std::string, SourceLocation> open_tables;
  TableTreeMut table_tree;
  PageTrackerRef allocated_pages;
  SharedFreedPages freed_pages;

  // Ends the name's registration without staging a root; the name must be open.
  void close_table_without_update(std::string_view name);
  // With no savepoint alive, stops recording the data tables' allocated pages.
  void set_dirty(detail::WriteTransactionState& txn);
};

// The engine's own tables of a write transaction, opened by the commit.
struct SystemNamespace {
  TableTreeMut table_tree;
  SharedFreedPages freed_pages;
  TransactionGuardRef transaction_guard;

  const SharedFreedPages& system_freed_pages() const { return freed_pages; }
};

// The persistent-savepoint changes of one write transaction.
struct SavepointTransactionState {
  std::set<std::pair<SavepointId, TransactionId>> created_savepoints;
  std::vector<std::pair<SavepointId, TransactionId>> deleted_savepoints;
  std::set<SavepointId> invalidated_savepoints;

  std::set<SavepointId> pending_deleted_ids() const;
};

namespace detail {

class WriteTransactionState {
 public:
  WriteTransactionState(TransactionGuardRef guard, std::shared_ptr<TransactionTracker> tracker,
                        std::shared_ptr<TransactionalMemory> mem, AllocationPolicy policy);
  WriteTransactionState(const WriteTransactionState&) = delete;
  WriteTransactionState& operator=(const WriteTransactionState&) = delete;

  // Declared first, released last: the writer stays registered until every
  // directory and tree of the transaction is gone.
  TransactionGuardRef transaction_guard;
  std::shared_ptr<TransactionTracker> transaction_tracker;
  std::shared_ptr<TransactionalMemory> mem;
  TransactionId transaction_id;
  PageAllocator allocator;
  // Set by poison() and by any failed tree edit of the transaction.
  TransactionPoison poisoned;
  Mutex<TableNamespace> tables;
  Mutex<SystemNamespace> system_tables;
  Mutex<SavepointTransactionState> savepoint_state;

  TrimPolicy shrink_policy = TrimPolicy::kHalf;
  std::atomic<bool> completed{false};
  std::atomic<bool> ended{false};
  Durability durability = Durability::kDurable;
  bool two_phase_commit = false;
  bool quick_repair = false;
  bool skip_post_commit_freed_pages = false;

  bool is_poisoned() const { return poisoned->load(std::memory_order_acquire); }
  void poison() { poisoned->store(true, std::memory_order_release); }

  // Locks `tables` and returns a copy of the transaction's page allocator.
  PageAllocator page_allocator();
  // Panics naming a table still open (a commit or abort would lose its root,
  // or its guard would keep the writer registered).
  void check_no_open_tables();
  // Discards the staged roots and the savepoint changes, then rolls back
  // every page of the transaction; on a failed or closed store only the
  // first two (PreviousIo or DatabaseClosed).
  Result<void, StorageError> abort_steps();
  // What dropping an unfinished transaction does. Never throws.
  void drop_unfinished() noexcept;
};

class ReadTransactionState {
 public:
  ReadTransactionState(TableTree tree, std::shared_ptr<TransactionalMemory> mem,
                       TransactionGuardRef guard)
      : tree(std::move(tree)), mem(std::move(mem)), guard(std::move(guard)) {}
  TableTree tree;
  std::shared_ptr<TransactionalMemory> mem;
  TransactionGuardRef guard;
};

class ReadTableCore {
 public:
  ReadTableCore(RawBtree tree, std::string name, TransactionGuardRef guard)
      : tree(std::move(tree)), name(std::move(name)), guard(std::move(guard)) {}
  RawBtree tree;
  std::string name;
  TransactionGuardRef guard;
};

// One leaf page shared by the entries a range yields from it, without a
// shared count change per entry: the share counts references on the page's
// block in batches and hands them out one at a time. Every reference it has
// not handed out goes when it moves to another leaf or is dropped, so entries
// may outlive the range and move between threads.
class LeafShare {
 public:
  LeafShare() = default;
  LeafShare(const LeafShare&) = delete;
  LeafShare& operator=(const LeafShare&) = delete;
  ~LeafShare() { reset(); }

  // The page shared now; null before the first leaf and after reset().
  const PageImpl* page() const { return block_ != nullptr ? &block_->page : nullptr; }
  // Whether `page` is the page shared now (the same bytes, the same number).
  bool holds(const PageImpl& page) const {
    return block_ != nullptr && block_->page.memory().data() == page.memory().data() &&
           block_->page.get_page_number() == page.get_page_number();
  }
  // Shares `page` from now on.
  void share(const PageImpl& page);
  // One reference to the page shared now (which must exist).
  Keepalive hand_out() {
    if (spare_ == 0) [[unlikely]] {
      block_->acquire(kBatch);
      spare_ = kBatch;
    }
    --spare_;
    return Keepalive::adopt(block_);
  }
  // Drops the page (and the references not handed out).
  void reset() noexcept;

 private:
  static constexpr uint64_t kBatch = 64;
  struct Block final : KeepaliveBlock {
    Block(const PageImpl& page, uint64_t refs) : KeepaliveBlock(refs, &destroy), page(page) {}
    static void destroy(KeepaliveBlock* block) noexcept { delete static_cast<Block*>(block); }
    PageImpl page;
  };
  Block* block_ = nullptr;
  uint64_t spare_ = 0;  // references counted on block_ but not handed out
};

class RangeCore {
 public:
  RangeCore(BtreeCursorRange range, std::string name, TransactionGuardRef guard)
      : range(std::move(range)), name(std::move(name)), guard(std::move(guard)) {}
  BtreeCursorRange range;
  std::string name;
  TransactionGuardRef guard;
  // The leaf the last entry came from, shared by every entry of that leaf.
  LeafShare leaf;
};

class TableCore {
 public:
  TableCore(std::shared_ptr<WriteTransactionState> txn, std::string name,
            std::optional<BtreeHeader> root, const TreeDescriptor& descriptor,
            SharedFreedPages freed_pages, PageTrackerRef allocated_pages);
  TableCore(const TableCore&) = delete;
  TableCore& operator=(const TableCore&) = delete;
  // Stages the root (unless the transaction is poisoned or ended); never throws.
  ~TableCore();

  // Panics when the transaction ended or a cursor is open.
  void check_usable() const;

  std::shared_ptr<WriteTransactionState> txn;
  std::string name;
  UntypedBtreeMut tree;
  bool cursor_open = false;
};

class CursorCore {
 public:
  CursorCore(std::shared_ptr<TableCore> table, BtreeCursorMut inner)
      : table(std::move(table)), inner(std::move(inner)) {}
  CursorCore(const CursorCore&) = delete;
  CursorCore& operator=(const CursorCore&) = delete;
  // Closes an open cursor, the result discarded; never throws.
  ~CursorCore();

  Result<void, StorageError> finish();

  std::shared_ptr<TableCore> table;
  BtreeCursorMut inner;
  bool failed = false;
  bool closed = false;
};

// A stored key or value kept alive by its page (or owned bytes).
StoredBytes stored_bytes(ValueRef ref);
// The three limits of Table::insert, checked on lengths alone.
Result<void, StorageError> check_insert_limits(uint64_t key_len, uint64_t value_len);

// Builds the public handles around the states.
struct WriteTransactionAccess {
  static WriteTransaction make(std::shared_ptr<WriteTransactionState> state) {
    return WriteTransaction(std::move(state));
  }
  static const std::shared_ptr<WriteTransactionState>& state(const WriteTransaction& txn) {
    return txn.state_;
  }
  // Ends the handle's share of the state (the commit's last step).
  static void release(WriteTransaction& txn) { txn.state_.reset(); }
};

}  // namespace detail

// Starts a write transaction: refuses a failed or closed page store, waits
// for the tracker to admit it (refused once the database is closing), checks
// the store again and refuses one whose allocator state was discarded.
Result<WriteTransaction, TransactionError> begin_write_with_allocation_policy(
    const std::shared_ptr<TransactionTracker>& tracker,
    const std::shared_ptr<TransactionalMemory>& mem, AllocationPolicy policy);
// The same in a writer slot the caller already holds (`slot`, a write guard:
// the close's), without waiting; the checks of the store are as above.
Result<WriteTransaction, TransactionError> begin_write_in_slot(
    TransactionGuardRef slot, const std::shared_ptr<TransactionTracker>& tracker,
    const std::shared_ptr<TransactionalMemory>& mem, AllocationPolicy policy);

// Starts a read transaction on the newest commit.
Result<ReadTransaction, TransactionError> begin_read(
    const std::shared_ptr<TransactionTracker>& tracker,
    const std::shared_ptr<TransactionalMemory>& mem);

}  // namespace storage
