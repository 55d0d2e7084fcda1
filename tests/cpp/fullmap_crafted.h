// Fullmap files written table by table through the storage engine, so that
// tests can hold contents no build would write: chained values, dangling
// ids, odd `meta` values, mixed build ids.
//
// Thread safety: a CraftedFullmap has one owner; write() may run on any
// thread.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "src/fullmap/layout.h"
#include "src/xxh64.h"
#include "storage/database.h"
#include "storage/transaction.h"

namespace rs::fullmap::test {

struct CraftedFullmap {
  std::map<uint16_t, std::string> prefixes;
  std::map<uint16_t, std::string> categories;
  std::map<uint8_t, std::string> sources;
  std::map<uint32_t, CurieRow> curies;
  // Entries of the primary's `meta`; a missing key is left out.
  std::map<std::string, std::string> meta;
  // The value under each key of each shard's `records`.
  std::vector<std::map<uint64_t, std::string>> records =
      std::vector<std::map<uint64_t, std::string>>(kShardCount);
  // Each shard's `build_id`; nullopt leaves the key out.
  std::vector<std::optional<std::string>> shard_build_ids =
      std::vector<std::optional<std::string>>(kShardCount);
  uint32_t shard_files = kShardCount;

  // A consistent fullmap of build `build_id`.
  explicit CraftedFullmap(uint64_t build_id = 7) { set_build_id(build_id); }

  void set_build_id(uint64_t id) {
    meta["schema"] = std::string(kSchemaTag);
    meta["build_id"] = std::to_string(id);
    meta["shards"] = "16";
    for (auto& b : shard_build_ids) b = std::to_string(id);
  }

  // Stores `term` alone under its hash in its shard.
  void add_term(std::string_view term, std::vector<Posting> postings) {
    const uint64_t h = xxh64_hash(term);
    std::string value;
    encode_record(RecordEntry{term, postings}, &value);
    records[h & (kShardCount - 1)][h] = value;
  }

  // Stores a value of several records under `hash` in shard hash & 15.
  void add_chain(uint64_t hash, const std::vector<RecordEntry>& entries) {
    std::string value;
    for (const RecordEntry& e : entries) encode_record(e, &value);
    records[hash & (kShardCount - 1)][hash] = value;
  }

  void add_curie(uint32_t id, uint16_t prefix, std::string local, std::string name,
                 uint16_t category, int32_t taxon) {
    curies[id] = CurieRow{prefix, std::move(local), std::move(name), category, taxon};
  }

  // Writes the primary at `path` and shards 0 to shard_files - 1 beside it,
  // replacing any files there (new inodes).
  void write(const std::string& path) const {
    std::filesystem::remove(path);
    write_primary(path);
    for (uint32_t i = 0; i < shard_files; ++i) {
      const std::string s = shard_path(path, i);
      std::filesystem::remove(s);
      write_shard(s, i);
    }
  }

  void write_primary(const std::string& path) const {
    auto created = create(path);
    ASSERT_TRUE(created.ok()) << created.error().to_string();
    storage::Database db = std::move(created).value();
    auto txn = db.begin_write();
    ASSERT_TRUE(txn.ok());
    storage::WriteTransaction w = std::move(txn).value();
    {
      auto t = w.open_table<storage::U16Codec, storage::TextCodec>(kPrefixesTable);
      ASSERT_TRUE(t.ok());
      for (const auto& [k, v] : prefixes) ASSERT_TRUE(t.value().insert(k, v).ok());
    }
    {
      auto t = w.open_table<storage::U16Codec, storage::TextCodec>(kCategoriesTable);
      ASSERT_TRUE(t.ok());
      for (const auto& [k, v] : categories) ASSERT_TRUE(t.value().insert(k, v).ok());
    }
    {
      auto t = w.open_table<storage::U8Codec, storage::BytesCodec>(kSourcesTable);
      ASSERT_TRUE(t.ok());
      for (const auto& [k, v] : sources) {
        std::string bytes;
        encode_source_row(v, &bytes);
        ASSERT_TRUE(t.value().insert(k, as_bytes(bytes)).ok());
      }
    }
    {
      auto t = w.open_table<storage::U32Codec, storage::BytesCodec>(kCuriesTable);
      ASSERT_TRUE(t.ok());
      for (const auto& [k, v] : curies) {
        std::string bytes;
        encode_curie_row(v, &bytes);
        ASSERT_TRUE(t.value().insert(k, as_bytes(bytes)).ok());
      }
    }
    {
      auto t = w.open_table<storage::TextCodec, storage::TextCodec>(kMetaTable);
      ASSERT_TRUE(t.ok());
      for (const auto& [k, v] : meta) ASSERT_TRUE(t.value().insert(k, v).ok());
    }
    ASSERT_TRUE(std::move(w).commit().ok());
    ASSERT_TRUE(db.close().ok());
  }

  void write_shard(const std::string& path, uint32_t index) const {
    auto created = create(path);
    ASSERT_TRUE(created.ok()) << created.error().to_string();
    storage::Database db = std::move(created).value();
    auto txn = db.begin_write();
    ASSERT_TRUE(txn.ok());
    storage::WriteTransaction w = std::move(txn).value();
    {
      auto t = w.open_table<storage::TextCodec, storage::TextCodec>(kMetaTable);
      ASSERT_TRUE(t.ok());
      if (shard_build_ids[index]) {
        ASSERT_TRUE(t.value().insert(kMetaBuildIdKey, *shard_build_ids[index]).ok());
      }
    }
    {
      auto t = w.open_table<storage::U64Codec, storage::BytesCodec>(kRecordsTable);
      ASSERT_TRUE(t.ok());
      for (const auto& [k, v] : records[index]) ASSERT_TRUE(t.value().insert(k, as_bytes(v)).ok());
    }
    ASSERT_TRUE(std::move(w).commit().ok());
    ASSERT_TRUE(db.close().ok());
  }

  // A reader may hold a fresh file for an instant (it opens, finds no
  // commit and lets go): creating waits that out.
  static storage::Result<storage::Database, storage::DatabaseError> create(
      const std::string& path) {
    for (int attempt = 0;; ++attempt) {
      auto created = storage::Database::builder().create(path);
      if (created.ok() || attempt == 200 ||
          created.error().kind() != storage::DatabaseError::Kind::kLockHeld) {
        return created;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  static storage::ByteView as_bytes(const std::string& s) {
    return storage::ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
};

}  // namespace rs::fullmap::test
