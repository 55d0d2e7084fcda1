// The page-list system tables: how lists are laid out in entries, how the
// freed lists are drained, and how damaged lists are refused.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "storage/src/transactions/page_lists.h"
#include "storage/tests/support/transactional_page_store.h"

namespace storage::test {
namespace {

using Key = TransactionIdWithPagination;

std::vector<PageNumber> fake_pages(size_t n, uint32_t region = 0) {
  std::vector<PageNumber> out;
  for (size_t i = 0; i < n; ++i) out.emplace_back(region, static_cast<uint32_t>(i), 0);
  return out;
}

std::vector<PageNumber> slice(const std::vector<PageNumber>& pages, size_t from, size_t to) {
  return std::vector<PageNumber>(pages.begin() + from, pages.begin() + to);
}

// One write transaction's system directory over the real page store.
struct SystemTxn {
  explicit SystemTxn(std::shared_ptr<TransactionalPageStore> s, std::optional<BtreeHeader> root)
      : store(std::move(s)),
        dir(root, nullptr, store->writable(), freed, PageTracker::create_disabled()) {}

  // The stored entries of a page-list table, in key order.
  std::vector<std::pair<Key, std::vector<uint8_t>>> entries(std::string_view name) {
    std::vector<std::pair<Key, std::vector<uint8_t>>> out;
    auto root = get_system_table_root<Key, PageList>(dir, name);
    EXPECT_TRUE(root.ok());
    if (!root.ok() || !root.value()) return out;
    auto range = BtreeCursorRange::from_bounds(EncodedBound::unbounded(),
                                               EncodedBound::unbounded(), root.value()->root,
                                               tree_descriptor<Key, PageList>(),
                                               store->readable(), PageReadHint::kMayBeDirty);
    while (auto entry = range.next()) {
      EXPECT_TRUE(entry->ok());
      const ByteView v = entry->value().value();
      out.emplace_back(Key::from_bytes(entry->value().key()),
                       std::vector<uint8_t>(v.begin(), v.end()));
    }
    return out;
  }

  // Commits the directory as the store's root.
  std::optional<BtreeHeader> commit() {
    auto closed = dir.flush_and_close();
    EXPECT_TRUE(closed.ok());
    auto committed = store->commit(closed->root);
    EXPECT_TRUE(committed.ok());
    return closed->root;
  }

  std::shared_ptr<TransactionalPageStore> store;
  SharedFreedPages freed = std::make_shared<Mutex<std::vector<PageNumber>>>();
  TableTreeMut dir;
};

std::vector<PageNumber> listed(const std::vector<uint8_t>& value) {
  auto pages = read_page_list(ByteView(value));
  EXPECT_TRUE(pages.ok());
  return pages.ok() ? pages.value() : std::vector<PageNumber>{};
}

TEST(PageListLayout, KeysOrderByTransactionThenPagination) {
  auto bytes = [](uint64_t t, uint64_t p) { return Key::as_bytes(Key{t, p}); };
  const auto a = bytes(1, 2), b = bytes(2, 0), c = bytes(2, 1), big = bytes(1ull << 63, 0);
  EXPECT_EQ(Key::compare(ByteView(a), ByteView(b)), std::strong_ordering::less);
  EXPECT_EQ(Key::compare(ByteView(b), ByteView(c)), std::strong_ordering::less);
  EXPECT_EQ(Key::compare(ByteView(c), ByteView(big)), std::strong_ordering::less);
  EXPECT_EQ(Key::compare(ByteView(c), ByteView(c)), std::strong_ordering::equal);
}

TEST(PageListLayout, EntriesTakeTheTailOfTheListFirst) {
  struct Case {
    size_t pages;
    size_t capacity;
    std::vector<std::pair<size_t, size_t>> expected;  // [from, to) per entry
  };
  const std::vector<Case> cases = {
      {401, kDataPageListCapacity, {{1, 401}, {0, 1}}},
      {1000, kDataPageListCapacity, {{600, 1000}, {200, 600}, {0, 200}}},
      {400, kDataPageListCapacity, {{0, 400}}},
      {450, kSystemPageListCapacity, {{250, 450}, {50, 250}, {0, 50}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.pages) + " pages, " + std::to_string(c.capacity) + " each");
    SystemTxn txn(TransactionalPageStore::create(), std::nullopt);
    const auto pages = fake_pages(c.pages);
    {
      auto table = open_system_table<Key, PageList>(txn.dir, kDataPagesAllocated);
      ASSERT_TRUE(table.ok());
      auto next = write_page_list_entries(table->tree(), TransactionId(9), 0, pages, c.capacity);
      ASSERT_TRUE(next.ok());
      EXPECT_EQ(next.value(), c.expected.size());
    }
    const auto entries = txn.entries(kDataPagesAllocated);
    ASSERT_EQ(entries.size(), c.expected.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].first, (Key{9, i}));
      EXPECT_EQ(entries[i].second.size(), PageList::required_bytes(c.capacity));
      EXPECT_EQ(listed(entries[i].second),
                slice(pages, c.expected[i].first, c.expected[i].second));
    }
  }
}

TEST(PageListLayout, AllocatedPagesEntryOf1000PagesAndOfNone) {
  SystemTxn txn(TransactionalPageStore::create(), std::nullopt);
  auto table = open_system_table<Key, PageList>(txn.dir, kDataPagesAllocated);
  ASSERT_TRUE(table.ok());
  ASSERT_TRUE(write_allocated_pages_entry(table->tree(), TransactionId(3), {}).ok());
  EXPECT_FALSE(table->tree().get_root().has_value());
  ASSERT_TRUE(write_allocated_pages_entry(table->tree(), TransactionId(3), fake_pages(1000)).ok());
  table->close();
  const auto entries = txn.entries(kDataPagesAllocated);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(listed(entries[0].second).size(), 400u);
  EXPECT_EQ(listed(entries[1].second).size(), 400u);
  EXPECT_EQ(listed(entries[2].second).size(), 200u);
  for (const auto& [key, value] : entries) EXPECT_EQ(value.size(), kDataPageListBytes);
}

TEST(PageListLayout, NextPaginationIdFollowsTheTransactionsLastEntry) {
  SystemTxn txn(TransactionalPageStore::create(), std::nullopt);
  auto table = open_system_table<Key, PageList>(txn.dir, kSystemPagesUnreachable);
  ASSERT_TRUE(table.ok());
  PageListTree& tree = table->tree();
  auto next = [&](uint64_t t) {
    auto p = next_system_freed_pagination_id(tree, TransactionId(t));
    EXPECT_TRUE(p.ok());
    return p.ok() ? p.value() : ~uint64_t{0};
  };
  EXPECT_EQ(next(5), 0u);
  ASSERT_TRUE(write_page_list_entries(tree, TransactionId(5), 0, fake_pages(5), 1).ok());
  ASSERT_TRUE(write_page_list_entries(tree, TransactionId(4), 0, fake_pages(9), 1).ok());
  ASSERT_TRUE(write_page_list_entries(tree, TransactionId(6), 0, fake_pages(2), 1).ok());
  EXPECT_EQ(next(5), 5u);
  EXPECT_EQ(next(4), 9u);
  EXPECT_EQ(next(6), 2u);
  EXPECT_EQ(next(7), 0u);
}

TEST(PageListLayout, SystemFreedPagesContinueAfterExistingEntries) {
  SystemTxn txn(TransactionalPageStore::create(), std::nullopt);
  {
    auto table = open_system_table<Key, PageList>(txn.dir, kSystemPagesUnreachable);
    ASSERT_TRUE(table.ok());
    ASSERT_TRUE(
        write_page_list_entries(table->tree(), TransactionId(8), 0, fake_pages(3, 1), 2).ok());
  }
  ASSERT_TRUE(txn.dir.flush_table_root_updates().ok());
  const auto pages = fake_pages(450);
  *txn.freed->lock_or_panic() = pages;
  auto stored = store_system_freed_pages(txn.dir, TransactionId(8), txn.freed,
                                         *txn.store->memory(), nullptr);
  ASSERT_TRUE(stored.ok()) << stored.error().to_string();
  EXPECT_TRUE(stored.value());
  EXPECT_TRUE(txn.freed->lock_or_panic()->empty());
  EXPECT_TRUE(txn.dir.pending_table_updates().empty());
  const auto entries = txn.entries(kSystemPagesUnreachable);
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[2].first, (Key{8, 2}));
  EXPECT_EQ(listed(entries[2].second), slice(pages, 250, 450));
  EXPECT_EQ(listed(entries[3].second), slice(pages, 50, 250));
  EXPECT_EQ(listed(entries[4].second), slice(pages, 0, 50));
  for (size_t i = 2; i < 5; ++i) EXPECT_EQ(entries[i].second.size(), kSystemPageListBytes);
}

TEST(PageListLayout, EmptySystemListStoresNothingAndCreatesNoTable) {
  SystemTxn txn(TransactionalPageStore::create(), std::nullopt);
  auto stored = store_system_freed_pages(txn.dir, TransactionId(8), txn.freed,
                                         *txn.store->memory(), nullptr);
  ASSERT_TRUE(stored.ok());
  EXPECT_FALSE(stored.value());
  EXPECT_FALSE(txn.dir.get_root().has_value());
}

// Pages allocated and committed by an earlier transaction, then listed as
// freed under the given transaction ids.
struct ListedPages {
  std::shared_ptr<TransactionalPageStore> store = TransactionalPageStore::create();
  std::optional<BtreeHeader> root;
  std::vector<PageNumber> pages;

  void allocate(size_t n) {
    auto tracker = PageTracker::create_disabled();
    for (size_t i = 0; i < n; ++i) {
      auto page = store->allocator().allocate(4096, tracker);
      ASSERT_TRUE(page.ok());
      pages.push_back(page->get_page_number());
    }
    ASSERT_TRUE(store->commit(std::nullopt).ok());
  }

  // Each list stored raw under its key.
  void list(std::string_view name, const std::vector<std::pair<Key, std::vector<uint8_t>>>& raw) {
    SystemTxn txn(store, root);
    {
      auto table = open_system_table<Key, PageList>(txn.dir, name);
      ASSERT_TRUE(table.ok());
      for (const auto& [key, value] : raw) {
        ASSERT_TRUE(table->tree().insert(key, PageList(ByteView(value))).ok());
      }
    }
    root = txn.commit();
  }
};

TEST(PageListDrain, ExtractionBelowTheBoundFreesTheListedPages) {
  ListedPages fixture;
  fixture.allocate(6);
  const auto& p = fixture.pages;
  fixture.list(kDataPagesUnreachable, {{Key{3, 0}, PageList::encode(slice(p, 0, 2))},
                                       {Key{3, 1}, PageList::encode(slice(p, 2, 3))},
                                       {Key{4, 0}, PageList::encode(slice(p, 3, 5))},
                                       {Key{5, 0}, PageList::encode(slice(p, 5, 6))}});
  SystemTxn txn(fixture.store, fixture.root);
  auto ids = extract_freed_pages(txn.dir, kDataPagesUnreachable, TransactionId(5),
                                 fixture.store->allocator());
  ASSERT_TRUE(ids.ok()) << ids.error().to_string();
  EXPECT_EQ(ids.value(), (std::vector<TransactionId>{TransactionId(3), TransactionId(4)}));
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_FALSE(check_releasable(fixture.store->allocator(), p[i]).ok()) << "freed " << i;
  }
  EXPECT_TRUE(check_releasable(fixture.store->allocator(), p[5]).ok());
  const auto left = txn.entries(kDataPagesUnreachable);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].first, (Key{5, 0}));
}

TEST(PageListDrain, ExtractionOfAnAbsentTableCreatesNothing) {
  SystemTxn txn(TransactionalPageStore::create(), std::nullopt);
  auto ids = extract_freed_pages(txn.dir, kSystemPagesUnreachable, TransactionId(100),
                                 txn.store->allocator());
  ASSERT_TRUE(ids.ok());
  EXPECT_TRUE(ids.value().empty());
  EXPECT_FALSE(txn.dir.get_root().has_value());
}

TEST(PageListDrain, DamagedListsAreCorruptedAndNoPageIsFreedTwice) {
  struct Case {
    std::string name;
    // Entries built from the six committed pages.
    std::function<std::vector<std::pair<Key, std::vector<uint8_t>>>(
        const std::vector<PageNumber>&)>
        entries;
  };
  auto raw = [](std::vector<uint8_t> bytes) { return bytes; };
  const std::vector<Case> cases = {
      {"value shorter than its count",
       [&](const auto& p) {
         auto v = PageList::encode(slice(p, 0, 3));
         v.resize(v.size() - 1);
         return std::vector<std::pair<Key, std::vector<uint8_t>>>{{Key{2, 0}, v}};
       }},
      {"value without a count",
       [&](const auto&) {
         return std::vector<std::pair<Key, std::vector<uint8_t>>>{{Key{2, 0}, raw({7})}};
       }},
      {"page in a region beyond the file",
       [&](const auto&) {
         return std::vector<std::pair<Key, std::vector<uint8_t>>>{
             {Key{2, 0}, PageList::encode(std::vector<PageNumber>{PageNumber(999, 0, 0)})}};
       }},
      {"page beyond the region's end",
       [&](const auto&) {
         return std::vector<std::pair<Key, std::vector<uint8_t>>>{
             {Key{2, 0}, PageList::encode(std::vector<PageNumber>{PageNumber(0, 0xFFFFF, 0)})}};
       }},
      {"free page",
       [&](const auto& p) {
         PageNumber free_page = p.back();
         free_page.page_index += 50;
         return std::vector<std::pair<Key, std::vector<uint8_t>>>{
             {Key{2, 0}, PageList::encode(std::vector<PageNumber>{free_page})}};
       }},
      {"page listed twice in one entry",
       [&](const auto& p) {
         return std::vector<std::pair<Key, std::vector<uint8_t>>>{
             {Key{2, 0}, PageList::encode(std::vector<PageNumber>{p[0], p[1], p[0]})}};
       }},
      {"overlapping runs in one entry",
       [&](const auto& p) {
         // A page and the order-1 run that holds it and its (allocated) buddy:
         // each alone could be freed, the second not after the first.
         for (const PageNumber& a : p) {
           for (const PageNumber& b : p) {
             if (a.region == b.region && a.page_index % 2 == 0 &&
                 b.page_index == a.page_index + 1) {
               const PageNumber run(a.region, a.page_index / 2, 1);
               return std::vector<std::pair<Key, std::vector<uint8_t>>>{
                   {Key{2, 0}, PageList::encode(std::vector<PageNumber>{a, run})}};
             }
           }
         }
         ADD_FAILURE() << "no two buddies among the committed pages";
         return std::vector<std::pair<Key, std::vector<uint8_t>>>{};
       }},
      {"page listed in two entries",
       [&](const auto& p) {
         return std::vector<std::pair<Key, std::vector<uint8_t>>>{
             {Key{2, 0}, PageList::encode(slice(p, 0, 2))},
             {Key{3, 0}, PageList::encode(slice(p, 1, 3))}};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ListedPages fixture;
    fixture.allocate(6);
    fixture.list(kSystemPagesUnreachable, c.entries(fixture.pages));
    SystemTxn txn(fixture.store, fixture.root);
    auto ids = extract_freed_pages(txn.dir, kSystemPagesUnreachable, TransactionId(10),
                                   fixture.store->allocator());
    ASSERT_FALSE(ids.ok());
    EXPECT_EQ(ids.error().kind(), StorageError::Kind::kCorrupted) << ids.error().to_string();
  }
}

TEST(PageListDrain, NonDurableProcessingFreesOnlyUnpersistedPages) {
  ListedPages fixture;
  fixture.allocate(2);  // durable: p[0], p[1]
  auto mem = fixture.store->memory();
  auto tracker = PageTracker::create_disabled();
  std::vector<PageNumber> p = fixture.pages;
  for (int i = 0; i < 4; ++i) {  // p[2] .. p[5], made by the non-durable commit 4
    auto page = fixture.store->allocator().allocate(4096, tracker);
    ASSERT_TRUE(page.ok());
    p.push_back(page->get_page_number());
  }
  SystemTxn listing(fixture.store, fixture.root);
  {
    auto table = open_system_table<Key, PageList>(listing.dir, kDataPagesUnreachable);
    ASSERT_TRUE(table.ok());
    auto put = [&](Key key, std::vector<PageNumber> pages) {
      ASSERT_TRUE(table->tree().insert(key, PageList(ByteView(PageList::encode(pages)))).ok());
    };
    put(Key{5, 0}, {p[2], p[3]});        // all unpersisted: deleted
    put(Key{5, 1}, {p[4], p[0]});        // one kept: rewritten
    put(Key{5, 2}, {p[0], p[1]});        // none: unchanged
    put(Key{6, 0}, {p[5]});              // not an unprocessed commit: untouched
  }
  auto closed = listing.dir.flush_and_close();
  ASSERT_TRUE(closed.ok());
  ASSERT_TRUE(mem->non_durable_commit(closed->root, std::nullopt, TransactionId(4),
                                      fixture.store->allocator().take_allocated_since_commit())
                  .ok());
  auto commits = TransactionTracker::create(TransactionId(10));
  commits->register_non_durable_commit(TransactionId(5), TransactionId(1), true);
  SystemTxn txn(fixture.store, closed->root);
  auto ids = process_freed_pages_nondurable_helper(txn.dir, kDataPagesUnreachable,
                                                   TransactionId(7), *commits, *mem);
  ASSERT_TRUE(ids.ok()) << ids.error().to_string();
  EXPECT_EQ(ids.value(), std::vector<TransactionId>{TransactionId(5)});
  const auto left = txn.entries(kDataPagesUnreachable);
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(left[0].first, (Key{5, 1}));
  EXPECT_EQ(left[0].second, PageList::encode(std::vector<PageNumber>{p[0]}));
  EXPECT_EQ(left[1].first, (Key{5, 2}));
  EXPECT_EQ(listed(left[1].second), (std::vector<PageNumber>{p[0], p[1]}));
  EXPECT_EQ(left[2].first, (Key{6, 0}));
  for (int i : {2, 3, 4}) EXPECT_FALSE(mem->unpersisted(p[i])) << i;
  EXPECT_TRUE(mem->unpersisted(p[5]));
}

}  // namespace
}  // namespace storage::test
