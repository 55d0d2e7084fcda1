#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "src/fullmap/db_cache.h"
#include "src/fullmap/layout.h"
#include "src/fullmap/lookup.h"
#include "src/fullmap/pinning.h"
#include "src/fullmap/settings.h"
#include "src/xxh64.h"
#include "storage/src/panic.h"
#include "storage/tests/support/panic_text.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"
#include "tests/cpp/fullmap_crafted.h"

namespace rs::fullmap {
namespace {

namespace fs = std::filesystem;
using storage::test::TempDir;
using test::CraftedFullmap;

std::vector<std::string_view> views(const std::vector<std::string>& terms) {
  return std::vector<std::string_view>(terms.begin(), terms.end());
}

// "term -> CURIE | name | category | taxon | source | version" per record.
std::vector<std::string> render(const LookupRows& rows, const std::vector<std::string>& terms) {
  std::vector<std::string> out;
  const PairResult& pairs = rows.pairs();
  for (size_t i = 0; i < pairs.size(); ++i) {
    for (size_t j = 0; j < pairs.postings(i).size(); ++j) {
      FullmapRecord r = rows.record(i, j);
      out.push_back(terms[pairs.index(i)] + " -> " + std::string(r.curie) + " | " +
                    std::string(r.preferred_name) + " | " + std::string(r.category_name) +
                    " | " + std::to_string(r.taxon_id) + " | " + std::string(r.source_name) +
                    " | " + std::string(r.source_version));
    }
  }
  return out;
}

// "term: (id,src) (id,src)" per found term.
std::vector<std::string> render(const PairResult& pairs, const std::vector<std::string>& terms) {
  std::vector<std::string> out;
  for (size_t i = 0; i < pairs.size(); ++i) {
    std::string line = terms[pairs.index(i)] + ":";
    for (const Posting& p : pairs.postings(i)) {
      line += " (" + std::to_string(p.curie_id) + "," + std::to_string(p.source_id) + ")";
    }
    out.push_back(line);
  }
  return out;
}

std::string error_text(const PendingError& e) { return std::string(e.message()); }

// A small fullmap: two prefixes, two categories, two sources, three CURIEs.
CraftedFullmap small_fullmap(uint64_t build_id = 7) {
  CraftedFullmap f(build_id);
  f.prefixes = {{0, "MONDO"}, {2, "NCBIGene"}};
  f.categories = {{0, "biolink:Disease"}, {3, "biolink:Gene"}};
  f.sources = {{0, "synA"}, {1, "synB"}};
  f.add_curie(1, 0, "0005015", "diabetes mellitus", 0, 0);
  f.add_curie(2, 2, "3630", "INS", 3, 9606);
  f.add_curie(3, 2, "5", "", 3, -7);
  f.add_term("diabetes", {{1, 0}, {1, 1}});
  f.add_term("ins", {{2, 0}});
  f.add_term("insulin", {{2, 1}, {3, 0}});
  f.add_term("nothing stored", {});
  return f;
}

class LookupTest : public ::testing::Test {
 protected:
  TempDir dir_;
  // A fresh canonical path per test, so that cache entries never carry over.
  std::string path_ = fs::canonical(dir_.path()).string() + "/kg.qdb";
};

TEST_F(LookupTest, RowsAndPairsOfASmallFullmap) {
  small_fullmap().write(path_);
  const std::vector<std::string> terms = {"insulin", "Diabetes", "diabetes", "ins ",
                                          "nothing stored", "ins", "insulin"};
  for (uint64_t threads : {1, 8}) {
    auto rows = lookup_terms(path_, views(terms), threads);
    ASSERT_TRUE(rows.ok()) << rows.error().to_string();
    EXPECT_EQ(render(rows.value(), terms),
              (std::vector<std::string>{
                  "insulin -> NCBIGene:3630 | INS | biolink:Gene | 9606 | synB | 2026jul22",
                  "insulin -> NCBIGene:5 |  | biolink:Gene | -7 | synA | 2026jul22",
                  "diabetes -> MONDO:0005015 | diabetes mellitus | biolink:Disease | 0 | synA | "
                  "2026jul22",
                  "diabetes -> MONDO:0005015 | diabetes mellitus | biolink:Disease | 0 | synB | "
                  "2026jul22",
                  "ins -> NCBIGene:3630 | INS | biolink:Gene | 9606 | synA | 2026jul22",
                  "insulin -> NCBIGene:3630 | INS | biolink:Gene | 9606 | synB | 2026jul22",
                  "insulin -> NCBIGene:5 |  | biolink:Gene | -7 | synA | 2026jul22",
              }));
    auto pairs = lookup_pair_terms(path_, views(terms), threads);
    ASSERT_TRUE(pairs.ok()) << pairs.error().to_string();
    EXPECT_EQ(render(pairs.value(), terms),
              (std::vector<std::string>{"insulin: (2,1) (3,0)", "diabetes: (1,0) (1,1)",
                                        "nothing stored:", "ins: (2,0)",
                                        "insulin: (2,1) (3,0)"}));
  }
}

TEST_F(LookupTest, RowsOfSparseCurieIds) {
  // Ids far above the posting count are mapped by search, not by a table.
  CraftedFullmap f = small_fullmap();
  f.add_curie(4000000000u, 2, "far", "far away", 3, 1);
  f.add_term("far", {{2, 0}, {4000000000u, 1}});
  f.write(path_);
  const std::vector<std::string> terms = {"far", "ins", "far"};
  auto rows = lookup_terms(path_, views(terms), 1);
  ASSERT_TRUE(rows.ok()) << rows.error().to_string();
  EXPECT_EQ(render(rows.value(), terms),
            (std::vector<std::string>{
                "far -> NCBIGene:3630 | INS | biolink:Gene | 9606 | synA | 2026jul22",
                "far -> NCBIGene:far | far away | biolink:Gene | 1 | synB | 2026jul22",
                "ins -> NCBIGene:3630 | INS | biolink:Gene | 9606 | synA | 2026jul22",
                "far -> NCBIGene:3630 | INS | biolink:Gene | 9606 | synA | 2026jul22",
                "far -> NCBIGene:far | far away | biolink:Gene | 1 | synB | 2026jul22",
            }));
}

TEST_F(LookupTest, ChainedValueFindsEveryTermOfItsHash) {
  // Two terms stored under one key, as a build writes terms of equal hash:
  // the query must be compared with each record of the value.
  CraftedFullmap f = small_fullmap();
  const uint64_t h = xxh64_hash("beta");
  const std::vector<Posting> a_postings = {{1, 0}};
  const std::vector<Posting> b_postings = {{2, 1}};
  f.add_chain(h, {RecordEntry{"alpha", a_postings}, RecordEntry{"beta", b_postings}});
  f.write(path_);
  const std::vector<std::string> terms = {"beta", "alpha", "bet"};
  auto pairs = lookup_pair_terms(path_, views(terms), 1);
  ASSERT_TRUE(pairs.ok()) << pairs.error().to_string();
  // alpha has another hash, so its own key holds nothing.
  EXPECT_EQ(render(pairs.value(), terms), (std::vector<std::string>{"beta: (2,1)"}));

  // A record of another term under the query's hash is no match.
  CraftedFullmap g = small_fullmap(8);
  g.add_chain(xxh64_hash("gamma"), {RecordEntry{"delta", a_postings}});
  g.write(path_);
  auto none = lookup_pair_terms(path_, views({"gamma"}), 1);
  ASSERT_TRUE(none.ok()) << none.error().to_string();
  EXPECT_TRUE(none.value().empty());
}

TEST_F(LookupTest, DanglingIdsFailWithTheirText) {
  struct Case {
    const char* name;
    void (*edit)(CraftedFullmap*);
    const char* text;
  };
  const Case cases[] = {
      {"curie", [](CraftedFullmap* f) { f->add_term("q", {{99, 0}}); },
       "missing fullmap CURIE id 99"},
      {"prefix",
       [](CraftedFullmap* f) {
         f->add_curie(40, 5, "x", "", 0, 0);
         f->add_term("q", {{40, 0}});
       },
       "missing prefix id 5"},
      {"category",
       [](CraftedFullmap* f) {
         f->add_curie(40, 0, "x", "", 9, 0);
         f->add_term("q", {{40, 0}});
       },
       "missing category id 9"},
      {"source", [](CraftedFullmap* f) { f->add_term("q", {{1, 0}, {2, 200}}); },
       "missing source id 200"},
  };
  uint64_t build = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CraftedFullmap f = small_fullmap(++build);
    c.edit(&f);
    f.write(path_);
    auto rows = lookup_terms(path_, views({"diabetes", "q"}), 1);
    ASSERT_FALSE(rows.ok());
    EXPECT_EQ(error_text(rows.error()), c.text);
    // Pairs do not hydrate, so they answer.
    auto pairs = lookup_pair_terms(path_, views({"q"}), 1);
    ASSERT_TRUE(pairs.ok()) << pairs.error().to_string();
    EXPECT_EQ(pairs.value().size(), 1u);
  }
}

TEST_F(LookupTest, RecordThatDoesNotDecodeFailsTheLookup) {
  CraftedFullmap f = small_fullmap();
  const uint64_t h = xxh64_hash("cut");
  std::string value;
  const std::vector<Posting> p = {{1, 0}};
  encode_record(RecordEntry{"cut", p}, &value);
  value.resize(value.size() - 2);  // inside the posting
  f.records[h & 15][h] = value;
  f.write(path_);
  auto pairs = lookup_pair_terms(path_, views({"cut"}), 1);
  ASSERT_FALSE(pairs.ok());
  EXPECT_FALSE(error_text(pairs.error()).empty());
}

// Stored text is file bytes: text that is not UTF-8 fails the call with an
// error value instead of stopping the program.
TEST_F(LookupTest, StoredTextThatIsNotUtf8IsCorrupted) {
  struct Case {
    const char* name;
    void (*edit)(CraftedFullmap*);
  };
  const Case cases[] = {
      {"prefix", [](CraftedFullmap* f) { f->prefixes[2] = "NCBI\xffGene"; }},
      {"category", [](CraftedFullmap* f) { f->categories[3] = "biolink:\xc3"; }},
      {"meta schema", [](CraftedFullmap* f) { f->meta["schema"] = "\xed\xa0\x80"; }},
      {"meta shards", [](CraftedFullmap* f) { f->meta["shards"] = "1\x80" "6"; }},
  };
  uint64_t build = 200;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CraftedFullmap f = small_fullmap(++build);
    c.edit(&f);
    f.write(path_);
    auto rows = lookup_terms(path_, views({"ins"}), 1);
    ASSERT_FALSE(rows.ok());
    EXPECT_EQ(rows.error().kind(), PendingError::Kind::kRuntimeError);
    EXPECT_NE(error_text(rows.error()).find("not valid UTF-8"), std::string::npos)
        << error_text(rows.error());
  }
}

TEST_F(LookupTest, OpenCasesOfThePrimary) {
  constexpr const char* kOk = "";
  const std::string invalid =
      "fullmap DB has invalid META.build_id; rebuild with 'quorvendel build-fullmap'";
  struct Case {
    const char* name;
    std::optional<std::string> schema;
    std::optional<std::string> build_id;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"schema v4", "quorvendel.fullmap.v4", "7",
       "fullmap DB is outdated; rebuild with 'quorvendel build-fullmap'"},
      {"schema v1", "quorvendel.fullmap.v1", "7",
       "fullmap DB is outdated; rebuild with 'quorvendel build-fullmap'"},
      {"schema v6", "quorvendel.fullmap.v6", "7", "unsupported fullmap database schema"},
      {"schema missing", std::nullopt, "7", "unsupported fullmap database schema"},
      {"build id +42", std::string(kSchemaTag), "+42", kOk},
      {"build id -1", std::string(kSchemaTag), "-1", invalid},
      {"build id blank", std::string(kSchemaTag), " 42", invalid},
      {"build id empty", std::string(kSchemaTag), "", invalid},
      {"build id 2^64", std::string(kSchemaTag), "18446744073709551616", invalid},
      {"build id missing", std::string(kSchemaTag), std::nullopt,
       "fullmap DB is missing META.build_id; rebuild with 'quorvendel build-fullmap'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CraftedFullmap f = small_fullmap();
    f.meta.erase("schema");
    f.meta.erase("build_id");
    if (c.schema) f.meta["schema"] = *c.schema;
    if (c.build_id) f.meta["build_id"] = *c.build_id;
    // Shards carry the build id the primary's text stands for.
    for (auto& b : f.shard_build_ids) b = "42";
    f.write(path_);
    auto rows = lookup_terms(path_, views({"ins"}), 1);
    if (c.text.empty()) {
      ASSERT_TRUE(rows.ok()) << rows.error().to_string();
      EXPECT_EQ(rows.value().record_count(), 1u);
    } else {
      ASSERT_FALSE(rows.ok());
      EXPECT_EQ(error_text(rows.error()), c.text);
    }
  }
}

TEST_F(LookupTest, ShardCountFromMeta) {
  // A term in a shard above 7 shows whether routing covers it.
  std::string high, low;
  for (int i = 0; high.empty() || low.empty(); ++i) {
    std::string t = "t" + std::to_string(i);
    const uint64_t s = xxh64_hash(t) & 15;
    if (s >= 8 && high.empty()) high = t;
    if (s == 0 && low.empty()) low = t;
  }
  struct Case {
    std::optional<std::string> shards;
    uint32_t routed;
  };
  const Case cases[] = {{"16", 16},   {std::nullopt, 16}, {"abc", 16}, {"1", 1},
                        {"0", 1},     {"12", 8},          {"100", 16}, {"+4", 4},
                        {"9223372036854775809", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shards.value_or("<absent>"));
    EXPECT_EQ(routing_shard_count(c.shards ? std::optional<std::string_view>(*c.shards)
                                           : std::nullopt),
              c.routed);
    CraftedFullmap f = small_fullmap();
    if (c.shards) {
      f.meta["shards"] = *c.shards;
    } else {
      f.meta.erase("shards");
    }
    // Every term also sits where a routing over `routed` shards looks.
    f.records.assign(kShardCount, {});
    for (const std::string& t : {high, low}) {
      const uint64_t h = xxh64_hash(t);
      std::string value;
      const std::vector<Posting> p = {{1, 0}};
      encode_record(RecordEntry{t, p}, &value);
      f.records[h & (c.routed - 1)][h] = value;
    }
    // Only the routed shards exist: the others are never opened.
    f.shard_files = c.routed;
    for (uint32_t i = 0; i < kShardCount; ++i) fs::remove(shard_path(path_, i));
    f.write(path_);
    auto bundle = open_cached_shards(path_);
    ASSERT_TRUE(bundle.ok()) << bundle.error().to_string();
    EXPECT_EQ(bundle.value().shards.size(), c.routed);
    auto pairs = lookup_pair_terms(path_, views({high, low}), 1);
    ASSERT_TRUE(pairs.ok()) << pairs.error().to_string();
    EXPECT_EQ(pairs.value().size(), 2u);
  }
}

TEST_F(LookupTest, FileThatNeedsRepairOrIsLockedFails) {
  small_fullmap().write(path_);
  {
    // A writer holding the file keeps readers out.
    auto writer = storage::Database::builder().create(path_);
    ASSERT_TRUE(writer.ok()) << writer.error().to_string();
    auto rows = lookup_terms(path_, views({"ins"}), 1);
    ASSERT_FALSE(rows.ok());
    EXPECT_EQ(error_text(rows.error()), "Database already open. Cannot acquire lock.");
  }
  // A writer that ended without closing leaves a file that needs repair.
  const std::string other = fs::canonical(dir_.path()).string() + "/crashed.qdb";
  small_fullmap().write(other);
  fs::remove(other);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto db = storage::Database::builder().create(other);
    if (!db.ok()) _exit(2);
    auto txn = db.value().begin_write();
    if (!txn.ok()) _exit(3);
    if (!std::move(txn).value().commit().ok()) _exit(4);
    _exit(0);  // no close: the recovery flag stays set
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  auto rows = lookup_terms(other, views({"ins"}), 1);
  ASSERT_FALSE(rows.ok());
  EXPECT_EQ(error_text(rows.error()),
            "fullmap DB is outdated or needs repair; rebuild with 'quorvendel build-fullmap'");
}

TEST_F(LookupTest, MissingFileFailsEvenForNoTerms) {
  auto rows = lookup_terms(path_, {}, std::nullopt);
  ASSERT_FALSE(rows.ok());
  auto pairs = lookup_pair_terms(path_, {}, std::nullopt);
  ASSERT_FALSE(pairs.ok());
  small_fullmap().write(path_);
  auto empty = lookup_pair_terms(path_, {}, std::nullopt);
  ASSERT_TRUE(empty.ok()) << empty.error().to_string();
  EXPECT_TRUE(empty.value().empty());
}

TEST(LookupWorkers, CountRules) {
  EXPECT_EQ(default_lookup_workers(0), 1u);
  EXPECT_EQ(default_lookup_workers(LOOKUP_PARALLEL_MIN - 1), 1u);
  EXPECT_EQ(default_lookup_workers(LOOKUP_PARALLEL_MIN), available_cpus());
  EXPECT_EQ(lookup_worker_count(0, 5000), 1u);
  EXPECT_EQ(lookup_worker_count(8, 1), 1u);
  EXPECT_EQ(lookup_worker_count(8, 0), 1u);
  EXPECT_EQ(lookup_worker_count(8, 5000), 8u);
  EXPECT_EQ(lookup_worker_count(std::nullopt, 1023), 1u);
  EXPECT_EQ(lookup_worker_count(std::nullopt, 5000), std::min<size_t>(available_cpus(), 5000));
}

// ---- cache and pinning ----

TEST_F(LookupTest, TwoLookupsOpenEachFileOnce) {
  small_fullmap().write(path_);
  const uint64_t before = fresh_opens_for_test();
  ASSERT_TRUE(lookup_terms(path_, views({"ins"}), 1).ok());
  EXPECT_EQ(fresh_opens_for_test() - before, 17u);
  ASSERT_TRUE(lookup_terms(path_, views({"ins"}), 1).ok());
  ASSERT_TRUE(lookup_pair_terms(path_, views({"ins"}), 1).ok());
  EXPECT_EQ(fresh_opens_for_test() - before, 17u);
}

TEST_F(LookupTest, DeletedFilesAnswerFromTheCache) {
  small_fullmap().write(path_);
  ASSERT_TRUE(lookup_pair_terms(path_, views({"ins"}), 1).ok());
  fs::remove(path_);
  for (uint32_t i = 0; i < kShardCount; ++i) fs::remove(shard_path(path_, i));
  auto rows = lookup_terms(path_, views({"ins"}), 1);
  ASSERT_TRUE(rows.ok()) << rows.error().to_string();
  EXPECT_EQ(rows.value().record_count(), 1u);
}

TEST_F(LookupTest, OnlyPrimaryDeletedNeverPins) {
  small_fullmap().write(path_);
  ASSERT_TRUE(lookup_pair_terms(path_, views({"ins"}), 1).ok());
  fs::remove(path_);
  auto rows = lookup_terms(path_, views({"ins"}), 1);
  ASSERT_FALSE(rows.ok());
  EXPECT_EQ(error_text(rows.error()),
            "fullmap at " + path_ +
                " kept changing generation; could not pin one primary-plus-shards bundle after "
                "5 attempts");
}

TEST_F(LookupTest, MixedBuildIdsNeverPin) {
  CraftedFullmap f = small_fullmap();
  f.shard_build_ids[9] = "8";
  f.write(path_);
  auto pairs = lookup_pair_terms(path_, views({"ins"}), 1);
  ASSERT_FALSE(pairs.ok());
  EXPECT_NE(error_text(pairs.error()).find("kept changing generation"), std::string::npos);
}

TEST_F(LookupTest, ReplacedFilesAnswerFromTheNewBuild) {
  CraftedFullmap old = small_fullmap(7);
  old.write(path_);
  ASSERT_TRUE(lookup_pair_terms(path_, views({"ins"}), 1).ok());
  // Another process replaces every file with a build that knows other terms.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CraftedFullmap next = small_fullmap(9);
    next.add_term("glucose", {{3, 1}});
    next.write(path_);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto bundle = open_cached_shards(path_);
  ASSERT_TRUE(bundle.ok()) << bundle.error().to_string();
  EXPECT_EQ(bundle.value().build_id, 9u);
  auto pairs = lookup_pair_terms(path_, views({"glucose"}), 1);
  ASSERT_TRUE(pairs.ok()) << pairs.error().to_string();
  EXPECT_EQ(pairs.value().size(), 1u);
}

// The files are replaced just before the bundle is pinned: names, records
// and CURIE rows must all come from the new generation. Both generations
// give out the same ids in opposite orders, so a primary of the other
// generation would still resolve every id, to wrong texts.
CraftedFullmap swapped_ids(bool second) {
  CraftedFullmap f(second ? 20 : 10);
  f.prefixes = {{0, second ? "YP" : "XP"}};
  f.categories = {{0, second ? "ycat" : "xcat"}};
  f.sources = {{0, second ? "ysrc" : "xsrc"}};
  for (uint32_t i = 0; i < 4; ++i) {
    const uint32_t id = second ? 3 - i : i;
    f.add_curie(id, 0, std::to_string(i), "n" + std::to_string(i), 0, 0);
    f.add_term("t" + std::to_string(i), {{id, 0}});
  }
  return f;
}

TEST_F(LookupTest, RowsComeFromThePinnedGeneration) {
  swapped_ids(false).write(path_);
  const std::vector<std::string> terms = {"t0", "t3"};
  auto first = lookup_terms(path_, views(terms), 1);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(render(first.value(), terms),
            (std::vector<std::string>{"t0 -> XP:0 | n0 | xcat | 0 | xsrc | 2026jul22",
                                      "t3 -> XP:3 | n3 | xcat | 0 | xsrc | 2026jul22"}));
  static std::string path;
  path = path_;
  PinTestHooks& hooks = pin_test_hooks();
  hooks.before_attempt = [](int attempt) {
    if (attempt == 1) swapped_ids(true).write(path);
  };
  auto second = lookup_terms(path_, views(terms), 1);
  hooks = PinTestHooks{};
  ASSERT_TRUE(second.ok()) << second.error().to_string();
  EXPECT_EQ(render(second.value(), terms),
            (std::vector<std::string>{"t0 -> YP:0 | n0 | ycat | 0 | ysrc | 2026jul22",
                                      "t3 -> YP:3 | n3 | ycat | 0 | ysrc | 2026jul22"}));
}

// ---- the parallel path ----

struct HookScope {
  explicit HookScope(LookupTestHooks hooks) { lookup_test_hooks() = hooks; }
  ~HookScope() { lookup_test_hooks() = LookupTestHooks{}; }
};

// Terms spread over all 16 shards, every one stored.
std::vector<std::string> spread_terms(CraftedFullmap* f, size_t n) {
  std::vector<std::string> terms;
  for (size_t i = 0; i < n; ++i) {
    terms.push_back("term " + std::to_string(i));
    f->add_term(terms.back(), {{1, static_cast<uint8_t>(i % 2)}});
  }
  return terms;
}

TEST_F(LookupTest, ModelBasedAgainstAMap) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  CraftedFullmap f = small_fullmap();
  std::map<std::string, std::vector<Posting>> model;
  for (int i = 0; i < 3000; ++i) {
    std::string term = "w" + std::to_string(rng() % 100000);
    std::vector<Posting> postings;
    for (size_t k = rng() % 4; k > 0; --k) {
      postings.push_back({static_cast<uint32_t>(1 + rng() % 3), static_cast<uint8_t>(rng() % 2)});
    }
    sort_unique_postings(&postings);
    model[term] = postings;
    f.add_term(term, postings);
  }
  f.write(path_);
  auto bundle = open_cached_shards(path_);
  ASSERT_TRUE(bundle.ok());
  for (int round = 0; round < 6; ++round) {
    std::vector<std::string> terms;
    const size_t n = round == 0 ? 1 : rng() % 5000;
    for (size_t i = 0; i < n; ++i) terms.push_back("w" + std::to_string(rng() % 200000));
    std::vector<std::string> expected;
    for (const std::string& t : terms) {
      auto it = model.find(t);
      if (it == model.end()) continue;
      std::string line = t + ":";
      for (const Posting& p : it->second) {
        line += " (" + std::to_string(p.curie_id) + "," + std::to_string(p.source_id) + ")";
      }
      expected.push_back(line);
    }
    for (size_t workers : {1, 2, 4, 8, 16, 32}) {
      auto pairs = lookup_pair_terms_db(bundle.value().shards, views(terms), workers);
      ASSERT_TRUE(pairs.ok()) << pairs.error().to_string();
      EXPECT_EQ(render(pairs.value(), terms), expected) << n << " terms, " << workers;
    }
  }
}

TEST_F(LookupTest, ThreadsStartWithTheFirstBucketsAndTheCallerWithTheNext) {
  CraftedFullmap f = small_fullmap();
  const std::vector<std::string> terms = spread_terms(&f, 400);
  f.write(path_);
  auto bundle = open_cached_shards(path_);
  ASSERT_TRUE(bundle.ok());
  static std::mutex mu;
  static std::map<uint32_t, std::vector<std::thread::id>> ran_on;
  ran_on.clear();
  HookScope hooks(LookupTestHooks{.on_bucket = [](uint32_t shard) {
    std::lock_guard<std::mutex> lock(mu);
    ran_on[shard].push_back(std::this_thread::get_id());
  }});
  auto pairs = lookup_pair_terms_db(bundle.value().shards, views(terms), 4);
  ASSERT_TRUE(pairs.ok());
  EXPECT_EQ(render(pairs.value(), terms).size(), terms.size());
  // Every bucket once; the first four on four threads of their own, the
  // fifth on the caller; the rest on whoever is free.
  ASSERT_EQ(ran_on.size(), 16u);
  std::set<std::thread::id> all, first;
  for (auto& [shard, ids] : ran_on) {
    ASSERT_EQ(ids.size(), 1u) << shard;
    all.insert(ids[0]);
    if (shard < 4) first.insert(ids[0]);
  }
  EXPECT_EQ(first.size(), 4u);
  EXPECT_FALSE(first.count(std::this_thread::get_id()));
  EXPECT_EQ(ran_on[4][0], std::this_thread::get_id());
  EXPECT_EQ(all.size(), 5u);
}

// Failures on the parallel path: the first wins (the caller's buckets before
// the joins), and no thread outlives the call.
TEST_F(LookupTest, ConcurrentFailuresJoinEveryThread) {
  CraftedFullmap f = small_fullmap();
  std::vector<std::string> terms = spread_terms(&f, 400);
  // A value of shard 2 (the caller's first bucket with 2 workers) that does
  // not decode.
  std::string cut;
  for (int i = 0; cut.empty(); ++i) {
    std::string t = "cut" + std::to_string(i);
    if ((xxh64_hash(t) & 15) == 2) cut = t;
  }
  const uint64_t h = xxh64_hash(cut);
  f.records[2][h] = std::string("\x05\0\0\0\0\0\0\0ab", 10);
  terms.push_back(cut);
  f.write(path_);
  auto bundle = open_cached_shards(path_);
  ASSERT_TRUE(bundle.ok());
  const auto& shards = bundle.value().shards;

  static std::atomic<int> finished{0};
  static std::atomic<bool> panic_on_thread{false};
  auto slow = [](uint32_t shard) {
    if (shard == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      finished.fetch_add(1);
    }
    if (shard == 1 && panic_on_thread.load()) storage::panic("bucket panicked");
  };
  {
    // The caller's decoding failure wins over the panicking thread, and the
    // slow thread has finished when the call returns.
    finished = 0;
    panic_on_thread = true;
    HookScope hooks(LookupTestHooks{.on_bucket = slow});
    auto r = lookup_pair_terms_db(shards, views(terms), 2);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(error_text(r.error()), kLookupThreadPanicked);
    EXPECT_EQ(finished.load(), 1);
  }
  terms.pop_back();
  {
    finished = 0;
    panic_on_thread = true;
    HookScope hooks(LookupTestHooks{.on_bucket = slow});
    auto r = lookup_pair_terms_db(shards, views(terms), 2);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(error_text(r.error()), kLookupThreadPanicked);
    EXPECT_EQ(finished.load(), 1);
  }
  {
    // A thread that cannot start is a panic, after the started ones ended.
    finished = 0;
    panic_on_thread = false;
    HookScope hooks(LookupTestHooks{.on_bucket = slow, .fail_thread_start = 1});
    EXPECT_EQ(storage::test::panic_text([&] {
                (void)lookup_pair_terms_db(shards, views(terms), 4);
              }),
              "failed to spawn thread: Resource temporarily unavailable (os error 11)");
    EXPECT_EQ(finished.load(), 1);
  }
  {
    // A panic on the calling thread's bucket also waits for the threads.
    finished = 0;
    HookScope hooks(LookupTestHooks{.on_bucket = [](uint32_t shard) {
      if (shard == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        finished.fetch_add(1);
      }
      if (shard == 2) storage::panic("caller bucket panicked");
    }});
    EXPECT_EQ(storage::test::panic_text([&] {
                (void)lookup_pair_terms_db(shards, views(terms), 2);
              }),
              "caller bucket panicked");
    EXPECT_EQ(finished.load(), 1);
  }
}

// Lookups loop on several threads while another thread rebuilds the same
// path from X and Y in turn: every answer is X's or Y's, or an error.
TEST_F(LookupTest, ConcurrentRebuildGivesOneGenerationPerAnswer) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr int kDefaultRounds = 5;
#else
  constexpr int kDefaultRounds = 12;
#endif
  const int rounds = std::getenv("RS_STRESS_ROUNDS") ? std::atoi(std::getenv("RS_STRESS_ROUNDS"))
                                                     : kDefaultRounds;
  auto make = [](bool y, uint64_t build) {
    CraftedFullmap f(build);
    f.prefixes = {{0, y ? "YP" : "XP"}};
    f.categories = {{0, y ? "ycat" : "xcat"}};
    f.sources = {{0, y ? "ysrc" : "xsrc"}};
    // The same ids in both, given out in opposite orders: rows hydrated
    // from the other build's primary would still resolve, to wrong texts.
    for (uint32_t i = 0; i < 40; ++i) {
      const uint32_t id = y ? 39 - i : i;
      f.add_curie(id, 0, (y ? "y" : "x") + std::to_string(i), "name", 0,
                  static_cast<int32_t>(i));
      f.add_term("term " + std::to_string(i), {{id, 0}});
    }
    return f;
  };
  std::vector<std::string> terms;
  for (uint32_t i = 0; i < 40; i += 3) terms.push_back("term " + std::to_string(i));
  terms.push_back("absent");
  auto expected = [&](bool y) {
    std::vector<std::string> out;
    for (const std::string& t : terms) {
      if (t == "absent") continue;
      const std::string i = t.substr(5);
      out.push_back(t + " -> " + (y ? "YP:y" : "XP:x") + i + " | name | " +
                    (y ? "ycat" : "xcat") + " | " + i + " | " + (y ? "ysrc" : "xsrc") +
                    " | 2026jul22");
    }
    return out;
  };
  const std::vector<std::string> x_rows = expected(false), y_rows = expected(true);
  make(false, 1).write(path_);

  std::atomic<bool> stop{false};
  std::atomic<int> answers{0}, mixed{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&, r] {
      while (!stop.load()) {
        auto rows = lookup_terms(path_, views(terms), r % 2 == 0 ? 1 : 4);
        if (!rows.ok()) continue;
        std::vector<std::string> got = render(rows.value(), terms);
        if (got != x_rows && got != y_rows) mixed.fetch_add(1);
        answers.fetch_add(1);
      }
    });
  }
  for (int round = 0; round < rounds; ++round) {
    ASSERT_TRUE(evict_cached_paths(path_).ok());
    make(round % 2 == 0, 2 + round).write(path_);
  }
  // The last generation stays: readers answer from it at the latest.
  for (int i = 0; i < 1000 && answers.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(mixed.load(), 0);
  EXPECT_GT(answers.load(), 0);
}

}  // namespace
}  // namespace rs::fullmap
