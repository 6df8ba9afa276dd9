#include "transcoding-plugins/base-plugins/cached-file-src.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/glog-guard.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using testsupport::Ref;

struct ErrorReport {
  bool posted = false;
  GQuark domain = 0;
  int code = 0;
  std::string message;
  std::string debug;
};

struct Frame {
  GstClockTime pts;
  std::string md5;
  bool operator==(const Frame &) const = default;
};

int
open_descriptor_count()
{
  int n = 0;
  if (DIR *dir = opendir("/proc/self/fd")) {
    while (readdir(dir)) ++n;
    closedir(dir);
  }
  return n;
}

class CachedFileSrcTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = g_dir_make_tmp("cachedfilesrc-XXXXXX", nullptr);
    ASSERT_NE(dir_, nullptr);
  }
  static void TearDownTestSuite() {
    g_rmdir(dir_);
    g_free(dir_);
  }

  static std::string path(const char *name) { return std::string(dir_) + "/" + name; }

  static std::vector<uint8_t> make_file(const std::string &p, size_t size) {
    std::vector<uint8_t> bytes(size);
    std::mt19937 rng(static_cast<unsigned>(size));
    for (auto &b : bytes) b = static_cast<uint8_t>(rng());
    EXPECT_TRUE(g_file_set_contents(p.c_str(), reinterpret_cast<char *>(bytes.data()), size,
                                    nullptr));
    return bytes;
  }

  // Starts cachedfilesrc ! fakesink on `location` and returns the error it posts.
  static ErrorReport start_error(const char *location) {
    ErrorReport report;
    Ref<GstElement> pipeline = gstref::adopt(gst_pipeline_new(nullptr));
    gst_object_ref_sink(pipeline.get());
    GstElement *src = gst_element_factory_make("cachedfilesrc", nullptr);
    GstElement *sink = gst_element_factory_make("fakesink", nullptr);
    gst_bin_add_many(GST_BIN(pipeline.get()), src, sink, nullptr);
    gst_element_link(src, sink);
    g_object_set(src, "location", location, nullptr);
    EXPECT_EQ(gst_element_set_state(pipeline.get(), GST_STATE_PAUSED),
              GST_STATE_CHANGE_FAILURE);
    Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(pipeline.get()));
    Ref<GstMessage> msg =
        gstref::adopt(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    if (msg) {
      GError *err = nullptr;
      gchar *debug = nullptr;
      gst_message_parse_error(msg.get(), &err, &debug);
      report = {true, err->domain, err->code, err->message, debug ? debug : ""};
      g_clear_error(&err);
      g_free(debug);
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return report;
  }

  // Decoded frames (PTS and MD5 of the I420 picture) of `source` ! qtdemux ! avdec_h264,
  // optionally after a flushing seek to `seek_to` in PAUSED.
  static std::vector<Frame> decode(const std::string &source,
                                   GstClockTime seek_to = GST_CLOCK_TIME_NONE) {
    std::vector<Frame> frames;
    const std::string description =
        source + " ! qtdemux ! h264parse ! avdec_h264 ! "
                 "capsfilter caps=video/x-raw,format=I420 ! "
                 "fakesink name=sink sync=false signal-handoffs=true";
    Ref<GstElement> pipeline = gstref::adopt(gst_parse_launch(description.c_str(), nullptr));
    if (!pipeline) return frames;
    Ref<GstElement> sink = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "sink"));
    g_signal_connect(sink.get(), "handoff",
                     G_CALLBACK(+[](GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
                       GstMapInfo map;
                       if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
                       gchar *md5 = g_compute_checksum_for_data(G_CHECKSUM_MD5, map.data,
                                                                map.size);
                       static_cast<std::vector<Frame> *>(data)->push_back(
                           {GST_BUFFER_PTS(buffer), md5});
                       g_free(md5);
                       gst_buffer_unmap(buffer, &map);
                     }),
                     &frames);
    if (GST_CLOCK_TIME_IS_VALID(seek_to)) {
      gst_element_set_state(pipeline.get(), GST_STATE_PAUSED);
      EXPECT_EQ(gst_element_get_state(pipeline.get(), nullptr, nullptr, 30 * GST_SECOND),
                GST_STATE_CHANGE_SUCCESS);
      frames.clear();
      EXPECT_TRUE(gst_element_seek_simple(
          pipeline.get(), GST_FORMAT_TIME,
          static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), seek_to));
      gst_element_get_state(pipeline.get(), nullptr, nullptr, 30 * GST_SECOND);
    }
    Ref<GstBus> bus = gstref::adopt(gst_element_get_bus(pipeline.get()));
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    Ref<GstMessage> msg = gstref::adopt(gst_bus_timed_pop_filtered(
        bus.get(), 60 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    EXPECT_TRUE(msg && GST_MESSAGE_TYPE(msg.get()) == GST_MESSAGE_EOS) << source;
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return frames;
  }

  static inline gchar *dir_ = nullptr;
};

TEST_F(CachedFileSrcTest, Mp4DecodesLikeFilesrc_AlsoAfterAFlushingSeek)
{
  if (!testsupport::have_factory("avdec_h264") || !testsupport::have_factory("x264enc"))
    GTEST_SKIP() << "needs x264enc and avdec_h264";
  const std::string clip = testsupport::media::h264_mp4();
  ASSERT_FALSE(clip.empty());

  const std::vector<Frame> reference = decode("filesrc location=\"" + clip + "\"");
  ASSERT_EQ(reference.size(), 75u);
  EXPECT_EQ(decode("cachedfilesrc location=\"" + clip + "\""), reference);

  const GstClockTime seek_to = GST_SECOND + 200 * GST_MSECOND;
  const std::vector<Frame> after_seek = decode("filesrc location=\"" + clip + "\"", seek_to);
  ASSERT_FALSE(after_seek.empty());
  ASSERT_LT(after_seek.size(), reference.size()) << "the seek must skip frames";
  EXPECT_EQ(decode("cachedfilesrc location=\"" + clip + "\"", seek_to), after_seek);
}

TEST_F(CachedFileSrcTest, PushedBytesEqualTheFile_AnyBlocksize)
{
  const std::string p = path("bytes");
  const std::vector<uint8_t> bytes = make_file(p, 3 * 32768 + 4000);
  for (int blocksize : {1000, 4096, 32768, 100000}) {
    testsupport::CollectResult r = testsupport::collect_buffers(
        "cachedfilesrc blocksize=" + std::to_string(blocksize) + " location=\"" + p +
        "\" ! fakesink name=sink");
    ASSERT_TRUE(r.ok) << r.error;
    std::vector<uint8_t> got;
    guint64 offset = 0;
    for (const auto &b : r.buffers) {
      EXPECT_EQ(GST_BUFFER_OFFSET(b.get()), offset);
      const std::vector<uint8_t> piece = testsupport::buffer_bytes(b.get());
      offset += piece.size();
      EXPECT_EQ(GST_BUFFER_OFFSET_END(b.get()), offset);
      got.insert(got.end(), piece.begin(), piece.end());
    }
    EXPECT_TRUE(got == bytes) << "blocksize " << blocksize;
  }
  g_unlink(p.c_str());
}

TEST_F(CachedFileSrcTest, PullMode_TailIsShortThenEos_WithAndWithoutABufferGiven)
{
  const std::string p = path("tail");
  const std::vector<uint8_t> bytes = make_file(p, 50000);
  Ref<GstElement> src = gstref::adopt(gst_element_factory_make("cachedfilesrc", nullptr));
  gst_object_ref_sink(src.get());
  g_object_set(src.get(), "location", p.c_str(), nullptr);
  ASSERT_EQ(gst_element_set_state(src.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(src.get(), "src"));
  ASSERT_TRUE(gst_pad_activate_mode(pad.get(), GST_PAD_MODE_PULL, TRUE));

  GstBuffer *buffer = nullptr;
  ASSERT_EQ(gst_pad_get_range(pad.get(), 50000 - 100, 4096, &buffer), GST_FLOW_OK);
  EXPECT_EQ(gst_buffer_get_size(buffer), 100u);
  EXPECT_EQ(GST_BUFFER_OFFSET(buffer), 49900u);
  EXPECT_EQ(GST_BUFFER_OFFSET_END(buffer), 50000u);
  EXPECT_TRUE(testsupport::buffer_bytes(buffer) ==
              std::vector<uint8_t>(bytes.end() - 100, bytes.end()));
  gst_buffer_unref(buffer);
  buffer = nullptr;
  EXPECT_EQ(gst_pad_get_range(pad.get(), 50000, 4096, &buffer), GST_FLOW_EOS);
  EXPECT_EQ(buffer, nullptr);

  // A buffer handed in is filled in place: across a block boundary, then at the end.
  GstBuffer *given = gst_buffer_new_allocate(nullptr, 4096, nullptr);
  buffer = given;
  ASSERT_EQ(gst_pad_get_range(pad.get(), 32768 - 2000, 4096, &buffer), GST_FLOW_OK);
  EXPECT_EQ(buffer, given);
  EXPECT_TRUE(testsupport::buffer_bytes(buffer) ==
              std::vector<uint8_t>(bytes.begin() + 30768, bytes.begin() + 34864));
  // GstBaseSrc clips the request to the known size and leaves the rest of the buffer alone.
  ASSERT_EQ(gst_pad_get_range(pad.get(), 50000 - 10, 4096, &buffer), GST_FLOW_OK);
  EXPECT_EQ(GST_BUFFER_OFFSET_END(buffer), 50000u);
  const std::vector<uint8_t> tail = testsupport::buffer_bytes(buffer);
  ASSERT_GE(tail.size(), 10u);
  EXPECT_TRUE(std::equal(bytes.end() - 10, bytes.end(), tail.begin()));
  EXPECT_EQ(gst_pad_get_range(pad.get(), 50000, 4096, &buffer), GST_FLOW_EOS);
  gst_buffer_unref(given);

  gst_pad_activate_mode(pad.get(), GST_PAD_MODE_PULL, FALSE);
  gst_element_set_state(src.get(), GST_STATE_NULL);
  g_unlink(p.c_str());
}

TEST_F(CachedFileSrcTest, FilesItCannotRead_PostResourceErrors)
{
  ErrorReport r = start_error("");
  ASSERT_TRUE(r.posted);
  EXPECT_EQ(r.domain, GST_RESOURCE_ERROR);
  EXPECT_EQ(r.code, GST_RESOURCE_ERROR_NOT_FOUND);
  EXPECT_EQ(r.message, "No file name specified for reading.");

  const std::string missing = path("missing.mp4");
  r = start_error(missing.c_str());
  ASSERT_TRUE(r.posted);
  EXPECT_EQ(r.domain, GST_RESOURCE_ERROR);
  EXPECT_EQ(r.code, GST_RESOURCE_ERROR_NOT_FOUND);
  gchar *default_text = gst_error_get_message(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND);
  EXPECT_EQ(r.message, default_text);
  g_free(default_text);
  EXPECT_NE(r.debug.find("No such file \"" + missing + "\""), std::string::npos) << r.debug;

  // A directory opens, so the handle must be closed again.
  const int descriptors = open_descriptor_count();
  r = start_error(dir_);
  ASSERT_TRUE(r.posted);
  EXPECT_EQ(r.code, GST_RESOURCE_ERROR_OPEN_READ);
  EXPECT_EQ(r.message, "\"" + std::string(dir_) + "\" is a directory.");
  EXPECT_EQ(open_descriptor_count(), descriptors);

  // Unreadable whatever the user: a path through a regular file fails with ENOTDIR.
  const std::string file = path("plain");
  make_file(file, 10);
  const std::string through = file + "/x";
  r = start_error(through.c_str());
  ASSERT_TRUE(r.posted);
  EXPECT_EQ(r.code, GST_RESOURCE_ERROR_OPEN_READ);
  EXPECT_EQ(r.message, "Could not open file \"" + through + "\" for reading.");
  EXPECT_NE(r.debug.find(std::string("system error: ") + g_strerror(ENOTDIR)), std::string::npos)
      << r.debug;
  g_unlink(file.c_str());
}

TEST_F(CachedFileSrcTest, Fifo_ReadsToTheEndWithoutSeekingOrSize)
{
  const std::string p = path("fifo");
  ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
  std::vector<uint8_t> bytes(100000);
  std::mt19937 rng(3);
  for (auto &b : bytes) b = static_cast<uint8_t>(rng());
  std::thread writer([&] {
    const int fd = ::open(p.c_str(), O_WRONLY);
    if (fd < 0) return;
    for (size_t done = 0; done < bytes.size(); done += 7000) {
      const size_t n = std::min<size_t>(7000, bytes.size() - done);
      if (::write(fd, bytes.data() + done, n) != static_cast<ssize_t>(n)) break;
      g_usleep(2000);
    }
    ::close(fd);
  });
  bool seekable = true;
  bool have_duration = true;
  testsupport::CollectResult r = testsupport::collect_buffers(
      "cachedfilesrc name=src location=\"" + p + "\" ! fakesink name=sink", "sink", 60,
      [&](GstBin *bin) {
        Ref<GstElement> src = gstref::adopt(gst_bin_get_by_name(bin, "src"));
        GstPad *pad = gst_element_get_static_pad(src.get(), "src");
        gst_pad_add_probe(
            pad, GST_PAD_PROBE_TYPE_BUFFER,
            +[](GstPad *pad, GstPadProbeInfo *, gpointer data) {
              auto *flags = static_cast<std::pair<bool *, bool *> *>(data);
              Ref<GstQuery> q = gstref::adopt(gst_query_new_seeking(GST_FORMAT_BYTES));
              gboolean seekable = TRUE;
              if (gst_pad_query(pad, q.get()))
                gst_query_parse_seeking(q.get(), nullptr, &seekable, nullptr, nullptr);
              *flags->first = seekable;
              gint64 duration = -1;
              *flags->second = gst_pad_query_duration(pad, GST_FORMAT_BYTES, &duration) &&
                               duration > 0;
              return GST_PAD_PROBE_REMOVE;
            },
            new std::pair<bool *, bool *>(&seekable, &have_duration),
            [](gpointer data) { delete static_cast<std::pair<bool *, bool *> *>(data); });
        gst_object_unref(pad);
      });
  writer.join();
  ASSERT_TRUE(r.ok) << r.error;
  std::vector<uint8_t> got;
  for (const auto &b : r.buffers) {
    const std::vector<uint8_t> piece = testsupport::buffer_bytes(b.get());
    got.insert(got.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(got.size(), bytes.size());
  EXPECT_TRUE(got == bytes);
  EXPECT_FALSE(seekable);
  EXPECT_FALSE(have_duration);
  g_unlink(p.c_str());
}

TEST_F(CachedFileSrcTest, FileUris_LocalhostOrNoHostOnly)
{
  Ref<GstElement> src = gstref::adopt(gst_element_factory_make("cachedfilesrc", nullptr));
  gst_object_ref_sink(src.get());
  GstURIHandler *handler = GST_URI_HANDLER(src.get());
  EXPECT_EQ(gst_uri_handler_get_uri_type(handler), GST_URI_SRC);

  auto location = [&] {
    gchar *value = nullptr;
    g_object_get(src.get(), "location", &value, nullptr);
    std::string s = value ? value : "(null)";
    g_free(value);
    return s;
  };
  GError *error = nullptr;
  EXPECT_TRUE(gst_uri_handler_set_uri(handler, "file:///tmp/a%20b.mp4", &error));
  EXPECT_EQ(location(), "/tmp/a b.mp4");
  gchar *uri = gst_uri_handler_get_uri(handler);
  EXPECT_STREQ(uri, "file:///tmp/a%20b.mp4");
  g_free(uri);
  EXPECT_TRUE(gst_uri_handler_set_uri(handler, "file://localhost/srv/c.mp4", &error));
  EXPECT_EQ(location(), "/srv/c.mp4");

  EXPECT_FALSE(gst_uri_handler_set_uri(handler, "file://otherhost/srv/d.mp4", &error));
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(g_error_matches(error, GST_URI_ERROR, GST_URI_ERROR_BAD_URI));
  EXPECT_STREQ(error->message, "File URI with invalid hostname 'otherhost'");
  g_clear_error(&error);
  EXPECT_EQ(location(), "/srv/c.mp4");

  EXPECT_FALSE(gst_uri_handler_set_uri(handler, "file:relative", &error));
  g_clear_error(&error);
  EXPECT_TRUE(gst_uri_handler_set_uri(handler, "file://", &error));
  EXPECT_EQ(location(), "(null)");

  // A URI pipeline plays through the element.
  const std::string p = path("uri");
  const std::vector<uint8_t> bytes = make_file(p, 70000);
  gchar *file_uri = gst_filename_to_uri(p.c_str(), nullptr);
  EXPECT_TRUE(gst_uri_handler_set_uri(handler, file_uri, nullptr));
  g_free(file_uri);
  EXPECT_EQ(location(), p);
  g_unlink(p.c_str());
}

TEST_F(CachedFileSrcTest, LocationIsFixedOncePaused)
{
  const std::string p = path("paused");
  make_file(p, 5000);
  Ref<GstElement> pipeline = gstref::adopt(gst_parse_launch(
      ("cachedfilesrc name=src location=\"" + p + "\" ! fakesink").c_str(), nullptr));
  ASSERT_TRUE(pipeline);
  Ref<GstElement> src = gstref::adopt(gst_bin_get_by_name(GST_BIN(pipeline.get()), "src"));
  ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  gst_element_get_state(pipeline.get(), nullptr, nullptr, 10 * GST_SECOND);
  {
    testsupport::ExpectGLog expect(G_LOG_LEVEL_WARNING,
                                   "Changing the `location' property on filesrc when a file is "
                                   "open is not supported.");
    g_object_set(src.get(), "location", "/elsewhere", nullptr);
    GError *error = nullptr;
    EXPECT_FALSE(gst_uri_handler_set_uri(GST_URI_HANDLER(src.get()), "file:///other", &error));
    EXPECT_TRUE(g_error_matches(error, GST_URI_ERROR, GST_URI_ERROR_BAD_STATE));
    g_clear_error(&error);
    EXPECT_EQ(expect.count(), 2);
  }
  gchar *value = nullptr;
  g_object_get(src.get(), "location", &value, nullptr);
  EXPECT_EQ(std::string(value), p);
  g_free(value);
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  g_unlink(p.c_str());
}

}  // namespace
