#include "src/fullmap/db_cache.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "src/fullmap/layout.h"
#include "src/fullmap/settings.h"

namespace rs::fullmap {
namespace {

using storage::Err;
using storage::IoError;
using storage::TextCodec;

class DbCache {
 public:
  // The cache, made on first use and never destroyed (handles may be in use
  // by other threads while the process ends).
  static DbCache& get() {
    static DbCache* cache = [] {
      auto* made = new DbCache();
      created_.store(made, std::memory_order_release);
      return made;
    }();
    return *cache;
  }
  // Null until get() was first called.
  static DbCache* existing() { return created_.load(std::memory_order_acquire); }

  std::shared_mutex mu;
  std::atomic<bool> poisoned{false};
  std::unordered_map<std::string, CachedDatabase> map;
  std::atomic<uint64_t> fresh_opens{0};

 private:
  DbCache() = default;
  static inline std::atomic<DbCache*> created_{nullptr};
};

// The write lock; leaving its scope by an exception poisons the cache, as
// the map may then be half changed.
class WriteLock {
 public:
  explicit WriteLock(DbCache& cache)
      : cache_(cache), lock_(cache.mu), exceptions_(std::uncaught_exceptions()) {}
  ~WriteLock() {
    if (std::uncaught_exceptions() > exceptions_) cache_.poisoned.store(true);
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  bool poisoned() const { return cache_.poisoned.load(); }

 private:
  DbCache& cache_;
  std::unique_lock<std::shared_mutex> lock_;
  int exceptions_;
};

PendingError poisoned_error() { return PendingError(LockPoisoned{}); }

struct Identity {
  uint64_t dev = 0;
  uint64_t ino = 0;
};

// Metadata of `path`, following symbolic links; the errno on failure.
storage::Result<Identity, int> stat_path(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Err(errno);
  return Identity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

Identity identity_of(const storage::ReadOnlyDatabase& db) {
  const storage::FileIdentity id = db.file_identity();
  return Identity{id.device, id.inode};
}

// Inserts `entry` under `key`, replacing any entry there. The replaced
// handle is released after the lock.
storage::Result<void, PendingError> insert_entry(const std::string& key, CachedDatabase entry) {
  DbCache& cache = DbCache::get();
  CachedDatabase replaced;
  {
    WriteLock lock(cache);
    if (lock.poisoned()) return Err(poisoned_error());
    CachedDatabase& slot = cache.map[key];
    replaced = std::move(slot);
    slot = std::move(entry);
  }
  return {};
}

}  // namespace

storage::Result<std::optional<std::string>, PendingError> read_meta(
    const storage::ReadOnlyDatabase& db, std::string_view key) {
  TRY_ASSIGN(storage::ReadTransaction txn, db.begin_read());
  TRY_ASSIGN(auto meta, (txn.open_table<TextCodec, TextCodec>(kMetaTable)));
  TRY_ASSIGN(auto value, meta.get(key));
  if (!value) return std::optional<std::string>();
  return std::optional<std::string>(std::string(value->value()));
}

std::string canonical_or_given(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (resolved == nullptr) return path;
  return std::string(resolved.get());
}

storage::Result<DatabaseHandle, PendingError> open_read_only(const std::string& path) {
  auto opened = storage::ReadOnlyDatabase::open(path);
  if (!opened.ok()) {
    const storage::DatabaseError& e = opened.error();
    if (e.kind() == storage::DatabaseError::Kind::kRepairCancelled ||
        e.kind() == storage::DatabaseError::Kind::kNeedsUpgrade) {
      return Err(PendingError::runtime_static(kDbNeedsRepair));
    }
    return Err(PendingError(std::move(opened).error()));
  }
  return std::make_shared<storage::ReadOnlyDatabase>(std::move(opened).value());
}

storage::Result<void, PendingError> check_schema(const storage::ReadOnlyDatabase& db) {
  TRY_ASSIGN(std::optional<std::string> schema, read_meta(db, kMetaSchemaKey));
  if (schema && *schema == kSchemaTag) return {};
  if (schema && (*schema == "quorvendel.fullmap.v4" || *schema == "quorvendel.fullmap.v3" ||
                 *schema == "quorvendel.fullmap.v2" || *schema == "quorvendel.fullmap.v1")) {
    return Err(PendingError::runtime_static(kDbOutdated));
  }
  return Err(PendingError::runtime_static(kDbUnsupportedSchema));
}

storage::Result<uint64_t, PendingError> read_build_id(const storage::ReadOnlyDatabase& db) {
  TRY_ASSIGN(std::optional<std::string> text, read_meta(db, kMetaBuildIdKey));
  if (!text) return Err(PendingError::runtime_static(kDbMissingBuildId));
  std::optional<size_t> id = parse_usize(*text);
  static_assert(sizeof(size_t) == sizeof(uint64_t));
  if (!id) return Err(PendingError::runtime_static(kDbInvalidBuildId));
  return uint64_t{*id};
}

storage::Result<OpenedDatabase, PendingError> open_cached(const std::string& path) {
  return open_cached_path(canonical_or_given(path), true);
}

storage::Result<OpenedDatabase, PendingError> open_cached_path(const std::string& path,
                                                               bool validate) {
  DbCache& cache = DbCache::get();
  std::optional<CachedDatabase> hit;
  {
    std::shared_lock lock(cache.mu);
    if (cache.poisoned.load()) return Err(poisoned_error());
    auto it = cache.map.find(path);
    if (it != cache.map.end()) hit = it->second;
  }
  if (hit) {
    auto now = stat_path(path);
    if (!now.ok()) {
      if (now.error() == ENOENT) return OpenedDatabase{hit->db, true, hit->build_id};
      return Err(PendingError(IoError::from_errno(now.error())));
    }
    if (now->dev == hit->dev && now->ino == hit->ino) {
      return OpenedDatabase{hit->db, false, hit->build_id};
    }
    // Replaced: drop the stale entry, unless another thread already put a
    // fresh one there.
    CachedDatabase stale;
    {
      WriteLock lock(cache);
      if (lock.poisoned()) return Err(poisoned_error());
      auto it = cache.map.find(path);
      if (it != cache.map.end() && it->second.dev == hit->dev && it->second.ino == hit->ino) {
        stale = std::move(it->second);
        cache.map.erase(it);
      }
    }
    hit.reset();
  }
  TRY_ASSIGN(DatabaseHandle db, open_read_only(path));
  cache.fresh_opens.fetch_add(1, std::memory_order_relaxed);
  if (validate) TRY(check_schema(*db));
  TRY_ASSIGN(uint64_t build_id, read_build_id(*db));
  const Identity id = identity_of(*db);
  TRY(insert_entry(path, CachedDatabase{db, id.dev, id.ino, build_id}));
  return OpenedDatabase{std::move(db), false, build_id};
}

storage::Result<void, PendingError> cache_database(const std::string& output) {
  TRY_ASSIGN(DatabaseHandle db, open_read_only(output));
  const std::string key = canonical_or_given(output);
  TRY_ASSIGN(uint64_t build_id, read_build_id(*db));
  const Identity id = identity_of(*db);
  return insert_entry(key, CachedDatabase{std::move(db), id.dev, id.ino, build_id});
}

storage::Result<void, PendingError> evict_cached_paths(const std::string& output) {
  DbCache* cache = DbCache::existing();
  if (cache == nullptr) return {};
  // Paths are resolved and room is made before the lock, which readers wait on.
  std::vector<std::string> keys;
  keys.reserve(kShardCount + 1);
  keys.push_back(canonical_or_given(output));
  for (uint32_t i = 0; i < kShardCount; ++i) {
    keys.push_back(canonical_or_given(shard_path(output, i)));
  }
  std::vector<CachedDatabase> evicted;
  evicted.reserve(keys.size());
  {
    WriteLock lock(*cache);
    if (lock.poisoned()) return Err(poisoned_error());
    for (const std::string& key : keys) {
      auto it = cache->map.find(key);
      if (it == cache->map.end()) continue;
      evicted.push_back(std::move(it->second));
      cache->map.erase(it);
    }
  }
  return {};
}

std::optional<CachedDatabase> cached_entry_for_test(const std::string& path) {
  DbCache* cache = DbCache::existing();
  if (cache == nullptr) return std::nullopt;
  std::shared_lock lock(cache->mu);
  auto it = cache->map.find(path);
  if (it == cache->map.end()) return std::nullopt;
  return it->second;
}

uint64_t fresh_opens_for_test() {
  DbCache* cache = DbCache::existing();
  return cache == nullptr ? 0 : cache->fresh_opens.load();
}

}  // namespace rs::fullmap
