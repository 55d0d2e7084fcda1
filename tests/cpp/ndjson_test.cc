#include "src/ndjson.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "src/utf8.h"
#include "src/xxh64.h"

namespace rs::ndjson {
namespace {

namespace fs = std::filesystem;

TEST(SeenRecords, MatchesASetEvenWhenHashesCollide) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int bits : {2, 64}) {
    SeenRecords seen;
    std::set<std::string> model;
    for (int n = 0; n < 20000; ++n) {
      std::string record(rng() % 6, 'a');
      for (char& c : record) c = static_cast<char>('a' + rng() % 3);
      // Few hash bits: many different records share a hash and must all be kept.
      uint64_t hash = xxh64_hash(record);
      if (bits < 64) hash &= (uint64_t{1} << bits) - 1;
      ASSERT_EQ(seen.record_if_new(record, hash), model.insert(record).second) << record;
    }
    EXPECT_EQ(seen.size(), model.size());
  }
}

TEST(SeenRecords, GrowsPastManyDistinctRecords) {
  SeenRecords seen;
  // An empty record first, before the arena has a chunk.
  EXPECT_TRUE(seen.record_if_new(""));
  EXPECT_FALSE(seen.record_if_new(""));
  for (int i = 0; i < 300000; ++i) ASSERT_TRUE(seen.record_if_new(std::to_string(i)));
  for (int i = 0; i < 300000; i += 7) ASSERT_FALSE(seen.record_if_new(std::to_string(i)));
  // Records longer than an arena chunk are kept whole.
  std::string big(5 << 20, 'x');
  EXPECT_TRUE(seen.record_if_new(big));
  EXPECT_FALSE(seen.record_if_new(big));
  EXPECT_EQ(seen.size(), 300002u);
}

std::string finalized(std::string_view text, bool is_edges) {
  json::Arena arena;
  json::Parser parser;
  EdgeIdMaker ids(kDefaultDomain);
  auto v = parser.parse(text, &arena);
  EXPECT_TRUE(v.ok());
  auto r = finalize_record(v.value(), is_edges, &ids, &arena);
  if (!r.ok()) return "error: " + r.error();
  if (!r.value().has_value()) return "dropped";
  return json::stable_json_bytes(*r.value());
}

TEST(FinalizeRecord, CleansAndSetsEdgeIds) {
  const std::string sxoy =
      uuid_from_parts(kDefaultDomain, std::vector<std::string>{"o", "y", "s", "x"});
  EXPECT_EQ(finalized(R"({"s":"x","o":"y","n":null})", true),
            R"({"s":"x","o":"y","id":")" + sxoy + "\"}");
  // An old id takes part in the new one and keeps its position.
  const std::string with_old = uuid_from_parts(
      kDefaultDomain, std::vector<std::string>{"id", "old", "o", "y", "s", "x"});
  EXPECT_EQ(finalized(R"({"id":"old","s":"x","o":"y"})", true),
            R"({"id":")" + with_old + R"(","s":"x","o":"y"})");
  EXPECT_EQ(finalized(R"({"id":"","s":"x","o":"y"})", true),
            R"({"s":"x","o":"y","id":")" + sxoy + "\"}");
  EXPECT_EQ(finalized(R"({"a":null})", true), "dropped");
  EXPECT_EQ(finalized("{}", false), "dropped");
  EXPECT_EQ(finalized("[1,null]", false), "[1,null]");
  EXPECT_EQ(finalized("[1,null]", true), "error: expected JSON object");
  EXPECT_EQ(finalized("null", true), "error: expected JSON object");
}

// A random JSON text: objects with repeated keys and old ids, null-like
// strings, empty and nested containers, escapes and every number form.
std::string random_json(std::mt19937_64& rng, int depth, bool object = false) {
  static const char* const kKeys[] = {"id", "s", "o", "p", "subject", "subjects", "a\\\"b",
                                      "\\u00e9", "\xC3\xA9t\xC3\xA9", "", "k\\n"};
  static const char* const kStrings[] = {
      "x", "", "  ", "null", "NULL", " NA ", "None", "nan", "na", "n", "nonee", "\\u00a0na",
      "\xE3\x80\x80None", "MONDO:0001", "q\\\"uote", "tab\\t", "\\u0001", "\\ud83d\\ude00",
      "\xC3\xA9", "\\/"};
  static const char* const kNumbers[] = {"0", "-0", "1", "-1", "18446744073709551615",
                                         "18446744073709551616", "-9223372036854775808",
                                         "0.5", "1e2", "1E-7", "-2.50", "123456789.125", "1e300",
                                         "5e-324", "0.1"};
  const auto pick = [&](auto& table) { return std::string(table[rng() % std::size(table)]); };
  switch (object ? 6 : depth > 2 ? rng() % 5 : rng() % 7) {
    case 0: return "null";
    case 1: return rng() % 2 ? "true" : "false";
    case 2: return pick(kNumbers);
    case 3:
    case 4: return "\"" + pick(kStrings) + "\"";
    case 5: {
      std::string out = "[";
      for (int n = static_cast<int>(rng() % 4), i = 0; i < n; ++i) {
        out += (i > 0 ? "," : "") + random_json(rng, depth + 1);
      }
      return out + "]";
    }
    default: {
      std::string out = "{";
      for (int n = static_cast<int>(rng() % 6), i = 0; i < n; ++i) {
        out += (i > 0 ? ", " : " ") + ("\"" + pick(kKeys) + "\": ") + random_json(rng, depth + 1);
      }
      return out + "}";
    }
  }
}

// The one-walk writer of dedup_ndjson against the record steps it replaces.
TEST(RecordWriter, MatchesFinalizeAndWriteCompactOnRandomRecords) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  json::Arena arena;
  json::Parser parser;
  EdgeIdMaker ids(kDefaultDomain);
  RecordWriter writer(kDefaultDomain);
  ByteBuffer out(16);
  for (int n = 0; n < 20000; ++n) {
    // Mostly objects, as in a real file.
    const std::string text = random_json(rng, 0, rng() % 8 != 0);
    arena.reset();
    auto v = parser.parse(text, &arena);
    ASSERT_TRUE(v.ok()) << text << ": " << v.error().display();
    const bool plain = text.find('\\') == std::string::npos;
    for (bool is_edges : {false, true}) {
      SCOPED_TRACE(text + (is_edges ? " (edge)" : " (node)"));
      auto want = finalize_record(v.value(), is_edges, &ids, &arena);
      // Something before the record, as in the output buffer.
      out.clear();
      out.append("prev\n", 5);
      const auto outcome = writer.write(v.value(), is_edges, plain, &out);
      if (!want.ok()) {
        EXPECT_EQ(outcome, RecordWriter::Outcome::kNotObject);
        EXPECT_EQ(out.view(), "prev\n");
      } else if (!want.value().has_value()) {
        EXPECT_EQ(outcome, RecordWriter::Outcome::kDropped);
        EXPECT_EQ(out.view(), "prev\n");
      } else {
        EXPECT_EQ(outcome, RecordWriter::Outcome::kWritten);
        EXPECT_EQ(out.view(), "prev\n" + json::stable_json_bytes(*want.value()));
      }
    }
  }
}

class DedupFiles : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("ndjson_test_" + std::to_string(::getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  static void write(const std::string& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir_;
};

// The model: the whole file split in memory, each line through the same
// record steps, a std::set for the duplicates.
std::string model_output(const std::string& content, bool is_edges) {
  std::string out;
  std::set<std::string> seen;
  json::Arena arena;
  json::Parser parser;
  EdgeIdMaker ids(kDefaultDomain);
  size_t pos = 0;
  while (pos < content.size()) {
    size_t nl = content.find('\n', pos);
    std::string line = content.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (nl != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
    pos = nl == std::string::npos ? content.size() : nl + 1;
    if (utf8::is_blank(line)) continue;
    arena.reset();
    auto v = parser.parse(line, &arena);
    if (!v.ok()) return "unexpected parse error";
    auto r = finalize_record(v.value(), is_edges, &ids, &arena);
    if (!r.ok() || !r.value().has_value()) continue;
    std::string bytes = json::stable_json_bytes(*r.value());
    if (seen.insert(bytes).second) out += bytes + "\n";
  }
  return out;
}

// Random files of short and very long lines (longer than the read buffer),
// duplicates, blank lines, CRLF and a missing final LF.
TEST_F(DedupFiles, OutputMatchesAModelAcrossBufferBoundaries) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 6; ++round) {
    std::vector<std::string> pool;
    for (int i = 0; i < 50; ++i) {
      // Two records longer than the 1 MiB read buffer.
      std::string filler(i < 2 ? (1 << 20) + rng() % (1 << 20) : rng() % 300, 'f');
      pool.push_back("{\"s\":\"n" + std::to_string(i % 20) + "\", \"o\": " + std::to_string(i % 7) +
                     ", \"x\": null, \"pad\": \"" + filler + "\"}");
    }
    pool.push_back("   ");
    pool.push_back("");
    pool.push_back("{\"x\": \" NA \"}");
    std::string content;
    const int lines = 5000 + static_cast<int>(rng() % 5000);
    for (int i = 0; i < lines; ++i) {
      // The long records come a few times per file, the rest are short.
      size_t pick = rng() % 1000 == 0 ? rng() % 2 : 2 + rng() % (pool.size() - 2);
      content += pool[pick];
      content += rng() % 5 == 0 ? "\r\n" : "\n";
    }
    if (round % 2 == 0) content += pool[2 + rng() % 48];  // no final LF
    const bool is_edges = round % 3 == 0;
    write(path("in"), content);
    auto r = dedup_ndjson(path("in"), path("out"), is_edges, kDefaultDomain);
    ASSERT_TRUE(r.ok()) << r.error();
    const std::string want = model_output(content, is_edges);
    const std::string got = read(path("out"));
    ASSERT_EQ(got.size(), want.size());
    ASSERT_TRUE(got == want);
  }
}

TEST_F(DedupFiles, AFailedLineLeavesTheRecordsBeforeIt) {
  write(path("in"), "{\"a\":1}\n{\"a\":1}\n{\"b\":2}\n{\"c\":\n{\"d\":4}\n");
  auto r = dedup_ndjson(path("in"), path("out"), false, kDefaultDomain);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "EOF while parsing a value at line 1 column 5");
  EXPECT_EQ(read(path("out")), "{\"a\":1}\n{\"b\":2}\n");
}

}  // namespace
}  // namespace rs::ndjson
