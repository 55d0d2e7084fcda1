// Tree insert throughput: one write transaction inserting u64 keys with 8-byte
// values, in ascending and in random order, then finalising its checksums;
// std::map<uint64_t, uint64_t> doing the same inserts is the baseline. Pages
// live in the page cache over an in-memory file.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <unordered_set>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/page_store/backends.h"
#include "storage/src/tree_store/page_store/cached_file.h"

namespace {

using namespace storage;

class MemoryFileBackend final : public StorageBackend {
 public:
  std::string debug() const override { return "MemoryFileBackend"; }
  Result<uint64_t, IoError> len() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return bytes_.size();
  }
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override {
    std::lock_guard<std::mutex> lock(mu_);
    if (offset + out.size() > bytes_.size()) return Err{IoError::other("read past the end")};
    std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return {};
  }
  Result<void, IoError> set_len(uint64_t len) const override {
    std::lock_guard<std::mutex> lock(mu_);
    bytes_.resize(len);
    return {};
  }
  Result<void, IoError> sync_data() const override { return {}; }
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override {
    std::lock_guard<std::mutex> lock(mu_);
    if (offset + data.size() > bytes_.size()) bytes_.resize(offset + data.size());
    std::memcpy(bytes_.data() + offset, data.data(), data.size());
    return {};
  }
  Result<void, IoError> close() const override { return {}; }

 private:
  mutable std::mutex mu_;
  mutable std::vector<uint8_t> bytes_;
};

// Pages of one write transaction: order-0 runs from a free list, then from the end.
class BenchPages final : public WritablePageSource {
 public:
  static constexpr size_t kPageSize = 4096;
  BenchPages() : cache_(std::make_unique<MemoryFileBackend>(), kPageSize, size_t{1} << 30) {}

  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const override {
    TRY_ASSIGN(PageBuffer bytes, cache_.read(offset(page), length(page), hint));
    return PageImpl(std::move(bytes), page);
  }
  Result<PageMut, StorageError> get_page_mut(PageNumber page) const override {
    TRY_ASSIGN(WritablePage bytes, cache_.write(offset(page), length(page), false));
    return PageMut(std::move(bytes), page);
  }
  Result<PageMut, StorageError> allocate(size_t size, const PageTrackerRef& tracker) const override {
    if (size > kPageSize) panic("bench pages are single pages");
    uint32_t index;
    if (!free_.empty()) {
      index = free_.back();
      free_.pop_back();
    } else {
      index = next_++;
    }
    const PageNumber page(0, index, 0);
    TRY_ASSIGN(WritablePage bytes, cache_.write(offset(page), length(page), true));
    tracker->insert(page);
    uncommitted_.insert(page);
    return PageMut(std::move(bytes), page);
  }
  bool uncommitted(PageNumber page) const override { return uncommitted_.contains(page); }
  void free(PageNumber page, const PageTrackerRef& tracker) const override {
    tracker->remove(page);
    uncommitted_.erase(page);
    cache_.invalidate_cache(offset(page), length(page));
    cache_.cancel_pending_write(offset(page));
    free_.push_back(page.page_index);
  }
  void conditional_free(PageNumber page, const PageTrackerRef& tracker,
                        std::vector<PageNumber>& freed) const override {
    if (!free_if_uncommitted(page, tracker)) freed.push_back(page);
  }
  bool free_if_uncommitted(PageNumber page, const PageTrackerRef& tracker) const override {
    if (!uncommitted(page)) return false;
    free(page, tracker);
    return true;
  }
  size_t get_page_size() const override { return kPageSize; }
  size_t pages_in_use() const { return next_ - free_.size(); }

 private:
  static uint64_t offset(PageNumber page) { return kPageSize * (1 + uint64_t{page.page_index}); }
  static size_t length(PageNumber) { return kPageSize; }

  PagedCachedFile cache_;
  mutable PageNumberSet uncommitted_;
  mutable std::vector<uint32_t> free_;
  mutable uint32_t next_ = 0;
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Figures {
  double insert_ns;
  double finalize_ms;
  size_t pages;
};

Figures run_tree(const std::vector<uint64_t>& keys) {
  auto pages = std::make_shared<BenchPages>();
  BtreeMut<U64Codec, U64Codec> tree(std::nullopt, nullptr, pages,
                                    std::make_shared<Mutex<std::vector<PageNumber>>>(),
                                    PageTracker::create_disabled());
  auto t0 = std::chrono::steady_clock::now();
  for (uint64_t k : keys) {
    if (!tree.insert(k, k).ok()) panic("insert failed");
  }
  const double insert_s = seconds_since(t0);
  t0 = std::chrono::steady_clock::now();
  if (!tree.finalize_dirty_checksums().ok()) panic("finalize failed");
  const double finalize_s = seconds_since(t0);
  return Figures{insert_s * 1e9 / keys.size(), finalize_s * 1e3, pages->pages_in_use()};
}

double run_map(const std::vector<uint64_t>& keys) {
  std::map<uint64_t, uint64_t> map;
  auto t0 = std::chrono::steady_clock::now();
  for (uint64_t k : keys) map[k] = k;
  const double s = seconds_since(t0);
  if (map.size() != keys.size()) panic("duplicate keys");
  return s * 1e9 / keys.size();
}

}  // namespace

int main() {
  std::printf("%-11s %9s %14s %14s %12s %8s\n", "order", "keys", "tree ns/insert",
              "map ns/insert", "finalize ms", "pages");
  for (size_t n : {size_t{100000}, size_t{1000000}}) {
    std::vector<uint64_t> ascending(n);
    for (size_t i = 0; i < n; ++i) ascending[i] = i * 3;
    std::vector<uint64_t> shuffled = ascending;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(42));
    for (const auto& [name, keys] :
         {std::pair<const char*, const std::vector<uint64_t>&>{"ascending", ascending},
          std::pair<const char*, const std::vector<uint64_t>&>{"random", shuffled}}) {
      const Figures tree = run_tree(keys);
      const double map = run_map(keys);
      std::printf("%-11s %9zu %14.0f %14.0f %12.1f %8zu\n", name, n, tree.insert_ns, map,
                  tree.finalize_ms, tree.pages);
    }
  }
  return 0;
}
