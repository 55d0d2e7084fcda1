// The shared test backends are the ground truth of later crash and fault
// tests, so their own behaviour is pinned here.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <vector>

#include "storage/tests/support/crash_backend.h"
#include "storage/tests/support/fault_backend.h"
#include "storage/tests/support/memory_backend.h"

namespace storage::test {
namespace {

std::vector<uint8_t> filled(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

TEST(CrashBackendTest, CrashImagesKeepChosenUnsyncedOperations) {
  CrashBackend backend;
  const auto& state = backend.state();
  ASSERT_TRUE(backend.write(0, filled(1024, 1)).ok());
  ASSERT_TRUE(backend.sync_data().ok());
  ASSERT_TRUE(backend.write(0, filled(512, 2)).ok());    // op 1
  ASSERT_TRUE(backend.set_len(2048).ok());              // op 2
  ASSERT_TRUE(backend.write(1536, filled(512, 3)).ok());  // op 3
  EXPECT_EQ(state->unsynced_ops(), 3u);
  EXPECT_EQ(backend.len().value(), 2048u);
  std::vector<uint8_t> seen(4);
  ASSERT_TRUE(backend.read(1536, seen).ok());
  EXPECT_EQ(seen, filled(4, 3));

  std::vector<uint8_t> synced = filled(1024, 1);
  EXPECT_EQ(state->crash_image(CrashSpec::none()), synced);
  EXPECT_EQ(state->crash_image(CrashSpec::all()), state->current_image());

  std::vector<uint8_t> first1 = synced;
  std::fill(first1.begin(), first1.begin() + 512, 2);
  EXPECT_EQ(state->crash_image(CrashSpec::first(1)), first1);
  std::vector<uint8_t> first2 = first1;
  first2.resize(2048, 0);
  EXPECT_EQ(state->crash_image(CrashSpec::first(2)), first2);

  // Subsets: the same seed gives the same image; across seeds every
  // combination of the two writes (op 2, the resize, decides the length).
  std::set<std::vector<uint8_t>> images;
  for (uint64_t seed = 0; seed < 64; ++seed) {
    auto image = state->crash_image(CrashSpec::subset(seed));
    EXPECT_EQ(image, state->crash_image(CrashSpec::subset(seed)));
    images.insert(image);
  }
  EXPECT_GE(images.size(), 6u);

  ASSERT_TRUE(backend.sync_data().ok());
  EXPECT_EQ(state->unsynced_ops(), 0u);
  EXPECT_EQ(state->synced_image(), state->current_image());
  EXPECT_EQ(state->syncs(), 2u);
}

TEST(CrashBackendTest, TornWritesKeepWholeSectors) {
  CrashBackend backend;
  const auto& state = backend.state();
  ASSERT_TRUE(backend.write(0, filled(4096, 0)).ok());
  ASSERT_TRUE(backend.sync_data().ok());
  // Unaligned: pieces [100, 512), 6 whole sectors, [3584, 3700).
  ASSERT_TRUE(backend.write(100, filled(3600, 9)).ok());

  std::set<std::vector<bool>> patterns;
  for (uint64_t seed = 0; seed < 200; ++seed) {
    auto image = state->crash_image(CrashSpec::all(true, seed));
    ASSERT_EQ(image.size(), 4096u);
    for (size_t i = 0; i < 100; ++i) ASSERT_EQ(image[i], 0);
    for (size_t i = 3700; i < 4096; ++i) ASSERT_EQ(image[i], 0);
    std::vector<bool> kept;
    // Within each piece between sector boundaries, all or nothing.
    for (size_t start = 100; start < 3700;) {
      const size_t end = std::min<size_t>(3700, (start / 512 + 1) * 512);
      for (size_t i = start; i < end; ++i) ASSERT_EQ(image[i], image[start]) << i;
      kept.push_back(image[start] == 9);
      start = end;
    }
    patterns.insert(kept);
  }
  EXPECT_GT(patterns.size(), 20u);

  // A prefix tears only its last write.
  ASSERT_TRUE(backend.write(0, filled(100, 7)).ok());
  auto image = state->crash_image(CrashSpec::first(2, true, 5));
  for (size_t i = 100; i < 3700; ++i) ASSERT_EQ(image[i], 9);
}

TEST(FaultBackendTest, FailsTheChosenCallOnly) {
  auto file = std::make_shared<MemoryFile>(filled(100, 1));
  auto plan = std::make_shared<FaultPlan>();
  FaultInjectingBackend backend(std::make_unique<MemoryBackend>(file), plan);
  plan->fail_nth(BackendOp::kWrite, 2, ENOSPC);
  plan->fail_nth_any(4, EIO);
  std::vector<uint8_t> out(10);

  EXPECT_TRUE(backend.write(0, filled(10, 2)).ok());                // any 1
  auto second = backend.write(10, filled(10, 3));                   // any 2
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().code, ENOSPC);
  EXPECT_TRUE(backend.read(0, out).ok());                           // any 3
  auto fourth = backend.sync_data();                                // any 4
  ASSERT_FALSE(fourth.ok());
  EXPECT_EQ(fourth.error().code, EIO);
  EXPECT_TRUE(backend.close().ok());  // close is not among the counted calls
  EXPECT_TRUE(backend.len().ok());                                  // any 5

  EXPECT_EQ(plan->calls(BackendOp::kWrite), 2u);
  EXPECT_EQ(plan->data_calls(), 5u);
  EXPECT_EQ(plan->injected(), 2u);
  // The failed write never reached the file.
  EXPECT_EQ(file->snapshot()[10], 1);
  EXPECT_EQ(file->snapshot()[0], 2);
}

}  // namespace
}  // namespace storage::test
