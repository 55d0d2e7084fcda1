#include "storage/tests/support/panic_text.h"
#include "storage/src/tree_store/page_store/bitmap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "storage/src/panic.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/tests/support/random_seed.h"

namespace storage {
namespace {

constexpr uint32_t k2Pow20 = uint32_t{1} << 20;

using test::panic_text;

// A bitmap read back from its own image: from_bytes checks every parent bit
// against its word, so this also proves the tree is consistent.
BtreeBitmap round_trip(const BtreeBitmap& b) {
  std::vector<uint8_t> image = b.to_vec();
  EXPECT_EQ(image.size(), b.image_size());
  auto parsed = BtreeBitmap::from_bytes(image);
  if (!parsed.ok()) {
    ADD_FAILURE() << parsed.error().to_string();
    return b;
  }
  EXPECT_EQ(parsed->to_vec(), image);
  return *std::move(parsed);
}

BtreeBitmap with_clear(uint32_t len, uint32_t padded, std::initializer_list<uint32_t> clear) {
  BtreeBitmap b = BtreeBitmap::new_padded(len, len, padded);
  for (uint32_t i : clear) b.clear(i);
  return b;
}

TEST(BtreeBitmapTest, FindsLowestClearEntryThroughTheLevels) {
  EXPECT_EQ(BtreeBitmap::new_padded(1000, 1000, k2Pow20).find_first_unset(), std::nullopt);
  EXPECT_EQ(BtreeBitmap::new_padded(1, 1, 1).find_first_unset(), std::nullopt);

  BtreeBitmap b = with_clear(5000, k2Pow20, {5, 3});
  EXPECT_EQ(b.find_first_unset(), 3u);
  b.set(3);
  EXPECT_EQ(b.find_first_unset(), 5u);
  b.set(5);
  EXPECT_EQ(b.find_first_unset(), std::nullopt);
  // An entry deep in the last leaf word, under three levels.
  BtreeBitmap big = with_clear(300000, k2Pow20, {299999});
  EXPECT_EQ(big.height(), 4u);
  EXPECT_EQ(big.find_first_unset(), 299999u);
  EXPECT_TRUE(big.get(0));
  EXPECT_FALSE(big.get(299999));
}

TEST(BtreeBitmapTest, ParentBitsFollowFullWords) {
  BtreeBitmap all = BtreeBitmap::new_padded(64 * 64 + 1, 64 * 64 + 1, 64 * 64 + 1);
  ASSERT_EQ(all.height(), 3u);
  BtreeBitmap b = all;
  b.clear(4096);
  EXPECT_FALSE(b.level(1).get(64));
  EXPECT_FALSE(b.level(0).get(1));
  b.set(4096);
  EXPECT_EQ(b, all);  // every level as it was

  b.clear(0);
  b.clear(1);
  b.set(0);  // word 0 still has bit 1 clear: no parent changes
  EXPECT_FALSE(b.level(1).get(0));
  EXPECT_FALSE(b.level(0).get(0));
  b.set(1);  // the last clear bit of the word: parents become set
  EXPECT_TRUE(b.level(1).get(0));
  EXPECT_TRUE(b.level(0).get(0));
  EXPECT_EQ(b, all);
}

TEST(BtreeBitmapTest, ResizeGrowsWithSetBitsAndShrinksKeepingTheRest) {
  BtreeBitmap b = with_clear(100, 1000, {0, 50, 99});
  b.resize(150, true);
  EXPECT_EQ(b.len(), 150u);
  for (uint32_t i = 0; i < 150; ++i) EXPECT_EQ(b.get(i), i != 0 && i != 50 && i != 99) << i;
  b.set(99);
  b.resize(90, true);
  b.resize(150, true);
  for (uint32_t i = 90; i < 150; ++i) EXPECT_TRUE(b.get(i)) << i;
  EXPECT_EQ(b.find_first_unset(), 0u);
  round_trip(b);

  // Growing with clear bits: the old last word's parent bit must clear too.
  BtreeBitmap c = BtreeBitmap::new_padded(64 * 64 - 10, 64 * 64, 64 * 64 * 4);
  c.resize(64 * 64, false);
  EXPECT_EQ(c.find_first_unset(), 64u * 64 - 10);
  round_trip(c);

  BtreeBitmap small = BtreeBitmap::new_padded(10, 10, 10);
  EXPECT_EQ(panic_text([&] { small.resize(65 * 64, true); }),
            "assertion failed: self.get_level(0).len() <= 64");
}

TEST(BtreeBitmapTest, OutOfRangeEntriesPanic) {
  BtreeBitmap b = BtreeBitmap::new_padded(10, 10, 10);
  EXPECT_EQ(panic_text([&] { (void)b.get(10); }), "assertion failed: bit < self.len");
  EXPECT_EQ(panic_text([&] { b.set(10); }), "assertion failed: bit < self.len");
  EXPECT_EQ(panic_text([&] { b.clear(12); }), "12 must be less than 10");
}

TEST(BtreeBitmapTest, EmptyBitmapFindsNothingAndKeepsItsImage) {
  BtreeBitmap b = BtreeBitmap::new_padded(0, 0, k2Pow20 >> 19);
  EXPECT_EQ(b.len(), 0u);
  EXPECT_EQ(b.find_first_unset(), std::nullopt);
  std::vector<uint8_t> image = b.to_vec();
  EXPECT_EQ(image, (std::vector<uint8_t>{1, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0}));
  round_trip(b);

  BtreeBitmap padded = BtreeBitmap::new_padded(0, 0, k2Pow20);
  EXPECT_EQ(padded.height(), 4u);
  for (uint32_t k = 0; k < 4; ++k) {
    EXPECT_EQ(padded.level(k).len(), 0u);
    EXPECT_EQ(padded.level(k).num_words(), 0u);
  }
  EXPECT_EQ(padded.to_vec().size(), 4u + 16 + 4 * 4);
  round_trip(padded);
}

TEST(BtreeBitmapTest, PaddedImageLayout) {
  BtreeBitmap b = BtreeBitmap::new_padded(1000, 1000, k2Pow20);
  std::vector<uint8_t> image = b.to_vec();
  ASSERT_EQ(image.size(), 188u);
  EXPECT_EQ(load_le32(image.data()), 4u);
  // End offsets of the levels of 1, 1, 16 and 1000 bits (1, 1, 1, 16 words).
  EXPECT_EQ(load_le32(image.data() + 4), 32u);
  EXPECT_EQ(load_le32(image.data() + 8), 44u);
  EXPECT_EQ(load_le32(image.data() + 12), 56u);
  EXPECT_EQ(load_le32(image.data() + 16), 188u);
  EXPECT_EQ(load_le32(image.data() + 20), 1u);
  EXPECT_EQ(load_le32(image.data() + 32), 1u);
  EXPECT_EQ(load_le32(image.data() + 44), 16u);
  EXPECT_EQ(load_le32(image.data() + 56), 1000u);

  // Spare capacity is not written.
  BtreeBitmap spare = BtreeBitmap::new_padded(10, 1000, 1000);
  EXPECT_EQ(spare.level(1).num_words(), 16u);
  EXPECT_EQ(spare.to_vec().size(), 4u + 8 + (4 + 8) + (4 + 8));
}

TEST(BtreeBitmapTest, ImageBytes) {
  BtreeBitmap b = with_clear(70, 70, {3, 65});
  std::vector<uint8_t> want = {2, 0, 0, 0, 24, 0, 0, 0, 44, 0, 0, 0,
                               // root: 2 bits, both words have a clear bit
                               2, 0, 0, 0, 0xFC, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               // leaves: 70 bits
                               70, 0, 0, 0, 0xF7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                               0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(b.to_vec(), want);
  auto parsed = BtreeBitmap::from_bytes(want);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(*parsed, b);
  EXPECT_EQ(U64GroupedBitmap::from_bytes(std::span(want).subspan(24))->len(), 70u);
  EXPECT_EQ(b.level(1).to_vec(), std::vector<uint8_t>(want.begin() + 24, want.end()));
}

std::vector<uint8_t> patched(std::vector<uint8_t> image, size_t at, std::vector<uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) image[at + i] = bytes[i];
  return image;
}

std::vector<uint8_t> le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

TEST(BtreeBitmapTest, MalformedImagesAreCorrupted) {
  // Layout of `good`: H=2 at 0, ends at 4 and 8, root image at 12 (len, 1
  // word), leaf image at 24 (len 70, 2 words at 28 and 36).
  const std::vector<uint8_t> good = with_clear(70, 70, {3, 65}).to_vec();
  ASSERT_TRUE(BtreeBitmap::from_bytes(good).ok());
  for (size_t n = 0; n < good.size(); ++n) {
    auto r = BtreeBitmap::from_bytes(std::span(good).first(n));
    ASSERT_FALSE(r.ok()) << "truncated to " << n;
    EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted));
  }
  std::vector<uint8_t> longer = good;
  longer.push_back(0);

  struct Case {
    const char* what;
    std::vector<uint8_t> image;
  };
  std::vector<Case> cases = {
      {"trailing byte", longer},
      {"zero height", patched(good, 0, le32(0))},
      {"height beyond the image", patched(good, 0, le32(0xFFFFFFFF))},
      {"end offsets out of order", patched(good, 8, le32(20))},
      {"end offset before the levels", patched(good, 4, le32(8))},
      {"end offset past the image", patched(good, 8, le32(45))},
      {"level not 4 plus words", patched(good, 4, le32(23))},
      {"word count below the length", patched(good, 24, le32(129))},
      {"word count above the length", patched(good, 24, le32(64))},
      {"clear bit beyond the length", patched(good, 24, le32(65))},
      {"parent set over a word with a clear bit", patched(good, 16, {0xFD})},
      {"parent clear over a full word", patched(good, 28, {0xFF})},
  };
  // A single level of 65 bits as the root.
  std::vector<uint8_t> wide_root = {1, 0, 0, 0, 28, 0, 0, 0};
  U64GroupedBitmap::new_full(65, 65).append_to(wide_root);
  cases.push_back({"root with more than 64 bits", wide_root});
  for (const Case& c : cases) {
    auto r = BtreeBitmap::from_bytes(c.image);
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted)) << c.what;
  }
  EXPECT_FALSE(U64GroupedBitmap::from_bytes(std::vector<uint8_t>{1, 0, 0}).ok());
}

// Random sets, clears, grows and shrinks against a plain vector of bools.
TEST(BtreeBitmapTest, ModelBasedRandomOperations) {
  uint64_t base_seed = storage_test_support::random_seed();
  for (uint64_t run = 0; run < 24; ++run) {
    uint64_t seed = base_seed + run;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: RS_TEST_SEED=" +
                 std::to_string(seed) + ")");
    std::mt19937_64 rng(seed);
    const uint32_t capacity = run % 6 == 0 ? 300000 : 1 + rng() % 9000;
    uint32_t len = static_cast<uint32_t>(rng() % (capacity + 1));
    BtreeBitmap b = BtreeBitmap::new_padded(len, len, capacity);
    std::vector<bool> model(len, true);
    std::set<uint32_t> clear;
    auto pick = [&]() { return static_cast<uint32_t>(rng() % len); };
    for (int step = 0; step < 2000; ++step) {
      uint32_t op = rng() % 100;
      if (op < 40 && len > 0) {
        uint32_t i = pick();
        b.clear(i);
        model[i] = false;
        clear.insert(i);
      } else if (op < 80 && len > 0) {
        uint32_t i = pick();
        b.set(i);
        model[i] = true;
        clear.erase(i);
      } else if (op < 88) {
        // Grow with set bits, or shrink after setting the dropped entries.
        uint32_t n = static_cast<uint32_t>(rng() % (capacity + 1));
        for (uint32_t i = n; i < len; ++i) {
          b.set(i);
          model[i] = true;
        }
        clear.erase(clear.lower_bound(n), clear.end());
        b.resize(n, true);
        model.resize(n, true);
        len = n;
      } else if (op < 92) {
        b = round_trip(b);
      } else if (len > 0) {
        uint32_t s = pick();
        uint32_t e = s + static_cast<uint32_t>(rng() % (len - s + 1));
        auto it = clear.lower_bound(s);
        bool any = it != clear.end() && *it < e;
        ASSERT_EQ(b.any_unset(s, e), any) << s << ".." << e;
      }
      std::optional<uint32_t> want;
      if (!clear.empty()) want = *clear.begin();
      ASSERT_EQ(b.len(), len);
      ASSERT_EQ(b.find_first_unset(), want) << "step " << step;
    }
    for (uint32_t i = 0; i < len; ++i) ASSERT_EQ(b.get(i), model[i]) << i;
    round_trip(b);
  }
}

}  // namespace
}  // namespace storage
