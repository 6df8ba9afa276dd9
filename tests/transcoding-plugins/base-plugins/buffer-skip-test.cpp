#include "transcoding-plugins/base-plugins/buffer-skip.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

class BufferSkipTest : public ::testing::Test {
 protected:
  // A harness whose source has pushed stream-start, `caps` and a [0, inf) TIME segment.
  void start(const char *caps = "video/x-raw,width=64,height=64") {
    h_ = make_harness("bufferskip", caps, nullptr);
  }
  GstElement *element() { return h_->element; }
  GstFlowReturn push(GstClockTime pts, GstClockTime duration,
                     GstClockTime dts = GST_CLOCK_TIME_NONE) {
    return gst_harness_push(h_.get(), make_buffer(4, pts, duration, dts));
  }
  std::vector<GstClockTime> output_pts() {
    std::vector<GstClockTime> out;
    for (auto &b : pull_all(h_.get())) out.push_back(GST_BUFFER_PTS(b.get()));
    return out;
  }
  // Events the element pushed downstream, types only, after dropping the harness's setup.
  std::vector<Ref<GstEvent>> events() { return pull_all_events(h_.get()); }
  Ref<GstEvent> last_event_of(GstEventType type) {
    Ref<GstEvent> found;
    for (auto &e : events())
      if (GST_EVENT_TYPE(e.get()) == type) found = std::move(e);
    return found;
  }
  Harness h_;
};

TEST_F(BufferSkipTest, Amount_DropsLeadingBuffersAndCountsDown)
{
  start();
  g_object_set(element(), "amount", 3, nullptr);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(push(ms(40) * i, ms(40)), GST_FLOW_OK);
  EXPECT_EQ(output_pts(), (std::vector<GstClockTime>{ms(120), ms(160)}));
  gint amount = -1;
  g_object_get(element(), "amount", &amount, nullptr);
  EXPECT_EQ(amount, 0);
  // Setting it again re-arms the skip mid-stream.
  g_object_set(element(), "amount", 1, nullptr);
  ASSERT_EQ(push(ms(200), ms(40)), GST_FLOW_OK);
  ASSERT_EQ(push(ms(240), ms(40)), GST_FLOW_OK);
  EXPECT_EQ(output_pts(), (std::vector<GstClockTime>{ms(240)}));
}

TEST_F(BufferSkipTest, Pass_LetsNBuffersThroughThenReturnsEos)
{
  start();
  g_object_set(element(), "pass", 2, "delay", gint64(ms(10)), nullptr);
  EXPECT_EQ(push(0, ms(40)), GST_FLOW_OK);
  EXPECT_EQ(push(ms(40), ms(40)), GST_FLOW_EOS);
  EXPECT_EQ(push(ms(80), ms(40)), GST_FLOW_EOS);
  // The last buffer goes out unchanged: no delay applied to it.
  EXPECT_EQ(output_pts(), (std::vector<GstClockTime>{ms(10), ms(40)}));
  gint pass = 0;
  g_object_get(element(), "pass", &pass, nullptr);
  EXPECT_EQ(pass, -2);
}

TEST_F(BufferSkipTest, Duration_SkipsUntilTheDurationIsUsedUp)
{
  start();
  g_object_set(element(), "duration", guint64(ms(100)), nullptr);
  for (int i = 0; i < 5; ++i) push(ms(40) * i, ms(40));
  EXPECT_EQ(output_pts(), (std::vector<GstClockTime>{ms(120), ms(160)}));
  guint64 duration = 0;
  g_object_get(element(), "duration", &duration, nullptr);
  EXPECT_EQ(duration, GST_CLOCK_TIME_NONE);
  // A buffer without duration ends the skipping and is itself dropped.
  g_object_set(element(), "duration", guint64(ms(500)), nullptr);
  push(ms(200), GST_CLOCK_TIME_NONE);
  push(ms(240), ms(40));
  EXPECT_EQ(output_pts(), (std::vector<GstClockTime>{ms(240)}));
}

TEST_F(BufferSkipTest, Delay_ShiftsAndTrimsAtZero)
{
  start();
  g_object_set(element(), "delay", gint64(-ms(50)), nullptr);
  push(ms(20), ms(100), ms(20));
  push(ms(20), ms(40));  // ends before zero after the shift: dropped
  push(ms(100), ms(40), ms(60));
  push(GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE, GST_CLOCK_TIME_NONE);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), 0u);
  EXPECT_EQ(GST_BUFFER_DURATION(out[0].get()), ms(50));
  EXPECT_EQ(GST_BUFFER_DTS(out[0].get()), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), ms(50));
  EXPECT_EQ(GST_BUFFER_DTS(out[1].get()), ms(10));
  EXPECT_EQ(GST_BUFFER_PTS(out[2].get()), GST_CLOCK_TIME_NONE);

  g_object_set(element(), "delay", gint64(ms(500)), nullptr);
  push(ms(100), ms(40), ms(60));
  out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(600));
  EXPECT_EQ(GST_BUFFER_DTS(out[0].get()), ms(560));
}

TEST_F(BufferSkipTest, Delay_HugeValuesDoNotWrap)
{
  start();
  g_object_set(element(), "delay", G_MAXINT64, nullptr);
  push(G_MAXUINT64 - 10, ms(40));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(GST_BUFFER_PTS_IS_VALID(out[0].get()));
  g_object_set(element(), "delay", G_MININT64, nullptr);
  push(ms(10), ms(40));
  EXPECT_TRUE(pull_all(h_.get()).empty());
}

TEST_F(BufferSkipTest, DuplicateFilter_DropsReusedMemoryWithin20ms)
{
  start();
  g_object_set(element(), "filter-duplicate-frames", TRUE, nullptr);
  GstBuffer *first = make_buffer(16, 0, ms(20));
  // videorate repeats a frame as a copy sharing its memories.
  GstBuffer *repeat = gst_buffer_copy(first);
  GST_BUFFER_PTS(repeat) = ms(20);
  GstBuffer *late_repeat = gst_buffer_copy(first);
  GST_BUFFER_PTS(late_repeat) = ms(20) + ms(21);
  GstBuffer *fresh = make_buffer(16, ms(60), ms(20));
  gst_harness_push(h_.get(), first);
  gst_harness_push(h_.get(), repeat);
  gst_harness_push(h_.get(), late_repeat);  // 21 ms after the last kept one
  gst_harness_push(h_.get(), fresh);
  EXPECT_EQ(output_pts(), (std::vector<GstClockTime>{0, ms(41), ms(60)}));
}

TEST_F(BufferSkipTest, DuplicateFilter_EqualContentIsNotADuplicate)
{
  start();
  g_object_set(element(), "filter-duplicate-frames", TRUE, nullptr);
  push(0, ms(10));
  push(ms(10), ms(10));  // same bytes, different memory
  EXPECT_EQ(output_pts().size(), 2u);
}

TEST_F(BufferSkipTest, Clip_RawAndVideoAreTrimmedCompressedAudioIsDropped)
{
  for (const char *caps : {"video/x-raw,width=64,height=64", "audio/x-raw,format=S16LE"}) {
    start(caps);
    g_object_set(element(), "clip", TRUE, nullptr);
    gst_harness_push_event(h_.get(), time_segment_event(ms(100), ms(300)));
    push(ms(20), ms(40));    // wholly before: dropped
    push(ms(80), ms(40));    // straddles the start
    push(ms(280), ms(40));   // straddles the stop
    push(ms(400), ms(40));   // wholly after: dropped
    auto out = pull_all(h_.get());
    ASSERT_EQ(out.size(), 2u) << caps;
    EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(100));
    EXPECT_EQ(GST_BUFFER_DURATION(out[0].get()), ms(20));
    EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), ms(280));
    EXPECT_EQ(GST_BUFFER_DURATION(out[1].get()), ms(20));
    EXPECT_EQ(gst_buffer_get_size(out[0].get()), 4u) << "payload is never cut";
  }
  start("audio/mpeg,mpegversion=4");
  g_object_set(element(), "clip", TRUE, nullptr);
  gst_harness_push_event(h_.get(), time_segment_event(ms(100), ms(300)));
  push(ms(80), ms(40));
  push(ms(120), ms(40));
  EXPECT_EQ(output_pts(), (std::vector<GstClockTime>{ms(120)}));
}

TEST_F(BufferSkipTest, ClipAndAlign_NonTimeSegmentPassesBuffersUnchanged)
{
  h_ = make_harness("bufferskip");
  g_object_set(element(), "clip", TRUE, "align-first-buffer", TRUE, nullptr);
  gst_harness_push_event(h_.get(), gst_event_new_stream_start("s"));
  GstSegment bytes;
  gst_segment_init(&bytes, GST_FORMAT_BYTES);
  gst_harness_push_event(h_.get(), gst_event_new_segment(&bytes));
  push(ms(20), ms(40));
  push(ms(60), ms(40));
  EXPECT_EQ(output_pts(), (std::vector<GstClockTime>{ms(20), ms(60)}));
}

TEST_F(BufferSkipTest, AlignFirstBuffer_KeepsTheLastOverlappingBufferAtSegmentStart)
{
  start();
  g_object_set(element(), "align-first-buffer", TRUE, nullptr);
  gst_harness_push_event(h_.get(), time_segment_event(ms(1000)));
  push(ms(900), ms(40));  // wholly before: dropped
  push(ms(980), ms(40));  // overlaps the start: held
  push(ms(990), ms(40));  // overlaps too: replaces the held buffer
  EXPECT_TRUE(pull_all(h_.get()).empty());
  push(ms(1030), ms(40));  // later: releases the held one
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(1000));
  EXPECT_EQ(GST_BUFFER_DURATION(out[0].get()), ms(30));
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), ms(1030));
}

TEST_F(BufferSkipTest, AlignFirstBuffer_LateFirstBufferIsStretchedBack)
{
  start();
  g_object_set(element(), "align-first-buffer", TRUE, nullptr);
  gst_harness_push_event(h_.get(), time_segment_event(ms(1000)));
  push(ms(1015), ms(40));
  // Held until EOS.
  EXPECT_TRUE(pull_all(h_.get()).empty());
  gst_harness_push_event(h_.get(), gst_event_new_eos());
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(1000));
  EXPECT_EQ(GST_BUFFER_DURATION(out[0].get()), ms(55));
}

TEST_F(BufferSkipTest, AlignFirstBuffer_ActsAgainAfterEachSegment)
{
  start();
  g_object_set(element(), "align-first-buffer", TRUE, nullptr);
  gst_harness_push_event(h_.get(), time_segment_event(ms(100)));
  push(ms(110), ms(40));
  push(ms(150), ms(40));
  gst_harness_push_event(h_.get(), time_segment_event(ms(500)));
  push(ms(490), ms(40));
  push(ms(530), ms(40));
  EXPECT_EQ(output_pts(), (std::vector<GstClockTime>{ms(100), ms(150), ms(500), ms(530)}));
}

TEST_F(BufferSkipTest, ForceMonotone_TrimsOverlapsAndDropsCoveredBuffers)
{
  start();
  g_object_set(element(), "force-monotone-timestamps", TRUE, nullptr);
  push(0, ms(40));
  push(ms(30), ms(40));  // overlaps by 10 ms
  push(ms(40), ms(20));  // wholly covered
  push(ms(100), ms(40));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), ms(40));
  EXPECT_EQ(GST_BUFFER_DURATION(out[1].get()), ms(30));
  EXPECT_EQ(GST_BUFFER_PTS(out[2].get()), ms(100));
}

TEST_F(BufferSkipTest, ForceMonotone_FlushingSeekBackwardKeepsData)
{
  start();
  g_object_set(element(), "force-monotone-timestamps", TRUE, nullptr);
  push(ms(5000), ms(40));
  gst_harness_push_event(h_.get(), gst_event_new_flush_start());
  gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE));
  gst_harness_push_event(h_.get(), time_segment_event(0));
  push(0, ms(40));
  EXPECT_EQ(output_pts(), (std::vector<GstClockTime>{ms(5000), 0}));
}

TEST_F(BufferSkipTest, NotLinked_HiddenOnlyWhenNotAllowed)
{
  Ref<GstElement> e = gstref::adopt(gst_element_factory_make("bufferskip", nullptr));
  gst_object_ref_sink(e.get());
  Ref<GstPad> src = gstref::adopt(gst_pad_new("src", GST_PAD_SRC));
  Ref<GstPad> sink = gstref::adopt(gst_element_get_static_pad(e.get(), "sink"));
  ASSERT_EQ(gst_pad_link(src.get(), sink.get()), GST_PAD_LINK_OK);
  gst_pad_set_active(src.get(), TRUE);
  gst_element_set_state(e.get(), GST_STATE_PLAYING);
  gst_pad_push_event(src.get(), gst_event_new_stream_start("s"));
  gst_pad_push_event(src.get(), time_segment_event(0));
  EXPECT_EQ(gst_pad_push(src.get(), make_buffer(4, 0, ms(1))), GST_FLOW_NOT_LINKED);
  g_object_set(e.get(), "allow-not-linked-result", FALSE, nullptr);
  EXPECT_EQ(gst_pad_push(src.get(), make_buffer(4, ms(1), ms(1))), GST_FLOW_OK);
  gst_element_set_state(e.get(), GST_STATE_NULL);
  gst_pad_set_active(src.get(), FALSE);
}

TEST_F(BufferSkipTest, Segment_KeepOriginalSwallowsLaterSegmentsAndShiftsBuffers)
{
  start();
  g_object_set(element(), "keep-original-segment", TRUE, nullptr);
  events();
  gst_harness_push_event(h_.get(), time_segment_event(ms(1000), ms(9000), 0));
  // The harness's own [0, inf) segment came first: it is the one kept.
  gst_harness_push_event(h_.get(), time_segment_event(ms(2000), GST_CLOCK_TIME_NONE, ms(500)));
  EXPECT_FALSE(last_event_of(GST_EVENT_SEGMENT)) << "later segments are swallowed";
  push(ms(2100), ms(40), ms(2050));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  // Stream time 600 ms in the new segment maps to running time 600 ms in the kept one.
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(600));
  EXPECT_EQ(GST_BUFFER_DTS(out[0].get()), ms(550));
}

TEST_F(BufferSkipTest, Segment_KeptFirstSegmentHasNoStop)
{
  h_ = make_harness("bufferskip");
  g_object_set(element(), "keep-original-segment", TRUE, "dummy-event-after-segment", TRUE,
               nullptr);
  gst_harness_push_event(h_.get(), gst_event_new_stream_start("s"));
  gst_harness_push_event(h_.get(), time_segment_event(ms(1000), ms(9000), ms(1000)));
  auto evs = events();
  ASSERT_GE(evs.size(), 3u);
  EXPECT_EQ(GST_EVENT_TYPE(evs[1].get()), GST_EVENT_SEGMENT);
  const GstSegment *seg;
  gst_event_parse_segment(evs[1].get(), &seg);
  EXPECT_EQ(seg->start, ms(1000));
  EXPECT_EQ(seg->stop, GST_CLOCK_TIME_NONE);
  EXPECT_EQ(GST_EVENT_TYPE(evs[2].get()), GST_EVENT_CUSTOM_DOWNSTREAM_STICKY);
  EXPECT_TRUE(gst_event_has_name(evs[2].get(), "dummy-event"));
}

TEST_F(BufferSkipTest, Segment_MinimalStreamTimeAndStopReset)
{
  start();
  g_object_set(element(), "minimal-stream-time", guint64(10 * GST_SECOND), "reset-segment-stop",
               TRUE, nullptr);
  events();
  gst_harness_push_event(h_.get(), time_segment_event(ms(1000), ms(5000), ms(2000)));
  Ref<GstEvent> ev = last_event_of(GST_EVENT_SEGMENT);
  ASSERT_TRUE(ev);
  const GstSegment *seg;
  gst_event_parse_segment(ev.get(), &seg);
  EXPECT_EQ(seg->time, ms(10000));
  EXPECT_EQ(seg->stop, GST_CLOCK_TIME_NONE);
  // Already beyond the minimum: untouched.
  gst_harness_push_event(h_.get(), time_segment_event(ms(1000), ms(5000), ms(20000)));
  ev = last_event_of(GST_EVENT_SEGMENT);
  gst_event_parse_segment(ev.get(), &seg);
  EXPECT_EQ(seg->time, ms(20000));
}

TEST_F(BufferSkipTest, Caps_AlwaysRecreatedWithEdits)
{
  struct Case {
    const char *input;
    const char *props;  // property=value pairs applied with gst_util_set_object_arg
    const char *expected;
  };
  const std::vector<Case> cases = {
      {"video/x-raw,width=8,height=8,pixel-aspect-ratio=1/1", "",
       "video/x-raw,width=8,height=8,pixel-aspect-ratio=1/1"},
      {"video/x-raw,width=8,height=8", "pixel-aspect-ratio-override=4/3",
       "video/x-raw,width=8,height=8,pixel-aspect-ratio=4/3"},
      {"video/x-raw,framerate=30/1", "framerate-override=25/1", "video/x-raw,framerate=25/1"},
      {"video/x-raw,pixel-aspect-ratio=21845/21836", "fix-pixel-aspect-ratio=true",
       "video/x-raw,pixel-aspect-ratio=1/1"},
      {"video/x-raw,pixel-aspect-ratio=0/1", "fix-pixel-aspect-ratio=true",
       "video/x-raw,pixel-aspect-ratio=1/1"},
      {"video/x-raw,pixel-aspect-ratio=4000/3000", "fix-pixel-aspect-ratio=true",
       "video/x-raw,pixel-aspect-ratio=4/3"},
      {"video/x-raw,pixel-aspect-ratio=160000/1", "fix-pixel-aspect-ratio=true",
       "video/x-raw,pixel-aspect-ratio=160000/1"},
      {"video/x-raw,interlace-mode=interleaved,width=8", "remove-interlace-mode=true",
       "video/x-raw,width=8"},
  };
  for (const Case &c : cases) {
    h_ = make_harness("bufferskip");
    gchar **props = g_strsplit(c.props, "=", 2);
    if (props[0] && props[1]) gst_util_set_object_arg(G_OBJECT(element()), props[0], props[1]);
    g_strfreev(props);
    gst_harness_set_src_caps_str(h_.get(), c.input);
    Ref<GstEvent> ev = last_event_of(GST_EVENT_CAPS);
    ASSERT_TRUE(ev) << c.input;
    GstCaps *out;
    gst_event_parse_caps(ev.get(), &out);
    Ref<GstCaps> expected = gstref::adopt(gst_caps_from_string(c.expected));
    EXPECT_TRUE(gst_caps_is_strictly_equal(out, expected.get()))
        << c.input << " " << c.props << " gave " << gst_caps_to_string(out);
  }
}

TEST_F(BufferSkipTest, Gap_ShiftedByDelayAndDroppedWhenBeforeZero)
{
  start();
  g_object_set(element(), "delay", gint64(-ms(50)), nullptr);
  events();
  gst_harness_push_event(h_.get(), gst_event_new_gap(ms(20), ms(100)));
  gst_harness_push_event(h_.get(), gst_event_new_gap(ms(10), ms(30)));  // nothing left
  gst_harness_push_event(h_.get(), gst_event_new_gap(ms(200), GST_CLOCK_TIME_NONE));
  std::vector<std::pair<GstClockTime, GstClockTime>> gaps;
  for (auto &e : events()) {
    if (GST_EVENT_TYPE(e.get()) != GST_EVENT_GAP) continue;
    GstClockTime ts, dur;
    gst_event_parse_gap(e.get(), &ts, &dur);
    gaps.emplace_back(ts, dur);
  }
  ASSERT_EQ(gaps.size(), 2u);
  EXPECT_EQ(gaps[0], std::make_pair(GstClockTime(0), ms(50)));
  EXPECT_EQ(gaps[1], std::make_pair(ms(150), GST_CLOCK_TIME_NONE));
}

TEST_F(BufferSkipTest, FlushStop_ReleasesHeldBufferWithoutPushingIt)
{
  start();
  g_object_set(element(), "align-first-buffer", TRUE, nullptr);
  push(ms(0), ms(40));
  gst_harness_push_event(h_.get(), gst_event_new_flush_start());
  gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE));
  gst_harness_push_event(h_.get(), gst_event_new_eos());
  EXPECT_TRUE(pull_all(h_.get()).empty());
}

// Real media: x264 in MP4 through bufferskip with a delay and a PAR override, remuxed to
// Matroska, checked with ffprobe.
TEST(BufferSkipMedia, DelayedStreamRemuxesWithShiftedTimestamps)
{
  if (!have_factory("x264enc") || !have_program("ffprobe")) GTEST_SKIP() << "needs x264enc";
  const std::string input = media::h264_mp4();
  ASSERT_FALSE(input.empty());
  const std::string output = std::string(g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".") +
                             "/bufferskip-out.mkv";
  PipelineResult r = run_pipeline(
      "filesrc location=" + input + " ! qtdemux ! h264parse ! "
      // qtdemux's segment stops at the file's duration: without reset-segment-stop the muxer
      // would clip the last delayed second.
      "bufferskip delay=1000000000 reset-segment-stop=true pixel-aspect-ratio-override=4/3 ! "
      "h264parse ! matroskamux ! filesink location=" + output);
  ASSERT_TRUE(r.ok) << r.error;
  auto probe = [](const std::string &file) {
    return run_command("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time "
                       "-of csv=p=0 " + file).output;
  };
  std::vector<double> in_pts, out_pts;
  for (auto *pair : {&in_pts, &out_pts}) {
    const std::string text = probe(pair == &in_pts ? input : output);
    gchar **lines = g_strsplit(text.c_str(), "\n", -1);
    for (gchar **l = lines; *l; ++l)
      if (**l) pair->push_back(g_ascii_strtod(*l, nullptr));
    g_strfreev(lines);
  }
  ASSERT_EQ(in_pts.size(), 75u);
  ASSERT_EQ(out_pts.size(), in_pts.size()) << "no frame lost";
  // Matroska keeps absolute timestamps (millisecond precision).
  for (size_t i = 0; i < in_pts.size(); ++i) EXPECT_NEAR(out_pts[i], in_pts[i] + 1.0, 0.0015) << i;
  const std::string sar = run_command("ffprobe -v error -select_streams v:0 -show_entries "
                                      "stream=sample_aspect_ratio -of csv=p=0 " + output).output;
  // Matroska stores a display size, so the ratio comes back rounded (213:160 for 4:3).
  unsigned sar_n = 0, sar_d = 1;
  ASSERT_EQ(sscanf(sar.c_str(), "%u:%u", &sar_n, &sar_d), 2) << sar;
  EXPECT_NEAR(double(sar_n) / sar_d, 4.0 / 3.0, 0.01) << "the container carries the new caps";
  const std::string frames = run_command("ffprobe -v error -count_frames -select_streams v:0 "
                                         "-show_entries stream=nb_read_frames -of csv=p=0 " +
                                         output).output;
  EXPECT_EQ(std::stoi(frames), 75);
}

}  // namespace
