// The foundation's runtime pieces: counted handles, the lock, logging, the POSIX wrappers.
// Run under ThreadSanitizer as well.
#include <fcntl.h>
#include <glib.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foundation/auto-ptr.h"
#include "foundation/exception.h"
#include "foundation/lock.h"
#include "foundation/logging.h"
#include "foundation/posix.h"

// Counts how often it is formatted.
struct Expensive {
  int *formatted;
};
template <>
struct fmt::formatter<Expensive> : fmt::formatter<int> {
  auto format(const Expensive &e, auto &ctx) const {
    return fmt::formatter<int>::format(++*e.formatted, ctx);
  }
};

namespace {

bool g_revived = false;

struct Tracked : fn::RefCountedObject {
  explicit Tracked(int *destroyed) : destroyed(destroyed) {}
  // A lookup that races with the last release must not resurrect the object.
  ~Tracked() override { ++*destroyed, g_revived = fn::AutoPtr<Tracked>::borrow(this) != nullptr; }
  int *destroyed;
};
struct Derived : Tracked {
  using Tracked::Tracked;
};

int
refs(const void *mini_object) {
  return GST_MINI_OBJECT_REFCOUNT_VALUE(mini_object);
}

// Copies, borrows, moves and upcasts, also from several threads at once, keep the counts of
// counted and mini objects exact; the object goes exactly once, with the last handle.
TEST(AutoPtr, CountsStayExact_AcrossCopiesMovesAndThreads) {
  int destroyed = 0;
  fn::AutoPtr<Derived> derived = fn::makeAuto<Derived>(&destroyed);
  Tracked *raw = derived.get();
  fn::AutoPtr<Tracked> base = derived, moved = std::move(derived);
  EXPECT_FALSE(derived);
  moved = base;  // the same object: no change
  EXPECT_EQ(raw->referenceCount(), 2);
  GstBuffer *buffer = gst_buffer_new();
  fn::AutoPtr<GstBuffer> shared_buffer(buffer);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        fn::AutoPtr<Tracked> a = base, b = fn::AutoPtr<Tracked>::borrow(a.get());
        fn::AutoPtr<GstBuffer> c = shared_buffer;
        // A shared buffer is not writable: the handle must not hide shared ownership.
        if (gst_buffer_is_writable(buffer)) ADD_FAILURE() << "writable while shared";
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(raw->referenceCount(), 2);
  EXPECT_EQ(refs(buffer), 1);
  fn::AutoPtr<GstBuffer> handed_on(shared_buffer.release());
  EXPECT_FALSE(shared_buffer);
  fn::AutoPtr<GstCaps> caps(gst_caps_new_any());
  EXPECT_EQ(refs(fn::AutoPtr<GstCaps>::borrow(caps.get()).get()), 2);
  EXPECT_EQ(refs(caps.get()), 1);
  moved = nullptr;
  EXPECT_EQ(destroyed, 0);
  base.reset();
  EXPECT_EQ(destroyed, 1);
  EXPECT_FALSE(g_revived);
  EXPECT_THROW(*moved, fn::NullPointerException);
}

double
threadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Plain data guarded only by the lock: a lost update or, under ThreadSanitizer, a reported race
// means it does not exclude. A waiter for a held lock sleeps instead of burning the CPU.
TEST(LockBase, ExcludesUnderContention_AndWaitersSleep) {
  fn::LockBase lock;
  long counter = 0;
  constexpr int kThreads = 6, kIterations = 20000;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (ready++; ready < kThreads;) std::this_thread::yield();
      for (int i = 0; i < kIterations; ++i) {
        fn::ScopedLock guard(lock);
        // Yielding inside now and then makes the others pile up on the slow path.
        const long seen = counter;
        if (i % 16 == 0) std::this_thread::yield();
        counter = seen + 1;
      }
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(counter, long{kThreads} * kIterations);

  std::atomic<bool> waiting{false};
  double cpu = 0, wall = 0;
  ASSERT_TRUE(lock.try_lock());
  EXPECT_FALSE(lock.try_lock());
  std::thread waiter([&] {
    const double start = threadCpuSeconds();
    const auto wall_start = std::chrono::steady_clock::now();
    waiting = true;
    fn::ScopedLock guard(lock);
    cpu = threadCpuSeconds() - start;
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  });
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  lock.unlock();
  waiter.join();
  EXPECT_GE(wall, 0.25);
  EXPECT_LT(cpu, 0.05) << "a spinning waiter burns most of the 300 ms";
}

struct Line {
  GstDebugLevel level;
  std::string text;
  int line;
};
std::vector<Line> g_lines;

void
capture(GstDebugCategory *category, GstDebugLevel level, const gchar *, const gchar *, gint line,
        GObject *, GstDebugMessage *message, gpointer) {
  const std::string name = gst_debug_category_get_name(category);
  if (name.starts_with("fntest") || name == "fn.exception")
    g_lines.push_back({level, gst_debug_message_get(message), line});
}

// Syslog priorities map onto GStreamer levels; thresholds set by name before the category
// exists (as GST_DEBUG does) and changed at run time apply; arguments of a line below the
// threshold are never formatted; unhandled exceptions are reported at ERROR.
TEST(Logging, ThresholdsFilter_FormattingIsLazy_UnhandledExceptionsReported) {
  gst_debug_add_log_function(capture, nullptr, nullptr);
  gst_debug_set_threshold_for_name("fntest", GST_LEVEL_LOG);
  gst_debug_set_threshold_for_name("fn.exception", GST_LEVEL_ERROR);
  auto &category = fn::logging::CategoryManager::instance().getCategory("fntest");
  EXPECT_EQ(&category, &fn::logging::CategoryManager::instance().getCategory("fntest"));
  int object = 0, formatted = 0;
  for (int priority = 1; priority <= 8; ++priority)
    FN_LOG(category, priority, nullptr, "", "p{}", priority);
  const int line = __LINE__ + 1;
  FN_LOG(category, 7, &object, "tag", "read {} bytes, hash {}", 32768, Expensive{&formatted});
  gst_debug_set_threshold_for_name("fntest", GST_LEVEL_WARNING);
  FN_LOG(category, 5, nullptr, "", "{}", Expensive{&formatted});
  EXPECT_EQ(formatted, 1);
  try {
    throw fn::RangeException("lost");
  } catch (...) {
    fn::unhandledException();
  }
  try {
    throw std::runtime_error("plain");
  } catch (...) {
    fn::unhandledException();
  }
  gst_debug_remove_log_function(capture);
  gst_debug_unset_threshold_for_name("fntest");
  gst_debug_unset_threshold_for_name("fn.exception");
  std::string got;
  for (const Line &l : g_lines) {
    const std::string_view level = gst_debug_level_get_name(l.level);
    got += fmt::format("{} {}|", level.substr(0, level.find(' ')), l.text);
  }
  EXPECT_EQ(got, fmt::format("ERROR p1|ERROR p2|ERROR p3|WARN p4|INFO p5|INFO p6|DEBUG p7|"
                             "DEBUG <{}> [tag] read 32768 bytes, hash 1|"
                             "ERROR Unhandled exception: RangeException: lost|"
                             "ERROR Unhandled exception: std::runtime_error: plain|",
                             static_cast<void *>(&object)));
  ASSERT_EQ(g_lines.size(), 10u);
  EXPECT_EQ(g_lines[7].line, line);
}

int g_interrupts = 0;

// Each wrapper returns the call's result and leaves its errno; an interrupted open or read is
// repeated; descriptors are close-on-exec.
TEST(Posix, ResultsAndErrnoPassThrough_InterruptedCallsRepeat) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);  // first: it must not take the number of the closed descriptor
  gchar *path = nullptr;
  const int tmp = g_file_open_tmp("fn-posix-XXXXXX", &path, nullptr);
  ASSERT_EQ(write(tmp, "0123456789", 10), 10);
  ::close(tmp);
  // Every open and read fails with EINTR twice before it runs.
  static const fn::posix::testing::Calls interrupting = {
      [](const char *p, int o, mode_t m) {
        return ++g_interrupts % 3 ? (errno = EINTR, -1) : ::open(p, o, m);
      },
      [](int fd, void *b, size_t n) {
        return ++g_interrupts % 3 ? (errno = EINTR, -1) : ::read(fd, b, n);
      },
      [](int fd, const iovec *v, int n) {
        return ++g_interrupts % 3 ? (errno = EINTR, -1) : ::readv(fd, v, n);
      }};
  fn::posix::testing::setCalls(&interrupting);
  const int fd = fn::posix::open(path, O_RDONLY);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  struct stat st;
  char a[4] = {}, b[4] = {};
  const iovec two[] = {{a, 3}, {b, 3}};
  EXPECT_EQ(fn::posix::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 10);
  EXPECT_EQ(fn::posix::lseek(fd, 2, SEEK_SET), 2);
  EXPECT_EQ(fn::posix::read(fd, a, 2), 2);
  EXPECT_EQ(fn::posix::readv(fd, two, 2), 6);
  EXPECT_EQ(std::string(a) + b, "456789");
  EXPECT_EQ(fn::posix::read(fd, a, 1), 0);
  EXPECT_EQ(g_interrupts, 12);
  fn::posix::testing::setCalls(nullptr);
  EXPECT_EQ(fn::posix::close(fd), 0);
  unlink(path);
  // Braced initialisers run in order: each errno is read right after its call.
  const std::pair<long, int> failures[] = {{fn::posix::read(fd, a, 1), errno},
                                           {fn::posix::readv(fd, two, 2), errno},
                                           {fn::posix::close(fd), errno},
                                           {fn::posix::fstat(-1, &st), errno},
                                           {fn::posix::open(path, O_RDONLY), errno},
                                           {fn::posix::lseek(pipe_fds[0], 0, SEEK_SET), errno}};
  const int errors[] = {EBADF, EBADF, EBADF, EBADF, ENOENT, ESPIPE};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(failures[i], std::pair(-1L, errors[i])) << i;
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  g_free(path);
}

}  // namespace
