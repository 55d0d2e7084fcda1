#include "src/fullmap/thread.h"

#include <cxxabi.h>

#include <atomic>
#include <cerrno>
#include <limits>
#include <utility>

#include "storage/src/panic.h"

namespace rs::fullmap {
namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
std::atomic<uint64_t> g_starts{0};
std::atomic<uint64_t> g_fail_at{kNever};

}  // namespace

uint64_t fail_thread_start_for_test(std::optional<uint64_t> at) {
  g_fail_at.store(kNever);
  const uint64_t counted = g_starts.exchange(0);
  g_fail_at.store(at.value_or(kNever));
  return counted;
}

void panic_thread_refused(const storage::IoError& error) {
  storage::panic("failed to spawn thread: " + error.to_string());
}

std::optional<storage::IoError> SystemThread::start_body() {
  panicked_ = false;
  if (g_starts.fetch_add(1) == g_fail_at.load()) {
    body_ = nullptr;
    return storage::IoError::from_errno(EAGAIN);
  }
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    rc = pthread_attr_setstacksize(&attr, kThreadStackBytes);
    if (rc == 0) rc = pthread_create(&thread_, &attr, &SystemThread::run, this);
    pthread_attr_destroy(&attr);
  }
  if (rc != 0) {
    body_ = nullptr;
    return storage::IoError::from_errno(rc);
  }
  running_ = true;
  return std::nullopt;
}

void SystemThread::join() {
  if (!running_) return;
  pthread_join(thread_, nullptr);
  running_ = false;
}

void* SystemThread::run(void* self) {
  auto* t = static_cast<SystemThread*>(self);
  try {
    t->body_();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    t->panicked_ = true;
  }
  // The body's captures go on this thread, before the owner's join returns.
  t->body_ = nullptr;
  return nullptr;
}

}  // namespace rs::fullmap
