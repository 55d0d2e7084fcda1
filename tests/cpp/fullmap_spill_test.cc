#include "src/fullmap/spill.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "src/xxh64.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"

namespace rs::fullmap {
namespace {

namespace fs = std::filesystem;
using storage::test::TempDir;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string le64(uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }
std::string posting_bytes(uint32_t curie, uint8_t source) {
  return le32(curie) + std::string(1, static_cast<char>(source));
}

uint32_t shard_of(std::string_view term) { return xxh64_hash(term) & (kShardCount - 1); }

// `count` distinct terms that fall into `shard`.
std::vector<std::string> terms_in_shard(uint32_t shard, size_t count) {
  std::vector<std::string> out;
  for (int i = 0; out.size() < count; ++i) {
    std::string t = "term" + std::to_string(i);
    if (shard_of(t) == shard) out.push_back(t);
  }
  return out;
}

std::pair<uint32_t, uint8_t> pair_of(Posting p) {
  return {uint32_t{p.curie_id}, uint8_t{p.source_id}};
}

struct ReadBack {
  std::string term;
  std::vector<Posting> postings;
};

std::vector<ReadBack> read_run(const std::string& path) {
  std::vector<ReadBack> out;
  auto reader = RunReader::open(path);
  EXPECT_TRUE(reader.ok());
  while (true) {
    auto frame = reader->read_frame();
    EXPECT_TRUE(frame.ok()) << frame.error().to_string();
    if (!frame.ok() || !frame->has_value()) break;
    out.push_back({std::string((*frame)->term),
                   std::vector<Posting>((*frame)->postings.begin(), (*frame)->postings.end())});
  }
  return out;
}

std::string frame_error(const std::string& path) {
  auto reader = RunReader::open(path);
  if (!reader.ok()) return "open: " + reader.error().to_string();
  while (true) {
    auto frame = reader->read_frame();
    if (!frame.ok()) return frame.error().to_string();
    if (!frame->has_value()) return "<clean end>";
  }
}

TEST(FullmapSpill, PostingsAreSortedAndDeduplicatedInTheDocumentedFrame) {
  TempDir dir;
  TermMap map;
  for (Posting p : {Posting{5, 1}, Posting{2, 0}, Posting{5, 1}, Posting{2, 1}}) map.add("abc", p);
  auto files = spill_run(&map, dir.path(), 7, kShardCount);
  ASSERT_TRUE(files.ok());
  uint32_t shard = shard_of("abc");
  ASSERT_EQ(*files, (std::vector<RunFile>{{shard, dir.file(term_run_name(shard, 7))}}));
  EXPECT_EQ(read_file((*files)[0].path), le32(3) + "abc" + le32(3) + posting_bytes(2, 0) +
                                             posting_bytes(2, 1) + posting_bytes(5, 1));
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(count_run_frames((*files)[0].path).value(), 1u);
}

TEST(FullmapSpill, RunNames) {
  EXPECT_EQ(term_run_name(3, 12), "run_s3_00000012.bin");
  EXPECT_EQ(term_run_name(0, 0), "run_s0_00000000.bin");
  EXPECT_EQ(term_run_name(0, 123456789), "run_s0_123456789.bin");
  EXPECT_EQ(term_run_name(15, 99999999), "run_s15_99999999.bin");
  EXPECT_EQ(curie_run_name(5), "curie_run_00000005.bin");
}

TEST(FullmapSpill, EmptyMapWritesNothingAndOneShardWritesOneFile) {
  TempDir dir;
  TermMap map;
  auto none = spill_run(&map, dir.path(), 0, kShardCount);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  EXPECT_TRUE(names_in(dir.path()).empty());

  for (const std::string& t : terms_in_shard(9, 20)) map.add(t, {1, 0});
  size_t buckets = map.bucket_count();
  auto one = spill_run(&map, dir.path(), 4, kShardCount);
  ASSERT_TRUE(one.ok());
  ASSERT_EQ(one->size(), 1u);
  EXPECT_EQ((*one)[0].shard, 9u);
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"run_s9_00000004.bin"}));
  EXPECT_EQ(read_run((*one)[0].path).size(), 20u);
  // The map is empty and keeps its table for the next fill.
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.bucket_count(), buckets);
}

TEST(FullmapSpill, EmptyTermsAndEmptyPostingListsAreValidFrames) {
  TempDir dir;
  std::string path = dir.file("run_s0_00000000.bin");
  write_file(path, le32(0) + le32(1) + posting_bytes(4, 2) + le32(2) + "ab" + le32(0));
  auto frames = read_run(path);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].term, "");
  EXPECT_EQ(frames[0].postings, (std::vector<Posting>{{4, 2}}));
  EXPECT_EQ(frames[1].term, "ab");
  EXPECT_TRUE(frames[1].postings.empty());
  EXPECT_EQ(count_run_frames(path).value(), 2u);
}

TEST(FullmapSpill, DamagedRunsFailWithoutLargeAllocations) {
  TempDir dir;
  std::string whole = le32(3) + "abc" + le32(2) + posting_bytes(1, 0) + posting_bytes(2, 0);
  struct Case {
    const char* name;
    std::string bytes;
    std::string read_error;  // of read_frame
    std::string count;       // of count_run_frames: a number or an error
  } cases[] = {
      {"zero bytes", "", "<clean end>", "0"},
      {"whole", whole, "<clean end>", "1"},
      {"cut between frames", whole + whole, "<clean end>", "2"},
      {"two bytes into the length", whole + le32(3).substr(0, 2), kUnexpectedEof,
       kUnexpectedEof},
      {"inside the term", whole.substr(0, 5), kUnexpectedEof, kUnexpectedEof},
      {"inside the count", whole.substr(0, 9), kUnexpectedEof, kUnexpectedEof},
      // A frame cut inside its postings still counts for the progress total.
      {"inside the postings", whole.substr(0, whole.size() - 1), kUnexpectedEof, "1"},
      {"term not UTF-8", le32(2) + "\xC3\x28" + le32(0), "term in run file is not valid UTF-8",
       "1"},
      // 13 bytes claiming 2^32 - 1 postings (about 20 GB).
      {"huge posting count", le32(5) + "abcde" + le32(0xFFFFFFFF), kUnexpectedEof, "1"},
      {"huge term length", le32(0xFFFFFFF0) + "abc", kUnexpectedEof, kUnexpectedEof},
  };
  struct rusage before;
  getrusage(RUSAGE_SELF, &before);
  for (const Case& c : cases) {
    std::string path = dir.file("case.bin");
    write_file(path, c.bytes);
    EXPECT_EQ(frame_error(path), c.read_error) << c.name;
    auto count = count_run_frames(path);
    EXPECT_EQ(count.ok() ? std::to_string(*count) : count.error().to_string(), c.count)
        << c.name;
  }
  struct rusage after;
  getrusage(RUSAGE_SELF, &after);
  // Peak resident memory (kB) grew by far less than any claimed length.
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024);
}

TEST(FullmapSpill, TooLongFieldsAreErrors) {
  EXPECT_EQ(frame_field(4294967295u, "term").value(), 4294967295u);
  auto r = frame_field(4294967296u, "term");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(),
            "term of 4294967296 does not fit a run frame (at most 4294967295)");
}

TEST(FullmapSpill, RandomMapsReadBackAsTheModel) {
  uint64_t seed = storage_test_support::random_seed();
  std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const char* rounds_env = std::getenv("RS_SPILL_ROUNDS");
  int rounds = rounds_env ? std::atoi(rounds_env) : 12;
  const char* alphabet[] = {"a", "b", "z", "0", "_", " ", "-", "\xC3\xA9", "\xE2\x82\xAC"};
  for (int round = 0; round < rounds; ++round) {
    TempDir dir;
    std::map<std::string, std::set<std::pair<uint32_t, uint8_t>>> model;
    TermMap map;
    std::vector<RunFile> all;
    int spills = 1 + static_cast<int>(rng() % 3);
    for (int s = 0; s < spills; ++s) {
      // Now and then past the few thousand terms at which the spill sorts
      // by buckets.
      size_t n = rng() % 4 == 0 ? 6000 + rng() % 6000 : rng() % 3000;
      for (size_t i = 0; i < n; ++i) {
        std::string term;
        size_t len = rng() % 7;
        for (size_t k = 0; k < len; ++k) term += alphabet[rng() % std::size(alphabet)];
        Posting p{static_cast<uint32_t>(rng() % 50), static_cast<uint8_t>(rng() % 3)};
        map.add(term, p);
      }
      // The model of one spill: distinct postings per term.
      std::map<std::string, std::set<std::pair<uint32_t, uint8_t>>> spill_model;
      map.for_each([&](std::string_view term, const TermMap::Postings& ps) {
        for (Posting p : ps) spill_model[std::string(term)].insert(pair_of(p));
      });
      auto files = spill_run(&map, dir.path(), static_cast<uint64_t>(s), kShardCount);
      ASSERT_TRUE(files.ok());
      std::map<std::string, std::set<std::pair<uint32_t, uint8_t>>> seen;
      uint32_t last_shard = 0;
      for (size_t f = 0; f < files->size(); ++f) {
        const RunFile& file = (*files)[f];
        ASSERT_TRUE(f == 0 || file.shard > last_shard);
        last_shard = file.shard;
        std::vector<ReadBack> frames = read_run(file.path);
        ASSERT_EQ(count_run_frames(file.path).value(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
          const ReadBack& fr = frames[i];
          EXPECT_EQ(shard_of(fr.term), file.shard);
          if (i > 0) {
            auto key = [](const std::string& t) { return std::make_pair(xxh64_hash(t), t); };
            EXPECT_LT(key(frames[i - 1].term), key(fr.term));
          }
          for (size_t k = 1; k < fr.postings.size(); ++k) {
            EXPECT_LT(fr.postings[k - 1], fr.postings[k]);
          }
          auto& set = seen[fr.term];
          EXPECT_TRUE(set.empty()) << "term twice in one spill";
          for (Posting p : fr.postings) set.insert(pair_of(p));
        }
      }
      EXPECT_EQ(seen, spill_model);
      for (auto& [t, ps] : spill_model) model[t].insert(ps.begin(), ps.end());
      all.insert(all.end(), files->begin(), files->end());
    }
    EXPECT_EQ(names_in(dir.path()).size(), all.size());
  }
}

QueuedCurie queued(uint32_t id, uint32_t file, uint64_t line, std::string local) {
  return QueuedCurie{id, {file, line}, CurieRow{1, std::move(local), "name", 2, -1}};
}

TEST(FullmapCurieRun, SortedByCurieThenPositionAndReadBack) {
  TempDir dir;
  std::vector<QueuedCurie> rows = {
      queued(9, 0, 5, "x"),  queued(3, 1, 2, "b"),  queued(9, 0, 1, "y"),
      queued(3, 0, 40, "a"), queued(0, 2, 0, "z"),
  };
  size_t capacity = rows.capacity();
  auto path = spill_curie_run(&rows, dir.path(), 5);
  ASSERT_TRUE(path.ok());
  EXPECT_EQ(*path, dir.file("curie_run_00000005.bin"));
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(rows.capacity(), capacity);

  // The first frame: id, file index, line, row length, row.
  std::string row_z;
  encode_curie_row(CurieRow{1, "z", "name", 2, -1}, &row_z);
  EXPECT_EQ(read_file(*path).substr(0, 20 + row_z.size()),
            le32(0) + le32(2) + le64(0) + le32(29) + row_z);

  auto reader = CurieRunReader::open(*path);
  ASSERT_TRUE(reader.ok());
  std::vector<std::tuple<uint32_t, uint32_t, uint64_t, std::string>> got;
  while (true) {
    auto frame = reader->next_row();
    ASSERT_TRUE(frame.ok());
    if (!frame->has_value()) break;
    auto row = decode_curie_row((*frame)->row);
    ASSERT_TRUE(row.ok());
    EXPECT_EQ((*frame)->row.size(), curie_row_size(row->to_owned()));
    got.emplace_back((*frame)->curie_id, (*frame)->position.file, (*frame)->position.line,
                     std::string(row->local_id));
  }
  using T = std::tuple<uint32_t, uint32_t, uint64_t, std::string>;
  EXPECT_EQ(got, (std::vector<T>{T{0, 2, 0, "z"}, T{3, 0, 40, "a"}, T{3, 1, 2, "b"},
                                 T{9, 0, 1, "y"}, T{9, 0, 5, "x"}}));
}

TEST(FullmapCurieRun, DamagedRunsFail) {
  TempDir dir;
  std::string row;
  encode_curie_row(CurieRow{}, &row);
  std::string frame = le32(1) + le32(0) + le64(3) + le32(static_cast<uint32_t>(row.size())) + row;
  struct Case {
    const char* name;
    std::string bytes;
    std::string outcome;
  } cases[] = {
      {"zero bytes", "", "<clean end>"},
      {"two frames", frame + frame, "<clean end>"},
      {"inside the id", frame + frame.substr(0, 2), kUnexpectedEof},
      {"inside the position", frame.substr(0, 10), kUnexpectedEof},
      {"inside the row", frame.substr(0, frame.size() - 1), kUnexpectedEof},
      {"huge row length", le32(1) + le32(0) + le64(0) + le32(0xFFFFFFFF), kUnexpectedEof},
  };
  for (const Case& c : cases) {
    std::string path = dir.file("curie.bin");
    write_file(path, c.bytes);
    auto reader = CurieRunReader::open(path);
    ASSERT_TRUE(reader.ok());
    std::string outcome;
    while (outcome.empty()) {
      auto next = reader->next_row();
      if (!next.ok()) outcome = next.error().to_string();
      else if (!next->has_value()) outcome = "<clean end>";
    }
    EXPECT_EQ(outcome, c.outcome) << c.name;
  }
  auto missing = CurieRunReader::open(dir.file("missing.bin"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().to_string(), "No such file or directory (os error 2)");
}

// A run whose flush fails (the file is the full device) is an error and is
// not reported as written; runs completed before it stay.
TEST(FullmapSpill, FailedFlushIsAnErrorAndTheRunDoesNotCount) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  TermMap map;
  for (const std::string& t : terms_in_shard(2, 3)) map.add(t, {1, 0});
  for (const std::string& t : terms_in_shard(9, 3)) map.add(t, {1, 0});
  fs::create_symlink("/dev/full", dir.file(term_run_name(9, 1)));
  auto files = spill_run(&map, dir.path(), 1, kShardCount);
  ASSERT_FALSE(files.ok());
  EXPECT_EQ(files.error().to_string(), "No space left on device (os error 28)");
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(read_run(dir.file(term_run_name(2, 1))).size(), 3u);

  std::vector<QueuedCurie> rows = {queued(1, 0, 0, "a")};
  fs::create_symlink("/dev/full", dir.file(curie_run_name(3)));
  auto curie = spill_curie_run(&rows, dir.path(), 3);
  ASSERT_FALSE(curie.ok());
  EXPECT_EQ(curie.error().to_string(), "No space left on device (os error 28)");
  EXPECT_TRUE(rows.empty());
}

TEST(FullmapSpill, UnwritableDirectoryIsAnIoError) {
  TempDir dir;
  TermMap map;
  map.add("abc", {1, 0});
  auto files = spill_run(&map, dir.file("missing"), 0, kShardCount);
  ASSERT_FALSE(files.ok());
  EXPECT_EQ(files.error().to_string(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace rs::fullmap

namespace rs::fullmap {
namespace {

// Small buffers, so that every write and read crosses buffer boundaries and
// large writes bypass the buffer.
TEST(FullmapSpillFile, RandomWritesAndReadsMatchTheBytes) {
  uint64_t seed = storage_test_support::random_seed();
  std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  TempDir dir;
  for (int round = 0; round < 20; ++round) {
    std::string path = dir.file("f.bin");
    std::string model;
    {
      auto out = SpillWriter::create(path, 1 + rng() % 32);
      ASSERT_TRUE(out.ok());
      int writes = static_cast<int>(rng() % 60);
      for (int w = 0; w < writes; ++w) {
        std::string chunk(rng() % 80, '\0');
        for (char& c : chunk) c = static_cast<char>(rng());
        ASSERT_TRUE(out->write(chunk.data(), chunk.size()).ok());
        model += chunk;
      }
      ASSERT_TRUE(out->finish().ok());
      EXPECT_FALSE(out->write("x", 1).ok());
      EXPECT_FALSE(out->finish().ok());
    }
    ASSERT_EQ(read_file(path), model);
    auto in = SpillReader::open(path, 1 + rng() % 16);
    ASSERT_TRUE(in.ok());
    size_t pos = 0;
    while (pos < model.size()) {
      EXPECT_EQ(in->remaining(), model.size() - pos);
      size_t n = rng() % 40;
      switch (rng() % 3) {
        case 0: {
          std::string got(n, '\0');
          auto r = in->read_exact(got.data(), n);
          if (n <= model.size() - pos) {
            ASSERT_TRUE(r.ok());
            ASSERT_EQ(got, model.substr(pos, n));
            pos += n;
          } else {
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.error().to_string(), kUnexpectedEof);
            pos = model.size();
          }
          break;
        }
        case 1: {
          std::string got(n, '\0');
          auto r = in->read_some(got.data(), n);
          ASSERT_TRUE(r.ok());
          ASSERT_LE(*r, n);
          ASSERT_TRUE(n == 0 || *r > 0);
          ASSERT_EQ(got.substr(0, *r), model.substr(pos, *r));
          pos += *r;
          break;
        }
        default: {
          auto r = in->skip(n);
          ASSERT_TRUE(r.ok());
          ASSERT_EQ(*r, std::min(n, model.size() - pos));
          pos += *r;
        }
      }
    }
    char c;
    EXPECT_EQ(in->read_some(&c, 1).value(), 0u);
    EXPECT_EQ(in->remaining(), 0u);
  }
}

TEST(FullmapSpillFile, RunReadersWithTinyBuffersReadWholeFrames) {
  TempDir dir;
  TermMap map;
  std::string long_term(300, 'q');
  map.add(long_term, {1, 1});
  map.add("short", {2, 2});
  for (uint32_t i = 0; i < 100; ++i) map.add("short", {i, 0});
  auto files = spill_run(&map, dir.path(), 1, 1);
  ASSERT_TRUE(files.ok());
  ASSERT_EQ(files->size(), 1u);
  auto reader = RunReader::open((*files)[0].path, 3);
  ASSERT_TRUE(reader.ok());
  std::map<std::string, size_t> got;
  while (true) {
    auto frame = reader->read_frame();
    ASSERT_TRUE(frame.ok());
    if (!frame->has_value()) break;
    got[std::string((*frame)->term)] = (*frame)->postings.size();
  }
  EXPECT_EQ(got, (std::map<std::string, size_t>{{long_term, 1}, {"short", 101}}));
}

}  // namespace
}  // namespace rs::fullmap
