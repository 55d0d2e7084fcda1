// Opens, reads and writes that the caller can stop while they wait. A pipe, a
// socket or a terminal can keep a call waiting for another process
// indefinitely (a FIFO whose writer or reader has not come yet, or has
// stalled), so on such a descriptor the call waits in poll() slices and asks
// `stop` after each one; a regular file never waits long, and `stop` is asked
// once per call and after a signal interrupted it. `stop` returning true
// gives up with kStopped.
//
// A descriptor that can wait is kept non-blocking and waited on with poll()
// only when it has nothing to give or take. A FIFO opened before its writer
// came reads as empty (as at its end) until then: its end is taken only from
// a hang-up, which poll() reports once a writer has come and gone, so such a
// FIFO is read in full however late its writer comes.
//
// Thread safety: the functions share nothing; `stop` is called on the
// calling thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

#include "storage/src/result.h"

namespace rs {

// Errors besides errno values (which are positive): a wait given up because
// `stop` returned true, and a write that the system took no byte of.
inline constexpr int kStopped = -1;
inline constexpr int kWroteNothing = -2;

// How long one wait on a descriptor that can wait lasts before `stop` is
// asked again.
inline constexpr int kStopSliceMs = 50;

using StopCheck = std::function<bool()>;

// An open descriptor and whether reading or writing it can wait on another
// process.
struct StoppableFd {
  int fd = -1;
  bool can_wait = false;
  bool fifo = false;
};

// `fd` described for the calls below: whether reads or writes of it can wait
// on another process (anything but a regular file or a block device), in
// which case it is made non-blocking. Fails with the errno of fstat or fcntl.
storage::Result<StoppableFd, int> prepare_for_waiting(int fd);

// Opens `path` for reading without waiting for a FIFO's writer (flags are
// added to O_RDONLY | O_CLOEXEC | O_NONBLOCK), retrying an open that a
// signal interrupted unless `stop` says otherwise. The errno of the failure,
// or kStopped.
storage::Result<StoppableFd, int> open_for_reading(const std::string& path, int flags,
                                                   const StopCheck& stop);

// Opens `path` for writing (flags are added to O_WRONLY | O_CLOEXEC |
// O_NONBLOCK; `mode` as for open) without blocking on a FIFO that no reader
// has open yet: that wait goes in slices, asking `stop` after each, as does
// an open that a signal interrupted. The errno of the failure, or kStopped.
storage::Result<StoppableFd, int> open_for_writing(const std::string& path, int flags,
                                                   mode_t mode, const StopCheck& stop);

// Up to `n` bytes into `out`: how many (0 only at the end of the input), the
// errno of a failed read, or kStopped.
storage::Result<size_t, int> read_stoppable(StoppableFd fd, char* out, size_t n,
                                            const StopCheck& stop);

// Writes all `n` bytes: nothing, the errno of a failed write, kWroteNothing,
// or kStopped (some of the bytes may have been written).
storage::Result<void, int> write_all_stoppable(StoppableFd fd, const char* p, size_t n,
                                               const StopCheck& stop);

}  // namespace rs
