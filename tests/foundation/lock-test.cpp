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
  long counter = 0;
  std::vector<long> log;
  constexpr int kThreads = 6;
  constexpr int kIterations = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kIterations; ++i) {
        fn::ScopedLock guard(lock);
        ++counter;
        if (i % 1000 == 0) log.push_back(t);
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, long{kThreads} * kIterations);
  EXPECT_EQ(log.size(), size_t{kThreads} * (kIterations / 1000));
  // Free again: a fresh lock must be takeable at once.
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

TEST(LockBase, WaiterSleepsInsteadOfSpinning) {
  fn::LockBase lock;
  std::atomic<bool> waiting{false};
  double waiter_cpu = 0;
  lock.lock();
  std::thread waiter([&] {
    const double start = threadCpuSeconds();
    waiting = true;
    fn::ScopedLock guard(lock);
    waiter_cpu = threadCpuSeconds() - start;
  });
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  lock.unlock();
  waiter.join();
  // A spinning waiter would burn most of the 300 ms.
  EXPECT_LT(waiter_cpu, 0.05);
}

}  // namespace
