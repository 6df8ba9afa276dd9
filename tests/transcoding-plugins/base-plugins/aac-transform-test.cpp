#include "transcoding-plugins/base-plugins/aac-transform.h"

#include <glib/gstdio.h>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/gst-log-capture.h"
#include "tests/support/bitstreams.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<guint8>;

Bytes
payload_of(gsize n, guint8 seed = 1)
{
  Bytes p(n);
  for (gsize i = 0; i < n; ++i) p[i] = guint8(i * 13 + seed);
  return p;
}

// An ADTS frame, AAC LC 48 kHz stereo, written out field by field (ISO/IEC 13818-7 6.2).
Bytes
adts_frame(const Bytes &payload, bool crc = false)
{
  const gsize header = crc ? 9 : 7;
  const gsize length = header + payload.size();
  Bytes f = {0xFF, guint8(crc ? 0xF0 : 0xF1), 0x4C, guint8(0x80 | (length >> 11)),
             guint8(length >> 3), guint8(((length & 7) << 5) | 0x1F), 0xFC};
  if (crc) {
    f.push_back(0xAB);
    f.push_back(0xCD);
  }
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

TEST(AdtsHeader, MatchesTheReferenceBytes)
{
  guint8 h[7];
  AdtsConfig config;
  const Bytes lc441 = {0x12, 0x10};
  ASSERT_TRUE(adts_config_from_codec_data(lc441.data(), lc441.size(), &config));
  ASSERT_TRUE(write_adts_header(h, config, 100));
  EXPECT_EQ(Bytes(h, h + 7), (Bytes{0xFF, 0xF1, 0x50, 0x80, 0x0D, 0x7F, 0xFC}));

  const Bytes lc48 = {0x11, 0x90};
  ASSERT_TRUE(adts_config_from_codec_data(lc48.data(), lc48.size(), &config));
  ASSERT_TRUE(write_adts_header(h, config, 100));
  EXPECT_EQ(h[2], 0x4C);

  // Explicit SBR over LC at a 24 kHz core: ADTS says LC, not Main.
  const Bytes he = {0x2B, 0x11, 0x88, 0x00};
  ASSERT_TRUE(adts_config_from_codec_data(he.data(), he.size(), &config));
  ASSERT_TRUE(write_adts_header(h, config, 100));
  EXPECT_EQ(h[2] >> 6, 1) << "profile LC";
  EXPECT_EQ((h[2] >> 2) & 0x0F, 6) << "core sampling index";

  // aac_frame_length is 13 bits, header included.
  EXPECT_TRUE(write_adts_header(h, config, 8184));
  EXPECT_EQ(((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5), 8191);
  EXPECT_FALSE(write_adts_header(h, config, 8185));
  EXPECT_FALSE(adts_config_from_codec_data(lc48.data(), 1, &config));
}

TEST(ParseAdtsFrame, HeaderLengthsAndFields)
{
  guint ot = 0, ch = 0, sfi = 0;
  const Bytes plain = adts_frame(payload_of(20));
  EXPECT_EQ(parse_adts_frame(plain.data(), plain.size(), &ot, &ch, &sfi), 7u);
  EXPECT_EQ(ot, 2u);
  EXPECT_EQ(sfi, 3u);
  EXPECT_EQ(ch, 2u);
  guint8 cd[2];
  codec_data_from_adts(cd, ot, sfi, ch);
  EXPECT_EQ(Bytes(cd, cd + 2), (Bytes{0x11, 0x90}));

  const Bytes crc = adts_frame(payload_of(20), true);
  EXPECT_EQ(parse_adts_frame(crc.data(), crc.size(), &ot, &ch, &sfi), 9u);
  EXPECT_EQ(parse_adts_frame(crc.data(), 8, &ot, &ch, &sfi), 0u);
  EXPECT_EQ(parse_adts_frame(plain.data(), 6, &ot, &ch, &sfi), 0u);
  Bytes bad = plain;
  bad[1] = 0xE1;
  ot = 99;
  EXPECT_EQ(parse_adts_frame(bad.data(), bad.size(), &ot, &ch, &sfi), 0u);
  EXPECT_EQ(ot, 99u) << "out-values untouched on failure";
}

TEST(AacSbrSignalling, OnlyRealSbrConfigsCount)
{
  auto sbr = [](const Bytes &b) { return aac_codec_data_signals_sbr(b.data(), b.size()); };
  // FFmpeg's LC config at 22050 Hz: sync extension with sbrPresentFlag 0.
  EXPECT_FALSE(sbr({0x13, 0x88, 0x56, 0xE5, 0x00}));
  EXPECT_FALSE(sbr({0x12, 0x10}));
  EXPECT_TRUE(sbr({0x2B, 0x11, 0x88, 0x00}));  // object type 5
  EXPECT_TRUE(sbr({0xEB, 0x11, 0x88, 0x00}));  // object type 29 (PS)
  EXPECT_TRUE(sbr({0x13, 0x10, 0x56, 0xE5, 0x80}));  // LC + sync extension, SBR present
  EXPECT_FALSE(sbr({}));
}

class AacTransformTest : public ::testing::Test {
 protected:
  void start(const char *in_caps, const char *out_caps) {
    h_ = make_harness("aactransform", in_caps, out_caps);
  }
  GstFlowReturn push(const Bytes &bytes, GstClockTime pts = GST_CLOCK_TIME_NONE) {
    return gst_harness_push(h_.get(), make_buffer(bytes, pts));
  }
  Ref<GstCaps> output_caps() { return gstref::adopt(gst_pad_get_current_caps(h_->sinkpad)); }
  const GstStructure *output_structure() {
    caps_ = output_caps();
    return caps_ ? gst_caps_get_structure(caps_.get(), 0) : nullptr;
  }
  Bytes output_codec_data() {
    const GstStructure *s = output_structure();
    const GValue *v = s ? gst_structure_get_value(s, "codec_data") : nullptr;
    return v ? buffer_bytes(gst_value_get_buffer(v)) : Bytes{};
  }
  gint output_rate() {
    gint rate = 0;
    const GstStructure *s = output_structure();
    if (s) gst_structure_get_int(s, "rate", &rate);
    return rate;
  }
  Harness h_;
  Ref<GstCaps> caps_;
};

constexpr const char *kAdtsCaps =
    "audio/mpeg,mpegversion=4,stream-format=adts,framed=true,rate=48000,channels=2";
constexpr const char *kRawOut = "audio/mpeg,mpegversion=4,stream-format=raw,framed=true";
constexpr const char *kAdtsOut = "audio/mpeg,mpegversion=4,stream-format=adts,framed=true";

TEST_F(AacTransformTest, AdtsToRaw_StripsHeadersAndAnnouncesTheConfig)
{
  start(kAdtsCaps, kRawOut);
  GstLogCapture log("aactransform", GST_LEVEL_WARNING);
  // Leading junk is dropped, and the mode is chosen from the first real frame.
  EXPECT_EQ(push(payload_of(50), 0), GST_FLOW_OK);
  EXPECT_EQ(log.count(GST_LEVEL_WARNING, "no ADTS header"), 1);
  EXPECT_EQ(push(adts_frame(payload_of(30, 2)), GST_MSECOND), GST_FLOW_OK);
  EXPECT_EQ(push(adts_frame(payload_of(40, 3), true), 2 * GST_MSECOND), GST_FLOW_OK);
  EXPECT_EQ(push(payload_of(60, 4), 3 * GST_MSECOND), GST_FLOW_OK);  // junk mid-stream

  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(buffer_bytes(out[0].get()), payload_of(30, 2));
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), GST_MSECOND);
  EXPECT_EQ(buffer_bytes(out[1].get()), payload_of(40, 3));
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), 2 * GST_MSECOND);
  EXPECT_EQ(output_codec_data(), (Bytes{0x11, 0x90}));
  EXPECT_STREQ(gst_structure_get_string(output_structure(), "stream-format"), "raw");

  // Stream start, then our caps, then the held segment, all before the first buffer.
  std::vector<GstEventType> types;
  for (auto &e : pull_all_events(h_.get())) types.push_back(GST_EVENT_TYPE(e.get()));
  EXPECT_EQ(types, (std::vector<GstEventType>{GST_EVENT_STREAM_START, GST_EVENT_CAPS,
                                              GST_EVENT_SEGMENT}));
}

TEST_F(AacTransformTest, MissingPtsAdvanceByOneFramePerBuffer)
{
  start(kAdtsCaps, kRawOut);
  const GstClockTime t = GST_SECOND;
  push(adts_frame(payload_of(10)), t);
  push(adts_frame(payload_of(10)));
  push(adts_frame(payload_of(10)));
  // A new segment forgets the prediction.
  gst_harness_push_event(h_.get(), time_segment_event(0));
  push(adts_frame(payload_of(10)));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 4u);
  // 1024 samples at 48 kHz, whatever the channel count.
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), t + 21333333);
  EXPECT_EQ(GST_BUFFER_PTS(out[2].get()), t + 2 * 21333333);
  EXPECT_EQ(GST_BUFFER_PTS(out[3].get()), GST_CLOCK_TIME_NONE);
}

TEST_F(AacTransformTest, RawToAdts_NeedsAConfigAndFitsThe13BitLength)
{
  start("audio/mpeg,mpegversion=4,stream-format=raw,framed=true,rate=48000,channels=2,"
        "codec_data=(buffer)1190",
        kAdtsOut);
  GstLogCapture log("aactransform", GST_LEVEL_WARNING);
  EXPECT_EQ(push(payload_of(8184), 0), GST_FLOW_OK);
  EXPECT_EQ(push(payload_of(8185), GST_MSECOND), GST_FLOW_OK);
  EXPECT_EQ(push(payload_of(100), 2 * GST_MSECOND), GST_FLOW_OK);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(gst_buffer_get_size(out[0].get()), 8191u);
  EXPECT_EQ(buffer_bytes(out[1].get()), adts_frame(payload_of(100)));
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), 2 * GST_MSECOND);
  EXPECT_EQ(log.count(GST_LEVEL_WARNING, "does not fit ADTS"), 1);
  EXPECT_TRUE(output_codec_data().empty());

  // Without codec_data no header can be written: an error, not invented values.
  start("audio/mpeg,mpegversion=4,stream-format=raw,framed=true,rate=48000,channels=2",
        kAdtsOut);
  Ref<GstBus> bus = gstref::adopt(gst_bus_new());
  gst_element_set_bus(h_->element, bus.get());
  EXPECT_EQ(push(payload_of(100), 0), GST_FLOW_NOT_NEGOTIATED);
  Ref<GstMessage> error = gstref::adopt(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
  ASSERT_TRUE(error);
  GError *err = nullptr;
  gst_message_parse_error(error.get(), &err, nullptr);
  EXPECT_TRUE(g_error_matches(err, GST_STREAM_ERROR, GST_STREAM_ERROR_FORMAT));
  g_clear_error(&err);
  gst_element_set_bus(h_->element, nullptr);
}

TEST_F(AacTransformTest, PassThroughDoublesTheRateOnlyForSbr)
{
  struct Row {
    const char *codec_data;
    int rate;
    int expected;
  };
  const std::vector<Row> rows = {
      {"2b118800", 22050, 44100},    // explicit SBR, 4 bytes
      {"2b118800", 48000, 48000},    // above a core rate
      {"138856e500", 22050, 22050},  // FFmpeg's LC: SBR signalled absent
      {"131056e580", 22050, 44100},  // LC with SBR present in the sync extension
      {"1390", 22050, 22050},
  };
  for (const Row &r : rows) {
    const std::string caps = "audio/mpeg,mpegversion=4,stream-format=raw,framed=true,rate=" +
                             std::to_string(r.rate) + ",channels=2,codec_data=(buffer)" +
                             r.codec_data;
    start(caps.c_str(), kRawOut);
    GstBuffer *in = make_buffer(payload_of(50), 0);
    gst_buffer_ref(in);
    ASSERT_EQ(gst_harness_push(h_.get(), in), GST_FLOW_OK);
    auto out = pull_all(h_.get());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].get(), in) << "passed through untouched";
    gst_buffer_unref(in);
    EXPECT_EQ(output_rate(), r.expected) << r.codec_data << " at " << r.rate;
  }
}

TEST_F(AacTransformTest, LoasModesWaitForTheFirstStreamMuxConfig)
{
  for (const char *out_caps : {kRawOut, kAdtsOut}) {
    start("audio/mpeg,mpegversion=4,stream-format=loas,framed=true,rate=22050,channels=2",
          out_caps);
    LoasFrame same;
    same.use_same_stream_mux = true;
    same.payload = payload_of(30, 5);
    LoasFrame config;
    config.asc = {{5, 5}, {6, 4}, {2, 4}, {3, 4}, {2, 5}, {0, 3}};  // SBR over LC
    config.payload = payload_of(20, 6);
    EXPECT_EQ(push(build_loas_frame(same), 0), GST_FLOW_OK);  // dropped: no config yet
    EXPECT_EQ(push(build_loas_frame(config), GST_MSECOND), GST_FLOW_OK);
    EXPECT_EQ(push(build_loas_frame(same), 2 * GST_MSECOND), GST_FLOW_OK);
    auto out = pull_all(h_.get());
    ASSERT_EQ(out.size(), 2u) << out_caps;
    const bool raw = out_caps == kRawOut;
    EXPECT_EQ(buffer_bytes(out[1].get()).size(), 30u + (raw ? 0 : 7));
    EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), 2 * GST_MSECOND);
    // Raw caps carry the SBR config and announce the output rate; ADTS, like aacparse's,
    // announces the core rate it carries.
    EXPECT_EQ(output_rate(), raw ? 44100 : 22050) << out_caps;
    EXPECT_EQ(output_codec_data(), raw ? (Bytes{0x2B, 0x11, 0x88, 0x00}) : Bytes{});
    if (!raw) {
      EXPECT_EQ(buffer_bytes(out[1].get())[2] >> 6, 1) << "ADTS profile LC";
    }
  }
}

TEST_F(AacTransformTest, ReconfigureSwitchesTheModeWithoutLosingFrames)
{
  start("audio/mpeg,mpegversion=4,stream-format=loas,framed=true,rate=48000,channels=2",
        kRawOut);
  LoasFrame config;
  config.payload = payload_of(20, 1);
  LoasFrame same;
  same.use_same_stream_mux = true;
  same.payload = payload_of(25, 2);
  push(build_loas_frame(config), 0);
  push(build_loas_frame(same), GST_MSECOND);
  // Downstream now wants ADTS; the next frame reuses the StreamMuxConfig.
  gst_harness_set_sink_caps_str(h_.get(), kAdtsOut);
  gst_harness_push_upstream_event(h_.get(), gst_event_new_reconfigure());
  push(build_loas_frame(same), 2 * GST_MSECOND);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(buffer_bytes(out[1].get()), payload_of(25, 2));
  EXPECT_EQ(buffer_bytes(out[2].get()), adts_frame(payload_of(25, 2)));
  EXPECT_STREQ(gst_structure_get_string(output_structure(), "stream-format"), "adts");
}

std::string
temp_path(const char *pattern)
{
  gchar *tmp = nullptr;
  const gint fd = g_file_open_tmp(pattern, &tmp, nullptr);
  if (fd >= 0) close(fd);
  std::string path = tmp ? tmp : "";
  g_free(tmp);
  return path;
}

class AacTransformMediaTest : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(AacTransformMediaTest, AdtsToMp4AndBackDecodeToTheSamePcm)
{
  const auto [rate, channels] = GetParam();
  const std::string adts = media::aac_adts(rate, channels);
  ASSERT_FALSE(adts.empty());
  const std::string reference = media::ffmpeg_pcm_md5(adts);
  ASSERT_FALSE(reference.empty());

  const std::string mp4 = temp_path("aac-XXXXXX.mp4");
  ASSERT_TRUE(run_pipeline("filesrc location=" + adts +
                           " ! aacparse ! aactransform ! mp4mux ! filesink location=" + mp4)
                  .ok);
  CommandResult probe = run_command(
      "ffprobe -v error -select_streams a -show_entries stream=codec_name,sample_rate,channels "
      "-of default=nw=1 " + mp4);
  EXPECT_EQ(probe.output, "codec_name=aac\nsample_rate=" + std::to_string(rate) +
                              "\nchannels=" + std::to_string(channels) + "\n");
  EXPECT_EQ(media::ffmpeg_pcm_md5(mp4), reference);

  // And back: raw access units from the MP4 to an ADTS file.
  const std::string out = temp_path("aac-XXXXXX.aac");
  ASSERT_TRUE(run_pipeline("filesrc location=" + mp4 +
                           " ! qtdemux ! aactransform ! "
                           "capsfilter caps=audio/mpeg,stream-format=adts ! filesink location=" +
                           out)
                  .ok);
  probe = run_command("ffprobe -v error -show_entries stream=codec_name,channels "
                      "-of default=nw=1 -f aac " + out);
  EXPECT_EQ(probe.output, "codec_name=aac\nchannels=" + std::to_string(channels) + "\n");
  EXPECT_EQ(media::ffmpeg_pcm_md5(out), reference);
  g_unlink(mp4.c_str());
  g_unlink(out.c_str());
}

INSTANTIATE_TEST_SUITE_P(Streams, AacTransformMediaTest,
                         ::testing::Combine(::testing::Values(44100, 48000),
                                            ::testing::Values(2, 6)));

// Decodes raw or ADTS access units with avdec_aac and returns the MD5 of the F32LE PCM.
std::string
decode_md5(const std::vector<Ref<GstBuffer>> &units, GstCaps *caps)
{
  GstHarness *h = gst_harness_new_parse(
      "avdec_aac ! audioconvert ! "
      "capsfilter caps=audio/x-raw,format=F32LE,layout=interleaved");
  gst_harness_set_src_caps(h, gst_caps_ref(caps));
  for (const auto &u : units) gst_harness_push(h, gst_buffer_ref(u.get()));
  gst_harness_push_event(h, gst_event_new_eos());
  Bytes pcm;
  for (auto &b : pull_all(h)) {
    Bytes part = buffer_bytes(b.get());
    pcm.insert(pcm.end(), part.begin(), part.end());
  }
  gst_harness_teardown(h);
  return media::bytes_md5(pcm);
}

TEST(AacTransformLoasTest, FfmpegLoasToRawAndAdtsDecodesLikeFfmpeg)
{
  const std::string latm = media::aac_loas(48000, 2);
  ASSERT_FALSE(latm.empty());
  const std::vector<Bytes> frames = split_loas_stream(media::read_file(latm));
  ASSERT_GT(frames.size(), 20u);
  gsize same_stream_mux = 0;
  for (const Bytes &f : frames) same_stream_mux += f[3] >> 7;
  ASSERT_GT(same_stream_mux, 10u) << "the stream reuses its StreamMuxConfig";
  const std::string reference = media::ffmpeg_pcm_md5(latm, "F32LE");
  ASSERT_FALSE(reference.empty());

  for (const char *out_caps : {kRawOut, kAdtsOut}) {
    Harness h = make_harness(
        "aactransform",
        "audio/mpeg,mpegversion=4,stream-format=loas,framed=true,rate=48000,channels=2",
        out_caps);
    for (gsize i = 0; i < frames.size(); ++i)
      ASSERT_EQ(gst_harness_push(h.get(), make_buffer(frames[i], i * 21333333)), GST_FLOW_OK);
    auto units = pull_all(h.get());
    EXPECT_EQ(units.size(), frames.size()) << out_caps;
    Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
    ASSERT_TRUE(caps);
    EXPECT_EQ(decode_md5(units, caps.get()), reference) << out_caps;

    if (out_caps == kAdtsOut) {
      // FFmpeg reads the ADTS file on its own.
      Bytes file;
      for (auto &u : units) {
        Bytes b = buffer_bytes(u.get());
        file.insert(file.end(), b.begin(), b.end());
      }
      const std::string path = temp_path("loas-XXXXXX.aac");
      ASSERT_TRUE(g_file_set_contents(path.c_str(), reinterpret_cast<const char *>(file.data()),
                                      file.size(), nullptr));
      EXPECT_EQ(media::ffmpeg_pcm_md5(path, "F32LE"), reference);
      g_unlink(path.c_str());
    }
  }
}

}  // namespace
