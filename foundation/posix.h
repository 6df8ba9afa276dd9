// Thin wrappers over the POSIX file calls: the call's result, errno as the call left it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace fn::posix {

// open(2) in POSIX argument order; the descriptor is opened close-on-exec so that it never
// leaks into processes the host spawns.
int open(const char *path, int oflag, int mode = 0);
ssize_t read(int fd, void *buffer, size_t size);
off_t lseek(int fd, off_t offset, int whence);
int fstat(int fd, struct stat *st);
int close(int fd);

}  // namespace fn::posix
