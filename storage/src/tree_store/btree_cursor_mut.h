// The write cursor: sorted pairs put into a tree of the open write transaction
// in bulk, and the removal side that the removal ranges drive.
//
// Three layers. CursorTree is the tree side every operation of one cursor
// shares: a reference to the tree's root header, the transaction's page
// allocator, the page tracker and the freed lists. CursorState is one cursor's
// position and pending work (an insert run, or recorded removals and an open
// run of leaves). btree_cursor::CursorMut is the view one operation works
// through: the state moved in for the call, and the tree side borrowed.
// BtreeCursorMut owns a CursorTree and a CursorState and offers the public
// write operations, each in the same frame: a view over both, the operation,
// then the freed pages drained, whatever happened (a panic also poisons the
// cursor, since the tree may be half edited).
//
// Inserts go into a gap of the tree, in strictly ascending key order. They are
// buffered in an InsertRun together with the leaf's pairs before the gap, and
// once the run holds 1 MiB, or at finish, the run is packed into new leaves
// that replace the one old leaf in a single splice. A warm cursor allocates
// nothing per pair: the run's buffer and its last key are reused from run to
// run.
//
// Removals (recorded per leaf as entry indexes) cost nothing until the cursor
// leaves the leaf; then they are applied in one edit of that leaf, or the leaf
// joins a run of sibling leaves that are rebuilt together.
//
// Failures: a read failure while positioning or starting a run changes nothing
// and is returned. An edit that fails after pages may have changed (a splice,
// a leaf edit, a step with an open leaf run) poisons the cursor: every later
// operation answers StorageError::PreviousIo. A failed re-seek after a good
// splice leaves the cursor without a position; an insert without a position on
// a tree that has a root answers StorageError::PreviousIo (there is no leaf to
// splice into), while finish has nothing to write and succeeds. A failed
// re-seek after a leaf's removals were applied is repeated by the next scan
// step, which goes on after that leaf.
//
// Page bytes are untrusted: the descent and the page views report damage as
// StorageError::Corrupted.
//
// Thread safety: a cursor belongs to its write transaction's thread. The only
// lock it takes itself is the transaction's freed-page list mutex, in
// CursorTree::drain_freed; the allocator's locks are taken inside it, never the
// reverse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/btree_bulk.h"
#include "storage/src/tree_store/btree_cursor.h"
#include "storage/src/tree_store/btree_iters.h"
#include "storage/src/tree_store/btree_mutator.h"
#include "storage/src/tree_store/btree_range.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/types.h"

namespace storage {

// Bytes of key and value data at which an insert run is spliced.
inline constexpr size_t kInsertRunFlushBytes = 0x100000;

// The tree side shared by every operation of one cursor or removal range.
class CursorTree {
 public:
  CursorTree(std::optional<BtreeHeader>& root,
             std::shared_ptr<const WritablePageSource> page_allocator,
             PageTrackerRef allocated_pages, SharedFreedPages shared_freed,
             const TreeDescriptor& descriptor);

  // Hands this operation's freed pages on: those this transaction allocated
  // are released at once, the others are appended to the shared freed list.
  // Takes no lock when nothing was freed.
  void drain_freed();

  // One structural edit over this tree.
  MutateHelper helper() {
    return MutateHelper(*root, *page_allocator, freed, allocated_pages, descriptor);
  }
  Result<PageImpl, StorageError> fetch(PageNumber page) const {
    return page_allocator->get_page(page, PageReadHint::kMayBeDirty);
  }

  std::vector<PageNumber> freed;
  std::shared_ptr<const WritablePageSource> page_allocator;
  std::optional<BtreeHeader>* root;
  PageTrackerRef allocated_pages;
  SharedFreedPages shared_freed;
  TreeDescriptor descriptor;
};

struct CursorPosition {
  std::vector<Branch> path;  // root down to the leaf's parent
  LeafPosition leaf;

  struct Parts {
    std::vector<LeafPathStep> branches;
    PageImpl leaf;
    size_t entry = 0;
    size_t num_entries = 0;
  };
  // The path in the form the bulk edits take.
  Parts into_parts() &&;
};

// One buffered insert run.
class InsertRun {
 public:
  // The run's upper bound: every inserted key sorts strictly before it.
  std::optional<ByteView> next_key() const {
    return has_next_key_ ? std::optional<ByteView>(ByteView(next_key_)) : std::nullopt;
  }
  // The run's lower bound, then the last inserted key. While the run buffers
  // inserts, that key is the buffer's last pair: it is read there rather than
  // copied per insert.
  std::optional<ByteView> last_key() const {
    if (inserted > 0) return entries.key(entries.num_pairs() - 1);
    return has_last_key_ ? std::optional<ByteView>(ByteView(last_key_)) : std::nullopt;
  }
  void set_next_key(std::optional<ByteView> key) { assign(next_key_, has_next_key_, key); }
  // The bound before the gap, set while the run holds no insert.
  void set_last_key(std::optional<ByteView> key) { assign(last_key_, has_last_key_, key); }
  // Appends an in-order pair.
  void push(ByteView key, ByteView value) {
    entries.push_back(key, value);
    ++inserted;
  }
  // Empties the run for reuse, keeping every buffer's storage.
  void reset() {
    entries.clear();
    has_next_key_ = false;
    has_last_key_ = false;
    inserted = 0;
  }

  // The leaf's pairs before the gap, then the inserted pairs (and, when the
  // run is spliced, the leaf's pairs after the gap).
  OwnedEntryBuffer entries;
  uint64_t inserted = 0;

 private:
  static void assign(std::vector<uint8_t>& slot, bool& present, std::optional<ByteView> key) {
    present = key.has_value();
    if (present) slot.assign(key->begin(), key->end());
  }
  std::vector<uint8_t> next_key_;
  std::vector<uint8_t> last_key_;
  bool has_next_key_ = false;
  bool has_last_key_ = false;
};

// An open run of adjacent leaves under one parent whose removals are applied
// together: the parent's children [start, end) are replaced by leaves packed
// from `entries`.
struct LeafRunRewrite {
  OwnedEntryBuffer entries;
  size_t start = 0;
  size_t end = 0;
  uint64_t removed = 0;
  PageNumber parent;
  ScanDirection direction = ScanDirection::kForward;
};

// What closing a leaf did.
struct LeafClose {
  // No pending removals and no open run: step on.
  struct Untouched {};
  // The tree changed and the position is gone: seek after this key.
  struct Reseek {
    std::vector<uint8_t> key;
  };
  // The leaf joined the open run, which stays open: step on.
  struct Joined {};
  std::variant<Untouched, Reseek, Joined> kind;
};

struct CursorState {
  std::vector<size_t> removed_indexes;
  std::optional<CursorPosition> position;
  std::optional<LeafRunRewrite> leaf_run_rewrite;
  // On the heap, so that moving the state does not move the run's buffers.
  std::unique_ptr<InsertRun> insert_run;
  // A spliced run kept for the next one, so that a warm cursor reuses its
  // buffers; never holds pairs.
  std::unique_ptr<InsertRun> spare_run;
  // The key a re-seek after a closed leaf failed to go after, while the
  // cursor has no position: the next ensure_has_entry seeks again.
  std::optional<std::vector<uint8_t>> reseek_after;
  bool entries_lent = false;
  bool poisoned = false;
};

namespace btree_cursor {

// The view one operation works through: the cursor's state and the tree side,
// both borrowed for the one operation. (Borrowed rather than moved in and
// back: moving the state twice per insert costs as much as the insert.)
class CursorMut {
 public:
  CursorMut(CursorState& state, CursorTree& tree) : state(state), tree_(tree) {}

  Result<void, StorageError> seek_to(const SeekTarget& target);
  Result<bool, StorageError> step_to_adjacent_leaf(ScanDirection direction);
  Result<bool, StorageError> ensure_has_entry(ScanDirection direction);
  Result<void, StorageError> flush_insert_run(bool reseek);
  void poison();

  // Removal side.
  Result<LeafClose, StorageError> close_current_leaf(ScanDirection direction);
  Result<void, StorageError> splice_open_run();

  // Starts an insert run at the cursor's gap (reusing a spare run's buffers).
  Result<void, StorageError> start_insert_run();

  CursorTree& tree() { return tree_; }

  CursorState& state;

 private:
  // The key of entry `index` of the current leaf.
  Result<ByteView, StorageError> key_at(size_t index) const;
  void recycle(std::unique_ptr<InsertRun> run);

  CursorTree& tree_;
};

}  // namespace btree_cursor

// The write cursor over one tree with fixed-width keys (u64 → byte string by
// default; the descriptor's compare orders the keys).
class BtreeCursorMut {
 public:
  BtreeCursorMut(std::optional<BtreeHeader>& root,
                 std::shared_ptr<const WritablePageSource> page_allocator,
                 PageTrackerRef allocated_pages, SharedFreedPages shared_freed,
                 const TreeDescriptor& descriptor = tree_descriptor<U64Codec, BytesCodec>());

  // Places the cursor after every key <= k (included), < k (excluded), or after
  // the last entry (unbounded). Only on a cursor with no open run.
  Result<void, StorageError> seek_upper_bound(const EncodedBound& bound);
  // Puts the pair into the gap. False: the key does not sort strictly between
  // the gap's neighbours (the last inserted key included), and nothing changed.
  // The key has the tree's fixed key width (8 bytes for a u64).
  Result<bool, StorageError> insert_before(ByteView key, ByteView value);
  // Splices the open run, if any; the cursor is left without a position and
  // holds no page.
  Result<void, StorageError> finish();

  bool poisoned() const { return state_.poisoned; }
  const CursorState& state() const { return state_; }

 private:
  template <typename F>
  auto run(F&& op) -> decltype(op(std::declval<btree_cursor::CursorMut&>()));

  CursorTree tree_;
  CursorState state_;
};

}  // namespace storage
