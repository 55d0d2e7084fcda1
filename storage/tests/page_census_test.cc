// The census a writable open makes before it trusts a saved allocator state:
// what it reads (its reads come in rounds per tree level, whatever the number
// of tables; of a multimap's subtrees only what it reads of other trees), and
// what it does with what it cannot read or follow (the state is not trusted:
// the open repairs or fails with an error value, and no later write
// overwrites a page in use).
//
// Damaged files are crafted byte by byte and resealed, so that every checksum
// holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/src/panic.h"
#include "storage/src/transactions/page_census.h"
#include "storage/src/tree_store/btree_base.h"
#include "storage/src/tree_store/multimap_tree.h"
#include "storage/tests/support/counting_backend.h"
#include "storage/tests/support/database_access.h"
#include "storage/tests/support/database_workload.h"
#include "storage/tests/support/gzip_data.h"
#include "storage/tests/support/image_editor.h"
#include "storage/tests/support/memory_backend.h"

namespace storage {
namespace {

using test::CountingBackend;
using test::gunzip;
using test::ImageEditor;
using test::MemoryBackend;
using test::MemoryFile;
using Bytes = std::vector<uint8_t>;

constexpr size_t kCache = size_t{16} << 20;

// A cleanly closed file, written by `fill`.
Bytes closed_file(const std::function<void(Database&)>& fill) {
  auto file = std::make_shared<MemoryFile>();
  auto opened =
      Database::builder().set_cache_size(kCache).create_with_backend(
          std::make_unique<MemoryBackend>(file));
  if (!opened.ok()) panic("create: " + opened.error().to_string());
  Database db = std::move(opened).value();
  fill(db);
  if (auto closed = db.close(); !closed.ok()) panic("close: " + closed.error().to_string());
  return file->snapshot();
}

// Inserts `keys` keys with `value_len`-byte values into each named table.
void put_tables(Database& db, const std::vector<std::string>& names, uint64_t keys,
                size_t value_len) {
  constexpr size_t kPerCommit = 100;
  const Bytes value(value_len, 0x5A);
  for (size_t first = 0; first < names.size(); first += kPerCommit) {
    auto txn = db.begin_write();
    if (!txn.ok()) panic("begin_write: " + txn.error().to_string());
    for (size_t t = first; t < std::min(names.size(), first + kPerCommit); ++t) {
      auto table = txn.value().open_table<U64Codec, BytesCodec>(names[t]);
      if (!table.ok()) panic("open_table: " + table.error().to_string());
      for (uint64_t k = 0; k < keys; ++k) {
        if (!table.value().insert(k, ByteView(value)).ok()) panic("insert failed");
      }
    }
    if (auto committed = std::move(txn).value().commit(); !committed.ok()) {
      panic("commit: " + committed.error().to_string());
    }
  }
}

std::vector<std::string> table_names(size_t count) {
  std::vector<std::string> out;
  for (size_t i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "t%05zu", i);
    out.emplace_back(name);
  }
  return out;
}

struct CountedOpen {
  CountingBackend::Counts counts;  // during the open alone
  std::vector<double> repair_progress;
};

CountedOpen open_counted(const Bytes& image, bool cached = false) {
  CountedOpen out;
  auto file = std::make_shared<MemoryFile>(image);
  auto counts = std::make_shared<CountingBackend::Counts>();
  counts->cached = cached;
  auto opened = Database::builder()
                    .set_cache_size(kCache)
                    .set_repair_callback(
                        [&](RepairSession& s) { out.repair_progress.push_back(s.progress()); })
                    .create_with_backend(std::make_unique<CountingBackend>(file, counts));
  if (!opened.ok()) panic("open: " + opened.error().to_string());
  out.counts = *counts;
  return out;
}

size_t deepest(const std::vector<ImageEditor::TreePage>& pages) {
  size_t out = 0;
  for (const auto& p : pages) out = std::max(out, p.depth);
  return out;
}

uint64_t offset_of(ImageEditor& editor, PageNumber page) {
  return static_cast<uint64_t>(editor.page(page).data() - editor.bytes().data());
}

// Ten times the tables, each with a branch over its leaves: the reads the
// census makes one at a time, and its rounds of announced reads, stay as
// they are; only the announced reads grow (each table's root and first leaf).
TEST(PageCensusTest, RoundsOfReadsDoNotGrowWithTheNumberOfTables) {
  std::vector<CountedOpen> opens;
  std::vector<size_t> directory_depths;
  for (const size_t tables : {100, 1000}) {
    SCOPED_TRACE(tables);
    const Bytes image = closed_file([&](Database& db) {
      put_tables(db, table_names(tables), 40, 200);
    });
    ImageEditor editor(image);
    directory_depths.push_back(deepest(editor.directory_pages(false)));
    ASSERT_EQ(deepest(editor.table_pages(false, "t00000")), 1u);
    opens.push_back(open_counted(image));
    EXPECT_TRUE(opens.back().repair_progress.empty());
  }
  // The same directory height: the same number of levels to walk.
  ASSERT_EQ(directory_depths[0], directory_depths[1]);
  const CountingBackend::Counts& few = opens[0].counts;
  const CountingBackend::Counts& many = opens[1].counts;
  EXPECT_EQ(many.unannounced_reads, few.unannounced_reads);
  EXPECT_EQ(many.prefetch_batches, few.prefetch_batches);
  EXPECT_LE(many.prefetch_batches, 8u);
  EXPECT_GE(many.announced_reads, 2 * 1000u);
}

// A file the system holds in its cache is read without a word of announcement
// (announcing pages already in memory costs as much as reading them); one it
// does not hold is announced once per round, as before.
TEST(PageCensusTest, PagesTheSystemHoldsAreReadWithoutAnnouncement) {
  const Bytes image = closed_file([&](Database& db) {
    put_tables(db, table_names(300), 40, 200);
  });
  const CountedOpen cold = open_counted(image, /*cached=*/false);
  const CountedOpen warm = open_counted(image, /*cached=*/true);
  EXPECT_TRUE(cold.repair_progress.empty());
  EXPECT_TRUE(warm.repair_progress.empty());
  EXPECT_GE(cold.counts.prefetch_batches, 1u);
  EXPECT_EQ(cold.counts.cached_reads, 0u);
  EXPECT_EQ(warm.counts.prefetch_calls, 0u);
  EXPECT_GE(warm.counts.cached_reads, 2 * 300u);
  // The same pages either way.
  EXPECT_EQ(warm.counts.read_offsets, cold.counts.read_offsets);
}

// A cold file's pages are announced with their near neighbours (the pages of
// one level of many small trees lie a few apart, the next level's between
// them), in ranges no longer than the system reads ahead of one
// announcement: a few calls, each read whole, not one call per page.
TEST(PageCensusTest, NearbyPagesAreAnnouncedTogetherInReadAheadSizedRanges) {
  const Bytes image = closed_file([&](Database& db) {
    put_tables(db, table_names(1000), 40, 200);
  });
  const CountedOpen open = open_counted(image);
  EXPECT_TRUE(open.repair_progress.empty());
  const CountingBackend::Counts& counts = open.counts;
  EXPECT_GE(counts.announced_reads, 2 * 1000u);
  EXPECT_LE(counts.prefetch_calls * 4, counts.announced_reads);
  EXPECT_LE(counts.largest_prefetch, TransactionalMemory::kMaxAnnouncedBytes);
  EXPECT_GT(counts.largest_prefetch, 4 * uint64_t{Builder::kPageSize});
}

// A warm file of which a few pages are not in the system's cache (written
// back, or let go) has those pages announced, not the rest of their round.
TEST(PageCensusTest, PagesMissingFromAWarmFileAreAnnouncedAlone) {
  // Enough tables that a level of them is read in several chunks.
  const Bytes image = closed_file([&](Database& db) {
    put_tables(db, table_names(2500), 40, 200);
  });
  ImageEditor editor(image);
  auto counts = std::make_shared<CountingBackend::Counts>();
  counts->cached = true;
  for (const char* name : {"t00000", "t01200", "t02499"}) {
    counts->not_cached.insert(offset_of(editor, editor.table_pages(false, name).front().page));
  }
  auto opened = Database::builder().set_cache_size(kCache).create_with_backend(
      std::make_unique<CountingBackend>(std::make_shared<MemoryFile>(image), counts));
  ASSERT_TRUE(opened.ok()) << opened.error().to_string();
  EXPECT_GE(counts->cached_reads, 2 * 2500u - 3);
  EXPECT_LE(counts->prefetch_calls, 3u);
  for (uint64_t offset : counts->not_cached) EXPECT_TRUE(counts->read_offsets.contains(offset));
}

// The threads that share a census's reads are asked for once, whatever the
// number of rounds and chunks: a thread started per chunk costs more than the
// reads it shares.
TEST(PageCensusTest, ReadingThreadsAreAskedForOncePerCensus) {
  const Bytes image = closed_file([&](Database& db) {
    put_tables(db, table_names(1000), 40, 200);
  });
  for (const bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "cached" : "cold");
    auto counts = std::make_shared<CountingBackend::Counts>();
    counts->cached = cached;
    auto ro = ReadOnlyDatabase::open_backend(
        std::make_unique<CountingBackend>(std::make_shared<MemoryFile>(image), counts), kCache);
    ASSERT_TRUE(ro.ok()) << ro.error().to_string();
    uint64_t asked = 0;
    const CensusOptions options{.readers = 4, .min_pages_per_reader = 1, .refuse_thread = [&] {
                                  ++asked;
                                  return false;
                                }};
    auto result = check_loaded_allocator_state(test::page_store_of(ro.value()), options);
    ASSERT_TRUE(result.ok()) << result.error().to_string();
    EXPECT_EQ(result.value(), std::nullopt);
    EXPECT_EQ(asked, 3u);
  }
}

// Large rounds are read on several threads: whatever the number of readers,
// whichever threads the system refuses (their slices are read by the opener),
// cached or not, the census comes out the same, for a sound file and for one
// whose census finds a page used twice. Under TSan in `make test-tsan`.
TEST(PageCensusTest, ConcurrentReadersAndRefusedThreadsGiveTheSameCensus) {
  const Bytes sound = closed_file([&](Database& db) {
    put_tables(db, table_names(200), 40, 200);
  });
  const Bytes damaged = gunzip(std::string(RS_STORAGE_TEST_DATA_DIR) +
                               "/closed-file-with-damaged-pages.db.gz");
  const uint64_t rounds = test::reliability_rounds(4, 2);
  for (const Bytes* image : {&sound, &damaged}) {
    auto census = [&](const CensusOptions& options, bool cached) {
      auto counts = std::make_shared<CountingBackend::Counts>();
      counts->cached = cached;
      auto ro = ReadOnlyDatabase::open_backend(
          std::make_unique<CountingBackend>(std::make_shared<MemoryFile>(*image), counts), kCache);
      if (!ro.ok()) panic("read-only open: " + ro.error().to_string());
      auto result = check_loaded_allocator_state(test::page_store_of(ro.value()), options);
      if (!result.ok()) return "error: " + result.error().to_string();
      return result.value().value_or("agrees");
    };
    const std::string expected = census(CensusOptions{.readers = 1}, false);
    EXPECT_EQ(expected, image == &sound
                            ? "agrees"
                            : "page r0.0/0 of the list 'system_pages_unreachable' overlaps page "
                              "r0.0/0 of system table 'system_pages_unreachable'");
    for (uint64_t round = 0; round < rounds; ++round) {
      for (const bool cached : {false, true}) {
        std::atomic<uint64_t> asked{0};
        const std::vector<std::pair<const char*, CensusOptions>> cases = {
            {"four readers", {.readers = 4, .min_pages_per_reader = 1}},
            {"all refused",
             {.readers = 4, .min_pages_per_reader = 1, .refuse_thread = [] { return true; }}},
            {"every other refused",
             {.readers = 3,
              .min_pages_per_reader = 1,
              .refuse_thread = [&] { return asked.fetch_add(1) % 2 == 0; }}},
        };
        for (const auto& [name, options] : cases) {
          SCOPED_TRACE(std::string(name) + (cached ? ", cached" : ""));
          EXPECT_EQ(census(options, cached), expected);
        }
        EXPECT_GT(asked.load(), 0u);
      }
    }
  }
}

// ---- Multimap tables ----------------------------------------------------------------

constexpr uint64_t kSubtrees = 4;

// Tables t00000 (three levels) and w, and the multimap m whose keys 0..3 each
// name a subtree of 3,000 values (a branch over several leaves).
const Bytes& multimap_file() {
  static const Bytes image = closed_file([](Database& db) {
    put_tables(db, {"t00000"}, 4000, 300);
    put_tables(db, {"w"}, 10, 100);
    std::vector<std::vector<uint64_t>> values(kSubtrees);
    for (uint64_t k = 0; k < kSubtrees; ++k) {
      for (uint64_t v = 0; v < 3000; ++v) values[k].push_back(k * 100000 + v);
    }
    test::put_multimap(db, "m", values);
  });
  return image;
}

std::vector<BtreeHeader> subtree_roots(ImageEditor& editor) {
  std::vector<BtreeHeader> out;
  editor.for_each_entry(false, "m", [&](std::span<const uint8_t>, std::span<uint8_t> value) {
    out.push_back(DynamicCollection::subtree_of(ByteView(value)).value().value());
  });
  return out;
}

// The outer tree's leaves are read (they name the subtrees); of each subtree
// its branches and its first leaf, as of any other tree.
TEST(PageCensusTest, MultimapSubtreesAreReadAsFarAsOtherTrees) {
  ImageEditor editor(multimap_file());
  const std::vector<BtreeHeader> roots = subtree_roots(editor);
  ASSERT_EQ(roots.size(), kSubtrees);
  const CountedOpen open = open_counted(multimap_file());
  EXPECT_TRUE(open.repair_progress.empty());
  const std::set<uint64_t>& read = open.counts.read_offsets;
  for (const auto& p : editor.table_pages(false, "m")) {
    EXPECT_TRUE(read.contains(offset_of(editor, p.page))) << "outer page " << p.page.debug();
  }
  size_t leaves_unread = 0;
  for (const BtreeHeader& root : roots) {
    const std::vector<ImageEditor::TreePage> pages = editor.pages_of(root.root, 8);
    ASSERT_EQ(deepest(pages), 1u);
    bool first_leaf = true;
    for (const auto& p : pages) {
      const bool was_read = read.contains(offset_of(editor, p.page));
      if (!p.leaf || first_leaf) {
        EXPECT_TRUE(was_read) << "subtree page " << p.page.debug();
        first_leaf = first_leaf && !p.leaf;
      } else {
        EXPECT_FALSE(was_read) << "subtree leaf " << p.page.debug();
        ++leaves_unread;
      }
    }
  }
  EXPECT_GE(leaves_unread, kSubtrees * 4);
}

// ---- What the census cannot read or follow ------------------------------------------

// The value of key `key` of the multimap.
std::span<uint8_t> outer_value(ImageEditor& editor, uint64_t key) {
  std::span<uint8_t> out;
  uint64_t i = 0;
  editor.for_each_entry(false, "m", [&](std::span<const uint8_t>, std::span<uint8_t> value) {
    if (i++ == key) out = value;
  });
  if (out.empty()) panic("no key " + std::to_string(key));
  return out;
}

// A writable open of `image`, whether it trusted the saved state, and writes
// to table w that allocate many pages, then a close. The pages `watched`
// must keep their bytes through all of it.
struct Outcome {
  std::string open_error;
  bool repaired = false;
  std::vector<std::string> changed;
};

Outcome open_and_write(const Bytes& image, const std::vector<PageNumber>& watched) {
  Outcome out;
  ImageEditor before(image);
  auto file = std::make_shared<MemoryFile>(image);
  {
    auto opened = Database::builder()
                      .set_cache_size(kCache)
                      .set_repair_callback([&](RepairSession&) { out.repaired = true; })
                      .create_with_backend(std::make_unique<MemoryBackend>(file));
    if (!opened.ok()) {
      out.open_error = opened.error().to_string();
    } else {
      Database db = std::move(opened).value();
      put_tables(db, {"w"}, 2000, 500);
      (void)db.close();
    }
  }
  ImageEditor after(file->snapshot());
  for (const PageNumber& p : watched) {
    const std::span<uint8_t> was = before.page(p);
    const std::span<uint8_t> now = after.page(p);
    if (!std::equal(was.begin(), was.end(), now.begin(), now.end())) {
      out.changed.push_back(p.debug() + " (type byte " + std::to_string(was[0]) + " -> " +
                            std::to_string(now[0]) + ")");
    }
  }
  return out;
}

TEST(PageCensusTest, WhatTheCensusCannotFollowIsNotTrusted) {
  struct Case {
    const char* name;
    // Damages the image; returns the pages in use to watch.
    std::function<std::vector<PageNumber>(ImageEditor&)> damage;
    // Damage no checksum can cover, done after resealing.
    std::function<void(ImageEditor&)> after_reseal = nullptr;
  };
  const std::vector<Case> cases = {
      {"an unknown collection tag, another subtree's root held free",
       [](ImageEditor& e) {
         const PageNumber root = subtree_roots(e)[2].root;
         outer_value(e, 0)[0] = 9;
         if (!e.free_in_saved_state(root)) panic("not allocated");
         return std::vector<PageNumber>{root};
       }},
      {"an outer entry that does not read, its subtree's root held free",
       [](ImageEditor& e) {
         const PageNumber root = subtree_roots(e)[1].root;
         const PageNumber leaf = e.table_pages(false, "m").back().page;
         // Entry 1's value ends before it starts (u32 at 4 + 4 * 1: fixed
         // keys, so only value ends are stored).
         store_le32(e.page(leaf).data() + 8, 0);
         if (!e.free_in_saved_state(root)) panic("not allocated");
         return std::vector<PageNumber>{root};
       }},
      {"a subtree named by two keys",
       [](ImageEditor& e) {
         const std::span<uint8_t> second = outer_value(e, 2);
         std::span<uint8_t> first = outer_value(e, 1);
         std::copy(second.begin(), second.end(), first.begin());
         std::vector<PageNumber> watched;
         for (const auto& p : e.pages_of(subtree_roots(e)[2].root, 8)) watched.push_back(p.page);
         return watched;
       }},
      {"a branch damaged past its checksum, a leaf below it held free",
       [](ImageEditor& e) {
         // The second branch under t00000's root.
         const std::vector<ImageEditor::TreePage> pages = e.table_pages(false, "t00000");
         size_t at = 0;
         for (size_t seen = 0; at < pages.size(); ++at) {
           if (pages[at].depth == 1 && ++seen == 2) break;
         }
         if (at + 1 >= pages.size() || pages[at].leaf || !pages[at + 1].leaf) {
           panic("t00000 has no second branch over leaves");
         }
         if (!e.free_in_saved_state(pages[at + 1].page)) panic("not allocated");
         return std::vector<PageNumber>{pages[at + 1].page};
       },
       [](ImageEditor& e) {
         const std::vector<ImageEditor::TreePage> pages = e.table_pages(false, "t00000");
         size_t seen = 0;
         for (const auto& p : pages) {
           if (p.depth == 1 && ++seen == 2) {
             e.page(p.page)[0] = 7;
             return;
           }
         }
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageEditor editor(multimap_file());
    const std::vector<PageNumber> watched = c.damage(editor);
    ASSERT_TRUE(editor.reseal());
    if (c.after_reseal) c.after_reseal(editor);
    Outcome outcome;
    try {
      outcome = open_and_write(editor.bytes(), watched);
    } catch (const Panic& p) {
      FAIL() << "panic: " << p.what();
    }
    // Not trusted: the open repaired the file, or failed doing so.
    EXPECT_TRUE(outcome.repaired) << "open: " << outcome.open_error;
    if (!outcome.open_error.empty()) {
      EXPECT_EQ(outcome.open_error.rfind("DB corrupted: ", 0), 0u) << outcome.open_error;
    }
    EXPECT_TRUE(outcome.changed.empty()) << "overwritten: " << outcome.changed.front();
  }
}

}  // namespace
}  // namespace storage
