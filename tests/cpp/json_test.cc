#include "src/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "src/utf8.h"

namespace rs::json {
namespace {

std::string compact(std::string_view text) {
  Arena arena;
  Parser parser;
  auto v = parser.parse(text, &arena);
  if (!v.ok()) return "error: " + v.error().display();
  return stable_json_bytes(v.value());
}

std::string stripped(std::string_view text) {
  Arena arena;
  Parser parser;
  auto v = parser.parse(text, &arena);
  if (!v.ok()) return "error: " + v.error().display();
  return stable_json_bytes(strip_nulls(v.value(), &arena));
}

TEST(JsonNumbers, LiteralsKeepTheirClassAndExactForm) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0", "0"},
      {"-5", "-5"},
      {"1.0", "1.0"},
      {"1e2", "100.0"},
      {"0.1", "0.1"},
      {"12.5", "12.5"},
      {"1e16", "1e+16"},
      {"1E15", "1000000000000000.0"},
      {"1e-6", "1e-6"},
      {"0.00001", "0.00001"},
      {"1.25e-5", "0.0000125"},
      {"1.5e-7", "1.5e-7"},
      {"123456.789", "123456.789"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"5e-324", "5e-324"},
      {"-2.5e+20", "-2.5e+20"},
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {"-0", "-0.0"},
      {"-0.0", "-0.0"},
      {"0e999999999999", "0.0"},
      {"[0.00e999,-0E+400]", "[0.0,-0.0]"},
      {"1" + std::string(400, '0') + "e-300", "1e+100"},
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"00", "error: invalid number at line 1 column 2"},
      {"1e400", "error: number out of range at line 1 column 5"},
      {"-1e400", "error: number out of range at line 1 column 6"},
      {"[1.7976931348623159e308]", "error: number out of range at line 1 column 23"},
      {"1" + std::string(400, '0'), "error: number out of range at line 1 column 401"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(compact(in), out) << in;

  Arena arena;
  Parser parser;
  EXPECT_EQ(parser.parse("7", &arena).value().kind, Kind::kUint);
  EXPECT_EQ(parser.parse("-7", &arena).value().kind, Kind::kInt);
  EXPECT_EQ(parser.parse("7.0", &arena).value().kind, Kind::kDouble);
}

TEST(JsonNumbers, RandomDoublesReadBackExactlyInTheirLayout) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const std::regex plain(R"(-?(0\.0{0,4}[1-9][0-9]*|[1-9][0-9]{0,15}\.[0-9]+))");
  const std::regex sci(R"(-?[1-9](\.[0-9]*[1-9])?e[+-][1-9][0-9]*)");
  for (int n = 0; n < 20000; ++n) {
    double d;
    if (n % 2 == 0) {
      d = std::bit_cast<double>(rng());
    } else {  // around the layout boundaries
      std::uniform_real_distribution<double> mant(1.0, 10.0);
      d = mant(rng) * std::pow(10.0, static_cast<int>(rng() % 30) - 10);
    }
    if (!std::isfinite(d) || d == 0) continue;
    ByteBuffer buffer;
    write_number(Value::real(d), &buffer);
    const std::string text(buffer.view());
    double back = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_TRUE(r.ec == std::errc() && r.ptr == text.data() + text.size()) << text;
    ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(d)) << text;
    char sci_buf[40];
    auto sr = std::to_chars(sci_buf, sci_buf + sizeof(sci_buf), d, std::chars_format::scientific);
    const char* e = static_cast<const char*>(std::memchr(sci_buf, 'e', sr.ptr - sci_buf));
    int exp10 = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), sr.ptr, exp10);
    const bool want_plain = exp10 >= -5 && exp10 <= 15;
    ASSERT_TRUE(std::regex_match(text, want_plain ? plain : sci)) << text;
  }
}

TEST(JsonWriter, EscapesOnlyQuoteBackslashAndControls) {
  EXPECT_EQ(compact(R"("\t\"\u001f")"), R"("\t\"\u001f")");
  EXPECT_EQ(compact(R"("\/ \u00e9 \u007f")"), "\"/ \xC3\xA9 \x7F\"");
  EXPECT_EQ(compact(R"("\b\f\n\r\u0000\u0001\u000b")"), R"("\b\f\n\r\u0000\u0001\u000b")");
  EXPECT_EQ(compact(R"("\ud83d\ude00")"), "\"\xF0\x9F\x98\x80\"");
  // Every string survives a write and a read.
  std::string all;
  for (int c = 0; c < 0x80; ++c) all.push_back(static_cast<char>(c));
  all += "\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80";
  const std::string text = stable_json_bytes(Value::string(all));
  Arena arena;
  Parser parser;
  auto back = parser.parse(text, &arena);
  ASSERT_TRUE(back.ok()) << back.error().display();
  EXPECT_EQ(back.value().text(), all);
}

TEST(JsonWriter, CompactFormKeepsStoredKeyOrder) {
  const std::string out = compact(" { \"q\" : 1 , \"p\" : [ true , null ] } ");
  EXPECT_EQ(out, R"({"q":1,"p":[true,null]})");
  EXPECT_EQ(out.size(), 23u);
  EXPECT_EQ(compact("[[], {}, [{}], {\"a\": []}]"), R"([[],{},[{}],{"a":[]}])");
  EXPECT_EQ(compact("\"\"\r\n"), "\"\"");
}

// A repeated key keeps its first position and its last value, for small and
// for large objects (which fold through a hash index).
TEST(JsonParser, DuplicateKeysMatchAModel) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 300; ++round) {
    const int n = static_cast<int>(rng() % 80);
    const int alphabet = 1 + static_cast<int>(rng() % 60);
    std::string text = "{";
    std::vector<std::pair<std::string, int>> model;
    for (int i = 0; i < n; ++i) {
      std::string key = "k" + std::to_string(rng() % alphabet);
      int value = static_cast<int>(rng() % 1000);
      if (i > 0) text += ",";
      text += "\"" + key + "\":" + std::to_string(value);
      auto it = std::find_if(model.begin(), model.end(), [&](auto& p) { return p.first == key; });
      if (it != model.end()) {
        it->second = value;
      } else {
        model.emplace_back(key, value);
      }
    }
    text += "}";
    std::string want = "{";
    for (size_t i = 0; i < model.size(); ++i) {
      if (i > 0) want += ",";
      want += "\"" + model[i].first + "\":" + std::to_string(model[i].second);
    }
    want += "}";
    ASSERT_EQ(compact(text), want) << text;
  }
}

TEST(JsonParser, NestingIsLimitedTo127Levels) {
  auto arrays = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
  EXPECT_EQ(compact(arrays(127)), arrays(127));
  EXPECT_EQ(compact(arrays(128)), "error: recursion limit exceeded at line 1 column 128");
  std::string objects;
  for (int i = 0; i < 127; ++i) objects += "{\"a\":";
  objects += "1" + std::string(127, '}');
  EXPECT_EQ(compact(objects), objects);
  EXPECT_EQ(compact("[" + objects + "]"), "error: recursion limit exceeded at line 1 column 632");
  // Far deeper input stops at the limit without exhausting the stack.
  EXPECT_EQ(compact(std::string(1 << 20, '[')),
            "error: recursion limit exceeded at line 1 column 128");
}

TEST(JsonParser, SurrogatesMustPair) {
  EXPECT_EQ(compact(R"(["\ud800"])"), "error: unexpected end of hex escape at line 1 column 9");
  EXPECT_EQ(compact(R"({"\udc00":1})"),
            "error: lone leading surrogate in hex escape at line 1 column 8");
  EXPECT_EQ(compact(R"("\ud800\u0041")"),
            "error: lone leading surrogate in hex escape at line 1 column 13");
  EXPECT_EQ(compact(R"("\ud800\n")"), "error: unexpected end of hex escape at line 1 column 9");
}

TEST(JsonParser, NulBytesAreNotTheEnd) {
  using namespace std::string_literals;
  EXPECT_EQ(compact("{\"a\":1}\0"s), "error: trailing characters at line 1 column 8");
  EXPECT_EQ(compact("{\"a\":1} \0 x"s), "error: trailing characters at line 1 column 9");
  EXPECT_EQ(compact("[1,\0]"s), "error: expected value at line 1 column 4");
  EXPECT_EQ(compact("\"a\0\""s),
            "error: control character (\\u0000-\\u001F) found while parsing a string at line 1 "
            "column 3");
  EXPECT_EQ(compact("\"a\\u0000\""s), "\"a\\u0000\"");
}

// `text` after one to three random edits: bytes of `alphabet` inserted or
// put in place of others, bytes erased, and with `nesting` runs of up to 100
// opening brackets inserted.
std::string mutated(std::mt19937_64& rng, std::string text, const std::string& alphabet,
                    bool nesting) {
  const int edits = 1 + static_cast<int>(rng() % 3);
  for (int e = 0; e < edits && !text.empty(); ++e) {
    size_t pos = rng() % text.size();
    switch (rng() % (nesting ? 4 : 3)) {
      case 0: text.erase(pos, 1 + rng() % 2); break;
      case 1: text.insert(pos, 1, alphabet[rng() % alphabet.size()]); break;
      case 3: text.insert(pos, std::string(1 + rng() % 100, "[{"[rng() % 2])); break;
      default: text[pos] = alphabet[rng() % alphabet.size()]; break;
    }
  }
  return text;
}

// Mutated texts: the reader and the diagnosis agree on what is valid, a
// refused text always gets a named error, and compact output reads back to
// itself.
TEST(JsonParser, ReaderAndDiagnosisAgreeOnMutatedTexts) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const std::vector<std::string> seeds = {
      R"({"subject":"MONDO:1","predicate":"biolink:x","w":[1,2.5e3,-0.0,true,null],)"
      R"("o":{"k":"\u00e9\n"}})",
      R"([{"a":[]},{"b":{}},"\ud83d\ude00",-12,0.5E-3,"x\\y\"z"])",
      R"( { "n" : null , "t" : true , "f" : false , "s" : "" } )",
      R"("\/\b\f\n\r\t")",
      "123456789012345678901234",
      "[0e400,1.5E+3,-12e-1,0.00e999,1e-999,10000000000000000000000e-5]",
  };
  const std::string alphabet = "{}[],:\"\\/ \t\r-+.0123456789eEntrufalsbx\x01\xC3\xA9u";
  int valid = 0;
  for (int n = 0; n < 60000; ++n) {
    const std::string text = mutated(rng, seeds[rng() % seeds.size()], alphabet, false);
    if (!utf8::is_valid(text)) continue;
    Arena arena;
    Parser parser;
    auto parsed = parser.parse(text, &arena);
    ParseError diagnosis = diagnose(text);
    ASSERT_EQ(parsed.ok(), diagnosis.message.empty())
        << "text " << text << " diagnosis " << diagnosis.display();
    if (!parsed.ok()) continue;
    ++valid;
    std::string once = stable_json_bytes(parsed.value());
    ASSERT_EQ(compact(once), once) << text;
  }
  EXPECT_GT(valid, 100);
}

// ---- skip_value: the grammar alone ----

// skip_value over the whole text, then the trailing check diagnose makes.
std::string skipped(std::string_view text, bool check_utf8 = false) {
  size_t pos = 0;
  ParseError e = skip_value(text, &pos, check_utf8);
  if (e.message.empty()) {
    while (pos < text.size() && std::strchr(" \t\r\n", text[pos]) != nullptr) ++pos;
    if (pos == text.size()) return "ok";
    e.message = "trailing characters";
    e.column = std::min(pos + 1, text.size());
  }
  return e.display();
}

TEST(JsonSkipValue, NumbersAreNotConvertedAndNestingIsUnbounded) {
  constexpr size_t kDeep = 1'000'000;
  std::string deep_objects;
  for (size_t i = 0; i < kDeep; ++i) deep_objects += "{\"a\":";
  deep_objects += "1e400" + std::string(kDeep, '}');
  const std::string deep_arrays = std::string(kDeep, '[') + std::string(kDeep, ']');
  const std::pair<std::string, std::string> cases[] = {
      {"1e400", "ok"},
      {"-1e400", "ok"},
      {"1e-400", "ok"},
      {"0e999999999999", "ok"},
      {"1" + std::string(400, '0'), "ok"},
      {"-1" + std::string(400, '0') + ".5e+999", "ok"},
      {deep_arrays, "ok"},
      {deep_objects, "ok"},
      {"[" + deep_arrays + ",{\"k\":[-1e400,\"\\ud83d\\ude00\",null]}," + deep_objects + "]",
       "ok"},
      // Syntax errors deep down are named, not the depth.
      {std::string(kDeep, '[') + "1,]", "trailing comma at line 1 column 1000003"},
      {std::string(kDeep, '['), "EOF while parsing a list at line 1 column 1000000"},
      {std::string(kDeep, '[') + std::string(kDeep - 1, ']') + "}",
       "expected `,` or `]` at line 1 column 2000000"},
      {deep_arrays + "x", "trailing characters at line 1 column 2000001"},
  };
  for (const auto& [text, outcome] : cases) {
    EXPECT_EQ(skipped(text), outcome) << text.substr(0, 40);
  }
  // The value may start inside a text and end before its rest.
  const std::string line = R"({"x": [1e400, {"y": -1e999}] , "z":1})";
  size_t pos = 5;
  ASSERT_EQ(skip_value(line, &pos, true).message, "");
  EXPECT_EQ(line.substr(pos), R"( , "z":1})");
}

TEST(JsonSkipValue, Utf8InStringsWhenAsked) {
  using namespace std::string_literals;
  const std::tuple<std::string, bool, std::string> cases[] = {
      {"[\"\xC3\xA9\xF0\x9F\x98\x80\"]", true, "ok"},
      {"[\"a\xFF\"]", false, "ok"},
      {"[\"a\xFF\"]", true, "invalid UTF-8 in string at line 1 column 5"},
      {"{\"\xC3\":1}", true, "invalid UTF-8 in string at line 1 column 4"},
      {"[\"\xED\xA0\x80\"]", true, "invalid UTF-8 in string at line 1 column 6"},  // a surrogate
      {"[\"\xC0\xAF\"]", true, "invalid UTF-8 in string at line 1 column 5"},      // overlong
      {"[\"\xF4\x90\x80\x80\"]", true, "invalid UTF-8 in string at line 1 column 7"},
      // An escape error before the end of the string comes first.
      {"[\"\xFF\\x\"]", true, "invalid escape at line 1 column 5"},
      {"\xFF", true, "expected value at line 1 column 1"},
  };
  for (const auto& [text, check, outcome] : cases) EXPECT_EQ(skipped(text, check), outcome) << text;
}

// Mutated texts: wherever the diagnosis stops at neither a number's range nor
// the nesting limit, skip_value stops at the same error, or passes the same
// valid text.
TEST(JsonSkipValue, AgreesWithDiagnosisOnMutatedTexts) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const std::vector<std::string> seeds = {
      R"({"subject":"MONDO:1","w":[1,2.5e3,-0.0,true,null],"o":{"k":"\u00e9\n"}})",
      R"([{"a":[]},{"b":{}},"\ud83d\ude00",-12,0.5E-3,"x\\y\"z"])",
      R"( { "n" : null , "t" : true , "f" : false , "s" : "" } )",
      "[0e400,1.5E+3,-12e-1,0.00e999,1e-999,1e400]",
      std::string(60, '[') + R"({"a":[1,{"b":2}]})" + std::string(60, ']'),
  };
  const std::string alphabet = "{}[],:\"\\/ \t-+.0123456789eEntrufalsbx\x01u";
  int valid = 0;
  for (int n = 0; n < 60000; ++n) {
    const std::string text = mutated(rng, seeds[rng() % seeds.size()], alphabet, true);
    const ParseError diagnosis = diagnose(text);
    if (diagnosis.message == "number out of range" ||
        diagnosis.message == "recursion limit exceeded") {
      continue;
    }
    const std::string want = diagnosis.message.empty() ? "ok" : diagnosis.display();
    ASSERT_EQ(skipped(text), want) << text;
    valid += want == "ok";
  }
  EXPECT_GT(valid, 100);
}

TEST(StripNulls, DropsNullBlankAndNullLikeEntries) {
  EXPECT_EQ(stripped(R"({"a":null,"b":"","c":"   ","d":"NULL","e":" None ","f":"NaN",)"
                     R"("g":"na","h":"nan ","i":"\u00a0na\u3000"})"),
            "{}");
  EXPECT_EQ(stripped(R"({"a":" x ","b":"Null!","c":"n/a","d":false,"e":0,"f":"nil"})"),
            R"({"a":" x ","b":"Null!","c":"n/a","d":false,"e":0,"f":"nil"})");
  EXPECT_EQ(stripped(R"({"p":[],"q":{},"r":{"x":null}})"), R"({"r":{}})");
  EXPECT_EQ(stripped(R"({"p":[null,{"x":null,"y":1},[{"z":null}],""]})"),
            R"({"p":[null,{"y":1},[{"z":null}],""]})");
  EXPECT_EQ(stripped(R"([null,{"p":null}])"), R"([null,{"p":null}])");
  EXPECT_EQ(stripped(R"("null")"), R"("null")");
  EXPECT_EQ(stripped(R"({"null":1," ":2,"":3})"), R"({"null":1," ":2,"":3})");
  // White space is Unicode's: U+001F is not white space, U+0085 and U+2028 are.
  EXPECT_EQ(stripped("{\"a\":\"\\u001fnull\",\"b\":\"\\u0085none\\u2028\"}"),
            R"({"a":"\u001fnull"})");
}

}  // namespace
}  // namespace rs::json
