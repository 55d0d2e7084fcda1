// The allocator of one region: hands out runs of 2^k pages (blocks of order k,
// k <= 20) aligned to their own size, splitting larger free blocks and merging
// freed buddies back together.
//
// Thread safety: none of its own; the page store calls it under its state mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_store/bitmap.h"

namespace storage {

class BuddyAllocator {
 public:
  static constexpr uint8_t kMaxOrder = 20;
  static constexpr uint32_t kMaxRegionPages = uint32_t{1} << 20;

  // `num_pages` pages, all free, in a region that may grow to
  // `max_page_capacity` pages (>= 1), which also fixes the maximum order.
  BuddyAllocator(uint32_t num_pages, uint32_t max_page_capacity);

  uint32_t len() const { return len_; }
  uint8_t max_order() const { return max_order_; }
  // The bitmap of order k: entry j is clear when block j is free as a whole.
  const BtreeBitmap& order_bitmap(uint8_t order) const { return free_[order]; }

  // The lowest free block of the order, or the lower half of a split block of
  // the next order up; none when nothing large enough is free.
  std::optional<uint32_t> alloc_inner(uint8_t order);
  // The lowest-addressed block of the order that free space can provide.
  std::optional<uint32_t> alloc_lowest(uint8_t order);
  // Frees an allocated block, merging it with free buddies below the maximum
  // order; returns the order of the free block it became part of. Freeing a
  // block outside the region, or one that is wholly or partly free already,
  // panics: it would hand the same pages out twice.
  uint8_t free_inner(uint32_t page_index, uint8_t order);
  // Why freeing the block would be wrong (outside the region, wholly or partly
  // free already), or none when free_inner would accept it.
  std::optional<std::string> check_free(uint32_t page_index, uint8_t order) const {
    return free_fault(page_index, order);
  }
  // Marks a block that lies in free space as allocated (repair). A block
  // outside the region or not wholly free is Corrupted: its page number came
  // from the file.
  Result<void, StorageError> record_alloc(uint32_t page_index, uint8_t order);

  // Free pages in the run that ends at the region's last page.
  uint32_t trailing_free_pages() const;
  // The highest order with a free block; none when no page is free.
  std::optional<uint8_t> largest_free_order() const;

  // Grows (new pages free, merged with free space at the old end) or shrinks
  // (the pages beyond the new end must be free) the region.
  void resize(uint32_t new_size);

  // Image: max order (u8), 3 zero bytes, page count (u32), max order + 1 end
  // offsets of the order bitmaps' images (u32, from the image's start), then the
  // bitmap images of orders 0..max order.
  std::vector<uint8_t> to_vec() const;
  // Reads an image and checks that it adds up, including that no page lies in
  // two free blocks and that no two buddies below the maximum order are both
  // free; anything else is Corrupted.
  static Result<BuddyAllocator, StorageError> from_bytes(std::span<const uint8_t> bytes);

  bool operator==(const BuddyAllocator&) const = default;

 private:
  BuddyAllocator(std::vector<BtreeBitmap> free, uint32_t len, uint8_t max_order)
      : free_(std::move(free)), len_(len), max_order_(max_order) {}

  bool is_clear(uint32_t index, uint8_t order) const { return free_[order].exists_clear(index); }
  // Why freeing the block would be wrong, or none when it is allocated.
  std::optional<std::string> free_fault(uint32_t page_index, uint8_t order) const;
  uint8_t free_unchecked(uint32_t page_index, uint8_t order);
  void record_alloc_inner(uint32_t page_index, uint8_t order);

  std::vector<BtreeBitmap> free_;
  uint32_t len_ = 0;
  uint8_t max_order_ = 0;
};

}  // namespace storage
