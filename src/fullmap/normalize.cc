#include "src/fullmap/normalize.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "src/utf8.h"
#include "storage/src/panic.h"

namespace rs::fullmap {
namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHigh = 0x8080808080808080ULL;

// The high bit of each byte of `w` (all ASCII) that is 'A' to 'Z'.
inline uint64_t upper_mask(uint64_t w) {
  uint64_t ge_a = w + (0x80 - 'A') * kOnes;
  uint64_t gt_z = w + (0x7F - 'Z') * kOnes;
  return (ge_a ^ gt_z) & kHigh;
}

struct AsciiCase {
  bool ascii;
  bool has_upper;
};

AsciiCase classify(std::string_view s) {
  const char* p = s.data();
  size_t n = s.size();
  uint64_t high = 0, upper = 0;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    high |= w & kHigh;
    upper |= upper_mask(w & ~kHigh);
  }
  for (; n > 0; ++p, --n) {
    auto c = static_cast<unsigned char>(*p);
    high |= c & 0x80;
    upper |= (c >= 'A' && c <= 'Z');
  }
  return {high == 0, upper != 0};
}

void ascii_lower(std::string_view s, std::string* out) {
  out->resize(s.size());
  const char* p = s.data();
  char* q = out->data();
  size_t n = s.size();
  for (; n >= 8; p += 8, q += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    w |= upper_mask(w) >> 2;  // 0x80 >> 2 is the case bit 0x20
    std::memcpy(q, &w, 8);
  }
  for (; n > 0; ++p, ++q, --n) {
    char c = *p;
    *q = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
}

void unicode_lower(std::string_view s, std::string* out) {
  out->clear();
  icu::StringByteSink<std::string> sink(out, static_cast<int32_t>(s.size()));
  UErrorCode status = U_ZERO_ERROR;
  // "" is the root locale: no language-specific rules (no Turkish dotless i).
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(s.data(), static_cast<int32_t>(s.size())),
                            sink, nullptr, status);
  if (U_FAILURE(status)) {
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    storage::panic(std::string("lowercase mapping failed: ") + u_errorName(status));
  }
}

// Stop words; the 8-letter "estimate" joins "exposure" as a column heading
// that leaks into name fields.
constexpr std::array<std::string_view, 12> kStopWords = {
    "na",       "nan",      "none",     "null",       "result",         "symbol",
    "unknown",  "p_value",  "exposure", "estimate",   "expression",     "not applicable",
};

inline bool is_key_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

std::string_view clean_slice(std::string_view s) {
  while (true) {
    std::string_view t = utf8::trim(s);
    if (t.size() >= 2 && (t[0] == '"' || t[0] == '\'')) {
      char q = t[0];
      if (t[1] == q) {
        t.remove_prefix(1);
      } else if (t.back() == q) {
        t = t.substr(1, t.size() - 2);
      }
    }
    if (t.size() == s.size()) return t;  // a sub-slice: equal length is equal
    s = t;
  }
}

std::string_view lowercase(std::string_view s, std::string* scratch) {
  AsciiCase c = classify(s);
  if (c.ascii) {
    if (!c.has_upper) return s;
    ascii_lower(s, scratch);
  } else {
    unicode_lower(s, scratch);
  }
  return *scratch;
}

bool token_qc(std::string_view t) {
  if (t.empty()) return false;
  for (char c : t) {
    if (c == '\t' || c == '\n' || c == '\r') return false;
  }
  for (std::string_view bad : {"inchikey", "uncharacterized", "hypothetical"}) {
    if (t.find(bad) != std::string_view::npos) return false;
  }
  return true;
}

bool is_dead_term(std::string_view t) {
  if (t.empty()) return true;
  if (std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; })) return true;
  return std::find(kStopWords.begin(), kStopWords.end(), t) != kStopWords.end();
}

namespace {

void level_two_into(std::string_view t, std::string* out) {
  out->resize(t.size());
  size_t n = 0;
  for (char c : t) {
    auto u = static_cast<unsigned char>(c);
    if (is_key_byte(u) || (u >= 'A' && u <= 'Z')) (*out)[n++] = c;
  }
  out->resize(n);
}

}  // namespace

std::string level_two(std::string_view t) {
  std::string out;
  level_two_into(t, &out);
  return out;
}

std::span<const std::string_view> stop_words() { return kStopWords; }

const TermMap::Postings* TermMap::find(std::string_view term) const {
  if (entries_.empty()) return nullptr;
  const uint64_t hash = fx_hash_bytes(term);
  const size_t mask = slots_.size() - 1;
  const uint64_t tag = hash << 32;
  for (size_t pos = home(hash);; pos = (pos + 1) & mask) {
    uint64_t slot = slots_[pos];
    if (slot == 0) return nullptr;
    if ((slot & ~uint64_t{0xFFFFFFFF}) == tag) {
      const Entry& e = entries_[static_cast<uint32_t>(slot) - 1];
      if (std::string_view(e.term) == term) return &e.postings;
    }
  }
}

void TermMap::add(std::string_view term, Posting posting) {
  if (num_queued_ > 0) flush();
  insert(fx_hash_bytes(term), term, posting);
}

void TermMap::add_queued(std::string_view term, Posting posting) {
  if (num_queued_ == kQueue) flush();
  const uint64_t hash = fx_hash_bytes(term);
  if (!slots_.empty()) __builtin_prefetch(&slots_[home(hash)]);
  queued_[num_queued_++] = Queued{hash, queued_bytes_.size(), term.size(), posting};
  queued_bytes_.append(term);
}

void TermMap::flush() {
  const size_t n = num_queued_;
  num_queued_ = 0;
  for (size_t i = 0; i < n; ++i) {
    const Queued& q = queued_[i];
    insert(q.hash, std::string_view(queued_bytes_).substr(q.offset, q.size), q.posting);
  }
  queued_bytes_.clear();
}

void TermMap::insert(uint64_t hash, std::string_view term, Posting posting) {
  // At most half full, so that probes stay short.
  if ((entries_.size() + 1) * 2 > slots_.size()) grow();
  const size_t mask = slots_.size() - 1;
  const uint64_t tag = hash << 32;
  size_t pos = home(hash);
  for (;; pos = (pos + 1) & mask) {
    uint64_t slot = slots_[pos];
    if (slot == 0) break;
    if ((slot & ~uint64_t{0xFFFFFFFF}) == tag) {
      Entry& e = entries_[static_cast<uint32_t>(slot) - 1];
      if (std::string_view(e.term) == term) {
        e.postings.push_back(posting);
        return;
      }
    }
  }
  STORAGE_ASSERT(entries_.size() < UINT32_MAX);
  entries_.push_back(Entry{hash, Term(term), Postings{posting}});
  slots_[pos] = slot_of(hash, entries_.size() - 1);
}

void TermMap::grow() {
  size_t capacity = slots_.empty() ? 64 : slots_.size() * 2;
  slots_.assign(capacity, 0);
  shift_ = 64 - std::countr_zero(capacity);
  const size_t mask = capacity - 1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    size_t pos = home(entries_[i].hash);
    while (slots_[pos] != 0) pos = (pos + 1) & mask;
    slots_[pos] = slot_of(entries_[i].hash, i);
  }
}

void TermMap::clear() {
  num_queued_ = 0;
  queued_bytes_.clear();
  entries_.clear();
  std::fill(slots_.begin(), slots_.end(), 0);
}

namespace {

template <typename Add>
void emit_keys(std::string_view raw, Posting posting, Add&& add) {
  thread_local std::string scratch;
  thread_local std::string second;
  std::string_view k1 = lowercase(clean_slice(raw), &scratch);
  if (!token_qc(k1) || is_dead_term(k1)) return;
  bool simple = std::all_of(k1.begin(), k1.end(),
                            [](char c) { return is_key_byte(static_cast<unsigned char>(c)); });
  if (simple) {
    add(k1, posting);
    return;
  }
  level_two_into(k1, &second);
  const std::string_view k2 = second;
  add(k1, posting);
  if (k2 != k1 && token_qc(k2) && !is_dead_term(k2)) add(k2, posting);
}

}  // namespace

void emit_term(std::string_view raw, uint32_t curie_id, uint8_t source_id, TermMap* map) {
  emit_keys(raw, Posting{curie_id, source_id},
            [map](std::string_view term, Posting p) { map->add(term, p); });
}

void emit_term_queued(std::string_view raw, uint32_t curie_id, uint8_t source_id, TermMap* map) {
  emit_keys(raw, Posting{curie_id, source_id},
            [map](std::string_view term, Posting p) { map->add_queued(term, p); });
}

}  // namespace rs::fullmap
