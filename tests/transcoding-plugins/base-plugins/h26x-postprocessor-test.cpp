// h264postprocessor and h265postprocessor with their SPS rewrites. What the two share runs as
// one body over both; results are read back with the codec-parsers library, FFmpeg and ffprobe.
#include <gst/check/gstharness.h>
#include <gst/codecparsers/gsth264parser.h>
#include <gst/codecparsers/gsth265parser.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/gst-log-capture.h"
#include "tests/support/bitstreams.h"
#include "tests/support/media.h"
#include "transcoding-plugins/base-plugins/h264-postprocessor.h"
#include "transcoding-plugins/base-plugins/h264-sps-rewrite.h"
#include "transcoding-plugins/base-plugins/h265-sps-rewrite.h"
#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/nal-units.h"

namespace {

using namespace testsupport;
namespace t264 = testsupport::h264;
namespace t265 = testsupport::h265;
using Units = std::vector<Bytes>;

// H.264: PPS 0 and 1 for SPS 0, slices, delimiters, an SEI with one user_data_unregistered
// message and one whose payload size runs past its end.
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80}, kPps1 = {0x68, 0x53, 0x8F, 0x20};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33}, kSlice = {0x41, 0x9A, 0x02, 0x03};
const Bytes kAud = {0x09, 0x30}, kOwnAud = {0x09, 0xF0}, kBadSei = {6, 5, 0xFF, 0xFF, 0x10, 0x80};
const Bytes kSei = {6, 5, 17, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0x42, 0x80};
const Bytes kSps = t264::build_sps({.profile_idc = 66, .num_ref_frames = 1});  // no VUI: 1:1
// H.265.
const Bytes kVps = t265::build_vps(), kPps265 = t265::build_pps(0);
const Bytes kIdr265 = {0x26, 0x01, 0xAF, 0x1D, 0x80}, kSlice265 = {0x02, 0x01, 0xD0, 0x12, 0x34};
const Bytes kSei265 = {0x4E, 0x01, 0x05, 0x01, 0x42, 0x80};
const Bytes kSps265 = t265::build_sps({.vui = true}).nal;  // 1:1

constexpr auto prefixed = [](const Units &units, guint length_size = 4) {
  return t264::access_unit(units, length_size);
};

// Units of a buffer: length-prefixed, or a byte stream for length_size 0.
Units
units_of(const Bytes &data, guint length_size = 4)
{
  Units out;
  nal::LengthPrefixedWalker prefixed(data.data(), data.size(), length_size);
  nal::ByteStreamWalker byte_stream(data.data(), data.size());
  for (nal::Unit u; length_size ? prefixed.next(&u) : byte_stream.next(&u);)
    out.emplace_back(data.begin() + u.offset, data.begin() + u.offset + u.size);
  return out;
}

// AVC (ISO/IEC 14496-15 5.3.3.1) and HEVC (8.3.3.1; Main, level 2, 4:2:0 8-bit, arrays marked
// incomplete) decoder configuration records.
Bytes
avcc(const Units &sps, const Units &pps, guint length_size = 4)
{
  Bytes out = {1, sps[0][1], sps[0][2], sps[0][3], guint8(0xFC | (length_size - 1))};
  out.push_back(guint8(0xE0 | sps.size()));
  for (const Bytes &u : sps) out = out + prefixed({u}, 2);
  out.push_back(guint8(pps.size()));
  for (const Bytes &u : pps) out = out + prefixed({u}, 2);
  return out;
}

Bytes
hvcc(const std::vector<std::pair<guint8, Units>> &arrays, guint length_size = 4)
{
  Bytes out = {1, 1, 0x60, 0, 0, 0, 0x90, 0, 0, 0, 0, 0, 60, 0xF0, 0, 0xFC, 0xFD, 0xF8, 0xF8, 0, 0,
               guint8(0x0C | (length_size - 1)), guint8(arrays.size())};
  for (const auto &[type, units] : arrays)
    out = out + Bytes{type, 0, guint8(units.size())} + prefixed(units, 2);
  return out;
}

// An SPS as the codec-parsers library reads it.
struct Sps {
  bool ok = false;
  GstH264SPS h264{};
  GstH265SPS h265{};
};

Sps
parse_sps(bool h265, const Bytes &nal)
{
  Sps p;
  guint8 *data = const_cast<guint8 *>(nal.data());
  const guint size = nal.size();
  GstH264NalUnit nalu{};
  std::tie(nalu.size, nalu.data, nalu.header_bytes) = std::tuple(size, data, 1);
  if (!h265)
    return p.ok = size >= 2 && gst_h264_parse_sps(&nalu, &p.h264) == GST_H264_PARSER_OK, p;
  GstH265NalUnit nalu5{};
  std::tie(nalu5.type, nalu5.size, nalu5.valid, nalu5.data, nalu5.header_bytes) =
      std::tuple(GST_H265_NAL_SPS, size, TRUE, data, 2);
  GstH265Parser *parser = gst_h265_parser_new();
  p.ok = size >= 3 && gst_h265_parse_sps(parser, &nalu5, &p.h265, TRUE) == GST_H265_PARSER_OK;
  gst_h265_parser_free(parser);
  return p;
}

// `b` cut to `size` bytes, with the byte at `at` set to `value` when that is not negative.
constexpr auto edited = [](Bytes b, gsize size, gsize at = 0, int value = -1) {
  b.resize(MIN(size, b.size()));
  return value >= 0 ? (b.at(at) = guint8(value), b) : b;
};

// ---- SPS rewriting -------------------------------------------------------------------------

// The rewritten SPS, or nothing when the SPS is to stay as it came.
Bytes
rewrite(bool h265, const Bytes &sps, gint n, gint d)
{
  if (!h265) {
    ::h264::SpsRewriteResult r = ::h264::rewrite_sps_aspect_ratio(sps.data(), sps.size(), n, d);
    return r.status == ::h264::SpsRewrite::kRewritten ? r.bytes : Bytes{};
  }
  const Sps p = parse_sps(true, sps);  // the element hands over what the library parsed
  ::h265::SpsRewriteResult r;
  if (p.ok) r = ::h265::rewrite_sps_aspect_ratio(sps.data(), sps.size(), p.h265, n, d);
  return r.status == ::h265::SpsRewrite::kRewritten ? r.bytes : Bytes{};
}

// What the rewrite may change is copied from `b` into `a`; all else, derived values included,
// must be equal.
template <typename S, typename Vui>
void
expect_same_except_ratio(S a, const S &b, Vui S::*vui)
{
  Vui &va = a.*vui;
  const Vui &vb = b.*vui;
  if (!a.vui_parameters_present_flag) {
    // A VUI gained carries nothing else; the parser's defaults for absent fields may differ.
    EXPECT_FALSE(vb.overscan_info_present_flag || vb.video_signal_type_present_flag ||
                 vb.chroma_loc_info_present_flag || vb.timing_info_present_flag ||
                 vb.bitstream_restriction_flag);
    va = vb;
  }
  a.vui_parameters_present_flag = va.aspect_ratio_info_present_flag = 1;
  va.aspect_ratio_idc = vb.aspect_ratio_idc;
  std::tie(va.sar_width, va.sar_height, va.par_n, va.par_d) =
      std::tie(vb.sar_width, vb.sar_height, vb.par_n, vb.par_d);
  EXPECT_EQ(memcmp(&a, &b, sizeof(S)), 0);
}

// n values from 1 up, in steps that wrap around.
constexpr auto ramp = [](guint n, guint start, guint step) {
  Bytes v;
  for (guint i = 0; i < n; ++i) v.push_back(static_cast<guint8>(1 + (start + i * step) % 255));
  return v;
};

struct RewriteCase {
  const char *name;
  bool h265;
  Bytes sps;
  gint n, d;
  guint8 idc;              // aspect_ratio_idc written; 0: the SPS stays as it came
  guint vui_flag_bit = 0;  // H.265: the bits before it are copied as they are
};

TEST(SpsRewrite, RatioIsSignalledWhenItDiffersAndEverythingElseKept)
{
  std::vector<RewriteCase> cases;
  for (bool h : {false, true}) {
    const Bytes no = h ? t265::build_sps({}).nal : t264::build_sps({});
    const Bytes vui = h ? t265::build_sps({.vui = true}).nal : t264::build_sps({.vui = true});
    cases.insert(cases.end(), {
        // An absent VUI counts as 1:1; a term below 1 means no ratio is known.
        {"no VUI 1/1", h, no, 1, 1, 0}, {"VUI 1:1 1/1", h, vui, 1, 1, 0}, {"0/1", h, no, 0, 1, 0},
        {"4/0", h, no, 4, 0, 0}, {"-4/3", h, vui, -4, 3, 0}, {"4/3", h, no, 4, 3, 14},
        {"12/11", h, vui, 12, 11, 2}, {"16/11", h, no, 16, 11, 4}, {"2/1", h, vui, 2, 1, 16},
        {"64/45", h, vui, 64, 45, 255}, {"2/2", h, vui, 2, 2, 255},  // terms compared as they are
        // Above 16 bits: reduced when that makes them fit, else left alone.
        {"131072/98304", h, no, 131072, 98304, 14}, {"65537/65536", h, no, 65537, 65536, 0}});
  }
  // Neighbouring values 2 -> 250 -> 1 need delta_scale outside [-128, 127] unless reduced.
  const Bytes jumps = {2, 250, 1, 255, 3, 200, 7, 130, 1, 129, 2, 254, 4, 180, 9, 140};
  std::vector<Bytes> lists = {jumps, {}, ramp(16, 10, 17), {}, jumps, jumps, ramp(64, 3, 129), {}};
  std::vector<Bytes> lists444 = lists;
  lists444.insert(lists444.end(), {{}, ramp(64, 200, 131), {}, {}});
  cases.insert(cases.end(), {
      {"truncated", false, Bytes(kSps.begin(), kSps.begin() + 5), 4, 3, 0},
      {"one byte", false, {0x67}, 4, 3, 0},
      {"empty", false, {}, 4, 3, 0},
      {"scaling lists", false, t264::build_sps({.lists = &lists}), 4, 3, 14},
      {"4:4:4 lists", false, t264::build_sps({.chroma_format_idc = 3, .lists = &lists444}), 64, 45,
       255},

      {"nal_ref_idc 1, constraint_set4", false,
       t264::build_sps({.header = 0x27, .profile_idc = 77, .constraint_flags = 0x08}), 4, 3, 14},
      // H.264 7.3.2.1.1 lists 135 with the high profiles.
      {"profile 135", false, t264::build_sps({.profile_idc = 135, .vui = true}), 64, 45, 255},
      {"extensions", true, t265::build_sps({.vui = true, .extension = true}).nal, 4, 3, 0},
      // nuh_temporal_id_plus1 0 is forbidden.
      {"bad header", true, edited(t265::build_sps({}).nal, G_MAXSIZE, 1, 0), 4, 3, 0}});
  const t265::BuiltSps all = t265::build_sps(
      {.max_sub_layers_minus1 = 6, .conformance_window = true, .scaling_lists = true, .pcm = true,
       .inter_rps = true, .long_term_refs = 3, .vui = true, .hrd = true});
  cases.push_back({"everything", true, all.nal, 64, 45, 255, all.vui_flag_bit});
  // Real encoders, with every profile and VUI they write.
  for (auto [name, encoder, n, d, idc] : {
           std::tuple{"x264-main", "I420 ! x264enc ! video/x-h264,profile=main", 4, 3, 14},
           {"x264-hrd", "I420 ! x264enc option-string=vbv-maxrate=500:vbv-bufsize=500:nal-hrd=vbr",
            64, 45, 255},
           {"x264-field", "I420,interlace-mode=interleaved ! x264enc interlaced=1", 4, 3, 14},
           {"x264-444", "Y444 ! x264enc", 4, 3, 14},
           {"x264-10bit", "I420_10LE ! x264enc", 64, 45, 255},
           {"x265-10bit", "I420_10LE ! x265enc ! h265parse", 64, 45, 255}}) {
    const bool h265 = name[3] == '5';
    const char *codec = h265 ? "h265" : "h264";
    if (!have_factory(h265 ? "x265enc" : "x264enc")) continue;
    const Bytes data = media::read_file(media::gst_clip(
        std::string("sps-") + name + "." + codec,
        std::string("videotestsrc num-buffers=2 ! video/x-raw,width=64,height=64,format=") +
            encoder + " ! video/x-" + codec + ",stream-format=byte-stream ! filesink "
            "location={out}"));
    for (const Bytes &u : units_of(data, 0))  // the first SPS
      if (u.size() > 2 && (h265 ? (u[0] >> 1) & 0x3F : u[0] & 0x1F) == (h265 ? 33 : 7)) {
        cases.push_back({name, h265, u, n, d, guint8(idc)});
        break;
      }
  }

  for (const RewriteCase &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.h265 ? "H.265 " : "H.264 ") << c.name);
    const Bytes out = rewrite(c.h265, c.sps, c.n, c.d);
    ASSERT_EQ(out.empty(), c.idc == 0);
    if (out.empty()) continue;
    const Sps in = parse_sps(c.h265, c.sps), back = parse_sps(c.h265, out);
    ASSERT_TRUE(in.ok && back.ok);
    EXPECT_EQ(c.h265 ? back.h265.vui_params.aspect_ratio_idc
                     : back.h264.vui_parameters.aspect_ratio_idc, c.idc);
    // 00 00 never precedes 00..02, and 03 stands only before 00..03 (H.264 7.4.1, H.265 7.4.2).
    for (gsize i = 2; i < out.size(); ++i)
      EXPECT_FALSE(!out[i - 2] && !out[i - 1] &&
                   (out[i] <= 2 || (out[i] == 3 && i + 1 < out.size() && out[i + 1] > 3))) << i;
    const auto &vui = back.h264.vui_parameters;
    const auto &vui265 = back.h265.vui_params;
    EXPECT_EQ((c.h265 ? vui265.par_n : vui.par_n) * guint(c.d),
              (c.h265 ? vui265.par_d : vui.par_d) * guint(c.n));
    if (c.h265) {
      expect_same_except_ratio(in.h265, back.h265, &GstH265SPS::vui_params);
    } else {
      EXPECT_EQ(out[0], 0x67);  // nal_ref_idc 3, whatever came in
      GstH264SPS original = in.h264;
      original.constraint_set4_flag = original.constraint_set5_flag = 0;
      expect_same_except_ratio(original, back.h264, &GstH264SPS::vui_parameters);
    }
    if (!c.h265 && in.h264.scaling_matrix_present_flag) {
      // FFmpeg rejects a delta_scale outside [-128, 127] (H.264 7.4.2.1.1).
      const std::string path = std::string(g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".") + "/sps";
      const Bytes nal = Bytes{0, 0, 0, 1} + out;
      ASSERT_TRUE(g_file_set_contents(path.c_str(), (const char *)nal.data(), nal.size(), nullptr));
      const std::string log = run_command("ffmpeg -v info -f h264 -i " + path +
                                          " -c copy -bsf:v trace_headers -f null - 2>&1").output;
      EXPECT_TRUE(log.find("delta_scale") != log.npos && log.find("out of range") == log.npos);
    }
    const Bytes a = nal::remove_emulation_prevention(c.sps.data(), c.sps.size());
    const Bytes b = nal::remove_emulation_prevention(out.data(), out.size());
    const guint whole = c.vui_flag_bit / 8, rest = c.vui_flag_bit % 8;
    ASSERT_TRUE(a.size() > whole && b.size() > whole);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + whole, b.begin()));
    EXPECT_EQ(a[whole] >> (8 - rest), b[whole] >> (8 - rest));
    EXPECT_TRUE(rewrite(c.h265, out, c.n, c.d).empty()) << "rewritten again";
  }
  // H.264 lists equal to their fall-back (1 and 2 repeat 0) are sent as absent.
  const Bytes l = ramp(16, 40, 3);
  const std::vector<Bytes> repeated = {l, l, l, {}, {}, {}, {}, {}},
                           absent = {l, {}, {}, {}, {}, {}, {}, {}};
  EXPECT_EQ(rewrite(false, t264::build_sps({.lists = &repeated}), 4, 3),
            rewrite(false, t264::build_sps({.lists = &absent}), 4, 3));
}

// ---- The elements --------------------------------------------------------------------------

// What differs between the two elements in the tests they share.
// `downstream`: caps with which the element rewrites (H.264 with `force`); `caps`: input caps
// without codec data; `codec_data` holds the stream's SPS (1:1); access units `key` (carrying
// the SPS, after a VPS in H.265) and `delta`; `held`: access units the queue holds back;
// `other_sps`: of the same id, passed as it is (H.265: with extensions); `bad_records` cannot be
// rebuilt: kept as they came, with a message.
struct Codec {
  const char *name, *factory, *downstream;
  std::string caps;
  Bytes codec_data;
  Units key, delta;
  guint held;
  Bytes other_sps;
  std::vector<std::tuple<Bytes, GstDebugLevel, const char *>> bad_records;
  bool h265() const { return factory[3] == '5'; }
  const Bytes &sps() const { return key[h265()]; }
};

const Bytes kAvcc = avcc({kSps}, {kPps});
const Bytes kHvcc = hvcc({{32, {kVps}}, {33, {kSps265}}, {34, {kPps265}}});
const Codec kH264 = {
    "H264", "h264postprocessor", "video/x-h264,stream-format=avc,alignment=au",
    "video/x-h264,stream-format=avc,alignment=au,width=176,height=144", kAvcc,
    {kSps, kPps, kIdr}, {kSlice}, 3 /* num_ref_frames + 2 */, t264::build_sps({.vui = true}),
    {{{}, GST_LEVEL_ERROR, "Codec data is missing from upstream! Assuming nal_length == 4"},
     {edited(kAvcc, 7), GST_LEVEL_ERROR, "Codec data is too small to contain SPS and PPS!"},
     {edited(kAvcc, 8, 7, 0xFF), GST_LEVEL_ERROR, "Codec data is too small, SPS missing."}}};
const Codec kH265 = {
    "H265", "h265postprocessor", "video/x-h265,stream-format=hvc1,alignment=au",
    "video/x-h265,stream-format=hvc1,alignment=au,width=64,height=64", kHvcc,
    {kVps, kSps265, kPps265, kSei265, kIdr265}, {kSlice265}, 10,
    t265::build_sps({.vui = true, .extension = true}).nal,
    {{{}, GST_LEVEL_ERROR, "Codec data is missing from upstream!"},
     {edited(kHvcc, 22), GST_LEVEL_ERROR, "HEVC Codec Data is too small"},
     {edited(kHvcc, G_MAXSIZE, 0, 2), GST_LEVEL_ERROR, "Unsupported HEVC Codec Data version"},
     // A parameter set that does not parse would be lost by a rebuild.
     {hvcc({{33, {kSps265, {0x42, 0x01, 0xFF}}}}), GST_LEVEL_WARNING, "Could not parse SPS"}}};

class PostprocessorTest : public ::testing::TestWithParam<Codec> {
 protected:
  void start(const Codec &c, const Bytes &record, const std::string &extra = "",
             const char *downstream = nullptr, bool no_queue = true) {
    h_ = make_harness(c.factory, nullptr, downstream ? downstream : c.downstream);
    g_object_set(h_->element, "no-queue", no_queue, nullptr);
    // H.264 rewrites with byte-stream output, or with `force`.
    if (!c.h265() && !downstream) g_object_set(h_->element, "force", TRUE, nullptr);
    GstCaps *caps = gst_caps_from_string((c.caps + extra).c_str());
    Ref<GstBuffer> codec_data = gstref::adopt(make_buffer(record));
    if (!record.empty())
      gst_caps_set_simple(caps, "codec_data", GST_TYPE_BUFFER, codec_data.get(), nullptr);
    gst_harness_set_src_caps(h_.get(), caps);
  }
  GstFlowReturn push(const Bytes &data, GstClockTime pts, bool delta = false) {
    GstBuffer *b = make_buffer(data, pts, ms(40));
    if (delta) GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    return gst_harness_push(h_.get(), b);
  }
  GstStructure *output_caps() {
    caps_ = gstref::adopt(gst_pad_get_current_caps(h_->sinkpad));
    return caps_ ? gst_caps_get_structure(caps_.get(), 0) : nullptr;
  }
  Bytes output_codec_data() {
    const GValue *v = gst_structure_get_value(output_caps(), "codec_data");
    return v ? buffer_bytes(gst_value_get_buffer(v)) : Bytes{};
  }
  Harness h_;
  Ref<GstCaps> caps_;
};

// Every SPS, in the rebuilt codec data and in band, says the caps' ratio, also after a flushing
// seek; all other units pass as they came, in the input's NAL length size. H.265: of a record
// with two SPS and a damaged last array what was read is kept, and a new in-band SPS is
// rewritten too.
TEST_P(PostprocessorTest, Sps_CarriesTheCapsRatioInBandAndInCodecData)
{
  const Codec &c = GetParam();
  GstLogCapture log(c.factory, GST_LEVEL_ERROR);
  const guint length_size = c.h265() ? 2 : 4;
  const Bytes sps1 = t265::build_sps({.id = 1, .hrd = true}).nal;
  const Units keys[] = {c.key, c.h265() ? Units{kVps, t265::build_sps({.id = 2}).nal, kPps265,
                                                kSei265, kIdr265} : c.key};
  Bytes record = c.h265() ? hvcc({{32, {kVps}}, {33, {kSps265, sps1}}, {34, {kPps265}},
                                  {39, {kSei265}}}, 2) : kAvcc;
  if (c.h265()) record[record.size() - kSei265.size() - 3] = 5;  // the SEI array claims five
  start(c, record, ",pixel-aspect-ratio=(fraction)64/45");
  for (gsize i : {0, 1}) {
    if (i) for (GstEvent *e : {gst_event_new_flush_start(), gst_event_new_flush_stop(TRUE),
                               time_segment_event(ms(1000))}) gst_harness_push_event(h_.get(), e);
    ASSERT_EQ(push(prefixed(keys[i], length_size), ms(1000 * i)), GST_FLOW_OK);
    ASSERT_EQ(push(prefixed(c.delta, length_size), ms(1000 * i + 40), true), GST_FLOW_OK);
  }
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(log.count(GST_LEVEL_ERROR, "Error parsing HEVC Codec Data") > 0, c.h265());
  auto r = [&](const Bytes &sps) { return rewrite(c.h265(), sps, 64, 45); };
  // The SEI array is not carried over.
  EXPECT_EQ(output_codec_data(), c.h265() ? hvcc({{32, {kVps}}, {33, {r(kSps265), r(sps1)}},
                                                  {34, {kPps265}}}, 2) : avcc({r(kSps)}, {kPps}));
  for (gsize i : {0, 1}) {
    Units want = keys[i];
    want[c.h265()] = r(want[c.h265()]);
    if (!c.h265()) want.insert(want.begin(), kOwnAud);
    EXPECT_EQ(units_of(buffer_bytes(out[2 * i].get()), length_size), want) << i;
    EXPECT_EQ(GST_BUFFER_PTS(out[2 * i].get()), ms(1000 * i));
    EXPECT_EQ(units_of(buffer_bytes(out[2 * i + 1].get()), length_size).back(), c.delta.back());
  }
}

// Queue mode: the held access units get DTS from their sorted PTS and count as latency, every
// PTS and the segment are lifted to 1 s, and EOS lets everything out after the segment.
TEST_P(PostprocessorTest, Queue_GeneratesDtsAndHoldsTheSegment)
{
  const Codec &c = GetParam();
  start(c, c.codec_data, "", c.h265() ? nullptr : "video/x-h264,stream-format=byte-stream", false);
  const guint64 order[] = {0, 120, 40, 80, 240, 160, 200, 360, 280, 320, 480, 400, 440};
  for (guint64 t : order) push(prefixed(t ? c.delta : c.key), ms(t), t != 0);
  EXPECT_EQ(gst_harness_buffers_in_queue(h_.get()), G_N_ELEMENTS(order) - c.held);
  // What the queue holds is latency, at 25 fps without a framerate in the caps.
  gst_harness_set_upstream_latency(h_.get(), ms(20));
  EXPECT_EQ(gst_harness_query_latency(h_.get()), ms(20 + 40 * c.held));
  ASSERT_TRUE(gst_harness_push_event(h_.get(), gst_event_new_eos()));
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), G_N_ELEMENTS(order));
  for (gsize i = 0; i < out.size(); ++i) {
    EXPECT_EQ(GST_BUFFER_PTS(out[i].get()), ms(1000 + order[i]));
    EXPECT_LE(GST_BUFFER_DTS(out[i].get()), GST_BUFFER_PTS(out[i].get()));
    EXPECT_TRUE(i == 0 || GST_BUFFER_DTS(out[i].get()) > GST_BUFFER_DTS(out[i - 1].get())) << i;
  }
  EXPECT_EQ(GST_BUFFER_DTS(out[0].get()), ms(960));
  std::string seen;
  for (auto &e : pull_all_events(h_.get())) {
    const GstSegment *segment = nullptr;
    if (GST_EVENT_TYPE(e.get()) == GST_EVENT_SEGMENT) gst_event_parse_segment(e.get(), &segment);
    seen += GST_EVENT_TYPE_NAME(e.get()) + (segment ? std::to_string(segment->start) : "") + " ";
  }
  EXPECT_EQ(seen, "stream-start caps segment" + std::to_string(ms(1000)) + " eos ");
  g_object_set(h_->element, "no-queue", TRUE, nullptr);
  EXPECT_EQ(gst_harness_query_latency(h_.get()), ms(20));
}

// Codec data that cannot be rebuilt is kept with a message, a caps event after the output caps
// is ignored, and damaged access units never stop the stream.
TEST_P(PostprocessorTest, DamagedInput_StreamGoesOn)
{
  const Codec &c = GetParam();
  GstLogCapture log(c.factory, GST_LEVEL_WARNING);
  for (const auto &[record, level, message] : c.bad_records) {
    log.clear();
    start(c, record);
    EXPECT_TRUE(push(prefixed(c.key), 0) == GST_FLOW_OK && pull_all(h_.get()).size() == 1);
    EXPECT_EQ(output_codec_data(), record);
    EXPECT_EQ(log.count(level, message), 1) << message;
  }
  start(c, c.codec_data);
  ASSERT_EQ(push(prefixed(c.key), 0), GST_FLOW_OK);
  const Bytes record = output_codec_data(), slice = c.delta[0];
  const Units inputs = {
      {0, 0, 0, 0x10, slice[0], slice[1]},     // length beyond the end
      prefixed({slice}) + Bytes{0, 0},         // trailing partial prefix
      prefixed({{slice[0]}}), {0}, {},         // one-byte unit; shorter than a prefix
      prefixed({edited(c.sps(), 3), slice}),  // SPS that does not parse
      prefixed({c.other_sps, slice}),
  };
  for (const Bytes &in : inputs) EXPECT_EQ(push(in, ms(40)), GST_FLOW_OK);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), inputs.size() + 1);
  for (gsize i = 0; i < inputs.size(); ++i) {
    // H.264 writes what it can read of the units after a delimiter of its own.
    const bool kept = c.h265() || inputs[i].size() < 4;
    EXPECT_EQ(buffer_bytes(out[i + 1].get()),
              kept ? inputs[i] : prefixed({kOwnAud}) + prefixed(units_of(inputs[i]))) << i;
  }
  gst_harness_set_src_caps_str(h_.get(), c.caps.c_str());
  EXPECT_EQ(log.count(GST_LEVEL_WARNING, "Received CAPS event mid-stream, it will be ignored."), 1);
  EXPECT_TRUE(!record.empty() && output_codec_data() == record);
}

INSTANTIATE_TEST_SUITE_P(Codecs, PostprocessorTest, ::testing::Values(kH264, kH265),
                         [](const auto &info) { return std::string(info.param.name); });

using H264PostprocessorTest = PostprocessorTest;
constexpr const char *kByteStream = "video/x-h264,stream-format=byte-stream";

// Byte-stream output: each output buffer opens with a delimiter of its own, the stored SPS and
// PPS come before IDR pictures and at least every 30 s, and a broken SEI stops all later SEI.
// Slices follow three-byte start codes, all else four; DELTA_UNIT is read from the slices, not
// taken from upstream; a delimiter splits an access unit, the part after it without timestamps.
// When downstream then turns to AVC, the access units pass as they came with only DELTA_UNIT
// corrected, under the codec data received.
TEST_F(H264PostprocessorTest, ByteStream_UnitsOfEachOutputBuffer)
{
  struct Case {
    const char *name;
    Units pps;                                     // of the codec data
    std::vector<std::pair<Units, guint64>> input;  // access units and their PTS in ms
    // Per output buffer: NAL unit types (' after a three-byte start code) and D for DELTA_UNIT.
    const char *want;
    const char *times = nullptr;  // PTS+duration in ms per output buffer, - for none
  } const cases[] = {
      {"IDR", {kPps}, {{{kSei, kIdr}, 0}, {{kSlice}, 40}}, "9 6 7 8 '5|9 1 D"},
      {"every 30 s", {kPps}, {{{kIdr}, 0}, {{kSlice}, 10000}, {{kSlice}, 30500}, {{kSlice}, 31000}},
       "9 7 8 5|9 1 D|9 7 8 1 D|9 1 D"},
      // In-band sets are not doubled; a PPS without SPS before it gets the stored SPS.
      {"in band", {kPps, kPps1}, {{{kAud, kSps, kPps, kIdr}, 0}, {{kPps1, kIdr}, 40}},
       "9 7 8 '5|9 7 8 '5"},
      {"broken SEI", {kPps}, {{{kSei, kIdr}, 0}, {{kBadSei, kSlice}, 40}, {{kSei, kSlice}, 80}},
       "9 6 7 8 '5|9 1 D|9 1 D"},
      {"delimiter splits", {kPps}, {{{kSei, kIdr}, 0}, {{kSlice, kAud, kSlice}, 40}},
       "9 6 7 8 '5|9 1 D|9 '1", "0+40 40+- -+- "},
      {"no codec data", {}, {{{kIdr}, 0}}, "9 5"}};
  const Ref<GstCaps> caps = gstref::adopt(gst_caps_from_string(
      "video/x-h264,stream-format=byte-stream,alignment=nal,width=176,height=144,framerate=25/1"));
  auto ms_of = [](GstClockTime t) {
    return GST_CLOCK_TIME_IS_VALID(t) ? std::to_string(t / GST_MSECOND) : "-";
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    start(kH264, c.pps.empty() ? Bytes{} : avcc({kSps}, c.pps), "", kByteStream);
    for (const auto &[units, t] : c.input)
      ASSERT_EQ(push(prefixed(units), ms(t), true), GST_FLOW_OK);
    std::string got, times;
    for (auto &b : pull_all(h_.get())) {
      const Bytes data = buffer_bytes(b.get());
      got += got.empty() ? "" : "|";
      nal::ByteStreamWalker walker(data.data(), data.size());
      for (nal::Unit u; walker.next(&u);)
        got += std::string(got.empty() || got.back() == '|' ? "" : " ") +
               (u.offset < 4 || data[u.offset - 4] ? "'" : "") +
               std::to_string(data[u.offset] & 0x1F);
      got += GST_BUFFER_FLAG_IS_SET(b.get(), GST_BUFFER_FLAG_DELTA_UNIT) ? " D" : "";
      times += ms_of(GST_BUFFER_PTS(b.get())) + "+" + ms_of(GST_BUFFER_DURATION(b.get())) + " ";
    }
    EXPECT_EQ(got, c.want);
    EXPECT_TRUE(!c.times || times == c.times) << times;
    output_caps();
    EXPECT_TRUE(gst_caps_is_equal(caps_.get(), caps.get()));
    gst_harness_set_sink_caps_str(h_.get(), kH264.downstream);
    gst_harness_push_upstream_event(h_.get(), gst_event_new_reconfigure());
    auto idr = [](const Units &u) { return std::find(u.begin(), u.end(), kIdr) != u.end(); };
    for (const auto &[units, t] : c.input)  // flagged the wrong way round
      ASSERT_EQ(push(prefixed(units), ms(t), idr(units)), GST_FLOW_OK);
    gsize i = 0;
    for (auto &b : pull_all(h_.get())) {
      const Units &units = c.input.at(i++).first;
      EXPECT_EQ(buffer_bytes(b.get()), prefixed(units)) << i;
      EXPECT_EQ(GST_BUFFER_FLAG_IS_SET(b.get(), GST_BUFFER_FLAG_DELTA_UNIT), !idr(units)) << i;
    }
    EXPECT_EQ(i, c.input.size());
    EXPECT_STREQ(gst_structure_get_string(output_caps(), "stream-format"), "avc");
    EXPECT_EQ(output_codec_data(), c.pps.empty() ? Bytes{} : avcc({kSps}, c.pps));
  }
}

// ---- Real media --------------------------------------------------------------------------

// The raw format and encoder; the pixel-aspect-ratio given to the element, the element and what
// follows it before the muxer; aspect_ratio_idc, sar_height and sar_width that FFmpeg reads.
struct MediaCase {
  const char *name, *encoder, *par, *element, *mux, *sar;
};

class PostprocessorMediaTest : public ::testing::TestWithParam<MediaCase> {};

// x264 and x265 streams with B-frames through the elements into MP4 and MPEG-TS: FFmpeg decodes
// the same frames, DTS stay at or below PTS and increase, and the SPS carries the caps' ratio.
TEST_P(PostprocessorMediaTest, SameFramesSoundDtsAndTheRatioInTheSps)
{
  const MediaCase &c = GetParam();
  const bool h265 = strstr(c.encoder, "x265");
  const std::string parser = h265 ? "h265parse" : "h264parse";
  if (!have_program("ffmpeg") || !have_factory(h265 ? "x265enc" : "x264enc"))
    GTEST_SKIP() << "needs ffmpeg and the encoder";
  const std::string input = media::gst_clip(
      std::string("postprocessor-") + c.name + ".mp4",
      std::string("videotestsrc num-buffers=30 pattern=ball ! video/x-raw,width=64,height=64,"
                  "framerate=25/1,format=") + c.encoder + " ! " + parser +
          " ! mp4mux ! filesink location={out}");
  const std::string out = std::string(g_getenv("BASE_PLUGINS_TEST_MEDIA") ?: ".") + "/" + c.name;
  PipelineResult r = run_pipeline(
      "filesrc location=" + input + " ! qtdemux ! " + parser + " ! bufferskip " +
      "pixel-aspect-ratio-override=" + c.par + " ! " + c.element + " ! " + c.mux +
      " ! filesink location=" + out);
  ASSERT_TRUE(r.ok) << r.error;
  // Per file: packets, whether PTS go back (B-frames), DTS above PTS or not rising, and the
  // decoded frames' checksums.
  auto probe = [](const std::string &path) {
    return run_command("ffprobe -v error -select_streams v -show_entries packet=pts,dts -of "
                       "csv=p=0 '" + path + "' | awk -F, 'NF {n++; back += $1 < pts; bad += $2 > "
                       "$1 || (n > 1 && $2 <= dts); pts = $1; dts = $2} END {print n, (back > 0), "
                       "bad + 0}'; ffmpeg -v error -i '" + path + "' -map 0:v -f framemd5 - | "
                       "grep -v '^#' | awk -F, '{print $6}'").output;
  };
  const std::string before = probe(input);
  ASSERT_EQ(before.substr(0, 7), "30 1 0\n") << "B-frames must reorder the PTS";
  EXPECT_EQ(probe(out), before);
  EXPECT_EQ(run_command("ffmpeg -i '" + out + "' -c copy -bsf:v trace_headers -f null - 2>&1 | "
                        "grep -E 'aspect_ratio_idc|sar_width|sar_height' | awk '{print $NF}' | "
                        "sort -u | tr '\\n' ' '").output, c.sar);
}

constexpr const char *kX264 = "I420 ! x264enc key-int-max=12 bframes=3 b-adapt=false ref=4";
constexpr const char *kX265 = "I420 ! x265enc key-int-max=12 option-string=bframes=3:b-adapt=0";
INSTANTIATE_TEST_SUITE_P(
    Streams, PostprocessorMediaTest,
    ::testing::Values(
        MediaCase{"H264ToMpegTs", kX264, "4/3", "h264postprocessor", "mpegtsmux", "14 "},
        // AVC output without `force` leaves the SPS alone.
        MediaCase{"H264ToMp4", kX264, "4/3", "h264postprocessor", "mp4mux", "1 "},
        MediaCase{"H264ToMp4Forced", kX264, "64/45", "h264postprocessor force=1", "mp4mux",
                  "255 45 64 "},
        MediaCase{"H265ToMp4", kX265, "4/3", "h265postprocessor", "mp4mux", "14 "},
        MediaCase{"H265Main10ToMpegTs",
                  "I420_10LE ! x265enc key-int-max=12 option-string=bframes=3:b-adapt=0",
                  "64/45", "h265postprocessor ! h265parse ! video/x-h265,stream-format=byte-stream",
                  "mpegtsmux", "255 45 64 "}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
