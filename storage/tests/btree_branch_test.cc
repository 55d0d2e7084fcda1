// Branch pages: the stored layout, builders, child lookup, in-place child
// updates, and damaged pages.
#include <gtest/gtest.h>
#include <xxhash.h>

#include <algorithm>
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

Bytes u64(uint64_t v) {
  auto a = U64Codec::as_bytes(v);
  return Bytes(a.begin(), a.end());
}
Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes view(ByteView v) { return Bytes(v.begin(), v.end()); }

constexpr TreeDescriptor kU64 = tree_descriptor<U64Codec, BytesCodec>();
constexpr TreeDescriptor kText = tree_descriptor<TextCodec, BytesCodec>();

PageNumber child(uint32_t i) { return PageNumber(1, 100 + i, 0); }
Checksum child_sum(uint32_t i) { return (static_cast<Checksum>(i + 1) << 64) | (0xABC0 + i); }

// A branch over children 0..keys.size() with the given keys.
FakePage build_branch(FakeAllocator& alloc, const TreeDescriptor& d,
                      const std::vector<Bytes>& keys) {
  FakeTracker tracker;
  BranchBuilder b(alloc, tracker, keys.size() + 1, d.fixed_key_width);
  b.push_child(child(0), child_sum(0));
  for (size_t i = 0; i < keys.size(); ++i) {
    b.push_key(keys[i]);
    b.push_child(child(i + 1), child_sum(i + 1));
  }
  return std::move(b).build().value();
}

BranchAccessor accessor_of(const FakePage& page, const TreeDescriptor& d) {
  auto a = BranchAccessor::create(page, d);
  if (!a.ok()) ADD_FAILURE() << a.error().to_string();
  return std::move(a).value();
}

TEST(BranchPageTest, NinetySixByteExampleIsByteExact) {
  FakeAllocator alloc;
  FakePage page = build_branch(alloc, kU64, {u64(10), u64(20)});
  EXPECT_EQ(alloc.requested, std::vector<size_t>{96});
  Bytes want = {0x02, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
  for (uint32_t i = 0; i < 3; ++i) {
    Bytes c(16);
    store_checksum(c.data(), child_sum(i));
    want.insert(want.end(), c.begin(), c.end());
  }
  for (uint32_t i = 0; i < 3; ++i) {
    Bytes p(8);
    child(i).to_le_bytes(p.data());
    want.insert(want.end(), p.begin(), p.end());
  }
  for (uint64_t k : {10, 20}) {
    Bytes kb = u64(k);
    want.insert(want.end(), kb.begin(), kb.end());
  }
  ASSERT_EQ(want.size(), 96u);
  EXPECT_EQ(Bytes(page.bytes->begin(), page.bytes->begin() + 96), want);
  // Checksums at 8..55 with the low half first; page numbers at 56..79.
  EXPECT_EQ(load_le64(page.bytes->data() + 8), 0xABC0u);
  EXPECT_EQ(PageNumber::from_le_bytes(page.bytes->data() + 56), child(0));
  EXPECT_EQ(view(ByteView(*page.bytes).subspan(80, 8)), u64(10));

  auto sum = branch_checksum(page, kU64.fixed_key_width);
  ASSERT_TRUE(sum.ok());
  XXH128_hash_t h = XXH3_128bits(want.data(), want.size());
  EXPECT_EQ(*sum, (static_cast<Checksum>(h.high64) << 64) | h.low64);

  BranchAccessor a = accessor_of(page, kU64);
  EXPECT_EQ(a.num_keys(), 2u);
  EXPECT_EQ(a.count_children(), 3u);
  EXPECT_EQ(*a.total_length(), 96u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(a.child_page(i), child(i));
    EXPECT_EQ(a.child_checksum(i), child_sum(i));
  }
}

TEST(BranchPageTest, ChildForKey) {
  FakeAllocator alloc;
  FakePage page = build_branch(alloc, kU64, {u64(10), u64(20), u64(30)});
  BranchAccessor a = accessor_of(page, kU64);
  struct Case {
    uint64_t query;
    size_t child;
  };
  // Child i holds the keys <= key i; the last child the keys above every key.
  for (const Case& c : std::vector<Case>{
           {0, 0}, {10, 0}, {11, 1}, {20, 1}, {25, 2}, {30, 2}, {31, 3}, {~0ull, 3}}) {
    auto r = a.child_for_key(u64(c.query));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->first, c.child) << c.query;
    EXPECT_EQ(r->second, child(static_cast<uint32_t>(c.child))) << c.query;
  }
  // Unit keys are all equal: the first probe decides.
  constexpr TreeDescriptor unit = tree_descriptor<UnitCodec, BytesCodec>();
  FakePage u = build_branch(alloc, unit, {Bytes{}, Bytes{}, Bytes{}, Bytes{}});
  EXPECT_EQ(accessor_of(u, unit).child_for_key(Bytes{}).value().first, 2u);
}

TEST(BranchPageTest, VariableWidthKeysRoundTrip) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (int round = 0; round < 30; ++round) {
    std::vector<Bytes> keys;
    std::string s;
    size_t k = 1 + rng() % 40;
    for (size_t i = 0; i < k; ++i) {
      s += static_cast<char>('a' + rng() % 26);  // each key extends the last: ascending
      keys.push_back(str(s.substr(rng() % 2)));
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    FakeAllocator alloc;
    alloc.page_size = 1 << 16;
    FakePage page = build_branch(alloc, kText, keys);
    size_t key_bytes = 0;
    for (const Bytes& key : keys) key_bytes += key.size();
    EXPECT_EQ(alloc.requested.back(), key_bytes + 28 * keys.size() + 32);
    BranchAccessor a = accessor_of(page, kText);
    ASSERT_EQ(a.num_keys(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(view(*a.key(i).value()), keys[i]);
      EXPECT_EQ(a.child_for_key(keys[i]).value().first, i);
      Bytes above = keys[i];
      above.push_back(0);  // just above key i, at most key i+1
      EXPECT_EQ(a.child_for_key(above).value().first, i + 1);
    }
    EXPECT_FALSE(a.key(keys.size()).value().has_value());
    EXPECT_EQ(*a.total_length(), alloc.requested.back());
  }
}

TEST(BranchBuilderTest, SplitMovesTheMiddleKeyUp) {
  struct Case {
    size_t keys;
    size_t left_keys;
  };
  for (const Case& c : std::vector<Case>{{3, 1}, {4, 2}, {7, 3}}) {
    std::vector<Bytes> keys;
    for (size_t i = 0; i < c.keys; ++i) keys.push_back(u64(10 * (i + 1)));
    FakeAllocator alloc;
    FakeTracker tracker;
    BranchBuilder b(alloc, tracker, c.keys + 1, kU64.fixed_key_width);
    b.push_child(child(0), child_sum(0));
    for (size_t i = 0; i < c.keys; ++i) {
      b.push_key(keys[i]);
      b.push_child(child(i + 1), child_sum(i + 1));
    }
    auto split = std::move(b).build_split();
    ASSERT_TRUE(split.ok());
    BranchAccessor left = accessor_of(split->left, kU64);
    BranchAccessor right = accessor_of(split->right, kU64);
    const size_t d = c.left_keys;
    EXPECT_EQ(left.num_keys(), d);
    EXPECT_EQ(right.num_keys(), c.keys - d - 1);
    EXPECT_EQ(view(split->middle_key), keys[d]);
    for (size_t i = 0; i <= d; ++i) EXPECT_EQ(left.child_page(i), child(i));
    for (size_t i = 0; i < right.count_children(); ++i) {
      EXPECT_EQ(right.child_page(i), child(d + 1 + i));
      EXPECT_EQ(right.child_checksum(i), child_sum(d + 1 + i));
    }
    EXPECT_EQ(view(*right.key(0).value()), keys[d + 1]);
    EXPECT_EQ(alloc.requested[0], branch_size(d, 8 * d, 8));
  }
}

TEST(BranchBuilderTest, SplitRule) {
  FakeAllocator alloc;
  FakeTracker tracker;
  std::vector<Bytes> keys;
  for (int i = 0; i < 4; ++i) keys.push_back(Bytes(2100, static_cast<uint8_t>('a' + i)));
  BranchBuilder b(alloc, tracker, 5, kText.fixed_key_width);
  b.push_child(child(0), 0);
  for (int i = 0; i < 2; ++i) {
    b.push_key(keys[i]);
    b.push_child(child(i + 1), 0);
  }
  EXPECT_FALSE(b.should_split());  // two keys never split, though over a page
  b.push_key(keys[2]);
  b.push_child(child(3), 0);
  EXPECT_TRUE(b.should_split());
  EXPECT_TRUE(std::move(b).build_split().ok());

  // Size alone: three small keys fit; many small keys exceed a page.
  EXPECT_EQ(branch_size(3, 24, 8), 3 * 8 + 3 * 24 + 32u);
  EXPECT_EQ(branch_size(3, 24, std::nullopt), 24 + 3 * 28 + 32u);
}

TEST(BranchBuilderTest, PushAllAndIntoParts) {
  FakeAllocator alloc;
  std::vector<Bytes> keys = {str("apple"), str("kiwi"), str("pear")};
  FakePage page = build_branch(alloc, kText, keys);
  BranchAccessor a = accessor_of(page, kText);
  FakeTracker tracker;
  BranchBuilder copy(alloc, tracker, 4, kText.fixed_key_width);
  ASSERT_TRUE(copy.push_all(a).ok());
  auto [children, owned_keys] = std::move(copy).into_parts();
  ASSERT_EQ(children.size(), 4u);
  EXPECT_EQ(children[3], (BranchChild{child(3), child_sum(3)}));
  EXPECT_EQ(owned_keys, keys);
  // The owned keys outlive the page they came from.
  std::fill(page.bytes->begin(), page.bytes->end(), 0);
  EXPECT_EQ(owned_keys[1], str("kiwi"));

  BranchBuilder again(alloc, tracker, 4, kText.fixed_key_width);
  ASSERT_TRUE(again.push_all(accessor_of(build_branch(alloc, kText, keys), kText)).ok());
  FakePage rebuilt = std::move(again).build().value();
  FakePage original = build_branch(alloc, kText, keys);
  size_t len = *accessor_of(original, kText).total_length();
  EXPECT_EQ(Bytes(rebuilt.bytes->begin(), rebuilt.bytes->begin() + len),
            Bytes(original.bytes->begin(), original.bytes->begin() + len));
}

TEST(BranchBuilderTest, BrokenPreconditionsPanic) {
  Bytes buf(200, 0);
  try {
    RawBranchBuilder raw(buf, 0, 8);
    ADD_FAILURE() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "assertion failed: num_keys > 0");
  }
  RawBranchBuilder raw(buf, 1, 8);
  raw.write_first_page(child(0), 0);
  Bytes key = u64(1);
  raw.write_nth_key(key, child(1), 0, 0);
  raw.finish();
  try {
    raw.write_nth_key(key, child(2), 0, 1);
    ADD_FAILURE() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "assertion failed: n < self.num_keys");
  }
  FakeAllocator alloc;
  FakeTracker tracker;
  BranchBuilder b(alloc, tracker, 3, kU64.fixed_key_width);
  b.push_child(child(0), 0);
  b.push_key(key);
  b.push_child(child(1), 0);
  try {
    (void)std::move(b).build_split();
    ADD_FAILURE() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "assertion failed: self.keys.len() >= 3");
  }
}

TEST(BranchMutatorTest, RewritesOneChildEntry) {
  FakeAllocator alloc;
  FakePage page = build_branch(alloc, kU64, {u64(10), u64(20)});
  Bytes before(page.bytes->begin(), page.bytes->begin() + 96);
  BranchMutator m(page.memory_mut());
  m.write_child_page(1, PageNumber(9, 9, 1), 999);
  BranchAccessor a = accessor_of(page, kU64);
  EXPECT_EQ(a.child_page(1), PageNumber(9, 9, 1));
  EXPECT_EQ(a.child_checksum(1), Checksum{999});
  // Only checksum entry 1 (24..39) and page-number entry 1 (64..71) changed.
  for (size_t i = 0; i < 96; ++i) {
    bool in_entry = (i >= 24 && i < 40) || (i >= 64 && i < 72);
    if (!in_entry) {
      EXPECT_EQ((*page.bytes)[i], before[i]) << "byte " << i;
    }
  }
  FakePage leaf = FakePage::of(Bytes{1, 0, 1, 0});
  EXPECT_THROW(BranchMutator(leaf.memory_mut()), Panic);
}

TEST(BranchCorruptionTest, DamagedPagesGiveExactTexts) {
  FakeAllocator alloc;
  const PageNumber pn(2, 5, 0);
  FakePage fixed = build_branch(alloc, kU64, {u64(10), u64(20)});
  Bytes good_fixed(fixed.bytes->begin(), fixed.bytes->begin() + 96);
  FakePage var = build_branch(alloc, kText, {str("ab"), str("cd")});
  Bytes good_var(var.bytes->begin(), var.bytes->begin() + 2 * 28 + 32 + 4);
  struct Case {
    std::string name;
    Bytes page;
    std::optional<size_t> kw;
    std::string text;  // for both the checksum and the accessor
  };
  auto with = [](Bytes b, auto f) {
    f(b);
    return b;
  };
  const std::string p = "Branch page r2.5/0 corrupted. ";
  const std::vector<Case> cases = {
      {"zero keys", with(good_fixed, [](Bytes& b) { b[2] = 0; }), 8,
       p + "Number of keys is zero"},
      {"impossible count, fixed keys", with(good_fixed, [](Bytes& b) { b[2] = 3; }), 8,
       p + "Last offset 128 beyond end of data 96"},
      {"impossible count, variable keys", with(good_var, [](Bytes& b) { b[2] = 9; }),
       std::nullopt, p + "Can't find offset for key 8"},
      {"last key end past the page",
       with(good_var, [](Bytes& b) { store_le32(b.data() + 32 + 48 + 4, 500); }), std::nullopt,
       p + "Last offset 500 beyond end of data 92"},
      {"short page", Bytes{2, 0}, 8, p + "Last offset 4 beyond end of data 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto sum = branch_checksum(ByteView(c.page), pn, c.kw);
    ASSERT_FALSE(sum.ok());
    EXPECT_EQ(sum.error(), StorageError::Corrupted(c.text));
    auto a = BranchAccessor::create(ByteView(c.page), pn, c.kw, &U64Codec::compare);
    ASSERT_FALSE(a.ok());
    EXPECT_EQ(a.error(), StorageError::Corrupted(c.text));
  }
  // A first key end below the start of the keys: the envelope holds, the key does not.
  Bytes bad = with(good_var, [](Bytes& b) { store_le32(b.data() + 32 + 48, 3); });
  auto a = BranchAccessor::create(ByteView(bad), pn, kText);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a->key(0).error(), StorageError::Corrupted(p + "Can't find offset for key 0"));
  EXPECT_EQ(a->key(1).error(), StorageError::Corrupted(p + "Can't find offset for key 1"));
}

TEST(BranchCorruptionTest, FuzzedPagesGiveOnlyErrorValues) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  FakeAllocator alloc;
  size_t errors = 0;
  for (int round = 0; round < 2000; ++round) {
    const bool fixed = round % 2 == 0;
    const TreeDescriptor& d = fixed ? kU64 : kText;
    Bytes page;
    if (round % 5 == 0) {
      page.resize(rng() % 200);
      for (auto& b : page) b = static_cast<uint8_t>(rng());
    } else {
      std::vector<Bytes> keys;
      size_t k = 1 + rng() % 6;
      for (size_t i = 0; i < k; ++i) keys.push_back(fixed ? u64(i) : str(std::string(i + 1, 'q')));
      FakePage built = build_branch(alloc, d, keys);
      page.assign(built.bytes->begin(),
                  built.bytes->begin() + *accessor_of(built, d).total_length());
      page.resize(page.size() + rng() % 8, 0);
      for (int flips = 1 + rng() % 4; flips > 0; --flips) {
        page[rng() % page.size()] = static_cast<uint8_t>(rng());
      }
    }
    auto sum = branch_checksum(ByteView(page), PageNumber(), d.fixed_key_width);
    errors += !sum.ok();
    auto a = BranchAccessor::create(ByteView(page), PageNumber(), d);
    if (fixed && page.size() >= 4) {
      // A lookup's inline step gives what the checked accessor gives, and
      // gives up exactly where it fails.
      const uint64_t q = rng() % 8;
      const size_t count = load_le16(page.data() + 2);
      auto fast = BranchAccessor::step_u64(ByteView(page), count, q);
      bool checked_ok = a.ok();
      std::pair<size_t, PageNumber> want;
      if (checked_ok) {
        auto c = a->child_for_key(u64(q));
        checked_ok = c.ok();
        if (checked_ok) want = *c;
      }
      ASSERT_EQ(fast.has_value(), checked_ok);
      if (fast) {
        ASSERT_EQ(fast->first, want.first);
        ASSERT_EQ(fast->second, want.second);
      }
    }
    if (!a.ok()) {
      ++errors;
      continue;
    }
    for (size_t i = 0; i < a->count_children() && i < 64; ++i) {
      (void)a->child_page(i);
      (void)a->child_checksum(i);
      auto key = a->key(i);
      errors += !key.ok();
      if (key.ok() && key->has_value()) {
        ASSERT_LE((*key)->data() + (*key)->size(), page.data() + page.size());
      }
    }
    if (fixed) (void)a->child_for_key(u64(rng() % 8));
  }
  EXPECT_GT(errors, 0u);
}

}  // namespace
}  // namespace storage
