// LRUCache: the second-chance cache of each stripe of the page cache, a flat
// open-addressing hash map from u64 key (a file offset) to value and flag,
// plus a FIFO queue of keys.
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
#include <bit>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

#include "storage/src/panic.h"
#include "storage/src/tree_store/page_store/fast_hasher.h"
#include "storage/src/tree_store/page_store/page_arena.h"
#include "storage/src/tree_store/page_store/page_buffer.h"

namespace storage {

template <typename V>
class LRUCache {
 public:
  LRUCache() = default;
  LRUCache(const LRUCache&) = delete;
  LRUCache& operator=(const LRUCache&) = delete;

  size_t len() const { return size_; }
  bool is_empty() const { return size_ == 0; }
  static constexpr size_t slot_bytes() { return sizeof(Slot); }
  // Where the larger slot tables come from from now on (see TableArena);
  // the arena must outlive the cache.
  void set_table_arena(TableArena* arena) { arena_ = arena; }
  // Keys queued, stale ones included.
  size_t queue_len() const { return queue_.size(); }

  // A new key gets a clear flag and joins the queue's back; an existing key
  // gets the new value and a clear flag, and keeps its queue place.
  // `tag` is a small word kept beside the value in the same slot, handed out
  // with it by get_tagged (the read cache keeps a page run's first bytes there).
  std::optional<V> insert(uint64_t key, V value, uint32_t tag = 0) {
    if (Slot* slot = find(key)) {
      std::optional<V> old(std::exchange(slot->value, std::move(value)));
      slot->tag = tag;
      slot->second_chance.store(false, std::memory_order_relaxed);
      return old;
    }
    if ((size_ + 1) * 2 > capacity()) grow();
    Slot& slot = slots_[probe_free(key)];
    slot.used = true;
    slot.key = key;
    slot.tag = tag;
    slot.value = std::move(value);
    slot.second_chance.store(false, std::memory_order_relaxed);
    ++size_;
    queue_.push_back(key);
    return std::nullopt;
  }

  // The value, marking the entry as recently used. The pointer stays valid
  // until the next insert or removal.
  const V* get(uint64_t key) const {
    const Slot* slot = find(key);
    if (slot == nullptr) return nullptr;
    mark(*slot);
    return &slot->value;
  }
  // get(), with the entry's tag.
  const V* get_tagged(uint64_t key, uint32_t& tag) const {
    const Slot* slot = find(key);
    if (slot == nullptr) return nullptr;
    mark(*slot);
    tag = slot->tag;
    return &slot->value;
  }
  V* get_mut(uint64_t key) {
    Slot* slot = find(key);
    if (slot == nullptr) return nullptr;
    mark(*slot);
    return &slot->value;
  }

  std::optional<V> remove(uint64_t key) {
    Slot* slot = find(key);
    if (slot == nullptr) return std::nullopt;
    std::optional<V> out(std::move(slot->value));
    erase(static_cast<size_t>(slot - slots_.get()));
    // Out-of-order removals leave stale keys behind; recycle up to two from the
    // front per removal so the queue stays bounded.
    if (queue_.size() > 2 * size_) {
      for (int i = 0; i < 2 && !queue_.empty(); ++i) {
        const uint64_t k = queue_.front();
        queue_.pop_front();
        if (Slot* kept = find(k)) {
          kept->second_chance.store(false, std::memory_order_relaxed);
          queue_.push_back(k);
        }
      }
    }
    return out;
  }

  // Evicts by second chance: flagged keys lose their flag and go to the back;
  // the first unflagged key is removed and returned.
  std::optional<std::pair<uint64_t, V>> pop_lowest_priority() {
    if (size_ == 0) {
      queue_.clear();
      return std::nullopt;
    }
    while (!queue_.empty()) {
      const uint64_t k = queue_.front();
      queue_.pop_front();
      Slot* slot = find(k);
      if (slot == nullptr) continue;
      if (slot->second_chance.load(std::memory_order_relaxed)) {
        slot->second_chance.store(false, std::memory_order_relaxed);
        queue_.push_back(k);
        continue;
      }
      std::pair<uint64_t, V> out(k, std::move(slot->value));
      erase(static_cast<size_t>(slot - slots_.get()));
      return out;
    }
    return std::nullopt;
  }

  // Calls f(key, value&) for every entry, in table order. f must not insert
  // or remove.
  template <typename F>
  void for_each(F&& f) {
    for (size_t i = 0; i < capacity(); ++i) {
      if (slots_[i].used) f(slots_[i].key, slots_[i].value);
    }
  }
  template <typename F>
  void for_each(F&& f) const {
    for (size_t i = 0; i < capacity(); ++i) {
      if (slots_[i].used) f(slots_[i].key, std::as_const(slots_[i].value));
    }
  }

  // Empties map and queue and gives their memory back.
  void clear() {
    slots_.reset();
    mask_ = 0;
    size_ = 0;
    std::deque<uint64_t>().swap(queue_);
  }

 private:
  // One open-addressing slot: a hit reads one slot, with no node to chase and
  // nothing allocated per entry. Linear probing; removal shifts the following
  // run back, so there are no tombstones.
  // Ordered so that a slot of a page buffer takes 32 bytes: two per line.
  struct Slot {
    uint64_t key = 0;
    V value{};
    uint32_t tag = 0;
    bool used = false;
    mutable std::atomic<bool> second_chance{false};
  };

  // A slot table: from the arena when it is large enough, else from the
  // general allocator.
  class SlotTable {
   public:
    SlotTable() = default;
    SlotTable(size_t n, TableArena* arena) : n_(n) {
      const size_t bytes = n * sizeof(Slot);
      if (arena != nullptr && bytes >= TableArena::kMinBytes && std::has_single_bit(bytes)) {
        p_ = static_cast<Slot*>(arena->allocate(bytes));
        if (p_ != nullptr) arena_ = arena;
      }
      if (p_ == nullptr) p_ = std::allocator<Slot>().allocate(n);
      std::uninitialized_value_construct_n(p_, n);
    }
    SlotTable(SlotTable&& o) noexcept
        : p_(std::exchange(o.p_, nullptr)), n_(o.n_), arena_(o.arena_) {}
    SlotTable& operator=(SlotTable&& o) noexcept {
      if (this != &o) {
        reset();
        p_ = std::exchange(o.p_, nullptr);
        n_ = o.n_;
        arena_ = o.arena_;
      }
      return *this;
    }
    ~SlotTable() { reset(); }
    explicit operator bool() const { return p_ != nullptr; }
    Slot& operator[](size_t i) const { return p_[i]; }
    Slot* get() const { return p_; }
    void reset() noexcept {
      if (p_ == nullptr) return;
      std::destroy_n(p_, n_);
      if (arena_ != nullptr) {
        arena_->free(p_, n_ * sizeof(Slot));
      } else {
        std::allocator<Slot>().deallocate(p_, n_);
      }
      p_ = nullptr;
      arena_ = nullptr;
    }

   private:
    Slot* p_ = nullptr;
    size_t n_ = 0;
    TableArena* arena_ = nullptr;
  };

  size_t capacity() const { return slots_ ? mask_ + 1 : 0; }
  size_t home(uint64_t key) const { return FastHasher64::hash(key) & mask_; }

  const Slot* find(uint64_t key) const {
    if (size_ == 0) return nullptr;
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (!slot.used) return nullptr;
      if (slot.key == key) return &slot;
    }
  }
  Slot* find(uint64_t key) {
    return const_cast<Slot*>(std::as_const(*this).find(key));
  }
  size_t probe_free(uint64_t key) const {
    size_t i = home(key);
    while (slots_[i].used) i = (i + 1) & mask_;
    return i;
  }

  static void move_slot(Slot& to, Slot& from) {
    to.used = true;
    to.key = from.key;
    to.value = std::move(from.value);
    to.tag = from.tag;
    to.second_chance.store(from.second_chance.load(std::memory_order_relaxed),
                           std::memory_order_relaxed);
  }

  void grow() {
    const size_t old_capacity = capacity();
    const size_t new_capacity = old_capacity == 0 ? 16 : old_capacity * 2;
    SlotTable old = std::exchange(slots_, SlotTable(new_capacity, arena_));
    mask_ = new_capacity - 1;
    for (size_t i = 0; i < old_capacity; ++i) {
      if (old[i].used) move_slot(slots_[probe_free(old[i].key)], old[i]);
    }
  }

  // Empties slot `hole`, then moves back every later slot of its run that may
  // sit there (its home is not cyclically within (hole, slot]).
  void erase(size_t hole) {
    for (size_t i = (hole + 1) & mask_; slots_[i].used; i = (i + 1) & mask_) {
      const size_t h = home(slots_[i].key);
      const bool stays = hole < i ? (hole < h && h <= i) : (hole < h || h <= i);
      if (stays) continue;
      move_slot(slots_[hole], slots_[i]);
      hole = i;
    }
    Slot& slot = slots_[hole];
    slot.used = false;
    slot.value = V{};
    slot.tag = 0;
    slot.second_chance.store(false, std::memory_order_relaxed);
    --size_;
  }

  // Readers of a hot page would otherwise all write its flag's cache line.
  static void mark(const Slot& s) {
    if (!s.second_chance.load(std::memory_order_relaxed)) {
      s.second_chance.store(true, std::memory_order_relaxed);
    }
  }

  SlotTable slots_;
  TableArena* arena_ = nullptr;
  size_t mask_ = 0;
  size_t size_ = 0;
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
