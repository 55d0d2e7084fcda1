// UTF-8 checks shared by the record utilities: validation of input lines and
// the Unicode white space used to skip blank lines and trim null-like strings.
//
// Thread safety: pure functions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace rs::utf8 {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid(std::string_view text);

// What one pass over a text finds, 16 bytes at a time: whether every byte is
// ASCII (which makes it valid UTF-8) and whether one is a backslash.
struct AsciiScan {
  bool ascii;
  bool backslash;
};
AsciiScan scan_ascii(std::string_view text);

// True for the code points with the Unicode White_Space property.
bool is_whitespace(char32_t c);

// `text` (valid UTF-8) without Unicode white space at either end.
std::string_view trim(std::string_view text);

// True when `text` (valid UTF-8) is empty or Unicode white space only.
bool is_blank(std::string_view text);

// `bytes` as UTF-8 text: each maximal ill-formed subsequence becomes one
// U+FFFD, as the interpreter's "replace" error handler does.
std::string lossy(std::string_view bytes);

// The fields of `text` (valid UTF-8) separated by runs of Unicode white space.
std::vector<std::string_view> split_whitespace(std::string_view text);

}  // namespace rs::utf8
