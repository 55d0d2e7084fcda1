// Threads of dirty readers/writers on their own pages and committed readers on
// shared pages, over a small budget so that lendings write back and evict
// across stripes. Bounded by op count and by a deadline. Meant for the thread
// and address sanitizers as much as for its own checks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/src/tree_store/page_store/cached_file.h"
#include "storage/src/tree_store/page_store/file_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/temp_dir.h"

namespace storage {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kWriters = 4;
constexpr size_t kReaders = 3;
constexpr size_t kOwnedPages = 64;   // pages [0, 64): page p belongs to writer p % kWriters
constexpr size_t kSharedPages = 64;  // pages [64, 128): never written, read by everyone
constexpr int kOpsPerThread = 20000;

uint8_t shared_byte(size_t page, size_t i) { return static_cast<uint8_t>((page * 131 + i) % 253); }

TEST(CachedFileStressTest, ConcurrentReadersWritersAndDrops) {
  test::TempDir dir;
  auto opened = FileBackend::open_writable(dir.file("db"));
  ASSERT_TRUE(opened.ok());
  {
    std::vector<uint8_t> image((kOwnedPages + kSharedPages) * kPage, 0);
    for (size_t p = kOwnedPages; p < kOwnedPages + kSharedPages; ++p) {
      for (size_t i = 0; i < kPage; ++i) image[p * kPage + i] = shared_byte(p, i);
    }
    ASSERT_TRUE(opened.value()->write(0, image).ok());
  }
  PagedCachedFile cache(std::move(opened).value(), kPage, 24 * kPage);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::atomic<bool> failed{false};
  std::vector<std::string> problems(kWriters + kReaders);
  // Per writer, the expected content of its pages (nullopt: cancelled, unknown).
  std::vector<std::vector<std::optional<std::vector<uint8_t>>>> models(
      kWriters, std::vector<std::optional<std::vector<uint8_t>>>(kOwnedPages));
  for (auto& m : models) {
    for (auto& page : m) page = std::vector<uint8_t>(kPage, 0);
  }

  auto writer = [&](size_t w) {
    std::mt19937_64 rng(1000 + w);
    auto& model = models[w];
    for (int op = 0; op < kOpsPerThread && !failed; ++op) {
      if (std::chrono::steady_clock::now() > deadline) break;
      const size_t page = (rng() % (kOwnedPages / kWriters)) * kWriters + w;
      const uint64_t offset = page * kPage;
      const int kind = static_cast<int>(rng() % 8);
      std::string problem;
      if (kind < 4) {
        const bool overwrite = kind == 0;
        auto r = cache.write(offset, kPage, overwrite);
        if (!r.ok()) {
          problem = "write: " + r.error().to_string();
        } else {
          WritablePage lent = std::move(r).value();
          uint8_t* data = lent.mutable_data_if_unique();
          if (data == nullptr) {
            problem = "write: shared buffer";
          } else if (!overwrite && model[page] &&
                     std::vector<uint8_t>(data, data + kPage) != *model[page]) {
            problem = "write: wrong bytes lent for page " + std::to_string(page);
          } else {
            if (overwrite) {
              std::fill(data, data + kPage, static_cast<uint8_t>(rng()));
            } else {
              for (int k = 0; k < 8; ++k) data[rng() % kPage] = static_cast<uint8_t>(rng());
            }
            model[page] = std::vector<uint8_t>(data, data + kPage);
          }
        }
      } else if (kind < 7) {
        auto r = cache.read(offset, kPage, PageReadHint::kMayBeDirty);
        if (!r.ok()) {
          problem = "read: " + r.error().to_string();
        } else {
          std::vector<uint8_t> got(r.value().data(), r.value().data() + kPage);
          if (model[page] && got != *model[page]) {
            problem = "read: wrong bytes for page " + std::to_string(page);
          }
          model[page] = std::move(got);
        }
      } else {
        cache.cancel_pending_write(offset);
        model[page].reset();
      }
      if (!problem.empty()) {
        problems[w] = problem;
        failed = true;
      }
    }
  };

  auto reader = [&](size_t r_index) {
    std::mt19937_64 rng(2000 + r_index);
    for (int op = 0; op < kOpsPerThread && !failed; ++op) {
      if (std::chrono::steady_clock::now() > deadline) break;
      const size_t page = kOwnedPages + rng() % kSharedPages;
      const int kind = static_cast<int>(rng() % 16);
      if (kind == 0) {
        cache.invalidate_cache(page * kPage, kPage);
        continue;
      }
      if (kind == 1 && r_index == 0) {
        cache.invalidate_cache_all();
        continue;
      }
      auto r = cache.read(page * kPage, kPage, PageReadHint::kCommitted);
      std::string problem;
      if (!r.ok()) {
        problem = "committed read: " + r.error().to_string();
      } else {
        const uint8_t* d = r.value().data();
        for (size_t i = 0; i < kPage; i += 97) {
          if (d[i] != shared_byte(page, i)) {
            problem = "committed read: wrong bytes for page " + std::to_string(page);
            break;
          }
        }
      }
      if (!problem.empty()) {
        problems[kWriters + r_index] = problem;
        failed = true;
      }
    }
  };

  std::vector<std::thread> threads;
  for (size_t w = 0; w < kWriters; ++w) threads.emplace_back(writer, w);
  for (size_t r = 0; r < kReaders; ++r) threads.emplace_back(reader, r);
  for (auto& t : threads) t.join();
  for (const auto& p : problems) EXPECT_EQ(p, "");

  ASSERT_TRUE(cache.flush().ok());
  EXPECT_EQ(cache.write_buffer_bytes(), 0u);
  for (size_t p = 0; p < kOwnedPages; ++p) {
    const auto& expected = models[p % kWriters][p];
    if (!expected) continue;
    auto direct = cache.read_direct(p * kPage, kPage);
    ASSERT_TRUE(direct.ok());
    EXPECT_EQ(direct.value(), *expected) << "page " << p;
  }
  cache.invalidate_cache_all();
  EXPECT_EQ(cache.read_cache_bytes(), 0u);
}

// Holds the first write that covers `pause_offset` inside the backend until
// released, so that other threads act while those bytes are in flight.
class PausingBackend final : public StorageBackend {
 public:
  struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    uint64_t pause_offset = ~uint64_t{0};
    bool paused = false;
    bool released = false;
  };
  PausingBackend(std::shared_ptr<test::MemoryFile> file, std::shared_ptr<Gate> gate)
      : inner_(std::move(file)), gate_(std::move(gate)) {}
  std::string debug() const override { return "PausingBackend"; }
  Result<uint64_t, IoError> len() const override { return inner_.len(); }
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override {
    return inner_.read(offset, out);
  }
  Result<void, IoError> set_len(uint64_t len) const override { return inner_.set_len(len); }
  Result<void, IoError> sync_data() const override { return inner_.sync_data(); }
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override {
    {
      std::unique_lock<std::mutex> lock(gate_->mu);
      if (!gate_->paused && offset <= gate_->pause_offset &&
          gate_->pause_offset < offset + data.size()) {
        gate_->paused = true;
        gate_->cv.notify_all();
        gate_->cv.wait(lock, [&] { return gate_->released; });
      }
    }
    return inner_.write(offset, data);
  }
  Result<void, IoError> close() const override { return inner_.close(); }

 private:
  test::MemoryBackend inner_;
  std::shared_ptr<Gate> gate_;
};

// While a write-back is inside the backend with a page's old bytes, other
// threads free that page, buffer new bytes for it (written back at once under
// budget pressure) and flush, and lend and return other pages. The old bytes
// must not land in the file after the new ones: the late write wins only if
// the write-back let go of its pages early.
TEST(CachedFileConcurrentTest, PagesInFlightAreNotFreedOrReplacedUnderTheWriteBack) {
  constexpr size_t kPages = 300;
  auto file = std::make_shared<test::MemoryFile>(std::vector<uint8_t>(kPages * kPage, 0));
  auto gate = std::make_shared<PausingBackend::Gate>();
  // A budget of 8 pages: buffering a fifth page writes one back from its stripe.
  PagedCachedFile cache(std::make_unique<PausingBackend>(file, gate), kPage, 8 * kPage);
  auto stamp = [&](size_t page, uint8_t value, bool overwrite) -> std::string {
    auto lent = cache.write(page * kPage, kPage, overwrite);
    if (!lent.ok()) return lent.error().to_string();
    uint8_t* bytes = lent.value().mutable_data_if_unique();
    if (bytes == nullptr) return "page " + std::to_string(page) + " is shared";
    bytes[0] = value;
    return "";
  };
  constexpr size_t kVictim = 3;
  for (size_t page : {size_t{2}, kVictim, size_t{4}, size_t{200}}) {
    ASSERT_EQ(stamp(page, 0x01, false), "");
  }
  gate->pause_offset = kVictim * kPage;

  std::string flusher_error;
  std::thread flusher([&] {
    auto r = cache.flush_write_buffer();
    if (!r.ok()) flusher_error = r.error().to_string();
  });
  {
    std::unique_lock<std::mutex> lock(gate->mu);
    gate->cv.wait(lock, [&] { return gate->paused; });
  }

  std::vector<std::string> problems(4);
  std::promise<void> rewritten;
  // A flush may not meet a page lent out, so the rewriter's waits for the lenders.
  std::latch lent_and_returned(static_cast<ptrdiff_t>(problems.size() - 1));
  std::thread rewriter([&] {
    cache.cancel_pending_write(kVictim * kPage);
    cache.invalidate_cache(kVictim * kPage, kPage);
    problems[0] = stamp(kVictim, 0x02, true);
    // Same stripe: the write buffer is over half the budget, so the new bytes
    // of the victim are written back at once, while the old ones are in flight.
    if (problems[0].empty()) problems[0] = stamp(kVictim + kCacheStripes, 0x03, true);
    lent_and_returned.wait();
    auto r = cache.flush_write_buffer();
    if (!r.ok() && problems[0].empty()) problems[0] = r.error().to_string();
    rewritten.set_value();
  });
  std::vector<std::thread> lenders;
  for (size_t t = 1; t < problems.size(); ++t) {
    lenders.emplace_back([&, t] {
      for (size_t i = 0; i < 20 && problems[t].empty(); ++i) {
        problems[t] = stamp(20 + t * 30 + i, static_cast<uint8_t>(0x10 + i), i % 2 == 0);
      }
      lent_and_returned.count_down();
    });
  }
  // Give the other threads a chance to race the paused write (they must wait
  // for it); not a timing check, the file's bytes are.
  (void)rewritten.get_future().wait_for(std::chrono::milliseconds(200));
  {
    std::lock_guard<std::mutex> lock(gate->mu);
    gate->released = true;
  }
  gate->cv.notify_all();
  flusher.join();
  rewriter.join();
  for (auto& t : lenders) t.join();
  EXPECT_EQ(flusher_error, "");
  for (const auto& p : problems) EXPECT_EQ(p, "");

  ASSERT_TRUE(cache.flush().ok());
  EXPECT_EQ(cache.write_buffer_bytes(), 0u);
  const std::vector<uint8_t> bytes = file->snapshot();
  EXPECT_EQ(bytes[kVictim * kPage], 0x02) << "the late write of the old bytes won";
  EXPECT_EQ(bytes[(kVictim + kCacheStripes) * kPage], 0x03);
  EXPECT_EQ(bytes[2 * kPage], 0x01);
  EXPECT_EQ(bytes[200 * kPage], 0x01);
  cache.invalidate_cache_all();
  auto again = cache.read(kVictim * kPage, kPage, PageReadHint::kCommitted);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value().data()[0], 0x02);
}

}  // namespace
}  // namespace storage
