#include "storage/src/transactions/page_lists.h"

#include <algorithm>
#include <string>

#include "storage/src/panic.h"
#include "storage/src/tree_store/range_mut.h"

namespace storage {

namespace {

StorageError corrupted_list(const std::string& what) {
  return StorageError::Corrupted("page list " + what);
}

std::string key_text(const TransactionIdWithPagination& key) {
  return "(" + std::to_string(key.transaction_id) + ", " + std::to_string(key.pagination_id) +
         ")";
}

// Takes the last up to `capacity` pages off `pages`, in list order.
std::vector<PageNumber> take_tail(std::vector<PageNumber>& pages, size_t capacity) {
  const size_t n = std::min(capacity, pages.size());
  std::vector<PageNumber> tail(pages.end() - static_cast<std::ptrdiff_t>(n), pages.end());
  pages.resize(pages.size() - n);
  return tail;
}

TransactionIdWithPagination key_of(TransactionId t, uint64_t p) {
  return TransactionIdWithPagination{t.id, p};
}

}  // namespace

Result<std::vector<PageNumber>, StorageError> read_page_list(ByteView value) {
  if (value.size() < PageList::kHeaderSize) {
    return Err{corrupted_list("value of " + std::to_string(value.size()) +
                              " bytes has no count")};
  }
  const PageList list(value);
  const size_t n = list.len();
  if (value.size() < PageList::required_bytes(n)) {
    return Err{corrupted_list("value of " + std::to_string(value.size()) + " bytes cannot hold " +
                              std::to_string(n) + " pages")};
  }
  return list.pages();
}

Result<TransactionIdWithPagination, StorageError> read_page_list_key(ByteView key) {
  if (key.size() != TransactionIdWithPagination::kWidth) {
    return Err{corrupted_list("key of " + std::to_string(key.size()) + " bytes")};
  }
  return TransactionIdWithPagination::from_bytes(key);
}

StorageError system_table_error(TableError error) {
  if (error.kind() == TableError::Kind::kStorageFailure) return std::move(error).storage_error();
  return StorageError::Corrupted("Internal error. System table is corrupted: " +
                                 error.to_string());
}

Result<uint64_t, StorageError> next_system_freed_pagination_id(const PageListTree& tree,
                                                               TransactionId t) {
  const auto start = TransactionIdWithPagination::as_bytes(key_of(t, 0));
  const auto end = TransactionIdWithPagination::as_bytes(key_of(TransactionId(t.id + 1), 0));
  auto& core = const_cast<PageListTree&>(tree).untyped();
  TRY_ASSIGN(BtreeCursorRange range, core.range(EncodedBound::included(ByteView(start)),
                                                EncodedBound::excluded(ByteView(end))));
  auto last = range.next_back();
  if (!last) return uint64_t{0};
  if (!last->ok()) return Err{std::move(*last).error()};
  TRY_ASSIGN(TransactionIdWithPagination key, read_page_list_key(last->value().key()));
  return key.pagination_id + 1;
}

Result<uint64_t, StorageError> write_page_list_entries(PageListTree& tree, TransactionId t,
                                                       uint64_t first,
                                                       std::vector<PageNumber> pages,
                                                       size_t capacity) {
  const size_t bytes = PageList::required_bytes(capacity);
  uint64_t p = first;
  while (!pages.empty()) {
    TRY_ASSIGN(InPlaceGuard value, tree.insert_reserve(key_of(t, p), bytes));
    MutByteView out = value.value_mut();
    const std::vector<PageNumber> tail = take_tail(pages, capacity);
    PageList::set_len(out, 0);
    for (size_t i = 0; i < tail.size(); ++i) {
      PageList::set(out, i, tail[i]);
      PageList::set_len(out, i + 1);
    }
    ++p;
  }
  return p;
}

Result<void, StorageError> write_allocated_pages_entry(PageListTree& tree, TransactionId t,
                                                       std::vector<PageNumber> pages) {
  TRY(write_page_list_entries(tree, t, 0, std::move(pages), kDataPageListCapacity));
  return {};
}

Result<void, StorageError> open_table_and_flush_table_root(
    TableTreeMut& directory, std::string_view name,
    const std::function<Result<void, StorageError>(PageListTree&)>& step) {
  if (!directory.pending_table_updates().empty()) {
    panic("assertion failed: self.pending_table_updates.is_empty()");
  }
  UntypedBtreeMut& entries = directory.directory_tree();
  const InternalTableDefinition empty =
      InternalTableDefinition::create<TransactionIdWithPagination, PageList>(TableKind::kNormal,
                                                                             std::nullopt, 0);
  const std::vector<uint8_t> empty_bytes = empty.as_bytes();
  const ByteView key(reinterpret_cast<const uint8_t*>(name.data()), name.size());
  TRY_ASSIGN(std::vector<uint8_t> stored, entries.force_uncommitted(key, ByteView(empty_bytes)));
  TRY_ASSIGN(InternalTableDefinition definition,
             InternalTableDefinition::from_bytes(ByteView(stored)));
  {
    auto checked = definition.check_match<TransactionIdWithPagination, PageList>(
        TableKind::kNormal, name);
    if (!checked.ok()) return Err{system_table_error(std::move(checked).error())};
  }
  PageListTree tree(definition.table_root(), directory.guard(), directory.page_source(),
                    directory.freed_pages(), directory.allocated_pages());
  TRY(step(tree));
  TRY_ASSIGN(std::optional<BtreeHeader> root, tree.finalize_dirty_checksums());
  definition.set_root_and_length(root, root ? root->length : 0);
  const std::vector<uint8_t> updated = definition.as_bytes();
  return rewrite_directory_entry(entries, key, ByteView(updated));
}

Result<bool, StorageError> store_system_freed_pages(TableTreeMut& directory, TransactionId t,
                                                    const SharedFreedPages& system_freed,
                                                    TransactionalMemory& mem,
                                                    std::vector<PageNumber>* divert) {
  if (system_freed->lock_or_panic()->empty()) return false;
  bool stored = false;
  TRY(open_table_and_flush_table_root(
      directory, kSystemPagesUnreachable, [&](PageListTree& tree) -> Result<void, StorageError> {
        TRY_ASSIGN(uint64_t p, next_system_freed_pagination_id(tree, t));
        while (true) {
          if (system_freed->lock_or_panic()->empty()) return {};
          // The reservation may free system pages, which join the list.
          TRY_ASSIGN(InPlaceGuard value, tree.insert_reserve(key_of(t, p), kSystemPageListBytes));
          MutByteView out = value.value_mut();
          std::vector<PageNumber> tail;
          {
            auto list = system_freed->lock_or_panic();
            tail = take_tail(*list, kSystemPageListCapacity);
          }
          size_t n = 0;
          PageList::set_len(out, 0);
          for (PageNumber page : tail) {
            if (divert != nullptr && mem.unpersisted(page)) {
              divert->push_back(page);
              continue;
            }
            PageList::set(out, n, page);
            PageList::set_len(out, ++n);
            stored = true;
          }
          ++p;
        }
      }));
  return stored;
}

Result<void, StorageError> check_releasable(const PageAllocator& allocator, PageNumber page) {
  if (allocator.uncommitted(page)) {
    return Err{corrupted_list("names page " + page.debug() +
                              ", which the running transaction allocated")};
  }
  std::optional<std::string> fault = allocator.memory()->with_allocators(
      [&](const Allocators& allocators,
          const DatabaseLayout& layout) -> std::optional<std::string> {
        if (page.region >= layout.num_regions() || page.region >= allocators.buddies().size()) {
          return "page " + page.debug() + " lies outside the file's " +
                 std::to_string(layout.num_regions()) + " regions";
        }
        return allocators.buddies()[page.region].check_free(page.page_index, page.page_order);
      });
  if (fault) return Err{corrupted_list("names a page that cannot be freed: " + *fault)};
  return {};
}

Result<std::vector<TransactionId>, StorageError> extract_freed_pages(
    TableTreeMut& directory, std::string_view name, TransactionId bound,
    const PageAllocator& allocator) {
  std::vector<TransactionId> ids;
  TRY_ASSIGN(std::optional<BtreeHeader> root,
             (get_system_table_root<TransactionIdWithPagination, PageList>(directory, name)));
  if (!root) return ids;
  TRY_ASSIGN(PageListTable table,
             (open_system_table<TransactionIdWithPagination, PageList>(directory, name)));
  PageTrackerRef untracked = PageTracker::create_disabled();
  std::optional<StorageError> failure;
  {
    auto extraction = table.tree().extract_from_if(
        key_of(bound, 0), [](const TransactionIdWithPagination&, const PageList&) { return true; });
    PageNumberSet seen;
    while (auto item = extraction.untyped().next()) {
      if (!item->ok()) {
        failure = std::move(*item).error();
        break;
      }
      auto released = [&]() -> Result<void, StorageError> {
        const auto& [key_ref, value_ref] = item->value();
        TRY_ASSIGN(TransactionIdWithPagination key, read_page_list_key(key_ref.bytes()));
        TRY_ASSIGN(std::vector<PageNumber> pages, read_page_list(value_ref.bytes()));
        // Each page is checked just before it is freed: listed runs that
        // overlap one another (damage) then meet a page freed a moment ago.
        // A failure fails the commit, which discards the allocators.
        for (PageNumber page : pages) {
          if (!seen.insert(page).second) {
            return Err{corrupted_list("entry " + key_text(key) + " names page " + page.debug() +
                                      " a second time")};
          }
          TRY(check_releasable(allocator, page));
          allocator.free(page, untracked);
        }
        if (ids.empty() || ids.back().id != key.transaction_id) {
          ids.push_back(TransactionId(key.transaction_id));
        }
        return {};
      }();
      if (!released.ok()) {
        failure = std::move(released).error();
        break;
      }
    }
    auto closed = extraction.close();
    if (!failure && !closed.ok()) failure = std::move(closed).error();
  }
  table.close();
  if (failure) return Err{std::move(*failure)};
  return ids;
}

Result<std::vector<TransactionId>, StorageError> process_freed_pages_nondurable_helper(
    TableTreeMut& directory, std::string_view name, TransactionId bound,
    TransactionTracker& tracker, TransactionalMemory& mem) {
  const TransactionId start = tracker.oldest_unprocessed_non_durable_commit().value_or(bound);
  std::vector<TransactionId> ids;
  TRY_ASSIGN(PageListTable table,
             (open_system_table<TransactionIdWithPagination, PageList>(directory, name)));
  PageListTree& tree = table.tree();
  {
    const auto from = TransactionIdWithPagination::as_bytes(key_of(start, 0));
    const auto to = TransactionIdWithPagination::as_bytes(key_of(bound, 0));
    TRY_ASSIGN(BtreeCursorRange range, tree.untyped().range(EncodedBound::included(ByteView(from)),
                                                            EncodedBound::excluded(ByteView(to))));
    while (auto entry = range.next()) {
      if (!entry->ok()) return Err{std::move(*entry).error()};
      TRY_ASSIGN(TransactionIdWithPagination key, read_page_list_key(entry->value().key()));
      const TransactionId t(key.transaction_id);
      if (!ids.empty() && ids.back() == t) continue;
      if (tracker.is_unprocessed_non_durable_commit(t)) ids.push_back(t);
    }
  }
  PageTrackerRef untracked = PageTracker::create_disabled();
  for (TransactionId t : ids) {
    for (uint64_t p = 0;; ++p) {
      std::vector<PageNumber> pages;
      {
        TRY_ASSIGN(auto found, tree.get(key_of(t, p)));
        if (!found) break;
        TRY_ASSIGN(pages, read_page_list(found->bytes()));
      }
      std::vector<PageNumber> kept;
      for (PageNumber page : pages) {
        if (!mem.free_if_unpersisted(page, *untracked)) kept.push_back(page);
      }
      if (kept.size() == pages.size()) continue;
      if (kept.empty()) {
        TRY(tree.remove(key_of(t, p)));
      } else {
        const std::vector<uint8_t> value = PageList::encode(kept);
        TRY(tree.insert(key_of(t, p), PageList(ByteView(value))));
      }
    }
  }
  table.close();
  return ids;
}

}  // namespace storage
