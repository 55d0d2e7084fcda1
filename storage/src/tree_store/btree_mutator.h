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
  // Overwrites the value of a present key whose whole path this transaction
  // allocated, with a value no longer than the stored one; allocates and frees
  // nothing. Broken preconditions panic.
  Result<void, StorageError> insert_inplace(ByteView key, ByteView value);

 private:
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
};

}  // namespace storage
