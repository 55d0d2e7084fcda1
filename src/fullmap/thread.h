// The threads that fullmap calls start themselves: plain operating-system
// threads with the standard stack, started by an owner that learns on its own
// thread when the system refuses one, and joined on every path.
//
// Thread safety: a SystemThread is used by its owner only (start, join,
// panicked); its body runs on the new thread. The test hook is process-wide
// and may be set while no thread is being started.
#pragma once

#include <pthread.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <utility>

#include "storage/src/error.h"

namespace rs::fullmap {

// The standard stack of every thread a call starts. Enough for the C++ that
// runs there, and only for that: no Python code runs on these threads (a
// build's progress callable is called by the thread that called the build).
inline constexpr size_t kThreadStackBytes = 2 * 1024 * 1024;

// One thread running one body. A body that throws counts as a panicked
// thread; nothing it throws ends the process. The destructor joins a thread
// still running.
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
  bool running_ = false;
  bool panicked_ = false;
};

// The panic of a call whose thread the system refused: "failed to spawn
// thread: " and the system's error text.
[[noreturn]] void panic_thread_refused(const storage::IoError& error);

// Test hook: from now on, the start numbered `at` (0-based, counting every
// SystemThread start in the process from this call) fails as if the system
// had refused it (EAGAIN); nullopt turns the hook off. Returns the number of
// starts counted since the previous call.
uint64_t fail_thread_start_for_test(std::optional<uint64_t> at);

}  // namespace rs::fullmap
