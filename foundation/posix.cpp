#include "foundation/posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace fn::posix {

int
open(const char *path, int oflag, int mode) {
  int fd;
  do {
    fd = ::open(path, oflag | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ssize_t
read(int fd, void *buffer, size_t size) {
  // An interrupted read that transferred nothing can simply be repeated.
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

off_t
lseek(int fd, off_t offset, int whence) {
  return ::lseek(fd, offset, whence);
}

int
fstat(int fd, struct stat *st) {
  return ::fstat(fd, st);
}

int
close(int fd) {
  // Never retried: on Linux the descriptor is gone even when close reports EINTR, and a retry
  // could close a descriptor another thread has just been given.
  return ::close(fd);
}

}  // namespace fn::posix
