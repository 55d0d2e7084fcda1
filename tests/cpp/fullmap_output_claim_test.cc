#include "src/fullmap/output_claim.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string take_error(const std::string& output) {
  auto claim = OutputClaim::take(output);
  return claim.ok() ? "<claimed>" : claim.error().to_string();
}

std::string refused(const std::string& lock, const std::string& cause) {
  return "RuntimeError: fullmap output lock '" + lock + "': " + cause;
}

TEST(OutputClaim, OneHolderUnderEverySpellingAndNoFileLeftBehind) {
  TempDir dir;
  fs::create_directories(dir.file("out/sub"));
  fs::create_directory_symlink(dir.file("out"), dir.file("link"));
  const std::string output = dir.file("out/db.qdb");
  const std::string lock = dir.file("out/db.qdb.lock");
  EXPECT_EQ(OutputClaim::claim_paths(output), std::vector<std::string>{lock});
  EXPECT_EQ(OutputClaim::claim_paths(output + "//"), std::vector<std::string>{lock});
  // Outputs that share the shard files share the claim file.
  EXPECT_EQ(OutputClaim::claim_paths(dir.file("out/db")), std::vector<std::string>{lock});
  EXPECT_EQ(OutputClaim::claim_paths(dir.file("out/db.s15.qdb")),
            (std::vector<std::string>{dir.file("out/db.s15.qdb.lock"), lock}));
  for (const char* not_a_shard : {"out/db.s16.qdb", "out/db.s03.qdb", "out/.s3.qdb",
                                  "out/db.sx.qdb", "out/db.s.qdb"}) {
    EXPECT_EQ(OutputClaim::claim_paths(dir.file(not_a_shard)).size(), 1u) << not_a_shard;
  }
  EXPECT_EQ(OutputClaim::claim_paths("db"), std::vector<std::string>{"db.qdb.lock"});
  {
    auto held = OutputClaim::take(output);
    ASSERT_TRUE(held.ok()) << held.error().to_string();
    EXPECT_TRUE(fs::is_regular_file(lock));
    EXPECT_EQ(read_file(lock), kClaimText);
    EXPECT_TRUE(OutputClaim::is_claim_file(lock));
    for (const std::string& spelling :
         {output, dir.file("out/./db.qdb"), dir.file("out/sub/../db.qdb"),
          dir.file("link/db.qdb"), dir.file("out//db.qdb/"), dir.file("out/db"),
          dir.file("link/db"), dir.file("out/db.s3.qdb")}) {
      EXPECT_EQ(take_error(spelling), busy(spelling));
    }
    // Other outputs beside it are free.
    EXPECT_EQ(take_error(dir.file("out/db.qdb2")), "<claimed>");
    EXPECT_EQ(take_error(dir.file("out/db.db")), "<claimed>");
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
  // A claim file that a killed holder left behind holds no lock: taken over.
  test::write_file(lock, std::string(kClaimText));
  {
    auto claim = OutputClaim::take(output);
    ASSERT_TRUE(claim.ok()) << claim.error().to_string();
  }
  EXPECT_FALSE(fs::exists(lock));
  // A file put in place of a held claim file by hand is not removed.
  {
    auto claim = OutputClaim::take(output);
    ASSERT_TRUE(claim.ok());
    fs::remove(lock);
    test::write_file(lock, "by hand");
  }
  EXPECT_EQ(read_file(lock), "by hand");
  // Anything but a build's claim file is refused and left as it was: files
  // of other text (also the claim text cut short or run on), directories,
  // links, FIFOs.
  const std::string text(kClaimText);
  const std::string link_cause =
      "it is a symbolic link, not a fullmap build's claim file; left as it is";
  for (const std::string& other :
       {std::string(), text.substr(0, text.size() - 1), text + "x", std::string("by hand")}) {
    test::write_file(lock, other);
    EXPECT_EQ(take_error(output),
              refused(lock, "it is not a fullmap build's claim file; left as it is"));
    EXPECT_EQ(read_file(lock), other);
    EXPECT_FALSE(OutputClaim::is_claim_file(lock));
  }
  fs::remove(lock);
  fs::create_directory(lock);
  EXPECT_EQ(take_error(output), refused(lock, "Is a directory (os error 21)"));
  EXPECT_TRUE(fs::is_directory(lock));
  fs::remove(lock);
  fs::create_symlink(dir.file("elsewhere"), lock);
  EXPECT_EQ(take_error(output), refused(lock, link_cause));
  EXPECT_FALSE(fs::exists(dir.file("elsewhere")));
  EXPECT_TRUE(fs::is_symlink(lock));
  // A link to a claim file is not one.
  test::write_file(dir.file("elsewhere"), text);
  EXPECT_EQ(take_error(output), refused(lock, link_cause));
  EXPECT_FALSE(OutputClaim::is_claim_file(lock));
  fs::remove(lock);
  ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0);
  EXPECT_EQ(take_error(output),
            refused(lock, "it is a FIFO, not a fullmap build's claim file; left as it is"));
  EXPECT_FALSE(OutputClaim::is_claim_file(lock));
  EXPECT_EQ(take_error(dir.file("missing/db.qdb")),
            refused(dir.file("missing/db.qdb.lock"), "No such file or directory (os error 2)"));
}

// Both ways of making a claim file: it is at its name whole and locked,
// nothing else is left in the directory, and a file already there is
// neither replaced nor touched.
TEST(OutputClaim, ClaimFilesAppearWholeAndLocked) {
  for (auto way : {internal::ClaimFileWay::kAny, internal::ClaimFileWay::kNamedOnly}) {
    TempDir dir;
    Fd d(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(d.valid());
    const std::string path = dir.file("db.qdb.lock");
    {
      auto made = internal::create_claim_file(d.get(), "db.qdb.lock", way);
      ASSERT_TRUE(made.ok()) << made.error();
      EXPECT_EQ(read_file(path), kClaimText);
      Fd other(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      EXPECT_NE(::flock(other.get(), LOCK_EX | LOCK_NB), 0);
      EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
      auto again = internal::create_claim_file(d.get(), "db.qdb.lock", way);
      ASSERT_FALSE(again.ok());
      EXPECT_EQ(again.error(), EEXIST);
    }
    fs::remove(path);
    test::write_file(path, "mine");
    auto refused_here = internal::create_claim_file(d.get(), "db.qdb.lock", way);
    ASSERT_FALSE(refused_here.ok());
    EXPECT_EQ(refused_here.error(), EEXIST);
    EXPECT_EQ(read_file(path), "mine");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  }
}

// A second claim file (of an output that is another's shard) that cannot be
// had releases the first.
TEST(OutputClaim, BothClaimFilesOrNone) {
  TempDir dir;
  const std::string output = dir.file("db.s3.qdb");
  auto held = OutputClaim::take(dir.file("db.qdb"));
  ASSERT_TRUE(held.ok());
  EXPECT_EQ(take_error(output), busy(output));
  EXPECT_FALSE(fs::exists(output + ".lock"));
  {
    OutputClaim gone = std::move(held).value();
  }
  {
    auto claim = OutputClaim::take(output);
    ASSERT_TRUE(claim.ok()) << claim.error().to_string();
    EXPECT_TRUE(fs::exists(output + ".lock"));
    EXPECT_TRUE(fs::exists(dir.file("db.qdb.lock")));
    EXPECT_EQ(take_error(dir.file("db")), busy(dir.file("db")));
    // Another shard's output shares only the shared family's claim.
    EXPECT_EQ(take_error(dir.file("db.s4.qdb")), busy(dir.file("db.s4.qdb")));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 0);
}

// Threads taking and dropping the claims of one output as fast as they can,
// under several spellings and as the outputs that share its shards: never
// two holders at once, even as each holder removes the claim file that the
// next ones open.
TEST(OutputClaimConcurrent, NeverTwoHolders) {
  TempDir dir;
  fs::create_directories(dir.file("out/sub"));
  const std::vector<std::string> spellings = {dir.file("out/db.qdb"),
                                              dir.file("out/sub/../db.qdb"), dir.file("out/db"),
                                              dir.file("out/db.s7.qdb")};
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
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("out")), fs::directory_iterator()), 1)
      << "only sub/ is left";
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
    auto r = prepare_output(output, {}, default_spill_dir(output));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), busy(output));
    for (const std::string& p : old) EXPECT_TRUE(fs::exists(p)) << p;
  }
  {
    auto r = prepare_output(output, {}, default_spill_dir(output));
    ASSERT_TRUE(r.ok()) << r.error().to_string();
    for (const std::string& p : old) EXPECT_FALSE(fs::exists(p)) << p;
    EXPECT_EQ(take_error(output), busy(output));
  }
  EXPECT_EQ(take_error(output), "<claimed>");
  // An input at the claim path, and another build's claim file at one of the
  // output's paths, are left alone, and so is every old file.
  test::write_file(output + ".lock", "{}\n");
  {
    const std::vector<std::string> inputs{dir.file("out/./db.qdb.lock")};
    auto r = prepare_output(dir.file("out/db"), inputs, default_spill_dir(dir.file("out/db")));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), "RuntimeError: fullmap output lock '" +
                                         dir.file("out/db.qdb.lock") +
                                         "': it is the input file " + inputs[0]);
    EXPECT_EQ(read_file(output + ".lock"), "{}\n");
  }
  fs::remove(output + ".lock");
  for (const std::string& p : old) test::write_file(p, "old");
  test::write_file(old[5], std::string(kClaimText));
  {
    auto r = prepare_output(output, {}, default_spill_dir(output));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), "RuntimeError: refusing to build over " + old[5] +
                                         ": it is the claim file of a fullmap build");
    for (const std::string& p : old) EXPECT_TRUE(fs::exists(p)) << p;
  }
  // A parent directory that is missing is made before the claim.
  const std::string fresh = dir.file("new/dir/db.qdb");
  EXPECT_TRUE(prepare_output(fresh, {}, default_spill_dir(fresh)).ok());
  EXPECT_TRUE(fs::is_directory(dir.file("new/dir")));
}

}  // namespace
}  // namespace rs::fullmap
