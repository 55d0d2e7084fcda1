// Buffered, unshared files for the build's spill runs: a write-only file
// behind a large buffer, and a read-only one that knows how many bytes are
// left, so that lengths read from the file can be checked before anything is
// allocated for them. Buffers come from mimalloc.
//
// Every failure is an I/O error value; a read that meets the end of the file
// inside a field fails with "failed to fill whole buffer".
//
// Thread safety: none; each file has one owner (it may move between threads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "storage/src/error.h"
#include "storage/src/result.h"

namespace rs::fullmap {

inline constexpr size_t kSpillWriteBufferBytes = size_t{8} << 20;
inline constexpr size_t kSpillReadBufferBytes = size_t{1} << 20;
inline constexpr char kUnexpectedEof[] = "failed to fill whole buffer";

template <typename T>
using IoResult = storage::Result<T, storage::IoError>;

class SpillWriter {
 public:
  // Creates or truncates `path` (permission bits 0666 before the umask).
  static IoResult<SpillWriter> create(const std::string& path,
                                      size_t buffer_bytes = kSpillWriteBufferBytes);
  SpillWriter(SpillWriter&& other) noexcept;
  SpillWriter& operator=(SpillWriter&& other) noexcept;
  // Closes the file if finish() did not; the file may then be incomplete.
  ~SpillWriter();

  IoResult<void> write(const void* data, size_t n) {
    if (n <= capacity_ - used_) {
      std::memcpy(buffer_ + used_, data, n);
      used_ += n;
      return {};
    }
    return write_slow(data, n);
  }
  IoResult<void> write_u32(uint32_t v) { return write(&v, 4); }
  IoResult<void> write_u64(uint64_t v) { return write(&v, 8); }

  // Flushes the buffer and closes the file. Only after success is every
  // byte written known to be in the file.
  IoResult<void> finish();

 private:
  SpillWriter(int fd, char* buffer, size_t capacity)
      : fd_(fd), buffer_(buffer), capacity_(capacity) {}
  IoResult<void> write_slow(const void* data, size_t n);
  IoResult<void> flush();
  void release();

  int fd_ = -1;
  char* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t used_ = 0;
};

class SpillReader {
 public:
  static IoResult<SpillReader> open(const std::string& path,
                                    size_t buffer_bytes = kSpillReadBufferBytes);
  SpillReader(SpillReader&& other) noexcept;
  SpillReader& operator=(SpillReader&& other) noexcept;
  ~SpillReader();

  // Bytes between the read position and the file's size when it was opened.
  uint64_t remaining() const { return size_ > consumed_ ? size_ - consumed_ : 0; }

  // Reads up to `n` bytes; 0 only at the end of the file.
  IoResult<size_t> read_some(void* out, size_t n) {
    if (n != 0 && n <= end_ - begin_) {
      take(out, n);
      return n;
    }
    return read_some_slow(out, n);
  }
  // Reads exactly `n` bytes or fails with kUnexpectedEof.
  IoResult<void> read_exact(void* out, size_t n) {
    if (n <= end_ - begin_) {
      take(out, n);
      return {};
    }
    return read_exact_slow(out, n);
  }
  // Skips up to `n` bytes; returns how many were skipped (fewer only at the end).
  IoResult<uint64_t> skip(uint64_t n);

 private:
  SpillReader(int fd, char* buffer, size_t capacity, uint64_t size)
      : fd_(fd), buffer_(buffer), capacity_(capacity), size_(size) {}
  IoResult<size_t> fill();
  void release();
  // Frames are small: most reads are served from the buffer inline.
  void take(void* out, size_t n) {
    if (n != 0) std::memcpy(out, buffer_ + begin_, n);
    begin_ += n;
    consumed_ += n;
  }
  IoResult<size_t> read_some_slow(void* out, size_t n);
  IoResult<void> read_exact_slow(void* out, size_t n);

  int fd_ = -1;
  char* buffer_ = nullptr;
  size_t capacity_ = 0;
  size_t begin_ = 0;  // unread bytes of the buffer: [begin_, end_)
  size_t end_ = 0;
  uint64_t size_ = 0;
  uint64_t consumed_ = 0;
};

}  // namespace rs::fullmap
