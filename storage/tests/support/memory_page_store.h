// A second page store for tree tests, beside the transactional one: the real
// page cache (PagedCachedFile) over an in-memory file, optionally behind a
// fault-injecting backend, a first-fit allocator of aligned page runs (which
// reuses freed pages differently from the buddy allocators), injectable
// allocation failures, and the uncommitted-page bookkeeping of one write
// transaction. It has the method names of the write transaction's page
// allocator, so trees reach it through WritablePageSourceOf like the real one.
//
// Page run (index, order) of region 0 lies at byte offset
// page size × (1 + index × 2^order); the first page stands for the header.
//
// Thread safety: every call takes the store's mutex (never while calling into
// the page cache with it held across a lent page).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/tree_store/page_store/cached_file.h"
#include "storage/src/tree_store/page_store/page.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"

namespace storage::test {

// Pages by (region, page index at order 0).
using PageUnits = std::set<std::pair<uint32_t, uint64_t>>;
PageUnits units_of(const PageNumberSet& pages);

class MemoryPageStore {
 public:
  struct Options {
    size_t page_size = 4096;
    size_t cache_bytes = size_t{64} << 20;
    // When set, the file sits behind a FaultInjectingBackend with this plan.
    std::shared_ptr<FaultPlan> faults;
  };

  static std::shared_ptr<MemoryPageStore> create(Options options);
  static std::shared_ptr<MemoryPageStore> create() { return create(Options{}); }

  // The write transaction's page allocator surface.
  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const;
  Result<PageMut, StorageError> get_page_mut(PageNumber page) const;
  Result<PageMut, StorageError> allocate(size_t size, const PageTrackerRef& tracker) const;
  bool uncommitted(PageNumber page) const;
  void free(PageNumber page, const PageTrackerRef& tracker) const;
  void conditional_free(PageNumber page, const PageTrackerRef& tracker,
                        std::vector<PageNumber>& freed) const;
  bool free_if_uncommitted(PageNumber page, const PageTrackerRef& tracker) const;
  size_t get_page_size() const { return page_size_; }

  // Ends the transaction's bookkeeping: the pages it allocated become committed.
  PageNumberSet take_allocated_since_commit() const;
  // Writes the pages back and ends the transaction's bookkeeping (the root
  // itself is the caller's to keep); returns the pages that became committed.
  Result<PageNumberSet, StorageError> commit(std::optional<BtreeHeader> root) const;
  // Aborts: every page the transaction allocated goes back.
  void rollback_all() const;
  // Writes the write buffer back to the file.
  Result<void, StorageError> flush() const;

  // Fails the n-th allocation from now (counting from 1) with an I/O error.
  void fail_nth_allocation(uint64_t n) const;
  uint64_t allocations() const;
  // Every page run currently allocated.
  PageNumberSet allocated_pages() const;
  // The same, page by page.
  PageUnits allocated_units() const;
  const PagedCachedFile& cache() const { return *cache_; }
  uint64_t offset_of(PageNumber page) const;
  size_t length_of(PageNumber page) const { return page_size_ << page.page_order; }

  std::shared_ptr<const WritablePageSource> writable() const;
  std::shared_ptr<const PageSource> readable() const;

 private:
  MemoryPageStore(Options options);
  void release(PageNumber page) const;  // needs mu_ held

  size_t page_size_;
  std::unique_ptr<PagedCachedFile> cache_;
  std::weak_ptr<MemoryPageStore> self_;
  mutable std::mutex mu_;
  mutable std::vector<bool> used_;  // per page
  mutable PageNumberSet allocated_;
  mutable PageNumberSet uncommitted_;
  mutable uint64_t allocations_ = 0;
  mutable std::optional<uint64_t> fail_at_;
};

}  // namespace storage::test
