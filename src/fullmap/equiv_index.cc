#include "src/fullmap/equiv_index.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "src/fullmap/pool.h"
#include "src/fullmap/rows.h"
#include "src/fullmap/run_reduce.h"
#include "src/module_alloc.h"

namespace rs::fullmap {
namespace {

using storage::IoError;
using storage::Result;

constexpr size_t kInitialTable = 1024;
constexpr size_t kArenaChunk = 1 << 20;
constexpr size_t kMaxFanIn = 32;
constexpr uint64_t kReservedFds = 64;
// Values reserved up front from a count read from a run file.
constexpr uint32_t kMaxReserve = 1024;
constexpr std::string_view kTooLarge = "equivalence entry too large for its u32 length field";

std::string numbered(const std::string& dir, std::string_view stem, uint64_t n) {
  char digits[32];
  std::snprintf(digits, sizeof(digits), "%08llu", static_cast<unsigned long long>(n));
  std::string out = dir;
  out += '/';
  out += stem;
  out += digits;
  out += ".bin";
  return out;
}

Result<void, IoError> write_text(SpillWriter* out, std::string_view s) {
  if (s.size() > UINT32_MAX) return storage::Err{io_error(kTooLarge)};
  TRY(out->write_u32(static_cast<uint32_t>(s.size())));
  return out->write(s.data(), s.size());
}

// An entry of a run (with its hash) or of equiv_data.bin (without).
Result<void, IoError> write_entry(SpillWriter* out, bool with_hash, uint64_t hash,
                                  std::string_view key, std::span<const std::string_view> values) {
  if (with_hash) TRY(out->write_u64(hash));
  TRY(write_text(out, key));
  if (values.size() > UINT32_MAX) return storage::Err{io_error(kTooLarge)};
  TRY(out->write_u32(static_cast<uint32_t>(values.size())));
  for (std::string_view v : values) TRY(write_text(out, v));
  return {};
}

Result<void, IoError> make_dirs(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return storage::Err{os_error(ec.value())};
  return {};
}

// Merges `runs` into one new run at `out_path`.
Result<void, IoError> merge_into_run(std::span<const std::string> runs,
                                     const std::string& out_path) {
  TRY_ASSIGN(EquivMergeHeap heap, EquivMergeHeap::open(runs));
  TRY_ASSIGN(SpillWriter out, SpillWriter::create(out_path));
  uint64_t hash;
  std::string_view key;
  std::vector<std::string_view> values;
  for (;;) {
    TRY_ASSIGN(bool more, heap.next(&hash, &key, &values));
    if (!more) break;
    TRY(write_entry(&out, true, hash, key, values));
  }
  return out.finish();
}

// What the per-file tasks share.
struct BuildState {
  size_t spill_entries;
  std::string equiv_dir;
  std::atomic<uint64_t> run_counter{0};
  storage::RwLock<std::vector<std::string>> runs;
  ProgressHandle progress;
  ProgressCounter files_done;
  uint64_t file_count;
};

// A class file, or a range of a large plain one, read by one task. A
// range starts at a line's first byte and ends at the next range's.
struct ClassPiece {
  size_t file;
  bool whole;
  uint64_t begin = 0;
  uint64_t end = 0;
};

// The pieces of the class files, in file order: a large plain file is cut at
// line starts into up to `concurrency` ranges, so that a few large files
// still keep every thread busy.
std::vector<ClassPiece> plan_pieces(std::span<const std::string> classes, size_t concurrency,
                                    uint64_t min_piece_bytes) {
  std::vector<ClassPiece> pieces;
  for (size_t i = 0; i < classes.size(); ++i) {
    size_t want = 1;
    struct stat st;
    if (concurrency > 1 && ::stat(classes[i].c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      want = static_cast<size_t>(std::min<uint64_t>(
          concurrency, static_cast<uint64_t>(st.st_size) / std::max<uint64_t>(min_piece_bytes, 1)));
    }
    std::vector<uint64_t> cuts = line_cuts(classes[i], want);
    if (cuts.size() < 3) {
      pieces.push_back(ClassPiece{.file = i, .whole = true});
      continue;
    }
    for (size_t k = 0; k + 1 < cuts.size(); ++k) {
      pieces.push_back(ClassPiece{.file = i, .whole = false, .begin = cuts[k], .end = cuts[k + 1]});
    }
  }
  return pieces;
}

Result<void, PendingError> process_class_piece(const std::string& path, const ClassPiece& piece,
                                               BuildState* state) {
  std::unique_ptr<InputStream> stream;
  if (piece.whole) {
    TRY_ASSIGN(stream, open_reader(path));
  } else {
    TRY_ASSIGN(stream, open_range_reader(path, piece.begin, piece.end));
  }
  LineReader lines(std::move(stream), 8192);
  RowParser parser;
  ClassRow row;
  EquivLocal local;
  std::string_view line;
  for (;;) {
    TRY_ASSIGN(bool more, lines.next(&line));
    if (!more) break;
    TRY(parser.parse(line, &row));
    std::optional<std::string_view> key = row.id;
    if (!key && !row.equivalent_identifiers.empty()) {
      key = row.equivalent_identifiers.front().identifier();
    }
    if (!key) continue;
    const uint32_t index = local.add_key(*key);
    for (const EquivId& item : row.equivalent_identifiers) {
      if (auto id = item.identifier()) local.add_value(index, *id);
    }
    if (local.key_count() >= state->spill_entries) {
      TRY(spill_equiv_local(&local, state->equiv_dir, &state->run_counter, &state->runs));
    }
  }
  TRY(spill_equiv_local(&local, state->equiv_dir, &state->run_counter, &state->runs));
  return {};
}

}  // namespace

size_t equiv_fan_in(uint64_t soft) {
  uint64_t spare = soft > kReservedFds ? (soft - kReservedFds) / 2 : 0;
  return static_cast<size_t>(std::clamp<uint64_t>(spare, 2, kMaxFanIn));
}

size_t equiv_fan_in() {
  struct rlimit lim;
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return equiv_fan_in(uint64_t{0});
  return equiv_fan_in(lim.rlim_cur == RLIM_INFINITY ? UINT64_MAX : lim.rlim_cur);
}

// ---- EquivLocal ----

EquivLocal::EquivLocal() : table_(kInitialTable, 0) {}

EquivLocal::~EquivLocal() {
  for (char* c : chunks_) module_free(c);
}

const char* EquivLocal::copy(std::string_view s) {
  if (s.empty()) return "";
  if (left_ < s.size()) {
    // Chunks are kept across clear(); a text larger than a chunk gets its own.
    size_t size = std::max(kArenaChunk, s.size());
    char* c = nullptr;
    if (s.size() <= kArenaChunk && used_chunks_ < chunks_.size()) {
      c = chunks_[used_chunks_];
    } else {
      c = static_cast<char*>(module_malloc(size));
      if (c == nullptr) throw std::bad_alloc();
      chunks_.insert(chunks_.begin() + static_cast<ptrdiff_t>(used_chunks_), c);
    }
    ++used_chunks_;
    pos_ = c;
    left_ = size;
  }
  char* out = pos_;
  std::memcpy(out, s.data(), s.size());
  pos_ += s.size();
  left_ -= s.size();
  return out;
}

void EquivLocal::grow_table() {
  std::vector<uint32_t> bigger(table_.size() * 2, 0);
  const size_t mask = bigger.size() - 1;
  for (uint32_t slot : table_) {
    if (slot == 0) continue;
    size_t i = entries_[slot - 1].hash & mask;
    while (bigger[i] != 0) i = (i + 1) & mask;
    bigger[i] = slot;
  }
  table_ = std::move(bigger);
}

uint32_t EquivLocal::add_key(std::string_view key) {
  if ((entries_.size() + 1) * 2 > table_.size()) grow_table();
  const uint64_t h = xxh64_hash(key);
  const size_t mask = table_.size() - 1;
  size_t i = h & mask;
  while (table_[i] != 0) {
    const Entry& e = entries_[table_[i] - 1];
    if (e.hash == h && std::string_view(e.key, e.key_size) == key) return table_[i] - 1;
    i = (i + 1) & mask;
  }
  if (key.size() > UINT32_MAX || entries_.size() >= UINT32_MAX - 1) {
    storage::panic("equivalence key or key count beyond 32 bits");
  }
  entries_.push_back(Entry{copy(key), static_cast<uint32_t>(key.size()), h});
  table_[i] = static_cast<uint32_t>(entries_.size());
  return static_cast<uint32_t>(entries_.size() - 1);
}

void EquivLocal::add_value(uint32_t key_index, std::string_view value) {
  if (value.size() > UINT32_MAX) storage::panic("equivalent identifier beyond 32 bits");
  values_.push_back(Value{key_index, static_cast<uint32_t>(value.size()), copy(value)});
}

void EquivLocal::clear() {
  entries_.clear();
  values_.clear();
  std::fill(table_.begin(), table_.end(), 0);
  used_chunks_ = 0;
  pos_ = nullptr;
  left_ = 0;
}

Result<void, IoError> spill_equiv_local(EquivLocal* local, const std::string& equiv_dir,
                                        std::atomic<uint64_t>* run_counter,
                                        storage::RwLock<std::vector<std::string>>* runs) {
  if (local->empty()) return {};
  const auto& entries = local->entries_;
  // Values grouped by key: counting sort on the key index.
  std::vector<uint32_t> start(entries.size() + 1, 0);
  for (const auto& v : local->values_) ++start[v.entry + 1];
  for (size_t i = 1; i < start.size(); ++i) start[i] += start[i - 1];
  std::vector<std::string_view> grouped(local->values_.size());
  {
    std::vector<uint32_t> fill(start.begin(), start.end() - 1);
    for (const auto& v : local->values_) grouped[fill[v.entry]++] = {v.data, v.size};
  }
  std::vector<uint32_t> order(entries.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const auto& x = entries[a];
    const auto& y = entries[b];
    if (x.hash != y.hash) return x.hash < y.hash;
    return std::string_view(x.key, x.key_size) < std::string_view(y.key, y.key_size);
  });

  const std::string path = numbered(equiv_dir, "run_", run_counter->fetch_add(1));
  TRY_ASSIGN(SpillWriter out, SpillWriter::create(path));
  for (uint32_t e : order) {
    std::string_view* first = grouped.data() + start[e];
    std::string_view* last = grouped.data() + start[e + 1];
    std::sort(first, last);
    last = std::unique(first, last);
    const auto& entry = entries[e];
    TRY(write_entry(&out, true, entry.hash, std::string_view(entry.key, entry.key_size),
                    std::span<const std::string_view>(first, last)));
  }
  // Recorded before the close, so that a run whose close fails is still
  // known; the failed close fails the build.
  {
    auto guard = runs->write();
    if (!guard.ok()) storage::panic("poisoned lock: another task failed inside");
    guard.value()->push_back(path);
  }
  TRY(out.finish());
  local->clear();
  return {};
}

// ---- reading runs ----

// Appends exactly `n` bytes of `in` to `out`, after checking that the file
// holds them: a damaged length allocates nothing.
Result<void, IoError> read_text(SpillReader* in, uint32_t n, ByteBuffer* out, const char* what) {
  if (n > in->remaining()) return storage::Err{io_error(kUnexpectedEof)};
  out->reserve_more(n);
  TRY(in->read_exact(out->tail(), n));
  if (!utf8::is_valid(std::string_view(out->tail(), n))) {
    return storage::Err{io_error(std::string(what) + " in equivalence run is not valid UTF-8")};
  }
  out->commit(n);
  return {};
}

Result<bool, IoError> read_equiv_entry(SpillReader* in, EquivEntry* entry) {
  if (in->remaining() == 0) return false;
  uint32_t n = 0;
  TRY(in->read_exact(&entry->hash, 8));
  TRY(in->read_exact(&entry->key_size, 4));
  ByteBuffer* bytes = entry->bytes.get();
  bytes->clear();
  TRY(read_text(in, entry->key_size, bytes, "key"));
  TRY(in->read_exact(&n, 4));
  entry->value_sizes.clear();
  entry->value_sizes.reserve(std::min(n, kMaxReserve));
  for (uint32_t j = 0; j < n; ++j) {
    uint32_t len = 0;
    TRY(in->read_exact(&len, 4));
    TRY(read_text(in, len, bytes, "identifier"));
    entry->value_sizes.push_back(len);
  }
  return true;
}

Result<EquivRunReader, IoError> EquivRunReader::open(const std::string& path) {
  // No larger buffer than the file needs: merges of many small runs stay small.
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(path, ec);
  const size_t buffer = ec ? kSpillWriteBufferBytes
                           : static_cast<size_t>(std::clamp<uint64_t>(size, 4096,
                                                                      kSpillWriteBufferBytes));
  TRY_ASSIGN(SpillReader in, SpillReader::open(path, buffer));
  EquivRunReader r;
  r.in = std::make_unique<SpillReader>(std::move(in));
  TRY(r.advance());
  return r;
}

Result<void, IoError> EquivRunReader::advance() {
  TRY_ASSIGN(has_entry, read_equiv_entry(in.get(), &entry));
  return {};
}

// ---- EquivMergeHeap ----

Result<EquivMergeHeap, IoError> EquivMergeHeap::open(std::span<const std::string> runs) {
  EquivMergeHeap heap;
  heap.readers_.reserve(runs.size());
  for (const std::string& path : runs) {
    TRY_ASSIGN(EquivRunReader r, EquivRunReader::open(path));
    heap.readers_.push_back(std::move(r));
  }
  for (uint32_t i = 0; i < heap.readers_.size(); ++i) {
    if (heap.readers_[i].has_entry) heap.push(i);
  }
  return heap;
}

// True when run a's entry comes out after run b's: a larger (hash, key), or
// the same one from a run with a smaller index.
bool EquivMergeHeap::before(uint32_t a, uint32_t b) const {
  const EquivEntry& x = readers_[a].entry;
  const EquivEntry& y = readers_[b].entry;
  if (x.hash != y.hash) return x.hash > y.hash;
  int c = x.key().compare(y.key());
  if (c != 0) return c > 0;
  return a < b;
}

void EquivMergeHeap::push(uint32_t run) {
  heap_.push_back(run);
  std::push_heap(heap_.begin(), heap_.end(),
                 [this](uint32_t a, uint32_t b) { return before(a, b); });
}

Result<bool, IoError> EquivMergeHeap::next(uint64_t* hash, std::string_view* key,
                                           std::vector<std::string_view>* values) {
  auto cmp = [this](uint32_t a, uint32_t b) { return before(a, b); };
  // The runs taken last time move on only now: their texts were lent out.
  for (uint32_t r : taken_) {
    TRY(readers_[r].advance());
    if (readers_[r].has_entry) push(r);
  }
  taken_.clear();
  if (heap_.empty()) return false;
  std::pop_heap(heap_.begin(), heap_.end(), cmp);
  const uint32_t first = heap_.back();
  heap_.pop_back();
  taken_.push_back(first);
  const EquivEntry& top = readers_[first].entry;
  while (!heap_.empty()) {
    const EquivEntry& e = readers_[heap_.front()].entry;
    if (e.hash != top.hash || e.key() != top.key()) break;
    std::pop_heap(heap_.begin(), heap_.end(), cmp);
    taken_.push_back(heap_.back());
    heap_.pop_back();
  }
  values->clear();
  for (uint32_t r : taken_) {
    const EquivEntry& e = readers_[r].entry;
    size_t at = e.key_size;
    for (uint32_t len : e.value_sizes) {
      values->emplace_back(e.bytes->data() + at, len);
      at += len;
    }
  }
  std::stable_sort(values->begin(), values->end());
  values->erase(std::unique(values->begin(), values->end()), values->end());
  *hash = top.hash;
  *key = top.key();
  return true;
}

// ---- EquivIndex ----

EquivIndex::EquivIndex(EquivIndex&& o) noexcept
    : hashes_(std::move(o.hashes_)), offsets_(std::move(o.offsets_)),
      path_(std::exchange(o.path_, std::string())), map_(std::exchange(o.map_, nullptr)),
      map_size_(std::exchange(o.map_size_, 0)), file_(std::move(o.file_)) {}

EquivIndex::~EquivIndex() {
  if (!path_.empty()) (void)::unlink(path_.c_str());
  if (map_ != nullptr) ::munmap(const_cast<char*>(map_), map_size_);
}

Result<EquivIndex, PendingError> EquivIndex::build(std::span<const std::string> classes,
                                                   const std::string& spill_dir,
                                                   const ProgressHandle& progress) {
  EquivOptions options;
  if (!classes.empty()) options.spill_entries = env_usize(kEnvEquivSpillEntries, kDefaultEquivSpillEntries);
  options.fan_in = equiv_fan_in();
  return build(classes, spill_dir, progress, options);
}

Result<EquivIndex, PendingError> EquivIndex::build(std::span<const std::string> classes,
                                                   const std::string& spill_dir,
                                                   const ProgressHandle& progress,
                                                   const EquivOptions& options) {
  const std::string equiv_dir = spill_dir + "/" + std::string(kEquivDir);
  TRY(make_dirs(equiv_dir));
  EquivIndex index;
  const std::string data_path = spill_dir + "/" + std::string(kEquivDataFile);

  std::vector<std::string> runs;
  if (!classes.empty()) {
    BuildState state{.spill_entries = options.spill_entries,
                     .equiv_dir = equiv_dir,
                     .progress = progress,
                     .file_count = classes.size()};
    const std::vector<ClassPiece> pieces =
        plan_pieces(classes, pool_concurrency(), options.min_piece_bytes);
    // A file is reported read once its last piece is done.
    std::unique_ptr<std::atomic<size_t>[]> left(new std::atomic<size_t>[classes.size()]);
    for (size_t i = 0; i < classes.size(); ++i) left[i].store(0);
    for (const ClassPiece& p : pieces) left[p.file].fetch_add(1);
    std::vector<std::optional<PendingError>> failures(pieces.size());
    parallel_for(pieces.size(), [&](size_t i) {
      const ClassPiece& piece = pieces[i];
      auto done = process_class_piece(classes[piece.file], piece, &state);
      if (!done.ok()) {
        failures[i] = std::move(done).error();
      } else if (left[piece.file].fetch_sub(1) == 1) {
        state.files_done.add(state.progress, 1, [&](uint64_t n) {
          report(state.progress, kProgressEquivalence, n, state.file_count,
                 file_display_name(classes[piece.file]));
        });
      }
    });
    for (auto& f : failures) {
      if (f) return storage::Err{std::move(*f)};
    }
    auto guard = state.runs.write();
    if (!guard.ok()) storage::panic("poisoned lock: another task failed inside");
    runs = std::move(*guard.value());
    // Intermediate runs left for the final merge go with the equivalence
    // directory, as the class files' own runs do.
    std::vector<std::string> intermediates;
    TRY_ASSIGN(runs, reduce_runs(
                         std::move(runs), options.fan_in,
                         [&](uint64_t n) { return numbered(equiv_dir, "merge_", n); },
                         merge_into_run, &intermediates));
  }

  // The final merge, straight into equiv_data.bin.
  {
    TRY_ASSIGN(EquivMergeHeap heap, EquivMergeHeap::open(runs));
    TRY_ASSIGN(SpillWriter out, SpillWriter::create(data_path));
    uint64_t offset = 0;
    uint64_t hash;
    std::string_view key;
    std::vector<std::string_view> values;
    for (;;) {
      TRY_ASSIGN(bool more, heap.next(&hash, &key, &values));
      if (!more) break;
      TRY(write_entry(&out, false, hash, key, values));
      index.hashes_.push_back(hash);
      index.offsets_.push_back(offset);
      offset += 8 + key.size();
      for (std::string_view v : values) offset += 4 + v.size();
      if (index.hashes_.size() % options.report_every == 0) {
        report(progress, kProgressEquivalence, index.hashes_.size(), 0, "merging equivalents");
      }
    }
    TRY(out.finish());
  }
  if (!classes.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(equiv_dir, ignored);
  }

  return open_merged(data_path, std::move(index.hashes_), std::move(index.offsets_));
}

Result<EquivIndex, PendingError> EquivIndex::open_merged(std::string path,
                                                         std::vector<uint64_t> hashes,
                                                         std::vector<uint64_t> offsets) {
  EquivIndex index;
  index.path_ = std::move(path);
  index.hashes_ = std::move(hashes);
  index.offsets_ = std::move(offsets);
  const size_t n = index.hashes_.size();
  if (n >= 2 && n <= UINT32_MAX) {
    const int bits = std::min(20, static_cast<int>(std::bit_width(n)) - 1);
    index.directory_shift_ = 64 - bits;
    index.directory_.assign((size_t{1} << bits) + 1, 0);
    // directory_[p] = the first index whose prefix is p or more.
    size_t at = 0;
    for (size_t p = 0; p < (size_t{1} << bits); ++p) {
      while (at < n && (index.hashes_[at] >> index.directory_shift_) < p) ++at;
      index.directory_[p] = static_cast<uint32_t>(at);
    }
    index.directory_.back() = static_cast<uint32_t>(n);
  }
  TRY_ASSIGN(index.file_, open_file(index.path_));
  struct stat st;
  if (::fstat(index.file_.get(), &st) != 0) return storage::Err{PendingError(os_error(errno))};
  // An empty file is never mapped (a zero-length mapping is refused).
  if (st.st_size > 0) {
    const auto size = static_cast<size_t>(st.st_size);
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, index.file_.get(), 0);
    if (p == MAP_FAILED) return storage::Err{PendingError(os_error(errno))};
    index.map_ = static_cast<const char*>(p);
    index.map_size_ = size;
  }
  return index;
}

}  // namespace rs::fullmap
