// A process-wide cache of file contents in 32 KiB blocks behind POSIX-like calls on integer
// handles. Every handle has its own position; handles opened with the same arguments on the
// same file (device and inode, with the size and modification time it has at open) share one
// descriptor and one block cache, so readers of one file in a process read each block from
// disk once while it stays cached. A file replaced while open keeps being read as it was; new
// handles see the new file. Files that are not regular or report size 0 (procfs, pipes,
// devices) are read directly to their end, uncached. All functions are safe from any thread.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "foundation/auto-ptr.h"
#include "foundation/bytes.h"
#include "foundation/ref-counted.h"

// Opens `path` (null reads as "") with fn::posix::open (path, mode, flags). Returns a new
// handle >= 1, or the negative descriptor of a failed open with errno as the open left it.
int cached_open(const char *path, int mode, int flags);
// Moves the handle's position like lseek(2) (whence 0 SET, 1 CUR, 2 END) and returns it.
// -1 with errno EBADF for an unknown handle, EINVAL for a bad whence or a negative result.
int64_t cached_seek(int handle, int64_t offset, int whence);
// fstat(2) of the shared descriptor: 0, or the negative fstat result.
int cached_fstat(int handle, struct stat *st);
// Copies up to `count` bytes from the handle's position. Returns the bytes copied (0 at end of
// file) or the negative result of a failed lseek or read. A failure after some bytes were
// copied returns those bytes; the failure shows on the next call. A file truncated or appended
// to while open ends at its new size, one rewritten in place fails with ESTALE from then on:
// at once for reads that go to the disk, within 10 ms for reads served from cached blocks.
ssize_t cached_read(int handle, void *dst, size_t count);
// Closes the handle; 0, also for an unknown handle.
int cached_close(int handle);

// A cached block, shared by the cache and every reader holding it; never changed once
// published.
class CachedBlock : public fn::RefCountedObject {
 public:
  explicit CachedBlock(fn::ByteArray bytes) : bytes(std::move(bytes)) {}
  const fn::ByteArray bytes;
};

// Lends the block that holds the handle's position instead of copying it: `offset` is where
// the position lies in it and at most `max` bytes from there are handed out (the position
// advances by `*length`). Returns null at end of file (with *length 0) or on failure (with
// *error set to the negative result), like cached_read.
fn::AutoPtr<CachedBlock> cached_read_block(int handle, size_t max, size_t *offset, size_t *length,
                                           ssize_t *error);
