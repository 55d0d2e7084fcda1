#include "storage/tests/support/panic_text.h"
#include "storage/src/tree_store/page_store/region.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "storage/src/panic.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/tests/support/random_seed.h"

namespace storage {
namespace {

constexpr uint32_t k2Pow20 = uint32_t{1} << 20;

using test::panic_text;

std::vector<std::optional<uint32_t>> candidates(const RegionTracker& t) {
  std::vector<std::optional<uint32_t>> out;
  for (uint8_t k = 0; k < t.num_orders(); ++k) out.push_back(t.first_candidate(k));
  return out;
}

// Candidates of orders 0..20: `region` up to order `up_to`, none above.
std::vector<std::optional<uint32_t>> promised(int up_to, uint32_t region = 0) {
  std::vector<std::optional<uint32_t>> out(21);
  for (int k = 0; k <= up_to; ++k) out[k] = region;
  return out;
}

TEST(RegionTrackerTest, ImageOfANewFilesTracker) {
  RegionTracker t(1000, 21);
  std::vector<uint8_t> image = t.to_vec();
  ASSERT_EQ(image.size(), 4036u);
  EXPECT_EQ(load_le32(image.data()), 21u);
  for (size_t k = 0; k < 21; ++k) EXPECT_EQ(load_le32(image.data() + 4 + 4 * k), 188u);
  // The first order's bitmap image starts right after the lengths.
  EXPECT_EQ(std::vector<uint8_t>(image.begin() + 88, image.begin() + 88 + 188),
            BtreeBitmap::new_padded(1000, 1000, k2Pow20).to_vec());
  EXPECT_EQ(candidates(t), promised(-1));
}

TEST(RegionTrackerTest, ExhaustedAndAvailableOrders) {
  Allocators a(AllocatorLayout{k2Pow20, 0, 257});
  RegionTracker& t = a.tracker();
  EXPECT_EQ(t.len(), 1000u);
  EXPECT_EQ(a.buddies().size(), 1u);
  EXPECT_EQ(a.buddies()[0].max_order(), 20);
  EXPECT_EQ(candidates(t), promised(20));
  for (uint8_t k = 0; k < 21; ++k) EXPECT_FALSE(t.order_tracker(k).any_unset(1, 1000));

  t.mark_exhausted(3, 0);
  EXPECT_EQ(candidates(t), promised(2));
  t.mark_available(5, 0);
  EXPECT_EQ(candidates(t), promised(5));
  t.mark_exhausted(0, 0);
  EXPECT_EQ(candidates(t), promised(-1));
  EXPECT_EQ(panic_text([&] { t.mark_available(21, 0); }),
            "assertion failed: order < self.order_trackers.len()");
}

TEST(RegionTrackerTest, ImageRoundTripAndGrowth) {
  RegionTracker t(1000, 21);
  t.mark_available(7, 3);
  t.mark_available(2, 999);
  t.resize(1500);
  t.mark_available(20, 1499);
  EXPECT_EQ(t.first_candidate(20), 1499u);
  std::vector<uint8_t> image = t.to_vec();
  auto parsed = RegionTracker::from_bytes(image);
  ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
  EXPECT_EQ(parsed->to_vec(), image);
  EXPECT_EQ(parsed->len(), 1500u);
  EXPECT_EQ(candidates(*parsed), candidates(t));
  for (uint8_t k = 0; k < 21; ++k) {
    for (uint32_t r = 0; r < 1500; ++r) {
      ASSERT_EQ(parsed->order_tracker(k).get(r), t.order_tracker(k).get(r));
    }
  }
}

std::vector<uint8_t> tracker_image(const std::vector<std::vector<uint8_t>>& bitmaps) {
  std::vector<uint8_t> out(4 + 4 * bitmaps.size());
  store_le32(out.data(), static_cast<uint32_t>(bitmaps.size()));
  for (size_t k = 0; k < bitmaps.size(); ++k) {
    store_le32(out.data() + 4 + 4 * k, static_cast<uint32_t>(bitmaps[k].size()));
    out.insert(out.end(), bitmaps[k].begin(), bitmaps[k].end());
  }
  return out;
}

TEST(RegionTrackerTest, MalformedImagesAreCorrupted) {
  RegionTracker small(3, 21);
  small.mark_available(20, 1);
  const std::vector<uint8_t> good = small.to_vec();
  std::vector<std::vector<uint8_t>> parts;
  for (uint8_t k = 0; k < 21; ++k) parts.push_back(small.order_tracker(k).to_vec());
  ASSERT_EQ(tracker_image(parts), good);
  ASSERT_TRUE(RegionTracker::from_bytes(good).ok());
  for (size_t n = 0; n < good.size(); ++n) {
    auto r = RegionTracker::from_bytes(std::span(good).first(n));
    ASSERT_FALSE(r.ok()) << "truncated to " << n;
    EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted));
  }

  auto with = [&](size_t order, std::vector<uint8_t> bitmap) {
    std::vector<std::vector<uint8_t>> p = parts;
    p[order] = std::move(bitmap);
    return tracker_image(p);
  };
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  std::vector<uint8_t> shifted = good;  // order 0 claims 8 bytes of order 1
  store_le32(shifted.data() + 4, load_le32(shifted.data() + 4) + 8);
  store_le32(shifted.data() + 8, load_le32(shifted.data() + 8) - 8);
  std::vector<uint8_t> past_end = good;
  store_le32(past_end.data() + 4 + 4 * 20, 0xFFFFFFF0);
  BtreeBitmap unpadded = BtreeBitmap::new_padded(3, 3, 3);
  std::vector<uint8_t> bad_bits = parts[5];
  bad_bits.back() = 0;  // clears bits beyond the length

  struct Case {
    const char* what;
    std::vector<uint8_t> image;
  };
  const Case cases[] = {
      {"trailing byte", longer},
      {"20 orders", tracker_image(std::vector(parts.begin(), parts.end() - 1))},
      {"22 orders", [&] {
         auto p = parts;
         p.push_back(parts[0]);
         return tracker_image(p);
       }()},
      {"lengths that split the images wrongly", shifted},
      {"length past the end", past_end},
      {"orders of different lengths", with(4, BtreeBitmap::new_padded(4, 4, k2Pow20).to_vec())},
      {"bitmap not padded for 2^20 regions", with(0, unpadded.to_vec())},
      {"bitmap that does not add up", with(5, bad_bits)},
  };
  for (const Case& c : cases) {
    auto r = RegionTracker::from_bytes(c.image);
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted)) << c.what;
  }
}

TEST(RegionTrackerTest, RandomlyDamagedImages) {
  uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: RS_TEST_SEED=" + std::to_string(seed) +
               ")");
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 300; ++i) {
    RegionTracker t(1 + static_cast<uint32_t>(rng() % 200), 21);
    for (int n = static_cast<int>(rng() % 10); n > 0; --n) {
      t.mark_available(static_cast<uint8_t>(rng() % 21), static_cast<uint32_t>(rng() % t.len()));
    }
    std::vector<uint8_t> image = t.to_vec();
    for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
      image[rng() % image.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    }
    auto parsed = RegionTracker::from_bytes(image);
    if (parsed.ok()) {
      ASSERT_EQ(parsed->to_vec(), image);  // only consistent images are taken
    } else {
      ASSERT_TRUE(parsed.error().is(StorageError::Kind::kCorrupted));
    }
  }
}

std::vector<std::vector<uint8_t>> images(const Allocators& a) {
  std::vector<std::vector<uint8_t>> out = {a.tracker().to_vec()};
  for (const BuddyAllocator& b : a.buddies()) out.push_back(b.to_vec());
  return out;
}

TEST(AllocatorsTest, GrowsRegionsAndTheTracker) {
  Allocators a(AllocatorLayout{64, 0, 10});
  ASSERT_EQ(a.buddies().size(), 1u);
  EXPECT_EQ(a.buddies()[0].max_order(), 6);
  EXPECT_EQ(candidates(a.tracker()), promised(6));
  a.tracker().mark_exhausted(4, 0);  // 10 pages hold no block of 16

  a.resize_to(AllocatorLayout{64, 1, 5});
  ASSERT_EQ(a.buddies().size(), 2u);
  EXPECT_EQ(a.buddies()[0].len(), 64u);
  EXPECT_EQ(a.buddies()[0].trailing_free_pages(), 64u);
  EXPECT_EQ(a.buddies()[1].len(), 5u);
  EXPECT_EQ(a.buddies()[1].max_order(), 6);
  EXPECT_EQ(a.tracker().len(), 1000u);
  EXPECT_EQ(candidates(a.tracker()), promised(6));
  // Region 1 is promised up to its largest free block, order 2.
  a.tracker().mark_exhausted(0, 0);
  EXPECT_EQ(candidates(a.tracker()), promised(2, 1));

  a.resize_to(AllocatorLayout{64, 1000, 1});
  ASSERT_EQ(a.buddies().size(), 1001u);
  EXPECT_EQ(a.tracker().len(), 1001u);
  EXPECT_EQ(a.buddies()[1].len(), 64u);
  EXPECT_EQ(a.tracker().first_candidate(6), 1u);
  for (uint32_t r = 2; r < 1000; ++r) a.tracker().mark_exhausted(0, r);
  a.tracker().mark_exhausted(0, 1);
  EXPECT_EQ(candidates(a.tracker()), promised(0, 1000));
}

TEST(AllocatorsTest, ShrinksRegionsAndTheLastRegion) {
  Allocators a(AllocatorLayout{64, 3, 0});
  a.resize_to(AllocatorLayout{64, 2, 0});
  ASSERT_EQ(a.buddies().size(), 2u);
  EXPECT_EQ(a.tracker().len(), 1000u);
  for (uint8_t k = 0; k < 21; ++k) EXPECT_TRUE(a.tracker().order_tracker(k).get(2));
  EXPECT_FALSE(a.tracker().order_tracker(6).get(1));

  // Fewer regions, and the new last region loses pages too.
  Allocators b(AllocatorLayout{64, 2, 10});
  b.resize_to(AllocatorLayout{64, 1, 30});
  ASSERT_EQ(b.buddies().size(), 2u);
  EXPECT_EQ(b.buddies()[1].len(), 30u);
  EXPECT_EQ(b.buddies()[1].trailing_free_pages(), 30u);
  b.resize_to(AllocatorLayout{64, 1, 4});
  EXPECT_EQ(b.buddies()[1].len(), 4u);
  for (uint8_t k = 0; k < 21; ++k) EXPECT_TRUE(b.tracker().order_tracker(k).get(2));

  // Unchanged layout: nothing changes.
  std::vector<std::vector<uint8_t>> before = images(b);
  b.resize_to(AllocatorLayout{64, 1, 4});
  EXPECT_EQ(images(b), before);

  Allocators c(AllocatorLayout{64, 1, 4});
  EXPECT_EQ(panic_text([&] { c.resize_to(AllocatorLayout{32, 2, 0}); }),
            "assertion failed: new_region.num_pages() >= allocator.len()");
}

Result<Allocators, StorageError> reload(const std::vector<std::vector<uint8_t>>& parts,
                                        const AllocatorLayout& layout) {
  TRY_ASSIGN(RegionTracker tracker, RegionTracker::from_bytes(parts[0]));
  std::vector<BuddyAllocator> buddies;
  for (size_t i = 1; i < parts.size(); ++i) {
    TRY_ASSIGN(BuddyAllocator b, BuddyAllocator::from_bytes(parts[i]));
    buddies.push_back(std::move(b));
  }
  return Allocators::from_parts(std::move(tracker), std::move(buddies), layout);
}

TEST(AllocatorsTest, FromPartsChecksThatThePartsFit) {
  const AllocatorLayout layout{64, 2, 10};
  Allocators a(layout);
  ASSERT_TRUE(a.buddies()[1].alloc_inner(3).has_value());
  auto good = reload(images(a), layout);
  ASSERT_TRUE(good.ok()) << good.error().to_string();
  EXPECT_EQ(images(*good), images(a));

  auto parts_of = [](const AllocatorLayout& layout, uint32_t tracker_len) {
    Allocators x(layout);
    std::vector<std::vector<uint8_t>> p = images(x);
    RegionTracker t(tracker_len, 21);
    p[0] = t.to_vec();
    return p;
  };
  std::vector<std::vector<uint8_t>> clear_beyond = images(a);
  {
    RegionTracker t(1000, 21);
    t.mark_available(0, 3);  // region 3 has no allocator
    clear_beyond[0] = t.to_vec();
  }
  std::vector<std::vector<uint8_t>> mixed_orders = images(a);
  mixed_orders[2] = BuddyAllocator(10, 32).to_vec();
  std::vector<std::vector<uint8_t>> short_middle = images(a);
  short_middle[2] = BuddyAllocator(60, 64).to_vec();
  std::vector<std::vector<uint8_t>> long_last = images(a);
  long_last[3] = BuddyAllocator(100, 127).to_vec();
  // The last region's first and last page in use.
  Allocators ends(layout);
  ASSERT_TRUE(ends.buddies()[2].record_alloc(0, 0).ok());
  ASSERT_TRUE(ends.buddies()[2].record_alloc(9, 0).ok());

  struct Case {
    const char* what;
    std::vector<std::vector<uint8_t>> parts;
    AllocatorLayout layout;
  };
  const Case cases[] = {
      {"no regions", {a.tracker().to_vec()}, layout},
      {"tracker shorter than the regions", parts_of(AllocatorLayout{4, 10, 0}, 9),
       AllocatorLayout{4, 10, 0}},
      {"promise for a region without an allocator", clear_beyond, layout},
      {"different max orders", mixed_orders, layout},
      {"a middle region that is not full", short_middle, layout},
      {"a last region longer than a full one", long_last, layout},
      // Images that add up alone but not on the file they are installed on.
      {"max order of smaller full regions", images(a), AllocatorLayout{128, 2, 10}},
      {"full regions of another size, same max order", images(a), AllocatorLayout{100, 2, 10}},
      {"a region in use beyond the file", images(a), AllocatorLayout{64, 1, 0}},
      {"pages in use beyond the last region", images(ends), AllocatorLayout{64, 2, 5}},
      {"a region of the file in use beyond it", images(ends), AllocatorLayout{64, 2, 0}},
  };
  for (const Case& c : cases) {
    auto r = reload(c.parts, c.layout);
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted)) << c.what;
  }
  EXPECT_TRUE(reload(parts_of(AllocatorLayout{4, 10, 0}, 10), AllocatorLayout{4, 10, 0}).ok());

  // Fitted to the layout: trimmed by free trailing pages or whole free
  // regions, or grown.
  const std::vector<AllocatorLayout> fits = {
      {64, 2, 4}, {64, 2, 0}, {64, 3, 0}, {64, 5, 7}, {64, 2, 10}};
  for (const AllocatorLayout& to : fits) {
    Allocators free_last(layout);
    ASSERT_TRUE(free_last.buddies()[0].alloc_inner(2).has_value());
    auto r = reload(images(free_last), to);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    Allocators& fitted = r.value();
    ASSERT_EQ(fitted.buddies().size(), to.num_regions());
    for (uint32_t i = 0; i < to.num_regions(); ++i) {
      EXPECT_EQ(fitted.buddies()[i].len(), to.region_pages(i));
    }
    // Fitted allocators allocate: the last region's whole free run.
    const uint32_t last = to.num_regions() - 1;
    EXPECT_EQ(fitted.buddies()[last].trailing_free_pages(), to.region_pages(last));
  }
}

// The page store's use of the allocators, driven at random against the set of
// pages it has handed out.
class PageStoreModel {
 public:
  PageStoreModel(uint32_t full_pages, uint32_t initial_pages)
      : layout_{full_pages, 0, initial_pages}, allocators_(layout_) {}

  const AllocatorLayout& layout() const { return layout_; }
  Allocators& allocators() { return allocators_; }
  const std::set<std::pair<uint32_t, uint32_t>>& taken() const { return taken_; }
  const std::vector<PageNumber>& runs() const { return runs_; }

  std::optional<PageNumber> try_allocate(uint8_t order, bool lowest) {
    RegionTracker& tracker = allocators_.tracker();
    while (std::optional<uint32_t> r = tracker.first_candidate(order)) {
      BuddyAllocator& buddy = allocators_.buddies().at(*r);
      std::optional<uint32_t> got = lowest ? buddy.alloc_lowest(order) : buddy.alloc_inner(order);
      if (got) return PageNumber(*r, *got, order);
      tracker.mark_exhausted(order, *r);
    }
    return std::nullopt;
  }

  // Allocates, growing the layout when nothing fits; checks the run is new.
  void allocate(uint8_t order, bool lowest) {
    std::optional<PageNumber> page = try_allocate(order, lowest);
    if (!page) {
      ASSERT_FALSE(any_free_run(order)) << "allocation failed with a free run of order "
                                        << int{order};
      grow(order);
      page = try_allocate(order, lowest);
      ASSERT_TRUE(page.has_value()) << "nothing after growth";
    }
    take(*page);
  }

  void free(size_t i) {
    PageNumber p = runs_[i];
    uint8_t merged = allocators_.buddies()[p.region].free_inner(p.page_index, p.page_order);
    allocators_.tracker().mark_available(merged, p.region);
    for (uint32_t q = first_page(p); q < first_page(p) + (uint32_t{1} << p.page_order); ++q) {
      taken_.erase({p.region, q});
    }
    runs_.erase(runs_.begin() + static_cast<ptrdiff_t>(i));
  }

  // Gives back free pages at the end of the file, as a commit's trimming does.
  void trim(bool maximal) {
    uint32_t regions = layout_.num_regions();
    const BuddyAllocator& last = allocators_.buddies().back();
    uint32_t k = last.len();
    uint32_t tf = last.trailing_free_pages();
    uint32_t give = 0;
    if (tf == 0) return;  // nothing to give back
    if (maximal) {
      give = regions >= 2 && tf == k ? tf : std::min(tf, k - 1);
    } else {
      if (tf < k / 2) return;
      give = regions >= 2 && tf == k ? tf : tf / 2;
    }
    if (give == 0) return;
    AllocatorLayout next = layout_;
    if (next.trailing_region_pages > 0) {
      next.trailing_region_pages -= give;
    } else {
      next.full_regions -= 1;
      next.trailing_region_pages = next.full_region_pages - give;
    }
    layout_ = next;
    allocators_.resize_to(layout_);
  }

  void reload() {
    std::vector<uint8_t> tracker_image = allocators_.tracker().to_vec();
    auto tracker = RegionTracker::from_bytes(tracker_image);
    ASSERT_TRUE(tracker.ok()) << tracker.error().to_string();
    std::vector<BuddyAllocator> buddies;
    for (const BuddyAllocator& b : allocators_.buddies()) {
      auto parsed = BuddyAllocator::from_bytes(b.to_vec());
      ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
      buddies.push_back(*std::move(parsed));
    }
    auto rebuilt = Allocators::from_parts(*std::move(tracker), std::move(buddies), layout_);
    ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().to_string();
    allocators_ = *std::move(rebuilt);
  }

  // Free page counts agree with the handed-out pages, and a tracker bit is set
  // only where the region has no free block of that order or larger.
  void check() {
    uint32_t regions = layout_.num_regions();
    ASSERT_EQ(allocators_.buddies().size(), regions);
    for (uint32_t r = 0; r < regions; ++r) {
      const BuddyAllocator& b = allocators_.buddies()[r];
      ASSERT_EQ(b.len(), layout_.region_pages(r));
      uint64_t free = 0;
      for (uint8_t k = 0; k <= b.max_order(); ++k) {
        const BtreeBitmap& bits = b.order_bitmap(k);
        for (uint32_t j = 0; j < bits.len(); ++j) free += bits.get(j) ? 0 : uint64_t{1} << k;
      }
      auto lo = taken_.lower_bound({r, 0});
      auto hi = taken_.lower_bound({r + 1, 0});
      ASSERT_EQ(free + std::distance(lo, hi), b.len()) << "region " << r;
      for (uint8_t k = 0; k <= b.max_order(); ++k) {
        if (allocators_.tracker().order_tracker(k).get(r)) {
          ASSERT_FALSE(free_run_in(r, k)) << "tracker hides order " << int{k} << " in " << r;
        }
      }
    }
    for (uint8_t k = 0; k < 21; ++k) {
      const BtreeBitmap& t = allocators_.tracker().order_tracker(k);
      ASSERT_FALSE(t.any_unset(regions, t.len())) << "promise beyond the last region";
    }
  }

 private:
  static uint32_t first_page(PageNumber p) { return p.page_index << p.page_order; }

  bool free_run_in(uint32_t region, uint8_t order) const {
    uint32_t pages = layout_.region_pages(region);
    uint32_t size = uint32_t{1} << order;
    for (uint32_t p = 0; p + size <= pages; p += size) {
      auto it = taken_.lower_bound({region, p});
      if (it == taken_.end() || *it >= std::pair{region, p + size}) return true;
    }
    return false;
  }
  bool any_free_run(uint8_t order) const {
    if (order > allocators_.buddies()[0].max_order()) return false;
    for (uint32_t r = 0; r < layout_.num_regions(); ++r) {
      if (free_run_in(r, order)) return true;
    }
    return false;
  }

  void take(PageNumber p) {
    ASSERT_LT(p.region, layout_.num_regions());
    ASSERT_LE(uint64_t{first_page(p)} + (uint64_t{1} << p.page_order),
              layout_.region_pages(p.region));
    for (uint32_t q = first_page(p); q < first_page(p) + (uint32_t{1} << p.page_order); ++q) {
      ASSERT_TRUE(taken_.insert({p.region, q}).second)
          << "page " << p.region << "." << q << " handed out twice";
    }
    runs_.push_back(p);
  }

  // File growth: at least twice the request, or whole regions.
  void grow(uint8_t order) {
    uint64_t m = layout_.full_region_pages;
    uint64_t f = layout_.full_regions;
    uint64_t t = layout_.trailing_region_pages;
    uint64_t request = uint64_t{1} << order;
    uint64_t wanted;
    if (f == 0) {
      wanted = std::max(2 * t, t + 2 * request);
    } else if (t == 0) {
      wanted = (f + 1) * m;
    } else {
      wanted = 2 * request >= m - t ? (f + 2) * m : (f + 1) * m;
    }
    AllocatorLayout next{layout_.full_region_pages, 0, 0};
    if (wanted <= m) {
      next.trailing_region_pages = static_cast<uint32_t>(wanted);
    } else {
      next.full_regions = static_cast<uint32_t>(wanted / m);
      next.trailing_region_pages = static_cast<uint32_t>(wanted % m);
    }
    layout_ = next;
    allocators_.resize_to(layout_);
  }

  AllocatorLayout layout_;
  Allocators allocators_;
  std::set<std::pair<uint32_t, uint32_t>> taken_;  // (region, page)
  std::vector<PageNumber> runs_;
};

TEST(AllocatorsTest, ModelBasedPageStoreTraffic) {
  uint64_t base_seed = storage_test_support::random_seed();
  for (uint64_t run = 0; run < 40; ++run) {
    uint64_t seed = base_seed + run;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay: RS_TEST_SEED=" +
                 std::to_string(seed) + ")");
    std::mt19937_64 rng(seed);
    // Full regions are a power of two pages, as the page store makes them.
    const uint32_t full_pages[] = {1, 2, 16, 64, 128};
    uint32_t full = full_pages[rng() % std::size(full_pages)];
    PageStoreModel store(full, 1 + static_cast<uint32_t>(rng() % full));
    uint8_t max_order = store.allocators().buddies()[0].max_order();
    for (int step = 0; step < 1500; ++step) {
      uint32_t op = rng() % 100;
      if (op < 45 || store.runs().empty()) {
        // Mostly small runs, now and then the largest.
        uint8_t order = rng() % 4 == 0 ? static_cast<uint8_t>(rng() % (max_order + 1)) : 0;
        store.allocate(order, rng() % 2 == 0);
      } else if (op < 90) {
        store.free(rng() % store.runs().size());
      } else if (op < 95) {
        store.trim(rng() % 2 == 0);
      } else {
        store.reload();
      }
      if (::testing::Test::HasFailure()) return;
      if (step % 10 == 0) store.check();
      if (::testing::Test::HasFailure()) return;
    }
    store.check();
  }
}

}  // namespace
}  // namespace storage
