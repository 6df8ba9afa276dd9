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
using Times = std::vector<GstClockTime>;

constexpr GstClockTime kNone = GST_CLOCK_TIME_NONE;
constexpr const char *kCaps =
    "video/mpeg,mpegversion=4,systemstream=false,parsed=true,width=64,height=64";
enum { kI = 0, kP = 1, kB = 2 };

struct Step {
  char what;  // b: a buffer, E: EOS, S: a segment, F: a flush, C: new caps at 30 fps
  bs::Bytes bytes = {};
  GstClockTime pts = kNone;
  bool delta = true;
  GstClockTime duration = ms(40);
};

Step
vop(int type, GstClockTime pts, bool coded = true, int increment_bits = 5)
{
  return {'b', bs::mpeg4_vop(type, coded, increment_bits, coded ? 16 : 1), pts, type != kI};
}
// A keyframe with the VOL in front, as the first frame of a stream.
Step
vol_i(GstClockTime pts, int resolution = 25, int increment_bits = 5)
{
  return {'b', bs::mpeg4_vol(resolution) + bs::mpeg4_vop(kI, true, increment_bits), pts, false};
}

Times
every_40ms(int from, int count)
{
  Times t;
  for (int i = from; i < from + count; ++i) t.push_back(ms(40) * i);
  return t;
}

struct Case {
  const char *name;
  std::vector<Step> steps;
  Times pts;
  Times dts = {};       // unchecked when empty
  Times duration = {};  // unchecked when empty
};

const std::vector<Case> kCases = {
    // AVI style: one timestamp per frame in decode order; the first P takes the group's largest.
    {"I P B B P reordered",
     {vol_i(0), vop(kP, ms(40)), vop(kB, ms(80)), vop(kB, ms(120)), vop(kP, ms(160)), {'E'}},
     {0, ms(120), ms(40), ms(80), ms(160)}, every_40ms(0, 5)},
    {"frames before the first VOL pass unchanged",
     {vop(kI, 0), vop(kP, ms(40)), vop(kB, ms(80))}, every_40ms(0, 3)},
    // A packed B split off its P has its predecessor's timestamp; the placeholder is dropped.
    {"placeholder folds onto a packed frame",
     {vol_i(0), vop(kP, ms(40)), vop(kB, ms(40)), vop(kP, ms(80), false), vop(kP, ms(120)),
      {'E'}},
     {0, ms(80), ms(40), ms(120)}, every_40ms(0, 4)},
    // Cut before its last placeholder: nothing brings the I's own slot.
    {"placeholder missing at the end", {vol_i(0), vop(kB, ms(40)), vop(kB, ms(40)), {'E'}},
     {ms(80), 0, ms(40)}},
    {"placeholder after a regular frame dropped",
     {vol_i(0), vop(kP, ms(40)), vop(kP, ms(80), false), {'E'}}, every_40ms(0, 2)},
    // A resolution of 16 codes vop_time_increment in 4 bits.
    {"placeholder time increment width follows the resolution",
     {vol_i(0, 16, 4), vop(kP, ms(40), true, 4), vop(kP, ms(80), false, 4), {'E'}},
     every_40ms(0, 2)},
    // Coding type P and a zero marker bit: damaged, kept; then one too short for a header.
    {"broken header counts as coded",
     {vol_i(0), {'b', {0x00, 0x00, 0x01, 0xB6, 0x40, 0x00, 0x00}, ms(40)},
      {'b', {0x00, 0x00, 0x01, 0xB6, 0x40, 0x00, 0x00, 0x01, 0xB6}, ms(80)}, {'E'}},
     every_40ms(0, 2)},
    {"leading delta frames stop at the first keyframe",
     {vop(kP, 0), vop(kI, ms(40)), vop(kP, ms(80))}, every_40ms(1, 2)},
    // Only the first caps go downstream; their rate fills a missing duration.
    {"caps",
     {{'C'}, vol_i(0), {'b', bs::mpeg4_vop(kP, true), ms(33), true, kNone}, {'E'}},
     {0, ms(33)}, {}, {ms(40), GST_SECOND / 30}},
    // A segment pushes the group out, a flush drops the next.
    {"segment and flush",
     {vol_i(0), vop(kP, ms(40)), {'S'}, vop(kP, ms(80)), {'F'}, {'E'}}, every_40ms(0, 2)},
    {"damaged buffers", {vol_i(0), {'b', {}, ms(40)}, {'b', {0x00, 0x00, 0x01}, ms(40)},
      {'b', {0x00, 0x00, 0x01, 0xB6}, ms(40)},
      {'b', {0x00, 0x00, 0x01, 0x20, 0xff}, ms(40)},  // truncated VOL
      {'b', {0x00, 0x00, 0x01, 0x20, 0x00, 0x00, 0x01, 0xB6, 0x80, 0x00, 0x00, 0x01}, ms(40)},
      {'b', {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde}, ms(40)}, {'E'}}, {}},
};

TEST(Mpeg4TimestampParserTest, CraftedFramesGiveTheirTimestamps)
{
  std::vector<Case> cases = kCases;
  // At most a hundred leading delta frames are dropped.
  cases.push_back({"a hundred leading delta frames", {}, every_40ms(100, 50)});
  for (int i = 0; i < 150; ++i) cases.back().steps.push_back(vop(kP, ms(40) * i));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Harness h = make_harness("mpeg4timestampparser", kCaps, nullptr);
    for (const Step &s : c.steps) {
      EXPECT_TRUE(s.what != 'E' || gst_harness_push_event(h.get(), gst_event_new_eos()));
      EXPECT_TRUE(s.what != 'S' || gst_harness_push_event(h.get(), time_segment_event(0)));
      if (s.what == 'F') {
        EXPECT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_start()));
        EXPECT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE)));
      }
      if (s.what == 'C')
        gst_harness_set_src_caps_str(h.get(), "video/mpeg,mpegversion=4,systemstream=false,"
                                              "parsed=true,width=64,height=48,framerate=30/1");
      if (s.what != 'b') continue;
      GstBuffer *b = make_buffer(s.bytes, s.pts, s.duration);
      if (s.delta) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
      EXPECT_EQ(gst_harness_push(h.get(), b), GST_FLOW_OK);
    }
    Times pts, dts, duration;
    for (auto &b : pull_all(h.get())) {
      pts.push_back(GST_BUFFER_PTS(b.get()));
      dts.push_back(GST_BUFFER_DTS(b.get()));
      duration.push_back(GST_BUFFER_DURATION(b.get()));
    }
    EXPECT_TRUE(c.pts.empty() ? !pts.empty() : pts == c.pts) << ::testing::PrintToString(pts);
    EXPECT_TRUE(c.dts.empty() || dts == c.dts) << ::testing::PrintToString(dts);
    EXPECT_TRUE(c.duration.empty() || duration == c.duration);
    Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
    gint height = 0;
    gst_structure_get_int(gst_caps_get_structure(caps.get(), 0), "height", &height);
    EXPECT_EQ(height, 64) << "a second caps event is not forwarded";
  }
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

}  // namespace
