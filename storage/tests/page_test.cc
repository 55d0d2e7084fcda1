#include "storage/src/tree_store/page_store/page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "storage/src/tree_store/page_store/cached_file.h"
#include "storage/src/tree_store/page_store/page_arena.h"
#include "storage/src/tree_store/page_store/page_buffer.h"
#include "storage/tests/support/memory_backend.h"
#include "storage/tests/support/panic_text.h"

namespace storage {
namespace {

using test::panic_text;

TEST(PageBufferTest, SharesBytesAndCountsHolders) {
  PageBuffer z = PageBuffer::zeroed(4096);
  ASSERT_EQ(z.size(), 4096u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(z.data()) % PageBuffer::kAlignment, 0u);
  for (uint8_t b : z.bytes()) ASSERT_EQ(b, 0);
  EXPECT_TRUE(z.unique());

  z.mutable_data()[7] = 42;
  PageBuffer copy = z;
  EXPECT_TRUE(copy.same_bytes(z));
  EXPECT_EQ(copy.data()[7], 42);
  EXPECT_FALSE(z.unique());
  EXPECT_EQ(z.use_count(), 2u);

  PageBuffer moved = std::move(copy);
  EXPECT_FALSE(copy);
  EXPECT_EQ(z.use_count(), 2u);
  moved = PageBuffer();
  EXPECT_TRUE(z.unique());

  // Copies dropped on other threads release their references.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([held = z] {
      for (int i = 0; i < 1000; ++i) {
        PageBuffer again = held;
        ASSERT_EQ(again.data()[7], 42);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(z.unique());

  PageBuffer empty = PageBuffer::zeroed(0);
  EXPECT_TRUE(empty);
  EXPECT_EQ(empty.size(), 0u);
}

// Arena buffers: reused blocks come back zeroed, other lengths go to the
// general allocator, and buffers outlive the arena's owner.
TEST(PageArenaTest, ReusesBlocksZeroedAndOutlivesItsOwner) {
  constexpr size_t kLen = 4096;
  PageArena::Owner owner = PageArena::create(PageBuffer::block_bytes_for(kLen));
  PageArena* arena = owner.get();
  ASSERT_NE(arena, nullptr);

  std::vector<PageBuffer> held;
  // More than one chunk's worth, so that a second chunk is mapped.
  const size_t count = 2 * PageArena::kChunkAlignment / arena->block_bytes() + 3;
  for (size_t i = 0; i < count; ++i) {
    PageBuffer b = PageBuffer::zeroed(kLen, arena);
    ASSERT_EQ(b.size(), kLen);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(b.data()) % PageBuffer::kAlignment, 0u);
    ASSERT_EQ(b.data()[0], 0);
    ASSERT_EQ(b.data()[kLen - 1], 0);
    std::memset(b.mutable_data(), 0xA5, kLen);
    held.push_back(std::move(b));
  }
  // Buffers never overlap.
  std::vector<const uint8_t*> starts;
  for (const auto& b : held) starts.push_back(b.data());
  std::sort(starts.begin(), starts.end());
  for (size_t i = 1; i < starts.size(); ++i) ASSERT_GE(starts[i] - starts[i - 1], kLen);

  // A freed block comes back, zeroed when asked for zeros.
  const uint8_t* reused = held.back().data();
  held.pop_back();
  PageBuffer again = PageBuffer::zeroed(kLen, arena);
  if (PageBuffer::kArenasInUse) {
    EXPECT_EQ(again.data(), reused);
  }
  for (uint8_t byte : again.bytes()) ASSERT_EQ(byte, 0);

  // Another length is not the arena's.
  PageBuffer other = PageBuffer::zeroed(2 * kLen, arena);
  for (uint8_t byte : other.bytes()) ASSERT_EQ(byte, 0);
  EXPECT_TRUE(std::find(starts.begin(), starts.end(), other.data()) == starts.end());

  // The owner lets go first; the buffers stay readable until freed.
  owner.reset();
  EXPECT_EQ(held.front().data()[17], 0xA5);
  held.clear();
  EXPECT_EQ(again.data()[5], 0);
}

TEST(PageArenaTest, StressBuffersFreedOnOtherThreads) {
  PageArena::Owner owner = PageArena::create(PageBuffer::block_bytes_for(4096));
  PageArena* arena = owner.get();
  constexpr int kThreads = 6;
  constexpr int kRounds = 2000;
  // Each thread allocates, stamps and hands its buffers to the next thread,
  // which checks the stamp and drops them.
  std::vector<Mutex<std::vector<PageBuffer>>> inbox(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        PageBuffer b = PageBuffer::zeroed(4096, arena);
        ASSERT_EQ(b.data()[4095], 0);
        std::memset(b.mutable_data(), t + 1, 4096);
        inbox[(t + 1) % kThreads].lock().value()->push_back(std::move(b));
        std::vector<PageBuffer> mine;
        mine.swap(*inbox[t].lock().value());
        for (const auto& m : mine) {
          ASSERT_EQ(m.data()[0], (t + kThreads - 1) % kThreads + 1);
          ASSERT_EQ(m.data()[4095], (t + kThreads - 1) % kThreads + 1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  // Buffers left in the inboxes keep the arena alive past its owner.
  owner.reset();
  for (auto& box : inbox) {
    for (const auto& m : *box.lock().value()) ASSERT_NE(m.data()[100], 0);
  }
}

TEST(PageHandleTest, ViewsOfBothHandlesAndSharedWritablePanics) {
  auto file = std::make_shared<test::MemoryFile>(std::vector<uint8_t>(8192, 0x5A));
  PagedCachedFile cache(std::make_unique<test::MemoryBackend>(file), 4096, 1 << 20);
  const PageNumber p0(0, 0, 0), p1(0, 1, 0);

  auto read = cache.read(0, 4096, PageReadHint::kCommitted);
  ASSERT_TRUE(read.ok());
  PageImpl page(read.value(), p0);
  PageImpl page_copy = page;
  const PageView& view = page_copy;
  EXPECT_EQ(view.get_page_number(), p0);
  EXPECT_EQ(view.memory().size(), 4096u);
  EXPECT_EQ(view.memory()[100], 0x5A);
  EXPECT_EQ(view.memory().data(), page.memory().data());

  {
    auto lent = cache.write(4096, 4096, false);
    ASSERT_TRUE(lent.ok());
    PageMut mut(std::move(lent).value(), p1);
    mut.memory_mut()[0] = 1;
    const PageView& mv = mut;
    EXPECT_EQ(mv.memory()[0], 1);
    EXPECT_EQ(mv.get_page_number(), p1);
  }

  // Page 0 is still held by the PageImpl copies above: lending it moves the
  // cached bytes into the write buffer, but they may not be changed in place.
  auto lent = cache.write(0, 4096, false);
  ASSERT_TRUE(lent.ok());
  PageMut shared(std::move(lent).value(), p0);
  EXPECT_EQ(panic_text([&] { shared.memory_mut(); }),
            "called `Option::unwrap()` on a `None` value");
  EXPECT_EQ(shared.memory()[0], 0x5A);
}

TEST(PageTrackerTest, RecordsUntilClosed) {
  const PageNumber a(0, 1, 0), b(0, 2, 0), c(1, 0, 3);
  auto tracker = PageTracker::create_recording();
  EXPECT_TRUE(tracker->is_empty());
  tracker->insert(a);
  tracker->insert(b);
  EXPECT_FALSE(tracker->is_empty());
  tracker->remove(b);
  auto closed = tracker->close();
  ASSERT_TRUE(closed.ok());
  EXPECT_EQ(closed.value(), PageNumberSet({a}));
  EXPECT_TRUE(tracker->is_empty());

  EXPECT_EQ(panic_text([&] { (void)tracker->close(); }), "Page tracker is closed");

  for (bool insert : {true, false}) {
    auto t = PageTracker::create_recording();
    ASSERT_TRUE(t->close().ok());
    EXPECT_EQ(panic_text([&] { insert ? t->insert(c) : t->remove(c); }),
              "Page tracker is closed");
  }
}

TEST(PageTrackerTest, DisabledAndNotRecordingTrackers) {
  const PageNumber a(0, 1, 0);
  auto system = PageTracker::create_disabled();
  system->insert(a);
  system->remove(a);  // not recorded, so nothing to find
  EXPECT_TRUE(system->is_empty());
  auto none = system->close();
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none.value().empty());
  // close enabled it, so a late insert reaches the closed state.
  EXPECT_EQ(panic_text([&] { system->insert(a); }), "Page tracker is closed");

  auto data = PageTracker::create_recording();
  data->insert(a);
  data->disable();
  EXPECT_TRUE(data->is_empty());
  data->insert(PageNumber(0, 9, 0));
  data->remove(PageNumber(0, 10, 0));
  EXPECT_TRUE(data->is_empty());
  auto after = data->close();
  ASSERT_TRUE(after.ok());
  EXPECT_TRUE(after.value().empty());
}

TEST(PageTrackerTest, BrokenCallersPanicAndPoison) {
  const PageNumber a(0, 1, 0);
  auto tracker = PageTracker::create_recording();
  EXPECT_EQ(panic_text([&] { tracker->remove(a); }), "assertion failed: x.remove(&page)");
  // That panic happened under the policy lock, which is now poisoned.
  EXPECT_EQ(panic_text([&] { tracker->insert(a); }),
            "called `Result::unwrap()` on an `Err` value");
  auto closed = tracker->close();
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().kind(), StorageError::Kind::kLockPoisoned);

  auto twice = PageTracker::create_recording();
  twice->insert(a);
  EXPECT_EQ(panic_text([&] { twice->insert(a); }), "assertion failed: x.insert(page)");
}

}  // namespace
}  // namespace storage
