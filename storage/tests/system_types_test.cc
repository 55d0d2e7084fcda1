#include "storage/src/system_types.h"

#include <gtest/gtest.h>

#include <vector>

#include "storage/tests/support/panic_text.h"

namespace storage {
namespace {

using Key = TransactionIdWithPagination;

std::vector<uint8_t> enc(Key k) {
  auto a = Key::as_bytes(k);
  return std::vector<uint8_t>(a.begin(), a.end());
}

TEST(SystemTypesTest, TransactionIdWithPaginationBytesAndOrder) {
  EXPECT_EQ(enc({0x0102030405060708, 0x1122}),
            (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1, 0x22, 0x11, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Key::from_bytes(enc({7, 9})), (Key{7, 9}));
  EXPECT_EQ(Key::type_name(), (TypeName{0, "storage::TransactionIdWithPagination"}));
  EXPECT_EQ(Key::fixed_width(), std::optional<size_t>(16));

  // Unsigned numbers, id first: byte order would get every one of these wrong.
  const std::vector<Key> ascending = {{0, 0},          {0, 1ull << 63}, {1, 2},
                                      {2, 0},          {2, 1},          {256, 0},
                                      {1ull << 63, 0}, {~0ull, ~0ull}};
  for (size_t i = 0; i < ascending.size(); ++i) {
    for (size_t j = 0; j < ascending.size(); ++j) {
      EXPECT_EQ(Key::compare(enc(ascending[i]), enc(ascending[j])), i <=> j) << i << " " << j;
    }
  }
}

TEST(SystemTypesTest, MisSizedKeysPanic) {
  const std::vector<uint8_t> good = enc({1, 1});
  const std::vector<uint8_t> short7(7, 0);
  const std::vector<uint8_t> short15(15, 0);
  EXPECT_EQ(test::panic_text([&] { (void)Key::compare(short7, good); }),
            "range end index 8 out of range for slice of length 7");
  EXPECT_EQ(test::panic_text([&] { (void)Key::compare(good, short15); }),
            "called `Result::unwrap()` on an `Err` value");
}

TEST(SystemTypesTest, PageListStoredForm) {
  const std::vector<PageNumber> pages = {PageNumber(0, 5, 0), PageNumber(3, 0xFFFFF, 0),
                                         PageNumber(1, 2, 4)};
  const std::vector<uint8_t> bytes = PageList::encode(pages);
  ASSERT_EQ(bytes.size(), 2u + 3 * 8);
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(bytes[1], 0);
  // region 3 in bits 20-39, index in bits 0-19.
  EXPECT_EQ(load_le64(bytes.data() + 10), (uint64_t{3} << 20) | 0xFFFFF);
  // order in bits 59-63.
  EXPECT_EQ(load_le64(bytes.data() + 18), (uint64_t{4} << 59) | (uint64_t{1} << 20) | 2);
  PageList list = PageList::from_bytes(bytes);
  EXPECT_EQ(list.len(), 3u);
  EXPECT_EQ(list.pages(), pages);
  EXPECT_EQ(PageList::type_name(), (TypeName{0, "storage::PageList"}));
  EXPECT_EQ(PageList::fixed_width(), std::nullopt);

  // Reserved at full size, filled in place: the bytes after the count's pages
  // are ignored.
  std::vector<uint8_t> reserved(PageList::required_bytes(200), 0);
  PageList::set_len(reserved, 0);
  EXPECT_EQ(PageList::from_bytes(reserved).len(), 0u);
  PageList::set(reserved, 0, PageNumber(0, 9, 1));
  PageList::set_len(reserved, 1);
  EXPECT_EQ(PageList::from_bytes(reserved).pages(), std::vector<PageNumber>{PageNumber(0, 9, 1)});
}

TEST(SystemTypesTest, PageListFormatExample) {
  const std::vector<PageNumber> pages = {PageNumber(0, 5, 0), PageNumber(1, 2, 4)};
  EXPECT_EQ(PageList::encode(pages),
            (std::vector<uint8_t>{0x02, 0x00, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x00, 0x10, 0, 0,
                                  0, 0, 0x20}));
}

TEST(SystemTypesTest, PageListShorterThanItsCountPanics) {
  std::vector<uint8_t> bytes = PageList::encode(std::vector<PageNumber>{PageNumber(0, 1, 0)});
  bytes[0] = 2;  // claims two pages, holds one
  EXPECT_NE(test::panic_text([&] { (void)PageList::from_bytes(bytes).pages(); }), "<no panic>");
  EXPECT_NE(test::panic_text([&] { (void)PageList::from_bytes(ByteView(bytes).first(1)).len(); }),
            "<no panic>");
}


std::vector<uint8_t> enc_state(AllocatorStateKey k) {
  auto a = AllocatorStateKey::as_bytes(k);
  return std::vector<uint8_t>(a.begin(), a.end());
}

TEST(SystemTypesTest, AllocatorStateKeyBytesAndOrder) {
  using K = AllocatorStateKey;
  EXPECT_EQ(enc_state(K::Region(7)), (std::vector<uint8_t>{3, 7, 0, 0, 0}));
  EXPECT_EQ(enc_state(K::Region(0x01020304)), (std::vector<uint8_t>{3, 4, 3, 2, 1}));
  EXPECT_EQ(enc_state(K::RegionTracker()), (std::vector<uint8_t>{4, 0, 0, 0, 0}));
  EXPECT_EQ(enc_state(K::TransactionId()), (std::vector<uint8_t>{5, 0, 0, 0, 0}));
  EXPECT_EQ(K::type_name(), (TypeName{0, "storage::AllocatorStateKey"}));
  EXPECT_EQ(K::fixed_width(), std::optional<size_t>(5));
  EXPECT_EQ(K::from_bytes(enc_state(K::Region(0xFFFFFFFF))), K::Region(0xFFFFFFFF));
  EXPECT_EQ(K::from_bytes(std::vector<uint8_t>{5, 9, 9, 9, 9}), K::TransactionId());

  // Stored order: the older kind, regions by index as numbers (not bytes),
  // the tracker, the id, then tags this engine does not know.
  const std::vector<std::vector<uint8_t>> ascending = {
      {1, 0, 0, 0, 0},       {3, 0, 0, 0, 0},  {3, 2, 0, 0, 0},       {3, 10, 0, 0, 0},
      {3, 0, 1, 0, 0},       {3, 0xFF, 0xFF, 0xFF, 0xFF},             {4, 0, 0, 0, 0},
      {5, 0, 0, 0, 0},       {6, 0, 0, 0, 0},  {0xFF, 0, 0, 0, 0}};
  for (size_t i = 0; i < ascending.size(); ++i) {
    for (size_t j = 0; j < ascending.size(); ++j) {
      EXPECT_EQ(K::compare(ascending[i], ascending[j]), i <=> j) << i << " vs " << j;
    }
  }
  // Kinds without an index compare equal whatever their other bytes.
  EXPECT_EQ(K::compare(std::vector<uint8_t>{0, 1, 0, 0, 0}, std::vector<uint8_t>{2, 0, 0, 0, 0}),
            std::strong_ordering::equal);
  EXPECT_EQ(K::compare(std::vector<uint8_t>{4, 1, 0, 0, 0}, std::vector<uint8_t>{4, 0, 0, 0, 0}),
            std::strong_ordering::equal);

  // Bytes from a file that this engine never writes.
  EXPECT_EQ(K::parse(std::vector<uint8_t>{6, 0, 0, 0, 0}), std::nullopt);
  EXPECT_EQ(K::parse(std::vector<uint8_t>{3, 0, 0, 0}), std::nullopt);
  EXPECT_EQ(K::parse(std::vector<uint8_t>{2, 0, 0, 0, 0})->kind, K::Kind::kDeprecated);
  EXPECT_EQ(test::panic_text([] { K::from_bytes(std::vector<uint8_t>{9, 0, 0, 0, 0}); }),
            "invalid allocator state key");
  EXPECT_EQ(test::panic_text([] { K::as_bytes(K{K::Kind::kDeprecated, 0}); }),
            "internal error: entered unreachable code");
}

}  // namespace
}  // namespace storage
