#include "src/xxh64.h"

#include <xxhash.h>

namespace rs {

uint64_t xxh64_hash(std::string_view bytes) { return XXH64(bytes.data(), bytes.size(), 0); }

void write_hex16(uint64_t value, char out[16]) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i) {
    out[i] = kDigits[value & 0xF];
    value >>= 4;
  }
}

std::string xxh64_hex(std::string_view bytes) {
  std::string out(16, '0');
  write_hex16(xxh64_hash(bytes), out.data());
  return out;
}

}  // namespace rs
