// The bounded range on fixed trees: bounds and endings, alternating ends,
// page reads counted, a failed first seek, and damaged trees built by hand
// (which a range reports as Corrupted through both of its ends).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "storage/src/tree_store/btree_cursor.h"
#include "storage/src/tree_store/btree_range.h"
#include "storage/tests/support/cursor_support.h"

namespace storage {
namespace {

using test::Bytes;
using test::HandBuiltPages;
using test::ReadCountingPages;
using test::TransactionalPageStore;
using test::TxnState;
constexpr TreeDescriptor kU64 = tree_descriptor<U64Codec, BytesCodec>();

uint64_t key_of(const CursorEntry& e) { return U64Codec::from_bytes(e.key()); }
Bytes enc(uint64_t k) {
  auto a = U64Codec::as_bytes(k);
  return Bytes(a.begin(), a.end());
}

// A committed tree of keys 0, 10, 20, ... with 200-byte values: several
// leaves under one or more branch levels.
struct Tree {
  std::shared_ptr<TransactionalPageStore> store;
  std::optional<BtreeHeader> root;
  std::vector<std::vector<Bytes>> leaves;

  static Tree make(size_t count, size_t value_len = 200, size_t cache_bytes = size_t{64} << 20) {
    Tree t;
    t.store = TransactionalPageStore::create({.cache_bytes = cache_bytes});
    TxnState txn(t.store);
    auto tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
    const Bytes value(value_len, 0xAB);
    for (uint64_t i = 0; i < count; ++i) {
      if (!tree.insert(i * 10, ByteView(value)).ok()) panic("insert failed");
    }
    if (count > 0) t.root = test::commit_tree(tree, *t.store);
    t.leaves = test::leaf_keys(*t.store->readable(), t.root, kU64);
    return t;
  }
  Cursor cursor(std::shared_ptr<const PageSource> pages = nullptr) const {
    return Cursor(root->root, kU64, pages ? pages : store->readable(), PageReadHint::kCommitted);
  }
};

BtreeCursorRange range_of(const Tree& t, EncodedBound start, EncodedBound end,
                          std::shared_ptr<const PageSource> pages = nullptr) {
  return BtreeCursorRange::from_bounds<U64Codec, BytesCodec>(
      std::move(start), std::move(end), t.root ? std::optional(t.root->root) : std::nullopt,
      pages ? pages : t.store->readable(), PageReadHint::kCommitted);
}

std::vector<uint64_t> drain(BtreeCursorRange& r, RangeSide side) {
  std::vector<uint64_t> out;
  while (auto e = r.next_from(side)) {
    EXPECT_TRUE(e->ok()) << e->error().to_string();
    if (!e->ok()) break;
    out.push_back(key_of(e->value()));
  }
  return out;
}

TEST(CursorRangeTest, BoundsAndEndings) {
  Tree t = Tree::make(600);
  using B = EncodedBound;
  struct Case {
    const char* what;
    B start, end;
    RangeSide side;
    std::vector<uint64_t> expected;
  };
  const Case cases[] = {
      {"Included(50)..Excluded(50) is empty", B::included(enc(50)), B::excluded(enc(50)),
       RangeSide::kFront, {}},
      {"Included(50)..Included(50) yields 50", B::included(enc(50)), B::included(enc(50)),
       RangeSide::kBack, {50}},
      {"Included(55)..Included(55) yields nothing", B::included(enc(55)), B::included(enc(55)),
       RangeSide::kFront, {}},
      {"crossed", B::included(enc(60)), B::included(enc(50)), RangeSide::kBack, {}},
      {"back only down to an included start", B::included(enc(5930)), B::unbounded(),
       RangeSide::kBack, {5990, 5980, 5970, 5960, 5950, 5940, 5930}},
      {"back only down to an excluded start", B::excluded(enc(5930)), B::unbounded(),
       RangeSide::kBack, {5990, 5980, 5970, 5960, 5950, 5940}},
      {"front only up to an excluded end", B::unbounded(), B::excluded(enc(40)),
       RangeSide::kFront, {0, 10, 20, 30}},
      {"front only up to an included end between keys", B::excluded(enc(0)),
       B::included(enc(45)), RangeSide::kFront, {10, 20, 30, 40}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BtreeCursorRange r = range_of(t, c.start, c.end);
    EXPECT_EQ(drain(r, c.side), c.expected);
    // Ended for both ends, for good.
    EXPECT_EQ(r.slot(RangeSide::kFront), BtreeCursorRange::Slot::kClosed);
    EXPECT_EQ(r.slot(RangeSide::kBack), BtreeCursorRange::Slot::kClosed);
    for (int i = 0; i < 3; ++i) {
      EXPECT_FALSE(r.next_from(RangeSide::kFront).has_value());
      EXPECT_FALSE(r.next_from(RangeSide::kBack).has_value());
    }
  }
  // The full range: ascending from the front, descending from the back.
  BtreeCursorRange front = range_of(t, B::unbounded(), B::unbounded());
  std::vector<uint64_t> up = drain(front, RangeSide::kFront);
  BtreeCursorRange back = range_of(t, B::unbounded(), B::unbounded());
  std::vector<uint64_t> down = drain(back, RangeSide::kBack);
  ASSERT_EQ(up.size(), 600u);
  EXPECT_TRUE(std::is_sorted(up.begin(), up.end()));
  EXPECT_TRUE(std::equal(up.rbegin(), up.rend(), down.begin(), down.end()));

  // close() ends a range at once.
  BtreeCursorRange closed = range_of(t, B::unbounded(), B::unbounded());
  ASSERT_TRUE(closed.next().has_value());
  closed.close();
  EXPECT_FALSE(closed.next().has_value());
  EXPECT_FALSE(closed.next_back().has_value());
  EXPECT_FALSE(closed.root().has_value());
}

TEST(CursorRangeTest, TypedRangesEncodeTheirBounds) {
  Tree t = Tree::make(100);
  auto make = [&](const KeyRange<U64Codec>& range) {
    return BtreeCursorRange::create<U64Codec, BytesCodec>(range, t.root->root, t.store->memory(),
                                                          PageReadHint::kCommitted);
  };
  auto closed = make(KeyRange<U64Codec>::closed(100, 130));
  EXPECT_EQ(drain(closed, RangeSide::kFront), (std::vector<uint64_t>{100, 110, 120, 130}));
  auto half = make(KeyRange<U64Codec>::half_open(100, 130));
  EXPECT_EQ(drain(half, RangeSide::kBack), (std::vector<uint64_t>{120, 110, 100}));
  auto full = make(KeyRange<U64Codec>::full());
  EXPECT_EQ(full.start_bound(), EncodedBound::unbounded());
  EXPECT_EQ(drain(full, RangeSide::kFront).size(), 100u);
}

// Meeting inside one leaf and at a leaf boundary, by alternating ends.
TEST(CursorRangeTest, AlternatingEndsYieldEachEntryOnce) {
  Tree t = Tree::make(600);
  for (size_t leaf = 0; leaf + 1 < 4; ++leaf) {
    // Ranges whose middle is a leaf boundary, and ones whose middle is inside a leaf.
    for (int inside = 0; inside < 2; ++inside) {
      const uint64_t mid = U64Codec::from_bytes(t.leaves[leaf].back()) + (inside ? 0 : 5);
      const uint64_t lo = mid >= 200 ? mid - 200 : 0;
      BtreeCursorRange r = range_of(t, EncodedBound::included(enc(lo)),
                                    EncodedBound::included(enc(mid + 200)));
      std::vector<uint64_t> seen;
      for (bool front = true;; front = !front) {
        auto e = r.next_from(front ? RangeSide::kFront : RangeSide::kBack);
        if (!e) break;
        ASSERT_TRUE(e->ok());
        seen.push_back(key_of(e->value()));
      }
      std::sort(seen.begin(), seen.end());
      std::vector<uint64_t> expected;
      for (uint64_t k = (lo + 9) / 10 * 10; k <= mid + 200; k += 10) expected.push_back(k);
      EXPECT_EQ(seen, expected) << "mid " << mid;
    }
  }
}

TEST(CursorRangeTest, PageReadsCounted) {
  // Cache budget 0: every read goes to the file.
  Tree t = Tree::make(3000, 200, 0);
  const test::TreeCheck check = test::check_tree(*t.store->readable(), t.root, kU64);
  ASSERT_EQ(check.error, "");
  ASSERT_GE(check.depth, 3u);

  auto pages = std::make_shared<ReadCountingPages>(t.store->readable());
  BtreeCursorRange r = range_of(t, EncodedBound::unbounded(), EncodedBound::unbounded(), pages);
  EXPECT_EQ(pages->reads, 0u);  // construction reads nothing
  ASSERT_TRUE(r.next().has_value());
  EXPECT_EQ(pages->reads, check.depth);  // the first seek: one page per level
  const size_t after_first = pages->reads;
  ASSERT_TRUE(r.next().has_value());
  EXPECT_EQ(pages->reads, after_first);  // a step inside a leaf reads nothing
  size_t entries = 2;
  while (auto e = r.next()) {
    ASSERT_TRUE(e->ok());
    ++entries;
  }
  EXPECT_EQ(entries, 3000u);
  // A full scan reads every page of the tree, each once.
  EXPECT_EQ(pages->reads, check.pages.size());
  EXPECT_EQ(PageNumberSet(pages->read_pages.begin(), pages->read_pages.end()), check.pages);

  // An empty tree, and crossed bounds, read nothing.
  Tree empty = Tree::make(0);
  auto none = std::make_shared<ReadCountingPages>(empty.store->readable());
  BtreeCursorRange e1 = range_of(empty, EncodedBound::unbounded(), EncodedBound::unbounded(), none);
  EXPECT_FALSE(e1.next().has_value());
  EXPECT_FALSE(e1.next_back().has_value());
  BtreeCursorRange e2 =
      range_of(t, EncodedBound::included(enc(9)), EncodedBound::excluded(enc(9)), none);
  EXPECT_FALSE(e2.next().has_value());
  EXPECT_EQ(none->reads, 0u);
}

TEST(CursorRangeTest, AFailedFirstSeekIsRetried) {
  Tree t = Tree::make(600);
  const size_t depth = test::check_tree(*t.store->readable(), t.root, kU64).depth;
  ASSERT_GE(depth, 2u);
  // Every read of the first seek, at either end.
  for (size_t n = 1; n <= depth; ++n) {
    for (RangeSide side : {RangeSide::kFront, RangeSide::kBack}) {
      SCOPED_TRACE("read " + std::to_string(n));
      auto pages = std::make_shared<ReadCountingPages>(t.store->readable());
      pages->fail_at = n;
      BtreeCursorRange r =
          range_of(t, EncodedBound::included(enc(1000)), EncodedBound::excluded(enc(1050)), pages);
      auto first = r.next_from(side);
      ASSERT_TRUE(first.has_value());
      ASSERT_FALSE(first->ok());
      EXPECT_EQ(first->error(), ReadCountingPages::injected_failure());
      EXPECT_EQ(r.slot(side), BtreeCursorRange::Slot::kUninitialized);
      auto retry = r.next_from(side);
      ASSERT_TRUE(retry.has_value() && retry->ok());
      EXPECT_EQ(key_of(retry->value()), side == RangeSide::kFront ? 1000u : 1040u);
    }
  }
}

// ---------------------------------------------------------------------------
// Damaged trees, built by hand. Each must give Corrupted (no hang, no panic)
// from a cursor seek or step and from both ends of a range.

struct DamagedCase {
  const char* what;
  std::function<PageNumber(HandBuiltPages&)> build;  // returns the root
  const char* text;  // expected Corrupted text (a prefix)
};

Result<std::vector<uint64_t>, StorageError> scan(BtreeCursorRange& r, RangeSide side) {
  std::vector<uint64_t> out;
  for (int guard = 0; guard < 10000; ++guard) {
    auto e = r.next_from(side);
    if (!e) return out;
    if (!e->ok()) return Err{e->error()};
    out.push_back(key_of(e->value()));
  }
  return Err{StorageError::Corrupted("scan did not end")};
}

TEST(CursorDamageTest, DamagedTreesAreCorrupted) {
  const DamagedCase cases[] = {
      {"a branch naming itself first",
       [](HandBuiltPages& p) {
         p.leaf(2, {5, 6});
         return p.branch(1, {PageNumber(0, 1, 0), PageNumber(0, 2, 0)}, {4});
       },
       "DB corrupted: Cycle detected in Btree pages"},
      {"a branch naming itself last",
       [](HandBuiltPages& p) {
         PageNumber a = p.leaf(2, {1, 2});
         return p.branch(1, {a, PageNumber(0, 1, 0)}, {2});
       },
       "DB corrupted: Cycle detected in Btree pages"},
      {"two branches naming each other",
       [](HandBuiltPages& p) {
         PageNumber a = p.leaf(3, {1, 2});
         p.branch(2, {PageNumber(0, 1, 0), a}, {2});
         return p.branch(1, {a, PageNumber(0, 2, 0)}, {2});
       },
       "DB corrupted: Cycle detected in Btree pages"},
      {"child slots beyond the page",
       [](HandBuiltPages& p) {
         std::vector<uint8_t> b(64, 0);
         b[0] = kBranchPageType;
         store_le16(b.data() + 2, 300);  // 301 children need more than a page
         return p.put(1, b);
       },
       "DB corrupted: Branch page r0.1/0 corrupted."},
      {"a leaf with no pairs",
       [](HandBuiltPages& p) {
         PageNumber a = p.leaf(2, {1, 2});
         std::vector<uint8_t> b{kLeafPageType, 0, 0, 0};
         PageNumber empty = p.put(3, b);
         return p.branch(1, {a, empty}, {2});
       },
       "DB corrupted: Leaf page r0.3/0 corrupted. Number of pairs is zero"},
      {"an unknown type byte",
       [](HandBuiltPages& p) {
         PageNumber a = p.leaf(2, {1, 2});
         std::vector<uint8_t> b{7, 0, 1, 0};
         PageNumber odd = p.put(3, b);
         return p.branch(1, {a, odd}, {2});
       },
       "DB corrupted: Page r0.3/0 corrupted. Unknown page type 7"},
      {"a chain of branches deeper than a tree may be",
       [](HandBuiltPages& p) {
         // Branch i holds the chain below it first, then a leaf of its own.
         const uint32_t levels = kMaxTreeDepth + 6;
         for (uint32_t i = levels; i >= 1; --i) {
           const uint64_t key = 1000 - i;
           PageNumber own = p.leaf(1000 + i, {key});
           PageNumber below = i == levels ? p.leaf(999, {1}) : PageNumber(0, i + 1, 0);
           p.branch(i, {below, own}, {key - 1});
         }
         return PageNumber(0, 1, 0);
       },
       "DB corrupted: Btree deeper than 64 levels"},
      {"one leaf reached twice",
       [](HandBuiltPages& p) {
         PageNumber a = p.leaf(2, {1, 2});
         return p.branch(1, {a, a}, {2});
       },
       "DB corrupted: Btree leaves out of key order"},
  };
  for (const DamagedCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto pages = std::make_shared<HandBuiltPages>();
    const PageNumber root = c.build(*pages);
    for (RangeSide side : {RangeSide::kFront, RangeSide::kBack}) {
      BtreeCursorRange r = BtreeCursorRange::from_bounds(
          EncodedBound::unbounded(), EncodedBound::unbounded(), root, kU64, pages,
          PageReadHint::kCommitted);
      auto result = scan(r, side);
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().kind(), StorageError::Kind::kCorrupted);
      EXPECT_EQ(result.error().to_string().rfind(c.text, 0), 0u) << result.error().to_string();
      // Asking again repeats the error; it never hangs or yields more.
      auto again = scan(r, side);
      ASSERT_FALSE(again.ok());
      EXPECT_EQ(again.error().kind(), StorageError::Kind::kCorrupted);
    }
  }
}

TEST(CursorDamageTest, LeavesAtTwoDepthsAreCorruptedWhenTheEndsMeet) {
  auto pages = std::make_shared<HandBuiltPages>();
  PageNumber a = pages->leaf(2, {1, 2});
  PageNumber c = pages->leaf(3, {5, 6});
  PageNumber d = pages->leaf(4, {8, 9});
  PageNumber b = pages->branch(5, {c, d}, {6});
  PageNumber root = pages->branch(1, {a, b}, {2});
  BtreeCursorRange r = BtreeCursorRange::from_bounds(
      EncodedBound::unbounded(), EncodedBound::unbounded(), root, kU64, pages,
      PageReadHint::kCommitted);
  auto first = r.next();
  ASSERT_TRUE(first.has_value() && first->ok());
  EXPECT_EQ(key_of(first->value()), 1u);
  auto back = r.next_back();
  ASSERT_TRUE(back.has_value());
  ASSERT_FALSE(back->ok());
  EXPECT_EQ(back->error().to_string().rfind("DB corrupted: Btree leaves at different depths", 0),
            0u)
      << back->error().to_string();
  auto front = r.next();
  ASSERT_TRUE(front.has_value());
  EXPECT_FALSE(front->ok());
}

}  // namespace
}  // namespace storage
