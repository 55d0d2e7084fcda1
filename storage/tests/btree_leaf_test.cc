// Leaf pages: the stored layout, builders and read views, split rules, and
// damaged pages.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <functional>
#include <map>
#include <random>
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

Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes u64(uint64_t v) {
  auto a = U64Codec::as_bytes(v);
  return Bytes(a.begin(), a.end());
}
Bytes u32(uint32_t v) {
  auto a = U32Codec::as_bytes(v);
  return Bytes(a.begin(), a.end());
}
Bytes view(ByteView v) { return Bytes(v.begin(), v.end()); }
Bytes random_text(std::mt19937& rng, size_t max_len) {
  Bytes b(rng() % (max_len + 1));
  for (auto& c : b) c = static_cast<uint8_t>('a' + rng() % 4);
  return b;
}

Checksum oracle(ByteView bytes) {
  XXH128_hash_t h = XXH3_128bits(bytes.data(), bytes.size());
  return (static_cast<Checksum>(h.high64) << 64) | h.low64;
}

FakePage build_leaf(FakeAllocator& alloc, const TreeDescriptor& d, const Pairs& pairs) {
  FakeTracker tracker;
  LeafBuilder builder(alloc, tracker, pairs.size(), d.fixed_key_width, d.fixed_value_width);
  for (const auto& [k, v] : pairs) builder.push(k, v);
  auto page = std::move(builder).build();
  if (!page.ok()) ADD_FAILURE() << page.error().to_string();
  return std::move(page).value();
}

LeafAccessor accessor_of(const FakePage& page, const TreeDescriptor& d) {
  auto a = LeafAccessor::create(page, d);
  if (!a.ok()) ADD_FAILURE() << a.error().to_string();
  return std::move(a).value();
}

constexpr TreeDescriptor kU64Bytes = tree_descriptor<U64Codec, BytesCodec>();
constexpr TreeDescriptor kTextBytes = tree_descriptor<TextCodec, BytesCodec>();
constexpr TreeDescriptor kU64U64 = tree_descriptor<U64Codec, U64Codec>();
constexpr TreeDescriptor kTextU32 = tree_descriptor<TextCodec, U32Codec>();

TEST(LeafPageTest, WorkedExampleIsByteExact) {
  FakeAllocator alloc;
  FakePage page = build_leaf(alloc, kU64Bytes, {{u64(1), str("ab")}, {u64(2), str("xyz")}});
  const Bytes want = {0x01, 0x00, 0x02, 0x00, 0x1E, 0x00, 0x00, 0x00, 0x21, 0x00, 0x00,
                      0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61, 0x62, 0x78, 0x79, 0x7A};
  EXPECT_EQ(alloc.requested, std::vector<size_t>{33});
  EXPECT_EQ(Bytes(page.bytes->begin(), page.bytes->begin() + 33), want);
  EXPECT_EQ((*page.bytes)[33], testing::kGarbage);  // nothing written past the leaf

  LeafAccessor a = accessor_of(page, kU64Bytes);
  EXPECT_EQ(a.num_pairs(), 2u);
  EXPECT_EQ(*a.total_length(), 33u);
  EXPECT_EQ(*a.offset_of_first_value(), 28u);
  EXPECT_EQ(a.entry_ranges(1).value(), (EntryRanges{20, 28, 30, 33}));
  EXPECT_EQ(view(a.last_entry()->value), str("xyz"));

  auto sum = leaf_checksum(page, kU64Bytes.fixed_key_width, kU64Bytes.fixed_value_width);
  ASSERT_TRUE(sum.ok());
  EXPECT_EQ(*sum, oracle(ByteView(want)));
  // Free space past the leaf is not covered.
  (*page.bytes)[40] ^= 0xFF;
  EXPECT_EQ(*leaf_checksum(page, kU64Bytes.fixed_key_width, kU64Bytes.fixed_value_width),
            oracle(ByteView(want)));
}

TEST(LeafPageTest, FixedWidthLeavesHaveNoOffsetArrays) {
  FakeAllocator alloc;
  constexpr TreeDescriptor unit_u64 = tree_descriptor<UnitCodec, U64Codec>();
  FakePage one = build_leaf(alloc, unit_u64, {{Bytes{}, u64(0x1122334455667788)}});
  EXPECT_EQ(alloc.requested.back(), 12u);
  EXPECT_EQ(Bytes(one.bytes->begin(), one.bytes->begin() + 12),
            (Bytes{1, 0, 1, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
  LeafAccessor a = accessor_of(one, unit_u64);
  EXPECT_EQ(a.value_range(0).value(), (std::pair<size_t, size_t>(4, 12)));

  FakePage two = build_leaf(alloc, kU64U64, {{u64(1), u64(10)}, {u64(2), u64(20)}});
  EXPECT_EQ(alloc.requested.back(), 4u + 2 * 16);
  LeafAccessor b = accessor_of(two, kU64U64);
  EXPECT_EQ(b.entry_ranges(0).value(), (EntryRanges{4, 12, 20, 28}));
  EXPECT_EQ(b.entry_ranges(1).value(), (EntryRanges{12, 20, 28, 36}));
}

// Builds random leaves under every combination of fixed and variable widths and
// checks every read view against a model.
TEST(LeafPageTest, BuilderAndAccessorAgreeWithModel) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const std::vector<TreeDescriptor> kinds = {kU64U64, kU64Bytes, kTextU32, kTextBytes};
  for (const TreeDescriptor& d : kinds) {
    for (int round = 0; round < 20; ++round) {
      std::map<Bytes, Bytes, bool (*)(const Bytes&, const Bytes&)> model(
          d.fixed_key_width ? +[](const Bytes& a, const Bytes& b) {
            return U64Codec::compare(a, b) < 0;
          }
                            : +[](const Bytes& a, const Bytes& b) { return a < b; });
      const size_t n = 1 + rng() % 60;
      while (model.size() < n) {
        Bytes k = d.fixed_key_width ? u64(rng() % 1000) : random_text(rng, 5);
        Bytes v(d.fixed_value_width ? *d.fixed_value_width : rng() % 9, static_cast<uint8_t>(rng()));
        model[k] = v;
      }
      Pairs pairs(model.begin(), model.end());
      FakeAllocator alloc;
      alloc.page_size = 1 << 16;
      FakePage page = build_leaf(alloc, d, pairs);
      LeafAccessor a = accessor_of(page, d);
      ASSERT_EQ(a.num_pairs(), n);
      size_t key_bytes = 0, value_bytes = 0;
      for (size_t i = 0; i < n; ++i) {
        auto e = a.entry(i).value();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(view(e->key), pairs[i].first);
        EXPECT_EQ(view(e->value), pairs[i].second);
        EXPECT_EQ(a.position(pairs[i].first).value(), (std::pair<size_t, bool>(i, true)));
        EXPECT_EQ(*a.length_of_keys(0, i), key_bytes);
        EXPECT_EQ(*a.length_of_pairs(0, i), key_bytes + value_bytes);
        key_bytes += pairs[i].first.size();
        value_bytes += pairs[i].second.size();
      }
      EXPECT_EQ(*a.length_of_pairs(0, n), key_bytes + value_bytes);
      EXPECT_EQ(*a.length_of_keys(n, n), 0u);
      EXPECT_FALSE(a.entry(n).value().has_value());
      EXPECT_FALSE(a.value_range(n).value().has_value());
      EXPECT_EQ(a.offset_of_value(n).value(), std::optional<size_t>(*a.total_length()));
      EXPECT_FALSE(a.offset_of_value(n + 1).value().has_value());
      EXPECT_EQ(*a.total_length(),
                leaf_header_size(n, d.fixed_key_width, d.fixed_value_width) + key_bytes +
                    value_bytes);
      EXPECT_EQ(alloc.requested.back(), *a.total_length());
      EXPECT_TRUE(a.validate_all().ok());
      // Missing keys land where the model would put them.
      for (int probe = 0; probe < 20; ++probe) {
        Bytes k = d.fixed_key_width ? u64(rng() % 1100) : random_text(rng, 6);
        auto it = model.lower_bound(k);
        bool found = it != model.end() && !model.key_comp()(k, it->first);
        EXPECT_EQ(a.position(k).value(),
                  (std::pair<size_t, bool>(std::distance(model.begin(), it), found)));
      }
    }
  }
}

TEST(LeafPageTest, PositionOnEmptyLeafAndPastTheEnd) {
  FakePage empty = FakePage::of(Bytes{1, 0, 0, 0});
  LeafAccessor a = accessor_of(empty, kU64Bytes);
  EXPECT_EQ(a.position(u64(5)).value(), (std::pair<size_t, bool>(0, false)));
  EXPECT_EQ(a.total_length().error(),
            StorageError::Corrupted("Leaf page r0.0/0 corrupted. Number of pairs is zero"));

  FakeAllocator alloc;
  FakePage page = build_leaf(alloc, kU64Bytes, {{u64(1), str("a")}, {u64(3), str("b")}});
  LeafAccessor b = accessor_of(page, kU64Bytes);
  EXPECT_EQ(b.position(u64(0)).value(), (std::pair<size_t, bool>(0, false)));
  EXPECT_EQ(b.position(u64(2)).value(), (std::pair<size_t, bool>(1, false)));
  EXPECT_EQ(b.position(u64(4)).value(), (std::pair<size_t, bool>(2, false)));
}

TEST(LeafSplitTest, SplitRule) {
  struct Case {
    size_t pairs, bytes;
    bool split;
  };
  // u32 keys and unit values: 4 + 4n bytes.
  const std::vector<Case> cases = {
      {1, 100000, false},      // one pair never splits
      {2, 4092, false},        // with the 4-byte header exactly a page
      {2, 4093, true},
      {65535, 4 * 65535, false},  // page size below is large enough
      {65536, 4 * 65536, true},   // too many pairs, though they would fit
      {0, 0, false},
  };
  for (const auto& c : cases) {
    size_t page = c.pairs >= 65535 ? (1u << 20) : 4096;
    EXPECT_EQ(leaf_split_required(c.pairs, c.bytes, 4, 0, page), c.split)
        << c.pairs << " pairs, " << c.bytes << " bytes";
  }
  // Offset arrays count towards the size.
  EXPECT_FALSE(leaf_split_required(2, 4092 - 16, std::nullopt, std::nullopt, 4096));
  EXPECT_TRUE(leaf_split_required(2, 4092 - 15, std::nullopt, std::nullopt, 4096));
}

TEST(LeafSplitTest, PairCountLimits) {
  constexpr TreeDescriptor d = tree_descriptor<U32Codec, UnitCodec>();
  std::vector<Bytes> keys;
  for (uint32_t i = 0; i < 131070; ++i) keys.push_back(u32(i));
  FakeAllocator alloc;
  alloc.page_size = 1 << 20;
  FakeTracker tracker;
  {
    LeafBuilder b(alloc, tracker, 65536, d.fixed_key_width, d.fixed_value_width);
    for (size_t i = 0; i < 65535; ++i) b.push(keys[i], {});
    EXPECT_FALSE(b.should_split());
    b.push(keys[65535], {});
    EXPECT_TRUE(b.should_split());
  }
  LeafBuilder b(alloc, tracker, keys.size(), d.fixed_key_width, d.fixed_value_width);
  for (const Bytes& k : keys) b.push(k, {});
  auto split = std::move(b).build_split();
  ASSERT_TRUE(split.ok());
  LeafAccessor first = accessor_of(split->first, d);
  LeafAccessor second = accessor_of(split->second, d);
  EXPECT_EQ(first.num_pairs(), 65535u);
  EXPECT_EQ(second.num_pairs(), 65535u);
  EXPECT_EQ(view(split->separator), u32(65534));
  EXPECT_EQ(first.position(split->separator).value(), (std::pair<size_t, bool>(65534, true)));
  EXPECT_EQ(view(second.entry(0).value()->key), u32(65535));
}

TEST(LeafSplitTest, SplitPointFollowsTheBytes) {
  struct Case {
    std::vector<size_t> value_sizes;
    size_t first_count;
  };
  const std::vector<Case> cases = {
      {{1, 5000}, 1},            // two pairs: one each, whatever their sizes
      {{5000, 1}, 1},
      {{9000, 10, 10, 10}, 1},   // a first pair that reaches half alone
      {{10, 10, 10, 10}, 2},     // even: the running sum reaches half at pair 1
      {{1, 1, 1, 9000}, 3},      // never reaches half before n - 2
      {{2000, 2000, 2000}, 2},   // 6024 / 2: pair 0 has 2008, pair 1 reaches 4016
  };
  for (const auto& c : cases) {
    FakeAllocator alloc;
    FakeTracker tracker;
    LeafBuilder b(alloc, tracker, c.value_sizes.size(), kU64Bytes.fixed_key_width,
                  kU64Bytes.fixed_value_width);
    std::vector<Bytes> values;
    std::vector<Bytes> keys;
    for (size_t i = 0; i < c.value_sizes.size(); ++i) {
      keys.push_back(u64(i));
      values.push_back(Bytes(c.value_sizes[i], static_cast<uint8_t>(i)));
    }
    for (size_t i = 0; i < keys.size(); ++i) b.push(keys[i], values[i]);
    auto split = std::move(b).build_split();
    ASSERT_TRUE(split.ok());
    LeafAccessor first = accessor_of(split->first, kU64Bytes);
    LeafAccessor second = accessor_of(split->second, kU64Bytes);
    EXPECT_EQ(first.num_pairs(), c.first_count) << c.value_sizes.size() << " pairs";
    EXPECT_EQ(second.num_pairs(), c.value_sizes.size() - c.first_count);
    EXPECT_EQ(view(split->separator), u64(c.first_count - 1));
    EXPECT_EQ(view(second.entry(0).value()->value), values[c.first_count]);
    // Each leaf is allocated at its own exact size.
    EXPECT_EQ(alloc.requested[0], *first.total_length());
    EXPECT_EQ(alloc.requested[1], *second.total_length());
  }
}

TEST(LeafSplitTest, OneLargePairSpansSeveralPages) {
  FakeAllocator alloc;
  FakeTracker tracker;
  Bytes big(10000, 0x5A);
  Bytes key = u64(7);
  LeafBuilder b(alloc, tracker, 1, kU64Bytes.fixed_key_width, kU64Bytes.fixed_value_width);
  b.push(key, big);
  EXPECT_FALSE(b.should_split());
  auto page = std::move(b).build();
  ASSERT_TRUE(page.ok());
  EXPECT_EQ(page->get_page_number().page_order, 2);  // 16 KiB run
  LeafAccessor a = accessor_of(*page, kU64Bytes);
  EXPECT_TRUE(*is_single_large_value(a, 4096));
  EXPECT_EQ(view(a.entry(0).value()->value), big);

  FakePage small = build_leaf(alloc, kU64Bytes, {{u64(1), str("a")}});
  EXPECT_FALSE(*is_single_large_value(accessor_of(small, kU64Bytes), 4096));
}

TEST(LeafBuilderTest, PushAllExcept) {
  FakeAllocator alloc;
  Pairs pairs;
  for (uint64_t i = 0; i < 6; ++i) pairs.push_back({u64(i), Bytes(i, 'v')});
  FakePage page = build_leaf(alloc, kU64Bytes, pairs);
  LeafAccessor a = accessor_of(page, kU64Bytes);
  FakeTracker tracker;
  {
    LeafBuilder b(alloc, tracker, 6, kU64Bytes.fixed_key_width, kU64Bytes.fixed_value_width);
    ASSERT_TRUE(b.push_all_except(a, 2).ok());
    EXPECT_EQ(b.len(), 5u);
    FakePage rebuilt = std::move(b).build().value();
    Pairs want = pairs;
    want.erase(want.begin() + 2);
    FakePage expected = build_leaf(alloc, kU64Bytes, want);
    size_t total = *accessor_of(expected, kU64Bytes).total_length();
    EXPECT_EQ(Bytes(rebuilt.bytes->begin(), rebuilt.bytes->begin() + total),
              Bytes(expected.bytes->begin(), expected.bytes->begin() + total));
  }
  LeafBuilder b(alloc, tracker, 6, kU64Bytes.fixed_key_width, kU64Bytes.fixed_value_width);
  const std::vector<size_t> except = {0, 3, 5};
  ASSERT_TRUE(b.push_all_except_indexes(a, except).ok());
  LeafAccessor rebuilt = accessor_of(std::move(b).build().value(), kU64Bytes);
  ASSERT_EQ(rebuilt.num_pairs(), 3u);
  EXPECT_EQ(view(rebuilt.entry(1).value()->key), u64(2));
}

TEST(LeafBuilderTest, AllocationFailuresAreReturned) {
  FakeAllocator alloc;
  alloc.fail_after = 1;
  FakeTracker tracker;
  LeafBuilder b(alloc, tracker, 2, kU64Bytes.fixed_key_width, kU64Bytes.fixed_value_width);
  Bytes k1 = u64(1), k2 = u64(2), v(3000, 1);
  b.push(k1, v);
  b.push(k2, v);
  ASSERT_TRUE(b.should_split());
  auto split = std::move(b).build_split();
  ASSERT_FALSE(split.ok());
  EXPECT_EQ(split.error().kind(), StorageError::Kind::kIo);
  EXPECT_EQ(alloc.allocated.size(), 1u);  // the first leaf stays allocated
}

TEST(LeafBuilderTest, BrokenPreconditionsPanic) {
  std::vector<uint8_t> buf(64, 0);
  RawLeafBuilder raw(buf, 1, 8, std::nullopt, 8);
  Bytes long_key = {1, 2, 3};
  EXPECT_THROW(raw.append(long_key, {}), Panic);  // wrong fixed width
  Bytes v;
  RawLeafBuilder raw2(buf, 2, std::nullopt, std::nullopt, 2);
  Bytes three = {1, 2, 3};
  try {
    raw2.append(three, v);
    ADD_FAILURE() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "assertion failed: written_key_len <= self.provisioned_key_bytes");
  }
  RawLeafBuilder raw3(buf, 2, std::nullopt, std::nullopt, 2);
  Bytes one = {1};
  raw3.append(one, v);
  EXPECT_THROW(raw3.finish(), Panic);  // a pair missing
}

// ---------------------------------------------------------------------------
// Damaged pages

Bytes leaf_bytes(const TreeDescriptor& d, const Pairs& pairs) {
  FakeAllocator alloc;
  FakePage page = build_leaf(alloc, d, pairs);
  size_t total = *accessor_of(page, d).total_length();
  return Bytes(page.bytes->begin(), page.bytes->begin() + total);
}

TEST(LeafCorruptionTest, DamagedPagesGiveExactTexts) {
  const PageNumber pn(3, 7, 0);
  const Bytes good = leaf_bytes(kU64Bytes, {{u64(1), str("ab")}, {u64(2), str("xyz")}});
  struct Case {
    std::string name;
    Bytes page;
    std::optional<size_t> kw, vw;
    std::string checksum_text;  // empty: the checksum succeeds
    std::string accessor_text;  // empty: the accessor opens
  };
  auto with = [&](std::function<void(Bytes&)> f) {
    Bytes b = good;
    f(b);
    return b;
  };
  const std::string p = "Leaf page r3.7/0 corrupted. ";
  const std::vector<Case> cases = {
      {"zero pairs", with([](Bytes& b) { b[2] = 0; }), 8, std::nullopt,
       p + "Number of pairs is zero", ""},
      {"last value end past the page", with([](Bytes& b) { b[8] = 0x40; }), 8, std::nullopt,
       p + "Last offset 64 beyond end of data 33", p + "Last offset 64 beyond end of data 33"},
      {"impossible count", with([](Bytes& b) { b[2] = 0xFF; b[3] = 0xFF; }), 8, std::nullopt,
       p + "Couldn't find offset for pair 65534", p + "Couldn't find offset for pair 65534"},
      {"fixed widths past the page", with([](Bytes& b) { b[2] = 9; }), 8, 8,
       p + "Last offset 148 beyond end of data 33", p + "Last offset 148 beyond end of data 33"},
      {"last value ends before the keys end", with([](Bytes& b) { b[8] = 20; }), 8,
       std::nullopt, "", p + "Couldn't find offset for pair 1"},
      {"page shorter than a header", Bytes{1, 0}, 8, 8, p + "Last offset 4 beyond end of data 2",
       p + "Last offset 4 beyond end of data 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto sum = leaf_checksum(ByteView(c.page), pn, c.kw, c.vw);
    if (c.checksum_text.empty()) {
      EXPECT_TRUE(sum.ok());
    } else {
      ASSERT_FALSE(sum.ok());
      EXPECT_EQ(sum.error(), StorageError::Corrupted(c.checksum_text));
    }
    auto a = LeafAccessor::create(ByteView(c.page), pn, c.kw, c.vw, &U64Codec::compare);
    if (c.accessor_text.empty()) {
      EXPECT_TRUE(a.ok());
    } else {
      ASSERT_FALSE(a.ok());
      EXPECT_EQ(a.error(), StorageError::Corrupted(c.accessor_text));
    }
  }
}

TEST(LeafCorruptionTest, NonMonotonicOffsetsAreReportedPerPair) {
  const PageNumber pn(0, 1, 0);
  Pairs pairs;
  for (int i = 0; i < 4; ++i) pairs.push_back({str(std::string(1 + i, 'k')), str("vv")});
  Bytes page = leaf_bytes(kTextBytes, pairs);
  // Key end 1 points before key end 0.
  store_le32(page.data() + 8, 1);
  auto a = LeafAccessor::create(ByteView(page), pn, kTextBytes);
  ASSERT_TRUE(a.ok());  // the envelope is intact
  const std::string text = "Leaf page r0.1/0 corrupted. Couldn't find offset for pair 1";
  EXPECT_EQ(a->entry(1).error(), StorageError::Corrupted(text));
  EXPECT_TRUE(a->entry(3).ok());
  EXPECT_EQ(a->validate_all().error(), StorageError::Corrupted(text));
  EXPECT_EQ(a->position(str("kkkk")).error(),
            StorageError::Corrupted("Leaf page r0.1/0 corrupted. Couldn't find offset for pair 2"));
  // A middle value end past the page.
  Bytes page2 = leaf_bytes(kTextBytes, pairs);
  store_le32(page2.data() + 4 + 16 + 4, 5000);
  auto b = LeafAccessor::create(ByteView(page2), pn, kTextBytes);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(b->entry(1).error(),
            StorageError::Corrupted("Leaf page r0.1/0 corrupted. Last offset 5000 beyond end of "
                                    "data " + std::to_string(page2.size())));
}

// Random damage to random leaves: every call answers with a value or an error
// and never reads outside the page (checked under the sanitizers).
TEST(LeafCorruptionTest, FuzzedPagesGiveOnlyErrorValues) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const std::vector<TreeDescriptor> kinds = {kU64U64, kU64Bytes, kTextU32, kTextBytes};
  size_t errors = 0;
  for (int round = 0; round < 2000; ++round) {
    const TreeDescriptor& d = kinds[round % kinds.size()];
    Bytes page;
    if (round % 5 == 0) {
      page.resize(rng() % 80);
      for (auto& b : page) b = static_cast<uint8_t>(rng());
    } else {
      Pairs pairs;
      size_t n = 1 + rng() % 8;
      for (size_t i = 0; i < n; ++i) {
        pairs.push_back({d.fixed_key_width ? u64(i) : str(std::string(i + 1, 'a')),
                         Bytes(d.fixed_value_width ? *d.fixed_value_width : rng() % 5, 9)});
      }
      page = leaf_bytes(d, pairs);
      page.resize(page.size() + rng() % 8, 0);
      for (int flips = 1 + rng() % 4; flips > 0; --flips) {
        page[rng() % page.size()] = static_cast<uint8_t>(rng());
      }
    }
    // Text keys are compared only when their bytes are valid UTF-8; keep the
    // search to integer keys.
    auto sum = leaf_checksum(ByteView(page), PageNumber(), d.fixed_key_width, d.fixed_value_width);
    errors += !sum.ok();
    auto a = LeafAccessor::create(ByteView(page), PageNumber(), d);
    if (d.fixed_key_width == 8 && page.size() >= 4) {
      // A lookup's inline step gives what the checked accessor gives, and
      // gives up exactly where it fails.
      const uint64_t q = rng() % 10;
      auto fast = LeafAccessor::step_u64(ByteView(page), load_le16(page.data() + 2),
                                         d.fixed_value_width, q);
      bool checked_ok = a.ok();
      std::optional<std::pair<size_t, size_t>> range;
      if (checked_ok) {
        auto at = a->position(u64(q));
        checked_ok = at.ok();
        if (checked_ok && at->second) {
          auto r = a->value_range(at->first);
          checked_ok = r.ok();
          if (checked_ok) range = **r;
        }
      }
      ASSERT_EQ(fast.has_value(), checked_ok);
      if (fast) {
        ASSERT_EQ(fast->found, range.has_value());
        if (range) {
          ASSERT_EQ(fast->value_start, range->first);
          ASSERT_EQ(fast->value_end, range->second);
        }
      }
    }
    if (!a.ok()) {
      ++errors;
      continue;
    }
    for (size_t i = 0; i <= a->num_pairs() && i < 70000; ++i) {
      auto e = a->entry(i);
      errors += !e.ok();
      // The scan's inline step takes exactly the entries the checked one does.
      EntryRanges fast;
      const bool fast_ok = a->try_entry_ranges(i, fast);
      auto checked = a->entry_ranges(i);
      ASSERT_EQ(fast_ok, checked.ok() && checked->has_value()) << i;
      if (fast_ok) {
        ASSERT_EQ(fast, **checked) << i;
      }
      if (e.ok() && e->has_value()) {
        ASSERT_LE((*e)->key.data() + (*e)->key.size(), page.data() + page.size());
        ASSERT_LE((*e)->value.data() + (*e)->value.size(), page.data() + page.size());
      }
      (void)a->offset_of_value(i);
      if (i > 64) break;
    }
    (void)a->validate_all();
    (void)a->last_entry();
    if (a->num_pairs() > 0) (void)a->length_of_pairs(0, a->num_pairs());
    if (d.fixed_key_width) (void)a->position(u64(rng() % 10));
  }
  EXPECT_GT(errors, 0u);
}

}  // namespace
}  // namespace storage
