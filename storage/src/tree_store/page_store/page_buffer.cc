#include "storage/src/tree_store/page_store/page_buffer.h"

#include <mimalloc.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "storage/src/tree_store/page_store/page_arena.h"

namespace storage {

// Page buffers come from mimalloc, or from the page cache's arena. Sanitizer
// builds use the system allocator instead, which the sanitizers instrument:
// they then see overruns of page bytes, and the thread sanitizer sees the
// hand-over of freed memory. The arena stays in use under the thread
// sanitizer, which sees its hand-overs through its lock.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STORAGE_PAGE_BUFFERS_SYSTEM_ALLOC 1
#endif

PageBuffer PageBuffer::zeroed(size_t length, PageArena* arena) {
  return allocate(length, true, arena);
}
PageBuffer PageBuffer::uninitialized(size_t length, PageArena* arena) {
  return allocate(length, false, arena);
}

PageBuffer PageBuffer::allocate(size_t length, bool zero, PageArena* arena) {
  const size_t total = kAlignment + length;
  void* raw = nullptr;
  if (!kArenasInUse) arena = nullptr;
  if (arena != nullptr && arena->block_bytes() == block_bytes_for(length)) {
    bool fresh = false;
    raw = arena->allocate(fresh);
    if (raw != nullptr && zero && !fresh) std::memset(raw, 0, total);
  }
  if (raw == nullptr) {
    arena = nullptr;
#ifdef STORAGE_PAGE_BUFFERS_SYSTEM_ALLOC
    // aligned_alloc wants a size that is a multiple of the alignment.
    const size_t rounded = block_bytes_for(length);
    raw = std::aligned_alloc(kAlignment, rounded);
    if (raw != nullptr && zero) std::memset(raw, 0, rounded);
#else
    raw = zero ? mi_zalloc_aligned(total, kAlignment) : mi_malloc_aligned(total, kAlignment);
#endif
  }
  if (raw == nullptr) throw std::bad_alloc();
  PageBuffer out;
  out.block_ = new (raw) Block{{1}, arena, false};
  out.size_ = length;
  return out;
}

void PageBuffer::free_block(Block* b) noexcept {
  PageArena* arena = b->arena;
  b->~Block();
  if (arena != nullptr) {
    arena->free(b);
    return;
  }
#ifdef STORAGE_PAGE_BUFFERS_SYSTEM_ALLOC
  std::free(b);
#else
  mi_free(b);
#endif
}

}  // namespace storage
