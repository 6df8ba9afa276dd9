#include "transcoding-plugins/base-plugins/file-read-cache.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Counts the calls under the cache; fails (EIO) the next `failing` calls of kind `fails`
// ('r'ead, 's'eek or 'f'stat; -1 fails every one), shortens the next read to `short_read`
// bytes and runs `during_read` inside the next read.
struct Io {
  std::atomic<int> reads{0}, lseeks{0}, opens{0}, failing{0};
  std::atomic<int64_t> bytes{0};
  char fails = 'r';
  size_t short_read = 0;
  std::function<void()> during_read;

  bool fail(char kind) {
    for (int left = failing; kind == fails && left != 0;)
      if (left < 0 || failing.compare_exchange_weak(left, left - 1)) {
        errno = EIO;
        return true;
      }
    return false;
  }
  ssize_t read(int fd, const struct iovec *iov, int count) {
    ++reads;
    if (auto f = std::exchange(during_read, nullptr)) f();
    if (fail('r')) return -1;
    const size_t n = std::exchange(short_read, 0);
    const ssize_t r =
        n ? ::read(fd, iov->iov_base, std::min(n, iov->iov_len)) : ::readv(fd, iov, count);
    bytes += std::max<ssize_t>(r, 0);
    return r;
  }
};
Io g_io;

const fn::posix::testing::Calls kCountingCalls = {
    [](const char *path, int oflag, mode_t mode) {
      return ++g_io.opens, ::open(path, oflag, mode);
    },
    [](int fd, void *buffer, size_t size) {
      const struct iovec one = {buffer, size};
      return g_io.read(fd, &one, 1);
    },
    [](int fd, const struct iovec *iov, int count) { return g_io.read(fd, iov, count); },
    [](int fd, off_t offset, int whence) {
      return ++g_io.lseeks, g_io.fail('s') ? -1 : ::lseek(fd, offset, whence);
    },
    [](int fd, struct stat *st) { return g_io.fail('f') ? -1 : ::fstat(fd, st); },
};

Bytes
pattern(size_t size, uint32_t seed)
{
  Bytes bytes(size);
  std::mt19937 rng(seed);
  for (auto &b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

Bytes
slice(const Bytes &bytes, int64_t from, int64_t to = INT64_MAX)
{
  const int64_t size = static_cast<int64_t>(bytes.size());
  return Bytes(bytes.begin() + std::min(from, size), bytes.begin() + std::min(to, size));
}

// Writes into the file's own inode (g_file_set_contents replaces it), with a modification time
// of its own: writes within one clock tick would keep the old one.
void
write_in_place(const std::string &path, const Bytes &bytes, int flags = O_TRUNC)
{
  static time_t stamp = 1000000;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | flags, 0600);
  EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  const struct timespec times[2] = {{stamp, 0}, {stamp++, 0}};
  EXPECT_EQ(futimens(fd, times), 0);
  ::close(fd);
}

// `n` bytes from `pos` (from the handle's position if negative) in reads of `chunk`; a failing
// read fails the test.
Bytes
read_at(int h, int64_t pos, int64_t n = INT64_MAX, size_t chunk = 10000)
{
  if (pos >= 0 && cached_seek(h, pos, SEEK_SET) != pos) ADD_FAILURE() << "seek to " << pos;
  Bytes all, buf(chunk);
  for (ssize_t r; n > 0 && (r = cached_read(h, buf.data(), std::min<int64_t>(n, chunk))) != 0;) {
    if (r < 0) {
      ADD_FAILURE() << "read failed: " << g_strerror(errno);
      break;
    }
    all.insert(all.end(), buf.begin(), buf.begin() + r);
    n -= r;
  }
  return all;
}

class FileReadCacheTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = g_dir_make_tmp("file-read-cache-XXXXXX", nullptr);
    for (size_t size : {1000, 32768, 3 * 32768 + 1234, 9 * 1024 * 1024 + 777}) {
      paths_.push_back(path("f" + std::to_string(size)));
      files_.push_back(pattern(size, size));
      write_in_place(paths_.back(), files_.back());
    }
  }
  static void TearDownTestSuite() {
    for (auto &p : paths_) g_unlink(p.c_str());
    g_rmdir(dir_);
    g_free(dir_);
  }
  void SetUp() override {
    g_io.failing = 0;
    g_io.fails = 'r';
    fn::posix::testing::setCalls(&kCountingCalls);
  }
  void TearDown() override { fn::posix::testing::setCalls(nullptr); }

  static std::string path(const std::string &name) { return std::string(dir_) + "/" + name; }
  static int open(int file, int flags = O_RDONLY) {
    return cached_open(paths_[file].c_str(), flags, 0);
  }

  static inline gchar *dir_ = nullptr;
  static inline std::vector<std::string> paths_;
  static inline std::vector<Bytes> files_;
};

// Each case reads through fresh handles (0 and 1 on one file, 2 with other open flags), byte
// for byte, and counts the disk reads: a miss reads the blocks its request touches after one
// seek, up to 129 blocks a read; sequential misses earn up to 7 blocks of read-ahead; handles
// on one file share its blocks, 256 at most; the end of the file, once seen, needs no read; a
// block a short read left incomplete is read again.
TEST_F(FileReadCacheTest, ReadsAreByteExact_AndReadTheDiskOnlyWhenTheyMust)
{
  struct Op {
    int handle;
    int64_t pos, n;
    int times = 1;
    int64_t step = 0;
  };
  const int64_t last = 288 * kBlock;  // the 777-byte block of file 3
  const struct {
    const char *name;
    int file;
    std::vector<Op> ops;
    int reads, lseeks;
    int64_t bytes;
    size_t short_read = 0;
  } cases[] = {
      // clang-format off
      {"small file whole", 0, {{0, 0, 5000}, {0, 0, 5000}}, 1, 0, 1000},
      {"one block in 4 KiB pieces", 1, {{0, 0, 4096, 9, 4096}}, 1, 0, kBlock},
      {"chunks over block edges", 2, {{0, 0, 40000, 3, 40000}, {0, kBlock - 7, 20}}, 2, 0, 3 * kBlock + 1234},
      {"past the end", 2, {{0, 5 * kBlock, 10}, {0, 3 * kBlock + 1230, 100}}, 1, 1, 1234},
      {"a short read", 2, {{0, 0, 5000}, {0, 5000, 5000}}, 2, 1, 1000 + kBlock, 1000},
      {"miss in block 1", 3, {{0, 40000, 100}}, 1, 1, kBlock},
      {"200 blocks at once", 3, {{0, 10 * kBlock, 200 * kBlock}}, 2, 1, 200 * kBlock},
      {"read-ahead 2, 3, ... 8 blocks", 3, {{0, 0, 4096, 800, 4096}}, 7 + 9, 0, 107 * kBlock},
      {"second handle shares", 3, {{0, 0, 65536}, {1, 0, 65536}, {1, last, 1000}, {1, last, 1000}}, 2, 1, 65536 + 777},
      {"other flags: own cache", 3, {{0, 0, 65536}, {2, 0, 65536}}, 2, 0, 2 * 65536},
      {"block 1 stays, 256 leaves", 3, {{0, 256 * kBlock, 1, 257, -kBlock}, {0, kBlock + 5, 1}, {0, 256 * kBlock + 5, 1}}, 258, 258, 258 * kBlock},
      {"whole 9 MiB in 5 MB reads", 3, {{0, 0, 5000000, 2, 5000000}}, 4, 0, 9 * 1024 * 1024 + 777},
      // clang-format on
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const int handles[] = {open(c.file), open(c.file), open(c.file, O_RDONLY | O_NOCTTY)};
    g_io.reads = g_io.lseeks = 0;
    g_io.bytes = 0;
    g_io.short_read = c.short_read;
    for (const Op &op : c.ops)
      for (int64_t i = 0, pos = op.pos; i < op.times; ++i, pos += op.step)
        ASSERT_TRUE(read_at(handles[op.handle], pos, op.n, op.n) ==
                    slice(files_[c.file], pos, pos + op.n))
            << pos;
    EXPECT_EQ(g_io.reads, c.reads);
    EXPECT_EQ(g_io.lseeks, c.lseeks);
    EXPECT_EQ(g_io.bytes, c.bytes);
    for (int h : handles) cached_close(h);
  }
}

TEST_F(FileReadCacheTest, BadHandlesAndSeeks_FailWithErrnoAndKeepThePosition)
{
  const int a = open(0);
  cached_close(a);
  const int b = open(0);
  EXPECT_EQ(b, a + 1) << "handles are never reused";
  cached_close(b);
  struct stat st;
  for (int h : {a, b, 0, -3}) {
    size_t offset, length;
    ssize_t error;
    errno = 0;
    EXPECT_EQ(cached_read(h, &st, 1) + cached_seek(h, 0, SEEK_SET) + cached_fstat(h, &st), -3);
    EXPECT_FALSE(cached_read_block(h, 1, &offset, &length, &error) || error != -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(cached_close(h), 0);
  }
  errno = 0;
  EXPECT_EQ(cached_open(nullptr, O_RDONLY, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  g_io.fails = 'f';
  g_io.failing = 1;
  EXPECT_EQ(open(0), -1) << "fstat failed after the open";

  const int h = open(2);
  const int64_t size = static_cast<int64_t>(files_[2].size());
  ASSERT_EQ(cached_seek(h, 1000, SEEK_SET), 1000);
  g_io.failing = -1;
  EXPECT_EQ(cached_seek(h, 0, SEEK_END), -1) << "fstat fails while the size is unknown";
  g_io.failing = 0;
  const struct {
    int64_t offset;
    int whence, error;
  } bad[] = {{-1, SEEK_SET, EINVAL},
             {-1001, SEEK_CUR, EINVAL},
             {-size - 1, SEEK_END, EINVAL},
             {INT64_MAX, SEEK_CUR, EOVERFLOW},
             {0, 7, EINVAL}};
  g_io.opens = 0;
  for (const auto &c : bad) {
    errno = 0;
    EXPECT_EQ(cached_seek(h, c.offset, c.whence), -1);
    EXPECT_EQ(errno, c.error) << c.offset << " from " << c.whence;
  }
  EXPECT_EQ(g_io.opens, 0) << "a refused seek is no I/O failure: no reopen";
  EXPECT_EQ(cached_seek(h, 0, SEEK_CUR), 1000);
  cached_close(h);

  // procfs cannot seek from the end (EINVAL): its files have no size and are read directly.
  const int proc = cached_open("/proc/self/status", O_RDONLY, 0);
  EXPECT_EQ(cached_seek(proc, 0, SEEK_END) + cached_fstat(proc, nullptr), -1);
  EXPECT_EQ(read_at(proc, 0, 5), Bytes({'N', 'a', 'm', 'e', ':'}));
  cached_close(proc);
}

// Failed reads, seeks and fstats: each is retried once on a new descriptor; bytes already
// copied are returned, the failure shows on the next call, and the position stays at the first
// byte not returned.
TEST_F(FileReadCacheTest, Failures_RetriedOnceAfterReopening_CopiedBytesNeverLost)
{
  const Bytes &large = files_[3];
  const int h = open(3);
  // A lasting failure after the cached blocks 100 and 101.
  read_at(h, 100 * kBlock + 3, 50000, 50000);
  ASSERT_EQ(cached_seek(h, 100 * kBlock + 3, SEEK_SET), 100 * kBlock + 3);
  g_io.failing = -1;
  Bytes got(4 * kBlock);
  EXPECT_EQ(cached_read(h, got.data(), got.size()), 2 * kBlock - 3);
  errno = 0;
  EXPECT_EQ(cached_read(h, got.data(), got.size()), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(cached_seek(h, 0, SEEK_CUR), 102 * kBlock);
  for (const auto &[kind, block] : {std::pair{'r', 120}, {'s', 140}, {'f', 160}}) {
    const int64_t pos = block * kBlock + 3;
    g_io.opens = 0;
    g_io.fails = kind;
    g_io.failing = 1;
    EXPECT_TRUE(read_at(h, pos, 50000, 50000) == slice(large, pos, pos + 50000)) << kind;
    EXPECT_EQ(g_io.opens, 1) << kind;
  }
  // Failing once after cached blocks: the call returns those, the next one goes on.
  g_io.fails = 'r';
  read_at(h, 0, 100);
  g_io.failing = 1;
  EXPECT_TRUE(read_at(h, 0, INT64_MAX, 4 * kBlock) == large);
  cached_close(h);
}

// A handle reads 40000 bytes (two blocks cached), the file changes, a new handle reads it
// whole, then the first one reads on. Logged in full (every log line must format).
TEST_F(FileReadCacheTest, FileChangedWhileOpen_NewHandlesSeeIt_OldOnesNeverMixOldAndNew)
{
  enum Change { kReplace, kRemove, kRewrite, kRewriteDuringRead, kTruncate, kAppend };
  const struct {
    const char *name;
    Change change;
    size_t size;  // of the file after the change
    int failing;  // reads to fail after it: the second one starts a read and reopens
    bool stale;   // the old handle fails with ESTALE instead of reading on
  } cases[] = {
      // clang-format off
      {"replaced by a rename", kReplace, 6 * kBlock, 0, false},
      {"replaced, then the descriptor fails", kReplace, 6 * kBlock, 2, false},
      {"removed, then the descriptor fails", kRemove, 0, 2, false},
      {"rewritten in place, same size", kRewrite, 5 * kBlock + 100, 0, true},
      {"rewritten in place, shorter", kRewrite, 100000, 0, true},
      {"rewritten while the old handle reads", kRewriteDuringRead, 5 * kBlock + 100, 0, true},
      {"truncated", kTruncate, 50000, 0, false},
      {"appended to", kAppend, 7 * kBlock, 0, false},
      // clang-format on
  };
  gst_debug_set_threshold_for_name("fileReadCache.cacheFile", GST_LEVEL_TRACE);
  const std::string p = path("changing");
  const Bytes old = pattern(5 * kBlock + 100, 7);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    g_io.failing = 0;
    write_in_place(p, old);
    const int a = cached_open(p.c_str(), O_RDONLY, 0);
    ASSERT_EQ(read_at(a, 0, 40000).size(), 40000u);
    Bytes now = pattern(c.size, 8);
    switch (c.change) {
      case kReplace:
        g_file_set_contents(p.c_str(), reinterpret_cast<char *>(now.data()), c.size, nullptr);
        break;
      case kRemove:
        g_unlink(p.c_str());
        break;
      case kRewrite:
        write_in_place(p, now);
        break;
      case kRewriteDuringRead:
        now.clear();  // no new handle: it would read the file into the shared blocks
        g_io.during_read = [&p, size = c.size] { write_in_place(p, pattern(size, 8)); };
        break;
      case kTruncate:
        now = slice(old, 0, c.size);
        EXPECT_EQ(truncate(p.c_str(), c.size), 0);
        break;
      case kAppend: {
        const Bytes tail = slice(now, old.size());
        write_in_place(p, tail, O_APPEND);
        now = old;
        now.insert(now.end(), tail.begin(), tail.end());
        break;
      }
    }
    const int b = now.empty() ? -1 : cached_open(p.c_str(), O_RDONLY, 0);
    EXPECT_TRUE((b < 1 ? Bytes() : read_at(b, 0)) == now) << "a new handle reads the file as it is";
    cached_close(b);
    g_io.failing = c.failing;
    g_usleep(20000);  // cached blocks are served unchecked for up to 10 ms
    // Reading on: old bytes only, then an error for a stale file.
    Bytes got, buf(10000);
    ssize_t r;
    while ((r = cached_read(a, buf.data(), buf.size())) > 0)
      got.insert(got.end(), buf.begin(), buf.begin() + r);
    EXPECT_EQ(r < 0 ? errno : 0, c.stale ? ESTALE : 0);
    EXPECT_EQ(cached_read(a, buf.data(), 1), r) << "and the same from then on";
    const Bytes &was = c.change == kReplace || c.change == kRemove || c.stale ? old : now;
    EXPECT_TRUE(got == slice(was, 40000, c.stale ? 40000 + got.size() : INT64_MAX));
    cached_close(a);
  }
  gst_debug_unset_threshold_for_name("fileReadCache.cacheFile");
  g_unlink(p.c_str());
}

// Eight threads, two handles on each of four files, random seeks and reads checked byte for
// byte, while another thread opens and closes handles on the same files. Meant to run under
// ThreadSanitizer as well (a build with -Db_sanitize=thread).
TEST_F(FileReadCacheTest, ConcurrentReadersSeeTheFile)
{
  fn::posix::testing::setCalls(nullptr);
  std::atomic<int> bad{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      const Bytes &f = files_[t % 4];
      const int h = open(t % 4);
      std::mt19937 rng(t);
      for (int i = 0; i < 400; ++i) {
        const int64_t pos = std::uniform_int_distribution<int64_t>(0, f.size())(rng);
        const int64_t n = std::uniform_int_distribution<int64_t>(1, 3 * kBlock)(rng);
        if (read_at(h, pos, n, 3 * kBlock) != slice(f, pos, pos + n)) ++bad;
      }
      cached_close(h);
    });
  }
  std::thread churn([&] {
    for (int i = 0; !done; ++i) {
      const int h = open(i % 4);
      uint8_t byte;
      if (cached_read(h, &byte, 1) != 1 || byte != files_[i % 4][0]) ++bad;
      cached_close(h);
    }
  });
  for (auto &t : readers) t.join();
  done = true;
  churn.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
