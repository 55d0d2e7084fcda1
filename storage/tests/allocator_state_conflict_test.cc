// Cleanly closed files whose saved allocator state would hand out a page that
// is still in use: it holds a page of a tree, or a page that a freed-page list
// names, free; or a list names a page that a tree reaches. A writable open
// must not trust such a state: it repairs the file (a correct result) or
// reports Corrupted, and no step panics or overwrites live data.
//
// The files are crafted byte by byte and resealed, so that every checksum
// holds and only the allocator state or a page list is wrong; one file comes
// from a fuzzer of whole files, damaged pages and all.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/src/database_internal.h"
#include "storage/src/panic.h"
#include "storage/src/transactions/page_census.h"
#include "storage/src/transactions/page_lists.h"
#include "storage/src/transactions/transaction_state.h"
#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/btree_range.h"
#include "storage/src/tree_store/table_tree.h"
#include "storage/tests/support/database_access.h"
#include "storage/tests/support/database_checks.h"
#include "storage/tests/support/database_workload.h"
#include "storage/tests/support/gzip_data.h"
#include "storage/tests/support/image_editor.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/result_support.h"
#include "storage/tests/support/temp_dir.h"

namespace storage {
namespace {

using test::gunzip;
using test::ImageEditor;
using test::MemoryBackend;
using test::MemoryFile;
using test::Model;
using test::WorkloadCommit;
using test::WorkloadOp;
using Bytes = std::vector<uint8_t>;

// ---- A closed file with every kind of page in use -----------------------------------

struct Base {
  Bytes image;
  Model model;
};

// Runs a commit through begin_write and applies it to the model; the error
// text, or empty.
std::string run(Database& db, const WorkloadCommit& commit, Model& model) {
  std::string e = test::run_commit(commit, model, [&] { return db.begin_write(); });
  if (e.empty()) test::apply_to_model(commit, model);
  return e;
}

WorkloadCommit commit_of(uint64_t salt, std::vector<WorkloadOp> ops) {
  WorkloadCommit c;
  c.kind = test::CommitKind::kOnePhase;
  c.salt = salt;
  c.ops = std::move(ops);
  return c;
}

// Overwrites of keys spread over t0's sorted run (each rewrites a leaf and its
// branches), and a few new keys in t2.
WorkloadCommit spread_overwrites(uint64_t salt, size_t count, size_t stride) {
  std::vector<WorkloadOp> ops;
  for (size_t i = 0; i < count; ++i) ops.push_back({0, 1000 + 3 * i * stride, 0, 40});
  for (uint64_t k = 0; k < 20; ++k) ops.push_back({2, 500 + k, 0, 300});
  return commit_of(salt, std::move(ops));
}

// Small regions (several of them); t0 three levels deep, t1 with a run of
// several pages, and pages listed in both unreachable-page tables: a reader
// stays live across the last commit and the close, so the pages those free
// wait for it.
Base build_base() {
  auto file = std::make_shared<MemoryFile>();
  Base out;
  auto opened = test::open_database_on(std::make_unique<MemoryBackend>(file));
  if (!opened.ok()) panic("create: " + opened.error().to_string());
  Database db = std::move(opened).value();
  std::vector<WorkloadOp> mixed;
  for (uint64_t k = 0; k < 40; ++k) mixed.push_back({1, k, 0, 100});
  mixed.push_back({1, 100, 0, 9000});
  mixed.push_back({1, 101, 0, 9000});
  const std::vector<WorkloadCommit> first = {commit_of(1, {{0, 0, 12000, 40}}),
                                             commit_of(2, std::move(mixed))};
  for (const WorkloadCommit& c : first) {
    if (std::string e = run(db, c, out.model); !e.empty()) panic(e);
  }
  auto reader = begin_read(detail::DatabaseAccess::tracker(db), test::page_store_of(db));
  if (!reader.ok()) panic("begin_read: " + reader.error().to_string());
  WorkloadCommit last = spread_overwrites(3, 60, 199);
  last.ops.push_back({1, 100, 0, 20});
  if (std::string e = run(db, last, out.model); !e.empty()) panic(e);
  if (auto closed = db.close(); !closed.ok()) panic("close: " + closed.error().to_string());
  out.image = file->snapshot();
  return out;
}

const Base& base() {
  static const Base built = build_base();
  return built;
}

// ---- Crafting ---------------------------------------------------------------------

std::vector<PageNumber> listed_pages(ImageEditor& editor, std::string_view list) {
  std::vector<PageNumber> out;
  editor.for_each_entry(true, std::string(list), [&](std::span<const uint8_t>,
                                                     std::span<uint8_t> value) {
    const std::vector<PageNumber> pages = read_page_list(ByteView(value)).value();
    out.insert(out.end(), pages.begin(), pages.end());
  });
  return out;
}

PageNumber page_at_depth(ImageEditor& editor, const std::string& table, size_t depth) {
  std::vector<PageNumber> found;
  for (const ImageEditor::TreePage& p : editor.table_pages(false, table)) {
    if (p.depth == depth) found.push_back(p.page);
  }
  if (found.empty()) panic("no page of " + table + " at depth " + std::to_string(depth));
  return found[found.size() / 2];
}

// Replaces the first page the list names.
void list_page_in(ImageEditor& editor, std::string_view list, PageNumber page) {
  bool done = false;
  editor.for_each_entry(true, std::string(list), [&](std::span<const uint8_t>,
                                                     std::span<uint8_t> value) {
    if (done || load_le16(value.data()) == 0) return;
    page.to_le_bytes(value.data() + PageList::kHeaderSize);
    done = true;
  });
  if (!done) panic("empty list " + std::string(list));
}

// ---- Running a damaged file ---------------------------------------------------------

// The writes after the open: overwrites across t0, so that the allocator hands
// out many pages, the lowest free ones among them.
const WorkloadCommit& later_writes() {
  static const WorkloadCommit commit = spread_overwrites(9, 300, 37);
  return commit;
}

// A writable open of the file, the later writes, a close; then a read-only
// open must find `expected` and an allocator state that holds exactly the
// pages in use. Empty when all holds, else what failed.
std::string write_and_check(const std::shared_ptr<MemoryFile>& file, const Model& before,
                            std::vector<double>* repair_progress) {
  Model model = before;
  {
    auto opened = Database::builder()
                      .set_cache_size(size_t{1} << 20)
                      .set_repair_callback([&](RepairSession& s) {
                        if (repair_progress != nullptr) repair_progress->push_back(s.progress());
                      })
                      .create_with_backend(std::make_unique<MemoryBackend>(file));
    if (!opened.ok()) return "open: " + opened.error().to_string();
    Database db = std::move(opened).value();
    if (std::string e = run(db, later_writes(), model); !e.empty()) return e;
    if (auto closed = db.close(); !closed.ok()) return "close: " + closed.error().to_string();
  }
  auto ro = ReadOnlyDatabase::open_backend(std::make_unique<MemoryBackend>(file));
  if (!ro.ok()) return "read-only open: " + ro.error().to_string();
  if (std::string e = test::check_page_store(test::page_store_of(ro.value())); !e.empty()) {
    return "after the close: " + e;
  }
  auto txn = ro.value().begin_read();
  if (!txn.ok()) return "begin_read: " + txn.error().to_string();
  auto found = test::read_model(txn.value());
  if (!found.ok()) return "read: " + found.error();
  if (!(found.value() == model)) {
    return "found " + found.value().debug() + ", expected " + model.debug();
  }
  return "";
}

template <typename F>
std::string without_panic(F&& body) {
  try {
    return body();
  } catch (const Panic& p) {
    return std::string("panic: ") + p.what();
  }
}

TEST(AllocatorStateConflictTest, BaseFileHoldsEveryKindOfPage) {
  ImageEditor editor(base().image);
  EXPECT_GE(editor.table_pages(false, "t0").back().depth, 2u);
  EXPECT_FALSE(listed_pages(editor, kDataPagesUnreachable).empty());
  EXPECT_FALSE(listed_pages(editor, kSystemPagesUnreachable).empty());
  // Untouched, it opens without a repair and takes the writes.
  std::vector<double> progress;
  EXPECT_EQ(without_panic([&] {
              return write_and_check(std::make_shared<MemoryFile>(base().image), base().model,
                                     &progress);
            }),
            "");
  EXPECT_TRUE(progress.empty());
}

// A saved state that holds a page in use free sends the open to the repair,
// which rebuilds the allocators from the pages in use: the file keeps every
// entry and takes the writes.
TEST(AllocatorStateConflictTest, StateFreeingAPageInUseIsRepaired) {
  struct Case {
    const char* name;
    std::function<PageNumber(ImageEditor&)> victim;
  };
  const std::vector<Case> cases = {
      {"a data leaf", [](ImageEditor& e) { return page_at_depth(e, "t0", 2); }},
      {"a data branch", [](ImageEditor& e) { return page_at_depth(e, "t0", 1); }},
      {"a table's root", [](ImageEditor& e) { return page_at_depth(e, "t0", 0); }},
      {"a page of several", [](ImageEditor& e) {
         for (const auto& p : e.table_pages(false, "t1")) {
           if (p.page.page_order > 0) return p.page;
         }
         panic("no multi-page run in t1");
       }},
      {"the data directory", [](ImageEditor& e) { return e.directory_pages(false).front().page; }},
      {"the system directory", [](ImageEditor& e) { return e.directory_pages(true).front().page; }},
      {"a system table page",
       [](ImageEditor& e) {
         return e.table_pages(true, std::string(kAllocatorStateTable)).back().page;
       }},
      {"a page data_pages_unreachable lists",
       [](ImageEditor& e) { return listed_pages(e, kDataPagesUnreachable).front(); }},
      {"a page system_pages_unreachable lists",
       [](ImageEditor& e) { return listed_pages(e, kSystemPagesUnreachable).front(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageEditor editor(base().image);
    const PageNumber victim = c.victim(editor);
    ASSERT_TRUE(editor.free_in_saved_state(victim));
    ASSERT_TRUE(editor.reseal());
    auto file = std::make_shared<MemoryFile>(editor.bytes());
    {
      // The crafted state loads, and holds the page free.
      auto ro = ReadOnlyDatabase::open_backend(std::make_unique<MemoryBackend>(file));
      ASSERT_TRUE(ro.ok()) << ro.error().to_string();
      const bool free = test::page_store_of(ro.value())->with_allocators(
          [&](const Allocators& a, const DatabaseLayout&) {
            return a.buddies()[victim.region]
                .check_free(victim.page_index, victim.page_order)
                .has_value();
          });
      ASSERT_TRUE(free) << victim.debug();
    }
    std::vector<double> progress;
    EXPECT_EQ(without_panic([&] { return write_and_check(file, base().model, &progress); }), "")
        << victim.debug();
    EXPECT_EQ(progress, (std::vector<double>{0.0, 0.6, 0.9}));
  }
}

// A page that two users share cannot be given to either alone: the open
// reports Corrupted and leaves the file as it was.
TEST(AllocatorStateConflictTest, PageUsedTwiceIsRefused) {
  struct Case {
    const char* name;
    std::function<void(ImageEditor&)> damage;
  };
  const std::vector<Case> cases = {
      {"a list names its own root",
       [](ImageEditor& e) {
         const PageNumber root = e.table_pages(true, std::string(kSystemPagesUnreachable))[0].page;
         list_page_in(e, kSystemPagesUnreachable, root);
       }},
      {"a list names a data leaf",
       [](ImageEditor& e) { list_page_in(e, kDataPagesUnreachable, page_at_depth(e, "t0", 2)); }},
      {"a list names the system directory",
       [](ImageEditor& e) {
         list_page_in(e, kDataPagesUnreachable, e.directory_pages(true).front().page);
       }},
      {"two tables share a leaf",
       [](ImageEditor& e) {
         // A leaf of t2 becomes t1's first leaf as well.
         PageNumber shared;
         for (const auto& p : e.table_pages(false, "t2")) {
           if (p.leaf) shared = p.page;
         }
         BranchMutator(e.page(page_at_depth(e, "t1", 0))).write_child_page(0, shared, 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageEditor editor(base().image);
    c.damage(editor);
    ASSERT_TRUE(editor.reseal());
    auto file = std::make_shared<MemoryFile>(editor.bytes());
    const std::string outcome =
        without_panic([&] { return write_and_check(file, base().model, nullptr); });
    EXPECT_EQ(outcome.rfind("open: DB corrupted: ", 0), 0u) << outcome;
    EXPECT_EQ(file->snapshot(), editor.bytes());
  }
}

// ---- The fuzzer's file ----------------------------------------------------------------

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads every entry of every table a read-only open shows; what cannot be
// read is an error value, counted.
size_t read_everything(const ReadOnlyDatabase& db) {
  const auto& mem = test::page_store_of(db);
  size_t errors = 0;
  for (const std::optional<BtreeHeader>& root : {mem->get_data_root(), mem->get_system_root()}) {
    auto directory = TableTree::create(root, PageReadHint::kCommitted,
                                       TransactionGuard::new_untracked(), mem);
    if (!directory.ok()) {
      ++errors;
      continue;
    }
    auto names = directory.value().list_tables(TableKind::kNormal);
    if (!names.ok()) {
      ++errors;
      continue;
    }
    for (const std::string& name : names.value()) {
      auto definition = directory.value().get_table_untyped(name, TableKind::kNormal);
      if (!definition.ok() || !definition.value() || !definition.value()->table_root()) continue;
      const InternalTableDefinition& d = *definition.value();
      BtreeCursorRange range = BtreeCursorRange::from_bounds(
          EncodedBound::unbounded(), EncodedBound::unbounded(), d.table_root()->root,
          TreeDescriptor{d.fixed_key_width(), d.fixed_value_width(), nullptr},
          page_source_of(mem), PageReadHint::kCommitted);
      while (auto entry = range.next()) {
        if (!entry->ok()) {
          ++errors;
          break;
        }
      }
    }
  }
  return errors;
}

// Passes as cleanly closed, but several tables' pages are damaged and the
// list "system_pages_unreachable" names its own root page r0.0/0: the first
// durable commit would free that page while the list's tree still reaches it
// and hand it out again. A writable open finds the conflict, and the repair
// the damage behind it; nothing is written.
TEST(AllocatorStateConflictTest, DamagedClosedFileEndsInErrors) {
  const Bytes original = gunzip(std::string(RS_STORAGE_TEST_DATA_DIR) +
                                "/closed-file-with-damaged-pages.db.gz");
  test::TempDir dir;
  const std::string path = dir.file("damaged.db");
  write_file(path, original);
  constexpr size_t kCache = 256 << 10;
  {
    auto ro = ReadOnlyDatabase::open(path, kCache);
    ASSERT_TRUE(ro.ok()) << ro.error().to_string();
    EXPECT_GT(read_everything(ro.value()), 0u);
    auto conflict = check_loaded_allocator_state(test::page_store_of(ro.value()));
    ASSERT_TRUE(conflict.ok()) << conflict.error().to_string();
    EXPECT_EQ(conflict.value().value_or("none"),
              "page r0.0/0 of the list 'system_pages_unreachable' overlaps page r0.0/0 of "
              "system table 'system_pages_unreachable'");
  }
  // What the fuzzer did next, twice: every step must end in an error value,
  // and a close reported clean must leave a saved state that agrees with the
  // pages in use.
  auto session = [&]() -> std::string {
    std::string steps;
    {
      auto db = Database::builder().set_cache_size(kCache).create(path);
      if (!db.ok()) return "open: " + db.error().to_string();
      auto txn = db.value().begin_write();
      if (!txn.ok()) return "begin_write: " + txn.error().to_string();
      {
        auto table = txn.value().open_table<U64Codec, BytesCodec>("u64");
        if (!table.ok()) return "open_table: " + table.error().to_string();
        const Bytes value(100, 0x5A);
        steps += "insert: " + test::error_text(table.value().insert(0xF00DF00D, ByteView(value)));
      }
      steps += ", commit: " + test::error_text(std::move(txn).value().commit());
      steps += ", close: " + test::error_text(db.value().close());
    }
    auto ro = ReadOnlyDatabase::open(path, kCache);
    if (!ro.ok()) return steps + ", read-only open: " + ro.error().to_string();
    auto conflict = check_loaded_allocator_state(test::page_store_of(ro.value()));
    if (!conflict.ok()) return steps + ", census: " + conflict.error().to_string();
    return steps + ", saved state: " + conflict.value().value_or("agrees");
  };
  std::string outcome = without_panic(session);
  if (!outcome.starts_with("open: ")) outcome += "; then " + without_panic(session);
  EXPECT_EQ(outcome, "open: DB corrupted: Primary is corrupted despite 2-phase commit");
  EXPECT_EQ(read_file(path), original);
}

}  // namespace
}  // namespace storage
