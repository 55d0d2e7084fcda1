// BtreeCursorRange: the engine's one way of iterating a key range of a tree,
// from either end. The front end walks the range in ascending key order, the
// back end in descending order, and the two stop when they meet. Each end is a
// read Cursor made on the end's first use, so construction reads no page and a
// scan that uses one end never reads the other end's path.
//
// While both ends are open, the entries not yet yielded are exactly those
// between the front cursor's gap and the back cursor's gap. Every ending (the
// ends meeting, the end of the tree, a key beyond the opposite bound) closes
// the range: from then on both ends yield nothing.
//
// Errors: a failed page read (or damage found on the way, as StorageError::
// Corrupted) is returned and the range stays usable: a failed first seek
// leaves the end unopened and the next call seeks again; a failed step leaves
// the end's cursor where it was (the cursor's own guarantee), so the next call
// repeats the step and no entry is skipped or yielded twice.
//
// Thread safety: a range belongs to one thread and takes no lock. Entries hold
// their leaf page's shared bytes and may move between threads. A range over a
// write transaction's dirty pages (kMayBeDirty, BtreeMut::range) must be
// dropped before the tree is edited again.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/btree_cursor.h"
#include "storage/src/tree_store/btree_iters.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/types.h"

namespace storage {

enum class RangeSide : uint8_t { kFront = 0, kBack = 1 };

class BtreeCursorRange {
 public:
  // The state of one end.
  enum class Slot : uint8_t {
    kUninitialized = 0,  // not used yet; no cursor exists
    kActive = 1,         // holds a positioned cursor
    kClosed = 2,         // finished; yields nothing more
  };

  // A range between two encoded bounds of a tree with `root` (none for an
  // empty tree). Reads no page. An empty tree or crossed bounds (start > end,
  // or start >= end when either bound is excluded) give a closed range.
  static BtreeCursorRange from_bounds(EncodedBound start, EncodedBound end,
                                      std::optional<PageNumber> root,
                                      const TreeDescriptor& descriptor,
                                      std::shared_ptr<const PageSource> mem, PageReadHint hint);
  static BtreeCursorRange from_bounds(EncodedBound start, EncodedBound end,
                                      std::optional<PageNumber> root,
                                      const TreeDescriptor& descriptor,
                                      std::shared_ptr<TransactionalMemory> mem,
                                      PageReadHint hint) {
    return from_bounds(std::move(start), std::move(end), root, descriptor,
                       page_source_of(std::move(mem)), hint);
  }
  template <KeyCodec K, ValueCodec V>
  static BtreeCursorRange from_bounds(EncodedBound start, EncodedBound end,
                                      std::optional<PageNumber> root,
                                      std::shared_ptr<const PageSource> mem, PageReadHint hint) {
    return from_bounds(std::move(start), std::move(end), root, tree_descriptor<K, V>(),
                       std::move(mem), hint);
  }
  // A range over typed keys, encoded with btree_iters::encode_bounds.
  template <KeyCodec K, ValueCodec V>
  static BtreeCursorRange create(const KeyRange<K>& range, std::optional<PageNumber> root,
                                 std::shared_ptr<const PageSource> mem, PageReadHint hint) {
    auto [start, end] = btree_iters::encode_bounds(range);
    return from_bounds(std::move(start), std::move(end), root, tree_descriptor<K, V>(),
                       std::move(mem), hint);
  }
  template <KeyCodec K, ValueCodec V>
  static BtreeCursorRange create(const KeyRange<K>& range, std::optional<PageNumber> root,
                                 std::shared_ptr<TransactionalMemory> mem, PageReadHint hint) {
    return create<K, V>(range, root, page_source_of(std::move(mem)), hint);
  }

  // The next entry from that end (ascending from the front, descending from
  // the back); none once the range has ended; an error as a present error.
  std::optional<Result<CursorEntry, StorageError>> next_from(RangeSide side);
  std::optional<Result<CursorEntry, StorageError>> next() { return next_from(RangeSide::kFront); }
  std::optional<Result<CursorEntry, StorageError>> next_back() {
    return next_from(RangeSide::kBack);
  }
  // The same step yielding only the entry's byte ranges in leaf_page(side),
  // valid until that end moves again; a scan shares the leaf once per leaf.
  std::optional<Result<EntryRanges, StorageError>> next_ranges_from(RangeSide side);
  // next_ranges_from(kFront)'s step when it stays in the front cursor's leaf,
  // that leaf's bytes start at `leaf_bytes`, and nothing else can end the
  // range there (no back end in use, no end bound); none otherwise, with
  // nothing changed. Inline: the common step of a forward scan.
  std::optional<EntryRanges> next_front_in_leaf(const uint8_t* leaf_bytes) {
    if (slots_[0] != Slot::kActive || slots_[1] != Slot::kUninitialized ||
        end_.kind != BoundKind::kUnbounded) {
      return std::nullopt;
    }
    Cursor& front = *cursors_[0];
    if (!front.leaf() || front.leaf()->page.memory().data() != leaf_bytes) return std::nullopt;
    return front.next_ranges_in_leaf();
  }
  // The leaf the last entry of next_ranges_from(side) lies in.
  const PageImpl& leaf_page(RangeSide side) const;
  // Whether the entry's key lies within the bound of the end opposite `side`.
  bool entry_within_open_bound(const CursorEntry& entry, RangeSide side) const {
    return key_within_open_bound(entry.key(), side);
  }
  bool key_within_open_bound(ByteView key, RangeSide side) const;
  // Ends the range at once: both ends yield nothing from now on.
  void close();

  Slot slot(RangeSide side) const { return slots_[index(side)]; }
  std::optional<PageNumber> root() const { return root_; }
  const EncodedBound& start_bound() const { return start_; }
  const EncodedBound& end_bound() const { return end_; }

 private:
  BtreeCursorRange(EncodedBound start, EncodedBound end, std::optional<PageNumber> root,
                   const TreeDescriptor& descriptor, std::shared_ptr<const PageSource> mem,
                   PageReadHint hint);
  static size_t index(RangeSide side) { return static_cast<size_t>(side); }
  SeekTarget seek_target(RangeSide side) const;
  Result<void, StorageError> open(RangeSide side);
  // Whether the two open ends have met (the front normalised first).
  Result<bool, StorageError> ends_met();

  EncodedBound start_;
  EncodedBound end_;
  std::array<Slot, 2> slots_{Slot::kUninitialized, Slot::kUninitialized};
  std::array<std::optional<Cursor>, 2> cursors_;
  std::optional<PageNumber> root_;
  TreeDescriptor descriptor_;
  std::shared_ptr<const PageSource> mem_;
  PageReadHint hint_;
};

}  // namespace storage
