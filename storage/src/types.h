// Key and value codecs: how a typed value becomes stored bytes and back, how two
// stored keys order, and the name the table directory records for a type.
//
// Page code never sees the codecs: it works on a TreeDescriptor (fixed widths and
// a compare function) built from them once, so only the thin typed layer is a
// template.
//
// Thread safety: stateless functions and plain values.
#pragma once

#include <array>
#include <compare>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/panic.h"
#include "storage/src/result.h"

namespace storage {

using ByteView = std::span<const uint8_t>;

// Text of the internal error raised when a codec is handed bytes it never wrote
// (a wrong width, text that is not UTF-8).
inline constexpr const char* kUnwrapErrText = "called `Result::unwrap()` on an `Err` value";

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(ByteView bytes);

// Stored form of a TypeName: classification + 1, then the UTF-8 name.
std::vector<uint8_t> type_name_to_bytes(const TypeName& name);
// The stored form comes from the file, so damage is reported, never trusted.
Result<TypeName, StorageError> type_name_from_bytes(ByteView bytes);

// A value codec: `Decoded` is what from_bytes yields (a view for text and byte
// strings); as_bytes gives something that converts to a byte view.
template <typename C>
concept ValueCodec = requires(ByteView bytes, const typename C::Decoded& value) {
  typename C::Decoded;
  { C::fixed_width() } -> std::same_as<std::optional<size_t>>;
  { C::from_bytes(bytes) } -> std::same_as<typename C::Decoded>;
  { C::as_bytes(value) } -> std::convertible_to<ByteView>;
  { C::type_name() } -> std::same_as<TypeName>;
};

// A key codec also orders two stored keys, on their bytes.
template <typename C>
concept KeyCodec = ValueCodec<C> && requires(ByteView a, ByteView b) {
  { C::compare(a, b) } -> std::same_as<std::strong_ordering>;
};

// Unsigned little-endian integers, ordered as numbers.
template <typename T>
  requires std::unsigned_integral<T>
struct IntCodec {
  using Decoded = T;
  static constexpr size_t kWidth = sizeof(T);

  static constexpr std::optional<size_t> fixed_width() { return kWidth; }
  static T from_bytes(ByteView bytes) {
    if (bytes.size() != kWidth) panic(kUnwrapErrText);
    T v;
    std::memcpy(&v, bytes.data(), kWidth);  // little-endian host
    return v;
  }
  static std::array<uint8_t, kWidth> as_bytes(const T& value) {
    std::array<uint8_t, kWidth> out;
    std::memcpy(out.data(), &value, kWidth);
    return out;
  }
  static TypeName type_name() {
    return TypeName{0, kWidth == 1   ? "u8"
                       : kWidth == 2 ? "u16"
                       : kWidth == 4 ? "u32"
                                     : "u64"};
  }
  static std::strong_ordering compare(ByteView a, ByteView b) {
    return from_bytes(a) <=> from_bytes(b);
  }
};

using U8Codec = IntCodec<uint8_t>;
using U16Codec = IntCodec<uint16_t>;
using U32Codec = IntCodec<uint32_t>;
using U64Codec = IntCodec<uint64_t>;

// UTF-8 text, stored bare; decodes to a view of the stored bytes.
struct TextCodec {
  using Decoded = std::string_view;
  static constexpr std::optional<size_t> fixed_width() { return std::nullopt; }
  static std::string_view from_bytes(ByteView bytes) {
    if (!is_valid_utf8(bytes)) panic(kUnwrapErrText);
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  static ByteView as_bytes(const std::string_view& value) {
    return ByteView(reinterpret_cast<const uint8_t*>(value.data()), value.size());
  }
  static TypeName type_name() { return TypeName{0, "&str"}; }
  // Bytewise, a proper prefix first: for UTF-8 this is code point order, and
  // bytes that are not UTF-8 (a damaged key) still order without a panic.
  static std::strong_ordering compare(ByteView a, ByteView b);
};

// Raw bytes, a value type only.
struct BytesCodec {
  using Decoded = ByteView;
  static constexpr std::optional<size_t> fixed_width() { return std::nullopt; }
  static ByteView from_bytes(ByteView bytes) { return bytes; }
  static ByteView as_bytes(const ByteView& value) { return value; }
  static TypeName type_name() { return TypeName{0, "&[u8]"}; }
};

// The unit type: no bytes, and every two keys are equal.
struct UnitCodec {
  using Decoded = Unit;
  static constexpr std::optional<size_t> fixed_width() { return 0; }
  static Unit from_bytes(ByteView) { return Unit{}; }
  static std::array<uint8_t, 0> as_bytes(const Unit&) { return {}; }
  static TypeName type_name() { return TypeName{0, "()"}; }
  static std::strong_ordering compare(ByteView, ByteView) { return std::strong_ordering::equal; }
};

using KeyCompareFn = std::strong_ordering (*)(ByteView, ByteView);

// What the untyped page code knows of a tree's types. `compare` may be null for
// walks that never search (page visits, checksums).
struct TreeDescriptor {
  std::optional<size_t> fixed_key_width;
  std::optional<size_t> fixed_value_width;
  KeyCompareFn compare = nullptr;
};

template <KeyCodec K, ValueCodec V>
constexpr TreeDescriptor tree_descriptor() {
  return TreeDescriptor{K::fixed_width(), V::fixed_width(), &K::compare};
}

}  // namespace storage
