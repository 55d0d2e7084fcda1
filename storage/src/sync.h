// Poison-aware locks. A lock whose holder panicked (a guard released while an
// exception unwinds) is poisoned: later lockers learn of it and report
// StorageError::LockPoisoned or panic, as each caller decides. Condvar waits
// on a Mutex's guard and reports poisoning on wake-up the same way.
//
// Thread safety: the locks and Condvar are safe to share between threads; a
// guard belongs to the thread that took it.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <utility>

#include "storage/src/error.h"
#include "storage/src/result.h"

namespace storage {

struct Poisoned {};

class Condvar;

template <typename T>
class Mutex {
 public:
  class Guard {
   public:
    Guard(Guard&& o) noexcept
        : owner_(std::exchange(o.owner_, nullptr)), lock_(std::move(o.lock_)),
          exceptions_(o.exceptions_) {}
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (owner_ != nullptr && std::uncaught_exceptions() > exceptions_) {
        owner_->poisoned_.store(true, std::memory_order_relaxed);
      }
    }
    T& operator*() { return owner_->value_; }
    T* operator->() { return &owner_->value_; }

   private:
    friend class Mutex;
    friend class Condvar;
    explicit Guard(Mutex* owner)
        : owner_(owner), lock_(owner->mu_), exceptions_(std::uncaught_exceptions()) {}
    Guard(Mutex* owner, std::try_to_lock_t)
        : owner_(owner), lock_(owner->mu_, std::try_to_lock),
          exceptions_(std::uncaught_exceptions()) {
      if (!lock_.owns_lock()) owner_ = nullptr;
    }
    Mutex* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  Mutex() = default;
  explicit Mutex(T value) : value_(std::move(value)) {}
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // Takes the lock; Poisoned (with the lock released) when a holder panicked.
  Result<Guard, Poisoned> lock() {
    Guard g(this);
    if (poisoned_.load(std::memory_order_relaxed)) return Err{Poisoned{}};
    return g;
  }
  // Takes the lock, reporting poisoning as StorageError::LockPoisoned.
  Result<Guard, StorageError> lock_storage() {
    auto r = lock();
    if (!r.ok()) return Err{StorageError::LockPoisoned()};
    return std::move(r).value();
  }
  // Takes the lock; a poisoned lock panics.
  Guard lock_or_panic() {
    auto r = lock();
    if (!r.ok()) panic("poisoned lock: another task failed inside");
    return std::move(r).value();
  }
  // Takes the lock whether or not it is poisoned.
  Guard lock_ignoring_poison() { return Guard(this); }
  // Takes the lock only if that needs no waiting and it is not poisoned.
  std::optional<Guard> try_lock() {
    Guard g(this, std::try_to_lock);
    if (g.owner_ == nullptr || poisoned_.load(std::memory_order_relaxed)) return std::nullopt;
    return std::optional<Guard>(std::move(g));
  }
  bool is_poisoned() const { return poisoned_.load(std::memory_order_relaxed); }

 private:
  std::mutex mu_;
  std::atomic<bool> poisoned_{false};
  T value_{};
};

// A condition variable for Mutex guards. Waiting releases the guard's lock and
// takes it back; a lock poisoned meanwhile is reported as Poisoned (the lock
// then released), like Mutex::lock.
class Condvar {
 public:
  Condvar() = default;
  Condvar(const Condvar&) = delete;
  Condvar& operator=(const Condvar&) = delete;

  // One wait, which may also end spuriously.
  template <typename Guard>
  Result<Guard, Poisoned> wait(Guard guard) {
    cv_.wait(guard.lock_);
    if (guard.owner_->is_poisoned()) return Err{Poisoned{}};
    return guard;
  }
  // Waits until `pred(value)` is false.
  template <typename Guard, typename Pred>
  Result<Guard, Poisoned> wait_while(Guard guard, Pred pred) {
    while (pred(*guard)) {
      cv_.wait(guard.lock_);
      if (guard.owner_->is_poisoned()) return Err{Poisoned{}};
    }
    return guard;
  }
  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

template <typename T>
class RwLock {
 public:
  class ReadGuard {
   public:
    ReadGuard(ReadGuard&&) noexcept = default;
    const T& operator*() const { return owner_->value_; }
    const T* operator->() const { return &owner_->value_; }

   private:
    friend class RwLock;
    explicit ReadGuard(RwLock* owner) : owner_(owner), lock_(owner->mu_) {}
    RwLock* owner_;
    std::shared_lock<std::shared_mutex> lock_;
  };
  class WriteGuard {
   public:
    WriteGuard(WriteGuard&& o) noexcept
        : owner_(std::exchange(o.owner_, nullptr)), lock_(std::move(o.lock_)),
          exceptions_(o.exceptions_) {}
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard() {
      if (owner_ != nullptr && std::uncaught_exceptions() > exceptions_) {
        owner_->poisoned_.store(true, std::memory_order_relaxed);
      }
    }
    T& operator*() { return owner_->value_; }
    T* operator->() { return &owner_->value_; }

   private:
    friend class RwLock;
    explicit WriteGuard(RwLock* owner)
        : owner_(owner), lock_(owner->mu_), exceptions_(std::uncaught_exceptions()) {}
    RwLock* owner_;
    std::unique_lock<std::shared_mutex> lock_;
    int exceptions_;
  };

  RwLock() = default;
  explicit RwLock(T value) : value_(std::move(value)) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  Result<ReadGuard, Poisoned> read() {
    ReadGuard g(this);
    if (poisoned_.load(std::memory_order_relaxed)) return Err{Poisoned{}};
    return g;
  }
  Result<WriteGuard, Poisoned> write() {
    WriteGuard g(this);
    if (poisoned_.load(std::memory_order_relaxed)) return Err{Poisoned{}};
    return g;
  }
  bool is_poisoned() const { return poisoned_.load(std::memory_order_relaxed); }

 private:
  std::shared_mutex mu_;
  std::atomic<bool> poisoned_{false};
  T value_{};
};

// N reader-writer locks, one per stripe, each over its own T, for data read far
// more often than written. A reader announces itself in a counter of its
// thread's reader slot, so readers on different threads write no common cache
// line (a std::shared_mutex has every reader write the one lock word, and
// threads reading the same hot stripe then take turns owning that line). A
// writer raises its stripe's flag and waits until no slot counts a reader of
// the stripe; a reader that finds the flag raised steps back and waits.
//
// Read locks of one stripe must not nest on one thread: the inner one would
// wait for a waiting writer, which waits for the outer one. Holders keep read
// locks briefly and take no other lock of the same object meanwhile.
//
// A write lock released while an exception unwinds poisons its stripe; later
// locks of that stripe, read or write, report Poisoned.
template <typename T, size_t N>
class StripedRwLock {
  struct alignas(64) Stripe {
    std::mutex writer;
    std::atomic<bool> active{false};
    std::atomic<bool> poisoned{false};
    T value{};
  };
  struct alignas(64) ReaderSlot {
    std::atomic<uint32_t> held[N] = {};
  };

 public:
  static constexpr size_t kReaderSlots = 16;

  class ReadGuard {
   public:
    ReadGuard(ReadGuard&& o) noexcept
        : held_(std::exchange(o.held_, nullptr)), value_(o.value_) {}
    ReadGuard& operator=(ReadGuard&&) = delete;
    ~ReadGuard() {
      if (held_ != nullptr) held_->fetch_sub(1, std::memory_order_release);
    }
    const T& operator*() const { return *value_; }
    const T* operator->() const { return value_; }

   private:
    friend class StripedRwLock;
    ReadGuard(std::atomic<uint32_t>* held, const T* value) : held_(held), value_(value) {}
    std::atomic<uint32_t>* held_;
    const T* value_;
  };

  class WriteGuard {
   public:
    WriteGuard(WriteGuard&& o) noexcept
        : stripe_(std::exchange(o.stripe_, nullptr)), exceptions_(o.exceptions_) {}
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard() {
      if (stripe_ == nullptr) return;
      if (std::uncaught_exceptions() > exceptions_) {
        stripe_->poisoned.store(true, std::memory_order_relaxed);
      }
      stripe_->active.store(false, std::memory_order_release);
      stripe_->writer.unlock();
    }
    T& operator*() { return stripe_->value; }
    T* operator->() { return &stripe_->value; }

   private:
    friend class StripedRwLock;
    explicit WriteGuard(Stripe* stripe)
        : stripe_(stripe), exceptions_(std::uncaught_exceptions()) {}
    Stripe* stripe_;
    int exceptions_;
  };

  StripedRwLock() = default;
  StripedRwLock(const StripedRwLock&) = delete;
  StripedRwLock& operator=(const StripedRwLock&) = delete;

  Result<ReadGuard, Poisoned> read(size_t stripe) const {
    Stripe& st = stripes_[stripe];
    std::atomic<uint32_t>& held = slots_[this_thread_slot()].held[stripe];
    while (true) {
      // Announce, then look for a writer; the writer raises its flag, then
      // looks for readers. Both sequentially consistent: at least one of the
      // two sees the other.
      held.fetch_add(1, std::memory_order_seq_cst);
      if (!st.active.load(std::memory_order_seq_cst)) break;
      held.fetch_sub(1, std::memory_order_release);
      for (int spins = 0; st.active.load(std::memory_order_acquire); ++spins) relax(spins);
    }
    ReadGuard guard(&held, &st.value);
    if (st.poisoned.load(std::memory_order_relaxed)) return Err{Poisoned{}};
    return guard;
  }

  Result<WriteGuard, Poisoned> write(size_t stripe) {
    Stripe& st = stripes_[stripe];
    st.writer.lock();
    WriteGuard guard(&st);
    st.active.store(true, std::memory_order_seq_cst);
    for (ReaderSlot& slot : slots_) {
      for (int spins = 0; slot.held[stripe].load(std::memory_order_seq_cst) != 0; ++spins) {
        relax(spins);
      }
    }
    if (st.poisoned.load(std::memory_order_relaxed)) return Err{Poisoned{}};
    return guard;
  }

  bool is_poisoned(size_t stripe) const {
    return stripes_[stripe].poisoned.load(std::memory_order_relaxed);
  }

 private:
  static size_t this_thread_slot() {
    static std::atomic<size_t> next{0};
    thread_local const size_t slot = next.fetch_add(1, std::memory_order_relaxed) % kReaderSlots;
    return slot;
  }
  static void relax(int spins) {
    if (spins < 64) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    } else {
      std::this_thread::yield();
    }
  }

  mutable std::array<Stripe, N> stripes_;
  mutable std::array<ReaderSlot, kReaderSlots> slots_;
};

}  // namespace storage
