// XXH3-128 with a seed: the checksum of pages and commit slots.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <span>

#include "storage/src/tree_store/page_store/base.h"

namespace storage::xxh3 {

// Equals the published XXH3-128 of `bytes` with `seed`; allocates nothing.
Checksum hash128_with_seed(std::span<const uint8_t> bytes, uint64_t seed);

}  // namespace storage::xxh3
