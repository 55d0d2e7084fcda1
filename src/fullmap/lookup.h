// Term lookup: batches of terms answered from one pinned generation of a
// fullmap (the primary and its shards, src/fullmap/pinning.h), routed to the
// shard of each term's XXH64, on the calling thread or on lookup threads of
// its own, in input order.
//
// Results are compact: a PairResult names each found term by its input index
// and keeps every posting in one flat array; a LookupRows adds, per posting,
// the index of its hydrated CURIE and the name tables it is read with, and
// hands out FullmapRecord views. Nothing here touches Python; the interpreter
// boundary turns results into objects (src/fullmap/lookup_functions.cc).
//
// Failures: storage and decoding failures, missing ids and the fixed
// "fullmap lookup thread panicked" are PendingError values; a thread that
// cannot be started is a panic ("failed to spawn thread: " and the system's
// text). Every lookup thread that was started has been joined when a call
// returns, also after a failure; the first failure (the calling thread's
// buckets first, then the joins in start order) is the one reported.
//
// Thread safety: every function may run on any number of threads at once;
// the terms, handles and results of one call belong to that call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/fullmap/db_cache.h"
#include "src/fullmap/error.h"
#include "src/fullmap/layout.h"
#include "src/module_alloc.h"
#include "storage/src/result.h"

namespace rs::fullmap {

// From this many terms on, a lookup without a worker count fans out.
inline constexpr size_t LOOKUP_PARALLEL_MIN = 1024;

// 1 below LOOKUP_PARALLEL_MIN terms, else the CPUs this process may use.
size_t default_lookup_workers(size_t term_count);

// The workers of a call: max(threads, 1) when given, else the default; never
// more than the terms (and at least 1).
size_t lookup_worker_count(std::optional<uint64_t> threads, size_t term_count);

// The found terms of a query, in input order, with their postings in stored
// order. Term i of the result is the query term at input index index(i).
class PairResult {
 public:
  struct Hit {
    size_t index = 0;   // input index of the term
    size_t first = 0;   // its first posting in postings()
    size_t count = 0;
  };

  size_t size() const { return hits_.size(); }
  bool empty() const { return hits_.empty(); }
  size_t index(size_t i) const { return hits_[i].index; }
  std::span<const Posting> postings(size_t i) const {
    return std::span<const Posting>(postings_.data() + hits_[i].first, hits_[i].count);
  }
  const ModuleVector<Hit>& hits() const { return hits_; }
  // Every posting of every hit, hit after hit.
  const ModuleVector<Posting>& all_postings() const { return postings_; }

  // Appends a hit with the postings of `record`.
  void add(size_t index, const RecordView& record);
  // Appends a hit with a copy of `postings`.
  void add_postings(size_t index, std::span<const Posting> postings);
  void reserve(size_t hits);

 private:
  ModuleVector<Hit> hits_;
  ModuleVector<Posting> postings_;
};

// One hydrated posting. Views into the LookupRows that made it.
struct FullmapRecord {
  std::string_view curie;
  std::string_view preferred_name;
  std::string_view category_name;
  int64_t taxon_id = 0;
  std::string_view source_name;
  std::string_view source_version;
};

inline constexpr char kSourceVersion[] = "2026jul22";

// The "rows" answer: the pairs, and for each posting its hydrated row.
class LookupRows {
 public:
  // A distinct CURIE of the answer, with its texts resolved.
  struct Curie {
    std::string curie;  // prefix name ":" local id
    std::string preferred_name;
    uint32_t category = 0;  // index into category_names()
    int32_t taxon_id = 0;
  };

  const PairResult& pairs() const { return pairs_; }
  const std::vector<Curie>& curies() const { return curies_; }
  // Index into curies() of posting p of pairs().all_postings().
  uint32_t curie_of(size_t posting) const { return curie_of_posting_[posting]; }
  // The distinct category names of the answer.
  const std::vector<std::string>& category_names() const { return category_names_; }
  // The name of a source id the answer uses.
  const std::string& source_name(uint8_t id) const { return source_names_[id]; }
  // Record j of found term i.
  FullmapRecord record(size_t i, size_t j) const;
  size_t record_count() const { return pairs_.all_postings().size(); }

 private:
  friend storage::Result<LookupRows, PendingError> hydrate_lookup_rows(const DatabaseHandle&,
                                                                       PairResult, size_t);
  PairResult pairs_;
  std::vector<Curie> curies_;
  ModuleVector<uint32_t> curie_of_posting_;
  std::vector<std::string> category_names_;
  std::vector<std::string> source_names_;
};

// A term routed to a shard: its input index and hash.
struct BucketEntry {
  size_t index = 0;
  uint64_t hash = 0;
};

// The found terms of one shard's bucket, in bucket order, under their input
// indexes. One read transaction.
storage::Result<PairResult, PendingError> lookup_shard_bucket(
    const storage::ReadOnlyDatabase& db, std::span<const std::string_view> terms,
    std::span<const BucketEntry> bucket);

// The serial path: one read transaction per shard, terms in input order.
storage::Result<PairResult, PendingError> lookup_pair_chunk(
    std::span<const DatabaseHandle> shards, std::span<const std::string_view> terms);

// Routes, looks up and orders: serially for fewer than two shards, one term
// or one worker; otherwise one bucket per shard, the first `workers` non-empty
// buckets on lookup threads and the rest on the calling thread.
storage::Result<PairResult, PendingError> lookup_pair_terms_db(
    std::span<const DatabaseHandle> shards, std::span<const std::string_view> terms,
    size_t workers);

// The "pairs" mode over the fullmap at `db`.
storage::Result<PairResult, PendingError> lookup_pair_terms(
    const std::string& db, std::span<const std::string_view> terms,
    std::optional<uint64_t> threads);

// Hydrates `pairs` from `primary`: the name tables, each distinct CURIE id
// once in ascending order (in contiguous chunks over up to `workers` lookup
// threads when there are many), then each posting checked in order
// ("missing prefix id {}", "missing category id {}", "missing source id
// {}").
storage::Result<LookupRows, PendingError> hydrate_lookup_rows(const DatabaseHandle& primary,
                                                              PairResult pairs,
                                                              size_t workers = 1);

// The "rows" mode: names, shards and CURIE rows all from one pinned bundle.
storage::Result<LookupRows, PendingError> lookup_terms(const std::string& db,
                                                       std::span<const std::string_view> terms,
                                                       std::optional<uint64_t> threads);

// Test hooks. Called with the shard index at the start of every bucket on
// the parallel path (on whichever thread runs it); it may throw to stand for
// a panic, or wait. A start index makes that thread's start fail.
struct LookupTestHooks {
  void (*on_bucket)(uint32_t shard) = nullptr;
  std::optional<size_t> fail_thread_start;
};
LookupTestHooks& lookup_test_hooks();

}  // namespace rs::fullmap
