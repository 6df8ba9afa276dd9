#include "transcoding-plugins/common/base-transform.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/glog-guard.h"
#include "tests/support/gst-helpers.h"
#include "transcoding-plugins/common/audio-filter.h"

namespace {

using namespace testsupport;

// A transform whose outputs the test decides: `copies` one-byte buffers per input, tagged
// with their index in OFFSET, returned with `flow`; flush() returns one buffer tagged 99.
struct MultiConfig {
  int copies = 3;
  GstFlowReturn flow = GST_FLOW_OK;
  int discards = 0;
};
MultiConfig g_multi;

class MultiTransform : public BaseTransform {
 public:
  using BaseTransform::BaseTransform;
  BufferList transform(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow) override {
    flow = g_multi.flow;
    BufferList out;
    for (int i = 0; i < g_multi.copies; ++i) out.push_back(tagged(i, GST_BUFFER_PTS(input.get())));
    return out;
  }
  BufferList flush() override {
    BufferList out;
    out.push_back(tagged(99, GST_CLOCK_TIME_NONE));
    return out;
  }
  void discard() override { ++g_multi.discards; }
  fn::AutoPtr<GstBuffer> tagged(guint64 tag, GstClockTime pts) {
    fn::AutoPtr<GstBuffer> b = allocate_buffer(1);
    GST_BUFFER_OFFSET(b.get()) = tag;
    GST_BUFFER_PTS(b.get()) = pts;
    return b;
  }
};

// An audio transform that delays its input by one buffer (a copy, as a real filter makes) and
// counts format changes.
int g_info_changes = 0;

class DelayTransform : public AudioTransform {
 public:
  using AudioTransform::AudioTransform;
  BufferList filter(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow) override {
    flow = GST_FLOW_OK;
    BufferList out;
    if (held) out.push_back(std::move(held));
    held = nullptr;
    if (input) {
      held = allocate_buffer(gst_buffer_get_size(input.get()));
      GST_BUFFER_OFFSET(held.get()) = GST_BUFFER_OFFSET(input.get());
    }
    return out;
  }
  void audio_info_did_change() override { ++g_info_changes; }
  void discard() override { held = nullptr; }
  fn::AutoPtr<GstBuffer> held;
};

typedef BaseTransformElement TestMulti;
typedef BaseTransformElementClass TestMultiClass;
G_DEFINE_TYPE(TestMulti, test_multi, base_transform_element_get_type())
void
test_multi_class_init(TestMultiClass *klass)
{
  fn::AutoPtr<GstCaps> any(gst_caps_new_any());
  base_transform_element_class_setup(klass, any, any);
}
void
test_multi_init(TestMulti *self)
{
  self->transform = new MultiTransform(self);
}

typedef BaseTransformElement TestDelay;
typedef BaseTransformElementClass TestDelayClass;
G_DEFINE_TYPE(TestDelay, test_delay, base_transform_element_get_type())
void
test_delay_class_init(TestDelayClass *klass)
{
  fn::AutoPtr<GstCaps> caps(gst_caps_from_string("audio/x-raw"));
  base_transform_element_class_setup(klass, caps, caps);
}
void
test_delay_init(TestDelay *self)
{
  self->transform = new DelayTransform(self);
}

constexpr char kStereo48k[] =
    "audio/x-raw,format=F32LE,rate=48000,channels=2,layout=interleaved,channel-mask=(bitmask)0x3";
// 4096 bytes of stereo F32LE at 48 kHz: 512 frames, 10 666 666 ns (truncated).
constexpr gsize kBufferBytes = 4096;
constexpr GstClockTime kBufferDuration = 10666666;

class BaseTransformTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gst_element_register(nullptr, "testmultitransform", GST_RANK_NONE, test_multi_get_type());
    gst_element_register(nullptr, "testdelaytransform", GST_RANK_NONE, test_delay_get_type());
  }
  void SetUp() override {
    g_multi = MultiConfig{};
    g_info_changes = 0;
  }
  static BaseTransform *object(GstElement *e) {
    return reinterpret_cast<BaseTransformElement *>(e)->transform;
  }
  static std::vector<guint64> tags(const std::vector<Ref<GstBuffer>> &buffers) {
    std::vector<guint64> out;
    for (const auto &b : buffers) out.push_back(GST_BUFFER_OFFSET(b.get()));
    return out;
  }
};

TEST_F(BaseTransformTest, ThreeOutputs_HandedOutOnePerCallThenNone)
{
  Ref<GstElement> e = gstref::adopt(gst_element_factory_make("testmultitransform", nullptr));
  gst_object_ref_sink(e.get());
  GstBaseTransform *trans = GST_BASE_TRANSFORM(e.get());
  BaseTransform *t = object(e.get());
  trans->queued_buf = make_buffer(4, 0);
  std::vector<guint64> got;
  for (int call = 0; call < 3; ++call) {
    GstBuffer *out = nullptr;
    EXPECT_EQ(t->generate_output(&out), GST_FLOW_OK);
    ASSERT_NE(out, nullptr);
    got.push_back(GST_BUFFER_OFFSET(out));
    gst_buffer_unref(out);
    // The input is held until its last output is handed out.
    EXPECT_EQ(trans->queued_buf == nullptr, call == 2) << call;
  }
  EXPECT_EQ(got, (std::vector<guint64>{0, 1, 2}));
  GstBuffer *out = nullptr;
  EXPECT_EQ(t->generate_output(&out), GST_FLOW_OK);
  EXPECT_EQ(out, nullptr);
}

TEST_F(BaseTransformTest, FlowValues_TravelWithBuffersOnly)
{
  Harness h = make_harness("testmultitransform", "test/x", "test/x");
  g_multi.copies = 0;
  g_multi.flow = GST_FLOW_ERROR;
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(4, 0)), GST_FLOW_OK);
  EXPECT_EQ(GST_BASE_TRANSFORM(h->element)->queued_buf, nullptr);
  EXPECT_TRUE(pull_all(h.get()).empty());

  g_multi.copies = 2;

  g_multi.flow = GST_FLOW_OK;
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(4, 0)), GST_FLOW_OK);
  EXPECT_EQ(tags(pull_all(h.get())), (std::vector<guint64>{0, 1}));

  // With buffers, the error stops the stream at the first of them.
  g_multi.flow = GST_FLOW_ERROR;
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(4, 0)), GST_FLOW_ERROR);
  EXPECT_TRUE(pull_all(h.get()).empty());
}

TEST_F(BaseTransformTest, Eos_PendingThenFlushedTailThenEos)
{
  Harness h = make_harness("testmultitransform", "test/x", "test/x");
  BaseTransform *t = object(h->element);
  // Outputs left over from a push that failed half way.
  t->pending_buffers.push_back(fn::AutoPtr<GstBuffer>(make_buffer(1)));
  GST_BUFFER_OFFSET(t->pending_buffers.back().get()) = 10;
  t->pending_buffers.push_back(fn::AutoPtr<GstBuffer>(make_buffer(1)));
  GST_BUFFER_OFFSET(t->pending_buffers.back().get()) = 11;
  pull_all_events(h.get());
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_eos()));
  EXPECT_EQ(tags(pull_all(h.get())), (std::vector<guint64>{10, 11, 99}));
  EXPECT_TRUE(t->pending_buffers.empty());
  auto events = pull_all_events(h.get());
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(GST_EVENT_TYPE(events.back().get()), GST_EVENT_EOS);
}

// Outputs of an input from before a flush never come out after it.
TEST_F(BaseTransformTest, FlushStop_DropsPendingAndDiscards)
{
  Harness h = make_harness("testmultitransform", "test/x", "test/x");
  BaseTransform *t = object(h->element);
  t->pending_buffers.push_back(fn::AutoPtr<GstBuffer>(make_buffer(1)));
  GST_BUFFER_OFFSET(t->pending_buffers.back().get()) = 10;
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE)));
  EXPECT_EQ(g_multi.discards, 1);
  ASSERT_TRUE(gst_harness_push_event(h.get(), time_segment_event(0)));
  g_multi.copies = 1;
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(4, 0)), GST_FLOW_OK);
  EXPECT_EQ(tags(pull_all(h.get())), (std::vector<guint64>{0}));
}

TEST_F(BaseTransformTest, ClassSetup_RefusesBadArgumentsWithWarnings)
{
  fn::AutoPtr<GstCaps> caps(gst_caps_new_any());
  gpointer foreign = g_type_class_ref(GST_TYPE_BIN);
  {
    ExpectGLog log(G_LOG_LEVEL_CRITICAL, "IS_TYPE_BASE_TRANSFORM_ELEMENT_CLASS(klass)");
    base_transform_element_class_setup(static_cast<BaseTransformElementClass *>(foreign), caps,
                                       caps);
    EXPECT_EQ(log.count(), 1);
  }
  g_type_class_unref(foreign);
  auto *klass = static_cast<BaseTransformElementClass *>(g_type_class_ref(test_multi_get_type()));
  const guint templates = g_list_length(gst_element_class_get_pad_template_list(
      GST_ELEMENT_CLASS(klass)));
  {
    ExpectGLog log(G_LOG_LEVEL_CRITICAL, "GST_IS_CAPS(sink_caps.get())");
    base_transform_element_class_setup(klass, fn::AutoPtr<GstCaps>(), caps);
    EXPECT_EQ(log.count(), 1);
  }
  {
    ExpectGLog log(G_LOG_LEVEL_CRITICAL, "GST_IS_CAPS(src_caps.get())");
    base_transform_element_class_setup(klass, caps, fn::AutoPtr<GstCaps>());
    EXPECT_EQ(log.count(), 1);
  }
  EXPECT_EQ(g_list_length(gst_element_class_get_pad_template_list(GST_ELEMENT_CLASS(klass))),
            templates);
  g_type_class_unref(klass);
}

class AudioTransformTest : public BaseTransformTest {
 protected:
  void SetUp() override {
    BaseTransformTest::SetUp();
    h_ = make_harness("testdelaytransform", kStereo48k, kStereo48k);
  }
  GstFlowReturn push(guint64 tag, GstClockTime pts, bool discont = false) {
    GstBuffer *b = make_buffer(kBufferBytes, pts);
    GST_BUFFER_OFFSET(b) = tag;
    if (discont) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
    return gst_harness_push(h_.get(), b);
  }
  Harness h_;
};

TEST_F(AudioTransformTest, Timestamps_ContinuousWithTheDurationFormula)
{
  // Jittery input timestamps: the output follows its own running time from the first one.
  const GstClockTime jittery[] = {ms(1000), ms(1012), ms(1019), ms(1033), ms(1040)};
  for (guint64 i = 0; i < 5; ++i) ASSERT_EQ(push(i, jittery[i]), GST_FLOW_OK);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 4u);
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(GST_BUFFER_PTS(out[i].get()), ms(1000) + i * kBufferDuration) << i;
    EXPECT_EQ(GST_BUFFER_DURATION(out[i].get()), kBufferDuration);
  }
  // EOS drains the held buffer at the same running time.
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
  auto tail = pull_all(h_.get());
  ASSERT_EQ(tail.size(), 1u);
  EXPECT_EQ(GST_BUFFER_OFFSET(tail[0].get()), 4u);
  EXPECT_EQ(GST_BUFFER_PTS(tail[0].get()), ms(1000) + 4 * kBufferDuration);
}

TEST_F(AudioTransformTest, Discont_DrainsTheOldTailThenRestartsAtTheNewPts)
{
  ASSERT_EQ(push(0, 0), GST_FLOW_OK);
  ASSERT_EQ(push(1, ms(10)), GST_FLOW_OK);
  ASSERT_EQ(push(2, ms(5000), true), GST_FLOW_OK);
  ASSERT_EQ(push(3, ms(5011)), GST_FLOW_OK);
  auto out = pull_all(h_.get());
  ASSERT_EQ(tags(out), (std::vector<guint64>{0, 1, 2}));
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), kBufferDuration);  // old running time
  EXPECT_EQ(GST_BUFFER_PTS(out[2].get()), ms(5000));
  EXPECT_TRUE(GST_BUFFER_IS_DISCONT(out[2].get()));
}

TEST_F(AudioTransformTest, FirstInputWithoutPts_OutputFollowsTheFirstValidOne)
{
  ASSERT_EQ(push(0, GST_CLOCK_TIME_NONE), GST_FLOW_OK);
  ASSERT_EQ(push(1, GST_CLOCK_TIME_NONE), GST_FLOW_OK);
  ASSERT_EQ(push(2, ms(200)), GST_FLOW_OK);
  ASSERT_EQ(push(3, ms(300)), GST_FLOW_OK);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), ms(200));
  EXPECT_EQ(GST_BUFFER_PTS(out[2].get()), ms(200) + kBufferDuration);
}

TEST_F(AudioTransformTest, FlushStop_NothingFromBeforeComesOut)
{
  ASSERT_EQ(push(0, 0), GST_FLOW_OK);
  ASSERT_EQ(push(1, ms(10)), GST_FLOW_OK);
  pull_all(h_.get());
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE)));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(ms(3000))));
  ASSERT_EQ(push(7, ms(3000), true), GST_FLOW_OK);
  ASSERT_EQ(push(8, ms(3011)), GST_FLOW_OK);
  auto out = pull_all(h_.get());
  ASSERT_EQ(tags(out), (std::vector<guint64>{7}));
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(3000));
}

TEST_F(AudioTransformTest, SetCaps_OnlyRealChangesReachTheSubclass)
{
  ASSERT_EQ(push(0, 0), GST_FLOW_OK);
  EXPECT_EQ(g_info_changes, 1);
  gst_harness_set_src_caps_str(h_.get(), kStereo48k);
  ASSERT_EQ(push(1, ms(10)), GST_FLOW_OK);
  EXPECT_EQ(g_info_changes, 1);
  gst_harness_set_src_caps_str(
      h_.get(), "audio/x-raw,format=F32LE,rate=44100,channels=2,layout=interleaved");
  gst_harness_set_sink_caps_str(
      h_.get(), "audio/x-raw,format=F32LE,rate=44100,channels=2,layout=interleaved");
  ASSERT_EQ(push(2, ms(20)), GST_FLOW_OK);
  EXPECT_EQ(g_info_changes, 2);
}

}  // namespace
