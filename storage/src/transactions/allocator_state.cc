#include "storage/src/transactions/allocator_state.h"

#include <string>
#include <utility>
#include <vector>

#include "storage/src/panic.h"
#include "storage/src/tree_store/btree_range.h"

namespace storage {

namespace {

struct ImageSizes {
  uint32_t region_count = 0;
  std::vector<size_t> regions;
  size_t tracker = 0;
};

void check_layout(const DatabaseLayout& layout) {
  if (layout.full_region_layout().num_pages() == 0) panic("assertion failed: num_pages > 0");
}

StorageError corrupt(const std::string& what) {
  return StorageError::Corrupted("Allocator state " + what);
}

}  // namespace

Result<uint32_t, StorageError> reserve_allocator_state(TransactionalMemory& mem,
                                                       AllocatorStateTree& tree,
                                                       TransactionId transaction_id) {
  const ImageSizes sizes =
      mem.with_allocators([](const Allocators& allocators, const DatabaseLayout& layout) {
        check_layout(layout);
        ImageSizes out;
        out.region_count = layout.num_regions();
        STORAGE_ASSERT(allocators.buddies().size() >= out.region_count);
        for (uint32_t r = 0; r < out.region_count; ++r) {
          out.regions.push_back(allocators.buddies()[r].to_vec().size());
        }
        out.tracker = allocators.tracker().to_vec().size();
        return out;
      });
  for (uint32_t r = 0; r < sizes.region_count; ++r) {
    const std::vector<uint8_t> zeros(sizes.regions[r], 0);
    TRY(tree.insert(AllocatorStateKey::Region(r), ByteView(zeros)));
  }
  const std::vector<uint8_t> zeros(sizes.tracker, 0);
  TRY(tree.insert(AllocatorStateKey::RegionTracker(), ByteView(zeros)));
  const auto id = U64Codec::as_bytes(transaction_id.id);
  TRY(tree.insert(AllocatorStateKey::TransactionId(), ByteView(id)));
  return sizes.region_count;
}

Result<bool, StorageError> try_save_allocator_state(TransactionalMemory& mem,
                                                    AllocatorStateTree& tree,
                                                    uint32_t region_count) {
  return mem.with_allocators(
      [&](const Allocators& allocators, const DatabaseLayout& layout) -> Result<bool, StorageError> {
        check_layout(layout);
        if (layout.num_regions() != region_count) return false;
        // Writes `image` over the reserved value of `key`; false when it no
        // longer fits.
        auto fill = [&](const AllocatorStateKey& key,
                        const std::vector<uint8_t>& image) -> Result<bool, StorageError> {
          size_t reserved = 0;
          {
            TRY_ASSIGN(auto found, tree.get(key));
            if (!found) panic("assertion failed: the reserved allocator state entry exists");
            reserved = found->bytes().size();
          }
          if (reserved < image.size()) return false;
          std::vector<uint8_t> value(reserved, 0);
          std::copy(image.begin(), image.end(), value.begin());
          TRY(tree.insert_inplace(key, ByteView(value)));
          return true;
        };
        for (uint32_t r = 0; r < region_count; ++r) {
          TRY_ASSIGN(bool fits,
                     fill(AllocatorStateKey::Region(r), allocators.buddies()[r].to_vec()));
          if (!fits) return false;
        }
        TRY_ASSIGN(bool fits,
                   fill(AllocatorStateKey::RegionTracker(), allocators.tracker().to_vec()));
        return fits;
      });
}

Result<bool, StorageError> is_valid_allocator_state(TransactionalMemory& mem,
                                                    const AllocatorStateReadTree& tree) {
  const std::optional<BtreeHeader> root = tree.get_root();
  if (!root || root->length == 0) return false;
  uint64_t saved = 0;
  {
    TRY_ASSIGN(auto found, tree.get(AllocatorStateKey::TransactionId()));
    if (!found) return false;
    const ByteView value = found->bytes();
    if (value.size() != 8) {
      return Err{corrupt("holds a transaction id of " + std::to_string(value.size()) +
                         " bytes")};
    }
    saved = U64Codec::from_bytes(value);
  }
  TRY_ASSIGN(TransactionId last, mem.get_last_committed_transaction_id());
  return saved == last.id;
}

Result<void, StorageError> load_allocator_state(TransactionalMemory& mem,
                                                const AllocatorStateReadTree& tree) {
  TRY_ASSIGN(bool valid, is_valid_allocator_state(mem, tree));
  if (!valid) panic("assertion failed: self.is_valid_allocator_state(tree)?");
  std::vector<BuddyAllocator> buddies;
  std::optional<RegionTracker> tracker;
  const std::optional<BtreeHeader> root = tree.get_root();
  BtreeCursorRange range = BtreeCursorRange::from_bounds(
      EncodedBound::unbounded(), EncodedBound::unbounded(),
      root ? std::optional<PageNumber>(root->root) : std::nullopt, tree.raw().descriptor(),
      tree.raw().mem(), tree.raw().hint());
  // Keys arrive in order: regions by index, the tracker, the id, then any
  // unknown tag.
  while (auto entry = range.next()) {
    if (!entry->ok()) return Err{std::move(*entry).take_err()};
    const CursorEntry& found = entry->value();
    const std::optional<AllocatorStateKey> key = AllocatorStateKey::parse(found.key());
    if (!key) return Err{corrupt("holds a key it cannot read")};
    switch (key->kind) {
      case AllocatorStateKey::Kind::kDeprecated:
      case AllocatorStateKey::Kind::kTransactionId:
        break;
      case AllocatorStateKey::Kind::kRegion: {
        if (key->region != buddies.size()) {
          return Err{corrupt("lacks region " + std::to_string(buddies.size()))};
        }
        TRY_ASSIGN(BuddyAllocator buddy, BuddyAllocator::from_bytes(found.value()));
        buddies.push_back(std::move(buddy));
        break;
      }
      case AllocatorStateKey::Kind::kRegionTracker: {
        TRY_ASSIGN(RegionTracker parsed, RegionTracker::from_bytes(found.value()));
        tracker.emplace(std::move(parsed));
        break;
      }
    }
  }
  if (!tracker) return Err{corrupt("lacks the region tracker")};
  // install_allocators checks the images against the layout (an empty list
  // of regions included) before anything replaces the current allocators.
  return mem.install_allocators(std::move(*tracker), std::move(buddies));
}

}  // namespace storage
