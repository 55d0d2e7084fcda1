#include "storage/src/system_types.h"

#include <cstring>

#include "storage/src/panic.h"

namespace storage {

namespace {

// Slice bounds of the stored bytes; a value the codec did not write breaks them.
void check_slice(size_t end, size_t len) {
  if (end > len) {
    panic("range end index " + std::to_string(end) + " out of range for slice of length " +
          std::to_string(len));
  }
}

}  // namespace

TransactionIdWithPagination TransactionIdWithPagination::from_bytes(ByteView bytes) {
  if (bytes.size() != kWidth) panic(kUnwrapErrText);
  return TransactionIdWithPagination{load_le64(bytes.data()), load_le64(bytes.data() + 8)};
}

std::array<uint8_t, TransactionIdWithPagination::kWidth> TransactionIdWithPagination::as_bytes(
    const TransactionIdWithPagination& key) {
  std::array<uint8_t, kWidth> out;
  store_le64(out.data(), key.transaction_id);
  store_le64(out.data() + 8, key.pagination_id);
  return out;
}

std::strong_ordering TransactionIdWithPagination::compare(ByteView a, ByteView b) {
  check_slice(8, a.size());
  check_slice(8, b.size());
  return from_bytes(a) <=> from_bytes(b);
}

std::vector<uint8_t> PageList::encode(std::span<const PageNumber> pages) {
  if (pages.size() > 0xFFFF) panic("a page list holds at most 65535 pages");
  std::vector<uint8_t> out(required_bytes(pages.size()));
  set_len(out, pages.size());
  for (size_t i = 0; i < pages.size(); ++i) set(out, i, pages[i]);
  return out;
}

size_t PageList::len() const {
  check_slice(kHeaderSize, bytes_.size());
  return static_cast<size_t>(bytes_[0]) | (static_cast<size_t>(bytes_[1]) << 8);
}

PageNumber PageList::get(size_t i) const {
  if (i >= len()) panic("page list index out of range");
  check_slice(required_bytes(i + 1), bytes_.size());
  return PageNumber::from_le_bytes(bytes_.data() + required_bytes(i));
}

std::vector<PageNumber> PageList::pages() const {
  const size_t n = len();
  check_slice(required_bytes(n), bytes_.size());
  std::vector<PageNumber> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(get(i));
  return out;
}

void PageList::set_len(std::span<uint8_t> value, size_t n) {
  check_slice(kHeaderSize, value.size());
  STORAGE_ASSERT(n <= 0xFFFF);
  value[0] = static_cast<uint8_t>(n);
  value[1] = static_cast<uint8_t>(n >> 8);
}

void PageList::set(std::span<uint8_t> value, size_t i, PageNumber page) {
  check_slice(required_bytes(i + 1), value.size());
  page.to_le_bytes(value.data() + required_bytes(i));
}

std::optional<AllocatorStateKey> AllocatorStateKey::parse(ByteView bytes) {
  if (bytes.size() != kWidth) return std::nullopt;
  const uint8_t tag = bytes[0];
  const uint32_t index = load_le32(bytes.data() + 1);
  switch (tag) {
    case 0:
    case 1:
    case 2:
      return AllocatorStateKey{Kind::kDeprecated, 0};
    case kRegionTag:
      return Region(index);
    case kRegionTrackerTag:
      return RegionTracker();
    case kTransactionIdTag:
      return TransactionId();
    default:
      return std::nullopt;
  }
}

AllocatorStateKey AllocatorStateKey::from_bytes(ByteView bytes) {
  std::optional<AllocatorStateKey> key = parse(bytes);
  if (!key) panic("invalid allocator state key");
  return *key;
}

std::array<uint8_t, AllocatorStateKey::kWidth> AllocatorStateKey::as_bytes(
    const AllocatorStateKey& key) {
  std::array<uint8_t, kWidth> out{};
  switch (key.kind) {
    case Kind::kRegion:
      out[0] = kRegionTag;
      store_le32(out.data() + 1, key.region);
      break;
    case Kind::kRegionTracker:
      out[0] = kRegionTrackerTag;
      break;
    case Kind::kTransactionId:
      out[0] = kTransactionIdTag;
      break;
    case Kind::kDeprecated:
      panic("internal error: entered unreachable code");
  }
  return out;
}

namespace {

// The rank of a stored tag: the older kind, Region, RegionTracker,
// TransactionId, then unknown tags in tag order.
uint32_t tag_rank(uint8_t tag) {
  if (tag <= 2) return 0;
  if (tag <= AllocatorStateKey::kTransactionIdTag) return tag - 2u;
  return 4u + tag;
}

}  // namespace

std::strong_ordering AllocatorStateKey::compare(ByteView a, ByteView b) {
  check_slice(1, a.size());
  check_slice(1, b.size());
  const uint32_t ra = tag_rank(a[0]);
  const uint32_t rb = tag_rank(b[0]);
  if (ra != rb) return ra <=> rb;
  if (a[0] != kRegionTag) return std::strong_ordering::equal;
  if (a.size() != kWidth || b.size() != kWidth) panic(kUnwrapErrText);
  return load_le32(a.data() + 1) <=> load_le32(b.data() + 1);
}

}  // namespace storage
