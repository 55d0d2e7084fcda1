#include "src/fullmap/writer.h"

#include <cxxabi.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "src/fullmap/layout.h"
#include "src/fullmap/thread.h"
#include "storage/src/panic.h"

namespace rs::fullmap {
namespace {

using storage::ByteView;
using storage::BytesCodec;
using storage::Err;
using storage::TextCodec;
using storage::U16Codec;
using storage::U32Codec;
using storage::U64Codec;
using storage::U8Codec;

using Written = storage::Result<uint64_t, PendingError>;

// How many records a shard writer appends between two looks at whether the
// build was stopped.
constexpr size_t kStopPointRecords = 1 << 16;

ByteView bytes_of(std::string_view s) {
  return ByteView(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

storage::Result<storage::Database, PendingError> create_database(const std::string& path,
                                                                 size_t cache_bytes) {
  storage::Builder builder = storage::Database::builder();
  builder.set_cache_size(cache_bytes);
  TRY_ASSIGN(storage::Database db, builder.create(path));
  return db;
}

// Opens `name`, inserts every (id, name) of a table interned by id, and
// drops the table again before the next is opened.
template <typename IdCodec>
storage::Result<void, PendingError> write_names(storage::WriteTransaction& txn,
                                                std::string_view name,
                                                const std::vector<std::string>& names) {
  TRY_ASSIGN(auto table, (txn.open_table<IdCodec, TextCodec>(name)));
  for (size_t id = 0; id < names.size(); ++id) {
    TRY(table.insert(static_cast<typename IdCodec::Decoded>(id), std::string_view(names[id])));
  }
  return {};
}

storage::Result<void, PendingError> write_primary(const FinalWriteInput& input,
                                                  const std::string& build_id,
                                                  storage::Database& db) {
  const IngestResult& tables = *input.tables;
  // Ids are u16 and u8: ingestion never hands out more.
  if (tables.prefixes.size() > 65'536 || tables.categories.size() > 65'536 ||
      tables.sources.size() > 256) {
    storage::panic("interned ids out of range for the primary's tables");
  }
  TRY_ASSIGN(storage::WriteTransaction txn, db.begin_write());
  TRY(write_names<U16Codec>(txn, kPrefixesTable, tables.prefixes));
  TRY(write_names<U16Codec>(txn, kCategoriesTable, tables.categories));
  {
    TRY_ASSIGN(auto sources, (txn.open_table<U8Codec, BytesCodec>(kSourcesTable)));
    std::string row;
    for (size_t id = 0; id < tables.sources.size(); ++id) {
      row.clear();
      encode_source_row(tables.sources[id], &row);
      TRY(sources.insert(static_cast<uint8_t>(id), bytes_of(row)));
    }
  }
  {
    TRY_ASSIGN(auto curies, (txn.open_table<U32Codec, BytesCodec>(kCuriesTable)));
    MergeOptions options;
    options.fan_in = input.fan_in != 0 ? input.fan_in : run_fan_in(1);
    options.scratch_dir = input.scratch_dir;
    options.scratch_tag = "curie";
    TRY_ASSIGN(CurieMerge merge, CurieMerge::open(tables.curie_runs, options));
    // The merge yields each id once, ascending: sorted appends through the
    // write cursor, which packs whole leaves instead of descending per row.
    TRY_ASSIGN(auto cursor, curies.upper_bound_mut(storage::CursorBound::unbounded()));
    for (;;) {
      TRY_ASSIGN(std::optional<CurieMerge::Row> row, merge.next());
      if (!row) break;
      TRY(cursor.insert_before(row->curie_id, bytes_of(row->row)));
    }
    TRY(std::move(cursor).close());
  }
  {
    TRY_ASSIGN(auto meta, (txn.open_table<TextCodec, TextCodec>(kMetaTable)));
    const std::string shards = std::to_string(input.shard_count);
    TRY(meta.insert(kMetaSchemaKey, kSchemaTag));
    TRY(meta.insert(kMetaBuildIdKey, std::string_view(build_id)));
    TRY(meta.insert(kMetaShardsKey, std::string_view(shards)));
  }
  TRY(std::move(txn).commit());
  return {};
}

// One writer thread's outcome: its result, or that it panicked.
struct ShardOutcome {
  std::optional<Written> result;
  bool panicked = false;
};

}  // namespace

void report_shard_progress(const ShardWriteContext& context, uint64_t written) {
  if (!context.progress || written == 0) return;
  context.counter->add(context.progress, written, [&](uint64_t done) {
    context.progress->call(kProgressFinalWrite, done, context.progress_total,
                           "shard " + std::to_string(context.shard) + ": writing " +
                               std::to_string(done) + " records");
  });
}

storage::Result<size_t, PendingError> flush_shard_batch(RecordsTable& records, RecordBatch* batch,
                                                        storage::WriteTransaction* txn) {
  if (batch->empty()) return size_t{0};
  auto failed = [txn](auto error) {
    // The cursor is gone by now; its half-written state must not commit.
    txn->poison();
    return Err(PendingError(std::move(error)));
  };
  auto opened = records.upper_bound_mut(storage::CursorBound::unbounded());
  if (!opened.ok()) return failed(std::move(opened).error());
  storage::CursorMut cursor = std::move(opened).value();
  for (size_t i = 0; i < batch->size(); ++i) {
    if (i % kStopPointRecords == 0) stop_point();
    const RecordBatch::Record r = (*batch)[i];
    auto inserted = cursor.insert_before(r.key, bytes_of(r.value));
    if (!inserted.ok()) {
      (void)std::move(cursor).close();
      return failed(std::move(inserted).error());
    }
  }
  auto closed = std::move(cursor).close();
  if (!closed.ok()) return failed(std::move(closed).error());
  const size_t n = batch->size();
  batch->clear();
  return n;
}

storage::Result<uint64_t, PendingError> write_shard_records(storage::Database& db,
                                                            std::span<const std::string> runs,
                                                            const ShardWriteContext& context) {
  uint64_t written = 0;
  {
    TRY_ASSIGN(storage::WriteTransaction txn, db.begin_write());
    if (auto lowered = txn.set_durability(storage::Durability::kNonDurable); !lowered.ok()) {
      return Err(PendingError::runtime(lowered.error().to_string()));
    }
    {
      TRY_ASSIGN(auto meta, (txn.open_table<TextCodec, TextCodec>(kMetaTable)));
      TRY(meta.insert(kMetaBuildIdKey, std::string_view(context.build_id)));
    }
    {
      TRY_ASSIGN(RecordsTable records, (txn.open_table<U64Codec, BytesCodec>(kRecordsTable)));
      TRY_ASSIGN(ShardRecords merged, ShardRecords::open(runs, context.merge));
      // The records are appended in slices of at most kMaxBatchReserve: a
      // large insert batch (or 0, one batch) would otherwise hold a whole
      // shard's records in memory a second time. Progress still counts whole
      // insert batches.
      const size_t insert_batch = context.insert_batch;
      const size_t slice = insert_batch == 0 ? context.batch_slice
                                             : std::min(insert_batch, context.batch_slice);
      RecordBatch batch(slice);
      uint64_t unreported = 0;
      for (;;) {
        TRY_ASSIGN(bool more, fill_batch(&merged, &batch, slice));
        TRY_ASSIGN(size_t n, flush_shard_batch(records, &batch, &txn));
        written += n;
        unreported += n;
        while (insert_batch != 0 && unreported >= insert_batch) {
          report_shard_progress(context, insert_batch);
          unreported -= insert_batch;
        }
        if (!more) break;
      }
      report_shard_progress(context, unreported);
    }
    TRY(std::move(txn).commit());
  }
  // The durable empty commit makes the non-durable one durable.
  TRY_ASSIGN(storage::WriteTransaction sync, db.begin_write());
  TRY(std::move(sync).commit());
  return written;
}

storage::Result<uint64_t, PendingError> write_final_database(const FinalWriteInput& input) {
  const uint32_t shard_count = input.shard_count;
  if (input.tables->term_runs.size() != shard_count) {
    storage::panic("term runs for " + std::to_string(input.tables->term_runs.size()) +
                   " shards, expected " + std::to_string(shard_count));
  }
  const std::string build_id = std::to_string(new_build_id());

  {
    TRY_ASSIGN(storage::Database primary, create_database(input.output, input.cache_bytes));
    TRY(write_primary(input, build_id, primary));
    TRY(primary.close());
  }

  // Declared before the threads: destroyed (closed) only after every writer
  // is gone, also when this frame unwinds.
  std::vector<storage::Database> shards;
  shards.reserve(shard_count);
  for (uint32_t i = 0; i < shard_count; ++i) {
    auto created = create_database(shard_path(input.output, i), input.cache_bytes / 16);
    if (!created.ok()) {
      for (storage::Database& db : shards) (void)db.close();
      return std::move(created).take_err();
    }
    shards.push_back(std::move(created).value());
  }

  const uint64_t total =
      input.progress ? count_term_run_frames(input.tables->term_runs) : uint64_t{0};
  ProgressCounter counter;
  const size_t fan_in = input.fan_in != 0 ? input.fan_in : run_fan_in(shard_count);
  std::vector<ShardWriteContext> contexts(shard_count);
  for (uint32_t i = 0; i < shard_count; ++i) {
    ShardWriteContext& c = contexts[i];
    c.shard = i;
    c.insert_batch = input.insert_batch;
    c.progress = input.progress;
    c.counter = &counter;
    c.progress_total = total;
    c.build_id = build_id;
    c.merge.fan_in = fan_in;
    if (input.batch_slice != 0) c.batch_slice = input.batch_slice;
    c.merge.hash = input.term_hash;
    c.merge.scratch_dir = input.scratch_dir;
    c.merge.scratch_tag = "s" + std::to_string(i);
  }

  std::vector<ShardOutcome> outcomes(shard_count);
  std::vector<SystemThread> writers(shard_count);
  std::optional<storage::IoError> refused;
  for (uint32_t i = 0; i < shard_count && !refused; ++i) {
    refused = writers[i].start([&, i] {
      try {
        outcomes[i].result.emplace(
            write_shard_records(shards[i], input.tables->term_runs[i], contexts[i]));
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        outcomes[i].result.reset();
        outcomes[i].panicked = true;
      }
    });
  }
  // Every writer that started ends before any shard is closed.
  for (SystemThread& t : writers) t.join();
  if (refused) panic_thread_refused(*refused);

  std::optional<PendingError> failure;
  uint64_t written = 0;
  for (ShardOutcome& o : outcomes) {
    if (failure) break;
    if (o.panicked) {
      failure = PendingError::runtime_static(kShardWriterPanicked);
    } else if (!o.result->ok()) {
      failure = std::move(*o.result).error();
    } else {
      written += o.result->value();
    }
  }
  if (!failure && input.progress) {
    input.progress->call(kProgressFinalWrite, written, written,
                         "wrote " + std::to_string(written) + " records");
  }
  // Closed in index order; a close that fails (its file still needs repair)
  // fails the build when nothing failed before.
  for (storage::Database& db : shards) {
    auto closed = db.close();
    if (!closed.ok() && !failure) failure = PendingError(std::move(closed).error());
  }
  if (failure) return Err(std::move(*failure));
  return written;
}

}  // namespace rs::fullmap
