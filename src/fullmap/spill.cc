#include "src/fullmap/spill.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "src/utf8.h"
#include "src/xxh64.h"
#include "storage/src/panic.h"

namespace rs::fullmap {
namespace {

using storage::Err;
using storage::IoError;

std::string padded(uint64_t sequence) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08llu", static_cast<unsigned long long>(sequence));
  return buf;
}

std::string join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// One term of a spill: its place in the order of the runs (shard, then
// XXH64, as one number: the shard bits on top of the rest of the hash), and
// where its term and postings are. Equal places (equal hashes) are ordered
// by the terms' bytes.
struct SpillKey {
  uint64_t order;
  const char* term;
  size_t term_size;
  TermMap::Postings* postings;

  std::string_view term_view() const { return {term, term_size}; }
  bool operator<(const SpillKey& o) const {
    return order != o.order ? order < o.order : term_view() < o.term_view();
  }
};

uint64_t run_order(uint64_t hash, uint64_t mask, int shard_bits) {
  return shard_bits == 0 ? hash : (hash & mask) << (64 - shard_bits) | hash >> shard_bits;
}

// Sorts the keys: counted into buckets by the top 16 bits of their place,
// then each (short) bucket by insertion.
void sort_spill_keys(std::vector<SpillKey>* keys) {
  constexpr int kBits = 16;
  if (keys->size() < 4096) {
    std::sort(keys->begin(), keys->end());
    return;
  }
  std::vector<uint32_t> start((size_t{1} << kBits) + 1, 0);
  for (const SpillKey& k : *keys) ++start[(k.order >> (64 - kBits)) + 1];
  for (size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
  std::vector<SpillKey> sorted(keys->size());
  std::vector<uint32_t> next(start.begin(), start.end() - 1);
  for (const SpillKey& k : *keys) sorted[next[k.order >> (64 - kBits)]++] = k;
  for (size_t b = 0; b + 1 < start.size(); ++b) {
    auto first = sorted.begin() + start[b];
    auto last = sorted.begin() + start[b + 1];
    if (last - first > 32) {
      std::sort(first, last);
      continue;
    }
    for (auto i = first + (first != last); i < last; ++i) {
      SpillKey k = *i;
      auto j = i;
      for (; j > first && k < *(j - 1); --j) *j = *(j - 1);
      *j = k;
    }
  }
  keys->swap(sorted);
}

IoResult<void> write_frame(const SpillKey& key, SpillWriter& out) {
  sort_unique_postings(key.postings);
  TRY_ASSIGN(uint32_t t, frame_field(key.term_size, "term"));
  TRY_ASSIGN(uint32_t p, frame_field(key.postings->size(), "posting count"));
  TRY(out.write_u32(t));
  TRY(out.write(key.term, key.term_size));
  TRY(out.write_u32(p));
  return out.write(key.postings->data(), key.postings->size() * kPostingBytes);
}

// Writes the terms of the map as runs; the caller empties the map.
IoResult<std::vector<RunFile>> write_term_runs(TermMap* map, const std::string& dir,
                                               uint64_t sequence, uint32_t shard_count) {
  const uint64_t mask = shard_count - 1;
  const int shard_bits = std::countr_zero(shard_count);
  std::vector<SpillKey> keys;
  keys.reserve(map->size());
  map->for_each_mut([&](std::string_view term, TermMap::Postings& p) {
    keys.push_back({run_order(xxh64_hash(term), mask, shard_bits), term.data(), term.size(), &p});
  });
  sort_spill_keys(&keys);
  const auto shard_of = [shard_bits](const SpillKey& k) {
    return shard_bits == 0 ? 0u : static_cast<uint32_t>(k.order >> (64 - shard_bits));
  };
  // The frames' terms and postings are spread over the heap: fetched a few
  // frames ahead of their writing.
  constexpr size_t kAhead = 8;
  std::vector<RunFile> written;
  for (size_t begin = 0; begin < keys.size();) {
    const uint32_t shard = shard_of(keys[begin]);
    std::string path = join(dir, term_run_name(shard, sequence));
    TRY_ASSIGN(SpillWriter out, SpillWriter::create(path));
    size_t end = begin;
    for (; end < keys.size() && shard_of(keys[end]) == shard; ++end) {
      if (end + 2 * kAhead < keys.size()) __builtin_prefetch(keys[end + 2 * kAhead].postings);
      if (end + kAhead < keys.size()) {
        __builtin_prefetch(keys[end + kAhead].term);
        __builtin_prefetch(keys[end + kAhead].postings->data());
      }
      TRY(write_frame(keys[end], out));
    }
    TRY(out.finish());
    written.push_back({shard, std::move(path)});
    begin = end;
  }
  return written;
}

// Reads the rest of a frame's first field after its first byte.
IoResult<uint32_t> read_u32_after(SpillReader& file, unsigned char first) {
  unsigned char rest[3];
  TRY(file.read_exact(rest, 3));
  return uint32_t{first} | uint32_t{rest[0]} << 8 | uint32_t{rest[1]} << 16 |
         uint32_t{rest[2]} << 24;
}

IoResult<uint32_t> read_u32(SpillReader& file) {
  uint32_t v;
  TRY(file.read_exact(&v, 4));
  return v;
}

// A length read from the file, checked against the bytes the file has left.
IoResult<void> check_left(const SpillReader& file, uint64_t bytes) {
  if (bytes > file.remaining()) return Err(IoError::other(kUnexpectedEof));
  return {};
}

IoResult<std::string> write_curie_run(std::vector<QueuedCurie>& queue, const std::string& dir,
                                      uint64_t sequence) {
  std::sort(queue.begin(), queue.end(), [](const QueuedCurie& a, const QueuedCurie& b) {
    if (a.curie_id != b.curie_id) return a.curie_id < b.curie_id;
    return a.position < b.position;
  });
  std::string path = join(dir, curie_run_name(sequence));
  TRY_ASSIGN(SpillWriter out, SpillWriter::create(path));
  std::string encoded;
  for (const QueuedCurie& q : queue) {
    encoded.clear();
    encode_curie_row(q.row, &encoded);
    TRY_ASSIGN(uint32_t n, frame_field(encoded.size(), "CURIE row length"));
    TRY(out.write_u32(q.curie_id));
    TRY(out.write_u32(q.position.file));
    TRY(out.write_u64(q.position.line));
    TRY(out.write_u32(n));
    TRY(out.write(encoded.data(), encoded.size()));
  }
  TRY(out.finish());
  return path;
}

}  // namespace

std::string term_run_name(uint32_t shard, uint64_t sequence) {
  return "run_s" + std::to_string(shard) + "_" + padded(sequence) + ".bin";
}

std::string curie_run_name(uint64_t sequence) {
  return "curie_run_" + padded(sequence) + ".bin";
}

IoResult<uint32_t> frame_field(uint64_t n, const char* what) {
  if (n > UINT32_MAX) {
    return Err(IoError::other(std::string(what) + " of " + std::to_string(n) +
                              " does not fit a run frame (at most 4294967295)"));
  }
  return static_cast<uint32_t>(n);
}

IoResult<std::vector<RunFile>> spill_run(TermMap* map, const std::string& dir,
                                         uint64_t sequence, uint32_t shard_count) {
  STORAGE_ASSERT(shard_count > 0 && (shard_count & (shard_count - 1)) == 0);
  map->flush();
  IoResult<std::vector<RunFile>> result = write_term_runs(map, dir, sequence, shard_count);
  map->clear();
  return result;
}

IoResult<std::string> spill_curie_run(std::vector<QueuedCurie>* rows, const std::string& dir,
                                      uint64_t sequence) {
  IoResult<std::string> result = write_curie_run(*rows, dir, sequence);
  rows->clear();
  return result;
}

IoResult<RunReader> RunReader::open(const std::string& path, size_t buffer_bytes) {
  TRY_ASSIGN(SpillReader file, SpillReader::open(path, buffer_bytes));
  return RunReader(std::move(file));
}

IoResult<std::optional<TermFrame>> RunReader::read_frame() {
  unsigned char first;
  TRY_ASSIGN(size_t got, file_.read_some(&first, 1));
  if (got == 0) return std::optional<TermFrame>();
  TRY_ASSIGN(uint32_t t, read_u32_after(file_, first));
  TRY(check_left(file_, t));
  term_.resize(t);
  TRY(file_.read_exact(term_.data(), t));
  if (!utf8::is_valid(term_)) {
    return Err(IoError::other("term in run file is not valid UTF-8"));
  }
  TRY_ASSIGN(uint32_t p, read_u32(file_));
  TRY(check_left(file_, uint64_t{p} * kPostingBytes));
  postings_.resize(p);
  TRY(file_.read_exact(postings_.data(), size_t{p} * kPostingBytes));
  return std::optional<TermFrame>(TermFrame{term_, postings_});
}

IoResult<uint64_t> count_run_frames(const std::string& path) {
  TRY_ASSIGN(SpillReader file, SpillReader::open(path));
  uint64_t frames = 0;
  while (true) {
    unsigned char first;
    TRY_ASSIGN(size_t got, file.read_some(&first, 1));
    if (got == 0) return frames;
    TRY_ASSIGN(uint32_t t, read_u32_after(file, first));
    TRY_ASSIGN(uint64_t skipped, file.skip(t));
    if (skipped < t) return Err(IoError::other(kUnexpectedEof));
    TRY_ASSIGN(uint32_t p, read_u32(file));
    uint64_t posting_bytes = uint64_t{p} * kPostingBytes;
    TRY_ASSIGN(uint64_t skipped_postings, file.skip(posting_bytes));
    ++frames;
    if (skipped_postings < posting_bytes) return frames;
  }
}

IoResult<CurieRunReader> CurieRunReader::open(const std::string& path, size_t buffer_bytes) {
  TRY_ASSIGN(SpillReader file, SpillReader::open(path, buffer_bytes));
  return CurieRunReader(std::move(file));
}

IoResult<std::optional<CurieFrame>> CurieRunReader::next_row() {
  unsigned char first;
  TRY_ASSIGN(size_t got, file_.read_some(&first, 1));
  if (got == 0) return std::optional<CurieFrame>();
  CurieFrame frame;
  TRY_ASSIGN(frame.curie_id, read_u32_after(file_, first));
  TRY_ASSIGN(frame.position.file, read_u32(file_));
  TRY(file_.read_exact(&frame.position.line, 8));
  TRY_ASSIGN(uint32_t n, read_u32(file_));
  TRY(check_left(file_, n));
  row_.resize(n);
  TRY(file_.read_exact(row_.data(), n));
  frame.row = row_;
  return std::optional<CurieFrame>(frame);
}

}  // namespace rs::fullmap
