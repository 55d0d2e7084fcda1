#include "storage/src/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace storage {
namespace {

TEST(SyncTest, MutexSerialisesAndPoisonsOnPanic) {
  Mutex<int> m(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) ++*m.lock_or_panic();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(*m.lock_or_panic(), 4000);
  EXPECT_FALSE(m.is_poisoned());

  try {
    auto g = m.lock_or_panic();
    panic("holder failed");
  } catch (const Panic&) {
  }
  EXPECT_TRUE(m.is_poisoned());
  EXPECT_FALSE(m.lock().ok());
  auto r = m.lock_storage();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), StorageError::Kind::kLockPoisoned);
  EXPECT_THROW(m.lock_or_panic(), Panic);
  EXPECT_EQ(*m.lock_ignoring_poison(), 4000);
}

TEST(SyncTest, RwLockPoisonsOnlyThroughWriters) {
  RwLock<int> l(1);
  {
    auto r1 = l.read();
    auto r2 = l.read();
    ASSERT_TRUE(r1.ok() && r2.ok());
    EXPECT_EQ(**r1 + **r2, 2);
  }
  try {
    auto r = l.read();
    throw std::runtime_error("reader failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(l.is_poisoned());
  try {
    auto w = l.write();
    **w = 5;
    throw std::runtime_error("writer failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(l.is_poisoned());
  EXPECT_FALSE(l.write().ok());
}

TEST(SyncTest, TryLockNeitherWaitsNorTakesAPoisonedLock) {
  Mutex<int> m(3);
  {
    auto held = m.lock_or_panic();
    std::thread other([&] { EXPECT_FALSE(m.try_lock().has_value()); });
    other.join();
  }
  auto got = m.try_lock();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(**got, 3);
  got.reset();
  try {
    auto g = m.lock_or_panic();
    panic("holder failed");
  } catch (const Panic&) {
  }
  EXPECT_FALSE(m.try_lock().has_value());
}

// More reader threads than reader slots, so that slots are shared, and two
// writers; a reader must never see half of a write.
TEST(SyncTest, StripedRwLockConcurrentReadersSeeWholeWrites) {
  using Lock = StripedRwLock<std::pair<uint64_t, uint64_t>, 3>;
  Lock lock;
  constexpr int kOps = 2000;
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kOps; ++i) {
        auto g = lock.write(static_cast<size_t>(i + w) % 3);
        ASSERT_TRUE(g.ok());
        auto& value = **g;
        ++value.first;
        ++value.second;
      }
    });
  }
  for (size_t r = 0; r < Lock::kReaderSlots + 2; ++r) {
    threads.emplace_back([&, r] {
      for (int i = 0; i < kOps; ++i) {
        auto g = lock.read((r + static_cast<size_t>(i)) % 3);
        ASSERT_TRUE(g.ok());
        if ((**g).first != (**g).second) torn.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  uint64_t total = 0;
  for (size_t s = 0; s < 3; ++s) total += (**lock.read(s)).first;
  EXPECT_EQ(total, 2u * kOps);
}

TEST(SyncTest, StripedRwLockPoisonsOneStripeThroughItsWriters) {
  StripedRwLock<int, 2> lock;
  try {
    auto r = lock.read(0);
    throw std::runtime_error("reader failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(lock.is_poisoned(0));
  try {
    auto w = lock.write(0);
    **w = 5;
    throw std::runtime_error("writer failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(lock.is_poisoned(0));
  EXPECT_FALSE(lock.read(0).ok());
  EXPECT_FALSE(lock.write(0).ok());
  // The other stripe is untouched, and the failed locks left nothing held.
  ASSERT_TRUE(lock.write(1).ok());
  ASSERT_TRUE(lock.read(1).ok());
  EXPECT_FALSE(lock.is_poisoned(1));
}

// A waiter sees the value its notifier set, and a notifier that panics while
// holding the lock wakes the waiter to a poisoned lock instead of a hang.
TEST(SyncConcurrentTest, CondvarWaitsAndReportsPoisonOnWakeUp) {
  Mutex<int> m(0);
  Condvar cv;
  int seen = -1;
  std::thread waiter([&] {
    auto g = cv.wait_while(m.lock_or_panic(), [](int v) { return v == 0; });
    if (g.ok()) seen = **g;
  });
  {
    auto g = m.lock_or_panic();
    *g = 7;
    cv.notify_all();
  }
  waiter.join();
  EXPECT_EQ(seen, 7);

  Mutex<int> p(0);
  Condvar pcv;
  bool saw_poison = false;
  std::thread poisoned_waiter([&] {
    auto g = p.lock();
    if (!g.ok()) {
      saw_poison = true;  // the notifier was quicker
      return;
    }
    saw_poison = !pcv.wait_while(std::move(g).value(), [](int v) { return v == 0; }).ok();
  });
  try {
    auto g = p.lock_or_panic();
    pcv.notify_all();
    panic("notifier failed");
  } catch (const Panic&) {
  }
  poisoned_waiter.join();
  EXPECT_TRUE(saw_poison);
}

}  // namespace
}  // namespace storage
