// The final write and the whole build through it: every table of all 17
// files dumped with ids mapped to names, builds that must give equal dumps,
// chained collisions, the shard writers' progress and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "src/fullmap/build.h"
#include "src/fullmap/db_cache.h"
#include "src/fullmap/layout.h"
#include "src/fullmap/merge.h"
#include "src/fullmap/read_tables.h"
#include "src/fullmap/settings.h"
#include "src/fullmap/writer.h"
#include "src/xxh64.h"
#include "storage/database.h"
#include "storage/tests/support/temp_dir.h"
#include "tests/cpp/test_files.h"

namespace rs::fullmap {
namespace {

namespace fs = std::filesystem;
using storage::BytesCodec;
using storage::TextCodec;
using storage::test::TempDir;

using test::write_file;

std::string text_of(storage::ByteView b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

template <typename T>
T must(storage::Result<T, PendingError> r, const char* what) {
  if (!r.ok()) ADD_FAILURE() << what << ": " << r.error().to_string();
  return std::move(r).value();
}

std::shared_ptr<storage::ReadOnlyDatabase> open_file(const std::string& path) {
  return must(open_read_only(path), path.c_str());
}

std::map<std::string, std::string> read_meta(const storage::ReadOnlyDatabase& db) {
  std::map<std::string, std::string> out;
  auto txn = db.begin_read();
  EXPECT_TRUE(txn.ok());
  auto meta = txn->open_table<TextCodec, TextCodec>(kMetaTable);
  EXPECT_TRUE(meta.ok());
  auto range = meta->iter();
  EXPECT_TRUE(range.ok());
  while (auto e = range->next()) {
    EXPECT_TRUE(e->ok());
    out.emplace(std::string((*e)->first.value()), std::string((*e)->second.value()));
  }
  return out;
}

// Every table of a fullmap as text, ids replaced by the names they stand for,
// so that builds whose ids were handed out in another order compare equal.
// Checks on the way what the text cannot show: the build id is one for all
// 17 files, every key is the hash of its terms, every term is in its shard,
// postings ascend without repeats and every id has its row.
std::string dump_fullmap(const std::string& output, TermHash hash = &xxh64_hash) {
  std::ostringstream out;
  auto primary = open_file(output);
  std::map<std::string, std::string> meta = read_meta(*primary);
  const std::string build_id = meta[std::string(kMetaBuildIdKey)];
  EXPECT_FALSE(build_id.empty());
  EXPECT_NE(build_id, "0");
  meta[std::string(kMetaBuildIdKey)] = "<id>";
  out << "meta:";
  for (const auto& [k, v] : meta) out << " " << k << "=" << v;
  out << "\n";
  auto prefixes = must(load_string_table(*primary, kPrefixesTable), "prefixes");
  auto categories = must(load_string_table(*primary, kCategoriesTable), "categories");
  auto sources = must(load_sources(*primary), "sources");
  auto names_line = [&](const char* what, const auto& map) {
    std::vector<std::string> names;
    for (const auto& [id, name] : map) names.push_back(name);
    std::sort(names.begin(), names.end());
    out << what << ":";
    for (const std::string& n : names) out << " [" << n << "]";
    out << "\n";
  };
  names_line("prefixes", prefixes);
  names_line("categories", categories);
  names_line("sources", sources);
  // CURIE ids → their text, and the rows sorted by it.
  std::map<uint32_t, std::string> curie_text;
  std::vector<std::string> rows;
  {
    auto txn = primary->begin_read();
    auto curies = txn->open_table<storage::U32Codec, BytesCodec>(kCuriesTable);
    EXPECT_TRUE(curies.ok());
    auto range = curies->iter();
    while (auto e = range->next()) {
      const std::string bytes = text_of((*e)->second.value());
      auto row = decode_curie_row(bytes);
      EXPECT_TRUE(row.ok());
      if (!row.ok()) continue;
      EXPECT_TRUE(prefixes.count(row->prefix_id));
      EXPECT_TRUE(categories.count(row->category_id));
      const std::string curie = prefixes[row->prefix_id] + ":" + std::string(row->local_id);
      curie_text[(*e)->first.value()] = curie;
      rows.push_back("  " + curie + " | " + std::string(row->preferred_name) + " | " +
                     categories[row->category_id] + " | " + std::to_string(row->taxon_id));
    }
  }
  std::sort(rows.begin(), rows.end());
  out << "curies:\n";
  for (const std::string& r : rows) out << r << "\n";
  for (uint32_t i = 0; i < kShardCount; ++i) {
    auto shard = open_file(shard_path(output, i));
    const auto shard_meta = read_meta(*shard);
    EXPECT_EQ(shard_meta.size(), 1u) << "shard " << i;
    EXPECT_EQ(shard_meta.count(std::string(kMetaBuildIdKey)) ? shard_meta.begin()->second : "",
              build_id)
        << "shard " << i;
    auto txn = shard->begin_read();
    auto records = txn->open_table<storage::U64Codec, BytesCodec>(kRecordsTable);
    EXPECT_TRUE(records.ok()) << "shard " << i;
    auto range = records->iter();
    out << "shard " << i << ":\n";
    while (auto e = range->next()) {
      EXPECT_TRUE(e->ok());
      const uint64_t key = (*e)->first.value();
      const std::string value = text_of((*e)->second.value());
      RecordChainReader chain(value);
      size_t terms = 0;
      for (;;) {
        auto rec = chain.next();
        EXPECT_TRUE(rec.ok()) << "shard " << i;
        if (!rec.ok() || !*rec) break;
        ++terms;
        const RecordView& r = **rec;
        EXPECT_EQ(hash(r.term()), key) << r.term();
        EXPECT_EQ(xxh64_hash(r.term()) & (kShardCount - 1), i) << r.term();
        std::vector<std::string> postings;
        for (size_t p = 0; p < r.posting_count(); ++p) {
          const Posting post = r.posting(p);
          if (p > 0) {
            EXPECT_LT(r.posting(p - 1), post) << r.term();
          }
          EXPECT_TRUE(curie_text.count(post.curie_id)) << r.term();
          EXPECT_TRUE(sources.count(post.source_id)) << r.term();
          postings.push_back(curie_text[post.curie_id] + "@" + sources[post.source_id]);
        }
        std::sort(postings.begin(), postings.end());
        out << "  " << r.term() << (terms > 1 ? " (chained)" : "") << " ->";
        for (const std::string& p : postings) out << " " << p;
        out << "\n";
      }
    }
  }
  return out.str();
}

class RecordingProgress : public Progress {
 public:
  struct Report {
    int32_t kind;
    uint64_t done, total;
    std::string message;
  };
  void call(int32_t kind, uint64_t done, uint64_t total,
            std::string_view message) noexcept override {
    std::lock_guard lock(mu_);
    reports.push_back({kind, done, total, std::string(message)});
  }
  std::mutex mu_;
  std::vector<Report> reports;
};

// ---- the whole build, dumped ----

struct Inputs {
  TempDir dir;
  std::vector<std::string> classes, synonyms;
  Inputs() {
    synonyms = {dir.file("alpha.ndjson"), dir.file("beta.ndjson")};
    classes = {dir.file("classes.ndjson")};
    write_file(synonyms[0],
               R"({"curie":"MONDO:1","names":["Flu","influenza"],"types":["biolink:Disease"],)"
               R"("taxa":["NCBITaxon:9606"],"preferred_name":"Influenza"})" "\n"
               R"({"curie":"CHEBI:2","names":["Aspirin","flu","p-value"],)"
               R"("types":["biolink:SmallMolecule"]})" "\n"
               R"({"curie":"EXCL:9","names":["hidden"]})" "\n");
    write_file(synonyms[1],
               "\n"
               R"({"curie":"MONDO:1","names":["grippe"],"types":["biolink:Gene"],)"
               R"("preferred_name":"later row, not kept"})" "\n"
               R"({"id":"HP:3","name":"Fever","names":["fever","N/A","9606"],"taxon":["-5"]})"
               "\n");
    write_file(classes[0],
               R"({"id":"MONDO:1","equivalent_identifiers":["DOID:8469",{"id":"UMLS:C0021400"}]})"
               "\n");
  }
  BuildJob job(const std::string& output, size_t workers) const {
    BuildJob j;
    j.output = output;
    j.classes = classes;
    j.synonyms = synonyms;
    j.workers = workers;
    j.settings = read_build_settings(output, synonyms.size(), workers);
    j.settings.exclude_prefixes = {"EXCL"};
    return j;
  }
};

void build(BuildJob job) {
  PoolOutcome outcome = build_fullmap_inner(std::move(job));
  ASSERT_FALSE(outcome.escaped);
  ASSERT_TRUE(outcome.result.ok()) << outcome.result.error().to_string();
}

constexpr char kExpectedDump[] = R"(meta: build_id=<id> schema=quorvendel.fullmap.v5 shards=16
prefixes: [CHEBI] [HP] [MONDO]
categories: [Disease] [Gene] [NamedThing] [SmallMolecule]
sources: [alpha] [beta]
curies:
  CHEBI:2 | CHEBI:2 | SmallMolecule | 0
  HP:3 | Fever | NamedThing | -5
  MONDO:1 | Influenza | Disease | 9606
shard 0:
shard 1:
  grippe -> MONDO:1@beta
shard 2:
shard 3:
  umlsc0021400 -> MONDO:1@alpha MONDO:1@beta
  flu -> CHEBI:2@alpha MONDO:1@alpha
shard 4:
shard 5:
  pvalue -> CHEBI:2@alpha
shard 6:
  mondo:1 -> MONDO:1@alpha MONDO:1@beta
shard 7:
  umls:c0021400 -> MONDO:1@alpha MONDO:1@beta
shard 8:
  fever -> HP:3@beta
  doid:8469 -> MONDO:1@alpha MONDO:1@beta
  doid8469 -> MONDO:1@alpha MONDO:1@beta
  hp:3 -> HP:3@beta
  mondo1 -> MONDO:1@alpha MONDO:1@beta
shard 9:
shard 10:
  chebi2 -> CHEBI:2@alpha
  hp3 -> HP:3@beta
shard 11:
  aspirin -> CHEBI:2@alpha
shard 12:
  p-value -> CHEBI:2@alpha
shard 13:
  chebi:2 -> CHEBI:2@alpha
shard 14:
  influenza -> MONDO:1@alpha
shard 15:
  n/a -> HP:3@beta
)";

TEST(FullmapDump, SmallBuildExactly) {
  Inputs in;
  const std::string output = in.dir.file("out/db.qdb");
  fs::create_directories(in.dir.file("out"));
  build(in.job(output, 2));
  const std::string dump = dump_fullmap(output);
  EXPECT_EQ(dump, kExpectedDump) << dump;
}

TEST(FullmapDumpConcurrent, ThreadsAndLimitsDoNotChangeTheFiles) {
  Inputs in;
  fs::create_directories(in.dir.file("out"));
  const std::string reference = in.dir.file("out/one.qdb");
  build(in.job(reference, 1));
  const std::string expected = dump_fullmap(reference);
  struct Case {
    const char* name;
    size_t workers;
    bool tiny_limits;
  };
  for (const Case& c : {Case{"eight", 8, false}, Case{"one_limits", 1, true},
                        Case{"eight_limits", 8, true}}) {
    SCOPED_TRACE(c.name);
    const std::string output = in.dir.file(std::string("out/") + c.name + ".qdb");
    BuildJob job = in.job(output, c.workers);
    if (c.tiny_limits) {
      job.settings.local_spill_entries = 1;
      job.settings.curie_spill_entries = 1;
      job.settings.chunk_bytes = 1;
      job.settings.insert_batch = 1;
      job.settings.producers = 2;
    }
    build(std::move(job));
    EXPECT_EQ(dump_fullmap(output), expected);
  }
}

// ---- the final write on crafted runs ----

// Every term hashes to one of two values: most terms share their key.
uint64_t two_valued_hash(std::string_view term) { return xxh64_hash(term) & 1; }

struct CraftedWrite {
  TempDir dir;
  IngestResult tables;
  std::string output = dir.file("db.qdb");
  CraftedWrite() {
    tables.prefixes = {"X"};
    tables.categories = {"Thing"};
    tables.sources = {"src0", "src1"};
    tables.term_runs.resize(kShardCount);
    // CURIE ids 0 to 9, two runs that both hold id 3: the earlier row wins.
    tables.curie_runs = {write_curies("c0.bin", 0, 0, 10), write_curies("c1.bin", 3, 1, 4)};
  }
  std::string write_curies(const std::string& name, uint32_t first, uint32_t file, uint32_t end) {
    auto w = SpillWriter::create(dir.file(name));
    EXPECT_TRUE(w.ok());
    for (uint32_t id = first; id < end; ++id) {
      std::string row;
      encode_curie_row(CurieRow{0, std::to_string(id), "file " + std::to_string(file), 0, 0},
                       &row);
      EXPECT_TRUE(w->write_u32(id).ok());
      EXPECT_TRUE(w->write_u32(file).ok());
      EXPECT_TRUE(w->write_u64(id).ok());
      EXPECT_TRUE(w->write_u32(static_cast<uint32_t>(row.size())).ok());
      EXPECT_TRUE(w->write(row.data(), row.size()).ok());
    }
    EXPECT_TRUE(w->finish().ok());
    return dir.file(name);
  }
  // A run of `terms` (term → postings) for `shard`, in (hash, term) order.
  void add_run(uint32_t shard, const std::vector<std::pair<std::string, std::vector<Posting>>>& terms,
               TermHash hash) {
    auto sorted = terms;
    std::sort(sorted.begin(), sorted.end(), [&](const auto& a, const auto& b) {
      return std::pair(hash(a.first), a.first) < std::pair(hash(b.first), b.first);
    });
    const std::string path =
        dir.file("run_" + std::to_string(shard) + "_" + std::to_string(runs++) + ".bin");
    auto w = TermRunWriter::create(path);
    EXPECT_TRUE(w.ok());
    for (const auto& [t, p] : sorted) EXPECT_TRUE(w->write(t, p).ok());
    EXPECT_TRUE(w->finish().ok());
    tables.term_runs[shard].push_back(path);
  }
  FinalWriteInput input() {
    FinalWriteInput in;
    in.output = output;
    in.tables = &tables;
    in.cache_bytes = size_t{64} << 20;
    in.insert_batch = 3;
    in.scratch_dir = dir.path();
    return in;
  }
  int runs = 0;
};

TEST(FinalWrite, EqualHashesShareOneChainedValue) {
  CraftedWrite w;
  std::vector<std::pair<std::string, std::vector<Posting>>> terms;
  for (int i = 0; i < 40; ++i) terms.push_back({"term" + std::to_string(i), {{uint32_t(i % 10), 0}}});
  // One term in three runs: (9, 0), (3, 1) and (9, 0) become (3, 1), (9, 0).
  w.add_run(4, terms, &two_valued_hash);
  w.add_run(4, {{"term7", {{9, 0}}}}, &two_valued_hash);
  w.add_run(4, {{"term7", {{3, 1}, {9, 0}}}}, &two_valued_hash);
  FinalWriteInput in = w.input();
  in.term_hash = &two_valued_hash;
  in.fan_in = 2;  // three runs: one intermediate merge first
  auto written = write_final_database(in);
  ASSERT_TRUE(written.ok()) << written.error().to_string();
  EXPECT_EQ(*written, 2u);  // two keys hold all forty terms

  auto shard = open_file(shard_path(w.output, 4));
  auto txn = shard->begin_read();
  auto records = txn->open_table<storage::U64Codec, BytesCodec>(kRecordsTable);
  ASSERT_TRUE(records.ok());
  std::set<std::string> seen;
  for (uint64_t key : {0, 1}) {
    auto value = records->get(key);
    ASSERT_TRUE(value.ok() && *value);
    const std::string bytes = text_of((*value)->value());
    std::string last;
    RecordChainReader chain(bytes);
    while (true) {
      auto rec = chain.next();
      ASSERT_TRUE(rec.ok());
      if (!*rec) break;
      const std::string term((*rec)->term());
      EXPECT_EQ(two_valued_hash(term), key);
      EXPECT_LT(last, term);
      last = term;
      seen.insert(term);
      std::vector<Posting> postings;
      (*rec)->append_postings(&postings);
      if (term == "term7") {
        EXPECT_EQ(postings, (std::vector<Posting>{{3, 1}, {7, 0}, {9, 0}}));
      }
      // Every term of the chain is found by its own text.
      auto found = find_record(bytes, term);
      ASSERT_TRUE(found.ok() && *found);
      EXPECT_EQ((*found)->term(), term);
    }
  }
  EXPECT_EQ(seen.size(), 40u);
  // The intermediate merge run is gone.
  for (const auto& e : fs::directory_iterator(w.dir.path())) {
    EXPECT_FALSE(e.path().filename().string().starts_with("merge_")) << e.path();
  }
}

TEST(FinalWrite, PrimaryTablesAndShardsWithoutRuns) {
  CraftedWrite w;
  auto progress = std::make_shared<RecordingProgress>();
  FinalWriteInput in = w.input();
  in.progress = progress;
  ASSERT_TRUE(write_final_database(in).ok());
  auto primary = open_file(w.output);
  const auto meta = read_meta(*primary);
  EXPECT_EQ(meta.at("schema"), "quorvendel.fullmap.v5");
  EXPECT_EQ(meta.at("shards"), "16");
  EXPECT_EQ(must(load_sources(*primary), "sources"),
            (std::map<uint8_t, std::string>{{0, "src0"}, {1, "src1"}}));
  std::vector<uint32_t> ids = {3, 0, 9, 3};
  auto rows = must(hydrate_curie_rows(*primary, ids), "rows");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].local_id, "3");
  EXPECT_EQ(rows[0].preferred_name, "file 0");  // the earliest of its two rows
  EXPECT_EQ(rows[0], rows[3]);
  EXPECT_EQ(rows[2].local_id, "9");
  const uint32_t missing[] = {10};
  auto r = hydrate_curie_rows(*primary, missing);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "RuntimeError: missing fullmap CURIE id 10");
  for (uint32_t i = 0; i < kShardCount; ++i) {
    auto shard = open_file(shard_path(w.output, i));
    EXPECT_EQ(read_meta(*shard), (std::map<std::string, std::string>{{"build_id", meta.at("build_id")}}));
    auto txn = shard->begin_read();
    auto records = txn->open_table<storage::U64Codec, BytesCodec>(kRecordsTable);
    ASSERT_TRUE(records.ok());
    auto range = records->iter();
    EXPECT_FALSE(range->next().has_value());
  }
  // No records: only the closing report, with done equal to total.
  ASSERT_EQ(progress->reports.size(), 1u);
  EXPECT_EQ(progress->reports[0].message, "wrote 0 records");
}

TEST(FinalWriteConcurrent, ProgressPerBatchNeverStepsBackAndEndsDone) {
  for (size_t batch : {size_t{0}, size_t{1}, size_t{7}}) {
    SCOPED_TRACE("insert batch " + std::to_string(batch));
    CraftedWrite w;
    uint64_t frames = 0;
    size_t shards_with_records = 0;
    for (uint32_t s = 0; s < kShardCount; s += 3) {
      std::vector<std::pair<std::string, std::vector<Posting>>> terms;
      for (int i = 0; i < 20; ++i) terms.push_back({"s" + std::to_string(s) + "t" + std::to_string(i), {{1, 0}}});
      w.add_run(s, terms, &xxh64_hash);
      w.add_run(s, {terms.begin(), terms.begin() + 5}, &xxh64_hash);
      frames += 25;
      ++shards_with_records;
    }
    auto progress = std::make_shared<RecordingProgress>();
    FinalWriteInput in = w.input();
    in.insert_batch = batch;
    in.progress = progress;
    auto written = write_final_database(in);
    ASSERT_TRUE(written.ok()) << written.error().to_string();
    EXPECT_EQ(*written, 20 * shards_with_records);
    uint64_t last = 0;
    size_t batch_reports = 0;
    for (size_t k = 0; k + 1 < progress->reports.size(); ++k) {
      const auto& r = progress->reports[k];
      EXPECT_EQ(r.kind, 2);
      EXPECT_EQ(r.total, frames);  // frames, an upper bound of the records
      EXPECT_GT(r.done, last);
      last = r.done;
      EXPECT_TRUE(r.message.ends_with(": writing " + std::to_string(r.done) + " records"))
          << r.message;
      ++batch_reports;
    }
    EXPECT_EQ(last, *written);
    EXPECT_EQ(batch_reports, batch == 0 ? shards_with_records
                             : batch == 1 ? *written
                                          : shards_with_records * 3);
    const auto& end = progress->reports.back();
    EXPECT_EQ(end.done, *written);
    EXPECT_EQ(end.total, *written);
    EXPECT_EQ(end.message, "wrote " + std::to_string(*written) + " records");
  }
}

// An insert batch larger than the slice a writer holds at once (and 0, one
// batch) still reports whole batches, and every record arrives.
TEST(FinalWriteConcurrent, LargeBatchesAreWrittenInSlicesAndReportedWhole) {
  const size_t slice = 64;  // in a build: kMaxBatchReserve
  const uint64_t n = 2 * slice + 5;
  for (size_t batch : {size_t{0}, slice + 10}) {
    SCOPED_TRACE("insert batch " + std::to_string(batch));
    CraftedWrite w;
    std::vector<std::pair<std::string, std::vector<Posting>>> terms;
    for (uint64_t i = 0; i < n; ++i) terms.push_back({"t" + std::to_string(i), {{1, 0}}});
    w.add_run(0, terms, &xxh64_hash);
    auto progress = std::make_shared<RecordingProgress>();
    FinalWriteInput in = w.input();
    in.insert_batch = batch;
    in.batch_slice = slice;
    in.progress = progress;
    auto written = write_final_database(in);
    ASSERT_TRUE(written.ok()) << written.error().to_string();
    EXPECT_EQ(*written, n);
    std::vector<uint64_t> done;
    for (const auto& r : progress->reports) done.push_back(r.done);
    if (batch == 0) {
      EXPECT_EQ(done, (std::vector<uint64_t>{n, n}));
    } else {
      EXPECT_EQ(done, (std::vector<uint64_t>{batch, n, n}));
    }
    auto db = storage::ReadOnlyDatabase::open(shard_path(w.output, 0));
    ASSERT_TRUE(db.ok());
    auto rtx = db->begin_read();
    ASSERT_TRUE(rtx.ok());
    auto records = rtx->open_table<storage::U64Codec, storage::BytesCodec>(kRecordsTable);
    ASSERT_TRUE(records.ok());
    auto range = records->iter();
    ASSERT_TRUE(range.ok());
    uint64_t count = 0;
    while (auto entry = range->next()) {
      ASSERT_TRUE(entry->ok());
      ++count;
    }
    EXPECT_EQ(count, n);
  }
}

TEST(FinalWriteConcurrent, LowestFailingShardWinsAndEveryFileIsClosed) {
  struct Case {
    const char* name;
    bool panic_in_2;
    const char* expected;
  };
  for (const Case& c : {Case{"missing run in 5", false, "RuntimeError: No such file or directory (os error 2)"},
                        Case{"and a panic in 2", true, "RuntimeError: fullmap shard writer panicked"}}) {
    SCOPED_TRACE(c.name);
    CraftedWrite w;
    for (uint32_t s = 0; s < kShardCount; ++s) {
      w.add_run(s, {{"term" + std::to_string(s), {{1, 0}}}}, &xxh64_hash);
    }
    w.tables.term_runs[5].push_back(w.dir.file("no-such-run.bin"));
    if (c.panic_in_2) {
      // Frames against their order: the record keys come out descending.
      const std::string bad = w.dir.file("descending.bin");
      auto out = TermRunWriter::create(bad);
      std::vector<std::string> terms = {"a", "b", "c", "d"};
      std::sort(terms.begin(), terms.end(), [](const auto& x, const auto& y) {
        return xxh64_hash(x) > xxh64_hash(y);
      });
      for (const auto& t : terms) ASSERT_TRUE(out->write(t, std::vector<Posting>{{1, 0}}).ok());
      ASSERT_TRUE(out->finish().ok());
      w.tables.term_runs[2] = {bad};
    }
    auto written = write_final_database(w.input());
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().to_string(), c.expected);
    // Every writer ran to its end and every file was closed cleanly.
    for (uint32_t s = 0; s < kShardCount; ++s) {
      auto shard = open_read_only(shard_path(w.output, s));
      ASSERT_TRUE(shard.ok()) << s << ": " << shard.error().to_string();
      if (s == 5 || (c.panic_in_2 && s == 2)) continue;
      auto txn = (*shard)->begin_read();
      auto records = txn->open_table<storage::U64Codec, BytesCodec>(kRecordsTable);
      ASSERT_TRUE(records.ok()) << s;
      const std::string term = "term" + std::to_string(s);
      auto value = records->get(xxh64_hash(term));
      ASSERT_TRUE(value.ok() && *value) << s;
    }
  }
}

TEST(FinalWrite, APrimaryThatCannotBeCreatedFailsWithItsError) {
  CraftedWrite w;
  FinalWriteInput in = w.input();
  in.output = w.dir.file("no-such-dir/db.qdb");
  auto written = write_final_database(in);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().to_string(), "RuntimeError: I/O error: No such file or directory (os error 2)");
}

// A primary that fails stops the write before any shard file exists.
TEST(FinalWrite, APrimaryFailureLeavesNoShardFile) {
  CraftedWrite w;
  for (uint32_t s = 0; s < kShardCount; ++s) {
    w.add_run(s, {{"term" + std::to_string(s), {{1, 0}}}}, &xxh64_hash);
  }
  w.tables.curie_runs.push_back(w.dir.file("no-such-curie-run.bin"));
  auto written = write_final_database(w.input());
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().to_string(), "RuntimeError: No such file or directory (os error 2)");
  for (uint32_t s = 0; s < kShardCount; ++s) {
    EXPECT_FALSE(std::filesystem::exists(shard_path(w.output, s))) << s;
  }
}

}  // namespace
}  // namespace rs::fullmap
