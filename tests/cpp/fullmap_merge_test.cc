#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "src/fullmap/layout.h"
#include "src/fullmap/merge.h"
#include "src/fullmap/spill.h"
#include "src/fullmap/spill_file.h"
#include "src/xxh64.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"
#include "tests/cpp/test_files.h"

namespace rs::fullmap {
namespace {

using storage::test::TempDir;

// Three bits of XXH64: most keys are shared by several terms.
uint64_t weak_hash(std::string_view term) { return xxh64_hash(term) & 7; }

uint64_t rounds(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr ? std::strtoull(v, nullptr, 10) : fallback;
}

using TermKey = std::pair<uint64_t, std::string>;
using Model = std::map<TermKey, std::set<uint64_t>>;  // posting order keys

Posting posting_of(uint64_t order_key) {
  return Posting{static_cast<uint32_t>(order_key >> 8), static_cast<uint8_t>(order_key)};
}

// Writes one run of `terms` (each with its postings) in (hash, term) order.
std::string write_run(const std::string& path, const Model& terms) {
  auto w = TermRunWriter::create(path);
  EXPECT_TRUE(w.ok());
  for (const auto& [key, set] : terms) {
    std::vector<Posting> postings;
    for (uint64_t p : set) postings.push_back(posting_of(p));
    EXPECT_TRUE(w->write(key.second, postings).ok());
  }
  EXPECT_TRUE(w->finish().ok());
  return path;
}

std::set<std::string> files_in(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    out.insert(e.path().filename().string());
  }
  return out;
}

struct RandomRuns {
  std::vector<std::string> paths;
  Model merged;
};

RandomRuns random_runs(std::mt19937_64& rng, const std::string& dir, size_t runs,
                       TermHash hash) {
  RandomRuns out;
  const size_t vocabulary = 1 + rng() % 60;
  for (size_t r = 0; r < runs; ++r) {
    Model run;
    const size_t n = rng() % 25;
    for (size_t i = 0; i < n; ++i) {
      std::string term = "t" + std::to_string(rng() % vocabulary);
      if (rng() % 5 == 0) term += std::string(1 + rng() % 3, 'x');
      auto& set = run[{hash(term), term}];
      const size_t postings = rng() % 4;  // a run may hold a term without postings
      for (size_t k = 0; k < postings; ++k) {
        set.insert((uint64_t{static_cast<uint32_t>(rng() % 6)} << 8) | (rng() % 3));
      }
    }
    for (const auto& [key, set] : run) out.merged[key].insert(set.begin(), set.end());
    out.paths.push_back(write_run(dir + "/run_" + std::to_string(r) + ".bin", run));
  }
  return out;
}

TEST(MergeHeapModel, RandomRunsAgainstMap) {
  const uint64_t seed = storage_test_support::random_seed();
  std::mt19937_64 rng(seed);
  const uint64_t n = rounds("RS_MERGE_ROUNDS", 60);
  for (uint64_t round = 0; round < n; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
    TempDir dir;
    const bool weak = rng() % 2 == 0;
    const TermHash hash = weak ? &weak_hash : &xxh64_hash;
    const size_t runs = rng() % 40;
    RandomRuns in = random_runs(rng, dir.path(), runs, hash);
    const std::set<std::string> before = files_in(dir.path());
    MergeOptions options{.fan_in = 2 + rng() % 5,
                         .hash = weak ? hash : nullptr,
                         .scratch_dir = dir.path(),
                         .scratch_tag = "s0"};
    {
      auto heap = MergeHeap::open(in.paths, options);
      ASSERT_TRUE(heap.ok()) << heap.error().to_string();
      Model got;
      std::optional<TermKey> last;
      for (;;) {
        auto t = heap->next();
        ASSERT_TRUE(t.ok()) << t.error().to_string();
        if (!t->has_value()) break;
        TermKey key{(*t)->hash, std::string((*t)->term)};
        ASSERT_EQ(key.first, hash(key.second));
        if (last) {
          ASSERT_LT(*last, key);
        }
        last = key;
        std::set<uint64_t>& set = got[key];
        uint64_t prev = 0;
        bool first = true;
        for (const Posting& p : (*t)->postings) {
          ASSERT_TRUE(first || p.order_key() > prev) << "postings not sorted and distinct";
          prev = p.order_key();
          first = false;
          set.insert(p.order_key());
        }
      }
      EXPECT_EQ(got, in.merged);
    }
    // Intermediate runs are gone; the inputs stay.
    EXPECT_EQ(files_in(dir.path()), before);
  }
}

TEST(ShardRecordsModel, EqualHashesShareOneChainedValue) {
  const uint64_t seed = storage_test_support::random_seed();
  std::mt19937_64 rng(seed);
  const uint64_t n = rounds("RS_MERGE_ROUNDS", 60);
  for (uint64_t round = 0; round < n; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
    TempDir dir;
    RandomRuns in = random_runs(rng, dir.path(), 1 + rng() % 12, &weak_hash);
    // The model: key -> term -> postings.
    std::map<uint64_t, std::map<std::string, std::set<uint64_t>>> model;
    for (const auto& [key, set] : in.merged) model[key.first][key.second] = set;

    MergeOptions options{.fan_in = 2 + rng() % 3, .hash = &weak_hash,
                         .scratch_dir = dir.path(), .scratch_tag = "s1"};
    auto records = ShardRecords::open(in.paths, options);
    ASSERT_TRUE(records.ok());
    const size_t insert_batch = rng() % 4;  // 0: one batch
    RecordBatch batch(insert_batch);
    std::map<uint64_t, std::map<std::string, std::set<uint64_t>>> got;
    std::optional<uint64_t> last;
    bool more = true;
    while (more) {
      auto filled = fill_batch(&*records, &batch, insert_batch);
      ASSERT_TRUE(filled.ok());
      more = *filled;
      if (insert_batch != 0) {
        ASSERT_LE(batch.size(), insert_batch);
      }
      if (more) {
        ASSERT_EQ(batch.size(), insert_batch);
      }
      for (size_t i = 0; i < batch.size(); ++i) {
        const RecordBatch::Record r = batch[i];
        if (last) {
          ASSERT_GT(r.key, *last);
        }
        last = r.key;
        RecordChainReader chain(r.value);
        for (;;) {
          auto rec = chain.next();
          ASSERT_TRUE(rec.ok());
          if (!rec->has_value()) break;
          auto& set = got[r.key][std::string((*rec)->term())];
          for (size_t k = 0; k < (*rec)->posting_count(); ++k) {
            set.insert((*rec)->posting(k).order_key());
          }
        }
      }
      batch.clear();
    }
    EXPECT_EQ(got, model);
  }
}

TEST(ShardRecords, CollidingTermsChainedInTermOrder) {
  TempDir dir;
  auto zero = [](std::string_view) -> uint64_t { return 5; };
  Model a, b;
  a[{5, "beta"}] = {(9u << 8) | 0, (3u << 8) | 1};
  b[{5, "alpha"}] = {7u << 8};
  b[{5, "beta"}] = {9u << 8};
  std::vector<std::string> runs = {write_run(dir.file("a.bin"), a),
                                   write_run(dir.file("b.bin"), b)};
  auto records = ShardRecords::open(runs, MergeOptions{.hash = zero, .scratch_dir = dir.path()});
  ASSERT_TRUE(records.ok());
  uint64_t key;
  std::string_view value;
  auto more = records->next(&key, &value);
  ASSERT_TRUE(more.ok() && *more);
  EXPECT_EQ(key, 5u);
  std::string expected;
  const Posting alpha[] = {{7, 0}};
  const Posting beta[] = {{3, 1}, {9, 0}};
  const RecordEntry entries[] = {{"alpha", alpha}, {"beta", beta}};
  encode_record_chain(entries, &expected);
  EXPECT_EQ(value, expected);
  more = records->next(&key, &value);
  ASSERT_TRUE(more.ok());
  EXPECT_FALSE(*more);
}

TEST(ShardRecords, NoRunsAndEmptyRuns) {
  TempDir dir;
  std::vector<std::string> none;
  auto records = ShardRecords::open(none, MergeOptions{.scratch_dir = dir.path()});
  ASSERT_TRUE(records.ok());
  RecordBatch batch(0);
  auto filled = fill_batch(&*records, &batch, 0);
  ASSERT_TRUE(filled.ok());
  EXPECT_FALSE(*filled);
  EXPECT_TRUE(batch.empty());
  std::vector<std::string> empty = {write_run(dir.file("e.bin"), {})};
  auto again = ShardRecords::open(empty, MergeOptions{.scratch_dir = dir.path()});
  ASSERT_TRUE(again.ok());
  filled = fill_batch(&*again, &batch, 1);
  ASSERT_TRUE(filled.ok());
  EXPECT_FALSE(*filled);
}

TEST(MergeHeap, DamagedRunFails) {
  TempDir dir;
  Model m;
  m[{xxh64_hash("abc"), "abc"}] = {1u << 8};
  std::string path = write_run(dir.file("r.bin"), m);
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 2);
  std::vector<std::string> runs = {path, path};
  for (size_t fan_in : {2, 32}) {
    std::vector<std::string> three = {path, path, path};
    auto heap = MergeHeap::open(three, MergeOptions{.fan_in = fan_in, .scratch_dir = dir.path()});
    if (heap.ok()) {
      auto t = heap->next();
      ASSERT_FALSE(t.ok());
      EXPECT_EQ(t.error().to_string(), kUnexpectedEof);
    } else {
      EXPECT_EQ(heap.error().to_string(), kUnexpectedEof);
    }
  }
  // A failed pre-merge leaves no intermediate behind.
  EXPECT_EQ(files_in(dir.path()), std::set<std::string>{"r.bin"});
}

TEST(RecordBatch, ReservesAFixedBoundAndRefusesDisorder) {
  EXPECT_EQ(RecordBatch(3).reserved(), 3u);
  EXPECT_EQ(RecordBatch(2'000'000).reserved(), kMaxBatchReserve);
  EXPECT_EQ(RecordBatch(0).reserved(), kMaxBatchReserve);
  RecordBatch batch(4);
  batch.push(1, "a");
  batch.push(7, "bc");
  EXPECT_EQ(batch[1].value, "bc");
  batch.clear();
  // The last key carries over a clear: batches continue one ascending order.
  EXPECT_THROW(batch.push(7, "x"), storage::Panic);
}

TEST(RunFanIn, FromTheOpenFileLimit) {
  EXPECT_EQ(run_fan_in(256, 16), 8u);
  EXPECT_EQ(run_fan_in(256, 1), 32u);
  EXPECT_EQ(run_fan_in(100, 16), 2u);
  EXPECT_EQ(run_fan_in(1u << 20, 16), 32u);
  EXPECT_EQ(run_fan_in(0, 0), 2u);
}

TEST(CountTermRunFrames, SumsAndSkipsMissing) {
  TempDir dir;
  Model m;
  m[{1, "a"}] = {1};
  m[{2, "b"}] = {};
  std::vector<std::vector<std::string>> runs(3);
  runs[0] = {write_run(dir.file("a.bin"), m)};
  runs[2] = {write_run(dir.file("b.bin"), m), dir.file("missing.bin")};
  EXPECT_EQ(count_term_run_frames(runs), 4u);
}

// ---- CURIE runs ----

struct CurieFrameModel {
  uint32_t id;
  InputPosition position;
  std::string row;
};

std::string write_curie_run(const std::string& path, std::vector<CurieFrameModel> frames) {
  std::sort(frames.begin(), frames.end(), [](const auto& a, const auto& b) {
    return std::tie(a.id, a.position) < std::tie(b.id, b.position);
  });
  auto out = SpillWriter::create(path);
  EXPECT_TRUE(out.ok());
  for (const auto& f : frames) {
    EXPECT_TRUE(out->write_u32(f.id).ok());
    EXPECT_TRUE(out->write_u32(f.position.file).ok());
    EXPECT_TRUE(out->write_u64(f.position.line).ok());
    EXPECT_TRUE(out->write_u32(static_cast<uint32_t>(f.row.size())).ok());
    EXPECT_TRUE(out->write(f.row.data(), f.row.size()).ok());
  }
  EXPECT_TRUE(out->finish().ok());
  return path;
}

TEST(CurieMergeModel, EarliestRowPerIdInIdOrder) {
  const uint64_t seed = storage_test_support::random_seed();
  std::mt19937_64 rng(seed);
  const uint64_t n = rounds("RS_MERGE_ROUNDS", 60);
  for (uint64_t round = 0; round < n; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
    TempDir dir;
    const size_t runs = rng() % 30;
    std::map<uint32_t, std::pair<InputPosition, std::string>> model;
    std::vector<std::string> paths;
    uint64_t line = 0;  // every queued row has its own input position
    for (size_t r = 0; r < runs; ++r) {
      std::vector<CurieFrameModel> frames;
      const size_t count = rng() % 20;
      for (size_t i = 0; i < count; ++i) {
        CurieFrameModel f{static_cast<uint32_t>(rng() % 40),
                          InputPosition{static_cast<uint32_t>(rng() % 3), line += 1 + rng() % 3},
                          "row" + std::to_string(rng())};
        auto it = model.find(f.id);
        if (it == model.end() || f.position < it->second.first) model[f.id] = {f.position, f.row};
        frames.push_back(std::move(f));
      }
      std::shuffle(frames.begin(), frames.end(), rng);
      paths.push_back(write_curie_run(dir.file("curie_run_" + std::to_string(r) + ".bin"),
                                      std::move(frames)));
    }
    const std::set<std::string> before = files_in(dir.path());
    {
      auto merge = CurieMerge::open(
          paths, MergeOptions{.fan_in = 2 + rng() % 4, .scratch_dir = dir.path(),
                              .scratch_tag = "curie"});
      ASSERT_TRUE(merge.ok());
      std::map<uint32_t, std::pair<InputPosition, std::string>> got;
      std::optional<uint32_t> last;
      for (;;) {
        auto row = merge->next();
        ASSERT_TRUE(row.ok());
        if (!row->has_value()) break;
        if (last) {
          ASSERT_GT((*row)->curie_id, *last);
        }
        last = (*row)->curie_id;
        got[(*row)->curie_id] = {(*row)->position, std::string((*row)->row)};
      }
      EXPECT_EQ(got, model);
    }
    EXPECT_EQ(files_in(dir.path()), before);
  }
}

// ---- a low open-file limit ----

constexpr char kChildVar[] = "RS_MERGE_RLIMIT_CHILD_DIR";

TEST(MergeRlimitChild, SixteenShardsOfManyRunsUnderLowFileLimit) {
  const char* dir = std::getenv(kChildVar);
  if (dir == nullptr) GTEST_SKIP() << "runs as the child of MergeUnderLowFileLimit.Shards";
  struct rlimit lim = {256, 256};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lim), 0);
  constexpr size_t kShards = 16, kRuns = 150;
  std::vector<std::vector<std::string>> runs(kShards);
  std::vector<size_t> expected(kShards);
  for (size_t s = 0; s < kShards; ++s) {
    std::set<std::string> terms;
    for (size_t r = 0; r < kRuns; ++r) {
      Model m;
      for (size_t k = 0; k < 3; ++k) {
        std::string term = "s" + std::to_string(s) + "t" + std::to_string((r * 7 + k) % 200);
        m[{xxh64_hash(term), term}] = {r};
        terms.insert(term);
      }
      runs[s].push_back(write_run(std::string(dir) + "/run_s" + std::to_string(s) + "_" +
                                      std::to_string(r) + ".bin", m));
    }
    expected[s] = terms.size();
  }
  // Every run of every shard open at once would need 2,400 descriptors.
  const size_t fan_in = run_fan_in(kShards);
  EXPECT_EQ(fan_in, 8u);
  std::vector<size_t> got(kShards, 0);
  std::vector<std::string> errors(kShards);
  std::vector<std::thread> writers;
  for (size_t s = 0; s < kShards; ++s) {
    writers.emplace_back([&, s] {
      auto records = ShardRecords::open(
          runs[s], MergeOptions{.fan_in = fan_in, .scratch_dir = dir,
                                .scratch_tag = "s" + std::to_string(s)});
      if (!records.ok()) {
        errors[s] = records.error().to_string();
        return;
      }
      uint64_t key;
      std::string_view value;
      for (;;) {
        auto more = records->next(&key, &value);
        if (!more.ok()) {
          errors[s] = more.error().to_string();
          return;
        }
        if (!*more) break;
        ++got[s];
      }
    });
  }
  for (auto& t : writers) t.join();
  for (size_t s = 0; s < kShards; ++s) {
    EXPECT_EQ(errors[s], "") << "shard " << s;
    EXPECT_EQ(got[s], expected[s]) << "shard " << s;
  }
  // Only the inputs are left.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    files += 1;
    EXPECT_FALSE(e.path().filename().string().starts_with("merge_")) << e.path();
  }
  EXPECT_EQ(files, kShards * kRuns);
}

TEST(MergeUnderLowFileLimit, Shards) {
  TempDir dir;
  const int status =
      test::run_self_child("MergeRlimitChild.*", std::string(kChildVar) + "=" + dir.path());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace rs::fullmap
