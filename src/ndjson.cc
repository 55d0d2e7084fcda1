#include "src/ndjson.h"

#include <fcntl.h>
#include <mimalloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "src/utf8.h"
#include "src/xxh64.h"

namespace rs::ndjson {
namespace {

// Large buffers in both directions: one system call moves a megabyte.
constexpr size_t kReadBuffer = 1 << 20;
constexpr size_t kWriteBuffer = 1 << 20;
constexpr size_t kRecordChunk = 4 << 20;
constexpr size_t kHugePage = 2 << 20;
constexpr size_t kInitialSlots = 1024;

void* checked_malloc(size_t n) {
  void* p = mi_malloc(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// Memory for the table of records seen, which grows large and is probed at
// random: transparent huge pages spare most of its TLB misses (advice only;
// ignored where the kernel has none). The records themselves are written in
// order and read rarely: there, clearing whole huge pages costs more than the
// page faults it saves.
void* huge_malloc(size_t n) {
  if (n < kHugePage) return checked_malloc(n);
  void* p = mi_malloc_aligned(n, kHugePage);
  if (p == nullptr) throw std::bad_alloc();
  (void)::madvise(p, n & ~(kHugePage - 1), MADV_HUGEPAGE);
  return p;
}

// The caller's check, asked until it first says stop and never after: a
// check that says so by raising an exception must not run again with it set.
// Thread safety: none; one owner.
class Stop {
 public:
  explicit Stop(const StopCheck& check) : check_(check) {}
  Stop(const Stop&) = delete;
  Stop& operator=(const Stop&) = delete;

  bool ask() { return stopped_ || (stopped_ = check_()); }
  bool stopped() const { return stopped_; }
  // ask() for the reads and writes.
  const StopCheck& check() const { return sticky_; }

 private:
  const StopCheck& check_;
  bool stopped_ = false;
  const StopCheck sticky_{[this] { return ask(); }};
};

// The text of a failed open, read or write. A stop gets none: the call
// reports the stop instead.
std::string io_error_text(int err) {
  if (err == kStopped) return std::string();
  if (err == kWroteNothing) return "failed to write whole buffer";
  return os_error_text(err);
}

// Owns a file descriptor.
// Thread safety: none; one owner.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Splits a file into lines: a line ends at LF, which is removed with one CR
// before it; a last line without LF counts too. A line stays valid until the
// next call.
// Thread safety: none; one owner.
class LineReader {
 public:
  // `stop` is asked once per read.
  LineReader(StoppableFd fd, const StopCheck& stop)
      : fd_(fd),
        stop_(stop),
        buf_(static_cast<char*>(checked_malloc(kReadBuffer))),
        cap_(kReadBuffer) {}
  ~LineReader() { mi_free(buf_); }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // True with the next line, false at the end of the file.
  storage::Result<bool, std::string> next(std::string_view* line) {
    for (;;) {
      if (scanned_ < end_) {
        auto* nl = static_cast<char*>(std::memchr(buf_ + scanned_, '\n', end_ - scanned_));
        if (nl != nullptr) {
          size_t len = static_cast<size_t>(nl - (buf_ + begin_));
          *line = std::string_view(buf_ + begin_, len);
          if (len > 0 && line->back() == '\r') line->remove_suffix(1);
          begin_ += len + 1;
          scanned_ = begin_;
          return true;
        }
        scanned_ = end_;
      }
      if (eof_) {
        if (begin_ == end_) return false;
        *line = std::string_view(buf_ + begin_, end_ - begin_);
        begin_ = scanned_ = end_;
        return true;
      }
      if (begin_ > 0) {
        std::memmove(buf_, buf_ + begin_, end_ - begin_);
        end_ -= begin_;
        scanned_ -= begin_;
        begin_ = 0;
      }
      if (end_ == cap_) {
        // A line longer than the buffer: make room for the rest of it.
        auto* bigger = static_cast<char*>(mi_realloc(buf_, cap_ * 2));
        if (bigger == nullptr) throw std::bad_alloc();
        buf_ = bigger;
        cap_ *= 2;
      }
      auto n = read_stoppable(fd_, buf_ + end_, cap_ - end_, stop_);
      if (!n.ok()) return storage::Err{io_error_text(n.error())};
      if (*n == 0) {
        eof_ = true;
      } else {
        end_ += *n;
      }
    }
  }

 private:
  StoppableFd fd_;
  const StopCheck& stop_;
  char* buf_;
  size_t cap_;
  size_t begin_ = 0;    // start of the current line
  size_t scanned_ = 0;  // bytes before this hold no LF of the current line
  size_t end_ = 0;
  bool eof_ = false;
};

// Buffered output: records are written into buffer() and accepted by
// commit(); the accepted bytes go out once they fill kWriteBuffer, and bytes
// after them move to the front of the buffer. Dropping the file without
// close() still writes out what was accepted (ignoring a failure then), so a
// failed or stopped call leaves every record accepted before the failing line
// or the stop in the file.
//
// Only a pipe (or the like) can keep a write waiting, so only its writes ask
// `stop`. After a stop, the write-out on dropping the file no longer asks: it
// gives the bytes to a pipe while its reader takes them, and gives up the
// rest once the reader keeps it waiting a whole slice.
// Thread safety: none; one owner.
class OutputFile {
 public:
  OutputFile(StoppableFd fd, Stop* stop) : fd_(fd), stop_(stop), buf_(kWriteBuffer + 4096) {}
  ~OutputFile() {
    if (fd_.fd < 0) return;
    if (accepted_ > 0) {
      bool first = true;
      const StopCheck after_stop = [&first] { return !std::exchange(first, false); };
      (void)write(buf_.data(), accepted_, stop_->stopped() ? after_stop : stop_->check());
    }
    ::close(fd_.fd);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  ByteBuffer* buffer() { return &buf_; }

  // Accepts the buffer's first `end` bytes.
  storage::Result<void, std::string> commit(size_t end) {
    accepted_ = end;
    if (accepted_ < kWriteBuffer) return {};
    return flush();
  }

  // Writes out what was accepted.
  storage::Result<void, std::string> flush() {
    // A stop before a byte went out leaves them accepted, for the write-out
    // when the file is dropped.
    if (fd_.can_wait && stop_->ask()) return storage::Err{std::string()};
    const size_t n = accepted_;
    auto written = write(buf_.data(), n, stop_->check());
    // What failed to go out is not retried when the file is dropped.
    const size_t rest = buf_.size() - n;
    std::memmove(buf_.data(), buf_.data() + n, rest);
    buf_.truncate(rest);
    accepted_ = 0;
    if (!written.ok()) return storage::Err{io_error_text(written.error())};
    return {};
  }

  // Flushes what was accepted and closes; either failing is an error (a close
  // can report a write that the file system deferred).
  storage::Result<void, std::string> close() {
    TRY(flush());
    int fd = fd_.fd;
    fd_.fd = -1;
    if (::close(fd) != 0 && errno != EINTR) return storage::Err{os_error_text(errno)};
    return {};
  }

 private:
  storage::Result<void, int> write(const char* p, size_t n, const StopCheck& stop) {
    return write_all_stoppable(fd_, p, n, fd_.can_wait ? stop : never_stop_);
  }

  StoppableFd fd_;
  Stop* stop_;
  const StopCheck never_stop_{[] { return false; }};
  ByteBuffer buf_;
  size_t accepted_ = 0;
};

}  // namespace

std::string os_error_text(int err) {
  char buf[256];
  const char* text = strerror_r(err, buf, sizeof(buf));
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

// ---- SeenRecords ----

SeenRecords::SeenRecords() {
  slots_ = static_cast<Slot*>(mi_zalloc(sizeof(Slot) * kInitialSlots));
  if (slots_ == nullptr) throw std::bad_alloc();
  mask_ = kInitialSlots - 1;
}

SeenRecords::~SeenRecords() {
  mi_free(slots_);
  for (char* c : chunks_) mi_free(c);
}

const char* SeenRecords::store(std::string_view bytes) {
  if (chunk_pos_ == nullptr || bytes.size() > chunk_left_) {
    size_t size = bytes.size() > kRecordChunk ? bytes.size() : kRecordChunk;
    chunk_pos_ = static_cast<char*>(checked_malloc(size));
    chunks_.push_back(chunk_pos_);
    chunk_left_ = size;
  }
  char* out = chunk_pos_;
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  chunk_pos_ += bytes.size();
  chunk_left_ -= bytes.size();
  return out;
}

void SeenRecords::grow() {
  size_t cap = (mask_ + 1) * 2;
  auto* bigger = static_cast<Slot*>(huge_malloc(sizeof(Slot) * cap));
  std::memset(bigger, 0, sizeof(Slot) * cap);
  for (size_t i = 0; i <= mask_; ++i) {
    const Slot& s = slots_[i];
    if (s.data == nullptr) continue;
    size_t h = s.hash & (cap - 1);
    while (bigger[h].data != nullptr) h = (h + 1) & (cap - 1);
    bigger[h] = s;
  }
  mi_free(slots_);
  slots_ = bigger;
  mask_ = cap - 1;
}

bool SeenRecords::record_if_new(std::string_view bytes) {
  return record_if_new(bytes, xxh64_hash(bytes));
}

bool SeenRecords::record_if_new(std::string_view bytes, uint64_t hash) {
  size_t h = hash & mask_;
  while (slots_[h].data != nullptr) {
    const Slot& s = slots_[h];
    if (s.hash == hash && s.size == bytes.size() &&
        std::memcmp(s.data, bytes.data(), bytes.size()) == 0) {
      return false;
    }
    h = (h + 1) & mask_;
  }
  // store() never returns null, so an empty record still marks its slot.
  slots_[h] = Slot{hash, store(bytes), bytes.size()};
  ++count_;
  if (count_ * 4 > (mask_ + 1) * 3) grow();
  return true;
}

// ---- Records ----

storage::Result<std::optional<json::Value>, std::string> finalize_record(
    const json::Value& value, bool is_edges, EdgeIdMaker* ids, json::Arena* arena,
    bool strings_are_plain) {
  json::Value record = json::strip_nulls(value, arena);
  if (record.is_object() && record.size == 0) return std::optional<json::Value>();
  if (!is_edges) return std::optional<json::Value>(record);
  char* id = static_cast<char*>(arena->allocate(kUuidTextSize, 1));
  if (!ids->id_of(record, id, strings_are_plain)) {
    return storage::Err{std::string(kExpectedObject)};
  }
  const json::Value id_value = json::Value::string({id, kUuidTextSize});
  // strip_nulls built this object afresh, so its entries may be changed.
  for (json::Member& m : record.entries()) {
    if (m.key == "id") {
      m.value = id_value;
      return std::optional<json::Value>(record);
    }
  }
  json::Member* members = arena->allocate_array<json::Member>(record.size + 1);
  std::copy(record.members, record.members + record.size, members);
  members[record.size] = json::Member{"id", id_value};
  return std::optional<json::Value>(json::Value::object(members, record.size + 1));
}

RecordWriter::Outcome RecordWriter::write(const json::Value& value, bool is_edges,
                                          bool strings_are_plain, ByteBuffer* out) {
  const size_t mark = out->size();
  if (!is_edges) {
    json::write_stripped(value, out, strings_are_plain);
    // "{}": an object that lost every entry.
    if (value.is_object() && out->size() - mark == 2) {
      out->truncate(mark);
      return Outcome::kDropped;
    }
    return Outcome::kWritten;
  }
  if (!value.is_object()) return Outcome::kNotObject;

  out->push_back('{');
  written_.clear();
  size_t id_at = kNoBytes;
  for (const json::Member& m : value.entries()) {
    if (!json::keeps_entry(m.value)) continue;
    if (!written_.empty()) out->push_back(',');
    json::write_key(m.key, out, strings_are_plain);
    out->push_back(':');
    if (m.key == "id") {
      // The new id takes the old one's place once it is known.
      id_at = out->size();
      out->reserve_more(kUuidTextSize + 2);
      std::memset(out->tail(), '"', kUuidTextSize + 2);
      out->commit(kUuidTextSize + 2);
      written_.push_back(Written{&m, kNoBytes, kNoBytes});
      continue;
    }
    const size_t begin = out->size();
    json::write_entry_value(m.value, out, strings_are_plain);
    written_.push_back(Written{&m, begin, out->size()});
  }
  if (written_.empty()) {
    out->truncate(mark);
    return Outcome::kDropped;
  }

  // The output no longer moves: the texts of the entries can point into it.
  parts_.clear();
  for (const Written& w : written_) {
    const json::Value& v = w.member->value;
    std::string_view text;
    switch (v.kind) {
      case json::Kind::kNull:
      case json::Kind::kFalse:
        continue;
      case json::Kind::kTrue:
        text = "true";
        break;
      case json::Kind::kString:
        text = v.text();
        break;
      default:
        if (w.begin == kNoBytes) {
          old_id_.clear();
          json::write_entry_value(v, &old_id_, strings_are_plain);
          text = old_id_.view();
        } else {
          text = std::string_view(out->data() + w.begin, w.end - w.begin);
        }
    }
    parts_.push_back(EdgeIdMaker::Part{EdgeIdMaker::key_prefix(w.member->key), w.member->key,
                                       text});
  }
  char id[kUuidTextSize];
  ids_.id_of_parts(parts_, id);
  if (id_at != kNoBytes) {
    std::memcpy(out->data() + id_at + 1, id, kUuidTextSize);
    out->push_back('}');
  } else {
    static constexpr std::string_view kIdKey = ",\"id\":\"";
    out->reserve_more(kIdKey.size() + kUuidTextSize + 2);
    char* p = out->tail();
    std::memcpy(p, kIdKey.data(), kIdKey.size());
    std::memcpy(p + kIdKey.size(), id, kUuidTextSize);
    std::memcpy(p + kIdKey.size() + kUuidTextSize, "\"}", 2);
    out->commit(kIdKey.size() + kUuidTextSize + 2);
  }
  return Outcome::kWritten;
}

namespace {

// dedup_ndjson with its errors as texts; a stop also ends it with one.
storage::Result<void, std::string> dedup_lines(const std::string& input,
                                               const std::string& output, bool is_edges,
                                               std::string_view domain, Stop* stop) {
  auto opened_in = open_for_reading(input, 0, stop->check());
  if (!opened_in.ok()) return storage::Err{io_error_text(opened_in.error())};
  Fd in(opened_in->fd);
  struct stat in_stat;
  if (::fstat(in.get(), &in_stat) != 0) return storage::Err{os_error_text(errno)};

  // Opened without truncation so that an output naming the input (by any path,
  // symlink or hard link) is refused before a byte of it is lost.
  auto opened_out = open_for_writing(output, O_CREAT, 0666, stop->check());
  if (!opened_out.ok()) return storage::Err{io_error_text(opened_out.error())};
  Fd out(opened_out->fd);
  struct stat out_stat;
  if (::fstat(out.get(), &out_stat) != 0) return storage::Err{os_error_text(errno)};
  if (S_ISREG(in_stat.st_mode) && in_stat.st_dev == out_stat.st_dev &&
      in_stat.st_ino == out_stat.st_ino) {
    return storage::Err{std::string(kSameFile)};
  }
  if (S_ISREG(out_stat.st_mode) && ::ftruncate(out.get(), 0) != 0) {
    return storage::Err{os_error_text(errno)};
  }

  out.release();
  OutputFile writer(*opened_out, stop);
  LineReader reader(*opened_in, stop->check());
  json::Arena arena;
  json::Parser parser;
  RecordWriter records(domain);
  SeenRecords seen;
  ByteBuffer* const buf = writer.buffer();

  // A record is checked against those seen one line late: its table slot is
  // fetched from memory meanwhile. Until then it stays in the buffer, and the
  // next record is written after it.
  struct Pending {
    size_t begin;
    size_t end;  // before its LF
    uint64_t hash;
  };
  std::optional<Pending> pending;
  // Keeps or drops the pending record; returns how far the bytes after it
  // moved down.
  auto settle = [&]() -> storage::Result<size_t, std::string> {
    const Pending p = *pending;
    pending.reset();
    const size_t size = buf->size();
    if (seen.record_if_new(std::string_view(buf->data() + p.begin, p.end - p.begin), p.hash)) {
      TRY(writer.commit(p.end + 1));
    } else {
      const size_t rest = size - (p.end + 1);
      std::memmove(buf->data() + p.begin, buf->data() + p.end + 1, rest);
      buf->truncate(p.begin + rest);
    }
    return size - buf->size();
  };
  // The records before a failing line are kept.
  auto fail = [&](std::string error) -> storage::Result<void, std::string> {
    if (pending) TRY(settle());
    return storage::Err{std::move(error)};
  };

  std::string_view line;
  for (;;) {
    auto more = reader.next(&line);
    if (!more.ok()) return fail(std::move(more).error());
    if (!more.value()) break;
    const utf8::AsciiScan scan = utf8::scan_ascii(line);
    if (!scan.ascii && !utf8::is_valid(line)) return fail(std::string(kInvalidUtf8));
    if (utf8::is_blank(line)) continue;
    arena.reset();
    auto parsed = parser.parse(line, &arena, scan.backslash);
    if (!parsed.ok()) return fail(parsed.error().display());
    // Without a backslash in the line, no string can need an escape (the ids
    // added to edges never do).
    const bool plain = !scan.backslash;
    size_t begin = buf->size();
    switch (records.write(parsed.value(), is_edges, plain, buf)) {
      case RecordWriter::Outcome::kNotObject:
        return fail(std::string(kExpectedObject));
      case RecordWriter::Outcome::kDropped:
        continue;
      case RecordWriter::Outcome::kWritten:
        break;
    }
    size_t end = buf->size();
    buf->push_back('\n');
    const uint64_t hash = xxh64_hash(std::string_view(buf->data() + begin, end - begin));
    seen.prefetch(hash);
    if (pending) {
      TRY_ASSIGN(const size_t moved, settle());
      begin -= moved;
      end -= moved;
    }
    pending = Pending{begin, end, hash};
  }
  if (pending) TRY(settle());
  return writer.close();
}

}  // namespace

storage::Result<void, DedupError> dedup_ndjson(const std::string& input,
                                               const std::string& output, bool is_edges,
                                               std::string_view domain, const StopCheck& stop) {
  Stop stops(stop);
  auto done = dedup_lines(input, output, is_edges, domain, &stops);
  // Asked once the files are closed: the write-out after a failure can be
  // stopped too, and the stop then wins.
  if (stops.stopped()) return storage::Err{DedupError{.stopped = true}};
  if (!done.ok()) return storage::Err{DedupError{.text = std::move(done).error()}};
  return {};
}

}  // namespace rs::ndjson
