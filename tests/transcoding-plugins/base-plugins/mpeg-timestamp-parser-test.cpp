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
using Times = std::vector<GstClockTime>;
constexpr GstClockTime kNone = GST_CLOCK_TIME_NONE;
constexpr const char *kCaps = "video/mpeg,mpegversion=2,systemstream=false,parsed=true,width=64";

struct Picture {
  bs::Mpeg2PictureSpec spec;
  int pts = -1, dts = -1;  // ms; -1: none
  bool discont = false, flush_before = false;
};

class MpegTimestampParserTest : public ::testing::Test {
 protected:
  void start() { h_ = make_harness("mpegtimestampparser", kCaps, nullptr); }
  void push(const Picture &p) {
    if (p.flush_before) gst_harness_push_event(h_.get(), gst_event_new_flush_start());
    if (p.flush_before) gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE));
    if (p.flush_before) gst_harness_push_event(h_.get(), time_segment_event(0));
    GstBuffer *b = make_buffer(bs::mpeg2_picture(p.spec), p.pts < 0 ? kNone : ms(p.pts), kNone,
                               p.dts < 0 ? kNone : ms(p.dts));
    if (p.discont) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DISCONT);
    ASSERT_EQ(gst_harness_push(h_.get(), b), GST_FLOW_OK);
  }
  std::vector<Ref<GstBuffer>> pull() {
    auto out = pull_all(h_.get());
    // Flags the element may use privately; none of them may leave it.
    for (auto &b : out) EXPECT_EQ(GST_BUFFER_FLAGS(b.get()) & 0x07000000, 0u);
    return out;
  }
  // Framerate and interlace-mode of the caps downstream ("0/0 -" when absent).
  std::string caps_summary() {
    Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(h_->sinkpad));
    GstStructure *s = caps ? gst_caps_get_structure(caps.get(), 0) : nullptr;
    gint n = 0, d = 0;
    if (s) gst_structure_get_fraction(s, "framerate", &n, &d);
    const char *mode = s ? gst_structure_get_string(s, "interlace-mode") : nullptr;
    return std::to_string(n) + "/" + std::to_string(d) + " " + (mode ? mode : "-");
  }
  Harness h_;
};

TEST_F(MpegTimestampParserTest, Stamping_FollowsPictureEndsInDecodeOrder)
{
  const bs::Mpeg2PictureSpec I{bs::kI, true}, P{bs::kP}, B{bs::kB};
  // Progressive sequence: a repeated first field lasts three periods with top_field_first,
  // two without; in an interlaced sequence it adds a field to a progressive frame only.
  const bs::Mpeg2PictureSpec rff_tff{bs::kI, true, 3, true, true, true, true, true},
      rff{bs::kI, false, 3, true, true, false, true, true},
      interlaced{bs::kI, true, 3, true, false, true, true, true},
      field{bs::kI, false, 3, true, true, false, true, false};
  struct Case {
    const char *name;
    std::vector<Picture> in;
    Times pts, dts, duration;  // ms; empty: not checked
  } const cases[] = {
      {"references stamped", {{I, 40, 0}, {P, 160, 40}, {B}, {B}}, {40, 160, 80, 120},
       {0, 40, 80, 120}, {40, 40, 40, 40}},
      // The P waits for the next reference and is stamped at the end of the second B.
      {"P without PTS", {{I, 0}, {P}, {B}, {B}, {P, 200}}, {0, 120, 40, 80, 200}, {}, {}},
      {"DTS seeded once", {{I, 40, 0}, {P, 160}, {B}, {B}, {P, 280}}, {40, 160, 80, 120, 280},
       {0, 40, 80, 120, 160}, {}},
      {"no PTS at all", {{I, -1, 0}, {P, -1, 40}, {B, -1, 80}, {B, -1, 120}, {P, -1, 160}},
       {40, 160, 80, 120, 200}, {0, 40, 80, 120, 160}, {}},
      // A discontinuity pushes what is held first; a flush drops it.
      {"discont", {{I, 0}, {P}, {B}, {I, 500, -1, true}}, {0, 80, 40, 500}, {}, {}},
      {"flush", {{I, 0}, {P}, {B}, {P, 500, -1, false, true}}, {500}, {}, {}},
      {"repeated fields", {{rff_tff, 0}, {rff, 120}, {P, 200}, {interlaced, 240}, {field, 300}},
       {0, 120, 200, 240, 300}, {}, {120, 80, 40, 60, 40}},
      // First DTS equal to its PTS: DTS in decode order would run ahead of the B pictures.
      {"seed without delay", {{I, 0, 0}, {P, 120}, {B}, {B}, {P, 240}}, {0, 120, 40, 80, 240},
       {}, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    start();
    for (const Picture &p : c.in) push(p);
    ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
    Times pts, dts, duration;
    for (auto &b : pull()) {
      pts.push_back(GST_BUFFER_PTS(b.get()) / GST_MSECOND);
      dts.push_back(GST_BUFFER_DTS(b.get()));
      duration.push_back(GST_BUFFER_DURATION(b.get()) / GST_MSECOND);
    }
    EXPECT_EQ(pts, c.pts);
    EXPECT_EQ(c.duration.empty() ? c.duration : duration, c.duration);
    for (gsize i = 0; i < c.dts.size(); ++i) EXPECT_EQ(dts.at(i), ms(c.dts[i])) << i;
    // Wherever upstream gave a DTS to start from, DTS never pass PTS and never go back.
    for (gsize i = 0; c.in[0].dts >= 0 && i < dts.size(); ++i)
      EXPECT_TRUE(dts[i] <= ms(pts[i]) && (i == 0 || dts[i] >= dts[i - 1])) << i;
  }
}

// 3:2 pulldown in the repeat marks of the first ten pictures after a caps change (in PTS order)
// is announced as progressive film at 24000/1001.
TEST_F(MpegTimestampParserTest, Pulldown_IsDetectedOncePerCapsChange)
{
  struct Case {
    std::vector<std::string> cadences;  // one per caps; '3': repeated field
    gsize before_eos;                   // pictures out before EOS
    const char *caps;
  } const cases[] = {
      {{"2332233223"}, 10, "24000/1001 progressive"},
      {{"23232323"}, 0, "24000/1001 progressive"},  // held until ten pictures or EOS
      {{"2323232"}, 0, "30000/1001 -"},
      {{"2332233223", "2222222222"}, 20, "30000/1001 -"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.cadences.back());
    start();
    for (const std::string &cadence : c.cadences) {
      if (&cadence != &c.cadences[0])
        gst_harness_set_src_caps_str(h_.get(), (kCaps + std::string(",height=48")).c_str());
      // Decode order: each pair after the first picture swapped.
      for (gsize i : {0, 2, 1, 3, 5, 4, 6, 8, 7, 9})
        if (i < cadence.size())
          push({{bs::kI, i == 0, 4, true, false, false, cadence[i] == '3', true}, int(40 * i)});
    }
    EXPECT_EQ(pull().size(), c.before_eos);
    ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
    pull();
    EXPECT_EQ(caps_summary(), c.caps);
  }
}

TEST_F(MpegTimestampParserTest, Events_CapsAndSegmentWaitForTheNextPicture)
{
  start();
  pull_all_events(h_.get());
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(ms(1000))));
  EXPECT_TRUE(pull_all_events(h_.get()).empty());
  push({{bs::kI}, 1000});  // no sequence header: no frame rate to announce
  EXPECT_FALSE(gst_pad_has_current_caps(h_->sinkpad));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
  EXPECT_EQ(caps_summary(), "0/0 -");
  std::string types;
  for (auto &e : pull_all_events(h_.get())) {
    types += GST_EVENT_TYPE_NAME(e.get()) + std::string(" ");
    const GstSegment *segment = nullptr;
    if (GST_EVENT_TYPE(e.get()) == GST_EVENT_SEGMENT) gst_event_parse_segment(e.get(), &segment);
    EXPECT_TRUE(!segment || segment->start == ms(1000));
  }
  EXPECT_EQ(types, "caps segment eos ");
  EXPECT_EQ(pull().size(), 1u);
}

TEST_F(MpegTimestampParserTest, DamagedPictures_FlowAsUnknownType)
{
  start();
  // Empty, a truncated start code, a picture header cut short, picture type 7, a sequence
  // header and an extension cut short, packets without payload, and no start code at all (last,
  // without PTS: unknown pictures without PTS are held like references until EOS).
  const std::vector<bs::Bytes> inputs = {
      {}, {0, 0, 1}, {0, 0, 1, 0, 0}, {0, 0, 1, 0, 0, 0x38, 0xff, 0xff}, {0, 0, 1, 0xB3, 0xff},
      {0, 0, 1, 0xB5, 0x80}, {0, 0, 1, 0xB5, 0, 0, 1, 0}, {0xff, 0xff}};
  for (gsize i = 0; i < inputs.size(); ++i)
    ASSERT_EQ(gst_harness_push(h_.get(), make_buffer(inputs[i], i < 7 ? ms(40 * i) : kNone)),
              GST_FLOW_OK);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
  EXPECT_EQ(pull().size(), inputs.size());
}

}  // namespace
