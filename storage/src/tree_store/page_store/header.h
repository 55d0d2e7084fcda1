// The super-header at the start of every database file: magic, flags, region
// geometry and two commit slots (see storage/FORMAT.md). Bytes read from the file
// are untrusted: parsing checks every field before use and reports a header that
// does not add up as a DatabaseError, never by reading out of bounds.
//
// Thread safety: plain values; the page store guards its header with its own lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/tree_store/page_store/layout.h"

namespace storage {

// The used prefix of page 0; the rest of that page is never read or written.
inline constexpr size_t kDbHeaderSize = 320;
inline constexpr uint8_t kFileFormatVersion3 = 3;
inline constexpr std::array<uint8_t, 9> kMagicNumber = {'q',  'v',  'd',  'b', 0x1A,
                                                        0x0A, 0xA9, 0x0D, 0x0A};
// Region counts and per-region page counts are bounded by PageNumber's 20-bit fields.
inline constexpr uint32_t kMaxRegionPages = 1u << 20;

// Super-header field offsets.
inline constexpr size_t kMagicOffset = 0;
inline constexpr size_t kFlagsOffset = 9;
inline constexpr size_t kPageSizeOffset = 12;
inline constexpr size_t kRegionHeaderPagesOffset = 16;
inline constexpr size_t kRegionMaxDataPagesOffset = 20;
inline constexpr size_t kFullRegionsOffset = 24;
inline constexpr size_t kTrailingRegionDataPagesOffset = 28;
inline constexpr size_t kTransactionSlotSize = 128;
inline constexpr size_t kSlot0Offset = 64;
inline constexpr size_t kSlot1Offset = kSlot0Offset + kTransactionSlotSize;

inline constexpr uint8_t kPrimarySlotBit = 1u << 0;
inline constexpr uint8_t kRecoveryRequiredBit = 1u << 1;
inline constexpr uint8_t kTwoPhaseCommitBit = 1u << 2;

// Commit slot field offsets, from the slot's start.
inline constexpr size_t kSlotVersionOffset = 0;
inline constexpr size_t kSlotDataRootPresentOffset = 1;
inline constexpr size_t kSlotSystemRootPresentOffset = 2;
inline constexpr size_t kSlotDataRootOffset = 8;
inline constexpr size_t kSlotSystemRootOffset = kSlotDataRootOffset + BtreeHeader::kSerializedSize;
inline constexpr size_t kSlotTransactionIdOffset = 104;
inline constexpr size_t kSlotChecksumOffset = 112;

static_assert(kMagicNumber.size() == kFlagsOffset);
static_assert(kTrailingRegionDataPagesOffset + 4 <= kSlot0Offset);
static_assert(kSlot1Offset + kTransactionSlotSize == kDbHeaderSize);
static_assert(BtreeHeader::kSerializedSize == 32);
static_assert(kSlotSystemRootOffset + BtreeHeader::kSerializedSize <= kSlotTransactionIdOffset);
static_assert(kSlotTransactionIdOffset + 8 == kSlotChecksumOffset);
static_assert(kSlotChecksumOffset + 16 == kTransactionSlotSize);

// One commit slot: the roots of the data and system trees and the transaction id of
// one commit.
struct TransactionHeader {
  using Bytes = std::array<uint8_t, kTransactionSlotSize>;

  uint8_t version = kFileFormatVersion3;
  std::optional<BtreeHeader> data_root;
  std::optional<BtreeHeader> system_root;
  TransactionId transaction_id;
  // The slot exactly as read, kept only when it failed its checksum: it is written
  // back unchanged until a new commit replaces the whole slot.
  std::optional<Bytes> preserved_bytes;

  TransactionHeader() = default;
  TransactionHeader(std::optional<BtreeHeader> data_root, std::optional<BtreeHeader> system_root,
                    TransactionId transaction_id)
      : data_root(data_root), system_root(system_root), transaction_id(transaction_id) {}

  struct Parsed;
  // Decodes a slot. An old format version is NeedsUpgrade, an unknown one Corrupted;
  // a checksum mismatch is not an error here: the slot comes back marked corrupted.
  static Result<Parsed, DatabaseError> from_bytes(std::span<const uint8_t, kTransactionSlotSize>);
  Bytes to_bytes() const;

  bool operator==(const TransactionHeader&) const = default;
};

struct TransactionHeader::Parsed {
  TransactionHeader header;
  bool corrupted = false;
};

class UnrepairedDatabaseHeader;

// The whole super-header in memory.
class DatabaseHeader {
 public:
  // A header with `slot` in both slots, slot 0 primary and both flags clear.
  DatabaseHeader(const DatabaseLayout& layout, const TransactionHeader& slot);

  DatabaseLayout layout() const;
  // Replaces the region counts; the region geometry (data pages, header pages,
  // page size) must stay the same.
  void set_layout(const DatabaseLayout& layout);

  uint32_t page_size() const { return page_size_; }
  uint32_t region_header_pages() const { return region_header_pages_; }
  uint32_t region_max_data_pages() const { return region_max_data_pages_; }
  uint32_t full_regions() const { return full_regions_; }
  uint32_t trailing_region_data_pages() const { return trailing_region_data_pages_; }

  uint8_t primary_slot_index() const { return primary_slot_; }
  const TransactionHeader& slot(size_t index) const { return slots_.at(index); }
  const TransactionHeader& primary_slot() const { return slots_[primary_slot_]; }
  TransactionHeader& primary_slot_mut() { return slots_[primary_slot_]; }
  const TransactionHeader& secondary_slot() const { return slots_[primary_slot_ ^ 1]; }
  TransactionHeader& secondary_slot_mut() { return slots_[primary_slot_ ^ 1]; }
  // The secondary slot becomes the primary.
  void swap_primary_slot() { primary_slot_ ^= 1; }

  bool recovery_required() const { return recovery_required_; }
  void set_recovery_required(bool value) { recovery_required_ = value; }
  // Whether the last durable commit used two phases.
  bool two_phase_commit() const { return two_phase_commit_; }
  void set_two_phase_commit(bool value) { two_phase_commit_ = value; }

  // Without the magic, the bytes 0-8 stay zero (a file still being initialised).
  std::array<uint8_t, kDbHeaderSize> to_bytes(bool include_magic) const;

  bool operator==(const DatabaseHeader&) const = default;

 private:
  friend class UnrepairedDatabaseHeader;
  DatabaseHeader() = default;

  std::array<TransactionHeader, 2> slots_;
  uint8_t primary_slot_ = 0;
  uint32_t page_size_ = 0;
  uint32_t region_header_pages_ = 0;
  uint32_t region_max_data_pages_ = 0;
  uint32_t full_regions_ = 0;
  uint32_t trailing_region_data_pages_ = 0;
  bool recovery_required_ = false;
  bool two_phase_commit_ = false;
};

// A super-header as parsed from disk, not yet checked against the file's length.
class UnrepairedDatabaseHeader {
 public:
  // Parses the file's first kDbHeaderSize bytes; `expected_page_size` is above 0.
  static Result<UnrepairedDatabaseHeader, DatabaseError> from_bytes(
      std::span<const uint8_t> bytes, uint32_t expected_page_size);

  // True when the recovery bit is set or the stored layout's length is not the file's.
  bool recovery_required(uint64_t file_len) const;
  // Fits the layout to the file's length where needed and chooses the primary slot.
  Result<DatabaseHeader, DatabaseError> finalize(uint64_t file_len) &&;

  // The layout that a file of `file_len` bytes holds with the stored region geometry.
  Result<DatabaseLayout, DatabaseError> layout_from_file_len(uint64_t file_len) const;
  // Makes the newest intact slot the primary where the flags allow it.
  Result<void, DatabaseError> select_primary_slot();

  const DatabaseHeader& header() const { return header_; }
  bool primary_corrupted() const { return primary_corrupted_; }
  bool secondary_corrupted() const { return secondary_corrupted_; }

 private:
  UnrepairedDatabaseHeader() = default;
  // Length of the stored layout, wide enough for any stored field values.
  unsigned __int128 stored_layout_len() const;

  DatabaseHeader header_;
  bool primary_corrupted_ = false;
  bool secondary_corrupted_ = false;
};

}  // namespace storage
