// What opening a cleanly closed file costs: a writable open (which checks the
// saved allocator state against the pages the newest commit uses) beside a
// read-only open of the same file, with the file's pages dropped from the OS
// cache first (cold) or just read (warm), and the peak RSS of the process
// that opened it (VmHWM, which unlike ru_maxrss starts afresh at exec).
//
//   tables20k   20,000 tables of 120 u64 keys to 80-byte values (~500 MiB)
//   tables2k    2,000 such tables
//   multimap    one multimap table: 4,000 keys, each a subtree of 4,000 u64
//               values (~260 MiB)
//   big         one table of 4,000-byte values (~2.2 GiB)
//
// Each open runs in a fresh process (this program, started again), so that
// its peak RSS is its own; times are medians of the repetitions. Cold opens
// drop the file with posix_fadvise(POSIX_FADV_DONTNEED) after an fsync. The
// files are written once into the directory and reused by later runs (delete
// them to rebuild), so that builds of different versions open the same bytes.
// Note that a writable open ends with a close, which commits.
//
// Usage: bench_open [directory]   (default: $TMPDIR or /tmp)
// RS_BENCH_OPEN_REPS (default 5) sets the repetitions; RS_BENCH_OPEN_ONLY
// (default all) names the files, a comma-separated subset of
// tables20k,tables2k,multimap,big.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/must.h"
#include "storage/database.h"
#include "storage/src/transactions/transaction_state.h"
#include "storage/src/tree_store/multimap_tree.h"
#include "storage/table.h"
#include "storage/transaction.h"

namespace {

using storage::BytesCodec;
using storage::ByteView;
using storage::U64Codec;
using Clock = std::chrono::steady_clock;

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

uint64_t file_size(const std::string& path) {
  struct stat st;
  check(::stat(path.c_str(), &st) == 0, "stat failed");
  return static_cast<uint64_t>(st.st_size);
}

// ---- The files ----------------------------------------------------------------------------

void write_tables(const std::string& path, size_t tables) {
  storage::Database db = must(storage::Database::builder().create(path), "create");
  const std::vector<uint8_t> value(80, 0x5A);
  constexpr size_t kPerCommit = 200;
  for (size_t first = 0; first < tables; first += kPerCommit) {
    storage::WriteTransaction txn = must(db.begin_write(), "begin_write");
    for (size_t t = first; t < std::min(tables, first + kPerCommit); ++t) {
      char name[32];
      std::snprintf(name, sizeof name, "t%06zu", t);
      auto table = must(txn.open_table<U64Codec, BytesCodec>(name), "open_table");
      for (uint64_t k = 0; k < 120; ++k) must(table.insert(k, ByteView(value)), "insert");
    }
    must(std::move(txn).commit(), "commit");
  }
  must(db.close(), "close");
}

// The engine writes no multimap table: this one is built below its public
// face, as the tests do.
void write_multimap(const std::string& path) {
  using namespace storage;
  Database db = must(Database::builder().create(path), "create");
  constexpr uint64_t kKeys = 4000;
  constexpr uint64_t kValues = 4000;
  constexpr uint64_t kPerCommit = 250;
  for (uint64_t first = 0; first < kKeys; first += kPerCommit) {
    WriteTransaction txn = must(db.begin_write(), "begin_write");
    {
      const auto& state = detail::WriteTransactionAccess::state(txn);
      auto tables = state->tables.lock_or_panic();
      auto opened = tables->table_tree.get_or_create_table<U64Codec, U64Codec>(
          "m", TableKind::kMultimap);
      check(opened.ok(), "multimap table");
      BtreeMut<U64Codec, BytesCodec> outer(opened.value().first, state->transaction_guard,
                                           state->allocator, tables->freed_pages,
                                           tables->allocated_pages);
      uint64_t length = opened.value().second;
      for (uint64_t key = first; key < first + kPerCommit; ++key) {
        BtreeMut<U64Codec, UnitCodec> subtree(std::nullopt, state->transaction_guard,
                                              state->allocator, tables->freed_pages,
                                              tables->allocated_pages);
        for (uint64_t v = 0; v < kValues; ++v) must(subtree.insert(v, Unit{}), "subtree insert");
        const auto data = DynamicCollection::make_subtree_data(*subtree.get_root());
        must(outer.insert(key, ByteView(data.data(), data.size())), "outer insert");
        length += kValues;
      }
      tables->table_tree.stage_update_table_root("m", outer.get_root(), length);
    }
    must(std::move(txn).commit(), "commit");
  }
  must(db.close(), "close");
}

void write_big(const std::string& path) {
  storage::Database db = must(storage::Database::builder().create(path), "create");
  const std::vector<uint8_t> value(4000, 0xA5);
  constexpr uint64_t kEntries = 560000;
  constexpr uint64_t kPerCommit = 20000;
  for (uint64_t first = 0; first < kEntries; first += kPerCommit) {
    storage::WriteTransaction txn = must(db.begin_write(), "begin_write");
    {
      auto table = must(txn.open_table<U64Codec, BytesCodec>("big"), "open_table");
      for (uint64_t k = first; k < first + kPerCommit; ++k) {
        must(table.insert(k, ByteView(value)), "insert");
      }
    }
    must(std::move(txn).commit(), "commit");
  }
  must(db.close(), "close");
}

// ---- One open, in a process of its own -------------------------------------------------

struct OpenFigures {
  double ms = 0;
  long max_rss_kib = 0;
};

long peak_rss_kib() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  check(f != nullptr, "cannot read /proc/self/status");
  char line[256];
  long out = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &out) == 1) break;
  }
  std::fclose(f);
  return out;
}

// The child's side: opens, reports "<ms> <max rss KiB>" on stdout.
int child_open(const std::string& mode, const std::string& path) {
  const auto start = Clock::now();
  double ms = 0;
  if (mode == "writable") {
    storage::Database db = must(storage::Database::builder().create(path), "writable open");
    ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("%.3f %ld\n", ms, peak_rss_kib());
    std::fflush(stdout);
    must(db.close(), "close");
  } else {
    auto db = must(storage::ReadOnlyDatabase::open(path), "read-only open");
    ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("%.3f %ld\n", ms, peak_rss_kib());
  }
  return 0;
}

void drop_from_os_cache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  check(fd >= 0, "open for fadvise failed");
  check(::fsync(fd) == 0, "fsync failed");
  check(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0, "fadvise failed");
  ::close(fd);
}

void warm_os_cache(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  check(fd >= 0, "open for reading failed");
  std::vector<char> chunk(size_t{1} << 20);
  while (::read(fd, chunk.data(), chunk.size()) > 0) {
  }
  ::close(fd);
}

OpenFigures run_child(const std::string& self, const std::string& mode, const std::string& path) {
  int out[2];
  check(::pipe(out) == 0, "pipe failed");
  const pid_t pid = ::fork();
  check(pid >= 0, "fork failed");
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(self.c_str(), self.c_str(), "--open", mode.c_str(), path.c_str(),
            static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  ::close(out[1]);
  std::string text;
  char buf[256];
  ssize_t n = 0;
  while ((n = ::read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the opening process failed");
  OpenFigures f;
  check(std::sscanf(text.c_str(), "%lf %ld", &f.ms, &f.max_rss_kib) == 2, "no figures");
  return f;
}

void measure(const std::string& self, const std::string& name, const std::string& path,
             int reps) {
  std::printf("%-10s %7.1f MiB\n", name.c_str(),
              static_cast<double>(file_size(path)) / (1 << 20));
  for (const char* mode : {"writable", "read-only"}) {
    for (const bool cold : {true, false}) {
      std::vector<double> ms;
      std::vector<double> rss;
      for (int r = 0; r < reps; ++r) {
        if (cold) {
          drop_from_os_cache(path);
        } else {
          warm_os_cache(path);
        }
        const OpenFigures f = run_child(self, mode, path);
        ms.push_back(f.ms);
        rss.push_back(static_cast<double>(f.max_rss_kib) / 1024.0);
      }
      std::printf("  %-9s %-4s open %9.2f ms   peak RSS %7.1f MiB\n", mode, cold ? "cold" : "warm",
                  median(ms), median(rss));
      std::fflush(stdout);
    }
  }
}

bool wanted(const char* name) {
  const char* only = std::getenv("RS_BENCH_OPEN_ONLY");
  if (only == nullptr || *only == '\0') return true;
  const std::string list = std::string(",") + only + ",";
  return list.find(std::string(",") + name + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--open") == 0) return child_open(argv[2], argv[3]);
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = argc > 1 ? argv[1] : (tmp != nullptr ? tmp : "/tmp");
  const char* reps_text = std::getenv("RS_BENCH_OPEN_REPS");
  const int reps = reps_text != nullptr ? std::max(1, std::atoi(reps_text)) : 5;
  std::string self(4096, '\0');
  const ssize_t len = ::readlink("/proc/self/exe", self.data(), self.size());
  check(len > 0, "readlink /proc/self/exe failed");
  self.resize(static_cast<size_t>(len));

  struct File {
    const char* name;
    std::function<void(const std::string&)> write;
  };
  const std::vector<File> files = {
      {"tables20k", [](const std::string& p) { write_tables(p, 20000); }},
      {"tables2k", [](const std::string& p) { write_tables(p, 2000); }},
      {"multimap", write_multimap},
      {"big", write_big},
  };
  for (const File& f : files) {
    if (!wanted(f.name)) continue;
    const std::string path = dir + "/bench_open_" + f.name + ".db";
    if (!exists(path)) {
      std::printf("writing %s\n", path.c_str());
      std::fflush(stdout);
      f.write(path);
    }
    measure(self, f.name, path, reps);
  }
  return 0;
}
