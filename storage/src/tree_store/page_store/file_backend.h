// FileBackend: the database file as a regular file, guarded by a whole-file
// advisory lock (flock) taken at open: exclusive for a writable database,
// shared for a read-only one, never waiting. Positioned reads and writes leave
// no shared file position, so concurrent calls on different offsets are
// independent.
//
// Thread safety: every operation may be called from any thread at once.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/page_store/backends.h"

namespace storage {

// Owns one file descriptor and closes it when destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

// The positioned I/O loops of FileBackend, exposed so that their handling of
// interrupted, short and oversized transfers can be exercised with a fake call.
namespace file_io {

using ReadCall = ssize_t (*)(int fd, void* buf, size_t count, off64_t offset);
using WriteCall = ssize_t (*)(int fd, const void* buf, size_t count, off64_t offset);
using GatherCall = ssize_t (*)(int fd, const struct iovec* iov, int iovcnt, off64_t offset);

// Linux moves at most this many bytes per read or write call; larger transfers
// are split so that no call asks for more.
inline constexpr size_t kMaxTransfer = 0x7ffff000;
// Linux takes at most this many parts (IOV_MAX) per gathered write.
inline constexpr size_t kMaxGatherParts = 1024;

// Fills `out` from `offset`, retrying EINTR and continuing after short reads.
// End of file before `out` is full: "failed to fill whole buffer".
Result<void, IoError> read_exact_at(int fd, std::span<uint8_t> out, uint64_t offset,
                                    ReadCall call, size_t max_transfer = kMaxTransfer);
// Writes all of `data` at `offset`, retrying EINTR and continuing after short
// writes. A call that writes nothing: "failed to write whole buffer".
Result<void, IoError> write_all_at(int fd, std::span<const uint8_t> data, uint64_t offset,
                                   WriteCall call, size_t max_transfer = kMaxTransfer);
// Writes the parts back to back from `offset` with as few gathered calls as
// the limits allow (at most `max_parts` parts and `max_transfer` bytes per
// call), with write_all_at's handling of EINTR, short writes and zero writes.
Result<void, IoError> write_gathered_at(int fd, std::span<const std::span<const uint8_t>> parts,
                                        uint64_t offset, GatherCall call,
                                        size_t max_transfer = kMaxTransfer,
                                        size_t max_parts = kMaxGatherParts);

}  // namespace file_io

class FileBackend final : public StorageBackend {
 public:
  // Takes the exclusive lock of `file` (a writable database).
  static Result<std::unique_ptr<FileBackend>, DatabaseError> create(UniqueFd file);
  // Takes the shared lock when `read_only`, else the exclusive one. A lock held
  // elsewhere in a conflicting mode is DatabaseError::LockHeld; a file system
  // without flock gives an unlocked backend. On any error the file is closed.
  static Result<std::unique_ptr<FileBackend>, DatabaseError> new_internal(UniqueFd file,
                                                                          bool read_only);

  // Opens `path` for reading and writing, creating it with mode 0666 (before
  // the umask) when missing and never truncating it, then locks it
  // exclusively. The descriptor is close-on-exec, so child processes inherit
  // neither it nor its lock.
  static Result<std::unique_ptr<FileBackend>, DatabaseError> open_writable(
      const std::string& path);
  // Opens an existing `path` for reading only (close-on-exec) and locks it shared.
  static Result<std::unique_ptr<FileBackend>, DatabaseError> open_read_only(
      const std::string& path);

  bool lock_supported() const { return lock_supported_; }
  int fd() const { return file_.get(); }

  // "FileBackend { lock_supported: <bool>, file: File { fd: <n> } }"
  std::string debug() const override;
  Result<uint64_t, IoError> len() const override;
  Result<void, IoError> read(uint64_t offset, std::span<uint8_t> out) const override;
  Result<void, IoError> set_len(uint64_t len) const override;
  Result<void, IoError> sync_data() const override;
  Result<void, IoError> write(uint64_t offset, std::span<const uint8_t> data) const override;
  // One pwritev per up to kMaxGatherParts parts.
  Result<void, IoError> write_gathered(
      uint64_t offset, std::span<const std::span<const uint8_t>> parts) const override;
  // Releases the lock (when one was taken); the descriptor stays open until
  // the backend is destroyed.
  Result<void, IoError> close() const override;
  // Starts reading the range into the system's page cache (posix_fadvise
  // WILLNEED); a refusal is ignored.
  void prefetch(uint64_t offset, uint64_t len) const override;
  // preadv2 with RWF_NOWAIT; a kernel or file system without it answers
  // false from then on.
  bool read_if_cached(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  FileBackend(bool lock_supported, UniqueFd file)
      : lock_supported_(lock_supported), file_(std::move(file)) {}

  bool lock_supported_;
  UniqueFd file_;
  mutable std::atomic<bool> no_wait_unsupported_{false};
};

}  // namespace storage
