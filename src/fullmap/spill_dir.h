// The build's spill directory: where the runs and the merged equivalence file
// live while a build runs. It is ours only while it holds our marker file,
// which the build keeps under an exclusive lock from taking it to the end.
// A build takes it before it deletes the old output, so that every refusal
// below leaves the old output as it was, and empties it only once it runs.
//
// Taking it refuses (RuntimeError naming the path):
// - the empty path, which names no directory;
// - a directory that holds the build's inputs or its output files;
// - a non-empty directory without the marker (never a fullmap build's);
// - a directory whose marker another build holds (its files are in use);
// - a symbolic link in place of the directory.
// A missing directory is created with its ancestors; what taking it made
// (the directory, or the marker in an empty one) goes again when it is let
// go unused, so a refused build leaves nothing behind. Emptying a marked
// directory removes everything but the marker and never follows a symbolic
// link: a link inside is removed, its target left alone.
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
  // `output` and its shards; nothing in it is deleted yet.
  static storage::Result<SpillDirectory, PendingError> take(
      const std::string& path, std::span<const std::string> inputs, const std::string& output);

  SpillDirectory(SpillDirectory&& other) noexcept;
  SpillDirectory& operator=(SpillDirectory&&) = delete;
  // Releases the lock and leaves the files (a failed build keeps them); a
  // directory this build created and never emptied goes.
  ~SpillDirectory();

  // The refusals above that follow from the paths alone (the empty path,
  // one holding an input or an output file); take makes them first.
  static storage::Result<void, PendingError> check_path(const std::string& path,
                                                        std::span<const std::string> inputs,
                                                        const std::string& output);

  const std::string& path() const { return path_; }

  // Empties the directory for the build (everything but the marker).
  storage::Result<void, PendingError> clear();

  // After a successful build: deletes the directory with everything in it.
  // Failures are ignored. The lock is released.
  void remove();

 private:
  // What taking the directory made, to be removed when no build used it.
  enum class Made { kNothing, kMarker, kDirectory };
  SpillDirectory(std::string path, int dir_fd, int marker_fd, Made made)
      : path_(std::move(path)), dir_fd_(dir_fd), marker_fd_(marker_fd), unused_(made) {}
  void release();

  std::string path_;
  int dir_fd_ = -1;
  int marker_fd_ = -1;
  Made unused_ = Made::kNothing;  // kNothing once the build emptied it
};

}  // namespace rs::fullmap
