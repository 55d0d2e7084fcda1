#include "src/stoppable_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace rs {
namespace {

using storage::Err;

// Waits until `fd` is ready for `events`, has hung up or failed. 0, kStopped
// or the errno of poll.
int wait_ready(int fd, short events, const StopCheck& stop) {
  for (;;) {
    pollfd p{.fd = fd, .events = events, .revents = 0};
    const int n = ::poll(&p, 1, kStopSliceMs);
    if (n > 0) return 0;
    if (n < 0 && errno != EINTR) return errno;
    if (stop()) return kStopped;
  }
}

// After a read of a FIFO gave nothing: whether that was its end (a writer
// came and went) rather than a writer still to come. 0 when it is the end,
// 1 when there is more to read, kStopped or an errno.
int fifo_ended(int fd, const StopCheck& stop) {
  for (;;) {
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    const int n = ::poll(&p, 1, 0);
    if (n < 0 && errno != EINTR) return errno;
    if (n > 0) return (p.revents & POLLIN) != 0 || (p.revents & POLLHUP) == 0 ? 1 : 0;
    if (n == 0) {
      if (const int waited = wait_ready(fd, POLLIN, stop); waited != 0) return waited;
    }
  }
}

// `fd`, just opened, prepared for the calls below; closed when that fails.
storage::Result<StoppableFd, int> prepare_opened(int fd) {
  auto prepared = prepare_for_waiting(fd);
  if (!prepared.ok()) ::close(fd);
  return prepared;
}

}  // namespace

storage::Result<StoppableFd, int> prepare_for_waiting(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Err(errno);
  StoppableFd out{.fd = fd, .can_wait = !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode),
                  .fifo = S_ISFIFO(st.st_mode)};
  if (!out.can_wait) return out;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return Err(errno);
  if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return Err(errno);
  }
  return out;
}

storage::Result<StoppableFd, int> open_for_reading(const std::string& path, int flags,
                                                   const StopCheck& stop) {
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags);
    if (fd >= 0) return prepare_opened(fd);
    if (errno != EINTR) return Err(errno);
    if (stop()) return Err(kStopped);
  }
}

storage::Result<StoppableFd, int> open_for_writing(const std::string& path, int flags,
                                                   mode_t mode, const StopCheck& stop) {
  for (;;) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | flags, mode);
    if (fd >= 0) return prepare_opened(fd);
    const int err = errno;
    if (err == ENXIO) {
      // A FIFO without a reader; anything else (a socket, a missing device)
      // fails as a blocking open would.
      struct stat st;
      if (::stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) return Err(ENXIO);
      // Nothing wakes the caller when a reader comes, so it looks again
      // after each slice.
      if (::poll(nullptr, 0, kStopSliceMs) < 0 && errno != EINTR) return Err(errno);
    } else if (err != EINTR) {
      return Err(err);
    }
    if (stop()) return Err(kStopped);
  }
}

storage::Result<size_t, int> read_stoppable(StoppableFd fd, char* out, size_t n,
                                            const StopCheck& stop) {
  if (stop()) return Err(kStopped);
  for (;;) {
    const ssize_t r = ::read(fd.fd, out, n);
    if (r > 0 || (r == 0 && (!fd.fifo || n == 0))) return static_cast<size_t>(r);
    if (r == 0) {
      const int ended = fifo_ended(fd.fd, stop);
      if (ended == 0) return size_t{0};
      if (ended != 1) return Err(ended);
      continue;
    }
    if (errno == EAGAIN) {
      if (const int waited = wait_ready(fd.fd, POLLIN, stop); waited != 0) return Err(waited);
      continue;
    }
    if (errno != EINTR) return Err(errno);
    if (stop()) return Err(kStopped);
  }
}

storage::Result<void, int> write_all_stoppable(StoppableFd fd, const char* p, size_t n,
                                               const StopCheck& stop) {
  if (stop()) return Err(kStopped);
  while (n > 0) {
    const ssize_t w = ::write(fd.fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w == 0) return Err(kWroteNothing);
    if (errno == EAGAIN) {
      if (const int waited = wait_ready(fd.fd, POLLOUT, stop); waited != 0) return Err(waited);
      continue;
    }
    if (errno != EINTR) return Err(errno);
    if (stop()) return Err(kStopped);
  }
  return {};
}

}  // namespace rs
