#include "src/fullmap/spill_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "src/fullmap/thread.h"
#include "src/module_alloc.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace rs::fullmap {
namespace {

using storage::Err;
using storage::IoError;

char* allocate_buffer(size_t n) {
  auto* p = static_cast<char*>(module_malloc(n));
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

Err<IoError> last_error() { return Err(IoError::from_errno(errno)); }

IoResult<void> write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (w == 0) return Err(IoError::other("failed to write whole buffer"));
    p += w;
    n -= static_cast<size_t>(w);
  }
  return {};
}

}  // namespace

IoResult<SpillWriter> SpillWriter::create(const std::string& path, size_t buffer_bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return last_error();
  char* buffer;
  try {
    buffer = allocate_buffer(buffer_bytes);
  } catch (...) {
    ::close(fd);
    throw;
  }
  return SpillWriter(fd, buffer, buffer_bytes);
}

SpillWriter::SpillWriter(SpillWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::exchange(other.buffer_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      used_(std::exchange(other.used_, 0)) {}

SpillWriter& SpillWriter::operator=(SpillWriter&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::exchange(other.buffer_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    used_ = std::exchange(other.used_, 0);
  }
  return *this;
}

SpillWriter::~SpillWriter() { release(); }

void SpillWriter::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  module_free(buffer_);
  buffer_ = nullptr;
  // Later writes take the slow path, which refuses them.
  capacity_ = used_ = 0;
}

IoResult<void> SpillWriter::flush() {
  if (used_ == 0) return {};
  // Spilling and merging are most of a build: a stopped build gives up here.
  stop_point();
  IoResult<void> r = write_all(fd_, buffer_, used_);
  used_ = 0;
  return r;
}

IoResult<void> SpillWriter::write_slow(const void* data, size_t n) {
  if (fd_ < 0) return Err(IoError::other("write to a finished spill file"));
  TRY(flush());
  if (n >= capacity_) return write_all(fd_, static_cast<const char*>(data), n);
  std::memcpy(buffer_, data, n);
  used_ = n;
  return {};
}

IoResult<void> SpillWriter::finish() {
  if (fd_ < 0) return Err(IoError::other("spill file finished twice"));
  IoResult<void> flushed = flush();
  int fd = std::exchange(fd_, -1);
  // close() reports delayed write errors of some file systems.
  int closed = ::close(fd);
  int close_errno = errno;
  release();
  if (!flushed.ok()) return flushed;
  if (closed != 0 && close_errno != EINTR) return Err(IoError::from_errno(close_errno));
  return {};
}

IoResult<SpillReader> SpillReader::open(const std::string& path, size_t buffer_bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return last_error();
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int e = errno;
    ::close(fd);
    return Err(IoError::from_errno(e));
  }
  char* buffer;
  try {
    buffer = allocate_buffer(buffer_bytes);
  } catch (...) {
    ::close(fd);
    throw;
  }
  return SpillReader(fd, buffer, buffer_bytes, static_cast<uint64_t>(st.st_size));
}

SpillReader::SpillReader(SpillReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::exchange(other.buffer_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      begin_(std::exchange(other.begin_, 0)),
      end_(std::exchange(other.end_, 0)),
      size_(std::exchange(other.size_, 0)),
      consumed_(std::exchange(other.consumed_, 0)) {}

SpillReader& SpillReader::operator=(SpillReader&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::exchange(other.buffer_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    begin_ = std::exchange(other.begin_, 0);
    end_ = std::exchange(other.end_, 0);
    size_ = std::exchange(other.size_, 0);
    consumed_ = std::exchange(other.consumed_, 0);
  }
  return *this;
}

SpillReader::~SpillReader() { release(); }

void SpillReader::release() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  module_free(buffer_);
  buffer_ = nullptr;
}

IoResult<size_t> SpillReader::fill() {
  stop_point();
  begin_ = end_ = 0;
  while (true) {
    ssize_t r = ::read(fd_, buffer_, capacity_);
    if (r < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    end_ = static_cast<size_t>(r);
    return end_;
  }
}

IoResult<size_t> SpillReader::read_some_slow(void* out, size_t n) {
  if (n == 0) return size_t{0};
  if (begin_ == end_) {
    TRY_ASSIGN(size_t got, fill());
    if (got == 0) return size_t{0};
  }
  size_t take = std::min(n, end_ - begin_);
  std::memcpy(out, buffer_ + begin_, take);
  begin_ += take;
  consumed_ += take;
  return take;
}

IoResult<void> SpillReader::read_exact_slow(void* out, size_t n) {
  auto* p = static_cast<char*>(out);
  while (n > 0) {
    TRY_ASSIGN(size_t got, read_some(p, n));
    if (got == 0) return Err(IoError::other(kUnexpectedEof));
    p += got;
    n -= got;
  }
  return {};
}

IoResult<uint64_t> SpillReader::skip(uint64_t n) {
  uint64_t skipped = 0;
  while (skipped < n) {
    if (begin_ == end_) {
      TRY_ASSIGN(size_t got, fill());
      if (got == 0) break;
    }
    size_t take = static_cast<size_t>(std::min<uint64_t>(n - skipped, end_ - begin_));
    begin_ += take;
    consumed_ += take;
    skipped += take;
  }
  return skipped;
}

}  // namespace rs::fullmap
