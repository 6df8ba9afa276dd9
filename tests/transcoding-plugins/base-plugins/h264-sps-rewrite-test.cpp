#include "transcoding-plugins/base-plugins/h264-sps-rewrite.h"

#include <gst/codecparsers/gsth264parser.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/bitstreams.h"
#include "tests/support/media.h"
#include "transcoding-plugins/common/gst-bit-writer.h"
#include "transcoding-plugins/common/nal-units.h"

namespace {

using Bytes = std::vector<guint8>;
using testsupport::h264::build_sps;

// Parses an SPS NAL unit with the codec-parsers library, the reader decoders rely on.
bool
parse(const Bytes &nal, GstH264SPS *sps)
{
  memset(sps, 0, sizeof(*sps));
  GstH264NalUnit nalu{};
  nalu.data = const_cast<guint8 *>(nal.data());
  nalu.size = nal.size();
  nalu.header_bytes = 1;
  nalu.type = GST_H264_NAL_SPS;
  return gst_h264_parse_sps(&nalu, sps) == GST_H264_PARSER_OK;
}

// The first SPS of an Annex B file.
Bytes
first_sps(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  nal::ByteStreamWalker walker(data.data(), data.size());
  for (nal::Unit u; walker.next(&u);)
    if (u.size > 0 && (data[u.offset] & 0x1F) == 7)
      return Bytes(data.begin() + u.offset, data.begin() + u.offset + u.size);
  return {};
}

// No 00 00 00, 00 00 01 or 00 00 02 inside the unit (H.264 7.4.1).
bool
emulation_free(const Bytes &nal)
{
  for (gsize i = 2; i < nal.size(); ++i)
    if (nal[i - 2] == 0 && nal[i - 1] == 0 && nal[i] <= 2) return false;
  return true;
}

// Everything the rewrite may change is copied from `rewritten` into `original`; what remains
// must be identical, calculated values included.
void
expect_same_except_aspect_ratio(GstH264SPS original, const GstH264SPS &rewritten)
{
  original.constraint_set4_flag = original.constraint_set5_flag = 0;
  GstH264VUIParams &vui = original.vui_parameters;
  const GstH264VUIParams &rvui = rewritten.vui_parameters;
  if (!original.vui_parameters_present_flag) {
    // An absent VUI reads as all flags 0; the parser's defaults for absent fields may differ.
    EXPECT_FALSE(rvui.overscan_info_present_flag || rvui.video_signal_type_present_flag ||
                 rvui.chroma_loc_info_present_flag || rvui.timing_info_present_flag ||
                 rvui.nal_hrd_parameters_present_flag || rvui.vcl_hrd_parameters_present_flag ||
                 rvui.pic_struct_present_flag || rvui.bitstream_restriction_flag);
    vui = rvui;
  }
  original.vui_parameters_present_flag = 1;
  vui.aspect_ratio_info_present_flag = 1;
  vui.aspect_ratio_idc = rvui.aspect_ratio_idc;
  vui.sar_width = rvui.sar_width;
  vui.sar_height = rvui.sar_height;
  vui.par_n = rvui.par_n;
  vui.par_d = rvui.par_d;
  EXPECT_EQ(memcmp(&original, &rewritten, sizeof(GstH264SPS)), 0);
  // Named checks so that a failure says which part went wrong.
  EXPECT_EQ(original.scaling_matrix_present_flag, rewritten.scaling_matrix_present_flag);
  EXPECT_EQ(memcmp(original.scaling_lists_4x4, rewritten.scaling_lists_4x4, 96), 0);
  EXPECT_EQ(memcmp(original.scaling_lists_8x8, rewritten.scaling_lists_8x8, 384), 0);
  EXPECT_EQ(memcmp(&vui.nal_hrd_parameters, &rvui.nal_hrd_parameters, sizeof(GstH264HRDParams)),
            0);
  EXPECT_EQ(original.width, rewritten.width);
  EXPECT_EQ(original.height, rewritten.height);
}

struct Par {
  gint n, d;
  guint8 idc;  // expected aspect_ratio_idc
};

class H264SpsRewriteTest : public ::testing::Test {
 protected:
  // Rewrites `sps` for each ratio and checks the result field by field against the input.
  void check_rewrites(const Bytes &sps) {
    GstH264SPS original;
    ASSERT_TRUE(parse(sps, &original));
    for (const Par &par : {Par{4, 3, 14}, Par{64, 45, 255}, Par{2, 1, 16}, Par{12, 11, 2}}) {
      SCOPED_TRACE(testing::Message() << par.n << "/" << par.d);
      h264::SpsRewriteResult r = h264::rewrite_sps_aspect_ratio(sps.data(), sps.size(), par.n,
                                                                par.d);
      EXPECT_EQ(r.num_ref_frames, original.num_ref_frames);
      ASSERT_EQ(r.status, h264::SpsRewrite::kRewritten);
      ASSERT_GE(r.bytes.size(), 4u);
      EXPECT_EQ(r.bytes[0], 0x67);
      EXPECT_TRUE(emulation_free(r.bytes));
      GstH264SPS rewritten;
      ASSERT_TRUE(parse(r.bytes, &rewritten));
      EXPECT_EQ(rewritten.vui_parameters.aspect_ratio_idc, par.idc);
      EXPECT_EQ(rewritten.vui_parameters.par_n, guint(par.n));
      EXPECT_EQ(rewritten.vui_parameters.par_d, guint(par.d));
      expect_same_except_aspect_ratio(original, rewritten);
      gst_h264_sps_clear(&rewritten);
    }
    gst_h264_sps_clear(&original);
  }
};

struct X264Case {
  const char *name;
  const char *raw;  // raw caps fields after format=
  const char *encoder;
};

class H264SpsRewriteX264Test : public H264SpsRewriteTest,
                               public ::testing::WithParamInterface<X264Case> {};

TEST_P(H264SpsRewriteX264Test, Rewrite_KeepsEveryOtherField)
{
  const X264Case &c = GetParam();
  const std::string path = testsupport::media::gst_clip(
      std::string("sps-") + c.name + ".h264",
      std::string("videotestsrc num-buffers=2 ! capsfilter caps=video/x-raw,width=176,height=144,"
                  "framerate=25/1,format=") +
          c.raw + " ! " + c.encoder + " ! filesink location={out}");
  ASSERT_FALSE(path.empty());
  const Bytes sps = first_sps(path);
  ASSERT_FALSE(sps.empty());
  check_rewrites(sps);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, H264SpsRewriteX264Test,
    ::testing::Values(
        X264Case{"baseline", "I420",
                 "x264enc ! capsfilter caps=video/x-h264,profile=constrained-baseline,"
                 "stream-format=byte-stream"},
        X264Case{"main", "I420",
                 "x264enc ! capsfilter caps=video/x-h264,profile=main,stream-format=byte-stream"},
        X264Case{"high-hrd", "I420",
                 "x264enc option-string=vbv-maxrate=500:vbv-bufsize=500:nal-hrd=vbr ! "
                 "capsfilter caps=video/x-h264,stream-format=byte-stream"},
        X264Case{"interlaced", "I420,interlace-mode=interleaved",
                 "x264enc interlaced=true ! capsfilter caps=video/x-h264,stream-format=byte-stream"},
        X264Case{"high422", "Y42B",
                 "x264enc ! capsfilter caps=video/x-h264,stream-format=byte-stream"},
        X264Case{"high444", "Y444",
                 "x264enc ! capsfilter caps=video/x-h264,stream-format=byte-stream"},
        X264Case{"high10", "I420_10LE",
                 "x264enc ! capsfilter caps=video/x-h264,stream-format=byte-stream"}),
    [](const auto &info) {
      std::string name = info.param.name;
      for (char &ch : name)
        if (ch == '-') ch = '_';
      return name;
    });

// Reads the delta_scale values of an SPS as build_sps lays it out (profile 100, ids 0) and
// tells whether all lie in [-128, 127] (H.264 7.4.2.1.1): decoders such as FFmpeg reject others.
bool
delta_scales_in_range(const Bytes &nal)
{
  const Bytes rbsp = nal::remove_emulation_prevention(nal.data(), nal.size());
  GstBitReader r;
  gst_bit_reader_init(&r, rbsp.data(), rbsp.size());
  guint32 v = 0, chroma = 0;
  gst_bit_reader_skip(&r, 32);
  bit_reader_get_ue(&r, &v);  // seq_parameter_set_id
  bit_reader_get_ue(&r, &chroma);
  if (chroma == 3) gst_bit_reader_skip(&r, 1);
  bit_reader_get_ue(&r, &v);
  bit_reader_get_ue(&r, &v);
  gst_bit_reader_skip(&r, 1);
  guint8 flag = 0;
  if (!gst_bit_reader_get_bits_uint8(&r, &flag, 1) || !flag) return false;
  for (guint i = 0; i < (chroma == 3 ? 12u : 8u); ++i) {
    if (!gst_bit_reader_get_bits_uint8(&r, &flag, 1)) return false;
    if (!flag) continue;
    for (guint j = 0; j < (i < 6 ? 16u : 64u); ++j) {
      guint32 code = 0;
      if (!bit_reader_get_ue(&r, &code)) return false;
      const gint64 delta = code & 1 ? gint64(code + 1) / 2 : -gint64(code / 2);
      if (delta < -128 || delta > 127) return false;
    }
  }
  return true;
}

std::vector<guint8>
ramp(guint n, guint start, guint step)
{
  std::vector<guint8> v;
  for (guint i = 0; i < n; ++i) v.push_back(static_cast<guint8>(1 + (start + i * step) % 255));
  return v;
}

TEST_F(H264SpsRewriteTest, ScalingLists_WithJumpsAbove127_SurviveTheRewrite)
{
  // Neighbouring values 2 -> 250 -> 1 need delta_scale outside [-128, 127] unless reduced.
  std::vector<guint8> jumps = {2, 250, 1, 255, 3, 200, 7, 130, 1, 129, 2, 254, 4, 180, 9, 140};
  std::vector<std::vector<guint8>> lists = {jumps, {}, ramp(16, 10, 17), {}, jumps, jumps,
                                            ramp(64, 3, 129), {}};
  for (guint8 chroma : {1, 3}) {
    SCOPED_TRACE(int(chroma));
    if (chroma == 3) lists.insert(lists.end(), {{}, ramp(64, 200, 131), {}, {}});
    const Bytes sps = build_sps({.chroma_format_idc = chroma, .lists = &lists});
    check_rewrites(sps);
    auto r = h264::rewrite_sps_aspect_ratio(sps.data(), sps.size(), 4, 3);
    EXPECT_TRUE(delta_scales_in_range(r.bytes));
  }
}

TEST_F(H264SpsRewriteTest, ScalingLists_EqualToFallback_AreNotRepeated)
{
  // Lists 1, 2 equal list 0 by fall-back rule A once parsed: the rewrite sends them as
  // absent, so the result is the same size as an SPS that signals them absent.
  const std::vector<guint8> custom = ramp(16, 40, 3);
  const std::vector<std::vector<guint8>> repeated = {custom, custom, custom, {}, {}, {},
                                                     {}, {}};
  const std::vector<std::vector<guint8>> absent = {custom, {}, {}, {}, {}, {}, {}, {}};
  auto a = h264::rewrite_sps_aspect_ratio(build_sps({.lists = &repeated}).data(),
                                          build_sps({.lists = &repeated}).size(), 4, 3);
  auto b = h264::rewrite_sps_aspect_ratio(build_sps({.lists = &absent}).data(),
                                          build_sps({.lists = &absent}).size(), 4, 3);
  ASSERT_EQ(a.status, h264::SpsRewrite::kRewritten);
  EXPECT_EQ(a.bytes, b.bytes);
  check_rewrites(build_sps({.lists = &repeated}));
}

TEST_F(H264SpsRewriteTest, Header_AndConstraintFlags_AreNormalisedOnlyWhenRewritten)
{
  // nal_ref_idc 1 and constraint_set4_flag set.
  const Bytes sps = build_sps({.header = 0x27, .profile_idc = 77, .constraint_flags = 0x08});
  auto same = h264::rewrite_sps_aspect_ratio(sps.data(), sps.size(), 1, 1);
  EXPECT_EQ(same.status, h264::SpsRewrite::kUnchanged);
  EXPECT_EQ(same.num_ref_frames, 4u);
  auto r = h264::rewrite_sps_aspect_ratio(sps.data(), sps.size(), 4, 3);
  ASSERT_EQ(r.status, h264::SpsRewrite::kRewritten);
  EXPECT_EQ(r.bytes[0], 0x67);
  EXPECT_EQ(r.bytes[2], 0x00);
  check_rewrites(sps);
}

TEST_F(H264SpsRewriteTest, MultiviewAndDepthProfiles_KeepTheirChromaFields)
{
  // H.264 7.3.2.1.1 lists 134, 135 and 139 with the high profiles: their SPS carry
  // chroma_format_idc and the fields after it, and the rewrite must write them too.
  for (guint8 profile : {134, 135, 139}) {
    SCOPED_TRACE(int(profile));
    const Bytes sps = build_sps({.profile_idc = profile});
    GstH264SPS parsed;
    ASSERT_TRUE(parse(sps, &parsed));
    EXPECT_EQ(parsed.width, 176);
    gst_h264_sps_clear(&parsed);
    check_rewrites(sps);
  }
}

TEST_F(H264SpsRewriteTest, Decision_LeavesMatchingOrUnusableInputAlone)
{
  const Bytes plain = build_sps({});
  const Bytes with_vui = build_sps({.vui = true});
  using h264::SpsRewrite;
  // No VUI counts as 1:1; a VUI saying 1:1 matches 1/1 too.
  EXPECT_EQ(h264::rewrite_sps_aspect_ratio(plain.data(), plain.size(), 1, 1).status,
            SpsRewrite::kUnchanged);
  EXPECT_EQ(h264::rewrite_sps_aspect_ratio(with_vui.data(), with_vui.size(), 1, 1).status,
            SpsRewrite::kUnchanged);
  // No ratio known.
  EXPECT_EQ(h264::rewrite_sps_aspect_ratio(plain.data(), plain.size(), 0, 1).status,
            SpsRewrite::kUnchanged);
  // Terms are compared as they are: 2/2 is signalled explicitly.
  auto r = h264::rewrite_sps_aspect_ratio(with_vui.data(), with_vui.size(), 2, 2);
  ASSERT_EQ(r.status, SpsRewrite::kRewritten);
  GstH264SPS parsed;
  ASSERT_TRUE(parse(r.bytes, &parsed));
  EXPECT_EQ(parsed.vui_parameters.aspect_ratio_idc, 255);
  EXPECT_EQ(parsed.vui_parameters.timing_info_present_flag, 1);
  EXPECT_EQ(parsed.vui_parameters.time_scale, 50u);
  gst_h264_sps_clear(&parsed);
  // Damaged SPS: truncated, too short for the parser, absent.
  EXPECT_EQ(h264::rewrite_sps_aspect_ratio(plain.data(), 5, 4, 3).status,
            SpsRewrite::kUnparsable);
  EXPECT_EQ(h264::rewrite_sps_aspect_ratio(plain.data(), 1, 4, 3).status,
            SpsRewrite::kUnparsable);
  EXPECT_EQ(h264::rewrite_sps_aspect_ratio(nullptr, 0, 4, 3).status, SpsRewrite::kUnparsable);
}

TEST_F(H264SpsRewriteTest, LargeRatio_IsReducedOrLeftAlone)
{
  const Bytes sps = build_sps({});
  // 131072/98304 reduces to 4:3, which Table E-1 has.
  auto r = h264::rewrite_sps_aspect_ratio(sps.data(), sps.size(), 131072, 98304);
  ASSERT_EQ(r.status, h264::SpsRewrite::kRewritten);
  GstH264SPS parsed;
  ASSERT_TRUE(parse(r.bytes, &parsed));
  EXPECT_EQ(parsed.vui_parameters.aspect_ratio_idc, 14);
  gst_h264_sps_clear(&parsed);
  // 65537 is prime: no 16-bit form exists.
  EXPECT_EQ(h264::rewrite_sps_aspect_ratio(sps.data(), sps.size(), 65537, 65536).status,
            h264::SpsRewrite::kRatioTooLarge);
}

}  // namespace
