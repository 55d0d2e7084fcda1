#include "storage/src/types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace storage {
namespace {

static_assert(KeyCodec<U8Codec> && KeyCodec<U16Codec> && KeyCodec<U32Codec> &&
              KeyCodec<U64Codec> && KeyCodec<TextCodec> && KeyCodec<UnitCodec>);
static_assert(ValueCodec<BytesCodec> && !KeyCodec<BytesCodec>);

ByteView text(const std::string& s) {
  return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

template <typename C>
std::vector<uint8_t> enc(typename C::Decoded v) {
  auto b = C::as_bytes(v);
  ByteView view(b);
  return std::vector<uint8_t>(view.begin(), view.end());
}

TEST(CodecTest, IntegerKeysOrderAsNumbersNotBytes) {
  struct Case {
    std::vector<uint8_t> a, b;
    std::strong_ordering (*compare)(ByteView, ByteView);
    std::strong_ordering want;
  };
  const std::vector<Case> cases = {
      {enc<U16Codec>(255), enc<U16Codec>(256), &U16Codec::compare, std::strong_ordering::less},
      {enc<U32Codec>(1), enc<U32Codec>(256), &U32Codec::compare, std::strong_ordering::less},
      {enc<U32Codec>(0x01000000), enc<U32Codec>(0xFF), &U32Codec::compare,
       std::strong_ordering::greater},
      {enc<U64Codec>(1ull << 56), enc<U64Codec>(0xFF), &U64Codec::compare,
       std::strong_ordering::greater},
      {enc<U64Codec>(~0ull), enc<U64Codec>(~0ull), &U64Codec::compare,
       std::strong_ordering::equal},
      {enc<U8Codec>(0), enc<U8Codec>(255), &U8Codec::compare, std::strong_ordering::less},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].compare(cases[i].a, cases[i].b), cases[i].want) << "case " << i;
  }
  // Little-endian stored form.
  EXPECT_EQ(enc<U16Codec>(256), (std::vector<uint8_t>{0x00, 0x01}));
  EXPECT_EQ(enc<U32Codec>(0x01020304), (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(U64Codec::from_bytes(std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 2}),
            0x0200000000000001ull);
}

TEST(CodecTest, TextOrderIsBytewise) {
  struct Case {
    std::string a, b;
    std::strong_ordering want;
  };
  const std::vector<Case> cases = {
      {"ab", "abc", std::strong_ordering::less},
      {"", "a", std::strong_ordering::less},
      {"", "", std::strong_ordering::equal},
      {"B", "a", std::strong_ordering::less},
      {"abc", "abd", std::strong_ordering::less},
      {"\xc3\xa9", "z", std::strong_ordering::greater},  // U+00E9 after ASCII
      {"same", "same", std::strong_ordering::equal},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TextCodec::compare(text(c.a), text(c.b)), c.want) << c.a << " vs " << c.b;
    EXPECT_EQ(TextCodec::compare(text(c.b), text(c.a)), (0 <=> c.want)) << c.b;
  }
  EXPECT_EQ(TextCodec::from_bytes(text("h\xc3\xa9")), "h\xc3\xa9");
  // A view, not a copy.
  std::string s = "view";
  EXPECT_EQ(TextCodec::from_bytes(text(s)).data(), s.data());
}

TEST(CodecTest, UnitKeysAreAlwaysEqualAndEmpty) {
  std::vector<uint8_t> a = {1, 2}, b;
  EXPECT_EQ(UnitCodec::compare(a, b), std::strong_ordering::equal);
  EXPECT_EQ(enc<UnitCodec>(Unit{}).size(), 0u);
  EXPECT_EQ(UnitCodec::fixed_width(), std::optional<size_t>(0));
}

TEST(CodecTest, FixedWidthsAndTypeNames) {
  EXPECT_EQ(U8Codec::fixed_width(), std::optional<size_t>(1));
  EXPECT_EQ(U16Codec::fixed_width(), std::optional<size_t>(2));
  EXPECT_EQ(U32Codec::fixed_width(), std::optional<size_t>(4));
  EXPECT_EQ(U64Codec::fixed_width(), std::optional<size_t>(8));
  EXPECT_EQ(TextCodec::fixed_width(), std::nullopt);
  EXPECT_EQ(BytesCodec::fixed_width(), std::nullopt);
  EXPECT_EQ(U8Codec::type_name(), (TypeName{0, "u8"}));
  EXPECT_EQ(U16Codec::type_name(), (TypeName{0, "u16"}));
  EXPECT_EQ(U32Codec::type_name(), (TypeName{0, "u32"}));
  EXPECT_EQ(U64Codec::type_name(), (TypeName{0, "u64"}));
  EXPECT_EQ(TextCodec::type_name(), (TypeName{0, "&str"}));
  EXPECT_EQ(BytesCodec::type_name(), (TypeName{0, "&[u8]"}));
  EXPECT_EQ(UnitCodec::type_name(), (TypeName{0, "()"}));
  TreeDescriptor d = tree_descriptor<U64Codec, BytesCodec>();
  EXPECT_EQ(d.fixed_key_width, std::optional<size_t>(8));
  EXPECT_EQ(d.fixed_value_width, std::nullopt);
  EXPECT_EQ(d.compare, &U64Codec::compare);
}

TEST(CodecTest, BrokenPreconditionsAreInternalErrors) {
  std::vector<uint8_t> three = {1, 2, 3};
  EXPECT_THROW(U16Codec::from_bytes(three), Panic);
  EXPECT_THROW(U64Codec::compare(three, three), Panic);
  std::vector<uint8_t> bad_utf8 = {0x61, 0xFF};
  EXPECT_THROW(TextCodec::from_bytes(bad_utf8), Panic);
  // Stored keys are compared bytewise, UTF-8 or not: a damaged key must not
  // stop a search.
  EXPECT_EQ(TextCodec::compare(bad_utf8, three), std::strong_ordering::greater);
  EXPECT_EQ(TextCodec::compare(bad_utf8, std::vector<uint8_t>{0x61, 0xFF, 0}),
            std::strong_ordering::less);
  try {
    U32Codec::from_bytes(three);
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "called `Result::unwrap()` on an `Err` value");
  }
}

TEST(CodecTest, Utf8Validation) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"", true},
      {"plain", true},
      {"\xc3\xa9", true},
      {"\xe2\x82\xac", true},
      {"\xf0\x9f\x98\x80", true},
      {"\xf4\x8f\xbf\xbf", true},   // U+10FFFF
      {"\xc0\x80", false},          // overlong NUL
      {"\xe0\x80\x80", false},      // overlong
      {"\xed\xa0\x80", false},      // surrogate
      {"\xf4\x90\x80\x80", false},  // above U+10FFFF
      {"\xc3", false},              // truncated
      {"\xe2\x82", false},          // truncated
      {"\x80", false},              // stray continuation
      {"\xf5\x80\x80\x80", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_valid_utf8(text(c.bytes)), c.valid) << testing::PrintToString(c.bytes);
  }
}

TEST(TypeNameTest, StoredForm) {
  EXPECT_EQ(type_name_to_bytes(U64Codec::type_name()),
            (std::vector<uint8_t>{0x01, 0x75, 0x36, 0x34}));
  auto decoded = type_name_from_bytes(std::vector<uint8_t>{0x01, 0x75, 0x36, 0x34});
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(*decoded, (TypeName{0, "u64"}));
  // Classifications 0 to 3 are stored as 1 to 4.
  auto c3 = type_name_from_bytes(type_name_to_bytes(TypeName{3, "&str"}));
  ASSERT_TRUE(c3.ok());
  EXPECT_EQ(*c3, (TypeName{3, "&str"}));
}

TEST(TypeNameTest, DamagedStoredFormsAreCorruption) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{}, "Stored type name is empty"},
      {{0x05, 0x61}, "Stored type name has invalid classification byte 5"},
      {{0x00}, "Stored type name has invalid classification byte 0"},
      {{0x01, 0xFF}, "Stored type name is not valid UTF-8"},
  };
  for (const auto& c : cases) {
    auto r = type_name_from_bytes(c.bytes);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error(), StorageError::Corrupted(c.text));
  }
}

}  // namespace
}  // namespace storage
