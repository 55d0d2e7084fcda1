#include "storage/src/tree_store/btree_iters.h"

#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/btree_mutator.h"

namespace storage {

AllPageNumbersBtreeIter::AllPageNumbersBtreeIter(PageNumber root,
                                                 std::optional<size_t> fixed_key_width,
                                                 std::shared_ptr<const PageSource> mem,
                                                 PageReadHint hint)
    : fixed_key_width_(fixed_key_width), stack_{Pending{root, 1}}, mem_(std::move(mem)),
      hint_(hint) {}

std::optional<Result<PageNumber, StorageError>> AllPageNumbersBtreeIter::next() {
  using Out = std::optional<Result<PageNumber, StorageError>>;
  if (stack_.empty()) return std::nullopt;
  const Pending top = stack_.back();
  stack_.pop_back();
  if (!seen_.insert(top.page).second) return Out(Err{cycle_detected()});
  if (top.depth > kMaxTreeDepth) return Out(Err{tree_too_deep()});
  auto page = mem_->get_page(top.page, hint_);
  if (!page.ok()) return Out(std::move(page).take_err());
  ByteView bytes = page->memory();
  auto type = page_type(bytes, top.page);
  if (!type.ok()) return Out(std::move(type).take_err());
  if (type.value() == kBranchPageType) {
    auto accessor = BranchAccessor::create(bytes, top.page, fixed_key_width_);
    if (!accessor.ok()) return Out(std::move(accessor).take_err());
    for (size_t i = accessor->count_children(); i > 0; --i) {
      stack_.push_back(Pending{accessor->child_page(i - 1), top.depth + 1});
    }
  } else if (type.value() != kLeafPageType) {
    return Out(Err{unknown_page_type(top.page, type.value())});
  }
  return Out(top.page);
}

}  // namespace storage
