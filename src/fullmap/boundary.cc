#include "src/fullmap/boundary.h"

#include <cxxabi.h>

#include <span>
#include <string>
#include <vector>

#include "src/fullmap/thread.h"

namespace rs::fullmap {
namespace {

// Calls `progress` with each report, in order, with the interpreter lock
// held. What a call raises is dropped: a report never changes the build.
void deliver(PyObject* progress, std::span<const ProgressReport> reports,
             DeferredSignal* signal) {
  for (const ProgressReport& r : reports) {
    if (signal != nullptr) signal->check();
    PyObject* args[4] = {
        PyLong_FromLong(r.kind),
        PyLong_FromUnsignedLongLong(r.done),
        PyLong_FromUnsignedLongLong(r.total),
        PyUnicode_DecodeUTF8(r.message.data(), static_cast<Py_ssize_t>(r.message.size()),
                             "replace"),
    };
    bool built = true;
    for (PyObject* a : args) built = built && a != nullptr;
    if (built) {
      PyObject* result = PyObject_Vectorcall(progress, args, 4, nullptr);
      Py_XDECREF(result);
    }
    for (PyObject* a : args) Py_XDECREF(a);
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
  }
}

PoolOutcome refused_outcome(const storage::IoError& error) {
  PoolOutcome failed;
  failed.result = storage::Err(
      PendingError::runtime("failed to start the build's thread pool: " + error.to_string()));
  return failed;
}

// The build on a driver thread while this thread delivers its reports.
// Entered and left with the interpreter lock held.
PoolOutcome run_with_reports(size_t workers, PoolBody body, ProgressQueue& queue,
                             PyObject* progress, DeferredSignal* signal) {
  // Only the finalising thread holds the lock once finalisation has begun: a
  // build it runs (from an exit handler) delivers its reports as any other.
  const bool finalizing_here = interpreter_finalizing();
  PoolOutcome outcome;
  // On every way out the build is stopped before the driver is joined (the
  // members go in reverse order): a thread the interpreter ends while it
  // asks for the lock leaves no thread of the build behind.
  SystemThread driver;
  struct StopOnExit {
    ProgressQueue* queue;
    ~StopOnExit() { queue->stop(); }
  };
  const StopOnExit stop{&queue};
  PyThreadState* saved = PyEval_SaveThread();
  bool held = false;
  try {
    std::optional<storage::IoError> refused = driver.start([&] {
      try {
        outcome = run_on_pool(workers, std::move(body));
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        outcome.escaped = std::current_exception();
      }
      queue.finish();
    });
    if (refused) {
      outcome = refused_outcome(*refused);
    } else {
      std::vector<ProgressReport> reports;
      bool delivering = true;
      while (queue.wait(&reports)) {
        if (!delivering) continue;
        if (!finalizing_here && interpreter_finalizing()) {
          // Asking for the lock now would end this thread: the build is
          // stopped and waited for first, and no report is delivered.
          queue.stop();
          delivering = false;
          continue;
        }
        take_interpreter_lock(saved);
        held = true;
        deliver(progress, reports, signal);
        saved = PyEval_SaveThread();
        held = false;
      }
      driver.join();
    }
    take_interpreter_lock(saved);
    held = true;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    queue.stop();
    driver.join();
    if (!held) take_interpreter_lock(saved);
    throw;
  }
  return outcome;
}

}  // namespace

PyObject* raise_pending(const PendingError& error) {
  if (error.kind() == PendingError::Kind::kValueError) return raise_value_error(error.message());
  return raise_runtime_error(error.message());
}

DeferredSignal::~DeferredSignal() {
  if (exception_ != nullptr && !interpreter_lock_lost()) Py_DECREF(exception_);
}

void DeferredSignal::check() {
  if (exception_ == nullptr && PyErr_CheckSignals() != 0) {
    exception_ = PyErr_GetRaisedException();
  }
}

bool DeferredSignal::raise() {
  if (exception_ == nullptr) return false;
  PyErr_SetRaisedException(exception_);
  exception_ = nullptr;
  return true;
}

storage::Result<void, PendingError> run_pool_unlocked(size_t workers, PoolBody body,
                                                      ProgressQueue* queue, PyObject* progress,
                                                      DeferredSignal* signal) {
  PoolOutcome outcome =
      queue != nullptr
          ? run_with_reports(workers, std::move(body), *queue, progress, signal)
          : without_interpreter_lock([&] { return run_on_pool(workers, std::move(body)); });
  if (outcome.escaped) std::rethrow_exception(outcome.escaped);
  return std::move(outcome.result);
}

}  // namespace rs::fullmap
