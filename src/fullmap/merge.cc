#include "src/fullmap/merge.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "src/fullmap/pool.h"
#include "src/fullmap/run_reduce.h"
#include "src/xxh64.h"
#include "storage/src/panic.h"

namespace rs::fullmap {
namespace {

using storage::Err;
using storage::IoError;

constexpr size_t kMaxRunFanIn = 32;
constexpr uint64_t kReservedFds = 128;

// A reader's buffer: no larger than the file, so that merges of many small
// runs stay small.
size_t buffer_for(const std::string& path) {
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  if (ec) return kSpillReadBufferBytes;
  return static_cast<size_t>(std::clamp<uint64_t>(size, 4096, kSpillReadBufferBytes));
}

std::string intermediate_path(const MergeOptions& options, uint64_t n) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(n));
  std::string out = options.scratch_dir;
  if (!out.empty() && out.back() != '/') out += '/';
  out += "merge_" + options.scratch_tag + "_" + digits + ".bin";
  return out;
}

void unlink_all(const std::vector<std::string>& paths) {
  for (const std::string& p : paths) (void)::unlink(p.c_str());
}

IoResult<void> write_curie_frame(SpillWriter* out, const CurieMerge::Row& row) {
  TRY_ASSIGN(uint32_t n, frame_field(row.row.size(), "CURIE row length"));
  TRY(out->write_u32(row.curie_id));
  TRY(out->write_u32(row.position.file));
  TRY(out->write_u64(row.position.line));
  TRY(out->write_u32(n));
  return out->write(row.row.data(), row.row.size());
}

}  // namespace

size_t run_fan_in(uint64_t soft, size_t parallel) {
  const uint64_t spare = soft > kReservedFds ? soft - kReservedFds : 0;
  return static_cast<size_t>(
      std::clamp<uint64_t>(spare / std::max<size_t>(parallel, 1), 2, kMaxRunFanIn));
}

size_t run_fan_in(size_t parallel) {
  struct rlimit lim;
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return run_fan_in(uint64_t{0}, parallel);
  return run_fan_in(lim.rlim_cur == RLIM_INFINITY ? UINT64_MAX : lim.rlim_cur, parallel);
}

// ---- TermRunWriter ----

IoResult<TermRunWriter> TermRunWriter::create(const std::string& path) {
  TRY_ASSIGN(SpillWriter out, SpillWriter::create(path));
  return TermRunWriter(std::move(out));
}

IoResult<void> TermRunWriter::write(std::string_view term, std::span<const Posting> postings) {
  TRY_ASSIGN(uint32_t t, frame_field(term.size(), "term"));
  TRY_ASSIGN(uint32_t p, frame_field(postings.size(), "posting count"));
  TRY(out_.write_u32(t));
  TRY(out_.write(term.data(), term.size()));
  TRY(out_.write_u32(p));
  // An empty span may have no storage behind it at all.
  if (postings.empty()) return {};
  return out_.write(postings.data(), postings.size() * kPostingBytes);
}

// ---- MergeHeap ----

IoResult<MergeHeap> MergeHeap::open(std::span<const std::string> runs,
                                    const MergeOptions& options) {
  MergeHeap heap;
  heap.hash_ = options.hash != nullptr ? options.hash : &xxh64_hash;
  MergeGroup group = [&options](std::span<const std::string> part,
                                const std::string& out) -> IoResult<void> {
    MergeOptions flat = options;
    flat.fan_in = part.size();
    TRY_ASSIGN(MergeHeap sub, MergeHeap::open(part, flat));
    TRY_ASSIGN(TermRunWriter writer, TermRunWriter::create(out));
    for (;;) {
      TRY_ASSIGN(std::optional<Term> t, sub.next());
      if (!t) break;
      TRY(writer.write(t->term, t->postings));
    }
    return writer.finish();
  };
  std::vector<std::string> intermediates;
  TRY_ASSIGN(std::vector<std::string> paths,
             reduce_runs(std::vector<std::string>(runs.begin(), runs.end()), options.fan_in,
                         [&](uint64_t n) { return intermediate_path(options, n); }, group,
                         &intermediates));
  heap.intermediates_ = std::move(intermediates);
  heap.readers_.reserve(paths.size());
  heap.entries_.resize(paths.size());
  for (const std::string& path : paths) {
    TRY_ASSIGN(RunReader r, RunReader::open(path, buffer_for(path)));
    heap.readers_.push_back(std::move(r));
  }
  for (uint32_t i = 0; i < heap.readers_.size(); ++i) TRY(heap.advance(i));
  return heap;
}

MergeHeap::~MergeHeap() {
  readers_.clear();
  unlink_all(intermediates_);
}

bool MergeHeap::after(uint32_t a, uint32_t b) const {
  const Entry& x = entries_[a];
  const Entry& y = entries_[b];
  if (x.hash != y.hash) return x.hash > y.hash;
  const int c = x.term.compare(y.term);
  if (c != 0) return c > 0;
  return a < b;
}

IoResult<void> MergeHeap::advance(uint32_t run) {
  TRY_ASSIGN(std::optional<TermFrame> frame, readers_[run].read_frame());
  if (!frame) return {};
  Entry& e = entries_[run];
  e.term.assign(frame->term);
  e.postings.assign(frame->postings.begin(), frame->postings.end());
  e.hash = hash_(e.term);
  heap_.push_back(run);
  std::push_heap(heap_.begin(), heap_.end(),
                 [this](uint32_t a, uint32_t b) { return after(a, b); });
  return {};
}

IoResult<std::optional<MergeHeap::Term>> MergeHeap::next() {
  auto cmp = [this](uint32_t a, uint32_t b) { return after(a, b); };
  // The runs taken last time move on only now: their bytes were lent out.
  for (uint32_t r : taken_) TRY(advance(r));
  taken_.clear();
  if (heap_.empty()) return std::optional<Term>();
  std::pop_heap(heap_.begin(), heap_.end(), cmp);
  const uint32_t first = heap_.back();
  heap_.pop_back();
  taken_.push_back(first);
  const Entry& top = entries_[first];
  while (!heap_.empty()) {
    const Entry& e = entries_[heap_.front()];
    if (e.hash != top.hash || e.term != top.term) break;
    std::pop_heap(heap_.begin(), heap_.end(), cmp);
    taken_.push_back(heap_.back());
    heap_.pop_back();
  }
  std::span<const Posting> postings = top.postings;
  if (taken_.size() > 1) {
    postings_.clear();
    for (uint32_t r : taken_) {
      postings_.insert(postings_.end(), entries_[r].postings.begin(),
                       entries_[r].postings.end());
    }
    sort_unique_postings(&postings_);
    postings = postings_;
  } else if (!std::is_sorted(postings.begin(), postings.end()) ||
             std::adjacent_find(postings.begin(), postings.end()) != postings.end()) {
    // A run holds its postings sorted; a damaged one is mended, not trusted.
    postings_.assign(postings.begin(), postings.end());
    sort_unique_postings(&postings_);
    postings = postings_;
  }
  return std::optional<Term>(Term{top.hash, top.term, postings});
}

// ---- ShardRecords ----

IoResult<ShardRecords> ShardRecords::open(std::span<const std::string> runs,
                                          const MergeOptions& options) {
  TRY_ASSIGN(MergeHeap heap, MergeHeap::open(runs, options));
  return ShardRecords(std::move(heap));
}

IoResult<bool> ShardRecords::next(uint64_t* key, std::string_view* value) {
  if (done_) return false;
  if (!pending_) {
    TRY_ASSIGN(pending_, heap_.next());
    if (!pending_) {
      done_ = true;
      return false;
    }
  }
  const uint64_t hash = pending_->hash;
  size_t n = 0;
  // Terms of one hash come out in ascending byte order: chained as they come.
  while (pending_ && pending_->hash == hash) {
    if (terms_.size() <= n) {
      terms_.emplace_back();
      postings_.emplace_back();
    }
    terms_[n].assign(pending_->term);
    postings_[n].assign(pending_->postings.begin(), pending_->postings.end());
    ++n;
    TRY_ASSIGN(pending_, heap_.next());
  }
  if (!pending_) done_ = true;
  entries_.clear();
  for (size_t i = 0; i < n; ++i) entries_.push_back(RecordEntry{terms_[i], postings_[i]});
  value_.clear();
  encode_record_chain(entries_, &value_);
  *key = hash;
  *value = value_;
  return true;
}

// ---- RecordBatch ----

RecordBatch::RecordBatch(size_t insert_batch) {
  index_.reserve(insert_batch == 0 ? kMaxBatchReserve
                                   : std::min(insert_batch, kMaxBatchReserve));
}

void RecordBatch::push(uint64_t key, std::string_view value) {
  if (last_key_ && key <= *last_key_) {
    storage::panic("record keys out of order: " + std::to_string(key) + " after " +
                   std::to_string(*last_key_));
  }
  last_key_ = key;
  index_.push_back(Index{key, bytes_.size(), value.size()});
  bytes_.append(value);
}

void RecordBatch::clear() {
  index_.clear();
  bytes_.clear();
}

IoResult<bool> fill_batch(ShardRecords* records, RecordBatch* batch, size_t insert_batch) {
  uint64_t key;
  std::string_view value;
  while (insert_batch == 0 || batch->size() < insert_batch) {
    TRY_ASSIGN(bool more, records->next(&key, &value));
    if (!more) return false;
    batch->push(key, value);
  }
  return true;
}

uint64_t count_term_run_frames(std::span<const std::vector<std::string>> term_runs) {
  std::vector<const std::string*> paths;
  for (const auto& shard : term_runs) {
    for (const std::string& p : shard) paths.push_back(&p);
  }
  // Reading every run is the build's last serial step before the writers
  // start: the runs are counted in parallel on the calling pool.
  std::vector<uint64_t> counts(paths.size(), 0);
  parallel_for(paths.size(), [&](size_t i) {
    IoResult<uint64_t> n = count_run_frames(*paths[i]);
    if (n.ok()) counts[i] = *n;
  });
  uint64_t sum = 0;
  for (uint64_t n : counts) sum += n;
  return sum;
}

// ---- CurieMerge ----

IoResult<CurieMerge> CurieMerge::open(std::span<const std::string> runs,
                                      const MergeOptions& options) {
  MergeGroup group = [&options](std::span<const std::string> part,
                                const std::string& out) -> IoResult<void> {
    MergeOptions flat = options;
    flat.fan_in = part.size();
    TRY_ASSIGN(CurieMerge sub, CurieMerge::open(part, flat));
    TRY_ASSIGN(SpillWriter writer, SpillWriter::create(out));
    for (;;) {
      TRY_ASSIGN(std::optional<Row> row, sub.next());
      if (!row) break;
      TRY(write_curie_frame(&writer, *row));
    }
    return writer.finish();
  };
  CurieMerge merge;
  std::vector<std::string> intermediates;
  TRY_ASSIGN(std::vector<std::string> paths,
             reduce_runs(std::vector<std::string>(runs.begin(), runs.end()), options.fan_in,
                         [&](uint64_t n) { return intermediate_path(options, n); }, group,
                         &intermediates));
  merge.intermediates_ = std::move(intermediates);
  merge.readers_.reserve(paths.size());
  merge.entries_.resize(paths.size());
  for (const std::string& path : paths) {
    TRY_ASSIGN(CurieRunReader r, CurieRunReader::open(path, buffer_for(path)));
    merge.readers_.push_back(std::move(r));
  }
  for (uint32_t i = 0; i < merge.readers_.size(); ++i) TRY(merge.advance(i));
  return merge;
}

CurieMerge::~CurieMerge() {
  readers_.clear();
  unlink_all(intermediates_);
}

bool CurieMerge::after(uint32_t a, uint32_t b) const {
  const Entry& x = entries_[a];
  const Entry& y = entries_[b];
  if (x.curie_id != y.curie_id) return x.curie_id > y.curie_id;
  if (x.position != y.position) return x.position > y.position;
  return a > b;
}

IoResult<void> CurieMerge::advance(uint32_t run) {
  TRY_ASSIGN(std::optional<CurieFrame> frame, readers_[run].next_row());
  if (!frame) return {};
  Entry& e = entries_[run];
  e.curie_id = frame->curie_id;
  e.position = frame->position;
  e.row.assign(frame->row);
  heap_.push_back(run);
  std::push_heap(heap_.begin(), heap_.end(),
                 [this](uint32_t a, uint32_t b) { return after(a, b); });
  return {};
}

IoResult<std::optional<CurieMerge::Row>> CurieMerge::next() {
  auto cmp = [this](uint32_t a, uint32_t b) { return after(a, b); };
  std::optional<uint32_t> last;
  if (lent_) {
    const uint32_t r = *lent_;
    last = entries_[r].curie_id;
    lent_.reset();
    TRY(advance(r));
  }
  // Later rows of the CURIE just handed out lose to it, its earliest.
  while (last && !heap_.empty() && entries_[heap_.front()].curie_id == *last) {
    std::pop_heap(heap_.begin(), heap_.end(), cmp);
    const uint32_t r = heap_.back();
    heap_.pop_back();
    TRY(advance(r));
  }
  if (heap_.empty()) return std::optional<Row>();
  std::pop_heap(heap_.begin(), heap_.end(), cmp);
  const uint32_t first = heap_.back();
  heap_.pop_back();
  lent_ = first;
  const Entry& e = entries_[first];
  return std::optional<Row>(Row{e.curie_id, e.position, e.row});
}

}  // namespace rs::fullmap
