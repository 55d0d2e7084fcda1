#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "src/fullmap/pool.h"
#include "src/fullmap/thread.h"
#include "tests/cpp/test_files.h"

namespace rs::fullmap {
namespace {

using namespace std::chrono_literals;

using test::baseline_task_count;
using test::count_tasks;
using test::task_count;

// Bodies that wait until `n` of them are running at once.
class Gate {
 public:
  explicit Gate(size_t n) : n_(n) {}
  void arrive() {
    std::unique_lock lock(mu_);
    ++arrived_;
    cv_.notify_all();
    cv_.wait_for(lock, 30s, [&] { return arrived_ >= n_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  size_t n_;
  size_t arrived_ = 0;
};

// Threads started on a thread of the call run on its parked threads, which
// come back once their bodies end: later starts (also from those threads)
// reuse them, and a start with none idle gets a thread of its own. No
// thread outlives the object.
TEST(CallThreadsConcurrent, StartsTakeTheParkedThreadsAndGiveThemBack) {
  const size_t before = baseline_task_count();
  {
    CallThreads call;
    ASSERT_FALSE(call.start(3).has_value());
    EXPECT_EQ(task_count(before + 3), before + 3);
    const CallThreads::Scope scope(&call);
    std::mutex mu;
    std::set<std::thread::id> parked_ids;
    {
      // Three at once run on the parked threads: nothing new is started.
      Gate gate(3);
      std::vector<SystemThread> threads(3);
      for (SystemThread& t : threads) {
        ASSERT_FALSE(t.start([&] {
          {
            std::lock_guard lock(mu);
            parked_ids.insert(std::this_thread::get_id());
          }
          gate.arrive();
        }));
      }
      EXPECT_EQ(count_tasks(), before + 3);
      for (SystemThread& t : threads) t.join();
    }
    ASSERT_EQ(parked_ids.size(), 3u);
    {
      // Four at once: the fourth has a thread of its own, which is the
      // call's too (it lends from the call when it starts one).
      Gate gate(4);
      std::vector<SystemThread> threads(4);
      std::atomic<int> own{0};
      std::atomic<int> inner_on_parked{0};
      for (SystemThread& t : threads) {
        ASSERT_FALSE(t.start([&] {
          bool parked;
          {
            std::lock_guard lock(mu);
            parked = parked_ids.count(std::this_thread::get_id()) != 0;
          }
          if (!parked) ++own;
          EXPECT_EQ(CallThreads::current(), &call);
          gate.arrive();
        }));
      }
      for (SystemThread& t : threads) t.join();
      EXPECT_EQ(own.load(), 1);
      // A body starting a thread: the parked ones are idle again, so it
      // takes one of them.
      SystemThread outer;
      ASSERT_FALSE(outer.start([&] {
        SystemThread inner;
        ASSERT_FALSE(inner.start([&] {
          std::lock_guard lock(mu);
          if (parked_ids.count(std::this_thread::get_id()) != 0) ++inner_on_parked;
        }));
      }));
      outer.join();
      EXPECT_EQ(inner_on_parked.load(), 1);
    }
    // A body that throws counts as panicked; its thread serves again.
    SystemThread thrower;
    ASSERT_FALSE(thrower.start([] { throw 7; }));
    thrower.join();
    EXPECT_TRUE(thrower.panicked());
    SystemThread after;
    bool ran = false;
    ASSERT_FALSE(after.start([&] { ran = true; }));
    after.join();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(after.panicked());
    EXPECT_EQ(task_count(before + 3), before + 3);
  }
  EXPECT_EQ(task_count(before), before);
  // Outside a call, threads start as before.
  EXPECT_EQ(CallThreads::current(), nullptr);
}

// The system refuses the k-th parked thread: every one started is joined
// again and the error comes back; the call's threads then start their own.
TEST(CallThreadsConcurrent, ARefusedStartJoinsEveryThreadStarted) {
  const size_t before = baseline_task_count();
  for (uint64_t at : {0, 1, 4}) {
    SCOPED_TRACE(at);
    CallThreads call;
    fail_thread_start_for_test(at);
    std::optional<storage::IoError> refused = call.start(5);
    EXPECT_EQ(fail_thread_start_for_test(std::nullopt), at + 1);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->to_string(), "Resource temporarily unavailable (os error 11)");
    EXPECT_EQ(call.size(), 0u);
    EXPECT_EQ(task_count(before), before);
    const CallThreads::Scope scope(&call);
    SystemThread t;
    bool ran = false;
    ASSERT_FALSE(t.start([&] { ran = true; }));
    t.join();
    EXPECT_TRUE(ran);
  }
  EXPECT_EQ(task_count(before), before);
}

// stop() reaches every thread of the call, a pool run on them included: its
// stop points throw, so work looping on them ends and is joined. Threads of
// no call, or of another call, go on.
TEST(CallThreadsConcurrent, StopReachesEveryThreadOfTheCallAndNoOther) {
  const size_t before = baseline_task_count();
  CallThreads call;
  CallThreads other;
  ASSERT_FALSE(call.start(6).has_value());
  ASSERT_FALSE(other.start(1).has_value());
  std::atomic<int> looping{0};
  std::atomic<bool> release_other{false};
  auto loop_until_stopped = [&] {
    ++looping;
    for (;;) {
      stop_point();
      std::this_thread::sleep_for(1ms);
    }
  };
  PoolOutcome outcome;
  SystemThread driver;
  SystemThread bystander;
  {
    const CallThreads::Scope scope(&call);
    ASSERT_FALSE(driver.start([&] {
      outcome = run_on_pool(3, [&]() -> storage::Result<void, PendingError> {
        // Items on the pool's threads, and a thread started by one of them.
        parallel_for(3, [&](size_t i) {
          if (i == 0) {
            SystemThread nested;
            ASSERT_FALSE(nested.start(loop_until_stopped));
            nested.join();
            EXPECT_TRUE(nested.panicked());
          }
          loop_until_stopped();
        });
        return {};
      });
    }));
  }
  {
    const CallThreads::Scope scope(&other);
    ASSERT_FALSE(bystander.start([&] {
      while (!release_other.load()) {
        stop_point();
        std::this_thread::sleep_for(1ms);
      }
    }));
  }
  // The nested thread and the two items beside the one that waits for it.
  for (int i = 0; i < 30000 && looping.load() < 3; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(looping.load(), 3);
  EXPECT_FALSE(stop_requested());
  call.stop();
  driver.join();
  EXPECT_FALSE(driver.panicked());
  ASSERT_TRUE(outcome.escaped);
  EXPECT_THROW(std::rethrow_exception(outcome.escaped), BuildStopped);
  EXPECT_FALSE(other.stopping());
  release_other = true;
  bystander.join();
  EXPECT_FALSE(bystander.panicked());
  EXPECT_NO_THROW(stop_point()) << "the test's own thread belongs to no call";
  EXPECT_EQ(task_count(before + 7), before + 7) << "only the parked threads are left";
}

}  // namespace
}  // namespace rs::fullmap
