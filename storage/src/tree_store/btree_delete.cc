// Removal of one key, and the repair of a tree after any removal from a leaf:
// emptied children are dropped, underfull or collapsed ones merged with a
// sibling (split again when the merge does not fit), and the top level's result
// turned into the root header.
#include <algorithm>

#include "storage/src/tree_store/btree_mutator.h"

namespace storage {

namespace {

using Builder = BranchBuilder<const WritablePageSource, PageTrackerRef>;

bool on_path(const std::vector<PageNumber>& path, PageNumber page) {
  return std::find(path.begin(), path.end(), page) != path.end();
}

// A tree's stored length counts its pairs; a damaged one can be too small for
// a removal, which must not wrap it around.
StorageError length_too_small(uint64_t length, uint64_t removed) {
  return StorageError::Corrupted("Tree length " + std::to_string(length) +
                                 " is smaller than the " + std::to_string(removed) +
                                 " entries removed");
}

StorageError sibling_of_wrong_type(PageNumber page) {
  return StorageError::Corrupted("Page " + page.debug() +
                                 " corrupted. Sibling of another node type");
}

}  // namespace

Result<std::optional<ValueRef>, StorageError> MutateHelper::delete_(ByteView key) {
  return delete_key(key, true);
}

Result<std::optional<ValueRef>, StorageError> MutateHelper::delete_key(ByteView key,
                                                                       bool in_place) {
  if (!root_) return std::optional<ValueRef>();
  const BtreeHeader header = *root_;
  // A tree with a root holds a pair; checked before anything changes.
  if (header.length == 0) return Err{length_too_small(0, 1)};
  TRY_ASSIGN(PageImpl page, allocator_.get_page(header.root, PageReadHint::kMayBeDirty));
  std::vector<PageNumber> path{header.root};
  TRY_ASSIGN(Deleted deleted, delete_helper(std::move(page), key, in_place, path));
  if (!deleted.old_value) return std::optional<ValueRef>();
  TRY(finish_deletion(std::move(deleted.result), header.length - 1));
  return std::move(deleted.old_value);
}

Result<MutateHelper::Deleted, StorageError> MutateHelper::delete_helper(
    PageImpl page, ByteView key, bool in_place, std::vector<PageNumber>& path) {
  const PageNumber page_number = page.get_page_number();
  TRY_ASSIGN(uint8_t type, page_type(page.memory(), page_number));
  if (type == kLeafPageType) return delete_from_leaf(std::move(page), key, in_place);
  if (type != kBranchPageType) return Err{unknown_page_type(page_number, type)};

  size_t i = 0;
  Deleted sub;
  {
    TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(page, descriptor_));
    TRY_ASSIGN(auto descent, accessor.child_for_key(key));
    i = descent.first;
    const PageNumber child = descent.second;
    if (on_path(path, child)) return Err{cycle_detected()};
    if (path.size() >= kMaxTreeDepth) return Err{tree_too_deep()};
    TRY_ASSIGN(PageImpl child_page, allocator_.get_page(child, PageReadHint::kMayBeDirty));
    path.push_back(child);
    TRY_ASSIGN(sub, delete_helper(std::move(child_page), key, in_place, path));
    path.pop_back();
  }
  // Absent key: this branch is not touched.
  if (!sub.old_value) return Deleted{{DeletionResult::Sufficient{page_number}}, std::nullopt};
  TRY_ASSIGN(DeletionResult result,
             apply_child_deletion_result(std::move(page), i, std::move(sub.result)));
  return Deleted{std::move(result), std::move(sub.old_value)};
}

Result<MutateHelper::Deleted, StorageError> MutateHelper::delete_from_leaf(PageImpl page,
                                                                           ByteView key,
                                                                           bool in_place) {
  const PageNumber page_number = page.get_page_number();
  const auto kw = descriptor_.fixed_key_width;
  const auto vw = descriptor_.fixed_value_width;
  const size_t page_size = allocator_.get_page_size();
  std::optional<PageImpl> held(std::move(page));

  DeletionResult result;
  std::pair<size_t, size_t> range;
  {
    TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(*held, descriptor_));
    TRY(accessor.total_length());  // a leaf is never empty
    TRY_ASSIGN(auto search, accessor.position(key));
    const auto [p, found] = search;
    if (!found) return Deleted{{DeletionResult::Sufficient{page_number}}, std::nullopt};
    const size_t n = accessor.num_pairs();
    TRY_ASSIGN(size_t total, accessor.length_of_pairs(0, n));
    TRY_ASSIGN(size_t pair, accessor.length_of_pairs(p, p + 1));
    const bool emptied = n == 1;
    const bool underfull =
        !emptied && leaf_header_size(n - 1, kw, vw) + total - pair < page_size / 3;
    const bool uncommitted = allocator_.uncommitted(page_number);

    if (in_place && uncommitted && !emptied && !underfull) {
      // The pair leaves the page now; its value comes back as a copy, so that
      // no guard lends out a page the tree still uses.
      held.reset();
      TRY_ASSIGN(PageMut leaf, allocator_.get_page_mut(page_number));
      TRY_ASSIGN(std::vector<uint8_t> value,
                 remove_pair_taking_value(leaf.memory_mut(), page_number, p, kw, vw));
      const size_t len = value.size();
      return Deleted{{DeletionResult::Sufficient{page_number}},
                     ValueRef{PageHolder::owned(std::move(value)), 0, len}};
    }

    TRY_ASSIGN(auto value_range, accessor.value_range(p));
    range = *value_range;
    if (emptied) {
      result.kind = DeletionResult::LeafEmptied{};
    } else if (underfull) {
      result.kind = DeletionResult::LeafUnderfull{held->buffer(), page_number, {p}};
    } else {
      const size_t positions[] = {p};
      TRY_ASSIGN(PageNumber rebuilt, build_leaf_except_indexes(accessor, n - 1, positions));
      result.kind = DeletionResult::Sufficient{rebuilt};
    }
  }

  const size_t len = range.second - range.first;
  if (allocator_.uncommitted(page_number)) {
    PageBuffer bytes = held->buffer();
    held.reset();
    allocator_.free(page_number, tracker_);
    return Deleted{std::move(result),
                   ValueRef{PageHolder::shared_bytes(std::move(bytes)), range.first, len}};
  }
  freed_.push_back(page_number);
  return Deleted{std::move(result),
                 ValueRef{PageHolder::read_only(std::move(*held)), range.first, len}};
}

Result<PageNumber, StorageError> MutateHelper::build_leaf_except_indexes(
    const LeafAccessor& leaf, size_t capacity, std::span<const size_t> positions) {
  LeafBuilder builder(allocator_, tracker_, capacity, descriptor_.fixed_key_width,
                      descriptor_.fixed_value_width);
  TRY(builder.push_all_except_indexes(leaf, positions));
  TRY_ASSIGN(PageMut page, std::move(builder).build());
  return page.get_page_number();
}

Result<DeletionResult, StorageError> MutateHelper::apply_child_deletion_result(
    PageImpl branch, size_t i, DeletionResult child_result) {
  const PageNumber page_number = branch.get_page_number();
  const size_t page_size = allocator_.get_page_size();
  const auto kw = descriptor_.fixed_key_width;
  const auto vw = descriptor_.fixed_value_width;

  if (auto* sufficient = std::get_if<DeletionResult::Sufficient>(&child_result.kind)) {
    TRY_ASSIGN(auto replaced, replace_branch_child(std::move(branch), i, sufficient->page));
    if (replaced.second) allocator_.conditional_free(page_number, tracker_, freed_);
    return DeletionResult{DeletionResult::Sufficient{replaced.first}};
  }

  std::optional<PageImpl> held(std::move(branch));
  DeletionResult out;
  if (std::holds_alternative<DeletionResult::LeafEmptied>(child_result.kind)) {
    {
      TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(*held, descriptor_));
      const size_t k = accessor.num_keys();
      STORAGE_ASSERT(i <= k);
      Builder builder(allocator_, tracker_, k + 1, kw);
      for (size_t j = 0; j <= k; ++j) {
        if (j != i) builder.push_child(accessor.child_page(j), accessor.child_checksum(j));
      }
      // The key right of the emptied child goes, or the last key with the last child.
      const size_t end = i == k ? k - 1 : k;
      for (size_t j = 0; j < end; ++j) {
        if (j == i) continue;
        TRY_ASSIGN(std::optional<ByteView> key, accessor.key(j));
        builder.push_key(*key);
      }
      TRY_ASSIGN(out, finalize_branch_builder(std::move(builder), page_size));
    }
    held.reset();
    allocator_.conditional_free(page_number, tracker_, freed_);
    return out;
  }

  // Merge with a sibling: child 0 with child 1, any other with the one before it.
  std::optional<PageImpl> sibling;
  PageNumber sibling_page;
  bool sibling_merged = true;
  {
    TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(*held, descriptor_));
    const size_t k = accessor.num_keys();
    STORAGE_ASSERT(i <= k);
    const size_t m = i == 0 ? 1 : i - 1;
    if (!(m <= k)) panic("assertion failed: merge_with <= num_keys");
    sibling_page = accessor.child_page(m);
    TRY_ASSIGN(PageImpl s, allocator_.get_page(sibling_page, PageReadHint::kMayBeDirty));
    sibling.emplace(std::move(s));
    const size_t lo = std::min(i, m);
    const size_t hi = std::max(i, m);
    TRY_ASSIGN(std::optional<ByteView> separator_key, accessor.key(lo));
    const ByteView separator = *separator_key;
    TRY_ASSIGN(uint8_t sibling_type, page_type(sibling->memory(), sibling_page));

    // The merged node: one child, or two with a separator between them.
    std::vector<BranchChild> merged;
    std::optional<ByteView> merged_separator;

    if (auto* leaf = std::get_if<DeletionResult::LeafUnderfull>(&child_result.kind)) {
      if (sibling_type != kLeafPageType) return Err{sibling_of_wrong_type(sibling_page)};
      TRY_ASSIGN(LeafAccessor old_leaf,
                 LeafAccessor::create(leaf->bytes.bytes(), leaf->page, descriptor_));
      STORAGE_ASSERT(old_leaf.num_pairs() >= 2);
      const size_t remaining = old_leaf.num_pairs() - leaf->removed.size();
      TRY_ASSIGN(LeafAccessor other, LeafAccessor::create(*sibling, descriptor_));
      TRY_ASSIGN(bool large, is_single_large_value(other, page_size));
      if (large) {
        // Rebuilt alone; the large value is neither copied nor moved.
        TRY_ASSIGN(PageNumber rebuilt,
                   build_leaf_except_indexes(old_leaf, remaining, leaf->removed));
        Builder builder(allocator_, tracker_, k + 1, kw);
        for (size_t j = 0; j <= k; ++j) {
          if (j == i) {
            builder.push_child(rebuilt, kPendingChecksum);
          } else {
            builder.push_child(accessor.child_page(j), accessor.child_checksum(j));
          }
          if (j < k) {
            TRY_ASSIGN(std::optional<ByteView> key, accessor.key(j));
            builder.push_key(*key);
          }
        }
        TRY_ASSIGN(out, finalize_branch_builder(std::move(builder), page_size));
        sibling_merged = false;
      } else {
        LeafBuilder builder(allocator_, tracker_, other.num_pairs() + remaining, kw, vw);
        if (i < m) {
          TRY(builder.push_all_except_indexes(old_leaf, leaf->removed));
          TRY(builder.push_all_except(other, std::nullopt));
        } else {
          TRY(builder.push_all_except(other, std::nullopt));
          TRY(builder.push_all_except_indexes(old_leaf, leaf->removed));
        }
        if (builder.should_split()) {
          TRY_ASSIGN(LeafSplit<PageMut> split, std::move(builder).build_split());
          merged = {{split.first.get_page_number(), kPendingChecksum},
                    {split.second.get_page_number(), kPendingChecksum}};
          merged_separator = split.separator;
        } else {
          TRY_ASSIGN(PageMut node, std::move(builder).build());
          merged = {{node.get_page_number(), kPendingChecksum}};
        }
      }
    } else {
      if (sibling_type != kBranchPageType) return Err{sibling_of_wrong_type(sibling_page)};
      TRY_ASSIGN(BranchAccessor other, BranchAccessor::create(*sibling, descriptor_));
      std::vector<BranchChild> children;
      std::vector<ByteView> keys;
      if (auto* under = std::get_if<DeletionResult::BranchUnderfull>(&child_result.kind)) {
        children = under->children;
        for (const auto& key : under->keys) keys.emplace_back(key);
      } else {
        const auto& collapsed = std::get<DeletionResult::BranchCollapsed>(child_result.kind);
        children = {{collapsed.page, collapsed.checksum}};
      }
      Builder builder(allocator_, tracker_, other.num_keys() + children.size() + 1, kw);
      auto push_child_side = [&] {
        for (const BranchChild& c : children) builder.push_child(c.page, c.checksum);
        for (ByteView key : keys) builder.push_key(key);
      };
      if (i < m) {
        push_child_side();
        builder.push_key(separator);
        TRY(builder.push_all(other));
      } else {
        TRY(builder.push_all(other));
        builder.push_key(separator);
        push_child_side();
      }
      if (builder.should_split()) {
        TRY_ASSIGN(BranchSplit<PageMut> split, std::move(builder).build_split());
        merged = {{split.left.get_page_number(), kPendingChecksum},
                  {split.right.get_page_number(), kPendingChecksum}};
        merged_separator = split.middle_key;
      } else {
        TRY_ASSIGN(PageMut node, std::move(builder).build());
        merged = {{node.get_page_number(), kPendingChecksum}};
      }
    }

    if (sibling_merged) {
      // The old separator of the two siblings goes; key hi bounds the merged node.
      Builder builder(allocator_, tracker_, k + 1, kw);
      for (size_t j = 0; j <= k; ++j) {
        if (j == i) continue;
        if (j == m) {
          builder.push_child(merged[0].page, merged[0].checksum);
          if (merged.size() == 2) {
            builder.push_key(*merged_separator);
            builder.push_child(merged[1].page, merged[1].checksum);
          }
          if (hi < k) {
            TRY_ASSIGN(std::optional<ByteView> key, accessor.key(hi));
            builder.push_key(*key);
          }
          continue;
        }
        builder.push_child(accessor.child_page(j), accessor.child_checksum(j));
        if (j < k) {
          TRY_ASSIGN(std::optional<ByteView> key, accessor.key(j));
          builder.push_key(*key);
        }
      }
      TRY_ASSIGN(out, finalize_branch_builder(std::move(builder), page_size));
    }
  }
  sibling.reset();
  held.reset();
  if (sibling_merged) allocator_.conditional_free(sibling_page, tracker_, freed_);
  allocator_.conditional_free(page_number, tracker_, freed_);
  return out;
}

Result<DeletionResult, StorageError> MutateHelper::finalize_branch_builder(Builder builder,
                                                                           size_t page_size) {
  const size_t children = builder.num_children();
  if (children == 0) panic("a rebuilt branch without children");
  if (children == 1) {
    const BranchChild only = builder.child(0);
    return DeletionResult{DeletionResult::BranchCollapsed{only.page, only.checksum}};
  }
  if (branch_size(builder.num_keys(), builder.total_key_bytes(), descriptor_.fixed_key_width) <
      page_size / 3) {
    auto parts = std::move(builder).into_parts();
    return DeletionResult{
        DeletionResult::BranchUnderfull{std::move(parts.first), std::move(parts.second)}};
  }
  // No split test: a merge separator longer than the key it replaced may
  // leave the branch above a page; it is written on a larger page run.
  TRY_ASSIGN(PageMut page, std::move(builder).build());
  return DeletionResult{DeletionResult::Sufficient{page.get_page_number()}};
}

Result<void, StorageError> MutateHelper::finish_deletion(DeletionResult result,
                                                         uint64_t new_length) {
  const auto kw = descriptor_.fixed_key_width;
  if (auto* s = std::get_if<DeletionResult::Sufficient>(&result.kind)) {
    root_ = BtreeHeader{s->page, kPendingChecksum, new_length};
  } else if (std::holds_alternative<DeletionResult::LeafEmptied>(result.kind)) {
    root_.reset();
  } else if (auto* leaf = std::get_if<DeletionResult::LeafUnderfull>(&result.kind)) {
    TRY_ASSIGN(LeafAccessor old_leaf,
               LeafAccessor::create(leaf->bytes.bytes(), leaf->page, descriptor_));
    const size_t remaining = old_leaf.num_pairs() - leaf->removed.size();
    if (remaining != new_length) {
      return Err{StorageError::Corrupted("Root leaf " + leaf->page.debug() + " keeps " +
                                         std::to_string(remaining) +
                                         " pairs but the tree's length says " +
                                         std::to_string(new_length))};
    }
    TRY_ASSIGN(PageNumber rebuilt, build_leaf_except_indexes(old_leaf, remaining, leaf->removed));
    root_ = BtreeHeader{rebuilt, kPendingChecksum, new_length};
  } else if (auto* under = std::get_if<DeletionResult::BranchUnderfull>(&result.kind)) {
    Builder builder(allocator_, tracker_, under->children.size(), kw);
    for (const BranchChild& c : under->children) builder.push_child(c.page, c.checksum);
    for (const auto& key : under->keys) builder.push_key(ByteView(key));
    TRY_ASSIGN(PageMut page, std::move(builder).build());
    root_ = BtreeHeader{page.get_page_number(), kPendingChecksum, new_length};
  } else {
    const auto& collapsed = std::get<DeletionResult::BranchCollapsed>(result.kind);
    root_ = BtreeHeader{collapsed.page, collapsed.checksum, new_length};
  }
  return {};
}

Result<DeletionResult, StorageError> MutateHelper::repair_path(
    std::vector<LeafPathStep>& branches, DeletionResult result) {
  while (!branches.empty()) {
    LeafPathStep step = std::move(branches.back());
    branches.pop_back();
    TRY_ASSIGN(result, apply_child_deletion_result(std::move(step.branch), step.child_index,
                                                   std::move(result)));
  }
  return result;
}

}  // namespace storage
