#include "src/fullmap/read_tables.h"

namespace rs::fullmap {
namespace {

using storage::BytesCodec;
using storage::Err;
using storage::TextCodec;

std::string_view text_of(storage::ByteView bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

storage::Result<std::map<uint16_t, std::string>, PendingError> load_string_table(
    const storage::ReadOnlyDatabase& db, std::string_view name) {
  TRY_ASSIGN(storage::ReadTransaction txn, db.begin_read());
  TRY_ASSIGN(auto table, (txn.open_table<storage::U16Codec, TextCodec>(name)));
  TRY_ASSIGN(auto range, table.iter());
  std::map<uint16_t, std::string> out;
  while (auto entry = range.next()) {
    TRY_ASSIGN(auto kv, std::move(*entry));
    out.emplace_hint(out.end(), kv.first.value(), std::string(kv.second.value()));
  }
  return out;
}

storage::Result<std::map<uint8_t, std::string>, PendingError> load_sources(
    const storage::ReadOnlyDatabase& db) {
  TRY_ASSIGN(storage::ReadTransaction txn, db.begin_read());
  TRY_ASSIGN(auto table, (txn.open_table<storage::U8Codec, BytesCodec>(kSourcesTable)));
  TRY_ASSIGN(auto range, table.iter());
  std::map<uint8_t, std::string> out;
  while (auto entry = range.next()) {
    TRY_ASSIGN(auto kv, std::move(*entry));
    TRY_ASSIGN(std::string_view name, decode_source_row(text_of(kv.second.value())));
    out.emplace_hint(out.end(), kv.first.value(), std::string(name));
  }
  return out;
}

storage::Result<std::vector<CurieRow>, PendingError> hydrate_curie_rows(
    const storage::ReadOnlyDatabase& db, std::span<const uint32_t> ids) {
  TRY_ASSIGN(storage::ReadTransaction txn, db.begin_read());
  TRY_ASSIGN(auto table, (txn.open_table<storage::U32Codec, BytesCodec>(kCuriesTable)));
  std::vector<CurieRow> rows;
  rows.reserve(ids.size());
  for (uint32_t id : ids) {
    TRY_ASSIGN(auto value, table.get(id));
    if (!value) return Err(PendingError::runtime("missing fullmap CURIE id " + std::to_string(id)));
    TRY_ASSIGN(CurieRowView row, decode_curie_row(text_of(value->value())));
    rows.push_back(row.to_owned());
  }
  return rows;
}

}  // namespace rs::fullmap
