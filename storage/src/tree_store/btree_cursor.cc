#include "storage/src/tree_store/btree_cursor.h"

#include <span>

#include "storage/src/panic.h"
#include "storage/src/tree_store/btree_mutator.h"

namespace storage {
namespace {

constexpr const char* kMustBePositioned = "cursor must be positioned";
constexpr const char* kEntryMustExist = "cursor entry must exist";

StorageError leaf_without_pairs(PageNumber page) {
  return StorageError::Corrupted("Leaf page " + page.debug() +
                                 " corrupted. Number of pairs is zero");
}

StorageError leaves_out_of_order(PageNumber from, PageNumber to) {
  return StorageError::Corrupted("Btree leaves out of key order: leaf " + to.debug() +
                                 " does not follow leaf " + from.debug());
}

bool on_path(std::span<const Branch> above, std::span<const Branch> below, PageNumber page) {
  for (const Branch& b : above) {
    if (b.page.get_page_number() == page) return true;
  }
  for (const Branch& b : below) {
    if (b.page.get_page_number() == page) return true;
  }
  return false;
}

// The descent proper. `above` are the branches that stay above `page` on the
// path; the branches passed on the way down are appended to `out`.
Result<LeafPosition, StorageError> descend(PageImpl page, const SeekTarget& target,
                                           std::span<const Branch> above,
                                           std::vector<Branch>& out, const TreeDescriptor& d,
                                           PageFetch fetch) {
  while (true) {
    const PageNumber number = page.get_page_number();
    if (on_path(above, out, number)) return Err{cycle_detected()};
    if (above.size() + out.size() >= kMaxTreeDepth) return Err{tree_too_deep()};
    TRY_ASSIGN(uint8_t type, page_type(page.memory(), number));
    if (type == kLeafPageType) {
      TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(page, d));
      const size_t n = accessor.num_pairs();
      if (n == 0) return Err{leaf_without_pairs(number)};
      size_t entry = 0;
      switch (target.kind()) {
        case SeekTarget::Kind::kStart:
          entry = 0;
          break;
        case SeekTarget::Kind::kEnd:
          entry = n;
          break;
        case SeekTarget::Kind::kKey:
        case SeekTarget::Kind::kAfterKey: {
          TRY_ASSIGN(auto found, accessor.position(target.key_bytes()));
          entry = found.first;
          if (found.second && target.kind() == SeekTarget::Kind::kAfterKey) ++entry;
          break;
        }
      }
      return LeafPosition{std::move(page), entry, n, accessor};
    }
    if (type != kBranchPageType) return Err{unknown_page_type(number, type)};
    TRY_ASSIGN(BranchAccessor accessor, BranchAccessor::create(page, d));
    size_t child = 0;
    switch (target.kind()) {
      case SeekTarget::Kind::kStart:
        child = 0;
        break;
      case SeekTarget::Kind::kEnd:
        child = accessor.num_keys();
        break;
      case SeekTarget::Kind::kKey:
      case SeekTarget::Kind::kAfterKey: {
        TRY_ASSIGN(auto found, accessor.child_for_key(target.key_bytes()));
        child = found.first;
        break;
      }
    }
    const PageNumber child_page = accessor.child_page(child);
    out.push_back(Branch{std::move(page), child});
    TRY_ASSIGN(PageImpl next, fetch(child_page));
    page = std::move(next);
  }
}

// Keys ascend strictly across leaves; a damaged tree that leads back to a leaf
// already passed (or anywhere behind it) is caught at the crossing, so no scan
// of a damaged file can run on without end.
Result<void, StorageError> check_leaf_order(const LeafPosition& from, const LeafPosition& to,
                                            ScanDirection direction, const TreeDescriptor& d) {
  if (d.compare == nullptr) return {};
  const bool forward = direction == ScanDirection::kForward;
  TRY_ASSIGN(ByteView from_key, from.accessor.key_unchecked(forward ? from.num_entries - 1 : 0));
  TRY_ASSIGN(ByteView to_key, to.accessor.key_unchecked(forward ? 0 : to.num_entries - 1));
  const auto order = d.compare(from_key, to_key);
  if (forward ? order < 0 : order > 0) return {};
  return Err{leaves_out_of_order(from.page.get_page_number(), to.page.get_page_number())};
}

}  // namespace

size_t Branch::num_keys() const {
  ByteView bytes = page.memory();
  STORAGE_ASSERT(bytes.size() >= 4);
  return load_le16(bytes.data() + 2);
}

std::optional<std::pair<size_t, PageNumber>> Branch::adjacent_child(
    ScanDirection direction) const {
  const size_t k = num_keys();
  size_t i = 0;
  if (direction == ScanDirection::kForward) {
    if (child + 1 > k) return std::nullopt;
    i = child + 1;
  } else {
    if (child == 0) return std::nullopt;
    i = child - 1;
  }
  ByteView bytes = page.memory();
  const size_t slot = 8 + 16 * (k + 1) + 8 * i;
  // The descent checked the child slots against the page.
  STORAGE_ASSERT(slot + PageNumber::kSerializedSize <= bytes.size());
  return std::pair<size_t, PageNumber>(i, PageNumber::from_le_bytes(bytes.data() + slot));
}

Result<LeafPosition, StorageError> descend_to_position(PageImpl page, const SeekTarget& target,
                                                       std::vector<Branch>& path,
                                                       const TreeDescriptor& descriptor,
                                                       PageFetch fetch) {
  const size_t before = path.size();
  auto result = descend(std::move(page), target, {}, path, descriptor, fetch);
  if (!result.ok()) path.erase(path.begin() + static_cast<std::ptrdiff_t>(before), path.end());
  return result;
}

Result<bool, StorageError> step_to_adjacent_leaf(std::optional<LeafPosition>& leaf,
                                                 std::vector<Branch>& path,
                                                 ScanDirection direction,
                                                 const TreeDescriptor& descriptor,
                                                 PageFetch fetch) {
  if (!leaf) return false;
  for (size_t level = path.size(); level-- > 0;) {
    const auto adjacent = path[level].adjacent_child(direction);
    if (!adjacent) continue;
    // The new levels below `level` are built aside; the path and the leaf
    // change only once the whole descent succeeded.
    const std::span<const Branch> above(path.data(), level + 1);
    if (on_path(above, {}, adjacent->second)) return Err{cycle_detected()};
    TRY_ASSIGN(PageImpl child, fetch(adjacent->second));
    std::vector<Branch> below;
    TRY_ASSIGN(LeafPosition next, descend(std::move(child), SeekTarget::from_direction(direction),
                                          above, below, descriptor, fetch));
    TRY(check_leaf_order(*leaf, next, direction, descriptor));
    path[level].child = adjacent->first;
    path.erase(path.begin() + static_cast<std::ptrdiff_t>(level + 1), path.end());
    for (Branch& b : below) path.push_back(std::move(b));
    leaf = std::move(next);
    return true;
  }
  return false;
}

Result<bool, StorageError> prepare_leaf(std::optional<LeafPosition>& leaf,
                                        std::vector<Branch>& path, ScanDirection direction,
                                        const TreeDescriptor& descriptor, PageFetch fetch) {
  while (leaf) {
    const bool ready = direction == ScanDirection::kForward ? leaf->entry < leaf->num_entries
                                                            : leaf->entry > 0;
    if (ready) return true;
    TRY_ASSIGN(bool moved, step_to_adjacent_leaf(leaf, path, direction, descriptor, fetch));
    if (!moved) return false;
  }
  return false;
}

Result<std::vector<uint8_t>, StorageError> key_data(const PageImpl& leaf, size_t index,
                                                    const TreeDescriptor& descriptor) {
  TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(leaf, descriptor));
  TRY_ASSIGN(std::optional<EntryRanges> ranges, accessor.entry_ranges(index));
  if (!ranges) panic(kEntryMustExist);
  ByteView key = leaf.memory().subspan(ranges->key_start, ranges->key_end - ranges->key_start);
  return std::vector<uint8_t>(key.begin(), key.end());
}

LeafPath to_leaf_path(const std::vector<Branch>& path, const LeafPosition& leaf) {
  LeafPath out;
  out.branches.reserve(path.size());
  for (const Branch& b : path) out.branches.push_back(LeafPathStep{b.page, b.child});
  out.leaf = leaf.page.get_page_number();
  return out;
}

// ---------------------------------------------------------------------------
// Cursor

Result<void, StorageError> Cursor::seek_to(const SeekTarget& target) {
  auto fetch = [this](PageNumber page) { return mem_->get_page(page, hint_); };
  TRY_ASSIGN(PageImpl root, fetch(root_));
  std::vector<Branch> path;
  TRY_ASSIGN(LeafPosition leaf, descend(std::move(root), target, {}, path, descriptor_, fetch));
  path_ = std::move(path);
  leaf_ = std::move(leaf);
  return {};
}

Result<bool, StorageError> Cursor::ensure_has_entry(ScanDirection direction) {
  auto fetch = [this](PageNumber page) { return mem_->get_page(page, hint_); };
  return prepare_leaf(leaf_, path_, direction, descriptor_, fetch);
}

Result<std::optional<EntryRanges>, StorageError> Cursor::next_ranges() {
  // Most steps stay inside the leaf.
  if (!leaf_ || leaf_->entry >= leaf_->num_entries) {
    TRY_ASSIGN(bool has_entry, ensure_has_entry(ScanDirection::kForward));
    if (!has_entry) return std::optional<EntryRanges>();
    if (!leaf_) panic(kMustBePositioned);
  }
  const size_t i = leaf_->entry;
  TRY_ASSIGN(std::optional<EntryRanges> ranges, leaf_->accessor.entry_ranges(i));
  if (!ranges) panic(kEntryMustExist);
  leaf_->entry = i + 1;
  return ranges;
}

Result<std::optional<EntryRanges>, StorageError> Cursor::prev_ranges() {
  if (!leaf_ || leaf_->entry == 0) {
    TRY_ASSIGN(bool has_entry, ensure_has_entry(ScanDirection::kBackward));
    if (!has_entry) return std::optional<EntryRanges>();
    if (!leaf_) panic(kMustBePositioned);
  }
  const size_t i = leaf_->entry - 1;
  TRY_ASSIGN(std::optional<EntryRanges> ranges, leaf_->accessor.entry_ranges(i));
  if (!ranges) panic(kEntryMustExist);
  leaf_->entry = i;
  return ranges;
}

Result<std::optional<CursorEntry>, StorageError> Cursor::next() {
  TRY_ASSIGN(std::optional<EntryRanges> ranges, next_ranges());
  if (!ranges) return std::optional<CursorEntry>();
  return std::optional<CursorEntry>(CursorEntry{leaf_->page, *ranges});
}

Result<std::optional<CursorEntry>, StorageError> Cursor::prev() {
  TRY_ASSIGN(std::optional<EntryRanges> ranges, prev_ranges());
  if (!ranges) return std::optional<CursorEntry>();
  return std::optional<CursorEntry>(CursorEntry{leaf_->page, *ranges});
}

Result<void, StorageError> Cursor::normalize_forward_gap() {
  if (!leaf_ || leaf_->entry != leaf_->num_entries) return {};
  auto fetch = [this](PageNumber page) { return mem_->get_page(page, hint_); };
  TRY(step_to_adjacent_leaf(leaf_, path_, ScanDirection::kForward, descriptor_, fetch));
  return {};
}

Result<std::strong_ordering, StorageError> Cursor::compare_position(const Cursor& other) const {
  if (!leaf_ || !other.leaf_) panic(kMustBePositioned);
  if (leaf_->page.get_page_number() == other.leaf_->page.get_page_number()) {
    return leaf_->entry <=> other.leaf_->entry;
  }
  if (path_.size() != other.path_.size()) {
    return Err{StorageError::Corrupted(
        "Btree leaves at different depths: leaf " + leaf_->page.get_page_number().debug() +
        " below " + std::to_string(path_.size()) + " branches, leaf " +
        other.leaf_->page.get_page_number().debug() + " below " +
        std::to_string(other.path_.size()))};
  }
  for (size_t level = 0; level < path_.size(); ++level) {
    const size_t a = path_[level].child;
    const size_t b = other.path_[level].child;
    if (a != b) return a <=> b;
  }
  panic("internal error: entered unreachable code: distinct cursor pages must diverge in their "
        "branch path");
}

}  // namespace storage
