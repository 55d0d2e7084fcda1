// The process-wide cache of open read-only fullmap files, as the build uses
// it: eviction of the paths it is about to rewrite, insertion of the new
// primary after success.
//
// Thread safety: callable from any thread with the interpreter lock held.
#pragma once

#include <string>

#include "src/fullmap/error.h"
#include "storage/src/result.h"

namespace rs::fullmap {

// Drops the cache entries of `output` and its 16 shard paths. Nothing can be
// cached before the database layer exists, so there is nothing to drop yet.
storage::Result<void, PendingError> evict_cached_paths(const std::string& output);

}  // namespace rs::fullmap
