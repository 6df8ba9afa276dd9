#include "transcoding-plugins/base-plugins/loas-parser.h"

#include <gtest/gtest.h>

#include "tests/support/gst-helpers.h"
#include "tests/support/gst-log-capture.h"
#include "tests/support/bitstreams.h"

namespace {

using namespace testsupport;

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
const Bytes kLc48 = {0x11, 0x90}, kNoPayload = {0xFF};  // the builder's default config

struct Case {
  const char *name;
  std::vector<LoasFrame> frames;  // parsed in turn; the last one's outcome is checked
  Bytes payload, codec_data;  // expected: none when empty (kNoPayload: parsed without one)
  const char *log = nullptr;  // a line logged once
  void (*edit)(Bytes &) = nullptr;  // changes the last frame
  bool error = false;               // an element error posted
};

const std::vector<Case> kCases = {
    {"same mux before any config", {kSame}, {}, {}, "Not initialized yet, skipping frame"},
    {"255: one length escape", {{.payload = P(255)}}, P(255), kLc48},
    {"600: two length escapes", {{.payload = P(600)}}, P(600), kLc48},
    // AAC SSR has no GASpecificConfig here: 13 bits, zero-padded.
    {"13-bit config", {{.asc = {{3, 5}, {4, 4}, {5, 4}}, .payload = P(20)}}, P(20), {0x1A, 0x28}},
    {"extensionFlag 1", {{.asc = {{2, 5}, {3, 4}, {2, 4}, {1, 3}}, .payload = P(20)}}, {}, {}},
    {"32 trailing bytes", {{.payload = P(100), .trailing = 32}}, P(100), kLc48},
    {"33 trailing bytes", {{.payload = P(100), .trailing = 33}}, {}, {}, "Invalid LOAS frame size"},
    // Ten bytes short, with audioMuxLengthBytes saying so.
    {"payload cut short", {{.payload = P(100)}}, {}, {}, "Incomplete LOAS frame",
     [](Bytes &b) { b.resize(b.size() - 10), b[1] &= 0xE0, b[2] = b.size() - 3; }},
    {"empty payload", {{.payload = P(0)}}, {}, {}, "Incomplete LOAS frame"},
    {"bad sync word", {kSame}, {}, {}, "Invalid LOAS sync word", [](Bytes &b) { b[0] ^= 1; }},
    {"a byte short", {kSame}, {}, {}, "LOAS frame too small", [](Bytes &b) { b.pop_back(); }},
    {"two programs", {{.num_program = 1, .payload = P(10)}}, {}, {}, nullptr, nullptr, true},
    {"three layers", {{.num_layer = 2, .payload = P(10)}}, {}, {}, nullptr, nullptr, true},
    {"mux version A 1", {kVersionA}, kNoPayload, {}},
    {"same mux after version A 1", {kVersionA, kSame}, kNoPayload, {}},
    {"mux version 1, A 0", {{.audio_mux_version = 1, .payload = P(10)}}, {}, {}},
    {"fixed length with other data and CRC", {{.frame_length_type = 1, .frame_length = 80,
      .other_data = true, .crc = true, .payload = P(100)}}, P(100), kLc48},
    {"same mux with a fixed length", {kFixed, {.use_same_stream_mux = true,
      .frame_length_type = 1, .payload = P(100)}}, P(100), {}},
    {"unsupported length type takes the rest", {{.frame_length_type = 2, .payload = P(300)}},
     P(300), kLc48, "Unsupported LOAS frame_length_type"},
    {"coded slot length", {{.frame_length_type = 3, .payload = P(300)}}, {}, {}},
};

TEST(LoasParserTest, FramesGiveTheirPayloadConfigAndWarnings)
{
  Ref<GstElement> element = gstref::adopt(
      GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("aactransform", nullptr))));
  Ref<GstBus> bus = gstref::adopt(gst_bus_new());
  gst_element_set_bus(element.get(), bus.get());
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    LoasState state{};
    Ref<GstBuffer> payload, codec_data;
    gboolean ok = FALSE;
    GstLogCapture log("aactransform");
    for (gsize i = 0; i < c.frames.size(); ++i) {
      Bytes f = build_loas_frame(c.frames[i]);
      if (c.edit && i + 1 == c.frames.size()) c.edit(f);
      Ref<GstBuffer> buffer = gstref::adopt(make_buffer(f));
      ok = loas_parse_frame(element.get(), &state, buffer.get(), payload.out(), codec_data.out());
    }
    EXPECT_EQ(ok, !c.payload.empty());
    EXPECT_EQ(payload ? buffer_bytes(payload.get()) : ok ? kNoPayload : Bytes{}, c.payload);
    // After a failure the caller drops whatever the config slot holds.
    EXPECT_TRUE(!ok || (codec_data ? buffer_bytes(codec_data.get()) : Bytes{}) == c.codec_data);
    int logged = 0;
    for (const auto &line : log.lines()) logged += c.log && line.message == c.log;
    EXPECT_EQ(logged, c.log ? 1 : 0);
    // At most one: a second one would show in the next case.
    EXPECT_EQ(bool(gstref::adopt(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR))), c.error);
  }
}

}  // namespace
