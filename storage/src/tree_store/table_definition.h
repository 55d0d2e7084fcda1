// The stored record of one table: its kind, entry count, B-tree root and the
// key and value types it was created with. The table directory keeps one per
// table name as the value of its B-tree; opening a table checks the record
// against the caller's key and value types before any page of the table is
// read. The stored form is documented in storage/FORMAT.md ("Table definition").
//
// Untrusted bytes: a stored record comes from the file. from_bytes checks every
// length and flag it reads and reports a short record, a type length past the
// end, a kind byte other than normal or multimap (the legacy kinds included)
// and a bad type name as StorageError::Corrupted; it never reads past the
// record and never panics on damage.
//
// Thread safety: a plain value; visit_all_pages reads pages through a page
// source that allows reads from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/src/error.h"
#include "storage/src/result.h"
#include "storage/src/tree_store/btree.h"
#include "storage/src/tree_store/page_source.h"
#include "storage/src/types.h"

namespace storage {

// Stored as the value + 3 (3 normal, 4 multimap).
enum class TableKind : uint8_t { kNormal = 0, kMultimap = 1 };

class InternalTableDefinition {
 public:
  // The fixed part of the stored form; the two type names follow it.
  static constexpr size_t kFixedSize = 64;
  static_assert(kFixedSize == 1 + 8 + 1 + BtreeHeader::kSerializedSize + 2 * (1 + 4) + 3 * 4);

  InternalTableDefinition(TableKind kind, uint64_t table_length,
                          std::optional<BtreeHeader> table_root,
                          std::optional<size_t> fixed_key_width,
                          std::optional<size_t> fixed_value_width, size_t key_alignment,
                          size_t value_alignment, TypeName key_type, TypeName value_type);

  // The definition of a table of K keys and V values; a new table has no root
  // and length 0.
  template <KeyCodec K, ValueCodec V>
  static InternalTableDefinition create(TableKind kind, std::optional<BtreeHeader> root,
                                        uint64_t table_length) {
    return InternalTableDefinition(kind, table_length, root, K::fixed_width(), V::fixed_width(),
                                   1, 1, K::type_name(), V::type_name());
  }

  // The stored form. Widths, alignments and the key type's length must fit a
  // u32 (a broken invariant otherwise; no type comes near).
  std::vector<uint8_t> as_bytes() const;
  static Result<InternalTableDefinition, StorageError> from_bytes(ByteView bytes);

  // Kind, then the two alignments; the first failing check is the error.
  Result<void, TableError> check_match_untyped(TableKind expected_kind,
                                               std::string_view name) const;
  // check_match_untyped, then the type names (both stored names are reported),
  // then the key width and the value width.
  template <KeyCodec K, ValueCodec V>
  Result<void, TableError> check_match(TableKind expected_kind, std::string_view name) const {
    return check_match_types(expected_kind, name, K::type_name(), K::fixed_width(),
                             V::type_name(), V::fixed_width());
  }
  Result<void, TableError> check_match_types(TableKind expected_kind, std::string_view name,
                                             const TypeName& key_type,
                                             std::optional<size_t> key_width,
                                             const TypeName& value_type,
                                             std::optional<size_t> value_width) const;

  // Every page of the table, pre-order (a page before its children, children
  // left to right); the visitor gets the path from the root. Nothing for a
  // table without a root. The first error of a read or of the visitor ends the
  // walk; a page met twice is Corrupted "Cycle detected in Btree pages".
  Result<void, StorageError> visit_all_pages(std::shared_ptr<const PageSource> mem,
                                             PageReadHint hint,
                                             const PageVisitor& visitor) const;
  Result<void, StorageError> visit_all_pages(std::shared_ptr<TransactionalMemory> mem,
                                             PageReadHint hint,
                                             const PageVisitor& visitor) const {
    return visit_all_pages(page_source_of(std::move(mem)), hint, visitor);
  }

  TypeName private_key_type() const { return key_type_; }
  TypeName private_value_type() const { return value_type_; }

  TableKind table_kind() const { return table_kind_; }
  uint64_t table_length() const { return table_length_; }
  std::optional<BtreeHeader> table_root() const { return table_root_; }
  std::optional<size_t> fixed_key_width() const { return fixed_key_width_; }
  std::optional<size_t> fixed_value_width() const { return fixed_value_width_; }
  size_t key_alignment() const { return key_alignment_; }
  size_t value_alignment() const { return value_alignment_; }
  const TypeName& key_type() const { return key_type_; }
  const TypeName& value_type() const { return value_type_; }

  // A staged root and length laid over the stored ones.
  void set_root_and_length(std::optional<BtreeHeader> root, uint64_t length) {
    table_root_ = root;
    table_length_ = length;
  }

  bool operator==(const InternalTableDefinition&) const = default;

 private:
  TableKind table_kind_;
  uint64_t table_length_;
  std::optional<BtreeHeader> table_root_;
  std::optional<size_t> fixed_key_width_;
  std::optional<size_t> fixed_value_width_;
  size_t key_alignment_;
  size_t value_alignment_;
  TypeName key_type_;
  TypeName value_type_;
};

// The value codec of the table directory's B-tree. It hands out the stored
// record as it lies in the page: a record comes from the file, so it is decoded
// with the checked InternalTableDefinition::from_bytes (decode()), which a
// codec's infallible from_bytes could not be. Values are written with
// InternalTableDefinition::as_bytes.
struct TableDefinitionCodec {
  using Decoded = ByteView;
  static constexpr std::optional<size_t> fixed_width() { return std::nullopt; }
  static ByteView from_bytes(ByteView bytes) { return bytes; }
  static ByteView as_bytes(const ByteView& value) { return value; }
  static TypeName type_name() { return TypeName{0, "storage::InternalTableDefinition"}; }
  static Result<InternalTableDefinition, StorageError> decode(ByteView bytes) {
    return InternalTableDefinition::from_bytes(bytes);
  }
};

}  // namespace storage
