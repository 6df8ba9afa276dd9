#include "transcoding-plugins/common/output-queue.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;

GST_DEBUG_CATEGORY_STATIC(output_queue_test_debug);

// A queue between a free-standing sink pad (holding the sticky segment) and a source pad
// linked to a collecting pad.
class OutputQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GST_DEBUG_CATEGORY_INIT(output_queue_test_debug, "outputqueuetest", 0, "test");
    sink_ = new_pad("sink", GST_PAD_SINK);
    src_ = new_pad("src", GST_PAD_SRC);
    collector_ = new_pad("collector", GST_PAD_SINK);
    g_object_set_data(G_OBJECT(collector_.get()), "test", this);
    gst_pad_set_chain_function(collector_.get(), [](GstPad *pad, GstObject *, GstBuffer *b) {
      auto *self = static_cast<OutputQueueTest *>(g_object_get_data(G_OBJECT(pad), "test"));
      self->buffers_.push_back(gstref::adopt(b));
      return GST_FLOW_OK;
    });
    gst_pad_set_event_function(collector_.get(), [](GstPad *pad, GstObject *, GstEvent *e) -> gboolean {
      auto *self = static_cast<OutputQueueTest *>(g_object_get_data(G_OBJECT(pad), "test"));
      self->events_.push_back(gstref::adopt(e));
      return TRUE;
    });
    for (GstPad *p : {sink_.get(), src_.get(), collector_.get()}) gst_pad_set_active(p, TRUE);
    ASSERT_EQ(gst_pad_link(src_.get(), collector_.get()), GST_PAD_LINK_OK);
    gst_pad_push_event(src_.get(), gst_event_new_stream_start("s"));
    queue_ = std::make_unique<OutputQueue>(nullptr, sink_.get(), src_.get(),
                                           output_queue_test_debug);
    segment(0);
  }
  static Ref<GstPad> new_pad(const char *name, GstPadDirection direction) {
    return gstref::adopt(GST_PAD(gst_object_ref_sink(gst_pad_new(name, direction))));
  }
  void TearDown() override {
    queue_.reset();
    for (GstPad *p : {sink_.get(), src_.get(), collector_.get()}) gst_pad_set_active(p, FALSE);
  }

  void segment(GstClockTime start, GstClockTime stop = GST_CLOCK_TIME_NONE) {
    gst_pad_store_sticky_event(sink_.get(), Ref<GstEvent>(gstref::adopt(
                                                time_segment_event(start, stop)))
                                                .get());
    queue_->on_segment();
  }
  // One access unit through timestamp preparation and the queue.
  GstFlowReturn push(GstClockTime pts, guint limit, guint parts = 1) {
    OutputQueue::Buffers bufs;
    for (guint i = 0; i < parts; ++i)
      bufs.push_back(gstref::adopt(make_buffer(4, i == 0 ? pts : GST_CLOCK_TIME_NONE)));
    queue_->prepare_timestamps(bufs.front().get());
    return queue_->enqueue(std::move(bufs), limit);
  }
  std::vector<GstClockTime> pts() const {
    std::vector<GstClockTime> v;
    for (const auto &b : buffers_) v.push_back(GST_BUFFER_PTS(b.get()));
    return v;
  }
  std::vector<GstClockTime> dts() const {
    std::vector<GstClockTime> v;
    for (const auto &b : buffers_) v.push_back(GST_BUFFER_DTS(b.get()));
    return v;
  }
  const GstSegment *sent_segment() const {
    for (const auto &e : events_) {
      if (GST_EVENT_TYPE(e.get()) != GST_EVENT_SEGMENT) continue;
      const GstSegment *s = nullptr;
      gst_event_parse_segment(e.get(), &s);
      return s;
    }
    return nullptr;
  }
  // DTS strictly increasing and never above the PTS.
  void expect_sound_dts() const {
    for (gsize i = 0; i < buffers_.size(); ++i) {
      GstBuffer *b = buffers_[i].get();
      ASSERT_TRUE(GST_BUFFER_DTS_IS_VALID(b)) << i;
      EXPECT_LE(GST_BUFFER_DTS(b), GST_BUFFER_PTS(b)) << i;
      if (i > 0) {
        EXPECT_GT(GST_BUFFER_DTS(b), GST_BUFFER_DTS(buffers_[i - 1].get())) << i;
      }
    }
  }

  Ref<GstPad> sink_, src_, collector_;
  std::unique_ptr<OutputQueue> queue_;
  std::vector<Ref<GstBuffer>> buffers_;
  std::vector<Ref<GstEvent>> events_;
};

TEST_F(OutputQueueTest, Reordered_GetsDtsOneSlotEarlier)
{
  for (GstClockTime t : {1000, 1120, 1040, 1080, 1240, 1160, 1200})
    ASSERT_EQ(push(ms(t), 3), GST_FLOW_OK);
  EXPECT_EQ(buffers_.size(), 4u);  // one leaves per access unit once more than 3 wait
  ASSERT_EQ(queue_->drain(), GST_FLOW_OK);
  EXPECT_EQ(pts(), (std::vector<GstClockTime>{ms(1000), ms(1120), ms(1040), ms(1080), ms(1240),
                                              ms(1160), ms(1200)}));
  EXPECT_EQ(dts(), (std::vector<GstClockTime>{ms(960), ms(1000), ms(1040), ms(1080), ms(1120),
                                              ms(1160), ms(1200)}));
}

TEST_F(OutputQueueTest, InOrder_DtsEqualsPts)
{
  for (GstClockTime t : {1000, 1040, 1080, 1120}) push(ms(t), 2);
  queue_->drain();
  EXPECT_EQ(dts(), pts());
  EXPECT_EQ(dts(), (std::vector<GstClockTime>{ms(1000), ms(1040), ms(1080), ms(1120)}));
}

TEST_F(OutputQueueTest, EarlyPts_AreLiftedToOneSecondWithTheSegment)
{
  segment(0, ms(5000));
  for (GstClockTime t : {200, 240}) push(ms(t), 1);
  queue_->drain();
  EXPECT_EQ(pts(), (std::vector<GstClockTime>{ms(1000), ms(1040)}));
  const GstSegment *s = sent_segment();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->start, ms(800));
  EXPECT_EQ(s->stop, ms(5800));

  // A later segment starts over: a first PTS of 5 s needs no lift, and the new segment goes
  // out only before the next buffer.
  events_.clear();
  buffers_.clear();
  segment(ms(5000));
  EXPECT_EQ(sent_segment(), nullptr);
  push(ms(5000), 1);
  queue_->drain();
  EXPECT_EQ(pts(), (std::vector<GstClockTime>{ms(5000)}));
  ASSERT_NE(sent_segment(), nullptr);
  EXPECT_EQ(sent_segment()->start, ms(5000));
}

TEST_F(OutputQueueTest, SplitAccessUnit_OnlyItsFirstBufferCarriesDts)
{
  push(ms(1000), 0, 2);
  ASSERT_EQ(buffers_.size(), 2u);
  EXPECT_EQ(pts(), (std::vector<GstClockTime>{ms(1000), ms(1000)}));
  EXPECT_EQ(dts(), (std::vector<GstClockTime>{ms(1000), GST_CLOCK_TIME_NONE}));
}

TEST_F(OutputQueueTest, DeepReordering_NeverLoopsOrGoesBelowZero)
{
  // Thirteen frames presented in reverse order 100 ms apart from 1 s on: twelve slots of
  // delay would put the first DTS below zero.
  for (int i = 12; i >= 0; --i) push(ms(1000) + ms(100) * i, 14);
  queue_->drain();
  ASSERT_EQ(buffers_.size(), 13u);
  EXPECT_EQ(GST_BUFFER_DTS(buffers_[0].get()), 0u);
  expect_sound_dts();
}

TEST_F(OutputQueueTest, EqualPts_TerminateWithIncreasingDts)
{
  // Equal values make a zero step; every later DTS must still move forward.
  for (int i = 0; i < 6; ++i) push(ms(2000), 3);
  for (int i = 0; i < 3; ++i) push(ms(2040) + ms(40) * i, 3);
  queue_->drain();
  ASSERT_EQ(buffers_.size(), 9u);
  for (gsize i = 1; i < buffers_.size(); ++i)
    EXPECT_GT(GST_BUFFER_DTS(buffers_[i].get()), GST_BUFFER_DTS(buffers_[i - 1].get()));
}

TEST_F(OutputQueueTest, BackwardPtsJump_CompletesWithIncreasingDts)
{
  // PTS jump back by 8 s mid-segment: the halving rule converges on the last DTS; no DTS can
  // be both increasing and at or below those PTS, so DTS stays increasing (with a warning).
  for (int i = 0; i < 6; ++i) push(ms(10000) + ms(40) * i, 3);
  for (int i = 0; i < 6; ++i) push(ms(2000) + ms(40) * i, 3);
  for (int i = 0; i < 6; ++i) push(ms(10500) + ms(40) * i, 3);
  queue_->drain();
  ASSERT_EQ(buffers_.size(), 18u);
  for (gsize i = 1; i < buffers_.size(); ++i)
    EXPECT_GT(GST_BUFFER_DTS(buffers_[i].get()), GST_BUFFER_DTS(buffers_[i - 1].get())) << i;
  // Once the PTS are past the jump again, DTS are back at or below them.
  for (gsize i = 14; i < buffers_.size(); ++i)
    EXPECT_LE(GST_BUFFER_DTS(buffers_[i].get()), GST_BUFFER_PTS(buffers_[i].get())) << i;
}

TEST_F(OutputQueueTest, MissingPts_SortLast)
{
  push(ms(1000), 2);
  push(GST_CLOCK_TIME_NONE, 2);
  push(ms(1080), 2);
  push(ms(1040), 2);
  queue_->drain();
  ASSERT_EQ(buffers_.size(), 4u);
  // DTS that exist never go backwards nor above their PTS.
  GstClockTime last = 0;
  for (const auto &b : buffers_) {
    if (!GST_BUFFER_DTS_IS_VALID(b.get())) continue;
    EXPECT_GT(GST_BUFFER_DTS(b.get()), last);
    EXPECT_LE(GST_BUFFER_DTS(b.get()), GST_BUFFER_PTS(b.get()));
    last = GST_BUFFER_DTS(b.get());
  }
}

TEST_F(OutputQueueTest, Direct_DropsWhatEndsBeforeTheSegment)
{
  segment(ms(2000));
  auto au = [](GstClockTime pts, GstClockTime duration) {
    OutputQueue::Buffers b;
    b.push_back(gstref::adopt(make_buffer(4, pts, duration)));
    return b;
  };
  bool dropped = false;
  EXPECT_EQ(queue_->push_direct(au(ms(1000), ms(40)), &dropped), GST_FLOW_OK);
  EXPECT_TRUE(dropped);
  queue_->push_direct(au(ms(1970), ms(40)), &dropped);
  EXPECT_FALSE(dropped);
  queue_->push_direct(au(ms(1990), GST_CLOCK_TIME_NONE), &dropped);
  EXPECT_TRUE(dropped);
  EXPECT_EQ(pts(), (std::vector<GstClockTime>{ms(1970)}));
  // Direct output leaves timestamps and the segment as they came.
  ASSERT_NE(sent_segment(), nullptr);
  EXPECT_EQ(sent_segment()->start, ms(2000));
}

TEST_F(OutputQueueTest, Flush_DropsQueuedUnitsAndRestarts)
{
  for (GstClockTime t : {1000, 1040}) push(ms(t), 5);
  EXPECT_EQ(queue_->size(), 2u);
  queue_->flush();
  EXPECT_EQ(queue_->size(), 0u);
  EXPECT_FALSE(GST_CLOCK_TIME_IS_VALID(queue_->timestamp_offset()));
  EXPECT_TRUE(buffers_.empty());
}

}  // namespace
