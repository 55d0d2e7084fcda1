// Both row types share one shape of handler: a small state machine over the
// reader's events that fills the row, ignores unknown keys (and anything
// nested under them), and stops at the first type error with its text and
// the column where it was found. Syntax errors are left to json::diagnose,
// which names them from the original line.
//
// The value of a key not listed is never read as a value: the handler walks
// it by the grammar alone when the reader hands over its key, and blanks it
// in the reader's copy to a 0 that the reader then passes by. Its numbers are
// thus never converted (the reader refuses literals beyond a double's range)
// and its nesting costs no recursion of the reader.
#include "src/fullmap/rows.h"

#include <cstring>
#include <new>
#include <utility>

#include "src/json.h"
#include "src/json_sax.h"
#include "src/module_alloc.h"
#include "src/utf8.h"

namespace rs::fullmap {
namespace {

using rapidjson::SizeType;

constexpr std::string_view kUntagged = "data did not match any variant of untagged enum EquivId";

bool is_json_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// What a value is, for the texts of type errors.
enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

struct Seen {
  Kind kind;
  std::string_view text;  // the string, the number literal, "true" or "false"
};

std::string describe(const Seen& v) {
  switch (v.kind) {
    case Kind::kNull: return "null";
    case Kind::kBool: return "boolean `" + std::string(v.text) + "`";
    case Kind::kNumber:
      if (v.text.find_first_of(".eE") != std::string_view::npos) {
        return "floating point `" + std::string(v.text) + "`";
      }
      return "integer `" + std::string(v.text) + "`";
    case Kind::kString: return "string \"" + std::string(v.text) + "\"";
    case Kind::kArray: return "sequence";
    case Kind::kObject: return "map";
  }
  return "value";
}

// Event plumbing shared by both handlers: depth limit, UTF-8 checks of
// strings, skipping of ignored values and the error record. `Derived`
// supplies value(), key() and end().
template <typename Derived>
struct HandlerBase : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Derived> {
  rapidjson::InsituStringStream* stream = nullptr;
  std::string_view line;  // the original text
  char* copy = nullptr;   // the reader's copy of it, at the same offsets
  // The values blanked in the copy, as [begin, end) offsets.
  std::vector<std::pair<size_t, size_t>>* blanked = nullptr;
  bool check_strings = false;
  int depth = 0;
  int skip = 0;  // > 0 inside an ignored container
  bool done = false;
  std::string error;  // a type error; empty for syntax errors
  size_t error_column = 0;
  bool bad_utf8 = false;
  bool token_is_text_or_number = false;  // the event being handled

  Derived& self() { return static_cast<Derived&>(*this); }

  // The column of the last byte of the token just read. The reader calls
  // back for strings and numbers from a copy of its stream, so the stream
  // still points at their first byte; those are scanned to their end.
  size_t column() const {
    size_t p = stream->Tell();
    if (!token_is_text_or_number || p >= line.size()) return p;
    const char c = line[p];
    if (c == '"') {
      for (++p; p < line.size(); ++p) {
        if (line[p] == '\\') {
          ++p;
        } else if (line[p] == '"') {
          return p + 1;
        }
      }
      return line.size();
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      while (p < line.size() && (line[p] == '-' || line[p] == '+' || line[p] == '.' ||
                                 line[p] == 'e' || line[p] == 'E' ||
                                 (line[p] >= '0' && line[p] <= '9'))) {
        ++p;
      }
    }
    return p;
  }
  bool fail(std::string message) {
    error = std::move(message);
    error_column = column();
    return false;
  }
  bool type_error(const Seen& v, std::string_view expected) {
    return fail("invalid type: " + describe(v) + ", expected " + std::string(expected));
  }
  // Ignores the value `v` starts (a whole container).
  bool ignore(const Seen& v) {
    if (v.kind == Kind::kArray || v.kind == Kind::kObject) skip = 1;
    return true;
  }
  // Called with the key of a member that is not listed, before the reader
  // goes past the key: walks the member's value and blanks it. Strings and
  // the literals, which the reader takes whole, are left to it, and so are
  // numbers it cannot refuse (it refuses only some with an exponent or with
  // more than 308 digits). A colon that is missing is left to the reader too.
  bool skip_unlisted() {
    size_t p = column();  // just past the key
    while (p < line.size() && is_json_space(line[p])) ++p;
    if (p >= line.size() || line[p] != ':') return true;
    ++p;
    while (p < line.size() && is_json_space(line[p])) ++p;
    if (p >= line.size()) return true;
    const char c = line[p];
    if (c == '-' || (c >= '0' && c <= '9')) {
      size_t q = p + 1;
      bool exponent = false;
      for (; q < line.size(); ++q) {
        const char d = line[q];
        if (d == 'e' || d == 'E') {
          exponent = true;
        } else if (!(d >= '0' && d <= '9') && d != '.' && d != '-' && d != '+') {
          break;
        }
      }
      if (!exponent && q - p <= 300) return true;
    } else if (c != '[' && c != '{') {
      return true;
    }
    size_t end = p;
    json::ParseError e = json::skip_value(line, &end, check_strings);
    if (!e.message.empty()) {
      error = std::move(e.message);
      error_column = e.column;
      return false;
    }
    copy[p] = '0';
    std::memset(copy + p + 1, ' ', end - p - 1);
    blanked->emplace_back(p, end);
    return true;
  }
  bool scalar(const Seen& v) {
    token_is_text_or_number = v.kind == Kind::kString || v.kind == Kind::kNumber;
    if (skip > 0) return true;
    return self().value(v);
  }
  bool open(Kind kind) {
    token_is_text_or_number = false;
    if (depth >= json::kMaxDepth) return false;  // diagnose names it
    ++depth;
    if (skip > 0) {
      ++skip;
      return true;
    }
    return self().value(Seen{kind, {}});
  }
  bool close() {
    token_is_text_or_number = false;
    --depth;
    if (skip > 0) {
      --skip;
      return true;
    }
    return self().end();
  }
  bool valid_text(const char* s, SizeType n) {
    token_is_text_or_number = true;
    if (check_strings && !utf8::is_valid(std::string_view(s, n))) {
      bad_utf8 = true;
      error_column = column();
      return false;
    }
    return true;
  }

  bool Null() { return scalar(Seen{Kind::kNull, {}}); }
  bool Bool(bool b) { return scalar(Seen{Kind::kBool, b ? "true" : "false"}); }
  bool RawNumber(const char* s, SizeType n, bool) { return scalar(Seen{Kind::kNumber, {s, n}}); }
  bool String(const char* s, SizeType n, bool) {
    if (!valid_text(s, n)) return false;
    return scalar(Seen{Kind::kString, {s, n}});
  }
  bool Key(const char* s, SizeType n, bool) {
    if (!valid_text(s, n)) return false;
    if (skip > 0) return true;
    return self().key(std::string_view(s, n));
  }
  bool StartObject() { return open(Kind::kObject); }
  bool StartArray() { return open(Kind::kArray); }
  bool EndObject(SizeType) { return close(); }
  bool EndArray(SizeType) { return close(); }
};

// ---- ClassRow ----

struct ClassHandler : HandlerBase<ClassHandler> {
  enum class Where { kTop, kRowObject, kRowArray, kList, kItemObject, kItemArray };
  enum class Field { kIgnore, kId, kList, kIdent };

  ClassRow* row = nullptr;
  Where where = Where::kTop;
  Where list_parent = Where::kRowObject;
  Field expect = Field::kIgnore;
  bool seen_id = false;
  bool seen_list = false;
  size_t row_index = 0;
  // The item being read.
  bool item_failed = false;
  bool item_seen_ident = false;
  size_t item_count = 0;
  std::optional<std::string_view> item_ident;

  void start_item(Where w) {
    where = w;
    item_failed = false;
    item_seen_ident = false;
    item_count = 0;
    item_ident.reset();
  }

  bool field_value(Field f, const Seen& v) {
    switch (f) {
      case Field::kId:
        if (v.kind == Kind::kString) {
          row->id = v.text;
          return true;
        }
        if (v.kind == Kind::kNull) return true;
        return type_error(v, "a string");
      case Field::kList:
        if (v.kind == Kind::kArray) {
          list_parent = where;
          where = Where::kList;
          return true;
        }
        return type_error(v, "a sequence");
      default:
        return ignore(v);
    }
  }

  // The identifier of an item, or the item's failure (carried to its end).
  bool ident_value(const Seen& v) {
    if (v.kind == Kind::kString) {
      item_ident = v.text;
      return true;
    }
    if (v.kind == Kind::kNull) return true;
    item_failed = true;
    return ignore(v);
  }

  bool value(const Seen& v) {
    switch (where) {
      case Where::kTop:
        if (v.kind == Kind::kObject) {
          where = Where::kRowObject;
          return true;
        }
        if (v.kind == Kind::kArray) {
          where = Where::kRowArray;
          return true;
        }
        return type_error(v, "struct ClassRow");
      case Where::kRowObject:
        return field_value(expect, v);
      case Where::kRowArray:
        ++row_index;
        if (row_index == 1) return field_value(Field::kId, v);
        if (row_index == 2) return field_value(Field::kList, v);
        return fail("invalid length " + std::to_string(row_index) +
                    ", expected struct ClassRow with at most 2 elements");
      case Where::kList:
        if (v.kind == Kind::kString) {
          row->equivalent_identifiers.push_back(EquivId{v.text});
          return true;
        }
        if (v.kind == Kind::kObject) {
          start_item(Where::kItemObject);
          return true;
        }
        if (v.kind == Kind::kArray) {
          start_item(Where::kItemArray);
          return true;
        }
        return fail(std::string(kUntagged));
      case Where::kItemObject:
        if (item_failed || expect != Field::kIdent) return ignore(v);
        return ident_value(v);
      case Where::kItemArray:
        ++item_count;
        if (item_failed) return ignore(v);
        if (item_count > 1) {
          item_failed = true;
          return ignore(v);
        }
        return ident_value(v);
    }
    return false;
  }

  bool key(std::string_view k) {
    if (where == Where::kRowObject) {
      if (k == "id" || k == "curie") {
        if (seen_id) return fail("duplicate field `id`");
        seen_id = true;
        expect = Field::kId;
      } else if (k == "equivalent_identifiers") {
        if (seen_list) return fail("duplicate field `equivalent_identifiers`");
        seen_list = true;
        expect = Field::kList;
      } else {
        expect = Field::kIgnore;
        return skip_unlisted();
      }
      return true;
    }
    // An item object.
    if (k == "identifier" || k == "id" || k == "curie") {
      if (item_seen_ident) {
        item_failed = true;
        expect = Field::kIgnore;
      } else {
        item_seen_ident = true;
        expect = Field::kIdent;
      }
    } else {
      expect = Field::kIgnore;
      return skip_unlisted();
    }
    return true;
  }

  bool end() {
    switch (where) {
      case Where::kRowObject:
      case Where::kRowArray:
        done = true;
        return true;
      case Where::kList:
        where = list_parent;
        return true;
      case Where::kItemObject:
      case Where::kItemArray:
        if (item_failed) return fail(std::string(kUntagged));
        row->equivalent_identifiers.push_back(EquivId{EquivIdObject{item_ident}});
        where = Where::kList;
        return true;
      case Where::kTop:
        break;
    }
    return false;
  }
};

// ---- SynonymRow ----

struct SynonymHandler : HandlerBase<SynonymHandler> {
  enum class Where { kTop, kRowObject, kRowArray, kList };
  // Field numbers are the array positions.
  enum Field { kCurie = 0, kNames, kTypes, kTaxa, kPreferredName, kIgnore };
  static constexpr const char* kNamesOf[] = {"curie", "names", "types", "taxa",
                                             "preferred_name"};

  SynonymRow* row = nullptr;
  Where where = Where::kTop;
  Where list_parent = Where::kRowObject;
  Field expect = kIgnore;
  std::vector<std::string_view>* list = nullptr;
  unsigned seen = 0;
  size_t row_index = 0;

  std::vector<std::string_view>* list_of(Field f) {
    return f == kNames ? &row->names : f == kTypes ? &row->types : &row->taxa;
  }

  bool field_value(Field f, const Seen& v) {
    switch (f) {
      case kCurie:
      case kPreferredName: {
        auto& slot = f == kCurie ? row->curie : row->preferred_name;
        if (v.kind == Kind::kString) {
          slot = v.text;
          return true;
        }
        if (v.kind == Kind::kNull) return true;
        return type_error(v, "a string");
      }
      case kNames:
      case kTypes:
      case kTaxa:
        if (v.kind == Kind::kArray) {
          list = list_of(f);
          list_parent = where;
          where = Where::kList;
          return true;
        }
        return type_error(v, "a sequence");
      case kIgnore:
        break;
    }
    return ignore(v);
  }

  bool value(const Seen& v) {
    switch (where) {
      case Where::kTop:
        if (v.kind == Kind::kObject) {
          where = Where::kRowObject;
          return true;
        }
        if (v.kind == Kind::kArray) {
          where = Where::kRowArray;
          return true;
        }
        return type_error(v, "struct SynonymRow");
      case Where::kRowObject:
        return field_value(expect, v);
      case Where::kRowArray:
        if (row_index >= kIgnore) {
          return fail("invalid length " + std::to_string(row_index + 1) +
                      ", expected struct SynonymRow with at most 5 elements");
        }
        return field_value(static_cast<Field>(row_index++), v);
      case Where::kList:
        if (v.kind != Kind::kString) return type_error(v, "a string");
        list->push_back(v.text);
        return true;
    }
    return false;
  }

  bool key(std::string_view k) {
    Field f = kIgnore;
    if (k == "curie" || k == "id") {
      f = kCurie;
    } else if (k == "names") {
      f = kNames;
    } else if (k == "types" || k == "categories") {
      f = kTypes;
    } else if (k == "taxa" || k == "taxon") {
      f = kTaxa;
    } else if (k == "preferred_name" || k == "name") {
      f = kPreferredName;
    }
    expect = f;
    if (f == kIgnore) return skip_unlisted();
    if (seen & (1u << f)) return fail(std::string("duplicate field `") + kNamesOf[f] + "`");
    seen |= 1u << f;
    return true;
  }

  bool end() {
    switch (where) {
      case Where::kRowObject:
      case Where::kRowArray:
        done = true;
        return true;
      case Where::kList:
        where = list_parent;
        return true;
      case Where::kTop:
        break;
    }
    return false;
  }
};

}  // namespace

struct RowParser::Reader {
  json::MiAllocator allocator;
  rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, json::MiAllocator> reader{
      &allocator};
};

RowParser::RowParser() : reader_(new Reader) {}

RowParser::~RowParser() {
  delete reader_;
  module_free(scratch_);
}

template <typename Handler>
storage::Result<void, json::ParseError> RowParser::run(std::string_view line, Handler* h) {
  // The reader works in place on a copy (it unescapes strings over their
  // escapes) that ends in a NUL and 16 more readable bytes for its vector
  // loads; the line itself stays as it was for diagnosis.
  if (cap_ < line.size() + 17) {
    size_t cap = std::max<size_t>(line.size() + 17, cap_ * 2);
    char* p = static_cast<char*>(module_realloc(scratch_, cap));
    if (p == nullptr) throw std::bad_alloc();
    scratch_ = p;
    cap_ = cap;
  }
  if (!line.empty()) std::memcpy(scratch_, line.data(), line.size());
  std::memset(scratch_ + line.size(), 0, 17);
  const utf8::AsciiScan scan = utf8::scan_ascii(line);
  h->check_strings = !scan.ascii || scan.backslash;
  rapidjson::InsituStringStream stream(scratch_);
  h->stream = &stream;
  h->line = line;
  h->copy = scratch_;
  blanked_.clear();
  h->blanked = &blanked_;
  constexpr unsigned kFlags = rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag |
                              rapidjson::kParseStopWhenDoneFlag;
  rapidjson::ParseResult result = reader_->reader.Parse<kFlags>(stream, *h);
  // A syntax error is named from the line with the values that were passed
  // by blanked as in the reader's copy (the offsets stay).
  auto diagnose = [&] {
    if (blanked_.empty()) return json::diagnose(line);
    std::string text(line);
    for (auto [begin, end] : blanked_) {
      text[begin] = '0';
      std::memset(text.data() + begin + 1, ' ', end - begin - 1);
    }
    return json::diagnose(text);
  };
  json::ParseError error;
  if (!result.IsError()) {
    size_t pos = stream.Tell();
    while (pos < line.size() && is_json_space(line[pos])) ++pos;
    if (pos == line.size() && h->done) return {};
    error = diagnose();
  } else if (!h->error.empty()) {
    error.message = std::move(h->error);
    error.column = h->error_column;
  } else {
    error = diagnose();
    if (h->bad_utf8 && (error.message.empty() || error.column > h->error_column)) {
      // Raw bytes that are not UTF-8 inside a string: invisible to the grammar.
      error.message = "invalid UTF-8 in string";
      error.column = h->error_column;
    }
  }
  if (error.message.empty()) {
    error.message = "invalid JSON";
    error.column = result.IsError() ? result.Offset() + 1 : line.size();
  }
  error.line = 1;
  return storage::Err{std::move(error)};
}

storage::Result<void, json::ParseError> RowParser::parse(std::string_view line, ClassRow* row) {
  row->id.reset();
  row->equivalent_identifiers.clear();
  ClassHandler h;
  h.row = row;
  return run(line, &h);
}

storage::Result<void, json::ParseError> RowParser::parse(std::string_view line, SynonymRow* row) {
  row->curie.reset();
  row->names.clear();
  row->types.clear();
  row->taxa.clear();
  row->preferred_name.reset();
  SynonymHandler h;
  h.row = row;
  return run(line, &h);
}

}  // namespace rs::fullmap
