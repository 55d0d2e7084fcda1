#include "storage/src/tree_store/btree_range.h"

#include "storage/src/panic.h"

namespace storage {
namespace {

bool bounded(const EncodedBound& b) { return b.kind != BoundKind::kUnbounded; }

// start > end with both bounds included, start >= end when either is excluded.
bool crossed(const EncodedBound& start, const EncodedBound& end, const TreeDescriptor& d) {
  if (!bounded(start) || !bounded(end)) return false;
  STORAGE_ASSERT(d.compare != nullptr);
  const auto order = d.compare(ByteView(start.key), ByteView(end.key));
  if (start.kind == BoundKind::kIncluded && end.kind == BoundKind::kIncluded) return order > 0;
  return order >= 0;
}

}  // namespace

BtreeCursorRange::BtreeCursorRange(EncodedBound start, EncodedBound end,
                                   std::optional<PageNumber> root,
                                   const TreeDescriptor& descriptor,
                                   std::shared_ptr<const PageSource> mem, PageReadHint hint)
    : start_(std::move(start)),
      end_(std::move(end)),
      root_(root),
      descriptor_(descriptor),
      mem_(std::move(mem)),
      hint_(hint) {}

BtreeCursorRange BtreeCursorRange::from_bounds(EncodedBound start, EncodedBound end,
                                               std::optional<PageNumber> root,
                                               const TreeDescriptor& descriptor,
                                               std::shared_ptr<const PageSource> mem,
                                               PageReadHint hint) {
  if (!root || crossed(start, end, descriptor)) {
    BtreeCursorRange range(EncodedBound::unbounded(), EncodedBound::unbounded(), std::nullopt,
                           descriptor, std::move(mem), hint);
    range.slots_ = {Slot::kClosed, Slot::kClosed};
    return range;
  }
  return BtreeCursorRange(std::move(start), std::move(end), root, descriptor, std::move(mem),
                          hint);
}

SeekTarget BtreeCursorRange::seek_target(RangeSide side) const {
  if (side == RangeSide::kFront) {
    switch (start_.kind) {
      case BoundKind::kIncluded:
        return SeekTarget::key(ByteView(start_.key));
      case BoundKind::kExcluded:
        return SeekTarget::after_key(ByteView(start_.key));
      case BoundKind::kUnbounded:
        return SeekTarget::start();
    }
  }
  switch (end_.kind) {
    case BoundKind::kIncluded:
      return SeekTarget::after_key(ByteView(end_.key));
    case BoundKind::kExcluded:
      return SeekTarget::key(ByteView(end_.key));
    case BoundKind::kUnbounded:
      break;
  }
  return SeekTarget::end();
}

Result<void, StorageError> BtreeCursorRange::open(RangeSide side) {
  if (slot(side) != Slot::kUninitialized) {
    panic("assertion failed: matches!(self.slot(side), Slot::Uninitialized)");
  }
  if (!root_) panic("range cursor must have a root");
  Cursor cursor(*root_, descriptor_, mem_, hint_);
  // A failed seek drops the cursor; the end stays unopened and seeks again.
  TRY(cursor.seek_to(seek_target(side)));
  cursors_[index(side)].emplace(std::move(cursor));
  slots_[index(side)] = Slot::kActive;
  return {};
}

Result<bool, StorageError> BtreeCursorRange::ends_met() {
  Cursor& front = *cursors_[index(RangeSide::kFront)];
  const Cursor& back = *cursors_[index(RangeSide::kBack)];
  // Two forms of one gap must compare equal.
  TRY(front.normalize_forward_gap());
  TRY_ASSIGN(std::strong_ordering order, front.compare_position(back));
  return order >= 0;
}

std::optional<Result<CursorEntry, StorageError>> BtreeCursorRange::next_from(RangeSide side) {
  using Out = std::optional<Result<CursorEntry, StorageError>>;
  auto ranges = next_ranges_from(side);
  if (!ranges) return Out();
  if (!ranges->ok()) return Out(std::move(*ranges).take_err());
  return Out(CursorEntry{leaf_page(side), ranges->value()});
}

std::optional<Result<EntryRanges, StorageError>> BtreeCursorRange::next_ranges_from(
    RangeSide side) {
  using Out = std::optional<Result<EntryRanges, StorageError>>;
  if (slot(side) == Slot::kUninitialized) {
    auto opened = open(side);
    if (!opened.ok()) return Out(std::move(opened).take_err());
  }
  if (slot(side) == Slot::kClosed) return Out();
  if (slot(side) != Slot::kActive) panic("cursor must be active");
  const RangeSide other = side == RangeSide::kFront ? RangeSide::kBack : RangeSide::kFront;

  if (slot(other) == Slot::kActive) {
    auto met = ends_met();
    if (!met.ok()) return Out(std::move(met).take_err());
    if (met.value()) {
      close();
      return Out();
    }
  }

  Cursor& cursor = *cursors_[index(side)];
  auto stepped = side == RangeSide::kFront ? cursor.next_ranges() : cursor.prev_ranges();
  if (!stepped.ok()) return Out(std::move(stepped).take_err());
  if (!stepped.value()) {
    close();
    return Out();
  }
  const EntryRanges ranges = *stepped.value();
  if (slot(other) == Slot::kUninitialized) {
    const ByteView key = cursor.leaf()->page.memory().subspan(
        ranges.key_start, ranges.key_end - ranges.key_start);
    if (!key_within_open_bound(key, side)) {
      close();
      return Out();
    }
  }
  return Out(ranges);
}

const PageImpl& BtreeCursorRange::leaf_page(RangeSide side) const {
  const std::optional<Cursor>& cursor = cursors_[index(side)];
  if (!cursor || !cursor->leaf()) panic("cursor must be positioned");
  return cursor->leaf()->page;
}

bool BtreeCursorRange::key_within_open_bound(ByteView key, RangeSide side) const {
  const EncodedBound& bound = side == RangeSide::kBack ? start_ : end_;
  if (!bounded(bound)) return true;
  STORAGE_ASSERT(descriptor_.compare != nullptr);
  const auto order = descriptor_.compare(key, ByteView(bound.key));
  const bool included = bound.kind == BoundKind::kIncluded;
  if (side == RangeSide::kBack) return included ? order >= 0 : order > 0;
  return included ? order <= 0 : order < 0;
}

void BtreeCursorRange::close() {
  root_.reset();
  cursors_[0].reset();
  cursors_[1].reset();
  slots_ = {Slot::kClosed, Slot::kClosed};
}

}  // namespace storage
