#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>


#include "src/fullmap/build.h"
#include "src/fullmap/layout.h"
#include "src/fullmap/pool.h"
#include "src/fullmap/settings.h"
#include "src/fullmap/spill_dir.h"
#include "src/fullmap/thread.h"
#include "storage/src/panic.h"
#include "storage/tests/support/database_workload.h"
#include "storage/tests/support/panic_text.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"
#include "tests/cpp/test_files.h"

namespace rs::fullmap {
namespace {

namespace fs = std::filesystem;
using storage::test::TempDir;

using test::baseline_task_count;
using test::count_tasks;
using test::task_count;
using test::write_file;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// ---- the pool ----

using Done = storage::Result<void, PendingError>;

constexpr char kPoolRefused[] =
    "RuntimeError: failed to start the build's thread pool: Resource temporarily unavailable "
    "(os error 11)";

TEST(PoolConcurrent, RunsExactlyTheWorkerCountAboveTheCpuCount) {
  const size_t workers = std::max<size_t>(3, available_cpus() + 2);
  const size_t before = baseline_task_count();
  std::mutex mu;
  std::condition_variable cv;
  size_t arrived = 0;
  std::set<std::thread::id> ids;
  bool all_met = true;
  size_t concurrency = 0;
  size_t tasks_inside = 0;
  PoolOutcome outcome = run_on_pool(workers, [&]() -> Done {
    concurrency = pool_concurrency();
    tasks_inside = count_tasks();
    // Every item waits for all the others: only `workers` threads at once
    // can get them all through.
    parallel_for(workers, [&](size_t) {
      std::unique_lock lock(mu);
      ids.insert(std::this_thread::get_id());
      ++arrived;
      cv.notify_all();
      if (!cv.wait_for(lock, std::chrono::seconds(30), [&] { return arrived >= workers; })) {
        all_met = false;
      }
    });
    return {};
  });
  ASSERT_FALSE(outcome.escaped);
  ASSERT_TRUE(outcome.result.ok());
  EXPECT_TRUE(all_met) << "fewer than " << workers << " threads ran at once";
  EXPECT_EQ(ids.size(), workers);
  EXPECT_EQ(concurrency, workers);
  EXPECT_EQ(tasks_inside, before + workers);
  EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u) << "the caller took part";
  EXPECT_EQ(task_count(before), before) << "a pool thread outlived the call";
  EXPECT_EQ(pool_concurrency(), 1u);
}

TEST(PoolConcurrent, OneWorkerAndConcurrentPools) {
  std::vector<std::thread> callers;
  std::atomic<int> ok{0};
  for (size_t w : {1, 2, 5}) {
    callers.emplace_back([&ok, w] {
      std::atomic<size_t> items{0};
      PoolOutcome o = run_on_pool(w, [&]() -> Done {
        parallel_for(100, [&](size_t) { items.fetch_add(1); });
        return {};
      });
      if (o.result.ok() && !o.escaped && items.load() == 100) ++ok;
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(ok.load(), 3);
}

// The system refuses the k-th thread: the pool fails with the system's text,
// the body never runs, and the threads started before have ended.
TEST(PoolConcurrent, ARefusedThreadFailsThePoolAfterJoiningTheStartedOnes) {
  const size_t before = baseline_task_count();
  for (size_t workers : {1, 2, 5}) {
    for (size_t at = 0; at < workers; ++at) {
      SCOPED_TRACE("workers " + std::to_string(workers) + ", refused " + std::to_string(at));
      bool ran = false;
      fail_thread_start_for_test(at);
      PoolOutcome o = run_on_pool(workers, [&]() -> Done {
        ran = true;
        return {};
      });
      EXPECT_EQ(fail_thread_start_for_test(std::nullopt), at + 1) << "starts after the refusal";
      EXPECT_FALSE(o.escaped);
      ASSERT_FALSE(o.result.ok());
      EXPECT_EQ(o.result.error().to_string(), kPoolRefused);
      EXPECT_FALSE(ran);
      EXPECT_EQ(task_count(before), before);
    }
  }
  PoolOutcome again = run_on_pool(3, [] { return Done{}; });
  EXPECT_TRUE(again.result.ok());
  PoolOutcome too_many = run_on_pool(kMaxPoolThreads + 1, [] { return Done{}; });
  ASSERT_FALSE(too_many.result.ok());
  EXPECT_EQ(too_many.result.error().to_string(),
            "RuntimeError: failed to start the build's thread pool: 4097 threads asked for, at "
            "most 4096");
  EXPECT_EQ(task_count(before), before);
}

TEST(PoolConcurrent, PanicsAndErrorsAreCarriedBack) {
  const size_t before = baseline_task_count();
  // A panic in the body, in an item of a loop, and in an item of a loop
  // inside an item: each reaches the caller with its message, after every
  // item that began has ended.
  struct Case {
    const char* what;
    size_t depth;  // 0: the body itself panics
  };
  for (const Case c : {Case{"body", 0}, Case{"item", 1}, Case{"nested item", 2}}) {
    SCOPED_TRACE(c.what);
    std::atomic<int> running{0};
    std::atomic<int> still_running_at_end{-1};
    std::function<void(size_t, size_t)> item = [&](size_t depth, size_t i) {
      running.fetch_add(1);
      struct Leave {
        std::atomic<int>* running;
        ~Leave() { running->fetch_sub(1); }
      } leave{&running};
      if (depth == c.depth && i == 3) storage::panic(std::string("broken in ") + c.what);
      if (depth < c.depth) {
        parallel_for(8, [&](size_t j) { item(depth + 1, j); });
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    };
    PoolOutcome o = run_on_pool(4, [&]() -> Done {
      if (c.depth == 0) storage::panic("broken in body");
      try {
        parallel_for(8, [&](size_t i) { item(1, i); });
      } catch (...) {
        still_running_at_end = running.load();
        throw;
      }
      return {};
    });
    ASSERT_TRUE(o.escaped);
    EXPECT_EQ(storage::test::panic_text([&] { std::rethrow_exception(o.escaped); }),
              std::string("broken in ") + c.what);
    if (c.depth != 0) {
      EXPECT_EQ(still_running_at_end.load(), 0);
    }
  }
  PoolOutcome failed = run_on_pool(2, []() -> Done {
    return storage::Err(PendingError::runtime("plain failure"));
  });
  EXPECT_FALSE(failed.escaped);
  ASSERT_FALSE(failed.result.ok());
  EXPECT_EQ(failed.result.error().to_string(), "RuntimeError: plain failure");
  EXPECT_EQ(task_count(before), before);
}

// Loops of every size, some with loops inside their items, on pools of
// several sizes and outside any pool: every item runs exactly once.
TEST(PoolStress, EveryItemOnceAlsoInNestedLoops) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const size_t rounds = storage::test::reliability_rounds(20, 4);
  for (size_t round = 0; round < rounds; ++round) {
    const size_t workers = std::vector<size_t>{1, 2, 3, 8}[round % 4];
    std::vector<size_t> sizes = {0, 1, 2, static_cast<size_t>(rng() % 300)};
    std::vector<size_t> inner(sizes.size());
    for (size_t& n : inner) n = rng() % 20;
    size_t total = 0;
    for (size_t k = 0; k < sizes.size(); ++k) total += sizes[k] * (1 + inner[k]);
    std::unique_ptr<std::atomic<int>[]> seen(new std::atomic<int>[total]);
    for (size_t i = 0; i < total; ++i) seen[i].store(0);
    auto body = [&] {
      size_t base = 0;
      for (size_t k = 0; k < sizes.size(); ++k) {
        const size_t n = sizes[k], m = inner[k];
        parallel_for(n, [&, base](size_t i) {
          seen[base + i * (1 + m)].fetch_add(1);
          parallel_for(m, [&, base, i](size_t j) {
            seen[base + i * (1 + m) + 1 + j].fetch_add(1);
          });
        });
        base += n * (1 + m);
      }
    };
    if (round % 5 == 4) {
      body();
    } else {
      PoolOutcome o = run_on_pool(workers, [&]() -> Done {
        body();
        return {};
      });
      ASSERT_FALSE(o.escaped);
      ASSERT_TRUE(o.result.ok());
    }
    for (size_t i = 0; i < total; ++i) {
      ASSERT_EQ(seen[i].load(), 1) << "round " << round << " item " << i;
    }
  }
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
  ASSERT_TRUE(prepare_output(f.output, {}, default_spill_dir(f.output)).ok());
  EXPECT_TRUE(fs::is_directory(f.dir.file("out")));
  f.fill_old();
  ASSERT_TRUE(prepare_output(f.output, {}, default_spill_dir(f.output)).ok());
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
    auto r = prepare_output(f.output, {}, default_spill_dir(f.output));
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
  auto r = prepare_output(f.output, {}, default_spill_dir(f.output));
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
      auto r = prepare_output(f.output, inputs, default_spill_dir(f.output));
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

// `files` synonym files of `rows` concepts each, and the class file
// c.ndjson; the synonym files' paths.
std::vector<std::string> write_build_inputs(const TempDir& dir, int files, int rows) {
  std::vector<std::string> synonyms;
  for (int f = 0; f < files; ++f) {
    std::string text;
    for (int i = 0; i < rows; ++i) {
      text += R"({"curie":"X:)" + std::to_string(f * 1000 + i) + R"(","names":["name )" +
              std::to_string(i) + R"("]})" + "\n";
    }
    synonyms.push_back(dir.file("s" + std::to_string(f) + ".ndjson"));
    write_file(synonyms.back(), text);
  }
  write_file(dir.file("c.ndjson"), R"({"id":"X:1","equivalent_identifiers":["Y:1"]})" "\n");
  return synonyms;
}

TEST(BuildConcurrent, PhasesReportInOrderAndTheSpillGoesAfterSuccess) {
  TempDir dir;
  const std::vector<std::string> synonyms = write_build_inputs(dir, 4, 300);
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

// Every thread start of a build refused in turn: the pool's own starts fail
// the build with the system's text, any later one (consumers, producers,
// shard writers) is the panic; either way no thread outlives the call, and
// the count of starts shows every start was reached.
TEST(BuildConcurrent, ARefusedThreadAtEveryStartFailsTheBuildAndLeavesNoThread) {
  TempDir dir;
  const std::vector<std::string> synonyms = write_build_inputs(dir, 2, 50);
  constexpr size_t kWorkers = 2;
  // The pool, the consumers, one producer per file, the shard writers.
  constexpr uint64_t kStarts = kWorkers + kWorkers + 2 + kShardCount;
  const size_t before = baseline_task_count();
  for (uint64_t at = 0;; ++at) {
    SCOPED_TRACE("refused start " + std::to_string(at));
    BuildJob job;
    job.output = dir.file("db" + std::to_string(at) + ".qdb");
    job.classes = {dir.file("c.ndjson")};
    job.synonyms = synonyms;
    job.workers = kWorkers;
    job.settings = read_build_settings(job.output, synonyms.size(), kWorkers);
    job.settings.chunk_bytes = 64;
    fail_thread_start_for_test(at);
    PoolOutcome outcome = build_fullmap_inner(std::move(job));
    const uint64_t starts = fail_thread_start_for_test(std::nullopt);
    EXPECT_EQ(task_count(before), before);
    if (at >= starts) {
      // Nothing was refused: the build went through.
      ASSERT_FALSE(outcome.escaped);
      ASSERT_TRUE(outcome.result.ok()) << outcome.result.error().to_string();
      EXPECT_EQ(starts, kStarts);
      EXPECT_EQ(at, kStarts);
      break;
    }
    EXPECT_EQ(starts, at + 1) << "a start after the refused one";
    if (at < kWorkers) {
      ASSERT_FALSE(outcome.escaped);
      ASSERT_FALSE(outcome.result.ok());
      EXPECT_EQ(outcome.result.error().to_string(), kPoolRefused);
    } else {
      ASSERT_TRUE(outcome.escaped);
      EXPECT_EQ(storage::test::panic_text([&] { std::rethrow_exception(outcome.escaped); }),
                "failed to spawn thread: Resource temporarily unavailable (os error 11)");
    }
  }
}

// When the thread that closes the old files cannot start, they are closed
// on the calling thread: the preparation still succeeds.
TEST(PrepareOutput, ARefusedCloserThreadClosesOnTheCaller) {
  OutputFixture f;
  f.fill_old();
  const size_t before = baseline_task_count();
  fail_thread_start_for_test(0);
  {
    auto r = prepare_output(f.output, {}, default_spill_dir(f.output));
    EXPECT_EQ(fail_thread_start_for_test(std::nullopt), 1u);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
  }
  for (const std::string& p : f.all()) EXPECT_FALSE(fs::exists(p)) << p;
  EXPECT_EQ(task_count(before), before);
}

}  // namespace
}  // namespace rs::fullmap
