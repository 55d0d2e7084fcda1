#include "storage/src/tree_store/page_store/base.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace storage {
namespace {

std::array<uint8_t, 8> bytes_of(PageNumber p) {
  std::array<uint8_t, 8> out{};
  p.to_le_bytes(out.data());
  return out;
}

TEST(BaseTest, PageNumberStoredFormVectors) {
  EXPECT_EQ(bytes_of(PageNumber(1, 2, 3)),
            (std::array<uint8_t, 8>{0x02, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x18}));
  std::array<uint8_t, 8> b{0x02, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x18};
  EXPECT_EQ(PageNumber::from_le_bytes(b.data()).debug(), "r1.2/3");
  b[7] = 0;
  EXPECT_EQ(PageNumber::from_le_bytes(b.data()).debug(), "r1.2/0");
  // Index bits beyond the order's width are masked off.
  EXPECT_EQ(PageNumber::from_packed(0xFFFFFull | (20ull << 59)).page_index, 0u);
  EXPECT_EQ(PageNumber::from_packed(0xFFFFFull | (1ull << 59)).page_index, 0x7FFFFu);
  // Bits 40-58 are ignored.
  EXPECT_EQ(PageNumber::from_packed((0x7FFFFull << 40) | 5), PageNumber(0, 5, 0));
  EXPECT_EQ(PageNumber().debug(), "r0.0/0");
  EXPECT_EQ(TransactionId(7).debug(), "TransactionId(7)");
}

TEST(BaseTest, BtreeHeaderStoredForm) {
  BtreeHeader h{PageNumber(1, 2, 3), 999, 5};
  std::vector<uint8_t> out(32);
  h.to_le_bytes(out.data());
  std::vector<uint8_t> want = {0x02, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x18, 0xE7, 0x03};
  want.resize(24, 0);
  want.push_back(5);
  want.resize(32, 0);
  EXPECT_EQ(out, want);
  EXPECT_EQ(BtreeHeader::from_le_bytes(out.data()), h);
  Checksum wide = (static_cast<Checksum>(0x0102030405060708ull) << 64) | 0x1112131415161718ull;
  BtreeHeader w{PageNumber(0, 0, 0), wide, 0};
  w.to_le_bytes(out.data());
  EXPECT_EQ(out[8], 0x18);   // low64 first
  EXPECT_EQ(out[16], 0x08);  // then high64
  EXPECT_EQ(BtreeHeader::from_le_bytes(out.data()).checksum, wide);
}

}  // namespace
}  // namespace storage
