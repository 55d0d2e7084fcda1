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

// The build's Progress over a Python object: progress(kind, done, total,
// message) with four positional arguments. The object's reference count is
// touched only with the interpreter lock held, which every call and the
// destructor take for themselves (any thread may hold the last handle).
// Whatever the call raises, also for an object that is not callable, is
// discarded.
class PythonProgress : public Progress {
 public:
  // Takes a new reference; the interpreter lock is held.
  explicit PythonProgress(PyObject* callable);
  ~PythonProgress() override;
  PythonProgress(const PythonProgress&) = delete;
  PythonProgress& operator=(const PythonProgress&) = delete;
  void call(int32_t kind, uint64_t done, uint64_t total,
            std::string_view message) noexcept override;

 private:
  PyObject* callable_;
};

// Runs `body` on a pool of `workers` threads with the interpreter lock
// released, and takes the lock back. A panic on the pool is raised again
// here, on the calling thread, for the trampoline to report.
storage::Result<void, PendingError> run_pool_unlocked(size_t workers, PoolBody body);

}  // namespace rs::fullmap
