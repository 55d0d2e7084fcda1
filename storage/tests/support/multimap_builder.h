// Writes multimap tables for tests, since the engine itself never does: an
// outer tree of u64 keys whose values are inline collections (tag 1, then any
// bytes) or subtree headers (tag 3), and subtrees of u64 values (8-byte keys,
// empty values) built in the same write transaction. Values can also be given
// raw, to store damaged ones.
//
// Thread safety: one test thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "storage/src/panic.h"
#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/multimap_tree.h"
#include "storage/tests/support/tree_harness.h"

namespace storage::test {

// The widths a u64 -> u64 multimap table's definition carries.
inline constexpr std::optional<size_t> kMultimapKeyWidth = 8;
inline constexpr std::optional<size_t> kMultimapValueWidth = 8;
inline constexpr TreeDescriptor kMultimapOuter{8, std::nullopt, &U64Codec::compare};
inline constexpr TreeDescriptor kMultimapSubtree{8, 0, &U64Codec::compare};

using OuterTree = BtreeMut<U64Codec, BytesCodec>;
using Subtree = BtreeMut<U64Codec, UnitCodec>;

class MultimapBuilder {
 public:
  // Continues the table at `root` inside the transaction `txn`.
  MultimapBuilder(const TxnState& txn, std::optional<BtreeHeader> root)
      : txn_(txn), outer_(txn.open<U64Codec, BytesCodec>(root)) {}

  // A subtree holding `values` (added to the one at `from`), left with the
  // placeholder checksums of this transaction.
  std::optional<BtreeHeader> subtree(const std::vector<uint64_t>& values,
                                     std::optional<BtreeHeader> from = std::nullopt) const {
    Subtree tree = txn_.open<U64Codec, UnitCodec>(from);
    for (uint64_t v : values) {
      if (!tree.insert(v, Unit{}).ok()) panic("subtree insert failed");
    }
    return tree.get_root();
  }

  void put_inline(uint64_t key, const Bytes& collection) {
    Bytes value{static_cast<uint8_t>(CollectionTag::kInline)};
    value.insert(value.end(), collection.begin(), collection.end());
    put_raw(key, value);
  }
  void put_subtree(uint64_t key, const BtreeHeader& header) {
    auto value = DynamicCollection::make_subtree_data(header);
    put_raw(key, Bytes(value.begin(), value.end()));
  }
  void put_raw(uint64_t key, const Bytes& value) {
    if (!outer_.insert(key, ByteView(value)).ok()) panic("outer insert failed");
  }

  std::optional<BtreeHeader> root() const { return outer_.get_root(); }

 private:
  const TxnState& txn_;
  OuterTree outer_;
};

}  // namespace storage::test
