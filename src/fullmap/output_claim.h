// A build's exclusive claim on its output: one build at a time of the files
// an output is made of, in this process or any other.
//
// The claim is a file of the build's own beside the output, named after the
// output's shard files: "<stem>.<ext>.lock" in their directory (db.qdb.lock
// for the outputs db.qdb and db, which share their shards). An output that
// is itself a shard of another (db.s3.qdb) claims that one's file too. The
// build holds an flock on it while it runs, so the claim binds every spelling
// of the output's path and ends with its holder, even one killed by a signal.
//
// The build only ever removes or locks a claim file that it can tell for a
// build's own: a regular file holding exactly kClaimText, made by a build
// with its text already in it (it appears at the path whole, or not at all).
// Whatever else is at the claim path (an input, a database, a caller's file
// or lock, a directory, a FIFO, a link) is neither opened for waiting,
// locked, written nor removed: the claim fails with "fullmap output lock
// '<path>': <cause>". A claim file left by a killed build holds no lock and
// is taken over by the next build; the holder removes it when it lets go.
//
// A claim held by another build fails at once, without waiting, with
// "fullmap output '<output>' is being built by another build".
//
// Thread safety: one owner. Two claims of one output conflict also between
// threads of one process, since each opens the claim file afresh.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "src/fullmap/error.h"
#include "src/fullmap/input.h"
#include "storage/src/result.h"

namespace rs::fullmap {

// The whole content of a claim file, which tells it from any other file.
inline constexpr std::string_view kClaimText =
    "quorvendel fullmap build claim: held by the build of the output beside this file while it "
    "runs, removed when it ends; a build killed before that leaves it, and the next build "
    "takes it over.\n";

class OutputClaim {
 public:
  // Claims `output`, whose parent directory exists. Fails with one of the
  // two errors above.
  static storage::Result<OutputClaim, PendingError> take(const std::string& output);

  // The claim files of `output`, as they are named in errors.
  static std::vector<std::string> claim_paths(const std::string& output);

  // Whether `path` (not followed when a symbolic link) is a regular file of
  // exactly kClaimText. Opens nothing but a regular file.
  static bool is_claim_file(const std::string& path);

  OutputClaim() = default;
  OutputClaim(OutputClaim&& other) noexcept = default;
  OutputClaim& operator=(OutputClaim&& other) noexcept;
  OutputClaim(const OutputClaim&) = delete;
  OutputClaim& operator=(const OutputClaim&) = delete;
  // Removes the claim files (each while it is still ours and still locked)
  // and releases them.
  ~OutputClaim();

 private:
  // One claim file: its directory, its name there and the locked file.
  struct Held {
    Fd dir;
    std::string name;
    Fd file;
  };

  void release();

  std::vector<Held> held_;
};

namespace internal {

// A new claim file, locked and holding its text, at `name` in the directory
// `dir`, or the errno of the failure (EEXIST: something is at the path). It
// appears at the path whole or not at all: made unnamed (O_TMPFILE) and
// linked into place through /proc, or, where that cannot be done (or with
// kNamedOnly, for tests), under a temporary name of this process's own
// (".<name>.<pid>.<n>.tmp"), linked to `name` and unlinked again.
enum class ClaimFileWay { kAny, kNamedOnly };
storage::Result<Fd, int> create_claim_file(int dir, const std::string& name, ClaimFileWay way);

}  // namespace internal

}  // namespace rs::fullmap
