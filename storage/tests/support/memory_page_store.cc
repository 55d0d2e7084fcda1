#include "storage/tests/support/memory_page_store.h"

#include "storage/src/panic.h"

namespace storage::test {

std::shared_ptr<MemoryPageStore> MemoryPageStore::create(Options options) {
  std::shared_ptr<MemoryPageStore> store(new MemoryPageStore(std::move(options)));
  store->self_ = store;
  return store;
}

MemoryPageStore::MemoryPageStore(Options options) : page_size_(options.page_size) {
  std::unique_ptr<StorageBackend> backend = std::make_unique<MemoryBackend>();
  if (options.faults) {
    backend = std::make_unique<FaultInjectingBackend>(std::move(backend), options.faults);
  }
  cache_ = std::make_unique<PagedCachedFile>(std::move(backend), page_size_, options.cache_bytes);
}

std::shared_ptr<const WritablePageSource> MemoryPageStore::writable() const {
  return make_writable_page_source(std::const_pointer_cast<MemoryPageStore>(self_.lock()));
}

std::shared_ptr<const PageSource> MemoryPageStore::readable() const {
  return make_page_source(std::const_pointer_cast<MemoryPageStore>(self_.lock()));
}

uint64_t MemoryPageStore::offset_of(PageNumber page) const {
  STORAGE_ASSERT(page.region == 0);
  return page_size_ * (1 + (uint64_t{page.page_index} << page.page_order));
}

Result<PageImpl, StorageError> MemoryPageStore::get_page(PageNumber page,
                                                         PageReadHint hint) const {
  TRY_ASSIGN(PageBuffer bytes, cache_->read(offset_of(page), length_of(page), hint));
  return PageImpl(std::move(bytes), page);
}

Result<PageMut, StorageError> MemoryPageStore::get_page_mut(PageNumber page) const {
  TRY_ASSIGN(WritablePage bytes, cache_->write(offset_of(page), length_of(page), false));
  return PageMut(std::move(bytes), page);
}

Result<PageMut, StorageError> MemoryPageStore::allocate(size_t size,
                                                        const PageTrackerRef& tracker) const {
  uint8_t order = 0;
  while ((page_size_ << order) < size) ++order;
  const size_t run = size_t{1} << order;
  PageNumber page;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++allocations_;
    if (fail_at_ && allocations_ == *fail_at_) {
      return Err{StorageError::Io(IoError::other("injected allocation failure"))};
    }
    size_t start = 0;
    while (true) {
      if (used_.size() < start + run) used_.resize(start + run, false);
      size_t i = 0;
      while (i < run && !used_[start + i]) ++i;
      if (i == run) break;
      start += run;
    }
    for (size_t i = 0; i < run; ++i) used_[start + i] = true;
    page = PageNumber(0, static_cast<uint32_t>(start >> order), order);
    allocated_.insert(page);
  }
  auto lent = cache_->write(offset_of(page), length_of(page), true);
  if (!lent.ok()) {
    std::lock_guard<std::mutex> lock(mu_);
    release(page);
    return std::move(lent).take_err();
  }
  tracker->insert(page);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!uncommitted_.insert(page).second) {
      panic("assertion failed: self.shard(page).lock().unwrap().insert(page)");
    }
  }
  return PageMut(std::move(lent).value(), page);
}

void MemoryPageStore::release(PageNumber page) const {
  STORAGE_ASSERT(allocated_.erase(page) == 1);
  const size_t start = size_t{page.page_index} << page.page_order;
  for (size_t i = 0; i < (size_t{1} << page.page_order); ++i) used_[start + i] = false;
}

bool MemoryPageStore::uncommitted(PageNumber page) const {
  std::lock_guard<std::mutex> lock(mu_);
  return uncommitted_.contains(page);
}

void MemoryPageStore::free(PageNumber page, const PageTrackerRef& tracker) const {
  tracker->remove(page);
  {
    std::lock_guard<std::mutex> lock(mu_);
    uncommitted_.erase(page);
    release(page);
  }
  // The freed contents are never written or read again.
  cache_->invalidate_cache(offset_of(page), length_of(page));
  cache_->cancel_pending_write(offset_of(page));
}

void MemoryPageStore::conditional_free(PageNumber page, const PageTrackerRef& tracker,
                                       std::vector<PageNumber>& freed) const {
  if (!free_if_uncommitted(page, tracker)) freed.push_back(page);
}

bool MemoryPageStore::free_if_uncommitted(PageNumber page, const PageTrackerRef& tracker) const {
  if (!uncommitted(page)) return false;
  free(page, tracker);
  return true;
}

PageNumberSet MemoryPageStore::take_allocated_since_commit() const {
  std::lock_guard<std::mutex> lock(mu_);
  PageNumberSet out = std::move(uncommitted_);
  uncommitted_.clear();
  return out;
}

void MemoryPageStore::rollback_all() const {
  for (PageNumber page : take_allocated_since_commit()) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      release(page);
    }
    cache_->invalidate_cache(offset_of(page), length_of(page));
    cache_->cancel_pending_write(offset_of(page));
  }
}

Result<void, StorageError> MemoryPageStore::flush() const { return cache_->flush_write_buffer(); }

Result<PageNumberSet, StorageError> MemoryPageStore::commit(std::optional<BtreeHeader>) const {
  TRY(flush());
  return take_allocated_since_commit();
}

PageUnits units_of(const PageNumberSet& pages) {
  PageUnits out;
  for (PageNumber p : pages) {
    const uint64_t start = uint64_t{p.page_index} << p.page_order;
    for (uint64_t i = 0; i < (uint64_t{1} << p.page_order); ++i) out.emplace(p.region, start + i);
  }
  return out;
}

PageUnits MemoryPageStore::allocated_units() const { return units_of(allocated_pages()); }

void MemoryPageStore::fail_nth_allocation(uint64_t n) const {
  std::lock_guard<std::mutex> lock(mu_);
  fail_at_ = allocations_ + n;
}

uint64_t MemoryPageStore::allocations() const {
  std::lock_guard<std::mutex> lock(mu_);
  return allocations_;
}

PageNumberSet MemoryPageStore::allocated_pages() const {
  std::lock_guard<std::mutex> lock(mu_);
  return allocated_;
}

}  // namespace storage::test
