// Input rows of the fullmap build, parsed straight from one NDJSON line into
// typed rows by RapidJSON's SAX reader: no value tree is built, and every
// text is a view into the parser's copy of the line, valid until its next
// parse.
//
// Errors are json::ParseError values (shown as "<message> at line 1 column
// <n>"): JSON syntax errors as json::diagnose names them, type errors
// ("invalid type: null, expected a sequence"), "duplicate field `{}`" and
// "data did not match any variant of untagged enum EquivId".
//
// The value of a key that a row or an object item does not list is checked
// for JSON syntax alone (json::skip_value): its numbers may be of any size
// and its nesting of any depth. Inside the listed fields numbers must fit a
// double and nesting stops at json::kMaxDepth.
//
// Thread safety: RowParser has one owner; rows are plain values.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "src/json.h"
#include "storage/src/result.h"

namespace rs::fullmap {

// An object item of equivalent_identifiers: the identifier under
// "identifier", "id" or "curie", or a one-element array holding it.
struct EquivIdObject {
  std::optional<std::string_view> identifier;
};

// One item of equivalent_identifiers: a bare string or an object.
struct EquivId {
  std::variant<std::string_view, EquivIdObject> item;

  std::optional<std::string_view> identifier() const {
    if (auto* s = std::get_if<std::string_view>(&item)) return *s;
    return std::get<EquivIdObject>(item).identifier;
  }
};

// One line of a class file: {"id" or "curie", "equivalent_identifiers"}, or
// an array of those two in this order.
struct ClassRow {
  std::optional<std::string_view> id;
  std::vector<EquivId> equivalent_identifiers;
};

// One line of a synonym file: {"curie" or "id", "names", "types" or
// "categories", "taxa" or "taxon", "preferred_name" or "name"}, or an array
// of at most five elements in that order.
struct SynonymRow {
  std::optional<std::string_view> curie;
  std::vector<std::string_view> names;
  std::vector<std::string_view> types;
  std::vector<std::string_view> taxa;
  std::optional<std::string_view> preferred_name;
};

class RowParser {
 public:
  RowParser();
  ~RowParser();
  RowParser(const RowParser&) = delete;
  RowParser& operator=(const RowParser&) = delete;

  // Parses `line` into `row` (whose lists are cleared first and keep their
  // capacity).
  storage::Result<void, json::ParseError> parse(std::string_view line, ClassRow* row);
  storage::Result<void, json::ParseError> parse(std::string_view line, SynonymRow* row);

 private:
  template <typename Handler>
  storage::Result<void, json::ParseError> run(std::string_view line, Handler* handler);

  struct Reader;
  Reader* reader_;
  char* scratch_ = nullptr;
  size_t cap_ = 0;
  // The values of keys not listed that the last parse blanked in its copy.
  std::vector<std::pair<size_t, size_t>> blanked_;
};

}  // namespace rs::fullmap
