#include "src/utf8.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace rs::utf8 {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ULL;

bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Decodes the sequence starting at `p` (valid UTF-8, at least one byte left).
char32_t decode(const unsigned char* p, size_t* len) {
  unsigned char b = p[0];
  if (b < 0x80) {
    *len = 1;
    return b;
  }
  if (b < 0xE0) {
    *len = 2;
    return (char32_t(b & 0x1F) << 6) | (p[1] & 0x3F);
  }
  if (b < 0xF0) {
    *len = 3;
    return (char32_t(b & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
  }
  *len = 4;
  return (char32_t(b & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
         (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
}

}  // namespace

bool is_valid(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    // Records are mostly ASCII: skip it a word at a time.
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & kHighBits) break;
      p += 8;
    }
    if (p == end) break;
    unsigned char b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    size_t left = static_cast<size_t>(end - p);
    auto cont = [&](size_t i) { return (p[i] & 0xC0) == 0x80; };
    if (b >= 0xC2 && b <= 0xDF) {
      if (left < 2 || !cont(1)) return false;
      p += 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      if (left < 3 || !cont(1) || !cont(2)) return false;
      if (b == 0xE0 && p[1] < 0xA0) return false;   // overlong
      if (b == 0xED && p[1] >= 0xA0) return false;  // surrogate
      p += 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      if (left < 4 || !cont(1) || !cont(2) || !cont(3)) return false;
      if (b == 0xF0 && p[1] < 0x90) return false;  // overlong
      if (b == 0xF4 && p[1] >= 0x90) return false;  // above U+10FFFF
      p += 4;
    } else {
      return false;
    }
  }
  return true;
}

AsciiScan scan_ascii(std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  unsigned high = 0;
  unsigned slash = 0;
#if defined(__SSE2__)
  const __m128i backslashes = _mm_set1_epi8('\\');
  __m128i high_acc = _mm_setzero_si128();
  __m128i slash_acc = _mm_setzero_si128();
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    high_acc = _mm_or_si128(high_acc, v);
    slash_acc = _mm_or_si128(slash_acc, _mm_cmpeq_epi8(v, backslashes));
  }
  high = static_cast<unsigned>(_mm_movemask_epi8(high_acc));
  slash = static_cast<unsigned>(_mm_movemask_epi8(slash_acc));
#endif
  for (; p < end; ++p) {
    high |= static_cast<unsigned char>(*p) & 0x80u;
    slash |= *p == '\\';
  }
  return AsciiScan{high == 0, slash != 0};
}

bool is_whitespace(char32_t c) {
  if (c < 0x80) return is_ascii_space(static_cast<unsigned char>(c));
  switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool is_blank(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    if (p[i] < 0x80) {
      if (!is_ascii_space(p[i])) return false;
      ++i;
      continue;
    }
    size_t len = 0;
    if (!is_whitespace(decode(p + i, &len))) return false;
    i += len;
  }
  return true;
}

std::string_view trim(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end) {
    if (p[begin] < 0x80) {
      if (!is_ascii_space(p[begin])) break;
      ++begin;
      continue;
    }
    size_t len = 0;
    if (!is_whitespace(decode(p + begin, &len))) break;
    begin += len;
  }
  while (end > begin) {
    if (p[end - 1] < 0x80) {
      if (!is_ascii_space(p[end - 1])) break;
      --end;
      continue;
    }
    size_t start = end - 1;
    while (start > begin && (p[start] & 0xC0) == 0x80) --start;
    size_t len = 0;
    if (!is_whitespace(decode(p + start, &len))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

namespace {

// Length of the well-formed prefix of the sequence at `p` (`left` bytes
// remain), and whether it is a complete character.
size_t valid_prefix(const unsigned char* p, size_t left, bool* complete) {
  unsigned char b = p[0];
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    need = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    *complete = false;
    return 1;
  }
  size_t i = 1;
  for (; i < need && i < left; ++i) {
    unsigned char c = p[i];
    bool ok = i == 1 ? (c >= lo && c <= hi) : (c & 0xC0) == 0x80;
    if (!ok) break;
  }
  *complete = i == need;
  return i;
}

}  // namespace

std::string lossy(std::string_view bytes) {
  if (is_valid(bytes)) return std::string(bytes);
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::string out;
  out.reserve(bytes.size() + 8);
  size_t i = 0;
  while (i < bytes.size()) {
    if (p[i] < 0x80) {
      out.push_back(static_cast<char>(p[i++]));
      continue;
    }
    bool complete = false;
    size_t n = valid_prefix(p + i, bytes.size() - i, &complete);
    if (complete) {
      out.append(bytes.data() + i, n);
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += n;
  }
  return out;
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
  std::vector<std::string_view> fields;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  size_t start = 0;
  bool in_field = false;
  while (i < text.size()) {
    size_t len = 1;
    char32_t c = p[i] < 0x80 ? p[i] : decode(p + i, &len);
    if (is_whitespace(c)) {
      if (in_field) fields.push_back(text.substr(start, i - start));
      in_field = false;
    } else if (!in_field) {
      in_field = true;
      start = i;
    }
    i += len;
  }
  if (in_field) fields.push_back(text.substr(start));
  return fields;
}

}  // namespace rs::utf8
