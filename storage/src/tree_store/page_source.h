// What the B-tree needs of the page store: a read side (PageSource) that turns a
// page number into the page's bytes, and the write transaction's side
// (WritablePageSource) that also allocates, opens for writing and frees pages
// and knows which pages the transaction allocated itself (uncommitted ones).
//
// The trees call these through virtual functions so that the tree code stays
// out of headers; the page store's own handles (PageResolver and
// PageAllocator) are wrapped by PageSourceOf / WritablePageSourceOf, which
// need only the method names below (page_source_of builds them), and so can
// the stand-ins of tests.
//
// Thread safety: implementations must allow get_page from any thread; the
// writing side is used by the write transaction's thread.
#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/sync.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/tree_store/page_store/cached_file.h"
#include "storage/src/tree_store/page_store/page.h"
#include "storage/src/tree_store/page_store/page_manager.h"

namespace storage {

using PageTrackerRef = std::shared_ptr<PageTracker>;
// The write transaction's freed-page list, common to all its trees.
using SharedFreedPages = std::shared_ptr<Mutex<std::vector<PageNumber>>>;

class PageSource {
 public:
  virtual ~PageSource() = default;
  virtual Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const = 0;
  // The page for one step of a descent, borrowed in place where the source can
  // (see PinnedPage); by default a page of its own.
  virtual Result<PinnedPage, StorageError> pin_page(const PageNumber& page,
                                                    PageReadHint hint) const {
    TRY_ASSIGN(PageImpl read, get_page(page, hint));
    return PinnedPage(PinnedRun(read.buffer()), page);
  }
};

class WritablePageSource : public PageSource {
 public:
  // Lends a page of this transaction for writing, holding its current bytes.
  virtual Result<PageMut, StorageError> get_page_mut(PageNumber page) const = 0;
  // A fresh run of pages of at least `size` bytes, recorded in the tracker and
  // as uncommitted; its bytes are for the caller to write.
  virtual Result<PageMut, StorageError> allocate(size_t size,
                                                 const PageTrackerRef& tracker) const = 0;
  virtual bool uncommitted(PageNumber page) const = 0;
  // Releases the page at once, whoever allocated it.
  virtual void free(PageNumber page, const PageTrackerRef& tracker) const = 0;
  // Releases an uncommitted page at once; appends any other to `freed`.
  virtual void conditional_free(PageNumber page, const PageTrackerRef& tracker,
                                std::vector<PageNumber>& freed) const = 0;
  // Releases an uncommitted page at once and says so; leaves any other alone.
  virtual bool free_if_uncommitted(PageNumber page, const PageTrackerRef& tracker) const = 0;
  virtual size_t get_page_size() const = 0;
};

namespace page_source_detail {

template <typename T>
decltype(auto) deref(T& handle) {
  if constexpr (requires { *handle; handle.operator->(); }) {
    return (*handle);
  } else {
    return (handle);
  }
}

template <typename H>
concept PinsPages = requires(const H& h, PageNumber page, PageReadHint hint) {
  { h.pin_page(page, hint) } -> std::same_as<Result<PinnedPage, StorageError>>;
};

}  // namespace page_source_detail

// A page-store read handle held by value (or through a smart pointer).
template <typename R>
class PageSourceOf final : public PageSource {
 public:
  explicit PageSourceOf(R handle) : handle_(std::move(handle)) {}
  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const override {
    return page_source_detail::deref(handle_).get_page(page, hint);
  }
  Result<PinnedPage, StorageError> pin_page(const PageNumber& page,
                                            PageReadHint hint) const override {
    using Handle = std::remove_cvref_t<decltype(page_source_detail::deref(handle_))>;
    if constexpr (page_source_detail::PinsPages<Handle>) {
      return page_source_detail::deref(handle_).pin_page(page, hint);
    } else {
      return PageSource::pin_page(page, hint);
    }
  }
  const R& handle() const { return handle_; }

 private:
  mutable R handle_;
};

// A write transaction's page allocator held by value (or through a smart pointer).
template <typename A>
class WritablePageSourceOf final : public WritablePageSource {
 public:
  explicit WritablePageSourceOf(A handle) : handle_(std::move(handle)) {}

  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const override {
    return a().get_page(page, hint);
  }
  Result<PinnedPage, StorageError> pin_page(const PageNumber& page,
                                            PageReadHint hint) const override {
    using Handle = std::remove_cvref_t<decltype(a())>;
    if constexpr (page_source_detail::PinsPages<Handle>) {
      return a().pin_page(page, hint);
    } else {
      return PageSource::pin_page(page, hint);
    }
  }
  Result<PageMut, StorageError> get_page_mut(PageNumber page) const override {
    return a().get_page_mut(page);
  }
  Result<PageMut, StorageError> allocate(size_t size,
                                         const PageTrackerRef& tracker) const override {
    return a().allocate(size, tracker);
  }
  bool uncommitted(PageNumber page) const override { return a().uncommitted(page); }
  void free(PageNumber page, const PageTrackerRef& tracker) const override {
    a().free(page, tracker);
  }
  void conditional_free(PageNumber page, const PageTrackerRef& tracker,
                        std::vector<PageNumber>& freed) const override {
    a().conditional_free(page, tracker, freed);
  }
  bool free_if_uncommitted(PageNumber page, const PageTrackerRef& tracker) const override {
    return a().free_if_uncommitted(page, tracker);
  }
  size_t get_page_size() const override { return a().get_page_size(); }

  const A& handle() const { return handle_; }

 private:
  decltype(auto) a() const { return page_source_detail::deref(handle_); }
  mutable A handle_;
};

template <typename R>
std::shared_ptr<const PageSource> make_page_source(R handle) {
  return std::make_shared<const PageSourceOf<R>>(std::move(handle));
}
template <typename A>
std::shared_ptr<const WritablePageSource> make_writable_page_source(A handle) {
  return std::make_shared<const WritablePageSourceOf<A>>(std::move(handle));
}

// The page store's pages, read as read transactions and repair do.
inline std::shared_ptr<const PageSource> page_source_of(std::shared_ptr<TransactionalMemory> mem) {
  return make_page_source(PageResolver(std::move(mem)));
}
// A write transaction's pages, through a copy of its allocator.
inline std::shared_ptr<const WritablePageSource> page_source_of(const PageAllocator& allocator) {
  return make_writable_page_source(allocator);
}

}  // namespace storage
