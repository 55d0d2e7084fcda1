// The allocators of a whole file: one buddy allocator per region, and a tracker
// that remembers, per block order, which regions are known to have no free
// block of that order, so that an allocation goes straight to a region that may
// serve it.
//
// Thread safety: none of their own; the page store uses them under its state
// mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_store/bitmap.h"
#include "storage/src/tree_store/page_store/buddy_allocator.h"

namespace storage {

class RegionTracker {
 public:
  static constexpr uint32_t kOrders = 21;
  // The most regions a page number can address; every bitmap is padded for it.
  static constexpr uint32_t kMaxRegions = uint32_t{1} << 20;

  // `orders` bitmaps of `capacity` regions each, every bit set.
  RegionTracker(uint32_t capacity, uint8_t orders);

  uint32_t len() const { return order_trackers_.front().len(); }
  size_t num_orders() const { return order_trackers_.size(); }
  const BtreeBitmap& order_tracker(uint8_t order) const { return order_trackers_[order]; }

  // The lowest region that may have a free block of the order.
  std::optional<uint32_t> first_candidate(uint8_t order) const;
  // The region has no free block of this order, nor of any larger one.
  void mark_exhausted(uint8_t order, uint32_t region);
  // The region has a free block of this order, so of every smaller one too.
  void mark_available(uint8_t order, uint32_t region);
  // New region count for every order; added regions start exhausted.
  void resize(uint32_t regions);

  // Image: order count N (u32), N byte lengths of the order bitmaps' images
  // (u32 each), then the bitmap images of orders 0..N-1.
  std::vector<uint8_t> to_vec() const;
  // Reads an image and checks that it adds up (21 orders of equal length,
  // padded for 2^20 regions, lengths that fill the image exactly); anything
  // else is Corrupted.
  static Result<RegionTracker, StorageError> from_bytes(std::span<const uint8_t> bytes);

  bool operator==(const RegionTracker&) const = default;

 private:
  explicit RegionTracker(std::vector<BtreeBitmap> order_trackers)
      : order_trackers_(std::move(order_trackers)) {}

  std::vector<BtreeBitmap> order_trackers_;
};

// The region geometry the allocators follow, as the file's region layout gives
// it: the data pages of a full region, the number of full regions, and the
// data pages of a shorter trailing last region (0 = none).
struct AllocatorLayout {
  uint32_t full_region_pages = 0;
  uint32_t full_regions = 0;
  uint32_t trailing_region_pages = 0;

  uint32_t num_regions() const { return full_regions + (trailing_region_pages > 0 ? 1 : 0); }
  uint32_t region_pages(uint32_t region) const {
    return region < full_regions ? full_region_pages : trailing_region_pages;
  }
  bool operator==(const AllocatorLayout&) const = default;
};

class Allocators {
 public:
  // Every region all free, each promised to every order up to its maximum.
  explicit Allocators(const AllocatorLayout& layout);
  // Rebuilt from saved images (bytes from the file, so nothing is trusted) and
  // fitted to `layout`, the layout they are installed on. Corrupted unless the
  // tracker covers every allocator and keeps the bits of regions without one
  // set; every allocator has the layout's maximum order (min(floor(log2 M),
  // 20) for M pages in a full region) and room to grow to M pages; all but
  // the last hold M pages and the last no more; and what the layout cuts off
  // (regions beyond it, pages beyond its last region) is free. Fitting cannot
  // fail after these checks.
  static Result<Allocators, StorageError> from_parts(RegionTracker tracker,
                                                     std::vector<BuddyAllocator> buddies,
                                                     const AllocatorLayout& layout);

  RegionTracker& tracker() { return tracker_; }
  const RegionTracker& tracker() const { return tracker_; }
  std::vector<BuddyAllocator>& buddies() { return buddies_; }
  const std::vector<BuddyAllocator>& buddies() const { return buddies_; }

  // Follows a new layout: grows the last region and adds regions, or drops
  // regions and shrinks the new last one (whose dropped pages must be free).
  void resize_to(const AllocatorLayout& layout);

 private:
  Allocators(RegionTracker tracker, std::vector<BuddyAllocator> buddies)
      : tracker_(std::move(tracker)), buddies_(std::move(buddies)) {}

  RegionTracker tracker_;
  std::vector<BuddyAllocator> buddies_;
};

}  // namespace storage
