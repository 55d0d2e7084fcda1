// Reads of a primary's tables shared by lookups and hydration: the name
// tables loaded whole, and CURIE rows by id.
//
// Thread safety: each call begins its own read transaction; any number may
// run at once on one database.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/fullmap/error.h"
#include "src/fullmap/layout.h"
#include "storage/database.h"
#include "storage/src/result.h"

namespace rs::fullmap {

// The whole of `prefixes` or `categories`: id → name.
storage::Result<std::map<uint16_t, std::string>, PendingError> load_string_table(
    const storage::ReadOnlyDatabase& db, std::string_view name);

// The whole of `sources`: id → source name.
storage::Result<std::map<uint8_t, std::string>, PendingError> load_sources(
    const storage::ReadOnlyDatabase& db);

// The CURIE row of every id, in the order given; an id without a row fails
// with "missing fullmap CURIE id {}".
storage::Result<std::vector<CurieRow>, PendingError> hydrate_curie_rows(
    const storage::ReadOnlyDatabase& db, std::span<const uint32_t> ids);

// A name table as a list indexed by id: "" for an id without an entry, up to
// the largest id (one empty name for an empty table).
template <typename Id>
std::vector<std::string_view> name_list(const std::map<Id, std::string>& names) {
  const size_t m = names.empty() ? 0 : size_t{names.rbegin()->first};
  std::vector<std::string_view> out(m + 1);
  for (const auto& [id, name] : names) out[id] = name;
  return out;
}

}  // namespace rs::fullmap
