#include "src/fullmap/output_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "src/fullmap/input.h"

namespace rs::fullmap {
namespace {

using storage::Err;
using Claimed = storage::Result<OutputClaim, PendingError>;

Err<PendingError> busy(const std::string& output) {
  return Err(PendingError::runtime("fullmap output '" + output +
                                   "' is being built by another build"));
}

Err<PendingError> os_failure(int code) { return Err(PendingError(os_error(code))); }

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Attempts at a lock file that other builds keep removing under us; each
// such removal means another build was let in, so the last refusal stands.
constexpr int kAttempts = 100;

}  // namespace

std::string OutputClaim::lock_path(const std::string& output) {
  std::string path = output;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path + ".lock";
}

Claimed OutputClaim::take(const std::string& output) {
  const std::string path = lock_path(output);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd.valid()) return os_failure(errno);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return busy(output);
      return os_failure(errno);
    }
    // The holder before us removes the file before it lets go: the lock
    // counts only on the file that is still at the path.
    struct stat held;
    struct stat now;
    if (::fstat(fd.get(), &held) != 0) return os_failure(errno);
    if (::lstat(path.c_str(), &now) == 0) {
      if (same_file(held, now)) return OutputClaim(path, fd.release());
    } else if (errno != ENOENT) {
      return os_failure(errno);
    }
  }
  return busy(output);
}

OutputClaim::OutputClaim(OutputClaim&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}

OutputClaim& OutputClaim::operator=(OutputClaim&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

OutputClaim::~OutputClaim() { release(); }

void OutputClaim::release() {
  if (fd_ < 0) return;
  // Removed while still locked, so that no build can lock this file after
  // us and believe it holds the claim. A file put in its place by hand is
  // left alone.
  struct stat held;
  struct stat now;
  if (::fstat(fd_, &held) == 0 && ::lstat(path_.c_str(), &now) == 0 && same_file(held, now)) {
    ::unlink(path_.c_str());
  }
  ::close(fd_);
  fd_ = -1;
}

}  // namespace rs::fullmap
