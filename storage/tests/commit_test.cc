// Commits through the engine's public face: durable and non-durable commits,
// the freed-page tables they keep, reader and savepoint bounds, a model test
// with readers, fault injection at every backend call of a commit, and
// damaged page lists.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/src/transactions/page_lists.h"
#include "storage/src/transactions/transaction_state.h"
#include "storage/table.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/transaction_fixture.h"
#include "storage/transaction.h"

namespace storage {
namespace {

using test::PageUnits;
using test::TransactionFixture;
using Rows = std::map<uint64_t, std::vector<uint8_t>>;
using Key = TransactionIdWithPagination;

template <typename T, typename E>
T ok(Result<T, E> r) {
  if (!r.ok()) throw std::runtime_error(r.error().to_string());
  return std::move(r).value();
}
template <typename E>
void ok(Result<void, E> r) {
  if (!r.ok()) throw std::runtime_error(r.error().to_string());
}

std::vector<uint8_t> value_of(uint64_t key, uint64_t version, size_t len) {
  std::vector<uint8_t> v(len);
  for (size_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(key * 31 + version * 7 + i);
  return v;
}

void write_rows(WriteTransaction& txn, const std::string& name, const Rows& rows) {
  auto table = ok(txn.open_table<U64Codec, BytesCodec>(name));
  for (const auto& [k, v] : rows) ok(table.insert(k, ByteView(v)));
}

Rows read_rows(const ReadTransaction& rtx, const std::string& name) {
  Rows out;
  auto table = rtx.open_table<U64Codec, BytesCodec>(name);
  if (!table.ok()) return out;
  auto range = ok(table->iter());
  while (auto entry = range.next()) {
    auto [k, v] = ok(std::move(*entry));
    out.emplace(k.value(), std::vector<uint8_t>(v.bytes().begin(), v.bytes().end()));
  }
  return out;
}

// The system directory of the newest commit, as the page store holds it.
TableTree system_directory(const std::shared_ptr<TransactionalMemory>& mem) {
  return ok(TableTree::create(mem->get_system_root(), PageReadHint::kMayBeDirty, nullptr, mem));
}

// The entries of a page-list table of the newest commit.
std::vector<std::pair<Key, std::vector<PageNumber>>> page_list_entries(
    const std::shared_ptr<TransactionalMemory>& mem, std::string_view name) {
  std::vector<std::pair<Key, std::vector<PageNumber>>> out;
  auto definition = ok(system_directory(mem).get_table_untyped(name, TableKind::kNormal));
  if (!definition || !definition->table_root()) return out;
  auto range = BtreeCursorRange::from_bounds(
      EncodedBound::unbounded(), EncodedBound::unbounded(), definition->table_root()->root,
      tree_descriptor<Key, PageList>(), page_source_of(mem), PageReadHint::kMayBeDirty);
  while (auto entry = range.next()) {
    auto e = ok(std::move(*entry));
    out.emplace_back(Key::from_bytes(e.key()), ok(read_page_list(e.value())));
  }
  return out;
}

std::vector<PageNumber> listed_pages(const std::shared_ptr<TransactionalMemory>& mem) {
  std::vector<PageNumber> out;
  for (auto name : {kDataPagesUnreachable, kSystemPagesUnreachable}) {
    for (auto& [key, pages] : page_list_entries(mem, name)) {
      out.insert(out.end(), pages.begin(), pages.end());
    }
  }
  return out;
}

PageNumberSet reachable(const std::shared_ptr<TransactionalMemory>& mem,
                        std::optional<BtreeHeader> root) {
  PageNumberSet out;
  auto tree = ok(TableTree::create(root, PageReadHint::kMayBeDirty, nullptr, mem));
  ok(tree.visit_all_pages([&](std::span<const PageNumber> path) -> Result<void, StorageError> {
    out.insert(path.back());
    return {};
  }));
  return out;
}

Result<void, CommitError> commit(WriteTransaction txn, Durability durability) {
  if (!txn.set_durability(durability).ok()) throw std::runtime_error("set_durability");
  return std::move(txn).commit();
}

struct FaultedDb {
  std::shared_ptr<test::FaultPlan> faults = std::make_shared<test::FaultPlan>();
  std::shared_ptr<test::MemoryFile> file = std::make_shared<test::MemoryFile>();
  TransactionFixture db{test::TransactionalPageStore::Options{4096, size_t{64} << 20, faults, file}};
};

// The rows of the file's durable commit, opened again from its bytes. As the
// repair at open does after a one-phase commit, a primary commit whose pages
// do not verify falls back to the other slot.
Rows reopened_rows(const std::shared_ptr<test::MemoryFile>& file) {
  auto copy = std::make_shared<test::MemoryFile>(file->snapshot());
  auto mem = ok(TransactionalMemory::open(std::make_unique<test::MemoryBackend>(copy), false,
                                          4096, std::nullopt, size_t{16} << 20, false));
  auto verified = [&]() -> bool {
    auto tree = TableTree::create(mem->get_data_root(), PageReadHint::kCommitted, nullptr, mem);
    if (!tree.ok()) return false;
    auto checked = tree->verify_checksums();
    return checked.ok() && checked.value();
  };
  if (!verified()) {
    mem->repair_primary_corrupted();
    if (!verified()) throw std::runtime_error("neither commit slot verifies");
  }
  Rows out;
  auto tree = ok(TableTree::create(mem->get_data_root(), PageReadHint::kCommitted, nullptr, mem));
  auto definition = ok(tree.get_table_untyped("t", TableKind::kNormal));
  if (!definition || !definition->table_root()) return out;
  auto range = BtreeCursorRange::from_bounds(
      EncodedBound::unbounded(), EncodedBound::unbounded(), definition->table_root()->root,
      tree_descriptor<U64Codec, BytesCodec>(), page_source_of(mem), PageReadHint::kCommitted);
  while (auto entry = range.next()) {
    auto e = ok(std::move(*entry));
    out.emplace(U64Codec::from_bytes(e.key()),
                std::vector<uint8_t>(e.value().begin(), e.value().end()));
  }
  return out;
}

// The pages both directories of the file's durable commit reach.
PageNumberSet durable_pages(const std::shared_ptr<test::MemoryFile>& file) {
  auto copy = std::make_shared<test::MemoryFile>(file->snapshot());
  auto mem = ok(TransactionalMemory::open(std::make_unique<test::MemoryBackend>(copy), false,
                                          4096, std::nullopt, size_t{16} << 20, false));
  PageNumberSet out = reachable(mem, mem->get_data_root());
  const PageNumberSet system = reachable(mem, mem->get_system_root());
  out.insert(system.begin(), system.end());
  return out;
}

TEST(Commit, EmptyCommitsSucceedAndADurableOneClearsPendingCommits) {
  TransactionFixture db;
  for (Durability d : {Durability::kDurable, Durability::kNonDurable, Durability::kNonDurable}) {
    ASSERT_TRUE(commit(db.begin_write(), d).ok());
  }
  // The pending non-durable commits pin their durable ancestor.
  EXPECT_TRUE(db.tracker()->oldest_live_read_transaction().has_value());
  ASSERT_TRUE(commit(db.begin_write(), Durability::kDurable).ok());
  EXPECT_FALSE(db.tracker()->oldest_live_read_transaction().has_value());
  EXPECT_EQ(ok(db.mem()->get_last_durable_transaction_id()),
            ok(db.mem()->get_last_committed_transaction_id()));
}

TEST(Commit, NonDurableCommitIsSeenByNewReadersAtOnce) {
  TransactionFixture db;
  const Rows rows = {{1, value_of(1, 0, 50)}, {2, value_of(2, 0, 5000)}};
  {
    WriteTransaction txn = db.begin_write();
    write_rows(txn, "t", rows);
    ASSERT_TRUE(commit(std::move(txn), Durability::kNonDurable).ok());
  }
  EXPECT_EQ(read_rows(db.begin_read(), "t"), rows);
  const uint64_t durable_before = ok(db.mem()->get_last_durable_transaction_id()).id;
  ASSERT_TRUE(commit(db.begin_write(), Durability::kDurable).ok());
  EXPECT_GT(ok(db.mem()->get_last_durable_transaction_id()).id, durable_before);
  EXPECT_EQ(read_rows(db.begin_read(), "t"), rows);
}

TEST(Commit, PoisonedTransactionIsRolledBackAndRefused) {
  TransactionFixture db;
  const Rows rows = {{1, value_of(1, 0, 100)}};
  {
    WriteTransaction txn = db.begin_write();
    write_rows(txn, "t", rows);
    ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  }
  const PageUnits before = db.allocated();
  WriteTransaction txn = db.begin_write();
  write_rows(txn, "t", {{1, value_of(1, 1, 3000)}, {9, value_of(9, 1, 3000)}});
  txn.poison();
  auto committed = std::move(txn).commit();
  ASSERT_FALSE(committed.ok());
  EXPECT_EQ(committed.error().to_string(), "Transaction was poisoned by a panic");
  EXPECT_EQ(db.allocated(), before);
  EXPECT_EQ(read_rows(db.begin_read(), "t"), rows);
  EXPECT_TRUE(commit(db.begin_write(), Durability::kDurable).ok());
}

TEST(Commit, OrdinaryDurableCommitLeavesNoAllocatorState) {
  TransactionFixture db;
  WriteTransaction txn = db.begin_write();
  write_rows(txn, "t", {{1, value_of(1, 0, 100)}});
  ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  EXPECT_FALSE(ok(system_directory(db.mem()).get_table_untyped(kAllocatorStateTable,
                                                               TableKind::kNormal))
                   .has_value());
  // Without savepoints nothing stays in "data_pages_allocated".
  EXPECT_TRUE(page_list_entries(db.mem(), kDataPagesAllocated).empty());
}

// Rows big enough that replacing them frees pages of the committed tree.
Rows big_rows(uint64_t version) {
  Rows rows;
  for (uint64_t k = 0; k < 40; ++k) rows[k] = value_of(k, version, 700);
  return rows;
}

TEST(CommitBounds, LiveReaderKeepsNewerEntriesAndTheRestAreReleased) {
  TransactionFixture db;
  {
    WriteTransaction txn = db.begin_write();
    write_rows(txn, "t", big_rows(0));
    ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  }
  std::optional<ReadTransaction> reader(db.begin_read());
  const PageNumberSet snapshot = reachable(db.mem(), db.mem()->get_data_root());
  uint64_t writer = 0;
  {
    WriteTransaction txn = db.begin_write();
    writer = txn.transaction_id();
    write_rows(txn, "t", big_rows(1));
    ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  }
  // The reader's snapshot is older than the writer's entry: it stays, and
  // every page of the snapshot is still allocated.
  auto entries = page_list_entries(db.mem(), kDataPagesUnreachable);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.front().first.transaction_id, writer);
  const PageUnits allocated = db.allocated();
  for (PageNumber page : snapshot) {
    for (const auto& unit : test::units_of({page})) EXPECT_TRUE(allocated.contains(unit));
  }
  EXPECT_EQ(read_rows(*reader, "t"), big_rows(0));
  reader.reset();
  ASSERT_TRUE(commit(db.begin_write(), Durability::kDurable).ok());
  EXPECT_TRUE(page_list_entries(db.mem(), kDataPagesUnreachable).empty());
  EXPECT_EQ(read_rows(db.begin_read(), "t"), big_rows(1));
}

TEST(CommitBounds, WithoutReadersTheOwnEntryGoesAfterTheCommitUnderTheNextId) {
  TransactionFixture db;
  {
    WriteTransaction txn = db.begin_write();
    write_rows(txn, "t", big_rows(0));
    ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  }
  const PageUnits before = db.allocated();
  uint64_t n = 0;
  {
    WriteTransaction txn = db.begin_write();
    n = txn.transaction_id();
    write_rows(txn, "t", big_rows(1));
    ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  }
  EXPECT_TRUE(page_list_entries(db.mem(), kDataPagesUnreachable).empty());
  EXPECT_EQ(ok(db.mem()->get_last_committed_transaction_id()).id, n + 1);
  EXPECT_EQ(db.begin_write().transaction_id(), n + 2);
  // The replaced pages went back to the allocator: the file holds about what
  // it held before, not both versions.
  EXPECT_LT(db.allocated().size(), before.size() * 2);
}

TEST(CommitBounds, StoredSavepointKeepsItsSnapshotAndAllocatedPages) {
  TransactionFixture db;
  {
    WriteTransaction txn = db.begin_write();
    write_rows(txn, "t", big_rows(0));
    ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  }
  const TransactionId captured = ok(db.mem()->get_last_committed_transaction_id());
  const std::optional<BtreeHeader> captured_root = db.mem()->get_data_root();
  const PageNumberSet snapshot = reachable(db.mem(), captured_root);
  db.tracker()->register_persistent_savepoint(
      Savepoint(Savepoint::kVersion, SavepointId(1), captured, captured_root, db.tracker(), false));
  uint64_t writer = 0;
  for (uint64_t version = 1; version <= 2; ++version) {
    WriteTransaction txn = db.begin_write();
    writer = txn.transaction_id();
    write_rows(txn, "t", big_rows(version));
    ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  }
  const PageUnits allocated = db.allocated();
  for (PageNumber page : snapshot) {
    for (const auto& unit : test::units_of({page})) EXPECT_TRUE(allocated.contains(unit));
  }
  auto records = page_list_entries(db.mem(), kDataPagesAllocated);
  ASSERT_FALSE(records.empty());
  EXPECT_GE(records.front().first.transaction_id, captured.id);
  EXPECT_EQ(records.back().first.transaction_id, writer);
  // The savepoint goes: the next durable commit releases everything.
  db.tracker()->deallocate_savepoint(SavepointId(1), captured);
  ASSERT_TRUE(commit(db.begin_write(), Durability::kDurable).ok());
  EXPECT_TRUE(page_list_entries(db.mem(), kDataPagesAllocated).empty());
  EXPECT_TRUE(page_list_entries(db.mem(), kDataPagesUnreachable).empty());
}

// The bytes of the file's pages, read from a copy of the file.
std::map<uint64_t, std::vector<uint8_t>> page_bytes(const std::shared_ptr<test::MemoryFile>& file,
                                                      const PageNumberSet& pages) {
  auto copy = std::make_shared<test::MemoryFile>(file->snapshot());
  auto mem = ok(TransactionalMemory::open(std::make_unique<test::MemoryBackend>(copy), false,
                                          4096, std::nullopt, size_t{16} << 20, false));
  std::map<uint64_t, std::vector<uint8_t>> out;
  for (PageNumber page : pages) {
    auto read = ok(mem->get_page(page, PageReadHint::kCommitted));
    out[page.packed()] = std::vector<uint8_t>(read.memory().begin(), read.memory().end());
  }
  return out;
}

TEST(CommitBounds, SavepointFromTheFutureCannotReleaseTheLastDurableCommitsPages) {
  FaultedDb f;
  TransactionFixture& db = f.db;
  {
    WriteTransaction txn = db.begin_write();
    write_rows(txn, "t", big_rows(0));
    ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  }
  const PageNumberSet last_durable = durable_pages(f.file);
  const auto before = page_bytes(f.file, last_durable);
  // A pin far beyond every id, as a damaged savepoint record would give.
  db.tracker()->register_persistent_savepoint(Savepoint(
      Savepoint::kVersion, SavepointId(1), TransactionId(1000), std::nullopt, db.tracker(), false));
  WriteTransaction txn = db.begin_write();
  write_rows(txn, "t", big_rows(1));
  // Without the release after the commit, nothing may write the pages of the
  // commit this one replaces: a crash before its sync needs them intact.
  detail::WriteTransactionAccess::state(txn)->skip_post_commit_freed_pages = true;
  ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  EXPECT_EQ(reopened_rows(f.file), big_rows(1));
  EXPECT_TRUE(page_bytes(f.file, last_durable) == before);
}

// ---- Model test ---------------------------------------------------------------------------

uint64_t env_rounds(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoull(v, nullptr, 10) : fallback;
}

struct LiveReader {
  ReadTransaction txn;
  Rows snapshot;
  std::optional<BtreeHeader> root;
};

void check_pages(TransactionFixture& db, const std::vector<LiveReader>& readers,
                 bool quiescent_after_durable) {
  const auto& mem = db.mem();
  PageNumberSet newest = reachable(mem, mem->get_data_root());
  const PageNumberSet system = reachable(mem, mem->get_system_root());
  newest.insert(system.begin(), system.end());
  const std::vector<PageNumber> listed = listed_pages(mem);
  const PageUnits allocated = db.allocated();
  PageUnits listed_units;
  for (PageNumber page : listed) {
    for (const auto& unit : test::units_of({page})) {
      ASSERT_TRUE(listed_units.insert(unit).second) << "listed twice: " << page.debug();
      ASSERT_TRUE(allocated.contains(unit)) << "listed but free: " << page.debug();
    }
  }
  const PageUnits newest_units = test::units_of(newest);
  for (const auto& unit : newest_units) {
    ASSERT_TRUE(allocated.contains(unit)) << "reachable but free";
    ASSERT_FALSE(listed_units.contains(unit)) << "reachable from the newest commit but listed";
  }
  for (const LiveReader& reader : readers) {
    for (const auto& unit : test::units_of(reachable(mem, reader.root))) {
      ASSERT_TRUE(allocated.contains(unit)) << "a live snapshot's page is free";
    }
  }
  if (quiescent_after_durable) {
    PageUnits expected = newest_units;
    expected.insert(listed_units.begin(), listed_units.end());
    ASSERT_EQ(allocated, expected) << "pages leaked or lost";
  }
}

TEST(CommitModel, RandomTransactionsWithReaders) {
  const uint64_t seed = storage_test_support::random_seed();
  std::cout << "seed " << seed << "\n";
  std::mt19937_64 rng(seed);
  const uint64_t rounds = env_rounds("RS_COMMIT_MODEL_ROUNDS", 120);
  TransactionFixture db;
  Rows model;
  std::vector<LiveReader> readers;
  uint64_t version = 0;
  for (uint64_t round = 0; round < rounds; ++round) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
    const uint64_t op = rng() % 10;
    bool after_durable = false;
    if (op < 2 && readers.size() < 4) {
      ReadTransaction rtx = db.begin_read();
      readers.push_back(LiveReader{std::move(rtx), model, db.mem()->get_data_root()});
    } else if (op < 4 && !readers.empty()) {
      readers.erase(readers.begin() + static_cast<std::ptrdiff_t>(rng() % readers.size()));
    } else {
      ++version;
      Rows next = model;
      WriteTransaction txn = db.begin_write();
      {
        auto table = ok(txn.open_table<U64Codec, BytesCodec>("t"));
        const uint64_t edits = 1 + rng() % 30;
        for (uint64_t i = 0; i < edits; ++i) {
          const uint64_t k = rng() % 200;
          const auto v = value_of(k, version, 1 + rng() % 900);
          ok(table.insert(k, ByteView(v)));
          next[k] = v;
        }
        if (rng() % 3 == 0) {
          auto cursor = ok(table.upper_bound_mut(CursorBound::unbounded()));
          uint64_t k = next.empty() ? 0 : next.rbegin()->first;
          for (uint64_t i = 0, n = rng() % 50; i < n; ++i) {
            k += 1 + rng() % 3;
            const auto v = value_of(k, version, 1 + rng() % 300);
            ok(cursor.insert_before(k, ByteView(v)));
            next[k] = v;
          }
          ok(std::move(cursor).close());
        }
      }
      switch (rng() % 5) {
        case 0:
        case 1:
          ok(commit(std::move(txn), Durability::kDurable));
          model = next;
          after_durable = true;
          break;
        case 2:
          ok(commit(std::move(txn), Durability::kNonDurable));
          model = next;
          break;
        case 3:
          ok(std::move(txn).abort());
          break;
        default:
          break;  // dropped
      }
    }
    for (const LiveReader& reader : readers) {
      ASSERT_EQ(read_rows(reader.txn, "t"), reader.snapshot);
    }
    ASSERT_EQ(read_rows(db.begin_read(), "t"), model);
    check_pages(db, readers, after_durable && readers.empty());
  }
}

// ---- Fault injection ------------------------------------------------------------------------


void fault_every_call(Durability durability) {
  const Rows old_rows = big_rows(0);
  Rows new_rows = big_rows(1);
  new_rows[500] = value_of(500, 1, 9000);
  auto prepare = [&](FaultedDb& f) {
    {
      WriteTransaction txn = f.db.begin_write();
      write_rows(txn, "t", old_rows);
      ok(commit(std::move(txn), Durability::kDurable));
    }
    WriteTransaction txn = f.db.begin_write();
    write_rows(txn, "t", new_rows);
    return txn;
  };
  uint64_t calls = 0;
  {
    FaultedDb f;
    WriteTransaction txn = prepare(f);
    const uint64_t before = f.faults->data_calls();
    ok(commit(std::move(txn), durability));
    calls = f.faults->data_calls() - before;
  }
  ASSERT_GT(calls, 0u);
  for (uint64_t n = 1; n <= calls; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(calls));
    FaultedDb f;
    WriteTransaction txn = prepare(f);
    f.faults->fail_nth_any(f.faults->data_calls() + n, EIO);
    auto committed = commit(std::move(txn), durability);
    ASSERT_FALSE(committed.ok());
    f.faults->disarm();
    auto next = f.db.try_begin_write();
    ASSERT_FALSE(next.ok());
    const std::string text = next.error().to_string();
    EXPECT_TRUE(text == StorageError::PreviousIo().to_string() ||
                text.find("Allocator state was discarded") != std::string::npos)
        << text;
    const Rows held = reopened_rows(f.file);
    EXPECT_TRUE(held == old_rows || held == new_rows);
  }
}

TEST(CommitFaults, EveryBackendCallOfADurableCommit) { fault_every_call(Durability::kDurable); }

TEST(CommitFaults, EveryBackendCallOfANonDurableCommit) {
  fault_every_call(Durability::kNonDurable);
}

// ---- Damaged page lists ----------------------------------------------------------------------

TEST(CommitFaults, DamagedPageListFailsTheCommitWithoutHandingPagesOutTwice) {
  TransactionFixture db;
  {
    WriteTransaction txn = db.begin_write();
    write_rows(txn, "t", big_rows(0));
    ASSERT_TRUE(commit(std::move(txn), Durability::kDurable).ok());
  }
  // Plant an entry naming a page of the live tree twice, as a damaged file could.
  const PageNumberSet live = reachable(db.mem(), db.mem()->get_data_root());
  const PageNumber victim = *live.begin();
  {
    WriteTransaction txn = db.begin_write();
    auto state = detail::WriteTransactionAccess::state(txn);
    {
      auto system = state->system_tables.lock_or_panic();
      auto table = ok(open_system_table<Key, PageList>(system->table_tree,
                                                       kSystemPagesUnreachable));
      const auto bytes = PageList::encode(std::vector<PageNumber>{victim, victim});
      ok(table.tree().insert(Key{1, 0}, PageList(ByteView(bytes))));
    }
    ASSERT_TRUE(commit(std::move(txn), Durability::kNonDurable).ok());
  }
  auto committed = commit(db.begin_write(), Durability::kDurable);
  ASSERT_FALSE(committed.ok());
  EXPECT_NE(committed.error().to_string().find("DB corrupted: page list"), std::string::npos)
      << committed.error().to_string();
  auto next = db.try_begin_write();
  ASSERT_FALSE(next.ok());
  EXPECT_NE(next.error().to_string().find("Allocator state was discarded by a failed integrity "
                                          "check or commit; reopen the database to repair it"),
            std::string::npos);
}

}  // namespace
}  // namespace storage
