#include "storage/src/tree_store/page_store/xxh3.h"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace storage {
namespace {

Checksum oracle(std::span<const uint8_t> bytes, uint64_t seed) {
  XXH128_hash_t h = XXH3_128bits_withSeed(bytes.data(), bytes.size(), seed);
  return (static_cast<Checksum>(h.high64) << 64) | h.low64;
}

std::vector<xxh3::Path> paths() {
  std::vector<xxh3::Path> p{xxh3::Path::kScalar};
  if (xxh3::avx2_available()) p.push_back(xxh3::Path::kAvx2);
  return p;
}

const char* name(xxh3::Path p) { return p == xxh3::Path::kAvx2 ? "avx2" : "scalar"; }

class Xxh3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    seed_ = std::random_device{}();
    std::mt19937_64 rng(seed_);
    data_.resize(65536 + 64);
    for (auto& b : data_) b = static_cast<uint8_t>(rng());
  }
  uint64_t seed_ = 0;  // of the random data, printed on failure
  std::vector<uint8_t> data_;
};

TEST_F(Xxh3Test, MatchesPublishedHashForEveryLengthOnBothPaths) {
  if (!xxh3::avx2_available()) std::printf("note: no AVX2 here; scalar path only\n");
  for (xxh3::Path path : paths()) {
    // Odd start offsets exercise unaligned loads.
    for (size_t len = 0; len <= 5000; len++) {
      std::span<const uint8_t> in(data_.data() + len % 7, len);
      ASSERT_EQ(xxh3::hash128_with_seed_on(path, in, 0), oracle(in, 0))
          << name(path) << " len=" << len << " data seed=" << seed_;
    }
    std::span<const uint8_t> big(data_.data(), 65536);
    ASSERT_EQ(xxh3::hash128_with_seed_on(path, big, 0), oracle(big, 0)) << name(path);
  }
  // The dispatching entry point agrees too, including the 4 KiB page size.
  for (size_t len : {0, 1, 3, 4, 8, 9, 16, 17, 112, 128, 129, 240, 241, 1024, 1025, 4096, 65536}) {
    std::span<const uint8_t> in(data_.data(), len);
    ASSERT_EQ(xxh3::hash128_with_seed(in, 0), oracle(in, 0)) << "len=" << len;
  }
}

TEST_F(Xxh3Test, NonZeroSeedsMatchOnBothPaths) {
  // The seed enters every short path and derives a new secret for long inputs.
  const uint64_t seeds[] = {1, 0x9E3779B185EBCA87ull, ~0ull, seed_};
  for (xxh3::Path path : paths()) {
    for (uint64_t s : seeds) {
      for (size_t len = 0; len <= 2100; len += (len < 260 ? 1 : 37)) {
        std::span<const uint8_t> in(data_.data() + 3, len);
        ASSERT_EQ(xxh3::hash128_with_seed_on(path, in, s), oracle(in, s))
            << name(path) << " len=" << len << " seed=" << s << " data seed=" << seed_;
      }
    }
  }
}

TEST(Xxh3StoredForm, EmptyInputStoresLow64ThenHigh64LittleEndian) {
  Checksum c = xxh3::hash128_with_seed({}, 0);
  XXH128_hash_t h = XXH3_128bits_withSeed(nullptr, 0, 0);
  std::array<uint8_t, 16> stored{};
  store_checksum(stored.data(), c);
  std::array<uint8_t, 16> want{};
  for (int i = 0; i < 8; i++) {
    want[i] = static_cast<uint8_t>(h.low64 >> (8 * i));
    want[8 + i] = static_cast<uint8_t>(h.high64 >> (8 * i));
  }
  EXPECT_EQ(stored, want);
  EXPECT_EQ(load_checksum(stored.data()), c);
  // Not the canonical big-endian form of the hash family.
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, h);
  EXPECT_NE(0, std::memcmp(canonical.digest, stored.data(), 16));
}

}  // namespace
}  // namespace storage
