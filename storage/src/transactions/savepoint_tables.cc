#include "storage/src/transactions/savepoint_tables.h"

#include <string>
#include <utility>

#include "storage/src/transactions/page_lists.h"
#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/btree_range.h"

namespace storage {

namespace {

StorageError corrupted_record() { return StorageError::Corrupted("Corrupted savepoint record"); }

// The tree of "persistent_savepoints" as this transaction sees it; none when
// the table is absent or empty.
Result<std::optional<RawBtree>, StorageError> savepoint_tree(const TableTreeMut& directory) {
  TRY_ASSIGN(std::optional<BtreeHeader> root,
             (get_system_table_root<SavepointIdCodec, SerializedSavepoint>(directory,
                                                                           kPersistentSavepoints)));
  if (!root) return std::optional<RawBtree>();
  TRY_ASSIGN(RawBtree tree,
             RawBtree::create(root, tree_descriptor<SavepointIdCodec, SerializedSavepoint>(),
                              directory.page_source(), PageReadHint::kMayBeDirty));
  return std::optional<RawBtree>(std::move(tree));
}

}  // namespace

std::array<uint8_t, SerializedSavepoint::kSize> SerializedSavepoint::encode(
    const Savepoint& savepoint) {
  std::array<uint8_t, kSize> out{};
  out[kVersionOffset] = savepoint.version();
  store_le64(out.data() + kIdOffset, savepoint.id().id);
  store_le64(out.data() + kTransactionIdOffset, savepoint.transaction_id().id);
  if (const auto& root = savepoint.data_root()) {
    out[kRootFlagOffset] = 1;
    root->root.to_le_bytes(out.data() + kRootPageOffset);
    store_le64(out.data() + kRootChecksumOffset, static_cast<uint64_t>(root->checksum));
    store_le64(out.data() + kRootChecksumOffset + 8, static_cast<uint64_t>(root->checksum >> 64));
    store_le64(out.data() + kRootLengthOffset, root->length);
  }
  return out;
}

Result<Savepoint, StorageError> SerializedSavepoint::to_savepoint(
    ByteView bytes, std::shared_ptr<TransactionTracker> tracker) {
  if (bytes.size() != kSize) return Err{corrupted_record()};
  if (bytes[kVersionOffset] != Savepoint::kVersion) {
    return Err{StorageError::Corrupted("Unsupported savepoint version: " +
                                       std::to_string(bytes[kVersionOffset]))};
  }
  const uint8_t flag = bytes[kRootFlagOffset];
  if (flag > 1) return Err{corrupted_record()};
  std::optional<BtreeHeader> root;
  if (flag == 1) {
    BtreeHeader header;
    header.root = PageNumber::from_le_bytes(bytes.data() + kRootPageOffset);
    header.checksum = static_cast<Checksum>(load_le64(bytes.data() + kRootChecksumOffset)) |
                      (static_cast<Checksum>(load_le64(bytes.data() + kRootChecksumOffset + 8))
                       << 64);
    header.length = load_le64(bytes.data() + kRootLengthOffset);
    root = header;
  }
  return Savepoint(Savepoint::kVersion, SavepointId(load_le64(bytes.data() + kIdOffset)),
                   TransactionId(load_le64(bytes.data() + kTransactionIdOffset)), root,
                   std::move(tracker), false);
}

Result<std::vector<SavepointId>, StorageError> list_persistent_savepoints(
    const TableTreeMut& directory) {
  std::vector<SavepointId> ids;
  TRY_ASSIGN(std::optional<RawBtree> tree, savepoint_tree(directory));
  if (!tree) return ids;
  BtreeCursorRange range = BtreeCursorRange::from_bounds(
      EncodedBound::unbounded(), EncodedBound::unbounded(), tree->get_root()->root,
      tree->descriptor(), tree->mem(), tree->hint());
  while (auto entry = range.next()) {
    if (!entry->ok()) return Err{std::move(*entry).error()};
    const ByteView key = entry->value().key();
    if (key.size() != 8) return Err{StorageError::Corrupted("savepoint key of " +
                                                            std::to_string(key.size()) +
                                                            " bytes")};
    ids.push_back(SavepointIdCodec::from_bytes(key));
  }
  return ids;
}

Result<Savepoint, SavepointError> get_persistent_savepoint(
    const TableTreeMut& directory, SavepointId id, std::shared_ptr<TransactionTracker> tracker,
    TransactionId last_committed) {
  TRY_ASSIGN(std::optional<RawBtree> tree, savepoint_tree(directory));
  if (!tree) return Err{SavepointError(InvalidSavepoint{})};
  const auto key = SavepointIdCodec::as_bytes(id);
  TRY_ASSIGN(std::optional<ValueRef> found, tree->get(ByteView(key)));
  if (!found) return Err{SavepointError(InvalidSavepoint{})};
  TRY_ASSIGN(Savepoint savepoint,
             SerializedSavepoint::to_savepoint(found->bytes(), std::move(tracker)));
  if (savepoint.transaction_id() > last_committed) {
    return Err{SavepointError(StorageError::Corrupted(
        "savepoint " + std::to_string(id.id) + " names transaction " +
        std::to_string(savepoint.transaction_id().id) + ", after the last commit " +
        std::to_string(last_committed.id)))};
  }
  return savepoint;
}

Result<std::optional<SavepointId>, StorageError> next_persistent_savepoint_id(
    const TableTreeMut& directory) {
  auto found = directory.get_table<UnitCodec, SavepointIdCodec>(kNextSavepointId,
                                                                 TableKind::kNormal);
  if (!found.ok()) return Err{system_table_error(std::move(found).error())};
  if (!found.value() || !found.value()->table_root()) return std::optional<SavepointId>();
  TRY_ASSIGN(RawBtree tree,
             RawBtree::create(found.value()->table_root(),
                              tree_descriptor<UnitCodec, SavepointIdCodec>(),
                              directory.page_source(), PageReadHint::kMayBeDirty));
  TRY_ASSIGN(std::optional<ValueRef> value, tree.get(ByteView()));
  if (!value) return std::optional<SavepointId>();
  if (value->bytes().size() != 8) {
    return Err{StorageError::Corrupted("savepoint counter of " +
                                       std::to_string(value->bytes().size()) + " bytes")};
  }
  return std::optional<SavepointId>(SavepointIdCodec::from_bytes(value->bytes()));
}

}  // namespace storage
