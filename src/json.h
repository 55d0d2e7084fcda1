// JSON records: a compact value model, the parser of one NDJSON line, null
// stripping and the compact writer whose bytes decide record equality.
//
// Values never own memory: strings, arrays and objects point into an Arena
// (parsed lines live in the line's arena, which is reset per line), so a
// record costs no heap allocation once the arena has grown to fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/byte_buffer.h"
#include "storage/src/result.h"

namespace rs::json {

// Bump allocator over mimalloc chunks. reset() keeps the chunks for reuse.
// Thread safety: none; one owner.
class Arena {
 public:
  explicit Arena(size_t chunk_bytes = 64 * 1024);
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // `align` is at most 16.
  void* allocate(size_t bytes, size_t align) {
    auto p = (reinterpret_cast<uintptr_t>(pos_) + align - 1) & ~uintptr_t{align - 1};
    if (pos_ != nullptr && p <= reinterpret_cast<uintptr_t>(end_) &&
        bytes <= static_cast<size_t>(reinterpret_cast<uintptr_t>(end_) - p)) {
      pos_ = reinterpret_cast<char*>(p + bytes);
      return reinterpret_cast<void*>(p);
    }
    return allocate_slow(bytes, align);
  }
  template <typename T>
  T* allocate_array(size_t n) {
    return static_cast<T*>(allocate(sizeof(T) * (n == 0 ? 1 : n), alignof(T)));
  }
  // A copy of `text` followed by a NUL byte (and zeroed padding, so that
  // 16-byte aligned loads around the end stay inside the allocation).
  char* copy_terminated(std::string_view text);
  void reset();

 private:
  struct Chunk {
    char* data;
    size_t size;
  };
  void* allocate_slow(size_t bytes, size_t align);

  std::vector<Chunk> chunks_;
  size_t current_ = 0;     // chunk being filled
  char* pos_ = nullptr;    // its free part
  char* end_ = nullptr;
  size_t chunk_bytes_;
};

enum class Kind : uint8_t { kNull, kFalse, kTrue, kUint, kInt, kDouble, kString, kArray, kObject };

struct Member;

// A JSON value. Numbers are held as an unsigned 64-bit integer (non-negative
// integer literals that fit), a signed one (negative integer literals that fit)
// or a double (everything else).
struct Value {
  Kind kind = Kind::kNull;
  size_t size = 0;  // bytes of a string, elements of an array, members of an object
  union {
    uint64_t u = 0;
    int64_t i;
    double d;
    const char* str;
    Value* items;
    Member* members;
  };

  static Value null() { return Value{}; }
  static Value boolean(bool b) {
    Value v;
    v.kind = b ? Kind::kTrue : Kind::kFalse;
    return v;
  }
  static Value uint(uint64_t x) {
    Value v;
    v.kind = Kind::kUint;
    v.u = x;
    return v;
  }
  static Value integer(int64_t x) {
    Value v;
    v.kind = Kind::kInt;
    v.i = x;
    return v;
  }
  static Value real(double x) {
    Value v;
    v.kind = Kind::kDouble;
    v.d = x;
    return v;
  }
  static Value string(std::string_view s) {
    Value v;
    v.kind = Kind::kString;
    v.str = s.data();
    v.size = s.size();
    return v;
  }
  static Value array(Value* items, size_t n) {
    Value v;
    v.kind = Kind::kArray;
    v.items = items;
    v.size = n;
    return v;
  }
  static Value object(Member* members, size_t n) {
    Value v;
    v.kind = Kind::kObject;
    v.members = members;
    v.size = n;
    return v;
  }

  bool is_object() const { return kind == Kind::kObject; }
  bool is_number() const {
    return kind == Kind::kUint || kind == Kind::kInt || kind == Kind::kDouble;
  }
  std::string_view text() const { return {str, size}; }
  std::span<Value> elements() const { return {items, size}; }
  std::span<Member> entries() const;
};

// An object entry. Keys of one object are distinct and kept in stored order.
struct Member {
  std::string_view key;
  Value value;
};

inline std::span<Member> Value::entries() const { return {members, size}; }

// A parse failure: the message and where it was found (1-based line, column
// counted in bytes; column 0 is the start of an empty input).
struct ParseError {
  std::string message;
  size_t line = 1;
  size_t column = 0;
  // "<message> at line <line> column <column>".
  std::string display() const;
};

// Nesting of arrays and objects is limited to this many levels.
inline constexpr int kMaxDepth = 127;

// Parses JSON texts one at a time. Objects keep their keys in input order; a
// key given twice keeps its first position and its last value.
// Thread safety: none; one per thread.
class Parser {
 public:
  Parser();
  ~Parser();
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // Parses `text` (valid UTF-8) as one JSON value with optional white space
  // around it. The value and its strings live in `arena`. `has_backslash`
  // false promises that `text` holds no backslash (so no escape to check).
  storage::Result<Value, ParseError> parse(std::string_view text, Arena* arena,
                                           bool has_backslash = true);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The first error of `text` as a parse error, or an empty message when `text`
// is one valid JSON value. Used to explain a failed parse.
ParseError diagnose(std::string_view text);

// Walks the one JSON value that starts at `*pos` (after optional white space)
// by the grammar alone, for values a reader ignores: numbers are not
// converted (any literal of the grammar passes) and nesting is bounded by
// memory only, never by recursion. With `check_utf8`, raw bytes inside
// strings must be UTF-8 ("invalid UTF-8 in string", at the string's end).
// On success `*pos` is just past the value and the message is empty;
// otherwise the first error, named and placed as diagnose does.
ParseError skip_value(std::string_view text, size_t* pos, bool check_utf8);

// A new object without null, blank, null-like and empty-container entries;
// nested objects and objects directly inside arrays are stripped too. A value
// that is not an object comes back unchanged.
Value strip_nulls(const Value& value, Arena* arena);
// One element of an array found inside a stripped object.
Value transform(const Value& element, Arena* arena);

// True for strings that are "null", "none", "nan" or "na" after trimming
// Unicode white space and ASCII lower-casing, and for blank strings.
bool is_null_like(std::string_view text);

// Appends the compact JSON form of `value` (stored key order, no white space).
// `strings_are_plain` promises that no string or key holds a quote, a
// backslash or a control character (true of every string parsed from a text
// without a backslash), so they are copied without looking for escapes.
void write_compact(const Value& value, ByteBuffer* out, bool strings_are_plain = false);
// True when strip_nulls keeps an entry with this value.
bool keeps_entry(const Value& value);
// Appends the compact JSON form of strip_nulls(value) without building it.
void write_stripped(const Value& value, ByteBuffer* out, bool strings_are_plain = false);
// Appends the compact JSON form of a kept entry's value as strip_nulls leaves
// it (a stripped object; an array whose objects are stripped).
void write_entry_value(const Value& value, ByteBuffer* out, bool strings_are_plain = false);
// Appends the compact JSON form of a string or key.
void write_key(std::string_view key, ByteBuffer* out, bool strings_are_plain = false);
// Appends the compact JSON text of a number value.
void write_number(const Value& value, ByteBuffer* out);
// The compact JSON bytes of `value`.
std::string stable_json_bytes(const Value& value);

}  // namespace rs::json
