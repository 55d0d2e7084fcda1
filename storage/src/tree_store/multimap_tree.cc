#include "storage/src/tree_store/multimap_tree.h"

#include <string>
#include <utility>

#include "storage/src/panic.h"
#include "storage/src/tree_store/btree_iters.h"

namespace storage {
namespace {

// Subtrees hold the collection's values as keys, and nothing as values.
TreeDescriptor subtree_descriptor(std::optional<size_t> fixed_value_width) {
  return TreeDescriptor{fixed_value_width, 0, nullptr};
}

TreeDescriptor outer_descriptor(std::optional<size_t> fixed_key_width) {
  return TreeDescriptor{fixed_key_width, std::nullopt, nullptr};
}

StorageError page_reached_twice(PageNumber page) {
  return StorageError::Corrupted("Page " + page.debug() +
                                 " is reached twice in the trees of one multimap table");
}

}  // namespace

std::array<uint8_t, kSubtreeValueSize> DynamicCollection::make_subtree_data(
    const BtreeHeader& header) {
  std::array<uint8_t, kSubtreeValueSize> out{};
  out[0] = static_cast<uint8_t>(CollectionTag::kSubtree);
  header.to_le_bytes(out.data() + 1);
  return out;
}

Result<std::optional<BtreeHeader>, StorageError> DynamicCollection::subtree_of(ByteView value) {
  if (value.empty()) return Err{StorageError::Corrupted("Empty multimap collection value")};
  switch (value[0]) {
    case static_cast<uint8_t>(CollectionTag::kInline):
      return std::optional<BtreeHeader>();
    case static_cast<uint8_t>(CollectionTag::kSubtree):
      // Only the first 33 bytes are read, as a longer value is never written.
      if (value.size() < kSubtreeValueSize) {
        return Err{StorageError::Corrupted("Multimap subtree value of " +
                                           std::to_string(value.size()) + " bytes, expected " +
                                           std::to_string(kSubtreeValueSize))};
      }
      return std::optional<BtreeHeader>(BtreeHeader::from_le_bytes(value.data() + 1));
    default:
      return Err{StorageError::Corrupted("Unknown multimap collection tag " +
                                         std::to_string(value[0]))};
  }
}

Result<std::vector<BtreeHeader>, StorageError> parse_subtree_roots(
    const PageImpl& page, std::optional<size_t> fixed_key_width) {
  const PageNumber page_number = page.get_page_number();
  TRY_ASSIGN(uint8_t type, page_type(page.memory(), page_number));
  std::vector<BtreeHeader> roots;
  if (type == kBranchPageType) return roots;
  if (type != kLeafPageType) return Err{unknown_page_type(page_number, type)};
  TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(page.memory(), page_number,
                                                         fixed_key_width, std::nullopt));
  for (size_t i = 0; i < accessor.num_pairs(); ++i) {
    TRY_ASSIGN(std::optional<LeafEntry> entry, accessor.entry(i));
    TRY_ASSIGN(std::optional<BtreeHeader> subtree, DynamicCollection::subtree_of(entry->value));
    if (subtree) roots.push_back(*subtree);
  }
  return roots;
}

Result<void, StorageError> UntypedMultiBtree::visit_all_pages(const PageVisitor& visitor) const {
  if (!root_) return {};
  // Each tree's own walk catches cycles within it; this set catches a page
  // shared between the outer tree and a subtree, or between two subtrees.
  PageNumberSet visited;
  auto visit_once = [&](std::span<const PageNumber> path) -> Result<void, StorageError> {
    if (!visited.insert(path.back()).second) return Err{page_reached_twice(path.back())};
    return visitor(path);
  };
  auto visit_outer = [&](std::span<const PageNumber> path) -> Result<void, StorageError> {
    TRY(visit_once(path));
    TRY_ASSIGN(PageImpl page, mem_->get_page(path.back(), hint_));
    TRY_ASSIGN(std::vector<BtreeHeader> subtrees, parse_subtree_roots(page, fixed_key_width_));
    for (const BtreeHeader& subtree : subtrees) {
      UntypedBtree walk(subtree, fixed_value_width_, mem_, hint_);
      TRY(walk.visit_pages_helper({subtree.root}, visit_once));
    }
    return {};
  };
  UntypedBtree outer(root_, fixed_key_width_, mem_, hint_);
  return outer.visit_pages_helper({root_->root}, visit_outer);
}

Result<std::optional<BtreeHeader>, StorageError> finalize_tree_and_subtree_checksums(
    std::optional<BtreeHeader> root, std::optional<size_t> fixed_key_width,
    std::optional<size_t> fixed_value_width,
    std::shared_ptr<const WritablePageSource> allocator) {
  // Finalising allocates and frees nothing; the list and tracker only satisfy
  // the tree cores, and the list is checked to stay empty.
  auto freed = std::make_shared<Mutex<std::vector<PageNumber>>>();
  PageTrackerRef tracker = PageTracker::create_disabled();
  UntypedBtreeMut outer(root, outer_descriptor(fixed_key_width), allocator, freed, tracker);
  UntypedBtreeMut subtrees(std::nullopt, subtree_descriptor(fixed_value_width), allocator, freed,
                           tracker);
  // A subtree root this transaction wrote is finalised once; meeting it again
  // (or as the leaf naming it) would lend one page twice.
  PageNumberSet finalised;
  TRY(outer.dirty_leaf_visitor([&](LeafPageMut<PageMut>& leaf) -> Result<void, StorageError> {
    const PageNumber leaf_number = leaf.page().get_page_number();
    std::vector<std::pair<size_t, BtreeHeader>> rewritten;
    {
      TRY_ASSIGN(LeafAccessor accessor, LeafAccessor::create(leaf.page().memory(), leaf_number,
                                                             fixed_key_width, std::nullopt));
      for (size_t i = 0; i < accessor.num_pairs(); ++i) {
        TRY_ASSIGN(std::optional<LeafEntry> entry, accessor.entry(i));
        TRY_ASSIGN(std::optional<BtreeHeader> subtree,
                   DynamicCollection::subtree_of(entry->value));
        if (!subtree || !allocator->uncommitted(subtree->root)) continue;
        if (subtree->root == leaf_number || !finalised.insert(subtree->root).second) {
          return Err{page_reached_twice(subtree->root)};
        }
        TRY_ASSIGN(Checksum checksum, subtrees.finalize_dirty_checksums_helper(subtree->root));
        subtree->checksum = checksum;
        rewritten.emplace_back(i, *subtree);
      }
    }
    for (const auto& [i, header] : rewritten) {
      auto value = DynamicCollection::make_subtree_data(header);
      TRY(leaf.replace_value(i, ByteView(value)));
    }
    return {};
  }));
  // After the leaves, so that their checksums cover the rewritten headers.
  if (root && allocator->uncommitted(root->root)) {
    TRY_ASSIGN(Checksum checksum, outer.finalize_dirty_checksums_helper(root->root));
    root->checksum = checksum;
  }
  if (!freed->lock_or_panic()->empty()) panic("assertion failed: freed_pages.is_empty()");
  return root;
}

Result<bool, StorageError> verify_tree_and_subtree_checksums(
    std::optional<BtreeHeader> root, std::optional<size_t> fixed_key_width,
    std::optional<size_t> fixed_value_width, std::shared_ptr<const PageSource> mem,
    PageReadHint hint) {
  if (!root) return true;
  // Cores without a root read nothing when built; the helpers take the page.
  TRY_ASSIGN(RawBtree outer,
             RawBtree::create(std::nullopt, outer_descriptor(fixed_key_width), mem, hint));
  TRY_ASSIGN(RawBtree subtrees,
             RawBtree::create(std::nullopt, subtree_descriptor(fixed_value_width), mem, hint));
  std::vector<PageNumber> path;
  TRY_ASSIGN(bool outer_ok, outer.verify_checksum_helper(root->root, root->checksum, path));
  if (!outer_ok) return false;
  AllPageNumbersBtreeIter pages(root->root, fixed_key_width, mem, hint);
  while (auto next = pages.next()) {
    TRY_ASSIGN(PageNumber page_number, std::move(*next));
    TRY_ASSIGN(PageImpl page, mem->get_page(page_number, hint));
    TRY_ASSIGN(std::vector<BtreeHeader> roots, parse_subtree_roots(page, fixed_key_width));
    for (const BtreeHeader& subtree : roots) {
      path.clear();
      TRY_ASSIGN(bool ok, subtrees.verify_checksum_helper(subtree.root, subtree.checksum, path));
      if (!ok) return false;
    }
  }
  return true;
}

}  // namespace storage
