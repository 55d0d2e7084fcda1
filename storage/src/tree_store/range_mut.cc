#include "storage/src/tree_store/range_mut.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace storage {

namespace {

RangeSide other_side(RangeSide side) {
  return side == RangeSide::kFront ? RangeSide::kBack : RangeSide::kFront;
}

bool same_bytes(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

const EncodedBound& parked_bound(const EndState& end) {
  if (const auto* key = std::get_if<EndState::ParkedKey>(&end.kind)) return key->resume;
  if (const auto* batch = std::get_if<ParkedBatch>(&end.kind)) return batch->resume;
  panic("internal error: entered unreachable code: end must be parked");
}

// Where an end at this position resumes: the front at its entry, or after
// its leaf's last entry once past it; the back after the entry before its
// gap, or before its leaf's first entry at the leaf's start.
Result<EncodedBound, StorageError> resume_bound(RangeSide side, const LeafPosition& leaf) {
  auto key = [&](size_t i) -> Result<ByteView, StorageError> {
    TRY_ASSIGN(std::optional<LeafEntry> entry, leaf.accessor.entry(i));
    if (!entry) panic("cursor entry must exist");
    return entry->key;
  };
  if (side == RangeSide::kFront) {
    if (leaf.entry < leaf.num_entries) {
      TRY_ASSIGN(ByteView k, key(leaf.entry));
      return EncodedBound::included(k);
    }
    TRY_ASSIGN(ByteView k, key(leaf.num_entries - 1));
    return EncodedBound::excluded(k);
  }
  if (leaf.entry > 0) {
    TRY_ASSIGN(ByteView k, key(leaf.entry - 1));
    return EncodedBound::included(k);
  }
  TRY_ASSIGN(ByteView k, key(0));
  return EncodedBound::excluded(k);
}

}  // namespace

RangeMut::RangeMut(CursorTree tree, EncodedBound start, EncodedBound end, UntypedBtreeMut* owner,
                   bool poisoned)
    : tree_(std::move(tree)),
      front_{EndState::ParkedKey{std::move(start)}},
      back_{EndState::ParkedKey{std::move(end)}},
      owner_(owner),
      poisoned_(poisoned) {}

void RangeMut::poison() {
  poisoned_ = true;
  if (owner_ != nullptr) owner_->poison();
}

CursorState& RangeMut::live_state(RangeSide side) {
  auto* live = std::get_if<EndState::Live>(&end(side).kind);
  if (live == nullptr) panic("internal error: entered unreachable code: end must be live");
  return live->state;
}

template <typename F>
auto RangeMut::with_live(RangeSide side, F&& op)
    -> decltype(op(std::declval<btree_cursor::CursorMut&>())) {
  btree_cursor::CursorMut view(live_state(side), tree_);
  try {
    auto result = op(view);
    if (view.state.poisoned) poison();
    tree_.drain_freed();
    return result;
  } catch (...) {
    // A broken invariant mid-edit: the tree may be half edited.
    view.poison();
    poison();
    tree_.drain_freed();
    throw;
  }
}

Result<bool, StorageError> RangeMut::settle() {
  if (poisoned_) return Err{StorageError::PreviousIo()};
  if (settled_ == RangeSide::kFront) return true;
  TRY(activate(RangeSide::kFront));
  TRY_ASSIGN(bool has_entry, with_live(RangeSide::kFront, [](btree_cursor::CursorMut& view) {
               return view.ensure_has_entry(ScanDirection::kForward);
             }));
  if (!has_entry) return false;
  if (std::holds_alternative<EndState::Live>(back_.kind)) {
    panic("internal error: entered unreachable code: peer end must be parked while this end is live");
  }
  const EncodedBound& bound = parked_bound(back_);
  if (bound.kind != BoundKind::kUnbounded) {
    const CursorState& state = live_state(RangeSide::kFront);
    if (!state.position) panic("settled end is positioned");
    const LeafPosition& leaf = state.position->leaf;
    TRY_ASSIGN(std::optional<LeafEntry> entry, leaf.accessor.entry(leaf.entry));
    if (!entry) panic("cursor entry must exist");
    const auto order = tree_.descriptor.compare(entry->key, ByteView(bound.key));
    if (bound.kind == BoundKind::kIncluded ? order > 0 : order >= 0) return false;
  }
  settled_ = RangeSide::kFront;
  return true;
}

Result<std::optional<CursorEntry>, StorageError> RangeMut::peek_next() {
  TRY_ASSIGN(bool has_entry, settle());
  if (!has_entry) return std::optional<CursorEntry>();
  const CursorState& state = live_state(RangeSide::kFront);
  if (!state.position) panic("settled end is positioned");
  const LeafPosition& leaf = state.position->leaf;
  TRY_ASSIGN(std::optional<EntryRanges> ranges, leaf.accessor.entry_ranges(leaf.entry));
  if (!ranges) panic("cursor entry must exist");
  return std::optional<CursorEntry>(CursorEntry{leaf.page, *ranges});
}

Result<std::optional<std::pair<ValueRef, ValueRef>>, StorageError> RangeMut::remove_next() {
  using Out = std::optional<std::pair<ValueRef, ValueRef>>;
  TRY_ASSIGN(bool has_entry, settle());
  if (!has_entry) return Out();
  settled_.reset();
  return with_live(RangeSide::kFront, [&](btree_cursor::CursorMut& view) -> Result<Out, StorageError> {
    TRY_ASSIGN(bool again, view.ensure_has_entry(ScanDirection::kForward));
    if (!again) panic("settled entry must be removable");
    CursorState& state = view.state;
    LeafPosition& leaf = state.position->leaf;
    const size_t index = leaf.entry;
    if (!state.removed_indexes.empty() && !(state.removed_indexes.back() < index)) {
      panic("removed indexes must be recorded monotonically in the scan direction");
    }
    TRY_ASSIGN(std::optional<EntryRanges> r, leaf.accessor.entry_ranges(index));
    if (!r) panic("removed cursor entry must exist");
    state.removed_indexes.push_back(index);
    leaf.entry = index + 1;
    state.entries_lent = true;
    // Views of the unchanged leaf, each with its own share of the page.
    ValueRef key{PageHolder::read_only(leaf.page), r->key_start, r->key_end - r->key_start};
    ValueRef value{PageHolder::read_only(leaf.page), r->value_start,
                   r->value_end - r->value_start};
    return Out(std::pair<ValueRef, ValueRef>(std::move(key), std::move(value)));
  });
}

Result<bool, StorageError> RangeMut::skip_next() {
  TRY_ASSIGN(bool has_entry, settle());
  if (!has_entry) return false;
  settled_.reset();
  return with_live(RangeSide::kFront, [](btree_cursor::CursorMut& view) -> Result<bool, StorageError> {
    TRY_ASSIGN(bool again, view.ensure_has_entry(ScanDirection::kForward));
    if (!again) panic("settled entry must be removable");
    view.state.position->leaf.entry += 1;
    return true;
  });
}

Result<void, StorageError> RangeMut::park(RangeSide side) {
  return park(side, EncodedBound::unbounded());
}

Result<void, StorageError> RangeMut::park(RangeSide side, EncodedBound unpositioned) {
  settled_.reset();
  EndState& e = end(side);
  auto* live = std::get_if<EndState::Live>(&e.kind);
  if (live == nullptr) return {};
  EncodedBound resume = std::move(unpositioned);
  if (live->state.position) {
    TRY_ASSIGN(resume, resume_bound(side, live->state.position->leaf));
  } else if (live->state.reseek_after && side == RangeSide::kFront) {
    // A re-seek after a closed leaf failed: the front resumes after that leaf.
    resume = EncodedBound::excluded(ByteView(*live->state.reseek_after));
  }
  CursorState state = std::move(live->state);
  if (state.removed_indexes.empty()) {
    e.kind = EndState::ParkedKey{std::move(resume)};
  } else {
    if (!state.position) panic("pending removals require a position");
    e.kind = ParkedBatch{std::move(resume), std::move(state.removed_indexes),
                         state.position->leaf.page};
    state.removed_indexes.clear();
    state.entries_lent = false;
  }
  if (state.leaf_run_rewrite) {
    btree_cursor::CursorMut view(state, tree_);
    auto spliced = view.splice_open_run();
    if (view.state.poisoned) poison();
    tree_.drain_freed();
    return spliced;
  }
  tree_.drain_freed();
  return {};
}

Result<CursorState, StorageError> RangeMut::seek_end(RangeSide side) {
  const EncodedBound& bound = parked_bound(end(side));
  const ByteView key(bound.key);
  SeekTarget target = SeekTarget::start();
  if (side == RangeSide::kFront) {
    if (bound.kind == BoundKind::kIncluded) target = SeekTarget::key(key);
    if (bound.kind == BoundKind::kExcluded) target = SeekTarget::after_key(key);
  } else {
    target = SeekTarget::end();
    if (bound.kind == BoundKind::kIncluded) target = SeekTarget::after_key(key);
    if (bound.kind == BoundKind::kExcluded) target = SeekTarget::key(key);
  }
  CursorState state;
  btree_cursor::CursorMut view(state, tree_);
  TRY(view.seek_to(target));
  return state;
}

Result<void, StorageError> RangeMut::apply_batch_by_key(const ParkedBatch& batch) {
  TRY_ASSIGN(LeafAccessor snapshot, LeafAccessor::create(batch.leaf_bytes, tree_.descriptor));
  for (size_t index : batch.removed_indexes) {
    TRY_ASSIGN(std::optional<LeafEntry> entry, snapshot.entry(index));
    if (!entry) panic("snapshot entry must exist");
    auto removed = tree_.helper().delete_key(entry->key, false);
    tree_.drain_freed();
    if (!removed.ok()) {
      poison();
      return std::move(removed).take_err();
    }
  }
  return {};
}

Result<void, StorageError> RangeMut::activate(RangeSide side) {
  if (std::holds_alternative<EndState::Live>(end(side).kind)) return {};
  TRY(park(other_side(side)));
  TRY_ASSIGN(CursorState state, seek_end(side));
  EndState& e = end(side);
  if (auto* batch = std::get_if<ParkedBatch>(&e.kind)) {
    if (state.position &&
        same_bytes(state.position->leaf.page.memory(), batch->leaf_bytes.memory())) {
      // The leaf is as it was: its pending removals go on.
      state.removed_indexes = std::move(batch->removed_indexes);
      state.entries_lent = true;
    } else {
      ParkedBatch pending = std::move(*batch);
      e.kind = EndState::ParkedKey{pending.resume};
      if (state.leaf_run_rewrite) panic("assertion failed: state.leaf_run_rewrite.is_none()");
      state = CursorState{};  // its pages are released before the edits
      TRY(apply_batch_by_key(pending));
      TRY_ASSIGN(state, seek_end(side));
    }
  }
  end(side).kind = EndState::Live{std::move(state)};
  return {};
}

Result<void, StorageError> RangeMut::flush_end(RangeSide side) {
  if (poisoned_) return Err{StorageError::PreviousIo()};
  EndState& e = end(side);
  if (std::holds_alternative<EndState::ParkedKey>(e.kind)) return {};
  const bool activated_batch = std::holds_alternative<ParkedBatch>(e.kind);
  if (activated_batch) TRY(activate(side));
  // Applying the removals drops the position: the end resumes where it stood,
  // after the entries it passed (taken or stepped over), not at the start.
  EncodedBound resume = EncodedBound::unbounded();
  if (const CursorState& live = live_state(side); live.position) {
    TRY_ASSIGN(resume, resume_bound(side, live.position->leaf));
  }
  auto flushed = with_live(side, [](btree_cursor::CursorMut& view) -> Result<void, StorageError> {
    CursorState& state = view.state;
    if (state.position && !state.removed_indexes.empty()) {
      const ScanDirection direction =
          state.leaf_run_rewrite ? state.leaf_run_rewrite->direction : ScanDirection::kForward;
      TRY(view.close_current_leaf(direction));
    }
    return view.splice_open_run();
  });
  if (activated_batch && !flushed.ok()) return flushed;
  auto parked = park(side, std::move(resume));
  if (!flushed.ok()) return flushed;
  return parked;
}

// ---------------------------------------------------------------------------
// Extraction

UntypedExtractIf::UntypedExtractIf(UntypedExtractIf&& other) noexcept
    : range_(std::move(other.range_)),
      predicate_(std::move(other.predicate_)),
      predicate_running_(other.predicate_running_),
      failed_(other.failed_),
      state_(other.state_) {
  other.moved_from_ = true;
}

UntypedExtractIf::~UntypedExtractIf() {
  if (moved_from_) return;
  bool ok = false;
  try {
    ok = close().ok() && !failed_;
  } catch (...) {
    // Never out of a destructor; the poison below reports it.
  }
  // Removals the caller already took may not be in the tree: the write
  // transaction must not commit.
  if (!ok) range_.poison();
}

std::optional<StorageError> UntypedExtractIf::flush_both() {
  auto front = range_.flush_end(RangeSide::kFront);
  auto back = range_.flush_end(RangeSide::kBack);
  if (!front.ok() || !back.ok() || range_.poisoned()) failed_ = true;
  if (!front.ok()) return std::move(front).error();
  if (!back.ok()) return std::move(back).error();
  return std::nullopt;
}

std::optional<Result<std::pair<ValueRef, ValueRef>, StorageError>> UntypedExtractIf::next() {
  using Item = Result<std::pair<ValueRef, ValueRef>, StorageError>;
  if (state_ == ExtractState::kFailed || (state_ == ExtractState::kClosed && failed_)) {
    return Item(Err{StorageError::PreviousIo()});
  }
  if (state_ == ExtractState::kClosed) return std::nullopt;
  auto fail = [&](StorageError e) -> std::optional<Item> {
    state_ = ExtractState::kClosed;
    (void)flush_both();
    state_ = ExtractState::kFailed;
    return Item(Err{std::move(e)});
  };
  while (true) {
    bool accepted = false;
    {
      auto peeked = range_.peek_next();
      if (!peeked.ok()) return fail(std::move(peeked).error());
      if (!peeked.value()) {
        state_ = ExtractState::kClosed;
        if (std::optional<StorageError> e = flush_both()) {
          state_ = ExtractState::kFailed;
          return Item(Err{std::move(*e)});
        }
        if (failed_) {
          state_ = ExtractState::kFailed;
          return Item(Err{StorageError::PreviousIo()});
        }
        return std::nullopt;
      }
      if (predicate_running_) panic("assertion failed: !self.predicate_running");
      predicate_running_ = true;
      try {
        accepted = predicate_(peeked.value()->key(), peeked.value()->value());
      } catch (...) {
        predicate_running_ = false;
        throw;
      }
      predicate_running_ = false;
    }
    if (!accepted) {
      auto skipped = range_.skip_next();
      if (!skipped.ok()) return fail(std::move(skipped).error());
      continue;
    }
    auto removed = range_.remove_next();
    if (!removed.ok()) return fail(std::move(removed).error());
    if (!removed.value()) panic("peeked cursor entry must be removable");
    return Item(std::move(*removed.value()));
  }
}

Result<void, StorageError> UntypedExtractIf::close() {
  if (state_ == ExtractState::kOpen) {
    state_ = ExtractState::kClosed;
    auto front = range_.flush_end(RangeSide::kFront);
    auto back = range_.flush_end(RangeSide::kBack);
    if (!front.ok()) {
      failed_ = true;
      return front;
    }
    if (!back.ok()) {
      failed_ = true;
      return back;
    }
    if (range_.poisoned()) {
      failed_ = true;
      return Err{StorageError::PreviousIo()};
    }
    return {};
  }
  if (state_ == ExtractState::kFailed || failed_) return Err{StorageError::PreviousIo()};
  return {};
}

RangeMut removal_range_below(UntypedBtreeMut& tree, ByteView end_key) {
  CursorTree cursor_tree(tree.root_mut(), tree.allocator(), tree.tracker(), tree.freed_pages(),
                         tree.descriptor());
  return RangeMut(std::move(cursor_tree), EncodedBound::unbounded(),
                  EncodedBound::excluded(end_key), &tree, tree.poisoned());
}

}  // namespace storage
