// Opening fullmap files read-only and the process-wide cache over them, on
// primaries crafted through the engine: schema and build id checks, a file
// that needs repair, a file a writer holds, identity changes and eviction.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "src/fullmap/db_cache.h"
#include "src/fullmap/layout.h"
#include "src/fullmap/read_tables.h"
#include "storage/database.h"
#include "storage/tests/support/temp_dir.h"
#include "tests/cpp/test_files.h"

extern char** environ;

namespace rs::fullmap {
namespace {

namespace fs = std::filesystem;
using storage::TextCodec;
using storage::test::TempDir;

using Meta = std::map<std::string, std::string>;

// A file with a `meta` table holding `meta` (none when nullopt), and
// `prefixes` holding `prefixes`. The database is closed cleanly.
void craft(const std::string& path, const std::optional<Meta>& meta,
           const std::map<uint16_t, std::string>& prefixes = {}) {
  auto db = storage::Database::builder().create(path);
  ASSERT_TRUE(db.ok()) << db.error().to_string();
  {
    auto txn = db->begin_write();
    ASSERT_TRUE(txn.ok());
    if (meta) {
      auto table = txn->open_table<TextCodec, TextCodec>(kMetaTable);
      ASSERT_TRUE(table.ok());
      for (const auto& [k, v] : *meta) ASSERT_TRUE(table->insert(k, v).ok());
    }
    {
      auto table = txn->open_table<storage::U16Codec, TextCodec>(kPrefixesTable);
      ASSERT_TRUE(table.ok());
      for (const auto& [k, v] : prefixes) ASSERT_TRUE(table->insert(k, v).ok());
    }
    ASSERT_TRUE(std::move(*txn).commit().ok());
  }
  ASSERT_TRUE(db->close().ok());
}

Meta good_meta(const std::string& build_id = "42") {
  return {{"schema", "quorvendel.fullmap.v5"}, {"build_id", build_id}, {"shards", "16"}};
}

std::string open_error(const std::string& path, bool validate) {
  auto r = open_cached_path(path, validate);
  return r.ok() ? "ok " + std::to_string(r->build_id) : r.error().to_string();
}

TEST(FullmapOpen, SchemaAndBuildIdCases) {
  TempDir dir;
  constexpr char kOutdated[] =
      "RuntimeError: fullmap DB is outdated; rebuild with 'quorvendel build-fullmap'";
  constexpr char kUnsupported[] = "RuntimeError: unsupported fullmap database schema";
  constexpr char kInvalid[] =
      "RuntimeError: fullmap DB has invalid META.build_id; rebuild with 'quorvendel "
      "build-fullmap'";
  constexpr char kMissing[] =
      "RuntimeError: fullmap DB is missing META.build_id; rebuild with 'quorvendel "
      "build-fullmap'";
  struct Case {
    const char* name;
    std::optional<Meta> meta;
    std::string validated;    // open_cached_path(validate = true)
    std::string unvalidated;  // the same file opened as a shard is
  };
  auto with = [](Meta m, const std::string& k, std::optional<std::string> v) {
    if (v) {
      m[k] = *v;
    } else {
      m.erase(k);
    }
    return m;
  };
  const Case cases[] = {
      {"v5", good_meta(), "ok 42", "ok 42"},
      {"v4", with(good_meta(), "schema", "quorvendel.fullmap.v4"), kOutdated, "ok 42"},
      {"v1", with(good_meta(), "schema", "quorvendel.fullmap.v1"), kOutdated, "ok 42"},
      {"v6", with(good_meta(), "schema", "quorvendel.fullmap.v6"), kUnsupported, "ok 42"},
      {"v5 and more", with(good_meta(), "schema", "quorvendel.fullmap.v5 "), kUnsupported,
       "ok 42"},
      {"no schema", with(good_meta(), "schema", std::nullopt), kUnsupported, "ok 42"},
      {"empty meta", Meta{}, kUnsupported, kMissing},
      {"no meta table", std::nullopt, "RuntimeError: Table 'meta' does not exist",
       "RuntimeError: Table 'meta' does not exist"},
      {"plus", good_meta("+42"), "ok 42", "ok 42"},
      {"max", good_meta("18446744073709551615"), "ok 18446744073709551615",
       "ok 18446744073709551615"},
      {"minus", good_meta("-1"), kInvalid, kInvalid},
      {"blank", good_meta(" 1"), kInvalid, kInvalid},
      {"2^64", good_meta("18446744073709551616"), kInvalid, kInvalid},
      {"empty", good_meta(""), kInvalid, kInvalid},
      {"no build id", with(good_meta(), "build_id", std::nullopt), kMissing, kMissing},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("p" + std::to_string(n++) + ".qdb");
    craft(path, c.meta);
    EXPECT_EQ(open_error(path, true), c.validated);
    EXPECT_EQ(open_error(path, false), c.unvalidated);
  }
}

TEST(FullmapOpen, MissingForeignLockedAndUnrepairedFiles) {
  TempDir dir;
  EXPECT_EQ(open_error(dir.file("absent.qdb"), true),
            "RuntimeError: I/O error: No such file or directory (os error 2)");
  // A writer holds the file.
  const std::string held = dir.file("held.qdb");
  craft(held, good_meta());
  {
    auto writer = storage::Database::builder().create(held);
    ASSERT_TRUE(writer.ok());
    EXPECT_EQ(open_error(held, true),
              "RuntimeError: Database already open. Cannot acquire lock.");
    ASSERT_TRUE(writer->close().ok());
  }
  EXPECT_EQ(open_error(held, true), "ok 42");
}

constexpr char kCrashChildVar[] = "RS_FULLMAP_CRASH_CHILD_FILE";

// Run by CrashedWriter below in a child process: commits, then ends the
// process without closing the database.
TEST(FullmapOpenChild, CommitAndDieWithoutClosing) {
  const char* path = std::getenv(kCrashChildVar);
  if (path == nullptr) GTEST_SKIP() << "runs as the child of FullmapOpen.CrashedWriter";
  auto db = storage::Database::builder().create(path);
  if (!db.ok()) std::_Exit(3);
  auto txn = db->begin_write();
  if (!txn.ok()) std::_Exit(4);
  {
    auto meta = txn->open_table<TextCodec, TextCodec>(kMetaTable);
    if (!meta.ok() || !meta->insert("build_id", "7").ok()) std::_Exit(5);
  }
  if (!std::move(*txn).commit().ok()) std::_Exit(6);
  std::_Exit(0);
}

TEST(FullmapOpen, CrashedWriterNeedsRepair) {
  TempDir dir;
  const std::string path = dir.file("crashed.qdb");
  const int status = test::run_self_child("FullmapOpenChild.CommitAndDieWithoutClosing",
                                          std::string(kCrashChildVar) + "=" + path);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string needs_repair =
      "RuntimeError: fullmap DB is outdated or needs repair; rebuild with 'quorvendel "
      "build-fullmap'";
  auto r = open_read_only(path);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), needs_repair);
  EXPECT_EQ(open_error(path, false), needs_repair);
  EXPECT_FALSE(cached_entry_for_test(path).has_value());
}

TEST(FullmapCache, HitsReopensAndEvictions) {
  TempDir dir;
  const std::string primary = dir.file("db.qdb");
  craft(primary, good_meta("11"), {{0, "A"}, {2, "C"}});
  const uint64_t opens = fresh_opens_for_test();
  auto first = open_cached(primary);
  ASSERT_TRUE(first.ok());
  auto second = open_cached(primary);
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(fresh_opens_for_test(), opens + 1) << "the second open is a hit";
  EXPECT_EQ(first->db, second->db);
  EXPECT_FALSE(second->missing);

  // The entry's identity is the opened file's.
  struct stat st;
  ASSERT_EQ(::stat(primary.c_str(), &st), 0);
  auto entry = cached_entry_for_test(canonical_or_given(primary));
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->dev, st.st_dev);
  EXPECT_EQ(entry->ino, st.st_ino);
  EXPECT_EQ(entry->build_id, 11u);

  // Name lists fill the gaps with empty names.
  auto names = load_string_table(*first->db, kPrefixesTable);
  ASSERT_TRUE(names.ok());
  EXPECT_EQ(name_list(*names), (std::vector<std::string_view>{"A", "", "C"}));
  EXPECT_EQ(name_list(std::map<uint16_t, std::string>{}), (std::vector<std::string_view>{""}));

  // Deleted: the cached handle keeps answering, flagged missing.
  const std::string key = canonical_or_given(primary);
  ASSERT_TRUE(fs::remove(primary));
  auto missing = open_cached_path(key, true);
  ASSERT_TRUE(missing.ok());
  EXPECT_TRUE(missing->missing);
  EXPECT_EQ(missing->build_id, 11u);
  EXPECT_EQ(missing->db, first->db);
  EXPECT_EQ(fresh_opens_for_test(), opens + 1);

  // Replaced: a new file under the path is opened afresh; the old handle
  // stays usable for whoever holds it.
  craft(primary, good_meta("12"));
  auto replaced = open_cached_path(key, true);
  ASSERT_TRUE(replaced.ok());
  EXPECT_FALSE(replaced->missing);
  EXPECT_EQ(replaced->build_id, 12u);
  EXPECT_NE(replaced->db, first->db);
  EXPECT_EQ(fresh_opens_for_test(), opens + 2);
  EXPECT_TRUE(load_string_table(*first->db, kPrefixesTable).ok());

  // Eviction drops the output's entry and its shards'; the build's insertion
  // puts the primary back.
  const std::string shard3 = shard_path(primary, 3);
  craft(shard3, Meta{{"build_id", "12"}});
  ASSERT_TRUE(open_cached_path(canonical_or_given(shard3), false).ok());
  ASSERT_TRUE(cached_entry_for_test(canonical_or_given(shard3)).has_value());
  ASSERT_TRUE(evict_cached_paths(primary).ok());
  EXPECT_FALSE(cached_entry_for_test(key).has_value());
  EXPECT_FALSE(cached_entry_for_test(canonical_or_given(shard3)).has_value());
  ASSERT_TRUE(cache_database(primary).ok());
  auto inserted = cached_entry_for_test(key);
  ASSERT_TRUE(inserted.has_value());
  EXPECT_EQ(inserted->build_id, 12u);
  ASSERT_EQ(::stat(primary.c_str(), &st), 0);
  EXPECT_EQ(inserted->ino, st.st_ino);
  const uint64_t before_hit = fresh_opens_for_test();
  ASSERT_TRUE(open_cached(primary).ok());
  EXPECT_EQ(fresh_opens_for_test(), before_hit);
}

}  // namespace
}  // namespace rs::fullmap
