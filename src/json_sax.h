// RapidJSON's SAX reader as every parser of the module configures it: broken
// invariants inside the reader panic, strings are scanned with SSE2 (part of
// x86-64; callers keep 16 readable bytes after the NUL that ends the input),
// and the reader's stack lives on mimalloc like the rest of the module. Every
// translation unit that uses the reader includes it through this header, so
// all see the same configuration.
#pragma once

#include <mimalloc.h>

#include <cstddef>
#include <new>

#include "storage/src/panic.h"

#define RAPIDJSON_ASSERT(x) STORAGE_ASSERT(x)
#define RAPIDJSON_SSE2
#include <rapidjson/reader.h>

namespace rs::json {

class MiAllocator {
 public:
  static const bool kNeedFree = true;
  void* Malloc(size_t size) {
    void* p = mi_malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void* Realloc(void* original, size_t, size_t new_size) {
    if (new_size == 0) {
      mi_free(original);
      return nullptr;
    }
    void* p = mi_realloc(original, new_size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  static void Free(void* p) { mi_free(p); }
};

}  // namespace rs::json
