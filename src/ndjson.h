// NDJSON deduplication: cleans each record of a node or edge file, gives every
// edge its name-based id, and writes each distinct record once, in order of
// first occurrence, as compact JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/json.h"
#include "src/stoppable_io.h"
#include "src/uuid.h"
#include "storage/src/result.h"

namespace rs::ndjson {

inline constexpr std::string_view kDefaultDomain = "QUORVENDEL";
inline constexpr std::string_view kExpectedObject = "expected JSON object";
inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";
inline constexpr std::string_view kSameFile =
    "input and output are the same file; refusing to overwrite the input";

// The records written so far, for the exact-duplicate check: their bytes in an
// append-only arena, found through an open-addressing table of (XXH64, bytes).
// Records with equal hashes but different bytes are all kept.
// Thread safety: none; one owner.
class SeenRecords {
 public:
  SeenRecords();
  ~SeenRecords();
  SeenRecords(const SeenRecords&) = delete;
  SeenRecords& operator=(const SeenRecords&) = delete;

  // Remembers `bytes` and returns true unless equal bytes were seen before.
  bool record_if_new(std::string_view bytes);
  // As above with the XXH64 of `bytes` already known (lets tests force
  // collisions).
  bool record_if_new(std::string_view bytes, uint64_t hash);
  // Starts fetching the table slot of a record with this hash, to be checked
  // a little later.
  void prefetch(uint64_t hash) const { __builtin_prefetch(&slots_[hash & mask_]); }

  size_t size() const { return count_; }

 private:
  struct Slot {
    uint64_t hash;
    const char* data;  // null: empty slot
    size_t size;
  };
  const char* store(std::string_view bytes);
  void grow();

  Slot* slots_ = nullptr;
  size_t mask_ = 0;
  size_t count_ = 0;
  std::vector<char*> chunks_;
  char* chunk_pos_ = nullptr;
  size_t chunk_left_ = 0;
};

// What to do with one parsed record: write `value`, or nothing (dropped). An
// edge that is not an object after cleaning fails with kExpectedObject.
// `strings_are_plain` as for json::write_compact.
storage::Result<std::optional<json::Value>, std::string> finalize_record(
    const json::Value& value, bool is_edges, EdgeIdMaker* ids, json::Arena* arena,
    bool strings_are_plain = false);

// Writes what finalize_record and json::write_compact would, in one walk over
// the parsed record and straight into the output buffer: nothing is built, and
// an edge's id reads the texts of its nested values from the bytes just
// written.
// Thread safety: none; one owner.
class RecordWriter {
 public:
  enum class Outcome { kWritten, kDropped, kNotObject };

  explicit RecordWriter(std::string_view domain) : ids_(domain) {}

  // Appends the record (without a line end) to `out`, or nothing when it is
  // dropped or, as an edge, not an object. `strings_are_plain` as for
  // json::write_compact.
  Outcome write(const json::Value& value, bool is_edges, bool strings_are_plain,
                ByteBuffer* out);

 private:
  struct Written {
    const json::Member* member;
    size_t begin;  // its value's bytes in the output; kNoBytes for an old id
    size_t end;
  };
  static constexpr size_t kNoBytes = ~size_t{0};

  EdgeIdMaker ids_;
  std::vector<Written> written_;
  std::vector<EdgeIdMaker::Part> parts_;
  ByteBuffer old_id_{64};
};

// Why dedup_ndjson ended early.
struct DedupError {
  // `stop` said so (`text` is then empty).
  bool stopped = false;
  // Otherwise the text of the RuntimeError that reaches Python.
  std::string text;
};

// Reads `input` line by line and writes the distinct cleaned records to
// `output`. `stop` is asked once per buffer read (a megabyte of a file),
// whenever a signal interrupts a read, a write or an open, and every few
// dozen milliseconds while a pipe keeps the call waiting; once it has said
// stop it is not asked again. A stop ends the call as a failure does: the
// output holds the records accepted before it (of a pipe, what its reader
// takes without more waiting).
storage::Result<void, DedupError> dedup_ndjson(const std::string& input,
                                               const std::string& output, bool is_edges,
                                               std::string_view domain, const StopCheck& stop);

// The text of an operating-system error: "<description> (os error <n>)".
std::string os_error_text(int err);

}  // namespace rs::ndjson
