#include "transcoding-plugins/base-plugins/h264-postprocessor.h"

#include <gst/check/gstharness.h>
#include <gst/codecparsers/gsth264parser.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/bitstreams.h"
#include "tests/support/media.h"
#include "transcoding-plugins/common/nal-units.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<guint8>;

// pic_parameter_set_id 0 for seq_parameter_set_id 0, CAVLC, everything else at its default.
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kPps1 = {0x68, 0x53, 0x8F, 0x20};  // the same with pic_parameter_set_id 1
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33};
const Bytes kSlice = {0x41, 0x9A, 0x02, 0x03};
const Bytes kAud = {0x09, 0x30};
// SEI with one user_data_unregistered message (16-byte UUID and 1 byte of data).
const Bytes kSei = {0x06, 0x05, 0x11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0x42,
                    0x80};
// SEI whose payload size runs past the end.
const Bytes kBadSei = {0x06, 0x05, 0xFF, 0xFF, 0x10, 0x80};

Bytes
operator+(Bytes a, const Bytes &b)
{
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes
avc(std::initializer_list<Bytes> units, guint length_size = 4)
{
  Bytes out;
  for (const Bytes &u : units) {
    nal::append_length(out, u.size(), length_size);
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

Bytes
annex_b(std::initializer_list<Bytes> units)
{
  Bytes out;
  for (const Bytes &u : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

Bytes
codec_data(const Bytes &sps, std::initializer_list<Bytes> pps, guint length_size = 4)
{
  Bytes out = {1, sps[1], sps[2], sps[3], guint8(0xFC | (length_size - 1)), 0xE1};
  nal::append_length(out, sps.size(), 2);
  out.insert(out.end(), sps.begin(), sps.end());
  out.push_back(static_cast<guint8>(pps.size()));
  for (const Bytes &p : pps) {
    nal::append_length(out, p.size(), 2);
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

std::string
hex(const Bytes &bytes)
{
  std::ostringstream s;
  for (guint8 b : bytes) s << std::hex << (b >> 4) << (b & 15);
  return s.str();
}

std::string
input_caps(const Bytes &codec, const char *extra = "")
{
  std::string caps = "video/x-h264,stream-format=avc,alignment=au,width=176,height=144";
  if (!codec.empty()) caps += ",codec_data=(buffer)" + hex(codec);
  return caps + extra;
}

constexpr const char *kByteStream = "video/x-h264,stream-format=byte-stream";
constexpr const char *kAvc = "video/x-h264,stream-format=avc,alignment=au";

Bytes
units_of_annex_b(const Bytes &data, std::vector<Bytes> *units)
{
  nal::ByteStreamWalker walker(data.data(), data.size());
  for (nal::Unit u; walker.next(&u);)
    units->emplace_back(data.begin() + u.offset, data.begin() + u.offset + u.size);
  return data;
}

// NAL unit types of a byte-stream buffer.
std::vector<int>
types(GstBuffer *buffer)
{
  std::vector<Bytes> units;
  units_of_annex_b(buffer_bytes(buffer), &units);
  std::vector<int> t;
  for (const Bytes &u : units) t.push_back(u.empty() ? -1 : u[0] & 0x1F);
  return t;
}

class H264PostprocessorTest : public ::testing::Test {
 protected:
  void start(const std::string &caps, const char *downstream, bool no_queue = true,
             bool force = false) {
    h_ = make_harness("h264postprocessor", nullptr, downstream);
    g_object_set(h_->element, "no-queue", no_queue, "force", force, nullptr);
    gst_harness_set_src_caps_str(h_.get(), caps.c_str());
  }
  GstFlowReturn push(const Bytes &data, GstClockTime pts, bool delta = false) {
    GstBuffer *b = make_buffer(data, pts, ms(40));
    if (delta) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    return gst_harness_push(h_.get(), b);
  }
  Ref<GstCaps> output_caps() { return gstref::adopt(gst_pad_get_current_caps(h_->sinkpad)); }
  Harness h_;
  const Bytes sps_ = h264::build_sps({.profile_idc = 66, .num_ref_frames = 1});
};

TEST_F(H264PostprocessorTest, ByteStream_CapsFramingAndParameterSets)
{
  start(input_caps(codec_data(sps_, {kPps})), kByteStream);
  ASSERT_EQ(push(avc({kSei, kIdr}), 0), GST_FLOW_OK);
  ASSERT_EQ(push(avc({kSlice}), ms(40), true), GST_FLOW_OK);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);

  Ref<GstCaps> caps = output_caps();
  ASSERT_TRUE(caps);
  GstStructure *s = gst_caps_get_structure(caps.get(), 0);
  EXPECT_STREQ(gst_structure_get_string(s, "stream-format"), "byte-stream");
  EXPECT_STREQ(gst_structure_get_string(s, "alignment"), "nal");
  EXPECT_FALSE(gst_structure_has_field(s, "codec_data"));
  gint fn = 0, fd = 0;
  EXPECT_TRUE(gst_structure_get_fraction(s, "framerate", &fn, &fd));
  EXPECT_EQ(fn, 25);
  EXPECT_EQ(fd, 1);

  // Delimiter, the SEI, then SPS and PPS from the codec data (unchanged: no aspect ratio in
  // the caps) inserted before the IDR slice.
  EXPECT_EQ(buffer_bytes(out[0].get()),
            annex_b({{0x09, 0xF0}, kSei, sps_, kPps}) + (Bytes{0, 0, 1} + kIdr));
  EXPECT_FALSE(GST_BUFFER_FLAG_IS_SET(out[0].get(), GST_BUFFER_FLAG_DELTA_UNIT));
  EXPECT_EQ(types(out[1].get()), (std::vector<int>{9, 1}));
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(out[1].get(), GST_BUFFER_FLAG_DELTA_UNIT));
  // Direct output keeps the timestamps.
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), ms(40));
  EXPECT_EQ(GST_BUFFER_DURATION(out[1].get()), ms(40));
}

TEST_F(H264PostprocessorTest, ByteStream_RepeatsParameterSetsAfter30Seconds)
{
  start(input_caps(codec_data(sps_, {kPps})), kByteStream);
  push(avc({kIdr}), 0);
  push(avc({kSlice}), ms(10000), true);
  push(avc({kSlice}), ms(30500), true);
  push(avc({kSlice}), ms(31000), true);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(types(out[0].get()), (std::vector<int>{9, 7, 8, 5}));
  EXPECT_EQ(types(out[1].get()), (std::vector<int>{9, 1}));
  EXPECT_EQ(types(out[2].get()), (std::vector<int>{9, 7, 8, 1}));
  EXPECT_EQ(types(out[3].get()), (std::vector<int>{9, 1}));
}

TEST_F(H264PostprocessorTest, ByteStream_InBandParameterSetsAreNotDoubled)
{
  start(input_caps(codec_data(sps_, {kPps, kPps1})), kByteStream);
  push(avc({kAud, sps_, kPps, kIdr}), 0);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  // The in-band delimiter is dropped (the output opens with its own).
  EXPECT_EQ(types(out[0].get()), (std::vector<int>{9, 7, 8, 5}));
  // A PPS without an SPS before it gets the stored SPS.
  push(avc({kPps1, kIdr}), ms(40));
  out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(types(out[0].get()), (std::vector<int>{9, 7, 8, 5}));
}

TEST_F(H264PostprocessorTest, ByteStream_SpsFollowsTheCapsAspectRatio)
{
  const Bytes no_vui = h264::build_sps({.profile_idc = 77});
  // 1/1 on an SPS without VUI: the SPS bytes are not touched.
  start(input_caps(codec_data(no_vui, {kPps}), ",pixel-aspect-ratio=1/1"), kByteStream);
  push(avc({no_vui, kPps, kIdr}), 0);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  std::vector<Bytes> units;
  units_of_annex_b(buffer_bytes(out[0].get()), &units);
  ASSERT_EQ(units.size(), 4u);
  EXPECT_EQ(units[1], no_vui);

  // 4/3: the in-band SPS is replaced by the rewritten one, which says 4:3.
  start(input_caps(codec_data(no_vui, {kPps}), ",pixel-aspect-ratio=4/3"), kByteStream);
  push(avc({no_vui, kPps, kIdr}), 0);
  out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  units.clear();
  units_of_annex_b(buffer_bytes(out[0].get()), &units);
  ASSERT_EQ(units.size(), 4u);
  GstH264NalUnit nalu{};
  nalu.data = units[1].data();
  nalu.size = units[1].size();
  nalu.header_bytes = 1;
  GstH264SPS parsed;
  memset(&parsed, 0, sizeof(parsed));
  ASSERT_EQ(gst_h264_parse_sps(&nalu, &parsed), GST_H264_PARSER_OK);
  EXPECT_EQ(parsed.vui_parameters.aspect_ratio_idc, 14);
  gst_h264_sps_clear(&parsed);
}

TEST_F(H264PostprocessorTest, ByteStream_BrokenSeiStopsAllLaterSei)
{
  start(input_caps(codec_data(sps_, {kPps})), kByteStream);
  push(avc({kSei, kIdr}), 0);
  push(avc({kBadSei, kSlice}), ms(40), true);
  push(avc({kSei, kSlice}), ms(80), true);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(types(out[0].get()), (std::vector<int>{9, 6, 7, 8, 5}));
  EXPECT_EQ(types(out[1].get()), (std::vector<int>{9, 1}));
  EXPECT_EQ(types(out[2].get()), (std::vector<int>{9, 1}));
}

TEST_F(H264PostprocessorTest, ByteStream_DelimiterAfterSlicesSplitsTheBuffer)
{
  start(input_caps(codec_data(sps_, {kPps})), kByteStream);
  push(avc({kIdr, kAud, kSlice}), ms(1000));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(types(out[0].get()), (std::vector<int>{9, 7, 8, 5}));
  EXPECT_EQ(buffer_bytes(out[1].get()), annex_b({kAud}) + (Bytes{0, 0, 1} + kSlice));
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(1000));
  EXPECT_FALSE(GST_BUFFER_PTS_IS_VALID(out[1].get()));
  EXPECT_FALSE(GST_BUFFER_DTS_IS_VALID(out[1].get()));
  // Split, the parts cannot tell how long each one lasts.
  EXPECT_FALSE(GST_BUFFER_DURATION_IS_VALID(out[0].get()));
}

TEST_F(H264PostprocessorTest, Avc_PassesUnitsAndFixesKeyUnitFlags)
{
  const Bytes codec = codec_data(sps_, {kPps});
  start(input_caps(codec), kAvc);
  const Bytes idr = avc({kSei, kIdr}), slice = avc({kSlice});
  push(idr, 0, true);  // wrongly flagged delta
  push(slice, ms(40), false);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(buffer_bytes(out[0].get()), idr);
  EXPECT_EQ(buffer_bytes(out[1].get()), slice);
  EXPECT_FALSE(GST_BUFFER_FLAG_IS_SET(out[0].get(), GST_BUFFER_FLAG_DELTA_UNIT));
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(out[1].get(), GST_BUFFER_FLAG_DELTA_UNIT));
  GstStructure *s = gst_caps_get_structure(output_caps().get(), 0);
  EXPECT_STREQ(gst_structure_get_string(s, "stream-format"), "avc");
  const GValue *v = gst_structure_get_value(s, "codec_data");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(buffer_bytes(gst_value_get_buffer(v)), codec);
}

TEST_F(H264PostprocessorTest, AvcForce_RebuildsCodecDataWithTheRewrittenSps)
{
  start(input_caps(codec_data(sps_, {kPps}), ",pixel-aspect-ratio=64/45"), kAvc, true, true);
  push(avc({sps_, kPps, kIdr}), 0);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  GstStructure *s = gst_caps_get_structure(output_caps().get(), 0);
  const GValue *v = gst_structure_get_value(s, "codec_data");
  ASSERT_NE(v, nullptr);
  const Bytes codec = buffer_bytes(gst_value_get_buffer(v));
  ASSERT_GT(codec.size(), 8u);
  EXPECT_EQ(codec[5], 0xE1);
  const gsize sps_len = (codec[6] << 8) | codec[7];
  ASSERT_GE(codec.size(), 8 + sps_len + 1);
  const Bytes rewritten(codec.begin() + 8, codec.begin() + 8 + sps_len);
  EXPECT_EQ(codec[1], rewritten[1]);
  // The access unit carries the same rewritten SPS, length-prefixed, after the delimiter.
  EXPECT_EQ(buffer_bytes(out[0].get()), avc({{0x09, 0xF0}, rewritten, kPps, kIdr}));
  GstH264NalUnit nalu{};
  nalu.data = const_cast<guint8 *>(rewritten.data());
  nalu.size = rewritten.size();
  nalu.header_bytes = 1;
  GstH264SPS parsed;
  memset(&parsed, 0, sizeof(parsed));
  ASSERT_EQ(gst_h264_parse_sps(&nalu, &parsed), GST_H264_PARSER_OK);
  EXPECT_EQ(parsed.vui_parameters.aspect_ratio_idc, 255);
  EXPECT_EQ(parsed.vui_parameters.sar_width, 64);
  EXPECT_EQ(parsed.vui_parameters.sar_height, 45);
  gst_h264_sps_clear(&parsed);
}

TEST_F(H264PostprocessorTest, Queue_GeneratesDtsAndHoldsTheSegment)
{
  // num_ref_frames 1: the queue holds 3 access units.
  start(input_caps(codec_data(sps_, {kPps})), kByteStream, false);
  const GstClockTime order[] = {0, 120, 40, 80, 240, 160, 200};
  for (GstClockTime t : order) push(avc({t == 0 ? kIdr : kSlice}), ms(t), t != 0);
  EXPECT_EQ(gst_harness_buffers_in_queue(h_.get()), 4u);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 7u);
  const GstClockTime dts[] = {960, 1000, 1040, 1080, 1120, 1160, 1200};
  for (gsize i = 0; i < 7; ++i) {
    EXPECT_EQ(GST_BUFFER_PTS(out[i].get()), ms(1000 + order[i])) << i;
    EXPECT_EQ(GST_BUFFER_DTS(out[i].get()), ms(dts[i])) << i;
  }
  // Stream start, caps, the segment shifted by the 1 s lift, then EOS after the buffers.
  std::vector<GstEventType> seen;
  const GstSegment *segment = nullptr;
  auto events = pull_all_events(h_.get());
  for (auto &e : events) {
    seen.push_back(GST_EVENT_TYPE(e.get()));
    if (GST_EVENT_TYPE(e.get()) == GST_EVENT_SEGMENT) gst_event_parse_segment(e.get(), &segment);
  }
  EXPECT_EQ(seen, (std::vector<GstEventType>{GST_EVENT_STREAM_START, GST_EVENT_CAPS,
                                             GST_EVENT_SEGMENT, GST_EVENT_EOS}));
  ASSERT_NE(segment, nullptr);
  EXPECT_EQ(segment->start, ms(1000));
}

TEST_F(H264PostprocessorTest, MidStreamCaps_AreIgnored)
{
  start(input_caps(codec_data(sps_, {kPps})), kByteStream);
  push(avc({kIdr}), 0);
  gst_harness_set_src_caps_str(h_.get(), input_caps({}).c_str());
  push(avc({kSlice}), ms(40), true);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(types(out[1].get()), (std::vector<int>{9, 1}));
  EXPECT_STREQ(gst_structure_get_string(gst_caps_get_structure(output_caps().get(), 0),
                                        "stream-format"),
               "byte-stream");
}

TEST_F(H264PostprocessorTest, Reconfigure_RenegotiatesTheFraming)
{
  start(input_caps(codec_data(sps_, {kPps})), kByteStream);
  push(avc({kIdr}), 0);
  gst_harness_set_sink_caps_str(h_.get(), kAvc);
  gst_harness_push_upstream_event(h_.get(), gst_event_new_reconfigure());
  const Bytes slice = avc({kSlice});
  push(slice, ms(40), true);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(types(out[0].get()), (std::vector<int>{9, 7, 8, 5}));
  EXPECT_EQ(buffer_bytes(out[1].get()), slice);
  EXPECT_STREQ(gst_structure_get_string(gst_caps_get_structure(output_caps().get(), 0),
                                        "stream-format"),
               "avc");
}

TEST_F(H264PostprocessorTest, DamagedInput_NeverCrashesAndKeepsWhatItCan)
{
  // Codec data that lies about its sizes, with a 2-byte length size.
  Bytes lying = codec_data(sps_, {kPps}, 2);
  lying[7] = 0xFF;  // SPS length beyond the end
  start(input_caps(lying), kByteStream);
  // Truncated unit (length beyond the buffer), then units shorter than the length size.
  EXPECT_EQ(push({0x00, 0x10, 0x65, 0x88}, 0), GST_FLOW_OK);
  EXPECT_EQ(push({0x00}, ms(40)), GST_FLOW_OK);
  EXPECT_EQ(push({}, ms(80)), GST_FLOW_OK);
  EXPECT_EQ(push({0x00, 0x00, 0x00, 0x01, 0x07}, ms(120)), GST_FLOW_OK);  // 1-byte SPS
  EXPECT_EQ(push({0x00, 0x02, 0x67, 0x42, 0x00, 0x01, 0x68}, GST_CLOCK_TIME_NONE),
            GST_FLOW_OK);  // SPS that fails to parse, 1-byte PPS, no PTS
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 5u);
  // The truncated IDR slice is cut at the end of the buffer and kept.
  EXPECT_EQ(buffer_bytes(out[0].get()), annex_b({{0x09, 0xF0}, {0x65, 0x88}}));
  // Shorter than the length size: passed as it came.
  EXPECT_EQ(buffer_bytes(out[1].get()), Bytes{0x00});

  // No codec data at all: a length size of 4 is assumed, no parameter sets can be inserted.
  start(input_caps({}), kByteStream);
  EXPECT_EQ(push(avc({kIdr}), 0), GST_FLOW_OK);
  out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(types(out[0].get()), (std::vector<int>{9, 5}));
}

TEST(H264PostprocessorIds, ParameterSetIds)
{
  // constraint_set3 and constraint_set4 set: the id is still found.
  EXPECT_EQ(get_sps_id(h264::build_sps({.constraint_flags = 0x18}).data(), 8), 0);
  EXPECT_EQ(get_pps_id(kPps.data(), kPps.size()), 0);
  EXPECT_EQ(get_pps_id(kPps1.data(), kPps1.size()), 1);
  // Data that ends before the id.
  EXPECT_EQ(get_sps_id(h264::build_sps({}).data(), 4), 255);
  EXPECT_EQ(get_pps_id(kPps.data(), 1), 255);
  const Bytes zeros = {0x68, 0, 0, 0, 0, 0};
  EXPECT_EQ(get_pps_id(zeros.data(), zeros.size()), 255);
}

// Real media: x264 with B-frames in MP4, through qtdemux ! h264parse ! h264postprocessor.
class H264PostprocessorMediaTest : public ::testing::Test {
 protected:
  static std::string source() {
    // Several reference frames and B-frames, so that the queue limit and the DTS matter.
    return media::gst_clip(
        "h264-postprocessor.mp4",
        "videotestsrc num-buffers=60 pattern=ball ! capsfilter "
        "caps=video/x-raw,format=I420,width=176,height=144,framerate=25/1 ! x264enc "
        "key-int-max=20 bframes=3 ref=4 b-adapt=false speed-preset=veryfast ! h264parse ! "
        "mp4mux ! filesink location={out}");
  }
  static std::string framemd5(const std::string &path) {
    CommandResult r = run_command("ffmpeg -v error -i '" + path +
                                  "' -map 0:v -pix_fmt yuv420p -f framemd5 - | "
                                  "grep -v '^#' | awk -F, '{print $6}'");
    return r.status == 0 ? r.output : std::string();
  }
  struct Packet {
    gint64 pts, dts;
  };
  static std::vector<Packet> packets(const std::string &path) {
    CommandResult r = run_command("ffprobe -v error -select_streams v -show_entries "
                                  "packet=pts,dts -of csv=p=0 '" + path + "'");
    std::vector<Packet> out;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
      Packet p{};
      if (sscanf(line.c_str(), "%" G_GINT64_FORMAT ",%" G_GINT64_FORMAT, &p.pts, &p.dts) == 2)
        out.push_back(p);
    }
    return out;
  }
  static std::string trace_headers(const std::string &path) {
    return run_command("ffmpeg -v info -i '" + path +
                       "' -c copy -bsf:v trace_headers -f null - 2>&1 | grep -E "
                       "'aspect_ratio_idc|sar_width|sar_height' | awk '{print $NF}' | "
                       "sort -u | tr '\\n' ' '")
        .output;
  }
  void SetUp() override {
    if (!have_program("ffmpeg") || !have_program("ffprobe") || !have_factory("x264enc"))
      GTEST_SKIP() << "needs ffmpeg, ffprobe and x264enc";
    input_ = source();
    ASSERT_FALSE(input_.empty());
    // The property the DTS tests depend on: B-frames reorder the PTS.
    auto in = packets(input_);
    ASSERT_EQ(in.size(), 60u);
    bool reordered = false;
    for (gsize i = 1; i < in.size(); ++i) reordered |= in[i].pts < in[i - 1].pts;
    ASSERT_TRUE(reordered);
  }
  std::string run(const std::string &name, const std::string &middle, const std::string &mux) {
    const std::string out = std::string(g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".") + "/" + name;
    PipelineResult r = run_pipeline("filesrc location=" + input_ + " ! qtdemux ! h264parse ! " +
                                    middle + " ! " + mux + " ! filesink location=" + out);
    EXPECT_TRUE(r.ok) << r.error;
    return out;
  }
  void expect_sound_packets(const std::string &path) {
    auto p = packets(path);
    ASSERT_EQ(p.size(), 60u) << path;
    for (gsize i = 0; i < p.size(); ++i) {
      EXPECT_LE(p[i].dts, p[i].pts) << i;
      if (i > 0) {
        EXPECT_GT(p[i].dts, p[i - 1].dts) << i;
      }
    }
  }
  std::string input_;
};

TEST_F(H264PostprocessorMediaTest, ToMpegTs_DecodesToTheSameFramesWithSoundDts)
{
  const std::string ts = run("pp.ts", "h264postprocessor", "mpegtsmux");
  expect_sound_packets(ts);
  const std::string want = framemd5(input_);
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(framemd5(ts), want);
}

TEST_F(H264PostprocessorMediaTest, ToMp4_WithAndWithoutForce)
{
  const std::string want = framemd5(input_);
  for (const char *force : {"false", "true"}) {
    SCOPED_TRACE(force);
    const std::string mp4 = run(std::string("pp-force-") + force + ".mp4",
                                std::string("h264postprocessor force=") + force, "mp4mux");
    expect_sound_packets(mp4);
    EXPECT_EQ(framemd5(mp4), want);
  }
}

TEST_F(H264PostprocessorMediaTest, AspectRatio_IsWrittenIntoTheSps)
{
  const std::string want = framemd5(input_);
  const std::string plain = run("pp-plain.ts", "h264postprocessor", "mpegtsmux");
  EXPECT_EQ(trace_headers(plain), "1 ");  // x264 signals 1:1
  const std::string four_three = run(
      "pp-4-3.ts", "bufferskip pixel-aspect-ratio-override=4/3 ! h264postprocessor", "mpegtsmux");
  EXPECT_EQ(trace_headers(four_three), "14 ");
  EXPECT_EQ(framemd5(four_three), want);
  const std::string wide = run(
      "pp-64-45.ts", "bufferskip pixel-aspect-ratio-override=64/45 ! h264postprocessor",
      "mpegtsmux");
  EXPECT_EQ(trace_headers(wide), "255 45 64 ");
  EXPECT_EQ(framemd5(wide), want);
}

}  // namespace
