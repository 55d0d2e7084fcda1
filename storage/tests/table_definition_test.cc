// Table definitions: the stored form byte for byte, round trips of every key
// and value type the system stores, the mismatch checks with their exact
// texts, damaged records (every truncation, every bad kind byte) and the page
// walk of a normal table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/src/tree_store/table_definition.h"
#include "storage/tests/support/transactional_page_store.h"
#include "storage/tests/support/tree_harness.h"

namespace storage {
namespace {

using test::Bytes;

Bytes u32_le(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// The record of a new, empty u64 -> &[u8] table, written out by hand.
Bytes empty_records_table_bytes() {
  Bytes b{0x03};
  append(b, Bytes(8, 0));   // length 0
  b.push_back(0);           // no root
  append(b, Bytes(32, 0));  // ... and its 32 zero bytes
  b.push_back(1);           // key width present
  append(b, u32_le(8));
  b.push_back(0);           // no value width
  append(b, u32_le(0));
  append(b, u32_le(1));     // key alignment
  append(b, u32_le(1));     // value alignment
  append(b, u32_le(4));     // key type length
  append(b, Bytes{1, 'u', '6', '4'});
  append(b, Bytes{1, '&', '[', 'u', '8', ']'});
  return b;
}

TEST(TableDefinitionTest, NewU64BytesTableIsThe74ByteRecord) {
  auto def = InternalTableDefinition::create<U64Codec, BytesCodec>(TableKind::kNormal,
                                                                   std::nullopt, 0);
  const Bytes expected = empty_records_table_bytes();
  ASSERT_EQ(expected.size(), 74u);
  EXPECT_EQ(def.as_bytes(), expected);
  auto decoded = InternalTableDefinition::from_bytes(expected);
  ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
  EXPECT_EQ(decoded.value(), def);
  EXPECT_EQ(decoded->private_key_type(), (TypeName{0, "u64"}));
  EXPECT_EQ(decoded->private_value_type(), (TypeName{0, "&[u8]"}));
}

TEST(TableDefinitionTest, TextTableHasNoWidths) {
  auto def = InternalTableDefinition::create<TextCodec, TextCodec>(TableKind::kNormal,
                                                                   std::nullopt, 0);
  Bytes b = def.as_bytes();
  ASSERT_EQ(b.size(), 64u + 5 + 5);
  EXPECT_EQ(b[42], 0);
  EXPECT_EQ(Bytes(b.begin() + 43, b.begin() + 47), Bytes(4, 0));
  EXPECT_EQ(b[47], 0);
  EXPECT_EQ(Bytes(b.begin() + 48, b.begin() + 52), Bytes(4, 0));
}

// Every key/value type pair the system stores, with a root, a length and a
// multimap kind thrown in, survives a round trip; and re-encoding gives the
// same bytes.
TEST(TableDefinitionTest, EveryStoredTypeRowRoundTrips) {
  struct Row {
    const char* key;
    std::optional<size_t> key_width;
    const char* value;
    std::optional<size_t> value_width;
  };
  const Row rows[] = {
      {"&str", std::nullopt, "&str", std::nullopt},
      {"u8", 1, "&[u8]", std::nullopt},
      {"u16", 2, "&str", std::nullopt},
      {"u32", 4, "&[u8]", std::nullopt},
      {"u64", 8, "&[u8]", std::nullopt},
      {"storage::AllocatorStateKey", 5, "&[u8]", std::nullopt},
      {"storage::TransactionIdWithPagination", 16, "storage::PageList", std::nullopt},
      {"storage::SavepointId", 8, "storage::SerializedSavepoint", std::nullopt},
      {"()", 0, "storage::SavepointId", 8},
  };
  const BtreeHeader root{PageNumber(3, 77, 2), (Checksum{0x0123456789ABCDEFull} << 64) | 42,
                         123456789};
  for (const Row& row : rows) {
    for (bool with_root : {false, true}) {
      SCOPED_TRACE(std::string(row.key) + " -> " + row.value);
      InternalTableDefinition def(
          with_root ? TableKind::kMultimap : TableKind::kNormal, with_root ? 987 : 0,
          with_root ? std::optional<BtreeHeader>(root) : std::nullopt, row.key_width,
          row.value_width, 1, 1, TypeName{0, row.key}, TypeName{0, row.value});
      Bytes b = def.as_bytes();
      EXPECT_EQ(b.size(), 64 + 2 + std::string(row.key).size() + std::string(row.value).size());
      auto decoded = InternalTableDefinition::from_bytes(b);
      ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
      EXPECT_EQ(decoded.value(), def);
      EXPECT_EQ(decoded->as_bytes(), b);
    }
  }
  // The root page is read back masked as every stored page number is, and
  // any non-zero flag byte counts as present.
  Bytes b = InternalTableDefinition::create<U64Codec, BytesCodec>(TableKind::kNormal, root, 5)
                .as_bytes();
  b[9] = 0x80;
  b[42] = 0xFF;
  auto decoded = InternalTableDefinition::from_bytes(b);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded->table_root(), root);
  EXPECT_EQ(decoded->fixed_key_width(), 8u);
}

TEST(TableDefinitionTest, MismatchesGiveTheirTableErrorsInOrder) {
  using Def = InternalTableDefinition;
  const Def records = Def::create<U64Codec, BytesCodec>(TableKind::kNormal, std::nullopt, 0);
  const Def multimap = Def::create<U64Codec, BytesCodec>(TableKind::kMultimap, std::nullopt, 0);
  const TypeName u64{0, "u64"}, u32{0, "u32"}, bytes{0, "&[u8]"}, text{0, "&str"};
  auto with = [&](std::optional<size_t> kw, std::optional<size_t> vw, size_t ka, size_t va) {
    return Def(TableKind::kNormal, 0, std::nullopt, kw, vw, ka, va, u64, bytes);
  };
  struct Case {
    const char* what;
    Def stored;
    TableKind kind;
    TypeName key;
    std::optional<size_t> key_width;
    TypeName value;
    std::optional<size_t> value_width;
    const char* expected;  // "" when the definition matches
  };
  const Case cases[] = {
      {"matching types", records, TableKind::kNormal, u64, 8, bytes, std::nullopt, ""},
      {"normal opened as multimap", records, TableKind::kMultimap, u64, 8, bytes, std::nullopt,
       "records is not a multimap table"},
      {"multimap opened as normal", multimap, TableKind::kNormal, u64, 8, bytes, std::nullopt,
       "records is a multimap table"},
      {"wrong key type names the stored types", records, TableKind::kNormal, u32, 4, bytes,
       std::nullopt, "records is of type Table<u64, &[u8]>"},
      {"wrong value type names the stored types", records, TableKind::kNormal, u64, 8, text,
       std::nullopt, "records is of type Table<u64, &[u8]>"},
      {"stored key width 4 for u64", with(4, std::nullopt, 1, 1), TableKind::kNormal, u64, 8,
       bytes, std::nullopt,
       "Current definition of u64 does not match stored definition (width=Some(4), "
       "alignment=1)"},
      {"stored value width for a variable value", with(8, 3, 1, 1), TableKind::kNormal, u64, 8,
       bytes, std::nullopt,
       "Current definition of &[u8] does not match stored definition (width=Some(3), "
       "alignment=1)"},
      {"key width missing", with(std::nullopt, std::nullopt, 1, 1), TableKind::kNormal, u64, 8,
       bytes, std::nullopt,
       "Current definition of u64 does not match stored definition (width=None, alignment=1)"},
      {"key before value when both widths differ", with(4, 3, 1, 1), TableKind::kNormal, u64, 8,
       bytes, std::nullopt,
       "Current definition of u64 does not match stored definition (width=Some(4), "
       "alignment=1)"},
      {"key alignment 2 with matching types", with(8, std::nullopt, 2, 1), TableKind::kNormal,
       u64, 8, bytes, std::nullopt,
       "Current definition of u64 does not match stored definition (width=Some(8), "
       "alignment=2)"},
      {"value alignment 2 names the stored value type", with(8, std::nullopt, 1, 2),
       TableKind::kNormal, u64, 8, bytes, std::nullopt,
       "Current definition of &[u8] does not match stored definition (width=None, "
       "alignment=2)"},
      {"alignment before type names", Def(TableKind::kNormal, 0, std::nullopt, 8, std::nullopt,
                                          2, 1, u64, bytes),
       TableKind::kNormal, u32, 4, text, std::nullopt,
       "Current definition of u64 does not match stored definition (width=Some(8), "
       "alignment=2)"},
      {"kind before alignment", Def(TableKind::kMultimap, 0, std::nullopt, 8, std::nullopt, 2, 1,
                                    u64, bytes),
       TableKind::kNormal, u64, 8, bytes, std::nullopt, "records is a multimap table"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = c.stored.check_match_types(c.kind, "records", c.key, c.key_width, c.value,
                                        c.value_width);
    if (*c.expected == '\0') {
      EXPECT_TRUE(r.ok()) << r.error().to_string();
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().to_string(), c.expected);
    }
  }
  // The typed form is the same check.
  EXPECT_TRUE((records.check_match<U64Codec, BytesCodec>(TableKind::kNormal, "records").ok()));
  EXPECT_EQ((records.check_match<U32Codec, BytesCodec>(TableKind::kNormal, "records")
                 .error()
                 .to_string()),
            "records is of type Table<u64, &[u8]>");
  EXPECT_EQ(multimap.check_match_untyped(TableKind::kNormal, "t").error().to_string(),
            "t is a multimap table");
}

TEST(TableDefinitionTest, DamagedRecordsAreCorrupted) {
  const Bytes valid = empty_records_table_bytes();
  // Every truncation: the fixed part cut short, the key type cut, the value
  // type cut to nothing. The value type runs to the end of the record with no
  // length of its own, so a cut inside its name leaves a shorter name, which
  // no longer matches the table's type.
  const size_t value_type_at = 64 + 4;
  for (size_t len = 0; len < valid.size(); ++len) {
    SCOPED_TRACE("length " + std::to_string(len));
    // A copy of exactly `len` bytes, so that ASan sees any read past it.
    std::vector<uint8_t> cut(valid.begin(), valid.begin() + len);
    auto r = InternalTableDefinition::from_bytes(ByteView(cut.data(), cut.size()));
    if (len > value_type_at) {
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r->value_type().name, std::string("&[u8]").substr(0, len - value_type_at - 1));
      EXPECT_EQ((r->check_match<U64Codec, BytesCodec>(TableKind::kNormal, "records")
                     .error()
                     .kind()),
                TableError::Kind::kWrongTableType);
      continue;
    }
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), StorageError::Kind::kCorrupted);
  }
  for (int kind = 0; kind < 256; ++kind) {
    Bytes b = valid;
    b[0] = static_cast<uint8_t>(kind);
    auto r = InternalTableDefinition::from_bytes(b);
    if (kind == 3 || kind == 4) {
      EXPECT_TRUE(r.ok()) << kind;
      continue;
    }
    ASSERT_FALSE(r.ok()) << kind;
    EXPECT_EQ(r.error().kind(), StorageError::Kind::kCorrupted) << kind;
  }
  auto legacy = [&](uint8_t kind) {
    Bytes b = valid;
    b[0] = kind;
    return InternalTableDefinition::from_bytes(b).error().to_string();
  };
  EXPECT_EQ(legacy(1), "DB corrupted: Table definition has the legacy table kind 1, which cannot "
                       "be read");
  EXPECT_EQ(legacy(9), "DB corrupted: Table definition has the unknown table kind 9");

  struct Damage {
    const char* what;
    size_t at;
    Bytes bytes;
    const char* text;
  };
  const Damage damages[] = {
      {"key type length past the end", 60, u32_le(11),
       "DB corrupted: Table definition announces a key type of 11 bytes, past the end of its "
       "74-byte record"},
      {"key type length near 2^32", 60, u32_le(0xFFFFFFFF),
       "DB corrupted: Table definition announces a key type of 4294967295 bytes, past the end "
       "of its 74-byte record"},
      {"empty key type", 60, u32_le(0),
       "DB corrupted: Table definition key type: DB corrupted: Stored type name is empty"},
      {"key classification byte 0", 64, Bytes{0},
       "DB corrupted: Table definition key type: DB corrupted: Stored type name has invalid "
       "classification byte 0"},
      {"value classification byte 5", 68, Bytes{5},
       "DB corrupted: Table definition value type: DB corrupted: Stored type name has invalid "
       "classification byte 5"},
      {"value name not UTF-8", 70, Bytes{0xFF},
       "DB corrupted: Table definition value type: DB corrupted: Stored type name is not valid "
       "UTF-8"},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    Bytes b = valid;
    std::copy(d.bytes.begin(), d.bytes.end(), b.begin() + d.at);
    auto r = InternalTableDefinition::from_bytes(b);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), d.text);
  }
}

TEST(TableDefinitionTest, VisitAllPagesWalksANormalTable) {
  auto store = test::TransactionalPageStore::create();
  test::TxnState txn(store);
  auto tree = txn.open<U64Codec, BytesCodec>(std::nullopt);
  std::vector<PageNumber> visited;
  PageVisitor collect = [&](std::span<const PageNumber> path) -> Result<void, StorageError> {
    visited.push_back(path.back());
    return {};
  };

  // No root: nothing is visited.
  auto empty = InternalTableDefinition::create<U64Codec, BytesCodec>(TableKind::kNormal,
                                                                     std::nullopt, 0);
  ASSERT_TRUE(empty.visit_all_pages(store->readable(), PageReadHint::kMayBeDirty, collect).ok());
  EXPECT_TRUE(visited.empty());

  const Bytes value(300, 7);
  for (uint64_t k = 0; k < 2000; ++k) ASSERT_TRUE(tree.insert(k, ByteView(value)).ok());
  auto root = test::commit_tree(tree, *store);
  auto def = InternalTableDefinition::create<U64Codec, BytesCodec>(TableKind::kNormal, root,
                                                                   2000);
  ASSERT_TRUE(def.visit_all_pages(store->memory(), PageReadHint::kCommitted, collect).ok());
  const test::TreeCheck check =
      test::check_tree(*store->readable(), root, tree_descriptor<U64Codec, BytesCodec>());
  ASSERT_EQ(check.error, "");
  ASSERT_GE(check.depth, 2u);
  EXPECT_EQ(visited.size(), check.pages.size());
  EXPECT_EQ(visited.front(), root->root);
  EXPECT_EQ(PageNumberSet(visited.begin(), visited.end()), check.pages);

  // The visitor's error ends the walk.
  size_t calls = 0;
  PageVisitor failing = [&](std::span<const PageNumber>) -> Result<void, StorageError> {
    if (++calls == 3) return Err{StorageError::Corrupted("stop")};
    return {};
  };
  auto r = def.visit_all_pages(store->readable(), PageReadHint::kCommitted, failing);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), StorageError::Corrupted("stop"));
  EXPECT_EQ(calls, 3u);
}

}  // namespace
}  // namespace storage
