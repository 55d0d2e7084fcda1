#include "storage/src/tree_store/page_store/file_backend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace storage {

void UniqueFd::reset() {
  if (fd_ >= 0) {
    // The descriptor is gone after close even when it reports EINTR; never retry.
    ::close(fd_);
    fd_ = -1;
  }
}

namespace file_io {

Result<void, IoError> read_exact_at(int fd, std::span<uint8_t> out, uint64_t offset,
                                    ReadCall call, size_t max_transfer) {
  size_t done = 0;
  while (done < out.size()) {
    const size_t want = std::min(out.size() - done, max_transfer);
    const ssize_t n = call(fd, out.data() + done, want, static_cast<off64_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{IoError::from_errno(errno)};
    }
    if (n == 0) return Err{IoError::other("failed to fill whole buffer")};
    done += static_cast<size_t>(n);
  }
  return {};
}

Result<void, IoError> write_all_at(int fd, std::span<const uint8_t> data, uint64_t offset,
                                   WriteCall call, size_t max_transfer) {
  size_t done = 0;
  while (done < data.size()) {
    const size_t want = std::min(data.size() - done, max_transfer);
    const ssize_t n = call(fd, data.data() + done, want, static_cast<off64_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{IoError::from_errno(errno)};
    }
    if (n == 0) return Err{IoError::other("failed to write whole buffer")};
    done += static_cast<size_t>(n);
  }
  return {};
}

Result<void, IoError> write_gathered_at(int fd, std::span<const std::span<const uint8_t>> parts,
                                        uint64_t offset, GatherCall call, size_t max_transfer,
                                        size_t max_parts) {
  std::vector<struct iovec> iov;
  iov.reserve(std::min(parts.size(), max_parts));
  size_t part = 0;  // the first part not yet fully written
  size_t skip = 0;  // bytes of parts[part] already written
  while (part < parts.size()) {
    if (parts[part].size() == skip) {  // also steps over empty parts
      ++part;
      skip = 0;
      continue;
    }
    iov.clear();
    size_t want = 0;
    for (size_t i = part; i < parts.size() && iov.size() < max_parts && want < max_transfer;
         ++i) {
      const size_t from = i == part ? skip : 0;
      const size_t len = std::min(parts[i].size() - from, max_transfer - want);
      if (len == 0) continue;
      iov.push_back({const_cast<uint8_t*>(parts[i].data() + from), len});
      want += len;
    }
    const ssize_t n =
        call(fd, iov.data(), static_cast<int>(iov.size()), static_cast<off64_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{IoError::from_errno(errno)};
    }
    if (n == 0) return Err{IoError::other("failed to write whole buffer")};
    offset += static_cast<uint64_t>(n);
    // Advance past the bytes written, part by part.
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
      const size_t rest = parts[part].size() - skip;
      if (left < rest) {
        skip += left;
        left = 0;
      } else {
        left -= rest;
        ++part;
        skip = 0;
      }
    }
  }
  return {};
}

}  // namespace file_io

Result<std::unique_ptr<FileBackend>, DatabaseError> FileBackend::create(UniqueFd file) {
  return new_internal(std::move(file), false);
}

Result<std::unique_ptr<FileBackend>, DatabaseError> FileBackend::new_internal(UniqueFd file,
                                                                             bool read_only) {
  const int op = (read_only ? LOCK_SH : LOCK_EX) | LOCK_NB;
  if (::flock(file.get(), op) == 0) {
    return std::unique_ptr<FileBackend>(new FileBackend(true, std::move(file)));
  }
  const int err = errno;
  if (err == EWOULDBLOCK) return Err{DatabaseError::LockHeld()};  // `file` closes here
  if (err == ENOSYS || err == EOPNOTSUPP) {
    return std::unique_ptr<FileBackend>(new FileBackend(false, std::move(file)));
  }
  return Err{DatabaseError(StorageError::IoErrno(err))};
}

namespace {
Result<UniqueFd, DatabaseError> open_path(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Err{DatabaseError(StorageError::IoErrno(errno))};
  return UniqueFd(fd);
}
}  // namespace

Result<std::unique_ptr<FileBackend>, DatabaseError> FileBackend::open_writable(
    const std::string& path) {
  TRY_ASSIGN(UniqueFd fd, open_path(path, O_RDWR | O_CREAT, 0666));
  return create(std::move(fd));
}

Result<std::unique_ptr<FileBackend>, DatabaseError> FileBackend::open_read_only(
    const std::string& path) {
  TRY_ASSIGN(UniqueFd fd, open_path(path, O_RDONLY, 0));
  // An empty file holds no database, and it may be one a writer has just
  // created and is about to lock: a shared lock taken here, however briefly,
  // would make that writer's open fail. Refused as the page store refuses it.
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Err{DatabaseError(StorageError::IoErrno(errno))};
  if (st.st_size == 0) return Err{DatabaseError(StorageError::Io(IoError::other("invalid data")))};
  return new_internal(std::move(fd), true);
}

std::string FileBackend::debug() const {
  return std::string("FileBackend { lock_supported: ") + (lock_supported_ ? "true" : "false") +
         ", file: File { fd: " + std::to_string(file_.get()) + " } }";
}

Result<uint64_t, IoError> FileBackend::len() const {
  struct stat st;
  if (::fstat(file_.get(), &st) != 0) return Err{IoError::from_errno(errno)};
  return static_cast<uint64_t>(st.st_size);
}

Result<void, IoError> FileBackend::read(uint64_t offset, std::span<uint8_t> out) const {
  if (out.empty()) return {};
  return file_io::read_exact_at(file_.get(), out, offset, ::pread64);
}

void FileBackend::prefetch(uint64_t offset, uint64_t len) const {
  (void)::posix_fadvise(file_.get(), static_cast<off_t>(offset), static_cast<off_t>(len),
                        POSIX_FADV_WILLNEED);
}

bool FileBackend::read_if_cached(uint64_t offset, std::span<uint8_t> out) const {
  if (no_wait_unsupported_.load(std::memory_order_relaxed)) return false;
  size_t done = 0;
  while (done < out.size()) {
    struct iovec part{out.data() + done, std::min(out.size() - done, file_io::kMaxTransfer)};
    const ssize_t n = ::preadv2(file_.get(), &part, 1, static_cast<off_t>(offset + done), RWF_NOWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)) {
      no_wait_unsupported_.store(true, std::memory_order_relaxed);
    }
    return false;  // EAGAIN: not (all) cached; end of file or an error: read() reports it
  }
  return true;
}

Result<void, IoError> FileBackend::write(uint64_t offset, std::span<const uint8_t> data) const {
  return file_io::write_all_at(file_.get(), data, offset, ::pwrite64);
}

Result<void, IoError> FileBackend::write_gathered(
    uint64_t offset, std::span<const std::span<const uint8_t>> parts) const {
  return file_io::write_gathered_at(file_.get(), parts, offset, ::pwritev64);
}

Result<void, IoError> FileBackend::set_len(uint64_t len) const {
  while (::ftruncate(file_.get(), static_cast<off_t>(len)) != 0) {
    if (errno != EINTR) return Err{IoError::from_errno(errno)};
  }
  return {};
}

Result<void, IoError> FileBackend::sync_data() const {
  while (::fdatasync(file_.get()) != 0) {
    if (errno != EINTR) return Err{IoError::from_errno(errno)};
  }
  return {};
}

Result<void, IoError> FileBackend::close() const {
  if (!lock_supported_) return {};
  if (::flock(file_.get(), LOCK_UN) != 0) return Err{IoError::from_errno(errno)};
  return {};
}

}  // namespace storage
