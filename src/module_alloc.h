// The module's own allocator for its buffers: mimalloc. ThreadSanitizer
// builds use the C library instead, whose calls the sanitizer intercepts:
// it cannot see mimalloc hand a block freed on one thread to another, and
// would report the reuse as a race.
#pragma once

#include <cstddef>
#include <cstdlib>

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

}  // namespace rs
