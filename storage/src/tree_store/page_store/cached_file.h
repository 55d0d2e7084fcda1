// PagedCachedFile: the page cache between the page store and its backend, and
// the backend's only caller. Page runs are keyed by their byte offset; a read
// cache and a write buffer, each split into 131 stripes (stripe = offset mod
// 131), share one byte budget. Write-buffer pages are lent out as WritablePage
// for in-place change and come back when the borrower releases them; pages are
// written back when the write buffer outgrows half the budget and on flush.
//
// Failures are sticky: the first failed backend call sets io_failed, and from
// then on every file access fails with PreviousIo (DatabaseClosed once closed)
// without calling the backend; pages still cached keep answering.
//
// Lock order: a write-buffer stripe before a read-cache stripe, never the
// reverse; a second write-buffer stripe only by try-lock. The write-back mutex
// comes last, held only for a moment; waiting for a write-back to end happens
// with no stripe held.
//
// While flush_write_buffer writes, the pages it gathered are in flight: lending
// or cancelling one waits until the write-back ends, and freeing space skips
// it, so that no old bytes reach the file after newer ones.
//
// Read hits are read-mostly: a read-cache stripe is read-locked through the
// calling thread's own reader slot (StripedRwLock), the entry's recently-used
// flag is written only when not yet set, and read_pinned() lends a hit's bytes
// without touching its reference count. So readers of the same hot pages on
// different threads write no common cache line. A thread holds at most one
// PinnedRun at a time and calls nothing of the cache while holding it.
//
// Thread safety: every operation may be called from many threads at once. A
// WritablePage has one owner, and may outlive the PagedCachedFile.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/sync.h"
#include "storage/src/tree_store/page_store/backends.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/tree_store/page_store/fast_hasher.h"
#include "storage/src/tree_store/page_store/lru_cache.h"
#include "storage/src/tree_store/page_store/page_arena.h"
#include "storage/src/tree_store/page_store/page_buffer.h"

namespace storage {

// Passed with every page read: kMayBeDirty (write transaction, repair) looks in
// the write buffer first; kCommitted (read transactions) skips it.
enum class PageReadHint : uint8_t { kMayBeDirty = 0, kCommitted = 1 };

inline constexpr size_t kCacheStripes = 131;
inline constexpr size_t kDefaultCacheBytes = 0x40000000;
// Limits of one write-back call for a run of adjacent buffered pages.
inline constexpr size_t kMaxWriteRunBytes = size_t{4} << 20;
inline constexpr size_t kMaxWriteRunPages = 1024;

using WriteBufferStripe = Mutex<LRUWriteCache>;
// The read cache: per stripe a second-chance cache of shared page buffers,
// read-locked without a write to any cache line that other threads' readers
// write, so that hits on hot pages (a tree's upper levels) scale across threads.
using ReadCache = StripedRwLock<LRUCache<PageBuffer>, kCacheStripes>;
// A read-cache hit reads one line of the table: offset, buffer and head together.
static_assert(LRUCache<PageBuffer>::slot_bytes() == 32);

// A run's first four bytes (little-endian; 0 for a shorter run). The read
// cache keeps them beside the buffer, so that a hit tells a tree page's type
// and count before its bytes arrive. Cached bytes never change, so the copy
// stays exact.
inline uint32_t run_head(const PageBuffer& run) {
  return run.size() < 4 ? 0 : load_le32(run.data());
}

// The bytes of one page run, held for a short read. Either borrowed from the
// read cache, with its stripe read-locked and no reference taken (a hit writes
// nothing that other readers share), or holding its own reference (a page from
// the write buffer or just read from the file). A thread holds at most one
// borrowed run at a time, briefly, and calls nothing else of the page cache
// meanwhile: the stripe's writers wait for it.
class PinnedRun {
 public:
  PinnedRun() = default;
  explicit PinnedRun(PageBuffer owned) : owned_(std::move(owned)) {}
  PinnedRun(PinnedRun&& o) noexcept { take(std::move(o)); }
  PinnedRun& operator=(PinnedRun&& o) noexcept {
    if (this != &o) {
      release();
      take(std::move(o));
    }
    return *this;
  }
  PinnedRun(const PinnedRun&) = delete;
  PinnedRun& operator=(const PinnedRun&) = delete;
  ~PinnedRun() { release(); }

  std::span<const uint8_t> bytes() const { return buffer().bytes(); }
  const PageBuffer& buffer() const { return borrowed_ != nullptr ? *borrowed_ : owned_; }
  // run_head of the bytes; for a borrowed run without touching them.
  uint32_t head() const { return borrowed_ != nullptr ? head_ : run_head(owned_); }
  // Another reference to the bytes, which outlives the pin.
  PageBuffer share() const { return buffer(); }
  bool borrowed() const { return borrowed_ != nullptr; }
  // Unlocks a borrowed run's stripe (or drops the reference) now.
  void release() noexcept {
    guard_.reset();
    borrowed_ = nullptr;
    owned_ = PageBuffer();
  }

 private:
  friend class PagedCachedFile;
  PinnedRun(ReadCache::ReadGuard guard, const PageBuffer* borrowed, uint32_t head)
      : guard_(std::move(guard)), borrowed_(borrowed), head_(head) {}
  void take(PinnedRun&& o) noexcept {
    if (o.guard_) {
      guard_.emplace(std::move(*o.guard_));
      o.guard_.reset();
    }
    borrowed_ = std::exchange(o.borrowed_, nullptr);
    head_ = o.head_;
    owned_ = std::move(o.owned_);
  }

  std::optional<ReadCache::ReadGuard> guard_;
  const PageBuffer* borrowed_ = nullptr;
  uint32_t head_ = 0;
  PageBuffer owned_;
};

// A write-buffer page lent out for change. While lent, the write buffer keeps
// an empty slot for it and holds no other reference to its bytes; releasing
// the page puts the bytes back into that slot.
class WritablePage {
 public:
  WritablePage(WritablePage&& o) noexcept = default;
  WritablePage& operator=(WritablePage&& o) noexcept;
  WritablePage(const WritablePage&) = delete;
  WritablePage& operator=(const WritablePage&) = delete;
  ~WritablePage();

  uint64_t offset() const { return offset_; }
  std::span<const uint8_t> mem() const { return buffer_.bytes(); }
  const PageBuffer& buffer() const { return buffer_; }
  // Whether nobody else holds the bytes.
  bool unique() const { return buffer_.unique(); }
  // The bytes for writing, or null when another holder shares them.
  uint8_t* mutable_data_if_unique() { return buffer_.unique() ? buffer_.mutable_data() : nullptr; }

 private:
  friend class PagedCachedFile;
  WritablePage(std::shared_ptr<WriteBufferStripe> stripe, PageBuffer buffer, uint64_t offset)
      : stripe_(std::move(stripe)), buffer_(std::move(buffer)), offset_(offset) {}
  void give_back() noexcept;

  std::shared_ptr<WriteBufferStripe> stripe_;
  PageBuffer buffer_;
  uint64_t offset_ = 0;
};

class PagedCachedFile {
 public:
  // Touches neither the file nor the budget; does not fail.
  PagedCachedFile(std::unique_ptr<StorageBackend> file, uint64_t page_size,
                  size_t max_cache_bytes);
  PagedCachedFile(const PagedCachedFile&) = delete;
  PagedCachedFile& operator=(const PagedCachedFile&) = delete;

  // The page run's current bytes: the write buffer (kMayBeDirty only), then the
  // read cache, then the file, filling the read cache. A copy cached at another
  // length (page numbers of two orders share the offset, one of them damaged)
  // is Corrupted and stays as it is.
  Result<PageBuffer, StorageError> read(uint64_t offset, size_t len, PageReadHint hint) const;
  // The same bytes as read(), but a read-cache hit is borrowed in place rather
  // than shared (see PinnedRun).
  Result<PinnedRun, StorageError> read_pinned(uint64_t offset, size_t len,
                                              PageReadHint hint) const;
  // Lends the page run for change. With `overwrite` the caller replaces every
  // byte, so an uncached page is not read from the file but zero-filled. A
  // read-cache copy of another length is stale and dropped; a buffered page of
  // another length is Corrupted.
  Result<WritablePage, StorageError> write(uint64_t offset, size_t len, bool overwrite) const;
  // Writes every buffered page back (unsynced) and moves it into the read cache
  // as far as the budget allows; the write buffer is empty afterwards (but for
  // pages buffered meanwhile). No page can be lent, freed or replaced while its
  // bytes are in flight. A failure leaves every page buffered. One write-back
  // runs at a time.
  Result<void, StorageError> flush_write_buffer() const;
  // flush_write_buffer, then a data sync.
  Result<void, StorageError> flush() const;
  // The sticky-failure check, then a data sync alone: pages lent out or still
  // buffered stay where they are.
  Result<void, StorageError> sync_data() const;
  // PreviousIo after a failed call, DatabaseClosed once closed, else success.
  Result<void, StorageError> check_io() const;
  bool io_failed() const { return io_failed_.load(std::memory_order_acquire); }
  // Reads from the file, bypassing both caches.
  Result<std::vector<uint8_t>, StorageError> read_direct(uint64_t offset, size_t len) const;
  // The same into `out` (the run's length).
  Result<void, StorageError> read_direct_into(uint64_t offset, std::span<uint8_t> out) const;
  // The same when the backend can without waiting for the device (see
  // StorageBackend::read_if_cached): whether it did. Never a failure.
  bool read_direct_if_cached(uint64_t offset, std::span<uint8_t> out) const {
    return !io_failed() && file_->read_if_cached(offset, out);
  }
  // Passes a hint that the range will be read soon to the backend.
  void prefetch(uint64_t offset, uint64_t len) const {
    if (!io_failed()) file_->prefetch(offset, len);
  }
  // Forgets the read-cache copy of one page run, whatever its cached length.
  void invalidate_cache(uint64_t offset, size_t len) const;
  // Forgets a buffered write without writing it.
  void cancel_pending_write(uint64_t offset) const;
  // Empties the read cache; the write buffer is untouched.
  void invalidate_cache_all() const;
  // Sets the file length; shrinking first drops cached copies at or past the end.
  Result<void, StorageError> resize(uint64_t len) const;
  // Shrinks the file to `len`, dropping cached copies at or past it first. A
  // failure is returned but not sticky: the bytes below `len` are the same
  // whether or not the file got shorter, so the file stays usable.
  Result<void, StorageError> truncate(uint64_t len) const;
  Result<uint64_t, StorageError> file_len() const;
  // Marks the file closed (and failed), then closes the backend.
  Result<void, StorageError> close() const;

  uint64_t page_size() const { return page_size_; }
  size_t max_cache_bytes() const { return max_cache_bytes_; }
  size_t read_cache_bytes() const { return read_cache_bytes_.load(std::memory_order_relaxed); }
  size_t write_buffer_bytes() const {
    return write_buffer_bytes_.load(std::memory_order_relaxed);
  }

 private:
  Result<PageBuffer, StorageError> read_from_file(uint64_t offset, size_t len) const;
  Result<void, StorageError> write_to_file(uint64_t offset, const PageBuffer& bytes) const;
  // Writes back unlent pages of one locked write-buffer stripe, lowest
  // priority first, until `target` bytes are freed or none is left.
  Result<size_t, StorageError> flush_lowest_priority(LRUWriteCache& stripe, size_t target) const;
  void invalidate_read_cache_above(uint64_t len) const;
  // Whether a running write-back is writing the page at `offset`.
  bool in_flight(uint64_t offset) const;
  // Locks the offset's write-buffer stripe once the page there is not in
  // flight, waiting (with no stripe held) for the write-back otherwise.
  std::optional<WriteBufferStripe::Guard> lock_unless_in_flight(WriteBufferStripe& stripe,
                                                                uint64_t offset) const;

  Result<PageBuffer, StorageError> read_miss(uint64_t offset, size_t len) const;
  ReadCache::ReadGuard read_lock(size_t stripe) const;
  ReadCache::WriteGuard write_lock(size_t stripe) const;

  // The read cache's larger slot tables; declared first so that it outlives
  // the tables.
  TableArena table_arena_;
  mutable ReadCache read_cache_;
  std::array<std::shared_ptr<WriteBufferStripe>, kCacheStripes> write_buffer_;
  std::unique_ptr<StorageBackend> file_;
  // Where single-page buffers read from the file come from; buffers may
  // outlive the cache, and the arena lives until the last of them is freed.
  PageArena::Owner arena_;
  mutable std::atomic<bool> io_failed_{false};
  mutable std::atomic<bool> closed_{false};
  uint64_t page_size_;
  mutable std::atomic<size_t> read_cache_bytes_{0};
  mutable std::atomic<size_t> write_buffer_bytes_{0};
  size_t max_cache_bytes_;
  mutable std::atomic<size_t> eviction_cursor_{0};
  // The running write-back and the offsets it is writing. The flag is set
  // before any page is marked and cleared with the marks, so a lender that
  // sees it clear under its stripe lock has nothing to wait for.
  mutable std::mutex write_back_mu_;
  mutable std::condition_variable write_back_done_;
  mutable std::atomic<bool> write_back_running_{false};
  mutable std::unordered_set<uint64_t, FastHasher64> in_flight_;
};

}  // namespace storage
