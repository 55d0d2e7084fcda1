// Bulk edits of the write cursor: sorted runs spliced in as whole packed leaves
// (with the branch path above rebuilt), and removals committed a leaf, or a run
// of sibling leaves, at a time.
#include "storage/src/tree_store/btree_bulk.h"

#include <algorithm>
#include <cstring>

#include "storage/src/tree_store/btree_mutator.h"

namespace storage {

namespace {

bool same_bytes(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

using Builder = BranchBuilder<const WritablePageSource, PageTrackerRef>;

}  // namespace

// ---------------------------------------------------------------------------
// OwnedEntryBuffer

OwnedEntryBuffer::PairRanges OwnedEntryBuffer::append_bytes(ByteView key, ByteView value) {
  const size_t key_start = pair_bytes_.size();
  pair_bytes_.insert(pair_bytes_.end(), key.begin(), key.end());
  const size_t value_start = pair_bytes_.size();
  pair_bytes_.insert(pair_bytes_.end(), value.begin(), value.end());
  return PairRanges{{key_start, value_start}, {value_start, pair_bytes_.size()}};
}

void OwnedEntryBuffer::push_back(ByteView key, ByteView value) {
  pair_ranges_.push_back(append_bytes(key, value));
}

Result<void, StorageError> OwnedEntryBuffer::extend_from_leaf(const LeafAccessor& leaf,
                                                              std::span<const size_t> skip,
                                                              bool at_back) {
  const size_t n = leaf.num_pairs();
  STORAGE_ASSERT(skip.size() <= n);
  TRY_ASSIGN(size_t bytes, leaf.length_of_pairs(0, n));
  pair_bytes_.reserve(pair_bytes_.size() + bytes);
  pair_ranges_.reserve(pair_ranges_.size() + n - skip.size());
  // Copies every pair not in `skip` (ascending indices) into `out`.
  auto collect = [&](std::vector<PairRanges>* out) -> Result<void, StorageError> {
    size_t next = 0;
    for (size_t i = 0; i < n; ++i) {
      if (next < skip.size() && skip[next] == i) {
        ++next;
        continue;
      }
      TRY_ASSIGN(std::optional<LeafEntry> e, leaf.entry(i));
      out->push_back(append_bytes(e->key, e->value));
    }
    STORAGE_ASSERT(next == skip.size());
    return {};
  };
  if (at_back) return collect(&pair_ranges_);
  std::vector<PairRanges> front;
  front.reserve(n - skip.size());
  TRY(collect(&front));
  pair_ranges_.insert(pair_ranges_.begin(), front.begin(), front.end());
  return {};
}

Result<void, StorageError> OwnedEntryBuffer::extend_from_leaf_range(const LeafAccessor& leaf,
                                                                    size_t start, size_t end,
                                                                    bool at_back) {
  STORAGE_ASSERT(start <= end && end <= leaf.num_pairs());
  TRY_ASSIGN(size_t bytes, leaf.length_of_pairs(start, end));
  pair_bytes_.reserve(pair_bytes_.size() + bytes);
  pair_ranges_.reserve(pair_ranges_.size() + end - start);
  if (at_back) {
    for (size_t i = start; i < end; ++i) {
      TRY_ASSIGN(std::optional<LeafEntry> e, leaf.entry(i));
      pair_ranges_.push_back(append_bytes(e->key, e->value));
    }
  } else {
    std::vector<PairRanges> front;
    front.reserve(end - start);
    for (size_t i = start; i < end; ++i) {
      TRY_ASSIGN(std::optional<LeafEntry> e, leaf.entry(i));
      front.push_back(append_bytes(e->key, e->value));
    }
    pair_ranges_.insert(pair_ranges_.begin(), front.begin(), front.end());
  }
  return {};
}

std::vector<std::pair<ByteView, ByteView>> OwnedEntryBuffer::entries() const {
  std::vector<std::pair<ByteView, ByteView>> out;
  out.reserve(pair_ranges_.size());
  for (const PairRanges& r : pair_ranges_) out.emplace_back(view(r.key), view(r.value));
  return out;
}

Result<std::pair<size_t, size_t>, StorageError> retained_after_removals(
    const LeafAccessor& leaf, std::span<const size_t> indexes) {
  const size_t n = leaf.num_pairs();
  STORAGE_ASSERT(indexes.size() <= n);
  TRY_ASSIGN(size_t bytes, leaf.length_of_pairs(0, n));
  for (size_t i : indexes) {
    STORAGE_ASSERT(i < n);
    TRY_ASSIGN(size_t len, leaf.length_of_pairs(i, i + 1));
    bytes -= len;
  }
  return std::pair<size_t, size_t>(n - indexes.size(), bytes);
}

// ---------------------------------------------------------------------------
// Leaf packing and branch levels

Result<std::vector<PackedLeaf>, StorageError> MutateHelper::build_replacement_leaves(
    const OwnedEntryBuffer& entries) {
  const auto kw = descriptor_.fixed_key_width;
  const auto vw = descriptor_.fixed_value_width;
  const size_t page_size = allocator_.get_page_size();
  struct Range {
    size_t start;
    size_t end;
    size_t key_bytes;
    size_t pair_bytes;
  };
  std::vector<PackedLeaf> out;
  const size_t n = entries.num_pairs();
  if (n == 0) return out;

  // Greedy cut: a range takes pairs until the next one would need a split.
  std::vector<Range> ranges;
  size_t start = 0;
  size_t key_bytes = 0;
  size_t pair_bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    const size_t ks = entries.key(i).size();
    const size_t len = ks + entries.value(i).size();
    if (i > start && leaf_split_required(i - start + 1, pair_bytes + len, kw, vw, page_size)) {
      ranges.push_back(Range{start, i, key_bytes, pair_bytes});
      start = i;
      key_bytes = 0;
      pair_bytes = 0;
    }
    key_bytes += ks;
    pair_bytes += len;
  }
  ranges.push_back(Range{start, n, key_bytes, pair_bytes});

  // A small tail is pooled with the leaf before it and split in two.
  std::optional<Range> pooled;
  if (ranges.size() >= 2) {
    const Range& last = ranges.back();
    if (leaf_header_size(last.end - last.start, kw, vw) + last.pair_bytes < page_size / 3) {
      const Range& before = ranges[ranges.size() - 2];
      pooled = Range{before.start, last.end, before.key_bytes + last.key_bytes,
                     before.pair_bytes + last.pair_bytes};
      ranges.resize(ranges.size() - 2);
    }
  }

  out.reserve(ranges.size() + 2);
  for (const Range& r : ranges) {
    const size_t count = r.end - r.start;
    TRY_ASSIGN(PageMut page, allocator_.allocate(leaf_header_size(count, kw, vw) + r.pair_bytes,
                                                 tracker_));
    RawLeafBuilder raw(MutByteView(page.memory_mut()), count, kw, vw, r.key_bytes);
    for (size_t i = r.start; i < r.end; ++i) raw.append(entries.key(i), entries.value(i));
    raw.finish();
    out.push_back(PackedLeaf{page.get_page_number(), entries.key(r.end - 1)});
  }
  if (pooled) {
    LeafBuilder builder(allocator_, tracker_, pooled->end - pooled->start, kw, vw);
    for (size_t i = pooled->start; i < pooled->end; ++i) {
      builder.push(entries.key(i), entries.value(i));
    }
    TRY_ASSIGN(LeafSplit<PageMut> split, std::move(builder).build_split());
    out.push_back(PackedLeaf{split.first.get_page_number(), split.separator});
    out.push_back(
        PackedLeaf{split.second.get_page_number(), entries.key(pooled->end - 1)});
  }
  return out;
}

Result<std::vector<ChildEntry>, StorageError> MutateHelper::build_branch_nodes(
    std::vector<ChildEntry> children) {
  const size_t n = children.size();
  if (n < 2) panic("assertion failed: children.len() >= 2");
  const auto kw = descriptor_.fixed_key_width;
  const size_t page_size = allocator_.get_page_size();

  std::vector<std::pair<size_t, size_t>> ranges;
  size_t start = 0;
  size_t key_bytes = 0;
  for (size_t j = 1; j < n; ++j) {
    const auto& separator = children[j - 1].separator;
    if (!separator) panic("only the last child of a level may lack a separator");
    const size_t k = j - start;
    const size_t kb = key_bytes + separator->size();
    if (k >= 2 && (k >= kMaxNodeEntries + 1 || branch_size(k, kb, kw) > page_size)) {
      ranges.emplace_back(start, j);
      start = j;
      key_bytes = 0;
    } else {
      key_bytes = kb;
    }
  }
  ranges.emplace_back(start, n);
  // A lone last child never stands alone.
  if (ranges.size() >= 2 && ranges.back().second - ranges.back().first == 1) {
    auto& before = ranges[ranges.size() - 2];
    if (before.second - before.first == kMaxNodeEntries + 1) {
      before.second -= 1;
      ranges.back().first -= 1;
    } else {
      before.second = n;
      ranges.pop_back();
    }
  }

  std::vector<ChildEntry> out;
  out.reserve(ranges.size());
  for (const auto& [first, end] : ranges) {
    Builder builder(allocator_, tracker_, end - first, kw);
    for (size_t j = first; j < end; ++j) {
      builder.push_child(children[j].page, children[j].checksum);
      if (j + 1 < end) builder.push_key(*children[j].separator);
    }
    TRY_ASSIGN(PageMut page, std::move(builder).build());
    out.push_back(
        ChildEntry{page.get_page_number(), kPendingChecksum, std::move(children[end - 1].separator)});
  }
  return out;
}

Result<std::pair<PageNumber, bool>, StorageError> MutateHelper::replace_branch_child(
    PageImpl branch, size_t child_index, PageNumber child) {
  const PageNumber page_number = branch.get_page_number();
  std::optional<PageImpl> held(std::move(branch));
  {
    TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(*held, descriptor_));
    const size_t count = accessor.count_children();
    if (!(child_index < count)) panic("assertion failed: child_index < count");
    if (accessor.child_page(child_index) == child &&
        accessor.child_checksum(child_index) == kPendingChecksum) {
      return std::pair<PageNumber, bool>(page_number, false);
    }
    if (!allocator_.uncommitted(page_number)) {
      Builder builder(allocator_, tracker_, count, descriptor_.fixed_key_width);
      for (size_t j = 0; j < count; ++j) {
        if (j == child_index) {
          builder.push_child(child, kPendingChecksum);
        } else {
          builder.push_child(accessor.child_page(j), accessor.child_checksum(j));
        }
        if (j + 1 < count) {
          TRY_ASSIGN(std::optional<ByteView> key, accessor.key(j));
          builder.push_key(*key);
        }
      }
      TRY_ASSIGN(PageMut copy, std::move(builder).build());
      return std::pair<PageNumber, bool>(copy.get_page_number(), true);
    }
  }
  // Opened for writing only once no read handle shares its bytes.
  held.reset();
  TRY_ASSIGN(PageMut page, allocator_.get_page_mut(page_number));
  BranchMutator(page.memory_mut()).write_child_page(child_index, child, kPendingChecksum);
  return std::pair<PageNumber, bool>(page_number, false);
}

Result<std::vector<ChildEntry>, StorageError> MutateHelper::rebuild_branch_level(
    const PageImpl& branch, size_t child_index, std::vector<ChildEntry> replacement) {
  STORAGE_ASSERT(!replacement.empty());
  TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(branch, descriptor_));
  const size_t k = accessor.num_keys();
  if (!(child_index <= k)) panic("assertion failed: child_index < count");
  if (!replacement.back().separator && child_index < k) {
    TRY_ASSIGN(std::optional<ByteView> key, accessor.key(child_index));
    replacement.back().separator = *key;
  }
  std::vector<ChildEntry> level;
  level.reserve(k + replacement.size());
  for (size_t j = 0; j < child_index; ++j) {
    TRY_ASSIGN(std::optional<ByteView> key, accessor.key(j));
    level.push_back(ChildEntry{accessor.child_page(j), accessor.child_checksum(j), *key});
  }
  for (ChildEntry& e : replacement) level.push_back(std::move(e));
  for (size_t j = child_index + 1; j <= k; ++j) {
    std::optional<ByteView> separator;
    if (j < k) {
      TRY_ASSIGN(separator, accessor.key(j));
    }
    level.push_back(
        ChildEntry{accessor.child_page(j), accessor.child_checksum(j), std::move(separator)});
  }
  return build_branch_nodes(std::move(level));
}

// ---------------------------------------------------------------------------
// Splice

Result<void, StorageError> MutateHelper::splice_insert_run(std::optional<LeafPath> path,
                                                           const OwnedEntryBuffer& entries,
                                                           uint64_t inserted) {
  if (!(entries.num_pairs() > 0)) panic("assertion failed: entries.num_pairs() > 0");
  if (path.has_value() != root_.has_value()) {
    panic("a leaf path is given exactly when the tree has a root");
  }
  const uint64_t length = root_ ? root_->length : 0;

  TRY_ASSIGN(std::vector<PackedLeaf> leaves, build_replacement_leaves(entries));
  std::vector<ChildEntry> level;
  level.reserve(leaves.size());
  for (PackedLeaf& leaf : leaves) {
    level.push_back(ChildEntry{leaf.page, kPendingChecksum, leaf.last_key});
  }

  std::vector<PageNumber> to_free;
  // Old branches whose keys the new levels still name, alive until the end.
  std::vector<PageImpl> held;
  if (path) {
    to_free.push_back(path->leaf);
    std::vector<LeafPathStep>& branches = path->branches;
    while (!branches.empty()) {
      LeafPathStep step = std::move(branches.back());
      branches.pop_back();
      const PageNumber branch_page = step.branch.get_page_number();
      const size_t i = step.child_index;
      std::optional<ByteView> key_i;
      size_t k = 0;
      {
        TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(step.branch, descriptor_));
        k = accessor.num_keys();
        if (!(i <= k)) panic("assertion failed: child_index < count");
        if (i < k) {
          TRY_ASSIGN(key_i, accessor.key(i));
        }
      }
      const bool pointer_only =
          level.size() == 1 &&
          !(key_i && level[0].separator && !same_bytes(*key_i, *level[0].separator));
      if (pointer_only) {
        TRY_ASSIGN(auto replaced, replace_branch_child(std::move(step.branch), i, level[0].page));
        if (replaced.second) to_free.push_back(branch_page);
        std::optional<ByteView> separator;
        if (i == k) separator = level[0].separator;
        level.clear();
        level.push_back(ChildEntry{replaced.first, kPendingChecksum, std::move(separator)});
      } else {
        TRY_ASSIGN(level, rebuild_branch_level(step.branch, i, std::move(level)));
        held.push_back(std::move(step.branch));
        to_free.push_back(branch_page);
      }
    }
  }
  while (level.size() >= 2) {
    TRY_ASSIGN(level, build_branch_nodes(std::move(level)));
  }
  root_ = BtreeHeader{level[0].page, kPendingChecksum, length + inserted};
  for (PageNumber p : to_free) allocator_.conditional_free(p, tracker_, freed_);
  return {};
}

// ---------------------------------------------------------------------------
// Bulk removals

Result<void, StorageError> MutateHelper::delete_leaf_entries(PageImpl leaf,
                                                             std::vector<LeafPathStep> branches,
                                                             std::span<const size_t> indexes,
                                                             bool in_place) {
  if (indexes.empty()) return {};
  if (!root_) panic("delete requires a root");
  if (indexes.size() > root_->length) {
    return Err{StorageError::Corrupted("Tree length " + std::to_string(root_->length) +
                                       " is smaller than the " +
                                       std::to_string(indexes.size()) + " entries removed")};
  }
  const PageNumber page_number = leaf.get_page_number();
  const size_t page_size = allocator_.get_page_size();
  const auto kw = descriptor_.fixed_key_width;
  const auto vw = descriptor_.fixed_value_width;
  std::optional<PageImpl> held(std::move(leaf));

  DeletionResult result;
  {
    TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(*held, descriptor_));
    if (!(indexes.back() < accessor.num_pairs())) {
      panic("assertion failed: *indexes.last().unwrap() < accessor.num_pairs()");
    }
    for (size_t j = 1; j < indexes.size(); ++j) STORAGE_ASSERT(indexes[j - 1] < indexes[j]);
    TRY_ASSIGN(auto retained, retained_after_removals(accessor, indexes));
    const auto [count, bytes] = retained;
    const bool emptied = count == 0;
    const bool underfull = !emptied && leaf_header_size(count, kw, vw) + bytes < page_size / 3;

    if (in_place && !emptied && !underfull && allocator_.uncommitted(page_number)) {
      held.reset();
      TRY_ASSIGN(PageMut page, allocator_.get_page_mut(page_number));
      TRY(LeafMutator(page.memory_mut(), page_number, kw, vw).remove_indices(indexes));
      result.kind = DeletionResult::Sufficient{page_number};
    } else {
      if (emptied) {
        result.kind = DeletionResult::LeafEmptied{};
      } else if (underfull) {
        result.kind = DeletionResult::LeafUnderfull{
            held->buffer(), page_number, std::vector<size_t>(indexes.begin(), indexes.end())};
      } else {
        TRY_ASSIGN(PageNumber rebuilt, build_leaf_except_indexes(accessor, count, indexes));
        result.kind = DeletionResult::Sufficient{rebuilt};
      }
      held.reset();
      allocator_.conditional_free(page_number, tracker_, freed_);
    }
  }
  TRY_ASSIGN(result, repair_path(branches, std::move(result)));
  return finish_deletion(std::move(result), root_->length - indexes.size());
}

Result<void, StorageError> MutateHelper::replace_leaf_children(std::vector<LeafPathStep> branches,
                                                               size_t start, size_t end,
                                                               OwnedEntryBuffer entries,
                                                               uint64_t removed) {
  if (!(start < end)) panic("assertion failed: !replaced_children.is_empty()");
  if (!root_) panic("replace requires a root");
  if (branches.empty()) panic("leaf child replacement requires a parent branch");
  // The cursor counted pairs it found in the leaves; a stored length below
  // that count is damage, found before anything changes.
  if (removed > root_->length) {
    return Err{StorageError::Corrupted("Tree length " + std::to_string(root_->length) +
                                       " is smaller than the " + std::to_string(removed) +
                                       " entries removed")};
  }
  const auto kw = descriptor_.fixed_key_width;
  const auto vw = descriptor_.fixed_value_width;
  const size_t page_size = allocator_.get_page_size();

  std::optional<PageImpl> parent(std::move(branches.back().branch));
  branches.pop_back();
  const PageNumber parent_page = parent->get_page_number();
  std::vector<PageNumber> replaced;
  DeletionResult result;
  {
    TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(*parent, descriptor_));
    const size_t old_children = accessor.count_children();
    if (!(end <= old_children)) panic("assertion failed: replaced_children.end <= old_children");

    // A small remainder takes in one neighbour rather than leave an underfull leaf.
    if (entries.num_pairs() > 0 &&
        leaf_header_size(entries.num_pairs(), kw, vw) + entries.data_len() < page_size / 3) {
      const bool before = start > 0;
      const size_t neighbour = before ? start - 1 : end;
      if (neighbour < old_children) {
        const PageNumber neighbour_page = accessor.child_page(neighbour);
        TRY_ASSIGN(PageImpl page,
                   allocator_.get_page(neighbour_page, PageReadHint::kMayBeDirty));
        // Children of one branch are all leaves here, unless the file is damaged.
        TRY_ASSIGN(uint8_t type, page_type(page.memory(), neighbour_page));
        if (type != kLeafPageType) {
          return Err{StorageError::Corrupted("Page " + neighbour_page.debug() +
                                             " corrupted. Sibling of another node type")};
        }
        TRY_ASSIGN(LeafAccessor leaf, LeafAccessor::create(page, descriptor_));
        TRY_ASSIGN(bool large, is_single_large_value(leaf, page_size));
        if (!large) {
          TRY(entries.extend_from_leaf(leaf, {}, !before));
          if (before) {
            start -= 1;
          } else {
            end += 1;
          }
        }
      }
    }

    TRY_ASSIGN(std::vector<PackedLeaf> leaves, build_replacement_leaves(entries));
    for (size_t j = start; j < end; ++j) replaced.push_back(accessor.child_page(j));

    const size_t new_count = old_children - (end - start) + leaves.size();
    if (new_count == 0) {
      result.kind = DeletionResult::LeafEmptied{};
    } else {
      // Every child but the last gives a key: its own for P's children, the
      // last key for a new leaf.
      Builder builder(allocator_, tracker_, new_count, kw);
      size_t pushed = 0;
      auto push = [&](PageNumber page, Checksum checksum,
                      std::optional<ByteView> key) -> Result<void, StorageError> {
        builder.push_child(page, checksum);
        if (++pushed < new_count) {
          STORAGE_ASSERT(key.has_value());
          builder.push_key(*key);
        }
        return {};
      };
      for (size_t j = 0; j < start; ++j) {
        TRY_ASSIGN(std::optional<ByteView> key, accessor.key(j));
        TRY(push(accessor.child_page(j), accessor.child_checksum(j), key));
      }
      for (const PackedLeaf& leaf : leaves) {
        TRY(push(leaf.page, kPendingChecksum, leaf.last_key));
      }
      for (size_t j = end; j < old_children; ++j) {
        TRY_ASSIGN(std::optional<ByteView> key, accessor.key(j));
        TRY(push(accessor.child_page(j), accessor.child_checksum(j), key));
      }
      TRY_ASSIGN(result, finalize_branch_builder(std::move(builder), page_size));
    }
  }
  parent.reset();
  TRY_ASSIGN(result, repair_path(branches, std::move(result)));
  TRY(finish_deletion(std::move(result), root_->length - removed));
  allocator_.conditional_free(parent_page, tracker_, freed_);
  for (PageNumber p : replaced) allocator_.conditional_free(p, tracker_, freed_);
  return {};
}

}  // namespace storage
