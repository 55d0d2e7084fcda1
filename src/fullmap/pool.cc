#include "src/fullmap/pool.h"

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "src/fullmap/thread.h"

namespace rs::fullmap {
namespace {

// One parallel_for in progress. It lives on the stack of the thread that
// runs it, which returns only once no other thread holds it.
struct Loop {
  size_t n = 0;
  const std::function<void(size_t)>* fn = nullptr;
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  // Guarded by the pool's mutex.
  size_t holders = 0;
  std::exception_ptr error;
};

// Shared by the calling thread and the pool's threads; the fields after the
// mutex are guarded by it.
class Pool {
 public:
  explicit Pool(size_t size) : size_(size) {}

  size_t size() const { return size_; }

  // A pool thread: runs the body when it is handed over, helps with loops,
  // and ends once told to stop.
  void work();

  // Hands the body to a pool thread and waits for its outcome.
  PoolOutcome run(PoolBody body);

  // Tells every pool thread to end once it is idle.
  void stop();

  // parallel_for on this pool.
  void loop(size_t n, const std::function<void(size_t)>& fn);

 private:
  // Runs items of `loop` until none is left; then lets go of it. Called with
  // the lock held, which is released meanwhile.
  void help(Loop* loop, std::unique_lock<std::mutex>& lock);

  const size_t size_;
  std::mutex mu_;
  // Pool threads wait here for the body, a loop or the stop.
  std::condition_variable work_cv_;
  // Owners of loops and the caller of run wait here.
  std::condition_variable done_cv_;
  std::vector<Loop*> loops_;  // loops with items left to hand out
  PoolBody body_;
  bool body_waiting_ = false;
  bool body_done_ = false;
  PoolOutcome outcome_;
  bool stopping_ = false;
};

thread_local Pool* t_pool = nullptr;

void Pool::work() {
  // The thread may serve the call again after this pool is gone (a parked
  // thread of the call's).
  struct OnThisPool {
    Pool* previous = std::exchange(t_pool, nullptr);
    explicit OnThisPool(Pool* pool) { t_pool = pool; }
    ~OnThisPool() { t_pool = previous; }
  } on_this_pool(this);
  std::unique_lock lock(mu_);
  for (;;) {
    work_cv_.wait(lock, [&] { return stopping_ || body_waiting_ || !loops_.empty(); });
    if (body_waiting_) {
      body_waiting_ = false;
      PoolBody body = std::move(body_);
      lock.unlock();
      PoolOutcome outcome;
      try {
        outcome.result = body();
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        outcome.escaped = std::current_exception();
      }
      body = nullptr;  // the body's last references go before the caller wakes
      lock.lock();
      outcome_ = std::move(outcome);
      body_done_ = true;
      done_cv_.notify_all();
    } else if (!loops_.empty()) {
      // The newest loop first: an inner loop ends before the item that waits
      // for it can.
      Loop* loop = loops_.back();
      ++loop->holders;
      help(loop, lock);
    } else {
      return;
    }
  }
}

void Pool::help(Loop* loop, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  for (size_t i = loop->next.fetch_add(1); i < loop->n; i = loop->next.fetch_add(1)) {
    if (loop->failed.load(std::memory_order_relaxed)) continue;
    try {
      (*loop->fn)(i);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      if (!loop->failed.exchange(true)) {
        std::lock_guard guard(mu_);
        loop->error = std::current_exception();
      }
    }
  }
  lock.lock();
  // Every item is handed out: nobody need take the loop up any more.
  auto at = std::find(loops_.begin(), loops_.end(), loop);
  if (at != loops_.end()) loops_.erase(at);
  if (--loop->holders == 0) done_cv_.notify_all();
}

void Pool::loop(size_t n, const std::function<void(size_t)>& fn) {
  Loop loop;
  loop.n = n;
  loop.fn = &fn;
  std::unique_lock lock(mu_);
  loop.holders = 1;
  loops_.push_back(&loop);
  work_cv_.notify_all();
  help(&loop, lock);
  done_cv_.wait(lock, [&] { return loop.holders == 0; });
  std::exception_ptr error = std::move(loop.error);
  lock.unlock();
  if (error) std::rethrow_exception(error);
}

PoolOutcome Pool::run(PoolBody body) {
  std::unique_lock lock(mu_);
  body_ = std::move(body);
  body_waiting_ = true;
  work_cv_.notify_one();
  done_cv_.wait(lock, [&] { return body_done_; });
  return std::move(outcome_);
}

void Pool::stop() {
  std::lock_guard lock(mu_);
  stopping_ = true;
  work_cv_.notify_all();
}

}  // namespace

std::optional<PendingError> check_pool_size(size_t workers) {
  if (workers <= kMaxPoolThreads) return std::nullopt;
  return PendingError::runtime("failed to start the build's thread pool: " +
                               std::to_string(workers) + " threads asked for, at most " +
                               std::to_string(kMaxPoolThreads));
}

PoolOutcome run_on_pool(size_t workers, PoolBody body) {
  workers = std::max<size_t>(workers, 1);
  PoolOutcome failed;
  if (std::optional<PendingError> refused = check_pool_size(workers)) {
    failed.result = storage::Err(std::move(*refused));
    return failed;
  }
  Pool pool(workers);
  // Declared after the pool, so that on every way out the threads are
  // joined before the pool goes.
  std::vector<SystemThread> threads(workers);
  struct StopOnExit {
    Pool* pool;
    ~StopOnExit() { pool->stop(); }
  };
  const StopOnExit stop{&pool};
  for (SystemThread& t : threads) {
    if (auto refused = t.start([&pool] { pool.work(); })) {
      failed.result = storage::Err(PendingError::runtime(
          "failed to start the build's thread pool: " + refused->to_string()));
      return failed;
    }
  }
  return pool.run(std::move(body));
}

void parallel_for(size_t n, const std::function<void(size_t)>& fn) {
  if (t_pool != nullptr && t_pool->size() > 1 && n > 1) {
    t_pool->loop(n, fn);
    return;
  }
  for (size_t i = 0; i < n; ++i) fn(i);
}

size_t pool_concurrency() { return t_pool != nullptr ? t_pool->size() : 1; }

}  // namespace rs::fullmap
