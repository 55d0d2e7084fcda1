// The engine's first end-to-end figures, on the page store and the B-tree over
// a real file (no transactions yet), each beside an in-process baseline in the
// same run:
//   1. sorted load of N u64 keys with 45-byte values through splice_insert_run
//      (1 MiB runs, as the write cursor flushes them), checksums and a durable
//      commit; beside the I/O floor (the same bytes written with sequential
//      pwrite and one fdatasync) and std::map built from the sorted input;
//   2. random point lookups in the committed tree, warm, with 1, 4 and 8
//      threads, each with its own read handle on the same tree: L hits (keys
//      present) and L misses (absent keys inside the key range) per thread;
//      beside std::map::find over the same keys with as many threads;
//   3. N/10 random inserts of new keys in a second write transaction; beside
//      std::map::insert;
//   4. the same sorted load as 1, through the write cursor (BtreeCursorMut:
//      one seek, N inserts, finish), checksums and a durable commit, into a
//      second file; beside line 1's direct splices.
// N is 10,000,000 unless given as the first argument or BENCH_BTREE_N; L is
// 5,000,000 unless given as BENCH_BTREE_LOOKUPS. The file goes to TMPDIR (or
// /tmp). BENCH_BTREE_LOAD_ONLY stops after step 1's load, BENCH_BTREE_CURSOR_ONLY
// runs step 4 alone, and BENCH_BTREE_LOOKUPS_ONLY runs steps 1 and 2 alone (no
// I/O floor or cursor load), for profiling them; BENCH_BTREE_THREADS (e.g. "8")
// picks step 2's thread counts.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/btree_cursor_mut.h"
#include "storage/src/tree_store/btree_mutator.h"
#include "storage/src/tree_store/page_store/file_backend.h"
#include "storage/src/tree_store/page_store/page_manager.h"

namespace {

using namespace storage;
using Clock = std::chrono::steady_clock;
using Value = std::array<uint8_t, 45>;
constexpr size_t kPage = 4096;
constexpr size_t kRunBytes = size_t{1} << 20;
constexpr TreeDescriptor kTree = tree_descriptor<U64Codec, BytesCodec>();

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

template <typename T, typename E>
T must(Result<T, E> r, const char* what) {
  if (!r.ok()) {
    std::fprintf(stderr, "%s failed\n", what);
    std::exit(1);
  }
  if constexpr (!std::is_void_v<T>) return std::move(r).value();
}

Value value_of(uint64_t key) {
  Value v;
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(key * 31 + i);
  return v;
}

// The path to the last leaf, and that leaf's pairs put in the buffer: where
// the write cursor stands after the tree's last key.
std::optional<LeafPath> last_leaf(const WritablePageSource& pages,
                                  std::optional<BtreeHeader> root, OwnedEntryBuffer& buffer) {
  if (!root) return std::nullopt;
  LeafPath path;
  PageImpl page = must(pages.get_page(root->root, PageReadHint::kMayBeDirty), "read");
  while (page.memory()[0] == kBranchPageType) {
    BranchAccessor branch = must(BranchAccessor::create(page, kTree), "branch");
    const size_t last = branch.num_keys();
    PageImpl child = must(pages.get_page(branch.child_page(last), PageReadHint::kMayBeDirty),
                          "read");
    path.branches.push_back(LeafPathStep{std::move(page), last});
    page = std::move(child);
  }
  path.leaf = page.get_page_number();
  LeafAccessor leaf = must(LeafAccessor::create(page, kTree), "leaf");
  must(buffer.extend_from_leaf_range(leaf, 0, leaf.num_pairs(), true), "extend");
  return path;
}

struct Load {
  double splice_s;
  double finalize_s;
  double commit_s;
  size_t bytes;
  std::optional<BtreeHeader> root;
};

Load sorted_load(const std::shared_ptr<TransactionalMemory>& mem, PageAllocator& allocator,
                 uint64_t n) {
  auto pages = page_source_of(allocator);
  auto tracker = PageTracker::create_disabled();
  std::vector<PageNumber> freed;
  std::optional<BtreeHeader> root;
  OwnedEntryBuffer buffer;  // one staging buffer, reused for every run
  const auto t0 = Clock::now();
  uint64_t next = 0;
  while (next < n) {
    buffer.clear();
    std::optional<LeafPath> path = last_leaf(*pages, root, buffer);
    uint64_t inserted = 0;
    while (next < n && buffer.data_len() < kRunBytes) {
      const auto key = U64Codec::as_bytes(next * 2);
      const Value value = value_of(next * 2);
      buffer.push_back(ByteView(key), ByteView(value));
      ++inserted;
      ++next;
    }
    MutateHelper helper(root, *pages, freed, tracker, kTree);
    must(helper.splice_insert_run(std::move(path), buffer, inserted), "splice");
  }
  const double splice_s = seconds_since(t0);
  auto t1 = Clock::now();
  auto shared = std::make_shared<Mutex<std::vector<PageNumber>>>();
  UntypedBtreeMut tree(root, kTree, pages, shared, tracker);
  root = must(tree.finalize_dirty_checksums(), "finalize");
  const double finalize_s = seconds_since(t1);
  t1 = Clock::now();
  must(mem->commit(root, std::nullopt, TransactionId(1), false, TrimPolicy::kNever), "commit");
  const double commit_s = seconds_since(t1);
  const size_t written = allocator.take_allocated_since_commit().size() * kPage;
  return Load{splice_s, finalize_s, commit_s, written, root};
}

// Line 1's load through the write cursor, then checksums and a durable commit.
double cursor_load(const std::string& path, uint64_t n) {
  ::unlink(path.c_str());
  auto file = must(FileBackend::open_writable(path), "open");
  auto mem = must(TransactionalMemory::open(std::move(file), true, kPage, std::nullopt,
                                            size_t{2} << 30, false),
                  "page store open");
  must(mem->begin_writable(), "begin_writable");
  must(mem->reset_allocator_state(), "reset_allocator_state");
  PageAllocator allocator(mem, AllocationPolicy::kAny);
  auto pages = page_source_of(allocator);
  auto tracker = PageTracker::create_disabled();
  auto shared = std::make_shared<Mutex<std::vector<PageNumber>>>();
  std::optional<BtreeHeader> root;
  const auto t0 = Clock::now();
  {
    BtreeCursorMut cursor(root, pages, tracker, shared);
    must(cursor.seek_upper_bound(EncodedBound::unbounded()), "seek");
    for (uint64_t i = 0; i < n; ++i) {
      const auto key = U64Codec::as_bytes(i * 2);
      const Value value = value_of(i * 2);
      if (!must(cursor.insert_before(ByteView(key), ByteView(value)), "insert")) std::exit(1);
    }
    must(cursor.finish(), "finish");
  }
  UntypedBtreeMut tree(root, kTree, pages, shared, tracker);
  root = must(tree.finalize_dirty_checksums(), "finalize");
  must(mem->commit(root, std::nullopt, TransactionId(1), false, TrimPolicy::kNever), "commit");
  const double s = seconds_since(t0);
  if (!root || root->length != n) std::exit(1);
  must(mem->close(), "close");
  ::unlink(path.c_str());
  return s;
}

// The same number of bytes, written sequentially in 1 MiB pwrites, then synced.
double io_floor(const std::string& path, size_t bytes) {
  ::unlink(path.c_str());
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::exit(1);
  std::vector<uint8_t> chunk(kRunBytes, 0x5A);
  const auto t0 = Clock::now();
  for (size_t off = 0; off < bytes; off += chunk.size()) {
    const size_t len = std::min(chunk.size(), bytes - off);
    if (::pwrite(fd, chunk.data(), len, static_cast<off_t>(off)) != static_cast<ssize_t>(len)) {
      std::exit(1);
    }
  }
  if (::fdatasync(fd) != 0) std::exit(1);
  const double s = seconds_since(t0);
  ::close(fd);
  ::unlink(path.c_str());
  return s;
}

// Keys present (even) or absent but inside the key range (odd), one list per
// thread, each from its own seed.
std::vector<std::vector<uint64_t>> probe_lists(size_t threads, uint64_t count, uint64_t n,
                                               bool hits, uint64_t seed) {
  std::vector<std::vector<uint64_t>> lists(threads);
  for (size_t t = 0; t < threads; ++t) {
    std::mt19937_64 rng(seed + 7919 * t + (hits ? 0 : 104729));
    lists[t].resize(count);
    for (auto& k : lists[t]) k = (rng() % n) * 2 + (hits ? 0 : 1);
  }
  return lists;
}

double thread_cpu_seconds() {
  timespec ts;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Timing {
  double wall_s;  // from the common start to the last thread's end
  double cpu_s;   // the threads' CPU time, summed
};

// Runs `body(thread, probes)` on one thread per list, all started together. On
// a shared machine the threads' CPU time shows the cost apart from waiting
// for a core.
template <typename F>
Timing run_threads(const std::vector<std::vector<uint64_t>>& lists, F body) {
  std::atomic<size_t> ready{0};
  std::atomic<bool> go{false};
  std::vector<double> ends(lists.size());
  std::vector<double> cpu(lists.size());
  Clock::time_point start;
  std::vector<std::thread> threads;
  for (size_t t = 0; t < lists.size(); ++t) {
    threads.emplace_back([&, t] {
      auto prepared = body.prepare();
      ready.fetch_add(1);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      const double cpu0 = thread_cpu_seconds();
      body.run(prepared, lists[t]);
      ends[t] = seconds_since(start);
      cpu[t] = thread_cpu_seconds() - cpu0;
    });
  }
  while (ready.load() != lists.size()) std::this_thread::yield();
  start = Clock::now();
  go.store(true, std::memory_order_release);
  for (auto& th : threads) th.join();
  Timing out{0, 0};
  for (double e : ends) out.wall_s = std::max(out.wall_s, e);
  for (double c : cpu) out.cpu_s += c;
  return out;
}

// Each thread opens its own read handle on the committed tree.
struct TreeLookups {
  std::shared_ptr<TransactionalMemory> mem;
  std::optional<BtreeHeader> root;
  bool expect_found;
  std::atomic<uint64_t>* wrong;

  Btree<U64Codec, BytesCodec> prepare() const {
    return must(Btree<U64Codec, BytesCodec>::create(root, PageReadHint::kCommitted, nullptr,
                                                    page_source_of(mem)),
                "tree");
  }
  void run(const Btree<U64Codec, BytesCodec>& tree, const std::vector<uint64_t>& keys) const {
    uint64_t bad = 0;
    for (uint64_t k : keys) {
      auto got = must(tree.get(k), "get");
      if (expect_found) {
        bad += !(got.has_value() && got->bytes().size() == 45);
      } else {
        bad += got.has_value();
      }
    }
    wrong->fetch_add(bad);
  }
};

struct MapLookups {
  const std::map<uint64_t, Value>* map;
  bool expect_found;
  std::atomic<uint64_t>* wrong;

  int prepare() const { return 0; }
  void run(int, const std::vector<uint64_t>& keys) const {
    uint64_t bad = 0;
    for (uint64_t k : keys) bad += (map->find(k) != map->end()) != expect_found;
    wrong->fetch_add(bad);
  }
};

void row(const char* what, uint64_t records, double ours_s, const char* base, double base_s) {
  const double ours = records / ours_s;
  const double theirs = records / base_s;
  std::printf("%-34s %12.0f  %-28s %12.0f  %6.2f\n", what, ours, base, theirs, ours / theirs);
}

struct LookupRow {
  size_t threads;
  bool hits;
  Timing ours;
  Timing map;
};

// Lookups per second of wall time (all threads together), then per second of
// CPU time per thread, each beside std::map::find with as many threads.
void print_lookups(const std::vector<LookupRow>& rows, uint64_t per_thread) {
  std::printf("%-34s %12s  %-28s %12s  %6s\n", "lookups (warm), per second", "ours",
              "baseline", "baseline", "ratio");
  for (const auto& r : rows) {
    char what[64];
    char base[64];
    const char* plural = r.threads == 1 ? "" : "s";
    std::snprintf(what, sizeof what, "%s, %zu thread%s, wall", r.hits ? "hits" : "misses",
                  r.threads, plural);
    std::snprintf(base, sizeof base, "std::map::find, %zu thread%s", r.threads, plural);
    row(what, r.threads * per_thread, r.ours.wall_s, base, r.map.wall_s);
    std::snprintf(what, sizeof what, "%s, %zu thread%s, per CPU-s", r.hits ? "hits" : "misses",
                  r.threads, plural);
    row(what, r.threads * per_thread, r.ours.cpu_s, base, r.map.cpu_s);
  }
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t n = 10'000'000;
  if (const char* env = std::getenv("BENCH_BTREE_N")) n = std::strtoull(env, nullptr, 10);
  if (argc > 1) n = std::strtoull(argv[1], nullptr, 10);
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = tmp != nullptr ? tmp : "/tmp";
  const std::string path = dir + "/bench-btree-" + std::to_string(::getpid()) + ".db";
  const std::string floor_path = path + ".floor";
  uint64_t lookups = 5'000'000;
  if (const char* env = std::getenv("BENCH_BTREE_LOOKUPS")) {
    lookups = std::strtoull(env, nullptr, 10);
  }
  const uint64_t inserts = n / 10;

  ::unlink(path.c_str());
  auto file = must(FileBackend::open_writable(path), "open");
  auto mem = must(TransactionalMemory::open(std::move(file), true, kPage, std::nullopt,
                                            size_t{2} << 30, false),
                  "page store open");
  must(mem->begin_writable(), "begin_writable");
  must(mem->reset_allocator_state(), "reset_allocator_state");
  PageAllocator allocator(mem, AllocationPolicy::kAny);

  if (std::getenv("BENCH_BTREE_CURSOR_ONLY") != nullptr) {  // for profiling line 4 alone
    std::printf("sorted load via write cursor: %.2f s\n", cursor_load(path + ".cursor", n));
    return 0;
  }
  // 1. Sorted load.
  const Load load = sorted_load(mem, allocator, n);
  const double load_s = load.splice_s + load.finalize_s + load.commit_s;
  if (std::getenv("BENCH_BTREE_LOAD_ONLY") != nullptr) {  // for profiling the load alone
    std::printf("sorted load: splice %.2f s, checksums %.2f s, commit %.2f s\n", load.splice_s,
                load.finalize_s, load.commit_s);
    return 0;
  }
  const bool lookups_only = std::getenv("BENCH_BTREE_LOOKUPS_ONLY") != nullptr;
  const double floor_s = lookups_only ? 0 : io_floor(floor_path, load.bytes);
  const double cursor_s = lookups_only ? 0 : cursor_load(path + ".cursor", n);
  std::map<uint64_t, Value> map;
  auto t0 = Clock::now();
  for (uint64_t i = 0; i < n; ++i) map.emplace_hint(map.end(), i * 2, value_of(i * 2));
  const double map_load_s = seconds_since(t0);

  // 2. Warm point lookups, 1, 4 and 8 threads, each with its own read handle.
  std::atomic<uint64_t> wrong{0};
  std::vector<LookupRow> lookup_rows;
  {
    // One warming pass over every leaf, in key order, so that every page of the
    // tree is in the read cache before anything is timed.
    std::vector<std::vector<uint64_t>> warm(1);
    for (uint64_t i = 0; i < n; i += 32) warm[0].push_back(i * 2);
    run_threads(warm, TreeLookups{mem, load.root, true, &wrong});
  }
  std::vector<size_t> thread_counts{1, 4, 8};
  if (const char* env = std::getenv("BENCH_BTREE_THREADS")) {
    thread_counts.clear();
    for (const char* at = env; *at != '\0';) {
      char* end = nullptr;
      const size_t t = std::strtoull(at, &end, 10);
      if (end == at) break;
      if (t > 0) thread_counts.push_back(t);
      at = *end == ',' ? end + 1 : end;
    }
  }
  for (size_t threads : thread_counts) {
    for (bool hits : {true, false}) {
      const auto lists = probe_lists(threads, lookups, n, hits, 42);
      const Timing ours = run_threads(lists, TreeLookups{mem, load.root, hits, &wrong});
      const Timing map_t = run_threads(lists, MapLookups{&map, hits, &wrong});
      lookup_rows.push_back(LookupRow{threads, hits, ours, map_t});
    }
  }
  if (wrong.load() != 0) {
    std::fprintf(stderr, "%llu lookups answered wrongly\n",
                 static_cast<unsigned long long>(wrong.load()));
    std::exit(1);
  }
  if (lookups_only) {
    print_lookups(lookup_rows, lookups);
    must(mem->close(), "close");
    ::unlink(path.c_str());
    return 0;
  }

  // 3. Random inserts of new (odd) keys in a second write transaction.
  std::mt19937_64 rng(42);
  std::vector<uint64_t> fresh(inserts);
  for (auto& k : fresh) k = (rng() % n) * 2 + 1;
  BtreeMut<U64Codec, BytesCodec> writer(load.root, nullptr, allocator,
                                        std::make_shared<Mutex<std::vector<PageNumber>>>(),
                                        PageTracker::create_disabled());
  t0 = Clock::now();
  for (uint64_t k : fresh) {
    const Value v = value_of(k);
    must(writer.insert(k, ByteView(v)), "insert");
  }
  const double insert_s = seconds_since(t0);
  t0 = Clock::now();
  for (uint64_t k : fresh) map.insert_or_assign(k, value_of(k));
  const double map_insert_s = seconds_since(t0);

  std::printf("B-tree on the page store, %llu u64 keys with 45-byte values (%s), records/s\n",
              static_cast<unsigned long long>(n), dir.c_str());
  std::printf("%-34s %12s  %-28s %12s  %6s\n", "", "ours", "baseline", "baseline", "ratio");
  row("sorted load + durable commit", n, load_s, "I/O floor (pwrite+fdatasync)", floor_s);
  row("sorted load + durable commit", n, load_s, "std::map from sorted input", map_load_s);
  print_lookups(lookup_rows, lookups);
  row("random inserts", inserts, insert_s, "std::map::insert", map_insert_s);
  row("sorted load via write cursor", n, cursor_s, "direct splice_insert_run", load_s);
  std::printf("sorted load: splice %.2f s, checksums %.2f s, commit %.2f s; %.1f MiB written, "
              "floor %.2f s\n",
              load.splice_s, load.finalize_s, load.commit_s, load.bytes / 1048576.0, floor_s);
  must(mem->close(), "close");
  ::unlink(path.c_str());
  return 0;
}
