// An in-memory backend that counts how the page store reads it: reads that a
// prefetch announced before them and reads that none did, runs of prefetch
// calls (one run per batch announced together), and the offsets read. With
// `cached` set it plays a file the system holds in its cache: read_if_cached
// reads (counted apart), but for the pages named in `not_cached`; else it
// answers as a backend without that call.
//
// Thread safety: the counts are guarded by a mutex of their own; the bytes
// are the MemoryFile's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>

#include "storage/tests/support/memory_backend.h"

namespace storage::test {

class CountingBackend final : public StorageBackend {
 public:
  struct Counts {
    uint64_t announced_reads = 0;
    uint64_t unannounced_reads = 0;
    uint64_t prefetch_calls = 0;
    // Runs of prefetch calls with no read between them.
    uint64_t prefetch_batches = 0;
    std::set<uint64_t> read_offsets;
    bool cached = false;
    // With `cached`: pages (by offset) the system does not hold all the same.
    std::set<uint64_t> not_cached;
    uint64_t cached_reads = 0;
    uint64_t largest_prefetch = 0;
  };

  explicit CountingBackend(std::shared_ptr<MemoryFile> file,
                           std::shared_ptr<Counts> counts = std::make_shared<Counts>())
      : inner_(std::move(file)), counts_(std::move(counts)) {}

  const std::shared_ptr<Counts>& counts() const { return counts_; }

  std::string debug() const override { return "CountingBackend"; }
  Result<uint64_t, IoError> len() const override { return inner_.len(); }
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      last_was_prefetch_ = false;
      counts_->read_offsets.insert(offset);
      ++(covered(offset, out.size()) ? counts_->announced_reads : counts_->unannounced_reads);
    }
    return inner_.read(offset, out);
  }
  void prefetch(uint64_t offset, uint64_t len) const override {
    std::lock_guard<std::mutex> lock(mu_);
    ++counts_->prefetch_calls;
    counts_->largest_prefetch = std::max(counts_->largest_prefetch, len);
    if (!last_was_prefetch_) ++counts_->prefetch_batches;
    last_was_prefetch_ = true;
    // Held as disjoint ranges: an announcement may overlap earlier ones.
    uint64_t start = offset;
    uint64_t end = offset + len;
    auto it = announced_.upper_bound(start);
    if (it != announced_.begin() && std::prev(it)->second >= start) --it;
    while (it != announced_.end() && it->first <= end) {
      start = std::min(start, it->first);
      end = std::max(end, it->second);
      it = announced_.erase(it);
    }
    announced_[start] = end;
  }
  bool read_if_cached(uint64_t offset, std::span<uint8_t> out) const override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!counts_->cached || counts_->not_cached.contains(offset)) return false;
      ++counts_->cached_reads;
      counts_->read_offsets.insert(offset);
    }
    return inner_.read(offset, out).ok();
  }
  Result<void, IoError> set_len(uint64_t len) const override { return inner_.set_len(len); }
  Result<void, IoError> sync_data() const override { return inner_.sync_data(); }
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override {
    return inner_.write(offset, data);
  }
  Result<void, IoError> close() const override { return inner_.close(); }

 private:
  // Whether one announced range holds [offset, offset + len).
  bool covered(uint64_t offset, uint64_t len) const {
    auto it = announced_.upper_bound(offset);
    if (it == announced_.begin()) return false;
    --it;
    return it->second >= offset + len;
  }

  MemoryBackend inner_;
  std::shared_ptr<Counts> counts_;
  mutable std::mutex mu_;
  mutable bool last_was_prefetch_ = false;
  mutable std::map<uint64_t, uint64_t> announced_;  // start -> end, disjoint
};

}  // namespace storage::test
