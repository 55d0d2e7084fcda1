// Ingestion throughput on synthetic inputs: the equivalence index and synonym
// ingestion beside the floor of reading the same files' lines, and the row
// parser alone. Medians of 5 runs; figures in MB/s of input and as ratios.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "src/fullmap/equiv_index.h"
#include "src/fullmap/ingest.h"
#include "src/fullmap/input.h"
#include "src/fullmap/rows.h"

namespace fs = std::filesystem;
using namespace rs::fullmap;

namespace {

double median_seconds(const std::function<void()>& f) {
  std::vector<double> t;
  for (int i = 0; i < 5; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(t.begin(), t.end());
  return t[2];
}

size_t read_lines(const std::string& path) {
  auto in = open_reader(path);
  LineReader r(std::move(in).value(), 8192);
  std::string_view line;
  size_t n = 0;
  while (r.next(&line).value()) n += line.size();
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  // "equiv": only the equivalence index, for profiling.
  const bool only_equiv = argc > 1 && std::string(argv[1]) == "equiv";
  const fs::path dir = fs::temp_directory_path() / ("bench_ingest_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::mt19937_64 rng(7);
  const std::string syn = (dir / "syn.ndjson").string();
  const std::string cls = (dir / "classes.ndjson").string();
  {
    std::ofstream s(syn), c(cls);
    for (int i = 0; i < 200000; ++i) {
      std::string curie = "MONDO:" + std::to_string(rng() % 150000);
      s << R"({"curie":")" << curie << R"(","names":["Disease number )" << i
        << R"(","Syndrome )" << rng() % 100000 << R"(","alt-name )" << rng() % 1000
        << R"("],"types":["biolink:Disease"],"taxa":["NCBITaxon:9606"],"preferred_name":"Disease )"
        << i << "\"}\n";
      if (i % 2 == 0) {
        c << R"({"id":")" << curie << R"(","equivalent_identifiers":["DOID:)" << rng() % 90000
          << R"(","UMLS:C)" << rng() % 900000 << R"(",{"identifier":"MESH:D)" << rng() % 90000
          << "\"}]}\n";
      }
    }
  }
  const double syn_mb = static_cast<double>(fs::file_size(syn)) / 1e6;
  const double cls_mb = static_cast<double>(fs::file_size(cls)) / 1e6;
  std::printf("synonyms %.1f MB, classes %.1f MB, %u CPUs\n", syn_mb, cls_mb,
              std::thread::hardware_concurrency());

  const double floor_syn = median_seconds([&] { read_lines(syn); });
  const double floor_cls = median_seconds([&] { read_lines(cls); });
  const double parse = only_equiv ? 0 : median_seconds([&] {
    auto in = open_reader(syn);
    LineReader r(std::move(in).value(), 8192);
    RowParser p;
    SynonymRow row;
    std::string_view line;
    while (r.next(&line).value()) (void)p.parse(line, &row);
  });
  int run = 0;
  const double equiv = median_seconds([&] {
    std::vector<std::string> classes = {cls};
    auto index = EquivIndex::build(classes, (dir / ("e" + std::to_string(run++))).string(), {});
  });
  if (only_equiv) {
    std::printf("equivalence index: %.3f s\n", equiv);
    fs::remove_all(dir);
    return 0;
  }
  std::printf("%-34s %9s %9s %7s\n", "", "seconds", "MB/s", "x floor");
  std::printf("%-34s %9.3f %9.1f %7.2f\n", "read class lines (floor)", floor_cls,
              cls_mb / floor_cls, 1.0);
  std::printf("%-34s %9.3f %9.1f %7.2f\n", "equivalence index, 1 file", equiv, cls_mb / equiv,
              equiv / floor_cls);
  std::printf("%-34s %9.3f %9.1f %7.2f\n", "read synonym lines (floor)", floor_syn,
              syn_mb / floor_syn, 1.0);
  std::printf("%-34s %9.3f %9.1f %7.2f\n", "parse synonym rows, 1 thread", parse, syn_mb / parse,
              parse / floor_syn);

  std::vector<std::string> classes = {cls};
  const std::string equiv_dir = (dir / "equiv").string();
  auto index = EquivIndex::build(classes, equiv_dir, {});
  std::vector<std::string> files = {syn};
  for (size_t workers : {1, 2, 4}) {
    const double t = median_seconds([&] {
      const std::string spill = (dir / ("s" + std::to_string(run++))).string();
      fs::create_directories(spill);
      IngestInput in;
      in.synonyms = files;
      in.equiv = &*index;
      in.spill_dir = spill;
      in.workers = workers;
      in.producers = 1;
      auto r = process_synonyms(in);
      if (!r.ok()) std::printf("failed: %s\n", r.error().to_string().c_str());
      fs::remove_all(spill);
    });
    char label[64];
    std::snprintf(label, sizeof(label), "ingest synonyms, %zu consumers", workers);
    std::printf("%-34s %9.3f %9.1f %7.2f\n", label, t, syn_mb / t, t / floor_syn);
  }
  fs::remove_all(dir);
  return 0;
}
