// Crashes during commits: the images a power cut could leave at every sync
// (every prefix of the unsynced writes, whole or torn at 512-byte sectors, and
// seeded subsets), and a child process killed while it commits.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/src/tree_store/page_store/file_backend.h"
#include "storage/src/tree_store/page_store/page_manager.h"
#include "storage/tests/support/crash_backend.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/page_store_helpers.h"
#include "storage/tests/support/random_seed.h"
#include "storage/tests/support/temp_dir.h"

namespace storage {
namespace {

using test::CrashSpec;
using test::open_store;
using test::Store;
using test::StoreOptions;

constexpr size_t kPage = 4096;
constexpr uint32_t kRegionPages = 64;

StoreOptions small_regions() {
  StoreOptions o;
  o.region_size = uint64_t{kRegionPages} * kPage;
  return o;
}

struct Roots {
  std::optional<BtreeHeader> data;
  std::optional<BtreeHeader> system;
  bool operator==(const Roots&) const = default;
};

struct CrashImage {
  std::string label;
  std::vector<uint8_t> bytes;
  // The last acknowledged commit and the one in progress when it was taken.
  uint64_t min_id;
  uint64_t max_id;
  // Which sync of the commit in progress it was taken before (1-based; 0 = other).
  int commit_sync;
};

struct Outcome {
  uint64_t id = 0;
  bool fell_back = false;
};

// What the database layer does with a store after a crash: check the newest
// roots, and fall back to the other slot when they do not verify and the last
// commit was one-phase. `check` answers the consistent commit id, if any.
Result<Outcome, std::string> recover(TransactionalMemory& mem,
                                     const std::function<std::optional<uint64_t>()>& check) {
  Outcome out;
  if (auto id = check()) {
    out.id = *id;
    return out;
  }
  if (mem.used_two_phase_commit()) return Err{std::string("newest two-phase commit is damaged")};
  mem.repair_primary_corrupted();
  mem.invalidate_cache_all();
  out.fell_back = true;
  if (auto id = check()) {
    out.id = *id;
    return out;
  }
  return Err{std::string("both commits are damaged")};
}

// Opens a crash image writable (the header is repaired) and recovers it: the
// roots must be exactly those of one commit, and their pages must verify.
Result<Outcome, std::string> recover(const std::vector<uint8_t>& image,
                                     const std::map<uint64_t, Roots>& commits) {
  auto opened = open_store(
      std::make_unique<test::MemoryBackend>(std::make_shared<test::MemoryFile>(image)),
      small_regions());
  if (!opened.ok()) return Err{"open failed: " + opened.error().to_string()};
  Store mem = std::move(opened).value();
  return recover(*mem, [&]() -> std::optional<uint64_t> {
    const uint64_t id = mem->get_last_committed_transaction_id().value().id;
    const Roots roots{mem->get_data_root(), mem->get_system_root()};
    auto it = commits.find(id);
    if (it == commits.end() || !(it->second == roots)) return std::nullopt;  // a mix
    for (const auto& root : {roots.data, roots.system}) {
      if (root && !test::root_verifies(*mem, *root)) return std::nullopt;
    }
    return id;
  });
}

// Two commits, A then B, each with a data and a system root; B also allocates
// enough to grow the file. Every sync from the start of A's transaction to the
// end of B's commit leaves its crash images behind.
class CrashDuringCommit : public ::testing::TestWithParam<std::tuple<bool, bool>> {
 protected:
  void run() {
    const auto [a_two_phase, b_two_phase] = GetParam();
    const uint64_t seed = storage_test_support::random_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::optional<RegionLayout> trailing = RegionLayout(8, 0, kPage);
    auto state = std::make_shared<test::CrashState>(test::file_with_layout(
        DatabaseLayout(0, RegionLayout(kRegionPages, 0, kPage), trailing)));
    auto observer = std::make_shared<test::Observer>();
    auto opened = open_store(
        std::make_unique<test::ObservedBackend>(std::make_unique<test::CrashBackend>(state),
                                                observer),
        small_regions());
    ASSERT_TRUE(opened.ok()) << opened.error().to_string();
    Store mem = std::move(opened).value();
    ASSERT_TRUE(mem->begin_writable().ok());
    ASSERT_TRUE(mem->reset_allocator_state().ok());

    std::vector<CrashImage> images;
    uint64_t acknowledged = 0;
    uint64_t in_progress = 0;
    // Syncs of the file commit in progress so far; -1 while allocating.
    int commit_sync = -1;
    observer->before_sync = [&] {
      const size_t ops = state->unsynced_ops();
      const int sync = commit_sync < 0 ? 0 : commit_sync + 1;
      const std::string at = "transaction " + std::to_string(in_progress) + " sync " +
                             (sync == 0 ? std::string("(growth)") : std::to_string(sync)) + ": ";
      auto add = [&](const CrashSpec& spec) {
        images.push_back(CrashImage{at + spec.debug(), state->crash_image(spec), acknowledged,
                                    in_progress, sync});
      };
      for (size_t n = 0; n <= ops; ++n) {
        add(CrashSpec::first(n));
        if (n > 0) add(CrashSpec::first(n, true, seed + n));
      }
      for (uint64_t s = 0; s < 16; ++s) {
        add(CrashSpec::subset(seed + s));
        add(CrashSpec::subset(seed + s, true));
      }
      if (commit_sync >= 0) ++commit_sync;
    };

    std::map<uint64_t, Roots> commits = {{0, Roots{}}};
    PageAllocator allocator(mem, AllocationPolicy::kAny);
    auto tracker = PageTracker::create_disabled();
    auto new_root = [&](uint64_t tag, size_t size) {
      auto page = allocator.allocate(size, tracker);
      if (!page.ok()) panic(page.error().to_string());
      test::fill_page(page.value(), tag);
      return test::root_of(page.value(), tag);
    };
    auto commit = [&](uint64_t id, bool two_phase, size_t extra_pages) {
      in_progress = id;
      for (size_t i = 0; i < extra_pages; ++i) (void)new_root(1000 * id + i, kPage << (i % 2));
      const Roots roots{new_root(id, kPage), new_root(100 + id, 2 * kPage)};
      commits[id] = roots;
      commit_sync = 0;
      ASSERT_TRUE(
          mem->commit(roots.data, roots.system, TransactionId(id), two_phase, TrimPolicy::kNever)
              .ok());
      commit_sync = -1;
      (void)allocator.take_allocated_since_commit();
      acknowledged = id;
    };
    commit(1, a_two_phase, 0);
    images.push_back(CrashImage{"after commit 1", state->current_image(), 1, 1, 0});
    const uint64_t len_before = state->current_image().size();
    commit(2, b_two_phase, 8);
    ASSERT_GT(state->current_image().size(), len_before);  // B grew the file
    images.push_back(CrashImage{"after commit 2", state->current_image(), 2, 2, 0});

    std::map<uint64_t, int> seen;
    int between_phases = 0;
    for (const CrashImage& image : images) {
      SCOPED_TRACE(image.label);
      auto outcome = recover(image.bytes, commits);
      ASSERT_TRUE(outcome.ok()) << outcome.error();
      const Outcome o = outcome.value();
      EXPECT_GE(o.id, image.min_id);
      EXPECT_LE(o.id, image.max_id);
      ++seen[o.id];
      if (a_two_phase && b_two_phase) {
        EXPECT_FALSE(o.fell_back);  // the primary always names a synced commit
      }
      // Crashed between the two phases of B, with the first phase's header on
      // disk: the previous commit's bit decides.
      if (b_two_phase && image.max_id == 2 && image.commit_sync == 2 &&
          image.label.find("first 0 ") != std::string::npos) {
        EXPECT_EQ(o.id, a_two_phase ? 1u : 2u);
        ++between_phases;
      }
    }
    EXPECT_GT(seen[1], 0);
    EXPECT_GT(seen[2], 0);
    EXPECT_EQ(between_phases, b_two_phase ? 1 : 0);
    EXPECT_GT(images.size(), 100u);
  }
};

TEST_P(CrashDuringCommit, ReopenFindsOneWholeCommit) { run(); }

INSTANTIATE_TEST_SUITE_P(Phases, CrashDuringCommit,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "TwoPhase" : "OnePhase") +
                                  "Then" + (std::get<1>(info.param) ? "TwoPhase" : "OnePhase");
                         });

// A child commits in a loop and reports each acknowledged commit through a
// pipe; it is killed at a random moment. The parent reopens the file and
// finds a whole commit no older than the last acknowledged one.
TEST(PageStoreKilled, ReopenFindsTheLastAcknowledgedCommitOrANewerOne) {
  const uint64_t seed = storage_test_support::random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  test::TempDir dir;
  const std::string path = dir.file("killed.db");
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    auto backend = FileBackend::open_writable(path);
    if (!backend.ok()) ::_exit(2);
    auto opened = TransactionalMemory::open(std::move(backend).value(), true, kPage,
                                            std::nullopt, size_t{4} << 20, false);
    if (!opened.ok()) ::_exit(3);
    Store mem = std::move(opened).value();
    if (!mem->begin_writable().ok() || !mem->reset_allocator_state().ok()) ::_exit(4);
    PageAllocator allocator(mem, AllocationPolicy::kAny);
    auto tracker = PageTracker::create_disabled();
    std::optional<PageNumber> previous;
    for (uint64_t id = 1;; ++id) {
      BtreeHeader root;
      {
        auto page = allocator.allocate(kPage << (id % 3), tracker);
        if (!page.ok()) ::_exit(5);
        test::fill_page(page.value(), id);
        root = test::root_of(page.value(), id);
      }
      if (!mem->commit(root, std::nullopt, TransactionId(id), id % 4 != 0, TrimPolicy::kNever)
               .ok()) {
        ::_exit(6);
      }
      (void)allocator.take_allocated_since_commit();
      // No reader can see the previous root any more.
      if (previous) allocator.free(*previous, tracker);
      previous = root.root;
      if (::write(fds[1], &id, sizeof id) != sizeof id) ::_exit(7);
    }
  }
  ::close(fds[1]);
  uint64_t last = 0;
  uint64_t id = 0;
  const uint64_t kill_after = 20 + rng() % 30;
  while (last < kill_after && ::read(fds[0], &id, sizeof id) == sizeof id) last = id;
  std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
  while (::read(fds[0], &id, sizeof id) == sizeof id) last = id;
  ::close(fds[0]);
  ASSERT_GE(last, kill_after);

  auto backend = FileBackend::open_writable(path);
  ASSERT_TRUE(backend.ok());
  auto opened = TransactionalMemory::open(std::move(backend).value(), true, kPage, std::nullopt,
                                          size_t{4} << 20, false);
  ASSERT_TRUE(opened.ok()) << opened.error().to_string();
  Store mem = std::move(opened).value();
  auto outcome = recover(*mem, [&]() -> std::optional<uint64_t> {
    const uint64_t id = mem->get_last_committed_transaction_id().value().id;
    const auto root = mem->get_data_root();
    if (!root || root->length != id || !test::root_verifies(*mem, *root)) return std::nullopt;
    auto page = mem->get_page(root->root, PageReadHint::kCommitted);
    if (!page.ok() || !test::page_holds(page.value().memory(), id)) return std::nullopt;
    return id;
  });
  ASSERT_TRUE(outcome.ok()) << outcome.error();
  EXPECT_GE(outcome.value().id, last);
  EXPECT_LE(outcome.value().id, last + 1);
}

}  // namespace
}  // namespace storage
