// Bit sets for the page allocators: one flat level (U64GroupedBitmap) and a
// 64-way tree of levels (BtreeBitmap) that finds its lowest clear bit by reading
// one word per level. A set bit means unavailable, a clear bit available.
//
// Thread safety: plain values; the page store uses them only under its state
// mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"

namespace storage {

// One level: `len` valid bits in 64-bit words, bit i being bit (i mod 64) of
// word i / 64. Every bit at a position >= len inside `data` is set.
class U64GroupedBitmap {
 public:
  static constexpr uint64_t kFull = ~uint64_t{0};

  // `len` bits in ceil(capacity / 64) words of all ones (capacity >= len).
  static U64GroupedBitmap new_full(uint32_t len, uint32_t capacity);

  uint32_t len() const { return len_; }
  const std::vector<uint64_t>& data() const { return data_; }
  size_t num_words() const { return data_.size(); }
  uint64_t word(size_t w) const { return data_[w]; }
  bool word_full(size_t w) const { return data_[w] == kFull; }

  // Bit access; callers stay below len() (the tree checks its own bounds).
  bool get(uint32_t bit) const { return (data_[bit / 64] >> (bit % 64)) & 1; }
  // Sets the bit and answers whether its word is now all ones.
  bool set(uint32_t bit) {
    uint64_t& w = data_[bit / 64];
    w |= uint64_t{1} << (bit % 64);
    return w == kFull;
  }
  void clear(uint32_t bit) { data_[bit / 64] &= ~(uint64_t{1} << (bit % 64)); }

  // Grows or shrinks the valid length; see BtreeBitmap::resize.
  void resize(uint32_t new_len, bool set_new);

  // Whether any bit in [start, end) is clear; end <= len().
  bool any_unset(uint32_t start, uint32_t end) const;

  // Image: len (u32), then the first ceil(len / 64) words (u64 each).
  size_t image_size() const { return 4 + 8 * size_t{words_for(len_)}; }
  void append_to(std::vector<uint8_t>& out) const;
  std::vector<uint8_t> to_vec() const;
  // Reads one level image; every malformed image is Corrupted.
  static Result<U64GroupedBitmap, StorageError> from_bytes(std::span<const uint8_t> bytes);

  static uint32_t words_for(uint32_t bits) { return bits / 64 + (bits % 64 != 0); }

  bool operator==(const U64GroupedBitmap&) const = default;

 private:
  U64GroupedBitmap(uint32_t len, std::vector<uint64_t> data) : len_(len), data_(std::move(data)) {}

  uint32_t len_ = 0;
  std::vector<uint64_t> data_;
};

// A 64-way tree of levels, root first: level k-1 has one bit per word of level
// k, set exactly when that word is all ones. The leaf level has one bit per
// entry. A padded bitmap carries extra 1-bit root levels so that it can later
// grow to its padded capacity without adding levels.
class BtreeBitmap {
 public:
  // Every bit set: `len` entries, room for `capacity` without reallocation, and
  // enough levels to be resized up to `padded_capacity` entries.
  static BtreeBitmap new_padded(uint32_t len, uint32_t capacity, uint32_t padded_capacity);

  // The number of levels a bitmap of `capacity` entries needs.
  static uint32_t height_for(uint32_t capacity);

  uint32_t len() const { return levels_.back().len(); }
  uint32_t height() const { return static_cast<uint32_t>(levels_.size()); }
  const U64GroupedBitmap& level(uint32_t k) const { return levels_[k]; }

  bool get(uint32_t bit) const;
  // Whether the entry exists and is clear; no bound to keep.
  bool exists_clear(uint32_t bit) const {
    const U64GroupedBitmap& leaves = levels_.back();
    return bit < leaves.len() && !leaves.get(bit);
  }
  void set(uint32_t bit);
  void clear(uint32_t bit);
  // The lowest clear entry, without changing anything.
  std::optional<uint32_t> find_first_unset() const;
  // Whether any entry in [start, end) is clear; end <= len().
  bool any_unset(uint32_t start, uint32_t end) const;

  // New length; grown entries are set (`set_new`) or cleared. Shrinking keeps
  // the values of the entries beyond the new end: the caller sets them first.
  void resize(uint32_t new_len, bool set_new);

  // Image: height H (u32), H end offsets of the level images counted from the
  // image's start (u32 each), then the level images root first.
  std::vector<uint8_t> to_vec() const;
  size_t image_size() const;
  void append_to(std::vector<uint8_t>& out) const;
  // Reads an image and checks that it adds up (offsets, word counts, bits
  // beyond each level's length, parent bits against their words); anything
  // else is Corrupted.
  static Result<BtreeBitmap, StorageError> from_bytes(std::span<const uint8_t> bytes);

  bool operator==(const BtreeBitmap&) const = default;

 private:
  explicit BtreeBitmap(std::vector<U64GroupedBitmap> levels) : levels_(std::move(levels)) {}
  void update_to_root(uint32_t bit, bool full);
  void check_bound(uint32_t bit) const;

  std::vector<U64GroupedBitmap> levels_;
};

}  // namespace storage
