// What the tree tests share: one write transaction's tree plumbing over a
// MemoryPageStore (freed list, page tracker, poison flag), a commit that
// finalises checksums and makes the pages committed, and byte helpers.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/tests/support/btree_fakes.h"
#include "storage/tests/support/memory_page_store.h"
#include "storage/tests/support/tree_checker.h"

namespace storage::test {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(ByteView v) { return Bytes(v.begin(), v.end()); }
inline Bytes str_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string text_of(ByteView v) { return std::string(v.begin(), v.end()); }

// One write transaction's shared tree state.
struct TxnState {
  explicit TxnState(std::shared_ptr<MemoryPageStore> s)
      : store(std::move(s)),
        freed(std::make_shared<Mutex<std::vector<PageNumber>>>()),
        tracker(PageTracker::create_disabled()),
        poison(std::make_shared<std::atomic<bool>>(false)) {}

  template <KeyCodec K, ValueCodec V>
  BtreeMut<K, V> open(std::optional<BtreeHeader> root) const {
    return BtreeMut<K, V>(root, nullptr, store->writable(), freed, tracker, poison);
  }
  std::vector<PageNumber> freed_pages() const {
    auto guard = freed->lock_or_panic();
    return *guard;
  }

  std::shared_ptr<MemoryPageStore> store;
  SharedFreedPages freed;
  PageTrackerRef tracker;
  TransactionPoison poison;
};

// Finalises the tree's checksums, writes its pages back and ends the
// transaction's bookkeeping; the returned root is committed.
template <KeyCodec K, ValueCodec V>
std::optional<BtreeHeader> commit_tree(BtreeMut<K, V>& tree, const MemoryPageStore& store) {
  auto root = tree.finalize_dirty_checksums();
  if (!root.ok()) panic("finalize failed: " + root.error().to_string());
  auto flushed = store.flush();
  if (!flushed.ok()) panic("flush failed: " + flushed.error().to_string());
  (void)store.take_allocated_since_commit();
  return root.value();
}

// The checker over the store, with the transaction's uncommitted test.
inline TreeCheck check_txn_tree(const MemoryPageStore& store, std::optional<BtreeHeader> root,
                                const TreeDescriptor& d, bool pending_slots = true) {
  TreeCheckOptions options;
  options.uncommitted = [&store](PageNumber p) { return store.uncommitted(p); };
  options.pending_slots = pending_slots;
  return check_tree(*store.readable(), root, d, options);
}

}  // namespace storage::test
