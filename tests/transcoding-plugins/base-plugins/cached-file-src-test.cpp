#include "transcoding-plugins/base-plugins/cached-file-src.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "tests/support/glog-guard.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using testsupport::Ref;
using Bytes = std::vector<uint8_t>;

Bytes
random_bytes(size_t size, unsigned seed)
{
  Bytes bytes(size);
  std::mt19937 rng(seed);
  for (auto &b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

class CachedFileSrcTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { dir_ = g_dir_make_tmp("cachedfilesrc-XXXXXX", nullptr); }
  static void TearDownTestSuite() { g_rmdir(dir_), g_free(dir_); }
  static std::string path(const char *name) { return std::string(dir_) + "/" + name; }

  // A new file (renamed over any old one) of `size` bytes from `seed`.
  static Bytes make_file(const std::string &p, size_t size, unsigned seed = 1) {
    const Bytes bytes = random_bytes(size, seed);
    EXPECT_TRUE(g_file_set_contents(p.c_str(), reinterpret_cast<const char *>(bytes.data()), size,
                                    nullptr));
    return bytes;
  }

  // `description` with a fakesink named "sink" whose buffers are appended to `out`.
  static Ref<GstElement> pipeline(const std::string &description, Bytes *out) {
    Ref<GstElement> p = gstref::adopt(gst_parse_launch(description.c_str(), nullptr));
    Ref<GstElement> sink = gstref::adopt(gst_bin_get_by_name(GST_BIN(p.get()), "sink"));
    g_object_set(sink.get(), "signal-handoffs", TRUE, "sync", FALSE, nullptr);
    g_signal_connect(sink.get(), "handoff",
                     G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *, gpointer out) {
                       const Bytes bytes = testsupport::buffer_bytes(buffer);
                       static_cast<Bytes *>(out)->insert(static_cast<Bytes *>(out)->end(),
                                                         bytes.begin(), bytes.end());
                     }),
                     out);
    return p;
  }

  // Plays `p` from READY to EOS and back to READY: true at EOS, false on an error.
  static bool play(GstElement *p) {
    gst_element_set_state(p, GST_STATE_PLAYING);
    Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(p));
    Ref<GstMessage> msg = gstref::adopt(gst_bus_timed_pop_filtered(
        bus.get(), 60 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    gst_element_set_state(p, GST_STATE_READY);
    return msg && GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_EOS;
  }

  static inline gchar *dir_ = nullptr;
};

// Pull mode at the end of the file: a short buffer, then EOS; built from the cached blocks or
// filled into a buffer handed in.
TEST_F(CachedFileSrcTest, Pull_ShortTailThenEos)
{
  const std::string p = path("tail");
  const Bytes bytes = make_file(p, 3 * 32768 + 4000);
  Ref<GstElement> src = gstref::adopt(gst_element_factory_make("cachedfilesrc", nullptr));
  gst_object_ref_sink(src.get());
  g_object_set(src.get(), "location", p.c_str(), nullptr);
  ASSERT_EQ(gst_element_set_state(src.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(src.get(), "src"));
  ASSERT_TRUE(gst_pad_activate_mode(pad.get(), GST_PAD_MODE_PULL, TRUE));
  const guint64 size = bytes.size();
  GstBuffer *out[2] = {nullptr, gst_buffer_new_allocate(nullptr, 4096, nullptr)};
  for (GstBuffer *&buffer : out) {
    GstBuffer *at_end = buffer ? gst_buffer_new_allocate(nullptr, 4096, nullptr) : nullptr;
    ASSERT_EQ(gst_pad_get_range(pad.get(), size - 100, 4096, &buffer), GST_FLOW_OK);
    EXPECT_EQ(GST_BUFFER_OFFSET(buffer), size - 100);
    EXPECT_EQ(GST_BUFFER_OFFSET_END(buffer), size);
    EXPECT_EQ(gst_pad_get_range(pad.get(), size, 4096, &at_end), GST_FLOW_EOS);
    if (at_end) gst_buffer_unref(at_end);
  }
  gst_pad_activate_mode(pad.get(), GST_PAD_MODE_PULL, FALSE);
  gst_element_set_state(src.get(), GST_STATE_NULL);
  // The cache is gone; the blocks lent to the buffer are not. (GstBaseSrc clips the request to
  // the size and leaves the rest of a buffer handed in alone.)
  for (GstBuffer *buffer : out) {
    Bytes got = testsupport::buffer_bytes(buffer);
    got.resize(100);
    EXPECT_TRUE(got == Bytes(bytes.end() - 100, bytes.end()));
    gst_buffer_unref(buffer);
  }
  g_unlink(p.c_str());
}

// Each failure posts its RESOURCE error, and the cache handle of a file that opened is closed
// again (no descriptor is left behind).
TEST_F(CachedFileSrcTest, FilesItCannotRead_PostResourceErrors)
{
  const std::string plain = path("plain"), missing = path("missing.mp4"), dir = dir_;
  make_file(plain, 10);
  auto descriptors = [] {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d)) ++n;
    closedir(d);
    return n;
  };
  const struct {
    std::string location, message, debug;
  } cases[] = {
      {"", "No file name specified for reading.", ""},
      {missing, "Resource not found.", "No such file \"" + missing + "\""},
      {dir, "\"" + dir + "\" is a directory.", ""},
      {plain + "/x", "Could not open file \"" + plain + "/x\" for reading.",
       std::string("system error: ") + g_strerror(ENOTDIR)},
  };
  for (const auto &c : cases) {
    const int before = descriptors();
    const testsupport::PipelineResult r =
        testsupport::run_pipeline("cachedfilesrc location=\"" + c.location + "\" ! fakesink");
    EXPECT_EQ(r.error.rfind(c.message + " (", 0), 0u) << r.error;
    EXPECT_NE(r.error.find(c.debug + ")"), std::string::npos) << r.error;
    EXPECT_EQ(descriptors(), before) << c.location;
  }
  g_unlink(plain.c_str());
}

// Files that report no size are read to their end, like filesrc reads them: /proc files (whose
// values change from read to read) and a FIFO. The FIFO is opened before its writer, and
// another pipeline reads a file meanwhile.
TEST_F(CachedFileSrcTest, FilesWithoutASize_ReadToTheirEnd)
{
  gchar *status = nullptr;
  ASSERT_TRUE(g_file_get_contents("/proc/self/status", &status, nullptr, nullptr));
  const std::string first_line = std::string(status).substr(0, std::string(status).find('\n'));
  const auto lines = std::count(status, status + strlen(status), '\n');
  g_free(status);
  Bytes out, plain_out;
  Ref<GstElement> p =
      pipeline("cachedfilesrc location=/proc/self/status ! fakesink name=sink", &out);
  EXPECT_TRUE(play(p.get()));
  EXPECT_EQ(std::string(out.begin(), out.end()).substr(0, first_line.size()), first_line);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), lines);
  gst_element_set_state(p.get(), GST_STATE_NULL);

  const std::string fifo = path("fifo"), plain = path("plain");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const Bytes fifo_bytes = random_bytes(100000, 3), plain_bytes = make_file(plain, 5000);
  out.clear();
  p = pipeline("cachedfilesrc location=\"" + fifo + "\" ! fakesink name=sink", &out);
  Ref<GstElement> q =
      pipeline("cachedfilesrc location=\"" + plain + "\" ! fakesink name=sink", &plain_out);
  std::future<bool> fifo_run = std::async(std::launch::async, [&] { return play(p.get()); });
  g_usleep(100000);
  std::future<bool> other = std::async(std::launch::async, [&] { return play(q.get()); });
  EXPECT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready)
      << "a FIFO waiting for its writer held up another file";
  // More than the pipe holds: the reader sees short reads.
  const int fd = ::open(fifo.c_str(), O_WRONLY);
  EXPECT_EQ(::write(fd, fifo_bytes.data(), fifo_bytes.size()), 100000);
  ::close(fd);
  EXPECT_TRUE(fifo_run.get() && out == fifo_bytes);
  EXPECT_TRUE(other.get() && plain_out == plain_bytes);
  gst_element_set_state(p.get(), GST_STATE_NULL);
  gst_element_set_state(q.get(), GST_STATE_NULL);
  g_unlink(fifo.c_str());
  g_unlink(plain.c_str());
}

// A file replaced while a pipeline reads it: that pipeline reads it to the end as it was, a new
// one and the same one restarted read the new file. Buffers smaller and larger than a block.
TEST_F(CachedFileSrcTest, FileReplaced_OpenPipelineReadsTheOld_NewAndRestartedOnesTheNew)
{
  const std::string p = path("replaced");
  const Bytes old = make_file(p, 16 * 32768, 1);
  Bytes out, b_out;
  Ref<GstElement> a =
      pipeline("cachedfilesrc blocksize=1000 location=\"" + p + "\" ! fakesink name=sink", &out);
  gst_element_set_state(a.get(), GST_STATE_PAUSED);
  ASSERT_EQ(gst_element_get_state(a.get(), nullptr, nullptr, 10 * GST_SECOND),
            GST_STATE_CHANGE_SUCCESS);
  const Bytes now = make_file(p, 20 * 32768 + 5, 2);
  Ref<GstElement> b = pipeline(
      "cachedfilesrc blocksize=100000 location=\"" + p + "\" ! fakesink name=sink", &b_out);
  EXPECT_TRUE(play(b.get()) && b_out == now) << "a new pipeline reads the new file";
  EXPECT_TRUE(play(a.get()) && out == old) << "the open pipeline reads the old file to its end";
  out.clear();
  EXPECT_TRUE(play(a.get()) && out == now) << "restarted, it reads the new file, whole";
  gst_element_set_state(a.get(), GST_STATE_NULL);
  gst_element_set_state(b.get(), GST_STATE_NULL);
  g_unlink(p.c_str());
}

// Local "file" URIs set the location; changing it while the file is open is refused.
TEST_F(CachedFileSrcTest, Location_LocalFileUris_FixedOnceOpen)
{
  Bytes out;
  const std::string p = path("open");
  make_file(p, 5000);
  Ref<GstElement> pipe = pipeline("cachedfilesrc name=src ! fakesink name=sink", &out);
  Ref<GstElement> src = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipe.get()), "src"));
  GstURIHandler *handler = GST_URI_HANDLER(src.get());
  gchar *uri = gst_filename_to_uri(p.c_str(), nullptr);
  const struct {
    const char *uri;
    bool ok;
    const char *location;
  } uris[] = {
      {"file:///tmp/a%20b.mp4", true, "/tmp/a b.mp4"},
      {"file://otherhost/srv/d.mp4", false, "/tmp/a b.mp4"},
      {"file:relative", false, "/tmp/a b.mp4"},
      {"file://", true, nullptr},
      {"file://localhost/srv/c.mp4", true, "/srv/c.mp4"},
      {uri, true, p.c_str()},
  };
  for (const auto &c : uris) {
    EXPECT_EQ(gst_uri_handler_set_uri(handler, c.uri, nullptr), c.ok) << c.uri;
    gchar *location = nullptr;
    g_object_get(src.get(), "location", &location, nullptr);
    EXPECT_STREQ(location, c.location) << c.uri;
    g_free(location);
  }
  gchar *got = gst_uri_handler_get_uri(handler);
  EXPECT_STREQ(got, uri);
  g_free(got);
  g_free(uri);

  ASSERT_NE(gst_element_set_state(pipe.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  gst_element_get_state(pipe.get(), nullptr, nullptr, 10 * GST_SECOND);
  {
    testsupport::ExpectGLog expect(G_LOG_LEVEL_WARNING,
                                   "Changing the `location' property on filesrc when a file is "
                                   "open is not supported.");
    g_object_set(src.get(), "location", "/elsewhere", nullptr);
    GError *error = nullptr;
    EXPECT_FALSE(gst_uri_handler_set_uri(handler, "file:///other", &error));
    EXPECT_TRUE(g_error_matches(error, GST_URI_ERROR, GST_URI_ERROR_BAD_STATE));
    g_clear_error(&error);
    EXPECT_EQ(expect.count(), 2);
  }
  EXPECT_TRUE(play(pipe.get()) && out == random_bytes(5000, 1)) << "still the file opened";
  gst_element_set_state(pipe.get(), GST_STATE_NULL);
  g_unlink(p.c_str());
}

// Pipelines in one process reading one file through cachedfilesrc at once, in pull mode (the
// demuxer jumping to the index at the end and back) and in push mode, put out exactly what a
// single run through filesrc does.
TEST_F(CachedFileSrcTest, PipelinesSharingAFile_PutOutWhatASingleRunDoes)
{
  // Noise keeps it from compressing to a single block.
  const std::string clip = testsupport::media::command_clip(
      "shared-read.mp4",
      "ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25,noise=alls=30:allf=t "
      "-frames:v 75 -c:v libx264 -bf 2 -pix_fmt yuv420p -f mp4 {out}");
  std::vector<Bytes> out(7);
  std::vector<Ref<GstElement>> pipelines;
  for (size_t i = 0; i < out.size(); ++i)
    pipelines.push_back(pipeline(std::string(i ? "cachedfilesrc" : "filesrc") + " location=\"" +
                                     clip + (i % 2 ? "\" ! queue" : "\"") +
                                     " ! qtdemux ! fakesink name=sink",
                                 &out[i]));
  EXPECT_TRUE(play(pipelines[0].get()) && out[0].size() > 100000);
  std::vector<std::future<bool>> runs;
  for (size_t i = 1; i < out.size(); ++i)
    runs.push_back(std::async(std::launch::async, [&, i] { return play(pipelines[i].get()); }));
  for (size_t i = 1; i < out.size(); ++i) EXPECT_TRUE(runs[i - 1].get() && out[i] == out[0]) << i;
  for (auto &p : pipelines) gst_element_set_state(p.get(), GST_STATE_NULL);
}

}  // namespace
