// The page store of one open database file, and the two page handles through
// which everything above it reaches pages.
//
// TransactionalMemory owns the cached file, the in-memory super-header with its
// two commit slots, the page allocators and the bookkeeping of non-durable
// commits. It opens (creating or checking the header), allocates and frees page
// runs (growing the file when nothing fits), commits durably (two-phase or
// one-phase, see storage/FORMAT.md) or non-durably, and closes.
//
// PageResolver reads pages for read transactions; PageAllocator is the handle of
// one write transaction and remembers the pages it allocated and has not
// committed (UncommittedPages), the only ones that may change in place or be
// freed at once.
//
// Lock order: `unpersisted_pages` before `state`; `unpersisted_pages` before
// `unpersisted_allocations` before `unpersisted_allocation_txn`. The cache's
// stripe locks are taken inside `state`. An UncommittedPages shard is taken
// alone, never together with any of these.
//
// Thread safety: TransactionalMemory, PageResolver and PageAllocator are safe to
// share between threads; page reads take no page-store lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/panic.h"
#include "storage/src/result.h"
#include "storage/src/sync.h"
#include "storage/src/tree_store/page_store/backends.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/tree_store/page_store/cached_file.h"
#include "storage/src/tree_store/page_store/fast_hasher.h"
#include "storage/src/tree_store/page_store/flat_page_set.h"
#include "storage/src/tree_store/page_store/header.h"
#include "storage/src/tree_store/page_store/layout.h"
#include "storage/src/tree_store/page_store/page.h"
#include "storage/src/tree_store/page_store/region.h"

namespace storage {

// How a write transaction's allocator picks a block inside a region: the buddy
// allocator's normal choice, or its lowest-addressed block (the close-time
// trimming transaction, so that the end of the file empties).
enum class AllocationPolicy : uint8_t { kAny = 0, kLowest = 1 };

// How much free space at the end of the file a durable commit gives back.
enum class TrimPolicy : uint8_t {
  // Half of the trailing free pages, once they reach half of the last region.
  kHalf = 0,
  // As much as possible.
  kMaximal = 1,
  // Never shrink the file.
  kNever = 2,
};

// A new file has room for at least this many data bytes (or ten pages, if more),
// plus a page or so for a saved region tracker.
inline constexpr uint64_t kMinDesiredUsableBytes = 1024 * 1024;
// New files make room for this many regions in the region tracker.
inline constexpr uint32_t kInitialRegionTrackerCapacity = 1000;
// Region size when none is requested: 4 GiB.
inline constexpr uint64_t kDefaultRegionSize = uint64_t{4} << 30;

using UnpersistedAllocations = std::map<TransactionId, PageNumberSet>;

// The order of the page run that holds `size` bytes: ceil(log2(ceil(size / P))).
uint8_t page_order_for(uint64_t size, uint64_t page_size);

// The geometry the allocators follow for a file layout.
AllocatorLayout allocator_layout_of(const DatabaseLayout& layout);

class TransactionalMemory {
 public:
  // Opens the page store over `backend` (TransactionalMemory::new). An empty file
  // is initialised only with `allow_initialize`; a read-only open never changes
  // the file and fails with RepairCancelled when the file needs recovery.
  static Result<std::shared_ptr<TransactionalMemory>, DatabaseError> open(
      std::unique_ptr<StorageBackend> backend, bool allow_initialize, size_t page_size,
      std::optional<uint64_t> requested_region_size, size_t cache_bytes, bool read_only);

  TransactionalMemory(const TransactionalMemory&) = delete;
  TransactionalMemory& operator=(const TransactionalMemory&) = delete;

  // ---- Open, repair state and close -------------------------------------------

  // Puts the header into the write buffer (0..320); the caller writes it back.
  Result<void, StorageError> write_header(const DatabaseHeader& header) const;
  // Sets the recovery bit on disk (header written, flushed, synced).
  Result<void, StorageError> begin_writable();
  // Clears the recovery bit on disk (the end of a repair).
  Result<void, StorageError> clear_recovery_required();
  // The other commit slot becomes the primary, in memory only.
  void repair_primary_corrupted();
  // Fresh, all-free allocators for the current layout.
  Result<void, StorageError> reset_allocator_state();
  // Records a page run that a tree reaches as allocated (repair). Its number
  // comes from the file: a region beyond the layout, an order above the region's
  // maximum or a block outside free space is Corrupted.
  Result<void, StorageError> mark_page_allocated(PageNumber page);
  // Drops the allocators; works on a poisoned state lock (a failing commit).
  void invalidate_allocator_state();
  bool allocator_state_loaded();

  // Roots and id of the newest commit (a pending non-durable one, else the primary).
  std::optional<BtreeHeader> get_data_root();
  std::optional<BtreeHeader> get_system_root();
  Result<TransactionId, StorageError> get_last_committed_transaction_id();
  // The id in the primary slot: the last durable commit.
  Result<TransactionId, StorageError> get_last_durable_transaction_id();
  bool used_two_phase_commit();
  // PreviousIo once an I/O call failed, DatabaseClosed once closed, else success.
  Result<void, StorageError> check_io() const { return storage_->check_io(); }

  // Writes back, syncs and clears the recovery bit when the allocators are loaded
  // and nothing failed before; then closes the backend. A failed write-back or
  // sync here is returned (the recovery bit stays set on disk).
  Result<void, StorageError> close();

  // ---- Narrow interface for allocator-state persistence -----------------------

  // Runs `f(const Allocators&, const DatabaseLayout&)` under the state lock and
  // returns what it returns: the images a saved allocator state is built from
  // stay exactly those of the allocators while `f` runs. The allocators must be
  // loaded.
  template <typename F>
  decltype(auto) with_allocators(F&& f) {
    auto state = lock_state();
    if (!state->allocators) panic("allocators have not been loaded yet");
    const DatabaseLayout layout = state->header.layout();
    return std::forward<F>(f)(static_cast<const Allocators&>(*state->allocators), layout);
  }
  // Installs allocators rebuilt from the images of a saved state, checked
  // against and fitted to the current layout under the state lock
  // (Allocators::from_parts), then clears the in-memory recovery flag so that
  // begin_writable may set it again. Images that do not fit are Corrupted and
  // change nothing.
  Result<void, StorageError> install_allocators(RegionTracker tracker,
                                                std::vector<BuddyAllocator> buddies);
  // Empties the read cache (the write buffer is untouched).
  void invalidate_cache_all() const;

  // ---- Allocation, freeing and commit -----------------------------------------

  // A fresh page run holding `size` bytes, lent out for writing with overwrite.
  // A run whose bytes someone still holds is in use, whatever the allocators
  // say (damage): Corrupted, and the run stays allocated.
  Result<PageMut, StorageError> allocate_helper(size_t size, bool lowest);
  // Returns a page run to its region's allocator at once and drops it from the
  // caches. The caller guarantees that it is allocated and no reader sees it.
  void free_helper(PageNumber page, PageTracker& tracker);

  // The durable commit: the new roots go into the secondary slot, which then
  // becomes the primary. Once the header is durable the in-memory state
  // follows it; a failed truncation of a trimmed file after that is no commit
  // failure: the file stays longer and the next trimming commit (or close)
  // tries again.
  Result<void, StorageError> commit(std::optional<BtreeHeader> data_root,
                                    std::optional<BtreeHeader> system_root,
                                    TransactionId transaction_id, bool two_phase,
                                    TrimPolicy trim_policy);
  // Writes the buffered pages back (no sync) and fills the in-memory secondary
  // slot; the header on disk is unchanged.
  Result<void, StorageError> non_durable_commit(std::optional<BtreeHeader> data_root,
                                                std::optional<BtreeHeader> system_root,
                                                TransactionId transaction_id,
                                                PageNumberSet allocated_pages);
  void record_unpersisted_allocations(TransactionId transaction_id,
                                      const std::vector<PageNumber>& pages);
  bool unpersisted(PageNumber page);
  bool free_if_unpersisted(PageNumber page, PageTracker& tracker);
  UnpersistedAllocations take_unpersisted_allocations();

  // ---- Pages -------------------------------------------------------------------

  // Reads a page run. Its number may come from the file: an order above 20 or a
  // run beyond the layout is Corrupted, before any I/O.
  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const;
  // A page run read from the file alone, neither looked up in nor added to the
  // caches: for a walk at open (nothing is buffered yet) whose pages would
  // only crowd the read cache. Checked as get_page.
  Result<std::vector<uint8_t>, StorageError> read_page_uncached(PageNumber page) const;
  // The run's first out.size() bytes (no more than the run's length) into
  // `out`. With `only_if_cached`, reads only when the system's page cache holds the
  // bytes (no wait for the device) and says whether it did; the page number
  // is checked either way. Safe to call from several threads at once.
  Result<bool, StorageError> read_page_uncached_into(PageNumber page, std::span<uint8_t> out,
                                                     bool only_if_cached) const;
  // A hint that these page runs will be read soon (their reads may then
  // overlap); numbers that cannot be in the file are skipped. Runs no more
  // than kMaxAnnouncedHolePages pages apart are announced together, the
  // pages between them included, in ranges of at most kMaxAnnouncedBytes.
  void prefetch_pages(std::span<const PageNumber> pages) const;
  static constexpr uint32_t kMaxAnnouncedHolePages = 4;
  static constexpr uint64_t kMaxAnnouncedBytes = uint64_t{128} << 10;
  // The same page, borrowed in place on a read-cache hit (see PinnedPage).
  Result<PinnedPage, StorageError> pin_page(const PageNumber& page, PageReadHint hint) const;
  // Lends a page run for writing, its buffer holding the current bytes;
  // Corrupted when someone else holds them (a damaged page number reached it).
  Result<PageMut, StorageError> get_page_mut(PageNumber page) const;

  uint32_t get_page_size() const { return page_size_; }
  uint64_t region_size() const { return region_size_; }
  uint64_t region_header_size() const { return region_header_size_; }

 private:
  struct InMemoryState {
    DatabaseHeader header;
    std::optional<Allocators> allocators;
  };

  TransactionalMemory(std::unique_ptr<PagedCachedFile> storage, DatabaseHeader header);

  Mutex<InMemoryState>::Guard lock_state();
  // Absent when no region can serve the order.
  static std::optional<PageNumber> allocate_helper_retry(InMemoryState& state, uint8_t order,
                                                         bool lowest);
  // Grows the file so that a run of the order fits; holds the state lock.
  Result<void, StorageError> grow(InMemoryState& state, uint8_t order);
  // Gives back free pages at the end of the file per the policy; true when the
  // layout changed.
  bool trim(InMemoryState& state, TrimPolicy policy);
  // Offset and length of a run, Corrupted when it cannot be in the file.
  Result<std::pair<uint64_t, size_t>, StorageError> checked_address(const PageNumber& page) const;
  uint64_t page_offset(PageNumber page) const;
  size_t page_len(PageNumber page) const {
    return static_cast<size_t>(page_size_) << page.page_order;
  }
  void set_layout(InMemoryState& state, const DatabaseLayout& layout);

  std::unique_ptr<PagedCachedFile> storage_;
  Mutex<InMemoryState> state_;
  std::atomic<bool> read_from_secondary_{false};
  Mutex<PageNumberSet> unpersisted_pages_;
  Mutex<UnpersistedAllocations> unpersisted_allocations_;
  Mutex<std::unordered_map<PageNumber, TransactionId, FastHasher64>> unpersisted_allocation_txn_;
  const uint32_t page_size_;
  const uint64_t region_size_;
  const uint64_t region_header_size_;
  const uint32_t region_max_data_pages_;
  // The layout's length, for checking page numbers without the state lock.
  std::atomic<uint64_t> layout_len_{0};
  // The file is longer than its layout: a trimming commit could not truncate
  // it. Guarded by `state`.
  bool truncation_pending_ = false;
};

// The pages one write transaction allocated and has not committed: 64 shards by
// page index, each on its own cache line behind its own mutex.
//
// Thread safety: every operation locks one shard for one set operation.
class UncommittedPages {
 public:
  static constexpr size_t kShards = 64;

  // True when the page was not there yet.
  bool insert(PageNumber page);
  // True when the page was there.
  bool remove(PageNumber page);
  bool contains(PageNumber page) const;
  // Moves every shard's set out, shard 0 to 63, one lock at a time.
  PageNumberSet take_all();

 private:
  // Flat sets: every edit asks whether its pages are the transaction's own.
  struct alignas(64) Shard {
    Mutex<FlatPageNumberSet> pages;
  };
  static_assert(alignof(Shard) == 64 && sizeof(Shard) % 64 == 0);

  Mutex<FlatPageNumberSet>::Guard shard(PageNumber page) const;

  mutable std::array<Shard, kShards> shards_;
};

// The read-only page handle of read transactions.
//
// Thread safety: may be shared and used from any thread.
class PageResolver {
 public:
  explicit PageResolver(std::shared_ptr<TransactionalMemory> mem) : mem_(std::move(mem)) {}

  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const {
    return mem_->get_page(page, hint);
  }
  Result<PinnedPage, StorageError> pin_page(const PageNumber& page, PageReadHint hint) const {
    return mem_->pin_page(page, hint);
  }
  size_t get_page_size() const { return mem_->get_page_size(); }
  const std::shared_ptr<TransactionalMemory>& memory() const { return mem_; }

 private:
  std::shared_ptr<TransactionalMemory> mem_;
};

// The page handle of one write transaction. Copies share the page store and
// the transaction's UncommittedPages.
//
// Thread safety: copies may be used from several threads at once.
class PageAllocator {
 public:
  PageAllocator(std::shared_ptr<TransactionalMemory> mem, AllocationPolicy policy);

  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const {
    return mem_->get_page(page, hint);
  }
  Result<PinnedPage, StorageError> pin_page(const PageNumber& page, PageReadHint hint) const {
    return mem_->pin_page(page, hint);
  }
  // Only for pages this transaction allocated (callers check uncommitted()).
  Result<PageMut, StorageError> get_page_mut(PageNumber page) const {
    return mem_->get_page_mut(page);
  }
  size_t get_page_size() const { return mem_->get_page_size(); }

  // A fresh run of 2^order pages for `size` bytes, recorded in the tracker and as
  // uncommitted; the caller writes every byte.
  Result<PageMut, StorageError> allocate(size_t size, PageTracker& tracker) const;
  Result<PageMut, StorageError> allocate(size_t size,
                                         const std::shared_ptr<PageTracker>& tracker) const {
    return allocate(size, *tracker);
  }
  bool uncommitted(PageNumber page) const { return uncommitted_->contains(page); }
  // Frees the page at once, whoever allocated it.
  void free(PageNumber page, PageTracker& tracker) const;
  void free(PageNumber page, const std::shared_ptr<PageTracker>& tracker) const {
    free(page, *tracker);
  }
  // Frees the page at once when this transaction allocated it; otherwise appends
  // it to `freed`, to be released once no reader can see it.
  void conditional_free(PageNumber page, PageTracker& tracker,
                        std::vector<PageNumber>& freed) const;
  void conditional_free(PageNumber page, const std::shared_ptr<PageTracker>& tracker,
                        std::vector<PageNumber>& freed) const {
    conditional_free(page, *tracker, freed);
  }
  // Frees the page at once and answers true when this transaction allocated it.
  bool free_if_uncommitted(PageNumber page, PageTracker& tracker) const;
  bool free_if_uncommitted(PageNumber page, const std::shared_ptr<PageTracker>& tracker) const {
    return free_if_uncommitted(page, *tracker);
  }
  // Empties the uncommitted set and returns its pages (they stay allocated).
  PageNumberSet take_allocated_since_commit() const { return uncommitted_->take_all(); }
  // Frees every uncommitted page (an aborted transaction).
  void rollback_all() const;

  AllocationPolicy policy() const { return policy_; }
  const std::shared_ptr<TransactionalMemory>& memory() const { return mem_; }

 private:
  std::shared_ptr<TransactionalMemory> mem_;
  std::shared_ptr<UncommittedPages> uncommitted_;
  AllocationPolicy policy_;
};

}  // namespace storage
