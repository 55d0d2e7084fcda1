#include "src/fullmap/output_claim.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "src/fullmap/build.h"
#include "src/fullmap/layout.h"
#include "storage/tests/support/database_workload.h"
#include "storage/tests/support/temp_dir.h"
#include "tests/cpp/test_files.h"

namespace rs::fullmap {
namespace {

namespace fs = std::filesystem;
using storage::test::TempDir;

std::string busy(const std::string& output) {
  return "RuntimeError: fullmap output '" + output + "' is being built by another build";
}

std::string take_error(const std::string& output) {
  auto claim = OutputClaim::take(output);
  return claim.ok() ? "<claimed>" : claim.error().to_string();
}

TEST(OutputClaim, OneHolderUnderEverySpellingAndNoFileLeftBehind) {
  TempDir dir;
  fs::create_directories(dir.file("out/sub"));
  fs::create_directory_symlink(dir.file("out"), dir.file("link"));
  const std::string output = dir.file("out/db.qdb");
  const std::string lock = dir.file("out/db.qdb.lock");
  EXPECT_EQ(OutputClaim::lock_path(output), lock);
  EXPECT_EQ(OutputClaim::lock_path(output + "//"), lock);
  {
    auto held = OutputClaim::take(output);
    ASSERT_TRUE(held.ok()) << held.error().to_string();
    EXPECT_TRUE(fs::is_regular_file(lock));
    for (const std::string& spelling :
         {output, dir.file("out/./db.qdb"), dir.file("out/sub/../db.qdb"),
          dir.file("link/db.qdb"), dir.file("out//db.qdb/")}) {
      EXPECT_EQ(take_error(spelling), busy(spelling));
    }
    // Other outputs beside it are free.
    EXPECT_EQ(take_error(dir.file("out/db.qdb2")), "<claimed>");
    EXPECT_EQ(take_error(dir.file("out/db")), "<claimed>");
    // Moving the claim moves the lock; the moved-from claim lets go of nothing.
    OutputClaim moved = std::move(held).value();
    EXPECT_EQ(take_error(output), busy(output));
  }
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_EQ(take_error(output), "<claimed>");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("out")), fs::directory_iterator()), 1)
      << "only sub/ is left";
}

TEST(OutputClaim, LeftoversAndFilesPutInItsPlace) {
  TempDir dir;
  const std::string output = dir.file("db.qdb");
  const std::string lock = output + ".lock";
  // A lock file that a killed holder left behind holds no lock.
  test::write_file(lock, "");
  {
    auto claim = OutputClaim::take(output);
    ASSERT_TRUE(claim.ok());
  }
  EXPECT_FALSE(fs::exists(lock));
  // A file put in place of a held lock file by hand is not removed, and
  // lets another claim in (which the holder cannot know).
  {
    auto claim = OutputClaim::take(output);
    ASSERT_TRUE(claim.ok());
    fs::remove(lock);
    test::write_file(lock, "by hand");
  }
  EXPECT_TRUE(fs::exists(lock));
  // What cannot be opened as a lock file fails with its I/O error.
  fs::remove(lock);
  fs::create_directory(lock);
  EXPECT_EQ(take_error(output), "RuntimeError: Is a directory (os error 21)");
  fs::remove(lock);
  fs::create_symlink(dir.file("elsewhere"), lock);
  EXPECT_EQ(take_error(output), "RuntimeError: Too many levels of symbolic links (os error 40)");
  EXPECT_FALSE(fs::exists(dir.file("elsewhere")));
  EXPECT_EQ(take_error(dir.file("missing/db.qdb")),
            "RuntimeError: No such file or directory (os error 2)");
}

// Threads taking and dropping the claims of one output as fast as they can,
// under several spellings: never two holders at once, even as each holder
// removes the lock file that the next ones open.
TEST(OutputClaimConcurrent, NeverTwoHolders) {
  TempDir dir;
  fs::create_directories(dir.file("out/sub"));
  const std::vector<std::string> spellings = {dir.file("out/db.qdb"),
                                              dir.file("out/sub/../db.qdb")};
  const size_t rounds = storage::test::reliability_rounds(2000, 300);
  std::atomic<int> holders{0};
  std::atomic<int> most{0};
  std::atomic<size_t> taken{0};
  std::atomic<size_t> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (size_t i = 0; i < rounds; ++i) {
        const std::string& output = spellings[(i + t) % spellings.size()];
        auto claim = OutputClaim::take(output);
        if (!claim.ok()) {
          if (claim.error().to_string() != busy(output)) ++failures;
          continue;
        }
        const int now = ++holders;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::yield();
        --holders;
        ++taken;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(most.load(), 1);
  EXPECT_EQ(failures.load(), 0u);
  EXPECT_GT(taken.load(), 0u);
  EXPECT_FALSE(fs::exists(dir.file("out/db.qdb.lock")));
}

// prepare_output claims before it touches anything: while the output is
// claimed it fails with the claim error and every old file stays, and the
// claim it takes is held until its result goes.
TEST(PrepareOutput, ClaimsTheOutputBeforeItTouchesAnything) {
  TempDir dir;
  const std::string output = dir.file("out/db.qdb");
  std::vector<std::string> old{output};
  for (uint32_t i = 0; i < kShardCount; ++i) old.push_back(shard_path(output, i));
  fs::create_directories(dir.file("out"));
  for (const std::string& p : old) test::write_file(p, "old");
  {
    auto held = OutputClaim::take(dir.file("out/./db.qdb"));
    ASSERT_TRUE(held.ok());
    auto r = prepare_output(output, {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), busy(output));
    for (const std::string& p : old) EXPECT_TRUE(fs::exists(p)) << p;
  }
  {
    auto r = prepare_output(output, {});
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    for (const std::string& p : old) EXPECT_FALSE(fs::exists(p)) << p;
    EXPECT_EQ(take_error(output), busy(output));
  }
  EXPECT_EQ(take_error(output), "<claimed>");
  // A parent directory that is missing is made before the claim.
  EXPECT_TRUE(prepare_output(dir.file("new/dir/db.qdb"), {}).ok());
  EXPECT_TRUE(fs::is_directory(dir.file("new/dir")));
}

}  // namespace
}  // namespace rs::fullmap
