// What the tree tests share: one write transaction's tree plumbing (freed list,
// page tracker, poison flag) over a page store, a commit that finalises
// checksums and makes the pages committed, the checker with the transaction's
// uncommitted test, and byte helpers. A store is MemoryPageStore or
// TransactionalPageStore: both offer writable(), readable(), uncommitted(),
// commit(root), rollback_all() and allocated_units().
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

// Passes every call on to another page source, counting the page reads, the
// page openings for writing and the allocations; fails the read numbered
// `fail_read_at` and the allocation numbered `fail_at`.
class CountingPages final : public WritablePageSource {
 public:
  explicit CountingPages(std::shared_ptr<const WritablePageSource> inner)
      : inner_(std::move(inner)) {}

  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const override {
    if (++reads == fail_read_at) {
      return Err{StorageError::Io(IoError::other("injected read failure"))};
    }
    return inner_->get_page(page, hint);
  }
  Result<PageMut, StorageError> get_page_mut(PageNumber page) const override {
    ++opened_for_writing;
    return inner_->get_page_mut(page);
  }
  Result<PageMut, StorageError> allocate(size_t size,
                                         const PageTrackerRef& tracker) const override {
    if (++allocations == fail_at) {
      return Err{StorageError::Io(IoError::other("injected allocation failure"))};
    }
    return inner_->allocate(size, tracker);
  }
  bool uncommitted(PageNumber page) const override { return inner_->uncommitted(page); }
  void free(PageNumber page, const PageTrackerRef& tracker) const override {
    inner_->free(page, tracker);
  }
  void conditional_free(PageNumber page, const PageTrackerRef& tracker,
                        std::vector<PageNumber>& freed) const override {
    inner_->conditional_free(page, tracker, freed);
  }
  bool free_if_uncommitted(PageNumber page, const PageTrackerRef& tracker) const override {
    return inner_->free_if_uncommitted(page, tracker);
  }
  size_t get_page_size() const override { return inner_->get_page_size(); }

  mutable size_t opened_for_writing = 0;
  mutable size_t allocations = 0;
  mutable size_t reads = 0;
  size_t fail_at = 0;       // none when 0
  size_t fail_read_at = 0;  // none when 0

 private:
  std::shared_ptr<const WritablePageSource> inner_;
};

// One write transaction's shared tree state.
struct TxnState {
  template <typename Store>
  explicit TxnState(const std::shared_ptr<Store>& store) : TxnState(store->writable()) {}
  explicit TxnState(std::shared_ptr<const WritablePageSource> source)
      : pages(std::move(source)),
        freed(std::make_shared<Mutex<std::vector<PageNumber>>>()),
        tracker(PageTracker::create_disabled()),
        poison(std::make_shared<std::atomic<bool>>(false)) {}

  template <KeyCodec K, ValueCodec V>
  BtreeMut<K, V> open(std::optional<BtreeHeader> root) const {
    return BtreeMut<K, V>(root, nullptr, pages, freed, tracker, poison);
  }
  std::vector<PageNumber> freed_pages() const {
    auto guard = freed->lock_or_panic();
    return *guard;
  }

  std::shared_ptr<const WritablePageSource> pages;
  SharedFreedPages freed;
  PageTrackerRef tracker;
  TransactionPoison poison;
};

// Finalises the tree's checksums and commits it; the returned root is committed.
template <KeyCodec K, ValueCodec V, typename Store>
std::optional<BtreeHeader> commit_tree(BtreeMut<K, V>& tree, Store& store) {
  auto root = tree.finalize_dirty_checksums();
  if (!root.ok()) panic("finalize failed: " + root.error().to_string());
  auto committed = store.commit(root.value());
  if (!committed.ok()) panic("commit failed: " + committed.error().to_string());
  return root.value();
}

// The checker over the store, with the transaction's uncommitted test.
template <typename Store>
TreeCheck check_txn_tree(const Store& store, std::optional<BtreeHeader> root,
                         const TreeDescriptor& d, bool pending_slots = true) {
  TreeCheckOptions options;
  options.uncommitted = [&store](PageNumber p) { return store.uncommitted(p); };
  options.pending_slots = pending_slots;
  return check_tree(*store.readable(), root, d, options);
}

}  // namespace storage::test
