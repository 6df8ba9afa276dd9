#include "transcoding-plugins/base-plugins/cached-file-src.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "tests/support/bitstreams.h"
#include "tests/support/glog-guard.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

class CachedFileSrcTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { dir_ = g_dir_make_tmp("cachedfilesrc-XXXXXX", nullptr); }
  static void TearDownTestSuite() { g_rmdir(dir_), g_free(dir_); }
  static std::string path(const char *name) { return std::string(dir_) + "/" + name; }

  // A new file (renamed over any old one) of `size` bytes from `seed`.
  static Bytes make_file(const std::string &p, size_t size, unsigned seed = 1) {
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), std::mt19937(seed));
    if (!p.empty()) g_file_set_contents(p.c_str(), (const char *)bytes.data(), size, nullptr);
    return bytes;
  }

  // The bytes that `description` hands to a fakesink, run to EOS.
  static Bytes read(const std::string &description) {
    const CollectResult r = collect_buffers(description + " ! fakesink name=sink");
    EXPECT_TRUE(r.ok) << description << ": " << r.error;
    Bytes out;
    for (const auto &buffer : r.buffers) append(out, buffer_bytes(buffer.get()));
    return out;
  }

  static inline gchar *dir_ = nullptr;
};

// Each failure posts its RESOURCE error, and the cache handle of a file that opened is closed again
// (no descriptor is left behind). Local "file" URIs set the location, which is fixed while the file
// is open. Pull mode at the end of the file with a buffer handed in gives a short buffer that
// outlives the cache (GstBaseSrc clips the request to the size), then EOS.
TEST_F(CachedFileSrcTest, Location_ErrorsUrisAndPullAtTheEnd) {
  const std::string p = path("tail"), missing = path("missing.mp4"), dir = dir_;
  const Bytes bytes = make_file(p, 3 * 32768 + 4000);
  const auto descriptors = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  const std::string errors[][3] = {
      {"", "No file name specified for reading.", ""},
      {missing, "Resource not found.", "No such file \"" + missing + "\""},
      {dir, "\"" + dir + "\" is a directory.", ""},
      {p + "/x", "Could not open file \"" + p + "/x\" for reading.",
       std::string("system error: ") + g_strerror(ENOTDIR)}};
  for (const auto &[location, message, debug] : errors) {
    const std::string error =
        run_pipeline("cachedfilesrc location=\"" + location + "\" ! fakesink").error;
    EXPECT_TRUE(error.starts_with(message + " (") && error.ends_with(debug + ")")) << error;
  }

  EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), descriptors);

  Ref<GstElement> src = gstref::adopt(gst_element_factory_make("cachedfilesrc", nullptr));
  gst_object_ref_sink(src.get());
  GstURIHandler *handler = GST_URI_HANDLER(src.get());
  g_autofree gchar *location = nullptr;
  EXPECT_TRUE(gst_uri_handler_set_uri(handler, "file://localhost/a%20b", nullptr));
  EXPECT_FALSE(gst_uri_handler_set_uri(handler, "file://otherhost/c", nullptr));
  EXPECT_FALSE(gst_uri_handler_set_uri(handler, "file:relative", nullptr));
  g_object_get(src.get(), "location", &location, nullptr);
  EXPECT_STREQ(location, "/a b");
  g_object_set(src.get(), "location", p.c_str(), nullptr);
  ASSERT_EQ(gst_element_set_state(src.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(src.get(), "src"));
  ASSERT_TRUE(gst_pad_activate_mode(pad.get(), GST_PAD_MODE_PULL, TRUE));
  ASSERT_EQ(gst_element_set_state(src.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_SUCCESS);
  {
    ExpectGLog expect(G_LOG_LEVEL_WARNING, "when a file is open is not supported.");
    g_object_set(src.get(), "location", "/elsewhere", nullptr);
    EXPECT_FALSE(gst_uri_handler_set_uri(handler, "file:///other", nullptr));
    EXPECT_EQ(expect.count(), 2);
  }
  GstBuffer *tail = gst_buffer_new_allocate(nullptr, 4096, nullptr), *none = nullptr;
  ASSERT_EQ(gst_pad_get_range(pad.get(), bytes.size() - 100, 4096, &tail), GST_FLOW_OK);
  EXPECT_EQ(GST_BUFFER_OFFSET_END(tail), bytes.size());
  EXPECT_EQ(gst_pad_get_range(pad.get(), bytes.size(), 4096, &none), GST_FLOW_EOS);
  gst_element_set_state(src.get(), GST_STATE_NULL);
  EXPECT_EQ(gst_buffer_memcmp(tail, 0, bytes.data() + bytes.size() - 100, 100), 0);
  gst_buffer_unref(tail);
  g_unlink(p.c_str());
}

// Pipelines in one process reading one file through cachedfilesrc at once, in pull mode (the
// demuxer jumping to the index at the end and back) and in push mode, put out exactly what a single
// run through filesrc does. Meanwhile a FIFO, which reports no size, is opened before its writer
// without holding them up, and read to its end as filesrc reads it (the cache reads /proc files the
// same way).
TEST_F(CachedFileSrcTest, PipelinesSharingAFile_AndAFifo_PutOutWhatASingleRunDoes) {
  const std::string fifo = path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto fifo_out = std::async(std::launch::async, read, "cachedfilesrc location=\"" + fifo + "\"");
  // Noise keeps it from compressing to a single block.
  const std::string clip = media::command_clip("shared-read.mp4",
      "ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25,noise=alls=30:allf=t "
      "-frames:v 75 -c:v libx264 -bf 2 -pix_fmt yuv420p -f mp4 {out}");
  auto demuxed = [&clip](const char *src, const char *queue) {
    return read(std::string(src) + " location=\"" + clip + "\" " + queue + " ! qtdemux");
  };
  const Bytes single = demuxed("filesrc", "");
  EXPECT_GT(single.size(), 100000u);
  std::vector<std::future<Bytes>> runs;
  for (int i = 0; i < 6; ++i)
    runs.push_back(
        std::async(std::launch::async, demuxed, "cachedfilesrc", i % 2 ? "! queue" : ""));
  for (auto &run : runs) EXPECT_TRUE(run.get() == single);
  // More than the pipe holds: the reader sees short reads.
  const Bytes fifo_bytes = make_file("", 100000, 3);
  const int fd = ::open(fifo.c_str(), O_WRONLY);
  EXPECT_EQ(::write(fd, fifo_bytes.data(), fifo_bytes.size()), 100000);
  ::close(fd);
  EXPECT_TRUE(fifo_out.get() == fifo_bytes);
  g_unlink(fifo.c_str());
}

}  // namespace
