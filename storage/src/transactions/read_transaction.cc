#include <string>
#include <utility>

#include "storage/src/transactions/transaction_state.h"

namespace storage {

namespace detail {

Result<void, StorageError> check_utf8(ByteView bytes, const std::string& table, const char* what) {
  if (is_valid_utf8(bytes)) return {};
  return Err{StorageError::Corrupted("Table '" + table + "' holds a " + what +
                                     " that is not valid UTF-8")};
}

Result<void, StorageError> check_width(ByteView bytes, size_t width, const std::string& table,
                                       const char* what) {
  if (bytes.size() == width) return {};
  return Err{StorageError::Corrupted("Table '" + table + "' holds a " + what + " of " +
                                     std::to_string(bytes.size()) + " bytes, not " +
                                     std::to_string(width))};
}

Result<std::shared_ptr<const ReadTableCore>, TableError> open_read_table(
    const ReadTransactionState& txn, std::string_view name, const TableTypes& types) {
  TRY_ASSIGN(std::optional<InternalTableDefinition> found,
             txn.tree.get_table_untyped(name, TableKind::kNormal));
  if (!found) return Err{TableError::NoSuchTable(std::string(name))};
  TRY(found->check_match_types(TableKind::kNormal, name, types.key_type, types.key_width,
                               types.value_type, types.value_width));
  TRY_ASSIGN(RawBtree tree, RawBtree::create(found->table_root(), types.descriptor,
                                             page_source_of(txn.mem), PageReadHint::kCommitted));
  return std::shared_ptr<const ReadTableCore>(
      std::make_shared<const ReadTableCore>(std::move(tree), std::string(name), txn.guard));
}

StoredBytes stored_bytes(ValueRef ref) {
  auto holder = std::make_shared<PageHolder>(std::move(ref.page));
  const ByteView bytes = holder->memory().subspan(ref.offset, ref.len);
  return StoredBytes{std::move(holder), bytes};
}

const std::string& read_table_name(const ReadTableCore& core) { return core.name; }

Result<std::optional<StoredBytes>, StorageError> read_table_get(const ReadTableCore& core,
                                                                ByteView key) {
  TRY_ASSIGN(std::optional<ValueRef> found, core.tree.get(key));
  if (!found) return std::optional<StoredBytes>();
  return std::optional<StoredBytes>(stored_bytes(std::move(*found)));
}

Result<std::shared_ptr<RangeCore>, StorageError> read_table_iter(const ReadTableCore& core) {
  std::optional<PageNumber> root;
  if (core.tree.get_root()) root = core.tree.get_root()->root;
  BtreeCursorRange range =
      BtreeCursorRange::from_bounds(EncodedBound::unbounded(), EncodedBound::unbounded(), root,
                                    core.tree.descriptor(), core.tree.mem(), core.tree.hint());
  return std::make_shared<RangeCore>(std::move(range), core.name, core.guard);
}

std::optional<Result<std::pair<StoredBytes, StoredBytes>, StorageError>> range_next(
    RangeCore& range) {
  using Out = Result<std::pair<StoredBytes, StoredBytes>, StorageError>;
  auto entry = range.range.next_ranges_from(RangeSide::kFront);
  if (!entry) {
    range.leaf.reset();
    return std::nullopt;
  }
  if (!entry->ok()) return Out(std::move(*entry).take_err());
  const EntryRanges ranges = entry->value();
  const PageImpl& page = range.range.leaf_page(RangeSide::kFront);
  // One shared holder per leaf: the entries of a leaf differ only in ranges.
  if (range.leaf == nullptr || !range.leaf->buffer().same_bytes(page.buffer()) ||
      range.leaf->get_page_number() != page.get_page_number()) {
    range.leaf = std::make_shared<const PageImpl>(page);
  }
  const ByteView memory = range.leaf->memory();
  const ByteView key = memory.subspan(ranges.key_start, ranges.key_end - ranges.key_start);
  const ByteView value =
      memory.subspan(ranges.value_start, ranges.value_end - ranges.value_start);
  return Out(std::pair<StoredBytes, StoredBytes>(StoredBytes{range.leaf, key},
                                                 StoredBytes{range.leaf, value}));
}

const std::string& range_table_name(const RangeCore& range) { return range.name; }

}  // namespace detail

Result<ReadTransaction, TransactionError> begin_read(
    const std::shared_ptr<TransactionTracker>& tracker,
    const std::shared_ptr<TransactionalMemory>& mem) {
  TRY_ASSIGN(TransactionId id, tracker->register_read_transaction(*mem));
  TransactionGuardRef guard = TransactionGuard::new_read(id, tracker);
  // Reading the root page may fail; the guard then goes, ending the pin.
  TRY_ASSIGN(TableTree tree,
             TableTree::create(mem->get_data_root(), PageReadHint::kCommitted, guard, mem));
  return ReadTransaction(std::make_shared<const detail::ReadTransactionState>(
      std::move(tree), mem, std::move(guard)));
}

}  // namespace storage
