// Multimap tables as the engine's generic walks see them. A multimap table's
// outer tree maps each key to a DynamicCollection: the values inline (tag 1),
// or the 32-byte root header of a subtree (tag 3), a tree whose keys are the
// collection's values and whose values are empty. Walking every page,
// finalising the checksums a transaction wrote and verifying checksums must
// reach those subtrees too; that is all this file does (the engine writes no
// multimap table itself).
//
// Untrusted bytes: outer values come from the file. A tag other than 1 or 3, a
// subtree value of the wrong length and a page that is neither leaf nor branch
// are StorageError::Corrupted. One walk of a table never hands a page to its
// visitor twice: a page met again, whether in the outer tree or in any
// subtree, is Corrupted, so a visitor that frees pages never frees one twice.
//
// Thread safety: plain functions over a page source; an UntypedMultiBtree is a
// value used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/types.h"

namespace storage {

enum class CollectionTag : uint8_t { kInline = 1, kSubtree = 3 };

// A subtree value: the tag, then the subtree's stored root header.
inline constexpr size_t kSubtreeValueSize = 1 + BtreeHeader::kSerializedSize;
static_assert(kSubtreeValueSize == 33);

struct DynamicCollection {
  static std::array<uint8_t, kSubtreeValueSize> make_subtree_data(const BtreeHeader& header);
  // The subtree header of a tag-3 value, none for a tag-1 value; anything else
  // is Corrupted.
  static Result<std::optional<BtreeHeader>, StorageError> subtree_of(ByteView value);
};

// The subtree roots named by the values of one outer page, in entry order;
// none for a branch page.
Result<std::vector<BtreeHeader>, StorageError> parse_subtree_roots(
    const PageImpl& page, std::optional<size_t> fixed_key_width);

// The page-walking view of one multimap table.
class UntypedMultiBtree {
 public:
  UntypedMultiBtree(std::optional<BtreeHeader> root, std::optional<size_t> fixed_key_width,
                    std::optional<size_t> fixed_value_width,
                    std::shared_ptr<const PageSource> mem, PageReadHint hint)
      : root_(root),
        fixed_key_width_(fixed_key_width),
        fixed_value_width_(fixed_value_width),
        mem_(std::move(mem)),
        hint_(hint) {}

  // Pre-order over the outer tree; each outer page is followed at once by
  // every page of the subtrees its values name, in entry order, each subtree
  // pre-order from a path of its own.
  Result<void, StorageError> visit_all_pages(const PageVisitor& visitor) const;

 private:
  std::optional<BtreeHeader> root_;
  std::optional<size_t> fixed_key_width_;
  std::optional<size_t> fixed_value_width_;
  std::shared_ptr<const PageSource> mem_;
  PageReadHint hint_;
};

// The table's root after every checksum this transaction wrote, in the outer
// tree and in its subtrees, carries its real value. Subtree headers whose root
// this transaction wrote are rewritten in their outer leaf; nothing else is.
Result<std::optional<BtreeHeader>, StorageError> finalize_tree_and_subtree_checksums(
    std::optional<BtreeHeader> root, std::optional<size_t> fixed_key_width,
    std::optional<size_t> fixed_value_width,
    std::shared_ptr<const WritablePageSource> allocator);

// True when the outer tree and every subtree match their stored checksums.
Result<bool, StorageError> verify_tree_and_subtree_checksums(
    std::optional<BtreeHeader> root, std::optional<size_t> fixed_key_width,
    std::optional<size_t> fixed_value_width, std::shared_ptr<const PageSource> mem,
    PageReadHint hint);

}  // namespace storage
