#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "src/fullmap/progress.h"

namespace rs::fullmap {
namespace {

using namespace std::chrono_literals;

// Waits as the build's caller does, in slices: true with the next reports,
// false once the build has finished and every report was taken.
bool take(ProgressQueue& queue, std::vector<ProgressReport>* out) {
  for (;;) {
    switch (queue.wait_for(out, 5ms)) {
      case ProgressQueue::Waited::kReports:
        return true;
      case ProgressQueue::Waited::kFinished:
        return false;
      case ProgressQueue::Waited::kIdle:
        break;
    }
  }
}

TEST(ProgressQueue, WaitTakesWhatIsQueuedAndEndsOnceFinishedAndEmpty) {
  ProgressQueue queue;
  queue.call(1, 5, 0, "a");
  queue.call(2, 7, 9, "b");
  queue.finish();
  std::vector<ProgressReport> got;
  ASSERT_TRUE(take(queue, &got));
  EXPECT_EQ(got, (std::vector<ProgressReport>{{1, 5, 0, "a"}, {2, 7, 9, "b"}}));
  EXPECT_FALSE(take(queue, &got));
  EXPECT_TRUE(got.empty());
}

TEST(ProgressQueue, AWaitWithNothingQueuedEndsIdleUntilTheBuildFinishes) {
  ProgressQueue queue;
  std::vector<ProgressReport> got{{9, 9, 9, "stale"}};
  EXPECT_EQ(queue.wait_for(&got, 1ms), ProgressQueue::Waited::kIdle);
  EXPECT_TRUE(got.empty());
  queue.finish();
  EXPECT_EQ(queue.wait_for(&got, 1h), ProgressQueue::Waited::kFinished);
}

TEST(ProgressQueue, StopDropsQueuedReportsAndLaterCallsThrow) {
  ProgressQueue queue;
  queue.call(0, 1, 1, "dropped");
  queue.stop();
  EXPECT_THROW(queue.call(0, 2, 2, "refused"), BuildStopped);
  queue.finish();
  std::vector<ProgressReport> got;
  EXPECT_FALSE(take(queue, &got));
  EXPECT_TRUE(got.empty());
}

// Producers report through two counters (as a phase's threads do) while one
// consumer takes the reports as the build's caller does: every report
// arrives once, and each counter's totals arrive in ascending order.
TEST(ProgressQueueConcurrent, ReportsOfEachCounterArriveInOrder) {
  constexpr int kThreads = 8;
  constexpr int kAdds = 2000;
  auto queue = std::make_shared<ProgressQueue>();
  const ProgressHandle handle = queue;
  ProgressCounter counters[2];
  std::vector<ProgressReport> delivered;
  std::thread consumer([&] {
    std::vector<ProgressReport> batch;
    while (take(*queue, &batch)) delivered.insert(delivered.end(), batch.begin(), batch.end());
  });
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&, t] {
      for (int i = 0; i < kAdds; ++i) {
        const int kind = (t + i) % 2;
        counters[kind].add(handle, 1, [&](uint64_t total) {
          report(handle, kind, total, 0, std::to_string(total));
        });
      }
    });
  }
  for (std::thread& p : producers) p.join();
  queue->finish();
  consumer.join();
  ASSERT_EQ(delivered.size(), size_t{kThreads} * kAdds);
  std::map<int, uint64_t> last;
  for (const ProgressReport& r : delivered) {
    EXPECT_EQ(r.done, last[r.kind] + 1) << "kind " << r.kind;
    EXPECT_EQ(r.message, std::to_string(r.done));
    last[r.kind] = r.done;
  }
  EXPECT_EQ(last[0] + last[1], uint64_t{kThreads} * kAdds);
}

// The caller stops the queue while the threads report: each thread's next
// report throws, nothing is taken after the stop, and the wait ends once the
// build has finished.
TEST(ProgressQueueConcurrent, StopEndsEveryReporter) {
  constexpr int kThreads = 6;
  ProgressQueue queue;
  std::atomic<int> stopped{0};
  std::vector<std::thread> reporters;
  for (int t = 0; t < kThreads; ++t) {
    reporters.emplace_back([&, t] {
      try {
        for (uint64_t i = 0;; ++i) queue.call(t, i, 0, "step");
      } catch (const BuildStopped&) {
        stopped.fetch_add(1);
      }
    });
  }
  std::vector<ProgressReport> batch;
  size_t taken = 0;
  while (taken < 1000 && take(queue, &batch)) taken += batch.size();
  queue.stop();
  for (std::thread& r : reporters) r.join();
  EXPECT_EQ(stopped.load(), kThreads);
  queue.finish();
  EXPECT_FALSE(take(queue, &batch));
  EXPECT_TRUE(batch.empty());
}

}  // namespace
}  // namespace rs::fullmap
