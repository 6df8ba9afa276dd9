#include "foundation/lock.h"

#include <thread>

namespace fn {

void
LockBase::lockSlow() noexcept {
  // Critical sections here are short: a few polite retries usually win without a sleep.
  for (int i = 0; i < 64; ++i) {
    uint8_t expected = kFree;
    if (state_.load(std::memory_order_relaxed) == kFree &&
        state_.compare_exchange_weak(expected, kLocked, std::memory_order_acquire,
                                     std::memory_order_relaxed))
      return;
    if (i >= 16) std::this_thread::yield();
  }
  // Mark the lock contended so that its holder wakes us; whoever finds it free takes it in
  // the contended state, which costs at most one spurious wake-up.
  while (state_.exchange(kContended, std::memory_order_acquire) != kFree)
    state_.wait(kContended, std::memory_order_relaxed);
}

void
LockBase::unlockSlow() noexcept {
  state_.store(kFree, std::memory_order_release);
  state_.notify_one();
}

}  // namespace fn
