#include "storage/src/tree_store/page_store/page_buffer.h"

#include <mimalloc.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace storage {

// Page buffers come from mimalloc. Sanitizer builds use the system allocator
// instead, which the sanitizers instrument: they then see overruns of page
// bytes, and the thread sanitizer sees the hand-over of freed memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STORAGE_PAGE_BUFFERS_SYSTEM_ALLOC 1
#endif

PageBuffer PageBuffer::zeroed(size_t length) { return allocate(length, true); }
PageBuffer PageBuffer::uninitialized(size_t length) { return allocate(length, false); }

PageBuffer PageBuffer::allocate(size_t length, bool zero) {
  const size_t total = kAlignment + length;
#ifdef STORAGE_PAGE_BUFFERS_SYSTEM_ALLOC
  // aligned_alloc wants a size that is a multiple of the alignment.
  const size_t rounded = (total + kAlignment - 1) / kAlignment * kAlignment;
  void* raw = std::aligned_alloc(kAlignment, rounded);
  if (raw != nullptr && zero) std::memset(raw, 0, rounded);
#else
  void* raw = zero ? mi_zalloc_aligned(total, kAlignment) : mi_malloc_aligned(total, kAlignment);
#endif
  if (raw == nullptr) throw std::bad_alloc();
  PageBuffer out;
  out.block_ = new (raw) Block{{1}};
  out.size_ = length;
  return out;
}

void PageBuffer::free_block(Block* b) noexcept {
  b->~Block();
#ifdef STORAGE_PAGE_BUFFERS_SYSTEM_ALLOC
  std::free(b);
#else
  mi_free(b);
#endif
}

}  // namespace storage
