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

// What stops a build from the interpreter's side: an exception that a signal
// handler raised while the build was waited for (Ctrl-C's KeyboardInterrupt),
// or a KeyboardInterrupt that came out of the progress callable. Kept to be
// raised once the build's threads have stopped and been joined. Holds its
// reference with the interpreter lock; leaves it alone after the lock was
// lost.
class Interrupt {
 public:
  Interrupt() = default;
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;
  ~Interrupt();
  // Runs the pending signal handlers unless an exception is already kept,
  // and keeps what they raise.
  void check();
  // Keeps the exception being raised (one is, and none is kept yet).
  void keep_raised();
  bool kept() const { return exception_ != nullptr; }
  // Raises the kept exception, if any; true when it did.
  bool raise();

 private:
  PyObject* exception_ = nullptr;
};

// How the calling thread waits for a build.
struct Waiting {
  // The build's reports; it also tells the waiting thread that the build has
  // ended. Null: the thread waits for the pool alone, and nothing stops it.
  ProgressQueue* queue = nullptr;
  // The progress callable, or null.
  PyObject* progress = nullptr;
  Interrupt* interrupt = nullptr;
  // The build's threads: the one it runs on is taken from them, and they are
  // told to stop when the build is interrupted.
  CallThreads* threads = nullptr;
};

// Runs `body` on a pool of `workers` threads with the interpreter lock
// released, and takes the lock back. With a queue the build runs on a thread
// of its own (the driver), joined before this returns, while this thread
// waits: it takes the interpreter lock for every batch of reports, and at
// least every kInterruptCheckMs, runs the signal handlers, and with a
// progress callable calls progress(kind, done, total, message) with each
// report, in order; every report is delivered before this returns. What a
// call raises is discarded, also for an object that is not callable, except
// a KeyboardInterrupt. When a handler raised, or the callable raised
// KeyboardInterrupt, the exception goes to the interrupt, the build is told
// to stop, no report is delivered any more, and this returns once every
// thread of the build has ended; the build's own outcome is then of no
// account. When the interpreter begins to finalise, or this thread is
// unwound, the build is stopped and joined before the lock is asked for
// again. A panic on the pool is raised again here, on the calling thread,
// for the trampoline to report, unless the build was interrupted.
storage::Result<void, PendingError> run_pool_unlocked(size_t workers, PoolBody body,
                                                      Waiting waiting = {});

// How often a waiting caller looks for a signal whose handler raises.
inline constexpr int kInterruptCheckMs = 50;

}  // namespace rs::fullmap
