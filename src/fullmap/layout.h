// The fullmap's files and stored rows: the shard file names, the table and
// meta names, the byte codecs of the `sources`, `curies` and `records` values,
// and the build id. The byte layouts are documented in src/fullmap/FORMAT.md.
//
// Untrusted bytes: every decoder checks each length it reads against the
// bytes left before using it, requires text to be valid UTF-8, and ignores
// bytes after the last field. Decoded views point into the caller's bytes and
// allocate nothing.
//
// Thread safety: pure functions, except new_build_id, which bumps the atomic
// BUILD_ID_COUNTER.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <compare>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/src/result.h"

namespace rs::fullmap {

inline constexpr uint32_t kShardCount = 16;

inline constexpr std::string_view kPrefixesTable = "prefixes";
inline constexpr std::string_view kCategoriesTable = "categories";
inline constexpr std::string_view kSourcesTable = "sources";
inline constexpr std::string_view kCuriesTable = "curies";
inline constexpr std::string_view kMetaTable = "meta";
inline constexpr std::string_view kRecordsTable = "records";

inline constexpr std::string_view kMetaSchemaKey = "schema";
inline constexpr std::string_view kMetaBuildIdKey = "build_id";
inline constexpr std::string_view kMetaShardsKey = "shards";
inline constexpr std::string_view kSchemaTag = "quorvendel.fullmap.v5";

// Path of shard `index` of the fullmap at `output` (raw path bytes): the
// output's stem, ".s", the index, ".", its extension, beside the output.
// Stem and extension are made text with U+FFFD for invalid UTF-8; a path
// without a stem uses "fullmap", one without an extension "qdb".
std::string shard_path(std::string_view output, uint32_t index);

// What every shard path of `output` is made of: the directory they sit in
// (empty for the working directory, else ending in '/') and the text stem
// and extension above. Outputs with equal families share all 16 shard files
// ("db" and "db.qdb" do).
struct ShardFamily {
  std::string dir;
  std::string stem;
  std::string ext;
};
ShardFamily shard_family(std::string_view output);

// One (CURIE id, source id) pair of a term. Packed, so that its memory is
// exactly its 5 stored bytes (little-endian) and term maps hold no padding.
struct [[gnu::packed]] Posting {
  uint32_t curie_id = 0;
  uint8_t source_id = 0;

  // Order of stored postings: by CURIE id, then source id.
  uint64_t order_key() const { return (uint64_t{curie_id} << 8) | source_id; }
  friend bool operator==(const Posting& a, const Posting& b) {
    return a.order_key() == b.order_key();
  }
  friend bool operator<(const Posting& a, const Posting& b) {
    return a.order_key() < b.order_key();
  }
};
static_assert(sizeof(Posting) == 5 && alignof(Posting) == 1);
static_assert(std::endian::native == std::endian::little,
              "postings are copied to and from their stored bytes as they are");

inline constexpr size_t kPostingBytes = 5;

// Sorts `postings` by (CURIE id, source id) and drops repeats.
template <typename Alloc>
void sort_unique_postings(std::vector<Posting, Alloc>* postings) {
  if (postings->size() < 2) return;
  std::sort(postings->begin(), postings->end());
  postings->erase(std::unique(postings->begin(), postings->end()), postings->end());
}

// A stored row that cannot be decoded: it ends before a field does, or a text
// field is not UTF-8.
struct RowError {
  enum class Kind : uint8_t { kEndsEarly, kInvalidUtf8 };
  Kind kind = Kind::kEndsEarly;
  const char* field = "";  // the field being read
  uint64_t needed = 0;     // kEndsEarly: bytes the field needs
  uint64_t left = 0;       // kEndsEarly: bytes that were left
  std::string to_string() const;
};

template <typename T>
using RowResult = storage::Result<T, RowError>;

// sources: the source name (also readable as a bare string: same bytes).
void encode_source_row(std::string_view name, std::string* out);
RowResult<std::string_view> decode_source_row(std::string_view bytes);

// curies: one CURIE's row; encoded size 24 + the two text lengths.
struct CurieRow {
  uint16_t prefix_id = 0;
  std::string local_id;
  std::string preferred_name;
  uint16_t category_id = 0;
  int32_t taxon_id = 0;
  bool operator==(const CurieRow&) const = default;
};
struct CurieRowView {
  uint16_t prefix_id = 0;
  std::string_view local_id;
  std::string_view preferred_name;
  uint16_t category_id = 0;
  int32_t taxon_id = 0;
  CurieRow to_owned() const {
    return CurieRow{prefix_id, std::string(local_id), std::string(preferred_name), category_id,
                    taxon_id};
  }
};
inline constexpr size_t kCurieRowFixedBytes = 24;
size_t curie_row_size(const CurieRow& row);
// Appends the encoding to `out`.
void encode_curie_row(const CurieRow& row, std::string* out);
RowResult<CurieRowView> decode_curie_row(std::string_view bytes);

// records: the value under one XXH64 key of a shard. It holds the record of
// every term of the shard with that hash, concatenated in ascending order of
// the terms' bytes; with a single term it is exactly that term's record.
// A record is the term and its sorted, distinct postings.
struct RecordEntry {
  std::string_view term;
  std::span<const Posting> postings;
};

// A decoded record: the term and its postings, both inside the value's bytes.
class RecordView {
 public:
  RecordView() = default;
  RecordView(std::string_view term, const char* postings, size_t count, size_t encoded_size)
      : term_(term), postings_(postings), count_(count), encoded_size_(encoded_size) {}

  std::string_view term() const { return term_; }
  size_t posting_count() const { return count_; }
  Posting posting(size_t i) const {
    Posting p;
    std::memcpy(&p, postings_ + i * kPostingBytes, kPostingBytes);
    return p;
  }
  // Appends the postings to a vector of Posting (any allocator).
  template <typename Vector>
  void append_postings(Vector* out) const {
    // An empty vector may have no buffer: memcpy must not see it.
    if (count_ == 0) return;
    size_t old = out->size();
    out->resize(old + count_);
    std::memcpy(out->data() + old, postings_, count_ * kPostingBytes);
  }
  // Bytes of this record inside the value.
  size_t encoded_size() const { return encoded_size_; }

 private:
  std::string_view term_;
  const char* postings_ = nullptr;
  size_t count_ = 0;
  size_t encoded_size_ = 0;
};

size_t record_size(const RecordEntry& entry);
// Appends one record to `out`.
void encode_record(const RecordEntry& entry, std::string* out);
// Appends the value of `entries`, terms of one hash in strictly ascending byte
// order (a broken order panics).
void encode_record_chain(std::span<const RecordEntry> entries, std::string* out);
// The value's first record; bytes after it are ignored.
RowResult<RecordView> decode_record(std::string_view bytes);

// Walks the records of a value in order; every byte of the value must belong
// to a record, and there is at least one.
class RecordChainReader {
 public:
  explicit RecordChainReader(std::string_view value) : rest_(value) {}
  // The next record, or nullopt after the last one.
  RowResult<std::optional<RecordView>> next();

 private:
  std::string_view rest_;
  bool started_ = false;
};

// The record of `term` in a value. The walk stops at the first record whose
// term is not below `term`, so bytes after the match are not read.
RowResult<std::optional<RecordView>> find_record(std::string_view value, std::string_view term);

// Counts builds in this process; the first build id draws k = 1.
inline std::atomic<uint64_t> BUILD_ID_COUNTER{0};

// The build id of a clock reading (seconds and nanoseconds since the epoch;
// both 0 for a clock before it), a process id and a counter value k >= 1.
// Never 0.
uint64_t mix_build_id(uint64_t seconds, uint32_t nanos, uint32_t pid, uint64_t k);
// A fresh build id: the wall clock, this process and the next counter value.
uint64_t new_build_id();

}  // namespace rs::fullmap
