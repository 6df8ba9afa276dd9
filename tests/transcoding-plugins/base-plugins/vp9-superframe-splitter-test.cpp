#include "transcoding-plugins/base-plugins/vp9-superframe-splitter.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<guint8>;

// A superframe built by hand (VP9 Annex B): frames, marker, little-endian sizes, marker.
Bytes
superframe(const std::vector<Bytes> &frames, unsigned bytes_per_size)
{
  Bytes out;
  for (const auto &f : frames) out.insert(out.end(), f.begin(), f.end());
  const guint8 marker =
      0xC0 | static_cast<guint8>((bytes_per_size - 1) << 3) | static_cast<guint8>(frames.size() - 1);
  out.push_back(marker);
  for (const auto &f : frames)
    for (unsigned b = 0; b < bytes_per_size; ++b) out.push_back((f.size() >> (8 * b)) & 0xFF);
  out.push_back(marker);
  return out;
}

Bytes
frame(gsize size, guint8 fill)
{
  Bytes f(size, fill);
  f[0] = 0x82;  // a frame marker, so that no frame ends in a superframe marker by accident
  return f;
}

bool
has_superframe_index(const Bytes &b)
{
  // Reference check written here: marker at the end and repeated at the index start.
  if (b.empty() || (b.back() & 0xE0) != 0xC0) return false;
  const size_t index = 2 + (((b.back() >> 3) & 3) + 1) * ((b.back() & 7) + 1);
  return b.size() >= index && b[b.size() - index] == b.back();
}

TEST(Vp9SuperframeIndex, ReadsSizesOfEveryWidth)
{
  for (unsigned width = 1; width <= 4; ++width) {
    const std::vector<Bytes> frames = {frame(3, 1), frame(200, 2), frame(17, 3)};
    const Bytes data = superframe(frames, width);
    auto index = vp9::parse_superframe_index(data);
    ASSERT_TRUE(index) << width;
    EXPECT_EQ(index->frame_count, 3u);
    EXPECT_EQ(index->index_size, 2 + 3 * width);
    EXPECT_EQ(index->frame_sizes[0], 3u);
    EXPECT_EQ(index->frame_sizes[1], 200u);
    EXPECT_EQ(index->frame_sizes[2], 17u);
  }
  // Eight frames, two-byte sizes above 255.
  std::vector<Bytes> eight;
  for (int i = 0; i < 8; ++i) eight.push_back(frame(300 + i, static_cast<guint8>(i)));
  auto index = vp9::parse_superframe_index(superframe(eight, 2));
  ASSERT_TRUE(index);
  EXPECT_EQ(index->frame_count, 8u);
  EXPECT_EQ(index->frame_sizes[7], 307u);
}

TEST(Vp9SuperframeIndex, RejectsWhatIsNoUsableIndex)
{
  Bytes good = superframe({frame(3, 1), frame(2, 2)}, 1);  // ... 0xC1, 3, 2, 0xC1
  ASSERT_TRUE(vp9::parse_superframe_index(good));

  Bytes no_marker = good;
  no_marker.back() = 0x41;
  EXPECT_FALSE(vp9::parse_superframe_index(no_marker));

  Bytes mismatch = good;
  mismatch[mismatch.size() - 4] = 0xC9;  // index start no longer repeats the last byte
  EXPECT_FALSE(vp9::parse_superframe_index(mismatch));

  // Shorter than the index it announces.
  EXPECT_FALSE(vp9::parse_superframe_index(Bytes{0xC1, 0xC1}));
  EXPECT_FALSE(vp9::parse_superframe_index(Bytes{0xC7}));
  EXPECT_FALSE(vp9::parse_superframe_index(Bytes{}));

  // Sizes adding up to more than the data before the index.
  Bytes overlong = good;
  overlong[overlong.size() - 2] = 3;
  EXPECT_FALSE(vp9::parse_superframe_index(overlong));
  // An empty frame is no frame.
  EXPECT_FALSE(vp9::parse_superframe_index(superframe({frame(3, 1), {}}, 1)));
  // The bare index with a zero count byte pattern: 0xC0 0x00 0xC0 has a zero-size frame.
  EXPECT_FALSE(vp9::parse_superframe_index(Bytes{0xC0, 0x00, 0xC0}));
}

class Vp9SuperframeSplitterTest : public ::testing::Test {
 protected:
  void SetUp() override { h_ = make_harness("vp9superframesplitter", "video/x-vp9", nullptr); }
  Harness h_;
};

TEST_F(Vp9SuperframeSplitterTest, Superframe_OneBufferPerFrameFirstKeepsTimestamps)
{
  const Bytes f1 = frame(3, 0xAA), f2 = frame(2, 0xBB);
  GstBuffer *in = make_buffer(superframe({f1, f2}, 1), ms(40), ms(40), ms(20));
  GST_BUFFER_FLAG_SET(in, GST_BUFFER_FLAG_DELTA_UNIT);
  ASSERT_EQ(gst_harness_push(h_.get(), in), GST_FLOW_OK);
  auto out = pull_all(h_.get());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(buffer_bytes(out[0].get()), f1);
  EXPECT_EQ(buffer_bytes(out[1].get()), f2);
  EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(40));
  EXPECT_EQ(GST_BUFFER_DTS(out[0].get()), ms(20));
  // A part of a buffer has no duration of its own (gst_buffer_copy_region).
  EXPECT_EQ(GST_BUFFER_DURATION(out[0].get()), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(GST_BUFFER_PTS(out[1].get()), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(GST_BUFFER_DTS(out[1].get()), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(GST_BUFFER_DURATION(out[1].get()), GST_CLOCK_TIME_NONE);
  for (auto &b : out) EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(b.get(), GST_BUFFER_FLAG_DELTA_UNIT));
}

TEST_F(Vp9SuperframeSplitterTest, NoValidIndex_PassesUnchanged)
{
  Bytes good = superframe({frame(3, 1), frame(2, 2)}, 1);
  Bytes mismatch = good;
  mismatch[mismatch.size() - 4] = 0x11;
  Bytes overlong = good;
  overlong[overlong.size() - 3] = 200;
  const std::vector<Bytes> inputs = {frame(50, 7), mismatch, overlong, Bytes{0xC0}, Bytes{}};
  for (const Bytes &b : inputs) {
    ASSERT_EQ(gst_harness_push(h_.get(), make_buffer(b, ms(10))), GST_FLOW_OK);
    auto out = pull_all(h_.get());
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(buffer_bytes(out[0].get()), b);
    EXPECT_EQ(GST_BUFFER_PTS(out[0].get()), ms(10));
  }
}

// Downstream that answers every buffer with a chosen flow result.
struct FlowSink {
  GstFlowReturn ret = GST_FLOW_OK;
  std::vector<gsize> sizes;
};

GstFlowReturn
flow_sink_chain(GstPad *pad, GstObject *, GstBuffer *buffer)
{
  auto *sink = static_cast<FlowSink *>(gst_pad_get_element_private(pad));
  sink->sizes.push_back(gst_buffer_get_size(buffer));
  gst_buffer_unref(buffer);
  return sink->ret;
}

TEST(Vp9SuperframeSplitterFlow, CustomSuccess_AlsoPushesTheSuperframe)
{
  Ref<GstElement> element =
      gstref::adopt(gst_element_factory_make("vp9superframesplitter", nullptr));
  ASSERT_TRUE(element);
  gst_object_ref_sink(element.get());
  auto new_pad = [](const char *name, GstPadDirection dir) {
    return gstref::adopt(GST_PAD(gst_object_ref_sink(gst_pad_new(name, dir))));
  };
  Ref<GstPad> src = new_pad("src", GST_PAD_SRC);
  Ref<GstPad> sink = new_pad("sink", GST_PAD_SINK);
  FlowSink downstream;
  gst_pad_set_element_private(sink.get(), &downstream);
  gst_pad_set_chain_function(sink.get(), flow_sink_chain);
  Ref<GstPad> element_sink = gstref::adopt(gst_element_get_static_pad(element.get(), "sink"));
  Ref<GstPad> element_src = gstref::adopt(gst_element_get_static_pad(element.get(), "src"));
  ASSERT_EQ(gst_pad_link(src.get(), element_sink.get()), GST_PAD_LINK_OK);
  ASSERT_EQ(gst_pad_link(element_src.get(), sink.get()), GST_PAD_LINK_OK);
  gst_pad_set_active(src.get(), TRUE);
  gst_pad_set_active(sink.get(), TRUE);
  gst_element_set_state(element.get(), GST_STATE_PLAYING);
  gst_pad_push_event(src.get(), gst_event_new_stream_start("vp9"));
  Ref<GstCaps> caps = gstref::adopt(gst_caps_new_empty_simple("video/x-vp9"));
  gst_pad_push_event(src.get(), gst_event_new_caps(caps.get()));
  gst_pad_push_event(src.get(), time_segment_event(0));

  const Bytes sf = superframe({frame(3, 1), frame(2, 2), frame(4, 3)}, 1);
  downstream.ret = static_cast<GstFlowReturn>(GST_FLOW_CUSTOM_SUCCESS);
  EXPECT_EQ(gst_pad_push(src.get(), make_buffer(sf)), GST_FLOW_CUSTOM_SUCCESS);
  EXPECT_EQ(downstream.sizes, (std::vector<gsize>{3, 2, 4, sf.size()}));

  // Every frame is pushed whatever the earlier results; the last one's result is returned.
  downstream.sizes.clear();
  downstream.ret = GST_FLOW_NOT_LINKED;
  EXPECT_EQ(gst_pad_push(src.get(), make_buffer(sf)), GST_FLOW_NOT_LINKED);
  EXPECT_EQ(downstream.sizes, (std::vector<gsize>{3, 2, 4}));

  gst_element_set_state(element.get(), GST_STATE_NULL);
  gst_pad_set_active(src.get(), FALSE);
  gst_pad_set_active(sink.get(), FALSE);
}

class Vp9SuperframeSplitterMedia : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { clip_ = media::vp9_superframes_webm(); }
  std::string demux() { return "filesrc location=" + clip_ + " ! matroskademux ! "; }
  static std::vector<std::string> checksums(const CollectResult &r) {
    std::vector<std::string> out;
    for (auto &b : r.buffers) {
      gstref::BufferMap map(b.get(), GST_MAP_READ);
      gchar *sum = g_compute_checksum_for_data(G_CHECKSUM_MD5, map.data(), map.size());
      out.emplace_back(sum);
      g_free(sum);
    }
    return out;
  }
  static std::string clip_;
};
std::string Vp9SuperframeSplitterMedia::clip_;

TEST_F(Vp9SuperframeSplitterMedia, TwoPassStream_SplitsIntoFramesThatDecodeTheSame)
{
  ASSERT_FALSE(clip_.empty());
  CollectResult packets = collect_buffers(demux() + "fakesink name=sink");
  ASSERT_TRUE(packets.ok) << packets.error;
  CollectResult stock = collect_buffers(
      demux() + "vp9parse ! capsfilter caps=video/x-vp9,alignment=frame ! fakesink name=sink");
  ASSERT_TRUE(stock.ok) << stock.error;
  ASSERT_EQ(packets.buffers.size(), 50u);
  // Superframes present: the stock parser finds more frames than packets.
  ASSERT_GT(stock.buffers.size(), packets.buffers.size());
  size_t with_index = 0;
  for (auto &b : packets.buffers) with_index += has_superframe_index(buffer_bytes(b.get()));
  ASSERT_EQ(with_index, stock.buffers.size() - packets.buffers.size())
      << "each superframe here holds one hidden frame and one shown frame";

  CollectResult split = collect_buffers(demux() + "vp9superframesplitter ! fakesink name=sink");
  ASSERT_TRUE(split.ok) << split.error;
  ASSERT_EQ(split.buffers.size(), stock.buffers.size());
  for (auto &b : split.buffers) EXPECT_FALSE(has_superframe_index(buffer_bytes(b.get())));
  // Same frames as the stock parser's split; it stamps the last frame of a superframe and
  // this element the first, so only the bytes are compared.
  EXPECT_EQ(checksums(split), checksums(stock));
  GstClockTime stamped = 0;
  for (auto &b : split.buffers) stamped += GST_BUFFER_PTS_IS_VALID(b.get());
  EXPECT_EQ(stamped, packets.buffers.size());

  for (const char *decoder : {"vp9dec", "avdec_vp9"}) {
    if (!have_factory(decoder)) continue;
    const std::string tail = std::string(decoder) + " ! fakesink name=sink";
    CollectResult original = collect_buffers(demux() + tail);
    CollectResult decoded = collect_buffers(demux() + "vp9superframesplitter ! " + tail);
    ASSERT_TRUE(original.ok) << original.error;
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.buffers.size(), 50u) << decoder;
    EXPECT_EQ(checksums(decoded), checksums(original)) << decoder;
  }
}

}  // namespace
