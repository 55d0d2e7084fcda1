// Page cache figures beside their baseline, a bare pread64 of the same page:
// read hits with 1, 2, 4 and 8 threads, read misses (budget 0), and lending
// fresh pages under a 128 MiB budget, which writes pages back as it goes.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/src/tree_store/page_store/cached_file.h"
#include "storage/src/tree_store/page_store/file_backend.h"

namespace {

using storage::FileBackend;
using storage::PagedCachedFile;
using storage::PageReadHint;

constexpr size_t kPage = 4096;
constexpr size_t kFilePages = 16384;  // 64 MiB
constexpr size_t kHotPages = 4096;    // 16 MiB read-hit working set

// One file per cache: each open takes the file's exclusive lock.
std::vector<std::string>& bench_files() {
  static std::vector<std::string> files;
  return files;
}

std::string new_bench_file() {
  char tmpl[] = "/tmp/page-cache-bench-XXXXXX";
  const int fd = ::mkstemp(tmpl);
  if (fd < 0) std::abort();
  std::vector<uint8_t> page(kPage, 0x5A);
  for (size_t p = 0; p < kFilePages; ++p) {
    if (::pwrite(fd, page.data(), kPage, static_cast<off_t>(p * kPage)) != kPage) std::abort();
  }
  ::close(fd);
  if (bench_files().empty()) {
    std::atexit([] {
      for (const auto& f : bench_files()) ::unlink(f.c_str());
    });
  }
  bench_files().push_back(tmpl);
  return tmpl;
}

std::unique_ptr<PagedCachedFile> open_cache(size_t budget, const std::string& path) {
  auto backend = FileBackend::open_writable(path);
  if (!backend.ok()) std::abort();
  return std::make_unique<PagedCachedFile>(std::move(backend).value(), kPage, budget);
}

PagedCachedFile& hot_cache() {
  static std::unique_ptr<PagedCachedFile> cache = [] {
    auto c = open_cache(size_t{1} << 30, new_bench_file());
    for (size_t p = 0; p < kHotPages; ++p) {
      if (!c->read(p * kPage, kPage, PageReadHint::kCommitted).ok()) std::abort();
    }
    return c;
  }();
  return *cache;
}

void BM_PreadBaseline(benchmark::State& state) {
  static const std::string path = new_bench_file();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<uint8_t> buf(kPage);
  std::mt19937_64 rng(1);
  for (auto _ : state) {
    const off_t off = static_cast<off_t>((rng() % kHotPages) * kPage);
    if (::pread64(fd, buf.data(), kPage, off) != kPage) std::abort();
    benchmark::DoNotOptimize(buf.data());
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PreadBaseline);

void BM_ReadHit(benchmark::State& state) {
  PagedCachedFile& cache = hot_cache();
  std::mt19937_64 rng(100 + static_cast<uint64_t>(state.thread_index()));
  for (auto _ : state) {
    auto r = cache.read((rng() % kHotPages) * kPage, kPage, PageReadHint::kCommitted);
    benchmark::DoNotOptimize(r.value().data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadHit)->Threads(1)->Threads(2)->Threads(4)->Threads(8)->UseRealTime();

void BM_ReadMiss(benchmark::State& state) {
  static const std::string path = new_bench_file();
  auto cache = open_cache(0, path);
  std::mt19937_64 rng(2);
  for (auto _ : state) {
    auto r = cache->read((rng() % kHotPages) * kPage, kPage, PageReadHint::kCommitted);
    benchmark::DoNotOptimize(r.value().data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadMiss);

// Lends page after page with overwrite, each changed and given back, cycling
// over twice the budget, so the write buffer keeps writing back half of it.
void BM_LendUnder128MiB(benchmark::State& state) {
  constexpr size_t kBudget = size_t{128} << 20;
  constexpr size_t kPages = 2 * kBudget / kPage;
  static const std::string path = new_bench_file();
  auto cache = open_cache(kBudget, path);
  size_t next = 0;
  for (auto _ : state) {
    auto lent = cache->write((next++ % kPages) * kPage, kPage, true);
    lent.value().mutable_data_if_unique()[0] = static_cast<uint8_t>(next);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPage));
  if (!cache->flush_write_buffer().ok()) std::abort();
  if (!cache->resize(kFilePages * kPage).ok()) std::abort();
}
BENCHMARK(BM_LendUnder128MiB)->Iterations(200000);

}  // namespace

BENCHMARK_MAIN();
