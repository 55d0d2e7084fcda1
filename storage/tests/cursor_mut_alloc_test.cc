// Sorted append is the build's write path: once a write cursor is warm, an
// insert allocates nothing, so appending 100,000 pairs costs fewer heap
// allocations than the leaves it writes. Counted by replacing the global
// operator new of this test binary; only this test's thread counts, and only
// while it measures. What the page store allocates to keep its own books on a
// page (its write buffer and uncommitted-page set) is its own, not counted.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "storage/src/tree_store/btree_cursor_mut.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_harness.h"

namespace {

thread_local bool t_counting = false;
thread_local size_t t_allocations = 0;

void* counted_alloc(size_t n) {
  if (t_counting) ++t_allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

// Whatever the page store does inside a call is not counted.
struct Uncounted {
  Uncounted() : was(t_counting) { t_counting = false; }
  ~Uncounted() { t_counting = was; }
  bool was;
};

}  // namespace

void* operator new(size_t n) { return counted_alloc(n); }
void* operator new[](size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace storage {
namespace {

class UncountedPages final : public WritablePageSource {
 public:
  explicit UncountedPages(std::shared_ptr<const WritablePageSource> inner)
      : inner_(std::move(inner)) {}
  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const override {
    Uncounted u;
    return inner_->get_page(page, hint);
  }
  Result<PageMut, StorageError> get_page_mut(PageNumber page) const override {
    Uncounted u;
    return inner_->get_page_mut(page);
  }
  Result<PageMut, StorageError> allocate(size_t size,
                                         const PageTrackerRef& tracker) const override {
    Uncounted u;
    ++allocations;
    return inner_->allocate(size, tracker);
  }
  bool uncommitted(PageNumber page) const override { return inner_->uncommitted(page); }
  void free(PageNumber page, const PageTrackerRef& tracker) const override {
    Uncounted u;
    inner_->free(page, tracker);
  }
  void conditional_free(PageNumber page, const PageTrackerRef& tracker,
                        std::vector<PageNumber>& freed) const override {
    Uncounted u;
    inner_->conditional_free(page, tracker, freed);
  }
  bool free_if_uncommitted(PageNumber page, const PageTrackerRef& tracker) const override {
    Uncounted u;
    return inner_->free_if_uncommitted(page, tracker);
  }
  size_t get_page_size() const override { return inner_->get_page_size(); }

  mutable size_t allocations = 0;

 private:
  std::shared_ptr<const WritablePageSource> inner_;
};

TEST(CursorMutAllocationTest, AWarmCursorAllocatesNothingPerPair) {
  auto store = test::TransactionalPageStore::create();
  auto pages = std::make_shared<UncountedPages>(store->writable());
  test::TxnState txn{std::shared_ptr<const WritablePageSource>(pages)};
  std::optional<BtreeHeader> root;
  BtreeCursorMut cursor(root, pages, txn.tracker, txn.freed);
  ASSERT_TRUE(cursor.seek_upper_bound(EncodedBound::unbounded()).ok());
  uint8_t value[45] = {};
  uint64_t key = 0;
  auto append = [&](size_t n) {
    for (size_t i = 0; i < n; ++i) {
      ++key;
      const auto k = U64Codec::as_bytes(key);
      value[0] = static_cast<uint8_t>(key);
      if (!cursor.insert_before(ByteView(k), ByteView(value, sizeof(value))).value()) {
        panic("refused in-order key");
      }
    }
  };
  // Warm: one run spliced, so the run's buffers are at full size.
  append(25'000);
  ASSERT_TRUE(root.has_value());

  const size_t pages_before = pages->allocations;
  t_allocations = 0;
  t_counting = true;
  append(100'000);
  t_counting = false;
  const size_t allocations = t_allocations;
  const size_t pages_written = pages->allocations - pages_before;

  ASSERT_TRUE(cursor.finish().ok());
  EXPECT_EQ(root->length, 125'000u);
  std::printf("%zu allocations for 100000 pairs, %zu pages written\n", allocations,
              pages_written);
  ASSERT_GT(pages_written, 1000u);
  EXPECT_LT(allocations, pages_written) << allocations << " allocations for " << pages_written
                                        << " pages";
}

}  // namespace
}  // namespace storage
