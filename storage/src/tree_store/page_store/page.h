// The page handles and the page tracker.
//
// PageImpl: a read-only page, shared bytes that never change while any copy
// lives. PageMut: a writable page lent by the write buffer, one owner, released
// back to the write buffer when destroyed. PageView: the read interface of
// both, through which generic page code takes either.
//
// PageTracker: the pages that one table tree of a write transaction allocated
// and still owns; shared by reference count between the tree and every
// allocation and freeing call made for it.
//
// Thread safety: PageImpl copies may be read from any thread; a PageMut has one
// owner. PageTracker is safe to share: its policy sits behind its own mutex,
// held for one set operation at a time and never with another lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <variant>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/sync.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/tree_store/page_store/cached_file.h"
#include "storage/src/tree_store/page_store/fast_hasher.h"
#include "storage/src/tree_store/page_store/page_buffer.h"

namespace storage {

class PageView {
 public:
  virtual ~PageView() = default;
  virtual std::span<const uint8_t> memory() const = 0;
  virtual PageNumber get_page_number() const = 0;

 protected:
  PageView() = default;
  PageView(const PageView&) = default;
  PageView(PageView&&) = default;
  PageView& operator=(const PageView&) = default;
  PageView& operator=(PageView&&) = default;
};

class PageImpl final : public PageView {
 public:
  PageImpl(PageBuffer mem, PageNumber page_number)
      : mem_(std::move(mem)), page_number_(page_number) {}

  std::span<const uint8_t> memory() const override { return mem_.bytes(); }
  PageNumber get_page_number() const override { return page_number_; }
  const PageBuffer& buffer() const { return mem_; }

 private:
  PageBuffer mem_;
  PageNumber page_number_;
};

// A page held for one step of a descent: its bytes, borrowed from the read
// cache where possible (see PinnedRun, whose rules it follows: one at a time
// on a thread, briefly), and its number.
class PinnedPage {
 public:
  PinnedPage(PinnedRun run, PageNumber page_number)
      : run_(std::move(run)), page_number_(page_number) {}

  std::span<const uint8_t> memory() const { return run_.bytes(); }
  PageNumber get_page_number() const { return page_number_; }
  // The page's first four bytes (see run_head), on a read-cache hit without
  // touching the page.
  uint32_t head() const { return run_.head(); }
  // A read-only page sharing the bytes; it outlives the pin.
  PageImpl to_page() const { return PageImpl(run_.share(), page_number_); }
  // Readies the count that to_page() will change (see PageBuffer).
  void prefetch_share() const noexcept { run_.buffer().prefetch_count(); }
  void release() noexcept { run_.release(); }

 private:
  PinnedRun run_;
  PageNumber page_number_;
};

class PageMut final : public PageView {
 public:
  PageMut(WritablePage mem, PageNumber page_number)
      : mem_(std::move(mem)), page_number_(page_number) {}
  PageMut(PageMut&&) = default;
  PageMut& operator=(PageMut&&) = default;

  std::span<const uint8_t> memory() const override { return mem_.mem(); }
  PageNumber get_page_number() const override { return page_number_; }
  // The bytes for writing. The caller guarantees that no one else shares them;
  // a second holder is a broken invariant and panics.
  std::span<uint8_t> memory_mut();
  // Whether the bytes came from the file: a page the transaction wrote itself
  // comes back from there once the write buffer has pushed it out.
  bool read_from_file() const { return mem_.buffer().read_from_file(); }

 private:
  WritablePage mem_;
  PageNumber page_number_;
};

class PageTracker {
 public:
  // Recording and enabled: a write transaction's data-table tree.
  static std::shared_ptr<PageTracker> create_recording();
  // Not recording and disabled: the system-table tree and throw-away uses.
  static std::shared_ptr<PageTracker> create_disabled();

  // Records a newly allocated page (no-op while disabled or not recording).
  void insert(PageNumber page);
  // Forgets a page freed at once (no-op while disabled or not recording).
  void remove(PageNumber page);
  // Hands over the recorded pages (empty when not recording) and closes the
  // tracker for good. A poisoned lock: StorageError::LockPoisoned.
  Result<PageNumberSet, StorageError> close();
  // The same for owners that must end in the closed state on every path (a
  // destructor, an abort): takes a poisoned lock too, and closing a closed
  // tracker hands over nothing.
  PageNumberSet close_ignoring_poison() noexcept;
  bool is_closed() const noexcept;
  // Stops recording and drops the recorded pages; later inserts and removes
  // cost one flag load.
  void disable();
  // True unless recording at least one page.
  bool is_empty() const;

 private:
  struct NotRecording {};
  struct Recording {
    PageNumberSet pages;
  };
  struct Closed {};
  using Policy = std::variant<NotRecording, Recording, Closed>;

  PageTracker(Policy policy, bool enabled) : policy_(std::move(policy)), enabled_(enabled) {}
  Mutex<Policy>::Guard lock_or_unwrap_panic() const;

  mutable Mutex<Policy> policy_;
  std::atomic<bool> enabled_;
};

}  // namespace storage
