// The process-wide cache of open read-only fullmap files, DB_CACHE: one map
// from path to CachedDatabase behind one reader-writer lock. A cached handle
// is reused while the file at its path is still the one it was opened from
// (same device and inode), and also while no file is there at all; a file
// replaced under its path is opened afresh and its entry replaced.
//
// The identity kept for an entry is that of the file the database opened
// (fstat of its descriptor), so a file replaced between a path lookup and
// the open can never be cached under the old file's identity.
//
// Handles are shared: evicting or replacing an entry never closes a database
// that a caller still holds.
//
// Thread safety: every function may be called from any thread, with or
// without the interpreter lock. The lock is held only to look up, copy,
// insert or remove entries; files are opened outside it. A thread that fails
// while holding the write lock leaves the cache poisoned: every later call
// fails with "poisoned lock: another task failed inside".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "src/fullmap/error.h"
#include "storage/database.h"
#include "storage/src/result.h"

namespace rs::fullmap {

using DatabaseHandle = std::shared_ptr<storage::ReadOnlyDatabase>;

struct CachedDatabase {
  DatabaseHandle db;
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t build_id = 0;
};

struct OpenedDatabase {
  DatabaseHandle db;
  // The cached handle of a file that no longer exists.
  bool missing = false;
  uint64_t build_id = 0;
};

inline constexpr char kDbOutdated[] =
    "fullmap DB is outdated; rebuild with 'quorvendel build-fullmap'";
inline constexpr char kDbUnsupportedSchema[] = "unsupported fullmap database schema";
inline constexpr char kDbNeedsRepair[] =
    "fullmap DB is outdated or needs repair; rebuild with 'quorvendel build-fullmap'";
inline constexpr char kDbMissingBuildId[] =
    "fullmap DB is missing META.build_id; rebuild with 'quorvendel build-fullmap'";
inline constexpr char kDbInvalidBuildId[] =
    "fullmap DB has invalid META.build_id; rebuild with 'quorvendel build-fullmap'";

// The canonical form of `path`, or `path` itself when it cannot be resolved.
// The value of `key` in the database's `meta` table, if stored.
storage::Result<std::optional<std::string>, PendingError> read_meta(
    const storage::ReadOnlyDatabase& db, std::string_view key);

std::string canonical_or_given(const std::string& path);

// The primary at `path` (made canonical), validated when opened afresh.
storage::Result<OpenedDatabase, PendingError> open_cached(const std::string& path);

// The cache lookup with its identity check, and on a miss the fresh open
// (with the schema check when `validate`). `path` is the cache key as given.
storage::Result<OpenedDatabase, PendingError> open_cached_path(const std::string& path,
                                                               bool validate);

// Opens a fullmap file read-only; never repairs. A file that needs repair or
// a format upgrade fails with kDbNeedsRepair.
storage::Result<DatabaseHandle, PendingError> open_read_only(const std::string& path);

// The `meta` build_id of a fullmap file (primary or shard).
storage::Result<uint64_t, PendingError> read_build_id(const storage::ReadOnlyDatabase& db);

// The schema check of a primary: passes only "quorvendel.fullmap.v5".
storage::Result<void, PendingError> check_schema(const storage::ReadOnlyDatabase& db);

// After a successful build: opens the new primary and caches it under its
// canonical path. The schema is not checked here.
storage::Result<void, PendingError> cache_database(const std::string& output);

// Before a build touches its files: drops the entries of `output` and its 16
// shard paths (each made canonical). Nothing happens before the cache exists.
storage::Result<void, PendingError> evict_cached_paths(const std::string& output);

// Tests: the cached entry of a path, if any, and the count of fresh opens.
std::optional<CachedDatabase> cached_entry_for_test(const std::string& path);
uint64_t fresh_opens_for_test();

}  // namespace rs::fullmap
