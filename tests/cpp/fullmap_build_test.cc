#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include "src/fullmap/build.h"
#include "src/fullmap/layout.h"
#include "src/fullmap/pool.h"
#include "src/fullmap/settings.h"
#include "src/fullmap/spill_dir.h"
#include "storage/src/panic.h"
#include "storage/tests/support/temp_dir.h"
#include "tests/cpp/test_files.h"

namespace rs::fullmap {
namespace {

namespace fs = std::filesystem;
using storage::test::TempDir;

using test::write_file;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// ---- the pool ----

TEST(PoolConcurrent, RunsExactlyTheWorkerCountAboveTheCpuCount) {
  const size_t workers = std::max<size_t>(3, available_cpus() + 2);
  std::mutex mu;
  std::condition_variable cv;
  size_t arrived = 0;
  std::set<std::thread::id> ids;
  bool all_met = true;
  int concurrency = 0;
  PoolOutcome outcome = run_on_pool(workers, [&]() -> storage::Result<void, PendingError> {
    concurrency = tbb::this_task_arena::max_concurrency();
    // Every item waits for all the others: only `workers` threads at once
    // can get them all through.
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, workers, 1),
        [&](const tbb::blocked_range<size_t>&) {
          std::unique_lock lock(mu);
          ids.insert(std::this_thread::get_id());
          ++arrived;
          cv.notify_all();
          if (!cv.wait_for(lock, std::chrono::seconds(30), [&] { return arrived >= workers; })) {
            all_met = false;
          }
        },
        tbb::simple_partitioner());
    return {};
  });
  ASSERT_FALSE(outcome.escaped);
  ASSERT_TRUE(outcome.result.ok());
  EXPECT_TRUE(all_met) << "fewer than " << workers << " threads ran at once";
  EXPECT_EQ(ids.size(), workers);
  EXPECT_EQ(concurrency, static_cast<int>(workers));
  EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u) << "the caller took part";
}

TEST(PoolConcurrent, OneWorkerAndConcurrentPools) {
  std::vector<std::thread> callers;
  std::atomic<int> ok{0};
  for (size_t w : {1, 2, 5}) {
    callers.emplace_back([&ok, w] {
      PoolOutcome o = run_on_pool(w, [] { return storage::Result<void, PendingError>{}; });
      if (o.result.ok() && !o.escaped) ++ok;
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(ok.load(), 3);
}

TEST(PoolConcurrent, PanicAndErrorAreCarriedBack) {
  PoolOutcome panicked = run_on_pool(2, []() -> storage::Result<void, PendingError> {
    storage::panic("broken on the pool");
  });
  ASSERT_TRUE(panicked.escaped);
  try {
    std::rethrow_exception(panicked.escaped);
  } catch (const storage::Panic& p) {
    EXPECT_EQ(p.message(), "broken on the pool");
  }
  PoolOutcome failed = run_on_pool(2, []() -> storage::Result<void, PendingError> {
    return storage::Err(PendingError::runtime("plain failure"));
  });
  EXPECT_FALSE(failed.escaped);
  ASSERT_FALSE(failed.result.ok());
  EXPECT_EQ(failed.result.error().to_string(), "RuntimeError: plain failure");
}

// ---- preparing the output ----

struct OutputFixture {
  TempDir dir;
  std::string output = dir.file("out/db.qdb");
  std::vector<std::string> all() const {
    std::vector<std::string> p{output};
    for (uint32_t i = 0; i < kShardCount; ++i) p.push_back(shard_path(output, i));
    return p;
  }
  void fill_old() {
    fs::create_directories(dir.file("out"));
    for (const std::string& p : all()) write_file(p, "old");
  }
};

TEST(PrepareOutput, DeletesOldFilesAndCreatesTheParent) {
  OutputFixture f;
  ASSERT_TRUE(prepare_output(f.output, {}).ok());
  EXPECT_TRUE(fs::is_directory(f.dir.file("out")));
  f.fill_old();
  ASSERT_TRUE(prepare_output(f.output, {}).ok());
  for (const std::string& p : f.all()) EXPECT_FALSE(fs::exists(p)) << p;
}

// Old files are gone from their paths at once (their last close may come
// later); a FIFO at an output path is unlinked without being opened.
TEST(PrepareOutputConcurrent, OldFilesAndAFifoGoAtOnce) {
  OutputFixture f;
  f.fill_old();
  const std::string shard3 = shard_path(f.output, 3);
  fs::remove(shard3);
  ASSERT_EQ(::mkfifo(shard3.c_str(), 0600), 0);
  {
    auto r = prepare_output(f.output, {});
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    for (const std::string& p : f.all()) EXPECT_FALSE(fs::exists(fs::symlink_status(p))) << p;
  }
  for (const std::string& p : f.all()) EXPECT_FALSE(fs::exists(fs::symlink_status(p))) << p;
}

TEST(PrepareOutput, ADirectoryAtShard7DeletesNothing) {
  OutputFixture f;
  f.fill_old();
  const std::string shard7 = shard_path(f.output, 7);
  fs::remove(shard7);
  fs::create_directory(shard7);
  auto r = prepare_output(f.output, {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "RuntimeError: Is a directory (os error 21)");
  for (const std::string& p : f.all()) EXPECT_TRUE(fs::exists(p)) << p;
}

TEST(PrepareOutput, AnInputAtAnOutputPathIsRefusedAndKept) {
  OutputFixture f;
  f.fill_old();
  const std::string input = f.dir.file("syn.ndjson");
  write_file(input, "{}\n");
  struct Case {
    const char* what;
    std::string path;  // an output path made to be the input
  };
  const Case cases[] = {{"primary", f.output}, {"shard 12", shard_path(f.output, 12)}};
  for (const Case& c : cases) {
    for (bool symlink : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (symlink ? " symlink" : " hard link"));
      fs::remove(c.path);
      if (symlink) {
        fs::create_symlink(input, c.path);
      } else {
        fs::create_hard_link(input, c.path);
      }
      const std::vector<std::string> inputs = {f.dir.file("classes.ndjson"), input};
      auto r = prepare_output(f.output, inputs);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().to_string(), "RuntimeError: refusing to build over " + c.path +
                                           ": it is the input file " + input);
      EXPECT_EQ(read_file(input), "{}\n");
      for (const std::string& p : f.all()) EXPECT_TRUE(fs::exists(p)) << p;
      fs::remove(c.path);
      write_file(c.path, "old");
    }
  }
}

// ---- the build up to the final write ----

class RecordingProgress : public Progress {
 public:
  void call(int32_t kind, uint64_t done, uint64_t, std::string_view) noexcept override {
    std::lock_guard lock(mu_);
    reports.emplace_back(kind, done);
  }
  std::mutex mu_;
  std::vector<std::pair<int32_t, uint64_t>> reports;
};

TEST(BuildConcurrent, PhasesReportInOrderAndTheSpillGoesAfterSuccess) {
  TempDir dir;
  std::vector<std::string> synonyms;
  for (int f = 0; f < 4; ++f) {
    std::string text;
    for (int i = 0; i < 300; ++i) {
      text += R"({"curie":"X:)" + std::to_string(f * 1000 + i) + R"(","names":["name )" +
              std::to_string(i) + R"("]})" + "\n";
    }
    synonyms.push_back(dir.file("s" + std::to_string(f) + ".ndjson"));
    write_file(synonyms.back(), text);
  }
  write_file(dir.file("c.ndjson"), R"({"id":"X:1","equivalent_identifiers":["Y:1"]})" "\n");
  auto progress = std::make_shared<RecordingProgress>();
  BuildJob job;
  job.output = dir.file("db.qdb");
  job.classes = {dir.file("c.ndjson")};
  job.synonyms = synonyms;
  job.workers = 3;
  job.settings = read_build_settings(job.output, synonyms.size(), 3);
  job.settings.chunk_bytes = 64;  // many batches, many reports
  job.settings.local_spill_entries = 50;
  job.settings.producers = 4;
  job.progress = progress;
  const std::string spill = job.settings.spill_dir;
  const std::string output = job.output;
  PoolOutcome outcome = build_fullmap_inner(std::move(job));
  ASSERT_FALSE(outcome.escaped);
  ASSERT_TRUE(outcome.result.ok()) << outcome.result.error().to_string();
  EXPECT_FALSE(fs::exists(spill));
  EXPECT_TRUE(fs::exists(output));
  for (uint32_t i = 0; i < kShardCount; ++i) EXPECT_TRUE(fs::exists(shard_path(output, i)));
  uint64_t last[3] = {0, 0, 0};
  size_t ingestion_reports = 0;
  int last_kind = 0;
  for (auto [kind, done] : progress->reports) {
    ASSERT_GE(kind, 0);
    ASSERT_LT(kind, 3);
    EXPECT_GE(done, last[kind]) << "kind " << kind << " stepped back";
    EXPECT_GE(kind, last_kind) << "the phases run one after another";
    last_kind = kind;
    last[kind] = done;
    ingestion_reports += kind == 1;
  }
  EXPECT_GT(ingestion_reports, 10u);
  EXPECT_EQ(last[1], 1200u);
  EXPECT_GT(last[2], 0u);
}

TEST(BuildConcurrent, AFailedBuildKeepsItsSpillDirectory) {
  TempDir dir;
  write_file(dir.file("s.ndjson"), R"({"curie":"X:1","names":["a"]})" "\n" "not json\n");
  BuildJob job;
  job.output = dir.file("db.qdb");
  job.synonyms = {dir.file("s.ndjson")};
  job.workers = 2;
  job.settings = read_build_settings(job.output, 1, 2);
  const std::string spill = job.settings.spill_dir;
  PoolOutcome outcome = build_fullmap_inner(std::move(job));
  ASSERT_FALSE(outcome.escaped);
  ASSERT_FALSE(outcome.result.ok());
  EXPECT_TRUE(fs::exists(spill + "/" + kSpillMarkerName));
}

}  // namespace
}  // namespace rs::fullmap
