// How the build's phases report progress: through one shared handle, null
// when the caller gave no progress callable (every report is then skipped).
//
// Kinds: 0 the equivalence index, 1 synonym ingestion, 2 the final write.
//
// Thread safety: call() may be made from any thread of the build at any time;
// implementations serialise what they must.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

namespace rs::fullmap {

inline constexpr int32_t kProgressEquivalence = 0;
inline constexpr int32_t kProgressIngestion = 1;
inline constexpr int32_t kProgressFinalWrite = 2;

class Progress {
 public:
  virtual ~Progress() = default;
  // Reports one step. Never fails: whatever goes wrong in the report stays
  // inside it and does not change the build.
  virtual void call(int32_t kind, uint64_t done, uint64_t total,
                    std::string_view message) noexcept = 0;
};

using ProgressHandle = std::shared_ptr<Progress>;

inline void report(const ProgressHandle& progress, int32_t kind, uint64_t done, uint64_t total,
                   std::string_view message) {
  if (progress) progress->call(kind, done, total, message);
}

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
