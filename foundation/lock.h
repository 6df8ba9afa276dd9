// fn::LockBase: a one-byte lock that spins briefly and then sleeps; fn::ScopedLock holds one for
// a scope.
#pragma once

#include <atomic>
#include <cstdint>

namespace fn {

class LockBase {
 public:
  LockBase() noexcept = default;
  LockBase(const LockBase &) = delete;
  LockBase &operator=(const LockBase &) = delete;

  void lock() noexcept {
    uint8_t expected = kFree;
    if (!state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                        std::memory_order_relaxed))
      lockSlow();
  }
  [[nodiscard]] bool try_lock() noexcept {
    uint8_t expected = kFree;
    return state_.compare_exchange_strong(expected, kLocked, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void unlock() noexcept {
    uint8_t expected = kLocked;
    if (!state_.compare_exchange_strong(expected, kFree, std::memory_order_release,
                                        std::memory_order_relaxed))
      unlockSlow();
  }

  // Contended paths: a short spin, then sleeping on the byte until the holder wakes us.
  void lockSlow() noexcept;
  void unlockSlow() noexcept;

 private:
  static constexpr uint8_t kFree = 0;
  static constexpr uint8_t kLocked = 1;
  // Locked, and someone may be sleeping: the unlocker must wake a waiter.
  static constexpr uint8_t kContended = 2;

  std::atomic<uint8_t> state_{kFree};
};

static_assert(sizeof(LockBase) == 1);

class ScopedLock {
 public:
  explicit ScopedLock(LockBase &lock) noexcept : lock_(lock) { lock_.lock(); }
  ~ScopedLock() { lock_.unlock(); }
  ScopedLock(const ScopedLock &) = delete;
  ScopedLock &operator=(const ScopedLock &) = delete;

 private:
  LockBase &lock_;
};

}  // namespace fn
