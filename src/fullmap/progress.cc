#include "src/fullmap/progress.h"

#include <utility>

namespace rs::fullmap {

void ProgressQueue::call(int32_t kind, uint64_t done, uint64_t total,
                         std::string_view message) {
  std::lock_guard lock(mu_);
  if (stopped_) throw BuildStopped();
  queued_.push_back(ProgressReport{kind, done, total, std::string(message)});
  cv_.notify_all();
}

ProgressQueue::Waited ProgressQueue::wait_for(std::vector<ProgressReport>* out,
                                              std::chrono::milliseconds timeout) {
  out->clear();
  std::unique_lock lock(mu_);
  cv_.wait_for(lock, timeout, [&] { return finished_ || !queued_.empty(); });
  if (!queued_.empty()) {
    std::swap(*out, queued_);
    return Waited::kReports;
  }
  return finished_ ? Waited::kFinished : Waited::kIdle;
}

void ProgressQueue::finish() {
  std::lock_guard lock(mu_);
  finished_ = true;
  cv_.notify_all();
}

void ProgressQueue::stop() {
  std::lock_guard lock(mu_);
  stopped_ = true;
  queued_.clear();
  cv_.notify_all();
}

}  // namespace rs::fullmap
