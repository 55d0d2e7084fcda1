// Where fullmap errors become Python exceptions: only here, with the
// interpreter lock held.
//
// Thread safety: call with the interpreter lock held.
#pragma once

#include <optional>
#include <utility>

#include "src/boundary.h"
#include "src/fullmap/error.h"
#include "src/fullmap/pool.h"
#include "src/fullmap/progress.h"
#include "storage/src/result.h"

namespace rs::fullmap {

// Raises `error` as its exception kind with its message; returns null for
// `return`.
PyObject* raise_pending(const PendingError& error);

// The value of `result`; or nullopt, with its error raised.
template <typename T>
std::optional<T> value_or_raise(storage::Result<T, PendingError>&& result) {
  if (result.ok()) return std::optional<T>(std::move(result).value());
  raise_pending(result.error());
  return std::nullopt;
}

// True when `result` succeeded; otherwise false, with its error raised.
inline bool ok_or_raise(const storage::Result<void, PendingError>& result) {
  if (result.ok()) return true;
  raise_pending(result.error());
  return false;
}

// An exception that a signal handler raised while the build's reports were
// being delivered (Ctrl-C during a build), kept to be raised when the build
// has ended: the build itself runs on, as it does when the signal comes
// while no report is being delivered. Holds its reference with the
// interpreter lock; leaves it alone after the lock was lost.
class DeferredSignal {
 public:
  DeferredSignal() = default;
  DeferredSignal(const DeferredSignal&) = delete;
  DeferredSignal& operator=(const DeferredSignal&) = delete;
  ~DeferredSignal();
  // Runs the pending signal handlers unless an exception is already kept,
  // and keeps what they raise.
  void check();
  // Raises the kept exception, if any; true when it did.
  bool raise();

 private:
  PyObject* exception_ = nullptr;
};

// Runs `body` on a pool of `workers` threads with the interpreter lock
// released, and takes the lock back. With a progress callable the build's
// reports go through `queue` (the one its phases were given): this thread
// waits for them and calls progress(kind, done, total, message) with each,
// in order, taking the interpreter lock for every batch of them, and every
// report is delivered before this returns. Whatever a call raises, also for
// an object that is not callable, is discarded; a signal handler's exception
// goes to `signal`. The build then runs on a thread of its own (the
// driver), joined before this returns; when the interpreter begins to
// finalise, or this thread is unwound, the build is stopped and joined
// before the lock is asked for again. A panic on the pool is raised again
// here, on the calling thread, for the trampoline to report.
storage::Result<void, PendingError> run_pool_unlocked(size_t workers, PoolBody body,
                                                      ProgressQueue* queue = nullptr,
                                                      PyObject* progress = nullptr,
                                                      DeferredSignal* signal = nullptr);

}  // namespace rs::fullmap
