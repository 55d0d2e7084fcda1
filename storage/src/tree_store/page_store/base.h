// The page store's small shared records: page addresses, transaction ids and
// tree root headers, with their stored little-endian forms.
//
// Thread safety: plain values.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace storage {

// XXH3-128 (seed 0) of a page or commit slot: high64 * 2^64 + low64.
using Checksum = unsigned __int128;

inline constexpr uint64_t kMaxPageIndexBits = 20;
inline constexpr uint32_t kMaxRegions = 1u << 20;
inline constexpr uint8_t kMaxPageOrder = 20;

// The stored forms are little-endian and the helpers below copy bytes as they are.
static_assert(std::endian::native == std::endian::little);

inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian host
}
inline void store_le64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
inline uint32_t load_le32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void store_le32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline uint16_t load_le16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline void store_le16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline Checksum load_checksum(const uint8_t* p) {
  return (static_cast<Checksum>(load_le64(p + 8)) << 64) | load_le64(p);
}
inline void store_checksum(uint8_t* p, Checksum c) {
  store_le64(p, static_cast<uint64_t>(c));
  store_le64(p + 8, static_cast<uint64_t>(c >> 64));
}

// A run of 2^order pages: index-th run of that order inside a region's data area.
struct PageNumber {
  uint32_t region = 0;
  uint32_t page_index = 0;
  uint8_t page_order = 0;

  static constexpr size_t kSerializedSize = 8;

  constexpr PageNumber() = default;
  constexpr PageNumber(uint32_t region, uint32_t page_index, uint8_t page_order)
      : region(region), page_index(page_index), page_order(page_order) {}

  // Bits 0-19 index, 20-39 region, 59-63 order; bits 40-58 are ignored.
  static PageNumber from_packed(uint64_t v) {
    uint8_t order = static_cast<uint8_t>(v >> 59);
    // An order above 20 shifts the whole index mask away.
    uint32_t mask = order >= 32 ? 0 : (0xFFFFFu >> order);
    return PageNumber(static_cast<uint32_t>((v >> 20) & 0xFFFFF), static_cast<uint32_t>(v) & mask,
                      order);
  }
  static PageNumber from_le_bytes(const uint8_t* bytes) { return from_packed(load_le64(bytes)); }
  uint64_t packed() const {
    return (static_cast<uint64_t>(page_index) & 0xFFFFF) |
           ((static_cast<uint64_t>(region) & 0xFFFFF) << 20) |
           (static_cast<uint64_t>(page_order) << 59);
  }
  void to_le_bytes(uint8_t* out) const { store_le64(out, packed()); }

  // "r{region}.{index}/{order}"
  std::string debug() const {
    return "r" + std::to_string(region) + "." + std::to_string(page_index) + "/" +
           std::to_string(page_order);
  }
  bool operator==(const PageNumber&) const = default;
};

struct TransactionId {
  uint64_t id = 0;
  constexpr TransactionId() = default;
  constexpr explicit TransactionId(uint64_t id) : id(id) {}
  TransactionId next() const { return TransactionId(id + 1); }
  std::string debug() const { return "TransactionId(" + std::to_string(id) + ")"; }
  auto operator<=>(const TransactionId&) const = default;
};

struct BtreeHeader {
  PageNumber root;
  Checksum checksum = 0;
  uint64_t length = 0;

  static constexpr size_t kSerializedSize = 32;

  static BtreeHeader from_le_bytes(const uint8_t* bytes) {
    return BtreeHeader{PageNumber::from_le_bytes(bytes), load_checksum(bytes + 8),
                       load_le64(bytes + 24)};
  }
  void to_le_bytes(uint8_t* out) const {
    root.to_le_bytes(out);
    store_checksum(out + 8, checksum);
    store_le64(out + 24, length);
  }
  bool operator==(const BtreeHeader&) const = default;
};

static_assert(sizeof(uint64_t) == PageNumber::kSerializedSize);
static_assert(BtreeHeader::kSerializedSize == PageNumber::kSerializedSize + 16 + 8);

}  // namespace storage

template <>
struct std::hash<storage::PageNumber> {
  size_t operator()(const storage::PageNumber& p) const noexcept {
    // Fibonacci hashing of the packed form spreads sequential indexes.
    return static_cast<size_t>(p.packed() * 0x9E3779B97F4A7C15ULL);
  }
};
