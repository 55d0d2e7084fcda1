// Opening, marking in use and closing the page store.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "storage/src/tree_store/page_store/header.h"
#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/tests/support/btree_fakes.h"
#include "storage/tests/support/crash_backend.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/page_store_helpers.h"
#include "storage/tests/support/panic_text.h"

namespace storage {
namespace {

using test::BackendOp;
using test::MemoryBackend;
using test::MemoryFile;
using test::open_store;
using test::panic_text;
using test::Store;
using test::StoreOptions;

constexpr size_t kPage = 4096;
constexpr const char* kInvalidData = "I/O error: invalid data";
constexpr const char* kClosed = "Database has been closed";

template <typename R>
std::string error_text(const R& r) {
  return r.ok() ? "<ok>" : r.error().to_string();
}

std::unique_ptr<MemoryBackend> backend_over(const std::shared_ptr<MemoryFile>& file) {
  return std::make_unique<MemoryBackend>(file);
}

Store open_ok(std::unique_ptr<StorageBackend> backend, const StoreOptions& options = {}) {
  auto r = open_store(std::move(backend), options);
  if (!r.ok()) ADD_FAILURE() << r.error().to_string();
  return r.ok() ? std::move(r).value() : nullptr;
}

uint8_t flag_byte(const MemoryFile& file) { return file.snapshot().at(kFlagsOffset); }

std::shared_ptr<MemoryFile> new_database() {
  auto file = std::make_shared<MemoryFile>();
  Store mem = open_ok(backend_over(file));
  EXPECT_TRUE(mem->close().ok());
  return file;
}

TEST(PageStoreOpen, EmptyFileBecomesTheInitialDatabase) {
  auto file = std::make_shared<MemoryFile>();
  auto state = std::make_shared<test::CrashState>();
  auto observer = std::make_shared<test::Observer>();
  // The header first goes out without the magic and is synced; a crash then
  // leaves a file that no open takes for a database.
  std::vector<std::vector<uint8_t>> synced;
  observer->before_sync = [&] { synced.push_back(state->current_image()); };
  Store mem = open_ok(std::make_unique<test::ObservedBackend>(
      std::make_unique<test::CrashBackend>(state), observer));
  ASSERT_NE(mem, nullptr);

  const std::vector<uint8_t> image = state->current_image();
  // D = 1 MiB + one page of tracker room: the header page and 257 data pages.
  EXPECT_EQ(image.size(), 258 * kPage);
  EXPECT_EQ(image[kFlagsOffset], 0b100);
  auto parsed = UnrepairedDatabaseHeader::from_bytes(image, kPage);
  ASSERT_TRUE(parsed.ok());
  const DatabaseHeader& h = parsed.value().header();
  EXPECT_EQ(h.full_regions(), 0u);
  EXPECT_EQ(h.trailing_region_data_pages(), 257u);
  EXPECT_EQ(h.region_max_data_pages(), 1u << 20);
  EXPECT_EQ(h.region_header_pages(), 0u);
  for (size_t slot = 0; slot < 2; ++slot) {
    EXPECT_EQ(h.slot(slot).version, 3);
    EXPECT_FALSE(h.slot(slot).data_root.has_value());
    EXPECT_FALSE(h.slot(slot).system_root.has_value());
    EXPECT_EQ(h.slot(slot).transaction_id, TransactionId(0));
  }
  EXPECT_EQ(observer->trace(),
            (std::vector<std::string>{"L 1056768", "W 0 320", "S", "W 0 320", "S", "R"}));
  ASSERT_EQ(synced.size(), 2u);
  EXPECT_EQ(std::vector<uint8_t>(synced[0].begin(), synced[0].begin() + 9),
            std::vector<uint8_t>(9, 0));
  auto torn = open_store(std::make_unique<MemoryBackend>(std::make_shared<MemoryFile>(synced[0])));
  EXPECT_EQ(error_text(torn), kInvalidData);

  EXPECT_EQ(mem->get_last_committed_transaction_id().value(), TransactionId(0));
  EXPECT_TRUE(mem->used_two_phase_commit());
  EXPECT_FALSE(mem->allocator_state_loaded());
  EXPECT_FALSE(mem->get_data_root().has_value());

  // Reopening finds nothing to repair and writes nothing.
  auto plan = std::make_shared<test::FaultPlan>();
  Store again = open_ok(std::make_unique<test::FaultInjectingBackend>(
      std::make_unique<MemoryBackend>(std::make_shared<MemoryFile>(image)), plan));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(plan->calls(BackendOp::kWrite), 0u);
  EXPECT_EQ(plan->calls(BackendOp::kSync), 0u);
}

TEST(PageStoreOpen, FilesThatAreNotDatabasesAreRefused) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool allow_initialize;
    bool read_only;
    std::string error;
  };
  std::vector<uint8_t> magic(kMagicNumber.begin(), kMagicNumber.end());
  std::vector<uint8_t> short_header = magic;
  short_header.resize(100, 0);
  std::vector<uint8_t> wrong(kPage, 0);
  wrong[0] = 'x';
  const std::vector<Case> cases = {
      {"empty, read-only", {}, false, true, kInvalidData},
      {"empty, not allowed to initialise", {}, false, false, kInvalidData},
      {"one byte", {0x71}, true, false, kInvalidData},
      {"eight bytes of the magic", {magic.begin(), magic.begin() + 8}, true, false, kInvalidData},
      {"wrong magic", wrong, true, false, kInvalidData},
      {"magic, short header", short_header, true, false,
       "I/O error: failed to fill whole buffer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto file = std::make_shared<MemoryFile>(c.bytes);
    StoreOptions options;
    options.allow_initialize = c.allow_initialize;
    options.read_only = c.read_only;
    auto r = open_store(backend_over(file), options);
    EXPECT_EQ(error_text(r), c.error);
    EXPECT_EQ(file->snapshot(), c.bytes);  // never initialised
  }
}

TEST(PageStoreOpen, RecoveryBitRewritesTheHeaderWritableAndRefusesReadOnly) {
  auto file = new_database();
  {
    Store mem = open_ok(backend_over(file));
    ASSERT_TRUE(mem->begin_writable().ok());
  }  // dropped without close: the bit stays set
  EXPECT_EQ(flag_byte(*file), 0b110);
  const std::vector<uint8_t> before = file->snapshot();

  StoreOptions read_only;
  read_only.read_only = true;
  EXPECT_EQ(error_text(open_store(backend_over(file), read_only)), "Database repair aborted.");
  EXPECT_EQ(file->snapshot(), before);

  auto plan = std::make_shared<test::FaultPlan>();
  Store mem = open_ok(std::make_unique<test::FaultInjectingBackend>(backend_over(file), plan));
  ASSERT_NE(mem, nullptr);
  EXPECT_EQ(plan->calls(BackendOp::kWrite), 1u);  // the header, at once
  EXPECT_EQ(plan->calls(BackendOp::kSync), 1u);
  EXPECT_EQ(flag_byte(*file), 0b110);  // the bit is left as read
  // The database layer clears it by repair before marking the file in use again.
  ASSERT_TRUE(mem->clear_recovery_required().ok());
  EXPECT_EQ(flag_byte(*file), 0b100);
  ASSERT_TRUE(mem->begin_writable().ok());

  Store unrepaired = open_ok(backend_over(file));
  EXPECT_EQ(panic_text([&] { (void)unrepaired->begin_writable(); }),
            "assertion failed: !state.header.recovery_required");
}

TEST(PageStoreOpen, FileLengthAgainstTheStoredLayout) {
  auto file = new_database();
  const std::vector<uint8_t> image = file->snapshot();

  // A few pages longer: recovery, and the layout grows to the file.
  std::vector<uint8_t> longer = image;
  longer.resize(image.size() + 3 * kPage, 0);
  auto longer_file = std::make_shared<MemoryFile>(longer);
  StoreOptions read_only;
  read_only.read_only = true;
  EXPECT_EQ(error_text(open_store(backend_over(longer_file), read_only)),
            "Database repair aborted.");
  Store mem = open_ok(backend_over(longer_file));
  ASSERT_NE(mem, nullptr);
  auto parsed = UnrepairedDatabaseHeader::from_bytes(longer_file->snapshot(), kPage);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value().header().trailing_region_data_pages(), 260u);

  // Shorter: refused.
  std::vector<uint8_t> shorter = image;
  shorter.resize(image.size() - kPage);
  EXPECT_EQ(error_text(open_store(backend_over(std::make_shared<MemoryFile>(shorter)))),
            "DB corrupted: File truncated below stored layout: file_len=1052672, "
            "layout_len=1056768");
}

TEST(PageStoreOpen, BeginWritableSetsTheBitOnDiskAndCloseClearsIt) {
  auto file = new_database();
  Store mem = open_ok(backend_over(file));
  ASSERT_TRUE(mem->begin_writable().ok());
  EXPECT_EQ(flag_byte(*file), 0b110);
  ASSERT_TRUE(mem->reset_allocator_state().ok());
  ASSERT_TRUE(mem->close().ok());
  EXPECT_EQ(flag_byte(*file), 0b100);
  // Closed: final.
  EXPECT_EQ(error_text(mem->begin_writable()), kClosed);
  EXPECT_EQ(error_text(mem->commit(std::nullopt, std::nullopt, TransactionId(1), true,
                                   TrimPolicy::kNever)),
            kClosed);
  PageAllocator allocator(mem, AllocationPolicy::kAny);
  auto tracker = PageTracker::create_disabled();
  EXPECT_EQ(error_text(allocator.allocate(1, tracker)), kClosed);
}

TEST(PageStoreOpen, CloseWithoutAllocatorsWritesNothing) {
  auto file = new_database();
  {
    Store mem = open_ok(backend_over(file));
    ASSERT_TRUE(mem->begin_writable().ok());
    const std::vector<uint8_t> before = file->snapshot();
    ASSERT_TRUE(mem->close().ok());
    EXPECT_EQ(file->snapshot(), before);
    EXPECT_EQ(flag_byte(*file), 0b110);
  }
  // A read-only store never writes: its backend would panic.
  auto clean = new_database();
  StoreOptions read_only;
  read_only.read_only = true;
  Store ro = open_ok(backend_over(clean), read_only);
  ASSERT_NE(ro, nullptr);
  EXPECT_TRUE(ro->get_page(PageNumber(0, 3, 0), PageReadHint::kCommitted).ok());
  EXPECT_TRUE(ro->close().ok());
}

// A failed write-back or sync at close is reported; the bit stays set on disk.
TEST(PageStoreOpen, CloseReportsAFailedWriteBackOrSync) {
  for (BackendOp op : {BackendOp::kWrite, BackendOp::kSync}) {
    SCOPED_TRACE(test::backend_op_name(op));
    auto file = new_database();
    auto plan = std::make_shared<test::FaultPlan>();
    Store mem = open_ok(std::make_unique<test::FaultInjectingBackend>(backend_over(file), plan));
    ASSERT_TRUE(mem->begin_writable().ok());
    ASSERT_TRUE(mem->reset_allocator_state().ok());
    PageAllocator allocator(mem, AllocationPolicy::kAny);
    auto tracker = PageTracker::create_disabled();
    {
      auto page = allocator.allocate(kPage, tracker);
      ASSERT_TRUE(page.ok());
      test::fill_page(page.value(), 7);
    }
    plan->fail_nth(op, plan->calls(op) + 1, EIO);
    EXPECT_EQ(error_text(mem->close()), "I/O error: Input/output error (os error 5)");
    EXPECT_EQ(flag_byte(*file), 0b110);
    EXPECT_EQ(plan->calls(BackendOp::kClose), 1u);  // the lock is released all the same
  }
}

TEST(PageStoreOpen, CloseAfterAnEarlierFailureWritesNothingAndSucceeds) {
  auto file = new_database();
  auto plan = std::make_shared<test::FaultPlan>();
  Store mem = open_ok(std::make_unique<test::FaultInjectingBackend>(backend_over(file), plan));
  ASSERT_TRUE(mem->begin_writable().ok());
  ASSERT_TRUE(mem->reset_allocator_state().ok());
  plan->fail_nth(BackendOp::kSync, plan->calls(BackendOp::kSync) + 1, EIO);
  EXPECT_FALSE(mem->commit(std::nullopt, std::nullopt, TransactionId(1), true, TrimPolicy::kNever)
                   .ok());
  const uint64_t writes = plan->calls(BackendOp::kWrite);
  EXPECT_TRUE(mem->close().ok());
  EXPECT_EQ(plan->calls(BackendOp::kWrite), writes);
  EXPECT_EQ(flag_byte(*file), 0b110);
}

TEST(PageStoreOpen, PoisonedStateLock) {
  auto file = new_database();
  Store mem = open_ok(backend_over(file));
  // A panic while the state lock is held: marking a page with allocators absent.
  EXPECT_EQ(panic_text([&] { (void)mem->mark_page_allocated(PageNumber(0, 0, 0)); }),
            "allocators have not been loaded yet");
  EXPECT_EQ(error_text(mem->get_last_committed_transaction_id()),
            "Poisoned internal lock: " + StorageError::LockPoisoned().location().to_string());
  EXPECT_FALSE(mem->get_last_durable_transaction_id().ok());
  EXPECT_EQ(panic_text([&] { (void)mem->get_data_root(); }),
            "called `Result::unwrap()` on an `Err` value");
  mem->invalidate_allocator_state();  // takes the lock all the same
  EXPECT_TRUE(mem->close().error().is(StorageError::Kind::kLockPoisoned));
}

TEST(PageStoreOpen, RegionSizeFollowsTheRequest) {
  struct Case {
    size_t page_size;
    std::optional<uint64_t> requested;
    uint32_t max_data_pages;
  };
  for (const Case& c : std::vector<Case>{{4096, std::nullopt, 1u << 20},
                                         {4096, uint64_t{1} << 20, 256},
                                         {512, std::nullopt, 1u << 20},
                                         {512, uint64_t{1} << 40, 1u << 20}}) {
    auto file = std::make_shared<MemoryFile>();
    StoreOptions options;
    options.page_size = c.page_size;
    options.region_size = c.requested;
    Store mem = open_ok(backend_over(file), options);
    ASSERT_NE(mem, nullptr);
    EXPECT_EQ(mem->region_size(), uint64_t{c.max_data_pages} * c.page_size);
    auto parsed = UnrepairedDatabaseHeader::from_bytes(file->snapshot(), c.page_size);
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.value().header().region_max_data_pages(), c.max_data_pages);
  }
  EXPECT_EQ(panic_text([] { (void)open_store(std::make_unique<MemoryBackend>(),
                                             StoreOptions{true, false, 256}); }),
            "assertion failed: page_size.is_power_of_two() && page_size >= DB_HEADER_SIZE");
  EXPECT_EQ(panic_text([] {
              (void)open_store(std::make_unique<MemoryBackend>(),
                               StoreOptions{true, false, 4096, uint64_t{3} << 20});
            }),
            "assertion failed: region_size.is_power_of_two()");
}

}  // namespace
}  // namespace storage
