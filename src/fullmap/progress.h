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

}  // namespace rs::fullmap
