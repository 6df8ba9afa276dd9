#include "transcoding-plugins/base-plugins/loas-parser.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/gst-log-capture.h"
#include "tests/support/bitstreams.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<guint8>;

Bytes
P(gsize n)
{
  Bytes p(n);
  for (gsize i = 0; i < n; ++i) p[i] = guint8(i * 7 + 3);
  return p;
}

const LoasFrame kSame = {.use_same_stream_mux = true, .payload = P(40)};
const LoasFrame kVersionA = {.audio_mux_version = 1, .audio_mux_version_a = 1, .payload = P(10)};
const LoasFrame kFixed = {.frame_length_type = 1, .frame_length = 80, .payload = P(100)};
const Bytes kLc48 = {0x11, 0x90};  // AAC LC, 48 kHz, stereo: the builder's default

enum Edit { kNone, kFlipSync, kDropLastByte, kCutPayload };

struct Case {
  const char *name;
  std::vector<LoasFrame> before;  // parsed first, for the state they leave
  LoasFrame frame;
  gboolean ok;
  bool payload;               // the frame's payload comes out
  Bytes codec_data;           // expected AudioSpecificConfig, empty for none
  const char *log = nullptr;  // a line logged once
  Edit edit = kNone;
  int errors = 0;  // element errors posted
};

const std::vector<Case> kCases = {
    {"same mux before any config", {}, kSame, FALSE, false, {},
     "Not initialized yet, skipping frame"},
    {"255: one length escape", {}, {.payload = P(255)}, TRUE, true, kLc48},
    {"600: two length escapes", {}, {.payload = P(600)}, TRUE, true, kLc48},
    // AAC SSR has no GASpecificConfig here: 13 bits, zero-padded.
    {"13-bit config", {}, {.asc = {{3, 5}, {4, 4}, {5, 4}}, .payload = P(20)}, TRUE, true,
     {0x1A, 0x28}},
    {"extensionFlag 1", {}, {.asc = {{2, 5}, {3, 4}, {2, 4}, {1, 3}}, .payload = P(20)}, FALSE,
     false, {}},
    {"32 trailing bytes", {}, {.payload = P(100), .trailing = 32}, TRUE, true, kLc48},
    {"33 trailing bytes", {}, {.payload = P(100), .trailing = 33}, FALSE, false, {},
     "Invalid LOAS frame size"},
    {"payload cut short", {}, {.payload = P(100)}, FALSE, false, {}, "Incomplete LOAS frame",
     kCutPayload},
    {"empty payload", {}, {.payload = P(0)}, FALSE, false, {}, "Incomplete LOAS frame"},
    {"bad sync word", {}, kSame, FALSE, false, {}, "Invalid LOAS sync word", kFlipSync},
    {"shorter than its length", {}, kSame, FALSE, false, {}, "LOAS frame too small",
     kDropLastByte},
    {"two programs", {}, {.num_program = 1, .payload = P(10)}, FALSE, false, {}, nullptr, kNone, 1},
    {"three layers", {}, {.num_layer = 2, .payload = P(10)}, FALSE, false, {}, nullptr, kNone, 1},
    {"mux version A 1", {}, kVersionA, TRUE, false, {}},
    {"same mux after version A 1", {kVersionA}, kSame, TRUE, false, {}},
    {"mux version 1, A 0", {}, {.audio_mux_version = 1, .payload = P(10)}, FALSE, false, {}},
    {"fixed length with other data and CRC", {},
     {.frame_length_type = 1, .frame_length = 80, .other_data = true, .crc = true,
      .payload = P(100)},
     TRUE, true, kLc48},
    {"same mux with a fixed length", {kFixed},
     {.use_same_stream_mux = true, .frame_length_type = 1, .payload = P(100)}, TRUE, true, {}},
    {"unsupported length type takes the rest", {}, {.frame_length_type = 2, .payload = P(300)},
     TRUE, true, kLc48, "Unsupported LOAS frame_length_type"},
    {"coded slot length", {}, {.frame_length_type = 3, .payload = P(300)}, FALSE, false, {}},
};

TEST(LoasParserTest, FramesGiveTheirPayloadConfigAndWarnings)
{
  Ref<GstElement> element = gstref::adopt(gst_element_factory_make("aactransform", nullptr));
  ASSERT_TRUE(element);
  gst_object_ref_sink(element.get());
  Ref<GstBus> bus = gstref::adopt(gst_bus_new());
  gst_element_set_bus(element.get(), bus.get());
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = build_loas_frame(c.frame);
    if (c.edit == kFlipSync) bytes[0] ^= 0x01;
    if (c.edit == kDropLastByte) bytes.pop_back();
    if (c.edit == kCutPayload) {
      // Ten bytes short, with audioMuxLengthBytes saying so.
      bytes.resize(bytes.size() - 10);
      bytes[1] = (bytes[1] & 0xE0) | (((bytes.size() - 3) >> 8) & 0x1F);
      bytes[2] = (bytes.size() - 3) & 0xFF;
    }
    std::vector<Bytes> frames;
    for (const LoasFrame &f : c.before) frames.push_back(build_loas_frame(f));
    frames.push_back(bytes);
    LoasState state{};
    Ref<GstBuffer> payload, codec_data;
    gboolean ok = FALSE;
    GstLogCapture log("aactransform");
    for (const Bytes &f : frames) {
      Ref<GstBuffer> buffer = gstref::adopt(make_buffer(f));
      ok = loas_parse_frame(element.get(), &state, buffer.get(), payload.out(), codec_data.out());
    }
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(payload ? buffer_bytes(payload.get()) : Bytes{},
              c.payload ? c.frame.payload : Bytes{});
    // After a failure the caller drops whatever the config slot holds.
    if (c.ok) {
      EXPECT_EQ(codec_data ? buffer_bytes(codec_data.get()) : Bytes{}, c.codec_data);
    }
    int logged = 0, errors = 0;
    for (const auto &line : log.lines()) logged += c.log && line.message == c.log;
    EXPECT_EQ(logged, c.log ? 1 : 0);
    while (Ref<GstMessage> m = gstref::adopt(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR)))
      ++errors;
    EXPECT_EQ(errors, c.errors);
  }
  gst_element_set_bus(element.get(), nullptr);
}

}  // namespace
