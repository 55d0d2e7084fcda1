// Opening, repairing and closing databases through the public face: the
// repair callback's progress, torn and two-phase commits, aborted repairs,
// read-only opens, the file lock matrix, deferred and explicit closes.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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
#include "storage/src/transactions/transaction_state.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/result_support.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"
#include "storage/tests/support/transactional_page_store.h"

namespace storage {
namespace {

using test::MemoryBackend;
using test::MemoryFile;

constexpr size_t kCache = 1 << 20;
constexpr const char* kAborted = "Database repair aborted.";
constexpr const char* kLockHeld = "Database already open. Cannot acquire lock.";

using test::error_text;
using test::take;

// A memory file that keeps its image at every sync: the file a power cut
// right after that sync would leave.
class SnapshotBackend final : public StorageBackend {
 public:
  struct Log {
    std::mutex mu;
    std::vector<std::vector<uint8_t>> images;
    size_t size() {
      std::lock_guard lock(mu);
      return images.size();
    }
    std::vector<uint8_t> at(size_t i) {
      std::lock_guard lock(mu);
      return images.at(i);
    }
  };
  SnapshotBackend(std::shared_ptr<MemoryFile> file, std::shared_ptr<Log> log)
      : inner_(std::move(file)), log_(std::move(log)) {}
  std::string debug() const override { return "SnapshotBackend"; }
  Result<uint64_t, IoError> len() const override { return inner_.len(); }
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override {
    return inner_.read(offset, out);
  }
  Result<void, IoError> set_len(uint64_t len) const override { return inner_.set_len(len); }
  Result<void, IoError> sync_data() const override {
    std::lock_guard lock(log_->mu);
    log_->images.push_back(inner_.file()->snapshot());
    return {};
  }
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override {
    return inner_.write(offset, data);
  }
  Result<void, IoError> close() const override { return {}; }

 private:
  MemoryBackend inner_;
  std::shared_ptr<Log> log_;
};

struct Progress {
  std::vector<double> seen;
  // Aborts when this progress is reached.
  double abort_at = -1;
  RepairCallback callback() {
    return [this](RepairSession& session) {
      seen.push_back(session.progress());
      if (session.progress() == abort_at) session.abort();
    };
  }
};

Result<Database, DatabaseError> open_memory(const std::shared_ptr<MemoryFile>& file,
                                            Progress* progress = nullptr) {
  Builder builder = Database::builder().set_cache_size(kCache);
  if (progress != nullptr) builder.set_repair_callback(progress->callback());
  return builder.create_with_backend(std::make_unique<MemoryBackend>(file));
}

Result<ReadOnlyDatabase, DatabaseError> open_memory_read_only(
    const std::shared_ptr<MemoryFile>& file) {
  return ReadOnlyDatabase::open_backend(std::make_unique<MemoryBackend>(file), kCache);
}

// Writes keys [first, first + n) into "t" in one durable commit.
void write_pairs(const Database& db, uint64_t first, uint64_t n, bool two_phase = false) {
  WriteTransaction txn = take(db.begin_write());
  detail::WriteTransactionAccess::state(txn)->two_phase_commit = two_phase;
  {
    auto table = take((txn.open_table<U64Codec, TextCodec>("t")));
    for (uint64_t k = first; k < first + n; ++k) {
      take(table.insert(k, "value " + std::to_string(k)));
    }
  }
  take(std::move(txn).commit());
}

// The keys of "t", checking every value.
std::vector<uint64_t> keys_of(const ReadTransaction& txn) {
  std::vector<uint64_t> keys;
  auto table = take((txn.open_table<U64Codec, TextCodec>("t")));
  auto range = take(table.iter());
  while (auto entry = range.next()) {
    auto [k, v] = take(std::move(*entry));
    EXPECT_EQ(v.value(), "value " + std::to_string(k.value()));
    keys.push_back(k.value());
  }
  return keys;
}

std::vector<uint64_t> iota(uint64_t n) {
  std::vector<uint64_t> out;
  for (uint64_t k = 0; k < n; ++k) out.push_back(k);
  return out;
}

uint64_t last_committed(const Database& db) {
  return take(detail::DatabaseAccess::mem(db)->get_last_committed_transaction_id()).id;
}

// Flips bytes inside the page run `page` of the image.
void damage_page(std::vector<uint8_t>& image, const TransactionalMemory& mem, PageNumber page) {
  const uint64_t offset = mem.get_page_size() + page.region * mem.region_size() +
                          mem.region_header_size() +
                          page.page_index * (uint64_t{mem.get_page_size()} << page.page_order);
  ASSERT_LT(offset + 100, image.size());
  for (uint64_t i = offset + 40; i < offset + 100; ++i) image[i] ^= 0x5A;
}

// ---- Opening a new file -----------------------------------------------------------------

TEST(DatabaseOpenTest, NewFileIsRepairedOnceAndCountsTransactionsFromFour) {
  auto file = std::make_shared<MemoryFile>();
  Progress progress;
  Database db = take(open_memory(file, &progress));
  EXPECT_EQ(progress.seen, (std::vector<double>{0.0, 0.6, 0.9}));
  // The repair commit is 1; the savepoint restore took 3 and was aborted.
  EXPECT_EQ(last_committed(db), 1u);
  EXPECT_FALSE(detail::DatabaseAccess::mem(db)->get_data_root().has_value());
  EXPECT_FALSE(detail::DatabaseAccess::mem(db)->get_system_root().has_value());
  WriteTransaction txn = take(db.begin_write());
  EXPECT_EQ(txn.transaction_id(), 4u);
}

TEST(DatabaseOpenTest, CleanCloseSavesTheAllocatorStateForBothKindsOfOpen) {
  auto file = std::make_shared<MemoryFile>();
  {
    Database db = take(open_memory(file));
    write_pairs(db, 0, 500);
  }
  {
    // No repair: the saved state is loaded.
    Progress progress;
    Database db = take(open_memory(file, &progress));
    EXPECT_TRUE(progress.seen.empty());
    EXPECT_TRUE(detail::DatabaseAccess::mem(db)->used_two_phase_commit());
    write_pairs(db, 500, 500);
  }
  const std::vector<uint8_t> image = file->snapshot();
  {
    ReadOnlyDatabase ro = take(open_memory_read_only(file));
    EXPECT_TRUE(detail::DatabaseAccess::mem(ro)->used_two_phase_commit());
    auto state = take(get_allocator_state_table(detail::DatabaseAccess::mem(ro)));
    EXPECT_TRUE(state.has_value());
    EXPECT_EQ(keys_of(take(ro.begin_read())), iota(1000));
  }
  // A read-only database never writes, not even at its end.
  EXPECT_EQ(file->snapshot(), image);
}

TEST(DatabaseOpenTest, CreatingOnAnExistingFileKeepsItsContents) {
  test::TempDir dir;
  const std::string path = dir.file("db");
  {
    Database db = take(Database::builder().set_cache_size(kCache).create(path));
    write_pairs(db, 0, 1000);
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(db.file_identity(), (FileIdentity{st.st_dev, st.st_ino}));
  }
  { Database db = take(Database::builder().set_cache_size(kCache).create(path)); }
  ReadOnlyDatabase ro = take(ReadOnlyDatabase::open(path, kCache));
  EXPECT_EQ(keys_of(take(ro.begin_read())), iota(1000));
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(ro.file_identity(), (FileIdentity{st.st_dev, st.st_ino}));
}

TEST(DatabaseOpenTest, MissingFileIsAnIoErrorForAReadOnlyOpen) {
  test::TempDir dir;
  auto opened = ReadOnlyDatabase::open(dir.file("absent"));
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().to_string().rfind("I/O error: ", 0), 0u) << opened.error().to_string();
}

// ---- Crashes and torn commits ----------------------------------------------------------

// The image left by a process that ended right after the last commit's final
// sync, without closing, plus the page store's view at that moment.
struct Crashed {
  std::vector<uint8_t> image;
  std::optional<BtreeHeader> data_root;
  uint32_t page_size = 0;
};

Crashed crash_after_second_commit(bool two_phase) {
  auto file = std::make_shared<MemoryFile>();
  auto log = std::make_shared<SnapshotBackend::Log>();
  Builder builder = Database::builder().set_cache_size(kCache);
  Database db = take(builder.create_with_backend(std::make_unique<SnapshotBackend>(file, log)));
  write_pairs(db, 0, 300);
  write_pairs(db, 300, 300, two_phase);
  Crashed out;
  out.image = log->at(log->size() - 1);
  out.data_root = detail::DatabaseAccess::mem(db)->get_data_root();
  // Keep the close from touching the snapshots' file: it is the test's now.
  return out;
}

// Damages the root page of the newest commit's data tree in the image.
void damage_newest_data_root(Crashed& crashed) {
  // The geometry of the crashed file, to find the page.
  auto probe = std::make_shared<MemoryFile>(crashed.image);
  auto mem = take(TransactionalMemory::open(std::make_unique<MemoryBackend>(probe), false, 4096,
                                            std::nullopt, kCache, false));
  damage_page(crashed.image, *mem, crashed.data_root->root);
}

TEST(DatabaseRepairTest, UncleanShutdownKeepsTheNewestCommit) {
  Crashed crashed = crash_after_second_commit(false);
  auto file = std::make_shared<MemoryFile>(crashed.image);
  EXPECT_EQ(error_text(open_memory_read_only(file)), kAborted);
  uint64_t before = 0;
  {
    Progress progress;
    Database db = take(open_memory(file, &progress));
    EXPECT_EQ(progress.seen, (std::vector<double>{0.0, 0.6, 0.9}));
    before = last_committed(db);
  }
  ReadOnlyDatabase ro = take(open_memory_read_only(file));
  EXPECT_EQ(keys_of(take(ro.begin_read())), iota(600));
  // The close commit followed the repair commit.
  EXPECT_GT(take(detail::DatabaseAccess::mem(ro)->get_last_committed_transaction_id()).id,
            before);
}

TEST(DatabaseRepairTest, TornOnePhaseCommitFallsBackToTheOlderSlot) {
  Crashed crashed = crash_after_second_commit(false);
  ASSERT_TRUE(crashed.data_root.has_value());
  damage_newest_data_root(crashed);
  auto file = std::make_shared<MemoryFile>(crashed.image);
  Progress progress;
  {
    Database db = take(open_memory(file, &progress));
    EXPECT_EQ(progress.seen, (std::vector<double>{0.0, 0.3, 0.6, 0.9}));
  }
  ReadOnlyDatabase ro = take(open_memory_read_only(file));
  EXPECT_EQ(keys_of(take(ro.begin_read())), iota(300));
}

TEST(DatabaseRepairTest, DamagedNewestCommitAfterTwoPhaseCommitIsCorrupted) {
  Crashed crashed = crash_after_second_commit(true);
  ASSERT_TRUE(crashed.data_root.has_value());
  damage_newest_data_root(crashed);
  auto file = std::make_shared<MemoryFile>(crashed.image);
  Progress progress;
  EXPECT_EQ(error_text(open_memory(file, &progress)),
            "DB corrupted: Primary is corrupted despite 2-phase commit");
  EXPECT_EQ(progress.seen, (std::vector<double>{0.0}));
  // Nothing was repaired: a read-only open still refuses the file.
  EXPECT_EQ(error_text(open_memory_read_only(file)), kAborted);
}

TEST(DatabaseRepairTest, AbortedRepairLeavesTheFileToRepairLater) {
  for (double abort_at : {0.0, 0.6}) {
    SCOPED_TRACE(abort_at);
    Crashed crashed = crash_after_second_commit(false);
    auto file = std::make_shared<MemoryFile>(crashed.image);
    Progress aborting{.seen = {}, .abort_at = abort_at};
    EXPECT_EQ(error_text(open_memory(file, &aborting)), kAborted);
    EXPECT_EQ(aborting.seen.back(), abort_at);
    EXPECT_EQ(error_text(open_memory_read_only(file)), kAborted);
    Progress progress;
    { Database db = take(open_memory(file, &progress)); }
    EXPECT_EQ(progress.seen, (std::vector<double>{0.0, 0.6, 0.9}));
    ReadOnlyDatabase ro = take(open_memory_read_only(file));
    EXPECT_EQ(keys_of(take(ro.begin_read())), iota(600));
  }
  // A new file whose first open was aborted is repaired by the next one.
  auto file = std::make_shared<MemoryFile>();
  Progress aborting{.seen = {}, .abort_at = 0.0};
  EXPECT_EQ(error_text(open_memory(file, &aborting)), kAborted);
  EXPECT_EQ(error_text(open_memory_read_only(file)), kAborted);
  { Database db = take(open_memory(file)); }
  EXPECT_TRUE(open_memory_read_only(file).ok());
}

// ---- Locks -----------------------------------------------------------------------------

TEST(DatabaseLockTest, WritersExcludeEveryoneReadersShare) {
  test::TempDir dir;
  const std::string path = dir.file("db");
  { Database db = take(Database::builder().set_cache_size(kCache).create(path)); }
  {
    ReadOnlyDatabase a = take(ReadOnlyDatabase::open(path, kCache));
    ReadOnlyDatabase b = take(ReadOnlyDatabase::open(path, kCache));
    EXPECT_EQ(error_text(Database::builder().set_cache_size(kCache).create(path)), kLockHeld);
  }
  {
    Database db = take(Database::builder().set_cache_size(kCache).create(path));
    EXPECT_EQ(error_text(Database::builder().set_cache_size(kCache).create(path)), kLockHeld);
    EXPECT_EQ(error_text(ReadOnlyDatabase::open(path, kCache)), kLockHeld);
  }
  // Each close released its lock.
  { Database db = take(Database::builder().set_cache_size(kCache).create(path)); }
  EXPECT_TRUE(ReadOnlyDatabase::open(path, kCache).ok());
}

// ---- Closing ---------------------------------------------------------------------------

TEST(DatabaseCloseConcurrentTest, DropDuringAnotherThreadsWriterClosesAfterIt) {
  for (bool commit : {true, false}) {
    SCOPED_TRACE(commit);
    test::TempDir dir;
    const std::string path = dir.file("db");
    auto db = std::make_unique<Database>(
        take(Database::builder().set_cache_size(kCache).create(path)));
    std::atomic<bool> started{false};
    std::atomic<bool> dropped{false};
    std::thread writer([&] {
      WriteTransaction txn = take(db->begin_write());
      {
        auto table = take((txn.open_table<U64Codec, TextCodec>("t")));
        take(table.insert(1, "value 1"));
      }
      started.store(true);
      // The drop must return while this transaction is live.
      while (!dropped.load()) std::this_thread::yield();
      if (commit) {
        take(std::move(txn).commit());
      } else {
        take(std::move(txn).abort());
      }
    });
    while (!started.load()) std::this_thread::yield();
    db.reset();
    dropped.store(true);
    writer.join();
    // The writer's thread carried the close out: the file is clean and free.
    ReadOnlyDatabase ro = take(ReadOnlyDatabase::open(path, kCache));
    ReadTransaction txn = take(ro.begin_read());
    auto table = txn.open_table<U64Codec, TextCodec>("t");
    if (commit) {
      EXPECT_EQ(keys_of(txn), (std::vector<uint64_t>{1}));
    } else {
      EXPECT_EQ(error_text(table), "Table 't' does not exist");
    }
  }
}

TEST(DatabaseCloseTest, CloseRefusesALiveWriterThenCloses) {
  auto file = std::make_shared<MemoryFile>();
  Database db = take(open_memory(file));
  write_pairs(db, 0, 10);
  {
    WriteTransaction txn = take(db.begin_write());
    EXPECT_EQ(error_text(db.close()),
              "A transaction is still in progress. Operation cannot be performed.");
    // Still open: the writer goes on.
    {
      auto table = take((txn.open_table<U64Codec, TextCodec>("t")));
      take(table.insert(10, "value 10"));
    }
    take(std::move(txn).commit());
  }
  EXPECT_TRUE(db.close().ok());
  EXPECT_EQ(error_text(db.begin_write()), "Database has been closed");
  EXPECT_EQ(error_text(db.close()), "Database has been closed");
  ReadOnlyDatabase ro = take(open_memory_read_only(file));
  EXPECT_EQ(keys_of(take(ro.begin_read())), iota(11));
}

// A failed sync must not pass for a clean close: the close reports it, and the
// file keeps its recovery flag, so the last acknowledged commit survives a
// repair.
TEST(DatabaseCloseTest, CloseReportsFailedSyncs) {
  struct Case {
    const char* name;
    bool fail_commit;  // a caller's commit fails, else the close commit's sync
    const char* expected;
  };
  for (const Case& c : {Case{"commit", true,
                             "Previous I/O error occurred. Please close and re-open the "
                             "database."},
                        Case{"close", false, "I/O error: "}}) {
    SCOPED_TRACE(c.name);
    auto file = std::make_shared<MemoryFile>();
    auto faults = std::make_shared<test::FaultPlan>();
    Builder builder = Database::builder().set_cache_size(kCache);
    Database db = take(builder.create_with_backend(std::make_unique<test::FaultInjectingBackend>(
        std::make_unique<MemoryBackend>(file), faults)));
    write_pairs(db, 0, 100);
    faults->fail_nth(test::BackendOp::kSync, faults->calls(test::BackendOp::kSync) + 1, EIO);
    if (c.fail_commit) {
      WriteTransaction txn = take(db.begin_write());
      {
        auto table = take((txn.open_table<U64Codec, TextCodec>("t")));
        take(table.insert(100, "value 100"));
      }
      EXPECT_FALSE(std::move(txn).commit().ok());
    }
    auto closed = db.close();
    ASSERT_FALSE(closed.ok());
    EXPECT_EQ(closed.error().to_string().rfind(c.expected, 0), 0u) << closed.error().to_string();
    faults->disarm();
    EXPECT_EQ(error_text(open_memory_read_only(file)), kAborted);
    { Database reopened = take(open_memory(file)); }
    ReadOnlyDatabase ro = take(open_memory_read_only(file));
    // The acknowledged commit, or the failed one that reached the file anyway.
    const std::vector<uint64_t> keys = keys_of(take(ro.begin_read()));
    EXPECT_TRUE(keys == iota(100) || (c.fail_commit && keys == iota(101))) << keys.size();
  }
}

// ---- Saved allocator state ---------------------------------------------------------------

// A clean close saves exactly the pages the file still uses: the state a
// read-only open loads equals the one a repair rebuilds from the reachable
// and listed pages.
TEST(DatabaseCloseTest, SavedStateMatchesARebuild) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  auto file = std::make_shared<MemoryFile>();
  for (int session = 0; session < 3; ++session) {
    {
      Database db = take(open_memory(file));
      for (int round = 0; round < 8; ++round) {
        WriteTransaction txn = take(db.begin_write());
        if (rng() % 3 == 0) take(txn.set_durability(Durability::kNonDurable));
        {
          auto table = take((txn.open_table<U64Codec, BytesCodec>("blobs")));
          // Large values now and then, replaced by small ones later: their
          // pages end up free, many of them at the end of the file.
          for (int i = 0; i < 40; ++i) {
            const size_t len = rng() % 4 == 0 ? 20000 + rng() % 30000 : 1 + rng() % 300;
            const std::vector<uint8_t> value(len, static_cast<uint8_t>(rng()));
            take(table.insert(rng() % 200, ByteView(value)));
          }
        }
        take(std::move(txn).commit());
      }
      take(db.close());
    }
    ReadOnlyDatabase ro = take(open_memory_read_only(file));
    const auto& mem = detail::DatabaseAccess::mem(ro);
    const auto loaded = test::allocated_units_of(*mem);
    take(rebuild_allocator_state(mem, nullptr));
    EXPECT_EQ(test::allocated_units_of(*mem), loaded);
  }
}

// Small regions: the saved state holds many region images, and a close whose
// reservation grows the file by a region saves again with the new count.
TEST(DatabaseCloseTest, SavedStateOfManyRegionsMatchesARebuild) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  for (uint64_t region_size : {uint64_t{1} << 16, uint64_t{1} << 18}) {
    SCOPED_TRACE(region_size);
    auto file = std::make_shared<MemoryFile>();
    for (int session = 0; session < 4; ++session) {
      {
        Database db = take(Database::builder()
                               .set_cache_size(kCache)
                               .set_region_size(region_size)
                               .create_with_backend(std::make_unique<MemoryBackend>(file)));
        WriteTransaction txn = take(db.begin_write());
        {
          auto table = take((txn.open_table<U64Codec, BytesCodec>("blobs")));
          for (int i = 0; i < 60; ++i) {
            const std::vector<uint8_t> value(1 + rng() % 9000, static_cast<uint8_t>(i));
            take(table.insert(rng() % 500, ByteView(value)));
          }
        }
        take(std::move(txn).commit());
        take(db.close());
      }
      ReadOnlyDatabase ro = take(open_memory_read_only(file));
      const auto& mem = detail::DatabaseAccess::mem(ro);
      const uint32_t regions = mem->with_allocators(
          [](const Allocators&, const DatabaseLayout& layout) { return layout.num_regions(); });
      EXPECT_GT(regions, 1u);
      const auto loaded = test::allocated_units_of(*mem);
      take(rebuild_allocator_state(mem, nullptr));
      EXPECT_EQ(test::allocated_units_of(*mem), loaded);
    }
  }
}

}  // namespace
}  // namespace storage
