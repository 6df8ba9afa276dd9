#include "transcoding-plugins/base-plugins/aac-transform.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/bitstreams.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;

const auto P = [](gsize n) {
  Bytes p(n);
  for (gsize i = 0; i < n; ++i) p[i] = guint8(i * 13 + 1);
  return p;
};

// An ADTS frame written out field by field (ISO/IEC 13818-7 6.2); `byte2` holds the profile,
// the sampling index and the top channel bit: AAC LC, 48 kHz by default, stereo.
Bytes
adts(const Bytes &payload, bool crc = false, guint8 byte2 = 0x4C)
{
  const gsize length = (crc ? 9 : 7) + payload.size();
  Bytes f = {0xFF, guint8(crc ? 0xF0 : 0xF1), byte2, guint8(0x80 | (length >> 11)),
             guint8(length >> 3), guint8(((length & 7) << 5) | 0x1F), 0xFC};
  return crc ? f + Bytes{0xAB, 0xCD} + payload : f + payload;
}

// kF: 1024 samples at 48 kHz.
constexpr GstClockTime kT = GST_SECOND, kF = 21333333, kNone = GST_CLOCK_TIME_NONE;
constexpr const char *kAdtsIn =
    "audio/mpeg,mpegversion=4,stream-format=adts,framed=true,rate=48000,channels=2";
constexpr const char *kRaw = "audio/mpeg,mpegversion=4,stream-format=raw,framed=true";
constexpr const char *kAdtsOut = "audio/mpeg,mpegversion=4,stream-format=adts,framed=true";

const auto raw = [](const char *codec_data, int rate) {
  return "audio/mpeg,mpegversion=4,stream-format=raw,framed=true,channels=2,rate=" +
         std::to_string(rate) + ",codec_data=(buffer)" + codec_data;
};

constexpr const char *kLoas22k =
    "audio/mpeg,mpegversion=4,stream-format=loas,framed=true,channels=2,rate=22050";

struct Step {
  char what;  // b: a buffer, S: a TIME segment from 5 s, R: downstream switches to ADTS
  Bytes bytes = {};
  GstClockTime pts = kNone;
};

const auto A = [](GstClockTime pts = kNone) { return Step{'b', adts(P(10)), pts}; };
const std::vector<Step> kOne = {{'b', P(50), 0}};
const Bytes kSame30 = build_loas_frame({.use_same_stream_mux = true, .payload = P(30)});
// Explicit SBR over AAC LC, 24 kHz core, stereo.
const Bytes kSbrConfig20 = build_loas_frame(
    {.asc = {{5, 5}, {6, 4}, {2, 4}, {3, 4}, {2, 5}, {0, 3}}, .payload = P(20)});
const std::vector<Step> kConfigLate = {
    {'b', kSame30, 0}, {'b', kSbrConfig20, kT}, {'b', kSame30, 2 * kT}};

struct Case {
  const char *name;
  std::vector<Step> steps;
  std::vector<GstClockTime> pts;  // of the output buffers
  std::vector<Bytes> out = {};    // their bytes; unchecked when empty
  const char *caps = "audio/mpeg";  // the output caps lie within these
  std::string in_caps = kAdtsIn;
  const char *out_caps = kRaw;
  GstFlowReturn flow = GST_FLOW_OK;
};

const std::vector<Case> kCases = {
    {"adts to raw: junk dropped, CRC stripped",
     {{'b', P(50), 0}, {'b', adts(P(30)), kT}, {'b', adts(P(40), true), 2 * kT}, {'b', P(60)}},
     {kT, 2 * kT}, {P(30), P(40)},
     "audio/mpeg,stream-format=raw,codec_data=(buffer)1190,rate=48000,channels=2"},
    {"PTS filled after a PTS", {A(kT), A(), A()}, {kT, kT + kF, kT + 2 * kF}},
    {"a new segment forgets the prediction", {A(kT), A(), {'S'}, A()}, {kT, kT + kF, kNone}},
    {"never any PTS, from the segment start", {{'S'}, A(), A()}, {5 * kT, 5 * kT + kF}},
    {"never any PTS, dropped junk takes no time", {{'b', P(10)}, A(), A()}, {0, kF}},
    {"a later PTS takes over", {A(), A(), A(kT), A()}, {0, kF, kT, kT + kF}},
    {"raw to adts within the 13-bit length",
     {{'b', P(8184), 0}, {'b', P(8185), kF}, {'b', P(100), 2 * kF}}, {0, 2 * kF},
     {adts(P(8184)), adts(P(100))}, "audio/mpeg,stream-format=adts", raw("1190", 48000), kAdtsOut},
    // Passed through, with the rate an SBR config doubles and the channels of a PCE.
    {"SBR", kOne, {0}, {P(50)}, "audio/mpeg,rate=44100", raw("2b118800", 22050)},
    {"SBR over 24k", kOne, {0}, {P(50)}, "audio/mpeg,rate=48000", raw("2b118800", 48000)},
    {"FFmpeg's LC", kOne, {0}, {P(50)}, "audio/mpeg,rate=22050", raw("138856e500", 22050)},
    {"SBR extension", kOne, {0}, {P(50)}, "audio/mpeg,rate=44100", raw("131056e580", 22050)},
    {"PS", kOne, {0}, {P(50)}, "audio/mpeg,rate=44100", raw("eb118800", 22050)},
    {"PCE", kOne, {0}, {P(50)}, "audio/mpeg,rate=48000,channels=8",
     raw("118004c848002000c6400d4c61766335392e33372e313030", 48000)},
    // Every ADTS header field comes from the config: without one, an error.
    {"raw without config to adts", kOne, {}, {}, "", kRaw, kAdtsOut, GST_FLOW_NOT_NEGOTIATED},
    {"1-byte config", kOne, {}, {}, "", raw("12", 48000), kAdtsOut, GST_FLOW_NOT_NEGOTIATED},
    {"loas to raw waits for a config", kConfigLate, {kT, 2 * kT}, {P(20), P(30)},
     "audio/mpeg,stream-format=raw,rate=44100,codec_data=(buffer)2b118800", kLoas22k},
    // ADTS, like aacparse's, announces the core rate and profile it carries.
    {"loas to adts waits for a config", kConfigLate, {kT, 2 * kT},
     {adts(P(20), false, 0x58), adts(P(30), false, 0x58)},
     "audio/mpeg,stream-format=adts,rate=22050", kLoas22k, kAdtsOut},
    {"switching to adts mid-stream loses no frame",
     {{'b', build_loas_frame({.payload = P(20)}), 0}, {'b', kSame30, kF}, {'R'},
      {'b', kSame30, 2 * kF}},
     {0, kF, 2 * kF}, {P(20), P(30), adts(P(30))}, "audio/mpeg,stream-format=adts", kLoas22k},
};

TEST(AacTransformTest, CraftedBuffersGiveTheirOutputTimestampsAndCaps)
{
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    Harness h = make_harness("aactransform", c.in_caps.c_str(), c.out_caps);
    for (const Step &s : c.steps) {
      if (s.what == 'S') gst_harness_push_event(h.get(), time_segment_event(5 * kT));
      if (s.what == 'R')
        gst_harness_set_sink_caps_str(h.get(), kAdtsOut),
            gst_harness_push_upstream_event(h.get(), gst_event_new_reconfigure());
      EXPECT_TRUE(s.what != 'b' ||
                  gst_harness_push(h.get(), make_buffer(s.bytes, s.pts)) == c.flow);
    }
    std::vector<GstClockTime> pts;
    std::vector<Bytes> out;
    for (auto &b : pull_all(h.get()))
      pts.push_back(GST_BUFFER_PTS(b.get())), out.push_back(buffer_bytes(b.get()));
    EXPECT_EQ(pts, c.pts);
    EXPECT_TRUE(c.out.empty() || out == c.out);
    Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(h->sinkpad)),
                 expected = gstref::adopt(gst_caps_from_string(c.caps));
    // Our caps, then the held segment, before the first buffer.
    std::string order;
    for (auto &e : pull_all_events(h.get()))
      order += GST_EVENT_TYPE_NAME(e.get()) + std::string(",");
    EXPECT_TRUE(c.pts.empty() || (caps && gst_caps_is_subset(caps.get(), expected.get()) &&
                                  order.rfind("stream-start,caps,segment,", 0) == 0));
  }
}

// An FFmpeg channel layout (7.1(wide) takes a program config element), channels and rate; the
// FFmpeg muxer of the source (adts, latm, or matroska for raw units); a muxer, or the
// stream-format out of aactransform (and a decoder).
struct MediaCase {
  const char *layout;
  int channels, rate;
  const char *format, *out;
};

// Each layout, source format and output once; the PCE of 7.1(wide) through every framing.
const std::vector<MediaCase> kMedia = {
    {"stereo", 2, 48000, "adts", "mp4mux"},
    {"5.1", 6, 44100, "adts", "mpegtsmux"},
    {"7.1(wide)", 8, 48000, "adts",
     "raw ! avdec_aac ! audioconvert ! audio/x-raw,format=F32LE,layout=interleaved"},
    {"stereo", 2, 44100, "latm", "mp4mux"},
    {"7.1(wide)", 8, 48000, "latm",
     "adts ! avdec_aac ! audioconvert ! audio/x-raw,format=F32LE,layout=interleaved"},
    {"5.1", 6, 48000, "matroska", "mp4mux"},
    {"mono", 1, 8000, "matroska", "adts"},
    {"7.1(wide)", 8, 48000, "matroska", "mpegtsmux"},
};

TEST(AacTransformMediaTest, UntimedFramesDecodeLikeTheSourceWithRateChannelsAndTimestamps)
{
  for (const MediaCase &c : kMedia) {
    const std::string format = c.format, tail = c.out;
    SCOPED_TRACE(std::string(c.layout) + " " + format + " to " + tail);
    // Half a second of a distinct tone per channel by FFmpeg's AAC encoder.
    std::string expr;
    for (int i = 0; i < c.channels; ++i)
      expr += (i ? "|0.4*sin(" : "0.4*sin(") + std::to_string(330 + 110 * i) + "*2*PI*t)";
    const std::string source = media::command_clip(
        "aac-" + std::to_string(c.channels) + "-" + std::to_string(c.rate) + "." + format,
        "ffmpeg -nostdin -v error -y -f lavfi -i 'aevalsrc=" + expr + ":s=" +
            std::to_string(c.rate) + ":d=0.5:c=" + c.layout + "' -c:a aac -f " + format + " {out}");
    const std::string base = source + "-frames", out = base + "/out";
    // The frames one per buffer as a demuxer or a framer gives them, and their caps; a framer
    // of the elementary stream knows neither rate nor channels, and aacparse cannot frame the
    // PCE layouts.
    std::string caps = "audio/mpeg,mpegversion=4,framed=true,stream-format=" +
                       std::string(format == "adts" ? "adts" : "loas");
    const Bytes stream = media::read_file(source);
    std::vector<Bytes> frames = format == "latm" ? split_loas_stream(stream) : std::vector<Bytes>{};
    for (gsize pos = 0, len = 0; format == "adts" && pos + 7 <= stream.size(); pos += len) {
      len = ((stream[pos + 3] & 3) << 11) | (stream[pos + 4] << 3) | (stream[pos + 5] >> 5);
      if (len < 7 || pos + len > stream.size()) break;
      frames.emplace_back(stream.begin() + pos, stream.begin() + pos + len);
    }
    if (format == "matroska") {
      CollectResult r =
          collect_buffers("filesrc location=" + source + " ! matroskademux ! fakesink name=sink");
      for (auto &b : r.buffers) frames.push_back(buffer_bytes(b.get()));
      g_autofree gchar *demuxed = gst_caps_to_string(r.caps.get());
      caps = demuxed;
    }
    // One file per frame: multifilesrc gives them untimed in a BYTES segment, as a reader of
    // a raw stream does.
    g_mkdir_with_parents(base.c_str(), 0700);
    for (gsize i = 0; i < frames.size(); ++i)
      g_file_set_contents((base + "/" + std::to_string(i)).c_str(),
                          (const gchar *)frames[i].data(), frames[i].size(), nullptr);
    const bool pcm = tail.find("avdec") != tail.npos, mux = tail.find("mux") != tail.npos;
    const std::string sink = mux ? tail : "capsfilter caps=audio/mpeg,stream-format=" + tail;
    const PipelineResult r = run_pipeline("multifilesrc location=" + base + "/%d caps=\"" +
                                          caps + "\" ! aactransform ! " + sink +
                                          " ! filesink location=" + out);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(pcm ? media::file_md5(out) : media::ffmpeg_pcm_md5(out),
              media::ffmpeg_pcm_md5(source, pcm ? "F32LE" : "S32LE"));
    if (pcm) continue;
    // One value a line; MPEG-TS lists its stream twice.
    const std::string probe = "ffprobe -v error -of default=nw=1:nk=1 -show_entries ";
    const std::string info = run_command(probe + "stream=sample_rate,channels " + out).output;
    EXPECT_EQ(info.substr(0, info.find('\n', info.find('\n') + 1) + 1),
              std::to_string(c.rate) + "\n" + std::to_string(c.channels) + "\n");
    // In a container, one packet per frame, 1024 samples apart, with the PTS they were muxed
    // with: FFmpeg fills in none, and a missing one (N/A) ends the list.
    std::istringstream lines(
        mux ? run_command(probe + "packet=pts_time -fflags +nofillin " + out).output : "");
    const std::vector<double> pts{std::istream_iterator<double>(lines), {}};
    ASSERT_EQ(pts.size(), mux ? frames.size() : 0);
    for (gsize i = 0; i < pts.size(); ++i)
      EXPECT_NEAR(pts[i] - pts[0], i * 1024.0 / c.rate, 2e-5) << "packet " << i;
  }
}

}  // namespace
