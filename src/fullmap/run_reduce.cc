#include "src/fullmap/run_reduce.h"

#include <unistd.h>

#include <algorithm>
#include <utility>

namespace rs::fullmap {

IoResult<std::vector<std::string>> reduce_runs(std::vector<std::string> runs, size_t fan_in,
                                               const IntermediateName& name,
                                               const MergeGroup& merge_group,
                                               std::vector<std::string>* intermediates) {
  fan_in = std::max<size_t>(fan_in, 2);
  std::vector<bool> intermediate(runs.size(), false);
  uint64_t next_id = 0;
  while (runs.size() > fan_in) {
    std::vector<std::string> level;
    std::vector<bool> level_intermediate;
    for (size_t at = 0; at < runs.size(); at += fan_in) {
      const size_t n = std::min(fan_in, runs.size() - at);
      if (n == 1) {
        level.push_back(runs[at]);
        level_intermediate.push_back(intermediate[at]);
        continue;
      }
      std::string out = name(next_id++);
      IoResult<void> merged =
          merge_group(std::span<const std::string>(runs).subspan(at, n), out);
      if (!merged.ok()) {
        (void)::unlink(out.c_str());
        for (size_t k = 0; k < runs.size(); ++k) {
          if (intermediate[k]) (void)::unlink(runs[k].c_str());
        }
        for (size_t k = 0; k < level.size(); ++k) {
          if (level_intermediate[k]) (void)::unlink(level[k].c_str());
        }
        return storage::Err(std::move(merged).error());
      }
      for (size_t k = at; k < at + n; ++k) {
        if (intermediate[k]) (void)::unlink(runs[k].c_str());
        intermediate[k] = false;
      }
      level.push_back(std::move(out));
      level_intermediate.push_back(true);
    }
    runs = std::move(level);
    intermediate = std::move(level_intermediate);
  }
  for (size_t k = 0; k < runs.size(); ++k) {
    if (intermediate[k]) intermediates->push_back(runs[k]);
  }
  return runs;
}

}  // namespace rs::fullmap
