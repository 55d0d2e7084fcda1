// The parser: RapidJSON's SAX reader, in place over the line's copy in the
// arena, feeds a builder of our own values. The reader differs from our
// grammar in a few spots: it takes a NUL byte for the end of the input, lets
// unpaired surrogate escapes through, bounds neither number range nor nesting
// as we do, and refuses some literals whose value is in range. The builder,
// the trailing check and a second read close those gaps; any failure is then
// explained by `diagnose`, which walks the original text and names the first
// error.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <functional>

#include "src/json.h"
#include "src/json_sax.h"
#include "src/utf8.h"

namespace rs::json {
namespace {

bool is_json_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Decimal exponent of the first significant digit of a JSON number literal
// (saturating); only meaningful for a literal with a non-zero digit.
int64_t leading_exponent(std::string_view t) {
  size_t i = (!t.empty() && t[0] == '-') ? 1 : 0;
  int64_t int_digits = 0;
  int64_t first_nonzero = -1;  // position among all mantissa digits
  int64_t pos = 0;
  bool in_fraction = false;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c == '.') {
      in_fraction = true;
      continue;
    }
    if (c == 'e' || c == 'E') break;
    if (!in_fraction) ++int_digits;
    if (c != '0' && first_nonzero < 0) first_nonzero = pos;
    ++pos;
  }
  int64_t exp = 0;
  if (i < t.size()) {
    ++i;
    bool neg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    for (; i < t.size(); ++i) {
      if (exp < 1'000'000'000) exp = exp * 10 + (t[i] - '0');
    }
    if (neg) exp = -exp;
  }
  if (first_nonzero < 0) return 0;
  return int_digits - 1 - first_nonzero + exp;
}

// Converts a literal that matched the JSON number grammar. False when its
// magnitude overflows a double.
bool number_value(std::string_view t, Value* out) {
  const bool negative = t[0] == '-';
  const std::string_view digits = t.substr(negative ? 1 : 0);
  if (digits.find_first_of(".eE") == std::string_view::npos) {
    uint64_t m = 0;
    auto r = std::from_chars(digits.data(), digits.data() + digits.size(), m);
    if (r.ec == std::errc()) {
      if (!negative) {
        *out = Value::uint(m);
        return true;
      }
      // "-0" is a double (negative zero), like every integer that does not fit.
      if (m != 0 && m <= (uint64_t{1} << 63)) {
        *out = Value::integer(static_cast<int64_t>(uint64_t{0} - m));
        return true;
      }
    }
  }
  double d = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), d);
  if (r.ec == std::errc::result_out_of_range) {
    if (leading_exponent(t) >= 0) return false;
    d = negative ? -0.0 : 0.0;  // underflow reads as zero
  } else {
    STORAGE_ASSERT(r.ec == std::errc() && r.ptr == t.data() + t.size());
  }
  *out = Value::real(d);
  return true;
}

// A surrogate code point encoded as UTF-8 (ED A0..BF): only an escape can put
// one into a string of valid UTF-8 input.
bool has_encoded_surrogate(const char* s, size_t n) {
  const char* end = s + n;
  for (const char* p = s; p < end; ++p) {
    p = static_cast<const char*>(std::memchr(p, 0xED, static_cast<size_t>(end - p)));
    if (p == nullptr) return false;
    if (p + 1 < end && static_cast<unsigned char>(p[1]) >= 0xA0) return true;
  }
  return false;
}

}  // namespace

// ---- Builder and parser ----

struct Parser::Impl : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Parser::Impl> {
  using SizeType = rapidjson::SizeType;

  // A value under construction; inside an object, with its key.
  struct Slot {
    std::string_view key;
    Value value;
  };

  // The values under construction, innermost last: a plain stack whose push
  // stays inline.
  struct SlotStack {
    Slot* data = nullptr;
    size_t n = 0;
    size_t cap = 0;
    ~SlotStack() { mi_free(data); }
    void push_back(const Slot& s) {
      if (n == cap) grow();
      data[n++] = s;
    }
    void grow() {
      cap = cap == 0 ? 256 : cap * 2;
      auto* bigger = static_cast<Slot*>(mi_realloc(data, cap * sizeof(Slot)));
      if (bigger == nullptr) throw std::bad_alloc();
      data = bigger;
    }
    Slot& back() { return data[n - 1]; }
    Slot& front() { return data[0]; }
    Slot& operator[](size_t i) { return data[i]; }
    size_t size() const { return n; }
    void resize(size_t m) { n = m; }
    void clear() { n = 0; }
  };

  Arena* arena = nullptr;
  SlotStack slots;
  std::array<bool, kMaxDepth + 1> in_object{};
  int depth = 0;
  std::vector<uint32_t> key_index;  // scratch hash index for large objects
  // Number literals taken from the text instead of from the reader (see parse).
  const std::vector<std::string_view>* literals = nullptr;
  size_t next_literal = 0;
  std::vector<std::string_view> literal_store;
  std::string rewritten;
  MiAllocator allocator;
  rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, MiAllocator> reader{&allocator};

  // Runs the reader over `text`; true when it gave exactly one value.
  bool read(std::string_view text, Arena* arena_in, bool has_backslash,
            rapidjson::ParseResult* result);

  std::string_view keep(const char* s, SizeType n, bool copy) {
    if (!copy) return {s, n};
    char* c = arena->copy_terminated({s, n});
    return {c, n};
  }

  bool emit(const Value& v) {
    if (depth > 0 && in_object[depth - 1]) {
      slots.back().value = v;
    } else {
      slots.push_back(Slot{{}, v});
    }
    return true;
  }

  bool open(bool object) {
    if (depth >= kMaxDepth) return false;
    in_object[depth++] = object;
    return true;
  }

  bool Null() { return emit(Value::null()); }
  bool Bool(bool b) { return emit(Value::boolean(b)); }
  bool RawNumber(const char* s, SizeType n, bool) {
    std::string_view text(s, n);
    if (literals != nullptr) {
      if (next_literal >= literals->size()) return false;
      text = (*literals)[next_literal++];
    }
    Value v;
    if (!number_value(text, &v)) return false;
    return emit(v);
  }
  bool String(const char* s, SizeType n, bool copy) {
    if (copy && has_encoded_surrogate(s, n)) return false;
    return emit(Value::string(keep(s, n, copy)));
  }
  bool Key(const char* s, SizeType n, bool copy) {
    if (copy && has_encoded_surrogate(s, n)) return false;
    slots.push_back(Slot{keep(s, n, copy), Value{}});
    return true;
  }
  bool StartArray() { return open(false); }
  bool StartObject() { return open(true); }

  bool EndArray(SizeType n) {
    --depth;
    Value* items = arena->allocate_array<Value>(n);
    const size_t base = slots.size() - n;
    for (size_t i = 0; i < n; ++i) items[i] = slots[base + i].value;
    slots.resize(base);
    return emit(Value::array(items, n));
  }

  bool EndObject(SizeType n) {
    --depth;
    const size_t base = slots.size() - n;
    Member* members = arena->allocate_array<Member>(n);
    size_t count = n <= 16 ? fold_small(base, n, members) : fold_large(base, n, members);
    slots.resize(base);
    return emit(Value::object(members, count));
  }

  // A repeated key keeps its first position and takes the later value. A
  // 64-bit mask of cheap key signatures spares the comparisons for keys that
  // cannot have been seen.
  size_t fold_small(size_t base, size_t n, Member* out) {
    size_t count = 0;
    uint64_t signatures = 0;
    for (size_t j = 0; j < n; ++j) {
      const Slot& s = slots[base + j];
      const uint64_t bit = uint64_t{1} << signature(s.key);
      size_t k = count;
      if (signatures & bit) {
        k = 0;
        while (k < count && out[k].key != s.key) ++k;
      }
      if (k < count) {
        out[k].value = s.value;
      } else {
        signatures |= bit;
        out[count++] = Member{s.key, s.value};
      }
    }
    return count;
  }

  static unsigned signature(std::string_view key) {
    if (key.empty()) return 0;
    return (static_cast<unsigned>(key.size()) * 7 + static_cast<unsigned char>(key.front()) * 3 +
            static_cast<unsigned char>(key.back())) & 63;
  }

  size_t fold_large(size_t base, size_t n, Member* out) {
    size_t cap = 32;
    while (cap < 2 * n) cap *= 2;
    key_index.assign(cap, UINT32_MAX);
    const size_t mask = cap - 1;
    size_t count = 0;
    for (size_t j = 0; j < n; ++j) {
      const Slot& s = slots[base + j];
      size_t h = std::hash<std::string_view>{}(s.key) & mask;
      while (key_index[h] != UINT32_MAX && out[key_index[h]].key != s.key) h = (h + 1) & mask;
      if (key_index[h] != UINT32_MAX) {
        out[key_index[h]].value = s.value;
      } else {
        key_index[h] = static_cast<uint32_t>(count);
        out[count++] = Member{s.key, s.value};
      }
    }
    return count;
  }
};

Parser::Parser() : impl_(std::make_unique<Impl>()) {}
Parser::~Parser() = default;

namespace {
ParseError diagnose_collecting(std::string_view text, std::vector<std::string_view>* literals);
}  // namespace

// Flattened: left to itself the compiler calls the reader's string and number
// parsers out of line, each copying the stream in and out through memory, a
// stall per string that cost about 8% of dedup_ndjson on an edge file.
[[gnu::flatten]] bool Parser::Impl::read(std::string_view text, Arena* arena_in,
                                         bool has_backslash, rapidjson::ParseResult* result) {
  arena = arena_in;
  slots.clear();
  depth = 0;
  next_literal = 0;
  char* copy = arena->copy_terminated(text);
  rapidjson::InsituStringStream stream(copy);
  constexpr unsigned kFlags = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag |
                              rapidjson::kParseStopWhenDoneFlag;
  *result = reader.Parse<kFlags>(stream, *this);
  if (result->IsError()) return false;
  // The reader stops after the value (and at a NUL byte): the rest must be
  // white space up to the real end.
  size_t pos = stream.Tell();
  while (pos < text.size() && is_json_space(text[pos])) ++pos;
  if (pos != text.size() || slots.size() != 1) return false;
  // Unescaping in place leaves decoded strings and untouched input bytes in
  // the copy; the input is valid UTF-8, so an encoded surrogate anywhere in it
  // came from an escape that did not pair.
  return !has_backslash || !has_encoded_surrogate(copy, text.size());
}

storage::Result<Value, ParseError> Parser::parse(std::string_view text, Arena* arena,
                                                 bool has_backslash) {
  Impl& b = *impl_;
  rapidjson::ParseResult result;
  if (b.read(text, arena, has_backslash, &result)) return b.slots.front().value;
  b.literal_store.clear();
  ParseError error = diagnose_collecting(text, &b.literal_store);
  if (error.message.empty() && !b.literal_store.empty()) {
    // Valid, yet refused: the reader rejects some literals whose value is in
    // range (a zero with a huge exponent, a very long mantissa). Read the text
    // again with every number written as 0, taking the literals from the text.
    b.rewritten.clear();
    size_t from = 0;
    for (std::string_view lit : b.literal_store) {
      size_t at = static_cast<size_t>(lit.data() - text.data());
      b.rewritten.append(text.substr(from, at - from));
      b.rewritten.push_back('0');
      from = at + lit.size();
    }
    b.rewritten.append(text.substr(from));
    b.literals = &b.literal_store;
    bool ok = b.read(b.rewritten, arena, has_backslash, &result);
    b.literals = nullptr;
    if (ok && b.next_literal == b.literal_store.size()) return b.slots.front().value;
  }
  if (error.message.empty()) {
    // The reader refused what the grammar allows; name the place it stopped.
    error.message = "invalid JSON";
    error.column = result.IsError() ? result.Offset() + 1 : text.size();
  }
  return storage::Err{std::move(error)};
}

// ---- Diagnosis ----

namespace {

// The length of the well-formed UTF-8 sequence that starts at s[i], a byte
// of 0x80 or more; 0 when there is none.
size_t utf8_sequence(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  const size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                   : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (n == 0 || s.size() - i < n) return 0;
  return utf8::is_valid(s.substr(i, n)) ? n : 0;
}

// Walks a text by the JSON grammar and stops at the first error. An error
// found at a byte that was consumed reports that byte's column; one found by
// looking ahead reports the column of the byte looked at.
class Diagnoser {
 public:
  Diagnoser(std::string_view s, std::vector<std::string_view>* literals)
      : s_(s), literals_(literals) {}

  ParseError run() {
    if (value() && !failed_) {
      if (space() >= 0) peek_fail("trailing characters");
    }
    return std::move(error_);
  }

  // One value from `*pos`, by the grammar alone (see skip_value).
  ParseError skip(size_t* pos, bool check_utf8) {
    i_ = *pos;
    convert_numbers_ = false;
    check_utf8_ = check_utf8;
    if (skip_value()) *pos = i_;
    return std::move(error_);
  }

 private:
  int peek() const { return i_ < s_.size() ? static_cast<unsigned char>(s_[i_]) : -1; }
  int space() {
    while (i_ < s_.size() && is_json_space(s_[i_])) ++i_;
    return peek();
  }

  bool fail_at(const char* message, size_t index) {
    failed_ = true;
    error_.message = message;
    size_t nl = s_.substr(0, index).rfind('\n');
    error_.line = 1 + static_cast<size_t>(std::count(s_.begin(), s_.begin() + index, '\n'));
    error_.column = nl == std::string_view::npos ? index : index - nl - 1;
    return false;
  }
  bool fail(const char* message) { return fail_at(message, i_); }
  bool peek_fail(const char* message) { return fail_at(message, std::min(i_ + 1, s_.size())); }

  bool value() {
    int c = space();
    if (c == '[' || c == '{') {
      if (--remaining_depth_ == 0) return peek_fail("recursion limit exceeded");
      ++i_;
      if (!(c == '[' ? array() : object())) return false;
      ++remaining_depth_;
      return true;
    }
    return scalar(c);
  }

  // A value that is not an array or object; `c` is its first byte.
  bool scalar(int c) {
    switch (c) {
      case -1: return peek_fail("EOF while parsing a value");
      case 'n': ++i_; return ident("ull");
      case 't': ++i_; return ident("rue");
      case 'f': ++i_; return ident("alse");
      case '-': ++i_; return number(i_ - 1);
      case '"': ++i_; return string();
      default:
        if (is_digit(c)) return number(i_);
        return peek_fail("expected value");
    }
  }

  // The walk of value(), array() and object() without recursion: the open
  // containers are a stack of their closing brackets (held inline while
  // shallow), and their messages are the same.
  bool skip_value() {
    std::string open;
    for (;;) {
      // A value is expected.
      int c = space();
      if (c == '[' || c == '{') {
        ++i_;
        open.push_back(c == '[' ? ']' : '}');
        c = space();
        if (c == open.back()) {
          ++i_;
          open.pop_back();
        } else if (c < 0) {
          return peek_fail(open.back() == ']' ? "EOF while parsing a list"
                                              : "EOF while parsing an object");
        } else if (open.back() == ']' || member_key(c)) {
          continue;
        } else {
          return false;
        }
      } else if (!scalar(c)) {
        return false;
      }
      // A value ended: close containers until one goes on.
      for (;;) {
        if (open.empty()) return true;
        const char close = open.back();
        c = space();
        if (c == close) {
          ++i_;
          open.pop_back();
          continue;
        }
        if (c == ',') {
          ++i_;
          c = space();
          if (c == close) return peek_fail("trailing comma");
          if (c < 0) return peek_fail("EOF while parsing a value");
          if (close == '}' && !member_key(c)) return false;
          break;
        }
        if (c < 0) {
          return peek_fail(close == ']' ? "EOF while parsing a list"
                                        : "EOF while parsing an object");
        }
        return peek_fail(close == ']' ? "expected `,` or `]`" : "expected `,` or `}`");
      }
    }
  }

  // An object member's key and colon; `c` is the byte at the key's place.
  bool member_key(int c) {
    if (c != '"') return peek_fail("key must be a string");
    ++i_;
    if (!string()) return false;
    c = space();
    if (c < 0) return peek_fail("EOF while parsing an object");
    if (c != ':') return peek_fail("expected `:`");
    ++i_;
    return true;
  }

  bool ident(const char* rest) {
    for (const char* p = rest; *p != '\0'; ++p) {
      if (i_ >= s_.size()) return fail("EOF while parsing a value");
      if (s_[i_++] != *p) return fail("expected ident");
    }
    return true;
  }

  bool digits() {
    bool any = false;
    while (is_digit(peek())) {
      ++i_;
      any = true;
    }
    return any;
  }

  bool number(size_t start) {
    int c = i_ < s_.size() ? static_cast<unsigned char>(s_[i_++]) : 0;
    if (c == '0') {
      if (is_digit(peek())) return peek_fail("invalid number");
    } else if (c >= '1' && c <= '9') {
      digits();
    } else {
      return fail("invalid number");
    }
    if (peek() == '.') {
      ++i_;
      if (!digits()) {
        return peek() >= 0 ? peek_fail("invalid number") : peek_fail("EOF while parsing a value");
      }
    }
    if (peek() == 'e' || peek() == 'E') {
      ++i_;
      if (peek() == '+' || peek() == '-') ++i_;
      if (i_ >= s_.size()) return fail("EOF while parsing a value");
      if (!is_digit(static_cast<unsigned char>(s_[i_++]))) return fail("invalid number");
      digits();
    }
    if (!convert_numbers_) return true;
    Value v;
    const std::string_view literal = s_.substr(start, i_ - start);
    if (!number_value(literal, &v)) return fail("number out of range");
    if (literals_ != nullptr) literals_->push_back(literal);
    return true;
  }

  bool hex4(uint32_t* out) {
    if (s_.size() - i_ < 4) {
      i_ = s_.size();
      return fail("EOF while parsing a string");
    }
    uint32_t v = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
      char c = s_[i_ + k];
      int d = is_digit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                   : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (d < 0) ok = false;
      v = v * 16 + static_cast<uint32_t>(d < 0 ? 0 : d);
    }
    i_ += 4;
    if (!ok) return fail("invalid escape");
    *out = v;
    return true;
  }

  bool unicode_escape() {
    uint32_t n = 0;
    if (!hex4(&n)) return false;
    if (n >= 0xDC00 && n <= 0xDFFF) return fail("lone leading surrogate in hex escape");
    if (n < 0xD800 || n > 0xDBFF) return true;
    for (char expected : {'\\', 'u'}) {
      if (i_ >= s_.size()) return fail("EOF while parsing a string");
      if (s_[i_++] != expected) return fail("unexpected end of hex escape");
    }
    uint32_t n2 = 0;
    if (!hex4(&n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return fail("lone leading surrogate in hex escape");
    return true;
  }

  bool string() {
    bool bad_utf8 = false;
    for (;;) {
      if (i_ >= s_.size()) return fail("EOF while parsing a string");
      auto c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return !bad_utf8 || fail("invalid UTF-8 in string");
      if (c < 0x20) {
        return fail("control character (\\u0000-\\u001F) found while parsing a string");
      }
      if (c >= 0x80 && check_utf8_) {
        const size_t n = utf8_sequence(s_, i_ - 1);
        if (n == 0) bad_utf8 = true;
        if (n > 1) i_ += n - 1;
        continue;
      }
      if (c != '\\') continue;
      if (i_ >= s_.size()) return fail("EOF while parsing a string");
      switch (s_[i_++]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
          break;
        case 'u':
          if (!unicode_escape()) return false;
          break;
        default:
          return fail("invalid escape");
      }
    }
  }

  bool array() {
    bool first = true;
    for (;;) {
      int c = space();
      if (c == ']') {
        ++i_;
        return true;
      }
      if (c == ',' && !first) {
        ++i_;
        c = space();
        if (c == ']') return peek_fail("trailing comma");
        if (c < 0) return peek_fail("EOF while parsing a value");
      } else if (c < 0) {
        return peek_fail("EOF while parsing a list");
      } else if (first) {
        first = false;
      } else {
        return peek_fail("expected `,` or `]`");
      }
      if (!value()) return false;
    }
  }

  bool object() {
    bool first = true;
    for (;;) {
      int c = space();
      if (c == '}') {
        ++i_;
        return true;
      }
      if (c == ',' && !first) {
        ++i_;
        c = space();
      } else if (c < 0) {
        return peek_fail("EOF while parsing an object");
      } else if (first) {
        first = false;
      } else {
        return peek_fail("expected `,` or `}`");
      }
      if (c == '}') return peek_fail("trailing comma");
      if (c < 0) return peek_fail("EOF while parsing a value");
      if (!member_key(c) || !value()) return false;
    }
  }

  std::string_view s_;
  std::vector<std::string_view>* literals_;
  size_t i_ = 0;
  int remaining_depth_ = kMaxDepth + 1;
  bool convert_numbers_ = true;
  bool check_utf8_ = false;
  bool failed_ = false;
  ParseError error_;
};

ParseError diagnose_collecting(std::string_view text, std::vector<std::string_view>* literals) {
  return Diagnoser(text, literals).run();
}

}  // namespace

ParseError diagnose(std::string_view text) { return diagnose_collecting(text, nullptr); }

ParseError skip_value(std::string_view text, size_t* pos, bool check_utf8) {
  return Diagnoser(text, nullptr).skip(pos, check_utf8);
}

}  // namespace rs::json
