// Name-based (version 3, MD5) UUIDs: `namespace_uuid` and the edge ids of
// `dedup_ndjson`. Every domain has its own namespace, the version-3 UUID of the
// domain's name under the nil UUID; a list of parts is hashed under it as the
// payload "<len>:<part><len>:<part>...".
#pragma once

#include <array>
#include <bit>
#include <cstring>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/byte_buffer.h"
#include "src/json.h"

namespace rs {

inline constexpr size_t kUuidTextSize = 36;

// Appends "<byte length>:<part>" to `payload`.
void append_part(std::string_view part, ByteBuffer* payload);

// The UUID text of `parts` under `domain`.
std::string uuid_from_parts(std::string_view domain, std::span<const std::string> parts);

// The UUID text of an object's entries under `domain` (keys sorted by their
// bytes; null, false and empty strings skipped), or nothing when `value` is
// not an object.
std::optional<std::string> uuid_for_json_object(std::string_view domain, const json::Value& value);

// Edge ids under one domain, with the domain namespace computed once and
// scratch buffers kept between records.
// Thread safety: none; one per thread.
class EdgeIdMaker {
 public:
  // An entry that counts for an id: its key and its text (the string itself,
  // "true", or the compact JSON of a number, array or object).
  struct Part {
    uint64_t prefix;  // key_prefix(key)
    std::string_view key;
    std::string_view text;
  };
  // The first eight bytes of `key` (zero-padded) as a big-endian integer:
  // integer order is byte order.
  static uint64_t key_prefix(std::string_view key) {
    static_assert(std::endian::native == std::endian::little);
    uint64_t word = 0;
    if (key.size() >= 8) {
      std::memcpy(&word, key.data(), 8);
    } else {
      for (size_t i = 0; i < key.size(); ++i) {
        word |= uint64_t{static_cast<unsigned char>(key[i])} << (8 * i);
      }
    }
    return __builtin_bswap64(word);
  }

  explicit EdgeIdMaker(std::string_view domain);

  // Writes the UUID text of an object's counting entries, given in any order
  // (keys distinct); reorders `parts`.
  void id_of_parts(std::span<Part> parts, char out[kUuidTextSize]);

  // Writes the UUID text of `value`'s entries; false when it is not an object.
  // `strings_are_plain` as for json::write_compact.
  bool id_of(const json::Value& value, char out[kUuidTextSize], bool strings_are_plain = false);

 private:
  // An entry with the first eight bytes of its key, big-endian, so that most
  // comparisons of the sort are one integer comparison.
  struct Entry {
    uint64_t prefix;
    const json::Member* member;
  };

  std::array<unsigned char, 16> namespace_;
  ByteBuffer payload_{1024};
  ByteBuffer nested_{256};
  std::vector<Entry> order_;
};

}  // namespace rs
