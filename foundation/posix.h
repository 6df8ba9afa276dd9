// Thin wrappers over the POSIX file calls: the call's result, errno as the call left it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

namespace fn::posix {

// open(2) in POSIX argument order; the descriptor is opened close-on-exec so that it never
// leaks into processes the host spawns.
int open(const char *path, int oflag, int mode = 0);
ssize_t read(int fd, void *buffer, size_t size);
// readv(2): one call that fills several buffers in order.
ssize_t readv(int fd, const struct iovec *iov, int count);
off_t lseek(int fd, off_t offset, int whence);
int fstat(int fd, struct stat *st);
int close(int fd);

namespace testing {

// Replacements for the system calls behind the wrappers, so that tests can count I/O or make
// it fail. A null member keeps the real call; the wrappers' own behaviour (O_CLOEXEC, EINTR
// retries) stays in place around a replacement.
struct Calls {
  int (*open)(const char *path, int oflag, mode_t mode) = nullptr;
  ssize_t (*read)(int fd, void *buffer, size_t size) = nullptr;
  ssize_t (*readv)(int fd, const struct iovec *iov, int count) = nullptr;
  off_t (*lseek)(int fd, off_t offset, int whence) = nullptr;
  int (*fstat)(int fd, struct stat *st) = nullptr;
};

// Installs `calls` for the whole process; null restores the system calls. The table must stay
// alive while installed.
void setCalls(const Calls *calls) noexcept;

}  // namespace testing
}  // namespace fn::posix
