// Fault injection into splices and removals: the N-th page allocation, and
// the N-th page write to the file (a page cache so small that the
// transaction's pages are written back while it runs), for every N of a small
// splice workload and a small removal workload over a committed tree.
// Each time: the edit returns the error, the root header is unchanged, and
// after the abort exactly the committed tree's pages are allocated.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>

#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_editor.h"

namespace storage {
namespace {

using test::Bytes;
using test::CountingPages;
using test::TransactionalPageStore;
using Editor = test::TreeEditor<TransactionalPageStore>;
constexpr TreeDescriptor kU64Bytes = tree_descriptor<U64Codec, BytesCodec>();
constexpr size_t kTinyCache = size_t{24} << 10;

Bytes k64(uint64_t v) {
  auto a = U64Codec::as_bytes(v);
  return Bytes(a.begin(), a.end());
}

struct FaultSetup {
  std::shared_ptr<test::FaultPlan> faults = std::make_shared<test::FaultPlan>();
  std::shared_ptr<TransactionalPageStore> store;
  std::optional<BtreeHeader> committed;
  PageNumberSet committed_pages;
};

// A committed tree of 400 keys, always the same.
FaultSetup make_setup(size_t cache_bytes) {
  FaultSetup s;
  s.store = TransactionalPageStore::create({.cache_bytes = cache_bytes, .faults = s.faults});
  Editor t(s.store, kU64Bytes);
  std::mt19937_64 rng(7);
  OwnedEntryBuffer buffer;
  for (uint64_t k = 0; k < 400; ++k) buffer.push_back(k64(k * 100), Bytes(rng() % 1500, 3));
  if (!t.helper().splice_insert_run(std::nullopt, buffer, 400).ok()) panic("setup failed");
  t.commit();
  s.committed = t.root;
  s.committed_pages = test::check_txn_tree(*s.store, s.committed, kU64Bytes).pages;
  return s;
}

struct Failure {
  int op = -1;  // the failed edit, -1 when none failed
  bool outside_edit = false;  // the fault hit the test's own page reads
  std::optional<BtreeHeader> root_before;
  std::optional<BtreeHeader> root_after;
  std::optional<StorageError> error;
};

using Edit = Result<void, StorageError> (*)(Editor&, std::mt19937_64&, int);

Result<void, StorageError> splice_edit(Editor& t, std::mt19937_64& rng, int op) {
  const uint64_t x = (rng() % 420) * 100 + 1;
  const size_t len = 1 + rng() % 45;
  test::LeafAt at = t.find(k64(x));
  OwnedEntryBuffer buffer;
  LeafAccessor leaf = LeafAccessor::create(at.leaf, kU64Bytes).value();
  if (!buffer.extend_from_leaf_range(leaf, 0, at.position, true).ok()) panic("extend");
  for (size_t i = 0; i < len; ++i) {
    buffer.push_back(k64(x + i), Bytes(op == 3 && i == len / 2 ? 6000 : rng() % 800, 5));
  }
  if (!buffer.extend_from_leaf_range(leaf, at.position, leaf.num_pairs(), true).ok()) {
    panic("extend");
  }
  at.leaf = PageImpl(PageBuffer(), PageNumber());
  return t.helper().splice_insert_run(std::move(at.path), buffer, len);
}

Result<void, StorageError> removal_edit(Editor& t, std::mt19937_64& rng, int op) {
  const uint64_t key = (rng() % 400) * 100;
  if (op % 3 == 0) {
    auto r = t.helper().delete_key(k64(key), rng() % 2 == 0);
    if (!r.ok()) return Err{r.error()};
    return {};
  }
  test::LeafAt at = t.find(k64(key));
  std::vector<size_t> indexes;
  if (op % 3 == 1) {
    const size_t n = LeafAccessor::create(at.leaf, kU64Bytes).value().num_pairs();
    for (size_t i = 0; i < n; ++i) {
      if (rng() % 2 == 0) indexes.push_back(i);
    }
    return t.helper().delete_leaf_entries(std::move(at.leaf), std::move(at.path.branches),
                                          indexes, rng() % 2 == 0);
  }
  if (at.path.branches.empty()) return {};
  const size_t start = at.path.branches.back().child_index;
  const size_t count = BranchAccessor::create(at.path.branches.back().branch, kU64Bytes)
                           .value()
                           .count_children();
  const size_t end = std::min(count, start + 2);
  OwnedEntryBuffer kept;
  uint64_t removed = 0;
  {
    BranchAccessor parent =
        BranchAccessor::create(at.path.branches.back().branch, kU64Bytes).value();
    for (size_t j = start; j < end; ++j) {
      PageImpl page = t.pages().get_page(parent.child_page(j), PageReadHint::kMayBeDirty).value();
      LeafAccessor leaf = LeafAccessor::create(page, kU64Bytes).value();
      std::vector<size_t> skip;
      for (size_t i = 0; i < leaf.num_pairs(); ++i) {
        if (rng() % 4 != 0) skip.push_back(i);
      }
      if (!kept.extend_from_leaf(leaf, skip, true).ok()) panic("extend");
      removed += skip.size();
    }
  }
  at.leaf = PageImpl(PageBuffer(), PageNumber());
  return t.helper().replace_leaf_children(std::move(at.path.branches), start, end,
                                          std::move(kept), removed);
}

Failure run_workload(Editor& t, Edit edit, int ops) {
  std::mt19937_64 rng(11);
  Failure f;
  for (int op = 0; op < ops; ++op) {
    f.root_before = t.root;
    try {
      auto r = edit(t, rng, op);
      if (!r.ok()) {
        f.op = op;
        f.error = r.error();
        f.root_after = t.root;
        return f;
      }
    } catch (const Panic&) {
      // A failed read or write-back in the test's own descent.
      f.op = op;
      f.outside_edit = true;
      return f;
    }
  }
  return f;
}

struct Workload {
  const char* name;
  Edit edit;
  int ops;
};
const Workload kWorkloads[] = {{"splices", splice_edit, 10}, {"removals", removal_edit, 30}};

void expect_aborted_cleanly(const FaultSetup& s) {
  s.store->rollback_all();
  EXPECT_TRUE(s.store->allocated_units() == test::units_of(s.committed_pages));
}

TEST(BtreeBulkFaultTest, EveryAllocationFailure) {
  for (const Workload& w : kWorkloads) {
    SCOPED_TRACE(w.name);
    size_t total = 0;
    {
      FaultSetup s = make_setup(size_t{64} << 20);
      auto pages = std::make_shared<CountingPages>(s.store->writable());
      Editor t(s.store, kU64Bytes, pages);
      t.root = s.committed;
      ASSERT_EQ(run_workload(t, w.edit, w.ops).op, -1);
      ASSERT_EQ(t.check(), "");
      total = pages->allocations;
    }
    ASSERT_GT(total, 10u);
    for (size_t n = 1; n <= total; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      FaultSetup s = make_setup(size_t{64} << 20);
      auto pages = std::make_shared<CountingPages>(s.store->writable());
      pages->fail_at = n;
      Editor t(s.store, kU64Bytes, pages);
      t.root = s.committed;
      Failure f = run_workload(t, w.edit, w.ops);
      ASSERT_NE(f.op, -1);
      ASSERT_FALSE(f.outside_edit);
      EXPECT_EQ(f.error->kind(), StorageError::Kind::kIo);
      EXPECT_EQ(f.root_after, f.root_before);
      expect_aborted_cleanly(s);
    }
  }
}

TEST(BtreeBulkFaultTest, EveryPageWriteFailure) {
  for (const Workload& w : kWorkloads) {
    SCOPED_TRACE(w.name);
    uint64_t total = 0;
    {
      FaultSetup s = make_setup(kTinyCache);
      Editor t(s.store, kU64Bytes);
      t.root = s.committed;
      const uint64_t before = s.faults->calls(test::BackendOp::kWrite);
      ASSERT_EQ(run_workload(t, w.edit, w.ops).op, -1);
      total = s.faults->calls(test::BackendOp::kWrite) - before;
    }
    ASSERT_GT(total, 5u);
    size_t in_edits = 0;
    for (uint64_t n = 1; n <= total; ++n) {
      SCOPED_TRACE("write " + std::to_string(n));
      FaultSetup s = make_setup(kTinyCache);
      Editor t(s.store, kU64Bytes);
      t.root = s.committed;
      s.faults->fail_nth(test::BackendOp::kWrite, s.faults->calls(test::BackendOp::kWrite) + n,
                         ENOSPC);
      Failure f = run_workload(t, w.edit, w.ops);
      ASSERT_NE(f.op, -1);
      if (!f.outside_edit) {
        ++in_edits;
        EXPECT_EQ(f.error, StorageError::IoErrno(ENOSPC));
        EXPECT_EQ(f.root_after, f.root_before);
      }
      expect_aborted_cleanly(s);
    }
    EXPECT_GT(in_edits, total / 2);
  }
}

}  // namespace
}  // namespace storage
