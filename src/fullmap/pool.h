// The build's thread pool: a oneTBB arena of exactly the worker count, also
// above the CPU count (oneTBB alone caps its workers there), on which one
// body runs while the calling thread only waits.
//
// Thread safety: run_on_pool may be called from several threads at once; the
// process-wide parallelism limit it raises is kept at the largest any running
// pool needs.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>

#include "src/fullmap/error.h"
#include "storage/src/result.h"

namespace rs::fullmap {

using PoolBody = std::function<storage::Result<void, PendingError>()>;

struct PoolOutcome {
  storage::Result<void, PendingError> result = {};
  // What escaped the body (a panic), to be raised on the calling thread.
  std::exception_ptr escaped;
};

// More threads than this are not started: the pool fails instead.
inline constexpr size_t kMaxPoolThreads = 4096;

// Runs `body` as one task on a fresh arena of `workers` threads (at least 1)
// and waits for it. A pool that cannot start fails with its error's text.
// The arena is let go at the end without waiting for its threads.
PoolOutcome run_on_pool(size_t workers, PoolBody body);

}  // namespace rs::fullmap
