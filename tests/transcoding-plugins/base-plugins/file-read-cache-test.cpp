#include "transcoding-plugins/base-plugins/file-read-cache.h"

#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/posix.h"

namespace {

constexpr size_t kBlock = 32768;

// Counts the system calls under the cache and fails them on request.
struct Io {
  std::atomic<int> opens{0};
  std::atomic<int> reads{0};
  std::atomic<int64_t> bytes{0};
  std::atomic<int> lseeks{0};
  std::atomic<int64_t> last_lseek{-1};
  std::atomic<int> fstats{0};
  // Reads still to fail with EIO; -1 fails every read.
  std::atomic<int> failing_reads{0};
  std::atomic<bool> failing_fstat{false};
  // Largest single read request (bytes).
  std::atomic<size_t> last_request{0};

  void reset() {
    opens = reads = lseeks = fstats = 0;
    bytes = 0;
    last_lseek = -1;
    failing_reads = 0;
    failing_fstat = false;
  }
};
Io g_io;

bool
take_failure()
{
  int left = g_io.failing_reads.load();
  while (left != 0) {
    if (left < 0) return true;
    if (g_io.failing_reads.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

const fn::posix::testing::Calls kCountingCalls = {
    [](const char *path, int oflag, mode_t mode) {
      ++g_io.opens;
      return ::open(path, oflag, mode);
    },
    [](int fd, void *buffer, size_t size) -> ssize_t {
      ++g_io.reads;
      if (take_failure()) return errno = EIO, -1;
      const ssize_t r = ::read(fd, buffer, size);
      if (r > 0) g_io.bytes += r;
      return r;
    },
    [](int fd, const struct iovec *iov, int count) -> ssize_t {
      ++g_io.reads;
      size_t request = 0;
      for (int i = 0; i < count; ++i) request += iov[i].iov_len;
      g_io.last_request = request;
      if (take_failure()) return errno = EIO, -1;
      const ssize_t r = ::readv(fd, iov, count);
      if (r > 0) g_io.bytes += r;
      return r;
    },
    [](int fd, off_t offset, int whence) {
      ++g_io.lseeks;
      g_io.last_lseek = offset;
      return ::lseek(fd, offset, whence);
    },
    [](int fd, struct stat *st) {
      ++g_io.fstats;
      if (g_io.failing_fstat) return errno = EIO, -1;
      return ::fstat(fd, st);
    },
};

std::vector<uint8_t>
pattern(size_t size, uint32_t seed)
{
  std::vector<uint8_t> bytes(size);
  std::mt19937 rng(seed);
  for (auto &b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

struct TestFile {
  std::string path;
  std::vector<uint8_t> bytes;
};

class FileReadCacheTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    GError *error = nullptr;
    dir_ = g_dir_make_tmp("file-read-cache-XXXXXX", &error);
    ASSERT_NE(dir_, nullptr);
    const std::vector<size_t> sizes = {1000, kBlock, 3 * kBlock + 1234, 9 * 1024 * 1024 + 777,
                                       70000};
    for (size_t i = 0; i < sizes.size(); ++i) {
      TestFile f{std::string(dir_) + "/f" + std::to_string(i), pattern(sizes[i], 17 + i)};
      ASSERT_TRUE(g_file_set_contents(f.path.c_str(), reinterpret_cast<char *>(f.bytes.data()),
                                      f.bytes.size(), &error));
      files_.push_back(std::move(f));
    }
  }
  static void TearDownTestSuite() {
    for (auto &f : files_) g_unlink(f.path.c_str());
    files_.clear();
    g_rmdir(dir_);
    g_free(dir_);
  }
  void SetUp() override {
    g_io.reset();
    fn::posix::testing::setCalls(&kCountingCalls);
  }
  void TearDown() override { fn::posix::testing::setCalls(nullptr); }

  static const TestFile &small() { return files_[0]; }
  static const TestFile &one_block() { return files_[1]; }
  static const TestFile &few_blocks() { return files_[2]; }
  static const TestFile &large() { return files_[3]; }
  static const TestFile &f70000() { return files_[4]; }

  // Reads `n` bytes at `pos` and checks them against the file.
  static void expect_read(int h, const TestFile &f, int64_t pos, size_t n) {
    ASSERT_EQ(cached_seek(h, pos, SEEK_SET), pos);
    std::vector<uint8_t> got(n);
    const ssize_t r = cached_read(h, got.data(), n);
    const size_t want = pos >= static_cast<int64_t>(f.bytes.size())
                            ? 0
                            : std::min(n, f.bytes.size() - static_cast<size_t>(pos));
    ASSERT_EQ(r, static_cast<ssize_t>(want)) << f.path << " at " << pos << " for " << n;
    EXPECT_EQ(0, memcmp(got.data(), f.bytes.data() + pos, want))
        << f.path << " at " << pos << " for " << n;
  }

  static inline gchar *dir_ = nullptr;
  static inline std::vector<TestFile> files_;
};

TEST_F(FileReadCacheTest, ReadsAreByteExact_EveryAccessPattern)
{
  for (const TestFile &f : {small(), one_block(), few_blocks(), large()}) {
    for (size_t chunk : {size_t{1000}, size_t{4096}, kBlock, size_t{40000}, size_t{5000000}}) {
      if (chunk == 1000 && f.bytes.size() > 1000000) continue;  // keeps the run short
      const int h = cached_open(f.path.c_str(), O_RDONLY, 0);
      ASSERT_GE(h, 1);
      std::vector<uint8_t> all;
      std::vector<uint8_t> buf(chunk);
      for (ssize_t r; (r = cached_read(h, buf.data(), chunk)) > 0;)
        all.insert(all.end(), buf.begin(), buf.begin() + r);
      EXPECT_EQ(all, f.bytes) << f.path << " in chunks of " << chunk;
      EXPECT_EQ(cached_read(h, buf.data(), chunk), 0);
      cached_close(h);
    }

    const int h = cached_open(f.path.c_str(), O_RDONLY, 0);
    const int64_t size = static_cast<int64_t>(f.bytes.size());
    std::mt19937 rng(42);
    for (int i = 0; i < 200; ++i) {
      const int64_t pos = std::uniform_int_distribution<int64_t>(0, size + 100)(rng);
      const size_t n = std::uniform_int_distribution<size_t>(1, 3 * kBlock)(rng);
      expect_read(h, f, pos, n);
    }
    // Across block boundaries, and past the end.
    for (int64_t edge = kBlock; edge < size; edge += 5 * kBlock) expect_read(h, f, edge - 7, 20);
    expect_read(h, f, size - 10, 100);
    EXPECT_EQ(cached_read(h, nullptr, 0), 0);
    std::vector<uint8_t> buf(10);
    EXPECT_EQ(cached_read(h, buf.data(), 10), 0);
    expect_read(h, f, size + 5 * kBlock, 10);
    cached_close(h);
  }
}

TEST_F(FileReadCacheTest, MissNeedsOneSeekAndReadsTheBlocksTheRequestTouches)
{
  const int h = cached_open(large().path.c_str(), O_RDONLY, 0);
  expect_read(h, large(), 40000, 100);
  EXPECT_EQ(g_io.lseeks, 1);
  EXPECT_EQ(g_io.last_lseek, static_cast<int64_t>(kBlock));
  EXPECT_EQ(g_io.reads, 1);
  EXPECT_EQ(g_io.last_request, kBlock);

  // One request over 200 blocks is served by one read of the 129-block limit, then another.
  g_io.reset();
  expect_read(h, large(), 10 * kBlock, 200 * kBlock);
  EXPECT_EQ(g_io.reads, 2);
  EXPECT_EQ(g_io.bytes, static_cast<int64_t>(200 * kBlock));
  cached_close(h);

  // Sequential misses earn read-ahead: reads of 2, 3, ... 8 blocks (35 in all), then 8 each.
  g_io.reset();
  const int s = cached_open(large().path.c_str(), O_RDONLY, 0);
  std::vector<uint8_t> buf(4096);
  for (size_t i = 0; i < 100 * kBlock / 4096; ++i) ASSERT_EQ(cached_read(s, buf.data(), 4096), 4096);
  EXPECT_EQ(g_io.lseeks, 0);
  EXPECT_EQ(g_io.reads, 7 + (100 - 35 + 7) / 8);
  EXPECT_EQ(g_io.last_request, 8 * kBlock);
  cached_close(s);
}

TEST_F(FileReadCacheTest, EndOfFile_ShortLastBlockThenZero)
{
  const int h = cached_open(f70000().path.c_str(), O_RDONLY, 0);
  std::vector<uint8_t> buf(100000);
  ASSERT_EQ(cached_read(h, buf.data(), buf.size()), 70000);
  EXPECT_EQ(0, memcmp(buf.data(), f70000().bytes.data(), 70000));
  const int reads = g_io.reads;
  EXPECT_EQ(cached_read(h, buf.data(), buf.size()), 0);
  EXPECT_EQ(cached_read(h, buf.data(), buf.size()), 0);
  // The end, once seen, is answered from the cache.
  EXPECT_EQ(g_io.reads, reads);
  cached_close(h);
}

TEST_F(FileReadCacheTest, HandlesOnTheSameFileShareOneCache)
{
  const int a = cached_open(large().path.c_str(), O_RDONLY, 0);
  const int b = cached_open(large().path.c_str(), O_RDONLY, 0);
  EXPECT_EQ(g_io.opens, 1);
  expect_read(a, large(), 0, 65536);
  EXPECT_EQ(g_io.bytes, 65536);
  expect_read(b, large(), 0, 65536);
  EXPECT_EQ(g_io.bytes, 65536) << "the second handle must be served from the cache";
  EXPECT_EQ(g_io.reads, 1);
  // Each handle keeps its own position.
  EXPECT_EQ(cached_seek(a, 0, SEEK_CUR), 65536);
  ASSERT_EQ(cached_seek(b, 100, SEEK_SET), 100);
  EXPECT_EQ(cached_seek(a, 0, SEEK_CUR), 65536);

  // Other open flags: a descriptor and a cache of their own.
  const int c = cached_open(large().path.c_str(), O_RDONLY | O_NOCTTY, 0);
  EXPECT_EQ(g_io.opens, 2);
  expect_read(c, large(), 0, 65536);
  EXPECT_EQ(g_io.bytes, 2 * 65536);
  cached_close(a);
  cached_close(b);
  cached_close(c);

  // The last close drops the cache: opening again reads the disk again.
  g_io.reset();
  const int d = cached_open(large().path.c_str(), O_RDONLY, 0);
  expect_read(d, large(), 0, 65536);
  EXPECT_EQ(g_io.opens, 1);
  EXPECT_EQ(g_io.bytes, 65536);
  cached_close(d);
}

TEST_F(FileReadCacheTest, The257thBlockEvictsTheLeastRecentlyUsed)
{
  const int h = cached_open(large().path.c_str(), O_RDONLY, 0);
  // Backwards, one byte per block: no read-ahead, one fetch per block.
  for (int block = 256; block >= 0; --block) expect_read(h, large(), block * kBlock, 1);
  EXPECT_EQ(g_io.reads, 257);
  expect_read(h, large(), 1 * kBlock + 5, 1);
  EXPECT_EQ(g_io.reads, 257) << "block 1 is still cached";
  expect_read(h, large(), 256 * kBlock + 5, 1);
  EXPECT_EQ(g_io.reads, 258) << "block 256 was the least recently used and left";
  cached_close(h);
}

TEST_F(FileReadCacheTest, UnknownHandles_AndHandlesAreNeverReused)
{
  const int a = cached_open(small().path.c_str(), O_RDONLY, 0);
  ASSERT_GE(a, 1);
  EXPECT_EQ(cached_close(a), 0);
  const int b = cached_open(small().path.c_str(), O_RDONLY, 0);
  EXPECT_EQ(b, a + 1);
  cached_close(b);

  char byte;
  struct stat st;
  for (int h : {a, b, 0, -3, 1 << 30}) {
    EXPECT_EQ(cached_close(h), 0);
    errno = 0;
    EXPECT_EQ(cached_read(h, &byte, 1), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(cached_seek(h, 0, SEEK_SET), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(cached_fstat(h, &st), -1);
    EXPECT_EQ(errno, EBADF);
  }

  errno = 0;
  const std::string missing = std::string(dir_) + "/missing";
  EXPECT_EQ(cached_open(missing.c_str(), O_RDONLY, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(cached_open(nullptr, O_RDONLY, 0), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileReadCacheTest, Seek_EndUsesOneFstatAndBadRequestsLeaveThePosition)
{
  const int h = cached_open(few_blocks().path.c_str(), O_RDONLY, 0);
  const int64_t size = static_cast<int64_t>(few_blocks().bytes.size());
  EXPECT_EQ(cached_seek(h, 0, SEEK_END), size);
  EXPECT_EQ(cached_seek(h, -10, SEEK_END), size - 10);
  EXPECT_EQ(g_io.fstats, 1);
  EXPECT_EQ(cached_seek(h, 5, SEEK_CUR), size - 5);

  ASSERT_EQ(cached_seek(h, 1000, SEEK_SET), 1000);
  errno = 0;
  EXPECT_EQ(cached_seek(h, -1, SEEK_SET), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(cached_seek(h, -1001, SEEK_CUR), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(cached_seek(h, -size - 1, SEEK_END), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(cached_seek(h, INT64_MAX, SEEK_CUR), -1);
  EXPECT_EQ(errno, EOVERFLOW);
  errno = 0;
  EXPECT_EQ(cached_seek(h, 0, 7), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(g_io.opens, 1) << "a refused seek is no I/O failure: no reopen";
  EXPECT_EQ(cached_seek(h, 0, SEEK_CUR), 1000);
  expect_read(h, few_blocks(), 1000, 10);
  cached_close(h);

  // SEEK_END while the size is unknown and fstat fails: -1, errno, position kept.
  const int s = cached_open(few_blocks().path.c_str(), O_RDONLY, 0);
  ASSERT_EQ(cached_seek(s, 300, SEEK_SET), 300);
  g_io.failing_fstat = true;
  errno = 0;
  EXPECT_EQ(cached_seek(s, 0, SEEK_END), -1);
  EXPECT_EQ(errno, EIO);
  g_io.failing_fstat = false;
  EXPECT_EQ(cached_seek(s, 0, SEEK_CUR), 300);
  EXPECT_EQ(cached_seek(s, 0, SEEK_END), size);
  cached_close(s);
}

TEST_F(FileReadCacheTest, ReadFailingMidRequest_ReturnsWhatWasCopiedAndLosesNothing)
{
  const int h = cached_open(large().path.c_str(), O_RDONLY, 0);
  // Blocks 0 and 1 cached (the first miss earns one block of read-ahead).
  expect_read(h, large(), 0, 100);
  ASSERT_EQ(cached_seek(h, 0, SEEK_SET), 0);

  // Block 2 fails once: the call returns the two cached blocks, the next one goes on.
  g_io.failing_reads = 1;
  std::vector<uint8_t> got(4 * kBlock);
  ASSERT_EQ(cached_read(h, got.data(), got.size()), static_cast<ssize_t>(2 * kBlock));
  EXPECT_EQ(0, memcmp(got.data(), large().bytes.data(), 2 * kBlock));
  EXPECT_EQ(cached_seek(h, 0, SEEK_CUR), static_cast<int64_t>(2 * kBlock));
  ASSERT_EQ(cached_read(h, got.data(), got.size()), static_cast<ssize_t>(4 * kBlock));
  EXPECT_EQ(0, memcmp(got.data(), large().bytes.data() + 2 * kBlock, 4 * kBlock));

  // A failure on a fresh block is retried once after reopening.
  g_io.reset();
  g_io.failing_reads = 1;
  expect_read(h, large(), 100 * kBlock + 3, 50000);
  EXPECT_EQ(g_io.opens, 1);

  // A lasting failure: the copied part, then a clean error, and the position stays at the
  // first byte not returned.
  ASSERT_EQ(cached_seek(h, 100 * kBlock + 3, SEEK_SET), static_cast<int64_t>(100 * kBlock + 3));
  g_io.failing_reads = -1;
  const int64_t cached_end = 100 * kBlock + 3 + 50000;
  const int64_t cached_bytes = 102 * kBlock - (100 * kBlock + 3);  // blocks 100 and 101
  ASSERT_LE(cached_end, 102 * static_cast<int64_t>(kBlock));
  ASSERT_EQ(cached_read(h, got.data(), got.size()), cached_bytes);
  EXPECT_EQ(0, memcmp(got.data(), large().bytes.data() + 100 * kBlock + 3, cached_bytes));
  errno = 0;
  EXPECT_EQ(cached_read(h, got.data(), got.size()), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(cached_seek(h, 0, SEEK_CUR), static_cast<int64_t>(102 * kBlock));
  g_io.failing_reads = 0;
  expect_read(h, large(), 102 * kBlock, 3 * kBlock);
  cached_close(h);
}

TEST_F(FileReadCacheTest, FileRemovedWhileOpen_ReopenFailsCleanly)
{
  const std::string path = std::string(dir_) + "/doomed";
  const std::vector<uint8_t> bytes = pattern(5 * kBlock, 99);
  ASSERT_TRUE(g_file_set_contents(path.c_str(), reinterpret_cast<const char *>(bytes.data()),
                                  bytes.size(), nullptr));
  const int h = cached_open(path.c_str(), O_RDONLY, 0);
  std::vector<uint8_t> got(kBlock);
  ASSERT_EQ(cached_read(h, got.data(), 100), 100);
  ASSERT_EQ(g_unlink(path.c_str()), 0);

  // The open descriptor still reads the removed file.
  ASSERT_EQ(cached_seek(h, 3 * kBlock, SEEK_SET), static_cast<int64_t>(3 * kBlock));
  ASSERT_EQ(cached_read(h, got.data(), 10), 10);
  EXPECT_EQ(0, memcmp(got.data(), bytes.data() + 3 * kBlock, 10));

  // A failing read now reopens, which fails: clean errors from here on, no crash.
  ASSERT_EQ(cached_seek(h, 4 * kBlock, SEEK_SET), static_cast<int64_t>(4 * kBlock));
  g_io.failing_reads = 1;
  errno = 0;
  EXPECT_EQ(cached_read(h, got.data(), kBlock), -1);
  EXPECT_EQ(g_io.opens, 2) << "one reopen";
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(cached_read(h, got.data(), kBlock), -1);
    struct stat st;
    EXPECT_LT(cached_fstat(h, &st), 0);
  }
  EXPECT_EQ(cached_close(h), 0);
}

TEST_F(FileReadCacheTest, ShortReadsFromAFifoAreNotEndOfFile)
{
  const std::string path = std::string(dir_) + "/fifo";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  const std::vector<uint8_t> bytes = pattern(3 * kBlock + 500, 5);
  std::thread writer([&] {
    // A reader that stops early makes write fail with EPIPE instead of killing the process.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) return;
    // Pieces with pauses, so that the reader sees short reads inside blocks.
    for (size_t done = 0, piece = 1000; done < bytes.size(); done += piece, piece *= 3) {
      const size_t n = std::min(piece, bytes.size() - done);
      if (::write(fd, bytes.data() + done, n) != static_cast<ssize_t>(n)) break;
      g_usleep(20000);
    }
    ::close(fd);
  });
  const int h = cached_open(path.c_str(), O_RDONLY, 0);
  ASSERT_GE(h, 1);
  std::vector<uint8_t> all, buf(4096);
  for (ssize_t r; (r = cached_read(h, buf.data(), buf.size())) > 0;)
    all.insert(all.end(), buf.begin(), buf.begin() + r);
  cached_close(h);
  writer.join();
  EXPECT_EQ(all.size(), bytes.size());
  EXPECT_TRUE(all == bytes);
  EXPECT_EQ(g_io.lseeks, 0);
  g_unlink(path.c_str());
}

TEST_F(FileReadCacheTest, LentBlocksMatchTheFileAndOutliveTheCache)
{
  const int h = cached_open(few_blocks().path.c_str(), O_RDONLY, 0);
  ASSERT_EQ(cached_seek(h, kBlock - 10, SEEK_SET), static_cast<int64_t>(kBlock - 10));
  size_t offset = 0, length = 0;
  ssize_t error = 0;
  fn::AutoPtr<CachedBlock> block = cached_read_block(h, 100, &offset, &length, &error);
  ASSERT_TRUE(block);
  EXPECT_EQ(offset, kBlock - 10);
  EXPECT_EQ(length, 10u) << "a lent piece ends at its block";
  EXPECT_EQ(cached_seek(h, 0, SEEK_CUR), static_cast<int64_t>(kBlock));
  cached_close(h);
  // Closing the last handle dropped the cache; the lent block stays valid.
  EXPECT_EQ(0, memcmp(block->bytes.data() + offset, few_blocks().bytes.data() + kBlock - 10, 10));

  EXPECT_FALSE(cached_read_block(h, 100, &offset, &length, &error));
  EXPECT_EQ(error, -1);
}

// Eight threads, two handles on each of four files, random seeks and reads checked byte for
// byte, while another thread opens and closes handles on the same files. Meant to run under
// ThreadSanitizer as well (a build with -Db_sanitize=thread).
TEST_F(FileReadCacheTest, ConcurrentReadersSeeTheFile)
{
  fn::posix::testing::setCalls(nullptr);
  const std::vector<const TestFile *> files = {&small(), &one_block(), &few_blocks(), &large()};
  std::atomic<int> bad{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&, t] {
      const TestFile &f = *files[t % 4];
      const int h = cached_open(f.path.c_str(), O_RDONLY, 0);
      if (h < 1) {
        ++bad;
        return;
      }
      std::mt19937 rng(t);
      std::vector<uint8_t> buf(3 * kBlock);
      const int64_t size = static_cast<int64_t>(f.bytes.size());
      for (int i = 0; i < 400; ++i) {
        const int64_t pos = std::uniform_int_distribution<int64_t>(0, size)(rng);
        const size_t n = std::uniform_int_distribution<size_t>(1, buf.size())(rng);
        if (cached_seek(h, pos, SEEK_SET) != pos) ++bad;
        const ssize_t r = cached_read(h, buf.data(), n);
        const size_t want = std::min<size_t>(n, size - pos);
        if (r != static_cast<ssize_t>(want) || memcmp(buf.data(), f.bytes.data() + pos, want))
          ++bad;
      }
      cached_close(h);
    });
  }
  std::thread churn([&] {
    for (int i = 0; !done; ++i) {
      const TestFile &f = *files[i % 4];
      const int h = cached_open(f.path.c_str(), O_RDONLY, 0);
      uint8_t byte;
      if (h < 1 || cached_read(h, &byte, 1) != 1 || byte != f.bytes[0]) ++bad;
      cached_close(h);
    }
  });
  for (auto &t : readers) t.join();
  done = true;
  churn.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
