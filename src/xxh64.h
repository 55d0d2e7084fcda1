// XXH64 with seed 0 (the only seed the module uses) and its digest text.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace rs {

uint64_t xxh64_hash(std::string_view bytes);

// `value` as exactly 16 lower-case hex digits, zero-padded.
void write_hex16(uint64_t value, char out[16]);

// The digest text of `bytes`.
std::string xxh64_hex(std::string_view bytes);

}  // namespace rs
