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

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "src/fullmap/fx_hash.h"
#include "src/fullmap/layout.h"

namespace rs::fullmap {

std::string_view clean_slice(std::string_view s);

// `s` lowercased: `s` itself when it is ASCII without capitals, else the
// lowercase text written to `scratch` (its old contents are replaced).
std::string_view lowercase(std::string_view s, std::string* scratch);

bool token_qc(std::string_view t);
bool is_dead_term(std::string_view t);
std::string level_two(std::string_view t);

// Normalised terms with their postings in arrival order, repeats kept (the
// spill removes them). Fx-hashed.
class TermMap {
 public:
  using Postings = std::vector<Posting>;

  void add(std::string_view term, Posting posting) {
    auto it = map_.find(term);
    if (it == map_.end()) it = map_.emplace(std::string(term), Postings()).first;
    it->second.push_back(posting);
  }

  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  const Postings* find(std::string_view term) const {
    auto it = map_.find(term);
    return it == map_.end() ? nullptr : &it->second;
  }

  // Calls f(term, postings) for every entry, in no particular order.
  template <typename F>
  void for_each(F&& f) const {
    for (const auto& [term, postings] : map_) f(std::string_view(term), postings);
  }

  // Moves every entry out through f(std::string&&, Postings&&), in no
  // particular order, and leaves the map empty with its table kept.
  template <typename F>
  void drain(F&& f) {
    while (!map_.empty()) {
      auto node = map_.extract(map_.begin());
      f(std::move(node.key()), std::move(node.mapped()));
    }
  }

  void clear() { map_.clear(); }
  size_t bucket_count() const { return map_.bucket_count(); }

 private:
  std::unordered_map<std::string, Postings, FxHash, std::equal_to<>> map_;
};

// Records (curie_id, source_id) under the keys of `raw`, if it has any.
void emit_term(std::string_view raw, uint32_t curie_id, uint8_t source_id, TermMap* map);

// The stop list's words, for tests and documentation.
std::span<const std::string_view> stop_words();

}  // namespace rs::fullmap
