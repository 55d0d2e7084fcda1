// The build's spill directory: where the runs and the merged equivalence file
// live while a build runs. It is ours only while it holds our marker file,
// which the build keeps under an exclusive lock from preparation to the end.
//
// Preparation refuses (RuntimeError naming the path):
// - the empty path, which names no directory;
// - a directory that holds the build's inputs or its output files;
// - a non-empty directory without the marker (never a fullmap build's);
// - a directory whose marker another build holds (its files are in use);
// - a symbolic link in place of the directory.
// An existing marked directory is emptied (everything but the marker); a
// missing one is created with its ancestors. Deletion never follows symbolic
// links: a link inside is removed, its target left alone.
//
// Thread safety: one owner; the lock guards against other builds, in this
// process or another.
#pragma once

#include <span>
#include <string>

#include "src/fullmap/error.h"
#include "storage/src/result.h"

namespace rs::fullmap {

inline constexpr char kSpillMarkerName[] = ".quorvendel-fullmap-spill";

class SpillDirectory {
 public:
  // Makes `path` the spill directory of a build reading `inputs` and writing
  // `output` and its shards.
  static storage::Result<SpillDirectory, PendingError> prepare(
      const std::string& path, std::span<const std::string> inputs, const std::string& output);

  SpillDirectory(SpillDirectory&& other) noexcept;
  SpillDirectory& operator=(SpillDirectory&&) = delete;
  // Releases the lock and leaves the files (a failed build keeps them).
  ~SpillDirectory();

  // The refusals above that follow from the paths alone (the empty path,
  // one holding an input or an output file); prepare makes them first.
  static storage::Result<void, PendingError> check_path(const std::string& path,
                                                        std::span<const std::string> inputs,
                                                        const std::string& output);

  const std::string& path() const { return path_; }

  // After a successful build: deletes the directory with everything in it.
  // Failures are ignored. The lock is released.
  void remove();

 private:
  SpillDirectory(std::string path, int dir_fd, int marker_fd)
      : path_(std::move(path)), dir_fd_(dir_fd), marker_fd_(marker_fd) {}
  void release();

  std::string path_;
  int dir_fd_ = -1;
  int marker_fd_ = -1;
};

}  // namespace rs::fullmap
