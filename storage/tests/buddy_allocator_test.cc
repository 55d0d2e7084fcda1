#include "storage/tests/support/panic_text.h"
#include "storage/src/tree_store/page_store/buddy_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "storage/src/panic.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/tests/support/random_seed.h"

namespace storage {
namespace {

constexpr uint32_t k2Pow20 = uint32_t{1} << 20;

// A free block as (first page, order).
using Block = std::pair<uint32_t, uint8_t>;

std::vector<Block> free_blocks(const BuddyAllocator& a) {
  std::vector<Block> out;
  for (uint8_t k = 0; k <= a.max_order(); ++k) {
    const BtreeBitmap& b = a.order_bitmap(k);
    const U64GroupedBitmap& leaves = b.level(b.height() - 1);
    for (size_t w = 0; w < U64GroupedBitmap::words_for(b.len()); ++w) {
      for (uint64_t clear = ~leaves.word(w); clear != 0; clear &= clear - 1) {
        uint32_t j = static_cast<uint32_t>(w * 64 + std::countr_zero(clear));
        EXPECT_LT(j, b.len());
        out.emplace_back(j << k, k);
      }
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Free pages as the bitmaps say; every page in at most one free block, and no
// two buddies free below the maximum order.
std::vector<bool> free_pages_checked(const BuddyAllocator& a) {
  std::vector<bool> free(a.len(), false);
  for (auto [first, order] : free_blocks(a)) {
    for (uint32_t p = first; p < first + (uint32_t{1} << order); ++p) {
      EXPECT_FALSE(free[p]) << "page " << p << " in two free blocks";
      free[p] = true;
    }
    if (order < a.max_order()) {
      uint32_t buddy = (first >> order) ^ 1;
      const BtreeBitmap& b = a.order_bitmap(order);
      EXPECT_FALSE(buddy < b.len() && !b.get(buddy))
          << "buddies " << first << " and " << (buddy << order) << " both free at order "
          << int{order};
    }
  }
  return free;
}

using test::panic_text;

BuddyAllocator round_trip(const BuddyAllocator& a) {
  std::vector<uint8_t> image = a.to_vec();
  auto parsed = BuddyAllocator::from_bytes(image);
  if (!parsed.ok()) {
    ADD_FAILURE() << parsed.error().to_string();
    return a;
  }
  EXPECT_EQ(parsed->to_vec(), image);
  EXPECT_EQ(parsed->len(), a.len());
  EXPECT_EQ(parsed->max_order(), a.max_order());
  EXPECT_EQ(free_blocks(*parsed), free_blocks(a));
  return *std::move(parsed);
}

TEST(BuddyAllocatorTest, SixPageRegion) {
  BuddyAllocator fresh(6, k2Pow20);
  EXPECT_EQ(fresh.max_order(), 20);
  EXPECT_EQ(free_blocks(fresh), (std::vector<Block>{{0, 2}, {4, 1}}));
  EXPECT_EQ(fresh.largest_free_order(), 2);
  EXPECT_EQ(fresh.trailing_free_pages(), 6u);

  BuddyAllocator a = fresh;
  EXPECT_EQ(a.alloc_inner(0), 4u);  // the order-1 block is split
  EXPECT_EQ(free_blocks(a), (std::vector<Block>{{0, 2}, {5, 0}}));
  EXPECT_EQ(a.free_inner(4, 0), 1);  // merges back into pages 4-5
  EXPECT_EQ(free_blocks(a), free_blocks(fresh));

  BuddyAllocator b = fresh;
  EXPECT_EQ(b.alloc_lowest(0), 0u);
  EXPECT_EQ(free_blocks(b), (std::vector<Block>{{1, 0}, {2, 1}, {4, 1}}));
  EXPECT_EQ(b.free_inner(0, 0), 2);
  EXPECT_EQ(free_blocks(b), free_blocks(fresh));
}

TEST(BuddyAllocatorTest, LowestPolicyPrefersALowerLargerBlock) {
  // 16 pages with only page 10 and pages 0-7 free.
  BuddyAllocator a(16, k2Pow20);
  for (uint32_t p : {8u, 9u, 11u}) ASSERT_TRUE(a.record_alloc(p, 0).ok());
  ASSERT_TRUE(a.record_alloc(3, 2).ok());  // pages 12-15
  ASSERT_EQ(free_blocks(a), (std::vector<Block>{{0, 3}, {10, 0}}));

  BuddyAllocator any = a;
  EXPECT_EQ(any.alloc_inner(0), 10u);
  EXPECT_EQ(free_blocks(any), (std::vector<Block>{{0, 3}}));

  BuddyAllocator lowest = a;
  EXPECT_EQ(lowest.alloc_lowest(0), 0u);
  EXPECT_EQ(free_blocks(lowest), (std::vector<Block>{{1, 0}, {2, 1}, {4, 2}, {10, 0}}));
  // Larger requests too: order 1 from the order-3 block rather than nothing.
  EXPECT_EQ(lowest.alloc_lowest(1), 1u);
  EXPECT_EQ(free_blocks(lowest), (std::vector<Block>{{1, 0}, {4, 2}, {10, 0}}));
}

TEST(BuddyAllocatorTest, FailedAllocationsChangeNothing) {
  BuddyAllocator a(6, k2Pow20);
  BuddyAllocator before = a;
  EXPECT_EQ(a.alloc_inner(21), std::nullopt);
  EXPECT_EQ(a.alloc_inner(3), std::nullopt);  // no block of 8 pages in 6
  EXPECT_EQ(a.alloc_lowest(3), std::nullopt);
  EXPECT_EQ(a, before);

  BuddyAllocator small(8, 8);
  EXPECT_EQ(small.max_order(), 3);
  EXPECT_EQ(small.alloc_inner(4), std::nullopt);
  EXPECT_EQ(small.alloc_inner(3), 0u);
  EXPECT_EQ(small.alloc_inner(0), std::nullopt);
  EXPECT_EQ(small.largest_free_order(), std::nullopt);
  EXPECT_EQ(small.trailing_free_pages(), 0u);
}

TEST(BuddyAllocatorTest, FreeReturnsTheOrderOfTheMergedBlock) {
  BuddyAllocator full(k2Pow20, k2Pow20);
  EXPECT_EQ(free_blocks(full), (std::vector<Block>{{0, 20}}));
  ASSERT_EQ(full.alloc_inner(20), 0u);
  EXPECT_EQ(full.free_inner(0, 20), 20);

  BuddyAllocator a(16, 16);
  ASSERT_EQ(a.alloc_inner(0), 0u);
  ASSERT_EQ(a.alloc_inner(0), 1u);
  EXPECT_EQ(a.free_inner(0, 0), 0);  // its buddy, page 1, is allocated
  EXPECT_EQ(a.free_inner(1, 0), 4);  // everything merges again
  EXPECT_EQ(free_blocks(a), (std::vector<Block>{{0, 4}}));
}

TEST(BuddyAllocatorTest, TrailingFreePages) {
  BuddyAllocator a(13, 16);
  EXPECT_EQ(a.trailing_free_pages(), 13u);
  ASSERT_TRUE(a.record_alloc(12, 0).ok());
  EXPECT_EQ(a.trailing_free_pages(), 0u);
  EXPECT_EQ(a.free_inner(12, 0), 0);
  ASSERT_TRUE(a.record_alloc(4, 0).ok());
  EXPECT_EQ(a.trailing_free_pages(), 8u);  // pages 5-12
  ASSERT_TRUE(a.record_alloc(0, 0).ok());
  EXPECT_EQ(a.trailing_free_pages(), 8u);
}

TEST(BuddyAllocatorTest, GrowAndShrink) {
  BuddyAllocator a(6, k2Pow20);
  a.resize(16);
  EXPECT_EQ(a.len(), 16u);
  EXPECT_EQ(free_blocks(a), (std::vector<Block>{{0, 4}}));
  a.resize(6);
  EXPECT_EQ(free_blocks(a), (std::vector<Block>{{0, 2}, {4, 1}}));
  EXPECT_EQ(a.to_vec(), BuddyAllocator(6, k2Pow20).to_vec());

  // Growth next to an allocated end page, and shrinking onto it.
  BuddyAllocator b(5, 64);
  ASSERT_TRUE(b.record_alloc(4, 0).ok());
  b.resize(37);
  EXPECT_EQ(free_blocks(b),
            (std::vector<Block>{{0, 2}, {5, 0}, {6, 1}, {8, 3}, {16, 4}, {32, 2}, {36, 0}}));
  b.resize(5);
  EXPECT_EQ(free_blocks(b), (std::vector<Block>{{0, 2}}));
  EXPECT_EQ(b.trailing_free_pages(), 0u);
  free_pages_checked(b);
}

TEST(BuddyAllocatorTest, ImageBytesAndRoundTrip) {
  // A trailing region of 6 pages where a full region holds 7.
  BuddyAllocator a(6, 7);
  ASSERT_EQ(a.max_order(), 2);
  std::vector<uint8_t> want = {2, 0, 0, 0, 6, 0, 0, 0, 40, 0, 0, 0, 60, 0, 0, 0, 80, 0, 0, 0};
  auto bitmap = [&](uint32_t len, uint64_t word) {
    std::vector<uint8_t> b = {1, 0, 0, 0, 20, 0, 0, 0, static_cast<uint8_t>(len), 0, 0, 0};
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(word >> (8 * i)));
    want.insert(want.end(), b.begin(), b.end());
  };
  bitmap(6, ~uint64_t{0});     // order 0: nothing free on its own
  bitmap(3, ~uint64_t{1 << 2});  // order 1: pages 4-5
  bitmap(1, ~uint64_t{1});     // order 2: pages 0-3
  EXPECT_EQ(a.to_vec(), want);
  auto parsed = BuddyAllocator::from_bytes(want);
  ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
  EXPECT_EQ(*parsed, a);

  BuddyAllocator big(1000, k2Pow20);
  ASSERT_EQ(big.alloc_inner(0), 992u);  // the order-3 block at the end is split
  ASSERT_EQ(big.alloc_inner(3), 120u);  // pages 960-967, from the order-5 block
  round_trip(big);
}

TEST(BuddyAllocatorTest, DoubleFreePanicsAndChangesNothing) {
  BuddyAllocator a(16, 16);
  ASSERT_EQ(a.alloc_inner(1), 0u);  // pages 0-1
  ASSERT_EQ(a.alloc_inner(0), 2u);  // page 3 stays free
  const BuddyAllocator before = a;
  struct Case {
    uint32_t index;
    uint8_t order;
    const char* text;
  };
  const Case cases[] = {
      {3, 0, "Cannot free page run 3/0 is already free"},
      {1, 3, "Cannot free page run 1/3 is already free"},  // pages 8-15
      {12, 0, "Cannot free page run 12/0 lies inside the free page run 1/3"},
      {1, 1, "Cannot free page run 1/1 holds free pages already"},  // pages 2-3
      {0, 2, "Cannot free page run 0/2 holds free pages already"},
      {16, 0, "Cannot free page run 16/0 lies outside the region of 16 pages"},
      {0, 5, "Cannot free page run 0/5 has an order above the maximum 4"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(panic_text([&] { a.free_inner(c.index, c.order); }), c.text);
    EXPECT_EQ(a, before);
  }
  EXPECT_EQ(a.free_inner(0, 1), 1);
  EXPECT_EQ(panic_text([&] { a.free_inner(0, 1); }), "Cannot free page run 0/1 is already free");
  EXPECT_EQ(panic_text([&] { a.free_inner(1, 0); }),
            "Cannot free page run 1/0 lies inside the free page run 0/1");
}

TEST(BuddyAllocatorTest, RecordAllocOfStoredPagesIsChecked) {
  BuddyAllocator a(12, 16);
  ASSERT_TRUE(a.record_alloc(5, 0).ok());
  const BuddyAllocator before = a;
  struct Case {
    uint32_t index;
    uint8_t order;
  };
  for (Case c : {Case{5, 0}, Case{1, 2}, Case{0, 3}, Case{12, 0}, Case{3, 2}, Case{0, 5},
                 Case{0xFFFFF, 0}}) {
    auto r = a.record_alloc(c.index, c.order);
    ASSERT_FALSE(r.ok()) << c.index << "/" << int{c.order};
    EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted));
    EXPECT_EQ(a, before);
  }
  EXPECT_EQ(a.record_alloc(5, 0).error().corrupted_text(),
            "Cannot mark page run 5/0 allocated: it is allocated already");
  EXPECT_EQ(a.record_alloc(12, 0).error().corrupted_text(),
            "Cannot mark page run 12/0 allocated: it lies outside the region of 12 pages");
}

// The image of a small allocator after some traffic; offsets below refer to it.
std::vector<uint8_t> sample_image() {
  BuddyAllocator a(6, 8);  // max order 3
  EXPECT_EQ(a.alloc_inner(0), 4u);
  return a.to_vec();
}

// A buddy allocator image from its parts.
std::vector<uint8_t> assemble(uint8_t max_order, uint32_t len,
                              const std::vector<std::vector<uint8_t>>& bitmaps) {
  std::vector<uint8_t> out(8 + 4 * bitmaps.size(), 0);
  out[0] = max_order;
  store_le32(out.data() + 4, len);
  for (size_t k = 0; k < bitmaps.size(); ++k) {
    out.insert(out.end(), bitmaps[k].begin(), bitmaps[k].end());
    store_le32(out.data() + 8 + 4 * k, static_cast<uint32_t>(out.size()));
  }
  return out;
}

std::vector<uint8_t> patched(std::vector<uint8_t> image, size_t at, std::vector<uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) image[at + i] = bytes[i];
  return image;
}

TEST(BuddyAllocatorTest, MalformedImagesAreCorrupted) {
  const std::vector<uint8_t> good = sample_image();
  ASSERT_TRUE(BuddyAllocator::from_bytes(good).ok());
  for (size_t n = 0; n < good.size(); ++n) {
    auto r = BuddyAllocator::from_bytes(std::span(good).first(n));
    ASSERT_FALSE(r.ok()) << "truncated to " << n;
    EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted));
  }
  // Layout: order 3, len 6, ends at 8..23, order bitmaps of one level each
  // from 24 on (20 bytes: height, end, len, one word; order 3 has no word).
  ASSERT_EQ(good.size(), 24u + 3 * 20 + 12);
  auto word_at = [](uint8_t order) { return 24 + 20 * size_t{order} + 12; };
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  // Pages 0-3 free at order 2 and page 0 free at order 0 as well.
  std::vector<uint8_t> overlap = patched(good, word_at(0), {0xDE});
  // Pages 4-5 free at order 1 while page 5 is free at order 0.
  std::vector<uint8_t> inside = patched(good, word_at(1), {0xFB});
  // Buddies 4 and 5 both free at order 0.
  std::vector<uint8_t> buddies = patched(good, word_at(0), {0xCF});

  struct Case {
    const char* what;
    std::vector<uint8_t> image;
  };
  const Case cases[] = {
      {"trailing byte", longer},
      {"max order above 20", patched(good, 0, {21})},
      {"non-zero padding", patched(good, 2, {1})},
      {"no pages", patched(good, 4, {0})},
      {"more pages than the max order allows", patched(good, 4, {16})},
      {"pages that disagree with the bitmaps", patched(good, 4, {7})},
      {"end offsets out of order", patched(good, 12, {40})},
      {"end offset past the image", patched(good, 20, {105})},
      {"a bitmap that does not add up", patched(good, 24, {2})},
      {"page in two free blocks", overlap},
      {"free block inside a free block", inside},
      {"free buddies", buddies},
  };
  for (const Case& c : cases) {
    auto r = BuddyAllocator::from_bytes(c.image);
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted)) << c.what;
  }
  // An order bitmap too low to grow to a full region.
  BuddyAllocator wide(1, k2Pow20);
  std::vector<std::vector<uint8_t>> bitmaps;
  for (uint8_t k = 0; k <= 20; ++k) bitmaps.push_back(wide.order_bitmap(k).to_vec());
  ASSERT_EQ(assemble(20, 1, bitmaps), wide.to_vec());
  BtreeBitmap low = BtreeBitmap::new_padded(1, 1, 1);
  low.clear(0);
  bitmaps[0] = low.to_vec();
  auto r = BuddyAllocator::from_bytes(assemble(20, 1, bitmaps));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().corrupted_text(),
            "Buddy allocator image has an order 0 bitmap of height 1");
}

// The naive model: which pages are free, and which blocks are allocated.
struct Model {
  std::vector<bool> free;
  std::map<uint32_t, uint8_t> allocated;  // first page -> order

  bool run_free(uint32_t first, uint8_t order) const {
    if (uint64_t{first} + (uint64_t{1} << order) > free.size()) return false;
    for (uint32_t p = first; p < first + (uint32_t{1} << order); ++p) {
      if (!free[p]) return false;
    }
    return true;
  }
  std::optional<uint32_t> lowest_free_run(uint8_t order) const {
    for (uint64_t p = 0; p + (uint64_t{1} << order) <= free.size(); p += uint64_t{1} << order) {
      if (run_free(static_cast<uint32_t>(p), order)) return static_cast<uint32_t>(p);
    }
    return std::nullopt;
  }
  void take(uint32_t first, uint8_t order) {
    for (uint32_t p = first; p < first + (uint32_t{1} << order); ++p) free[p] = false;
    allocated[first] = order;
  }
  void give(uint32_t first, uint8_t order) {
    for (uint32_t p = first; p < first + (uint32_t{1} << order); ++p) free[p] = true;
    allocated.erase(first);
  }
  uint32_t trailing_free() const {
    uint32_t n = 0;
    while (n < free.size() && free[free.size() - 1 - n]) ++n;
    return n;
  }
};

// The lowest policy step by step as first described: take a block of every
// order, keep the lowest, give the others back, split the kept one down.
std::optional<uint32_t> alloc_lowest_by_trying_every_order(BuddyAllocator& a, uint8_t order) {
  std::optional<uint32_t> first = a.alloc_inner(order);
  if (!first) return std::nullopt;
  uint32_t best = *first;
  uint8_t best_order = order;
  for (uint8_t o = order + 1; o <= a.max_order(); ++o) {
    std::optional<uint32_t> u = a.alloc_inner(o);
    if (!u) continue;
    if ((uint64_t{*u} << (o - order)) < (uint64_t{best} << (best_order - order))) {
      a.free_inner(best, best_order);
      best = *u;
      best_order = o;
    } else {
      a.free_inner(*u, o);
    }
  }
  for (; best_order > order; --best_order) {
    best *= 2;
    a.free_inner(best + 1, best_order - 1);  // the upper half
  }
  return best;
}

void run_model(uint64_t seed) {
  SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: RS_TEST_SEED=" + std::to_string(seed) +
               ")");
  std::mt19937_64 rng(seed);
  const uint32_t capacities[] = {1, 2, 7, 64, 100, 1024, 5000};
  uint32_t capacity = capacities[rng() % std::size(capacities)];
  uint32_t len = 1 + static_cast<uint32_t>(rng() % capacity);
  BuddyAllocator a(len, capacity);
  Model m{std::vector<bool>(len, true), {}};
  auto pick_order = [&]() { return static_cast<uint8_t>(rng() % (a.max_order() + 2)); };
  for (int step = 0; step < 1000; ++step) {
    uint32_t op = rng() % 100;
    if (op < 40) {
      uint8_t order = pick_order();
      bool lowest = rng() % 2;
      BuddyAllocator reference = a;
      std::optional<uint32_t> got = lowest ? a.alloc_lowest(order) : a.alloc_inner(order);
      if (lowest) {
        ASSERT_EQ(alloc_lowest_by_trying_every_order(reference, order), got);
        ASSERT_EQ(reference.to_vec(), a.to_vec());
      }
      std::optional<uint32_t> first = got ? std::optional(*got << order) : std::nullopt;
      if (order > a.max_order()) {
        ASSERT_EQ(got, std::nullopt);
      } else if (lowest) {
        ASSERT_EQ(first, m.lowest_free_run(order)) << "alloc_lowest " << int{order};
      } else {
        ASSERT_EQ(got.has_value(), m.lowest_free_run(order).has_value());
        if (got) {
          ASSERT_TRUE(m.run_free(*first, order)) << "page handed out twice";
        }
      }
      if (got) m.take(*first, order);
    } else if (op < 75 && !m.allocated.empty()) {
      auto it = m.allocated.begin();
      std::advance(it, rng() % m.allocated.size());
      auto [first, order] = *it;
      uint8_t merged = a.free_inner(first >> order, order);
      m.give(first, order);
      ASSERT_GE(merged, order);
      ASSERT_TRUE(m.run_free(first >> merged << merged, merged));
      const BtreeBitmap& b = a.order_bitmap(merged);
      ASSERT_FALSE(b.get(first >> merged)) << "merged block not free";
    } else if (op < 82) {
      // Repair: record a free run as allocated, or a taken one and fail.
      uint8_t order = static_cast<uint8_t>(rng() % (a.max_order() + 1));
      uint32_t first = static_cast<uint32_t>(rng() % len) >> order << order;
      auto r = a.record_alloc(first >> order, order);
      ASSERT_EQ(r.ok(), m.run_free(first, order)) << first << "/" << int{order};
      if (r.ok()) m.take(first, order);
    } else if (op < 88) {
      // Shrink by at most the trailing free pages, or grow up to capacity.
      ASSERT_EQ(a.trailing_free_pages(), m.trailing_free());
      uint32_t n;
      if (rng() % 2 && m.trailing_free() > 0) {
        n = len - static_cast<uint32_t>(rng() % (std::min(m.trailing_free(), len - 1) + 1));
      } else {
        n = len + static_cast<uint32_t>(rng() % (capacity - len + 1));
      }
      a.resize(n);
      m.free.resize(n, true);
      len = n;
    } else if (op < 92) {
      a = round_trip(a);
    } else if (op < 96 && !m.allocated.empty()) {
      // A double free of a free page is refused and leaves everything as it was.
      uint32_t p = static_cast<uint32_t>(rng() % len);
      if (m.free[p]) {
        BuddyAllocator before = a;
        EXPECT_NE(panic_text([&] { a.free_inner(p, 0); }), "<no panic>");
        ASSERT_EQ(a, before);
      }
    } else {
      ASSERT_EQ(a.trailing_free_pages(), m.trailing_free());
    }
    ASSERT_EQ(a.len(), len);
    if (len > 256 && step % 16 != 0) continue;
    std::vector<bool> free = free_pages_checked(a);
    ASSERT_EQ(free, m.free) << "step " << step;
    std::optional<uint8_t> largest;
    for (int k = a.max_order(); k >= 0 && !largest; --k) {
      if (m.lowest_free_run(static_cast<uint8_t>(k))) largest = static_cast<uint8_t>(k);
    }
    ASSERT_EQ(a.largest_free_order(), largest);
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(BuddyAllocatorTest, ModelBasedRandomOperations) {
  uint64_t base_seed = storage_test_support::random_seed();
  for (uint64_t run = 0; run < 120; ++run) {
    run_model(base_seed + run);
    if (::testing::Test::HasFailure()) break;
  }
}

}  // namespace
}  // namespace storage

namespace storage {
namespace {

// Damaged images are refused, or read back as an allocator that keeps its
// invariants and never hands a page out twice.
TEST(BuddyAllocatorTest, RandomlyDamagedImages) {
  uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: RS_TEST_SEED=" + std::to_string(seed) +
               ")");
  std::mt19937_64 rng(seed);
  size_t accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    uint32_t capacity = 1 + static_cast<uint32_t>(rng() % 300);
    BuddyAllocator a(1 + static_cast<uint32_t>(rng() % capacity), capacity);
    for (int n = static_cast<int>(rng() % 20); n > 0; --n) (void)a.alloc_inner(rng() % 3);
    std::vector<uint8_t> image = a.to_vec();
    for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
      image[rng() % image.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    }
    auto parsed = BuddyAllocator::from_bytes(image);
    if (!parsed.ok()) {
      ASSERT_TRUE(parsed.error().is(StorageError::Kind::kCorrupted));
      continue;
    }
    ++accepted;
    BuddyAllocator b = *std::move(parsed);
    ASSERT_EQ(b.to_vec(), image);
    std::vector<bool> free = free_pages_checked(b);
    while (std::optional<uint32_t> p = b.alloc_inner(0)) {
      ASSERT_TRUE(free[*p]) << "page " << *p << " was not free";
      free[*p] = false;
    }
    ASSERT_EQ(std::count(free.begin(), free.end(), true), 0);
    if (::testing::Test::HasFailure()) return;
  }
  // A few flips leave a consistent image (a free bit and its parents flipped
  // together, say); most are refused.
  EXPECT_LT(accepted, 3000u);
}

}  // namespace
}  // namespace storage
