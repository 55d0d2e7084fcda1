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

}  // namespace storage
