// Spill runs: how a consumer writes its term map and its queue of new CURIE
// rows out to files in the spill directory, and how the final write reads
// them back. Frame layouts are in src/fullmap/FORMAT.md.
//
// - Term runs (run_s<shard>_<seq>.bin): one file per shard that has terms,
//   frames sorted by (XXH64 of the term, term bytes), each term once, its
//   postings sorted and distinct.
// - CURIE runs (curie_run_<seq>.bin): frames sorted by (CURIE id, input
//   position), so the earliest row of a CURIE is the first of its frames.
//
// A run file counts as written only once its flush and close succeeded; a
// file cut between frames reads as a clean, shorter run. Readers check every
// length against the bytes left in the file before allocating for it.
//
// Thread safety: writers touch only their own files; a reader has one owner.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/fullmap/layout.h"
#include "src/fullmap/normalize.h"
#include "src/fullmap/spill_file.h"

namespace rs::fullmap {

// "run_s3_00000012.bin", "curie_run_00000005.bin": the sequence number has at
// least 8 digits.
std::string term_run_name(uint32_t shard, uint64_t sequence);
std::string curie_run_name(uint64_t sequence);

// `n` as a u32 frame field, or an error naming `what` when it does not fit.
IoResult<uint32_t> frame_field(uint64_t n, const char* what);

struct RunFile {
  uint32_t shard;
  std::string path;
  bool operator==(const RunFile&) const = default;
};

// Writes the map's terms as term runs of `sequence` in `dir`, one file per
// shard with terms (shard = XXH64 & (shard_count - 1); shard_count is a power
// of two). Returns the files written, in ascending shard order. The map is
// left empty with its table kept, also on failure; after a failure, files
// already completed stay on disk and the rest of the entries are dropped.
IoResult<std::vector<RunFile>> spill_run(TermMap* map, const std::string& dir,
                                         uint64_t sequence, uint32_t shard_count);

// Where a synonym row came from: its file's index in the synonyms list, then
// its line number.
struct InputPosition {
  uint32_t file = 0;
  uint64_t line = 0;
  auto operator<=>(const InputPosition&) const = default;
};

// A CURIE row waiting in a consumer's queue.
struct QueuedCurie {
  uint32_t curie_id = 0;
  InputPosition position;
  CurieRow row;
};

// Writes the rows as CURIE run `sequence` in `dir`, sorted by (CURIE id,
// position), and returns its path. The list is left empty (capacity kept),
// also on failure.
IoResult<std::string> spill_curie_run(std::vector<QueuedCurie>* rows, const std::string& dir,
                                      uint64_t sequence);

// One frame of a term run; views into the reader, valid until its next read.
struct TermFrame {
  std::string_view term;
  std::span<const Posting> postings;
};

class RunReader {
 public:
  static IoResult<RunReader> open(const std::string& path,
                                  size_t buffer_bytes = kSpillReadBufferBytes);
  // The next frame, or nullopt at the clean end of the run.
  IoResult<std::optional<TermFrame>> read_frame();

 private:
  explicit RunReader(SpillReader file) : file_(std::move(file)) {}
  SpillReader file_;
  std::string term_;
  std::vector<Posting> postings_;
};

// The number of frames of a term run, walked without keeping them. A frame
// cut inside its postings still counts and ends the walk.
IoResult<uint64_t> count_run_frames(const std::string& path);

// One frame of a CURIE run; the row bytes are the stored encoding, undecoded,
// valid until the reader's next read.
struct CurieFrame {
  uint32_t curie_id;
  InputPosition position;
  std::string_view row;
};

class CurieRunReader {
 public:
  static IoResult<CurieRunReader> open(const std::string& path,
                                       size_t buffer_bytes = kSpillReadBufferBytes);
  // The next frame, or nullopt at the clean end of the run.
  IoResult<std::optional<CurieFrame>> next_row();

 private:
  explicit CurieRunReader(SpillReader file) : file_(std::move(file)) {}
  SpillReader file_;
  std::string row_;
};

}  // namespace rs::fullmap
