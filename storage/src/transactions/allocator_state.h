// The allocator state saved by a database's close commit: the system table
// "allocator_state" (AllocatorStateKey → byte string) holds one image per
// region's buddy allocator, the region tracker's image and the id of the
// commit that wrote them. A later open loads the allocators from it instead
// of walking every page, provided that commit is still the last one and was
// two-phase.
//
// Saving reserves zero-filled values first (the inserts allocate pages and so
// change the allocators), then fills them in place under the page store's
// state lock, which allocates nothing; the commit repeats both when the
// reservation turned out too small (see storage/FORMAT.md).
//
// Untrusted bytes: at open the table is file bytes. A key with an unknown
// tag, a missing Region or RegionTracker entry, a TransactionId value that is
// not 8 bytes, or images that do not fit the file's layout are Corrupted, and
// nothing is installed.
//
// Threads: saving runs inside the one live write transaction, loading inside
// the open; neither races another writer.
#pragma once

#include <cstdint>
#include <optional>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/system_types.h"
#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/page_store/page_manager.h"

namespace storage {

using AllocatorStateTree = BtreeMut<AllocatorStateKey, BytesCodec>;
using AllocatorStateReadTree = Btree<AllocatorStateKey, BytesCodec>;

// Inserts zero-filled values as long as the current images (a Region entry
// per region, then RegionTracker) and the 8-byte id; returns the region count.
Result<uint32_t, StorageError> reserve_allocator_state(TransactionalMemory& mem,
                                                       AllocatorStateTree& tree,
                                                       TransactionId transaction_id);
// Fills the reserved values in place with the current images. False, with
// nothing guaranteed about the values, when the region count is no longer
// `region_count` or an image outgrew its value.
Result<bool, StorageError> try_save_allocator_state(TransactionalMemory& mem,
                                                    AllocatorStateTree& tree,
                                                    uint32_t region_count);
// Non-empty, with a TransactionId entry equal to the last committed id. A
// TransactionId value that is not 8 bytes is Corrupted.
Result<bool, StorageError> is_valid_allocator_state(TransactionalMemory& mem,
                                                    const AllocatorStateReadTree& tree);
// Rebuilds the allocators from a valid state and installs them (fitted to
// the current layout); the in-memory recovery flag is cleared. A state that
// is not valid is a broken invariant (panic).
Result<void, StorageError> load_allocator_state(TransactionalMemory& mem,
                                                const AllocatorStateReadTree& tree);

}  // namespace storage
