// The parsed form of one input line as text, for tables of row cases shared
// by the fullmap tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/fullmap/rows.h"

namespace rs::fullmap::test {

// "key|v1,v2" for an accepted class row ("-" when the row has no key), or
// the error.
inline std::string class_outcome(std::string_view line) {
  RowParser parser;
  ClassRow row;
  auto r = parser.parse(line, &row);
  if (!r.ok()) return r.error().display();
  std::optional<std::string_view> key = row.id;
  if (!key && !row.equivalent_identifiers.empty()) {
    key = row.equivalent_identifiers.front().identifier();
  }
  std::string out = key ? std::string(*key) : "-";
  out += "|";
  bool first = true;
  for (const EquivId& e : row.equivalent_identifiers) {
    if (auto id = e.identifier()) {
      if (!first) out += ",";
      out += *id;
      first = false;
    }
  }
  return out;
}

// "curie|names|types|taxa|preferred_name" for an accepted synonym row (lists
// joined by commas, "-" for an absent text), or the error.
inline std::string synonym_outcome(std::string_view line) {
  RowParser parser;
  SynonymRow row;
  auto r = parser.parse(line, &row);
  if (!r.ok()) return r.error().display();
  auto join = [](const std::vector<std::string_view>& v) {
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) s += (i ? "," : "") + std::string(v[i]);
    return s;
  };
  return std::string(row.curie.value_or("-")) + "|" + join(row.names) + "|" + join(row.types) +
         "|" + join(row.taxa) + "|" + std::string(row.preferred_name.value_or("-"));
}

}  // namespace rs::fullmap::test
