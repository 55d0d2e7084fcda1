#include "src/json.h"

#include <mimalloc.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

#include "src/utf8.h"
#include "storage/src/panic.h"

namespace rs::json {

// ---- Arena ----

Arena::Arena(size_t chunk_bytes) : chunk_bytes_(chunk_bytes) {}

Arena::~Arena() {
  for (const Chunk& c : chunks_) mi_free(c.data);
}

void* Arena::allocate_slow(size_t bytes, size_t align) {
  // Move on through the chunks kept from earlier lines, then add one.
  while (current_ + 1 < chunks_.size()) {
    const Chunk& c = chunks_[++current_];
    pos_ = c.data;
    end_ = c.data + c.size;
    if (bytes <= c.size) {
      pos_ += bytes;
      return c.data;
    }
  }
  size_t size = bytes + align > chunk_bytes_ ? bytes + align : chunk_bytes_;
  auto* data = static_cast<char*>(mi_malloc_aligned(size, alignof(std::max_align_t)));
  if (data == nullptr) throw std::bad_alloc();
  chunks_.push_back({data, size});
  current_ = chunks_.size() - 1;
  pos_ = data + bytes;
  end_ = data + size;
  return data;
}

char* Arena::copy_terminated(std::string_view text) {
  // 16 bytes of padding: vector scans may load the block holding the NUL.
  auto* out = static_cast<char*>(allocate(text.size() + 1 + 16, 16));
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  std::memset(out + text.size(), 0, 1 + 16);
  return out;
}

void Arena::reset() {
  current_ = 0;
  if (!chunks_.empty()) {
    pos_ = chunks_[0].data;
    end_ = chunks_[0].data + chunks_[0].size;
  }
}

// ---- Errors ----

std::string ParseError::display() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// ---- Cleaning ----

bool is_null_like(std::string_view text) {
  // Most values are longer than the words and start and end with a visible
  // ASCII character: nothing to trim, nothing to compare.
  if (text.size() > 4 && static_cast<unsigned char>(text.front()) - 0x21u < 0x5Eu &&
      static_cast<unsigned char>(text.back()) - 0x21u < 0x5Eu) {
    return false;
  }
  std::string_view t = utf8::trim(text);
  if (t.empty()) return true;
  if (t.size() < 2 || t.size() > 4) return false;
  char lower[4];
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  std::string_view l(lower, t.size());
  return l == "null" || l == "none" || l == "nan" || l == "na";
}

Value transform(const Value& element, Arena* arena) {
  if (element.is_object()) return strip_nulls(element, arena);
  return element;
}

Value strip_nulls(const Value& value, Arena* arena) {
  if (!value.is_object()) return value;
  Member* out = arena->allocate_array<Member>(value.size);
  size_t kept = 0;
  for (const Member& m : value.entries()) {
    const Value& v = m.value;
    switch (v.kind) {
      case Kind::kNull:
        continue;
      case Kind::kString:
        if (is_null_like(v.text())) continue;
        out[kept++] = m;
        break;
      case Kind::kArray: {
        if (v.size == 0) continue;
        Value* items = arena->allocate_array<Value>(v.size);
        for (size_t i = 0; i < v.size; ++i) items[i] = transform(v.items[i], arena);
        out[kept++] = Member{m.key, Value::array(items, v.size)};
        break;
      }
      case Kind::kObject:
        if (v.size == 0) continue;
        // Kept even when stripping leaves it empty.
        out[kept++] = Member{m.key, strip_nulls(v, arena)};
        break;
      default:  // booleans and numbers, false and 0 included
        out[kept++] = m;
        break;
    }
  }
  return Value::object(out, kept);
}

// ---- Compact writer ----

namespace {

void write_double(double d, ByteBuffer* out) {
  // A parsed value is always finite: overflowing literals are parse errors.
  STORAGE_ASSERT(std::isfinite(d));
  // Longest form: sign, 17 digits, "0." and 4 zeros, or "e-324".
  out->reserve_more(32);
  char* p = out->tail();
  char* const start = p;
  if (std::signbit(d)) *p++ = '-';
  d = std::fabs(d);
  if (d == 0) {
    std::memcpy(p, "0.0", 3);
    out->commit(static_cast<size_t>(p + 3 - start));
    return;
  }
  // The shortest round-trip digits, laid out by their decimal exponent.
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof(buf), d, std::chars_format::scientific);
  STORAGE_ASSERT(r.ec == std::errc());
  const char* e = static_cast<const char*>(std::memchr(buf, 'e', static_cast<size_t>(r.ptr - buf)));
  STORAGE_ASSERT(e != nullptr);
  char digits[24];
  size_t nd = 0;
  for (const char* q = buf; q < e; ++q) {
    if (*q != '.') digits[nd++] = *q;
  }
  int exp = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), r.ptr, exp);
  if (exp >= -5 && exp <= 15) {
    if (exp >= 0) {
      const size_t int_digits = static_cast<size_t>(exp) + 1;
      if (nd <= int_digits) {
        std::memcpy(p, digits, nd);
        p += nd;
        std::memset(p, '0', int_digits - nd);
        p += int_digits - nd;
        std::memcpy(p, ".0", 2);
        p += 2;
      } else {
        std::memcpy(p, digits, int_digits);
        p += int_digits;
        *p++ = '.';
        std::memcpy(p, digits + int_digits, nd - int_digits);
        p += nd - int_digits;
      }
    } else {
      *p++ = '0';
      *p++ = '.';
      std::memset(p, '0', static_cast<size_t>(-exp - 1));
      p += -exp - 1;
      std::memcpy(p, digits, nd);
      p += nd;
    }
  } else {
    *p++ = digits[0];
    if (nd > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, nd - 1);
      p += nd - 1;
    }
    *p++ = 'e';
    *p++ = exp < 0 ? '-' : '+';
    p = std::to_chars(p, p + 8, exp < 0 ? -exp : exp).ptr;
  }
  out->commit(static_cast<size_t>(p - start));
}

// Bytes that need an escape: the quote, the backslash and controls.
constexpr bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = needs_escape(static_cast<unsigned char>(c));
  return t;
}();

// Index of the first byte of s[from..] that needs an escape, or s.size().
// Looks at eight bytes at a time: most strings need no escape at all.
size_t find_escape(std::string_view s, size_t from) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  size_t i = from;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    // A zero byte in x shows as a high bit in (x - ones) & ~x & high; bytes
    // >= 0x80 are masked out with ~w, as none of them needs an escape.
    const uint64_t quote = w ^ (kOnes * '"');
    const uint64_t slash = w ^ (kOnes * '\\');
    const uint64_t hits = (((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash) |
                           (w - kOnes * 0x20)) & ~w & kHigh;
    if (hits != 0) break;
  }
  for (; i < s.size(); ++i) {
    if (kNeedsEscape[static_cast<unsigned char>(s[i])]) return i;
  }
  return s.size();
}

void write_string(std::string_view s, ByteBuffer* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t i = find_escape(s, 0);
  if (i == s.size()) {  // the common case: one copy between quotes
    out->reserve_more(s.size() + 2);
    char* p = out->tail();
    *p = '"';
    if (!s.empty()) std::memcpy(p + 1, s.data(), s.size());
    p[s.size() + 1] = '"';
    out->commit(s.size() + 2);
    return;
  }
  out->push_back('"');
  size_t run = 0;
  for (; i < s.size(); i = find_escape(s, run)) {
    auto c = static_cast<unsigned char>(s[i]);
    out->append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out->append("\\\"", 2); break;
      case '\\': out->append("\\\\", 2); break;
      case 0x08: out->append("\\b", 2); break;
      case 0x09: out->append("\\t", 2); break;
      case 0x0A: out->append("\\n", 2); break;
      case 0x0C: out->append("\\f", 2); break;
      case 0x0D: out->append("\\r", 2); break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out->append(esc, 6);
      }
    }
  }
  out->append(s.data() + run, s.size() - run);
  out->push_back('"');
}

template <typename Int>
void write_int(Int x, ByteBuffer* out) {
  out->reserve_more(24);
  char* p = out->tail();
  out->commit(static_cast<size_t>(std::to_chars(p, p + 24, x).ptr - p));
}

}  // namespace

void write_number(const Value& value, ByteBuffer* out) {
  switch (value.kind) {
    case Kind::kUint: write_int(value.u, out); break;
    case Kind::kInt: write_int(value.i, out); break;
    case Kind::kDouble: write_double(value.d, out); break;
    default: storage::panic("write_number called on a value that is not a number");
  }
}

namespace {

// Strings known to need no escape are copied as they are.
template <bool kPlain>
void write_text(std::string_view s, ByteBuffer* out) {
  if constexpr (kPlain) {
    out->reserve_more(s.size() + 2);
    char* p = out->tail();
    *p = '"';
    if (!s.empty()) std::memcpy(p + 1, s.data(), s.size());
    p[s.size() + 1] = '"';
    out->commit(s.size() + 2);
  } else {
    write_string(s, out);
  }
}

template <bool kPlain>
void write_value(const Value& value, ByteBuffer* out) {
  switch (value.kind) {
    case Kind::kNull: out->append("null", 4); break;
    case Kind::kFalse: out->append("false", 5); break;
    case Kind::kTrue: out->append("true", 4); break;
    case Kind::kUint:
    case Kind::kInt:
    case Kind::kDouble: write_number(value, out); break;
    case Kind::kString: write_text<kPlain>(value.text(), out); break;
    case Kind::kArray:
      out->push_back('[');
      for (size_t i = 0; i < value.size; ++i) {
        if (i > 0) out->push_back(',');
        write_value<kPlain>(value.items[i], out);
      }
      out->push_back(']');
      break;
    case Kind::kObject:
      out->push_back('{');
      for (size_t i = 0; i < value.size; ++i) {
        if (i > 0) out->push_back(',');
        write_text<kPlain>(value.members[i].key, out);
        out->push_back(':');
        write_value<kPlain>(value.members[i].value, out);
      }
      out->push_back('}');
      break;
  }
}

template <bool kPlain>
void write_entry(const Value& value, ByteBuffer* out);

// strip_nulls(object) written as it goes.
template <bool kPlain>
void write_stripped_object(const Value& object, ByteBuffer* out) {
  out->push_back('{');
  bool first = true;
  for (const Member& m : object.entries()) {
    if (!keeps_entry(m.value)) continue;
    if (!first) out->push_back(',');
    first = false;
    write_text<kPlain>(m.key, out);
    out->push_back(':');
    write_entry<kPlain>(m.value, out);
  }
  out->push_back('}');
}

template <bool kPlain>
void write_entry(const Value& value, ByteBuffer* out) {
  if (value.kind == Kind::kObject) {
    write_stripped_object<kPlain>(value, out);
  } else if (value.kind == Kind::kArray) {
    out->push_back('[');
    for (size_t i = 0; i < value.size; ++i) {
      if (i > 0) out->push_back(',');
      const Value& item = value.items[i];
      if (item.kind == Kind::kObject) {
        write_stripped_object<kPlain>(item, out);
      } else {
        write_value<kPlain>(item, out);
      }
    }
    out->push_back(']');
  } else {
    write_value<kPlain>(value, out);
  }
}

}  // namespace

bool keeps_entry(const Value& value) {
  switch (value.kind) {
    case Kind::kNull: return false;
    case Kind::kString: return !is_null_like(value.text());
    case Kind::kArray:
    case Kind::kObject: return value.size != 0;
    default: return true;  // booleans and numbers, false and 0 included
  }
}

void write_stripped(const Value& value, ByteBuffer* out, bool strings_are_plain) {
  if (strings_are_plain) {
    value.is_object() ? write_stripped_object<true>(value, out) : write_value<true>(value, out);
  } else {
    value.is_object() ? write_stripped_object<false>(value, out) : write_value<false>(value, out);
  }
}

void write_entry_value(const Value& value, ByteBuffer* out, bool strings_are_plain) {
  if (strings_are_plain) {
    write_entry<true>(value, out);
  } else {
    write_entry<false>(value, out);
  }
}

void write_key(std::string_view key, ByteBuffer* out, bool strings_are_plain) {
  if (strings_are_plain) {
    write_text<true>(key, out);
  } else {
    write_text<false>(key, out);
  }
}

void write_compact(const Value& value, ByteBuffer* out, bool strings_are_plain) {
  if (strings_are_plain) {
    write_value<true>(value, out);
  } else {
    write_value<false>(value, out);
  }
}

std::string stable_json_bytes(const Value& value) {
  ByteBuffer out(128);
  write_compact(value, &out);
  return std::string(out.view());
}

}  // namespace rs::json
