#include "transcoding-plugins/base-plugins/mpeg4-postprocessor.h"

#include <glib/gstdio.h>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;

// DivX 5 becomes MPEG-4 with its other fields kept, MPEG-4 gains systemstream, DivX 3 is refused
// and nothing reaches downstream.
TEST(Mpeg4PostprocessorTest, Caps_DivX5AndMpeg4PassAsMpeg4)
{
  const std::pair<const char *, const char *> cases[] = {
      {"video/x-divx,divxversion=5,width=640,height=480,framerate=25/1",
       "video/mpeg,mpegversion=4,systemstream=false,width=640,height=480,framerate=25/1"},
      {"video/mpeg,mpegversion=4,width=176,height=144",
       "video/mpeg,mpegversion=4,systemstream=false,width=176,height=144"},
      {"video/x-divx,divxversion=3,width=320,height=240", nullptr}};
  for (const auto &[in, want] : cases) {
    SCOPED_TRACE(in);
    Harness h = make_harness("mpeg4postprocessor");
    gst_harness_push_event(h.get(), gst_event_new_stream_start("m4"));
    Ref<GstCaps> caps = gstref::adopt(gst_caps_from_string(in));
    // Sent to the element directly: pushing a sticky event reports success even when refused.
    Ref<GstPad> sink = gstref::adopt(gst_element_get_static_pad(h->element, "sink"));
    EXPECT_EQ(bool(gst_pad_send_event(sink.get(), gst_event_new_caps(caps.get()))), !!want);
    Ref<GstCaps> got = gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
    ASSERT_EQ(bool(got), !!want);
    if (!want) continue;
    Ref<GstCaps> expected = gstref::adopt(gst_caps_from_string(want));
    EXPECT_TRUE(gst_caps_is_equal(got.get(), expected.get()));
    gst_harness_push_event(h.get(), time_segment_event(0));
    EXPECT_EQ(gst_harness_push(h.get(), make_buffer(8, ms(0))), GST_FLOW_OK);
    EXPECT_TRUE(Ref<GstBuffer>(gstref::adopt(gst_harness_pull(h.get()))));
  }
}

TEST(Mpeg4PostprocessorTest, Pipeline_RemuxesRealMpeg4FromAviIntoMp4)
{
  if (!have_factory("avenc_mpeg4") || !have_factory("mp4mux")) GTEST_SKIP();
  gchar *dir = g_dir_make_tmp("m4pp-XXXXXX", nullptr);
  const std::string out = std::string(dir) + "/out.mp4";
  PipelineResult r = run_pipeline(
      "videotestsrc num-buffers=10 ! capsfilter caps=video/x-raw,format=I420,width=64,height=64 "
      "! avenc_mpeg4 ! capsfilter caps=video/x-divx,divxversion=5 ! mpeg4parsebin ! "
      "mpeg4postprocessor ! mp4mux ! filesink location=" + out);
  EXPECT_TRUE(r.ok) << r.error;
  CommandResult probe = run_command("ffprobe -v error -count_frames -show_entries "
                                    "stream=codec_name,nb_read_frames -of csv=p=0 " + out);
  EXPECT_EQ(probe.output, "mpeg4,10\n");
  g_unlink(out.c_str());
  g_rmdir(dir);
  g_free(dir);
}

}  // namespace
