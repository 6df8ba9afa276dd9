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

std::string
caps_format(GstCaps *caps)
{
  const char *f = gst_structure_get_string(gst_caps_get_structure(caps, 0), "format");
  return f ? f : "";
}

// A YV12 frame whose every chroma row has its own values: plane 1 (V) rows 0x40+r,
// plane 2 (U) rows 0x80+r, luma 0x10.
GstBuffer *
yv12_frame(const GstVideoInfo &info)
{
  GstBuffer *b = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
  gstref::BufferMap map(b, GST_MAP_WRITE);
  std::fill(map.data(), map.data() + map.size(), 0x10);
  for (guint plane = 1; plane <= 2; ++plane) {
    for (gint r = 0; r < GST_VIDEO_INFO_COMP_HEIGHT(&info, 1); ++r) {
      guint8 *row = map.data() + GST_VIDEO_INFO_PLANE_OFFSET(&info, plane) +
                    r * GST_VIDEO_INFO_PLANE_STRIDE(&info, plane);
      std::fill(row, row + GST_VIDEO_INFO_COMP_WIDTH(&info, 1), 0x40 * plane + r);
    }
  }
  return b;
}

// Chroma rows of `buffer` read as I420: U first, then V, visible bytes only.
std::vector<Bytes>
i420_chroma_rows(GstBuffer *buffer, int width, int height)
{
  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, width, height);
  GstVideoFrame frame;
  EXPECT_TRUE(gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ));
  std::vector<Bytes> rows;
  for (guint comp = 1; comp <= 2; ++comp) {
    for (int r = 0; r < GST_VIDEO_FRAME_COMP_HEIGHT(&frame, comp); ++r) {
      const guint8 *p = GST_VIDEO_FRAME_COMP_DATA(&frame, comp) +
                        r * GST_VIDEO_FRAME_COMP_STRIDE(&frame, comp);
      rows.emplace_back(p, p + GST_VIDEO_FRAME_COMP_WIDTH(&frame, comp));
    }
  }
  gst_video_frame_unmap(&frame);
  return rows;
}

class Yv12ConverterTest : public ::testing::Test {
 protected:
  void start(const char *caps) { h_ = make_harness("yv12converter", caps, nullptr); }
  std::string downstream_format() {
    Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(h_->sinkpad));
    return caps ? caps_format(caps.get()) : "";
  }
  Harness h_;
};

TEST_F(Yv12ConverterTest, Yv12_RelabelledAsI420WithAllRowsSwapped)
{
  // Odd height and width: 3 chroma rows of 3 bytes.
  start("video/x-raw,format=YV12,width=5,height=5,framerate=25/1,pixel-aspect-ratio=4/3");
  Ref<GstCaps> caps = gstref::adopt(gst_pad_get_current_caps(h_->sinkpad));
  ASSERT_TRUE(caps);
  Ref<GstCaps> expected = gstref::adopt(gst_caps_from_string(
      "video/x-raw,format=I420,width=5,height=5,framerate=25/1,pixel-aspect-ratio=4/3"));
  EXPECT_TRUE(gst_caps_is_equal(caps.get(), expected.get())) << caps_format(caps.get());

  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_YV12, 5, 5);
  GstBuffer *in = yv12_frame(info);
  GST_BUFFER_PTS(in) = ms(40);
  const Bytes input = buffer_bytes(in);
  const Bytes luma_before(input.begin(), input.begin() + GST_VIDEO_INFO_PLANE_OFFSET(&info, 1));
  ASSERT_EQ(gst_harness_push(h_.get(), in), GST_FLOW_OK);
  Ref<GstBuffer> out = gstref::adopt(gst_harness_pull(h_.get()));
  EXPECT_EQ(GST_BUFFER_PTS(out.get()), ms(40));
  const auto rows = i420_chroma_rows(out.get(), 5, 5);
  ASSERT_EQ(rows.size(), 6u);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(rows[r], Bytes(3, 0x80 + r)) << "U row " << r;
    EXPECT_EQ(rows[3 + r], Bytes(3, 0x40 + r)) << "V row " << r;
  }
  const Bytes after = buffer_bytes(out.get());
  EXPECT_EQ(Bytes(after.begin(), after.begin() + luma_before.size()), luma_before);
}

TEST_F(Yv12ConverterTest, OtherFormats_PassUnchangedAlsoAfterYv12)
{
  start("video/x-raw,format=NV12,width=8,height=8");
  EXPECT_EQ(downstream_format(), "NV12");
  const Bytes nv12 = [] {
    Bytes b(8 * 8 * 3 / 2);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<guint8>(i);
    return b;
  }();
  gst_harness_push(h_.get(), make_buffer(nv12));
  EXPECT_EQ(buffer_bytes(Ref<GstBuffer>::adopt(gst_harness_pull(h_.get())).get()), nv12);

  for (const char *format : {"NV12", "I420"}) {
    gst_harness_set_src_caps_str(h_.get(), "video/x-raw,format=YV12,width=8,height=8");
    EXPECT_EQ(downstream_format(), "I420");
    // Caps without a format are no YV12 either.
    gst_harness_set_src_caps_str(h_.get(), "video/x-raw,width=8,height=8");
    gst_harness_set_src_caps_str(
        h_.get(), (std::string("video/x-raw,width=8,height=8,format=") + format).c_str());
    EXPECT_EQ(downstream_format(), format);
    // An NV12 frame has no third plane to swap with; an I420 frame is in order already.
    gst_harness_push(h_.get(), make_buffer(nv12));
    EXPECT_EQ(buffer_bytes(Ref<GstBuffer>::adopt(gst_harness_pull(h_.get())).get()), nv12)
        << format;
  }
}

TEST_F(Yv12ConverterTest, BadInput_PassesThroughWithoutCrashing)
{
  // Caps that describe no frame: caps and data pass unchanged.
  start("video/x-raw,format=YV12");
  EXPECT_EQ(downstream_format(), "YV12");
  gst_harness_push(h_.get(), make_buffer(Bytes{1, 2, 3}));
  EXPECT_EQ(buffer_bytes(Ref<GstBuffer>::adopt(gst_harness_pull(h_.get())).get()),
            (Bytes{1, 2, 3}));

  // A buffer too small for its caps is passed on, never read past its end.
  gst_harness_set_src_caps_str(h_.get(), "video/x-raw,format=YV12,width=64,height=64");
  const Bytes small(100, 9);
  gst_harness_push(h_.get(), make_buffer(small));
  EXPECT_EQ(buffer_bytes(Ref<GstBuffer>::adopt(gst_harness_pull(h_.get())).get()), small);
}

TEST_F(Yv12ConverterTest, VideoMeta_FollowsTheNewFormat)
{
  start("video/x-raw,format=YV12,width=6,height=4");
  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_YV12, 6, 4);
  GstBuffer *in = yv12_frame(info);
  gst_buffer_add_video_meta_full(in, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_YV12, 6, 4, 3,
                                 info.offset, info.stride);
  gst_harness_push(h_.get(), in);
  Ref<GstBuffer> out = gstref::adopt(gst_harness_pull(h_.get()));
  GstVideoMeta *meta = gst_buffer_get_video_meta(out.get());
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta->format, GST_VIDEO_FORMAT_I420);
  const auto rows = i420_chroma_rows(out.get(), 6, 4);
  EXPECT_EQ(rows[0], Bytes(3, 0x80));
  EXPECT_EQ(rows[2], Bytes(3, 0x40));
}

// Frames of one run of `pipeline` (with a fakesink named sink); fails the test on error.
std::vector<Ref<GstBuffer>>
frames_of(const std::string &pipeline)
{
  CollectResult r = collect_buffers(pipeline);
  EXPECT_TRUE(r.ok) << r.error << "\n" << pipeline;
  return std::move(r.buffers);
}

class Yv12ConverterOracle : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Yv12ConverterOracle, SameBytesAsVideoconvert)
{
  const auto [width, height] = GetParam();
  const std::string src = "videotestsrc num-buffers=5 pattern=smpte ! capsfilter caps=video/"
                          "x-raw,format=YV12,width=" +
                          std::to_string(width) + ",height=" + std::to_string(height) + " ! ";
  auto ours = frames_of(src + "yv12converter ! fakesink name=sink");
  auto stock = frames_of(src +
                         "videoconvert ! capsfilter caps=video/x-raw,format=I420 ! "
                         "fakesink name=sink");
  ASSERT_EQ(ours.size(), 5u);
  ASSERT_EQ(stock.size(), 5u);
  GstVideoInfo info;
  gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, width, height);
  const bool packed = GST_VIDEO_INFO_COMP_WIDTH(&info, 1) % 4 == 0 && width % 4 == 0;
  for (size_t i = 0; i < ours.size(); ++i) {
    if (packed) {
      // No row padding: the raw buffers must match byte for byte.
      EXPECT_EQ(buffer_bytes(ours[i].get()), buffer_bytes(stock[i].get())) << i;
    }
    EXPECT_EQ(i420_chroma_rows(ours[i].get(), width, height),
              i420_chroma_rows(stock[i].get(), width, height))
        << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Yv12ConverterOracle,
                         ::testing::Values(std::make_pair(64, 48), std::make_pair(320, 240),
                                           std::make_pair(66, 49), std::make_pair(65, 31)));

GstPadProbeReturn
record_meta(GstPad *, GstPadProbeInfo *info, gpointer user_data)
{
  auto *formats = static_cast<std::vector<GstVideoFormat> *>(user_data);
  GstVideoMeta *meta = gst_buffer_get_video_meta(GST_PAD_PROBE_INFO_BUFFER(info));
  formats->push_back(meta ? meta->format : GST_VIDEO_FORMAT_UNKNOWN);
  return GST_PAD_PROBE_OK;
}

TEST(Yv12ConverterPipeline, UpstreamVideoMeta_DownstreamAcceptsTheBuffers)
{
  std::vector<GstVideoFormat> formats;
  PipelineResult r = run_pipeline(
      "videotestsrc num-buffers=20 ! capsfilter caps=video/x-raw,format=YV12,width=64,height=49 "
      "! yv12converter name=conv ! videoconvert ! capsfilter caps=video/x-raw,format=RGBx ! "
      "fakesink",
      30, [&](GstBin *bin) {
        Ref<GstElement> conv = gstref::adopt(gst_bin_get_by_name(bin, "conv"));
        Ref<GstPad> src = gstref::adopt(gst_element_get_static_pad(conv.get(), "src"));
        gst_pad_add_probe(src.get(), GST_PAD_PROBE_TYPE_BUFFER, record_meta, &formats, nullptr);
      });
  EXPECT_TRUE(r.ok) << r.error;
  ASSERT_EQ(formats.size(), 20u);
  // The case depends on upstream adding a video meta; pooled buffers come back 20 times.
  for (GstVideoFormat f : formats) EXPECT_EQ(f, GST_VIDEO_FORMAT_I420);
}

}  // namespace
