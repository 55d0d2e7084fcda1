// A build's exclusive claim on its output: one build of an output at a time,
// in this process or any other. The claim is an flock on a lock file beside
// the output (its path with ".lock" appended to the last component), so it
// binds every spelling of the output's path (the lock follows the file's
// inode, not the name it was reached by) and ends with its holder, even one
// killed by a signal: a lock file left behind holds no lock, and the next
// build takes it over. The holder removes the file when it lets go.
//
// A second claim fails at once, without waiting and before its build has
// touched anything, with "fullmap output '<output>' is being built by
// another build".
//
// Thread safety: one owner. Two claims of one output conflict also between
// threads of one process, since each opens the lock file afresh.
#pragma once

#include <string>
#include <utility>

#include "src/fullmap/error.h"
#include "storage/src/result.h"

namespace rs::fullmap {

class OutputClaim {
 public:
  // Claims `output`, whose parent directory exists. Fails with the claim
  // error above, or with the I/O error of opening the lock file.
  static storage::Result<OutputClaim, PendingError> take(const std::string& output);

  OutputClaim() = default;
  OutputClaim(OutputClaim&& other) noexcept;
  OutputClaim& operator=(OutputClaim&& other) noexcept;
  OutputClaim(const OutputClaim&) = delete;
  OutputClaim& operator=(const OutputClaim&) = delete;
  // Removes the lock file (when it is still ours) and releases the lock.
  ~OutputClaim();

  // The lock file of `output`.
  static std::string lock_path(const std::string& output);

 private:
  OutputClaim(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  void release();

  std::string path_;
  int fd_ = -1;
};

}  // namespace rs::fullmap
