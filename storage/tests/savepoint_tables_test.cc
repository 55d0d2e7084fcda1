// The savepoint records and the readers of the savepoint system tables.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "storage/src/transactions/page_lists.h"
#include "storage/src/transactions/savepoint_tables.h"
#include "storage/tests/support/transactional_page_store.h"

namespace storage::test {
namespace {

std::vector<uint8_t> record(uint8_t version, uint64_t id, uint64_t txn, uint8_t flag,
                            size_t size = SerializedSavepoint::kSize) {
  std::vector<uint8_t> out(size, 0xAB);
  if (size > 0) out[0] = version;
  if (size >= 9) store_le64(out.data() + 1, id);
  if (size >= 17) store_le64(out.data() + 9, txn);
  if (size >= 18) out[17] = flag;
  return out;
}

TEST(SavepointRecord, BytesOfARecordWithARoot) {
  auto tracker = TransactionTracker::create(TransactionId(1));
  BtreeHeader root{PageNumber(3, 17, 2), (Checksum{0x0102030405060708} << 64) | 0x1112131415161718,
                   99};
  Savepoint savepoint(3, SavepointId(7), TransactionId(12), root, tracker, false);
  const auto bytes = SerializedSavepoint::encode(savepoint);
  const std::vector<uint8_t> expected = {
      3,                                               // version
      7,    0,    0,    0,    0,    0,    0,    0,     // savepoint id
      12,   0,    0,    0,    0,    0,    0,    0,     // transaction id
      1,                                               // root present
      17,   0,    0x30, 0,    0,    0,    0,    0x10,  // page: index 17, region 3, order 2
      0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,  // checksum, low half
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // checksum, high half
      99,   0,    0,    0,    0,    0,    0,    0};    // length
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), expected);
  auto back = SerializedSavepoint::to_savepoint(ByteView(expected), tracker);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->id(), SavepointId(7));
  EXPECT_EQ(back->transaction_id(), TransactionId(12));
  EXPECT_EQ(back->data_root(), std::optional<BtreeHeader>(root));
  EXPECT_FALSE(back->temporary());
}

TEST(SavepointRecord, DecodingTable) {
  auto tracker = TransactionTracker::create(TransactionId(1));
  struct Case {
    std::string name;
    std::vector<uint8_t> bytes;
    std::optional<std::string> error;  // none: decodes
  };
  const std::vector<Case> cases = {
      {"49 bytes", record(3, 1, 2, 0, 49), "DB corrupted: Corrupted savepoint record"},
      {"51 bytes", record(3, 1, 2, 0, 51), "DB corrupted: Corrupted savepoint record"},
      {"empty", {}, "DB corrupted: Corrupted savepoint record"},
      {"root flag 2", record(3, 1, 2, 2), "DB corrupted: Corrupted savepoint record"},
      {"version 2", record(2, 1, 2, 0), "DB corrupted: Unsupported savepoint version: 2"},
      {"version 255", record(255, 1, 2, 0), "DB corrupted: Unsupported savepoint version: 255"},
      {"no root, whatever follows", record(3, 1, 2, 0), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = SerializedSavepoint::to_savepoint(ByteView(c.bytes), tracker);
    if (c.error) {
      ASSERT_FALSE(decoded.ok());
      EXPECT_EQ(decoded.error().to_string(), *c.error);
    } else {
      ASSERT_TRUE(decoded.ok());
      EXPECT_FALSE(decoded->data_root().has_value());
      EXPECT_EQ(decoded->transaction_id(), TransactionId(2));
    }
  }
  // Nothing decoded registered anything.
  EXPECT_FALSE(tracker->any_savepoint_exists());
  EXPECT_FALSE(tracker->oldest_live_read_transaction().has_value());
}

struct SavepointTables {
  std::shared_ptr<TransactionalPageStore> store = TransactionalPageStore::create();
  SharedFreedPages freed = std::make_shared<Mutex<std::vector<PageNumber>>>();
  TableTreeMut dir{std::nullopt, nullptr, store->writable(), freed,
                   PageTracker::create_disabled()};
  std::shared_ptr<TransactionTracker> tracker = TransactionTracker::create(TransactionId(50));

  void put(uint64_t id, const std::vector<uint8_t>& bytes) {
    auto table = open_system_table<SavepointIdCodec, SerializedSavepoint>(dir,
                                                                          kPersistentSavepoints);
    ASSERT_TRUE(table.ok());
    ASSERT_TRUE(table->tree().insert(SavepointId(id), ByteView(bytes)).ok());
  }
};

TEST(SavepointTables, AbsentTablesHoldNothing) {
  SavepointTables t;
  auto ids = list_persistent_savepoints(t.dir);
  ASSERT_TRUE(ids.ok());
  EXPECT_TRUE(ids->empty());
  auto next = next_persistent_savepoint_id(t.dir);
  ASSERT_TRUE(next.ok());
  EXPECT_FALSE(next->has_value());
  auto got = get_persistent_savepoint(t.dir, SavepointId(1), t.tracker, TransactionId(40));
  ASSERT_FALSE(got.ok());
  EXPECT_TRUE(got.error().is_invalid_savepoint());
}

TEST(SavepointTables, ListsInNumericOrderAndReadsRecords) {
  SavepointTables t;
  t.put(10, record(3, 10, 30, 0));
  t.put(2, record(3, 2, 20, 0));
  t.put(256, record(3, 256, 41, 0));
  auto ids = list_persistent_savepoints(t.dir);
  ASSERT_TRUE(ids.ok());
  EXPECT_EQ(ids.value(), (std::vector<SavepointId>{SavepointId(2), SavepointId(10),
                                                   SavepointId(256)}));
  auto got = get_persistent_savepoint(t.dir, SavepointId(10), t.tracker, TransactionId(40));
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got->transaction_id(), TransactionId(30));
  auto missing = get_persistent_savepoint(t.dir, SavepointId(3), t.tracker, TransactionId(40));
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.error().is_invalid_savepoint());
  // A record from after the last commit cannot be real: it would let commits
  // reuse pages the last durable commit still uses.
  auto ahead = get_persistent_savepoint(t.dir, SavepointId(256), t.tracker, TransactionId(40));
  ASSERT_FALSE(ahead.ok());
  ASSERT_FALSE(ahead.error().is_invalid_savepoint());
  EXPECT_EQ(ahead.error().storage_error().kind(), StorageError::Kind::kCorrupted);
}

TEST(SavepointTables, CounterIsReadFromItsTable) {
  SavepointTables t;
  {
    auto table = open_system_table<UnitCodec, SavepointIdCodec>(t.dir, kNextSavepointId);
    ASSERT_TRUE(table.ok());
    ASSERT_TRUE(table->tree().insert(Unit{}, SavepointId(17)).ok());
  }
  auto next = next_persistent_savepoint_id(t.dir);
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(next.value(), std::optional<SavepointId>(SavepointId(17)));
}

}  // namespace
}  // namespace storage::test
