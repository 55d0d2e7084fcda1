// Page handles, allocation with file growth, freeing and trimming.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/tests/support/btree_fakes.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/page_store_helpers.h"
#include "storage/tests/support/panic_text.h"
#include "storage/tests/support/random_seed.h"

namespace storage {
namespace {

using test::MemoryBackend;
using test::MemoryFile;
using test::open_store;
using test::panic_text;
using test::Store;
using test::StoreOptions;

static_assert(NodeAllocator<PageAllocator, std::shared_ptr<PageTracker>>);
static_assert(WritePageHandle<PageMut> && ReadPageHandle<PageImpl>);

constexpr size_t kPage = 4096;
constexpr uint32_t kSmallPage = 512;

template <typename R>
std::string error_text(const R& r) {
  return r.ok() ? "<ok>" : r.error().to_string();
}

// A store over a fresh in-memory database with its allocators loaded.
struct Fixture {
  std::shared_ptr<MemoryFile> file = std::make_shared<MemoryFile>();
  std::shared_ptr<test::Observer> observer = std::make_shared<test::Observer>();
  Store mem;

  explicit Fixture(std::vector<uint8_t> image = {}, StoreOptions options = {}) {
    file = std::make_shared<MemoryFile>(std::move(image));
    auto r = open_store(std::make_unique<test::ObservedBackend>(
                            std::make_unique<MemoryBackend>(file), observer),
                        options);
    if (!r.ok()) panic("open: " + r.error().to_string());
    mem = std::move(r).value();
    if (!mem->reset_allocator_state().ok()) panic("reset");
  }
};

RegionLayout small_region(uint32_t pages) { return RegionLayout(pages, 0, kSmallPage); }

// A file of 512-byte pages, regions of `max_pages` data pages.
std::vector<uint8_t> small_file(uint32_t full, uint32_t trailing, uint32_t max_pages) {
  std::optional<RegionLayout> t;
  if (trailing > 0) t = small_region(trailing);
  return test::file_with_layout(DatabaseLayout(full, small_region(max_pages), t));
}

StoreOptions small_options(uint32_t max_pages) {
  StoreOptions o;
  o.page_size = kSmallPage;
  o.region_size = uint64_t{max_pages} * kSmallPage;
  return o;
}

PageMut allocate_ok(const PageAllocator& allocator, size_t size,
                    const std::shared_ptr<PageTracker>& tracker) {
  auto r = allocator.allocate(size, tracker);
  if (!r.ok()) panic("allocate: " + r.error().to_string());
  return std::move(r).value();
}

TEST(PageAllocatorTest, SizesMapToOrders) {
  Fixture f;
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_recording();
  struct Case {
    size_t size;
    uint8_t order;
  };
  std::set<uint64_t> seen;
  for (const Case& c : std::vector<Case>{{1, 0}, {kPage, 0}, {kPage + 1, 1}, {3 * kPage, 2},
                                         {4 * kPage, 2}, {4 * kPage + 1, 3}}) {
    SCOPED_TRACE(c.size);
    PageMut page = allocate_ok(allocator, c.size, tracker);
    EXPECT_EQ(page.get_page_number().page_order, c.order);
    EXPECT_EQ(page.memory().size(), kPage << c.order);
    EXPECT_TRUE(seen.insert(page.get_page_number().packed()).second);
    EXPECT_TRUE(allocator.uncommitted(page.get_page_number()));
  }
  EXPECT_EQ(tracker->close().value().size(), 6u);
  EXPECT_EQ(page_order_for(0, kPage), 0);
  EXPECT_EQ(page_order_for(uint64_t{kPage} << 20, kPage), 20);
  EXPECT_EQ(panic_text([] { (void)page_order_for((uint64_t{kPage} << 20) + 1, kPage); }).rfind(
                "assertion failed: order < self.order_trackers.len()", 0),
            0u);
}

TEST(PageAllocatorTest, PagesComeBackAsWritten) {
  Fixture f;
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_disabled();
  PageNumber number;
  {
    PageMut page = allocate_ok(allocator, 2 * kPage, tracker);
    test::fill_page(page, 11);
    number = page.get_page_number();
  }
  {
    auto read = allocator.get_page(number, PageReadHint::kMayBeDirty);
    ASSERT_TRUE(read.ok());
    EXPECT_TRUE(test::page_holds(read.value().memory(), 11));
    EXPECT_EQ(read.value().get_page_number(), number);
  }
  {
    auto again = allocator.get_page_mut(number);
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(test::page_holds(again.value().memory(), 11));
    test::fill_page(again.value(), 12);
  }
  PageResolver resolver(f.mem);
  EXPECT_TRUE(test::page_holds(
      resolver.get_page(number, PageReadHint::kMayBeDirty).value().memory(), 12));
}

TEST(PageAllocatorTest, FreeingDecisions) {
  Fixture f;
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_recording();
  const PageNumber committed = allocate_ok(allocator, 1, tracker).get_page_number();
  const PageNumber committed2 = allocate_ok(allocator, 1, tracker).get_page_number();
  PageNumberSet taken = allocator.take_allocated_since_commit();
  EXPECT_EQ(taken, (PageNumberSet{committed, committed2}));
  EXPECT_TRUE(allocator.take_allocated_since_commit().empty());
  EXPECT_FALSE(allocator.uncommitted(committed));

  const PageNumber fresh = allocate_ok(allocator, 1, tracker).get_page_number();
  std::vector<PageNumber> freed;
  // Allocated in this transaction: released at once, the list untouched.
  allocator.conditional_free(fresh, tracker, freed);
  EXPECT_TRUE(freed.empty());
  EXPECT_FALSE(allocator.uncommitted(fresh));
  EXPECT_EQ(allocate_ok(allocator, 1, tracker).get_page_number(), fresh);  // reused

  // Committed: deferred, and still allocated.
  allocator.conditional_free(committed, tracker, freed);
  EXPECT_EQ(freed, std::vector<PageNumber>{committed});
  EXPECT_FALSE(allocator.free_if_uncommitted(committed2, tracker));
  for (int i = 0; i < 20; ++i) {
    const PageNumber p = allocate_ok(allocator, 1, tracker).get_page_number();
    EXPECT_NE(p, committed);
    EXPECT_NE(p, committed2);
  }
  // free releases a committed page anyway (the caller vouches for readers).
  allocator.free(committed2, tracker);
  EXPECT_TRUE(allocator.free_if_uncommitted(fresh, tracker));
  const PageNumberSet recorded = tracker->close().value();
  EXPECT_FALSE(recorded.contains(fresh));
  EXPECT_FALSE(recorded.contains(committed2));
  EXPECT_EQ(recorded.size(), 21u);  // the two committed ones and twenty more, less committed2
}

TEST(PageAllocatorTest, ClonesShareTheUncommittedSetAndRollbackReturnsIt) {
  Fixture f;
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  PageAllocator clone = allocator;
  auto tracker = PageTracker::create_disabled();
  std::set<uint64_t> first;
  for (int i = 0; i < 5; ++i) {
    first.insert(allocate_ok(i % 2 ? clone : allocator, kPage << (i % 3), tracker)
                     .get_page_number()
                     .packed());
  }
  for (uint64_t p : first) EXPECT_TRUE(clone.uncommitted(PageNumber::from_packed(p)));
  allocator.rollback_all();
  EXPECT_TRUE(clone.take_allocated_since_commit().empty());
  std::set<uint64_t> second;
  for (int i = 0; i < 5; ++i) {
    second.insert(allocate_ok(clone, kPage << (i % 3), tracker).get_page_number().packed());
  }
  EXPECT_EQ(first, second);
}

// A freed run leaves neither a cached copy nor a buffered write behind: the
// pages it covered may come back as runs of another order.
TEST(PageAllocatorTest, FreedRunsLeaveNoStaleCopies) {
  Fixture f;
  PageAllocator allocator(f.mem, AllocationPolicy::kLowest);
  auto tracker = PageTracker::create_disabled();
  constexpr int kPairs = 8;
  // Buffered, then freed: pairs of order-0 pages merge into order-1 runs.
  std::vector<PageNumber> singles;
  for (int i = 0; i < 2 * kPairs; ++i) {
    PageMut page = allocate_ok(allocator, 1, tracker);
    test::fill_page(page, 1);
    singles.push_back(page.get_page_number());
  }
  for (PageNumber p : singles) ASSERT_TRUE(allocator.free_if_uncommitted(p, tracker));
  std::vector<PageNumber> doubles;
  for (int i = 0; i < kPairs; ++i) {
    PageMut page = allocate_ok(allocator, 2 * kPage, tracker);
    test::fill_page(page, 2);
    doubles.push_back(page.get_page_number());
  }
  ASSERT_TRUE(f.mem->commit(std::nullopt, std::nullopt, TransactionId(1), true,
                            TrimPolicy::kNever)
                  .ok());
  (void)allocator.take_allocated_since_commit();
  // Read-cached after the commit, then freed: the same pages come back as
  // order-0 runs.
  for (PageNumber p : doubles) {
    ASSERT_TRUE(allocator.get_page(p, PageReadHint::kCommitted).ok());
    allocator.free(p, tracker);
  }
  for (int i = 0; i < 2 * kPairs; ++i) {
    PageMut page = allocate_ok(allocator, 1, tracker);
    EXPECT_EQ(page.memory().size(), kPage);
    test::fill_page(page, 3);
  }
  ASSERT_TRUE(f.mem->commit(std::nullopt, std::nullopt, TransactionId(2), true,
                            TrimPolicy::kNever)
                  .ok());
  // On disk, every page holds what was written last.
  auto fresh = open_store(
      std::make_unique<MemoryBackend>(std::make_shared<MemoryFile>(f.file->snapshot())));
  ASSERT_TRUE(fresh.ok());
  for (PageNumber p : singles) {
    auto page = fresh.value()->get_page(p, PageReadHint::kCommitted);
    ASSERT_TRUE(page.ok());
    EXPECT_TRUE(test::page_holds(page.value().memory(), 3));
  }
}

TEST(PageAllocatorTest, HandingOutAnUncommittedPageTwicePanics) {
  Fixture f;
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_disabled();
  const PageNumber page = allocate_ok(allocator, 1, tracker).get_page_number();
  // Freed behind the transaction's back: the allocator hands it out again.
  f.mem->free_helper(page, *tracker);
  EXPECT_EQ(panic_text([&] { (void)allocator.allocate(1, tracker); }),
            "assertion failed: self.shard(page).lock().unwrap().insert(page)");
}

// A run whose bytes someone holds is in use, whatever the allocators say
// (damage freed it): it is not lent for writing, neither as a fresh
// allocation nor as the transaction's own page, and the holder's bytes stay.
TEST(PageAllocatorTest, RunsHeldElsewhereAreNotLentForWriting) {
  Fixture f;
  PageAllocator allocator(f.mem, AllocationPolicy::kLowest);
  auto tracker = PageTracker::create_disabled();
  PageNumber page;
  {
    PageMut written = allocate_ok(allocator, 1, tracker);
    test::fill_page(written, 5);
    page = written.get_page_number();
  }
  ASSERT_TRUE(
      f.mem->commit(std::nullopt, std::nullopt, TransactionId(1), true, TrimPolicy::kNever).ok());
  (void)allocator.take_allocated_since_commit();
  // Freed while a tree still reaches it, and read through that tree again.
  f.mem->free_helper(page, *tracker);
  auto read = allocator.get_page(page, PageReadHint::kMayBeDirty);
  ASSERT_TRUE(read.ok());
  std::optional<PageImpl> held = std::move(read).value();
  auto refused = [](PageNumber p) {
    return "DB corrupted: Page " + p.debug() + " is lent for writing while it is in use elsewhere";
  };
  EXPECT_EQ(error_text(allocator.allocate(1, tracker)), refused(page));
  EXPECT_TRUE(test::page_holds(held->memory(), 5));
  // The run stays allocated: the next allocation takes another one.
  EXPECT_NE(allocate_ok(allocator, 1, tracker).get_page_number(), page);

  // The transaction's own page, read by a holder that a damaged page number led
  // there.
  PageNumber own;
  {
    PageMut written = allocate_ok(allocator, 1, tracker);
    test::fill_page(written, 6);
    own = written.get_page_number();
  }
  read = allocator.get_page(own, PageReadHint::kMayBeDirty);
  ASSERT_TRUE(read.ok());
  std::optional<PageImpl> reader = std::move(read).value();
  EXPECT_EQ(error_text(allocator.get_page_mut(own)), refused(own));
  EXPECT_TRUE(test::page_holds(reader->memory(), 6));
  held.reset();
  reader.reset();
  // Once nobody else holds it, it is the transaction's to write again.
  auto lent = allocator.get_page_mut(own);
  ASSERT_TRUE(lent.ok()) << lent.error().to_string();
  EXPECT_TRUE(test::page_holds(lent.value().memory(), 6));
}

TEST(PageAllocatorTest, LowestPolicyTakesTheLowestAddress) {
  Fixture f;
  PageAllocator any(f.mem, AllocationPolicy::kAny);
  PageAllocator lowest(f.mem, AllocationPolicy::kLowest);
  auto tracker = PageTracker::create_disabled();
  // The odd page at the end of the 257-page region would go first.
  ASSERT_TRUE(f.mem->mark_page_allocated(PageNumber(0, 256, 0)).ok());
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(allocate_ok(any, 1, tracker).get_page_number(), PageNumber(0, i, 0));
  }
  (void)any.take_allocated_since_commit();
  for (uint32_t i : {5u, 0u, 1u}) any.free(PageNumber(0, i, 0), tracker);
  // Pages 0 and 1 merged into one block of order 1, which lies below page 5.
  EXPECT_EQ(allocate_ok(any, 1, tracker).get_page_number(), PageNumber(0, 5, 0));
  any.free(PageNumber(0, 5, 0), tracker);
  EXPECT_EQ(allocate_ok(lowest, 1, tracker).get_page_number(), PageNumber(0, 0, 0));
}

// The file grows by the formula, and the new length is synced before any page
// in it is handed out.
TEST(PageStoreGrowth, GrowsByTheFormula) {
  struct Case {
    uint32_t full;
    uint32_t trailing;
    uint8_t order;
    uint64_t data_pages_after;
  };
  constexpr uint32_t kM = 64;
  const std::vector<Case> cases = {
      {0, 10, 0, 20},   // max(2T, T + 2)
      {0, 10, 3, 26},   // T + 2 * 8
      {0, 40, 0, 80},   // spills into a full region
      {1, 0, 0, 128},   // one more full region
      {1, 63, 1, 192},  // two more: the request does not fit twice into one page
      {1, 10, 0, 128},  // the trailing region fills up
      {2, 60, 2, 256},
      {2, 30, 2, 192},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.full) + " full, " + std::to_string(c.trailing) +
                 " trailing, order " + std::to_string(c.order));
    Fixture f(small_file(c.full, c.trailing, kM), small_options(kM));
    for (uint32_t r = 0; r < c.full; ++r) test::mark_range(*f.mem, r, 0, kM);
    if (c.trailing > 0) test::mark_range(*f.mem, c.full, 0, c.trailing);
    PageAllocator allocator(f.mem, AllocationPolicy::kAny);
    auto tracker = PageTracker::create_disabled();
    f.observer->clear();
    const uint64_t new_len = kSmallPage + c.data_pages_after * kSmallPage;
    PageMut page = allocate_ok(allocator, kSmallPage << c.order, tracker);
    EXPECT_EQ(f.observer->trace(),
              (std::vector<std::string>{"L " + std::to_string(new_len), "S"}));
    EXPECT_EQ(f.file->size(), new_len);
    // Handed out from the new space.
    const PageNumber n = page.get_page_number();
    EXPECT_GE(uint64_t{n.region} * kM + (uint64_t{n.page_index} << c.order),
              uint64_t{c.full} * kM + c.trailing);
  }
}

TEST(PageStoreGrowth, NewFileGrowsToTwiceItsPages) {
  Fixture f;
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_disabled();
  for (int i = 0; i < 257; ++i) (void)allocate_ok(allocator, 1, tracker);
  EXPECT_EQ(f.file->size(), 258 * kPage);
  PageMut page = allocate_ok(allocator, 1, tracker);
  EXPECT_EQ(page.get_page_number(), PageNumber(0, 257, 0));
  EXPECT_EQ(f.file->size(), (1 + 514) * kPage);
}

TEST(PageStoreGrowth, FailedResizeOrSyncHandsOutNothing) {
  for (test::BackendOp op : {test::BackendOp::kSetLen, test::BackendOp::kSync}) {
    SCOPED_TRACE(test::backend_op_name(op));
    auto file = std::make_shared<MemoryFile>(small_file(0, 4, 64));
    auto plan = std::make_shared<test::FaultPlan>();
    auto opened = open_store(std::make_unique<test::FaultInjectingBackend>(
                                 std::make_unique<MemoryBackend>(file), plan),
                             small_options(64));
    ASSERT_TRUE(opened.ok());
    Store mem = std::move(opened).value();
    ASSERT_TRUE(mem->reset_allocator_state().ok());
    test::mark_range(*mem, 0, 0, 4);
    PageAllocator allocator(mem, AllocationPolicy::kAny);
    auto tracker = PageTracker::create_recording();
    plan->fail_nth(op, plan->calls(op) + 1, ENOSPC);
    EXPECT_EQ(error_text(allocator.allocate(1, tracker)),
              "I/O error: No space left on device (os error 28)");
    EXPECT_TRUE(tracker->is_empty());
    EXPECT_TRUE(allocator.take_allocated_since_commit().empty());
    EXPECT_EQ(error_text(allocator.allocate(1, tracker)),
              "Previous I/O error occurred. Please close and re-open the database.");
  }
}

TEST(PageStoreTrim, PoliciesGiveBackTrailingFreePages) {
  struct Case {
    const char* name;
    uint32_t full;
    uint32_t trailing;
    // Allocated pages at the start of each region; the rest is free.
    std::vector<uint32_t> used;
    TrimPolicy policy;
    uint64_t data_pages_after;
  };
  constexpr uint32_t kM = 1024;
  const std::vector<Case> cases = {
      {"600 of 1000 free, half", 0, 1000, {400}, TrimPolicy::kHalf, 700},
      {"600 of 1000 free, maximal", 0, 1000, {400}, TrimPolicy::kMaximal, 400},
      {"600 of 1000 free, never", 0, 1000, {400}, TrimPolicy::kNever, 1000},
      {"400 of 1000 free, half", 0, 1000, {600}, TrimPolicy::kHalf, 1000},
      {"400 of 1000 free, maximal", 0, 1000, {600}, TrimPolicy::kMaximal, 600},
      {"only region all free, half", 0, 1000, {0}, TrimPolicy::kHalf, 500},
      {"only region all free, maximal", 0, 1000, {0}, TrimPolicy::kMaximal, 1},
      {"free trailing region, half", 1, 500, {kM, 0}, TrimPolicy::kHalf, kM},
      {"free trailing region, maximal", 1, 500, {kM, 0}, TrimPolicy::kMaximal, kM},
      {"free full last region, half", 2, 0, {kM, 0}, TrimPolicy::kHalf, kM},
      {"free full last region, maximal", 2, 0, {kM, 0}, TrimPolicy::kMaximal, kM},
      {"full last region, 600 free, half", 2, 0, {kM, 424}, TrimPolicy::kHalf, kM + 724},
      {"full last region, 600 free, maximal", 2, 0, {kM, 424}, TrimPolicy::kMaximal, kM + 424},
      {"nothing free", 1, 8, {kM, 8}, TrimPolicy::kMaximal, kM + 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(small_file(c.full, c.trailing, kM), small_options(kM));
    for (uint32_t r = 0; r < c.used.size(); ++r) {
      if (c.used[r] > 0) test::mark_range(*f.mem, r, 0, c.used[r]);
    }
    ASSERT_TRUE(
        f.mem->commit(std::nullopt, std::nullopt, TransactionId(1), true, c.policy).ok());
    const uint64_t len = kSmallPage + c.data_pages_after * kSmallPage;
    EXPECT_EQ(f.file->size(), len);
    // The header on disk describes the new length: a read-only open needs no repair.
    StoreOptions ro = small_options(kM);
    ro.read_only = true;
    auto reopened = open_store(std::make_unique<MemoryBackend>(
                                   std::make_shared<MemoryFile>(f.file->snapshot())),
                               ro);
    EXPECT_TRUE(reopened.ok()) << error_text(reopened);
    // The trimmed store keeps allocating.
    PageAllocator allocator(f.mem, AllocationPolicy::kAny);
    auto tracker = PageTracker::create_disabled();
    EXPECT_TRUE(allocator.allocate(kSmallPage, tracker).ok());
  }
}

// Page numbers come from the file: they are checked before any I/O, and a bad
// one is Corrupted without poisoning the store.
TEST(PageStorePageNumbers, OutOfLayoutNumbersAreCorrupted) {
  constexpr uint32_t kM = 64;
  Fixture f(small_file(1, 10, kM), small_options(kM));
  struct Case {
    PageNumber page;
    bool valid;
  };
  const std::vector<Case> cases = {
      {PageNumber(0, 63, 0), true},  {PageNumber(0, 64, 0), false},
      {PageNumber(0, 31, 1), true},  {PageNumber(0, 32, 1), false},
      {PageNumber(0, 0, 6), true},   {PageNumber(0, 0, 7), false},
      {PageNumber(1, 9, 0), true},   {PageNumber(1, 10, 0), false},
      {PageNumber(1, 4, 1), true},   {PageNumber(1, 5, 1), false},
      {PageNumber(2, 0, 0), false},  {PageNumber::from_packed(uint64_t{21} << 59), false},
      {PageNumber::from_packed(~uint64_t{0}), false},
  };
  PageResolver resolver(f.mem);
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page.debug());
    {
      auto read = resolver.get_page(c.page, PageReadHint::kCommitted);
      EXPECT_EQ(read.ok(), c.valid) << error_text(read);
      if (!c.valid) {
        EXPECT_TRUE(read.error().is(StorageError::Kind::kCorrupted));
      }
    }
    // Lent once the read page is dropped: nobody else may hold a lent page.
    auto lent = allocator.get_page_mut(c.page);
    EXPECT_EQ(lent.ok(), c.valid) << error_text(lent);
    if (!c.valid) {
      EXPECT_TRUE(lent.error().is(StorageError::Kind::kCorrupted));
    }
  }
  EXPECT_EQ(error_text(resolver.get_page(PageNumber(0, 0, 21), PageReadHint::kCommitted)),
            "DB corrupted: Page r0.0/21 has order 21, above the maximum 20");
  EXPECT_EQ(error_text(resolver.get_page(PageNumber(2, 0, 0), PageReadHint::kCommitted)),
            "DB corrupted: Page r2.0/0 lies outside the file's region layout of 38400 bytes");
  // Nothing was poisoned.
  EXPECT_TRUE(
      f.mem->commit(std::nullopt, std::nullopt, TransactionId(1), true, TrimPolicy::kNever).ok());
}

TEST(PageStorePageNumbers, MarkingCheckedPages) {
  constexpr uint32_t kM = 64;
  Fixture f(small_file(1, 10, kM), small_options(kM));
  struct Case {
    PageNumber page;
    const char* error;  // null: marked
  };
  const std::vector<Case> cases = {
      {PageNumber(0, 0, 6), nullptr},
      {PageNumber(1, 2, 1), nullptr},
      {PageNumber(1, 2, 1), "it is allocated already"},
      {PageNumber(0, 0, 7), "its order is above 6"},
      {PageNumber(2, 0, 0), "the file has 2 regions"},
      {PageNumber(1, 10, 0), "outside the region of 10 pages"},
      {PageNumber::from_packed(uint64_t{31} << 59), "its order is above 6"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page.debug());
    auto r = f.mem->mark_page_allocated(c.page);
    if (c.error == nullptr) {
      EXPECT_TRUE(r.ok()) << error_text(r);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_TRUE(r.error().is(StorageError::Kind::kCorrupted));
      EXPECT_NE(r.error().to_string().find(c.error), std::string::npos) << error_text(r);
    }
  }
  EXPECT_TRUE(f.mem->allocator_state_loaded());
}

TEST(PageStoreAllocators, InvalidatedAllocatorsAreNeededAgain) {
  Fixture f;
  EXPECT_TRUE(f.mem->allocator_state_loaded());
  f.mem->invalidate_allocator_state();
  EXPECT_FALSE(f.mem->allocator_state_loaded());
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_disabled();
  EXPECT_EQ(panic_text([&] { (void)allocator.allocate(1, tracker); }),
            "allocators have not been loaded yet");
}

TEST(PageStoreAllocators, InstalledAllocatorsFollowTheLayout) {
  Fixture f;
  ASSERT_TRUE(f.mem->begin_writable().ok());
  // Images as a saved state would hold them, taken under the state lock.
  auto images = f.mem->with_allocators([](const Allocators& a, const DatabaseLayout& layout) {
    EXPECT_EQ(layout.num_regions(), a.buddies().size());
    std::vector<std::vector<uint8_t>> out{a.tracker().to_vec()};
    for (const auto& b : a.buddies()) out.push_back(b.to_vec());
    return out;
  });
  ASSERT_EQ(images.size(), 2u);
  auto tracker = RegionTracker::from_bytes(images[0]);
  auto buddy = BuddyAllocator::from_bytes(images[1]);
  ASSERT_TRUE(tracker.ok() && buddy.ok());
  std::vector<BuddyAllocator> buddies;
  buddies.push_back(std::move(buddy).value());
  ASSERT_TRUE(f.mem->install_allocators(std::move(tracker).value(), std::move(buddies)).ok());
  ASSERT_TRUE(f.mem->begin_writable().ok());  // the recovery flag was cleared
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  auto page_tracker = PageTracker::create_disabled();
  EXPECT_EQ(allocate_ok(allocator, 1, page_tracker).get_page_number(), PageNumber(0, 256, 0));
}

// A saved allocator state comes from the file: images that add up alone but do
// not fit the file they are installed on are Corrupted and change nothing, and
// images that fit can be grown and allocated from without a panic.
TEST(PageStoreAllocators, InstalledImagesMustFitTheFile) {
  constexpr uint32_t kM = 64;
  using Images = std::pair<RegionTracker, std::vector<BuddyAllocator>>;
  auto images_of = [](const AllocatorLayout& layout, uint32_t used_pages_per_region) {
    Allocators a(layout);
    for (uint32_t r = 0; r < a.buddies().size(); ++r) {
      for (uint32_t p = 0; p < std::min(used_pages_per_region, a.buddies()[r].len()); ++p) {
        EXPECT_TRUE(a.buddies()[r].record_alloc(p, 0).ok());
      }
    }
    std::vector<BuddyAllocator> buddies;
    for (const auto& b : a.buddies()) buddies.push_back(BuddyAllocator::from_bytes(b.to_vec()).value());
    return Images(RegionTracker::from_bytes(a.tracker().to_vec()).value(), std::move(buddies));
  };
  struct Case {
    const char* what;
    Images images;
  };
  // The file: one full region of 64 pages and a trailing one of 10.
  const AllocatorLayout file{kM, 1, 10};
  std::vector<Case> cases;
  cases.push_back({"more regions, all in use", images_of({kM, 3, 0}, 8)});
  cases.push_back({"a longer last region in use to its end", images_of({kM, 1, 40}, 40)});
  cases.push_back({"regions of 32 pages", images_of({32, 3, 10}, 1)});
  cases.push_back({"regions of 128 pages", images_of({128, 1, 10}, 1)});
  {
    Images short_tracker = images_of(file, 1);
    short_tracker.first = RegionTracker(1, RegionTracker::kOrders);
    cases.push_back({"a tracker of one region", std::move(short_tracker)});
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f(small_file(file.full_regions, file.trailing_region_pages, kM), small_options(kM));
    f.mem->invalidate_allocator_state();
    std::string got;
    try {
      got = error_text(f.mem->install_allocators(std::move(c.images.first),
                                                 std::move(c.images.second)));
    } catch (const Panic& p) {
      got = std::string("panic: ") + p.message();
    }
    EXPECT_EQ(got.rfind("DB corrupted: ", 0), 0u) << got;
    EXPECT_FALSE(f.mem->allocator_state_loaded());
  }

  // Images that fit (after dropping free trailing pages) are fitted, and the
  // store allocates from them, growing the file, and closes clean.
  Fixture f(small_file(file.full_regions, file.trailing_region_pages, kM), small_options(kM));
  f.mem->invalidate_allocator_state();
  Images fitting = images_of({kM, 1, 30}, 10);
  ASSERT_EQ(error_text(f.mem->install_allocators(std::move(fitting.first),
                                                 std::move(fitting.second))),
            "<ok>");
  ASSERT_TRUE(f.mem->begin_writable().ok());
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_disabled();
  std::set<std::pair<uint32_t, uint32_t>> seen;
  for (int i = 0; i < 200; ++i) {
    PageMut page = allocate_ok(allocator, kSmallPage, tracker);
    const PageNumber n = page.get_page_number();
    EXPECT_TRUE(seen.emplace(n.region, n.page_index).second) << n.debug();
    // The first 10 pages of each region were in use in the images.
    EXPECT_GE(n.page_index, n.region < 2 ? 10u : 0u) << n.debug();
  }
  EXPECT_TRUE(f.mem->close().ok());
}

// Several writers' clones and a reader at once: no run is handed out twice,
// and every page reads back as written.
TEST(PageStoreConcurrent, AllocateFreeAndReadFromManyThreads) {
  Fixture f;
  PageAllocator allocator(f.mem, AllocationPolicy::kAny);
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mutex mu;
  std::map<uint64_t, uint64_t> live;  // first page of the run's data area → run packed form
  bool overlap = false;
  auto claim = [&](PageNumber p) {
    std::lock_guard<std::mutex> lock(mu);
    const uint64_t start = (uint64_t{p.region} << 32) + (uint64_t{p.page_index} << p.page_order);
    const uint64_t end = start + (uint64_t{1} << p.page_order);
    auto next = live.lower_bound(start);
    if (next != live.end() && next->first < end) overlap = true;
    if (next != live.begin()) {
      const PageNumber prev = PageNumber::from_packed(std::prev(next)->second);
      if (std::prev(next)->first + (uint64_t{1} << prev.page_order) > start) overlap = true;
    }
    live[start] = p.packed();
  };
  auto release = [&](PageNumber p) {
    std::lock_guard<std::mutex> lock(mu);
    live.erase((uint64_t{p.region} << 32) + (uint64_t{p.page_index} << p.page_order));
  };
  std::vector<std::thread> threads;
  std::atomic<int> bad_reads{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t, clone = allocator] {
      std::mt19937_64 rng(seed + t);
      auto tracker = PageTracker::create_disabled();
      std::vector<std::pair<PageNumber, uint64_t>> mine;
      for (int i = 0; i < 150; ++i) {
        const uint64_t tag = (uint64_t{static_cast<uint32_t>(t)} << 32) | i;
        PageNumber number;
        {
          PageMut page = allocate_ok(clone, kPage << (rng() % 3), tracker);
          number = page.get_page_number();
          claim(number);
          test::fill_page(page, tag);
        }
        mine.emplace_back(number, tag);
        if (rng() % 3 == 0) {
          const size_t victim = rng() % mine.size();
          const auto [page, victim_tag] = mine[victim];
          auto read = clone.get_page(page, PageReadHint::kMayBeDirty);
          if (!read.ok() || !test::page_holds(read.value().memory(), victim_tag)) ++bad_reads;
          release(page);
          if (!clone.free_if_uncommitted(page, tracker)) ++bad_reads;
          mine.erase(mine.begin() + static_cast<ptrdiff_t>(victim));
        }
      }
      for (const auto& [page, tag] : mine) {
        auto read = clone.get_page(page, PageReadHint::kMayBeDirty);
        if (!read.ok() || !test::page_holds(read.value().memory(), tag)) ++bad_reads;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(overlap);
  EXPECT_EQ(bad_reads.load(), 0);
  EXPECT_EQ(allocator.take_allocated_since_commit().size(), live.size());
}

}  // namespace
}  // namespace storage
