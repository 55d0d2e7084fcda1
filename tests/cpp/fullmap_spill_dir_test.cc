#include "src/fullmap/spill_dir.h"

#include <gtest/gtest.h>
#include <sys/file.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "storage/tests/support/temp_dir.h"

namespace rs::fullmap {
namespace {

namespace fs = std::filesystem;
using storage::test::TempDir;

void touch(const std::string& path, const std::string& text = "data") {
  std::ofstream(path) << text;
}

std::string prepare_error(const std::string& dir, std::vector<std::string> inputs,
                          const std::string& output) {
  auto r = SpillDirectory::take(dir, inputs, output);
  return r.ok() ? "<prepared>" : std::string(r.error().message());
}

// The directory as a build has it once it runs: taken, then emptied.
storage::Result<SpillDirectory, PendingError> prepare(const std::string& dir,
                                                      std::vector<std::string> inputs,
                                                      const std::string& output) {
  TRY_ASSIGN(SpillDirectory spill, SpillDirectory::take(dir, inputs, output));
  TRY(spill.clear());
  return spill;
}

TEST(FullmapSpillDir, MissingDirectoryIsCreatedMarkedAndRemovedAfterSuccess) {
  TempDir tmp;
  std::string dir = tmp.file("a/b/out.qdb.spill.d");
  auto spill = prepare(dir, {}, tmp.file("a/b/out.qdb"));
  ASSERT_TRUE(spill.ok()) << spill.error().to_string();
  EXPECT_TRUE(fs::is_regular_file(dir + "/" + kSpillMarkerName));
  touch(dir + "/run_s0_00000000.bin");
  fs::create_directory(dir + "/nested");
  touch(dir + "/nested/x");
  spill->remove();
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_TRUE(fs::exists(tmp.file("a/b")));
}

TEST(FullmapSpillDir, UserFilesSurviveARefusedBuild) {
  TempDir tmp;
  touch(tmp.file("notes.txt"));
  EXPECT_EQ(prepare_error(tmp.path(), {}, "/elsewhere/out.qdb"),
            "refusing spill directory " + tmp.path() +
                ": it is not empty and holds no spill marker of a fullmap build");
  EXPECT_TRUE(fs::exists(tmp.file("notes.txt")));
  // An empty directory of the user's is fine, and is marked.
  fs::create_directory(tmp.file("empty"));
  auto spill = prepare(tmp.file("empty"), {}, "/elsewhere/out.qdb");
  ASSERT_TRUE(spill.ok());
  EXPECT_TRUE(fs::exists(tmp.file("empty/") + kSpillMarkerName));
}

TEST(FullmapSpillDir, DirectoriesHoldingInputsOrOutputsAreRefused) {
  TempDir tmp;
  fs::create_directory(tmp.file("in"));
  touch(tmp.file("in/syn.ndjson"));
  // Even a marked directory is refused when it holds an input.
  touch(tmp.file("in/") + kSpillMarkerName);
  EXPECT_EQ(prepare_error(tmp.file("in"), {tmp.file("in/syn.ndjson")}, tmp.file("out.qdb")),
            "refusing spill directory " + tmp.file("in") + ": it holds the input " +
                tmp.file("in/syn.ndjson"));
  // The working directory as the spill directory, named relatively.
  auto cwd = fs::current_path();
  fs::current_path(tmp.path());
  std::string relative = prepare_error(".", {"in/syn.ndjson"}, "/elsewhere/o.qdb");
  std::string output = prepare_error(tmp.file("x"), {}, tmp.file("x/kg.qdb"));
  std::string shard = prepare_error(tmp.file("y"), {}, tmp.file("kg.qdb/../y/kg.qdb"));
  fs::current_path(cwd);
  EXPECT_EQ(relative, "refusing spill directory .: it holds the input in/syn.ndjson");
  EXPECT_EQ(output, "refusing spill directory " + tmp.file("x") + ": it holds the output " +
                        tmp.file("x/kg.qdb"));
  EXPECT_NE(shard.find("it holds the output"), std::string::npos) << shard;
  EXPECT_TRUE(fs::exists(tmp.file("in/syn.ndjson")));
  EXPECT_FALSE(fs::exists(tmp.file("x")));
}

TEST(FullmapSpillDir, TheEmptyPathNamesNoDirectory) {
  TempDir tmp;
  touch(tmp.file("syn.ndjson"));
  auto cwd = fs::current_path();
  fs::current_path(tmp.path());
  std::vector<std::string> refusals = {
      prepare_error("", {tmp.file("syn.ndjson")}, tmp.file("out.qdb")),
      prepare_error("", {"syn.ndjson"}, "out.qdb"),
      prepare_error("", {}, "/elsewhere/out.qdb"),
  };
  fs::current_path(cwd);
  for (const std::string& refusal : refusals) {
    EXPECT_EQ(refusal, "refusing spill directory '': the empty path names no directory");
  }
  // Nothing was created or removed in the working directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);
}

TEST(FullmapSpillDir, MarkedLeftoverIsEmptiedAndAHeldMarkerRefusesASecondBuild) {
  TempDir tmp;
  std::string dir = tmp.file("spill");
  {
    auto first = prepare(dir, {}, tmp.file("out.qdb"));
    ASSERT_TRUE(first.ok());
    touch(dir + "/run_s1_00000001.bin");
    EXPECT_EQ(prepare_error(dir, {}, tmp.file("out.qdb")),
              "refusing spill directory " + dir + ": another build is using it");
    // The second prepare opened the marker anew, as another process would.
    EXPECT_TRUE(fs::exists(dir + "/run_s1_00000001.bin"));
  }  // the first build failed: its files stay, its lock is gone
  EXPECT_TRUE(fs::exists(dir + "/run_s1_00000001.bin"));
  fs::create_directory(dir + "/sub");
  touch(dir + "/sub/deep");
  auto second = prepare(dir, {}, tmp.file("out.qdb"));
  ASSERT_TRUE(second.ok()) << second.error().to_string();
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir)) left.push_back(e.path().filename());
  EXPECT_EQ(left, std::vector<std::string>{kSpillMarkerName});
}

TEST(FullmapSpillDir, SymbolicLinksAreNeverFollowed) {
  TempDir tmp;
  fs::create_directory(tmp.file("precious"));
  touch(tmp.file("precious/keep.txt"));
  touch(tmp.file("keep2.txt"));
  std::string dir = tmp.file("spill");
  {
    auto spill = prepare(dir, {}, tmp.file("out.qdb"));
    ASSERT_TRUE(spill.ok());
    fs::create_directory_symlink(tmp.file("precious"), dir + "/link_dir");
    fs::create_symlink(tmp.file("keep2.txt"), dir + "/link_file");
  }
  {
    // The next build empties the leftover: links go, their targets stay.
    auto spill = prepare(dir, {}, tmp.file("out.qdb"));
    ASSERT_TRUE(spill.ok());
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir + "/link_dir")));
    fs::create_directory_symlink(tmp.file("precious"), dir + "/again");
    spill->remove();
  }
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_TRUE(fs::exists(tmp.file("precious/keep.txt")));
  EXPECT_TRUE(fs::exists(tmp.file("keep2.txt")));

  // The spill directory itself as a link to a marked directory is refused.
  fs::create_directory(tmp.file("real"));
  touch(tmp.file("real/") + kSpillMarkerName);
  touch(tmp.file("real/x"));
  fs::create_directory_symlink(tmp.file("real"), tmp.file("alias"));
  EXPECT_EQ(prepare_error(tmp.file("alias"), {}, tmp.file("out.qdb")),
            "refusing spill directory " + tmp.file("alias") + ": it is a symbolic link");
  EXPECT_TRUE(fs::exists(tmp.file("real/x")));
  // A marker that is a link is not a marker.
  fs::create_directory(tmp.file("fake"));
  fs::create_symlink(tmp.file("keep2.txt"), tmp.file("fake/") + kSpillMarkerName);
  EXPECT_EQ(prepare_error(tmp.file("fake"), {}, tmp.file("out.qdb")),
            "refusing spill directory " + tmp.file("fake") +
                ": its spill marker is a symbolic link");
  EXPECT_TRUE(fs::exists(tmp.file("keep2.txt")));
}

// A directory taken by a build that never ran (refused after it took it)
// is left as it was found: what taking it made goes, and nothing inside a
// leftover is deleted before the build empties it.
TEST(FullmapSpillDir, TakingItDeletesNothingAndAnUnusedTakeLeavesNothing) {
  TempDir tmp;
  const std::string made = tmp.file("a/made.spill.d");
  const std::string empty = tmp.file("empty");
  const std::string leftover = tmp.file("leftover");
  fs::create_directory(empty);
  fs::create_directory(leftover);
  touch(leftover + "/" + kSpillMarkerName, "");
  touch(leftover + "/run_s1_00000001.bin");
  {
    auto a = SpillDirectory::take(made, {}, tmp.file("out.qdb"));
    auto b = SpillDirectory::take(empty, {}, tmp.file("out.qdb"));
    auto c = SpillDirectory::take(leftover, {}, tmp.file("out.qdb"));
    ASSERT_TRUE(a.ok() && b.ok() && c.ok());
    EXPECT_TRUE(fs::exists(made + "/" + kSpillMarkerName));
    EXPECT_TRUE(fs::exists(empty + "/" + kSpillMarkerName));
    EXPECT_TRUE(fs::exists(leftover + "/run_s1_00000001.bin"));
    // Taken means held: a second build is refused.
    EXPECT_EQ(prepare_error(leftover, {}, tmp.file("other.qdb")),
              "refusing spill directory " + leftover + ": another build is using it");
  }
  EXPECT_FALSE(fs::exists(made));
  EXPECT_TRUE(fs::exists(tmp.file("a")));
  EXPECT_TRUE(fs::is_empty(empty));
  EXPECT_TRUE(fs::exists(leftover + "/" + kSpillMarkerName));
  EXPECT_TRUE(fs::exists(leftover + "/run_s1_00000001.bin"));
  // Once a build used it (emptied it), a failed build keeps it, marked.
  {
    auto used = prepare(made, {}, tmp.file("out.qdb"));
    ASSERT_TRUE(used.ok());
    touch(made + "/run_s0_00000000.bin");
  }
  EXPECT_TRUE(fs::exists(made + "/run_s0_00000000.bin"));
  EXPECT_TRUE(fs::exists(made + "/" + kSpillMarkerName));
}

TEST(FullmapSpillDir, ARegularFileInPlaceIsAnIoError) {
  TempDir tmp;
  touch(tmp.file("file"));
  EXPECT_EQ(prepare_error(tmp.file("file"), {}, tmp.file("out.qdb")),
            "Not a directory (os error 20)");
  EXPECT_TRUE(fs::exists(tmp.file("file")));
}

}  // namespace
}  // namespace rs::fullmap
