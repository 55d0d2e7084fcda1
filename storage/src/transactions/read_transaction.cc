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

namespace {

// A page kept alive for the stored bytes it holds.
struct PageBlock final : KeepaliveBlock {
  explicit PageBlock(PageHolder page) : KeepaliveBlock(1, &destroy), page(std::move(page)) {}
  static void destroy(KeepaliveBlock* block) noexcept { delete static_cast<PageBlock*>(block); }
  PageHolder page;
};

}  // namespace

StoredBytes stored_bytes(ValueRef ref) {
  // A few bytes are cheaper copied than shared.
  if (ref.len <= StoredBytes::kInlineBytes) return StoredBytes::copy_of(ref.bytes());
  auto* block = new PageBlock(std::move(ref.page));
  const ByteView bytes = block->page.memory().subspan(ref.offset, ref.len);
  return StoredBytes(Keepalive::adopt(block), bytes);
}

void LeafShare::share(const PageImpl& page) {
  // The share's own reference and a first batch.
  auto* block = new Block(page, 1 + kBatch);
  reset();
  block_ = block;
  spare_ = kBatch;
}

void LeafShare::reset() noexcept {
  if (block_ == nullptr) return;
  std::exchange(block_, nullptr)->release(spare_ + 1);
  spare_ = 0;
}

// An entry's key or value: small ones copied, others sharing their leaf.
StoredBytes entry_bytes(LeafShare& leaf, ByteView bytes) {
  if (bytes.size() <= StoredBytes::kInlineBytes) return StoredBytes::copy_of(bytes);
  return StoredBytes(leaf.hand_out(), bytes);
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
  std::optional<EntryRanges> ranges;
  // Most steps stay in the leaf the last entry came from.
  if (range.leaf.page() != nullptr) {
    ranges = range.range.next_front_in_leaf(range.leaf.page()->memory().data());
  }
  if (!ranges) {
    auto entry = range.range.next_ranges_from(RangeSide::kFront);
    if (!entry) {
      range.leaf.reset();
      return std::nullopt;
    }
    if (!entry->ok()) return Out(std::move(*entry).take_err());
    ranges = entry->value();
    // One shared page per leaf: the entries of a leaf differ only in ranges.
    const PageImpl& page = range.range.leaf_page(RangeSide::kFront);
    if (!range.leaf.holds(page)) range.leaf.share(page);
  }
  const ByteView memory = range.leaf.page()->memory();
  const ByteView key = memory.subspan(ranges->key_start, ranges->key_end - ranges->key_start);
  const ByteView value =
      memory.subspan(ranges->value_start, ranges->value_end - ranges->value_start);
  return Out(std::pair<StoredBytes, StoredBytes>(entry_bytes(range.leaf, key),
                                                 entry_bytes(range.leaf, value)));
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
