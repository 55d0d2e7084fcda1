// Structural edits of one B-tree inside the open write transaction.
//
// MutateHelper::insert adds or replaces one pair copy-on-write: pages that an
// earlier commit wrote are never changed, only replaced and queued on the
// caller's local freed list; pages this transaction allocated are changed in
// place when the change fits and freed at once when replaced. Every page an
// edit creates or changes is recorded with kPendingChecksum until commit.
//
// Page bytes are untrusted: damage met on the path is StorageError::Corrupted,
// descent is capped at kMaxTreeDepth levels and a page met twice on one path is
// a cycle. A failed edit leaves the root header unchanged but not the pages
// below it; the tree handle poisons itself so that such a tree is never used
// or committed again.
//
// Thread safety: a MutateHelper runs on the write transaction's thread and
// takes no lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/btree_bulk.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/types.h"

namespace storage {

// Recorded for every page the open transaction creates or changes, in its
// parent's slot or in the root header, until commit computes the real ones.
inline constexpr Checksum kPendingChecksum = 999;
// Deepest descent from a root; a 64-level tree of two-way branches would hold
// more pairs than any file can.
inline constexpr size_t kMaxTreeDepth = 64;

using PageHolder = EitherPage<PageImpl, PageMut, PageBuffer>;
template <ValueCodec V>
using ValueGuard = AccessGuard<V, PageImpl, PageMut, PageBuffer>;
using InPlaceGuard = AccessGuardMutInPlace<PageMut>;

// Where one stored key or value lies: the untyped form of an AccessGuard.
struct ValueRef {
  PageHolder page;
  size_t offset = 0;
  size_t len = 0;

  ByteView bytes() const { return page.memory().subspan(offset, len); }
  template <ValueCodec V>
  ValueGuard<V> into_guard() && {
    return ValueGuard<V>(std::move(page), offset, len);
  }
};

// Damage found by a walk or a descent.
StorageError cycle_detected();
StorageError tree_too_deep();
StorageError unknown_page_type(PageNumber page, uint8_t type);
// The type byte of a page; an empty page is damage.
Result<uint8_t, StorageError> page_type(ByteView page, PageNumber page_number);

// A separator that moves up a level, with the page that follows it.
struct SplitSibling {
  std::vector<uint8_t> key;
  PageNumber page;
  Checksum checksum = 0;
};

// What one level of an insert hands to the level above.
struct InsertionResult {
  BranchChild subtree_root;
  std::optional<SplitSibling> split_sibling;
  InPlaceGuard inserted_guard;
  std::optional<ValueRef> replaced_value;
};

struct InsertOutcome {
  std::optional<ValueRef> replaced_value;
  InPlaceGuard inserted_guard;
};

class MutateHelper {
 public:
  // Borrows everything for one call.
  MutateHelper(std::optional<BtreeHeader>& root, const WritablePageSource& allocator,
               std::vector<PageNumber>& freed, PageTrackerRef tracker,
               const TreeDescriptor& descriptor);

  // Adds the pair or replaces the value of an equal key. The root header is
  // written only when every level succeeded.
  Result<InsertOutcome, StorageError> insert(ByteView key, ByteView value);
  // Where inserts keep the depth (the root at 1) their last leaf lay at: a
  // child at that depth that this transaction allocated is taken as a leaf
  // and edited through one lent page, with no read handle first. A wrong
  // depth costs a lending, never a wrong edit.
  void set_leaf_depth_hint(size_t* hint) { leaf_depth_hint_ = hint; }
  // Overwrites the value of a present key whose whole path this transaction
  // allocated, with a value no longer than the stored one; allocates and frees
  // nothing. Broken preconditions panic.
  Result<void, StorageError> insert_inplace(ByteView key, ByteView value);

  // Removals (btree_delete.cc). `delete_` is the typed-key removal (the key
  // already encoded by the caller's codec), always allowed to remove in place;
  // delete_key takes the in-place permission. Absent key or empty tree: none,
  // and nothing changes. A removal in place happens at once: the value comes
  // back as an owned copy.
  Result<std::optional<ValueRef>, StorageError> delete_(ByteView key);
  Result<std::optional<ValueRef>, StorageError> delete_key(ByteView key, bool in_place);
  // Repairs branch `branch` after its child `child_index` changed.
  Result<DeletionResult, StorageError> apply_child_deletion_result(PageImpl branch,
                                                                   size_t child_index,
                                                                   DeletionResult result);
  Result<DeletionResult, StorageError> finalize_branch_builder(
      BranchBuilder<const WritablePageSource, PageTrackerRef> builder, size_t page_size);
  Result<void, StorageError> finish_deletion(DeletionResult result, uint64_t new_length);
  Result<PageNumber, StorageError> build_leaf_except_indexes(const LeafAccessor& leaf,
                                                             size_t capacity,
                                                             std::span<const size_t> positions);

  // Bulk edits of the write cursor (btree_bulk.cc).
  Result<std::vector<PackedLeaf>, StorageError> build_replacement_leaves(
      const OwnedEntryBuffer& entries);
  Result<std::vector<ChildEntry>, StorageError> build_branch_nodes(
      std::vector<ChildEntry> children);
  // (the page now holding the child, whether that page is a new copy).
  Result<std::pair<PageNumber, bool>, StorageError> replace_branch_child(PageImpl branch,
                                                                         size_t child_index,
                                                                         PageNumber child);
  Result<std::vector<ChildEntry>, StorageError> rebuild_branch_level(
      const PageImpl& branch, size_t child_index, std::vector<ChildEntry> replacement);
  Result<void, StorageError> splice_insert_run(std::optional<LeafPath> path,
                                               const OwnedEntryBuffer& entries,
                                               uint64_t inserted);
  Result<void, StorageError> delete_leaf_entries(PageImpl leaf,
                                                 std::vector<LeafPathStep> branches,
                                                 std::span<const size_t> indexes,
                                                 bool in_place);
  // `branches` ends with the parent of the replaced children; its child index
  // is not used.
  Result<void, StorageError> replace_leaf_children(std::vector<LeafPathStep> branches,
                                                   size_t start, size_t end,
                                                   OwnedEntryBuffer entries,
                                                   uint64_t removed);

 private:
  struct Deleted {
    DeletionResult result;
    std::optional<ValueRef> old_value;
  };
  Result<Deleted, StorageError> delete_helper(PageImpl page, ByteView key, bool in_place,
                                              std::vector<PageNumber>& path);
  Result<Deleted, StorageError> delete_from_leaf(PageImpl page, ByteView key, bool in_place);
  // Walks `branches` from the deepest up, repairing each around the result.
  Result<DeletionResult, StorageError> repair_path(std::vector<LeafPathStep>& branches,
                                                   DeletionResult result);

  Result<InsertionResult, StorageError> insert_helper(PageImpl page, Checksum checksum,
                                                      ByteView key, ByteView value,
                                                      bool rightmost_path,
                                                      std::vector<PageNumber>& path);
  Result<InsertionResult, StorageError> insert_into_leaf(PageImpl page, Checksum checksum,
                                                         ByteView key, ByteView value,
                                                         bool rightmost_path);
  Result<InsertionResult, StorageError> insert_into_branch(PageImpl page, Checksum checksum,
                                                           ByteView key, ByteView value,
                                                           bool rightmost_path,
                                                           std::vector<PageNumber>& path);
  // insert_into_leaf's edit in place of a leaf this transaction allocated,
  // read and written through the one lent page. None, with nothing changed,
  // when the page is no leaf or the pair does not fit in place.
  Result<std::optional<InsertionResult>, StorageError> insert_into_own_leaf(PageNumber page,
                                                                            ByteView key,
                                                                            ByteView value);
  // A new leaf holding only the pair; the guard points at its value.
  Result<std::pair<PageNumber, InPlaceGuard>, StorageError> build_single_leaf(ByteView key,
                                                                             ByteView value);
  Result<void, StorageError> insert_inplace_helper(PageMut page, ByteView key, ByteView value,
                                                   std::vector<PageNumber>& path);

  std::optional<BtreeHeader>& root_;
  const WritablePageSource& allocator_;
  std::vector<PageNumber>& freed_;
  PageTrackerRef tracker_;
  TreeDescriptor descriptor_;
  size_t* leaf_depth_hint_ = nullptr;
};

}  // namespace storage
