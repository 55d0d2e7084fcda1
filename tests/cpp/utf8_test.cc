#include "src/utf8.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace rs::utf8 {
namespace {

// A plain decoder by the code point ranges, as the model.
bool model_valid(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (int k = 1; k < len; ++k) {
      auto n = static_cast<unsigned char>(s[i + k]);
      if ((n & 0xC0) != 0x80) return false;
      c = (c << 6) | (n & 0x3F);
    }
    static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

TEST(Utf8, ValidityMatchesAModelOnRandomBytes) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  // Fragments near the edges of the encoding, mixed with ASCII runs so the
  // word-at-a-time path is crossed at every offset.
  const std::vector<std::string> parts = {
      "a", "abcdefghij", "\xC2\x80", "\xC1\xBF", "\xDF\xBF", "\xE0\xA0\x80", "\xE0\x9F\xBF",
      "\xED\x9F\xBF", "\xED\xA0\x80", "\xEE\x80\x80", "\xF0\x90\x80\x80", "\xF0\x8F\xBF\xBF",
      "\xF4\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\x80", "\xBF", "\xFF", "\xC3",
      "\xE2\x80", "\xF0\x9F\x98"};
  for (int n = 0; n < 50000; ++n) {
    std::string s;
    int pieces = static_cast<int>(rng() % 8);
    for (int k = 0; k < pieces; ++k) s += parts[rng() % parts.size()];
    if (rng() % 4 == 0 && !s.empty()) s[rng() % s.size()] = static_cast<char>(rng());
    ASSERT_EQ(is_valid(s), model_valid(s)) << testing::PrintToString(s);
  }
}

TEST(Utf8, AsciiScanMatchesAByteLoop) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int n = 0; n < 20000; ++n) {
    // Mostly ASCII, with the odd backslash or high byte at any offset.
    std::string s(rng() % 80, 'x');
    for (char& c : s) c = static_cast<char>(0x20 + rng() % 0x5F);
    for (int k = static_cast<int>(rng() % 3); k > 0 && !s.empty(); --k) {
      s[rng() % s.size()] = "\\\x80\xFF\xC3\x7F"[rng() % 5];
    }
    bool ascii = true;
    for (char c : s) ascii &= static_cast<unsigned char>(c) < 0x80;
    const AsciiScan scan = scan_ascii(s);
    ASSERT_EQ(scan.ascii, ascii) << testing::PrintToString(s);
    ASSERT_EQ(scan.backslash, s.find('\\') != std::string::npos) << testing::PrintToString(s);
    if (scan.ascii) {
      ASSERT_TRUE(is_valid(s));
    }
  }
}

TEST(Utf8, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim(" \t\n\v\f\r x y \r\n"), "x y");
  // U+00A0 U+3000 before, U+2028 U+0085 after.
  EXPECT_EQ(trim("\xC2\xA0\xE3\x80\x80na\xE2\x80\xA8\xC2\x85"), "na");
  EXPECT_EQ(trim("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");  // U+200B is not white space
  EXPECT_EQ(trim("\x1Fx"), "\x1Fx");                  // nor is U+001F
  EXPECT_EQ(trim("x\xC3\xA9"), "x\xC3\xA9");
  EXPECT_TRUE(is_blank(""));
  EXPECT_TRUE(is_blank("\xE2\x80\x80\xE2\x80\x8A\xE1\x9A\x80\xE2\x81\x9F\xE2\x80\xAF"));
  EXPECT_FALSE(is_blank("\xEF\xBB\xBF"));  // a byte-order mark is not white space
}

}  // namespace
}  // namespace rs::utf8

namespace rs::utf8 {
namespace {

TEST(Utf8Lossy, ReplacesEachMaximalIllFormedSubsequence) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xFF" "b", "a\xEF\xBF\xBD" "b"},
      // A truncated three-byte sequence is one replacement, not two.
      {"x\xE2\x82", "x\xEF\xBF\xBD"},
      {"\xE2\x82" "y", "\xEF\xBF\xBD" "y"},
      // A surrogate's lead byte pair is ill-formed at its second byte.
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF0\x9F\x98\x80\xF0\x9F", "\xF0\x9F\x98\x80\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) EXPECT_EQ(lossy(c.in), c.out) << c.in;
}

TEST(Utf8SplitWhitespace, SplitsAtRunsOfUnicodeWhiteSpace) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(split_whitespace("MemAvailable:   123 kB"), (V{"MemAvailable:", "123", "kB"}));
  EXPECT_EQ(split_whitespace(" \t "), V{});
  EXPECT_EQ(split_whitespace("a\xE3\x80\x80" "b\xC2\xA0"), (V{"a", "b"}));
  EXPECT_EQ(split_whitespace("\xC3\xA9"), V{"\xC3\xA9"});
}

}  // namespace
}  // namespace rs::utf8
