// The process-wide file read cache: 32 KiB blocks per file (device and inode, as it stands at
// open), shared by every handle opened on it with the same arguments, with an LRU limit of 256
// blocks (8 MiB) per file and read-ahead earned by sequential misses. Files without a size are
// read directly.
//
// Lock order: manager before file, session before file; the manager lock is never held while
// a session lock is taken. Cached blocks are immutable and reference counted, so readers copy
// out of them (or hand them on) after the file lock is released.
#include "transcoding-plugins/base-plugins/file-read-cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>
#include <list>
#include <map>
#include <string_view>

#include "foundation/exception.h"
#include "foundation/lock.h"
#include "foundation/logging.h"
#include "foundation/posix.h"
#include "foundation/string.h"

namespace {

constexpr int64_t kBlockSize = 32768;
// At most 8 MiB cached per file.
constexpr size_t kBlockLimit = 256;
constexpr uint64_t kReadAheadLimit = 7;
// One fetch reads at most 1 + 128 blocks.
constexpr uint64_t kFetchLimit = 128;
// Reads served from cached blocks check the file for changes at most this often: an fstat
// costs about what the read a hit saves. Reads that go to the disk check it every time.
constexpr std::chrono::milliseconds kRecheckInterval(10);

using fn::logging::kCritical;
using fn::logging::kDebug;
using BlockRef = fn::AutoPtr<CachedBlock>;

// Keeps errno across logging, which may call into libc.
class ErrnoGuard {
 public:
  ErrnoGuard() : saved_(errno) {}
  ~ErrnoGuard() { errno = saved_; }
  int value() const { return saved_; }

 private:
  int saved_;
};

struct Block {
  uint64_t number;
  BlockRef data;
};

fn::logging::Category &
cacheCategory() {
  static fn::logging::Category &category =
      fn::logging::CategoryManager::instance().getCategory("fileReadCache.cacheFile");
  return category;
}

bool
sameTime(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// One open file: the descriptor and, for regular files with a size, the blocks read from it.
// Blocks are a copy of one file (device and inode) at one size and modification time; a file
// that no longer matches is never handed to a new reader, and readers that hold it are told
// (see revalidate). Files without a size (procfs, pipes, devices) are read directly, uncached
// and unshared, like the stock filesrc reads them.
class CacheFile : public fn::RefCountedObject {
 public:
  // Takes `fd`, opened on `path` with `mode` and `flags`; `st` is its fstat.
  CacheFile(fn::String path, int mode, int flags, int fd, const struct stat &st)
      : path_(std::move(path)),
        mode_(mode),
        flags_(flags),
        direct_(!S_ISREG(st.st_mode) || st.st_size == 0),
        dev_(st.st_dev),
        ino_(st.st_ino),
        fd_(fd),
        size_(st.st_size),
        mtime_(st.st_mtim) {
    log(kDebug, "{}: opened {} with mode {}, flags {}", fd_, path_, mode_, flags_);
  }

  static fn::logging::Category &_fn_getLoggingCategoryStatic() { return cacheCategory(); }
  static std::string_view _fn_getLoggingTag() { return {}; }

  // Immutable after construction: no lock needed.
  bool direct() const { return direct_; }

  // Whether a new reader of the file `st` describes, opened with these arguments, may share
  // this one's blocks.
  bool serves(const struct stat &st, int mode, int flags) {
    if (direct_ || mode != mode_ || flags != flags_ || st.st_dev != dev_ || st.st_ino != ino_)
      return false;
    fn::ScopedLock lock(lock_);
    return !stale_ && st.st_size == size_ && sameTime(st.st_mtim, mtime_);
  }

  bool stale() {
    fn::ScopedLock lock(lock_);
    return stale_;
  }

  int fstat(struct stat *st) {
    fn::ScopedLock lock(lock_);
    return fstatLocked(st);
  }

  // A fresh descriptor for a failing one, provided the path still leads to the same file:
  // another file's bytes must never continue this one's stream.
  void reopen() {
    fn::ScopedLock lock(lock_);
    const int fd = fn::posix::open(path_.c_str(), mode_, flags_);
    ErrnoGuard saved;
    log(kDebug, "{}: reopened {} with mode {}, flags {}", fd, path_, mode_, flags_);
    if (fd < 0) {
      log(kCritical, "posix::open failed for {} with errno: {}", path_, saved.value());
      return;
    }
    struct stat st;
    if (fn::posix::fstat(fd, &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_) {
      log(kCritical, "{}: {} is not (or not known to be) the file opened, keeping its descriptor",
          fd_, path_);
      fn::posix::close(fd);
      return;
    }
    fn::posix::close(fd_);
    fd_ = fd;
    os_offset_ = 0;
    sequential_misses_ = 0;
    blocks_.clear();
    block_index_.clear();
  }

  // The block `b`, fetched if it is not cached or holds nothing at `offset` yet. `need` is the
  // number of further blocks the caller's request touches. Returns null at end of data (or a
  // block that ends at or before `offset`), or null with `err` set to the failed call's result.
  BlockRef block(uint64_t b, size_t offset, uint64_t need, int64_t &err) {
    fn::ScopedLock lock(lock_);
    // Hits are checked too, if the last check is old enough: a truncated file stops serving the
    // blocks beyond its new end.
    const bool hit = block_index_.count(b) && static_cast<int64_t>(b * kBlockSize + offset) < size_;
    if (!hit || stale_ || std::chrono::steady_clock::now() - checked_ >= kRecheckInterval) {
      if (const int64_t r = revalidate(); r < 0) {
        err = r;
        return {};
      }
    }
    return getBlock(b, offset, need, err);
  }

  // Direct files: the descriptor's own position and reads.
  int64_t directSeek(int64_t offset, int whence) {
    fn::ScopedLock lock(lock_);
    const off_t r = fn::posix::lseek(fd_, offset, whence);
    ErrnoGuard saved;
    log(kDebug, "{}: lseek to {} ({}) returned {}", fd_, offset, whence, r);
    return r;
  }

  ssize_t directRead(void *dst, size_t n) {
    fn::ScopedLock lock(lock_);
    const ssize_t r = fn::posix::read(fd_, dst, n);
    ErrnoGuard saved;
    log(kDebug, "{}: read {} bytes (requested {})", fd_, r, n);
    if (r < 0)
      log(kCritical, "{}: read failed for {} with {}, errno: {}", fd_, path_, r, saved.value());
    return r;
  }

 protected:
  ~CacheFile() override {
    if (fd_ != -1) {
      log(kDebug, "{}: closing", fd_);
      fn::posix::close(fd_);
    }
  }

 private:
  template <typename... Args>
  void log(int priority, fmt::format_string<Args...> format, Args &&...args) {
    FN_LOG(_fn_getLoggingCategoryStatic(), priority, this, _fn_getLoggingTag(), format,
           std::forward<Args>(args)...);
  }

  int fstatLocked(struct stat *st) {
    const int r = fn::posix::fstat(fd_, st);
    ErrnoGuard saved;
    log(kDebug, "{}: fstat returned {}, size {}", fd_, r,
        r == 0 ? static_cast<int64_t>(st->st_size) : -1);
    if (r != 0)
      log(kCritical, "{}: stat failed for {} with {}, errno: {}", fd_, path_, r, saved.value());
    return r;
  }

  // Compares the file with what the blocks were read from (file lock held). A change of size
  // is what truncating or appending does, and both keep the bytes below the shorter end: the
  // blocks from there on go and the rest stay, once the last of them still reads the same.
  // Anything else is a rewrite in place: the file turns stale and every read of it fails with
  // ESTALE, as mixing old and new bytes in one stream would corrupt it silently.
  int64_t revalidate() {
    if (stale_) {
      errno = ESTALE;
      return -1;
    }
    struct stat st;
    if (const int r = fstatLocked(&st); r != 0) return r < 0 ? r : -1;
    checked_ = std::chrono::steady_clock::now();
    if (st.st_size == size_ && sameTime(st.st_mtim, mtime_)) return 0;
    const int64_t end = std::min<int64_t>(size_, st.st_size);
    const int64_t same = st.st_size == size_ ? 0 : tailReadsTheSame(end);
    if (same < 0) return -1;
    if (same == 0) {
      log(kCritical, "{}: {} was rewritten while open", fd_, path_);
      stale_ = true;
      blocks_.clear();
      block_index_.clear();
      errno = ESTALE;
      return -1;
    }
    log(kDebug, "{}: size changed from {} to {}", fd_, size_, static_cast<int64_t>(st.st_size));
    // The block holding the old end may be short: it goes too, to be read again whole.
    for (auto it = block_index_.lower_bound(static_cast<uint64_t>(end / kBlockSize));
         it != block_index_.end(); it = block_index_.erase(it))
      blocks_.erase(it->second);
    size_ = st.st_size;
    mtime_ = st.st_mtim;
    return 0;
  }

  // 1 if the last cached bytes below `end` read the same from the file (or none are cached),
  // 0 if not, -1 if they could not be read.
  int64_t tailReadsTheSame(int64_t end) {
    auto it = block_index_.lower_bound(static_cast<uint64_t>((end + kBlockSize - 1) / kBlockSize));
    if (it == block_index_.begin()) return 1;
    --it;
    const int64_t start = static_cast<int64_t>(it->first) * kBlockSize;
    const fn::ByteArray &cached = it->second->data->bytes;
    const size_t n = static_cast<size_t>(std::min<int64_t>(cached.size(), end - start));
    fn::ByteArray disk = fn::ByteArray::uninitialized(n);
    os_offset_ = -1;
    const ssize_t r =
        fn::posix::lseek(fd_, start, SEEK_SET) < 0 ? -1 : fn::posix::read(fd_, disk.data(), n);
    if (r < 0) return -1;
    os_offset_ = start + r;
    return static_cast<size_t>(r) == n && std::memcmp(disk.data(), cached.data(), n) == 0;
  }

  BlockRef getBlock(uint64_t b, size_t offset, uint64_t need, int64_t &err) {
    const int64_t start = static_cast<int64_t>(b) * kBlockSize;
    if (start + static_cast<int64_t>(offset) >= size_) return {};
    auto found = block_index_.find(b);
    if (found != block_index_.end()) {
      const auto entry = found->second;
      const size_t size = entry->data->bytes.size();
      // A block ends short at the end of the file, or after a short read: then it is read again
      // once more of it is wanted.
      if (offset < size || size == static_cast<size_t>(kBlockSize) ||
          start + static_cast<int64_t>(size) >= size_) {
        blocks_.splice(blocks_.end(), blocks_, entry);
        return entry->data;
      }
    }

    if (os_offset_ != start) {
      const off_t r = fn::posix::lseek(fd_, start, SEEK_SET);
      ErrnoGuard saved;
      log(kDebug, "{}: lseek to {} returned {}", fd_, start, r);
      if (r < 0) {
        log(kCritical, "{}: lseek failed for {} with {}, errno: {}", fd_, path_, r, saved.value());
        err = r;
        return {};
      }
      os_offset_ = start;
      sequential_misses_ = 0;
    } else {
      ++sequential_misses_;
    }

    const uint64_t extra =
        need > kFetchLimit
            ? kFetchLimit
            : std::max<uint64_t>(std::min<uint64_t>(sequential_misses_, kReadAheadLimit), need);
    // Read straight into the block buffers: no copy between a staging buffer and the blocks.
    std::array<fn::ByteArray, kFetchLimit + 1> buffers;
    std::array<struct iovec, kFetchLimit + 1> iov;
    for (uint64_t i = 0; i <= extra; ++i) {
      buffers[i] = fn::ByteArray::uninitialized(kBlockSize);
      iov[i] = {buffers[i].data(), static_cast<size_t>(kBlockSize)};
    }
    const size_t requested = (extra + 1) * kBlockSize;
    const ssize_t r = fn::posix::readv(fd_, iov.data(), static_cast<int>(extra + 1));
    ErrnoGuard saved;
    if (_fn_getLoggingCategoryStatic().isEnabled(kDebug))
      log(kDebug, "{}: read {} bytes (requested {}), data hash: {}", fd_, r, requested,
          hashOf(iov.data(), r));
    if (r < 0) {
      log(kCritical, "{}: read failed for {} with {}, errno: {}", fd_, path_, r, saved.value());
      err = r;
      return {};
    }
    os_offset_ += r;
    // The bytes just read must come from the file the blocks are a copy of; nothing past its
    // end (as it stands now) is kept.
    if (const int64_t v = revalidate(); v < 0) {
      err = v;
      return {};
    }
    size_t left = static_cast<size_t>(std::clamp<int64_t>(size_ - start, 0, r));

    BlockRef first;
    for (uint64_t i = 0; left > 0; ++i) {
      const size_t n = std::min<size_t>(left, kBlockSize);
      buffers[i].resize(n);
      BlockRef data = fn::makeAuto<CachedBlock>(std::move(buffers[i]));
      if (i == 0) first = data;
      insert(b + i, std::move(data));
      left -= n;
    }
    return first;
  }

  void insert(uint64_t number, BlockRef data) {
    auto found = block_index_.find(number);
    if (found != block_index_.end()) blocks_.erase(found->second);
    blocks_.push_back({number, std::move(data)});
    block_index_[number] = std::prev(blocks_.end());
    while (block_index_.size() > kBlockLimit) {
      block_index_.erase(blocks_.front().number);
      blocks_.pop_front();
    }
  }

  static fn::String hashOf(const struct iovec *iov, ssize_t r) {
    if (r <= 0) return {};
    fn::ByteArray bytes;
    bytes.reserve(static_cast<size_t>(r));
    for (size_t left = static_cast<size_t>(r); left > 0; ++iov) {
      const size_t n = std::min(left, iov->iov_len);
      bytes.append(iov->iov_base, n);
      left -= n;
    }
    return bytes.view().SHA256Hex();
  }

  fn::LockBase lock_;
  // Front: least recently used.
  std::list<Block> blocks_;
  std::map<uint64_t, std::list<Block>::iterator> block_index_;
  const fn::String path_;
  const int mode_;
  const int flags_;
  const bool direct_;
  const dev_t dev_;
  const ino_t ino_;
  int fd_;
  // Where the descriptor's offset stands, -1 when unknown.
  int64_t os_offset_ = 0;
  uint32_t sequential_misses_ = 0;
  // Size and modification time of the file the blocks were read from.
  int64_t size_;
  struct timespec mtime_;
  std::chrono::steady_clock::time_point checked_;
  bool stale_ = false;
};

class CacheSession : public fn::RefCountedObject {
 public:
  explicit CacheSession(fn::AutoPtr<CacheFile> file) : file_(std::move(file)) {}

  // Immutable after construction.
  CacheFile &file() const { return *file_; }

  // `invalid` tells a refused request (bad whence, negative or overflowing position) from a
  // failed fstat.
  int64_t _seek(int64_t offset, int whence, bool &invalid) {
    fn::ScopedLock lock(lock_);
    invalid = false;
    if (file_->direct()) return file_->directSeek(offset, whence);
    int64_t base;
    switch (whence) {
      case SEEK_SET:
        base = 0;
        break;
      case SEEK_CUR:
        base = position_;
        break;
      case SEEK_END:
        if (size_ < 0) {
          struct stat st;
          const int r = file_->fstat(&st);
          if (r != 0) return r < 0 ? r : -1;
          size_ = st.st_size;
        }
        base = size_;
        break;
      default:
        invalid = true;
        errno = EINVAL;
        return -1;
    }
    int64_t position;
    if (__builtin_add_overflow(base, offset, &position)) {
      invalid = true;
      errno = EOVERFLOW;
      return -1;
    }
    if (position < 0) {
      invalid = true;
      errno = EINVAL;
      return -1;
    }
    position_ = position;
    return position_;
  }

  int _fstat(struct stat *st) {
    fn::ScopedLock lock(lock_);
    struct stat local;
    const int r = file_->fstat(st ? st : &local);
    if (r == 0 && st) size_ = st->st_size;
    return r;
  }

  ssize_t _read(void *dst, size_t n) {
    fn::ScopedLock lock(lock_);
    n = std::min<size_t>(n, SSIZE_MAX);
    if (file_->direct()) return file_->directRead(dst, n);
    auto *out = static_cast<uint8_t *>(dst);
    size_t total = 0;
    while (n > 0) {
      size_t offset;
      int64_t err = 0;
      BlockRef block = fetch(n, offset, err);
      // Bytes already copied are returned: the failure shows on the next call, and a retry
      // never lands later bytes at the start of the caller's buffer.
      if (err < 0) return total > 0 ? static_cast<ssize_t>(total) : static_cast<ssize_t>(err);
      if (!block || block->bytes.size() <= offset) break;
      const size_t k = std::min(n, block->bytes.size() - offset);
      std::memcpy(out, block->bytes.data() + offset, k);
      position_ += static_cast<int64_t>(k);
      out += k;
      total += k;
      n -= k;
    }
    return static_cast<ssize_t>(total);
  }

  BlockRef _readBlock(size_t max, size_t &offset, size_t &length, int64_t &err) {
    fn::ScopedLock lock(lock_);
    length = 0;
    offset = 0;
    if (max == 0) return {};
    if (file_->direct()) {
      fn::ByteArray bytes = fn::ByteArray::uninitialized(std::min<size_t>(max, kBlockSize));
      const ssize_t r = file_->directRead(bytes.data(), bytes.size());
      if (r <= 0) {
        err = r;
        return {};
      }
      bytes.resize(static_cast<size_t>(r));
      length = static_cast<size_t>(r);
      return fn::makeAuto<CachedBlock>(std::move(bytes));
    }
    BlockRef block = fetch(max, offset, err);
    if (err < 0 || !block || block->bytes.size() <= offset) return {};
    length = std::min(max, block->bytes.size() - offset);
    position_ += static_cast<int64_t>(length);
    return block;
  }

 protected:
  ~CacheSession() override = default;

 private:
  // The block at the position (session lock held), `offset` set to the position within it.
  BlockRef fetch(size_t n, size_t &offset, int64_t &err) {
    const uint64_t b = static_cast<uint64_t>(position_) / kBlockSize;
    offset = static_cast<size_t>(position_ - static_cast<int64_t>(b) * kBlockSize);
    // Further blocks the request touches; anything past the fetch limit is the same to us.
    const uint64_t capped = std::min<uint64_t>(n, (kFetchLimit + 2) * kBlockSize);
    const uint64_t need = (offset + capped - 1) / kBlockSize;
    return file_->block(b, offset, need, err);
  }

  fn::LockBase lock_;
  const fn::AutoPtr<CacheFile> file_;
  int64_t position_ = 0;
  int64_t size_ = -1;
};

class CacheManager {
 public:
  static CacheManager &instance() {
    // Never destroyed: handles may still be used from threads that outlive static destructors.
    static CacheManager *manager = new CacheManager();
    return *manager;
  }

  int open(const char *path, int mode, int flags) {
    fn::String key(path);
    // Opened before taking the manager lock: opening a FIFO waits for a writer, and every
    // other reader in the process would wait with it.
    const int fd = fn::posix::open(key.c_str(), mode, flags);
    if (fd < 0) {
      ErrnoGuard saved;
      FN_LOG(cacheCategory(), kDebug, nullptr, std::string_view(),
             "{}: opened {} with mode {}, flags {}", fd, key, mode, flags);
      FN_LOG(cacheCategory(), kCritical, nullptr, std::string_view(),
             "posix::open failed for {} with errno: {}", key, saved.value());
      return fd;
    }
    struct stat st;
    if (fn::posix::fstat(fd, &st) != 0) {
      ErrnoGuard saved;
      FN_LOG(cacheCategory(), kCritical, nullptr, std::string_view(),
             "{}: stat failed for {}, errno: {}", fd, key, saved.value());
      fn::posix::close(fd);
      return -1;
    }
    // Owns the descriptor from here on; unused, it closes it after the manager lock is gone.
    fn::AutoPtr<CacheFile> opened = fn::makeAuto<CacheFile>(std::move(key), mode, flags, fd, st);
    fn::AutoPtr<CacheFile> file;
    {
      fn::ScopedLock lock(lock_);
      if (last_handle_ == INT_MAX) {
        // Handles are never reused.
        errno = EMFILE;
        return -1;
      }
      // The same file, unchanged since its blocks were read: share them.
      for (const auto &[handle, session] : sessions_) {
        if (session->file().serves(st, mode, flags)) {
          file = fn::AutoPtr<CacheFile>::borrow(&session->file());
          if (file) break;
        }
      }
      const int handle = ++last_handle_;
      sessions_.emplace(handle,
                        fn::makeAuto<CacheSession>(file ? std::move(file) : std::move(opened)));
      return handle;
    }
  }

  fn::AutoPtr<CacheSession> getSession(int handle) {
    fn::ScopedLock lock(lock_);
    auto found = sessions_.find(handle);
    return found == sessions_.end() ? nullptr
                                    : fn::AutoPtr<CacheSession>::borrow(found->second.get());
  }

  void close(int handle) {
    fn::AutoPtr<CacheSession> closing;
    {
      fn::ScopedLock lock(lock_);
      auto found = sessions_.find(handle);
      if (found == sessions_.end()) return;
      closing = std::move(found->second);
      sessions_.erase(found);
    }
    // The last reference closes the descriptor, outside the manager lock.
  }

 private:
  CacheManager() = default;

  fn::LockBase lock_;
  std::map<int, fn::AutoPtr<CacheSession>> sessions_;
  int last_handle_ = 0;
};

// Runs `op` on the handle's session; a failure reopens the file and runs it once more.
// Exceptions stop here.
template <typename Op>
int64_t
withSession(int handle, Op op) {
  try {
    fn::AutoPtr<CacheSession> session = CacheManager::instance().getSession(handle);
    if (!session) {
      errno = EBADF;
      return -1;
    }
    bool retry = true;
    int64_t r = op(*session, retry);
    CacheFile &file = session->file();
    // Direct files are not reopened (a FIFO would lose its data), nor stale ones (the path now
    // leads to the new content).
    if (r < 0 && retry && !file.direct() && !file.stale()) {
      file.reopen();
      r = op(*session, retry);
    }
    return r;
  } catch (...) {
    ErrnoGuard saved;
    fn::unhandledException();
    return -1;
  }
}

}  // namespace

int
cached_open(const char *path, int mode, int flags) {
  try {
    return CacheManager::instance().open(path, mode, flags);
  } catch (...) {
    fn::unhandledException();
    errno = ENOMEM;
    return -1;
  }
}

int64_t
cached_seek(int handle, int64_t offset, int whence) {
  return withSession(handle, [&](CacheSession &session, bool &retry) {
    bool invalid;
    const int64_t r = session._seek(offset, whence, invalid);
    retry = !invalid;
    return r;
  });
}

int
cached_fstat(int handle, struct stat *st) {
  return static_cast<int>(withSession(
      handle, [&](CacheSession &session, bool &) -> int64_t { return session._fstat(st); }));
}

ssize_t
cached_read(int handle, void *dst, size_t count) {
  return static_cast<ssize_t>(withSession(handle, [&](CacheSession &session, bool &) {
    return static_cast<int64_t>(session._read(dst, count));
  }));
}

fn::AutoPtr<CachedBlock>
cached_read_block(int handle, size_t max, size_t *offset, size_t *length, ssize_t *error) {
  BlockRef block;
  *error = 0;
  const int64_t r = withSession(handle, [&](CacheSession &session, bool &) -> int64_t {
    int64_t err = 0;
    block = session._readBlock(max, *offset, *length, err);
    return err;
  });
  if (r < 0) {
    *error = static_cast<ssize_t>(r);
    *length = 0;
    return {};
  }
  return block;
}

int
cached_close(int handle) {
  try {
    CacheManager::instance().close(handle);
    return 0;
  } catch (...) {
    fn::unhandledException();
    return -1;
  }
}
