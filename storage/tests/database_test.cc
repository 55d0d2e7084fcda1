// Opening, repairing and closing databases through the public face.
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/database.h"
#include "storage/src/database_internal.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/temp_dir.h"

namespace storage {
namespace {

using test::MemoryBackend;
using test::MemoryFile;

template <typename R>
auto take(R result) {
  if (!result.ok()) {
    ADD_FAILURE() << result.error().to_string();
    std::abort();
  }
  return std::move(result).value();
}

// Writes n u64 → text pairs into "t" in one durable commit.
void write_pairs(const Database& db, uint64_t first, uint64_t n) {
  WriteTransaction txn = take(db.begin_write());
  {
    auto table = take((txn.open_table<U64Codec, TextCodec>("t")));
    for (uint64_t k = first; k < first + n; ++k) {
      take(table.insert(k, "value " + std::to_string(k)));
    }
  }
  take(std::move(txn).commit());
}

uint64_t count_pairs(const ReadOnlyDatabase& db) {
  ReadTransaction txn = take(db.begin_read());
  auto table = take((txn.open_table<U64Codec, TextCodec>("t")));
  auto range = take(table.iter());
  uint64_t n = 0;
  while (auto entry = range.next()) {
    auto [k, v] = take(std::move(*entry));
    EXPECT_EQ(v.value(), "value " + std::to_string(k.value()));
    ++n;
  }
  return n;
}

TEST(DatabaseTest, FileRoundTripAndIdentity) {
  test::TempDir dir;
  const std::string path = dir.file("db");
  {
    Database db = take(Database::builder().set_cache_size(1 << 20).create(path));
    write_pairs(db, 0, 1000);
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(db.file_identity(), (FileIdentity{st.st_dev, st.st_ino}));
  }
  ReadOnlyDatabase ro = take(ReadOnlyDatabase::open(path, 1 << 20));
  EXPECT_EQ(count_pairs(ro), 1000u);
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(ro.file_identity(), (FileIdentity{st.st_dev, st.st_ino}));
}

}  // namespace
}  // namespace storage
