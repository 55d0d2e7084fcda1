// The read cursor: walks one B-tree entry by entry, forwards or backwards,
// keeping the whole root-to-leaf path it came down, so that stepping to the
// next leaf climbs only as far as needed and never descends from the root
// again.
//
// Positions are gaps. A cursor points at the gap between two adjacent entries,
// written as a leaf and an index i (0 <= i <= the leaf's pair count): the gap
// just before the leaf's entry i. The gap after a leaf's last entry and the gap
// before the next leaf's first entry are one gap in two forms;
// Cursor::normalize_forward_gap turns the first into the second.
//
// The pieces below the Cursor class (SeekTarget, Branch, LeafPosition,
// descend_to_position, step_to_adjacent_leaf, prepare_leaf, key_data) are
// shared with the write transaction's cursors: they work on a TreeDescriptor
// and read pages through a PageFetch, so that a read cursor fetches through the
// page store with its hint and a write cursor through its transaction's page
// allocator.
//
// Untrusted bytes: every page met on the way down is checked before it is used.
// A type byte other than leaf or branch, child slots or offsets outside the
// page, a leaf with no pairs, a page already on the path ("Cycle detected in
// Btree pages"), a descent deeper than kMaxTreeDepth, leaves met out of key
// order when stepping across them and two cursors whose leaves lie at
// different depths are StorageError::Corrupted, never a panic or a read outside
// a page.
//
// Failed steps: every operation that moves a cursor builds the new path aside
// and swaps it in only when it succeeded, so a failed seek or step leaves the
// position exactly as it was and a retry repeats it.
//
// Thread safety: a Cursor belongs to one thread and takes no lock. The pages it
// holds are shared, reference-counted page buffers; entries it yields hold
// their leaf page and may move between threads. A cursor reading dirty pages
// of a write transaction (kMayBeDirty) must not outlive the next edit of its
// tree, which may rewrite those pages in place.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/btree_bulk.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/types.h"

namespace storage {

enum class ScanDirection : uint8_t { kForward = 0, kBackward = 1 };

// Where a descent stops. The key-bearing targets own their encoded key.
class SeekTarget {
 public:
  enum class Kind : uint8_t {
    kStart = 0,     // before the first entry of the subtree
    kEnd = 1,       // after the last entry of the subtree
    kKey = 2,       // before the first entry whose key is >= the key
    kAfterKey = 3,  // before the first entry whose key is > the key
  };

  static SeekTarget start() { return SeekTarget(Kind::kStart, {}); }
  static SeekTarget end() { return SeekTarget(Kind::kEnd, {}); }
  static SeekTarget key(ByteView key) { return SeekTarget(Kind::kKey, {key.begin(), key.end()}); }
  static SeekTarget after_key(ByteView key) {
    return SeekTarget(Kind::kAfterKey, {key.begin(), key.end()});
  }
  // The target that starts a fresh subtree in the direction: Start forwards,
  // End backwards.
  static SeekTarget from_direction(ScanDirection direction) {
    return direction == ScanDirection::kForward ? start() : end();
  }

  Kind kind() const { return kind_; }
  ByteView key_bytes() const { return ByteView(key_); }

 private:
  SeekTarget(Kind kind, std::vector<uint8_t> key) : kind_(kind), key_(std::move(key)) {}
  Kind kind_;
  std::vector<uint8_t> key_;
};

// One branch level of a path and the child the path continues into. Only a
// descent makes one, after checking the page as a branch, so the child slots
// it reads lie inside the page.
struct Branch {
  PageImpl page;
  size_t child = 0;

  // The branch's key count.
  size_t num_keys() const;
  // The neighbouring child in the direction, with its page number; none at
  // the branch's edge.
  std::optional<std::pair<size_t, PageNumber>> adjacent_child(ScanDirection direction) const;
};

// Where a descent ends: a leaf and a gap in it.
struct LeafPosition {
  PageImpl page;
  size_t entry = 0;        // the gap, 0 <= entry <= num_entries
  size_t num_entries = 0;  // the leaf's pair count, at least 1
  LeafAccessor accessor;   // the checked view of `page`'s bytes
};

// One entry a cursor yields: its leaf page (holding it keeps the bytes alive)
// and the absolute byte ranges of its key and value in the page. A view,
// never a copy.
struct CursorEntry {
  PageImpl page;
  EntryRanges ranges;

  ByteView key() const {
    return page.memory().subspan(ranges.key_start, ranges.key_end - ranges.key_start);
  }
  ByteView value() const {
    return page.memory().subspan(ranges.value_start, ranges.value_end - ranges.value_start);
  }
};

// Reads one page for a descent: a non-owning reference to any callable
// PageNumber -> Result<PageImpl, StorageError> that outlives the call it is
// passed to (a lambda written at the call site does).
class PageFetch {
 public:
  template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, PageFetch> &&
             std::is_invocable_r_v<Result<PageImpl, StorageError>, const F&, PageNumber>)
  PageFetch(const F& f)  // NOLINT: implicit, like a function reference
      : object_(&f), call_([](const void* object, PageNumber page) {
          return (*static_cast<const F*>(object))(page);
        }) {}

  Result<PageImpl, StorageError> operator()(PageNumber page) const {
    return call_(object_, page);
  }

 private:
  const void* object_;
  Result<PageImpl, StorageError> (*call_)(const void*, PageNumber);
};

// Descends from `page` to the gap `target` names, appending one Branch per
// branch level to `path`. The pages already on `path` count for the cycle and
// depth checks. On failure `path` is as it was.
Result<LeafPosition, StorageError> descend_to_position(PageImpl page, const SeekTarget& target,
                                                       std::vector<Branch>& path,
                                                       const TreeDescriptor& descriptor,
                                                       PageFetch fetch);

// Moves to the first (forwards) or last (backwards) gap of the neighbouring
// leaf in the direction: climbs to the deepest branch with a neighbouring
// child and descends from it. False, with nothing changed, when there is no
// such leaf (or no leaf at all). On failure the position is unchanged.
Result<bool, StorageError> step_to_adjacent_leaf(std::optional<LeafPosition>& leaf,
                                                 std::vector<Branch>& path,
                                                 ScanDirection direction,
                                                 const TreeDescriptor& descriptor,
                                                 PageFetch fetch);

// Makes sure an entry lies next to the gap in the direction, stepping across
// leaves as needed. True: it does; false: the gap is the tree's end (or start)
// or there is no leaf, and nothing changed. On failure the position is
// unchanged.
Result<bool, StorageError> prepare_leaf(std::optional<LeafPosition>& leaf,
                                        std::vector<Branch>& path, ScanDirection direction,
                                        const TreeDescriptor& descriptor, PageFetch fetch);

// An owned copy of the key of entry `index` of a leaf page; an index outside
// the leaf panics with "cursor entry must exist".
Result<std::vector<uint8_t>, StorageError> key_data(const PageImpl& leaf, size_t index,
                                                    const TreeDescriptor& descriptor);

// The path as the bulk edits take it (the branches with the child taken at
// each, and the leaf): shares the page buffers, copies nothing else.
LeafPath to_leaf_path(const std::vector<Branch>& path, const LeafPosition& leaf);

// The read cursor over one tree that has a root. Made unpositioned; seek_to
// positions it, after which it stays positioned.
class Cursor {
 public:
  Cursor(PageNumber root, const TreeDescriptor& descriptor, std::shared_ptr<const PageSource> mem,
         PageReadHint hint)
      : root_(root), descriptor_(descriptor), mem_(std::move(mem)), hint_(hint) {}
  Cursor(PageNumber root, const TreeDescriptor& descriptor,
         std::shared_ptr<TransactionalMemory> mem, PageReadHint hint)
      : Cursor(root, descriptor, page_source_of(std::move(mem)), hint) {}

  // Reads the root page and descends to the target.
  Result<void, StorageError> seek_to(const SeekTarget& target);
  // The entry after the gap, moving the gap past it; none at the tree's end.
  Result<std::optional<CursorEntry>, StorageError> next();
  // The entry before the gap, moving the gap before it; none at the start.
  Result<std::optional<CursorEntry>, StorageError> prev();
  // The same steps yielding only the entry's byte ranges in leaf()->page, so
  // that a scan shares the leaf once per leaf rather than once per entry.
  Result<std::optional<EntryRanges>, StorageError> next_ranges();
  Result<std::optional<EntryRanges>, StorageError> prev_ranges();
  // next_ranges' step when the entry lies in the current leaf and its offsets
  // are sound; none otherwise, with nothing changed (next_ranges then takes
  // the step or reports the damage). Inline: the common step of a scan.
  std::optional<EntryRanges> next_ranges_in_leaf() {
    if (!leaf_ || leaf_->entry >= leaf_->num_entries) return std::nullopt;
    EntryRanges r;
    if (!leaf_->accessor.try_entry_ranges(leaf_->entry, r)) return std::nullopt;
    ++leaf_->entry;
    return r;
  }
  Result<bool, StorageError> ensure_has_entry(ScanDirection direction);
  // At the gap after a leaf's last entry, moves to the same gap written at the
  // start of the next leaf; anywhere else (or at the tree's end) does nothing.
  Result<void, StorageError> normalize_forward_gap();
  // Orders this cursor's gap against the other's (a cursor of the same tree):
  // the same leaf compares entries, different leaves compare the child taken
  // at each level from the root down. A gap at a leaf's end compares less than
  // the same gap at the next leaf's start. Both must be positioned.
  Result<std::strong_ordering, StorageError> compare_position(const Cursor& other) const;

  bool positioned() const { return leaf_.has_value(); }
  const std::optional<LeafPosition>& leaf() const { return leaf_; }
  const std::vector<Branch>& path() const { return path_; }

 private:
  std::vector<Branch> path_;
  std::optional<LeafPosition> leaf_;
  PageNumber root_;
  TreeDescriptor descriptor_;
  std::shared_ptr<const PageSource> mem_;
  PageReadHint hint_;
};

}  // namespace storage
