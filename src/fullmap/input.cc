#include "src/fullmap/input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "src/fullmap/thread.h"
#include "src/module_alloc.h"
#include "src/stoppable_io.h"
#include "src/utf8.h"

namespace rs::fullmap {
namespace {

constexpr size_t kGzipInputBytes = 32768;

char* checked_malloc(size_t n) {
  auto* p = static_cast<char*>(module_malloc(n));
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// Inputs are read on the build's threads, which give up when the build is
// stopped: also while a pipe keeps them waiting.
const StopCheck& build_stop() {
  static const StopCheck check = [] { return stop_requested(); };
  return check;
}

IoResult<size_t> read_input(StoppableFd fd, char* out, size_t n) {
  auto r = read_stoppable(fd, out, n, build_stop());
  if (r.ok()) return *r;
  if (r.error() == kStopped) throw BuildStopped();
  return storage::Err{os_error(r.error())};
}

// An input file as read_input wants it: a FIFO opened without waiting for
// its writer, which read_input waits for instead.
struct InputFd {
  Fd fd;
  StoppableFd read_as;
};

IoResult<InputFd> open_input(const std::string& path) {
  auto opened = open_for_reading(path, 0, build_stop());
  if (!opened.ok()) {
    if (opened.error() == kStopped) throw BuildStopped();
    return storage::Err{os_error(opened.error())};
  }
  return InputFd{Fd(opened->fd), *opened};
}

class PlainStream final : public InputStream {
 public:
  explicit PlainStream(InputFd in) : in_(std::move(in)) {}
  IoResult<size_t> read(char* out, size_t n) override { return read_input(in_.read_as, out, n); }

 private:
  InputFd in_;
};

// Members one after another, each checked against its CRC and length. The
// stream ends cleanly only between members (an empty file has none).
class GzipStream final : public InputStream {
 public:
  explicit GzipStream(InputFd fd) : fd_(std::move(fd)), in_(checked_malloc(kGzipInputBytes)) {
    z_.zalloc = Z_NULL;
    z_.zfree = Z_NULL;
    z_.opaque = Z_NULL;
    z_.next_in = Z_NULL;
    z_.avail_in = 0;
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) {
      module_free(in_);
      throw std::bad_alloc();
    }
  }
  ~GzipStream() override {
    inflateEnd(&z_);
    module_free(in_);
  }

  IoResult<size_t> read(char* out, size_t n) override {
    if (done_ || n == 0) return size_t{0};
    // zlib counts in uInt.
    n = std::min<size_t>(n, 1u << 30);
    z_.next_out = reinterpret_cast<Bytef*>(out);
    z_.avail_out = static_cast<uInt>(n);
    while (z_.avail_out == n) {
      if (z_.avail_in == 0 && !in_eof_) {
        TRY_ASSIGN(size_t got, read_input(fd_.read_as, in_, kGzipInputBytes));
        if (got == 0) {
          in_eof_ = true;
        } else {
          z_.next_in = reinterpret_cast<Bytef*>(in_);
          z_.avail_in = static_cast<uInt>(got);
        }
      }
      if (z_.avail_in == 0 && in_eof_) {
        if (!in_member_) {
          done_ = true;
          break;
        }
        return storage::Err{io_error("corrupt gzip stream: unexpected end of file")};
      }
      in_member_ = true;
      int ret = inflate(&z_, Z_NO_FLUSH);
      if (ret == Z_STREAM_END) {
        in_member_ = false;
        if (inflateReset(&z_) != Z_OK) {
          return storage::Err{io_error("corrupt gzip stream: reset failed")};
        }
        continue;
      }
      if (ret == Z_MEM_ERROR) throw std::bad_alloc();
      if (ret == Z_BUF_ERROR && z_.avail_in == 0) continue;
      if (ret != Z_OK) {
        const char* why = z_.msg != nullptr ? z_.msg : "invalid data";
        return storage::Err{io_error(std::string("corrupt gzip stream: ") + why)};
      }
    }
    return n - z_.avail_out;
  }

 private:
  InputFd fd_;
  char* in_;
  z_stream z_{};
  bool in_eof_ = false;
  bool in_member_ = false;
  bool done_ = false;
};

bool has_gz_extension(const std::string& path) {
  // The extension of the last component: after its last dot, unless that dot
  // starts the name.
  size_t slash = path.find_last_of('/');
  std::string_view name = slash == std::string::npos ? std::string_view(path)
                                                     : std::string_view(path).substr(slash + 1);
  if (name == "..") return false;
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return name.substr(dot + 1) == "gz";
}

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}

IoResult<void> Fd::close() {
  int fd = release();
  if (fd < 0) return {};
  // EINTR: the descriptor is gone either way on Linux, and nothing is lost.
  if (::close(fd) != 0 && errno != EINTR) return storage::Err{os_error(errno)};
  return {};
}

IoResult<Fd> create_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return storage::Err{os_error(errno)};
  return Fd(fd);
}

IoResult<Fd> open_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return storage::Err{os_error(errno)};
  return Fd(fd);
}

// ---- open_reader ----

IoResult<std::unique_ptr<InputStream>> open_reader(const std::string& path) {
  TRY_ASSIGN(InputFd fd, open_input(path));
  std::unique_ptr<InputStream> s;
  if (has_gz_extension(path)) {
    s = std::make_unique<GzipStream>(std::move(fd));
  } else {
    s = std::make_unique<PlainStream>(std::move(fd));
  }
  return s;
}

namespace {

class RangeStream final : public InputStream {
 public:
  RangeStream(Fd fd, uint64_t begin, uint64_t end) : fd_(std::move(fd)), next_(begin), end_(end) {}
  IoResult<size_t> read(char* out, size_t n) override {
    if (next_ >= end_) return size_t{0};
    stop_point();
    n = static_cast<size_t>(std::min<uint64_t>(n, end_ - next_));
    for (;;) {
      ssize_t r = ::pread(fd_.get(), out, n, static_cast<off_t>(next_));
      if (r >= 0) {
        next_ += static_cast<uint64_t>(r);
        return static_cast<size_t>(r);
      }
      if (errno != EINTR) return storage::Err{os_error(errno)};
    }
  }

 private:
  Fd fd_;
  uint64_t next_;
  uint64_t end_;
};

}  // namespace

std::vector<uint64_t> line_cuts(const std::string& path, size_t pieces) {
  if (pieces <= 1 || has_gz_extension(path)) return {};
  auto fd = open_file(path);
  if (!fd.ok()) return {};
  struct stat st;
  if (::fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const auto size = static_cast<uint64_t>(st.st_size);
  std::vector<uint64_t> cuts{0};
  char buf[4096];
  for (size_t k = 1; k < pieces; ++k) {
    // The first line that starts at or after the even share: after the
    // first line feed at or after the byte before it.
    uint64_t at = std::max(size / pieces * k, cuts.back() + 1) - 1;
    uint64_t cut = size;
    while (at < size) {
      ssize_t r = ::pread(fd->get(), buf, sizeof buf, static_cast<off_t>(at));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return {};
      const void* lf = std::memchr(buf, '\n', static_cast<size_t>(r));
      if (lf != nullptr) {
        cut = at + static_cast<uint64_t>(static_cast<const char*>(lf) - buf) + 1;
        break;
      }
      at += static_cast<uint64_t>(r);
    }
    if (cut >= size) break;
    cuts.push_back(cut);
  }
  cuts.push_back(size);
  return cuts;
}

uint64_t plain_file_size(const std::string& path) {
  struct stat st;
  if (has_gz_extension(path) || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

IoResult<std::unique_ptr<InputStream>> open_range_reader(const std::string& path, uint64_t begin,
                                                         uint64_t end) {
  TRY_ASSIGN(Fd fd, open_file(path));
  return std::unique_ptr<InputStream>(std::make_unique<RangeStream>(std::move(fd), begin, end));
}

// ---- LineReader ----

LineReader::LineReader(std::unique_ptr<InputStream> in, size_t buffer_bytes)
    : in_(std::move(in)), buf_(checked_malloc(buffer_bytes)), cap_(buffer_bytes) {}

LineReader::~LineReader() { module_free(buf_); }

bool is_blank_line(std::string_view line) {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\f' && c != '\r') return false;
  }
  return true;
}

IoResult<bool> LineReader::next(std::string_view* line) {
  for (;;) {
    std::string_view found;
    bool have = false;
    if (scanned_ < end_) {
      auto* nl = static_cast<char*>(std::memchr(buf_ + scanned_, '\n', end_ - scanned_));
      if (nl != nullptr) {
        size_t len = static_cast<size_t>(nl - (buf_ + begin_));
        found = std::string_view(buf_ + begin_, len);
        begin_ += len + 1;
        scanned_ = begin_;
        have = true;
      } else {
        scanned_ = end_;
      }
    }
    if (!have && eof_) {
      if (begin_ == end_) return false;
      found = std::string_view(buf_ + begin_, end_ - begin_);
      begin_ = scanned_ = end_;
      have = true;
    }
    if (have) {
      ++line_number_;
      while (!found.empty() && (found.back() == '\r' || found.back() == '\n')) {
        found.remove_suffix(1);
      }
      if (is_blank_line(found)) continue;
      *line = found;
      return true;
    }
    if (begin_ > 0) {
      std::memmove(buf_, buf_ + begin_, end_ - begin_);
      end_ -= begin_;
      scanned_ -= begin_;
      begin_ = 0;
    }
    if (end_ == cap_) {
      // A line longer than the buffer: make room for the rest of it.
      auto* bigger = static_cast<char*>(module_realloc(buf_, cap_ * 2));
      if (bigger == nullptr) throw std::bad_alloc();
      buf_ = bigger;
      cap_ *= 2;
    }
    TRY_ASSIGN(size_t n, in_->read(buf_ + end_, cap_ - end_));
    if (n == 0) {
      eof_ = true;
    } else {
      end_ += n;
    }
  }
}

// ---- names ----

std::string_view last_component(std::string_view path) {
  std::string_view last;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    // Empty and "." components are not names (a/./b, a/b/, ./a).
    if (!part.empty() && part != ".") last = part;
    i = j + 1;
  }
  if (last == "..") return {};
  return last;
}

std::string file_display_name(const std::string& path) {
  return utf8::lossy(last_component(path));
}

}  // namespace rs::fullmap
