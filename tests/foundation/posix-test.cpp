#include "foundation/posix.h"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace {

TEST(Posix, ReturnsResultsAndLeavesErrno) {
  gchar *path = nullptr;
  GError *error = nullptr;
  const int tmp = g_file_open_tmp("fn-posix-XXXXXX", &path, &error);
  ASSERT_GE(tmp, 0);
  ASSERT_EQ(write(tmp, "0123456789", 10), 10);
  ::close(tmp);

  const int fd = fn::posix::open(path, O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  struct stat st;
  EXPECT_EQ(fn::posix::fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 10);
  EXPECT_EQ(fn::posix::lseek(fd, 4, SEEK_SET), 4);
  char buf[16] = {};
  EXPECT_EQ(fn::posix::read(fd, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "456789");
  EXPECT_EQ(fn::posix::read(fd, buf, sizeof buf), 0);
  EXPECT_EQ(fn::posix::close(fd), 0);

  errno = 0;
  EXPECT_EQ(fn::posix::read(fd, buf, 1), -1);
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_EQ(fn::posix::close(fd), -1);
  EXPECT_EQ(errno, EBADF);
  errno = 0;
  EXPECT_EQ(fn::posix::fstat(-1, &st), -1);
  EXPECT_EQ(errno, EBADF);
  unlink(path);
  errno = 0;
  EXPECT_EQ(fn::posix::open(path, O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  g_free(path);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  errno = 0;
  EXPECT_EQ(fn::posix::lseek(pipe_fds[0], 0, SEEK_SET), -1);
  EXPECT_EQ(errno, ESPIPE);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

void
onSignal(int) {}

TEST(Posix, ReadIsRepeatedAfterASignal) {
  struct sigaction action = {}, old = {};
  action.sa_handler = onSignal;  // no SA_RESTART: the blocked read fails with EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);

  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  std::atomic<bool> started{false};
  ssize_t result = 0;
  char byte = 0;
  std::thread reader([&] {
    started = true;
    result = fn::posix::read(pipe_fds[0], &byte, 1);
  });
  while (!started) std::this_thread::yield();
  // Interrupt the blocked read a few times before data arrives.
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pthread_kill(reader.native_handle(), SIGUSR1);
  }
  ASSERT_EQ(write(pipe_fds[1], "x", 1), 1);
  reader.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(byte, 'x');
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
