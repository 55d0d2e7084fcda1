// Removal ranges: a key range taken out of one tree of the open write
// transaction, entry by entry, each removed entry handed to the caller.
//
// RangeMut is double-ended over one shared tree side (CursorTree), so only one
// end holds a live cursor at a time; the other is parked at a resume bound, or,
// when it still had removals pending in its leaf, as a ParkedBatch holding the
// indexes and a snapshot of that leaf's bytes. Activating a batch whose leaf is
// unchanged continues the pending removals on it; a changed leaf gets them
// applied key by key. Only the front end removes entries.
//
// BtreeExtractIf walks a RangeMut front to back, asks a predicate about each
// entry and removes those it accepts (entries it refuses stay and are stepped
// over). Removed entries come back as guards over the unchanged old leaf page,
// which their shared bytes keep alive; a leaf whose entries were lent is never
// edited in place.
//
// Failures: an edit that fails after pages may have changed poisons the range
// and the write transaction (the tree may be half edited); every later call
// answers StorageError::PreviousIo. A failed seek changes nothing and is only
// returned. A range that failed never reports success: a later next() or
// close() answers StorageError::PreviousIo. Dropping an extraction closes it;
// when that close fails, the pending removals of entries the caller already
// took may be lost, so the write transaction is poisoned.
//
// Thread safety: a range belongs to its write transaction's thread; it takes
// only the freed-page list mutex (in CursorTree::drain_freed).
#pragma once

#include <functional>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/btree_cursor_mut.h"
#include "storage/src/tree_store/btree_iters.h"

namespace storage {

// An end parked while removals of its leaf were still pending.
struct ParkedBatch {
  EncodedBound resume;
  std::vector<size_t> removed_indexes;
  PageImpl leaf_bytes;  // a shared snapshot of the leaf
};

struct EndState {
  struct ParkedKey {
    EncodedBound resume;
  };
  struct Live {
    CursorState state;
  };
  std::variant<ParkedKey, ParkedBatch, Live> kind;
};

class RangeMut {
 public:
  // Front resumes at `start`, back at `end`; both parked. `owner`, when
  // given, is the tree handle the range edits for: a failed edit poisons it
  // (and with it the write transaction).
  RangeMut(CursorTree tree, EncodedBound start, EncodedBound end, UntypedBtreeMut* owner,
           bool poisoned = false);
  RangeMut(RangeMut&&) = default;

  // True when the front end sits on an entry inside the range.
  Result<bool, StorageError> settle();
  Result<std::optional<CursorEntry>, StorageError> peek_next();
  // Records the front entry as removed and returns (key, value).
  Result<std::optional<std::pair<ValueRef, ValueRef>>, StorageError> remove_next();
  // Steps the front past its entry, keeping it.
  Result<bool, StorageError> skip_next();
  Result<void, StorageError> park(RangeSide side);
  Result<CursorState, StorageError> seek_end(RangeSide side);
  Result<void, StorageError> activate(RangeSide side);
  // Applies an end's pending removals and parks it after the entries it
  // passed.
  Result<void, StorageError> flush_end(RangeSide side);

  bool poisoned() const { return poisoned_; }
  const EndState& end_state(RangeSide side) const { return side == RangeSide::kFront ? front_ : back_; }
  CursorTree& tree() { return tree_; }
  // Marks the range, its tree handle and its write transaction as failed.
  void poison();

 private:
  EndState& end(RangeSide side) { return side == RangeSide::kFront ? front_ : back_; }
  CursorState& live_state(RangeSide side);
  // Runs one cursor operation on a live end's state: a poisoned cursor
  // poisons the range, and freed pages are drained whatever happened.
  template <typename F>
  auto with_live(RangeSide side, F&& op) -> decltype(op(std::declval<btree_cursor::CursorMut&>()));
  Result<void, StorageError> apply_batch_by_key(const ParkedBatch& batch);
  // Parks a live end at its position's bound, or after the leaf it failed to
  // re-seek past, or else at `unpositioned`.
  Result<void, StorageError> park(RangeSide side, EncodedBound unpositioned);

  CursorTree tree_;
  EndState front_;
  EndState back_;
  UntypedBtreeMut* owner_;
  bool poisoned_ = false;
  std::optional<RangeSide> settled_;
};

enum class ExtractState : uint8_t { kOpen = 0, kClosed = 1, kFailed = 2 };

// Walks a removal range front to back, removing the entries the predicate
// accepts; the untyped core of BtreeExtractIf.
class UntypedExtractIf {
 public:
  using Predicate = std::function<bool(ByteView key, ByteView value)>;

  UntypedExtractIf(RangeMut range, Predicate predicate)
      : range_(std::move(range)), predicate_(std::move(predicate)) {}
  UntypedExtractIf(UntypedExtractIf&& other) noexcept;
  UntypedExtractIf& operator=(UntypedExtractIf&&) = delete;
  // Closes; a failed close poisons the write transaction.
  ~UntypedExtractIf();

  // None once the range is done.
  std::optional<Result<std::pair<ValueRef, ValueRef>, StorageError>> next();
  Result<void, StorageError> close();

  ExtractState state() const { return state_; }
  bool failed() const { return failed_; }
  RangeMut& range() { return range_; }

 private:
  // Flushes front then back; the first error, or none. Sets failed_ on any
  // error and on a poisoned range.
  std::optional<StorageError> flush_both();

  RangeMut range_;
  Predicate predicate_;
  bool predicate_running_ = false;
  bool failed_ = false;
  ExtractState state_ = ExtractState::kOpen;
  bool moved_from_ = false;
};

// The typed extraction: the predicate sees decoded keys and values, and
// removed entries come back as guards.
template <KeyCodec K, ValueCodec V>
class BtreeExtractIf {
 public:
  using Predicate = std::function<bool(const typename K::Decoded&, const typename V::Decoded&)>;
  using Item = std::pair<ValueGuard<K>, ValueGuard<V>>;

  BtreeExtractIf(RangeMut range, Predicate predicate)
      : core_(std::move(range), [p = std::move(predicate)](ByteView k, ByteView v) {
          return p(K::from_bytes(k), V::from_bytes(v));
        }) {}

  std::optional<Result<Item, StorageError>> next() {
    auto item = core_.next();
    if (!item) return std::nullopt;
    if (!item->ok()) return Result<Item, StorageError>(std::move(*item).take_err());
    auto [key, value] = std::move(*item).value();
    return Result<Item, StorageError>(
        Item(std::move(key).template into_guard<K>(), std::move(value).template into_guard<V>()));
  }
  Result<void, StorageError> close() { return core_.close(); }

  ExtractState state() const { return core_.state(); }
  UntypedExtractIf& untyped() { return core_; }

 private:
  UntypedExtractIf core_;
};

// The table-level handle: closes the extraction when dropped.
template <KeyCodec K, ValueCodec V>
class ExtractIf {
 public:
  explicit ExtractIf(BtreeExtractIf<K, V> inner) : inner_(std::move(inner)) {}
  auto next() { return inner_.next(); }
  Result<void, StorageError> close() { return inner_.close(); }

 private:
  BtreeExtractIf<K, V> inner_;
};

// The removal range of every entry below the exclusive end key of a tree, over
// the tree's own root, allocator, tracker and shared freed list. Reads no page.
// A poisoned tree gives a poisoned range.
RangeMut removal_range_below(UntypedBtreeMut& tree, ByteView end_key);

template <KeyCodec K, ValueCodec V>
template <typename P>
BtreeExtractIf<K, V> BtreeMut<K, V>::extract_from_if(const Key& end, P predicate) {
  auto key = K::as_bytes(end);
  return BtreeExtractIf<K, V>(removal_range_below(core_, ByteView(key)),
                              typename BtreeExtractIf<K, V>::Predicate(std::move(predicate)));
}

}  // namespace storage
