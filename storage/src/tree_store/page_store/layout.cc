#include "storage/src/tree_store/page_store/layout.h"

#include <utility>

#include "storage/src/panic.h"

namespace storage {

RegionLayout::RegionLayout(uint32_t num_pages, uint32_t header_pages, uint32_t page_size)
    : num_pages_(num_pages), header_pages_(header_pages), page_size_(page_size) {
  if (num_pages == 0) panic("assertion failed: num_pages > 0");
}

std::string RegionLayout::debug() const {
  return "RegionLayout { num_pages: " + std::to_string(num_pages_) +
         ", header_pages: " + std::to_string(header_pages_) +
         ", page_size: " + std::to_string(page_size_) + " }";
}

DatabaseLayout::DatabaseLayout(uint32_t num_full_regions, RegionLayout full_region_layout,
                               std::optional<RegionLayout> trailing_region)
    : num_full_regions_(num_full_regions),
      full_region_layout_(full_region_layout),
      trailing_region_(std::move(trailing_region)) {
  if (trailing_region_) {
    const RegionLayout& t = *trailing_region_;
    if (t.header_pages() != full_region_layout_.header_pages() ||
        t.page_size() != full_region_layout_.page_size() ||
        t.num_pages() > full_region_layout_.num_pages()) {
      panic("trailing region " + t.debug() + " does not fit full region " +
            full_region_layout_.debug());
    }
  }
}

DatabaseLayout DatabaseLayout::calculate(uint64_t desired_usable_bytes, uint32_t page_capacity,
                                         uint32_t region_header_pages, uint32_t page_size) {
  if (page_capacity == 0) panic("assertion failed: num_pages > 0");
  if (page_size == 0) panic("assertion failed: page_size > 0");
  const RegionLayout full(page_capacity, region_header_pages, page_size);
  const uint64_t region_bytes = static_cast<uint64_t>(page_capacity) * page_size;
  auto pages_for = [&](uint64_t bytes) {
    const uint64_t pages = (bytes + page_size - 1) / page_size;
    if (pages > UINT32_MAX) panic("layout page count does not fit 32 bits");
    return static_cast<uint32_t>(pages);
  };
  if (desired_usable_bytes <= region_bytes) {
    return DatabaseLayout(
        0, full, RegionLayout(pages_for(desired_usable_bytes), region_header_pages, page_size));
  }
  const uint64_t full_regions = desired_usable_bytes / region_bytes;
  if (full_regions > UINT32_MAX) panic("layout region count does not fit 32 bits");
  const uint64_t remainder = desired_usable_bytes % region_bytes;
  std::optional<RegionLayout> trailing;
  if (remainder > 0) trailing = RegionLayout(pages_for(remainder), region_header_pages, page_size);
  return DatabaseLayout(static_cast<uint32_t>(full_regions), full, trailing);
}

RegionLayout DatabaseLayout::region_layout(uint32_t region) const {
  if (region >= num_regions()) panic("assertion failed: region < self.num_regions()");
  if (region == num_full_regions_) return *trailing_region_;
  return full_region_layout_;
}

uint64_t DatabaseLayout::region_base_address(uint32_t region) const {
  return full_region_layout_.page_size() +
         static_cast<uint64_t>(region) * full_region_layout_.len();
}

uint64_t DatabaseLayout::len() const {
  uint64_t len = region_base_address(num_full_regions_);
  if (trailing_region_) len += trailing_region_->len();
  return len;
}

void DatabaseLayout::reduce_last_region(uint32_t pages) {
  if (trailing_region_) {
    if (pages > trailing_region_->num_pages()) {
      panic("assertion failed: pages <= trailing.num_pages");
    }
    const uint32_t left = trailing_region_->num_pages() - pages;
    if (left == 0) {
      trailing_region_.reset();
    } else {
      trailing_region_ =
          RegionLayout(left, full_region_layout_.header_pages(), full_region_layout_.page_size());
    }
    return;
  }
  if (num_full_regions_ == 0 || pages > full_region_layout_.num_pages()) {
    panic("assertion failed: pages <= last_full.num_pages");
  }
  num_full_regions_ -= 1;
  const uint32_t left = full_region_layout_.num_pages() - pages;
  if (left > 0) {
    trailing_region_ =
        RegionLayout(left, full_region_layout_.header_pages(), full_region_layout_.page_size());
  }
}

}  // namespace storage
