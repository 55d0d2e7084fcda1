// The tree-invariant checker of the tree tests: walks a whole tree from its
// root header and reports the first broken invariant, or nothing.
//
// Checked: every page is a well-formed leaf or branch, no page is reached
// twice, every leaf lies at the same depth, keys ascend strictly across the
// whole tree, every key lies within its subtree's separators (child i holds
// keys <= separator i and > separator i - 1), the root header's length is the
// number of pairs, and, given the write transaction's uncommitted test, that
// uncommitted pages hang only under uncommitted pages. With `pending_slots`,
// also that every reference to an uncommitted page carries the pending
// checksum and every reference to a committed page its real checksum.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "storage/src/tree_store/page_source.h"
#include "storage/src/types.h"

namespace storage::test {

struct TreeCheck {
  std::string error;  // empty when every invariant holds
  PageNumberSet pages;
  uint64_t pairs = 0;
  size_t depth = 0;  // levels; 0 for an empty tree
  size_t leaves = 0;
};

struct TreeCheckOptions {
  PageReadHint hint = PageReadHint::kMayBeDirty;
  std::function<bool(PageNumber)> uncommitted;  // absent: not checked
  bool pending_slots = false;
};

TreeCheck check_tree(const PageSource& pages, std::optional<BtreeHeader> root,
                     const TreeDescriptor& descriptor, const TreeCheckOptions& options = {});

}  // namespace storage::test
