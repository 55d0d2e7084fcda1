// Interim: delegates to libxxhash until the engine's own implementation lands.
#include "storage/src/tree_store/page_store/xxh3.h"

#include <xxhash.h>

namespace storage::xxh3 {

Checksum hash128_with_seed(std::span<const uint8_t> bytes, uint64_t seed) {
  XXH128_hash_t h = XXH3_128bits_withSeed(bytes.data(), bytes.size(), seed);
  return (static_cast<Checksum>(h.high64) << 64) | h.low64;
}

}  // namespace storage::xxh3
