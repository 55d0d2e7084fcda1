// XXH3-128, written from the published algorithm description: short paths for up
// to 240 bytes, and a striped long path with a scalar and an AVX2 accumulation form.
#include "storage/src/tree_store/page_store/xxh3.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

#include "storage/src/panic.h"

namespace storage::xxh3 {
namespace {

constexpr uint32_t kPrime32_1 = 0x9E3779B1u;
constexpr uint32_t kPrime32_2 = 0x85EBCA77u;
constexpr uint32_t kPrime32_3 = 0xC2B2AE3Du;
constexpr uint64_t kPrime64_1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kPrime64_2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kPrime64_3 = 0x165667B19E3779F9ull;
constexpr uint64_t kPrime64_4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kPrime64_5 = 0x27D4EB2F165667C5ull;
constexpr uint64_t kPrimeMx1 = 0x165667919E3779F9ull;
constexpr uint64_t kPrimeMx2 = 0x9FB21C651E98DF25ull;

constexpr size_t kSecretSize = 192;
constexpr size_t kStripeLen = 64;
constexpr size_t kSecretConsumeRate = 8;
constexpr size_t kStripesPerBlock = (kSecretSize - kStripeLen) / kSecretConsumeRate;
constexpr size_t kBlockLen = kStripeLen * kStripesPerBlock;
constexpr size_t kSecretLastAccStart = 7;
constexpr size_t kSecretMergeAccsStart = 11;
constexpr size_t kMidSizeStartOffset = 3;
constexpr size_t kMidSizeLastOffset = 17;
constexpr size_t kSecretSizeMin = 136;
static_assert(kStripesPerBlock == 16 && kBlockLen == 1024);

alignas(64) constexpr uint8_t kSecret[kSecretSize] = {
    0xb8, 0xfe, 0x6c, 0x39, 0x23, 0xa4, 0x4b, 0xbe, 0x7c, 0x01, 0x81, 0x2c, 0xf7, 0x21, 0xad, 0x1c,
    0xde, 0xd4, 0x6d, 0xe9, 0x83, 0x90, 0x97, 0xdb, 0x72, 0x40, 0xa4, 0xa4, 0xb7, 0xb3, 0x67, 0x1f,
    0xcb, 0x79, 0xe6, 0x4e, 0xcc, 0xc0, 0xe5, 0x78, 0x82, 0x5a, 0xd0, 0x7d, 0xcc, 0xff, 0x72, 0x21,
    0xb8, 0x08, 0x46, 0x74, 0xf7, 0x43, 0x24, 0x8e, 0xe0, 0x35, 0x90, 0xe6, 0x81, 0x3a, 0x26, 0x4c,
    0x3c, 0x28, 0x52, 0xbb, 0x91, 0xc3, 0x00, 0xcb, 0x88, 0xd0, 0x65, 0x8b, 0x1b, 0x53, 0x2e, 0xa3,
    0x71, 0x64, 0x48, 0x97, 0xa2, 0x0d, 0xf9, 0x4e, 0x38, 0x19, 0xef, 0x46, 0xa9, 0xde, 0xac, 0xd8,
    0xa8, 0xfa, 0x76, 0x3f, 0xe3, 0x9c, 0x34, 0x3f, 0xf9, 0xdc, 0xbb, 0xc7, 0xc7, 0x0b, 0x4f, 0x1d,
    0x8a, 0x51, 0xe0, 0x4b, 0xcd, 0xb4, 0x59, 0x31, 0xc8, 0x9f, 0x7e, 0xc9, 0xd9, 0x78, 0x73, 0x64,
    0xea, 0xc5, 0xac, 0x83, 0x34, 0xd3, 0xeb, 0xc3, 0xc5, 0x81, 0xa0, 0xff, 0xfa, 0x13, 0x63, 0xeb,
    0x17, 0x0d, 0xdd, 0x51, 0xb7, 0xf0, 0xda, 0x49, 0xd3, 0x16, 0x55, 0x26, 0x29, 0xd4, 0x68, 0x9e,
    0x2b, 0x16, 0xbe, 0x58, 0x7d, 0x47, 0xa1, 0xfc, 0x8f, 0xf8, 0xb8, 0xd1, 0x7a, 0xd0, 0x31, 0xce,
    0x45, 0xcb, 0x3a, 0x8f, 0x95, 0x16, 0x04, 0x28, 0xaf, 0xd7, 0xfb, 0xca, 0xbb, 0x4b, 0x40, 0x7e,
};

struct Hash128 {
  uint64_t low;
  uint64_t high;
};

inline uint64_t read64(const uint8_t* p) { return load_le64(p); }
inline uint32_t read32(const uint8_t* p) { return load_le32(p); }
inline uint64_t rotl64(uint64_t v, int r) { return (v << r) | (v >> (64 - r)); }
inline uint32_t rotl32(uint32_t v, int r) { return (v << r) | (v >> (32 - r)); }

inline Hash128 mul64to128(uint64_t a, uint64_t b) {
  unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return {static_cast<uint64_t>(p), static_cast<uint64_t>(p >> 64)};
}
inline uint64_t mul128_fold64(uint64_t a, uint64_t b) {
  Hash128 p = mul64to128(a, b);
  return p.low ^ p.high;
}
inline uint64_t mul32to64(uint64_t a, uint64_t b) {
  return static_cast<uint64_t>(static_cast<uint32_t>(a)) * static_cast<uint32_t>(b);
}

inline uint64_t xxh64_avalanche(uint64_t h) {
  h ^= h >> 33;
  h *= kPrime64_2;
  h ^= h >> 29;
  h *= kPrime64_3;
  h ^= h >> 32;
  return h;
}
inline uint64_t avalanche(uint64_t h) {
  h ^= h >> 37;
  h *= kPrimeMx1;
  h ^= h >> 32;
  return h;
}

inline Checksum to_checksum(Hash128 h) { return (static_cast<Checksum>(h.high) << 64) | h.low; }

Hash128 len_0(const uint8_t* secret, uint64_t seed) {
  return {xxh64_avalanche(seed ^ read64(secret + 64) ^ read64(secret + 72)),
          xxh64_avalanche(seed ^ read64(secret + 80) ^ read64(secret + 88))};
}

Hash128 len_1to3(const uint8_t* in, size_t len, const uint8_t* secret, uint64_t seed) {
  uint32_t c1 = in[0], c2 = in[len >> 1], c3 = in[len - 1];
  uint32_t combined_lo =
      (c1 << 16) | (c2 << 24) | c3 | (static_cast<uint32_t>(len) << 8);
  uint32_t combined_hi = rotl32(__builtin_bswap32(combined_lo), 13);
  uint64_t bitflip_lo = (read32(secret) ^ read32(secret + 4)) + seed;
  uint64_t bitflip_hi = (read32(secret + 8) ^ read32(secret + 12)) - seed;
  return {xxh64_avalanche(combined_lo ^ bitflip_lo), xxh64_avalanche(combined_hi ^ bitflip_hi)};
}

Hash128 len_4to8(const uint8_t* in, size_t len, const uint8_t* secret, uint64_t seed) {
  seed ^= static_cast<uint64_t>(__builtin_bswap32(static_cast<uint32_t>(seed))) << 32;
  uint64_t in_lo = read32(in);
  uint64_t in_hi = read32(in + len - 4);
  uint64_t in64 = in_lo + (in_hi << 32);
  uint64_t bitflip = (read64(secret + 16) ^ read64(secret + 24)) + seed;
  Hash128 m = mul64to128(in64 ^ bitflip, kPrime64_1 + (static_cast<uint64_t>(len) << 2));
  m.high += m.low << 1;
  m.low ^= m.high >> 3;
  m.low ^= m.low >> 35;
  m.low *= kPrimeMx2;
  m.low ^= m.low >> 28;
  m.high = avalanche(m.high);
  return m;
}

Hash128 len_9to16(const uint8_t* in, size_t len, const uint8_t* secret, uint64_t seed) {
  uint64_t bitflip_lo = (read64(secret + 32) ^ read64(secret + 40)) - seed;
  uint64_t bitflip_hi = (read64(secret + 48) ^ read64(secret + 56)) + seed;
  uint64_t in_lo = read64(in);
  uint64_t in_hi = read64(in + len - 8);
  Hash128 m = mul64to128(in_lo ^ in_hi ^ bitflip_lo, kPrime64_1);
  m.low += static_cast<uint64_t>(len - 1) << 54;
  in_hi ^= bitflip_hi;
  m.high += in_hi + mul32to64(static_cast<uint32_t>(in_hi), kPrime32_2 - 1);
  m.low ^= __builtin_bswap64(m.high);
  Hash128 h = mul64to128(m.low, kPrime64_2);
  h.high += m.high * kPrime64_2;
  return {avalanche(h.low), avalanche(h.high)};
}

inline uint64_t mix16(const uint8_t* in, const uint8_t* secret, uint64_t seed) {
  return mul128_fold64(read64(in) ^ (read64(secret) + seed),
                       read64(in + 8) ^ (read64(secret + 8) - seed));
}

// The 32-byte mixing step: two 16-byte pieces into both halves of the state.
inline void mix32(Hash128& acc, const uint8_t* in1, const uint8_t* in2, const uint8_t* secret,
                  uint64_t seed) {
  acc.low += mix16(in1, secret, seed);
  acc.low ^= read64(in2) + read64(in2 + 8);
  acc.high += mix16(in2, secret + 16, seed);
  acc.high ^= read64(in1) + read64(in1 + 8);
}

inline Hash128 finish_mid(Hash128 acc, size_t len, uint64_t seed) {
  uint64_t lo = acc.low + acc.high;
  uint64_t hi = acc.low * kPrime64_1 + acc.high * kPrime64_4 + (len - seed) * kPrime64_2;
  return {avalanche(lo), 0 - avalanche(hi)};
}

Hash128 len_17to128(const uint8_t* in, size_t len, const uint8_t* secret, uint64_t seed) {
  Hash128 acc{len * kPrime64_1, 0};
  if (len > 32) {
    if (len > 64) {
      if (len > 96) mix32(acc, in + 48, in + len - 64, secret + 96, seed);
      mix32(acc, in + 32, in + len - 48, secret + 64, seed);
    }
    mix32(acc, in + 16, in + len - 32, secret + 32, seed);
  }
  mix32(acc, in, in + len - 16, secret, seed);
  return finish_mid(acc, len, seed);
}

Hash128 len_129to240(const uint8_t* in, size_t len, const uint8_t* secret, uint64_t seed) {
  const size_t rounds = len / 32;
  Hash128 acc{len * kPrime64_1, 0};
  for (size_t i = 0; i < 4; i++) mix32(acc, in + 32 * i, in + 32 * i + 16, secret + 32 * i, seed);
  acc.low = avalanche(acc.low);
  acc.high = avalanche(acc.high);
  for (size_t i = 4; i < rounds; i++) {
    mix32(acc, in + 32 * i, in + 32 * i + 16, secret + kMidSizeStartOffset + 32 * (i - 4), seed);
  }
  mix32(acc, in + len - 16, in + len - 32, secret + kSecretSizeMin - kMidSizeLastOffset - 16,
        0 - seed);
  return finish_mid(acc, len, seed);
}

// The long path's shared pieces, used by both accumulation forms.
constexpr uint64_t kInitAcc[8] = {kPrime32_3, kPrime64_1, kPrime64_2, kPrime64_3,
                                  kPrime64_4, kPrime32_2, kPrime64_5, kPrime32_1};

inline uint64_t merge_accs(const uint64_t acc[8], const uint8_t* secret, uint64_t start) {
  uint64_t r = start;
  for (int i = 0; i < 4; i++) {
    r += mul128_fold64(acc[2 * i] ^ read64(secret + 16 * i),
                       acc[2 * i + 1] ^ read64(secret + 16 * i + 8));
  }
  return avalanche(r);
}

inline Hash128 merge_long(const uint64_t acc[8], size_t len, const uint8_t* secret) {
  return {merge_accs(acc, secret + kSecretMergeAccsStart, len * kPrime64_1),
          merge_accs(acc, secret + kSecretSize - sizeof(uint64_t) * 8 - kSecretMergeAccsStart,
                     ~(len * kPrime64_2))};
}

inline void scramble_generic(uint64_t acc[8], const uint8_t* secret) {
  for (int i = 0; i < 8; i++) {
    uint64_t a = acc[i];
    a ^= a >> 47;
    a ^= read64(secret + 8 * i);
    a *= kPrime32_1;
    acc[i] = a;
  }
}

Hash128 long_generic(const uint8_t* in, size_t len, const uint8_t* secret) {
  uint64_t acc[8];
  std::memcpy(acc, kInitAcc, sizeof acc);
  const size_t blocks = (len - 1) / kBlockLen;
  for (size_t b = 0; b < blocks; b++) {
    const uint8_t* block = in + b * kBlockLen;
    for (size_t s = 0; s < kStripesPerBlock; s++) {
      accumulate_stripe_generic(acc, block + s * kStripeLen, secret + s * kSecretConsumeRate);
    }
    scramble_generic(acc, secret + kSecretSize - kStripeLen);
  }
  const size_t stripes = ((len - 1) - blocks * kBlockLen) / kStripeLen;
  const uint8_t* block = in + blocks * kBlockLen;
  for (size_t s = 0; s < stripes; s++) {
    accumulate_stripe_generic(acc, block + s * kStripeLen, secret + s * kSecretConsumeRate);
  }
  accumulate_stripe_generic(acc, in + len - kStripeLen,
                            secret + kSecretSize - kStripeLen - kSecretLastAccStart);
  return merge_long(acc, len, secret);
}

__attribute__((target("avx2"))) inline void accumulate_stripe_avx2(__m256i acc[2],
                                                                   const uint8_t* stripe,
                                                                   const uint8_t* secret) {
  for (int i = 0; i < 2; i++) {
    __m256i data = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(stripe) + i);
    __m256i key = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(secret) + i);
    __m256i data_key = _mm256_xor_si256(data, key);
    // Low 32 bits times high 32 bits of each lane.
    __m256i product = _mm256_mul_epu32(data_key, _mm256_srli_epi64(data_key, 32));
    // Each lane's input goes to its neighbour's accumulator.
    __m256i swapped = _mm256_shuffle_epi32(data, _MM_SHUFFLE(1, 0, 3, 2));
    acc[i] = _mm256_add_epi64(acc[i], _mm256_add_epi64(product, swapped));
  }
}

__attribute__((target("avx2"))) inline void scramble_avx2(__m256i acc[2], const uint8_t* secret) {
  const __m256i prime = _mm256_set1_epi32(static_cast<int>(kPrime32_1));
  for (int i = 0; i < 2; i++) {
    __m256i a = _mm256_xor_si256(acc[i], _mm256_srli_epi64(acc[i], 47));
    __m256i key = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(secret) + i);
    __m256i data_key = _mm256_xor_si256(a, key);
    // 64-bit multiply by a 32-bit prime from two 32x32 products.
    __m256i hi = _mm256_shuffle_epi32(data_key, _MM_SHUFFLE(0, 3, 0, 1));
    __m256i prod_lo = _mm256_mul_epu32(data_key, prime);
    __m256i prod_hi = _mm256_mul_epu32(hi, prime);
    acc[i] = _mm256_add_epi64(prod_lo, _mm256_slli_epi64(prod_hi, 32));
  }
}

// The answer of the CPU probe: AVX2 in CPUID leaf 7, and AVX with OSXSAVE in leaf 1
// plus XCR0 showing the OS saves both the SSE and the AVX (YMM) state.
bool probe_avx2() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool osxsave = (ecx & (1u << 27)) != 0;
  const bool avx = (ecx & (1u << 28)) != 0;
  if (!osxsave || !avx) return false;
  uint32_t xcr0_lo, xcr0_hi;
  __asm__ volatile("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
  if ((xcr0_lo & 0x6u) != 0x6u) return false;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return (ebx & (1u << 5)) != 0;
}

// The 192-byte secret of a non-zero seed: the default secret with the seed added to
// every first and subtracted from every second 64-bit word.
void derive_secret(uint64_t seed, uint8_t out[kSecretSize]) {
  for (size_t i = 0; i < kSecretSize / 16; i++) {
    store_le64(out + 16 * i, read64(kSecret + 16 * i) + seed);
    store_le64(out + 16 * i + 8, read64(kSecret + 16 * i + 8) - seed);
  }
}

Hash128 hash_short(const uint8_t* in, size_t len, uint64_t seed) {
  if (len <= 16) {
    if (len > 8) return len_9to16(in, len, kSecret, seed);
    if (len >= 4) return len_4to8(in, len, kSecret, seed);
    if (len > 0) return len_1to3(in, len, kSecret, seed);
    return len_0(kSecret, seed);
  }
  if (len <= 128) return len_17to128(in, len, kSecret, seed);
  return len_129to240(in, len, kSecret, seed);
}

constexpr size_t kMidSizeMax = 240;

Checksum hash_with(bool avx2, std::span<const uint8_t> bytes, uint64_t seed) {
  const uint8_t* in = bytes.data();
  const size_t len = bytes.size();
  if (len <= kMidSizeMax) return to_checksum(hash_short(in, len, seed));
  alignas(64) uint8_t custom[kSecretSize];
  const uint8_t* secret = kSecret;
  if (seed != 0) {
    derive_secret(seed, custom);
    secret = custom;
  }
  if (avx2) return hash128_large_avx2(bytes, secret);
  return to_checksum(long_generic(in, len, secret));
}

}  // namespace

void accumulate_stripe_generic(uint64_t acc[8], const uint8_t* stripe, const uint8_t* secret) {
  for (int i = 0; i < 8; i++) {
    uint64_t data = read64(stripe + 8 * i);
    uint64_t data_key = data ^ read64(secret + 8 * i);
    acc[i ^ 1] += data;
    acc[i] += mul32to64(data_key & 0xFFFFFFFFu, data_key >> 32);
  }
}

__attribute__((target("avx2"))) Checksum hash128_large_avx2(std::span<const uint8_t> bytes,
                                                           const uint8_t* secret) {
  const uint8_t* in = bytes.data();
  const size_t len = bytes.size();
  __m256i acc[2];
  acc[0] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kInitAcc));
  acc[1] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kInitAcc) + 1);
  const size_t blocks = (len - 1) / kBlockLen;
  for (size_t b = 0; b < blocks; b++) {
    const uint8_t* block = in + b * kBlockLen;
    for (size_t s = 0; s < kStripesPerBlock; s++) {
      accumulate_stripe_avx2(acc, block + s * kStripeLen, secret + s * kSecretConsumeRate);
    }
    scramble_avx2(acc, secret + kSecretSize - kStripeLen);
  }
  const size_t stripes = ((len - 1) - blocks * kBlockLen) / kStripeLen;
  const uint8_t* block = in + blocks * kBlockLen;
  for (size_t s = 0; s < stripes; s++) {
    accumulate_stripe_avx2(acc, block + s * kStripeLen, secret + s * kSecretConsumeRate);
  }
  accumulate_stripe_avx2(acc, in + len - kStripeLen,
                         secret + kSecretSize - kStripeLen - kSecretLastAccStart);
  alignas(32) uint64_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc[0]);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes) + 1, acc[1]);
  return to_checksum(merge_long(lanes, len, secret));
}

bool avx2_available() {
  static const bool available = probe_avx2();
  return available;
}

Checksum hash128_with_seed(std::span<const uint8_t> bytes, uint64_t seed) {
  return hash_with(bytes.size() > kMidSizeMax && avx2_available(), bytes, seed);
}

Checksum hash128_with_seed_on(Path path, std::span<const uint8_t> bytes, uint64_t seed) {
  if (path == Path::kAvx2 && !avx2_available()) panic("AVX2 is not available on this machine");
  return hash_with(path == Path::kAvx2, bytes, seed);
}

}  // namespace storage::xxh3
