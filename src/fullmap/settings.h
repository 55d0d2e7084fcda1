// What a build reads before it starts: the worker count (from the threads
// argument, or the CPUs and the available memory) and the settings from the
// environment, read once and handed to the phases by value.
//
// Thread safety: the parsers are pure; the readers read process-wide state
// (the environment, /proc) and are called on the build's calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "src/fullmap/fx_hash.h"

namespace rs::fullmap {

inline constexpr char kEnvLocalSpillEntries[] = "QUORVENDEL_FULLMAP_LOCAL_SPILL_ENTRIES";
inline constexpr char kEnvCurieSpillEntries[] = "QUORVENDEL_FULLMAP_CURIE_SPILL_ENTRIES";
inline constexpr char kEnvEquivSpillEntries[] = "QUORVENDEL_FULLMAP_EQUIV_SPILL_ENTRIES";
inline constexpr char kEnvChunkBytes[] = "QUORVENDEL_FULLMAP_CHUNK_BYTES";
inline constexpr char kEnvProducers[] = "QUORVENDEL_FULLMAP_PRODUCERS";
inline constexpr char kEnvDbCacheBytes[] = "QUORVENDEL_FULLMAP_DB_CACHE_BYTES";
inline constexpr char kEnvInsertBatch[] = "QUORVENDEL_FULLMAP_INSERT_BATCH";
inline constexpr char kEnvSpillDir[] = "QUORVENDEL_FULLMAP_SPILL_DIR";
inline constexpr char kEnvExcludePrefixes[] = "QUORVENDEL_FULLMAP_EXCLUDE_PREFIXES";

inline constexpr size_t kDefaultLocalSpillEntries = 1'000'000;
inline constexpr size_t kDefaultCurieSpillEntries = 250'000;
inline constexpr size_t kDefaultEquivSpillEntries = 2'000'000;
inline constexpr size_t kDefaultChunkBytes = 8'388'608;
inline constexpr size_t kDefaultCacheBytes = 2'147'483'648;
inline constexpr size_t kDefaultInsertBatch = 2'000'000;

// CURIE prefixes compared byte for byte; looked up by string_view.
using PrefixSet = std::unordered_set<std::string, FxHash, std::equal_to<>>;

struct BuildSettings {
  size_t local_spill_entries = kDefaultLocalSpillEntries;
  size_t curie_spill_entries = kDefaultCurieSpillEntries;
  PrefixSet exclude_prefixes;
  size_t chunk_bytes = kDefaultChunkBytes;
  size_t producers = 1;
  size_t cache_bytes = kDefaultCacheBytes;
  size_t insert_batch = kDefaultInsertBatch;
  std::string spill_dir;
};

// An optional "+", then one or more ASCII digits and nothing else, that fits
// a size_t; nullopt otherwise.
std::optional<size_t> parse_usize(std::string_view text);

// The environment variable as a size, or `fallback` when it is missing, not
// UTF-8 or not a plain unsigned decimal.
size_t env_usize(const char* name, size_t fallback);

// Comma-separated prefixes, each trimmed of Unicode white space; empty items
// are dropped. `text` is valid UTF-8.
PrefixSet parse_exclude_prefixes(std::string_view text);

// The output path with ".spill.d" appended to its last component.
std::string default_spill_dir(std::string_view output);

// min(synonym files, max(4, workers / 4)).
size_t default_producers(size_t synonym_files, size_t workers);

// Reads the eight settings of a build, in the order of BuildSettings.
BuildSettings read_build_settings(std::string_view output, size_t synonym_files,
                                  size_t workers);

// The worker count: max(threads, 1) when given; otherwise one worker per full
// 2 GiB of MemAvailable in `meminfo` (the text of /proc/meminfo), at least 1
// and at most `cpus`; without a usable figure, cpus * 9 / 10. Never 0.
size_t worker_count(std::optional<uint64_t> threads, size_t cpus,
                    std::optional<std::string_view> meminfo);

// CPUs this process may run on (affinity and cgroup quota); 1 when unknown.
size_t available_cpus();
// The whole of /proc/meminfo, or nullopt when it cannot be read.
std::optional<std::string> read_meminfo();
// worker_count of this machine.
size_t choose_worker_count(std::optional<uint64_t> threads);

// Raises the soft limit on open files to the hard limit; failures are ignored.
void raise_open_file_limit();

}  // namespace rs::fullmap
