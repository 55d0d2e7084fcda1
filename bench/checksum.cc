// Checksum throughput: our XXH3-128 (dispatching, and each path forced) against
// libxxhash's dispatching entry point, on a commit slot (112 bytes) and a page (4096).
#include <benchmark/benchmark.h>
#include <xxh_x86dispatch.h>
#include <xxhash.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "storage/src/tree_store/page_store/xxh3.h"

namespace {

using storage::Checksum;
namespace xxh3 = storage::xxh3;

// Best of several timed batches, in nanoseconds per call.
double time_ns(const std::function<Checksum()>& f) {
  using Clock = std::chrono::steady_clock;
  size_t iters = 1;
  for (;;) {  // calibrate to about 20 ms per batch
    auto t0 = Clock::now();
    for (size_t i = 0; i < iters; i++) benchmark::DoNotOptimize(f());
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    if (ns > 20e6) break;
    iters *= 2;
  }
  double best = 1e300;
  for (int rep = 0; rep < 7; rep++) {
    auto t0 = Clock::now();
    for (size_t i = 0; i < iters; i++) benchmark::DoNotOptimize(f());
    double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / iters;
    if (ns < best) best = ns;
  }
  return best;
}

Checksum from(XXH128_hash_t h) { return (static_cast<Checksum>(h.high64) << 64) | h.low64; }

}  // namespace

int main() {
  std::mt19937_64 rng(42);
  std::vector<uint8_t> data(4096);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  const bool avx2 = xxh3::avx2_available();
  std::printf("AVX2 available: %s\n", avx2 ? "yes" : "no");
  std::printf("%6s %12s %12s %12s %14s %10s\n", "bytes", "ours ns", "scalar ns", "avx2 ns",
              "libxxhash ns", "ratio");
  for (size_t len : {size_t{112}, size_t{4096}}) {
    std::span<const uint8_t> in(data.data(), len);
    double ours = time_ns([&] { return xxh3::hash128_with_seed(in, 0); });
    double scalar =
        time_ns([&] { return xxh3::hash128_with_seed_on(xxh3::Path::kScalar, in, 0); });
    double vec = avx2 ? time_ns([&] { return xxh3::hash128_with_seed_on(xxh3::Path::kAvx2, in, 0); })
                      : 0;
    double lib = time_ns([&] { return from(XXH3_128bits_withSeed_dispatch(in.data(), len, 0)); });
    std::printf("%6zu %12.1f %12.1f %12.1f %14.1f %9.2fx\n", len, ours, scalar, vec, lib,
                ours / lib);
    std::printf("%6s %9.2f GB/s (ours)  %9.2f GB/s (libxxhash)\n", "", len / ours, len / lib);
  }
  std::printf("ratio = our dispatching entry point / libxxhash's dispatching entry point "
              "(lower is faster)\n");
  return 0;
}
