#include "storage/src/tree_store/page_store/region.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>
#include <utility>

#include "storage/src/panic.h"
#include "storage/src/tree_store/page_store/base.h"

namespace storage {
namespace {

StorageError corrupt(const std::string& what) {
  return StorageError::Corrupted("Region tracker image " + what);
}

// Image header: the order count and one u32 length per order.
constexpr size_t kImageHeaderSize = 4 + 4 * size_t{RegionTracker::kOrders};
static_assert(kImageHeaderSize == 88);

// Trackers of new files have room for this many regions before they grow.
constexpr uint32_t kInitialTrackerCapacity = 1000;

}  // namespace

// ---- RegionTracker ----

RegionTracker::RegionTracker(uint32_t capacity, uint8_t orders) {
  STORAGE_ASSERT(orders >= 1);
  order_trackers_.reserve(orders);
  for (uint8_t k = 0; k < orders; ++k) {
    order_trackers_.push_back(BtreeBitmap::new_padded(capacity, capacity, kMaxRegions));
  }
}

std::optional<uint32_t> RegionTracker::first_candidate(uint8_t order) const {
  STORAGE_ASSERT(order < order_trackers_.size());
  return order_trackers_[order].find_first_unset();
}

void RegionTracker::mark_exhausted(uint8_t order, uint32_t region) {
  for (size_t k = order; k < order_trackers_.size(); ++k) order_trackers_[k].set(region);
}

void RegionTracker::mark_available(uint8_t order, uint32_t region) {
  if (order >= order_trackers_.size()) {
    panic("assertion failed: order < self.order_trackers.len()");
  }
  for (size_t k = 0; k <= order; ++k) order_trackers_[k].clear(region);
}

void RegionTracker::resize(uint32_t regions) {
  for (BtreeBitmap& b : order_trackers_) b.resize(regions, true);
}

std::vector<uint8_t> RegionTracker::to_vec() const {
  size_t n = order_trackers_.size();
  std::vector<uint8_t> out(4 + 4 * n, 0);
  store_le32(out.data(), static_cast<uint32_t>(n));
  for (size_t k = 0; k < n; ++k) {
    size_t before = out.size();
    order_trackers_[k].append_to(out);
    size_t length = out.size() - before;
    STORAGE_ASSERT(length <= std::numeric_limits<uint32_t>::max());
    store_le32(out.data() + 4 + 4 * k, static_cast<uint32_t>(length));
  }
  return out;
}

Result<RegionTracker, StorageError> RegionTracker::from_bytes(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return Err{corrupt("is shorter than its order count")};
  uint32_t n = load_le32(bytes.data());
  if (n != kOrders) {
    return Err{corrupt("has " + std::to_string(n) + " orders, not " + std::to_string(kOrders))};
  }
  size_t start = kImageHeaderSize;
  if (bytes.size() < start) {
    return Err{corrupt("of " + std::to_string(bytes.size()) + " bytes is shorter than its " +
                       "order lengths")};
  }
  std::vector<BtreeBitmap> trackers;
  trackers.reserve(n);
  for (size_t k = 0; k < n; ++k) {
    size_t length = load_le32(bytes.data() + 4 + 4 * k);
    if (length > bytes.size() - start) {
      return Err{corrupt("has an order " + std::to_string(k) + " length of " +
                         std::to_string(length) + " running past its end")};
    }
    TRY_ASSIGN(BtreeBitmap bitmap, BtreeBitmap::from_bytes(bytes.subspan(start, length)));
    if (bitmap.len() > kMaxRegions || bitmap.height() < BtreeBitmap::height_for(kMaxRegions)) {
      return Err{corrupt("has an order " + std::to_string(k) + " bitmap of " +
                         std::to_string(bitmap.len()) + " regions and height " +
                         std::to_string(bitmap.height()))};
    }
    if (!trackers.empty() && bitmap.len() != trackers.front().len()) {
      return Err{corrupt("has orders of " + std::to_string(trackers.front().len()) + " and " +
                         std::to_string(bitmap.len()) + " regions")};
    }
    trackers.push_back(std::move(bitmap));
    start += length;
  }
  if (start != bytes.size()) {
    return Err{corrupt("has " + std::to_string(bytes.size() - start) +
                       " bytes after its last order")};
  }
  return RegionTracker(std::move(trackers));
}

// ---- Allocators ----

Allocators::Allocators(const AllocatorLayout& layout)
    : tracker_(std::max(layout.num_regions(), kInitialTrackerCapacity), RegionTracker::kOrders) {
  uint32_t regions = layout.num_regions();
  buddies_.reserve(regions);
  for (uint32_t i = 0; i < regions; ++i) {
    BuddyAllocator buddy(layout.region_pages(i), layout.full_region_pages);
    // Every order is promised; a failed attempt corrects the promise.
    tracker_.mark_available(buddy.max_order(), i);
    buddies_.push_back(std::move(buddy));
  }
}

Result<Allocators, StorageError> Allocators::from_parts(RegionTracker tracker,
                                                        std::vector<BuddyAllocator> buddies,
                                                        const AllocatorLayout& layout) {
  auto bad = [](const std::string& what) {
    return StorageError::Corrupted("Allocator state " + what);
  };
  const uint32_t full = layout.full_region_pages;
  const uint32_t new_regions = layout.num_regions();
  STORAGE_ASSERT(full >= 1 && new_regions >= 1);
  uint32_t regions = static_cast<uint32_t>(buddies.size());
  if (regions == 0 || regions > RegionTracker::kMaxRegions) {
    return Err{bad("has " + std::to_string(regions) + " regions")};
  }
  if (tracker.num_orders() != RegionTracker::kOrders || tracker.len() < regions) {
    return Err{corrupt("covers " + std::to_string(tracker.len()) + " of " +
                       std::to_string(regions) + " regions")};
  }
  for (uint8_t k = 0; k < tracker.num_orders(); ++k) {
    if (tracker.order_tracker(k).any_unset(regions, tracker.len())) {
      return Err{corrupt("promises free blocks in a region without an allocator")};
    }
  }
  // Every allocator was built for a full region of this layout: its maximum
  // order, and bitmaps that can grow to the full region without new levels.
  const uint8_t max_order = static_cast<uint8_t>(
      std::min<int>(std::bit_width(full) - 1, BuddyAllocator::kMaxOrder));
  for (uint32_t i = 0; i < regions; ++i) {
    const BuddyAllocator& b = buddies[i];
    const std::string region = "has region " + std::to_string(i) + " of " +
                               std::to_string(b.len()) + " pages and max order " +
                               std::to_string(b.max_order());
    if (b.max_order() != max_order) {
      return Err{bad(region + ", for full regions of " + std::to_string(full) + " pages")};
    }
    for (uint8_t k = 0; k <= max_order; ++k) {
      if (b.order_bitmap(k).height() < BtreeBitmap::height_for(std::max(full >> k, 1u))) {
        return Err{bad(region + " whose order " + std::to_string(k) +
                       " bitmap cannot grow to a full region")};
      }
    }
    // Every region but the last is full, and the last is no longer.
    if (i + 1 < regions ? b.len() != full : b.len() > full) {
      return Err{bad(region + ", for full regions of " + std::to_string(full) + " pages")};
    }
  }
  // What the layout cuts off must be free: the layout shrinks only by free
  // trailing pages, so anything else means the images belong to another file.
  for (uint32_t i = new_regions; i < regions; ++i) {
    if (buddies[i].trailing_free_pages() != buddies[i].len()) {
      return Err{bad("has pages in use in region " + std::to_string(i) + ", beyond the file's " +
                     std::to_string(new_regions) + " regions")};
    }
  }
  const uint32_t last = std::min(regions, new_regions) - 1;
  const uint32_t kept = layout.region_pages(last);
  const BuddyAllocator& b = buddies[last];
  if (kept < b.len() && b.trailing_free_pages() < b.len() - kept) {
    return Err{bad("has pages in use in region " + std::to_string(last) + " beyond its " +
                   std::to_string(kept) + " pages in the file")};
  }
  Allocators out(std::move(tracker), std::move(buddies));
  out.resize_to(layout);
  return out;
}

void Allocators::resize_to(const AllocatorLayout& layout) {
  uint32_t regions = static_cast<uint32_t>(buddies_.size());
  uint32_t new_regions = layout.num_regions();
  STORAGE_ASSERT(regions >= 1 && new_regions >= 1);
  uint32_t last_pages = buddies_.back().len();
  uint32_t new_last_pages = layout.region_pages(new_regions - 1);
  bool grow = new_regions > regions || (new_regions == regions && new_last_pages > last_pages);
  bool shrink = new_regions < regions || (new_regions == regions && new_last_pages < last_pages);
  if (grow) {
    for (uint32_t i = 0; i < new_regions; ++i) {
      uint32_t pages = layout.region_pages(i);
      if (i < regions) {
        BuddyAllocator& buddy = buddies_[i];
        if (pages < buddy.len()) {
          panic("assertion failed: new_region.num_pages() >= allocator.len()");
        }
        if (pages != buddy.len()) {
          buddy.resize(pages);
          std::optional<uint8_t> order = buddy.largest_free_order();
          STORAGE_ASSERT(order.has_value());
          tracker_.mark_available(*order, i);
        }
      } else {
        BuddyAllocator buddy(pages, layout.full_region_pages);
        if (i >= tracker_.len()) tracker_.resize(i + 1);
        std::optional<uint8_t> order = buddy.largest_free_order();
        STORAGE_ASSERT(order.has_value());
        tracker_.mark_available(*order, i);
        buddies_.push_back(std::move(buddy));
      }
    }
  } else if (shrink) {
    // Order 0 and up: the dropped regions can serve nothing.
    for (uint32_t i = new_regions; i < regions; ++i) tracker_.mark_exhausted(0, i);
    buddies_.erase(buddies_.begin() + new_regions, buddies_.end());
    BuddyAllocator& last = buddies_.back();
    if (new_last_pages < last.len()) last.resize(new_last_pages);
  }
}

}  // namespace storage
