// PageArena: the memory of the single-page buffers that one page cache reads
// from its file, carved from 2 MiB-aligned chunks that the kernel is asked to
// back with huge pages. A lookup reads a few pages scattered over the whole
// cache; with 4 KiB pages nearly every one of them costs a TLB miss, with
// 2 MiB pages almost none. (The first touch of a huge page costs more than
// that of small pages, which the page cache weighs: see its write path.)
//
// Blocks have one fixed size (a page plus the buffer header). Freed blocks go
// to a free list and are reused; chunks go back to the system only when the
// arena ends, which is when its owner (the page cache) has let go of it and
// the last block is freed, whichever comes later. So the arena holds at most
// the cache's peak of live page buffers, rounded up to a chunk. The first
// chunk is left to small pages: a cache of a few pages (a small database)
// gains nothing from a huge page and need not commit one.
//
// Thread safety: allocate and free may be called from any thread; a block
// may be freed on another thread than the one that allocated it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <array>
#include <mutex>
#include <optional>
#include <vector>

namespace storage {

// One anonymous mapping aligned to 2 MiB and advised for huge pages (advice
// only: without them it works the same, only slower); unmapped when dropped.
class HugeChunk {
 public:
  static constexpr size_t kAlignment = size_t{2} << 20;
  // A chunk of `bytes`, advised for huge pages when `huge`, or nothing when
  // the system refuses.
  static std::optional<HugeChunk> map(size_t bytes, bool huge = true);
  HugeChunk(HugeChunk&& o) noexcept : base_(o.base_), bytes_(o.bytes_) { o.base_ = nullptr; }
  HugeChunk& operator=(HugeChunk&&) = delete;
  HugeChunk(const HugeChunk&) = delete;
  HugeChunk& operator=(const HugeChunk&) = delete;
  ~HugeChunk();
  uint8_t* base() const { return base_; }
  size_t bytes() const { return bytes_; }

 private:
  HugeChunk(uint8_t* base, size_t bytes) : base_(base), bytes_(bytes) {}
  uint8_t* base_;
  size_t bytes_;
};

class PageArena {
 public:
  // Chunks are multiples of this, aligned to it.
  static constexpr size_t kChunkAlignment = HugeChunk::kAlignment;

  // An arena of blocks of `block_bytes` (a multiple of 64, at most a chunk),
  // held by the returned owner. Null when the system gives no memory at all.
  class Owner;
  static Owner create(size_t block_bytes);

  size_t block_bytes() const { return block_bytes_; }
  // A block, or null when the system refuses memory. `fresh` tells whether the
  // block was never handed out before (its bytes are then zero).
  void* allocate(bool& fresh);
  // Returns a block of this arena; may end the arena (see above).
  void free(void* block) noexcept;

  // The owner's handle: ending it ends the arena once no block is live.
  class Owner {
   public:
    Owner() = default;
    explicit Owner(PageArena* arena) : arena_(arena) {}
    Owner(Owner&& o) noexcept : arena_(o.arena_) { o.arena_ = nullptr; }
    Owner& operator=(Owner&& o) noexcept;
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    ~Owner() { reset(); }
    PageArena* get() const { return arena_; }
    void reset() noexcept;

   private:
    PageArena* arena_ = nullptr;
  };

 private:
  explicit PageArena(size_t block_bytes) : block_bytes_(block_bytes) {}
  ~PageArena() = default;
  // Maps a new chunk to carve from; false when the system refuses.
  bool grow();
  // Under mu_: whether nothing holds the arena any more.
  bool unheld() const { return !owned_ && live_ == 0; }

  struct FreeBlock {
    FreeBlock* next;
  };

  const size_t block_bytes_;
  std::mutex mu_;
  std::vector<HugeChunk> chunks_;
  FreeBlock* free_ = nullptr;
  uint8_t* bump_ = nullptr;  // next uncarved block of the last chunk
  uint8_t* bump_end_ = nullptr;
  size_t next_chunk_bytes_ = kChunkAlignment;
  size_t live_ = 0;
  bool owned_ = true;
};

// TableArena: the memory of a page cache's larger hash tables (the read
// cache's slot tables), from huge-page chunks for the same reason as
// PageArena: a lookup's probe of a table spread over megabytes would
// otherwise miss the TLB too. Tables have power-of-two sizes; a freed table
// is kept for the next table of its size. Everything is unmapped when the
// arena ends, after every table taken from it has been freed.
//
// Thread safety: allocate and free may be called from any thread.
class TableArena {
 public:
  // Tables smaller than this come from the general allocator: a small cache
  // need not commit a huge page for them.
  static constexpr size_t kMinBytes = size_t{8} << 10;

  TableArena() = default;
  TableArena(const TableArena&) = delete;
  TableArena& operator=(const TableArena&) = delete;

  // `bytes` (a power of two, at least kMinBytes) aligned to 64, or null when
  // the system refuses memory.
  void* allocate(size_t bytes);
  void free(void* table, size_t bytes) noexcept;

 private:
  struct FreeTable {
    FreeTable* next;
  };
  static size_t size_class(size_t bytes);

  std::mutex mu_;
  std::vector<HugeChunk> chunks_;
  std::array<FreeTable*, 64> free_{};
  uint8_t* bump_ = nullptr;
  uint8_t* bump_end_ = nullptr;
};

}  // namespace storage
