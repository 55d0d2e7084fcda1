#include "src/fullmap/layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/fullmap/error.h"
#include "src/xxh64.h"

namespace rs::fullmap {
namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::string record_of(std::string_view term, std::vector<Posting> postings) {
  std::string out;
  encode_record(RecordEntry{term, postings}, &out);
  return out;
}

TEST(FullmapRecord, OnePostingForAbcIsTheDocumentedBytes) {
  std::string value = record_of("abc", {{7, 2}});
  EXPECT_EQ(value, bytes({3, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c', 1, 0, 0, 0, 0, 0, 0, 0,  //
                          7, 0, 0, 0, 2}));
  auto decoded = decode_record(value);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded->term(), "abc");
  ASSERT_EQ(decoded->posting_count(), 1u);
  EXPECT_EQ(decoded->posting(0), (Posting{7, 2}));
  EXPECT_EQ(decoded->encoded_size(), 24u);
}

TEST(FullmapRecord, TrailingBytesAreIgnoredByTheFirstRecordReader) {
  std::string value = record_of("abc", {{7, 2}, {9, 0}}) + "\x01\x02\x03";
  auto decoded = decode_record(value);
  ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
  EXPECT_EQ(decoded->posting_count(), 2u);
  auto found = find_record(value, "abc");
  ASSERT_TRUE(found.ok());
  ASSERT_TRUE(found->has_value());
  EXPECT_EQ((*found)->posting(1), (Posting{9, 0}));
}

TEST(FullmapRecord, BrokenValuesAreRefused) {
  std::string cut_posting = record_of("abc", {{7, 2}, {8, 1}});
  cut_posting.pop_back();
  // A term length of 2^63: checked against the bytes left, never used to allocate.
  std::string huge_term = bytes({0, 0, 0, 0, 0, 0, 0, char(0x80)}) + "abc";
  // A posting count whose byte size overflows 64 bits.
  std::string huge_count = bytes({1, 0, 0, 0, 0, 0, 0, 0, 'a', -1, -1, -1, -1, -1, -1, -1, -1});
  std::string bad_utf8 = bytes({2, 0, 0, 0, 0, 0, 0, 0, 0xC3, 0x28, 0, 0, 0, 0, 0, 0, 0, 0});
  struct Case {
    const char* name;
    std::string value;
    std::string text;
  } cases[] = {
      {"empty", "", "stored row ends early: field 'term length' needs 8 bytes, 0 left"},
      {"cut posting", cut_posting,
       "stored row ends early: field 'postings' needs 10 bytes, 9 left"},
      {"2^63 term length", huge_term,
       "stored row ends early: field 'term' needs 9223372036854775808 bytes, 3 left"},
      {"overflowing count", huge_count,
       "stored row ends early: field 'postings' needs 18446744073709551615 bytes, 0 left"},
      {"invalid UTF-8", bad_utf8, "stored row field 'term' is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    auto decoded = decode_record(c.value);
    ASSERT_FALSE(decoded.ok()) << c.name;
    EXPECT_EQ(decoded.error().to_string(), c.text) << c.name;
    EXPECT_FALSE(find_record(c.value, "abc").ok()) << c.name;
  }
}

TEST(FullmapRecordChain, TwoTermsOfOneHashAreBothKept) {
  std::vector<Posting> pa{{1, 0}}, pb{{2, 1}, {3, 1}};
  RecordEntry entries[] = {{"alpha", pa}, {"beta", pb}};
  std::string value;
  encode_record_chain(entries, &value);
  EXPECT_EQ(value, record_of("alpha", pa) + record_of("beta", pb));

  RecordChainReader reader(value);
  std::vector<std::string> terms;
  while (true) {
    auto next = reader.next();
    ASSERT_TRUE(next.ok());
    if (!next->has_value()) break;
    terms.emplace_back((*next)->term());
  }
  EXPECT_EQ(terms, (std::vector<std::string>{"alpha", "beta"}));

  auto beta = find_record(value, "beta");
  ASSERT_TRUE(beta.ok() && beta->has_value());
  EXPECT_EQ((*beta)->posting_count(), 2u);
  for (const char* absent : {"aaa", "alphb", "gamma"}) {
    auto r = find_record(value, absent);
    ASSERT_TRUE(r.ok());
    EXPECT_FALSE(r->has_value()) << absent;
  }
  // A chain whose second record is cut fails for a term after the first.
  std::string cut = value.substr(0, value.size() - 1);
  EXPECT_TRUE(find_record(cut, "alpha").ok());
  EXPECT_FALSE(find_record(cut, "beta").ok());
  RecordChainReader cut_reader(cut);
  ASSERT_TRUE(cut_reader.next().ok());
  EXPECT_FALSE(cut_reader.next().ok());
}

TEST(FullmapRecordChain, UnorderedTermsPanic) {
  std::vector<Posting> p{{1, 0}};
  RecordEntry entries[] = {{"beta", p}, {"alpha", p}};
  std::string value;
  EXPECT_THROW(encode_record_chain(entries, &value), storage::Panic);
}

TEST(FullmapPostings, SortUniqueOrdersByCurieThenSource) {
  std::vector<Posting> p{{5, 1}, {2, 0}, {5, 1}, {2, 1}};
  sort_unique_postings(&p);
  EXPECT_EQ(p, (std::vector<Posting>{{2, 0}, {2, 1}, {5, 1}}));
}

TEST(FullmapCurieRow, EmptyTextsEncodeTo24BytesAndNegativeTaxonIsTwosComplement) {
  CurieRow row{0x0102, "", "", 0x0304, -1};
  std::string out;
  encode_curie_row(row, &out);
  EXPECT_EQ(out, bytes({2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 3,  //
                        0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(curie_row_size(row), 24u);
  auto v = decode_curie_row(out);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v->to_owned(), row);
}

TEST(FullmapCurieRow, RoundTripsAtTheDocumentedOffsets) {
  CurieRow row{7, "0005", "caf\xC3\xA9", 9, 9606};
  std::string out = "xx";  // encoders append
  encode_curie_row(row, &out);
  out.erase(0, 2);
  ASSERT_EQ(out.size(), 24u + 4 + 5);
  EXPECT_EQ(out.substr(10, 4), "0005");
  EXPECT_EQ(out.substr(22, 5), "caf\xC3\xA9");
  EXPECT_EQ(out.substr(27, 2), bytes({9, 0}));
  EXPECT_EQ(out.substr(29, 4), bytes({0x86, 0x25, 0, 0}));
  std::string with_trailing = out + "trailing";  // the view points into it
  auto v = decode_curie_row(with_trailing);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(v->to_owned(), row);
  for (size_t cut = 0; cut < out.size(); ++cut) {
    EXPECT_FALSE(decode_curie_row(out.substr(0, cut)).ok()) << cut;
  }
}

TEST(FullmapSourceRow, IsALengthPrefixedString) {
  std::string out;
  encode_source_row("hp", &out);
  EXPECT_EQ(out, bytes({2, 0, 0, 0, 0, 0, 0, 0, 'h', 'p'}));
  auto v = decode_source_row(out);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(*v, "hp");
  EXPECT_FALSE(decode_source_row(out.substr(0, 9)).ok());
}

TEST(FullmapShardPath, FollowsTheOutputsStemExtensionAndDirectory) {
  struct Case {
    std::string output;
    uint32_t index;
    std::string shard;
  } cases[] = {
      {"out", 0, "out.s0.qdb"},
      {"out", 15, "out.s15.qdb"},
      {"/data/kg.qdb", 3, "/data/kg.s3.qdb"},
      {"/x/a.b.db", 0, "/x/a.b.s0.db"},
      {".db", 0, ".db.s0.qdb"},
      {"..", 0, "fullmap.s0.qdb"},
      {"..", 15, "fullmap.s15.qdb"},
      {"a/..", 1, "a/fullmap.s1.qdb"},
      {"", 0, "fullmap.s0.qdb"},
      {"/", 0, "fullmap.s0.qdb"},
      {"/kg.qdb", 2, "/kg.s2.qdb"},
      {"./kg.qdb", 2, "./kg.s2.qdb"},
      {"dir//sub/kg.qdb/", 4, "dir//sub/kg.s4.qdb"},
      {"foo.", 0, "foo.s0."},
      {"d\xFF/k\xFE" "g.q\xC3" "db", 1, "d\xFF/k\xEF\xBF\xBD" "g.s1.q\xEF\xBF\xBD" "db"},
  };
  for (const Case& c : cases) EXPECT_EQ(shard_path(c.output, c.index), c.shard) << c.output;
}

TEST(FullmapBuildId, MixesClockProcessAndCounterAndIsNeverZero) {
  // seconds rotated by 32, xor nanoseconds, xor pid << 17, xor k.
  EXPECT_EQ(mix_build_id(1, 2, 3, 4), (uint64_t{1} << 32) ^ 2 ^ (uint64_t{3} << 17) ^ 4);
  EXPECT_EQ(mix_build_id(0, 0, 0, 1), 1u);
  // y equal to k would give 0: y becomes 0 and the id is k.
  EXPECT_EQ(mix_build_id(0, 5, 0, 5), 5u);
  uint64_t before = BUILD_ID_COUNTER.load();
  uint64_t a = new_build_id();
  uint64_t b = new_build_id();
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_EQ(BUILD_ID_COUNTER.load(), before + 2);
}

TEST(FullmapPyErr, EveryErrorTypeBecomesARuntimeErrorWithItsText) {
  json::ParseError parse{"Invalid value.", 1, 3};
  struct Case {
    PendingError error;
    std::string text;
  } cases[] = {
      {py_err(RowError{RowError::Kind::kInvalidUtf8, "name", 0, 0}),
       "stored row field 'name' is not valid UTF-8"},
      {py_err(ChannelClosed{}), "sending on a closed channel"},
      {py_err(LockPoisoned{}), "poisoned lock: another task failed inside"},
      {py_err(storage::TableError::NoSuchTable("records")),
       storage::TableError::NoSuchTable("records").to_string()},
      {py_err(storage::CommitError::Poisoned()), storage::CommitError::Poisoned().to_string()},
      {py_err(storage::StorageError::Corrupted("bad page")),
       storage::StorageError::Corrupted("bad page").to_string()},
      {py_err(storage::DatabaseError::LockHeld()), storage::DatabaseError::LockHeld().to_string()},
      {py_err(storage::TransactionError(storage::StorageError::PreviousIo())),
       storage::TransactionError(storage::StorageError::PreviousIo()).to_string()},
      {py_err(parse), "Invalid value. at line 1 column 3"},
      {py_err(storage::IoError::from_errno(ENOENT)), "No such file or directory (os error 2)"},
      {py_err(storage::IoError::other("failed to fill whole buffer")),
       "failed to fill whole buffer"},
      // Constructing from the error type is the same conversion.
      {PendingError(storage::IoError::from_errno(EACCES)), "Permission denied (os error 13)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), PendingError::Kind::kRuntimeError);
    EXPECT_EQ(c.error.message(), c.text);
    EXPECT_FALSE(c.error.message().empty());
  }
}

TEST(FullmapPendingError, FixedTextsKeepTheirKind) {
  PendingError v = PendingError::value_static("at least one synonym file is required");
  EXPECT_EQ(v.kind(), PendingError::Kind::kValueError);
  EXPECT_EQ(v.to_string(), "ValueError: at least one synonym file is required");
  PendingError r = PendingError::runtime_static("fullmap shard writer panicked");
  PendingError moved = std::move(r);
  EXPECT_EQ(moved.kind(), PendingError::Kind::kRuntimeError);
  EXPECT_EQ(moved.message(), "fullmap shard writer panicked");
}

// TRY hands an error of a lower layer up as a PendingError.
storage::Result<int, PendingError> fails_with_row_error() {
  TRY_ASSIGN(RecordView r, decode_record(""));
  return static_cast<int>(r.posting_count());
}

TEST(FullmapPendingError, TryConvertsLowerErrors) {
  auto r = fails_with_row_error();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "stored row ends early: field 'term length' needs 8 bytes, 0 left");
}

}  // namespace
}  // namespace rs::fullmap
