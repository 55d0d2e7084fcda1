// The check a writable open makes before it trusts a saved allocator state: a
// census of the pages the newest commit uses, held against the loaded
// allocators. Used are every page of both table directories and of every
// table they name (the subtrees of multimap tables among them), and every page
// the two freed-page lists ("data_pages_unreachable",
// "system_pages_unreachable") name, which stay allocated until the freed-page
// processing releases them. A state that holds one of these free, or a file in
// which two of them share a page, would let the allocator hand out a page
// that a tree still reaches: a write through it overwrites live data, and the
// page is freed twice.
//
// Design: all trees are walked together, level by level. Each round reads
// the pages of one level of every tree at once, announced together
// (prefetch_pages) and read in file order, so the number of rounds follows the
// height of the tallest tree (and the chain directory, table, subtree), never
// the number of tables. Pages are read from the file past the caches: a walk
// at open would only crowd the read cache. A round is read a chunk (about a
// MiB) at a time, and walked in file order. Pages the system holds in its
// page cache are read at once (StorageBackend::read_if_cached): a warm file is
// announced nothing, since announcing a cached page costs about as much as
// reading it. The first chunk that meets a page not held announces the rest
// of the round at once. Of a tree whose leaves name nothing only the head of
// each page is read (a leaf's type byte, a small branch's children); a branch
// whose children lie beyond it is read again in full. Of a tree whose leaves name nothing
// (a normal table, a multimap subtree) only the branches and the first leaf
// are read: the first leaf gives the depth of every leaf (all leaves of a tree
// lie at one depth), and every other leaf is known by the number its parent
// holds. To learn that depth without reading a leaf it need not, a level of
// such a tree beyond its leftmost page is read one round after its leftmost
// page showed it to be a level of branches. The leaves of the directories, of
// the page lists and of a multimap's outer tree are all read, as they name
// tables, pages and subtrees.
//
// The census keeps one bit per page of the file (pages seen) and the
// allocators' view in one bit per page; it does not remember who uses a page.
// Only when it finds a page used twice does it walk again, to name the first
// user of that page for the report.
//
// Untrusted bytes: page numbers, pages and table definitions come from the
// file. Whatever the census cannot read or follow (a page number outside the
// file, a page that is neither leaf nor branch, a header or entry that does
// not parse, an unknown multimap collection tag, a tree deeper than any the
// engine writes, a page of a level of branches that is a leaf) makes the
// state untrusted, and the walk goes on with every other page. A page met
// twice is reported and not walked again, which also ends cycles. A crafted
// tree whose leaves lie at uneven depths, with valid checksums, can still
// pass: leaves below the first leaf's depth are never read. I/O failures are
// returned.
//
// Thread safety: runs on the opening thread, before the database is shared;
// it reads the allocators once under the page store's state lock. A chunk of
// a large round (CensusOptions) is read in slices on up to three more threads,
// started for that chunk and joined before it is walked, on every path (the
// announcement of a large round is split over such threads too); they only
// read or announce pages through the backend (which is safe for concurrent
// use) into the chunk's buffer, and run nothing else, never Python. A thread the system
// refuses leaves its slice to the opener.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_store/page_manager.h"

namespace storage {

// For a writable open that loaded a saved allocator state: none when the
// state holds every page the newest commit uses allocated and no page is used
// twice; else why the state cannot be trusted (the page and its users, or
// what could not be read).
// How the census reads; the defaults suit an open.
struct CensusOptions {
  // Threads that read a large round, the opener among them; 0: up to 4, no
  // more than the hardware runs at once.
  unsigned readers = 0;
  // A slice of a round gets a thread of its own only from this many pages.
  size_t min_pages_per_reader = 256;
  // For tests: asked before each reading thread is started; true refuses it,
  // as the system may.
  std::function<bool()> refuse_thread;
};

Result<std::optional<std::string>, StorageError> check_loaded_allocator_state(
    const std::shared_ptr<TransactionalMemory>& mem, const CensusOptions& options = {});

}  // namespace storage
