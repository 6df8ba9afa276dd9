#include "transcoding-plugins/common/base-transform.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "transcoding-plugins/common/audio-filter.h"

namespace {

using namespace testsupport;

// What the next input makes the test transform do, and the hooks it saw ('d' discard, 'i'
// format change).
int g_copies = 1;
GstFlowReturn g_flow = GST_FLOW_OK;
std::string g_hooks;

// `g_copies` outputs per input, tagged input tag * 10 + index and returned with `g_flow`; a
// drain gives one output tagged 99.
class TestTransform : public AudioTransform {
 public:
  using AudioTransform::AudioTransform;
  BufferList filter(const fn::AutoPtr<GstBuffer> &input, GstFlowReturn &flow) override {
    flow = g_flow;
    BufferList out;
    for (int i = 0; i < (input ? g_copies : 1); ++i) {
      out.push_back(allocate_buffer(4096));
      GST_BUFFER_OFFSET(out.back().get()) = input ? GST_BUFFER_OFFSET(input.get()) * 10 + i : 99;
    }
    return out;
  }
  void audio_info_did_change() override { g_hooks += 'i'; }
  void discard() override { g_hooks += 'd'; }
};

typedef BaseTransformElement TestElement;
typedef BaseTransformElementClass TestElementClass;
G_DEFINE_TYPE(TestElement, test_element, base_transform_element_get_type())
void
test_element_class_init(TestElementClass *klass)
{
  fn::AutoPtr<GstCaps> caps(gst_caps_from_string("audio/x-raw"));
  base_transform_element_class_setup(klass, caps, caps);
}
void
test_element_init(TestElement *self)
{
  self->transform = new TestTransform(self);
}

// 4096 bytes of stereo F32LE at 48 kHz: 512 frames, 10 666 666 ns (truncated).
constexpr GstClockTime D = 10666666;
constexpr GstClockTime NONE = GST_CLOCK_TIME_NONE;
constexpr auto OK = GST_FLOW_OK, ERR = GST_FLOW_ERROR;

constexpr char kStereo[] = "audio/x-raw,format=F32LE,channels=2,layout=interleaved,rate=48000";

// A push (of input `tag`), EOS, or a flush followed by a segment at `pts`. A flow value comes
// back only with a buffer.
struct Step {
  enum { Push, Eos, Flush } op;
  guint64 tag = 0;
  GstClockTime pts = NONE;
  int copies = 1;
  GstFlowReturn flow = OK;
};
// Outputs as (tag, PTS); the input pushed with DISCONT: the first output after it (the drained
// tail) and the first of the new stretch are marked so.
struct Case {
  std::vector<Step> steps;
  std::vector<std::pair<guint64, GstClockTime>> out;
  const char *hooks;
  guint64 discont = 0;
};
constexpr auto P = Step::Push;

const Case kCases[] = {
    // Several outputs per input; jittery input: the output follows its own running time from
    // the first timestamp; the tail at EOS.
    {{{P, 1, ms(1000), 3}, {P, 2, ms(1012)}, {Step::Eos}},
     {{10, ms(1000)}, {11, ms(1000) + D}, {12, ms(1000) + 2 * D}, {20, ms(1000) + 3 * D},
      {99, ms(1000) + 4 * D}}, "i"},
    // No buffers, no flow value; timestamps start at the first valid one.
    {{{P, 1, NONE, 0, ERR}, {P, 2, NONE}, {P, 3, ms(200)}, {P, 4, ms(300)}},
     {{20, NONE}, {30, ms(200)}, {40, ms(200) + D}}, "i"},
    // The error stops the stream at the first output; EOS pushes the rest before the tail.
    {{{P, 1, 0, 3, ERR}, {Step::Eos}}, {{11, D}, {12, 2 * D}, {99, 3 * D}}, "i"},
    // A flush drops pending outputs, discards the held state and restarts the time.
    {{{P, 1, 0, 2, ERR}, {Step::Flush, 0, ms(3000)}, {P, 2, ms(3000)}}, {{20, ms(3000)}}, "id"},
    // A discontinuity drains the old tail first.
    {{{P, 1, 0}, {P, 2, ms(10)}, {P, 3, ms(5000)}, {P, 4, ms(5011)}},
     {{10, 0}, {20, D}, {99, 2 * D}, {30, ms(5000)}, {40, ms(5000) + D}}, "i", 3},
};

class BaseTransformTest : public ::testing::TestWithParam<Case> {};

TEST_P(BaseTransformTest, OutputsTimestampsAndFlows)
{
  const Case &c = GetParam();
  gst_element_register(nullptr, "testtransform", GST_RANK_NONE, test_element_get_type());
  g_hooks.clear();
  Harness h = make_harness("testtransform", kStereo, kStereo);
  for (const Step &s : c.steps) {
    if (s.op == Step::Push) {
      g_copies = s.copies;
      g_flow = s.flow;
      GstBuffer *b = make_buffer(4096, s.pts);
      GST_BUFFER_OFFSET(b) = s.tag;
      if (s.tag == c.discont) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
      EXPECT_EQ(gst_harness_push(h.get(), b), s.copies ? s.flow : OK) << s.tag;
    } else if (s.op == Step::Eos) {
      ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_eos()));
    } else {
      ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_start()));
      ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE)));
      ASSERT_TRUE(gst_harness_push_event(h.get(), time_segment_event(s.pts)));
    }
  }
  auto out = pull_all(h.get());
  ASSERT_EQ(out.size(), c.out.size());
  for (size_t i = 0; i < out.size(); ++i) {
    GstBuffer *b = out[i].get();
    EXPECT_EQ(std::pair(GST_BUFFER_OFFSET(b), GST_BUFFER_PTS(b)), c.out[i]) << i;
    EXPECT_EQ(GST_BUFFER_DURATION(b), D) << i;
    const bool discont = GST_BUFFER_OFFSET(b) == 99 || GST_BUFFER_OFFSET(b) == c.discont * 10;
    EXPECT_EQ(GST_BUFFER_IS_DISCONT(b), c.discont && discont) << i;
  }
  EXPECT_EQ(g_hooks, c.hooks);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, BaseTransformTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::to_string(info.index); });

}  // namespace
