#include "storage/src/tree_store/btree_base.h"

#include <algorithm>
#include <limits>

#include "storage/src/tree_store/page_store/xxh3.h"

namespace storage {
namespace {

using node_layout::branch_checksum_at;
using node_layout::branch_offsets_at;
using node_layout::branch_page_number_at;
using node_layout::prefetch_area;
using node_layout::search_u64;
using node_layout::u64_keys;

constexpr uint64_t kMaxOffset = std::numeric_limits<uint32_t>::max();

size_t offset_width(std::optional<size_t> fixed_width) { return fixed_width ? 0 : 4; }

// memcpy/memmove with a null source are undefined even for zero bytes.
void copy_bytes(uint8_t* dst, ByteView src) {
  if (!src.empty()) std::memcpy(dst, src.data(), src.size());
}
void move_bytes(uint8_t* base, size_t dst, size_t src, size_t len) {
  if (len != 0 && dst != src) std::memmove(base + dst, base + src, len);
}
uint32_t to_offset(uint64_t v) {
  if (v > kMaxOffset) panic(kUnwrapErrText);
  return static_cast<uint32_t>(v);
}

std::string leaf_prefix(PageNumber page_number) {
  return "Leaf page " + page_number.debug() + " corrupted. ";
}
StorageError leaf_zero_pairs(PageNumber page_number) {
  return StorageError::Corrupted(leaf_prefix(page_number) + "Number of pairs is zero");
}
StorageError leaf_no_offset(PageNumber page_number, size_t pair) {
  return StorageError::Corrupted(leaf_prefix(page_number) + "Couldn't find offset for pair " +
                                 std::to_string(pair));
}
StorageError leaf_beyond_end(PageNumber page_number, uint64_t offset, size_t len) {
  return StorageError::Corrupted(leaf_prefix(page_number) + "Last offset " +
                                 std::to_string(offset) + " beyond end of data " +
                                 std::to_string(len));
}

std::string branch_prefix(PageNumber page_number) {
  return "Branch page " + page_number.debug() + " corrupted. ";
}
StorageError branch_zero_keys(PageNumber page_number) {
  return StorageError::Corrupted(branch_prefix(page_number) + "Number of keys is zero");
}
StorageError branch_no_offset(PageNumber page_number, size_t key) {
  return StorageError::Corrupted(branch_prefix(page_number) + "Can't find offset for key " +
                                 std::to_string(key));
}
StorageError branch_beyond_end(PageNumber page_number, uint64_t offset, size_t len) {
  return StorageError::Corrupted(branch_prefix(page_number) + "Last offset " +
                                 std::to_string(offset) + " beyond end of data " +
                                 std::to_string(len));
}

}  // namespace

// ---------------------------------------------------------------------------
// LeafAccessor

Result<LeafAccessor, StorageError> LeafAccessor::create(ByteView page, PageNumber page_number,
                                                        std::optional<size_t> fixed_key_width,
                                                        std::optional<size_t> fixed_value_width,
                                                        KeyCompareFn compare) {
  const size_t len = page.size();
  if (len < 4) return Err{leaf_beyond_end(page_number, 4, len)};
  return with_count(page, page_number, fixed_key_width, fixed_value_width, compare,
                    load_le16(page.data() + 2));
}

Result<LeafAccessor, StorageError> LeafAccessor::create_with_count(ByteView page,
                                                                   PageNumber page_number,
                                                                   const TreeDescriptor& d,
                                                                   size_t num_pairs) {
  if (page.size() < 4) [[unlikely]] return create(page, page_number, d);
  return with_count(page, page_number, d.fixed_key_width, d.fixed_value_width, d.compare,
                    num_pairs);
}

Result<LeafAccessor, StorageError> LeafAccessor::with_count(ByteView page, PageNumber page_number,
                                                            std::optional<size_t> fixed_key_width,
                                                            std::optional<size_t> fixed_value_width,
                                                            KeyCompareFn compare, uint64_t n) {
  const size_t len = page.size();
  LeafAccessor a;
  a.page_ = page;
  a.page_number_ = page_number;
  a.fixed_key_width_ = fixed_key_width;
  a.fixed_value_width_ = fixed_value_width;
  a.compare_ = compare;
  a.num_pairs_ = n;
  const uint64_t header =
      4 + n * (offset_width(fixed_key_width) + offset_width(fixed_value_width));
  // With fixed widths the header is 4 bytes and the end test below covers n.
  if (header > len) return Err{leaf_no_offset(page_number, n - 1)};
  a.header_ = header;
  // A search reads the offset arrays and the keys: ask for them together.
  prefetch_area(page, 4, fixed_key_width ? header + n * *fixed_key_width : header);
  if (n == 0) {
    a.first_value_ = a.total_ = header;
    return a;
  }
  const uint64_t first_value =
      fixed_key_width ? header + n * *fixed_key_width : a.key_end_entry(n - 1);
  const uint64_t total =
      fixed_value_width ? first_value + n * *fixed_value_width : a.value_end_entry(n - 1);
  if (total > len) return Err{leaf_beyond_end(page_number, total, len)};
  if (first_value > len) return Err{leaf_beyond_end(page_number, first_value, len)};
  if (first_value < header || total < first_value) return Err{leaf_no_offset(page_number, n - 1)};
  a.first_value_ = first_value;
  a.total_ = total;
  return a;
}

StorageError LeafAccessor::corrupted_pair(size_t i) const {
  return leaf_no_offset(page_number_, i);
}

StorageError LeafAccessor::beyond_end(size_t offset) const {
  return leaf_beyond_end(page_number_, offset, page_.size());
}

Result<EntryRanges, StorageError> LeafAccessor::ranges(size_t i) const {
  STORAGE_ASSERT(i < num_pairs_);
  EntryRanges r;
  if (fixed_key_width_) {
    r.key_start = header_ + i * *fixed_key_width_;
    r.key_end = r.key_start + *fixed_key_width_;
  } else {
    r.key_start = i == 0 ? header_ : key_end_entry(i - 1);
    r.key_end = key_end_entry(i);
  }
  if (fixed_value_width_) {
    r.value_start = first_value_ + i * *fixed_value_width_;
    r.value_end = r.value_start + *fixed_value_width_;
  } else {
    r.value_start = i == 0 ? first_value_ : value_end_entry(i - 1);
    r.value_end = value_end_entry(i);
  }
  if (r.key_end > page_.size()) return Err{beyond_end(r.key_end)};
  if (r.value_end > page_.size()) return Err{beyond_end(r.value_end)};
  if (!(header_ <= r.key_start && r.key_start <= r.key_end && r.key_end <= first_value_ &&
        first_value_ <= r.value_start && r.value_start <= r.value_end && r.value_end <= total_)) {
    return Err{corrupted_pair(i)};
  }
  return r;
}

Result<std::pair<size_t, bool>, StorageError> LeafAccessor::position(ByteView key) const {
  STORAGE_ASSERT(compare_ != nullptr);
  if (!fixed_key_width_) prefetch_area(page_, header_, first_value_);  // the keys
  if (u64_keys(compare_, fixed_key_width_, key)) {
    return search_u64(page_.data() + header_, num_pairs_, load_le64(key.data()));
  }
  size_t lo = 0, hi = num_pairs_;
  while (lo < hi) {
    size_t mid = (lo & hi) + ((lo ^ hi) >> 1);
    TRY_ASSIGN(ByteView stored, key_unchecked(mid));
    auto c = compare_(key, stored);
    if (c > 0) {
      lo = mid + 1;
    } else if (c == 0) {
      return std::pair<size_t, bool>(mid, true);
    } else {
      hi = mid;
    }
  }
  return std::pair<size_t, bool>(lo, false);
}

Result<std::optional<LeafEntry>, StorageError> LeafAccessor::entry(size_t i) const {
  if (i >= num_pairs_) return std::optional<LeafEntry>();
  TRY_ASSIGN(EntryRanges r, ranges(i));
  return std::optional<LeafEntry>(
      LeafEntry{page_.subspan(r.key_start, r.key_end - r.key_start),
                page_.subspan(r.value_start, r.value_end - r.value_start)});
}

Result<std::optional<EntryRanges>, StorageError> LeafAccessor::entry_ranges(size_t i) const {
  if (i >= num_pairs_) return std::optional<EntryRanges>();
  TRY_ASSIGN(EntryRanges r, ranges(i));
  return std::optional<EntryRanges>(r);
}

Result<std::optional<std::pair<size_t, size_t>>, StorageError> LeafAccessor::value_range(
    size_t i) const {
  using Range = std::optional<std::pair<size_t, size_t>>;
  if (i >= num_pairs_) return Range();
  TRY_ASSIGN(EntryRanges r, ranges(i));
  return Range(std::pair<size_t, size_t>(r.value_start, r.value_end));
}

Result<ByteView, StorageError> LeafAccessor::key_unchecked(size_t i) const {
  TRY_ASSIGN(EntryRanges r, ranges(i));
  return page_.subspan(r.key_start, r.key_end - r.key_start);
}

Result<std::optional<size_t>, StorageError> LeafAccessor::offset_of_value(size_t i) const {
  if (i > num_pairs_) return std::optional<size_t>();
  if (i == num_pairs_) return std::optional<size_t>(total_);
  TRY_ASSIGN(EntryRanges r, ranges(i));
  return std::optional<size_t>(r.value_start);
}

Result<size_t, StorageError> LeafAccessor::offset_of_first_value() const {
  if (num_pairs_ == 0) return Err{leaf_zero_pairs(page_number_)};
  return first_value_;
}

Result<size_t, StorageError> LeafAccessor::length_of_keys(size_t start, size_t end) const {
  STORAGE_ASSERT(start <= end && end <= num_pairs_);
  if (start == end) return size_t{0};
  TRY_ASSIGN(EntryRanges first, ranges(start));
  TRY_ASSIGN(EntryRanges last, ranges(end - 1));
  if (last.key_end < first.key_start) return Err{corrupted_pair(end - 1)};
  return last.key_end - first.key_start;
}

Result<size_t, StorageError> LeafAccessor::length_of_pairs(size_t start, size_t end) const {
  STORAGE_ASSERT(start <= end && end <= num_pairs_);
  if (start == end) return size_t{0};
  TRY_ASSIGN(EntryRanges first, ranges(start));
  TRY_ASSIGN(EntryRanges last, ranges(end - 1));
  if (last.key_end < first.key_start || last.value_end < first.value_start) {
    return Err{corrupted_pair(end - 1)};
  }
  return (last.key_end - first.key_start) + (last.value_end - first.value_start);
}

Result<size_t, StorageError> LeafAccessor::total_length() const {
  if (num_pairs_ == 0) return Err{leaf_zero_pairs(page_number_)};
  return total_;
}

Result<LeafEntry, StorageError> LeafAccessor::last_entry() const {
  if (num_pairs_ == 0) return Err{leaf_zero_pairs(page_number_)};
  TRY_ASSIGN(std::optional<LeafEntry> e, entry(num_pairs_ - 1));
  return *e;
}

Result<void, StorageError> LeafAccessor::validate_all() const {
  if (!fixed_key_width_) {
    size_t prev = header_;
    for (size_t i = 0; i < num_pairs_; ++i) {
      size_t end = key_end_entry(i);
      if (end > page_.size()) return Err{beyond_end(end)};
      if (end < prev || end > first_value_) return Err{corrupted_pair(i)};
      prev = end;
    }
  }
  if (!fixed_value_width_) {
    size_t prev = first_value_;
    for (size_t i = 0; i < num_pairs_; ++i) {
      size_t end = value_end_entry(i);
      if (end > page_.size()) return Err{beyond_end(end)};
      if (end < prev || end > total_) return Err{corrupted_pair(i)};
      prev = end;
    }
  }
  return Unit{};
}

// ---------------------------------------------------------------------------
// Leaf free functions

bool leaf_split_required(size_t num_pairs, size_t total_pair_bytes,
                         std::optional<size_t> fixed_key_width,
                         std::optional<size_t> fixed_value_width, size_t page_size) {
  if (num_pairs < 2) return false;
  if (num_pairs > kMaxNodeEntries) return true;
  return leaf_header_size(num_pairs, fixed_key_width, fixed_value_width) + total_pair_bytes >
         page_size;
}

Result<bool, StorageError> is_single_large_value(const LeafAccessor& accessor,
                                                 size_t page_size) {
  if (accessor.num_pairs() != 1) return false;
  TRY_ASSIGN(size_t total, accessor.total_length());
  return total >= page_size;
}

Result<Checksum, StorageError> leaf_checksum(ByteView page, PageNumber page_number,
                                             std::optional<size_t> fixed_key_width,
                                             std::optional<size_t> fixed_value_width) {
  const size_t len = page.size();
  if (len < 4) return Err{leaf_beyond_end(page_number, 4, len)};
  const uint64_t n = load_le16(page.data() + 2);
  if (n == 0) return Err{leaf_zero_pairs(page_number)};
  uint64_t end;
  if (fixed_key_width && fixed_value_width) {
    end = 4 + n * (*fixed_key_width + *fixed_value_width);
  } else {
    // The last value end entry, or the last key end entry when values are fixed.
    uint64_t entry = fixed_value_width ? 4 + 4 * (n - 1)
                                       : 4 + n * offset_width(fixed_key_width) + 4 * (n - 1);
    if (entry + 4 > len) return Err{leaf_no_offset(page_number, n - 1)};
    end = load_le32(page.data() + entry);
    if (fixed_value_width) end += n * *fixed_value_width;
  }
  if (end > len) return Err{leaf_beyond_end(page_number, end, len)};
  return xxh3::hash128_with_seed(page.first(end), 0);
}

// ---------------------------------------------------------------------------
// RawLeafBuilder

RawLeafBuilder::RawLeafBuilder(MutByteView page, size_t num_pairs,
                               std::optional<size_t> fixed_key_width,
                               std::optional<size_t> fixed_value_width,
                               size_t provisioned_key_bytes)
    : page_(page),
      num_pairs_(num_pairs),
      fixed_key_width_(fixed_key_width),
      fixed_value_width_(fixed_value_width),
      provisioned_key_bytes_(provisioned_key_bytes),
      header_(leaf_header_size(num_pairs, fixed_key_width, fixed_value_width)) {
  STORAGE_ASSERT(num_pairs >= 1 && num_pairs <= kMaxNodeEntries);
  STORAGE_ASSERT(header_ + provisioned_key_bytes <= page.size());
  page_[0] = kLeafPageType;
  page_[1] = 0;
  store_le16(page_.data() + 2, static_cast<uint16_t>(num_pairs));
  key_cursor_ = header_;
  value_cursor_ = header_ + provisioned_key_bytes;
}

void RawLeafBuilder::append(ByteView key, ByteView value) {
  STORAGE_ASSERT(pairs_written_ < num_pairs_);
  if (fixed_key_width_) STORAGE_ASSERT(key.size() == *fixed_key_width_);
  if (fixed_value_width_) STORAGE_ASSERT(value.size() == *fixed_value_width_);
  const size_t w = pairs_written_;
  const size_t key_end = key_cursor_ + key.size();
  if (key_end - header_ > provisioned_key_bytes_) {
    panic("assertion failed: written_key_len <= self.provisioned_key_bytes");
  }
  if (!fixed_key_width_) store_le32(page_.data() + 4 + 4 * w, to_offset(key_end));
  copy_bytes(page_.data() + key_cursor_, key);
  const size_t value_end = value_cursor_ + value.size();
  STORAGE_ASSERT(value_end <= page_.size());
  if (!fixed_value_width_) {
    store_le32(page_.data() + 4 + num_pairs_ * offset_width(fixed_key_width_) + 4 * w,
               to_offset(value_end));
  }
  copy_bytes(page_.data() + value_cursor_, value);
  key_cursor_ = key_end;
  value_cursor_ = value_end;
  pairs_written_ = w + 1;
}

void RawLeafBuilder::finish() const {
  STORAGE_ASSERT(pairs_written_ == num_pairs_);
  STORAGE_ASSERT(header_ + provisioned_key_bytes_ == key_cursor_);
}

// ---------------------------------------------------------------------------
// LeafPairList

LeafPairList::LeafPairList(size_t capacity, std::optional<size_t> fixed_key_width,
                           std::optional<size_t> fixed_value_width)
    : fixed_key_width_(fixed_key_width), fixed_value_width_(fixed_value_width) {
  pairs_.reserve(capacity);
}

void LeafPairList::push(ByteView key, ByteView value) {
  if (fixed_key_width_) STORAGE_ASSERT(key.size() == *fixed_key_width_);
  if (fixed_value_width_) STORAGE_ASSERT(value.size() == *fixed_value_width_);
  pairs_.push_back(LeafPair{key, value});
  total_key_bytes_ += key.size();
  total_value_bytes_ += value.size();
}

Result<void, StorageError> LeafPairList::push_all_except(const LeafAccessor& accessor,
                                                         std::optional<size_t> except) {
  for (size_t i = 0; i < accessor.num_pairs(); ++i) {
    if (except && *except == i) continue;
    TRY_ASSIGN(std::optional<LeafEntry> e, accessor.entry(i));
    push(e->key, e->value);
  }
  return Unit{};
}

Result<void, StorageError> LeafPairList::push_all_except_indexes(const LeafAccessor& accessor,
                                                                 std::span<const size_t> except) {
  size_t next = 0;
  for (size_t i = 0; i < accessor.num_pairs(); ++i) {
    if (next < except.size() && except[next] == i) {
      ++next;
      continue;
    }
    TRY_ASSIGN(std::optional<LeafEntry> e, accessor.entry(i));
    push(e->key, e->value);
  }
  STORAGE_ASSERT(next == except.size());  // ascending and in range
  return Unit{};
}

bool LeafPairList::should_split(size_t page_size) const {
  return leaf_split_required(pairs_.size(), total_key_bytes_ + total_value_bytes_,
                             fixed_key_width_, fixed_value_width_, page_size);
}

size_t LeafPairList::leaf_size(size_t start, size_t end) const {
  size_t bytes = 0;
  if (start == 0 && end == pairs_.size()) {
    bytes = total_key_bytes_ + total_value_bytes_;
  } else {
    for (size_t i = start; i < end; ++i) bytes += pairs_[i].key.size() + pairs_[i].value.size();
  }
  return leaf_header_size(end - start, fixed_key_width_, fixed_value_width_) + bytes;
}

Result<void, StorageError> LeafPairList::check_leaf_size(size_t start, size_t end) const {
  const size_t size = leaf_size(start, end);
  if (size > kMaxOffset) return Err{StorageError::ValueTooLarge(size)};
  return {};
}

size_t LeafPairList::split_count() const {
  const size_t n = pairs_.size();
  STORAGE_ASSERT(n >= 2);
  const size_t half = (total_key_bytes_ + total_value_bytes_) / 2;
  size_t sum = 0;
  size_t s = n - 1;
  for (size_t k = 0; k + 1 < n; ++k) {
    sum += pairs_[k].key.size() + pairs_[k].value.size();
    if (sum >= half || k == n - 2) {
      s = k + 1;
      break;
    }
  }
  s = std::min(s, kMaxNodeEntries);
  if (n > kMaxNodeEntries) s = std::max(s, n - kMaxNodeEntries);
  return s;
}

void LeafPairList::write(MutByteView page, size_t start, size_t end) const {
  size_t key_bytes = 0;
  for (size_t i = start; i < end; ++i) key_bytes += pairs_[i].key.size();
  RawLeafBuilder raw(page, end - start, fixed_key_width_, fixed_value_width_, key_bytes);
  for (size_t i = start; i < end; ++i) raw.append(pairs_[i].key, pairs_[i].value);
  raw.finish();
}

// ---------------------------------------------------------------------------
// BranchAccessor

Result<BranchAccessor, StorageError> BranchAccessor::create(ByteView page, PageNumber page_number,
                                                            std::optional<size_t> fixed_key_width,
                                                            KeyCompareFn compare) {
  const size_t len = page.size();
  if (len < 4) return Err{branch_beyond_end(page_number, 4, len)};
  return with_count(page, page_number, fixed_key_width, compare, load_le16(page.data() + 2));
}

Result<BranchAccessor, StorageError> BranchAccessor::create_with_count(ByteView page,
                                                                       PageNumber page_number,
                                                                       const TreeDescriptor& d,
                                                                       size_t num_keys) {
  if (page.size() < 4) [[unlikely]] return create(page, page_number, d);
  return with_count(page, page_number, d.fixed_key_width, d.compare, num_keys);
}

Result<BranchAccessor, StorageError> BranchAccessor::with_count(
    ByteView page, PageNumber page_number, std::optional<size_t> fixed_key_width,
    KeyCompareFn compare, uint64_t k) {
  const size_t len = page.size();
  if (k == 0) return Err{branch_zero_keys(page_number)};
  BranchAccessor a;
  a.page_ = page;
  a.page_number_ = page_number;
  a.fixed_key_width_ = fixed_key_width;
  a.compare_ = compare;
  a.num_keys_ = k;
  const uint64_t keys_start = branch_offsets_at(k) + k * offset_width(fixed_key_width);
  // A search reads the keys (or their offsets) and then one child page
  // number: ask for all of them together, the ones the search needs first.
  prefetch_area(page, fixed_key_width ? keys_start : branch_offsets_at(k),
                fixed_key_width ? keys_start + k * *fixed_key_width : keys_start);
  prefetch_area(page, branch_page_number_at(k, 0), branch_offsets_at(k));
  uint64_t keys_end;
  if (fixed_key_width) {
    keys_end = keys_start + k * *fixed_key_width;
    if (keys_end > len) return Err{branch_beyond_end(page_number, keys_end, len)};
  } else {
    if (keys_start > len) return Err{branch_no_offset(page_number, k - 1)};
    keys_end = load_le32(page.data() + branch_offsets_at(k) + 4 * (k - 1));
    if (keys_end > len) return Err{branch_beyond_end(page_number, keys_end, len)};
    if (keys_end < keys_start) return Err{branch_no_offset(page_number, k - 1)};
  }
  a.keys_start_ = keys_start;
  a.keys_end_ = keys_end;
  return a;
}

PageNumber BranchAccessor::child_page(size_t i) const {
  STORAGE_ASSERT(i <= num_keys_);
  return PageNumber::from_le_bytes(page_.data() + branch_page_number_at(num_keys_, i));
}

Checksum BranchAccessor::child_checksum(size_t i) const {
  STORAGE_ASSERT(i <= num_keys_);
  return load_checksum(page_.data() + branch_checksum_at(i));
}

Result<std::pair<size_t, size_t>, StorageError> BranchAccessor::key_range(size_t i) const {
  STORAGE_ASSERT(i < num_keys_);
  size_t start, end;
  if (fixed_key_width_) {
    start = keys_start_ + i * *fixed_key_width_;
    end = start + *fixed_key_width_;
  } else {
    const uint8_t* offsets = page_.data() + branch_offsets_at(num_keys_);
    start = i == 0 ? keys_start_ : load_le32(offsets + 4 * (i - 1));
    end = load_le32(offsets + 4 * i);
  }
  if (end > page_.size()) return Err{branch_beyond_end(page_number_, end, page_.size())};
  if (!(keys_start_ <= start && start <= end && end <= keys_end_)) {
    return Err{branch_no_offset(page_number_, i)};
  }
  return std::pair<size_t, size_t>(start, end);
}

Result<std::optional<ByteView>, StorageError> BranchAccessor::key(size_t i) const {
  if (i >= num_keys_) return std::optional<ByteView>();
  TRY_ASSIGN(auto r, key_range(i));
  return std::optional<ByteView>(page_.subspan(r.first, r.second - r.first));
}

Result<std::pair<size_t, PageNumber>, StorageError> BranchAccessor::child_for_key(
    ByteView query) const {
  STORAGE_ASSERT(compare_ != nullptr);
  if (!fixed_key_width_) prefetch_area(page_, keys_start_, keys_end_);  // the keys
  if (u64_keys(compare_, fixed_key_width_, query)) {
    const uint64_t q = load_le64(query.data());
    const auto [i, found] = search_u64(page_.data() + keys_start_, num_keys_, q);
    (void)found;  // an equal key leads to the child with its index, as does the first greater
    return std::pair<size_t, PageNumber>(i, child_page(i));
  }
  size_t lo = 0, hi = num_keys_;
  while (lo < hi) {
    size_t mid = (lo & hi) + ((lo ^ hi) >> 1);
    TRY_ASSIGN(auto r, key_range(mid));
    auto c = compare_(query, page_.subspan(r.first, r.second - r.first));
    if (c > 0) {
      lo = mid + 1;
    } else if (c == 0) {
      return std::pair<size_t, PageNumber>(mid, child_page(mid));
    } else {
      hi = mid;
    }
  }
  return std::pair<size_t, PageNumber>(lo, child_page(lo));
}

Result<size_t, StorageError> BranchAccessor::total_length() const { return keys_end_; }

Result<Checksum, StorageError> branch_checksum(ByteView page, PageNumber page_number,
                                               std::optional<size_t> fixed_key_width) {
  const size_t len = page.size();
  if (len < 4) return Err{branch_beyond_end(page_number, 4, len)};
  const uint64_t k = load_le16(page.data() + 2);
  if (k == 0) return Err{branch_zero_keys(page_number)};
  uint64_t end;
  if (fixed_key_width) {
    end = 32 + k * (24 + *fixed_key_width);
  } else {
    uint64_t entry = branch_offsets_at(k) + 4 * (k - 1);
    if (entry + 4 > len) return Err{branch_no_offset(page_number, k - 1)};
    end = load_le32(page.data() + entry);
  }
  if (end > len) return Err{branch_beyond_end(page_number, end, len)};
  return xxh3::hash128_with_seed(page.first(end), 0);
}

// ---------------------------------------------------------------------------
// RawBranchBuilder

RawBranchBuilder::RawBranchBuilder(MutByteView page, size_t num_keys,
                                   std::optional<size_t> fixed_key_width)
    : page_(page), num_keys_(num_keys), fixed_key_width_(fixed_key_width) {
  if (num_keys == 0) panic("assertion failed: num_keys > 0");
  STORAGE_ASSERT(num_keys <= kMaxNodeEntries);
  key_cursor_ = branch_offsets_at(num_keys) + num_keys * offset_width(fixed_key_width);
  STORAGE_ASSERT(key_cursor_ <= page.size());
  page_[0] = kBranchPageType;
  page_[1] = 0;
  store_le16(page_.data() + 2, static_cast<uint16_t>(num_keys));
  store_le32(page_.data() + 4, 0);
}

void RawBranchBuilder::write_child(size_t i, PageNumber page_number, Checksum checksum) {
  store_checksum(page_.data() + branch_checksum_at(i), checksum);
  page_number.to_le_bytes(page_.data() + branch_page_number_at(num_keys_, i));
}

void RawBranchBuilder::write_first_page(PageNumber page_number, Checksum checksum) {
  write_child(0, page_number, checksum);
}

void RawBranchBuilder::write_nth_key(ByteView key, PageNumber page_number, Checksum checksum,
                                     size_t n) {
  if (!(n < num_keys_)) panic("assertion failed: n < self.num_keys");
  STORAGE_ASSERT(n == keys_written_);
  if (fixed_key_width_) STORAGE_ASSERT(key.size() == *fixed_key_width_);
  write_child(n + 1, page_number, checksum);
  const size_t end = key_cursor_ + key.size();
  STORAGE_ASSERT(end <= page_.size());
  if (!fixed_key_width_) {
    store_le32(page_.data() + branch_offsets_at(num_keys_) + 4 * n, to_offset(end));
  }
  copy_bytes(page_.data() + key_cursor_, key);
  key_cursor_ = end;
  keys_written_ = n + 1;
}

void RawBranchBuilder::finish() const { STORAGE_ASSERT(keys_written_ == num_keys_); }

// ---------------------------------------------------------------------------
// BranchEntryList

BranchEntryList::BranchEntryList(size_t capacity, std::optional<size_t> fixed_key_width)
    : fixed_key_width_(fixed_key_width) {
  STORAGE_ASSERT(capacity >= 1);
  children_.reserve(capacity);
  keys_.reserve(capacity - 1);
}

void BranchEntryList::push_key(ByteView key) {
  if (fixed_key_width_) STORAGE_ASSERT(key.size() == *fixed_key_width_);
  keys_.push_back(key);
  total_key_bytes_ += key.size();
}

Result<void, StorageError> BranchEntryList::push_all(const BranchAccessor& accessor) {
  for (size_t i = 0; i < accessor.count_children(); ++i) {
    push_child(accessor.child_page(i), accessor.child_checksum(i));
  }
  for (size_t i = 0; i < accessor.num_keys(); ++i) {
    TRY_ASSIGN(std::optional<ByteView> k, accessor.key(i));
    push_key(*k);
  }
  return Unit{};
}

bool BranchEntryList::should_split(size_t page_size) const {
  const size_t k = keys_.size();
  if (k < 3) return false;
  if (k > kMaxNodeEntries) return true;
  return branch_size(k, total_key_bytes_, fixed_key_width_) > page_size;
}

size_t BranchEntryList::branch_size_of(size_t key_start, size_t key_end) const {
  size_t bytes = 0;
  for (size_t i = key_start; i < key_end; ++i) bytes += keys_[i].size();
  return branch_size(key_end - key_start, bytes, fixed_key_width_);
}

void BranchEntryList::write(MutByteView page, size_t key_start, size_t key_end) const {
  RawBranchBuilder raw(page, key_end - key_start, fixed_key_width_);
  raw.write_first_page(children_[key_start].page, children_[key_start].checksum);
  for (size_t n = 0; key_start + n < key_end; ++n) {
    const BranchChild& child = children_[key_start + n + 1];
    raw.write_nth_key(keys_[key_start + n], child.page, child.checksum, n);
  }
  raw.finish();
}

// ---------------------------------------------------------------------------
// BranchMutator

BranchMutator::BranchMutator(MutByteView page) : page_(page) {
  STORAGE_ASSERT(page.size() >= 4 && page[0] == kBranchPageType);
  num_keys_ = load_le16(page.data() + 2);
  STORAGE_ASSERT(branch_offsets_at(num_keys_) <= page.size());
}

void BranchMutator::write_child_page(size_t i, PageNumber page_number, Checksum checksum) {
  STORAGE_ASSERT(i <= num_keys_);
  store_checksum(page_.data() + branch_checksum_at(i), checksum);
  page_number.to_le_bytes(page_.data() + branch_page_number_at(num_keys_, i));
}

// ---------------------------------------------------------------------------
// LeafMutator

LeafMutator::LeafMutator(MutByteView page, PageNumber page_number,
                         std::optional<size_t> fixed_key_width,
                         std::optional<size_t> fixed_value_width, Origin origin)
    : page_(page),
      page_number_(page_number),
      fixed_key_width_(fixed_key_width),
      fixed_value_width_(fixed_value_width),
      origin_(origin) {
  STORAGE_ASSERT(!page.empty() && page[0] == kLeafPageType);
}

Result<LeafAccessor, StorageError> LeafMutator::checked_accessor(bool walk_own) const {
  TRY_ASSIGN(LeafAccessor accessor,
             LeafAccessor::create(ByteView(page_), page_number_, fixed_key_width_,
                                  fixed_value_width_));
  // Creating the accessor still checks the header and the areas' ends, and
  // insert and replace check the pair they move around, so a skipped walk
  // never lets a byte move outside the page.
  if (origin_ == Origin::kUntrusted || walk_own) TRY(accessor.validate_all());
  return accessor;
}

Result<bool, StorageError> LeafMutator::sufficient_insert_inplace_space(
    ByteView page, PageNumber page_number, size_t i, std::optional<size_t> fixed_key_width,
    std::optional<size_t> fixed_value_width, ByteView key, ByteView value) {
  TRY_ASSIGN(LeafAccessor accessor,
             LeafAccessor::create(page, page_number, fixed_key_width, fixed_value_width));
  return sufficient_insert_inplace_space(accessor, i, fixed_key_width, fixed_value_width, key,
                                         value);
}

Result<bool, StorageError> LeafMutator::sufficient_insert_inplace_space(
    const LeafAccessor& accessor, size_t i, std::optional<size_t> fixed_key_width,
    std::optional<size_t> fixed_value_width, ByteView key, ByteView value) {
  TRY_ASSIGN(size_t total, accessor.total_length());
  const size_t n = accessor.num_pairs();
  if (n == kMaxNodeEntries) return false;
  // On a multi-page leaf only appends are done in place.
  if (accessor.page_number().page_order > 0 && i < n) return false;
  const uint64_t required = key.size() + value.size() + offset_width(fixed_key_width) +
                            offset_width(fixed_value_width);
  return required <= accessor.page().size() - total && total + required <= kMaxOffset;
}

Result<bool, StorageError> LeafMutator::sufficient_replace_inplace_space(
    ByteView page, PageNumber page_number, size_t i, std::optional<size_t> fixed_key_width,
    std::optional<size_t> fixed_value_width, ByteView new_value) {
  TRY_ASSIGN(LeafAccessor accessor,
             LeafAccessor::create(page, page_number, fixed_key_width, fixed_value_width));
  TRY_ASSIGN(size_t total, accessor.total_length());
  TRY_ASSIGN(auto range, accessor.value_range(i));
  const uint64_t old_len = range ? range->second - range->first : 0;
  if (total - old_len + new_value.size() > kMaxOffset) return false;
  return static_cast<int64_t>(page.size() - total) >=
         static_cast<int64_t>(new_value.size()) - static_cast<int64_t>(old_len);
}

Result<size_t, StorageError> LeafMutator::insert(size_t i, ByteView key, ByteView value) {
  TRY_ASSIGN(LeafAccessor accessor, checked_accessor(/*walk_own=*/false));
  const size_t n = accessor.num_pairs();
  STORAGE_ASSERT(n >= 1 && n < kMaxNodeEntries && i <= n);
  if (fixed_key_width_) STORAGE_ASSERT(key.size() == *fixed_key_width_);
  if (fixed_value_width_) STORAGE_ASSERT(value.size() == *fixed_value_width_);
  const size_t hk = offset_width(fixed_key_width_);
  const size_t hv = offset_width(fixed_value_width_);
  const size_t g = hk + hv;
  const size_t K = key.size();
  const size_t V = value.size();
  TRY_ASSIGN(const size_t total, accessor.total_length());
  if (total + K + V + g > page_.size()) {
    panic(
        "assertion failed: isize::try_from(accessor.total_length()).unwrap() + required_delta <=\n"
        "    isize::try_from(self.page.len()).unwrap()");
  }
  to_offset(total + K + V + g);  // every end offset must stay a u32

  size_t key_i, value_i;  // where key i and value i start (the area ends for i = n)
  if (i < n) {
    TRY_ASSIGN(std::optional<EntryRanges> r, accessor.entry_ranges(i));
    key_i = r->key_start;
    value_i = r->value_start;
  } else {
    TRY_ASSIGN(key_i, accessor.offset_of_first_value());
    value_i = total;
  }

  uint8_t* p = page_.data();
  for (size_t j = 0; j < n; ++j) {
    if (hk) {
      uint8_t* slot = p + 4 + 4 * j;
      store_le32(slot, static_cast<uint32_t>(load_le32(slot) + (j < i ? g : g + K)));
    }
    if (hv) {
      uint8_t* slot = p + 4 + n * hk + 4 * j;
      store_le32(slot, static_cast<uint32_t>(load_le32(slot) + (j < i ? g + K : g + K + V)));
    }
  }
  store_le16(p + 2, static_cast<uint16_t>(n + 1));

  // From the back: each block moves right and the new item goes into its gap.
  move_bytes(p, value_i + g + K + V, value_i, total - value_i);
  copy_bytes(p + value_i + g + K, value);
  move_bytes(p, key_i + g + K, key_i, value_i - key_i);
  copy_bytes(p + key_i + g, key);
  const size_t value_ends_from_i = 4 + n * hk + i * hv;
  move_bytes(p, value_ends_from_i + g, value_ends_from_i, key_i - value_ends_from_i);
  if (hv) {
    store_le32(p + 4 + (n + 1) * hk + i * hv, static_cast<uint32_t>(value_i + g + K + V));
  }
  if (hk) {
    const size_t key_ends_from_i = 4 + i * hk;
    move_bytes(p, key_ends_from_i + hk, key_ends_from_i, value_ends_from_i - key_ends_from_i);
    store_le32(p + key_ends_from_i, static_cast<uint32_t>(key_i + g + K));
  }
  return value_i + g + K;
}

Result<void, StorageError> LeafMutator::remove(size_t i) {
  TRY_ASSIGN(LeafAccessor accessor, checked_accessor(/*walk_own=*/true));
  if (!(i < accessor.num_pairs())) panic("assertion failed: i < num_pairs");
  if (!(accessor.num_pairs() > 1)) panic("assertion failed: num_pairs > 1");
  const size_t indices[1] = {i};
  compact(accessor, indices);
  return Unit{};
}

Result<void, StorageError> LeafMutator::remove_indices(std::span<const size_t> indices) {
  TRY_ASSIGN(LeafAccessor accessor, checked_accessor(/*walk_own=*/true));
  if (indices.empty()) panic("assertion failed: !indices.is_empty()");
  for (size_t k = 1; k < indices.size(); ++k) {
    if (!(indices[k - 1] < indices[k])) {
      panic("assertion failed: indices.windows(2).all(|pair| pair[0] < pair[1])");
    }
  }
  if (!(indices.back() < accessor.num_pairs())) {
    panic("assertion failed: *indices.last().unwrap() < accessor.num_pairs()");
  }
  if (!(indices.size() < accessor.num_pairs())) {
    panic("assertion failed: indices.len() < accessor.num_pairs()");
  }
  compact(accessor, indices);
  return Unit{};
}

namespace {

// Moves the kept byte runs of a page to the left, each to follow directly on
// what was kept before it; adjacent kept items move as one block.
class RunCompactor {
 public:
  RunCompactor(uint8_t* page, size_t start) : page_(page), write_(start) {}
  void keep(size_t start, size_t end) {
    if (start == end) return;
    if (run_end_ == start && run_end_ != run_start_) {
      run_end_ = end;
      return;
    }
    flush();
    run_start_ = start;
    run_end_ = end;
  }
  void flush() {
    move_bytes(page_, write_, run_start_, run_end_ - run_start_);
    write_ += run_end_ - run_start_;
    run_start_ = run_end_ = 0;
  }
  size_t written_to() const { return write_; }

 private:
  uint8_t* page_;
  size_t write_;
  size_t run_start_ = 0;
  size_t run_end_ = 0;
};

}  // namespace

void LeafMutator::compact(const LeafAccessor& accessor, std::span<const size_t> indices) {
  const size_t n = accessor.num_pairs();
  const size_t m = indices.size();
  const size_t hk = offset_width(fixed_key_width_);
  const size_t hv = offset_width(fixed_value_width_);
  const size_t g = hk + hv;
  std::vector<EntryRanges> ranges(n);
  std::vector<bool> removed(n, false);
  for (size_t j = 0; j < n; ++j) ranges[j] = *accessor.entry_ranges(j).value();  // validated
  size_t removed_key_bytes = 0;
  for (size_t idx : indices) {
    removed[idx] = true;
    removed_key_bytes += ranges[idx].key_end - ranges[idx].key_start;
  }

  uint8_t* p = page_.data();
  size_t keys_before = 0, values_before = 0;  // removed bytes before pair j
  for (size_t j = 0; j < n; ++j) {
    const EntryRanges& r = ranges[j];
    if (removed[j]) {
      keys_before += r.key_end - r.key_start;
      values_before += r.value_end - r.value_start;
      continue;
    }
    if (hk) store_le32(p + 4 + 4 * j, static_cast<uint32_t>(r.key_end - m * g - keys_before));
    if (hv) {
      store_le32(p + 4 + n * hk + 4 * j,
                 static_cast<uint32_t>(r.value_end - m * g - removed_key_bytes - values_before));
    }
  }

  RunCompactor runs(p, 4);
  if (hk) {
    for (size_t j = 0; j < n; ++j) {
      if (!removed[j]) runs.keep(4 + 4 * j, 8 + 4 * j);
    }
  }
  if (hv) {
    for (size_t j = 0; j < n; ++j) {
      if (!removed[j]) runs.keep(4 + n * hk + 4 * j, 8 + n * hk + 4 * j);
    }
  }
  for (size_t j = 0; j < n; ++j) {
    if (!removed[j]) runs.keep(ranges[j].key_start, ranges[j].key_end);
  }
  for (size_t j = 0; j < n; ++j) {
    if (!removed[j]) runs.keep(ranges[j].value_start, ranges[j].value_end);
  }
  runs.flush();
  store_le16(p + 2, static_cast<uint16_t>(n - m));
}

Result<void, StorageError> LeafMutator::replace(size_t i, ByteView new_value) {
  TRY_ASSIGN(LeafAccessor accessor, checked_accessor(/*walk_own=*/false));
  const size_t n = accessor.num_pairs();
  STORAGE_ASSERT(n >= 1 && i < n);
  if (fixed_value_width_) STORAGE_ASSERT(new_value.size() == *fixed_value_width_);
  TRY_ASSIGN(std::optional<EntryRanges> r, accessor.entry_ranges(i));
  TRY_ASSIGN(const size_t total, accessor.total_length());
  const int64_t delta =
      static_cast<int64_t>(new_value.size()) - static_cast<int64_t>(r->value_end - r->value_start);
  if (static_cast<int64_t>(total) + delta > static_cast<int64_t>(page_.size())) {
    panic(
        "assertion failed: isize::try_from(accessor.total_length()).unwrap() + value_delta <=\n"
        "    isize::try_from(self.page.len()).unwrap()");
  }
  to_offset(static_cast<uint64_t>(static_cast<int64_t>(total) + delta));
  for (size_t j = i; j < n; ++j) update_value_end(j, delta);
  uint8_t* p = page_.data();
  move_bytes(p, static_cast<size_t>(static_cast<int64_t>(r->value_end) + delta), r->value_end,
             total - r->value_end);
  copy_bytes(p + r->value_start, new_value);
  return Unit{};
}

void LeafMutator::update_value_end(size_t i, int64_t delta) {
  if (fixed_value_width_) return;
  const size_t n = load_le16(page_.data() + 2);
  STORAGE_ASSERT(i < n);
  const size_t slot = 4 + n * offset_width(fixed_key_width_) + 4 * i;
  STORAGE_ASSERT(slot + 4 <= page_.size());
  const int64_t v = static_cast<int64_t>(load_le32(page_.data() + slot)) + delta;
  if (v < 0) panic(kUnwrapErrText);
  store_le32(page_.data() + slot, to_offset(static_cast<uint64_t>(v)));
}

Result<std::vector<uint8_t>, StorageError> remove_pair_taking_value(
    MutByteView page, PageNumber page_number, size_t i, std::optional<size_t> fixed_key_width,
    std::optional<size_t> fixed_value_width) {
  LeafMutator mutator(page, page_number, fixed_key_width, fixed_value_width);
  std::vector<uint8_t> value;
  {
    TRY_ASSIGN(LeafAccessor accessor,
               LeafAccessor::create(ByteView(page), page_number, fixed_key_width,
                                    fixed_value_width));
    if (!(i < accessor.num_pairs())) panic("assertion failed: i < num_pairs");
    TRY_ASSIGN(std::optional<LeafEntry> e, accessor.entry(i));
    value.assign(e->value.begin(), e->value.end());
  }
  TRY(mutator.remove(i));
  return value;
}

}  // namespace storage
