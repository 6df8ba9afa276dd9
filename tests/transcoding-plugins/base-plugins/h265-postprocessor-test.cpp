#include "transcoding-plugins/base-plugins/h265-postprocessor.h"

#include <gst/check/gstharness.h>
#include <gst/codecparsers/gsth265parser.h>
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/gst-log-capture.h"
#include "tests/support/bitstreams.h"
#include "tests/support/media.h"
#include "transcoding-plugins/common/nal-units.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<guint8>;

const Bytes kIdrSlice = {0x26, 0x01, 0xAF, 0x1D, 0x80};   // IDR_W_RADL
const Bytes kSlice = {0x02, 0x01, 0xD0, 0x12, 0x34};      // TRAIL_R
const Bytes kSei = {0x4E, 0x01, 0x05, 0x01, 0x42, 0x80};  // prefix SEI
const Bytes kVps = h265::build_vps();
const Bytes kPps = h265::build_pps(0);

Bytes
hvc1(std::initializer_list<Bytes> units, guint length_size, const Bytes &tail = {})
{
  Bytes out;
  for (const Bytes &u : units) {
    nal::append_length(out, u.size(), length_size);
    out.insert(out.end(), u.begin(), u.end());
  }
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

struct Array {
  guint8 type;
  std::vector<Bytes> units;
};

// HEVCDecoderConfigurationRecord (ISO/IEC 14496-15 8.3.3.1) for Main, level 2, 4:2:0 8-bit.
Bytes
hvcc(const std::vector<Array> &arrays, guint length_size)
{
  Bytes out = {1,    0x01, 0x60, 0, 0,    0,    0x90, 0, 0, 0,
               0,    0,    60,   0xF0, 0x00, 0xFC, 0xFD, 0xF8, 0xF8, 0,
               0,    guint8(0x0C | (length_size - 1)), guint8(arrays.size())};
  for (const Array &a : arrays) {
    out.push_back(0x80 | a.type);
    nal::append_length(out, a.units.size(), 2);
    for (const Bytes &u : a.units) {
      nal::append_length(out, u.size(), 2);
      out.insert(out.end(), u.begin(), u.end());
    }
  }
  return out;
}

// The arrays of a record, read independently of the element's reader.
std::vector<Array>
arrays_of(const Bytes &record)
{
  std::vector<Array> out;
  gsize pos = 23;
  for (guint a = 0; a < record.at(22); ++a) {
    Array array{guint8(record.at(pos) & 0x3F), {}};
    const guint count = (record.at(pos + 1) << 8) | record.at(pos + 2);
    pos += 3;
    for (guint i = 0; i < count; ++i) {
      const gsize len = (record.at(pos) << 8) | record.at(pos + 1);
      array.units.emplace_back(record.begin() + pos + 2, record.begin() + pos + 2 + len);
      pos += 2 + len;
    }
    out.push_back(array);
  }
  EXPECT_EQ(pos, record.size());
  return out;
}

std::vector<Bytes>
units_of(const Bytes &au, guint length_size)
{
  std::vector<Bytes> out;
  nal::LengthPrefixedWalker walker(au.data(), au.size(), length_size);
  for (nal::Unit u; walker.next(&u);)
    out.emplace_back(au.begin() + u.offset, au.begin() + u.offset + u.size);
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
caps_with(const Bytes &codec, const char *par = "4/3")
{
  std::string caps = "video/x-h265,stream-format=hvc1,alignment=au,width=64,height=64";
  if (!codec.empty()) caps += ",codec_data=(buffer)" + hex(codec);
  if (par) caps += std::string(",pixel-aspect-ratio=(fraction)") + par;
  return caps;
}

guint8
aspect_ratio_idc(const Bytes &sps_nal)
{
  GstH265Parser *parser = gst_h265_parser_new();
  GstH265NalUnit nalu{};
  nalu.type = GST_H265_NAL_SPS;
  nalu.data = const_cast<guint8 *>(sps_nal.data());
  nalu.size = sps_nal.size();
  nalu.header_bytes = 2;
  nalu.valid = TRUE;
  GstH265SPS sps;
  memset(&sps, 0, sizeof(sps));
  const bool ok = sps_nal.size() >= 3 && gst_h265_parse_sps(parser, &nalu, &sps, TRUE) == GST_H265_PARSER_OK;
  gst_h265_parser_free(parser);
  EXPECT_TRUE(ok);
  return ok && sps.vui_parameters_present_flag && sps.vui_params.aspect_ratio_info_present_flag
             ? sps.vui_params.aspect_ratio_idc
             : 0;
}

class H265PostprocessorTest : public ::testing::Test {
 protected:
  void start(const std::string &caps, bool no_queue = true) {
    h_ = make_harness("h265postprocessor", nullptr,
                      "video/x-h265,stream-format=hvc1,alignment=au");
    g_object_set(h_->element, "no-queue", no_queue, nullptr);
    gst_harness_set_src_caps_str(h_.get(), caps.c_str());
  }
  GstFlowReturn push(const Bytes &data, GstClockTime pts) {
    return gst_harness_push(h_.get(), make_buffer(data, pts, ms(40)));
  }
  Bytes output_codec_data() {
    Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(h_->sinkpad));
    if (!caps) return {};
    const GValue *v = gst_structure_get_value(gst_caps_get_structure(caps.get(), 0), "codec_data");
    return v ? buffer_bytes(gst_value_get_buffer(v)) : Bytes{};
  }
  Harness h_;
  const Bytes sps_ = h265::build_sps({.vui = true}).nal;  // signals 1:1
};

// The record keeps its header and the input's length size (2 here), loses the SEI array and
// carries the rewritten SPS; the in-band SPS becomes the same bytes, everything else passes.
TEST_F(H265PostprocessorTest, CodecDataAndInBandSpsCarryTheCapsRatio)
{
  const Bytes record =
      hvcc({{32, {kVps}}, {33, {sps_}}, {34, {kPps}}, {39, {kSei}}}, 2);
  start(caps_with(record));
  const Bytes key = hvc1({kVps, sps_, kPps, kSei, kIdrSlice}, 2);
  const Bytes delta = hvc1({kSlice}, 2);
  push(key, 0);
  push(delta, ms(40));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);

  const Bytes codec = output_codec_data();
  ASSERT_GE(codec.size(), 23u);
  EXPECT_TRUE(std::equal(record.begin(), record.begin() + 22, codec.begin()));
  auto arrays = arrays_of(codec);
  ASSERT_EQ(arrays.size(), 3u);
  EXPECT_EQ(arrays[0].type, 32);
  EXPECT_EQ(arrays[0].units, std::vector<Bytes>{kVps});
  EXPECT_EQ(arrays[1].type, 33);
  ASSERT_EQ(arrays[1].units.size(), 1u);
  const Bytes processed = arrays[1].units[0];
  EXPECT_EQ(aspect_ratio_idc(processed), 14);
  EXPECT_EQ(arrays[2].type, 34);
  EXPECT_EQ(arrays[2].units, std::vector<Bytes>{kPps});

  EXPECT_EQ(units_of(buffer_bytes(out[0].get()), 2),
            (std::vector<Bytes>{kVps, processed, kPps, kSei, kIdrSlice}));
  EXPECT_EQ(buffer_bytes(out[1].get()), delta);
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), 0u);
  EXPECT_EQ(GST_BUFFER_DURATION(out[0].get()), ms(40));
}

// Two SPS in one array are both kept and rewritten; a new in-band SPS of another id is
// stored and rewritten as well.
TEST_F(H265PostprocessorTest, EverySpsIsStoredAndRewritten)
{
  const Bytes sps1 = h265::build_sps({.id = 1, .vui = true, .hrd = true}).nal;
  start(caps_with(hvcc({{32, {kVps}}, {33, {sps_, sps1}}, {34, {kPps}}}, 4), "64/45"));
  const Bytes sps2 = h265::build_sps({.id = 2, .long_term_refs = 2}).nal;
  push(hvc1({sps2, kIdrSlice}, 4), 0);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 1u);
  auto arrays = arrays_of(output_codec_data());
  ASSERT_EQ(arrays.size(), 3u);
  ASSERT_EQ(arrays[1].units.size(), 2u);
  for (const Bytes &s : arrays[1].units) EXPECT_EQ(aspect_ratio_idc(s), 255);
  auto units = units_of(buffer_bytes(out[0].get()), 4);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(aspect_ratio_idc(units[0]), 255);
  EXPECT_EQ(units[1], kIdrSlice);
}

// A flushing seek resets the element; in-band SPS are still rewritten afterwards.
TEST_F(H265PostprocessorTest, FlushingSeek_KeepsRewriting)
{
  start(caps_with(hvcc({{32, {kVps}}, {33, {sps_}}, {34, {kPps}}}, 4)));
  push(hvc1({sps_, kIdrSlice}, 4), 0);
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_flush_stop(TRUE)));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), time_segment_event(ms(1000))));
  push(hvc1({sps_, kIdrSlice}, 4), ms(1000));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  for (auto &b : out) EXPECT_EQ(aspect_ratio_idc(units_of(buffer_bytes(b.get()), 4).at(0)), 14);
}

TEST_F(H265PostprocessorTest, UnusableCodecData_IsKeptAndBuffersPass)
{
  GstLogCapture log("h265postprocessor", GST_LEVEL_ERROR);
  const Bytes au = hvc1({sps_, kIdrSlice}, 4);
  struct Case {
    Bytes record;
    const char *message;
  };
  Bytes v2 = hvcc({{33, {sps_}}}, 4);
  v2[0] = 2;
  for (const Case &c : {Case{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "HEVC Codec Data is too small"},
                        Case{v2, "Unsupported HEVC Codec Data version"},
                        Case{{}, "Codec data is missing from upstream!"}}) {
    SCOPED_TRACE(c.message);
    log.clear();
    start(caps_with(c.record));
    EXPECT_EQ(push(au, 0), GST_FLOW_OK);
    auto out = pull_all(h_.get());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(buffer_bytes(out[0].get()), au);
    EXPECT_EQ(output_codec_data(), c.record);
    EXPECT_EQ(log.count(GST_LEVEL_ERROR, c.message), 1);
  }
}

// A parameter set of the record that does not parse would be lost by a rebuild.
TEST_F(H265PostprocessorTest, UnparsableSpsInCodecData_RecordIsKept)
{
  const Bytes record = hvcc({{32, {kVps}}, {33, {sps_, {0x42, 0x01, 0xFF}}}, {34, {kPps}}}, 4);
  start(caps_with(record));
  EXPECT_EQ(push(hvc1({kIdrSlice}, 4), 0), GST_FLOW_OK);
  EXPECT_EQ(pull_all(h_.get()).size(), 1u);
  EXPECT_EQ(output_codec_data(), record);
}

TEST_F(H265PostprocessorTest, DamagedInput_PassesUnchanged)
{
  GstLogCapture log("h265postprocessor", GST_LEVEL_WARNING);
  // The last array claims more units than it holds: what came before is kept.
  Bytes record = hvcc({{32, {kVps}}, {33, {sps_}}, {34, {kPps}}}, 4);
  record[record.size() - kPps.size() - 3] = 5;
  const Bytes ext = h265::build_sps({.vui = true, .extension = true}).nal;
  start(caps_with(record));
  EXPECT_EQ(log.count(GST_LEVEL_ERROR, "Error parsing HEVC Codec Data"), 0);
  const std::vector<Bytes> inputs = {
      {0x00, 0x00, 0x00, 0x10, 0x26, 0x01},  // length beyond the end
      hvc1({kIdrSlice}, 4, {0, 0}),            // trailing partial prefix
      hvc1({{0x42}}, 4),                      // one-byte unit
      hvc1({{0x42, 0x01, 0xFF}, kIdrSlice}, 4),  // SPS that does not parse
      hvc1({ext, kIdrSlice}, 4),              // SPS with extensions
      {},
  };
  for (const Bytes &in : inputs) EXPECT_EQ(push(in, 0), GST_FLOW_OK);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), inputs.size());
  for (gsize i = 0; i < inputs.size(); ++i) EXPECT_EQ(buffer_bytes(out[i].get()), inputs[i]) << i;
  EXPECT_EQ(log.count(GST_LEVEL_ERROR, "Error parsing HEVC Codec Data"), 1);
  EXPECT_EQ(log.count(GST_LEVEL_WARNING, "Could not parse SPS"), 1);
  EXPECT_EQ(log.count(GST_LEVEL_WARNING,
                      "Processing SPS with extensions is currently not supported"), 1);
  // The units before the damage are kept, the SPS rewritten.
  auto arrays = arrays_of(output_codec_data());
  ASSERT_EQ(arrays.size(), 3u);
  ASSERT_EQ(arrays[1].units.size(), 1u);
  EXPECT_EQ(aspect_ratio_idc(arrays[1].units[0]), 14);
}

// Queue mode: DTS generated, everything pushed at EOS.
TEST_F(H265PostprocessorTest, Queue_DrainsAtEosWithGeneratedDts)
{
  start(caps_with(hvcc({{32, {kVps}}, {33, {sps_}}, {34, {kPps}}}, 4)), false);
  const GstClockTime order[] = {0, 120, 40, 80, 240, 160, 200, 360, 280, 320, 480, 400, 440};
  for (GstClockTime t : order) push(hvc1({t == 0 ? kIdrSlice : kSlice}, 4), ms(t));
  EXPECT_EQ(gst_harness_buffers_in_queue(h_.get()), 3u);  // 10 held back
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), G_N_ELEMENTS(order));
  for (gsize i = 0; i < out.size(); ++i) {
    EXPECT_EQ(GST_BUFFER_PTS(out[i].get()), ms(1000 + order[i]));
    EXPECT_LE(GST_BUFFER_DTS(out[i].get()), GST_BUFFER_PTS(out[i].get()));
    if (i > 0) {
      EXPECT_GT(GST_BUFFER_DTS(out[i].get()), GST_BUFFER_DTS(out[i - 1].get()));
    }
  }
}

// The queue holds ten frames: the latency query says so, and nothing without the queue.
TEST_F(H265PostprocessorTest, LatencyQuery_CountsTheHeldFrames)
{
  for (bool no_queue : {false, true}) {
    start(caps_with(hvcc({{33, {sps_}}}, 4)) + ",framerate=(fraction)50/1", no_queue);
    gst_harness_set_upstream_latency(h_.get(), ms(20));
    EXPECT_EQ(gst_harness_query_latency(h_.get()), no_queue ? ms(20) : ms(20 + 200));
  }
}

// Real x265 streams with B-frames, 8- and 10-bit, through the element into MP4 and MPEG-TS.
class H265PostprocessorMediaTest : public ::testing::TestWithParam<const char *> {
 protected:
  static std::string framemd5(const std::string &path) {
    CommandResult r = run_command("ffmpeg -v error -i '" + path +
                                  "' -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{print $6}'");
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
  // aspect_ratio_idc, sar_width and sar_height of every SPS in the file, as FFmpeg reads them.
  static std::string trace_headers(const std::string &path) {
    return run_command("ffmpeg -v info -i '" + path +
                       "' -c copy -bsf:v trace_headers -f null - 2>&1 | grep -E "
                       "'aspect_ratio_idc|sar_width|sar_height' | awk '{print $NF}' | "
                       "sort -u | tr '\\n' ' '")
        .output;
  }
  void SetUp() override {
    if (!have_program("ffmpeg") || !have_program("ffprobe") || !have_factory("x265enc"))
      GTEST_SKIP() << "needs ffmpeg, ffprobe and x265enc";
    input_ = media::gst_clip(
        std::string("h265-postprocessor-") + GetParam() + ".mp4",
        std::string("videotestsrc num-buffers=30 pattern=ball ! capsfilter caps=video/x-raw,"
                    "format=") +
            GetParam() +
            ",width=64,height=64,framerate=25/1 ! x265enc key-int-max=12 "
            "option-string=bframes=3:b-adapt=0 ! h265parse ! mp4mux ! filesink location={out}");
    ASSERT_FALSE(input_.empty());
    auto in = packets(input_);
    ASSERT_EQ(in.size(), 30u);
    bool reordered = false;
    for (gsize i = 1; i < in.size(); ++i) reordered |= in[i].pts < in[i - 1].pts;
    ASSERT_TRUE(reordered);
    want_ = framemd5(input_);
    ASSERT_FALSE(want_.empty());
  }
  std::string run(const std::string &name, const std::string &middle, const std::string &mux) {
    const std::string out = std::string(g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".") + "/" +
                            GetParam() + "-" + name;
    PipelineResult r = run_pipeline("filesrc location=" + input_ + " ! qtdemux ! h265parse ! " +
                                    middle + " ! " + mux + " ! filesink location=" + out);
    EXPECT_TRUE(r.ok) << r.error;
    return out;
  }
  void expect_sound(const std::string &path) {
    EXPECT_EQ(framemd5(path), want_) << path;
    auto p = packets(path);
    ASSERT_EQ(p.size(), 30u) << path;
    for (gsize i = 0; i < p.size(); ++i) {
      EXPECT_LE(p[i].dts, p[i].pts) << i;
      if (i > 0) {
        EXPECT_GT(p[i].dts, p[i - 1].dts) << i;
      }
    }
  }
  std::string input_, want_;
};

TEST_P(H265PostprocessorMediaTest, ToMp4AndMpegTs_SameFramesSoundDtsAndTheRatioInTheSps)
{
  // x265 signals the caps' 1:1 as Extended_SAR.
  EXPECT_EQ(trace_headers(input_), "1 255 ");
  const std::string mp4 =
      run("pp-4-3.mp4", "bufferskip pixel-aspect-ratio-override=4/3 ! h265postprocessor",
          "mp4mux");
  expect_sound(mp4);
  EXPECT_EQ(trace_headers(mp4), "14 ");
  const std::string ts = run(
      "pp-64-45.ts",
      "bufferskip pixel-aspect-ratio-override=64/45 ! h265postprocessor ! h265parse ! "
      "capsfilter caps=video/x-h265,stream-format=byte-stream",
      "mpegtsmux");
  expect_sound(ts);
  EXPECT_EQ(trace_headers(ts), "255 45 64 ");
}

INSTANTIATE_TEST_SUITE_P(Formats, H265PostprocessorMediaTest,
                         ::testing::Values("I420", "I420_10LE"));

}  // namespace
