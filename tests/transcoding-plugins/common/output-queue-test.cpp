#include "transcoding-plugins/common/output-queue.h"

#include <gtest/gtest.h>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;
constexpr GstClockTime kNone = GST_CLOCK_TIME_NONE;

// A queue on the pads of an identity element in a harness: the test stores the sticky segment
// on the sink pad itself; the queue pushes from the source pad to the harness.
struct Rig {
  Harness h = make_harness("identity");
  bool started = gst_harness_push_event(h.get(), gst_event_new_stream_start("s"));
  GstPad *sink = GST_PAD_PEER(h->srcpad);
  OutputQueue q{h->element, sink, GST_PAD_PEER(h->sinkpad), GST_CAT_DEFAULT};

  void segment(GstClockTime start, GstClockTime stop = kNone) {
    Ref<GstEvent> e = gstref::adopt(time_segment_event(start, stop));
    gst_pad_store_sticky_event(sink, e.get()), q.on_segment();
  }
  // One access unit of `parts` buffers: queued after timestamp preparation when a `limit` is
  // given, else pushed directly. TRUE when it went on.
  bool push(GstClockTime pts, int limit, guint parts = 1, GstClockTime dur = kNone) {
    OutputQueue::Buffers b(parts);
    for (auto &x : b) x = gstref::adopt(make_buffer(4, &x == &b[0] ? pts : kNone, dur));
    if (bool d = true; limit < 0) return q.push_direct(std::move(b), &d) == GST_FLOW_OK && !d;
    return q.prepare_timestamps(b[0].get()), q.enqueue(std::move(b), limit) == GST_FLOW_OK;
  }
  GstSegment sent_segment() const {  // the one that went downstream last
    GstSegment s{};
    Ref<GstEvent> e = gstref::adopt(gst_pad_get_sticky_event(h->sinkpad, GST_EVENT_SEGMENT, 0));
    return e ? gst_event_copy_segment(e.get(), &s), s : s;
  }
};

TEST(OutputQueue, Dts_FollowTheSortedPtsAndStaySound)
{
  // PTS in ms (0: none), queue limit, the exact DTS if given, from which unit on DTS <= PTS.
  using Ms = std::vector<guint64>;
  struct Case { const char *name; Ms pts; guint limit; Ms dts{}; guint from = 0; } const cases[] = {
      {"IPBBPB", {1000, 1120, 1040, 1080, 1240, 1160}, 3, {960, 1000, 1040, 1080, 1120, 1160}},
      // A first PTS below 1 s lifts the segment's PTS and the segment to 1 s.
      {"early", {200, 240, 280}, 1, {1000, 1040, 1080}},
      // Twelve slots of delay at 100 ms would put the first DTS below zero.
      {"deep", {2200, 2100, 2000, 1900, 1800, 1700, 1600, 1500, 1400, 1300, 1200, 1100, 1000}, 14},
      {"equal PTS", {2000, 2000, 2000, 2000, 2000, 2000, 2040, 2080, 2120}, 3, {}, 9},
      // No DTS can be both increasing and below PTS that jump back 8 s: increasing wins.
      {"jump back", {10000, 10040, 10080, 10120, 10160, 10200, 2000, 2040, 2080, 2120, 2160, 2200,
                     10500, 10540, 10580, 10620, 10660, 10700}, 3, {}, 14},
      {"missing PTS", {1000, 0, 1080, 1040}, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.segment(0, ms(5000));
    for (guint64 t : c.pts) ASSERT_TRUE(r.push(t ? ms(t) : kNone, c.limit));
    // One unit leaves per push once more than the limit wait.
    EXPECT_EQ(gst_harness_buffers_in_queue(r.h.get()), c.pts.size() - MIN(c.pts.size(), c.limit));
    ASSERT_EQ(r.q.drain(), GST_FLOW_OK);
    const GstClockTime lift = ms(c.pts[0] < 1000 ? 1000 - c.pts[0] : 0);
    EXPECT_TRUE(r.sent_segment().start == lift && r.sent_segment().stop == ms(5000) + lift);
    auto out = pull_all(r.h.get());
    ASSERT_EQ(out.size(), c.pts.size());
    for (gsize i = 0, prev = 0; i < out.size(); prev = GST_BUFFER_DTS(out[i++].get())) {
      const GstClockTime pts = GST_BUFFER_PTS(out[i].get()), dts = GST_BUFFER_DTS(out[i].get());
      EXPECT_EQ(pts, c.pts[i] ? ms(c.pts[i]) + lift : kNone) << i;
      EXPECT_EQ(dts, c.dts.empty() ? dts : ms(c.dts[i])) << i;
      EXPECT_TRUE(dts < kNone && (i == 0 || dts > prev) && (i < c.from || dts <= pts)) << i;
    }
  }
}

TEST(OutputQueue, SecondSegmentSplitUnitsDirectOutputAndFlush)
{
  Rig r;
  r.segment(0);
  r.push(ms(200), 0);
  // A new segment restarts the lift (none at 5 s) and waits for the next buffer.
  r.segment(ms(5000));
  EXPECT_EQ(r.sent_segment().start, ms(800));
  r.push(ms(5000), 0, 2);  // a split unit: only its first buffer gets a DTS
  EXPECT_EQ(r.sent_segment().start, ms(5000));
  auto out = pull_all(r.h.get());
  EXPECT_EQ(std::tuple(out.size(), GST_BUFFER_DTS(out.at(1).get()), GST_BUFFER_PTS(out.at(2).get()),
                       GST_BUFFER_DTS(out.at(2).get())), std::tuple(3u, ms(5000), ms(5000), kNone));
  // Direct output drops what ends before the segment and leaves the rest as it came.
  r.segment(ms(2000));
  for (auto [pts, duration, drop] : {std::tuple{ms(1000), ms(40), true}, {ms(1970), ms(40), false},
                                     {ms(1990), kNone, true}, {kNone, ms(40), false}})
    EXPECT_EQ(r.push(pts, -1, 1, duration), !drop) << pts;
  // A flush drops what is queued and the lift.
  for (GstClockTime t : {1000, 1040}) r.push(ms(t), 5);
  r.q.flush();
  EXPECT_TRUE(r.q.size() == 0 && gst_harness_buffers_in_queue(r.h.get()) == 2 &&
              r.q.timestamp_offset() == kNone && r.sent_segment().start == ms(2000));
}

}  // namespace
