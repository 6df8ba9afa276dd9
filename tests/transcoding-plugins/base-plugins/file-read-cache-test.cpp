#include "transcoding-plugins/base-plugins/file-read-cache.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/posix.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

constexpr int64_t kBlock = 32768;
using Bytes = std::vector<uint8_t>;

// Counts the reads and seeks under the cache and fails reads on request.
struct Io {
  std::atomic<int> reads{0}, lseeks{0}, opens{0};
  std::atomic<int64_t> bytes{0};
  // Reads still to fail with EIO; -1 fails every read.
  std::atomic<int> failing{0};

  ssize_t read(ssize_t (*call)(int, const struct iovec *, int), int fd, const struct iovec *iov,
               int count) {
    ++reads;
    for (int left = failing; left != 0;)
      if (left < 0 || failing.compare_exchange_weak(left, left - 1)) return errno = EIO, -1;
    const ssize_t r = call(fd, iov, count);
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
      return g_io.read(&::readv, fd, &one, 1);
    },
    [](int fd, const struct iovec *iov, int count) { return g_io.read(&::readv, fd, iov, count); },
    [](int fd, off_t offset, int whence) { return ++g_io.lseeks, ::lseek(fd, offset, whence); },
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
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  const struct timespec times[2] = {{stamp, 0}, {stamp, 0}};
  ++stamp;
  EXPECT_EQ(futimens(fd, times), 0);
  ::close(fd);
}

// `n` bytes from `pos` (from the handle's position if negative); a failing read fails the test.
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
// on one file share its blocks, 256 at most; the end of the file, once seen, needs no read.
TEST_F(FileReadCacheTest, ReadsAreByteExact_AndReadTheDiskOnlyWhenTheyMust)
{
  struct Op {
    int handle;
    int64_t pos, n;
    int times = 1;
    int64_t step = 0;
  };
  struct Case {
    const char *name;
    int file;
    std::vector<Op> ops;
    int reads, lseeks;
    int64_t bytes;
  };
  const int64_t last = 288 * kBlock;  // the 777-byte block of file 3
  const Case cases[] = {
      {"small file whole", 0, {{0, 0, 5000}, {0, 0, 5000}}, 1, 0, 1000},
      {"one block in 4 KiB pieces", 1, {{0, 0, 4096, 9, 4096}}, 1, 0, kBlock},
      {"chunks over block edges",
       2,
       {{0, 0, 40000, 3, 40000}, {0, kBlock - 7, 20}},
       2,
       0,
       3 * kBlock + 1234},
      {"past the end", 2, {{0, 5 * kBlock, 10}, {0, 3 * kBlock + 1230, 100}}, 1, 1, 1234},
      {"miss in block 1", 3, {{0, 40000, 100}}, 1, 1, kBlock},
      {"200 blocks at once", 3, {{0, 10 * kBlock, 200 * kBlock}}, 2, 1, 200 * kBlock},
      {"read-ahead 2, 3, ... 8 blocks", 3, {{0, 0, 4096, 800, 4096}}, 7 + 9, 0, 107 * kBlock},
      {"second handle shares",
       3,
       {{0, 0, 65536}, {1, 0, 65536}, {1, last, 1000}, {1, last, 1000}},
       2,
       1,
       65536 + 777},
      {"other flags: own cache", 3, {{0, 0, 65536}, {2, 0, 65536}}, 2, 0, 2 * 65536},
      {"block 1 stays, 256 leaves",
       3,
       {{0, 256 * kBlock, 1, 257, -kBlock}, {0, kBlock + 5, 1}, {0, 256 * kBlock + 5, 1}},
       258,
       258,
       258 * kBlock},
      {"whole 9 MiB in 5 MB chunks", 3, {{0, 0, 5000000, 2, 5000000}}, 4, 0, 9 * 1024 * 1024 + 777},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const int handles[] = {open(c.file), open(c.file), open(c.file, O_RDONLY | O_NOCTTY)};
    g_io.reads = g_io.lseeks = 0;
    g_io.bytes = 0;
    for (const Op &op : c.ops)
      for (int i = 0; i < op.times; ++i) {
        const int64_t pos = op.pos + i * op.step;
        ASSERT_TRUE(read_at(handles[op.handle], pos, op.n, op.n) ==
                    slice(files_[c.file], pos, pos + op.n))
            << pos;
      }
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
    errno = 0;
    EXPECT_EQ(cached_read(h, &st, 1) + cached_seek(h, 0, SEEK_SET) + cached_fstat(h, &st), -3);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(cached_close(h), 0);
  }
  errno = 0;
  EXPECT_EQ(cached_open(nullptr, O_RDONLY, 0), -1);
  EXPECT_EQ(errno, ENOENT);

  const int h = open(2);
  const int64_t size = static_cast<int64_t>(files_[2].size());
  EXPECT_EQ(cached_seek(h, -10, SEEK_END), size - 10);
  EXPECT_EQ(cached_seek(h, 5, SEEK_CUR), size - 5);
  ASSERT_EQ(cached_seek(h, 1000, SEEK_SET), 1000);
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
}

TEST_F(FileReadCacheTest, ReadFailures_RetriedOnceAfterReopening_CopiedBytesNeverLost)
{
  const Bytes &large = files_[3];
  const int h = open(3);
  // A failure on a fresh block is retried once on a new descriptor.
  g_io.opens = 0;
  g_io.failing = 1;
  EXPECT_TRUE(read_at(h, 100 * kBlock + 3, 50000, 50000) ==
              slice(large, 100 * kBlock + 3, 100 * kBlock + 50003));
  EXPECT_EQ(g_io.opens, 1);
  // A lasting one: the cached part (blocks 100 and 101), then a clean error, and the position
  // stays at the first byte not returned.
  ASSERT_EQ(cached_seek(h, 100 * kBlock + 3, SEEK_SET), 100 * kBlock + 3);
  g_io.failing = -1;
  Bytes got(4 * kBlock);
  EXPECT_EQ(cached_read(h, got.data(), got.size()), 2 * kBlock - 3);
  errno = 0;
  EXPECT_EQ(cached_read(h, got.data(), got.size()), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(cached_seek(h, 0, SEEK_CUR), 102 * kBlock);
  g_io.failing = 0;
  // Failing once after cached blocks: the call returns those, the next one goes on.
  read_at(h, 0, 100);
  g_io.failing = 1;
  EXPECT_TRUE(read_at(h, 0, INT64_MAX, 4 * kBlock) == large);
  cached_close(h);
}

// A handle reads 40000 bytes (two blocks cached), the file changes, a new handle reads it
// whole, then the first one reads on.
TEST_F(FileReadCacheTest, FileChangedWhileOpen_NewHandlesSeeIt_OldOnesNeverMixOldAndNew)
{
  enum Change { kReplace, kRemove, kRewrite, kTruncate, kAppend };
  const struct {
    const char *name;
    Change change;
    size_t size;  // of the file after the change
    int failing;  // reads to fail after it: a second failure starts a read and reopens
    bool stale;   // the old handle fails with ESTALE instead of reading on
  } cases[] = {
      {"replaced by a rename", kReplace, 6 * kBlock, 0, false},
      {"replaced, then the descriptor fails", kReplace, 6 * kBlock, 2, false},
      {"removed, then the descriptor fails", kRemove, 0, 2, false},
      {"rewritten in place, same size", kRewrite, 5 * kBlock + 100, 0, true},
      {"rewritten in place, shorter", kRewrite, 100000, 0, true},
      {"truncated", kTruncate, 50000, 0, false},
      {"appended to", kAppend, 7 * kBlock, 0, false},
  };
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
        ASSERT_TRUE(
            g_file_set_contents(p.c_str(), reinterpret_cast<char *>(now.data()), c.size, nullptr));
        break;
      case kRemove:
        g_unlink(p.c_str());
        break;
      case kRewrite:
        write_in_place(p, now);
        break;
      case kTruncate:
        now = slice(old, 0, c.size);
        ASSERT_EQ(truncate(p.c_str(), c.size), 0);
        break;
      case kAppend: {
        const Bytes tail = slice(now, old.size());
        write_in_place(p, tail, O_APPEND);
        now = old;
        now.insert(now.end(), tail.begin(), tail.end());
        break;
      }
    }
    const int b = cached_open(p.c_str(), O_RDONLY, 0);
    EXPECT_TRUE((b < 1 ? Bytes() : read_at(b, 0)) == now) << "a new handle reads the file as it is";
    cached_close(b);
    g_io.failing = c.failing;
    uint8_t byte;
    for (int i = 0; c.stale && i < 2; ++i) {
      errno = 0;
      EXPECT_EQ(cached_read(a, &byte, 1), -1);
      EXPECT_EQ(errno, ESTALE);
    }
    const Bytes &was = c.change == kReplace || c.change == kRemove ? old : now;
    EXPECT_TRUE(c.stale || read_at(a, -1) == slice(was, 40000)) << "the old handle reads on";
    cached_close(a);
  }
  g_unlink(p.c_str());
}

TEST_F(FileReadCacheTest, LentBlocksMatchTheFileAndOutliveTheCache)
{
  const int h = open(2);
  ASSERT_EQ(cached_seek(h, kBlock - 10, SEEK_SET), kBlock - 10);
  size_t offset = 0, length = 0;
  ssize_t error = 0;
  fn::AutoPtr<CachedBlock> block = cached_read_block(h, 100, &offset, &length, &error);
  ASSERT_TRUE(block);
  EXPECT_EQ(length, 10u) << "a lent piece ends at its block";
  EXPECT_EQ(cached_seek(h, 0, SEEK_CUR), kBlock);
  cached_close(h);
  EXPECT_TRUE(Bytes(block->bytes.data() + offset, block->bytes.data() + offset + 10) ==
              slice(files_[2], kBlock - 10, kBlock));
  EXPECT_FALSE(cached_read_block(h, 100, &offset, &length, &error));
  EXPECT_EQ(error, -1);
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

// Pipelines in one process reading one file through cachedfilesrc at once, in pull mode (the
// demuxer jumping to the index at the end and back) and in push mode, put out exactly what a
// single run through the stock filesrc does.
TEST_F(FileReadCacheTest, PipelinesSharingAFile_PutOutWhatASingleRunDoes)
{
  fn::posix::testing::setCalls(nullptr);
  const std::string clip = testsupport::media::command_clip(
      "shared-read.mp4",
      "ffmpeg -v error -f lavfi -i testsrc=size=160x120:rate=25 -frames:v 50 -c:v libx264 "
      "-bf 2 -pix_fmt yuv420p -f mp4 {out}");
  ASSERT_FALSE(clip.empty());
  auto run = [&](const char *source, int count) {
    std::vector<testsupport::Ref<GstElement>> pipelines;
    std::vector<std::unique_ptr<GChecksum, decltype(&g_checksum_free)>> sums;
    for (int i = 0; i < count; ++i) {
      pipelines.push_back(gstref::adopt(gst_parse_launch(
          (std::string(source) + " location=\"" + clip + (i % 2 ? "\" ! queue" : "\"") +
           " ! qtdemux ! fakesink name=sink signal-handoffs=true")
              .c_str(),
          nullptr)));
      sums.emplace_back(g_checksum_new(G_CHECKSUM_SHA256), g_checksum_free);
      auto sink = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipelines.back().get()), "sink"));
      g_signal_connect(sink.get(), "handoff",
                       G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *, gpointer sum) {
                         const GstClockTime pts = GST_BUFFER_PTS(buffer);
                         const Bytes bytes = testsupport::buffer_bytes(buffer);
                         auto *checksum = static_cast<GChecksum *>(sum);
                         g_checksum_update(checksum, reinterpret_cast<const guchar *>(&pts), 8);
                         g_checksum_update(checksum, bytes.data(), bytes.size());
                       }),
                       sums.back().get());
    }
    for (auto &p : pipelines) gst_element_set_state(p.get(), GST_STATE_PLAYING);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
      auto bus = gstref::adopt(gst_element_get_bus(pipelines[i].get()));
      auto msg = gstref::adopt(gst_bus_timed_pop_filtered(
          bus.get(), 60 * GST_SECOND,
          static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
      EXPECT_TRUE(msg && GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_EOS) << source << " " << i;
      gst_element_set_state(pipelines[i].get(), GST_STATE_NULL);
      out.push_back(g_checksum_get_string(sums[i].get()));
    }
    return out;
  };
  const std::string single = run("filesrc", 1)[0];
  for (const std::string &sum : run("cachedfilesrc", 6)) EXPECT_EQ(sum, single);
}

}  // namespace
