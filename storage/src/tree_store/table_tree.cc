#include "storage/src/tree_store/table_tree.h"

#include "storage/src/panic.h"
#include "storage/src/tree_store/multimap_tree.h"

namespace storage {
namespace {

ByteView name_bytes(std::string_view name) { return TextCodec::as_bytes(name); }

Result<std::string, StorageError> decode_name(ByteView stored) {
  if (!is_valid_utf8(stored)) {
    return Err{StorageError::Corrupted("Table name of " + std::to_string(stored.size()) +
                                       " bytes is not valid UTF-8")};
  }
  return std::string(stored.begin(), stored.end());
}

}  // namespace

// ---------------------------------------------------------------------------
// TableNameIter

std::optional<Result<std::string, StorageError>> TableNameIter::next() {
  using Out = std::optional<Result<std::string, StorageError>>;
  while (auto next = range_.next()) {
    if (!next->ok()) return Out(std::move(*next).take_err());
    const CursorEntry& entry = next->value();
    auto definition = InternalTableDefinition::from_bytes(entry.value());
    if (!definition.ok()) return Out(std::move(definition).take_err());
    if (definition->table_kind() != kind_) continue;
    return Out(decode_name(entry.key()));
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// TableTree

Result<TableTree, StorageError> TableTree::create(std::optional<BtreeHeader> root,
                                                  PageReadHint hint, TransactionGuardRef guard,
                                                  std::shared_ptr<const PageSource> mem) {
  TRY_ASSIGN(RawBtree tree,
             RawBtree::create(root, kTableDirectoryDescriptor, std::move(mem), hint));
  return TableTree(std::move(tree), std::move(guard));
}

Result<std::optional<InternalTableDefinition>, TableError> TableTree::get_table_untyped(
    std::string_view name, TableKind kind) const {
  using Out = std::optional<InternalTableDefinition>;
  TRY_ASSIGN(std::optional<ValueRef> stored, tree_.get(name_bytes(name)));
  if (!stored) return Out();
  TRY_ASSIGN(InternalTableDefinition definition,
             TableDefinitionCodec::decode(stored->bytes()));
  TRY(definition.check_match_untyped(kind, name));
  return Out(std::move(definition));
}

BtreeCursorRange TableTree::all_entries() const {
  std::optional<PageNumber> root;
  if (tree_.get_root()) root = tree_.get_root()->root;
  return BtreeCursorRange::from_bounds(EncodedBound::unbounded(), EncodedBound::unbounded(), root,
                                       kTableDirectoryDescriptor, tree_.mem(), tree_.hint());
}

TableNameIter TableTree::table_names(TableKind kind) const {
  return TableNameIter(all_entries(), kind);
}

Result<std::vector<std::string>, StorageError> TableTree::list_tables(TableKind kind) const {
  TableNameIter names = table_names(kind);
  std::vector<std::string> out;
  while (auto name = names.next()) {
    TRY_ASSIGN(std::string text, std::move(*name));
    out.push_back(std::move(text));
  }
  return out;
}

Result<uint64_t, StorageError> TableTree::count_tables() const {
  BtreeCursorRange range = all_entries();
  uint64_t count = 0;
  while (auto next = range.next()) {
    TRY_ASSIGN(CursorEntry entry, std::move(*next));
    TRY(decode_name(entry.key()));
    TRY(InternalTableDefinition::from_bytes(entry.value()));
    ++count;
  }
  return count;
}

Result<bool, StorageError> TableTree::verify_checksums() const {
  TRY_ASSIGN(bool directory_ok, tree_.verify_checksum());
  if (!directory_ok) return false;
  BtreeCursorRange range = all_entries();
  while (auto next = range.next()) {
    TRY_ASSIGN(CursorEntry entry, std::move(*next));
    TRY_ASSIGN(InternalTableDefinition definition,
               InternalTableDefinition::from_bytes(entry.value()));
    const std::optional<BtreeHeader> root = definition.table_root();
    bool ok = true;
    if (definition.table_kind() == TableKind::kMultimap) {
      TRY_ASSIGN(ok, verify_tree_and_subtree_checksums(root, definition.fixed_key_width(),
                                                       definition.fixed_value_width(),
                                                       tree_.mem(), tree_.hint()));
    } else if (root) {
      TRY_ASSIGN(RawBtree table,
                 RawBtree::create(std::nullopt,
                                  TreeDescriptor{definition.fixed_key_width(),
                                                 definition.fixed_value_width(), nullptr},
                                  tree_.mem(), tree_.hint()));
      std::vector<PageNumber> path;
      TRY_ASSIGN(ok, table.verify_checksum_helper(root->root, root->checksum, path));
    }
    if (!ok) return false;
  }
  return true;
}

Result<InternalTableDefinition, StorageError> TableTree::listed_table(const std::string& name,
                                                                      TableKind kind) const {
  auto found = get_table_untyped(name, kind);
  if (!found.ok()) {
    return Err{std::move(found).error().into_storage_error_or_corrupted("Internal corruption")};
  }
  // Listed but not found: the directory's keys are out of order.
  if (!found.value()) {
    return Err{StorageError::Corrupted("Table '" + name + "' is listed but cannot be found")};
  }
  return std::move(*found.value());
}

Result<void, StorageError> TableTree::visit_all_pages(const PageVisitor& visitor) const {
  TRY(UntypedBtree(tree_.get_root(), kTableDirectoryDescriptor.fixed_key_width, tree_.mem(),
                   tree_.hint())
          .visit_all_pages(visitor));
  for (TableKind kind : {TableKind::kNormal, TableKind::kMultimap}) {
    TRY_ASSIGN(std::vector<std::string> names, list_tables(kind));
    for (const std::string& name : names) {
      TRY_ASSIGN(InternalTableDefinition definition, listed_table(name, kind));
      TRY(definition.visit_all_pages(tree_.mem(), tree_.hint(), visitor));
    }
  }
  return {};
}

// ---------------------------------------------------------------------------
// TableTreeMut

TableTreeMut::TableTreeMut(std::optional<BtreeHeader> root, TransactionGuardRef guard,
                           std::shared_ptr<const WritablePageSource> mem,
                           SharedFreedPages freed_pages, PageTrackerRef allocated_pages,
                           TransactionPoison poison)
    : tree_(root, kTableDirectoryDescriptor, mem, freed_pages, allocated_pages,
            std::move(poison)),
      guard_(std::move(guard)),
      mem_(std::move(mem)),
      freed_pages_(std::move(freed_pages)),
      allocated_pages_(std::move(allocated_pages)) {}

TableTreeMut::TableTreeMut(TableTreeMut&& other) noexcept
    : tree_(std::move(other.tree_)),
      guard_(std::move(other.guard_)),
      mem_(std::move(other.mem_)),
      pending_table_updates_(std::move(other.pending_table_updates_)),
      freed_pages_(std::move(other.freed_pages_)),
      allocated_pages_(std::move(other.allocated_pages_)),
      closed_(std::exchange(other.closed_, true)) {}

TableTreeMut::~TableTreeMut() {
  if (!closed_) close_tracker_ignoring_errors();
}

void TableTreeMut::close_tracker_ignoring_errors() noexcept {
  closed_ = true;
  if (allocated_pages_ != nullptr) (void)allocated_pages_->close_ignoring_poison();
}

Result<void, StorageError> rewrite_directory_entry(UntypedBtreeMut& directory, ByteView key,
                                                   ByteView value) {
  std::optional<size_t> stored_len;
  {
    // The view must be gone before the page is lent out for writing.
    TRY_ASSIGN(std::optional<ValueRef> found, directory.get(key));
    if (found) stored_len = found->len;
  }
  const std::string name(reinterpret_cast<const char*>(key.data()), key.size());
  if (!stored_len) {
    return Err{StorageError::Corrupted("Table directory is damaged: the entry of table '" + name +
                                       "' cannot be found after it was written")};
  }
  if (*stored_len < value.size()) {
    return Err{StorageError::Corrupted("Table directory is damaged: the entry of table '" + name +
                                       "' is shorter than a definition")};
  }
  return directory.insert_inplace(key, value);
}

Result<TableTree, StorageError> TableTreeMut::read_view() const {
  // A directory whose edit failed is never read again.
  if (tree_.poisoned()) return Err{StorageError::PreviousIo()};
  return TableTree::create(tree_.get_root(), PageReadHint::kMayBeDirty, guard_, mem_);
}

void TableTreeMut::lay_staged_over(std::string_view name,
                                   std::optional<InternalTableDefinition>& definition) const {
  if (!definition) return;
  auto staged = pending_table_updates_.find(std::string(name));
  if (staged == pending_table_updates_.end()) return;
  definition->set_root_and_length(staged->second.root, staged->second.length);
}

Result<std::optional<InternalTableDefinition>, TableError> TableTreeMut::get_table_untyped(
    std::string_view name, TableKind kind) const {
  TRY_ASSIGN(TableTree tree, read_view());
  TRY_ASSIGN(std::optional<InternalTableDefinition> found, tree.get_table_untyped(name, kind));
  lay_staged_over(name, found);
  return found;
}

Result<void, StorageError> TableTreeMut::insert_definition(
    std::string_view name, const InternalTableDefinition& definition) {
  const std::vector<uint8_t> stored = definition.as_bytes();
  TRY(tree_.insert(name_bytes(name), ByteView(stored)));
  return {};
}

Result<bool, TableError> TableTreeMut::delete_table(std::string_view name, TableKind kind) {
  TRY_ASSIGN(std::optional<InternalTableDefinition> found, get_table_untyped(name, kind));
  if (!found) return false;
  std::vector<PageNumber> pages;
  TRY(found->visit_all_pages(mem_, PageReadHint::kMayBeDirty,
                             [&](std::span<const PageNumber> path) -> Result<void, StorageError> {
                               pages.push_back(path.back());
                               return {};
                             }));
  // The entry goes first: should its removal fail, the definition still names
  // pages that are all still allocated.
  {
    TRY_ASSIGN(std::optional<ValueRef> removed, tree_.remove(name_bytes(name)));
    if (!removed) {
      return Err{StorageError::Corrupted("Table '" + std::string(name) +
                                         "' was found but could not be removed")};
    }
  }
  pending_table_updates_.erase(std::string(name));
  TRY_ASSIGN(auto freed, freed_pages_->lock_storage());
  for (PageNumber page : pages) {
    // Pages of this transaction go back at once; older ones once no snapshot
    // can see them.
    if (!mem_->free_if_uncommitted(page, allocated_pages_)) freed->push_back(page);
  }
  return true;
}

void TableTreeMut::stage_update_table_root(std::string_view name, std::optional<BtreeHeader> root,
                                           uint64_t length) {
  const bool uncommitted = root && mem_->uncommitted(root->root);
  pending_table_updates_.insert_or_assign(std::string(name),
                                          StagedTableUpdate{root, length, uncommitted});
}

void TableTreeMut::clear_pending_table_update(std::string_view name) {
  pending_table_updates_.erase(std::string(name));
}

Result<std::optional<BtreeHeader>, StorageError> TableTreeMut::final_root(
    const InternalTableDefinition& stored, const StagedTableUpdate& update) {
  if (stored.table_kind() == TableKind::kMultimap) {
    return finalize_tree_and_subtree_checksums(update.root, stored.fixed_key_width(),
                                               stored.fixed_value_width(), mem_);
  }
  if (!update.root || !mem_->uncommitted(update.root->root)) return update.root;
  UntypedBtreeMut table(update.root,
                        TreeDescriptor{stored.fixed_key_width(), stored.fixed_value_width(),
                                       nullptr},
                        mem_, freed_pages_, allocated_pages_);
  BtreeHeader root = *update.root;
  TRY_ASSIGN(root.checksum, table.finalize_dirty_checksums_helper(root.root));
  return std::optional<BtreeHeader>(root);
}

Result<std::reference_wrapper<UntypedBtreeMut>, StorageError>
TableTreeMut::flush_table_root_updates() {
  auto updates = std::exchange(pending_table_updates_, {});
  for (const auto& [name, update] : updates) {
    std::optional<InternalTableDefinition> stored;
    {
      TRY_ASSIGN(std::optional<ValueRef> found, tree_.get(name_bytes(name)));
      // Every staged name was found when its table was opened; only keys out
      // of order (a damaged directory) can hide it now.
      if (!found) {
        return Err{StorageError::Corrupted("Table '" + name +
                                           "' has a staged root but no definition")};
      }
      TRY_ASSIGN(InternalTableDefinition definition,
                 TableDefinitionCodec::decode(found->bytes()));
      stored.emplace(std::move(definition));
    }
    // An unchanged committed root needs no write. The staged length takes no
    // part: it changes only with the tree, and so with its root.
    if (!update.root_uncommitted && update.root == stored->table_root()) continue;
    TRY_ASSIGN(std::optional<BtreeHeader> root, final_root(*stored, update));
    stored->set_root_and_length(root, update.length);
    TRY(insert_definition(name, *stored));
  }
  return std::ref(tree_);
}

Result<ClosedTableTree, StorageError> TableTreeMut::flush_and_close() {
  STORAGE_ASSERT(!closed_);
  auto root = [&]() -> Result<std::optional<BtreeHeader>, StorageError> {
    TRY(flush_table_root_updates());
    return tree_.finalize_dirty_checksums();
  }();
  closed_ = true;
  auto allocated = allocated_pages_->close();
  if (!allocated.ok()) {
    // A poisoned tracker still ends closed.
    (void)allocated_pages_->close_ignoring_poison();
    return std::move(allocated).take_err();
  }
  if (!root.ok()) return std::move(root).take_err();
  TRY_ASSIGN(auto freed, freed_pages_->lock_storage());
  return ClosedTableTree{root.value(), std::move(allocated).value(), std::exchange(*freed, {})};
}

void TableTreeMut::clear_root_updates_and_close() noexcept {
  pending_table_updates_.clear();
  if (!closed_) close_tracker_ignoring_errors();
}

}  // namespace storage
