#include "storage/src/tree_store/table_definition.h"

#include <limits>
#include <utility>

#include "storage/src/panic.h"

namespace storage {
namespace {

// Offsets of the stored form.
constexpr size_t kKindAt = 0;
constexpr size_t kLengthAt = 1;
constexpr size_t kRootFlagAt = 9;
constexpr size_t kRootAt = 10;
constexpr size_t kKeyWidthFlagAt = 42;
constexpr size_t kKeyWidthAt = 43;
constexpr size_t kValueWidthFlagAt = 47;
constexpr size_t kValueWidthAt = 48;
constexpr size_t kKeyAlignmentAt = 52;
constexpr size_t kValueAlignmentAt = 56;
constexpr size_t kKeyTypeLengthAt = 60;
static_assert(kRootAt + BtreeHeader::kSerializedSize == kKeyWidthFlagAt);
static_assert(kKeyTypeLengthAt + 4 == InternalTableDefinition::kFixedSize);

constexpr uint8_t kKindOffset = 3;

uint32_t to_u32(size_t v) {
  if (v > std::numeric_limits<uint32_t>::max()) {
    panic("called `Result::unwrap()` on an `Err` value: TryFromIntError(())");
  }
  return static_cast<uint32_t>(v);
}

void put_u32(std::vector<uint8_t>& out, size_t v) {
  uint8_t b[4];
  store_le32(b, to_u32(v));
  out.insert(out.end(), b, b + 4);
}

void put_width(std::vector<uint8_t>& out, std::optional<size_t> width) {
  out.push_back(width ? 1 : 0);
  put_u32(out, width.value_or(0));
}

std::optional<size_t> get_width(const uint8_t* p, size_t flag_at, size_t width_at) {
  if (p[flag_at] == 0) return std::nullopt;
  return load_le32(p + width_at);
}

StorageError damaged(const std::string& what) {
  return StorageError::Corrupted("Table definition " + what);
}

}  // namespace

InternalTableDefinition::InternalTableDefinition(TableKind kind, uint64_t table_length,
                                                 std::optional<BtreeHeader> table_root,
                                                 std::optional<size_t> fixed_key_width,
                                                 std::optional<size_t> fixed_value_width,
                                                 size_t key_alignment, size_t value_alignment,
                                                 TypeName key_type, TypeName value_type)
    : table_kind_(kind),
      table_length_(table_length),
      table_root_(table_root),
      fixed_key_width_(fixed_key_width),
      fixed_value_width_(fixed_value_width),
      key_alignment_(key_alignment),
      value_alignment_(value_alignment),
      key_type_(std::move(key_type)),
      value_type_(std::move(value_type)) {}

std::vector<uint8_t> InternalTableDefinition::as_bytes() const {
  const std::vector<uint8_t> key_type = type_name_to_bytes(key_type_);
  const std::vector<uint8_t> value_type = type_name_to_bytes(value_type_);
  std::vector<uint8_t> out;
  out.reserve(kFixedSize + key_type.size() + value_type.size());
  out.push_back(static_cast<uint8_t>(static_cast<uint8_t>(table_kind_) + kKindOffset));
  uint8_t length[8];
  store_le64(length, table_length_);
  out.insert(out.end(), length, length + 8);
  out.push_back(table_root_ ? 1 : 0);
  uint8_t header[BtreeHeader::kSerializedSize] = {};
  if (table_root_) table_root_->to_le_bytes(header);
  out.insert(out.end(), header, header + BtreeHeader::kSerializedSize);
  put_width(out, fixed_key_width_);
  put_width(out, fixed_value_width_);
  put_u32(out, key_alignment_);
  put_u32(out, value_alignment_);
  put_u32(out, key_type.size());
  STORAGE_ASSERT(out.size() == kFixedSize);
  out.insert(out.end(), key_type.begin(), key_type.end());
  out.insert(out.end(), value_type.begin(), value_type.end());
  return out;
}

Result<InternalTableDefinition, StorageError> InternalTableDefinition::from_bytes(
    ByteView bytes) {
  if (bytes.size() < kFixedSize) {
    return Err{damaged("is " + std::to_string(bytes.size()) + " bytes, shorter than its " +
                       std::to_string(kFixedSize) + "-byte header")};
  }
  const uint8_t* p = bytes.data();
  TableKind kind;
  switch (p[kKindAt]) {
    case 3:
      kind = TableKind::kNormal;
      break;
    case 4:
      kind = TableKind::kMultimap;
      break;
    case 1:
    case 2:
      return Err{damaged("has the legacy table kind " + std::to_string(p[kKindAt]) +
                         ", which cannot be read")};
    default:
      return Err{damaged("has the unknown table kind " + std::to_string(p[kKindAt]))};
  }
  std::optional<BtreeHeader> root;
  if (p[kRootFlagAt] != 0) root = BtreeHeader::from_le_bytes(p + kRootAt);
  const size_t key_type_len = load_le32(p + kKeyTypeLengthAt);
  if (key_type_len > bytes.size() - kFixedSize) {
    return Err{damaged("announces a key type of " + std::to_string(key_type_len) +
                       " bytes, past the end of its " + std::to_string(bytes.size()) +
                       "-byte record")};
  }
  auto key_type = type_name_from_bytes(bytes.subspan(kFixedSize, key_type_len));
  if (!key_type.ok()) return Err{damaged("key type: " + key_type.error().to_string())};
  auto value_type = type_name_from_bytes(bytes.subspan(kFixedSize + key_type_len));
  if (!value_type.ok()) return Err{damaged("value type: " + value_type.error().to_string())};
  return InternalTableDefinition(kind, load_le64(p + kLengthAt), root,
                                 get_width(p, kKeyWidthFlagAt, kKeyWidthAt),
                                 get_width(p, kValueWidthFlagAt, kValueWidthAt),
                                 load_le32(p + kKeyAlignmentAt), load_le32(p + kValueAlignmentAt),
                                 std::move(key_type).value(), std::move(value_type).value());
}

Result<void, TableError> InternalTableDefinition::check_match_untyped(
    TableKind expected_kind, std::string_view name) const {
  if (table_kind_ != expected_kind) {
    if (table_kind_ == TableKind::kMultimap) {
      return Err{TableError::UnexpectedMultimap(std::string(name))};
    }
    return Err{TableError::ExpectedMultimap(std::string(name))};
  }
  if (key_alignment_ != 1) {
    return Err{TableError::StoredDefinitionMismatch(key_type_, fixed_key_width_, key_alignment_)};
  }
  if (value_alignment_ != 1) {
    return Err{TableError::StoredDefinitionMismatch(value_type_, fixed_value_width_,
                                                    value_alignment_)};
  }
  return {};
}

Result<void, TableError> InternalTableDefinition::check_match_types(
    TableKind expected_kind, std::string_view name, const TypeName& key_type,
    std::optional<size_t> key_width, const TypeName& value_type,
    std::optional<size_t> value_width) const {
  TRY(check_match_untyped(expected_kind, name));
  if (key_type_ != key_type || value_type_ != value_type) {
    return Err{TableError::WrongTableType(std::string(name), key_type_, value_type_)};
  }
  if (fixed_key_width_ != key_width) {
    return Err{TableError::StoredDefinitionMismatch(key_type, fixed_key_width_, key_alignment_)};
  }
  if (fixed_value_width_ != value_width) {
    return Err{
        TableError::StoredDefinitionMismatch(value_type, fixed_value_width_, value_alignment_)};
  }
  return {};
}

Result<void, StorageError> InternalTableDefinition::visit_all_pages(
    std::shared_ptr<const PageSource> mem, PageReadHint hint, const PageVisitor& visitor) const {
  if (table_kind_ == TableKind::kMultimap) {
    // The walk of a multimap's value subtrees is not built yet; nothing writes
    // such tables, so one found in a file is refused rather than half-walked.
    return Err{StorageError::Corrupted("Multimap table pages cannot be walked")};
  }
  if (!table_root_) return {};
  return UntypedBtree(table_root_, fixed_key_width_, std::move(mem), hint)
      .visit_pages_helper({table_root_->root}, visitor);
}

}  // namespace storage
