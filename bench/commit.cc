// Commit latency of the page store: non-durable, one-phase and two-phase commits
// of 1, 1,000 and 100,000 dirty 4 KiB pages, each split into the time spent in
// the backend's writes (write-back), in its syncs, and the rest. The baseline is
// the floor for the same pages: one pwrite per page and one fdatasync.
//
// Usage: bench_commit [directory]   (default: the system's temporary directory)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "bench/must.h"
#include "storage/src/tree_store/page_store/file_backend.h"
#include "storage/src/tree_store/page_store/page_manager.h"

namespace {

using storage::AllocationPolicy;
using storage::FileBackend;
using storage::IoError;
using storage::PageAllocator;
using storage::PageNumber;
using storage::PageTracker;
using storage::Result;
using storage::StorageBackend;
using storage::TransactionalMemory;
using storage::TransactionId;
using storage::TrimPolicy;
using Clock = std::chrono::steady_clock;

constexpr size_t kPage = 4096;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Time spent inside the inner backend's writes and syncs, in nanoseconds.
struct Timers {
  std::atomic<uint64_t> write_ns{0};
  std::atomic<uint64_t> sync_ns{0};
};

class TimedBackend final : public StorageBackend {
 public:
  TimedBackend(std::unique_ptr<StorageBackend> inner, Timers* timers)
      : inner_(std::move(inner)), timers_(timers) {}
  std::string debug() const override { return inner_->debug(); }
  Result<uint64_t, IoError> len() const override { return inner_->len(); }
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override {
    return inner_->read(offset, out);
  }
  Result<void, IoError> set_len(uint64_t len) const override { return inner_->set_len(len); }
  Result<void, IoError> sync_data() const override {
    const auto start = Clock::now();
    auto r = inner_->sync_data();
    timers_->sync_ns += static_cast<uint64_t>((Clock::now() - start).count());
    return r;
  }
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override {
    const auto start = Clock::now();
    auto r = inner_->write(offset, data);
    timers_->write_ns += static_cast<uint64_t>((Clock::now() - start).count());
    return r;
  }
  Result<void, IoError> close() const override { return inner_->close(); }

 private:
  std::unique_ptr<StorageBackend> inner_;
  Timers* timers_;
};

struct Figures {
  double total_ms = 0;
  double write_ms = 0;
  double sync_ms = 0;
};

enum class Kind { kNonDurable, kOnePhase, kTwoPhase };
const char* kind_name(Kind k) {
  switch (k) {
    case Kind::kNonDurable:
      return "non-durable";
    case Kind::kOnePhase:
      return "one-phase";
    case Kind::kTwoPhase:
      return "two-phase";
  }
  return "?";
}

// Median of `reps` commits of `pages` freshly written pages each.
Figures measure(const std::string& path, Kind kind, size_t pages, int reps) {
  ::unlink(path.c_str());
  Timers timers;
  auto file = must(FileBackend::open_writable(path), "open");
  auto mem = must(
      TransactionalMemory::open(std::make_unique<TimedBackend>(std::move(file), &timers), true,
                                kPage, std::nullopt, size_t{1} << 30, false),
      "page store open");
  must(mem->begin_writable(), "begin_writable");
  must(mem->reset_allocator_state(), "reset_allocator_state");
  PageAllocator allocator(mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_disabled();
  std::vector<Figures> runs;
  uint64_t id = 0;
  for (int rep = 0; rep < reps + 1; ++rep) {  // the first run grows the file
    for (size_t i = 0; i < pages; ++i) {
      auto page = must(allocator.allocate(kPage, tracker), "allocate");
      auto bytes = page.memory_mut();
      std::fill(bytes.begin(), bytes.end(), static_cast<uint8_t>(i + rep));
    }
    timers.write_ns = 0;
    timers.sync_ns = 0;
    const auto start = Clock::now();
    ++id;
    std::vector<PageNumber> unpersisted;
    if (kind == Kind::kNonDurable) {
      storage::PageNumberSet taken = allocator.take_allocated_since_commit();
      unpersisted.assign(taken.begin(), taken.end());
      must(mem->non_durable_commit(std::nullopt, std::nullopt, TransactionId(id),
                                   std::move(taken)),
           "non-durable commit");
    } else {
      must(mem->commit(std::nullopt, std::nullopt, TransactionId(id), kind == Kind::kTwoPhase,
                       TrimPolicy::kNever),
           "commit");
    }
    const double total = ms_since(start);
    if (rep > 0) runs.push_back({total, timers.write_ns / 1e6, timers.sync_ns / 1e6});
    // Every round reuses the same space.
    for (const PageNumber& p : allocator.take_allocated_since_commit()) allocator.free(p, tracker);
    for (const PageNumber& p : unpersisted) mem->free_if_unpersisted(p, *tracker);
  }
  must(mem->close(), "close");
  ::unlink(path.c_str());
  std::sort(runs.begin(), runs.end(),
            [](const Figures& a, const Figures& b) { return a.total_ms < b.total_ms; });
  return runs[runs.size() / 2];
}

// The floor: the same pages written with one pwrite each, then one fdatasync.
Figures baseline(const std::string& path, size_t pages, int reps) {
  std::vector<Figures> runs;
  std::vector<uint8_t> page(kPage, 0x5A);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::exit(1);
  for (int rep = 0; rep < reps + 1; ++rep) {
    const auto start = Clock::now();
    for (size_t i = 0; i < pages; ++i) {
      if (::pwrite(fd, page.data(), kPage, static_cast<off_t>((i + 1) * kPage)) !=
          static_cast<ssize_t>(kPage)) {
        std::exit(1);
      }
    }
    const double written = ms_since(start);
    const auto sync_start = Clock::now();
    if (::fdatasync(fd) != 0) std::exit(1);
    const double synced = ms_since(sync_start);
    if (rep > 0) runs.push_back({written + synced, written, synced});
  }
  ::close(fd);
  ::unlink(path.c_str());
  std::sort(runs.begin(), runs.end(),
            [](const Figures& a, const Figures& b) { return a.total_ms < b.total_ms; });
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = argc > 1 ? argv[1] : (tmp != nullptr ? tmp : "/tmp");
  const std::string path = dir + "/bench-commit-" + std::to_string(::getpid()) + ".db";
  std::printf("Commit latency, median of repeated commits, ms (4 KiB pages, %s)\n", dir.c_str());
  std::printf("%-22s %9s %10s %10s %10s %10s\n", "commit", "pages", "total", "write-back",
              "sync", "other");
  for (size_t pages : {size_t{1}, size_t{1000}, size_t{100000}}) {
    const int reps = pages >= 100000 ? 3 : 15;
    for (Kind kind : {Kind::kNonDurable, Kind::kOnePhase, Kind::kTwoPhase}) {
      const Figures f = measure(path, kind, pages, reps);
      std::printf("%-22s %9zu %10.3f %10.3f %10.3f %10.3f\n", kind_name(kind), pages, f.total_ms,
                  f.write_ms, f.sync_ms, f.total_ms - f.write_ms - f.sync_ms);
    }
    const Figures b = baseline(path, pages, reps);
    std::printf("%-22s %9zu %10.3f %10.3f %10.3f %10.3f\n", "baseline pwrite+sync", pages,
                b.total_ms, b.write_ms, b.sync_ms, 0.0);
  }
  return 0;
}
