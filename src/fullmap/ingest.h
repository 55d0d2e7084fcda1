// Synonym ingestion: producer threads read the synonym files and cut them
// into batches of lines; a bounded channel hands each batch to one consumer
// thread, which parses its rows, interns prefix, category and CURIE ids,
// files every name, CURIE and equivalent identifier under its normalised
// keys, and spills term runs and CURIE runs when its buffers fill. What it
// leaves behind (the interning tables and the run files) is the input of the
// final write.
//
// Repeated CURIEs: the row first in input order (synonyms list order, then
// line order) becomes the CURIE's row whatever the thread count. Every row
// that could still win (the first seen of a CURIE, and any later-seen row
// with an earlier position) goes to the CURIE runs with its position; the
// final write keeps the earliest. Ids themselves depend on thread timing.
//
// Thread safety: process_synonyms runs on one thread and starts and joins
// its own. ShardedMap and CurieIdTable are shared by all consumers (64
// reader-writer-locked shards each); everything else belongs to one thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "src/fullmap/equiv_index.h"
#include "src/fullmap/error.h"
#include "src/fullmap/fx_hash.h"
#include "src/fullmap/layout.h"
#include "src/fullmap/normalize.h"
#include "src/fullmap/progress.h"
#include "src/fullmap/settings.h"
#include "src/fullmap/spill.h"
#include "storage/src/result.h"
#include "storage/src/sync.h"

namespace rs::fullmap {

inline constexpr size_t kInternShards = 64;
inline constexpr size_t kMaxSources = 256;

// The source name of a synonym file: its file stem ("BABEL" when it has none
// or it is not UTF-8) without any trailing ".ndjson".
std::string source_name(const std::string& path);

// Source names by id, ids in order of first appearance.
struct SourceTable {
  std::vector<std::string> names;
  std::unordered_map<std::string, uint8_t, FxHash, std::equal_to<>> ids;
};

// Registers the source names of `paths` in order; a 257th registration
// fails with "too many fullmap sources" (even for a repeated name).
storage::Result<SourceTable, PendingError> register_sources(std::span<const std::string> paths);

// Texts interned to dense u16 ids, from 0 in order of first insertion.
class ShardedMap {
 public:
  // `overflow` is the panic message for a 65,537th text.
  explicit ShardedMap(const char* overflow);
  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  uint16_t intern(std::string_view text);
  // Texts by id.
  std::vector<std::string> take_names();

 private:
  using Shard = std::unordered_map<std::string, uint16_t, FxHash, std::equal_to<>>;
  std::array<storage::RwLock<Shard>, kInternShards> shards_;
  std::atomic<uint32_t> next_{0};
  const char* overflow_;
};

// CURIE ids by the XXH3-128 of the CURIE, with the earliest input position
// seen for each.
class CurieIdTable {
 public:
  // `first_id` lets tests start near the end of the id space.
  explicit CurieIdTable(uint64_t first_id = 0) : next_(first_id) {}
  CurieIdTable(const CurieIdTable&) = delete;
  CurieIdTable& operator=(const CurieIdTable&) = delete;

  struct Seen {
    uint32_t id;
    bool queue_row;  // no earlier row of this CURIE has been seen
  };
  // The id of `curie` (a new one for a new CURIE), and whether the row at
  // `position` is the earliest of its CURIE seen so far. Fails with "too
  // many fullmap CURIEs" when the 32-bit ids are used up.
  storage::Result<Seen, PendingError> intern(std::string_view curie, InputPosition position);

 private:
  // One shard: open addressing with linear probing over 32-byte slots (a
  // fraction of a node-based map's memory per CURIE). The all-zero hash
  // marks a free slot; a CURIE whose hash is zero is filed under 1.
  class Shard {
   public:
    struct Slot {
      uint64_t lo, hi;  // the XXH3-128 hash
      uint32_t id;
      uint32_t file;  // the earliest input position seen
      uint64_t line;
    };
    Shard() = default;
    ~Shard();
    Shard(const Shard&) = delete;
    Shard& operator=(const Shard&) = delete;
    Slot* find(uint64_t lo, uint64_t hi) const;
    // Files a hash that find() did not; its other fields are for the caller.
    Slot* insert(uint64_t lo, uint64_t hi);

   private:
    size_t home(uint64_t lo, uint64_t hi) const { return (hi ^ (lo >> 6)) & mask_; }
    void grow();
    Slot* slots_ = nullptr;
    size_t mask_ = 0;
    size_t count_ = 0;
  };
  std::array<storage::RwLock<Shard>, kInternShards> shards_;
  std::atomic<uint64_t> next_;
};

struct IngestInput {
  std::span<const std::string> synonyms;
  const EquivIndex* equiv = nullptr;
  std::string spill_dir;
  size_t local_spill_entries = kDefaultLocalSpillEntries;
  size_t curie_spill_entries = kDefaultCurieSpillEntries;
  const PrefixSet* exclude_prefixes = nullptr;
  size_t workers = 1;
  uint32_t shard_count = kShardCount;
  size_t chunk_bytes = kDefaultChunkBytes;
  size_t producers = 1;
  ProgressHandle progress;
  // Test hook: the first CURIE id handed out.
  uint64_t first_curie_id = 0;
};

struct IngestResult {
  std::vector<std::string> prefixes;    // by id
  std::vector<std::string> categories;  // by id
  std::vector<std::string> sources;     // by id
  std::vector<std::string> curie_runs;
  std::vector<std::vector<std::string>> term_runs;  // by shard
};

// The consumer and producer threads process_synonyms starts: one consumer a
// worker (at least one), and `producers` producers (0 counts as 1), no more
// than there are synonym files.
struct IngestThreads {
  size_t consumers;
  size_t producers;
};
IngestThreads ingest_threads(size_t workers, size_t producers, size_t synonym_files);

// Reads every synonym file into run files. Failures: the first in join order
// (consumers in start order, then producers); a panicking thread counts as
// "fullmap build worker panicked".
storage::Result<IngestResult, PendingError> process_synonyms(const IngestInput& input);

// The taxon of a row: its first taxa item without leading "NCBITaxon:", as a
// signed 32-bit decimal; 0 for anything else.
int32_t parse_taxon(std::string_view text);

}  // namespace rs::fullmap
