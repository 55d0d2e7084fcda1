// Durable and non-durable commits and their bookkeeping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "storage/src/tree_store/page_store/header.h"
#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/tests/support/btree_fakes.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/page_store_helpers.h"

namespace storage {
namespace {

using test::BackendOp;
using test::MemoryBackend;
using test::MemoryFile;
using test::open_store;
using test::Store;

constexpr size_t kPage = 4096;
constexpr const char* kPreviousIo =
    "Previous I/O error occurred. Please close and re-open the database.";

template <typename R>
std::string error_text(const R& r) {
  return r.ok() ? "<ok>" : r.error().to_string();
}

std::vector<uint8_t> header_bytes(const MemoryFile& file) {
  auto all = file.snapshot();
  return {all.begin(), all.begin() + kDbHeaderSize};
}

// A writable store in use (recovery bit set, allocators loaded) over an
// in-memory file, optionally behind a fault plan, with a traced backend.
struct Writable {
  std::shared_ptr<MemoryFile> file = std::make_shared<MemoryFile>();
  std::shared_ptr<test::FaultPlan> plan = std::make_shared<test::FaultPlan>();
  std::shared_ptr<test::Observer> observer = std::make_shared<test::Observer>();
  Store mem;
  std::unique_ptr<PageAllocator> allocator;
  std::shared_ptr<PageTracker> tracker = PageTracker::create_disabled();

  Writable() { open(); }

  void open() {
    auto r = open_store(std::make_unique<test::ObservedBackend>(
        std::make_unique<test::FaultInjectingBackend>(std::make_unique<MemoryBackend>(file),
                                                      plan),
        observer));
    if (!r.ok()) panic(r.error().to_string());
    mem = std::move(r).value();
    if (!mem->begin_writable().ok() || !mem->reset_allocator_state().ok()) panic("setup");
    allocator = std::make_unique<PageAllocator>(mem, AllocationPolicy::kAny);
  }

  // A new page holding `seed`'s pattern, and a root naming it with length `seed`.
  BtreeHeader new_root(uint64_t seed, size_t size = kPage) {
    auto page = allocator->allocate(size, tracker);
    if (!page.ok()) panic(page.error().to_string());
    test::fill_page(page.value(), seed);
    return test::root_of(page.value(), seed);
  }
};

// The trace entry of writing back an order-0 page of region 0.
std::string write_of(PageNumber page) {
  return "W " + std::to_string(kPage + uint64_t{page.page_index} * kPage) + " 4096";
}

Store reopen(const MemoryFile& file) {
  auto r = open_store(
      std::make_unique<MemoryBackend>(std::make_shared<MemoryFile>(file.snapshot())));
  if (!r.ok()) panic(r.error().to_string());
  return std::move(r).value();
}

TEST(PageStoreCommit, TwoPhaseWritesTheHeaderTwiceWithASyncBetween) {
  Writable w;
  const BtreeHeader data = w.new_root(1);
  const BtreeHeader system = w.new_root(2);
  w.observer->clear();
  ASSERT_TRUE(w.mem->commit(data, system, TransactionId(1), true, TrimPolicy::kNever).ok());
  std::vector<std::string> trace = w.observer->trace();
  ASSERT_EQ(trace.size(), 6u);
  std::vector<std::string> first(trace.begin(), trace.begin() + 3);
  std::sort(first.begin(), first.end());
  std::vector<std::string> expected = {"W 0 320", write_of(data.root), write_of(system.root)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(first, expected);
  EXPECT_EQ(std::vector<std::string>(trace.begin() + 3, trace.end()),
            (std::vector<std::string>{"S", "W 0 320", "S"}));

  // Slot 1 was the secondary; it is now the primary, with the two-phase bit.
  EXPECT_EQ(header_bytes(*w.file)[kFlagsOffset], 0b111);
  EXPECT_EQ(w.mem->get_data_root(), data);
  EXPECT_EQ(w.mem->get_system_root(), system);
  EXPECT_EQ(w.mem->get_last_durable_transaction_id().value(), TransactionId(1));
  EXPECT_TRUE(w.mem->used_two_phase_commit());

  Store again = reopen(*w.file);
  EXPECT_EQ(again->get_data_root(), data);
  EXPECT_EQ(again->get_system_root(), system);
  EXPECT_TRUE(test::root_verifies(*again, data));
  EXPECT_TRUE(test::root_verifies(*again, system));
}

TEST(PageStoreCommit, OnePhaseWritesOneHeaderAndSyncsOnce) {
  Writable w;
  const BtreeHeader data = w.new_root(1);
  w.observer->clear();
  ASSERT_TRUE(w.mem->commit(data, std::nullopt, TransactionId(1), false, TrimPolicy::kNever).ok());
  std::vector<std::string> trace = w.observer->trace();
  std::sort(trace.begin(), trace.end() - 1);
  EXPECT_EQ(trace, (std::vector<std::string>{"W 0 320", write_of(data.root), "S"}));
  EXPECT_EQ(header_bytes(*w.file)[kFlagsOffset], 0b011);  // slot 1, no two-phase bit
  EXPECT_FALSE(w.mem->used_two_phase_commit());

  // The next commit goes back to slot 0 and may bring the bit back.
  const BtreeHeader data2 = w.new_root(2);
  ASSERT_TRUE(w.mem->commit(data2, std::nullopt, TransactionId(2), true, TrimPolicy::kNever).ok());
  EXPECT_EQ(header_bytes(*w.file)[kFlagsOffset], 0b110);
  auto parsed = UnrepairedDatabaseHeader::from_bytes(header_bytes(*w.file), kPage);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value().header().slot(0).data_root, data2);
  EXPECT_EQ(parsed.value().header().slot(1).data_root, data);
}

TEST(PageStoreCommit, NonDurableCommitLivesInMemoryUntilTheNextDurableOne) {
  Writable w;
  const BtreeHeader first = w.new_root(1);
  ASSERT_TRUE(w.mem->commit(first, std::nullopt, TransactionId(1), true, TrimPolicy::kNever).ok());
  (void)w.allocator->take_allocated_since_commit();
  const std::vector<uint8_t> header_before = header_bytes(*w.file);

  const BtreeHeader second = w.new_root(2);
  const uint64_t syncs = w.plan->calls(BackendOp::kSync);
  ASSERT_TRUE(w.mem->non_durable_commit(second, std::nullopt, TransactionId(2),
                                        w.allocator->take_allocated_since_commit())
                  .ok());
  EXPECT_EQ(w.plan->calls(BackendOp::kSync), syncs);
  EXPECT_EQ(header_bytes(*w.file), header_before);
  EXPECT_EQ(w.mem->get_data_root(), second);
  EXPECT_EQ(w.mem->get_last_committed_transaction_id().value(), TransactionId(2));
  EXPECT_EQ(w.mem->get_last_durable_transaction_id().value(), TransactionId(1));
  EXPECT_TRUE(w.mem->unpersisted(second.root));
  EXPECT_FALSE(w.mem->unpersisted(first.root));
  // The page itself went to the file, unsynced; a crash now reopens at `first`.
  Store crashed = reopen(*w.file);
  EXPECT_EQ(crashed->get_data_root(), first);
  EXPECT_TRUE(test::root_verifies(*crashed, second));

  const BtreeHeader third = w.new_root(3);
  ASSERT_TRUE(w.mem->commit(third, std::nullopt, TransactionId(3), true, TrimPolicy::kNever).ok());
  EXPECT_EQ(w.mem->get_last_committed_transaction_id().value(), TransactionId(3));
  EXPECT_EQ(w.mem->get_last_durable_transaction_id().value(), TransactionId(3));
  EXPECT_FALSE(w.mem->unpersisted(second.root));
  EXPECT_EQ(reopen(*w.file)->get_data_root(), third);
}

TEST(PageStoreCommit, UnpersistedAllocationBookkeeping) {
  Writable w;
  ASSERT_TRUE(w.mem->commit(std::nullopt, std::nullopt, TransactionId(1), true,
                            TrimPolicy::kNever)
                  .ok());
  const PageNumber a = w.new_root(1).root;
  const PageNumber b = w.new_root(2).root;
  const PageNumber c = w.new_root(3).root;
  ASSERT_TRUE(w.mem->non_durable_commit(std::nullopt, std::nullopt, TransactionId(2),
                                        w.allocator->take_allocated_since_commit())
                  .ok());
  w.mem->record_unpersisted_allocations(TransactionId(5), {a, b});
  w.mem->record_unpersisted_allocations(TransactionId(3), {c});
  w.mem->record_unpersisted_allocations(TransactionId(5), {a});
  w.mem->record_unpersisted_allocations(TransactionId(7), {});

  // A page of the open, uncommitted transaction: not unpersisted, kept.
  const PageNumber open = w.new_root(4).root;
  EXPECT_FALSE(w.mem->free_if_unpersisted(open, *w.tracker));
  EXPECT_TRUE(w.allocator->uncommitted(open));

  // Filed under 5: unfiled and freed; the entry of 5 keeps b.
  EXPECT_TRUE(w.mem->free_if_unpersisted(a, *w.tracker));
  EXPECT_FALSE(w.mem->unpersisted(a));
  EXPECT_FALSE(w.mem->free_if_unpersisted(a, *w.tracker));
  // Filed under 3, the entry's last page: the entry goes.
  EXPECT_TRUE(w.mem->free_if_unpersisted(c, *w.tracker));
  UnpersistedAllocations taken = w.mem->take_unpersisted_allocations();
  EXPECT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[TransactionId(5)], PageNumberSet{b});
  EXPECT_TRUE(w.mem->take_unpersisted_allocations().empty());
  // Still unpersisted, no longer filed: freed all the same.
  EXPECT_TRUE(w.mem->unpersisted(b));
  EXPECT_TRUE(w.mem->free_if_unpersisted(b, *w.tracker));
  // All three went back to the allocator: each can be marked allocated again.
  for (PageNumber p : {a, b, c}) EXPECT_TRUE(w.mem->mark_page_allocated(p).ok());
  EXPECT_FALSE(w.mem->mark_page_allocated(open).ok());
}

TEST(PageStoreCommit, DurableCommitForgetsUnpersistedPages) {
  Writable w;
  const PageNumber a = w.new_root(1).root;
  ASSERT_TRUE(w.mem->non_durable_commit(std::nullopt, std::nullopt, TransactionId(1),
                                        w.allocator->take_allocated_since_commit())
                  .ok());
  w.mem->record_unpersisted_allocations(TransactionId(1), {a});
  ASSERT_TRUE(w.mem->commit(std::nullopt, std::nullopt, TransactionId(2), false,
                            TrimPolicy::kNever)
                  .ok());
  EXPECT_FALSE(w.mem->unpersisted(a));
  EXPECT_FALSE(w.mem->free_if_unpersisted(a, *w.tracker));
  EXPECT_TRUE(w.mem->take_unpersisted_allocations().empty());
}

// A failed first sync: the error, PreviousIo afterwards, the previous commit
// in memory and on reopen.
TEST(PageStoreCommit, FailedFirstSyncKeepsThePreviousCommit) {
  for (bool first_two_phase : {true, false}) {
    SCOPED_TRACE(first_two_phase ? "after a two-phase commit" : "after a one-phase commit");
    Writable w;
    const BtreeHeader first = w.new_root(1);
    ASSERT_TRUE(
        w.mem->commit(first, std::nullopt, TransactionId(1), first_two_phase, TrimPolicy::kNever)
            .ok());
    (void)w.allocator->take_allocated_since_commit();
    const BtreeHeader second = w.new_root(2);
    w.plan->fail_nth(BackendOp::kSync, w.plan->calls(BackendOp::kSync) + 1, EIO);
    EXPECT_EQ(error_text(w.mem->commit(second, std::nullopt, TransactionId(2), true,
                                       TrimPolicy::kNever)),
              "I/O error: Input/output error (os error 5)");
    EXPECT_EQ(error_text(w.mem->commit(second, std::nullopt, TransactionId(2), true,
                                       TrimPolicy::kNever)),
              kPreviousIo);
    EXPECT_EQ(error_text(w.mem->non_durable_commit(second, std::nullopt, TransactionId(2), {})),
              kPreviousIo);
    EXPECT_EQ(w.mem->get_data_root(), first);
    EXPECT_EQ(w.mem->get_last_durable_transaction_id().value(), TransactionId(1));
    // The file holds the new slot as secondary (its write went through before
    // the sync failed). After a two-phase commit the primary stays; after a
    // one-phase one the newer intact slot wins, and the tree walk of the
    // database layer is what then rejects or accepts it.
    Store again = reopen(*w.file);
    EXPECT_EQ(again->get_data_root(), first_two_phase ? first : second);
  }
}

// A trimming commit whose truncation fails is durable all the same: it is
// reported as done, the in-memory state follows it, the store keeps working,
// and the next commit (or the close) truncates the file after all.
TEST(PageStoreCommit, FailedTruncationAfterATrimmingCommitIsNoCommitFailure) {
  for (bool close_next : {false, true}) {
    SCOPED_TRACE(close_next ? "then closed" : "then committed again");
    Writable w;
    // The new file's last page is the first order-0 block handed out; freed
    // again, everything after the root is free and a maximal trim has work.
    const PageNumber last = w.new_root(0).root;
    const BtreeHeader first = w.new_root(1);
    w.allocator->free(last, w.tracker);
    const uint64_t length_before = w.file->size();
    w.plan->fail_nth(BackendOp::kSetLen, w.plan->calls(BackendOp::kSetLen) + 1, EIO);
    ASSERT_EQ(error_text(w.mem->commit(first, std::nullopt, TransactionId(1), true,
                                       TrimPolicy::kMaximal)),
              "<ok>");
    EXPECT_EQ(w.plan->injected(), 1u);
    EXPECT_EQ(w.mem->get_last_durable_transaction_id().value(), TransactionId(1));
    EXPECT_EQ(w.mem->get_data_root(), first);
    const uint64_t layout_len = w.mem->with_allocators(
        [](const Allocators&, const DatabaseLayout& layout) { return layout.len(); });
    EXPECT_LT(layout_len, length_before);
    EXPECT_EQ(w.file->size(), length_before);  // the truncation did not happen
    {
      Store again = reopen(*w.file);
      EXPECT_EQ(again->get_last_durable_transaction_id().value(), TransactionId(1));
      EXPECT_EQ(again->get_data_root(), first);
    }

    (void)w.allocator->take_allocated_since_commit();
    if (close_next) {
      ASSERT_TRUE(w.mem->close().ok());
    } else {
      // Nothing allocated, so no growth sets the length instead.
      ASSERT_EQ(error_text(w.mem->commit(first, std::nullopt, TransactionId(2), false,
                                         TrimPolicy::kNever)),
                "<ok>");
      EXPECT_EQ(w.mem->get_last_durable_transaction_id().value(), TransactionId(2));
    }
    EXPECT_EQ(w.file->size(), layout_len);
    if (close_next) {
      // Closed clean over a file its header describes: no repair at open.
      auto read_only = open_store(
          std::make_unique<MemoryBackend>(std::make_shared<MemoryFile>(w.file->snapshot())),
          test::StoreOptions{.read_only = true});
      EXPECT_TRUE(read_only.ok()) << error_text(read_only);
    }
  }
}

}  // namespace
}  // namespace storage
