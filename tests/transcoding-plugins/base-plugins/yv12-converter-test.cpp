#include "transcoding-plugins/base-plugins/yv12-converter.h"

#include <gst/check/gstharness.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<guint8>;

// YV12 caps become I420 with all other fields kept and each frame gets its chroma planes
// exchanged; everything else passes as it came, also after YV12.
TEST(Yv12Converter, Yv12BecomesI420AndEverythingElsePasses)
{
  struct Case {
    const char *caps, *want_caps;  // nullptr: the caps pass unchanged
    int size;  // of the buffer pushed: 0 a frame, 1 a frame with a video meta, -1 none
  } const cases[] = {
      {"video/x-raw,format=NV12,width=8,height=8", nullptr, 96},
      // Odd sizes: three chroma rows of three bytes each.
      {"video/x-raw,format=YV12,width=5,height=5,framerate=25/1,pixel-aspect-ratio=4/3",
       "video/x-raw,format=I420,width=5,height=5,framerate=25/1,pixel-aspect-ratio=4/3", 1},
      {"video/x-raw,format=YV12,width=6,height=4", "video/x-raw,format=I420,width=6,height=4", 0},
      // Caps that describe no frame; a buffer too small for its caps.
      {"video/x-raw,format=YV12", nullptr, 3},
      {"video/x-raw,format=YV12,width=64,height=64", "video/x-raw,format=I420,width=64,height=64",
       100},
      // After YV12: no format; already in order; no third plane.
      {"video/x-raw,width=8,height=8", nullptr, -1},
      {"video/x-raw,format=I420,width=8,height=8", nullptr, 96},
      {"video/x-raw,format=NV12,width=8,height=8", nullptr, 96},
  };
  Harness h = make_harness("yv12converter");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.caps);
    gst_harness_set_src_caps_str(h.get(), c.caps);
    Ref<GstCaps> want = gstref::adopt(gst_caps_from_string(c.want_caps ? c.want_caps : c.caps));
    Ref<GstCaps> got = gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
    EXPECT_TRUE(got && gst_caps_is_equal(got.get(), want.get()));
    if (c.size < 0) continue;
    Bytes in(c.size), expected;
    std::iota(in.begin(), in.end(), 0);
    GstVideoInfo info;
    if (c.size <= 1) {
      // Visible chroma bytes 0x40 + row in V (plane 1), 0x80 + row in U; all else 0x10, so
      // that exchanging the whole planes is the I420 frame, whatever happens to the padding.
      ASSERT_TRUE(gst_video_info_from_caps(
          &info, Ref<GstCaps>(gstref::adopt(gst_caps_from_string(c.caps))).get()));
      in.assign(GST_VIDEO_INFO_SIZE(&info), 0x10);
      for (guint p = 1; p <= 2; ++p)
        for (gint r = 0; r < GST_VIDEO_INFO_COMP_HEIGHT(&info, p); ++r)
          std::fill_n(in.begin() + GST_VIDEO_INFO_PLANE_OFFSET(&info, p) +
                          r * GST_VIDEO_INFO_PLANE_STRIDE(&info, p),
                      GST_VIDEO_INFO_COMP_WIDTH(&info, p), 0x40 * p + r);
    }
    expected = in;
    if (c.size <= 1)
      std::swap_ranges(expected.begin() + GST_VIDEO_INFO_PLANE_OFFSET(&info, 1),
                       expected.begin() + GST_VIDEO_INFO_PLANE_OFFSET(&info, 2),
                       expected.begin() + GST_VIDEO_INFO_PLANE_OFFSET(&info, 2));
    GstBuffer *b = make_buffer(in, ms(40));
    if (c.size == 1)
      gst_buffer_add_video_meta_full(b, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_YV12,
                                     info.width, info.height, 3, info.offset, info.stride);
    ASSERT_EQ(gst_harness_push(h.get(), b), GST_FLOW_OK);
    Ref<GstBuffer> out = gstref::adopt(gst_harness_pull(h.get()));
    EXPECT_EQ(buffer_bytes(out.get()), expected);
    EXPECT_EQ(GST_BUFFER_PTS(out.get()), ms(40));
    GstVideoMeta *meta = gst_buffer_get_video_meta(out.get());
    EXPECT_TRUE(c.size != 1 || meta->format == GST_VIDEO_FORMAT_I420);
  }
}

// Through videoconvert to RGB our frames give what videoconvert makes of YV12 itself; upstream
// adds a video meta (videoconvert takes it), which must then say I420 as well.
TEST(Yv12Converter, SameRgbAsVideoconvert)
{
  for (auto [width, height] : {std::pair{64, 48}, {65, 31}}) {
    SCOPED_TRACE(width);
    const std::string src = "videotestsrc num-buffers=5 pattern=smpte ! video/x-raw,format=YV12,"
                            "width=" + std::to_string(width) + ",height=" + std::to_string(height);
    const std::string rgb = " ! videoconvert ! video/x-raw,format=RGBx ! fakesink name=sink";
    int i420_metas = 0;
    auto count_metas = [](GstPad *, GstPadProbeInfo *info, gpointer count) {
      GstVideoMeta *meta = gst_buffer_get_video_meta(GST_PAD_PROBE_INFO_BUFFER(info));
      *static_cast<int *>(count) += meta && meta->format == GST_VIDEO_FORMAT_I420;
      return GST_PAD_PROBE_OK;
    };
    auto probe = [&](GstBin *bin) {
      Ref<GstElement> conv = gstref::adopt(gst_bin_get_by_name(bin, "c"));
      Ref<GstPad> pad = gstref::adopt(gst_element_get_static_pad(conv.get(), "src"));
      gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, count_metas, &i420_metas, nullptr);
    };
    CollectResult ours = collect_buffers(src + " ! yv12converter name=c" + rgb, "sink", 60, probe);
    CollectResult stock = collect_buffers(src + rgb);
    ASSERT_TRUE(ours.ok && stock.ok) << ours.error << stock.error;
    ASSERT_TRUE(ours.buffers.size() == 5 && stock.buffers.size() == 5);
    EXPECT_EQ(i420_metas, 5);
    for (gsize i = 0; i < 5; ++i)
      EXPECT_EQ(buffer_bytes(ours.buffers[i].get()), buffer_bytes(stock.buffers[i].get())) << i;
  }
}

}  // namespace
