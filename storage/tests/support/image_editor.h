// Byte-level edits of a database file image that keep every checksum valid,
// for crafting files whose damage no checksum shows: edit page bytes in place
// (page numbers in a branch or a page list, the images of a saved allocator
// state), then reseal(), which recomputes every checksum of both directories
// and of every table they name, bottom-up, and the commit slots' checksums.
//
// The image must be one the engine wrote (multimap tables included, whose
// subtree headers reseal() rewrites): anything unexpected in it is a broken
// test and panics, except in reseal(), which also takes damaged images (it
// reports whether it could walk every tree; a multimap value of an unknown
// tag is left as it is).
//
// Thread safety: a plain value.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/tree_store/page_store/fast_hasher.h"
#include "storage/src/tree_store/page_store/header.h"
#include "storage/src/tree_store/table_definition.h"

namespace storage::test {

class ImageEditor {
 public:
  // One page of a tree, as a pre-order walk meets it (the root at depth 0).
  struct TreePage {
    PageNumber page;
    size_t depth = 0;
    bool leaf = false;
  };
  using EntryVisitor = std::function<void(std::span<const uint8_t> key, std::span<uint8_t> value)>;

  explicit ImageEditor(std::vector<uint8_t> bytes);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  const DatabaseHeader& header() const { return header_; }
  // The roots of the primary commit slot.
  std::optional<BtreeHeader> data_root() const { return header_.primary_slot().data_root; }
  std::optional<BtreeHeader> system_root() const { return header_.primary_slot().system_root; }

  // The bytes of a page run.
  std::span<uint8_t> page(PageNumber page);
  // The definition of a table of the data (or system) directory; none when absent.
  std::optional<InternalTableDefinition> table(bool system, const std::string& name);
  // Every page of a table's tree, pre-order; empty for a table without a root.
  std::vector<TreePage> table_pages(bool system, const std::string& name);
  // Every page of the tree at `root`, pre-order (a multimap subtree: the
  // table's value width as `key_width`).
  std::vector<TreePage> pages_of(PageNumber root, std::optional<size_t> key_width) {
    return tree_pages(root, key_width);
  }
  // Every page of the data (or system) directory's own tree, pre-order.
  std::vector<TreePage> directory_pages(bool system);
  // Calls `visit` with every entry of a table in key order; the value may be
  // edited in place (its length stays).
  void for_each_entry(bool system, const std::string& name, const EntryVisitor& visit);

  // Marks the page run free in the saved allocator state (its region's image,
  // and the region tracker so that allocations look there), as damage could.
  // False, changing nothing, when the state does not hold it allocated.
  bool free_in_saved_state(PageNumber page);

  // Recomputes every checksum of both directories and their tables and writes
  // the header (slot checksums included). False, with the image partly
  // resealed, when a tree cannot be walked (a damaged image).
  bool reseal();

 private:
  std::vector<TreePage> tree_pages(PageNumber root, std::optional<size_t> key_width);
  void visit_leaves(PageNumber root, std::optional<size_t> key_width,
                    std::optional<size_t> value_width, const EntryVisitor& visit);
  // The new checksum of the tree at `root`; `directory` also reseals the
  // tables its entries name and rewrites their root checksums. None when the
  // tree cannot be walked.
  // What a tree's leaves hold that reseal() follows.
  struct Shape {
    std::optional<size_t> key_width;
    std::optional<size_t> value_width;
    bool directory = false;
    // A multimap's outer tree: the key width of its subtrees.
    bool multimap = false;
    std::optional<size_t> subtree_key_width;
  };
  std::optional<Checksum> reseal_tree(PageNumber root, const Shape& shape, size_t depth);
  std::optional<Checksum> reseal_page(PageNumber root, const Shape& shape, size_t depth);
  bool in_file(PageNumber page) const;

  std::vector<uint8_t> bytes_;
  DatabaseHeader header_;
  // The pages one reseal() went through, with their new checksums, and the
  // pages above the one being resealed (a cycle is damage).
  std::unordered_map<PageNumber, Checksum, FastHasher64> resealed_;
  PageNumberSet on_path_;
};

}  // namespace storage::test
