// How the build's phases report progress: through one shared handle, null
// when the caller gave no progress callable (every report is then skipped).
// The build's own threads never run the caller's code: a ProgressQueue keeps
// their reports for the thread that called the build, which delivers them.
//
// Kinds: 0 the equivalence index, 1 synonym ingestion, 2 the final write.
//
// Thread safety: call() may be made from any thread of the build at any time;
// implementations serialise what they must. ProgressQueue: call, finish and
// stop from any thread, wait_for from one thread at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "src/fullmap/thread.h"

namespace rs::fullmap {

inline constexpr int32_t kProgressEquivalence = 0;
inline constexpr int32_t kProgressIngestion = 1;
inline constexpr int32_t kProgressFinalWrite = 2;

class Progress {
 public:
  virtual ~Progress() = default;
  // Reports one step. Whatever goes wrong in the report stays inside it and
  // does not change the build; only a build being stopped throws (see
  // ProgressQueue).
  virtual void call(int32_t kind, uint64_t done, uint64_t total, std::string_view message) = 0;
};

using ProgressHandle = std::shared_ptr<Progress>;

inline void report(const ProgressHandle& progress, int32_t kind, uint64_t done, uint64_t total,
                   std::string_view message) {
  if (progress) progress->call(kind, done, total, message);
}

// One report, as a build thread made it.
struct ProgressReport {
  int32_t kind = 0;
  uint64_t done = 0;
  uint64_t total = 0;
  std::string message;
  bool operator==(const ProgressReport&) const = default;
};

// The reports of one build, queued by its threads in the order they are made
// and taken by the thread that called the build. A report made through a
// ProgressCounter is queued under the counter's mutex, so the reports of one
// counter are queued, and so delivered, in ascending order.
class ProgressQueue : public Progress {
 public:
  // Queues the report; throws BuildStopped once stop() was called.
  void call(int32_t kind, uint64_t done, uint64_t total, std::string_view message) override;
  // Waits at most `timeout` until reports are queued or the build has
  // finished, and moves every queued report into *out (replacing what it
  // held): kReports; kFinished once the build has finished and every report
  // has been taken; kIdle when the time passed with neither.
  enum class Waited { kReports, kIdle, kFinished };
  Waited wait_for(std::vector<ProgressReport>* out, std::chrono::milliseconds timeout);
  // The build has ended: no report follows.
  void finish();
  // Nobody takes reports any more: the queued ones are dropped and every later
  // call throws BuildStopped.
  void stop();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<ProgressReport> queued_;
  bool finished_ = false;
  bool stopped_ = false;
};

// A running total that several threads add to and report. The addition, the
// read and the report happen under one mutex, so the reports made through one
// counter never step back, whatever order the threads arrive in.
class ProgressCounter {
 public:
  // Adds `n`; with a progress handle, calls report_total(new total) under the
  // mutex. Returns the new total.
  template <typename Report>
  uint64_t add(const ProgressHandle& progress, uint64_t n, Report&& report_total) {
    std::lock_guard lock(mu_);
    value_ += n;
    if (progress) report_total(value_);
    return value_;
  }
  uint64_t value() {
    std::lock_guard lock(mu_);
    return value_;
  }

 private:
  std::mutex mu_;
  uint64_t value_ = 0;
};

}  // namespace rs::fullmap
