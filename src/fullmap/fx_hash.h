// The Fx hash: a fast multiply-and-rotate hash for the fullmap's in-memory
// maps. Not for anything stored: the build writes only sorted or id-ordered
// data, so no result depends on a map's order.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace rs::fullmap {

inline constexpr uint64_t kFxSeed = 0x517cc1b727220a95ULL;

inline uint64_t fx_add(uint64_t hash, uint64_t word) {
  return ((hash << 5 | hash >> 59) ^ word) * kFxSeed;
}

inline uint64_t fx_hash_bytes(std::string_view bytes) {
  uint64_t h = 0;
  const char* p = bytes.data();
  size_t n = bytes.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = fx_add(h, w);
  }
  if (n >= 4) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    h = fx_add(h, w);
    p += 4;
    n -= 4;
  }
  if (n >= 2) {
    uint16_t w;
    std::memcpy(&w, p, 2);
    h = fx_add(h, w);
    p += 2;
    n -= 2;
  }
  if (n >= 1) h = fx_add(h, static_cast<unsigned char>(*p));
  // The terminator byte that ends a text.
  return fx_add(h, 0xFF);
}

// Hash functor for texts (lookups by string_view need no copy) and integers.
struct FxHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return fx_hash_bytes(s); }
  size_t operator()(const std::string& s) const noexcept { return fx_hash_bytes(s); }
  size_t operator()(const char* s) const noexcept { return fx_hash_bytes(s); }
  template <typename T>
    requires std::is_integral_v<T>
  size_t operator()(T v) const noexcept {
    return fx_add(0, static_cast<uint64_t>(v));
  }
};

}  // namespace rs::fullmap
