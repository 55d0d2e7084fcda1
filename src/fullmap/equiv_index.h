// The equivalence index: which identifiers name the same concept, from the
// build's class files. Each class file (or each range of a large plain one,
// cut at line starts) is read by a task of its own into a bounded map that
// spills as sorted run files; the runs are merged into one
// file, equiv_data.bin, mapped read-only. In memory stay only the sorted key
// hashes and the entries' offsets (16 bytes per key). Formats: FORMAT.md.
//
// Untrusted bytes: run files are read back with every length checked against
// what the file holds (a cut entry fails with "failed to fill whole buffer",
// a text that is not UTF-8 with an invalid-data error); a damaged
// equiv_data.bin never fails a lookup, it only shortens what the lookup finds.
//
// Thread safety: build() runs its per-file tasks on the calling build's pool
// (serially outside one) and merges on the calling thread. A built index is immutable: lookup
// may run on any number of threads at once without locking.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/byte_buffer.h"
#include "src/fullmap/error.h"
#include "src/fullmap/input.h"
#include "src/fullmap/progress.h"
#include "src/fullmap/settings.h"
#include "src/fullmap/spill_file.h"
#include "src/utf8.h"
#include "src/xxh64.h"
#include "storage/src/result.h"
#include "storage/src/sync.h"

namespace rs::fullmap {

inline constexpr std::string_view kEquivDataFile = "equiv_data.bin";
inline constexpr std::string_view kEquivDir = "equiv";
// Keys merged between two "merging equivalents" reports.
inline constexpr uint64_t kEquivMergeReportEvery = 1'000'000;

// The number of runs one merge reads at once, from the soft limit on open
// files: half of what is left after 64 descriptors kept for the rest of the
// process, between 2 and 32 (32 readers of 8 MiB each bound the merge's
// buffers to 256 MiB).
size_t equiv_fan_in(uint64_t open_file_soft_limit);
// The same for the process's current soft limit.
size_t equiv_fan_in();

struct EquivOptions {
  size_t spill_entries = kDefaultEquivSpillEntries;
  size_t fan_in = 32;  // at least 2
  uint64_t report_every = kEquivMergeReportEvery;  // keys between merge reports
  // A plain class file at least twice this large is cut at line starts into
  // ranges read by tasks of their own (at most one per thread of the arena).
  uint64_t min_piece_bytes = uint64_t{4} << 20;
};

// One task's map from class key to the values listed for it. Keys and values
// are copied into an arena; values stay in arrival order with repeats until
// the spill sorts them.
// Thread safety: none; one task.
class EquivLocal {
 public:
  EquivLocal();
  ~EquivLocal();
  EquivLocal(const EquivLocal&) = delete;
  EquivLocal& operator=(const EquivLocal&) = delete;

  // Adds `key` (kept even without values) and returns its index.
  uint32_t add_key(std::string_view key);
  void add_value(uint32_t key_index, std::string_view value);
  size_t key_count() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void clear();

 private:
  friend storage::Result<void, storage::IoError> spill_equiv_local(
      EquivLocal*, const std::string&, std::atomic<uint64_t>*,
      storage::RwLock<std::vector<std::string>>*);
  struct Entry {
    const char* key;
    uint32_t key_size;
    uint64_t hash;
  };
  struct Value {
    uint32_t entry;
    uint32_t size;
    const char* data;
  };
  const char* copy(std::string_view s);
  void grow_table();

  std::vector<Entry> entries_;
  std::vector<Value> values_;
  std::vector<uint32_t> table_;  // entry index + 1; 0 is free
  // Arena of key and value bytes.
  std::vector<char*> chunks_;
  char* pos_ = nullptr;
  size_t left_ = 0;
  size_t used_chunks_ = 0;
};

// Writes `local` as run file run_<counter, 8 digits>.bin in `equiv_dir`,
// entries ascending by (XXH64 of the key, key bytes), each key's values
// sorted by bytes without repeats; records the path in `runs` and empties
// `local`. An empty map writes nothing.
storage::Result<void, storage::IoError> spill_equiv_local(
    EquivLocal* local, const std::string& equiv_dir, std::atomic<uint64_t>* run_counter,
    storage::RwLock<std::vector<std::string>>* runs);

// One entry of a run, its texts in one buffer.
struct EquivEntry {
  uint64_t hash = 0;
  std::unique_ptr<ByteBuffer> bytes = std::make_unique<ByteBuffer>(256);  // key, then values
  uint32_t key_size = 0;
  std::vector<uint32_t> value_sizes;

  std::string_view key() const { return {bytes->data(), key_size}; }
};

// Reads the next entry of a run into `entry`: false at the clean end (no byte
// left where an entry would start).
storage::Result<bool, storage::IoError> read_equiv_entry(SpillReader* in, EquivEntry* entry);

// A run being merged: its reader (8 MiB of buffer, less for a smaller file)
// and its current entry.
struct EquivRunReader {
  std::unique_ptr<SpillReader> in;
  EquivEntry entry;
  bool has_entry = false;

  static storage::Result<EquivRunReader, storage::IoError> open(const std::string& path);
  storage::Result<void, storage::IoError> advance();
};

// The k-way merge of runs: yields each distinct (hash, key) once, in
// ascending order, with the values of every run that holds it.
// Thread safety: none; one owner.
class EquivMergeHeap {
 public:
  static storage::Result<EquivMergeHeap, storage::IoError> open(
      std::span<const std::string> runs);
  EquivMergeHeap(EquivMergeHeap&&) noexcept = default;
  EquivMergeHeap& operator=(EquivMergeHeap&&) noexcept = default;

  // The next key with its values sorted by bytes without repeats (views into
  // the merge's buffers, valid until the next call); false when done.
  storage::Result<bool, storage::IoError> next(uint64_t* hash, std::string_view* key,
                                               std::vector<std::string_view>* values);

 private:
  EquivMergeHeap() = default;
  bool before(uint32_t a, uint32_t b) const;
  void push(uint32_t run);

  std::vector<EquivRunReader> readers_;
  std::vector<uint32_t> heap_;  // reader indices; the smallest entry on top
  std::vector<uint32_t> taken_;
  std::string key_;
};

class EquivIndex {
 public:
  // Builds the index from `classes` into `spill_dir`, reading the spill
  // limit from QUORVENDEL_FULLMAP_EQUIV_SPILL_ENTRIES (only when there is a
  // class file) and the fan-in from the open-file limit.
  static storage::Result<EquivIndex, PendingError> build(std::span<const std::string> classes,
                                                         const std::string& spill_dir,
                                                         const ProgressHandle& progress);
  static storage::Result<EquivIndex, PendingError> build(std::span<const std::string> classes,
                                                         const std::string& spill_dir,
                                                         const ProgressHandle& progress,
                                                         const EquivOptions& options);

  // Maps the merged file at `path` as an index with these key hashes and
  // entry offsets (as the merge produced them). The index owns the file from
  // here on, also when mapping fails.
  static storage::Result<EquivIndex, PendingError> open_merged(std::string path,
                                                               std::vector<uint64_t> hashes,
                                                               std::vector<uint64_t> offsets);

  EquivIndex(EquivIndex&& o) noexcept;
  EquivIndex& operator=(EquivIndex&&) = delete;
  EquivIndex(const EquivIndex&) = delete;
  // Deletes equiv_data.bin (ignoring errors), unmaps and closes it.
  ~EquivIndex();

  size_t size() const { return hashes_.size(); }
  const std::string& path() const { return path_; }

  // Calls visit(std::string_view) for each equivalent identifier of `curie`,
  // in stored order. Stops quietly at anything damaged.
  template <typename Visit>
  void lookup(std::string_view curie, Visit&& visit) const;

 private:
  EquivIndex() = default;

  std::vector<uint64_t> hashes_;
  std::vector<uint64_t> offsets_;
  // Where the hashes of each top-bits prefix start (one more entry at the
  // end), so that a lookup searches only its prefix's short stretch; at most
  // 4 bytes per key. Empty for fewer than two keys.
  std::vector<uint32_t> directory_;
  int directory_shift_ = 64;
  std::string path_;
  const char* map_ = nullptr;  // null for an empty file
  size_t map_size_ = 0;
  Fd file_;
};

template <typename Visit>
void EquivIndex::lookup(std::string_view curie, Visit&& visit) const {
  const uint64_t h = xxh64_hash(curie);
  auto first = hashes_.begin();
  auto last = hashes_.end();
  if (!directory_.empty()) {
    const auto prefix = static_cast<size_t>(h >> directory_shift_);
    first = hashes_.begin() + directory_[prefix];
    last = hashes_.begin() + directory_[prefix + 1];
  }
  auto i = static_cast<size_t>(std::lower_bound(first, last, h) - hashes_.begin());
  auto u32_at = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, map_ + at, 4);
    return v;
  };
  for (; i < hashes_.size() && hashes_[i] == h; ++i) {
    const uint64_t off = offsets_[i];
    if (off > map_size_) return;
    size_t rest = map_size_ - off;
    if (rest < 4) return;
    const size_t k = u32_at(off);
    if (4 + k > rest) return;
    std::string_view key(map_ + off + 4, k);
    if (!utf8::is_valid(key)) return;
    if (key != curie) continue;
    if (8 + k > rest) return;
    uint32_t n = u32_at(off + 4 + k);
    size_t at = off + 8 + k;
    for (uint32_t j = 0; j < n; ++j) {
      size_t left = map_size_ - at;
      if (left < 4) return;
      const size_t len = u32_at(at);
      if (4 + len > left) return;
      std::string_view value(map_ + at + 4, len);
      if (!utf8::is_valid(value)) return;
      visit(value);
      at += 4 + len;
    }
    return;
  }
}

}  // namespace rs::fullmap
