// LRUCache: the second-chance cache of each stripe of the page cache, a hash
// map from u64 key (a file offset) to value and flag, plus a FIFO queue of keys.
// A hit sets the entry's flag; eviction pops keys from the queue front, giving
// flagged entries one more round at the back. The queue may hold keys no longer
// in the map (removed out of order) and a key more than once; remove() trims it
// so that it stays within about twice the map's size.
//
// LRUWriteCache: the same over optional page buffers; an empty slot is a page
// lent out as a WritablePage.
//
// Thread safety: none of its own; each stripe sits behind a lock. get() only
// needs a shared lock: the flag it sets is atomic.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <utility>

#include "storage/src/panic.h"
#include "storage/src/tree_store/page_store/fast_hasher.h"
#include "storage/src/tree_store/page_store/page_buffer.h"

namespace storage {

template <typename V>
class LRUCache {
 public:
  LRUCache() = default;
  LRUCache(const LRUCache&) = delete;
  LRUCache& operator=(const LRUCache&) = delete;

  size_t len() const { return map_.size(); }
  bool is_empty() const { return map_.empty(); }
  // Keys queued, stale ones included.
  size_t queue_len() const { return queue_.size(); }

  // A new key gets a clear flag and joins the queue's back; an existing key
  // gets the new value and a clear flag, and keeps its queue place.
  std::optional<V> insert(uint64_t key, V value) {
    auto [it, inserted] = map_.try_emplace(key, std::move(value));
    if (inserted) {
      queue_.push_back(key);
      return std::nullopt;
    }
    std::optional<V> old(std::exchange(it->second.value, std::move(value)));
    it->second.second_chance.store(false, std::memory_order_relaxed);
    return old;
  }

  // The value, marking the entry as recently used.
  const V* get(uint64_t key) const {
    auto it = map_.find(key);
    if (it == map_.end()) return nullptr;
    mark(it->second);
    return &it->second.value;
  }
  V* get_mut(uint64_t key) {
    auto it = map_.find(key);
    if (it == map_.end()) return nullptr;
    mark(it->second);
    return &it->second.value;
  }

  std::optional<V> remove(uint64_t key) {
    auto it = map_.find(key);
    if (it == map_.end()) return std::nullopt;
    std::optional<V> out(std::move(it->second.value));
    map_.erase(it);
    // Out-of-order removals leave stale keys behind; recycle up to two from the
    // front per removal so the queue stays bounded.
    if (queue_.size() > 2 * map_.size()) {
      for (int i = 0; i < 2 && !queue_.empty(); ++i) {
        const uint64_t k = queue_.front();
        queue_.pop_front();
        auto kept = map_.find(k);
        if (kept != map_.end()) {
          kept->second.second_chance.store(false, std::memory_order_relaxed);
          queue_.push_back(k);
        }
      }
    }
    return out;
  }

  // Evicts by second chance: flagged keys lose their flag and go to the back;
  // the first unflagged key is removed and returned.
  std::optional<std::pair<uint64_t, V>> pop_lowest_priority() {
    if (map_.empty()) {
      queue_.clear();
      return std::nullopt;
    }
    while (!queue_.empty()) {
      const uint64_t k = queue_.front();
      queue_.pop_front();
      auto it = map_.find(k);
      if (it == map_.end()) continue;
      if (it->second.second_chance.load(std::memory_order_relaxed)) {
        it->second.second_chance.store(false, std::memory_order_relaxed);
        queue_.push_back(k);
        continue;
      }
      std::pair<uint64_t, V> out(k, std::move(it->second.value));
      map_.erase(it);
      return out;
    }
    return std::nullopt;
  }

  // Calls f(key, value&) for every entry, in hash-map order.
  template <typename F>
  void for_each(F&& f) {
    for (auto& [key, entry] : map_) f(key, entry.value);
  }
  template <typename F>
  void for_each(F&& f) const {
    for (const auto& [key, entry] : map_) f(key, entry.value);
  }

  // Empties map and queue and gives their memory back.
  void clear() {
    Map().swap(map_);
    std::deque<uint64_t>().swap(queue_);
  }

 private:
  struct Entry {
    explicit Entry(V v) : value(std::move(v)) {}
    V value;
    mutable std::atomic<bool> second_chance{false};
  };
  using Map = std::unordered_map<uint64_t, Entry, FastHasher64>;

  // Readers of a hot page would otherwise all write its flag's cache line.
  static void mark(const Entry& e) {
    if (!e.second_chance.load(std::memory_order_relaxed)) {
      e.second_chance.store(true, std::memory_order_relaxed);
    }
  }

  Map map_;
  std::deque<uint64_t> queue_;
};

class LRUWriteCache {
 public:
  size_t len() const { return cache_.len(); }
  bool is_empty() const { return cache_.is_empty(); }

  // Buffers a page that is not in the stripe yet.
  void insert(uint64_t key, PageBuffer buffer) {
    auto old = cache_.insert(key, std::optional<PageBuffer>(std::move(buffer)));
    STORAGE_ASSERT(!old.has_value());
  }
  // The slot of `key` (empty while lent out), marking it; null when absent.
  std::optional<PageBuffer>* get(uint64_t key) { return cache_.get_mut(key); }
  std::optional<std::optional<PageBuffer>> remove(uint64_t key) { return cache_.remove(key); }
  std::optional<std::pair<uint64_t, std::optional<PageBuffer>>> pop_lowest_priority() {
    return cache_.pop_lowest_priority();
  }
  // Puts back a popped entry: it joins the queue's back with a clear flag.
  void reinsert(uint64_t key, std::optional<PageBuffer> slot) {
    auto old = cache_.insert(key, std::move(slot));
    STORAGE_ASSERT(!old.has_value());
  }

  // Lends the page out: its buffer, leaving the slot empty (the entry is
  // marked). Absent: nullopt. Already lent: a broken invariant.
  std::optional<PageBuffer> take_buffer(uint64_t key) {
    std::optional<PageBuffer>* slot = cache_.get_mut(key);
    if (slot == nullptr) return std::nullopt;
    if (!slot->has_value()) panic("called `Option::unwrap()` on a `None` value");
    std::optional<PageBuffer> out(std::move(**slot));
    slot->reset();
    return out;
  }
  // Takes a lent page back (marking the entry). Returns false when the slot is
  // missing or already full, which the caller treats as a broken invariant.
  [[nodiscard]] bool return_buffer(uint64_t key, PageBuffer buffer) {
    std::optional<PageBuffer>* slot = cache_.get_mut(key);
    if (slot == nullptr || slot->has_value()) return false;
    *slot = std::move(buffer);
    return true;
  }

  template <typename F>
  void for_each(F&& f) {
    cache_.for_each(std::forward<F>(f));
  }
  void clear() { cache_.clear(); }

 private:
  LRUCache<std::optional<PageBuffer>> cache_;
};

}  // namespace storage
