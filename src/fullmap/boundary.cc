#include "src/fullmap/boundary.h"

#include <cxxabi.h>

#include <chrono>
#include <span>
#include <string>
#include <vector>

#include "src/fullmap/thread.h"

namespace rs::fullmap {
namespace {

// Calls `progress` with each report, in order, with the interpreter lock
// held, running the signal handlers before each. What a call raises is
// dropped, a report never changes the build, except a KeyboardInterrupt,
// which interrupts it as Ctrl-C does. Stops at the first interruption.
void deliver(PyObject* progress, std::span<const ProgressReport> reports, Interrupt* interrupt) {
  for (const ProgressReport& r : reports) {
    interrupt->check();
    if (interrupt->kept()) return;
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
    if (PyErr_Occurred() != nullptr) {
      if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        interrupt->keep_raised();
        return;
      }
      PyErr_Clear();
    }
  }
}

PoolOutcome refused_outcome(const storage::IoError& error) {
  PoolOutcome failed;
  failed.result = storage::Err(
      PendingError::runtime("failed to start the build's thread pool: " + error.to_string()));
  return failed;
}

// The build on a driver thread while this thread waits, delivers its reports
// and looks for interruptions. Entered and left with the interpreter lock
// held.
PoolOutcome run_waiting(size_t workers, PoolBody body, const Waiting& waiting) {
  ProgressQueue& queue = *waiting.queue;
  // Only the finalising thread holds the lock once finalisation has begun: a
  // build it runs (from an exit handler) delivers its reports as any other.
  const bool finalizing_here = interpreter_finalizing();
  PoolOutcome outcome;
  auto stop_build = [&] {
    queue.stop();
    if (waiting.threads != nullptr) waiting.threads->stop();
  };
  // On every way out the build is stopped before the driver is joined (the
  // members go in reverse order): a thread the interpreter ends while it
  // asks for the lock leaves no thread of the build behind.
  SystemThread driver;
  struct StopOnExit {
    const decltype(stop_build)* stop;
    ~StopOnExit() { (*stop)(); }
  };
  const StopOnExit stop{&stop_build};
  PyThreadState* saved = PyEval_SaveThread();
  bool held = false;
  try {
    std::optional<storage::IoError> refused;
    {
      const CallThreads::Scope of_the_build(waiting.threads);
      refused = driver.start([&] {
        try {
          outcome = run_on_pool(workers, std::move(body));
        } catch (abi::__forced_unwind&) {
          throw;
        } catch (...) {
          outcome.escaped = std::current_exception();
        }
        queue.finish();
      });
    }
    if (refused) {
      outcome = refused_outcome(*refused);
    } else {
      std::vector<ProgressReport> reports;
      bool waiting_on_the_interpreter = true;
      for (;;) {
        const auto waited =
            queue.wait_for(&reports, std::chrono::milliseconds(kInterruptCheckMs));
        if (waited == ProgressQueue::Waited::kFinished) break;
        if (!waiting_on_the_interpreter) continue;
        if (!finalizing_here && interpreter_finalizing()) {
          // Asking for the lock now would end this thread: the build is
          // stopped and waited for first, and no report is delivered.
          stop_build();
          waiting_on_the_interpreter = false;
          continue;
        }
        take_interpreter_lock(saved);
        held = true;
        if (waiting.progress != nullptr) deliver(waiting.progress, reports, waiting.interrupt);
        waiting.interrupt->check();
        const bool interrupted = waiting.interrupt->kept();
        saved = PyEval_SaveThread();
        held = false;
        if (interrupted) {
          stop_build();
          waiting_on_the_interpreter = false;
        }
      }
      driver.join();
    }
    take_interpreter_lock(saved);
    held = true;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    stop_build();
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

Interrupt::~Interrupt() {
  if (exception_ != nullptr && !interpreter_lock_lost()) Py_DECREF(exception_);
}

void Interrupt::check() {
  if (exception_ == nullptr && PyErr_CheckSignals() != 0) keep_raised();
}

void Interrupt::keep_raised() {
  PyObject* raised = PyErr_GetRaisedException();
  if (exception_ == nullptr) {
    exception_ = raised;
  } else {
    Py_XDECREF(raised);
  }
}

bool Interrupt::raise() {
  if (exception_ == nullptr) return false;
  PyErr_SetRaisedException(exception_);
  exception_ = nullptr;
  return true;
}

storage::Result<void, PendingError> run_pool_unlocked(size_t workers, PoolBody body,
                                                      Waiting waiting) {
  Interrupt unused;
  if (waiting.interrupt == nullptr) waiting.interrupt = &unused;
  PoolOutcome outcome =
      waiting.queue != nullptr
          ? run_waiting(workers, std::move(body), waiting)
          : without_interpreter_lock([&] { return run_on_pool(workers, std::move(body)); });
  if (outcome.escaped && !waiting.interrupt->kept()) std::rethrow_exception(outcome.escaped);
  return std::move(outcome.result);
}

}  // namespace rs::fullmap
