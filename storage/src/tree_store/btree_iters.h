// Key ranges as encoded bounds, and the pre-order page-number iterator over one
// tree.
//
// Thread safety: plain values; an iterator is used by one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/types.h"

namespace storage {

enum class BoundKind : uint8_t { kIncluded, kExcluded, kUnbounded };

// One end of a range over encoded keys.
struct EncodedBound {
  BoundKind kind = BoundKind::kUnbounded;
  std::vector<uint8_t> key;  // empty when unbounded

  static EncodedBound included(ByteView key) { return {BoundKind::kIncluded, {key.begin(), key.end()}}; }
  static EncodedBound excluded(ByteView key) { return {BoundKind::kExcluded, {key.begin(), key.end()}}; }
  static EncodedBound unbounded() { return {}; }
  bool operator==(const EncodedBound&) const = default;
};

// A range of typed keys: [start, end), [start, end], or open on either side.
// `exhausted` marks a closed range whose iteration has ended.
template <KeyCodec K>
struct KeyRange {
  using Key = typename K::Decoded;
  std::optional<Key> start;
  std::optional<Key> end;
  bool end_included = false;
  bool exhausted = false;

  static KeyRange half_open(Key s, Key e) { return {s, e, false, false}; }
  static KeyRange closed(Key s, Key e) { return {s, e, true, false}; }
  static KeyRange from(Key s) { return {s, std::nullopt, false, false}; }
  static KeyRange to(Key e) { return {std::nullopt, e, false, false}; }
  static KeyRange to_inclusive(Key e) { return {std::nullopt, e, true, false}; }
  static KeyRange full() { return {}; }
};

namespace btree_iters {

// (start bound, end bound) with owned encoded keys. An exhausted closed range
// gives an excluded end, so that iteration over it yields nothing more.
template <KeyCodec K>
std::pair<EncodedBound, EncodedBound> encode_bounds(const KeyRange<K>& range) {
  EncodedBound start = EncodedBound::unbounded();
  EncodedBound end = EncodedBound::unbounded();
  if (range.start) {
    auto bytes = K::as_bytes(*range.start);
    start = EncodedBound::included(ByteView(bytes));
  }
  if (range.end) {
    auto bytes = K::as_bytes(*range.end);
    end = range.end_included && !range.exhausted ? EncodedBound::included(ByteView(bytes))
                                                 : EncodedBound::excluded(ByteView(bytes));
  }
  return {std::move(start), std::move(end)};
}

}  // namespace btree_iters

// Every page number of one tree, pre-order with children left to right, root
// first. A page that cannot be read is yielded as its error and its children
// are skipped; the iteration goes on with the rest. A page met twice (a
// cycle, or two parents) or deeper than kMaxTreeDepth is yielded as Corrupted
// and not descended into, so a damaged tree never loops.
class AllPageNumbersBtreeIter {
 public:
  AllPageNumbersBtreeIter(PageNumber root, std::optional<size_t> fixed_key_width,
                          std::shared_ptr<const PageSource> mem, PageReadHint hint);

  // None once every page was yielded.
  std::optional<Result<PageNumber, StorageError>> next();

 private:
  struct Pending {
    PageNumber page;
    size_t depth;  // the root is at depth 1
  };
  std::optional<size_t> fixed_key_width_;
  std::vector<Pending> stack_;
  PageNumberSet seen_;
  std::shared_ptr<const PageSource> mem_;
  PageReadHint hint_;
};

}  // namespace storage
