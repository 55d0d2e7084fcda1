#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "src/fullmap/equiv_index.h"
#include "src/fullmap/input.h"
#include "src/fullmap/pool.h"
#include "src/fullmap/rows.h"
#include "src/xxh64.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"
#include "tests/cpp/fullmap_rows.h"
#include "tests/cpp/test_files.h"

extern char** environ;

namespace rs::fullmap {
namespace {

using storage::test::TempDir;

using test::write_file;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One complete gzip member holding `data`.
std::string gzip_member(std::string_view data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, data.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Every line `open_reader` and the line splitter give for `path`, or the error.
std::string read_lines(const std::string& path, std::vector<std::string>* lines) {
  auto in = open_reader(path);
  if (!in.ok()) return in.error().to_string();
  LineReader reader(std::move(in).value(), 8192);
  std::string_view line;
  for (;;) {
    auto more = reader.next(&line);
    if (!more.ok()) return more.error().to_string();
    if (!more.value()) return "";
    lines->emplace_back(line);
  }
}

// ---- open_reader and lines ----

TEST(OpenReader, PlainLinesDropLineEndsAndSkipBlankLines) {
  TempDir dir;
  write_file(dir.file("a.ndjson"), "one\r\n\n  \t\n\r\r\n\f\ntwo\r\r\nthree");
  std::vector<std::string> lines;
  EXPECT_EQ(read_lines(dir.file("a.ndjson"), &lines), "");
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three"}));
}

TEST(OpenReader, LongLinesGrowTheBuffer) {
  TempDir dir;
  std::string big(100000, 'x');
  write_file(dir.file("a"), big + "\n" + big + "y\n");
  std::vector<std::string> lines;
  EXPECT_EQ(read_lines(dir.file("a"), &lines), "");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], big);
  EXPECT_EQ(lines[1], big + "y");
}

TEST(OpenReader, GzipByExactExtensionOnly) {
  TempDir dir;
  std::string packed = gzip_member("a\nb\n");
  write_file(dir.file("data.json.gz"), packed);
  write_file(dir.file("data.GZ"), "plain\n");
  std::vector<std::string> lines;
  EXPECT_EQ(read_lines(dir.file("data.json.gz"), &lines), "");
  EXPECT_EQ(lines, (std::vector<std::string>{"a", "b"}));
  lines.clear();
  EXPECT_EQ(read_lines(dir.file("data.GZ"), &lines), "");
  EXPECT_EQ(lines, (std::vector<std::string>{"plain"}));
}

TEST(OpenReader, EveryGzipMemberIsRead) {
  TempDir dir;
  // Members split mid-line, and an empty trailing member.
  std::string bytes = gzip_member("first\nsec") + gzip_member("ond\nthird\n") + gzip_member("");
  write_file(dir.file("multi.gz"), bytes);
  std::vector<std::string> lines;
  EXPECT_EQ(read_lines(dir.file("multi.gz"), &lines), "");
  EXPECT_EQ(lines, (std::vector<std::string>{"first", "second", "third"}));

  // Many small members across the 32 KiB input buffer.
  std::string many, expected_text;
  std::vector<std::string> expected;
  for (int i = 0; i < 3000; ++i) {
    std::string line = "line " + std::to_string(i) + std::string(i % 37, 'z');
    many += gzip_member(line + "\n");
    expected.push_back(line);
  }
  write_file(dir.file("many.gz"), many);
  lines.clear();
  EXPECT_EQ(read_lines(dir.file("many.gz"), &lines), "");
  EXPECT_EQ(lines, expected);
}

TEST(OpenReader, DamagedGzipIsAnErrorNeverAShorterInput) {
  TempDir dir;
  const std::string whole = gzip_member("alpha\nbeta\ngamma\n");
  const std::string second = gzip_member("delta\n");
  struct Case {
    const char* name;
    std::string bytes;
    const char* error;
  };
  std::string bad_crc = whole;
  bad_crc[bad_crc.size() - 8] ^= 1;
  std::string bad_size = whole;
  bad_size[bad_size.size() - 1] ^= 1;
  const Case cases[] = {
      {"cut in the data", whole.substr(0, whole.size() / 2), "unexpected end of file"},
      {"cut in the trailer", whole.substr(0, whole.size() - 3), "unexpected end of file"},
      {"second member cut", whole + second.substr(0, 5), "unexpected end of file"},
      {"bad checksum", bad_crc, "incorrect data check"},
      {"bad length", bad_size, "incorrect length check"},
      {"garbage after a member", whole + "junk", "incorrect header check"},
  };
  for (const Case& c : cases) {
    write_file(dir.file("x.gz"), c.bytes);
    std::vector<std::string> lines;
    std::string error = read_lines(dir.file("x.gz"), &lines);
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
  }
  // An empty file has no member at all: no lines, no error.
  write_file(dir.file("empty.gz"), "");
  std::vector<std::string> lines;
  EXPECT_EQ(read_lines(dir.file("empty.gz"), &lines), "");
  EXPECT_TRUE(lines.empty());
}

TEST(OpenReader, MissingFileGivesTheOsError) {
  std::vector<std::string> lines;
  EXPECT_EQ(read_lines("/nonexistent/x.ndjson", &lines),
            "No such file or directory (os error 2)");
}

TEST(FileDisplayName, LastComponentLossy) {
  EXPECT_EQ(file_display_name("/a/b/classes.ndjson.gz"), "classes.ndjson.gz");
  EXPECT_EQ(file_display_name("x"), "x");
  EXPECT_EQ(file_display_name("a/b/"), "b");
  EXPECT_EQ(file_display_name("/"), "");
  EXPECT_EQ(file_display_name("a/.."), "");
  EXPECT_EQ(file_display_name("d/f\xff.txt"), "f\xEF\xBF\xBD.txt");
}

// ---- ClassRow ----

using test::class_outcome;

TEST(ClassRowParse, Table) {
  struct Case {
    const char* line;
    const char* outcome;
  };
  const Case cases[] = {
      {R"({"id":"A:1","equivalent_identifiers":["B:2",{"identifier":"C:3"},{"id":null},"B:2"]})",
       "A:1|B:2,C:3,B:2"},
      {R"({"equivalent_identifiers":["X:1","Y:2"]})", "X:1|X:1,Y:2"},
      {R"({"id":null,"equivalent_identifiers":[{"curie":"X:1"}]})", "X:1|X:1"},
      {R"({"equivalent_identifiers":[{"other":1},"Y:2"]})", "-|Y:2"},
      {R"({"curie":"A:1"})", "A:1|"},
      {R"({"id":""})", "|"},
      {R"(["A:1",["B:2",["C:3"],[]]])", "A:1|B:2,C:3"},
      {R"(["A:1"])", "A:1|"},
      {R"({"id":"A:1","extra":{"deep":[1,{"id":5}]},"equivalent_identifiers":[]})", "A:1|"},
      {R"({"id":"A:1","equivalent_identifiers":[{"identifier":"B:2","x":[1,2]}]})", "A:1|B:2"},
      {R"({"id":"A\u003a1","equivalent_identifiers":["\u00e9"]})", "A:1|\xC3\xA9"},
      {" \t{\"id\":\"A:1\"} \r", "A:1|"},
      {R"({"id":"A:1","curie":"A:2"})", "duplicate field `id` at line 1 column 19"},
      {R"({"equivalent_identifiers":[],"equivalent_identifiers":[]})",
       "duplicate field `equivalent_identifiers` at line 1 column 53"},
      {R"({"id":"A:1","equivalent_identifiers":[5]})",
       "data did not match any variant of untagged enum EquivId at line 1 column 39"},
      {R"({"id":"A:1","equivalent_identifiers":[null]})",
       "data did not match any variant of untagged enum EquivId at line 1 column 42"},
      {R"({"id":"A:1","equivalent_identifiers":[["B:2","C:3"]]})",
       "data did not match any variant of untagged enum EquivId at line 1 column 51"},
      {R"({"id":"A:1","equivalent_identifiers":[{"identifier":7}]})",
       "data did not match any variant of untagged enum EquivId at line 1 column 54"},
      {R"({"id":"A:1","equivalent_identifiers":[{"id":"B:2","curie":"C:3"}]})",
       "data did not match any variant of untagged enum EquivId at line 1 column 64"},
      {R"({"id":"A:1","equivalent_identifiers":null})",
       "invalid type: null, expected a sequence at line 1 column 41"},
      {R"({"id":5})", "invalid type: integer `5`, expected a string at line 1 column 7"},
      {R"("A:1")", "invalid type: string \"A:1\", expected struct ClassRow at line 1 column 5"},
      {"12.5", "invalid type: floating point `12.5`, expected struct ClassRow at line 1 column 4"},
      {R"(["A:1",[],3])",
       "invalid length 3, expected struct ClassRow with at most 2 elements at line 1 column 11"},
      {R"({"id":"A:1"} x)", "trailing characters at line 1 column 14"},
      {R"({"id":"A:1")", "EOF while parsing an object at line 1 column 11"},
      {R"({"id":"A:1",})", "trailing comma at line 1 column 13"},
      {"{\"id\":\"A:\xff\"}", "invalid UTF-8 in string at line 1 column 11"},
      {R"({"id":"\ud800"})", "unexpected end of hex escape at line 1 column 14"},
  };
  for (const Case& c : cases) EXPECT_EQ(class_outcome(c.line), c.outcome) << c.line;
}

// Nesting inside the listed fields stops at the parser's limit; under a key
// not listed it is bounded by memory alone (fullmap_rows_test.cc).
TEST(ClassRowParse, NestingLimit) {
  const std::string deep = std::string(200, '[') + std::string(200, ']');
  EXPECT_EQ(class_outcome(R"({"id":"A:1","equivalent_identifiers":[)" + deep + "]}"),
            "recursion limit exceeded at line 1 column 164");
  EXPECT_EQ(class_outcome(R"({"id":"A:1","x":)" + deep + "}"), "A:1|");
  std::string ok = R"({"id":"A:1","x":)" + std::string(100, '[') + std::string(100, ']') + "}";
  EXPECT_EQ(class_outcome(ok), "A:1|");
}

// ---- the index ----

using Model = std::map<std::string, std::set<std::string>>;

// The entries of an equiv_data.bin in file order.
std::vector<std::pair<std::string, std::vector<std::string>>> decode_merged(
    const std::string& bytes) {
  std::vector<std::pair<std::string, std::vector<std::string>>> out;
  size_t at = 0;
  auto u32 = [&]() {
    uint32_t v;
    EXPECT_LE(at + 4, bytes.size());
    std::memcpy(&v, bytes.data() + at, 4);
    at += 4;
    return v;
  };
  while (at < bytes.size()) {
    uint32_t k = u32();
    std::string key = bytes.substr(at, k);
    at += k;
    uint32_t n = u32();
    std::vector<std::string> values;
    for (uint32_t j = 0; j < n; ++j) {
      uint32_t l = u32();
      values.push_back(bytes.substr(at, l));
      at += l;
    }
    out.emplace_back(std::move(key), std::move(values));
  }
  return out;
}

std::vector<std::string> lookup_all(const EquivIndex& index, std::string_view curie) {
  std::vector<std::string> out;
  index.lookup(curie, [&](std::string_view v) { out.emplace_back(v); });
  return out;
}

// Checks the merged file against `model`: every key once, in (hash, key)
// order, values sorted without repeats; and every lookup.
void expect_matches(const EquivIndex& index, const Model& model) {
  auto entries = decode_merged(read_file(index.path()));
  ASSERT_EQ(entries.size(), model.size());
  ASSERT_EQ(index.size(), model.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& [key, values] = entries[i];
    auto it = model.find(key);
    ASSERT_NE(it, model.end()) << key;
    EXPECT_EQ(values, std::vector<std::string>(it->second.begin(), it->second.end())) << key;
    if (i > 0) {
      auto prev = std::make_pair(xxh64_hash(entries[i - 1].first), entries[i - 1].first);
      EXPECT_LT(prev, std::make_pair(xxh64_hash(key), key));
    }
  }
  for (const auto& [key, values] : model) {
    EXPECT_EQ(lookup_all(index, key), std::vector<std::string>(values.begin(), values.end()))
        << key;
  }
}

EquivOptions options(size_t spill, size_t fan_in = 32, uint64_t min_piece_bytes = 4 << 20) {
  EquivOptions o;
  o.spill_entries = spill;
  o.fan_in = fan_in;
  o.min_piece_bytes = min_piece_bytes;
  return o;
}

// EquivIndex::build as a build runs it: on a pool, whose threads share out
// the pieces of the class files.
storage::Result<EquivIndex, PendingError> build_on_pool(std::span<const std::string> classes,
                                               const std::string& spill_dir,
                                               const ProgressHandle& progress,
                                               const EquivOptions& o) {
  std::optional<storage::Result<EquivIndex, PendingError>> built;
  PoolOutcome outcome = run_on_pool(4, [&]() -> storage::Result<void, PendingError> {
    built.emplace(EquivIndex::build(classes, spill_dir, progress, o));
    return {};
  });
  if (outcome.escaped) std::rethrow_exception(outcome.escaped);
  return std::move(*built);
}

TEST(EquivIndexBuild, FixtureFiles) {
  TempDir dir;
  write_file(dir.file("c1.ndjson"),
             R"({"id":"A:1","equivalent_identifiers":["B:2",{"identifier":"C:3"},{"id":null},"B:2"]})"
             "\n"
             R"({"equivalent_identifiers":["K:1","K:2"]})"
             "\n\n"
             R"({"curie":"Z:9"})"
             "\r\n"
             R"({"equivalent_identifiers":[{"x":1},"Q:1"]})"
             "\n");
  write_file(dir.file("c2.ndjson.gz"),
             gzip_member(R"({"id":"A:1","equivalent_identifiers":["AA:0","C:3"]})" "\n"));
  std::vector<std::string> classes = {dir.file("c1.ndjson"), dir.file("c2.ndjson.gz")};
  auto index = EquivIndex::build(classes, dir.file("spill"), {}, options(1000));
  ASSERT_TRUE(index.ok()) << index.error().to_string();
  const Model model = {{"A:1", {"AA:0", "B:2", "C:3"}}, {"K:1", {"K:1", "K:2"}}, {"Z:9", {}}};
  expect_matches(*index, model);
  EXPECT_TRUE(lookup_all(*index, "Q:1").empty());
  EXPECT_TRUE(lookup_all(*index, "A:2").empty());
  // The runs and their directory are gone; the merged file goes with the index.
  EXPECT_FALSE(std::filesystem::exists(dir.file("spill/equiv")));
  const std::string data = index->path();
  EXPECT_EQ(data, dir.file("spill/equiv_data.bin"));
  { EquivIndex dropped = std::move(index).value(); }
  EXPECT_FALSE(std::filesystem::exists(data));
}

TEST(EquivIndexBuild, NoClassFilesGiveAnEmptyUnmappedIndex) {
  TempDir dir;
  auto index = EquivIndex::build({}, dir.file("spill"), {});
  ASSERT_TRUE(index.ok()) << index.error().to_string();
  EXPECT_EQ(index->size(), 0u);
  EXPECT_EQ(std::filesystem::file_size(dir.file("spill/equiv_data.bin")), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("spill/equiv")));
  EXPECT_TRUE(lookup_all(*index, "A:1").empty());
}

TEST(EquivIndexBuild, EverySkippedRowGivesAnEmptyIndex) {
  TempDir dir;
  write_file(dir.file("c"), "{\"equivalent_identifiers\":[{\"x\":1}]}\n{}\n[]\n");
  std::vector<std::string> classes = {dir.file("c")};
  auto index = EquivIndex::build(classes, dir.file("spill"), {}, options(1));
  ASSERT_TRUE(index.ok()) << index.error().to_string();
  EXPECT_EQ(index->size(), 0u);
  EXPECT_TRUE(lookup_all(*index, "x").empty());
}

TEST(EquivIndexBuild, BadLineFailsAfterEveryOtherFileIsRead) {
  TempDir dir;
  std::vector<std::string> classes;
  for (int i = 0; i < 6; ++i) {
    std::string name = dir.file("c" + std::to_string(i));
    std::string text = R"({"id":"A:)" + std::to_string(i) + R"("})" "\n";
    if (i == 2) text += R"({"id":"B:1","curie":"B:2"})" "\n";
    if (i == 4) text += "{oops\n";
    write_file(name, text);
    classes.push_back(name);
  }
  auto index = build_on_pool(classes, dir.file("spill"), {}, options(1000));
  ASSERT_FALSE(index.ok());
  // The first failure in list order, whatever finished first.
  EXPECT_EQ(index.error().to_string(), "RuntimeError: duplicate field `id` at line 1 column 19");
  // Every file without an error was read to its end and spilled its run.
  size_t runs = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.file("spill/equiv"))) {
    (void)e;
    ++runs;
  }
  EXPECT_EQ(runs, 4u);

  // Cut into ranges read at once, a file still fails with its first bad line.
  std::string text;
  for (int i = 0; i < 200; ++i) {
    if (i == 60) text += R"({"id":"B:1","curie":"B:2"})" "\n";
    if (i == 150) text += "{oops\n";
    text += R"({"id":"A:)" + std::to_string(i) + R"("})" "\n";
  }
  write_file(dir.file("cut"), text);
  std::vector<std::string> cut = {dir.file("cut")};
  auto ranges = build_on_pool(cut, dir.file("spill3"), {}, options(1000, 32, 64));
  ASSERT_FALSE(ranges.ok());
  EXPECT_EQ(ranges.error().to_string(), "RuntimeError: duplicate field `id` at line 1 column 19");

  classes.push_back(dir.file("missing.ndjson"));
  classes.erase(classes.begin() + 2);
  classes.erase(classes.begin() + 3);
  auto missing = build_on_pool(classes, dir.file("spill2"), {}, options(1000));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().to_string(), "RuntimeError: No such file or directory (os error 2)");
}

// A random model: several files, keys repeated within and across files,
// identifiers as strings, objects and one-element arrays.
struct RandomClasses {
  std::vector<std::string> files;
  Model model;
};

RandomClasses random_classes(const TempDir& dir, std::mt19937_64& rng, int file_count,
                             int lines_per_file) {
  RandomClasses out;
  auto id = [&](int range) { return "P" + std::to_string(rng() % 4) + ":" + std::to_string(rng() % range); };
  for (int f = 0; f < file_count; ++f) {
    std::string text;
    for (int l = 0; l < lines_per_file; ++l) {
      std::string key = id(60);
      int n = static_cast<int>(rng() % 5);
      std::vector<std::string> values;
      std::string items;
      for (int j = 0; j < n; ++j) {
        std::string v = id(200);
        values.push_back(v);
        if (j) items += ",";
        switch (rng() % 3) {
          case 0: items += "\"" + v + "\""; break;
          case 1: items += R"({"identifier":")" + v + "\"}"; break;
          default: items += "[\"" + v + "\"]"; break;
        }
      }
      bool keyless = rng() % 6 == 0 && n > 0;
      if (keyless) {
        key = values[0];
        text += R"({"equivalent_identifiers":[)" + items + "]}\n";
      } else {
        text += R"({"id":")" + key + R"(","equivalent_identifiers":[)" + items + "]}\n";
      }
      auto& set = out.model[key];
      set.insert(values.begin(), values.end());
    }
    std::string name = dir.file("classes" + std::to_string(f) + (f % 2 ? ".ndjson.gz" : ".ndjson"));
    write_file(name, f % 2 ? gzip_member(text) : text);
    out.files.push_back(name);
  }
  return out;
}

TEST(EquivIndexBuild, ConcurrentModelAndSpillLimits) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  TempDir dir;
  RandomClasses input = random_classes(dir, rng, 5, 120);
  std::string reference;
  int round = 0;
  // Spill after every row, after a few keys, never; merge at most 2, 3 or 32
  // runs at once; plain files read whole or cut into ranges of a few lines.
  struct Limits {
    size_t spill, fan_in;
    uint64_t piece;
  };
  for (auto [spill, fan_in, piece] : std::vector<Limits>{{1000000, 32, 4 << 20},
                                                          {1, 32, 4 << 20},
                                                          {0, 3, 4 << 20},
                                                          {7, 2, 4 << 20},
                                                          {1, 2, 4 << 20},
                                                          {1000000, 32, 300},
                                                          {7, 2, 40}}) {
    SCOPED_TRACE("spill " + std::to_string(spill) + " fan-in " + std::to_string(fan_in) +
                 " piece " + std::to_string(piece));
    std::string spill_dir = dir.file("spill" + std::to_string(round++));
    auto index = build_on_pool(input.files, spill_dir, {}, options(spill, fan_in, piece));
    ASSERT_TRUE(index.ok()) << index.error().to_string();
    expect_matches(*index, input.model);
    std::string bytes = read_file(index->path());
    if (reference.empty()) {
      reference = bytes;
    } else {
      EXPECT_EQ(bytes, reference);
    }
    EXPECT_FALSE(std::filesystem::exists(spill_dir + "/equiv"));
  }
}

TEST(EquivIndexBuild, SpillEntriesFromTheEnvironment) {
  TempDir dir;
  write_file(dir.file("c"), "{\"id\":\"A:1\"}\n{\"id\":\"A:2\"}\n{\"id\":\"A:3\"}\n");
  std::vector<std::string> classes = {dir.file("c")};
  ::setenv(kEnvEquivSpillEntries, "1", 1);
  auto index = EquivIndex::build(classes, dir.file("spill"), {});
  ::unsetenv(kEnvEquivSpillEntries);
  ASSERT_TRUE(index.ok()) << index.error().to_string();
  expect_matches(*index, Model{{"A:1", {}}, {"A:2", {}}, {"A:3", {}}});
}

class RecordingProgress : public Progress {
 public:
  struct Report {
    int32_t kind;
    uint64_t done, total;
    std::string message;
    bool operator<(const Report& o) const {
      return std::tie(kind, done, total, message) < std::tie(o.kind, o.done, o.total, o.message);
    }
    bool operator==(const Report& o) const = default;
  };
  void call(int32_t kind, uint64_t done, uint64_t total,
            std::string_view message) noexcept override {
    std::lock_guard lock(mu_);
    reports_.push_back(Report{kind, done, total, std::string(message)});
  }
  std::vector<Report> reports() {
    std::lock_guard lock(mu_);
    return reports_;
  }

 private:
  std::mutex mu_;
  std::vector<Report> reports_;
};

TEST(EquivIndexBuild, ConcurrentProgressReports) {
  TempDir dir;
  std::vector<std::string> classes;
  for (int f = 0; f < 3; ++f) {
    std::string text;
    for (int k = 0; k < 5; ++k) text += R"({"id":"K:)" + std::to_string(f * 5 + k) + "\"}\n";
    classes.push_back(dir.file("class" + std::to_string(f) + ".ndjson"));
    write_file(classes.back(), text);
  }
  auto progress = std::make_shared<RecordingProgress>();
  // Files cut into ranges still report once each.
  EquivOptions o = options(2, 32, 16);
  o.report_every = 4;
  auto index = build_on_pool(classes, dir.file("spill"), progress, o);
  ASSERT_TRUE(index.ok()) << index.error().to_string();
  auto reports = progress->reports();
  // One report per finished file (done counts files, in any order), then one
  // per 4 keys merged, in order.
  ASSERT_EQ(reports.size(), 6u);
  std::vector<RecordingProgress::Report> files(reports.begin(), reports.begin() + 3);
  std::sort(files.begin(), files.end());
  std::set<std::string> names;
  for (uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(files[i].kind, kProgressEquivalence);
    EXPECT_EQ(files[i].done, i + 1);
    EXPECT_EQ(files[i].total, 3u);
    names.insert(files[i].message);
  }
  EXPECT_EQ(names, (std::set<std::string>{"class0.ndjson", "class1.ndjson", "class2.ndjson"}));
  for (uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(reports[3 + i], (RecordingProgress::Report{kProgressEquivalence, 4 * (i + 1), 0,
                                                          "merging equivalents"}));
  }
}

// Cuts fall at line starts, ascending, from 0 to the size; gzip files and
// single pieces are read whole.
TEST(LineCuts, AtLineStartsOnly) {
  TempDir dir;
  std::mt19937_64 rng(7);
  std::string text;
  for (int i = 0; i < 300; ++i) text += std::string(rng() % 90, 'x') + "\n";
  text += "last line without a line feed";
  write_file(dir.file("plain"), text);
  write_file(dir.file("packed.gz"), gzip_member(text));
  for (size_t pieces : {2, 3, 7, 64, 100000}) {
    SCOPED_TRACE(pieces);
    std::vector<uint64_t> cuts = line_cuts(dir.file("plain"), pieces);
    ASSERT_GE(cuts.size(), 3u);
    EXPECT_LE(cuts.size(), pieces + 1);
    EXPECT_EQ(cuts.front(), 0u);
    EXPECT_EQ(cuts.back(), text.size());
    for (size_t k = 1; k + 1 < cuts.size(); ++k) {
      EXPECT_LT(cuts[k - 1], cuts[k]);
      EXPECT_EQ(text[cuts[k] - 1], '\n') << cuts[k];
    }
  }
  EXPECT_TRUE(line_cuts(dir.file("plain"), 1).empty());
  EXPECT_TRUE(line_cuts(dir.file("packed.gz"), 4).empty());
  EXPECT_TRUE(line_cuts(dir.file("missing"), 4).empty());
  write_file(dir.file("one"), std::string(5000, 'y'));
  EXPECT_EQ(line_cuts(dir.file("one"), 4), (std::vector<uint64_t>{0, 5000}));
}

TEST(EquivFanIn, FromTheOpenFileLimit) {
  EXPECT_EQ(equiv_fan_in(uint64_t{0}), 2u);
  EXPECT_EQ(equiv_fan_in(uint64_t{64}), 2u);
  EXPECT_EQ(equiv_fan_in(uint64_t{100}), 18u);
  EXPECT_EQ(equiv_fan_in(uint64_t{256}), 32u);
  EXPECT_EQ(equiv_fan_in(UINT64_MAX), 32u);
}

// ---- runs read back ----

std::string u32le(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string u64le(uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }

std::string read_entry_error(const std::string& path, EquivEntry* entry, int* count) {
  auto in = SpillReader::open(path, 1 << 16);
  EXPECT_TRUE(in.ok());
  SpillReader reader = std::move(in).value();
  *count = 0;
  for (;;) {
    auto r = read_equiv_entry(&reader, entry);
    if (!r.ok()) return r.error().to_string();
    if (!r.value()) return "";
    ++*count;
  }
}

TEST(ReadEquivEntry, CleanEndsAndDamage) {
  TempDir dir;
  const std::string good = u64le(xxh64_hash("K")) + u32le(1) + "K" + u32le(2) + u32le(1) + "a" +
                           u32le(2) + "bc";
  struct Case {
    const char* name;
    std::string bytes;
    int entries;
    const char* error;
  };
  const Case cases[] = {
      {"empty", "", 0, ""},
      {"one entry", good, 1, ""},
      {"two entries", good + good, 2, ""},
      {"cut in a hash", good + "\x01\x02", 1, "failed to fill whole buffer"},
      {"cut in a value", good.substr(0, good.size() - 1), 0, "failed to fill whole buffer"},
      {"huge key length", u64le(1) + u32le(0xFFFFFFFF) + "abc", 0, "failed to fill whole buffer"},
      {"huge value count", u64le(1) + u32le(1) + "K" + u32le(0xFFFFFFFF) + u32le(1) + "a", 0,
       "failed to fill whole buffer"},
      {"key not UTF-8", u64le(1) + u32le(1) + "\xff" + u32le(0), 0,
       "key in equivalence run is not valid UTF-8"},
      {"value not UTF-8", u64le(1) + u32le(1) + "K" + u32le(1) + u32le(2) + "\xc3(", 0,
       "identifier in equivalence run is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    write_file(dir.file("run"), c.bytes);
    EquivEntry entry;
    int count = 0;
    EXPECT_EQ(read_entry_error(dir.file("run"), &entry, &count), c.error) << c.name;
    EXPECT_EQ(count, c.entries) << c.name;
    // Claimed lengths never reserve more than a small bound.
    EXPECT_LE(entry.value_sizes.capacity(), 1024u) << c.name;
  }
}

// ---- lookups in a damaged or colliding merged file ----

TEST(EquivIndexLookup, CollidingHashesAndDamagedEntries) {
  TempDir dir;
  auto entry = [](std::string_view key, std::vector<std::string> values) {
    std::string e = u32le(static_cast<uint32_t>(key.size())) + std::string(key) +
                    u32le(static_cast<uint32_t>(values.size()));
    for (auto& v : values) e += u32le(static_cast<uint32_t>(v.size())) + v;
    return e;
  };
  // Two keys filed under one hash: the lookup steps past the other one.
  const uint64_t h = xxh64_hash("B:1");
  std::string first = entry("OTHER", {"x"});
  std::string second = entry("B:1", {"v1", "v2"});
  write_file(dir.file("m1"), first + second);
  {
    auto index = EquivIndex::open_merged(dir.file("m1"), {h, h}, {0, first.size()});
    ASSERT_TRUE(index.ok());
    EXPECT_EQ(lookup_all(*index, "B:1"), (std::vector<std::string>{"v1", "v2"}));
    EXPECT_TRUE(lookup_all(*index, "OTHER").empty());  // filed under the wrong hash
  }
  // A value cut short, a value not UTF-8, a count beyond the file: what comes
  // before the damage is found, nothing fails.
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> found;
  };
  std::string cut = entry("B:1", {"v1", "v2"});
  cut.resize(cut.size() - 1);
  const Case cases[] = {
      {"cut value", cut, {"v1"}},
      {"bad value", entry("B:1", {"v1", "\xff", "v3"}), {"v1"}},
      {"count beyond the file", u32le(3) + "B:1" + u32le(1000) + u32le(2) + "v1", {"v1"}},
      {"cut key", u32le(30) + "B:1", {}},
      {"cut count", u32le(3) + "B:1" + "\x01", {}},
      {"three bytes", "abc", {}},
      {"key not UTF-8", u32le(1) + "\xff" + u32le(0), {}},
  };
  for (const Case& c : cases) {
    write_file(dir.file("m2"), c.bytes);
    auto index = EquivIndex::open_merged(dir.file("m2"), {h}, {0});
    ASSERT_TRUE(index.ok()) << c.name;
    EXPECT_EQ(lookup_all(*index, "B:1"), c.found) << c.name;
  }
}

// ---- many runs under a low open-file limit (in a child process) ----

constexpr const char* kChildVar = "RS_EQUIV_RLIMIT_CHILD_DIR";

TEST(EquivRlimitChild, ManyRunsMergeUnderLowFileLimit) {
  const char* dir = std::getenv(kChildVar);
  if (dir == nullptr) GTEST_SKIP() << "runs as the child of EquivIndexBuild.ManyRunsUnderLowFileLimit";
  struct rlimit lim = {256, 256};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lim), 0);
  std::string text;
  Model model;
  for (int i = 0; i < 2000; ++i) {
    std::string key = "K:" + std::to_string(i);
    std::string value = "V:" + std::to_string(i % 7);
    text += R"({"id":")" + key + R"(","equivalent_identifiers":[")" + value + "\"]}\n";
    model[key].insert(value);
  }
  write_file(std::string(dir) + "/c", text);
  std::vector<std::string> classes = {std::string(dir) + "/c"};
  // Opening every run at once runs out of descriptors ...
  auto all_at_once = EquivIndex::build(classes, std::string(dir) + "/s1", nullptr,
                                       options(1, 100000));
  ASSERT_FALSE(all_at_once.ok());
  EXPECT_EQ(all_at_once.error().to_string(), "RuntimeError: Too many open files (os error 24)");
  // ... the fan-in from the limit merges them in rounds.
  EquivOptions o = options(1, equiv_fan_in());
  EXPECT_EQ(o.fan_in, 32u);
  auto index = EquivIndex::build(classes, std::string(dir) + "/s2", nullptr, o);
  ASSERT_TRUE(index.ok()) << index.error().to_string();
  expect_matches(*index, model);
  EXPECT_FALSE(std::filesystem::exists(std::string(dir) + "/s2/equiv"));
}

TEST(EquivIndexBuild, ManyRunsUnderLowFileLimit) {
  TempDir dir;
  const int status =
      test::run_self_child("EquivRlimitChild.*", std::string(kChildVar) + "=" + dir.path());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace rs::fullmap
