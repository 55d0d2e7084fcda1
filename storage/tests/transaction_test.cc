// Write and read transactions through the engine's public face: opening
// tables, staged roots, abort and drop (returning every page), limits, the
// table-level write cursor, lifetime checks, snapshots and damaged text.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "storage/src/transactions/transaction_state.h"
#include "storage/table.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/panic_text.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/transaction_fixture.h"
#include "storage/transaction.h"

namespace storage {
namespace {

using test::TransactionFixture;
using TextTable = Table<TextCodec, TextCodec>;
using RecordTable = Table<U64Codec, BytesCodec>;

std::vector<uint8_t> value_of(uint64_t key, size_t len) {
  std::vector<uint8_t> v(len);
  for (size_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(key * 31 + i);
  return v;
}

template <typename T>
T ok(Result<T, StorageError> r) {
  if (!r.ok()) throw std::runtime_error(r.error().to_string());
  return std::move(r).value();
}
template <typename T>
T ok(Result<T, TableError> r) {
  if (!r.ok()) throw std::runtime_error(r.error().to_string());
  return std::move(r).value();
}

// The committed rows of a u64 → bytes table, in iteration order.
std::vector<std::pair<uint64_t, std::vector<uint8_t>>> read_records(TransactionFixture& db,
                                                                    const std::string& name) {
  ReadTransaction rtx = db.begin_read();
  auto table = ok(rtx.open_table<U64Codec, BytesCodec>(name));
  auto range = ok(table.iter());
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> out;
  while (auto entry = range.next()) {
    auto [k, v] = ok(std::move(*entry));
    out.emplace_back(k.value(), std::vector<uint8_t>(v.bytes().begin(), v.bytes().end()));
  }
  return out;
}

void fill_records(TransactionFixture& db, const std::string& name, uint64_t count,
                  size_t value_len) {
  WriteTransaction txn = db.begin_write();
  {
    RecordTable table = ok(txn.open_table<U64Codec, BytesCodec>(name));
    for (uint64_t k = 0; k < count; ++k) {
      const auto v = value_of(k, value_len);
      ASSERT_TRUE(table.insert(k, ByteView(v)).ok());
    }
  }
  ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
}

// ---- Opening tables --------------------------------------------------------------------

TEST(WriteTransactionTest, OpeningATableTwiceNamesTheFirstOpening) {
  TransactionFixture db;
  WriteTransaction txn = db.begin_write();
  // clang-format off
  auto first = txn.open_table<TextCodec, TextCodec>("meta"); const int line = __LINE__;
  // clang-format on
  ASSERT_TRUE(first.ok());
  auto second = txn.open_table<TextCodec, TextCodec>("meta");
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind(), TableError::Kind::kOpenTwice);
  const std::string prefix =
      "Table 'meta' already opened at: " + std::string(__FILE__) + ":" + std::to_string(line) + ":";
  EXPECT_EQ(second.error().to_string().rfind(prefix, 0), 0u) << second.error().to_string();
  // The first handle is still good.
  EXPECT_TRUE(first->insert("k", "v").ok());
}

TEST(WriteTransactionTest, ReopeningADroppedTableSeesItsRows) {
  TransactionFixture db;
  WriteTransaction txn = db.begin_write();
  {
    TextTable meta = ok(txn.open_table<TextCodec, TextCodec>("meta"));
    ASSERT_TRUE(meta.insert("build_id", "b1").ok());
    ASSERT_TRUE(meta.insert("schema", "s1").ok());
  }
  {
    TextTable meta = ok(txn.open_table<TextCodec, TextCodec>("meta"));
    // The staged root came back: replacing a row returns the old value.
    auto old = ok(meta.insert("build_id", "b2"));
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->value(), "b1");
  }
  ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());

  ReadTransaction rtx = db.begin_read();
  auto meta = ok(rtx.open_table<TextCodec, TextCodec>("meta"));
  EXPECT_EQ(ok(meta.get("build_id"))->value(), "b2");
  EXPECT_EQ(ok(meta.get("schema"))->value(), "s1");
}

TEST(WriteTransactionTest, TwoNewTablesInOneTransaction) {
  TransactionFixture db;
  WriteTransaction txn = db.begin_write();
  {
    auto prefixes = ok(txn.open_table<U16Codec, TextCodec>("prefixes"));
    auto curies = ok(txn.open_table<U32Codec, BytesCodec>("curies"));
    ASSERT_TRUE(prefixes.insert(uint16_t{7}, "MONDO").ok());
    const std::vector<uint8_t> row{1, 2, 3};
    ASSERT_TRUE(curies.insert(uint32_t{9}, ByteView(row)).ok());
  }
  ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());

  ReadTransaction rtx = db.begin_read();
  auto prefixes = ok(rtx.open_table<U16Codec, TextCodec>("prefixes"));
  auto curies = ok(rtx.open_table<U32Codec, BytesCodec>("curies"));
  EXPECT_EQ(ok(prefixes.get(7))->value(), "MONDO");
  EXPECT_EQ(ok(curies.get(9))->bytes().size(), 3u);
  EXPECT_FALSE(ok(curies.get(8)).has_value());
}

TEST(WriteTransactionTest, OpeningWithOtherTypesIsRefusedAndCreatesNothing) {
  TransactionFixture db;
  {
    WriteTransaction txn = db.begin_write();
    ok(txn.open_table<TextCodec, TextCodec>("meta"));
    ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  }
  WriteTransaction txn = db.begin_write();
  auto wrong = txn.open_table<U64Codec, BytesCodec>("meta");
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().to_string(), "meta is of type Table<&str, &str>");

  ReadTransaction rtx = db.begin_read();
  auto read_wrong = rtx.open_table<U16Codec, TextCodec>("meta");
  ASSERT_FALSE(read_wrong.ok());
  EXPECT_EQ(read_wrong.error().to_string(), "meta is of type Table<&str, &str>");
  auto missing = rtx.open_table<U16Codec, TextCodec>("prefixes");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().to_string(), "Table 'prefixes' does not exist");
}

TEST(WriteTransactionTest, DurabilityAndPoisonFlags) {
  TransactionFixture db;
  WriteTransaction txn = db.begin_write();
  EXPECT_EQ(txn.durability(), Durability::kDurable);
  EXPECT_TRUE(txn.set_durability(Durability::kNonDurable).ok());
  EXPECT_EQ(txn.durability(), Durability::kNonDurable);
  EXPECT_TRUE(txn.set_durability(Durability::kDurable).ok());
  EXPECT_FALSE(txn.is_poisoned());
  txn.poison();
  EXPECT_TRUE(txn.is_poisoned());
}

TEST(WriteTransactionTest, TransactionIdsRiseAndOneWriterAtATime) {
  TransactionFixture db;
  uint64_t last = 0;
  for (int i = 0; i < 3; ++i) {
    WriteTransaction txn = db.begin_write();
    EXPECT_GT(txn.transaction_id(), last);
    last = txn.transaction_id();
  }
}

// ---- Poisoning ---------------------------------------------------------------------------

TEST(WriteTransactionTest, APoisonedTransactionStagesNothingAndCannotCommit) {
  TransactionFixture db;
  fill_records(db, "records", 50, 40);
  const test::PageUnits before = db.allocated();
  WriteTransaction txn = db.begin_write();
  {
    RecordTable t = ok(txn.open_table<U64Codec, BytesCodec>("records"));
    const auto v = value_of(1000, 40);
    ASSERT_TRUE(t.insert(1000, ByteView(v)).ok());
    txn.poison();
  }
  // The name was released (no "already opened"), but a poisoned transaction
  // reads and edits nothing more.
  {
    auto again = txn.open_table<U64Codec, BytesCodec>("records");
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().kind(), TableError::Kind::kStorageFailure);
    EXPECT_EQ(again.error().storage_error(), StorageError::PreviousIo());
  }
  auto committed = test::commit_for_test(std::move(txn));
  ASSERT_FALSE(committed.ok());
  EXPECT_EQ(committed.error().to_string(), "Transaction was poisoned by a panic");
  EXPECT_TRUE(db.allocated() == before);
  EXPECT_EQ(read_records(db, "records").size(), 50u);
}

// ---- Abort and drop ----------------------------------------------------------------------

enum class Ending { kAbort, kDrop, kDropWhileUnwinding, kDropWhilePanicking };

class EndingTest : public ::testing::TestWithParam<Ending> {};

TEST_P(EndingTest, ReturnsEveryPageAndKeepsTheOldRoots) {
  TransactionFixture db;
  fill_records(db, "records", 300, 200);
  const test::PageUnits before = db.allocated();
  const auto old_rows = read_records(db, "records");
  const uint64_t first_id = [&] { return db.begin_write().transaction_id(); }();

  auto work = [&](WriteTransaction& txn) {
    {
      RecordTable t = ok(txn.open_table<U64Codec, BytesCodec>("records"));
      for (uint64_t k = 0; k < 300; k += 3) ASSERT_TRUE(t.insert(k, ByteView(value_of(k + 1, 300))).ok());
      for (uint64_t k = 1000; k < 1400; ++k) ASSERT_TRUE(t.insert(k, ByteView(value_of(k, 100))).ok());
    }
    {
      TextTable meta = ok(txn.open_table<TextCodec, TextCodec>("meta"));
      ASSERT_TRUE(meta.insert("a", "b").ok());
    }
    RecordTable fresh = ok(txn.open_table<U64Codec, BytesCodec>("fresh"));
    auto cursor = ok(fresh.upper_bound_mut(CursorBound::unbounded()));
    for (uint64_t k = 0; k < 2000; ++k) ASSERT_TRUE(cursor.insert_before(k, ByteView(value_of(k, 700))).ok());
    ASSERT_TRUE(std::move(cursor).close().ok());
    EXPECT_GT(db.allocated().size(), before.size() + 100);
  };

  switch (GetParam()) {
    case Ending::kAbort: {
      WriteTransaction txn = db.begin_write();
      work(txn);
      EXPECT_TRUE(std::move(txn).abort().ok());
      break;
    }
    case Ending::kDrop: {
      WriteTransaction txn = db.begin_write();
      work(txn);
      break;
    }
    case Ending::kDropWhileUnwinding:
      try {
        WriteTransaction txn = db.begin_write();
        work(txn);
        throw std::runtime_error("caller failed");
      } catch (const std::runtime_error&) {
      }
      break;
    case Ending::kDropWhilePanicking:
      EXPECT_EQ(test::panic_text([&] {
                  WriteTransaction txn = db.begin_write();
                  work(txn);
                  panic("broken invariant");
                }),
                "broken invariant");
      break;
  }
  EXPECT_TRUE(db.allocated() == before);
  EXPECT_TRUE(db.mem()->allocator_state_loaded());
  EXPECT_TRUE(read_records(db, "records") == old_rows);
  ReadTransaction rtx = db.begin_read();
  auto meta = rtx.open_table<TextCodec, TextCodec>("meta");
  ASSERT_FALSE(meta.ok());
  EXPECT_EQ(meta.error().kind(), TableError::Kind::kNoSuchTable);
  // The writer slot is free again, with a later id.
  WriteTransaction next = db.begin_write();
  EXPECT_GT(next.transaction_id(), first_id);
}

INSTANTIATE_TEST_SUITE_P(Endings, EndingTest,
                         ::testing::Values(Ending::kAbort, Ending::kDrop,
                                           Ending::kDropWhileUnwinding,
                                           Ending::kDropWhilePanicking));

TEST(WriteTransactionTest, AbortAfterAFailedSyncKeepsThePages) {
  auto faults = std::make_shared<test::FaultPlan>();
  TransactionFixture db({.faults = faults});
  fill_records(db, "records", 100, 100);
  const test::PageUnits before = db.allocated();
  WriteTransaction txn = db.begin_write();
  {
    RecordTable t = ok(txn.open_table<U64Codec, BytesCodec>("records"));
    for (uint64_t k = 100; k < 300; ++k) ASSERT_TRUE(t.insert(k, ByteView(value_of(k, 100))).ok());
  }
  const test::PageUnits during = db.allocated();
  ASSERT_GT(during.size(), before.size());
  faults->fail_nth(test::BackendOp::kSync, faults->calls(test::BackendOp::kSync) + 1, EIO);
  ASSERT_FALSE(db.mem()->clear_recovery_required().ok());

  auto aborted = std::move(txn).abort();
  ASSERT_FALSE(aborted.ok());
  EXPECT_EQ(aborted.error(), StorageError::PreviousIo());
  EXPECT_TRUE(db.allocated() == during);
  auto next = db.try_begin_write();
  ASSERT_FALSE(next.ok());
  EXPECT_EQ(next.error().to_string(),
            "Previous I/O error occurred. Please close and re-open the database.");
}

TEST(WriteTransactionTest, StartRefusesADiscardedAllocatorState) {
  TransactionFixture db;
  db.mem()->invalidate_allocator_state();
  auto txn = db.try_begin_write();
  ASSERT_FALSE(txn.ok());
  EXPECT_EQ(txn.error().to_string(),
            "DB corrupted: Allocator state was discarded by a failed integrity check or commit; "
            "reopen the database to repair it");
  // The refused start ended its registration.
  EXPECT_FALSE(db.tracker()->oldest_live_read_transaction().has_value());
  db.mem()->reset_allocator_state().value();
  EXPECT_TRUE(db.try_begin_write().ok());
}

TEST(WriteTransactionTest, DropAfterAFailedSyncKeepsThePages) {
  auto faults = std::make_shared<test::FaultPlan>();
  TransactionFixture db({.faults = faults});
  {
    WriteTransaction txn = db.begin_write();
    {
      RecordTable t = ok(txn.open_table<U64Codec, BytesCodec>("records"));
      for (uint64_t k = 0; k < 200; ++k) ASSERT_TRUE(t.insert(k, ByteView(value_of(k, 100))).ok());
    }
    faults->fail_nth(test::BackendOp::kSync, faults->calls(test::BackendOp::kSync) + 1, EIO);
    ASSERT_FALSE(db.mem()->clear_recovery_required().ok());
    const test::PageUnits during = db.allocated();
    { WriteTransaction dropped = std::move(txn); }
    EXPECT_TRUE(db.allocated() == during);
  }
  // The writer slot was released all the same.
  EXPECT_EQ(db.try_begin_write().error().storage_error(), StorageError::PreviousIo());
}

// A lock of the transaction poisoned by a panic elsewhere: the table's
// release and the transaction's drop do not throw; the rollback that cannot
// be done leaves the allocator state discarded, so that the file is repaired
// rather than saved with the transaction's pages marked used.
TEST(WriteTransactionTest, DestructorsOnAPoisonedLockDoNotThrow) {
  TransactionFixture db;
  {
    WriteTransaction txn = db.begin_write();
    std::optional<TextTable> meta(ok(txn.open_table<TextCodec, TextCodec>("meta")));
    ASSERT_TRUE(meta->insert("a", "b").ok());
    auto state = detail::WriteTransactionAccess::state(txn);
    EXPECT_EQ(test::panic_text([&] {
                auto held = state->tables.lock_or_panic();
                panic("failed while holding the table namespace");
              }),
              "failed while holding the table namespace");
    ASSERT_TRUE(state->tables.is_poisoned());
    meta.reset();
    EXPECT_TRUE(txn.is_poisoned());
    EXPECT_TRUE(db.mem()->allocator_state_loaded());
  }
  EXPECT_FALSE(db.mem()->allocator_state_loaded());
  auto next = db.try_begin_write();
  ASSERT_FALSE(next.ok());
  EXPECT_EQ(next.error().storage_error().kind(), StorageError::Kind::kCorrupted);
}

// ---- Lifetimes ---------------------------------------------------------------------------

TEST(WriteTransactionTest, LifetimeChecksPanicWithTheirTexts) {
  TransactionFixture db;
  {
    // Aborting with a table open names it; the drop then rolls back.
    WriteTransaction txn = db.begin_write();
    TextTable meta = ok(txn.open_table<TextCodec, TextCodec>("meta"));
    EXPECT_EQ(test::panic_text([&] { (void)std::move(txn).abort(); }),
              "Table 'meta' is still open: drop its handle and cursors before the transaction "
              "ends");
  }
  {
    // A cursor keeps its table open, also after the handle is gone.
    WriteTransaction txn = db.begin_write();
    std::optional<CursorMut> cursor;
    {
      RecordTable t = ok(txn.open_table<U64Codec, BytesCodec>("records"));
      cursor.emplace(ok(t.upper_bound_mut(CursorBound::unbounded())));
      EXPECT_EQ(test::panic_text([&] { (void)t.insert(1, ByteView()); }),
                "Table 'records' has an open cursor: close it first");
      EXPECT_EQ(test::panic_text([&] { (void)t.upper_bound_mut(CursorBound::unbounded()); }),
                "Table 'records' has an open cursor: close it first");
    }
    ASSERT_TRUE(cursor->insert_before(4, ByteView()).ok());
    // The commit takes the transaction: its panic drops (rolls back) it.
    EXPECT_EQ(test::panic_text([&] { (void)test::commit_for_test(std::move(txn)); }),
              "Table 'records' is still open: drop its handle and cursors before the "
              "transaction ends");
    EXPECT_EQ(test::panic_text([&] { (void)cursor->insert_before(5, ByteView()); }),
              "Table 'records' used after its transaction ended");
    cursor.reset();
    ReadTransaction rtx = db.begin_read();
    auto records = rtx.open_table<U64Codec, BytesCodec>("records");
    EXPECT_FALSE(records.ok());
  }
  {
    // A table that outlives its transaction refuses every use, and its
    // release stages nothing and does not throw.
    std::optional<TextTable> meta;
    {
      WriteTransaction txn = db.begin_write();
      meta.emplace(ok(txn.open_table<TextCodec, TextCodec>("meta")));
    }
    EXPECT_EQ(test::panic_text([&] { (void)meta->insert("a", "b"); }),
              "Table 'meta' used after its transaction ended");
    meta.reset();
    // The writer was held by the table until now.
    WriteTransaction txn = db.begin_write();
    EXPECT_FALSE(txn.is_poisoned());
  }
}

// ---- Limits ------------------------------------------------------------------------------

// Address space that is never touched: refusals must not read a byte of it.
class Untouched {
 public:
  explicit Untouched(size_t len) : len_(len) {
    void* p = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap");
    data_ = static_cast<const uint8_t*>(p);
  }
  ~Untouched() { munmap(const_cast<uint8_t*>(data_), len_); }
  ByteView bytes(size_t len) const { return ByteView(data_, len); }
  std::string_view text(size_t len) const {
    return std::string_view(reinterpret_cast<const char*>(data_), len);
  }

 private:
  const uint8_t* data_;
  size_t len_;
};

TEST(TableLimitsTest, OversizedValuesKeysAndPairsAreRefusedBeforeAnyWrite) {
  EXPECT_TRUE(detail::check_insert_limits(8, 0xC0000000).ok());
  EXPECT_TRUE(detail::check_insert_limits(0xC0000000, 0).ok());
  EXPECT_TRUE(detail::check_insert_limits(0x80000000, 0x70000000).ok());
  EXPECT_EQ(detail::check_insert_limits(0x80000000, 0x70000001).error(),
            StorageError::ValueTooLarge(0xF0000001));

  Untouched memory(size_t{0xF0000002});
  TransactionFixture db;
  const test::PageUnits before = db.allocated();
  WriteTransaction txn = db.begin_write();
  {
    RecordTable records = ok(txn.open_table<U64Codec, BytesCodec>("records"));
    auto value = records.insert(1, memory.bytes(0xC0000001));
    ASSERT_FALSE(value.ok());
    EXPECT_EQ(value.error().to_string(),
              "The value (length=3221225473) being inserted exceeds the maximum of 3GiB");
    auto cursor = ok(records.upper_bound_mut(CursorBound::unbounded()));
    auto cursor_value = cursor.insert_before(1, memory.bytes(0xC0000001));
    ASSERT_FALSE(cursor_value.ok());
    EXPECT_EQ(cursor_value.error(), StorageError::ValueTooLarge(0xC0000001));
    // Not a failure of the cursor: it goes on.
    EXPECT_TRUE(cursor.insert_before(1, ByteView()).ok());
    EXPECT_TRUE(std::move(cursor).close().ok());

    Table<TextCodec, BytesCodec> blobs = ok(txn.open_table<TextCodec, BytesCodec>("blobs"));
    auto key = blobs.insert(memory.text(0xC0000001), ByteView());
    ASSERT_FALSE(key.ok());
    EXPECT_EQ(key.error(), StorageError::ValueTooLarge(0xC0000001));
    auto pair = blobs.insert(memory.text(0x80000000), memory.bytes(0x70000001));
    ASSERT_FALSE(pair.ok());
    EXPECT_EQ(pair.error().to_string(),
              "The value (length=4026531841) being inserted exceeds the maximum of 3GiB");
    EXPECT_TRUE(blobs.insert("small", ByteView()).ok());
  }
  EXPECT_FALSE(txn.is_poisoned());
  ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  EXPECT_EQ(read_records(db, "records").size(), 1u);
  EXPECT_GE(db.allocated().size(), before.size());
}

// ---- The write cursor ----------------------------------------------------------------------

TEST(CursorMutTableTest, RepeatingTheLastKeyIsUnorderedAndTheCursorGoesOn) {
  TransactionFixture db;
  WriteTransaction txn = db.begin_write();
  {
    RecordTable t = ok(txn.open_table<U64Codec, BytesCodec>("records"));
    CursorMut cursor = ok(t.upper_bound_mut(CursorBound::unbounded()));
    for (uint64_t k : {3, 5, 9}) ASSERT_TRUE(cursor.insert_before(k, ByteView(value_of(k, 9))).ok());
    auto again = cursor.insert_before(9, ByteView(value_of(9, 9)));
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().to_string(),
              "The key does not sort strictly between the entries adjacent to the cursor");
    auto smaller = cursor.insert_before(4, ByteView());
    EXPECT_EQ(smaller.error(), StorageError::UnorderedKey());
    EXPECT_TRUE(cursor.insert_before(10, ByteView(value_of(10, 9))).ok());
    EXPECT_TRUE(std::move(cursor).close().ok());
  }
  EXPECT_FALSE(txn.is_poisoned());
  ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  const auto rows = read_records(db, "records");
  ASSERT_EQ(rows.size(), 4u);
  std::vector<uint64_t> keys;
  for (const auto& [k, v] : rows) {
    keys.push_back(k);
    EXPECT_EQ(v, value_of(k, 9));
  }
  EXPECT_EQ(keys, (std::vector<uint64_t>{3, 5, 9, 10}));
}

TEST(CursorMutTableTest, BoundsPlaceTheCursorAndDroppingItWritesTheRun) {
  TransactionFixture db;
  WriteTransaction txn = db.begin_write();
  {
    RecordTable t = ok(txn.open_table<U64Codec, BytesCodec>("records"));
    for (uint64_t k = 0; k < 1000; k += 10) ASSERT_TRUE(t.insert(k, ByteView(value_of(k, 50))).ok());
    {
      // After every key <= 500: 501..509 fit, 510 does not.
      CursorMut c = ok(t.upper_bound_mut(CursorBound::included(500)));
      EXPECT_TRUE(c.insert_before(501, ByteView()).ok());
      EXPECT_EQ(c.insert_before(510, ByteView()).error(), StorageError::UnorderedKey());
      EXPECT_TRUE(c.insert_before(509, ByteView()).ok());
    }  // dropped open: the run is written
    {
      // After every key < 700: 691..699 fit.
      CursorMut c = ok(t.upper_bound_mut(CursorBound::excluded(700)));
      EXPECT_EQ(c.insert_before(690, ByteView()).error(), StorageError::UnorderedKey());
      EXPECT_TRUE(c.insert_before(695, ByteView()).ok());
      EXPECT_TRUE(std::move(c).close().ok());
    }
  }
  ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  const auto rows = read_records(db, "records");
  EXPECT_EQ(rows.size(), 103u);
  std::map<uint64_t, size_t> got;
  for (const auto& [k, v] : rows) got[k] = v.size();
  EXPECT_TRUE(got.contains(501) && got.contains(509) && got.contains(695));
}

// A closed cursor, and the husk a move leaves behind, hold nothing: an insert
// through either is an error value and closing again does nothing, also after
// the table and its transaction went on without them.
TEST(CursorMutTableTest, AClosedOrMovedFromCursorRefusesInsertsAndClosesAsANoOp) {
  TransactionFixture db;
  WriteTransaction txn = db.begin_write();
  std::optional<CursorMut> closed;
  std::optional<CursorMut> husk;
  {
    RecordTable t = ok(txn.open_table<U64Codec, BytesCodec>("records"));
    closed.emplace(ok(t.upper_bound_mut(CursorBound::unbounded())));
    // Under 1 MiB: the run stays buffered until the close writes it.
    for (uint64_t k = 1; k <= 400; ++k) {
      ASSERT_TRUE(closed->insert_before(k, ByteView(value_of(k, 2000))).ok());
    }
    ASSERT_TRUE(std::move(*closed).close().ok());
    EXPECT_EQ(closed->insert_before(401, ByteView()).error(), StorageError::PreviousIo());
    EXPECT_TRUE(std::move(*closed).close().ok());
    EXPECT_EQ(closed->insert_before(402, ByteView()).error(), StorageError::PreviousIo());
    // The closed cursor no longer holds the table: a new one opens.
    husk.emplace(ok(t.upper_bound_mut(CursorBound::unbounded())));
    CursorMut live = std::move(*husk);
    EXPECT_EQ(husk->insert_before(500, ByteView()).error(), StorageError::PreviousIo());
    EXPECT_TRUE(std::move(*husk).close().ok());
    // The husk's close did not close the cursor it was moved into.
    ASSERT_TRUE(live.insert_before(501, ByteView(value_of(501, 9))).ok());
    ASSERT_TRUE(std::move(live).close().ok());
  }
  EXPECT_FALSE(txn.is_poisoned());
  // Both handles are still alive: the transaction commits without them.
  ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  EXPECT_EQ(closed->insert_before(600, ByteView()).error(), StorageError::PreviousIo());
  EXPECT_TRUE(std::move(*husk).close().ok());
  const auto rows = read_records(db, "records");
  ASSERT_EQ(rows.size(), 401u);
  for (uint64_t k = 1; k <= 400; ++k) EXPECT_EQ(rows[k - 1], std::make_pair(k, value_of(k, 2000)));
  EXPECT_EQ(rows[400], std::make_pair(uint64_t{501}, value_of(501, 9)));
}

// A committed table too large for the cache, and a cursor that appends in
// the middle of it, with backend reads failing one at a time.
TEST(CursorMutTableTest, AFailedReadIsReportedThenPreviousIoWithoutPoisoning) {
  size_t insert_failures = 0;
  for (uint64_t n = 1;; n += 1 + n / 8) {
    SCOPED_TRACE("read " + std::to_string(n));
    auto faults = std::make_shared<test::FaultPlan>();
    TransactionFixture db({.cache_bytes = size_t{32} << 10, .faults = faults});
    fill_records(db, "records", 2000, 64);
    db.mem()->invalidate_cache_all();
    WriteTransaction txn = db.begin_write();
    faults->fail_nth(test::BackendOp::kRead, faults->calls(test::BackendOp::kRead) + n, EIO);
    bool failed = false;
    auto opened = txn.open_table<U64Codec, BytesCodec>("records");
    if (!opened.ok()) {
      EXPECT_EQ(opened.error().storage_error().kind(), StorageError::Kind::kIo);
      failed = true;
    } else {
      RecordTable t = std::move(opened).value();
      auto cursor = t.upper_bound_mut(CursorBound::included(1000));
      if (!cursor.ok()) {
        EXPECT_EQ(cursor.error().kind(), StorageError::Kind::kIo);
        failed = true;
      } else {
        // 1000 is followed by 1001: only one key fits; a second cursor
        // appends at the end.
        auto first = cursor->insert_before(1000, ByteView());
        EXPECT_EQ(first.error(), StorageError::UnorderedKey());
        CursorMut c = std::move(cursor).value();
        ASSERT_TRUE(std::move(c).close().ok());
        auto tail = t.upper_bound_mut(CursorBound::unbounded());
        if (!tail.ok()) {
          EXPECT_EQ(tail.error().kind(), StorageError::Kind::kIo);
          failed = true;
        } else {
          // Runs over 1 MiB are spliced and the cursor seeks its place again,
          // through pages the small cache has written out.
          for (uint64_t k = 5000; k < 8000; ++k) {
            auto r = tail->insert_before(k, ByteView(value_of(k, 1000)));
            if (!r.ok()) {
              EXPECT_EQ(r.error().kind(), StorageError::Kind::kIo);
              EXPECT_EQ(tail->insert_before(k + 1, ByteView()).error(), StorageError::PreviousIo());
              ++insert_failures;
              failed = true;
              break;
            }
          }
          (void)std::move(tail).value().close();
        }
      }
    }
    if (!failed) break;
    EXPECT_FALSE(txn.is_poisoned());
  }
  EXPECT_GT(insert_failures, 0u);
}

TEST(CursorMutTableTest, AFailedSplicePoisonsTheTransaction) {
  auto faults = std::make_shared<test::FaultPlan>();
  TransactionFixture db({.faults = faults});
  const test::PageUnits before = db.allocated();
  WriteTransaction txn = db.begin_write();
  {
    RecordTable t = ok(txn.open_table<U64Codec, BytesCodec>("records"));
    CursorMut c = ok(t.upper_bound_mut(CursorBound::unbounded()));
    // Growing the file fails: the run's pages cannot be allocated.
    faults->fail_nth(test::BackendOp::kSetLen, faults->calls(test::BackendOp::kSetLen) + 1,
                     ENOSPC);
    std::optional<StorageError> error;
    for (uint64_t k = 0; k < 3000 && !error; ++k) {
      auto r = c.insert_before(k, ByteView(value_of(k, 2000)));
      if (!r.ok()) error = r.error();
    }
    if (!error) {
      auto closed = std::move(c).close();
      ASSERT_FALSE(closed.ok());
      error = closed.error();
    } else {
      EXPECT_EQ(c.insert_before(1u << 30, ByteView()).error(), StorageError::PreviousIo());
    }
    EXPECT_EQ(error->kind(), StorageError::Kind::kIo);
    EXPECT_TRUE(txn.is_poisoned());
  }
  // The store failed with the resize: nothing can be rolled back.
  EXPECT_EQ(std::move(txn).abort().error(), StorageError::PreviousIo());
  (void)before;
}

// Narrow integer keys through the cursor: acceptance follows numeric order
// (not the little-endian bytes), a bound above the widest key lands after
// the last entry, and runs over 1 MiB splice mid-way; std::map is the model.
template <typename K>
class NarrowKeyCursorTest : public ::testing::Test {};
using NarrowKeyCodecs = ::testing::Types<U8Codec, U16Codec, U32Codec>;
TYPED_TEST_SUITE(NarrowKeyCursorTest, NarrowKeyCodecs);

TYPED_TEST(NarrowKeyCursorTest, AppendsMatchAModelOfTheGap) {
  using K = TypeParam;
  using T = typename K::Decoded;
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (RS_TEST_SEED replays it)");
  std::mt19937_64 rng(seed);
  const uint64_t top = std::numeric_limits<T>::max();
  const uint64_t span = std::min<uint64_t>(top, 40'000);
  // Values large enough that every key width crosses the splice threshold.
  const size_t value_len = sizeof(T) == 1 ? 6000 : 400;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TransactionFixture db;
    std::map<uint64_t, std::vector<uint8_t>> model;
    WriteTransaction txn = db.begin_write();
    {
      auto table = ok(txn.open_table<K, BytesCodec>("narrow"));
      for (int i = 0; i < 40; ++i) {
        const uint64_t k = rng() % (span + 1);
        model[k] = value_of(k, 20);
        ASSERT_TRUE(table.insert(static_cast<T>(k), ByteView(model[k])).ok());
      }
      // The bound, and the gap it gives: keys strictly between lower and upper.
      const uint64_t b = rng() % (span + 1);
      CursorBound bound = CursorBound::unbounded();
      if (round % 3 == 0) bound = CursorBound::included(b);
      if (round % 3 == 1) bound = CursorBound::excluded(b);
      if (round == 5) bound = CursorBound::included(uint64_t{top} + 1 + rng() % 1000);
      auto upper = model.end();
      if (bound.kind == CursorBound::Kind::kIncluded) upper = model.upper_bound(bound.key);
      if (bound.kind == CursorBound::Kind::kExcluded) upper = model.lower_bound(bound.key);
      // Keys are shifted up by one here, so that 0 stands for "none below".
      const uint64_t lower = upper == model.begin() ? 0 : std::prev(upper)->first + 1;
      const uint64_t next = upper == model.end() ? top + 2 : upper->first + 1;
      auto cursor = ok(table.upper_bound_mut(bound));
      std::vector<std::pair<uint64_t, std::vector<uint8_t>>> accepted;
      uint64_t k = lower == 0 ? 0 : lower - 1;
      for (int i = 0; i < 4000 && k <= top; ++i) {
        if (rng() % 8 == 0 && k > 0) --k;  // now and then a repeat or a step back
        const uint64_t last = accepted.empty() ? lower : accepted.back().first + 1;
        const bool fits = k + 1 > last && k + 1 < next;
        auto v = value_of(k, value_len);
        auto inserted = cursor.insert_before(static_cast<T>(k), ByteView(v));
        ASSERT_EQ(inserted.ok(), fits) << "key " << k;
        if (fits) {
          accepted.emplace_back(k, std::move(v));
        } else {
          EXPECT_EQ(inserted.error(), StorageError::UnorderedKey());
        }
        k += 1 + rng() % 3;
      }
      ASSERT_TRUE(std::move(cursor).close().ok());
      for (auto& [key, v] : accepted) model[key] = std::move(v);
    }
    ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
    ReadTransaction rtx = db.begin_read();
    auto table = ok(rtx.open_table<K, BytesCodec>("narrow"));
    auto range = ok(table.iter());
    auto expected = model.begin();
    while (auto entry = range.next()) {
      auto [key, value] = ok(std::move(*entry));
      ASSERT_NE(expected, model.end());
      EXPECT_EQ(uint64_t{key.value()}, expected->first);
      EXPECT_TRUE(std::equal(value.bytes().begin(), value.bytes().end(), expected->second.begin(),
                             expected->second.end()));
      ++expected;
    }
    EXPECT_EQ(expected, model.end());
  }
}

// ---- Reads ----------------------------------------------------------------------------------

TEST(ReadTransactionTest, GetIterAndSnapshotsThatSurviveCommits) {
  TransactionFixture db;
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (RS_TEST_SEED replays it)");
  std::mt19937_64 rng(seed);
  std::map<uint16_t, std::string> model;
  {
    WriteTransaction txn = db.begin_write();
    {
      auto t = ok(txn.open_table<U16Codec, TextCodec>("prefixes"));
      auto empty = ok(txn.open_table<U8Codec, BytesCodec>("sources"));
      for (int i = 0; i < 800; ++i) {
        const auto k = static_cast<uint16_t>(rng() % 5000);
        const std::string v = "p" + std::to_string(rng() % 100000);
        model[k] = v;
        ASSERT_TRUE(t.insert(k, v).ok());
      }
    }
    ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  }

  ReadTransaction rtx = db.begin_read();
  auto snapshot = ok(rtx.open_table<U16Codec, TextCodec>("prefixes"));
  auto sources = ok(rtx.open_table<U8Codec, BytesCodec>("sources"));
  EXPECT_FALSE(ok(sources.iter()).next().has_value());
  EXPECT_FALSE(ok(sources.get(1)).has_value());

  // Overwrite everything and add more in later commits.
  for (int round = 0; round < 3; ++round) {
    WriteTransaction txn = db.begin_write();
    {
      auto t = ok(txn.open_table<U16Codec, TextCodec>("prefixes"));
      for (uint16_t k = 0; k < 5000; k += 7) ASSERT_TRUE(t.insert(k, "new").ok());
    }
    ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  }

  for (uint16_t k = 0; k < 5000; k += 13) {
    auto found = ok(snapshot.get(k));
    auto want = model.find(k);
    ASSERT_EQ(found.has_value(), want != model.end()) << k;
    if (found) {
      EXPECT_EQ(found->value(), want->second);
    }
  }
  // The range outlives the transaction and the table handle.
  auto range = ok(snapshot.iter());
  {
    ReadTransaction gone = std::move(rtx);
  }
  auto want = model.begin();
  while (auto entry = range.next()) {
    auto [k, v] = ok(std::move(*entry));
    ASSERT_NE(want, model.end());
    EXPECT_EQ(k.value(), want->first);
    EXPECT_EQ(v.value(), want->second);
    ++want;
  }
  EXPECT_EQ(want, model.end());
  EXPECT_TRUE(db.tracker()->oldest_live_read_transaction().has_value());
}

TEST(ReadTransactionTest, TheSnapshotStaysPinnedWhileAnyHandleLives) {
  TransactionFixture db;
  fill_records(db, "records", 10, 10);
  std::optional<ReadOnlyTable<U64Codec, BytesCodec>> table;
  std::optional<Range<U64Codec, BytesCodec>> range;
  {
    ReadTransaction rtx = db.begin_read();
    table.emplace(ok(rtx.open_table<U64Codec, BytesCodec>("records")));
    range.emplace(ok(table->iter()));
  }
  EXPECT_TRUE(db.tracker()->oldest_live_read_transaction().has_value());
  table.reset();
  EXPECT_TRUE(db.tracker()->oldest_live_read_transaction().has_value());
  range.reset();
  EXPECT_FALSE(db.tracker()->oldest_live_read_transaction().has_value());
}

TEST(ReadTransactionTest, ScannedEntriesKeepTheirBytesAfterEverythingElseIsGone) {
  // Entries of one leaf share what keeps the leaf alive; each must still read
  // its own bytes once the range, table and transaction are gone and later
  // commits have rewritten and freed every page they came from.
  TransactionFixture db;
  constexpr uint64_t kCount = 3000;  // many leaves
  fill_records(db, "records", kCount, 40);
  std::vector<std::pair<StoredValue<U64Codec>, StoredValue<BytesCodec>>> kept;
  {
    ReadTransaction rtx = db.begin_read();
    auto table = ok(rtx.open_table<U64Codec, BytesCodec>("records"));
    auto range = ok(table.iter());
    while (auto entry = range.next()) kept.push_back(ok(std::move(*entry)));
  }
  ASSERT_EQ(kept.size(), kCount);
  for (int round = 0; round < 2; ++round) {
    WriteTransaction txn = db.begin_write();
    {
      RecordTable table = ok(txn.open_table<U64Codec, BytesCodec>("records"));
      for (uint64_t k = 0; k < kCount; ++k) {
        const auto v = value_of(k + 1000000 * (round + 1), 40);
        ASSERT_TRUE(table.insert(k, ByteView(v)).ok());
      }
    }
    ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  }
  for (uint64_t k = 0; k < kCount; ++k) {
    const auto want = value_of(k, 40);
    ASSERT_EQ(kept[k].first.value(), k);
    ASSERT_TRUE(std::ranges::equal(kept[k].second.bytes(), ByteView(want))) << k;
  }
}

// Keys and values of up to StoredBytes::kInlineBytes bytes are handed out as
// copies, longer ones share their page: every length around that edge reads
// back the same from get, from a scan and as the old value an insert returns,
// also once the snapshot's pages are gone.
TEST(ReadTransactionTest, StoredBytesOfEveryLengthAroundTheCopyLimitReadBack) {
  TransactionFixture db;
  const size_t edge = StoredBytes::kInlineBytes;
  const std::vector<size_t> lengths = {0, 1, edge - 1, edge, edge + 1, 40, 300};
  const auto bytes_of = [](size_t len, uint8_t seed) {
    std::vector<uint8_t> b(len);
    for (size_t i = 0; i < len; ++i) b[i] = static_cast<uint8_t>(seed + 7 * i);
    return b;
  };
  // One key per (key length, value length); the first character tells them
  // apart (one empty key).
  std::map<std::string, std::vector<uint8_t>> model;
  for (size_t i = 0; i < lengths.size(); ++i) {
    for (size_t j = 0; j < lengths.size(); ++j) {
      if (lengths[i] == 0 && j > 0) continue;
      std::string key(lengths[i], static_cast<char>('a' + j));
      if (!key.empty()) key[0] = static_cast<char>('A' + i * lengths.size() + j);
      model[key] = bytes_of(lengths[j], static_cast<uint8_t>(i + 100));
    }
  }
  {
    WriteTransaction txn = db.begin_write();
    {
      auto table = ok(txn.open_table<TextCodec, BytesCodec>("sizes"));
      for (const auto& [k, v] : model) ASSERT_FALSE(ok(table.insert(k, ByteView(v))));
    }
    ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  }
  std::vector<std::pair<StoredValue<TextCodec>, StoredValue<BytesCodec>>> scanned;
  std::vector<StoredValue<BytesCodec>> got;
  {
    ReadTransaction rtx = db.begin_read();
    auto table = ok(rtx.open_table<TextCodec, BytesCodec>("sizes"));
    auto range = ok(table.iter());
    while (auto entry = range.next()) scanned.push_back(ok(std::move(*entry)));
    for (const auto& [k, v] : model) {
      auto found = ok(table.get(k));
      ASSERT_TRUE(found.has_value());
      got.push_back(std::move(*found));
    }
  }
  // Every pair replaced: the old values come back from the inserts, and the
  // pages the snapshot read from are freed.
  std::vector<StoredValue<BytesCodec>> old;
  for (int round = 0; round < 2; ++round) {
    WriteTransaction txn = db.begin_write();
    {
      auto table = ok(txn.open_table<TextCodec, BytesCodec>("sizes"));
      for (const auto& [k, v] : model) {
        const std::vector<uint8_t> next = bytes_of(v.size() + round + 1, 0xEE);
        auto replaced = ok(table.insert(k, ByteView(next)));
        ASSERT_TRUE(replaced.has_value());
        if (round == 0) old.push_back(std::move(*replaced));
      }
    }
    ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  }
  ASSERT_EQ(scanned.size(), model.size());
  ASSERT_EQ(old.size(), model.size());
  size_t i = 0;
  for (const auto& [k, v] : model) {
    EXPECT_EQ(scanned[i].first.value(), k) << i;
    EXPECT_TRUE(std::ranges::equal(scanned[i].second.bytes(), v)) << i;
    EXPECT_TRUE(std::ranges::equal(got[i].bytes(), v)) << i;
    EXPECT_TRUE(std::ranges::equal(old[i].bytes(), v)) << i;
    ++i;
  }
  // Copies and moves of the views keep reading the same bytes.
  auto copy = scanned;
  auto moved = std::move(scanned);
  for (size_t j = 0; j < copy.size(); ++j) {
    EXPECT_TRUE(std::ranges::equal(copy[j].second.bytes(), moved[j].second.bytes()));
    EXPECT_TRUE(std::ranges::equal(copy[j].first.bytes(), moved[j].first.bytes()));
  }
}

// Entries of one leaf share one count on it: they are dropped on other
// threads while the scan goes on and leaves the leaf, and each reads its own
// bytes until then (ThreadSanitizer and AddressSanitizer watch the count).
TEST(ReadTransactionConcurrentTest, ScannedEntriesDroppedOnOtherThreadsWhileTheScanGoesOn) {
  TransactionFixture db;
  constexpr uint64_t kCount = 4000;  // many leaves, each with more entries than one batch
  fill_records(db, "records", kCount, 24);
  using Entry = std::pair<StoredValue<U64Codec>, StoredValue<BytesCodec>>;
  constexpr size_t kThreads = 4;
  std::vector<std::vector<Entry>> handed(kThreads);
  std::vector<std::mutex> locks(kThreads);
  std::atomic<bool> done{false};
  std::atomic<uint64_t> checked{0};
  std::atomic<uint64_t> wrong{0};
  std::vector<std::thread> workers;
  for (size_t t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      while (true) {
        const bool last = done.load();
        std::vector<Entry> mine;
        {
          std::lock_guard<std::mutex> lock(locks[t]);
          mine.swap(handed[t]);
        }
        for (const auto& [k, v] : mine) {
          wrong += !std::ranges::equal(v.bytes(), value_of(k.value(), 24));
          ++checked;
        }
        mine.clear();  // the drops race with the scan and the other threads
        if (last) return;
        std::this_thread::yield();
      }
    });
  }
  {
    ReadTransaction rtx = db.begin_read();
    auto table = ok(rtx.open_table<U64Codec, BytesCodec>("records"));
    auto range = ok(table.iter());
    uint64_t n = 0;
    while (auto entry = range.next()) {
      const size_t t = n++ % kThreads;
      std::lock_guard<std::mutex> lock(locks[t]);
      handed[t].push_back(ok(std::move(*entry)));
    }
    EXPECT_EQ(n, kCount);
  }
  done = true;
  for (auto& w : workers) w.join();
  EXPECT_EQ(checked.load(), kCount);
  EXPECT_EQ(wrong.load(), 0u);
}

TEST(ReadTransactionTest, DamagedTextIsCorruptedNotACrash) {
  TransactionFixture db;
  const std::string bad("\xff\xfe", 2);
  {
    WriteTransaction txn = db.begin_write();
    {
      TextTable meta = ok(txn.open_table<TextCodec, TextCodec>("meta"));
      ASSERT_TRUE(meta.insert("good", "fine").ok());
      ASSERT_TRUE(meta.insert("bad", bad).ok());
      auto names = ok(txn.open_table<TextCodec, TextCodec>("names"));
      ASSERT_TRUE(names.insert(bad, "x").ok());
    }
    ASSERT_TRUE(test::commit_for_test(std::move(txn)).ok());
  }
  ReadTransaction rtx = db.begin_read();
  auto meta = ok(rtx.open_table<TextCodec, TextCodec>("meta"));
  EXPECT_EQ(ok(meta.get("good"))->value(), "fine");
  auto got = meta.get("bad");
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().to_string(), "DB corrupted: Table 'meta' holds a value that is not valid UTF-8");

  // In iteration the damaged entry is an error in its place; the rest reads.
  auto range = ok(meta.iter());
  auto first = range.next();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->error().kind(), StorageError::Kind::kCorrupted);
  auto second = range.next();
  ASSERT_TRUE(second.has_value() && second->ok());
  EXPECT_EQ(second->value().first.value(), "good");
  EXPECT_FALSE(range.next().has_value());

  auto names = ok(rtx.open_table<TextCodec, TextCodec>("names"));
  auto key_range = ok(names.iter());
  auto entry = key_range.next();
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(entry->error().to_string(),
            "DB corrupted: Table 'names' holds a key that is not valid UTF-8");
}

// Writers on several threads queue for the one writer slot and commit one row
// each; readers meanwhile see whole commits only: every row they see is
// intact, and a later snapshot never has fewer rows than an earlier one.
TEST(TransactionConcurrentTest, WritersQueueWhileReadersSeeWholeCommits) {
  TransactionFixture db;
  fill_records(db, "records", 1, 300);
  constexpr int kWriters = 4;
  constexpr int kRowsPerWriter = 15;
  std::atomic<int> writers_done{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kRowsPerWriter; ++i) {
        const uint64_t key = 1 + static_cast<uint64_t>(w * kRowsPerWriter + i);
        WriteTransaction txn = db.begin_write();
        {
          RecordTable t = ok(txn.open_table<U64Codec, BytesCodec>("records"));
          if (!t.insert(key, ByteView(value_of(key, 300))).ok()) std::abort();
        }
        if (!test::commit_for_test(std::move(txn)).ok()) std::abort();
      }
      writers_done.fetch_add(1);
    });
  }
  std::vector<std::thread> readers;
  std::atomic<int> failures{0};
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      size_t seen = 0;
      while (writers_done.load() < kWriters) {
        const auto rows = read_records(db, "records");
        if (rows.size() < seen) failures.fetch_add(1);
        seen = rows.size();
        for (const auto& [k, v] : rows) {
          if (v != value_of(k, 300)) failures.fetch_add(1);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(read_records(db, "records").size(), size_t{1 + kWriters * kRowsPerWriter});
  // A commit that released freed pages leaves a non-durable follow-up commit
  // pinning its durable ancestor until the next durable commit; with that pin
  // gone, no reader may still hold one.
  db.tracker()->clear_pending_non_durable_commits();
  EXPECT_FALSE(db.tracker()->oldest_live_read_transaction().has_value());
}

}  // namespace
}  // namespace storage
