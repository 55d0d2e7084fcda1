// What the table directory tests share: one write transaction's directory on
// the real page store (its freed list, a recording page tracker shared by the
// directory and every table opened through it, and a poison flag), tables
// filled and staged as a table handle would on close, the commit of the
// directory root, and the pages of committed trees.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "storage/src/panic.h"
#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/btree_iters.h"
#include "storage/src/tree_store/table_tree.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_harness.h"

namespace storage::test {

using U64Table = BtreeMut<U64Codec, BytesCodec>;
inline constexpr TreeDescriptor kU64BytesTable = tree_descriptor<U64Codec, BytesCodec>();

struct DirTxn {
  explicit DirTxn(std::shared_ptr<TransactionalPageStore> s, std::optional<BtreeHeader> root,
                  std::shared_ptr<const WritablePageSource> p = nullptr)
      : store(std::move(s)),
        pages(p ? std::move(p) : store->writable()),
        dir(root, nullptr, pages, freed, tracker, poison) {}

  template <KeyCodec K, ValueCodec V>
  BtreeMut<K, V> table(std::optional<BtreeHeader> root) const {
    return BtreeMut<K, V>(root, nullptr, pages, freed, tracker, poison);
  }

  // Opens (or creates) a u64 -> bytes table, inserts `keys` with
  // `value_len`-byte values and stages its new root, as a closed handle does.
  Result<void, TableError> fill(const std::string& name, const std::vector<uint64_t>& keys,
                                size_t value_len = 100) {
    TRY_ASSIGN(auto opened, (dir.get_or_create_table<U64Codec, BytesCodec>(
                                name, TableKind::kNormal)));
    dir.clear_pending_table_update(name);
    U64Table t = table<U64Codec, BytesCodec>(opened.first);
    uint64_t length = opened.second;
    for (uint64_t k : keys) {
      const Bytes value(value_len, static_cast<uint8_t>(k));
      TRY_ASSIGN(auto old, t.insert(k, ByteView(value)));
      if (!old) ++length;
    }
    dir.stage_update_table_root(name, t.get_root(), length);
    return {};
  }

  std::vector<PageNumber> freed_list() const {
    auto guard = freed->lock_or_panic();
    return *guard;
  }

  std::shared_ptr<TransactionalPageStore> store;
  SharedFreedPages freed = std::make_shared<Mutex<std::vector<PageNumber>>>();
  PageTrackerRef tracker = PageTracker::create_recording();
  TransactionPoison poison = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<const WritablePageSource> pages;
  TableTreeMut dir;
};

// Closes the directory and commits its root; panics on failure. The tracker's
// pages must be exactly the pages the transaction allocated and kept.
inline std::optional<BtreeHeader> commit_directory(DirTxn& txn, std::vector<PageNumber>* freed =
                                                                     nullptr) {
  auto closed = txn.dir.flush_and_close();
  if (!closed.ok()) panic("flush_and_close: " + closed.error().to_string());
  auto committed = txn.store->commit(closed->root);
  if (!committed.ok()) panic("commit: " + committed.error().to_string());
  if (committed.value() != closed->allocated_pages) panic("tracker and allocator disagree");
  if (freed != nullptr) freed->insert(freed->end(), closed->freed_pages.begin(),
                                      closed->freed_pages.end());
  return closed->root;
}

inline TableTree read_directory(const TransactionalPageStore& store,
                                std::optional<BtreeHeader> root) {
  auto tree = TableTree::create(root, PageReadHint::kMayBeDirty, nullptr, store.readable());
  if (!tree.ok()) panic("TableTree::create: " + tree.error().to_string());
  return std::move(tree).value();
}

// Pre-order page numbers of one tree.
inline std::vector<PageNumber> preorder_pages(const TransactionalPageStore& store,
                                              std::optional<BtreeHeader> root,
                                              std::optional<size_t> key_width) {
  std::vector<PageNumber> out;
  if (!root) return out;
  AllPageNumbersBtreeIter it(root->root, key_width, store.readable(), PageReadHint::kMayBeDirty);
  while (auto next = it.next()) out.push_back(next->value());
  return out;
}

// Every page the directory walk reaches, in walk order.
inline Result<std::vector<PageNumber>, StorageError> walk_directory(const TableTree& tree) {
  std::vector<PageNumber> out;
  TRY(tree.visit_all_pages([&](std::span<const PageNumber> path) -> Result<void, StorageError> {
    out.push_back(path.back());
    return {};
  }));
  return out;
}

}  // namespace storage::test
