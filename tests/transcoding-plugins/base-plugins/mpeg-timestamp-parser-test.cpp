#include "transcoding-plugins/base-plugins/mpeg-timestamp-parser.h"

#include <gtest/gtest.h>

#include "tests/support/gst-helpers.h"
#include "tests/support/bitstreams.h"

namespace {

using namespace testsupport;
using namespace testsupport::bitstream;
using Times = std::vector<GstClockTime>;
const std::string kCaps = "video/mpeg,mpegversion=2,systemstream=false,parsed=true,width=64";

struct Picture {  // times in ms, -1: none
  Mpeg2PictureSpec spec; int pts = -1, dts = -1; bool discont = false, flush = false;
};

struct MpegTimestampParserTest : ::testing::Test {
  void SetUp() override { h_ = make_harness("mpegtimestampparser", kCaps.c_str(), nullptr); }
  void push(const Picture &p) {
    if (p.flush) gst_harness_push_event(h_.get(), gst_event_new_flush_start());
    if (p.flush) gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE));
    if (p.flush) gst_harness_push_event(h_.get(), time_segment_event(0));
    GstBuffer *b = make_buffer(mpeg2_picture(p.spec), p.pts < 0 ? GST_CLOCK_TIME_NONE : ms(p.pts),
                               GST_CLOCK_TIME_NONE, p.dts < 0 ? GST_CLOCK_TIME_NONE : ms(p.dts));
    if (p.discont) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
    ASSERT_EQ(gst_harness_push(h_.get(), b), GST_FLOW_OK);
  }
  // What left the element (after EOS when `eos`).
  std::vector<Ref<GstBuffer>> pull(bool eos) {
    EXPECT_TRUE(!eos || gst_harness_push_event(h_.get(), gst_event_new_eos()));
    auto out = pull_all(h_.get());
    // Flags the element may use privately; none of them may leave it.
    for (auto &b : out) EXPECT_EQ(GST_BUFFER_FLAGS(b.get()) & 0x07000000, 0u);
    return out;
  }
  // Whether the caps downstream are the input caps with exactly `fields` added.
  bool caps_are(const std::string &fields) {
    Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(h_->sinkpad)),
                 want = gstref::adopt(gst_caps_from_string((kCaps + fields).c_str()));
    return caps && gst_caps_is_equal(caps.get(), want.get());
  }
  Harness h_;
};

TEST_F(MpegTimestampParserTest, Stamping_FollowsPictureEndsInDecodeOrder)
{
  // Progressive sequence: a repeated first field lasts three periods with top_field_first,
  // two without; in an interlaced sequence it adds a field to a progressive frame only.
  const Mpeg2PictureSpec I{kI, true}, P{kP}, B{kB}, tff{kI, true, 3, true, true, true, true, true},
      rff{kI, false, 3, true, true, false, true, true}, fld{kI, false, 3, true, true, 0, 1, 0},
      interlaced{kI, true, 3, true, false, true, true, true};
  // Expected PTS, DTS and durations in ms; empty: not checked.
  struct Case { const char *name; std::vector<Picture> in; Times pts, dts{}, dur{}; };
  const Case cases[] = {
      {"DTS seeded once", {{I, 40, 0}, {P, 160}, {B}, {B}, {P, 280}}, {40, 160, 80, 120, 280},
       {0, 40, 80, 120, 160}},
      {"no PTS at all", {{I, -1, 0}, {P, -1, 40}, {B, -1, 80}, {B, -1, 120}, {P, -1, 160}},
       {40, 160, 80, 120, 200}, {0, 40, 80, 120, 160}},
      // A discontinuity pushes what is held first (a P without PTS is stamped at the end of the
      // B before it); a flush drops it.
      {"discont", {{I, 0}, {P}, {B}, {I, 500, -1, true}}, {0, 80, 40, 500}},
      {"flush", {{I, 0}, {P}, {B}, {P, 500, -1, false, true}}, {500}},
      {"repeated fields", {{tff, 0}, {rff, 120}, {P, 200}, {interlaced, 240}, {fld, 300}},
       {0, 120, 200, 240, 300}, {}, {120, 80, 40, 60, 40}},
      // First DTS equal to its PTS: DTS in decode order would run ahead of the B pictures.
      {"seed without delay", {{I, 0, 0}, {P, 120}, {B}, {B}, {P, 240}}, {0, 120, 40, 80, 240}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    for (const Picture &p : c.in) push(p);
    Times pts, dts, dur;  // ms
    for (auto &b : pull(true))
      for (auto [v, t] : {std::pair{&pts, b->pts}, {&dts, b->dts}, {&dur, b->duration}})
        v->push_back(t / GST_MSECOND);
    EXPECT_EQ(std::tuple(pts, c.dts.empty() ? c.dts : dts, c.dur.empty() ? c.dur : dur),
              std::tuple(c.pts, c.dts, c.dur));
    // Wherever upstream gave a DTS to start from, DTS never pass PTS and never go back.
    for (gsize i = 0; c.in[0].dts >= 0 && i < dts.size(); ++i)
      EXPECT_TRUE(dts[i] <= pts[i] && (i == 0 || dts[i] >= dts[i - 1])) << i;
  }
}

// 3:2 pulldown in the repeat marks of the first ten pictures after a caps change (in PTS order)
// is announced as progressive film at 24000/1001.
TEST_F(MpegTimestampParserTest, Pulldown_IsDetectedOncePerCapsChange)
{
  // One cadence per caps ('3': repeated field), pictures out before EOS, fields added to the
  // last input caps at the end.
  struct Case { std::vector<std::string> cadences; gsize before_eos; const char *caps; };
  const Case cases[] = {
      {{"2332233223"}, 10, ",height=48,framerate=24000/1001,interlace-mode=progressive"},
      // Held until ten pictures or EOS.
      {{"23232323"}, 0, ",height=48,framerate=24000/1001,interlace-mode=progressive"},
      {{"2323232"}, 0, ",height=48,framerate=30000/1001"},
      {{"2332233223", "2222222222"}, 20, ",height=49,framerate=30000/1001"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.cadences.back());
    SetUp();
    for (int k = 48; const std::string &cadence : c.cadences) {
      gst_harness_set_src_caps_str(h_.get(), (kCaps + ",height=" + std::to_string(k++)).c_str());
      for (gsize i : {0, 2, 1, 3, 5, 4, 6, 8, 7, 9})  // decode order: pairs after the first swapped
        if (i < cadence.size())
          push({{kI, i == 0, 4, true, false, false, cadence[i] == '3', true}, int(40 * i)});
    }
    EXPECT_EQ(pull(false).size(), c.before_eos);
    pull(true);
    EXPECT_TRUE(caps_are(c.caps));
  }
}

// Caps and segment wait for the first picture; damaged pictures flow on as of unknown type.
TEST_F(MpegTimestampParserTest, DamagedPictures_FlowAfterTheHeldCapsAndSegment)
{
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(ms(1000))));
  EXPECT_EQ(pull_all_events(h_.get()).size(), 1u);  // stream-start only
  push({{kI}, 1000});  // no sequence header: no frame rate to announce
  EXPECT_FALSE(gst_pad_has_current_caps(h_->sinkpad));
  // Empty, a truncated start code, a picture header cut short, picture type 7, a sequence
  // header and an extension cut short, packets without payload, and no start code at all:
  // without PTS, such pictures are held like references until EOS.
  const std::vector<Bytes> in = {{}, {0, 0, 1}, {0, 0, 1, 0, 0}, {0, 0, 1, 0, 0, 0x38, 0xff, 0xff},
      {0, 0, 1, 0xB3, 0xff}, {0, 0, 1, 0xB5, 0x80}, {0, 0, 1, 0xB5, 0, 0, 1, 0}, {0xff, 0xff}};
  for (const Bytes &b : in) ASSERT_EQ(gst_harness_push(h_.get(), make_buffer(b)), GST_FLOW_OK);
  EXPECT_EQ(pull(true).size(), in.size() + 1);
  EXPECT_TRUE(caps_are(""));
  std::string types;  // with the segment's start in ms
  for (auto &e : pull_all_events(h_.get())) {
    const GstSegment *s = nullptr;
    if (GST_EVENT_TYPE(e.get()) == GST_EVENT_SEGMENT) gst_event_parse_segment(e.get(), &s);
    types += GST_EVENT_TYPE_NAME(e.get()) + (s ? std::to_string(s->start / GST_MSECOND) : "") + " ";
  }
  EXPECT_EQ(types, "caps segment1000 eos ");
}

}  // namespace
