// The pages the newest commit of a file uses, gathered so that a writable open
// can test a saved allocator state before trusting it: every page of both
// table directories and of every table they name, and every page the two
// freed-page lists ("data_pages_unreachable", "system_pages_unreachable")
// name, which stay allocated until the freed-page processing releases them.
// A state that holds one of these free, or a file in which two of them share
// a page, would let the allocator hand out a page that a tree still reaches:
// a write through it overwrites live data, and the page is freed twice.
//
// What is read: the directories, the page lists and every branch page, but
// of a normal table's leaves only the first one (its depth is the depth of
// every leaf, since all leaves of a tree lie at one depth): every other leaf
// is known by the number its parent holds. A multimap table is walked in full,
// because its leaves name subtrees. Pages are read from the file past the
// caches (a walk at open would only crowd the read cache), the children of a
// branch announced together so that their reads overlap.
//
// Untrusted bytes: page numbers and pages come from the file. A page that does
// not read as a tree page (Corrupted) is counted but not followed, as no
// descent gets past it either; a branch met twice is counted again (the check
// reports the shared page) but walked once. Failures other than Corrupted
// (I/O) are returned.
//
// Thread safety: a plain value, built and used by one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_store/base.h"
#include "storage/src/tree_store/page_store/layout.h"
#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/src/tree_store/page_store/region.h"

namespace storage {

class PageCensus {
 public:
  // The pages the newest commit of `mem` uses (get_data_root, get_system_root).
  static Result<PageCensus, StorageError> of_newest_commit(
      const std::shared_ptr<TransactionalMemory>& mem);

  // The first reason why `allocators` may hand out a page in use, or none: a
  // page outside `layout`, a page that the allocators hold wholly or partly
  // free, or two uses of overlapping page runs. The text names the page and
  // its users.
  std::optional<std::string> conflict_with(const Allocators& allocators,
                                           const DatabaseLayout& layout) const;

  // The number of uses counted (a page used twice counts twice).
  size_t size() const { return uses_.size(); }

 private:
  struct Use {
    PageNumber page;
    uint32_t user;  // index into users_
  };
  class Walker;

  explicit PageCensus(std::shared_ptr<TransactionalMemory> mem) : mem_(std::move(mem)) {}
  uint32_t add_user(std::string name);
  void add(PageNumber page, uint32_t user) { uses_.push_back(Use{page, user}); }
  std::string describe(const Use& use) const;

  std::shared_ptr<TransactionalMemory> mem_;
  std::vector<std::string> users_;
  std::vector<Use> uses_;
};

// For a writable open that loaded a saved allocator state: the census of the
// newest commit checked against the loaded allocators under the page store's
// state lock. None when they agree; else why the state cannot be trusted.
Result<std::optional<std::string>, StorageError> check_loaded_allocator_state(
    const std::shared_ptr<TransactionalMemory>& mem);

}  // namespace storage
