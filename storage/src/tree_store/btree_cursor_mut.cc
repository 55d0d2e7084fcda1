#include "storage/src/tree_store/btree_cursor_mut.h"

#include <algorithm>
#include <utility>

namespace storage {

namespace {

std::vector<uint8_t> copy_of(ByteView bytes) { return std::vector<uint8_t>(bytes.begin(), bytes.end()); }

bool ready(const LeafPosition& leaf, ScanDirection direction) {
  return direction == ScanDirection::kForward ? leaf.entry < leaf.num_entries : leaf.entry > 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// CursorTree

CursorTree::CursorTree(std::optional<BtreeHeader>& root,
                       std::shared_ptr<const WritablePageSource> page_allocator,
                       PageTrackerRef allocated_pages, SharedFreedPages shared_freed,
                       const TreeDescriptor& descriptor)
    : page_allocator(std::move(page_allocator)),
      root(&root),
      allocated_pages(std::move(allocated_pages)),
      shared_freed(std::move(shared_freed)),
      descriptor(descriptor) {
  STORAGE_ASSERT(this->page_allocator != nullptr && this->allocated_pages != nullptr &&
                 this->shared_freed != nullptr);
}

void CursorTree::drain_freed() {
  if (freed.empty()) return;
  auto shared = shared_freed->lock_or_panic();
  for (PageNumber page : freed) {
    if (!page_allocator->free_if_uncommitted(page, allocated_pages)) shared->push_back(page);
  }
  freed.clear();
}

CursorPosition::Parts CursorPosition::into_parts() && {
  std::vector<LeafPathStep> branches;
  branches.reserve(path.size());
  for (Branch& b : path) branches.push_back(LeafPathStep{std::move(b.page), b.child});
  path.clear();
  return Parts{std::move(branches), std::move(leaf.page), leaf.entry, leaf.num_entries};
}

namespace btree_cursor {

// ---------------------------------------------------------------------------
// Positioning

Result<void, StorageError> CursorMut::seek_to(const SeekTarget& target) {
  if (state.poisoned) return Err{StorageError::PreviousIo()};
  if (state.leaf_run_rewrite) panic("assertion failed: self.state.leaf_run_rewrite.is_none()");
  if (!state.removed_indexes.empty()) {
    panic("assertion failed: self.state.removed_indexes.is_empty()");
  }
  if (state.insert_run) panic("assertion failed: self.state.insert_run.is_none()");
  state.position.reset();
  state.reseek_after.reset();
  if (!*tree_.root) return {};
  TRY_ASSIGN(PageImpl root, tree_.fetch((*tree_.root)->root));
  std::vector<Branch> path;
  const auto fetch = [this](PageNumber p) { return tree_.fetch(p); };
  TRY_ASSIGN(LeafPosition leaf,
             descend_to_position(std::move(root), target, path, tree_.descriptor, fetch));
  state.position = CursorPosition{std::move(path), std::move(leaf)};
  return {};
}

Result<bool, StorageError> CursorMut::step_to_adjacent_leaf(ScanDirection direction) {
  if (!state.position) return false;
  // The shared step swaps the new path in only once the new leaf is reached:
  // a failed read leaves the position as it was, so a retry repeats the step.
  std::optional<LeafPosition> leaf(std::move(state.position->leaf));
  const auto fetch = [this](PageNumber p) { return tree_.fetch(p); };
  auto stepped = storage::step_to_adjacent_leaf(leaf, state.position->path, direction,
                                                tree_.descriptor, fetch);
  state.position->leaf = std::move(*leaf);
  return stepped;
}

Result<bool, StorageError> CursorMut::ensure_has_entry(ScanDirection direction) {
  if (state.poisoned) return Err{StorageError::PreviousIo()};
  if (state.insert_run) panic("assertion failed: self.state.insert_run.is_none()");
  if (!state.position && state.reseek_after) {
    std::vector<uint8_t> key = std::move(*state.reseek_after);
    auto sought = seek_to(SeekTarget::after_key(ByteView(key)));
    if (!sought.ok()) {
      state.reseek_after = std::move(key);
      return std::move(sought).take_err();
    }
  }
  if (!state.position) return false;
  if (!state.removed_indexes.empty()) {
    const size_t last = state.removed_indexes.back();
    const size_t entry = state.position->leaf.entry;
    if (direction == ScanDirection::kForward ? !(last < entry) : last < entry) {
      panic("pending removals must match the scan direction");
    }
  }
  while (true) {
    if (!state.position) return false;
    if (ready(state.position->leaf, direction)) return true;
    if (state.removed_indexes.empty() && !state.leaf_run_rewrite) {
      TRY_ASSIGN(bool stepped, step_to_adjacent_leaf(direction));
      if (!stepped) return false;
      continue;
    }
    TRY_ASSIGN(LeafClose closed, close_current_leaf(direction));
    if (std::holds_alternative<LeafClose::Untouched>(closed.kind)) {
      TRY_ASSIGN(bool stepped, step_to_adjacent_leaf(direction));
      if (!stepped) return false;
    } else if (auto* reseek = std::get_if<LeafClose::Reseek>(&closed.kind)) {
      // The leaf's removals are in the tree: a failed seek is kept for the
      // next call to repeat, so that the scan goes on after this leaf rather
      // than ending here.
      auto sought = seek_to(SeekTarget::after_key(ByteView(reseek->key)));
      if (!sought.ok()) {
        state.reseek_after = std::move(reseek->key);
        return std::move(sought).take_err();
      }
    } else {
      // The open run would be lost with the position: a failed step poisons.
      auto stepped = step_to_adjacent_leaf(direction);
      if (!stepped.ok()) {
        poison();
        return std::move(stepped).take_err();
      }
      if (!stepped.value()) panic("assertion failed: stepped");
    }
  }
}

void CursorMut::poison() {
  state.poisoned = true;
  state.position.reset();
  state.removed_indexes.clear();
  state.leaf_run_rewrite.reset();
  state.insert_run.reset();
  state.spare_run.reset();
  state.reseek_after.reset();
  state.entries_lent = false;
}

Result<ByteView, StorageError> CursorMut::key_at(size_t index) const {
  if (!state.position) panic("cursor must be positioned");
  TRY_ASSIGN(std::optional<LeafEntry> entry, state.position->leaf.accessor.entry(index));
  if (!entry) panic("cursor entry must exist");
  return entry->key;
}

// ---------------------------------------------------------------------------
// Insert runs

void CursorMut::recycle(std::unique_ptr<InsertRun> run) {
  if (!run || state.poisoned) return;
  run->reset();
  state.spare_run = std::move(run);
}

Result<void, StorageError> CursorMut::start_insert_run() {
  std::unique_ptr<InsertRun> run = std::move(state.spare_run);
  if (!run) run = std::make_unique<InsertRun>();
  auto fail = [&](StorageError e) -> Result<void, StorageError> {
    recycle(std::move(run));
    return Err{std::move(e)};
  };
  // Forward first: at a leaf's end it may step onto the next leaf to read the
  // upper bound; the backward call then steps back, so the run is always built
  // on the leaf holding the entry before the gap.
  auto after = ensure_has_entry(ScanDirection::kForward);
  if (!after.ok()) return fail(std::move(after).error());
  if (after.value()) {
    auto key = key_at(state.position->leaf.entry);
    if (!key.ok()) return fail(std::move(key).error());
    run->set_next_key(key.value());
  }
  auto before = ensure_has_entry(ScanDirection::kBackward);
  if (!before.ok()) return fail(std::move(before).error());
  if (before.value()) {
    auto key = key_at(state.position->leaf.entry - 1);
    if (!key.ok()) return fail(std::move(key).error());
    run->set_last_key(key.value());
  }
  if (state.position) {
    const LeafPosition& leaf = state.position->leaf;
    auto copied = run->entries.extend_from_leaf_range(leaf.accessor, 0, leaf.entry, true);
    if (!copied.ok()) return fail(std::move(copied).error());
  }
  state.insert_run = std::move(run);
  return {};
}

Result<void, StorageError> CursorMut::flush_insert_run(bool reseek) {
  if (state.poisoned) return Err{StorageError::PreviousIo()};
  std::unique_ptr<InsertRun> run = std::move(state.insert_run);
  if (!run) return {};
  if (run->inserted == 0) {
    recycle(std::move(run));
    return {};
  }
  // Where the next insert belongs: just after the last inserted key (read
  // before the leaf's pairs after the gap join the buffer).
  std::optional<ByteView> last = run->last_key();
  if (!last) panic("a run with inserts bounds its gap on some side");
  std::optional<SeekTarget> target;
  if (reseek) target = SeekTarget::after_key(*last);
  auto splice = [&]() -> Result<void, StorageError> {
    std::optional<CursorPosition> position = std::move(state.position);
    state.position.reset();
    std::optional<LeafPath> path;
    if (position) {
      const LeafPosition& leaf = position->leaf;
      TRY(run->entries.extend_from_leaf_range(leaf.accessor, leaf.entry, leaf.num_entries, true));
      CursorPosition::Parts parts = std::move(*position).into_parts();
      position.reset();
      path = LeafPath{std::move(parts.branches), parts.leaf.get_page_number()};
    }
    if (state.leaf_run_rewrite) panic("assertion failed: self.state.leaf_run_rewrite.is_none()");
    if (state.insert_run) panic("assertion failed: self.state.insert_run.is_none()");
    return tree_.helper().splice_insert_run(std::move(path), run->entries, run->inserted);
  };
  auto spliced = splice();
  if (!spliced.ok()) {
    // The tree may be half rebuilt and the run is gone.
    poison();
    return spliced;
  }
  recycle(std::move(run));
  if (!target) return {};
  // A failed seek is returned without poisoning: the pairs are in the tree.
  return seek_to(*target);
}

// ---------------------------------------------------------------------------
// Removals

Result<LeafClose, StorageError> CursorMut::close_current_leaf(ScanDirection direction) {
  if (!state.position) panic("cursor must be positioned");
  const bool forward = direction == ScanDirection::kForward;

  // Finishes the open run: splices it and re-seeks after the current leaf.
  auto finish_run = [&]() -> Result<LeafClose, StorageError> {
    std::vector<uint8_t> resume;
    {
      const LeafPosition& leaf = state.position->leaf;
      TRY_ASSIGN(ByteView key, key_at(forward ? leaf.num_entries - 1 : 0));
      resume = copy_of(key);
    }
    TRY(splice_open_run());
    return LeafClose{LeafClose::Reseek{std::move(resume)}};
  };

  if (state.removed_indexes.empty()) {
    if (!state.leaf_run_rewrite) return LeafClose{LeafClose::Untouched{}};
    return finish_run();
  }

  const LeafPosition& leaf = state.position->leaf;
  const size_t page_size = tree_.page_allocator->get_page_size();
  std::vector<size_t> indexes = state.removed_indexes;
  std::sort(indexes.begin(), indexes.end());
  size_t remaining = 0;
  size_t size = 0;
  {
    TRY_ASSIGN(auto retained, retained_after_removals(leaf.accessor, indexes));
    remaining = retained.first;
    size = leaf_header_size(remaining, tree_.descriptor.fixed_key_width,
                            tree_.descriptor.fixed_value_width) +
           retained.second;
  }
  const bool underfull = remaining == 0 || size < page_size / 3;
  const bool is_root = state.position->path.empty();

  if (is_root || (!underfull && !state.leaf_run_rewrite)) {
    std::vector<uint8_t> resume;
    {
      TRY_ASSIGN(ByteView key, key_at(forward ? leaf.num_entries - 1 : 0));
      resume = copy_of(key);
    }
    const bool in_place = !state.entries_lent;
    CursorPosition::Parts parts = std::move(*state.position).into_parts();
    state.position.reset();
    state.removed_indexes.clear();
    state.entries_lent = false;
    auto edited = tree_.helper().delete_leaf_entries(std::move(parts.leaf),
                                                     std::move(parts.branches), indexes, in_place);
    if (!edited.ok()) {
      poison();
      return std::move(edited).take_err();
    }
    return LeafClose{LeafClose::Reseek{std::move(resume)}};
  }

  // The leaf joins the open run (starting one).
  const Branch& parent = state.position->path.back();
  const PageNumber parent_page = parent.page.get_page_number();
  const size_t child = parent.child;
  const size_t parent_keys = parent.num_keys();
  if (!state.leaf_run_rewrite) {
    const size_t at = forward ? child : child + 1;
    state.leaf_run_rewrite = LeafRunRewrite{OwnedEntryBuffer(), at, at, 0, parent_page, direction};
  }
  LeafRunRewrite& run = *state.leaf_run_rewrite;
  if (!(run.parent == parent_page)) panic("assertion failed: run.parent == parent page");
  if (run.direction != direction) panic("assertion failed: run.direction == direction");
  if (forward) {
    if (child != run.end) panic("assertion failed: child == run.end");
    run.end = child + 1;
  } else {
    if (child + 1 != run.start) panic("assertion failed: child + 1 == run.start");
    run.start = child;
  }
  run.removed += indexes.size();
  state.removed_indexes.clear();
  state.entries_lent = false;
  auto copied = run.entries.extend_from_leaf(leaf.accessor, indexes, forward);
  if (!copied.ok()) {
    // Part of the leaf may be in the run: what the run holds is unknown.
    poison();
    return std::move(copied).take_err();
  }
  const bool further = forward ? child + 1 <= parent_keys : child > 0;
  if (size <= page_size && further) return LeafClose{LeafClose::Joined{}};
  return finish_run();
}

Result<void, StorageError> CursorMut::splice_open_run() {
  if (state.poisoned) return Err{StorageError::PreviousIo()};
  if (!state.leaf_run_rewrite) return {};
  LeafRunRewrite run = std::move(*state.leaf_run_rewrite);
  state.leaf_run_rewrite.reset();
  if (!state.position) panic("open run requires a position");
  CursorPosition::Parts parts = std::move(*state.position).into_parts();
  state.position.reset();
  parts.leaf = PageImpl(PageBuffer(), PageNumber());  // released before the edit
  if (parts.branches.empty()) panic("leaf runs require a parent branch");
  if (!(parts.branches.back().branch.get_page_number() == run.parent)) {
    panic("assertion failed: leaf run parent == path parent");
  }
  auto replaced = tree_.helper().replace_leaf_children(std::move(parts.branches), run.start,
                                                       run.end, std::move(run.entries),
                                                       run.removed);
  if (!replaced.ok()) {
    poison();
    return replaced;
  }
  return {};
}

}  // namespace btree_cursor

// ---------------------------------------------------------------------------
// BtreeCursorMut

BtreeCursorMut::BtreeCursorMut(std::optional<BtreeHeader>& root,
                               std::shared_ptr<const WritablePageSource> page_allocator,
                               PageTrackerRef allocated_pages, SharedFreedPages shared_freed,
                               const TreeDescriptor& descriptor)
    : tree_(root, std::move(page_allocator), std::move(allocated_pages), std::move(shared_freed),
            descriptor) {
  // Runs are only built and bounded on fixed-width keys.
  STORAGE_ASSERT(descriptor.fixed_key_width.has_value() && descriptor.compare != nullptr);
}

template <typename F>
auto BtreeCursorMut::run(F&& op) -> decltype(op(std::declval<btree_cursor::CursorMut&>())) {
  btree_cursor::CursorMut view(state_, tree_);
  try {
    auto result = op(view);
    tree_.drain_freed();
    return result;
  } catch (...) {
    // A broken invariant mid-operation: the tree may be half edited.
    view.poison();
    tree_.drain_freed();
    throw;
  }
}

Result<void, StorageError> BtreeCursorMut::seek_upper_bound(const EncodedBound& bound) {
  SeekTarget target = SeekTarget::end();
  if (bound.kind == BoundKind::kIncluded) target = SeekTarget::after_key(ByteView(bound.key));
  if (bound.kind == BoundKind::kExcluded) target = SeekTarget::key(ByteView(bound.key));
  return run([&](btree_cursor::CursorMut& view) { return view.seek_to(target); });
}

Result<bool, StorageError> BtreeCursorMut::insert_before(ByteView key, ByteView value) {
  if (key.size() != *tree_.descriptor.fixed_key_width) panic(kUnwrapErrText);
  return run([&](btree_cursor::CursorMut& view) -> Result<bool, StorageError> {
    CursorState& state = view.state;
    if (state.poisoned) return Err{StorageError::PreviousIo()};
    if (!state.removed_indexes.empty()) {
      panic("assertion failed: self.state.removed_indexes.is_empty()");
    }
    if (state.leaf_run_rewrite) panic("assertion failed: self.state.leaf_run_rewrite.is_none()");
    if (!state.insert_run) {
      // Only a failed re-seek leaves a rooted tree's cursor without a position:
      // there is no leaf to build a run on, and no bounds to check keys against.
      if (!state.position && view.tree().root->has_value()) {
        return Err{StorageError::PreviousIo()};
      }
      TRY(view.start_insert_run());
    }
    InsertRun& run = *state.insert_run;
    const KeyCompareFn compare = view.tree().descriptor.compare;
    const std::optional<ByteView> last = run.last_key();
    const std::optional<ByteView> next = run.next_key();
    const bool in_order = (!last || compare(key, *last) > 0) && (!next || compare(key, *next) < 0);
    if (!in_order) {
      // A run that took nothing yet is dropped with its bounds.
      if (run.inserted == 0) {
        run.reset();
        state.spare_run = std::move(state.insert_run);
      }
      return false;
    }
    run.push(key, value);
    if (run.entries.data_len() >= kInsertRunFlushBytes) TRY(view.flush_insert_run(true));
    return true;
  });
}

Result<void, StorageError> BtreeCursorMut::finish() {
  return run([](btree_cursor::CursorMut& view) -> Result<void, StorageError> {
    TRY(view.flush_insert_run(false));
    // Also without a run: a finished cursor holds no page, so that later
    // edits may change its pages in place.
    view.state.position.reset();
    return {};
  });
}

}  // namespace storage
