// The real page store for tree tests: a TransactionalMemory over an in-memory
// file (optionally behind a fault-injecting backend), opened writable with
// fresh allocators, and one write transaction's PageAllocator at a time. It
// offers the surface the tree tests use of MemoryPageStore, so the same tests
// run on either.
//
// Thread safety: as TransactionalMemory and PageAllocator; commit() and
// rollback_all() belong to the test's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/memory_page_store.h"

namespace storage::test {

// Every page unit the allocators hold, as (region, page index) pairs.
PageUnits allocated_units_of(TransactionalMemory& mem);

class TransactionalPageStore {
 public:
  struct Options {
    size_t page_size = 4096;
    size_t cache_bytes = size_t{64} << 20;
    std::shared_ptr<FaultPlan> faults;
    // The in-memory file, when the test reopens it later; else a new one.
    std::shared_ptr<MemoryFile> file;
  };

  static std::shared_ptr<TransactionalPageStore> create(Options options);
  static std::shared_ptr<TransactionalPageStore> create() { return create(Options{}); }

  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const {
    return mem_->get_page(page, hint);
  }
  Result<PageMut, StorageError> get_page_mut(PageNumber page) const {
    return mem_->get_page_mut(page);
  }
  bool uncommitted(PageNumber page) const { return allocator_.uncommitted(page); }

  // A durable one-phase commit of `root` as the data tree; the transaction's
  // pages become committed and are returned.
  Result<PageNumberSet, StorageError> commit(std::optional<BtreeHeader> root);
  // Writes every buffered page back, by committing the current roots again.
  Result<void, StorageError> flush();
  // Aborts: the transaction's pages go back to the allocators.
  void rollback_all() const { allocator_.rollback_all(); }
  // Pages the allocators hold, besides those held when the store was opened.
  PageUnits allocated_units() const;

  std::shared_ptr<const WritablePageSource> writable() const { return page_source_of(allocator_); }
  std::shared_ptr<const PageSource> readable() const { return page_source_of(mem_); }
  const PageAllocator& allocator() const { return allocator_; }
  const std::shared_ptr<TransactionalMemory>& memory() const { return mem_; }

 private:
  TransactionalPageStore(std::shared_ptr<TransactionalMemory> mem)
      : mem_(mem), allocator_(mem, AllocationPolicy::kAny) {}
  PageUnits all_allocated_units() const;

  std::shared_ptr<TransactionalMemory> mem_;
  PageAllocator allocator_;
  PageUnits baseline_;
  uint64_t next_transaction_ = 1;
};

}  // namespace storage::test
