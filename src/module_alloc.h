// The module's own allocator for its buffers: mimalloc. ThreadSanitizer
// builds use the C library instead, whose calls the sanitizer intercepts:
// it cannot see mimalloc hand a block freed on one thread to another, and
// would report the reuse as a race.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#include <mimalloc.h>

namespace rs {

#if defined(__SANITIZE_THREAD__)
inline void* module_malloc(size_t n) { return std::malloc(n); }
inline void* module_realloc(void* p, size_t n) { return std::realloc(p, n); }
inline void module_free(void* p) { std::free(p); }
#else
inline void* module_malloc(size_t n) { return mi_malloc(n); }
inline void* module_realloc(void* p, size_t n) { return mi_realloc(p, n); }
inline void module_free(void* p) { mi_free(p); }
#endif

// A standard allocator over the module's allocator, for containers that
// allocate per element in hot loops (term maps) and for large per-call
// buffers (lookup results: freed blocks stay with the module's allocator for
// the next call instead of going back to the system page by page).
template <typename T>
struct ModuleAllocator {
  using value_type = T;
  static_assert(alignof(T) <= alignof(std::max_align_t));
  ModuleAllocator() = default;
  template <typename U>
  ModuleAllocator(const ModuleAllocator<U>&) noexcept {}  // NOLINT: rebinding
  T* allocate(size_t n) {
    void* p = module_malloc(n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) noexcept { module_free(p); }
  template <typename U>
  bool operator==(const ModuleAllocator<U>&) const noexcept {
    return true;
  }
};

template <typename T>
using ModuleVector = std::vector<T, ModuleAllocator<T>>;

}  // namespace rs
