// Damaged files: seeded mutations (bit flips, byte runs, truncations) of small
// valid database files, aimed at the header and its commit slots, the table
// definitions, the page lists, the saved allocator state and the table pages,
// or anywhere. Each mutant is opened read-only and read in full, then opened
// writable (repairing it when needed), written to, closed, and read again.
// Every step must give a result or an error value: never a panic, a sanitizer
// report or a hang.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/src/panic.h"
#include "storage/src/transaction_tracker.h"
#include "storage/src/tree_store/table_tree.h"
#include "storage/tests/support/crash_backend.h"
#include "storage/tests/support/database_access.h"
#include "storage/tests/support/database_checks.h"
#include "storage/tests/support/database_workload.h"
#include "storage/tests/support/image_editor.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"

namespace storage {
namespace {

using test::Model;
using Bytes = std::vector<uint8_t>;

struct Span {
  uint64_t offset;
  uint64_t len;
};

// The byte spans of each kind of structure in a file.
using Targets = std::map<std::string, std::vector<Span>>;

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Runs a small workload; the file as the close left it (`clean`) and as a
// crash just before the close would have left it (`crashed`).
struct BaseFiles {
  Bytes clean;
  Bytes crashed;
  Model model;
};

BaseFiles make_base(uint64_t seed) {
  auto state = std::make_shared<test::CrashState>();
  auto opened = test::open_database_on(std::make_unique<test::CrashBackend>(state));
  if (!opened.ok()) panic("create: " + opened.error().to_string());
  Database db = std::move(opened).value();
  const auto commits = test::make_workload(test::WorkloadMode::kNonDurableThenDurable, seed, 8);
  Model model;
  for (const auto& commit : commits) {
    std::string e = test::run_commit(commit, model, [&] { return db.begin_write(); });
    if (!e.empty()) panic(e);
    test::apply_to_model(commit, model);
  }
  BaseFiles out;
  out.crashed = state->current_image();
  if (!db.close().ok()) panic("close");
  out.clean = state->current_image();
  out.model = std::move(model);
  return out;
}

// Where the structures of a cleanly closed file lie.
Targets find_targets(const std::string& path) {
  Targets out;
  out["header"].push_back({0, 512});
  auto db = ReadOnlyDatabase::open(path);
  if (!db.ok()) panic("read-only open of the base file: " + db.error().to_string());
  const auto& mem = test::page_store_of(db.value());
  const DatabaseLayout layout =
      mem->with_allocators([](const Allocators&, const DatabaseLayout& l) { return l; });
  auto span_of = [&](PageNumber p) {
    const uint64_t page = mem->get_page_size();
    return Span{layout.region_base_address(p.region) +
                    layout.region_layout(p.region).data_section_offset() +
                    (uint64_t{p.page_index} << p.page_order) * page,
                page << p.page_order};
  };
  auto walk = [&](std::optional<BtreeHeader> root, const std::string& directory_kind,
                  bool system) {
    auto tree = TableTree::create(root, PageReadHint::kCommitted, TransactionGuard::new_untracked(),
                                  mem);
    if (!tree.ok()) panic("directory");
    (void)UntypedBtree(root, kTableDirectoryDescriptor.fixed_key_width, page_source_of(mem),
                 PageReadHint::kCommitted)
        .visit_all_pages([&](std::span<const PageNumber> p) -> Result<void, StorageError> {
          out[directory_kind].push_back(span_of(p.back()));
          return {};
        });
    auto names = tree.value().list_tables(TableKind::kNormal);
    if (!names.ok()) panic("list_tables");
    for (const std::string& name : names.value()) {
      auto definition = tree.value().get_table_untyped(name, TableKind::kNormal);
      if (!definition.ok() || !definition.value()) panic("definition");
      const std::string kind = !system                                  ? "data table"
                               : name == "allocator_state"              ? "allocator state"
                               : name.find("_pages_") != std::string::npos ? "page lists"
                                                                          : "other system table";
      (void)definition.value()->visit_all_pages(
          page_source_of(mem), PageReadHint::kCommitted,
          [&](std::span<const PageNumber> p) -> Result<void, StorageError> {
            out[kind].push_back(span_of(p.back()));
            return {};
          });
    }
  };
  walk(mem->get_data_root(), "definitions", false);
  walk(mem->get_system_root(), "system definitions", true);
  return out;
}

std::string mutate(Bytes& bytes, const Targets& targets, std::mt19937_64& rng) {
  // Pick where: one kind of structure, or anywhere.
  std::vector<const std::pair<const std::string, std::vector<Span>>*> kinds;
  for (const auto& entry : targets) kinds.push_back(&entry);
  Span where{0, bytes.size()};
  std::string label = "anywhere";
  if (rng() % 5 != 0) {
    const auto* kind = kinds[rng() % kinds.size()];
    where = kind->second[rng() % kind->second.size()];
    label = kind->first;
  }
  if (where.offset >= bytes.size()) return label + " (beyond the file)";
  where.len = std::min<uint64_t>(where.len, bytes.size() - where.offset);
  switch (rng() % 6) {
    case 0:
    case 1:
    case 2: {
      const int flips = 1 + static_cast<int>(rng() % 4);
      label += ": bit flips at";
      for (int i = 0; i < flips; ++i) {
        // Favour the first bytes of a page: page headers, counts and lengths.
        const uint64_t span = rng() % 2 ? std::min<uint64_t>(where.len, 64) : where.len;
        const uint64_t at = where.offset + rng() % span;
        const int bit = static_cast<int>(rng() % 8);
        bytes[at] ^= static_cast<uint8_t>(1u << bit);
        label += " " + std::to_string(at) + "." + std::to_string(bit);
      }
      return label;
    }
    case 3:
    case 4: {
      const uint64_t at = where.offset + rng() % where.len;
      const uint64_t len = std::min<uint64_t>(1 + rng() % 32, bytes.size() - at);
      const int fill = static_cast<int>(rng() % 3);
      for (uint64_t i = 0; i < len; ++i) {
        bytes[at + i] = fill == 0 ? 0 : fill == 1 ? 0xFF : static_cast<uint8_t>(rng());
      }
      return label + ": run of " + std::to_string(len) + " bytes at " + std::to_string(at);
    }
    default: {
      uint64_t len = rng() % bytes.size();
      if (rng() % 2) len -= len % 4096;
      bytes.resize(len);
      return "truncated to " + std::to_string(len);
    }
  }
}

// Reads everything a read-only open shows.
void read_all(const std::string& path) {
  auto db = ReadOnlyDatabase::open(path);
  if (!db.ok()) return;
  auto txn = db.value().begin_read();
  if (!txn.ok()) return;
  (void)test::read_model(txn.value());
  for (const char* name : test::kWorkloadTables) {
    auto table = txn.value().open_table<U64Codec, BytesCodec>(name);
    if (!table.ok()) continue;
    for (uint64_t key = 0; key < 220; key += 7) (void)table.value().get(key);
  }
}

// A writable open, one more commit and a close; whether every step succeeded.
bool write_some(const std::string& path) {
  auto db = Database::builder().set_cache_size(size_t{8} << 20).create(path);
  if (!db.ok()) return false;
  bool ok = true;
  {
    auto txn = db.value().begin_write();
    if (!txn.ok()) return false;
    {
      auto table = txn.value().open_table<U64Codec, BytesCodec>("t1");
      ok = table.ok();
      if (table.ok()) {
        const auto value = test::workload_value(5, 5, 3000);
        for (uint64_t key = 3; key < 200; key += 17) {
          ok = table.value().insert(key, ByteView(value)).ok() && ok;
        }
      }
    }
    ok = std::move(txn).value().commit().ok() && ok;
  }
  return db.value().close().ok() && ok;
}

// What write_some does to the model.
Model with_some_written(Model model) {
  const auto value = test::workload_value(5, 5, 3000);
  for (uint64_t key = 3; key < 200; key += 17) model.tables["t1"][key] = value;
  return model;
}

// After write_some reported success: the file holds exactly the expected
// contents and its saved allocator state every page in use. A state damaged
// to hold free pages allocated keeps them so (they are never handed out, only
// wasted), so such pages are no fault here. Empty when all holds, else what
// differs.
std::string check_written(const std::string& path, const Model& expected) {
  auto db = ReadOnlyDatabase::open(path);
  if (!db.ok()) return "read-only open after a clean close: " + db.error().to_string();
  if (std::string e = test::check_page_store(test::page_store_of(db.value()));
      !e.empty() && !e.starts_with("allocated pages no tree or list holds:")) {
    return "saved allocator state: " + e;
  }
  auto txn = db.value().begin_read();
  if (!txn.ok()) return "begin_read: " + txn.error().to_string();
  auto found = test::read_model(txn.value());
  if (!found.ok()) return "read: " + found.error();
  if (!(found.value() == expected)) return "found " + found.value().debug();
  return "";
}

// The test's seed, printed first, so that a hang can be replayed too.
uint64_t announced_seed() {
  const uint64_t seed = storage_test_support::random_seed();
  std::printf("DatabaseFuzz seed %llu (replay with RS_TEST_SEED)\n",
              static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  return seed;
}

TEST(DatabaseFuzz, DamagedFilesGiveResultsOrErrorsOnly) {
  const uint64_t seed = announced_seed();
  std::mt19937_64 rng(seed);
  test::TempDir dir = test::TempDir::in_memory();
  const std::string path = dir.file("fuzz.db");
  const BaseFiles base = make_base(seed);
  write_file(path, base.clean);
  const Targets targets = find_targets(path);
  // The base file has every structure the mutations aim at.
  for (const char* kind : {"header", "definitions", "system definitions", "data table",
                           "page lists", "allocator state"}) {
    ASSERT_TRUE(targets.contains(kind)) << kind;
  }
  const size_t cases = test::reliability_rounds(400, 80);
  for (size_t i = 0; i < cases; ++i) {
    const bool clean = rng() % 3 != 0;
    Bytes bytes = clean ? base.clean : base.crashed;
    const std::string what = std::string(clean ? "closed file, " : "crashed file, ") +
                             mutate(bytes, targets, rng);
    write_file(path, bytes);
    try {
      read_all(path);
      write_some(path);
      read_all(path);
    } catch (const Panic& p) {
      FAIL() << "case " << i << " (" << what << "): panic: " << p.what()
             << "; replay with RS_TEST_SEED=" << seed;
    } catch (const std::exception& e) {
      FAIL() << "case " << i << " (" << what << "): exception: " << e.what()
             << "; replay with RS_TEST_SEED=" << seed;
    }
  }
}

// Every byte of the first kilobyte of both table directories, one at a time:
// a writable open, a commit and the close over a damaged directory report
// Corrupted (or work around it), never panic.
TEST(DatabaseFuzz, EveryDirectoryByteDamagedAloneGivesResultsOrErrorsOnly) {
  test::TempDir dir = test::TempDir::in_memory();
  const std::string path = dir.file("sweep.db");
  const BaseFiles base = make_base(1);
  write_file(path, base.clean);
  const Targets targets = find_targets(path);
  const uint64_t stride = test::sanitized_build() ? 7 : 1;
  for (const char* kind : {"system definitions", "definitions"}) {
    for (const Span& page : targets.at(kind)) {
      for (uint64_t at = page.offset; at < page.offset + std::min<uint64_t>(page.len, 1024);
           at += stride) {
        Bytes bytes = base.clean;
        bytes[at] ^= 0xFF;
        write_file(path, bytes);
        try {
          write_some(path);
          read_all(path);
        } catch (const Panic& p) {
          FAIL() << kind << " byte " << at - page.offset << " of the page at " << page.offset
                 << ": panic: " << p.what();
        }
      }
    }
  }
}

// One piece of damage to the saved allocator state or a page list of a clean
// image: a page run freed in the state, a listed page replaced by another
// page number, or bit flips in a value of one of those tables. Empty when the
// chosen damage does not apply to this image.
std::string damage_saved_state(test::ImageEditor& editor, std::mt19937_64& rng) {
  // A page run of the file (mostly single pages, as most in use are).
  const DatabaseLayout layout = editor.header().layout();
  auto random_page = [&] {
    const auto region = static_cast<uint32_t>(rng() % layout.num_regions());
    const auto order = static_cast<uint8_t>(rng() % 4 == 0 ? 1 + rng() % 2 : 0);
    const uint32_t runs = std::max<uint32_t>(1, layout.region_layout(region).num_pages() >> order);
    return PageNumber(region, static_cast<uint32_t>(rng() % runs), order);
  };
  const char* const tables[] = {"allocator_state", "system_pages_unreachable",
                                "data_pages_unreachable"};
  const size_t kind = rng() % 3;
  if (kind == 0) {
    const PageNumber page = random_page();
    if (!editor.free_in_saved_state(page)) return "";
    return "allocator state frees " + page.debug();
  }
  // Every value of one table, then one of them damaged.
  const std::string table = tables[kind == 1 ? 1 + rng() % 2 : rng() % std::size(tables)];
  std::vector<std::span<uint8_t>> values;
  if (editor.table(true, table)) {
    editor.for_each_entry(true, table, [&](std::span<const uint8_t>, std::span<uint8_t> v) {
      if (!v.empty()) values.push_back(v);
    });
  }
  if (values.empty()) return "";
  const std::span<uint8_t> value = values[rng() % values.size()];
  if (kind == 1) {
    const size_t listed = value.size() < 2 ? 0 : load_le16(value.data());
    if (listed == 0 || 2 + 8 * listed > value.size()) return "";
    const size_t slot = 2 + 8 * (rng() % listed);
    const PageNumber page = random_page();
    page.to_le_bytes(value.data() + slot);
    return table + " lists " + page.debug() + " at byte " + std::to_string(slot);
  }
  std::string what = table + ": bit flips at";
  const int flips = 1 + static_cast<int>(rng() % 3);
  for (int f = 0; f < flips; ++f) {
    const size_t at = rng() % value.size();
    const int bit = static_cast<int>(rng() % 8);
    value[at] ^= static_cast<uint8_t>(1u << bit);
    what += " " + std::to_string(at) + "." + std::to_string(bit);
  }
  return what;
}

// Damage that no checksum shows: the saved allocator state's images and the
// page lists are mutated and the file resealed, so that only the allocator
// state or a list is wrong (a page in use held free, a list naming a page a
// tree reaches, ...). A writable open repairs or refuses such a file, and
// when the writes and the close all succeed, the file holds exactly what was
// written and its allocator state exactly the pages in use.
TEST(DatabaseFuzz, ResealedDamageToSavedStateAndListsNeverCorruptsSilently) {
  const uint64_t seed = announced_seed();
  std::mt19937_64 rng(seed);
  test::TempDir dir = test::TempDir::in_memory();
  const std::string path = dir.file("resealed.db");
  const BaseFiles base = make_base(seed);
  const Model expected = with_some_written(base.model);
  const size_t cases = test::reliability_rounds(300, 60);
  size_t written = 0;
  for (size_t i = 0; i < cases; ++i) {
    test::ImageEditor editor(base.clean);
    const std::string what = damage_saved_state(editor, rng);
    if (what.empty()) continue;
    if (!editor.reseal()) continue;
    write_file(path, editor.bytes());
    try {
      if (!write_some(path)) continue;
      ++written;
      const std::string e = check_written(path, expected);
      EXPECT_EQ(e, "") << "case " << i << " (" << what << "); replay with RS_TEST_SEED=" << seed;
    } catch (const Panic& p) {
      FAIL() << "case " << i << " (" << what << "): panic: " << p.what()
             << "; replay with RS_TEST_SEED=" << seed;
    }
  }
  // Enough of the damage leaves a file that takes the writes, or the test
  // would check nothing.
  EXPECT_GT(written, cases / 8);
}

}  // namespace
}  // namespace storage
