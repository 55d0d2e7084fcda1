#include "storage/src/tree_store/page_store/bitmap.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "storage/src/panic.h"
#include "storage/src/tree_store/page_store/base.h"

namespace storage {
namespace {

StorageError corrupt(const std::string& what) {
  return StorageError::Corrupted("Bitmap image " + what);
}

// Bits lo..63 of a word.
uint64_t bits_from(uint32_t lo) { return lo >= 64 ? 0 : U64GroupedBitmap::kFull << lo; }

}  // namespace

// ---- U64GroupedBitmap ----

U64GroupedBitmap U64GroupedBitmap::new_full(uint32_t len, uint32_t capacity) {
  STORAGE_ASSERT(capacity >= len);
  return U64GroupedBitmap(len, std::vector<uint64_t>(words_for(capacity), kFull));
}

void U64GroupedBitmap::resize(uint32_t new_len, bool set_new) {
  uint32_t words = words_for(new_len);
  if (data_.size() < words) data_.resize(words, set_new ? kFull : 0);
  if (new_len > len_) {
    // Bits len_..new_len-1, word by word.
    for (uint32_t bit = len_; bit < new_len;) {
      uint32_t w = bit / 64;
      uint32_t lo = bit % 64;
      uint32_t hi = std::min<uint64_t>(64, uint64_t{lo} + (new_len - bit));
      uint64_t mask = bits_from(lo) & ~bits_from(hi);
      if (set_new) {
        data_[w] |= mask;
      } else {
        data_[w] &= ~mask;
      }
      bit += hi - lo;
    }
    // Keep the bits beyond the length set, also after clearing.
    if (!set_new && new_len % 64 != 0) data_[new_len / 64] |= bits_from(new_len % 64);
  }
  len_ = new_len;
}

bool U64GroupedBitmap::any_unset(uint32_t start, uint32_t end) const {
  for (uint32_t bit = start; bit < end;) {
    uint32_t w = bit / 64;
    uint32_t lo = bit % 64;
    uint32_t hi = std::min<uint64_t>(64, uint64_t{lo} + (end - bit));
    uint64_t mask = bits_from(lo) & ~bits_from(hi);
    if ((data_[w] & mask) != mask) return true;
    bit += hi - lo;
  }
  return false;
}

void U64GroupedBitmap::append_to(std::vector<uint8_t>& out) const {
  size_t at = out.size();
  uint32_t words = words_for(len_);
  out.resize(at + 4 + 8 * size_t{words});
  store_le32(out.data() + at, len_);
  for (uint32_t w = 0; w < words; ++w) store_le64(out.data() + at + 4 + 8 * size_t{w}, data_[w]);
}

std::vector<uint8_t> U64GroupedBitmap::to_vec() const {
  std::vector<uint8_t> out;
  out.reserve(image_size());
  append_to(out);
  return out;
}

Result<U64GroupedBitmap, StorageError> U64GroupedBitmap::from_bytes(
    std::span<const uint8_t> bytes) {
  if (bytes.size() < 4 || (bytes.size() - 4) % 8 != 0) {
    return Err{corrupt("has a level of " + std::to_string(bytes.size()) +
                       " bytes, not 4 plus a multiple of 8")};
  }
  uint32_t len = load_le32(bytes.data());
  size_t words = (bytes.size() - 4) / 8;
  if (words != words_for(len)) {
    return Err{corrupt("has a level of " + std::to_string(len) + " bits in " +
                       std::to_string(words) + " words")};
  }
  std::vector<uint64_t> data(words);
  for (size_t w = 0; w < words; ++w) data[w] = load_le64(bytes.data() + 4 + 8 * w);
  if (len % 64 != 0 && (data.back() | ~bits_from(len % 64)) != kFull) {
    return Err{corrupt("has clear bits beyond the level length " + std::to_string(len))};
  }
  return U64GroupedBitmap(len, std::move(data));
}

// ---- BtreeBitmap ----

uint32_t BtreeBitmap::height_for(uint32_t capacity) {
  uint32_t height = 1;
  uint64_t p = capacity;
  while (p > 64) {
    p = (p + 63) / 64;
    ++height;
  }
  return height;
}

BtreeBitmap BtreeBitmap::new_padded(uint32_t len, uint32_t capacity, uint32_t padded_capacity) {
  std::vector<U64GroupedBitmap> levels;
  uint32_t n = len;
  uint32_t m = capacity;
  while (true) {
    levels.push_back(U64GroupedBitmap::new_full(n, m));
    if (m <= 64) break;
    n = U64GroupedBitmap::words_for(n);
    m = U64GroupedBitmap::words_for(m);
  }
  // Root first.
  std::vector<U64GroupedBitmap> ordered(levels.rbegin(), levels.rend());
  uint32_t want = height_for(padded_capacity);
  while (ordered.size() < want) {
    uint32_t root_len = U64GroupedBitmap::words_for(ordered.front().len());
    ordered.insert(ordered.begin(), U64GroupedBitmap::new_full(root_len, root_len));
  }
  return BtreeBitmap(std::move(ordered));
}

void BtreeBitmap::check_bound(uint32_t bit) const {
  if (bit >= len()) panic("assertion failed: bit < self.len");
}

bool BtreeBitmap::get(uint32_t bit) const {
  check_bound(bit);
  return levels_.back().get(bit);
}

void BtreeBitmap::set(uint32_t bit) {
  check_bound(bit);
  bool full = levels_.back().set(bit);
  update_to_root(bit, full);
}

void BtreeBitmap::clear(uint32_t bit) {
  if (bit >= len()) {
    panic(std::to_string(bit) + " must be less than " + std::to_string(len()));
  }
  levels_.back().clear(bit);
  update_to_root(bit, false);
}

void BtreeBitmap::update_to_root(uint32_t bit, bool full) {
  uint32_t e = bit;
  for (size_t k = levels_.size() - 1; k-- > 0;) {
    e /= 64;
    if (full) {
      full = levels_[k].set(e);
    } else {
      // Once a word has a clear bit, every ancestor bit must be clear.
      levels_[k].clear(e);
    }
  }
}

std::optional<uint32_t> BtreeBitmap::find_first_unset() const {
  const U64GroupedBitmap& root = levels_.front();
  if (root.len() == 0 || root.word_full(0)) return std::nullopt;
  uint64_t e = std::countr_one(root.word(0));
  for (size_t k = 1; k < levels_.size(); ++k) {
    uint64_t word = levels_[k].word(e);
    if (word == U64GroupedBitmap::kFull) panic("full bitmap word under a clear parent bit");
    e = e * 64 + std::countr_one(word);
  }
  return static_cast<uint32_t>(e);
}

bool BtreeBitmap::any_unset(uint32_t start, uint32_t end) const {
  STORAGE_ASSERT(start <= end && end <= len());
  // Partial words at both ends are read at their level; the whole words in
  // between are answered by the parent bits (set exactly when a word is full).
  size_t k = levels_.size() - 1;
  while (start < end) {
    uint32_t head = std::min(end, (start + 63) / 64 * 64);
    uint32_t tail = std::max(head, end / 64 * 64);
    if (k == 0 || tail - head < 64 * 2) return levels_[k].any_unset(start, end);
    if (levels_[k].any_unset(start, head) || levels_[k].any_unset(tail, end)) return true;
    start = head / 64;
    end = tail / 64;
    --k;
  }
  return false;
}

void BtreeBitmap::resize(uint32_t new_len, bool set_new) {
  uint32_t old_len = len();
  uint32_t n = new_len;
  for (size_t k = levels_.size(); k-- > 0;) {
    levels_[k].resize(n, set_new);
    n = U64GroupedBitmap::words_for(n);
  }
  if (levels_.front().len() > 64) panic("assertion failed: self.get_level(0).len() <= 64");
  // Clearing grown entries must also clear the parent bit of a partly old word.
  if (!set_new && new_len > old_len) update_to_root(old_len, false);
}

size_t BtreeBitmap::image_size() const {
  size_t size = 4 + 4 * levels_.size();
  for (const U64GroupedBitmap& level : levels_) size += level.image_size();
  return size;
}

void BtreeBitmap::append_to(std::vector<uint8_t>& out) const {
  size_t base = out.size();
  size_t header = 4 + 4 * levels_.size();
  out.resize(base + header);
  store_le32(out.data() + base, static_cast<uint32_t>(levels_.size()));
  for (size_t k = 0; k < levels_.size(); ++k) {
    levels_[k].append_to(out);
    store_le32(out.data() + base + 4 + 4 * k, static_cast<uint32_t>(out.size() - base));
  }
}

std::vector<uint8_t> BtreeBitmap::to_vec() const {
  std::vector<uint8_t> out;
  out.reserve(image_size());
  append_to(out);
  return out;
}

Result<BtreeBitmap, StorageError> BtreeBitmap::from_bytes(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return Err{corrupt("is shorter than its height field")};
  uint64_t height = load_le32(bytes.data());
  if (height == 0) return Err{corrupt("has no levels")};
  uint64_t start = 4 + 4 * height;
  if (start > bytes.size()) {
    return Err{corrupt("of " + std::to_string(bytes.size()) + " bytes is shorter than its " +
                       std::to_string(height) + " level offsets")};
  }
  std::vector<U64GroupedBitmap> levels;
  levels.reserve(height);
  for (uint64_t k = 0; k < height; ++k) {
    uint64_t end = load_le32(bytes.data() + 4 + 4 * k);
    if (end < start || end > bytes.size()) {
      return Err{corrupt("has level end offset " + std::to_string(end) + " outside " +
                         std::to_string(start) + ".." + std::to_string(bytes.size()))};
    }
    TRY_ASSIGN(U64GroupedBitmap level, U64GroupedBitmap::from_bytes(bytes.subspan(start,
                                                                              end - start)));
    levels.push_back(std::move(level));
    start = end;
  }
  if (start != bytes.size()) {
    return Err{corrupt("has " + std::to_string(bytes.size() - start) +
                       " bytes after its last level")};
  }
  if (levels.front().len() > 64) {
    return Err{corrupt("has a root of " + std::to_string(levels.front().len()) + " bits")};
  }
  // Each parent bit must say exactly whether its child word is full.
  for (size_t k = 1; k < levels.size(); ++k) {
    const U64GroupedBitmap& parent = levels[k - 1];
    const U64GroupedBitmap& child = levels[k];
    if (parent.len() != child.num_words()) {
      return Err{corrupt("has a level of " + std::to_string(parent.len()) + " bits over " +
                         std::to_string(child.num_words()) + " words")};
    }
    for (uint32_t w = 0; w < parent.len(); ++w) {
      if (parent.get(w) != child.word_full(w)) {
        return Err{corrupt("has a parent bit that disagrees with its word")};
      }
    }
  }
  return BtreeBitmap(std::move(levels));
}

}  // namespace storage
