#include "storage/src/tree_store/page_store/header.h"

#include <algorithm>
#include <string>
#include <utility>

#include "storage/src/panic.h"
#include "storage/src/tree_store/page_store/xxh3.h"

namespace storage {
namespace {

using u128 = unsigned __int128;

std::string u128_to_string(u128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v > 0) {
    s.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  std::reverse(s.begin(), s.end());
  return s;
}

Err<StorageError> corrupted(std::string text) { return Err{StorageError::Corrupted(std::move(text))}; }

Checksum slot_checksum(const uint8_t* slot) {
  return xxh3::hash128_with_seed(std::span<const uint8_t>(slot, kSlotChecksumOffset), 0);
}

}  // namespace

// ---- TransactionHeader ----

Result<TransactionHeader::Parsed, DatabaseError> TransactionHeader::from_bytes(
    std::span<const uint8_t, kTransactionSlotSize> bytes) {
  const uint8_t* p = bytes.data();
  const uint8_t version = p[kSlotVersionOffset];
  if (version == 1 || version == 2) return Err{DatabaseError::NeedsUpgrade(version)};
  if (version != kFileFormatVersion3) {
    return corrupted("Expected file format version <= " + std::to_string(kFileFormatVersion3) +
                     ", found " + std::to_string(version));
  }
  Parsed parsed;
  TransactionHeader& h = parsed.header;
  h.version = version;
  if (p[kSlotDataRootPresentOffset] != 0) {
    h.data_root = BtreeHeader::from_le_bytes(p + kSlotDataRootOffset);
  }
  if (p[kSlotSystemRootPresentOffset] != 0) {
    h.system_root = BtreeHeader::from_le_bytes(p + kSlotSystemRootOffset);
  }
  h.transaction_id = TransactionId(load_le64(p + kSlotTransactionIdOffset));
  if (slot_checksum(p) != load_checksum(p + kSlotChecksumOffset)) {
    parsed.corrupted = true;
    h.preserved_bytes.emplace();
    std::copy(bytes.begin(), bytes.end(), h.preserved_bytes->begin());
  }
  return parsed;
}

TransactionHeader::Bytes TransactionHeader::to_bytes() const {
  if (preserved_bytes) return *preserved_bytes;
  if (version != kFileFormatVersion3) panic("assertion failed: self.version == 3");
  Bytes out{};
  out[kSlotVersionOffset] = version;
  if (data_root) {
    out[kSlotDataRootPresentOffset] = 1;
    data_root->to_le_bytes(out.data() + kSlotDataRootOffset);
  }
  if (system_root) {
    out[kSlotSystemRootPresentOffset] = 1;
    system_root->to_le_bytes(out.data() + kSlotSystemRootOffset);
  }
  store_le64(out.data() + kSlotTransactionIdOffset, transaction_id.id);
  store_checksum(out.data() + kSlotChecksumOffset, slot_checksum(out.data()));
  return out;
}

// ---- DatabaseHeader ----

DatabaseHeader::DatabaseHeader(const DatabaseLayout& layout, const TransactionHeader& slot)
    : slots_{slot, slot},
      page_size_(layout.full_region_layout().page_size()),
      region_header_pages_(layout.full_region_layout().header_pages()),
      region_max_data_pages_(layout.full_region_layout().num_pages()) {
  set_layout(layout);
}

DatabaseLayout DatabaseHeader::layout() const {
  RegionLayout full(region_max_data_pages_, region_header_pages_, page_size_);
  std::optional<RegionLayout> trailing;
  if (trailing_region_data_pages_ > 0) {
    trailing = RegionLayout(trailing_region_data_pages_, region_header_pages_, page_size_);
  }
  return DatabaseLayout(full_regions_, full, trailing);
}

void DatabaseHeader::set_layout(const DatabaseLayout& layout) {
  const RegionLayout full(region_max_data_pages_, region_header_pages_, page_size_);
  if (!(layout.full_region_layout() == full)) {
    panic("assertion failed: self.layout().full_region_layout() == layout.full_region_layout(): " +
          layout.full_region_layout().debug() + " != " + full.debug());
  }
  const auto& trailing = layout.trailing_region_layout();
  if (trailing && (trailing->header_pages() != region_header_pages_ ||
                   trailing->page_size() != page_size_)) {
    panic("assertion failed: trailing region geometry changed: " + trailing->debug());
  }
  full_regions_ = layout.num_full_regions();
  trailing_region_data_pages_ = trailing ? trailing->num_pages() : 0;
}

std::array<uint8_t, kDbHeaderSize> DatabaseHeader::to_bytes(bool include_magic) const {
  std::array<uint8_t, kDbHeaderSize> out{};
  if (include_magic) std::copy(kMagicNumber.begin(), kMagicNumber.end(), out.begin());
  uint8_t flags = primary_slot_;
  if (recovery_required_) flags |= kRecoveryRequiredBit;
  if (two_phase_commit_) flags |= kTwoPhaseCommitBit;
  out[kFlagsOffset] = flags;
  store_le32(out.data() + kPageSizeOffset, page_size_);
  store_le32(out.data() + kRegionHeaderPagesOffset, region_header_pages_);
  store_le32(out.data() + kRegionMaxDataPagesOffset, region_max_data_pages_);
  store_le32(out.data() + kFullRegionsOffset, full_regions_);
  store_le32(out.data() + kTrailingRegionDataPagesOffset, trailing_region_data_pages_);
  const auto slot0 = slots_[0].to_bytes();
  const auto slot1 = slots_[1].to_bytes();
  std::copy(slot0.begin(), slot0.end(), out.begin() + kSlot0Offset);
  std::copy(slot1.begin(), slot1.end(), out.begin() + kSlot1Offset);
  return out;
}

// ---- UnrepairedDatabaseHeader ----

Result<UnrepairedDatabaseHeader, DatabaseError> UnrepairedDatabaseHeader::from_bytes(
    std::span<const uint8_t> bytes, uint32_t expected_page_size) {
  if (expected_page_size == 0) panic("assertion failed: expected_page_size > 0");
  // The open path always hands over the full header; a shorter buffer is a file cut
  // short and must not be read past its end.
  if (bytes.size() < kDbHeaderSize) {
    return corrupted("File truncated below the minimum layout: file_len=" +
                     std::to_string(bytes.size()));
  }
  const uint8_t* p = bytes.data();
  if (!std::equal(kMagicNumber.begin(), kMagicNumber.end(), p + kMagicOffset)) {
    return corrupted("Invalid magic number");
  }
  const uint8_t flags = p[kFlagsOffset];
  const uint32_t page_size = load_le32(p + kPageSizeOffset);
  const uint32_t header_pages = load_le32(p + kRegionHeaderPagesOffset);
  const uint32_t max_data_pages = load_le32(p + kRegionMaxDataPagesOffset);
  const uint32_t full_regions = load_le32(p + kFullRegionsOffset);
  const uint32_t trailing_pages = load_le32(p + kTrailingRegionDataPagesOffset);

  if (page_size != expected_page_size) {
    return corrupted("Database page size " + std::to_string(page_size) +
                     " does not match expected " + std::to_string(expected_page_size));
  }
  if (max_data_pages == 0 || max_data_pages > kMaxRegionPages) {
    return corrupted("Invalid region data page count: " + std::to_string(max_data_pages));
  }
  if (header_pages > kMaxRegionPages) {
    return corrupted("Invalid region header page count: " + std::to_string(header_pages));
  }
  const bool recovery = (flags & kRecoveryRequiredBit) != 0;
  // With the recovery bit set the layout is rebuilt from the file's length, so the
  // stored counts need not add up.
  if (!recovery) {
    if (trailing_pages > max_data_pages) {
      return corrupted("Trailing region data pages " + std::to_string(trailing_pages) +
                       " exceed region max " + std::to_string(max_data_pages));
    }
    const uint64_t regions = static_cast<uint64_t>(full_regions) + (trailing_pages > 0 ? 1 : 0);
    if (regions == 0 || regions > kMaxRegions) {
      return corrupted("Invalid region count: full_regions=" + std::to_string(full_regions) +
                       ", trailing_data_pages=" + std::to_string(trailing_pages));
    }
  }
  TRY_ASSIGN(TransactionHeader::Parsed slot0,
             TransactionHeader::from_bytes(bytes.subspan<kSlot0Offset, kTransactionSlotSize>()));
  TRY_ASSIGN(TransactionHeader::Parsed slot1,
             TransactionHeader::from_bytes(bytes.subspan<kSlot1Offset, kTransactionSlotSize>()));

  UnrepairedDatabaseHeader out;
  DatabaseHeader& h = out.header_;
  h.slots_ = {std::move(slot0.header), std::move(slot1.header)};
  h.primary_slot_ = flags & kPrimarySlotBit;
  h.page_size_ = page_size;
  h.region_header_pages_ = header_pages;
  h.region_max_data_pages_ = max_data_pages;
  h.full_regions_ = full_regions;
  h.trailing_region_data_pages_ = trailing_pages;
  h.recovery_required_ = recovery;
  h.two_phase_commit_ = (flags & kTwoPhaseCommitBit) != 0;
  out.primary_corrupted_ = h.primary_slot_ == 0 ? slot0.corrupted : slot1.corrupted;
  out.secondary_corrupted_ = h.primary_slot_ == 0 ? slot1.corrupted : slot0.corrupted;
  return out;
}

u128 UnrepairedDatabaseHeader::stored_layout_len() const {
  const DatabaseHeader& h = header_;
  const u128 page = h.page_size_;
  const u128 region = (static_cast<u128>(h.region_header_pages_) + h.region_max_data_pages_) * page;
  u128 len = page + static_cast<u128>(h.full_regions_) * region;
  if (h.trailing_region_data_pages_ > 0) {
    len += (static_cast<u128>(h.region_header_pages_) + h.trailing_region_data_pages_) * page;
  }
  return len;
}

bool UnrepairedDatabaseHeader::recovery_required(uint64_t file_len) const {
  return header_.recovery_required_ || stored_layout_len() != file_len;
}

Result<DatabaseLayout, DatabaseError> UnrepairedDatabaseHeader::layout_from_file_len(
    uint64_t file_len) const {
  const DatabaseHeader& h = header_;
  const u128 len = file_len;
  const u128 page = h.page_size_;
  const u128 header_bytes = static_cast<u128>(h.region_header_pages_) * page;
  const u128 region = header_bytes + static_cast<u128>(h.region_max_data_pages_) * page;
  if (len > static_cast<u128>(kMaxRegions) * region + page) {
    return corrupted("File length requires more regions than are addressable: file_len=" +
                     std::to_string(file_len));
  }
  if (len < (static_cast<u128>(h.region_header_pages_) + 2) * page) {
    return corrupted("File truncated below the minimum layout: file_len=" +
                     std::to_string(file_len));
  }
  // Both counts fit 32 bits: at most 2^20 regions, fewer data pages than a region.
  const u128 full = (len - page) / region;
  const u128 rest = (len - page) % region;
  const RegionLayout full_layout(h.region_max_data_pages_, h.region_header_pages_, h.page_size_);
  std::optional<RegionLayout> trailing;
  if (rest >= header_bytes + page) {
    const u128 pages = (rest - header_bytes) / page;
    STORAGE_ASSERT(pages < h.region_max_data_pages_);
    trailing = RegionLayout(static_cast<uint32_t>(pages), h.region_header_pages_, h.page_size_);
  }
  DatabaseLayout layout(static_cast<uint32_t>(full), full_layout, trailing);
  if (layout.len() != file_len) {
    return corrupted("File length does not correspond to a valid region layout: file_len=" +
                     std::to_string(file_len));
  }
  return layout;
}

Result<void, DatabaseError> UnrepairedDatabaseHeader::select_primary_slot() {
  if (header_.two_phase_commit_) {
    // A two-phase commit synced the new slot before making it primary, so the
    // primary must be intact and is the newest durable commit.
    if (primary_corrupted_) return corrupted("Primary is corrupted despite 2-phase commit");
    return {};
  }
  if (primary_corrupted_) {
    if (secondary_corrupted_) return corrupted("Both commit slots are corrupted");
    header_.swap_primary_slot();
    std::swap(primary_corrupted_, secondary_corrupted_);
    return {};
  }
  if (!secondary_corrupted_ &&
      header_.secondary_slot().transaction_id > header_.primary_slot().transaction_id) {
    header_.swap_primary_slot();
  }
  return {};
}

Result<DatabaseHeader, DatabaseError> UnrepairedDatabaseHeader::finalize(uint64_t file_len) && {
  if (header_.recovery_required_) {
    TRY_ASSIGN(DatabaseLayout layout, layout_from_file_len(file_len));
    header_.set_layout(layout);
  } else {
    const u128 stored = stored_layout_len();
    if (file_len < stored) {
      return corrupted("File truncated below stored layout: file_len=" + std::to_string(file_len) +
                       ", layout_len=" + u128_to_string(stored));
    }
    if (file_len > stored) {
      TRY_ASSIGN(DatabaseLayout layout, layout_from_file_len(file_len));
      header_.set_layout(layout);
    }
  }
  TRY(select_primary_slot());
  return std::move(header_);
}

}  // namespace storage
