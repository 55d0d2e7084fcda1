// PageBuffer: the bytes of one page run, shared by reference count between the
// read cache, the write buffer and the page handles. A hit hands out another
// reference; the bytes never move or get copied while shared.
//
// Thread safety: copies of one buffer may live on different threads (the count
// is atomic). Writing through mutable_data() is allowed only to the sole holder,
// which unique() confirms.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace storage {

class PageArena;

class PageBuffer {
 public:
  // Alignment of the bytes; a page's u64 fields then never straddle a cache line.
  static constexpr size_t kAlignment = 64;
  // Whether arenas serve buffers at all: address-sanitized builds take every
  // buffer from the instrumented allocator, which then sees overruns.
#if defined(__SANITIZE_ADDRESS__)
  static constexpr bool kArenasInUse = false;
#else
  static constexpr bool kArenasInUse = true;
#endif

  PageBuffer() = default;
  // A buffer of `length` zero bytes. With an arena whose blocks fit exactly
  // this length, the bytes come from it (see PageArena); else from mimalloc.
  static PageBuffer zeroed(size_t length, PageArena* arena = nullptr);
  // A buffer of `length` bytes that the caller fills before sharing it.
  static PageBuffer uninitialized(size_t length, PageArena* arena = nullptr);
  // The arena block size that serves buffers of `length` bytes.
  static constexpr size_t block_bytes_for(size_t length) {
    return (kAlignment + length + kAlignment - 1) / kAlignment * kAlignment;
  }

  PageBuffer(const PageBuffer& o) noexcept : block_(o.block_), size_(o.size_) { retain(); }
  PageBuffer(PageBuffer&& o) noexcept
      : block_(std::exchange(o.block_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  PageBuffer& operator=(const PageBuffer& o) noexcept {
    if (this != &o) {
      o.retain();
      release();
      block_ = o.block_;
      size_ = o.size_;
    }
    return *this;
  }
  PageBuffer& operator=(PageBuffer&& o) noexcept {
    if (this != &o) {
      release();
      block_ = std::exchange(o.block_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ~PageBuffer() { release(); }

  // False for a default-constructed or moved-from buffer.
  explicit operator bool() const noexcept { return block_ != nullptr; }
  // The length is kept beside the pointer, so that reading a page's bytes
  // touches no line but the bytes' own.
  size_t size() const noexcept { return size_; }
  const uint8_t* data() const noexcept { return block_ == nullptr ? nullptr : bytes_of(block_); }
  std::span<const uint8_t> bytes() const noexcept { return {data(), size()}; }

  // True when this is the only reference; the acquire pairs with the release of
  // the other holders' drops, so their reads happen before our writes.
  bool unique() const noexcept {
    return block_ != nullptr && block_->refs.load(std::memory_order_acquire) == 1;
  }
  size_t use_count() const noexcept {
    return block_ == nullptr ? 0 : block_->refs.load(std::memory_order_acquire);
  }
  // Asks for the line of the reference count ahead of a copy (a guard about to
  // share the bytes), so that its miss overlaps other work.
  void prefetch_count() const noexcept {
    if (block_ != nullptr) __builtin_prefetch(block_, 1);
  }
  // The bytes for writing; only for the sole holder (callers check unique()).
  uint8_t* mutable_data() noexcept { return block_ == nullptr ? nullptr : bytes_of(block_); }
  // Whether the bytes were read from the file (and are untrusted), rather than
  // written in memory. Marked by the sole holder that filled them, before sharing.
  bool read_from_file() const noexcept { return block_ != nullptr && block_->read_from_file; }
  void mark_read_from_file() noexcept {
    if (block_ != nullptr) block_->read_from_file = true;
  }

  // Identity of the shared bytes, for tests and assertions.
  bool same_bytes(const PageBuffer& o) const noexcept { return block_ == o.block_; }

 private:
  struct Block {
    std::atomic<size_t> refs;
    PageArena* arena;  // null: from the general allocator
    bool read_from_file;
  };
  // The bytes start one alignment unit after the block header.
  static_assert(sizeof(Block) <= kAlignment);
  static uint8_t* bytes_of(Block* b) noexcept { return reinterpret_cast<uint8_t*>(b) + kAlignment; }

  static PageBuffer allocate(size_t length, bool zero, PageArena* arena);
  void retain() const noexcept {
    if (block_ != nullptr) block_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept {
    if (block_ != nullptr && block_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      free_block(block_);
    }
    block_ = nullptr;
    size_ = 0;
  }
  static void free_block(Block* b) noexcept;

  Block* block_ = nullptr;
  size_t size_ = 0;
};

}  // namespace storage
