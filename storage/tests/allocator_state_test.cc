// The saved allocator state as file bytes: every way a stored state can be
// unreadable is a Corrupted open, never a panic or a wrong allocator; a stale
// state sends a writable open to repair and refuses a read-only one; and the
// repair's walk of the unreachable-page lists checks what it reads.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/database.h"
#include "storage/src/database_internal.h"
#include "storage/src/transactions/page_lists.h"
#include "storage/src/transactions/transaction_state.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/result_support.h"

namespace storage {
namespace {

using test::MemoryBackend;
using test::MemoryFile;

constexpr size_t kCache = 1 << 20;

using test::error_text;
using test::take;

// A cleanly closed file with one table of 2000 entries.
std::shared_ptr<MemoryFile> clean_file() {
  auto file = std::make_shared<MemoryFile>();
  Database db = take(Database::builder().set_cache_size(kCache).create_with_backend(
      std::make_unique<MemoryBackend>(file)));
  WriteTransaction txn = take(db.begin_write());
  {
    auto table = take((txn.open_table<U64Codec, BytesCodec>("t")));
    const std::vector<uint8_t> value(100, 7);
    for (uint64_t k = 0; k < 2000; ++k) take(table.insert(k, ByteView(value)));
  }
  take(std::move(txn).commit());
  take(db.close());
  return file;
}

using DirectoryEdit = std::function<void(TableTreeMut&, TransactionId last)>;

// Rewrites the system directory of a cleanly closed file and commits it
// two-phase under the same transaction id, so that a saved state still names
// the last commit; the file stays clean.
void rewrite_system_tables(const std::shared_ptr<MemoryFile>& file, const DirectoryEdit& edit) {
  auto mem = take(TransactionalMemory::open(std::make_unique<MemoryBackend>(file), false, 4096,
                                            std::nullopt, kCache, false));
  auto saved = take(get_allocator_state_table(mem));
  ASSERT_TRUE(saved.has_value());
  take(load_allocator_state(*mem, *saved));
  const TransactionId last = take(mem->get_last_committed_transaction_id());
  auto tracker = TransactionTracker::create(last);
  WriteTransaction txn =
      take(begin_write_with_allocation_policy(tracker, mem, AllocationPolicy::kAny));
  const auto& state = detail::WriteTransactionAccess::state(txn);
  std::optional<BtreeHeader> system_root;
  {
    auto system = state->system_tables.lock_or_panic();
    edit(system->table_tree, last);
    take(system->table_tree.flush_table_root_updates());
    system_root = take(system->table_tree.directory_tree().finalize_dirty_checksums());
  }
  take(mem->commit(mem->get_data_root(), system_root, last, true, TrimPolicy::kNever));
  // Committed: nothing of it may be rolled back.
  (void)state->allocator.take_allocated_since_commit();
  take(std::move(txn).abort());
  take(mem->close());
}

// Edits the "allocator_state" table in place.
DirectoryEdit edit_state(std::function<void(AllocatorStateTree&, TransactionId)> step) {
  return [step](TableTreeMut& directory, TransactionId last) {
    auto table = take((open_system_table<AllocatorStateKey, BytesCodec>(directory,
                                                                        kAllocatorStateTable)));
    step(table.tree(), last);
  };
}

std::vector<uint8_t> value_of(AllocatorStateTree& tree, AllocatorStateKey key) {
  auto found = take(tree.get(key));
  EXPECT_TRUE(found.has_value());
  if (!found) return {};
  const ByteView bytes = found->bytes();
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

void put(AllocatorStateTree& tree, ByteView key, const std::vector<uint8_t>& value) {
  take(tree.untyped().insert(key, ByteView(value)));
}

TEST(AllocatorStateTest, UnreadableSavedStatesAreCorrupted) {
  struct Case {
    const char* name;
    DirectoryEdit edit;
    const char* expected_prefix;
  };
  const std::vector<Case> cases = {
      {"unknown key tag", edit_state([](AllocatorStateTree& tree, TransactionId) {
         const std::vector<uint8_t> key = {9, 0, 0, 0, 0};
         put(tree, ByteView(key), {1, 2, 3});
       }),
       "DB corrupted: Allocator state holds a key"},
      {"missing region 0", edit_state([](AllocatorStateTree& tree, TransactionId) {
         take(tree.remove(AllocatorStateKey::Region(0)));
       }),
       "DB corrupted: Allocator state"},
      {"missing region tracker", edit_state([](AllocatorStateTree& tree, TransactionId) {
         take(tree.remove(AllocatorStateKey::RegionTracker()));
       }),
       "DB corrupted: Allocator state lacks the region tracker"},
      {"transaction id of 7 bytes", edit_state([](AllocatorStateTree& tree, TransactionId last) {
         std::vector<uint8_t> id(8);
         store_le64(id.data(), last.id);
         id.pop_back();
         take(tree.insert(AllocatorStateKey::TransactionId(), ByteView(id)));
       }),
       "DB corrupted: Allocator state holds a transaction id of 7 bytes"},
      {"transaction id of 9 bytes", edit_state([](AllocatorStateTree& tree, TransactionId last) {
         std::vector<uint8_t> id(9);
         store_le64(id.data(), last.id);
         take(tree.insert(AllocatorStateKey::TransactionId(), ByteView(id)));
       }),
       "DB corrupted: Allocator state holds a transaction id of 9 bytes"},
      {"garbage region image", edit_state([](AllocatorStateTree& tree, TransactionId) {
         take(tree.insert(AllocatorStateKey::Region(0), ByteView(std::vector<uint8_t>{1, 2, 3})));
       }),
       "DB corrupted: "},
      {"garbage tracker image", edit_state([](AllocatorStateTree& tree, TransactionId) {
         take(tree.insert(AllocatorStateKey::RegionTracker(),
                          ByteView(std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 1})));
       }),
       "DB corrupted: "},
      // A used region beyond the file's single region does not fit the layout.
      {"region beyond the layout", edit_state([](AllocatorStateTree& tree, TransactionId) {
         const std::vector<uint8_t> image = value_of(tree, AllocatorStateKey::Region(0));
         take(tree.insert(AllocatorStateKey::Region(1), ByteView(image)));
       }),
       "DB corrupted: Allocator state"},
      {"wrong table types",
       [](TableTreeMut& directory, TransactionId) {
         take(directory.delete_table(kAllocatorStateTable, TableKind::kNormal));
         auto table = take((open_system_table<U64Codec, BytesCodec>(directory,
                                                                    kAllocatorStateTable)));
         take(table.tree().insert(5, ByteView(std::vector<uint8_t>{1})));
       },
       "DB corrupted: Unexpected TableError: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto file = clean_file();
    rewrite_system_tables(file, c.edit);
    for (bool writable : {true, false}) {
      SCOPED_TRACE(writable);
      std::string text;
      bool repaired = false;
      if (writable) {
        auto opened = Database::builder()
                          .set_cache_size(kCache)
                          .set_repair_callback([&](RepairSession&) { repaired = true; })
                          .create_with_backend(std::make_unique<MemoryBackend>(file));
        text = error_text(opened);
      } else {
        text = error_text(
            ReadOnlyDatabase::open_backend(std::make_unique<MemoryBackend>(file), kCache));
      }
      EXPECT_EQ(text.rfind(c.expected_prefix, 0), 0u) << text;
      EXPECT_FALSE(repaired);
    }
  }
}

TEST(AllocatorStateTest, UntouchedRewriteStillOpens) {
  // The harness itself leaves a loadable state.
  auto file = clean_file();
  rewrite_system_tables(file, [](TableTreeMut&, TransactionId) {});
  EXPECT_TRUE(ReadOnlyDatabase::open_backend(std::make_unique<MemoryBackend>(file), kCache).ok());
  EXPECT_TRUE(Database::builder()
                  .set_cache_size(kCache)
                  .create_with_backend(std::make_unique<MemoryBackend>(file))
                  .ok());
}

TEST(AllocatorStateTest, StaleStateIsRepairedWritableAndRefusedReadOnly) {
  auto file = clean_file();
  rewrite_system_tables(file, edit_state([](AllocatorStateTree& tree, TransactionId last) {
                          const auto id = U64Codec::as_bytes(last.id - 1);
                          take(tree.insert(AllocatorStateKey::TransactionId(), ByteView(id)));
                        }));
  EXPECT_EQ(error_text(ReadOnlyDatabase::open_backend(std::make_unique<MemoryBackend>(file),
                                                      kCache)),
            "Database repair aborted.");
  std::vector<double> seen;
  {
    Database db = take(Database::builder()
                           .set_cache_size(kCache)
                           .set_repair_callback([&](RepairSession& s) {
                             seen.push_back(s.progress());
                           })
                           .create_with_backend(std::make_unique<MemoryBackend>(file)));
  }
  EXPECT_EQ(seen, (std::vector<double>{0.0, 0.6, 0.9}));
  ReadOnlyDatabase ro =
      take(ReadOnlyDatabase::open_backend(std::make_unique<MemoryBackend>(file), kCache));
  ReadTransaction txn = take(ro.begin_read());
  auto table = take((txn.open_table<U64Codec, BytesCodec>("t")));
  EXPECT_TRUE(take(table.get(1999)).has_value());
}

// The repair marks every page the unreachable-page lists name: a list shorter
// than its count, or a list table of other types, is Corrupted.
TEST(AllocatorStateTest, RepairChecksTheUnreachablePageLists) {
  struct Case {
    const char* name;
    DirectoryEdit edit;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"short page list",
       [](TableTreeMut& directory, TransactionId) {
         auto table = take((open_system_table<TransactionIdWithPagination, PageList>(
             directory, kDataPagesUnreachable)));
         const std::vector<uint8_t> value = {5, 0, 1, 2, 3};
         take(table.tree().untyped().insert(
             ByteView(TransactionIdWithPagination::as_bytes({1, 0})), ByteView(value)));
       },
       "DB corrupted: "},
      {"list table of other types",
       [](TableTreeMut& directory, TransactionId) {
         take(directory.delete_table(kSystemPagesUnreachable, TableKind::kNormal));
         auto table =
             take((open_system_table<U64Codec, BytesCodec>(directory, kSystemPagesUnreachable)));
         take(table.tree().insert(1, ByteView(std::vector<uint8_t>{0, 0})));
       },
       "DB corrupted: Unable to open system_pages_unreachable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto file = clean_file();
    // Without a saved state the next writable open repairs.
    rewrite_system_tables(file, [&](TableTreeMut& directory, TransactionId last) {
      take(directory.delete_table(kAllocatorStateTable, TableKind::kNormal));
      c.edit(directory, last);
    });
    auto opened = Database::builder().set_cache_size(kCache).create_with_backend(
        std::make_unique<MemoryBackend>(file));
    const std::string text = error_text(opened);
    EXPECT_EQ(text.rfind(c.expected, 0), 0u) << text;
  }
}

}  // namespace
}  // namespace storage
