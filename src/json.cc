#include "src/json.h"

#include <mimalloc.h>

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

void* Arena::allocate(size_t bytes, size_t align) {
  while (current_ < chunks_.size()) {
    const Chunk& c = chunks_[current_];
    size_t start = (used_ + align - 1) & ~(align - 1);
    if (start + bytes <= c.size) {
      used_ = start + bytes;
      return c.data + start;
    }
    ++current_;
    used_ = 0;
  }
  size_t size = bytes + align > chunk_bytes_ ? bytes + align : chunk_bytes_;
  auto* data = static_cast<char*>(mi_malloc_aligned(size, alignof(std::max_align_t)));
  if (data == nullptr) throw std::bad_alloc();
  chunks_.push_back({data, size});
  current_ = chunks_.size() - 1;
  used_ = bytes;
  return data;
}

char* Arena::copy_terminated(std::string_view text) {
  auto* out = static_cast<char*>(allocate(text.size() + 1, 1));
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

void Arena::reset() {
  current_ = 0;
  used_ = 0;
}

// ---- Errors ----

std::string ParseError::display() const {
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// ---- Cleaning ----

bool is_null_like(std::string_view text) {
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

void write_double(double d, std::string* out) {
  // A parsed value is always finite: overflowing literals are parse errors.
  STORAGE_ASSERT(std::isfinite(d));
  if (std::signbit(d)) out->push_back('-');
  d = std::fabs(d);
  if (d == 0) {
    out->append("0.0");
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
  for (const char* p = buf; p < e; ++p) {
    if (*p != '.') digits[nd++] = *p;
  }
  int exp = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), r.ptr, exp);
  if (exp >= -5 && exp <= 15) {
    if (exp >= 0) {
      size_t int_digits = static_cast<size_t>(exp) + 1;
      if (nd <= int_digits) {
        out->append(digits, nd);
        out->append(int_digits - nd, '0');
        out->append(".0");
      } else {
        out->append(digits, int_digits);
        out->push_back('.');
        out->append(digits + int_digits, nd - int_digits);
      }
    } else {
      out->append("0.");
      out->append(static_cast<size_t>(-exp - 1), '0');
      out->append(digits, nd);
    }
    return;
  }
  out->push_back(digits[0]);
  if (nd > 1) {
    out->push_back('.');
    out->append(digits + 1, nd - 1);
  }
  out->push_back('e');
  out->push_back(exp < 0 ? '-' : '+');
  char eb[8];
  auto er = std::to_chars(eb, eb + sizeof(eb), exp < 0 ? -exp : exp);
  out->append(eb, static_cast<size_t>(er.ptr - eb));
}

// Bytes that need an escape: the quote, the backslash and controls.
constexpr bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void write_string(std::string_view s, std::string* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('"');
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (!needs_escape(c)) continue;
    out->append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case 0x08: out->append("\\b"); break;
      case 0x09: out->append("\\t"); break;
      case 0x0A: out->append("\\n"); break;
      case 0x0C: out->append("\\f"); break;
      case 0x0D: out->append("\\r"); break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out->append(esc, 6);
      }
    }
  }
  out->append(s.data() + run, s.size() - run);
  out->push_back('"');
}

template <typename Int>
void write_int(Int x, std::string* out) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), x);
  out->append(buf, static_cast<size_t>(r.ptr - buf));
}

}  // namespace

void write_number(const Value& value, std::string* out) {
  switch (value.kind) {
    case Kind::kUint: write_int(value.u, out); break;
    case Kind::kInt: write_int(value.i, out); break;
    case Kind::kDouble: write_double(value.d, out); break;
    default: storage::panic("write_number called on a value that is not a number");
  }
}

void write_compact(const Value& value, std::string* out) {
  switch (value.kind) {
    case Kind::kNull: out->append("null"); break;
    case Kind::kFalse: out->append("false"); break;
    case Kind::kTrue: out->append("true"); break;
    case Kind::kUint:
    case Kind::kInt:
    case Kind::kDouble: write_number(value, out); break;
    case Kind::kString: write_string(value.text(), out); break;
    case Kind::kArray:
      out->push_back('[');
      for (size_t i = 0; i < value.size; ++i) {
        if (i > 0) out->push_back(',');
        write_compact(value.items[i], out);
      }
      out->push_back(']');
      break;
    case Kind::kObject:
      out->push_back('{');
      for (size_t i = 0; i < value.size; ++i) {
        if (i > 0) out->push_back(',');
        write_string(value.members[i].key, out);
        out->push_back(':');
        write_compact(value.members[i].value, out);
      }
      out->push_back('}');
      break;
  }
}

std::string stable_json_bytes(const Value& value) {
  std::string out;
  out.reserve(128);
  write_compact(value, &out);
  return out;
}

}  // namespace rs::json
