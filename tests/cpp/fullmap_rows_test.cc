// Values under keys the rows do not list: checked for JSON syntax alone,
// whatever their numbers and however deep; the listed fields keep their
// errors.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/cpp/fullmap_rows.h"

namespace rs::fullmap {
namespace {

using test::class_outcome;
using test::synonym_outcome;

constexpr size_t kDeep = 1'000'000;

std::string deep_arrays() { return std::string(kDeep, '[') + std::string(kDeep, ']'); }

std::string deep_objects(const std::string& inner) {
  std::string s;
  s.reserve(kDeep * 6 + inner.size());
  for (size_t i = 0; i < kDeep; ++i) s += "{\"a\":";
  return s + inner + std::string(kDeep, '}');
}

// Valid JSON values that the rows must pass by.
std::vector<std::string> unlisted_values() {
  return {
      "1e400",
      "-1e400",
      "1e-400",
      "-1E-400",
      "0e400",
      "12.5e99999",
      "1.7976931348623159e308",
      "1" + std::string(400, '0'),
      "-" + std::string(401, '9'),
      "123456789012345678901234567890.5e-7",
      "0",
      "[]",
      "{}",
      R"([1e400,-1e400,{"a":[0e400,"\u00e9\"",true,null]},"\ud83d\ude00"])",
      deep_arrays(),
      deep_objects("-1e400"),
      "[" + deep_objects("[1e400]") + "," + deep_arrays() + R"(,{"b":"x"}])",
  };
}

// Each value under an unlisted key, at the start, in the middle and at the
// end of a row, with and without blanks around it, and in an object item of
// equivalent_identifiers: the row reads as it does without that member.
TEST(RowParseUnlistedKeys, ValuesAreCheckedForSyntaxAlone) {
  for (const std::string& v : unlisted_values()) {
    SCOPED_TRACE(v.substr(0, 60));
    const std::pair<std::string, std::string> synonym_rows[] = {
        {R"({"x":)" + v + R"(,"curie":"A:1","names":["n"]})", "A:1|n|||-"},
        {R"({"curie":"A:1", "other" : )" + v + R"( ,"names":["n"],"name":"P"})", "A:1|n|||P"},
        {R"({"curie":"A:1","names":["n"],"taxa":["9606"],"y":)" + v + "}", "A:1|n||9606|-"},
        {R"({"x":)" + v + R"(,"x":)" + v + R"(,"curie":"A:1"})", "A:1||||-"},
    };
    for (const auto& [line, outcome] : synonym_rows) {
      EXPECT_EQ(synonym_outcome(line), outcome) << line.substr(0, 80);
    }
    const std::pair<std::string, std::string> class_rows[] = {
        {R"({"x":)" + v + R"(,"id":"A:1","equivalent_identifiers":["B:2"]})", "A:1|B:2"},
        {R"({"id":"A:1","equivalent_identifiers":["B:2",{"x": )" + v +
             R"( ,"identifier":"C:3"}]})",
         "A:1|B:2,C:3"},
        {R"({"equivalent_identifiers":[{"curie":"C:3","x":)" + v + R"(}],"y":)" + v + "}",
         "C:3|C:3"},
    };
    for (const auto& [line, outcome] : class_rows) {
      EXPECT_EQ(class_outcome(line), outcome) << line.substr(0, 80);
    }
  }
}

// Malformed values under an unlisted key fail as syntax errors, named and
// placed as for any other line, also deep down and also after a value that
// was passed by; both row kinds alike.
TEST(RowParseUnlistedKeys, MalformedValuesStillFail) {
  const std::string deep(kDeep, '[');
  const std::pair<std::string, std::string> cases[] = {
      {R"({"curie":"A:1","x":[1,]})", "trailing comma at line 1 column 23"},
      {R"({"curie":"A:1","x":[1e400 2]})", "expected `,` or `]` at line 1 column 27"},
      {R"({"curie":"A:1","x":{"a" 1}})", "expected `:` at line 1 column 25"},
      {R"({"curie":"A:1","x" [1]})", "expected `:` at line 1 column 20"},
      {R"({"curie":"A:1","x":01})", "invalid number at line 1 column 21"},
      {R"({"curie":"A:1","x":-})", "invalid number at line 1 column 21"},
      {R"({"curie":"A:1","x":1.e5})", "invalid number at line 1 column 22"},
      {R"({"curie":"A:1","x":[)", "EOF while parsing a list at line 1 column 20"},
      {R"({"curie":"A:1","x":[nul]})", "expected ident at line 1 column 24"},
      {R"({"curie":"A:1","x":["\x"]})", "invalid escape at line 1 column 23"},
      {R"({"curie":"A:1","x":["\ud800"]})", "unexpected end of hex escape at line 1 column 28"},
      {"{\"curie\":\"A:1\",\"x\":[\"a\xFF\"]}", "invalid UTF-8 in string at line 1 column 24"},
      {"{\"curie\":\"A:1\",\"x\":{\"\xC3\":1}}", "invalid UTF-8 in string at line 1 column 23"},
      {R"({"curie":"A:1","x":)" + deep + "1,]",
       "trailing comma at line 1 column " + std::to_string(19 + kDeep + 3)},
      {R"({"curie":"A:1","x":)" + deep + "}",
       "expected value at line 1 column " + std::to_string(19 + kDeep + 1)},
      // Errors after a value that was passed by.
      {R"({"x":1e400,"curie":})", "expected value at line 1 column 20"},
      {R"({"x":[[-1e400]],"curie":"A:1"} x)", "trailing characters at line 1 column 32"},
      {R"({"x":)" + deep_arrays() + R"(,"curie":"A:1",})",
       "trailing comma at line 1 column " + std::to_string(5 + 2 * kDeep + 16)},
  };
  for (const auto& [line, outcome] : cases) {
    EXPECT_EQ(synonym_outcome(line), outcome) << line.substr(0, 80);
    EXPECT_EQ(class_outcome(line), outcome) << line.substr(0, 80);
  }
}

// The listed fields read numbers and nesting as before: out-of-range
// numbers, literals the reader refuses and nesting past the limit keep
// their errors.
TEST(RowParseUnlistedKeys, ListedFieldsKeepTheirErrors) {
  const std::string big = "1" + std::string(400, '0');
  const std::string deep = std::string(kDeep, '[') + std::string(kDeep, ']');
  const std::pair<std::string, std::string> synonym_rows[] = {
      {R"({"curie":1e400})", "number out of range at line 1 column 14"},
      {R"({"curie":"A:1","names":1e400})", "number out of range at line 1 column 28"},
      {R"({"curie":"A:1","taxa":-1e400})", "number out of range at line 1 column 28"},
      {R"({"curie":"A:1","names":["n",-1e400]})", "number out of range at line 1 column 34"},
      {R"({"curie":"A:1","preferred_name":)" + big + "}",
       "number out of range at line 1 column 433"},
      {R"({"curie":0e400})", "invalid JSON at line 1 column 10"},
      {R"({"curie":"A:1","names":)" + deep + "}",
       "invalid type: sequence, expected a string at line 1 column 25"},
      {R"({"curie":)" + deep + "}",
       "invalid type: sequence, expected a string at line 1 column 10"},
  };
  for (const auto& [line, outcome] : synonym_rows) {
    EXPECT_EQ(synonym_outcome(line), outcome) << line.substr(0, 80);
  }
  const std::pair<std::string, std::string> class_rows[] = {
      {R"({"id":1e400})", "number out of range at line 1 column 11"},
      {R"({"id":"A:1","equivalent_identifiers":[1e400]})",
       "number out of range at line 1 column 43"},
      {R"({"id":"A:1","equivalent_identifiers":[[-1e400]]})",
       "number out of range at line 1 column 45"},
      {R"({"id":"A:1","equivalent_identifiers":[{"id":)" + big + "}]}",
       "number out of range at line 1 column 445"},
      {R"({"id":"A:1","equivalent_identifiers":[{"id":"B","id":1e400}]})",
       "number out of range at line 1 column 58"},
      {R"({"id":0e400})", "invalid JSON at line 1 column 7"},
      {R"({"id":)" + deep + "}", "invalid type: sequence, expected a string at line 1 column 7"},
      {R"({"id":"A:1","equivalent_identifiers":)" + deep + "}",
       "recursion limit exceeded at line 1 column 164"},
      {R"({"id":"A:1","equivalent_identifiers":[{"id":)" + deep + "}]}",
       "recursion limit exceeded at line 1 column 169"},
      {R"({"id":"A:1","equivalent_identifiers":[{"id":"B","id":)" + deep + "}]}",
       "recursion limit exceeded at line 1 column 178"},
  };
  for (const auto& [line, outcome] : class_rows) {
    EXPECT_EQ(class_outcome(line), outcome) << line.substr(0, 80);
  }
}

}  // namespace
}  // namespace rs::fullmap
