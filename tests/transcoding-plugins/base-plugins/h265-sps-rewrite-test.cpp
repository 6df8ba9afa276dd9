#include "transcoding-plugins/base-plugins/h265-sps-rewrite.h"

#include <gst/codecparsers/gsth265parser.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/bitstreams.h"
#include "tests/support/media.h"
#include "transcoding-plugins/common/nal-units.h"

namespace {

using Bytes = std::vector<guint8>;
using testsupport::h265::build_sps;
using testsupport::h265::SpsSpec;

// Parses an SPS with the codec-parsers library directly, as decoders and h265parse do.
bool
parse(const Bytes &nal, GstH265SPS *sps)
{
  memset(sps, 0, sizeof(*sps));
  if (nal.size() < 3) return false;
  GstH265Parser *parser = gst_h265_parser_new();
  GstH265NalUnit nalu{};
  nalu.type = GST_H265_NAL_SPS;
  nalu.data = const_cast<guint8 *>(nal.data());
  nalu.size = nal.size();
  nalu.header_bytes = 2;
  nalu.valid = TRUE;
  const bool ok = gst_h265_parse_sps(parser, &nalu, sps, TRUE) == GST_H265_PARSER_OK;
  gst_h265_parser_free(parser);
  return ok;
}

// H.265 7.4.2: inside a NAL unit 00 00 is never followed by 00..02, and an emulation
// prevention byte only stands before 00..03.
bool
emulation_sound(const Bytes &nal)
{
  for (gsize i = 2; i < nal.size(); ++i) {
    if (nal[i - 2] != 0 || nal[i - 1] != 0) continue;
    if (nal[i] <= 2) return false;
    if (nal[i] == 3 && i + 1 < nal.size() && nal[i + 1] > 3) return false;
  }
  return true;
}

bool
has_escape(const Bytes &nal)
{
  for (gsize i = 2; i < nal.size(); ++i)
    if (nal[i - 2] == 0 && nal[i - 1] == 0 && nal[i] == 3) return true;
  return false;
}

// The first `nbits` bits of the unescaped units are equal.
bool
same_prefix(const Bytes &a, const Bytes &b, guint nbits)
{
  const Bytes ra = nal::remove_emulation_prevention(a.data(), a.size());
  const Bytes rb = nal::remove_emulation_prevention(b.data(), b.size());
  if (ra.size() * 8 < nbits || rb.size() * 8 < nbits) return false;
  if (memcmp(ra.data(), rb.data(), nbits / 8) != 0) return false;
  const guint rest = nbits % 8;
  if (rest == 0) return true;
  const guint8 mask = static_cast<guint8>(0xFF << (8 - rest));
  return (ra[nbits / 8] & mask) == (rb[nbits / 8] & mask);
}

// Every field of `original` equals the one of `rewritten` except the aspect ratio (and the VUI
// presence that goes with it).
void
expect_same_except_aspect_ratio(GstH265SPS original, const GstH265SPS &rewritten)
{
  GstH265VUIParams &vui = original.vui_params;
  const GstH265VUIParams &rvui = rewritten.vui_params;
  if (!original.vui_parameters_present_flag) {
    EXPECT_FALSE(rvui.overscan_info_present_flag || rvui.video_signal_type_present_flag ||
                 rvui.chroma_loc_info_present_flag || rvui.neutral_chroma_indication_flag ||
                 rvui.field_seq_flag || rvui.frame_field_info_present_flag ||
                 rvui.default_display_window_flag || rvui.timing_info_present_flag ||
                 rvui.bitstream_restriction_flag);
    // The parser fills defaults for fields an absent VUI does not carry.
    vui = rvui;
  }
  original.vui_parameters_present_flag = 1;
  vui.aspect_ratio_info_present_flag = 1;
  vui.aspect_ratio_idc = rvui.aspect_ratio_idc;
  vui.sar_width = rvui.sar_width;
  vui.sar_height = rvui.sar_height;
  vui.par_n = rvui.par_n;
  vui.par_d = rvui.par_d;
  EXPECT_EQ(memcmp(&original, &rewritten, sizeof(GstH265SPS)), 0);
  EXPECT_EQ(memcmp(&original.vui_params.hrd_params, &rewritten.vui_params.hrd_params,
                   sizeof(GstH265HRDParams)),
            0);
  EXPECT_EQ(memcmp(original.short_term_ref_pic_set, rewritten.short_term_ref_pic_set,
                   sizeof(original.short_term_ref_pic_set)),
            0);
}

struct Case {
  const char *name;
  SpsSpec spec;
};

class H265SpsRewriteTest : public ::testing::TestWithParam<Case> {};

// Every SPS gets 4:3 from the table and 64:45 as Extended_SAR; a decoder's parser reads back
// the same SPS apart from the aspect ratio, and the bits before the VUI are the input's.
TEST_P(H265SpsRewriteTest, RatioIsWrittenAndEverythingElseKept)
{
  const testsupport::h265::BuiltSps built = build_sps(GetParam().spec);
  GstH265SPS original;
  ASSERT_TRUE(parse(built.nal, &original));
  if (GetParam().spec.zero_long_term_lsb) {
    ASSERT_TRUE(has_escape(built.nal));
  }
  if (GetParam().spec.inter_rps) {
    ASSERT_TRUE(original.short_term_ref_pic_set[1].inter_ref_pic_set_prediction_flag);
  }

  struct Want {
    gint n, d;
    guint8 idc;
  };
  for (const Want &want : {Want{4, 3, 14}, Want{64, 45, 255}}) {
    SCOPED_TRACE(want.n);
    h265::SpsRewriteResult r =
        h265::rewrite_sps_aspect_ratio(built.nal.data(), built.nal.size(), original, want.n,
                                       want.d);
    ASSERT_EQ(r.status, h265::SpsRewrite::kRewritten);
    EXPECT_TRUE(emulation_sound(r.bytes));
    EXPECT_TRUE(same_prefix(built.nal, r.bytes, built.vui_flag_bit));
    GstH265SPS rewritten;
    ASSERT_TRUE(parse(r.bytes, &rewritten));
    EXPECT_EQ(rewritten.vui_params.aspect_ratio_idc, want.idc);
    EXPECT_EQ(rewritten.vui_params.par_n * guint(want.d), rewritten.vui_params.par_d * guint(want.n));
    EXPECT_EQ(rewritten.sps_extension_flag, 0);
    expect_same_except_aspect_ratio(original, rewritten);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, H265SpsRewriteTest,
    ::testing::Values(
        Case{"NoVui", {}}, Case{"Vui", {.vui = true}},
        Case{"SubLayersWithHrd", {.max_sub_layers_minus1 = 3, .vui = true, .hrd = true}},
        Case{"ScalingListsAndPcm",
             {.conformance_window = true, .scaling_lists = true, .pcm = true, .vui = true}},
        Case{"PredictedShortTermSets", {.inter_rps = true, .vui = true}},
        Case{"LongTermPictures", {.long_term_refs = 5, .vui = true}},
        Case{"EscapedBody", {.long_term_refs = 8, .zero_long_term_lsb = true}},
        Case{"Everything",
             {.max_sub_layers_minus1 = 6, .conformance_window = true, .scaling_lists = true,
              .pcm = true, .inter_rps = true, .long_term_refs = 3, .vui = true, .hrd = true}}),
    [](const ::testing::TestParamInfo<Case> &info) { return info.param.name; });

TEST(H265SpsRewrite, UnchangedCases)
{
  const Bytes no_vui = build_sps({}).nal;
  const Bytes with_vui = build_sps({.vui = true}).nal;  // signals 1:1
  GstH265SPS a, b;
  ASSERT_TRUE(parse(no_vui, &a));
  ASSERT_TRUE(parse(with_vui, &b));
  // An absent VUI counts as 1:1; no usable ratio leaves the SPS alone.
  for (auto [n, d] : {std::pair{1, 1}, {0, 1}, {4, 0}, {-4, 3}}) {
    EXPECT_EQ(h265::rewrite_sps_aspect_ratio(no_vui.data(), no_vui.size(), a, n, d).status,
              h265::SpsRewrite::kUnchanged);
    EXPECT_EQ(h265::rewrite_sps_aspect_ratio(with_vui.data(), with_vui.size(), b, n, d).status,
              h265::SpsRewrite::kUnchanged);
  }
  // 16:11 is Table E-1 index 4; the VUI gained carries nothing else.
  h265::SpsRewriteResult r = h265::rewrite_sps_aspect_ratio(no_vui.data(), no_vui.size(), a, 16, 11);
  ASSERT_EQ(r.status, h265::SpsRewrite::kRewritten);
  GstH265SPS c;
  ASSERT_TRUE(parse(r.bytes, &c));
  EXPECT_EQ(c.vui_params.aspect_ratio_idc, 4);
  // Already signalled: nothing to do.
  EXPECT_EQ(h265::rewrite_sps_aspect_ratio(r.bytes.data(), r.bytes.size(), c, 16, 11).status,
            h265::SpsRewrite::kUnchanged);
}

TEST(H265SpsRewrite, ExtensionsBadHeadersAndOversizedRatiosAreLeftAlone)
{
  const Bytes ext = build_sps({.vui = true, .extension = true}).nal;
  GstH265SPS sps;
  ASSERT_TRUE(parse(ext, &sps));
  ASSERT_TRUE(sps.sps_extension_flag);
  EXPECT_EQ(h265::rewrite_sps_aspect_ratio(ext.data(), ext.size(), sps, 4, 3).status,
            h265::SpsRewrite::kExtensions);

  // nuh_temporal_id_plus1 0 is forbidden: such a unit is not touched.
  Bytes bad_header = build_sps({}).nal;
  bad_header[1] = 0;
  ASSERT_TRUE(parse(bad_header, &sps));
  EXPECT_EQ(h265::rewrite_sps_aspect_ratio(bad_header.data(), bad_header.size(), sps, 4, 3).status,
            h265::SpsRewrite::kUnsupported);

  const Bytes plain = build_sps({}).nal;
  ASSERT_TRUE(parse(plain, &sps));
  EXPECT_EQ(h265::rewrite_sps_aspect_ratio(plain.data(), plain.size(), sps, 65537, 2).status,
            h265::SpsRewrite::kRatioTooLarge);
  // Terms above 65535 that reduce to fit are reduced: 131072:65536 is 2:1 (index 16).
  h265::SpsRewriteResult r =
      h265::rewrite_sps_aspect_ratio(plain.data(), plain.size(), sps, 131072, 65536);
  ASSERT_EQ(r.status, h265::SpsRewrite::kRewritten);
  GstH265SPS out;
  ASSERT_TRUE(parse(r.bytes, &out));
  EXPECT_EQ(out.vui_params.aspect_ratio_idc, 16);
}

// The SPS of a real x265 stream (which always writes a VUI), 8-bit and 10-bit.
TEST(H265SpsRewrite, X265Sps)
{
  if (!testsupport::have_factory("x265enc")) GTEST_SKIP() << "needs x265enc";
  for (const char *format : {"I420", "I420_10LE"}) {
    SCOPED_TRACE(format);
    const std::string path = testsupport::media::gst_clip(
        std::string("h265-sps-") + format + ".h265",
        std::string("videotestsrc num-buffers=2 ! capsfilter caps=video/x-raw,format=") +
            format + ",width=64,height=64,framerate=25/1 ! x265enc ! "
            "h265parse ! capsfilter caps=video/x-h265,stream-format=byte-stream ! "
            "filesink location={out}");
    ASSERT_FALSE(path.empty());
    std::ifstream in(path, std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Bytes nal;
    nal::ByteStreamWalker walker(data.data(), data.size());
    for (nal::Unit u; nal.empty() && walker.next(&u);)
      if (u.size > 2 && ((data[u.offset] >> 1) & 0x3F) == 33)
        nal.assign(data.begin() + u.offset, data.begin() + u.offset + u.size);
    GstH265SPS original, rewritten;
    ASSERT_TRUE(parse(nal, &original));
    ASSERT_TRUE(original.vui_parameters_present_flag);
    h265::SpsRewriteResult r =
        h265::rewrite_sps_aspect_ratio(nal.data(), nal.size(), original, 4, 3);
    ASSERT_EQ(r.status, h265::SpsRewrite::kRewritten);
    ASSERT_TRUE(parse(r.bytes, &rewritten));
    EXPECT_EQ(rewritten.vui_params.aspect_ratio_idc, 14);
    expect_same_except_aspect_ratio(original, rewritten);
  }
}

}  // namespace
