// The final write of a build: the primary database and the 16 shards, filled
// from what ingestion left behind (src/fullmap/merge.h does the merging).
//
// The primary is filled in one durable transaction and closed before any
// shard exists. The shards are created in index order on the calling thread
// and filled by one writer thread each; every writer is joined before the
// first shard is closed, and each database is closed explicitly: a close that
// fails fails the build, since the file then still needs repair.
//
// Thread safety: write_final_database runs on one thread (a pool thread of
// the build) and starts and joins the writer threads itself. The writers
// share only the progress counter and the progress handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "src/fullmap/error.h"
#include "src/fullmap/ingest.h"
#include "src/fullmap/merge.h"
#include "src/fullmap/progress.h"
#include "storage/database.h"
#include "storage/src/result.h"

namespace rs::fullmap {

struct FinalWriteInput {
  std::string output;
  const IngestResult* tables = nullptr;
  size_t cache_bytes = 0;
  size_t insert_batch = 0;
  uint32_t shard_count = kShardCount;
  ProgressHandle progress;
  // Where the merges put their intermediate runs: the spill directory.
  std::string scratch_dir;
  // Tests only: the hash that orders the runs and keys the records (null:
  // XXH64), the most runs one merge reads at once (0: derived from the
  // open-file limit), and the most records a shard writer appends at once
  // (0: kMaxBatchReserve).
  TermHash term_hash = nullptr;
  size_t fan_in = 0;
  size_t batch_slice = 0;
};

using RecordsTable = storage::Table<storage::U64Codec, storage::BytesCodec>;

// Everything a shard writer shares with the others or is told.
struct ShardWriteContext {
  uint32_t shard = 0;
  size_t insert_batch = 0;
  ProgressHandle progress;
  ProgressCounter* counter = nullptr;
  uint64_t progress_total = 0;
  std::string build_id;
  MergeOptions merge;
  size_t batch_slice = kMaxBatchReserve;  // records appended at once
};

// Writes the primary and its shards. Returns the records written.
storage::Result<uint64_t, PendingError> write_final_database(const FinalWriteInput& input);

// Fills one shard: meta, then its records in one non-durable commit, then an
// empty durable commit. Returns the records written.
storage::Result<uint64_t, PendingError> write_shard_records(storage::Database& db,
                                                            std::span<const std::string> runs,
                                                            const ShardWriteContext& context);

// Appends the batch (keys strictly ascending, above every key already in
// the table) through the table's write cursor and empties it. On a failure
// the transaction is poisoned. Returns the records written.
storage::Result<size_t, PendingError> flush_shard_batch(RecordsTable& records, RecordBatch* batch,
                                                        storage::WriteTransaction* txn);

// Adds `written` to the shared counter and reports the new total; nothing
// without a progress handle or when `written` is 0.
void report_shard_progress(const ShardWriteContext& context, uint64_t written);

}  // namespace rs::fullmap
