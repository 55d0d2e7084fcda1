// XXH3-128 with a seed: the checksum of pages and commit slots. Results equal the
// published XXH3-128 for every input, so files verify under any build.
//
// Thread safety: pure functions; the one-time CPU probe is a thread-safe static.
#pragma once

#include <cstdint>
#include <span>

#include "storage/src/tree_store/page_store/base.h"

namespace storage::xxh3 {

// Equals the published XXH3-128 of `bytes` with `seed`; allocates nothing. Inputs
// above 240 bytes use the AVX2 form when the processor and the OS support it.
Checksum hash128_with_seed(std::span<const uint8_t> bytes, uint64_t seed);

// The two forms of stripe accumulation, selectable so tests and benchmarks can
// compare them on one machine.
enum class Path { kScalar, kAvx2 };

// True when the processor has AVX2 and the OS saves the 256-bit register state.
// Probed once per process and cached.
bool avx2_available();

// hash128_with_seed with the long-input form forced; kAvx2 requires avx2_available().
Checksum hash128_with_seed_on(Path path, std::span<const uint8_t> bytes, uint64_t seed);

// One 64-byte stripe into the eight accumulators, scalar form.
void accumulate_stripe_generic(uint64_t acc[8], const uint8_t* stripe, const uint8_t* secret);

// The whole long-input path (more than 240 bytes) with four 64-bit lanes per vector;
// `secret` is the 192-byte secret for the seed. Requires avx2_available().
Checksum hash128_large_avx2(std::span<const uint8_t> bytes, const uint8_t* secret);

}  // namespace storage::xxh3
