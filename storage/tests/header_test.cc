#include "storage/src/tree_store/page_store/header.h"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <array>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "storage/src/panic.h"

namespace storage {
namespace {

constexpr uint32_t kPage = 4096;
using Bytes = std::array<uint8_t, kDbHeaderSize>;

// Little-endian writers for hand-built vectors, independent of the code under test.
void put(std::vector<uint8_t>& v, uint64_t value, int width) {
  for (int i = 0; i < width; i++) v.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void zeros(std::vector<uint8_t>& v, size_t n) { v.insert(v.end(), n, 0); }

// The published XXH3-128 of a slot's first 112 bytes, low64 then high64.
void seal_slot_with_oracle(std::vector<uint8_t>& v, size_t slot_start) {
  XXH128_hash_t h = XXH3_128bits_withSeed(v.data() + slot_start, 112, 0);
  put(v, h.low64, 8);
  put(v, h.high64, 8);
}

// Recomputes a slot's checksum after a test edited it.
void reseal(Bytes& b, size_t slot_offset) {
  XXH128_hash_t h = XXH3_128bits_withSeed(b.data() + slot_offset, 112, 0);
  for (int i = 0; i < 8; i++) {
    b[slot_offset + 112 + i] = static_cast<uint8_t>(h.low64 >> (8 * i));
    b[slot_offset + 120 + i] = static_cast<uint8_t>(h.high64 >> (8 * i));
  }
}

template <typename T>
std::string error_text(const Result<T, DatabaseError>& r) {
  if (r.ok()) return "<ok>";
  return r.error().to_string();
}

// 2 full regions of 1 header + 8 data pages and a trailing region of 3 data pages.
DatabaseLayout small_layout() {
  return DatabaseLayout(2, RegionLayout(8, 1, kPage), RegionLayout(3, 1, kPage));
}
uint64_t small_len() { return kPage + 2 * 9 * kPage + 4 * kPage; }

DatabaseHeader small_header(uint64_t id0 = 1, uint64_t id1 = 2) {
  DatabaseHeader h(small_layout(), TransactionHeader(std::nullopt, std::nullopt, TransactionId(0)));
  h.primary_slot_mut() =
      TransactionHeader(BtreeHeader{PageNumber(0, 1, 0), 11, 3}, std::nullopt, TransactionId(id0));
  h.secondary_slot_mut() = TransactionHeader(BtreeHeader{PageNumber(0, 2, 0), 12, 4},
                                             BtreeHeader{PageNumber(1, 0, 1), 13, 5},
                                             TransactionId(id1));
  return h;
}

Result<UnrepairedDatabaseHeader, DatabaseError> parse(const Bytes& b) {
  return UnrepairedDatabaseHeader::from_bytes(b, kPage);
}

// Parses and finalises against a file of the stored layout's length.
DatabaseHeader reopen(const Bytes& b, uint64_t file_len = small_len()) {
  auto u = parse(b);
  EXPECT_TRUE(u.ok()) << error_text(u);
  auto h = std::move(u).value().finalize(file_len);
  EXPECT_TRUE(h.ok()) << error_text(h);
  return std::move(h).value();
}

TEST(HeaderTest, ByteExactHeaderWithBothSlots) {
  DatabaseLayout layout(3, RegionLayout(1000, 2, kPage), RegionLayout(17, 2, kPage));
  DatabaseHeader h(layout, TransactionHeader());
  h.primary_slot_mut() =
      TransactionHeader(BtreeHeader{PageNumber(1, 2, 3), 999, 5}, std::nullopt, TransactionId(7));
  h.secondary_slot_mut() = TransactionHeader(
      std::nullopt,
      BtreeHeader{PageNumber(0, 5, 0),
                  (static_cast<Checksum>(0x0102030405060708ull) << 64) | 0x1112131415161718ull,
                  2},
      TransactionId(9));
  h.swap_primary_slot();  // slot 1 primary
  h.set_two_phase_commit(true);

  std::vector<uint8_t> want = {0x71, 0x76, 0x64, 0x62, 0x1A, 0x0A, 0xA9, 0x0D, 0x0A};
  want.push_back(0x05);  // primary slot 1 | two-phase
  zeros(want, 2);
  put(want, 4096, 4);
  put(want, 2, 4);
  put(want, 1000, 4);
  put(want, 3, 4);
  put(want, 17, 4);
  zeros(want, 32);
  // Slot 0: data root r1.2/3, checksum 999, 5 entries; no system root; id 7.
  want.insert(want.end(), {0x03, 0x01, 0x00, 0, 0, 0, 0, 0});
  want.insert(want.end(), {0x02, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x18});
  put(want, 999, 8);
  put(want, 0, 8);
  put(want, 5, 8);
  zeros(want, 32 + 32);
  put(want, 7, 8);
  seal_slot_with_oracle(want, 64);
  // Slot 1: no data root; system root r0.5/0 with a two-word checksum, 2 entries; id 9.
  want.insert(want.end(), {0x03, 0x00, 0x01, 0, 0, 0, 0, 0});
  zeros(want, 32);
  put(want, 5, 8);
  put(want, 0x1112131415161718ull, 8);
  put(want, 0x0102030405060708ull, 8);
  put(want, 2, 8);
  zeros(want, 32);
  put(want, 9, 8);
  seal_slot_with_oracle(want, 192);
  ASSERT_EQ(want.size(), kDbHeaderSize);

  Bytes got = h.to_bytes(true);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end()), want);

  auto u = parse(got);
  ASSERT_TRUE(u.ok()) << error_text(u);
  EXPECT_FALSE(u.value().primary_corrupted());
  EXPECT_FALSE(u.value().secondary_corrupted());
  EXPECT_EQ(u.value().header(), h);
  auto f = std::move(u).value().finalize(layout.len());
  ASSERT_TRUE(f.ok()) << error_text(f);
  EXPECT_EQ(f.value(), h);
  EXPECT_EQ(f.value().layout(), layout);

  // Without the magic only bytes 0-8 differ, and the result no longer parses.
  Bytes bare = h.to_bytes(false);
  for (size_t i = 0; i < kDbHeaderSize; i++) EXPECT_EQ(bare[i], i < 9 ? 0 : got[i]) << i;
  EXPECT_EQ(error_text(parse(bare)), "DB corrupted: Invalid magic number");
}

TEST(HeaderTest, CorruptedSlotIsPreservedVerbatimUntilRefilled) {
  DatabaseHeader h = small_header(5, 4);
  Bytes b = h.to_bytes(true);
  b[kSlot1Offset + 50] ^= 0x40;  // damage the secondary's system root
  const Bytes damaged = b;

  auto u = parse(b);
  ASSERT_TRUE(u.ok());
  EXPECT_FALSE(u.value().primary_corrupted());
  EXPECT_TRUE(u.value().secondary_corrupted());
  // Still decoded as it is, with the raw bytes kept.
  const TransactionHeader& bad = u.value().header().slot(1);
  ASSERT_TRUE(bad.preserved_bytes.has_value());
  EXPECT_TRUE(std::equal(bad.preserved_bytes->begin(), bad.preserved_bytes->end(),
                         damaged.begin() + kSlot1Offset));
  EXPECT_EQ(bad.transaction_id, TransactionId(4));

  DatabaseHeader r = reopen(b);
  EXPECT_EQ(r.primary_slot_index(), 0);
  // Rewrites with other changes keep the damaged slot byte for byte.
  for (int round = 0; round < 3; round++) {
    r.set_recovery_required(round % 2 == 0);
    r.primary_slot_mut().transaction_id = TransactionId(10 + round);
    r.secondary_slot_mut().transaction_id = TransactionId(99);  // ignored while preserved
    Bytes out = r.to_bytes(true);
    EXPECT_TRUE(std::equal(out.begin() + kSlot1Offset, out.end(), damaged.begin() + kSlot1Offset));
    r = reopen(out, small_len());
    EXPECT_EQ(r.primary_slot().transaction_id, TransactionId(10 + round));
  }
  // A new commit into that slot replaces the preserved bytes.
  r.secondary_slot_mut() = TransactionHeader(std::nullopt, std::nullopt, TransactionId(20));
  Bytes out = r.to_bytes(true);
  auto again = parse(out);
  ASSERT_TRUE(again.ok());
  EXPECT_FALSE(again.value().secondary_corrupted());
  EXPECT_EQ(again.value().header().slot(1).transaction_id, TransactionId(20));
}

TEST(HeaderTest, FlagBitsThreeToSevenAreIgnoredAndWrittenAsZero) {
  Bytes b = small_header().to_bytes(true);
  b[kFlagsOffset] = 0xF8 | kTwoPhaseCommitBit;
  b[10] = 0xAB;  // unread padding
  b[40] = 0xCD;
  DatabaseHeader h = reopen(b);
  EXPECT_TRUE(h.two_phase_commit());
  EXPECT_FALSE(h.recovery_required());
  EXPECT_EQ(h.primary_slot_index(), 0);
  Bytes out = h.to_bytes(true);
  EXPECT_EQ(out[kFlagsOffset], kTwoPhaseCommitBit);
  EXPECT_EQ(out[10], 0);
  EXPECT_EQ(out[40], 0);
}

TEST(HeaderTest, SelectPrimarySlotTable) {
  struct Row {
    bool two_phase, primary_bad, secondary_bad;
    int secondary_id;  // the primary's is 10
    int want_primary;  // 0: keep, 1: the secondary, -1: error
    const char* error;
  } rows[] = {
      {true, false, false, 9, 0, nullptr},
      {true, false, false, 11, 0, nullptr},  // two-phase keeps an intact primary
      {true, false, true, 11, 0, nullptr},
      {true, true, false, 11, -1, "Primary is corrupted despite 2-phase commit"},
      {true, true, true, 9, -1, "Primary is corrupted despite 2-phase commit"},
      {false, true, true, 11, -1, "Both commit slots are corrupted"},
      {false, true, false, 9, 1, nullptr},
      {false, false, false, 11, 1, nullptr},
      {false, false, false, 10, 0, nullptr},  // a tie keeps the primary
      {false, false, false, 9, 0, nullptr},
      {false, false, true, 11, 0, nullptr},
  };
  for (const Row& row : rows) {
    for (uint8_t primary : {0, 1}) {
      SCOPED_TRACE(::testing::Message() << "two_phase=" << row.two_phase << " primary_bad="
                                        << row.primary_bad << " secondary_bad="
                                        << row.secondary_bad << " secondary_id=" << row.secondary_id
                                        << " primary=" << int(primary));
      DatabaseHeader h = small_header();
      if (primary == 1) h.swap_primary_slot();
      h.primary_slot_mut().transaction_id = TransactionId(10);
      h.secondary_slot_mut().transaction_id = TransactionId(row.secondary_id);
      h.set_two_phase_commit(row.two_phase);
      Bytes b = h.to_bytes(true);
      const size_t primary_at = primary == 0 ? kSlot0Offset : kSlot1Offset;
      const size_t secondary_at = primary == 0 ? kSlot1Offset : kSlot0Offset;
      if (row.primary_bad) b[primary_at + 120] ^= 1;
      if (row.secondary_bad) b[secondary_at + 3] ^= 1;
      auto u = parse(b);
      ASSERT_TRUE(u.ok()) << error_text(u);
      EXPECT_EQ(u.value().primary_corrupted(), row.primary_bad);
      EXPECT_EQ(u.value().secondary_corrupted(), row.secondary_bad);
      auto f = std::move(u).value().finalize(small_len());
      if (row.want_primary < 0) {
        EXPECT_EQ(error_text(f), std::string("DB corrupted: ") + row.error);
        continue;
      }
      ASSERT_TRUE(f.ok()) << error_text(f);
      const int want = row.want_primary == 0 ? primary : primary ^ 1;
      EXPECT_EQ(f.value().primary_slot_index(), want);
      EXPECT_FALSE(f.value().primary_slot().preserved_bytes.has_value());
    }
  }
}

TEST(HeaderTest, FieldChecksInOrderWithTheirTexts) {
  const Bytes good = small_header().to_bytes(true);
  auto set32 = [](Bytes& b, size_t at, uint32_t v) { store_le32(b.data() + at, v); };
  struct Case {
    const char* what;
    std::function<void(Bytes&)> edit;
    const char* text;
  } cases[] = {
      {"magic", [](Bytes& b) { b[8] = 0; }, "DB corrupted: Invalid magic number"},
      // The magic is checked before everything else.
      {"magic before page size", [&](Bytes& b) { b[0] = 'Q'; set32(b, kPageSizeOffset, 512); },
       "DB corrupted: Invalid magic number"},
      {"page size", [&](Bytes& b) { set32(b, kPageSizeOffset, 8192); },
       "DB corrupted: Database page size 8192 does not match expected 4096"},
      {"page size before counts",
       [&](Bytes& b) { set32(b, kPageSizeOffset, 512); set32(b, kRegionMaxDataPagesOffset, 0); },
       "DB corrupted: Database page size 512 does not match expected 4096"},
      {"zero data pages", [&](Bytes& b) { set32(b, kRegionMaxDataPagesOffset, 0); },
       "DB corrupted: Invalid region data page count: 0"},
      {"too many data pages",
       [&](Bytes& b) { set32(b, kRegionMaxDataPagesOffset, 1048577); },
       "DB corrupted: Invalid region data page count: 1048577"},
      {"data pages before header pages",
       [&](Bytes& b) {
         set32(b, kRegionMaxDataPagesOffset, 0);
         set32(b, kRegionHeaderPagesOffset, 1048577);
       },
       "DB corrupted: Invalid region data page count: 0"},
      {"header pages", [&](Bytes& b) { set32(b, kRegionHeaderPagesOffset, 1048577); },
       "DB corrupted: Invalid region header page count: 1048577"},
      {"trailing above max", [&](Bytes& b) { set32(b, kTrailingRegionDataPagesOffset, 9); },
       "DB corrupted: Trailing region data pages 9 exceed region max 8"},
      {"no regions",
       [&](Bytes& b) {
         set32(b, kFullRegionsOffset, 0);
         set32(b, kTrailingRegionDataPagesOffset, 0);
       },
       "DB corrupted: Invalid region count: full_regions=0, trailing_data_pages=0"},
      {"too many regions", [&](Bytes& b) { set32(b, kFullRegionsOffset, 1048576); },
       "DB corrupted: Invalid region count: full_regions=1048576, trailing_data_pages=3"},
      {"region count overflowing 32 bits",
       [&](Bytes& b) { set32(b, kFullRegionsOffset, 0xFFFFFFFF); },
       "DB corrupted: Invalid region count: full_regions=4294967295, trailing_data_pages=3"},
      {"layout checks before slots",
       [&](Bytes& b) {
         set32(b, kTrailingRegionDataPagesOffset, 9);
         b[kSlot0Offset] = 1;
       },
       "DB corrupted: Trailing region data pages 9 exceed region max 8"},
      {"slot 0 version 1", [](Bytes& b) { b[kSlot0Offset] = 1; },
       "Manual upgrade required. Expected file format version 3, but file is version 1"},
      {"slot 1 version 2", [](Bytes& b) { b[kSlot1Offset] = 2; },
       "Manual upgrade required. Expected file format version 3, but file is version 2"},
      {"slot 1 version 4", [](Bytes& b) { b[kSlot1Offset] = 4; },
       "DB corrupted: Expected file format version <= 3, found 4"},
      {"slot 0 version 0", [](Bytes& b) { b[kSlot0Offset] = 0; },
       "DB corrupted: Expected file format version <= 3, found 0"},
      {"slot 0 error first",
       [](Bytes& b) { b[kSlot0Offset] = 255; b[kSlot1Offset] = 1; },
       "DB corrupted: Expected file format version <= 3, found 255"},
  };
  for (const auto& c : cases) {
    Bytes b = good;
    c.edit(b);
    EXPECT_EQ(error_text(parse(b)), c.text) << c.what;
  }
  // NeedsUpgrade is its own variant; the version errors fail whichever slot is primary.
  for (uint8_t version : {1, 2}) {
    for (size_t at : {kSlot0Offset, kSlot1Offset}) {
      Bytes b = good;
      b[kFlagsOffset] = at == kSlot0Offset ? 1 : 0;  // the bad slot is the secondary
      b[at] = version;
      reseal(b, at);
      auto r = parse(b);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind(), DatabaseError::Kind::kNeedsUpgrade);
    }
  }
  // A parse failure is StorageFailure(Corrupted), shown with the corruption text.
  Bytes b = good;
  b[0] = 0;
  auto r = parse(b);
  ASSERT_EQ(r.error().kind(), DatabaseError::Kind::kStorageFailure);
  EXPECT_EQ(r.error().storage_error(), StorageError::Corrupted("Invalid magic number"));
}

TEST(HeaderTest, RecoveryBitSkipsStoredCountChecksAndRebuildsLayout) {
  for (auto [full, trailing] : {std::pair<uint32_t, uint32_t>{0, 0}, {7, 9}, {0xFFFFFFFF, 1}}) {
    Bytes b = small_header().to_bytes(true);
    b[kFlagsOffset] |= kRecoveryRequiredBit;
    store_le32(b.data() + kFullRegionsOffset, full);
    store_le32(b.data() + kTrailingRegionDataPagesOffset, trailing);
    auto u = parse(b);
    ASSERT_TRUE(u.ok()) << error_text(u);
    EXPECT_TRUE(u.value().recovery_required(small_len()));
    auto f = std::move(u).value().finalize(small_len());
    ASSERT_TRUE(f.ok()) << error_text(f);
    EXPECT_EQ(f.value().layout(), small_layout());
    EXPECT_TRUE(f.value().recovery_required());  // left as read
  }
}

TEST(HeaderTest, RecoveryRequiredAndFinalizeAgainstFileLength) {
  const Bytes b = small_header().to_bytes(true);
  const uint64_t len = small_len();
  auto u = parse(b);
  ASSERT_TRUE(u.ok());
  EXPECT_FALSE(u.value().recovery_required(len));
  EXPECT_TRUE(u.value().recovery_required(len + kPage));
  EXPECT_TRUE(u.value().recovery_required(len - kPage));

  // Shorter than the stored layout: refused.
  EXPECT_EQ(error_text(parse(b).value().finalize(len - 1)),
            "DB corrupted: File truncated below stored layout: file_len=" +
                std::to_string(len - 1) + ", layout_len=" + std::to_string(len));
  // Longer by whole pages: the trailing region grows, then becomes a full region.
  auto grown = parse(b).value().finalize(len + 2 * kPage);
  ASSERT_TRUE(grown.ok()) << error_text(grown);
  EXPECT_EQ(grown.value().layout(),
            DatabaseLayout(2, RegionLayout(8, 1, kPage), RegionLayout(5, 1, kPage)));
  auto full = parse(b).value().finalize(len + 5 * kPage);
  ASSERT_TRUE(full.ok()) << error_text(full);
  EXPECT_EQ(full.value().layout(), DatabaseLayout(3, RegionLayout(8, 1, kPage), std::nullopt));
  EXPECT_EQ(full.value().to_bytes(true)[kFullRegionsOffset], 3);
  // Longer by a part of a page: no layout holds it.
  EXPECT_EQ(error_text(parse(b).value().finalize(len + 100)),
            "DB corrupted: File length does not correspond to a valid region layout: file_len=" +
                std::to_string(len + 100));
}

TEST(HeaderTest, LayoutFromFileLength) {
  // Regions of 1 header page and 8 data pages: R = 9 pages.
  auto u = parse(small_header().to_bytes(true));
  ASSERT_TRUE(u.ok());
  const UnrepairedDatabaseHeader& h = u.value();
  const RegionLayout full(8, 1, kPage);
  const uint64_t region = 9ull * kPage;
  struct Case {
    uint64_t len;
    std::optional<DatabaseLayout> layout;
    const char* error;
  } cases[] = {
      {kPage + 3 * region, DatabaseLayout(3, full, std::nullopt), nullptr},
      {kPage + 3 * region + 2 * kPage, DatabaseLayout(3, full, RegionLayout(1, 1, kPage)), nullptr},
      {kPage + 2 * kPage, DatabaseLayout(0, full, RegionLayout(1, 1, kPage)), nullptr},
      {kPage + 3 * region + 8 * kPage, DatabaseLayout(3, full, RegionLayout(7, 1, kPage)), nullptr},
      // A remainder of header pages only cannot hold a region.
      {kPage + 3 * region + kPage, std::nullopt,
       "File length does not correspond to a valid region layout: file_len="},
      {kPage + 3 * region + 2 * kPage + 1, std::nullopt,
       "File length does not correspond to a valid region layout: file_len="},
      {2 * kPage + 5, std::nullopt, "File truncated below the minimum layout: file_len="},
      {0, std::nullopt, "File truncated below the minimum layout: file_len="},
      {kPage + (1ull << 20) * region, DatabaseLayout(1u << 20, full, std::nullopt), nullptr},
      {kPage + (1ull << 20) * region + 1, std::nullopt,
       "File length requires more regions than are addressable: file_len="},
      {UINT64_MAX, std::nullopt,
       "File length requires more regions than are addressable: file_len="},
  };
  for (const auto& c : cases) {
    auto r = h.layout_from_file_len(c.len);
    if (c.layout) {
      ASSERT_TRUE(r.ok()) << c.len << ": " << error_text(r);
      EXPECT_EQ(r.value(), *c.layout) << c.len;
      EXPECT_EQ(r.value().len(), c.len);
    } else {
      EXPECT_EQ(error_text(r), "DB corrupted: " + std::string(c.error) + std::to_string(c.len));
    }
  }
}

TEST(HeaderTest, NewFileHeaderRoundTrips) {
  // What initialising an empty 4 KiB-page file writes: two empty slots, two-phase.
  DatabaseLayout layout = DatabaseLayout::calculate(1048576 + 4096, 1u << 20, 0, kPage);
  DatabaseHeader h(layout, TransactionHeader(std::nullopt, std::nullopt, TransactionId(0)));
  h.set_two_phase_commit(true);
  Bytes b = h.to_bytes(true);
  EXPECT_EQ(b[kFlagsOffset], 0b100);
  EXPECT_EQ(b[kSlot0Offset], 3);
  EXPECT_EQ(b[kSlot1Offset], 3);
  auto u = parse(b);
  ASSERT_TRUE(u.ok());
  EXPECT_FALSE(u.value().recovery_required(258ull * kPage));
  auto f = std::move(u).value().finalize(258ull * kPage);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f.value(), h);
  EXPECT_EQ(f.value().layout(), layout);
}

TEST(HeaderTest, SerialisingAnUnknownVersionPanics) {
  TransactionHeader t;
  t.version = 4;
  EXPECT_THROW(t.to_bytes(), Panic);
  DatabaseHeader h = small_header();
  EXPECT_THROW(h.set_layout(DatabaseLayout(1, RegionLayout(9, 1, kPage), std::nullopt)), Panic);
}

// Random, mutated and truncated headers reach the parser and finalize: each gives a
// header or an error value, never a crash or an out-of-bounds read (run under ASan).
TEST(HeaderFuzzTest, RandomMutatedAndTruncatedInputsGiveOnlyValues) {
  const uint64_t seed = std::random_device{}();
  std::mt19937_64 rng(seed);
  SCOPED_TRACE(::testing::Message() << "seed=" << seed);
  const Bytes good = small_header().to_bytes(true);
  size_t parsed = 0, finalized = 0;
  for (int iter = 0; iter < 20000; iter++) {
    Bytes b = good;
    switch (iter % 4) {
      case 0:  // random bytes behind a valid magic
        for (auto& x : b) x = static_cast<uint8_t>(rng());
        if (rng() % 2) std::copy(kMagicNumber.begin(), kMagicNumber.end(), b.begin());
        break;
      case 1:  // a few flipped bits
        for (int k = 0, n = 1 + rng() % 4; k < n; k++) b[rng() % b.size()] ^= 1 << (rng() % 8);
        break;
      case 2:  // a geometry field set to an extreme, slots resealed or not
        store_le32(b.data() + 12 + 4 * (rng() % 5),
                   std::array<uint32_t, 6>{0, 1, 1048576, 1048577, 0x80000000u,
                                           0xFFFFFFFFu}[rng() % 6]);
        b[kFlagsOffset] = static_cast<uint8_t>(rng());
        break;
      case 3:  // slot fields randomised then resealed
        for (int k = 0; k < 16; k++) {
          size_t at = (rng() % 2 ? kSlot0Offset : kSlot1Offset) + rng() % 112;
          b[at] = static_cast<uint8_t>(rng());
        }
        b[kSlot0Offset] = b[kSlot1Offset] = 3;
        reseal(b, kSlot0Offset);
        reseal(b, kSlot1Offset);
        b[kFlagsOffset] = static_cast<uint8_t>(rng());
        break;
    }
    // An exact-size heap copy, so any read past the end trips ASan.
    const size_t size = iter % 10 == 0 ? rng() % kDbHeaderSize : kDbHeaderSize;
    std::vector<uint8_t> input(b.begin(), b.begin() + size);
    auto u = UnrepairedDatabaseHeader::from_bytes(input, kPage);
    if (!u.ok()) {
      EXPECT_FALSE(u.error().to_string().empty());
      continue;
    }
    parsed++;
    const uint64_t lens[] = {0, small_len(), small_len() + rng() % (64 * kPage), rng(),
                             rng() % (1ull << 40)};
    const uint64_t len = lens[rng() % 5];
    (void)u.value().recovery_required(len);
    auto f = std::move(u).value().finalize(len);
    if (!f.ok()) continue;
    finalized++;
    // A finalised header describes exactly the file and serialises cleanly.
    EXPECT_EQ(f.value().layout().len(), len);
    Bytes out = f.value().to_bytes(true);
    auto back = parse(out);
    ASSERT_TRUE(back.ok()) << error_text(back);
  }
  std::printf("fuzz: %zu parsed, %zu finalized of 20000\n", parsed, finalized);
  EXPECT_GT(parsed, 0u);
  EXPECT_GT(finalized, 0u);
}

TEST(HeaderTest, TruncatedHeaderBufferIsCorrupted) {
  const Bytes good = small_header().to_bytes(true);
  for (size_t size : {size_t{0}, size_t{8}, size_t{9}, size_t{191}, kDbHeaderSize - 1}) {
    std::vector<uint8_t> input(good.begin(), good.begin() + size);
    EXPECT_EQ(error_text(UnrepairedDatabaseHeader::from_bytes(input, kPage)),
              "DB corrupted: File truncated below the minimum layout: file_len=" +
                  std::to_string(size));
  }
}

}  // namespace
}  // namespace storage
