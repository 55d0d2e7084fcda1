// Drives MutateHelper directly, as the cursors do: one tree of one write
// transaction over a page store, with its root, local freed list and tracker;
// leaf paths found by descent; the tree's pairs read back in order; a commit
// that finalises checksums; and the checker with page accounting (pages
// allocated = pages reachable + pages freed to the freed list).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/btree_mutator.h"
#include "storage/tests/support/tree_harness.h"

namespace storage::test {

using Pairs = std::vector<std::pair<Bytes, Bytes>>;

// The leaf that holds, or would hold, a key, and the path down to it.
struct LeafAt {
  LeafPath path;
  PageImpl leaf;
  size_t position = 0;
  bool found = false;
};

inline LeafAt find_leaf(const PageSource& pages, const BtreeHeader& root, const TreeDescriptor& d,
                        ByteView key) {
  PageImpl page = pages.get_page(root.root, PageReadHint::kMayBeDirty).value();
  LeafPath path;
  while (page.memory()[0] == kBranchPageType) {
    BranchAccessor accessor = BranchAccessor::create(page, d).value();
    auto [i, child] = accessor.child_for_key(key).value();
    PageImpl next = pages.get_page(child, PageReadHint::kMayBeDirty).value();
    path.branches.push_back(LeafPathStep{std::move(page), i});
    page = std::move(next);
  }
  path.leaf = page.get_page_number();
  auto [position, found] = LeafAccessor::create(page, d).value().position(key).value();
  return LeafAt{std::move(path), std::move(page), position, found};
}

inline void collect(const PageSource& pages, PageNumber p, const TreeDescriptor& d, Pairs& out) {
  PageImpl page = pages.get_page(p, PageReadHint::kMayBeDirty).value();
  if (page.memory()[0] == kLeafPageType) {
    LeafAccessor leaf = LeafAccessor::create(page, d).value();
    for (size_t i = 0; i < leaf.num_pairs(); ++i) {
      LeafEntry e = *leaf.entry(i).value();
      out.emplace_back(bytes_of(e.key), bytes_of(e.value));
    }
    return;
  }
  BranchAccessor branch = BranchAccessor::create(page, d).value();
  for (size_t i = 0; i < branch.count_children(); ++i) collect(pages, branch.child_page(i), d, out);
}

// Every pair of the tree, in order.
inline Pairs tree_pairs(const PageSource& pages, std::optional<BtreeHeader> root,
                        const TreeDescriptor& d) {
  Pairs out;
  if (root) collect(pages, root->root, d, out);
  return out;
}

template <typename Store>
class TreeEditor {
 public:
  TreeEditor(std::shared_ptr<Store> store, const TreeDescriptor& d,
             std::shared_ptr<const WritablePageSource> pages = nullptr)
      : store_(std::move(store)),
        pages_(pages ? std::move(pages) : store_->writable()),
        d_(d),
        tracker_(PageTracker::create_disabled()) {}

  MutateHelper helper() { return MutateHelper(root, *pages_, freed, tracker_, d_); }
  LeafAt find(ByteView key) const { return find_leaf(*pages_, *root, d_, key); }
  Pairs pairs() const { return tree_pairs(*pages_, root, d_); }
  const WritablePageSource& pages() const { return *pages_; }

  // The checker's verdict ("" when sound), with the accounting of pages.
  std::string check() {
    TreeCheck c = check_txn_tree(*store_, root, d_);
    if (!c.error.empty()) return c.error;
    for (PageNumber p : freed) all_freed_.push_back(p);
    freed.clear();
    PageNumberSet expected = c.pages;
    for (PageNumber p : all_freed_) {
      if (!expected.insert(p).second) return "freed page still reachable " + p.debug();
    }
    if (!(store_->allocated_units() == units_of(expected))) {
      return "allocated pages != reachable + freed";
    }
    leaves = c.leaves;
    depth = c.depth;
    return "";
  }

  // Finalises the checksums and commits; the tree's pages become committed.
  void commit() {
    auto shared = std::make_shared<Mutex<std::vector<PageNumber>>>();
    UntypedBtreeMut tree(root, d_, pages_, shared, tracker_);
    auto finalized = tree.finalize_dirty_checksums();
    if (!finalized.ok()) panic("finalize failed: " + finalized.error().to_string());
    root = finalized.value();
    auto committed = store_->commit(root);
    if (!committed.ok()) panic("commit failed: " + committed.error().to_string());
  }

  std::optional<BtreeHeader> root;
  std::vector<PageNumber> freed;
  size_t leaves = 0;
  size_t depth = 0;

 private:
  std::shared_ptr<Store> store_;
  std::shared_ptr<const WritablePageSource> pages_;
  TreeDescriptor d_;
  PageTrackerRef tracker_;
  std::vector<PageNumber> all_freed_;
};

}  // namespace storage::test
