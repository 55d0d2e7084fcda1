// What the cursor tests share: a page source that counts (and can fail) page
// reads, a page source of hand-built pages for damaged trees, committed trees
// on the real page store, and the keys of a tree leaf by leaf.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/btree_cursor.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_harness.h"

namespace storage::test {

// Passes page reads on, counting them and recording what was read; fails the
// read numbered `fail_at` (from 1; 0 fails none) with an injected I/O error.
class ReadCountingPages final : public PageSource {
 public:
  explicit ReadCountingPages(std::shared_ptr<const PageSource> inner) : inner_(std::move(inner)) {}

  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint hint) const override {
    ++reads;
    if (reads == fail_at) return Err{injected_failure()};
    read_pages.push_back(page);
    return inner_->get_page(page, hint);
  }
  static StorageError injected_failure() {
    return StorageError::Io(IoError::other("injected read failure"));
  }

  mutable size_t reads = 0;
  mutable std::vector<PageNumber> read_pages;
  size_t fail_at = 0;

 private:
  std::shared_ptr<const PageSource> inner_;
};

// Pages made by hand, looked up by number; a missing page is an I/O error.
class HandBuiltPages final : public PageSource {
 public:
  static constexpr size_t kPageSize = 4096;

  Result<PageImpl, StorageError> get_page(PageNumber page, PageReadHint) const override {
    auto it = pages_.find(page.packed());
    if (it == pages_.end()) return Err{StorageError::Io(IoError::other("no such page"))};
    return it->second;
  }

  // Writes `bytes` as page `index` (a one-page run in region 0), zero-padded.
  PageNumber put(uint32_t index, ByteView bytes) {
    PageNumber number(0, index, 0);
    PageBuffer buffer = PageBuffer::zeroed(kPageSize);
    STORAGE_ASSERT(bytes.size() <= kPageSize);
    if (!bytes.empty()) std::memcpy(buffer.mutable_data(), bytes.data(), bytes.size());
    pages_.insert_or_assign(number.packed(), PageImpl(std::move(buffer), number));
    return number;
  }
  // A u64 -> bytes leaf of the given keys, values one byte each.
  PageNumber leaf(uint32_t index, const std::vector<uint64_t>& keys) {
    LeafPairList pairs(keys.size(), 8, std::nullopt);
    std::vector<std::array<uint8_t, 8>> encoded;
    encoded.reserve(keys.size());
    for (uint64_t k : keys) encoded.push_back(U64Codec::as_bytes(k));
    static const uint8_t kValue = 0x5A;
    for (const auto& k : encoded) pairs.push(ByteView(k), ByteView(&kValue, 1));
    std::vector<uint8_t> bytes(pairs.leaf_size(0, keys.size()));
    pairs.write(MutByteView(bytes), 0, keys.size());
    return put(index, bytes);
  }
  // A u64-keyed branch: children[i] holds keys <= keys[i].
  PageNumber branch(uint32_t index, const std::vector<PageNumber>& children,
                    const std::vector<uint64_t>& keys) {
    STORAGE_ASSERT(children.size() == keys.size() + 1);
    BranchEntryList entries(keys.size(), 8);
    std::vector<std::array<uint8_t, 8>> encoded;
    encoded.reserve(keys.size());
    for (uint64_t k : keys) encoded.push_back(U64Codec::as_bytes(k));
    for (size_t i = 0; i < children.size(); ++i) {
      entries.push_child(children[i], 0);
      if (i < keys.size()) entries.push_key(ByteView(encoded[i]));
    }
    std::vector<uint8_t> bytes(entries.branch_size_of(0, keys.size()));
    entries.write(MutByteView(bytes), 0, keys.size());
    return put(index, bytes);
  }

 private:
  std::map<uint64_t, PageImpl> pages_;
};

// The keys of a tree, leaf by leaf, left to right.
inline void leaf_keys_of(const PageSource& pages, PageNumber page, const TreeDescriptor& d,
                         std::vector<std::vector<Bytes>>& out) {
  PageImpl p = pages.get_page(page, PageReadHint::kMayBeDirty).value();
  if (p.memory()[0] == kLeafPageType) {
    LeafAccessor leaf = LeafAccessor::create(p, d).value();
    out.emplace_back();
    for (size_t i = 0; i < leaf.num_pairs(); ++i) {
      out.back().push_back(bytes_of(leaf.key_unchecked(i).value()));
    }
    return;
  }
  BranchAccessor branch = BranchAccessor::create(p, d).value();
  for (size_t i = 0; i < branch.count_children(); ++i) {
    leaf_keys_of(pages, branch.child_page(i), d, out);
  }
}
inline std::vector<std::vector<Bytes>> leaf_keys(const PageSource& pages,
                                                 std::optional<BtreeHeader> root,
                                                 const TreeDescriptor& d) {
  std::vector<std::vector<Bytes>> out;
  if (root) leaf_keys_of(pages, root->root, d, out);
  return out;
}

}  // namespace storage::test
