// Writers on several threads racing the close of their database, by close()
// or by destruction. Whatever the interleaving: every commit that answered ok
// is in the file the close left, that file opens read-only, and nothing else
// is in it (a writer the close turned away wrote nothing); a writer admitted
// before the close commits normally, and one turned away hears "Database has
// been closed". Destroying the database while callers wait in begin_write
// wakes them to that error without touching the destroyed handle.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "storage/database.h"
#include "storage/src/database_internal.h"
#include "storage/src/transaction_tracker.h"
#include "storage/tests/support/database_workload.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/random_seed.h"

namespace storage {
namespace {

using test::MemoryBackend;
using test::MemoryFile;

constexpr size_t kCache = 1 << 20;
constexpr const char* kClosed = "Database has been closed";
constexpr const char* kLive = "A transaction is still in progress. Operation cannot be performed.";
constexpr int kWriters = 3;

std::string value_of(uint64_t key) { return "value " + std::to_string(key); }

std::unique_ptr<Database> open_memory(const std::shared_ptr<MemoryFile>& file) {
  auto opened = Database::builder().set_cache_size(kCache).create_with_backend(
      std::make_unique<MemoryBackend>(file));
  if (!opened.ok()) return nullptr;
  return std::make_unique<Database>(std::move(opened).value());
}

// What the writers of one round saw; failures are texts, for the report.
struct Outcome {
  std::mutex mu;
  std::set<uint64_t> acknowledged;
  std::vector<std::string> failures;
  void fail(std::string what) {
    std::lock_guard lock(mu);
    failures.push_back(std::move(what));
  }
};

// One writer: begin_write, insert one to three fresh keys, commit (durable or
// not) or abort, until the database turns it away. Keys carry the writer's
// number, so no two commits write the same key. `stop` is read before every
// begin_write; `entering` counts the callers from just before that read to
// begin_write's return.
void write_until_closed(const Database* db, int writer, uint64_t seed, Outcome& out,
                        std::atomic<bool>& stop, std::atomic<int>& entering,
                        std::atomic<uint64_t>& commits) {
  std::mt19937_64 rng(seed);
  for (uint64_t i = 0;; ++i) {
    entering.fetch_add(1);
    if (stop.load()) {
      entering.fetch_sub(1);
      return;
    }
    auto begun = db->begin_write();
    entering.fetch_sub(1);
    if (!begun.ok()) {
      const std::string text = begun.error().to_string();
      if (text != kClosed) out.fail("begin_write answered: " + text);
      return;
    }
    WriteTransaction txn = std::move(begun).value();
    std::vector<uint64_t> keys;
    const uint64_t n = 1 + rng() % 3;
    for (uint64_t j = 0; j < n; ++j) {
      keys.push_back((static_cast<uint64_t>(writer) << 40) | (i << 8) | j);
    }
    {
      auto table = txn.open_table<U64Codec, TextCodec>("t");
      if (!table.ok()) {
        out.fail("open_table in an admitted writer: " + table.error().to_string());
        return;
      }
      for (uint64_t key : keys) {
        auto inserted = table.value().insert(key, value_of(key));
        if (!inserted.ok()) {
          out.fail("insert in an admitted writer: " + inserted.error().to_string());
          return;
        }
      }
    }
    if (rng() % 2 == 0) (void)txn.set_durability(Durability::kNonDurable);
    if (rng() % 8 == 0) {
      auto aborted = std::move(txn).abort();
      if (!aborted.ok()) out.fail("abort in an admitted writer: " + aborted.error().to_string());
      continue;
    }
    auto committed = std::move(txn).commit();
    if (!committed.ok()) {
      // A writer the close let in must be let finish: its commit cannot fail.
      out.fail("commit in an admitted writer answered: " + committed.error().to_string());
      return;
    }
    {
      std::lock_guard lock(out.mu);
      out.acknowledged.insert(keys.begin(), keys.end());
    }
    commits.fetch_add(1);
  }
}

// The keys of "t" in the file, read through a read-only open (which refuses a
// file not closed cleanly); values checked.
void expect_file_holds_exactly(const std::shared_ptr<MemoryFile>& file,
                               const std::set<uint64_t>& acknowledged) {
  auto opened = ReadOnlyDatabase::open_backend(std::make_unique<MemoryBackend>(file), kCache);
  ASSERT_TRUE(opened.ok()) << "read-only open after the close: " << opened.error().to_string();
  auto txn = opened.value().begin_read();
  ASSERT_TRUE(txn.ok()) << txn.error().to_string();
  std::set<uint64_t> stored;
  auto table = txn.value().open_table<U64Codec, TextCodec>("t");
  if (!table.ok()) {
    // Only when no commit reached the file at all.
    EXPECT_TRUE(acknowledged.empty()) << table.error().to_string();
    return;
  }
  auto range = table.value().iter();
  ASSERT_TRUE(range.ok()) << range.error().to_string();
  while (auto entry = range.value().next()) {
    ASSERT_TRUE(entry->ok()) << entry->error().to_string();
    auto [k, v] = std::move(*entry).value();
    EXPECT_EQ(v.value(), value_of(k.value()));
    stored.insert(k.value());
  }
  size_t lost = 0;
  size_t unclaimed = 0;
  for (uint64_t key : acknowledged) lost += stored.contains(key) ? 0 : 1;
  for (uint64_t key : stored) unclaimed += acknowledged.contains(key) ? 0 : 1;
  EXPECT_EQ(lost, 0u) << "acknowledged keys missing from the file (of " << acknowledged.size()
                      << ")";
  EXPECT_EQ(unclaimed, 0u) << "keys in the file that no commit acknowledged";
}

enum class CloseBy { kClose, kDestruction };

class DatabaseCloseConcurrentTest : public ::testing::TestWithParam<CloseBy> {};

// Writers loop while the owner closes: close() retried while a writer is live,
// or the destructor, each after a random number of commits (0 included). For
// destruction, no caller may enter begin_write once it starts; callers already
// inside it may still be waiting there.
TEST_P(DatabaseCloseConcurrentTest, RacingWritersLoseNoAcknowledgedCommit) {
  const CloseBy how = GetParam();
  const uint64_t seed = storage_test_support::random_seed();
  std::printf("seed %llu\n", static_cast<unsigned long long>(seed));
  SCOPED_TRACE("replay with RS_TEST_SEED=" + std::to_string(seed));
  std::mt19937_64 rng(seed);
  const size_t rounds = test::reliability_rounds(150, 25);
  for (size_t round = 0; round < rounds && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto file = std::make_shared<MemoryFile>();
    std::unique_ptr<Database> db = open_memory(file);
    ASSERT_NE(db, nullptr);
    const std::shared_ptr<TransactionTracker> tracker = detail::DatabaseAccess::tracker(*db);

    Outcome out;
    std::atomic<bool> stop{false};
    std::atomic<int> entering{0};
    std::atomic<uint64_t> commits{0};
    const Database* shared = db.get();
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
      const uint64_t writer_seed = rng();
      writers.emplace_back([&, shared, w, writer_seed] {
        try {
          write_until_closed(shared, w, writer_seed, out, stop, entering, commits);
        } catch (const std::exception& e) {
          out.fail(std::string("panic in a writer: ") + e.what());
        }
      });
    }
    const uint64_t after = rng() % 12;
    while (commits.load() < after) {
      {
        std::lock_guard lock(out.mu);
        if (!out.failures.empty()) break;
      }
      std::this_thread::yield();
    }
    if (how == CloseBy::kClose) {
      for (;;) {
        auto closed = db->close();
        if (closed.ok()) break;
        const std::string text = closed.error().to_string();
        if (text != kLive) {
          out.fail("close answered: " + text);
          break;
        }
        std::this_thread::yield();
      }
      // The writers stop by themselves: begin_write now answers kClosed.
    } else {
      stop.store(true);
      // Until every caller inside begin_write is parked in the tracker (the
      // destroyed handle must not be touched after that) or has left it.
      for (;;) {
        const int before = entering.load();
        const size_t queued = tracker->queued_writers();
        if (before == static_cast<int>(queued) && entering.load() == before) break;
        std::this_thread::yield();
      }
      db.reset();
    }
    for (auto& t : writers) t.join();
    db.reset();
    for (const std::string& failure : out.failures) ADD_FAILURE() << failure;
    expect_file_holds_exactly(file, out.acknowledged);
  }
}

INSTANTIATE_TEST_SUITE_P(CloseRace, DatabaseCloseConcurrentTest,
                         ::testing::Values(CloseBy::kClose, CloseBy::kDestruction),
                         [](const auto& info) {
                           return info.param == CloseBy::kClose ? "Close" : "Destruction";
                         });

// Destroying a database while callers wait in begin_write behind a live
// writer: each waiter holds its own references and wakes to "Database has
// been closed"; the live writer still ends normally and the deferred close
// leaves a clean file.
TEST(DatabaseDestructionConcurrentTest, QueuedWritersWakeToTheClosedError) {
  const size_t rounds = test::reliability_rounds(100, 20);
  for (size_t round = 0; round < rounds && !HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const bool commit = round % 2 == 0;
    auto file = std::make_shared<MemoryFile>();
    std::unique_ptr<Database> db = open_memory(file);
    ASSERT_NE(db, nullptr);
    const std::shared_ptr<TransactionTracker> tracker = detail::DatabaseAccess::tracker(*db);
    auto begun = db->begin_write();
    ASSERT_TRUE(begun.ok());
    WriteTransaction live = std::move(begun).value();
    {
      auto table = live.open_table<U64Codec, TextCodec>("t");
      ASSERT_TRUE(table.ok());
      ASSERT_TRUE(table.value().insert(7, value_of(7)).ok());
    }
    constexpr int kWaiters = 4;
    std::vector<std::string> answers(kWaiters);
    const Database* shared = db.get();
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w) {
      waiters.emplace_back([&, shared, w] {
        try {
          auto r = shared->begin_write();
          answers[w] = r.ok() ? "<ok>" : r.error().to_string();
        } catch (const std::exception& e) {
          answers[w] = std::string("panic: ") + e.what();
        }
      });
    }
    while (tracker->queued_writers() < kWaiters) std::this_thread::yield();
    db.reset();
    if (commit) {
      EXPECT_TRUE(std::move(live).commit().ok());
    } else {
      EXPECT_TRUE(std::move(live).abort().ok());
    }
    for (auto& t : waiters) t.join();
    for (const std::string& answer : answers) EXPECT_EQ(answer, kClosed);
    expect_file_holds_exactly(file, commit ? std::set<uint64_t>{7} : std::set<uint64_t>{});
  }
}

}  // namespace
}  // namespace storage
