#include "storage/src/tree_store/btree_mutator.h"

#include <algorithm>
#include <limits>

namespace storage {

StorageError cycle_detected() { return StorageError::Corrupted("Cycle detected in Btree pages"); }

StorageError tree_too_deep() {
  return StorageError::Corrupted("Btree deeper than " + std::to_string(kMaxTreeDepth) +
                                 " levels");
}

StorageError unknown_page_type(PageNumber page, uint8_t type) {
  return StorageError::Corrupted("Page " + page.debug() + " corrupted. Unknown page type " +
                                 std::to_string(type));
}

Result<uint8_t, StorageError> page_type(ByteView page, PageNumber page_number) {
  if (page.empty()) return Err{StorageError::Corrupted("Page " + page_number.debug() +
                                                       " corrupted. Page is empty")};
  return page[0];
}

namespace {

std::vector<uint8_t> copy_of(ByteView bytes) { return std::vector<uint8_t>(bytes.begin(), bytes.end()); }

bool on_path(const std::vector<PageNumber>& path, PageNumber page) {
  return std::find(path.begin(), path.end(), page) != path.end();
}

// Where value i of a freshly written leaf starts.
Result<size_t, StorageError> value_offset(const PageMut& leaf, const TreeDescriptor& d,
                                          size_t i) {
  TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(leaf, d));
  TRY_ASSIGN(std::optional<size_t> offset, accessor.offset_of_value(i));
  STORAGE_ASSERT(offset.has_value());
  return *offset;
}

size_t leaf_pair_count(const PageMut& leaf) { return load_le16(leaf.memory().data() + 2); }

// A leaf this transaction allocated: it wrote every byte of it itself, unless
// the bytes came back from the file (the write buffer pushed the page out),
// which are checked like any page read from there.
LeafMutator::Origin own_leaf(const PageMut& leaf) {
  return leaf.read_from_file() ? LeafMutator::Origin::kUntrusted
                               : LeafMutator::Origin::kWrittenByThisTransaction;
}

constexpr const char* kNotUncommitted =
    "assertion failed: self.page_allocator.uncommitted(page.get_page_number())";

}  // namespace

MutateHelper::MutateHelper(std::optional<BtreeHeader>& root, const WritablePageSource& allocator,
                           std::vector<PageNumber>& freed, PageTrackerRef tracker,
                           const TreeDescriptor& descriptor)
    : root_(root),
      allocator_(allocator),
      freed_(freed),
      tracker_(std::move(tracker)),
      descriptor_(descriptor) {}

Result<std::pair<PageNumber, InPlaceGuard>, StorageError> MutateHelper::build_single_leaf(
    ByteView key, ByteView value) {
  LeafBuilder builder(allocator_, tracker_, 1, descriptor_.fixed_key_width,
                      descriptor_.fixed_value_width);
  builder.push(key, value);
  TRY_ASSIGN(PageMut leaf, std::move(builder).build());
  const PageNumber page_number = leaf.get_page_number();
  TRY_ASSIGN(size_t offset, value_offset(leaf, descriptor_, 0));
  return std::pair<PageNumber, InPlaceGuard>(page_number,
                                            InPlaceGuard(std::move(leaf), offset, value.size()));
}

Result<InsertOutcome, StorageError> MutateHelper::insert(ByteView key, ByteView value) {
  if (!root_) {
    TRY_ASSIGN(auto built, build_single_leaf(key, value));
    root_ = BtreeHeader{built.first, kPendingChecksum, 1};
    return InsertOutcome{std::nullopt, std::move(built.second)};
  }
  const BtreeHeader header = *root_;
  TRY_ASSIGN(PageImpl page, allocator_.get_page(header.root, PageReadHint::kMayBeDirty));
  std::vector<PageNumber> path{header.root};
  TRY_ASSIGN(InsertionResult result,
             insert_helper(std::move(page), header.checksum, key, value, true, path));

  BtreeHeader next = header;
  if (result.split_sibling) {
    BranchBuilder builder(allocator_, tracker_, 2, descriptor_.fixed_key_width);
    builder.push_child(result.subtree_root.page, result.subtree_root.checksum);
    builder.push_key(result.split_sibling->key);
    builder.push_child(result.split_sibling->page, result.split_sibling->checksum);
    TRY_ASSIGN(PageMut branch, std::move(builder).build());
    next.root = branch.get_page_number();
    next.checksum = kPendingChecksum;
  } else {
    next.root = result.subtree_root.page;
    next.checksum = result.subtree_root.checksum;
  }
  if (!result.replaced_value) next.length += 1;
  root_ = next;
  return InsertOutcome{std::move(result.replaced_value), std::move(result.inserted_guard)};
}

Result<InsertionResult, StorageError> MutateHelper::insert_helper(PageImpl page,
                                                                  Checksum checksum,
                                                                  ByteView key, ByteView value,
                                                                  bool rightmost_path,
                                                                  std::vector<PageNumber>& path) {
  TRY_ASSIGN(uint8_t type, page_type(page.memory(), page.get_page_number()));
  if (type == kLeafPageType) {
    if (leaf_depth_hint_ != nullptr) *leaf_depth_hint_ = path.size();
    return insert_into_leaf(std::move(page), checksum, key, value, rightmost_path);
  }
  if (type == kBranchPageType) {
    return insert_into_branch(std::move(page), checksum, key, value, rightmost_path, path);
  }
  return Err{unknown_page_type(page.get_page_number(), type)};
}

Result<InsertionResult, StorageError> MutateHelper::insert_into_leaf(PageImpl page,
                                                                     Checksum checksum,
                                                                     ByteView key, ByteView value,
                                                                     bool rightmost_path) {
  const PageNumber page_number = page.get_page_number();
  const auto kw = descriptor_.fixed_key_width;
  const auto vw = descriptor_.fixed_value_width;
  const size_t page_size = allocator_.get_page_size();
  // Released by hand: a page is opened for writing only once no read handle
  // shares its bytes.
  std::optional<PageImpl> held(std::move(page));
  TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(*held, descriptor_));
  TRY(accessor.total_length());  // a leaf is never empty
  TRY_ASSIGN(auto search, accessor.position(key));
  const auto [position, found] = search;
  const size_t n = accessor.num_pairs();

  // A neighbour of a single large value gets a leaf of its own; the large one
  // is neither copied nor split.
  if (!found) {
    TRY_ASSIGN(bool large, is_single_large_value(accessor, page_size));
    if (large) {
      TRY_ASSIGN(LeafEntry last, accessor.last_entry());
      std::vector<uint8_t> old_key = copy_of(last.key);
      TRY_ASSIGN(auto built, build_single_leaf(key, value));
      if (position == 0) {
        return InsertionResult{BranchChild{built.first, kPendingChecksum},
                               SplitSibling{copy_of(key), page_number, checksum},
                               std::move(built.second), std::nullopt};
      }
      return InsertionResult{BranchChild{page_number, checksum},
                             SplitSibling{std::move(old_key), built.first, kPendingChecksum},
                             std::move(built.second), std::nullopt};
    }
  }

  if (allocator_.uncommitted(page_number)) {
    if (found) {
      TRY_ASSIGN(bool fits, LeafMutator::sufficient_replace_inplace_space(
                                accessor.page(), page_number, position, kw, vw, value));
      if (fits) {
        TRY_ASSIGN(auto range, accessor.value_range(position));
        // The old bytes are about to be overwritten.
        std::vector<uint8_t> old = copy_of(accessor.page().subspan(
            range->first, range->second - range->first));
        held.reset();
        TRY_ASSIGN(PageMut leaf, allocator_.get_page_mut(page_number));
        TRY(LeafMutator(leaf.memory_mut(), page_number, kw, vw, own_leaf(leaf))
                .replace(position, value));
        const size_t offset = range->first;  // a replaced value starts where the old one did
        const size_t old_len = old.size();
        return InsertionResult{BranchChild{page_number, kPendingChecksum}, std::nullopt,
                               InPlaceGuard(std::move(leaf), offset, value.size()),
                               ValueRef{PageHolder::owned(std::move(old)), 0, old_len}};
      }
    } else {
      TRY_ASSIGN(bool fits, LeafMutator::sufficient_insert_inplace_space(accessor, position, kw,
                                                                         vw, key, value));
      if (fits) {
        // Room in the allocation is not enough: only a leaf of one pair may
        // outgrow a page, so the grown leaf must pass the split test too.
        TRY_ASSIGN(size_t pair_bytes, accessor.length_of_pairs(0, n));
        fits = !leaf_split_required(n + 1, pair_bytes + key.size() + value.size(), kw, vw,
                                    page_size);
      }
      if (fits) {
        held.reset();
        TRY_ASSIGN(PageMut leaf, allocator_.get_page_mut(page_number));
        LeafMutator mutator(leaf.memory_mut(), page_number, kw, vw, own_leaf(leaf));
        TRY_ASSIGN(size_t offset, mutator.insert(position, key, value));
        return InsertionResult{BranchChild{page_number, kPendingChecksum}, std::nullopt,
                               InPlaceGuard(std::move(leaf), offset, value.size()),
                               std::nullopt};
      }
    }
  }

  // Appending past a leaf that cannot take the pair starts a new leaf, so that
  // ascending inserts leave full leaves behind.
  if (rightmost_path && position == n && !found) {
    TRY_ASSIGN(size_t pair_bytes, accessor.length_of_pairs(0, n));
    if (leaf_split_required(n + 1, pair_bytes + key.size() + value.size(), kw, vw, page_size)) {
      TRY_ASSIGN(LeafEntry last, accessor.last_entry());
      std::vector<uint8_t> old_key = copy_of(last.key);
      TRY_ASSIGN(auto built, build_single_leaf(key, value));
      return InsertionResult{BranchChild{page_number, checksum},
                             SplitSibling{std::move(old_key), built.first, kPendingChecksum},
                             std::move(built.second), std::nullopt};
    }
  }

  // Rebuild, splitting when the pairs outgrow one leaf.
  std::optional<std::pair<size_t, size_t>> old_value;
  if (found) {
    TRY_ASSIGN(old_value, accessor.value_range(position));
  }
  LeafBuilder builder(allocator_, tracker_, n + 1, kw, vw);
  for (size_t i = 0; i < n; ++i) {
    if (i == position) {
      builder.push(key, value);
      if (found) continue;
    }
    TRY_ASSIGN(std::optional<LeafEntry> entry, accessor.entry(i));
    builder.push(entry->key, entry->value);
  }
  if (position == n) builder.push(key, value);

  BranchChild subtree_root;
  std::optional<SplitSibling> sibling;
  std::optional<InPlaceGuard> guard;
  if (!builder.should_split()) {
    TRY_ASSIGN(PageMut leaf, std::move(builder).build());
    subtree_root = BranchChild{leaf.get_page_number(), kPendingChecksum};
    TRY_ASSIGN(size_t offset, value_offset(leaf, descriptor_, position));
    guard.emplace(std::move(leaf), offset, value.size());
  } else {
    TRY_ASSIGN(LeafSplit<PageMut> split, std::move(builder).build_split());
    sibling = SplitSibling{copy_of(split.separator), split.second.get_page_number(),
                           kPendingChecksum};
    subtree_root = BranchChild{split.first.get_page_number(), kPendingChecksum};
    const size_t d = leaf_pair_count(split.first);
    if (position < d) {
      TRY_ASSIGN(size_t offset, value_offset(split.first, descriptor_, position));
      guard.emplace(std::move(split.first), offset, value.size());
    } else {
      TRY_ASSIGN(size_t offset, value_offset(split.second, descriptor_, position - d));
      guard.emplace(std::move(split.second), offset, value.size());
    }
  }

  // The new pages exist; now the old leaf goes.
  std::optional<ValueRef> replaced;
  if (found) {
    const size_t start = old_value->first;
    const size_t len = old_value->second - old_value->first;
    if (allocator_.uncommitted(page_number)) {
      PageBuffer bytes = held->buffer();
      held.reset();
      allocator_.free(page_number, tracker_);
      replaced = ValueRef{PageHolder::shared_bytes(std::move(bytes)), start, len};
    } else {
      freed_.push_back(page_number);
      replaced = ValueRef{PageHolder::read_only(std::move(*held)), start, len};
    }
  } else {
    held.reset();
    allocator_.conditional_free(page_number, tracker_, freed_);
  }
  return InsertionResult{subtree_root, std::move(sibling), std::move(*guard), std::move(replaced)};
}

Result<std::optional<InsertionResult>, StorageError> MutateHelper::insert_into_own_leaf(
    PageNumber page_number, ByteView key, ByteView value) {
  using Out = std::optional<InsertionResult>;
  const auto kw = descriptor_.fixed_key_width;
  const auto vw = descriptor_.fixed_value_width;
  TRY_ASSIGN(PageMut leaf, allocator_.get_page_mut(page_number));
  TRY_ASSIGN(uint8_t type, page_type(leaf.memory(), page_number));
  if (type != kLeafPageType) return Out();
  TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(leaf, descriptor_));
  TRY(accessor.total_length());  // a leaf is never empty
  TRY_ASSIGN(auto search, accessor.position(key));
  const auto [position, found] = search;
  const size_t n = accessor.num_pairs();
  if (found) {
    TRY_ASSIGN(bool fits, LeafMutator::sufficient_replace_inplace_space(
                              accessor.page(), page_number, position, kw, vw, value));
    if (!fits) return Out();
    TRY_ASSIGN(auto range, accessor.value_range(position));
    // The old bytes are about to be overwritten.
    std::vector<uint8_t> old =
        copy_of(accessor.page().subspan(range->first, range->second - range->first));
    TRY(LeafMutator(leaf.memory_mut(), page_number, kw, vw, own_leaf(leaf))
            .replace(position, value));
    const size_t old_len = old.size();
    return Out(InsertionResult{BranchChild{page_number, kPendingChecksum}, std::nullopt,
                               InPlaceGuard(std::move(leaf), range->first, value.size()),
                               ValueRef{PageHolder::owned(std::move(old)), 0, old_len}});
  }
  // A neighbour of a single large value gets a leaf of its own.
  TRY_ASSIGN(bool large, is_single_large_value(accessor, allocator_.get_page_size()));
  if (large) return Out();
  TRY_ASSIGN(bool fits,
             LeafMutator::sufficient_insert_inplace_space(accessor, position, kw, vw, key, value));
  if (fits) {
    TRY_ASSIGN(size_t pair_bytes, accessor.length_of_pairs(0, n));
    fits = !leaf_split_required(n + 1, pair_bytes + key.size() + value.size(), kw, vw,
                                allocator_.get_page_size());
  }
  if (!fits) return Out();
  LeafMutator mutator(leaf.memory_mut(), page_number, kw, vw, own_leaf(leaf));
  TRY_ASSIGN(size_t offset, mutator.insert(position, key, value));
  return Out(InsertionResult{BranchChild{page_number, kPendingChecksum}, std::nullopt,
                             InPlaceGuard(std::move(leaf), offset, value.size()), std::nullopt});
}

Result<InsertionResult, StorageError> MutateHelper::insert_into_branch(
    PageImpl page, Checksum checksum, ByteView key, ByteView value, bool rightmost_path,
    std::vector<PageNumber>& path) {
  const PageNumber page_number = page.get_page_number();
  std::optional<PageImpl> held(std::move(page));
  TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(*held, descriptor_));
  TRY_ASSIGN(auto descent, accessor.child_for_key(key));
  const auto [i, child] = descent;
  const size_t k = accessor.num_keys();
  const Checksum child_checksum = accessor.child_checksum(i);
  if (on_path(path, child)) return Err{cycle_detected()};
  if (path.size() >= kMaxTreeDepth) return Err{tree_too_deep()};
  path.push_back(child);
  std::optional<InsertionResult> own;
  if (leaf_depth_hint_ != nullptr && *leaf_depth_hint_ == path.size() &&
      allocator_.uncommitted(child)) {
    TRY_ASSIGN(own, insert_into_own_leaf(child, key, value));
  }
  if (!own) {
    TRY_ASSIGN(PageImpl child_page, allocator_.get_page(child, PageReadHint::kMayBeDirty));
    TRY_ASSIGN(InsertionResult inserted, insert_helper(std::move(child_page), child_checksum, key,
                                                       value, rightmost_path && i == k, path));
    own.emplace(std::move(inserted));
  }
  path.pop_back();
  InsertionResult sub = std::move(*own);

  // The child changed in place under a slot that already says so.
  if (!sub.split_sibling && sub.subtree_root.page == child &&
      sub.subtree_root.checksum == child_checksum) {
    sub.subtree_root = BranchChild{page_number, checksum};
    return sub;
  }
  if (!sub.split_sibling && allocator_.uncommitted(page_number)) {
    held.reset();
    TRY_ASSIGN(PageMut branch, allocator_.get_page_mut(page_number));
    BranchMutator(branch.memory_mut())
        .write_child_page(i, sub.subtree_root.page, sub.subtree_root.checksum);
    sub.subtree_root = BranchChild{page_number, kPendingChecksum};
    return sub;
  }

  BranchBuilder builder(allocator_, tracker_, k + 2, descriptor_.fixed_key_width);
  for (size_t c = 0; c <= k; ++c) {
    if (c == i) {
      builder.push_child(sub.subtree_root.page, sub.subtree_root.checksum);
      if (sub.split_sibling) {
        builder.push_key(sub.split_sibling->key);
        builder.push_child(sub.split_sibling->page, sub.split_sibling->checksum);
      }
    } else {
      builder.push_child(accessor.child_page(c), accessor.child_checksum(c));
    }
    if (c < k) {
      TRY_ASSIGN(std::optional<ByteView> separator, accessor.key(c));
      builder.push_key(*separator);
    }
  }
  if (!builder.should_split()) {
    TRY_ASSIGN(PageMut branch, std::move(builder).build());
    sub.subtree_root = BranchChild{branch.get_page_number(), kPendingChecksum};
    sub.split_sibling.reset();
  } else {
    TRY_ASSIGN(BranchSplit<PageMut> split, std::move(builder).build_split());
    std::vector<uint8_t> middle = copy_of(split.middle_key);
    sub.subtree_root = BranchChild{split.left.get_page_number(), kPendingChecksum};
    sub.split_sibling =
        SplitSibling{std::move(middle), split.right.get_page_number(), kPendingChecksum};
  }
  held.reset();
  allocator_.conditional_free(page_number, tracker_, freed_);
  return sub;
}

Result<void, StorageError> MutateHelper::insert_inplace(ByteView key, ByteView value) {
  if (!root_) panic("Key not found (tree is empty)");
  const BtreeHeader header = *root_;
  if (!allocator_.uncommitted(header.root)) panic(kNotUncommitted);
  TRY_ASSIGN(PageMut page, allocator_.get_page_mut(header.root));
  std::vector<PageNumber> path{header.root};
  TRY(insert_inplace_helper(std::move(page), key, value, path));
  root_ = BtreeHeader{header.root, kPendingChecksum, header.length};
  return {};
}

Result<void, StorageError> MutateHelper::insert_inplace_helper(PageMut page, ByteView key,
                                                               ByteView value,
                                                               std::vector<PageNumber>& path) {
  const PageNumber page_number = page.get_page_number();
  if (!allocator_.uncommitted(page_number)) panic(kNotUncommitted);
  TRY_ASSIGN(uint8_t type, page_type(page.memory(), page_number));
  if (type == kLeafPageType) {
    TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(page, descriptor_));
    TRY_ASSIGN(auto search, accessor.position(key));
    if (!search.second) panic("assertion failed: found");
    TRY_ASSIGN(auto range, accessor.value_range(search.first));
    const size_t old_len = range->second - range->first;
    if (value.size() > old_len) panic("assertion failed: value.len() <= old_len");
    return LeafMutator(page.memory_mut(), page_number, descriptor_.fixed_key_width,
                       descriptor_.fixed_value_width, own_leaf(page))
        .replace(search.first, value);
  }
  if (type != kBranchPageType) return Err{unknown_page_type(page_number, type)};
  TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(page, descriptor_));
  TRY_ASSIGN(auto descent, accessor.child_for_key(key));
  const auto [i, child] = descent;
  if (on_path(path, child)) return Err{cycle_detected()};
  if (path.size() >= kMaxTreeDepth) return Err{tree_too_deep()};
  if (!allocator_.uncommitted(child)) panic(kNotUncommitted);
  TRY_ASSIGN(PageMut child_page, allocator_.get_page_mut(child));
  path.push_back(child);
  TRY(insert_inplace_helper(std::move(child_page), key, value, path));
  path.pop_back();
  BranchMutator(page.memory_mut()).write_child_page(i, child, kPendingChecksum);
  return {};
}

}  // namespace storage
