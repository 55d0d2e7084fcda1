// The region geometry of a database file: page 0 holds the super-header, then
// regions follow without gaps, each some header pages and then its data pages. All
// regions are full except possibly the last (the trailing region).
//
// Thread safety: plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace storage {

// One region's geometry.
class RegionLayout {
 public:
  // `num_pages` (data pages) must be above 0.
  RegionLayout(uint32_t num_pages, uint32_t header_pages, uint32_t page_size);

  uint32_t num_pages() const { return num_pages_; }
  uint32_t header_pages() const { return header_pages_; }
  uint32_t page_size() const { return page_size_; }
  // Byte length: header and data pages.
  uint64_t len() const {
    return (static_cast<uint64_t>(num_pages_) + header_pages_) * page_size_;
  }
  // Offset of the first data page from the region's start.
  uint64_t data_section_offset() const {
    return static_cast<uint64_t>(header_pages_) * page_size_;
  }
  // "RegionLayout { num_pages: N, header_pages: H, page_size: P }", for panic messages.
  std::string debug() const;
  bool operator==(const RegionLayout&) const = default;

 private:
  uint32_t num_pages_;
  uint32_t header_pages_;
  uint32_t page_size_;
};

// The file's geometry: some full regions and an optional shorter trailing region.
class DatabaseLayout {
 public:
  // The trailing region must share header pages and page size with the full layout
  // and have at most its data pages.
  DatabaseLayout(uint32_t num_full_regions, RegionLayout full_region_layout,
                 std::optional<RegionLayout> trailing_region);

  // The smallest layout whose data pages hold `desired_usable_bytes`, with regions of
  // `page_capacity` data pages.
  static DatabaseLayout calculate(uint64_t desired_usable_bytes, uint32_t page_capacity,
                                  uint32_t region_header_pages, uint32_t page_size);

  uint32_t num_full_regions() const { return num_full_regions_; }
  const RegionLayout& full_region_layout() const { return full_region_layout_; }
  const std::optional<RegionLayout>& trailing_region_layout() const { return trailing_region_; }
  uint32_t num_regions() const { return num_full_regions_ + (trailing_region_ ? 1u : 0u); }

  // The layout of region `region` (below num_regions()).
  RegionLayout region_layout(uint32_t region) const;
  // The file offset where region `region` starts.
  uint64_t region_base_address(uint32_t region) const;
  // The file length this layout needs: the super-header page and every region.
  uint64_t len() const;

  // Gives back `pages` data pages at the end of the file: a trailing region shrinks
  // (and goes when empty); a full last region becomes a trailing region of the rest.
  void reduce_last_region(uint32_t pages);

  bool operator==(const DatabaseLayout&) const = default;

 private:
  uint32_t num_full_regions_;
  RegionLayout full_region_layout_;
  std::optional<RegionLayout> trailing_region_;
};

}  // namespace storage
