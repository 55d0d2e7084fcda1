// The merges of the final write, which need no database: the term runs of
// one shard merged into its records (one value per distinct key, terms of
// equal hash chained into that value), and the CURIE runs merged into one
// row per CURIE id. The shard writers and the primary writer consume them.
//
// Bounded fan-in: a merge keeps at most `fan_in` runs open. With more runs,
// consecutive groups are first merged into intermediate runs (same frame
// format, in the spill directory), level by level, until at most `fan_in`
// are left; an intermediate run is deleted once it has been merged, and the
// last level's when the merge is dropped. Input runs are never deleted.
//
// Untrusted bytes: runs are read through RunReader and CurieRunReader, which
// check every length against the file; a damaged run fails the merge with an
// I/O error. Frames out of order in a run are not detected here.
//
// Thread safety: none; each merge has one owner (one shard writer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/fullmap/layout.h"
#include "src/fullmap/spill.h"
#include "src/fullmap/spill_file.h"

namespace rs::fullmap {

// The hash that orders term runs and keys the records: XXH64 in a build;
// tests pass a weaker one to make collisions.
using TermHash = uint64_t (*)(std::string_view);

// Runs one merge reads at once: of the soft limit on open files, what is left
// after 128 descriptors for the databases and the rest of the process, shared
// by `parallel` merges running at once, between 2 and 32.
size_t run_fan_in(uint64_t open_file_soft_limit, size_t parallel);
// The same for the process's current soft limit.
size_t run_fan_in(size_t parallel);

struct MergeOptions {
  size_t fan_in = 32;  // at least 2
  TermHash hash = nullptr;  // null: XXH64
  std::string scratch_dir;  // where intermediate runs go
  std::string scratch_tag;  // makes intermediate names unique per merge ("s3")
};

// Writes term-run frames, in the order given.
class TermRunWriter {
 public:
  static IoResult<TermRunWriter> create(const std::string& path);
  IoResult<void> write(std::string_view term, std::span<const Posting> postings);
  IoResult<void> finish() { return out_.finish(); }

 private:
  explicit TermRunWriter(SpillWriter out) : out_(std::move(out)) {}
  SpillWriter out_;
};

// The k-way merge of one shard's term runs, in ascending (hash, term) order,
// each distinct term once with the postings of every run that holds it,
// sorted and distinct.
class MergeHeap {
 public:
  static IoResult<MergeHeap> open(std::span<const std::string> runs, const MergeOptions& options);
  MergeHeap(MergeHeap&&) noexcept = default;
  MergeHeap& operator=(MergeHeap&&) noexcept = default;
  // Deletes the intermediate runs it still reads.
  ~MergeHeap();

  struct Term {
    uint64_t hash;
    std::string_view term;
    std::span<const Posting> postings;
  };
  // The next term (views valid until the next call), or nullopt when done.
  IoResult<std::optional<Term>> next();

 private:
  MergeHeap() = default;
  struct Entry {
    uint64_t hash = 0;
    std::string term;
    std::vector<Posting> postings;
  };
  // True when run a's entry comes out after run b's. Among equal (hash,
  // term), the run with the larger index comes first.
  bool after(uint32_t a, uint32_t b) const;
  IoResult<void> advance(uint32_t run);

  TermHash hash_ = nullptr;
  std::vector<RunReader> readers_;
  std::vector<Entry> entries_;
  std::vector<uint32_t> heap_;
  std::vector<uint32_t> taken_;
  std::string term_;
  std::vector<Posting> postings_;
  std::vector<std::string> intermediates_;
};

// One shard's records in ascending key order, each key once: the record
// value of every term with that hash, chained in ascending term order.
class ShardRecords {
 public:
  static IoResult<ShardRecords> open(std::span<const std::string> runs,
                                     const MergeOptions& options);
  // The next record (value valid until the next call), or false when done.
  IoResult<bool> next(uint64_t* key, std::string_view* value);

 private:
  explicit ShardRecords(MergeHeap heap) : heap_(std::move(heap)) {}
  MergeHeap heap_;
  std::optional<MergeHeap::Term> pending_;
  bool done_ = false;
  // The terms of the current key, owned.
  std::vector<std::string> terms_;
  std::vector<std::vector<Posting>> postings_;
  std::vector<RecordEntry> entries_;
  std::string value_;
};

// Records bound for one append: keys strictly ascending, values packed into
// one buffer. Room is reserved for at most kMaxBatchReserve records, whatever
// the insert batch size.
inline constexpr size_t kMaxBatchReserve = 65'536;

class RecordBatch {
 public:
  explicit RecordBatch(size_t insert_batch);
  struct Record {
    uint64_t key;
    std::string_view value;
  };
  size_t size() const { return index_.size(); }
  bool empty() const { return index_.empty(); }
  Record operator[](size_t i) const {
    return {index_[i].key, std::string_view(bytes_).substr(index_[i].offset, index_[i].size)};
  }
  // Appends a record; its key must be above the last one appended since the
  // batch was created (a broken order panics), also across clear().
  void push(uint64_t key, std::string_view value);
  void clear();
  size_t reserved() const { return index_.capacity(); }

 private:
  struct Index {
    uint64_t key;
    size_t offset;
    size_t size;
  };
  std::vector<Index> index_;
  std::string bytes_;
  std::optional<uint64_t> last_key_;
};

// Fills `batch` from `records` until it holds `insert_batch` records (0: no
// limit, everything left). Returns false once `records` is exhausted.
IoResult<bool> fill_batch(ShardRecords* records, RecordBatch* batch, size_t insert_batch);

// The progress total of shard writing: the frames of every term run of every
// shard, a run that cannot be counted adding 0. Counted in parallel on the
// calling build's pool (serially outside one).
uint64_t count_term_run_frames(std::span<const std::vector<std::string>> term_runs);

// The merge of the CURIE runs: for each CURIE id, in ascending order, the
// row of its earliest input position.
class CurieMerge {
 public:
  static IoResult<CurieMerge> open(std::span<const std::string> runs,
                                   const MergeOptions& options);
  CurieMerge(CurieMerge&&) noexcept = default;
  CurieMerge& operator=(CurieMerge&&) noexcept = default;
  ~CurieMerge();

  struct Row {
    uint32_t curie_id;
    InputPosition position;
    std::string_view row;  // the stored CurieRow encoding
  };
  // The next row (valid until the next call), or nullopt when done.
  IoResult<std::optional<Row>> next();

 private:
  CurieMerge() = default;
  struct Entry {
    uint32_t curie_id = 0;
    InputPosition position;
    std::string row;
  };
  bool after(uint32_t a, uint32_t b) const;
  IoResult<void> advance(uint32_t run);

  std::vector<CurieRunReader> readers_;
  std::vector<Entry> entries_;
  std::vector<uint32_t> heap_;
  std::optional<uint32_t> lent_;  // the run whose entry was handed out last
  std::string row_;
  std::vector<std::string> intermediates_;
};

}  // namespace rs::fullmap
