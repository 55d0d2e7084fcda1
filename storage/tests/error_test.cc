#include "storage/src/error.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "storage/src/panic.h"

namespace storage {
namespace {

TEST(ErrorTest, StorageErrorDisplayTexts) {
  struct Case {
    StorageError error;
    const char* text;
  } cases[] = {
      {StorageError::Corrupted("bad page"), "DB corrupted: bad page"},
      {StorageError::ValueTooLarge(3221225473ULL),
       "The value (length=3221225473) being inserted exceeds the maximum of 3GiB"},
      {StorageError::UnorderedKey(),
       "The key does not sort strictly between the entries adjacent to the cursor"},
      {StorageError::IoErrno(ENOENT), "I/O error: No such file or directory (os error 2)"},
      {StorageError::Io(IoError::other("short write")), "I/O error: short write"},
      {StorageError::PreviousIo(),
       "Previous I/O error occurred. Please close and re-open the database."},
      {StorageError::DatabaseClosed(), "Database has been closed"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.to_string(), c.text);
  EXPECT_EQ(StorageError::LockPoisoned().to_string().rfind("Poisoned internal lock: ", 0), 0u);
  EXPECT_EQ(StorageError::LockPoisoned(), StorageError::LockPoisoned());
  EXPECT_EQ(StorageError::PreviousIo().debug(), "PreviousIo");
  EXPECT_EQ(StorageError::Corrupted("x").debug(), "Corrupted(\"x\")");
  // The debug form quotes the text, escaping what would break the quoting.
  EXPECT_EQ(StorageError::Corrupted("a \"b\"\\\n\x01").debug(),
            "Corrupted(\"a \\\"b\\\"\\\\\\n\\u{1}\")");
  EXPECT_EQ(StorageError::ValueTooLarge(5).debug(), "ValueTooLarge(5)");
}

TEST(ErrorTest, WrappersDisplayTheWrappedErrorUnchanged) {
  const std::string text = StorageError::PreviousIo().to_string();
  EXPECT_EQ(TableError(StorageError::PreviousIo()).to_string(), text);
  EXPECT_EQ(DatabaseError(StorageError::PreviousIo()).to_string(), text);
  EXPECT_EQ(TransactionError(StorageError::PreviousIo()).to_string(), text);
  EXPECT_EQ(CommitError(StorageError::PreviousIo()).to_string(), text);
}

TEST(ErrorTest, EntryPointErrorTexts) {
  TypeName u64{1, "u64"}, str{2, "&str"};
  EXPECT_EQ(TableError::WrongTableType("t", u64, str).to_string(), "t is of type Table<u64, &str>");
  EXPECT_EQ(TableError::UnexpectedMultimap("t").to_string(), "t is a multimap table");
  EXPECT_EQ(TableError::ExpectedMultimap("t").to_string(), "t is not a multimap table");
  EXPECT_EQ(TableError::StoredDefinitionMismatch(str, std::nullopt, 1).to_string(),
            "Current definition of &str does not match stored definition (width=None, "
            "alignment=1)");
  EXPECT_EQ(TableError::StoredDefinitionMismatch(u64, 8, 1).to_string(),
            "Current definition of u64 does not match stored definition (width=Some(8), "
            "alignment=1)");
  EXPECT_EQ(TableError::NoSuchTable("t").to_string(), "Table 't' does not exist");
  EXPECT_EQ(TableError::NameTaken("t").to_string(), "Table 't' already exists");
  EXPECT_EQ(TableError::OpenTwice("t", {"a.cc", 3, 7}).to_string(),
            "Table 't' already opened at: a.cc:3:7");
  EXPECT_EQ(DatabaseError::LockHeld().to_string(), "Database already open. Cannot acquire lock.");
  EXPECT_EQ(DatabaseError::RepairCancelled().to_string(), "Database repair aborted.");
  EXPECT_EQ(DatabaseError::NeedsUpgrade(2).to_string(),
            "Manual upgrade required. Expected file format version 3, but file is version 2");
  EXPECT_EQ(DatabaseError::TransactionLive().to_string(),
            "A transaction is still in progress. Operation cannot be performed.");
  EXPECT_EQ(TransactionError::ReadStillInUse(nullptr).to_string(), "Transaction still in use");
  EXPECT_EQ(CommitError::Poisoned().to_string(), "Transaction was poisoned by a panic");
  EXPECT_EQ(SetDurabilityError{}.to_string(),
            "Persistent savepoint modified. Cannot reduce transaction durability");
}

TEST(ErrorTest, IntoStorageErrorConversions) {
  StorageError io = StorageError::IoErrno(EIO);
  EXPECT_EQ(TableError(io).into_storage_error_or_corrupted("Internal corruption"), io);
  EXPECT_EQ(TableError::NoSuchTable("x").into_storage_error_or_corrupted("Internal corruption")
                .to_string(),
            "DB corrupted: Internal corruption: Table 'x' does not exist");
  EXPECT_EQ(TransactionError(io).into_storage_error(), io);
  try {
    (void)TransactionError::ReadStillInUse(nullptr).into_storage_error();
    ADD_FAILURE() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "internal error: entered unreachable code");
  }
}

}  // namespace
}  // namespace storage
