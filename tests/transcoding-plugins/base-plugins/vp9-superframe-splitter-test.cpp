#include "transcoding-plugins/base-plugins/vp9-superframe-splitter.h"

#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/gst-helpers.h"
#include "tests/support/media.h"

namespace {

using namespace testsupport;
using Bytes = std::vector<guint8>;
constexpr GstClockTime kNone = GST_CLOCK_TIME_NONE;

// Milliseconds, "-" for none (or anything past the times used here).
std::string
text(GstClockTime t)
{
  return t == kNone || t > ms(1000) ? std::string("-") : std::to_string(t / GST_MSECOND);
}

// A superframe built by hand (VP9 Annex B): frames, marker, little-endian sizes, marker.
Bytes
superframe(const std::vector<Bytes> &frames, unsigned bytes_per_size = 1)
{
  Bytes out;
  for (const auto &f : frames) out.insert(out.end(), f.begin(), f.end());
  const guint8 marker = 0xC0 | static_cast<guint8>((bytes_per_size - 1) << 3) |
                        static_cast<guint8>(frames.size() - 1);
  out.push_back(marker);
  for (const auto &f : frames)
    for (unsigned b = 0; b < bytes_per_size; ++b) out.push_back((f.size() >> (8 * b)) & 0xFF);
  out.push_back(marker);
  return out;
}

// First header bytes (VP9 6.2): frame_marker 10, profile bits, [reserved], show_existing_frame,
// frame_type, show_frame.
constexpr guint8 kShown = 0x82, kHidden = 0x84, kShowExisting = 0x88, kProfile3Shown = 0xB1,
                 kProfile3Hidden = 0xB2, kProfile3Reserved = 0xB9, kNoMarker = 0x42;

class Vp9SuperframeSplitterTest : public ::testing::Test {
 protected:
  void SetUp() override { h_ = make_harness("vp9superframesplitter", "video/x-vp9", nullptr); }
  std::vector<Ref<GstBuffer>> split(const Bytes &in, GstClockTime duration) {
    GstBuffer *b = make_buffer(in, ms(40), duration, ms(20));
    GST_BUFFER_FLAG_SET(b, GST_BUFFER_FLAG_DELTA_UNIT);
    EXPECT_EQ(gst_harness_push(h_.get(), b), GST_FLOW_OK);
    return pull_all(h_.get());
  }
  Harness h_;
};

TEST_F(Vp9SuperframeSplitterTest, Split_FramesOfAValidIndexTimedWhereDisplayedElseUnchanged)
{
  // A superframe of frames of 4, 5, 6... bytes starting with the given header bytes.
  auto headed = [](std::initializer_list<guint8> headers) {
    std::vector<Bytes> frames;
    for (guint8 header : headers) frames.push_back(Bytes(4 + frames.size(), header));
    return superframe(frames);
  };
  const Bytes good = superframe({Bytes(3, kHidden), Bytes(2, kShown)});  // ... 0xC1, 3, 2, 0xC1
  Bytes mismatch = good, overlong = good;
  mismatch[mismatch.size() - 4] = 0xC9;  // the index start no longer repeats the last byte
  overlong[overlong.size() - 2] = 3;     // sizes add up to more than the data
  std::vector<Bytes> eight(7, Bytes(70000, kHidden));
  eight.push_back(Bytes(4, kShown));
  struct Case {
    const char *name;
    Bytes in;
    std::vector<gsize> sizes;  // empty: passes unchanged
    const char *times;         // "PTS:duration" in ms per output buffer
    GstClockTime duration = 40;
  } cases[] = {
      {"1-byte", good, {3, 2}, "-:- 40:40"},
      {"2-byte", superframe({Bytes(3, kHidden), Bytes(300, kShown)}, 2), {3, 300}, "-:- 40:40"},
      {"eight", superframe(eight, 3), {70000, 70000, 70000, 70000, 70000, 70000, 70000, 4}, ""},
      {"plain frame", Bytes(50, kShown), {}, "40:40"},
      {"no marker at the end", Bytes(good.begin(), good.end() - 1), {}, "40:40"},
      {"index start differs", mismatch, {}, "40:40"},
      {"frames overrun the data", overlong, {}, "40:40"},
      {"empty frame", superframe({Bytes(3, kHidden), {}}), {}, "40:40"},
      {"shorter than its index", Bytes{0xC1, 0xC1}, {}, "40:40"},
      {"zero-size frame", Bytes{0xC0, 0x00, 0xC0}, {}, "40:40"},
      {"empty buffer", Bytes{}, {}, "40:40"},
      {"shown then hidden", headed({kShown, kHidden}), {4, 5}, "40:40 -:-"},
      {"show existing", headed({kHidden, kHidden, kShowExisting}), {4, 5, 6}, "-:- -:- 40:40"},
      {"profile 3", headed({kProfile3Hidden, kProfile3Shown}), {4, 5}, "-:- 40:40"},
      {"none shown: last", headed({kHidden, kHidden}), {4, 5}, "-:- 40:40"},
      {"bad marker: last", headed({kShown, kNoMarker}), {4, 5}, "-:- 40:40"},
      {"reserved bit: last", headed({kProfile3Reserved, kHidden}), {4, 5}, "-:- 40:40"},
      {"two shown share", headed({kShown, kHidden, kShowExisting}), {4, 5, 6}, "40:20 -:- 60:20"},
      {"two shown, no duration", headed({kShown, kShowExisting}), {4, 5}, "40:- -:-", kNone},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(vp9::parse_superframe_index(c.in).has_value(), !c.sizes.empty());
    Bytes joined;
    std::vector<gsize> sizes;
    std::istringstream times(c.times);
    for (auto &b : split(c.in, c.duration == kNone ? kNone : ms(c.duration))) {
      const Bytes bytes = buffer_bytes(b.get());
      sizes.push_back(bytes.size());
      joined.insert(joined.end(), bytes.begin(), bytes.end());
      EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(b.get(), GST_BUFFER_FLAG_DELTA_UNIT));
      std::string expected;
      if (!(times >> expected)) continue;
      EXPECT_EQ(text(GST_BUFFER_PTS(b.get())) + ":" + text(GST_BUFFER_DURATION(b.get())), expected);
      // The DTS moves with the PTS, 20 ms before it (none minus 20 ms still reads "-").
      EXPECT_EQ(text(GST_BUFFER_DTS(b.get())), text(GST_BUFFER_PTS(b.get()) - ms(20)));
    }
    // The frames are the bytes before the index, in order; anything else comes out whole.
    EXPECT_EQ(sizes, c.sizes.empty() ? std::vector<gsize>{c.in.size()} : c.sizes);
    EXPECT_EQ(joined, Bytes(c.in.begin(), c.in.begin() + joined.size()));
  }
}

// Downstream that answers every buffer with a chosen flow result.
struct { GstFlowReturn ret; std::vector<gsize> sizes; } downstream;

TEST_F(Vp9SuperframeSplitterTest, Flow_EveryFramePushedAndCustomSuccessAddsTheSuperframe)
{
  gst_pad_set_chain_function(h_->sinkpad, [](GstPad *, GstObject *, GstBuffer *buffer) {
    downstream.sizes.push_back(gst_buffer_get_size(buffer));
    gst_buffer_unref(buffer);
    return downstream.ret;
  });
  const Bytes sf = superframe({Bytes(3, kHidden), Bytes(2, kHidden), Bytes(4, kShown)});
  downstream.ret = static_cast<GstFlowReturn>(GST_FLOW_CUSTOM_SUCCESS);
  EXPECT_EQ(gst_harness_push(h_.get(), make_buffer(sf)), GST_FLOW_CUSTOM_SUCCESS);
  EXPECT_EQ(downstream.sizes, (std::vector<gsize>{3, 2, 4, sf.size()}));
  // Every frame is pushed whatever the earlier results; the last one's result is returned.
  downstream.sizes.clear();
  downstream.ret = GST_FLOW_NOT_LINKED;
  EXPECT_EQ(gst_harness_push(h_.get(), make_buffer(sf)), GST_FLOW_NOT_LINKED);
  EXPECT_EQ(downstream.sizes, (std::vector<gsize>{3, 2, 4}));
}

TEST(Vp9SuperframeSplitterMedia, TwoPassStream_SplitLikeTheStockParser)
{
  const std::string clip = media::vp9_superframes_webm();
  ASSERT_FALSE(clip.empty());
  const std::string demux = "filesrc location=" + clip + " ! matroskademux ! ";
  CollectResult packets = collect_buffers(demux + "fakesink name=sink");
  CollectResult stock = collect_buffers(
      demux + "vp9parse ! capsfilter caps=video/x-vp9,alignment=frame ! fakesink name=sink");
  CollectResult split = collect_buffers(demux + "vp9superframesplitter ! fakesink name=sink");
  ASSERT_TRUE(packets.ok && stock.ok && split.ok) << packets.error << stock.error << split.error;
  ASSERT_EQ(packets.buffers.size(), 50u);
  // Superframes present: the stock parser finds more frames than packets.
  ASSERT_GT(stock.buffers.size(), packets.buffers.size());
  // Same frames with the same timestamps as the stock parser, which stamps the displayed one.
  ASSERT_EQ(split.buffers.size(), stock.buffers.size());
  for (size_t i = 0; i < split.buffers.size(); ++i) {
    EXPECT_EQ(buffer_bytes(split.buffers[i].get()), buffer_bytes(stock.buffers[i].get())) << i;
    EXPECT_EQ(GST_BUFFER_PTS(split.buffers[i].get()), GST_BUFFER_PTS(stock.buffers[i].get()));
  }
}

}  // namespace
