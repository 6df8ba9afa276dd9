#include "foundation/posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace fn::posix {
namespace {

std::atomic<const testing::Calls *> g_calls{nullptr};

// The replacement for member `f` if a test installed one, else `real`.
template <typename F>
F
pick(F testing::Calls::*f, F real) {
  const testing::Calls *calls = g_calls.load(std::memory_order_acquire);
  return calls && calls->*f ? calls->*f : real;
}

}  // namespace

int
open(const char *path, int oflag, int mode) {
  auto call = pick<decltype(testing::Calls::open)>(
      &testing::Calls::open, [](const char *p, int o, mode_t m) { return ::open(p, o, m); });
  int fd;
  do {
    fd = call(path, oflag | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t
read(int fd, void *buffer, size_t size) {
  auto call = pick<decltype(testing::Calls::read)>(&testing::Calls::read, &::read);
  // An interrupted read that transferred nothing can simply be repeated.
  ssize_t n;
  do {
    n = call(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t
readv(int fd, const struct iovec *iov, int count) {
  auto call = pick<decltype(testing::Calls::readv)>(&testing::Calls::readv, &::readv);
  ssize_t n;
  do {
    n = call(fd, iov, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

off_t
lseek(int fd, off_t offset, int whence) {
  return pick<decltype(testing::Calls::lseek)>(&testing::Calls::lseek, &::lseek)(fd, offset,
                                                                                 whence);
}

int
fstat(int fd, struct stat *st) {
  return pick<decltype(testing::Calls::fstat)>(&testing::Calls::fstat, &::fstat)(fd, st);
}

int
close(int fd) {
  // Never retried: on Linux the descriptor is gone even when close reports EINTR, and a retry
  // could close a descriptor another thread has just been given.
  return ::close(fd);
}

namespace testing {

void
setCalls(const Calls *calls) noexcept {
  g_calls.store(calls, std::memory_order_release);
}

}  // namespace testing
}  // namespace fn::posix
