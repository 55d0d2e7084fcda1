// Page numbers read from a damaged file: random regions, indexes and orders
// (some beyond any layout, many over runs the store has cached, buffered or lent
// at another order), read between allocations, frees and commits. No read may
// panic or poison a lock, every failure is Corrupted, and the store closes and
// reopens for a new commit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/page_store_helpers.h"
#include "storage/tests/support/random_seed.h"

namespace storage {
namespace {

using test::MemoryBackend;
using test::MemoryFile;
using test::Store;

uint64_t rounds_from_env(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v == nullptr ? fallback : std::strtoull(v, nullptr, 10);
}

Store open_writable(const std::shared_ptr<MemoryFile>& file, test::StoreOptions options) {
  auto r = test::open_store(std::make_unique<MemoryBackend>(file), options);
  if (!r.ok()) panic("open: " + r.error().to_string());
  Store mem = std::move(r).value();
  if (!mem->reset_allocator_state().ok() || !mem->begin_writable().ok()) panic("setup");
  return mem;
}

TEST(PageStoreDamagedNumbers, RandomPageNumbersNeverPanicNorPoison) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (RS_TEST_SEED replays it)");
  std::mt19937_64 rng(seed);
  auto pick = [&](uint64_t n) { return n == 0 ? 0 : rng() % n; };
  const uint64_t rounds = rounds_from_env("RS_DAMAGE_ROUNDS", 20000);

  // Small pages and regions, so that random numbers often land in the file.
  test::StoreOptions options;
  options.page_size = 512;
  options.region_size = uint64_t{256} * 512;
  options.cache_bytes = size_t{1} << 20;
  auto file = std::make_shared<MemoryFile>();
  Store mem = open_writable(file, options);
  PageAllocator allocator(mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_disabled();

  std::vector<PageNumber> live;        // allocated, committed or not
  std::optional<PageMut> held;         // a page lent out across some reads
  std::optional<BtreeHeader> root;     // the last committed root
  uint64_t next_id = 1;
  uint64_t corrupted = 0, read_ok = 0;

  auto random_number = [&]() {
    const uint32_t regions = mem->with_allocators(
        [](const Allocators& a, const DatabaseLayout&) {
          return static_cast<uint32_t>(a.buddies().size());
        });
    // Mostly plausible orders and regions; sometimes anything a u64 can say.
    if (pick(20) == 0) return PageNumber::from_packed(rng());
    const uint8_t order = static_cast<uint8_t>(pick(8) == 0 ? pick(32) : pick(5));
    const uint32_t region = static_cast<uint32_t>(pick(regions + 1));
    const uint32_t index = static_cast<uint32_t>(pick((256u >> std::min<uint8_t>(order, 8)) + 2));
    // Often a live run seen at another order: the same offset, another length.
    if (!live.empty() && pick(3) == 0) {
      const PageNumber near = live[pick(live.size())];
      const uint8_t o = static_cast<uint8_t>(pick(4));
      const uint64_t first_page = uint64_t{near.page_index} << near.page_order;
      return PageNumber(near.region, static_cast<uint32_t>(first_page >> o), o);
    }
    return PageNumber(region, index, order);
  };

  try {
    for (uint64_t round = 0; round < rounds; ++round) {
      const uint64_t op = pick(100);
      if (op < 55) {
        const PageNumber p = random_number();
        const PageReadHint hint =
            pick(2) == 0 ? PageReadHint::kMayBeDirty : PageReadHint::kCommitted;
        auto r = mem->get_page(p, hint);
        if (r.ok()) {
          ++read_ok;
          EXPECT_EQ(r.value().memory().size(), size_t{options.page_size} << p.page_order);
        } else {
          ++corrupted;
          EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted))
              << p.debug() << ": " << r.error().to_string();
        }
      } else if (op < 75) {
        auto page = allocator.allocate(options.page_size << pick(4), tracker);
        ASSERT_TRUE(page.ok()) << page.error().to_string();
        test::fill_page(page.value(), next_id + round);
        live.push_back(page.value().get_page_number());
        if (!held && pick(3) == 0) held.emplace(std::move(page).value());
      } else if (op < 85) {
        held.reset();
        if (!live.empty()) {
          const size_t i = pick(live.size());
          // Only runs no commit reaches are freed; the root stays.
          if (!root || live[i] != root->root) {
            allocator.free(live[i], tracker);
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
          }
        }
      } else if (op < 88) {
        held.reset();
        if (!live.empty()) {
          auto page = mem->get_page(live.back(), PageReadHint::kMayBeDirty);
          ASSERT_TRUE(page.ok()) << page.error().to_string();
          root = test::root_of(page.value(), 1);
        }
        const uint64_t id = next_id++;
        const bool durable = pick(2) == 0;
        auto r = durable ? mem->commit(root, std::nullopt, TransactionId(id), pick(2) == 0,
                                       static_cast<TrimPolicy>(pick(3)))
                         : mem->non_durable_commit(root, std::nullopt, TransactionId(id),
                                                   allocator.take_allocated_since_commit());
        ASSERT_TRUE(r.ok()) << r.error().to_string();
        if (durable) (void)allocator.take_allocated_since_commit();
      } else {
        held.reset();
        auto r = mem->get_page(random_number(), PageReadHint::kMayBeDirty);
        if (!r.ok()) {
          EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted)) << r.error().to_string();
        }
      }
    }
    held.reset();
    // Every lock still works: one more commit, then a clean close.
    ASSERT_TRUE(mem->commit(root, std::nullopt, TransactionId(next_id++), true, TrimPolicy::kHalf)
                    .ok());
    ASSERT_TRUE(mem->close().ok());
  } catch (const Panic& p) {
    FAIL() << "panic: " << p.message();
  }
  EXPECT_GT(corrupted, 0u);
  EXPECT_GT(read_ok, 0u);

  // Reopened, the store takes a new commit.
  mem.reset();
  Store again = open_writable(file, options);
  EXPECT_EQ(again->get_data_root(), root);
  PageAllocator fresh(again, AllocationPolicy::kAny);
  BtreeHeader new_root;
  {
    auto page = fresh.allocate(options.page_size, tracker);
    ASSERT_TRUE(page.ok()) << page.error().to_string();
    test::fill_page(page.value(), 7);
    new_root = test::root_of(page.value(), 7);
  }
  ASSERT_TRUE(again->commit(new_root, std::nullopt, TransactionId(next_id), true,
                            TrimPolicy::kNever)
                  .ok());
  ASSERT_TRUE(again->close().ok());
}

}  // namespace
}  // namespace storage
