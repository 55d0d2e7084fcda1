#include "storage/src/tree_store/page_store/page_arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <new>

#include "storage/src/panic.h"

namespace storage {

namespace {

// Chunks grow from 2 MiB up to this, so that a large cache needs few mappings
// and a small one does not map much more than it uses.
constexpr size_t kMaxChunkBytes = size_t{32} << 20;

}  // namespace

std::optional<HugeChunk> HugeChunk::map(size_t bytes, bool huge) {
  const size_t align = kAlignment;
  void* raw = ::mmap(nullptr, bytes + align, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return std::nullopt;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + align - 1) & ~(uintptr_t{align} - 1);
  // Give back the slack on both sides of the aligned part.
  if (aligned > start) ::munmap(raw, aligned - start);
  const uintptr_t tail = start + bytes + align - (aligned + bytes);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  if (huge) (void)::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
  return HugeChunk(reinterpret_cast<uint8_t*>(aligned), bytes);
}

HugeChunk::~HugeChunk() {
  if (base_ != nullptr) ::munmap(base_, bytes_);
}

PageArena::Owner PageArena::create(size_t block_bytes) {
  STORAGE_ASSERT(block_bytes % 64 == 0 && block_bytes > 0 && block_bytes <= kChunkAlignment);
  return Owner(new PageArena(block_bytes));
}

PageArena::Owner& PageArena::Owner::operator=(Owner&& o) noexcept {
  if (this != &o) {
    reset();
    arena_ = o.arena_;
    o.arena_ = nullptr;
  }
  return *this;
}

void PageArena::Owner::reset() noexcept {
  if (arena_ == nullptr) return;
  bool end = false;
  {
    std::lock_guard<std::mutex> lock(arena_->mu_);
    arena_->owned_ = false;
    end = arena_->unheld();
  }
  if (end) delete arena_;
  arena_ = nullptr;
}

bool PageArena::grow() {
  const size_t bytes = next_chunk_bytes_;
  std::optional<HugeChunk> chunk = HugeChunk::map(bytes, /*huge=*/!chunks_.empty());
  if (!chunk) return false;
  uint8_t* base = chunk->base();
  chunks_.push_back(std::move(*chunk));
  bump_ = base;
  bump_end_ = base + bytes / block_bytes_ * block_bytes_;
  next_chunk_bytes_ = std::min(bytes * 2, kMaxChunkBytes);
  return true;
}

void* PageArena::allocate(bool& fresh) {
  std::lock_guard<std::mutex> lock(mu_);
  if (free_ != nullptr) {
    FreeBlock* block = free_;
    free_ = block->next;
    ++live_;
    fresh = false;
    return block;
  }
  if (bump_ == bump_end_ && !grow()) return nullptr;
  void* block = bump_;
  bump_ += block_bytes_;
  ++live_;
  fresh = true;
  return block;
}

void PageArena::free(void* block) noexcept {
  bool end = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto* f = static_cast<FreeBlock*>(block);
    f->next = free_;
    free_ = f;
    --live_;
    end = unheld();
  }
  if (end) delete this;
}

size_t TableArena::size_class(size_t bytes) {
  STORAGE_ASSERT(bytes >= kMinBytes && (bytes & (bytes - 1)) == 0);
  return static_cast<size_t>(std::countr_zero(bytes));
}

void* TableArena::allocate(size_t bytes) {
  const size_t c = size_class(bytes);
  std::lock_guard<std::mutex> lock(mu_);
  if (FreeTable* t = free_[c]) {
    free_[c] = t->next;
    return t;
  }
  if (static_cast<size_t>(bump_end_ - bump_) < bytes) {
    // The rest of the last chunk is left unused: tables only grow, so the
    // small sizes that would fit there are rarely asked for again.
    std::optional<HugeChunk> chunk = HugeChunk::map(std::max(bytes, HugeChunk::kAlignment));
    if (!chunk) return nullptr;
    bump_ = chunk->base();
    bump_end_ = chunk->base() + chunk->bytes();
    chunks_.push_back(std::move(*chunk));
  }
  void* table = bump_;
  bump_ += bytes;
  return table;
}

void TableArena::free(void* table, size_t bytes) noexcept {
  const size_t c = size_class(bytes);
  std::lock_guard<std::mutex> lock(mu_);
  auto* t = static_cast<FreeTable*>(table);
  t->next = free_[c];
  free_[c] = t;
}

}  // namespace storage
