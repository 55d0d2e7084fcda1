#include "storage/tests/support/panic_text.h"
#include "storage/src/tree_store/page_store/layout.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "storage/src/panic.h"

namespace storage {
namespace {

constexpr uint32_t kPage = 4096;

using test::panic_text;

TEST(LayoutTest, CalculateSplitsIntoFullAndTrailingRegions) {
  struct Case {
    uint64_t desired;
    uint32_t max_pages, header_pages;
    uint32_t full;
    std::optional<uint32_t> trailing;
  } cases[] = {
      {16 * kPage, 16, 0, 0, 16},           // exactly one region's worth stays trailing
      {16 * kPage + 1, 16, 0, 1, 1},        // one byte more: a full region plus one page
      {32 * kPage, 16, 0, 2, std::nullopt}, // a whole multiple has no trailing region
      {40 * kPage - 1, 16, 3, 2, 8},        // remainder rounds up to whole pages
      {1, 16, 0, 0, 1},
      {1048576 + 4096, 1u << 20, 0, 0, 257},  // a new 4 KiB-page file
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.desired);
    DatabaseLayout l = DatabaseLayout::calculate(c.desired, c.max_pages, c.header_pages, kPage);
    EXPECT_EQ(l.num_full_regions(), c.full);
    EXPECT_EQ(l.full_region_layout(), RegionLayout(c.max_pages, c.header_pages, kPage));
    if (c.trailing) {
      ASSERT_TRUE(l.trailing_region_layout().has_value());
      EXPECT_EQ(*l.trailing_region_layout(), RegionLayout(*c.trailing, c.header_pages, kPage));
    } else {
      EXPECT_FALSE(l.trailing_region_layout().has_value());
    }
    EXPECT_EQ(l.num_regions(), c.full + (c.trailing ? 1 : 0));
  }
  EXPECT_EQ(DatabaseLayout::calculate(1048576 + 4096, 1u << 20, 0, kPage).len(), 258u * kPage);
  EXPECT_EQ(panic_text([] { DatabaseLayout::calculate(100, 0, 0, kPage); }),
            "assertion failed: num_pages > 0");
}

TEST(LayoutTest, RegionArithmeticWithHeaderPages) {
  // 3 full regions of 2 header + 10 data pages, then a trailing region of 4 data pages.
  DatabaseLayout l(3, RegionLayout(10, 2, kPage), RegionLayout(4, 2, kPage));
  const uint64_t region = 12ull * kPage;
  EXPECT_EQ(l.full_region_layout().len(), region);
  EXPECT_EQ(l.full_region_layout().data_section_offset(), 2ull * kPage);
  EXPECT_EQ(l.num_regions(), 4u);
  EXPECT_EQ(l.region_base_address(0), kPage);
  EXPECT_EQ(l.region_base_address(3), kPage + 3 * region);
  EXPECT_EQ(l.region_layout(2), RegionLayout(10, 2, kPage));
  EXPECT_EQ(l.region_layout(3), RegionLayout(4, 2, kPage));
  EXPECT_EQ(l.len(), kPage + 3 * region + 6ull * kPage);
  EXPECT_EQ(panic_text([&] { l.region_layout(4); }),
            "assertion failed: region < self.num_regions()");
  DatabaseLayout no_trailing(2, RegionLayout(10, 2, kPage), std::nullopt);
  EXPECT_EQ(no_trailing.len(), kPage + 2 * region);
  EXPECT_EQ(no_trailing.region_layout(1), RegionLayout(10, 2, kPage));
  EXPECT_EQ(RegionLayout(5, 0, 4096).debug(),
            "RegionLayout { num_pages: 5, header_pages: 0, page_size: 4096 }");
}

TEST(LayoutTest, ReduceLastRegion) {
  const RegionLayout full(10, 1, kPage);
  DatabaseLayout l(2, full, RegionLayout(4, 1, kPage));
  l.reduce_last_region(0);
  EXPECT_EQ(l, DatabaseLayout(2, full, RegionLayout(4, 1, kPage)));
  l.reduce_last_region(3);
  EXPECT_EQ(l, DatabaseLayout(2, full, RegionLayout(1, 1, kPage)));
  l.reduce_last_region(1);  // the trailing region goes when empty
  EXPECT_EQ(l, DatabaseLayout(2, full, std::nullopt));
  l.reduce_last_region(7);  // a full last region becomes a trailing one
  EXPECT_EQ(l, DatabaseLayout(1, full, RegionLayout(3, 1, kPage)));
  DatabaseLayout whole(2, full, std::nullopt);
  whole.reduce_last_region(10);
  EXPECT_EQ(whole, DatabaseLayout(1, full, std::nullopt));
  EXPECT_EQ(panic_text([&] { l.reduce_last_region(4); }),
            "assertion failed: pages <= trailing.num_pages");
}

TEST(LayoutTest, TrailingRegionMustFitTheFullGeometry) {
  EXPECT_THROW(DatabaseLayout(1, RegionLayout(10, 0, kPage), RegionLayout(11, 0, kPage)), Panic);
  EXPECT_THROW(DatabaseLayout(1, RegionLayout(10, 0, kPage), RegionLayout(5, 1, kPage)), Panic);
  EXPECT_THROW(RegionLayout(0, 0, kPage), Panic);
}

}  // namespace
}  // namespace storage
