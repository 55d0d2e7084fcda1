// The engine's page-list system tables: which pages each write transaction
// freed while older snapshots could still reach them ("data_pages_unreachable",
// "system_pages_unreachable") and which pages its data tables allocated
// ("data_pages_allocated"), each keyed by (transaction id, pagination index)
// in the system directory. The commit writes them and drains the freed lists
// once no reader or savepoint can see their pages.
//
// Values are reserved at full size (3202 bytes for 400 pages, 1602 bytes for
// 200) and filled in place; a list is filled from its end, so one entry holds
// the last up to 400 (200) pages of what is left, in list order.
//
// Untrusted bytes: the lists are read back from the file. A key that is not
// 16 bytes, a value shorter than its count says, or a listed page that cannot
// be given back (outside the layout, already free, listed twice, or allocated
// by the running transaction) is StorageError::Corrupted before any page of
// that entry reaches the allocator, which would otherwise panic or hand the
// same page out twice.
//
// Threads: everything here runs on the write transaction's thread, on its
// system directory, which the caller holds locked. The shared freed-page list
// is locked only for short moments, never across a tree edit (the edit itself
// appends to it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/system_types.h"
#include "storage/src/transaction_tracker.h"
#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/src/tree_store/table_tree.h"

namespace storage {

inline constexpr std::string_view kDataPagesUnreachable = "data_pages_unreachable";
inline constexpr std::string_view kSystemPagesUnreachable = "system_pages_unreachable";
inline constexpr std::string_view kDataPagesAllocated = "data_pages_allocated";
inline constexpr std::string_view kAllocatorStateTable = "allocator_state";

// Pages per entry of the data tables' lists and of the system tables' list.
inline constexpr size_t kDataPageListCapacity = 400;
inline constexpr size_t kSystemPageListCapacity = 200;
inline constexpr size_t kDataPageListBytes = PageList::required_bytes(kDataPageListCapacity);
inline constexpr size_t kSystemPageListBytes = PageList::required_bytes(kSystemPageListCapacity);
static_assert(kDataPageListBytes == 3202);
static_assert(kSystemPageListBytes == 1602);
static_assert(TransactionIdWithPagination::kWidth == 16);

using PageListTree = BtreeMut<TransactionIdWithPagination, PageList>;

// The pages of a stored list; Corrupted when the value is shorter than its
// count says.
Result<std::vector<PageNumber>, StorageError> read_page_list(ByteView value);
// The key of a stored entry; Corrupted when it is not 16 bytes.
Result<TransactionIdWithPagination, StorageError> read_page_list_key(ByteView key);

// The writable handle of one system table. Its root is staged in the system
// directory when it is closed or destroyed.
template <KeyCodec K, ValueCodec V>
class SystemTable {
 public:
  SystemTable(TableTreeMut& directory, std::string name, BtreeMut<K, V> tree)
      : directory_(&directory), name_(std::move(name)), tree_(std::move(tree)) {}
  SystemTable(SystemTable&& other) noexcept
      : directory_(std::exchange(other.directory_, nullptr)),
        name_(std::move(other.name_)),
        tree_(std::move(other.tree_)) {}
  SystemTable& operator=(SystemTable&&) = delete;
  SystemTable(const SystemTable&) = delete;
  // Stages the root; never throws (a failure to stage poisons nothing here:
  // the commit that owns the directory fails on its own checks).
  ~SystemTable() {
    try {
      close();
    } catch (...) {
    }
  }

  BtreeMut<K, V>& tree() { return tree_; }
  // Stages the table's root in the directory; later calls do nothing.
  void close() {
    if (directory_ == nullptr) return;
    TableTreeMut* directory = std::exchange(directory_, nullptr);
    const std::optional<BtreeHeader> root = tree_.get_root();
    directory->stage_update_table_root(name_, root, root ? root->length : 0);
  }

 private:
  TableTreeMut* directory_;
  std::string name_;
  BtreeMut<K, V> tree_;
};

using PageListTable = SystemTable<TransactionIdWithPagination, PageList>;

// The StorageError of a system table that cannot be opened: its own storage
// error, or Corrupted "Internal error. System table is corrupted: {error}".
StorageError system_table_error(TableError error);

// Opens the system table for writing, creating it when absent; the staged root
// of the name (if any) moves into the returned table.
template <KeyCodec K, ValueCodec V>
Result<SystemTable<K, V>, StorageError> open_system_table(TableTreeMut& directory,
                                                          std::string_view name) {
  auto opened = directory.get_or_create_table<K, V>(name, TableKind::kNormal);
  if (!opened.ok()) return Err{system_table_error(std::move(opened).error())};
  directory.clear_pending_table_update(name);
  BtreeMut<K, V> tree(opened.value().first, directory.guard(), directory.page_source(),
                      directory.freed_pages(), PageTracker::create_disabled());
  return SystemTable<K, V>(directory, std::string(name), std::move(tree));
}

// The table's current root (staged root applied); none when absent or empty.
template <KeyCodec K, ValueCodec V>
Result<std::optional<BtreeHeader>, StorageError> get_system_table_root(
    const TableTreeMut& directory, std::string_view name) {
  auto found = directory.get_table<K, V>(name, TableKind::kNormal);
  if (!found.ok()) return Err{system_table_error(std::move(found).error())};
  if (!found.value()) return std::optional<BtreeHeader>();
  return found.value()->table_root();
}

// The first free pagination index of transaction t: the last entry's + 1, or 0.
Result<uint64_t, StorageError> next_system_freed_pagination_id(const PageListTree& tree,
                                                               TransactionId t);

// Writes `pages` under (t, first), (t, first + 1), ..., each entry a value of
// `value_bytes` reserved and filled in place with the last up to `capacity`
// pages left, in list order. Returns the next free pagination index.
Result<uint64_t, StorageError> write_page_list_entries(PageListTree& tree, TransactionId t,
                                                       uint64_t first,
                                                       std::vector<PageNumber> pages,
                                                       size_t capacity);

// One transaction's allocated pages into "data_pages_allocated", from
// pagination 0, 400 pages per entry. Nothing for an empty list.
Result<void, StorageError> write_allocated_pages_entry(PageListTree& tree, TransactionId t,
                                                       std::vector<PageNumber> pages);

// Opens `name` for an in-place rewrite of its definition: the directory may
// hold no staged roots, its entry of `name` is made this transaction's own
// (created empty when absent), `step` edits the table's tree, and the tree's
// root goes back into the definition in place.
Result<void, StorageError> open_table_and_flush_table_root(
    TableTreeMut& directory, std::string_view name,
    const std::function<Result<void, StorageError>(PageListTree&)>& step);

// Stores the system tables' freed-page list into "system_pages_unreachable"
// under t, 200 pages per entry, until the list stays empty (storing may free
// more system pages). With `divert`, pages a not yet durable non-durable
// commit allocated go there instead. True when some page was stored; an
// empty list touches no table.
Result<bool, StorageError> store_system_freed_pages(TableTreeMut& directory, TransactionId t,
                                                    const SharedFreedPages& system_freed,
                                                    TransactionalMemory& mem,
                                                    std::vector<PageNumber>* divert);

// Corrupted unless the page can be given back: inside the layout, allocated,
// and not allocated by this transaction.
Result<void, StorageError> check_releasable(const PageAllocator& allocator, PageNumber page);

// Removes every entry of `name` whose transaction id is below `bound` and
// frees its pages at once. Returns the distinct ids removed, ascending. A
// damaged entry is Corrupted (see above).
Result<std::vector<TransactionId>, StorageError> extract_freed_pages(TableTreeMut& directory,
                                                                     std::string_view name,
                                                                     TransactionId bound,
                                                                     const PageAllocator& allocator);

// For each unprocessed non-durable commit below `bound` listed in `name`:
// frees the listed pages that are still unpersisted and rewrites (or deletes)
// its entries to hold the others. Returns the ids processed.
Result<std::vector<TransactionId>, StorageError> process_freed_pages_nondurable_helper(
    TableTreeMut& directory, std::string_view name, TransactionId bound,
    TransactionTracker& tracker, TransactionalMemory& mem);

}  // namespace storage
