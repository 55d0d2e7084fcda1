// Engine throughput through the public table API, each figure beside a
// baseline measured in the same run: the I/O floor (the same bytes written by
// pwrite and made durable by fdatasync) and std::map.
//
//   sorted load   N u64 keys to 45-byte values by the sorted-append cursor,
//                 one durable commit; floor: as many bytes as the load wrote
//                 (the process's write count), 1 MiB pwrites, one fdatasync
//   lookups       random point lookups of stored keys, one read transaction per
//                 thread, 1 and 8 threads; std::map::find on as many threads
//   inserts       random keys into an empty table, one transaction; std::map
//   scan          every record in key order; std::map iteration
//   commits       small durable commits (one insert each); floor: one pwrite
//                 of as many bytes as a commit wrote on average, and one
//                 fdatasync, per commit
//
// Times are medians of the repetitions. The machine is shared, so compare the
// ratios rather than the absolute figures.
//
// Usage: bench_engine [directory]   (default: $TMPDIR or /tmp)
// RS_BENCH_ENGINE_SCALE (default 1) scales every count, e.g. 0.01 for a smoke
// run; RS_BENCH_ENGINE_REPS (default 3) sets the repetitions;
// RS_BENCH_ENGINE_ONLY (default all) names the figures to measure, a
// comma-separated subset of load,lookups,scan,inserts,commits (the reads still
// load their file once).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "bench/must.h"
#include "storage/database.h"
#include "storage/table.h"
#include "storage/transaction.h"

namespace {

using storage::BytesCodec;
using storage::ByteView;
using storage::U64Codec;
using Clock = std::chrono::steady_clock;

constexpr size_t kValueBytes = 45;
constexpr size_t kCachedBytes = size_t{1} << 30;
constexpr const char* kTable = "bench";
using Value = std::array<uint8_t, kValueBytes>;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
  }
}

double seconds_of(const std::function<void()>& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Stored keys are spread out so that random probes of other values miss.
uint64_t key_at(uint64_t i) { return i * 7 + 3; }

Value value_for(uint64_t key) {
  Value v;
  for (size_t i = 0; i < kValueBytes; ++i) v[i] = static_cast<uint8_t>(key >> ((i % 8) * 8)) ^ i;
  return v;
}

// Bytes this process has handed to write calls so far.
uint64_t bytes_written() {
  std::FILE* f = std::fopen("/proc/self/io", "r");
  check(f != nullptr, "cannot read /proc/self/io");
  char line[128];
  uint64_t out = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned long long v = 0;
    if (std::sscanf(line, "wchar: %llu", &v) == 1) out = v;
  }
  std::fclose(f);
  return out;
}

uint64_t file_size(const std::string& path) {
  struct stat st;
  check(::stat(path.c_str(), &st) == 0, "stat failed");
  return static_cast<uint64_t>(st.st_size);
}

storage::Database create_database(const std::string& path) {
  ::unlink(path.c_str());
  return must(storage::Database::builder().set_cache_size(kCachedBytes).create(path),
              "create");
}

// ---- Sorted load -----------------------------------------------------------------------

struct LoadFigures {
  double secs = 0;
  uint64_t bytes = 0;  // written by the load and its commit
};

LoadFigures engine_sorted_load(const std::string& path, uint64_t n) {
  storage::Database db = create_database(path);
  const uint64_t before = bytes_written();
  const double secs = seconds_of([&] {
    storage::WriteTransaction txn = must(db.begin_write(), "begin_write");
    {
      auto table = must(txn.open_table<U64Codec, BytesCodec>(kTable), "open_table");
      auto cursor = must(table.upper_bound_mut(storage::CursorBound::unbounded()),
                         "upper_bound_mut");
      for (uint64_t i = 0; i < n; ++i) {
        const uint64_t key = key_at(i);
        const Value v = value_for(key);
        must(cursor.insert_before(key, ByteView(v)), "insert_before");
      }
      must(std::move(cursor).close(), "cursor close");
    }
    must(std::move(txn).commit(), "commit");
  });
  return {secs, bytes_written() - before};
}

// The same number of bytes written sequentially and made durable once.
double floor_write(const std::string& path, uint64_t bytes) {
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  check(fd >= 0, "open failed");
  std::vector<uint8_t> chunk(size_t{1} << 20, 0x5A);
  const double secs = seconds_of([&] {
    for (uint64_t off = 0; off < bytes; off += chunk.size()) {
      const size_t len = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - off));
      check(::pwrite(fd, chunk.data(), len, static_cast<off_t>(off)) ==
                static_cast<ssize_t>(len),
            "pwrite failed");
    }
    check(::fdatasync(fd) == 0, "fdatasync failed");
  });
  ::close(fd);
  ::unlink(path.c_str());
  return secs;
}

// ---- Lookups ---------------------------------------------------------------------------

// `threads` threads share `probes` between them, each in a read transaction of
// its own. Every probe must hit.
double engine_lookups(const storage::ReadOnlyDatabase& db,
                      const std::vector<uint64_t>& probes, size_t threads) {
  std::atomic<uint64_t> hits{0};
  const double secs = seconds_of([&] {
    std::vector<std::thread> workers;
    const size_t per = probes.size() / threads;
    for (size_t t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        storage::ReadTransaction txn = must(db.begin_read(), "begin_read");
        auto table = must(txn.open_table<U64Codec, BytesCodec>(kTable), "open_table");
        uint64_t local = 0;
        const size_t end = t + 1 == threads ? probes.size() : (t + 1) * per;
        for (size_t i = t * per; i < end; ++i) {
          auto found = must(table.get(probes[i]), "get");
          local += found.has_value() && found->bytes().size() == kValueBytes;
        }
        hits += local;
      });
    }
    for (auto& w : workers) w.join();
  });
  check(hits == probes.size(), "a stored key was not found");
  return secs;
}

double map_lookups(const std::map<uint64_t, Value>& map, const std::vector<uint64_t>& probes,
                   size_t threads) {
  std::atomic<uint64_t> hits{0};
  const double secs = seconds_of([&] {
    std::vector<std::thread> workers;
    const size_t per = probes.size() / threads;
    for (size_t t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        uint64_t local = 0;
        const size_t end = t + 1 == threads ? probes.size() : (t + 1) * per;
        for (size_t i = t * per; i < end; ++i) {
          auto it = map.find(probes[i]);
          local += it != map.end() && it->second[0] == static_cast<uint8_t>(probes[i]);
        }
        hits += local;
      });
    }
    for (auto& w : workers) w.join();
  });
  check(hits == probes.size(), "a map key was not found");
  return secs;
}

// ---- Scan ------------------------------------------------------------------------------

double engine_scan(const storage::ReadOnlyDatabase& db, uint64_t n) {
  uint64_t count = 0;
  uint64_t sum = 0;
  const double secs = seconds_of([&] {
    storage::ReadTransaction txn = must(db.begin_read(), "begin_read");
    auto table = must(txn.open_table<U64Codec, BytesCodec>(kTable), "open_table");
    auto range = must(table.iter(), "iter");
    while (auto entry = range.next()) {
      auto [key, value] = must(std::move(*entry), "next");
      sum += key.value() + value.bytes()[0];
      ++count;
    }
  });
  check(count == n && sum != 0, "scan count");
  return secs;
}

double map_scan(const std::map<uint64_t, Value>& map) {
  uint64_t sum = 0;
  const double secs = seconds_of([&] {
    for (const auto& [k, v] : map) sum += k + v[0];
  });
  check(sum != 0, "map scan");
  return secs;
}

// ---- Random inserts --------------------------------------------------------------------

struct InsertTimes {
  double inserts = 0;
  double commit = 0;
};

InsertTimes engine_inserts(const std::string& path, const std::vector<uint64_t>& keys) {
  storage::Database db = create_database(path);
  InsertTimes out;
  storage::WriteTransaction txn = must(db.begin_write(), "begin_write");
  {
    auto table = must(txn.open_table<U64Codec, BytesCodec>(kTable), "open_table");
    out.inserts = seconds_of([&] {
      for (uint64_t key : keys) {
        const Value v = value_for(key);
        must(table.insert(key, ByteView(v)), "insert");
      }
    });
  }
  out.commit = seconds_of([&] { must(std::move(txn).commit(), "commit"); });
  return out;
}

double map_inserts(const std::vector<uint64_t>& keys) {
  std::map<uint64_t, Value> map;
  return seconds_of([&] {
    for (uint64_t key : keys) map.insert_or_assign(key, value_for(key));
  });
}

// ---- Small durable commits -------------------------------------------------------------

// Per-commit latencies, seconds.
// Per-commit latencies, seconds; `bytes` receives what the commits wrote.
std::vector<double> engine_commits(const std::string& path, uint64_t commits, uint64_t* bytes) {
  storage::Database db = create_database(path);
  const uint64_t before = bytes_written();
  std::vector<double> each;
  each.reserve(commits);
  for (uint64_t i = 0; i < commits; ++i) {
    each.push_back(seconds_of([&] {
      storage::WriteTransaction txn = must(db.begin_write(), "begin_write");
      {
        auto table = must(txn.open_table<U64Codec, BytesCodec>(kTable), "open_table");
        const Value v = value_for(i);
        must(table.insert(i, ByteView(v)), "insert");
      }
      must(std::move(txn).commit(), "commit");
    }));
  }
  *bytes = bytes_written() - before;
  return each;
}

std::vector<double> floor_commits(const std::string& path, uint64_t commits, size_t bytes) {
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  check(fd >= 0, "open failed");
  std::vector<uint8_t> page(std::max<size_t>(bytes, 1), 0x5A);
  std::vector<double> each;
  each.reserve(commits);
  for (uint64_t i = 0; i < commits; ++i) {
    each.push_back(seconds_of([&] {
      check(::pwrite(fd, page.data(), page.size(), static_cast<off_t>((i % 256) * page.size())) ==
                static_cast<ssize_t>(page.size()),
            "pwrite failed");
      check(::fdatasync(fd) == 0, "fdatasync failed");
    }));
  }
  ::close(fd);
  ::unlink(path.c_str());
  return each;
}

// ---- Output ----------------------------------------------------------------------------

void row(const char* what, double count, double secs, double base_secs, const char* base) {
  const double rate = count / secs;
  const double base_rate = count / base_secs;
  std::printf("%-30s %12.0f/s %9.3f s   %-22s %12.0f/s   ratio %6.2f\n", what, rate, secs, base,
              base_rate, rate / base_rate);
}

uint64_t scaled(double scale, uint64_t n) {
  return std::max<uint64_t>(1000, static_cast<uint64_t>(static_cast<double>(n) * scale));
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = argc > 1 ? argv[1] : (tmp != nullptr ? tmp : "/tmp");
  const std::string path = dir + "/bench-engine-" + std::to_string(::getpid()) + ".db";
  const std::string floor_path = path + ".floor";
  const char* scale_env = std::getenv("RS_BENCH_ENGINE_SCALE");
  const double scale = scale_env != nullptr ? std::atof(scale_env) : 1.0;
  const char* reps_env = std::getenv("RS_BENCH_ENGINE_REPS");
  const int reps = std::max(1, reps_env != nullptr ? std::atoi(reps_env) : 3);

  const uint64_t n = scaled(scale, 10'000'000);
  const uint64_t lookups = scaled(scale, 5'000'000);
  const uint64_t inserts = scaled(scale, 1'000'000);
  const uint64_t commits = scaled(scale, 10'000);
  const size_t threads = 8;
  const char* only_env = std::getenv("RS_BENCH_ENGINE_ONLY");
  const std::string only = only_env != nullptr ? "," + std::string(only_env) + "," : "";
  const auto wanted = [&](const char* name) {
    return only.empty() || only.find("," + std::string(name) + ",") != std::string::npos;
  };

  std::printf("Engine, public table API (%s; median of %d; ratio = engine rate / baseline rate)\n",
              dir.c_str(), reps);

  // Sorted load; the last file stays for the reads.
  std::vector<double> load, floor;
  uint64_t bytes = 0;
  const bool reads = wanted("lookups") || wanted("scan");
  const int load_reps = wanted("load") ? reps : reads ? 1 : 0;
  for (int r = 0; r < load_reps; ++r) {
    const LoadFigures figures = engine_sorted_load(path, n);
    load.push_back(figures.secs);
    bytes = figures.bytes;
    if (wanted("load")) floor.push_back(floor_write(floor_path, bytes));
  }
  if (wanted("load")) {
    std::printf("sorted load: %llu records, %.1f MiB written, file %.1f MiB\n",
                static_cast<unsigned long long>(n), static_cast<double>(bytes) / (1 << 20),
                static_cast<double>(file_size(path)) / (1 << 20));
    row("sorted load, durable commit", static_cast<double>(n), median(load), median(floor),
        "pwrite+fdatasync floor");
  }

  std::map<uint64_t, Value> map;
  if (reads) {
    for (uint64_t i = 0; i < n; ++i) map.emplace_hint(map.end(), key_at(i), value_for(key_at(i)));
  }
  std::mt19937_64 rng(20261210);
  std::vector<uint64_t> probes(lookups);
  for (auto& p : probes) p = key_at(rng() % n);

  std::optional<storage::ReadOnlyDatabase> db;
  if (reads) db.emplace(must(storage::ReadOnlyDatabase::open(path), "read-only open"));
  for (size_t t : {size_t{1}, threads}) {
    if (!wanted("lookups")) break;
    std::vector<double> mine, theirs;
    for (int r = 0; r < reps; ++r) {
      mine.push_back(engine_lookups(*db, probes, t));
      theirs.push_back(map_lookups(map, probes, t));
    }
    const std::string label = "random lookups, " + std::to_string(t) + " thread" +
                              (t == 1 ? "" : "s");
    row(label.c_str(), static_cast<double>(lookups), median(mine), median(theirs),
        "std::map::find");
  }

  if (wanted("scan")) {
    std::vector<double> mine, theirs;
    for (int r = 0; r < reps; ++r) {
      mine.push_back(engine_scan(*db, n));
      theirs.push_back(map_scan(map));
    }
    row("full scan", static_cast<double>(n), median(mine), median(theirs), "std::map iteration");
  }
  db.reset();
  map.clear();
  ::unlink(path.c_str());

  if (wanted("inserts")) {
    std::vector<uint64_t> keys(inserts);
    for (auto& k : keys) k = rng();
    std::vector<double> mine, with_commit, theirs;
    for (int r = 0; r < reps; ++r) {
      const InsertTimes t = engine_inserts(path, keys);
      mine.push_back(t.inserts);
      with_commit.push_back(t.inserts + t.commit);
      theirs.push_back(map_inserts(keys));
    }
    ::unlink(path.c_str());
    row("random inserts, one txn", static_cast<double>(inserts), median(mine), median(theirs),
        "std::map insert");
    row("  the same with its commit", static_cast<double>(inserts), median(with_commit),
        median(theirs), "std::map insert");
  }

  if (wanted("commits")) {
    uint64_t written = 0;
    const std::vector<double> mine = engine_commits(path, commits, &written);
    ::unlink(path.c_str());
    const size_t per_commit = static_cast<size_t>(written / commits);
    const std::vector<double> theirs = floor_commits(floor_path, commits, per_commit);
    double total = 0, base_total = 0;
    for (double s : mine) total += s;
    for (double s : theirs) base_total += s;
    row("small durable commits", static_cast<double>(commits), total, base_total,
        "pwrite+fdatasync floor");
    std::printf("  median commit %.3f ms, floor %.3f ms; %zu bytes written per commit\n",
                median(mine) * 1e3, median(theirs) * 1e3, per_commit);
  }
  return 0;
}
