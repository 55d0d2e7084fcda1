// Pinning one generation of a fullmap: the primary and every shard it routes
// over, all carrying the same build id, taken from the database cache.
//
// A lookup answers only from such a bundle: its names, CURIE rows and term
// records all come from the one build, or the lookup fails.
//
// Thread safety: any thread, without the interpreter lock; the handles are
// shared with the cache by reference count.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/fullmap/db_cache.h"
#include "src/fullmap/error.h"
#include "storage/src/result.h"

namespace rs::fullmap {

inline constexpr int kPinAttempts = 5;
inline constexpr int kPinRetrySleepMs = 50;

// A primary and its shards of one build.
struct PinnedBundle {
  DatabaseHandle primary;
  uint64_t build_id = 0;
  // In shard order; the count is the primary's routing shard count.
  std::vector<DatabaseHandle> shards;
};

// The routing shard count of a `meta` `shards` value: absent or not an
// unsigned decimal gives 16; below 2 gives 1; otherwise the largest power of
// two not above it, at most 16 (a value above 2^63 gives 1).
uint32_t routing_shard_count(std::optional<std::string_view> meta_shards);

// Pins a bundle of the fullmap at `path` (as the caller gave it): up to five
// attempts, 50 ms apart, while files are being replaced. The primary is
// validated; the shards are not. Failures to open or read a file end the call
// at once; an inconsistent bundle after the last attempt fails with "fullmap
// at {} kept changing generation; could not pin one primary-plus-shards
// bundle after 5 attempts".
storage::Result<PinnedBundle, PendingError> open_cached_shards(const std::string& path);

// Test hook: called before every pinning attempt with its number (from 1).
struct PinTestHooks {
  void (*before_attempt)(int attempt) = nullptr;
};
PinTestHooks& pin_test_hooks();

}  // namespace rs::fullmap
