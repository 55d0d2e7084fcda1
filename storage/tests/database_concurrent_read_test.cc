// Many readers on one read-only database: eight threads each begin read
// transactions in a loop (point lookups, a partial or whole scan, then drop),
// while an observer checks that the tracker's oldest pinned snapshot is
// either none or the file's one commit; once all are gone, nothing is pinned.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/database.h"
#include "storage/src/transaction_tracker.h"
#include "storage/tests/support/database_access.h"
#include "storage/tests/support/database_workload.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"

namespace storage {
namespace {

constexpr uint64_t kKeys = 3000;

std::vector<uint8_t> value_of(uint64_t key) { return test::workload_value(key, 9, 10 + key % 90); }

TEST(DatabaseConcurrentRead, EightThreadsBeginReadsWhileTheTrackerStaysConsistent) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("replay with RS_TEST_SEED=" + std::to_string(seed));
  test::TempDir dir = test::TempDir::in_memory();
  const std::string path = dir.file("readers.db");
  {
    auto db = Database::builder().set_cache_size(size_t{8} << 20).create(path);
    ASSERT_TRUE(db.ok()) << db.error().to_string();
    auto txn = db.value().begin_write();
    ASSERT_TRUE(txn.ok());
    {
      auto table = txn.value().open_table<U64Codec, BytesCodec>("t0");
      ASSERT_TRUE(table.ok());
      for (uint64_t key = 0; key < kKeys; ++key) {
        const auto value = value_of(key * 2);
        ASSERT_TRUE(table.value().insert(key * 2, ByteView(value)).ok());
      }
    }
    ASSERT_TRUE(std::move(txn).value().commit().ok());
    ASSERT_TRUE(db.value().close().ok());
  }
  auto opened = ReadOnlyDatabase::open(path);
  ASSERT_TRUE(opened.ok()) << opened.error().to_string();
  const ReadOnlyDatabase db = std::move(opened).value();
  const auto& tracker = test::tracker_of(db);
  const TransactionId committed =
      test::page_store_of(db)->get_last_committed_transaction_id().value();

  const size_t rounds = test::reliability_rounds(300, 40);
  std::atomic<bool> done{false};
  std::atomic<uint64_t> bad{0};
  std::vector<std::thread> readers;
  for (size_t t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      std::mt19937_64 rng(seed + t);
      for (size_t r = 0; r < rounds; ++r) {
        auto txn = db.begin_read();
        if (!txn.ok()) {
          ++bad;
          return;
        }
        auto table = txn.value().open_table<U64Codec, BytesCodec>("t0");
        if (!table.ok()) {
          ++bad;
          return;
        }
        for (int i = 0; i < 20; ++i) {
          const uint64_t key = rng() % (kKeys * 2);
          auto found = table.value().get(key);
          const bool expect = key % 2 == 0;
          if (!found.ok() || found.value().has_value() != expect ||
              (expect && !std::ranges::equal(found.value()->bytes(), value_of(key)))) {
            ++bad;
          }
        }
        auto range = table.value().iter();
        if (!range.ok()) {
          ++bad;
          continue;
        }
        // A whole scan now and then; usually a few entries, and the range
        // outlives its transaction for a moment.
        const uint64_t take = r % 50 == 0 ? kKeys : 1 + rng() % 40;
        uint64_t expected_key = 0;
        for (uint64_t i = 0; i < take; ++i) {
          auto entry = range.value().next();
          if (!entry || !entry->ok() || entry->value().first.value() != expected_key) {
            ++bad;
            break;
          }
          expected_key += 2;
        }
      }
    });
  }
  std::thread observer([&] {
    while (!done.load()) {
      const auto oldest = tracker->oldest_live_read_transaction();
      if (oldest && *oldest != committed) ++bad;
      std::this_thread::yield();
    }
  });
  for (auto& r : readers) r.join();
  done = true;
  observer.join();
  EXPECT_EQ(bad.load(), 0u);
  EXPECT_EQ(tracker->oldest_live_read_transaction(), std::nullopt);
}

}  // namespace
}  // namespace storage
