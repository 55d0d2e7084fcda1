#include "src/fullmap/pool.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <tbb/global_control.h>
#include <tbb/info.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

namespace rs::fullmap {
namespace {

// oneTBB uses the smallest max_allowed_parallelism of all live controls, so
// one control at a time is kept, at the largest value any pool needs.
class ParallelismLimit {
 public:
  static ParallelismLimit& instance() {
    static ParallelismLimit* limit = new ParallelismLimit();  // never destroyed
    return *limit;
  }
  void acquire(size_t threads) {
    std::lock_guard lock(mu_);
    ++wanted_[threads];
    update();
  }
  void release(size_t threads) {
    std::lock_guard lock(mu_);
    if (--wanted_[threads] == 0) wanted_.erase(threads);
    update();
  }

 private:
  void update() {
    const size_t want = wanted_.empty() ? 0 : wanted_.rbegin()->first;
    if (want == current_) return;
    // The new control is made before the old goes, so the limit never dips.
    std::unique_ptr<tbb::global_control> next;
    if (want != 0) {
      next = std::make_unique<tbb::global_control>(
          tbb::global_control::max_allowed_parallelism, want);
    }
    control_ = std::move(next);
    current_ = want;
  }
  std::mutex mu_;
  std::map<size_t, size_t> wanted_;
  size_t current_ = 0;
  std::unique_ptr<tbb::global_control> control_;
};

class LimitGuard {
 public:
  explicit LimitGuard(size_t threads) : threads_(threads) {
    ParallelismLimit::instance().acquire(threads_);
  }
  ~LimitGuard() { ParallelismLimit::instance().release(threads_); }
  LimitGuard(const LimitGuard&) = delete;
  LimitGuard& operator=(const LimitGuard&) = delete;

 private:
  size_t threads_;
};

struct Shared {
  std::mutex mu;
  std::condition_variable done_cv;
  bool done = false;
  PoolBody body;
  PoolOutcome outcome;
};

}  // namespace

PoolOutcome run_on_pool(size_t workers, PoolBody body) {
  workers = std::max<size_t>(workers, 1);
  if (workers > kMaxPoolThreads) {
    PoolOutcome refused;
    refused.result = storage::Err(PendingError::runtime(
        "failed to start the build's thread pool: " + std::to_string(workers) +
        " threads asked for, at most " + std::to_string(kMaxPoolThreads)));
    return refused;
  }
  // The workers plus the calling thread, which only waits; never below the
  // default, so that other users of oneTBB in the process are not capped.
  const size_t threads =
      std::max(workers + 1, static_cast<size_t>(std::max(tbb::info::default_concurrency(), 1)));
  LimitGuard limit(threads);
  auto shared = std::make_shared<Shared>();
  {
    // Handed over under the mutex: the scheduler's own hand-off is not one a
    // race detector sees.
    std::lock_guard lock(shared->mu);
    shared->body = std::move(body);
  }
  tbb::task_arena arena(static_cast<int>(workers), 0);
  tbb::task_group group;
  try {
    arena.initialize();
    arena.execute([&] {
      group.run([shared] {
        PoolBody run;
        {
          std::lock_guard lock(shared->mu);
          run = std::move(shared->body);
        }
        PoolOutcome outcome;
        try {
          outcome.result = run();
        } catch (...) {
          outcome.escaped = std::current_exception();
        }
        run = nullptr;  // the job's last references go before the caller wakes
        std::lock_guard lock(shared->mu);
        shared->outcome = std::move(outcome);
        shared->done = true;
        shared->done_cv.notify_all();
      });
    });
  } catch (const std::exception& e) {
    PoolOutcome failed;
    failed.result = storage::Err(PendingError::runtime(e.what()));
    return failed;
  }
  {
    std::unique_lock lock(shared->mu);
    shared->done_cv.wait(lock, [&] { return shared->done; });
  }
  // The task has finished its work; this only lets it end before the group
  // goes, and runs nothing on this thread.
  arena.execute([&] { group.wait(); });
  std::lock_guard lock(shared->mu);
  return std::move(shared->outcome);
}

}  // namespace rs::fullmap
