// Tree handles: Btree reads one tree as of one snapshot; BtreeMut is the write
// handle of one tree inside the open write transaction. Both are thin typed
// layers (key and value codecs) over untyped cores that work on encoded bytes
// and a TreeDescriptor: RawBtree (lookups, verification), UntypedBtree (page
// walks) and UntypedBtreeMut (edits, checksum finalisation, dirty-leaf walks).
//
// Damaged files: every descent is capped at kMaxTreeDepth levels, a page met
// twice in one walk is a cycle, and a page type byte other than leaf or branch
// is StorageError::Corrupted; no walk reads outside a page, loops or recurses
// without bound.
//
// Failed edits: an edit that fails (an error value or a panic) may already
// have freed or rebuilt pages below a root that it leaves unchanged. The tree
// handle then poisons itself and its transaction's poison flag: every later
// operation on it answers StorageError::PreviousIo, and the transaction must be
// aborted, which returns the pages it allocated.
//
// Thread safety: a Btree is used by one thread at a time; the guards it hands
// out hold their own page references and may move between threads. A BtreeMut
// belongs to the write transaction's thread; the only lock it takes is the
// shared freed list's, when it has pages to add.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/btree_iters.h"
#include "storage/src/tree_store/btree_mutator.h"
#include "storage/src/tree_store/btree_range.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/types.h"

namespace storage {

// Keeps a transaction registered while a tree handle lives; never consulted here.
class TransactionGuard;
using TransactionGuardRef = std::shared_ptr<TransactionGuard>;
// Set by a failed edit of any tree of a write transaction; such a transaction
// can only be aborted.
using TransactionPoison = std::shared_ptr<std::atomic<bool>>;

// Receives the path from the walk's first page down to the visited page.
using PageVisitor = std::function<Result<void, StorageError>(std::span<const PageNumber>)>;
using DirtyLeafVisitor = std::function<Result<void, StorageError>(LeafPageMut<PageMut>&)>;

template <KeyCodec K, ValueCodec V>
class BtreeExtractIf;

// Appends the local list to the shared one (under its lock, only when there
// is something to add) and empties the local list, keeping its storage.
void merge_freed_pages(Mutex<std::vector<PageNumber>>& shared, std::vector<PageNumber>& local);

// The read-only untyped core: a root, the tree's widths and order, and where
// its pages come from.
class RawBtree {
 public:
  // Reads the root page once (with a root); a failed read is returned.
  static Result<RawBtree, StorageError> create(std::optional<BtreeHeader> root,
                                               const TreeDescriptor& descriptor,
                                               std::shared_ptr<const PageSource> mem,
                                               PageReadHint hint);

  std::optional<BtreeHeader> get_root() const { return root_; }
  const TreeDescriptor& descriptor() const { return descriptor_; }
  const std::shared_ptr<const PageSource>& mem() const { return mem_; }
  PageReadHint hint() const { return hint_; }

  Result<std::optional<ValueRef>, StorageError> get(ByteView key) const;
  // The greatest pair: its key and its value.
  Result<std::optional<std::pair<ValueRef, ValueRef>>, StorageError> last() const;
  // Descends from `page` to the leaf that would hold the key.
  Result<std::optional<ValueRef>, StorageError> get_helper(const PageImpl& page,
                                                          ByteView key) const;
  Result<std::pair<ValueRef, ValueRef>, StorageError> last_helper(const PageImpl& page) const;

  // True when every page reachable from the root matches the checksum stored
  // for it; false on a mismatch, a malformed page, a cycle, a page met twice
  // or a descent past kMaxTreeDepth; an error only when a page cannot be read.
  Result<bool, StorageError> verify_checksum() const;
  Result<bool, StorageError> verify_checksum_helper(PageNumber page, Checksum expected,
                                                    std::vector<PageNumber>& path) const;

 private:
  RawBtree(std::optional<BtreeHeader> root, std::optional<PageImpl> root_page,
           const TreeDescriptor& descriptor, std::shared_ptr<const PageSource> mem,
           PageReadHint hint)
      : root_(root),
        root_page_(std::move(root_page)),
        descriptor_(descriptor),
        mem_(std::move(mem)),
        hint_(hint) {}
  Result<bool, StorageError> verify_page(PageNumber page, Checksum expected,
                                         std::vector<PageNumber>& path,
                                         PageNumberSet& seen) const;

  std::optional<BtreeHeader> root_;
  std::optional<PageImpl> root_page_;
  TreeDescriptor descriptor_;
  std::shared_ptr<const PageSource> mem_;
  PageReadHint hint_;
};

// Page walks over one tree, without codecs.
class UntypedBtree {
 public:
  UntypedBtree(std::optional<BtreeHeader> root, std::optional<size_t> fixed_key_width,
               std::shared_ptr<const PageSource> mem, PageReadHint hint)
      : root_(root), fixed_key_width_(fixed_key_width), mem_(std::move(mem)), hint_(hint) {}

  // Pre-order, children left to right; nothing for an empty tree.
  Result<void, StorageError> visit_all_pages(const PageVisitor& visitor) const;
  // Visits the path's last page and everything below it. A page met twice in
  // the walk is Corrupted "Cycle detected in Btree pages", so no page is
  // handed to a visitor (which may free it) twice.
  Result<void, StorageError> visit_pages_helper(std::vector<PageNumber> path,
                                                const PageVisitor& visitor) const;

 private:
  Result<void, StorageError> visit(std::vector<PageNumber>& path, const PageVisitor& visitor,
                                   PageNumberSet& seen) const;

  std::optional<BtreeHeader> root_;
  std::optional<size_t> fixed_key_width_;
  std::shared_ptr<const PageSource> mem_;
  PageReadHint hint_;
};

// The write-side untyped core of one tree in the open write transaction.
class UntypedBtreeMut {
 public:
  UntypedBtreeMut(std::optional<BtreeHeader> root, const TreeDescriptor& descriptor,
                  std::shared_ptr<const WritablePageSource> allocator,
                  SharedFreedPages freed_pages, PageTrackerRef tracker,
                  TransactionPoison poison = nullptr);

  std::optional<BtreeHeader> get_root() const { return root_; }
  const TreeDescriptor& descriptor() const { return descriptor_; }
  const std::shared_ptr<const WritablePageSource>& allocator() const { return allocator_; }
  bool poisoned() const;
  // What a cursor or removal range over this tree shares with it; the root is
  // lent for the cursor's edits.
  std::optional<BtreeHeader>& root_mut() { return root_; }
  const SharedFreedPages& freed_pages() const { return freed_pages_; }
  const PageTrackerRef& tracker() const { return tracker_; }
  const TransactionPoison& transaction_poison() const { return transaction_poison_; }
  // Marks this tree and its transaction as failed: an edit made on the tree's
  // behalf (by a removal range over it) failed after pages may have changed.
  void poison();

  // Lookups on the current root, reading with PageReadHint::kMayBeDirty.
  Result<std::optional<ValueRef>, StorageError> get(ByteView key) const;
  Result<std::optional<std::pair<ValueRef, ValueRef>>, StorageError> last() const;
  // A range over the current root that reads this transaction's dirty pages
  // (kMayBeDirty); the root page is read once here. Drop it before the next
  // edit, which may rewrite the pages it holds.
  Result<BtreeCursorRange, StorageError> range(EncodedBound start, EncodedBound end) const;

  // The old value, when the key was present.
  Result<std::optional<ValueRef>, StorageError> insert(ByteView key, ByteView value);
  Result<void, StorageError> insert_inplace(ByteView key, ByteView value);
  // Stores `len` zero bytes under the key and lends them for writing.
  Result<InPlaceGuard, StorageError> insert_reserve(ByteView key, size_t len);
  // Re-inserts the stored value (or `default_value` when absent) so that the
  // key's whole path belongs to this transaction; returns the stored bytes.
  Result<std::vector<uint8_t>, StorageError> force_uncommitted(ByteView key,
                                                               ByteView default_value);
  // Removes the key; its value comes back when it was present.
  Result<std::optional<ValueRef>, StorageError> remove(ByteView key);

  // Computes the real checksums of the pages this transaction allocated,
  // bottom-up, and returns the root header carrying the root's.
  Result<std::optional<BtreeHeader>, StorageError> finalize_dirty_checksums();
  Result<Checksum, StorageError> finalize_dirty_checksums_helper(PageNumber page);
  // Hands every uncommitted leaf, left to right and writable, to the visitor.
  Result<void, StorageError> dirty_leaf_visitor(const DirtyLeafVisitor& visitor);

 private:
  // Runs one edit: refuses a poisoned tree, merges the local freed list after
  // it whatever happened, and poisons the tree when it failed.
  template <typename F>
  auto edit(F&& body) -> decltype(body());
  StorageError refuse_poisoned() const;
  // A pair whose page offsets would not fit a u32 even in a leaf of its own is
  // refused before any edit. One that fits alone but not beside the pairs a
  // rebuilt leaf puts next to it is refused by the leaf builder, which an
  // insert reaches before it changes any page.
  Result<void, StorageError> check_pair_size(ByteView key, size_t value_len) const;
  Result<Checksum, StorageError> finalize_page(PageNumber page, std::vector<PageNumber>& path);
  Result<void, StorageError> visit_dirty(PageNumber page, const DirtyLeafVisitor& visitor,
                                         std::vector<PageNumber>& path);

  std::optional<BtreeHeader> root_;
  TreeDescriptor descriptor_;
  std::shared_ptr<const WritablePageSource> allocator_;
  SharedFreedPages freed_pages_;
  std::vector<PageNumber> local_freed_;
  PageTrackerRef tracker_;
  TransactionPoison transaction_poison_;
  // The depth of the leaf the last insert reached (see MutateHelper).
  size_t leaf_depth_hint_ = 0;
  bool poisoned_ = false;
};

// The read handle of one tree as of one snapshot.
template <KeyCodec K, ValueCodec V>
class Btree {
 public:
  using Key = typename K::Decoded;
  using Value = typename V::Decoded;

  // With a root, reads the root page once through `mem` with `hint`.
  static Result<Btree, StorageError> create(std::optional<BtreeHeader> root, PageReadHint hint,
                                            TransactionGuardRef guard,
                                            std::shared_ptr<const PageSource> mem) {
    TRY_ASSIGN(RawBtree raw, RawBtree::create(root, tree_descriptor<K, V>(), std::move(mem), hint));
    return Btree(std::move(raw), std::move(guard));
  }
  static Result<Btree, StorageError> create(std::optional<BtreeHeader> root, PageReadHint hint,
                                            TransactionGuardRef guard,
                                            std::shared_ptr<TransactionalMemory> mem) {
    return create(root, hint, std::move(guard), page_source_of(std::move(mem)));
  }

  std::optional<BtreeHeader> get_root() const { return raw_.get_root(); }

  Result<std::optional<ValueGuard<V>>, StorageError> get(const Key& key) const {
    auto encoded = K::as_bytes(key);
    TRY_ASSIGN(std::optional<ValueRef> found, raw_.get(ByteView(encoded)));
    if (!found) return std::optional<ValueGuard<V>>();
    return std::optional<ValueGuard<V>>(std::move(*found).template into_guard<V>());
  }

  Result<std::optional<std::pair<ValueGuard<K>, ValueGuard<V>>>, StorageError> last() const {
    using Out = std::optional<std::pair<ValueGuard<K>, ValueGuard<V>>>;
    TRY_ASSIGN(auto found, raw_.last());
    if (!found) return Out();
    return Out(std::pair<ValueGuard<K>, ValueGuard<V>>(
        std::move(found->first).template into_guard<K>(),
        std::move(found->second).template into_guard<V>()));
  }

  Result<bool, StorageError> verify_checksum() const { return raw_.verify_checksum(); }

  Result<void, StorageError> visit_all_pages(const PageVisitor& visitor) const {
    return UntypedBtree(raw_.get_root(), K::fixed_width(), raw_.mem(), raw_.hint())
        .visit_all_pages(visitor);
  }

  const RawBtree& raw() const { return raw_; }

 private:
  Btree(RawBtree raw, TransactionGuardRef guard) : raw_(std::move(raw)), guard_(std::move(guard)) {}

  RawBtree raw_;
  TransactionGuardRef guard_;
};

// The write handle of one tree inside the open write transaction.
//
// Guards from get() and last() share page bytes: release them before the next
// edit, which may rewrite those pages in place.
template <KeyCodec K, ValueCodec V>
class BtreeMut {
 public:
  using Key = typename K::Decoded;
  using Value = typename V::Decoded;

  BtreeMut(std::optional<BtreeHeader> root, TransactionGuardRef guard,
           std::shared_ptr<const WritablePageSource> allocator, SharedFreedPages freed_pages,
           PageTrackerRef tracker, TransactionPoison poison = nullptr)
      : core_(root, tree_descriptor<K, V>(), std::move(allocator), std::move(freed_pages),
              std::move(tracker), std::move(poison)),
        guard_(std::move(guard)) {}
  BtreeMut(std::optional<BtreeHeader> root, TransactionGuardRef guard,
           const PageAllocator& allocator, SharedFreedPages freed_pages, PageTrackerRef tracker,
           TransactionPoison poison = nullptr)
      : BtreeMut(root, std::move(guard), page_source_of(allocator), std::move(freed_pages),
                 std::move(tracker), std::move(poison)) {}

  std::optional<BtreeHeader> get_root() const { return core_.get_root(); }
  bool poisoned() const { return core_.poisoned(); }
  UntypedBtreeMut& untyped() { return core_; }

  Result<std::optional<ValueGuard<V>>, StorageError> get(const Key& key) const {
    auto encoded = K::as_bytes(key);
    TRY_ASSIGN(std::optional<ValueRef> found, core_.get(ByteView(encoded)));
    if (!found) return std::optional<ValueGuard<V>>();
    return std::optional<ValueGuard<V>>(std::move(*found).template into_guard<V>());
  }

  Result<std::optional<std::pair<ValueGuard<K>, ValueGuard<V>>>, StorageError> last() const {
    using Out = std::optional<std::pair<ValueGuard<K>, ValueGuard<V>>>;
    TRY_ASSIGN(auto found, core_.last());
    if (!found) return Out();
    return Out(std::pair<ValueGuard<K>, ValueGuard<V>>(
        std::move(found->first).template into_guard<K>(),
        std::move(found->second).template into_guard<V>()));
  }

  // The entries of a key range as this transaction sees them, its own
  // uncommitted edits included. Drop the range before the next edit.
  Result<BtreeCursorRange, StorageError> range(const KeyRange<K>& range) const {
    auto [start, end] = btree_iters::encode_bounds(range);
    return core_.range(std::move(start), std::move(end));
  }

  // The value stored under the key before, if any.
  Result<std::optional<ValueGuard<V>>, StorageError> insert(const Key& key, const Value& value) {
    auto k = K::as_bytes(key);
    auto v = V::as_bytes(value);
    TRY_ASSIGN(std::optional<ValueRef> old, core_.insert(ByteView(k), ByteView(v)));
    if (!old) return std::optional<ValueGuard<V>>();
    return std::optional<ValueGuard<V>>(std::move(*old).template into_guard<V>());
  }

  Result<void, StorageError> insert_inplace(const Key& key, const Value& value) {
    auto k = K::as_bytes(key);
    auto v = V::as_bytes(value);
    return core_.insert_inplace(ByteView(k), ByteView(v));
  }

  Result<InPlaceGuard, StorageError> insert_reserve(const Key& key, size_t value_length) {
    auto k = K::as_bytes(key);
    return core_.insert_reserve(ByteView(k), value_length);
  }

  // The stored value (or the default) is decoded and encoded again, so that a
  // value the codec cannot read is caught here.
  Result<std::vector<uint8_t>, StorageError> force_uncommitted(const Key& key,
                                                               const Value& default_value) {
    std::vector<uint8_t> bytes;
    {
      TRY_ASSIGN(std::optional<ValueGuard<V>> found, get(key));
      auto encoded = found ? V::as_bytes(found->value()) : V::as_bytes(default_value);
      ByteView view(encoded);
      bytes.assign(view.begin(), view.end());
    }
    TRY(insert(key, V::from_bytes(ByteView(bytes))));
    return bytes;
  }

  // The removed value, when the key was present.
  Result<std::optional<ValueGuard<V>>, StorageError> remove(const Key& key) {
    auto k = K::as_bytes(key);
    TRY_ASSIGN(std::optional<ValueRef> old, core_.remove(ByteView(k)));
    if (!old) return std::optional<ValueGuard<V>>();
    return std::optional<ValueGuard<V>>(std::move(*old).template into_guard<V>());
  }

  Result<std::optional<BtreeHeader>, StorageError> finalize_dirty_checksums() {
    return core_.finalize_dirty_checksums();
  }

  // A removal range over every entry below `end` (exclusive): the predicate
  // sees each entry, and those it accepts are removed and returned. Reads no
  // page; the extraction borrows this tree until it is dropped. Defined in
  // range_mut.h.
  template <typename P>
  BtreeExtractIf<K, V> extract_from_if(const Key& end, P predicate);

 private:
  UntypedBtreeMut core_;
  TransactionGuardRef guard_;
};

}  // namespace storage
