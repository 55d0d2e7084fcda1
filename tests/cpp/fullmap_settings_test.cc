#include "src/fullmap/settings.h"

#include "src/fullmap/progress.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace rs::fullmap {
namespace {

// Sets a variable for one scope and restores what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(FullmapSettings, EnvUsizeAcceptsOnlyPlainUnsignedDecimals) {
  struct Case {
    const char* value;  // null: unset
    size_t expect;
  } cases[] = {
      {nullptr, 8388608},
      {" 5", 8388608},
      {"5 ", 8388608},
      {"-5", 8388608},
      {"-0", 8388608},
      {"5a", 8388608},
      {"99999999999999999999", 8388608},
      {"18446744073709551616", 8388608},
      {"18446744073709551615", 18446744073709551615u},
      {"+5", 5},
      {"++5", 8388608},
      {"+", 8388608},
      {"-", 8388608},
      {"", 8388608},
      {"0", 0},
      {"007", 7},
      {"\xFF", 8388608},
      {"\xD9\xA3", 8388608},  // a non-ASCII digit
  };
  for (const Case& c : cases) {
    ScopedEnv env(kEnvChunkBytes, c.value);
    EXPECT_EQ(env_usize(kEnvChunkBytes, kDefaultChunkBytes), c.expect)
        << (c.value ? c.value : "<unset>");
  }
}

TEST(FullmapSettings, ExcludePrefixesAreTrimmedAndEmptyItemsDropped) {
  PrefixSet got = parse_exclude_prefixes(" CHEBI , ,\xE3\x80\x80UniProtKB\t,");
  EXPECT_EQ(got, (PrefixSet{"CHEBI", "UniProtKB"}));
  EXPECT_TRUE(parse_exclude_prefixes("").empty());
  EXPECT_TRUE(parse_exclude_prefixes(" , ,").empty());
  EXPECT_EQ(parse_exclude_prefixes("hp,HP"), (PrefixSet{"hp", "HP"}));
  EXPECT_TRUE(got.contains(std::string_view("CHEBI")));
}

TEST(FullmapSettings, ReadBuildSettingsDefaultsAndOverrides) {
  const char* all[] = {kEnvLocalSpillEntries, kEnvCurieSpillEntries, kEnvChunkBytes,
                       kEnvProducers,         kEnvDbCacheBytes,      kEnvInsertBatch,
                       kEnvSpillDir,          kEnvExcludePrefixes};
  std::vector<std::unique_ptr<ScopedEnv>> cleared;
  for (const char* name : all) cleared.push_back(std::make_unique<ScopedEnv>(name, nullptr));

  BuildSettings d = read_build_settings("/tmp/a/b.qdb", 3, 32);
  EXPECT_EQ(d.local_spill_entries, 1000000u);
  EXPECT_EQ(d.curie_spill_entries, 250000u);
  EXPECT_TRUE(d.exclude_prefixes.empty());
  EXPECT_EQ(d.chunk_bytes, 8388608u);
  EXPECT_EQ(d.producers, 3u);  // min(files, max(4, 32 / 4))
  EXPECT_EQ(d.cache_bytes, 2147483648u);
  EXPECT_EQ(d.insert_batch, 2000000u);
  EXPECT_EQ(d.spill_dir, "/tmp/a/b.qdb.spill.d");

  ScopedEnv a(kEnvSpillDir, "rel/spill");
  ScopedEnv b(kEnvProducers, "0");
  ScopedEnv c(kEnvExcludePrefixes, "X,Y");
  ScopedEnv e(kEnvInsertBatch, "+0");
  BuildSettings s = read_build_settings("out", 1, 1);
  EXPECT_EQ(s.spill_dir, "rel/spill");
  EXPECT_EQ(s.producers, 0u);  // the ingestion makes 0 one
  EXPECT_EQ(s.exclude_prefixes, (PrefixSet{"X", "Y"}));
  EXPECT_EQ(s.insert_batch, 0u);
  {
    ScopedEnv empty(kEnvSpillDir, "");
    EXPECT_EQ(read_build_settings("out", 1, 1).spill_dir, "");
  }
  {
    ScopedEnv bad(kEnvSpillDir, "\xFF");
    EXPECT_EQ(read_build_settings("out", 1, 1).spill_dir, "out.spill.d");
  }
}

TEST(FullmapSettings, DefaultProducersAndSpillDir) {
  EXPECT_EQ(default_producers(10, 1), 4u);
  EXPECT_EQ(default_producers(10, 36), 9u);
  EXPECT_EQ(default_producers(2, 36), 2u);
  EXPECT_EQ(default_spill_dir("out/db.qdb"), "out/db.qdb.spill.d");
  EXPECT_EQ(default_spill_dir("db"), "db.spill.d");
  EXPECT_EQ(default_spill_dir("out/db/"), "out/db.spill.d");
}

TEST(FullmapWorkers, CountFromThreadsCpusAndAvailableMemory) {
  auto meminfo = [](const char* kb) {
    return std::string("MemTotal:       32000000 kB\nMemFree:  1 kB\nMemAvailable:   ") + kb +
           " kB\nBuffers: 5 kB\n";
  };
  std::string m5 = meminfo("5000000"), m1 = meminfo("1000000"), m100 = meminfo("100000000"),
              m0 = meminfo("0"), mbad = meminfo("12x");
  std::string none = "MemTotal: 1 kB\n";
  std::string crlf = "MemAvailable: 4194304 kB\r\n";
  std::string twice = "MemAvailable: 0 kB\nMemAvailable: 9999999999 kB\n";
  std::string no_field = "MemAvailable:\n";
  std::string glued = "MemAvailable:4194304 kB\n";
  std::string plus = "MemAvailable: +4194304 kB\n";
  std::string invalid = std::string("MemAvailable: 4194304 kB\n\xFF");
  struct Case {
    std::optional<uint64_t> threads;
    size_t cpus;
    std::optional<std::string_view> meminfo;
    size_t expect;
  } cases[] = {
      {std::nullopt, 8, m5, 2},
      {std::nullopt, 8, m1, 1},
      {std::nullopt, 8, m100, 8},
      {std::nullopt, 8, m0, 7},
      {std::nullopt, 8, none, 7},
      {std::nullopt, 8, std::nullopt, 7},
      {std::nullopt, 8, mbad, 7},
      {std::nullopt, 8, no_field, 7},
      {std::nullopt, 8, glued, 7},  // "MemAvailable:4194304" is one field
      {std::nullopt, 8, crlf, 2},
      {std::nullopt, 8, plus, 2},
      {std::nullopt, 8, twice, 7},  // only the first line counts
      {std::nullopt, 8, invalid, 7},
      {std::nullopt, 1, std::nullopt, 1},  // 1 * 9 / 10 is 0, raised to 1
      {std::nullopt, 1, m100, 1},
      {0, 8, m100, 1},
      {3, 1, m1, 3},
      {3, 64, std::nullopt, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(worker_count(c.threads, c.cpus, c.meminfo), c.expect)
        << (c.threads ? std::to_string(*c.threads) : "-") << " " << c.cpus << " "
        << (c.meminfo ? std::string(*c.meminfo) : "<no file>");
  }
}

TEST(FullmapWorkers, ThisMachineHasAtLeastOne) {
  EXPECT_GE(available_cpus(), 1u);
  EXPECT_GE(choose_worker_count(std::nullopt), 1u);
  EXPECT_LE(choose_worker_count(std::nullopt), available_cpus());
  EXPECT_EQ(choose_worker_count(0), 1u);
  EXPECT_EQ(choose_worker_count(5), 5u);
}

class RecordingProgress : public Progress {
 public:
  void call(int32_t kind, uint64_t done, uint64_t total, std::string_view message) noexcept
      override {
    calls.push_back(std::to_string(kind) + " " + std::to_string(done) + "/" +
                    std::to_string(total) + " " + std::string(message));
  }
  std::vector<std::string> calls;
};

TEST(FullmapProgress, ReportsReachTheHandleAndAreSkippedWithoutOne) {
  report(nullptr, kProgressIngestion, 1, 0, "skipped");
  auto recording = std::make_shared<RecordingProgress>();
  ProgressHandle handle = recording;
  report(handle, kProgressFinalWrite, 3, 10, "shard 2: writing 3 records");
  EXPECT_EQ(recording->calls, std::vector<std::string>{"2 3/10 shard 2: writing 3 records"});
}

}  // namespace
}  // namespace rs::fullmap
