// Bounded fan-in for k-way merges of sorted run files: more runs than the
// open-file limit allows are pre-merged, a group at a time, into
// intermediate runs until few enough are left.
//
// Thread safety: a pure function of its arguments and the files they name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "src/fullmap/spill_file.h"

namespace rs::fullmap {

// Merges `runs` (in order) into the new run file `out`.
using MergeGroup =
    std::function<IoResult<void>(std::span<const std::string> runs, const std::string& out)>;
// The path of the n-th intermediate run.
using IntermediateName = std::function<std::string(uint64_t n)>;

// Merges consecutive groups of `fan_in` (at least 2) runs into intermediate
// runs until at most `fan_in` are left, keeping the order of the runs, so the
// final merge sees the same sequence. Intermediate runs are deleted once
// merged; those left in the result are appended to `intermediates` for the
// caller to delete. On failure every intermediate run made so far is deleted.
IoResult<std::vector<std::string>> reduce_runs(std::vector<std::string> runs, size_t fan_in,
                                               const IntermediateName& name,
                                               const MergeGroup& merge_group,
                                               std::vector<std::string>* intermediates);

}  // namespace rs::fullmap
