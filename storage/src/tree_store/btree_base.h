// Leaf and branch pages of the B-tree: read views, builders, in-place leaf edits,
// checksums, and the guards through which stored values leave a tree.
//
// Page bytes are untrusted: they may come from a damaged file. Every read view
// checks the offsets it uses against the page and against each other and
// reports damage as StorageError::Corrupted; no call reads outside the page.
// Broken caller preconditions (a pair index past the end, a builder fed out of
// order) are panics.
//
// The page code works on byte spans and a PageNumber; the page handles meet it
// through the ReadPageHandle / WritePageHandle concepts, the page allocator through
// NodeAllocator.
//
// Thread safety: accessors over shared read-only bytes may be used from several
// threads; builders and mutators write pages held exclusively by one thread.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/panic.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/types.h"

namespace storage {

inline constexpr uint8_t kLeafPageType = 1;
inline constexpr uint8_t kBranchPageType = 2;
// Most pairs in a leaf, and most keys in a branch (a u16 count).
inline constexpr size_t kMaxNodeEntries = 65535;

using MutByteView = std::span<uint8_t>;

// Page layout and search pieces shared by the accessors and by their inline
// lookup steps (LeafAccessor::step_u64, BranchAccessor::step_u64).
namespace node_layout {

// Branch layout: checksums at 8, page numbers after them, then key offsets.
constexpr size_t branch_checksum_at(size_t i) { return 8 + 16 * i; }
constexpr size_t branch_page_number_at(size_t num_keys, size_t i) {
  return 8 + 16 * (num_keys + 1) + 8 * i;
}
constexpr size_t branch_offsets_at(size_t num_keys) { return 32 + 24 * num_keys; }

// A search by halving over a page visits a few lines of it in a chain, each
// waiting for the one before; asking for all of them at once lets the misses
// overlap. Only for areas small enough that fetching them all is cheap.
inline constexpr size_t kPrefetchLimit = 2048;
inline void prefetch_area(ByteView page, size_t start, size_t end) {
  if (end <= start || end - start > kPrefetchLimit || end > page.size()) return;
  const uint8_t* base = page.data();
  for (size_t at = start & ~size_t{63}; at < end; at += 64) __builtin_prefetch(base + at);
}

// u64 keys are the common case of the searches: compared inline, with no call
// per probe. Any other order goes through the tree's compare function.
inline bool u64_keys(KeyCompareFn compare, std::optional<size_t> fixed_key_width,
                     ByteView query) {
  return compare == &U64Codec::compare && fixed_key_width == 8 && query.size() == 8;
}

// Search by halving over n u64 keys stored back to back from `keys`, all of
// them inside the page (the caller checked that): (index of the first key not
// below q, whether it equals q). The halving picks its next half with a
// conditional move, not a jump: which half a random key falls in cannot be
// predicted, and a mispredicted jump per step cost more than the few steps an
// early exit on an equal key saves. Every index read stays below n whatever
// the page's keys hold.
inline std::pair<size_t, bool> search_u64(const uint8_t* keys, size_t n, uint64_t q) {
  if (n == 0) return {0, false};
  size_t base = 0;
  size_t len = n;
  // The first key not below q is in [base, base + len].
  while (len > 1) {
    const size_t half = len / 2;
    base = load_le64(keys + 8 * (base + half - 1)) < q ? base + half : base;
    len -= half;
  }
  const size_t i = base + (load_le64(keys + 8 * base) < q ? 1 : 0);
  return {i, i < n && load_le64(keys + 8 * i) == q};
}

}  // namespace node_layout

// A page handle's read side: its bytes and its address.
template <typename P>
concept ReadPageHandle = requires(const P& p) {
  { p.memory() } -> std::convertible_to<ByteView>;
  { p.get_page_number() } -> std::convertible_to<PageNumber>;
};

// A page handle that may be written through (held exclusively).
template <typename P>
concept WritePageHandle = ReadPageHandle<P> && requires(P& p) {
  { p.memory_mut() } -> std::convertible_to<MutByteView>;
};

// What the builders need of the write transaction's page allocator: the page
// size and an allocation of a given byte size (recorded in the tracker) that
// yields a writable page, or the allocation's error.
template <typename A, typename T>
concept NodeAllocator = requires(A& a, const T& tracker, size_t len) {
  { a.get_page_size() } -> std::convertible_to<size_t>;
  { a.allocate(len, tracker).ok() } -> std::convertible_to<bool>;
  requires WritePageHandle<std::remove_cvref_t<decltype(a.allocate(len, tracker).value())>>;
};

template <typename A, typename T>
using AllocatedPage = std::remove_cvref_t<decltype(std::declval<A&>()
                                                       .allocate(size_t{}, std::declval<const T&>())
                                                       .value())>;

// ---------------------------------------------------------------------------
// Leaf pages
// ---------------------------------------------------------------------------

struct LeafEntry {
  ByteView key;
  ByteView value;
};

// Absolute byte ranges of one pair within its page.
struct EntryRanges {
  size_t key_start = 0;
  size_t key_end = 0;
  size_t value_start = 0;
  size_t value_end = 0;
  bool operator==(const EntryRanges&) const = default;
};

// Read view of one leaf page. Creating it checks that the header, the offset
// arrays and the whole key and value areas lie inside the page; each pair's own
// offsets are checked when the pair is read.
class LeafAccessor {
 public:
  static Result<LeafAccessor, StorageError> create(ByteView page, PageNumber page_number,
                                                   std::optional<size_t> fixed_key_width,
                                                   std::optional<size_t> fixed_value_width,
                                                   KeyCompareFn compare = nullptr);
  static Result<LeafAccessor, StorageError> create(ByteView page, PageNumber page_number,
                                                   const TreeDescriptor& d) {
    return create(page, page_number, d.fixed_key_width, d.fixed_value_width, d.compare);
  }
  template <ReadPageHandle P>
  static Result<LeafAccessor, StorageError> create(const P& page, const TreeDescriptor& d) {
    return create(ByteView(page.memory()), page.get_page_number(), d);
  }
  // create() for a page of at least 4 bytes whose count (bytes 2 and 3) the
  // caller already holds, so that a search's first touch of the page is the
  // lines it needs: the same checks, on that count.
  static Result<LeafAccessor, StorageError> create_with_count(ByteView page,
                                                              PageNumber page_number,
                                                              const TreeDescriptor& d,
                                                              size_t num_pairs);

  // Where a point lookup of u64 key `q` ends in a leaf with 8-byte keys: the
  // value's [start, end) when present.
  struct Hit {
    bool found;
    size_t value_start;
    size_t value_end;
  };
  // The lookup step through create_with_count, position and value_range, for
  // 8-byte keys and a query of 8 bytes: the same checks and the same answer,
  // inline, so that a step costs little besides its misses. Nothing when the
  // page fails a check; the checked path then names the damage.
  static std::optional<Hit> step_u64(ByteView page, size_t n,
                                     std::optional<size_t> fixed_value_width, uint64_t q) {
    const size_t len = page.size();
    const uint8_t* p = page.data();
    const uint64_t header = 4 + n * (fixed_value_width ? 0 : 4);
    if (header > len) return std::nullopt;
    node_layout::prefetch_area(page, 4, header + 8 * n);
    const uint64_t first_value = header + 8 * n;
    if (n == 0) return Hit{false, 0, 0};
    const uint64_t total = fixed_value_width ? first_value + n * *fixed_value_width
                                             : load_le32(p + 4 + 4 * (n - 1));
    if (total > len || first_value > len || total < first_value) return std::nullopt;
    const auto [i, found] = node_layout::search_u64(p + header, n, q);
    if (!found) return Hit{false, 0, 0};
    uint64_t start;
    uint64_t end;
    if (fixed_value_width) {
      start = first_value + i * *fixed_value_width;
      end = start + *fixed_value_width;
    } else {
      start = i == 0 ? first_value : load_le32(p + 4 + 4 * (i - 1));
      end = load_le32(p + 4 + 4 * i);
    }
    if (!(first_value <= start && start <= end && end <= total)) return std::nullopt;
    return Hit{true, start, end};
  }

  size_t num_pairs() const { return num_pairs_; }
  ByteView page() const { return page_; }
  PageNumber page_number() const { return page_number_; }

  // (index, found): the pair with an equal key, or where the key would go.
  Result<std::pair<size_t, bool>, StorageError> position(ByteView key) const;
  // Absent when i >= n.
  Result<std::optional<LeafEntry>, StorageError> entry(size_t i) const;
  Result<std::optional<EntryRanges>, StorageError> entry_ranges(size_t i) const;
  // Entry i's ranges for i < n when its offsets are sound, as entry_ranges
  // checks them; false otherwise (entry_ranges then names the damage). Inline:
  // the step of a scan.
  bool try_entry_ranges(size_t i, EntryRanges& r) const {
    if (i >= num_pairs_) return false;
    const uint8_t* offsets = page_.data() + 4;
    if (fixed_key_width_) {
      r.key_start = header_ + i * *fixed_key_width_;
      r.key_end = r.key_start + *fixed_key_width_;
    } else {
      r.key_start = i == 0 ? header_ : load_le32(offsets + 4 * (i - 1));
      r.key_end = load_le32(offsets + 4 * i);
      offsets += 4 * num_pairs_;
    }
    if (fixed_value_width_) {
      r.value_start = first_value_ + i * *fixed_value_width_;
      r.value_end = r.value_start + *fixed_value_width_;
    } else {
      r.value_start = i == 0 ? first_value_ : load_le32(offsets + 4 * (i - 1));
      r.value_end = load_le32(offsets + 4 * i);
    }
    // total_ <= the page's size was checked on creation.
    return header_ <= r.key_start && r.key_start <= r.key_end && r.key_end <= first_value_ &&
           first_value_ <= r.value_start && r.value_start <= r.value_end &&
           r.value_end <= total_;
  }
  Result<std::optional<std::pair<size_t, size_t>>, StorageError> value_range(size_t i) const;
  // i < n is the caller's guarantee.
  Result<ByteView, StorageError> key_unchecked(size_t i) const;
  // Start of value i for i < n, the end of the values for i = n; absent beyond.
  Result<std::optional<size_t>, StorageError> offset_of_value(size_t i) const;
  Result<size_t, StorageError> offset_of_first_value() const;
  // Over pairs [start, end), end <= n.
  Result<size_t, StorageError> length_of_keys(size_t start, size_t end) const;
  Result<size_t, StorageError> length_of_pairs(size_t start, size_t end) const;
  // End of the last value; needs n >= 1.
  Result<size_t, StorageError> total_length() const;
  Result<LeafEntry, StorageError> last_entry() const;

  // Checks every offset: keys and values ascend without gaps or overlap and
  // end inside the page. Edits in place run it first, so that a damaged page is
  // reported before any byte moves.
  Result<void, StorageError> validate_all() const;

 private:
  LeafAccessor() = default;
  static Result<LeafAccessor, StorageError> with_count(ByteView page, PageNumber page_number,
                                                       std::optional<size_t> fixed_key_width,
                                                       std::optional<size_t> fixed_value_width,
                                                       KeyCompareFn compare, uint64_t n);
  uint32_t key_end_entry(size_t i) const { return load_le32(page_.data() + 4 + 4 * i); }
  uint32_t value_end_entry(size_t i) const {
    return load_le32(page_.data() + 4 + (fixed_key_width_ ? 0 : 4 * num_pairs_) + 4 * i);
  }
  Result<EntryRanges, StorageError> ranges(size_t i) const;
  StorageError corrupted_pair(size_t i) const;
  StorageError beyond_end(size_t offset) const;

  ByteView page_;
  PageNumber page_number_;
  std::optional<size_t> fixed_key_width_;
  std::optional<size_t> fixed_value_width_;
  KeyCompareFn compare_ = nullptr;
  size_t num_pairs_ = 0;
  size_t header_ = 4;       // H: type, reserved, count and the offset arrays
  size_t first_value_ = 4;  // end of the keys
  size_t total_ = 4;        // end of the values
};

// One pair handed to a builder: views into pages or buffers that outlive it.
struct LeafPair {
  ByteView key;
  ByteView value;
};

// Header size of a leaf with n pairs: type, reserved byte, count, offset arrays.
constexpr size_t leaf_header_size(size_t num_pairs, std::optional<size_t> fixed_key_width,
                                  std::optional<size_t> fixed_value_width) {
  return 4 + num_pairs * ((fixed_key_width ? 0 : 4) + (fixed_value_width ? 0 : 4));
}
// Split when at least 2 pairs and more than 65535 pairs or more than a page.
bool leaf_split_required(size_t num_pairs, size_t total_pair_bytes,
                         std::optional<size_t> fixed_key_width,
                         std::optional<size_t> fixed_value_width, size_t page_size);
// One pair whose leaf fills at least a page.
Result<bool, StorageError> is_single_large_value(const LeafAccessor& accessor, size_t page_size);
// XXH3-128 of [0, end of the last value).
Result<Checksum, StorageError> leaf_checksum(ByteView page, PageNumber page_number,
                                             std::optional<size_t> fixed_key_width,
                                             std::optional<size_t> fixed_value_width);
template <ReadPageHandle P>
Result<Checksum, StorageError> leaf_checksum(const P& page, std::optional<size_t> fixed_key_width,
                                             std::optional<size_t> fixed_value_width) {
  return leaf_checksum(ByteView(page.memory()), page.get_page_number(), fixed_key_width,
                       fixed_value_width);
}

// Writes one leaf pair by pair into a page sized for it in advance. finish()
// checks that the page was filled exactly; a builder abandoned by a panic is
// simply dropped.
class RawLeafBuilder {
 public:
  // Writes the type byte, a zero reserved byte and the count.
  RawLeafBuilder(MutByteView page, size_t num_pairs, std::optional<size_t> fixed_key_width,
                 std::optional<size_t> fixed_value_width, size_t provisioned_key_bytes);
  void append(ByteView key, ByteView value);
  void finish() const;

 private:
  MutByteView page_;
  size_t num_pairs_;
  std::optional<size_t> fixed_key_width_;
  std::optional<size_t> fixed_value_width_;
  size_t provisioned_key_bytes_;
  size_t header_;
  size_t pairs_written_ = 0;
  size_t key_cursor_;    // where the next key starts
  size_t value_cursor_;  // where the next value starts
};

// The untyped core of LeafBuilder.
class LeafPairList {
 public:
  LeafPairList(size_t capacity, std::optional<size_t> fixed_key_width,
               std::optional<size_t> fixed_value_width);

  void push(ByteView key, ByteView value);
  Result<void, StorageError> push_all_except(const LeafAccessor& accessor,
                                             std::optional<size_t> except);
  // `except` strictly ascending.
  Result<void, StorageError> push_all_except_indexes(const LeafAccessor& accessor,
                                                     std::span<const size_t> except);
  bool should_split(size_t page_size) const;

  size_t size() const { return pairs_.size(); }
  const std::vector<LeafPair>& pairs() const { return pairs_; }
  size_t total_key_bytes() const { return total_key_bytes_; }
  size_t total_value_bytes() const { return total_value_bytes_; }
  std::optional<size_t> fixed_key_width() const { return fixed_key_width_; }
  std::optional<size_t> fixed_value_width() const { return fixed_value_width_; }

  // Encoded size of pairs [start, end) as one leaf.
  size_t leaf_size(size_t start, size_t end) const;
  // ValueTooLarge when the leaf of pairs [start, end) would have an offset
  // beyond a u32.
  Result<void, StorageError> check_leaf_size(size_t start, size_t end) const;
  // Number of pairs that go to the first of two leaves.
  size_t split_count() const;
  // Writes pairs [start, end) as one leaf into `page` (at least leaf_size long).
  void write(MutByteView page, size_t start, size_t end) const;

 private:
  std::vector<LeafPair> pairs_;
  std::optional<size_t> fixed_key_width_;
  std::optional<size_t> fixed_value_width_;
  size_t total_key_bytes_ = 0;
  size_t total_value_bytes_ = 0;
};

template <typename Page>
struct LeafSplit {
  Page first;
  ByteView separator;  // the last key of `first`
  Page second;
};

// Collects pairs (views, not copies) and writes them as one new leaf, or two.
template <typename A, typename T>
  requires NodeAllocator<A, T>
class LeafBuilder {
 public:
  using Page = AllocatedPage<A, T>;

  LeafBuilder(A& allocator, const T& tracker, size_t capacity,
              std::optional<size_t> fixed_key_width, std::optional<size_t> fixed_value_width)
      : allocator_(allocator),
        tracker_(tracker),
        pairs_(capacity, fixed_key_width, fixed_value_width) {}

  void push(ByteView key, ByteView value) { pairs_.push(key, value); }
  Result<void, StorageError> push_all_except(const LeafAccessor& accessor,
                                             std::optional<size_t> except) {
    return pairs_.push_all_except(accessor, except);
  }
  Result<void, StorageError> push_all_except_indexes(const LeafAccessor& accessor,
                                                     std::span<const size_t> except) {
    return pairs_.push_all_except_indexes(accessor, except);
  }
  bool should_split() const { return pairs_.should_split(allocator_.get_page_size()); }
  size_t len() const { return pairs_.size(); }

  // A leaf whose offsets would not fit a u32 is ValueTooLarge, before any
  // page is allocated: a pair that fits alone may not fit beside the pairs
  // the rebuilt leaf puts next to it.
  Result<Page, StorageError> build() && {
    TRY(pairs_.check_leaf_size(0, pairs_.size()));
    return build_range(0, pairs_.size());
  }

  Result<LeafSplit<Page>, StorageError> build_split() && {
    if (pairs_.size() > 2 * kMaxNodeEntries) {
      panic("assertion failed: self.pairs.len() <= 2 * max_pairs");
    }
    STORAGE_ASSERT(pairs_.size() >= 2);
    size_t s = pairs_.split_count();
    TRY(pairs_.check_leaf_size(0, s));
    TRY(pairs_.check_leaf_size(s, pairs_.size()));
    TRY_ASSIGN(Page first, build_range(0, s));
    TRY_ASSIGN(Page second, build_range(s, pairs_.size()));
    return LeafSplit<Page>{std::move(first), pairs_.pairs()[s - 1].key, std::move(second)};
  }

 private:
  Result<Page, StorageError> build_range(size_t start, size_t end) {
    STORAGE_ASSERT(end > start && end - start <= kMaxNodeEntries);
    TRY_ASSIGN(Page page, allocator_.allocate(pairs_.leaf_size(start, end), tracker_));
    pairs_.write(MutByteView(page.memory_mut()), start, end);
    return page;
  }

  A& allocator_;
  T tracker_;
  LeafPairList pairs_;
};

// ---------------------------------------------------------------------------
// Branch pages
// ---------------------------------------------------------------------------

// Read view of one branch page. Creating it checks that the header and the
// child arrays (and key offsets) lie inside the page, and that the key area
// ends inside it; each key's own offsets are checked when it is read.
class BranchAccessor {
 public:
  static Result<BranchAccessor, StorageError> create(ByteView page, PageNumber page_number,
                                                     std::optional<size_t> fixed_key_width,
                                                     KeyCompareFn compare = nullptr);
  static Result<BranchAccessor, StorageError> create(ByteView page, PageNumber page_number,
                                                     const TreeDescriptor& d) {
    return create(page, page_number, d.fixed_key_width, d.compare);
  }
  template <ReadPageHandle P>
  static Result<BranchAccessor, StorageError> create(const P& page, const TreeDescriptor& d) {
    return create(ByteView(page.memory()), page.get_page_number(), d);
  }
  // As LeafAccessor::create_with_count.
  static Result<BranchAccessor, StorageError> create_with_count(ByteView page,
                                                                PageNumber page_number,
                                                                const TreeDescriptor& d,
                                                                size_t num_keys);
  // The lookup step through create_with_count and child_for_key for 8-byte
  // keys and a query of 8 bytes, as LeafAccessor::step_u64: (child index,
  // child page), or nothing when the page fails a check.
  static std::optional<std::pair<size_t, PageNumber>> step_u64(ByteView page, size_t k,
                                                                uint64_t q) {
    using node_layout::branch_page_number_at;
    using node_layout::prefetch_area;
    const size_t keys_start = node_layout::branch_offsets_at(k);
    const size_t keys_end = keys_start + 8 * k;
    if (k == 0 || keys_end > page.size()) return std::nullopt;
    // The keys first, then the child page numbers, which the search ends in.
    prefetch_area(page, keys_start, keys_end);
    prefetch_area(page, branch_page_number_at(k, 0), keys_start);
    const size_t i = node_layout::search_u64(page.data() + keys_start, k, q).first;
    return std::pair<size_t, PageNumber>(
        i, PageNumber::from_le_bytes(page.data() + branch_page_number_at(k, i)));
  }

  size_t num_keys() const { return num_keys_; }
  size_t count_children() const { return num_keys_ + 1; }
  // i <= num_keys.
  PageNumber child_page(size_t i) const;
  Checksum child_checksum(size_t i) const;
  // Absent when i >= k.
  Result<std::optional<ByteView>, StorageError> key(size_t i) const;
  // (child index, child page): the first key >= the query, else the last child.
  Result<std::pair<size_t, PageNumber>, StorageError> child_for_key(ByteView query) const;
  // End of the last key; needs k >= 1.
  Result<size_t, StorageError> total_length() const;

  ByteView page() const { return page_; }
  PageNumber page_number() const { return page_number_; }

 private:
  BranchAccessor() = default;
  static Result<BranchAccessor, StorageError> with_count(ByteView page, PageNumber page_number,
                                                         std::optional<size_t> fixed_key_width,
                                                         KeyCompareFn compare, uint64_t k);
  Result<std::pair<size_t, size_t>, StorageError> key_range(size_t i) const;

  ByteView page_;
  PageNumber page_number_;
  std::optional<size_t> fixed_key_width_;
  KeyCompareFn compare_ = nullptr;
  size_t num_keys_ = 0;
  size_t keys_start_ = 0;
  size_t keys_end_ = 0;
};

// Size of a branch with k keys holding `key_bytes` of keys: 8 header bytes, a
// 16-byte checksum and an 8-byte page number per child, the key offsets, the keys.
constexpr size_t branch_size(size_t num_keys, size_t key_bytes,
                             std::optional<size_t> fixed_key_width) {
  return key_bytes + 32 + 24 * num_keys + (fixed_key_width ? 0 : 4 * num_keys);
}
static_assert(sizeof(Checksum) + PageNumber::kSerializedSize == 24);
static_assert(leaf_header_size(2, 8, std::nullopt) == 12);
static_assert(leaf_header_size(7, 0, 8) == 4);
static_assert(branch_size(2, 16, 8) == 96);
static_assert(branch_size(1, 0, std::nullopt) == 60);
// XXH3-128 of [0, end of the last key).
Result<Checksum, StorageError> branch_checksum(ByteView page, PageNumber page_number,
                                               std::optional<size_t> fixed_key_width);
template <ReadPageHandle P>
Result<Checksum, StorageError> branch_checksum(const P& page,
                                               std::optional<size_t> fixed_key_width) {
  return branch_checksum(ByteView(page.memory()), page.get_page_number(), fixed_key_width);
}

// Writes one branch key by key into a page sized in advance; finish() checks
// that every key was written.
class RawBranchBuilder {
 public:
  // Writes the type byte, zero reserved bytes and the count.
  RawBranchBuilder(MutByteView page, size_t num_keys, std::optional<size_t> fixed_key_width);
  void write_first_page(PageNumber page_number, Checksum checksum);
  void write_nth_key(ByteView key, PageNumber page_number, Checksum checksum, size_t n);
  void finish() const;

 private:
  void write_child(size_t i, PageNumber page_number, Checksum checksum);

  MutByteView page_;
  size_t num_keys_;
  std::optional<size_t> fixed_key_width_;
  size_t keys_written_ = 0;
  size_t key_cursor_;
};

struct BranchChild {
  PageNumber page;
  Checksum checksum = 0;
  bool operator==(const BranchChild&) const = default;
};

// The untyped core of BranchBuilder.
class BranchEntryList {
 public:
  BranchEntryList(size_t capacity, std::optional<size_t> fixed_key_width);

  void push_child(PageNumber page, Checksum checksum) { children_.push_back({page, checksum}); }
  void push_key(ByteView key);
  Result<void, StorageError> push_all(const BranchAccessor& accessor);
  bool should_split(size_t page_size) const;

  const std::vector<BranchChild>& children() const { return children_; }
  const std::vector<ByteView>& keys() const { return keys_; }
  size_t total_key_bytes() const { return total_key_bytes_; }

  // Keys [key_start, key_end) with the children around them as one branch.
  size_t branch_size_of(size_t key_start, size_t key_end) const;
  void write(MutByteView page, size_t key_start, size_t key_end) const;

 private:
  std::vector<BranchChild> children_;
  std::vector<ByteView> keys_;
  std::optional<size_t> fixed_key_width_;
  size_t total_key_bytes_ = 0;
};

template <typename Page>
struct BranchSplit {
  Page left;
  ByteView middle_key;
  Page right;
};

// Collects children and keys and writes them as one new branch, or two with the
// middle key moving up.
template <typename A, typename T>
  requires NodeAllocator<A, T>
class BranchBuilder {
 public:
  using Page = AllocatedPage<A, T>;

  BranchBuilder(A& allocator, const T& tracker, size_t capacity,
                std::optional<size_t> fixed_key_width)
      : allocator_(allocator), tracker_(tracker), entries_(capacity, fixed_key_width) {}

  void push_child(PageNumber page, Checksum checksum) { entries_.push_child(page, checksum); }
  void push_key(ByteView key) { entries_.push_key(key); }
  Result<void, StorageError> push_all(const BranchAccessor& accessor) {
    return entries_.push_all(accessor);
  }
  bool should_split() const { return entries_.should_split(allocator_.get_page_size()); }
  size_t num_children() const { return entries_.children().size(); }
  const BranchChild& child(size_t i) const { return entries_.children()[i]; }
  size_t num_keys() const { return entries_.keys().size(); }
  size_t total_key_bytes() const { return entries_.total_key_bytes(); }

  Result<Page, StorageError> build() && {
    STORAGE_ASSERT(entries_.children().size() == entries_.keys().size() + 1);
    return build_range(0, entries_.keys().size());
  }

  Result<BranchSplit<Page>, StorageError> build_split() && {
    STORAGE_ASSERT(entries_.children().size() == entries_.keys().size() + 1);
    size_t k = entries_.keys().size();
    if (k < 3) panic("assertion failed: self.keys.len() >= 3");
    size_t d = k / 2;
    TRY_ASSIGN(Page left, build_range(0, d));
    TRY_ASSIGN(Page right, build_range(d + 1, k));
    return BranchSplit<Page>{std::move(left), entries_.keys()[d], std::move(right)};
  }

  // The children and owned copies of the keys.
  std::pair<std::vector<BranchChild>, std::vector<std::vector<uint8_t>>> into_parts() && {
    std::vector<std::vector<uint8_t>> keys;
    keys.reserve(entries_.keys().size());
    for (ByteView k : entries_.keys()) keys.emplace_back(k.begin(), k.end());
    return {entries_.children(), std::move(keys)};
  }

 private:
  Result<Page, StorageError> build_range(size_t key_start, size_t key_end) {
    TRY_ASSIGN(Page page,
               allocator_.allocate(entries_.branch_size_of(key_start, key_end), tracker_));
    entries_.write(MutByteView(page.memory_mut()), key_start, key_end);
    return page;
  }

  A& allocator_;
  T tracker_;
  BranchEntryList entries_;
};

// Rewrites child entries of a branch page in place.
class BranchMutator {
 public:
  // Byte 0 must be 2 and the child arrays must fit the page.
  explicit BranchMutator(MutByteView page);
  void write_child_page(size_t i, PageNumber page_number, Checksum checksum);

 private:
  MutByteView page_;
  size_t num_keys_;
};

// ---------------------------------------------------------------------------
// In-place leaf edits
// ---------------------------------------------------------------------------

// Edits a leaf of the open write transaction in place, leaving exactly the bytes
// a LeafBuilder would write for the new pairs. Each edit first checks the whole
// page and returns Corrupted, with nothing changed, when it is damaged; broken
// preconditions (no room, index past the end) are panics.
class LeafMutator {
 public:
  // Where the page's bytes come from. Edits of a page read from the file check
  // every offset first; a page the open transaction built or edited itself was
  // checked pair by pair as it was written, so insert and replace skip that
  // walk on it.
  enum class Origin : uint8_t { kUntrusted, kWrittenByThisTransaction };

  // Byte 0 must be 1.
  LeafMutator(MutByteView page, PageNumber page_number, std::optional<size_t> fixed_key_width,
              std::optional<size_t> fixed_value_width, Origin origin = Origin::kUntrusted);

  static Result<bool, StorageError> sufficient_insert_inplace_space(
      ByteView page, PageNumber page_number, size_t i, std::optional<size_t> fixed_key_width,
      std::optional<size_t> fixed_value_width, ByteView key, ByteView value);
  // The same test on the leaf's accessor.
  static Result<bool, StorageError> sufficient_insert_inplace_space(
      const LeafAccessor& accessor, size_t i, std::optional<size_t> fixed_key_width,
      std::optional<size_t> fixed_value_width, ByteView key, ByteView value);
  static Result<bool, StorageError> sufficient_replace_inplace_space(
      ByteView page, PageNumber page_number, size_t i, std::optional<size_t> fixed_key_width,
      std::optional<size_t> fixed_value_width, ByteView new_value);

  // Answers where the new value starts.
  Result<size_t, StorageError> insert(size_t i, ByteView key, ByteView value);
  Result<void, StorageError> remove(size_t i);
  // Strictly ascending, at least one pair stays.
  Result<void, StorageError> remove_indices(std::span<const size_t> indices);
  Result<void, StorageError> replace(size_t i, ByteView new_value);
  // Adds delta to the stored end offset of value i; nothing with fixed-width values.
  void update_value_end(size_t i, int64_t delta);

 private:
  // The page's accessor, after the walk over every offset unless the page is
  // this transaction's own and `walk_own` is false.
  Result<LeafAccessor, StorageError> checked_accessor(bool walk_own) const;
  void compact(const LeafAccessor& accessor, std::span<const size_t> indices);

  MutByteView page_;
  PageNumber page_number_;
  std::optional<size_t> fixed_key_width_;
  std::optional<size_t> fixed_value_width_;
  Origin origin_;
};

// Removes pair i from a leaf of the open write transaction at once and returns
// a copy of its value, so that no guard keeps a lent-out page or a pair that the
// tree no longer counts.
Result<std::vector<uint8_t>, StorageError> remove_pair_taking_value(
    MutByteView page, PageNumber page_number, size_t i, std::optional<size_t> fixed_key_width,
    std::optional<size_t> fixed_value_width);

// A writable leaf page with its tree's widths, as handed to dirty-leaf visitors.
template <WritePageHandle W>
class LeafPageMut {
 public:
  LeafPageMut(W page, std::optional<size_t> fixed_key_width,
              std::optional<size_t> fixed_value_width)
      : page_(std::move(page)),
        fixed_key_width_(fixed_key_width),
        fixed_value_width_(fixed_value_width) {}

  const W& page() const { return page_; }
  W& page() { return page_; }
  W into_page() && { return std::move(page_); }

  Result<void, StorageError> replace_value(size_t i, ByteView new_value) {
    MutByteView bytes(page_.memory_mut());
    STORAGE_ASSERT(!bytes.empty() && bytes[0] == kLeafPageType);
    return LeafMutator(bytes, page_.get_page_number(), fixed_key_width_, fixed_value_width_)
        .replace(i, new_value);
  }

 private:
  W page_;
  std::optional<size_t> fixed_key_width_;
  std::optional<size_t> fixed_value_width_;
};

// ---------------------------------------------------------------------------
// Value access guards
// ---------------------------------------------------------------------------

// The shared bytes of a page that was already freed (the page cache's
// reference-counted buffer): they stay valid while any holder lives.
template <typename S>
concept SharedPageBytes = std::copy_constructible<S> && requires(const S& s) {
  { s.bytes() } -> std::convertible_to<ByteView>;
};

// What holds the bytes of a guarded value: R a read-only page handle, W a
// writable one, S the shared bytes of a freed page.
template <ReadPageHandle R, WritePageHandle W, SharedPageBytes S>
class EitherPage {
 public:
  enum class Kind : uint8_t { kReadOnly = 0, kWritable = 1, kOwned = 2, kSharedBytes = 3 };

  static EitherPage read_only(R page) { return EitherPage(Holder(std::in_place_index<0>,
                                                                 std::move(page))); }
  static EitherPage writable(W page) { return EitherPage(Holder(std::in_place_index<1>,
                                                                std::move(page))); }
  static EitherPage owned(std::vector<uint8_t> bytes) {
    return EitherPage(Holder(std::in_place_index<2>, std::move(bytes)));
  }
  static EitherPage shared_bytes(S bytes) {
    return EitherPage(Holder(std::in_place_index<3>, std::move(bytes)));
  }

  Kind kind() const { return static_cast<Kind>(holder_.index()); }
  ByteView memory() const {
    switch (holder_.index()) {
      case 0:
        return ByteView(std::get<0>(holder_).memory());
      case 1:
        return ByteView(std::get<1>(holder_).memory());
      case 2:
        return ByteView(std::get<2>(holder_));
      default:
        return ByteView(std::get<3>(holder_).bytes());
    }
  }

 private:
  using Holder = std::variant<R, W, std::vector<uint8_t>, S>;
  explicit EitherPage(Holder h) : holder_(std::move(h)) {}
  Holder holder_;
};

// The read view of one stored value: what holds its bytes, and where the value
// lies in them. Releasing it releases the holder and nothing else: removals are
// done at once by the tree (remove_pair_taking_value), never deferred to here.
//
// Thread safety: a guard over shared read-only bytes may move between threads;
// one over a writable page belongs to the write transaction's thread.
template <ValueCodec V, ReadPageHandle R, WritePageHandle W, SharedPageBytes S>
class AccessGuard {
 public:
  using Holder = EitherPage<R, W, S>;

  AccessGuard(Holder page, size_t offset, size_t len)
      : page_(std::move(page)), offset_(offset), len_(len) {
    ByteView bytes = page_.memory();
    STORAGE_ASSERT(offset_ <= bytes.size() && len_ <= bytes.size() - offset_);
  }
  static AccessGuard read_only(R page, size_t offset, size_t len) {
    return AccessGuard(Holder::read_only(std::move(page)), offset, len);
  }
  static AccessGuard writable(W page, size_t offset, size_t len) {
    return AccessGuard(Holder::writable(std::move(page)), offset, len);
  }
  static AccessGuard owned(std::vector<uint8_t> bytes) {
    size_t len = bytes.size();
    return AccessGuard(Holder::owned(std::move(bytes)), 0, len);
  }
  static AccessGuard shared_bytes(S bytes, size_t offset, size_t len) {
    return AccessGuard(Holder::shared_bytes(std::move(bytes)), offset, len);
  }

  typename Holder::Kind kind() const { return page_.kind(); }
  ByteView bytes() const { return page_.memory().subspan(offset_, len_); }
  typename V::Decoded value() const { return V::from_bytes(bytes()); }

 private:
  Holder page_;
  size_t offset_;
  size_t len_;
};

// The writable view of a value just inserted into a page of the open write
// transaction. Releasing it gives the page back; what was written stays.
template <WritePageHandle W>
class AccessGuardMutInPlace {
 public:
  AccessGuardMutInPlace(W page, size_t offset, size_t len)
      : page_(std::move(page)), offset_(offset), len_(len) {
    ByteView bytes(page_.memory());
    STORAGE_ASSERT(offset_ <= bytes.size() && len_ <= bytes.size() - offset_);
  }
  MutByteView value_mut() { return MutByteView(page_.memory_mut()).subspan(offset_, len_); }

 private:
  W page_;
  size_t offset_;
  size_t len_;
};

}  // namespace storage
