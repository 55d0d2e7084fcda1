// The input side of the fullmap build: owned descriptors, `open_reader`
// (plain or gzip, every member of a multi-member file) and the line splitter
// that both input phases share.
//
// Errors are storage::IoError values: an errno ("No such file or directory
// (os error 2)") or a message of our own ("failed to fill whole buffer").
//
// Thread safety: every class here has one owner; nothing is shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "src/fullmap/spill_file.h"
#include "storage/src/error.h"
#include "storage/src/result.h"

namespace rs::fullmap {

// The error of an errno value, and one of our own.
inline storage::IoError os_error(int err) { return storage::IoError::from_errno(err); }
inline storage::IoError io_error(std::string_view message) {
  return storage::IoError::other(std::string(message));
}

// Owns a file descriptor; a destructor's close ignores errors (close() reports them).
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now; a failing close (a deferred write error) is an error.
  IoResult<void> close();

 private:
  int fd_ = -1;
};

// Creates or truncates `path` for writing (0o666 before the umask).
IoResult<Fd> create_file(const std::string& path);
// Opens `path` read only.
IoResult<Fd> open_file(const std::string& path);

// A readable byte stream.
class InputStream {
 public:
  virtual ~InputStream() = default;
  // Up to `n` bytes into `out`; 0 only at the end of the stream.
  virtual IoResult<size_t> read(char* out, size_t n) = 0;
};

// The plain file, or for a path whose extension is exactly "gz" a gzip
// decoder over it (every member in turn; a cut member or a bad checksum is an
// error). Errors: the open error.
IoResult<std::unique_ptr<InputStream>> open_reader(const std::string& path);

// For a plain (not gzip) file, the offsets that cut it into at most `pieces`
// ranges of about equal size, each starting at a line's first byte: 0, the
// cuts, then the file's size. A gzip file, a file that cannot be opened or
// read, and `pieces` <= 1 give {0, size} or nothing (read the file whole).
std::vector<uint64_t> line_cuts(const std::string& path, size_t pieces);

// The size of a plain (not gzip) regular file; 0 for a gzip file or one whose
// size cannot be read.
uint64_t plain_file_size(const std::string& path);

// The bytes [begin, end) of a plain file, read by position.
IoResult<std::unique_ptr<InputStream>> open_range_reader(const std::string& path, uint64_t begin,
                                                         uint64_t end);

// Splits a stream into lines for the input phases: a line ends at a line
// feed; trailing line feeds and carriage returns are removed; lines that are
// then empty or ASCII white space only (space, tab, LF, FF, CR) are skipped.
class LineReader {
 public:
  explicit LineReader(std::unique_ptr<InputStream> in, size_t buffer_bytes = 8192);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // True with the next non-blank line (valid until the next call), false at
  // the end of the stream.
  IoResult<bool> next(std::string_view* line);
  // 1-based number of the line last returned, blank lines included.
  uint64_t line_number() const { return line_number_; }

 private:
  std::unique_ptr<InputStream> in_;
  char* buf_;
  size_t cap_;
  size_t begin_ = 0;
  size_t scanned_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
  uint64_t line_number_ = 0;
};

// True for a line that the input phases skip.
bool is_blank_line(std::string_view line);

// The last component of `path` (trailing slashes and "." components left
// out); empty when the path has none (such as "/" or one ending in "..").
std::string_view last_component(std::string_view path);

// The last component of `path` with invalid UTF-8 replaced by U+FFFD; empty
// when the path has none.
std::string file_display_name(const std::string& path);

}  // namespace rs::fullmap
