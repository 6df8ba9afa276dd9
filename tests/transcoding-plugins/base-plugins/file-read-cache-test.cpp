#include "transcoding-plugins/base-plugins/file-read-cache.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/posix.h"

namespace {

constexpr int64_t kBlock = 32768;
using Bytes = std::vector<uint8_t>;

// Counts the calls under the cache; fails (EIO) the next `failing` calls of kind `fails` ('r'ead,
// 's'eek or 'f'stat; -1 fails every one), shortens the next read to `short_read` bytes and runs
// `during_read` inside the next read. Single-threaded tests only.
struct Io {
  int opens = 0, failing = 0;
  int64_t bytes = 0, short_read = 0;
  char fails = 'r';
  std::function<void()> during_read;

  bool fail(char kind) {
    if (kind != fails || failing == 0) return false;
    failing -= failing > 0;
    return errno = EIO, true;
  }
  ssize_t read(int fd, const struct iovec *iov, int count) {
    if (during_read) std::exchange(during_read, nullptr)();
    if (fail('r')) return -1;
    const size_t n = std::exchange(short_read, 0);
    const ssize_t r =
        n ? ::read(fd, iov->iov_base, std::min(n, iov->iov_len)) : ::readv(fd, iov, count);
    bytes += std::max<ssize_t>(r, 0);
    return r;
  }
} g_io;

const fn::posix::testing::Calls kCountingCalls = {
    [](const char *p, int o, mode_t m) { return ++g_io.opens, ::open(p, o, m); },
    [](int fd, void *b, size_t n) { const iovec one = {b, n}; return g_io.read(fd, &one, 1); },
    [](int fd, const struct iovec *iov, int count) { return g_io.read(fd, iov, count); },
    [](int fd, off_t o, int w) { return g_io.fail('s') ? -1 : ::lseek(fd, o, w); },
    [](int fd, struct stat *st) { return g_io.fail('f') ? -1 : ::fstat(fd, st); },
};

Bytes
pattern(size_t size, uint32_t seed) {
  Bytes bytes(size);
  std::generate(bytes.begin(), bytes.end(), std::mt19937(seed));
  return bytes;
}

Bytes
slice(const Bytes &bytes, int64_t from, int64_t to = INT64_MAX) {
  const int64_t size = static_cast<int64_t>(bytes.size());
  return Bytes(bytes.begin() + std::min(from, size), bytes.begin() + std::min(to, size));
}

// Writes into the file's own inode (g_file_set_contents replaces it), with a modification time of
// its own: writes within one clock tick would keep the old one.
void
write_in_place(const std::string &path, const Bytes &bytes, int flags = O_TRUNC) {
  static time_t stamp = 1000000;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | flags, 0600);
  const struct timespec times[2] = {{stamp, 0}, {stamp++, 0}};
  EXPECT_TRUE(::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()) &&
              futimens(fd, times) == 0) << g_strerror(errno);
  ::close(fd);
}

// `n` bytes from `pos` (from the handle's position if negative) in reads of `chunk`, up to the
// first failing read.
Bytes
read_at(int h, int64_t pos, int64_t n = INT64_MAX, size_t chunk = 10000) {
  if (pos >= 0 && cached_seek(h, pos, SEEK_SET) != pos) ADD_FAILURE() << "seek to " << pos;
  Bytes all, buf(chunk);
  for (ssize_t r; n > 0 && (r = cached_read(h, buf.data(), std::min<int64_t>(n, chunk))) > 0;
       n -= r)
    all.insert(all.end(), buf.begin(), buf.begin() + r);
  return all;
}

// Files 0-3: 1000 bytes, one block, three blocks and a bit, 288 blocks and a bit.
class FileReadCacheTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = g_dir_make_tmp("file-read-cache-XXXXXX", nullptr);
    for (size_t size : {1000, 32768, 3 * 32768 + 1234, 9 * 1024 * 1024 + 777})
      files_.push_back(pattern(size, size)), write_in_place(path(files_.size() - 1), files_.back());
  }
  static void TearDownTestSuite() {
    for (size_t i = 0; i < files_.size(); ++i) g_unlink(path(i).c_str());
    g_rmdir(dir_), g_free(dir_);
  }
  void SetUp() override { g_io = {}, fn::posix::testing::setCalls(&kCountingCalls); }
  void TearDown() override { fn::posix::testing::setCalls(nullptr); }
  static std::string path(auto name) { return fmt::format("{}/{}", dir_, name); }
  static int open(int f, int flags = O_RDONLY) { return cached_open(path(f).c_str(), flags, 0); }
  static inline gchar *dir_ = nullptr;
  static inline std::vector<Bytes> files_;
};

// Each case reads a whole file through one handle in pieces of `chunk`, byte for byte, then its
// first 64 KiB through a second handle: handles opened alike on one file share its blocks, each
// read from disk once while it stays cached (256 blocks at most); other open flags get a cache of
// their own; a block a short read left incomplete is read again.
TEST_F(FileReadCacheTest, ReadsAreByteExact_AndEachBlockComesFromDiskOnce) {
  const struct {
    const char *name;
    int file, second_flags;
    int64_t chunk, short_read, disk_bytes_beyond_the_file;
  } cases[] = {
      // clang-format off
      {"small file", 0, O_RDONLY, 5000, 0, 0},
      {"one block in 4 KiB pieces", 1, O_RDONLY, 4096, 0, 0},
      {"pieces over block edges", 2, O_RDONLY, 40000, 0, 0},
      {"a short read", 2, O_RDONLY, 5000, 1000, 1000},
      {"other flags: own cache", 2, O_RDONLY | O_NOCTTY, 7000, 0, 2 * kBlock},
      {"9 MiB in 4 KiB pieces, first blocks evicted", 3, O_RDONLY, 4096, 0, 2 * kBlock},
      {"9 MiB in 5 MB reads", 3, O_RDONLY, 5000000, 0, 2 * kBlock},
      // clang-format on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const int first = open(c.file), second = open(c.file, c.second_flags);
    g_io.bytes = 0, g_io.short_read = c.short_read;
    const Bytes &f = files_[c.file];
    EXPECT_TRUE(read_at(first, 0, INT64_MAX, c.chunk) == f);
    EXPECT_TRUE(read_at(second, 0, 65536, 65536) == slice(f, 0, 65536));
    EXPECT_EQ(g_io.bytes, static_cast<int64_t>(f.size()) + c.disk_bytes_beyond_the_file);
    cached_close(first), cached_close(second);
  }
}

// Unknown handles fail with EBADF. Failed reads, seeks and fstats are retried once on a new
// descriptor; bytes already copied are returned, the failure shows on the next call, and the
// position stays at the first byte not returned. procfs files (no size, no seek from the end) are
// read directly.
TEST_F(FileReadCacheTest, Failures_BadHandlesFail_IoErrorsRetriedOnce_CopiedBytesNeverLost) {
  const int closed = open(0);
  cached_close(closed);
  struct stat st;
  size_t offset, length;
  ssize_t error;
  for (int h : {closed, 0, -3}) {
    errno = 0;
    EXPECT_EQ(cached_read(h, &st, 1) + cached_seek(h, 0, SEEK_SET) + cached_fstat(h, &st), -3);
    EXPECT_FALSE(cached_read_block(h, 1, &offset, &length, &error) || error != -1);
    EXPECT_EQ(errno, EBADF);
  }
  g_io.fails = 'f', g_io.failing = 1;
  EXPECT_EQ(open(0), -1) << "fstat failed after the open";
  int h = open(2);
  ASSERT_EQ(cached_seek(h, 1000, SEEK_SET), 1000);
  g_io.failing = -1;
  EXPECT_EQ(cached_seek(h, 0, SEEK_END), -1) << "fstat fails while the size is unknown";
  g_io.failing = 0;
  // Refused seeks fail with EINVAL or EOVERFLOW and keep the position.
  const int64_t bad[][3] = {
      {-1, SEEK_SET, EINVAL}, {INT64_MAX, SEEK_CUR, EOVERFLOW}, {0, 7, EINVAL}};
  for (const auto &[offset, whence, error] : bad)
    EXPECT_TRUE(cached_seek(h, offset, whence) == -1 && errno == error) << offset << " " << whence;
  EXPECT_EQ(cached_seek(h, 0, SEEK_CUR), 1000);
  cached_close(h), h = open(3);
  // A lasting failure after the cached blocks 100 and 101.
  read_at(h, 100 * kBlock + 3, 50000, 50000);
  ASSERT_EQ(cached_seek(h, 100 * kBlock + 3, SEEK_SET), 100 * kBlock + 3);
  g_io.fails = 'r', g_io.failing = -1;
  Bytes got(4 * kBlock);
  EXPECT_EQ(cached_read(h, got.data(), got.size()), 2 * kBlock - 3);
  errno = 0;
  EXPECT_TRUE(cached_read(h, got.data(), got.size()) == -1 && errno == EIO) << g_strerror(errno);
  EXPECT_EQ(cached_seek(h, 0, SEEK_CUR), 102 * kBlock);
  for (const auto &[kind, block] : {std::pair{'r', 120}, {'s', 140}, {'f', 160}}) {
    const int64_t pos = block * kBlock + 3;
    g_io.opens = 0, g_io.fails = kind, g_io.failing = 1;
    EXPECT_TRUE(read_at(h, pos, 50000, 50000) == slice(files_[3], pos, pos + 50000) &&
                g_io.opens == 1) << kind << " " << g_io.opens;
  }
  cached_close(h);

  const int proc = cached_open("/proc/self/status", O_RDONLY, 0);
  EXPECT_EQ(cached_seek(proc, 0, SEEK_END) + cached_fstat(proc, nullptr), -1);
  EXPECT_EQ(read_at(proc, 0, 5), Bytes({'N', 'a', 'm', 'e', ':'}));
  cached_close(proc);
}

// A handle reads 40000 bytes (two blocks cached), the file changes, a new handle reads it whole,
// then the first one reads on: old bytes only, then ESTALE for a file rewritten in place. Logged in
// full (every log line must format).
TEST_F(FileReadCacheTest, FileChangedWhileOpen_NewHandlesSeeIt_OldOnesNeverMixOldAndNew) {
  const std::string p = path("changing");
  const Bytes old = pattern(5 * kBlock + 100, 7);
  auto replace = [&p](const Bytes &b) {
    return g_file_set_contents(p.c_str(), (const char *)b.data(), b.size(), nullptr), b;
  };
  const struct {
    const char *name;
    std::function<Bytes()> change;  // gives the file as a new handle reads it
    // Reads to fail after it (the second one starts a read and reopens); whether the old
    // handle fails with ESTALE instead of reading to the end, and reads on in the old file,
    // not the changed one.
    int failing;
    bool stale, reads_old;
  } cases[] = {
      // clang-format off
      {"replaced by a rename", [&] { return replace(pattern(6 * kBlock, 8)); }, 0, false, true},
      {"replaced, descriptor fails", [&] { return replace(pattern(6 * kBlock, 8)); }, 2, false, true},
      {"removed, descriptor fails", [&] { g_unlink(p.c_str()); return Bytes(); }, 2, false, true},
      {"rewritten, same size", [&] { Bytes b = pattern(old.size(), 8); write_in_place(p, b); return b; }, 0, true, true},
      {"rewritten, shorter", [&] { Bytes b = pattern(100000, 8); write_in_place(p, b); return b; }, 0, true, true},
      // No new handle: it would read the file into the shared blocks.
      {"rewritten during a read", [&] { g_io.during_read = [&] { write_in_place(p, pattern(old.size(), 8)); }; return Bytes(); }, 0, true, true},
      {"truncated", [&] { EXPECT_EQ(truncate(p.c_str(), 50000), 0); return slice(old, 0, 50000); }, 0, false, false},
      {"appended to", [&] { Bytes b = old, tail = pattern(kBlock, 8); write_in_place(p, tail, O_APPEND); b.insert(b.end(), tail.begin(), tail.end()); return b; }, 0, false, false},
      // clang-format on
  };
  gst_debug_set_threshold_for_name("fileReadCache.cacheFile", GST_LEVEL_TRACE);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    g_io.failing = 0, write_in_place(p, old);
    const int a = cached_open(p.c_str(), O_RDONLY, 0);
    ASSERT_EQ(read_at(a, 0, 40000).size(), 40000u);
    const Bytes now = c.change();
    const int b = now.empty() ? -1 : cached_open(p.c_str(), O_RDONLY, 0);
    EXPECT_TRUE((b < 1 ? Bytes() : read_at(b, 0)) == now) << "a new handle reads the file as it is";
    cached_close(b);
    // Cached blocks are served unchecked for up to 10 ms.
    g_io.failing = c.failing, g_usleep(20000);
    const Bytes got = read_at(a, -1);
    char byte;
    errno = 0;
    EXPECT_TRUE(cached_read(a, &byte, 1) == (c.stale ? -1 : 0) && errno == (c.stale ? ESTALE : 0))
        << "and the same from then on: " << g_strerror(errno);
    EXPECT_TRUE(got ==
                slice(c.reads_old ? old : now, 40000, c.stale ? 40000 + got.size() : INT64_MAX));
    cached_close(a);
  }
  gst_debug_unset_threshold_for_name("fileReadCache.cacheFile");
  g_unlink(p.c_str());
}

// Eight threads, two on each of four files, random seeks and reads checked byte for byte, each
// thread opening a new handle now and then. Meant to run under ThreadSanitizer as well (a build
// with -Db_sanitize=thread).
TEST_F(FileReadCacheTest, ConcurrentReadersSeeTheFile) {
  fn::posix::testing::setCalls(nullptr);
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t)
    readers.emplace_back([&, t] {
      const Bytes &f = files_[t % 4];
      std::mt19937 rng(t);
      int h = open(t % 4);
      for (int i = 0; i < 400; ++i) {
        const int64_t pos = std::uniform_int_distribution<int64_t>(0, f.size())(rng);
        const int64_t n = std::uniform_int_distribution<int64_t>(1, 3 * kBlock)(rng);
        if (read_at(h, pos, n, 3 * kBlock) != slice(f, pos, pos + n)) ++bad;
        // A new handle now and then: opens and closes race with the other readers.
        if (i % 40 == 39) cached_close(h), h = open(t % 4);
      }
      cached_close(h);
    });
  for (auto &t : readers) t.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
