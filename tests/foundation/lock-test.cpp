#include "foundation/lock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

double
threadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Plain (non-atomic) data guarded only by the lock: a lost update or, under ThreadSanitizer, a
// reported race means the lock does not exclude.
TEST(LockBase, ExcludesUnderContention) {
  fn::LockBase lock;
  volatile long counter = 0;
  std::vector<int> order;
  constexpr int kThreads = 6;
  constexpr int kIterations = 20000;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Start together so that the threads really overlap.
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kIterations; ++i) {
        fn::ScopedLock guard(lock);
        // A read-modify-write with a window in the middle; yielding there now and then hands the
        // CPU to the other threads while the lock is held, so they pile up on the slow path.
        const long seen = counter;
        if (i % 16 == 0) std::this_thread::yield();
        counter = seen + 1;
        if (i % 1000 == 0) order.push_back(t);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, long{kThreads} * kIterations);
  EXPECT_EQ(order.size(), size_t{kThreads} * (kIterations / 1000));
  // Free again: it can be taken at once.
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

TEST(LockBase, WaiterSleepsInsteadOfSpinning) {
  fn::LockBase lock;
  std::atomic<bool> waiting{false};
  double waiter_cpu = 0;
  std::chrono::steady_clock::duration waited{};
  lock.lock();
  std::thread waiter([&] {
    const double start = threadCpuSeconds();
    const auto wall_start = std::chrono::steady_clock::now();
    waiting = true;
    fn::ScopedLock guard(lock);
    waiter_cpu = threadCpuSeconds() - start;
    waited = std::chrono::steady_clock::now() - wall_start;
  });
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  lock.unlock();
  waiter.join();
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  // A spinning waiter would burn most of the 300 ms.
  EXPECT_LT(waiter_cpu, 0.05);
}

}  // namespace
