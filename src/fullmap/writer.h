// The final write of a build: the primary database and the 16 shards, filled
// from what ingestion left behind (src/fullmap/merge.h does the merging).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "src/fullmap/error.h"
#include "src/fullmap/ingest.h"
#include "src/fullmap/progress.h"
#include "storage/src/result.h"

namespace rs::fullmap {

inline constexpr char kWriterMissing[] =
    "build_fullmap_db() is not available yet: the fullmap database writer is not built";

struct FinalWriteInput {
  std::string output;
  const IngestResult* tables = nullptr;
  size_t cache_bytes = 0;
  size_t insert_batch = 0;
  uint32_t shard_count = kShardCount;
  ProgressHandle progress;
};

// Writes the primary and its shards. Until the database layer exists this
// fails with kWriterMissing, after the phases before it have run.
storage::Result<void, PendingError> write_final_database(const FinalWriteInput& input);

}  // namespace rs::fullmap
