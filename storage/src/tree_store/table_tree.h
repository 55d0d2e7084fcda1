// The table directory: a B-tree from table name (text, ordered bytewise) to the
// table's stored InternalTableDefinition. A database has two, the data and the
// system directory; each is the root of one commit slot.
//
// TableTree is a read view at one root: lookups by name, listing, counting,
// checksum verification and the walk over every page of every table.
// TableTreeMut is the directory of the open write transaction: it creates and
// deletes tables, remembers the new roots of tables closed during the
// transaction (staged updates, laid over the stored definitions by every
// lookup) and writes them back at commit.
//
// Untrusted bytes: names and definitions come from the file. A name that is
// not UTF-8 is reported as Corrupted when listed, counted or walked (lookups
// compare names bytewise and never decode them); a definition that does not
// decode is Corrupted wherever it is read.
//
// Closing: flush_and_close (commit) and clear_root_updates_and_close (abort)
// close the directory's page tracker; a directory destroyed without either
// closes it itself. No close path throws, and each works on a poisoned lock.
//
// Threads: the directory has no lock of its own; a TableTreeMut belongs to its
// write transaction's thread. It shares the transaction's freed-page list
// (locked for each use) and page tracker (its own mutex) with the
// transaction's tables. A TableTree is private to whoever built it and shares
// only the page store.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/panic.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/btree_range.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/tree_store/table_definition.h"
#include "storage/src/types.h"

namespace storage {

// The directory's tree: text keys, stored definitions as variable-width values.
inline constexpr TreeDescriptor kTableDirectoryDescriptor =
    tree_descriptor<TextCodec, TableDefinitionCodec>();

// Rewrites in place the directory entry `key` that this transaction inserted
// or made uncommitted (the value no longer than the stored one). The
// directory comes from the file: when damage (keys out of order) hides the
// entry from the descent that just wrote it, or leaves it shorter, the result
// is Corrupted instead of the broken invariant of an in-place insert.
Result<void, StorageError> rewrite_directory_entry(UntypedBtreeMut& directory, ByteView key,
                                                   ByteView value);

// A table's new root and length, staged when its handle closes.
struct StagedTableUpdate {
  std::optional<BtreeHeader> root;
  uint64_t length = 0;
  // The root page was written by this transaction: its checksums are still
  // placeholders, and the table must be written back at commit.
  bool root_uncommitted = false;
  bool operator==(const StagedTableUpdate&) const = default;
};

// Yields the names of the tables of one kind, in name order.
class TableNameIter {
 public:
  TableNameIter(BtreeCursorRange range, TableKind kind) : range_(std::move(range)), kind_(kind) {}

  // None at the end; a failed read, a definition that does not decode or a
  // name that is not UTF-8 as a present error.
  std::optional<Result<std::string, StorageError>> next();

 private:
  BtreeCursorRange range_;
  TableKind kind_;
};

class TableTree {
 public:
  // Reads the root page once; a failed read is the error.
  static Result<TableTree, StorageError> create(std::optional<BtreeHeader> root,
                                                PageReadHint hint, TransactionGuardRef guard,
                                                std::shared_ptr<const PageSource> mem);
  static Result<TableTree, StorageError> create(std::optional<BtreeHeader> root,
                                                PageReadHint hint, TransactionGuardRef guard,
                                                std::shared_ptr<TransactionalMemory> mem) {
    return create(root, hint, std::move(guard), page_source_of(std::move(mem)));
  }

  std::optional<BtreeHeader> get_root() const { return tree_.get_root(); }

  // The stored definition, checked against the kind; none when absent.
  Result<std::optional<InternalTableDefinition>, TableError> get_table_untyped(
      std::string_view name, TableKind kind) const;
  // Also checked against K and V; a mismatch is its TableError.
  template <KeyCodec K, ValueCodec V>
  Result<std::optional<InternalTableDefinition>, TableError> get_table(std::string_view name,
                                                                       TableKind kind) const {
    TRY_ASSIGN(std::optional<InternalTableDefinition> found, get_table_untyped(name, kind));
    if (found) TRY((found->template check_match<K, V>(kind, name)));
    return found;
  }

  TableNameIter table_names(TableKind kind) const;
  // In name order.
  Result<std::vector<std::string>, StorageError> list_tables(TableKind kind) const;
  // Tables of both kinds. Each entry's name and definition must decode.
  Result<uint64_t, StorageError> count_tables() const;
  // The directory's own checksums, then every table's (subtrees included).
  Result<bool, StorageError> verify_checksums() const;
  // The directory's pages, then every normal table's in name order, then every
  // multimap table's in name order.
  Result<void, StorageError> visit_all_pages(const PageVisitor& visitor) const;

 private:
  TableTree(RawBtree tree, TransactionGuardRef guard)
      : tree_(std::move(tree)), guard_(std::move(guard)) {}
  // A range over the whole directory, in name order.
  BtreeCursorRange all_entries() const;
  Result<InternalTableDefinition, StorageError> listed_table(const std::string& name,
                                                             TableKind kind) const;

  RawBtree tree_;
  TransactionGuardRef guard_;
};

// What the directory hands to the commit.
struct ClosedTableTree {
  std::optional<BtreeHeader> root;
  // The pages the directory's page tracker recorded.
  PageNumberSet allocated_pages;
  // The pages freed in this transaction that older snapshots may still see.
  std::vector<PageNumber> freed_pages;
};

class TableTreeMut {
 public:
  TableTreeMut(std::optional<BtreeHeader> root, TransactionGuardRef guard,
               std::shared_ptr<const WritablePageSource> mem, SharedFreedPages freed_pages,
               PageTrackerRef allocated_pages, TransactionPoison poison = nullptr);
  TableTreeMut(std::optional<BtreeHeader> root, TransactionGuardRef guard,
               const PageAllocator& mem, SharedFreedPages freed_pages,
               PageTrackerRef allocated_pages, TransactionPoison poison = nullptr)
      : TableTreeMut(root, std::move(guard), page_source_of(mem), std::move(freed_pages),
                     std::move(allocated_pages), std::move(poison)) {}
  TableTreeMut(TableTreeMut&& other) noexcept;
  TableTreeMut& operator=(TableTreeMut&&) = delete;
  TableTreeMut(const TableTreeMut&) = delete;
  // Closes the page tracker when neither close ran; never throws.
  ~TableTreeMut();

  std::optional<BtreeHeader> get_root() const { return tree_.get_root(); }
  const std::unordered_map<std::string, StagedTableUpdate>& pending_table_updates() const {
    return pending_table_updates_;
  }
  // What a table opened through this directory shares with it.
  const TransactionGuardRef& guard() const { return guard_; }
  const std::shared_ptr<const WritablePageSource>& page_source() const { return mem_; }
  const SharedFreedPages& freed_pages() const { return freed_pages_; }
  const PageTrackerRef& allocated_pages() const { return allocated_pages_; }
  // The directory's own tree, for edits of a definition in place.
  UntypedBtreeMut& directory_tree() { return tree_; }

  // Lookups with the staged root and length laid over the stored ones.
  Result<std::optional<InternalTableDefinition>, TableError> get_table_untyped(
      std::string_view name, TableKind kind) const;
  template <KeyCodec K, ValueCodec V>
  Result<std::optional<InternalTableDefinition>, TableError> get_table(std::string_view name,
                                                                       TableKind kind) const {
    TRY_ASSIGN(TableTree tree, read_view());
    TRY_ASSIGN(std::optional<InternalTableDefinition> found,
               (tree.template get_table<K, V>(name, kind)));
    lay_staged_over(name, found);
    return found;
  }

  // The table's (root, length); a new table's definition is stored at once.
  template <KeyCodec K, ValueCodec V>
  Result<std::pair<std::optional<BtreeHeader>, uint64_t>, TableError> get_or_create_table(
      std::string_view name, TableKind kind) {
    using Out = std::pair<std::optional<BtreeHeader>, uint64_t>;
    TRY_ASSIGN(std::optional<InternalTableDefinition> found, (get_table<K, V>(name, kind)));
    if (found) return Out(found->table_root(), found->table_length());
    TRY(insert_definition(name,
                          InternalTableDefinition::create<K, V>(kind, std::nullopt, 0)));
    return Out(std::nullopt, 0);
  }

  // Stores a new table's definition at once (a table opened through an
  // untyped path, which checked the stored one itself).
  Result<void, StorageError> insert_definition(std::string_view name,
                                               const InternalTableDefinition& definition);

  // Whether the table existed. Its pages are freed (those of this transaction)
  // or queued as freed (the others) only once its entry is gone.
  Result<bool, TableError> delete_table(std::string_view name, TableKind kind);

  // Creates the table `name`, which must not exist, lets `fill(directory,
  // tree)` write it, then stores its finished root in the new definition in
  // place. The directory may hold no staged roots (the commit flushed them).
  template <KeyCodec K, ValueCodec V, typename F>
  Result<void, StorageError> create_table_and_flush_table_root(std::string_view name, F&& fill) {
    if (!pending_table_updates_.empty()) {
      panic("assertion failed: self.pending_table_updates.is_empty()");
    }
    const ByteView key(reinterpret_cast<const uint8_t*>(name.data()), name.size());
    {
      TRY_ASSIGN(std::optional<ValueRef> existing, tree_.get(key));
      // The caller removed the table first; finding it again means the
      // directory from the file lists it twice.
      if (existing) {
        return Err{StorageError::Corrupted("Table directory is damaged: table '" +
                                           std::string(name) + "' is listed twice")};
      }
    }
    InternalTableDefinition definition =
        InternalTableDefinition::create<K, V>(TableKind::kNormal, std::nullopt, 0);
    TRY(insert_definition(name, definition));
    BtreeMut<K, V> tree(std::nullopt, guard_, mem_, freed_pages_, allocated_pages_);
    TRY(std::forward<F>(fill)(*this, tree));
    TRY_ASSIGN(std::optional<BtreeHeader> root, tree.finalize_dirty_checksums());
    definition.set_root_and_length(root, root ? root->length : 0);
    const std::vector<uint8_t> updated = definition.as_bytes();
    return rewrite_directory_entry(tree_, key, ByteView(updated));
  }

  void stage_update_table_root(std::string_view name, std::optional<BtreeHeader> root,
                               uint64_t length);
  void clear_pending_table_update(std::string_view name);

  // Writes every staged root that changed into its definition, with its final
  // checksums. The staged updates are gone afterwards, also after a failure.
  Result<std::reference_wrapper<UntypedBtreeMut>, StorageError> flush_table_root_updates();
  // At commit: flushes, finalises the directory's own checksums and closes the
  // page tracker (also when the flush fails). Call once.
  Result<ClosedTableTree, StorageError> flush_and_close();
  // At abort: drops the staged updates and closes the page tracker.
  void clear_root_updates_and_close() noexcept;

 private:
  Result<TableTree, StorageError> read_view() const;
  void lay_staged_over(std::string_view name,
                       std::optional<InternalTableDefinition>& definition) const;
  Result<std::optional<BtreeHeader>, StorageError> final_root(
      const InternalTableDefinition& stored, const StagedTableUpdate& update);
  void close_tracker_ignoring_errors() noexcept;

  UntypedBtreeMut tree_;
  TransactionGuardRef guard_;
  std::shared_ptr<const WritablePageSource> mem_;
  std::unordered_map<std::string, StagedTableUpdate> pending_table_updates_;
  SharedFreedPages freed_pages_;
  PageTrackerRef allocated_pages_;
  // Set once a close path took the tracker over (or this was moved from).
  bool closed_ = false;
};

}  // namespace storage
