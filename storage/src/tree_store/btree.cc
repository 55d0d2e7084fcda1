#include "storage/src/tree_store/btree.h"

#include <algorithm>
#include <array>
#include <limits>
#include <tuple>

namespace storage {
namespace {

constexpr const char* kFinalizeNotUncommitted =
    "assertion failed: self.page_allocator.uncommitted(page_number)";

bool on_path(const std::vector<PageNumber>& path, PageNumber page) {
  return std::find(path.begin(), path.end(), page) != path.end();
}

// The next page of a descent: refused when it is already on the path or the
// path is as deep as a tree may be.
Result<void, StorageError> check_descent(const std::vector<PageNumber>& path, PageNumber child) {
  if (on_path(path, child)) return Err{cycle_detected()};
  if (path.size() >= kMaxTreeDepth) return Err{tree_too_deep()};
  return {};
}

// The pages of one lookup descent, for the same checks, without allocating.
// Kept packed and left unset past the length: a lookup clears no array.
class DescentPath {
 public:
  explicit DescentPath(PageNumber root) : len_(1) { pages_[0] = root.packed(); }
  Result<void, StorageError> push(PageNumber child) {
    const uint64_t packed = child.packed();
    if (std::find(pages_, pages_ + len_, packed) != pages_ + len_) return Err{cycle_detected()};
    if (len_ >= kMaxTreeDepth) return Err{tree_too_deep()};
    pages_[len_++] = packed;
    return {};
  }

 private:
  uint64_t pages_[kMaxTreeDepth];
  size_t len_;
};

// A lookup step's page type, with the empty-page check of page_type inline.
Result<uint8_t, StorageError> step_type(ByteView bytes, PageNumber number) {
  if (bytes.empty()) [[unlikely]] return page_type(bytes, number);
  return bytes[0];
}

}  // namespace

void merge_freed_pages(Mutex<std::vector<PageNumber>>& shared, std::vector<PageNumber>& local) {
  if (local.empty()) return;
  auto locked = shared.lock();
  if (!locked.ok()) panic(kUnwrapErrText);
  auto guard = std::move(locked).value();
  guard->insert(guard->end(), local.begin(), local.end());
  local.clear();
}

// ---------------------------------------------------------------------------
// RawBtree

Result<RawBtree, StorageError> RawBtree::create(std::optional<BtreeHeader> root,
                                                const TreeDescriptor& descriptor,
                                                std::shared_ptr<const PageSource> mem,
                                                PageReadHint hint) {
  std::optional<PageImpl> root_page;
  if (root) {
    TRY_ASSIGN(PageImpl page, mem->get_page(root->root, hint));
    root_page.emplace(std::move(page));
  }
  return RawBtree(root, std::move(root_page), descriptor, std::move(mem), hint);
}

Result<std::optional<ValueRef>, StorageError> RawBtree::get(ByteView key) const {
  if (!root_page_) return std::optional<ValueRef>();
  return get_helper(*root_page_, key);
}

Result<std::optional<std::pair<ValueRef, ValueRef>>, StorageError> RawBtree::last() const {
  using Out = std::optional<std::pair<ValueRef, ValueRef>>;
  if (!root_page_) return Out();
  TRY_ASSIGN(auto found, last_helper(*root_page_));
  return Out(std::move(found));
}

// The descents hold each page below the root pinned (borrowed from the read
// cache, no reference taken) only while searching it, and let go of it before
// pinning the child: one pin at a time. Only the page a result points into is
// shared, for the guard.
Result<std::optional<ValueRef>, StorageError> RawBtree::get_helper(const PageImpl& page,
                                                                   ByteView key) const {
  DescentPath path(page.get_page_number());
  std::optional<PinnedPage> pinned;
  ByteView bytes = page.memory();
  PageNumber number = page.get_page_number();
  // u64 keys take the inline steps; any page they doubt goes through the
  // checked accessors, which name the damage.
  const bool u64 = node_layout::u64_keys(descriptor_.compare, descriptor_.fixed_key_width, key);
  const uint64_t q = u64 ? load_le64(key.data()) : 0;
  while (true) {
    // Type and count come from the cache's copy of the page's first bytes,
    // so that the page's own lines are asked for all at once by the accessor.
    uint32_t head;
    if (bytes.size() >= 4) [[likely]] {
      head = pinned ? pinned->head() : load_le32(bytes.data());
    } else {
      TRY_ASSIGN(uint8_t type, step_type(bytes, number));
      head = type;  // the accessors refuse a page this short
    }
    const uint8_t type = static_cast<uint8_t>(head);
    const size_t count = head >> 16;
    if (type == kLeafPageType) {
      if (pinned) pinned->prefetch_share();
      std::optional<LeafAccessor::Hit> hit;
      if (u64) hit = LeafAccessor::step_u64(bytes, count, descriptor_.fixed_value_width, q);
      if (!hit) {
        TRY_ASSIGN(LeafAccessor accessor,
                   LeafAccessor::create_with_count(bytes, number, descriptor_, count));
        TRY_ASSIGN(auto search, accessor.position(key));
        hit = LeafAccessor::Hit{false, 0, 0};
        if (search.second) {
          TRY_ASSIGN(auto range, accessor.value_range(search.first));
          hit = LeafAccessor::Hit{true, range->first, range->second};
        }
      }
      if (!hit->found) return std::optional<ValueRef>();
      PageImpl leaf = pinned ? pinned->to_page() : page;
      return std::optional<ValueRef>(ValueRef{PageHolder::read_only(std::move(leaf)),
                                              hit->value_start,
                                              hit->value_end - hit->value_start});
    }
    if (type != kBranchPageType) return Err{unknown_page_type(number, type)};
    std::optional<std::pair<size_t, PageNumber>> descent;
    if (u64) descent = BranchAccessor::step_u64(bytes, count, q);
    if (!descent) {
      TRY_ASSIGN(BranchAccessor accessor,
                 BranchAccessor::create_with_count(bytes, number, descriptor_, count));
      TRY_ASSIGN(descent, accessor.child_for_key(key));
    }
    TRY(path.push(descent->second));
    pinned.reset();
    TRY_ASSIGN(PinnedPage child, mem_->pin_page(descent->second, hint_));
    pinned.emplace(std::move(child));
    bytes = pinned->memory();
    number = descent->second;
  }
}

Result<std::pair<ValueRef, ValueRef>, StorageError> RawBtree::last_helper(
    const PageImpl& page) const {
  DescentPath path(page.get_page_number());
  std::optional<PinnedPage> pinned;
  ByteView bytes = page.memory();
  PageNumber number = page.get_page_number();
  while (true) {
    TRY_ASSIGN(uint8_t type, step_type(bytes, number));
    if (type == kLeafPageType) {
      TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(bytes, number, descriptor_));
      TRY(accessor.total_length());  // a leaf is never empty
      TRY_ASSIGN(std::optional<EntryRanges> r, accessor.entry_ranges(accessor.num_pairs() - 1));
      PageImpl leaf = pinned ? pinned->to_page() : page;
      ValueRef key{PageHolder::read_only(leaf), r->key_start, r->key_end - r->key_start};
      ValueRef value{PageHolder::read_only(std::move(leaf)), r->value_start,
                     r->value_end - r->value_start};
      return std::pair<ValueRef, ValueRef>(std::move(key), std::move(value));
    }
    if (type != kBranchPageType) return Err{unknown_page_type(number, type)};
    TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(bytes, number, descriptor_));
    const PageNumber child = accessor.child_page(accessor.num_keys());
    TRY(path.push(child));
    pinned.reset();
    TRY_ASSIGN(PinnedPage next, mem_->pin_page(child, hint_));
    pinned.emplace(std::move(next));
    bytes = pinned->memory();
    number = child;
  }
}

Result<bool, StorageError> RawBtree::verify_checksum() const {
  if (!root_) return true;
  std::vector<PageNumber> path;
  return verify_checksum_helper(root_->root, root_->checksum, path);
}

Result<bool, StorageError> RawBtree::verify_checksum_helper(PageNumber page, Checksum expected,
                                                            std::vector<PageNumber>& path) const {
  PageNumberSet seen(path.begin(), path.end());
  return verify_page(page, expected, path, seen);
}

Result<bool, StorageError> RawBtree::verify_page(PageNumber page_number, Checksum expected,
                                                 std::vector<PageNumber>& path,
                                                 PageNumberSet& seen) const {
  // A page met twice (a cycle, or two parents) or a descent too deep is damage.
  if (on_path(path, page_number) || seen.contains(page_number)) return false;
  if (path.size() >= kMaxTreeDepth) return false;
  seen.insert(page_number);
  path.push_back(page_number);
  TRY_ASSIGN(PageImpl page, mem_->get_page(page_number, hint_));
  bool ok = false;
  ByteView bytes = page.memory();
  if (!bytes.empty() && bytes[0] == kLeafPageType) {
    auto checksum = leaf_checksum(page, descriptor_.fixed_key_width,
                                  descriptor_.fixed_value_width);
    ok = checksum.ok() && checksum.value() == expected;
  } else if (!bytes.empty() && bytes[0] == kBranchPageType) {
    auto checksum = branch_checksum(page, descriptor_.fixed_key_width);
    auto accessor = BranchAccessor::create(page, descriptor_);
    ok = checksum.ok() && checksum.value() == expected && accessor.ok();
    for (size_t i = 0; ok && i < accessor->count_children(); ++i) {
      TRY_ASSIGN(ok, verify_page(accessor->child_page(i), accessor->child_checksum(i), path,
                                 seen));
    }
  }
  path.pop_back();
  return ok;
}

// ---------------------------------------------------------------------------
// UntypedBtree

Result<void, StorageError> UntypedBtree::visit_all_pages(const PageVisitor& visitor) const {
  if (!root_) return {};
  return visit_pages_helper({root_->root}, visitor);
}

Result<void, StorageError> UntypedBtree::visit_pages_helper(std::vector<PageNumber> path,
                                                            const PageVisitor& visitor) const {
  STORAGE_ASSERT(!path.empty());
  PageNumberSet seen(path.begin(), path.end());
  return visit(path, visitor, seen);
}

Result<void, StorageError> UntypedBtree::visit(std::vector<PageNumber>& path,
                                               const PageVisitor& visitor,
                                               PageNumberSet& seen) const {
  TRY(visitor(std::span<const PageNumber>(path)));
  const PageNumber page_number = path.back();
  TRY_ASSIGN(PageImpl page, mem_->get_page(page_number, hint_));
  TRY_ASSIGN(uint8_t type, page_type(page.memory(), page_number));
  if (type == kLeafPageType) return {};
  if (type != kBranchPageType) return Err{unknown_page_type(page_number, type)};
  TRY_ASSIGN(BranchAccessor accessor,
             BranchAccessor::create(page.memory(), page_number, fixed_key_width_));
  for (size_t i = 0; i < accessor.count_children(); ++i) {
    const PageNumber child = accessor.child_page(i);
    if (seen.contains(child)) return Err{cycle_detected()};
    if (path.size() >= kMaxTreeDepth) return Err{tree_too_deep()};
    seen.insert(child);
    path.push_back(child);
    TRY(visit(path, visitor, seen));
    path.pop_back();
  }
  return {};
}

// ---------------------------------------------------------------------------
// UntypedBtreeMut

UntypedBtreeMut::UntypedBtreeMut(std::optional<BtreeHeader> root,
                                 const TreeDescriptor& descriptor,
                                 std::shared_ptr<const WritablePageSource> allocator,
                                 SharedFreedPages freed_pages, PageTrackerRef tracker,
                                 TransactionPoison poison)
    : root_(root),
      descriptor_(descriptor),
      allocator_(std::move(allocator)),
      freed_pages_(std::move(freed_pages)),
      tracker_(std::move(tracker)),
      transaction_poison_(std::move(poison)) {
  STORAGE_ASSERT(allocator_ != nullptr && freed_pages_ != nullptr && tracker_ != nullptr);
}

bool UntypedBtreeMut::poisoned() const {
  return poisoned_ ||
         (transaction_poison_ != nullptr && transaction_poison_->load(std::memory_order_acquire));
}

StorageError UntypedBtreeMut::refuse_poisoned() const { return StorageError::PreviousIo(); }

void UntypedBtreeMut::poison() {
  poisoned_ = true;
  if (transaction_poison_ != nullptr) transaction_poison_->store(true, std::memory_order_release);
}

template <typename F>
auto UntypedBtreeMut::edit(F&& body) -> decltype(body()) {
  if (poisoned()) return Err{refuse_poisoned()};
  try {
    auto result = body();
    // Also after a failure: what the edit released must not be lost.
    merge_freed_pages(*freed_pages_, local_freed_);
    if (!result.ok()) poison();
    return result;
  } catch (...) {
    poison();
    try {
      merge_freed_pages(*freed_pages_, local_freed_);
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
}

Result<void, StorageError> UntypedBtreeMut::check_pair_size(ByteView key,
                                                            size_t value_len) const {
  // Covers a one-pair leaf's header and a one-key branch's (at most 64 bytes).
  const uint64_t limit = std::numeric_limits<uint32_t>::max();
  if (key.size() > limit || value_len > limit || key.size() + value_len + 64 > limit) {
    return Err{StorageError::ValueTooLarge(key.size() + value_len)};
  }
  return {};
}

Result<std::optional<ValueRef>, StorageError> UntypedBtreeMut::get(ByteView key) const {
  if (poisoned()) return Err{refuse_poisoned()};
  TRY_ASSIGN(RawBtree tree,
             RawBtree::create(root_, descriptor_, allocator_, PageReadHint::kMayBeDirty));
  return tree.get(key);
}

Result<BtreeCursorRange, StorageError> UntypedBtreeMut::range(EncodedBound start,
                                                              EncodedBound end) const {
  if (poisoned()) return Err{refuse_poisoned()};
  TRY_ASSIGN(RawBtree tree,
             RawBtree::create(root_, descriptor_, allocator_, PageReadHint::kMayBeDirty));
  std::optional<PageNumber> root;
  if (tree.get_root()) root = tree.get_root()->root;
  return BtreeCursorRange::from_bounds(std::move(start), std::move(end), root, descriptor_,
                                       allocator_, PageReadHint::kMayBeDirty);
}

Result<std::optional<std::pair<ValueRef, ValueRef>>, StorageError> UntypedBtreeMut::last() const {
  if (poisoned()) return Err{refuse_poisoned()};
  TRY_ASSIGN(RawBtree tree,
             RawBtree::create(root_, descriptor_, allocator_, PageReadHint::kMayBeDirty));
  return tree.last();
}

Result<std::optional<ValueRef>, StorageError> UntypedBtreeMut::insert(ByteView key,
                                                                      ByteView value) {
  TRY(check_pair_size(key, value.size()));
  return edit([&]() -> Result<std::optional<ValueRef>, StorageError> {
    MutateHelper helper(root_, *allocator_, local_freed_, tracker_, descriptor_);
    helper.set_leaf_depth_hint(&leaf_depth_hint_);
    TRY_ASSIGN(InsertOutcome outcome, helper.insert(key, value));
    // The new value's page goes back to the write buffer here.
    return std::move(outcome.replaced_value);
  });
}

Result<void, StorageError> UntypedBtreeMut::insert_inplace(ByteView key, ByteView value) {
  return edit([&]() -> Result<void, StorageError> {
    std::vector<PageNumber> fake_freed_pages;
    // Closed, so that any allocation or free through it panics.
    PageTrackerRef fake_tracker = PageTracker::create_disabled();
    (void)fake_tracker->close();
    MutateHelper helper(root_, *allocator_, fake_freed_pages, fake_tracker, descriptor_);
    TRY(helper.insert_inplace(key, value));
    if (!fake_freed_pages.empty()) panic("assertion failed: fake_freed_pages.is_empty()");
    return {};
  });
}

Result<InPlaceGuard, StorageError> UntypedBtreeMut::insert_reserve(ByteView key, size_t len) {
  TRY(check_pair_size(key, len));
  const std::vector<uint8_t> zeros(len, 0);
  return edit([&]() -> Result<InPlaceGuard, StorageError> {
    MutateHelper helper(root_, *allocator_, local_freed_, tracker_, descriptor_);
    helper.set_leaf_depth_hint(&leaf_depth_hint_);
    TRY_ASSIGN(InsertOutcome outcome, helper.insert(key, ByteView(zeros)));
    return std::move(outcome.inserted_guard);
  });
}

Result<std::vector<uint8_t>, StorageError> UntypedBtreeMut::force_uncommitted(
    ByteView key, ByteView default_value) {
  std::vector<uint8_t> bytes;
  {
    TRY_ASSIGN(std::optional<ValueRef> found, get(key));
    ByteView stored = found ? found->bytes() : default_value;
    bytes.assign(stored.begin(), stored.end());
  }
  TRY(insert(key, ByteView(bytes)));
  return bytes;
}

Result<std::optional<ValueRef>, StorageError> UntypedBtreeMut::remove(ByteView key) {
  return edit([&]() -> Result<std::optional<ValueRef>, StorageError> {
    MutateHelper helper(root_, *allocator_, local_freed_, tracker_, descriptor_);
    return helper.delete_(key);
  });
}

Result<std::optional<BtreeHeader>, StorageError> UntypedBtreeMut::finalize_dirty_checksums() {
  if (poisoned()) return Err{refuse_poisoned()};
  if (!root_ || !allocator_->uncommitted(root_->root)) return root_;
  TRY_ASSIGN(Checksum checksum, finalize_dirty_checksums_helper(root_->root));
  root_->checksum = checksum;
  return root_;
}

Result<Checksum, StorageError> UntypedBtreeMut::finalize_dirty_checksums_helper(PageNumber page) {
  std::vector<PageNumber> path;
  return finalize_page(page, path);
}

Result<Checksum, StorageError> UntypedBtreeMut::finalize_page(PageNumber page_number,
                                                              std::vector<PageNumber>& path) {
  if (!allocator_->uncommitted(page_number)) panic(kFinalizeNotUncommitted);
  // A page already open higher up cannot be opened again.
  TRY(check_descent(path, page_number));
  TRY_ASSIGN(PageMut page, allocator_->get_page_mut(page_number));
  TRY_ASSIGN(uint8_t type, page_type(page.memory(), page_number));
  if (type == kLeafPageType) {
    return leaf_checksum(page, descriptor_.fixed_key_width, descriptor_.fixed_value_width);
  }
  if (type != kBranchPageType) return Err{unknown_page_type(page_number, type)};
  std::vector<std::tuple<size_t, PageNumber, Checksum>> updates;
  {
    TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(page, descriptor_));
    path.push_back(page_number);
    for (size_t i = 0; i < accessor.count_children(); ++i) {
      const PageNumber child = accessor.child_page(i);
      if (!allocator_->uncommitted(child)) continue;  // its slot is final already
      TRY_ASSIGN(Checksum checksum, finalize_page(child, path));
      updates.emplace_back(i, child, checksum);
    }
    path.pop_back();
  }
  BranchMutator mutator(page.memory_mut());
  for (const auto& [i, child, checksum] : updates) mutator.write_child_page(i, child, checksum);
  return branch_checksum(page, descriptor_.fixed_key_width);
}

Result<void, StorageError> UntypedBtreeMut::dirty_leaf_visitor(const DirtyLeafVisitor& visitor) {
  if (poisoned()) return Err{refuse_poisoned()};
  if (!root_ || !allocator_->uncommitted(root_->root)) return {};
  std::vector<PageNumber> path;
  return visit_dirty(root_->root, visitor, path);
}

Result<void, StorageError> UntypedBtreeMut::visit_dirty(PageNumber page_number,
                                                        const DirtyLeafVisitor& visitor,
                                                        std::vector<PageNumber>& path) {
  if (!allocator_->uncommitted(page_number)) panic(kFinalizeNotUncommitted);
  TRY(check_descent(path, page_number));
  TRY_ASSIGN(PageMut page, allocator_->get_page_mut(page_number));
  TRY_ASSIGN(uint8_t type, page_type(page.memory(), page_number));
  if (type == kLeafPageType) {
    LeafPageMut<PageMut> leaf(std::move(page), descriptor_.fixed_key_width,
                              descriptor_.fixed_value_width);
    return visitor(leaf);
  }
  if (type != kBranchPageType) return Err{unknown_page_type(page_number, type)};
  TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(page, descriptor_));
  path.push_back(page_number);
  for (size_t i = 0; i < accessor.count_children(); ++i) {
    const PageNumber child = accessor.child_page(i);
    if (!allocator_->uncommitted(child)) continue;
    TRY(visit_dirty(child, visitor, path));
  }
  path.pop_back();
  return {};
}

}  // namespace storage
