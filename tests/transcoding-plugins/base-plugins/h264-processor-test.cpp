#include "transcoding-plugins/base-plugins/h264-processor.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/gst-log-capture.h"
#include "tests/support/bitstreams.h"

namespace {

using namespace testsupport;
namespace h = testsupport::h264;
using Bytes = h::Bytes;
using h264_processor::FieldMode;

// --- Bitstream functions ---------------------------------------------------------------

TEST(H264ProcessorCodecData, CollectsParameterSetsWithTheStreamsPrefixSize)
{
  const Bytes sps = h::sps(), pps = h::pps();
  for (guint length_size : {1u, 2u, 4u}) {
    const Bytes record = h::codec_data(sps, pps, length_size);
    guint issues = 0;
    EXPECT_EQ(h264_processor::nal_length_size_from_codec_data(record.data(), record.size(),
                                                              &issues),
              length_size);
    EXPECT_EQ(h264_processor::codec_data_parameter_sets(record.data(), record.size(),
                                                        length_size, &issues),
              h::access_unit({sps, pps}, length_size));
    EXPECT_EQ(issues, 0u);
  }
}

TEST(H264ProcessorCodecData, MalformedRecordsReportWhatIsMissingAndKeepWhatWasRead)
{
  const Bytes sps = h::sps(), pps = h::pps();
  const Bytes good = h::codec_data(sps, pps);
  auto parse = [](const Bytes &record, guint *issues) {
    *issues = 0;
    return h264_processor::codec_data_parameter_sets(record.data(), record.size(), 4, issues);
  };
  guint issues;

  EXPECT_TRUE(parse(Bytes(good.begin(), good.begin() + 7), &issues).empty());
  EXPECT_EQ(issues, h264_processor::kCodecDataTooSmall);

  // No byte with the reserved bits of lengthSizeMinusOne set.
  EXPECT_TRUE(parse(Bytes{1, 77, 0, 30, 0x03, 0xE1, 0, 0}, &issues).empty());
  EXPECT_EQ(issues, h264_processor::kLengthSizeNotFound);
  guint size_issues = 0;
  EXPECT_EQ(h264_processor::nal_length_size_from_codec_data(
                Bytes{1, 77, 0, 30, 0x03, 0xE1, 0, 0}.data(), 8, &size_issues),
            0u);
  EXPECT_EQ(size_issues, h264_processor::kLengthSizeNotFound);

  // The length byte is the last one: no SPS count.
  EXPECT_TRUE(parse(Bytes{1, 77, 0, 30, 1, 2, 3, 0xFF}, &issues).empty());
  EXPECT_EQ(issues, h264_processor::kSpsCountNotFound);

  // The SPS count promises two, the record holds one: the first is kept.
  Bytes two_sps = good;
  two_sps[5] = 0xE2;
  EXPECT_EQ(parse(two_sps, &issues), h::access_unit({sps}));
  EXPECT_EQ(issues, h264_processor::kSpsMissing);

  // Record cut inside the PPS.
  EXPECT_EQ(parse(Bytes(good.begin(), good.end() - 1), &issues), h::access_unit({sps}));
  EXPECT_EQ(issues, h264_processor::kPpsMissing);

  // Record that ends after its SPS: no PPS.
  const Bytes sps_only(good.begin(), good.begin() + 8 + sps.size());
  EXPECT_EQ(parse(sps_only, &issues), h::access_unit({sps}));
  EXPECT_EQ(issues, h264_processor::kNoPps);

  Bytes no_sps = {1, 77, 0, 30, 0xFF, 0xE0, 1};
  no_sps.push_back(pps.size() >> 8);
  no_sps.push_back(pps.size() & 0xFF);
  no_sps.insert(no_sps.end(), pps.begin(), pps.end());
  EXPECT_EQ(parse(no_sps, &issues), h::access_unit({pps}));
  EXPECT_EQ(issues, h264_processor::kNoSps);
}

Bytes
strip(const Bytes &au, guint length_size = 4)
{
  Bytes out;
  if (!h264_processor::strip_trailing_zeros(au.data(), au.size(), length_size, &out)) return au;
  return out;
}

TEST(H264ProcessorTrailingZeros, CutsZeroRunsAndRewritesPrefixes)
{
  const Bytes sps = h::sps(), slice = h::slice(true);
  Bytes padded = slice;
  padded.insert(padded.end(), {0, 0, 0, 0});
  EXPECT_EQ(strip(h::access_unit({sps, padded})), h::access_unit({sps, slice}));
  // The first unit cut starts the rewrite; the ones before are copied as they were.
  Bytes padded_sps = sps;
  padded_sps.insert(padded_sps.end(), {0, 0, 0});
  EXPECT_EQ(strip(h::access_unit({padded_sps, padded}, 2), 2), h::access_unit({sps, slice}, 2));

  // Two zeros are not a run that could start a start code; 00 00 01 inside data is kept.
  Bytes two = slice;
  two.insert(two.end(), {0, 0});
  EXPECT_EQ(strip(h::access_unit({two})), h::access_unit({two}));
  const Bytes inner = {0x41, 0x9A, 0, 0, 1, 0x55, 0, 0, 0};
  EXPECT_EQ(strip(h::access_unit({inner})), h::access_unit({inner}));

  // Units of 0 and 1 bytes have no payload; a trailing 1-byte unit survives a rewrite.
  const Bytes end_of_seq = {0x0A};
  EXPECT_EQ(strip(h::access_unit({Bytes{}, end_of_seq, padded, end_of_seq})),
            h::access_unit({Bytes{}, end_of_seq, slice, end_of_seq}));
}

TEST(H264ProcessorTrailingZeros, OverrunningLengthIsClampedNeverReadPast)
{
  Bytes au = h::access_unit({h::slice(false)});
  au.insert(au.end(), {0, 0, 0, 0});
  au[3] += 40;  // the length claims 36 bytes more than remain
  const Bytes out = strip(au);
  EXPECT_EQ(out, h::access_unit({h::slice(false)}));
}

class FieldModeTest : public ::testing::Test {
 protected:
  void SetUp() override { parser_ = gst_h264_nal_parser_new(); }
  void TearDown() override { gst_h264_nal_parser_free(parser_); }
  FieldMode mode(const std::vector<Bytes> &units, guint length_size = 4) {
    const Bytes au = h::access_unit(units, length_size);
    return h264_processor::field_mode(parser_, au.data(), au.size(), length_size);
  }
  GstH264NalParser *parser_ = nullptr;
};

TEST_F(FieldModeTest, ReadsFieldFlagsOfSlicesUnderAnInterlacedSps)
{
  using h::Picture;
  // Slices before any PPS cannot be read.
  EXPECT_EQ(mode({h::slice(true, Picture::kTopField, true)}), FieldMode::kFrame);
  EXPECT_EQ(mode({h::sps(false), h::pps(), h::slice(true, Picture::kTopField, true)}),
            FieldMode::kTop);
  // The parser keeps the parameter sets for later access units.
  EXPECT_EQ(mode({h::slice(false, Picture::kBottomField, true)}), FieldMode::kBottom);
  EXPECT_EQ(mode({h::slice(false, Picture::kFrame, true)}), FieldMode::kFrame);
  // Slices that disagree make the unit a frame; no slice at all too.
  EXPECT_EQ(mode({h::slice(false, Picture::kTopField, true),
                  h::slice(false, Picture::kBottomField, true)}),
            FieldMode::kFrame);
  EXPECT_EQ(mode({h::unit(6)}), FieldMode::kFrame);
  // A header that ends right after field_pic_flag 1 counts as a bottom field.
  EXPECT_EQ(mode({Bytes{0x41, 0x42, 0x21}}), FieldMode::kBottom);
  // A header too short for the PPS id.
  EXPECT_EQ(mode({Bytes{0x41, 0x00}}), FieldMode::kFrame);
  // Progressive SPS: always frames.
  EXPECT_EQ(mode({h::sps(true), h::pps(), h::slice(true)}), FieldMode::kFrame);
}

TEST_F(FieldModeTest, TinyAndOverrunningUnitsAreSkippedSafely)
{
  // Units of 0 and 1 bytes never reach the SPS/PPS parsers; an overrun ends the walk.
  EXPECT_EQ(mode({Bytes{}, Bytes{0x67}, Bytes{0x68}}), FieldMode::kFrame);
  Bytes au = h::access_unit({h::sps(false), h::pps(), h::slice(true, h::Picture::kTopField, true)});
  au[au.size() - h::slice(true, h::Picture::kTopField, true).size() - 1] += 1;
  EXPECT_EQ(h264_processor::field_mode(parser_, au.data(), au.size(), 4), FieldMode::kFrame);
}

TEST(H264ProcessorDelimiter, IsAnAudWithPrimaryPicType7)
{
  EXPECT_EQ(h264_processor::access_unit_delimiter(4), (Bytes{0, 0, 0, 2, 0x09, 0xF0}));
  EXPECT_EQ(h264_processor::access_unit_delimiter(1), (Bytes{2, 0x09, 0xF0}));
}

// --- Element ---------------------------------------------------------------------------

constexpr GstClockTime kFrame = 40 * GST_MSECOND;

class H264ProcessorTest : public ::testing::Test {
 protected:
  void start(const Bytes *codec_data, guint max_queued = 0) {
    h_ = make_harness("h264processor");
    g_object_set(h_->element, "max-queued-frames", max_queued, nullptr);
    GstCaps *caps = gst_caps_from_string(
        "video/x-h264,stream-format=avc,alignment=au,parsed=true,width=160,height=128");
    if (codec_data) {
      GstBuffer *cd = make_buffer(*codec_data);
      gst_caps_set_simple(caps, "codec_data", GST_TYPE_BUFFER, cd, nullptr);
      gst_buffer_unref(cd);
    }
    gst_harness_set_src_caps(h_.get(), caps);
    pull_all_events(h_.get());
  }
  void start() {
    codec_data_ = h::codec_data(h::sps(), h::pps());
    start(&codec_data_);
  }
  GstFlowReturn push(const Bytes &au, GstClockTime pts, bool delta_flag = false,
                     GstClockTime dts = GST_CLOCK_TIME_NONE) {
    GstBuffer *b = make_buffer(au, pts, kFrame, dts);
    if (delta_flag) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    return gst_harness_push(h_.get(), b);
  }
  void eos() { ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos())); }
  std::vector<Ref<GstBuffer>> out() { return pull_all(h_.get()); }
  // Names of custom events and tags pushed since the last call, in order.
  std::vector<std::string> signals() {
    std::vector<std::string> names;
    for (auto &e : pull_all_events(h_.get())) {
      if (GST_EVENT_TYPE(e.get()) == GST_EVENT_CUSTOM_DOWNSTREAM) {
        names.push_back(gst_structure_get_name(gst_event_get_structure(e.get())));
      } else if (GST_EVENT_TYPE(e.get()) == GST_EVENT_TAG) {
        GstTagList *tags = nullptr;
        gst_event_parse_tag(e.get(), &tags);
        gboolean value = FALSE;
        for (const char *tag : {"H264PAFF", "H264IDRFramePresent"})
          if (gst_tag_list_get_boolean(tags, tag, &value) && value) names.push_back(tag);
        EXPECT_EQ(gst_tag_list_get_scope(tags), GST_TAG_SCOPE_STREAM);
      } else if (GST_EVENT_TYPE(e.get()) == GST_EVENT_EOS) {
        names.push_back("eos");
      }
    }
    return names;
  }
  static bool delta(const Ref<GstBuffer> &b) {
    return GST_BUFFER_FLAG_IS_SET(b.get(), GST_BUFFER_FLAG_DELTA_UNIT);
  }

  Bytes idr_ = h::access_unit({h::slice(true)});
  Bytes idr_with_sps_ = h::access_unit({h::sps(), h::pps(), h::slice(true)});
  Bytes p_ = h::access_unit({h::slice(false)});
  Bytes codec_data_;
  Harness h_;
};

TEST_F(H264ProcessorTest, KeyUnits_FirstUnitWithSpsInBandPassesUnchanged)
{
  start();
  ASSERT_EQ(push(idr_with_sps_, 0, true, 0), GST_FLOW_OK);
  ASSERT_EQ(push(p_, kFrame, false, kFrame), GST_FLOW_OK);
  ASSERT_EQ(push(h::access_unit({h::sps(), h::pps(), h::slice(false)}), 2 * kFrame, true),
            GST_FLOW_OK);
  eos();
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 3u);
  EXPECT_EQ(buffer_bytes(buffers[0].get()), idr_with_sps_);
  EXPECT_FALSE(delta(buffers[0]));
  EXPECT_TRUE(delta(buffers[1]));
  EXPECT_FALSE(delta(buffers[2]));  // SPS and a non-IDR I slice: a key unit
  for (auto &b : buffers) {
    EXPECT_FALSE(GST_BUFFER_DTS_IS_VALID(b.get()));
    EXPECT_EQ(GST_BUFFER_DURATION(b.get()), kFrame);
  }
  EXPECT_EQ(signals(), (std::vector<std::string>{"eos"}));
}

TEST_F(H264ProcessorTest, LeadingDeltaUnits_DroppedWithinTwoSecondsOfSegmentStart)
{
  start();
  for (GstClockTime pts : {0 * GST_MSECOND, 500 * GST_MSECOND, 1000 * GST_MSECOND})
    ASSERT_EQ(push(p_, pts, true), GST_FLOW_OK);
  ASSERT_EQ(push(idr_with_sps_, 1500 * GST_MSECOND), GST_FLOW_OK);
  ASSERT_EQ(push(p_, 1540 * GST_MSECOND, true), GST_FLOW_OK);
  eos();
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 2u);
  EXPECT_EQ(GST_BUFFER_PTS(buffers[0].get()), 1500 * GST_MSECOND);
  EXPECT_EQ(signals(), (std::vector<std::string>{"eos"}));
}

TEST_F(H264ProcessorTest, LeadingDeltaUnits_FirstPastTheWindowIsAcceptedWithWeakKeyframe)
{
  start();
  // A segment that starts at 10 s: the window ends at 12 s.
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(10 * GST_SECOND)));
  pull_all_events(h_.get());
  ASSERT_EQ(push(p_, GST_CLOCK_TIME_NONE, true), GST_FLOW_OK);
  ASSERT_EQ(push(p_, 11 * GST_SECOND, true), GST_FLOW_OK);
  ASSERT_EQ(push(p_, 12 * GST_SECOND, true), GST_FLOW_OK);
  // The event precedes every buffer: the accepted one is still held.
  EXPECT_EQ(signals(), (std::vector<std::string>{"weak-keyframe"}));
  EXPECT_TRUE(out().empty());
  ASSERT_EQ(push(p_, 12 * GST_SECOND + kFrame, true), GST_FLOW_OK);
  eos();
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 2u);
  EXPECT_EQ(GST_BUFFER_PTS(buffers[0].get()), 12 * GST_SECOND);
  // Codec data went in front of the first buffer, which lacked SPS and PPS.
  EXPECT_EQ(buffer_bytes(buffers[0].get()), h::access_unit({h::sps(), h::pps(), h::slice(false)}));
  EXPECT_EQ(buffer_bytes(buffers[1].get()), p_);
}

TEST_F(H264ProcessorTest, LeadingDeltaUnits_RecoveryPointKeyUnitGetsWeakKeyframe)
{
  start();
  ASSERT_EQ(push(h::access_unit({h::sps(), h::pps(), h::slice(false)}), 0, true), GST_FLOW_OK);
  EXPECT_EQ(signals(), (std::vector<std::string>{"weak-keyframe"}));
  eos();
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 1u);
  EXPECT_FALSE(delta(buffers[0]));
}

TEST_F(H264ProcessorTest, CodecData_PrependedOnceWithTheStreamsPrefixSize)
{
  for (guint length_size : {1u, 2u}) {
    codec_data_ = h::codec_data(h::sps(), h::pps(), length_size);
    start(&codec_data_);
    const Bytes idr = h::access_unit({h::slice(true)}, length_size);
    const Bytes p = h::access_unit({h::slice(false)}, length_size);
    GstBuffer *first = make_buffer(idr, 0, kFrame);
    GST_BUFFER_OFFSET(first) = 7;
    Ref<GstCaps> reference = gstref::adopt(gst_caps_new_empty_simple("timestamp/x-test"));
    gst_buffer_add_reference_timestamp_meta(first, reference.get(), 123, GST_CLOCK_TIME_NONE);
    ASSERT_EQ(gst_harness_push(h_.get(), first), GST_FLOW_OK);
    ASSERT_EQ(push(p, kFrame, true), GST_FLOW_OK);
    eos();
    auto buffers = out();
    ASSERT_EQ(buffers.size(), 2u);
    EXPECT_EQ(buffer_bytes(buffers[0].get()),
              h::access_unit({h::sps(), h::pps(), h::slice(true)}, length_size));
    EXPECT_EQ(GST_BUFFER_PTS(buffers[0].get()), 0u);
    EXPECT_EQ(GST_BUFFER_DURATION(buffers[0].get()), kFrame);
    EXPECT_EQ(GST_BUFFER_OFFSET(buffers[0].get()), 7u);
    EXPECT_NE(gst_buffer_get_reference_timestamp_meta(buffers[0].get(), nullptr), nullptr);
    EXPECT_EQ(buffer_bytes(buffers[1].get()), p);
  }
}

TEST_F(H264ProcessorTest, CodecData_FirstBufferAlreadyStartingWithItIsKept)
{
  start();
  const Bytes au = h::access_unit({h::sps(), h::pps(), h::slice(true)});
  GstBuffer *in = make_buffer(au, 0, kFrame);
  ASSERT_EQ(gst_harness_push(h_.get(), gst_buffer_ref(in)), GST_FLOW_OK);
  eos();
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 1u);
  EXPECT_EQ(buffer_bytes(buffers[0].get()), au);
  // No rewrite: the same memory went through.
  EXPECT_EQ(gst_buffer_peek_memory(buffers[0].get(), 0), gst_buffer_peek_memory(in, 0));
  gst_buffer_unref(in);
}

TEST_F(H264ProcessorTest, CodecData_MalformedRecordsAreLoggedAndTheStreamGoesOn)
{
  const Bytes good = h::codec_data(h::sps(), h::pps());
  struct Case {
    Bytes record;
    std::vector<std::pair<GstDebugLevel, const char *>> messages;
    Bytes first_prefix;  // what goes in front of the first buffer
  };
  Bytes two_sps = good;
  two_sps[5] = 0xE2;
  const std::vector<Case> cases = {
      {Bytes(good.begin(), good.begin() + 6),
       {{GST_LEVEL_ERROR, "Codec data is too small to contain SPS and PPS!"}},
       {}},
      {Bytes{1, 77, 0, 30, 1, 2, 3, 0xFF},
       {{GST_LEVEL_ERROR, "Malformed codec data, SPS count not found!"}},
       {}},
      {Bytes{1, 77, 0, 30, 0x03, 0xE1, 0, 0},
       {{GST_LEVEL_ERROR, "Malformed codec data, nal size length not found!"}},
       {}},
      {two_sps,
       {{GST_LEVEL_ERROR, "Codec data is too small, SPS missing."}},
       h::access_unit({h::sps()})},
      {Bytes(good.begin(), good.end() - 2),
       {{GST_LEVEL_ERROR, "Codec data is too small, PPS missing."}},
       h::access_unit({h::sps()})},
      {Bytes{1, 77, 0, 30, 0xFF, 0xE0, 0, 0},
       {{GST_LEVEL_WARNING, "No SPS found. The stream might be malformed."},
        {GST_LEVEL_WARNING, "No PPS found. The stream might be malformed."}},
       {}},
  };
  for (const Case &c : cases) {
    GstLogCapture log("H264Processor", GST_LEVEL_WARNING);
    codec_data_ = c.record;
    start(&codec_data_);
    ASSERT_EQ(push(idr_, 0), GST_FLOW_OK);
    ASSERT_EQ(push(p_, kFrame, true), GST_FLOW_OK);
    eos();
    for (const auto &[level, text] : c.messages) EXPECT_GE(log.count(level, text), 1) << text;
    auto buffers = out();
    ASSERT_EQ(buffers.size(), 2u);
    Bytes expected = c.first_prefix;
    expected.insert(expected.end(), idr_.begin(), idr_.end());
    EXPECT_EQ(buffer_bytes(buffers[0].get()), expected);
  }
}

TEST_F(H264ProcessorTest, CodecData_MissingIsLoggedEveryBufferUntilItArrives)
{
  GstLogCapture log("H264Processor", GST_LEVEL_WARNING);
  start(nullptr);
  ASSERT_EQ(push(idr_, 0), GST_FLOW_OK);
  ASSERT_EQ(push(p_, kFrame, true), GST_FLOW_OK);
  // Without a NAL length size nothing is classified or rewritten.
  EXPECT_GE(log.count(GST_LEVEL_ERROR, "Codec data is missing from upstream!"), 2);
  auto first = out();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(buffer_bytes(first[0].get()), idr_);

  // Codec data arriving later is used from the next buffer on.
  const Bytes cd = h::codec_data(h::sps(), h::pps());
  GstBuffer *cd_buffer = make_buffer(cd);
  GstCaps *caps = gst_caps_from_string(
      "video/x-h264,stream-format=avc,alignment=au,parsed=true,width=160,height=128");
  gst_caps_set_simple(caps, "codec_data", GST_TYPE_BUFFER, cd_buffer, nullptr);
  gst_buffer_unref(cd_buffer);
  gst_harness_set_src_caps(h_.get(), caps);
  ASSERT_EQ(push(p_, 2 * kFrame, false), GST_FLOW_OK);
  eos();
  auto rest = out();
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_TRUE(delta(rest[1]));
  EXPECT_EQ(buffer_bytes(rest[1].get()), h::access_unit({h::sps(), h::pps(), h::slice(false)}));
}

TEST_F(H264ProcessorTest, TrailingZeros_StrippedInANewBufferWithTheSameMetadata)
{
  start();
  Bytes padded = h::slice(false);
  padded.insert(padded.end(), {0, 0, 0, 0});
  ASSERT_EQ(push(idr_with_sps_, 0), GST_FLOW_OK);
  ASSERT_EQ(push(h::access_unit({padded}), kFrame, true), GST_FLOW_OK);
  eos();
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 2u);
  EXPECT_EQ(buffer_bytes(buffers[1].get()), p_);
  EXPECT_EQ(GST_BUFFER_PTS(buffers[1].get()), kFrame);
  EXPECT_EQ(GST_BUFFER_DURATION(buffers[1].get()), kFrame);
  EXPECT_TRUE(delta(buffers[1]));
}

class H264ProcessorPaffTest : public H264ProcessorTest {
 protected:
  void SetUp() override {
    codec_data_ = h::codec_data(h::sps(false), h::pps());
    start(&codec_data_);
  }
  Bytes field(bool idr, h::Picture picture, bool with_parameter_sets = false) {
    std::vector<Bytes> units;
    if (with_parameter_sets) units = {h::sps(false), h::pps()};
    units.push_back(h::slice(idr, picture, true));
    return h::access_unit(units);
  }
  Bytes aud_ = h264_processor::access_unit_delimiter(4);
};

TEST_F(H264ProcessorPaffTest, FieldPairsAreJoinedWithADelimiterAndTaggedOnce)
{
  using h::Picture;
  const Bytes top_idr = field(true, Picture::kTopField, true);
  const Bytes bottom = field(false, Picture::kBottomField);
  const Bytes top = field(false, Picture::kTopField);
  ASSERT_EQ(push(top_idr, 0), GST_FLOW_OK);
  ASSERT_EQ(push(bottom, 20 * GST_MSECOND, true), GST_FLOW_OK);
  EXPECT_EQ(signals(), (std::vector<std::string>{"H264PAFF"}));
  // The second field brings its own delimiter: none is added.
  Bytes bottom_with_aud = h::access_unit({h::unit(9, {0xF0}), h::slice(false, Picture::kBottomField, true)});
  ASSERT_EQ(push(top, kFrame, true), GST_FLOW_OK);
  ASSERT_EQ(push(bottom_with_aud, kFrame + 20 * GST_MSECOND, true), GST_FLOW_OK);
  // The second field has no PTS: joined whatever its slices say.
  ASSERT_EQ(push(top, 2 * kFrame, true), GST_FLOW_OK);
  ASSERT_EQ(push(field(false, Picture::kFrame), GST_CLOCK_TIME_NONE, true), GST_FLOW_OK);
  eos();
  EXPECT_EQ(signals(), (std::vector<std::string>{"eos"}));

  auto buffers = out();
  ASSERT_EQ(buffers.size(), 3u);
  auto concat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  EXPECT_EQ(buffer_bytes(buffers[0].get()), concat({top_idr, aud_, bottom}));
  EXPECT_EQ(GST_BUFFER_PTS(buffers[0].get()), 0u);
  EXPECT_FALSE(delta(buffers[0]));
  EXPECT_EQ(buffer_bytes(buffers[1].get()), concat({top, bottom_with_aud}));
  EXPECT_EQ(GST_BUFFER_PTS(buffers[1].get()), kFrame);
  EXPECT_TRUE(delta(buffers[1]));
  EXPECT_EQ(buffer_bytes(buffers[2].get()), concat({top, aud_, field(false, Picture::kFrame)}));
}

TEST_F(H264ProcessorTest, Pairing_EmptyBuffersWithoutCodecDataAreJoinedSafely)
{
  start(nullptr);
  ASSERT_EQ(push(Bytes{}, 0), GST_FLOW_OK);
  ASSERT_EQ(push(Bytes{}, GST_CLOCK_TIME_NONE), GST_FLOW_OK);
  ASSERT_EQ(push(Bytes{0x00, 0x01}, kFrame), GST_FLOW_OK);
  ASSERT_EQ(push(Bytes{0x02}, GST_CLOCK_TIME_NONE), GST_FLOW_OK);
  eos();
  // No NAL length size: joined without a delimiter.
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 2u);
  EXPECT_EQ(gst_buffer_get_size(buffers[0].get()), 0u);
  EXPECT_EQ(GST_BUFFER_PTS(buffers[0].get()), 0u);
  EXPECT_EQ(buffer_bytes(buffers[1].get()), (Bytes{0x00, 0x01, 0x02}));
}

TEST_F(H264ProcessorPaffTest, FramesAndSameParityFieldsAreNotJoined)
{
  using h::Picture;
  ASSERT_EQ(push(field(true, Picture::kFrame, true), 0), GST_FLOW_OK);
  ASSERT_EQ(push(field(false, Picture::kFrame), kFrame, true), GST_FLOW_OK);
  ASSERT_EQ(push(field(false, Picture::kTopField), 2 * kFrame, true), GST_FLOW_OK);
  ASSERT_EQ(push(field(false, Picture::kTopField), 3 * kFrame, true), GST_FLOW_OK);
  eos();
  EXPECT_EQ(out().size(), 4u);
  EXPECT_EQ(signals(), (std::vector<std::string>{"eos"}));
}

TEST_F(H264ProcessorTest, IdrHoldBack_HeldUntilTheSecondIdrThenTaggedAndReleasedInOrder)
{
  codec_data_ = h::codec_data(h::sps(), h::pps());
  start(&codec_data_, 5);
  const int gop = 30;
  // Up to the second IDR (frame 30) nothing leaves; frame 30 itself is the pending buffer
  // until frame 31 arrives.
  for (int i = 0; i <= gop; ++i)
    ASSERT_EQ(push(i % gop == 0 ? idr_with_sps_ : p_, i * kFrame, i % gop != 0), GST_FLOW_OK);
  EXPECT_TRUE(out().empty());
  EXPECT_TRUE(signals().empty());
  gint max_queued = 0;
  g_object_get(h_->element, "max-queued-frames", &max_queued, nullptr);
  EXPECT_EQ(max_queued, 1000);

  ASSERT_EQ(push(p_, (gop + 1) * kFrame, true), GST_FLOW_OK);
  EXPECT_EQ(signals(), (std::vector<std::string>{"H264IDRFramePresent"}));
  auto buffers = out();
  ASSERT_EQ(buffers.size(), static_cast<size_t>(gop + 1));
  for (int i = 0; i <= gop; ++i) EXPECT_EQ(GST_BUFFER_PTS(buffers[i].get()), i * kFrame);
  // From then on: one buffer of delay, no more tags.
  for (int i = gop + 2; i < 2 * gop + 2; ++i)
    ASSERT_EQ(push(i % gop == 0 ? idr_with_sps_ : p_, i * kFrame, true), GST_FLOW_OK);
  EXPECT_EQ(out().size(), static_cast<size_t>(gop));
  EXPECT_TRUE(signals().empty());
}

TEST_F(H264ProcessorTest, IdrHoldBack_NeverHoldsMoreThanAThousandBuffers)
{
  codec_data_ = h::codec_data(h::sps(), h::pps());
  start(&codec_data_, 5);
  ASSERT_EQ(push(idr_with_sps_, 0), GST_FLOW_OK);
  for (int i = 1; i <= 1010; ++i) ASSERT_EQ(push(p_, i * kFrame, true), GST_FLOW_OK);
  // 1010 buffers left the pending slot; 1000 of them are held, the oldest 10 went out.
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(GST_BUFFER_PTS(buffers[i].get()), i * kFrame);
  EXPECT_TRUE(signals().empty());
}

TEST_F(H264ProcessorTest, IdrHoldBack_OnlyMaxQueuedFramesBeforeTheFirstIdrAndAtEos)
{
  codec_data_ = h::codec_data(h::sps(), h::pps());
  start(&codec_data_, 3);
  // A stream that starts past the leading-delta window without any IDR.
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(push(p_, 3 * GST_SECOND + i * kFrame, true), GST_FLOW_OK);
  // 5 left the pending slot, 3 are held.
  EXPECT_EQ(out().size(), 2u);
  ASSERT_EQ(push(idr_with_sps_, 3 * GST_SECOND + 6 * kFrame), GST_FLOW_OK);
  ASSERT_EQ(push(p_, 3 * GST_SECOND + 7 * kFrame, true), GST_FLOW_OK);
  EXPECT_EQ(out().size(), 1u);
  eos();
  // EOS lets the pending and every held buffer out, in order, before the event.
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 5u);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(GST_BUFFER_PTS(buffers[i].get()), 3 * GST_SECOND + (i + 3) * kFrame);
  EXPECT_EQ(signals(), (std::vector<std::string>{"weak-keyframe", "eos"}));
}

TEST_F(H264ProcessorTest, Flush_DropsHeldBuffersAndRestartsTheStreamButNotTheIdrCount)
{
  codec_data_ = h::codec_data(h::sps(), h::pps());
  start(&codec_data_, 5);
  ASSERT_EQ(push(idr_with_sps_, 0), GST_FLOW_OK);
  ASSERT_EQ(push(p_, kFrame, true), GST_FLOW_OK);
  ASSERT_EQ(push(p_, 2 * kFrame, true), GST_FLOW_OK);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE)));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(0)));
  EXPECT_TRUE(out().empty());
  signals();
  // Leading delta units are dropped again; the codec data goes in front again.
  ASSERT_EQ(push(p_, 0, true), GST_FLOW_OK);
  ASSERT_EQ(push(idr_, kFrame), GST_FLOW_OK);
  ASSERT_EQ(push(p_, 2 * kFrame, true), GST_FLOW_OK);
  // The IDR after the flush is the second of the stream: tag, release.
  EXPECT_EQ(signals(), (std::vector<std::string>{"H264IDRFramePresent"}));
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 1u);
  EXPECT_EQ(buffer_bytes(buffers[0].get()), idr_with_sps_);
}

TEST_F(H264ProcessorTest, StateChange_ToReadyDropsHeldBuffersOfTheStoppedStream)
{
  start();
  ASSERT_EQ(push(idr_with_sps_, 0), GST_FLOW_OK);
  ASSERT_EQ(gst_element_set_state(h_->element, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  ASSERT_EQ(gst_element_set_state(h_->element, GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_stream_start("restarted")));
  GstCaps *caps = gst_caps_from_string(
      "video/x-h264,stream-format=avc,alignment=au,parsed=true,width=160,height=128");
  GstBuffer *cd = make_buffer(codec_data_);
  gst_caps_set_simple(caps, "codec_data", GST_TYPE_BUFFER, cd, nullptr);
  gst_buffer_unref(cd);
  gst_harness_set_src_caps(h_.get(), caps);
  ASSERT_EQ(push(idr_with_sps_, 10 * GST_SECOND), GST_FLOW_OK);
  eos();
  auto buffers = out();
  ASSERT_EQ(buffers.size(), 1u);
  EXPECT_EQ(GST_BUFFER_PTS(buffers[0].get()), 10 * GST_SECOND);
}

TEST_F(H264ProcessorTest, Latency_OneFrameIsAddedInLivePipelines)
{
  start();
  gst_harness_set_src_caps_str(h_.get(),
                               "video/x-h264,stream-format=avc,alignment=au,parsed=true,"
                               "framerate=25/1");
  gst_harness_set_upstream_latency(h_.get(), 10 * GST_MSECOND);
  GstQuery *query = gst_query_new_latency();
  ASSERT_TRUE(gst_pad_peer_query(h_->sinkpad, query));
  gboolean live;
  GstClockTime min, max;
  gst_query_parse_latency(query, &live, &min, &max);
  gst_query_unref(query);
  EXPECT_TRUE(live);
  EXPECT_EQ(min, 50 * GST_MSECOND);
}

}  // namespace
