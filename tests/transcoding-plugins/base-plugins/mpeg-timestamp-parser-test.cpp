#include "transcoding-plugins/base-plugins/mpeg-timestamp-parser.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/bitstreams.h"

namespace {

using namespace testsupport;
namespace bs = testsupport::bitstream;

constexpr GstClockTime kNone = GST_CLOCK_TIME_NONE;
constexpr const char *kCaps =
    "video/mpeg,mpegversion=2,systemstream=false,parsed=true,width=64,height=64";
// Flags the element may use privately; none of them may leave it.
constexpr guint kPrivateFlags = 0x07000000;

struct Out {
  GstClockTime pts, dts, duration;
};

class MpegTimestampParserTest : public ::testing::Test {
 protected:
  // Without caps nothing is collected for the pulldown analysis, so pictures leave as soon as
  // the hold-back lets them.
  void SetUp() override {
    h_ = make_harness("mpegtimestampparser");
    gst_harness_push_event(h_.get(), gst_event_new_stream_start("mpeg"));
    gst_harness_push_event(h_.get(), time_segment_event(0));
  }
  void start_with_caps() { h_ = make_harness("mpegtimestampparser", kCaps, nullptr); }

  GstFlowReturn push(const bs::Mpeg2PictureSpec &spec, GstClockTime pts = kNone,
                     GstClockTime dts = kNone, GstClockTime duration = kNone) {
    return gst_harness_push(h_.get(), make_buffer(bs::mpeg2_picture(spec), pts, duration, dts));
  }
  GstFlowReturn push(int type, GstClockTime pts = kNone, GstClockTime dts = kNone,
                     bool sequence = false) {
    bs::Mpeg2PictureSpec spec;
    spec.type = type;
    spec.sequence = sequence;
    return push(spec, pts, dts);
  }
  std::vector<Out> pull() {
    std::vector<Out> out;
    for (auto &b : pull_all(h_.get())) {
      EXPECT_EQ(GST_BUFFER_FLAGS(b.get()) & kPrivateFlags, 0u);
      out.push_back({GST_BUFFER_PTS(b.get()), GST_BUFFER_DTS(b.get()),
                     GST_BUFFER_DURATION(b.get())});
    }
    return out;
  }
  static std::vector<GstClockTime> pts_of(const std::vector<Out> &v) {
    std::vector<GstClockTime> r;
    for (auto &o : v) r.push_back(o.pts);
    return r;
  }
  static std::vector<GstClockTime> dts_of(const std::vector<Out> &v) {
    std::vector<GstClockTime> r;
    for (auto &o : v) r.push_back(o.dts);
    return r;
  }
  // Caps of the last CAPS event that reached downstream.
  Ref<GstCaps> downstream_caps() {
    return gstref::adopt(gst_pad_get_current_caps(h_->sinkpad));
  }
  void eos() { ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos())); }

  Harness h_;
};

TEST_F(MpegTimestampParserTest, Stamping_BPicturesFollowThePictureEndsAndDtsIsContinuous)
{
  // Decode order I0 P3 B1 B2 at 25 fps; upstream stamps only the references.
  ASSERT_EQ(push(bs::kI, ms(40), ms(0), true), GST_FLOW_OK);
  ASSERT_EQ(push(bs::kP, ms(160), ms(40)), GST_FLOW_OK);
  ASSERT_EQ(push(bs::kB), GST_FLOW_OK);
  ASSERT_EQ(push(bs::kB), GST_FLOW_OK);
  eos();
  const auto out = pull();
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(pts_of(out), (std::vector<GstClockTime>{ms(40), ms(160), ms(80), ms(120)}));
  EXPECT_EQ(dts_of(out), (std::vector<GstClockTime>{ms(0), ms(40), ms(80), ms(120)}));
  for (auto &o : out) EXPECT_EQ(o.duration, ms(40));
}

TEST_F(MpegTimestampParserTest, HoldBack_ReferenceWithoutPtsWaitsForTheNextReference)
{
  ASSERT_EQ(push(bs::kI, ms(0), kNone, true), GST_FLOW_OK);
  ASSERT_EQ(push(bs::kP), GST_FLOW_OK);
  ASSERT_EQ(push(bs::kB), GST_FLOW_OK);
  ASSERT_EQ(push(bs::kB), GST_FLOW_OK);
  // Only the I picture may have left: the P and its B pictures wait for the next reference.
  EXPECT_EQ(pts_of(pull()), (std::vector<GstClockTime>{ms(0)}));
  ASSERT_EQ(push(bs::kP, ms(200)), GST_FLOW_OK);
  // The held P is stamped at the end of the second B; arrival order is kept.
  EXPECT_EQ(pts_of(pull()), (std::vector<GstClockTime>{ms(120), ms(40), ms(80), ms(200)}));
}

TEST_F(MpegTimestampParserTest, Duration_FollowsRepeatFirstField)
{
  bs::Mpeg2PictureSpec spec;
  spec.sequence = true;
  spec.progressive_sequence = true;
  spec.repeat_first_field = true;
  spec.top_field_first = true;
  push(spec, ms(0));  // progressive sequence, tff: three frame periods
  spec.sequence = false;
  spec.top_field_first = false;
  push(spec, ms(120));  // two periods
  spec.repeat_first_field = false;
  push(spec, ms(200));  // one
  // Interlaced sequence: a progressive frame with a repeated field lasts three fields.
  spec.sequence = true;
  spec.progressive_sequence = false;
  spec.repeat_first_field = true;
  push(spec, ms(240));
  spec.sequence = false;
  spec.progressive_frame = false;  // a field repeat on an interlaced frame is ignored
  push(spec, ms(300));
  eos();
  std::vector<GstClockTime> durations;
  for (auto &o : pull()) durations.push_back(o.duration);
  EXPECT_EQ(durations,
            (std::vector<GstClockTime>{ms(120), ms(80), ms(40), ms(60), ms(40)}));
}

class MpegPulldownTest : public MpegTimestampParserTest {
 protected:
  // Pushes interlaced-sequence pictures at 30000/1001 whose repeat marks, in PTS order, follow
  // `cadence` ('3' = repeated field); they arrive in a shuffled (decode-like) order.
  void SetUp() override { start_with_caps(); }
  void push_cadence(const std::string &cadence) {
    const std::vector<size_t> order = {0, 2, 1, 3, 5, 4, 6, 8, 7, 9, 11, 10};
    for (size_t i : order) {
      if (i >= cadence.size()) continue;
      bs::Mpeg2PictureSpec spec;
      spec.sequence = i == 0;
      spec.frame_rate_code = 4;  // 30000/1001
      spec.progressive_sequence = false;
      spec.repeat_first_field = cadence[i] == '3';
      spec.progressive_frame = true;
      ASSERT_EQ(push(spec, ms(40) * i), GST_FLOW_OK);
    }
  }
  void expect_framerate(gint n, gint d, const char *interlace_mode) {
    Ref<GstCaps> caps = downstream_caps();
    ASSERT_TRUE(caps);
    GstStructure *s = gst_caps_get_structure(caps.get(), 0);
    gint fn = 0, fd = 0;
    ASSERT_TRUE(gst_structure_get_fraction(s, "framerate", &fn, &fd)) << GST_PTR_FORMAT;
    EXPECT_EQ(fn, n);
    EXPECT_EQ(fd, d);
    const char *mode = gst_structure_get_string(s, "interlace-mode");
    if (interlace_mode)
      EXPECT_STREQ(mode, interlace_mode);
    else
      EXPECT_EQ(mode, nullptr);
  }
};

TEST_F(MpegPulldownTest, Pulldown_RepeatPatternAnnouncesFilmRateProgressive)
{
  push_cadence("2332233223");
  // Ten pictures collected: the analysis ran and everything left.
  EXPECT_EQ(pull().size(), 10u);
  expect_framerate(24000, 1001, "progressive");
}

TEST_F(MpegPulldownTest, Pulldown_AlternatingPatternDetectedAtEos)
{
  push_cadence("23232323");
  EXPECT_TRUE(pull().empty()) << "collected until ten pictures or EOS";
  eos();
  EXPECT_EQ(pull().size(), 8u);
  expect_framerate(24000, 1001, "progressive");
}

TEST_F(MpegPulldownTest, Pulldown_TooFewFramesOrNoPatternKeepTheCodedRate)
{
  push_cadence("2323232");
  eos();
  EXPECT_EQ(pull().size(), 7u);
  expect_framerate(30000, 1001, nullptr);
}

TEST_F(MpegPulldownTest, Pulldown_RunsAgainAfterACapsChange)
{
  push_cadence("2332233223");
  pull();
  expect_framerate(24000, 1001, "progressive");
  gst_harness_set_src_caps_str(h_.get(), "video/mpeg,mpegversion=2,systemstream=false,"
                                         "parsed=true,width=64,height=48");
  push_cadence("2222222222");
  EXPECT_EQ(pull().size(), 10u);
  expect_framerate(30000, 1001, nullptr);
}

TEST_F(MpegTimestampParserTest, Events_CapsAndSegmentAreResentBeforeTheNextBuffer)
{
  start_with_caps();
  pull_all_events(h_.get());  // stream-start went straight through
  ASSERT_FALSE(downstream_caps()) << "caps wait for the first picture";
  for (int i = 0; i < 10; ++i) push(bs::kI, ms(40) * i, kNone, i == 0);
  std::vector<GstEventType> types;
  for (auto &e : pull_all_events(h_.get())) types.push_back(GST_EVENT_TYPE(e.get()));
  EXPECT_EQ(types, (std::vector<GstEventType>{GST_EVENT_CAPS, GST_EVENT_SEGMENT}));
  EXPECT_EQ(pull().size(), 10u);
  Ref<GstCaps> caps = downstream_caps();
  gint n = 0, d = 0;
  ASSERT_TRUE(gst_structure_get_fraction(gst_caps_get_structure(caps.get(), 0), "framerate", &n,
                                         &d));
  EXPECT_EQ(n, 25);
  EXPECT_EQ(d, 1);

  // A new segment reaches downstream only with the next buffer.
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(ms(1000))));
  EXPECT_TRUE(pull_all_events(h_.get()).empty());
  push(bs::kI, ms(1000));
  auto events = pull_all_events(h_.get());
  ASSERT_EQ(events.size(), 1u);
  const GstSegment *segment;
  gst_event_parse_segment(events[0].get(), &segment);
  EXPECT_EQ(segment->start, ms(1000));
  EXPECT_EQ(pull().size(), 1u);
}

TEST_F(MpegTimestampParserTest, Caps_WithoutSequenceHeaderFramerateIsLeftUnset)
{
  start_with_caps();
  push(bs::kI, ms(0));
  eos();
  ASSERT_EQ(pull().size(), 1u);
  Ref<GstCaps> caps = downstream_caps();
  ASSERT_TRUE(caps);
  EXPECT_FALSE(gst_structure_has_field(gst_caps_get_structure(caps.get(), 0), "framerate"));
}

TEST_F(MpegTimestampParserTest, Dts_SeededFromUpstreamAndContinued)
{
  // Program stream style: only the first picture carries a DTS.
  push(bs::kI, ms(40), ms(0), true);
  push(bs::kP, ms(160));
  push(bs::kB);
  push(bs::kB);
  push(bs::kP, ms(280));
  eos();
  const auto out = pull();
  EXPECT_EQ(dts_of(out), (std::vector<GstClockTime>{ms(0), ms(40), ms(80), ms(120), ms(160)}));
  EXPECT_EQ(pts_of(out), (std::vector<GstClockTime>{ms(40), ms(160), ms(80), ms(120), ms(280)}));
}

TEST_F(MpegTimestampParserTest, HoldBack_WithoutAnyPtsReferencesShowWhenTheNextIsDecoded)
{
  // Elementary stream: the parser interpolates DTS, nothing carries a PTS.
  push(bs::kI, kNone, ms(0), true);
  push(bs::kP, kNone, ms(40));
  push(bs::kB, kNone, ms(80));
  push(bs::kB, kNone, ms(120));
  push(bs::kP, kNone, ms(160));
  eos();
  const auto out = pull();
  // The last P follows its predecessor directly: no B pictures came after it.
  EXPECT_EQ(pts_of(out), (std::vector<GstClockTime>{ms(40), ms(160), ms(80), ms(120), ms(200)}));
  EXPECT_EQ(dts_of(out), (std::vector<GstClockTime>{ms(0), ms(40), ms(80), ms(120), ms(160)}));
}

TEST_F(MpegTimestampParserTest, Dts_SeedWithoutReorderDelayNeverPassesPts)
{
  // Upstream's first DTS equals its PTS: the decode-order sum would run ahead of the B PTS.
  push(bs::kI, ms(0), ms(0), true);
  push(bs::kP, ms(120));
  push(bs::kB);
  push(bs::kB);
  push(bs::kP, ms(240));
  eos();
  const auto out = pull();
  ASSERT_EQ(out.size(), 5u);
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_TRUE(GST_CLOCK_TIME_IS_VALID(out[i].dts)) << i;
    EXPECT_LE(out[i].dts, out[i].pts) << i;
    if (i) {
      EXPECT_GE(out[i].dts, out[i - 1].dts) << i;
    }
  }
}

TEST_F(MpegTimestampParserTest, Flush_DiscontAndFlushStopReleaseHeldPictures)
{
  push(bs::kI, ms(0), kNone, true);
  push(bs::kP);  // held
  push(bs::kB);
  EXPECT_EQ(pull().size(), 1u);
  // A discontinuity pushes the held pictures out first.
  GstBuffer *buf = make_buffer(bs::mpeg2_picture({}), ms(500));
  GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
  ASSERT_EQ(gst_harness_push(h_.get(), buf), GST_FLOW_OK);
  EXPECT_EQ(pts_of(pull()), (std::vector<GstClockTime>{ms(80), ms(40), ms(500)}));

  push(bs::kP);  // held again
  push(bs::kB);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE)));
  eos();
  EXPECT_TRUE(pull().empty()) << "a flush discards what was held";
}

TEST_F(MpegTimestampParserTest, BadInput_DamagedPicturesFlowAsUnknownType)
{
  std::vector<bs::Bytes> inputs = {
      {},                                  // empty
      {0x00, 0x00, 0x01},                  // truncated start code
      {0x00, 0x00, 0x01, 0x00, 0x00},      // picture header cut short
      {0x00, 0x00, 0x01, 0x00, 0x00, 0x38, 0xff, 0xff},  // picture type 7
      {0x00, 0x00, 0x01, 0xB3, 0xff},      // sequence header cut short
      {0x00, 0x00, 0x01, 0xB5, 0x80},      // extension cut short
      {0x00, 0x00, 0x01, 0xB5, 0x00, 0x00, 0x01, 0x00},  // packets without payload
  };
  GstClockTime pts = 0;
  for (auto &bytes : inputs) {
    ASSERT_EQ(gst_harness_push(h_.get(), make_buffer(bytes, pts)), GST_FLOW_OK);
    pts += ms(40);
  }
  // Unknown pictures without PTS are held like references; EOS releases them.
  ASSERT_EQ(gst_harness_push(h_.get(), make_buffer(bs::Bytes{0xff, 0xff})), GST_FLOW_OK);
  eos();
  EXPECT_EQ(pull().size(), inputs.size() + 1);
}

}  // namespace
