// FlatPageNumberSet: a set of page numbers in one flat array, open addressing
// with linear probing. A lookup reads one or two neighbouring slots where a
// node-based set reads a bucket and then a node elsewhere in memory; it is
// the set a write transaction asks on every edit whether a page is its own.
//
// The array is at most half full (tombstones counted), so probes stay short;
// a removal leaves a tombstone that a later insert may reuse, and growing
// sweeps them all.
//
// Thread safety: a plain value; callers lock around it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/tree_store/page_store/fast_hasher.h"

namespace storage {

class FlatPageNumberSet {
 public:
  // True when the page was not there yet.
  bool insert(PageNumber page) {
    if ((used_ + 1) * 2 > slots_.size()) rehash();
    size_t at = home(page);
    size_t reuse = kNone;
    for (;; at = (at + 1) & mask()) {
      const Slot& s = slots_[at];
      if (s.state == kEmpty) break;
      if (s.state == kFull && s.holds(page)) return false;
      if (s.state == kTombstone && reuse == kNone) reuse = at;
    }
    if (reuse != kNone) {
      at = reuse;
    } else {
      ++used_;
    }
    slots_[at] = Slot{page.region, page.page_index, page.page_order, kFull};
    ++size_;
    return true;
  }

  // True when the page was there.
  bool erase(PageNumber page) {
    const size_t at = find(page);
    if (at == kNone) return false;
    slots_[at].state = kTombstone;
    --size_;
    return true;
  }

  bool contains(PageNumber page) const { return find(page) != kNone; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Every page, in no particular order.
  template <typename F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.state == kFull) f(PageNumber(s.region, s.index, s.order));
    }
  }

 private:
  static constexpr uint8_t kEmpty = 0;
  static constexpr uint8_t kFull = 1;
  static constexpr uint8_t kTombstone = 2;
  static constexpr size_t kNone = ~size_t{0};
  static constexpr size_t kMinSlots = 16;

  struct Slot {
    uint32_t region = 0;
    uint32_t index = 0;
    uint8_t order = 0;
    uint8_t state = kEmpty;
    bool holds(PageNumber p) const {
      return index == p.page_index && region == p.region && order == p.page_order;
    }
  };

  size_t mask() const { return slots_.size() - 1; }
  size_t home(PageNumber page) const { return FastHasher64{}(page) & mask(); }

  size_t find(PageNumber page) const {
    if (size_ == 0) return kNone;
    for (size_t at = home(page);; at = (at + 1) & mask()) {
      const Slot& s = slots_[at];
      if (s.state == kEmpty) return kNone;
      if (s.state == kFull && s.holds(page)) return at;
    }
  }

  // Room for twice the pages held (at least kMinSlots), tombstones dropped.
  void rehash() {
    const size_t want = std::bit_ceil(std::max(kMinSlots, (size_ + 1) * 4));
    std::vector<Slot> old(want);
    old.swap(slots_);
    size_ = used_ = 0;
    for (const Slot& s : old) {
      if (s.state == kFull) insert(PageNumber(s.region, s.index, s.order));
    }
  }

  std::vector<Slot> slots_;  // a power of two long, or empty
  size_t size_ = 0;          // pages held
  size_t used_ = 0;          // slots not empty: pages and tombstones
};

}  // namespace storage
