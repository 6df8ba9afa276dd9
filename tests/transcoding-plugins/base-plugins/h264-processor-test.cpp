#include "transcoding-plugins/base-plugins/h264-processor.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/bitstreams.h"
#include "tests/support/gst-helpers.h"
#include "tests/support/gst-log-capture.h"

namespace {

using namespace testsupport;
namespace h = testsupport::h264;
using Bytes = h::Bytes;
using h::Picture;
namespace hp = h264_processor;

// --- Bitstream functions ---------------------------------------------------------------

TEST(H264ProcessorBitstream, TrailingZeros_CutRunsThatCouldStartAStartCodeOnly)
{
  const Bytes sps = h::sps(), slice = h::slice(true), eos = {0x0A};
  const Bytes inner = {0x41, 0x9A, 0, 0, 1, 0x55, 0, 0, 0};  // the first 00 00 0N is no run
  struct Case {
    const char *name;
    std::vector<Bytes> in, out;  // out empty: unchanged
    guint length_size = 4;
  } cases[] = {
      {"four zeros", {sps, slice + Bytes{0, 0, 0, 0}}, {sps, slice}},
      {"units before the first cut copied", {sps + Bytes{0, 0, 0}, slice + Bytes{0, 0, 0}},
       {sps, slice}, 2},
      {"two zeros, 00 00 01 inside: kept", {slice + Bytes{0, 0}, inner}, {}},
      // Units of 0 and 1 bytes have no payload; a trailing 1-byte unit survives a rewrite.
      {"tiny units", {{}, eos, slice + Bytes{0, 0, 0}, eos}, {{}, eos, slice, eos}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes in = h::access_unit(c.in, c.length_size);
    Bytes stripped;
    const bool cut = hp::strip_trailing_zeros(in.data(), in.size(), c.length_size, &stripped);
    EXPECT_EQ(cut ? stripped : in, c.out.empty() ? in : h::access_unit(c.out, c.length_size));
  }
}

TEST(H264ProcessorBitstream, RecoveryPointSei_FoundAmongMessagesInTheRbsp)
{
  const Bytes user_data = Bytes{0x06, 0x05, 0xFF, 0x01} + Bytes(256, 0x11);  // 255 + 1 bytes
  struct Case {
    const char *name;
    Bytes nal;
    bool recovery_point;
  } cases[] = {
      {"recovery point", {0x06, 0x06, 0x01, 0xC4, 0x80}, true},
      {"after picture timing", {0x06, 0x01, 0x02, 0xAA, 0xBB, 0x06, 0x01, 0xC4, 0x80}, true},
      {"after a 256-byte user data message", user_data + Bytes{0x06, 0x01, 0xC4, 0x80}, true},
      // The payload holds 00 00 03 01: three RBSP bytes, then the recovery point.
      {"emulation prevention", {0x06, 0x05, 0x03, 0, 0, 0x03, 0x01, 0x06, 0x01, 0xC4, 0x80}, true},
      {"payload type 6 + 255", {0x06, 0xFF, 0x06, 0x01, 0xC4, 0x80}, false},
      {"payload size past the end", {0x06, 0x06, 0x09, 0xC4, 0x80}, false},
      {"earlier payload past the end", {0x06, 0x05, 0x20, 0x00, 0x06, 0x01, 0xC4, 0x80}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(hp::sei_has_recovery_point(c.nal.data(), c.nal.size()), c.recovery_point);
  }
}

// --- Element ---------------------------------------------------------------------------

constexpr GstClockTime kFrame = 40 * GST_MSECOND, kNoPts = GST_CLOCK_TIME_NONE;
const char *kCaps = "video/x-h264,stream-format=avc,alignment=au,parsed=true,framerate=25/1";

class H264ProcessorTest : public ::testing::Test {
 protected:
  void start(const Bytes *codec_data, guint max_queued = 0) {
    // A new harness each time: the stream starts over.
    h_ = make_harness("h264processor");
    g_object_set(h_->element, "max-queued-frames", max_queued, nullptr);
    set_caps(codec_data);
    pull_all_events(h_.get());
  }
  void set_caps(const Bytes *codec_data) {
    GstCaps *caps = gst_caps_from_string(kCaps);
    if (codec_data) {
      Ref<GstBuffer> cd = gstref::adopt(make_buffer(*codec_data));
      gst_caps_set_simple(caps, "codec_data", GST_TYPE_BUFFER, cd.get(), nullptr);
    }
    gst_harness_set_src_caps(h_.get(), caps);
  }
  GstFlowReturn push(const Bytes &au, GstClockTime pts, bool delta = true) {
    GstBuffer *b = make_buffer(au, pts, kFrame, pts);
    if (delta) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    return gst_harness_push(h_.get(), b);
  }
  void eos() { ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos())); }
  std::vector<Ref<GstBuffer>> out() { return pull_all(h_.get()); }
  // Custom events and tags pushed since the last call, in order.
  std::vector<std::string> signals() {
    std::vector<std::string> names;
    for (auto &e : pull_all_events(h_.get())) {
      GstTagList *tags = nullptr;
      if (GST_EVENT_TYPE(e.get()) == GST_EVENT_CUSTOM_DOWNSTREAM)
        names.push_back(gst_structure_get_name(gst_event_get_structure(e.get())));
      if (GST_EVENT_TYPE(e.get()) != GST_EVENT_TAG) continue;
      gst_event_parse_tag(e.get(), &tags);
      EXPECT_EQ(gst_tag_list_get_scope(tags), GST_TAG_SCOPE_STREAM);
      for (const char *tag : {"H264PAFF", "H264IDRFramePresent"})
        if (gst_tag_list_get_tag_size(tags, tag)) names.push_back(tag);
    }
    return names;
  }
  static bool delta(GstBuffer *b) { return GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_DELTA_UNIT); }
  Bytes cd_ = h::codec_data(h::sps(), h::pps());
  Bytes idr_ = h::access_unit({h::slice(true)});
  Bytes idr_sps_ = h::access_unit({h::sps(), h::pps(), h::slice(true)});
  Bytes p_ = h::access_unit({h::slice(false)});
  Harness h_;
};

TEST_F(H264ProcessorTest, KeyUnits_MarkedLeadingDeltasDroppedWeakKeyframeWithoutIdr)
{
  const Bytes sei = {0x06, 0x06, 0x01, 0xC4, 0x80}, i = h::slice(false);
  const Bytes i_sps = h::access_unit({h::sps(), h::pps(), i}), i_sei = h::access_unit({sei, i});
  const Bytes padded = h::access_unit({h::sps(), h::pps(), h::slice(true) + Bytes{0, 0, 0, 0}});
  using In = std::pair<Bytes, GstClockTime>;  // access unit, PTS in ms
  struct Case {
    const char *name;
    GstClockTime segment_ms;
    std::vector<In> in;
    std::vector<GstClockTime> out_pts_ms;
    std::vector<bool> out_delta;
    Bytes first_out;  // empty: not checked
    std::vector<std::string> signals;
  } cases[] = {
      {"IDR with SPS first, zeros cut", 0, {{padded, 0}, {p_, 40}, {i_sps, 80}}, {0, 40, 80},
       {false, true, false}, idr_sps_, {}},
      {"deltas within 2 s dropped", 0, {{p_, 0}, {p_, 500}, {p_, 1000}, {idr_sps_, 1500},
       {p_, 1540}}, {1500, 1540}, {false, true}, {}, {}},
      // Segment at 10 s: the window ends at 12 s. Codec data goes in front of the first.
      {"first delta past the window", 10000, {{p_, kNoPts}, {p_, 11000}, {p_, 12000}, {p_, 12040}},
       {12000, 12040}, {true, true}, h::access_unit({h::sps(), h::pps(), i}), {"weak-keyframe"}},
      {"recovery point with SPS", 0, {{i_sps, 0}}, {0}, {false}, {}, {"weak-keyframe"}},
      {"recovery point SEI", 0, {{p_, 0}, {i_sei, 40}, {p_, 80}}, {40, 80}, {false, true},
       h::access_unit({h::sps(), h::pps(), sei, i}), {"weak-keyframe"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    start(&cd_);
    ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(c.segment_ms * GST_MSECOND)));
    signals();
    for (const In &in : c.in)
      ASSERT_EQ(push(in.first, in.second == kNoPts ? kNoPts : ms(in.second)), GST_FLOW_OK);
    // The event comes before any buffer: the first accepted one is still held.
    EXPECT_EQ(signals(), c.signals);
    eos();
    auto buffers = out();
    ASSERT_EQ(buffers.size(), c.out_pts_ms.size());
    for (size_t k = 0; k < buffers.size(); ++k) {
      EXPECT_EQ(GST_BUFFER_PTS(buffers[k].get()), c.out_pts_ms[k] * GST_MSECOND);
      EXPECT_EQ(delta(buffers[k].get()), c.out_delta[k]) << k;
      EXPECT_FALSE(GST_BUFFER_DTS_IS_VALID(buffers[k].get()));
    }
    if (!c.first_out.empty()) {
      EXPECT_EQ(buffer_bytes(buffers[0].get()), c.first_out);
    }
  }
}

TEST_F(H264ProcessorTest, CodecData_PrependedWhatIsReadableMissingPartsLogged)
{
  const Bytes sps = h::sps(), pps = h::pps(), good = h::codec_data(sps, pps);
  Bytes two_sps = good;
  two_sps[5] = 0xE2;
  const char *no_sps = "No SPS found. The stream might be malformed.",
             *no_pps = "No PPS found. The stream might be malformed.";
  struct Case {
    const char *name;
    Bytes record;
    std::vector<const char *> messages;  // the two "No ..." at warning level, others at error
    Bytes first_prefix;                  // what goes in front of the first buffer
    guint length_size = 4;
  } cases[] = {
      {"1-byte lengths", h::codec_data(sps, pps, 1), {}, h::access_unit({sps, pps}, 1), 1},
      {"2-byte lengths", h::codec_data(sps, pps, 2), {}, h::access_unit({sps, pps}, 2), 2},
      {"too small", Bytes(good.begin(), good.begin() + 6),
       {"Codec data is too small to contain SPS and PPS!"}, {}},
      {"no SPS count", {1, 77, 0, 30, 1, 2, 3, 0xFF},
       {"Malformed codec data, SPS count not found!"}, {}},
      {"no length size", {1, 77, 0, 30, 0x03, 0xE1, 0, 0},
       {"Malformed codec data, nal size length not found!"}, {}},
      {"SPS missing", two_sps, {"Codec data is too small, SPS missing."}, h::access_unit({sps})},
      {"PPS missing", Bytes(good.begin(), good.end() - 2),
       {"Codec data is too small, PPS missing."}, h::access_unit({sps})},
      {"no PPS count", Bytes(good.begin(), good.begin() + 8 + sps.size()), {no_pps},
       h::access_unit({sps})},
      {"none", {1, 77, 0, 30, 0xFF, 0xE0, 0, 0}, {no_sps, no_pps}, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    GstLogCapture log("H264Processor", GST_LEVEL_WARNING);
    start(&c.record);
    const Bytes idr = h::access_unit({h::slice(true)}, c.length_size);
    const Bytes p = h::access_unit({h::slice(false)}, c.length_size);
    // A rewritten buffer keeps the metadata of the one it replaces.
    GstBuffer *first = make_buffer(idr, 0, kFrame);
    GST_BUFFER_OFFSET(first) = 7;
    Ref<GstCaps> reference = gstref::adopt(gst_caps_new_empty_simple("timestamp/x-test"));
    gst_buffer_add_reference_timestamp_meta(first, reference.get(), 123, GST_CLOCK_TIME_NONE);
    ASSERT_EQ(gst_harness_push(h_.get(), first), GST_FLOW_OK);
    ASSERT_EQ(push(p, kFrame), GST_FLOW_OK);
    eos();
    for (const char *m : c.messages)
      EXPECT_GE(log.count(m[0] == 'N' ? GST_LEVEL_WARNING : GST_LEVEL_ERROR, m), 1) << m;
    auto buffers = out();
    ASSERT_EQ(buffers.size(), 2u);
    EXPECT_EQ(buffer_bytes(buffers[0].get()), c.first_prefix + idr);
    EXPECT_EQ(GST_BUFFER_OFFSET(buffers[0].get()), 7u);
    EXPECT_NE(gst_buffer_get_reference_timestamp_meta(buffers[0].get(), nullptr), nullptr);
    EXPECT_EQ(buffer_bytes(buffers[1].get()), p);
  }
  // Missing: logged for every buffer, nothing rewritten, used once it arrives.
  GstLogCapture log("H264Processor", GST_LEVEL_WARNING);
  start(nullptr);
  ASSERT_EQ(push(idr_, 0, false), GST_FLOW_OK);
  ASSERT_EQ(push(p_, kFrame), GST_FLOW_OK);
  EXPECT_GE(log.count(GST_LEVEL_ERROR, "Codec data is missing from upstream!"), 2);
  set_caps(&good);
  ASSERT_EQ(push(p_, 2 * kFrame, false), GST_FLOW_OK);
  eos();
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 3u);
  EXPECT_EQ(buffer_bytes(buffers[0].get()), idr_);
  EXPECT_TRUE(delta(buffers[2].get()));
  EXPECT_EQ(buffer_bytes(buffers[2].get()), h::access_unit({h::sps(), h::pps(), h::slice(false)}));
}

TEST_F(H264ProcessorTest, Paff_FieldPairsJoinedWithADelimiterAndTaggedOnce)
{
  const Bytes cd = h::codec_data(h::sps(false), h::pps());
  start(&cd);
  auto field = [](Picture picture) { return h::slice(false, picture, true); };
  const Bytes top_idr =
      h::access_unit({h::sps(false), h::pps(), h::slice(true, Picture::kTopField, true)});
  const Bytes top = h::access_unit({field(Picture::kTopField)}), aud = {0, 0, 0, 2, 0x09, 0xF0};
  const Bytes bottom = h::access_unit({field(Picture::kBottomField)});
  const Bytes frame = h::access_unit({field(Picture::kFrame)});
  const Bytes bottom_aud = h::access_unit({h::unit(9, {0xF0}), field(Picture::kBottomField)});
  ASSERT_EQ(push(top_idr, 0, false), GST_FLOW_OK);
  ASSERT_EQ(push(bottom, 20 * GST_MSECOND), GST_FLOW_OK);
  EXPECT_EQ(signals(), (std::vector<std::string>{"H264PAFF"}));
  // A second field with its own delimiter gets none; one without PTS is joined whatever its
  // slices say; frames and fields of the same parity are not joined.
  const std::vector<std::pair<Bytes, GstClockTime>> rest = {
      {top, kFrame}, {bottom_aud, kFrame + 20 * GST_MSECOND}, {top, 2 * kFrame},
      {frame, kNoPts}, {frame, 3 * kFrame}, {top, 4 * kFrame}, {top, 5 * kFrame}};
  for (const auto &[au, pts] : rest) ASSERT_EQ(push(au, pts), GST_FLOW_OK);
  eos();
  EXPECT_TRUE(signals().empty());
  auto buffers = out();
  const std::vector<Bytes> expected = {top_idr + aud + bottom, top + bottom_aud, top + aud + frame,
                                       frame, top, top};
  ASSERT_EQ(buffers.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(buffer_bytes(buffers[i].get()), expected[i]) << i;
  EXPECT_FALSE(delta(buffers[0].get()));
  EXPECT_EQ(GST_BUFFER_PTS(buffers[1].get()), kFrame);
}

TEST_F(H264ProcessorTest, IdrHoldBack_HeldUntilTheSecondIdrThenTaggedAndReleasedInOrder)
{
  start(&cd_, 5);
  const int gop = 30;
  // Up to the second IDR (frame 30) nothing leaves; frame 30 is pending until frame 31.
  for (int i = 0; i <= gop; ++i)
    ASSERT_EQ(push(i % gop ? p_ : idr_sps_, i * kFrame, i % gop), GST_FLOW_OK);
  EXPECT_TRUE(out().empty());
  EXPECT_TRUE(signals().empty());
  gint max_queued = 0;
  g_object_get(h_->element, "max-queued-frames", &max_queued, nullptr);
  EXPECT_EQ(max_queued, 1000);
  ASSERT_EQ(push(p_, (gop + 1) * kFrame), GST_FLOW_OK);
  EXPECT_EQ(signals(), (std::vector<std::string>{"H264IDRFramePresent"}));
  auto buffers = out();
  ASSERT_EQ(buffers.size(), static_cast<size_t>(gop + 1));
  for (int i = 0; i <= gop; ++i) EXPECT_EQ(GST_BUFFER_PTS(buffers[i].get()), i * kFrame);
}

TEST_F(H264ProcessorTest, Flush_DropsHeldBuffersAndRestartsTheStreamButNotTheIdrCount)
{
  start(&cd_, 5);
  ASSERT_EQ(push(idr_sps_, 0, false), GST_FLOW_OK);
  ASSERT_EQ(push(p_, kFrame), GST_FLOW_OK);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE)));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(0)));
  EXPECT_TRUE(out().empty());
  signals();
  // Leading delta units are dropped again; the codec data goes in front again.
  ASSERT_EQ(push(p_, 0), GST_FLOW_OK);
  ASSERT_EQ(push(idr_, kFrame, false), GST_FLOW_OK);
  ASSERT_EQ(push(p_, 2 * kFrame), GST_FLOW_OK);
  // The IDR after the flush is the second of the stream: tag, release.
  EXPECT_EQ(signals(), (std::vector<std::string>{"H264IDRFramePresent"}));
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 1u);
  EXPECT_EQ(buffer_bytes(buffers[0].get()), idr_sps_);
}

// Each unit waits for the next one: a live pipeline learns of one frame more latency.
TEST_F(H264ProcessorTest, Latency_OneFrameMoreInLivePipelines)
{
  start(&cd_);
  gst_harness_set_upstream_latency(h_.get(), 10 * GST_MSECOND);
  GstQuery *query = gst_query_new_latency();
  ASSERT_TRUE(gst_pad_peer_query(h_->sinkpad, query));
  gboolean live;
  GstClockTime min, max;
  gst_query_parse_latency(query, &live, &min, &max);
  gst_query_unref(query);
  EXPECT_TRUE(live);
  EXPECT_EQ(min, 10 * GST_MSECOND + kFrame);
}

}  // namespace
