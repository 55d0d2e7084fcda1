#include "src/fullmap/lookup.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <exception>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "src/fullmap/pinning.h"
#include "src/fullmap/read_tables.h"
#include "src/fullmap/settings.h"
#include "src/fullmap/thread.h"
#include "src/xxh64.h"
#include "storage/database.h"
#include "storage/src/panic.h"
#include "storage/transaction.h"

namespace rs::fullmap {
namespace {

using storage::Err;
using storage::Result;
using RecordsTable = storage::ReadOnlyTable<storage::U64Codec, storage::BytesCodec>;

Result<RecordsTable, PendingError> open_records(const storage::ReadTransaction& txn) {
  TRY_ASSIGN(RecordsTable table,
             (txn.open_table<storage::U64Codec, storage::BytesCodec>(kRecordsTable)));
  return table;
}

// Looks `term` up under its hash; a hit is appended under `index`. Only a
// record whose term equals the query byte for byte matches: every record of
// the value is a candidate, as terms of one hash share it.
Result<void, PendingError> find_term(const RecordsTable& table, uint64_t hash,
                                     std::string_view term, size_t index, PairResult* out) {
  TRY_ASSIGN(auto value, table.get(hash));
  if (!value) return {};
  const storage::ByteView bytes = value->bytes();
  TRY_ASSIGN(std::optional<RecordView> record,
             find_record(std::string_view(reinterpret_cast<const char*>(bytes.data()),
                                          bytes.size()),
                         term));
  if (record) out->add(index, *record);
  return {};
}

// The buckets of one parallel lookup and who takes which. Thread k starts
// with bucket item k and the calling thread with item t (the first one no
// thread started with); after its first, each takes the next unclaimed item,
// so no one idles while buckets are left. After a failure no new item is
// taken.
struct BucketWork {
  std::span<const DatabaseHandle> shards;
  std::span<const std::string_view> terms;
  const std::vector<ModuleVector<BucketEntry>>* buckets = nullptr;
  std::vector<uint32_t> items;  // the non-empty buckets' shards, in order
  std::vector<PairResult> results;  // by item
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};

  // Runs `first`, then claimed items while nobody failed; the first
  // failure, if any.
  std::optional<PendingError> run(size_t first) {
    for (size_t k = first; k < items.size(); k = next.fetch_add(1)) {
      if (k != first && failed.load(std::memory_order_relaxed)) return std::nullopt;
      const uint32_t s = items[k];
      if (auto hook = lookup_test_hooks().on_bucket) hook(s);
      Result<PairResult, PendingError> r =
          lookup_shard_bucket(*shards[s], terms, (*buckets)[s]);
      if (!r.ok()) {
        failed.store(true);
        return std::move(r).error();
      }
      results[k] = std::move(r).value();
    }
    return std::nullopt;
  }
};

// A lookup thread: joined by its owner on every path; a body that throws is
// a panicked thread.
using LookupThread = SystemThread;

// Starts `threads[k]` on body(k) for every k; a thread that cannot be
// started is a panic, after the started ones were told to stop (`stop`) and
// joined.
template <typename Body>
void start_threads(std::vector<LookupThread>* threads, Body body, std::atomic<bool>* stop) {
  const LookupTestHooks& hooks = lookup_test_hooks();
  for (size_t k = 0; k < threads->size(); ++k) {
    const bool refused = hooks.fail_thread_start && *hooks.fail_thread_start == k;
    std::optional<storage::IoError> failure =
        refused ? storage::IoError::from_errno(EAGAIN) : (*threads)[k].start([body, k] { body(k); });
    if (failure) {
      stop->store(true);
      for (size_t j = 0; j < k; ++j) (*threads)[j].join();
      panic_thread_refused(*failure);
    }
  }
}

// Puts the hits of per-bucket results (each in input order) into input order.
PairResult merge_in_input_order(std::vector<PairResult>& parts, size_t term_count) {
  size_t hits = 0;
  for (const PairResult& p : parts) hits += p.size();
  PairResult out;
  if (hits == 0) return out;
  if (parts.size() == 1) return std::move(parts[0]);
  out.reserve(hits);
  // Each input index belongs to at most one part: mark the owner, then walk
  // the indexes once.
  ModuleVector<uint8_t> owner(term_count, 0);
  for (size_t k = 0; k < parts.size(); ++k) {
    for (const PairResult::Hit& h : parts[k].hits()) owner[h.index] = static_cast<uint8_t>(k + 1);
  }
  std::vector<size_t> next(parts.size(), 0);
  for (size_t i = 0; i < term_count; ++i) {
    if (owner[i] == 0) continue;
    const size_t k = owner[i] - 1;
    const size_t j = next[k]++;
    out.add_postings(parts[k].index(j), parts[k].postings(j));
  }
  return out;
}

Result<PairResult, PendingError> lookup_parallel(std::span<const DatabaseHandle> shards,
                                                 std::span<const std::string_view> terms,
                                                 size_t workers) {
  const size_t shard_count = shards.size();
  const uint64_t mask = shard_count - 1;
  std::vector<ModuleVector<BucketEntry>> buckets(shard_count);
  for (auto& b : buckets) b.reserve(terms.size() / shard_count + terms.size() / 64 + 16);
  for (size_t i = 0; i < terms.size(); ++i) {
    const uint64_t h = xxh64_hash(terms[i]);
    buckets[h & mask].push_back(BucketEntry{i, h});
  }
  BucketWork work;
  work.shards = shards;
  work.terms = terms;
  work.buckets = &buckets;
  for (uint32_t s = 0; s < shard_count; ++s) {
    if (!buckets[s].empty()) work.items.push_back(s);
  }
  work.results.resize(work.items.size());
  const size_t t = std::min(workers, work.items.size());
  work.next.store(t + 1);

  // The threads are joined before `work` goes, on every path: the
  // destructors of `threads` join any still running.
  std::vector<std::optional<PendingError>> thread_failures(t);
  std::vector<LookupThread> threads(t);
  start_threads(
      &threads,
      [&work, &thread_failures](size_t k) {
        try {
          thread_failures[k] = work.run(k);
        } catch (...) {
          work.failed.store(true);
          throw;
        }
      },
      &work.failed);
  // The calling thread's failure comes first, then the threads' in start
  // order; every thread is joined before the call returns, also after a
  // failure, so none holds a handle past the call.
  std::optional<PendingError> failure;
  try {
    failure = work.run(t);
  } catch (...) {
    // A panic here still waits for the threads (their destructors join).
    work.failed.store(true);
    throw;
  }
  for (size_t k = 0; k < t; ++k) {
    threads[k].join();
    if (failure) continue;
    if (threads[k].panicked()) {
      failure.emplace(PendingError::runtime_static(kLookupThreadPanicked));
    } else if (thread_failures[k]) {
      failure = std::move(thread_failures[k]);
    }
  }
  if (failure) return Err{std::move(*failure)};
  return merge_in_input_order(work.results, terms.size());
}

// The CURIE rows of `ids` (ascending), split into contiguous chunks over
// lookup threads when there are many; each chunk is one read transaction in
// ascending id order. The first failing chunk's failure wins, which is the
// smallest missing id's.
Result<std::vector<CurieRow>, PendingError> hydrate_rows_in_chunks(
    const storage::ReadOnlyDatabase& db, std::span<const uint32_t> ids, size_t workers) {
  constexpr size_t kMinChunk = 8192;
  const size_t chunks = std::min(workers, std::max<size_t>(1, ids.size() / kMinChunk));
  if (chunks < 2) return hydrate_curie_rows(db, ids);
  auto chunk = [&](size_t k) {
    const size_t begin = ids.size() * k / chunks;
    return ids.subspan(begin, ids.size() * (k + 1) / chunks - begin);
  };
  std::vector<std::optional<Result<std::vector<CurieRow>, PendingError>>> parts(chunks);
  std::atomic<bool> unused{false};
  std::vector<LookupThread> threads(chunks - 1);
  start_threads(
      &threads, [&](size_t k) { parts[k + 1].emplace(hydrate_curie_rows(db, chunk(k + 1))); },
      &unused);
  parts[0].emplace(hydrate_curie_rows(db, chunk(0)));
  for (LookupThread& t : threads) t.join();
  std::vector<CurieRow> rows;
  rows.reserve(ids.size());
  for (size_t k = 0; k < chunks; ++k) {
    if (k > 0 && threads[k - 1].panicked()) {
      return Err{PendingError::runtime_static(kLookupThreadPanicked)};
    }
    Result<std::vector<CurieRow>, PendingError>& part = *parts[k];
    if (!part.ok()) return Err{std::move(part).error()};
    for (CurieRow& row : part.value()) rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

// ---- worker counts ----

size_t default_lookup_workers(size_t term_count) {
  if (term_count < LOOKUP_PARALLEL_MIN) return 1;
  return available_cpus();
}

size_t lookup_worker_count(std::optional<uint64_t> threads, size_t term_count) {
  uint64_t w = threads ? std::max<uint64_t>(*threads, 1) : default_lookup_workers(term_count);
  return static_cast<size_t>(std::min<uint64_t>(std::max<size_t>(term_count, 1), w));
}

// ---- results ----

void PairResult::add(size_t index, const RecordView& record) {
  hits_.push_back(Hit{index, postings_.size(), record.posting_count()});
  record.append_postings(&postings_);
}

void PairResult::add_postings(size_t index, std::span<const Posting> postings) {
  hits_.push_back(Hit{index, postings_.size(), postings.size()});
  postings_.insert(postings_.end(), postings.begin(), postings.end());
}

void PairResult::reserve(size_t hits) { hits_.reserve(hits); }

FullmapRecord LookupRows::record(size_t i, size_t j) const {
  const size_t p = pairs_.hits()[i].first + j;
  const Posting posting = pairs_.all_postings()[p];
  const Curie& c = curies_[curie_of_posting_[p]];
  return FullmapRecord{c.curie,
                       c.preferred_name,
                       category_names_[c.category],
                       int64_t{c.taxon_id},
                       source_names_[posting.source_id],
                       kSourceVersion};
}

LookupTestHooks& lookup_test_hooks() {
  static LookupTestHooks hooks;
  return hooks;
}

// ---- lookups ----

Result<PairResult, PendingError> lookup_shard_bucket(const storage::ReadOnlyDatabase& db,
                                                     std::span<const std::string_view> terms,
                                                     std::span<const BucketEntry> bucket) {
  TRY_ASSIGN(storage::ReadTransaction txn, db.begin_read());
  TRY_ASSIGN(RecordsTable table, open_records(txn));
  PairResult out;
  for (const BucketEntry& e : bucket) {
    TRY(find_term(table, e.hash, terms[e.index], e.index, &out));
  }
  return out;
}

Result<PairResult, PendingError> lookup_pair_chunk(std::span<const DatabaseHandle> shards,
                                                   std::span<const std::string_view> terms) {
  std::vector<storage::ReadTransaction> txns;
  txns.reserve(shards.size());
  for (const DatabaseHandle& s : shards) {
    TRY_ASSIGN(storage::ReadTransaction txn, s->begin_read());
    txns.push_back(std::move(txn));
  }
  std::vector<RecordsTable> tables;
  tables.reserve(shards.size());
  for (const storage::ReadTransaction& txn : txns) {
    TRY_ASSIGN(RecordsTable table, open_records(txn));
    tables.push_back(std::move(table));
  }
  const uint64_t mask = shards.size() - 1;
  PairResult out;
  for (size_t i = 0; i < terms.size(); ++i) {
    const uint64_t h = xxh64_hash(terms[i]);
    TRY(find_term(tables[h & mask], h, terms[i], i, &out));
  }
  return out;
}

Result<PairResult, PendingError> lookup_pair_terms_db(std::span<const DatabaseHandle> shards,
                                                      std::span<const std::string_view> terms,
                                                      size_t workers) {
  if (terms.empty()) return PairResult();
  // A routing count is a power of two and at least 1 (pinning makes it so).
  STORAGE_ASSERT(!shards.empty() && (shards.size() & (shards.size() - 1)) == 0);
  if (shards.size() < 2 || terms.size() == 1 || workers < 2) {
    return lookup_pair_chunk(shards, terms);
  }
  return lookup_parallel(shards, terms, workers);
}

Result<PairResult, PendingError> lookup_pair_terms(const std::string& db,
                                                   std::span<const std::string_view> terms,
                                                   std::optional<uint64_t> threads) {
  TRY_ASSIGN(PinnedBundle bundle, open_cached_shards(db));
  return lookup_pair_terms_db(bundle.shards, terms, lookup_worker_count(threads, terms.size()));
}

Result<LookupRows, PendingError> hydrate_lookup_rows(const DatabaseHandle& primary,
                                                     PairResult pairs, size_t workers) {
  LookupRows rows;
  TRY_ASSIGN(auto prefixes, load_string_table(*primary, kPrefixesTable));
  TRY_ASSIGN(auto categories, load_string_table(*primary, kCategoriesTable));
  TRY_ASSIGN(auto sources, load_sources(*primary));

  const ModuleVector<Posting>& postings = pairs.all_postings();
  // The distinct ids, ascending, and per posting the index of its id among
  // them. Ids are dense from 0 in a built fullmap: while the largest is
  // within reach of the posting count, a table indexed by id does both in
  // linear time; otherwise sort and search.
  ModuleVector<uint32_t> ids;
  ModuleVector<uint32_t> slot_of_id;
  uint32_t max_id = 0;
  for (const Posting& p : postings) max_id = std::max(max_id, p.curie_id);
  const bool by_table = uint64_t{max_id} < 4 * uint64_t{postings.size()} + 65536;
  constexpr uint32_t kAbsent = std::numeric_limits<uint32_t>::max();
  if (by_table) {
    slot_of_id.assign(size_t{max_id} + 1, kAbsent);
    for (const Posting& p : postings) slot_of_id[p.curie_id] = 0;
    for (size_t id = 0; id <= max_id && !postings.empty(); ++id) {
      if (slot_of_id[id] == kAbsent) continue;
      slot_of_id[id] = static_cast<uint32_t>(ids.size());
      ids.push_back(static_cast<uint32_t>(id));
    }
  } else {
    ids.resize(postings.size());
    for (size_t p = 0; p < postings.size(); ++p) ids[p] = postings[p].curie_id;
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  }
  auto index_of = [&](uint32_t id) -> size_t {
    if (by_table) return slot_of_id[id];
    return static_cast<size_t>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin());
  };
  TRY_ASSIGN(std::vector<CurieRow> stored, hydrate_rows_in_chunks(*primary, ids, workers));

  // Per distinct CURIE: its text, and whether its ids resolve (checked below
  // per posting, in posting order, so the first failure is the one the
  // postings' order meets).
  constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
  std::vector<uint32_t> category_slot(65536, kNone);
  rows.curies_.resize(ids.size());
  std::vector<uint8_t> prefix_missing(ids.size(), 0);
  for (size_t k = 0; k < ids.size(); ++k) {
    CurieRow& row = stored[k];
    LookupRows::Curie& c = rows.curies_[k];
    auto prefix = prefixes.find(row.prefix_id);
    if (prefix == prefixes.end()) {
      prefix_missing[k] = 1;
    } else {
      c.curie.reserve(prefix->second.size() + 1 + row.local_id.size());
      c.curie.append(prefix->second).append(":").append(row.local_id);
    }
    uint32_t& slot = category_slot[row.category_id];
    if (slot == kNone) {
      auto category = categories.find(row.category_id);
      if (category != categories.end()) {
        slot = static_cast<uint32_t>(rows.category_names_.size());
        rows.category_names_.push_back(category->second);
      }
    }
    c.category = slot;
    c.preferred_name = std::move(row.preferred_name);
    c.taxon_id = row.taxon_id;
  }
  std::array<bool, 256> source_known{};
  rows.source_names_.resize(256);
  for (const auto& [id, name] : sources) {
    source_known[id] = true;
    rows.source_names_[id] = name;
  }

  rows.curie_of_posting_.resize(postings.size());
  for (size_t p = 0; p < postings.size(); ++p) {
    const Posting posting = postings[p];
    const size_t k = index_of(posting.curie_id);
    if (prefix_missing[k]) {
      return Err{PendingError::runtime("missing prefix id " +
                                       std::to_string(stored[k].prefix_id))};
    }
    if (rows.curies_[k].category == kNone) {
      return Err{PendingError::runtime("missing category id " +
                                       std::to_string(stored[k].category_id))};
    }
    if (!source_known[posting.source_id]) {
      return Err{PendingError::runtime("missing source id " +
                                       std::to_string(posting.source_id))};
    }
    rows.curie_of_posting_[p] = static_cast<uint32_t>(k);
  }
  rows.pairs_ = std::move(pairs);
  return rows;
}

Result<LookupRows, PendingError> lookup_terms(const std::string& db,
                                              std::span<const std::string_view> terms,
                                              std::optional<uint64_t> threads) {
  // Names, shards and CURIE rows from one pinned generation.
  TRY_ASSIGN(PinnedBundle bundle, open_cached_shards(db));
  const size_t workers = lookup_worker_count(threads, terms.size());
  TRY_ASSIGN(PairResult pairs, lookup_pair_terms_db(bundle.shards, terms, workers));
  return hydrate_lookup_rows(bundle.primary, std::move(pairs), workers);
}

}  // namespace rs::fullmap
