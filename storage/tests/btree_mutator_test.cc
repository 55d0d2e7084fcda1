// In-place leaf edits: random edit sequences against the builder's output, the
// space tests, broken preconditions and damaged pages.
#include <gtest/gtest.h>

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

Bytes u64(uint64_t v) {
  auto a = U64Codec::as_bytes(v);
  return Bytes(a.begin(), a.end());
}
Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }

constexpr TreeDescriptor kU64U64 = tree_descriptor<U64Codec, U64Codec>();
constexpr TreeDescriptor kU64Bytes = tree_descriptor<U64Codec, BytesCodec>();
constexpr TreeDescriptor kTextU64 = tree_descriptor<TextCodec, U64Codec>();
constexpr TreeDescriptor kTextBytes = tree_descriptor<TextCodec, BytesCodec>();

FakePage build_leaf(const TreeDescriptor& d, const Pairs& pairs, size_t page_size = 4096) {
  FakeAllocator alloc;
  alloc.page_size = page_size;
  FakeTracker tracker;
  LeafBuilder b(alloc, tracker, pairs.size(), d.fixed_key_width, d.fixed_value_width);
  for (const auto& [k, v] : pairs) b.push(k, v);
  return std::move(b).build().value();
}

size_t total_of(const FakePage& page, const TreeDescriptor& d) {
  return LeafAccessor::create(page, d).value().total_length().value();
}

// The leaf bytes a builder writes for `pairs`.
Bytes built_bytes(const TreeDescriptor& d, const Pairs& pairs) {
  FakePage page = build_leaf(d, pairs, 1 << 16);
  return Bytes(page.bytes->begin(), page.bytes->begin() + total_of(page, d));
}

LeafMutator mutator_of(FakePage& page, const TreeDescriptor& d,
                       LeafMutator::Origin origin = LeafMutator::Origin::kUntrusted) {
  return LeafMutator(page.memory_mut(), page.get_page_number(), d.fixed_key_width,
                     d.fixed_value_width, origin);
}

struct ModelLess {
  bool fixed;
  bool operator()(const Bytes& a, const Bytes& b) const {
    return fixed ? U64Codec::compare(a, b) < 0 : a < b;
  }
};

// Random inserts, removals and replacements on one page; after every edit the
// page must hold exactly the bytes a builder writes for the model's pairs.
TEST(LeafMutatorTest, RandomEditsMatchTheBuilder) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (const TreeDescriptor& d : {kU64U64, kU64Bytes, kTextU64, kTextBytes}) {
    const bool fixed_keys = d.fixed_key_width.has_value();
    auto random_key = [&] {
      if (fixed_keys) return u64(rng() % 400);
      Bytes b(rng() % 7);
      for (auto& c : b) c = static_cast<uint8_t>('a' + rng() % 5);
      return b;
    };
    auto random_value = [&] {
      return Bytes(d.fixed_value_width ? *d.fixed_value_width : rng() % 40,
                   static_cast<uint8_t>(rng()));
    };
    for (int run = 0; run < 6; ++run) {
      std::map<Bytes, Bytes, ModelLess> model(ModelLess{fixed_keys});
      while (model.size() < 3) model[random_key()] = random_value();
      FakePage page = build_leaf(d, Pairs(model.begin(), model.end()));
      size_t applied = 0;
      for (int step = 0; step < 400; ++step) {
        LeafAccessor a = LeafAccessor::create(page, d).value();
        const size_t n = a.num_pairs();
        const size_t op = rng() % 10;
        if (op < 5) {
          Bytes k = random_key();
          if (model.count(k)) continue;
          Bytes v = random_value();
          auto [i, found] = a.position(k).value();
          ASSERT_FALSE(found);
          size_t g = (fixed_keys ? 0 : 4) + (d.fixed_value_width ? 0 : 4);
          bool fits = k.size() + v.size() + g <= page.bytes->size() - a.total_length().value();
          bool ok = LeafMutator::sufficient_insert_inplace_space(
                        page.memory(), page.number, i, d.fixed_key_width, d.fixed_value_width,
                        k, v)
                        .value();
          ASSERT_EQ(ok, fits);
          if (!ok) continue;
          auto value_at = mutator_of(page, d).insert(i, k, v);
          ASSERT_TRUE(value_at.ok());
          // The answer is where the new value now starts.
          ASSERT_EQ(*value_at, **LeafAccessor::create(page, d)->offset_of_value(i));
          model[k] = v;
        } else if (op < 7) {
          if (n < 2) continue;
          size_t i = rng() % n;
          ASSERT_TRUE(mutator_of(page, d).remove(i).ok());
          model.erase(std::next(model.begin(), static_cast<long>(i)));
        } else if (op < 8) {
          if (n < 2) continue;
          std::vector<size_t> indices;
          for (size_t i = 0; i < n; ++i) {
            if (rng() % 3 == 0) indices.push_back(i);
          }
          if (indices.empty() || indices.size() == n) continue;
          ASSERT_TRUE(mutator_of(page, d).remove_indices(indices).ok());
          for (size_t k = indices.size(); k-- > 0;) {
            model.erase(std::next(model.begin(), static_cast<long>(indices[k])));
          }
        } else {
          size_t i = rng() % n;
          Bytes v = random_value();
          bool ok = LeafMutator::sufficient_replace_inplace_space(
                        page.memory(), page.number, i, d.fixed_key_width, d.fixed_value_width, v)
                        .value();
          auto it = std::next(model.begin(), static_cast<long>(i));
          int64_t grow = static_cast<int64_t>(v.size()) - static_cast<int64_t>(it->second.size());
          ASSERT_EQ(ok, grow <= static_cast<int64_t>(page.bytes->size() -
                                                     a.total_length().value()));
          if (!ok) continue;
          ASSERT_TRUE(mutator_of(page, d).replace(i, v).ok());
          it->second = v;
        }
        ++applied;
        Bytes want = built_bytes(d, Pairs(model.begin(), model.end()));
        ASSERT_EQ(total_of(page, d), want.size()) << "step " << step;
        ASSERT_EQ(Bytes(page.bytes->begin(), page.bytes->begin() + want.size()), want)
            << "step " << step;
      }
      EXPECT_GT(applied, 100u);
    }
  }
}

TEST(LeafMutatorTest, RemoveIndicesAtBothEndsLeavesTheMiddlePair) {
  Pairs pairs = {{str("a"), str("one")}, {str("bb"), str("two")}, {str("ccc"), str("three")}};
  FakePage page = build_leaf(kTextBytes, pairs);
  const std::vector<size_t> ends = {0, 2};
  ASSERT_TRUE(mutator_of(page, kTextBytes).remove_indices(ends).ok());
  Bytes want = built_bytes(kTextBytes, {pairs[1]});
  EXPECT_EQ(Bytes(page.bytes->begin(), page.bytes->begin() + want.size()), want);
}

TEST(LeafMutatorTest, EditsThatMoveOnlyWhatTheyMust) {
  // Appending with fixed widths moves nothing of the old pairs' keys.
  FakePage page = build_leaf(kU64U64, {{u64(1), u64(10)}, {u64(2), u64(20)}});
  ASSERT_TRUE(mutator_of(page, kU64U64).insert(2, u64(3), u64(30)).ok());
  EXPECT_EQ(Bytes(page.bytes->begin(), page.bytes->begin() + 52),
            built_bytes(kU64U64, {{u64(1), u64(10)}, {u64(2), u64(20)}, {u64(3), u64(30)}}));
  // A same-length replacement changes only the value bytes.
  Bytes before(page.bytes->begin(), page.bytes->end());
  ASSERT_TRUE(mutator_of(page, kU64U64).replace(1, u64(0x2121)).ok());
  for (size_t i = 0; i < before.size(); ++i) {
    if (i < 36 || i >= 44) {
      ASSERT_EQ((*page.bytes)[i], before[i]) << "byte " << i;
    }
  }
}

TEST(LeafMutatorTest, InsertSpaceTest) {
  // 4 + 8 (offsets) + 8 (key) + v bytes; fill a 4096-byte page to the last byte.
  FakePage page = build_leaf(kU64Bytes, {{u64(1), Bytes(100, 1)}});
  const size_t total = total_of(page, kU64Bytes);
  const size_t room = 4096 - total;  // for key (8) + value + offset (4)
  auto fits = [&](const FakePage& p, size_t i, size_t value_len) {
    Bytes v(value_len, 7);
    Bytes k = u64(i == 0 ? 0 : 2);
    return LeafMutator::sufficient_insert_inplace_space(p.memory(), p.number, i, 8,
                                                        std::nullopt, k, v)
        .value();
  };
  EXPECT_TRUE(fits(page, 1, room - 12));
  EXPECT_FALSE(fits(page, 1, room - 11));
  EXPECT_TRUE(fits(page, 0, room - 12));

  // On a two-page run only appends happen in place.
  FakePage big = build_leaf(kU64Bytes, {{u64(1), Bytes(100, 1)}});
  big.bytes->resize(8192, testing::kGarbage);
  big.number = PageNumber(0, 1, 1);
  EXPECT_FALSE(fits(big, 0, 10));
  EXPECT_TRUE(fits(big, 1, 10));

  // A leaf already holding 65535 pairs takes no more.
  constexpr TreeDescriptor d = tree_descriptor<U16Codec, UnitCodec>();
  Pairs pairs;
  for (uint32_t i = 0; i < 65535; ++i) {
    pairs.push_back({Bytes{static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}, {}});
  }
  FakePage full = build_leaf(d, pairs);
  EXPECT_FALSE(LeafMutator::sufficient_insert_inplace_space(full.memory(), full.number, 65535,
                                                            2, 0, Bytes{0, 0}, {})
                   .value());
}

TEST(LeafMutatorTest, ReplaceSpaceTest) {
  FakePage page = build_leaf(kU64Bytes, {{u64(1), Bytes(10, 1)}, {u64(2), Bytes(20, 2)}});
  const size_t free_bytes = 4096 - total_of(page, kU64Bytes);
  auto fits = [&](size_t i, size_t len) {
    return LeafMutator::sufficient_replace_inplace_space(page.memory(), page.number, i, 8,
                                                         std::nullopt, Bytes(len, 9))
        .value();
  };
  EXPECT_TRUE(fits(0, 10 + free_bytes));
  EXPECT_FALSE(fits(0, 11 + free_bytes));
  EXPECT_TRUE(fits(1, 0));
  // A missing pair counts as an empty old value.
  EXPECT_TRUE(fits(5, free_bytes));
  EXPECT_FALSE(fits(5, free_bytes + 1));
  // In a full page a value that keeps or shrinks its length still fits.
  ASSERT_TRUE(mutator_of(page, kU64Bytes).replace(1, Bytes(20 + free_bytes, 3)).ok());
  EXPECT_EQ(total_of(page, kU64Bytes), 4096u);
  EXPECT_TRUE(fits(1, 20 + free_bytes));
  EXPECT_TRUE(fits(0, 3));
  EXPECT_FALSE(fits(0, 11));
}

void expect_panic(const std::function<void()>& f, const std::string& text) {
  try {
    f();
    ADD_FAILURE() << "no panic, wanted: " << text;
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), text);
  }
}

TEST(LeafMutatorTest, BrokenPreconditionsPanic) {
  FakePage one = build_leaf(kU64Bytes, {{u64(1), str("x")}});
  expect_panic([&] { (void)mutator_of(one, kU64Bytes).remove(0); },
               "assertion failed: num_pairs > 1");
  expect_panic([&] { (void)mutator_of(one, kU64Bytes).remove(1); },
               "assertion failed: i < num_pairs");
  FakePage three =
      build_leaf(kU64Bytes, {{u64(1), str("x")}, {u64(2), str("y")}, {u64(3), str("z")}});
  const std::vector<size_t> all = {0, 1, 2}, unsorted = {1, 0}, past = {3}, none;
  expect_panic([&] { (void)mutator_of(three, kU64Bytes).remove_indices(all); },
               "assertion failed: indices.len() < accessor.num_pairs()");
  expect_panic([&] { (void)mutator_of(three, kU64Bytes).remove_indices(unsorted); },
               "assertion failed: indices.windows(2).all(|pair| pair[0] < pair[1])");
  expect_panic([&] { (void)mutator_of(three, kU64Bytes).remove_indices(past); },
               "assertion failed: *indices.last().unwrap() < accessor.num_pairs()");
  expect_panic([&] { (void)mutator_of(three, kU64Bytes).remove_indices(none); },
               "assertion failed: !indices.is_empty()");
  expect_panic(
      [&] { (void)mutator_of(three, kU64Bytes).insert(3, u64(4), Bytes(5000, 0)); },
      "assertion failed: isize::try_from(accessor.total_length()).unwrap() + required_delta <=\n"
      "    isize::try_from(self.page.len()).unwrap()");
  expect_panic(
      [&] { (void)mutator_of(three, kU64Bytes).replace(0, Bytes(5000, 0)); },
      "assertion failed: isize::try_from(accessor.total_length()).unwrap() + value_delta <=\n"
      "    isize::try_from(self.page.len()).unwrap()");
  FakePage branch = FakePage::of(Bytes(64, 2));
  EXPECT_THROW(mutator_of(branch, kU64Bytes), Panic);
}

TEST(LeafMutatorTest, DamagedPagesAreReportedBeforeAnyByteMoves) {
  Pairs pairs = {{str("a"), str("1")}, {str("b"), str("2")}, {str("c"), str("3")}};
  FakePage page = build_leaf(kTextBytes, pairs);
  page.number = PageNumber(0, 4, 0);
  store_le32(page.bytes->data() + 8, 2);  // key end 1 before key end 0
  const Bytes before = *page.bytes;
  const StorageError want =
      StorageError::Corrupted("Leaf page r0.4/0 corrupted. Couldn't find offset for pair 1");
  const std::vector<size_t> first = {0};
  EXPECT_EQ(mutator_of(page, kTextBytes).insert(3, str("d"), str("4")).error(), want);
  EXPECT_EQ(mutator_of(page, kTextBytes).remove(2).error(), want);
  EXPECT_EQ(mutator_of(page, kTextBytes).remove_indices(first).error(), want);
  EXPECT_EQ(mutator_of(page, kTextBytes).replace(2, str("33")).error(), want);
  EXPECT_EQ(*page.bytes, before);
  // Without pairs the space tests answer with the zero-pairs text.
  FakePage empty = FakePage::of(Bytes{1, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(LeafMutator::sufficient_insert_inplace_space(empty.memory(), empty.number, 0,
                                                         std::nullopt, std::nullopt, str("a"),
                                                         str("b"))
                .error(),
            StorageError::Corrupted("Leaf page r0.0/0 corrupted. Number of pairs is zero"));
}

// Edits on randomly damaged leaves: each either reports the damage or leaves a
// well-formed leaf, and none touches a byte outside the page (sanitizers).
// Inserts and replaces are repeated as on a leaf of the transaction's own,
// which skip the walk over every offset: they too stay inside the page
// whatever the damage, and write the same bytes wherever the walk passes.
TEST(LeafMutatorTest, FuzzedPagesNeverEditOutOfBounds) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  size_t errors = 0;
  for (int round = 0; round < 1500; ++round) {
    const TreeDescriptor& d = round % 2 ? kU64Bytes : kTextBytes;
    Pairs pairs;
    for (size_t i = 0, n = 2 + rng() % 6; i < n; ++i) {
      pairs.push_back({d.fixed_key_width ? u64(i) : str(std::string(i + 1, 'k')),
                       Bytes(rng() % 6, 1)});
    }
    Bytes image = built_bytes(d, pairs);
    image.resize(image.size() + rng() % 24, 0);  // a little free space
    for (int flips = 1 + rng() % 3; flips > 0; --flips) {
      image[2 + rng() % (image.size() - 2)] = static_cast<uint8_t>(rng());
    }
    image[0] = kLeafPageType;
    FakePage page = FakePage::of(image);
    auto a = LeafAccessor::create(page, d);
    if (!a.ok()) {
      ++errors;
      continue;
    }
    const size_t n = a->num_pairs();
    LeafMutator m = mutator_of(page, d);
    Bytes key = d.fixed_key_width ? u64(99) : str("zz");
    Bytes value = {5, 5};
    Result<void, StorageError> r = Unit{};
    FakePage own = FakePage::of(image);
    LeafMutator own_m = mutator_of(own, d, LeafMutator::Origin::kWrittenByThisTransaction);
    // The same edit on the own copy: an error or a panic is fine, a byte
    // outside the page is not.
    const auto same_on_own = [&](const auto& edit) {
      try {
        auto own_r = edit(own_m);
        if (r.ok()) {
          ASSERT_TRUE(own_r.ok());
          EXPECT_EQ(*own.bytes, *page.bytes);
        }
      } catch (const Panic&) {
        EXPECT_FALSE(r.ok());
      }
    };
    switch (rng() % 4) {
      case 0:
        if (n >= 2) r = m.remove(rng() % n);
        break;
      case 1: {
        auto fits = LeafMutator::sufficient_insert_inplace_space(
            page.memory(), page.number, n, d.fixed_key_width, d.fixed_value_width, key, value);
        const size_t at = n == 0 ? 0 : rng() % (n + 1);
        if (fits.ok() && *fits && n >= 1) {
          auto inserted = m.insert(at, key, value);
          if (!inserted.ok()) r = std::move(inserted).take_err();
          same_on_own([&](LeafMutator& e) { return e.insert(at, key, value); });
        }
        break;
      }
      case 2:
        if (n >= 1) {
          const size_t at = rng() % n;
          auto fits = LeafMutator::sufficient_replace_inplace_space(
              page.memory(), page.number, at, d.fixed_key_width, d.fixed_value_width, value);
          if (fits.ok() && *fits) {
            r = m.replace(at, value);
            same_on_own([&](LeafMutator& e) { return e.replace(at, value); });
          }
        }
        break;
      default:
        if (n >= 3) {
          const std::vector<size_t> ends = {0, n - 1};
          r = m.remove_indices(ends);
        }
    }
    if (!r.ok()) {
      ++errors;
      EXPECT_EQ(*page.bytes, image);  // reported before anything moved
    } else {
      auto after = LeafAccessor::create(page, d);
      ASSERT_TRUE(after.ok());
      EXPECT_TRUE(after->validate_all().ok() || *page.bytes == image);
    }
  }
  EXPECT_GT(errors, 0u);
}

TEST(LeafPageMutTest, ReplaceValue) {
  FakePage page = build_leaf(kTextBytes, {{str("k1"), str("old")}, {str("k2"), str("tail")}});
  LeafPageMut<FakePage> leaf(page, std::nullopt, std::nullopt);
  ASSERT_TRUE(leaf.replace_value(0, str("a longer value")).ok());
  Bytes want = built_bytes(kTextBytes, {{str("k1"), str("a longer value")},
                                        {str("k2"), str("tail")}});
  EXPECT_EQ(Bytes(page.bytes->begin(), page.bytes->begin() + want.size()), want);
}

}  // namespace
}  // namespace storage
