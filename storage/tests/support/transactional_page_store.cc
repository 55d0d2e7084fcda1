#include "storage/tests/support/transactional_page_store.h"

#include "storage/src/panic.h"

namespace storage::test {

std::shared_ptr<TransactionalPageStore> TransactionalPageStore::create(Options options) {
  std::unique_ptr<StorageBackend> backend =
      options.file ? std::make_unique<MemoryBackend>(options.file)
                   : std::make_unique<MemoryBackend>();
  if (options.faults) {
    backend = std::make_unique<FaultInjectingBackend>(std::move(backend), options.faults);
  }
  auto opened = TransactionalMemory::open(std::move(backend), true, options.page_size,
                                          std::nullopt, options.cache_bytes, false);
  if (!opened.ok()) panic("open: " + opened.error().to_string());
  std::shared_ptr<TransactionalMemory> mem = std::move(opened).value();
  if (!mem->begin_writable().ok() || !mem->reset_allocator_state().ok()) panic("begin_writable");
  std::shared_ptr<TransactionalPageStore> store(new TransactionalPageStore(mem));
  store->baseline_ = store->all_allocated_units();
  return store;
}

Result<PageNumberSet, StorageError> TransactionalPageStore::commit(
    std::optional<BtreeHeader> root) {
  TRY(mem_->commit(root, std::nullopt, TransactionId(next_transaction_++), false,
                   TrimPolicy::kNever));
  return allocator_.take_allocated_since_commit();
}

Result<void, StorageError> TransactionalPageStore::flush() {
  return mem_->commit(mem_->get_data_root(), mem_->get_system_root(),
                      TransactionId(next_transaction_++), false, TrimPolicy::kNever);
}

PageUnits allocated_units_of(TransactionalMemory& mem) {
  return mem.with_allocators([](const Allocators& allocators, const DatabaseLayout&) {
    PageUnits out;
    const auto& buddies = allocators.buddies();
    for (uint32_t region = 0; region < buddies.size(); ++region) {
      const BuddyAllocator& buddy = buddies[region];
      std::vector<bool> free(buddy.len(), false);
      for (uint8_t order = 0; order <= buddy.max_order(); ++order) {
        const BtreeBitmap& bitmap = buddy.order_bitmap(order);
        for (uint32_t j = 0; j < bitmap.len(); ++j) {
          if (!bitmap.exists_clear(j)) continue;
          const uint64_t start = uint64_t{j} << order;
          for (uint64_t i = 0; i < (uint64_t{1} << order) && start + i < free.size(); ++i) {
            free[start + i] = true;
          }
        }
      }
      for (uint64_t p = 0; p < free.size(); ++p) {
        if (!free[p]) out.emplace(region, p);
      }
    }
    return out;
  });
}

PageUnits TransactionalPageStore::all_allocated_units() const {
  return allocated_units_of(*mem_);
}

PageUnits TransactionalPageStore::allocated_units() const {
  PageUnits out;
  for (const auto& unit : all_allocated_units()) {
    if (!baseline_.contains(unit)) out.insert(unit);
  }
  return out;
}

}  // namespace storage::test
