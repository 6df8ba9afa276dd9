#include "transcoding-plugins/base-plugins/loas-parser.h"

#include <gst/base/gstbitwriter.h>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/gst-log-capture.h"
#include "tests/support/bitstreams.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<guint8>;

class LoasParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    element_ = gstref::adopt(gst_element_factory_make("aactransform", nullptr));
    ASSERT_TRUE(element_);
    gst_object_ref_sink(element_.get());
    bus_ = gstref::adopt(gst_bus_new());
    gst_element_set_bus(element_.get(), bus_.get());
  }
  void TearDown() override { gst_element_set_bus(element_.get(), nullptr); }

  // Parses `frame`, asking for both outputs.
  gboolean parse(const Bytes &frame) {
    payload_.reset();
    codec_data_.reset();
    GstBuffer *payload = nullptr, *codec_data = nullptr;
    Ref<GstBuffer> buffer = gstref::adopt(make_buffer(frame));
    const gboolean ok =
        loas_parse_frame(element_.get(), &state_, buffer.get(), &payload, &codec_data);
    payload_ = gstref::adopt(payload);
    codec_data_ = gstref::adopt(codec_data);
    return ok;
  }
  Bytes payload() { return payload_ ? buffer_bytes(payload_.get()) : Bytes{}; }
  Bytes codec_data() { return codec_data_ ? buffer_bytes(codec_data_.get()) : Bytes{}; }
  int error_messages() {
    int n = 0;
    while (Ref<GstMessage> m = gstref::adopt(gst_bus_pop_filtered(bus_.get(), GST_MESSAGE_ERROR)))
      ++n;
    return n;
  }

  Ref<GstElement> element_;
  Ref<GstBus> bus_;
  LoasState state_{};
  Ref<GstBuffer> payload_, codec_data_;
};

Bytes
payload_of(gsize n)
{
  Bytes p(n);
  for (gsize i = 0; i < n; ++i) p[i] = guint8(i * 7 + 3);
  return p;
}

TEST_F(LoasParserTest, SameStreamMuxBeforeAnyConfigIsSkippedQuietly)
{
  LoasFrame same;
  same.use_same_stream_mux = true;
  same.payload = payload_of(40);
  const Bytes same_frame = build_loas_frame(same);
  {
    GstLogCapture log("aactransform");
    EXPECT_FALSE(parse(same_frame));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, GST_LEVEL_DEBUG);
    EXPECT_EQ(log.lines()[0].message, "Not initialized yet, skipping frame");
  }
  LoasFrame config;
  config.payload = payload_of(10);
  ASSERT_TRUE(parse(build_loas_frame(config)));
  ASSERT_TRUE(parse(same_frame));
  EXPECT_EQ(payload(), payload_of(40));
  EXPECT_TRUE(codec_data().empty()) << "no StreamMuxConfig in this frame";
}

TEST_F(LoasParserTest, LcStereoGivesConfigAndPayloadAcrossLengthEscapes)
{
  // 0x11 0x90: AAC LC, 48 kHz, stereo. 600 bytes need two 255 escapes in MuxSlotLengthBytes.
  for (gsize size : {gsize(1), gsize(254), gsize(255), gsize(600)}) {
    LoasFrame f;
    f.payload = payload_of(size);
    ASSERT_TRUE(parse(build_loas_frame(f))) << size;
    EXPECT_EQ(codec_data(), (Bytes{0x11, 0x90}));
    EXPECT_EQ(payload(), payload_of(size));
  }
}

TEST_F(LoasParserTest, ConfigBitsAreCopiedExactlyAndPadded)
{
  // Object type 3 (AAC SSR) has no GASpecificConfig here: 13 bits.
  LoasFrame f;
  f.asc = {{3, 5}, {4, 4}, {5, 4}};
  f.payload = payload_of(20);
  ASSERT_TRUE(parse(build_loas_frame(f)));
  EXPECT_EQ(codec_data(), (Bytes{0x1A, 0x28}));
  EXPECT_EQ(payload(), payload_of(20));

  // Explicit SBR: object type 5, core rate index 6, stereo, extension index 3, core LC and
  // its GASpecificConfig: 5+4+4+4+5+3 = 25 bits.
  f.asc = {{5, 5}, {6, 4}, {2, 4}, {3, 4}, {2, 5}, {0, 3}};
  ASSERT_TRUE(parse(build_loas_frame(f)));
  EXPECT_EQ(codec_data(), (Bytes{0x2B, 0x11, 0x88, 0x00}));
  EXPECT_EQ(payload(), payload_of(20));

  // extensionFlag 1 is not supported.
  f.asc = {{2, 5}, {3, 4}, {2, 4}, {1, 3}};
  EXPECT_FALSE(parse(build_loas_frame(f)));
}

TEST_F(LoasParserTest, TrailingDataIsToleratedUpTo32Bytes)
{
  LoasFrame f;
  f.payload = payload_of(100);
  f.trailing = 32;
  EXPECT_TRUE(parse(build_loas_frame(f)));
  EXPECT_EQ(payload(), payload_of(100));
  f.trailing = 33;
  GstLogCapture log("aactransform");
  EXPECT_FALSE(parse(build_loas_frame(f)));
  EXPECT_EQ(log.count(GST_LEVEL_WARNING, "Invalid LOAS frame size"), 1);

  // A frame cut short.
  f.trailing = 0;
  Bytes cut = build_loas_frame(f);
  cut.resize(cut.size() - 10);
  cut[1] = (cut[1] & 0xE0) | (((cut.size() - 3) >> 8) & 0x1F);
  cut[2] = (cut.size() - 3) & 0xFF;
  EXPECT_FALSE(parse(cut));
  EXPECT_EQ(log.count(GST_LEVEL_WARNING, "Incomplete LOAS frame"), 1);
}

TEST_F(LoasParserTest, BadSyncAndShortBuffersAreRefusedWithTheirWarnings)
{
  GstLogCapture log("aactransform");
  LoasFrame spec;
  spec.payload = payload_of(10);
  Bytes frame = build_loas_frame(spec);
  Bytes bad_sync = frame;
  bad_sync[0] ^= 0x01;
  EXPECT_FALSE(parse(bad_sync));
  EXPECT_EQ(log.count(GST_LEVEL_WARNING, "Invalid LOAS sync word"), 1);
  Bytes shorter(frame.begin(), frame.end() - 1);
  EXPECT_FALSE(parse(shorter));
  EXPECT_EQ(log.count(GST_LEVEL_WARNING, "LOAS frame too small"), 1);
  EXPECT_FALSE(parse(Bytes{0x56}));
  EXPECT_FALSE(parse(Bytes{}));
  // An empty payload is no access unit.
  LoasFrame empty;
  EXPECT_FALSE(parse(build_loas_frame(empty)));
  EXPECT_EQ(log.count(GST_LEVEL_WARNING, "Incomplete LOAS frame"), 1);
  EXPECT_FALSE(payload_);
}

TEST_F(LoasParserTest, SeveralProgramsOrLayersPostAnElementError)
{
  LoasFrame f;
  f.payload = payload_of(10);
  f.num_program = 1;
  EXPECT_FALSE(parse(build_loas_frame(f)));
  EXPECT_EQ(error_messages(), 1);
  f.num_program = 0;
  f.num_layer = 2;
  EXPECT_FALSE(parse(build_loas_frame(f)));
  EXPECT_EQ(error_messages(), 1);
  // The element carries on: a good frame still parses.
  f.num_layer = 0;
  EXPECT_TRUE(parse(build_loas_frame(f)));
}

TEST_F(LoasParserTest, MuxVersionAOneYieldsNoPayloadForLaterFramesToo)
{
  LoasFrame f;
  f.audio_mux_version = 1;
  f.audio_mux_version_a = 1;
  f.payload = payload_of(10);
  EXPECT_TRUE(parse(build_loas_frame(f)));
  EXPECT_TRUE(payload().empty());
  EXPECT_TRUE(codec_data().empty());
  LoasFrame same;
  same.use_same_stream_mux = true;
  same.payload = payload_of(10);
  EXPECT_TRUE(parse(build_loas_frame(same)));
  EXPECT_TRUE(payload().empty());
  // audioMuxVersion 1 with audioMuxVersionA 0 is refused.
  f.audio_mux_version_a = 0;
  EXPECT_FALSE(parse(build_loas_frame(f)));
}

TEST_F(LoasParserTest, FixedFrameLengthIsFrameLengthPlus20Bytes)
{
  LoasFrame f;
  f.frame_length_type = 1;
  f.frame_length = 80;
  f.payload = payload_of(100);
  f.other_data = true;
  f.crc = true;
  ASSERT_TRUE(parse(build_loas_frame(f)));
  EXPECT_EQ(payload(), payload_of(100));
  LoasFrame same;
  same.use_same_stream_mux = true;
  same.frame_length_type = 1;
  same.payload = payload_of(100);
  ASSERT_TRUE(parse(build_loas_frame(same)));
  EXPECT_EQ(payload(), payload_of(100));
}

TEST_F(LoasParserTest, UnsupportedLengthTypesTakeTheRestOrFail)
{
  GstLogCapture log("aactransform");
  LoasFrame f;
  f.frame_length_type = 2;
  f.payload = payload_of(300);
  ASSERT_TRUE(parse(build_loas_frame(f)));
  EXPECT_EQ(payload(), payload_of(300));
  EXPECT_EQ(log.count(GST_LEVEL_WARNING, "Unsupported LOAS frame_length_type"), 1);
  f.frame_length_type = 3;  // MuxSlotLengthCoded: not supported
  EXPECT_FALSE(parse(build_loas_frame(f)));
}

}  // namespace
