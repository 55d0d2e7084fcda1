// The flat page-number set against std::set: random inserts, removals and
// lookups over a small key space, so that probe chains cross tombstones,
// reuse them, wrap around the array's end and survive every growth.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "storage/src/tree_store/page_store/flat_page_set.h"
#include "storage/tests/support/random_seed.h"

namespace storage {
namespace {

using Key = std::tuple<uint32_t, uint32_t, uint8_t>;
Key key_of(PageNumber p) { return {p.region, p.page_index, p.page_order}; }

TEST(FlatPageNumberSetTest, AgreesWithStdSet) {
  const uint64_t seed = storage_test_support::random_seed();
  std::printf("FlatPageNumberSetTest seed %llu (RS_TEST_SEED replays it)\n",
              static_cast<unsigned long long>(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 20; ++round) {
    FlatPageNumberSet set;
    std::set<Key> model;
    // Numbers that differ in one field only must stay apart.
    const uint32_t span = 8 + static_cast<uint32_t>(rng() % 3000);
    for (int op = 0; op < 20000; ++op) {
      const PageNumber p(static_cast<uint32_t>(rng() % 3), static_cast<uint32_t>(rng() % span),
                         static_cast<uint8_t>(rng() % 2));
      const int kind = static_cast<int>(rng() % 10);
      if (kind < 5) {
        ASSERT_EQ(set.insert(p), model.insert(key_of(p)).second) << p.debug();
      } else if (kind < 8) {
        ASSERT_EQ(set.erase(p), model.erase(key_of(p)) == 1) << p.debug();
      } else {
        ASSERT_EQ(set.contains(p), model.count(key_of(p)) == 1) << p.debug();
      }
      ASSERT_EQ(set.size(), model.size());
    }
    std::set<Key> listed;
    set.for_each([&](PageNumber p) { EXPECT_TRUE(listed.insert(key_of(p)).second); });
    EXPECT_EQ(listed, model);
  }
  FlatPageNumberSet empty;
  EXPECT_FALSE(empty.contains(PageNumber(0, 0, 0)));
  EXPECT_FALSE(empty.erase(PageNumber(0, 0, 0)));
  EXPECT_TRUE(empty.empty());
}

}  // namespace
}  // namespace storage
