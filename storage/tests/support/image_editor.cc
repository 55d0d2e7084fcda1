#include "storage/tests/support/image_editor.h"

#include <algorithm>
#include <utility>

#include "storage/src/panic.h"
#include "storage/src/system_types.h"
#include "storage/src/tree_store/page_store/region.h"
#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/btree_mutator.h"
#include "storage/src/tree_store/multimap_tree.h"

namespace storage::test {

namespace {

template <typename T>
T must(Result<T, StorageError> r, const char* what) {
  if (!r.ok()) panic(std::string("image editor: ") + what + ": " + r.error().to_string());
  return std::move(r).value();
}

DatabaseHeader parse_header(const std::vector<uint8_t>& bytes) {
  auto parsed = UnrepairedDatabaseHeader::from_bytes(
      std::span<const uint8_t>(bytes.data(), std::min(bytes.size(), kDbHeaderSize)), 4096);
  if (!parsed.ok()) panic("image editor: header: " + parsed.error().to_string());
  auto header = std::move(parsed).value().finalize(bytes.size());
  if (!header.ok()) panic("image editor: header: " + header.error().to_string());
  return std::move(header).value();
}

}  // namespace

ImageEditor::ImageEditor(std::vector<uint8_t> bytes)
    : bytes_(std::move(bytes)), header_(parse_header(bytes_)) {}

std::span<uint8_t> ImageEditor::page(PageNumber p) {
  if (!in_file(p)) panic("image editor: page " + p.debug() + " beyond the file");
  const DatabaseLayout layout = header_.layout();
  const uint64_t size = uint64_t{header_.page_size()} << p.page_order;
  const uint64_t offset = layout.region_base_address(p.region) +
                          layout.region_layout(p.region).data_section_offset() +
                          uint64_t{p.page_index} * size;
  return std::span<uint8_t>(bytes_.data() + offset, size);
}

std::vector<ImageEditor::TreePage> ImageEditor::tree_pages(PageNumber root,
                                                           std::optional<size_t> key_width) {
  std::vector<TreePage> out;
  std::function<void(PageNumber, size_t)> walk = [&](PageNumber p, size_t depth) {
    const std::span<uint8_t> bytes = page(p);
    const bool leaf = bytes[0] == kLeafPageType;
    out.push_back(TreePage{p, depth, leaf});
    if (leaf) return;
    const BranchAccessor branch = must(BranchAccessor::create(bytes, p, key_width), "branch");
    for (size_t i = 0; i < branch.count_children(); ++i) walk(branch.child_page(i), depth + 1);
  };
  walk(root, 0);
  return out;
}

void ImageEditor::visit_leaves(PageNumber root, std::optional<size_t> key_width,
                               std::optional<size_t> value_width, const EntryVisitor& visit) {
  for (const TreePage& tree_page : tree_pages(root, key_width)) {
    if (!tree_page.leaf) continue;
    const std::span<uint8_t> bytes = page(tree_page.page);
    const LeafAccessor leaf =
        must(LeafAccessor::create(bytes, tree_page.page, key_width, value_width), "leaf");
    for (size_t i = 0; i < leaf.num_pairs(); ++i) {
      const EntryRanges r = *must(leaf.entry_ranges(i), "entry");
      visit(std::span<const uint8_t>(bytes.data() + r.key_start, r.key_end - r.key_start),
            std::span<uint8_t>(bytes.data() + r.value_start, r.value_end - r.value_start));
    }
  }
}

std::optional<InternalTableDefinition> ImageEditor::table(bool system, const std::string& name) {
  const std::optional<BtreeHeader> root = system ? system_root() : data_root();
  std::optional<InternalTableDefinition> found;
  if (!root) return found;
  visit_leaves(root->root, std::nullopt, std::nullopt,
               [&](std::span<const uint8_t> key, std::span<uint8_t> value) {
                 if (std::string(key.begin(), key.end()) != name) return;
                 found = must(InternalTableDefinition::from_bytes(value), "definition");
               });
  return found;
}

std::vector<ImageEditor::TreePage> ImageEditor::table_pages(bool system, const std::string& name) {
  const std::optional<InternalTableDefinition> definition = table(system, name);
  if (!definition) panic("image editor: no table " + name);
  if (!definition->table_root()) return {};
  return tree_pages(definition->table_root()->root, definition->fixed_key_width());
}

std::vector<ImageEditor::TreePage> ImageEditor::directory_pages(bool system) {
  const std::optional<BtreeHeader> root = system ? system_root() : data_root();
  if (!root) return {};
  return tree_pages(root->root, std::nullopt);
}

void ImageEditor::for_each_entry(bool system, const std::string& name,
                                 const EntryVisitor& visit) {
  const std::optional<InternalTableDefinition> definition = table(system, name);
  if (!definition) panic("image editor: no table " + name);
  if (!definition->table_root()) return;
  // A multimap's outer values are collections, of any length.
  const std::optional<size_t> value_width = definition->table_kind() == TableKind::kMultimap
                                                ? std::nullopt
                                                : definition->fixed_value_width();
  visit_leaves(definition->table_root()->root, definition->fixed_key_width(), value_width, visit);
}

bool ImageEditor::free_in_saved_state(PageNumber page) {
  std::optional<uint8_t> merged;
  for_each_entry(true, "allocator_state", [&](std::span<const uint8_t> key,
                                              std::span<uint8_t> value) {
    const std::optional<AllocatorStateKey> parsed = AllocatorStateKey::parse(ByteView(key));
    if (!parsed) panic("image editor: allocator state key");
    std::vector<uint8_t> image;
    if (parsed->kind == AllocatorStateKey::Kind::kRegion && parsed->region == page.region) {
      BuddyAllocator buddy = must(BuddyAllocator::from_bytes(ByteView(value)), "region image");
      if (buddy.check_free(page.page_index, page.page_order)) return;
      merged = buddy.free_inner(page.page_index, page.page_order);
      image = buddy.to_vec();
    } else if (parsed->kind == AllocatorStateKey::Kind::kRegionTracker && merged) {
      RegionTracker tracker = must(RegionTracker::from_bytes(ByteView(value)), "tracker image");
      tracker.mark_available(*merged, page.region);
      image = tracker.to_vec();
    } else {
      return;
    }
    if (image.size() > value.size()) panic("image editor: an image outgrew its value");
    std::copy(image.begin(), image.end(), value.begin());
  });
  return merged.has_value();
}

std::optional<Checksum> ImageEditor::reseal_tree(PageNumber root, const Shape& shape,
                                                 size_t depth) {
  // Damaged images (the fuzz tests reseal mutants) may loop or point anywhere.
  if (depth >= kMaxTreeDepth || !in_file(root) || on_path_.contains(root)) return std::nullopt;
  // A page shared by two trees (crafted damage) is resealed once.
  if (auto done = resealed_.find(root); done != resealed_.end()) return done->second;
  on_path_.insert(root);
  const std::optional<Checksum> checksum = reseal_page(root, shape, depth);
  on_path_.erase(root);
  if (checksum) resealed_.emplace(root, *checksum);
  return checksum;
}

std::optional<Checksum> ImageEditor::reseal_page(PageNumber root, const Shape& shape,
                                                 size_t depth) {
  const std::optional<size_t> key_width = shape.key_width;
  const std::optional<size_t> value_width = shape.value_width;
  std::span<uint8_t> bytes = page(root);
  if (bytes[0] == kBranchPageType) {
    auto branch = BranchAccessor::create(bytes, root, key_width);
    if (!branch.ok()) return std::nullopt;
    std::vector<PageNumber> children;
    for (size_t i = 0; i < branch->count_children(); ++i) children.push_back(branch->child_page(i));
    for (size_t i = 0; i < children.size(); ++i) {
      const std::optional<Checksum> child = reseal_tree(children[i], shape, depth + 1);
      if (!child) return std::nullopt;
      store_checksum(bytes.data() + node_layout::branch_checksum_at(i), *child);
    }
    auto checksum = branch_checksum(bytes, root, key_width);
    if (!checksum.ok()) return std::nullopt;
    return checksum.value();
  }
  if (bytes[0] != kLeafPageType) return std::nullopt;
  if (shape.multimap) {
    auto leaf = LeafAccessor::create(bytes, root, key_width, value_width);
    if (!leaf.ok()) return std::nullopt;
    for (size_t i = 0; i < leaf->num_pairs(); ++i) {
      // A damaged entry stays as it is.
      auto ranges = leaf->entry_ranges(i);
      if (!ranges.ok() || !ranges.value()) continue;
      const EntryRanges r = *ranges.value();
      const std::span<uint8_t> value(bytes.data() + r.value_start, r.value_end - r.value_start);
      if (value.size() < kSubtreeValueSize ||
          value[0] != static_cast<uint8_t>(CollectionTag::kSubtree)) {
        continue;
      }
      BtreeHeader subtree = BtreeHeader::from_le_bytes(value.data() + 1);
      const std::optional<Checksum> checksum =
          reseal_tree(subtree.root, Shape{shape.subtree_key_width, 0}, 0);
      if (!checksum) return std::nullopt;
      subtree.checksum = *checksum;
      subtree.to_le_bytes(value.data() + 1);
    }
  }
  if (shape.directory) {
    auto leaf = LeafAccessor::create(bytes, root, key_width, value_width);
    if (!leaf.ok()) return std::nullopt;
    for (size_t i = 0; i < leaf->num_pairs(); ++i) {
      auto ranges = leaf->entry_ranges(i);
      if (!ranges.ok() || !ranges.value()) return std::nullopt;
      const EntryRanges r = *ranges.value();
      const std::span<uint8_t> value(bytes.data() + r.value_start, r.value_end - r.value_start);
      auto decoded = InternalTableDefinition::from_bytes(value);
      if (!decoded.ok()) return std::nullopt;
      InternalTableDefinition definition = std::move(decoded).value();
      std::optional<BtreeHeader> table_root = definition.table_root();
      if (!table_root) continue;
      const bool multimap = definition.table_kind() == TableKind::kMultimap;
      const Shape table_shape =
          multimap ? Shape{definition.fixed_key_width(), std::nullopt, false, true,
                           definition.fixed_value_width()}
                   : Shape{definition.fixed_key_width(), definition.fixed_value_width()};
      const std::optional<Checksum> checksum = reseal_tree(table_root->root, table_shape, 0);
      if (!checksum) return std::nullopt;
      table_root->checksum = *checksum;
      definition.set_root_and_length(table_root, definition.table_length());
      const std::vector<uint8_t> stored = definition.as_bytes();
      if (stored.size() != value.size()) return std::nullopt;
      std::copy(stored.begin(), stored.end(), value.begin());
    }
  }
  auto checksum = leaf_checksum(bytes, root, key_width, value_width);
  if (!checksum.ok()) return std::nullopt;
  return checksum.value();
}

bool ImageEditor::reseal() {
  resealed_.clear();
  on_path_.clear();
  TransactionHeader& slot = header_.primary_slot_mut();
  for (std::optional<BtreeHeader>* root : {&slot.data_root, &slot.system_root}) {
    if (!*root) continue;
    const std::optional<Checksum> checksum =
        reseal_tree((*root)->root, Shape{std::nullopt, std::nullopt, true}, 0);
    if (!checksum) return false;
    (*root)->checksum = *checksum;
  }
  slot.preserved_bytes.reset();
  const auto header = header_.to_bytes(/*include_magic=*/true);
  std::copy(header.begin(), header.end(), bytes_.begin());
  return true;
}

bool ImageEditor::in_file(PageNumber p) const {
  const DatabaseLayout layout = header_.layout();
  if (p.region >= layout.num_regions() || p.page_order > kMaxPageOrder) return false;
  const uint64_t size = uint64_t{header_.page_size()} << p.page_order;
  if ((uint64_t{p.page_index} + 1) << p.page_order > layout.region_layout(p.region).num_pages()) {
    return false;
  }
  const uint64_t offset = layout.region_base_address(p.region) +
                          layout.region_layout(p.region).data_section_offset() +
                          uint64_t{p.page_index} * size;
  return offset + size <= bytes_.size();
}

}  // namespace storage::test
