// Fault injection into the directory's commit (flush_and_close) and into
// delete_table: the N-th page read, page write and page allocation of the
// call fails, for every N the call makes, with a page cache small enough that
// pages are written back and read again while it runs. Each time the error
// comes back; a failed flush leaves no staged update and a closed tracker; a
// failed delete has freed and queued none of the table's pages; and after the
// abort exactly the committed pages are allocated and still verify.
#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "storage/src/tree_store/table_tree.h"
#include "storage/tests/support/table_tree_harness.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_harness.h"

namespace storage {
namespace {

using test::DirTxn;
using test::TransactionalPageStore;

constexpr size_t kTinyCache = size_t{24} << 10;

std::vector<uint64_t> keys(uint64_t start, uint64_t n) {
  std::vector<uint64_t> out;
  for (uint64_t i = 0; i < n; ++i) out.push_back(start + i);
  return out;
}

constexpr int kFillers = 60;
std::string filler(int i) { return "m-" + std::to_string(100 + i) + std::string(120, 'x'); }

// A committed directory of a few tables over several leaves, always the same.
struct Setup {
  Setup() {
    store = TransactionalPageStore::create({.cache_bytes = kTinyCache, .faults = faults});
    DirTxn txn(store, std::nullopt);
    if (!txn.fill("big", keys(0, 400), 300).ok() || !txn.fill("small", keys(0, 20)).ok() ||
        !txn.fill("other", keys(0, 50), 200).ok()) {
      panic("setup failed");
    }
    // Empty tables with long names spread the directory over several leaves.
    for (int i = 0; i < kFillers; ++i) {
      if (!txn.dir.get_or_create_table<U64Codec, BytesCodec>(filler(i), TableKind::kNormal).ok()) {
        panic("setup failed");
      }
    }
    root = test::commit_directory(txn);
    baseline = store->allocated_units();
  }

  std::shared_ptr<test::FaultPlan> faults = std::make_shared<test::FaultPlan>();
  std::shared_ptr<TransactionalPageStore> store;
  std::optional<BtreeHeader> root;
  test::PageUnits baseline;
};

// What `prepare` learns for the call and its checks: the pages of tables.
using TablePages = std::map<std::string, std::vector<PageNumber>>;

// One faulted call inside a transaction: `prepare` runs unfaulted, `call` is
// the call under test and returns its error, if any.
struct Workload {
  std::string name;
  std::function<void(DirTxn&, TablePages&)> prepare;
  std::function<std::optional<StorageError>(DirTxn&, const TablePages&)> call;
  // Checks what a failed call must leave behind.
  std::function<void(DirTxn&)> after_failure;
};

// The pages of a table as the transaction sees it.
std::vector<PageNumber> table_pages(DirTxn& txn, const std::string& name) {
  auto def = txn.dir.get_table_untyped(name, TableKind::kNormal);
  std::vector<PageNumber> out;
  if (!def.ok() || !def.value()) panic("lookup failed");
  auto r = def.value()->visit_all_pages(txn.pages, PageReadHint::kMayBeDirty,
                                        [&](std::span<const PageNumber> path)
                                            -> Result<void, StorageError> {
                                          out.push_back(path.back());
                                          return {};
                                        });
  if (!r.ok()) panic("walk failed");
  return out;
}

const std::vector<Workload>& workloads() {
  static const std::vector<Workload> all = {
      {"flush_and_close",
       [](DirTxn& txn, TablePages&) {
         // Changed tables in different directory leaves, none created.
         if (!txn.fill("big", keys(1000, 60), 300).ok() ||
             !txn.fill(filler(30), keys(0, 80)).ok() ||
             !txn.fill(filler(59), keys(0, 3)).ok()) {
           panic("prepare failed");
         }
         auto small = txn.dir.get_table_untyped("small", TableKind::kNormal).value();
         txn.dir.stage_update_table_root("small", small->table_root(), small->table_length());
       },
       [](DirTxn& txn, const TablePages&) -> std::optional<StorageError> {
         auto closed = txn.dir.flush_and_close();
         if (closed.ok()) return std::nullopt;
         return closed.error();
       },
       [](DirTxn& txn) {
         EXPECT_TRUE(txn.dir.pending_table_updates().empty());
         EXPECT_TRUE(txn.tracker->is_closed());
       }},
      {"delete_table",
       [](DirTxn& txn, TablePages& tables) {
         if (!txn.fill("zz-fresh", keys(0, 200), 150).ok()) panic("prepare failed");
         for (const char* name : {"big", "zz-fresh"}) tables[name] = table_pages(txn, name);
       },
       [](DirTxn& txn, const TablePages& tables) -> std::optional<StorageError> {
         // A committed table, then one written in this transaction.
         for (const char* name : {"big", "zz-fresh"}) {
           const auto& pages = tables.at(name);
           auto deleted = txn.dir.delete_table(name, TableKind::kNormal);
           if (!deleted.ok()) {
             // Nothing of the table was freed or queued: its definition may
             // still name every page of it.
             const auto freed = txn.freed_list();
             for (PageNumber p : pages) {
               EXPECT_EQ(std::count(freed.begin(), freed.end(), p), 0) << p.debug();
               if (std::string(name) == "zz-fresh") {
                 EXPECT_TRUE(txn.store->uncommitted(p)) << p.debug();
               }
             }
             return deleted.error().storage_error();
           }
           if (!deleted.value()) panic("table missing");
         }
         return std::nullopt;
       },
       [](DirTxn& txn) {
         // A directory whose edit failed is never read again.
         if (txn.poison->load()) {
           auto found = txn.dir.get_table_untyped("small", TableKind::kNormal);
           ASSERT_FALSE(found.ok());
           EXPECT_EQ(found.error().storage_error(), StorageError::PreviousIo());
         }
       }},
  };
  return all;
}

void expect_aborted_cleanly(DirTxn& txn, const Setup& s, bool io_failed) {
  txn.dir.clear_root_updates_and_close();
  EXPECT_TRUE(txn.tracker->is_closed());
  s.store->rollback_all();
  EXPECT_TRUE(s.store->allocated_units() == s.baseline)
      << s.store->allocated_units().size() << " allocated, " << s.baseline.size() << " before";
  // After an I/O failure the store answers only PreviousIo until reopened.
  if (io_failed) return;
  TableTree committed = test::read_directory(*s.store, s.root);
  auto verified = committed.verify_checksums();
  ASSERT_TRUE(verified.ok()) << verified.error().to_string();
  EXPECT_TRUE(verified.value());
  EXPECT_EQ(committed.count_tables().value(), 3u + kFillers);
}

enum class Fault { kRead, kWrite, kAllocation };

// Runs the workload once unfaulted to count its calls of the kind, then once
// for each N with the N-th of them failing. Returns the count.
uint64_t every_failure(const Workload& w, Fault fault) {
  const test::BackendOp op = fault == Fault::kRead ? test::BackendOp::kRead
                                                   : test::BackendOp::kWrite;
  const int error = fault == Fault::kRead ? EIO : ENOSPC;
  uint64_t total = 0;
  {
    Setup s;
    auto counting = std::make_shared<test::CountingPages>(s.store->writable());
    DirTxn txn(s.store, s.root, counting);
    TablePages tables;
    w.prepare(txn, tables);
    const uint64_t calls_before = s.faults->calls(op);
    const uint64_t allocations_before = counting->allocations;
    EXPECT_EQ(w.call(txn, tables), std::nullopt);
    total = fault == Fault::kAllocation ? counting->allocations - allocations_before
                                        : s.faults->calls(op) - calls_before;
  }
  std::cout << w.name << ": " << total << " calls to fail\n";
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE(w.name + ": call " + std::to_string(n) + " of " + std::to_string(total));
    Setup s;
    auto counting = std::make_shared<test::CountingPages>(s.store->writable());
    DirTxn txn(s.store, s.root, counting);
    TablePages tables;
    w.prepare(txn, tables);
    if (fault == Fault::kAllocation) {
      counting->fail_at = counting->allocations + n;
    } else {
      s.faults->fail_nth(op, s.faults->calls(op) + n, error);
    }
    std::optional<StorageError> failed = w.call(txn, tables);
    if (!failed.has_value()) {
      ADD_FAILURE() << "the call did not fail";
      return total;
    }
    if (fault == Fault::kAllocation) {
      EXPECT_EQ(failed->to_string(), "I/O error: injected allocation failure");
    } else {
      EXPECT_EQ(*failed, StorageError::IoErrno(error));
    }
    w.after_failure(txn);
    expect_aborted_cleanly(txn, s, fault != Fault::kAllocation);
    if (::testing::Test::HasFatalFailure()) return total;
  }
  return total;
}

TEST(TableTreeFaultTest, EveryPageReadFailure) {
  for (const auto& w : workloads()) EXPECT_GT(every_failure(w, Fault::kRead), 5u) << w.name;
}

TEST(TableTreeFaultTest, EveryPageWriteFailure) {
  uint64_t total = 0;
  for (const auto& w : workloads()) total += every_failure(w, Fault::kWrite);
  EXPECT_GT(total, 3u);
}

TEST(TableTreeFaultTest, EveryPageAllocationFailure) {
  for (const auto& w : workloads()) EXPECT_GT(every_failure(w, Fault::kAllocation), 0u) << w.name;
}

}  // namespace
}  // namespace storage
