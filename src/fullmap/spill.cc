#include "src/fullmap/spill.h"

#include <algorithm>
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

// One term of a spill, pointing into the map, in the order of the runs:
// shard, then XXH64, then the term's bytes.
struct SpillKey {
  uint64_t hash;
  std::string_view term;
  TermMap::Postings* postings;
};

IoResult<void> write_frame(const SpillKey& key, SpillWriter& out) {
  sort_unique_postings(key.postings);
  TRY_ASSIGN(uint32_t t, frame_field(key.term.size(), "term"));
  TRY_ASSIGN(uint32_t p, frame_field(key.postings->size(), "posting count"));
  TRY(out.write_u32(t));
  TRY(out.write(key.term.data(), key.term.size()));
  TRY(out.write_u32(p));
  return out.write(key.postings->data(), key.postings->size() * kPostingBytes);
}

// Writes the terms of the map as runs; the caller empties the map.
IoResult<std::vector<RunFile>> write_term_runs(TermMap* map, const std::string& dir,
                                               uint64_t sequence, uint32_t shard_count) {
  const uint64_t mask = shard_count - 1;
  std::vector<SpillKey> keys;
  keys.reserve(map->size());
  map->for_each_mut([&](std::string_view term, TermMap::Postings& postings) {
    keys.push_back({xxh64_hash(term), term, &postings});
  });
  std::sort(keys.begin(), keys.end(), [mask](const SpillKey& a, const SpillKey& b) {
    if ((a.hash & mask) != (b.hash & mask)) return (a.hash & mask) < (b.hash & mask);
    if (a.hash != b.hash) return a.hash < b.hash;
    return a.term < b.term;
  });
  std::vector<RunFile> written;
  for (size_t begin = 0; begin < keys.size();) {
    const auto shard = static_cast<uint32_t>(keys[begin].hash & mask);
    std::string path = join(dir, term_run_name(shard, sequence));
    TRY_ASSIGN(SpillWriter out, SpillWriter::create(path));
    size_t end = begin;
    for (; end < keys.size() && (keys[end].hash & mask) == shard; ++end) {
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
