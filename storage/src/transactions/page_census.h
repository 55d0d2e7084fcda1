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
// Design: all trees are walked together, level by level, so that the number
// of rounds follows the height of the tallest tree (and the chain directory,
// table, subtree), never the number of tables. A round is sorted into file
// order and read past the caches in chunks, a few chunks ahead of the walk
// (the walk of one overlaps the reads of the next), by a few helper threads
// and the opener. Pages the system holds in its page cache are read at once
// (StorageBackend::read_if_cached): a warm file is announced nothing, since
// announcing a cached page costs about as much as reading it; while a warm
// round is walked, the heads of the pages it names for the next round are
// read ahead on the helpers. A round whose first pages, or a quarter of a
// chunk's, are not held is announced from there on (prefetch_pages, which
// takes in pages a few apart and keeps each range within the system's
// read-ahead window); a few pages missing from a warm file (under writeback,
// say) are announced alone. Of a tree whose leaves name nothing (a normal
// table, a multimap subtree) only the branches and the first leaf are read,
// and of each only the head (a leaf's type byte, a small branch's children);
// a branch whose children lie beyond the head is read again in full. The
// first leaf gives the depth of every leaf (all leaves of a tree lie at one
// depth), and every other leaf is known by the number its parent holds. To
// learn that depth without reading a leaf it need not, a level of such a tree
// beyond its leftmost page is read one round after its leftmost page showed
// it to be a level of branches. The leaves of the directories, of the page
// lists and of a multimap's outer tree are all read, as they name tables,
// pages and subtrees.
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
// it reads the allocators once under the page store's state lock. A few
// helper threads (five at most by default, CensusOptions) are started when a
// round first asks for them
// and joined when the census ends, on every path; they only read or announce
// pages through the backend (which is safe for concurrent use) into buffers
// the census keeps until they are joined, and run nothing else, never Python.
// Everything else (the walk, the bits, the trees) is the opener's alone. A
// thread the system refuses leaves its share to the others and the opener.
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
  // Threads that read a large round, the opener among them; 0: up to 6, no
  // more than the hardware runs at once.
  unsigned readers = 0;
  // A round asks for a thread per this many reads (a whole page counts as a
  // few); threads once started serve the rest of the census.
  size_t min_pages_per_reader = 256;
  // For tests: asked before each reading thread is started; true refuses it,
  // as the system may.
  std::function<bool()> refuse_thread;
};

Result<std::optional<std::string>, StorageError> check_loaded_allocator_state(
    const std::shared_ptr<TransactionalMemory>& mem, const CensusOptions& options = {});

}  // namespace storage
