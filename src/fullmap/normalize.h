// Term normalisation: how a raw name, synonym or CURIE becomes the one or two
// keys under which the build files its CURIE. Lookups compare queries with
// these keys byte for byte, so these rules are the contract with callers.
//
// - clean_slice: trims Unicode white space and unwraps quotes (a sub-slice).
// - lowercase: ASCII a word at a time; other texts by the Unicode full
//   lowercase mapping of the root locale, so no process locale changes a key.
// - token_qc / is_dead_term: which lowercased texts may be keys.
// - level_two: the punctuation-free second key.
// - emit_term: all of the above, recording a posting under each key.
//
// Inputs are valid UTF-8 (they come out of the JSON parser).
//
// Thread safety: pure functions; a TermMap has one owner.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "src/fullmap/fx_hash.h"
#include "src/fullmap/layout.h"
#include "src/module_alloc.h"

namespace rs::fullmap {

std::string_view clean_slice(std::string_view s);

// `s` lowercased: `s` itself when it is ASCII without capitals, else the
// lowercase text written to `scratch` (its old contents are replaced).
std::string_view lowercase(std::string_view s, std::string* scratch);

bool token_qc(std::string_view t);
bool is_dead_term(std::string_view t);
std::string level_two(std::string_view t);

// Normalised terms with their postings in arrival order, repeats kept (the
// spill removes them). An open-addressing table of Fx hashes over a dense
// list of entries: a lookup touches one slot and, on a likely match, one
// entry; growing moves no text.
class TermMap {
 public:
  // Allocated through the module's allocator: every new term allocates its
  // key and its postings.
  using Postings = std::vector<Posting, ModuleAllocator<Posting>>;
  using Term = std::basic_string<char, std::char_traits<char>, ModuleAllocator<char>>;

  void add(std::string_view term, Posting posting);
  // As add, but the add may wait in a short queue, its slot fetched into the
  // cache meanwhile, so that the cache misses of a row's keys overlap. Queued
  // adds are made in arrival order when the queue is full, at flush(), and
  // before any add(); until then size(), find() and the walks do not see them.
  void add_queued(std::string_view term, Posting posting);
  void flush();
  // Adds waiting in the queue.
  size_t queued() const { return num_queued_; }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const Postings* find(std::string_view term) const;

  // Calls f(term, postings) for every entry, in no particular order.
  template <typename F>
  void for_each(F&& f) const {
    for (const Entry& e : entries_) f(std::string_view(e.term), e.postings);
  }
  // As for_each, with the postings open to change.
  template <typename F>
  void for_each_mut(F&& f) {
    for (Entry& e : entries_) f(std::string_view(e.term), e.postings);
  }

  // Moves every entry out through f(Term&&, Postings&&), queued adds
  // included, in no particular order, and leaves the map empty with its
  // table kept.
  template <typename F>
  void drain(F&& f) {
    flush();
    for (Entry& e : entries_) f(std::move(e.term), std::move(e.postings));
    clear();
  }

  // Empties the map (queued adds too); its table and entry list keep their
  // capacity.
  void clear();
  // Slots of the table.
  size_t bucket_count() const { return slots_.size(); }

 private:
  struct Entry {
    uint64_t hash;
    Term term;
    Postings postings;
  };
  // A slot is 0 when empty, else the low 32 bits of the hash above the entry
  // index + 1.
  static uint64_t slot_of(uint64_t hash, size_t index) {
    return (hash << 32) | (static_cast<uint64_t>(index) + 1);
  }
  size_t home(uint64_t hash) const { return static_cast<size_t>(hash >> shift_); }
  void grow();
  void insert(uint64_t hash, std::string_view term, Posting posting);

  struct Queued {
    uint64_t hash;
    size_t offset;  // of the term in queued_bytes_
    size_t size;
    Posting posting;
  };
  static constexpr size_t kQueue = 48;

  std::vector<uint64_t> slots_;
  std::vector<Entry> entries_;
  int shift_ = 64;
  std::array<Queued, kQueue> queued_;
  size_t num_queued_ = 0;
  std::string queued_bytes_;
};

// Records (curie_id, source_id) under the keys of `raw`, if it has any.
void emit_term(std::string_view raw, uint32_t curie_id, uint8_t source_id, TermMap* map);
// The same through TermMap::add_queued: the caller flushes the map.
void emit_term_queued(std::string_view raw, uint32_t curie_id, uint8_t source_id, TermMap* map);

// The stop list's words, for tests and documentation.
std::span<const std::string_view> stop_words();

}  // namespace rs::fullmap
