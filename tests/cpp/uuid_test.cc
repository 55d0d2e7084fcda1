#include "src/uuid.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/json.h"

namespace rs {
namespace {

std::string object_id(std::string_view text, std::string_view domain = "d") {
  json::Arena arena;
  json::Parser parser;
  auto v = parser.parse(text, &arena);
  EXPECT_TRUE(v.ok()) << text;
  return uuid_for_json_object(domain, v.value()).value_or("none");
}

TEST(Uuid, KnownVectorsAndPayloadFraming) {
  const std::vector<std::string> a_bc = {"a", "bc"};
  const std::vector<std::string> ab_c = {"ab", "c"};
  EXPECT_EQ(uuid_from_parts("d", a_bc), "58c0fb49-459b-32dd-94be-77f5bf4ed48c");
  EXPECT_EQ(uuid_from_parts("abc", {}), "1ccff59d-37d2-39df-8ffd-10d2e92669dd");
  EXPECT_NE(uuid_from_parts("d", ab_c), uuid_from_parts("d", a_bc));
  const std::vector<std::string> empty_part = {""};
  EXPECT_NE(uuid_from_parts("d", empty_part), uuid_from_parts("d", {}));
  EXPECT_NE(uuid_from_parts("e", a_bc), uuid_from_parts("d", a_bc));
  ByteBuffer payload(1);
  for (const char* p : {"a", "", "1:2", "\xC3\xA9"}) append_part(p, &payload);
  EXPECT_EQ(payload.view(), "1:a0:3:1:22:\xC3\xA9");
  for (const std::string& id : {uuid_from_parts("x", a_bc), uuid_from_parts("", {})}) {
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(id[14], '3');
    EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos);
  }
}

TEST(Uuid, ObjectIdsSortKeysAndSkipEmptyEntries) {
  // The id is the parts of the sorted entries: {a: 'x', b: 1} is 1:a1:x1:b1:1.
  const std::vector<std::string> parts = {"a", "x", "b", "1"};
  EXPECT_EQ(object_id(R"({"a":"x","b":1})"), uuid_from_parts("d", parts));
  EXPECT_EQ(object_id(R"({"b":1,"a":"x"})"), uuid_from_parts("d", parts));
  EXPECT_EQ(object_id(R"({"a":"x","n":null,"f":false,"e":"","b":1})"),
            uuid_from_parts("d", parts));
  EXPECT_NE(object_id(R"({"a":1})"), object_id(R"({"a":1.0})"));
  EXPECT_EQ(object_id(R"({"a":true})"), object_id(R"({"a":"true"})"));
  EXPECT_EQ(object_id(R"({"a":1e2})"),
            uuid_from_parts("d", std::vector<std::string>{"a", "100.0"}));
  // Nested values give their compact text, nested key order kept.
  EXPECT_EQ(object_id(R"({"k":{"z":1,"y":2},"l":["x",null]})"),
            uuid_from_parts("d", std::vector<std::string>{"k", R"({"z":1,"y":2})", "l",
                                                          R"(["x",null])"}));
  // Keys sort by their bytes: "B" < "a" < "aa" < "\u00e9"; strings unescaped.
  EXPECT_EQ(object_id(R"({"\u00e9":"1","aa":"2","a":"3","B":" q\"\n"})"),
            uuid_from_parts("d", std::vector<std::string>{"B", " q\"\n", "a", "3", "aa", "2",
                                                          "\xC3\xA9", "1"}));
  EXPECT_EQ(object_id("{}"), uuid_from_parts("d", {}));
  EXPECT_NE(object_id(R"({"a":1})", "e"), object_id(R"({"a":1})", "d"));
  for (const char* not_object : {"\"x\"", "1", "[1]", "null", "true"}) {
    EXPECT_EQ(object_id(not_object), "none") << not_object;
  }
}

}  // namespace
}  // namespace rs
