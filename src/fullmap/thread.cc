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

thread_local CallThreads* t_call = nullptr;

// Creates a thread with the standard stack; 0 or the error number.
int create_thread(pthread_t* thread, void* (*run)(void*), void* arg) {
  if (g_starts.fetch_add(1) == g_fail_at.load()) return EAGAIN;
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc == 0) {
    rc = pthread_attr_setstacksize(&attr, kThreadStackBytes);
    if (rc == 0) rc = pthread_create(thread, &attr, run, arg);
    pthread_attr_destroy(&attr);
  }
  return rc;
}

}  // namespace

// One parked thread of a CallThreads; the fields below `thread` are guarded
// by the owner's mutex.
struct ParkedThread {
  CallThreads* owner = nullptr;
  pthread_t thread{};
  std::function<void()> body;
  bool has_body = false;
  bool returned = false;
  bool panicked = false;
};

uint64_t fail_thread_start_for_test(std::optional<uint64_t> at) {
  g_fail_at.store(kNever);
  const uint64_t counted = g_starts.exchange(0);
  g_fail_at.store(at.value_or(kNever));
  return counted;
}

void panic_thread_refused(const storage::IoError& error) {
  storage::panic("failed to spawn thread: " + error.to_string());
}

// ---- SystemThread ----

std::optional<storage::IoError> SystemThread::start_body() {
  panicked_ = false;
  call_ = t_call;
  if (call_ != nullptr) {
    if (ParkedThread* parked = call_->lend(&body_)) {
      lent_ = parked;
      running_ = true;
      return std::nullopt;
    }
  }
  if (const int rc = create_thread(&thread_, &SystemThread::run, this); rc != 0) {
    body_ = nullptr;
    return storage::IoError::from_errno(rc);
  }
  running_ = true;
  return std::nullopt;
}

void SystemThread::join() {
  if (!running_) return;
  if (lent_ != nullptr) {
    panicked_ = call_->wait_returned(lent_);
    lent_ = nullptr;
  } else {
    pthread_join(thread_, nullptr);
  }
  running_ = false;
}

void* SystemThread::run(void* self) {
  auto* t = static_cast<SystemThread*>(self);
  t_call = t->call_;
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

// ---- CallThreads ----

CallThreads::CallThreads() = default;

CallThreads::~CallThreads() { join_all(); }

std::optional<storage::IoError> CallThreads::start(size_t count) {
  for (size_t i = 0; i < count; ++i) {
    threads_.push_back(std::make_unique<ParkedThread>());
    ParkedThread* p = threads_.back().get();
    p->owner = this;
    const int rc = create_thread(
        &p->thread,
        [](void* arg) -> void* {
          auto* parked = static_cast<ParkedThread*>(arg);
          parked->owner->run_parked(parked);
          return nullptr;
        },
        p);
    if (rc != 0) {
      threads_.pop_back();
      join_all();
      return storage::IoError::from_errno(rc);
    }
    std::lock_guard lock(mu_);
    idle_.push_back(p);
  }
  return std::nullopt;
}

void CallThreads::run_parked(ParkedThread* p) {
  t_call = this;
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return p->has_body || quitting_; });
    if (!p->has_body) return;
    lock.unlock();
    bool panicked = false;
    try {
      p->body();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      panicked = true;
    }
    // The body's captures go on this thread, before the owner's join returns.
    p->body = nullptr;
    lock.lock();
    p->has_body = false;
    p->returned = true;
    p->panicked = panicked;
    cv_.notify_all();
  }
}

ParkedThread* CallThreads::lend(std::function<void()>* body) {
  std::lock_guard lock(mu_);
  if (idle_.empty() || quitting_) return nullptr;
  ParkedThread* p = idle_.back();
  idle_.pop_back();
  p->body = std::move(*body);
  p->has_body = true;
  p->returned = false;
  p->panicked = false;
  cv_.notify_all();
  return p;
}

bool CallThreads::wait_returned(ParkedThread* p) {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return p->returned; });
  p->returned = false;
  idle_.push_back(p);
  return p->panicked;
}

void CallThreads::join_all() {
  {
    std::lock_guard lock(mu_);
    quitting_ = true;
    cv_.notify_all();
  }
  for (auto& p : threads_) pthread_join(p->thread, nullptr);
  threads_.clear();
  idle_.clear();
}

CallThreads* CallThreads::current() { return t_call; }

CallThreads::Scope::Scope(CallThreads* call) : previous_(t_call) { t_call = call; }

CallThreads::Scope::~Scope() { t_call = previous_; }

void stop_point() {
  if (stop_requested()) throw BuildStopped();
}

bool stop_requested() { return t_call != nullptr && t_call->stopping(); }

}  // namespace rs::fullmap
