#include "transcoding-plugins/base-plugins/video-parse-bin.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

// Per-frame checksums of what FFmpeg decodes, in presentation order.
std::string
frame_md5s(const std::string &path)
{
  return run_command("ffmpeg -v error -i '" + path + "' -an -f framemd5 - | grep -v '^#' | "
                     "awk -F, '{print $6}'").output;
}

// The demuxer comes with its " ! " (empty for none); the interlace-mode is the one that the bin
// announces, if it sets one.
struct StreamCase {
  const char *name; std::string (*clip)(); const char *demux, *bin;
  gint fps_n, fps_d; const char *interlace_mode; bool dts_within_pts;
};

class VideoParseBinTest : public ::testing::TestWithParam<StreamCase> {};

// Every buffer leaves the bin with a PTS equal to FFmpeg's for the packet (up to a constant
// offset), with a DTS that never goes back and a duration that reaches the next PTS. Remuxed
// into Matroska, FFmpeg decodes the same frames as from the source, over the announced rate.
TEST_P(VideoParseBinTest, LeavesFullyStampedAndRemuxesIntoMatroska)
{
  if (!have_program("ffprobe") || !have_program("ffmpeg")) GTEST_SKIP() << "no FFmpeg";
  const StreamCase &c = GetParam();
  const std::string file = c.clip(), mkv = file + ".vpb.mkv";
  CollectResult r = collect_buffers("filesrc location=" + file + " ! " + c.demux + c.bin + " ! tee "
                                    "name=t ! queue ! fakesink name=sink t. ! queue ! matroskamux "
                                    "! filesink location=" + mkv);
  ASSERT_TRUE(r.ok) << r.error;
  std::istringstream lines(run_command("ffprobe -v error -fflags +genpts -show_entries "
                                       "packet=pts_time -of csv=p=0 '" + file + "'").output);
  std::vector<double> theirs;  // in decode order
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) theirs.push_back(std::stod(line));
  ASSERT_EQ(r.buffers.size(), theirs.size());
  ASSERT_FALSE(std::is_sorted(theirs.begin(), theirs.end())) << "the clip must have B-frames";
  std::vector<std::pair<GstClockTime, GstClockTime>> by_pts;  // PTS, duration
  for (gsize i = 0; i < theirs.size(); ++i) {
    GstBuffer *b = r.buffers[i].get();
    ASSERT_TRUE(GST_BUFFER_PTS_IS_VALID(b) && GST_BUFFER_DTS_IS_VALID(b) &&
                GST_BUFFER_DURATION_IS_VALID(b)) << i;
    EXPECT_NEAR(double(GST_BUFFER_PTS(b) - GST_BUFFER_PTS(r.buffers[0].get())) / GST_SECOND,
                theirs[i] - theirs[0], 2e-5) << i;
    EXPECT_LE(GST_BUFFER_DTS(b), c.dts_within_pts ? GST_BUFFER_PTS(b) : GST_CLOCK_TIME_NONE) << i;
    EXPECT_TRUE(i == 0 || GST_BUFFER_DTS(b) >= GST_BUFFER_DTS(r.buffers[i - 1].get())) << i;
    by_pts.emplace_back(GST_BUFFER_PTS(b), GST_BUFFER_DURATION(b));
  }
  std::sort(by_pts.begin(), by_pts.end());
  // Within a tick of the 90 kHz clock. The pulldown clip's muxer put its last picture one
  // field early, after a picture with a repeated field: that gap is left out.
  for (gsize i = 1; i + 1 < by_pts.size(); ++i)
    EXPECT_NEAR(double(by_pts[i].first), double(by_pts[i - 1].first + by_pts[i - 1].second), 12e3);
  GstStructure *s = gst_caps_get_structure(r.caps.get(), 0);
  gint n = 0, d = 0;
  EXPECT_TRUE(gst_structure_get_fraction(s, "framerate", &n, &d) && n * c.fps_d == d * c.fps_n);
  EXPECT_STREQ(c.interlace_mode ? gst_structure_get_string(s, "interlace-mode") : nullptr,
               c.interlace_mode);
  EXPECT_EQ(frame_md5s(mkv), frame_md5s(file));
  g_unlink(mkv.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Clips, VideoParseBinTest,
    ::testing::Values(
        StreamCase{"Mpeg2Ts", media::mpeg2_ts, "tsdemux ! ", "mpegparsebin", 25, 1, nullptr, 1},
        // mpegvideoparse alone leaves an elementary stream without PTS: matroskamux writes nothing.
        StreamCase{"Mpeg2Es", media::mpeg2_es, "", "mpegparsebin", 25, 1, nullptr, 1},
        StreamCase{"Mpeg2Ps", media::mpeg2_ps, "mpegpsdemux ! ", "mpegparsebin", 25, 1, nullptr, 1},
        // Soft telecine: two and three fields of 1001/60000 s, announced as progressive film.
        StreamCase{"Mpeg2Pulldown", media::mpeg2_pulldown_ts, "tsdemux ! ", "mpegparsebin", 24000,
                   1001, "progressive", 1},
        // The MPEG-4 timestamp fixer keeps the decode-order timestamps as DTS.
        StreamCase{"Mpeg4Avi", media::mpeg4_avi, "avidemux ! ", "mpeg4parsebin", 25, 1, nullptr, 0},
        StreamCase{"Mpeg4Avenc", media::mpeg4_avi_gst, "avidemux ! ", "mpeg4parsebin", 25, 1,
                   nullptr, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// Both the pipelines and the bins made by hand run with the module loaded as an application
// loads it: stock parsers lose their rank only when its init runs in this process.
class VideoParseBins : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Ref<GstPlugin>(gstref::adopt(gst_plugin_load_by_name("base_plugins"))));
  }
  static Ref<GstElement> make(const char *factory) {
    GstElement *e = gst_element_factory_make(factory, nullptr);
    return gstref::adopt(e ? GST_ELEMENT(gst_object_ref_sink(e)) : nullptr);
  }
};

TEST_F(VideoParseBins, DecodebinPlugsThemAndH26xLeavesAsAccessUnits)
{
  GCallback note = G_CALLBACK(+[](GstBin *, GstBin *, GstElement *e, gpointer names) {
    if (GstElementFactory *f = gst_element_get_factory(e))
      static_cast<std::vector<std::string> *>(names)->push_back(GST_OBJECT_NAME(f));
  });
  for (auto [file, bin] : {std::pair{media::mpeg2_es(), "mpegparsebin"},
                           {media::h264_mp4(), "h264parsebin"}}) {
    std::vector<std::string> added;
    auto watch = [&](GstBin *p) { g_signal_connect(p, "deep-element-added", note, &added); };
    EXPECT_TRUE(run_pipeline("filesrc location=" + file + " ! decodebin ! fakesink", 60, watch).ok);
    EXPECT_NE(std::find(added.begin(), added.end(), bin), added.end()) << bin;
  }
  for (auto [encoder, caps, bin, format] :
       {std::tuple{"x264enc", "video/x-h264", "h264parsebin", "avc"},
        {"x265enc", "video/x-h265", "h265parsebin", "hvc1"}}) {
    if (!have_factory(encoder)) continue;
    CollectResult r = collect_buffers(
        std::string("videotestsrc num-buffers=5 ! video/x-raw,format=I420,width=64,height=64 ! ") +
        encoder + " ! " + caps + ",stream-format=byte-stream ! " + bin + " ! fakesink name=sink");
    ASSERT_TRUE(r.ok && r.buffers.size() == 5) << r.error;
    Ref<GstCaps> want = gstref::adopt(gst_caps_from_string(
        (std::string(caps) + ",stream-format=" + format + ",alignment=au").c_str()));
    EXPECT_TRUE(gst_caps_is_subset(r.caps.get(), want.get()));
  }
  // The h264processor inside h264parsebin can be found by name.
  Ref<GstElement> h264 = make("h264parsebin"),
                  p = gstref::adopt(gst_bin_get_by_name(GST_BIN(h264.get()), "h264processor"));
  EXPECT_TRUE(p);
}

// Without its stock parser a bin fails to start, naming what is missing.
TEST_F(VideoParseBins, MissingStockParser_StateChangeFailsNamingIt)
{
  GstRegistry *registry = gst_registry_get();
  Ref<GstPluginFeature> feature = gstref::adopt(gst_registry_lookup_feature(registry, "h265parse"));
  ASSERT_TRUE(feature);
  gst_registry_remove_feature(registry, feature.get());
  Ref<GstElement> bin = make("h265parsebin");
  gst_registry_add_feature(registry, feature.get());
  ASSERT_TRUE(bin);
  Ref<GstBus> bus = gstref::adopt(gst_bus_new());
  gst_element_set_bus(bin.get(), bus.get());
  EXPECT_EQ(gst_element_set_state(bin.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  Ref<GstMessage> msg = gstref::adopt(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
  ASSERT_TRUE(msg);
  GError *error = nullptr;
  gst_message_parse_error(msg.get(), &error, nullptr);
  EXPECT_TRUE(g_error_matches(error, GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN) &&
              strstr(error->message, "h265parse")) << error->message;
  g_clear_error(&error);
  gst_element_set_state(bin.get(), GST_STATE_NULL);
}

}  // namespace
