// Fault injection into tree edits: the N-th page allocation, and the N-th
// write or read of a page in the file (a page cache so small that the
// transaction's pages are written back and read again while it runs), for
// every N of a small workload.
// Each time: the error comes back, the root header is unchanged, the tree and
// its transaction are poisoned, and after the abort no page is leaked.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>

#include "storage/src/tree_store/btree.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_harness.h"

namespace storage {
namespace {

using test::Bytes;
using test::MemoryPageStore;
using test::TransactionalPageStore;
using test::TxnState;
using U64Tree = BtreeMut<U64Codec, BytesCodec>;
constexpr TreeDescriptor kU64Bytes = tree_descriptor<U64Codec, BytesCodec>();

constexpr size_t kTinyCache = size_t{24} << 10;

template <typename Store>
struct FaultSetup {
  std::shared_ptr<test::FaultPlan> faults = std::make_shared<test::FaultPlan>();
  std::shared_ptr<Store> store;
  std::optional<BtreeHeader> committed;
  PageNumberSet committed_pages;
};

Bytes value_of(std::mt19937_64& rng, size_t max_len) {
  return Bytes(rng() % max_len, static_cast<uint8_t>(rng()));
}

// A committed tree of 300 keys, always the same.
template <typename Store>
FaultSetup<Store> make_setup(size_t cache_bytes) {
  FaultSetup<Store> s;
  s.store = Store::create({.cache_bytes = cache_bytes, .faults = s.faults});
  TxnState txn(s.store);
  U64Tree tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  std::mt19937_64 rng(7);
  for (uint64_t k = 0; k < 300; ++k) {
    if (!tree.insert(k * 100, ByteView(value_of(rng, 1500))).ok()) panic("setup failed");
  }
  s.committed = test::commit_tree(tree, *s.store);
  s.committed_pages = test::check_txn_tree(*s.store, s.committed, kU64Bytes).pages;
  return s;
}

struct Failure {
  int op = -1;  // the failed edit, -1 when none failed
  std::optional<BtreeHeader> root_before;
  std::optional<BtreeHeader> root_after;
  std::optional<StorageError> error;
  bool poisoned = false;
  bool transaction_poisoned = false;
  std::optional<StorageError> next_edit;
};

// New keys, replacements, a large value and in-place growth, always the same.
Failure run_workload(TxnState& txn, std::optional<BtreeHeader> root) {
  U64Tree tree = txn.open<U64Codec, BytesCodec>(root);
  std::mt19937_64 rng(11);
  Failure f;
  for (int op = 0; op < 60; ++op) {
    const uint64_t key = (rng() % 320) * 100 + (op % 3 == 0 ? 50 : 0);
    const Bytes value = value_of(rng, op % 17 == 0 ? 9000 : 1200);
    f.root_before = tree.get_root();
    auto r = tree.insert(key, ByteView(value));
    if (!r.ok()) {
      f.op = op;
      f.error = r.error();
      f.root_after = tree.get_root();
      f.poisoned = tree.poisoned();
      f.transaction_poisoned = txn.poison->load();
      f.next_edit = tree.insert(1, ByteView()).error();
      return f;
    }
  }
  return f;
}

// After the abort, exactly the committed tree's pages are allocated.
template <typename Store>
void expect_aborted_cleanly(const FaultSetup<Store>& s) {
  s.store->rollback_all();
  EXPECT_TRUE(s.store->allocated_units() == test::units_of(s.committed_pages));
}

TEST(BtreeFaultTest, EveryAllocationFailureLeavesTheCommittedTreeIntact) {
  uint64_t total = 0;
  {
    auto s = make_setup<MemoryPageStore>(size_t{64} << 20);
    TxnState txn(s.store);
    const uint64_t before = s.store->allocations();
    ASSERT_EQ(run_workload(txn, s.committed).op, -1);
    total = s.store->allocations() - before;
  }
  ASSERT_GT(total, 20u);
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    auto s = make_setup<MemoryPageStore>(size_t{64} << 20);
    TxnState txn(s.store);
    s.store->fail_nth_allocation(n);
    Failure f = run_workload(txn, s.committed);
    ASSERT_NE(f.op, -1);
    EXPECT_EQ(f.error->kind(), StorageError::Kind::kIo);
    EXPECT_EQ(f.root_after, f.root_before);
    EXPECT_TRUE(f.poisoned);
    EXPECT_TRUE(f.transaction_poisoned);
    EXPECT_EQ(f.next_edit, StorageError::PreviousIo());
    expect_aborted_cleanly(s);
    // The committed snapshot is whole.
    auto snapshot = Btree<U64Codec, BytesCodec>::create(s.committed, PageReadHint::kCommitted,
                                                        nullptr, s.store->readable());
    ASSERT_TRUE(snapshot.ok());
    EXPECT_TRUE(snapshot->verify_checksum().value());
  }
}

// Fails the N-th backend call of kind `op` (with `error`) for every N that the
// workload makes.
template <typename Store>
void every_backend_failure(test::BackendOp op, int error) {
  uint64_t total = 0;
  {
    auto s = make_setup<Store>(kTinyCache);
    TxnState txn(s.store);
    const uint64_t before = s.faults->calls(op);
    ASSERT_EQ(run_workload(txn, s.committed).op, -1);
    total = s.faults->calls(op) - before;
  }
  ASSERT_GT(total, 10u);
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE(std::string(test::backend_op_name(op)) + " " + std::to_string(n));
    auto s = make_setup<Store>(kTinyCache);
    TxnState txn(s.store);
    s.faults->fail_nth(op, s.faults->calls(op) + n, error);
    Failure f = run_workload(txn, s.committed);
    ASSERT_NE(f.op, -1);
    EXPECT_EQ(f.error, StorageError::IoErrno(error));
    EXPECT_EQ(f.root_after, f.root_before);
    EXPECT_TRUE(f.poisoned);
    EXPECT_TRUE(f.transaction_poisoned);
    EXPECT_EQ(f.next_edit, StorageError::PreviousIo());
    expect_aborted_cleanly(s);
  }
}

TEST(BtreeFaultTest, EveryPageWriteFailureLeavesTheCommittedTreeIntact) {
  every_backend_failure<TransactionalPageStore>(test::BackendOp::kWrite, ENOSPC);
}

TEST(BtreeFaultTest, EveryPageReadFailureLeavesTheCommittedTreeIntact) {
  every_backend_failure<TransactionalPageStore>(test::BackendOp::kRead, EIO);
}

TEST(BtreeFaultTest, EveryPageWriteFailureOnTheTestStore) {
  every_backend_failure<MemoryPageStore>(test::BackendOp::kWrite, ENOSPC);
}

}  // namespace
}  // namespace storage
