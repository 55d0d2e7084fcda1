#include "storage/src/tree_store/page_store/cached_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "storage/src/panic.h"

namespace storage {

namespace {

constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value";
constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";

// A run asked for at another length than its cached copy: one of the two page
// numbers came from a damaged file (two page numbers of different orders can
// share an offset). Nothing cached is changed.
StorageError length_mismatch(size_t requested, size_t cached, uint64_t offset) {
  return StorageError::Corrupted("Page run at offset " + std::to_string(offset) + " read as " +
                                 std::to_string(requested) + " bytes but cached as " +
                                 std::to_string(cached) + " bytes");
}

// Every blocking lock of a poisoned stripe panics in turn.
WriteBufferStripe::Guard lock_stripe(WriteBufferStripe& stripe) {
  auto r = stripe.lock();
  if (!r.ok()) panic(kUnwrapErr);
  return std::move(r).value();
}

}  // namespace

// ---- WritablePage ----------------------------------------------------------

WritablePage& WritablePage::operator=(WritablePage&& o) noexcept {
  if (this != &o) {
    give_back();
    stripe_ = std::move(o.stripe_);
    buffer_ = std::move(o.buffer_);
    offset_ = o.offset_;
  }
  return *this;
}

WritablePage::~WritablePage() { give_back(); }

void WritablePage::give_back() noexcept {
  if (stripe_ == nullptr) return;
  {
    // A destructor cannot panic; a poisoned stripe still takes its page back.
    auto guard = stripe_->lock_ignoring_poison();
    if (!guard->return_buffer(offset_, std::move(buffer_))) {
      std::fputs(
          "assertion failed: self.cache.get_mut(key).unwrap().replace(value).is_none()\n",
          stderr);
      std::abort();
    }
  }
  stripe_.reset();
}

// ---- PagedCachedFile -------------------------------------------------------

PagedCachedFile::PagedCachedFile(std::unique_ptr<StorageBackend> file, uint64_t page_size,
                                 size_t max_cache_bytes)
    : file_(std::move(file)), page_size_(page_size), max_cache_bytes_(max_cache_bytes) {
  STORAGE_ASSERT(file_ != nullptr);
  STORAGE_ASSERT(page_size_ > 0);
  for (auto& stripe : write_buffer_) stripe = std::make_shared<WriteBufferStripe>();
  for (size_t s = 0; s < kCacheStripes; ++s) write_lock(s)->set_table_arena(&table_arena_);
  if (PageBuffer::block_bytes_for(page_size_) <= PageArena::kChunkAlignment) {
    arena_ = PageArena::create(PageBuffer::block_bytes_for(page_size_));
  }
}

ReadCache::ReadGuard PagedCachedFile::read_lock(size_t stripe) const {
  auto r = read_cache_.read(stripe);
  if (!r.ok()) panic(kUnwrapErr);
  return std::move(r).value();
}

ReadCache::WriteGuard PagedCachedFile::write_lock(size_t stripe) const {
  auto r = read_cache_.write(stripe);
  if (!r.ok()) panic(kUnwrapErr);
  return std::move(r).value();
}

Result<void, StorageError> PagedCachedFile::check_io() const {
  if (io_failed_.load(std::memory_order_acquire)) {
    if (closed_.load(std::memory_order_acquire)) return Err{StorageError::DatabaseClosed()};
    return Err{StorageError::PreviousIo()};
  }
  return {};
}

// Every backend failure makes the file refuse further I/O.
#define STORAGE_BACKEND_CALL(expr)                          \
  do {                                                      \
    auto backend_r_ = (expr);                               \
    if (!backend_r_.ok()) {                                 \
      io_failed_.store(true, std::memory_order_release);    \
      return Err{StorageError::Io(std::move(backend_r_).error())}; \
    }                                                       \
  } while (0)

Result<PageBuffer, StorageError> PagedCachedFile::read_from_file(uint64_t offset,
                                                                 size_t len) const {
  TRY(check_io());
  PageBuffer buffer = PageBuffer::zeroed(len, arena_.get());
  STORAGE_BACKEND_CALL(file_->read(offset, {buffer.mutable_data(), len}));
  buffer.mark_read_from_file();
  return buffer;
}

Result<void, StorageError> PagedCachedFile::write_to_file(uint64_t offset,
                                                          const PageBuffer& bytes) const {
  TRY(check_io());
  STORAGE_BACKEND_CALL(file_->write(offset, bytes.bytes()));
  return {};
}

Result<std::vector<uint8_t>, StorageError> PagedCachedFile::read_direct(uint64_t offset,
                                                                       size_t len) const {
  TRY(check_io());
  std::vector<uint8_t> out(len);
  STORAGE_BACKEND_CALL(file_->read(offset, out));
  return out;
}

Result<void, StorageError> PagedCachedFile::read_direct_into(uint64_t offset,
                                                             std::span<uint8_t> out) const {
  TRY(check_io());
  STORAGE_BACKEND_CALL(file_->read(offset, out));
  return {};
}

Result<uint64_t, StorageError> PagedCachedFile::file_len() const {
  TRY(check_io());
  auto r = file_->len();
  if (!r.ok()) {
    io_failed_.store(true, std::memory_order_release);
    return Err{StorageError::Io(std::move(r).error())};
  }
  return r.value();
}

Result<PageBuffer, StorageError> PagedCachedFile::read(uint64_t offset, size_t len,
                                                       PageReadHint hint) const {
  TRY_ASSIGN(PinnedRun run, read_pinned(offset, len, hint));
  return run.share();
}

Result<PinnedRun, StorageError> PagedCachedFile::read_pinned(uint64_t offset, size_t len,
                                                             PageReadHint hint) const {
  const size_t s = offset % kCacheStripes;
  if (hint == PageReadHint::kMayBeDirty) {
    auto guard = lock_stripe(*write_buffer_[s]);
    if (std::optional<PageBuffer>* slot = guard->get(offset)) {
      // Lent out: only a damaged page number reaches a run being written.
      if (!slot->has_value()) {
        return Err{StorageError::Corrupted("Page run at offset " + std::to_string(offset) +
                                           " is read while it is lent out for writing")};
      }
      if ((*slot)->size() != len) return Err{length_mismatch(len, (*slot)->size(), offset)};
      return PinnedRun(**slot);
    }
  }
  {
    auto guard = read_lock(s);
    uint32_t head = 0;
    if (const PageBuffer* hit = guard->get_tagged(offset, head)) {
      if (hit->size() != len) return Err{length_mismatch(len, hit->size(), offset)};
      return PinnedRun(std::move(guard), hit, head);
    }
  }
  TRY_ASSIGN(PageBuffer buffer, read_miss(offset, len));
  return PinnedRun(std::move(buffer));
}

Result<PageBuffer, StorageError> PagedCachedFile::read_miss(uint64_t offset, size_t len) const {
  const size_t s = offset % kCacheStripes;
  TRY_ASSIGN(PageBuffer buffer, read_from_file(offset, len));

  size_t cache_size = read_cache_bytes_.fetch_add(len, std::memory_order_relaxed) + len;
  auto guard = write_lock(s);
  if (auto replaced = guard->insert(offset, buffer, run_head(buffer))) {
    read_cache_bytes_.fetch_sub(replaced->size(), std::memory_order_relaxed);
    cache_size -= replaced->size();
  }
  if (len != 0 &&
      cache_size + write_buffer_bytes_.load(std::memory_order_relaxed) > max_cache_bytes_) {
    // Make room in this stripe only; the buffer just inserted may go too.
    size_t removed = 0;
    while (removed < len) {
      auto evicted = guard->pop_lowest_priority();
      if (!evicted) break;
      removed += evicted->second.size();
    }
    read_cache_bytes_.fetch_sub(removed, std::memory_order_relaxed);
  }
  return buffer;
}

Result<size_t, StorageError> PagedCachedFile::flush_lowest_priority(LRUWriteCache& stripe,
                                                                    size_t target) const {
  size_t freed = 0;
  while (!stripe.is_empty()) {
    // Find an unlent page; lent ones go back to the queue's end.
    std::optional<std::pair<uint64_t, PageBuffer>> found;
    for (size_t attempts = stripe.len(); attempts > 0; --attempts) {
      auto popped = stripe.pop_lowest_priority();
      if (!popped) break;
      // A page a write-back is writing now stays for it.
      if (popped->second.has_value() && !in_flight(popped->first)) {
        found.emplace(popped->first, std::move(*popped->second));
        break;
      }
      stripe.reinsert(popped->first, std::move(popped->second));
    }
    if (!found) break;
    auto written = write_to_file(found->first, found->second);
    if (!written.ok()) {
      stripe.reinsert(found->first, std::move(found->second));
      return std::move(written).take_err();
    }
    const size_t len = found->second.size();
    write_buffer_bytes_.fetch_sub(len, std::memory_order_relaxed);
    freed += len;
    if (freed >= target) break;
  }
  return freed;
}

Result<WritablePage, StorageError> PagedCachedFile::write(uint64_t offset, size_t len,
                                                          bool overwrite) const {
  STORAGE_ASSERT(offset % page_size_ == 0);
  const size_t s = offset % kCacheStripes;
  const std::shared_ptr<WriteBufferStripe>& stripe = write_buffer_[s];
  std::optional<WriteBufferStripe::Guard> held = lock_unless_in_flight(*stripe, offset);
  WriteBufferStripe::Guard& guard = *held;

  std::optional<PageBuffer> cached;
  {
    auto rc = write_lock(s);
    cached = rc->remove(offset);
  }
  if (cached) {
    read_cache_bytes_.fetch_sub(cached->size(), std::memory_order_relaxed);
    // A copy of another length was read through a damaged page number that
    // shares this offset; it is stale now that the run is lent at this length.
    if (cached->size() != len) cached.reset();
  }

  if (std::optional<PageBuffer>* slot = guard->get(offset);
      slot != nullptr && slot->has_value() && (*slot)->size() != len) {
    return Err{length_mismatch(len, (*slot)->size(), offset)};
  }
  if (std::optional<PageBuffer> buffered = guard->take_buffer(offset)) {
    return WritablePage(stripe, std::move(*buffered), offset);
  }

  size_t buffered_bytes = write_buffer_bytes_.fetch_add(len, std::memory_order_relaxed) + len;
  // From here on, a failed lending takes its length back off the count.
  auto fail = [&](StorageError e) -> Result<WritablePage, StorageError> {
    write_buffer_bytes_.fetch_sub(len, std::memory_order_relaxed);
    return Err{std::move(e)};
  };

  const size_t half = max_cache_bytes_ / 2;
  if (buffered_bytes > half) {
    const size_t excess = buffered_bytes - half;
    auto own = flush_lowest_priority(*guard, excess);
    if (!own.ok()) return fail(std::move(own).error());
    size_t freed = own.value();
    // Other stripes only when free right now: two lenders relieving each
    // other's stripes never wait on each other.
    for (size_t i = 1; i < kCacheStripes && freed < excess; ++i) {
      auto other = write_buffer_[(s + i) % kCacheStripes]->try_lock();
      if (!other) continue;
      auto more = flush_lowest_priority(**other, excess - freed);
      if (!more.ok()) return fail(std::move(more).error());
      freed += more.value();
    }
    buffered_bytes = write_buffer_bytes_.load(std::memory_order_relaxed);
  }

  const size_t cache_bytes = read_cache_bytes_.load(std::memory_order_relaxed);
  if (cache_bytes + buffered_bytes > max_cache_bytes_) {
    const size_t excess = cache_bytes + buffered_bytes - max_cache_bytes_;
    size_t freed = 0;
    const size_t start = eviction_cursor_.fetch_add(1, std::memory_order_relaxed);
    for (size_t i = 0; i < kCacheStripes && freed < excess; ++i) {
      auto rc = write_lock((start + i) % kCacheStripes);
      while (freed < excess) {
        auto evicted = rc->pop_lowest_priority();
        if (!evicted) break;
        const size_t n = evicted->second.size();
        read_cache_bytes_.fetch_sub(n, std::memory_order_relaxed);
        freed += n;
      }
    }
  }

  PageBuffer data;
  if (cached) {
    data = std::move(*cached);
  } else if (overwrite) {
    // New pages of a write transaction come from the general allocator: a
    // bulk load makes them by the hundred thousand, and first touches of
    // fresh huge pages cost far more than those of small pages that the
    // system recycles. Pages read from the file, which live on in the read
    // cache, come from the arena.
    data = PageBuffer::zeroed(len);
  } else {
    auto r = read_from_file(offset, len);
    if (!r.ok()) return fail(std::move(r).error());
    data = std::move(r).value();
  }
  guard->insert(offset, std::move(data));
  std::optional<PageBuffer> lent = guard->take_buffer(offset);
  STORAGE_ASSERT(lent.has_value());
  return WritablePage(stripe, std::move(*lent), offset);
}

bool PagedCachedFile::in_flight(uint64_t offset) const {
  if (!write_back_running_.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(write_back_mu_);
  return in_flight_.contains(offset);
}

std::optional<WriteBufferStripe::Guard> PagedCachedFile::lock_unless_in_flight(
    WriteBufferStripe& stripe, uint64_t offset) const {
  std::optional<WriteBufferStripe::Guard> guard;
  for (;;) {
    guard.emplace(lock_stripe(stripe));
    if (!in_flight(offset)) return guard;
    // Waited for with no stripe held: the write-back needs them.
    guard.reset();
    std::unique_lock<std::mutex> lock(write_back_mu_);
    write_back_done_.wait(lock, [&] { return !in_flight_.contains(offset); });
  }
}

Result<void, StorageError> PagedCachedFile::flush_write_buffer() const {
  // One write-back at a time.
  {
    std::unique_lock<std::mutex> lock(write_back_mu_);
    write_back_done_.wait(lock, [&] { return !write_back_running_.load(); });
    write_back_running_.store(true, std::memory_order_release);
  }
  // Whatever way the write-back ends, its pages are free again.
  struct End {
    const PagedCachedFile* file;
    ~End() {
      {
        std::lock_guard<std::mutex> lock(file->write_back_mu_);
        file->in_flight_.clear();
        file->write_back_running_.store(false, std::memory_order_release);
      }
      file->write_back_done_.notify_all();
    }
  } end{this};

  // Adjacent pages sit in different stripes, so the whole buffer is gathered
  // (one stripe locked at a time) and written in offset order, each run of
  // adjacent pages with one backend call. A gathered page is marked in flight
  // under its stripe's lock: until the write-back ends nobody lends, frees or
  // replaces it, so its old bytes never land in the file after newer ones.
  std::vector<std::pair<uint64_t, PageBuffer>> dirty;
  std::vector<uint64_t> offsets;
  for (size_t s = 0; s < kCacheStripes; ++s) {
    auto guard = lock_stripe(*write_buffer_[s]);
    offsets.clear();
    guard->for_each([&](uint64_t offset, std::optional<PageBuffer>& slot) {
      if (!slot.has_value()) panic(kUnwrapNone);  // lent out
      dirty.emplace_back(offset, *slot);
      offsets.push_back(offset);
    });
    if (offsets.empty()) continue;
    std::lock_guard<std::mutex> lock(write_back_mu_);
    in_flight_.insert(offsets.begin(), offsets.end());
  }
  if (dirty.empty()) return {};
  std::sort(dirty.begin(), dirty.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });

  // A failure leaves every page buffered: the ones not yet written, and the
  // ones written, which a later write-back writes again.
  std::vector<std::span<const uint8_t>> parts;
  for (size_t i = 0; i < dirty.size();) {
    const uint64_t start = dirty[i].first;
    uint64_t end_offset = start;
    size_t run_bytes = 0;
    parts.clear();
    for (; i < dirty.size() && dirty[i].first == end_offset &&
           (parts.empty() || (run_bytes < kMaxWriteRunBytes && parts.size() < kMaxWriteRunPages));
         ++i) {
      parts.push_back(dirty[i].second.bytes());
      run_bytes += dirty[i].second.size();
      end_offset += dirty[i].second.size();
    }
    TRY(check_io());
    STORAGE_BACKEND_CALL(file_->write_gathered(start, parts));
  }

  // The written pages leave the write buffer; pages buffered meanwhile (at
  // offsets that were not in flight) stay for the next write-back.
  auto written = [&](uint64_t offset, const std::optional<PageBuffer>& slot) {
    if (!slot.has_value()) return false;
    auto it = std::lower_bound(dirty.begin(), dirty.end(), offset,
                               [](const auto& d, uint64_t o) { return d.first < o; });
    return it != dirty.end() && it->first == offset && it->second.same_bytes(*slot);
  };
  std::vector<uint64_t> moved;
  for (size_t s = 0; s < kCacheStripes; ++s) {
    auto guard = lock_stripe(*write_buffer_[s]);
    moved.clear();
    size_t entries = 0;
    guard->for_each([&](uint64_t offset, std::optional<PageBuffer>& slot) {
      ++entries;
      if (!written(offset, slot)) return;
      moved.push_back(offset);
      PageBuffer page = std::move(*slot);
      slot.reset();
      const size_t len = page.size();
      const size_t cache_size = read_cache_bytes_.fetch_add(len, std::memory_order_relaxed) + len;
      if (cache_size > max_cache_bytes_) {
        read_cache_bytes_.fetch_sub(len, std::memory_order_relaxed);
      } else {
        const uint32_t head = run_head(page);
        auto rc = write_lock(offset % kCacheStripes);
        if (auto replaced = rc->insert(offset, std::move(page), head)) {
          read_cache_bytes_.fetch_sub(replaced->size(), std::memory_order_relaxed);
        }
      }
      write_buffer_bytes_.fetch_sub(len, std::memory_order_relaxed);
    });
    if (moved.size() == entries) {
      guard->clear();
    } else {
      for (uint64_t offset : moved) (void)guard->remove(offset);
    }
  }
  return {};
}

Result<void, StorageError> PagedCachedFile::flush() const {
  TRY(flush_write_buffer());
  return sync_data();
}

Result<void, StorageError> PagedCachedFile::sync_data() const {
  TRY(check_io());
  STORAGE_BACKEND_CALL(file_->sync_data());
  return {};
}

void PagedCachedFile::invalidate_cache(uint64_t offset, size_t len) const {
  std::optional<PageBuffer> removed;
  {
    auto rc = write_lock(offset % kCacheStripes);
    removed = rc->remove(offset);
  }
  // A copy of another length (read through a damaged page number) goes too.
  (void)len;
  if (removed) read_cache_bytes_.fetch_sub(removed->size(), std::memory_order_relaxed);
}

void PagedCachedFile::cancel_pending_write(uint64_t offset) const {
  STORAGE_ASSERT(offset % page_size_ == 0);
  std::optional<WriteBufferStripe::Guard> held =
      lock_unless_in_flight(*write_buffer_[offset % kCacheStripes], offset);
  WriteBufferStripe::Guard& guard = *held;
  // Checked before removing, so that a lent page keeps its slot to return to.
  if (std::optional<PageBuffer>* slot = guard->get(offset)) {
    if (!slot->has_value()) panic("assertion failed: value.is_some()");
    const size_t len = (*slot)->size();
    (void)guard->remove(offset);
    write_buffer_bytes_.fetch_sub(len, std::memory_order_relaxed);
  }
}

void PagedCachedFile::invalidate_cache_all() const {
  for (size_t s = 0; s < kCacheStripes; ++s) {
    auto rc = write_lock(s);
    while (auto evicted = rc->pop_lowest_priority()) {
      read_cache_bytes_.fetch_sub(evicted->second.size(), std::memory_order_relaxed);
    }
  }
}

void PagedCachedFile::invalidate_read_cache_above(uint64_t len) const {
  for (size_t s = 0; s < kCacheStripes; ++s) {
    auto rc = write_lock(s);
    std::vector<uint64_t> doomed;
    rc->for_each([&](uint64_t offset, const PageBuffer&) {
      if (offset >= len) doomed.push_back(offset);
    });
    for (uint64_t offset : doomed) {
      if (auto removed = rc->remove(offset)) {
        read_cache_bytes_.fetch_sub(removed->size(), std::memory_order_relaxed);
      }
    }
  }
}

Result<void, StorageError> PagedCachedFile::resize(uint64_t len) const {
  TRY(check_io());
  TRY_ASSIGN(const uint64_t current, file_len());
  if (len < current) invalidate_read_cache_above(len);
  TRY(check_io());
  STORAGE_BACKEND_CALL(file_->set_len(len));
  return {};
}

Result<void, StorageError> PagedCachedFile::truncate(uint64_t len) const {
  TRY(check_io());
  invalidate_read_cache_above(len);
  auto r = file_->set_len(len);
  if (!r.ok()) return Err{StorageError::Io(std::move(r).error())};
  return {};
}

Result<void, StorageError> PagedCachedFile::close() const {
  closed_.store(true, std::memory_order_release);
  io_failed_.store(true, std::memory_order_release);
  auto r = file_->close();
  if (!r.ok()) return Err{StorageError::Io(std::move(r).error())};
  return {};
}

#undef STORAGE_BACKEND_CALL

}  // namespace storage
