#include "storage/src/tree_store/page_store/page.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "storage/src/tree_store/page_store/cached_file.h"
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
