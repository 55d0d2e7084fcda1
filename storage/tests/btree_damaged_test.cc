// Trees read from a damaged file, and the size limits of a leaf: a stored
// length too small for a removal, a root leaf that disagrees with its length,
// a sibling of the wrong page type and text keys that are not UTF-8 are all
// Corrupted (or simply searched past), never a panic; a leaf whose offsets
// would pass a u32 is refused before a page is allocated; and only a leaf of
// one pair ever outgrows a page.
#include <sys/mman.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "storage/src/tree_store/btree.h"
#include "storage/tests/support/btree_fakes.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_editor.h"

namespace storage {
namespace {

using test::Bytes;
using test::TransactionalPageStore;
using Editor = test::TreeEditor<TransactionalPageStore>;
constexpr TreeDescriptor kU64Bytes = tree_descriptor<U64Codec, BytesCodec>();
constexpr TreeDescriptor kTextBytes = tree_descriptor<TextCodec, BytesCodec>();

Bytes k64(uint64_t v) {
  auto a = U64Codec::as_bytes(v);
  return Bytes(a.begin(), a.end());
}

template <typename R>
std::string outcome(const R& r) {
  return r.ok() ? "<ok>" : r.error().to_string();
}

bool is_corrupted(const std::string& text) { return text.rfind("DB corrupted: ", 0) == 0; }

// A new tree of `pairs` spliced into an empty one; every page is uncommitted.
Editor tree_of(const TreeDescriptor& d, const test::Pairs& pairs,
               std::shared_ptr<TransactionalPageStore> store = TransactionalPageStore::create()) {
  Editor t(std::move(store), d);
  OwnedEntryBuffer buffer;
  for (const auto& [k, v] : pairs) buffer.push_back(k, v);
  if (!t.helper().splice_insert_run(std::nullopt, buffer, pairs.size()).ok()) panic("splice");
  return t;
}

Editor u64_tree(const std::vector<size_t>& lens) {
  test::Pairs pairs;
  for (size_t i = 0; i < lens.size(); ++i) pairs.emplace_back(k64(i + 1), Bytes(lens[i], 7));
  return tree_of(kU64Bytes, pairs);
}

// Overwrites one byte of a page in place (the page is the transaction's own).
void damage(const Editor& t, PageNumber page, size_t offset, uint8_t byte) {
  auto lent = t.pages().get_page_mut(page);
  ASSERT_TRUE(lent.ok()) << lent.error().to_string();
  PageMut p = std::move(lent).value();
  p.memory_mut()[offset] = byte;
}

// ---------------------------------------------------------------------------
// Damaged lengths and siblings

TEST(BtreeDamagedFileTest, RemovalsRefuseADamagedLengthOrSibling) {
  struct Case {
    const char* name;
    std::vector<size_t> lens;
    // Damages the tree and runs one removal; returns its outcome.
    std::string (*run)(Editor&);
    const char* want;  // a part of the Corrupted text
  };
  const Case cases[] = {
      {"delete_key with a stored length of 0", {10, 10, 10},
       [](Editor& t) {
         t.root->length = 0;
         return outcome(t.helper().delete_key(k64(2), true));
       },
       "Tree length 0 is smaller than the 1 entries removed"},
      {"leaf entries beyond the stored length", {10, 10, 10},
       [](Editor& t) {
         t.root->length = 2;
         test::LeafAt at = t.find(k64(1));
         const size_t indexes[] = {0, 1, 2};
         return outcome(t.helper().delete_leaf_entries(std::move(at.leaf),
                                                       std::move(at.path.branches), indexes,
                                                       true));
       },
       "Tree length 2 is smaller than the 3 entries removed"},
      {"leaf run beyond the stored length", {1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000},
       [](Editor& t) {
         t.root->length = 1;
         test::LeafAt at = t.find(k64(1));
         at.leaf = PageImpl(PageBuffer(), PageNumber());
         return outcome(t.helper().replace_leaf_children(std::move(at.path.branches), 0, 1, {},
                                                         3));
       },
       "Tree length 1 is smaller than the 3 entries removed"},
      {"root leaf with more pairs than its length", {10, 10, 10},
       [](Editor& t) {
         t.root->length = 10;
         return outcome(t.helper().delete_key(k64(2), false));
       },
       "keeps 2 pairs but the tree's length says 9"},
      {"absorbed neighbour that is not a leaf", {1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000},
       [](Editor& t) {
         const PageNumber first = t.find(k64(1)).path.leaf;
         damage(t, first, 0, kBranchPageType);
         // The leaf after it keeps one small pair and so takes in the first.
         test::LeafAt at = t.find(k64(5));  // leaves [1..4] and [5..8]
         const size_t child = at.path.branches.back().child_index;
         EXPECT_EQ(child, 1u);
         OwnedEntryBuffer kept;
         kept.push_back(k64(5), Bytes(10, 1));
         at.leaf = PageImpl(PageBuffer(), PageNumber());
         return outcome(t.helper().replace_leaf_children(std::move(at.path.branches), child,
                                                         child + 1, std::move(kept), 3));
       },
       "Sibling of another node type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Editor t = u64_tree(c.lens);
    std::string got;
    try {
      got = c.run(t);
    } catch (const Panic& p) {
      got = std::string("panic: ") + p.message();
    }
    EXPECT_TRUE(is_corrupted(got)) << got;
    EXPECT_NE(got.find(c.want), std::string::npos) << got;
    // Whatever the removal did, the stored length never wrapped around.
    if (t.root) {
      EXPECT_LT(t.root->length, uint64_t{1} << 32);
    }
  }
}

// A key byte flipped in a leaf and in a branch separator: the keys are no
// longer UTF-8, and every search, insert and removal through them still ends
// with an answer or an error.
TEST(BtreeDamagedFileTest, TextKeysThatAreNotUtf8NeverStopASearch) {
  test::Pairs pairs;
  for (int i = 0; i < 400; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "key-%04d", i);
    pairs.emplace_back(test::str_bytes(key), Bytes(30, static_cast<uint8_t>(i)));
  }
  auto store = TransactionalPageStore::create();
  Editor t = tree_of(kTextBytes, pairs, store);
  {
    test::LeafAt at = t.find(pairs[100].first);
    ASSERT_TRUE(at.found);
    const size_t key_start = LeafAccessor::create(at.leaf, kTextBytes)
                                 .value()
                                 .entry_ranges(at.position)
                                 .value()
                                 ->key_start;
    const PageNumber leaf_page = at.path.leaf;
    ASSERT_FALSE(at.path.branches.empty());
    PageImpl root = std::move(at.path.branches.front().branch);
    at = test::LeafAt{LeafPath{}, PageImpl(PageBuffer(), PageNumber()), 0, false};
    const ByteView separator = *BranchAccessor::create(root, kTextBytes).value().key(0).value();
    const size_t separator_at = static_cast<size_t>(separator.data() - root.memory().data());
    const PageNumber root_page = root.get_page_number();
    root = PageImpl(PageBuffer(), PageNumber());
    damage(t, leaf_page, key_start + 1, 0xFF);
    damage(t, root_page, separator_at + 2, 0xC0);
  }

  std::vector<Bytes> probes;
  for (const auto& [k, v] : pairs) probes.push_back(k);
  probes.push_back({});
  probes.push_back({0xFF});
  probes.push_back(test::str_bytes("zzz"));
  auto freed = std::make_shared<Mutex<std::vector<PageNumber>>>();
  size_t found = 0;
  for (size_t i = 0; i < probes.size(); ++i) {
    SCOPED_TRACE("probe " + std::to_string(i));
    const Bytes& key = probes[i];
    try {
      UntypedBtreeMut tree(t.root, kTextBytes, store->writable(), freed,
                           PageTracker::create_disabled());
      {
        auto got = tree.get(key);
        EXPECT_TRUE(got.ok()) << got.error().to_string();
        if (got.ok() && got->has_value()) ++found;
      }
      if (i % 3 == 0) {
        auto removed = t.helper().delete_key(key, false);
        EXPECT_TRUE(removed.ok() || is_corrupted(removed.error().to_string()));
      } else if (i % 3 == 1) {
        auto inserted = tree.insert(key, ByteView(Bytes(5, 9)));
        EXPECT_TRUE(inserted.ok() || is_corrupted(inserted.error().to_string()));
        if (inserted.ok()) t.root = tree.get_root();
      }
    } catch (const Panic& p) {
      ADD_FAILURE() << "panic: " << p.message();
      break;
    }
  }
  // Most keys are still where the search looks for them.
  EXPECT_GT(found, probes.size() / 2);
}

// ---------------------------------------------------------------------------
// Leaf limits

// Pairs whose values are views into a large reserved mapping that is never
// touched: the builder must refuse before it allocates or copies anything.
TEST(BtreeLeafLimitTest, ALeafWhoseOffsetsWouldPassAU32IsRefusedBeforeAllocation) {
  const size_t reserved = size_t{4} << 30;
  void* map = mmap(nullptr, reserved, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                   -1, 0);
  if (map == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
  const uint8_t* base = static_cast<const uint8_t*>(map);
  const uint64_t u32_max = 0xFFFFFFFF;
  // The largest value the pair check lets through with an 8-byte key.
  const ByteView huge(base, u32_max - 64 - 8);
  const ByteView large(base, size_t{2200} << 20);    // 2200 MiB: two pass 4 GiB
  const Bytes small(100, 1);

  struct Case {
    const char* name;
    std::vector<ByteView> values;
    bool split;
  };
  const std::vector<Case> cases = {
      // The pair behind a small one: one leaf, a few bytes past a u32.
      {"small then the largest pair", {ByteView(small), huge}, false},
      // Split as [large, large] + [small]: the first leaf passes 4 GiB.
      {"two large pairs meet in the first half", {large, large, ByteView(small)}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::FakeAllocator alloc;
    alloc.fail_after = 0;  // an allocation is a failure of this test, not a 4 GiB vector
    testing::FakeTracker tracker;
    LeafBuilder builder(alloc, tracker, c.values.size(), kU64Bytes.fixed_key_width,
                        kU64Bytes.fixed_value_width);
    std::vector<Bytes> keys;
    for (size_t i = 0; i < c.values.size(); ++i) keys.push_back(k64(i));
    for (size_t i = 0; i < c.values.size(); ++i) builder.push(keys[i], c.values[i]);
    const std::string got = c.split ? outcome(std::move(builder).build_split())
                                    : outcome(std::move(builder).build());
    EXPECT_EQ(got.rfind("The value (length=", 0), 0u) << got;
    EXPECT_TRUE(alloc.requested.empty());
  }
  munmap(map, reserved);
}

// The largest leaf of more than one pair in the tree under `page`.
size_t largest_multi_pair_leaf(const PageSource& pages, PageNumber page, const TreeDescriptor& d) {
  PageImpl p = pages.get_page(page, PageReadHint::kMayBeDirty).value();
  if (p.memory()[0] == kLeafPageType) {
    LeafAccessor leaf = LeafAccessor::create(p, d).value();
    return leaf.num_pairs() > 1 ? leaf.total_length().value() : 0;
  }
  BranchAccessor branch = BranchAccessor::create(p, d).value();
  size_t most = 0;
  for (size_t i = 0; i < branch.count_children(); ++i) {
    most = std::max(most, largest_multi_pair_leaf(pages, branch.child_page(i), d));
  }
  return most;
}

// The two-way split may leave a small pair beside a large one on a run of two
// pages; appending to that leaf in place must not keep growing it.
TEST(BtreeLeafLimitTest, OnlyALeafOfOnePairOutgrowsAPage) {
  auto store = TransactionalPageStore::create();
  Editor t(store, kU64Bytes);
  auto freed = std::make_shared<Mutex<std::vector<PageNumber>>>();
  auto insert = [&](uint64_t key, size_t len) {
    UntypedBtreeMut tree(t.root, kU64Bytes, store->writable(), freed,
                         PageTracker::create_disabled());
    ASSERT_TRUE(tree.insert(k64(key), ByteView(Bytes(len, 3))).ok());
    t.root = tree.get_root();
  };
  insert(1, 10);
  insert(3, 10);
  insert(2, 5000);  // split as [1, 2] on two pages and [3]
  ASSERT_TRUE(t.helper().delete_key(k64(3), true).ok());
  ASSERT_GT(largest_multi_pair_leaf(t.pages(), t.root->root, kU64Bytes), size_t{4096});
  const size_t before = largest_multi_pair_leaf(t.pages(), t.root->root, kU64Bytes);
  for (uint64_t key = 4; key < 70; ++key) {
    insert(key, 40);
    EXPECT_LE(largest_multi_pair_leaf(t.pages(), t.root->root, kU64Bytes), before)
        << "after key " << key;
  }
  EXPECT_EQ(t.pairs().size(), 68u);
  EXPECT_EQ(t.check(), "");
}

}  // namespace
}  // namespace storage
