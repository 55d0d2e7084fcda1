// The build without the interpreter: preparing the output before anything is
// written, and the build body that runs the phases on the build's pool.
//
// Thread safety: prepare_output runs on the calling thread; build_fullmap_inner
// starts the pool and waits for it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "src/fullmap/error.h"
#include "src/fullmap/layout.h"
#include "src/fullmap/output_claim.h"
#include "src/fullmap/pool.h"
#include "src/fullmap/progress.h"
#include "src/fullmap/settings.h"
#include "src/fullmap/spill_dir.h"
#include "src/fullmap/thread.h"
#include "storage/src/result.h"

namespace rs::fullmap {

struct BuildJob {
  std::string output;
  std::vector<std::string> classes;
  std::vector<std::string> synonyms;
  size_t workers = 1;
  uint32_t shard_count = kShardCount;
  BuildSettings settings;
  ProgressHandle progress;
  // Taken before the old output went (prepare_output); held by the caller
  // until the build has ended. Null: the body takes settings.spill_dir itself.
  SpillDirectory* spill = nullptr;
};

struct PreparedOutput;

// Old output files, unlinked while still open: the file system frees a large
// file's blocks and pages only at its last close, which a thread of its own
// does meanwhile, while the build goes on. Destroying this waits for it.
class OldFiles {
 public:
  OldFiles() = default;
  OldFiles(OldFiles&&) noexcept = default;
  OldFiles& operator=(OldFiles&&) = delete;

 private:
  friend storage::Result<PreparedOutput, PendingError> prepare_output(
      const std::string& output, std::span<const std::string> inputs,
      const std::string& spill_dir);
  std::unique_ptr<SystemThread> closer_;  // joined as it goes
};

// What preparing the output leaves to the build, to hold until its files are
// closed and its primary is cached: the claim on the output, the spill
// directory taken for the build and the old files still being closed.
struct PreparedOutput {
  OutputClaim claim;
  SpillDirectory spill;
  OldFiles old_files;
};

// The checks of a build's arguments and settings that the build would
// otherwise make only after prepare_output has deleted the old output: an
// output path that names a file (not empty, not ending in '/'), the worker
// count the pool can start (the pool checks it too), every input a file that
// can be read (a regular file is opened and closed at once, a FIFO or device
// is not opened; a missing file or a directory fails with the I/O error the
// phase reading it would give) and the paths of the spill directory
// (SpillDirectory::check_path).
storage::Result<void, PendingError> check_build_arguments(const std::string& output,
                                                          std::span<const std::string> inputs,
                                                          size_t workers,
                                                          const BuildSettings& settings);

// Creates the output's parent directory and claims the output (a build of
// it in progress fails this one here, and so does anything at the claim
// path that is not a build's claim file, an input among them), takes the
// spill directory `spill_dir` (SpillDirectory::take), then checks all 17
// output paths before it deletes any: a path that is one of `inputs` (same
// device and inode, following symbolic links), a directory or a build's
// claim file fails the build with nothing deleted. Then deletes the old
// output and shard files (their last close left to the result).
storage::Result<PreparedOutput, PendingError> prepare_output(const std::string& output,
                                                             std::span<const std::string> inputs,
                                                             const std::string& spill_dir);

// The threads a build of `workers` workers takes at its start
// (CallThreads): the thread the build runs on, its pool, and the most that
// one phase starts besides (ingestion's consumers and producers, or the
// shard writers).
size_t build_thread_count(size_t workers, const BuildSettings& settings, size_t synonym_files);

// The phases: spill directory, equivalence index, ingestion, final write; the
// spill directory is emptied first, removed after success and kept after a
// failure.
storage::Result<void, PendingError> build_body(const BuildJob& job);

// build_body as the pool's task; the job is shared with the task.
PoolBody build_task(BuildJob job);

// Runs build_body on a pool of exactly job.workers threads and waits.
PoolOutcome build_fullmap_inner(BuildJob job);

}  // namespace rs::fullmap
