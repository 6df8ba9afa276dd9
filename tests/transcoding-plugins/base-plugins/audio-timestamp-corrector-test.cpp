#include "transcoding-plugins/base-plugins/audio-timestamp-corrector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/gst-log-capture.h"

namespace {

using namespace testsupport;
constexpr GstClockTime NONE = GST_CLOCK_TIME_NONE;
// `count` buffers from `pts` every `step` lasting `dur`, a new
// segment, or a gap event at `pts`. Expected outputs use count, pts and step.
struct Span {
  enum { Buffers, Segment, Gap } kind;
  int count = 0;
  GstClockTime pts = 0, step = ms(20), dur = ms(20);
};
struct Case {
  const char *name;
  std::vector<Span> in, out;
  std::vector<GstClockTime> gaps = {};
  std::vector<const char *> warnings = {};
};
constexpr auto B = Span::Buffers;

const Case kCases[] = {
    // A full ring of zero differences, then a 1 s jump: the sliding mean is followed once it
    // passes 40 ms (6 differences of -1 s in 128), and the rest once 128 differences against
    // the moved sequence are in.
    {"jump", {{B, 200, 0}, {B, 140, ms(5000)}},
     {{B, 205, 0}, {B, 128, ms(4100) + 46875000}, {B, 7, ms(7660)}}, {},
     {"by 0.046875s, stream time: 0:00:05.1", "by 0.953125s, stream time: 0:00:07.66"}},
    // A first buffer lasting longer by the offset puts the sequence that far ahead.
    {"exactly 40 ms is jitter", {{B, 1, 0, 0, ms(60)}, {B, 200, ms(20)}},
     {{B, 1, 0}, {B, 200, ms(60)}}},
    {"just above 40 ms is followed", {{B, 1, 0, 0, ms(60) + 1}, {B, 200, ms(20)}},
     {{B, 1, 0}, {B, 127, ms(60) + 1}, {B, 73, ms(20) * 128}}, {}, {"by -0.040000s"}},
    // Without PTS a buffer takes the expected one; without duration it keeps its PTS but the
    // next one restarts from upstream, as after a segment.
    {"missing times and segments",
     {{B, 1, ms(100)}, {B, 1, NONE}, {B, 1, ms(137), 0, NONE}, {B, 1, ms(333)}, {B, 1, ms(351)},
      {Span::Segment}, {B, 1, ms(5000)}, {B, 1, ms(5023)}},
     {{B, 3, ms(100)}, {B, 2, ms(333)}, {B, 2, ms(5000)}}},
    // Gaps move by the last offset, unless that would take them below zero.
    {"gaps", {{B, 1, ms(100)}, {B, 1, ms(127)}, {Span::Gap, 0, ms(200)}, {Span::Gap, 0, ms(3)},
              {B, 1, ms(132)}, {Span::Gap, 0, ms(200)}, {Span::Gap, 0, 0}},
     {{B, 3, ms(100)}}, {ms(193), ms(3), ms(208), ms(8)}},
};

TEST(AudioTimestampCorrectorTest, OutputIsGapFreeAndFollowsRealJumps)
{
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    GstLogCapture log("audiotimestampcorrector", GST_LEVEL_WARNING);
    Harness h = make_harness("audiotimestampcorrector", "audio/x-raw");
    std::vector<GstClockTime> want, got, gaps;
    guint64 n = 0;
    for (const Span &r : c.in) {
      if (r.kind == Span::Segment) gst_harness_push_event(h.get(), time_segment_event(0));
      if (r.kind == Span::Gap) gst_harness_push_event(h.get(), gst_event_new_gap(r.pts, ms(20)));
      for (int i = 0; i < r.count; ++i, ++n) {
        const GstClockTime pts = r.pts == NONE ? NONE : r.pts + r.step * i;
        ASSERT_EQ(gst_harness_push(h.get(), make_buffer(16, pts, r.dur, ms(3) * n)), GST_FLOW_OK);
      }
    }
    for (const Span &r : c.out)
      for (int i = 0; i < r.count; ++i) want.push_back(r.pts + r.step * i);
    n = 0;
    for (auto &b : pull_all(h.get())) {
      got.push_back(GST_BUFFER_PTS(b.get()));
      EXPECT_EQ(GST_BUFFER_DTS(b.get()), ms(3) * n++) << "DTS is never touched";
    }
    EXPECT_EQ(got, want);
    for (auto &e : pull_all_events(h.get()))
      if (GST_EVENT_TYPE(e.get()) == GST_EVENT_GAP) {
        GstClockTime ts;
        gst_event_parse_gap(e.get(), &ts, nullptr);
        gaps.push_back(ts);
      }
    EXPECT_EQ(gaps, c.gaps);
    std::string warnings;
    for (const auto &line : log.lines()) warnings += line.message + "\n";
    EXPECT_EQ(log.lines().size(), c.warnings.size()) << warnings;
    for (const char *w : c.warnings) EXPECT_NE(warnings.find(w), std::string::npos) << w;
  }
}

// Jitter of +-4 ms added by a pad probe on real audio, over more than the 128 buffers the
// element averages: the output is contiguous from the first timestamp and keeps every buffer.
TEST(AudioTimestampCorrectorPipeline, JitteredAudioTestSrc_ComesOutContiguous)
{
  int jittered = 0;
  const CollectResult out = collect_buffers(
      "audiotestsrc num-buffers=200 samplesperbuffer=480 ! "
      "capsfilter caps=audio/x-raw,format=S16LE,rate=48000,channels=2 ! "
      "identity name=jitter ! audiotimestampcorrector ! fakesink name=sink",
      "sink", 30, [&](GstBin *bin) {
        Ref<GstElement> identity = gstref::adopt(gst_bin_get_by_name(bin, "jitter"));
        Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(identity.get(), "src"));
        gst_pad_add_probe(
            pad.get(), GST_PAD_PROBE_TYPE_BUFFER,
            [](GstPad *, GstPadProbeInfo *info, gpointer data) {
              int &n = *static_cast<int *>(data);
              GstBuffer *b = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
              if (GST_BUFFER_PTS(b) >= ms(4)) GST_BUFFER_PTS(b) += ms((n++ * 5) % 9) - ms(4);
              GST_PAD_PROBE_INFO_DATA(info) = b;
              return GST_PAD_PROBE_OK;
            },
            &jittered, nullptr);
      });
  ASSERT_TRUE(out.ok) << out.error;
  ASSERT_GT(jittered, 100) << "the probe must have jittered the stream";
  ASSERT_EQ(out.buffers.size(), 200u);
  GstClockTime next = 0;
  for (auto &b : out.buffers) {
    EXPECT_EQ(GST_BUFFER_PTS(b.get()), next);
    next = GST_BUFFER_PTS(b.get()) + GST_BUFFER_DURATION(b.get());
  }
}

}  // namespace
