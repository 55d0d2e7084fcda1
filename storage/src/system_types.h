// Key and value types of the engine's own page-list tables: which pages one
// transaction freed or allocated, kept under (transaction id, pagination index).
//
// TransactionIdWithPagination is a fixed 16-byte key: the transaction id, then
// the pagination index, both u64 little-endian, ordered by id then index as
// unsigned numbers. PageList is a variable-width value: a u16 little-endian
// count n, then n packed page numbers of 8 bytes each; bytes after them are
// ignored (values are reserved at full size and filled in place).
//
// The engine decodes only bytes these codecs wrote: a key of another width or
// a list shorter than its count is a broken invariant and panics.
//
// Thread safety: stateless functions and plain values.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/types.h"

namespace storage {

struct TransactionIdWithPagination {
  using Decoded = TransactionIdWithPagination;
  static constexpr size_t kWidth = 16;

  uint64_t transaction_id = 0;
  uint64_t pagination_id = 0;

  bool operator==(const TransactionIdWithPagination&) const = default;
  std::strong_ordering operator<=>(const TransactionIdWithPagination&) const = default;

  static constexpr std::optional<size_t> fixed_width() { return kWidth; }
  static TransactionIdWithPagination from_bytes(ByteView bytes);
  static std::array<uint8_t, kWidth> as_bytes(const TransactionIdWithPagination& key);
  static TypeName type_name() { return TypeName{0, "storage::TransactionIdWithPagination"}; }
  static std::strong_ordering compare(ByteView a, ByteView b);
};

// A read view of one stored page list; it borrows the stored bytes.
class PageList {
 public:
  using Decoded = PageList;
  static constexpr size_t kHeaderSize = 2;

  explicit PageList(ByteView bytes) : bytes_(bytes) {}

  static constexpr std::optional<size_t> fixed_width() { return std::nullopt; }
  static PageList from_bytes(ByteView bytes) { return PageList(bytes); }
  static ByteView as_bytes(const PageList& list) { return list.bytes_; }
  static TypeName type_name() { return TypeName{0, "storage::PageList"}; }
  // The stored form of exactly these pages.
  static std::vector<uint8_t> encode(std::span<const PageNumber> pages);
  // Size of a value holding n pages.
  static constexpr size_t required_bytes(size_t n) { return kHeaderSize + 8 * n; }

  size_t len() const;
  // Page i < len(); a value shorter than its count says panics.
  PageNumber get(size_t i) const;
  std::vector<PageNumber> pages() const;

  // Writing in place: the count, then page i (which must fit the value).
  static void set_len(std::span<uint8_t> value, size_t n);
  static void set(std::span<uint8_t> value, size_t i, PageNumber page);

 private:
  ByteView bytes_;
};

// The key of the "allocator_state" system table: 5 bytes, a tag then a u32
// little-endian region index (zero unless the tag is Region). Tags 0 to 2 are
// an older kind this engine never writes and only recognises; a tag above 5
// never comes from this engine. Ordered by kind (older < Region <
// RegionTracker < TransactionId), Region keys by index; keys with an unknown
// tag sort after all others, by tag, so that a damaged table still has a
// total order and its reader can report it.
struct AllocatorStateKey {
  using Decoded = AllocatorStateKey;
  static constexpr size_t kWidth = 5;
  static constexpr uint8_t kRegionTag = 3;
  static constexpr uint8_t kRegionTrackerTag = 4;
  static constexpr uint8_t kTransactionIdTag = 5;

  enum class Kind : uint8_t { kDeprecated = 0, kRegion = 1, kRegionTracker = 2, kTransactionId = 3 };

  Kind kind = Kind::kRegionTracker;
  uint32_t region = 0;

  static AllocatorStateKey Region(uint32_t region) { return {Kind::kRegion, region}; }
  static AllocatorStateKey RegionTracker() { return {Kind::kRegionTracker, 0}; }
  static AllocatorStateKey TransactionId() { return {Kind::kTransactionId, 0}; }

  bool operator==(const AllocatorStateKey&) const = default;

  static constexpr std::optional<size_t> fixed_width() { return kWidth; }
  // None for bytes this engine cannot read: not 5 bytes, or a tag above 5.
  static std::optional<AllocatorStateKey> parse(ByteView bytes);
  // Stored keys only; bytes parse() refuses are a broken invariant (panic).
  static AllocatorStateKey from_bytes(ByteView bytes);
  // The older kind is never written: encoding it panics.
  static std::array<uint8_t, kWidth> as_bytes(const AllocatorStateKey& key);
  static TypeName type_name() { return TypeName{0, "storage::AllocatorStateKey"}; }
  // A Region key not 5 bytes long is a broken invariant (panic).
  static std::strong_ordering compare(ByteView a, ByteView b);
};

static_assert(KeyCodec<TransactionIdWithPagination>);
static_assert(KeyCodec<AllocatorStateKey>);
static_assert(TransactionIdWithPagination::kWidth == 2 * sizeof(uint64_t));
static_assert(PageList::required_bytes(1) == PageList::kHeaderSize + PageNumber::kSerializedSize);
static_assert(ValueCodec<PageList>);

}  // namespace storage
