// Value access guards: every holder kind reads its value; removals are done at
// once and hand out a copy; guards outlive freed pages.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "storage/src/tree_store/btree_base.h"
#include "storage/tests/support/btree_fakes.h"

namespace storage {
namespace {

using testing::FakeAllocator;
using testing::FakePage;
using testing::FakeTracker;
using Bytes = std::vector<uint8_t>;
using Pairs = std::vector<std::pair<Bytes, Bytes>>;

template <typename V>
using Guard = AccessGuard<V, FakePage, FakePage, testing::FakeSharedBytes>;
using Kind = EitherPage<FakePage, FakePage, testing::FakeSharedBytes>::Kind;

Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }

constexpr TreeDescriptor kTextText = tree_descriptor<TextCodec, TextCodec>();

FakePage build_leaf(const Pairs& pairs) {
  FakeAllocator alloc;
  FakeTracker tracker;
  LeafBuilder b(alloc, tracker, pairs.size(), std::nullopt, std::nullopt);
  for (const auto& [k, v] : pairs) b.push(k, v);
  return std::move(b).build().value();
}

Bytes leaf_prefix(const FakePage& page) {
  size_t total = LeafAccessor::create(page, kTextText).value().total_length().value();
  return Bytes(page.bytes->begin(), page.bytes->begin() + total);
}

const Pairs kPairs = {{str("a"), str("first")}, {str("b"), str("")}, {str("c"), str("third")}};

TEST(AccessGuardTest, ReadOnlyGuardIsAViewOfThePage) {
  FakePage page = build_leaf(kPairs);
  LeafAccessor a = LeafAccessor::create(page, kTextText).value();
  auto [start, end] = *a.value_range(2).value();
  Guard<TextCodec> guard = Guard<TextCodec>::read_only(page, start, end - start);
  EXPECT_EQ(guard.kind(), Kind::kReadOnly);
  EXPECT_EQ(guard.value(), "third");
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(guard.value().data()), page.bytes->data() + start);
  // An empty value is an empty text at its offset.
  auto [s1, e1] = *a.value_range(1).value();
  EXPECT_EQ(Guard<TextCodec>::read_only(page, s1, e1 - s1).value(), "");
  // Integer values decode by value.
  Bytes eight = {1, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Guard<U64Codec>::owned(eight).value(), 1u);
}

TEST(AccessGuardTest, RemovalHappensAtOnceAndTheGuardKeepsACopy) {
  FakePage page = build_leaf(kPairs);
  auto value = remove_pair_taking_value(page.memory_mut(), page.number, 0, std::nullopt,
                                        std::nullopt);
  ASSERT_TRUE(value.ok());
  Guard<TextCodec> guard = Guard<TextCodec>::owned(std::move(value).value());
  EXPECT_EQ(guard.kind(), Kind::kOwned);
  // The leaf already lacks the pair, and its other pairs are as a builder writes them.
  EXPECT_EQ(leaf_prefix(page), leaf_prefix(build_leaf({kPairs[1], kPairs[2]})));
  // The page may be written again while the guard lives.
  std::fill(page.bytes->begin(), page.bytes->end(), 0);
  EXPECT_EQ(guard.value(), "first");
}

TEST(AccessGuardTest, InPlaceReplacementHandsOutTheOldValue) {
  FakePage page = build_leaf(kPairs);
  LeafAccessor a = LeafAccessor::create(page, kTextText).value();
  ByteView old = a.entry(0).value()->value;
  Guard<TextCodec> guard = Guard<TextCodec>::owned(Bytes(old.begin(), old.end()));
  LeafMutator m(page.memory_mut(), page.number, std::nullopt, std::nullopt);
  ASSERT_TRUE(m.replace(0, str("replacement")).ok());
  EXPECT_EQ(guard.value(), "first");
  LeafAccessor after = LeafAccessor::create(page, kTextText).value();
  EXPECT_EQ(TextCodec::from_bytes(after.entry(0).value()->value), "replacement");
}

// A stand-in for the page cache's buffer reuse: a freed buffer is handed out
// again only once no one else holds it.
struct BufferPool {
  std::vector<std::shared_ptr<std::vector<uint8_t>>> free_list;
  std::shared_ptr<std::vector<uint8_t>> take(size_t len) {
    for (auto& b : free_list) {
      if (b && b.use_count() == 1) {
        auto out = std::move(b);
        b.reset();
        return out;
      }
    }
    return std::make_shared<std::vector<uint8_t>>(len);
  }
};

TEST(AccessGuardTest, GuardReadsItsValueAfterThePageIsFreedAndReused) {
  BufferPool pool;
  FakePage page = build_leaf(kPairs);
  LeafAccessor a = LeafAccessor::create(page, kTextText).value();
  auto [start, end] = *a.value_range(0).value();
  std::shared_ptr<const void> owner = page.bytes;
  Guard<TextCodec> guard = Guard<TextCodec>::shared_bytes(
      testing::FakeSharedBytes{owner, ByteView(*page.bytes)}, start, end - start);
  EXPECT_EQ(guard.kind(), Kind::kSharedBytes);
  const uint8_t* held = page.bytes->data();
  // Free the page: its buffer goes back to the pool; the next page is written.
  pool.free_list.push_back(std::move(page.bytes));
  auto reused = pool.take(4096);
  EXPECT_NE(reused->data(), held);  // still shared with the guard
  std::fill(reused->begin(), reused->end(), 0xEE);
  EXPECT_EQ(guard.value(), "first");
  // Once the guard is gone the buffer can be reused.
  { Guard<TextCodec> gone = std::move(guard); }
  owner.reset();
  EXPECT_EQ(pool.take(4096)->data(), held);
}

TEST(AccessGuardTest, WritableGuardAndMutInPlace) {
  FakePage page = build_leaf(kPairs);
  const Bytes before = *page.bytes;
  LeafAccessor a = LeafAccessor::create(page, kTextText).value();
  auto [start, end] = *a.value_range(2).value();
  {
    Guard<TextCodec> guard = Guard<TextCodec>::writable(page, start, end - start);
    EXPECT_EQ(guard.kind(), Kind::kWritable);
    EXPECT_EQ(guard.value(), "third");
  }
  EXPECT_EQ(*page.bytes, before);  // releasing a guard changes no page

  {
    AccessGuardMutInPlace<FakePage> slot(page, start, end - start);
    MutByteView bytes = slot.value_mut();
    ASSERT_EQ(bytes.size(), 5u);
    std::copy_n("THIRD", 5, bytes.begin());
  }
  EXPECT_EQ(TextCodec::from_bytes(LeafAccessor::create(page, kTextText)
                                      .value()
                                      .entry(2)
                                      .value()
                                      ->value),
            "THIRD");
}

TEST(AccessGuardTest, RangesOutsideTheHolderPanic) {
  FakePage page = FakePage::of(Bytes(16, 0));
  EXPECT_THROW(Guard<BytesCodec>::read_only(page, 10, 7), Panic);
  EXPECT_THROW(Guard<BytesCodec>::read_only(page, 17, 0), Panic);
  EXPECT_NO_THROW(Guard<BytesCodec>::read_only(page, 16, 0));
  EXPECT_THROW(AccessGuardMutInPlace<FakePage>(page, 8, 9), Panic);
}

}  // namespace
}  // namespace storage
