// Model-based random tests of the read cursor and the bounded range against
// std::map, on the real page store: trees of depth 1 to 4 with values from 0
// bytes to 3 KB (and some keys removed, so that separators lie above their
// leaves' keys), random seeks to every target followed by random steps, and
// ranges with random bounds stepped from random ends. Also BtreeMut::range
// over a transaction's own edits, and fault injection at every page read of a
// scan, after which the same range must go on with exactly the entries left.
//
// Seeds are printed; RS_TEST_SEED replays one. RS_CURSOR_MODEL_ROUNDS scales
// the number of seeks and ranges per tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "storage/src/tree_store/btree_cursor.h"
#include "storage/src/tree_store/btree_range.h"
#include "storage/tests/support/cursor_support.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/tree_editor.h"

namespace storage {
namespace {

using test::Bytes;
using test::ReadCountingPages;
using test::TransactionalPageStore;
using test::TxnState;
constexpr TreeDescriptor kText = tree_descriptor<TextCodec, BytesCodec>();

size_t rounds() {
  const char* env = std::getenv("RS_CURSOR_MODEL_ROUNDS");
  return env != nullptr ? std::strtoul(env, nullptr, 10) : 200;
}

// Keys are zero-padded numbers, padded further to a chosen length so that
// long keys make narrow branches (and so deep trees of few entries). Odd
// numbers are stored; even numbers are probes that fall between them.
Bytes text_key(uint64_t number, size_t len) {
  char digits[16];
  std::snprintf(digits, sizeof(digits), "%08llu", static_cast<unsigned long long>(number));
  std::string s(digits);
  if (s.size() < len) s.append(len - s.size(), 'x');
  return test::str_bytes(s);
}

struct Shape {
  const char* name;
  size_t count;    // keys inserted
  size_t key_len;  // bytes per key
  size_t depth;    // levels the tree must have
  size_t max_value = 3072;
};

const Shape kShapes[] = {
    {"root leaf", 6, 12, 1, 200},
    {"depth 2", 120, 40, 2},
    {"depth 3", 100, 300, 3},
    {"depth 4", 800, 300, 4},
};

struct ModelTree {
  std::shared_ptr<TransactionalPageStore> store;
  std::optional<BtreeHeader> root;
  std::vector<std::pair<Bytes, Bytes>> entries;  // the model, in key order
  size_t key_len = 0;
  uint64_t max_number = 0;
};

// Inserts odd numbers with random values (0 bytes to 3 KB), commits, then
// removes about a seventh of them and commits again.
ModelTree build(const Shape& shape, std::mt19937_64& rng) {
  ModelTree t;
  t.store = TransactionalPageStore::create();
  t.key_len = shape.key_len;
  t.max_number = 2 * shape.count + 1;
  test::TreeEditor<TransactionalPageStore> editor(t.store, kText);
  std::map<Bytes, Bytes> model;
  for (uint64_t i = 0; i < shape.count; ++i) {
    const Bytes key = text_key(2 * i + 1, shape.key_len);
    const size_t r = rng() % 100;
    const size_t len = std::min<size_t>(
        shape.max_value, r < 40 ? rng() % 40 : r < 80 ? rng() % 700 : rng() % 3073);
    Bytes value(len);
    for (auto& b : value) b = static_cast<uint8_t>(rng());
    if (!editor.helper().insert(key, value).ok()) panic("insert failed");
    model[key] = value;
  }
  editor.commit();
  if (shape.count > 10) {
    for (uint64_t i = 0; i < shape.count; ++i) {
      if (rng() % 7 != 0) continue;
      const Bytes key = text_key(2 * i + 1, shape.key_len);
      if (!editor.helper().delete_key(key, rng() % 2 == 0).ok()) panic("delete failed");
      model.erase(key);
    }
    editor.commit();
  }
  t.root = editor.root;
  t.entries.assign(model.begin(), model.end());
  return t;
}

// A stored key, or a probe between, before or after the stored keys.
Bytes random_key(const ModelTree& t, std::mt19937_64& rng) {
  if (rng() % 2 == 0 && !t.entries.empty()) return t.entries[rng() % t.entries.size()].first;
  return text_key(rng() % (t.max_number + 2), t.key_len);
}

size_t lower(const ModelTree& t, const Bytes& key) {
  return std::lower_bound(t.entries.begin(), t.entries.end(), key,
                          [](const auto& e, const Bytes& k) { return e.first < k; }) -
         t.entries.begin();
}
size_t upper(const ModelTree& t, const Bytes& key) {
  return std::upper_bound(t.entries.begin(), t.entries.end(), key,
                          [](const Bytes& k, const auto& e) { return k < e.first; }) -
         t.entries.begin();
}

void expect_entry(const ModelTree& t, const CursorEntry& e, size_t i, const std::string& where) {
  ASSERT_LT(i, t.entries.size()) << where;
  EXPECT_EQ(test::bytes_of(e.key()), t.entries[i].first) << where;
  EXPECT_EQ(test::bytes_of(e.value()), t.entries[i].second) << where;
}

void run_seeks(const ModelTree& t, std::mt19937_64& rng) {
  Cursor c(t.root->root, kText, t.store->readable(), PageReadHint::kCommitted);
  const size_t n = t.entries.size();
  for (size_t round = 0; round < rounds(); ++round) {
    const Bytes key = random_key(t, rng);
    size_t gap = 0;
    SeekTarget target = SeekTarget::start();
    switch (rng() % 4) {
      case 0:
        break;
      case 1:
        target = SeekTarget::end();
        gap = n;
        break;
      case 2:
        target = SeekTarget::key(key);
        gap = lower(t, key);
        break;
      default:
        target = SeekTarget::after_key(key);
        gap = upper(t, key);
        break;
    }
    ASSERT_TRUE(c.seek_to(target).ok());
    const size_t steps = rng() % 60;
    for (size_t s = 0; s < steps; ++s) {
      const bool forward = rng() % 3 != 0;
      const std::string where = "round " + std::to_string(round) + " step " + std::to_string(s);
      auto got = forward ? c.next() : c.prev();
      ASSERT_TRUE(got.ok()) << got.error().to_string();
      if (forward ? gap == n : gap == 0) {
        EXPECT_FALSE(got->has_value()) << where;
        continue;
      }
      ASSERT_TRUE(got->has_value()) << where;
      const size_t i = forward ? gap : gap - 1;
      expect_entry(t, **got, i, where);
      gap = forward ? gap + 1 : gap - 1;
    }
  }
}

EncodedBound random_bound(const ModelTree& t, std::mt19937_64& rng) {
  switch (rng() % 5) {
    case 0:
      return EncodedBound::unbounded();
    case 1:
    case 2:
      return EncodedBound::included(random_key(t, rng));
    default:
      return EncodedBound::excluded(random_key(t, rng));
  }
}

// [lo, hi) of the model's entries within the bounds.
std::pair<size_t, size_t> model_range(const ModelTree& t, const EncodedBound& start,
                                      const EncodedBound& end) {
  size_t lo = 0, hi = t.entries.size();
  if (start.kind == BoundKind::kIncluded) lo = lower(t, start.key);
  if (start.kind == BoundKind::kExcluded) lo = upper(t, start.key);
  if (end.kind == BoundKind::kIncluded) hi = upper(t, end.key);
  if (end.kind == BoundKind::kExcluded) hi = lower(t, end.key);
  return {lo, std::max(lo, hi)};
}

// Steps a range from random ends until it ends, checking every answer against
// the model, then checks that it stays ended.
template <typename MakeRange>
void check_range(const ModelTree& t, std::mt19937_64& rng, MakeRange make,
                 const EncodedBound& start, const EncodedBound& end, const std::string& where) {
  BtreeCursorRange r = make(start, end);
  auto [lo, hi] = model_range(t, start, end);
  const uint64_t front_bias = rng() % 5;  // from all-front to all-back
  bool ended = false;
  for (size_t call = 0; !ended; ++call) {
    const RangeSide side = rng() % 4 < front_bias ? RangeSide::kFront : RangeSide::kBack;
    auto got = r.next_from(side);
    const std::string at = where + " call " + std::to_string(call);
    if (lo >= hi) {
      EXPECT_FALSE(got.has_value()) << at;
      ended = true;
      break;
    }
    ASSERT_TRUE(got.has_value()) << at << " expected " << hi - lo << " more";
    ASSERT_TRUE(got->ok()) << got->error().to_string();
    if (side == RangeSide::kFront) {
      expect_entry(t, got->value(), lo++, at);
    } else {
      expect_entry(t, got->value(), --hi, at);
    }
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(r.next_from(i % 2 ? RangeSide::kFront : RangeSide::kBack).has_value()) << where;
  }
}

TEST(CursorModelTest, SeeksStepsAndRangesAgainstStdMap) {
  for (const Shape& shape : kShapes) {
    const uint64_t seed = storage_test_support::random_seed();
    std::printf("[ seed     ] %s: %llu\n", shape.name, static_cast<unsigned long long>(seed));
    SCOPED_TRACE(std::string(shape.name) + " seed=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    ModelTree t = build(shape, rng);
    const test::TreeCheck check = test::check_tree(*t.store->readable(), t.root, kText);
    ASSERT_EQ(check.error, "");
    ASSERT_EQ(check.depth, shape.depth);
    ASSERT_EQ(check.pairs, t.entries.size());

    run_seeks(t, rng);
    auto make = [&](const EncodedBound& s, const EncodedBound& e) {
      return BtreeCursorRange::from_bounds<TextCodec, BytesCodec>(
          s, e, t.root->root, t.store->readable(), PageReadHint::kCommitted);
    };
    for (size_t round = 0; round < rounds(); ++round) {
      check_range(t, rng, make, random_bound(t, rng), random_bound(t, rng),
                  "range " + std::to_string(round));
    }
  }
}

// BtreeMut::range reads the transaction's own uncommitted pages.
TEST(CursorModelTest, MutableTreeRangeSeesUncommittedEdits) {
  const uint64_t seed = storage_test_support::random_seed();
  std::printf("[ seed     ] %llu\n", static_cast<unsigned long long>(seed));
  SCOPED_TRACE("seed=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  ModelTree t = build(kShapes[2], rng);
  TxnState txn(t.store);
  auto tree = txn.open<TextCodec, BytesCodec>(t.root);
  std::map<Bytes, Bytes> model(t.entries.begin(), t.entries.end());
  for (int i = 0; i < 80; ++i) {
    // New keys between the committed ones, and replaced values.
    const Bytes key = rng() % 2 ? text_key(2 * (rng() % 260), t.key_len)
                                : t.entries[rng() % t.entries.size()].first;
    const Bytes value(rng() % 2000, static_cast<uint8_t>(i));
    ASSERT_TRUE(tree.insert(TextCodec::from_bytes(key), ByteView(value)).ok());
    model[key] = value;
  }
  ModelTree edited = t;
  edited.entries.assign(model.begin(), model.end());
  edited.root = tree.get_root();
  auto make = [&](const EncodedBound& s, const EncodedBound& e) {
    // Through the typed range when the bounds are plain, else from the bounds.
    if (s.kind == BoundKind::kIncluded && e.kind == BoundKind::kIncluded) {
      auto range = KeyRange<TextCodec>::closed(TextCodec::from_bytes(s.key),
                                               TextCodec::from_bytes(e.key));
      return std::move(tree.range(range)).value();
    }
    return BtreeCursorRange::from_bounds<TextCodec, BytesCodec>(
        s, e, edited.root->root, txn.pages, PageReadHint::kMayBeDirty);
  };
  auto full = tree.range(KeyRange<TextCodec>::full());
  ASSERT_TRUE(full.ok());
  size_t seen = 0;
  while (auto e = full->next()) {
    ASSERT_TRUE(e->ok());
    expect_entry(edited, e->value(), seen++, "full range");
  }
  EXPECT_EQ(seen, model.size());
  for (size_t round = 0; round < rounds(); ++round) {
    check_range(edited, rng, make, EncodedBound::included(random_key(edited, rng)),
                EncodedBound::included(random_key(edited, rng)),
                "range " + std::to_string(round));
    check_range(edited, rng, make, random_bound(edited, rng), random_bound(edited, rng),
                "bounds " + std::to_string(round));
  }
  // A poisoned tree refuses.
  txn.poison->store(true);
  auto refused = tree.range(KeyRange<TextCodec>::full());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), StorageError::PreviousIo());
}

// ---------------------------------------------------------------------------
// Fault injection: every page read of a scan fails once, in turn. The failure
// comes back from the range; the same range, asked again, goes on with
// exactly the entries the model has left, none skipped or repeated.

enum class Pattern { kFront, kBack, kAlternating };

struct Scan {
  std::vector<Bytes> front;
  std::vector<Bytes> back;
  size_t errors = 0;
};

Scan scan_with_failure(const ModelTree& t, Pattern pattern, size_t fail_at, size_t& reads) {
  auto pages = std::make_shared<ReadCountingPages>(t.store->readable());
  pages->fail_at = fail_at;
  BtreeCursorRange r = BtreeCursorRange::from_bounds<TextCodec, BytesCodec>(
      EncodedBound::unbounded(), EncodedBound::unbounded(), t.root->root, pages,
      PageReadHint::kCommitted);
  Scan scan;
  bool front = true;
  for (size_t call = 0; call < 100000; ++call) {
    const RangeSide side = pattern == Pattern::kFront  ? RangeSide::kFront
                           : pattern == Pattern::kBack ? RangeSide::kBack
                           : front                     ? RangeSide::kFront
                                                       : RangeSide::kBack;
    auto got = r.next_from(side);
    if (!got) break;
    if (!got->ok()) {
      EXPECT_EQ(got->error(), ReadCountingPages::injected_failure());
      ++scan.errors;
      continue;  // the same call again
    }
    (side == RangeSide::kFront ? scan.front : scan.back)
        .push_back(test::bytes_of(got->value().key()));
    front = !front;
  }
  reads = pages->reads;
  return scan;
}

TEST(CursorFaultTest, EveryFailedPageReadOfAScanIsReturnedAndTheScanGoesOn) {
  // Cache budget 0: every page read of the scan reaches the file. Long keys
  // make a three-level tree of a few hundred entries.
  ModelTree t;
  t.store = TransactionalPageStore::create({.cache_bytes = 0});
  std::vector<Bytes> keys;
  {
    TxnState txn(t.store);
    auto tree = txn.open<TextCodec, BytesCodec>(std::nullopt);
    std::mt19937_64 rng(5);
    for (uint64_t k = 0; k < 400; ++k) {
      keys.push_back(text_key(k, 300));
      const Bytes value(rng() % 500, static_cast<uint8_t>(k));
      ASSERT_TRUE(tree.insert(TextCodec::from_bytes(keys.back()), ByteView(value)).ok());
    }
    t.root = test::commit_tree(tree, *t.store);
  }
  const test::TreeCheck check = test::check_tree(*t.store->readable(), t.root, kText);
  ASSERT_EQ(check.error, "");
  ASSERT_GE(check.depth, 3u);

  for (Pattern pattern : {Pattern::kFront, Pattern::kBack, Pattern::kAlternating}) {
    size_t total = 0;
    Scan clean = scan_with_failure(t, pattern, 0, total);
    ASSERT_EQ(clean.errors, 0u);
    ASSERT_GE(total, check.pages.size());
    for (size_t n = 1; n <= total; ++n) {
      SCOPED_TRACE("pattern " + std::to_string(static_cast<int>(pattern)) + " read " +
                   std::to_string(n) + " of " + std::to_string(total));
      size_t reads = 0;
      Scan scan = scan_with_failure(t, pattern, n, reads);
      EXPECT_EQ(scan.errors, 1u);
      std::vector<Bytes> all = scan.front;
      all.insert(all.end(), scan.back.rbegin(), scan.back.rend());
      ASSERT_EQ(all, keys);
    }
  }
}

}  // namespace
}  // namespace storage
