// What the bulk edits of a tree work with: the staging buffer of owned pairs
// that the write cursor fills (OwnedEntryBuffer), the path from a root down to
// one leaf (LeafPath), the unit in which a level of branches is rebuilt
// (ChildEntry), and what one level of a removal hands to the level above
// (DeletionResult). The operations themselves are methods of MutateHelper.
//
// Thread safety: plain values, owned by the write transaction's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/page_store/page.h"

namespace storage {

// Pairs in the order they will be stored, as byte ranges over one byte vector.
// The buffer neither sorts nor checks keys: its users add pairs in ascending
// key order. Pairs are never removed one by one; clear() empties it for reuse,
// keeping its storage. The ranges sit in one vector (not a chunked queue), so
// that a reused buffer allocates nothing per pair; the rare front extension
// inserts its pairs in one move.
class OwnedEntryBuffer {
 public:
  struct Range {
    size_t start = 0;
    size_t end = 0;
  };
  struct PairRanges {
    Range key;
    Range value;
  };

  OwnedEntryBuffer() = default;

  void push_back(ByteView key, ByteView value);
  // Copies every pair of the leaf but the listed (ascending) indexes, in leaf
  // order, behind (at_back) or before the pairs already held.
  Result<void, StorageError> extend_from_leaf(const LeafAccessor& leaf,
                                              std::span<const size_t> skip, bool at_back);
  // Copies pairs [start, end) of the leaf the same way.
  Result<void, StorageError> extend_from_leaf_range(const LeafAccessor& leaf, size_t start,
                                                    size_t end, bool at_back);

  size_t num_pairs() const { return pair_ranges_.size(); }
  // Key plus value bytes held.
  size_t data_len() const { return pair_bytes_.size(); }
  ByteView key(size_t i) const { return view(pair_ranges_[i].key); }
  ByteView value(size_t i) const { return view(pair_ranges_[i].value); }
  // (key, value) of every pair, front to back.
  std::vector<std::pair<ByteView, ByteView>> entries() const;

  void clear() {
    pair_ranges_.clear();
    pair_bytes_.clear();
  }

 private:
  ByteView view(Range r) const {
    return ByteView(pair_bytes_.data() + r.start, r.end - r.start);
  }
  PairRanges append_bytes(ByteView key, ByteView value);

  std::vector<PairRanges> pair_ranges_;
  std::vector<uint8_t> pair_bytes_;
};

// One branch on the way down to a leaf and the child taken there.
struct LeafPathStep {
  PageImpl branch;
  size_t child_index = 0;
};

// The branches from the root down to a leaf's parent (none when the root is the
// leaf), and the leaf.
struct LeafPath {
  std::vector<LeafPathStep> branches;
  PageNumber leaf;
};

// A child of a level being rebuilt. The separator is the key its parent must
// store for it (the last key of its subtree); absent for the last child of a
// level, or when the key its parent already stores for it stays valid. It is a
// view into the edit's entry buffer or into an old branch page, both of which
// the edit keeps alive until it ends, so that rebuilding allocates nothing per
// child.
struct ChildEntry {
  PageNumber page;
  Checksum checksum = 0;
  std::optional<ByteView> separator;
};

// A new leaf of a packing and its last key (a view into the packed buffer).
struct PackedLeaf {
  PageNumber page;
  ByteView last_key;
};

// What one level of a removal hands to the level above.
struct DeletionResult {
  // The subtree now stands on this page; the parent records it with the
  // pending checksum.
  struct Sufficient {
    PageNumber page;
  };
  // The leaf lost its last pair; the parent drops it.
  struct LeafEmptied {};
  // The leaf's remaining pairs (all but `removed`, ascending) encode below the
  // underfull limit; the parent merges them with a sibling. The bytes outlive
  // the page, which is already released.
  struct LeafUnderfull {
    PageBuffer bytes;
    PageNumber page;
    std::vector<size_t> removed;
  };
  // A rebuilt branch below the underfull limit, not written to any page.
  struct BranchUnderfull {
    std::vector<BranchChild> children;
    std::vector<std::vector<uint8_t>> keys;
  };
  // The branch kept one child, which takes its place with its own checksum.
  struct BranchCollapsed {
    PageNumber page;
    Checksum checksum = 0;
  };

  std::variant<Sufficient, LeafEmptied, LeafUnderfull, BranchUnderfull, BranchCollapsed> kind;
};

// Remaining pair count and key plus value bytes of a leaf after removing the
// listed (ascending) pairs.
Result<std::pair<size_t, size_t>, StorageError> retained_after_removals(
    const LeafAccessor& leaf, std::span<const size_t> indexes);

}  // namespace storage
