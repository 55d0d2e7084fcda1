#include "src/fullmap/ingest.h"

#include <cxxabi.h>
#include <xxhash.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

#include "src/byte_buffer.h"
#include "src/fullmap/input.h"
#include "src/fullmap/rows.h"
#include "src/fullmap/thread.h"
#include "src/module_alloc.h"
#include "src/utf8.h"
#include "src/xxh64.h"
#include "storage/src/panic.h"

namespace rs::fullmap {
namespace {

using storage::Err;
using storage::Result;

constexpr const char kTooManyCuries[] = "too many fullmap CURIEs";
constexpr const char kTooManySources[] = "too many fullmap sources";
constexpr const char kPoisoned[] = "poisoned lock: another task failed inside";
// Rows a consumer parses between two looks at whether the build was stopped
// (a batch holds a chunk of lines, tens of milliseconds of work).
constexpr size_t kStopPointRows = 4096;
// " · " (U+00B7 between blanks) in the ingestion reports.
constexpr std::string_view kDot = " \xC2\xB7 ";

template <typename G>
auto&& unpoisoned(G&& guard) {
  if (!guard.ok()) storage::panic(kPoisoned);
  return std::forward<G>(guard).value();
}

// Lines of one file, sent together: owned bytes back to back, each with its
// line number.
struct Batch {
  struct Line {
    size_t begin;
    size_t size;
    uint64_t number;
  };
  uint32_t file = 0;
  uint8_t source = 0;
  std::unique_ptr<ByteBuffer> bytes;
  std::vector<Line> lines;

  // A batch sized for about `chunk_bytes` of lines, so that filling it copies
  // nothing again (bounded, for a very large setting).
  static Batch start(uint32_t file, uint8_t source, size_t chunk_bytes) {
    Batch b;
    b.file = file;
    b.source = source;
    b.bytes = std::make_unique<ByteBuffer>(std::clamp<size_t>(chunk_bytes + 4096, 4096, 16 << 20));
    return b;
  }

  std::string_view line(const Line& l) const { return {bytes->data() + l.begin, l.size}; }
};

// A bounded channel of batches with counted ends: receiving ends once every
// sender is gone and the queue is empty; sending fails once every receiver is
// gone, so producers never wait for consumers that have all stopped.
class BatchChannel {
 public:
  BatchChannel(size_t capacity, size_t senders, size_t receivers)
      : capacity_(capacity), senders_(senders), receivers_(receivers) {}

  // False when no receiver is left (the batch is dropped).
  bool send(Batch batch) {
    std::unique_lock lock(mu_);
    not_full_.wait(lock, [&] { return queue_.size() < capacity_ || receivers_ == 0; });
    if (receivers_ == 0) return false;
    queue_.push_back(std::move(batch));
    not_empty_.notify_one();
    return true;
  }

  // The next batch; nullopt once every sender is gone and nothing is queued.
  std::optional<Batch> recv() {
    std::unique_lock lock(mu_);
    not_empty_.wait(lock, [&] { return !queue_.empty() || senders_ == 0; });
    if (queue_.empty()) return std::nullopt;
    Batch b = std::move(queue_.front());
    queue_.pop_front();
    not_full_.notify_one();
    return b;
  }

  void drop_senders(size_t n) {
    std::lock_guard lock(mu_);
    senders_ -= std::min(n, senders_);
    if (senders_ == 0) not_empty_.notify_all();
  }
  void drop_receivers(size_t n) {
    std::lock_guard lock(mu_);
    receivers_ -= std::min(n, receivers_);
    if (receivers_ == 0) {
      queue_.clear();
      not_full_.notify_all();
    }
  }

 private:
  std::mutex mu_;
  std::condition_variable not_full_;
  std::condition_variable not_empty_;
  std::deque<Batch> queue_;
  size_t capacity_;
  size_t senders_;
  size_t receivers_;
};

struct ProducerState {
  const IngestInput* input;
  const SourceTable* sources;
  BatchChannel* channel;
  std::atomic<size_t> next_file{0};
  ProgressCounter lines_queued;
  uint64_t files_done = 0;  // under lines_queued's mutex
};

struct IngestState {
  const IngestInput* input;
  ShardedMap prefixes{"too many fullmap prefixes"};
  ShardedMap categories{"too many fullmap categories"};
  CurieIdTable curies;
  std::atomic<uint64_t> term_run_seq{0};
  std::atomic<uint64_t> curie_run_seq{0};
  storage::RwLock<std::vector<std::vector<std::string>>> term_runs;
  storage::RwLock<std::vector<std::string>> curie_runs;
  BatchChannel* channel;
  std::mutex receiver;  // one consumer at a time waits on the channel

  explicit IngestState(const IngestInput* in, BatchChannel* ch)
      : input(in), curies(in->first_curie_id),
        term_runs(std::vector<std::vector<std::string>>(in->shard_count)), channel(ch) {}
};

Result<void, PendingError> send_batch(ProducerState* state, Batch* batch) {
  Batch out = std::move(*batch);
  *batch = Batch::start(out.file, out.source, state->input->chunk_bytes);
  if (!state->channel->send(std::move(out))) return Err{PendingError(ChannelClosed{})};
  return {};
}

Result<void, PendingError> produce_file(size_t index, ProducerState* state) {
  const IngestInput& in = *state->input;
  const std::string& path = in.synonyms[index];
  const std::string name = source_name(path);
  const uint8_t source = state->sources->ids.at(name);
  TRY_ASSIGN(std::unique_ptr<InputStream> stream, open_reader(path));
  LineReader lines(std::move(stream), 8192);
  Batch batch = Batch::start(static_cast<uint32_t>(index), source, in.chunk_bytes);
  size_t batch_bytes = 0;
  // In the last two chunks of a plain file the batches shrink to an eighth of
  // a chunk: the file's last lines then spread over the consumers instead of
  // keeping one busy with a whole chunk while the others wait.
  const uint64_t size = plain_file_size(path);
  uint64_t read = 0;  // about: the lines' bytes and a line feed each
  std::string_view line;
  for (;;) {
    TRY_ASSIGN(bool more, lines.next(&line));
    if (!more) break;
    batch.lines.push_back(Batch::Line{batch.bytes->size(), line.size(), lines.line_number()});
    batch.bytes->append(line);
    batch_bytes += line.size();
    read += line.size() + 1;
    const bool tail = size != 0 && size - std::min(read, size) <= 2 * uint64_t{in.chunk_bytes};
    if (batch_bytes >= (tail ? in.chunk_bytes / 8 : in.chunk_bytes)) {
      const uint64_t count = batch.lines.size();
      TRY(send_batch(state, &batch));
      batch_bytes = 0;
      state->lines_queued.add(in.progress, count, [&](uint64_t queued) {
        report(in.progress, kProgressIngestion, queued, 0,
               name + std::string(kDot) + std::to_string(queued) + " rows");
      });
    }
  }
  const uint64_t count = batch.lines.size();
  if (count > 0) TRY(send_batch(state, &batch));
  state->lines_queued.add(in.progress, count, [&](uint64_t queued) {
    const uint64_t done = ++state->files_done;
    report(in.progress, kProgressIngestion, queued, 0,
           name + std::string(kDot) + std::to_string(queued) + " rows (" + std::to_string(done) +
               "/" + std::to_string(in.synonyms.size()) + " files)");
  });
  return {};
}

Result<void, PendingError> producer_loop(ProducerState* state) {
  for (;;) {
    const size_t i = state->next_file.fetch_add(1);
    if (i >= state->input->synonyms.size()) return {};
    TRY(produce_file(i, state));
  }
}

// One consumer's buffers and parser.
struct WorkerBuf {
  TermMap terms;
  std::vector<QueuedCurie> curie_rows;
  RowParser parser;
  SynonymRow row;
};

Result<void, PendingError> spill_terms(IngestState* state, WorkerBuf* buf) {
  const IngestInput& in = *state->input;
  TRY_ASSIGN(std::vector<RunFile> files,
             spill_run(&buf->terms, in.spill_dir, state->term_run_seq.fetch_add(1),
                       in.shard_count));
  if (files.empty()) return {};
  auto guard = unpoisoned(state->term_runs.write());
  for (RunFile& f : files) (*guard)[f.shard].push_back(std::move(f.path));
  return {};
}

Result<void, PendingError> spill_curies(IngestState* state, WorkerBuf* buf) {
  TRY_ASSIGN(std::string path, spill_curie_run(&buf->curie_rows, state->input->spill_dir,
                                               state->curie_run_seq.fetch_add(1)));
  unpoisoned(state->curie_runs.write())->push_back(std::move(path));
  return {};
}

Result<void, PendingError> process_row(IngestState* state, WorkerBuf* buf, std::string_view line,
                                       uint8_t source, InputPosition position) {
  const IngestInput& in = *state->input;
  SynonymRow& row = buf->row;
  TRY(buf->parser.parse(line, &row));
  if (!row.curie) return {};
  const std::string_view curie = *row.curie;
  const size_t colon = curie.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == curie.size()) return {};
  const std::string_view prefix = curie.substr(0, colon);
  const std::string_view local_id = curie.substr(colon + 1);
  if (in.exclude_prefixes != nullptr && !in.exclude_prefixes->empty() &&
      in.exclude_prefixes->find(prefix) != in.exclude_prefixes->end()) {
    return {};
  }
  const uint16_t prefix_id = state->prefixes.intern(prefix);
  std::string_view category = row.types.empty() ? std::string_view("NamedThing") : row.types[0];
  while (category.starts_with("biolink:")) category.remove_prefix(8);
  const uint16_t category_id = state->categories.intern(category);
  const int32_t taxon = parse_taxon(row.taxa.empty() ? std::string_view() : row.taxa[0]);

  TRY_ASSIGN(CurieIdTable::Seen seen, state->curies.intern(curie, position));
  if (seen.queue_row) {
    const std::string_view preferred = clean_slice(row.preferred_name.value_or(curie));
    buf->curie_rows.push_back(QueuedCurie{
        seen.id, position,
        CurieRow{prefix_id, std::string(local_id), std::string(preferred), category_id, taxon}});
  }
  // Keys are probed in groups, their table slots fetched ahead, also across
  // rows.
  for (std::string_view name : row.names) emit_term_queued(name, seen.id, source, &buf->terms);
  emit_term_queued(curie, seen.id, source, &buf->terms);
  if (in.equiv != nullptr) {
    in.equiv->lookup(curie, [&](std::string_view id) {
      emit_term_queued(id, seen.id, source, &buf->terms);
    });
  }
  // Exact all the same: the map can reach the limit only once its queue is in.
  if (buf->terms.size() + buf->terms.queued() >= in.local_spill_entries) {
    buf->terms.flush();
    if (buf->terms.size() >= in.local_spill_entries) TRY(spill_terms(state, buf));
  }
  if (buf->curie_rows.size() >= in.curie_spill_entries) TRY(spill_curies(state, buf));
  return {};
}

Result<void, PendingError> worker_loop(IngestState* state) {
  WorkerBuf buf;
  for (;;) {
    std::optional<Batch> batch;
    {
      std::lock_guard lock(state->receiver);
      batch = state->channel->recv();
    }
    if (!batch) break;
    for (size_t i = 0; i < batch->lines.size(); ++i) {
      if (i % kStopPointRows == 0) stop_point();
      const Batch::Line& l = batch->lines[i];
      TRY(process_row(state, &buf, batch->line(l), batch->source,
                      InputPosition{batch->file, l.number}));
    }
  }
  buf.terms.flush();
  if (!buf.terms.empty()) TRY(spill_terms(state, &buf));
  if (!buf.curie_rows.empty()) TRY(spill_curies(state, &buf));
  return {};
}

// Runs `body`; a panic (any exception) on the thread becomes the fixed error.
template <typename F>
Result<void, PendingError> guarded(F&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return Err{PendingError::runtime_static(kWorkerPanicked)};
  }
}

}  // namespace

// ---- names and tables ----

std::string source_name(const std::string& path) {
  const std::string_view name = last_component(path);
  std::string_view stem;
  if (!name.empty()) {
    size_t dot = name.rfind('.');
    stem = (dot == std::string_view::npos || dot == 0) ? name : name.substr(0, dot);
  }
  std::string out = (stem.empty() || !utf8::is_valid(stem)) ? std::string("BABEL")
                                                             : std::string(stem);
  while (out.ends_with(".ndjson")) out.resize(out.size() - 7);
  return out;
}

Result<SourceTable, PendingError> register_sources(std::span<const std::string> paths) {
  SourceTable table;
  for (const std::string& path : paths) {
    if (table.names.size() >= kMaxSources) {
      return Err{PendingError::runtime_static(kTooManySources)};
    }
    std::string name = source_name(path);
    if (table.ids.find(name) != table.ids.end()) continue;
    table.ids.emplace(name, static_cast<uint8_t>(table.names.size()));
    table.names.push_back(std::move(name));
  }
  return table;
}

int32_t parse_taxon(std::string_view t) {
  while (t.starts_with("NCBITaxon:")) t.remove_prefix(10);
  bool negative = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    negative = t[0] == '-';
    t.remove_prefix(1);
  }
  if (t.empty()) return 0;
  int64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
    if (v > int64_t{INT32_MAX} + 1) return 0;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return 0;
  return static_cast<int32_t>(v);
}

ShardedMap::ShardedMap(const char* overflow) : overflow_(overflow) {}

uint16_t ShardedMap::intern(std::string_view text) {
  auto& shard = shards_[xxh64_hash(text) & (kInternShards - 1)];
  {
    auto guard = unpoisoned(shard.read());
    auto it = guard->find(text);
    if (it != guard->end()) return it->second;
  }
  auto guard = unpoisoned(shard.write());
  auto it = guard->find(text);
  if (it != guard->end()) return it->second;
  const uint32_t n = next_.fetch_add(1);
  if (n > UINT16_MAX) storage::panic(overflow_);
  guard->emplace(std::string(text), static_cast<uint16_t>(n));
  return static_cast<uint16_t>(n);
}

std::vector<std::string> ShardedMap::take_names() {
  std::vector<std::string> names(std::min<uint32_t>(next_.load(), uint32_t{UINT16_MAX} + 1));
  for (auto& shard : shards_) {
    auto guard = unpoisoned(shard.read());
    for (const auto& [text, id] : *guard) names[id] = text;
  }
  return names;
}

CurieIdTable::Shard::~Shard() { module_free(slots_); }

CurieIdTable::Shard::Slot* CurieIdTable::Shard::find(uint64_t lo, uint64_t hi) const {
  if (slots_ == nullptr) return nullptr;
  for (size_t i = home(lo, hi);; i = (i + 1) & mask_) {
    Slot* s = &slots_[i];
    if (s->lo == lo && s->hi == hi) return s;
    if (s->lo == 0 && s->hi == 0) return nullptr;
  }
}

void CurieIdTable::Shard::grow() {
  const size_t cap = slots_ == nullptr ? 64 : (mask_ + 1) * 2;
  auto* fresh = static_cast<Slot*>(module_malloc(cap * sizeof(Slot)));
  if (fresh == nullptr) throw std::bad_alloc();
  std::memset(fresh, 0, cap * sizeof(Slot));
  Slot* old = slots_;
  const size_t old_cap = old == nullptr ? 0 : mask_ + 1;
  slots_ = fresh;
  mask_ = cap - 1;
  for (size_t j = 0; j < old_cap; ++j) {
    const Slot& s = old[j];
    if (s.lo == 0 && s.hi == 0) continue;
    size_t i = home(s.lo, s.hi);
    while (slots_[i].lo != 0 || slots_[i].hi != 0) i = (i + 1) & mask_;
    slots_[i] = s;
  }
  module_free(old);
}

CurieIdTable::Shard::Slot* CurieIdTable::Shard::insert(uint64_t lo, uint64_t hi) {
  // At most 7/8 full, so probes stay short and always end at a free slot.
  if (slots_ == nullptr || (count_ + 1) * 8 > (mask_ + 1) * 7) grow();
  size_t i = home(lo, hi);
  while (slots_[i].lo != 0 || slots_[i].hi != 0) i = (i + 1) & mask_;
  ++count_;
  slots_[i].lo = lo;
  slots_[i].hi = hi;
  return &slots_[i];
}

Result<CurieIdTable::Seen, PendingError> CurieIdTable::intern(std::string_view curie,
                                                              InputPosition position) {
  const XXH128_hash_t x = XXH3_128bits(curie.data(), curie.size());
  const uint64_t lo = (x.low64 == 0 && x.high64 == 0) ? 1 : x.low64;
  const uint64_t hi = x.high64;
  auto earlier = [&](const Shard::Slot* s) {
    return position < InputPosition{s->file, s->line};
  };
  auto& shard = shards_[lo & (kInternShards - 1)];
  {
    auto guard = unpoisoned(shard.read());
    const Shard::Slot* s = guard->find(lo, hi);
    if (s != nullptr && !earlier(s)) return Seen{s->id, false};
  }
  auto guard = unpoisoned(shard.write());
  if (Shard::Slot* s = guard->find(lo, hi)) {
    if (!earlier(s)) return Seen{s->id, false};
    s->file = position.file;
    s->line = position.line;
    return Seen{s->id, true};
  }
  const uint64_t n = next_.fetch_add(1);
  if (n > UINT32_MAX) return Err{PendingError::runtime_static(kTooManyCuries)};
  Shard::Slot* s = guard->insert(lo, hi);
  s->id = static_cast<uint32_t>(n);
  s->file = position.file;
  s->line = position.line;
  return Seen{static_cast<uint32_t>(n), true};
}

// ---- the phase ----

IngestThreads ingest_threads(size_t workers, size_t producers, size_t synonym_files) {
  return IngestThreads{.consumers = std::max<size_t>(1, workers),
                       .producers = std::min(std::max<size_t>(producers, 1), synonym_files)};
}

Result<IngestResult, PendingError> process_synonyms(const IngestInput& input) {
  TRY_ASSIGN(SourceTable sources, register_sources(input.synonyms));
  const auto [consumers, producers] =
      ingest_threads(input.workers, input.producers, input.synonyms.size());
  // The calling thread holds one sending end until every thread is started.
  BatchChannel channel(consumers, producers + 1, consumers);
  IngestState state(&input, &channel);
  ProducerState pstate{.input = &input, .sources = &sources, .channel = &channel};

  const size_t total = consumers + producers;
  std::vector<std::optional<Result<void, PendingError>>> results(total);
  std::vector<SystemThread> threads(total);
  std::optional<storage::IoError> refused;
  for (size_t i = 0; i < total && !refused; ++i) {
    if (i < consumers) {
      refused = threads[i].start([&, i] {
        results[i] = guarded([&] { return worker_loop(&state); });
        channel.drop_receivers(1);
      });
    } else {
      refused = threads[i].start([&, i] {
        results[i] = guarded([&] { return producer_loop(&pstate); });
        channel.drop_senders(1);
      });
    }
  }
  if (refused) {
    // Nothing more is sent or received: every started thread ends.
    channel.drop_receivers(total);
    channel.drop_senders(total + 1);
  } else {
    channel.drop_senders(1);
  }
  for (SystemThread& t : threads) t.join();
  if (refused) panic_thread_refused(*refused);
  for (auto& r : results) {
    if (r && !r->ok()) return Err{std::move(*r).error()};
  }

  IngestResult out;
  out.prefixes = state.prefixes.take_names();
  out.categories = state.categories.take_names();
  out.sources = std::move(sources.names);
  out.curie_runs = std::move(*unpoisoned(state.curie_runs.write()));
  out.term_runs = std::move(*unpoisoned(state.term_runs.write()));
  return out;
}

}  // namespace rs::fullmap
