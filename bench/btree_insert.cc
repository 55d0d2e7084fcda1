// Tree insert throughput: one write transaction inserting u64 keys with 8-byte
// values, in ascending and in random order, then finalising its checksums and
// committing; std::map<uint64_t, uint64_t> doing the same inserts is the
// baseline. The page store runs over an in-memory file, so the figures are the
// tree's and the page cache's work, not the disk's.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/page_store/backends.h"
#include "storage/src/tree_store/page_store/cached_file.h"
#include "storage/src/tree_store/page_store/page_manager.h"

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

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Figures {
  double insert_ns;
  double finalize_ms;
  double commit_ms;
  size_t pages;
};

Figures run_tree(const std::vector<uint64_t>& keys) {
  auto opened = TransactionalMemory::open(std::make_unique<MemoryFileBackend>(), true, 4096,
                                          std::nullopt, size_t{1} << 30, false);
  if (!opened.ok()) panic("open failed");
  std::shared_ptr<TransactionalMemory> mem = std::move(opened).value();
  if (!mem->begin_writable().ok() || !mem->reset_allocator_state().ok()) panic("open failed");
  PageAllocator allocator(mem, AllocationPolicy::kAny);
  BtreeMut<U64Codec, U64Codec> tree(std::nullopt, nullptr, allocator,
                                    std::make_shared<Mutex<std::vector<PageNumber>>>(),
                                    PageTracker::create_disabled());
  auto t0 = std::chrono::steady_clock::now();
  for (uint64_t k : keys) {
    if (!tree.insert(k, k).ok()) panic("insert failed");
  }
  const double insert_s = seconds_since(t0);
  t0 = std::chrono::steady_clock::now();
  auto root = tree.finalize_dirty_checksums();
  if (!root.ok()) panic("finalize failed");
  const double finalize_s = seconds_since(t0);
  t0 = std::chrono::steady_clock::now();
  if (!mem->commit(root.value(), std::nullopt, TransactionId(1), false, TrimPolicy::kNever).ok()) {
    panic("commit failed");
  }
  const double commit_s = seconds_since(t0);
  const size_t pages = allocator.take_allocated_since_commit().size();
  return Figures{insert_s * 1e9 / keys.size(), finalize_s * 1e3, commit_s * 1e3, pages};
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
  std::printf("%-11s %9s %14s %14s %12s %10s %8s\n", "order", "keys", "tree ns/insert",
              "map ns/insert", "finalize ms", "commit ms", "pages");
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
      std::printf("%-11s %9zu %14.0f %14.0f %12.1f %10.1f %8zu\n", name, n, tree.insert_ns, map,
                  tree.finalize_ms, tree.commit_ms, tree.pages);
    }
  }
  return 0;
}
