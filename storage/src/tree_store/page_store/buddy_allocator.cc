#include "storage/src/tree_store/page_store/buddy_allocator.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "storage/src/panic.h"
#include "storage/src/tree_store/page_store/base.h"

namespace storage {
namespace {

std::string block_name(uint32_t page_index, uint8_t order) {
  return "page run " + std::to_string(page_index) + "/" + std::to_string(order);
}

StorageError corrupt(const std::string& what) {
  return StorageError::Corrupted("Buddy allocator image " + what);
}

// Image header: max order (1), zero (3), page count (4); then one u32 end
// offset per order.
constexpr size_t kImageHeaderSize = 1 + 3 + 4;
static_assert(kImageHeaderSize == 8);
static_assert(kImageHeaderSize + 4 * (BuddyAllocator::kMaxOrder + 1) == 92);

uint8_t floor_log2(uint32_t v) { return static_cast<uint8_t>(31 - std::countl_zero(v)); }

}  // namespace

BuddyAllocator::BuddyAllocator(uint32_t num_pages, uint32_t max_page_capacity) : len_(num_pages) {
  STORAGE_ASSERT(max_page_capacity >= 1);
  max_order_ = std::min(floor_log2(max_page_capacity), kMaxOrder);
  free_.reserve(max_order_ + 1);
  for (uint8_t k = 0; k <= max_order_; ++k) {
    free_.push_back(
        BtreeBitmap::new_padded(num_pages >> k, num_pages >> k, max_page_capacity >> k));
  }
  // Largest blocks first, so that all free space is in as few blocks as can be.
  uint32_t done = 0;
  for (int k = max_order_; k >= 0; --k) {
    uint64_t size = uint64_t{1} << k;
    while (done + size <= num_pages) {
      free_[k].clear(done >> k);
      done += static_cast<uint32_t>(size);
    }
  }
  STORAGE_ASSERT(done == num_pages);
}

std::optional<uint32_t> BuddyAllocator::alloc_inner(uint8_t order) {
  if (order > max_order_) return std::nullopt;
  if (std::optional<uint32_t> found = free_[order].find_first_unset()) {
    free_[order].set(*found);
    return found;
  }
  std::optional<uint32_t> upper = alloc_inner(order + 1);
  if (!upper) return std::nullopt;
  // Split: the upper half becomes free, the lower half (already set) is ours.
  free_[order].clear(2 * *upper + 1);
  return 2 * *upper;
}

std::optional<uint32_t> BuddyAllocator::alloc_lowest(uint8_t order) {
  // A larger block may lie lower than the lowest block of the wanted order.
  // Taking a block from every order and giving back all but the lowest would
  // end in the same state: each order's lowest free block is compared directly.
  if (order > max_order_) return std::nullopt;
  std::optional<uint32_t> best_index;
  uint8_t best_order = order;
  uint64_t best_position = 0;
  for (uint8_t o = order; o <= max_order_; ++o) {
    std::optional<uint32_t> u = free_[o].find_first_unset();
    if (!u) continue;
    uint64_t position = uint64_t{*u} << (o - order);
    if (!best_index || position < best_position) {
      best_index = *u;
      best_order = o;
      best_position = position;
    }
  }
  if (!best_index) return std::nullopt;
  uint32_t index = *best_index;
  free_[best_order].set(index);
  // Split down to the wanted order; the upper halves become free.
  while (best_order > order) {
    --best_order;
    index *= 2;
    free_[best_order].clear(index + 1);
  }
  STORAGE_ASSERT(index == best_position);
  return index;
}

std::optional<std::string> BuddyAllocator::free_fault(uint32_t page_index, uint8_t order) const {
  // Texts are built only for a fault: this runs on every free.
  auto name = [&] { return block_name(page_index, order); };
  if (order > max_order_) {
    return name() + " has an order above the maximum " + std::to_string(max_order_);
  }
  if (page_index >= free_[order].len()) {
    return name() + " lies outside the region of " + std::to_string(len_) + " pages";
  }
  if (!free_[order].get(page_index)) return name() + " is already free";
  for (uint8_t k = order + 1; k <= max_order_; ++k) {
    if (is_clear(page_index >> (k - order), k)) {
      return name() + " lies inside the free " + block_name(page_index >> (k - order), k);
    }
  }
  for (uint8_t k = 0; k < order; ++k) {
    uint32_t shift = order - k;
    uint32_t start = page_index << shift;
    uint32_t end = static_cast<uint32_t>((uint64_t{page_index} + 1) << shift);
    if (free_[k].any_unset(start, end)) return name() + " holds free pages already";
  }
  return std::nullopt;
}

uint8_t BuddyAllocator::free_inner(uint32_t page_index, uint8_t order) {
  if (std::optional<std::string> fault = free_fault(page_index, order)) {
    panic("Cannot free " + *fault);
  }
  return free_unchecked(page_index, order);
}

uint8_t BuddyAllocator::free_unchecked(uint32_t page_index, uint8_t order) {
  uint32_t j = page_index;
  uint8_t k = order;
  while (k < max_order_) {
    uint32_t buddy = j ^ 1;
    if (!is_clear(buddy, k)) {
      free_[k].clear(j);
      return k;
    }
    // The buddy leaves the free set; the merged block continues upward.
    free_[k].set(buddy);
    j /= 2;
    ++k;
  }
  free_[k].clear(j);
  return k;
}

Result<void, StorageError> BuddyAllocator::record_alloc(uint32_t page_index, uint8_t order) {
  auto name = [&] { return block_name(page_index, order); };
  if (order > max_order_) {
    return Err{StorageError::Corrupted("Cannot mark " + name() + " allocated: its order is above " +
                                       std::to_string(max_order_))};
  }
  if (page_index >= free_[order].len()) {
    return Err{StorageError::Corrupted("Cannot mark " + name() + " allocated: it lies outside the "
                                       "region of " + std::to_string(len_) + " pages")};
  }
  bool in_free_space = false;
  for (uint8_t k = order; k <= max_order_ && !in_free_space; ++k) {
    in_free_space = is_clear(page_index >> (k - order), k);
  }
  if (!in_free_space) {
    return Err{StorageError::Corrupted("Cannot mark " + name() +
                                       " allocated: it is allocated already")};
  }
  record_alloc_inner(page_index, order);
  return {};
}

void BuddyAllocator::record_alloc_inner(uint32_t page_index, uint8_t order) {
  if (!free_[order].get(page_index)) {
    free_[order].set(page_index);
    return;
  }
  if (order >= max_order_) panic("Cannot mark " + block_name(page_index, order) +
                                 " allocated: it is not in free space");
  record_alloc_inner(page_index / 2, order + 1);
  free_[order].clear(page_index ^ 1);
}

uint32_t BuddyAllocator::trailing_free_pages() const {
  if (len_ == 0) return 0;
  uint32_t count = 0;
  uint32_t p = len_ - 1;
  while (true) {
    std::optional<uint8_t> found;
    for (uint8_t k = 0; k <= max_order_; ++k) {
      if (is_clear(p >> k, k)) {
        found = k;
        break;
      }
    }
    if (!found) return count;
    uint32_t size = uint32_t{1} << *found;
    count += size;
    if (p < size) return count;
    p -= size;
  }
}

std::optional<uint8_t> BuddyAllocator::largest_free_order() const {
  for (int k = max_order_; k >= 0; --k) {
    if (free_[k].find_first_unset()) return static_cast<uint8_t>(k);
  }
  return std::nullopt;
}

void BuddyAllocator::resize(uint32_t new_size) {
  uint32_t old = len_;
  if (new_size > old) {
    for (uint8_t k = 0; k <= max_order_; ++k) free_[k].resize(new_size >> k, true);
    uint64_t p = old;
    // Blocks that bring p to a well-aligned position, merging with free space
    // that ended at the old end.
    while (p < new_size) {
      uint32_t k = std::countr_zero(static_cast<uint32_t>(p));
      if (k >= max_order_ || p + (uint64_t{1} << k) > new_size) break;
      free_unchecked(static_cast<uint32_t>(p >> k), static_cast<uint8_t>(k));
      p += uint64_t{1} << k;
    }
    for (int k = max_order_; k >= 0; --k) {
      while (p + (uint64_t{1} << k) <= new_size) {
        free_unchecked(static_cast<uint32_t>(p >> k), static_cast<uint8_t>(k));
        p += uint64_t{1} << k;
      }
    }
    STORAGE_ASSERT(p == new_size);
  } else {
    uint64_t p = new_size;
    while (p < old) {
      uint32_t k = std::countr_zero(static_cast<uint32_t>(p));
      if (k >= max_order_ || p + (uint64_t{1} << k) > old) break;
      record_alloc_inner(static_cast<uint32_t>(p >> k), static_cast<uint8_t>(k));
      p += uint64_t{1} << k;
    }
    for (int k = max_order_; k >= 0; --k) {
      while (p + (uint64_t{1} << k) <= old) {
        record_alloc_inner(static_cast<uint32_t>(p >> k), static_cast<uint8_t>(k));
        p += uint64_t{1} << k;
      }
    }
    STORAGE_ASSERT(p == old);
    for (uint8_t k = 0; k <= max_order_; ++k) free_[k].resize(new_size >> k, true);
  }
  len_ = new_size;
}

std::vector<uint8_t> BuddyAllocator::to_vec() const {
  size_t header = kImageHeaderSize + 4 * (size_t{max_order_} + 1);
  size_t size = header;
  for (const BtreeBitmap& b : free_) size += b.image_size();
  std::vector<uint8_t> out(header, 0);
  out.reserve(size);
  out[0] = max_order_;
  store_le32(out.data() + 4, len_);
  for (size_t k = 0; k < free_.size(); ++k) {
    free_[k].append_to(out);
    store_le32(out.data() + 8 + 4 * k, static_cast<uint32_t>(out.size()));
  }
  return out;
}

Result<BuddyAllocator, StorageError> BuddyAllocator::from_bytes(std::span<const uint8_t> bytes) {
  if (bytes.size() < kImageHeaderSize) return Err{corrupt("is shorter than its 8-byte header")};
  uint8_t max_order = bytes[0];
  if (max_order > kMaxOrder) {
    return Err{corrupt("has max order " + std::to_string(max_order) + " above " +
                       std::to_string(kMaxOrder))};
  }
  if (bytes[1] != 0 || bytes[2] != 0 || bytes[3] != 0) return Err{corrupt("has non-zero padding")};
  uint32_t len = load_le32(bytes.data() + 4);
  // A region has at least one page, at most 2^20, and fewer than twice the
  // block size of its maximum order.
  if (len == 0 || len > kMaxRegionPages || (uint64_t{len} >> max_order) >= 2) {
    return Err{corrupt("has " + std::to_string(len) + " pages for max order " +
                       std::to_string(max_order))};
  }
  size_t start = kImageHeaderSize + 4 * (size_t{max_order} + 1);
  if (bytes.size() < start) {
    return Err{corrupt("of " + std::to_string(bytes.size()) + " bytes is shorter than its " +
                       "order offsets")};
  }
  std::vector<BtreeBitmap> free;
  free.reserve(max_order + 1);
  for (uint8_t k = 0; k <= max_order; ++k) {
    size_t end = load_le32(bytes.data() + 8 + 4 * size_t{k});
    if (end < start || end > bytes.size()) {
      return Err{corrupt("has order end offset " + std::to_string(end) + " outside " +
                         std::to_string(start) + ".." + std::to_string(bytes.size()))};
    }
    TRY_ASSIGN(BtreeBitmap bitmap, BtreeBitmap::from_bytes(bytes.subspan(start, end - start)));
    if (bitmap.len() != (len >> k)) {
      return Err{corrupt("has " + std::to_string(bitmap.len()) + " blocks of order " +
                         std::to_string(k) + " for " + std::to_string(len) + " pages")};
    }
    // Room to grow to a full region without adding levels.
    if (bitmap.height() < BtreeBitmap::height_for((uint32_t{1} << max_order) >> k)) {
      return Err{corrupt("has an order " + std::to_string(k) + " bitmap of height " +
                         std::to_string(bitmap.height()))};
    }
    free.push_back(std::move(bitmap));
    start = end;
  }
  if (start != bytes.size()) {
    return Err{corrupt("has " + std::to_string(bytes.size() - start) +
                       " bytes after its last order")};
  }
  BuddyAllocator allocator(std::move(free), len, max_order);
  // Every free page lies in exactly one free block, and buddies below the
  // maximum order are merged.
  for (uint8_t k = 0; k <= max_order; ++k) {
    const U64GroupedBitmap& leaves = allocator.free_[k].level(allocator.free_[k].height() - 1);
    for (size_t w = 0; w < leaves.num_words(); ++w) {
      for (uint64_t clear = ~leaves.word(w); clear != 0; clear &= clear - 1) {
        uint32_t j = static_cast<uint32_t>(w * 64 + std::countr_zero(clear));
        if (k < max_order && allocator.is_clear(j ^ 1, k)) {
          return Err{corrupt("has free buddies " + block_name(j & ~1u, k) + " and " +
                             block_name(j | 1u, k))};
        }
        for (uint8_t up = k + 1; up <= max_order; ++up) {
          if (allocator.is_clear(j >> (up - k), up)) {
            return Err{corrupt("has free " + block_name(j, k) + " inside free " +
                               block_name(j >> (up - k), up))};
          }
        }
      }
    }
  }
  return allocator;
}

}  // namespace storage
