#include "storage/src/types.h"

#include <algorithm>

namespace storage {

bool is_valid_utf8(ByteView bytes) {
  const uint8_t* p = bytes.data();
  const uint8_t* end = p + bytes.size();
  while (p < end) {
    uint8_t c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= need) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (size_t k = 2; k <= need; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
    }
    p += need + 1;
  }
  return true;
}

std::strong_ordering TextCodec::compare(ByteView a, ByteView b) {
  // Not checked for UTF-8: a stored key may be damaged, and a search through it
  // must still end. Bytewise order is code point order for valid text.
  size_t n = std::min(a.size(), b.size());
  int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c < 0 ? std::strong_ordering::less : std::strong_ordering::greater;
  return a.size() <=> b.size();
}

std::vector<uint8_t> type_name_to_bytes(const TypeName& name) {
  STORAGE_ASSERT(name.classification <= 3);
  std::vector<uint8_t> out;
  out.reserve(1 + name.name.size());
  out.push_back(static_cast<uint8_t>(name.classification + 1));
  out.insert(out.end(), name.name.begin(), name.name.end());
  return out;
}

Result<TypeName, StorageError> type_name_from_bytes(ByteView bytes) {
  if (bytes.empty()) return Err{StorageError::Corrupted("Stored type name is empty")};
  uint8_t stored = bytes[0];
  if (stored < 1 || stored > 4) {
    return Err{StorageError::Corrupted("Stored type name has invalid classification byte " +
                                       std::to_string(stored))};
  }
  ByteView name = bytes.subspan(1);
  if (!is_valid_utf8(name)) {
    return Err{StorageError::Corrupted("Stored type name is not valid UTF-8")};
  }
  return TypeName{static_cast<uint8_t>(stored - 1), std::string(name.begin(), name.end())};
}

}  // namespace storage
