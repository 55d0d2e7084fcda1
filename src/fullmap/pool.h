// The build's thread pool: exactly the worker count of threads, started by
// the call and joined before it returns, on which one body runs while the
// calling thread only waits. The body, and anything it runs on the pool, may
// spread a loop over the pool's threads with parallel_for.
//
// Thread safety: run_on_pool may be called from several threads at once;
// each call has a pool of its own. parallel_for may be called from any
// thread, also from inside an item of another parallel_for.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>

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

// The pool's refusal of `workers` threads, when there are more than it starts
// (checked before a build deletes anything, and again by the pool itself).
std::optional<PendingError> check_pool_size(size_t workers);

// Starts `workers` threads (at least 1), runs `body` on one of them and
// waits for it; every thread has ended when this returns. A thread the
// system refuses fails the pool with the system's error text, after the
// threads already started have been stopped and joined; the body then never
// runs.
PoolOutcome run_on_pool(size_t workers, PoolBody body);

// Calls fn(i) once for every i below n, on the calling thread and the idle
// threads of the pool it runs on (outside a pool, on the calling thread
// alone), and returns when every call has ended. Items are handed out one at
// a time to whichever thread asks next. When a call throws, the items not yet
// begun are skipped and the first exception is thrown here, once every call
// that began has ended.
void parallel_for(size_t n, const std::function<void(size_t)>& fn);

// The number of threads of the pool the calling thread runs on; 1 outside a
// pool.
size_t pool_concurrency();

}  // namespace rs::fullmap
