#include "transcoding-plugins/base-plugins/mpeg4-timestamp-parser.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/glog-guard.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/bitstreams.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;
namespace bs = testsupport::bitstream;
using bs::operator+;

constexpr GstClockTime kNone = GST_CLOCK_TIME_NONE;
constexpr const char *kCaps =
    "video/mpeg,mpegversion=4,systemstream=false,parsed=true,width=64,height=64";
enum { kI = 0, kP = 1, kB = 2 };

class Mpeg4TimestampParserTest : public ::testing::Test {
 protected:
  void SetUp() override { h_ = make_harness("mpeg4timestampparser", kCaps, nullptr); }

  GstFlowReturn push(bs::Bytes bytes, GstClockTime pts, bool delta = true,
                     GstClockTime duration = ms(40)) {
    GstBuffer *b = make_buffer(bytes, pts, duration);
    if (delta) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    return gst_harness_push(h_.get(), b);
  }
  GstFlowReturn push_vop(int type, GstClockTime pts) {
    return push(bs::mpeg4_vop(type, true), pts, type != kI);
  }
  GstFlowReturn push_keyframe_with_vol(GstClockTime pts) {
    return push(bs::mpeg4_vol() + bs::mpeg4_vop(kI, true), pts, false);
  }

 public:
  struct Out {
    GstClockTime pts, dts, duration;
    gsize size;
  };

 protected:
  std::vector<Out> pull() {
    std::vector<Out> out;
    for (auto &b : pull_all(h_.get()))
      out.push_back({GST_BUFFER_PTS(b.get()), GST_BUFFER_DTS(b.get()),
                     GST_BUFFER_DURATION(b.get()), gst_buffer_get_size(b.get())});
    return out;
  }
  void eos() { ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos())); }

  Harness h_;
};

std::vector<GstClockTime>
pts_of(const std::vector<Mpeg4TimestampParserTest::Out> &v)
{
  std::vector<GstClockTime> r;
  for (auto &o : v) r.push_back(o.pts);
  return r;
}

std::vector<GstClockTime>
dts_of(const std::vector<Mpeg4TimestampParserTest::Out> &v)
{
  std::vector<GstClockTime> r;
  for (auto &o : v) r.push_back(o.dts);
  return r;
}

TEST_F(Mpeg4TimestampParserTest, Reorder_GroupTimestampsGoOutInDisplayAndDecodeOrder)
{
  // AVI style: one timestamp per frame in decode order, I P B B P.
  ASSERT_EQ(push_keyframe_with_vol(ms(0)), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kP, ms(40)), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kB, ms(80)), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kB, ms(120)), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kP, ms(160)), GST_FLOW_OK);
  eos();
  const auto out = pull();
  ASSERT_EQ(out.size(), 5u);
  // Decode order kept; the first P takes the group's largest timestamp.
  EXPECT_EQ(pts_of(out), (std::vector<GstClockTime>{ms(0), ms(120), ms(40), ms(80), ms(160)}));
  EXPECT_EQ(dts_of(out), (std::vector<GstClockTime>{ms(0), ms(40), ms(80), ms(120), ms(160)}));
}

TEST_F(Mpeg4TimestampParserTest, Reorder_FramesBeforeTheFirstVolPassUnchanged)
{
  ASSERT_EQ(push(bs::mpeg4_vop(kI, true), ms(0), false), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kP, ms(40)), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kB, ms(80)), GST_FLOW_OK);
  EXPECT_EQ(pts_of(pull()), (std::vector<GstClockTime>{ms(0), ms(40), ms(80)}));
}

TEST_F(Mpeg4TimestampParserTest, Placeholder_FoldsOntoAFramePackedWithItsPredecessor)
{
  ASSERT_EQ(push_keyframe_with_vol(ms(0)), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kP, ms(40)), GST_FLOW_OK);
  // A packed B split off its P: same timestamp as its predecessor.
  ASSERT_EQ(push_vop(kB, ms(40)), GST_FLOW_OK);
  const bs::Bytes placeholder = bs::mpeg4_vop(kP, false, 5, 1);
  ASSERT_EQ(placeholder.size(), 7u);
  ASSERT_EQ(push(placeholder, ms(80), true, ms(40)), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kP, ms(120)), GST_FLOW_OK);
  eos();
  const auto out = pull();
  ASSERT_EQ(out.size(), 4u) << "the placeholder is dropped";
  EXPECT_EQ(pts_of(out), (std::vector<GstClockTime>{ms(0), ms(80), ms(40), ms(120)}));
  EXPECT_EQ(dts_of(out), (std::vector<GstClockTime>{ms(0), ms(40), ms(80), ms(120)}));
}

TEST_F(Mpeg4TimestampParserTest, Placeholder_MissingAtTheEndLeavesTheLastSlotToTheReference)
{
  // A packed stream cut before its last placeholder: the B-frame packed with the I shares a
  // timestamp with the next one, and nothing brings the I's own slot.
  ASSERT_EQ(push_keyframe_with_vol(ms(0)), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kB, ms(40)), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kB, ms(40)), GST_FLOW_OK);
  eos();
  EXPECT_EQ(pts_of(pull()), (std::vector<GstClockTime>{ms(80), ms(0), ms(40)}));
}

TEST(Mpeg4TimestampParserMedia, Placeholder_PackedXvidCutBeforeOneKeepsPtsUniqueAndDtsRising)
{
  // Xvid packs B-frames in AVI; 51 frames end on a placeholder, and the copy cut one packet
  // earlier ends without it. Both must decode like the 51 frames.
  const std::string full = media::command_clip(
      "xvid-packed-51.avi", "ffmpeg -v error -y -f lavfi -i testsrc2=size=64x64:rate=25 -frames:v "
                            "51 -pix_fmt yuv420p -c:v libxvid -bf 2 -g 12 -vtag XVID {out}");
  const std::string packets = "ffprobe -v error -show_entries packet=pts,dts -of csv=p=0 ";
  const std::string cut = media::command_clip(
      "xvid-packed-50.avi", "ffmpeg -v error -y -i " + full + " -c copy -frames:v $(($(" + packets +
                                full + " | wc -l) - 1)) {out}");
  const std::string decode = " -vsync 0 -f framemd5 - | cut -sd, -f6", mux =
      " ! avidemux ! mpeg4parsebin ! mpeg4postprocessor ! mp4mux ! filesink location=";
  const std::string oracle = run_command("ffmpeg -v error -i " + full + decode).output;
  const char *check = " | awk -F, '$1 in pts { print \"PTS again\", $1 } NR > 1 && $2 <= dts "
                      "{ print \"DTS not rising\", $2 } { pts[$1]; dts = $2 }'";
  ASSERT_FALSE(cut.empty() || oracle.empty());
  for (const std::string &in : {full, cut}) {
    SCOPED_TRACE(in);
    ASSERT_TRUE(run_pipeline("filesrc location=" + in + mux + in + ".mp4").ok);
    EXPECT_EQ(run_command("ffmpeg -v error -i " + in + ".mp4" + decode).output, oracle);
    EXPECT_EQ(run_command(packets + in + ".mp4" + check).output, "");
  }
}

TEST_F(Mpeg4TimestampParserTest, Placeholder_AfterARegularFrameIsDroppedWithoutCopying)
{
  ASSERT_EQ(push_keyframe_with_vol(ms(0)), GST_FLOW_OK);
  ASSERT_EQ(push_vop(kP, ms(40)), GST_FLOW_OK);
  ASSERT_EQ(push(bs::mpeg4_vop(kP, false, 5, 1), ms(80)), GST_FLOW_OK);
  eos();
  EXPECT_EQ(pts_of(pull()), (std::vector<GstClockTime>{ms(0), ms(40)}));
}

TEST_F(Mpeg4TimestampParserTest, Placeholder_TimeIncrementWidthFollowsTheResolution)
{
  // A resolution of 16 codes vop_time_increment in 4 bits (values 0..15).
  ASSERT_EQ(push(bs::mpeg4_vol(16) + bs::mpeg4_vop(kI, true, 4), ms(0), false), GST_FLOW_OK);
  ASSERT_EQ(push(bs::mpeg4_vop(kP, true, 4), ms(40)), GST_FLOW_OK);
  ASSERT_EQ(push(bs::mpeg4_vop(kP, false, 4, 1), ms(80)), GST_FLOW_OK);
  eos();
  EXPECT_EQ(pull().size(), 2u) << "the placeholder must be recognised";
}

TEST_F(Mpeg4TimestampParserTest, Placeholder_BrokenHeaderCountsAsCodedWithAWarning)
{
  ASSERT_EQ(push_keyframe_with_vol(ms(0)), GST_FLOW_OK);
  // Start code, coding type P, then a zero marker bit: a damaged header, kept as a frame.
  ASSERT_EQ(push(bs::Bytes{0x00, 0x00, 0x01, 0xB6, 0x40, 0x00, 0x00}, ms(40)), GST_FLOW_OK);
  // Too short to hold a header: not coded.
  ASSERT_EQ(push(bs::Bytes{0x00, 0x00, 0x01, 0xB6, 0x40, 0x00, 0x00, 0x01, 0xB6}, ms(80)),
            GST_FLOW_OK);
  eos();
  EXPECT_EQ(pts_of(pull()), (std::vector<GstClockTime>{ms(0), ms(40)}));
}

TEST_F(Mpeg4TimestampParserTest, LeadingDeltaFrames_AtMostAHundredAreDropped)
{
  for (int i = 0; i < 150; ++i) ASSERT_EQ(push_vop(kP, ms(40) * i), GST_FLOW_OK);
  const auto out = pull();
  ASSERT_EQ(out.size(), 50u);
  EXPECT_EQ(out.front().pts, ms(4000));
}

TEST_F(Mpeg4TimestampParserTest, LeadingDeltaFrames_StopAtTheFirstKeyFrame)
{
  push_vop(kP, ms(0));
  push(bs::mpeg4_vop(kI, true), ms(40), false);
  push_vop(kP, ms(80));
  EXPECT_EQ(pts_of(pull()), (std::vector<GstClockTime>{ms(40), ms(80)}));
}

TEST_F(Mpeg4TimestampParserTest, Caps_OnlyTheFirstIsForwardedAndItsRateFillsDurations)
{
  gst_harness_set_src_caps_str(h_.get(), "video/mpeg,mpegversion=4,systemstream=false,"
                                         "parsed=true,width=64,height=48,framerate=30/1");
  Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(h_->sinkpad));
  gint width = 0;
  gst_structure_get_int(gst_caps_get_structure(caps.get(), 0), "width", &width);
  EXPECT_EQ(width, 64) << "a second caps event is not forwarded";

  push_keyframe_with_vol(ms(0));
  push(bs::mpeg4_vop(kP, true), ms(33), true, kNone);
  eos();
  const auto out = pull();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].duration, ms(40)) << "a duration from upstream stays";
  EXPECT_EQ(out[1].duration, GST_SECOND / 30);
}

TEST_F(Mpeg4TimestampParserTest, Flush_SegmentPushesTheGroupAndFlushStopDropsIt)
{
  push_keyframe_with_vol(ms(0));
  push_vop(kP, ms(40));
  EXPECT_EQ(pull().size(), 1u);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(0)));
  EXPECT_EQ(pull().size(), 1u) << "a segment ends the group";

  push_vop(kP, ms(80));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE)));
  eos();
  EXPECT_TRUE(pull().empty());
}

TEST_F(Mpeg4TimestampParserTest, BadInput_DamagedBuffersNeverCrash)
{
  push_keyframe_with_vol(ms(0));
  const std::vector<bs::Bytes> inputs = {
      {},
      {0x00, 0x00, 0x01},
      {0x00, 0x00, 0x01, 0xB6},
      {0x00, 0x00, 0x01, 0x20, 0xff},  // truncated VOL
      {0x00, 0x00, 0x01, 0x20, 0x00, 0x00, 0x01, 0xB6, 0x80, 0x00, 0x00, 0x01},
      {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde},
  };
  for (auto &bytes : inputs) ASSERT_EQ(push(bytes, ms(40)), GST_FLOW_OK);
  eos();
  EXPECT_GE(pull().size(), 1u);
}

}  // namespace
