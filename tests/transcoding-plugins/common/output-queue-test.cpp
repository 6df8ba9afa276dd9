#include "transcoding-plugins/common/output-queue.h"

#include <gst/base/gstbasetransform.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;
constexpr GstClockTime kNone = GST_CLOCK_TIME_NONE;
GST_DEBUG_CATEGORY_STATIC(output_queue_test_debug);

// A queue on the pads of an identity element in a harness: the test stores the sticky segment
// on the sink pad itself; the queue pushes from the source pad to the harness.
class OutputQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GST_DEBUG_CATEGORY_INIT(output_queue_test_debug, "outputqueuetest", 0, "test");
    gst_harness_push_event(h_.get(), gst_event_new_stream_start("s"));
    GstPad *src = GST_BASE_TRANSFORM_SRC_PAD(h_->element);
    queue_ = std::make_unique<OutputQueue>(h_->element, sink_, src, output_queue_test_debug);
  }
  void segment(GstClockTime start, GstClockTime stop = kNone) {
    Ref<GstEvent> e = gstref::adopt(time_segment_event(start, stop));
    gst_pad_store_sticky_event(sink_, e.get());
    queue_->on_segment();
  }
  // One access unit through timestamp preparation and the queue.
  GstFlowReturn push(GstClockTime pts, guint limit, guint parts = 1) {
    OutputQueue::Buffers b;
    for (guint i = 0; i < parts; ++i) b.push_back(gstref::adopt(make_buffer(4, i ? kNone : pts)));
    queue_->prepare_timestamps(b.front().get());
    return queue_->enqueue(std::move(b), limit);
  }
  // Start and stop of the segment that went downstream last.
  std::pair<GstClockTime, GstClockTime> sent_segment() const {
    Ref<GstEvent> e = gstref::adopt(gst_pad_get_sticky_event(h_->sinkpad, GST_EVENT_SEGMENT, 0));
    const GstSegment *s = nullptr;
    if (e) gst_event_parse_segment(e.get(), &s);
    return s ? std::pair{s->start, s->stop} : std::pair{kNone, kNone};
  }

  Harness h_ = make_harness("identity");
  GstPad *sink_ = GST_BASE_TRANSFORM_SINK_PAD(h_->element);
  std::unique_ptr<OutputQueue> queue_;
};

TEST_F(OutputQueueTest, Dts_FollowTheSortedPtsAndStaySound)
{
  struct Case {
    const char *name;
    std::vector<guint64> pts_ms;  // 0: no PTS
    guint limit;
    std::vector<guint64> dts_ms;  // exact DTS, when given
    gsize within_pts_from;        // DTS <= PTS from this unit on
  } const cases[] = {
      {"I P B B P B B", {1000, 1120, 1040, 1080, 1240, 1160, 1200}, 3,
       {960, 1000, 1040, 1080, 1120, 1160, 1200}, 0},
      {"no reordering", {1000, 1040, 1080, 1120}, 2, {1000, 1040, 1080, 1120}, 0},
      // A first PTS below 1 s lifts the segment's PTS and the segment to 1 s.
      {"early", {200, 240, 280}, 1, {1000, 1040, 1080}, 0},
      // Twelve slots of delay at 100 ms would put the first DTS below zero.
      {"deep", {2200, 2100, 2000, 1900, 1800, 1700, 1600, 1500, 1400, 1300, 1200, 1100, 1000},
       14, {}, 0},
      {"equal PTS", {2000, 2000, 2000, 2000, 2000, 2000, 2040, 2080, 2120}, 3, {}, 9},
      // No DTS can be both increasing and below PTS that jump back 8 s: increasing wins.
      {"jump back", {10000, 10040, 10080, 10120, 10160, 10200, 2000, 2040, 2080, 2120, 2160, 2200,
                     10500, 10540, 10580, 10620, 10660, 10700}, 3, {}, 14},
      {"missing PTS", {1000, 0, 1080, 1040}, 2, {}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    segment(0, ms(5000));
    for (guint64 t : c.pts_ms) ASSERT_EQ(push(t ? ms(t) : kNone, c.limit), GST_FLOW_OK);
    const gsize n = c.pts_ms.size();  // one unit leaves per push once more than the limit wait
    EXPECT_EQ(gst_harness_buffers_in_queue(h_.get()), n - MIN(n, c.limit));
    ASSERT_EQ(queue_->drain(), GST_FLOW_OK);
    const GstClockTime lift = ms(c.pts_ms[0] < 1000 ? 1000 - c.pts_ms[0] : 0);
    EXPECT_EQ(sent_segment(), std::pair(lift, ms(5000) + lift));
    auto out = pull_all(h_.get());
    ASSERT_EQ(out.size(), n);
    for (gsize i = 0, last = 0; i < n; ++i) {
      if (!c.pts_ms[i]) continue;
      const GstClockTime pts = GST_BUFFER_PTS(out[i].get()), dts = GST_BUFFER_DTS(out[i].get());
      EXPECT_EQ(pts, ms(c.pts_ms[i]) + lift) << i;
      EXPECT_EQ(c.dts_ms.empty() ? 0 : dts, c.dts_ms.empty() ? 0 : ms(c.dts_ms[i])) << i;
      EXPECT_TRUE(dts < kNone && (i == 0 || dts > GST_BUFFER_DTS(out[last].get()))) << i;
      EXPECT_LE(dts, i >= c.within_pts_from ? pts : kNone) << i;
      last = i;
    }
  }
}

TEST_F(OutputQueueTest, SecondSegmentSplitUnitsDirectOutputAndFlush)
{
  segment(0);
  push(ms(200), 0);
  // A new segment restarts the lift (none at 5 s) and waits for the next buffer.
  segment(ms(5000));
  EXPECT_EQ(sent_segment().first, ms(800));
  push(ms(5000), 0, 2);  // a split unit: only its first buffer gets a DTS
  EXPECT_EQ(sent_segment().first, ms(5000));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 3u);
  GstBuffer *first = out[1].get(), *second = out[2].get();
  EXPECT_TRUE(GST_BUFFER_DTS(first) == ms(5000) && GST_BUFFER_PTS(second) == ms(5000) &&
              !GST_BUFFER_DTS_IS_VALID(second));
  // Direct output drops what ends before the segment and leaves the rest as it came.
  segment(ms(2000));
  for (auto [pts, duration, drop] : {std::tuple{ms(1000), ms(40), true}, {ms(1970), ms(40), false},
                                     {ms(1990), kNone, true}, {kNone, ms(40), false}}) {
    OutputQueue::Buffers b;
    b.push_back(gstref::adopt(make_buffer(4, pts, duration)));
    bool dropped = !drop;
    EXPECT_EQ(queue_->push_direct(std::move(b), &dropped), GST_FLOW_OK);
    EXPECT_EQ(dropped, drop) << pts;
  }
  EXPECT_EQ(sent_segment().first, ms(2000));
  // A flush drops what is queued and the lift.
  for (GstClockTime t : {1000, 1040}) push(ms(t), 5);
  queue_->flush();
  EXPECT_FALSE(GST_CLOCK_TIME_IS_VALID(queue_->timestamp_offset()));
  queue_->drain();
  out = pull_all(h_.get());
  EXPECT_TRUE(out.size() == 2 && GST_BUFFER_PTS(out[0].get()) == ms(1970));
}

}  // namespace
