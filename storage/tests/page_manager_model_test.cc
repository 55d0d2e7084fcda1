// The page store against a naive model over random allocate / free / commit /
// abort / reopen sequences, and a workload failed at every backend call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/page_store_helpers.h"
#include "storage/tests/support/random_seed.h"

namespace storage {
namespace {

using test::MemoryBackend;
using test::MemoryFile;
using test::open_store;
using test::Store;
using test::StoreOptions;

constexpr uint32_t kPage = 512;
constexpr uint32_t kRegionPages = 64;

StoreOptions model_options() {
  StoreOptions o;
  o.page_size = kPage;
  o.region_size = uint64_t{kRegionPages} * kPage;
  o.cache_bytes = 64 * 1024;  // small: pages are written back under pressure too
  return o;
}

// Pages by packed number → the seed of their contents.
using Pages = std::map<uint64_t, uint64_t>;

// Page runs as half-open page ranges of one address space, for overlap checks.
uint64_t run_start(PageNumber p) {
  return uint64_t{p.region} * kRegionPages + (uint64_t{p.page_index} << p.page_order);
}
uint64_t run_end(PageNumber p) { return run_start(p) + (uint64_t{1} << p.page_order); }

class Model {
 public:
  explicit Model(uint64_t seed) : rng_(seed), file_(std::make_shared<MemoryFile>()) {
    std::optional<RegionLayout> trailing = RegionLayout(16, 0, kPage);
    file_ = std::make_shared<MemoryFile>(test::file_with_layout(
        DatabaseLayout(0, RegionLayout(kRegionPages, 0, kPage), trailing)));
    open(/*after_crash=*/false);
    snapshots_[0] = {};
  }

  void step() {
    const uint64_t dice = rng_() % 100;
    if (dice < 30) {
      allocate();
    } else if (dice < 35) {
      rewrite();
    } else if (dice < 55) {
      remove();
    } else if (dice < 65) {
      check_one();
    } else if (dice < 76) {
      commit_durable();
    } else if (dice < 88) {
      commit_non_durable();
    } else if (dice < 95) {
      abort();
    } else {
      reopen();
    }
  }

  void check_all() {
    for (const auto& [packed, tag] : working_) check(PageNumber::from_packed(packed), tag);
  }

  std::string history() const { return history_; }


 private:
  void note(const std::string& what) {
    history_ += what + "; ";
    if (history_.size() > 4000) history_.erase(0, history_.size() - 4000);
  }

  void open(bool after_crash) {
    auto r = open_store(std::make_unique<MemoryBackend>(file_), model_options());
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    mem_ = std::move(r).value();
    allocator_ = std::make_unique<PageAllocator>(mem_, AllocationPolicy::kAny);
    // What the repair walk does: every page the newest commit reaches.
    ASSERT_TRUE(mem_->reset_allocator_state().ok());
    for (const auto& [packed, tag] : working_) {
      auto marked = mem_->mark_page_allocated(PageNumber::from_packed(packed));
      ASSERT_TRUE(marked.ok()) << marked.error().to_string();
    }
    if (after_crash) {
      ASSERT_TRUE(mem_->clear_recovery_required().ok());
    }
    ASSERT_TRUE(mem_->begin_writable().ok());
  }

  void claim(PageNumber p, uint64_t tag) {
    for (const auto& [packed, _] : allocated_) {
      const PageNumber q = PageNumber::from_packed(packed);
      ASSERT_FALSE(run_start(p) < run_end(q) && run_start(q) < run_end(p))
          << p.debug() << " overlaps " << q.debug();
    }
    allocated_[p.packed()] = tag;
  }

  void check(PageNumber p, uint64_t tag) {
    auto page = allocator_->get_page(p, PageReadHint::kMayBeDirty);
    ASSERT_TRUE(page.ok()) << page.error().to_string();
    ASSERT_TRUE(test::page_holds(page.value().memory(), tag)) << p.debug();
  }

  template <typename C>
  uint64_t pick(const C& c) {
    auto it = c.begin();
    std::advance(it, static_cast<ptrdiff_t>(rng_() % c.size()));
    return it->first;
  }

  void allocate() {
    const size_t size = 1 + rng_() % (8 * kPage);
    const uint64_t tag = next_tag_++;
    auto page = allocator_->allocate(size, tracker_);
    ASSERT_TRUE(page.ok()) << page.error().to_string();
    test::fill_page(page.value(), tag);
    const PageNumber p = page.value().get_page_number();
    ASSERT_EQ(page_order_for(size, kPage), p.page_order);
    note("alloc " + p.debug());
    claim(p, tag);
    working_[p.packed()] = tag;
    txn_allocated_.insert(p.packed());
  }

  void rewrite() {
    if (txn_allocated_.empty()) return;
    auto it = txn_allocated_.begin();
    std::advance(it, static_cast<ptrdiff_t>(rng_() % txn_allocated_.size()));
    const PageNumber p = PageNumber::from_packed(*it);
    const uint64_t tag = next_tag_++;
    auto page = allocator_->get_page_mut(p);
    ASSERT_TRUE(page.ok()) << page.error().to_string();
    ASSERT_TRUE(test::page_holds(page.value().memory(), working_.at(p.packed())));
    test::fill_page(page.value(), tag);
    working_[p.packed()] = tag;
    allocated_[p.packed()] = tag;
  }

  void remove() {
    if (working_.empty()) return;
    const PageNumber p = PageNumber::from_packed(pick(working_));
    working_.erase(p.packed());
    std::vector<PageNumber> freed;
    if (txn_allocated_.erase(p.packed()) > 0) {
      note("free " + p.debug());
      if (rng_() % 2) {
        ASSERT_TRUE(allocator_->free_if_uncommitted(p, tracker_));
      } else {
        allocator_->conditional_free(p, tracker_, freed);
        ASSERT_TRUE(freed.empty());
      }
      allocated_.erase(p.packed());
    } else {
      note("defer " + p.debug());
      ASSERT_FALSE(allocator_->free_if_uncommitted(p, tracker_));
      allocator_->conditional_free(p, tracker_, freed);
      ASSERT_EQ(freed, std::vector<PageNumber>{p});
      txn_removed_.push_back(p);
    }
  }

  void check_one() {
    if (working_.empty()) return;
    const uint64_t packed = pick(working_);
    check(PageNumber::from_packed(packed), working_.at(packed));
  }

  void finish_transaction(uint64_t id) {
    PageNumberSet taken = allocator_->take_allocated_since_commit();
    ASSERT_EQ(taken.size(), txn_allocated_.size());
    for (const PageNumber& p : taken) ASSERT_TRUE(txn_allocated_.contains(p.packed()));
    txn_allocated_.clear();
    snapshots_[id] = working_;
    committed_ = working_;
  }

  void release(PageNumber p) {
    allocator_->free(p, tracker_);
    allocated_.erase(p.packed());
  }

  void commit_durable() {
    const uint64_t id = ++last_id_;
    const bool two_phase = rng_() % 2;
    const TrimPolicy trim = static_cast<TrimPolicy>(rng_() % 3);
    note("commit " + std::to_string(id) + (two_phase ? " 2p" : " 1p") + " trim " +
         std::to_string(static_cast<int>(trim)));
    // The database layer files these in its own tables before the commit.
    UnpersistedAllocations filed = mem_->take_unpersisted_allocations();
    ASSERT_EQ(filed.size(), nd_allocations_.size());
    for (const auto& [txn, pages] : filed) {
      ASSERT_EQ(pages.size(), nd_allocations_.at(txn.id).size());
      for (const PageNumber& p : pages) {
        ASSERT_TRUE(nd_allocations_.at(txn.id).contains(p.packed()));
      }
    }
    nd_allocations_.clear();
    auto r = mem_->commit(root(id), std::nullopt, TransactionId(id), two_phase, trim);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    finish_transaction(id);
    ASSERT_EQ(mem_->get_last_durable_transaction_id().value().id, id);
    ASSERT_EQ(mem_->get_last_committed_transaction_id().value().id, id);
    // No older commit can be reopened any more: its pages go back.
    for (const PageNumber& p : deferred_) release(p);
    for (const PageNumber& p : txn_removed_) release(p);
    deferred_.clear();
    txn_removed_.clear();
    unpersisted_.clear();
    durable_id_ = id;
    durable_two_phase_ = two_phase;
    pending_non_durable_ = std::nullopt;
  }

  void commit_non_durable() {
    const uint64_t id = ++last_id_;
    note("nd commit " + std::to_string(id));
    PageNumberSet taken = allocator_->take_allocated_since_commit();
    std::vector<PageNumber> list(taken.begin(), taken.end());
    ASSERT_EQ(taken.size(), txn_allocated_.size());
    auto r = mem_->non_durable_commit(root(id), std::nullopt, TransactionId(id), taken);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    mem_->record_unpersisted_allocations(TransactionId(id), list);
    for (uint64_t packed : txn_allocated_) {
      unpersisted_.insert(packed);
      nd_allocations_[id].insert(packed);
    }
    txn_allocated_.clear();
    snapshots_[id] = working_;
    committed_ = working_;
    ASSERT_EQ(mem_->get_last_committed_transaction_id().value().id, id);
    ASSERT_EQ(mem_->get_last_durable_transaction_id().value().id, durable_id_);
    ASSERT_EQ(mem_->get_data_root(), root(id));
    // Removed pages that no durable commit reaches are freed at once; the rest
    // wait for the next durable commit.
    for (const PageNumber& p : txn_removed_) {
      ASSERT_EQ(mem_->unpersisted(p), unpersisted_.contains(p.packed())) << p.debug();
      if (unpersisted_.erase(p.packed()) > 0) {
        ASSERT_TRUE(mem_->free_if_unpersisted(p, *tracker_));
        for (auto& [_, pages] : nd_allocations_) pages.erase(p.packed());
        std::erase_if(nd_allocations_, [](const auto& e) { return e.second.empty(); });
        allocated_.erase(p.packed());
      } else {
        deferred_.push_back(p);
      }
    }
    txn_removed_.clear();
    pending_non_durable_ = id;
  }

  void abort() {
    note("abort");
    allocator_->rollback_all();
    for (uint64_t packed : txn_allocated_) allocated_.erase(packed);
    txn_allocated_.clear();
    txn_removed_.clear();
    working_ = committed_;
  }

  void reopen() {
    abort();
    const bool clean = rng_() % 2;
    // A clean close writes the in-memory header: the pending non-durable commit
    // is in the secondary slot, and wins only when the last durable commit was
    // one-phase. A dropped store leaves the header of the last durable commit.
    uint64_t expected = durable_id_;
    if (clean && pending_non_durable_ && !durable_two_phase_) expected = *pending_non_durable_;
    note(std::string(clean ? "close" : "drop") + ", expecting " + std::to_string(expected));
    if (clean) {
      ASSERT_TRUE(mem_->close().ok());
    }
    allocator_.reset();
    mem_.reset();

    working_ = snapshots_.at(expected);
    committed_ = working_;
    allocated_ = working_;
    deferred_.clear();
    unpersisted_.clear();
    nd_allocations_.clear();
    pending_non_durable_ = std::nullopt;
    durable_id_ = expected;
    open(/*after_crash=*/!clean);
    ASSERT_EQ(mem_->get_last_committed_transaction_id().value().id, expected);
    ASSERT_EQ(mem_->get_data_root(), root(expected));
    durable_two_phase_ = mem_->used_two_phase_commit();
    last_id_ = std::max(last_id_, expected);
    check_all();
  }

  static std::optional<BtreeHeader> root(uint64_t id) {
    if (id == 0) return std::nullopt;
    return BtreeHeader{PageNumber(), 0, id};
  }

  std::mt19937_64 rng_;
  std::shared_ptr<MemoryFile> file_;
  Store mem_;
  std::unique_ptr<PageAllocator> allocator_;
  std::shared_ptr<PageTracker> tracker_ = PageTracker::create_disabled();
  uint64_t next_tag_ = 1;
  uint64_t last_id_ = 0;
  uint64_t durable_id_ = 0;
  bool durable_two_phase_ = true;
  std::optional<uint64_t> pending_non_durable_;

  Pages working_;    // the open transaction's view
  Pages committed_;  // the newest commit's view
  Pages allocated_;  // every run the allocator must not hand out
  std::map<uint64_t, Pages> snapshots_;
  std::set<uint64_t> txn_allocated_;
  std::vector<PageNumber> txn_removed_;  // committed pages this transaction dropped
  std::vector<PageNumber> deferred_;     // dropped by non-durable commits
  std::set<uint64_t> unpersisted_;
  std::map<uint64_t, std::set<uint64_t>> nd_allocations_;
  std::string history_;
};

TEST(PageStoreModel, RandomOperationsAgreeWithTheModel) {
  const uint64_t base = storage_test_support::random_seed();
  for (uint64_t run = 0; run < 8; ++run) {
    const uint64_t seed = base + run;
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with RS_TEST_SEED)");
    Model model(seed);
    for (int i = 0; i < 600 && !::testing::Test::HasFatalFailure(); ++i) model.step();
    if (!::testing::Test::HasFatalFailure()) model.check_all();
    if (::testing::Test::HasFatalFailure()) {
      ADD_FAILURE() << "history: " << model.history();
      return;
    }
  }
}

// The workload of one writer: durable commits (both kinds, trimming), a
// non-durable one, growth, and frees of roots that no commit reaches any more.
// Returns the last acknowledged durable commit and the last attempted commit.
struct WorkloadResult {
  uint64_t durable = 0;
  uint64_t attempted = 0;
  bool failed = false;
};

WorkloadResult run_workload(const std::shared_ptr<MemoryFile>& file,
                            const std::shared_ptr<test::FaultPlan>& plan) {
  WorkloadResult out;
  auto opened = open_store(std::make_unique<test::FaultInjectingBackend>(
      std::make_unique<MemoryBackend>(file), plan));
  if (!opened.ok()) {
    out.failed = true;
    return out;
  }
  Store mem = std::move(opened).value();
  if (!mem->begin_writable().ok() || !mem->reset_allocator_state().ok()) {
    out.failed = true;
    return out;
  }
  PageAllocator allocator(mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_disabled();
  // Roots of earlier commits: unreachable once a later commit is durable.
  std::vector<PageNumber> older;
  for (uint64_t id = 1; id <= 6; ++id) {
    out.attempted = id;
    BtreeHeader root;
    {
      auto page = allocator.allocate(size_t{4096} << (id + 1), tracker);
      if (!page.ok()) {
        out.failed = true;
        break;
      }
      test::fill_page(page.value(), id);
      root = test::root_of(page.value(), id);
    }
    if (id == 3) {
      if (!mem->non_durable_commit(root, std::nullopt, TransactionId(id),
                                   allocator.take_allocated_since_commit())
               .ok()) {
        out.failed = true;
        break;
      }
      older.push_back(root.root);
      continue;
    }
    const TrimPolicy trim = id == 6 ? TrimPolicy::kMaximal : TrimPolicy::kHalf;
    if (!mem->commit(root, std::nullopt, TransactionId(id), id % 2 == 1, trim).ok()) {
      out.failed = true;
      break;
    }
    (void)allocator.take_allocated_since_commit();
    out.durable = id;
    for (const PageNumber& p : older) allocator.free(p, tracker);
    older = {root.root};
  }
  if (!mem->close().ok()) out.failed = true;
  return out;
}

// Fails the N-th backend call for every N: the workload reports the failure,
// and a reopen finds a whole commit no older than the last acknowledged one.
TEST(PageStoreFaults, FailingEveryCallInTurnLosesNoAcknowledgedCommit) {
  uint64_t total = 0;
  {
    auto plan = std::make_shared<test::FaultPlan>();
    const WorkloadResult clean = run_workload(std::make_shared<MemoryFile>(), plan);
    ASSERT_FALSE(clean.failed);
    ASSERT_EQ(clean.durable, 6u);
    total = plan->data_calls();
  }
  ASSERT_GT(total, 40u);
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(total));
    auto file = std::make_shared<MemoryFile>();
    auto plan = std::make_shared<test::FaultPlan>();
    plan->fail_nth_any(n, EIO);
    const WorkloadResult result = run_workload(file, plan);
    EXPECT_EQ(plan->injected(), 1u);
    // A failed truncation after a trimming commit is no failure: the workload
    // carries on and every commit is acknowledged.
    if (!result.failed) {
      EXPECT_EQ(result.durable, 6u);
    }

    auto reopened = open_store(std::make_unique<MemoryBackend>(file));
    if (!reopened.ok()) {
      // Only a file whose creation never finished may be refused.
      EXPECT_EQ(result.attempted, 0u) << reopened.error().to_string();
      continue;
    }
    Store mem = std::move(reopened).value();
    uint64_t id = mem->get_last_committed_transaction_id().value().id;
    auto verifies = [&] {
      const auto root = mem->get_data_root();
      if (id == 0) return !root.has_value();
      return root && root->length == id && test::root_verifies(*mem, *root);
    };
    if (!verifies() && !mem->used_two_phase_commit()) {
      mem->repair_primary_corrupted();
      mem->invalidate_cache_all();
      id = mem->get_last_committed_transaction_id().value().id;
    }
    EXPECT_TRUE(verifies()) << "commit " << id;
    EXPECT_GE(id, result.durable);
    EXPECT_LE(id, result.attempted);
  }
}

}  // namespace
}  // namespace storage
