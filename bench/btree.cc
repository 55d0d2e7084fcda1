// The engine's first end-to-end figures, on the page store and the B-tree over
// a real file (no transactions yet), each beside an in-process baseline in the
// same run:
//   1. sorted load of N u64 keys with 45-byte values through splice_insert_run
//      (1 MiB runs, as the write cursor flushes them), checksums and a durable
//      commit; beside the I/O floor (the same bytes written with sequential
//      pwrite and one fdatasync) and std::map built from the sorted input;
//   2. N/2 random point lookups of existing keys in the committed tree, warm;
//      beside std::map::find;
//   3. N/10 random inserts of new keys in a second write transaction; beside
//      std::map::insert;
//   4. the same sorted load as 1, through the write cursor (BtreeCursorMut:
//      one seek, N inserts, finish), checksums and a durable commit, into a
//      second file; beside line 1's direct splices.
// N is 10,000,000 unless given as the first argument or BENCH_BTREE_N; the
// file goes to TMPDIR (or /tmp). BENCH_BTREE_LOAD_ONLY stops after step 1's
// load, and BENCH_BTREE_CURSOR_ONLY runs step 4 alone, for profiling them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
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

void row(const char* what, uint64_t records, double ours_s, const char* base, double base_s) {
  const double ours = records / ours_s;
  const double theirs = records / base_s;
  std::printf("%-34s %12.0f  %-28s %12.0f  %6.2f\n", what, ours, base, theirs, ours / theirs);
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
  const uint64_t lookups = n / 2;
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
  const double floor_s = io_floor(floor_path, load.bytes);
  const double cursor_s = cursor_load(path + ".cursor", n);
  std::map<uint64_t, Value> map;
  auto t0 = Clock::now();
  for (uint64_t i = 0; i < n; ++i) map.emplace_hint(map.end(), i * 2, value_of(i * 2));
  const double map_load_s = seconds_since(t0);

  // 2. Warm point lookups of existing keys in the committed tree.
  std::mt19937_64 rng(42);
  std::vector<uint64_t> probes(lookups);
  for (auto& k : probes) k = (rng() % n) * 2;
  auto tree = must(Btree<U64Codec, BytesCodec>::create(load.root, PageReadHint::kCommitted,
                                                       nullptr, page_source_of(mem)),
                   "tree");
  uint64_t found = 0;
  for (uint64_t i = 0; i < lookups / 10; ++i) found += must(tree.get(probes[i]), "get").has_value();
  found = 0;
  t0 = Clock::now();
  for (uint64_t k : probes) {
    auto got = must(tree.get(k), "get");
    found += got.has_value() && got->bytes().size() == 45;
  }
  const double get_s = seconds_since(t0);
  if (found != lookups) std::fprintf(stderr, "lookups found %llu of %llu\n",
                                     static_cast<unsigned long long>(found),
                                     static_cast<unsigned long long>(lookups));
  t0 = Clock::now();
  uint64_t map_found = 0;
  for (uint64_t k : probes) map_found += map.find(k) != map.end();
  const double map_get_s = seconds_since(t0);
  if (map_found != lookups) std::exit(1);

  // 3. Random inserts of new (odd) keys in a second write transaction.
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
  row("random point lookups (warm)", lookups, get_s, "std::map::find", map_get_s);
  row("random inserts", inserts, insert_s, "std::map::insert", map_insert_s);
  row("sorted load via write cursor", n, cursor_s, "direct splice_insert_run", load_s);
  std::printf("sorted load: splice %.2f s, checksums %.2f s, commit %.2f s; %.1f MiB written, "
              "floor %.2f s\n",
              load.splice_s, load.finalize_s, load.commit_s, load.bytes / 1048576.0, floor_s);
  must(mem->close(), "close");
  ::unlink(path.c_str());
  return 0;
}
