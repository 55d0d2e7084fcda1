#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "src/fullmap/equiv_index.h"
#include "src/fullmap/ingest.h"
#include "src/fullmap/layout.h"
#include "src/fullmap/normalize.h"
#include "src/fullmap/rows.h"
#include "src/fullmap/spill.h"
#include "src/fullmap/thread.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"
#include "tests/cpp/fullmap_rows.h"
#include "tests/cpp/test_files.h"

namespace rs::fullmap {
namespace {

using storage::test::TempDir;

using test::write_file;

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

// Records every report.
class RecordingProgress : public Progress {
 public:
  struct Report {
    int32_t kind;
    uint64_t done, total;
    std::string message;
  };
  void call(int32_t kind, uint64_t done, uint64_t total, std::string_view message) noexcept override {
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

// What the run files of a result say, with ids mapped back to texts.
struct Decoded {
  // term -> {(CURIE, source name)}
  std::map<std::string, std::set<std::pair<std::string, std::string>>> terms;
  // CURIE -> its earliest row: (prefix, local id, preferred name, category, taxon)
  std::map<std::string, std::tuple<std::string, std::string, std::string, std::string, int32_t>>
      rows;
  size_t term_files = 0;
};

Decoded decode(const IngestResult& r) {
  Decoded d;
  // The earliest frame of every CURIE id.
  std::map<uint32_t, std::pair<InputPosition, CurieRow>> best;
  for (const std::string& path : r.curie_runs) {
    auto reader = CurieRunReader::open(path);
    EXPECT_TRUE(reader.ok()) << path;
    for (;;) {
      auto frame = reader->next_row();
      EXPECT_TRUE(frame.ok());
      if (!frame.ok() || !frame->has_value()) break;
      const CurieFrame& f = **frame;
      auto row = decode_curie_row(f.row);
      EXPECT_TRUE(row.ok());
      auto it = best.find(f.curie_id);
      if (it == best.end() || f.position < it->second.first) {
        best[f.curie_id] = {f.position, row->to_owned()};
      }
    }
  }
  std::map<uint32_t, std::string> curie_text;
  for (const auto& [id, entry] : best) {
    const CurieRow& row = entry.second;
    std::string text = r.prefixes.at(row.prefix_id) + ":" + row.local_id;
    curie_text[id] = text;
    d.rows[text] = {r.prefixes.at(row.prefix_id), row.local_id, row.preferred_name,
                    r.categories.at(row.category_id), row.taxon_id};
  }
  EXPECT_EQ(d.rows.size(), best.size()) << "two ids for one CURIE";
  for (uint32_t shard = 0; shard < r.term_runs.size(); ++shard) {
    for (const std::string& path : r.term_runs[shard]) {
      ++d.term_files;
      auto reader = RunReader::open(path);
      EXPECT_TRUE(reader.ok()) << path;
      for (;;) {
        auto frame = reader->read_frame();
        EXPECT_TRUE(frame.ok());
        if (!frame.ok() || !frame->has_value()) break;
        for (const Posting& p : (*frame)->postings) {
          EXPECT_TRUE(curie_text.count(p.curie_id)) << "posting of an id without a row";
          d.terms[std::string((*frame)->term)].insert(
              {curie_text[p.curie_id], r.sources.at(p.source_id)});
        }
      }
    }
  }
  return d;
}

IngestInput input_for(const std::vector<std::string>& files, const std::string& spill,
                      const EquivIndex* equiv) {
  IngestInput in;
  in.synonyms = files;
  in.equiv = equiv;
  in.spill_dir = spill;
  in.workers = 2;
  in.producers = 2;
  return in;
}

struct Fixture {
  TempDir dir;
  std::string spill = dir.file("spill");
  Fixture() { std::filesystem::create_directories(spill); }
  EquivIndex equiv(const std::vector<std::string>& classes) {
    auto index = EquivIndex::build(classes, spill, {});
    EXPECT_TRUE(index.ok());
    return std::move(index).value();
  }
};

// ---- small pieces ----

TEST(SourceName, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"x.ndjson", "x"},           {"dir/x.ndjson.gz", "x"},  {"a/b/MONDO.json", "MONDO"},
      {"x.ndjson.ndjson.gz", "x"}, {".ndjson", ""},    {"dir/.ndjson.gz", ""},
      {"noext", "noext"},          {"/", "BABEL"},            {"a/..", "BABEL"},
      {"bad\xff.ndjson", "BABEL"}, {"t.tar.gz", "t.tar"},      {"dir/y.ndjson/", "y"},
  };
  for (auto [path, name] : cases) EXPECT_EQ(source_name(path), name) << path;
}

TEST(RegisterSources, SharedNamesAndTheLimit) {
  std::vector<std::string> paths = {"a/x.ndjson", "b/x.ndjson.gz", "y.ndjson", "x"};
  auto table = register_sources(paths);
  ASSERT_TRUE(table.ok());
  EXPECT_EQ(table->names, (std::vector<std::string>{"x", "y"}));
  paths.clear();
  for (int i = 0; i < 256; ++i) paths.push_back("s" + std::to_string(i));
  ASSERT_TRUE(register_sources(paths).ok());
  paths.push_back("s0");  // a repeated name still counts as the 257th file
  auto over = register_sources(paths);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().to_string(), "RuntimeError: too many fullmap sources");
}

TEST(ParseTaxon, Table) {
  const std::pair<const char*, int32_t> cases[] = {
      {"9606", 9606}, {"+9606", 9606}, {"NCBITaxon:-5", -5}, {"NCBITaxon:NCBITaxon:7", 7},
      {"taxon:9606", 0}, {"99999999999", 0}, {"", 0}, {"-", 0}, {"+-5", 0}, {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN}, {"2147483648", 0}, {" 5", 0}, {"5a", 0},
  };
  for (auto [text, taxon] : cases) EXPECT_EQ(parse_taxon(text), taxon) << text;
}

TEST(ShardedMapIntern, DenseIdsAndOverflowPanics) {
  ShardedMap map("too many fullmap prefixes");
  EXPECT_EQ(map.intern("A"), 0);
  EXPECT_EQ(map.intern("B"), 1);
  EXPECT_EQ(map.intern("A"), 0);
  for (int i = 2; i <= 65535; ++i) map.intern("p" + std::to_string(i));
  EXPECT_EQ(map.take_names().size(), 65536u);
  try {
    map.intern("one too many");
    FAIL() << "no panic";
  } catch (const storage::Panic& p) {
    EXPECT_EQ(p.message(), "too many fullmap prefixes");
  }
}

TEST(CurieIdTableIntern, EarliestPositionAndIdExhaustion) {
  CurieIdTable table;
  auto a = table.intern("A:1", {1, 10});
  ASSERT_TRUE(a.ok());
  EXPECT_TRUE(a->queue_row);
  EXPECT_FALSE(table.intern("A:1", {1, 11})->queue_row);
  EXPECT_FALSE(table.intern("A:1", {2, 0})->queue_row);
  auto earlier = table.intern("A:1", {0, 99});
  EXPECT_TRUE(earlier->queue_row);
  EXPECT_EQ(earlier->id, a->id);
  EXPECT_FALSE(table.intern("A:1", {1, 10})->queue_row);

  // Many CURIEs: dense distinct ids, each found again after the tables grew.
  CurieIdTable many;
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < 100000; ++i) {
    auto s = many.intern("C:" + std::to_string(i), {0, i});
    ASSERT_TRUE(s.ok() && s->queue_row);
    ids.push_back(s->id);
  }
  std::vector<uint32_t> sorted = ids;
  std::sort(sorted.begin(), sorted.end());
  for (uint32_t i = 0; i < sorted.size(); ++i) ASSERT_EQ(sorted[i], i);
  for (uint32_t i = 0; i < 100000; ++i) {
    auto s = many.intern("C:" + std::to_string(i), {1, 0});
    ASSERT_EQ(s->id, ids[i]);
    ASSERT_FALSE(s->queue_row);
  }

  CurieIdTable full(uint64_t{UINT32_MAX});
  auto last = full.intern("X:1", {0, 1});
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(last->id, UINT32_MAX);
  EXPECT_TRUE(full.intern("X:1", {0, 2}).ok());  // known CURIEs keep working
  auto over = full.intern("X:2", {0, 3});
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().to_string(), "RuntimeError: too many fullmap CURIEs");
}

// ---- rows ----

using test::synonym_outcome;

TEST(SynonymRowParse, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"id":"MONDO:0005148","name":"Type 2 Diabetes","names":["T2D"],"categories":["biolink:Disease"],"taxon":["NCBITaxon:9606"]})",
       "MONDO:0005148|T2D|biolink:Disease|NCBITaxon:9606|Type 2 Diabetes"},
      {R"({"curie":"A:1","preferred_name":null,"types":[],"other":{"x":[1]}})", "A:1||||-"},
      {R"({"curie":null})", "-||||-"},
      {R"(["A:1",["n1","n2"],["T"],["9606"],"P"])", "A:1|n1,n2|T|9606|P"},
      {R"(["A:1"])", "A:1||||-"},
      {R"([])", "-||||-"},
      {R"({"curie":"A:1","curie":"A:2"})", "duplicate field `curie` at line 1 column 22"},
      {R"({"curie":"A:1","id":"A:2"})", "duplicate field `curie` at line 1 column 19"},
      {R"({"taxa":[],"taxon":[]})", "duplicate field `taxa` at line 1 column 18"},
      {R"({"types":[],"categories":[]})", "duplicate field `types` at line 1 column 24"},
      {R"({"name":"a","preferred_name":"b"})",
       "duplicate field `preferred_name` at line 1 column 28"},
      {R"({"curie":"A:1","taxon":"NCBITaxon:9606"})",
       "invalid type: string \"NCBITaxon:9606\", expected a sequence at line 1 column 39"},
      {R"({"curie":"A:1","names":null})",
       "invalid type: null, expected a sequence at line 1 column 27"},
      {R"({"curie":"A:1","names":["a",1]})",
       "invalid type: integer `1`, expected a string at line 1 column 29"},
      {R"({"curie":["A:1"]})", "invalid type: sequence, expected a string at line 1 column 10"},
      {R"(true)", "invalid type: boolean `true`, expected struct SynonymRow at line 1 column 4"},
      {R"(["A:1",[],[],[],"P",6])",
       "invalid length 6, expected struct SynonymRow with at most 5 elements at line 1 column 21"},
      {R"({"curie":"A:1"}{})", "trailing characters at line 1 column 16"},
  };
  for (auto [line, outcome] : cases) EXPECT_EQ(synonym_outcome(line), outcome) << line;
}

// ---- the phase on fixture files ----

TEST(ProcessSynonyms, FixtureRowsTermsAndEquivalents) {
  Fixture f;
  write_file(f.dir.file("classes.ndjson"),
             R"({"id":"MONDO:0005148","equivalent_identifiers":["DOID:9352","UMLS:C0011860"]})" "\n");
  EquivIndex equiv = f.equiv({f.dir.file("classes.ndjson")});
  write_file(f.dir.file("disease.ndjson"),
             R"({"id":"MONDO:0005148","name":"Type 2 Diabetes","names":["T2D"],"categories":["biolink:Disease"],"taxon":["NCBITaxon:9606"]})"
             "\n"
             // Skipped: no colon, empty prefix, empty local id, excluded prefix, no CURIE.
             R"({"curie":"nocolon","names":["skip1"]})" "\n"
             R"({"curie":":123","names":["skip2"]})" "\n"
             R"({"curie":"MONDO:","names":["skip3"]})" "\n"
             R"({"curie":"EXCL:1","names":["skip4"]})" "\n"
             R"({"names":["skip5"]})" "\n"
             "\n  \t\r\n\r\r\n"
             R"({"curie":"HGNC:1","types":["biolink:biolink:Gene"],"taxa":["+9606"],"names":["  \"Quoted\" "]})"
             "\r\n"
             R"({"curie":"X:1","taxa":["taxon:9606"],"preferred_name":"  Kept Case "})" "\n");
  std::vector<std::string> files = {f.dir.file("disease.ndjson")};
  PrefixSet exclude = {"EXCL"};
  IngestInput in = input_for(files, f.spill, &equiv);
  in.exclude_prefixes = &exclude;
  auto r = process_synonyms(in);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  Decoded d = decode(*r);
  using Row = std::tuple<std::string, std::string, std::string, std::string, int32_t>;
  EXPECT_EQ(d.rows["MONDO:0005148"], (Row{"MONDO", "0005148", "Type 2 Diabetes", "Disease", 9606}));
  EXPECT_EQ(d.rows["HGNC:1"], (Row{"HGNC", "1", "HGNC:1", "Gene", 9606}));
  EXPECT_EQ(d.rows["X:1"], (Row{"X", "1", "Kept Case", "NamedThing", 0}));
  EXPECT_EQ(d.rows.size(), 3u);
  const std::set<std::pair<std::string, std::string>> mondo = {{"MONDO:0005148", "disease"}};
  const std::map<std::string, std::set<std::pair<std::string, std::string>>> expected = {
      {"t2d", mondo},
      {"mondo:0005148", mondo},
      {"mondo0005148", mondo},
      {"doid:9352", mondo},
      {"doid9352", mondo},
      {"umls:c0011860", mondo},
      {"umlsc0011860", mondo},
      {"quoted", {{"HGNC:1", "disease"}}},
      {"hgnc:1", {{"HGNC:1", "disease"}}},
      {"hgnc1", {{"HGNC:1", "disease"}}},
      {"x:1", {{"X:1", "disease"}}},
      {"x1", {{"X:1", "disease"}}},
  };
  EXPECT_EQ(d.terms, expected);
  EXPECT_EQ(r->sources, (std::vector<std::string>{"disease"}));
}

TEST(ProcessSynonyms, FirstRowInInputOrderWinsAndSourcesAreShared) {
  Fixture f;
  std::filesystem::create_directories(f.dir.file("d"));
  // The same CURIE in both files and twice in the second; x.ndjson and
  // d/x.ndjson.gz share the source x.
  write_file(f.dir.file("x.ndjson"),
             R"({"curie":"A:1","name":"first","names":["one"],"types":["T1"],"taxa":["1"]})" "\n");
  write_file(f.dir.file("d/x.ndjson.gz"),
             gzip_member(R"({"curie":"A:1","name":"second","names":["two"],"types":["T2"]})" "\n"
                         R"({"curie":"A:1","name":"third"})" "\n"));
  for (size_t workers : {1, 2, 8}) {
    for (size_t chunk : {size_t{0}, size_t{1} << 20}) {
      std::vector<std::string> files = {f.dir.file("x.ndjson"), f.dir.file("d/x.ndjson.gz")};
      std::string spill = f.dir.file("s" + std::to_string(workers) + "_" + std::to_string(chunk));
      std::filesystem::create_directories(spill);
      IngestInput in = input_for(files, spill, nullptr);
      in.workers = workers;
      in.chunk_bytes = chunk;
      auto r = process_synonyms(in);
      ASSERT_TRUE(r.ok()) << r.error().to_string();
      Decoded d = decode(*r);
      using Row = std::tuple<std::string, std::string, std::string, std::string, int32_t>;
      EXPECT_EQ(d.rows["A:1"], (Row{"A", "1", "first", "T1", 1}));
      EXPECT_EQ(r->sources, (std::vector<std::string>{"x"}));
      EXPECT_EQ(d.terms["two"], (std::set<std::pair<std::string, std::string>>{{"A:1", "x"}}));
    }
  }
}

TEST(ProcessSynonyms, SampleInputs) {
  const std::string samples =
      (std::filesystem::path(__FILE__).parent_path() / "../../samples/fullmap").lexically_normal();
  Fixture f;
  EquivIndex equiv = f.equiv({samples + "/classes.ndjson"});
  std::vector<std::string> files = {samples + "/disease.ndjson",
                                    samples + "/chemicals.ndjson.gz"};
  auto r = process_synonyms(input_for(files, f.spill, &equiv));
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  Decoded d = decode(*r);
  EXPECT_EQ(d.rows.size(), 7u);
  EXPECT_EQ(r->sources, (std::vector<std::string>{"disease", "chemicals"}));
  using Hits = std::set<std::pair<std::string, std::string>>;
  EXPECT_EQ(d.terms["mesh:d003924"], (Hits{{"MONDO:0005148", "disease"}}));  // object item
  EXPECT_EQ(d.terms["unii:9100l32l2n"], (Hits{{"CHEBI:6801", "chemicals"}}));
  EXPECT_EQ(d.terms["mesh:d005947"], (Hits{{"GO:0006006", "chemicals"}}));   // keyless class
  EXPECT_EQ(d.terms["insulin"], (Hits{{"NCBIGene:3630", "chemicals"}}));
  EXPECT_EQ(d.terms["diabetes"], (Hits{{"MONDO:0005015", "disease"}}));
  using Row = std::tuple<std::string, std::string, std::string, std::string, int32_t>;
  EXPECT_EQ(d.rows["NCBIGene:3630"], (Row{"NCBIGene", "3630", "INS", "Gene", 9606}));
}

// ---- model test ----

struct Model {
  std::map<std::string, std::set<std::pair<std::string, std::string>>> terms;
  std::map<std::string, std::tuple<std::string, std::string, std::string, std::string, int32_t>>
      rows;
  uint64_t lines = 0;
};

TEST(ProcessSynonyms, ConcurrentModel) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  Fixture f;
  // Class files give some CURIEs equivalents.
  std::map<std::string, std::set<std::string>> classes;
  std::string class_text;
  for (int i = 0; i < 40; ++i) {
    std::string key = "P" + std::to_string(rng() % 3) + ":" + std::to_string(rng() % 50);
    std::string eq = "EQ:" + std::to_string(rng() % 30);
    classes[key].insert(eq);
    class_text += R"({"id":")" + key + R"(","equivalent_identifiers":[")" + eq + "\"]}\n";
  }
  write_file(f.dir.file("c.ndjson"), class_text);
  EquivIndex equiv = f.equiv({f.dir.file("c.ndjson")});

  Model model;
  std::vector<std::string> files;
  const char* names[] = {"alpha", "beta", "alpha"};  // two files share a source name
  for (int file = 0; file < 5; ++file) {
    std::string source = names[file % 3];
    std::string path = f.dir.file("f" + std::to_string(file));
    std::filesystem::create_directories(path);
    path += "/" + source + (file % 2 ? ".ndjson.gz" : ".ndjson");
    std::string text;
    for (int l = 0; l < 150; ++l) {
      if (rng() % 10 == 0) text += "  \r\n";  // blank lines keep their numbers
      std::string curie = "P" + std::to_string(rng() % 3) + ":" + std::to_string(rng() % 50);
      std::vector<std::string> nm = {"Name " + std::to_string(rng() % 40),
                                     "n-" + std::to_string(rng() % 40)};
      std::string type = "T" + std::to_string(rng() % 4);
      std::string pref = "Pref " + std::to_string(file) + "." + std::to_string(l);
      int32_t taxon = static_cast<int32_t>(rng() % 3);
      text += R"({"curie":")" + curie + R"(","names":[")" + nm[0] + R"(",")" + nm[1] +
              R"("],"types":[")" + type + R"("],"taxa":[")" + std::to_string(taxon) +
              R"("],"name":")" + pref + "\"}\n";
      ++model.lines;
      if (!model.rows.count(curie)) {
        model.rows[curie] = {curie.substr(0, curie.find(':')), curie.substr(curie.find(':') + 1),
                             pref, type, taxon};
      }
      TermMap terms;
      for (auto& n : nm) emit_term(n, 0, 0, &terms);
      emit_term(curie, 0, 0, &terms);
      for (auto& e : classes[curie]) emit_term(e, 0, 0, &terms);
      terms.for_each([&](std::string_view term, const TermMap::Postings&) {
        model.terms[std::string(term)].insert({curie, source});
      });
    }
    write_file(path, file % 2 ? gzip_member(text) : text);
    files.push_back(path);
  }

  for (size_t workers : {1, 2, 8}) {
    SCOPED_TRACE("workers " + std::to_string(workers));
    std::string spill = f.dir.file("spill" + std::to_string(workers));
    std::filesystem::create_directories(spill);
    auto progress = std::make_shared<RecordingProgress>();
    IngestInput in = input_for(files, spill, &equiv);
    in.workers = workers;
    in.producers = workers;
    in.chunk_bytes = 500;
    in.local_spill_entries = 25;
    in.curie_spill_entries = 10;
    in.progress = progress;
    auto r = process_synonyms(in);
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    Decoded d = decode(*r);
    EXPECT_EQ(d.terms, model.terms);
    EXPECT_EQ(d.rows, model.rows);
    EXPECT_GT(d.term_files, 16u);
    EXPECT_EQ(r->sources, (std::vector<std::string>{"alpha", "beta"}));
    // Kind 1 reports: one per batch and one per file; the largest is every line.
    uint64_t largest = 0;
    size_t file_reports = 0;
    for (auto& rep : progress->reports()) {
      EXPECT_EQ(rep.kind, kProgressIngestion);
      EXPECT_EQ(rep.total, 0u);
      largest = std::max(largest, rep.done);
      if (rep.message.find(" files)") != std::string::npos) {
        ++file_reports;
        EXPECT_NE(rep.message.find(" \xC2\xB7 "), std::string::npos) << rep.message;
      }
    }
    EXPECT_EQ(largest, model.lines);
    EXPECT_EQ(file_reports, files.size());
  }
}

// ---- failures ----

TEST(ProcessSynonyms, FailuresReachTheCaller) {
  Fixture f;
  write_file(f.dir.file("good.ndjson"), R"({"curie":"A:1","names":["x"]})" "\n");
  write_file(f.dir.file("bad.ndjson"), R"({"curie":"A:2"})" "\n" R"({"curie":5})" "\n");
  {
    std::vector<std::string> files = {f.dir.file("good.ndjson"), f.dir.file("bad.ndjson")};
    auto r = process_synonyms(input_for(files, f.spill, nullptr));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(),
              "RuntimeError: invalid type: integer `5`, expected a string at line 1 column 10");
  }
  {
    std::vector<std::string> files = {f.dir.file("good.ndjson"), f.dir.file("missing.ndjson")};
    auto r = process_synonyms(input_for(files, f.spill, nullptr));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), "RuntimeError: No such file or directory (os error 2)");
  }
  {
    write_file(f.dir.file("two.ndjson"), R"({"curie":"A:1"})" "\n" R"({"curie":"A:2"})" "\n");
    std::vector<std::string> files = {f.dir.file("two.ndjson")};
    IngestInput in = input_for(files, f.spill, nullptr);
    in.first_curie_id = uint64_t{UINT32_MAX};  // one id left; the second CURIE has none
    auto r = process_synonyms(in);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), "RuntimeError: too many fullmap CURIEs");
  }
}

TEST(ProcessSynonyms, ConcurrentAllConsumersFailingNeverHangs) {
  Fixture f;
  // Every line bad, one line per batch, far more batches than the channel holds.
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "not json\n";
  std::vector<std::string> files;
  for (int i = 0; i < 3; ++i) {
    files.push_back(f.dir.file("bad" + std::to_string(i) + ".ndjson"));
    write_file(files.back(), text);
  }
  for (size_t workers : {1, 2, 8}) {
    IngestInput in = input_for(files, f.spill, nullptr);
    in.workers = workers;
    in.producers = 3;
    in.chunk_bytes = 0;
    auto r = process_synonyms(in);
    ASSERT_FALSE(r.ok());
    // The consumers' failure, not the producers' closed channel.
    EXPECT_EQ(r.error().to_string(), "RuntimeError: expected ident at line 1 column 2");
  }
}

TEST(ProcessSynonyms, ConcurrentThreadThatCannotStart) {
  Fixture f;
  std::string text;
  for (int i = 0; i < 2000; ++i) text += R"({"curie":"A:)" + std::to_string(i) + "\"}\n";
  write_file(f.dir.file("s.ndjson"), text);
  std::vector<std::string> files = {f.dir.file("s.ndjson"), f.dir.file("s.ndjson")};
  // Consumers are started first: fail the first, a later one, and a producer.
  for (size_t at : {0, 1, 3}) {
    IngestInput in = input_for(files, f.spill, nullptr);
    in.workers = 3;
    in.chunk_bytes = 0;
    fail_thread_start_for_test(at);
    try {
      (void)process_synonyms(in);
      ADD_FAILURE() << "no panic";
    } catch (const storage::Panic& p) {
      EXPECT_EQ(p.message(),
                "failed to spawn thread: Resource temporarily unavailable (os error 11)");
    }
    EXPECT_EQ(fail_thread_start_for_test(std::nullopt), at + 1);
  }
}

}  // namespace
}  // namespace rs::fullmap
