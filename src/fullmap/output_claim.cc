#include "src/fullmap/output_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <utility>

#include "src/fullmap/layout.h"

namespace rs::fullmap {
namespace {

using storage::Err;
using Claimed = storage::Result<OutputClaim, PendingError>;

Err<PendingError> busy(const std::string& output) {
  return Err(PendingError::runtime("fullmap output '" + output +
                                   "' is being built by another build"));
}

Err<PendingError> refuse(const std::string& path, const std::string& cause) {
  return Err(PendingError::runtime("fullmap output lock '" + path + "': " + cause));
}

Err<PendingError> refuse_errno(const std::string& path, int code) {
  return refuse(path, os_error(code).to_string());
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Why a file that is not a regular one cannot be a claim file.
std::string not_regular(mode_t mode) {
  if (S_ISDIR(mode)) return os_error(EISDIR).to_string();
  const char* kind = S_ISLNK(mode)    ? "a symbolic link"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISSOCK(mode) ? "a socket"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                                      : "not a regular file";
  return std::string("it is ") + kind + ", not a fullmap build's claim file; left as it is";
}

// Whether the open regular file holds exactly the claim text.
bool holds_claim_text(int fd, const struct stat& st) {
  if (st.st_size != static_cast<off_t>(kClaimText.size())) return false;
  char buf[kClaimText.size() + 1];
  size_t got = 0;
  while (got < sizeof buf) {
    const ssize_t n = ::pread(fd, buf + got, sizeof buf - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got == kClaimText.size() && std::memcmp(buf, kClaimText.data(), got) == 0;
}

// 0, or the errno of the first failing write.
int write_claim_text(int fd) {
  size_t done = 0;
  while (done < kClaimText.size()) {
    const ssize_t n = ::write(fd, kClaimText.data() + done, kClaimText.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

storage::Result<Fd, int> internal::create_claim_file(int dir, const std::string& name,
                                                     ClaimFileWay way) {
  // Filled and locked before it gets its name, so that nobody sees it
  // partial or takes it over from us.
  auto fill = [](int fd) -> int {
    if (int e = write_claim_text(fd)) return e;
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
  };
  Fd unnamed;
  if (way == ClaimFileWay::kAny) {
    unnamed = Fd(::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (!unnamed.valid() && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return Err(errno);
    }
  }
  if (unnamed.valid()) {
    if (int e = fill(unnamed.get())) return Err(e);
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", unnamed.get());
    if (::linkat(AT_FDCWD, proc, dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return unnamed;
    if (errno != ENOENT) return Err(errno);  // EEXIST too
    // No /proc: the named way below.
  }
  const std::string base = "." + name + "." + std::to_string(::getpid()) + ".";
  for (int k = 0;; ++k) {
    const std::string temp = base + std::to_string(k) + ".tmp";
    Fd fd(::openat(dir, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd.valid()) {
      if (errno == EEXIST && k < 64) continue;
      return Err(errno);
    }
    int e = fill(fd.get());
    if (e == 0 && ::linkat(dir, temp.c_str(), dir, name.c_str(), 0) != 0) e = errno;
    ::unlinkat(dir, temp.c_str(), 0);
    if (e != 0) return Err(e);
    return fd;
  }
}

namespace {

// Attempts at a claim file that other builds keep removing or making under
// us; each such change means another build was let in, so the last refusal
// stands.
constexpr int kAttempts = 100;

// Takes the claim file `name` in the directory `dir`, making it when there
// is none; `shown` is its path in errors.
storage::Result<Fd, PendingError> claim_file(const std::string& output, int dir,
                                             const std::string& name, const std::string& shown) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return refuse_errno(shown, errno);
      auto made = internal::create_claim_file(dir, name, internal::ClaimFileWay::kAny);
      if (made.ok()) return std::move(made).value();
      if (made.error() == EEXIST) continue;
      return refuse_errno(shown, made.error());
    }
    // Only a regular file is opened, and never for waiting: what else is
    // there may be a FIFO, a device, a link to anything.
    if (!S_ISREG(st.st_mode)) return refuse(shown, not_regular(st.st_mode));
    Fd fd(::openat(dir, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
      if (errno == ENOENT || errno == ELOOP) continue;  // replaced meanwhile
      return refuse_errno(shown, errno);
    }
    struct stat held;
    if (::fstat(fd.get(), &held) != 0) return refuse_errno(shown, errno);
    if (!S_ISREG(held.st_mode) || !same_file(st, held)) continue;
    if (!holds_claim_text(fd.get(), held)) {
      return refuse(shown, "it is not a fullmap build's claim file; left as it is");
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return busy(output);
      return refuse_errno(shown, errno);
    }
    // The holder before us removes the file before it lets go: the lock
    // counts only on the file that is still at the path.
    struct stat now;
    if (::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && same_file(held, now)) {
      return fd;
    }
  }
  return busy(output);
}

// The claim files' directory and names: the shard family's, and when the
// output's own name is that of a shard ("<x>.s<i>.<ext>", i below the shard
// count) the family it belongs to.
struct ClaimNames {
  std::string dir;
  std::vector<std::string> names;
};

ClaimNames claim_names(const std::string& output) {
  const ShardFamily family = shard_family(output);
  ClaimNames out{.dir = family.dir, .names = {family.stem + "." + family.ext + ".lock"}};
  const size_t dot = family.stem.rfind('.');
  if (dot != std::string::npos && dot > 0 && family.stem.compare(dot, 2, ".s") == 0) {
    const std::string_view digits = std::string_view(family.stem).substr(dot + 2);
    uint32_t index = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (ec == std::errc() && end == digits.data() + digits.size() && index < kShardCount &&
        digits == std::to_string(index)) {
      out.names.push_back(family.stem.substr(0, dot) + "." + family.ext + ".lock");
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> OutputClaim::claim_paths(const std::string& output) {
  ClaimNames names = claim_names(output);
  std::vector<std::string> paths;
  for (const std::string& name : names.names) paths.push_back(names.dir + name);
  return paths;
}

bool OutputClaim::is_claim_file(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  struct stat held;
  return fd.valid() && ::fstat(fd.get(), &held) == 0 && S_ISREG(held.st_mode) &&
         holds_claim_text(fd.get(), held);
}

Claimed OutputClaim::take(const std::string& output) {
  const ClaimNames names = claim_names(output);
  OutputClaim claim;
  for (const std::string& name : names.names) {
    const std::string shown = names.dir + name;
    Fd dir(::open(names.dir.empty() ? "." : names.dir.c_str(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return refuse_errno(shown, errno);
    // A failure here releases the claim files already taken.
    TRY_ASSIGN(Fd file, claim_file(output, dir.get(), name, shown));
    claim.held_.push_back(Held{.dir = std::move(dir), .name = name, .file = std::move(file)});
  }
  return claim;
}

OutputClaim& OutputClaim::operator=(OutputClaim&& other) noexcept {
  if (this != &other) {
    release();
    held_ = std::move(other.held_);
    other.held_.clear();
  }
  return *this;
}

OutputClaim::~OutputClaim() { release(); }

void OutputClaim::release() {
  for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
    // Removed while still locked, so that no build can lock this file after
    // us and believe it holds the claim. A file put in its place meanwhile
    // is not ours and stays.
    struct stat held;
    struct stat now;
    if (::fstat(it->file.get(), &held) == 0 &&
        ::fstatat(it->dir.get(), it->name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(held, now)) {
      ::unlinkat(it->dir.get(), it->name.c_str(), 0);
    }
    it->file = Fd();  // closing it lets go of the lock
  }
  held_.clear();
}

}  // namespace rs::fullmap
