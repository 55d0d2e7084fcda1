#include "src/fullmap/layout.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "src/utf8.h"
#include "storage/src/panic.h"

namespace rs::fullmap {
namespace {

// One component of a path, as a byte range of it.
struct Component {
  enum class Kind : uint8_t { kRoot, kCurDir, kParentDir, kNormal };
  Kind kind;
  size_t begin;
  size_t end;
};

// Components as the platform's path rules see them: separators repeat freely,
// "." is dropped except at the start of a relative path.
std::vector<Component> components(std::string_view path) {
  std::vector<Component> out;
  size_t i = 0;
  if (!path.empty() && path[0] == '/') {
    out.push_back({Component::Kind::kRoot, 0, 1});
    i = 1;
  }
  bool first = true;
  while (i <= path.size()) {
    size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    std::string_view seg = path.substr(i, end - i);
    if (seg == ".") {
      if (first && out.empty()) out.push_back({Component::Kind::kCurDir, i, end});
    } else if (seg == "..") {
      out.push_back({Component::Kind::kParentDir, i, end});
    } else if (!seg.empty()) {
      out.push_back({Component::Kind::kNormal, i, end});
    }
    first = false;
    i = end + 1;
  }
  return out;
}

void append_u64(uint64_t v, std::string* out) {
  char b[8];
  std::memcpy(b, &v, 8);
  out->append(b, 8);
}
void append_u16(uint16_t v, std::string* out) {
  char b[2];
  std::memcpy(b, &v, 2);
  out->append(b, 2);
}
void append_i32(int32_t v, std::string* out) {
  char b[4];
  std::memcpy(b, &v, 4);
  out->append(b, 4);
}

// Reads fields front to back, each checked against the bytes left.
class FieldReader {
 public:
  explicit FieldReader(std::string_view bytes) : bytes_(bytes) {}

  size_t consumed() const { return pos_; }

  template <typename T>
  RowResult<T> fixed(const char* field) {
    if (left() < sizeof(T)) return ends_early(field, sizeof(T));
    T v;
    std::memcpy(&v, bytes_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return v;
  }

  // A u64 length, then that many bytes of UTF-8.
  RowResult<std::string_view> text(const char* length_field, const char* field) {
    TRY_ASSIGN(uint64_t n, fixed<uint64_t>(length_field));
    if (n > left()) return ends_early(field, n);
    std::string_view t = bytes_.substr(pos_, static_cast<size_t>(n));
    if (!utf8::is_valid(t)) {
      return storage::Err(RowError{RowError::Kind::kInvalidUtf8, field, 0, 0});
    }
    pos_ += static_cast<size_t>(n);
    return t;
  }

  // `count` items of `width` bytes.
  RowResult<const char*> items(const char* field, uint64_t count, size_t width) {
    if (count > left() / width) {
      // Report the bytes needed without overflowing.
      uint64_t needed = count > UINT64_MAX / width ? UINT64_MAX : count * width;
      return ends_early(field, needed);
    }
    const char* p = bytes_.data() + pos_;
    pos_ += static_cast<size_t>(count) * width;
    return p;
  }

 private:
  size_t left() const { return bytes_.size() - pos_; }
  storage::Err<RowError> ends_early(const char* field, uint64_t needed) const {
    return storage::Err(RowError{RowError::Kind::kEndsEarly, field, needed, left()});
  }

  std::string_view bytes_;
  size_t pos_ = 0;
};

}  // namespace

ShardFamily shard_family(std::string_view output) {
  std::vector<Component> comps = components(output);
  ShardFamily family{.dir = "", .stem = "fullmap", .ext = "qdb"};
  if (!comps.empty() && comps.back().kind == Component::Kind::kNormal) {
    const Component& last = comps.back();
    std::string_view name = output.substr(last.begin, last.end - last.begin);
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
      // No dot, or only a leading one (".db"): all stem, no extension.
      family.stem = utf8::lossy(name);
    } else {
      family.stem = utf8::lossy(name.substr(0, dot));
      family.ext = utf8::lossy(name.substr(dot + 1));
    }
  }
  // The parent: everything before the last component, or nothing for the
  // root and the empty path.
  if (comps.empty() || comps.back().kind == Component::Kind::kRoot) return family;
  comps.pop_back();
  if (comps.empty()) return family;
  family.dir = std::string(output.substr(0, comps.back().end));
  if (family.dir.back() != '/') family.dir.push_back('/');
  return family;
}

std::string shard_path(std::string_view output, uint32_t index) {
  ShardFamily family = shard_family(output);
  return family.dir + family.stem + ".s" + std::to_string(index) + "." + family.ext;
}

std::string RowError::to_string() const {
  if (kind == Kind::kInvalidUtf8) {
    return std::string("stored row field '") + field + "' is not valid UTF-8";
  }
  return std::string("stored row ends early: field '") + field + "' needs " +
         std::to_string(needed) + " bytes, " + std::to_string(left) + " left";
}

void encode_source_row(std::string_view name, std::string* out) {
  append_u64(name.size(), out);
  out->append(name);
}

RowResult<std::string_view> decode_source_row(std::string_view bytes) {
  FieldReader r(bytes);
  return r.text("name length", "name");
}

size_t curie_row_size(const CurieRow& row) {
  return kCurieRowFixedBytes + row.local_id.size() + row.preferred_name.size();
}

void encode_curie_row(const CurieRow& row, std::string* out) {
  out->reserve(out->size() + curie_row_size(row));
  append_u16(row.prefix_id, out);
  append_u64(row.local_id.size(), out);
  out->append(row.local_id);
  append_u64(row.preferred_name.size(), out);
  out->append(row.preferred_name);
  append_u16(row.category_id, out);
  append_i32(row.taxon_id, out);
}

RowResult<CurieRowView> decode_curie_row(std::string_view bytes) {
  FieldReader r(bytes);
  CurieRowView v;
  TRY_ASSIGN(v.prefix_id, r.fixed<uint16_t>("prefix_id"));
  TRY_ASSIGN(v.local_id, r.text("local_id length", "local_id"));
  TRY_ASSIGN(v.preferred_name, r.text("preferred_name length", "preferred_name"));
  TRY_ASSIGN(v.category_id, r.fixed<uint16_t>("category_id"));
  TRY_ASSIGN(v.taxon_id, r.fixed<int32_t>("taxon_id"));
  return v;
}

size_t record_size(const RecordEntry& entry) {
  return 16 + entry.term.size() + entry.postings.size() * kPostingBytes;
}

void encode_record(const RecordEntry& entry, std::string* out) {
  out->reserve(out->size() + record_size(entry));
  append_u64(entry.term.size(), out);
  out->append(entry.term);
  append_u64(entry.postings.size(), out);
  out->append(reinterpret_cast<const char*>(entry.postings.data()),
              entry.postings.size() * kPostingBytes);
}

void encode_record_chain(std::span<const RecordEntry> entries, std::string* out) {
  size_t total = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    STORAGE_ASSERT(i == 0 || entries[i - 1].term < entries[i].term);
    total += record_size(entries[i]);
  }
  out->reserve(out->size() + total);
  for (const RecordEntry& e : entries) encode_record(e, out);
}

RowResult<RecordView> decode_record(std::string_view bytes) {
  FieldReader r(bytes);
  TRY_ASSIGN(std::string_view term, r.text("term length", "term"));
  TRY_ASSIGN(uint64_t count, r.fixed<uint64_t>("posting count"));
  TRY_ASSIGN(const char* postings, r.items("postings", count, kPostingBytes));
  return RecordView(term, postings, static_cast<size_t>(count), r.consumed());
}

RowResult<std::optional<RecordView>> RecordChainReader::next() {
  // A value holds at least one record: an empty one fails to decode.
  if (rest_.empty() && started_) return std::optional<RecordView>();
  started_ = true;
  TRY_ASSIGN(RecordView record, decode_record(rest_));
  rest_.remove_prefix(record.encoded_size());
  return std::optional<RecordView>(record);
}

RowResult<std::optional<RecordView>> find_record(std::string_view value, std::string_view term) {
  RecordChainReader reader(value);
  while (true) {
    TRY_ASSIGN(std::optional<RecordView> record, reader.next());
    if (!record || record->term() == term) return record;
    if (record->term() > term) return std::optional<RecordView>();
  }
}

uint64_t mix_build_id(uint64_t seconds, uint32_t nanos, uint32_t pid, uint64_t k) {
  uint64_t x = std::rotl(seconds, 32) ^ uint64_t{nanos};
  uint64_t y = x ^ (uint64_t{pid} << 17);
  if (y == k) y = 0;
  return y ^ k;
}

uint64_t new_build_id() {
  uint64_t seconds = 0;
  uint32_t nanos = 0;
  auto since = std::chrono::system_clock::now().time_since_epoch();
  if (since.count() > 0) {
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
    seconds = static_cast<uint64_t>(secs.count());
    nanos = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - secs).count());
  }
  uint64_t k = BUILD_ID_COUNTER.fetch_add(1) + 1;
  return mix_build_id(seconds, nanos, static_cast<uint32_t>(getpid()), k);
}

}  // namespace rs::fullmap
