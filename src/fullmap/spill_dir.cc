#include "src/fullmap/spill_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>
#include <vector>

#include "src/fullmap/layout.h"

namespace rs::fullmap {
namespace {

namespace fs = std::filesystem;
using storage::Err;
using storage::IoError;

using Prepared = storage::Result<SpillDirectory, PendingError>;

Err<PendingError> refuse(const std::string& path, const std::string& reason) {
  return Err(PendingError::runtime("refusing spill directory " + path + ": " + reason));
}

Err<PendingError> os_error(int code) { return Err(PendingError(IoError::from_errno(code))); }

// The absolute form of `path` with every symbolic link of its existing part
// resolved.
std::string resolved(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::path(path), ec);
  if (ec) p = fs::absolute(fs::path(path), ec).lexically_normal();
  std::string s = p.string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

bool inside(const std::string& dir, const std::string& path) {
  if (dir == "/") return true;
  return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
                         path[dir.size()] == '/');
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
    return *this;
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// The names in a directory, without "." and "..".
storage::Result<std::vector<std::string>, IoError> list_names(int dir_fd) {
  int dup_fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (dup_fd < 0) return Err(IoError::from_errno(errno));
  DIR* dir = ::fdopendir(dup_fd);
  if (dir == nullptr) {
    int e = errno;
    ::close(dup_fd);
    return Err(IoError::from_errno(e));
  }
  ::rewinddir(dir);  // the duplicate shares the original's position
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.emplace_back(e->d_name);
    }
    errno = 0;
  }
  int e = errno;
  ::closedir(dir);
  if (e != 0) return Err(IoError::from_errno(e));
  return names;
}

// Deletes everything in the directory but `keep`, never following a symbolic
// link: a link is unlinked, a subdirectory emptied through its own handle.
storage::Result<void, IoError> clear_dir(int dir_fd, const char* keep) {
  TRY_ASSIGN(std::vector<std::string> names, list_names(dir_fd));
  for (const std::string& name : names) {
    if (keep != nullptr && name == keep) continue;
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return Err(IoError::from_errno(errno));
    }
    int flags = 0;
    if (S_ISDIR(st.st_mode)) {
      Fd sub(::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (sub.get() < 0) return Err(IoError::from_errno(errno));
      TRY(clear_dir(sub.get(), nullptr));
      flags = AT_REMOVEDIR;
    }
    if (::unlinkat(dir_fd, name.c_str(), flags) != 0 && errno != ENOENT) {
      return Err(IoError::from_errno(errno));
    }
  }
  return {};
}

}  // namespace

storage::Result<void, PendingError> SpillDirectory::check_path(
    const std::string& path, std::span<const std::string> inputs, const std::string& output) {
  // No file or directory has the empty name (creating it fails with ENOENT),
  // and every path would count as inside it.
  if (path.empty()) return refuse("''", "the empty path names no directory");
  const std::string dir = resolved(path);
  for (const std::string& input : inputs) {
    if (inside(dir, resolved(input))) return refuse(path, "it holds the input " + input);
  }
  std::vector<std::string> outputs{output};
  for (uint32_t i = 0; i < kShardCount; ++i) outputs.push_back(shard_path(output, i));
  for (const std::string& out : outputs) {
    if (inside(dir, resolved(out))) return refuse(path, "it holds the output " + out);
  }
  return {};
}

Prepared SpillDirectory::take(const std::string& path, std::span<const std::string> inputs,
                              const std::string& output) {
  TRY(check_path(path, inputs, output));
  Made made = Made::kNothing;

  // A few rounds, for the races with another build creating or removing the
  // same directory or marker.
  for (int round = 0; round < 4; ++round) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno != ENOENT) return os_error(errno);
      std::error_code ec;
      if (fs::create_directories(fs::path(path), ec)) made = Made::kDirectory;
      if (ec) return os_error(ec.value());
      continue;
    }
    if (S_ISLNK(st.st_mode)) return refuse(path, "it is a symbolic link");
    if (!S_ISDIR(st.st_mode)) return os_error(ENOTDIR);
    Fd dir_fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir_fd.get() < 0) return os_error(errno);

    Fd marker(::openat(dir_fd.get(), kSpillMarkerName, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (marker.get() < 0) {
      if (errno == ELOOP) return refuse(path, "its spill marker is a symbolic link");
      if (errno != ENOENT) return os_error(errno);
      auto names = list_names(dir_fd.get());
      if (!names.ok()) return Err(PendingError(std::move(names).error()));
      if (!names->empty()) {
        return refuse(path, "it is not empty and holds no spill marker of a fullmap build");
      }
      marker = Fd(::openat(dir_fd.get(), kSpillMarkerName,
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
      if (marker.get() < 0) {
        if (errno == EEXIST) continue;
        return os_error(errno);
      }
      made = made == Made::kDirectory ? made : Made::kMarker;
    }
    struct stat held;
    if (::fstat(marker.get(), &held) != 0) return os_error(errno);
    if (!S_ISREG(held.st_mode)) return refuse(path, "its spill marker is not a regular file");
    if (::flock(marker.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) return refuse(path, "another build is using it");
      return os_error(errno);
    }
    // The build that held the marker may have removed it just before we
    // locked it: the lock counts only on the marker still in the directory.
    struct stat now;
    if (::fstatat(dir_fd.get(), kSpillMarkerName, &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_dev != held.st_dev || now.st_ino != held.st_ino) {
      continue;
    }
    return SpillDirectory(path, dir_fd.release(), marker.release(), made);
  }
  return refuse(path, "it kept changing while it was prepared");
}

SpillDirectory::SpillDirectory(SpillDirectory&& other) noexcept
    : path_(std::move(other.path_)),
      dir_fd_(std::exchange(other.dir_fd_, -1)),
      marker_fd_(std::exchange(other.marker_fd_, -1)),
      unused_(std::exchange(other.unused_, Made::kNothing)) {}

SpillDirectory::~SpillDirectory() {
  // A build that never ran leaves the directory as it found it: what taking
  // it made goes (the marker and, when it made that too, the directory),
  // unless something else was put there meanwhile.
  if (unused_ != Made::kNothing && dir_fd_ >= 0) {
    try {
      auto names = list_names(dir_fd_);
      if (names.ok() && names->size() == 1 && names->front() == kSpillMarkerName &&
          ::unlinkat(dir_fd_, kSpillMarkerName, 0) == 0 && unused_ == Made::kDirectory) {
        ::rmdir(path_.c_str());
      }
    } catch (const std::bad_alloc&) {
      // Out of memory for the listing: the marked directory stays, as after
      // a failed build, and the next build takes it over.
    }
  }
  release();
}

storage::Result<void, PendingError> SpillDirectory::clear() {
  unused_ = Made::kNothing;
  auto cleared = clear_dir(dir_fd_, kSpillMarkerName);
  if (!cleared.ok()) return Err(PendingError(std::move(cleared).error()));
  return {};
}

void SpillDirectory::release() {
  if (marker_fd_ >= 0) ::close(marker_fd_);  // releases the lock
  if (dir_fd_ >= 0) ::close(dir_fd_);
  marker_fd_ = dir_fd_ = -1;
}

void SpillDirectory::remove() {
  unused_ = Made::kNothing;
  if (dir_fd_ < 0) return;
  // Best effort: a build that succeeded does not fail on its leftovers. The
  // marker goes last, so that a build killed meanwhile leaves a directory
  // that the next build still knows for a spill directory.
  if (clear_dir(dir_fd_, kSpillMarkerName).ok() &&
      (::unlinkat(dir_fd_, kSpillMarkerName, 0) == 0 || errno == ENOENT)) {
    ::rmdir(path_.c_str());
  }
  release();
}

}  // namespace rs::fullmap
