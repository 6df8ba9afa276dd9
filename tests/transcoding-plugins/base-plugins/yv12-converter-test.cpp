#include "transcoding-plugins/base-plugins/yv12-converter.h"

#include <gst/check/gstharness.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<guint8>;

// YV12 caps become I420 with all other fields kept and each frame gets its chroma planes
// exchanged (a YV12 video meta says I420 after); everything else passes as it came, also after
// YV12. `size` of the buffer pushed: 0 a frame, 1 a frame with a video meta, -1 none.
TEST(Yv12Converter, Yv12BecomesI420AndEverythingElsePasses)
{
  const std::tuple<const char *, const char *, int> cases[] = {  // caps, I420 caps, size
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
      {"video/x-raw,format=NV12,width=8,height=8", nullptr, 96}};
  Harness h = make_harness("yv12converter");
  for (const auto &[caps, i420, size] : cases) {
    SCOPED_TRACE(caps);
    gst_harness_set_src_caps_str(h.get(), caps);
    Ref<GstCaps> want = gstref::adopt(gst_caps_from_string(i420 ?: caps));
    Ref<GstCaps> got = gstref::adopt(gst_pad_get_current_caps(h->sinkpad));
    EXPECT_TRUE(got && gst_caps_is_equal(got.get(), want.get()));
    if (size < 0) continue;
    Bytes in(size);
    for (int i = 0; i < size; ++i) in[i] = i;
    GstVideoInfo info;  // I420 and YV12 planes lie at the same offsets
    if (size <= 1) {
      // Visible chroma bytes 0x40 + row in V (plane 1), 0x80 + row in U; all else 0x10, so
      // that exchanging the whole planes is the I420 frame, whatever happens to the padding.
      ASSERT_TRUE(gst_video_info_from_caps(&info, got.get()));
      in.assign(GST_VIDEO_INFO_SIZE(&info), 0x10);
      for (guint p = 1; p <= 2; ++p)
        for (gint r = 0; r < GST_VIDEO_INFO_COMP_HEIGHT(&info, p); ++r)
          std::fill_n(in.begin() + info.offset[p] + r * info.stride[p],
                      GST_VIDEO_INFO_COMP_WIDTH(&info, p), 0x40 * p + r);
    }
    Bytes expected = in;
    const auto plane = [&](int p) { return expected.begin() + info.offset[p]; };
    if (size <= 1) std::swap_ranges(plane(1), plane(2), plane(2));
    GstBuffer *b = make_buffer(in, ms(40));
    if (size == 1)
      gst_buffer_add_video_meta_full(b, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_YV12,
                                     info.width, info.height, 3, info.offset, info.stride);
    ASSERT_EQ(gst_harness_push(h.get(), b), GST_FLOW_OK);
    Ref<GstBuffer> out = gstref::adopt(gst_harness_pull(h.get()));
    EXPECT_EQ(buffer_bytes(out.get()), expected);
    EXPECT_EQ(GST_BUFFER_PTS(out.get()), ms(40));
    EXPECT_TRUE(size != 1 || gst_buffer_get_video_meta(out.get())->format == GST_VIDEO_FORMAT_I420);
  }
}

// Through videoconvert to RGB our frames give what videoconvert makes of YV12 itself (upstream
// adds a video meta that videoconvert takes: it refuses one that still says YV12).
TEST(Yv12Converter, SameRgbAsVideoconvert)
{
  for (auto [width, height] : {std::pair{64, 48}, {65, 31}}) {
    SCOPED_TRACE(width);
    const std::string src = "videotestsrc num-buffers=5 pattern=smpte ! video/x-raw,format=YV12,"
                            "width=" + std::to_string(width) + ",height=" + std::to_string(height);
    const std::string rgb = " ! videoconvert ! video/x-raw,format=RGBx ! fakesink name=sink";
    CollectResult ours = collect_buffers(src + " ! yv12converter" + rgb);
    CollectResult stock = collect_buffers(src + rgb);
    ASSERT_TRUE(ours.ok && stock.ok && ours.buffers.size() == 5 && stock.buffers.size() == 5)
        << ours.error << stock.error;
    for (gsize i = 0; i < 5; ++i)
      EXPECT_EQ(buffer_bytes(ours.buffers[i].get()), buffer_bytes(stock.buffers[i].get())) << i;
  }
}

}  // namespace
