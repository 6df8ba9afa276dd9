#include "transcoding-plugins/base-plugins/buffer-skip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

// In milliseconds, -1 for none: push a buffer (pts, duration, dts) and expect `flow`; push a
// copy of the last buffer that shares its memory (as videorate repeats a frame) at `a`; a TIME
// segment (start, stop, time); a BYTES segment; a gap (timestamp, duration); set properties; a
// flush (start and stop); EOS; unlink the source pad.
struct Step {
  enum { Push, Repeat, Segment, Bytes, Gap, Set, Flush, Eos, Unlink } op;
  gint64 a = -1, b = -1, c = -1;
  GstFlowReturn flow = GST_FLOW_OK;
  const char *props = nullptr;
};
const auto set = [](const char *props) { return Step{Step::Set, -1, -1, -1, GST_FLOW_OK, props}; };
// Properties set before the caps (or a stream start without caps); the steps; the outputs as
// "pts/duration/dts" and the events as "segment start-stop@time", "gap ts+duration" or
// "dummy", in milliseconds; a property read back at the end.
struct Case {
  const char *props, *caps;
  std::vector<Step> steps;
  const char *out = "", *events = nullptr, *property = nullptr, *value = nullptr;
};
constexpr auto P = Step::Push, S = Step::Segment;
constexpr auto EOS = GST_FLOW_EOS;
const char *kVideo = "video/x-raw,width=64,height=64";

const Case kCases[] = {
    // Skipping by count or duration counts down and re-arms when set again; a buffer without
    // duration ends a duration skip and is itself dropped.
    {"amount=3", kVideo,
     {{P, 0, 40}, {P, 40, 40}, {P, 80, 40}, {P, 120, 40}, {P, 160, 40}, set("amount=1"),
      {P, 200, 40}, {P, 240, 40}},
     "120/40/none 160/40/none 240/40/none", nullptr, "amount", "0"},
    {"duration=100000000", kVideo,
     {{P, 0, 40}, {P, 40, 40}, {P, 80, 40}, {P, 120, 40}, set("duration=500000000"), {P, 200},
      {P, 240, 40}},
     "120/40/none 240/40/none", nullptr, "duration", "18446744073709551615"},
    // Pass returns EOS after its buffers (counting below zero); the last goes out without the
    // delay.
    {"pass=2 delay=10000000", kVideo, {{P, 0, 40}, {P, 40, 40, -1, EOS}, {P, 80, 40, -1, EOS}},
     "10/40/none 40/40/none", nullptr, "pass", "-2"},
    // Delay: spans (and gaps) ending before zero after the shift are dropped, others trimmed;
    // huge delays clamp to the clock range.
    {"delay=-50000000", kVideo,
     {{P, 20, 100, 20}, {P, 20, 40}, {P, 100, 40, 60}, {P}, {Step::Gap, 20, 100},
      {Step::Gap, 10, 30}, {Step::Gap, 200}, set("delay=500000000"), {P, 100, 40, 60}},
     "0/50/none 50/40/10 none/none/none 600/40/560", "gap 0+50 gap 150+none"},
    {"delay=9223372036854775807", kVideo,
     {{P, 18446744073709, 40}, set("delay=-9223372036854775808"), {P, 10, 40}},
     "18446744073709/40/none"},
    // A repeat within 20 ms of the last kept buffer is dropped; equal bytes in other memory
    // are no repeat.
    {"filter-duplicate-frames=true", kVideo,
     {{P, 0, 20}, {Step::Repeat, 20}, {Step::Repeat, 41}, {P, 60, 20}},
     "0/20/none 41/20/none 60/20/none"},
    // Raw audio and video are trimmed to the segment (payload kept), compressed audio dropped;
    // non-time segments are left alone.
    {"clip=true", kVideo, {{S, 100, 300}, {P, 20, 40}, {P, 80, 40}, {P, 280, 40}, {P, 400, 40}},
     "100/20/none 280/20/none"},
    {"clip=true", "audio/x-raw,format=S16LE", {{S, 100, 300}, {P, 80, 40}, {P, 280, 40}},
     "100/20/none 280/20/none"},
    {"clip=true", "audio/mpeg,mpegversion=4", {{S, 100, 300}, {P, 80, 40}, {P, 120, 40}},
     "120/40/none"},
    {"clip=true align-first-buffer=true", nullptr, {{Step::Bytes}, {P, 20, 40}, {P, 60, 40}},
     "20/40/none 60/40/none"},
    // The last buffer overlapping the segment start is held, then stretched to it: at the
    // next buffer, at EOS, after each segment; a flush drops it.
    {"align-first-buffer=true", kVideo,
     {{S, 1000}, {P, 900, 40}, {P, 980, 40}, {P, 990, 40}, {P, 1030, 40}},
     "1000/30/none 1030/40/none"},
    {"align-first-buffer=true", kVideo, {{S, 1000}, {P, 1015, 40}, {Step::Eos}}, "1000/55/none"},
    {"align-first-buffer=true", kVideo,
     {{S, 100}, {P, 110, 40}, {P, 150, 40}, {S, 500}, {P, 490, 40}, {P, 530, 40}},
     "100/50/none 150/40/none 500/30/none 530/40/none"},
    {"align-first-buffer=true", kVideo, {{P, 0, 40}, {Step::Flush}, {Step::Eos}}, ""},
    // Monotone timestamps: overlaps trimmed, covered buffers dropped; a flush restarts.
    {"force-monotone-timestamps=true", kVideo, {{P, 0, 40}, {P, 30, 40}, {P, 40, 20}, {P, 100, 40}},
     "0/40/none 40/30/none 100/40/none"},
    {"force-monotone-timestamps=true", kVideo, {{P, 5000, 40}, {Step::Flush}, {S, 0}, {P, 0, 40}},
     "5000/40/none 0/40/none"},
    // The first segment is kept without its stop, later ones are swallowed: stream time 600 ms
    // of a later segment maps to running time 600 ms in the kept one.
    {"keep-original-segment=true", kVideo,
     {{S, 1000, 9000}, {S, 2000, -1, 500}, {P, 2100, 40, 2050}}, "600/40/550", ""},
    {"keep-original-segment=true dummy-event-after-segment=true", nullptr,
     {{S, 1000, 9000, 1000}}, "", "segment 1000-none@1000 dummy"},
    {"minimal-stream-time=10000000000 reset-segment-stop=true", kVideo,
     {{S, 1000, 5000, 2000}, {S, 1000, 5000, 20000}}, "",
     "segment 1000-none@10000 segment 1000-none@20000"},
    // An unlinked downstream is hidden from upstream only when not allowed.
    {"", kVideo,
     {{Step::Unlink}, {P, 0, 1, -1, GST_FLOW_NOT_LINKED}, set("allow-not-linked-result=false"),
      {P, 1, 1}}},
};

const auto t = [](gint64 millis) { return millis < 0 ? GST_CLOCK_TIME_NONE : ms(millis); };
const auto ms_text = [](GstClockTime time) {
  return GST_CLOCK_TIME_IS_VALID(time) ? std::to_string(time / GST_MSECOND) : std::string("none");
};

class BufferSkipTest : public ::testing::TestWithParam<Case> {};

TEST_P(BufferSkipTest, Scenario)
{
  const Case &c = GetParam();
  Harness h(gst_harness_new_parse((std::string("bufferskip ") + c.props).c_str()));
  Ref<GstElement> skip = gstref::adopt(gst_harness_find_element(h.get(), "bufferskip"));
  if (c.caps) gst_harness_set_src_caps_str(h.get(), c.caps);
  else gst_harness_push_event(h.get(), gst_event_new_stream_start("s"));
  pull_all_events(h.get());
  Ref<GstBuffer> last;
  const GstSegment bytes = [] { GstSegment s; gst_segment_init(&s, GST_FORMAT_BYTES); return s; }();
  for (const Step &s : c.steps) {
    if (s.op == Step::Push) {
      last = gstref::adopt(make_buffer(16, t(s.a), t(s.b), t(s.c)));
      EXPECT_EQ(gst_harness_push(h.get(), gst_buffer_ref(last.get())), s.flow) << s.a;
    } else if (s.op == Step::Repeat) {
      GstBuffer *copy = gst_buffer_copy(last.get());
      GST_BUFFER_PTS(copy) = t(s.a);
      gst_harness_push(h.get(), copy);
    } else if (s.op == Step::Unlink) {
      gst_pad_unlink(Ref<GstPad>(gstref::adopt(gst_pad_get_peer(h->sinkpad))).get(), h->sinkpad);
    } else if (s.op == Step::Set) {
      gchar **kv = g_strsplit(s.props, "=", 2);
      gst_util_set_object_arg(G_OBJECT(skip.get()), kv[0], kv[1]);
      g_strfreev(kv);
    } else if (s.op == Step::Flush) {
      gst_harness_push_event(h.get(), gst_event_new_flush_start());
      gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE));
    } else {
      GstEvent *event = s.op == Step::Eos     ? gst_event_new_eos()
                        : s.op == Step::Gap   ? gst_event_new_gap(t(s.a), t(s.b))
                        : s.op == Step::Bytes ? gst_event_new_segment(&bytes)
                        : time_segment_event(t(s.a), t(s.b), s.c < 0 ? 0 : ms(s.c));
      gst_harness_push_event(h.get(), event);
    }
  }
  std::string out, events;
  for (auto &b : pull_all(h.get()))
    out += std::string(out.empty() ? "" : " ") + ms_text(GST_BUFFER_PTS(b.get())) + "/" +
           ms_text(GST_BUFFER_DURATION(b.get())) + "/" + ms_text(GST_BUFFER_DTS(b.get()));
  EXPECT_EQ(out, c.out);
  if (c.property) {
    GValue v = G_VALUE_INIT;
    g_object_get_property(G_OBJECT(skip.get()), c.property, &v);
    gchar *text = g_strdup_value_contents(&v);
    EXPECT_STREQ(text, c.value) << c.property;
    g_free(text);
  }
  if (!c.events) return;
  for (auto &e : pull_all_events(h.get())) {
    const GstSegment *seg;
    GstClockTime ts, dur;
    std::string text;
    if (GST_EVENT_TYPE(e.get()) == GST_EVENT_SEGMENT) {
      gst_event_parse_segment(e.get(), &seg);
      text = "segment " + ms_text(seg->start) + "-" + ms_text(seg->stop) + "@" + ms_text(seg->time);
    } else if (GST_EVENT_TYPE(e.get()) == GST_EVENT_GAP) {
      gst_event_parse_gap(e.get(), &ts, &dur);
      text = "gap " + ms_text(ts) + "+" + ms_text(dur);
    } else if (gst_event_has_name(e.get(), "dummy-event")) {
      text = "dummy";
    }
    if (!text.empty()) events += (events.empty() ? "" : " ") + text;
  }
  EXPECT_EQ(events, c.events);
}

INSTANTIATE_TEST_SUITE_P(Cases, BufferSkipTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::to_string(info.index); });

// Caps are recreated with the edits: property, input and output fields of video/x-raw.
TEST(BufferSkipCaps, RecreatedWithEdits)
{
  const char *kCases[][3] = {
      {"", "width=8,pixel-aspect-ratio=1/1", "width=8,pixel-aspect-ratio=1/1"},
      {"pixel-aspect-ratio-override=4/3", "width=8", "width=8,pixel-aspect-ratio=4/3"},
      {"framerate-override=25/1", "framerate=30/1", "framerate=25/1"},
      {"fix-pixel-aspect-ratio=true", "pixel-aspect-ratio=21845/21836", "pixel-aspect-ratio=1/1"},
      {"fix-pixel-aspect-ratio=true", "pixel-aspect-ratio=0/1", "pixel-aspect-ratio=1/1"},
      {"fix-pixel-aspect-ratio=true", "pixel-aspect-ratio=4000/3000", "pixel-aspect-ratio=4/3"},
      {"fix-pixel-aspect-ratio=true", "pixel-aspect-ratio=160000/1", "pixel-aspect-ratio=160000/1"},
      {"remove-interlace-mode=true", "interlace-mode=interleaved,width=8", "width=8"},
  };
  for (const auto &[props, in, out] : kCases) {
    SCOPED_TRACE(std::string(props) + " " + in);
    Harness h(gst_harness_new_parse((std::string("bufferskip ") + props).c_str()));
    gst_harness_set_src_caps_str(h.get(), (std::string("video/x-raw,") + in).c_str());
    Ref<GstCaps> got = gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
    Ref<GstCaps> want =
        gstref::adopt(gst_caps_from_string((std::string("video/x-raw,") + out).c_str()));
    EXPECT_TRUE(got && gst_caps_is_strictly_equal(got.get(), want.get()));
  }
}

// Real media: x264 in MP4 through bufferskip with a delay and an aspect ratio override,
// remuxed to Matroska, checked with ffprobe.
TEST(BufferSkipMedia, DelayedStreamRemuxesWithShiftedTimestamps)
{
  if (!have_factory("x264enc") || !have_program("ffprobe")) GTEST_SKIP() << "needs x264enc";
  const std::string input = media::h264_mp4();
  const std::string output =
      std::string(g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".") + "/bufferskip-out.mkv";
  // qtdemux's segment stops at the file's duration: without reset-segment-stop the muxer
  // would clip the last delayed second.
  const PipelineResult r = run_pipeline(
      "filesrc location=" + input + " ! qtdemux ! h264parse ! bufferskip delay=1000000000 "
      "reset-segment-stop=true pixel-aspect-ratio-override=4/3 ! h264parse ! matroskamux ! "
      "filesink location=" + output);
  ASSERT_TRUE(r.ok) << r.error;
  const auto probe = [](const std::string &file, const char *entries) {
    std::vector<double> values;
    const std::string text = run_command("ffprobe -v error -select_streams v:0 -count_frames "
                                         "-show_entries " + std::string(entries) +
                                         " -of csv=p=0:s=/ " + file).output;
    gchar **lines = g_strsplit_set(text.c_str(), "\n/:", -1);
    for (gchar **l = lines; *l; ++l)
      if (**l) values.push_back(g_ascii_strtod(*l, nullptr));
    g_strfreev(lines);
    return values;
  };
  const auto in_pts = probe(input, "packet=pts_time"), out_pts = probe(output, "packet=pts_time");
  ASSERT_TRUE(in_pts.size() == 75 && out_pts.size() == 75) << "no frame lost";
  // Matroska keeps absolute timestamps (millisecond precision).
  for (size_t i = 0; i < in_pts.size(); ++i) EXPECT_NEAR(out_pts[i], in_pts[i] + 1.0, 0.0015) << i;
  // Matroska stores a display size, so the ratio comes back rounded (213:160 for 4:3); every
  // frame still decodes.
  const std::vector<double> stream = probe(output, "stream=sample_aspect_ratio,nb_read_frames");
  ASSERT_EQ(stream.size(), 3u);
  EXPECT_NEAR(stream[0] / stream[1], 4.0 / 3.0, 0.01) << "the container carries the new caps";
  EXPECT_EQ(stream[2], 75);
}

}  // namespace
