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

static_assert(KeyCodec<TransactionIdWithPagination>);
static_assert(TransactionIdWithPagination::kWidth == 2 * sizeof(uint64_t));
static_assert(PageList::required_bytes(1) == PageList::kHeaderSize + PageNumber::kSerializedSize);
static_assert(ValueCodec<PageList>);

}  // namespace storage
