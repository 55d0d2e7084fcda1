// The threads that fullmap calls start themselves: plain operating-system
// threads with the standard stack, started by an owner that learns on its own
// thread when the system refuses one, and joined on every path.
//
// A call that must not fail for want of a thread once it has changed
// something (a build deletes the old output first) starts all its threads
// beforehand as a CallThreads: SystemThread::start on a thread of the call
// then hands its body to one of them instead of starting a thread. The same
// object tells the call's threads to stop (stop_point).
//
// Thread safety: a SystemThread is used by its owner only (start, join,
// panicked); its body runs on the new thread. CallThreads: start and the
// destructor by its owner; stop, stop_point and the lending by any thread.
// The test hook is process-wide and may be set while no thread is being
// started.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "storage/src/error.h"

namespace rs::fullmap {

// The standard stack of every thread a call starts. Enough for the C++ that
// runs there, and only for that: no Python code runs on these threads (a
// build's progress callable is called by the thread that called the build).
inline constexpr size_t kThreadStackBytes = 2 * 1024 * 1024;

// Thrown on a thread of a call that was told to stop (stop_point, and a
// build's progress reports once nobody takes them): the thread gives up its
// part of the call at once, as after a panic, and the call ends soon.
class BuildStopped : public std::exception {
 public:
  const char* what() const noexcept override { return "the build was stopped"; }
};

class CallThreads;
struct ParkedThread;

// One thread running one body. A body that throws counts as a panicked
// thread; nothing it throws ends the process. The destructor joins a thread
// still running. Started on a thread of a CallThreads, it runs on one of
// that call's parked threads while one is idle (otherwise on a thread of its
// own, which counts as the call's too).
class SystemThread {
 public:
  SystemThread() = default;
  SystemThread(const SystemThread&) = delete;
  SystemThread& operator=(const SystemThread&) = delete;
  ~SystemThread() { join(); }

  // Starts `body` on a new thread. When the system refuses the thread (or
  // no memory is left for the body), its error, and the body never runs.
  template <typename F>
  std::optional<storage::IoError> start(F&& body) {
    try {
      body_ = std::forward<F>(body);
    } catch (const std::bad_alloc&) {
      return storage::IoError::from_errno(ENOMEM);
    }
    return start_body();
  }
  // Waits for the thread; nothing when it never started or was joined.
  void join();
  // Whether the body threw; valid after join().
  bool panicked() const { return panicked_; }

 private:
  std::optional<storage::IoError> start_body();
  static void* run(void* self);

  std::function<void()> body_;
  pthread_t thread_{};
  CallThreads* call_ = nullptr;    // the call of the thread that started this one
  ParkedThread* lent_ = nullptr;  // the call's parked thread running the body
  bool running_ = false;
  bool panicked_ = false;
};

// The threads of one call, started before the call changes anything and
// joined when it ends. They wait parked until a SystemThread started on a
// thread of the call takes one; a body that ends gives its thread back, so
// phases that follow each other share them. A thread of the call is one of
// these, one started by one of them, or the caller inside a Scope.
class CallThreads {
 public:
  CallThreads();
  CallThreads(const CallThreads&) = delete;
  CallThreads& operator=(const CallThreads&) = delete;
  // Joins every parked thread. Every SystemThread lent one has been joined.
  ~CallThreads();

  // Starts `count` parked threads. When the system refuses one, its error,
  // with every thread started before it joined again: the call then has no
  // thread to lend, and its SystemThreads start threads of their own.
  std::optional<storage::IoError> start(size_t count);
  size_t size() const { return threads_.size(); }

  // Tells the call's threads to stop: stop_point throws from now on.
  void stop() { stopping_.store(true, std::memory_order_relaxed); }
  bool stopping() const { return stopping_.load(std::memory_order_relaxed); }

  // The call of the calling thread, or null.
  static CallThreads* current();

  // Makes the calling thread one of `call`'s while it lives.
  class Scope {
   public:
    explicit Scope(CallThreads* call);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    CallThreads* previous_;
  };

 private:
  friend class SystemThread;

  // Hands `body` to an idle parked thread; null when none is idle.
  ParkedThread* lend(std::function<void()>* body);
  // Waits for the body of `parked` to end and takes the thread back; whether
  // the body threw.
  bool wait_returned(ParkedThread* parked);
  void run_parked(ParkedThread* parked);
  void join_all();

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<ParkedThread>> threads_;
  std::vector<ParkedThread*> idle_;
  bool quitting_ = false;
  std::atomic<bool> stopping_{false};
};

// On a thread of a call that was told to stop, throws BuildStopped; cheap
// enough to call every few thousand items of work.
void stop_point();
// Whether the calling thread's call was told to stop.
bool stop_requested();

// The panic of a call whose thread the system refused: "failed to spawn
// thread: " and the system's error text.
[[noreturn]] void panic_thread_refused(const storage::IoError& error);

// Test hook: from now on, the start numbered `at` (0-based, counting every
// thread started in the process from this call: a SystemThread's own and a
// parked thread of a CallThreads) fails as if the system
// had refused it (EAGAIN); nullopt turns the hook off. Returns the number of
// starts counted since the previous call.
uint64_t fail_thread_start_for_test(std::optional<uint64_t> at);

}  // namespace rs::fullmap
